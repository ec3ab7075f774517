// The library's TCP server: the engine configured for the stations (all
// local IPv4 addresses, pools of 200 idle connections and 200 idle buffers,
// 1450-byte buffers, twice as many workers as processors, ordered writes),
// with accepted connections, received blocks and closed handles handed to the
// worker manager.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "linkcore/socketserver/SocketServer.h"

namespace linkcore {

constexpr std::size_t kIOBufferSize = 1450;
constexpr std::size_t kIdlePoolLimit = 200;
// Received bytes dumped to the debug log every 10 s at most: a station's
// traffic fits many times over, a flood of any kind cannot rotate the log
// away.
constexpr std::size_t kDumpBytesPerInterval = 64 * 1024;
// Connect and close lines written every 10 s at most (a peer that connects
// and closes in a loop would otherwise write hundreds of KB a second).
constexpr std::size_t kConnectionLinesPerInterval = 1000;

// The connection limits a server takes when it is created (see
// CSocketServer::SetConnectionLimits); negative values keep the current one.
void SetConnectionLimitsForNewServers(long long maxUnsentBytes, int silentSeconds);

class CHvTcpServer : public CSocketServer {
public:
    explicit CHvTcpServer(std::uint16_t port);
    ~CHvTcpServer() override;

protected:
    // Refusals are logged at ERROR, each kind at most once every 10 s with
    // the count of those held back; the housekeeping writes the counts of
    // kinds that went quiet.
    void OnRefusal(Refusal refusal, const std::string& detail) override;
    void OnHousekeeping() override;
    // The debug lines that any peer can cause in numbers are bounded: at
    // most kDumpBytesPerInterval received bytes are dumped every 10 s, and
    // at most kConnectionLinesPerInterval connects and closes written; the
    // rest is counted and reported once the interval has passed. True when
    // this block may be dumped, this line written.
    bool AdmitDump(std::size_t bytes);
    bool AdmitConnectionLine();

    void OnConnectionAccepted(Socket* pSocket, CIOBuffer* pAddress) override;
    bool OnConnectionLastRelease(Socket* pSocket) override;
    void OnSocketClosed(Socket* pSocket) override;
    void ReadCompleted(Socket* pSocket, CIOBuffer* pBuffer) override;

private:
    struct RefusalCount {
        std::chrono::steady_clock::time_point lastLogged{};
        bool logged = false;
        std::uint64_t heldBack = 0;
    };
    std::mutex m_refusalLock;  // guards the counts below
    std::array<RefusalCount, kRefusalKinds> m_refusals{};
    // What one interval allowed and what it held back.
    struct LogBudget {
        std::chrono::steady_clock::time_point windowStart{};
        std::size_t used = 0;
        std::uint64_t heldCount = 0;
        std::uint64_t heldAmount = 0;
        bool Admit(std::chrono::steady_clock::time_point now, std::size_t amount, std::size_t limit);
        // What was held back, once the interval is over; it opens the next one.
        bool TakeHeld(std::chrono::steady_clock::time_point now, std::uint64_t& count, std::uint64_t& amount);
    };
    LogBudget m_dumps;
    LogBudget m_connectionLines;
};

// Hex dump of a received block: lines of lineLength / 3 bytes, each byte as
// two upper-case hexadecimal digits and a blank, the last line padded, then
// " - ", the printable characters (others as '.') and a line feed.
std::string DumpData(const unsigned char* data, std::size_t length, std::size_t lineLength = 40);

}  // namespace linkcore
