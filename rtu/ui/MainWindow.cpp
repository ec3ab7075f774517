#include "rtu/ui/MainWindow.h"

#include "rtu/common/Log.h"
#include "rtu/runtime/ScheduledRestart.h"
#include "rtu/ui/ConfigView.h"
#include "rtu/ui/DeviceView.h"
#include "rtu/ui/LeftView.h"
#include "rtu/ui/MySplitterWnd.h"
#include "rtu/ui/ServiceControl.h"
#include "rtu/ui/SettingsDialogs.h"
#include "rtu/ui/UiText.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QStatusBar>
#include <QStyle>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>

#include <algorithm>
#include <climits>

namespace rtu {

namespace {

constexpr int kLogPaneWidth = 300;
constexpr int kStationListHeight = 200;
constexpr int kBarTopLimit = 349;     // the bar follows the pointer only below this
constexpr int kBarBottomLimit = 299;  // and above this distance from the bottom
constexpr const char* kVersionText = "1.1.0";

QString FrameText(const char* key) { return UiText("MainFrame", key); }

}  // namespace

CMainWindow::CMainWindow(QWidget* parent) : QMainWindow(parent)
{
    setObjectName(QStringLiteral("CMainWindow"));
    setMinimumSize(800, 600);
    prompts_.inform = [](QWidget* p, const QString& text) { QMessageBox::information(p, MessageCaption(), text); };
    prompts_.askYesNo = [](QWidget* p, const QString& text) {
        return QMessageBox::question(p, MessageCaption(), text, QMessageBox::Yes | QMessageBox::No,
                                     QMessageBox::No) == QMessageBox::Yes;
    };

    BuildCommands();
    BuildStatusBar();
    BuildPanes();

    restartTimer_ = new QTimer(this);
    restartTimer_->setSingleShot(true);
    connect(restartTimer_, &QTimer::timeout, this, &CMainWindow::OnRestartTimer);

    UpdateCommands();
}

CMainWindow::~CMainWindow() = default;

void CMainWindow::BuildPanes()
{
    outer_ = new CMySplitterWnd(Qt::Horizontal, this);
    outer_->setObjectName(QStringLiteral("outerSplitter"));
    leftView_ = new CLeftView(outer_);
    right_ = new CMySplitterWnd(Qt::Vertical, outer_);
    right_->setObjectName(QStringLiteral("rightSplitter"));
    deviceView_ = new CDeviceView(right_);
    configView_ = new CConfigView(right_);
    configView_->setMinimumSize(200, 200);
    outer_->addWidget(leftView_);
    outer_->addWidget(right_);
    right_->addWidget(deviceView_);
    right_->addWidget(configView_);
    // The log pane keeps its width and the station list its height when the
    // window is resized; the configuration pane takes the rest.
    outer_->setStretchFactor(0, 0);
    outer_->setStretchFactor(1, 1);
    right_->setStretchFactor(0, 0);
    right_->setStretchFactor(1, 1);
    outer_->SetLocked(true);
    right_->SetBarLimits(kBarTopLimit, kBarBottomLimit);
    right_->SetLocked(false);
    setCentralWidget(outer_);

    connect(deviceView_, &CDeviceView::RowsChanged, this, &CMainWindow::UpdateStatus);
}

void CMainWindow::BuildCommands()
{
    QStyle* s = style();
    struct Entry {
        Command command;
        const char* button;  // tool bar text key, or nullptr
        const char* menu;    // menu text key, or nullptr
        QStyle::StandardPixmap icon;
    };
    const Entry entries[] = {
        {Command::Start, "Button0", "Menu1-1", QStyle::SP_MediaPlay},
        {Command::Stop, "Button1", "Menu1-2", QStyle::SP_MediaStop},
        {Command::ServiceSettings, "Button2", "Menu1-3", QStyle::SP_FileDialogDetailedView},
        {Command::SerialSettings, "Button3", "Menu1-4", QStyle::SP_DriveNetIcon},
        {Command::ClearLog, "Button6", "Menu2-1", QStyle::SP_DialogResetButton},
        {Command::ClearOffline, "Button5", "Menu2-2", QStyle::SP_TrashIcon},
        {Command::About, nullptr, "Menu3-1", QStyle::SP_MessageBoxInformation},
        {Command::Leave, "Button8", nullptr, QStyle::SP_DialogCloseButton},
    };
    for (const Entry& entry : entries) {
        auto* action = new QAction(s->standardIcon(entry.icon), FrameText(entry.menu ? entry.menu : entry.button), this);
        if (entry.button != nullptr) action->setIconText(FrameText(entry.button));
        actions_[static_cast<int>(entry.command)] = action;
    }
    connect(Action(Command::Start), &QAction::triggered, this, &CMainWindow::OnStartService);
    connect(Action(Command::Stop), &QAction::triggered, this, &CMainWindow::OnStopService);
    connect(Action(Command::ServiceSettings), &QAction::triggered, this, &CMainWindow::OnServiceSettings);
    connect(Action(Command::SerialSettings), &QAction::triggered, this, &CMainWindow::OnSerialSettings);
    connect(Action(Command::ClearLog), &QAction::triggered, this, &CMainWindow::OnClearLog);
    connect(Action(Command::ClearOffline), &QAction::triggered, this, &CMainWindow::OnClearOffline);
    connect(Action(Command::About), &QAction::triggered, this, &CMainWindow::OnAbout);
    connect(Action(Command::Leave), &QAction::triggered, this, &QWidget::close);

    QMenu* service = menuBar()->addMenu(FrameText("Menu1"));
    service->addAction(Action(Command::Start));
    service->addAction(Action(Command::Stop));
    service->addSeparator();
    service->addAction(Action(Command::ServiceSettings));
    service->addAction(Action(Command::SerialSettings));
    QMenu* view = menuBar()->addMenu(FrameText("Menu2"));
    view->addAction(Action(Command::ClearLog));
    view->addAction(Action(Command::ClearOffline));
    QMenu* help = menuBar()->addMenu(FrameText("Menu3"));
    help->addAction(Action(Command::About));
    // The state may have changed since the last command (a failed start).
    connect(service, &QMenu::aboutToShow, this, &CMainWindow::UpdateCommands);

    QToolBar* bar = addToolBar(FrameText("Menu1"));
    bar->setObjectName(QStringLiteral("toolBar"));
    bar->setMovable(false);
    bar->setFloatable(false);
    bar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    bar->setIconSize(QSize(28, 28));
    const Command buttons[] = {Command::Start,    Command::Stop,         Command::ServiceSettings,
                               Command::SerialSettings, Command::ClearOffline, Command::ClearLog,
                               Command::Leave};
    for (Command command : buttons) {
        if (command == Command::ClearOffline || command == Command::Leave) bar->addSeparator();
        bar->addAction(Action(command));
        if (QWidget* button = bar->widgetForAction(Action(command))) button->setMinimumSize(60, 60);
    }
}

void CMainWindow::BuildStatusBar()
{
    serviceStatus_ = new QLabel(this);
    stationStatus_ = new QLabel(this);
    statusBar()->addWidget(serviceStatus_, 1);
    statusBar()->addPermanentWidget(stationStatus_);
}

void CMainWindow::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    if (panesSized_) return;
    panesSized_ = true;
    outer_->setSizes({kLogPaneWidth, std::max(outer_->width() - kLogPaneWidth, 400)});
    right_->setSizes({kStationListHeight, std::max(right_->height() - kStationListHeight, 200)});
}

QAction* CMainWindow::Action(Command command) const { return actions_[static_cast<int>(command)]; }

void CMainWindow::AttachService(ServiceControl* service)
{
    service_ = service;
    UpdateCommands();
}

void CMainWindow::SetPrompts(Prompts prompts) { prompts_ = std::move(prompts); }

void CMainWindow::SetAnswerHandler(AnswerHandler handler) { answerHandler_ = std::move(handler); }


// ---- calls of the runtime view -----------------------------------------------------

void CMainWindow::AddLogLine(const QString& text) { leftView_->AddLogEntry(text); }

void CMainWindow::OnStationState(const std::string& station, StationState state, int linkKind)
{
    if (state == StationState::Offline) {
        deviceView_->UpdateUserItem(station);
        return;
    }
    CltDevInfo record;
    if (service_ != nullptr && service_->GetLinkRecord(station, linkKind, record)) deviceView_->UpdateStationRow(record);
}

void CMainWindow::OnStationAnswer(int answerCode, const std::string& frameText)
{
    if (answerHandler_) {
        answerHandler_(answerCode, frameText);
        return;
    }
    AddLogLine(QString::fromStdString(frameText));
}

void CMainWindow::OnClearStations()
{
    deviceView_->DeleteAllRows();
    UpdateCommands();
}

void CMainWindow::ShowMessage(const QString& text)
{
    if (prompts_.inform) prompts_.inform(this, text);
    UpdateCommands();
}

// ---- commands ------------------------------------------------------------------------

void CMainWindow::UpdateCommands()
{
    const bool attached = service_ != nullptr;
    const bool running = attached && service_->Running();
    Action(Command::Start)->setEnabled(attached && !running);
    Action(Command::Stop)->setEnabled(running);
    Action(Command::ServiceSettings)->setEnabled(attached && !running);
    Action(Command::SerialSettings)->setEnabled(attached && !running);
    UpdateStatus();
}

void CMainWindow::UpdateStatus()
{
    if (serviceStatus_ == nullptr || deviceView_ == nullptr) return;
    if (service_ != nullptr) {
        const int port = service_->Settings().Current()->port;
        serviceStatus_->setText(UiFormat("MainFrame", service_->Running() ? "Text8" : "Text11", {port}));
    }
    int online = 0;
    const QString onlineText = UiText("DeviceView", "Online");
    for (int row = 0; row < deviceView_->RowCount(); ++row) {
        if (deviceView_->CellText(row, CDeviceView::kStateColumn) == onlineText) ++online;
    }
    stationStatus_->setText(QStringLiteral("%1: %2   %3: %4")
                                .arg(UiText("DeviceView", "Static1"))
                                .arg(deviceView_->RowCount())
                                .arg(onlineText)
                                .arg(online));
}

void CMainWindow::OnStartService()
{
    if (service_ == nullptr || service_->Running()) return;
    service_->StartService();
    UpdateCommands();
}

void CMainWindow::OnStopService()
{
    if (service_ == nullptr || !service_->Running()) return;
    service_->StopService();
    UpdateCommands();
}

void CMainWindow::OnServiceSettings()
{
    if (service_ == nullptr || service_->Running()) return;
    CSysSetDlg dialog(*service_->Settings().Current(), this);
    if (dialog.exec() == QDialog::Accepted) service_->Settings().Replace(dialog.Result());
    UpdateCommands();
}

void CMainWindow::OnSerialSettings()
{
    if (service_ == nullptr || service_->Running()) return;
    const auto current = service_->Settings().Current();
    CCommProDlg dialog(current->comm, this);
    if (dialog.exec() == QDialog::Accepted) {
        ServerSettings changed = *current;
        changed.comm = dialog.Result();
        service_->Settings().Replace(changed);
    }
    UpdateCommands();
}

void CMainWindow::OnClearLog() { leftView_->Clear(); }

void CMainWindow::OnClearOffline()
{
    try {
        deviceView_->ClearOfflineStations();
    } catch (...) {
        RTU_LOG_ERROR("clearing the offline stations failed");
    }
}

void CMainWindow::OnAbout()
{
    QMessageBox::about(this, MessageCaption(), UiFormat("SLRtuApp", "Title", {kVersionText}));
}

void CMainWindow::closeEvent(QCloseEvent* event)
{
    if (leaving_) {
        event->accept();
        return;
    }
    if (service_ != nullptr && service_->Running()) {
        if (prompts_.inform) prompts_.inform(this, FrameText("Text13"));
        event->ignore();
        return;
    }
    if (prompts_.askYesNo && prompts_.askYesNo(this, FrameText("Text14"))) {
        leaving_ = true;
        event->accept();
    } else {
        event->ignore();
    }
}

// ---- scheduled restart ------------------------------------------------------------------

std::unique_ptr<ScheduledRestart> CMainWindow::MakeRestart(std::chrono::milliseconds period)
{
    ScheduledRestart::Hooks hooks;
    hooks.isReceivingImage = [this] { return service_ != nullptr && service_->PictureInProgress(); };
    hooks.stopService = [this] {
        if (service_ != nullptr && service_->Running()) service_->StopService();
        UpdateCommands();
    };
    hooks.startService = [this] {
        if (service_ != nullptr && !service_->Running()) service_->StartService();
        UpdateCommands();
    };
    if (processStarter_) {
        hooks.spawn = [starter = processStarter_](std::string& error) {
            if (starter()) return true;
            error = "the new process could not be started";
            return false;
        };
    }
    hooks.requestExit = [this](int exitCode) {
        leaving_ = true;  // no question: the new process takes over
        restartTimer_->stop();
        QCoreApplication::exit(exitCode);
    };
    return std::make_unique<ScheduledRestart>(period, std::move(hooks));
}

void CMainWindow::StartRebootTimer(std::chrono::milliseconds period)
{
    restartTimer_->stop();
    restart_ = MakeRestart(period);
    if (restart_->Enabled()) ArmRestartTimer();
}

bool CMainWindow::RebootTimerActive() const { return restartTimer_->isActive(); }

bool CMainWindow::RebootWaitingForPicture() const { return restart_ != nullptr && restart_->Waiting(); }

void CMainWindow::SetProcessStarter(std::function<bool()> starter)
{
    processStarter_ = std::move(starter);
    if (restart_ != nullptr && restart_->Enabled()) StartRebootTimer(restart_->Period());
}

void CMainWindow::ArmRestartTimer()
{
    // A Qt timer takes an int of milliseconds (about 24 days): a later event
    // is reached in several steps.
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(restart_->NextDue() -
                                                                            ScheduledRestart::Clock::now());
    restartTimer_->start(static_cast<int>(std::clamp<long long>(wait.count(), 1, INT_MAX)));
}

void CMainWindow::OnRestartTimer()
{
    if (restart_ == nullptr || !restart_->Enabled()) return;
    restart_->Tick(ScheduledRestart::Clock::now());
    if (!restart_->Exiting()) ArmRestartTimer();
}

void CMainWindow::RestartProgram()
{
    if (restart_ != nullptr) {
        restart_->Restart();
    } else {
        MakeRestart(std::chrono::milliseconds(0))->Restart();
    }
    UpdateCommands();
}

}  // namespace rtu
