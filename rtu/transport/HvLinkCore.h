// CHv_LinkCore: the program's one door to the network library. Every call
// into the library goes through it; the library's callbacks come back to the
// LinkEvents object given at start.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace rtu {

class LinkEvents {
public:
    virtual ~LinkEvents() = default;
    // A block of bytes read from a connection; valid only during the call.
    virtual void OnTcpData(const char* peer, int connectionId, const char* bytes, int length) = 0;
    virtual void OnTcpClientClosed(int connectionId) = 0;
    virtual void OnTcpServerClosed() = 0;
};

class CHv_LinkCore {
public:
    virtual ~CHv_LinkCore() = default;

    // Initialises the library (it configures its logging from IOCP_log.cfg).
    bool Initialise();
    // Limits for servers started afterwards: a connection whose unsent bytes
    // would pass maxUnsentBytes, or that sends nothing for silentSeconds
    // after its accept, is closed. 0 disables either.
    void SetConnectionLimits(std::size_t maxUnsentBytes, unsigned silentSeconds);
    // Registers the callbacks and starts listening on `port` on every local
    // IPv4 address; false when the server could not start.
    bool Start(std::uint16_t port, LinkEvents& events);
    // Stops the server; returns when it has shut down.
    void Stop(std::uint16_t port);
    void CloseConnection(int connectionId);
    // True when the bytes were queued on a registered connection.
    bool Send(int connectionId, const void* bytes, std::size_t length);

private:
    int startArgument_ = 0;  // passed to the library, which ignores it
};

}  // namespace rtu
