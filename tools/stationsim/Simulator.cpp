#include "tools/stationsim/Simulator.h"

#include "rtu/protocol/Elements.h"
#include "rtu/protocol/FrameCodec.h"
#include "rtu/uplink/CutFrames.h"
#include "rtu/uplink/RegistrationPacket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <deque>
#include <iomanip>
#include <map>
#include <memory>
#include <ostream>
#include <queue>
#include <unordered_map>
#include <utility>

namespace rtu::sim {
namespace {

using Clock = std::chrono::steady_clock;

// The epoll tag of the serial line (stations are tagged with their index).
constexpr std::uint32_t kLineTag = 0xFFFFFFFFu;

// A frame waiting for its acknowledgement.
struct Pending {
    char serial[4];
    char functionCode[2];
    Clock::time_point sent;
    bool report;
    ReportKind kind;          // of a report
    CalendarTime observed;    // of a report
    int window;               // the burst window it was sent in, or -1
};

enum class LinkState { kWaiting, kConnecting, kRegistering, kReady, kClosed };

// What a link does: a station, or one of the links that are not stations.
enum class Role { kStation, kGarbage, kSilent, kPartial, kHalfClosed };

// Readings in a timed report body (ADC1, ADC2, PJ, PT, Z, Q): one
// DeviceTimingData row each.
constexpr std::uint64_t kTimedReadings = 6;

// Slot rows of DeviceHourData kept for the row count: a slot with a row of
// an hourly report, and a slot with any row.
constexpr std::uint8_t kHourlyRow = 1;
constexpr std::uint8_t kAnyRow = 2;

struct Station {
    Station(int i, StationIdentity identity, std::uint32_t seed) : index(i), id(std::move(identity)), readings(seed) {}

    int index;
    StationIdentity id;       // what the frames carry (the password may be a wrong one)
    StationReadings readings;
    StationMemory memory;             // configuration saved by the centre (40, 42)
    int fd = -1;
    LinkState state = LinkState::kWaiting;
    Clock::time_point deadline{};     // of the connection or the registration echo
    std::string echo;                 // registration echo received so far
    std::unique_ptr<FramingState> framing = std::make_unique<FramingState>();
    std::string out;                  // bytes not yet taken by the socket
    bool writeArmed = false;
    std::deque<Pending> pending;
    int reportsInFlight = 0;
    std::uint16_t serial = 1;
    std::uint64_t reportsSent = 0;
    int variant = 0;
    bool doneSending = false;
    int burstOwed = 0;                // burst reports due while the link was down
    int burstOwedWindow = -1;
    Role role = Role::kStation;
    bool reconnecting = false;        // closes its link now and then and reconnects
    bool reconnectDue = false;        // closes as soon as nothing is in flight
    std::uint32_t generation = 0;     // counts connections; older timers are stale
    std::uint32_t random = 1;         // state of the link's random bytes
    std::map<long long, std::uint8_t> slots;  // DeviceHourData slots by minute
    CalendarTime observed;
    Clock::time_point nextReport{};
    Clock::time_point nextKeepAlive{};
    // The picture being sent, if any.
    bool pictureActive = false;
    int pictures = 0;
    int pictureTotal = 0;
    PictureInfo picture;
    std::string pictureBytes;
};

enum class TimerKind { kReport, kKeepAlive, kBurst, kReconnect, kGarbage };

struct Timer {
    Clock::time_point due;
    int station;
    TimerKind kind;
    std::uint32_t generation;
    bool operator>(const Timer& other) const { return due > other.due; }
};

// A top-of-the-hour window and the acknowledgements of the frames sent in it.
struct BurstWindow {
    Clock::time_point start;
    Clock::time_point end;
    Clock::time_point lastAck;
    bool acked = false;
};

std::uint32_t NextRandom(std::uint32_t& state)
{
    // xorshift32: cheap, reproducible from the seed, never 0 from non-zero.
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
}

// Minutes from year 0 of a calendar time: a key that orders slots.
long long MinuteKey(const CalendarTime& t)
{
    return ((((static_cast<long long>(t.year) * 13 + t.month) * 32 + t.day) * 24 + t.hour) * 60) + t.minute;
}

double Percentile(const std::vector<std::uint32_t>& sorted, double q)
{
    if (sorted.empty()) return 0;
    const auto i = static_cast<std::size_t>(std::ceil(q * static_cast<double>(sorted.size()))) - 1;
    return sorted[std::min(i, sorted.size() - 1)] / 1000.0;
}

double Seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

Clock::duration FromSeconds(double s)
{
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

CalendarTime AddMinutes(CalendarTime t, int minutes)
{
    t.minute += minutes;
    while (t.minute >= 60) {
        t.minute -= 60;
        t = NextHour(t);
    }
    return t;
}

// Control characters by name, so a frame fits on one line.
std::string Shown(std::string_view frame)
{
    static const char* const kNames[] = {"NUL", "SOH", "STX", "ETX", "EOT", "ENQ", "ACK"};
    std::string text;
    for (char c : frame) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 7) {
            text += '<';
            text += kNames[u];
            text += '>';
        } else if (u == 0x16) {
            text += "<SYN>";
        } else if (u < 0x20 || u >= 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "<%02X>", u);
            text += hex;
        } else {
            text += c;
        }
    }
    return text;
}

class Simulator {
public:
    Simulator(const SimOptions& options, std::ostream& log) : options_(options), log_(log) {}
    ~Simulator();

    SimSummary Run();

private:
    class StationSink;
    class LineSink;

    bool Resolve();
    bool OpenLine();
    void OnLineReadable();
    void OnLineFrame(std::string_view frame);
    void FlushLine();
    void LoseLine();
    bool Serial() const { return line_ >= 0; }
    void StartConnects(Clock::time_point now);
    void OnConnected(Station& s, Clock::time_point now);
    void OnReadable(Station& s);
    void OnWritable(Station& s);
    void Consume(Station& s, std::string_view bytes);
    void OnFrame(Station& s, std::string_view frame);
    void OnAcknowledgement(Station& s, std::string_view frame);
    void OnCommand(Station& s, std::string_view frame);
    void ReadyToSend(Station& s, Clock::time_point now);
    void SendReport(Station& s, int burstWindow = -1);
    void SendKeepAlive(Station& s);
    void StartPicture(Station& s);
    void SendPicturePacket(Station& s, int number);
    bool OnPictureCommand(Station& s, const DownlinkFields& command);
    void Queue(Station& s, std::string_view frame);
    void Flush(Station& s);
    void Arm(Station& s, bool write);
    void Close(Station& s, bool byCentre);
    bool SendingOver(const Station& s, Clock::time_point now) const;
    ReportKind NextKind(Station& s, bool burst) const;
    std::uint16_t TakeSerial(Station& s);
    bool IsStation(const Station& s) const { return s.role == Role::kStation; }
    void Push(const Station& s, Clock::time_point due, TimerKind kind);
    void OnTimer(const Timer& t, Clock::time_point now);
    void StartBurst(Clock::time_point now);
    void Reconnect(Station& s);
    void OnExtraConnected(Station& s, Clock::time_point now);
    void SendGarbage(Station& s);
    void CountRows(Station& s, const Pending& p);
    void CheckDeadlines(Clock::time_point now);
    int CurrentWindow(Clock::time_point now) const;

    const SimOptions& options_;
    std::ostream& log_;
    int epoll_ = -1;
    sockaddr_in address_{};
    std::vector<std::unique_ptr<Station>> stations_;
    std::priority_queue<Timer, std::vector<Timer>, std::greater<Timer>> timers_;
    std::deque<int> toConnect_;         // links waiting for their connect, in order
    std::vector<int> watched_;          // links with a connect or registration deadline
    int connecting_ = 0;
    int stationCount_ = 0;              // stations come first in stations_, then other links
    int held_ = 0;                      // station links ready at the moment
    unsigned sourceTurn_ = 0;
    Clock::time_point nextHour_{};
    std::vector<BurstWindow> windows_;
    std::vector<std::uint32_t> burstLatenciesUs_;
    Clock::time_point start_{};
    Clock::time_point firstSend_{};
    Clock::time_point lastAck_{};
    bool anySent_ = false;
    std::vector<std::uint32_t> latenciesUs_;
    SimSummary summary_;
    // The serial line shared by every station, when there is one.
    int line_ = -1;
    FramingState lineFraming_;
    std::string lineOut_;              // whole frames not yet taken by the device
    bool lineWriteArmed_ = false;
    std::unordered_map<std::string, int> byAddress_;
};

// Hands the frames cut out of a station's stream to the simulator.
class Simulator::StationSink : public FrameSink {
public:
    StationSink(Simulator& sim, Station& s) : sim_(sim), s_(s) {}
    void OnFrame(std::string_view frame) override { sim_.OnFrame(s_, frame); }

private:
    Simulator& sim_;
    Station& s_;
};

// Hands the frames cut out of the serial line to the station they address.
class Simulator::LineSink : public FrameSink {
public:
    explicit LineSink(Simulator& sim) : sim_(sim) {}
    void OnFrame(std::string_view frame) override { sim_.OnLineFrame(frame); }

private:
    Simulator& sim_;
};

Simulator::~Simulator()
{
    if (line_ >= 0) {
        ::close(line_);
    }
    for (auto& s : stations_) {
        if (s->fd >= 0) {
            ::close(s->fd);
        }
    }
    if (epoll_ >= 0) {
        ::close(epoll_);
    }
}

bool Simulator::Resolve()
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(options_.host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
        log_ << "stationsim: cannot resolve host " << options_.host << '\n';
        return false;
    }
    std::memcpy(&address_, found->ai_addr, sizeof address_);
    address_.sin_port = htons(options_.port);
    freeaddrinfo(found);
    return true;
}

SimSummary Simulator::Run()
{
    summary_.stations = options_.stations;
    const bool serial = !options_.serialDevice.empty();
    if (!serial && !Resolve()) {
        summary_.connectFailures = options_.stations;
        return summary_;
    }
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    if (epoll_ < 0) {
        log_ << "stationsim: epoll_create1: " << std::strerror(errno) << '\n';
        summary_.connectFailures = options_.stations;
        return summary_;
    }
    if (serial && !OpenLine()) {
        summary_.connectFailures = options_.stations;
        return summary_;
    }

    // Observation times walk on from a month ago in 5-minute steps, so every
    // report of a station has its own time slot in the database.
    CalendarTime walkStart = LocalNow();
    for (int day = 0; day < 30; ++day) {
        walkStart = PreviousDay(walkStart);
    }
    walkStart.minute -= walkStart.minute % 5;
    walkStart.second = 0;

    // Links that are not stations exist only on the network.
    const int extras = serial ? 0 : options_.garbage + options_.halfOpen;
    stationCount_ = options_.stations;
    stations_.reserve(static_cast<std::size_t>(options_.stations + extras));
    for (int i = 0; i < options_.stations + extras; ++i) {
        StationIdentity id;
        id.centre = options_.centre;
        id.station = i < options_.stations ? StationAddress(options_.base + static_cast<std::uint64_t>(i))
                                           : StationAddress(9900000000ULL + static_cast<std::uint64_t>(i));
        id.password = options_.password;
        if (options_.wrongPassword) {
            id.password = options_.password == "0000" ? "1111" : "0000";
        }
        auto s = std::make_unique<Station>(i, std::move(id), options_.seed * 7919u + static_cast<std::uint32_t>(i));
        s->observed = walkStart;
        s->variant = i;
        s->random = (options_.seed * 2654435761u) ^ (static_cast<std::uint32_t>(i) * 40503u + 1u);
        if (s->random == 0) s->random = 1;
        if (i >= options_.stations) {
            const int k = i - options_.stations;
            if (k < options_.garbage) {
                s->role = Role::kGarbage;
            } else {
                static const Role kQuiet[] = {Role::kSilent, Role::kPartial, Role::kHalfClosed};
                s->role = kQuiet[(k - options_.garbage) % 3];
            }
        } else {
            // The share of reconnecting stations, spread over the numbers.
            s->reconnecting = options_.reconnectShare > 0 &&
                              std::floor((i + 1) * options_.reconnectShare) > std::floor(i * options_.reconnectShare);
            byAddress_.emplace(s->id.station, i);
        }
        toConnect_.push_back(i);
        stations_.push_back(std::move(s));
    }

    start_ = Clock::now();
    nextHour_ = start_ + FromSeconds(options_.hour);
    const Clock::duration spacing = FromSeconds(options_.rate > 0 ? 1.0 / options_.rate : 1.0);
    Clock::time_point drainDeadline{};
    Clock::time_point nextScan{};
    bool draining = false;
    std::vector<epoll_event> events(256);

    if (serial) {
        // Every station is on the line from the start.
        toConnect_.clear();
        for (auto& s : stations_) {
            ++summary_.connected;
            ReadyToSend(*s, start_);
        }
    }

    while (true) {
        Clock::time_point now = Clock::now();
        StartConnects(now);

        // Deadlines of connections and registration echoes, and the end of
        // the run, looked at every 20 ms (a scan of every link).
        const bool scan = now >= nextScan;
        if (scan) {
            nextScan = now + std::chrono::milliseconds(20);
            CheckDeadlines(now);
        }

        // The top of a compressed hour: every station's burst reports.
        if (options_.hour > 0 && !options_.fast && !serial && now >= nextHour_ &&
            (options_.duration <= 0 || now - start_ < FromSeconds(options_.duration))) {
            StartBurst(now);
        }

        // Reports, keep-alives and the other timers that are due.
        while (!timers_.empty() && timers_.top().due <= now) {
            const Timer t = timers_.top();
            timers_.pop();
            OnTimer(t, now);
        }

        // The end: every station has sent what it had to, or cannot send.
        if (!draining && scan) {
            bool allDone = toConnect_.empty() && connecting_ == 0;
            for (auto& s : stations_) {
                if (!allDone) break;
                if (!IsStation(*s)) continue;
                if (s->state == LinkState::kReady && !s->doneSending) {
                    if (SendingOver(*s, now)) {
                        s->doneSending = true;
                    } else {
                        allDone = false;
                    }
                } else if (s->state == LinkState::kRegistering) {
                    allDone = false;
                }
            }
            if (allDone) {
                draining = true;
                drainDeadline = now + FromSeconds(options_.drain);
                summary_.heldAtEnd = held_;
            }
        }
        if (draining && scan) {
            bool waiting = false;
            for (auto& s : stations_) {
                if (s->state == LinkState::kReady && (!s->pending.empty() || !s->out.empty() || s->pictureActive)) {
                    waiting = true;
                    break;
                }
            }
            if (Serial() && !lineOut_.empty()) waiting = true;
            if (!waiting || now >= drainDeadline) break;
        }

        // Wait for the sockets, at most until the next timer or 20 ms.
        int timeoutMs = 20;
        if (!timers_.empty()) {
            const auto untilNext = std::chrono::duration_cast<std::chrono::milliseconds>(timers_.top().due - now);
            timeoutMs = static_cast<int>(std::clamp<long long>(untilNext.count(), 0, timeoutMs));
        }
        const int n = epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), timeoutMs);
        if (n < 0 && errno != EINTR) {
            log_ << "stationsim: epoll_wait: " << std::strerror(errno) << '\n';
            break;
        }
        for (int i = 0; i < n; ++i) {
            const std::uint32_t what = events[static_cast<std::size_t>(i)].events;
            if (events[static_cast<std::size_t>(i)].data.u32 == kLineTag) {
                if (line_ >= 0 && (what & (EPOLLIN | EPOLLERR | EPOLLHUP)) != 0) OnLineReadable();
                if (line_ >= 0 && (what & EPOLLOUT) != 0) FlushLine();
                continue;
            }
            Station& s = *stations_[events[static_cast<std::size_t>(i)].data.u32];
            if (s.state == LinkState::kConnecting) {
                if ((what & (EPOLLOUT | EPOLLERR | EPOLLHUP)) != 0) OnConnected(s, Clock::now());
                continue;
            }
            if (s.fd < 0) continue;
            if ((what & (EPOLLIN | EPOLLERR | EPOLLHUP | EPOLLRDHUP)) != 0) OnReadable(s);
            if (s.fd >= 0 && (what & EPOLLOUT) != 0) OnWritable(s);
        }
    }

    if (!draining) summary_.heldAtEnd = held_;
    for (auto& s : stations_) {
        if (!IsStation(*s)) {
            if (s->state == LinkState::kReady) ++summary_.extraHeldAtEnd;
        }
        summary_.missingAcks += s->pending.size();
        if (options_.verbose) {
            for (const Pending& p : s->pending) {
                log_ << s->id.station << " no acknowledgement of " << std::string(p.functionCode, 2) << " #"
                     << std::string(p.serial, 4) << '\n';
            }
        }
        if (s->fd >= 0) {
            ::close(s->fd);
            s->fd = -1;
        }
    }
    if (anySent_ && lastAck_ > firstSend_) {
        summary_.seconds = Seconds(lastAck_ - firstSend_);
    }
    if (!latenciesUs_.empty()) {
        std::sort(latenciesUs_.begin(), latenciesUs_.end());
        summary_.p50Ms = Percentile(latenciesUs_, 0.50);
        summary_.p99Ms = Percentile(latenciesUs_, 0.99);
        summary_.maxMs = latenciesUs_.back() / 1000.0;
    }
    summary_.burstWindows = static_cast<int>(windows_.size());
    for (const BurstWindow& w : windows_) {
        if (w.acked) summary_.burstSeconds += Seconds(w.lastAck - w.start);
    }
    if (!burstLatenciesUs_.empty()) {
        std::sort(burstLatenciesUs_.begin(), burstLatenciesUs_.end());
        summary_.burstP50Ms = Percentile(burstLatenciesUs_, 0.50);
        summary_.burstP99Ms = Percentile(burstLatenciesUs_, 0.99);
        summary_.burstMaxMs = burstLatenciesUs_.back() / 1000.0;
    }
    return summary_;
}

void Simulator::CheckDeadlines(Clock::time_point now)
{
    // Only links that were connecting or registering at some point are
    // looked at; those that have moved on leave the list.
    std::size_t kept = 0;
    for (std::size_t i = 0; i < watched_.size(); ++i) {
        Station& s = *stations_[static_cast<std::size_t>(watched_[i])];
        if (s.state != LinkState::kConnecting && s.state != LinkState::kRegistering) continue;
        if (now < s.deadline) {
            watched_[kept++] = watched_[i];
            continue;
        }
        if (s.state == LinkState::kConnecting) {
            ++(IsStation(s) ? summary_.connectFailures : summary_.extraConnectFailures);
            --connecting_;
            if (options_.verbose) log_ << s.id.station << " connection timed out\n";
        } else {
            ++summary_.registrationFailures;
            if (options_.verbose) log_ << s.id.station << " registration not echoed in time\n";
        }
        Close(s, false);
    }
    watched_.resize(kept);
}

void Simulator::Push(const Station& s, Clock::time_point due, TimerKind kind)
{
    timers_.push({due, s.index, kind, s.generation});
}

void Simulator::OnTimer(const Timer& t, Clock::time_point now)
{
    Station& s = *stations_[static_cast<std::size_t>(t.station)];
    if (t.kind == TimerKind::kBurst) {
        // The station owes its burst report whatever its link does: one that
        // is reconnecting sends it as soon as it is back.
        const int window = static_cast<int>(t.generation);
        if (s.doneSending || SendingOver(s, now)) return;
        if (s.state == LinkState::kReady) {
            SendReport(s, window);
        } else if (s.state != LinkState::kClosed) {
            ++s.burstOwed;
            s.burstOwedWindow = window;
        }
        return;
    }
    // Timers of an earlier connection of the link are stale.
    if (s.state != LinkState::kReady || t.generation != s.generation) return;
    switch (t.kind) {
    case TimerKind::kReport: {
        if (s.nextReport != t.due || s.doneSending) return;
        if (SendingOver(s, now)) {
            s.doneSending = true;
            return;
        }
        SendReport(s);
        const Clock::duration spacing = FromSeconds(1.0 / options_.rate);
        s.nextReport = std::max(t.due + spacing * options_.stations, now);
        Push(s, s.nextReport, TimerKind::kReport);
        break;
    }
    case TimerKind::kKeepAlive:
        if (SendingOver(s, now)) return;
        SendKeepAlive(s);
        s.nextKeepAlive = t.due + FromSeconds(options_.keepAlive);
        Push(s, s.nextKeepAlive, TimerKind::kKeepAlive);
        break;
    case TimerKind::kBurst:
        break;
    case TimerKind::kReconnect:
        if (SendingOver(s, now)) return;
        s.reconnectDue = true;
        if (s.pending.empty() && s.out.empty() && !s.pictureActive) Reconnect(s);
        break;
    case TimerKind::kGarbage:
        if (SendingOver(s, now)) return;
        SendGarbage(s);
        Push(s, now + FromSeconds(options_.garbageEvery), TimerKind::kGarbage);
        break;
    }
}

void Simulator::StartBurst(Clock::time_point now)
{
    BurstWindow window;
    window.start = nextHour_;
    window.end = nextHour_ + FromSeconds(options_.burstWindow);
    windows_.push_back(window);
    nextHour_ += FromSeconds(options_.hour);
    // Each station's reports at its own place in the window; the places are
    // shuffled from hour to hour so that no station is always first.
    const int reports = std::max(1, options_.burstReports);
    const auto slots = static_cast<std::uint64_t>(stationCount_) * static_cast<std::uint64_t>(reports);
    const std::uint64_t turn = windows_.size() * 7919u;
    for (int i = 0; i < stationCount_; ++i) {
        Station& s = *stations_[static_cast<std::size_t>(i)];
        if (s.state == LinkState::kClosed) continue;  // failed or closed by the centre
        for (int r = 0; r < reports; ++r) {
            const std::uint64_t place =
                ((static_cast<std::uint64_t>(i) * static_cast<std::uint64_t>(reports) + static_cast<std::uint64_t>(r)) *
                     2654435761u + turn) % slots;
            const double at = options_.burstWindow * static_cast<double>(place) / static_cast<double>(slots);
            // A burst timer carries its window in place of a generation.
            timers_.push({std::max(window.start + FromSeconds(at), now), s.index, TimerKind::kBurst,
                          static_cast<std::uint32_t>(windows_.size() - 1)});
        }
    }
}

int Simulator::CurrentWindow(Clock::time_point now) const
{
    if (windows_.empty()) return -1;
    const BurstWindow& last = windows_.back();
    return now >= last.start && now < last.end ? static_cast<int>(windows_.size()) - 1 : -1;
}

void Simulator::Reconnect(Station& s)
{
    s.reconnectDue = false;
    ++summary_.reconnects;
    if (options_.verbose) log_ << s.id.station << " closes its link to connect again\n";
    Close(s, false);
    s.state = LinkState::kWaiting;
    toConnect_.push_back(s.index);
}

void Simulator::StartConnects(Clock::time_point now)
{
    while (!toConnect_.empty() && connecting_ < options_.connectBurst) {
        Station& s = *stations_[static_cast<std::size_t>(toConnect_.front())];
        toConnect_.pop_front();
        int& failures = IsStation(s) ? summary_.connectFailures : summary_.extraConnectFailures;
        ++s.generation;
        s.framing = std::make_unique<FramingState>();
        s.echo.clear();
        s.out.clear();
        s.writeArmed = false;
        s.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (s.fd < 0) {
            log_ << "stationsim: socket: " << std::strerror(errno) << '\n';
            ++failures;
            s.state = LinkState::kClosed;
            continue;
        }
        int on = 1;
        setsockopt(s.fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        if (options_.sources > 1) {
            // Loopback source addresses in turn: each has its own range of
            // ports, so many thousands of links (and their TIME_WAIT after a
            // reconnect) never run short. The port is chosen at connect.
            setsockopt(s.fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
            sockaddr_in source{};
            source.sin_family = AF_INET;
            source.sin_addr.s_addr = htonl(INADDR_LOOPBACK + sourceTurn_++ % static_cast<unsigned>(options_.sources));
            if (::bind(s.fd, reinterpret_cast<const sockaddr*>(&source), sizeof source) != 0) {
                if (options_.verbose) log_ << s.id.station << " bind: " << std::strerror(errno) << '\n';
                ++failures;
                Close(s, false);
                continue;
            }
        }
        const int rc = ::connect(s.fd, reinterpret_cast<const sockaddr*>(&address_), sizeof address_);
        if (rc != 0 && errno != EINPROGRESS) {
            if (options_.verbose) log_ << s.id.station << " connect: " << std::strerror(errno) << '\n';
            ++failures;
            Close(s, false);
            continue;
        }
        epoll_event ev{};
        ev.events = EPOLLOUT;
        ev.data.u32 = static_cast<std::uint32_t>(s.index);
        epoll_ctl(epoll_, EPOLL_CTL_ADD, s.fd, &ev);
        s.state = LinkState::kConnecting;
        s.deadline = now + FromSeconds(options_.connectTimeout);
        watched_.push_back(s.index);
        ++connecting_;
    }
}

void Simulator::OnConnected(Station& s, Clock::time_point now)
{
    --connecting_;
    const bool station = IsStation(s);
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(s.fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
        if (options_.verbose) log_ << s.id.station << " connect: " << std::strerror(error) << '\n';
        ++(station ? summary_.connectFailures : summary_.extraConnectFailures);
        Close(s, false);
        return;
    }
    if (!station) {
        OnExtraConnected(s, now);
        return;
    }
    // A reconnection is not another station.
    if (s.generation == 1) ++summary_.connected;
    Arm(s, false);
    if (options_.registration) {
        s.state = LinkState::kRegistering;
        s.deadline = now + FromSeconds(options_.connectTimeout);
        watched_.push_back(s.index);
        s.out += RegistrationPacket(s.id.station, options_.freshStart);  // no frame
        Flush(s);
        return;
    }
    ReadyToSend(s, now);
}

// Links that are not stations: random bytes at a low rate, or quiet in one of
// three ways that leave the centre holding a half-open connection.
void Simulator::OnExtraConnected(Station& s, Clock::time_point now)
{
    Arm(s, false);
    s.state = LinkState::kReady;
    switch (s.role) {
    case Role::kGarbage:
        ++summary_.garbageLinks;
        Push(s, now + FromSeconds(options_.garbageEvery * (NextRandom(s.random) % 1000) / 1000.0), TimerKind::kGarbage);
        break;
    case Role::kPartial: {
        ++summary_.halfOpenLinks;
        // The header and part of the body of a good frame, then nothing.
        const CalendarTime t = LocalNow();
        const std::string frame = EncodeUplinkFrame(
            s.id, "32", ReportBody(ReportKind::kTimed, s.id, TakeSerial(s), t, t, s.readings));
        Queue(s, std::string_view(frame).substr(0, frame.size() / 2));
        --summary_.framesSent;  // not a frame
        Flush(s);
        break;
    }
    case Role::kHalfClosed:
        ++summary_.halfOpenLinks;
        ::shutdown(s.fd, SHUT_WR);
        break;
    case Role::kSilent:
        ++summary_.halfOpenLinks;
        break;
    case Role::kStation:
        break;
    }
}

void Simulator::SendGarbage(Station& s)
{
    std::string bytes;
    if (NextRandom(s.random) % 4 == 0) {
        // A frame of a station that does not exist, its check code spoilt:
        // framing takes it whole, the check refuses it.
        const CalendarTime t = LocalNow();
        bytes = EncodeUplinkFrame(s.id, "32", ReportBody(ReportKind::kTimed, s.id, TakeSerial(s), t, t, s.readings));
        char& last = bytes[bytes.size() - 1];
        last = last == '0' ? '1' : '0';
    } else {
        // Random bytes without a start of header, so that no frame can begin.
        const std::size_t n = 16 + NextRandom(s.random) % 113;
        bytes.resize(n);
        for (char& c : bytes) {
            const auto b = static_cast<unsigned char>(NextRandom(s.random) >> 24);
            c = static_cast<char>(b == static_cast<unsigned char>(kSoh) ? 0 : b);
        }
    }
    summary_.garbageBytes += bytes.size();
    s.out += bytes;
    Flush(s);
}

void Simulator::ReadyToSend(Station& s, Clock::time_point now)
{
    s.state = LinkState::kReady;
    if (IsStation(s)) {
        ++held_;
        summary_.heldPeak = std::max(summary_.heldPeak, held_);
    }
    if (options_.pictureBytes > 0 && s.generation <= 1) StartPicture(s);
    for (; s.burstOwed > 0; --s.burstOwed) {
        if (!s.doneSending && !SendingOver(s, now)) SendReport(s, s.burstOwedWindow);
    }
    if (options_.fast) {
        if (!s.doneSending) SendReport(s);
    } else if (options_.rate > 0) {
        // Stations take their turns spread evenly over the send interval; a
        // station that connects again keeps its turn.
        const Clock::duration spacing = FromSeconds(1.0 / options_.rate);
        s.nextReport = std::max({start_ + spacing * s.index, s.nextReport, now});
        Push(s, s.nextReport, TimerKind::kReport);
    }
    if (options_.keepAlive > 0) {
        s.nextKeepAlive = now + FromSeconds(options_.keepAlive);
        Push(s, s.nextKeepAlive, TimerKind::kKeepAlive);
    }
    if (s.reconnecting && options_.reconnectEvery > 0) {
        // About every reconnectEvery seconds: half to one and a half of it.
        const double after = options_.reconnectEvery * (0.5 + (NextRandom(s.random) % 1000) / 1000.0);
        Push(s, now + FromSeconds(after), TimerKind::kReconnect);
    }
}

bool Simulator::SendingOver(const Station& s, Clock::time_point now) const
{
    if (options_.count > 0 && s.reportsSent >= options_.count) return true;
    if (options_.duration > 0 && now - start_ >= FromSeconds(options_.duration)) return true;
    return false;
}

ReportKind Simulator::NextKind(Station& s, bool burst) const
{
    switch (burst && options_.burstKindGiven ? options_.burstKind : options_.kind) {
    case KindChoice::kTimed: return ReportKind::kTimed;
    case KindChoice::kAlarm: return ReportKind::kAlarm;
    case KindChoice::kHourly: return ReportKind::kHourly;
    case KindChoice::kFiveMinute: return ReportKind::kFiveMinute;
    case KindChoice::kKeepAlive: return ReportKind::kKeepAlive;
    case KindChoice::kMix: break;
    }
    // Mostly timed reports, as in a real network: 32 32 35 32 33 32 34 35.
    static const ReportKind kCycle[] = {ReportKind::kTimed, ReportKind::kTimed, ReportKind::kFiveMinute,
                                        ReportKind::kTimed, ReportKind::kAlarm, ReportKind::kTimed,
                                        ReportKind::kHourly, ReportKind::kFiveMinute};
    return kCycle[(s.reportsSent + static_cast<std::uint64_t>(s.index)) % 8];
}

std::uint16_t Simulator::TakeSerial(Station& s)
{
    const std::uint16_t serial = s.serial;
    s.serial = serial >= 0xFFFE ? 1 : static_cast<std::uint16_t>(serial + 1);
    return serial;
}

// A burst report names its window; any other report counts in the window
// it is sent in, if any.
void Simulator::SendReport(Station& s, int burstWindow)
{
    const ReportKind kind = NextKind(s, burstWindow >= 0);
    const CalendarTime sendTime = LocalNow();
    const CalendarTime observed = options_.observedNow ? sendTime : s.observed;
    const std::uint16_t serial = TakeSerial(s);
    const std::string code = FunctionCodeOf(kind);
    const std::string frame =
        EncodeUplinkFrame(s.id, code, ReportBody(kind, s.id, serial, sendTime, observed, s.readings, s.variant++));
    const Clock::time_point now = Clock::now();
    if (!anySent_) {
        anySent_ = true;
        firstSend_ = now;
    }
    if (kind == ReportKind::kKeepAlive) {
        ++summary_.keepAlivesSent;
    } else {
        Pending p{};
        std::memcpy(p.serial, frame.data() + 24, 4);
        std::memcpy(p.functionCode, code.data(), 2);
        p.sent = now;
        p.report = true;
        p.kind = kind;
        p.observed = observed;
        p.window = burstWindow >= 0 ? burstWindow : CurrentWindow(now);
        if (p.window >= 0) ++summary_.burstFrames;
        s.pending.push_back(p);
        ++s.reportsInFlight;
        ++summary_.expectedAcks;
    }
    ++summary_.reportsSent;
    ++s.reportsSent;
    s.readings.Step();
    s.observed = AddMinutes(s.observed, kind == ReportKind::kHourly ? 60 : 5);
    Queue(s, frame);
    Flush(s);
}

void Simulator::SendKeepAlive(Station& s)
{
    const std::uint16_t serial = TakeSerial(s);
    const CalendarTime now = LocalNow();
    Queue(s, EncodeUplinkFrame(s.id, "2F", ReportBody(ReportKind::kKeepAlive, s.id, serial, now, now, s.readings)));
    ++summary_.keepAlivesSent;
    Flush(s);
}

void Simulator::Queue(Station& s, std::string_view frame)
{
    // On the shared line frames go out whole in the order they were made.
    (Serial() ? lineOut_ : s.out).append(frame);
    ++summary_.framesSent;
}

void Simulator::Flush(Station& s)
{
    if (Serial()) {
        FlushLine();
        return;
    }
    if (s.fd < 0) return;
    std::size_t written = 0;
    while (written < s.out.size()) {
        const ssize_t n = ::send(s.fd, s.out.data() + written, s.out.size() - written, MSG_NOSIGNAL);
        if (n > 0) {
            written += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        Close(s, true);
        return;
    }
    s.out.erase(0, written);
    Arm(s, !s.out.empty());
}

void Simulator::Arm(Station& s, bool write)
{
    if (s.fd < 0 || (s.writeArmed == write && s.state != LinkState::kConnecting)) return;
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLRDHUP | (write ? EPOLLOUT : 0u);
    ev.data.u32 = static_cast<std::uint32_t>(s.index);
    epoll_ctl(epoll_, EPOLL_CTL_MOD, s.fd, &ev);
    s.writeArmed = write;
}

void Simulator::OnWritable(Station& s)
{
    Flush(s);
}

void Simulator::OnReadable(Station& s)
{
    char buffer[65536];
    while (s.fd >= 0 && s.state != LinkState::kClosed) {
        const ssize_t n = ::recv(s.fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            Consume(s, std::string_view(buffer, static_cast<std::size_t>(n)));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        // End of stream or a reset: the centre closed the link.
        if (options_.verbose) log_ << s.id.station << " link closed by the centre\n";
        if (s.state == LinkState::kRegistering) ++summary_.registrationFailures;
        Close(s, true);
        return;
    }
}

void Simulator::Consume(Station& s, std::string_view bytes)
{
    if (!IsStation(s)) return;  // what the centre says to other links is not looked at
    if (s.state == LinkState::kRegistering) {
        const std::size_t take = std::min(bytes.size(), kRegistrationPacketBytes - s.echo.size());
        s.echo.append(bytes.substr(0, take));
        bytes.remove_prefix(take);
        if (s.echo.size() < kRegistrationPacketBytes) return;
        if (s.echo != RegistrationPacket(s.id.station, options_.freshStart)) {
            if (options_.verbose) log_ << s.id.station << " registration echo differs: " << Shown(s.echo) << '\n';
            ++summary_.registrationFailures;
            Close(s, false);
            return;
        }
        if (options_.verbose) log_ << s.id.station << " <- registration echo " << s.echo << '\n';
        ++summary_.registrationsEchoed;
        ReadyToSend(s, Clock::now());
    }
    StationSink sink(*this, s);
    CutFrames(*s.framing, bytes, sink);
}

void Simulator::OnFrame(Station& s, std::string_view frame)
{
    if (LooksLikeAcknowledgement(frame)) {
        OnAcknowledgement(s, frame);
    } else if (frame.size() >= kFrameOverhead && frame[frame.size() - 5] == kEnq) {
        OnCommand(s, frame);
    } else {
        ++summary_.otherFrames;
        if (options_.verbose) log_ << s.id.station << " <- other frame " << Shown(frame) << '\n';
    }
}

void Simulator::OnAcknowledgement(Station& s, std::string_view frame)
{
    const Clock::time_point now = Clock::now();
    // An answer echoes the command's serial number, which may equal one of the
    // station's own: the function code tells them apart.
    const std::string_view serial = frame.size() >= 28 ? frame.substr(24, 4) : std::string_view();
    const std::string_view code = frame.size() >= 28 ? frame.substr(17, 2) : std::string_view();
    auto it = std::find_if(s.pending.begin(), s.pending.end(), [&](const Pending& p) {
        return std::string_view(p.serial, 4) == serial && std::string_view(p.functionCode, 2) == code;
    });
    if (it == s.pending.end()) {
        it = std::find_if(s.pending.begin(), s.pending.end(),
                          [&](const Pending& p) { return std::string_view(p.serial, 4) == serial; });
    }
    if (it == s.pending.end()) {
        ++summary_.badAcks;
        if (options_.verbose) log_ << s.id.station << " <- acknowledgement of no frame in flight " << Shown(frame) << '\n';
        return;
    }
    const Pending p = *it;
    s.pending.erase(it);
    if (p.report) --s.reportsInFlight;
    SentFrame sent{s.id.station, s.id.centre, s.id.password, std::string_view(p.functionCode, 2),
                   std::string_view(p.serial, 4)};
    const AckCheck check = CheckAcknowledgement(frame, sent);
    const auto latencyUs = std::chrono::duration_cast<std::chrono::microseconds>(now - p.sent).count();
    if (check == AckCheck::kGood) {
        ++summary_.acknowledged;
        const auto latency = static_cast<std::uint32_t>(std::min<long long>(latencyUs, UINT32_MAX));
        latenciesUs_.push_back(latency);
        lastAck_ = now;
        CountRows(s, p);
        if (p.window >= 0) {
            BurstWindow& w = windows_[static_cast<std::size_t>(p.window)];
            w.lastAck = std::max(w.lastAck, now);
            w.acked = true;
            ++summary_.burstAcked;
            burstLatenciesUs_.push_back(latency);
        }
        if (options_.verbose) {
            log_ << s.id.station << " <- ACK " << sent.functionCode << " #" << sent.serial << " after "
                 << std::fixed << std::setprecision(3) << latencyUs / 1000.0 << " ms: " << Shown(frame) << '\n';
        }
    } else {
        ++summary_.badAcks;
        if (options_.verbose) {
            log_ << s.id.station << " <- bad acknowledgement (" << AckCheckText(check) << ") of "
                 << sent.functionCode << " #" << sent.serial << ": " << Shown(frame) << '\n';
        }
    }
    if (s.reconnectDue && s.pending.empty() && s.state == LinkState::kReady) {
        // Closed from the timers, not while its bytes are being read.
        Push(s, now, TimerKind::kReconnect);
        return;
    }
    if (options_.fast && p.report && s.reportsInFlight == 0 && !s.doneSending && s.state == LinkState::kReady) {
        if (SendingOver(s, now)) {
            s.doneSending = true;
        } else {
            SendReport(s);
        }
    }
}

// The rows an acknowledged frame leaves in the centre's tables. Hourly and
// five-minute reports share DeviceHourData: an hourly report makes a row for
// each of its twelve steps unless an hourly row of that slot exists (else it
// updates it); a five-minute report makes a row for its slot only when the
// slot has no row at all.
void Simulator::CountRows(Station& s, const Pending& p)
{
    ExpectedRows& rows = summary_.rows;
    ++rows.receiveData;
    if (!p.report) {
        ++summary_.ackedAnswers;
        return;
    }
    switch (p.kind) {
    case ReportKind::kTimed:
        ++summary_.acked32;
        rows.deviceTimingData += kTimedReadings;
        ++rows.precipitation;
        ++rows.river;
        break;
    case ReportKind::kAlarm:
        ++summary_.acked33;
        ++rows.deviceAlarmData;
        break;
    case ReportKind::kHourly: {
        ++summary_.acked34;
        CalendarTime hour = p.observed;
        hour.minute = 0;
        for (int step = 0; step < 12; ++step) {
            std::uint8_t& slot = s.slots[MinuteKey(FiveMinuteStepTime(hour, step))];
            if ((slot & kHourlyRow) == 0) ++rows.deviceHourData;
            slot |= kHourlyRow | kAnyRow;
        }
        break;
    }
    case ReportKind::kFiveMinute: {
        ++summary_.acked35;
        std::uint8_t& slot = s.slots[MinuteKey(FiveMinuteSlot(p.observed))];
        if ((slot & kAnyRow) == 0) ++rows.deviceHourData;
        slot |= kAnyRow;
        break;
    }
    case ReportKind::kKeepAlive:
        break;
    }
    // Observation times only walk forward: slots over two hours behind the
    // walk are never reported again.
    CalendarTime horizon = s.observed;
    if (horizon.hour >= 3) {
        horizon.hour -= 3;
    } else {
        horizon = PreviousDay(horizon);
        horizon.hour += 21;
    }
    const long long oldest = MinuteKey(horizon);
    while (!s.slots.empty() && s.slots.begin()->first < oldest) s.slots.erase(s.slots.begin());
}

void Simulator::OnCommand(Station& s, std::string_view frame)
{
    ++summary_.commandsReceived;
    DownlinkFields command;
    if (!ReadDownlink(frame, command) || !VerifyCheckCode(frame)) {
        if (options_.verbose) log_ << s.id.station << " <- malformed command " << Shown(frame) << '\n';
        return;
    }
    if (options_.verbose) {
        log_ << s.id.station << " <- command " << command.functionCode << " #" << command.serial << " '"
             << Shown(command.text) << "'\n";
    }
    if (command.station != s.id.station) {
        if (options_.verbose) log_ << s.id.station << "    addressed to " << command.station << ", not answered\n";
        return;
    }
    if (OnPictureCommand(s, command)) return;
    RememberCommand(command, s.memory);
    const std::string answer =
        EncodeUplinkFrame(s.id, command.functionCode, AnswerBody(command, s.id, LocalNow(), s.readings, &s.memory));
    Pending p{};
    std::memcpy(p.serial, answer.data() + 24, 4);
    std::memcpy(p.functionCode, answer.data() + 17, 2);
    p.sent = Clock::now();
    p.report = false;
    p.window = -1;
    s.pending.push_back(p);
    ++summary_.expectedAcks;
    ++summary_.answersSent;
    if (options_.verbose) log_ << s.id.station << " -> answer " << Shown(answer) << '\n';
    Queue(s, answer);
    Flush(s);
}

void Simulator::StartPicture(Station& s)
{
    if (s.pictureActive) return;
    const std::size_t packet = std::clamp<std::size_t>(options_.packetSize, 1, kMaxPicturePayload);
    const std::size_t size = options_.pictureBytes > 0 ? options_.pictureBytes : 8192;
    char flag[16];
    std::snprintf(flag, sizeof flag, "%04d", ++s.pictures % 10000);
    s.picture.flag = flag;
    s.pictureBytes = PictureBytes(size, options_.seed * 31u + static_cast<std::uint32_t>(s.index));
    s.pictureTotal = static_cast<int>(std::min<std::size_t>((size + packet - 1) / packet, 0xFFF));
    s.pictureActive = true;
    ++summary_.picturesStarted;
    if (options_.verbose) {
        log_ << s.id.station << " -> picture " << s.picture.flag << ": " << size << " bytes in " << s.pictureTotal
             << " packets\n";
    }
    for (int n = 1; n <= std::min(5, s.pictureTotal); ++n) {
        SendPicturePacket(s, n);
    }
    Flush(s);
}

void Simulator::SendPicturePacket(Station& s, int number)
{
    if (number < 1 || number > s.pictureTotal) return;
    const std::size_t packet = std::clamp<std::size_t>(options_.packetSize, 1, kMaxPicturePayload);
    const std::size_t from = static_cast<std::size_t>(number - 1) * packet;
    const std::string_view payload = std::string_view(s.pictureBytes).substr(std::min(from, s.pictureBytes.size()), packet);
    Queue(s, EncodeUplinkFrame(s.id, "81", PicturePacketBody(s.pictureTotal, number, s.picture, payload), kSyn));
    ++summary_.picturePackets;
}

// 81 commands: a picture request starts a picture; the answer to a window of
// the picture being sent sends the next window or the packets asked for
// again. False when the command is neither (it is answered like any other).
bool Simulator::OnPictureCommand(Station& s, const DownlinkFields& command)
{
    if (command.functionCode != "81") return false;
    if (IsPictureRequest(command.text)) {
        StartPicture(s);
        return true;
    }
    if (!s.pictureActive) return false;
    const PictureAnswer answer = ReadPictureAnswer(command.text);
    if (!answer.valid || answer.flag != s.picture.flag) return false;
    if (!answer.missing.empty()) {
        for (int n : answer.missing) {
            SendPicturePacket(s, n);
            ++summary_.packetsResent;
        }
    } else if (answer.good >= s.pictureTotal) {
        s.pictureActive = false;
        ++summary_.picturesCompleted;
        if (options_.verbose) log_ << s.id.station << "    picture " << s.picture.flag << " complete\n";
    } else {
        for (int n = answer.good + 1; n <= std::min(answer.good + 5, s.pictureTotal); ++n) {
            SendPicturePacket(s, n);
        }
    }
    Flush(s);
    return true;
}

void Simulator::Close(Station& s, bool byCentre)
{
    if (Serial()) {
        // The line is shared: only losing it ends a station (LoseLine).
        if (s.state == LinkState::kReady) --held_;
        s.state = LinkState::kClosed;
        return;
    }
    if (s.fd >= 0) {
        epoll_ctl(epoll_, EPOLL_CTL_DEL, s.fd, nullptr);
        ::close(s.fd);
        s.fd = -1;
    }
    if (byCentre && s.state != LinkState::kClosed) {
        ++(IsStation(s) ? summary_.closedByCentre : summary_.extraClosedByCentre);
    }
    if (s.state == LinkState::kReady && IsStation(s)) --held_;
    s.state = LinkState::kClosed;
    s.out.clear();
}

bool Simulator::OpenLine()
{
    unsigned int speed = 0;
    if (!SerialSpeed(options_.baud, speed)) {
        log_ << "stationsim: no such line speed " << options_.baud << '\n';
        return false;
    }
    line_ = ::open(options_.serialDevice.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (line_ < 0) {
        log_ << "stationsim: cannot open " << options_.serialDevice << ": " << std::strerror(errno) << '\n';
        return false;
    }
    // Raw 8N1 bytes with no flow control; reads return what has arrived.
    termios t{};
    const bool configured = ::isatty(line_) != 0 && tcgetattr(line_, &t) == 0 && [&] {
        cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS | CSTOPB | PARENB);
        t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
        t.c_cc[VMIN] = 1;
        t.c_cc[VTIME] = 0;
        return cfsetispeed(&t, speed) == 0 && cfsetospeed(&t, speed) == 0;
    }() && tcsetattr(line_, TCSANOW, &t) == 0;
    if (!configured) {
        log_ << "stationsim: " << options_.serialDevice << " is not a serial line that can be set to "
             << options_.baud << " baud: " << std::strerror(errno) << '\n';
        ::close(line_);
        line_ = -1;
        return false;
    }
    tcflush(line_, TCIFLUSH);  // bytes from before this run belong to nobody
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u32 = kLineTag;
    if (epoll_ctl(epoll_, EPOLL_CTL_ADD, line_, &ev) != 0) {
        log_ << "stationsim: epoll_ctl: " << std::strerror(errno) << '\n';
        ::close(line_);
        line_ = -1;
        return false;
    }
    if (options_.verbose) {
        log_ << "serial line " << options_.serialDevice << " open at " << options_.baud << " baud\n";
    }
    return true;
}

void Simulator::OnLineReadable()
{
    char buffer[65536];
    while (line_ >= 0) {
        const ssize_t n = ::read(line_, buffer, sizeof buffer);
        if (n > 0) {
            LineSink sink(*this);
            CutFrames(lineFraming_, std::string_view(buffer, static_cast<std::size_t>(n)), sink);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        // 0 or EIO: the other end of the line (a pseudo-terminal's master,
        // or a converter that was unplugged) is gone.
        LoseLine();
        return;
    }
}

void Simulator::OnLineFrame(std::string_view frame)
{
    // Every frame of the centre names the station right after SOH.
    const auto it = frame.size() > 11 ? byAddress_.find(std::string(frame.substr(1, 10))) : byAddress_.end();
    if (it == byAddress_.end()) {
        ++summary_.otherFrames;
        if (options_.verbose) log_ << "line <- frame for no station here " << Shown(frame) << '\n';
        return;
    }
    Station& s = *stations_[static_cast<std::size_t>(it->second)];
    if (s.state == LinkState::kReady) OnFrame(s, frame);
}

void Simulator::FlushLine()
{
    std::size_t written = 0;
    while (line_ >= 0 && written < lineOut_.size()) {
        const ssize_t n = ::write(line_, lineOut_.data() + written, lineOut_.size() - written);
        if (n > 0) {
            written += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        LoseLine();
        return;
    }
    lineOut_.erase(0, written);
    const bool wantWrite = !lineOut_.empty();
    if (line_ >= 0 && wantWrite != lineWriteArmed_) {
        epoll_event ev{};
        ev.events = EPOLLIN | (wantWrite ? EPOLLOUT : 0u);
        ev.data.u32 = kLineTag;
        epoll_ctl(epoll_, EPOLL_CTL_MOD, line_, &ev);
        lineWriteArmed_ = wantWrite;
    }
}

void Simulator::LoseLine()
{
    if (line_ < 0) return;
    log_ << "stationsim: serial line " << options_.serialDevice << " lost\n";
    epoll_ctl(epoll_, EPOLL_CTL_DEL, line_, nullptr);
    ::close(line_);
    line_ = -1;
    lineOut_.clear();
    summary_.serialLineLost = true;
    held_ = 0;
    for (auto& s : stations_) {
        if (s->state != LinkState::kClosed) {
            s->state = LinkState::kClosed;
            ++summary_.closedByCentre;
        }
    }
}

}  // namespace

bool SerialSpeed(unsigned long baud, unsigned int& speed)
{
    static const struct {
        unsigned long baud;
        speed_t speed;
    } kSpeeds[] = {{110, B110},       {300, B300},       {600, B600},       {1200, B1200},     {2400, B2400},
                   {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
                   {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600}};
    for (const auto& s : kSpeeds) {
        if (s.baud == baud) {
            speed = s.speed;
            return true;
        }
    }
    return false;
}

void SimSummary::Print(std::ostream& out) const
{
    out << "stations: " << stations << ", connected " << connected << ", failed to connect " << connectFailures
        << ", closed by the centre " << closedByCentre << '\n';
    if (serialLineLost) out << "serial line lost\n";
    if (registrationsEchoed > 0 || registrationFailures > 0) {
        out << "registrations: echoed " << registrationsEchoed << ", failed " << registrationFailures << '\n';
    }
    out << "frames sent: " << framesSent << " (reports " << reportsSent << ", keep-alives " << keepAlivesSent
        << ", answers " << answersSent << ")\n";
    out << "acknowledged: " << acknowledged << " of " << expectedAcks << ", bad acknowledgements " << badAcks
        << ", missing " << missingAcks << '\n';
    out << "commands received: " << commandsReceived << ", other frames " << otherFrames << '\n';
    if (picturesStarted > 0) {
        out << "pictures: started " << picturesStarted << ", completed " << picturesCompleted << ", packets "
            << picturePackets << " (sent again " << packetsResent << ")\n";
    }
    out << std::fixed << std::setprecision(3) << "acknowledgement latency: p50 " << p50Ms << " ms, p99 " << p99Ms
        << " ms, max " << maxMs << " ms\n";
    out << std::setprecision(1) << "acknowledged frames per second: " << AckedPerSecond() << " ("
        << acknowledged << " in " << std::setprecision(3) << seconds << " s)\n";
    out.unsetf(std::ios::floatfield);
    out << "acknowledged by kind: 32 " << acked32 << ", 33 " << acked33 << ", 34 " << acked34 << ", 35 " << acked35
        << ", answers " << ackedAnswers << '\n';
    out << "rows expected: ReceiveData " << rows.receiveData << ", DeviceTimingData " << rows.deviceTimingData
        << ", DeviceAlarmData " << rows.deviceAlarmData << ", DeviceHourData " << rows.deviceHourData
        << "; with the secondary database ST_PPTN_R " << rows.precipitation << ", ST_RIVER_R " << rows.river << '\n';
    out << "station links held: peak " << heldPeak << ", at the end " << heldAtEnd << ", reconnects " << reconnects
        << '\n';
    if (burstWindows > 0) {
        out << std::fixed << std::setprecision(1) << "bursts: " << burstWindows << " windows, " << burstFrames
            << " frames, " << burstAcked << " acknowledged, " << BurstAckedPerSecond()
            << " acknowledged frames per second" << std::setprecision(3) << ", latency p50 " << burstP50Ms
            << " ms, p99 " << burstP99Ms << " ms, max " << burstMaxMs << " ms\n";
        out.unsetf(std::ios::floatfield);
    }
    if (garbageLinks > 0 || halfOpenLinks > 0 || extraConnectFailures > 0) {
        out << "other links: garbage " << garbageLinks << " (" << garbageBytes << " bytes), half-open "
            << halfOpenLinks << ", failed to connect " << extraConnectFailures << ", closed by the centre "
            << extraClosedByCentre << ", held at the end " << extraHeldAtEnd << '\n';
    }
}

SimSummary RunSimulation(const SimOptions& options, std::ostream& log)
{
    Simulator sim(options, log);
    return sim.Run();
}

std::uint64_t RaiseOpenFileLimit(std::uint64_t wanted)
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
    if (limit.rlim_cur >= wanted) return limit.rlim_cur;
    rlimit raised = limit;
    raised.rlim_cur = std::max<rlim_t>(limit.rlim_cur, std::min<rlim_t>(wanted, limit.rlim_max));
    if (raised.rlim_cur < wanted) {
        // Only a privileged process may raise the hard limit.
        raised.rlim_max = wanted;
        raised.rlim_cur = wanted;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) return wanted;
        raised.rlim_max = limit.rlim_max;
        raised.rlim_cur = limit.rlim_max;
    }
    setrlimit(RLIMIT_NOFILE, &raised);
    getrlimit(RLIMIT_NOFILE, &limit);
    return limit.rlim_cur;
}

}  // namespace rtu::sim
