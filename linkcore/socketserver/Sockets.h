// Thin wrappers over BSD sockets: a socket handle that closes itself, an
// IPv4 socket address, and the socket-library lifetime marker.
#pragma once

#include <cstdint>
#include <string>

#include <netinet/in.h>
#include <sys/socket.h>

namespace linkcore {

constexpr int kInvalidSocket = -1;

// An IPv4 address and port for binding (stored in network byte order), and
// the text rendering "a.b.c.d:port" of any socket address.
class CSocketAddress {
public:
    CSocketAddress(std::uint32_t address, std::uint16_t port);

    const sockaddr* Address() const { return reinterpret_cast<const sockaddr*>(&m_address); }
    socklen_t Size() const { return sizeof(m_address); }

    std::string AsString() const;
    static std::string AsString(const sockaddr* address, socklen_t length);

private:
    sockaddr_in m_address{};
};

// Owns one socket handle; failures are traced and reported by results.
class CSocket {
public:
    explicit CSocket(int handle);
    ~CSocket();

    CSocket(const CSocket&) = delete;
    CSocket& operator=(const CSocket&) = delete;

    int Bind(const CSocketAddress& address);
    int Listen(int backlog);
    void Close();
    void AbortiveClose();
    // Hands the handle to the caller and forgets it.
    int Detach();
    int Handle() const { return m_handle; }

private:
    int m_handle;
};

// The platform's socket library needs no start-up here; the class stays so
// that engine objects keep one place to do it. Broken pipes never raise
// SIGPIPE because every send passes MSG_NOSIGNAL.
class CUsesWinsock {
public:
    CUsesWinsock() = default;
    ~CUsesWinsock() = default;
};

// Sets linger on with time 0, so that a close resets the connection.
// Returns 0 or the errno.
int SetAbortiveLinger(int handle);

}  // namespace linkcore
