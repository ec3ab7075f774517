#include "rtu/ui/SettingsDialogs.h"

#include "rtu/common/Log.h"
#include "rtu/transport/SerialPorts.h"
#include "rtu/ui/UiText.h"

#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace rtu {

namespace {

QString SysText(const char* key) { return UiText("SysSetDlg", key); }

QLineEdit* MakeEdit(QWidget* parent, const char* objectName, const std::string& text)
{
    auto* edit = new QLineEdit(QString::fromStdString(text), parent);
    edit->setObjectName(QLatin1String(objectName));
    return edit;
}

// A list of fixed entries showing `index` (no selection when out of range).
QComboBox* MakeList(QWidget* parent, const char* objectName, const QStringList& entries, int index)
{
    auto* list = new QComboBox(parent);
    list->setObjectName(QLatin1String(objectName));
    list->addItems(entries);
    list->setCurrentIndex(index >= 0 && index < entries.size() ? index : -1);
    return list;
}

QStringList NoYes() { return {UiText("BaseConfig", "AddString3-15-0"), UiText("BaseConfig", "AddString3-15-1")}; }

// The selected index as the 16-bit value it stands for; the value in memory
// when nothing is selected (a value the list has no entry for stays as it is).
std::int16_t SelectedValue(const QComboBox* list, std::int16_t unchanged)
{
    return list->currentIndex() >= 0 ? static_cast<std::int16_t>(list->currentIndex()) : unchanged;
}

std::string Text(const QLineEdit* edit) { return edit->text().toStdString(); }

QDialogButtonBox* MakeButtons(QDialog* dialog)
{
    auto* buttons = new QDialogButtonBox(dialog);
    QPushButton* ok = buttons->addButton(SysText("Static17"), QDialogButtonBox::AcceptRole);
    QPushButton* cancel = buttons->addButton(SysText("Static18"), QDialogButtonBox::RejectRole);
    ok->setObjectName(QStringLiteral("ok"));
    cancel->setObjectName(QStringLiteral("cancel"));
    ok->setDefault(true);
    QObject::connect(buttons, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    return buttons;
}

// The refusal of a number outside 1..65535: the dialog's own text when
// config.ini has one, otherwise the field's label with the refused value.
QString RangeRefusal(const char* textKey, const char* labelKey, const QString& value)
{
    const QString text = SysText(textKey);
    if (!text.isEmpty()) return text;
    return SysText(labelKey) + QStringLiteral(": \"") + value + QStringLiteral("\" (1 - 65535)");
}

}  // namespace

// ---- service settings ----------------------------------------------------------

CSysSetDlg::CSysSetDlg(const ServerSettings& current, QWidget* parent) : QDialog(parent), result_(current)
{
    setWindowTitle(SysText("WindowText"));
    setObjectName(QStringLiteral("CSysSetDlg"));

    // Service: port, silence, protocol and the centre's identity.
    auto* service = new QGroupBox(SysText("Static19"), this);
    auto* serviceForm = new QFormLayout(service);
    port_ = MakeEdit(service, "port", std::to_string(current.port));
    offLine_ = MakeEdit(service, "offLine", std::to_string(current.offLine));
    protMode_ = MakeList(service, "protMode", {SysText("Combox7-1")}, current.protMode);
    regMode_ = MakeList(service, "regMode", NoYes(), current.regMode);
    cent_ = MakeEdit(service, "cent", current.cent);
    cent_->setMaxLength(2);
    centPwd_ = MakeEdit(service, "centPwd", current.centPwd);
    centPwd_->setMaxLength(4);
    serviceForm->addRow(SysText("Static1"), port_);
    serviceForm->addRow(SysText("Static2"), offLine_);
    serviceForm->addRow(SysText("Static11"), protMode_);
    serviceForm->addRow(SysText("Static12"), regMode_);
    serviceForm->addRow(SysText("Static13"), cent_);
    serviceForm->addRow(SysText("Static14"), centPwd_);

    // Databases: main and secondary side by side, one row per key.
    auto* databases = new QGroupBox(SysText("Static20"), this);
    auto* grid = new QGridLayout(databases);
    grid->addWidget(new QLabel(SysText("Static3"), databases), 0, 1);
    grid->addWidget(new QLabel(SysText("Static4"), databases), 0, 2);
    const auto makeFields = [&](const DatabaseSettings& db, const char* prefix) {
        // "source" for the main database, "thirdSource" for the secondary one.
        const auto name = [prefix](const char* field) {
            std::string objectName = std::string(prefix) + field;
            if (*prefix != '\0') objectName[std::strlen(prefix)] = static_cast<char>(std::toupper(*field));
            return objectName;
        };
        DatabaseFields f{};
        f.driver = new QComboBox(databases);
        f.driver->setObjectName(QString::fromStdString(name("driver")));
        f.driver->setEditable(true);
        f.driver->addItems(KnownDrivers());
        f.driver->setEditText(QString::fromStdString(db.driver));
        f.source = MakeEdit(databases, name("source").c_str(), db.source);
        f.name = MakeEdit(databases, name("name").c_str(), db.name);
        f.user = MakeEdit(databases, name("user").c_str(), db.user);
        f.pwd = MakeEdit(databases, name("pwd").c_str(), db.pwd);
        f.pwd->setEchoMode(QLineEdit::Password);
        f.tdsVersion = MakeEdit(databases, name("tdsVersion").c_str(), db.tdsVersion);
        f.dbMode = MakeList(databases, name("dbMode").c_str(), NoYes(), db.dbMode);
        connect(f.driver, &QComboBox::currentTextChanged, this, &CSysSetDlg::ShowDriverFields);
        return f;
    };
    main_ = makeFields(current.main, "");
    third_ = makeFields(current.third, "third");
    const auto addRow = [&](int row, const char* labelKey, QWidget* mainField, QWidget* thirdField) {
        auto* label = new QLabel(SysText(labelKey), databases);
        grid->addWidget(label, row, 0);
        grid->addWidget(mainField, row, 1);
        grid->addWidget(thirdField, row, 2);
        return label;
    };
    addRow(1, "Static21", main_.driver, third_.driver);
    sourceLabel_ = addRow(2, "Static5", main_.source, third_.source);
    addRow(3, "Static6", main_.name, third_.name);
    userLabel_ = addRow(4, "Static7", main_.user, third_.user);
    pwdLabel_ = addRow(5, "Static8", main_.pwd, third_.pwd);
    tdsLabel_ = addRow(6, "Static22", main_.tdsVersion, third_.tdsVersion);
    addRow(7, "Static10", main_.dbMode, third_.dbMode);
    grid->setColumnStretch(1, 1);
    grid->setColumnStretch(2, 1);
    ShowDriverFields();

    // Picture folder with its browse button.
    auto* pictRow = new QHBoxLayout;
    pict_ = MakeEdit(this, "pict", current.pict);
    auto* browse = new QPushButton(SysText("Static15"), this);
    browse->setObjectName(QStringLiteral("browse"));
    browse->setAutoDefault(false);
    connect(browse, &QPushButton::clicked, this, &CSysSetDlg::ChoosePictureFolder);
    pictRow->addWidget(new QLabel(SysText("Static9"), this));
    pictRow->addWidget(pict_, 1);
    pictRow->addWidget(browse);

    auto* note = new QLabel(SysText("Static16"), this);
    note->setWordWrap(true);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(service);
    layout->addWidget(databases);
    layout->addLayout(pictRow);
    layout->addWidget(note);
    layout->addWidget(MakeButtons(this));
    setMinimumWidth(560);
}

QStringList CSysSetDlg::KnownDrivers()
{
    return {QStringLiteral("SQLite3"), QStringLiteral("PostgreSQL Unicode"), QStringLiteral("FreeTDS"),
            QStringLiteral("SQL Server")};
}

namespace {

enum class DriverKind { kSqlite, kFreeTds, kServer };

// The driver families as the connection string tells them apart.
DriverKind KindOf(const QComboBox* driver)
{
    const QString name = driver->currentText();
    if (name.contains(QLatin1String("sqlite"), Qt::CaseInsensitive)) return DriverKind::kSqlite;
    if (name.contains(QLatin1String("freetds"), Qt::CaseInsensitive)) return DriverKind::kFreeTds;
    return DriverKind::kServer;
}

}  // namespace

void CSysSetDlg::ShowDriverFields()
{
    const DriverKind mainKind = KindOf(main_.driver);
    const DriverKind thirdKind = KindOf(third_.driver);
    const auto showRow = [](QLabel* label, QWidget* mainField, bool mainUses, QWidget* thirdField, bool thirdUses) {
        mainField->setVisible(mainUses);
        thirdField->setVisible(thirdUses);
        label->setVisible(mainUses || thirdUses);
    };
    const bool mainServer = mainKind != DriverKind::kSqlite;
    const bool thirdServer = thirdKind != DriverKind::kSqlite;
    showRow(sourceLabel_, main_.source, mainServer, third_.source, thirdServer);
    showRow(userLabel_, main_.user, mainServer, third_.user, thirdServer);
    showRow(pwdLabel_, main_.pwd, mainServer, third_.pwd, thirdServer);
    showRow(tdsLabel_, main_.tdsVersion, mainKind == DriverKind::kFreeTds, third_.tdsVersion,
         thirdKind == DriverKind::kFreeTds);
}

// Fields a driver does not use keep the values they had: they are still
// written back, so switching the driver to and fro loses nothing.
void CSysSetDlg::ReadDatabaseFields(const DatabaseFields& fields, DatabaseSettings& into) const
{
    into.driver = fields.driver->currentText().trimmed().toStdString();
    into.source = Text(fields.source);
    into.name = Text(fields.name);
    into.user = Text(fields.user);
    into.pwd = Text(fields.pwd);
    into.tdsVersion = Text(fields.tdsVersion);
    into.dbMode = SelectedValue(fields.dbMode, into.dbMode);
}

void CSysSetDlg::ChoosePictureFolder()
{
    const QString folder = QFileDialog::getExistingDirectory(this, SysText("Text1"), pict_->text(),
                                                             QFileDialog::ShowDirsOnly);
    if (!folder.isEmpty()) pict_->setText(folder);
}

bool CSysSetDlg::TrySave(QString* refusal)
{
    // A port or a silence the 16-bit settings cannot hold, and an OffLine of 0
    // (every station dropped at each check), are refused; other values go into
    // memory as typed (an OffLine of 30 holds until the next start).
    const long long port = AtoiText(Text(port_));
    if (port < 1 || port > 65535) {
        if (refusal != nullptr) *refusal = RangeRefusal("Text2", "Static1", port_->text());
        port_->setFocus();
        return false;
    }
    const long long offLine = AtoiText(Text(offLine_));
    if (offLine < 1 || offLine > 65535) {
        if (refusal != nullptr) *refusal = RangeRefusal("Text3", "Static2", offLine_->text());
        offLine_->setFocus();
        return false;
    }

    ServerSettings s = result_;
    s.port = static_cast<std::uint16_t>(port);
    s.offLine = static_cast<std::uint16_t>(offLine);
    ReadDatabaseFields(main_, s.main);
    ReadDatabaseFields(third_, s.third);
    s.pict = Text(pict_);
    s.protMode = SelectedValue(protMode_, s.protMode);
    s.regMode = SelectedValue(regMode_, s.regMode);
    s.cent = Text(cent_);
    s.centPwd = Text(centPwd_);
    written_ = SaveServiceSettings(s);  // upper-cases centPwd in s as well
    if (!written_) RTU_LOG_ERROR("the service settings could not all be written to server.ini");
    result_ = s;
    return true;
}

void CSysSetDlg::accept()
{
    QString refusal;
    if (!TrySave(&refusal)) {
        QMessageBox::warning(this, MessageCaption(), refusal);
        return;
    }
    QDialog::accept();
}

// ---- serial line settings --------------------------------------------------------

CPortComboBox::CPortComboBox(PortLister lister, QWidget* parent) : QComboBox(parent), lister_(std::move(lister))
{
    setEditable(true);
    setInsertPolicy(QComboBox::NoInsert);
}

void CPortComboBox::RefreshPorts(bool reportNone)
{
    const QString typed = currentText();
    clear();
    const std::vector<std::string> ports = lister_ ? lister_() : std::vector<std::string>();
    for (const std::string& port : ports) {
        if (!port.empty()) addItem(QString::fromStdString(port));
    }
    setEditText(typed);
    if (reportNone && count() == 0 && onNoPort) onNoPort();
}

void CPortComboBox::showPopup()
{
    RefreshPorts(true);
    QComboBox::showPopup();
}

std::vector<std::string> CCommProDlg::ListSerialPorts()
{
    // Device paths of the ports present; a COMn name typed in the box is
    // mapped to a device through DevicePattern of section COMM.
    return rtu::ListSerialPorts();
}

CCommProDlg::CCommProDlg(const SerialSettings& current, QWidget* parent) : QDialog(parent), result_(current)
{
    setWindowTitle(UiText("CommProDlg", "Title"));
    setObjectName(QStringLiteral("CCommProDlg"));

    mode_ = MakeList(this, "mode", NoYes(), current.mode);
    port_ = new CPortComboBox(&CCommProDlg::ListSerialPorts, this);
    port_->setObjectName(QStringLiteral("com"));
    port_->onNoPort = [this] { QMessageBox::information(this, MessageCaption(), QStringLiteral("Not Find Com")); };
    port_->RefreshPorts(false);
    port_->setEditText(QString::fromStdString(current.com));
    baud_ = new QComboBox(this);
    baud_->setObjectName(QStringLiteral("baudRate"));
    baud_->setEditable(true);
    baud_->setInsertPolicy(QComboBox::NoInsert);
    baud_->addItems({"110", "300", "600", "1200", "2400", "4800", "9600", "14400", "19200", "38400", "56000", "57600",
                     "115200"});
    baud_->setEditText(QString::fromStdString(current.baudRate));
    byteSize_ = MakeList(this, "byteSize", {"5", "6", "7", "8"}, current.byteSize);
    stopBit_ = MakeList(this, "stopBit", {"1", "2"}, current.stopBit);
    parity_ = MakeList(this, "parity", {"None", "Odd", "Even"}, current.parity);

    auto* form = new QFormLayout;
    QWidget* fields[] = {mode_, port_, baud_, byteSize_, stopBit_, parity_};
    for (int i = 0; i < 6; ++i) form->addRow(UiText("CommProDlg", "Static" + std::to_string(i + 1)), fields[i]);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(MakeButtons(this));
    setMinimumWidth(320);
}

void CCommProDlg::Save()
{
    SerialSettings s = result_;
    s.mode = SelectedValue(mode_, s.mode);
    s.com = port_->currentText().toStdString();
    s.baudRate = baud_->currentText().toStdString();
    s.byteSize = SelectedValue(byteSize_, s.byteSize);
    s.stopBit = SelectedValue(stopBit_, s.stopBit);
    s.parity = SelectedValue(parity_, s.parity);
    written_ = SaveSerialSettings(s);
    if (!written_) RTU_LOG_ERROR("the serial line settings could not all be written to server.ini");
    result_ = s;
}

void CCommProDlg::accept()
{
    Save();
    QDialog::accept();
}

}  // namespace rtu
