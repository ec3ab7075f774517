// CMainWindow: the operator's main window. Three panes: the log pane on the
// left (its bar to the right pane does not move), the station list at the top
// right and the configuration pane below it (their bar moves, but stays 350
// pixels below the top and 300 above the bottom). Menus, a tool bar and a
// status bar carry the commands:
//
//   start service / stop service      enabled while the service is stopped / runs
//   service settings / serial settings  enabled while the service is stopped
//   clear log, clear offline stations, about, leave   always
//
// Leaving is refused while the service runs and confirmed otherwise. Message
// boxes take their caption from Title of section BaseConfig. Everything here
// runs on the user-interface thread.
#pragma once

#include "rtu/runtime/LinkRecord.h"
#include "rtu/runtime/RuntimeView.h"

#include <QMainWindow>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

class QAction;
class QLabel;
class QTimer;

namespace rtu {

class CConfigView;
class CDeviceView;
class CLeftView;
class CMySplitterWnd;
class ScheduledRestart;
class ServiceControl;

class CMainWindow : public QMainWindow {
    Q_OBJECT
public:
    enum class Command { Start, Stop, ServiceSettings, SerialSettings, ClearLog, ClearOffline, About, Leave };

    // How the window asks the operator. Tests replace them; the defaults are message boxes.
    struct Prompts {
        std::function<void(QWidget* parent, const QString& text)> inform;
        std::function<bool(QWidget* parent, const QString& text)> askYesNo;
    };

    // An answer of a station (answer code, frame text), handled on the
    // user-interface thread while the parse thread waits.
    using AnswerHandler = std::function<void(int answerCode, const std::string& frameText)>;

    explicit CMainWindow(QWidget* parent = nullptr);
    ~CMainWindow() override;

    // The runtime the commands act on; nullptr when there is none (yet).
    void AttachService(ServiceControl* service);
    ServiceControl* Service() const { return service_; }
    void SetPrompts(Prompts prompts);
    // Answer routing to the command dialogs. Without a handler an answer is
    // shown in the log pane as received.
    void SetAnswerHandler(AnswerHandler handler);

    // Calls of the runtime view, on the user-interface thread.
    void AddLogLine(const QString& text);
    void OnStationState(const std::string& station, StationState state, int linkKind);
    void OnStationAnswer(int answerCode, const std::string& frameText);
    void OnClearStations();
    void ShowMessage(const QString& text);

    // Enables the commands for the service state.
    void UpdateCommands();
    QAction* Action(Command command) const;

    // Scheduled restart (ScheduledRestart.h) every `period` (zero: none): the
    // program restarts at once, or, while a picture is being received, once
    // it is complete (checked every 3.6 s). Its timers run on this window's
    // event loop.
    void StartRebootTimer(std::chrono::milliseconds period);
    bool RebootTimerActive() const;
    bool RebootWaitingForPicture() const;
    // Starts the new process of the program; true when it started. The
    // default starts this executable again with its arguments.
    void SetProcessStarter(std::function<bool()> starter);
    // Stops the service and restarts the program (exit code 16); when the new
    // process cannot be started the service is started again.
    void RestartProgram();

    CLeftView* LeftView() const { return leftView_; }
    CDeviceView* DeviceView() const { return deviceView_; }
    CConfigView* ConfigView() const { return configView_; }
    CMySplitterWnd* OuterSplitter() const { return outer_; }
    CMySplitterWnd* RightSplitter() const { return right_; }

    // Exit code of a restart.
    static constexpr int kRestartExitCode = 16;

public slots:
    void OnStartService();
    void OnStopService();
    void OnServiceSettings();
    void OnSerialSettings();
    void OnClearLog();
    void OnClearOffline();
    void OnAbout();

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void BuildPanes();
    void BuildCommands();
    void BuildStatusBar();
    void UpdateStatus();
    void OnRestartTimer();
    void ArmRestartTimer();
    std::unique_ptr<ScheduledRestart> MakeRestart(std::chrono::milliseconds period);

    ServiceControl* service_ = nullptr;
    Prompts prompts_;
    AnswerHandler answerHandler_;
    std::function<bool()> processStarter_;
    bool leaving_ = false;  // a restart closes without asking
    bool panesSized_ = false;

    CMySplitterWnd* outer_ = nullptr;
    CMySplitterWnd* right_ = nullptr;
    CLeftView* leftView_ = nullptr;
    CDeviceView* deviceView_ = nullptr;
    CConfigView* configView_ = nullptr;
    QAction* actions_[8] = {};
    QLabel* serviceStatus_ = nullptr;
    QLabel* stationStatus_ = nullptr;

    std::unique_ptr<ScheduledRestart> restart_;
    QTimer* restartTimer_ = nullptr;  // due at the restart's next timer event
};

}  // namespace rtu
