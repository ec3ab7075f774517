// The command dialogs with the real runtime and the station simulator on
// loopback: the base configuration is read into the grid, a channel is
// changed and saved, and a second read shows what the station received and
// kept; a context-menu query brings its answer into the data panel.
#include "UiTestSupport.h"

#include "rtu/runtime/MainFrame.h"
#include "rtu/runtime/Settings.h"
#include "rtu/ui/ConfigView.h"
#include "rtu/ui/DeviceView.h"
#include "rtu/ui/LeftView.h"
#include "rtu/ui/MainWindow.h"
#include "rtu/ui/StationControl.h"
#include "rtu/ui/UiRuntimeView.h"
#include "rtu/ui/UiText.h"
#include "rtu/ui/WindowedMain.h"

#include <QCoreApplication>
#include <QProcess>

#include <arpa/inet.h>
#include <fstream>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace rtu::test {
namespace {

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

class WindowCommandsStationsimTest : public UiTest {};

TEST_F(WindowCommandsStationsimTest, BaseConfigurationSavedToASimulatedStationIsReadBackChanged)
{
    const int port = FreePort();
    {
        std::ofstream ini(SettingsPath());
        ini << "[Set]\nPort=" << port << "\nOffLine=120\nDBMode=0\nParseDelay=0\n[SetThird]\nDBMode=0\n[COMM]\nMODE=0\n";
    }
    const std::string station = "0000000701";
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
        FrameCommandSender sender(frame);
        auto* control = new CStationControl(window, &sender);
        QStringList messages;
        CStationControl::Prompts prompts;
        prompts.inform = [&](QWidget*, const QString& text) { messages << text; };
        prompts.askYesNo = [](QWidget*, const QString&) { return true; };
        control->SetPrompts(prompts);
        ASSERT_TRUE(frame.Create());
        QCoreApplication::processEvents();
        ASSERT_TRUE(frame.Running()) << window.LeftView()->Text().toStdString();

        QProcess sim;
        sim.start(STATIONSIM_PROGRAM, {"--port", QString::number(port), "--stations", "1", "--base", "701",
                                       "--duration", "60", "--rate", "1", "--drain", "1"});
        ASSERT_TRUE(sim.waitForStarted(10000));
        CDeviceView& list = *window.DeviceView();
        // A station's link record carries its centre address and password
        // (which command frames need) once its first frame has been parsed:
        // wait for its first reading.
        ASSERT_TRUE(WaitFor(
            [&] {
                const int row = list.FindRow(station);
                return row >= 0 && list.IsOnline(row) && !list.CellText(row, 3).isEmpty();
            },
            20000));
        list.ClickRow(list.FindRow(station));

        CListCtrlEx& grid = *control->BaseConfig()->Grid();
        control->BaseConfig()->OnReadBack();
        EXPECT_TRUE(WaitFor([&] { return grid.Text(13, 1) == QString::fromStdString(station); }, 20000))
            << window.LeftView()->Text().toStdString();
        EXPECT_EQ(grid.Text(14, 1), "B7E2");

        grid.SetText(3, 1, "10.0.0.7:5005");
        grid.SetText(4, 3, UiText("BaseConfig", "AddString1-2-1"));
        grid.SetText(5, 3, "centre.example");
        control->BaseConfig()->OnSaveSettings();
        EXPECT_TRUE(messages.isEmpty()) << messages.join('\n').toStdString();
        EXPECT_TRUE(WaitFor([&] { return window.LeftView()->Text().contains(UiText("MainFrame", "Text44")); }, 20000))
            << window.LeftView()->Text().toStdString();

        control->BaseConfig()->OnReadBack();
        EXPECT_TRUE(WaitFor([&] { return grid.Text(3, 1) == "10.0.0.7:5005"; }, 20000))
            << grid.Text(3, 1).toStdString();
        EXPECT_EQ(grid.Text(5, 3), "centre.example");

        control->OnStationCommand("Menu4", station, 0);
        CShowDataDlg& data = *window.ConfigView()->DataPanel();
        EXPECT_TRUE(WaitFor([&] { return data.AnswerText().contains(UiText("MainFrame", "Text30")); }, 20000))
            << window.LeftView()->Text().toStdString();

        // The restart order: its answer is shown and the station's link is
        // dropped from the user-interface thread while the parse thread waits.
        int offlineSeen = 0;
        QObject::connect(&list, &CDeviceView::RowsChanged, [&] {
            const int row = list.FindRow(station);
            if (row >= 0 && !list.IsOnline(row)) ++offlineSeen;
        });
        control->OnStationCommand("Menu12", station, 0);
        EXPECT_TRUE(WaitFor([&] { return data.AnswerText().contains(UiText("MainFrame", "Text41")); }, 20000))
            << window.LeftView()->Text().toStdString();
        EXPECT_TRUE(WaitFor([&] { return offlineSeen > 0; }, 20000));

        sim.kill();
        sim.waitForFinished(10000);
        view.BeginClosing();
        if (frame.Running()) frame.StopService();
        DestroyRuntime(frame);
        control->SetSender(nullptr);
        window.AttachService(nullptr);
    }
    view.SetWindow(nullptr);
}

}  // namespace
}  // namespace rtu::test
