#include "rtu/ui/WindowedMain.h"

#include "rtu/common/Log.h"
#include "rtu/runtime/MainFrame.h"
#include "rtu/runtime/Settings.h"
#include "rtu/runtime/StartupFiles.h"
#include "rtu/ui/MainWindow.h"
#include "rtu/ui/ServiceControl.h"
#include "rtu/ui/StationControl.h"
#include "rtu/ui/UiRuntimeView.h"
#include "rtu/ui/UiText.h"

#include <log4cplus/initializer.h>

#include <QApplication>
#include <QEventLoop>
#include <QLibraryInfo>
#include <QLocale>
#include <QPixmap>
#include <QScreen>
#include <QTimer>
#include <QTranslator>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <sys/stat.h>

namespace rtu {

namespace {

constexpr int kNoDisplayExitCode = 3;

bool Set(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

// ":N" or ":N.S" is a local X server listening on /tmp/.X11-unix/XN; other
// forms (host:N) are taken on trust.
bool LocalXDisplayReachable(const std::string& display)
{
    if (display.empty() || display[0] != ':') return true;
    const std::string number = display.substr(1, display.find('.') == std::string::npos
                                                     ? std::string::npos
                                                     : display.find('.') - 1);
    struct stat st {};
    return stat(("/tmp/.X11-unix/X" + number).c_str(), &st) == 0;
}

// RTU_SCREENSHOT=FILE.png: after RTU_SCREENSHOT_AFTER milliseconds (default
// 5000) the main window is saved as a picture and the program stops its
// service and ends, so scripts can show the program without a desktop.
void ArmScreenshot(CMainWindow& window, ServiceControl& service)
{
    const char* file = std::getenv("RTU_SCREENSHOT");
    if (file == nullptr || *file == '\0') return;
    const char* after = std::getenv("RTU_SCREENSHOT_AFTER");
    const int delay = after != nullptr ? std::clamp(std::atoi(after), 0, 600000) : 5000;
    const QString path = QString::fromLocal8Bit(file);
    QTimer::singleShot(delay, &window, [&window, &service, path] {
        const bool saved = window.grab().save(path, "PNG");
        std::fprintf(stderr, "RTU: %s %s\n", saved ? "saved the main window to" : "could not save",
                     path.toLocal8Bit().constData());
        if (service.Running()) service.StopService();
        QCoreApplication::exit(saved ? 0 : 1);
    });
}

}  // namespace

bool InstallQtTranslations(const QString& language, QTranslator& translator)
{
    if (language.isEmpty() || language.startsWith(QLatin1String("en"))) return false;
    // qt_<lang> covers every Qt module installed; qtbase_<lang> the widgets alone.
    const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    const QLocale locale(language);
    if (!translator.load(locale, QStringLiteral("qt"), QStringLiteral("_"), folder) &&
        !translator.load(locale, QStringLiteral("qtbase"), QStringLiteral("_"), folder)) {
        RTU_LOG_DEBUG("Qt has no texts for language " << language.toStdString() << " in " << folder.toStdString());
        return false;
    }
    return QCoreApplication::installTranslator(&translator);
}

void DestroyRuntime(CMainFrame& frame)
{
    QEventLoop loop;
    std::thread joiner([&frame, &loop] {
        frame.Destroy();
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    joiner.join();
}

bool DisplayAvailable()
{
    if (Set("QT_QPA_PLATFORM") || Set("WAYLAND_DISPLAY")) return true;
    return Set("DISPLAY") && LocalXDisplayReachable(std::getenv("DISPLAY"));
}

int RunWindowed(int argc, char** argv)
{
    if (!DisplayAvailable()) {
        std::fputs("RTU: no display is available (DISPLAY is not set or its X server cannot be reached).\n"
                   "     Run RTU --headless to serve without windows, or start it on a desktop.\n",
                   stderr);
        return kNoDisplayExitCode;
    }
    std::signal(SIGPIPE, SIG_IGN);

    QApplication app(argc, argv);
    log4cplus::Initializer logging;
    CreateLogsDirectory();
    ConfigureLogging();
    FixSettingsPath();
    QTranslator qtTexts;
    InstallQtTranslations(UiText("SLRtuApp", "Language"), qtTexts);

    // The view outlives the runtime that calls it; the window outlives both.
    CMainWindow window;
    CUiRuntimeView view;
    view.SetWindow(&window);
    int exitCode = 0;
    {
        CMainFrame frame(view);
        FrameServiceControl service(frame);
        window.AttachService(&service);
        FrameCommandSender sender(frame);
        auto* stationControl = new CStationControl(window, &sender);
        if (!frame.Create()) view.PostLogLine("NetInit Fail");
        window.StartRebootTimer(frame.Settings().Current()->RebootPeriod());
        window.UpdateCommands();

        if (QScreen* screen = app.primaryScreen()) {
            const QRect area = screen->availableGeometry();
            window.resize(std::max(area.width() * 4 / 5, 800), std::max(area.height() * 4 / 5, 600));
            window.move(area.center() - window.rect().center());
        }
        window.showMaximized();
        window.setWindowTitle(UiFormat("SLRtuApp", "Title", {"1.1.0"}));
        ArmScreenshot(window, service);

        exitCode = app.exec();

        // Closing: answers are dropped from here on, the window no longer
        // takes commands, and the runtime threads are joined.
        view.BeginClosing();
        window.hide();
        window.setEnabled(false);
        if (frame.Running()) frame.StopService();
        DestroyRuntime(frame);
        window.AttachService(nullptr);
        stationControl->SetSender(nullptr);
        view.SetWindow(nullptr);
    }
    RTU_LOG_DEBUG("the data centre ended with exit code " << exitCode);
    return exitCode;
}

}  // namespace rtu
