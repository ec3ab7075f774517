// The window program's parts with the real runtime on loopback: simulated
// stations connect, appear online in the station list, go offline when they
// hang up, and the list empties when the service stops. Closing joins the
// runtime threads while the window keeps serving their posts.
#include "UiTestSupport.h"

#include "rtu/runtime/MainFrame.h"
#include "rtu/runtime/Settings.h"
#include "rtu/ui/DeviceView.h"
#include "rtu/ui/LeftView.h"
#include "rtu/ui/MainWindow.h"
#include "rtu/ui/UiRuntimeView.h"
#include "rtu/ui/UiText.h"
#include "rtu/ui/WindowedMain.h"

#include <QAction>
#include <QCoreApplication>
#include <QProcess>

#include <arpa/inet.h>
#include <fstream>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace rtu::test {
namespace {

// A loopback port that was free a moment ago.
int FreePort()
{
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &length);
    close(s);
    return ntohs(a.sin_port);
}

class WindowStationsimTest : public UiTest {};

TEST_F(WindowStationsimTest, SimulatedStationsFillTheListAndLeaveItOffline)
{
    const int port = FreePort();
    {
        std::ofstream ini(SettingsPath());
        ini << "[Set]\nPort=" << port << "\nOffLine=120\nDBMode=0\nParseDelay=0\n[SetThird]\nDBMode=0\n[COMM]\nMODE=0\n";
    }
    CMainWindow window;
    CMainWindow::Prompts quiet;
    quiet.inform = [](QWidget*, const QString&) {};
    quiet.askYesNo = [](QWidget*, const QString&) { return true; };
    window.SetPrompts(quiet);
    CUiRuntimeView view;
    view.SetWindow(&window);
    {
        CMainFrame frame(view);
        FrameServiceControl service(frame);
        window.AttachService(&service);
        ASSERT_TRUE(frame.Create());
        QCoreApplication::processEvents();
        ASSERT_TRUE(frame.Running()) << window.LeftView()->Text().toStdString();
        window.UpdateCommands();
        EXPECT_TRUE(window.Action(CMainWindow::Command::Stop)->isEnabled());

        QProcess sim;
        sim.start(STATIONSIM_PROGRAM, {"--port", QString::number(port), "--stations", "3", "--base", "501",
                                       "--count", "2", "--rate", "20", "--drain", "2", "--expect-acks"});
        ASSERT_TRUE(sim.waitForStarted(10000));
        CDeviceView& list = *window.DeviceView();
        EXPECT_TRUE(WaitFor([&] { return list.RowCount() == 3; }, 20000)) << list.RowCount();
        // The simulator hangs up when done: every row turns offline.
        ASSERT_TRUE(WaitFor([&] { return sim.state() == QProcess::NotRunning; }, 30000));
        EXPECT_EQ(sim.exitCode(), 0) << sim.readAllStandardError().toStdString();
        const QString offline = UiText("DeviceView", "Offline");
        EXPECT_TRUE(WaitFor(
            [&] {
                for (int row = 0; row < list.RowCount(); ++row) {
                    if (list.CellText(row, CDeviceView::kStateColumn) != offline) return false;
                }
                return true;
            },
            10000));
        EXPECT_EQ(list.RowCount(), 3);
        for (int row = 0; row < list.RowCount(); ++row) {
            EXPECT_TRUE(list.CellText(row, 0).startsWith(QStringLiteral("0000000")));
            EXPECT_EQ(list.CellText(row, 8), QStringLiteral("127.0.0.1"));
            EXPECT_FALSE(list.CellText(row, 3).isEmpty());  // a reading arrived
        }
        EXPECT_TRUE(window.LeftView()->Text().contains(UiFormat("MainFrame", "Text8", {port})));

        window.Action(CMainWindow::Command::Stop)->trigger();
        EXPECT_FALSE(frame.Running());
        EXPECT_TRUE(WaitFor([&] { return list.RowCount() == 0; }));
        EXPECT_TRUE(window.Action(CMainWindow::Command::Start)->isEnabled());

        view.BeginClosing();
        DestroyRuntime(frame);
        window.AttachService(nullptr);
    }
    view.SetWindow(nullptr);
}

}  // namespace
}  // namespace rtu::test
