// The settings dialogs: what they show, what they refuse, and what they write
// to server.ini in which order.
#include "UiTestSupport.h"

#include "rtu/runtime/Settings.h"
#include "rtu/ui/SettingsDialogs.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>

#include <cstdio>

namespace rtu::test {
namespace {

class SettingsDialogTest : public UiTest {
protected:
    void SetUp() override { std::remove(SettingsPath().c_str()); }

    template <typename W>
    static W* Field(QWidget& dialog, const char* name)
    {
        W* w = dialog.findChild<W*>(QLatin1String(name));
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    static void SetText(QWidget& dialog, const char* name, const QString& text)
    {
        Field<QLineEdit>(dialog, name)->setText(text);
    }
};

TEST_F(SettingsDialogTest, ServiceSettingsAreWrittenInOrderWithCentPwdInUpperCase)
{
    ServerSettings current;
    current.main.dbMode = 1;
    CSysSetDlg dialog(current);
    EXPECT_EQ(Field<QLineEdit>(dialog, "port")->text(), "5001");
    EXPECT_EQ(Field<QLineEdit>(dialog, "offLine")->text(), "120");
    EXPECT_EQ(Field<QComboBox>(dialog, "dbMode")->currentIndex(), 1);
    EXPECT_EQ(Field<QLineEdit>(dialog, "cent")->maxLength(), 2);
    EXPECT_EQ(Field<QLineEdit>(dialog, "centPwd")->maxLength(), 4);

    SetText(dialog, "port", "6001");
    SetText(dialog, "offLine", "30");  // used as typed until the next start
    SetText(dialog, "source", "db.local");
    SetText(dialog, "pwd", "secret");
    SetText(dialog, "thirdName", "Hydro");
    Field<QComboBox>(dialog, "thirdDbMode")->setCurrentIndex(1);
    Field<QComboBox>(dialog, "regMode")->setCurrentIndex(1);
    SetText(dialog, "centPwd", "ab1f");
    QString refusal;
    ASSERT_TRUE(dialog.TrySave(&refusal));
    EXPECT_TRUE(dialog.Written());

    const ServerSettings& s = dialog.Result();
    EXPECT_EQ(s.port, 6001);
    EXPECT_EQ(s.offLine, 30);
    EXPECT_EQ(s.centPwd, "AB1F");
    EXPECT_EQ(s.third.dbMode, 1);
    EXPECT_EQ(s.regMode, 1);

    EXPECT_EQ(ReadSetting("Set", "CentPwd"), "AB1F");
    EXPECT_EQ(ReadSetting("Set", "Port"), "6001");
    EXPECT_EQ(ReadSetting("Set", "OffLine"), "30");
    EXPECT_EQ(ReadSetting("SetThird", "DBMode"), "1");
    EXPECT_EQ(ReadSetting("SetThird", "Name"), "Hydro");
    const std::string file = ReadFile(SettingsPath());
    const char* order[] = {"[Set]", "Port=6001", "OffLine=30", "Source=db.local", "Name=Demo", "User=sa",
                           "Pwd=secret", "Pict=", "ProtMode=0", "DBMode=1", "RegMode=1", "Cent=01",
                           "CentPwd=AB1F", "[SetThird]", "DBMode=1", "Source=127.0.0.1", "Name=Hydro"};
    std::size_t at = 0;
    for (const char* line : order) {
        const std::size_t found = file.find(line, at);
        ASSERT_NE(found, std::string::npos) << line << " after offset " << at << " in\n" << file;
        at = found + 1;
    }
}

TEST_F(SettingsDialogTest, DriverIsEditedAndOnlyTheFieldsItUsesAreShown)
{
    ServerSettings current;
    current.third.driver = "PostgreSQL Unicode";
    CSysSetDlg dialog(current);
    for (QGroupBox* group : dialog.findChildren<QGroupBox*>()) EXPECT_FALSE(group->title().isEmpty());

    struct Case {
        const char* driver;
        bool server;  // Source, User and Pwd
        bool tds;     // TDS_Version
    };
    for (const Case& c : {Case{"SQLite3", false, false}, Case{"PostgreSQL Unicode", true, false},
                          Case{"FreeTDS", true, true}, Case{"", true, false}, Case{"sqliteodbc", false, false}}) {
        Field<QComboBox>(dialog, "driver")->setEditText(QString::fromLatin1(c.driver));
        for (const char* name : {"source", "user", "pwd"})
            EXPECT_EQ(Field<QLineEdit>(dialog, name)->isHidden(), !c.server) << c.driver << " " << name;
        EXPECT_FALSE(Field<QLineEdit>(dialog, "name")->isHidden()) << c.driver;
        EXPECT_EQ(Field<QLineEdit>(dialog, "tdsVersion")->isHidden(), !c.tds) << c.driver;
        // The secondary database's fields follow its own driver.
        EXPECT_FALSE(Field<QLineEdit>(dialog, "thirdSource")->isHidden()) << c.driver;
        EXPECT_TRUE(Field<QLineEdit>(dialog, "thirdTdsVersion")->isHidden()) << c.driver;
    }

    Field<QComboBox>(dialog, "driver")->setEditText(QStringLiteral("FreeTDS"));
    SetText(dialog, "tdsVersion", "7.3");
    QString refusal;
    ASSERT_TRUE(dialog.TrySave(&refusal));
    EXPECT_EQ(dialog.Result().main.driver, "FreeTDS");
    EXPECT_EQ(ReadSetting("Set", "Driver"), "FreeTDS");
    EXPECT_EQ(ReadSetting("Set", "TDS_Version"), "7.3");
    EXPECT_EQ(ReadSetting("SetThird", "Driver"), "PostgreSQL Unicode");
    EXPECT_EQ(ReadFile(SettingsPath()).find("TDS_Version", ReadFile(SettingsPath()).find("[SetThird]")),
              std::string::npos)
        << "an empty TDS_Version is not added";
}

TEST_F(SettingsDialogTest, PortOutsideTheRangeAndOffLineZeroAreRefusedWithNothingWritten)
{
    for (const char* port : {"0", "70000", "-1", "abc"}) {
        CSysSetDlg dialog(ServerSettings{});
        SetText(dialog, "port", port);
        QString refusal;
        EXPECT_FALSE(dialog.TrySave(&refusal)) << port;
        EXPECT_FALSE(refusal.isEmpty());
    }
    for (const char* offLine : {"0", "", "70000"}) {
        CSysSetDlg dialog(ServerSettings{});
        SetText(dialog, "offLine", offLine);
        QString refusal;
        EXPECT_FALSE(dialog.TrySave(&refusal)) << offLine;
        EXPECT_FALSE(refusal.isEmpty());
    }
    EXPECT_TRUE(ReadFile(SettingsPath()).empty());

    CSysSetDlg edge(ServerSettings{});
    SetText(edge, "port", "65535");
    SetText(edge, "offLine", "1");
    EXPECT_TRUE(edge.TrySave(nullptr));
    EXPECT_EQ(edge.Result().port, 65535);
}

TEST_F(SettingsDialogTest, ModeOutsideTheListIsKeptWhenNothingIsChosen)
{
    ServerSettings current;
    current.protMode = 3;  // network data ignored: the list has no entry for it
    CSysSetDlg dialog(current);
    EXPECT_EQ(Field<QComboBox>(dialog, "protMode")->currentIndex(), -1);
    ASSERT_TRUE(dialog.TrySave(nullptr));
    EXPECT_EQ(dialog.Result().protMode, 3);
    EXPECT_EQ(ReadSetting("Set", "ProtMode"), "3");
}

TEST_F(SettingsDialogTest, SerialSettingsAreWrittenToCommInOrder)
{
    SerialSettings current;
    CCommProDlg dialog(current);
    EXPECT_EQ(Field<QComboBox>(dialog, "com")->currentText(), "COM1");
    EXPECT_EQ(Field<QComboBox>(dialog, "baudRate")->currentText(), "115200");

    Field<QComboBox>(dialog, "mode")->setCurrentIndex(1);
    Field<QComboBox>(dialog, "com")->setEditText("COM12");
    Field<QComboBox>(dialog, "baudRate")->setEditText("9600");
    Field<QComboBox>(dialog, "byteSize")->setCurrentIndex(3);
    Field<QComboBox>(dialog, "stopBit")->setCurrentIndex(1);
    Field<QComboBox>(dialog, "parity")->setCurrentIndex(2);
    dialog.Save();
    EXPECT_TRUE(dialog.Written());
    EXPECT_EQ(dialog.Result().com, "COM12");
    EXPECT_EQ(dialog.Result().parity, 2);

    const std::string file = ReadFile(SettingsPath());
    const char* order[] = {"[COMM]", "MODE=1", "COM=COM12", "BAUDRATE=9600", "BYTESIZE=3", "STOPBIT=1", "PATITY=2"};
    std::size_t at = 0;
    for (const char* line : order) {
        const std::size_t found = file.find(line, at);
        ASSERT_NE(found, std::string::npos) << line << " in\n" << file;
        at = found + 1;
    }
}

}  // namespace
}  // namespace rtu::test
