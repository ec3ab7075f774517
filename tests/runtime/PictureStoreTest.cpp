// Picture reception: windows of five, acknowledgements, requests for missing
// packets and the filing of pictures.
#include "rtu/runtime/PictureStore.h"

#include "tests/runtime/PicturesTestSupport.h"

#include <log4cplus/initializer.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <random>

namespace rtu::pictures_test {
namespace {

log4cplus::Initializer logInitializer;

const std::string kStation = "0000000101";

struct RecordingDatabase : StatementTarget {
    bool used = true;
    std::vector<std::string> statements;
    bool Used(Database db) const override { return db == Database::Main && used; }
    void Enqueue(Database db, const std::string& statement, const std::string&) override
    {
        if (db == Database::Main && used) statements.push_back(statement);
    }
    bool QueryRows(Database, const std::string&, const std::string&, storage::Rows&) override { return false; }
    bool QueryValue(Database, const std::string&, const std::string&, std::string&) override { return false; }
};

struct Answer {
    std::string station;
    std::string body;
    std::size_t inProgress;  // pictures in progress seen from inside the send
};

class PictureStoreTest : public InTemporaryFolder {
protected:
    void SetUp() override
    {
        InTemporaryFolder::SetUp();
        WriteFile(folder_ / "config.ini",
                  "[MainFrame]\nText26=picture restarted\nText27=picture started\nText28=picture filed\n");
        pict_ = folder_ / "data" / "Pict";
        SetPict(pict_.string());
        store_.SetClock({[this] { return steady_; }, [this] { return wall_; }});
    }

    void SetPict(const std::string& pict)
    {
        ServerSettings s;
        s.pict = pict;
        settings_.Replace(s);
    }

    // A local time as seconds since 1970.
    static std::time_t Local(int year, int month, int day, int hour, int minute, int second)
    {
        std::tm t{};
        t.tm_year = year - 1900;
        t.tm_mon = month - 1;
        t.tm_mday = day;
        t.tm_hour = hour;
        t.tm_min = minute;
        t.tm_sec = second;
        t.tm_isdst = -1;
        return std::mktime(&t);
    }

    static std::string Jpeg(std::size_t size, unsigned seed)
    {
        std::mt19937 random(seed);
        std::string bytes(size, '\0');
        for (char& c : bytes) c = static_cast<char>(random() & 0xFF);
        return bytes;
    }

    // The picture cut at the given packet lengths (the last takes the rest).
    static std::vector<std::string> Cut(const std::string& jpeg, const std::vector<std::size_t>& lengths)
    {
        std::vector<std::string> packets;
        std::size_t at = 0;
        for (std::size_t length : lengths) {
            packets.push_back(jpeg.substr(at, length));
            at += length;
        }
        return packets;
    }

    void Send(int number, const std::vector<std::string>& packets, const std::string& flag = "F1",
              const std::string& camera = "1", const std::string& type = "2", const std::string& station = kStation)
    {
        PicturePacket packet;
        packet.linkKind = 0;
        packet.number = number;
        packet.total = static_cast<int>(packets.size());
        packet.payload = packets[static_cast<std::size_t>(number - 1)];
        packet.payloadLength = static_cast<int>(packet.payload.size());
        packet.connectionId = 7;
        packet.station = station;
        packet.camera = camera;
        packet.flag = flag;
        packet.type = type;
        store_.StorePicturePacket(packet);
    }

    void SendRange(int first, int last, const std::vector<std::string>& packets, const std::string& flag = "F1")
    {
        for (int n = first; n <= last; ++n) Send(n, packets, flag);
    }

    std::vector<std::string> Bodies()
    {
        std::vector<std::string> bodies;
        for (const Answer& a : answers_) bodies.push_back(a.body);
        return bodies;
    }

    std::string Today() const
    {
        char text[48];
        std::tm local{};
        localtime_r(&wall_, &local);
        std::snprintf(text, sizeof text, "%04d%02d%02d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
        return text;
    }

    void Pass(std::chrono::seconds later = std::chrono::seconds(0))
    {
        steady_ += later;
        store_.ExamineWindows();
    }

    std::chrono::steady_clock::time_point steady_{std::chrono::hours(1000)};
    std::time_t wall_ = Local(2026, 5, 14, 10, 30, 0);
    std::filesystem::path pict_;
    SettingsStore settings_;
    RecordingDatabase database_;
    RecordingView view_;
    std::vector<Answer> answers_;
    PictureStore store_{settings_, database_, view_,
                        [this](const std::string& station, const std::string& code, const std::string& body, int) {
                            EXPECT_EQ(code, "81");
                            answers_.push_back(Answer{station, body, store_.InProgress()});
                            return true;
                        }};
};

TEST_F(PictureStoreTest, TwelvePacketsInOrderAreAcknowledgedByWindowAndFiledAsOneIdenticalFile)
{
    const std::string jpeg = Jpeg(12 * 512 - 100, 1);
    const auto packets = Cut(jpeg, std::vector<std::size_t>(12, 512));

    SendRange(1, 4, packets);
    Pass();
    EXPECT_TRUE(answers_.empty()) << "a window of four is not examined yet";
    Send(5, packets);
    Pass();
    SendRange(6, 10, packets);
    Pass();
    SendRange(11, 12, packets);
    Pass();

    EXPECT_EQ(Bodies(), (std::vector<std::string>{"F1 1 5", "F1 1 10", "F1 1 12"}));
    // Answers are sent with the picture lock released (InProgress takes it).
    EXPECT_EQ(answers_.back().inProgress, 0u);
    const std::string name = kStation + "-1-2-F1.jpg";
    EXPECT_EQ(FilesBelow(pict_), (std::vector<std::string>{Today() + "/" + name}));
    EXPECT_EQ(ReadFile(pict_ / Today() / name), jpeg);
    EXPECT_EQ(database_.statements, (std::vector<std::string>{"exec pro_updateImage '0000000101','1','F1','0','2','" +
                                                               Today() + "\\" + name + "'"}));
    EXPECT_EQ(view_.Count("picture started"), 1);
    EXPECT_EQ(view_.Count("picture filed"), 1);
    EXPECT_EQ(store_.InProgress(), 0u);
}

TEST_F(PictureStoreTest, MissingPacketsAreRequestedAndThePictureCompletesWhenTheyArrive)
{
    const std::string jpeg = Jpeg(12 * 300, 2);
    const auto packets = Cut(jpeg, std::vector<std::size_t>(12, 300));

    for (int n : {1, 2, 4, 5}) Send(n, packets);
    Pass(std::chrono::seconds(60));
    EXPECT_TRUE(answers_.empty()) << "a window is asked for again only after more than 60 s";
    Pass(std::chrono::seconds(1));
    EXPECT_EQ(Bodies(), (std::vector<std::string>{"F1 1 5 3 "}));
    Pass();
    EXPECT_EQ(answers_.size(), 1u);
    Send(3, packets);
    Pass();
    EXPECT_EQ(answers_.back().body, "F1 1 5");

    // Packet 11 is lost: the final packet triggers one request, not one per
    // pass.
    for (int n : {6, 7, 8, 9, 10}) Send(n, packets);
    Pass();
    Send(12, packets);
    Pass();
    Pass();
    EXPECT_EQ(Bodies(), (std::vector<std::string>{"F1 1 5 3 ", "F1 1 5", "F1 1 10", "F1 1 12 11 "}));
    Send(11, packets);
    Pass();
    EXPECT_EQ(answers_.back().body, "F1 1 12");
    EXPECT_EQ(ReadFile(pict_ / Today() / (kStation + "-1-2-F1.jpg")), jpeg);
    EXPECT_EQ(store_.InProgress(), 0u);
}

TEST_F(PictureStoreTest, APacketOfTheFollowingWindowIsKeptUntilTheCurrentOneIsFiled)
{
    const std::string jpeg = Jpeg(8 * 200, 3);
    const auto packets = Cut(jpeg, std::vector<std::size_t>(8, 200));

    for (int n : {1, 2, 3, 4, 7}) Send(n, packets);
    Pass();
    EXPECT_TRUE(answers_.empty()) << "packet 7 does not count for window 1";
    Send(5, packets);
    Pass();
    for (int n : {6, 8}) Send(n, packets);
    Pass();
    EXPECT_EQ(Bodies(), (std::vector<std::string>{"F1 1 5", "F1 1 8"}));
    EXPECT_EQ(ReadFile(pict_ / Today() / (kStation + "-1-2-F1.jpg")), jpeg);
}

TEST_F(PictureStoreTest, APictureSentInOneGoIsAnsweredWholeInOnePass)
{
    const std::string jpeg = Jpeg(7 * 300 - 50, 12);
    const auto packets = Cut(jpeg, std::vector<std::size_t>(7, 300));
    SendRange(1, 7, packets);
    Pass();
    EXPECT_EQ(Bodies(), (std::vector<std::string>{"F1 1 5", "F1 1 7"}));
    EXPECT_TRUE(ReadFile(pict_ / Today() / (kStation + "-1-2-F1.jpg")) == jpeg);
    EXPECT_EQ(store_.InProgress(), 0u);
}

TEST_F(PictureStoreTest, PicturesInProgressAreBoundedInNumberAndBytesTheLongestStalledGoingFirst)
{
    ServerSettings s;
    s.pict = pict_.string();
    s.pictureMaxCount = 3;
    settings_.Replace(s);
    LogCapture log;
    const auto packets = Cut(Jpeg(6 * 100, 13), std::vector<std::size_t>(6, 100));
    const auto send = [&](const std::string& station, int number) {
        Send(number, packets, "F1", "1", "2", station);
        steady_ += std::chrono::seconds(1);
    };
    send("A", 1);
    send("B", 1);
    send("C", 1);
    send("A", 2);  // A is moving again: B is now the one stalled longest
    send("D", 1);
    EXPECT_EQ(store_.InProgress(), 3u);
    EXPECT_EQ(store_.DroppedForRoom(), 1u);
    for (int n = 3; n <= 6; ++n) send("A", n);
    Pass();
    EXPECT_EQ(FilesBelow(pict_), (std::vector<std::string>{Today() + "/A-1-2-F1.jpg"}));

    // Forged first packets of 4096 bytes from many stations: the memory they
    // hold stays within PictureMaxMB, and the drops are logged once per 10 s.
    s.pictureMaxCount = 100000;
    s.pictureMaxMB = 1;
    settings_.Replace(s);
    PicturePacket forged;
    forged.number = 1;
    forged.total = 100;
    forged.payload = std::string(4096, 'x');
    std::uint64_t droppedBefore = 0;
    for (int i = 0; i <= 2000; ++i) {
        if (i == 1000 || i == 2000) steady_ += std::chrono::seconds(10);
        forged.station = "F" + std::to_string(i);
        store_.StorePicturePacket(forged);
        if (i == 1000) droppedBefore = store_.DroppedForRoom();
    }
    EXPECT_LE(store_.HeldBytes(), 1024u * 1024u);
    EXPECT_GT(store_.InProgress(), 100u);
    EXPECT_LT(store_.InProgress(), 256u);
    EXPECT_EQ(log.CountContaining("dropped to stay within"), 1);
    EXPECT_EQ(log.CountContaining("dropped in the last 10 s to stay within"), 2);
    EXPECT_TRUE(log.Contains(std::to_string(store_.DroppedForRoom() - droppedBefore) +
                             " picture(s) in progress dropped in the last 10 s"));
}

TEST_F(PictureStoreTest, PacketsOfDifferentLengthsAreFiledAtTheirOwnLengths)
{
    // Longer packets than the first, and windows far above 10,240 bytes.
    const std::vector<std::size_t> lengths{10, 4000, 4000, 4000, 4000, 1, 2500};
    std::size_t size = 0;
    for (std::size_t l : lengths) size += l;
    const std::string jpeg = Jpeg(size, 4);
    const auto packets = Cut(jpeg, lengths);

    SendRange(1, 5, packets);
    Pass();
    SendRange(6, 7, packets);
    Pass();
    EXPECT_EQ(Bodies(), (std::vector<std::string>{"F1 1 5", "F1 1 7"}));
    EXPECT_TRUE(ReadFile(pict_ / Today() / (kStation + "-1-2-F1.jpg")) == jpeg);
}

TEST_F(PictureStoreTest, APictureOfTheSameNameTheSameDayTakesAFreeNameAndLeavesTheFirstAlone)
{
    std::vector<std::string> pictures;
    for (unsigned i = 0; i < 3; ++i) {
        pictures.push_back(Jpeg(5 * 100, 10 + i));
        const auto packets = Cut(pictures.back(), std::vector<std::size_t>(5, 100));
        SendRange(1, 5, packets);
        Pass();
    }
    EXPECT_EQ(Bodies(), (std::vector<std::string>{"F1 1 5", "F1 1 5", "F1 1 5"}));
    const std::string stem = kStation + "-1-2-F1";
    EXPECT_EQ(ReadFile(pict_ / Today() / (stem + ".jpg")), pictures[0]);
    EXPECT_EQ(ReadFile(pict_ / Today() / (stem + "-1.jpg")), pictures[1]);
    EXPECT_EQ(ReadFile(pict_ / Today() / (stem + "-2.jpg")), pictures[2]);
    ASSERT_EQ(database_.statements.size(), 3u);
    EXPECT_NE(database_.statements[1].find("'" + Today() + "\\" + stem + "-1.jpg'"), std::string::npos);
    EXPECT_NE(database_.statements[2].find("'" + Today() + "\\" + stem + "-2.jpg'"), std::string::npos);
}

TEST_F(PictureStoreTest, UnsafeStationValuesCannotLeaveThePictureFolder)
{
    const std::string jpeg = Jpeg(2 * 50, 5);
    const auto packets = Cut(jpeg, {50, 50});
    for (int n = 1; n <= 2; ++n) Send(n, packets, "it's\x01", "../../x", "a/b\\c", "..\\..\\.");
    Pass();

    const std::string name = "____.-____x-a_b_c-it's_.jpg";
    EXPECT_EQ(FilesBelow(folder_), (std::vector<std::string>{"config.ini", "data/Pict/" + Today() + "/" + name}));
    EXPECT_EQ(ReadFile(pict_ / Today() / name), jpeg);
    ASSERT_EQ(database_.statements.size(), 1u);
    EXPECT_EQ(database_.statements[0], "exec pro_updateImage '..\\..\\.','0','it''s\x01','0','a/b\\c','" + Today() +
                                           "\\____.-____x-a_b_c-it''s_.jpg'");

    // Normal values pass unchanged.
    EXPECT_EQ(PictureStore::SafeNamePart("CAM-1.a_b 2"), "CAM-1.a_b 2");
}

TEST_F(PictureStoreTest, APictureSpanningMidnightStaysInTheFirstDaysFile)
{
    wall_ = Local(2026, 5, 14, 23, 59, 50);
    const std::string firstDay = Today();
    const std::string jpeg = Jpeg(7 * 100, 6);
    const auto packets = Cut(jpeg, std::vector<std::size_t>(7, 100));
    SendRange(1, 5, packets);
    Pass();
    wall_ = Local(2026, 5, 15, 0, 0, 20);
    SendRange(6, 7, packets);
    Pass();

    const std::string name = kStation + "-1-2-F1.jpg";
    EXPECT_EQ(FilesBelow(pict_), (std::vector<std::string>{firstDay + "/" + name}));
    EXPECT_EQ(ReadFile(pict_ / firstDay / name), jpeg);
    ASSERT_EQ(database_.statements.size(), 1u);
    EXPECT_NE(database_.statements[0].find("'" + firstDay + "\\" + name + "'"), std::string::npos);
}

TEST_F(PictureStoreTest, AWindowIsAcknowledgedOnlyOnceWrittenAndRetriedAfterAFileError)
{
    // Pict lies under a plain file: no folder can be made there.
    WriteFile(folder_ / "blocked", "x");
    SetPict((folder_ / "blocked" / "Pict").string());
    const std::string jpeg = Jpeg(5 * 100, 7);
    const auto packets = Cut(jpeg, std::vector<std::size_t>(5, 100));
    SendRange(1, 5, packets);
    Pass();
    Pass(std::chrono::seconds(30));
    EXPECT_TRUE(answers_.empty());
    EXPECT_EQ(view_.Count("Couldn't create the file!"), 1);

    std::filesystem::remove(folder_ / "blocked");
    Pass(std::chrono::seconds(31));
    EXPECT_EQ(Bodies(), (std::vector<std::string>{"F1 1 5"}));
    EXPECT_EQ(ReadFile(folder_ / "blocked" / "Pict" / Today() / (kStation + "-1-2-F1.jpg")), jpeg);
}

TEST_F(PictureStoreTest, AnEmptyPictKeepsPicturesInAPicturesFolderAndIsLoggedOnce)
{
    LogCapture log;
    SetPict("");
    for (unsigned i = 0; i < 2; ++i) {
        const auto packets = Cut(Jpeg(100, 20 + i), {100});
        Send(1, packets, "F" + std::to_string(i));
        Pass();
    }
    EXPECT_EQ(FilesBelow(folder_ / "Pictures"), (std::vector<std::string>{Today() + "/" + kStation + "-1-2-F0.jpg",
                                                                          Today() + "/" + kStation + "-1-2-F1.jpg"}));
    EXPECT_EQ(log.CountContaining("Pict of section Set"), 1);
}

TEST_F(PictureStoreTest, PicturesInProgressRestartAgeAndCountAsBeingReceived)
{
    const auto packets = Cut(Jpeg(10 * 100, 8), std::vector<std::size_t>(10, 100));
    SendRange(1, 3, packets);
    Send(1, packets);  // a repeated first packet is part of the same picture
    EXPECT_EQ(view_.Count("picture restarted"), 0);
    Send(1, packets, "F2");  // another picture's first packet starts anew
    EXPECT_EQ(view_.Count("picture restarted"), 1);
    EXPECT_EQ(view_.Count("picture started"), 1);

    // Its final packet came but a gap remains: still being received.
    const auto small = Cut(Jpeg(5 * 10, 9), std::vector<std::size_t>(5, 10));
    for (int n : {1, 2, 3, 5}) Send(n, small, "G", "1", "2", "0000000102");
    EXPECT_TRUE(store_.IsRecevingImage());

    steady_ += std::chrono::seconds(300);
    EXPECT_EQ(store_.RemoveStale(std::chrono::seconds(301)), 0u);
    steady_ += std::chrono::seconds(1);
    EXPECT_EQ(store_.RemoveStale(std::chrono::seconds(301)), 2u);
    EXPECT_FALSE(store_.IsRecevingImage());

    Send(1, packets);
    steady_ += std::chrono::seconds(1799);
    EXPECT_TRUE(store_.IsRecevingImage());
    steady_ += std::chrono::seconds(1);
    EXPECT_FALSE(store_.IsRecevingImage()) << "a window unchanged for 1800 s no longer counts";

    store_.DiscardPicture(kStation);
    EXPECT_EQ(store_.InProgress(), 0u);
}

TEST_F(PictureStoreTest, ImpossiblePacketNumbersAreDropped)
{
    const auto packets = Cut(Jpeg(2 * 10, 11), {10, 10});
    PicturePacket packet;
    packet.station = kStation;
    packet.total = 2;
    packet.payload = packets[0];
    for (int n : {0, -1, 3}) {
        packet.number = n;
        store_.StorePicturePacket(packet);
    }
    packet.number = 1;
    packet.total = 0;
    store_.StorePicturePacket(packet);
    EXPECT_EQ(store_.InProgress(), 0u);
}

}  // namespace
}  // namespace rtu::pictures_test
