// The data centre as a separate process for end-to-end tests: a fresh
// folder with server.ini (SQLite databases), config.ini and IOCP_log.cfg,
// `RTU --headless` started in it on a free loopback port, and stopped with
// SIGTERM. Also a station's link (TCP, or a serial line's end) that reads
// whole frames with time limits.
#pragma once

#include "rtu/uplink/CutFrames.h"

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

namespace rtu::e2e {

using namespace std::chrono_literals;

struct CentreSettings {
    int offLine = 120;       // seconds
    int regMode = 0;         // 0 plain, 1 registration
    int parseDelay = 0;      // milliseconds
    bool secondary = true;   // write the secondary database (third.db)
    std::string conversionIds;  // lines "station=number" of section Conversion ID
    std::string comm = "MODE=0\n";  // lines of section COMM (the serial line)
    // The main database: the database keys of section Set, and the connection
    // string the test reads it with (empty: the SQLite file rtu.db of the folder).
    std::string mainDatabase = "Driver=SQLite3\nName=rtu.db\nSource=\nUser=\nPwd=\n";
    std::string mainConnection;
    std::uint16_t port = 0;            // 0: a free loopback port
    std::string logLevel = "DEBUG";    // of the MAIN logger
};

class RtuProcess {
public:
    explicit RtuProcess(const CentreSettings& settings = {});
    ~RtuProcess();
    RtuProcess(const RtuProcess&) = delete;
    RtuProcess& operator=(const RtuProcess&) = delete;

    // Starts the program and waits (bounded) until its port accepts
    // connections. False when it exited or never listened.
    bool Start(std::chrono::seconds limit = 30s);
    // SIGTERM, then waits for the exit; the exit status, or -1 when it was
    // killed by a signal or had to be killed after `limit`.
    int Stop(std::chrono::seconds limit = 60s);
    bool Running() const { return pid_ > 0; }
    // The exit status of a program that ended by itself during Start (-1
    // when it did not, or was ended by a signal).
    int ExitCode() const { return exitCode_; }

    std::uint16_t Port() const { return port_; }
    const std::string& Folder() const { return folder_; }
    std::string MainDatabase() const { return folder_ + "/rtu.db"; }
    // The connection string of the main database, for Query and the like.
    const std::string& MainConnection() const { return mainConnection_; }
    std::string SecondaryDatabase() const { return folder_ + "/third.db"; }
    // What the program wrote to standard output and standard error.
    std::string Output() const;
    // Waits (bounded) until the output holds `text`; false when it did not
    // come within the limit or the program exited.
    bool WaitForOutput(std::string_view text, std::chrono::milliseconds limit = 10s) const;

private:
    std::string folder_;
    std::uint16_t port_ = 0;
    std::string mainConnection_;
    pid_t pid_ = -1;
    int exitCode_ = -1;
};

// A loopback port that nothing listens on at the moment of the call.
std::uint16_t FreePort();

// One station's TCP connection, or the station's end of a serial line
// (Attach), blocking with time limits.
class StationLink {
public:
    StationLink() = default;
    ~StationLink();
    StationLink(const StationLink&) = delete;
    StationLink& operator=(const StationLink&) = delete;

    bool Connect(std::uint16_t port);
    // Uses an open descriptor of a terminal (a pseudo-terminal's master) and
    // closes it at the end.
    void Attach(int fd);
    bool Send(std::string_view bytes);
    // The next complete frame, or empty when none came within the limit or
    // the link closed.
    std::optional<std::string> ReadFrame(std::chrono::milliseconds limit = 10s);
    // Exactly n raw bytes (not framed), or what came before the limit.
    std::string ReadBytes(std::size_t n, std::chrono::milliseconds limit = 10s);
    // True when the centre closed the connection within the limit; bytes
    // that arrive meanwhile are kept for ReadFrame.
    bool WaitClosed(std::chrono::milliseconds limit);
    bool Closed() const { return closed_; }

private:
    // Reads what is there within the limit into the framing; false on time-out.
    bool Receive(std::chrono::milliseconds limit);

    int fd_ = -1;
    bool socket_ = true;
    bool closed_ = false;
    std::string raw_;  // bytes received and not yet framed (for ReadBytes)
    FramingState framing_;
    std::deque<std::string> frames_;
};

}  // namespace rtu::e2e
