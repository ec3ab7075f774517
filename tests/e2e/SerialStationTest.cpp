// Stations on a serial line, end to end: `RTU --headless` serves one end of a
// pseudo-terminal (COMM MODE=1, COM = the slave's path) and the test speaks
// on the other end as the stations would, or lets stationsim --serial do it
// through a pair of pseudo-terminals joined by socat.
#include "tests/e2e/E2eChecks.h"
#include "tests/e2e/RtuProcess.h"

#include "rtu/protocol/FrameCodec.h"
#include "rtu/protocol/HexText.h"
#include "tools/stationsim/StationFrames.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace rtu::e2e {
namespace {

using storage::Rows;

// A raw pseudo-terminal pair. The test keeps the slave open too: its input
// queue (what the centre has not read yet) can be watched through it, and the
// line does not hang up while the centre reopens it.
class RawPty {
public:
    RawPty()
    {
        char name[128] = {};
        if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0) return;
        termios t{};
        ::tcgetattr(slave_, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(slave_, TCSANOW, &t);
        // The centre, started later, must not inherit either end.
        ::fcntl(master_, F_SETFD, FD_CLOEXEC);
        ::fcntl(slave_, F_SETFD, FD_CLOEXEC);
        path_ = name;
    }
    ~RawPty()
    {
        if (master_ >= 0) ::close(master_);
        if (slave_ >= 0) ::close(slave_);
    }
    RawPty(const RawPty&) = delete;
    RawPty& operator=(const RawPty&) = delete;

    bool Ok() const { return !path_.empty(); }
    const std::string& Path() const { return path_; }
    // The master end, handed over (its new owner closes it).
    int TakeMaster()
    {
        const int fd = master_;
        master_ = -1;
        return fd;
    }
    // Bytes written on the master side that the reader of the slave side has
    // not taken yet.
    int Unread() const
    {
        int n = 0;
        return ::ioctl(slave_, FIONREAD, &n) == 0 ? n : -1;
    }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

std::string CommSection(const std::string& device)
{
    return "MODE=1\nCOM=" + device + "\nBAUDRATE=115200\nBYTESIZE=3\nSTOPBIT=0\nPATITY=0\n";
}

// Waits (bounded) until the centre has read everything written to the line.
bool ReadByCentre(const RawPty& pty, std::chrono::milliseconds limit = 5s)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (pty.Unread() != 0) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

TEST(SerialStation, ReportsAreAcknowledgedStoredAndCommandsReachTheLine)
{
    RawPty pty;
    ASSERT_TRUE(pty.Ok()) << "openpty failed";
    CentreSettings settings;
    settings.comm = CommSection(pty.Path());
    RtuProcess centre(settings);
    START_CENTRE(centre);
    // The line is opened (and its stale input flushed) after the port
    // listens; the log line naming the device says it is ready.
    ASSERT_TRUE(centre.WaitForOutput(pty.Path())) << centre.Output();
    ASSERT_EQ(centre.Output().find("message:"), std::string::npos) << centre.Output();

    StationLink line;
    line.Attach(pty.TakeMaster());
    const std::string station = "0000000501";
    // The online check refreshes the stations it holds online in this table.
    ExecuteWhenReady(centre, "insert into DeviceInfo (YCZNo, StationName) values ('0000000501', 'line')");

    // A report written in three pieces, each read by the centre before the
    // next: one acknowledgement, only after the last piece.
    const std::string first = Frame(station, "32",
                                    Body(0x0101, " ST 0000000501 H TT 2405061230 PN05 2.0 PJ 10.5 PT 125.5"
                                                 " Z 102.345 Q 12.5 ADC1 Z,102.345,m ADC2 T,M,C VT 12.60"));
    const std::size_t cuts[] = {0, 7, 60, first.size()};
    for (std::size_t i = 0; i + 1 < std::size(cuts); ++i) {
        ASSERT_TRUE(line.Send(std::string_view(first).substr(cuts[i], cuts[i + 1] - cuts[i])));
        ASSERT_TRUE(ReadByCentre(pty)) << "the centre does not read the line";
        if (i + 2 < std::size(cuts)) {
            EXPECT_FALSE(line.ReadFrame(100ms).has_value()) << "answer to an incomplete frame";
        }
    }
    ExpectAcknowledgementOf(line.ReadFrame(), first);

    // Noise, then two reports in one write: two acknowledgements in order.
    const std::string second =
        Frame(station, "32", Body(0x0102, " ST 0000000501 H TT 2405061235 PN05 0 PJ 10.5 Z 102.000 Q 11.0 VT 12.6"));
    const std::string third =
        Frame(station, "32", Body(0x0103, " ST 0000000501 H TT 2405061240 PN05 0 PJ 10.5 Z 101.500 Q 10.0 VT 12.6"));
    ASSERT_TRUE(line.Send("\r\nAT+noise\x03" + second + third));
    ExpectAcknowledgementOf(line.ReadFrame(), second);
    ExpectAcknowledgementOf(line.ReadFrame(), third);
    EXPECT_FALSE(line.ReadFrame(200ms).has_value()) << "more than one answer per frame";

    // A command queued for the serial station is written on the line as
    // built; the station's answer is acknowledged there too.
    std::string command;
    QueueCommand(centre, station, "45", "", &command);
    const auto received = line.ReadFrame(15s);
    ASSERT_TRUE(received.has_value()) << "the queued command did not reach the line\n" << centre.Output();
    EXPECT_EQ(BytesToHexText(*received), BytesToHexText(command));
    sim::DownlinkFields fields;
    ASSERT_TRUE(sim::ReadDownlink(*received, fields));
    sim::StationIdentity id;
    id.station = station;
    const std::string answer =
        sim::EncodeUplinkFrame(id, "45", sim::AnswerBody(fields, id, LocalNow(), sim::StationReadings(1)));
    ASSERT_TRUE(line.Send(answer));
    std::optional<std::string> reply;
    // The poller may send the command again before its status is written.
    do {
        reply = line.ReadFrame(10s);
    } while (reply && !sim::LooksLikeAcknowledgement(*reply));
    ExpectAcknowledgementOf(reply, answer);

    // The serial station is online: the next online check (every 10 s)
    // refreshes its row.
    EXPECT_TRUE(WaitForValue(centre.MainDatabase(),
                             "select count(*) from DeviceInfo where YCZNo = '0000000501' and RefreshDate is not null",
                             "1", 25s))
        << "the serial station was not held online";

    ASSERT_EQ(centre.Stop(), 0) << centre.Output();

    const std::string main = centre.MainDatabase();
    Rows rows = Query(main, "select YCZNo, CommandName, CommandData from ReceiveData where CommandName = '32' "
                            "order by CommandData");
    Rows frames{{station, "32", BytesToHexText(first)},
                {station, "32", BytesToHexText(second)},
                {station, "32", BytesToHexText(third)}};
    std::sort(frames.begin(), frames.end());
    EXPECT_EQ(rows, frames);
    EXPECT_EQ(Count(main, "select count(*) from DeviceTimingData where YCZNo = '0000000501' and "
                          "ObserveTime = '2024-05-06 12:30:00'"),
              "6");
    EXPECT_EQ(Count(main, "select Status from SendCommandInfo"), "1");
    EXPECT_EQ(Count(main, "select count(*) from ReceiveData where CommandName = '45'"), "1");
    rows = Query(centre.SecondaryDatabase(), "select STCD, TM from ST_RIVER_R order by TM");
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0][0], "00000501");
    EXPECT_EQ(rows[2][1], "2024-05-06 12:40:00");
}

TEST(SerialStation, LineIsNotTouchedWithModeZero)
{
    RawPty pty;
    ASSERT_TRUE(pty.Ok()) << "openpty failed";
    CentreSettings settings;
    settings.comm = "MODE=0\nCOM=" + pty.Path() + "\nBAUDRATE=115200\nBYTESIZE=3\nSTOPBIT=0\nPATITY=0\n";
    RtuProcess centre(settings);
    // A report waiting on the line before the start: opening the line would
    // flush it, reading it would take it.
    const std::string report =
        Frame("0000000502", "32", Body(1, " ST 0000000502 H TT 2405061230 Z 1.0 VT 12.6"));
    StationLink line;
    line.Attach(pty.TakeMaster());
    ASSERT_TRUE(line.Send(report));
    START_CENTRE(centre);
    // The service has started completely once it answers a network station.
    StationLink network;
    ASSERT_TRUE(network.Connect(centre.Port()));
    const std::string other = Frame("0000000503", "32", Body(1, " ST 0000000503 H TT 2405061230 Z 1.0 VT 12.6"));
    ASSERT_TRUE(network.Send(other));
    ExpectAcknowledgementOf(network.ReadFrame(), other);
    ASSERT_EQ(centre.Stop(), 0) << centre.Output();

    EXPECT_EQ(pty.Unread(), static_cast<int>(report.size()));
    EXPECT_EQ(centre.Output().find(pty.Path()), std::string::npos) << centre.Output();
    EXPECT_FALSE(line.ReadFrame(100ms).has_value()) << "the centre wrote on the line";
}

// socat on the PATH, or empty.
std::string FindSocat()
{
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    std::size_t at = 0;
    while (at <= dirs.size()) {
        const std::size_t end = std::min(dirs.find(':', at), dirs.size());
        const std::string candidate = dirs.substr(at, end - at) + "/socat";
        if (end > at && ::access(candidate.c_str(), X_OK) == 0) return candidate;
        at = end + 1;
    }
    return "";
}

// Two pseudo-terminals joined by socat: what is written to one comes out of
// the other. Their paths are read from socat's own report ("PTY is ...").
class SocatPair {
public:
    explicit SocatPair(const std::string& program)
    {
        int err[2];
        if (::pipe2(err, O_CLOEXEC) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(err[1], STDERR_FILENO);
            ::execl(program.c_str(), "socat", "-d", "-d", "pty,raw,echo=0", "pty,raw,echo=0",
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(err[1]);
        if (pid_ < 0) {
            ::close(err[0]);
            return;
        }
        // Both lines come at once at start; bounded in case socat fails.
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        std::string text;
        while (paths_.size() < 2 && std::chrono::steady_clock::now() < deadline) {
            pollfd p{err[0], POLLIN, 0};
            if (::poll(&p, 1, 200) <= 0) continue;
            char buffer[512];
            const ssize_t n = ::read(err[0], buffer, sizeof buffer);
            if (n <= 0) break;
            text.append(buffer, static_cast<std::size_t>(n));
            paths_.clear();
            for (std::size_t at = text.find("PTY is "); at != std::string::npos; at = text.find("PTY is ", at + 1)) {
                const std::size_t end = text.find('\n', at);
                if (end == std::string::npos) break;
                paths_.push_back(text.substr(at + 7, end - at - 7));
            }
        }
        report_ = text;
        ::close(err[0]);  // socat's later messages go nowhere
    }
    ~SocatPair()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    SocatPair(const SocatPair&) = delete;
    SocatPair& operator=(const SocatPair&) = delete;

    bool Ok() const { return paths_.size() == 2; }
    const std::string& End(int i) const { return paths_[static_cast<std::size_t>(i)]; }
    const std::string& Report() const { return report_; }

private:
    pid_t pid_ = -1;
    std::vector<std::string> paths_;
    std::string report_;
};

TEST(SerialStation, StationsimSharesTheLineWithThreeStations)
{
    const std::string socat = FindSocat();
    if (socat.empty()) {
        GTEST_SKIP() << "socat is not installed (scripts/setup installs it): stationsim --serial needs a second "
                        "pseudo-terminal joined to the centre's line";
    }
    SocatPair pair(socat);
    ASSERT_TRUE(pair.Ok()) << "socat did not report two pseudo-terminals:\n" << pair.Report();
    CentreSettings settings;
    settings.comm = CommSection(pair.End(0));
    RtuProcess centre(settings);
    START_CENTRE(centre);
    ASSERT_TRUE(centre.WaitForOutput(pair.End(0))) << centre.Output();
    QueueCommand(centre, "0000000602", "43", "");

    std::string output;
    const int status = RunStationsim("--serial " + pair.End(1) +
                                         " --baud 115200 --base 601 --stations 3 --rate 6 --duration 5 --verbose"
                                         " --expect-acks",
                                     output);
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("0000000602 <- command 43"), std::string::npos) << output;
    EXPECT_EQ(output.find("frame for no station here"), std::string::npos) << output;
    const std::size_t at = output.find("(reports ");
    ASSERT_NE(at, std::string::npos) << output;
    const std::string reports = std::to_string(std::atoi(output.c_str() + at + 9));
    ASSERT_EQ(centre.Stop(), 0) << centre.Output();

    const std::string main = centre.MainDatabase();
    EXPECT_EQ(Count(main, "select count(*) from ReceiveData where CommandName = '32'"), reports);
    EXPECT_EQ(Count(main, "select count(distinct YCZNo) from ReceiveData where CommandName = '32'"), "3");
    EXPECT_EQ(Count(main, "select count(*) from SendCommandInfo where Status = 1"), "1");
    EXPECT_EQ(Count(main, "select count(*) from ReceiveData where CommandName = '43'"), "1");
}

}  // namespace
}  // namespace rtu::e2e
