// The one object behind the exported interface: it starts and stops the
// server thread, numbers the connections in a registry, and holds the
// callbacks through which received data and closed connections reach the
// caller.
//
// Connection identifiers: a start resets the numbering to 1 with an empty
// free stack; an accepted connection takes the most recently freed identifier
// if there is one, else the next number; a closed connection's identifier is
// pushed onto the free stack once its closed callback has returned, so no
// new connection can carry it while the caller still handles the old one.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "linkcore/LinkCore.h"
#include "linkcore/socketserver/IOBuffer.h"
#include "linkcore/socketserver/SocketServer.h"

namespace linkcore {

using ISOCKET = CSocketServer::Socket;
using IOBUFFER = CIOBuffer;

class CWorkerManager {
public:
    CWorkerManager();
    ~CWorkerManager();

    CWorkerManager(const CWorkerManager&) = delete;
    CWorkerManager& operator=(const CWorkerManager&) = delete;

    // 1 when the server listens on the port, 0 when it could not start (or
    // a server thread is already running).
    int StartHvServerThread(std::uint16_t port);
    // Empties the registry and closes it to new connections, waits for export
    // calls that still use a connection, stops the server and joins its
    // thread. Connections accepted while the stop is under way are shut down
    // unregistered: the server is about to delete them.
    void StopHvServerThread();

    void AddHvServerSocket(ISOCKET* pSocket);
    void AddHvServerSocket(ISOCKET* pSocket, IOBUFFER* pBuffer);
    void RemoveHvServerSocket(ISOCKET* pSocket);
    bool IsHvServerSocket(ISOCKET* pSocket);
    // The connection registered under the identifier with a reference taken
    // for the caller, or null. Hand it back with PutHvServerSocket.
    ISOCKET* GetHvServerSocket(int identifier);
    void PutHvServerSocket(ISOCKET* pSocket);
    // Empties the registry; it takes no connection again until the next start.
    void ClearHvServerSockets();

    void SetCallbacks(PFUNC_GOTTCPCLNTDATA data, PFUNC_TCPCLNTCLOSED closed, PFUNC_TCPSERVERCLOSED serverClosed);
    void SetUserContext(void* context) { m_userContext.store(context); }

private:
    static void HvServerThread(std::uint16_t port);

    std::mutex m_startStopLock;  // one start or stop at a time
    std::thread m_serverThread;

    std::atomic<PFUNC_GOTTCPCLNTDATA> m_dataCallback{nullptr};
    std::atomic<PFUNC_TCPCLNTCLOSED> m_closedCallback{nullptr};
    std::atomic<PFUNC_TCPSERVERCLOSED> m_serverClosedCallback{nullptr};

    // m_socketRegistryLock guards the maps, the free stack, the next identifier
    // and the count of export calls in flight. Nothing else is done under it.
    std::mutex m_socketRegistryLock;
    std::condition_variable m_exportsDone;
    std::unordered_map<ISOCKET*, int> m_registry;
    std::unordered_map<int, ISOCKET*> m_byIdentifier;
    std::vector<int> m_freeIdentifiers;
    int m_nextIdentifier = 1;
    int m_exportsInFlight = 0;
    bool m_closed = false;  // from a stop until the next start: no new connection

    std::atomic<void*> m_userContext{nullptr};
};

// The library-wide manager: null until Initilize, null again after Release.
extern std::atomic<CWorkerManager*> WORKER_MGR;

// The manager, checked for null (raises NullPointerException naming WORKER_MGR).
CWorkerManager* CheckedWorkerManager(const char* module, int line);

}  // namespace linkcore

#define LINKCORE_WORKER_MGR() ::linkcore::CheckedWorkerManager(__FILE__, __LINE__)
