// The network service stopped and started while stations are connected and
// sending: through the network library's C interface with sends in flight,
// and through the data centre's runtime (CMainFrame) with reporting stations
// and a serial line that disappears in between. No crash, no hang, no leaked
// descriptor; stations reconnect and are served afterwards.
#include "tests/e2e/E2eChecks.h"
#include "tests/e2e/RtuProcess.h"

#include "linkcore/LinkCore.h"
#include "rtu/runtime/MainFrame.h"
#include "rtu/runtime/ServerSettings.h"
#include "rtu/runtime/Settings.h"
#include "rtu/uplink/FrameQueue.h"
#include "tests/ErrorLogToStderr.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace rtu::faults {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;


long OwnDescriptors()
{
    long count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++count;
    return count - 1;  // the iterator's own
}

// Waits (bounded) until `done`; polls, as the runtime has no event to wait on.
template <typename Done>
bool WaitUntil(Done done, std::chrono::milliseconds limit)
{
    const auto deadline = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

int Connect(std::uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// ---- the network library's C interface -----------------------------------------

struct ApiEvents {
    std::atomic<int> blocks{0};
    std::atomic<int> closed{0};
    std::atomic<int> highestId{0};
};
ApiEvents g_api;

void OnApiData(unsigned short, int, const char*, unsigned short, int id, const char* data, int length, void*)
{
    ++g_api.blocks;
    int seen = g_api.highestId.load();
    while (id > seen && !g_api.highestId.compare_exchange_weak(seen, id)) {
    }
    // An echo from the callback, as the data centre answers from it.
    DLL_SendTcpData(id, "echo", data, length, 0, 0);
}
void OnApiClosed(unsigned short, int, int, int, void*) { ++g_api.closed; }
void OnApiServerClosed(unsigned short, int, void*) {}

// Stops the server and releases the library however the test ends (a
// process must not exit with the server running).
struct LibraryGuard {
    ~LibraryGuard()
    {
        DLL_StopTcpServer(0, nullptr);
        Release();
    }
};

TEST(LinkCoreRestart, StoppedAndStartedRepeatedlyWithConnectionsAndSendsInFlight)
{
    DLL_LinkCoreInit();
    LibraryGuard guard;
    SetCallbackFuntion(OnApiData, OnApiClosed, OnApiServerClosed);
    const long before = OwnDescriptors();
    const std::string block(1000, 'x');
    constexpr int kRounds = 100;
    constexpr int kClients = 16;
    double slowestStop = 0;

    for (int round = 0; round < kRounds; ++round) {
        const std::uint16_t port = e2e::FreePort();
        ASSERT_TRUE(DLL_StartTcpServer(nullptr, nullptr, port, nullptr)) << "round " << round;
        const int blocksBefore = g_api.blocks.load();
        std::vector<int> clients;
        for (int i = 0; i < kClients; ++i) {
            clients.push_back(Connect(port));
            ASSERT_GE(clients.back(), 0);
            ::fcntl(clients.back(), F_SETFL, O_NONBLOCK);
            ASSERT_GT(::send(clients.back(), block.data(), block.size(), MSG_NOSIGNAL), 0);
        }
        ASSERT_TRUE(WaitUntil([&] { return g_api.blocks.load() >= blocksBefore + kClients; }, 10s))
            << "round " << round << ": " << g_api.blocks.load() - blocksBefore << " blocks of " << kClients
            << " connections";

        // Sends from another thread to every identifier while the stop runs;
        // the clients keep sending too.
        std::atomic<bool> stopSending{false};
        std::thread sender([&] {
            while (!stopSending) {
                for (int id = 1; id <= g_api.highestId.load() + 2; ++id) {
                    DLL_SendTcpData(id, "push", block.data(), static_cast<int>(block.size()), 0, 0);
                }
                for (int fd : clients) ::send(fd, block.data(), block.size(), MSG_NOSIGNAL);
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(round % 5));  // vary the moment of the stop
        const auto stopStart = Clock::now();
        DLL_StopTcpServer(static_cast<unsigned short>(port), nullptr);
        slowestStop = std::max(slowestStop, std::chrono::duration<double>(Clock::now() - stopStart).count());
        stopSending = true;
        sender.join();

        // After a stop nothing is registered: sends fail, and the clients see their connections end.
        EXPECT_FALSE(DLL_SendTcpData(1, "late", "x", 1, 0, 0));
        for (int fd : clients) {
            char sink[65536];
            bool ended = false;
            const auto deadline = Clock::now() + 10s;
            while (!ended && Clock::now() < deadline) {
                pollfd p{fd, POLLIN, 0};
                ::poll(&p, 1, 100);
                const ssize_t n = ::recv(fd, sink, sizeof sink, 0);
                ended = n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR);
            }
            EXPECT_TRUE(ended) << "a connection outlived the stop, round " << round;
            ::close(fd);
        }
    }
    std::printf("LinkCore: %d stops with %d connections and sends in flight, slowest stop %.3f s\n", kRounds,
                kClients, slowestStop);
    EXPECT_LT(slowestStop, 5.0);
    EXPECT_EQ(OwnDescriptors(), before) << "descriptors leaked over the restarts";

    // A last start serves as the first did.
    const std::uint16_t port = e2e::FreePort();
    ASSERT_TRUE(DLL_StartTcpServer(nullptr, nullptr, port, nullptr));
    const int fd = Connect(port);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::send(fd, "ping", 4, MSG_NOSIGNAL), 4);
    char echo[4] = {};
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 10000), 1);
    EXPECT_EQ(::recv(fd, echo, sizeof echo, MSG_WAITALL), 4);
    EXPECT_EQ(std::string(echo, 4), "ping");
    ::close(fd);
}

// ---- the data centre's runtime ----------------------------------------------------

class QuietView : public RuntimeView {
public:
    void PostLogLine(const std::string& text) override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back(text);
    }
    void PostStationState(const std::string&, StationState, int) override {}
    void DeliverAnswer(int, const std::string&) override {}
    void ClearStations() override {}
    void ShowMessage(const std::string& text) override { PostLogLine("message: " + text); }

    bool Logged(const std::string& text)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const std::string& line : lines_) {
            if (line.find(text) != std::string::npos) return true;
        }
        return false;
    }

private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

// A view whose answer hand-over waits until the test's main thread serves
// it, as the window's waits for its user-interface thread.
class HeldAnswerView : public QuietView {
public:
    void DeliverAnswer(int, const std::string&) override
    {
        std::unique_lock<std::mutex> lock(mutex_);
        ++held_;
        changed_.notify_all();
        changed_.wait(lock, [&] { return served_; });
    }
    bool WaitHeld(std::chrono::milliseconds limit)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return held_ > 0; });
    }
    void Serve()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        served_ = true;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int held_ = 0;
    bool served_ = false;
};

// A raw pseudo-terminal; the data centre opens the slave by its path.
struct Pty {
    Pty()
    {
        int slave = -1;
        char name[128] = {};
        if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) return;
        termios t{};
        ::tcgetattr(slave, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(slave, TCSANOW, &t);
        ::fcntl(master, F_SETFD, FD_CLOEXEC);
        ::close(slave);
        path = name;
    }
    int master = -1;
    std::string path;
};

// A station that reports over and over on its own connection and connects
// again whenever the centre goes away, counting acknowledgements.
class ReportingStation {
public:
    ReportingStation(std::uint16_t port, int number) : port_(port), number_(number), thread_([this] { Run(); }) {}
    ~ReportingStation()
    {
        stop_ = true;
        thread_.join();
    }
    int Acknowledged() const { return acknowledged_.load(); }

private:
    void Run()
    {
        const std::string station = "00000007" + std::to_string(10 + number_);
        std::uint16_t serial = 1;
        while (!stop_) {
            e2e::StationLink link;
            if (!link.Connect(port_)) {
                std::this_thread::sleep_for(20ms);  // the port is closed while the service is stopped
                continue;
            }
            while (!stop_ && !link.Closed()) {
                const std::string frame = e2e::Frame(
                    station, "32", e2e::Body(serial, " ST " + station + " H TT 2405061230 Z 1.0 VT 12.6"));
                if (!link.Send(frame)) break;
                const auto answer = link.ReadFrame(2s);
                if (!answer) break;
                ++acknowledged_;
                ++serial;
            }
        }
    }

    std::uint16_t port_;
    int number_;
    std::atomic<bool> stop_{false};
    std::atomic<int> acknowledged_{0};
    std::thread thread_;
};

class RuntimeRestart : public ::testing::Test {
protected:
    void SetUp() override
    {
        previous_ = fs::current_path();
        std::string pattern = (fs::temp_directory_path() / "rtu-faults-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        folder_ = pattern;
        fs::current_path(folder_);
        fs::copy_file(RTU_SOURCE_DIR "/config/config.ini", folder_ / "config.ini");
        FixSettingsPath((folder_ / "server.ini").string());
    }
    void TearDown() override
    {
        fs::current_path(previous_);
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }

    fs::path folder_;
    fs::path previous_;
};

TEST_F(RuntimeRestart, ServiceStoppedAndStartedWithStationsReportingAndTheSerialLineLost)
{
    Pty line;
    ASSERT_FALSE(line.path.empty());
    const std::uint16_t port = e2e::FreePort();
    {
        std::ofstream ini(folder_ / "server.ini");
        ini << "[Set]\nPort=" << port << "\nOffLine=120\nDBMode=1\nDriver=SQLite3\nName=rtu.db\nParseDelay=0\n"
            << "Cent=01\nCentPwd=B7E2\nRegMode=0\nProtMode=0\nReboot=0\nPict=Pict\n"
            << "[SetThird]\nDBMode=0\n"
            << "[COMM]\nMODE=1\nCOM=" << line.path << "\nBAUDRATE=115200\nBYTESIZE=3\nSTOPBIT=0\nPATITY=0\n";
    }
    QuietView view;
    CMainFrame frame(view);
    ASSERT_TRUE(frame.Create());
    ASSERT_TRUE(frame.Running());
    ASSERT_TRUE(WaitUntil([&] { return view.Logged(line.path); }, 10s));

    std::vector<std::unique_ptr<ReportingStation>> stations;
    for (int i = 0; i < 8; ++i) stations.push_back(std::make_unique<ReportingStation>(port, i));
    auto total = [&] {
        int sum = 0;
        for (const auto& s : stations) sum += s->Acknowledged();
        return sum;
    };
    auto everyStationServed = [&](const std::vector<int>& before) {
        for (std::size_t i = 0; i < stations.size(); ++i) {
            if (stations[i]->Acknowledged() <= before[i]) return false;
        }
        return true;
    };
    auto counts = [&] {
        std::vector<int> c;
        for (const auto& s : stations) c.push_back(s->Acknowledged());
        return c;
    };
    ASSERT_TRUE(WaitUntil([&] { return everyStationServed(std::vector<int>(stations.size(), 0)); }, 20s));

    // The serial device goes away while the service runs.
    ::close(line.master);
    EXPECT_TRUE(WaitUntil([&] { return view.Logged("serial line " + line.path + " lost"); }, 10s));

    constexpr int kRestarts = 30;
    double slowestStop = 0;
    for (int round = 0; round < kRestarts; ++round) {
        const int before = total();
        ASSERT_TRUE(WaitUntil([&] { return total() >= before + 20; }, 20s)) << "round " << round;
        const auto stopStart = Clock::now();
        frame.StopService();
        slowestStop = std::max(slowestStop, std::chrono::duration<double>(Clock::now() - stopStart).count());
        EXPECT_FALSE(frame.Running());
        ASSERT_TRUE(frame.StartService()) << "round " << round;
    }
    const std::vector<int> afterRestarts = counts();
    EXPECT_TRUE(WaitUntil([&] { return everyStationServed(afterRestarts); }, 20s))
        << "not every station was served again after the restarts";
    std::printf("runtime: %d service restarts with 8 stations reporting, %d acknowledgements, slowest stop %.3f s\n",
                kRestarts, total(), slowestStop);
    EXPECT_LT(slowestStop, 15.0);

    // A new device for the line: the next start opens it and it serves.
    frame.StopService();
    stations.clear();
    Pty replacement;
    ASSERT_FALSE(replacement.path.empty());
    ASSERT_TRUE(WriteSetting("COMM", "COM", replacement.path));
    frame.Settings().Replace(LoadServerSettings());
    const long descriptorsStopped = OwnDescriptors();
    ASSERT_TRUE(frame.StartService());
    ASSERT_TRUE(WaitUntil([&] { return view.Logged(replacement.path); }, 10s));
    e2e::StationLink serial;
    serial.Attach(replacement.master);
    const std::string report =
        e2e::Frame("0000000790", "32", e2e::Body(1, " ST 0000000790 H TT 2405061230 Z 1.0 VT 12.6"));
    ASSERT_TRUE(serial.Send(report));
    e2e::ExpectAcknowledgementOf(serial.ReadFrame(), report);
    {
        e2e::StationLink network;
        ASSERT_TRUE(network.Connect(port));
        const std::string hello =
            e2e::Frame("0000000791", "32", e2e::Body(1, " ST 0000000791 H TT 2405061230 Z 1.0 VT 12.6"));
        ASSERT_TRUE(network.Send(hello));
        e2e::ExpectAcknowledgementOf(network.ReadFrame(), hello);
    }
    frame.StopService();
    // Only the test's own end of the line is still open beyond what the
    // stopped service held before.
    EXPECT_LE(OwnDescriptors(), descriptorsStopped + 1) << "descriptors leaked over the restarts";
    frame.Destroy();
}

// The operator stops the service while a parse thread waits for the view to
// take an answer: the stop must not wait for that thread's frame forever.
TEST_F(RuntimeRestart, StopWhileTheViewHoldsAnAnswerFinishes)
{
    const std::uint16_t port = e2e::FreePort();
    {
        std::ofstream ini(folder_ / "server.ini");
        ini << "[Set]\nPort=" << port << "\nOffLine=120\nDBMode=0\nParseDelay=0\nCent=01\nCentPwd=B7E2\n"
            << "RegMode=0\nProtMode=0\nReboot=0\nPict=Pict\n[SetThird]\nDBMode=0\n[COMM]\nMODE=0\n";
    }
    HeldAnswerView view;
    CMainFrame frame(view);
    ASSERT_TRUE(frame.Create());
    e2e::StationLink station;
    ASSERT_TRUE(station.Connect(port));
    const std::string version = e2e::Frame("0000000792", "45", e2e::Body(1, " ST 0000000792 VER 2.1"));
    ASSERT_TRUE(station.Send(version));
    ASSERT_TRUE(view.WaitHeld(10s));

    std::thread stopper([&] { frame.StopService(); });
    const bool stopped = WaitUntil([&] { return !frame.Running(); }, 10s);
    view.Serve();  // releases the parse thread either way, so the test ends
    stopper.join();
    EXPECT_TRUE(stopped) << "the stop waited for the parse thread, which waited for the view";
    frame.Destroy();
}

// ---- the network queue's share per connection ----------------------------------------

TEST(NetworkQueue, OneConnectionCannotTakeMoreThanItsShare)
{
    FrameQueue queue(100, 1u << 20, 3);
    for (int i = 0; i < 5; ++i) queue.Push(1, 0, "flood");
    EXPECT_EQ(queue.Size(), 3u);
    EXPECT_EQ(queue.TakeDropCount(), 2u);
    EXPECT_TRUE(queue.Push(2, 0, "other"));
    // Taking a frame frees a place for its connection only.
    QueuedFrame item;
    ASSERT_TRUE(queue.TryPop(item));
    EXPECT_EQ(item.connectionId, 1);
    EXPECT_TRUE(queue.Push(1, 0, "flood"));
    EXPECT_FALSE(queue.Push(1, 0, "flood"));
    // The order of frames is kept.
    std::vector<int> order;
    while (queue.TryPop(item)) order.push_back(item.connectionId);
    EXPECT_EQ(order, (std::vector<int>{1, 1, 2, 1}));
    // An empty queue (or a cleared one) holds no share.
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(queue.Push(1, 0, "again"));
    queue.Clear();
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(queue.Push(1, 0, "again"));
    // Without a share the queue's own limits alone apply.
    FrameQueue unlimited(10, 1u << 20);
    for (int i = 0; i < 10; ++i) EXPECT_TRUE(unlimited.Push(1, 0, "flood"));
    EXPECT_FALSE(unlimited.Push(2, 0, "other"));
}

}  // namespace
}  // namespace rtu::faults
