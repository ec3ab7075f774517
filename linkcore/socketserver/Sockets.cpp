#include "linkcore/socketserver/Sockets.h"

#include <cerrno>

#include <arpa/inet.h>
#include <unistd.h>

#include "linkcore/socketserver/Trace.h"

namespace linkcore {

CSocketAddress::CSocketAddress(std::uint32_t address, std::uint16_t port)
{
    m_address.sin_family = AF_INET;
    m_address.sin_port = htons(port);
    m_address.sin_addr.s_addr = htonl(address);
}

std::string CSocketAddress::AsString() const
{
    return AsString(Address(), Size());
}

std::string CSocketAddress::AsString(const sockaddr* address, socklen_t length)
{
    if (address == nullptr || length < static_cast<socklen_t>(sizeof(sockaddr_in)) ||
        address->sa_family != AF_INET) {
        return "CSocketAddress() - TODO - we only handle AF_INET address at present";
    }
    const auto* inet = reinterpret_cast<const sockaddr_in*>(address);
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &inet->sin_addr, text, sizeof(text));
    return std::string(text) + ":" + std::to_string(ntohs(inet->sin_port));
}

CSocket::CSocket(int handle) : m_handle(handle)
{
    if (handle == kInvalidSocket) {
        Trace("CSocket::CSocket() 10038");
    }
}

CSocket::~CSocket()
{
    try {
        if (m_handle != kInvalidSocket) {
            AbortiveClose();
        }
    } catch (...) {
    }
}

int CSocket::Bind(const CSocketAddress& address)
{
    if (::bind(m_handle, address.Address(), address.Size()) != 0) {
        Trace("CSocket::Bind()" + SystemErrorText(errno));
        return -1;
    }
    return 0;
}

int CSocket::Listen(int backlog)
{
    if (::listen(m_handle, backlog) != 0) {
        Trace("CSocket::Listen()" + SystemErrorText(errno));
        return -1;
    }
    return 0;
}

void CSocket::Close()
{
    if (m_handle == kInvalidSocket) {
        return;
    }
    if (::close(m_handle) != 0) {
        Trace("CSocket::Close()" + SystemErrorText(errno));
    }
    m_handle = kInvalidSocket;
}

void CSocket::AbortiveClose()
{
    if (m_handle == kInvalidSocket) {
        return;
    }
    const int error = SetAbortiveLinger(m_handle);
    if (error != 0) {
        Trace("CSocket::AbortiveClose()" + SystemErrorText(error));
    }
    Close();
}

int CSocket::Detach()
{
    const int handle = m_handle;
    m_handle = kInvalidSocket;
    return handle;
}

int SetAbortiveLinger(int handle)
{
    linger option{};
    option.l_onoff = 1;
    option.l_linger = 0;
    return ::setsockopt(handle, SOL_SOCKET, SO_LINGER, &option, sizeof(option)) == 0 ? 0 : errno;
}

}  // namespace linkcore
