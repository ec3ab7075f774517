// The simulator's load features against a small centre played by the test:
// it acknowledges every good report, counts frames whose check code fails,
// and notes where each connection came from and how it ended.
#include "tools/stationsim/Simulator.h"

#include "rtu/protocol/FrameCodec.h"
#include "rtu/uplink/CutFrames.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace rtu;
using namespace rtu::sim;

// One thread polls the listening socket, every connection and a pipe that
// stops it.
class FakeCentre : public FrameSink {
public:
    FakeCentre()
    {
        listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        int on = 1;
        setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (::bind(listen_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listen_, SOMAXCONN) != 0 ||
            ::getsockname(listen_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            ADD_FAILURE() << "cannot listen on loopback";
        }
        port_ = ntohs(address.sin_port);
        if (::pipe2(stop_, O_CLOEXEC) != 0) ADD_FAILURE() << "pipe";
        thread_ = std::thread([this] { Run(); });
    }
    ~FakeCentre() override
    {
        const char x = 0;
        static_cast<void>(::write(stop_[1], &x, 1));
        thread_.join();
        for (auto& [fd, link] : links_) ::close(fd);
        ::close(listen_);
        ::close(stop_[0]);
        ::close(stop_[1]);
    }

    std::uint16_t Port() const { return port_; }

    std::set<std::uint32_t> Sources()
    {
        std::lock_guard<std::mutex> lock(lock_);
        return sources_;
    }

    std::atomic<int> accepted{0};
    std::atomic<int> goodFrames{0};
    std::atomic<int> badCheckFrames{0};
    std::atomic<int> goodFramesOfNonStations{0};  // addresses 99xxxxxxxx

private:
    struct Link {
        FramingState framing;
        bool ended = false;
    };

    void OnFrame(std::string_view frame) override
    {
        if (!VerifyCheckCode(frame)) {
            ++badCheckFrames;
            return;
        }
        ++goodFrames;
        if (frame.substr(3, 2) == "99") ++goodFramesOfNonStations;
        const std::string code(frame.substr(17, 2));
        if (frame[23] != kStx || code == "2F") return;
        FrameBytes ack;
        if (BuildAcknowledgement(frame, ack)) {
            static_cast<void>(::send(current_, ack.Data(), ack.Size(), MSG_NOSIGNAL));
        }
    }

    void Run()
    {
        while (true) {
            std::vector<pollfd> fds{{stop_[0], POLLIN, 0}, {listen_, POLLIN, 0}};
            for (auto& [fd, link] : links_) {
                if (!link->ended) fds.push_back({fd, POLLIN, 0});
            }
            if (::poll(fds.data(), fds.size(), 1000) < 0) continue;
            if (fds[0].revents != 0) return;
            if (fds[1].revents != 0) {
                sockaddr_in peer{};
                socklen_t length = sizeof peer;
                const int fd = ::accept4(listen_, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
                if (fd >= 0) {
                    ++accepted;
                    std::lock_guard<std::mutex> lock(lock_);
                    sources_.insert(ntohl(peer.sin_addr.s_addr));
                    links_[fd] = std::make_unique<Link>();
                }
            }
            for (std::size_t i = 2; i < fds.size(); ++i) {
                if (fds[i].revents == 0) continue;
                Link& link = *links_[fds[i].fd];
                char buffer[16384];
                const ssize_t n = ::recv(fds[i].fd, buffer, sizeof buffer, MSG_DONTWAIT);
                if (n > 0) {
                    current_ = fds[i].fd;
                    CutFrames(link.framing, std::string_view(buffer, static_cast<std::size_t>(n)), *this);
                } else if (n == 0) {
                    // Kept open: a half-closed link stays half-open here.
                    link.ended = true;
                }
            }
        }
    }

    int listen_ = -1;
    int stop_[2] = {-1, -1};
    std::uint16_t port_ = 0;
    int current_ = -1;
    std::map<int, std::unique_ptr<Link>> links_;
    std::mutex lock_;
    std::set<std::uint32_t> sources_;
    std::thread thread_;
};

TEST(SimulatorLoad, BurstsReconnectsAndLinksThatAreNotStations)
{
    FakeCentre centre;
    SimOptions options;
    options.port = centre.Port();
    options.stations = 20;
    options.kind = KindChoice::kTimed;
    options.rate = 0;                // only the bursts
    options.hour = 1.0;              // tops at 1, 2 and 3 s
    options.burstWindow = 0.3;
    options.burstReports = 2;
    options.duration = 3.5;
    options.reconnectShare = 0.25;
    options.reconnectEvery = 0.4;
    options.garbage = 2;
    options.garbageEvery = 0.05;
    options.halfOpen = 3;            // silent, part of a frame, sending side shut down
    options.sources = 3;
    options.drain = 10;
    std::ostringstream log;
    const SimSummary summary = RunSimulation(options, log);

    // Every station reported twice in each of the three windows, and every
    // report came back acknowledged although a quarter of the stations kept
    // closing their links.
    EXPECT_EQ(summary.burstWindows, 3);
    EXPECT_EQ(summary.burstFrames, 120u);
    EXPECT_EQ(summary.burstAcked, 120u);
    EXPECT_EQ(summary.acknowledged, summary.expectedAcks);
    EXPECT_EQ(summary.missingAcks, 0u);
    EXPECT_EQ(summary.badAcks, 0u);
    EXPECT_GT(summary.reconnects, 0u);
    EXPECT_EQ(summary.connected, 20) << "a reconnection is not another station";
    EXPECT_EQ(summary.closedByCentre, 0);
    EXPECT_EQ(summary.heldPeak, 20);
    EXPECT_EQ(summary.heldAtEnd, 20);
    EXPECT_GT(summary.burstSeconds, 0.0);
    EXPECT_EQ(summary.acked32, 120u);
    EXPECT_EQ(summary.rows.receiveData, 120u);
    EXPECT_EQ(summary.rows.deviceTimingData, 720u);

    // The other links connected; the garbage never made a frame with a good
    // check code, yet its corrupted frames were cut whole.
    EXPECT_EQ(summary.garbageLinks, 2);
    EXPECT_EQ(summary.halfOpenLinks, 3);
    EXPECT_GT(summary.garbageBytes, 0u);
    EXPECT_EQ(centre.goodFramesOfNonStations.load(), 0);
    EXPECT_GT(centre.badCheckFrames.load(), 0);
    EXPECT_EQ(summary.extraHeldAtEnd, 5);
    EXPECT_EQ(centre.accepted.load(), 20 + static_cast<int>(summary.reconnects) + 5);
}

TEST(SimulatorLoad, SourceAddressesTakeTurns)
{
    FakeCentre centre;
    SimOptions options;
    options.port = centre.Port();
    options.stations = 9;
    options.sources = 3;
    options.fast = true;
    options.count = 1;
    std::ostringstream log;
    const SimSummary summary = RunSimulation(options, log);
    EXPECT_EQ(summary.acknowledged, 9u) << log.str();
    const std::set<std::uint32_t> expected = {0x7F000001u, 0x7F000002u, 0x7F000003u};
    EXPECT_EQ(centre.Sources(), expected);
}

}  // namespace
