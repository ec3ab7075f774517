#include "linkcore/WorkerManager.h"

#include <system_error>

#include "linkcore/HvTcpServer.h"
#include "linkcore/Log.h"
#include "linkcore/socketserver/Event.h"
#include "linkcore/socketserver/Exceptions.h"
#include "linkcore/socketserver/Trace.h"

namespace linkcore {

std::atomic<CWorkerManager*> WORKER_MGR{nullptr};

CWorkerManager* CheckedWorkerManager(const char* module, int line)
{
    CWorkerManager* manager = WORKER_MGR.load();
    assertion::CheckNotNull(manager, "WORKER_MGR", module, line);
    return manager;
}

namespace {

// The handshake between the starter, the stopper and the server thread.
// Never destroyed, like the events' hub: the server thread may still wait on
// them while a host that did not stop the server exits.
CManualResetEvent& StartedEvent()
{
    static CManualResetEvent* const event = new CManualResetEvent;
    return *event;
}
CManualResetEvent& StopEvent()
{
    static CManualResetEvent* const event = new CManualResetEvent;
    return *event;
}
CManualResetEvent& StoppedEvent()
{
    static CManualResetEvent* const event = new CManualResetEvent;
    return *event;
}
CManualResetEvent& AcceptToggleEvent()
{
    static CManualResetEvent* const event = new CManualResetEvent;
    return *event;
}
std::atomic<bool> s_startSucceeded{false};

void TraceEvent(const char* name, const CEvent& event)
{
    if (TraceEnabled()) {
        Trace(std::string(name) + PointerText(&event));
    }
}

}  // namespace

CWorkerManager::CWorkerManager() = default;

CWorkerManager::~CWorkerManager()
{
    // Destroying the manager leaves nothing running, even without a stop.
    try {
        StopHvServerThread();
    } catch (...) {
    }
}

void CWorkerManager::SetCallbacks(PFUNC_GOTTCPCLNTDATA data, PFUNC_TCPCLNTCLOSED closed,
                                  PFUNC_TCPSERVERCLOSED serverClosed)
{
    m_dataCallback.store(data);
    m_closedCallback.store(closed);
    m_serverClosedCallback.store(serverClosed);
}

int CWorkerManager::StartHvServerThread(std::uint16_t port)
{
    std::lock_guard<std::mutex> control(m_startStopLock);
    if (m_serverThread.joinable()) {
        return 0;  // a server is running; its connections keep their numbers
    }
    {
        std::lock_guard<std::mutex> guard(m_socketRegistryLock);
        m_registry.clear();
        m_byIdentifier.clear();
        m_nextIdentifier = 1;
        m_freeIdentifiers.clear();
        m_closed = false;
    }
    AcceptToggleEvent().Reset();
    TraceEvent("m_hAcceptEvent ", AcceptToggleEvent());
    StopEvent().Reset();
    TraceEvent("m_hStopEvent ", StopEvent());
    StoppedEvent().Reset();
    TraceEvent("m_hStoppedEvent ", StoppedEvent());
    StartedEvent().Reset();
    TraceEvent("m_hStartedEvent ", StartedEvent());

    try {
        m_serverThread = std::thread(&CWorkerManager::HvServerThread, port);
    } catch (const std::system_error&) {
        return 0;
    }
    StartedEvent().Wait();
    if (!s_startSucceeded.load()) {
        m_serverThread.join();
        return 0;
    }
    Trace("StartHvServerThread Succ");
    return 1;
}

void CWorkerManager::HvServerThread(std::uint16_t port)
{
    try {
        CHvTcpServer server(port);
        server.Start();
        if (!server.StartAcceptingConnections()) {
            LINKCORE_LOG_DEBUG("Hv_Server Port Start Faild:" << port);
            StoppedEvent().Set();
            s_startSucceeded.store(false);
            StartedEvent().Set();
            return;  // the server is shut down and destroyed on the way out
        }
        LINKCORE_LOG_DEBUG("Hv_Server Port:" << port);
        s_startSucceeded.store(true);
        bool accepting = true;
        StartedEvent().Set();

        for (;;) {
            Trace("done WaitForMultipleObjects");
            const int raised = CEvent::WaitForAny({&StopEvent(), &AcceptToggleEvent()});
            if (raised == 0) {
                Trace("break while");
                break;
            }
            if (raised != 1) {
                Trace("Unexpected result from WaitForMultipleObjects - exiting");
                break;
            }
            // One toggle per raise, so a raised event does not flip
            // accepting on and off until the stop arrives.
            AcceptToggleEvent().Reset();
            if (accepting) {
                server.StopAcceptingConnections();
            } else {
                server.StartAcceptingConnections();
            }
            accepting = !accepting;
        }
        server.ShutdownServer();
        StoppedEvent().Set();
    } catch (...) {
        Trace("Unexpected exception");
        if (!StartedEvent().IsSet()) {
            s_startSucceeded.store(false);
            StartedEvent().Set();
        }
        StoppedEvent().Set();
    }
}

void CWorkerManager::StopHvServerThread()
{
    std::lock_guard<std::mutex> control(m_startStopLock);
    ClearHvServerSockets();
    {
        // Export calls that found a connection before the registry was
        // emptied finish their send or shutdown first.
        std::unique_lock<std::mutex> lock(m_socketRegistryLock);
        m_exportsDone.wait(lock, [this] { return m_exportsInFlight == 0; });
    }
    StopEvent().Set();
    AcceptToggleEvent().Set();
    if (m_serverThread.joinable()) {
        StoppedEvent().Wait();
        m_serverThread.join();
        Trace("StopHvServerThread Succ");
    }
}

void CWorkerManager::AddHvServerSocket(ISOCKET* pSocket)
{
    Trace("CWorkerManager::AddHvServerSocket(ISOCKET *pSocket)");
    std::unique_lock<std::mutex> guard(m_socketRegistryLock);
    if (m_closed) {
        // Accepted while a stop is under way: the server deletes the
        // connection when it shuts down, so no export may find it.
        guard.unlock();
        pSocket->Shutdown(ISOCKET::ShutdownBoth);
        return;
    }
    if (m_registry.count(pSocket) != 0) {
        return;
    }
    int identifier;
    if (!m_freeIdentifiers.empty()) {
        identifier = m_freeIdentifiers.back();
        m_freeIdentifiers.pop_back();
    } else {
        identifier = m_nextIdentifier++;
    }
    m_registry.emplace(pSocket, identifier);
    m_byIdentifier.emplace(identifier, pSocket);
}

void CWorkerManager::AddHvServerSocket(ISOCKET* pSocket, IOBUFFER* pBuffer)
{
    Trace("CWorkerManager::AddHvServerSocket(ISOCKET *pSocket, IOBUFFER *pBuffer)");
    int identifier = 0;
    {
        std::lock_guard<std::mutex> guard(m_socketRegistryLock);
        const auto found = m_registry.find(pSocket);
        if (found != m_registry.end()) {
            identifier = found->second;
        }
    }
    if (identifier == 0) {
        pSocket->Shutdown(ISOCKET::ShutdownBoth);
        LINKCORE_LOG_ERROR("HvTcpServer Valid Socket: " << PointerText(pSocket) << "To Shutdown");
        return;
    }
    const PFUNC_GOTTCPCLNTDATA callback = m_dataCallback.load();
    if (callback != nullptr) {
        callback(0, 0, pSocket->PeerAddressText(), pSocket->PeerPort(), identifier, pBuffer->GetBuffer(),
                 static_cast<int>(pBuffer->GetUsed()), m_userContext.load());
    }
}

void CWorkerManager::RemoveHvServerSocket(ISOCKET* pSocket)
{
    Trace("CWorkerManager::RemoveHvServerSocket(ISOCKET *pSocket)");
    int identifier = 0;
    {
        std::lock_guard<std::mutex> guard(m_socketRegistryLock);
        const auto found = m_registry.find(pSocket);
        if (found == m_registry.end()) {
            return;
        }
        identifier = found->second;
        m_registry.erase(found);
        m_byIdentifier.erase(identifier);
    }
    const PFUNC_TCPCLNTCLOSED callback = m_closedCallback.load();
    try {
        if (callback != nullptr) {
            callback(0, 0, 0, identifier, m_userContext.load());
        }
    } catch (...) {
        LINKCORE_LOG_ERROR("HvTcpServer closed callback raised an exception for connection " << identifier);
    }
    std::lock_guard<std::mutex> guard(m_socketRegistryLock);
    m_freeIdentifiers.push_back(identifier);
}

bool CWorkerManager::IsHvServerSocket(ISOCKET* pSocket)
{
    std::lock_guard<std::mutex> guard(m_socketRegistryLock);
    return m_registry.count(pSocket) != 0;
}

ISOCKET* CWorkerManager::GetHvServerSocket(int identifier)
{
    std::lock_guard<std::mutex> guard(m_socketRegistryLock);
    const auto found = m_byIdentifier.find(identifier);
    if (found == m_byIdentifier.end() || !found->second->TryAddRef()) {
        return nullptr;
    }
    ++m_exportsInFlight;
    return found->second;
}

void CWorkerManager::PutHvServerSocket(ISOCKET* pSocket)
{
    pSocket->ReleaseOnWorker();
    bool last;
    {
        std::lock_guard<std::mutex> guard(m_socketRegistryLock);
        last = --m_exportsInFlight == 0;
    }
    if (last) {
        m_exportsDone.notify_all();
    }
}

void CWorkerManager::ClearHvServerSockets()
{
    std::lock_guard<std::mutex> guard(m_socketRegistryLock);
    m_closed = true;
    m_registry.clear();
    m_byIdentifier.clear();
}

}  // namespace linkcore
