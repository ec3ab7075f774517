// The library through its C interface, as the data centre uses it, with real
// connections on 127.0.0.1.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <map>
#include <set>
#include <stdexcept>
#include <cstring>
#include <string>

#include "linkcore/LinkCore.h"
#include "tests/linkcore/CallbackRecorder.h"
#include "tests/linkcore/LoopbackClient.h"

extern "C" int LinkCoreFromC(void);

using linkcore_test::CallbackRecorder;
using linkcore_test::FreePort;
using linkcore_test::LoopbackClient;

namespace {

std::string Pattern(std::size_t length, unsigned seed)
{
    std::string bytes(length, '\0');
    for (std::size_t i = 0; i < length; ++i) {
        seed = seed * 1103515245u + 12345u;
        bytes[i] = static_cast<char>(seed >> 16);
    }
    return bytes;
}

int g_context = 0;

class LinkCoreApi : public ::testing::Test {
protected:
    void SetUp() override
    {
        DLL_LinkCoreInit();
        recorder.Reset();
        CallbackRecorder::Register();
        port = FreePort();
        ASSERT_TRUE(DLL_StartTcpServer(nullptr, "127.0.0.1", port, &g_context));
    }

    void TearDown() override { DLL_StopTcpServer(port, "127.0.0.1"); }

    bool Send(int id, const std::string& bytes)
    {
        return DLL_SendTcpData(id, "MySend", bytes.data(), static_cast<int>(bytes.size()), 0, 0);
    }

    bool WaitClosed(int id, std::size_t times = 1)
    {
        return recorder.WaitFor([&](CallbackRecorder& r) {
            const auto& closed = r.ClosedLocked();
            return static_cast<std::size_t>(std::count(closed.begin(), closed.end(), id)) >= times;
        });
    }

    CallbackRecorder& recorder = CallbackRecorder::Instance();
    std::uint16_t port = 0;
};

// The exact reuse order is checked on the manager itself: a freed identifier
// returns to the free stack only after its closed callback has returned,
// which a client cannot observe.
TEST_F(LinkCoreApi, IdentifiersCountFromOneAndStaySmallAsConnectionsComeAndGo)
{
    auto a = std::make_unique<LoopbackClient>(port);
    ASSERT_TRUE(a->Send("a"));
    EXPECT_EQ(recorder.IdentifierOf("a"), 1);
    LoopbackClient b(port);
    ASSERT_TRUE(b.Send("b"));
    EXPECT_EQ(recorder.IdentifierOf("b"), 2);
    a.reset();
    ASSERT_TRUE(WaitClosed(1));

    // Connections that come and go one at a time keep taking freed
    // identifiers: an accept that comes before the last one is back takes a
    // new number, which is then freed in turn, so only a few numbers are ever
    // used (a leak would use a new one every round).
    std::map<int, std::size_t> closes{{1, 1}};
    std::set<int> used;
    for (int round = 0; round < 20; ++round) {
        const std::string tag = "r" + std::to_string(round) + ".";
        LoopbackClient client(port);
        ASSERT_TRUE(client.Send(tag));
        const int id = recorder.IdentifierOf(tag);
        ASSERT_NE(id, 2);
        used.insert(id);
        client.Close();
        ASSERT_TRUE(WaitClosed(id, ++closes[id]));
    }
    EXPECT_LE(used.size(), 8u);
    EXPECT_EQ(recorder.ClosedCount(2), 0u);
}

TEST_F(LinkCoreApi, BlocksArriveInStreamOrderWithAtMost1450BytesAndThePeerAndContext)
{
    const std::string bytes = "S" + Pattern(200000, 7);
    LoopbackClient client(port);
    ASSERT_TRUE(client.Send(bytes));
    const int id = recorder.IdentifierOf("S");
    ASSERT_TRUE(recorder.WaitFor([&](CallbackRecorder& r) {
        auto found = r.StreamsLocked().find(id);
        return found != r.StreamsLocked().end() && found->second.size() >= bytes.size();
    }));
    EXPECT_TRUE(recorder.Stream(id) == bytes);
    EXPECT_LE(recorder.LargestBlock(), 1450);
    EXPECT_GE(recorder.Blocks(), 138);
    for (void* context : recorder.Contexts()) {
        ASSERT_EQ(context, &g_context);
    }
    EXPECT_EQ(recorder.LastPeer().rfind("127.0.0.1:", 0), 0u);
}

TEST_F(LinkCoreApi, AnswersSentFromInsideTheDataCallbackComeBackInOrder)
{
    recorder.SetAction([](int id, const char* data, int length) {
        DLL_SendTcpData(id, "MySend", data, length, 0, 0);
    });
    const std::string bytes = Pattern(60000, 11);
    LoopbackClient client(port);
    for (std::size_t offset = 0; offset < bytes.size(); offset += 6000) {
        ASSERT_TRUE(client.Send(bytes.substr(offset, 6000)));
    }
    EXPECT_TRUE(client.Receive(bytes.size()) == bytes);
}

TEST_F(LinkCoreApi, ASendLongerThanOneBufferArrivesWholeAndAnEmptySendIsAccepted)
{
    LoopbackClient client(port);
    ASSERT_TRUE(client.Send("L"));
    const int id = recorder.IdentifierOf("L");
    const std::string bytes = Pattern(10000, 3);
    EXPECT_TRUE(DLL_SendTcpData(id, "MySend", bytes.data(), 0, 0, 0));
    EXPECT_TRUE(Send(id, bytes));
    EXPECT_TRUE(Send(id, "tail"));
    EXPECT_TRUE(client.Receive(bytes.size() + 4) == bytes + "tail");
}

TEST_F(LinkCoreApi, SendsAndClosesForUnknownIdentifiersDoNothing)
{
    EXPECT_FALSE(Send(0, "x"));
    EXPECT_FALSE(Send(1, "x"));
    EXPECT_FALSE(Send(-3, "x"));
    DLL_CloseTcpSocket(0);
    DLL_CloseTcpSocket(77);
    LoopbackClient client(port);
    ASSERT_TRUE(client.Send("u"));
    const int id = recorder.IdentifierOf("u");
    EXPECT_FALSE(Send(id + 1, "x"));
    EXPECT_FALSE(DLL_SendTcpData(id, "MySend", "x", -1, 0, 0));
    EXPECT_TRUE(Send(id, "ok"));
    EXPECT_EQ(client.Receive(2), "ok");
}

TEST_F(LinkCoreApi, APeerThatClosesOrResetsGivesExactlyOneClosedCallback)
{
    auto closedCount = [this](std::size_t count) {
        return recorder.WaitFor([count](CallbackRecorder& r) { return r.ClosedLocked().size() >= count; });
    };
    {
        LoopbackClient silent(port);
        ASSERT_TRUE(silent.Connected());
    }
    ASSERT_TRUE(closedCount(1));
    EXPECT_EQ(recorder.Closed(), (std::vector<int>{1}));
    EXPECT_EQ(recorder.Blocks(), 0);

    LoopbackClient resetting(port);
    ASSERT_TRUE(resetting.Send("r"));
    const int id = recorder.IdentifierOf("r");
    resetting.Reset();
    ASSERT_TRUE(closedCount(2));
    EXPECT_EQ(recorder.Closed()[1], id);
    EXPECT_FALSE(Send(id, "late"));

    // One more connection round trip: a second report of the earlier ones
    // would have arrived by now.
    int last = 0;
    {
        LoopbackClient client(port);
        ASSERT_TRUE(client.Send("z"));
        last = recorder.IdentifierOf("z");
    }
    ASSERT_TRUE(closedCount(3));
    EXPECT_EQ(recorder.Closed(), (std::vector<int>{1, id, last}));
}

TEST_F(LinkCoreApi, ACloseFromOurSideEndsTheConnectionAndLaterSendsAreRefused)
{
    LoopbackClient client(port);
    ASSERT_TRUE(client.Send("k"));
    const int id = recorder.IdentifierOf("k");
    DLL_CloseTcpSocket(id);
    // Shut down for sending, or already unregistered: either way refused.
    EXPECT_FALSE(Send(id, "after close"));
    EXPECT_TRUE(client.WaitForEnd());
    ASSERT_TRUE(WaitClosed(id));
    EXPECT_FALSE(Send(id, "after closed callback"));
    DLL_CloseTcpSocket(id);
    EXPECT_EQ(recorder.ClosedCount(id), 1u);
}

TEST_F(LinkCoreApi, AnExceptionFromTheDataCallbackClosesOnlyThatConnection)
{
    static std::atomic<int> badId{0};
    recorder.SetAction([](int id, const char* data, int length) {
        if (length > 0 && data[0] == '!') {
            badId.store(id);
            throw std::runtime_error("callback failure");
        }
        DLL_SendTcpData(id, "MySend", data, length, 0, 0);
    });
    LoopbackClient good(port);
    ASSERT_TRUE(good.Send("g"));
    EXPECT_EQ(good.Receive(1), "g");
    LoopbackClient bad(port);
    ASSERT_TRUE(bad.Send("!"));
    EXPECT_TRUE(bad.WaitForEnd());
    ASSERT_TRUE(WaitClosed(badId.load()));
    ASSERT_TRUE(good.Send("still here"));
    EXPECT_EQ(good.Receive(10), "still here");
}

TEST_F(LinkCoreApi, AStopDropsConnectionsSilentlyAndARestartNumbersFromOne)
{
    LoopbackClient first(port);
    ASSERT_TRUE(first.Send("1"));
    LoopbackClient second(port);
    ASSERT_TRUE(second.Send("2"));
    ASSERT_EQ(recorder.IdentifierOf("1"), 1);
    ASSERT_EQ(recorder.IdentifierOf("2"), 2);

    DLL_StopTcpServer(port, "127.0.0.1");
    EXPECT_TRUE(first.WaitForEnd());
    EXPECT_TRUE(second.WaitForEnd());
    EXPECT_FALSE(Send(1, "x"));
    EXPECT_TRUE(recorder.Closed().empty());
    DLL_StopTcpServer(port, "127.0.0.1");  // a second stop finds nothing to do
    recorder.Reset();  // identifiers begin again

    // The same port binds again at once.
    ASSERT_TRUE(DLL_StartTcpServer(nullptr, "127.0.0.1", port, &g_context));
    LoopbackClient third(port);
    ASSERT_TRUE(third.Send("3"));
    EXPECT_EQ(recorder.IdentifierOf("3"), 1);
    EXPECT_TRUE(recorder.Closed().empty());
}

TEST_F(LinkCoreApi, AStartOnAPortInUseFailsAndAStartOnAFreePortThenWorks)
{
    DLL_StopTcpServer(port, "127.0.0.1");
    LoopbackClient refused(port);
    EXPECT_FALSE(refused.Connected());

    const int blocker = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = 0;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(::listen(blocker, 1), 0);
    socklen_t length = sizeof(address);
    ::getsockname(blocker, reinterpret_cast<sockaddr*>(&address), &length);
    const int busy = ntohs(address.sin_port);

    EXPECT_FALSE(DLL_StartTcpServer(nullptr, "127.0.0.1", busy, &g_context));
    EXPECT_EQ(StartSever(busy), 0);
    ::close(blocker);

    // Only the low 16 bits of the port count.
    ASSERT_EQ(StartSever(port + 0x10000), 1);
    LoopbackClient client(port);
    ASSERT_TRUE(client.Send("p"));
    EXPECT_EQ(recorder.IdentifierOf("p"), 1);
    EXPECT_EQ(StartSever(port), 0);  // already running
}

// Servers started with small connection limits: 256 KiB unsent, 1 s silent.
class LinkCoreLimits : public LinkCoreApi {
protected:
    void SetUp() override
    {
        DLL_SetConnectionLimits(256 * 1024, 1);
        LinkCoreApi::SetUp();
    }
    void TearDown() override
    {
        LinkCoreApi::TearDown();
        DLL_SetConnectionLimits(4 * 1024 * 1024, 120);
    }
};

TEST_F(LinkCoreLimits, APeerThatNeverReadsIsClosedOnceItsUnsentBytesPassTheLimit)
{
    LoopbackClient client(port);
    ASSERT_TRUE(client.Send("r"));
    const int id = recorder.IdentifierOf("r");
    ASSERT_GT(id, 0);
    const std::string chunk(1024, 'a');
    constexpr std::size_t kBound = 64 * 1024 * 1024;
    std::size_t queued = 0;
    while (queued < kBound && Send(id, chunk)) {
        queued += chunk.size();
    }
    EXPECT_LT(queued, kBound) << "every send was queued";
    EXPECT_TRUE(WaitClosed(id));
    EXPECT_TRUE(client.WaitForEnd());
    EXPECT_FALSE(Send(id, chunk));
}

TEST_F(LinkCoreLimits, AConnectionThatSendsNothingIsClosedAndOneThatSpokeIsKept)
{
    LoopbackClient silent(port, 5);
    LoopbackClient speaking(port);
    ASSERT_TRUE(speaking.Send("s"));
    const int id = recorder.IdentifierOf("s");
    ASSERT_GT(id, 0);
    EXPECT_TRUE(silent.WaitForEnd());
    EXPECT_TRUE(Send(id, "still here"));
    EXPECT_EQ(speaking.Receive(10), "still here");
}

// With every descriptor taken, a connecting peer is accepted on the reserve
// descriptor and reset at once instead of waiting unserved in the backlog.
TEST_F(LinkCoreApi, OutOfDescriptorsAConnectingPeerIsRefusedAtOnceAndServiceResumesAfter)
{
    rlimit original{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &original), 0);
    rlimit low = original;
    low.rlim_cur = std::min<rlim_t>(original.rlim_cur, 512);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(probe, 0);
    timeval timeout{5, 0};
    ::setsockopt(probe, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    std::vector<int> taken;
    for (int fd = ::open("/dev/null", O_RDONLY); fd >= 0; fd = ::open("/dev/null", O_RDONLY)) {
        taken.push_back(fd);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected = ::connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    char byte = 0;
    const ssize_t got = ::recv(probe, &byte, 1, 0);
    const int error = got < 0 ? errno : 0;
    ::close(probe);
    for (int fd : taken) {
        ::close(fd);
    }
    ::setrlimit(RLIMIT_NOFILE, &original);

    EXPECT_TRUE(connected);
    EXPECT_TRUE(got == 0 || error == ECONNRESET) << "the peer waited unserved: " << std::strerror(error);
    LoopbackClient after(port);
    ASSERT_TRUE(after.Send("after"));
    EXPECT_GT(recorder.IdentifierOf("after"), 0);
}

TEST(LinkCoreLifecycle, TheHeaderServesACaller)
{
    EXPECT_EQ(LinkCoreFromC(), 1);
}

TEST(LinkCoreLifecycle, ExportsThatNeedTheManagerRaiseNullPointerWithoutIt)
{
    DLL_LinkCoreInit();
    Release();
    auto raisesNullPointer = [](const std::function<void()>& call) {
        try {
            call();
        } catch (const std::exception& e) {
            return std::string(e.what()) == "Null pointer";
        }
        return false;
    };
    EXPECT_TRUE(raisesNullPointer([] { Release(); }));
    EXPECT_TRUE(raisesNullPointer([] { StartSever(5001); }));
    EXPECT_TRUE(raisesNullPointer([] { StopServer(); }));
    EXPECT_TRUE(raisesNullPointer([] { DLL_StopTcpServer(5001, "127.0.0.1"); }));
    EXPECT_TRUE(raisesNullPointer([] { DLL_StartTcpServer(nullptr, "127.0.0.1", 5001, nullptr); }));
    EXPECT_TRUE(raisesNullPointer([] { CallbackRecorder::Register(); }));
    EXPECT_FALSE(DLL_SendTcpData(1, "MySend", "x", 1, 0, 0));
    DLL_CloseTcpSocket(1);
    DLL_Exit();
    DLL_GetVersion();

    EXPECT_NE(Initilize(), 0);
    EXPECT_EQ(Initilize(), 0);
    EXPECT_TRUE(DLL_LinkCoreInit());
    EXPECT_TRUE(raisesNullPointer([] {
        SetCallbackFuntion(nullptr, &CallbackRecorder::OnClosed, &CallbackRecorder::OnServerClosed);
    }));
    EXPECT_TRUE(raisesNullPointer([] {
        SetCallbackFuntion(&CallbackRecorder::OnData, &CallbackRecorder::OnClosed, nullptr);
    }));

    // Release after a stop leaves nothing running; the library starts afresh.
    CallbackRecorder::Register();
    const std::uint16_t port = FreePort();
    ASSERT_TRUE(DLL_StartTcpServer(nullptr, "127.0.0.1", port, nullptr));
    DLL_Exit();
    Release();
    EXPECT_NE(Initilize(), 0);
    CallbackRecorder::Register();
    ASSERT_TRUE(DLL_StartTcpServer(nullptr, "127.0.0.1", port, nullptr));
    StopServer();
}

}  // namespace
