// The completion queue: a queue of packets (connection key, buffer, byte
// count, failure) that the I/O worker threads wait on.
//
// Packets come from two sources. Threads post their own (PostStatus) to ask a
// worker to start an operation. Receives and sends started on a connection's
// device complete as packets: a transfer that can be done at once completes
// at once; one that would block waits on epoll (edge-triggered) and is
// finished by whichever worker polls when the socket becomes ready. Every
// started receive or send completes exactly once, as one packet; a closed
// handle completes what was pending on it as failed.
//
// Polling is done by the workers themselves, one at a time: a worker that
// finds the queue empty and nobody polling waits in epoll_wait, turns the
// readiness it gets into packets, and takes the first one itself. A post to
// the queue wakes a waiting worker, or the polling one through an eventfd.
//
// Devices (the per-connection transfer state) live as long as the port and are
// recycled, so a readiness event that arrives late for a closed connection
// never touches freed memory; at worst it retries a transfer that is not
// ready and finds EAGAIN.
//
// Lock order: a connection's lock, then its device's transferLock, then
// m_completionQueueLock (see the engine's order in SocketServer.h).
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <condition_variable>
#include <vector>

namespace linkcore {

class CIOBuffer;

class CIOCompletionPort {
public:
    class Device;

    struct Packet {
        void* key = nullptr;
        std::size_t bytes = 0;
        CIOBuffer* buffer = nullptr;
        int error = 0;
    };

    // maxConcurrentThreads is kept for the shape of the interface: every
    // worker that waits may run.
    explicit CIOCompletionPort(std::size_t maxConcurrentThreads = 0);
    ~CIOCompletionPort();

    CIOCompletionPort(const CIOCompletionPort&) = delete;
    CIOCompletionPort& operator=(const CIOCompletionPort&) = delete;

    bool IsValid() const { return m_epoll >= 0 && m_wake >= 0; }

    // A device for one connection object; given back with DestroyDevice.
    Device* CreateDevice();
    void DestroyDevice(Device* device);

    // Attaches a non-blocking socket handle to the device; its transfers
    // complete as packets carrying key.
    bool AssociateDevice(Device* device, int handle, void* key);

    bool PostStatus(void* key, std::size_t bytes, CIOBuffer* buffer);

    // Takes the next packet. True for a successful one. False for a failed
    // transfer (key, bytes, buffer and error set; traced) or a timeout (error
    // ETIMEDOUT, key and buffer null). A negative timeout waits without limit.
    bool GetStatus(void*& key, std::size_t& bytes, CIOBuffer*& buffer, int& error,
                   std::chrono::milliseconds timeout = std::chrono::milliseconds(-1));

    // Start a transfer into or from the buffer's I/O window. 0: started (its
    // packet follows, possibly already queued). Otherwise the errno that kept
    // it from starting; no packet follows.
    int StartReceive(Device* device, CIOBuffer* buffer);
    int StartSend(Device* device, CIOBuffer* buffer);

    // After a local shutdown of the receive side: a pending receive completes
    // with 0 bytes, and so does every later one.
    void ShutdownReceive(Device* device);

    // Closes the handle (the caller has set any linger option before). The
    // transfers pending on it complete as failed. Returns the close error, 0
    // when none; a device without a handle is left alone.
    int CloseHandle(Device* device);

private:
    using PacketList = std::vector<Packet>;

    void Poll(int timeoutMs, PacketList& packets, bool& woken);
    void ProcessReady(Device* device, unsigned events, PacketList& packets);
    int TryReceive(Device* device, PacketList& packets);
    int TrySend(Device* device, PacketList& packets);
    void Push(const PacketList& packets);
    // Wakes one waiting worker; false when none waits.
    bool SignalOneLocked();

    int m_epoll = -1;
    int m_wake = -1;

    std::mutex m_completionQueueLock;
    std::condition_variable m_ready;
    std::deque<Packet> m_queue;
    std::size_t m_waiters = 0;  // workers waiting and not yet signalled
    std::size_t m_signals = 0;  // signals not yet taken by a waiter
    bool m_polling = false;
    bool m_wakePending = false;

    std::mutex m_devicePoolLock;
    std::vector<std::unique_ptr<Device>> m_devices;
    std::vector<Device*> m_freeDevices;
};

}  // namespace linkcore
