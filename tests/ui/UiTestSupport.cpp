#include "UiTestSupport.h"

#include "rtu/runtime/Settings.h"

#include <QApplication>
#include <QElapsedTimer>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace rtu::test {

namespace {

std::string& Folder()
{
    static std::string folder;
    return folder;
}

void CopyFile(const std::string& from, const std::string& to)
{
    std::ifstream in(from, std::ios::binary);
    std::ofstream out(to, std::ios::binary);
    out << in.rdbuf();
}

}  // namespace

void EnsureUiEnvironment()
{
    static QApplication* app = nullptr;
    if (app != nullptr) return;
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    static int argc = 1;
    static char name[] = "ui_test";
    static char* argv[] = {name, nullptr};
    app = new QApplication(argc, argv);

    char pattern[] = "/tmp/rtu-ui-test-XXXXXX";
    const char* made = mkdtemp(pattern);
    ASSERT_NE(made, nullptr);
    Folder() = std::string(made) + "/";
    CopyFile(std::string(RTU_SOURCE_DIR) + "/config/config.ini", Folder() + "config.ini");
    ASSERT_EQ(chdir(made), 0);
    FixSettingsPath(Folder() + "server.ini");
}

const std::string& WorkFolder() { return Folder(); }

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool WaitFor(const std::function<bool()>& done, int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > ms) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

bool FakeService::GetLinkRecord(const std::string& station, int linkKind, CltDevInfo& out)
{
    const auto found = records.find({station, linkKind});
    if (found == records.end()) return false;
    out = found->second;
    return true;
}

void FakeService::SetRecord(const CltDevInfo& record) { records[{record.station, record.linkKind}] = record; }

CltDevInfo MakeRecord(const std::string& station, const std::string& waterLevel, int linkKind)
{
    CltDevInfo r;
    r.station = station;
    r.linkKind = linkKind;
    r.peer = linkKind == 0 ? "10.1.2.3" : "127.0.0.1";
    r.lastDataTime = 1765267200;  // a fixed moment, shown in local time
    r.observationTime = "2025-12-09 08:00:00";
    r.waterLevel = waterLevel;
    r.periodRainfall = "0.5";
    r.dailyRainfall = "12.0";
    r.flow = "3.2";
    return r;
}

}  // namespace rtu::test
