// Serial numbers of downlink commands: a 16-bit counter that starts at 1,
// hands out 1..0xFFFE in turn and then starts at 1 again. 0x0000 and 0xFFFF
// are never handed out. Taking a value and advancing is one atomic step, so
// threads that send at the same time never get the same number.
#pragma once

#include <atomic>
#include <cstdint>

namespace rtu {

class SerialNumberCounter {
public:
    static constexpr std::uint16_t kFirst = 1;
    static constexpr std::uint16_t kLast = 0xFFFE;

    explicit SerialNumberCounter(std::uint16_t first = kFirst);

    // The current value; the counter advances.
    std::uint16_t Take();
    // The value the next Take returns.
    std::uint16_t Peek() const;

private:
    std::atomic<std::uint16_t> next_;
};

// The counter of this process, shared by every sender; starts at 1 at every
// start of the program.
SerialNumberCounter& ProcessSerialNumbers();

}  // namespace rtu
