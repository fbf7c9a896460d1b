// The relay in process: the embedded setting over real sockets, and its
// packet rules through a recording transport.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <mutex>
#include <thread>

#include "common/src/cbase.h"
#include "common/src/iniparser.h"
#include "lobby/common/relayclient.h"
#include "tests/support/process.h"
#include "tests/support/relayharness.h"

namespace {

const int kWait = 5000;

std::mutex g_LogMutex;
std::string g_Log;
void CaptureLog(const char* text, const char*) {
    std::lock_guard<std::mutex> guard(g_LogMutex);
    g_Log += text;
    g_Log += "\n";
    fprintf(stderr, "%s\n", text);
}
std::string Logged() {
    std::lock_guard<std::mutex> guard(g_LogMutex);
    return g_Log;
}
void ClearLog() {
    std::lock_guard<std::mutex> guard(g_LogMutex);
    g_Log.clear();
}
// How many logged lines are exactly line.
int LinesEqual(const std::string& line) {
    std::string log = Logged();
    int count = 0;
    for (size_t at = 0, end; (end = log.find('\n', at)) != std::string::npos; at = end + 1) {
        if (log.compare(at, end - at, line) == 0) count++;
    }
    return count;
}

std::string Packet(int size, int uid, int type, char fill = 'x') {
    std::string p(static_cast<size_t>(size > 12 ? size : 12), fill);
    ProxyHeader_t h = {size, uid, type};
    memcpy(&p[0], &h, sizeof h);
    return p;
}

std::string AuthReply() {
    ProxyAuth_t r = {{16, 0, PH_TYPE_AUTH}, 0};
    return std::string(reinterpret_cast<char*>(&r), 16);
}

std::string RegisterReply(int uid) {
    ProxyAuth_t r = {{16, uid, PH_TYPE_REGISTER}, 0};
    return std::string(reinterpret_cast<char*>(&r), 16);
}

class Harness : public ::testing::Test {
protected:
    void SetUp() override {
        g_INI.RemoveAll();
        g_Log.clear();
        Log_SetCallback(CaptureLog);
        m_pRelay = new CHarnessRelay(&m_Host);
    }
    void TearDown() override {
        delete m_pRelay;
        g_INI.RemoveAll();
    }
    HConnection Connect(int i) {
        HConnection h = CHarnessRelay::Handle(i);
        m_pRelay->ClientConnect(h);
        return h;
    }
    void Feed(HConnection h, std::string bytes) { m_pRelay->ClientData(h, &bytes[0], static_cast<int>(bytes.size())); }
    int Register(HConnection h) {
        Feed(h, Packet(16, 0, PH_TYPE_REGISTER));
        std::string reply = m_pRelay->SentTo(h);
        if (reply.size() < 16) return 0;
        int uid;
        memcpy(&uid, &reply[reply.size() - 12], 4);
        return uid;
    }
    CLobbyServer m_Host;
    CHarnessRelay* m_pRelay = nullptr;
};

}  // namespace

TEST_F(Harness, RegistrationCounterStartsOverAfterTheLargestIdSkippingHeldIds) {
    HConnection a = Connect(1), b = Connect(2), c = Connect(3), d = Connect(4);
    EXPECT_EQ(1073741824, Register(a));  // keeps 2^30 while logged in
    m_pRelay->SetNextUserID(INT_MAX);
    EXPECT_EQ(INT_MAX, Register(b));
    EXPECT_EQ(1073741825, Register(c));  // 2^30 is held: skipped
    m_pRelay->ClientDisconnect(a, true, 0x10000001);
    m_pRelay->SetNextUserID(1073741824);
    EXPECT_EQ(1073741824, Register(d));  // free again
}

TEST_F(Harness, RegistrationNeverHandsOutAnAuthenticatedId) {
    m_pRelay->SetKey(1073741824, 9);
    HConnection a = Connect(1), b = Connect(2);
    ProxyAuth_t auth = {{16, 1073741824, PH_TYPE_AUTH}, 9};
    Feed(a, std::string(reinterpret_cast<char*>(&auth), 16));
    EXPECT_EQ(AuthReply(), m_pRelay->SentTo(a));
    EXPECT_EQ(1073741825, Register(b));
}

TEST_F(Harness, AuthenticationRules) {
    m_pRelay->SetKey(500, 42);
    HConnection a = Connect(1);
    ProxyAuth_t wrong = {{16, 500, PH_TYPE_AUTH}, 41};
    Feed(a, std::string(reinterpret_cast<char*>(&wrong), 16));
    EXPECT_EQ("", m_pRelay->SentTo(a));
    EXPECT_NE(std::string::npos, Logged().find("CProxyServer: Proxy auth failed for 500"));
    Feed(a, Packet(20, 500, PH_TYPE_AUTH));
    EXPECT_NE(std::string::npos, Logged().find("CProxyServer: Malformed auth request"));
    ProxyAuth_t right = {{16, 500, PH_TYPE_AUTH}, 42};
    Feed(a, std::string(reinterpret_cast<char*>(&right), 16));
    EXPECT_EQ(AuthReply(), m_pRelay->SentTo(a));
    EXPECT_NE(std::string::npos, Logged().find("CProxyServer: Proxy auth success for 500"));
    Feed(a, std::string(reinterpret_cast<char*>(&right), 16));
    EXPECT_NE(std::string::npos, Logged().find("CProxyServer: Ignoring duplicate auth request"));
    EXPECT_EQ(AuthReply(), m_pRelay->SentTo(a));  // no second reply
    // A removed key no longer logs anybody in.
    m_pRelay->RemoveKey(500);
    HConnection b = Connect(2);
    Feed(b, std::string(reinterpret_cast<char*>(&right), 16));
    EXPECT_EQ("", m_pRelay->SentTo(b));
}

TEST_F(Harness, SecondLoginForAnIdBootsTheFirstAndTakesItsTraffic) {
    m_pRelay->SetKey(500, 42);
    ProxyAuth_t right = {{16, 500, PH_TYPE_AUTH}, 42};
    std::string auth(reinterpret_cast<char*>(&right), 16);
    HConnection first = Connect(1), second = Connect(2), sender = Connect(3);
    Feed(first, auth);
    int uidSender = Register(sender);
    Feed(second, auth);
    EXPECT_TRUE(m_pRelay->WasDropped(first));
    EXPECT_FALSE(m_pRelay->WasDropped(second));
    EXPECT_NE(std::string::npos, Logged().find("CProxyServer: Booting duplicate"));
    m_pRelay->Clear();
    Feed(sender, Packet(20, 500, 1, 'd'));
    std::string got = m_pRelay->SentTo(second);
    ASSERT_EQ(20u, got.size());
    int uid;
    memcpy(&uid, &got[4], 4);
    EXPECT_EQ(uidSender, uid);
    EXPECT_EQ("", m_pRelay->SentTo(first));
    // The booted record's data is discarded until its disconnect arrives.
    Feed(first, Packet(16, 0, PH_TYPE_ECHO));
    EXPECT_EQ("", m_pRelay->SentTo(first));
}

// The transport refuses a send past the hard bound, or past the soft one
// once the queue has not fallen back in time; the relay then drops only
// that destination.
TEST_F(Harness, RefusedSendDropsOnlyThatDestination) {
    const struct {
        int queued;
        bool stalled;
        bool dropped;
    } cases[] = {
        {kProxyDefaultMaxQueue - 10, false, false},     // above the level, still in its grace
        {4 * kProxyDefaultMaxQueue - 10, false, true},  // past the hard bound at once
        {kProxyDefaultMaxQueue - 10, true, true},       // above the level past the grace
        {kProxyDefaultMaxQueue - 16, true, false},      // falls to the level exactly
    };
    int next = 1;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.queued);
        HConnection a = Connect(next++), b = Connect(next++);
        Register(b);
        m_pRelay->Clear();
        m_pRelay->m_Queued = c.queued;
        m_pRelay->m_bStalled = c.stalled;
        Feed(a, Packet(16, 0, PH_TYPE_ECHO));
        EXPECT_EQ(c.dropped, m_pRelay->WasDropped(a));
        EXPECT_EQ(c.dropped, LinesEqual("CProxyServer: Send queue overflow for 0") == 1);
        EXPECT_EQ(kProxyDefaultMaxQueue, m_pRelay->m_SoftCap);
        EXPECT_EQ(4 * kProxyDefaultMaxQueue, m_pRelay->m_HardCap);
        EXPECT_EQ(2000, m_pRelay->m_GraceMs);
        m_pRelay->m_Queued = 0;
        m_pRelay->m_bStalled = false;
        Feed(b, Packet(16, 0, PH_TYPE_ECHO));
        EXPECT_EQ(Packet(16, 0, PH_TYPE_ECHO), m_pRelay->SentTo(b).substr(m_pRelay->SentTo(b).size() - 16));
        EXPECT_FALSE(m_pRelay->WasDropped(b));
        ClearLog();
    }
}

TEST_F(Harness, CondemnedClientIsInvisibleToLookups) {
    HConnection a = Connect(1), b = Connect(2);
    int uidA = Register(a);
    Register(b);
    m_pRelay->Lock();
    EXPECT_NE(nullptr, m_pRelay->FindClient(uidA));
    m_pRelay->UnLock();
    std::string bad = Packet(12, 0, PH_TYPE_ECHO);
    int size = 11;
    memcpy(&bad[0], &size, 4);
    Feed(a, bad);
    EXPECT_TRUE(m_pRelay->WasDropped(a));
    m_pRelay->Lock();
    EXPECT_EQ(nullptr, m_pRelay->FindClient(uidA));
    m_pRelay->UnLock();
    m_pRelay->Clear();
    Feed(b, Packet(16, uidA, 1));
    EXPECT_EQ("", m_pRelay->SentTo(a));
    m_pRelay->ClientDisconnect(a, true, 0x10000001);
    EXPECT_EQ(1, m_pRelay->GetClientCount());
}

// Data packets that follow each other to one destination leave in one send;
// anything else in between ends the run, and every packet keeps its place.
TEST_F(Harness, PacketsInARowToOneDestinationLeaveInOneSendInOrder) {
    HConnection a = Connect(1), b = Connect(2), c = Connect(3);
    int uidA = Register(a), uidB = Register(b), uidC = Register(c);
    m_pRelay->Clear();
    auto from = [&](std::string p) {  // p as its destination gets it
        memcpy(&p[4], &uidA, 4);
        return p;
    };
    const std::string b1 = Packet(20, uidB, 1, '1'), b2 = Packet(30, uidB, 1, '2'), b3 = Packet(13, uidB, 7, '3');
    const std::string c1 = Packet(40, uidC, 1, '4'), echo = Packet(16, 0, PH_TYPE_ECHO, 'e');
    const std::string nobody = Packet(25, 12345, 1, 'n');
    Feed(a, b1 + b2 + echo + b3 + nobody + c1 + b1 + b2);
    EXPECT_EQ(from(b1) + from(b2) + from(b3) + from(b1) + from(b2), m_pRelay->SentTo(b));
    EXPECT_EQ(from(c1), m_pRelay->SentTo(c));
    EXPECT_EQ(echo, m_pRelay->SentTo(a));
    // b1+b2 | echo | b3 | c1 | b1+b2: five sends, not eight.
    EXPECT_EQ(5u, m_pRelay->m_Sent.size());
}

TEST_F(Harness, ByteAtATimeDeliveryGivesTheSameResult) {
    HConnection a = Connect(1);
    std::string stream = Packet(16, 0, PH_TYPE_REGISTER) + Packet(30, 0, PH_TYPE_ECHO, 'e') + Packet(13, 0, PH_TYPE_ECHO, 'f');
    for (char c : stream) Feed(a, std::string(1, c));
    EXPECT_EQ(RegisterReply(1073741824) + Packet(30, 0, PH_TYPE_ECHO, 'e') + Packet(13, 0, PH_TYPE_ECHO, 'f'),
              m_pRelay->SentTo(a));
}

TEST_F(Harness, MaxQueueComesFromTheConfiguration) {
    delete m_pRelay;
    g_INI["ProxyServer"]["MaxQueue"] = "1000";
    g_INI["ProxyServer"]["MaxQueueGrace"] = "250";
    m_pRelay = new CHarnessRelay(&m_Host);
    HConnection a = Connect(1);
    m_pRelay->m_Queued = 4 * 1000 - 10;
    Feed(a, Packet(16, 0, PH_TYPE_ECHO));
    EXPECT_TRUE(m_pRelay->WasDropped(a));
    EXPECT_EQ(1000, m_pRelay->m_SoftCap);
    EXPECT_EQ(250, m_pRelay->m_GraceMs);
}

// Each kind of line a client's packets can cause is written at most once a
// second for that client; the next one says how many it stands for, and the
// client's disconnect accounts for the rest.
TEST_F(Harness, PerPacketLogLinesAreLimitedPerClientAndSecond) {
    m_pRelay->SetKey(500, 42);
    ProxyAuth_t wrong = {{16, 500, PH_TYPE_AUTH}, 41};
    const std::string badKey(reinterpret_cast<char*>(&wrong), 16);
    const struct {
        const char* line;
        std::string packet;
        bool loggedIn;
    } cases[] = {
        {"CProxyServer: PH_TYPE_DATA when used not logged in", Packet(12, 7, 1), false},
        {"CProxyServer: Malformed auth request", Packet(20, 500, PH_TYPE_AUTH), false},
        {"CProxyServer: Proxy auth failed for 500", badKey, false},
        {"CProxyServer: Ignoring duplicate auth request", badKey, true},
    };
    int next = 1;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        HConnection flooder = Connect(next++), bystander = Connect(next++);
        if (c.loggedIn) {
            Register(flooder);
            Register(bystander);
        }
        std::string flood;
        for (int i = 0; i < 1000; i++) flood += c.packet;
        Feed(flooder, flood);
        Feed(bystander, c.packet);  // its own share
        EXPECT_EQ(2, LinesEqual(c.line));
        OS_TestAdvanceTickCount(1000);
        Feed(flooder, c.packet);
        EXPECT_EQ(1, LinesEqual(std::string(c.line) + " (999 more)"));
        Feed(flooder, c.packet + c.packet);
        m_pRelay->ClientDisconnect(flooder, true, 0x10000001);
        EXPECT_EQ(1, LinesEqual("CProxyServer: 2 repeated lines of this client were not logged"));
        m_pRelay->ClientDisconnect(bystander, true, 0x10000001);
        EXPECT_EQ(1, LinesEqual("CProxyServer: 2 repeated lines of this client were not logged"));
        ClearLog();
    }
}

using HarnessDeathTest = Harness;

TEST_F(HarnessDeathTest, DataForAConnectionNeverAnnouncedIsFatal) {
    EXPECT_DEATH(Feed(CHarnessRelay::Handle(99), Packet(16, 0, PH_TYPE_ECHO)),
                 "Debug assert failed on line [0-9]+ of lobby/server/proxycore.cpp");
}

#ifndef NDEBUG
// The packet rules run under the relay's mutex; debug builds check it.
TEST_F(HarnessDeathTest, PacketRulesWithoutTheRelaysMutexAreFatal) {
    EXPECT_DEATH(m_pRelay->FindClient(1), "a required lock is not held");
}
#endif

// The embedded setting over real sockets: the host pumps DispatchNAT.
class RelayEmbeddedThreads : public ::testing::Test {
protected:
    void TearDown() override {
        StopPump();
        delete m_pRelay;
        g_INI.RemoveAll();
    }
    void StartRelay() {
        m_pRelay = new CProxyServer(&m_Host);
        ASSERT_TRUE(m_pRelay->Start());
        m_Pump = std::thread([this] {
            while (!m_Stop) {
                m_pRelay->DispatchNAT();
                usleep(5000);
            }
        });
    }
    void StopPump() {
        m_Stop = true;
        if (m_Pump.joinable()) m_Pump.join();
    }
    CLobbyServer m_Host;
    CProxyServer* m_pRelay = nullptr;
    std::thread m_Pump;
    std::atomic<bool> m_Stop{false};
};

TEST_F(RelayEmbeddedThreads, PortBaseTriesConsecutivePorts) {
    // Hold the base port so the relay must move on.
    int base = 0;
    int blocker = ListenOnFreePort(&base);
    ASSERT_GE(blocker, 0);
    if (base > 64000) {
        close(blocker);
        GTEST_SKIP() << "system chose a port too near the top";
    }
    g_INI["Lobby"]["PortBase"] = ToString(base);
    StartRelay();
    EXPECT_GT(m_pRelay->GetPort(), base);
    EXPECT_LT(m_pRelay->GetPort(), base + 1000);
    close(blocker);
}

TEST_F(RelayEmbeddedThreads, KeysLogClientsInAndDuplicatesAreBooted) {
    StartRelay();
    ASSERT_GT(m_pRelay->GetPort(), 0);
    m_pRelay->SetKey(777, 31337);
    CRelayClient first, second, sender;
    ASSERT_TRUE(first.Connect("127.0.0.1", m_pRelay->GetPort(), kWait));
    ASSERT_TRUE(second.Connect("localhost", m_pRelay->GetPort(), kWait));
    ASSERT_TRUE(sender.Connect("127.0.0.1", m_pRelay->GetPort(), kWait));
    ProxyAuth_t auth = {{16, 777, PH_TYPE_AUTH}, 31337};
    CBuffer reply;
    ASSERT_TRUE(first.SendAll(&auth, 16));
    ASSERT_TRUE(first.ReadPacket(reply, kWait));
    EXPECT_EQ(AuthReply(), std::string(static_cast<char*>(reply.Data()), 16));
    int uidSender = sender.Register(kWait);
    ASSERT_TRUE(second.SendAll(&auth, 16));
    ASSERT_TRUE(second.ReadPacket(reply, kWait));
    EXPECT_TRUE(first.WaitClosed(kWait));
    ASSERT_TRUE(sender.SendPacket(777, 3, "to 777", 6));
    ASSERT_TRUE(second.ReadPacket(reply, kWait));
    ProxyHeader_t h;
    memcpy(&h, reply.Data(), sizeof h);
    EXPECT_EQ(uidSender, h.uid);
}
