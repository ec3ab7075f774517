#include "tests/faults/FaultSupport.h"

#include "rtu/storage/AdoDB.h"
#include "rtu/storage/SqlDialect.h"
#include "tests/e2e/RtuProcess.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

namespace rtu::faults {
namespace fs = std::filesystem;

pid_t ProcessInFolder(const std::string& folder)
{
    std::error_code error;
    const fs::path wanted = fs::canonical(folder, error);
    if (error) return -1;
    for (const auto& entry : fs::directory_iterator("/proc", error)) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream comm(entry.path() / "comm");
        std::string command;
        std::getline(comm, command);
        if (command != "RTU") continue;
        std::error_code ignored;
        if (fs::read_symlink(entry.path() / "cwd", ignored) == wanted) return static_cast<pid_t>(std::stol(name));
    }
    return -1;
}

long ResidentKiB(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return -1;
}

long OpenSockets(pid_t pid)
{
    std::error_code error;
    long count = 0;
    for (fs::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", error), end; !error && it != end;
         it.increment(error)) {
        std::error_code ignored;
        if (fs::read_symlink(it->path(), ignored).string().rfind("socket:", 0) == 0) ++count;
    }
    return error ? -1 : count;
}

std::chrono::milliseconds ProcessorTime(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(stat, text);
    // Fields after the command (which may hold blanks) start after ')'.
    const auto close = text.rfind(')');
    if (close == std::string::npos) return std::chrono::milliseconds(-1);
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    long long user = 0, system = 0;
    for (int index = 3; fields >> field; ++index) {
        if (index == 14) user = std::atoll(field.c_str());
        if (index == 15) {
            system = std::atoll(field.c_str());
            break;
        }
    }
    const long ticks = ::sysconf(_SC_CLK_TCK);
    return std::chrono::milliseconds((user + system) * 1000 / (ticks > 0 ? ticks : 100));
}

namespace {

long NumberAfter(const std::string& text, const std::string& label)
{
    const auto at = text.find(label);
    return at == std::string::npos ? -1 : std::atol(text.c_str() + at + label.size());
}

}  // namespace

SimSummary ReadSummary(const std::string& output)
{
    SimSummary s;
    s.connected = NumberAfter(output, ", connected ");
    s.acknowledged = NumberAfter(output, "acknowledged: ");
    s.expected = NumberAfter(output, " of ");
    s.bad = NumberAfter(output, "bad acknowledgements ");
    s.missing = NumberAfter(output, ", missing ");
    const auto at = output.find(", p99 ");
    if (at != std::string::npos) s.p99Ms = std::atof(output.c_str() + at + 6);
    return s;
}

// ---- PostgreSQL ------------------------------------------------------------

namespace {
constexpr const char* kPgControl = "/usr/lib/postgresql/15/bin/pg_ctl";
}

PrivatePostgres::PrivatePostgres()
{
    port_ = e2e::FreePort();
    data_ = "/tmp/rtu-faults-pg-" + std::to_string(::getpid()) + "-" + std::to_string(port_);
}

PrivatePostgres::~PrivatePostgres()
{
    if (started_) Stop();
    std::error_code ignored;
    fs::remove_all(data_, ignored);
    // The server's messages stay for a look when asked to.
    if (std::getenv("RTU_E2E_KEEP") == nullptr) fs::remove(data_ + ".log", ignored);
}

bool PrivatePostgres::Installed() { return ::access(kPgControl, X_OK) == 0; }

int PrivatePostgres::Script(const std::string& action, std::string* output)
{
    const std::string command = "RTU_PG_PORT=" + std::to_string(port_) + " RTU_PG_DATA=" + data_ + " " +
                                RTU_SOURCE_DIR "/scripts/pg-test-server " + action + " 2>>" + data_ + ".log";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return -1;
    char buffer[1024];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        if (output != nullptr) output->append(buffer, n);
    }
    const int status = ::pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool PrivatePostgres::Start(std::string& why)
{
    std::string output;
    if (Script("start", &output) != 0) {
        why = "scripts/pg-test-server start failed (see " + data_ + ".log)";
        return false;
    }
    started_ = true;
    const auto open = output.find('\'');
    const auto close = output.rfind('\'');
    if (open == std::string::npos || close <= open) {
        why = "no connection string from scripts/pg-test-server: " + output;
        return false;
    }
    connection_ = output.substr(open + 1, close - open - 1);

    std::ifstream in(RTU_SOURCE_DIR "/config/sql/postgresql.sql");
    std::stringstream script;
    script << in.rdbuf();
    storage::CAdoDB db;
    if (!db.Open(connection_)) {
        why = "cannot open " + connection_ + ": " + db.LastError();
        return false;
    }
    for (const std::string& statement : storage::SplitSqlScript(script.str())) {
        if (!db.Execute(statement)) {
            why = "postgresql.sql: " + db.LastError() + " in " + statement;
            return false;
        }
    }
    return true;
}

bool PrivatePostgres::Stop()
{
    const bool stopped = Script("stop", nullptr) == 0;
    started_ = !stopped;
    return stopped;
}

bool PrivatePostgres::Restart()
{
    const bool started = Script("start", nullptr) == 0;
    started_ = started_ || started;
    return started;
}

// The server's main process (first line of postmaster.pid) and its children.
bool PrivatePostgres::SignalServer(int signal)
{
    std::ifstream pidFile(data_ + "/postmaster.pid");
    long main = 0;
    if (!(pidFile >> main) || main <= 0) return false;
    std::vector<pid_t> processes{static_cast<pid_t>(main)};
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc", error)) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream stat(entry.path() / "stat");
        std::string text;
        std::getline(stat, text);
        const auto close = text.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream fields(text.substr(close + 2));
        std::string state;
        long parent = 0;
        if (fields >> state >> parent && parent == main) processes.push_back(static_cast<pid_t>(std::stol(name)));
    }
    bool ok = true;
    for (const pid_t pid : processes) ok = ::kill(pid, signal) == 0 && ok;
    return ok;
}

bool PrivatePostgres::Freeze() { return SignalServer(SIGSTOP); }

bool PrivatePostgres::Thaw() { return SignalServer(SIGCONT); }

std::string PrivatePostgres::SettingsKeys() const
{
    return "Driver=PostgreSQL Unicode\nName=rtu_test\nSource=127.0.0.1:" + std::to_string(port_) +
           "\nUser=rtu_test\nPwd=rtu_test_pw\n";
}

// ---- databases, files, polls ---------------------------------------------------

namespace {

std::string ConnectionOf(const std::string& database)
{
    return database.find("Driver=") != std::string::npos ? database : "Driver=SQLite3;Database=" + database;
}

}  // namespace

std::optional<std::string> ValueOf(const std::string& database, const std::string& statement)
{
    storage::CAdoDB db;
    storage::Rows rows;
    if (!db.Open(ConnectionOf(database)) || !db.QueryRows(statement, rows)) return std::nullopt;
    if (rows.empty() || rows[0].empty()) return std::string();
    return rows[0][0];
}

bool ExecuteOn(const std::string& database, const std::string& statement, std::string& why)
{
    storage::CAdoDB db;
    if (!db.Open(ConnectionOf(database)) || !db.Execute(statement)) {
        why = statement + ": " + db.LastError();
        return false;
    }
    return true;
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit,
               std::chrono::milliseconds step)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(step);
    }
    return true;
}

std::string FileText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// ---- SilentServer --------------------------------------------------------------

SilentServer::SilentServer()
{
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = 0;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 64) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (listener_ >= 0) ::close(listener_);
        listener_ = -1;
        return;
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Run(); });
}

SilentServer::~SilentServer()
{
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    for (int fd : held_) ::close(fd);
    if (listener_ >= 0) ::close(listener_);
}

void SilentServer::Run()
{
    while (!stop_) {
        pollfd p{listener_, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        held_.push_back(fd);
        ++accepted_;
    }
}

// ---- Flooder -----------------------------------------------------------------

Flooder::Flooder(std::uint16_t port, std::string pattern) : pattern_(std::move(pattern))
{
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ < 0 || ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        return;
    }
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
    thread_ = std::thread([this] { Run(); });
}

Flooder::~Flooder() { Finish(); }

std::uint64_t Flooder::Finish()
{
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    return sent_.load();
}

void Flooder::Run()
{
    std::size_t offset = 0;
    char buffer[65536];
    while (!stop_) {
        pollfd p{fd_, POLLIN | POLLOUT, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n > 0) {
                received_ += static_cast<std::uint64_t>(n);
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                closedByCentre_ = true;
                return;
            }
        }
        if (p.revents & POLLOUT) {
            const ssize_t n = ::send(fd_, pattern_.data() + offset, pattern_.size() - offset, MSG_NOSIGNAL);
            if (n > 0) {
                sent_ += static_cast<std::uint64_t>(n);
                offset = (offset + static_cast<std::size_t>(n)) % pattern_.size();
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                closedByCentre_ = true;
                return;
            }
        }
    }
}

}  // namespace rtu::faults
