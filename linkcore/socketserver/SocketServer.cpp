#include "linkcore/socketserver/SocketServer.h"

#include <cerrno>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "linkcore/socketserver/Exceptions.h"
#include "linkcore/socketserver/Trace.h"

namespace linkcore {

namespace {

std::size_t DefaultWorkerCount(std::size_t requested)
{
    if (requested != 0) {
        return requested;
    }
    const unsigned processors = std::thread::hardware_concurrency();
    return 2 * static_cast<std::size_t>(processors == 0 ? 1 : processors);
}

const char* OperationLabel(unsigned operation)
{
    switch (operation) {
    case CSocketServer::IO_Zero_Byte_Read_Request:
        return "ZeroByteRead:";
    case CSocketServer::IO_Zero_Byte_Read_Completed:
    case CSocketServer::IO_Read_Request:
        return "IO_Zero_Byte_Read_Completed|IO_Read_Request:";
    case CSocketServer::IO_Read_Completed:
        return "IO_Read_Completed:";
    case CSocketServer::IO_Write_Request:
        return "IO_Write_Request:";
    case CSocketServer::IO_Write_Completed:
        return "IO_Write_Completed:";
    case CSocketServer::IO_Filtered_Read_Request:
        return "IO_Filtered_Read_Request:";
    case CSocketServer::IO_Filtered_Read_Completed:
        return "IO_Filtered_Read_Completed:";
    default:
        return nullptr;
    }
}

// A failed accept that comes from running out of descriptors or memory:
// retrying at once would only spin.
bool AcceptNeedsBackOff(int error)
{
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

constexpr int kAcceptBackOffMs = 100;
// How long the accept thread waits for a connection before it looks after
// the open ones (silent connections).
constexpr int kHousekeepingMs = 1000;

}  // namespace

CSocketServer::CSocketServer(std::uint32_t address, std::uint16_t port, std::size_t maxFreeSockets,
                             std::size_t maxFreeBuffers, std::size_t bufferSize, std::size_t workerThreads,
                             bool useSequenceNumbers, bool postZeroByteReads)
    : CIOBuffer::Allocator(bufferSize, maxFreeBuffers),
      m_workerThreadCount(DefaultWorkerCount(workerThreads)),
      m_iocp(0),
      m_address(address),
      m_port(port),
      m_maxFreeSockets(maxFreeSockets),
      m_useSequenceNumbers(useSequenceNumbers),
      m_postZeroByteReads(postZeroByteReads)
{
    m_acceptWake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_acceptWake < 0) {
        throw CWin32Exception("CEvent::Create()", static_cast<unsigned>(errno));
    }
    OpenReserve();
}

CSocketServer::~CSocketServer()
{
    try {
        ShutdownServer();
    } catch (...) {
    }
    ::close(m_acceptWake);
    if (m_reserve >= 0) {
        ::close(m_reserve);
    }
}

void CSocketServer::SetConnectionLimits(std::size_t maxUnsentBytes, std::chrono::milliseconds silentTimeout)
{
    m_maxUnsentBytes.store(maxUnsentBytes);
    m_silentTimeoutMs.store(silentTimeout.count() > 0 ? silentTimeout.count() : 0);
}

// ---- accepting --------------------------------------------------------

bool CSocketServer::StartAcceptingConnections()
{
    {
        std::lock_guard<std::mutex> guard(m_listenLock);
        if (m_listeningSocket != kInvalidSocket) {
            return false;
        }
        const int handle = CreateListeningSocket(m_address, m_port);
        if (handle == kInvalidSocket) {
            return false;
        }
        m_listeningSocket = handle;
        m_acceptEnabled = true;
    }
    OnStartAcceptingConnections();
    m_acceptConnectionsEvent.Set();
    return true;
}

void CSocketServer::StopAcceptingConnections()
{
    {
        std::unique_lock<std::mutex> lock(m_listenLock);
        if (m_listeningSocket == kInvalidSocket) {
            return;
        }
        m_acceptConnectionsEvent.Reset();
        m_acceptEnabled = false;
        // A thread blocked in poll is woken; it leaves without tracing, and
        // the handle is closed only once nobody is inside poll or accept.
        const std::uint64_t one = 1;
        [[maybe_unused]] ssize_t written = ::write(m_acceptWake, &one, sizeof(one));
        m_listenIdle.wait(lock, [this] { return m_acceptInside == 0; });
        if (::close(m_listeningSocket) != 0) {
            Trace("CSocketServer::StopAcceptingConnections() - closesocket - " + SystemErrorText(errno));
        }
        m_listeningSocket = kInvalidSocket;
    }
    OnStopAcceptingConnections();
}

std::uint16_t CSocketServer::ListeningPort() const
{
    std::lock_guard<std::mutex> guard(m_listenLock);
    if (m_listeningSocket == kInvalidSocket) {
        return 0;
    }
    sockaddr_in local{};
    socklen_t length = sizeof(local);
    if (::getsockname(m_listeningSocket, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        return 0;
    }
    return ntohs(local.sin_port);
}

int CSocketServer::CreateListeningSocket(std::uint32_t address, std::uint16_t port)
{
    const int handle = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (handle < 0) {
        Trace("CSocket::CreateListeningSocket()" + SystemErrorText(errno));
        return kInvalidSocket;
    }
    CSocket listening(handle);
    // A restart right after a stop must bind again while old connections
    // linger in TIME_WAIT.
    const int reuse = 1;
    ::setsockopt(handle, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof(reuse));
    if (listening.Bind(CSocketAddress(address, port)) != 0 || listening.Listen(SOMAXCONN) != 0) {
        return kInvalidSocket;  // the wrapper closes the socket abortively
    }
    return listening.Detach();
}

int CSocketServer::EnterAccept()
{
    std::lock_guard<std::mutex> guard(m_listenLock);
    if (!m_acceptEnabled || m_listeningSocket == kInvalidSocket) {
        return kInvalidSocket;
    }
    ++m_acceptInside;
    return m_listeningSocket;
}

void CSocketServer::LeaveAccept()
{
    bool idle;
    {
        std::lock_guard<std::mutex> guard(m_listenLock);
        idle = --m_acceptInside == 0;
    }
    if (idle) {
        m_listenIdle.notify_all();
    }
}

void CSocketServer::DrainAcceptWake()
{
    std::uint64_t value = 0;
    [[maybe_unused]] ssize_t got = ::read(m_acceptWake, &value, sizeof(value));
}

void CSocketServer::WaitForAcceptWake(int timeoutMs)
{
    pollfd wake{m_acceptWake, POLLIN, 0};
    ::poll(&wake, 1, timeoutMs);
}

void CSocketServer::OpenReserve()
{
    if (m_reserve < 0) {
        m_reserve = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    }
}

bool CSocketServer::AcceptOnReserve(int listening)
{
    if (m_reserve < 0) {
        return false;
    }
    ::close(m_reserve);
    m_reserve = -1;
    const int accepted = ::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
    if (accepted >= 0) {
        // A reset rather than an orderly close: the peer learns at once.
        SetAbortiveLinger(accepted);
        ::close(accepted);
    }
    OpenReserve();
    return accepted >= 0;
}

void CSocketServer::Housekeeping()
{
    const auto now = std::chrono::steady_clock::now();
    if (now < m_nextHousekeeping) {
        return;
    }
    m_nextHousekeeping = now + std::chrono::milliseconds(kHousekeepingMs);
    OpenReserve();  // when it could not be had before
    const std::chrono::milliseconds silentTimeout(m_silentTimeoutMs.load());
    std::vector<Socket*> silent;
    if (silentTimeout.count() > 0) {
        std::lock_guard<std::mutex> guard(m_serverLock);
        for (CNodeList::Node* node = m_activeList.Head(); node != nullptr; node = node->Next()) {
            Socket* socket = static_cast<Socket*>(node);
            if (!socket->m_received.load() && now - socket->m_acceptedAt >= silentTimeout && socket->TryAddRef()) {
                silent.push_back(socket);
            }
        }
    }
    // Closed on workers, outside the server lock: closing reports to the caller.
    for (Socket* socket : silent) {
        if (socket->IsOpen()) {
            OnRefusal(SilentTooLong, std::string(socket->PeerAddressText()) + ":" +
                                         std::to_string(socket->PeerPort()));
            socket->PostAbortiveClose();
        }
        socket->Release();
    }
    OnHousekeeping();
}

int CSocketServer::Run()
{
    try {
        for (std::size_t i = 0; i < m_workerThreadCount; ++i) {
            WorkerThread* worker = NewWorkerThread(m_iocp);
            m_workers.push_back(worker);
            worker->Start();
        }

        for (;;) {
            if (m_shutdownEvent.IsSet()) {
                break;
            }
            const int raised = CEvent::WaitForAny({&m_shutdownEvent, &m_acceptConnectionsEvent});
            if (raised == 0) {
                break;
            }
            if (raised != 1) {
                Trace("CSocketServer::Run() - WaitForMultipleObjects:" + SystemErrorText(EINVAL));
                continue;
            }
            while (!m_shutdownEvent.IsSet() && m_acceptConnectionsEvent.IsSet()) {
                Housekeeping();
                DrainAcceptWake();
                const int listening = EnterAccept();
                if (listening == kInvalidSocket) {
                    break;
                }
                CIOBuffer* address = Allocate();
                if (address == nullptr) {
                    LeaveAccept();
                    WaitForAcceptWake(kAcceptBackOffMs);
                    continue;
                }
                socklen_t length = static_cast<socklen_t>(address->GetSize());
                const int accepted = ::accept4(listening, reinterpret_cast<sockaddr*>(address->GetBuffer()),
                                               &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
                const int error = accepted < 0 ? errno : 0;
                if (accepted < 0 && (error == EAGAIN || error == EWOULDBLOCK)) {
                    pollfd waits[2] = {{listening, POLLIN, 0}, {m_acceptWake, POLLIN, 0}};
                    ::poll(waits, 2, kHousekeepingMs);
                    LeaveAccept();
                    address->Release();
                    continue;
                }
                LeaveAccept();
                if (accepted < 0) {
                    if (error != EINTR && error != ECONNABORTED && m_acceptConnectionsEvent.IsSet()) {
                        Trace("CSocketServer::Run() - WSAAccept:" + SystemErrorText(error));
                        OnRefusal(AcceptFailed, SystemErrorText(error));
                    }
                    if (AcceptNeedsBackOff(error)) {
                        // Out of descriptors: the peer waiting first is
                        // accepted on the reserve and closed, so the
                        // backlog keeps moving; otherwise wait a little.
                        const int reserveListening = EnterAccept();
                        bool closed = false;
                        if (reserveListening != kInvalidSocket) {
                            closed = AcceptOnReserve(reserveListening);
                            LeaveAccept();
                        }
                        if (closed) {
                            OnRefusal(AcceptedAndClosed, SystemErrorText(error));
                        } else {
                            WaitForAcceptWake(kAcceptBackOffMs);
                        }
                    }
                } else {
                    address->Use(length);
                    Socket* socket = AcquireSocket(accepted, *address);
                    if (socket != nullptr) {
                        // A failing hook costs this connection only; the
                        // accept thread must go on to stop the workers.
                        try {
                            OnConnectionAccepted(socket, address);
                        } catch (...) {
                            Trace("CSocketServer::Run() - Unexpected exception");
                        }
                        socket->Release();
                    }
                }
                address->Release();
            }
        }

        for (std::size_t i = 0; i < m_workers.size(); ++i) {
            m_iocp.PostStatus(nullptr, 0, nullptr);
        }
        for (WorkerThread* worker : m_workers) {
            m_iocp.PostStatus(nullptr, 0, nullptr);
            worker->Wait();
            delete worker;
        }
        m_workers.clear();
    } catch (const CException& e) {
        Trace(e.GetWhere() + e.GetMessageText());
    } catch (...) {
        Trace("CSocketServer::Run() - Unexpected exception");
    }
    OnShutdownComplete();
    return 0;
}

// ---- connections ------------------------------------------------------

CSocketServer::Socket* CSocketServer::AcquireSocket(int handle, const CIOBuffer& address)
{
    bool created = false;
    Socket* socket = nullptr;
    {
        std::lock_guard<std::mutex> guard(m_serverLock);
        if (m_shuttingDown) {
            CSocket(handle).AbortiveClose();
            return nullptr;
        }
        socket = static_cast<Socket*>(m_freeList.PopFront());
        if (socket == nullptr) {
            socket = new Socket(*this, handle, m_useSequenceNumbers);
            created = true;
        } else {
            socket->Attach(handle);
            socket->m_references.store(1);
        }
        socket->m_acceptedAt = std::chrono::steady_clock::now();
        socket->SetPeer(address);
        m_activeList.PushFront(socket);
        if (!m_iocp.AssociateDevice(socket->m_device, handle, socket)) {
            // Without the queue the connection could never complete anything.
            socket->DropHandle();
            m_activeList.Remove(socket);
            socket->m_references.store(0);
            m_freeList.PushFront(socket);
            socket = nullptr;
        }
    }
    if (created) {
        OnConnectionCreated();
    }
    return socket;
}

void CSocketServer::ReleaseSocket(Socket* socket)
{
    if (socket == nullptr) {
        Trace("CSocketServer::ReleaseSocket() pSocket is null");
        return;
    }
    bool destroyed = false;
    {
        std::lock_guard<std::mutex> guard(m_serverLock);
        m_activeList.Remove(socket);
        if (m_maxFreeSockets == 0 || m_freeList.Count() < m_maxFreeSockets) {
            m_freeList.PushFront(socket);
        } else {
            delete socket;
            destroyed = true;
        }
    }
    if (destroyed) {
        OnConnectionDestroyed();
    }
}

void CSocketServer::ReleaseSockets()
{
    std::size_t destroyed = 0;
    bool leaked;
    {
        std::lock_guard<std::mutex> guard(m_serverLock);
        // Connections still active here are held only by packets that no
        // worker will take any more.
        while (Socket* socket = static_cast<Socket*>(m_activeList.PopFront())) {
            delete socket;
            ++destroyed;
        }
        while (Socket* socket = static_cast<Socket*>(m_freeList.PopFront())) {
            delete socket;
            ++destroyed;
        }
        leaked = !m_activeList.Empty() || !m_freeList.Empty();
    }
    for (std::size_t i = 0; i < destroyed; ++i) {
        OnConnectionDestroyed();
    }
    if (leaked) {
        Trace("CSocketServer::ReleaseSockets() - Leaked sockets");
    }
}

std::size_t CSocketServer::ActiveConnections() const
{
    std::lock_guard<std::mutex> guard(m_serverLock);
    return m_activeList.Count();
}

std::size_t CSocketServer::IdleConnections() const
{
    std::lock_guard<std::mutex> guard(m_serverLock);
    return m_freeList.Count();
}

void CSocketServer::BeginShutdown()
{
    StopAcceptingConnections();
    std::vector<Socket*> open;
    {
        std::lock_guard<std::mutex> guard(m_serverLock);
        m_shuttingDown = true;
        for (CNodeList::Node* node = m_activeList.Head(); node != nullptr; node = node->Next()) {
            Socket* socket = static_cast<Socket*>(node);
            // A connection nobody holds is being closed by its last releaser.
            if (socket->TryAddRef()) {
                open.push_back(socket);
            }
        }
    }
    // Closed outside the server lock: closing reports to the caller.
    for (Socket* socket : open) {
        socket->AbortiveClose();
        socket->Release();
    }
    m_shutdownEvent.Set();
    OnShutdownInitiated();
}

void CSocketServer::ShutdownServer()
{
    BeginShutdown();
    Wait();
    ReleaseSockets();
    FreeAllBuffers();
}

void CSocketServer::PostOperation(Socket* socket, CIOBuffer* buffer, IO_Operation operation)
{
    buffer->SetOperation(operation);
    buffer->AddRef();
    socket->AddRef();
    m_iocp.PostStatus(socket, 0, buffer);
}

// ---- default hooks ----------------------------------------------------

void CSocketServer::WriteCompleted(Socket* /*socket*/, CIOBuffer* buffer)
{
    if (buffer->GetUsed() != buffer->WindowLength()) {
        Trace("CSocketServer::WorkerThread::WriteCompleted - Socket write where not all data was written");
    }
}

CSocketServer::WorkerThread* CSocketServer::NewWorkerThread(CIOCompletionPort& port)
{
    return new WorkerThread(*this, port);
}

void CSocketServer::OnStartAcceptingConnections() { Trace("OnStartAcceptingConnections\r\n"); }
void CSocketServer::OnStopAcceptingConnections() { Trace("OnStopAcceptingConnections\r\n"); }
void CSocketServer::OnShutdownInitiated() { Trace("OnShutdownInitiated\r\n"); }
void CSocketServer::OnShutdownComplete() { Trace("OnShutdownComplete\r\n"); }
void CSocketServer::OnConnectionCreated() { Trace("OnConnectionCreated\r\n"); }
void CSocketServer::OnConnectionClientClose(Socket* /*socket*/) { Trace("OnConnectionClientClose\r\n"); }
void CSocketServer::OnConnectionReset(Socket* /*socket*/) { Trace("OnConnectionReset\r\n"); }
bool CSocketServer::OnConnectionLastRelease(Socket* /*socket*/) { return false; }
void CSocketServer::OnSocketClosed(Socket* /*socket*/) {}
void CSocketServer::OnConnectionDestroyed() { Trace("OnConnectionDestroyed\r\n"); }

void CSocketServer::OnConnectionError(ConnectionErrorSource /*source*/, Socket* /*socket*/, CIOBuffer* /*buffer*/,
                                      int error)
{
    if (TraceEnabled()) {
        Trace("CSocketServer::OnConnectionError() - : " + SystemErrorText(error));
    }
}

void CSocketServer::OnErrorMessage(const std::string& message) { Trace(message); }
void CSocketServer::OnRefusal(Refusal refusal, const std::string& detail)
{
    Trace("CSocketServer refusal " + std::to_string(static_cast<int>(refusal)) + ": " + detail);
}
void CSocketServer::OnHousekeeping() {}
void CSocketServer::OnThreadCreated() { Trace("OnThreadCreated\r\n"); }
void CSocketServer::OnThreadBeginProcessing() { Trace("OnThreadBeginProcessing\r\n"); }
void CSocketServer::OnThreadEndProcessing() { Trace("OnThreadEndProcessing\r\n"); }
void CSocketServer::OnThreadDestroyed() { Trace("OnThreadDestroyed\r\n"); }
bool CSocketServer::AllowReadRequest(Socket*, CIOBuffer*) { return true; }
bool CSocketServer::AllowReadCompletion(Socket*, CIOBuffer*) { return true; }
bool CSocketServer::AllowWriteRequest(Socket*, CIOBuffer*) { return true; }
bool CSocketServer::AllowWriteCompletion(Socket*, CIOBuffer*) { return true; }
bool CSocketServer::AllowShutdown(Socket*, int) { return true; }
bool CSocketServer::AllowClose(Socket*) { return true; }
void CSocketServer::OnBufferCreated() { Trace("OnBufferCreated\r\n"); }
void CSocketServer::OnBufferAllocated() { Trace("OnBufferAllocated\r\n"); }
void CSocketServer::OnBufferReleased() { Trace("OnBufferReleased\r\n"); }
void CSocketServer::OnBufferDestroyed() { Trace("OnBufferDestroyed\r\n"); }

// ---- worker threads ---------------------------------------------------

CSocketServer::WorkerThread::WorkerThread(CSocketServer& server, CIOCompletionPort& iocp)
    : m_server(server), m_iocp(iocp)
{
    m_server.OnThreadCreated();
}

CSocketServer::WorkerThread::~WorkerThread()
{
    try {
        m_server.OnThreadDestroyed();
    } catch (...) {
    }
}

int CSocketServer::WorkerThread::Run()
{
    for (;;) {
        void* key = nullptr;
        std::size_t bytes = 0;
        CIOBuffer* buffer = nullptr;
        int error = 0;
        const bool ok = m_iocp.GetStatus(key, bytes, buffer, error);
        Socket* socket = static_cast<Socket*>(key);
        if (ok && socket == nullptr) {
            return 0;  // the stop packet
        }
        if (ok) {
            try {
                m_server.OnThreadBeginProcessing();
                ProcessCompletion(socket, buffer, bytes, false);
                m_server.OnThreadEndProcessing();
            } catch (const CException& e) {
                m_server.OnErrorMessage("CSocketServer::WorkerThread::Run() - Exception: " + e.GetWhere() + " - " +
                                        e.GetMessageText());
            } catch (...) {
                // Only this packet ends; the worker carries on.
                m_server.OnErrorMessage("CSocketServer::WorkerThread::Run() - Unexpected exception");
            }
        }
        // A failed transfer ends here: its references go, nothing else.
        try {
            if (socket != nullptr) {
                socket->Release();
            }
        } catch (...) {
            m_server.OnErrorMessage("CSocketServer::WorkerThread::Run() - Unexpected exception");
        }
        if (buffer != nullptr) {
            buffer->Release();
        }
    }
}

void CSocketServer::WorkerThread::ProcessCompletion(Socket* socket, CIOBuffer* buffer, std::size_t bytes,
                                                    bool failed)
{
    if (buffer == nullptr) {
        m_server.OnErrorMessage("CSocketServer::WorkerThread::Run() - Unexpected - pBuffer is 0");
        return;
    }
    const unsigned operation = buffer->GetOperation();
    if (operation > IO_Abortive_Close) {
        m_server.OnErrorMessage("CSocketServer::WorkerThread::Run() - Unexpected operation");
        return;
    }
    if (TraceEnabled()) {
        if (const char* label = OperationLabel(operation)) {
            Trace(label + PointerText(buffer));
        }
    }

    switch (operation) {
    case IO_Zero_Byte_Read_Request:
        ZeroByteRead(socket, buffer);
        break;
    case IO_Zero_Byte_Read_Completed:
    case IO_Read_Request:
        if (m_server.AllowReadRequest(socket, buffer)) {
            Read(socket, buffer);
        }
        break;
    case IO_Read_Completed:
        buffer->Use(bytes);
        if (bytes > 0) {
            socket->m_received.store(true);
        }
        if (TraceEnabled()) {
            Trace("  RX: " + std::to_string(buffer->GetUsed()) + " bytes" + " Seq: " +
                  std::to_string(buffer->GetSequenceNumber()) + " : " + PointerText(buffer) + "\n");
        }
        if (m_server.AllowReadCompletion(socket, buffer) && bytes > 0) {
            m_server.ReadCompleted(socket, buffer);
        }
        if (bytes == 0 && !failed) {
            Trace("ReadCompleted - 0 bytes - client connection dropped");
            socket->ClientClosed();
        }
        break;
    case IO_Write_Request:
        if (TraceEnabled()) {
            Trace("  TX: " + std::to_string(buffer->GetUsed()) + " bytes" + " Seq: " +
                  std::to_string(buffer->GetSequenceNumber()) + " : " + PointerText(buffer) + "\n");
        }
        if (m_server.AllowWriteRequest(socket, buffer)) {
            Write(socket, buffer);
        }
        break;
    case IO_Write_Completed:
        buffer->Use(bytes);
        if (m_server.AllowWriteCompletion(socket, buffer)) {
            m_server.WriteCompleted(socket, buffer);
            socket->WriteDone();
        }
        break;
    case IO_Filtered_Read_Request:
        Read(socket, buffer);
        break;
    case IO_Filtered_Read_Completed:
        if (buffer->GetUsed() > 0) {
            m_server.ReadCompleted(socket, buffer);
        }
        break;
    case IO_Filtered_Write_Request:
        Write(socket, buffer);
        break;
    case IO_Filtered_Write_Completed:
        m_server.WriteCompleted(socket, buffer);
        socket->WriteDone();
        break;
    case IO_Abortive_Close:
        socket->AbortiveClose();
        break;
    default:
        break;
    }
}

void CSocketServer::WorkerThread::Read(Socket* socket, CIOBuffer* buffer)
{
    socket->AddRef();
    buffer->SetOperation(IO_Read_Completed);
    buffer->SetupRead();
    buffer->AddRef();
    const int error = socket->StartReceive(buffer);
    if (error != 0) {
        socket->ConnectionError(ReadError, buffer, error);
        socket->Release();
        buffer->Release();
    }
}

void CSocketServer::WorkerThread::ZeroByteRead(Socket* socket, CIOBuffer* buffer)
{
    socket->AddRef();
    buffer->SetOperation(IO_Zero_Byte_Read_Completed);
    buffer->SetupZeroByteRead();
    buffer->AddRef();
    const int error = socket->StartReceive(buffer);
    if (error != 0) {
        socket->ConnectionError(ZeroByteReadError, buffer, error);
        socket->Release();
        buffer->Release();
    }
}

void CSocketServer::WorkerThread::Write(Socket* socket, CIOBuffer* buffer)
{
    socket->AddRef();
    buffer->SetOperation(IO_Write_Completed);
    buffer->SetupWrite();
    buffer->AddRef();
    CIOBuffer* candidate = socket->GetNextBuffer(buffer);
    while (candidate != nullptr) {
        if (TraceEnabled()) {
            Trace(PointerText(socket) + " X TX: Seq: " + std::to_string(candidate->GetSequenceNumber()) +
                  " bytes = " + std::to_string(candidate->WindowLength()));
        }
        const int error = socket->StartSend(candidate);
        if (error != 0) {
            socket->ConnectionError(WriteError, candidate, error);
            socket->WriteDone();
            socket->Release();
            candidate->Release();
        }
        candidate = socket->GetNextBuffer();
    }
}

}  // namespace linkcore
