// The simulator on a serial line, against a centre played by the test on
// the master side of a pseudo-terminal: the stations' frames come whole one
// after another, each frame of the centre reaches the station it names, and
// a line that goes away ends the run at once.
#include "tools/stationsim/Simulator.h"

#include "rtu/protocol/FrameCodec.h"
#include "rtu/uplink/CutFrames.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <future>
#include <sstream>
#include <string>

namespace rtu::sim {
namespace {

using namespace std::chrono_literals;

// The centre's end of the line: whole frames with a time limit.
class CentreEnd {
public:
    CentreEnd()
    {
        char name[128] = {};
        if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0) return;
        termios t{};
        ::tcgetattr(slave_, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(slave_, TCSANOW, &t);
        path_ = name;
    }
    ~CentreEnd()
    {
        CloseMaster();
        if (slave_ >= 0) ::close(slave_);
    }
    CentreEnd(const CentreEnd&) = delete;
    CentreEnd& operator=(const CentreEnd&) = delete;

    const std::string& Path() const { return path_; }
    void CloseMaster()
    {
        if (master_ >= 0) ::close(master_);
        master_ = -1;
    }
    bool Send(std::string_view bytes)
    {
        return ::write(master_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }

    std::optional<std::string> ReadFrame(std::chrono::milliseconds limit = 10s)
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (frames_.empty()) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd p{master_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return std::nullopt;
            char buffer[4096];
            const ssize_t n = ::read(master_, buffer, sizeof buffer);
            if (n <= 0) return std::nullopt;
            Collect sink(frames_);
            CutFrames(framing_, std::string_view(buffer, static_cast<std::size_t>(n)), sink);
        }
        std::string frame = std::move(frames_.front());
        frames_.pop_front();
        return frame;
    }

private:
    class Collect : public FrameSink {
    public:
        explicit Collect(std::deque<std::string>& frames) : frames_(frames) {}
        void OnFrame(std::string_view frame) override { frames_.emplace_back(frame); }

    private:
        std::deque<std::string>& frames_;
    };

    int master_ = -1;
    int slave_ = -1;
    std::string path_;
    FramingState framing_;
    std::deque<std::string> frames_;
};

std::string Ack(std::string_view frame)
{
    FrameBytes ack;
    EXPECT_TRUE(BuildAcknowledgement(frame, ack));
    return std::string(ack.View());
}

TEST(SimulatorSerial, StationsShareTheLineAndEachGetsItsOwnFrames)
{
    CentreEnd centre;
    ASSERT_FALSE(centre.Path().empty()) << "openpty failed";
    SimOptions options;
    options.serialDevice = centre.Path();
    options.stations = 3;
    options.base = 101;
    options.fast = true;
    options.count = 2;
    options.drain = 10;
    options.verbose = true;
    std::ostringstream log;
    auto run = std::async(std::launch::async, [&] { return RunSimulation(options, log); });

    // The first report of each station, whole and in turn.
    std::vector<std::string> first;
    for (int i = 0; i < 3; ++i) {
        const auto frame = centre.ReadFrame();
        ASSERT_TRUE(frame.has_value()) << "report " << i << " missing\n" << log.str();
        ASSERT_TRUE(VerifyCheckCode(*frame)) << *frame;
        first.push_back(*frame);
    }
    EXPECT_EQ(first[0].substr(3, 10), "0000000101");
    EXPECT_EQ(first[2].substr(3, 10), "0000000103");

    // A frame for a station not on this simulator, a command for 102, then
    // the acknowledgements in reverse order: each goes by its address.
    FrameBytes stranger;
    ASSERT_EQ(BuildCommandFrame({"0000009999", "01", "B7E2"}, "45", "", stranger), CommandBuild::kBuilt);
    FrameBytes command;
    SerialNumberCounter serials(0x0777);
    ASSERT_EQ(BuildCommandFrame({"0000000102", "01", "B7E2"}, "45", "", serials, LocalNow(), command),
              CommandBuild::kBuilt);
    ASSERT_TRUE(centre.Send(std::string(stranger.View()) + std::string(command.View()) + Ack(first[2]) +
                            Ack(first[1]) + Ack(first[0])));

    // The answer of 102 and the second reports; all acknowledged.
    int answers = 0;
    for (int i = 0; i < 4; ++i) {
        const auto frame = centre.ReadFrame();
        ASSERT_TRUE(frame.has_value()) << "frame " << i << " missing\n" << log.str();
        ASSERT_TRUE(VerifyCheckCode(*frame)) << *frame;
        if (frame->substr(17, 2) == "45") {
            ++answers;
            EXPECT_EQ(frame->substr(3, 10), "0000000102");
            EXPECT_EQ(frame->substr(24, 4), "0777") << "the answer echoes the command's serial number";
        }
        ASSERT_TRUE(centre.Send(Ack(*frame)));
    }
    EXPECT_EQ(answers, 1);

    ASSERT_EQ(run.wait_for(30s), std::future_status::ready) << log.str();
    const SimSummary summary = run.get();
    EXPECT_EQ(summary.connected, 3);
    EXPECT_EQ(summary.acknowledged, 7u) << log.str();
    EXPECT_EQ(summary.expectedAcks, 7u);
    EXPECT_EQ(summary.badAcks, 0u);
    EXPECT_EQ(summary.commandsReceived, 1u);
    EXPECT_EQ(summary.answersSent, 1u);
    EXPECT_EQ(summary.otherFrames, 1u) << "the stranger's frame";
    EXPECT_FALSE(summary.serialLineLost);
}

TEST(SimulatorSerial, LostLineEndsTheRunAndBadDevicesAreRefused)
{
    CentreEnd centre;
    ASSERT_FALSE(centre.Path().empty()) << "openpty failed";
    SimOptions options;
    options.serialDevice = centre.Path();
    options.stations = 2;
    options.rate = 20;
    options.duration = 60;
    options.drain = 60;
    std::ostringstream log;
    auto run = std::async(std::launch::async, [&] { return RunSimulation(options, log); });
    ASSERT_TRUE(centre.ReadFrame().has_value()) << log.str();
    centre.CloseMaster();  // the converter is unplugged
    ASSERT_EQ(run.wait_for(10s), std::future_status::ready) << "the run went on without its line";
    const SimSummary summary = run.get();
    EXPECT_TRUE(summary.serialLineLost);
    EXPECT_EQ(summary.closedByCentre, 2);

    // Not a terminal, missing, or a speed the line has no setting for.
    for (const auto& [device, baud] : {std::pair<std::string, unsigned long>{"/dev/null", 9600},
                                       {"/nonexistent/tty", 9600},
                                       {centre.Path(), 12345}}) {
        options.serialDevice = device;
        options.baud = baud;
        options.duration = 1;
        std::ostringstream refused;
        const SimSummary failed = RunSimulation(options, refused);
        EXPECT_EQ(failed.connectFailures, 2) << device;
        EXPECT_FALSE(refused.str().empty()) << device;
    }
}

}  // namespace
}  // namespace rtu::sim
