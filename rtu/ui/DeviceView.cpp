#include "rtu/ui/DeviceView.h"

#include "rtu/control/RemarkText.h"
#include "rtu/protocol/TimeText.h"
#include "rtu/common/Log.h"
#include "rtu/runtime/Settings.h"
#include "rtu/ui/CellCompare.h"
#include "rtu/ui/UiText.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QMutexLocker>
#include <QTableWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <ctime>
#include <vector>

namespace rtu {

namespace {

constexpr int kColumnWidths[CDeviceView::kColumnCount] = {140, 140, 170, 100, 100, 100, 100,
                                                          170, 178, 150, 150, 150, 150};
constexpr int kLinkKindRole = Qt::UserRole;
constexpr int kOnlineRole = Qt::UserRole + 1;

QString LocalTimeText(std::int64_t secondsSince1970)
{
    const std::time_t t = static_cast<std::time_t>(secondsSince1970);
    std::tm local{};
    if (localtime_r(&t, &local) == nullptr) return QString();
    CalendarTime c;
    c.year = local.tm_year + 1900;
    c.month = local.tm_mon + 1;
    c.day = local.tm_mday;
    c.hour = local.tm_hour;
    c.minute = local.tm_min;
    c.second = local.tm_sec;
    return QString::fromStdString(TimeText(c));
}

QString LinkKindText(int linkKind)
{
    if (linkKind == kNetworkLink) return UiText("DeviceView", "Type1");
    if (linkKind == kSerialLink) return UiText("DeviceView", "Type2");
    return QString();
}

QString Setting(const char* section, const std::string& station)
{
    return QString::fromStdString(ReadSetting(section, station));
}

}  // namespace

CDeviceView::CDeviceView(QWidget* parent) : QWidget(parent)
{
    caption_ = new QLabel(UiText("DeviceView", "Static1"), this);
    table_ = new QTableWidget(0, kColumnCount, this);
    table_->setObjectName(QStringLiteral("stationList"));
    QStringList titles;
    for (int c = 0; c < kColumnCount; ++c) titles << UiText("DeviceView", "Column" + std::to_string(c + 1));
    table_->setHorizontalHeaderLabels(titles);
    // The given widths, or more where a title needs it (translated titles).
    for (int c = 0; c < kColumnCount; ++c)
        table_->setColumnWidth(c, std::max(kColumnWidths[c], table_->horizontalHeader()->sectionSizeHint(c) + 8));
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setSelectionMode(QAbstractItemView::SingleSelection);
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->setAlternatingRowColors(true);
    table_->setWordWrap(false);
    table_->verticalHeader()->setVisible(false);
    table_->verticalHeader()->setDefaultSectionSize(table_->fontMetrics().height() + 8);
    table_->horizontalHeader()->setHighlightSections(false);
    table_->horizontalHeader()->setSectionsClickable(true);
    table_->setContextMenuPolicy(Qt::CustomContextMenu);

    connect(table_->horizontalHeader(), &QHeaderView::sectionClicked, this, &CDeviceView::SortByColumn);
    connect(table_, &QTableWidget::cellClicked, this, [this](int row, int) { ClickRow(row); });
    table_->viewport()->installEventFilter(this);
    connect(table_, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
        const int row = table_->rowAt(pos.y());
        if (row < 0) {
            ClickRow(-1);
            return;
        }
        const QTableWidgetItem* key = table_->item(row, kStationColumn);
        if (key == nullptr) return;
        emit StationContextMenu(key->text(), key->data(kLinkKindRole).toInt(),
                                table_->viewport()->mapToGlobal(pos));
    });

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(2, 6, 2, 0);
    layout->setSpacing(4);
    layout->addWidget(caption_);
    layout->addWidget(table_, 1);
}

int CDeviceView::RowCount() const { return table_->rowCount(); }

QString CDeviceView::CellText(int row, int column) const
{
    const QTableWidgetItem* item = table_->item(row, column);
    return item != nullptr ? item->text() : QString();
}

bool CDeviceView::IsChecked(int row) const
{
    const QTableWidgetItem* item = table_->item(row, kStationColumn);
    return item != nullptr && item->checkState() == Qt::Checked;
}

void CDeviceView::SetChecked(int row, bool checked)
{
    QMutexLocker<QRecursiveMutex> lock(&listLock_);
    QTableWidgetItem* item = table_->item(row, kStationColumn);
    if (item != nullptr) item->setCheckState(checked ? Qt::Checked : Qt::Unchecked);
}

int CDeviceView::FindRow(const std::string& station) const
{
    const QString key = QString::fromStdString(station);
    for (int row = 0; row < table_->rowCount(); ++row) {
        if (CellText(row, kStationColumn) == key) return row;
    }
    return -1;
}

void CDeviceView::SetRowTexts(int row, const QStringList& texts, int linkKind)
{
    for (int c = 0; c < kColumnCount; ++c) {
        QTableWidgetItem* item = table_->item(row, c);
        if (item == nullptr) {
            item = new QTableWidgetItem;
            item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
            if (c == kStationColumn) {
                item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
                item->setCheckState(Qt::Unchecked);
            }
            table_->setItem(row, c, item);
        }
        if (c == kStationColumn) {
            item->setData(kLinkKindRole, linkKind);
            continue;  // the key never changes
        }
        item->setText(texts.value(c));
    }
    table_->item(row, kStationColumn)->setText(texts.value(kStationColumn));
}

void CDeviceView::MarkRowState(int row, bool online)
{
    QTableWidgetItem* key = table_->item(row, kStationColumn);
    if (key != nullptr) key->setData(kOnlineRole, online);
    table_->item(row, kStateColumn)->setText(UiText("DeviceView", online ? "Online" : "Offline"));
    const QBrush brush = online ? QBrush() : QBrush(palette().color(QPalette::Disabled, QPalette::Text));
    for (int c = 0; c < kColumnCount; ++c) {
        if (QTableWidgetItem* item = table_->item(row, c)) item->setForeground(brush);
    }
}

void CDeviceView::UpdateStationRow(const CltDevInfo& record)
{
    if (record.station.size() != 10) return;
    const QStringList texts = {
        QString::fromStdString(record.station),
        Setting("StationAdd", record.station),
        QString::fromStdString(record.observationTime),
        QString::fromStdString(record.waterLevel),
        QString::fromStdString(record.periodRainfall),
        QString::fromStdString(record.dailyRainfall),
        QString::fromStdString(record.flow),
        record.lastDataTime != 0 ? LocalTimeText(record.lastDataTime) : QString(),
        QString::fromStdString(record.peer),
        UiText("DeviceView", "Online"),
        QString::fromStdString(control::UnescapeRemark(ReadSetting("Address", record.station))),
        LinkKindText(record.linkKind),
        Setting("Conversion ID", record.station),
    };

    QMutexLocker<QRecursiveMutex> lock(&listLock_);
    int row = FindRow(record.station);
    if (row < 0) {
        row = table_->rowCount();
        table_->insertRow(row);
    }
    SetRowTexts(row, texts, record.linkKind);
    MarkRowState(row, true);
    emit RowsChanged();
}

bool CDeviceView::IsOnline(int row) const
{
    QMutexLocker<QRecursiveMutex> lock(&listLock_);
    const QTableWidgetItem* key = table_->item(row, kStationColumn);
    return key != nullptr && key->data(kOnlineRole).toBool();
}

void CDeviceView::SetRemarkTexts(const std::string& station, const QString& location, const QString& remark,
                                 const QString& conversionId)
{
    QMutexLocker<QRecursiveMutex> lock(&listLock_);
    const QString key = QString::fromStdString(station);
    for (int row = 0; row < table_->rowCount(); ++row) {
        if (CellText(row, kStationColumn) != key) continue;
        const std::pair<int, const QString*> cells[] = {
            {kLocationColumn, &location}, {kRemarkColumn, &remark}, {kConversionColumn, &conversionId}};
        for (const auto& [column, text] : cells) {
            if (QTableWidgetItem* item = table_->item(row, column)) item->setText(*text);
        }
    }
}

void CDeviceView::UpdateUserItem(const std::string& station)
{
    QMutexLocker<QRecursiveMutex> lock(&listLock_);
    const QString key = QString::fromStdString(station);
    for (int row = 0; row < table_->rowCount(); ++row) {
        if (CellText(row, kStationColumn) != key) continue;
        MarkRowState(row, false);
        RTU_LOG_DEBUG("CDeviceView::UpdateUserItem offline");
    }
    emit RowsChanged();
}

void CDeviceView::ClearOfflineStations()
{
    QMutexLocker<QRecursiveMutex> lock(&listLock_);
    // A row's state is kept beside its text, so the command works the same
    // when config.ini gives the Online and Offline texts the same wording.
    for (int row = table_->rowCount() - 1; row >= 0; --row) {
        const QTableWidgetItem* key = table_->item(row, kStationColumn);
        if (key != nullptr && !key->data(kOnlineRole).toBool()) table_->removeRow(row);
    }
    if (FindRow(lastClicked_) < 0) lastClicked_.clear();
    emit RowsChanged();
}

void CDeviceView::DeleteAllRows()
{
    QMutexLocker<QRecursiveMutex> lock(&listLock_);
    table_->setRowCount(0);
    lastClicked_.clear();
    emit RowsChanged();
}

bool CDeviceView::GetCheckedOnlineStation(std::string* station, int* linkKind) const
{
    QMutexLocker<QRecursiveMutex> lock(&listLock_);
    int found = -1;
    for (int row = 0; row < table_->rowCount(); ++row) {
        if (!IsChecked(row)) continue;
        if (found >= 0) return false;  // more than one ticked
        found = row;
    }
    if (found < 0) return false;
    const QTableWidgetItem* key = table_->item(found, kStationColumn);
    if (!key->data(kOnlineRole).toBool()) return false;
    if (station != nullptr) *station = key->text().toStdString();
    if (linkKind != nullptr) *linkKind = key->data(kLinkKindRole).toInt();
    return true;
}

void CDeviceView::ClickRow(int row)
{
    QMutexLocker<QRecursiveMutex> lock(&listLock_);
    if (row < 0 || row >= table_->rowCount()) {
        // A click outside any row clears the tick of the row clicked before.
        const int previous = FindRow(lastClicked_);
        if (previous >= 0) SetChecked(previous, false);
        lastClicked_.clear();
        return;
    }
    // The clicked row is ticked even when it was clicked before: the operator
    // may have cleared its tick with the row's own box in between.
    const std::string station = CellText(row, kStationColumn).toStdString();
    if (station != lastClicked_) {
        const int previous = FindRow(lastClicked_);
        if (previous >= 0) SetChecked(previous, false);
        lastClicked_ = station;
    }
    SetChecked(row, true);
    table_->selectRow(row);
}

bool CDeviceView::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == table_->viewport() && event->type() == QEvent::MouseButtonPress) {
        const auto* press = static_cast<QMouseEvent*>(event);
        if (table_->rowAt(press->position().toPoint().y()) < 0) ClickRow(-1);
    }
    return QWidget::eventFilter(watched, event);
}

void CDeviceView::SortByColumn(int column)
{
    if (column < 0 || column >= kColumnCount) return;
    QMutexLocker<QRecursiveMutex> lock(&listLock_);
    ascending_ = column == sortColumn_ ? !ascending_ : true;
    sortColumn_ = column;

    struct Row {
        CellSortKey key;
        std::vector<QTableWidgetItem*> items;
    };
    std::vector<Row> rows(static_cast<std::size_t>(table_->rowCount()));
    for (int r = 0; r < table_->rowCount(); ++r) {
        Row& row = rows[static_cast<std::size_t>(r)];
        row.key = MakeCellSortKey(CellText(r, column));
        for (int c = 0; c < kColumnCount; ++c) row.items.push_back(table_->takeItem(r, c));
    }
    const bool ascending = ascending_;
    std::stable_sort(rows.begin(), rows.end(), [ascending](const Row& a, const Row& b) {
        const int order = CompareCellKeys(a.key, b.key);
        return ascending ? order < 0 : order > 0;
    });
    for (std::size_t r = 0; r < rows.size(); ++r) {
        for (int c = 0; c < kColumnCount; ++c) {
            table_->setItem(static_cast<int>(r), c, rows[r].items[static_cast<std::size_t>(c)]);
        }
    }
    table_->horizontalHeader()->setSortIndicatorShown(true);
    table_->horizontalHeader()->setSortIndicator(column, SortOrder());
    const int selected = FindRow(lastClicked_);
    if (selected >= 0) table_->selectRow(selected);
}

void CDeviceView::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter || event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

}  // namespace rtu
