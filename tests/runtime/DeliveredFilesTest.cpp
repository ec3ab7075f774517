// The files delivered in config/ and the start-up steps that use them.
#include "rtu/runtime/ProfileFile.h"
#include "rtu/runtime/ServerSettings.h"
#include "rtu/runtime/Settings.h"
#include "rtu/runtime/StartupFiles.h"
#include "rtu/runtime/TextFormat.h"

#include "RuntimeTestSupport.h"

#include <log4cplus/hierarchy.h>
#include <log4cplus/initializer.h>

#include <map>
#include <set>

namespace rtu {
namespace {

log4cplus::Initializer logInitializer;

const std::string kConfigDir = std::string(RTU_SOURCE_DIR) + "/config";

using KeySet = std::map<std::string, std::set<std::string>>;

void AddRange(std::set<std::string>& keys, const std::string& prefix, int first, int last,
              const std::string& suffix = "")
{
    for (int i = first; i <= last; ++i) {
        keys.insert(prefix + std::to_string(i) + suffix);
    }
}

// The sections and keys the program looks up in config.ini.
KeySet ExpectedTextKeys()
{
    KeySet k;
    auto& main = k["MainFrame"];
    main = {"Menu1", "Menu2", "Menu3", "Menu1-1", "Menu1-2", "Menu1-3", "Menu1-4", "Menu2-1",
            "Menu2-2", "Menu3-1", "Button0", "Button1", "Button2", "Button3", "Button5", "Button6",
            "Button8"};
    AddRange(main, "Text", 1, 54);
    auto& base = k["BaseConfig"];
    base = {"Column_Name", "AddString1-2-0", "AddString1-2-1", "AddString1-2-2", "AddString1-15-0",
            "AddString3-15-0", "AddString3-15-1", "Title"};
    AddRange(base, "Item", 0, 16);
    AddRange(base, "Item", 0, 11, "-2");
    AddRange(base, "Item", 13, 16, "-2");
    AddRange(base, "AddString1-16-", 0, 3);
    AddRange(base, "MessageBox", 1, 7);
    AddRange(base, "Text", 1, 4);
    auto& run = k["RunConfig"];
    run = {"Button1", "Button2", "Column_Value", "Text1", "Text2"};
    AddRange(run, "Item", 0, 4);
    AddRange(run, "Item", 0, 4, "-2");
    auto& device = k["DeviceView"];
    device = {"Online", "Offline", "Type1", "Type2", "Static1"};
    AddRange(device, "Column", 1, 13);
    AddRange(device, "Menu", 1, 12);
    AddRange(device, "Message", 1, 3);
    AddRange(device, "Text", 1, 6);
    AddRange(k["ConfigView"], "ShowDlg", 1, 6);
    k["DeviceConfigDlg"] = {"Page1", "Page2", "Static1"};
    k["ShowDataDlg"] = {"Static1"};
    k["LeftView"] = {"Static1"};
    k["ClockControl"] = {"Button2", "Static1", "Text1", "Text2"};
    auto& period = k["TimeDateDlg"];
    period = {"AddString0", "AddString1", "Button1", "Column0", "Text1"};
    AddRange(period, "Static", 1, 4);
    auto& photo = k["PhotoDlg"];
    photo = {"Button1", "Column0", "Text1", "Text2"};
    AddRange(photo, "Item", 0, 3);
    auto& upgrade = k["UpgradeControl"];
    upgrade = {"Button1", "Text1", "Text2"};
    AddRange(upgrade, "Static", 1, 4);
    auto& remark = k["RemarkDlg"];
    remark = {"Title", "Text1", "Text2"};
    AddRange(remark, "Static", 1, 4);
    auto& sys = k["SysSetDlg"];
    sys = {"Combox7-1", "Text1", "Text2", "Text3", "WindowText"};
    AddRange(sys, "Static", 1, 22);
    auto& comm = k["CommProDlg"];
    comm = {"Title"};
    AddRange(comm, "Static", 1, 6);
    k["SLRtuApp"] = {"Language", "Title"};
    return k;
}

TEST(DeliveredConfigTest, ConfigIniHoldsExactlyThe263KeysOf16SectionsAllWorded)
{
    const std::string path = kConfigDir + "/config.ini";
    KeySet expected = ExpectedTextKeys();
    std::size_t expectedCount = 0;
    for (const auto& [section, keys] : expected) {
        expectedCount += keys.size();
    }
    ASSERT_EQ(expected.size(), 16u);
    ASSERT_EQ(expectedCount, 263u);

    std::vector<std::string> sections = ReadProfileSectionNames(path);
    EXPECT_EQ(std::set<std::string>(sections.begin(), sections.end()).size(), sections.size())
        << "no section twice";
    KeySet found;
    for (const std::string& section : sections) {
        for (const auto& [key, value] : ReadProfileSection(path, section)) {
            EXPECT_TRUE(found[section].insert(key).second) << section << "/" << key << " twice";
            EXPECT_FALSE(value.empty()) << section << "/" << key;
            EXPECT_LE(value.size(), kTextBufferSize - 1) << section << "/" << key;
        }
    }
    EXPECT_EQ(found, expected);
}

TEST(DeliveredConfigTest, FormatTextsHoldExactlyTheirFields)
{
    const std::string path = kConfigDir + "/config.ini";
    auto text = [&](const char* section, const char* key) {
        return ReadProfileString(path, section, key, kTextBufferSize);
    };
    auto fields = [](const std::string& format) {
        int count = 0;
        for (std::size_t i = 0; i + 1 < format.size(); ++i) {
            if (format[i] == '%') {
                count += format[i + 1] != '%';
                ++i;
            }
        }
        return count;
    };
    struct Format {
        const char* section;
        const char* key;
        std::initializer_list<FormatArg> args;
    };
    const Format formats[] = {
        {"MainFrame", "Text8", {5001}},
        {"MainFrame", "Text11", {5001}},
        {"MainFrame", "Text10", {"COM1", "115200"}},
        {"MainFrame", "Text12", {"COM1", "115200"}},
        {"MainFrame", "Text16", {"0012345678", "01"}},
        {"MainFrame", "Text17", {"0012345678"}},
        {"MainFrame", "Text18", {"0012345678"}},
        {"MainFrame", "Text29", {"0012345678", "V1.0"}},
        {"SLRtuApp", "Title", {"1.1.0"}},
        {"BaseConfig", "Text1", {"0012345678"}},
        {"BaseConfig", "Text4", {"0012345678"}},
        {"ClockControl", "Text1", {"0012345678"}},
        {"ClockControl", "Text2", {"0012345678"}},
        {"DeviceView", "Text1", {"0012345678"}},
        {"DeviceView", "Text2", {"0012345678"}},
        {"DeviceView", "Text3", {"0012345678"}},
        {"DeviceView", "Text4", {"0012345678"}},
        {"DeviceView", "Text5", {"0012345678"}},
        {"DeviceView", "Text6", {"0012345678"}},
    };
    std::set<std::string> formatKeys;
    for (const Format& f : formats) {
        std::string format = text(f.section, f.key);
        EXPECT_TRUE(FormatAccepts(format, f.args)) << f.section << "/" << f.key << ": " << format;
        EXPECT_EQ(fields(format), static_cast<int>(f.args.size())) << f.section << "/" << f.key;
        formatKeys.insert(std::string(f.section) + "/" + f.key);
    }
    // Every other text is shown as it stands: a "%" there would be a mistake.
    for (const auto& [section, keys] : ExpectedTextKeys()) {
        for (const std::string& key : keys) {
            if (formatKeys.count(section + "/" + key) == 0) {
                EXPECT_EQ(text(section.c_str(), key.c_str()).find('%'), std::string::npos) << section << "/" << key;
            }
        }
    }
}

using DeliveredFilesTest = test::WorkingFolder;

TEST_F(DeliveredFilesTest, ServerIniIsAFirstRunOnTheEmbeddedDatabase)
{
    std::filesystem::copy_file(kConfigDir + "/server.ini", "server.ini");
    FixSettingsPath();
    test::LogCapture log;
    ServerSettings s = LoadServerSettings();
    EXPECT_EQ(s.port, 5001);
    EXPECT_GE(s.offLine, 120);
    EXPECT_EQ(s.main.driver, "SQLite3");
    EXPECT_FALSE(s.main.name.empty());
    EXPECT_TRUE(s.main.Used());
    EXPECT_FALSE(s.third.Used());
    EXPECT_EQ(s.comm.mode, 0);
    EXPECT_FALSE(s.pict.empty());
    EXPECT_EQ(s.protMode, 0);
    EXPECT_EQ(s.regMode, 0);
    EXPECT_EQ(s.cent, "01");
    EXPECT_EQ(s.centPwd, "B7E2");
    EXPECT_EQ(s.rebootHours, 0);
    EXPECT_TRUE(FormatAccepts(s.comm.devicePattern, {0}));
    EXPECT_TRUE(log.Lines().empty()) << "the delivered values need no correction";
}

TEST_F(DeliveredFilesTest, TheLoggingFileWritesMainAtDebugUnderLogs)
{
    std::filesystem::copy_file(kConfigDir + "/IOCP_log.cfg", "IOCP_log.cfg");
    CreateLogsDirectory();
    CreateLogsDirectory();  // an existing folder is fine
    ASSERT_TRUE(std::filesystem::is_directory("Logs"));
    ASSERT_TRUE(ConfigureLogging());
    EXPECT_TRUE(MainLogger().isEnabledFor(log4cplus::DEBUG_LOG_LEVEL));
    RTU_LOG_DEBUG("delivered logging works");
    log4cplus::Logger::getDefaultHierarchy().shutdown();

    std::string written;
    for (const auto& entry : std::filesystem::directory_iterator("Logs")) {
        written += ReadFile(entry.path().string());
    }
    EXPECT_NE(written.find("delivered logging works"), std::string::npos);
}

TEST_F(DeliveredFilesTest, AMissingLoggingFileFallsBackToTheConsole)
{
    test::LogCapture log;
    EXPECT_FALSE(ConfigureLogging());
    EXPECT_TRUE(log.Contains("IOCP_log.cfg not found"));
    EXPECT_TRUE(MainLogger().isEnabledFor(log4cplus::DEBUG_LOG_LEVEL));
}

}  // namespace
}  // namespace rtu
