// Helpers of the fault tests: what the data centre's process uses (memory,
// descriptors, processor time) read from /proc, the simulator's summary read
// back, a private PostgreSQL server the test can stop and start, and a
// station that floods one connection.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

namespace rtu::faults {

// The process of the data centre running in `folder` (its working
// directory); -1 when there is none.
pid_t ProcessInFolder(const std::string& folder);

// Resident memory in KiB, open sockets, and processor time (user and
// system) of a process; -1 when it cannot be read.
long ResidentKiB(pid_t pid);
// Its open sockets (database files come and go with the pools' connections).
long OpenSockets(pid_t pid);
std::chrono::milliseconds ProcessorTime(pid_t pid);

// Numbers from stationsim's summary.
struct SimSummary {
    long connected = -1;
    long acknowledged = -1;
    long expected = -1;
    long bad = -1;
    long missing = -1;
    double p99Ms = -1;
};
SimSummary ReadSummary(const std::string& output);

// A PostgreSQL 15 server of the test's own (port and data folder), run
// through scripts/pg-test-server, with the data centre's tables created.
class PrivatePostgres {
public:
    PrivatePostgres();
    ~PrivatePostgres();
    PrivatePostgres(const PrivatePostgres&) = delete;
    PrivatePostgres& operator=(const PrivatePostgres&) = delete;

    static bool Installed();
    // Initialises and starts the server and creates the tables; false (and
    // why) when that failed.
    bool Start(std::string& why);
    bool Stop();
    // Starts it again after Stop (the data folder is kept).
    bool Restart();

    std::uint16_t Port() const { return port_; }
    // The connection string the test reads the database with.
    const std::string& Connection() const { return connection_; }
    // The database keys of a section of server.ini that reach it.
    std::string SettingsKeys() const;

private:
    int Script(const std::string& action, std::string* output);

    std::uint16_t port_ = 0;
    std::string data_;
    std::string connection_;
    bool started_ = false;
};

// A station's connection that sends the same bytes over and over, as fast
// as the socket takes them, on a thread of its own, and reads (and counts)
// what comes back, until Finish.
class Flooder {
public:
    Flooder(std::uint16_t port, std::string pattern);
    ~Flooder();
    Flooder(const Flooder&) = delete;
    Flooder& operator=(const Flooder&) = delete;

    bool Connected() const { return fd_ >= 0; }
    // Stops sending and closes the connection; the bytes sent.
    std::uint64_t Finish();
    std::uint64_t BytesReceived() const { return received_.load(); }
    // True when the centre closed the connection.
    bool ClosedByCentre() const { return closedByCentre_.load(); }

private:
    void Run();

    int fd_ = -1;
    std::string pattern_;
    std::atomic<bool> stop_{false};
    std::atomic<std::uint64_t> sent_{0};
    std::atomic<std::uint64_t> received_{0};
    std::atomic<bool> closedByCentre_{false};
    std::thread thread_;
};

}  // namespace rtu::faults
