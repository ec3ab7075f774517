#include "rtu/transport/Serial.h"

#include "rtu/common/Log.h"
#include "rtu/runtime/TextFormat.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <limits>
#include <system_error>
#include <utility>

#if defined(__linux__) && defined(TCGETS2) && \
    (defined(__x86_64__) || defined(__i386__) || defined(__aarch64__) || defined(__arm__) || defined(__riscv))
#define RTU_SERIAL_CUSTOM_BAUD 1
// The kernel's termios2 in its generic layout, used to set a rate that has no
// B constant (14400 and 56000 of the settings dialog). The C library does not
// declare it, and the kernel header that does cannot be included together
// with <termios.h>.
struct termios2 {
    tcflag_t c_iflag;
    tcflag_t c_oflag;
    tcflag_t c_cflag;
    tcflag_t c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed;
    speed_t c_ospeed;
};
static_assert(sizeof(termios2) == 44, "termios2 has the kernel's generic layout");
#endif

namespace rtu {

namespace {

constexpr int kHighestPort = 1024;
constexpr std::size_t kReadBlock = 4096;
constexpr std::chrono::milliseconds kWriteTimeoutBase{1000};
// After a read error that is not the device going away, the reader waits this
// long before reading again so a persistent error cannot spin the thread.
constexpr int kErrorBackoffMs = 10;
// Consecutive read errors after which the line is given up as lost.
constexpr int kMaxConsecutiveErrors = 1000;

struct BaudConstant {
    unsigned long rate;
    speed_t constant;
};

constexpr BaudConstant kBaudConstants[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},       {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600},   {115200, B115200}, {230400, B230400},
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},
#endif
#ifdef B576000
    {576000, B576000},
#endif
#ifdef B921600
    {921600, B921600},
#endif
#ifdef B1000000
    {1000000, B1000000},
#endif
#ifdef B1152000
    {1152000, B1152000},
#endif
#ifdef B1500000
    {1500000, B1500000},
#endif
#ifdef B2000000
    {2000000, B2000000},
#endif
#ifdef B2500000
    {2500000, B2500000},
#endif
#ifdef B3000000
    {3000000, B3000000},
#endif
#ifdef B3500000
    {3500000, B3500000},
#endif
#ifdef B4000000
    {4000000, B4000000},
#endif
};

bool BaudConstantFor(unsigned long rate, speed_t& constant)
{
    for (const BaudConstant& entry : kBaudConstants) {
        if (entry.rate == rate) {
            constant = entry.constant;
            return true;
        }
    }
    return false;
}

void SetWhy(std::string* why, std::string text)
{
    if (why != nullptr) *why = std::move(text);
}

std::string ErrnoText(int error) { return std::error_code(error, std::generic_category()).message(); }

int DataBits(const termios& t)
{
    switch (t.c_cflag & CSIZE) {
    case CS5: return 5;
    case CS6: return 6;
    case CS7: return 7;
    default: return 8;
    }
}

const char* ParityName(const termios& t)
{
    if ((t.c_cflag & PARENB) == 0) return "none";
    return (t.c_cflag & PARODD) != 0 ? "odd" : "even";
}

unsigned long RateOf(speed_t speed)
{
    for (const BaudConstant& entry : kBaudConstants) {
        if (entry.constant == speed) return entry.rate;
    }
    return 0;
}

// The rate a line runs at when it was set with the arbitrary-rate interface;
// 0 when it cannot be read.
unsigned long CustomBaudOf(int fd)
{
#ifdef RTU_SERIAL_CUSTOM_BAUD
    termios2 t2{};
    if (::ioctl(fd, TCGETS2, &t2) == 0) return t2.c_ospeed;
#else
    static_cast<void>(fd);
#endif
    return 0;
}

bool SetCustomBaud(int fd, unsigned long baud, std::string& why)
{
#ifdef RTU_SERIAL_CUSTOM_BAUD
    constexpr tcflag_t kBaudBits = CBAUD;
    constexpr tcflag_t kBother = 0010000;  // the rate is in c_ispeed / c_ospeed
    constexpr int kInputShift = 16;        // input rate bits above the output ones
    termios2 t2{};
    if (::ioctl(fd, TCGETS2, &t2) != 0) {
        why = "reading the line settings failed: " + ErrnoText(errno);
        return false;
    }
    t2.c_cflag &= ~(kBaudBits | (kBaudBits << kInputShift));
    t2.c_cflag |= kBother | (kBother << kInputShift);
    t2.c_ispeed = static_cast<speed_t>(baud);
    t2.c_ospeed = static_cast<speed_t>(baud);
    if (::ioctl(fd, TCSETS2, &t2) != 0) {
        why = "the rate " + std::to_string(baud) + " was refused: " + ErrnoText(errno);
        return false;
    }
    return true;
#else
    static_cast<void>(fd);
    why = "the rate " + std::to_string(baud) + " is not supported on this system";
    return false;
#endif
}

}  // namespace

// ---- settings to line ----------------------------------------------------

std::string SerialDevicePath(const SerialSettings& settings, std::string* why)
{
    const std::string& com = settings.com;
    if (!com.empty() && com[0] == '/') return com;
    if (com.size() < 3) {
        SetWhy(why, "COM \"" + com + "\" names no port");
        return std::string();
    }
    const long long number = AtoiText(std::string_view(com).substr(3));
    if (number < 1 || number > kHighestPort) {
        SetWhy(why, "COM \"" + com + "\" has no port number from 1 to 1024");
        return std::string();
    }
    const int index = static_cast<int>(number - 1);
    if (!FormatAccepts(settings.devicePattern, {index})) {
        SetWhy(why, "DevicePattern \"" + settings.devicePattern + "\" does not take one port number (%d)");
        return std::string();
    }
    std::string path = FormatText(settings.devicePattern, {index});
    if (path.empty()) SetWhy(why, "DevicePattern is empty");
    return path;
}

bool MakeLineConfig(const SerialSettings& settings, LineConfig& out, std::string* why)
{
    LineConfig config;
    config.device = SerialDevicePath(settings, why);
    if (config.device.empty()) return false;

    const long long baud = AtoiText(settings.baudRate);
    if (baud <= 0 || static_cast<unsigned long long>(baud) > std::numeric_limits<speed_t>::max()) {
        SetWhy(why, "BAUDRATE \"" + settings.baudRate + "\" is not a rate");
        return false;
    }
    config.baud = static_cast<unsigned long>(baud);

    if (settings.byteSize < 0 || settings.byteSize > 3) {
        SetWhy(why, "BYTESIZE " + std::to_string(settings.byteSize) + " is not 0 to 3");
        return false;
    }
    config.dataBits = settings.byteSize + 5;
    config.twoStopBits = settings.stopBit != 0;

    if (settings.parity < 0 || settings.parity > 2) {
        SetWhy(why, "PATITY " + std::to_string(settings.parity) + " is not 0, 1 or 2");
        return false;
    }
    config.parity = settings.parity;
    out = std::move(config);
    return true;
}

bool MapLineToTermios(const LineConfig& config, const termios& base, termios& out, unsigned long& customBaud)
{
    if (config.baud == 0 || config.dataBits < 5 || config.dataBits > 8 || config.parity < 0 || config.parity > 2) {
        return false;
    }
    termios t = base;

    // Raw: every byte as received, nothing translated, echoed or signalled.
    t.c_iflag &= ~static_cast<tcflag_t>(BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY |
                                        IGNPAR | INPCK | IUCLC | IMAXBEL);
    t.c_iflag |= IGNBRK;
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;

    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARENB | PARODD | CRTSCTS);
#ifdef CMSPAR
    t.c_cflag &= ~static_cast<tcflag_t>(CMSPAR);
#endif
    t.c_cflag |= CREAD | CLOCAL;
    switch (config.dataBits) {
    case 5: t.c_cflag |= CS5; break;
    case 6: t.c_cflag |= CS6; break;
    case 7: t.c_cflag |= CS7; break;
    default: t.c_cflag |= CS8; break;
    }
    if (config.twoStopBits) t.c_cflag |= CSTOPB;
    if (config.parity != 0) {
        t.c_cflag |= PARENB;
        if (config.parity == 1) t.c_cflag |= PARODD;
        t.c_iflag |= INPCK;
    }

    speed_t speed = B38400;
    customBaud = 0;
    if (!BaudConstantFor(config.baud, speed)) {
        customBaud = config.baud;
        speed = B38400;
    }
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    out = t;
    return true;
}

std::string LineMismatch(const termios& wanted, const termios& actual, bool compareSpeed)
{
    std::string text;
    auto add = [&text](const std::string& what, const std::string& has, const std::string& set) {
        if (has == set) return;
        if (!text.empty()) text += ", ";
        text += what + " " + has + " instead of " + set;
    };
    add("data bits", std::to_string(DataBits(actual)), std::to_string(DataBits(wanted)));
    add("stop bits", (actual.c_cflag & CSTOPB) != 0 ? "2" : "1", (wanted.c_cflag & CSTOPB) != 0 ? "2" : "1");
    add("parity", ParityName(actual), ParityName(wanted));
    if (compareSpeed) {
        add("speed", std::to_string(RateOf(cfgetospeed(&actual))), std::to_string(RateOf(cfgetospeed(&wanted))));
        add("input speed", std::to_string(RateOf(cfgetispeed(&actual))),
            std::to_string(RateOf(cfgetispeed(&wanted))));
    }
    return text;
}

// ---- the line ------------------------------------------------------------

CSerial::~CSerial() { Close(); }

bool CSerial::Open(const SerialSettings& settings, ReceiveCallback onBytes, LostCallback onLost)
{
    LineConfig config;
    std::string why;
    if (!MakeLineConfig(settings, config, &why)) {
        RTU_LOG_ERROR("serial line not opened: " << why);
        return false;
    }
    return Open(config, std::move(onBytes), std::move(onLost));
}

bool CSerial::Open(const LineConfig& config, ReceiveCallback onBytes, LostCallback onLost)
{
    std::lock_guard<std::mutex> control(openCloseLock_);
    if (open_) {
        RTU_LOG_ERROR("serial line " << config.device << " not opened: " << device_ << " is already open");
        return false;
    }

    std::string why;
    const int fd = ::open(config.device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        RTU_LOG_ERROR("serial line " << config.device << " could not be opened: " << ErrnoText(errno));
        return false;
    }
    int wakeFd = -1;
    auto fail = [&](const std::string& reason) {
        RTU_LOG_ERROR("serial line " << config.device << " not opened: " << reason);
        if (wakeFd >= 0) ::close(wakeFd);
        ::ioctl(fd, TIOCNXCL);
        ::close(fd);
        return false;
    };

    if (!::isatty(fd)) return fail("not a terminal device");
    // Exclusive use, like the line's only owner: a second opener gets EBUSY.
    if (::ioctl(fd, TIOCEXCL) != 0) return fail("exclusive use refused: " + ErrnoText(errno));

    termios current{};
    if (::tcgetattr(fd, &current) != 0) return fail("reading the line settings failed: " + ErrnoText(errno));
    termios wanted{};
    unsigned long customBaud = 0;
    if (!MapLineToTermios(config, current, wanted, customBaud)) return fail("the line settings are out of range");
    if (::tcsetattr(fd, TCSANOW, &wanted) != 0) return fail("writing the line settings failed: " + ErrnoText(errno));
    if (customBaud != 0 && !SetCustomBaud(fd, customBaud, why)) return fail(why);
    // tcsetattr succeeds when any of the settings was taken: read them back.
    termios actual{};
    if (::tcgetattr(fd, &actual) == 0) {
        std::string mismatch = LineMismatch(wanted, actual, customBaud == 0);
        const unsigned long rate = customBaud != 0 ? CustomBaudOf(fd) : 0;
        if (customBaud != 0 && rate != customBaud) {
            mismatch += std::string(mismatch.empty() ? "" : ", ") + "speed " + std::to_string(rate) +
                        " instead of " + std::to_string(customBaud);
        }
        if (!mismatch.empty()) {
            RTU_LOG_ERROR("serial line " << config.device << ": the device did not take every setting: " << mismatch
                                         << "; the line is used as it is");
        }
    } else {
        RTU_LOG_ERROR("serial line " << config.device << ": its settings could not be read back: "
                                     << ErrnoText(errno));
    }
    // Whatever the device held from before this program opened it is stale.
    if (::tcflush(fd, TCIOFLUSH) != 0) return fail("clearing the line failed: " + ErrnoText(errno));

    wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) return fail("no wake-up descriptor: " + ErrnoText(errno));

    {
        std::lock_guard<std::mutex> line(writeLock_);
        fd_ = fd;
        wakeFd_ = wakeFd;
    }
    lost_ = false;
    try {
        reader_ = std::thread(&CSerial::ReadLoop, this, config.device, fd, wakeFd, std::move(onBytes),
                              std::move(onLost));
    } catch (const std::exception& e) {
        {
            std::lock_guard<std::mutex> line(writeLock_);
            fd_ = -1;
            wakeFd_ = -1;
        }
        return fail(std::string("the reader thread could not start: ") + e.what());
    }
    device_ = config.device;
    open_ = true;
    return true;
}

void CSerial::Close()
{
    std::lock_guard<std::mutex> control(openCloseLock_);
    CloseLocked();
}

void CSerial::CloseLocked()
{
    if (!open_) return;
    // wakeFd_ changes only under both locks, so reading it under openCloseLock_ is safe.
    const std::uint64_t one = 1;
    if (::write(wakeFd_, &one, sizeof one) < 0) {
        RTU_LOG_ERROR("serial line " << device_ << ": waking the reader failed: " << ErrnoText(errno));
    }
    if (reader_.joinable()) reader_.join();

    std::lock_guard<std::mutex> line(writeLock_);  // a writer sees the wake-up and lets go
    ::ioctl(fd_, TIOCNXCL);
    ::close(fd_);
    ::close(wakeFd_);
    fd_ = -1;
    wakeFd_ = -1;
    device_.clear();
    open_ = false;
}

std::string CSerial::Device() const
{
    std::lock_guard<std::mutex> control(openCloseLock_);
    return device_;
}

std::size_t CSerial::Write(const std::uint8_t* bytes, std::size_t length)
{
    return Write(std::string_view(reinterpret_cast<const char*>(bytes), length));
}

std::size_t CSerial::Write(std::string_view bytes)
{
    std::lock_guard<std::mutex> line(writeLock_);
    // A lost device was logged once when reading ended; writes to it are
    // dropped quietly until the line is reopened.
    if (fd_ < 0 || bytes.empty() || lost_) return 0;

    const auto deadline =
        std::chrono::steady_clock::now() + kWriteTimeoutBase + std::chrono::milliseconds(bytes.size());
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd_, bytes.data() + written, bytes.size() - written);
        if (n > 0) {
            written += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) {
            RTU_LOG_ERROR("serial line write failed after " << written << " of " << bytes.size()
                                                            << " bytes: " << ErrnoText(errno));
            break;
        }
        // The device's output buffer is full: wait until it drains, the line
        // is being closed, or the time is up.
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            RTU_LOG_ERROR("serial line write timed out after " << written << " of " << bytes.size() << " bytes");
            break;
        }
        pollfd fds[2] = {{fd_, POLLOUT, 0}, {wakeFd_, POLLIN, 0}};
        const int ready = ::poll(fds, 2, static_cast<int>(left.count()));
        if (ready < 0 && errno != EINTR) {
            RTU_LOG_ERROR("serial line write: waiting failed: " << ErrnoText(errno));
            break;
        }
        if (fds[1].revents != 0) break;  // closing
        if ((fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            RTU_LOG_ERROR("serial line write: the device reports an error or hang-up after " << written << " of "
                                                                                           << bytes.size() << " bytes");
            break;
        }
    }
    return written;
}

void CSerial::ReadLoop(const std::string& device, int fd, int wakeFd, ReceiveCallback onBytes,
                       LostCallback onLost)
{
    char buffer[kReadBlock];
    int consecutiveErrors = 0;
    auto lose = [&](const std::string& reason) {
        RTU_LOG_ERROR("serial line " << device << ": " << reason << "; reading stops until the line is reopened");
        lost_ = true;
        if (!onLost) return;
        try {
            onLost();
        } catch (...) {
            RTU_LOG_ERROR("serial line " << device << ": the lost-line handler failed");
        }
    };

    for (;;) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        const int ready = ::poll(fds, 2, -1);
        if (ready < 0) {
            if (errno == EINTR) continue;
            lose("waiting for bytes failed: " + ErrnoText(errno));
            return;
        }
        if (fds[1].revents != 0) return;  // Close()
        const short events = fds[0].revents;
        if (events == 0) continue;
        if ((events & POLLNVAL) != 0) {
            lose("the descriptor is no longer valid");
            return;
        }

        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            consecutiveErrors = 0;
            try {
                if (onBytes) onBytes(std::string_view(buffer, static_cast<std::size_t>(n)));
            } catch (const std::exception& e) {
                RTU_LOG_DEBUG("Comm Receive error: " << e.what());
            } catch (...) {
                RTU_LOG_DEBUG("Comm Receive error");
            }
            continue;
        }
        const int error = n < 0 ? errno : 0;
        if (n < 0 && error == EINTR) continue;
        if (n == 0 || error == EIO || error == ENXIO || error == ENODEV) {
            lose(n == 0 ? std::string("the device hung up") : "the device went away: " + ErrnoText(error));
            return;
        }
        if (error == EAGAIN) {
            // Readable with nothing to read: a hang-up without data means the
            // device is gone; anything else was a spurious wake-up.
            if ((events & POLLHUP) != 0) {
                lose("the device hung up");
                return;
            }
            continue;
        }
        // A line error (overrun, a driver fault): note it, leave the bytes
        // that follow to the framing rule, which resynchronises on SOH.
        if (++consecutiveErrors >= kMaxConsecutiveErrors) {
            lose("reading keeps failing: " + ErrnoText(error));
            return;
        }
        if (consecutiveErrors == 1) {
            RTU_LOG_ERROR("serial line " << device << ": read error, reading goes on: " << ErrnoText(error));
        }
        pollfd wait[1] = {{wakeFd, POLLIN, 0}};
        if (::poll(wait, 1, kErrorBackoffMs) > 0) return;
    }
}

}  // namespace rtu
