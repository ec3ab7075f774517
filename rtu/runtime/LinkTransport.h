// The ways bytes leave the data centre towards stations: a network
// connection served by the network library, or the serial line.
#pragma once

#include <cstddef>
#include <cstdint>

namespace rtu {

class LinkTransport {
public:
    virtual ~LinkTransport() = default;
    // Queues bytes on a network connection; false when it is not registered
    // or refused the write.
    virtual bool SendTcp(int connectionId, const std::uint8_t* bytes, std::size_t length) = 0;
    // Starts closing a network connection; its close is reported later.
    virtual void CloseTcp(int connectionId) = 0;
    // Writes bytes to the serial line; false when the line is not open.
    virtual bool WriteSerial(const std::uint8_t* bytes, std::size_t length) = 0;
};

}  // namespace rtu
