// The two settings dialogs, opened modally while the service is stopped:
//   CSysSetDlg  - the service settings (section Set and SetThird of server.ini);
//   CCommProDlg - the serial line settings (section COMM).
// On OK each writes its keys to server.ini in its fixed order and hands the
// new settings back; Cancel changes nothing. Changes of the port, the
// databases and the serial line take effect at the next start of the service.
#pragma once

#include "rtu/runtime/ServerSettings.h"

#include <QComboBox>
#include <QDialog>

#include <functional>
#include <string>
#include <vector>

class QLabel;
class QLineEdit;

namespace rtu {

class CSysSetDlg : public QDialog {
    Q_OBJECT
public:
    explicit CSysSetDlg(const ServerSettings& current, QWidget* parent = nullptr);

    // The drivers offered in the Driver boxes (any other name may be typed).
    static QStringList KnownDrivers();

    // Checks the fields and, when they are accepted, writes them to server.ini
    // (SaveServiceSettings: CentPwd upper-cased) and keeps them as Result().
    // A port outside 1..65535 or an OffLine outside 1..65535 is refused:
    // false, with the text to show in `refusal`, and nothing is written.
    bool TrySave(QString* refusal);
    const ServerSettings& Result() const { return result_; }
    // False when a write to server.ini failed (the settings are kept in memory).
    bool Written() const { return written_; }

public slots:
    void accept() override;

private:
    // The fields of one database section, in the rows of the database grid.
    struct DatabaseFields {
        QComboBox* driver;
        QLineEdit* source;
        QLineEdit* name;
        QLineEdit* user;
        QLineEdit* pwd;
        QLineEdit* tdsVersion;
        QComboBox* dbMode;
    };

    void ChoosePictureFolder();
    // Shows the fields the chosen drivers use: a SQLite file has a name only;
    // TDS_Version belongs to FreeTDS. A row's label goes with its last field.
    void ShowDriverFields();
    void ReadDatabaseFields(const DatabaseFields& fields, DatabaseSettings& into) const;

    ServerSettings result_;
    bool written_ = true;
    QLineEdit* port_;
    QLineEdit* offLine_;
    DatabaseFields main_;
    DatabaseFields third_;
    QLineEdit* pict_;
    QLabel* sourceLabel_;
    QLabel* userLabel_;
    QLabel* pwdLabel_;
    QLabel* tdsLabel_;
    QComboBox* protMode_;
    QComboBox* regMode_;
    QLineEdit* cent_;
    QLineEdit* centPwd_;
};

// An editable drop-down that fills its list each time it is dropped down,
// keeping the text typed in the box.
class CPortComboBox : public QComboBox {
    Q_OBJECT
public:
    using PortLister = std::function<std::vector<std::string>()>;

    explicit CPortComboBox(PortLister lister, QWidget* parent = nullptr);
    // Fills the list, keeping the typed text; `reportNone` calls onNoPort when
    // no port was found.
    void RefreshPorts(bool reportNone);
    // Called when the list is dropped down and no port was found.
    std::function<void()> onNoPort;

protected:
    void showPopup() override;

private:
    PortLister lister_;
};

class CCommProDlg : public QDialog {
    Q_OBJECT
public:
    // The serial ports offered in the port box.
    static std::vector<std::string> ListSerialPorts();

    explicit CCommProDlg(const SerialSettings& current, QWidget* parent = nullptr);

    // Writes the fields to section COMM (SaveSerialSettings) and keeps them as
    // Result(). Every value is accepted, as the line is only opened at the
    // next start of the service (which reports a port that cannot be opened).
    void Save();
    const SerialSettings& Result() const { return result_; }
    bool Written() const { return written_; }

public slots:
    void accept() override;

private:
    SerialSettings result_;
    bool written_ = true;
    QComboBox* mode_;
    CPortComboBox* port_;
    QComboBox* baud_;
    QComboBox* byteSize_;
    QComboBox* stopBit_;
    QComboBox* parity_;
};

}  // namespace rtu
