#include "tests/e2e/RtuProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace rtu::e2e {
namespace fs = std::filesystem;
namespace {

using Clock = std::chrono::steady_clock;

void WriteFile(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

sockaddr_in Loopback(std::uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

bool Accepts(std::uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const sockaddr_in address = Loopback(port);
    const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

}  // namespace

std::uint16_t FreePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof address;
    std::uint16_t port = 0;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    ::close(fd);
    return port;
}

RtuProcess::RtuProcess(const CentreSettings& settings)
{
    char pattern[] = "/tmp/rtu-e2e-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    folder_ = made != nullptr ? made : "";
    port_ = settings.port != 0 ? settings.port : FreePort();
    mainConnection_ = settings.mainConnection.empty() ? "Driver=SQLite3;Database=" + MainDatabase()
                                                      : settings.mainConnection;

    std::ostringstream ini;
    ini << "[Set]\n"
        << "Port=" << port_ << "\n"
        << "OffLine=" << settings.offLine << "\n"
        << settings.mainDatabase << "DBMode=1\n"
        << "Pict=Pict\nProtMode=0\n"
        << "RegMode=" << settings.regMode << "\n"
        << "Cent=01\nCentPwd=B7E2\nReboot=0\n"
        << "ParseDelay=" << settings.parseDelay << "\n"
        << "\n[SetThird]\n"
        << "Driver=SQLite3\nName=third.db\nSource=\nUser=\nPwd=\n"
        << "DBMode=" << (settings.secondary ? 1 : 0) << "\n"
        << "\n[COMM]\n" << settings.comm
        << "\n[Conversion ID]\n" << settings.conversionIds << "\n[Address]\n\n[StationAdd]\n";
    WriteFile(folder_ + "/server.ini", ini.str());
    std::error_code ignored;
    fs::copy_file(RTU_CONFIG_INI, folder_ + "/config.ini", ignored);
    WriteFile(folder_ + "/IOCP_log.cfg",
              "log4cplus.rootLogger=DEBUG, File\n"
              "log4cplus.logger.MAIN=" + settings.logLevel + "\n"
              "log4cplus.appender.File=log4cplus::RollingFileAppender\n"
              "log4cplus.appender.File.File=Logs/RTU.log\n"
              "log4cplus.appender.File.MaxFileSize=50MB\n"
              "log4cplus.appender.File.MaxBackupIndex=2\n"
              "log4cplus.appender.File.CreateDirs=true\n"
              "log4cplus.appender.File.layout=log4cplus::PatternLayout\n"
              "log4cplus.appender.File.layout.ConversionPattern=%D{%H:%M:%S.%q} %-5p [%t] %m%n\n");
}

RtuProcess::~RtuProcess()
{
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    // The folder stays for a look when asked to.
    if (std::getenv("RTU_E2E_KEEP") == nullptr && !folder_.empty()) {
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }
}

bool RtuProcess::Start(std::chrono::seconds limit)
{
    if (folder_.empty() || port_ == 0) return false;
    const std::string output = folder_ + "/rtu.out";
    pid_ = ::fork();
    if (pid_ == 0) {
        if (::chdir(folder_.c_str()) != 0) ::_exit(126);
        const int fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            ::dup2(fd, STDOUT_FILENO);
            ::dup2(fd, STDERR_FILENO);
            ::close(fd);
        }
        ::execl(RTU_PROGRAM, "RTU", "--headless", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    if (pid_ < 0) return false;

    // Bounded wait for the listening port; give up at once when it exited.
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            return false;
        }
        if (Accepts(port_)) return true;
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

int RtuProcess::Stop(std::chrono::seconds limit)
{
    if (pid_ <= 0) return -1;
    ::kill(pid_, SIGTERM);
    const auto deadline = Clock::now() + limit;
    int status = 0;
    while (true) {
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) break;
        if (Clock::now() >= deadline) {
            // Where it hangs, for the test's report, when a debugger is there.
            if (::access("/usr/bin/gdb", X_OK) == 0) {
                const std::string command = "/usr/bin/gdb -p " + std::to_string(pid_) +
                                            " -batch -ex 'thread apply all bt' >> " + folder_ + "/rtu.out 2>&1";
                static_cast<void>(std::system(command.c_str()));
            }
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            pid_ = -1;
            return -1;
        }
        std::this_thread::sleep_for(20ms);
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string RtuProcess::Output() const
{
    std::ifstream in(folder_ + "/rtu.out", std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool RtuProcess::WaitForOutput(std::string_view text, std::chrono::milliseconds limit) const
{
    const auto deadline = Clock::now() + limit;
    while (Output().find(text) == std::string::npos) {
        if (pid_ <= 0 || Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

StationLink::~StationLink()
{
    if (fd_ >= 0) ::close(fd_);
}

bool StationLink::Connect(std::uint16_t port)
{
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return false;
    int on = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    const sockaddr_in address = Loopback(port);
    return ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

void StationLink::Attach(int fd)
{
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
    socket_ = false;
}

bool StationLink::Send(std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = socket_ ? ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL)
                                  : ::write(fd_, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

bool StationLink::Receive(std::chrono::milliseconds limit)
{
    if (closed_) return false;
    pollfd p{fd_, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(limit.count()));
    if (ready <= 0) return false;
    char buffer[8192];
    const ssize_t n = socket_ ? ::recv(fd_, buffer, sizeof buffer, 0) : ::read(fd_, buffer, sizeof buffer);
    if (n <= 0) {
        if (n < 0 && errno == EINTR) return true;
        closed_ = true;
        return false;
    }
    raw_.append(buffer, static_cast<std::size_t>(n));
    return true;
}

std::optional<std::string> StationLink::ReadFrame(std::chrono::milliseconds limit)
{
    class Collect : public FrameSink {
    public:
        explicit Collect(std::deque<std::string>& frames) : frames_(frames) {}
        void OnFrame(std::string_view frame) override { frames_.emplace_back(frame); }

    private:
        std::deque<std::string>& frames_;
    };
    const auto deadline = Clock::now() + limit;
    while (true) {
        if (!raw_.empty()) {
            Collect sink(frames_);
            CutFrames(framing_, raw_, sink);
            raw_.clear();
        }
        if (!frames_.empty()) {
            std::string frame = std::move(frames_.front());
            frames_.pop_front();
            return frame;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || closed_) return std::nullopt;
        Receive(left);
    }
}

std::string StationLink::ReadBytes(std::size_t n, std::chrono::milliseconds limit)
{
    const auto deadline = Clock::now() + limit;
    while (raw_.size() < n) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || closed_) break;
        Receive(left);
    }
    std::string bytes = raw_.substr(0, n);
    raw_.erase(0, bytes.size());
    return bytes;
}

bool StationLink::WaitClosed(std::chrono::milliseconds limit)
{
    const auto deadline = Clock::now() + limit;
    while (!closed_) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        Receive(left);
    }
    return true;
}

}  // namespace rtu::e2e
