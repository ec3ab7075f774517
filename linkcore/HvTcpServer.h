// The library's TCP server: the engine configured for the stations (all
// local IPv4 addresses, pools of 200 idle connections and 200 idle buffers,
// 1450-byte buffers, twice as many workers as processors, ordered writes),
// with accepted connections, received blocks and closed handles handed to the
// worker manager.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "linkcore/socketserver/SocketServer.h"

namespace linkcore {

constexpr std::size_t kIOBufferSize = 1450;
constexpr std::size_t kIdlePoolLimit = 200;

class CHvTcpServer : public CSocketServer {
public:
    explicit CHvTcpServer(std::uint16_t port);
    ~CHvTcpServer() override;

protected:
    void OnConnectionAccepted(Socket* pSocket, CIOBuffer* pAddress) override;
    bool OnConnectionLastRelease(Socket* pSocket) override;
    void OnSocketClosed(Socket* pSocket) override;
    void ReadCompleted(Socket* pSocket, CIOBuffer* pBuffer) override;
};

// Hex dump of a received block: lines of lineLength / 3 bytes, each byte as
// two upper-case hexadecimal digits and a blank, the last line padded, then
// " - ", the printable characters (others as '.') and a line feed.
std::string DumpData(const unsigned char* data, std::size_t length, std::size_t lineLength = 40);

}  // namespace linkcore
