#include "tools/stationsim/Simulator.h"

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
};

enum class LinkState { kWaiting, kConnecting, kRegistering, kReady, kClosed };

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

enum class TimerKind { kReport, kKeepAlive };

struct Timer {
    Clock::time_point due;
    int station;
    TimerKind kind;
    bool operator>(const Timer& other) const { return due > other.due; }
};

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
    void SendReport(Station& s);
    void SendKeepAlive(Station& s);
    void StartPicture(Station& s);
    void SendPicturePacket(Station& s, int number);
    bool OnPictureCommand(Station& s, const DownlinkFields& command);
    void Queue(Station& s, std::string_view frame);
    void Flush(Station& s);
    void Arm(Station& s, bool write);
    void Close(Station& s, bool byCentre);
    bool SendingOver(const Station& s, Clock::time_point now) const;
    ReportKind NextKind(Station& s) const;
    std::uint16_t TakeSerial(Station& s);

    const SimOptions& options_;
    std::ostream& log_;
    int epoll_ = -1;
    sockaddr_in address_{};
    std::vector<std::unique_ptr<Station>> stations_;
    std::priority_queue<Timer, std::vector<Timer>, std::greater<Timer>> timers_;
    std::size_t nextToConnect_ = 0;
    int connecting_ = 0;
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

    stations_.reserve(static_cast<std::size_t>(options_.stations));
    for (int i = 0; i < options_.stations; ++i) {
        StationIdentity id;
        id.centre = options_.centre;
        id.station = StationAddress(options_.base + static_cast<std::uint64_t>(i));
        id.password = options_.password;
        if (options_.wrongPassword) {
            id.password = options_.password == "0000" ? "1111" : "0000";
        }
        auto s = std::make_unique<Station>(i, std::move(id), options_.seed * 7919u + static_cast<std::uint32_t>(i));
        s->observed = walkStart;
        s->variant = i;
        byAddress_.emplace(s->id.station, i);
        stations_.push_back(std::move(s));
    }

    start_ = Clock::now();
    const Clock::duration spacing = FromSeconds(options_.rate > 0 ? 1.0 / options_.rate : 1.0);
    Clock::time_point drainDeadline{};
    bool draining = false;
    std::vector<epoll_event> events(256);

    if (serial) {
        // Every station is on the line from the start.
        nextToConnect_ = stations_.size();
        for (auto& s : stations_) {
            ++summary_.connected;
            ReadyToSend(*s, start_);
        }
    }

    while (true) {
        Clock::time_point now = Clock::now();
        StartConnects(now);

        // Deadlines of connections and registration echoes.
        for (auto& s : stations_) {
            if ((s->state == LinkState::kConnecting || s->state == LinkState::kRegistering) && now >= s->deadline) {
                if (s->state == LinkState::kConnecting) {
                    ++summary_.connectFailures;
                    --connecting_;
                    if (options_.verbose) log_ << s->id.station << " connection timed out\n";
                } else {
                    ++summary_.registrationFailures;
                    if (options_.verbose) log_ << s->id.station << " registration not echoed in time\n";
                }
                Close(*s, false);
            }
        }

        // Reports and keep-alives that are due.
        while (!timers_.empty() && timers_.top().due <= now) {
            const Timer t = timers_.top();
            timers_.pop();
            Station& s = *stations_[static_cast<std::size_t>(t.station)];
            if (s.state != LinkState::kReady) continue;
            if (t.kind == TimerKind::kReport) {
                if (s.nextReport != t.due || s.doneSending) continue;
                if (SendingOver(s, now)) {
                    s.doneSending = true;
                    continue;
                }
                SendReport(s);
                s.nextReport = std::max(t.due + spacing * options_.stations, now);
                timers_.push({s.nextReport, s.index, TimerKind::kReport});
            } else if (!SendingOver(s, now)) {
                SendKeepAlive(s);
                s.nextKeepAlive = t.due + FromSeconds(options_.keepAlive);
                timers_.push({s.nextKeepAlive, s.index, TimerKind::kKeepAlive});
            }
        }

        // The end: every station has sent what it had to, or cannot send.
        if (!draining) {
            bool allDone = nextToConnect_ >= stations_.size() && connecting_ == 0;
            for (auto& s : stations_) {
                if (!allDone) break;
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
            }
        }
        if (draining) {
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

        // Wait for the sockets, at most until the next timer or 50 ms.
        int timeoutMs = 50;
        if (!timers_.empty()) {
            const auto untilNext = std::chrono::duration_cast<std::chrono::milliseconds>(timers_.top().due - now);
            timeoutMs = static_cast<int>(std::clamp<long long>(untilNext.count(), 0, 50));
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
            if (s.state == LinkState::kClosed) continue;
            if ((what & (EPOLLIN | EPOLLERR | EPOLLHUP | EPOLLRDHUP)) != 0) OnReadable(s);
            if (s.state != LinkState::kClosed && (what & EPOLLOUT) != 0) OnWritable(s);
        }
    }

    for (auto& s : stations_) {
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
        const auto at = [&](double q) {
            const auto i = static_cast<std::size_t>(std::ceil(q * static_cast<double>(latenciesUs_.size()))) - 1;
            return latenciesUs_[std::min(i, latenciesUs_.size() - 1)] / 1000.0;
        };
        summary_.p50Ms = at(0.50);
        summary_.p99Ms = at(0.99);
        summary_.maxMs = latenciesUs_.back() / 1000.0;
    }
    return summary_;
}

void Simulator::StartConnects(Clock::time_point now)
{
    while (nextToConnect_ < stations_.size() && connecting_ < options_.connectBurst) {
        Station& s = *stations_[nextToConnect_++];
        s.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (s.fd < 0) {
            log_ << "stationsim: socket: " << std::strerror(errno) << '\n';
            ++summary_.connectFailures;
            s.state = LinkState::kClosed;
            continue;
        }
        int on = 1;
        setsockopt(s.fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        const int rc = ::connect(s.fd, reinterpret_cast<const sockaddr*>(&address_), sizeof address_);
        if (rc != 0 && errno != EINPROGRESS) {
            if (options_.verbose) log_ << s.id.station << " connect: " << std::strerror(errno) << '\n';
            ++summary_.connectFailures;
            Close(s, false);
            continue;
        }
        epoll_event ev{};
        ev.events = EPOLLOUT;
        ev.data.u32 = static_cast<std::uint32_t>(s.index);
        epoll_ctl(epoll_, EPOLL_CTL_ADD, s.fd, &ev);
        s.state = LinkState::kConnecting;
        s.deadline = now + FromSeconds(options_.connectTimeout);
        ++connecting_;
    }
}

void Simulator::OnConnected(Station& s, Clock::time_point now)
{
    --connecting_;
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(s.fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
        if (options_.verbose) log_ << s.id.station << " connect: " << std::strerror(error) << '\n';
        ++summary_.connectFailures;
        Close(s, false);
        return;
    }
    ++summary_.connected;
    Arm(s, false);
    if (options_.registration) {
        s.state = LinkState::kRegistering;
        s.deadline = now + FromSeconds(options_.connectTimeout);
        s.out += RegistrationPacket(s.id.station, options_.freshStart);  // no frame
        Flush(s);
        return;
    }
    ReadyToSend(s, now);
}

void Simulator::ReadyToSend(Station& s, Clock::time_point now)
{
    s.state = LinkState::kReady;
    if (options_.pictureBytes > 0) StartPicture(s);
    if (options_.fast) {
        SendReport(s);
    } else {
        // Stations take their turns spread evenly over the send interval.
        const Clock::duration spacing = FromSeconds(options_.rate > 0 ? 1.0 / options_.rate : 1.0);
        s.nextReport = std::max(start_ + spacing * s.index, now);
        timers_.push({s.nextReport, s.index, TimerKind::kReport});
    }
    if (options_.keepAlive > 0) {
        s.nextKeepAlive = now + FromSeconds(options_.keepAlive);
        timers_.push({s.nextKeepAlive, s.index, TimerKind::kKeepAlive});
    }
}

bool Simulator::SendingOver(const Station& s, Clock::time_point now) const
{
    if (options_.count > 0 && s.reportsSent >= options_.count) return true;
    if (options_.duration > 0 && now - start_ >= FromSeconds(options_.duration)) return true;
    return false;
}

ReportKind Simulator::NextKind(Station& s) const
{
    switch (options_.kind) {
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

void Simulator::SendReport(Station& s)
{
    const ReportKind kind = NextKind(s);
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
    while (s.state != LinkState::kClosed) {
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
        latenciesUs_.push_back(static_cast<std::uint32_t>(std::min<long long>(latencyUs, UINT32_MAX)));
        lastAck_ = now;
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
    if (options_.fast && p.report && s.reportsInFlight == 0 && !s.doneSending && s.state == LinkState::kReady) {
        if (SendingOver(s, now)) {
            s.doneSending = true;
        } else {
            SendReport(s);
        }
    }
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
        s.state = LinkState::kClosed;
        return;
    }
    if (s.fd >= 0) {
        epoll_ctl(epoll_, EPOLL_CTL_DEL, s.fd, nullptr);
        ::close(s.fd);
        s.fd = -1;
    }
    if (byCentre && s.state != LinkState::kClosed) ++summary_.closedByCentre;
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
