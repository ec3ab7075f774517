// The serial line on POSIX termios: stations on radio modems or cables that
// share one port of the machine.
//
// CSerial opens the device named by the COMM settings, configures it raw
// (8N1 or whatever the settings say, no echo, no line editing, no flow
// control, modem lines ignored), and runs one reader thread that waits with
// poll() and hands every block of received bytes, in order, to a callback.
// The callbacks run on the reader thread and must not call Close().
//
// Threads: Open and Close belong to one owner (the service start and stop,
// under the owner's serial lock); Write may be called from any thread at any
// time, also while the line is being closed (it then returns early). Locks,
// outermost first: openCloseLock_ (Open/Close), writeLock_ (the device for writes).
// The callback is called with no lock of this class held.
#pragma once

#include "rtu/runtime/ServerSettings.h"

#include <termios.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace rtu {

// The line as the settings describe it, checked.
struct LineConfig {
    std::string device;        // path of the device
    unsigned long baud = 0;    // bits per second
    int dataBits = 8;          // 5..8
    bool twoStopBits = false;
    int parity = 0;            // 0 none, 1 odd, 2 even
};

// The device path for the COM setting: a value starting with "/" is used as
// it stands; "COMn" (n = 1..1024, the number after the first three
// characters) is `devicePattern` filled with n - 1. Empty when the value
// names no device or the pattern does not take one integer; `why` then says
// what was wrong.
std::string SerialDevicePath(const SerialSettings& settings, std::string* why = nullptr);

// Checks the COMM settings and turns them into a LineConfig: the device as
// above, BAUDRATE as a decimal number above 0, BYTESIZE + 5 data bits,
// STOPBIT 0 one stop bit (anything else two), PATITY 0/1/2. False (with
// `why`) on a value that cannot be used.
bool MakeLineConfig(const SerialSettings& settings, LineConfig& out, std::string* why = nullptr);

// The termios values for a line, starting from `base` (the device's current
// settings): raw input and output, receiver on, modem lines ignored, no flow
// control, reads return as soon as one byte is there, the data bits, stop
// bits and parity of `config`, parity checked when used (a byte received
// with a parity or framing error reads as a zero byte, so the frame it
// belongs to fails its check and framing resynchronises on the next SOH),
// break conditions ignored. The speed is set with cfsetispeed/cfsetospeed
// when the system has a constant for it; otherwise `customBaud` is set to
// the rate (it must then be set with the kernel's arbitrary-rate interface)
// and the speed fields are left at B38400. False for a rate of 0 or bits out
// of range.
bool MapLineToTermios(const LineConfig& config, const termios& base, termios& out,
                      unsigned long& customBaud);

// What `actual` (the device's settings read back) holds that differs from
// `wanted` in data bits, stop bits, parity and, when `compareSpeed`, speed,
// as "data bits 8 instead of 7, ..."; empty when they match. A device may
// accept the settings and keep others (a pseudo-terminal keeps 8 data bits
// and no parity).
std::string LineMismatch(const termios& wanted, const termios& actual, bool compareSpeed = true);

class CSerial {
public:
    // Receives each block of bytes read from the line, on the reader thread.
    using ReceiveCallback = std::function<void(std::string_view bytes)>;
    // Told, on the reader thread, that the device went away and reading
    // has ended (LineLost() is then true).
    using LostCallback = std::function<void()>;

    CSerial() = default;
    ~CSerial();  // closes the line

    CSerial(const CSerial&) = delete;
    CSerial& operator=(const CSerial&) = delete;

    // Opens and configures the line of `settings` and starts its reader. The
    // settings are read back; what the device did not take is logged as an
    // error and the line is used as it is. False (and logged) when the settings cannot be used, the device cannot
    // be opened or configured, or the line is already open; after a failure
    // nothing is left open.
    bool Open(const SerialSettings& settings, ReceiveCallback onBytes, LostCallback onLost = {});
    bool Open(const LineConfig& config, ReceiveCallback onBytes, LostCallback onLost = {});

    // Stops and joins the reader and closes the device. Bytes being written
    // by another thread are abandoned. Does nothing when closed.
    void Close();

    bool IsOpen() const { return open_.load(); }

    // True when the reader ended because the device went away (unplugged,
    // or the other end of a pseudo-terminal closed). The line stays open
    // until Close().
    bool LineLost() const { return lost_.load(); }

    // Writes all bytes, continuing short writes, waiting at most 1000 ms
    // plus 1 ms per byte for the device to take them. Writers are
    // serialised, so frames from different threads never interleave.
    // Returns the number of bytes written (0 when the line is closed or
    // its device went away).
    std::size_t Write(std::string_view bytes);
    std::size_t Write(const std::uint8_t* bytes, std::size_t length);

    // The device path of the open line (empty when closed).
    std::string Device() const;

private:
    void ReadLoop(const std::string& device, int fd, int wakeFd, ReceiveCallback onBytes, LostCallback onLost);
    void CloseLocked();

    mutable std::mutex openCloseLock_;  // Open, Close, device_
    std::mutex writeLock_;             // fd_ and wakeFd_ for Write; taken inside openCloseLock_
    int fd_ = -1;
    int wakeFd_ = -1;             // eventfd: readable once Close has begun
    std::string device_;
    std::thread reader_;
    std::atomic<bool> open_{false};
    std::atomic<bool> lost_{false};
};

}  // namespace rtu
