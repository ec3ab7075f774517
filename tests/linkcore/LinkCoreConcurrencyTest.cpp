// The library under concurrent use: connections opening and closing from
// several threads while other threads send and close, several threads
// sending on one connection, and a stop in the middle of traffic.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "linkcore/LinkCore.h"
#include "tests/linkcore/CallbackRecorder.h"
#include "tests/linkcore/LoopbackClient.h"

using linkcore_test::CallbackRecorder;
using linkcore_test::FreePort;
using linkcore_test::LoopbackClient;

namespace {

class LinkCoreConcurrency : public ::testing::Test {
protected:
    void SetUp() override
    {
        DLL_LinkCoreInit();
        recorder.Reset();
        CallbackRecorder::Register();
        port = FreePort();
        ASSERT_TRUE(DLL_StartTcpServer(nullptr, "127.0.0.1", port, nullptr));
    }

    void TearDown() override { DLL_StopTcpServer(port, "127.0.0.1"); }

    CallbackRecorder& recorder = CallbackRecorder::Instance();
    std::uint16_t port = 0;
};

TEST_F(LinkCoreConcurrency, ManyConnectionsComeAndGoWhileSendsAndClosesRunElsewhere)
{
    constexpr int kClientThreads = 4;
    constexpr int kConnectionsPerThread = 40;
    recorder.SetAction([](int id, const char* data, int length) {
        DLL_SendTcpData(id, "MySend", data, length, 0, 0);
    });

    std::atomic<bool> clientsDone{false};
    std::vector<std::thread> clients;
    for (int t = 0; t < kClientThreads; ++t) {
        clients.emplace_back([this, t] {
            for (int i = 0; i < kConnectionsPerThread; ++i) {
                LoopbackClient client(port);
                if (!client.Connected()) {
                    ADD_FAILURE() << "connect failed";
                    return;
                }
                const std::string message(100, static_cast<char>('a' + t));
                client.Send(message);
                if (i % 2 == 0) {
                    client.Receive(1);  // the echo, or the end of a closed connection
                }
                if (i % 5 == 0) {
                    client.Reset();
                }
            }
        });
    }
    // Sends and closes on whatever identifiers exist at the moment.
    std::thread sender([&] {
        std::mt19937 random(1);
        const std::string bytes(3000, 'x');
        while (!clientsDone.load()) {
            const int id = 1 + static_cast<int>(random() % 8);
            DLL_SendTcpData(id, "MySend", bytes.data(), 1 + static_cast<int>(random() % bytes.size()), 0, 0);
        }
    });
    std::thread closer([&] {
        std::mt19937 random(2);
        while (!clientsDone.load()) {
            DLL_CloseTcpSocket(1 + static_cast<int>(random() % 8));
            std::this_thread::yield();
        }
    });

    for (auto& client : clients) {
        client.join();
    }
    clientsDone.store(true);
    sender.join();
    closer.join();

    // Every connection is reported closed exactly once.
    const std::size_t total = kClientThreads * kConnectionsPerThread;
    ASSERT_TRUE(recorder.WaitFor([&](CallbackRecorder& r) { return r.ClosedLocked().size() >= total; }));
    const std::vector<int> closed = recorder.Closed();
    EXPECT_EQ(closed.size(), total);
    for (int id : closed) {
        EXPECT_GE(id, 1);
        EXPECT_LE(id, static_cast<int>(total));
    }
}

TEST_F(LinkCoreConcurrency, SendsFromSeveralThreadsOnOneConnectionAreNeverInterleaved)
{
    constexpr int kThreads = 4;
    constexpr int kSends = 100;
    constexpr std::size_t kLength = 3000;  // three buffers each
    LoopbackClient client(port);
    ASSERT_TRUE(client.Send("o"));
    const int id = recorder.IdentifierOf("o");
    ASSERT_GT(id, 0);

    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t) {
        senders.emplace_back([id, t] {
            for (int i = 0; i < kSends; ++i) {
                // Each send carries its number, then its thread's letter (w to z).
                std::string bytes(kLength, static_cast<char>('w' + t));
                bytes[0] = static_cast<char>(i);
                EXPECT_TRUE(DLL_SendTcpData(id, "MySend", bytes.data(), static_cast<int>(bytes.size()), 0, 0));
            }
        });
    }
    const std::string received = client.Receive(kThreads * kSends * kLength);
    for (auto& sender : senders) {
        sender.join();
    }
    ASSERT_EQ(received.size(), kThreads * kSends * kLength);
    int next[kThreads] = {};
    for (std::size_t offset = 0; offset < received.size(); offset += kLength) {
        const char letter = received[offset + 1];
        ASSERT_GE(letter, 'w');
        ASSERT_LT(letter, 'w' + kThreads);
        const int thread = letter - 'w';
        EXPECT_EQ(received[offset], static_cast<char>(next[thread])) << "sends of one thread out of order";
        ++next[thread];
        ASSERT_EQ(received.find_first_not_of(letter, offset + 1), offset + kLength == received.size()
                                                                        ? std::string::npos
                                                                        : offset + kLength)
            << "bytes of two sends interleaved at " << offset;
    }
}

TEST_F(LinkCoreConcurrency, AStopDuringTrafficEndsEverythingAndReportsNoCloses)
{
    recorder.SetAction([](int id, const char* data, int length) {
        DLL_SendTcpData(id, "MySend", data, length, 0, 0);
    });
    std::vector<std::unique_ptr<LoopbackClient>> clients;
    for (int i = 0; i < 6; ++i) {
        clients.push_back(std::make_unique<LoopbackClient>(port));
        ASSERT_TRUE(clients.back()->Send(std::string(1, static_cast<char>('0' + i))));
        ASSERT_GT(recorder.IdentifierOf(std::string(1, static_cast<char>('0' + i))), 0);
    }
    std::atomic<bool> stopped{false};
    std::atomic<long> sendsAfterStop{0};
    std::thread sender([&] {
        const std::string bytes(2000, 's');
        for (;;) {
            const bool wasStopped = stopped.load();
            for (int id = 1; id <= 6; ++id) {
                if (DLL_SendTcpData(id, "MySend", bytes.data(), static_cast<int>(bytes.size()), 0, 0) &&
                    wasStopped) {
                    ++sendsAfterStop;
                }
            }
            if (wasStopped) {
                return;
            }
        }
    });
    DLL_StopTcpServer(port, "127.0.0.1");
    stopped.store(true);
    sender.join();
    EXPECT_EQ(sendsAfterStop.load(), 0);
    for (auto& client : clients) {
        EXPECT_TRUE(client->WaitForEnd());
    }
    EXPECT_TRUE(recorder.Closed().empty());
}

}  // namespace
