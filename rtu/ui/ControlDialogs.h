// The operator's command dialogs in the configuration pane: the two pages of
// the device configuration (base configuration and running parameters), the
// clock, period query, picture and upgrade panels, and the station remark
// dialog. Each command goes to the one station ticked online in the station
// list; the bodies and the reading of answers come from rtu/control.
// Everything here runs on the user-interface thread.
#pragma once

#include "rtu/control/BaseConfig.h"
#include "rtu/control/ControlTypes.h"
#include "rtu/control/OperatorCommands.h"
#include "rtu/control/PeriodData.h"
#include "rtu/control/RunConfig.h"
#include "rtu/control/StationAnswer.h"

#include <QDateTime>
#include <QDialog>
#include <QStyledItemDelegate>
#include <QTableWidget>
#include <QWidget>

#include <functional>
#include <memory>
#include <string>

class QComboBox;
class QDateEdit;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTimeEdit;

namespace rtu {

class CDeviceView;

// Where commands go: the runtime (FrameCommandSender in StationControl.h) or
// a test's recorder.
// A modal message box with an error icon.
void ShowErrorBox(QWidget* parent, const QString& caption, const QString& text);

class CommandSender {
public:
    virtual ~CommandSender() = default;
    // Sends one command frame to the station over its link; false when
    // nothing was sent.
    virtual bool SendCommand(const std::string& station, const std::string& functionCode,
                             const std::string& commandText, int linkKind) = 0;
};

// What every dialog needs: where to send, which station is ticked, where to
// log and how to tell the operator.
struct ControlContext {
    std::shared_ptr<CommandSender> sender;
    CDeviceView* stations = nullptr;
    std::function<void(const QString& text)> log;
    std::function<void(QWidget* parent, const QString& text)> inform;
    // An error the operator must correct, in a box with its own caption.
    std::function<void(QWidget* parent, const QString& caption, const QString& text)> alert;
    control::TextLookup texts;

    // The station ticked online in the list; logs BaseConfig Text3 (none, or
    // not exactly one online) or Text2 (empty address) and gives false.
    bool TickedStation(std::string* station, int* linkKind) const;
    // Sends the command; when nothing was sent, logs the failure line
    // (MainFrame Text53) and gives false.
    bool Send(const std::string& station, int linkKind, const control::Command& command) const;
    void Log(const std::string& text) const;
    QString Text(const char* section, const char* key) const;
};

// The item delegate of a configuration grid: a choice list or a line editor
// by the cell's kind; other cells have no editor.
class CConfigGridDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    static constexpr int kEditorRole = Qt::UserRole + 10;   // control::Editor as int
    static constexpr int kChoicesRole = Qt::UserRole + 11;  // QStringList

    using QStyledItemDelegate::QStyledItemDelegate;
    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                          const QModelIndex& index) const override;
    void setEditorData(QWidget* editor, const QModelIndex& index) const override;
    void setModelData(QWidget* editor, QAbstractItemModel* model, const QModelIndex& index) const override;
};

// The grid of a configuration page (label, value, label, value columns).
// Titles do not sort; cells keep their places.
class CListCtrlEx : public QTableWidget {
    Q_OBJECT
public:
    struct Layout {
        int rows = 0;
        int columns = 0;
        std::vector<int> widths;
        std::function<control::CellSpec(int row, int column)> cell;
        std::function<std::vector<std::string>(int row, int column)> choices;
    };

    CListCtrlEx(const Layout& layout, const QStringList& headers, QWidget* parent = nullptr);

    // Shows every cell of the grid.
    void Show(const control::ConfigGrid& grid);
    // The texts as they stand now (an open editor's text included).
    control::ConfigGrid Values() const;
    QString Text(int row, int column) const;
    void SetText(int row, int column, const QString& text);
    control::Editor EditorOf(int row, int column) const;
    QStringList ChoicesOf(int row, int column) const;
};

// The first device configuration page: the base configuration (41 read, 40 save).
class CBaseConfig : public QWidget {
    Q_OBJECT
public:
    CBaseConfig(ControlContext context, QWidget* parent = nullptr);

    void OnReadBack();
    void OnSaveSettings();
    // A 41 reply (the frame text from its body on) from `station`.
    void ShowBaseConfigReply(const std::string& station, const std::string& replyText);

    CListCtrlEx* Grid() const { return grid_; }
    control::AskedStations& Asked() { return *asked_; }
    void SetAskedStations(control::AskedStations* asked) { asked_ = asked; }
    QString StationShown() const;

private:
    ControlContext context_;
    control::AskedStations ownAsked_;
    control::AskedStations* asked_ = &ownAsked_;
    CListCtrlEx* grid_;
    QLabel* station_;
};

// The second page: the running parameters (43 read, 42 save).
class CRunConfig : public QWidget {
    Q_OBJECT
public:
    CRunConfig(ControlContext context, control::AskedStations* asked, QWidget* parent = nullptr);

    void OnReadBack();
    void OnSaveSettings();
    void ShowRunConfigReply(const std::string& station, const std::string& replyText);

    CListCtrlEx* Grid() const { return grid_; }
    QString StationShown() const;

private:
    ControlContext context_;
    control::AskedStations* asked_;
    CListCtrlEx* grid_;
    QLabel* station_;
};

// The clock panel: set (4A) and query (51); shows the station's clock.
class CClockControl : public QWidget {
    Q_OBJECT
public:
    explicit CClockControl(ControlContext context, QWidget* parent = nullptr);
    void OnSetClock();
    void OnQueryClock();
    void ShowClockReply(const QString& text);
    QString ClockText() const;

private:
    ControlContext context_;
    QPlainTextEdit* box_;
};

// The period query panel (38) and its 13-column result table.
class CTimeDateDlg : public QWidget {
    Q_OBJECT
public:
    explicit CTimeDateDlg(ControlContext context, QWidget* parent = nullptr);
    void OnQueryPeriod();
    void ShowPeriodReply(const control::PeriodData& period);
    // Empties the table and sets the four pickers to the current time.
    void ResetPeriodQuery();
    void SetSpan(const QDateTime& start, const QDateTime& end, control::PeriodElement element);

    QTableWidget* Table() const { return table_; }

private:
    ControlContext context_;
    QDateEdit* startDate_;
    QTimeEdit* startTime_;
    QDateEdit* endDate_;
    QTimeEdit* endTime_;
    QComboBox* element_;
    QTableWidget* table_;
};

// The picture panel (81): four cameras to tick.
class CPhotoDlg : public QWidget {
    Q_OBJECT
public:
    explicit CPhotoDlg(ControlContext context, QWidget* parent = nullptr);
    void OnRequestPicture();
    QTableWidget* Cameras() const { return cameras_; }

private:
    ControlContext context_;
    QTableWidget* cameras_;
};

// The upgrade panel (E1).
class CUpgradeControl : public QWidget {
    Q_OBJECT
public:
    explicit CUpgradeControl(ControlContext context, QWidget* parent = nullptr);
    void OnUpgrade();
    void SetFields(const QString& address, const QString& port, const QString& version);

private:
    ControlContext context_;
    QLineEdit* address_;
    QLineEdit* port_;
    QLineEdit* version_;
};

// The station remark dialog: conversion identifier, location text and remark
// of one station, kept in server.ini under the station address.
class CRemarkDlg : public QDialog {
    Q_OBJECT
public:
    struct Values {
        QString station;
        QString conversionId;
        QString location;
        QString remark;
    };
    CRemarkDlg(const Values& values, std::function<void(QWidget*, const QString&)> inform,
               QWidget* parent = nullptr);

    void SetFields(const QString& conversionId, const QString& location, const QString& remark);
    // Checks the limits and writes the three sections; false (dialog stays)
    // when a field is over its limit or server.ini could not be written.
    bool Store();
    Values Result() const;

    void accept() override;

private:
    Values values_;
    std::function<void(QWidget*, const QString&)> inform_;
    QLineEdit* conversionId_;
    QLineEdit* location_;
    QPlainTextEdit* remark_;
};

}  // namespace rtu
