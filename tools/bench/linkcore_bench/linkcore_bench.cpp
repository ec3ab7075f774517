// Benchmark of LinkCore against a reference echo server on libuv.
//
// Both servers answer every received block with the same bytes (LinkCore
// through DLL_SendTcpData from its data callback). Client threads on loopback
// keep one 64-byte request in flight on each of 100 connections and measure
// round trips; then a separate client process holds 10,000 connections open
// and the server process's resident memory per connection is reported.
//
//   linkcore_bench [--connections N] [--seconds S] [--rounds R] [--hold N] [--client-threads T]
//
// The load runs for S seconds per server in all, in R rounds that alternate
// between the two servers.
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>

#include "linkcore/LinkCore.h"
#include "tools/bench/linkcore_bench/ReferenceEchoServer.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    int connections = 100;
    int seconds = 10;
    int hold = 10000;
    int clientThreads = 2;
    int rounds = 10;
};

struct LoadResult {
    double requestsPerSecond = 0;
    double p50Microseconds = 0;
    double p99Microseconds = 0;
    long requests = 0;
    double seconds = 0;
    std::vector<double> roundTrips;

    // Adds another round's samples and recomputes the figures.
    void Add(LoadResult&& round)
    {
        requests += round.requests;
        seconds += round.seconds;
        roundTrips.insert(roundTrips.end(), round.roundTrips.begin(), round.roundTrips.end());
        std::sort(roundTrips.begin(), roundTrips.end());
        if (!roundTrips.empty()) {
            p50Microseconds = roundTrips[roundTrips.size() / 2];
            p99Microseconds = roundTrips[std::min(roundTrips.size() - 1, roundTrips.size() * 99 / 100)];
        }
        requestsPerSecond = seconds > 0 ? static_cast<double>(requests) / seconds : 0;
    }
};

std::atomic<long> g_linkcoreBlocks{0};

void EchoBlock(unsigned short, int, const char*, unsigned short, int id, const char* data, int length, void*)
{
    g_linkcoreBlocks.fetch_add(1, std::memory_order_relaxed);
    DLL_SendTcpData(id, "MySend", data, length, 0, 0);
}
void Closed(unsigned short, int, int, int, void*) {}
void ServerClosed(unsigned short, int, void*) {}

std::uint16_t FreePort()
{
    const int handle = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    ::bind(handle, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    socklen_t length = sizeof(address);
    ::getsockname(handle, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(handle);
    return ntohs(address.sin_port);
}

int ConnectLoopback(std::uint16_t port)
{
    const int handle = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (::connect(handle, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
            return handle;
        }
        if (errno != ECONNREFUSED && errno != EAGAIN) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::close(handle);
    return -1;
}

long ResidentKilobytes()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::strtol(line.c_str() + 6, nullptr, 10);
        }
    }
    return 0;
}

// One client thread: its connections each keep one request in flight.
void DriveConnections(std::vector<int> handles, Clock::time_point measureFrom, Clock::time_point until,
                      std::vector<double>& roundTrips, long& requests)
{
    const int poller = ::epoll_create1(0);
    struct State {
        int handle;
        std::size_t received;
        Clock::time_point sent;
    };
    std::vector<State> states(handles.size());
    char request[64];
    std::memset(request, 'q', sizeof(request));
    for (std::size_t i = 0; i < handles.size(); ++i) {
        states[i] = State{handles[i], 0, Clock::now()};
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = i;
        ::epoll_ctl(poller, EPOLL_CTL_ADD, handles[i], &event);
        ::send(handles[i], request, sizeof(request), MSG_NOSIGNAL);
    }
    epoll_event events[256];
    char answer[4096];
    while (Clock::now() < until) {
        const int count = ::epoll_wait(poller, events, 256, 100);
        for (int e = 0; e < count; ++e) {
            State& state = states[events[e].data.u64];
            const ssize_t got = ::recv(state.handle, answer, sizeof(answer), 0);
            if (got <= 0) {
                continue;
            }
            state.received += static_cast<std::size_t>(got);
            if (state.received < sizeof(request)) {
                continue;
            }
            const Clock::time_point now = Clock::now();
            if (now >= measureFrom) {
                roundTrips.push_back(std::chrono::duration<double, std::micro>(now - state.sent).count());
                ++requests;
            }
            state.received -= sizeof(request);
            state.sent = now;
            ::send(state.handle, request, sizeof(request), MSG_NOSIGNAL);
        }
    }
    ::close(poller);
}

// One round: connect, warm up for 300 ms, measure for `seconds`, disconnect.
LoadResult RunLoad(std::uint16_t port, const Options& options, double seconds)
{
    std::vector<int> handles;
    for (int i = 0; i < options.connections; ++i) {
        const int handle = ConnectLoopback(port);
        if (handle < 0) {
            std::fprintf(stderr, "connect failed\n");
            std::exit(1);
        }
        handles.push_back(handle);
    }
    const Clock::time_point start = Clock::now();
    const Clock::time_point measureFrom = start + std::chrono::milliseconds(300);
    const Clock::time_point until =
        measureFrom + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    std::vector<std::vector<double>> roundTrips(static_cast<std::size_t>(options.clientThreads));
    std::vector<long> requests(static_cast<std::size_t>(options.clientThreads), 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < options.clientThreads; ++t) {
        std::vector<int> share;
        for (std::size_t i = static_cast<std::size_t>(t); i < handles.size();
             i += static_cast<std::size_t>(options.clientThreads)) {
            share.push_back(handles[i]);
        }
        threads.emplace_back(DriveConnections, share, measureFrom, until,
                             std::ref(roundTrips[static_cast<std::size_t>(t)]),
                             std::ref(requests[static_cast<std::size_t>(t)]));
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (int handle : handles) {
        ::close(handle);
    }
    LoadResult round;
    round.seconds = seconds;
    for (std::size_t t = 0; t < roundTrips.size(); ++t) {
        round.roundTrips.insert(round.roundTrips.end(), roundTrips[t].begin(), roundTrips[t].end());
        round.requests += requests[t];
    }
    LoadResult result;
    result.Add(std::move(round));
    return result;
}

// The process that holds connections for the memory measurement, forked
// before any thread exists. Commands on its pipe: a port (connect `hold`
// connections to it and send one byte on each), 0 (close them all), -1
// (exit). It answers each command with the number of connections it holds.
struct Holder {
    pid_t pid = -1;
    int commands = -1;
    int answers = -1;

    int Command(int value)
    {
        [[maybe_unused]] ssize_t written = ::write(commands, &value, sizeof(value));
        int answer = -1;
        [[maybe_unused]] ssize_t got = ::read(answers, &answer, sizeof(answer));
        return answer;
    }
};

Holder StartHolder(int hold)
{
    int toChild[2];
    int toParent[2];
    if (::pipe(toChild) != 0 || ::pipe(toParent) != 0) {
        std::perror("pipe");
        std::exit(1);
    }
    Holder holder;
    holder.pid = ::fork();
    if (holder.pid == 0) {
        ::close(toChild[1]);
        ::close(toParent[0]);
        std::vector<int> handles;
        handles.reserve(static_cast<std::size_t>(hold));
        for (;;) {
            int command = -1;
            if (::read(toChild[0], &command, sizeof(command)) != sizeof(command) || command < 0) {
                ::_exit(0);
            }
            if (command == 0) {
                for (int handle : handles) {
                    ::close(handle);
                }
                handles.clear();
            } else {
                for (int i = 0; i < hold; ++i) {
                    const int handle = ConnectLoopback(static_cast<std::uint16_t>(command));
                    if (handle < 0) {
                        break;
                    }
                    ::send(handle, "h", 1, MSG_NOSIGNAL);
                    handles.push_back(handle);
                }
            }
            const int count = static_cast<int>(handles.size());
            [[maybe_unused]] ssize_t written = ::write(toParent[1], &count, sizeof(count));
        }
    }
    ::close(toChild[0]);
    ::close(toParent[1]);
    holder.commands = toChild[1];
    holder.answers = toParent[0];
    return holder;
}

void RaiseDescriptorLimit()
{
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

// Waits until the server has seen one block from every held connection.
bool WaitForBlocks(const std::function<long()>& blocks, long target)
{
    const Clock::time_point until = Clock::now() + std::chrono::seconds(60);
    while (blocks() < target) {
        if (Clock::now() > until) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

struct HoldResult {
    int held = 0;
    double bytesPerConnection = 0;
};

HoldResult Hold(Holder& holder, std::uint16_t port, int hold, const std::function<long()>& blocks)
{
    HoldResult result;
    const long before = ResidentKilobytes();
    const long blocksBefore = blocks();
    result.held = holder.Command(port);
    if (!WaitForBlocks(blocks, blocksBefore + result.held)) {
        std::fprintf(stderr, "not every held connection was served\n");
    }
    const long after = ResidentKilobytes();
    if (result.held > 0) {
        result.bytesPerConnection = static_cast<double>(after - before) * 1024.0 / result.held;
    }
    holder.Command(0);
    (void)hold;
    return result;
}

// LinkCore reads IOCP_log.cfg from the current directory: the benchmark
// runs in a folder of its own whose configuration writes nothing, so the
// figures are those of the server and not of a log file.
void UseQuietLogging()
{
    char folder[] = "/tmp/linkcore_bench.XXXXXX";
    if (::mkdtemp(folder) == nullptr || ::chdir(folder) != 0) {
        return;
    }
    std::ofstream config("IOCP_log.cfg");
    config << "log4cplus.rootLogger=ERROR, Null\n"
              "log4cplus.logger.MAIN=ERROR, Null\n"
              "log4cplus.appender.Null=log4cplus::NullAppender\n";
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const int value = std::atoi(argv[i + 1]);
        if (name == "--connections") {
            options.connections = value;
        } else if (name == "--seconds") {
            options.seconds = value;
        } else if (name == "--hold") {
            options.hold = value;
        } else if (name == "--client-threads") {
            options.clientThreads = value;
        } else if (name == "--rounds" && value > 0) {
            options.rounds = value;
        } else {
            std::fprintf(stderr, "usage: %s [--connections N] [--seconds S] [--rounds R] [--hold N] [--client-threads T]\n",
                         argv[0]);
            return 2;
        }
    }
    RaiseDescriptorLimit();
    ::signal(SIGPIPE, SIG_IGN);
    Holder holder = StartHolder(options.hold);
    UseQuietLogging();

    DLL_LinkCoreInit();
    SetCallbackFuntion(&EchoBlock, &Closed, &ServerClosed);

    std::printf("load: %d connections, one 64-byte request in flight each, %d client threads, %d s in %d rounds\n",
                options.connections, options.clientThreads, options.seconds, options.rounds);

    // Both servers run side by side and take turns in short rounds, so that
    // a change in the machine's load touches both alike.
    std::uint16_t port = FreePort();
    if (!DLL_StartTcpServer(nullptr, "127.0.0.1", port, nullptr)) {
        std::fprintf(stderr, "LinkCore did not start\n");
        return 1;
    }
    const std::uint16_t linkcorePort = port;
    ReferenceEchoServer reference;
    port = FreePort();
    if (!reference.Start(port)) {
        std::fprintf(stderr, "reference server did not start\n");
        return 1;
    }
    const double roundSeconds = static_cast<double>(options.seconds) / options.rounds;
    LoadResult linkcore;
    LoadResult baseline;
    for (int round = 0; round < options.rounds; ++round) {
        linkcore.Add(RunLoad(linkcorePort, options, roundSeconds));
        baseline.Add(RunLoad(port, options, roundSeconds));
    }
    DLL_StopTcpServer(linkcorePort, "127.0.0.1");
    std::printf("LinkCore:  %10.0f requests/s   p50 %7.1f us   p99 %7.1f us\n", linkcore.requestsPerSecond,
                linkcore.p50Microseconds, linkcore.p99Microseconds);
    std::printf("reference: %10.0f requests/s   p50 %7.1f us   p99 %7.1f us\n", baseline.requestsPerSecond,
                baseline.p50Microseconds, baseline.p99Microseconds);
    std::printf("ratio LinkCore / reference: throughput %.2f, p50 %.2f, p99 %.2f\n",
                linkcore.requestsPerSecond / baseline.requestsPerSecond,
                linkcore.p50Microseconds / baseline.p50Microseconds,
                linkcore.p99Microseconds / baseline.p99Microseconds);

    const HoldResult referenceHold =
        Hold(holder, port, options.hold, [&reference] { return reference.Reads(); });
    reference.Stop();

    port = FreePort();
    if (!DLL_StartTcpServer(nullptr, "127.0.0.1", port, nullptr)) {
        std::fprintf(stderr, "LinkCore did not start again\n");
        return 1;
    }
    const HoldResult linkcoreHold =
        Hold(holder, port, options.hold, [] { return g_linkcoreBlocks.load(); });
    DLL_StopTcpServer(port, "127.0.0.1");
    Release();
    holder.Command(-1);
    ::waitpid(holder.pid, nullptr, 0);

    std::printf("LinkCore:  %d connections held, resident memory %.0f bytes per connection\n", linkcoreHold.held,
                linkcoreHold.bytesPerConnection);
    std::printf("reference: %d connections held, resident memory %.0f bytes per connection\n", referenceHold.held,
                referenceHold.bytesPerConnection);
    return linkcoreHold.held == options.hold ? 0 : 1;
}
