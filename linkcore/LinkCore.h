/*
 * LinkCore: the TCP server that field stations connect to, as a shared
 * library with a C interface.
 *
 * One listening port on all local IPv4 addresses, many concurrent
 * connections, a pool of I/O worker threads. Each accepted connection gets a
 * small positive identifier (1, 2, ...; a freed identifier is given to the
 * next connection) that stays valid until the connection-closed callback has
 * reported it. Received bytes, and closed connections, reach the caller
 * through the callbacks registered with SetCallbackFuntion; they run on the
 * library's worker threads, and may call DLL_SendTcpData and
 * DLL_CloseTcpSocket.
 *
 * Calling order: DLL_LinkCoreInit (or Initilize) once; SetCallbackFuntion;
 * DLL_StartTcpServer; any number of DLL_SendTcpData / DLL_CloseTcpSocket from
 * any thread; DLL_StopTcpServer; start and stop may repeat; finally Release
 * (after a stop) or DLL_Exit.
 *
 * Exports that need the library initialised (SetCallbackFuntion, the starts
 * and stops, Release) throw a C++ exception (std::exception, what() "Null
 * pointer") when it is not; SetCallbackFuntion throws the same for a null
 * callback.
 */
#ifndef LINKCORE_LINKCORE_H
#define LINKCORE_LINKCORE_H

#ifndef __cplusplus
#include <stdbool.h>
#endif

#if defined(__GNUC__)
#define LINKCORE_API __attribute__((visibility("default")))
#else
#define LINKCORE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/*
 * A block of received bytes: 0, 0, the peer's IPv4 address as dotted-decimal
 * text, the peer's port (host order), the connection identifier, the bytes
 * (1 to 1450 of them; valid only during the call, read-only) and the user
 * context given to DLL_StartTcpServer. Blocks of one connection arrive in
 * stream order and never overlap; their boundaries are arbitrary.
 */
typedef void (*PFUNC_GOTTCPCLNTDATA)(unsigned short reserved1, int reserved2, const char* peerAddress,
                                     unsigned short peerPort, int connectionId, const char* data, int length,
                                     void* userContext);

/*
 * A connection was closed (by the peer, by an error, or after
 * DLL_CloseTcpSocket): 0, 0, 0, the connection identifier, the user context.
 * Once per connection; not for connections dropped by a server stop.
 */
typedef void (*PFUNC_TCPCLNTCLOSED)(unsigned short reserved1, int reserved2, int reserved3, int connectionId,
                                    void* userContext);

/* Registered and kept, but never called by the library. */
typedef void (*PFUNC_TCPSERVERCLOSED)(unsigned short reserved1, int reserved2, void* userContext);

/* Initilize, ignoring its result; always true. */
LINKCORE_API bool DLL_LinkCoreInit(void);

/*
 * Configures logging from "IOCP_log.cfg" in the current directory and
 * creates the library's manager when there is none. Nonzero when this call
 * created it, 0 when it existed already.
 */
LINKCORE_API int Initilize(void);

/* Stores the three callbacks (none may be null). Later events use the newest. */
LINKCORE_API void SetCallbackFuntion(PFUNC_GOTTCPCLNTDATA pFunc_GotTcpClntData, PFUNC_TCPCLNTCLOSED pfunc_TcpClntClosed,
                                     PFUNC_TCPSERVERCLOSED pfunc_TcpServerClosed);

/*
 * Starts the server on port (its low 16 bits), on all local IPv4 addresses;
 * reserved and address are ignored. userContext comes back as the last
 * argument of every callback. False when the server could not start (port
 * in use, for example); a new start may follow.
 */
LINKCORE_API bool DLL_StartTcpServer(void* reserved, const char* address, int port, void* userContext);

/* As DLL_StartTcpServer without changing the user context: 1 started, 0 not. */
LINKCORE_API int StartSever(int port);

/*
 * Queues length bytes for the connection and returns at once; the caller may
 * reuse data as soon as the call returns. The bytes of one call go out
 * whole, in call order, never interleaved with another call's. True when
 * the bytes were queued; false when the identifier is not registered, or
 * the connection is closed or shut down for sending. tag, reserved1 and
 * reserved2 are ignored.
 */
LINKCORE_API bool DLL_SendTcpData(int connectionId, const char* tag, const char* data, int length, int reserved1,
                                  int reserved2);

/*
 * Starts closing the connection (both directions). Its closed callback
 * follows. An identifier that is not registered is ignored.
 */
LINKCORE_API void DLL_CloseTcpSocket(int connectionId);

/*
 * Stops the server: connections are dropped without closed callbacks, the
 * listening port is released, and every library thread has ended when the
 * call returns. port and address are ignored.
 */
LINKCORE_API void DLL_StopTcpServer(unsigned short port, const char* address);

/* As DLL_StopTcpServer. */
LINKCORE_API void StopServer(void);

/* Stops the server as DLL_StopTcpServer does; keeps the manager. */
LINKCORE_API void DLL_Exit(void);

/* Destroys the manager (stopping the server if the caller did not). */
LINKCORE_API void Release(void);

/* Does nothing. */
LINKCORE_API void DLL_GetVersion(void);

/*
 * Limits against connections that misbehave, for servers started after the
 * call (the library need not be initialised). A negative value keeps the
 * current one; 0 disables the limit.
 *
 * maxUnsentBytes: a connection whose sends queued by DLL_SendTcpData and not
 * yet taken by the system would hold more than this many bytes is closed
 * (its closed callback follows) and that DLL_SendTcpData returns false. A
 * send is counted at the 1450-byte buffers it takes (a short send holds a
 * whole one), so the limit bounds the memory a peer that does not read can
 * make the library hold. Default 4 MiB.
 *
 * silentSeconds: a connection that has delivered no byte this many seconds
 * after it was accepted is closed (its closed callback follows). Default 120.
 *
 * Each such close, and each failed accept, is logged at ERROR (at most one
 * line of a kind every 10 s, with the count of those held back).
 */
LINKCORE_API void DLL_SetConnectionLimits(long long maxUnsentBytes, int silentSeconds);

#ifdef __cplusplus
}
#endif

#endif /* LINKCORE_LINKCORE_H */
