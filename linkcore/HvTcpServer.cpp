#include "linkcore/HvTcpServer.h"

#include <atomic>
#include <cctype>
#include <clocale>
#include <utility>

#include "linkcore/Log.h"
#include "linkcore/WorkerManager.h"
#include "linkcore/socketserver/Exceptions.h"
#include "linkcore/socketserver/Trace.h"

namespace linkcore {

namespace {

constexpr std::chrono::seconds kRefusalLogInterval{10};

std::atomic<long long>& MaxUnsentForNewServers()
{
    static std::atomic<long long> value{static_cast<long long>(CSocketServer::kDefaultMaxUnsentBytes)};
    return value;
}

std::atomic<int>& SilentSecondsForNewServers()
{
    static std::atomic<int> value{static_cast<int>(CSocketServer::kDefaultSilentTimeout.count())};
    return value;
}

const char* RefusalText(CSocketServer::Refusal refusal)
{
    switch (refusal) {
    case CSocketServer::AcceptFailed:
        return "accepting a connection failed";
    case CSocketServer::AcceptedAndClosed:
        return "out of descriptors: a connection was accepted and closed at once";
    case CSocketServer::SendBacklogPassed:
        return "a connection that does not take what it is sent was closed";
    case CSocketServer::SilentTooLong:
        return "a connection that sent nothing was closed";
    }
    return "refusal";
}

}  // namespace

void SetConnectionLimitsForNewServers(long long maxUnsentBytes, int silentSeconds)
{
    if (maxUnsentBytes >= 0) MaxUnsentForNewServers().store(maxUnsentBytes);
    if (silentSeconds >= 0) SilentSecondsForNewServers().store(silentSeconds);
}

CHvTcpServer::CHvTcpServer(std::uint16_t port)
    : CSocketServer(0, port, kIdlePoolLimit, kIdlePoolLimit, kIOBufferSize, 0, true, false)
{
    SetConnectionLimits(static_cast<std::size_t>(MaxUnsentForNewServers().load()),
                        std::chrono::seconds(SilentSecondsForNewServers().load()));
}

void CHvTcpServer::OnRefusal(Refusal refusal, const std::string& text)
{
    // System error texts end with a line end: one line per refusal.
    std::string detail = text;
    while (!detail.empty() && (detail.back() == '\n' || detail.back() == '\r')) detail.pop_back();
    Trace(std::string(RefusalText(refusal)) + ": " + detail);
    const auto now = std::chrono::steady_clock::now();
    std::uint64_t heldBack = 0;
    {
        std::lock_guard<std::mutex> guard(m_refusalLock);
        RefusalCount& count = m_refusals.at(static_cast<std::size_t>(refusal));
        if (count.logged && now - count.lastLogged < kRefusalLogInterval) {
            ++count.heldBack;
            return;
        }
        count.logged = true;
        count.lastLogged = now;
        heldBack = count.heldBack;
        count.heldBack = 0;
    }
    if (heldBack == 0) {
        LINKCORE_LOG_ERROR(RefusalText(refusal) << ": " << detail);
    } else {
        LINKCORE_LOG_ERROR(RefusalText(refusal) << ": " << detail << " (" << heldBack
                                                << " more like it held back before)");
    }
}

bool CHvTcpServer::LogBudget::Admit(std::chrono::steady_clock::time_point now, std::size_t amount,
                                    std::size_t limit)
{
    if (now - windowStart >= kRefusalLogInterval && heldCount == 0) {
        windowStart = now;
        used = 0;
    }
    if (used + amount <= limit) {
        used += amount;
        return true;
    }
    ++heldCount;
    heldAmount += amount;
    return false;
}

bool CHvTcpServer::LogBudget::TakeHeld(std::chrono::steady_clock::time_point now, std::uint64_t& count,
                                       std::uint64_t& amount)
{
    if (heldCount == 0 || now - windowStart < kRefusalLogInterval) {
        return false;
    }
    count = std::exchange(heldCount, 0);
    amount = std::exchange(heldAmount, 0);
    windowStart = now;
    used = 0;
    return true;
}

bool CHvTcpServer::AdmitDump(std::size_t bytes)
{
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> guard(m_refusalLock);
    return m_dumps.Admit(now, bytes, kDumpBytesPerInterval);
}

bool CHvTcpServer::AdmitConnectionLine()
{
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> guard(m_refusalLock);
    return m_connectionLines.Admit(now, 1, kConnectionLinesPerInterval);
}

void CHvTcpServer::OnHousekeeping()
{
    const auto now = std::chrono::steady_clock::now();
    std::array<std::uint64_t, kRefusalKinds> quiet{};
    std::uint64_t undumpedBlocks = 0;
    std::uint64_t undumpedBytes = 0;
    std::uint64_t unwrittenLines = 0;
    std::uint64_t ignored = 0;
    {
        std::lock_guard<std::mutex> guard(m_refusalLock);
        m_dumps.TakeHeld(now, undumpedBlocks, undumpedBytes);
        m_connectionLines.TakeHeld(now, unwrittenLines, ignored);
        for (std::size_t i = 0; i < m_refusals.size(); ++i) {
            RefusalCount& count = m_refusals[i];
            if (count.heldBack != 0 && now - count.lastLogged >= kRefusalLogInterval) {
                quiet[i] = count.heldBack;
                count.heldBack = 0;
                count.lastLogged = now;
            }
        }
    }
    if (unwrittenLines != 0) {
        LINKCORE_LOG_DEBUG(unwrittenLines << " connect and close lines were not written in the last "
                                          << kRefusalLogInterval.count() << " s: more than "
                                          << kConnectionLinesPerInterval << " connections came and went");
    }
    if (undumpedBlocks != 0) {
        LINKCORE_LOG_DEBUG(undumpedBlocks << " received blocks (" << undumpedBytes
                                          << " bytes) were not dumped to the log in the last "
                                          << kRefusalLogInterval.count() << " s: more than "
                                          << kDumpBytesPerInterval << " bytes arrived");
    }
    for (std::size_t i = 0; i < quiet.size(); ++i) {
        if (quiet[i] != 0) {
            LINKCORE_LOG_ERROR(RefusalText(static_cast<Refusal>(i))
                               << ": " << quiet[i] << " more in the last " << kRefusalLogInterval.count() << " s");
        }
    }
}

CHvTcpServer::~CHvTcpServer()
{
    try {
        ShutdownServer();
    } catch (...) {
    }
}

void CHvTcpServer::OnConnectionAccepted(Socket* pSocket, CIOBuffer* pAddress)
{
    LINKCORE_CHECK_NOT_NULL(pSocket);
    LINKCORE_CHECK_NOT_NULL(pAddress);
    CWorkerManager* manager = LINKCORE_WORKER_MGR();

    const bool logged = DebugLogEnabled() && AdmitConnectionLine();
    const bool wanted = TraceEnabled() || logged;
    std::string text;
    if (wanted) {
        text = "HvTcpServer Connect IP:" +
               CSocketAddress::AsString(reinterpret_cast<const sockaddr*>(pAddress->GetBuffer()),
                                        static_cast<socklen_t>(pAddress->GetUsed())) +
               "  Socket:" + PointerText(pSocket);
        Trace(text);
    }
    manager->AddHvServerSocket(pSocket);
    if (logged) {
        LINKCORE_LOG_DEBUG(text);
    }
    pSocket->Read();
}

void CHvTcpServer::ReadCompleted(Socket* pSocket, CIOBuffer* pBuffer)
{
    LINKCORE_CHECK_NOT_NULL(pSocket);
    LINKCORE_CHECK_NOT_NULL(pBuffer);
    CWorkerManager* manager = LINKCORE_WORKER_MGR();
    try {
        // The dump costs up to 112 lines per block: built only when someone
        // will read it.
        const bool traced = TraceEnabled();
        const bool logged = DebugLogEnabled() && AdmitDump(pBuffer->GetUsed());
        if (traced || logged) {
            const std::string text =
                "HvTcpServerReadCompleted:\n" +
                DumpData(reinterpret_cast<const unsigned char*>(pBuffer->GetBuffer()), pBuffer->GetUsed());
            Trace(text);
            if (logged) LINKCORE_LOG_DEBUG(text);
        }
        manager->AddHvServerSocket(pSocket, pBuffer);
        pSocket->Read();
    } catch (...) {
        Trace("ReadCompleted - Unexpected exception");
        LINKCORE_LOG_ERROR("ReadCompleted - Unexpected exception");
        pSocket->Shutdown(Socket::ShutdownBoth);
    }
}

bool CHvTcpServer::OnConnectionLastRelease(Socket* pSocket)
{
    LINKCORE_CHECK_NOT_NULL(pSocket);
    return true;
}

void CHvTcpServer::OnSocketClosed(Socket* pSocket)
{
    LINKCORE_CHECK_NOT_NULL(pSocket);
    CWorkerManager* manager = LINKCORE_WORKER_MGR();
    const bool logged = DebugLogEnabled() && AdmitConnectionLine();
    const bool wanted = TraceEnabled() || logged;
    std::string text;
    if (wanted) {
        text = "HvTcpServer Closed Socket: " + PointerText(pSocket);
        Trace(text);
    }
    manager->RemoveHvServerSocket(pSocket);
    if (logged) {
        LINKCORE_LOG_DEBUG(text);
    }
}

std::string DumpData(const unsigned char* data, std::size_t length, std::size_t lineLength)
{
    const std::size_t perLine = lineLength / 3;
    static const char digits[] = "0123456789ABCDEF";
    std::string result;
    std::string hex;
    std::string chars;
    for (std::size_t i = 0; i < length; ++i) {
        const unsigned char byte = data[i];
        hex += digits[byte >> 4];
        hex += digits[byte & 0x0F];
        hex += ' ';
        // isprint of the C locale: the bytes 0x20 to 0x7E.
        chars += (byte >= 0x20 && byte <= 0x7E) ? static_cast<char>(byte) : '.';
        const std::size_t inLine = i % perLine + 1;
        if (inLine == perLine || i + 1 == length) {
            hex.append(3 * (perLine - inLine), ' ');
            result += hex;
            result += " - ";
            result += chars;
            result += '\n';
            hex.clear();
            chars.clear();
        }
    }
    return result;
}

}  // namespace linkcore
