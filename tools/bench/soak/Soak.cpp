// soak: the data centre under a network's load, bounded in time, on loopback.
//
// In a fresh folder it writes server.ini (SQLite main database, ParseDelay 0,
// a free port), copies config.ini and IOCP_log.cfg, starts `RTU --headless`
// there and runs the station simulator in this process: thousands of stations
// with keep-alives, reports at a steady rate, a burst at the top of every
// compressed hour, stations that reconnect, links that send garbage and
// half-open links. Meanwhile RTU's resident memory and the connections it
// holds are sampled from /proc. At the end RTU is stopped with SIGTERM (it
// drains its statement queue) and the rows in the database files are counted
// against the rows the acknowledged reports make.
//
// Exit status: 0 all held and stored; 1 a row missing (or more than
// expected), a report not acknowledged, a station that could not stay
// connected, or RTU crashed or did not start; 2 usage.
#include "rtu/storage/AdoDB.h"
#include "tools/stationsim/Simulator.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using rtu::sim::KindChoice;

struct SoakOptions {
    rtu::sim::SimOptions sim;
    bool quick = false;
    bool secondary = false;           // write the secondary database (third.db) as well
    std::string logLevel;             // level of the MAIN logger; empty: as IOCP_log.cfg has it
    int parseDelay = 0;
    double latencyGoalMs = 50;        // p99 in the bursts
    double stopLimit = 180;           // seconds for RTU to stop (it drains its statement queue)
    bool keep = false;                // keep the folder
    std::string rtuProgram = RTU_PROGRAM;
};

void SetFull(SoakOptions& o)
{
    rtu::sim::SimOptions& s = o.sim;
    s.stations = 10000;
    s.duration = 300;
    s.hour = 60;            // five compressed hours
    s.burstWindow = 5;      // 10,000 reports in 5 s: 2,000 frames per second
    s.burstReports = 1;
    s.rate = 100;           // reports between the bursts
    s.keepAlive = 30;
    s.kind = KindChoice::kMix;
    s.reconnectShare = 0.05;
    s.reconnectEvery = 30;
    s.garbage = 50;
    s.garbageEvery = 2;
    s.halfOpen = 150;
    s.sources = 8;
    s.connectBurst = 256;
    s.connectTimeout = 20;
    s.drain = 60;
}

void SetQuick(SoakOptions& o)
{
    rtu::sim::SimOptions& s = o.sim;
    o.quick = true;
    s.stations = 1000;
    s.duration = 40;
    s.hour = 12;            // bursts at 12, 24 and 36 s
    s.burstWindow = 2;      // 500 frames per second
    s.burstReports = 1;
    s.rate = 10;
    s.keepAlive = 10;
    s.kind = KindChoice::kMix;
    s.burstKindGiven = true;
    s.burstKind = KindChoice::kTimed;
    s.reconnectShare = 0.05;
    s.reconnectEvery = 10;
    s.garbage = 10;
    s.garbageEvery = 1;
    s.halfOpen = 30;
    s.sources = 2;
    s.connectBurst = 128;
    s.connectTimeout = 20;
    s.drain = 30;
    o.stopLimit = 60;
}

void PrintHelp()
{
    std::cout <<
        "usage: soak [--quick] [options]\n"
        "Starts RTU --headless on SQLite in a fresh folder, drives it with simulated\n"
        "stations over loopback, samples its memory and connections, stops it with\n"
        "SIGTERM and counts the stored rows against the acknowledged reports.\n"
        "\n"
        "  --quick              short form for CI: 1,000 stations, 40 s, bursts of timed\n"
        "                       reports at 500 frames/s; the latency goal is not checked\n"
        "Load (defaults of the full form in brackets):\n"
        "  --stations N         concurrent stations [10000]\n"
        "  --duration S         seconds of sending [300]\n"
        "  --hour S             length of a compressed hour; a burst at each top [60]\n"
        "  --burst-window S     every station reports within S seconds [5]\n"
        "  --burst-reports N    reports per station per burst [1]\n"
        "  --rate R             reports per second between the bursts [100]\n"
        "  --keepalive S        keep-alive of every station every S seconds [30]\n"
        "  --kind K             32|33|34|35|mix, reports between the bursts [mix]\n"
        "  --burst-kind K       kind of the burst reports [as --kind]\n"
        "  --reconnect-share F  share of stations that reconnect now and then [0.05]\n"
        "  --reconnect-every S  [30]\n"
        "  --garbage N          links sending random bytes [50]\n"
        "  --half-open N        half-open links [150]\n"
        "  --sources N          loopback source addresses [8]\n"
        "  --drain S            seconds to wait for the last acknowledgements [60]\n"
        "The data centre:\n"
        "  --secondary          also write the secondary database (SQLite third.db);\n"
        "                       default: main database rtu.db only\n"
        "  --log-level L        level of the MAIN logger (DEBUG, ERROR, ...); default:\n"
        "                       as the delivered IOCP_log.cfg (DEBUG, file Logs/RTU.log)\n"
        "  --parse-delay MS     ParseDelay [0]\n"
        "  --rtu PATH           the RTU program [the one built with this tool]\n"
        "  --latency-goal MS    p99 acknowledgement latency goal in the bursts [50]\n"
        "  --keep               keep the folder (its name is printed)\n";
}

bool ParseNumber(const char* text, double& out)
{
    if (text == nullptr) return false;
    char* end = nullptr;
    out = std::strtod(text, &end);
    return end != text && *end == '\0';
}

bool ParseKind(const char* text, KindChoice& kind)
{
    const std::string k = text != nullptr ? text : "";
    if (k == "32") kind = KindChoice::kTimed;
    else if (k == "33") kind = KindChoice::kAlarm;
    else if (k == "34") kind = KindChoice::kHourly;
    else if (k == "35") kind = KindChoice::kFiveMinute;
    else if (k == "mix") kind = KindChoice::kMix;
    else return false;
    return true;
}

// Options; false on a usage error (message printed).
bool ParseOptions(int argc, char** argv, SoakOptions& o)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) SetQuick(o);
    }
    if (!o.quick) SetFull(o);
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        double x = 0;
        const auto number = [&](double low, double high) {
            if (!ParseNumber(v, x) || !(x >= low && x <= high)) {
                std::cerr << "soak: " << arg << " needs a number from " << low << " to " << high << '\n';
                return false;
            }
            ++i;
            return true;
        };
        rtu::sim::SimOptions& s = o.sim;
        if (arg == "--quick") {
        } else if (arg == "--help" || arg == "-h") {
            PrintHelp();
            std::exit(0);
        } else if (arg == "--stations") {
            if (!number(1, 100000)) return false;
            s.stations = static_cast<int>(x);
        } else if (arg == "--duration") {
            if (!number(1, 86400)) return false;
            s.duration = x;
        } else if (arg == "--hour") {
            if (!number(1, 86400)) return false;
            s.hour = x;
        } else if (arg == "--burst-window") {
            if (!number(0.01, 86400)) return false;
            s.burstWindow = x;
        } else if (arg == "--burst-reports") {
            if (!number(1, 100)) return false;
            s.burstReports = static_cast<int>(x);
        } else if (arg == "--rate") {
            if (!number(0, 1e6)) return false;
            s.rate = x;
        } else if (arg == "--keepalive") {
            if (!number(0, 86400)) return false;
            s.keepAlive = x;
        } else if (arg == "--kind" || arg == "--burst-kind") {
            KindChoice kind{};
            if (!ParseKind(v, kind)) {
                std::cerr << "soak: " << arg << " needs 32, 33, 34, 35 or mix\n";
                return false;
            }
            ++i;
            if (arg == "--kind") {
                s.kind = kind;
                if (!o.quick) s.burstKindGiven = false;
            } else {
                s.burstKind = kind;
                s.burstKindGiven = true;
            }
        } else if (arg == "--reconnect-share") {
            if (!number(0, 1)) return false;
            s.reconnectShare = x;
        } else if (arg == "--reconnect-every") {
            if (!number(0.1, 86400)) return false;
            s.reconnectEvery = x;
        } else if (arg == "--garbage") {
            if (!number(0, 10000)) return false;
            s.garbage = static_cast<int>(x);
        } else if (arg == "--half-open") {
            if (!number(0, 10000)) return false;
            s.halfOpen = static_cast<int>(x);
        } else if (arg == "--sources") {
            if (!number(1, 254)) return false;
            s.sources = static_cast<int>(x);
        } else if (arg == "--drain") {
            if (!number(0, 3600)) return false;
            s.drain = x;
        } else if (arg == "--secondary") {
            o.secondary = true;
        } else if (arg == "--log-level") {
            if (v == nullptr || *v == '\0') {
                std::cerr << "soak: --log-level needs a level\n";
                return false;
            }
            o.logLevel = v;
            ++i;
        } else if (arg == "--parse-delay") {
            if (!number(0, 10000)) return false;
            o.parseDelay = static_cast<int>(x);
        } else if (arg == "--rtu") {
            if (v == nullptr) {
                std::cerr << "soak: --rtu needs a path\n";
                return false;
            }
            o.rtuProgram = v;
            ++i;
        } else if (arg == "--latency-goal") {
            if (!number(0, 1e6)) return false;
            o.latencyGoalMs = x;
        } else if (arg == "--keep") {
            o.keep = true;
        } else {
            std::cerr << "soak: unknown option " << arg << " (see --help)\n";
            return false;
        }
    }
    if (o.sim.rate <= 0 && o.sim.hour <= 0 && o.sim.keepAlive <= 0) {
        std::cerr << "soak: nothing to send: give --rate, --hour or --keepalive\n";
        return false;
    }
    return true;
}

std::uint16_t FreePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    std::uint16_t port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    if (fd >= 0) ::close(fd);
    return port;
}

bool Accepts(std::uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The delivered logging configuration, with the MAIN logger's level replaced
// when one is asked for.
std::string LoggingConfiguration(const std::string& level)
{
    std::istringstream in(ReadFile(std::string(RTU_CONFIG_DIR) + "/IOCP_log.cfg"));
    std::string out;
    std::string line;
    bool replaced = false;
    while (std::getline(in, line)) {
        if (!level.empty() && line.rfind("log4cplus.logger.MAIN=", 0) == 0) {
            line = "log4cplus.logger.MAIN=" + level;
            replaced = true;
        }
        out += line + '\n';
    }
    if (!level.empty() && !replaced) out += "log4cplus.logger.MAIN=" + level + '\n';
    return out;
}

// What is sampled of the running program.
struct Samples {
    long rssKb = 0;
    long peakRssKb = 0;       // VmHWM
    int connections = 0;      // established or half-closed on the centre's port
    int peakConnections = 0;
    double cpuSeconds = 0;    // user and system
};

// Reads VmRSS and VmHWM of a process (kB); false when it is gone.
bool ReadMemory(pid_t pid, long& rssKb, long& hwmKb)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    if (!in) return false;
    std::string line;
    bool any = false;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            rssKb = std::atol(line.c_str() + 6);
            any = true;
        } else if (line.rfind("VmHWM:", 0) == 0) {
            hwmKb = std::atol(line.c_str() + 6);
        }
    }
    return any;
}

double ReadCpuSeconds(pid_t pid)
{
    const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) utime = std::strtoull(field.c_str(), nullptr, 10);
        if (i == 15) stime = std::strtoull(field.c_str(), nullptr, 10);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Connections the centre holds: sockets on its port (local side) that are
// established or closed by the other side only.
int CountConnections(std::uint16_t port)
{
    std::ifstream in("/proc/net/tcp");
    std::string line;
    std::getline(in, line);  // titles
    int count = 0;
    char wanted[8];
    std::snprintf(wanted, sizeof wanted, ":%04X", port);
    while (std::getline(in, line)) {
        // "  sl  local_address rem_address   st ..."
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos || colon + 2 >= line.size()) continue;
        const std::size_t local = line.find_first_not_of(' ', colon + 1);
        if (local == std::string::npos || local + 13 > line.size()) continue;
        if (line.compare(local + 8, 5, wanted) != 0) continue;
        const std::size_t state = line.find(' ', line.find(' ', local) + 1);
        if (state == std::string::npos || state + 3 > line.size()) continue;
        const std::string st = line.substr(state + 1, 2);
        if (st == "01" || st == "08") ++count;
    }
    return count;
}

// Samples once a second; the first sample after `endOfLoad` is kept as the
// state at the end of the load (the simulator closes its links right after).
class Sampler {
public:
    Sampler(pid_t pid, std::uint16_t port, Clock::time_point endOfLoad)
        : pid_(pid), port_(port), endOfLoad_(endOfLoad), thread_([this] { Run(); })
    {
    }
    ~Sampler() { Stop(); }

    void Stop()
    {
        {
            std::lock_guard<std::mutex> lock(lock_);
            stop_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable()) thread_.join();
    }
    Samples EndOfLoad()
    {
        std::lock_guard<std::mutex> lock(lock_);
        return atEnd_ ? endSample_ : samples_;
    }
    Samples Last()
    {
        std::lock_guard<std::mutex> lock(lock_);
        return samples_;
    }

private:
    void Take()
    {
        long rss = 0, hwm = 0;
        if (!ReadMemory(pid_, rss, hwm)) return;
        // The socket table costs the kernel a walk over every socket of the
        // machine (two per link on loopback): every fifth sample only.
        const bool count = taken_++ % 5 == 0 || (!atEnd_ && Clock::now() >= endOfLoad_);
        const int connections = count ? CountConnections(port_) : -1;
        const double cpu = ReadCpuSeconds(pid_);
        std::lock_guard<std::mutex> lock(lock_);
        samples_.rssKb = rss;
        samples_.peakRssKb = std::max(samples_.peakRssKb, hwm);
        if (connections >= 0) {
            samples_.connections = connections;
            samples_.peakConnections = std::max(samples_.peakConnections, connections);
        }
        if (cpu > 0) samples_.cpuSeconds = cpu;
        if (!atEnd_ && Clock::now() >= endOfLoad_) {
            endSample_ = samples_;
            atEnd_ = true;
        }
    }
    void Run()
    {
        std::unique_lock<std::mutex> lock(lock_);
        while (!stop_) {
            lock.unlock();
            Take();
            lock.lock();
            wake_.wait_for(lock, std::chrono::seconds(1), [this] { return stop_; });
        }
    }

    pid_t pid_;
    std::uint16_t port_;
    Clock::time_point endOfLoad_;
    unsigned taken_ = 0;
    std::mutex lock_;
    bool atEnd_ = false;
    Samples endSample_;
    std::condition_variable wake_;
    bool stop_ = false;
    Samples samples_;
    std::thread thread_;
};

struct TableCount {
    std::string table;
    std::uint64_t expected = 0;
    long long stored = -1;  // -1: could not be counted
};

long long CountRows(const std::string& file, const std::string& table)
{
    rtu::storage::CAdoDB db;
    if (!db.Open("Driver=SQLite3;Database=" + file)) return -1;
    rtu::storage::Rows rows;
    const bool ok = db.QueryRows("select count(*) from " + table, rows);
    db.Close();
    if (!ok || rows.empty() || rows[0].empty()) return -1;
    return std::atoll(rows[0][0].c_str());
}

// The 1-minute load average of the machine.
std::string LoadAverage()
{
    std::istringstream in(ReadFile("/proc/loadavg"));
    std::string one;
    in >> one;
    return one.empty() ? "?" : one;
}

std::string KindName(const rtu::sim::SimOptions& s, bool burst)
{
    const KindChoice k = burst && s.burstKindGiven ? s.burstKind : s.kind;
    switch (k) {
    case KindChoice::kTimed: return "32";
    case KindChoice::kAlarm: return "33";
    case KindChoice::kHourly: return "34";
    case KindChoice::kFiveMinute: return "35";
    case KindChoice::kKeepAlive: return "2F";
    case KindChoice::kMix: break;
    }
    return "mix";
}

}  // namespace

int main(int argc, char** argv)
{
    SoakOptions o;
    if (!ParseOptions(argc, argv, o)) return 2;
    rtu::sim::SimOptions& sim = o.sim;
    std::signal(SIGPIPE, SIG_IGN);

    const std::uint64_t links =
        static_cast<std::uint64_t>(sim.stations) + static_cast<std::uint64_t>(sim.garbage + sim.halfOpen);
    const std::uint64_t limit = rtu::sim::RaiseOpenFileLimit(links + 256);
    if (limit < links + 64) {
        std::cerr << "soak: only " << limit << " open files allowed; " << links << " links need more\n";
        return 2;
    }

    // The working folder of the data centre.
    char pattern[] = "/tmp/rtu-soak-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    if (made == nullptr) {
        std::cerr << "soak: cannot make a folder in /tmp: " << std::strerror(errno) << '\n';
        return 1;
    }
    const std::string folder = made;
    const std::uint16_t port = FreePort();
    sim.port = port;
    sim.host = "127.0.0.1";
    {
        std::ofstream ini(folder + "/server.ini");
        ini << "[Set]\nPort=" << port << "\nOffLine=120\n"
            << "Driver=SQLite3\nSource=\nName=rtu.db\nUser=\nPwd=\nTDS_Version=\nDBMode=1\n"
            << "Pict=Pict\nProtMode=0\nRegMode=0\nCent=01\nCentPwd=B7E2\nReboot=0\n"
            << "ParseDelay=" << o.parseDelay << "\n"
            << "\n[SetThird]\nDriver=SQLite3\nSource=\nName=third.db\nUser=\nPwd=\nTDS_Version=\n"
            << "DBMode=" << (o.secondary ? 1 : 0) << "\n"
            << "\n[COMM]\nMODE=0\n\n[Conversion ID]\n\n[Address]\n\n[StationAdd]\n";
        std::error_code error;
        fs::copy_file(std::string(RTU_CONFIG_DIR) + "/config.ini", folder + "/config.ini", error);
        std::ofstream(folder + "/IOCP_log.cfg") << LoggingConfiguration(o.logLevel);
        if (!ini || error) {
            std::cerr << "soak: cannot write the files of " << folder << '\n';
            return 1;
        }
    }

    std::cout << "soak: folder " << folder << ", RTU on 127.0.0.1:" << port << ", SQLite rtu.db"
              << (o.secondary ? " and third.db (secondary)" : ", secondary database off") << ", ParseDelay "
              << o.parseDelay << ", MAIN logger " << (o.logLevel.empty() ? "as IOCP_log.cfg (DEBUG)" : o.logLevel)
              << '\n';
    std::cout << "soak: " << sim.stations << " stations for " << sim.duration << " s, hour " << sim.hour
              << " s, bursts of " << sim.burstReports << " report(s) of kind " << KindName(sim, true) << " in "
              << sim.burstWindow << " s, " << sim.rate << " reports/s of kind " << KindName(sim, false)
              << " between, keep-alive every " << sim.keepAlive << " s, " << sim.reconnectShare * 100
              << "% reconnecting every ~" << sim.reconnectEvery << " s, " << sim.garbage << " garbage and "
              << sim.halfOpen << " half-open links, " << sim.sources << " source addresses" << std::endl;

    const auto started = Clock::now();
    const std::string loadAtStart = LoadAverage();
    const std::string output = folder + "/rtu.out";
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::chdir(folder.c_str()) != 0) ::_exit(126);
        // A crash leaves a core file in the folder (where the system's core
        // pattern allows), for the stacks afterwards.
        rlimit core{RLIM_INFINITY, RLIM_INFINITY};
        if (::setrlimit(RLIMIT_CORE, &core) != 0) {
            ::getrlimit(RLIMIT_CORE, &core);
            core.rlim_cur = core.rlim_max;
            ::setrlimit(RLIMIT_CORE, &core);
        }
        const int fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd >= 0) {
            ::dup2(fd, STDOUT_FILENO);
            ::dup2(fd, STDERR_FILENO);
        }
        ::execl(o.rtuProgram.c_str(), "RTU", "--headless", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    if (pid < 0) {
        std::cerr << "soak: fork: " << std::strerror(errno) << '\n';
        return 1;
    }

    bool listening = false;
    int status = 0;
    bool exited = false;
    for (const auto deadline = Clock::now() + std::chrono::seconds(30); Clock::now() < deadline;) {
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            exited = true;
            break;
        }
        if (Accepts(port)) {
            listening = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (!listening) {
        std::cerr << "soak: RTU did not start listening on port " << port << "; its output:\n"
                  << ReadFile(output);
        if (!exited) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        return 1;
    }

    // The state at the end of the load: just before the last second of sending.
    Sampler sampler(pid, port, Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                  std::chrono::duration<double>(std::max(1.0, sim.duration - 1.5))));
    std::ostringstream simLog;
    const rtu::sim::SimSummary summary = rtu::sim::RunSimulation(sim, simLog);
    const Samples atEnd = sampler.EndOfLoad();
    const std::string loadAtEnd = LoadAverage();

    // Stop: SIGTERM, and RTU drains its statement queue before it exits.
    const auto stopAt = Clock::now();
    ::kill(pid, SIGTERM);
    bool stopped = false;
    for (const auto deadline = stopAt + std::chrono::duration<double>(o.stopLimit); Clock::now() < deadline;) {
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            stopped = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const double stopSeconds = std::chrono::duration<double>(Clock::now() - stopAt).count();
    sampler.Stop();
    const Samples last = sampler.Last();
    if (!stopped) {
        // Where it hangs, for a look afterwards, when a debugger is there.
        if (::access("/usr/bin/gdb", X_OK) == 0) {
            const std::string command = "/usr/bin/gdb -p " + std::to_string(pid) +
                                        " -batch -ex 'thread apply all bt' > " + folder + "/rtu-stacks.txt 2>&1";
            static_cast<void>(std::system(command.c_str()));
        }
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
    const bool crashed = stopped && WIFSIGNALED(status);
    if (crashed && ::access("/usr/bin/gdb", X_OK) == 0) {
        // The stacks of the crash from its core file, if one was written.
        for (const auto& entry : fs::directory_iterator(folder)) {
            const std::string name = entry.path().filename().string();
            if (name != "core" && name.rfind("core.", 0) != 0) continue;
            const std::string command = "/usr/bin/gdb -batch -ex 'thread apply all bt' " + o.rtuProgram + " " +
                                        entry.path().string() + " > " + folder + "/rtu-stacks.txt 2>&1";
            static_cast<void>(std::system(command.c_str()));
            break;
        }
    }
    const int exitCode = stopped && WIFEXITED(status) ? WEXITSTATUS(status) : -1;

    std::vector<TableCount> tables = {
        {"ReceiveData", summary.rows.receiveData},
        {"DeviceTimingData", summary.rows.deviceTimingData},
        {"DeviceAlarmData", summary.rows.deviceAlarmData},
        {"DeviceHourData", summary.rows.deviceHourData},
    };
    for (TableCount& t : tables) t.stored = CountRows(folder + "/rtu.db", t.table);
    if (o.secondary) {
        tables.push_back({"ST_PPTN_R", summary.rows.precipitation, CountRows(folder + "/third.db", "ST_PPTN_R")});
        tables.push_back({"ST_RIVER_R", summary.rows.river, CountRows(folder + "/third.db", "ST_RIVER_R")});
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();

    // The result block.
    bool rowsOk = true;
    bool acksOk = summary.badAcks == 0 && summary.missingAcks == 0 && summary.acknowledged == summary.expectedAcks;
    const bool stationsOk = summary.connected == sim.stations && summary.connectFailures == 0 &&
                            summary.closedByCentre == 0 && summary.heldAtEnd == sim.stations;
    std::ostringstream block;
    block << std::fixed;
    block << "==== soak result" << (o.quick ? " (quick)" : "") << " ====\n";
    block << "stations:               " << sim.stations << " (connected " << summary.connected << ", failed "
          << summary.connectFailures << ", closed by the centre " << summary.closedByCentre << ", reconnects "
          << summary.reconnects << ")\n";
    block << "other links:            garbage " << summary.garbageLinks << ", half-open " << summary.halfOpenLinks
          << " (closed by the centre " << summary.extraClosedByCentre << ", held at the end "
          << summary.extraHeldAtEnd << ")\n";
    block << "station links held:     peak " << summary.heldPeak << ", at the end " << summary.heldAtEnd << '\n';
    block << "RTU connections held:   peak " << last.peakConnections << ", at the end of the load "
          << atEnd.connections << '\n';
    block << std::setprecision(1);
    block << "acknowledged frames/s:  overall " << summary.AckedPerSecond() << " (" << summary.acknowledged << " of "
          << summary.expectedAcks << " in " << summary.seconds << " s), bursts " << summary.BurstAckedPerSecond()
          << " (" << summary.burstAcked << " of " << summary.burstFrames << " in " << summary.burstWindows
          << " windows, " << summary.burstSeconds << " s)\n";
    block << std::setprecision(2);
    block << "ack latency overall:    p50 " << summary.p50Ms << " ms, p99 " << summary.p99Ms << " ms, max "
          << summary.maxMs << " ms\n";
    block << "ack latency in bursts:  p50 " << summary.burstP50Ms << " ms, p99 " << summary.burstP99Ms << " ms, max "
          << summary.burstMaxMs << " ms\n";
    block << "acknowledgements:       bad " << summary.badAcks << ", missing " << summary.missingAcks
          << "; by kind 32 " << summary.acked32 << ", 33 " << summary.acked33 << ", 34 " << summary.acked34
          << ", 35 " << summary.acked35 << '\n';
    block << "keep-alives sent:       " << summary.keepAlivesSent << '\n';
    for (const TableCount& t : tables) {
        const bool ok = t.stored >= 0 && static_cast<std::uint64_t>(t.stored) == t.expected;
        rowsOk = rowsOk && ok;
        block << "rows " << std::left << std::setw(18) << t.table + ":" << std::right << "expected " << t.expected
              << ", stored " << t.stored;
        if (!ok && t.stored >= 0) {
            const long long difference = t.stored - static_cast<long long>(t.expected);
            block << (difference < 0 ? "  MISSING " : "  MORE THAN EXPECTED ") << std::llabs(difference);
        } else if (!ok) {
            block << "  NOT COUNTED";
        }
        block << '\n';
    }
    block << std::setprecision(1);
    block << "RTU resident memory:    peak " << last.peakRssKb / 1024.0 << " MiB (VmHWM), at the end of the load "
          << atEnd.rssKb / 1024.0 << " MiB\n";
    block << "RTU CPU time:           " << last.cpuSeconds << " s; stop took " << stopSeconds << " s, exit "
          << (crashed ? "by signal " + std::to_string(WTERMSIG(status)) : std::to_string(exitCode)) << '\n';
    block << "duration:               " << seconds << " s; machine load (1 min) " << loadAtStart
          << " at the start, " << loadAtEnd << " at the end of the load\n";
    const bool latencyMet = summary.burstWindows > 0 && summary.burstP99Ms < o.latencyGoalMs;
    const bool memoryMet = last.peakRssKb < 1024L * 1024L;
    block << "goals:                  " << sim.stations << " stations held " << (stationsOk ? "yes" : "NO")
          << "; burst p99 < " << std::setprecision(0) << o.latencyGoalMs << " ms "
          << (o.quick ? "(not checked)" : latencyMet ? "yes" : "NO") << "; RSS < 1 GiB " << (memoryMet ? "yes" : "NO")
          << "; no row lost " << (rowsOk ? "yes" : "NO") << '\n';

    std::vector<std::string> failures;
    if (!stopped || exitCode != 0) failures.push_back(crashed ? "RTU crashed" : "RTU did not stop cleanly");
    if (!stationsOk) failures.push_back("a station could not connect or stay connected");
    if (!acksOk) failures.push_back("a report was not acknowledged correctly");
    if (!rowsOk) failures.push_back("stored rows differ from the acknowledged reports");
    block << "result:                 " << (failures.empty() ? "PASS" : "FAIL");
    for (std::size_t i = 0; i < failures.size(); ++i) block << (i == 0 ? ": " : "; ") << failures[i];
    block << '\n';
    std::cout << block.str();
    if (!simLog.str().empty()) std::cout << "simulator: " << simLog.str();

    if (!failures.empty() || o.keep) {
        std::cout << "soak: the folder " << folder
                  << " is kept (Logs/RTU.log, rtu.out, the databases, rtu-stacks.txt after a hang or crash)\n";
    } else {
        std::error_code ignored;
        fs::remove_all(folder, ignored);
    }
    return failures.empty() ? 0 : 1;
}
