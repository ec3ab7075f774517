#include "rtu/runtime/ProfileFile.h"
#include "rtu/runtime/Settings.h"

#include "RuntimeTestSupport.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <thread>

namespace rtu {
namespace {

using ProfileFileTest = test::WorkingFolder;

const char* const kSample =
    "; settings of the test\n"
    "[Set]\n"
    "Port=5002\n"
    "  Source  =  db.example  \n"
    "Quoted=\"  spaced value  \"\n"
    "Single='x'\n"
    "Empty=\n"
    "; Commented=1\n"
    "\n"
    "[COMM]\n"
    "MODE=1\n"
    "[set]\n"
    "Port=9999\n";

TEST_F(ProfileFileTest, SectionsAndKeysMatchWithoutRegardToCaseAndTheFirstOneCounts)
{
    WriteFile("a.ini", kSample);
    EXPECT_EQ(ReadProfileString("a.ini", "Set", "Port", kSettingBufferSize), "5002");
    EXPECT_EQ(ReadProfileString("a.ini", "SET", "port", kSettingBufferSize), "5002");
    EXPECT_EQ(ReadProfileString("a.ini", "comm", "Mode", kSettingBufferSize), "1");
}

TEST_F(ProfileFileTest, BlanksAroundNamesAndValuesAndEnclosingQuotesAreDropped)
{
    WriteFile("a.ini", kSample);
    EXPECT_EQ(ReadProfileString("a.ini", "Set", "Source", kSettingBufferSize), "db.example");
    EXPECT_EQ(ReadProfileString("a.ini", "Set", "Quoted", kSettingBufferSize), "  spaced value  ");
    EXPECT_EQ(ReadProfileString("a.ini", "Set", "Single", kSettingBufferSize), "x");
}

TEST_F(ProfileFileTest, MissingFileSectionKeyAndCommentsReadAsEmpty)
{
    EXPECT_EQ(ReadProfileString("none.ini", "Set", "Port", kSettingBufferSize), "");
    WriteFile("a.ini", kSample);
    EXPECT_EQ(ReadProfileString("a.ini", "Nowhere", "Port", kSettingBufferSize), "");
    EXPECT_EQ(ReadProfileString("a.ini", "Set", "Missing", kSettingBufferSize), "");
    EXPECT_EQ(ReadProfileString("a.ini", "Set", "Empty", kSettingBufferSize), "");
    EXPECT_EQ(ReadProfileString("a.ini", "Set", "; Commented", kSettingBufferSize), "");
    EXPECT_EQ(ReadProfileString("a.ini", "Set", "MODE", kSettingBufferSize), "") << "keys of the next section";
}

TEST_F(ProfileFileTest, CrLfFilesAndByteOrderMarkAreRead)
{
    WriteFile("a.ini", "\xEF\xBB\xBF[Set]\r\nPort=5003\r\nName=Demo\r\n");
    EXPECT_EQ(ReadProfileString("a.ini", "Set", "Port", kSettingBufferSize), "5003");
    EXPECT_EQ(ReadProfileString("a.ini", "Set", "Name", kSettingBufferSize), "Demo");
}

TEST_F(ProfileFileTest, ReadsAreCutToTheBufferLessOneCharacter)
{
    std::string longText(1500, 'a');
    std::string e = "\xC3\xA9";        // two-byte character
    std::string water = "\xE6\xB0\xB4";  // three-byte character
    std::string accents;
    for (int i = 0; i < 250; ++i) {
        accents += (i % 2 == 0) ? e : water;
    }
    WriteFile("a.ini", "[T]\nLong=" + longText + "\nAccents=" + accents + "\nBroken=" +
                           std::string(198, 'b') + "\xC3" + "cd\n");
    EXPECT_EQ(ReadProfileString("a.ini", "T", "Long", kSettingBufferSize), std::string(1023, 'a'));
    EXPECT_EQ(ReadProfileString("a.ini", "T", "Long", kTextBufferSize), std::string(199, 'a'));
    std::string cut = ReadProfileString("a.ini", "T", "Accents", kTextBufferSize);
    EXPECT_EQ(cut, accents.substr(0, 100 * e.size() + 99 * water.size())) << "199 whole characters";
    EXPECT_EQ(ReadProfileString("a.ini", "T", "Broken", kTextBufferSize), std::string(198, 'b') + "\xC3")
        << "a stray byte counts as one character";
    EXPECT_EQ(ReadProfileString("a.ini", "T", "Long", 0), "");
}

TEST_F(ProfileFileTest, WritingAnExistingKeyChangesOnlyItsLine)
{
    WriteFile("a.ini", kSample);
    ASSERT_TRUE(WriteProfileString("a.ini", "SET", "source", "other"));
    std::string expected = kSample;
    expected.replace(expected.find("  Source  =  db.example  "), 25, "  Source=other");
    EXPECT_EQ(ReadFile("a.ini"), expected);
    EXPECT_EQ(ReadProfileString("a.ini", "Set", "Source", kSettingBufferSize), "other");
}

TEST_F(ProfileFileTest, AMissingKeyIsAddedAfterTheLastKeyOfItsSection)
{
    WriteFile("a.ini", kSample);
    ASSERT_TRUE(WriteProfileString("a.ini", "Set", "Pict", "Pict"));
    std::string expected = kSample;
    expected.insert(expected.find("; Commented"), "Pict=Pict\n");
    EXPECT_EQ(ReadFile("a.ini"), expected);

    ASSERT_TRUE(WriteProfileString("a.ini", "COMM", "COM", "COM3"));
    expected.insert(expected.find("[set]"), "COM=COM3\n");
    EXPECT_EQ(ReadFile("a.ini"), expected);
}

TEST_F(ProfileFileTest, AMissingSectionIsAddedAtTheEndAndAMissingFileIsCreated)
{
    WriteFile("a.ini", kSample);
    ASSERT_TRUE(WriteProfileString("a.ini", "Conversion ID", "0012345678", "87654321"));
    EXPECT_EQ(ReadFile("a.ini"), std::string(kSample) + "\n[Conversion ID]\n0012345678=87654321\n");

    ASSERT_TRUE(WriteProfileString("new.ini", "Address", "0000000101", "bridge"));
    EXPECT_EQ(ReadFile("new.ini"), "[Address]\n0000000101=bridge\n");
    EXPECT_FALSE(WriteProfileString(PathOf("no-such-folder/x.ini"), "S", "K", "v"));
}

TEST_F(ProfileFileTest, CreatedFilesAreForTheOwnerOnlyAndExistingFilesKeepTheirMode)
{
    ASSERT_TRUE(WriteProfileString("new.ini", "Set", "Pwd", "secret"));
    struct stat info {};
    ASSERT_EQ(::stat("new.ini", &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);

    WriteFile("shared.ini", "[Set]\nPort=5001\n");
    ASSERT_EQ(::chmod("shared.ini", 0640), 0);
    ASSERT_TRUE(WriteProfileString("shared.ini", "Set", "Port", "5002"));
    ASSERT_EQ(::stat("shared.ini", &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
}

// An editor that rewrites the file in place with a value of the same length,
// within one tick of the file system's clock, leaves inode, size and time as
// they were: the new value must still be read.
TEST_F(ProfileFileTest, AChangeOnDiskIsReadEvenWhenSizeAndModificationTimeStayTheSame)
{
    WriteFile("a.ini", "[Conversion ID]\n0000000101=1001\n");
    EXPECT_EQ(ReadProfileString("a.ini", "Conversion ID", "0000000101", kSettingBufferSize), "1001");
    struct stat before {};
    ASSERT_EQ(::stat("a.ini", &before), 0);
    WriteFile("a.ini", "[Conversion ID]\n0000000101=2002\n");
    const timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, "a.ini", times, 0), 0);
    EXPECT_EQ(ReadProfileString("a.ini", "Conversion ID", "0000000101", kSettingBufferSize), "2002");
}

TEST_F(ProfileFileTest, WritesKeepCrLfLineBreaksAndPutAValueOnOneLine)
{
    WriteFile("a.ini", "[Set]\r\nPort=5001\r\n");
    ASSERT_TRUE(WriteProfileString("a.ini", "Address", "0000000101", "first line\r\nPort=1"));
    EXPECT_EQ(ReadFile("a.ini"), "[Set]\r\nPort=5001\r\n\r\n[Address]\r\n0000000101=first line  Port=1\r\n");
    EXPECT_EQ(ReadProfileString("a.ini", "Set", "Port", kSettingBufferSize), "5001");
}

TEST_F(ProfileFileTest, EveryOneLineValueIsReadBackAsWritten)
{
    for (const char* value : {" pass ", "'q'", "\"x\"", "a=b;c", "\"", "", "tab\t"}) {
        ASSERT_TRUE(WriteProfileString("a.ini", "Set", "Pwd", value)) << value;
        EXPECT_EQ(ReadProfileString("a.ini", "Set", "Pwd", kSettingBufferSize), value) << value;
    }
    ASSERT_TRUE(WriteProfileString("a.ini", "Set", "Pwd", "plain"));
    EXPECT_EQ(ReadFile("a.ini"), "[Set]\nPwd=plain\n");
}

TEST_F(ProfileFileTest, InvalidNamesAreRefusedAndTheFileIsLeftAlone)
{
    WriteFile("a.ini", kSample);
    EXPECT_FALSE(WriteProfileString("a.ini", "", "K", "v"));
    EXPECT_FALSE(WriteProfileString("a.ini", "A]B", "K", "v"));
    EXPECT_FALSE(WriteProfileString("a.ini", "Set", "", "v"));
    EXPECT_FALSE(WriteProfileString("a.ini", "Set", "a=b", "v"));
    EXPECT_FALSE(WriteProfileString("a.ini", "Set", "[x", "v"));
    EXPECT_FALSE(WriteProfileString("a.ini", "Set", "two\nlines", "v"));
    EXPECT_EQ(ReadFile("a.ini"), kSample);
}

TEST_F(ProfileFileTest, SectionListingsFollowTheReadRules)
{
    WriteFile("a.ini", kSample);
    EXPECT_EQ(ReadProfileSectionNames("a.ini"), (std::vector<std::string>{"Set", "COMM", "set"}));
    auto keys = ReadProfileSection("a.ini", "set");
    ASSERT_EQ(keys.size(), 5u);
    EXPECT_EQ(keys[1], (std::pair<std::string, std::string>{"Source", "db.example"}));
}

TEST_F(ProfileFileTest, SettingsAndTextsUseTheirFilesAndLimits)
{
    FixSettingsPath();
    EXPECT_EQ(SettingsPath(), folder_.string() + "/server.ini");
    ASSERT_TRUE(WriteSetting("Set", "Port", "5005"));
    EXPECT_EQ(ReadSetting("set", "PORT"), "5005");

    WriteFile("config.ini", "[MainFrame]\nText1=" + std::string(300, 'x') + "\n");
    EXPECT_EQ(LoadText("MainFrame", "Text1"), std::string(199, 'x'));

    // config.ini follows the current directory; server.ini stays where it was fixed.
    std::filesystem::create_directory("other");
    std::filesystem::current_path("other");
    EXPECT_EQ(LoadText("MainFrame", "Text1"), "");
    EXPECT_EQ(ReadSetting("Set", "Port"), "5005");
}

// Several threads write their own keys of one file while others read it: every
// read sees a whole file and every write survives.
TEST_F(ProfileFileTest, ConcurrentWritersAndReadersSeeWholeFilesAndLoseNoWrite)
{
    WriteFile("a.ini", "; keep me\n[Fixed]\nSentinel=present\n");
    constexpr int kWriters = 4;
    constexpr int kWrites = 40;
    std::atomic<bool> writing{true};
    std::atomic<int> badReads{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 2; ++r) {
        readers.emplace_back([&] {
            do {
                if (ReadProfileString("a.ini", "Fixed", "Sentinel", kSettingBufferSize) != "present") {
                    ++badReads;
                }
            } while (writing.load());
        });
    }
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([w] {
            for (int i = 0; i < kWrites; ++i) {
                std::string section = "Writer" + std::to_string(w);
                WriteProfileString("a.ini", section, "Key" + std::to_string(i), std::to_string(i));
                WriteProfileString("a.ini", section, "Last", std::to_string(i));
            }
        });
    }
    for (auto& t : writers) {
        t.join();
    }
    writing = false;
    for (auto& t : readers) {
        t.join();
    }
    EXPECT_EQ(badReads.load(), 0);
    for (int w = 0; w < kWriters; ++w) {
        std::string section = "Writer" + std::to_string(w);
        EXPECT_EQ(ReadProfileString("a.ini", section, "Last", kSettingBufferSize), std::to_string(kWrites - 1));
        EXPECT_EQ(ReadProfileSection("a.ini", section).size(), static_cast<std::size_t>(kWrites + 1));
    }
    EXPECT_EQ(ReadFile("a.ini").rfind("; keep me\n[Fixed]\nSentinel=present\n", 0), 0u);
    int files = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder_)) {
        ++files;
    }
    EXPECT_EQ(files, 1) << "no temporary file is left behind";
}

}  // namespace
}  // namespace rtu
