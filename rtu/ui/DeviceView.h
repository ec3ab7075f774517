// CDeviceView: the station list. One row per station that sent data since the
// service started, keyed by the 10-character station address in column 0:
//
//   0 station address (with the row's check box)   7 time of the last data
//   1 location text (server.ini StationAdd)        8 peer address
//   2 observation time of the latest readings      9 state: Online / Offline text
//   3 water level   4 period rainfall              10 remark (server.ini Address)
//   5 daily rainfall   6 flow                      11 link kind text
//                                                  12 conversion ID (server.ini)
//
// Every change of rows and ticks takes the list's re-entrant lock; the list is
// used on the user-interface thread only (worker threads reach it through the
// runtime view's queued calls). The lock is also held by whoever keeps a
// station's row in use across a nested event loop (the context menu), during
// which queued row updates still run on the same thread.
#pragma once

#include "rtu/runtime/LinkRecord.h"

#include <QRecursiveMutex>
#include <QWidget>

#include <string>

class QLabel;
class QTableWidget;

namespace rtu {

class CDeviceView : public QWidget {
    Q_OBJECT
public:
    enum Column {
        kStationColumn = 0,
        kLocationColumn = 1,
        kStateColumn = 9,
        kRemarkColumn = 10,
        kLinkKindColumn = 11,
        kConversionColumn = 12,
        kColumnCount = 13
    };

    explicit CDeviceView(QWidget* parent = nullptr);

    // A station is online: its row is refreshed from the record (or appended
    // at the end). Records whose address is not exactly 10 characters are ignored.
    void UpdateStationRow(const CltDevInfo& record);
    // A station went offline: its rows show the Offline text.
    void UpdateUserItem(const std::string& station);
    // Removes every row that shows the Offline text; the others keep their order.
    void ClearOfflineStations();
    // Removes every row (the service stopped).
    void DeleteAllRows();

    // True when exactly one row is ticked and it shows the Online text; gives
    // its address and link kind (0 network, 1 serial).
    bool GetCheckedOnlineStation(std::string* station, int* linkKind) const;

    // Sorts by `column` as a click on its title does: ascending, or the
    // reverse when the same column was sorted last.
    void SortByColumn(int column);
    Qt::SortOrder SortOrder() const { return ascending_ ? Qt::AscendingOrder : Qt::DescendingOrder; }

    // The station of the last clicked row; empty when none (or it was removed).
    std::string LastClickedStation() const { return lastClicked_; }
    // Acts as a click on the row of `row`: ticks it and clears the tick of the
    // row clicked before. A row outside the list (a click beside the rows)
    // only clears that tick.
    void ClickRow(int row);

    int RowCount() const;
    QString CellText(int row, int column) const;
    bool IsChecked(int row) const;
    void SetChecked(int row, bool checked);
    int FindRow(const std::string& station) const;
    // True when the row shows its station online.
    bool IsOnline(int row) const;
    // The remark dialog's values: columns 1, 10 and 12 of the station's row.
    void SetRemarkTexts(const std::string& station, const QString& location, const QString& remark,
                        const QString& conversionId);

    QRecursiveMutex& ListLock() const { return listLock_; }
    QTableWidget* Table() const { return table_; }

signals:
    // The operator asked for the context menu of a station's row. The address
    // and link kind are those of the row under the pointer when it was asked,
    // so a command chosen later acts on that station even if rows were
    // refreshed, sorted or removed meanwhile.
    void StationContextMenu(const QString& station, int linkKind, const QPoint& globalPos);
    // The rows changed (counts for the status bar).
    void RowsChanged();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void SetRowTexts(int row, const QStringList& texts, int linkKind);
    void MarkRowState(int row, bool online);

    QLabel* caption_;
    QTableWidget* table_;
    mutable QRecursiveMutex listLock_;
    std::string lastClicked_;
    int sortColumn_ = -1;
    bool ascending_ = true;
};

}  // namespace rtu
