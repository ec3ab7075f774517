// The main window: command enabling, leaving, the log pane's limit, the
// answer hand-over between threads, the panes and the scheduled restart.
#include "UiTestSupport.h"

#include "rtu/ui/ConfigView.h"
#include "rtu/ui/LeftView.h"
#include "rtu/ui/MainWindow.h"
#include "rtu/ui/MySplitterWnd.h"
#include "rtu/ui/TabSheet.h"
#include "rtu/ui/UiRuntimeView.h"
#include "rtu/ui/UiText.h"

#include <QAction>
#include <QCoreApplication>
#include <QThread>

#include <atomic>
#include <thread>

namespace rtu::test {
namespace {

using Command = CMainWindow::Command;

class MainWindowTest : public UiTest {
protected:
    void SetUp() override
    {
        CMainWindow::Prompts prompts;
        prompts.inform = [this](QWidget*, const QString& text) { informed.push_back(text); };
        prompts.askYesNo = [this](QWidget*, const QString& text) {
            asked.push_back(text);
            return answerYes;
        };
        window.SetPrompts(prompts);
        window.AttachService(&service);
    }

    bool Enabled(Command c) const { return window.Action(c)->isEnabled(); }

    FakeService service;
    CMainWindow window;
    std::vector<QString> informed;
    std::vector<QString> asked;
    bool answerYes = false;
};

TEST_F(MainWindowTest, CommandsFollowTheServiceState)
{
    // Stopped: start and both settings dialogs; always: clear log, clear offline, about, leave.
    EXPECT_TRUE(Enabled(Command::Start));
    EXPECT_FALSE(Enabled(Command::Stop));
    EXPECT_TRUE(Enabled(Command::ServiceSettings));
    EXPECT_TRUE(Enabled(Command::SerialSettings));
    for (Command c : {Command::ClearLog, Command::ClearOffline, Command::About, Command::Leave})
        EXPECT_TRUE(Enabled(c));

    window.Action(Command::Start)->trigger();
    EXPECT_EQ(service.starts, 1);
    EXPECT_FALSE(Enabled(Command::Start));
    EXPECT_TRUE(Enabled(Command::Stop));
    EXPECT_FALSE(Enabled(Command::ServiceSettings));
    EXPECT_FALSE(Enabled(Command::SerialSettings));
    for (Command c : {Command::ClearLog, Command::ClearOffline, Command::About, Command::Leave})
        EXPECT_TRUE(Enabled(c));

    window.Action(Command::Stop)->trigger();
    EXPECT_EQ(service.stops, 1);
    EXPECT_TRUE(Enabled(Command::Start));
    EXPECT_FALSE(Enabled(Command::Stop));

    // A start that fails (port taken) leaves start enabled and stop disabled.
    service.startSucceeds = false;
    window.Action(Command::Start)->trigger();
    EXPECT_TRUE(Enabled(Command::Start));
    EXPECT_FALSE(Enabled(Command::Stop));

    // Without a runtime (network initialisation failed) nothing can start.
    window.AttachService(nullptr);
    EXPECT_FALSE(Enabled(Command::Start));
    EXPECT_FALSE(Enabled(Command::ServiceSettings));
}

TEST_F(MainWindowTest, LeavingIsRefusedWhileRunningAndConfirmedOtherwise)
{
    window.show();
    service.running = true;
    window.Action(Command::Leave)->trigger();
    EXPECT_TRUE(window.isVisible());
    ASSERT_EQ(informed.size(), 1u);
    EXPECT_EQ(informed[0], UiText("MainFrame", "Text13"));
    EXPECT_TRUE(asked.empty());

    service.running = false;
    answerYes = false;
    EXPECT_FALSE(window.close());
    EXPECT_TRUE(window.isVisible());
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0], UiText("MainFrame", "Text14"));

    answerYes = true;
    EXPECT_TRUE(window.close());
    EXPECT_FALSE(window.isVisible());
}

TEST_F(MainWindowTest, LogPaneKeepsOnlyTheNewestEntryOncePast65535Characters)
{
    CLeftView& log = *window.LeftView();
    const QString line(1000, QLatin1Char('x'));
    const int entryLength = static_cast<int>(CLeftView::MakeEntry(QStringLiteral("2025-12-09 08:00:00"), line).size());
    int added = 0;
    while (log.TextLength() + 2 + entryLength <= CLeftView::kMaxTextLength) {
        log.AddLogEntry(line);
        ++added;
    }
    EXPECT_GT(added, 60);
    EXPECT_EQ(log.TextLength(), added * entryLength + (added - 1) * 2);
    EXPECT_EQ(log.Text().count(line), added);

    log.AddLogEntry(QStringLiteral("newest"));  // still fits
    const QString last(2000, QLatin1Char('y'));
    log.AddLogEntry(last);                        // passes the limit
    EXPECT_EQ(log.Text().count(last), 1);
    EXPECT_FALSE(log.Text().contains(line));
    EXPECT_FALSE(log.Text().contains(QStringLiteral("newest")));
    EXPECT_TRUE(log.Text().endsWith(last));
    EXPECT_EQ(log.TextLength(), entryLength - 1000 + 2000);

    window.Action(Command::ClearLog)->trigger();
    EXPECT_EQ(log.TextLength(), 0);
    EXPECT_TRUE(log.Text().isEmpty());

    // A frame's control characters are shown as visible marks, not as points.
    log.AddLogEntry(QString::fromLatin1("\x01" "01\x02" "Z 1.5\x03" "AB\x7f"));
    EXPECT_TRUE(log.Text().endsWith(QString::fromUtf8("␁01␂Z 1.5␃AB␡"))) << log.Text().toStdString();
}

TEST_F(MainWindowTest, LogLinesFromWorkerThreadsArriveInOrder)
{
    CUiRuntimeView view;
    view.SetWindow(&window);
    std::thread worker([&] {
        for (int i = 0; i < 50; ++i) view.PostLogLine("line " + std::to_string(i));
    });
    worker.join();
    ASSERT_TRUE(WaitFor([&] { return window.LeftView()->Text().contains(QStringLiteral("line 49")); }));
    const QString text = window.LeftView()->Text();
    int at = -1;
    for (int i = 0; i < 50; ++i) {
        const int next = static_cast<int>(text.indexOf(QStringLiteral("line %1\n").arg(i)));
        const int found = next >= 0 ? next : static_cast<int>(text.indexOf(QStringLiteral("line %1").arg(i)));
        EXPECT_GT(found, at) << i;
        at = found;
    }
    view.SetWindow(nullptr);
}

TEST_F(MainWindowTest, AnswerIsHandedOverOnTheUiThreadAndTheSenderWaitsForIt)
{
    CUiRuntimeView view;
    view.SetWindow(&window);
    std::atomic<bool> returned{false};
    QThread* handledOn = nullptr;
    std::string handledFrame;
    window.SetAnswerHandler([&](int code, const std::string& frame) {
        handledOn = QThread::currentThread();
        handledFrame = std::to_string(code) + ":" + frame;
        EXPECT_FALSE(returned.load());  // the sender is still waiting
    });
    std::thread parser([&] {
        view.DeliverAnswer(7, "frame text");
        returned = true;
    });
    ASSERT_TRUE(WaitFor([&] { return returned.load(); }));
    parser.join();
    EXPECT_EQ(handledOn, QThread::currentThread());
    EXPECT_EQ(handledFrame, "7:frame text");
    view.SetWindow(nullptr);
}

TEST_F(MainWindowTest, ClosingReleasesAWaitingAnswerAndDropsLaterOnes)
{
    CUiRuntimeView view;
    view.SetWindow(&window);
    int handled = 0;
    window.SetAnswerHandler([&](int, const std::string&) { ++handled; });
    std::atomic<bool> returned{false};
    // The UI thread serves no events here, as while it joins the runtime threads.
    std::thread parser([&] {
        view.DeliverAnswer(1, "first");
        view.DeliverAnswer(2, "second");
        returned = true;
    });
    view.BeginClosing();
    parser.join();
    EXPECT_TRUE(returned.load());
    QCoreApplication::processEvents();
    EXPECT_EQ(handled, 0);
    view.SetWindow(nullptr);
}

TEST_F(MainWindowTest, PanesSplittersAndTabSheet)
{
    window.resize(1200, 900);
    window.show();
    ASSERT_TRUE(WaitFor([&] { return window.isVisible(); }));
    EXPECT_TRUE(window.OuterSplitter()->Locked());
    EXPECT_FALSE(window.OuterSplitter()->BarMayFollow(300));
    CMySplitterWnd& right = *window.RightSplitter();
    EXPECT_FALSE(right.Locked());
    const int h = right.height();
    EXPECT_FALSE(right.BarMayFollow(349));
    EXPECT_TRUE(right.BarMayFollow(350));
    EXPECT_TRUE(right.BarMayFollow(h - 300));
    EXPECT_FALSE(right.BarMayFollow(h - 299));
    EXPECT_EQ(window.OuterSplitter()->sizes().at(0), 300);
    EXPECT_GE(window.ConfigView()->minimumWidth(), 200);

    CConfigView& config = *window.ConfigView();
    EXPECT_EQ(config.CurrentPanel(), CConfigView::Panel::DeviceConfig);
    config.ShowPanel(CConfigView::Panel::Data, 2);
    EXPECT_EQ(config.DataPanel()->Title(), UiText("ConfigView", "ShowDlg2"));
    EXPECT_TRUE(config.SetPanel(CConfigView::Panel::Clock, new QWidget));
    EXPECT_FALSE(config.SetPanel(CConfigView::Panel::Data, nullptr));

    CTabSheet& pages = *config.DeviceConfigPages();
    EXPECT_EQ(pages.count(), 2);
    EXPECT_EQ(pages.tabText(0), UiText("DeviceConfigDlg", "Page1"));
    for (int i = 2; i < CTabSheet::kMaxPages; ++i) EXPECT_TRUE(pages.AddPage(QString::number(i), new QWidget));
    QWidget extra;
    EXPECT_FALSE(pages.AddPage(QStringLiteral("17"), &extra));
    EXPECT_EQ(pages.count(), CTabSheet::kMaxPages);
}

TEST_F(MainWindowTest, ScheduledRestartWaitsForAPictureThenRestartsOrKeepsServing)
{
    int startedProcesses = 0;
    window.SetProcessStarter([&] {
        ++startedProcesses;
        return false;  // no new process: this one must keep serving
    });
    service.running = true;
    service.picture = true;
    window.StartRebootTimer(std::chrono::milliseconds(30));
    EXPECT_TRUE(window.RebootTimerActive());
    ASSERT_TRUE(WaitFor([&] { return window.RebootWaitingForPicture(); }));
    EXPECT_EQ(startedProcesses, 0);  // an incomplete picture holds the restart
    EXPECT_EQ(service.stops, 0);

    service.picture = false;  // checked again within 3.6 s
    ASSERT_TRUE(WaitFor([&] { return startedProcesses > 0; }, 10000));
    EXPECT_GE(service.stops, 1);
    EXPECT_TRUE(service.running);  // started again after the failed restart
    EXPECT_FALSE(Enabled(Command::Start));

    window.StartRebootTimer(std::chrono::milliseconds(0));
    EXPECT_FALSE(window.RebootTimerActive());
}

}  // namespace
}  // namespace rtu::test
