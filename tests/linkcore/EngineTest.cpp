// The pieces under the library's interface: buffers and their pool, the
// completion queue, the receive dump, the null checks, and the engine's
// connection pool.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include <sys/socket.h>
#include <unistd.h>

#include "linkcore/HvTcpServer.h"
#include "linkcore/WorkerManager.h"
#include "linkcore/socketserver/Exceptions.h"
#include "linkcore/socketserver/IOBuffer.h"
#include "linkcore/socketserver/IOCompletionPort.h"
#include "linkcore/socketserver/SocketServer.h"
#include "linkcore/socketserver/Sockets.h"
#include "linkcore/socketserver/Thread.h"
#include "tests/linkcore/LoopbackClient.h"

using namespace linkcore;

namespace {

class CountingAllocator : public CIOBuffer::Allocator {
public:
    CountingAllocator(std::size_t size, std::size_t limit) : CIOBuffer::Allocator(size, limit) {}
    int created = 0;
    int destroyed = 0;

protected:
    void OnBufferCreated() override { ++created; }
    void OnBufferDestroyed() override { ++destroyed; }
};

TEST(IOBuffer, AddDataFillsTheBufferExactlyAndRefusesOneByteMore)
{
    CountingAllocator pool(1450, 200);
    CIOBuffer* buffer = pool.Allocate();
    const std::vector<char> bytes(1451, 'q');
    EXPECT_FALSE(buffer->AddData(bytes.data(), 1451));
    EXPECT_EQ(buffer->GetUsed(), 0u);
    EXPECT_TRUE(buffer->AddData(bytes.data(), 1450));
    EXPECT_EQ(buffer->GetUsed(), 1450u);
    EXPECT_FALSE(buffer->AddData(bytes.data(), 1));
    buffer->Release();
    buffer->Release();  // a second release is only traced
    EXPECT_EQ(pool.IdleBuffers(), 1u);
}

TEST(IOBuffer, ThePoolKeepsAtMost200IdleBuffersAndReusesThem)
{
    CountingAllocator pool(1450, 200);
    std::vector<CIOBuffer*> buffers;
    for (int i = 0; i < 201; ++i) {
        buffers.push_back(pool.Allocate());
    }
    EXPECT_EQ(pool.created, 201);
    for (CIOBuffer* buffer : buffers) {
        buffer->Release();
    }
    EXPECT_EQ(pool.IdleBuffers(), 200u);
    EXPECT_EQ(pool.destroyed, 1);
    CIOBuffer* reused = pool.Allocate();
    EXPECT_EQ(pool.created, 201);
    EXPECT_EQ(reused->GetUsed(), 0u);
    EXPECT_EQ(reused->References(), 1);
    reused->Release();
}

TEST(IOCompletionPort, PostedPacketsComeOutInOrderAndAnEmptyQueueTimesOut)
{
    CIOCompletionPort port;
    int a = 0;
    int b = 0;
    port.PostStatus(&a, 1, nullptr);
    port.PostStatus(&b, 2, nullptr);
    void* key = nullptr;
    std::size_t bytes = 0;
    CIOBuffer* buffer = nullptr;
    int error = 0;
    ASSERT_TRUE(port.GetStatus(key, bytes, buffer, error, std::chrono::milliseconds(1000)));
    EXPECT_EQ(key, &a);
    ASSERT_TRUE(port.GetStatus(key, bytes, buffer, error, std::chrono::milliseconds(1000)));
    EXPECT_EQ(key, &b);
    EXPECT_EQ(bytes, 2u);
    EXPECT_FALSE(port.GetStatus(key, bytes, buffer, error, std::chrono::milliseconds(20)));
    EXPECT_EQ(error, ETIMEDOUT);
}

// A socket pair whose first end is served by a completion queue.
struct PortedPair {
    PortedPair()
    {
        int ends[2];
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, ends);
        served = ends[0];
        peer = ends[1];
        device = port.CreateDevice();
        port.AssociateDevice(device, served, &key);
    }
    ~PortedPair()
    {
        port.DestroyDevice(device);
        ::close(peer);
    }

    CIOCompletionPort::Packet Next(int timeoutMs = 5000)
    {
        CIOCompletionPort::Packet packet;
        port.GetStatus(packet.key, packet.bytes, packet.buffer, packet.error, std::chrono::milliseconds(timeoutMs));
        return packet;
    }

    CIOCompletionPort port;
    CIOCompletionPort::Device* device = nullptr;
    int served = -1;
    int peer = -1;
    int key = 0;
};

TEST(IOCompletionPort, AStartedReceiveCompletesOnceWhenDataArrivesAndAClosedHandleFailsIt)
{
    CountingAllocator pool(64, 0);
    PortedPair pair;
    CIOBuffer* buffer = pool.Allocate();
    buffer->SetupRead();
    ASSERT_EQ(pair.port.StartReceive(pair.device, buffer), 0);
    EXPECT_EQ(pair.Next(20).error, ETIMEDOUT);  // nothing to read yet
    ASSERT_EQ(::write(pair.peer, "hello", 5), 5);
    CIOCompletionPort::Packet packet = pair.Next();
    EXPECT_EQ(packet.error, 0);
    EXPECT_EQ(packet.buffer, buffer);
    EXPECT_EQ(packet.key, &pair.key);
    ASSERT_EQ(packet.bytes, 5u);
    EXPECT_EQ(std::memcmp(buffer->GetBuffer(), "hello", 5), 0);

    buffer->SetupRead();
    ASSERT_EQ(pair.port.StartReceive(pair.device, buffer), 0);
    pair.port.CloseHandle(pair.device);
    packet = pair.Next();
    EXPECT_EQ(packet.buffer, buffer);
    EXPECT_NE(packet.error, 0);
    EXPECT_EQ(pair.Next(20).error, ETIMEDOUT);  // exactly once
    EXPECT_EQ(pair.port.StartReceive(pair.device, buffer), EBADF);
    buffer->Release();
}

TEST(IOCompletionPort, SendsThatDoNotFitAtOnceFinishInOrderAsTheSocketDrains)
{
    CountingAllocator pool(60000, 0);
    PortedPair pair;
    std::vector<CIOBuffer*> buffers;
    for (int i = 0; i < 40; ++i) {
        CIOBuffer* buffer = pool.Allocate();
        std::vector<char> bytes(60000, static_cast<char>('a' + i % 26));
        buffer->AddData(bytes.data(), bytes.size());
        buffer->SetupWrite();
        ASSERT_EQ(pair.port.StartSend(pair.device, buffer), 0);
        buffers.push_back(buffer);
    }
    // 2.4 MB cannot all be in the socket at once: read it while completions come.
    std::string received;
    std::size_t completed = 0;
    while (received.size() < 40u * 60000u) {
        char chunk[65536];
        const ssize_t got = ::read(pair.peer, chunk, sizeof(chunk));
        if (got > 0) {
            received.append(chunk, static_cast<std::size_t>(got));
        }
        CIOCompletionPort::Packet packet = pair.Next(1);
        if (packet.buffer != nullptr) {
            ASSERT_EQ(packet.error, 0);
            ASSERT_EQ(packet.buffer, buffers[completed]);
            EXPECT_EQ(packet.bytes, 60000u);
            ++completed;
        }
    }
    while (completed < buffers.size()) {
        CIOCompletionPort::Packet packet = pair.Next();
        ASSERT_EQ(packet.buffer, buffers[completed]);
        ++completed;
    }
    for (std::size_t i = 0; i < 40; ++i) {
        ASSERT_EQ(received[i * 60000], static_cast<char>('a' + i % 26));
        ASSERT_EQ(received[i * 60000 + 59999], static_cast<char>('a' + i % 26));
    }
    for (CIOBuffer* buffer : buffers) {
        buffer->Release();
    }
}

// The manager's registry, driven with stand-in connection objects (the
// registry only uses their addresses).
struct RegistryProbe {
    static std::vector<int>& Closed()
    {
        static std::vector<int> closed;
        return closed;
    }
    static std::function<void(int)>& DuringClose()
    {
        static std::function<void(int)> action;
        return action;
    }
    static void OnData(unsigned short, int, const char*, unsigned short, int, const char*, int, void*) {}
    static void OnClosed(unsigned short, int, int, int id, void*)
    {
        Closed().push_back(id);
        if (DuringClose()) {
            DuringClose()(id);
        }
    }
    static void OnServerClosed(unsigned short, int, void*) {}
};

TEST(WorkerManager, FreedIdentifiersAreReusedMostRecentFirstOnlyAfterTheirClosedCallback)
{
    CWorkerManager manager;
    manager.SetCallbacks(&RegistryProbe::OnData, &RegistryProbe::OnClosed, &RegistryProbe::OnServerClosed);
    RegistryProbe::Closed().clear();
    char objects[8];
    auto socket = [&objects](int i) { return reinterpret_cast<ISOCKET*>(&objects[i]); };

    manager.AddHvServerSocket(socket(0));
    manager.AddHvServerSocket(socket(1));
    manager.AddHvServerSocket(socket(1));  // already registered: unchanged
    manager.RemoveHvServerSocket(socket(0));
    manager.RemoveHvServerSocket(socket(1));
    manager.RemoveHvServerSocket(socket(1));  // no longer registered: nothing
    EXPECT_EQ(RegistryProbe::Closed(), (std::vector<int>{1, 2}));

    // 1 and 2 closed in that order: the next two get 2, then 1.
    manager.AddHvServerSocket(socket(2));
    manager.AddHvServerSocket(socket(3));
    manager.RemoveHvServerSocket(socket(3));
    manager.RemoveHvServerSocket(socket(2));
    EXPECT_EQ(RegistryProbe::Closed(), (std::vector<int>{1, 2, 1, 2}));

    // While the callback for 2 runs, a new connection must not get 2.
    RegistryProbe::DuringClose() = [&](int id) {
        if (id == 2) {
            RegistryProbe::DuringClose() = nullptr;
            manager.AddHvServerSocket(socket(4));
            manager.RemoveHvServerSocket(socket(4));
        }
    };
    manager.AddHvServerSocket(socket(5));  // takes 2 (top of the stack)
    manager.RemoveHvServerSocket(socket(5));
    EXPECT_EQ(RegistryProbe::Closed(), (std::vector<int>{1, 2, 1, 2, 2, 1}));

    // Emptying the registry frees nothing: no callback, no identifier.
    manager.AddHvServerSocket(socket(6));
    manager.ClearHvServerSockets();
    manager.RemoveHvServerSocket(socket(6));
    EXPECT_EQ(RegistryProbe::Closed().size(), 6u);
    EXPECT_EQ(manager.GetHvServerSocket(1), nullptr);
}

TEST(ReceiveDump, ThirteenBytesMakeOneLineAndTheFourteenthStartsAPaddedOne)
{
    const unsigned char thirteen[] = "ABCDEFGHIJKLM";
    EXPECT_EQ(DumpData(thirteen, 13), "41 42 43 44 45 46 47 48 49 4A 4B 4C 4D  - ABCDEFGHIJKLM\n");
    const unsigned char fourteen[] = "ABCDEFGHIJKLM\x01";
    EXPECT_EQ(DumpData(fourteen, 14), "41 42 43 44 45 46 47 48 49 4A 4B 4C 4D  - ABCDEFGHIJKLM\n"
                                      "01 " + std::string(36, ' ') + " - .\n");
    const unsigned char three[] = {0x41, 0x42, 0x0D};
    EXPECT_EQ(DumpData(three, 3), "41 42 0D " + std::string(30, ' ') + " - AB.\n");
    EXPECT_EQ(DumpData(three, 0), "");
}

TEST(NullChecks, ANullValueRaisesNullPointerNamingTheExpressionFileAndLine)
{
    try {
        assertion::CheckNotNull(nullptr, "pSocket", "linkcore/HvTcpServer.cpp", 42);
        FAIL() << "no exception";
    } catch (const assertion::NullPointerException& e) {
        EXPECT_STREQ(e.Description(), "Null pointer");
        EXPECT_STREQ(e.what(), "Null pointer");
        EXPECT_EQ(e.Message(), "pSocket in file \"linkcore/HvTcpServer.cpp\", line 42");
        std::unique_ptr<assertion::CException> copy(e.Clone());
        EXPECT_STREQ(copy->Description(), "Null pointer");
    }
    int value = 0;
    EXPECT_NO_THROW(assertion::CheckNotNull(&value, "value", "file", 1));
}

TEST(SocketAddress, RendersDottedAddressColonPort)
{
    EXPECT_EQ(CSocketAddress(0xC0A8010A, 5005).AsString(), "192.168.1.10:5005");
}

class CountingThread : public CThread {
public:
    std::atomic<int> runs{0};

protected:
    int Run() override
    {
        ++runs;
        return 0;
    }
};

TEST(Thread, StartsOnlyOnce)
{
    CountingThread thread;
    thread.Start();
    thread.Start();
    thread.Wait();
    EXPECT_EQ(thread.runs.load(), 1);
}

// An engine that serves a receive on every connection and counts closed and
// destroyed connection objects.
class ClosingServer : public CSocketServer {
public:
    explicit ClosingServer(std::size_t idleLimit) : CSocketServer(0x7F000001, 0, idleLimit, 200, 1450, 2) {}
    ~ClosingServer() override { ShutdownServer(); }

    bool WaitForClosed(int count)
    {
        std::unique_lock<std::mutex> lock(m_lock);
        return m_changed.wait_for(lock, std::chrono::seconds(30), [&] { return m_closed >= count; });
    }

    bool WaitForAccepted(int count)
    {
        std::unique_lock<std::mutex> lock(m_lock);
        return m_changed.wait_for(lock, std::chrono::seconds(30), [&] { return m_accepted >= count; });
    }

    std::atomic<int> destroyed{0};

protected:
    void OnConnectionAccepted(Socket* socket, CIOBuffer*) override
    {
        socket->Read();
        {
            std::lock_guard<std::mutex> guard(m_lock);
            ++m_accepted;
        }
        m_changed.notify_all();
    }
    void ReadCompleted(Socket*, CIOBuffer*) override {}
    void OnConnectionDestroyed() override { ++destroyed; }
    void OnSocketClosed(Socket*) override
    {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            ++m_closed;
        }
        m_changed.notify_all();
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    int m_closed = 0;
    int m_accepted = 0;
};

TEST(SocketServer, ReleasedConnectionObjectsArePooledUpTo200AndTheRestDestroyed)
{
    ClosingServer server(200);
    server.Start();
    ASSERT_TRUE(server.StartAcceptingConnections());
    EXPECT_FALSE(server.StartAcceptingConnections());
    const std::uint16_t port = server.ListeningPort();
    std::vector<std::unique_ptr<linkcore_test::LoopbackClient>> clients;
    for (int i = 0; i < 201; ++i) {
        clients.push_back(std::make_unique<linkcore_test::LoopbackClient>(port));
        ASSERT_TRUE(clients.back()->Connected());
    }
    // All 201 are open together before any closes.
    ASSERT_TRUE(server.WaitForAccepted(201));
    EXPECT_EQ(server.ActiveConnections(), 201u);
    clients.clear();  // every peer closes
    ASSERT_TRUE(server.WaitForClosed(201));

    // Stopping the workers lets every release in progress finish; the
    // connection objects stay until ShutdownServer releases them.
    server.BeginShutdown();
    server.Wait();
    EXPECT_EQ(server.ActiveConnections(), 0u);
    EXPECT_EQ(server.IdleConnections(), 200u);
    EXPECT_EQ(server.destroyed.load(), 1);
    server.ShutdownServer();
    EXPECT_EQ(server.destroyed.load(), 201);
}

}  // namespace
