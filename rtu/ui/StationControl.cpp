#include "rtu/ui/StationControl.h"

#include "rtu/control/OperatorCommands.h"
#include "rtu/common/Log.h"
#include "rtu/runtime/MainFrame.h"
#include "rtu/runtime/TextFormat.h"
#include "rtu/ui/ConfigView.h"
#include "rtu/ui/DeviceView.h"
#include "rtu/ui/MainWindow.h"
#include "rtu/ui/TabSheet.h"
#include "rtu/ui/UiText.h"

#include <QMenu>
#include <QMessageBox>
#include <QMutexLocker>
#include <QPointer>

#include <cstdlib>
#include <utility>

namespace rtu {

namespace {

// Text boxes show line breaks as single line feeds.
QString BoxText(const std::string& text)
{
    QString shown = QString::fromStdString(text);
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return shown;
}

// Menu entries in order; empty keys are separators.
constexpr const char* kMenuKeys[] = {"Menu1", "", "Menu2", "", "Menu3", "Menu4", "Menu5", "Menu6", "Menu7",
                                     "Menu8", "", "Menu9", "Menu10", "Menu11", "Menu12"};

// The data panel number of a title key "ShowDlg<n>".
int PanelNumber(const char* titleKey)
{
    const std::string key = titleKey != nullptr ? titleKey : "";
    return key.size() > 7 ? std::atoi(key.c_str() + 7) : 0;
}

}  // namespace

bool FrameCommandSender::SendCommand(const std::string& station, const std::string& functionCode,
                                     const std::string& commandText, int linkKind)
{
    return frame_.SendCommand(station, functionCode, commandText, linkKind);
}

CStationControl::CStationControl(CMainWindow& window, CommandSender* sender, control::TextLookup texts)
    : QObject(&window), window_(window)
{
    prompts_->inform = [](QWidget* parent, const QString& text) {
        QMessageBox::information(parent, MessageCaption(), text);
    };
    prompts_->alert = &ShowErrorBox;
    prompts_->askYesNo = [](QWidget* parent, const QString& text) {
        return QMessageBox::question(parent, MessageCaption(), text, QMessageBox::Yes | QMessageBox::No,
                                     QMessageBox::No) == QMessageBox::Yes;
    };
    prompts_->runRemark = [](CRemarkDlg& dialog) { dialog.exec(); };

    sender_->target = sender;
    context_.sender = sender_;
    context_.stations = window.DeviceView();
    context_.texts = std::move(texts);
    // The dialogs live as long as the window; what they call must too.
    CMainWindow* target = &window;
    context_.log = [target](const QString& text) { target->AddLogLine(text); };
    context_.inform = [prompts = prompts_](QWidget* parent, const QString& text) {
        if (prompts->inform) prompts->inform(parent, text);
    };
    context_.alert = [prompts = prompts_](QWidget* parent, const QString& caption, const QString& text) {
        if (prompts->alert) prompts->alert(parent, caption, text);
    };

    CConfigView* pane = window.ConfigView();
    base_ = new CBaseConfig(context_);
    base_->SetAskedStations(&asked_);
    run_ = new CRunConfig(context_, &asked_);
    pane->DeviceConfigPages()->ReplacePage(0, base_);
    pane->DeviceConfigPages()->ReplacePage(1, run_);
    clock_ = new CClockControl(context_);
    period_ = new CTimeDateDlg(context_);
    photo_ = new CPhotoDlg(context_);
    upgrade_ = new CUpgradeControl(context_);
    pane->SetPanel(CConfigView::Panel::Clock, clock_);
    pane->SetPanel(CConfigView::Panel::PeriodQuery, period_);
    pane->SetPanel(CConfigView::Panel::Picture, photo_);
    pane->SetPanel(CConfigView::Panel::Upgrade, upgrade_);

    // The handler outlives this object when it is deleted with the window
    // (the window's members are gone by then): it checks that it still exists.
    QPointer<CStationControl> self(this);
    window.SetAnswerHandler([self](int answerCode, const std::string& frameText) {
        if (self) self->OnStationAnswer(answerCode, frameText);
    });
    connect(window.DeviceView(), &CDeviceView::StationContextMenu, this, &CStationControl::OnStationRightClick);
}

CStationControl::~CStationControl() = default;

void CStationControl::SetSender(CommandSender* sender)
{
    sender_->target = sender;
}

void CStationControl::SetPrompts(Prompts prompts) { *prompts_ = std::move(prompts); }

void CStationControl::OnStationAnswer(int answerCode, const std::string& frameText)
{
    const control::StationAnswer answer = control::PresentAnswer(answerCode, frameText, context_.texts, &asked_);
    if (answer.showInDataPanel) window_.ConfigView()->DataPanel()->SetAnswerText(BoxText(answer.logText));
    switch (answer.action) {
    case control::AnswerAction::kBaseConfigReply: base_->ShowBaseConfigReply(answer.station, answer.replyBody); break;
    case control::AnswerAction::kRunConfigReply: run_->ShowRunConfigReply(answer.station, answer.replyBody); break;
    case control::AnswerAction::kPeriodReply:
        if (answer.period) period_->ShowPeriodReply(*answer.period);
        break;
    case control::AnswerAction::kClockReply: clock_->ShowClockReply(BoxText(answer.logText)); break;
    case control::AnswerAction::kDropLink:  // done by the runtime before the hand-over
    case control::AnswerAction::kNone: break;
    }
    if (answer.ignored) {
        RTU_LOG_DEBUG("answer " << answerCode << " of station " << answer.station
                                << " ignored: the page asked another station");
    }
    if (!answer.logText.empty()) window_.AddLogLine(QString::fromStdString(answer.logText));
}

std::unique_ptr<QMenu> CStationControl::BuildMenu(const std::string& station, int linkKind)
{
    auto menu = std::make_unique<QMenu>(window_.DeviceView());
    for (const char* key : kMenuKeys) {
        if (*key == '\0') {
            menu->addSeparator();
            continue;
        }
        QAction* action = menu->addAction(UiText("DeviceView", key));
        action->setObjectName(QString::fromLatin1(key));
        const std::string menuKey = key;
        connect(action, &QAction::triggered, this,
                [this, menuKey, station, linkKind]() { OnStationCommand(menuKey, station, linkKind); });
    }
    return menu;
}

void CStationControl::OnStationRightClick(const QString& station, int linkKind, const QPoint& globalPos)
{
    CDeviceView* list = window_.DeviceView();
    QMutexLocker<QRecursiveMutex> lock(&list->ListLock());
    const int row = list->FindRow(station.toStdString());
    if (row < 0) return;
    list->ClickRow(row);
    if (!list->IsOnline(row)) return;
    std::unique_ptr<QMenu> menu = BuildMenu(station.toStdString(), linkKind);
    menu->exec(globalPos);
}

void CStationControl::OnStationCommand(const std::string& menuKey, const std::string& station, int linkKind)
{
    CConfigView* pane = window_.ConfigView();
    using Panel = CConfigView::Panel;
    if (menuKey == "Menu1") {
        OpenRemark(station);
        return;
    }
    if (menuKey == "Menu2") return pane->ShowPanel(Panel::Clock);
    if (menuKey == "Menu5") {
        period_->ResetPeriodQuery();
        return pane->ShowPanel(Panel::PeriodQuery);
    }
    if (menuKey == "Menu7") return pane->ShowPanel(Panel::Picture);
    if (menuKey == "Menu8") return pane->ShowPanel(Panel::DeviceConfig);
    if (menuKey == "Menu11") return pane->ShowPanel(Panel::Upgrade);

    const control::ContextCommand* entry = control::ContextCommandOf(menuKey);
    if (entry == nullptr) return;
    if (entry->confirmKey != nullptr && *entry->confirmKey != '\0') {
        const QString question = UiText("DeviceView", entry->confirmKey);
        if (!prompts_->askYesNo || !prompts_->askYesNo(window_.DeviceView(), question)) return;
    }
    pane->ShowPanel(Panel::Data, PanelNumber(entry->panelTitleKey));
    pane->DataPanel()->SetAnswerText(QString());
    if (context_.Send(station, linkKind, entry->command)) {
        context_.Log(FormatConfigText("DeviceView", entry->logKey, {station}));
    }
}

void CStationControl::OpenRemark(const std::string& station)
{
    CDeviceView* list = window_.DeviceView();
    CRemarkDlg::Values values;
    {
        QMutexLocker<QRecursiveMutex> lock(&list->ListLock());
        const int row = list->FindRow(station);
        if (row < 0) return;
        values.station = QString::fromStdString(station);
        values.conversionId = list->CellText(row, CDeviceView::kConversionColumn);
        values.location = list->CellText(row, CDeviceView::kLocationColumn);
        values.remark = list->CellText(row, CDeviceView::kRemarkColumn);
    }
    CRemarkDlg dialog(values, prompts_->inform, &window_);
    if (prompts_->runRemark) prompts_->runRemark(dialog);
    if (dialog.result() != QDialog::Accepted) return;
    const CRemarkDlg::Values stored = dialog.Result();
    list->SetRemarkTexts(station, stored.location, stored.remark, stored.conversionId);
}

}  // namespace rtu
