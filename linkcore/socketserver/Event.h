// Events that threads raise and wait for, one at a time or several at once.
//
// All events share one lock and one condition, so a thread can wait for the
// first of several events (WaitForAny). Events are raised rarely (start, stop,
// accept on and off), so the shared lock costs nothing that matters.
#pragma once

#include <chrono>
#include <cstddef>
#include <initializer_list>

namespace linkcore {

class CEvent {
public:
    // securityAttributes is kept for the shape of the interface and unused.
    CEvent(const void* securityAttributes, bool manualReset, bool initiallySignalled);
    virtual ~CEvent();

    CEvent(const CEvent&) = delete;
    CEvent& operator=(const CEvent&) = delete;

    void Set();
    void Reset();
    bool IsSet() const;

    // True when the event is raised within the time; false on timeout.
    bool Wait(std::chrono::milliseconds timeout);
    void Wait();

    // Waits for the first raised event and returns its index (the lowest
    // index when several are raised); -1 on timeout. A negative timeout
    // waits without limit. An automatic-reset event is cleared by the wait.
    static int WaitForAny(std::initializer_list<CEvent*> events,
                          std::chrono::milliseconds timeout = std::chrono::milliseconds(-1));

private:
    bool m_manualReset;
    bool m_signalled;
};

class CManualResetEvent : public CEvent {
public:
    explicit CManualResetEvent(bool initiallySignalled = false);
};

}  // namespace linkcore
