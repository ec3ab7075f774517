// The library's exported C interface. Every export works on the one manager
// (WORKER_MGR).
#include <chrono>
#include <fstream>
#include <mutex>
#include <thread>

#include <log4cplus/configurator.h>
#include <log4cplus/config.hxx>
#include <log4cplus/hierarchy.h>

#include "linkcore/HvTcpServer.h"
#include "linkcore/LinkCore.h"
#include "linkcore/Log.h"
#include "linkcore/WorkerManager.h"
#include "linkcore/socketserver/Exceptions.h"
#include "linkcore/socketserver/Trace.h"

using linkcore::CWorkerManager;
using linkcore::ISOCKET;
using linkcore::WORKER_MGR;

namespace {

// Serialises creating and destroying the manager.
std::mutex& LifetimeLock()
{
    static std::mutex lock;
    return lock;
}

void ConfigureLogging()
{
    log4cplus::initialize();
    const char* file = "IOCP_log.cfg";
    // The configurator only complains on standard error about a missing file.
    if (std::ifstream(file).good()) {
        log4cplus::PropertyConfigurator::doConfigure(LOG4CPLUS_TEXT("IOCP_log.cfg"),
                                                     log4cplus::Logger::getDefaultHierarchy());
    }
}

// A connection looked up for one export call, handed back when it is done.
class BorrowedSocket {
public:
    BorrowedSocket(CWorkerManager* manager, int identifier)
        : m_manager(manager), m_socket(manager->GetHvServerSocket(identifier))
    {
    }
    ~BorrowedSocket()
    {
        if (m_socket != nullptr) {
            m_manager->PutHvServerSocket(m_socket);
        }
    }
    BorrowedSocket(const BorrowedSocket&) = delete;
    BorrowedSocket& operator=(const BorrowedSocket&) = delete;

    ISOCKET* operator->() const { return m_socket; }
    explicit operator bool() const { return m_socket != nullptr; }

private:
    CWorkerManager* m_manager;
    ISOCKET* m_socket;
};

// Stops a server the host left running when the process exits. The library's
// static objects are destroyed before those of the logging library it was
// linked against, so the server's threads end while everything they use is
// still there; otherwise they would log into a torn-down logging library.
struct StopServerAtExit {
    StopServerAtExit() = default;
    StopServerAtExit(const StopServerAtExit&) = delete;
    StopServerAtExit& operator=(const StopServerAtExit&) = delete;
    ~StopServerAtExit()
    {
        CWorkerManager* manager = WORKER_MGR.load();
        if (manager == nullptr) {
            return;
        }
        try {
            manager->StopHvServerThread();
        } catch (...) {
        }
    }
};
StopServerAtExit s_stopServerAtExit;

}  // namespace

extern "C" {

LINKCORE_API bool DLL_LinkCoreInit(void)
{
    Initilize();
    return true;
}

LINKCORE_API int Initilize(void)
{
    ConfigureLogging();
    int created = 0;
    {
        std::lock_guard<std::mutex> guard(LifetimeLock());
        if (WORKER_MGR.load() == nullptr) {
            WORKER_MGR.store(new CWorkerManager());
            created = 1;
        }
    }
    LINKCORE_WORKER_MGR();
    return created;
}

LINKCORE_API void SetCallbackFuntion(PFUNC_GOTTCPCLNTDATA pFunc_GotTcpClntData, PFUNC_TCPCLNTCLOSED pfunc_TcpClntClosed,
                                     PFUNC_TCPSERVERCLOSED pfunc_TcpServerClosed)
{
    using linkcore::assertion::CheckNotNull;
    CheckNotNull(reinterpret_cast<const void*>(pFunc_GotTcpClntData), "pFunc_GotTcpClntData", __FILE__, __LINE__);
    CheckNotNull(reinterpret_cast<const void*>(pfunc_TcpClntClosed), "pfunc_TcpClntClosed", __FILE__, __LINE__);
    CheckNotNull(reinterpret_cast<const void*>(pfunc_TcpServerClosed), "pfunc_TcpServerClosed", __FILE__, __LINE__);
    LINKCORE_WORKER_MGR()->SetCallbacks(pFunc_GotTcpClntData, pfunc_TcpClntClosed, pfunc_TcpServerClosed);
}

LINKCORE_API bool DLL_StartTcpServer(void* /*reserved*/, const char* /*address*/, int port, void* userContext)
{
    CWorkerManager* manager = LINKCORE_WORKER_MGR();
    manager->SetUserContext(userContext);
    if (manager->StartHvServerThread(static_cast<std::uint16_t>(port & 0xFFFF)) == 0) {
        return false;
    }
    linkcore::Trace("StartServer Succ");
    return true;
}

LINKCORE_API int StartSever(int port)
{
    return LINKCORE_WORKER_MGR()->StartHvServerThread(static_cast<std::uint16_t>(port & 0xFFFF)) != 0 ? 1 : 0;
}

LINKCORE_API bool DLL_SendTcpData(int connectionId, const char* /*tag*/, const char* data, int length,
                                  int /*reserved1*/, int /*reserved2*/)
{
    CWorkerManager* manager = WORKER_MGR.load();
    if (manager == nullptr || length < 0 || (data == nullptr && length > 0)) {
        return false;
    }
    try {
        BorrowedSocket socket(manager, connectionId);
        if (!socket) {
            return false;
        }
        return socket->Write(data, static_cast<std::size_t>(length), false);
    } catch (...) {
        return false;
    }
}

LINKCORE_API void DLL_CloseTcpSocket(int connectionId)
{
    CWorkerManager* manager = WORKER_MGR.load();
    if (manager == nullptr) {
        return;
    }
    BorrowedSocket socket(manager, connectionId);
    if (socket) {
        socket->Shutdown(ISOCKET::ShutdownBoth);
    }
}

LINKCORE_API void DLL_StopTcpServer(unsigned short /*port*/, const char* /*address*/)
{
    LINKCORE_WORKER_MGR()->StopHvServerThread();
}

LINKCORE_API void StopServer(void)
{
    LINKCORE_WORKER_MGR()->StopHvServerThread();
}

LINKCORE_API void DLL_Exit(void)
{
    CWorkerManager* manager = WORKER_MGR.load();
    if (manager == nullptr) {
        return;
    }
    manager->StopHvServerThread();
    manager->ClearHvServerSockets();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
}

LINKCORE_API void Release(void)
{
    std::lock_guard<std::mutex> guard(LifetimeLock());
    CWorkerManager* manager = LINKCORE_WORKER_MGR();
    // The manager stays reachable while its server shuts down: the server's
    // hooks look it up.
    manager->StopHvServerThread();
    WORKER_MGR.store(nullptr);
    delete manager;
}

LINKCORE_API void DLL_GetVersion(void) {}

LINKCORE_API void DLL_SetConnectionLimits(long long maxUnsentBytes, int silentSeconds)
{
    linkcore::SetConnectionLimitsForNewServers(maxUnsentBytes, silentSeconds);
}

}  // extern "C"
