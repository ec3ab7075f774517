#include "rtu/ui/ControlDialogs.h"

#include "rtu/control/OperatorCommands.h"
#include "rtu/control/RemarkText.h"
#include "rtu/common/Log.h"
#include "rtu/runtime/Settings.h"
#include "rtu/runtime/TextFormat.h"
#include "rtu/ui/DeviceView.h"
#include "rtu/ui/UiText.h"

#include <QMessageBox>
#include <QComboBox>
#include <QDateEdit>
#include <QDateTime>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QRegularExpressionValidator>
#include <QTimeEdit>
#include <QVBoxLayout>

#include <utility>

namespace rtu {

namespace {

QString Q(const std::string& text) { return QString::fromStdString(text); }

QColor ColorOf(const control::Rgb& rgb) { return QColor(rgb.r, rgb.g, rgb.b); }

// "Station: S" above a page's grid: which station the values come from.
QString StationCaption(const ControlContext& context, const std::string& station)
{
    if (station.empty()) return QString();
    return context.Text("MainFrame", "Text35") + QStringLiteral(": ") + Q(station);
}

// A config.ini text used as a format with the station address.
std::string Format1(const char* section, const char* key, const std::string& station)
{
    return FormatConfigText(section, key, {station});
}

QPushButton* Button(const QString& text, QWidget* parent)
{
    auto* button = new QPushButton(text, parent);
    button->setAutoDefault(false);
    return button;
}

}  // namespace

// ---- ControlContext -----------------------------------------------------------------

bool ControlContext::TickedStation(std::string* station, int* linkKind) const
{
    std::string address;
    int link = 0;
    if (stations == nullptr || !stations->GetCheckedOnlineStation(&address, &link)) {
        Log(texts("BaseConfig", "Text3"));
        return false;
    }
    if (address.empty()) {
        Log(texts("BaseConfig", "Text2"));
        return false;
    }
    *station = address;
    *linkKind = link;
    return true;
}

bool ControlContext::Send(const std::string& station, int linkKind, const control::Command& command) const
{
    if (sender != nullptr && sender->SendCommand(station, command.functionCode, command.text, linkKind)) return true;
    Log(control::CommandLogLine(texts, station, "MainFrame", "Text53"));
    RTU_LOG_ERROR("command " << command.functionCode << " to station " << station << " was not sent");
    return false;
}

void ControlContext::Log(const std::string& text) const
{
    if (log) log(Q(text));
}

QString ControlContext::Text(const char* section, const char* key) const
{
    return texts ? Q(texts(section, key)) : QString();
}

// ---- grid ---------------------------------------------------------------------------

QWidget* CConfigGridDelegate::createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                                           const QModelIndex& index) const
{
    const auto editor = static_cast<control::Editor>(index.data(kEditorRole).toInt());
    if (editor == control::Editor::List) {
        auto* box = new QComboBox(parent);
        box->addItems(index.data(kChoicesRole).toStringList());
        return box;
    }
    if (editor == control::Editor::Text) return new QLineEdit(parent);
    (void)option;
    return nullptr;
}

void CConfigGridDelegate::setEditorData(QWidget* editor, const QModelIndex& index) const
{
    const QString text = index.data(Qt::DisplayRole).toString();
    if (auto* box = qobject_cast<QComboBox*>(editor)) {
        box->setCurrentIndex(box->findText(text));
    } else if (auto* line = qobject_cast<QLineEdit*>(editor)) {
        line->setText(text);
    }
}

void CConfigGridDelegate::setModelData(QWidget* editor, QAbstractItemModel* model, const QModelIndex& index) const
{
    if (auto* box = qobject_cast<QComboBox*>(editor)) {
        if (box->currentIndex() >= 0) model->setData(index, box->currentText(), Qt::EditRole);
    } else if (auto* line = qobject_cast<QLineEdit*>(editor)) {
        model->setData(index, line->text(), Qt::EditRole);
    }
}

CListCtrlEx::CListCtrlEx(const Layout& layout, const QStringList& headers, QWidget* parent)
    : QTableWidget(layout.rows, layout.columns, parent)
{
    setItemDelegate(new CConfigGridDelegate(this));
    setHorizontalHeaderLabels(headers);
    horizontalHeader()->setSectionsClickable(false);
    horizontalHeader()->setHighlightSections(false);
    verticalHeader()->setVisible(false);
    verticalHeader()->setDefaultSectionSize(20);
    setSortingEnabled(false);
    setShowGrid(true);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::SelectedClicked |
                    QAbstractItemView::EditKeyPressed);
    for (int c = 0; c < layout.columns && c < static_cast<int>(layout.widths.size()); ++c) {
        setColumnWidth(c, layout.widths[static_cast<std::size_t>(c)]);
    }
    for (int r = 0; r < layout.rows; ++r) {
        for (int c = 0; c < layout.columns; ++c) {
            const control::CellSpec spec = layout.cell(r, c);
            auto* item = new QTableWidgetItem;
            item->setBackground(ColorOf(spec.background));
            item->setForeground(ColorOf(spec.foreground));
            item->setData(CConfigGridDelegate::kEditorRole, static_cast<int>(spec.editor));
            if (spec.editor == control::Editor::List && layout.choices) {
                QStringList choices;
                for (const std::string& choice : layout.choices(r, c)) choices << Q(choice);
                item->setData(CConfigGridDelegate::kChoicesRole, choices);
            }
            Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
            if (spec.editor != control::Editor::None) flags |= Qt::ItemIsEditable;
            item->setFlags(flags);
            setItem(r, c, item);
        }
    }
}

void CListCtrlEx::Show(const control::ConfigGrid& grid)
{
    for (int r = 0; r < rowCount(); ++r) {
        for (int c = 0; c < columnCount(); ++c) SetText(r, c, Q(grid.Get(r, c)));
    }
}

control::ConfigGrid CListCtrlEx::Values() const
{
    control::ConfigGrid grid(rowCount(), columnCount());
    for (int r = 0; r < rowCount(); ++r) {
        for (int c = 0; c < columnCount(); ++c) grid.Set(r, c, Text(r, c).toStdString());
    }
    return grid;
}

QString CListCtrlEx::Text(int row, int column) const
{
    const QTableWidgetItem* cell = item(row, column);
    return cell != nullptr ? cell->text() : QString();
}

void CListCtrlEx::SetText(int row, int column, const QString& text)
{
    if (QTableWidgetItem* cell = item(row, column)) {
        cell->setText(text);
        cell->setToolTip(text);  // the columns are narrow for some choices
    }
}

control::Editor CListCtrlEx::EditorOf(int row, int column) const
{
    const QTableWidgetItem* cell = item(row, column);
    return cell != nullptr ? static_cast<control::Editor>(cell->data(CConfigGridDelegate::kEditorRole).toInt())
                           : control::Editor::None;
}

QStringList CListCtrlEx::ChoicesOf(int row, int column) const
{
    const QTableWidgetItem* cell = item(row, column);
    return cell != nullptr ? cell->data(CConfigGridDelegate::kChoicesRole).toStringList() : QStringList();
}

namespace {

// Grid, station caption and the save / read buttons of a configuration page.
QVBoxLayout* PageLayout(QWidget* page, QLabel* station, CListCtrlEx* grid, const ControlContext& context,
                        QPushButton** save, QPushButton** read)
{
    *save = Button(context.Text("RunConfig", "Button1"), page);
    *read = Button(context.Text("RunConfig", "Button2"), page);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(station, 1);
    buttons->addWidget(*save);
    buttons->addWidget(*read);
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->addWidget(grid, 1);
    layout->addLayout(buttons);
    return layout;
}

// A refused save: the message names the cell; the cell is selected.
void ShowRefusal(const ControlContext& context, QWidget* page, CListCtrlEx* grid, const control::SaveRefusal& refusal)
{
    grid->setCurrentCell(refusal.cell.row, refusal.cell.column);
    if (context.inform) context.inform(page, Q(refusal.message));
}

}  // namespace

// ---- base configuration -----------------------------------------------------------

CBaseConfig::CBaseConfig(ControlContext context, QWidget* parent) : QWidget(parent), context_(std::move(context))
{
    CListCtrlEx::Layout layout;
    layout.rows = control::kBaseConfigRows;
    layout.columns = control::kBaseConfigColumns;
    layout.widths.assign(control::kBaseConfigColumnWidths.begin(), control::kBaseConfigColumnWidths.end());
    layout.cell = control::BaseConfigCell;
    const control::TextLookup texts = context_.texts;
    layout.choices = [texts](int row, int column) { return control::BaseConfigChoiceTexts(row, column, texts); };
    const QString head = context_.Text("BaseConfig", "Column_Name");
    grid_ = new CListCtrlEx(layout, {head, head, head, head}, this);
    grid_->Show(control::NewBaseConfigGrid(texts));
    station_ = new QLabel(this);
    QPushButton* save = nullptr;
    QPushButton* read = nullptr;
    PageLayout(this, station_, grid_, context_, &save, &read);
    connect(save, &QPushButton::clicked, this, &CBaseConfig::OnSaveSettings);
    connect(read, &QPushButton::clicked, this, &CBaseConfig::OnReadBack);
}

QString CBaseConfig::StationShown() const { return station_->text(); }

void CBaseConfig::OnReadBack()
{
    std::string station;
    int link = 0;
    if (!context_.TickedStation(&station, &link)) return;
    control::ConfigGrid grid = grid_->Values();
    grid.ClearValues();
    grid_->Show(grid);
    station_->clear();
    asked_->Asked(control::AskedReply::kBaseConfig, station);
    if (context_.Send(station, link, control::BaseConfigReadCommand())) {
        context_.Log(Format1("BaseConfig", "Text1", station));
    }
}

void CBaseConfig::OnSaveSettings()
{
    std::string station;
    int link = 0;
    if (!context_.TickedStation(&station, &link)) return;
    const control::SaveResult result = control::BaseConfigSaveCommand(grid_->Values(), context_.texts);
    if (result.refusal) {
        ShowRefusal(context_, this, grid_, *result.refusal);
        return;
    }
    if (result.command && context_.Send(station, link, *result.command)) {
        context_.Log(Format1("BaseConfig", "Text4", station));
    }
}

void CBaseConfig::ShowBaseConfigReply(const std::string& station, const std::string& replyText)
{
    control::ConfigGrid grid = grid_->Values();
    control::ShowBaseConfigReply(replyText, grid, context_.texts);
    grid_->Show(grid);
    station_->setText(StationCaption(context_, station));
}

// ---- running parameters ------------------------------------------------------------

CRunConfig::CRunConfig(ControlContext context, control::AskedStations* asked, QWidget* parent)
    : QWidget(parent), context_(std::move(context)), asked_(asked)
{
    CListCtrlEx::Layout layout;
    layout.rows = control::kRunConfigRows;
    layout.columns = control::kRunConfigColumns;
    layout.widths.assign(control::kRunConfigColumnWidths.begin(), control::kRunConfigColumnWidths.end());
    layout.cell = control::RunConfigCell;
    layout.choices = [](int row, int column) { return control::RunConfigCell(row, column).choices; };
    const QString head = context_.Text("BaseConfig", "Column_Name");
    const QString value = context_.Text("RunConfig", "Column_Value");
    grid_ = new CListCtrlEx(layout, {head, value, head, value}, this);
    grid_->Show(control::NewRunConfigGrid(context_.texts));
    station_ = new QLabel(this);
    QPushButton* save = nullptr;
    QPushButton* read = nullptr;
    PageLayout(this, station_, grid_, context_, &save, &read);
    connect(save, &QPushButton::clicked, this, &CRunConfig::OnSaveSettings);
    connect(read, &QPushButton::clicked, this, &CRunConfig::OnReadBack);
}

QString CRunConfig::StationShown() const { return station_->text(); }

void CRunConfig::OnReadBack()
{
    std::string station;
    int link = 0;
    if (!context_.TickedStation(&station, &link)) return;
    control::ConfigGrid grid = grid_->Values();
    grid.ClearValues();
    grid_->Show(grid);
    station_->clear();
    if (asked_ != nullptr) asked_->Asked(control::AskedReply::kRunConfig, station);
    if (context_.Send(station, link, control::RunConfigReadCommand())) {
        context_.Log(control::CommandLogLine(context_.texts, station, "RunConfig", "Text1"));
    }
}

void CRunConfig::OnSaveSettings()
{
    std::string station;
    int link = 0;
    if (!context_.TickedStation(&station, &link)) return;
    const control::SaveResult result = control::RunConfigSaveCommand(grid_->Values(), context_.texts);
    if (result.refusal) {
        ShowRefusal(context_, this, grid_, *result.refusal);
        return;
    }
    if (result.command && context_.Send(station, link, *result.command)) {
        context_.Log(control::CommandLogLine(context_.texts, station, "RunConfig", "Text2"));
    }
}

void CRunConfig::ShowRunConfigReply(const std::string& station, const std::string& replyText)
{
    control::ConfigGrid grid = grid_->Values();
    control::ShowRunConfigReply(replyText, grid);
    grid_->Show(grid);
    station_->setText(StationCaption(context_, station));
}

// ---- clock --------------------------------------------------------------------------

CClockControl::CClockControl(ControlContext context, QWidget* parent) : QWidget(parent), context_(std::move(context))
{
    auto* group = new QGroupBox(context_.Text("ClockControl", "Static1"), this);
    box_ = new QPlainTextEdit(group);
    box_->setReadOnly(true);
    auto* set = Button(context_.Text("ClockControl", "Button2"), group);
    auto* query = Button(context_.Text("TimeDateDlg", "Button1"), group);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(set);
    buttons->addWidget(query);
    buttons->addStretch(1);
    auto* inner = new QVBoxLayout(group);
    inner->addWidget(box_, 1);
    inner->addLayout(buttons);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(group, 1);
    connect(set, &QPushButton::clicked, this, &CClockControl::OnSetClock);
    connect(query, &QPushButton::clicked, this, &CClockControl::OnQueryClock);
}

void CClockControl::OnSetClock()
{
    std::string station;
    int link = 0;
    if (!context_.TickedStation(&station, &link)) return;
    if (context_.Send(station, link, control::SetClockCommand())) {
        context_.Log(Format1("ClockControl", "Text1", station));
    }
}

void CClockControl::OnQueryClock()
{
    std::string station;
    int link = 0;
    if (!context_.TickedStation(&station, &link)) return;
    if (context_.Send(station, link, control::QueryClockCommand())) {
        context_.Log(Format1("ClockControl", "Text2", station));
    }
    box_->clear();
}

void CClockControl::ShowClockReply(const QString& text) { box_->setPlainText(text); }

QString CClockControl::ClockText() const { return box_->toPlainText(); }

// ---- period query -------------------------------------------------------------------

CTimeDateDlg::CTimeDateDlg(ControlContext context, QWidget* parent) : QWidget(parent), context_(std::move(context))
{
    startDate_ = new QDateEdit(this);
    startTime_ = new QTimeEdit(this);
    endDate_ = new QDateEdit(this);
    endTime_ = new QTimeEdit(this);
    for (QDateEdit* date : {startDate_, endDate_}) {
        date->setDisplayFormat(QStringLiteral("yyyy-MM-dd"));
        date->setCalendarPopup(true);
    }
    for (QTimeEdit* time : {startTime_, endTime_}) time->setDisplayFormat(QStringLiteral("HH:00"));
    element_ = new QComboBox(this);
    element_->addItem(context_.Text("TimeDateDlg", "AddString0"));
    element_->addItem(context_.Text("TimeDateDlg", "AddString1"));
    element_->setCurrentIndex(0);
    auto* query = Button(context_.Text("TimeDateDlg", "Button1"), this);

    table_ = new QTableWidget(0, 13, this);
    QStringList headers{context_.Text("TimeDateDlg", "Column0")};
    for (const std::string& title : control::PeriodColumnTitles()) headers << Q(title);
    table_->setHorizontalHeaderLabels(headers);
    table_->setColumnWidth(0, 125);
    for (int c = 1; c < 13; ++c) table_->setColumnWidth(c, 70);
    table_->verticalHeader()->setVisible(false);
    table_->verticalHeader()->setDefaultSectionSize(17);
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setShowGrid(true);

    auto* pickers = new QGridLayout;
    pickers->addWidget(new QLabel(context_.Text("TimeDateDlg", "Static1"), this), 0, 0);
    pickers->addWidget(startDate_, 0, 1);
    pickers->addWidget(startTime_, 0, 2);
    pickers->addWidget(new QLabel(context_.Text("TimeDateDlg", "Static2"), this), 0, 3);
    pickers->addWidget(endDate_, 0, 4);
    pickers->addWidget(endTime_, 0, 5);
    pickers->addWidget(new QLabel(context_.Text("TimeDateDlg", "Static3"), this), 0, 6);
    pickers->addWidget(element_, 0, 7);
    pickers->addWidget(query, 0, 8);
    pickers->setColumnStretch(9, 1);
    auto* group = new QGroupBox(context_.Text("TimeDateDlg", "Static4"), this);
    auto* inner = new QVBoxLayout(group);
    inner->addWidget(table_, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(pickers);
    layout->addWidget(group, 1);
    connect(query, &QPushButton::clicked, this, &CTimeDateDlg::OnQueryPeriod);
    ResetPeriodQuery();
}

void CTimeDateDlg::ResetPeriodQuery()
{
    table_->setRowCount(0);
    const QDateTime now = QDateTime::currentDateTime();
    SetSpan(now, now, static_cast<control::PeriodElement>(std::max(0, element_->currentIndex())));
}

void CTimeDateDlg::SetSpan(const QDateTime& start, const QDateTime& end, control::PeriodElement element)
{
    startDate_->setDate(start.date());
    startTime_->setTime(start.time());
    endDate_->setDate(end.date());
    endTime_->setTime(end.time());
    element_->setCurrentIndex(static_cast<int>(element));
}

void CTimeDateDlg::OnQueryPeriod()
{
    table_->setRowCount(0);
    std::string station;
    int link = 0;
    if (!context_.TickedStation(&station, &link)) return;
    auto calendar = [](const QDate& date, const QTime& time) {
        CalendarTime t;
        t.year = date.year();
        t.month = date.month();
        t.day = date.day();
        t.hour = time.hour();
        return t;
    };
    const auto element =
        element_->currentIndex() == 1 ? control::PeriodElement::kWaterLevel : control::PeriodElement::kRainfall;
    const control::Command command =
        control::PeriodQueryCommand(calendar(startDate_->date(), startTime_->time()),
                                    calendar(endDate_->date(), endTime_->time()), element);
    if (context_.Send(station, link, command)) {
        context_.Log(control::CommandLogLine(context_.texts, station, "TimeDateDlg", "Text1"));
    }
}

void CTimeDateDlg::ShowPeriodReply(const control::PeriodData& period)
{
    const std::vector<control::PeriodRow> rows = control::PeriodRows(period.observationTime, period.bytes, period.kind);
    for (const control::PeriodRow& row : rows) {
        const int r = table_->rowCount();
        table_->insertRow(r);
        const QColor background = control::PeriodRowShaded(static_cast<std::size_t>(r)) ? QColor(220, 220, 220)
                                                                                         : QColor(255, 255, 255);
        for (int c = 0; c < 13; ++c) {
            auto* cell = new QTableWidgetItem(Q(c == 0 ? row.label : row.values[static_cast<std::size_t>(c - 1)]));
            cell->setTextAlignment(Qt::AlignCenter);
            cell->setBackground(background);
            table_->setItem(r, c, cell);
        }
    }
}

// ---- pictures -----------------------------------------------------------------------

CPhotoDlg::CPhotoDlg(ControlContext context, QWidget* parent) : QWidget(parent), context_(std::move(context))
{
    cameras_ = new QTableWidget(4, 1, this);
    cameras_->setHorizontalHeaderLabels({context_.Text("PhotoDlg", "Column0")});
    cameras_->horizontalHeader()->setStretchLastSection(true);
    cameras_->verticalHeader()->setVisible(false);
    cameras_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    for (int r = 0; r < 4; ++r) {
        auto* cell = new QTableWidgetItem(context_.Text("PhotoDlg", ("Item" + std::to_string(r)).c_str()));
        cell->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
        cell->setCheckState(Qt::Unchecked);
        cameras_->setItem(r, 0, cell);
    }
    auto* request = Button(context_.Text("PhotoDlg", "Button1"), this);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(cameras_, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(request);
    buttons->addStretch(1);
    layout->addLayout(buttons);
    connect(request, &QPushButton::clicked, this, &CPhotoDlg::OnRequestPicture);
}

void CPhotoDlg::OnRequestPicture()
{
    std::string station;
    int link = 0;
    if (!context_.TickedStation(&station, &link)) return;
    std::array<bool, 4> ticked{};
    for (int r = 0; r < 4; ++r) {
        ticked[static_cast<std::size_t>(r)] = cameras_->item(r, 0)->checkState() == Qt::Checked;
    }
    const QDateTime now = QDateTime::currentDateTime();
    CalendarTime t;
    t.year = now.date().year();
    t.month = now.date().month();
    t.day = now.date().day();
    t.hour = now.time().hour();
    t.minute = now.time().minute();
    t.second = now.time().second();
    const std::optional<control::Command> command = control::PictureRequestCommand(t, ticked);
    if (!command) {
        context_.Log(context_.texts("PhotoDlg", "Text2"));
        return;
    }
    if (context_.Send(station, link, *command)) {
        context_.Log(control::CommandLogLine(context_.texts, station, "PhotoDlg", "Text1"));
    }
}

// ---- upgrade ------------------------------------------------------------------------

CUpgradeControl::CUpgradeControl(ControlContext context, QWidget* parent)
    : QWidget(parent), context_(std::move(context))
{
    address_ = new QLineEdit(this);
    // A dotted IPv4 address: digits and points only.
    address_->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9.]{0,15}")), address_));
    port_ = new QLineEdit(this);
    version_ = new QLineEdit(this);
    auto* upgrade = Button(context_.Text("UpgradeControl", "Button1"), this);
    auto* group = new QGroupBox(context_.Text("UpgradeControl", "Static4"), this);
    auto* form = new QGridLayout(group);
    form->addWidget(new QLabel(context_.Text("UpgradeControl", "Static1"), group), 0, 0);
    form->addWidget(address_, 0, 1);
    form->addWidget(new QLabel(context_.Text("UpgradeControl", "Static2"), group), 1, 0);
    form->addWidget(port_, 1, 1);
    form->addWidget(new QLabel(context_.Text("UpgradeControl", "Static3"), group), 2, 0);
    form->addWidget(version_, 2, 1);
    form->addWidget(upgrade, 3, 1, Qt::AlignLeft);
    form->setColumnStretch(2, 1);
    form->setRowStretch(4, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(group, 1);
    connect(upgrade, &QPushButton::clicked, this, &CUpgradeControl::OnUpgrade);
}

void CUpgradeControl::SetFields(const QString& address, const QString& port, const QString& version)
{
    address_->setText(address);
    port_->setText(port);
    version_->setText(version);
}

void CUpgradeControl::OnUpgrade()
{
    std::string station;
    int link = 0;
    if (!context_.TickedStation(&station, &link)) return;
    const control::UpgradeResult result = control::UpgradeCommand(
        address_->text().trimmed().toStdString(), port_->text().trimmed().toStdString(), version_->text().toStdString());
    if (result.fault == control::UpgradeFault::kEmptyField) {
        if (context_.alert)
            context_.alert(this, QString::fromUtf8(control::kUpgradeEmptyCaption),
                           QString::fromUtf8(control::kUpgradeEmptyText));
        return;
    }
    if (!result.command) {
        if (context_.inform) context_.inform(this, context_.Text("UpgradeControl", "Text2"));
        return;
    }
    if (context_.Send(station, link, *result.command)) {
        context_.Log(control::CommandLogLine(context_.texts, station, "UpgradeControl", "Text1"));
    }
}

void ShowErrorBox(QWidget* parent, const QString& caption, const QString& text)
{
    QMessageBox::critical(parent, caption, text);
}

// ---- remark -------------------------------------------------------------------------

CRemarkDlg::CRemarkDlg(const Values& values, std::function<void(QWidget*, const QString&)> inform, QWidget* parent)
    : QDialog(parent), values_(values), inform_(std::move(inform))
{
    setWindowTitle(UiText("RemarkDlg", "Title"));
    auto* station = new QLineEdit(values.station, this);
    station->setReadOnly(true);
    conversionId_ = new QLineEdit(values.conversionId, this);
    location_ = new QLineEdit(values.location, this);
    remark_ = new QPlainTextEdit(values.remark, this);
    auto* ok = new QPushButton(UiText("SysSetDlg", "Static17"), this);
    auto* cancel = new QPushButton(UiText("SysSetDlg", "Static18"), this);
    ok->setDefault(true);
    auto* form = new QGridLayout(this);
    form->addWidget(new QLabel(UiText("RemarkDlg", "Static1"), this), 0, 0);
    form->addWidget(station, 0, 1);
    form->addWidget(new QLabel(UiText("RemarkDlg", "Static2"), this), 1, 0);
    form->addWidget(conversionId_, 1, 1);
    form->addWidget(new QLabel(UiText("RemarkDlg", "Static3"), this), 2, 0);
    form->addWidget(location_, 2, 1);
    form->addWidget(new QLabel(UiText("RemarkDlg", "Static4"), this), 3, 0, Qt::AlignTop);
    form->addWidget(remark_, 3, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    form->addLayout(buttons, 4, 0, 1, 2);
    connect(ok, &QPushButton::clicked, this, &CRemarkDlg::accept);
    connect(cancel, &QPushButton::clicked, this, &CRemarkDlg::reject);
}

void CRemarkDlg::SetFields(const QString& conversionId, const QString& location, const QString& remark)
{
    conversionId_->setText(conversionId);
    location_->setText(location);
    remark_->setPlainText(remark);
}

CRemarkDlg::Values CRemarkDlg::Result() const { return values_; }

bool CRemarkDlg::Store()
{
    const std::string station = values_.station.toStdString();
    const std::string conversionId = conversionId_->text().toStdString();
    const std::string location = location_->text().toStdString();
    const std::string remark = remark_->toPlainText().toStdString();
    switch (control::RemarkFieldOverLimit(conversionId, remark)) {
    case control::RemarkField::kConversionId:
        if (inform_) inform_(this, UiText("RemarkDlg", "Text1"));
        conversionId_->setFocus();
        conversionId_->selectAll();
        return false;
    case control::RemarkField::kRemark:
        if (inform_) inform_(this, UiText("RemarkDlg", "Text2"));
        remark_->setFocus();
        return false;
    case control::RemarkField::kNone: break;
    }
    // Section keys and values are single lines in server.ini: the remark is
    // escaped, and line breaks typed into the one-line fields are dropped.
    auto oneLine = [](std::string text) {
        std::string out;
        for (char c : text) {
            if (c != '\r' && c != '\n') out += c;
        }
        return out;
    };
    const bool written = WriteSetting("Address", station, control::EscapeRemark(remark)) &&
                         WriteSetting("Conversion ID", station, oneLine(conversionId)) &&
                         WriteSetting("StationAdd", station, oneLine(location));
    if (!written) {
        RTU_LOG_ERROR("the remark of station " << station << " could not be written to server.ini");
        return false;
    }
    values_.conversionId = Q(oneLine(conversionId));
    values_.location = Q(oneLine(location));
    values_.remark = remark_->toPlainText();
    return true;
}

void CRemarkDlg::accept()
{
    if (Store()) QDialog::accept();
}

}  // namespace rtu
