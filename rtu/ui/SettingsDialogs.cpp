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
    auto* service = new QGroupBox(this);
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

    // Databases: main and secondary side by side.
    auto* databases = new QGroupBox(this);
    auto* grid = new QGridLayout(databases);
    grid->addWidget(new QLabel(SysText("Static3"), databases), 0, 1);
    grid->addWidget(new QLabel(SysText("Static4"), databases), 0, 2);
    source_ = MakeEdit(databases, "source", current.main.source);
    name_ = MakeEdit(databases, "name", current.main.name);
    user_ = MakeEdit(databases, "user", current.main.user);
    pwd_ = MakeEdit(databases, "pwd", current.main.pwd);
    dbMode_ = MakeList(databases, "dbMode", NoYes(), current.main.dbMode);
    thirdSource_ = MakeEdit(databases, "thirdSource", current.third.source);
    thirdName_ = MakeEdit(databases, "thirdName", current.third.name);
    thirdUser_ = MakeEdit(databases, "thirdUser", current.third.user);
    thirdPwd_ = MakeEdit(databases, "thirdPwd", current.third.pwd);
    thirdDbMode_ = MakeList(databases, "thirdDbMode", NoYes(), current.third.dbMode);
    pwd_->setEchoMode(QLineEdit::Password);
    thirdPwd_->setEchoMode(QLineEdit::Password);
    const char* rowLabels[] = {"Static5", "Static6", "Static7", "Static8", "Static10"};
    QWidget* mainFields[] = {source_, name_, user_, pwd_, dbMode_};
    QWidget* thirdFields[] = {thirdSource_, thirdName_, thirdUser_, thirdPwd_, thirdDbMode_};
    for (int row = 0; row < 5; ++row) {
        grid->addWidget(new QLabel(SysText(rowLabels[row]), databases), row + 1, 0);
        grid->addWidget(mainFields[row], row + 1, 1);
        grid->addWidget(thirdFields[row], row + 1, 2);
    }
    grid->setColumnStretch(1, 1);
    grid->setColumnStretch(2, 1);

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
    s.main.source = Text(source_);
    s.main.name = Text(name_);
    s.main.user = Text(user_);
    s.main.pwd = Text(pwd_);
    s.pict = Text(pict_);
    s.third.dbMode = SelectedValue(thirdDbMode_, s.third.dbMode);
    s.third.source = Text(thirdSource_);
    s.third.name = Text(thirdName_);
    s.third.user = Text(thirdUser_);
    s.third.pwd = Text(thirdPwd_);
    s.protMode = SelectedValue(protMode_, s.protMode);
    s.main.dbMode = SelectedValue(dbMode_, s.main.dbMode);
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
