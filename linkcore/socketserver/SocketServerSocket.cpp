// CSocketServer::Socket: one accepted connection.
#include <cerrno>
#include <cstring>
#include <vector>

#include <arpa/inet.h>
#include <sys/socket.h>

#include "linkcore/socketserver/SocketServer.h"
#include "linkcore/socketserver/Trace.h"

namespace linkcore {

CSocketServer::Socket::Socket(CSocketServer& server, int handle, bool useSequenceNumbers)
    : m_server(server), m_socket(handle), m_device(server.m_iocp.CreateDevice())
{
    if (handle == kInvalidSocket) {
        Trace("CSocketServer::Socket::Socket() Invalid socket");
    } else if (useSequenceNumbers) {
        m_sequenceData = std::make_unique<SequenceData>();
    }
}

CSocketServer::Socket::~Socket()
{
    DropHandle();
    ReleaseWaitingBuffers();
    m_server.m_iocp.DestroyDevice(m_device);
}

void CSocketServer::Socket::Attach(int handle)
{
    std::vector<CIOBuffer*> waiting;
    {
        std::lock_guard<std::mutex> guard(m_connectionLock);
        if (m_socket != kInvalidSocket) {
            Trace("CSocketServer::Socket::Attach() Socket already attached");
            return;
        }
        m_socket = handle;
        m_outstandingWrites.store(0);
        m_unsentBytes.store(0);
        m_received.store(false);
        m_readShutdown = false;
        m_writeShutdown = false;
        m_closing = false;
        m_clientClosed.store(0);
        if (!m_sequenceData && m_server.m_useSequenceNumbers) {
            m_sequenceData = std::make_unique<SequenceData>();
        }
        if (m_sequenceData) {
            m_sequenceData->readCounter = 0;
            m_sequenceData->writeCounter = 0;
            m_sequenceData->nextExpected = 0;
            if (!m_sequenceData->waiting.empty()) {
                Trace("List not empty when reset !");
                for (auto& entry : m_sequenceData->waiting) {
                    waiting.push_back(entry.second);
                }
                m_sequenceData->waiting.clear();
            }
        }
    }
    for (CIOBuffer* buffer : waiting) {
        buffer->Release();
    }
}

void CSocketServer::Socket::SetPeer(const CIOBuffer& address)
{
    std::strcpy(m_peerText, "0.0.0.0");
    m_peerPort = 0;
    if (address.GetUsed() >= sizeof(sockaddr_in)) {
        sockaddr_in peer;
        std::memcpy(&peer, address.GetBuffer(), sizeof(peer));
        if (peer.sin_family == AF_INET) {
            ::inet_ntop(AF_INET, &peer.sin_addr, m_peerText, sizeof(m_peerText));
            m_peerPort = ntohs(peer.sin_port);
        }
    }
}

bool CSocketServer::Socket::IsOpen() const
{
    std::lock_guard<std::mutex> guard(m_connectionLock);
    return m_socket != kInvalidSocket;
}

bool CSocketServer::Socket::ReceiveShut() const
{
    std::lock_guard<std::mutex> guard(m_connectionLock);
    return m_readShutdown;
}

bool CSocketServer::Socket::SendShut() const
{
    std::lock_guard<std::mutex> guard(m_connectionLock);
    return m_writeShutdown;
}

void CSocketServer::Socket::AddRef()
{
    m_references.fetch_add(1, std::memory_order_relaxed);
}

bool CSocketServer::Socket::TryAddRef()
{
    long current = m_references.load(std::memory_order_relaxed);
    while (current > 0) {
        if (m_references.compare_exchange_weak(current, current + 1, std::memory_order_acq_rel)) {
            return true;
        }
    }
    return false;
}

void CSocketServer::Socket::Release()
{
    if (m_references.fetch_sub(1, std::memory_order_acq_rel) != 1) {
        return;
    }
    // The count reached 0: this thread alone decides what happens next.
    // TryAddRef refuses a count of 0, so nobody else can take it back.
    for (;;) {
        if (!IsOpen()) {
            m_server.ReleaseSocket(this);
            return;
        }
        m_references.fetch_add(1, std::memory_order_acq_rel);  // held while it is being closed
        bool ask = false;
        {
            std::lock_guard<std::mutex> guard(m_connectionLock);
            if (!m_closing) {
                m_closing = true;
                ask = true;
            }
        }
        if (!ask || !m_server.OnConnectionLastRelease(this)) {
            AbortiveClose();
        }
        if (m_references.fetch_sub(1, std::memory_order_acq_rel) != 1) {
            return;
        }
    }
}

bool CSocketServer::Socket::Read(CIOBuffer* buffer, bool reportFailures)
{
    if (!IsOpen()) {
        if (!reportFailures) {
            return false;
        }
        Trace("CSocketServer::Socket::Read() Socket is closed");
        return true;
    }
    if (buffer != nullptr) {
        buffer->AddRef();
    } else {
        buffer = m_server.Allocate();
        if (buffer == nullptr) {
            return false;
        }
    }
    m_server.PostOperation(this, buffer, m_server.m_postZeroByteReads ? IO_Zero_Byte_Read_Request : IO_Read_Request);
    buffer->Release();
    return true;
}

bool CSocketServer::Socket::Write(const char* data, std::size_t length, bool reportFailures)
{
    // The buffers are filled before the connection lock is taken, so that
    // the lock covers only the numbering and the posting.
    const std::size_t size = m_server.BufferSize();
    const std::size_t count = length == 0 ? 1 : (length + size - 1) / size;
    std::vector<CIOBuffer*> buffers;
    buffers.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        CIOBuffer* buffer = m_server.Allocate();
        if (buffer == nullptr) {
            for (CIOBuffer* taken : buffers) {
                taken->Release();
            }
            return false;
        }
        const std::size_t offset = i * size;
        const std::size_t chunk = length - offset < size ? length - offset : size;
        buffer->AddData(data + offset, chunk);
        buffers.push_back(buffer);
    }

    const char* refusal = nullptr;
    const std::size_t limit = m_server.m_maxUnsentBytes.load();
    std::size_t backlog = 0;
    bool overLimit = false;
    {
        std::lock_guard<std::mutex> guard(m_connectionLock);
        if (m_socket == kInvalidSocket) {
            refusal = "CSocketServer::Socket::Write()Socket is closed";
        } else if (m_writeShutdown) {
            Trace("CSocketServer::Socket::WritePending() - Attempt to write after write shutdown");
            refusal = "CSocketServer::Socket::Write() Socket is shutdown";
        } else if (limit != 0 && m_unsentBytes.load() + count * size > limit) {
            // The peer does not take what it is sent: nothing more is queued
            // and the connection is closed.
            backlog = m_unsentBytes.load();
            overLimit = true;
            m_writeShutdown = true;
            refusal = "CSocketServer::Socket::Write() unsent bytes over the limit";
        } else {
            m_unsentBytes.fetch_add(count * size);
            for (CIOBuffer* buffer : buffers) {
                m_outstandingWrites.fetch_add(1);
                buffer->SetSequenceNumber(NextSequenceNumberLocked(false));
                m_server.PostOperation(this, buffer, IO_Write_Request);
            }
        }
    }
    for (CIOBuffer* buffer : buffers) {
        buffer->Release();
    }
    if (overLimit) {
        m_server.OnRefusal(SendBacklogPassed, std::string(m_peerText) + ":" + std::to_string(m_peerPort) + " " +
                                                  std::to_string(backlog) + " bytes of buffers unsent, " +
                                                  std::to_string(length) + " more bytes asked");
        PostAbortiveClose();
        return false;
    }
    if (refusal != nullptr) {
        if (!reportFailures) {
            return false;
        }
        Trace(refusal);
    }
    return true;
}

void CSocketServer::Socket::ReleaseOnWorker()
{
    long current = m_references.load(std::memory_order_relaxed);
    while (current > 1) {
        if (m_references.compare_exchange_weak(current, current - 1, std::memory_order_acq_rel)) {
            return;
        }
    }
    // Possibly the last reference: a worker drops it, so that the close and
    // the closed callback run there and not inside the caller's call. The
    // packet is an empty filtered read completion, which does nothing else.
    CIOBuffer* buffer = m_server.Allocate();
    if (buffer == nullptr) {
        Release();
        return;
    }
    buffer->SetOperation(IO_Filtered_Read_Completed);
    m_server.m_iocp.PostStatus(this, 0, buffer);
}

void CSocketServer::Socket::PostAbortiveClose()
{
    CIOBuffer* buffer = m_server.Allocate();
    if (buffer == nullptr) {
        AbortiveClose();
        return;
    }
    m_server.PostOperation(this, buffer, IO_Abortive_Close);
    buffer->Release();
}

void CSocketServer::Socket::WriteDone()
{
    const std::size_t bytes = m_server.BufferSize();
    bool shutdownSend = false;
    {
        std::lock_guard<std::mutex> guard(m_connectionLock);
        const std::size_t unsent = m_unsentBytes.load();
        m_unsentBytes.store(unsent - (bytes < unsent ? bytes : unsent));
        shutdownSend = m_outstandingWrites.fetch_sub(1) == 1 && m_writeShutdown;
    }
    if (shutdownSend) {
        Shutdown(ShutdownSend);
    }
}

void CSocketServer::Socket::Shutdown(int how)
{
    try {
        if (TraceEnabled()) {
            Trace("CSocketServer::Socket::Shutdown() " + std::to_string(how));
        }
        if (!m_server.AllowShutdown(this, how)) {
            return;
        }
        int error = 0;
        bool done = false;
        {
            std::lock_guard<std::mutex> guard(m_connectionLock);
            if (how == ShutdownReceive || how == ShutdownBoth) {
                m_readShutdown = true;
            }
            if (how == ShutdownSend || how == ShutdownBoth) {
                m_writeShutdown = true;
            }
            if (m_outstandingWrites.load() > 0) {
                // The send side follows the last WriteDone.
                if (how == ShutdownSend) {
                    return;
                }
                if (how == ShutdownBoth) {
                    how = ShutdownReceive;
                }
            }
            if (m_socket != kInvalidSocket) {
                const int systemHow = how == ShutdownReceive ? SHUT_RD : how == ShutdownSend ? SHUT_WR : SHUT_RDWR;
                if (::shutdown(m_socket, systemHow) != 0) {
                    error = errno;
                }
                if (how != ShutdownSend) {
                    // The pending receive ends now rather than waiting for
                    // the kernel to report the shut side.
                    m_server.m_iocp.ShutdownReceive(m_device);
                }
                done = true;
            }
        }
        if (error != 0) {
            m_server.OnErrorMessage("CSocketServer::Server::Shutdown() - " + SystemErrorText(error));
        }
        if (done) {
            Trace("shutdown initiated");
        }
    } catch (...) {
    }
}

void CSocketServer::Socket::ClientClosed()
{
    if (m_clientClosed.exchange(1) != 0) {
        return;
    }
    Shutdown(ShutdownReceive);
    m_server.OnConnectionClientClose(this);
}

void CSocketServer::Socket::ConnectionReset()
{
    if (!IsOpen()) {
        return;
    }
    m_server.OnConnectionReset(this);
    InternalClose();
}

void CSocketServer::Socket::InternalClose()
{
    int error = 0;
    {
        std::lock_guard<std::mutex> guard(m_connectionLock);
        if (m_socket == kInvalidSocket) {
            return;
        }
        error = m_server.m_iocp.CloseHandle(m_device);
        m_socket = kInvalidSocket;
        m_readShutdown = true;
        m_writeShutdown = true;
    }
    if (error != 0) {
        m_server.OnErrorMessage("CSocketServer::Socket::InternalClose() - closesocket - " + SystemErrorText(error));
    }
    // Outside the connection lock: this reaches the caller's closed callback.
    m_server.OnSocketClosed(this);
}

void CSocketServer::Socket::DropHandle()
{
    std::lock_guard<std::mutex> guard(m_connectionLock);
    if (m_socket == kInvalidSocket) {
        return;
    }
    SetAbortiveLinger(m_socket);
    m_server.m_iocp.CloseHandle(m_device);
    m_socket = kInvalidSocket;
}

void CSocketServer::Socket::AbortiveClose()
{
    int error = 0;
    {
        std::lock_guard<std::mutex> guard(m_connectionLock);
        if (m_socket != kInvalidSocket) {
            error = SetAbortiveLinger(m_socket);
        }
    }
    if (error != 0) {
        m_server.OnErrorMessage("CSocketServer::Socket::AbortiveClose() - setsockopt(SO_LINGER) - " +
                                SystemErrorText(error));
    }
    InternalClose();
}

void CSocketServer::Socket::ConnectionError(ConnectionErrorSource source, CIOBuffer* buffer, int error)
{
    if (error == ESHUTDOWN || error == EPIPE) {
        ClientClosed();
    } else if (error == ECONNRESET || error == ECONNABORTED) {
        ConnectionReset();
    } else if ((error == EBADF || error == ENOTSOCK) && !IsOpen()) {
        // The handle was closed under the operation.
    } else {
        m_server.OnConnectionError(source, this, buffer, error);
    }
}

int CSocketServer::Socket::NextSequenceNumberLocked(bool forRead)
{
    if (!m_sequenceData) {
        return 0;
    }
    return forRead ? m_sequenceData->readCounter++ : m_sequenceData->writeCounter++;
}

int CSocketServer::Socket::StartReceive(CIOBuffer* buffer)
{
    std::lock_guard<std::mutex> guard(m_connectionLock);
    if (buffer->GetOperation() == IO_Read_Completed) {
        buffer->SetSequenceNumber(NextSequenceNumberLocked(true));
    }
    if (m_socket == kInvalidSocket) {
        return EBADF;
    }
    return m_server.m_iocp.StartReceive(m_device, buffer);
}

int CSocketServer::Socket::StartSend(CIOBuffer* buffer)
{
    std::lock_guard<std::mutex> guard(m_connectionLock);
    if (m_socket == kInvalidSocket) {
        return EBADF;
    }
    return m_server.m_iocp.StartSend(m_device, buffer);
}

CIOBuffer* CSocketServer::Socket::GetNextBuffer(CIOBuffer* buffer)
{
    std::lock_guard<std::mutex> guard(m_connectionLock);
    if (!m_sequenceData) {
        return buffer;
    }
    SequenceData& data = *m_sequenceData;
    if (buffer != nullptr) {
        if (buffer->GetSequenceNumber() == data.nextExpected) {
            return buffer;
        }
        if (!data.waiting.emplace(buffer->GetSequenceNumber(), buffer).second) {
            Trace("UNEXPECTED, element already in map!");
        }
        auto first = data.waiting.begin();
        if (first->first == data.nextExpected) {
            CIOBuffer* next = first->second;
            data.waiting.erase(first);
            return next;
        }
        if (TraceEnabled()) {
            Trace(PointerText(&data.waiting) + "GN1 Got buffer: " + std::to_string(first->first) +
                  "Want buffer: " + std::to_string(data.nextExpected));
        }
        return nullptr;
    }
    ++data.nextExpected;
    if (data.waiting.empty()) {
        return nullptr;
    }
    auto first = data.waiting.begin();
    if (first->first == data.nextExpected) {
        CIOBuffer* next = first->second;
        data.waiting.erase(first);
        return next;
    }
    if (TraceEnabled()) {
        Trace(PointerText(&data.waiting) + "PAGN Got buffer: " + std::to_string(first->first) +
              "Want buffer: " + std::to_string(data.nextExpected));
    }
    return nullptr;
}

void CSocketServer::Socket::ReleaseWaitingBuffers()
{
    if (!m_sequenceData) {
        return;
    }
    std::vector<CIOBuffer*> waiting;
    {
        std::lock_guard<std::mutex> guard(m_connectionLock);
        for (auto& entry : m_sequenceData->waiting) {
            waiting.push_back(entry.second);
        }
        m_sequenceData->waiting.clear();
    }
    for (CIOBuffer* buffer : waiting) {
        buffer->Release();
    }
}

}  // namespace linkcore
