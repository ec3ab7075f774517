#include "linkcore/socketserver/Event.h"

#include <condition_variable>
#include <mutex>

namespace linkcore {

namespace {

struct EventHub {
    std::mutex eventLock;
    std::condition_variable changed;
};

// Never destroyed: the server's threads may still wait on it while a host
// that did not stop the server runs its exit handlers, and destroying a
// condition variable with waiters blocks the exit for good.
EventHub& Hub()
{
    static EventHub* const hub = new EventHub;
    return *hub;
}

}  // namespace

CEvent::CEvent(const void* /*securityAttributes*/, bool manualReset, bool initiallySignalled)
    : m_manualReset(manualReset), m_signalled(initiallySignalled)
{
}

CEvent::~CEvent() = default;

void CEvent::Set()
{
    EventHub& hub = Hub();
    {
        std::lock_guard<std::mutex> guard(hub.eventLock);
        m_signalled = true;
    }
    hub.changed.notify_all();
}

void CEvent::Reset()
{
    EventHub& hub = Hub();
    std::lock_guard<std::mutex> guard(hub.eventLock);
    m_signalled = false;
}

bool CEvent::IsSet() const
{
    EventHub& hub = Hub();
    std::lock_guard<std::mutex> guard(hub.eventLock);
    return m_signalled;
}

bool CEvent::Wait(std::chrono::milliseconds timeout)
{
    return WaitForAny({this}, timeout) == 0;
}

void CEvent::Wait()
{
    WaitForAny({this});
}

int CEvent::WaitForAny(std::initializer_list<CEvent*> events, std::chrono::milliseconds timeout)
{
    EventHub& hub = Hub();
    std::unique_lock<std::mutex> lock(hub.eventLock);
    auto firstRaised = [&events]() {
        int index = 0;
        for (CEvent* event : events) {
            if (event->m_signalled) {
                return index;
            }
            ++index;
        }
        return -1;
    };
    int index = -1;
    if (timeout.count() < 0) {
        hub.changed.wait(lock, [&] { return (index = firstRaised()) >= 0; });
    } else if (!hub.changed.wait_for(lock, timeout, [&] { return (index = firstRaised()) >= 0; })) {
        return -1;
    }
    CEvent* raised = *(events.begin() + index);
    if (!raised->m_manualReset) {
        raised->m_signalled = false;
    }
    return index;
}

CManualResetEvent::CManualResetEvent(bool initiallySignalled) : CEvent(nullptr, true, initiallySignalled) {}

}  // namespace linkcore
