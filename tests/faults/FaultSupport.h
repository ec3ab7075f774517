// Helpers of the fault tests: what the data centre's process uses (memory,
// descriptors, processor time) read from /proc, the simulator's summary read
// back, a private PostgreSQL server the test can stop and start, and a
// station that floods one connection.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

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
    // Stops (SIGSTOP) and continues (SIGCONT) the server's processes: a
    // server that holds its connections open and answers nothing.
    bool Freeze();
    bool Thaw();

    std::uint16_t Port() const { return port_; }
    // The connection string the test reads the database with.
    const std::string& Connection() const { return connection_; }
    // The database keys of a section of server.ini that reach it.
    std::string SettingsKeys() const;

private:
    int Script(const std::string& action, std::string* output);
    bool SignalServer(int signal);

    std::uint16_t port_ = 0;
    std::string data_;
    std::string connection_;
    bool started_ = false;
};

// The first value of the first row of a query on a database (an SQLite file,
// or a connection string that names its Driver); nothing when the database
// cannot be opened or the query fails. For polls: a miss is no test failure.
std::optional<std::string> ValueOf(const std::string& database, const std::string& statement);

// Runs a statement on a database; false with the reason when it failed.
bool ExecuteOn(const std::string& database, const std::string& statement, std::string& why);

// Polls `condition` every `step` until it holds (true) or `limit` has passed.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit,
               std::chrono::milliseconds step = std::chrono::milliseconds(100));

// The whole text of a file (empty when there is none).
std::string FileText(const std::string& path);

// A loopback TCP server that accepts every connection and then neither reads
// nor answers: a database server that hangs. The connections are held until
// the end.
class SilentServer {
public:
    SilentServer();
    ~SilentServer();
    SilentServer(const SilentServer&) = delete;
    SilentServer& operator=(const SilentServer&) = delete;

    bool Listening() const { return listener_ >= 0; }
    std::uint16_t Port() const { return port_; }
    int Accepted() const { return accepted_.load(); }

private:
    void Run();

    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> accepted_{0};
    std::vector<int> held_;
    std::thread thread_;
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
