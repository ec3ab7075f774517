// The operator's command dialogs with a simulated station behind them: each
// command is built into the frame the station would receive, read by the
// simulator, and its answer frame handed to the window's answer routing as
// the dispatcher does. Covers the configuration pages (read, edit, save),
// the station checks, the context menu, the answer texts and the remark
// dialog's writes to server.ini.
#include "UiTestSupport.h"

#include "rtu/control/OperatorCommands.h"
#include "rtu/control/RemarkText.h"
#include "rtu/protocol/FrameCodec.h"
#include "rtu/runtime/Settings.h"
#include "rtu/ui/ConfigView.h"
#include "rtu/ui/ControlDialogs.h"
#include "rtu/ui/DeviceView.h"
#include "rtu/ui/LeftView.h"
#include "rtu/ui/MainWindow.h"
#include "rtu/ui/StationControl.h"
#include "rtu/ui/UiText.h"
#include "tools/stationsim/StationFrames.h"

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QTimer>
#include <QPlainTextEdit>

#include <vector>

namespace rtu::test {
namespace {

constexpr const char* kStationA = "0000000101";
constexpr const char* kStationB = "0000000102";

// Answer codes of the dispatcher.
constexpr int kAnswer45 = 1;
constexpr int kAnswer48 = 4;
constexpr int kAnswerE2 = 6;
constexpr int kAnswer41 = 7;
constexpr int kAnswer43 = 9;
constexpr int kAnswer38 = 12;
constexpr int kAnswer51 = 13;

// Stations that read the commands sent to them and answer as a station would.
class SimulatedStations : public CommandSender {
public:
    struct Received {
        std::string station;
        std::string functionCode;
        std::string text;  // command text after serial number and send time
        int linkKind = 0;
        std::string answer;  // the station's answer frame
    };

    bool SendCommand(const std::string& station, const std::string& functionCode, const std::string& commandText,
                     int linkKind) override
    {
        if (!connected) return false;
        sim::StationIdentity id{"01", station, "B7E2"};
        FrameBytes frame;
        if (BuildCommandFrame(DownlinkAddress{id.station, id.centre, id.password}, functionCode, commandText,
                              frame) != CommandBuild::kBuilt) {
            return false;
        }
        sim::DownlinkFields fields;
        if (!sim::ReadDownlink(frame.View(), fields)) return false;
        sim::StationMemory& stored = memory[station];
        sim::RememberCommand(fields, stored);
        Received r{station, std::string(fields.functionCode), std::string(fields.text), linkKind, {}};
        r.answer = sim::EncodeUplinkFrame(id, fields.functionCode,
                                          sim::AnswerBody(fields, id, now, readings, &stored));
        received.push_back(r);
        return true;
    }

    bool connected = true;
    std::vector<Received> received;
    std::map<std::string, sim::StationMemory> memory;
    sim::StationReadings readings{7};
    CalendarTime now{2024, 5, 6, 12, 30, 45};
};

class StationControlTest : public UiTest {
protected:
    void SetUp() override
    {
        window.AttachService(&service);
        control = new CStationControl(window, &stations);
        CStationControl::Prompts prompts;
        prompts.inform = [this](QWidget*, const QString& text) { messages << text; };
        prompts.alert = &ShowErrorBox;
        prompts.askYesNo = [this](QWidget*, const QString& text) {
            questions << text;
            return answerYes;
        };
        prompts.runRemark = [this](CRemarkDlg& dialog) {
            if (remark) remark(dialog);
        };
        control->SetPrompts(prompts);
        AddStation(kStationA);
        AddStation(kStationB);
    }

    void AddStation(const std::string& station, bool online = true)
    {
        service.SetRecord(MakeRecord(station));
        window.OnStationState(station, StationState::Online, 0);
        if (!online) window.OnStationState(station, StationState::Offline, 0);
    }
    void Tick(const std::string& station) { List().ClickRow(List().FindRow(station)); }
    CDeviceView& List() { return *window.DeviceView(); }
    QString Log() const { return window.LeftView()->Text(); }
    const SimulatedStations::Received& Last() const { return stations.received.back(); }
    // The station's answer to the last command, routed as the dispatcher does.
    void Answer(int code) { window.OnStationAnswer(code, Last().answer); }

    // Edits a cell through the grid's own editor, as the operator does.
    static void Edit(CListCtrlEx& grid, int row, int column, const QString& text)
    {
        const QModelIndex index = grid.model()->index(row, column);
        QStyleOptionViewItem option;
        QAbstractItemDelegate* delegate = grid.itemDelegate();
        std::unique_ptr<QWidget> editor(delegate->createEditor(grid.viewport(), option, index));
        ASSERT_NE(editor, nullptr) << row << "," << column;
        delegate->setEditorData(editor.get(), index);
        if (auto* box = qobject_cast<QComboBox*>(editor.get())) {
            const int choice = box->findText(text);
            ASSERT_GE(choice, 0) << text.toStdString();
            box->setCurrentIndex(choice);
        } else {
            qobject_cast<QLineEdit*>(editor.get())->setText(text);
        }
        delegate->setModelData(editor.get(), grid.model(), index);
    }

    FakeService service;
    CMainWindow window;
    SimulatedStations stations;
    CStationControl* control = nullptr;  // owned by the window
    QStringList messages;
    QStringList questions;
    bool answerYes = true;
    std::function<void(CRemarkDlg&)> remark;
};

TEST_F(StationControlTest, BaseConfigurationReadIntoTheGridChangedAndSavedToTheStation)
{
    CBaseConfig& page = *control->BaseConfig();
    CListCtrlEx& grid = *page.Grid();
    Tick(kStationA);
    page.OnReadBack();
    ASSERT_EQ(stations.received.size(), 1u);
    EXPECT_EQ(Last().functionCode, "41");
    EXPECT_EQ(Last().text, " 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0F 1F ");
    EXPECT_TRUE(Log().contains(UiFormat("BaseConfig", "Text1", {kStationA})));

    Answer(kAnswer41);
    EXPECT_EQ(grid.Text(13, 1), kStationA);
    EXPECT_EQ(grid.Text(14, 1), "B7E2");
    EXPECT_EQ(grid.Text(3, 1), "127.0.0.1:5001");
    EXPECT_TRUE(page.StationShown().contains(kStationA));
    // Labels and heads are not editable; value cells have their editors.
    EXPECT_EQ(grid.EditorOf(3, 0), control::Editor::None);
    EXPECT_EQ(grid.EditorOf(6, 1), control::Editor::None);
    EXPECT_EQ(grid.ChoicesOf(16, 1).size(), 4);
    EXPECT_EQ(grid.item(0, 0)->background().color(), QColor(100, 100, 100));
    EXPECT_EQ(grid.item(2, 3)->background().color(), QColor(220, 220, 220));

    Edit(grid, 3, 1, "10.0.0.7:5005");
    Edit(grid, 16, 1, UiText("BaseConfig", "AddString1-16-2"));
    page.OnSaveSettings();
    ASSERT_EQ(stations.received.size(), 2u);
    EXPECT_EQ(Last().functionCode, "40");
    EXPECT_EQ(Last().station, kStationA);
    EXPECT_EQ(Last().text.substr(0, 58), "01 01000000 02 0000000101 03 B7E2 04 02010000000007005005 ");
    EXPECT_NE(Last().text.find(" 0C 03 "), std::string::npos) << Last().text;
    EXPECT_TRUE(Log().contains(UiFormat("BaseConfig", "Text4", {kStationA})));

    // The station keeps what was saved: a new read shows it.
    page.OnReadBack();
    Answer(kAnswer41);
    EXPECT_EQ(grid.Text(3, 1), "10.0.0.7:5005");
    EXPECT_EQ(grid.Text(16, 1), UiText("BaseConfig", "AddString1-16-2"));
}

TEST_F(StationControlTest, ConfigurationAnswersFromAStationNotAskedLeaveTheGrid)
{
    Tick(kStationA);
    control->BaseConfig()->OnReadBack();
    const std::string answerOfA = Last().answer;
    Tick(kStationB);
    control->RunConfig()->OnReadBack();  // the base page still waits for A

    // B answers a base configuration nobody asked it for.
    stations.SendCommand(kStationB, "41", std::string(control::kBaseConfigReadBody), 0);
    Answer(kAnswer41);
    EXPECT_TRUE(control->BaseConfig()->Grid()->Text(13, 1).isEmpty());
    EXPECT_TRUE(Log().contains(UiText("MainFrame", "Text52")));

    window.OnStationAnswer(kAnswer41, answerOfA);
    EXPECT_EQ(control->BaseConfig()->Grid()->Text(13, 1), kStationA);
}

TEST_F(StationControlTest, RunningParametersReadChangedAndSaved)
{
    CRunConfig& page = *control->RunConfig();
    CListCtrlEx& grid = *page.Grid();
    Tick(kStationB);
    page.OnReadBack();
    EXPECT_EQ(Last().text, " 20 21 22 23 24 25 26 27 28 38 ");
    Answer(kAnswer43);
    EXPECT_FALSE(grid.Text(3, 1).isEmpty());
    EXPECT_TRUE(page.StationShown().contains(kStationB));

    Edit(grid, 0, 1, "06");
    page.OnSaveSettings();
    EXPECT_EQ(Last().functionCode, "42");
    EXPECT_EQ(Last().text.substr(0, 6), "20 06 ");
    EXPECT_TRUE(Log().contains(QString::fromStdString(
        control::CommandLogLine(control::ConfigTexts(), kStationB, "RunConfig", "Text2"))));

    // An emptied value is refused with the cell named; nothing is sent.
    Edit(grid, 3, 1, "");
    const std::size_t sent = stations.received.size();
    page.OnSaveSettings();
    EXPECT_EQ(stations.received.size(), sent);
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].startsWith(UiText("RunConfig", "Item3"))) << messages[0].toStdString();
    EXPECT_EQ(grid.currentRow(), 3);
}

TEST_F(StationControlTest, CommandsNeedOneTickedOnlineStationAndFailuresAreLogged)
{
    control->BaseConfig()->OnReadBack();  // nothing ticked
    EXPECT_TRUE(stations.received.empty());
    EXPECT_TRUE(Log().contains(UiText("BaseConfig", "Text3")));

    AddStation("0000000103", false);
    Tick("0000000103");  // offline
    control->Clock()->OnSetClock();
    EXPECT_TRUE(stations.received.empty());

    Tick(kStationA);
    stations.connected = false;
    window.OnClearLog();
    control->Clock()->OnQueryClock();
    EXPECT_TRUE(Log().contains(UiText("MainFrame", "Text53")));
    EXPECT_FALSE(Log().contains(UiFormat("ClockControl", "Text2", {kStationA})));
}

TEST_F(StationControlTest, ClockPeriodPictureAndUpgradeCommandsAndTheirAnswers)
{
    Tick(kStationA);
    control->Clock()->OnSetClock();
    EXPECT_EQ(Last().functionCode, "4A");
    EXPECT_EQ(Last().text, "");
    control->Clock()->OnQueryClock();
    EXPECT_EQ(Last().functionCode, "51");
    Answer(kAnswer51);
    EXPECT_TRUE(control->Clock()->ClockText().endsWith("2024-05-06 12:30:45")) << control->Clock()->ClockText().toStdString();
    EXPECT_TRUE(control->Clock()->ClockText().contains(kStationA));

    CTimeDateDlg& period = *control->PeriodQuery();
    period.SetSpan(QDateTime(QDate(2024, 5, 6), QTime(22, 0)), QDateTime(QDate(2024, 5, 7), QTime(1, 0)),
                   control::PeriodElement::kRainfall);
    period.OnQueryPeriod();
    EXPECT_EQ(Last().functionCode, "38");
    EXPECT_EQ(Last().text, "2405062224050701 DRN05 DRP ");
    Answer(kAnswer38);
    ASSERT_EQ(period.Table()->columnCount(), 13);
    ASSERT_GE(period.Table()->rowCount(), 3);
    EXPECT_EQ(period.Table()->item(0, 0)->text(), "2024-05-06 22:00");
    EXPECT_EQ(period.Table()->item(2, 0)->text(), "2024-05-07 00:00");
    EXPECT_EQ(period.Table()->item(1, 5)->background().color(), QColor(220, 220, 220));
    EXPECT_EQ(period.Table()->horizontalHeaderItem(12)->text(), "60");
    period.ResetPeriodQuery();
    EXPECT_EQ(period.Table()->rowCount(), 0);

    CPhotoDlg& photo = *control->Photo();
    const std::size_t sent = stations.received.size();
    photo.OnRequestPicture();  // no camera ticked
    EXPECT_EQ(stations.received.size(), sent);
    EXPECT_TRUE(Log().contains(UiText("PhotoDlg", "Text2")));
    photo.Cameras()->item(0, 0)->setCheckState(Qt::Checked);
    photo.Cameras()->item(2, 0)->setCheckState(Qt::Checked);
    photo.OnRequestPicture();
    EXPECT_EQ(Last().functionCode, "81");
    EXPECT_EQ(Last().text.substr(Last().text.size() - 5), " 0103");

    CUpgradeControl& upgrade = *control->Upgrade();
    upgrade.SetFields("10.0.0.7", "", "1.2");
    // The empty field is reported in an error box with its own caption.
    QString shown;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    std::function<void()> closeBox = [&] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* box = qobject_cast<QMessageBox*>(w);
            if (box == nullptr || !box->isVisible()) continue;
            shown = box->windowTitle() + QLatin1Char('|') + box->text();
            icon = box->icon();
            box->done(0);
            return;
        }
        QTimer::singleShot(10, closeBox);
    };
    QTimer::singleShot(0, closeBox);
    upgrade.OnUpgrade();
    EXPECT_EQ(shown, QString::fromUtf8("提示|不能为空"));
    EXPECT_EQ(icon, QMessageBox::Critical);
    EXPECT_TRUE(messages.isEmpty());
    upgrade.SetFields("10.0.0.7", "5005", "1.2");
    upgrade.OnUpgrade();
    EXPECT_EQ(Last().functionCode, "E1");
    ASSERT_EQ(Last().text.size(), control::kUpgradeBodyBytes);
    EXPECT_EQ(Last().text.substr(24, 9), "10.0.0.7 ");
    EXPECT_EQ(Last().text[49], '\x03');
    EXPECT_EQ(Last().text.substr(50, 4), "1.2 ");
}

TEST_F(StationControlTest, ContextMenuSendsConfirmsAndShowsTheAnswerInTheDataPanel)
{
    std::unique_ptr<QMenu> menu = control->BuildMenu(kStationA, 0);
    QStringList order;
    for (QAction* action : menu->actions()) order << (action->isSeparator() ? "-" : action->objectName());
    EXPECT_EQ(order.join(' '), "Menu1 - Menu2 - Menu3 Menu4 Menu5 Menu6 Menu7 Menu8 - Menu9 Menu10 Menu11 Menu12");

    CShowDataDlg& data = *window.ConfigView()->DataPanel();
    control->OnStationCommand("Menu3", kStationA, 0);
    EXPECT_TRUE(questions.isEmpty());
    EXPECT_EQ(Last().functionCode, "45");
    EXPECT_EQ(Last().text, "");
    EXPECT_EQ(window.ConfigView()->CurrentPanel(), CConfigView::Panel::Data);
    EXPECT_EQ(data.Title(), UiText("ConfigView", "ShowDlg1"));
    EXPECT_TRUE(Log().contains(UiFormat("DeviceView", "Text1", {kStationA})));
    Answer(kAnswer45);
    EXPECT_TRUE(data.AnswerText().contains(kStationA)) << data.AnswerText().toStdString();

    // Answered No: nothing sent, the panel as it was.
    const QString before = data.AnswerText();
    const std::size_t sent = stations.received.size();
    answerYes = false;
    control->OnStationCommand("Menu9", kStationA, 0);
    EXPECT_EQ(questions.size(), 1);
    EXPECT_EQ(questions[0], UiText("DeviceView", "Message1"));
    EXPECT_EQ(stations.received.size(), sent);
    EXPECT_EQ(data.AnswerText(), before);

    answerYes = true;
    control->OnStationCommand("Menu9", kStationA, 0);
    EXPECT_EQ(Last().functionCode, "48");
    EXPECT_EQ(Last().text, "98");
    EXPECT_TRUE(data.AnswerText().isEmpty());
    Answer(kAnswer48);
    EXPECT_TRUE(data.AnswerText().contains(UiText("MainFrame", "Text39")));
    EXPECT_TRUE(Log().contains(UiText("MainFrame", "Text39")));

    control->OnStationCommand("Menu12", kStationB, 0);
    EXPECT_EQ(Last().functionCode, "E2");
    Answer(kAnswerE2);
    EXPECT_TRUE(data.AnswerText().contains(UiText("MainFrame", "Text41")));

    control->OnStationCommand("Menu5", kStationA, 0);
    EXPECT_EQ(window.ConfigView()->CurrentPanel(), CConfigView::Panel::PeriodQuery);
    control->OnStationCommand("Menu8", kStationA, 0);
    EXPECT_EQ(window.ConfigView()->CurrentPanel(), CConfigView::Panel::DeviceConfig);

    // An offline row is ticked by the right click but gets no menu.
    AddStation("0000000103", false);
    Tick(kStationA);
    control->OnStationRightClick("0000000103", 0, QPoint());
    EXPECT_TRUE(List().IsChecked(List().FindRow("0000000103")));
    EXPECT_FALSE(List().IsChecked(List().FindRow(kStationA)));
    // A click beside the rows clears the tick of the row clicked before.
    List().ClickRow(-1);
    EXPECT_FALSE(List().IsChecked(List().FindRow("0000000103")));
    EXPECT_EQ(List().LastClickedStation(), "");
}

TEST_F(StationControlTest, RemarkDialogWritesTheThreeSectionsAndTheRow)
{
    const std::string remarkText = "[Address]\nWeir gate\\2";
    remark = [&](CRemarkDlg& dialog) {
        dialog.SetFields("S101", "North Weir", QString::fromStdString(remarkText));
        dialog.accept();
    };
    control->OnStationCommand("Menu1", kStationA, 0);
    EXPECT_EQ(ReadSetting("Address", kStationA), control::EscapeRemark(remarkText));
    EXPECT_EQ(ReadSetting("Conversion ID", kStationA), "S101");
    EXPECT_EQ(ReadSetting("StationAdd", kStationA), "North Weir");
    const std::string ini = ReadFile(SettingsPath());
    EXPECT_EQ(ini.find("\n[Address]\nWeir"), std::string::npos) << "no line of the remark becomes a section";
    const int row = List().FindRow(kStationA);
    EXPECT_EQ(List().CellText(row, CDeviceView::kRemarkColumn).toStdString(), remarkText);
    EXPECT_EQ(List().CellText(row, CDeviceView::kConversionColumn), "S101");
    EXPECT_EQ(List().CellText(row, CDeviceView::kLocationColumn), "North Weir");

    // The row refreshed from server.ini reads the remark back as typed.
    window.OnStationState(kStationA, StationState::Online, 0);
    EXPECT_EQ(List().CellText(List().FindRow(kStationA), CDeviceView::kRemarkColumn).toStdString(), remarkText);

    // Over its limit the dialog stays open and nothing is written.
    bool accepted = true;
    remark = [&](CRemarkDlg& dialog) {
        dialog.SetFields("S102", "South", QString(101, QLatin1Char('r')));
        dialog.accept();
        accepted = dialog.result() == QDialog::Accepted;
    };
    control->OnStationCommand("Menu1", kStationB, 0);
    EXPECT_FALSE(accepted);
    EXPECT_EQ(ReadSetting("Conversion ID", kStationB), "");
    EXPECT_EQ(messages, QStringList{UiText("RemarkDlg", "Text2")});
    remark = [&](CRemarkDlg& dialog) {
        dialog.SetFields(QString::fromUtf8("水文站点编号九"), "South", QString(100, QChar(0x6C34)));
        dialog.accept();
        accepted = dialog.result() == QDialog::Accepted;
    };
    control->OnStationCommand("Menu1", kStationB, 0);
    EXPECT_TRUE(accepted) << "limits count characters, not bytes";
}

}  // namespace
}  // namespace rtu::test
