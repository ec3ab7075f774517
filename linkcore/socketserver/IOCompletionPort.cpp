#include "linkcore/socketserver/IOCompletionPort.h"

#include <cerrno>

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "linkcore/socketserver/IOBuffer.h"
#include "linkcore/socketserver/Trace.h"

namespace linkcore {

namespace {
constexpr int kMaxEvents = 128;
}

class CIOCompletionPort::Device {
public:
    struct PendingSend {
        CIOBuffer* buffer;
        std::size_t sent;
    };

    std::mutex transferLock;
    int handle = -1;
    void* key = nullptr;
    CIOBuffer* receive = nullptr;
    bool receiveShut = false;
    // Sends in the order they were started; the first may be partly out.
    std::vector<PendingSend> sends;
    std::size_t firstSend = 0;
};

CIOCompletionPort::CIOCompletionPort(std::size_t /*maxConcurrentThreads*/)
{
    m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
    if (m_epoll < 0) {
        Trace("CIOCompletionPort::CIOCompletionPort() - CreateIoCompletionPort" + SystemErrorText(errno));
        return;
    }
    m_wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_wake < 0) {
        Trace("CIOCompletionPort::CIOCompletionPort() - CreateIoCompletionPort" + SystemErrorText(errno));
        return;
    }
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.ptr = nullptr;
    if (::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_wake, &event) != 0) {
        Trace("CIOCompletionPort::CIOCompletionPort() - CreateIoCompletionPort" + SystemErrorText(errno));
        ::close(m_wake);
        m_wake = -1;
    }
}

CIOCompletionPort::~CIOCompletionPort()
{
    for (auto& device : m_devices) {
        if (device->handle >= 0) {
            ::close(device->handle);
        }
    }
    if (m_wake >= 0) {
        ::close(m_wake);
    }
    if (m_epoll >= 0) {
        ::close(m_epoll);
    }
}

CIOCompletionPort::Device* CIOCompletionPort::CreateDevice()
{
    std::lock_guard<std::mutex> guard(m_devicePoolLock);
    if (!m_freeDevices.empty()) {
        Device* device = m_freeDevices.back();
        m_freeDevices.pop_back();
        return device;
    }
    m_devices.push_back(std::make_unique<Device>());
    return m_devices.back().get();
}

void CIOCompletionPort::DestroyDevice(Device* device)
{
    if (device == nullptr) {
        return;
    }
    CloseHandle(device);
    {
        std::lock_guard<std::mutex> guard(device->transferLock);
        device->key = nullptr;
        device->receiveShut = false;
    }
    std::lock_guard<std::mutex> guard(m_devicePoolLock);
    m_freeDevices.push_back(device);
}

bool CIOCompletionPort::AssociateDevice(Device* device, int handle, void* key)
{
    std::lock_guard<std::mutex> guard(device->transferLock);
    device->handle = handle;
    device->key = key;
    device->receiveShut = false;
    epoll_event event{};
    event.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
    event.data.ptr = device;
    if (::epoll_ctl(m_epoll, EPOLL_CTL_ADD, handle, &event) != 0) {
        Trace("CIOCompletionPort::AssociateDevice() - CreateIoCompletionPort" + SystemErrorText(errno));
        return false;
    }
    return true;
}

bool CIOCompletionPort::PostStatus(void* key, std::size_t bytes, CIOBuffer* buffer)
{
    Packet packet;
    packet.key = key;
    packet.bytes = bytes;
    packet.buffer = buffer;
    Push({packet});
    return true;
}

void CIOCompletionPort::Push(const PacketList& packets)
{
    if (packets.empty()) {
        return;
    }
    std::lock_guard<std::mutex> guard(m_completionQueueLock);
    for (const Packet& packet : packets) {
        m_queue.push_back(packet);
    }
    std::size_t signalled = 0;
    while (signalled < packets.size() && SignalOneLocked()) {
        ++signalled;
    }
    if (signalled < packets.size() && m_polling && !m_wakePending) {
        m_wakePending = true;
        const std::uint64_t one = 1;
        [[maybe_unused]] ssize_t written = ::write(m_wake, &one, sizeof(one));
    }
}

bool CIOCompletionPort::SignalOneLocked()
{
    if (m_waiters == 0) {
        return false;
    }
    --m_waiters;
    ++m_signals;
    m_ready.notify_one();
    return true;
}

bool CIOCompletionPort::GetStatus(void*& key, std::size_t& bytes, CIOBuffer*& buffer, int& error,
                                  std::chrono::milliseconds timeout)
{
    using Clock = std::chrono::steady_clock;
    const bool infinite = timeout.count() < 0;
    const Clock::time_point deadline = Clock::now() + (infinite ? std::chrono::milliseconds(0) : timeout);

    bool looked = false;  // a short timeout still polls once
    std::unique_lock<std::mutex> lock(m_completionQueueLock);
    for (;;) {
        if (!m_queue.empty()) {
            const Packet packet = m_queue.front();
            m_queue.pop_front();
            // Another waiting worker takes the next packet, or the polling
            // this one leaves behind.
            if (!m_queue.empty() || !m_polling) {
                SignalOneLocked();
            }
            lock.unlock();
            key = packet.key;
            bytes = packet.bytes;
            buffer = packet.buffer;
            error = packet.error;
            if (packet.error != 0) {
                Trace("CIOCompletionPort::GetStatus() - GetQueuedCompletionStatus" + SystemErrorText(packet.error));
                return false;
            }
            return true;
        }

        int waitMs = -1;
        if (!infinite) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0 && looked) {
                key = nullptr;
                bytes = 0;
                buffer = nullptr;
                error = ETIMEDOUT;
                return false;
            }
            waitMs = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        }
        looked = true;

        if (!m_polling) {
            m_polling = true;
            lock.unlock();
            PacketList packets;
            bool woken = false;
            Poll(waitMs, packets, woken);
            lock.lock();
            m_polling = false;
            if (woken) {
                m_wakePending = false;
            }
            for (const Packet& packet : packets) {
                m_queue.push_back(packet);
            }
            // This thread takes one packet; waiting workers take the others
            // and the polling this thread leaves.
            for (std::size_t i = 1; i < packets.size() && SignalOneLocked(); ++i) {
            }
            continue;
        }

        // Every thread that leaves the wait takes one unit: a signal meant for
        // a waiter, or (on a timeout) its own place among the waiters.
        ++m_waiters;
        bool signalled = true;
        if (infinite) {
            m_ready.wait(lock, [this] { return m_signals > 0; });
        } else {
            signalled = m_ready.wait_until(lock, deadline, [this] { return m_signals > 0; });
        }
        if (signalled) {
            --m_signals;
        } else {
            --m_waiters;
        }
    }
}

void CIOCompletionPort::Poll(int timeoutMs, PacketList& packets, bool& woken)
{
    epoll_event events[kMaxEvents];
    const int count = ::epoll_wait(m_epoll, events, kMaxEvents, timeoutMs);
    if (count < 0) {
        if (errno != EINTR) {
            Trace("CIOCompletionPort::GetStatus() - GetQueuedCompletionStatus" + SystemErrorText(errno));
        }
        return;
    }
    for (int i = 0; i < count; ++i) {
        Device* device = static_cast<Device*>(events[i].data.ptr);
        if (device == nullptr) {
            std::uint64_t value = 0;
            [[maybe_unused]] ssize_t got = ::read(m_wake, &value, sizeof(value));
            woken = true;
            continue;
        }
        ProcessReady(device, events[i].events, packets);
    }
}

void CIOCompletionPort::ProcessReady(Device* device, unsigned events, PacketList& packets)
{
    std::lock_guard<std::mutex> guard(device->transferLock);
    if (device->handle < 0) {
        return;  // late news of a closed connection
    }
    if (device->receive != nullptr && (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0) {
        const int error = TryReceive(device, packets);
        if (error != 0 && error != EAGAIN) {
            Packet packet;
            packet.key = device->key;
            packet.buffer = device->receive;
            packet.error = error;
            packets.push_back(packet);
            device->receive = nullptr;
        }
    }
    if (device->firstSend < device->sends.size() && (events & (EPOLLOUT | EPOLLHUP | EPOLLERR)) != 0) {
        TrySend(device, packets);
    }
}

// Under the device lock, with a receive pending. 0: completed (packet added);
// EAGAIN: still pending; other: failed, the receive is left for the caller.
int CIOCompletionPort::TryReceive(Device* device, PacketList& packets)
{
    CIOBuffer* buffer = device->receive;
    for (;;) {
        ssize_t received;
        if (buffer->WindowLength() == 0) {
            // A zero-byte receive waits for readability without taking data.
            char probe;
            received = ::recv(device->handle, &probe, 1, MSG_PEEK);
            if (received > 0) {
                received = 0;
            }
        } else {
            received = ::recv(device->handle, buffer->WindowData(), buffer->WindowLength(), 0);
        }
        if (received >= 0) {
            Packet packet;
            packet.key = device->key;
            packet.bytes = static_cast<std::size_t>(received);
            packet.buffer = buffer;
            packets.push_back(packet);
            device->receive = nullptr;
            return 0;
        }
        if (errno == EINTR) {
            continue;
        }
        return errno == EWOULDBLOCK ? EAGAIN : errno;
    }
}

// Under the device lock. Sends what the socket takes, in order; completes the
// sends that are wholly out. On a failure every pending send completes as
// failed and the error is returned.
int CIOCompletionPort::TrySend(Device* device, PacketList& packets)
{
    auto& sends = device->sends;
    while (device->firstSend < sends.size()) {
        Device::PendingSend& pending = sends[device->firstSend];
        CIOBuffer* buffer = pending.buffer;
        const std::size_t length = buffer->WindowLength();
        if (pending.sent < length) {
            const ssize_t sent = ::send(device->handle, buffer->WindowData() + pending.sent,
                                        length - pending.sent, MSG_NOSIGNAL);
            if (sent < 0) {
                if (errno == EINTR) {
                    continue;
                }
                if (errno == EAGAIN || errno == EWOULDBLOCK) {
                    return 0;
                }
                const int error = errno;
                for (std::size_t i = device->firstSend; i < sends.size(); ++i) {
                    Packet packet;
                    packet.key = device->key;
                    packet.bytes = sends[i].sent;
                    packet.buffer = sends[i].buffer;
                    packet.error = error;
                    packets.push_back(packet);
                }
                sends.clear();
                device->firstSend = 0;
                return error;
            }
            pending.sent += static_cast<std::size_t>(sent);
            continue;  // a short write: try the rest
        }
        Packet packet;
        packet.key = device->key;
        packet.bytes = pending.sent;
        packet.buffer = buffer;
        packets.push_back(packet);
        ++device->firstSend;
    }
    sends.clear();
    device->firstSend = 0;
    return 0;
}

int CIOCompletionPort::StartReceive(Device* device, CIOBuffer* buffer)
{
    PacketList packets;
    int result = 0;
    {
        std::lock_guard<std::mutex> guard(device->transferLock);
        if (device->handle < 0) {
            return EBADF;
        }
        if (device->receive != nullptr) {
            return EALREADY;
        }
        if (device->receiveShut) {
            Packet packet;
            packet.key = device->key;
            packet.buffer = buffer;
            packets.push_back(packet);
        } else {
            device->receive = buffer;
            const int error = TryReceive(device, packets);
            if (error != 0 && error != EAGAIN) {
                device->receive = nullptr;
                result = error;
            }
        }
        Push(packets);
    }
    return result;
}

int CIOCompletionPort::StartSend(Device* device, CIOBuffer* buffer)
{
    PacketList packets;
    int result = 0;
    {
        std::lock_guard<std::mutex> guard(device->transferLock);
        if (device->handle < 0) {
            return EBADF;
        }
        const bool first = device->firstSend == device->sends.size();
        device->sends.push_back(Device::PendingSend{buffer, 0});
        if (first) {
            const int error = TrySend(device, packets);
            if (error != 0) {
                // Only this send was pending: it did not start.
                packets.clear();
                result = error;
            }
        }
        Push(packets);
    }
    return result;
}

void CIOCompletionPort::ShutdownReceive(Device* device)
{
    std::lock_guard<std::mutex> guard(device->transferLock);
    device->receiveShut = true;
    if (device->receive != nullptr) {
        Packet packet;
        packet.key = device->key;
        packet.buffer = device->receive;
        device->receive = nullptr;
        Push({packet});
    }
}

int CIOCompletionPort::CloseHandle(Device* device)
{
    std::lock_guard<std::mutex> guard(device->transferLock);
    if (device->handle < 0) {
        return 0;
    }
    // Closing also removes the handle from the epoll set.
    const int result = ::close(device->handle) == 0 ? 0 : errno;
    device->handle = -1;
    PacketList packets;
    if (device->receive != nullptr) {
        Packet packet;
        packet.key = device->key;
        packet.buffer = device->receive;
        packet.error = ECONNABORTED;
        packets.push_back(packet);
        device->receive = nullptr;
    }
    for (std::size_t i = device->firstSend; i < device->sends.size(); ++i) {
        Packet packet;
        packet.key = device->key;
        packet.bytes = device->sends[i].sent;
        packet.buffer = device->sends[i].buffer;
        packet.error = ECONNABORTED;
        packets.push_back(packet);
    }
    device->sends.clear();
    device->firstSend = 0;
    Push(packets);
    return result;
}

}  // namespace linkcore
