#include "rtu/protocol/SerialNumber.h"

namespace rtu {
namespace {

std::uint16_t Valid(std::uint16_t v)
{
    return v >= SerialNumberCounter::kFirst && v <= SerialNumberCounter::kLast ? v
                                                                               : SerialNumberCounter::kFirst;
}

}  // namespace

SerialNumberCounter::SerialNumberCounter(std::uint16_t first) : next_(Valid(first)) {}

std::uint16_t SerialNumberCounter::Take()
{
    std::uint16_t current = next_.load(std::memory_order_relaxed);
    std::uint16_t following = 0;
    do {
        following = current >= kLast ? kFirst : static_cast<std::uint16_t>(current + 1);
    } while (!next_.compare_exchange_weak(current, following, std::memory_order_relaxed));
    return current;
}

std::uint16_t SerialNumberCounter::Peek() const
{
    return next_.load(std::memory_order_relaxed);
}

SerialNumberCounter& ProcessSerialNumbers()
{
    static SerialNumberCounter counter;
    return counter;
}

}  // namespace rtu
