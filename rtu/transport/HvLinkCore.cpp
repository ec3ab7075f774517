#include "rtu/transport/HvLinkCore.h"

#include "linkcore/LinkCore.h"

#include <climits>

namespace rtu {

namespace {

const char kLocalAddress[] = "127.0.0.1";
const char kSendTag[] = "MySend";

void GotTcpClientData(unsigned short, int, const char* peer, unsigned short, int connectionId, const char* data,
                      int length, void* context)
{
    static_cast<LinkEvents*>(context)->OnTcpData(peer, connectionId, data, length);
}

void TcpClientClosed(unsigned short, int, int, int connectionId, void* context)
{
    static_cast<LinkEvents*>(context)->OnTcpClientClosed(connectionId);
}

void TcpServerClosed(unsigned short, int, void* context)
{
    static_cast<LinkEvents*>(context)->OnTcpServerClosed();
}

}  // namespace

bool CHv_LinkCore::Initialise() { return DLL_LinkCoreInit(); }

void CHv_LinkCore::SetConnectionLimits(std::size_t maxUnsentBytes, unsigned silentSeconds)
{
    DLL_SetConnectionLimits(static_cast<long long>(maxUnsentBytes),
                            silentSeconds > static_cast<unsigned>(INT_MAX) ? INT_MAX : static_cast<int>(silentSeconds));
}

bool CHv_LinkCore::Start(std::uint16_t port, LinkEvents& events)
{
    SetCallbackFuntion(&GotTcpClientData, &TcpClientClosed, &TcpServerClosed);
    return DLL_StartTcpServer(&startArgument_, kLocalAddress, port, &events);
}

void CHv_LinkCore::Stop(std::uint16_t port) { DLL_StopTcpServer(port, kLocalAddress); }

void CHv_LinkCore::CloseConnection(int connectionId) { DLL_CloseTcpSocket(connectionId); }

bool CHv_LinkCore::Send(int connectionId, const void* bytes, std::size_t length)
{
    if (length > static_cast<std::size_t>(INT_MAX)) return false;
    return DLL_SendTcpData(connectionId, kSendTag, static_cast<const char*>(bytes), static_cast<int>(length), 0, 0);
}

}  // namespace rtu
