// The serial line on pseudo-terminal pairs: the test holds the master side
// and plays the stations; CSerial opens the slave side by its path.
#include "rtu/transport/Serial.h"
#include "rtu/uplink/CommFrameQueue.h"
#include "tests/runtime/RuntimeTestSupport.h"
#include "tests/transport/TestFrames.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace rtu {
namespace {

using serialtest::Frame;
constexpr auto kPatience = std::chrono::seconds(20);

class PtyPair {
public:
    PtyPair()
    {
        if (::openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) return;
        termios t{};
        ::tcgetattr(slave_, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(slave_, TCSANOW, &t);
        path_ = ::ttyname(slave_);
    }
    ~PtyPair()
    {
        CloseMaster();
        if (slave_ >= 0) ::close(slave_);
    }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool Ok() const { return master_ >= 0 && !path_.empty(); }
    const std::string& Path() const { return path_; }
    int Slave() const { return slave_; }

    // The stations' side: bytes onto the line.
    void Send(std::string_view bytes)
    {
        while (!bytes.empty()) {
            const ssize_t n = ::write(master_, bytes.data(), bytes.size());
            if (n <= 0) {
                ADD_FAILURE() << "writing to the master side failed";
                return;
            }
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
    }

    // What the centre wrote: `count` bytes, or fewer when they do not come.
    std::string Receive(std::size_t count)
    {
        std::string got;
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        char buffer[4096];
        while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, 1000) <= 0) continue;
            const ssize_t n = ::read(master_, buffer, std::min(sizeof buffer, count - got.size()));
            if (n <= 0) break;
            got.append(buffer, static_cast<std::size_t>(n));
        }
        return got;
    }

    void CloseMaster()
    {
        if (master_ >= 0) ::close(master_);
        master_ = -1;
    }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

// What the reader thread handed on.
class Received {
public:
    void Add(std::string_view bytes)
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            bytes_.append(bytes);
            ++calls_;
        }
        changed_.notify_all();
    }
    void Lost()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            lost_ = true;
        }
        changed_.notify_all();
    }
    bool WaitBytes(std::size_t count)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, kPatience, [&] { return bytes_.size() >= count; });
    }
    bool WaitLost()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, kPatience, [&] { return lost_; });
    }
    std::string Bytes()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return bytes_;
    }
    int Calls()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string bytes_;
    int calls_ = 0;
    bool lost_ = false;
};

SerialSettings OnDevice(const std::string& path, const std::string& baud = "115200")
{
    SerialSettings s;
    s.mode = 1;
    s.com = path;
    s.baudRate = baud;
    s.byteSize = 3;
    return s;
}

std::size_t OpenDescriptors()
{
    std::size_t count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (::readdir(dir) != nullptr) ++count;
        ::closedir(dir);
    }
    return count;
}

class SerialPty : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(pty_.Ok()) << "no pseudo-terminal"; }

    CSerial::ReceiveCallback Into(Received& received)
    {
        return [&received](std::string_view bytes) { received.Add(bytes); };
    }

    PtyPair pty_;
};

TEST_F(SerialPty, AFrameSplitOverSeveralReadsIsQueuedOnceAndFramesKeepTheirOrder)
{
    CCommFrameQueue queue;
    Received received;
    CSerial line;
    ASSERT_TRUE(line.Open(OnDevice(pty_.Path()), [&](std::string_view bytes) {
        queue.OnSerialBytes(bytes);
        received.Add(bytes);
    }));

    const std::string a = Frame("0000000101", "0001240506123000 TT 2405061230 Z 1.23 ");
    const std::string noise = "\r\n+++garbage";
    // Each piece is read before the next is sent, so the frame really comes
    // in several reads.
    const std::string stream = noise + a;
    const std::size_t cuts[] = {noise.size() + 3, noise.size() + 30, stream.size()};
    std::size_t sent = 0;
    for (std::size_t cut : cuts) {
        pty_.Send(std::string_view(stream).substr(sent, cut - sent));
        sent = cut;
        ASSERT_TRUE(received.WaitBytes(sent));
        if (sent < stream.size()) {
            EXPECT_EQ(queue.Size(), 0u);
        }
    }
    EXPECT_GE(received.Calls(), 3);

    QueuedFrame item;
    ASSERT_TRUE(queue.Pop(item));
    EXPECT_EQ(item.bytes, a);
    EXPECT_EQ(item.connectionId, -1);
    EXPECT_EQ(item.linkKind, 1);
    EXPECT_FALSE(queue.Pop(item));

    // Several frames in one block, one cut across the next block.
    const std::string b = Frame("0000000102", "0002240506123100 TT 2405061231 PJ 4.5 \x01 inside");
    const std::string c = Frame("0000000103", std::string(300, 'c'));
    const std::string d = Frame("0000000104", "0004");
    pty_.Send(b + c + d.substr(0, 10));
    pty_.Send(d.substr(10));
    for (const std::string* expected : {&b, &c, &d}) {
        ASSERT_TRUE(queue.WaitPop(item));
        EXPECT_EQ(item.bytes, *expected);
    }
    EXPECT_EQ(queue.TakeCounts().frames, 4u);
}

TEST_F(SerialPty, EveryByteReachesTheCallbackInOrder)
{
    Received received;
    CSerial line;
    ASSERT_TRUE(line.Open(OnDevice(pty_.Path()), Into(received)));
    std::string stream;
    for (int i = 0; i < 40000; ++i) stream.push_back(static_cast<char>(i * 7 + i / 256));
    for (std::size_t at = 0; at < stream.size(); at += 1000) pty_.Send(std::string_view(stream).substr(at, 1000));
    ASSERT_TRUE(received.WaitBytes(stream.size()));
    EXPECT_TRUE(received.Bytes() == stream);
}

TEST_F(SerialPty, OpenMakesTheLineRawAtTheRateOfTheSettings)
{
    termios t{};
    ::tcgetattr(pty_.Slave(), &t);
    t.c_lflag |= ICANON | ECHO;
    ::tcsetattr(pty_.Slave(), TCSANOW, &t);

    Received received;
    CSerial line;
    ASSERT_TRUE(line.Open(OnDevice(pty_.Path(), "9600"), Into(received)));
    ASSERT_EQ(::tcgetattr(pty_.Slave(), &t), 0);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);
    EXPECT_EQ(cfgetospeed(&t), B9600);
    EXPECT_EQ(line.Device(), pty_.Path());

    // No newline needed: a byte is handed on as soon as it is there.
    pty_.Send("x");
    ASSERT_TRUE(received.WaitBytes(1));
    line.Close();

    // A rate of the dialog without a B constant opens as well.
    ASSERT_TRUE(line.Open(OnDevice(pty_.Path(), "14400"), Into(received)));
}

// The device accepts settings it does not keep (a pseudo-terminal stays at 8
// data bits without parity): the line opens, and the difference is logged.
TEST_F(SerialPty, SettingsTheDeviceDidNotTakeAreLoggedAndTheLineIsUsed)
{
    test::LogCapture log;
    Received received;
    CSerial line;
    ASSERT_TRUE(line.Open(OnDevice(pty_.Path(), "9600"), Into(received)));
    line.Close();
    EXPECT_EQ(log.CountContaining("did not take"), 0) << "8N1 is kept";

    SerialSettings sevenEven = OnDevice(pty_.Path(), "9600");
    sevenEven.byteSize = 2;
    sevenEven.parity = 2;
    ASSERT_TRUE(line.Open(sevenEven, Into(received)));
    EXPECT_EQ(log.CountContaining("serial line " + pty_.Path() + ": the device did not take every setting: "
                                  "data bits 8 instead of 7, parity none instead of even; the line is used as it is"),
              1);
}

TEST_F(SerialPty, WritesArriveWholeWhenTheDeviceMakesThemWait)
{
    Received received;
    CSerial line;
    ASSERT_TRUE(line.Open(OnDevice(pty_.Path()), Into(received)));

    // Far more than the pseudo-terminal holds: the write goes on in pieces
    // while the other end drains it.
    std::string big;
    for (int i = 0; i < 200000; ++i) big.push_back(static_cast<char>('A' + i % 26));
    std::string got;
    std::thread reader([&] { got = pty_.Receive(big.size()); });
    EXPECT_EQ(line.Write(big), big.size());
    reader.join();
    EXPECT_TRUE(got == big);

    // Frames written by several threads at once never interleave.
    constexpr int kFramesPerWriter = 40;
    constexpr std::size_t kFrameBytes = 700;
    const char kinds[] = {'p', 'q', 'r'};
    std::thread drain([&] { got = pty_.Receive(sizeof kinds * kFramesPerWriter * kFrameBytes); });
    std::vector<std::thread> writers;
    for (char kind : kinds) {
        writers.emplace_back([&line, kind] {
            const std::string frame(kFrameBytes, kind);
            for (int i = 0; i < kFramesPerWriter; ++i) {
                const auto* bytes = reinterpret_cast<const std::uint8_t*>(frame.data());
                EXPECT_EQ(line.Write(bytes, frame.size()), frame.size());
            }
        });
    }
    for (std::thread& w : writers) w.join();
    drain.join();
    ASSERT_EQ(got.size(), sizeof kinds * kFramesPerWriter * kFrameBytes);
    for (std::size_t at = 0; at < got.size(); at += kFrameBytes) {
        EXPECT_EQ(got.substr(at, kFrameBytes), std::string(kFrameBytes, got[at])) << "frame at " << at;
    }
}

TEST_F(SerialPty, CloseJoinsTheReaderAndReopeningStartsClean)
{
    Received first;
    Received second;  // outlives the line whose reader feeds it
    {
        CSerial line;
        ASSERT_TRUE(line.Open(OnDevice(pty_.Path()), Into(first)));
        pty_.Send("abc");
        ASSERT_TRUE(first.WaitBytes(3));
        line.Close();
        EXPECT_FALSE(line.IsOpen());
        EXPECT_EQ(line.Device(), "");
        EXPECT_EQ(line.Write("zzz"), 0u);
        line.Close();  // twice is harmless

        // Bytes that arrive while the line is closed are stale at the next open.
        pty_.Send("def");
        ASSERT_TRUE(line.Open(OnDevice(pty_.Path()), Into(second)));
        pty_.Send("ghi");
        ASSERT_TRUE(second.WaitBytes(3));
        EXPECT_EQ(second.Bytes(), "ghi");
        EXPECT_EQ(first.Bytes(), "abc") << "nothing reaches a closed line's callback";

        EXPECT_EQ(line.Write("ack"), 3u);
        EXPECT_EQ(pty_.Receive(3), "ack");
    }  // the destructor closes the open line and joins its reader
    SUCCEED();
}

TEST_F(SerialPty, AFailedOpenLeavesNothingOpen)
{
    Received received;
    CSerial line;
    const std::size_t before = OpenDescriptors();

    EXPECT_FALSE(line.Open(OnDevice("/nonexistent/ttyS0"), Into(received)));
    EXPECT_FALSE(line.Open(OnDevice("/dev/null"), Into(received))) << "not a terminal";
    SerialSettings badPattern = OnDevice("COM1");
    badPattern.devicePattern = "/dev/tty%s";
    EXPECT_FALSE(line.Open(badPattern, Into(received)));
    SerialSettings shortCom = OnDevice("C");
    EXPECT_FALSE(line.Open(shortCom, Into(received)));
    SerialSettings badRate = OnDevice(pty_.Path(), "none");
    EXPECT_FALSE(line.Open(badRate, Into(received)));
    EXPECT_FALSE(line.IsOpen());
    EXPECT_EQ(OpenDescriptors(), before);

    // A second open of an open line fails and leaves the first one working.
    ASSERT_TRUE(line.Open(OnDevice(pty_.Path()), Into(received)));
    EXPECT_FALSE(line.Open(OnDevice("/dev/tty"), Into(received)));
    EXPECT_TRUE(line.IsOpen());
    pty_.Send("still here");
    ASSERT_TRUE(received.WaitBytes(10));
    line.Close();
    EXPECT_EQ(OpenDescriptors(), before);
}

TEST_F(SerialPty, ADeviceThatGoesAwayEndsReadingWithoutHarm)
{
    Received received;
    CSerial line;
    ASSERT_TRUE(line.Open(OnDevice(pty_.Path()), Into(received), [&received] { received.Lost(); }));
    pty_.Send("x");
    ASSERT_TRUE(received.WaitBytes(1));
    pty_.CloseMaster();
    ASSERT_TRUE(received.WaitLost());
    EXPECT_TRUE(line.LineLost());
    EXPECT_TRUE(line.IsOpen()) << "the line stays open until its owner closes it";
    EXPECT_EQ(line.Write("to nowhere"), 0u);
    line.Close();
    EXPECT_FALSE(line.IsOpen());
}

}  // namespace
}  // namespace rtu
