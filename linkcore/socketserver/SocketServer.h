// The TCP server engine: one listening socket served by an accept thread, a
// pool of I/O worker threads taking packets from the completion queue, and
// pooled connection objects (Socket) and I/O buffers.
//
// A derived class says what to do with an accepted connection and with
// received bytes by overriding the hooks. The engine owns the threads (the
// accept thread is this object's own thread; it starts, stops and joins the
// workers), the connection objects and the buffers.
//
// Lock order, outermost first: m_serverLock, a connection's m_connectionLock,
// its device's transferLock, m_completionQueueLock, m_bufferPoolLock, the
// trace lock (the data centre's table of every lock, rtu/runtime/Locks.h,
// lists them with the others). Hooks that reach the caller (OnSocketClosed,
// ReadCompleted, OnConnectionAccepted) are never called with the server lock
// or a connection lock held.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "linkcore/socketserver/Event.h"
#include "linkcore/socketserver/IOBuffer.h"
#include "linkcore/socketserver/IOCompletionPort.h"
#include "linkcore/socketserver/NodeList.h"
#include "linkcore/socketserver/Sockets.h"
#include "linkcore/socketserver/Thread.h"

namespace linkcore {

class CSocketServer : public CThread, private CUsesWinsock, public CIOBuffer::Allocator {
public:
    class Socket;
    class WorkerThread;

    // Operation codes carried by buffers in posted and completed packets.
    enum IO_Operation : unsigned {
        IO_Zero_Byte_Read_Request = 0,
        IO_Zero_Byte_Read_Completed = 1,
        IO_Read_Request = 2,
        IO_Read_Completed = 3,
        IO_Write_Request = 4,
        IO_Write_Completed = 5,
        IO_Filtered_Read_Request = 6,
        IO_Filtered_Read_Completed = 7,
        IO_Filtered_Write_Request = 8,
        IO_Filtered_Write_Completed = 9,
        // Closes the connection abortively on a worker (a limit was passed).
        IO_Abortive_Close = 10,
    };

    // Error sources reported to OnConnectionError.
    enum ConnectionErrorSource { ZeroByteReadError = 0, ReadError = 1, WriteError = 2 };

    // What the server refused, reported to OnRefusal.
    enum Refusal {
        AcceptFailed = 0,       // accept failed (detail: the system's error text)
        AcceptedAndClosed = 1,  // out of descriptors: accepted on the reserve and closed at once
        SendBacklogPassed = 2,  // a connection's unsent bytes passed the limit: closed
        SilentTooLong = 3,      // a connection sent nothing for the silent timeout: closed
    };
    static constexpr int kRefusalKinds = 4;

    // Defaults of the connection limits.
    static constexpr std::size_t kDefaultMaxUnsentBytes = 4 * 1024 * 1024;
    static constexpr std::chrono::seconds kDefaultSilentTimeout{120};

    // address: IPv4 in host order, 0 for all local addresses. Idle limits of
    // 0 keep everything. workerThreads 0 means twice the processor count.
    CSocketServer(std::uint32_t address, std::uint16_t port, std::size_t maxFreeSockets,
                  std::size_t maxFreeBuffers, std::size_t bufferSize = 1024, std::size_t workerThreads = 0,
                  bool useSequenceNumbers = true, bool postZeroByteReads = false);
    ~CSocketServer() override;

    bool StartAcceptingConnections();
    void StopAcceptingConnections();

    void BeginShutdown();
    // BeginShutdown, wait for the accept thread (which stops the workers),
    // release the connection objects and free the buffers.
    void ShutdownServer();

    std::size_t WorkerThreadCount() const { return m_workerThreadCount; }
    std::size_t ActiveConnections() const;
    std::size_t IdleConnections() const;
    // The port actually bound (useful when 0 asked the system for one).
    std::uint16_t ListeningPort() const;

    // A connection whose writes queued and not yet taken by the system
    // would hold more than maxUnsentBytes of buffers is closed, and that
    // Write refused; a peer that never reads cannot make the server hold its
    // answers without end. A write is counted at the size of the buffers it
    // takes, so that many short answers are bounded by the memory they hold. A connection that delivered no byte within silentTimeout of its
    // accept is closed. 0 disables either limit. May be set at any time.
    void SetConnectionLimits(std::size_t maxUnsentBytes, std::chrono::milliseconds silentTimeout);

protected:
    int Run() override;

    virtual void WriteCompleted(Socket* socket, CIOBuffer* buffer);
    virtual WorkerThread* NewWorkerThread(CIOCompletionPort& port);
    virtual int CreateListeningSocket(std::uint32_t address, std::uint16_t port);

    virtual void OnStartAcceptingConnections();
    virtual void OnStopAcceptingConnections();
    virtual void OnShutdownInitiated();
    virtual void OnShutdownComplete();
    virtual void OnConnectionCreated();
    virtual void OnConnectionAccepted(Socket* socket, CIOBuffer* address) = 0;
    virtual void OnConnectionClientClose(Socket* socket);
    virtual void OnConnectionReset(Socket* socket);
    virtual bool OnConnectionLastRelease(Socket* socket);
    virtual void OnSocketClosed(Socket* socket);
    virtual void OnConnectionDestroyed();
    virtual void OnConnectionError(ConnectionErrorSource source, Socket* socket, CIOBuffer* buffer, int error);
    virtual void OnErrorMessage(const std::string& message);
    // A refusal (see Refusal); called on the accept thread or a worker, with
    // no lock held. The default traces it.
    virtual void OnRefusal(Refusal refusal, const std::string& detail);
    // Called by the accept thread about once a second while it accepts.
    virtual void OnHousekeeping();
    virtual void OnThreadCreated();
    virtual void OnThreadBeginProcessing();
    virtual void OnThreadEndProcessing();
    virtual void OnThreadDestroyed();
    virtual bool AllowReadRequest(Socket* socket, CIOBuffer* buffer);
    virtual bool AllowReadCompletion(Socket* socket, CIOBuffer* buffer);
    virtual bool AllowWriteRequest(Socket* socket, CIOBuffer* buffer);
    virtual bool AllowWriteCompletion(Socket* socket, CIOBuffer* buffer);
    virtual bool AllowShutdown(Socket* socket, int how);
    virtual bool AllowClose(Socket* socket);
    virtual void ReadCompleted(Socket* socket, CIOBuffer* buffer) = 0;

    void OnBufferCreated() override;
    void OnBufferAllocated() override;
    void OnBufferReleased() override;
    void OnBufferDestroyed() override;

    void PostOperation(Socket* socket, CIOBuffer* buffer, IO_Operation operation);

private:
    friend class Socket;
    friend class WorkerThread;

    Socket* AcquireSocket(int handle, const CIOBuffer& address);
    void ReleaseSocket(Socket* socket);
    void ReleaseSockets();

    // The accept thread's hold on the listening socket: StopAcceptingConnections
    // closes it only when the accept thread is not inside poll or accept.
    int EnterAccept();
    void LeaveAccept();
    void DrainAcceptWake();
    void WaitForAcceptWake(int timeoutMs);
    // Out of descriptors: gives up the reserve descriptor for one accept and
    // closes what it accepts, so that the backlog does not hold peers that
    // could never be served. True when a connection was closed so.
    bool AcceptOnReserve(int listening);
    void OpenReserve();
    // Closes, on workers, the connections silent since their accept for the
    // silent timeout; runs OnHousekeeping. At most about once a second.
    void Housekeeping();

    const std::size_t m_workerThreadCount;

    mutable std::mutex m_serverLock;
    CNodeList m_activeList;
    CNodeList m_freeList;
    bool m_shuttingDown = false;

    mutable std::mutex m_listenLock;
    std::condition_variable m_listenIdle;
    int m_listeningSocket = kInvalidSocket;
    bool m_acceptEnabled = false;
    int m_acceptInside = 0;
    int m_acceptWake = -1;
    int m_reserve = -1;  // opened by the constructor, then the accept thread's: kept free for AcceptOnReserve
    std::chrono::steady_clock::time_point m_nextHousekeeping{};  // accept thread only

    std::atomic<std::size_t> m_maxUnsentBytes{kDefaultMaxUnsentBytes};
    std::atomic<std::int64_t> m_silentTimeoutMs{
        std::chrono::duration_cast<std::chrono::milliseconds>(kDefaultSilentTimeout).count()};

    CIOCompletionPort m_iocp;
    CManualResetEvent m_shutdownEvent;
    CManualResetEvent m_acceptConnectionsEvent;

    const std::uint32_t m_address;
    const std::uint16_t m_port;
    const std::size_t m_maxFreeSockets;
    const bool m_useSequenceNumbers;
    const bool m_postZeroByteReads;

    std::vector<WorkerThread*> m_workers;  // owned by the accept thread
};

class CSocketServer::WorkerThread : public CThread {
public:
    WorkerThread(CSocketServer& server, CIOCompletionPort& iocp);
    ~WorkerThread() override;

protected:
    int Run() override;
    virtual void ProcessCompletion(Socket* socket, CIOBuffer* buffer, std::size_t bytes, bool failed);

private:
    void Read(Socket* socket, CIOBuffer* buffer);
    void ZeroByteRead(Socket* socket, CIOBuffer* buffer);
    void Write(Socket* socket, CIOBuffer* buffer);

    CSocketServer& m_server;
    CIOCompletionPort& m_iocp;
};

// One accepted connection. Reference counted: every posted or started
// operation holds a reference, so the object stays while any operation on it
// is outstanding. The last release of an open connection closes it
// abortively; the release after the close gives the object back to the pool.
class CSocketServer::Socket : public CNodeList::Node {
public:
    enum ShutdownHow { ShutdownReceive = 0, ShutdownSend = 1, ShutdownBoth = 2 };

    bool IsOpen() const;

    void AddRef();
    // Takes a reference only while someone else still holds one; false when
    // the object is on its way to being closed or pooled.
    bool TryAddRef();
    void Release();
    // Drops a reference taken by a caller's thread. When it may be the last
    // one, a worker drops it instead, so that closing the connection (and
    // telling the caller about it) never happens inside the caller's call.
    void ReleaseOnWorker();
    long References() const { return m_references.load(); }

    // Posts a receive into the buffer (or a fresh one). On a closed
    // connection: false, or (reportFailures) traced and true.
    bool Read(CIOBuffer* buffer = nullptr, bool reportFailures = false);

    // Queues the bytes as writes in one atomic step: the bytes of one call
    // take consecutive places in the connection's write order and go out
    // whole, over as many buffers as they need. Returns true when queued;
    // when the connection is closed or shut down for sending nothing is
    // queued and the result is false (true, traced, with reportFailures).
    bool Write(const char* data, std::size_t length, bool reportFailures = false);

    void Shutdown(int how);
    void AbortiveClose();

    // The peer's address, taken when the connection was accepted.
    const char* PeerAddressText() const { return m_peerText; }
    std::uint16_t PeerPort() const { return m_peerPort; }

    bool ReceiveShut() const;
    bool SendShut() const;
    long OutstandingWrites() const { return m_outstandingWrites.load(); }
    // What the writes queued by Write and not yet taken by the system hold:
    // the size of their buffers (a short send holds a whole buffer).
    std::size_t UnsentBytes() const { return m_unsentBytes.load(); }

private:
    friend class CSocketServer;
    friend class WorkerThread;

    struct SequenceData {
        int readCounter = 0;
        int writeCounter = 0;
        int nextExpected = 0;
        std::map<int, CIOBuffer*> waiting;
    };

    Socket(CSocketServer& server, int handle, bool useSequenceNumbers);
    ~Socket();

    void Attach(int handle);
    void SetPeer(const CIOBuffer& address);
    void ClientClosed();
    void ConnectionReset();
    void ConnectionError(ConnectionErrorSource source, CIOBuffer* buffer, int error);
    // A queued buffer is over (sent, or failed to start).
    void WriteDone();
    void InternalClose();
    // Asks a worker to close the connection abortively.
    void PostAbortiveClose();
    // Closes the handle without telling anyone (pool and shutdown paths).
    void DropHandle();
    int NextSequenceNumberLocked(bool forRead);
    CIOBuffer* GetNextBuffer(CIOBuffer* buffer = nullptr);
    void ReleaseWaitingBuffers();

    int StartReceive(CIOBuffer* buffer);
    int StartSend(CIOBuffer* buffer);

    mutable std::mutex m_connectionLock;
    CSocketServer& m_server;
    int m_socket;
    std::atomic<long> m_references{1};
    std::atomic<long> m_outstandingWrites{0};
    std::atomic<std::size_t> m_unsentBytes{0};
    std::atomic<bool> m_received{false};  // a byte has been delivered since the accept
    std::chrono::steady_clock::time_point m_acceptedAt{};  // under the server lock
    bool m_readShutdown = false;
    bool m_writeShutdown = false;
    bool m_closing = false;
    std::atomic<long> m_clientClosed{0};
    std::unique_ptr<SequenceData> m_sequenceData;
    CIOCompletionPort::Device* const m_device;
    char m_peerText[16] = "0.0.0.0";
    std::uint16_t m_peerPort = 0;
};

}  // namespace linkcore
