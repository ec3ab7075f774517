// CStationControl puts the operator's command dialogs into the main window and
// routes the stations' answers: every answer code is presented with
// control::PresentAnswer, its text goes to the log pane (and, for the
// queries of the context menu, to the data panel), configuration, period and
// clock answers go to their dialogs (the runtime has already closed the link
// of a station that announced a restart). It also serves the station list's context menu and
// the remark dialog. User-interface thread only.
#pragma once

#include "rtu/control/StationAnswer.h"
#include "rtu/ui/ControlDialogs.h"

#include <QObject>
#include <QPoint>

#include <functional>
#include <memory>
#include <string>

class QMenu;

namespace rtu {

class CMainFrame;
class CMainWindow;

// Commands through the runtime owner.
class FrameCommandSender : public CommandSender {
public:
    explicit FrameCommandSender(CMainFrame& frame) : frame_(frame) {}
    bool SendCommand(const std::string& station, const std::string& functionCode, const std::string& commandText,
                     int linkKind) override;

private:
    CMainFrame& frame_;
};

class CStationControl : public QObject {
    Q_OBJECT
public:
    // How the operator is asked: tests replace them (defaults: message boxes
    // with the Title caption; the remark dialog runs modally).
    struct Prompts {
        std::function<void(QWidget* parent, const QString& text)> inform;
        std::function<void(QWidget* parent, const QString& caption, const QString& text)> alert;
        std::function<bool(QWidget* parent, const QString& text)> askYesNo;
        std::function<void(CRemarkDlg& dialog)> runRemark;
    };

    // Builds the dialogs into `window`'s configuration pane and installs the
    // answer handler and the context menu. `sender` may be null (nothing is
    // sent; the failure is logged) and must outlive this object otherwise.
    CStationControl(CMainWindow& window, CommandSender* sender, control::TextLookup texts = control::ConfigTexts());
    ~CStationControl() override;

    void SetSender(CommandSender* sender);
    void SetPrompts(Prompts prompts);

    // The answer routing (installed as the window's answer handler).
    void OnStationAnswer(int answerCode, const std::string& frameText);

    // A context-menu entry (menu key of section DeviceView: "Menu1" .. "Menu12")
    // chosen for `station`.
    void OnStationCommand(const std::string& menuKey, const std::string& station, int linkKind);
    // The menu asked for on the row of `station`: ticks the row; shows the
    // menu when the station is online.
    void OnStationRightClick(const QString& station, int linkKind, const QPoint& globalPos);
    // The menu's entries in order (null entries are separators); built for tests too.
    std::unique_ptr<QMenu> BuildMenu(const std::string& station, int linkKind);

    CBaseConfig* BaseConfig() const { return base_; }
    CRunConfig* RunConfig() const { return run_; }
    CClockControl* Clock() const { return clock_; }
    CTimeDateDlg* PeriodQuery() const { return period_; }
    CPhotoDlg* Photo() const { return photo_; }
    CUpgradeControl* Upgrade() const { return upgrade_; }
    const control::AskedStations& Asked() const { return asked_; }

private:
    void OpenRemark(const std::string& station);

    class ForwardingSender : public CommandSender {
    public:
        bool SendCommand(const std::string& station, const std::string& functionCode,
                         const std::string& commandText, int linkKind) override
        {
            return target != nullptr && target->SendCommand(station, functionCode, commandText, linkKind);
        }
        CommandSender* target = nullptr;
    };

    CMainWindow& window_;
    ControlContext context_;
    std::shared_ptr<Prompts> prompts_ = std::make_shared<Prompts>();
    // The dialogs send through this one, so that SetSender reaches them all;
    // shared with them, as they may outlive this object.
    std::shared_ptr<ForwardingSender> sender_ = std::make_shared<ForwardingSender>();
    control::AskedStations asked_;
    CBaseConfig* base_ = nullptr;
    CRunConfig* run_ = nullptr;
    CClockControl* clock_ = nullptr;
    CTimeDateDlg* period_ = nullptr;
    CPhotoDlg* photo_ = nullptr;
    CUpgradeControl* upgrade_ = nullptr;
};

}  // namespace rtu
