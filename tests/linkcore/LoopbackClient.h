// A blocking TCP client on 127.0.0.1 for the library's tests, with receive
// timeouts so that no test can hang.
#pragma once

#include <cerrno>
#include <cstdint>
#include <string>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace linkcore_test {

// A port that was free a moment ago (the system's choice for port 0).
inline std::uint16_t FreePort()
{
    const int handle = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = 0;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    ::bind(handle, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    socklen_t length = sizeof(address);
    ::getsockname(handle, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(handle);
    return ntohs(address.sin_port);
}

class LoopbackClient {
public:
    explicit LoopbackClient(std::uint16_t port, int timeoutSeconds = 20)
    {
        m_handle = ::socket(AF_INET, SOCK_STREAM, 0);
        timeval timeout{timeoutSeconds, 0};
        ::setsockopt(m_handle, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
        ::setsockopt(m_handle, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_connected = ::connect(m_handle, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    }
    ~LoopbackClient() { Close(); }

    LoopbackClient(const LoopbackClient&) = delete;
    LoopbackClient& operator=(const LoopbackClient&) = delete;

    bool Connected() const { return m_connected; }

    bool Send(const std::string& bytes)
    {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t sent = ::send(m_handle, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (sent <= 0) {
                return false;
            }
            done += static_cast<std::size_t>(sent);
        }
        return true;
    }

    // Exactly count bytes, or fewer when the connection ends or times out.
    std::string Receive(std::size_t count)
    {
        std::string bytes(count, '\0');
        std::size_t done = 0;
        while (done < count) {
            const ssize_t got = ::recv(m_handle, &bytes[done], count - done, 0);
            if (got <= 0) {
                break;
            }
            done += static_cast<std::size_t>(got);
        }
        bytes.resize(done);
        return bytes;
    }

    // True when the server ended the connection (end of stream or reset)
    // before the timeout; any bytes still arriving are skipped.
    bool WaitForEnd()
    {
        char skip[4096];
        for (;;) {
            const ssize_t got = ::recv(m_handle, skip, sizeof(skip), 0);
            if (got == 0) {
                return true;
            }
            if (got < 0) {
                return errno == ECONNRESET;
            }
        }
    }

    // Sends a reset instead of an orderly close.
    void Reset()
    {
        linger option{1, 0};
        ::setsockopt(m_handle, SOL_SOCKET, SO_LINGER, &option, sizeof(option));
        Close();
    }

    void Close()
    {
        if (m_handle >= 0) {
            ::close(m_handle);
            m_handle = -1;
        }
    }

private:
    int m_handle = -1;
    bool m_connected = false;
};

}  // namespace linkcore_test
