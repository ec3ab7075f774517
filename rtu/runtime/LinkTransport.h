// The ways bytes leave the data centre towards stations: a network
// connection served by the network library, or the serial line.
#pragma once

#include <cstddef>
#include <cstdint>

namespace rtu {

// What became of a prepared frame given to a station's link.
enum class SendResult {
    NoLink,         // the station has no network or serial link: nothing sent
    HandedOver,     // the bytes were given to the connection or written to the serial line
    NotHandedOver,  // the station has a link but the bytes could not be given to it
};

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
