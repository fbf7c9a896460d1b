// The relay's limits and figures: login and packet time-outs in virtual
// time, the per-address cap, the memory budget and the counters, through a
// transport that keeps what it is sent queued; then the real relay.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "common/src/cbase.h"
#include "common/src/iniparser.h"
#include "lobby/common/relayclient.h"
#include "lobby/server/proxycore.h"
#include "lobby/server/proxyserver.h"
#include "tests/support/waitfor.h"

namespace {

std::mutex g_Mutex;
std::string g_Log;
void Capture(const char* text, const char*) {
    std::lock_guard<std::mutex> guard(g_Mutex);
    g_Log += text;
    g_Log += "\n";
}
int Lines(const std::string& part) {
    std::lock_guard<std::mutex> guard(g_Mutex);
    int n = 0;
    for (size_t at = g_Log.find(part); at != std::string::npos; at = g_Log.find(part, at + 1)) n++;
    return n;
}

std::string Packet(int size, int uid, int type) {
    std::string p(static_cast<size_t>(size > 12 ? size : 12), 'x');
    ProxyHeader_t h = {size, uid, type};
    memcpy(&p[0], &h, sizeof h);
    return p;
}

HConnection Handle(int i) { return reinterpret_cast<HConnection>(static_cast<uintptr_t>(0x1000 + i * 16)); }

// Every byte sent stays queued (and counted) until Drop; nothing drains.
class CQueueingTransport : public IProxyTransport {
public:
    bool Send(HConnection h, const void* data, int length, int, int, int) override {
        sent[h].append(static_cast<const char*>(data), static_cast<size_t>(length));
        queued[h] += length;
        stats.Add(stats.bufferedBytes, length);
        return true;
    }
    void Drop(HConnection h) override {
        dropped[h]++;
        stats.Add(stats.bufferedBytes, -queued[h]);
        queued[h] = 0;
    }
    int64_t QueuedBytes(HConnection h) override { return queued[h]; }
    RelayStats_t stats;
    std::map<HConnection, std::string> sent;
    std::map<HConnection, int64_t> queued;
    std::map<HConnection, int> dropped;
};

class Limits : public ::testing::Test {
protected:
    void SetUp() override {
        g_Log.clear();
        Log_SetCallback(Capture);
        m_hLock = OS_MutexCreate(MT_BINARY);
    }
    void TearDown() override {
        delete m_pCore;
        OS_MutexDestroy(m_hLock);
        Log_SetCallback(nullptr);
    }
    void Build(const ProxyLimits_t& limits) {
        delete m_pCore;
        m_pNet.reset(new CQueueingTransport());
        m_pCore = new CProxyCore(m_pNet.get(), m_hLock, &m_pNet->stats, limits);
    }
    HConnection Connect(int i, const char* address = "10.0.0.1") {
        m_pCore->ClientConnect(Handle(i), address, ("client " + std::to_string(i)).c_str());
        return Handle(i);
    }
    void Feed(HConnection h, std::string bytes) { m_pCore->ClientData(h, &bytes[0], static_cast<int>(bytes.size())); }
    int Register(HConnection h) {
        Feed(h, Packet(16, 0, PH_TYPE_REGISTER));
        int uid;
        memcpy(&uid, &m_pNet->sent[h][m_pNet->sent[h].size() - 12], 4);
        return uid;
    }
    bool Dropped(HConnection h) { return m_pNet->dropped[h] > 0; }
    uint64_t Condemned(int cause) { return m_pNet->stats.condemned[cause].load(); }
    std::unique_ptr<CQueueingTransport> m_pNet;
    HMutex m_hLock = nullptr;
    CProxyCore* m_pCore = nullptr;
};

}  // namespace

// The clock starts at connect; login stops it, an echo does not.
TEST_F(Limits, LoginTimeoutDropsOnlyConnectionsStillLoggedOut) {
    const struct {
        int timeoutMs, advanceMs;
        bool dropped;
    } cases[] = {{60000, 59000, false}, {60000, 60000, true}, {1000, 1000, true}, {0, 3600000, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.timeoutMs + c.advanceMs);
        ProxyLimits_t limits;
        limits.loginTimeoutMs = c.timeoutMs;
        Build(limits);
        HConnection idle = Connect(1), echoer = Connect(2), member = Connect(3);
        Register(member);
        Feed(echoer, Packet(16, 0, PH_TYPE_ECHO));
        OS_TestAdvanceTickCount(c.advanceMs);
        m_pCore->Tick();
        EXPECT_EQ(c.dropped, Dropped(idle));
        EXPECT_EQ(c.dropped, Dropped(echoer));
        EXPECT_FALSE(Dropped(member));
        EXPECT_EQ(c.dropped ? 1 : 0, Lines("Login timeout, disconnecting client 1 after"));
        EXPECT_EQ(c.dropped ? 2u : 0u, Condemned(RELAY_CONDEMN_LOGIN_TIMEOUT));
        EXPECT_EQ(Packet(16, 0, PH_TYPE_ECHO), m_pNet->sent[echoer]);
        m_pCore->Tick();  // condemned clients are not timed out twice
        EXPECT_EQ(c.dropped ? 2u : 0u, Condemned(RELAY_CONDEMN_LOGIN_TIMEOUT));
        g_Log.clear();
    }
}

// Only a packet that stays incomplete for the whole time-out condemns: a
// packet completing starts the clock again for the next one, more bytes of
// the same packet do not.
TEST_F(Limits, PacketTimeoutCondemnsOnlyAPacketThatStaysIncomplete) {
    const std::string whole = Packet(40, 0, PH_TYPE_ECHO);
    const struct {
        const char* name;
        std::string first, second;  // sent at 0 s and at 50 s
        bool dropped;               // at 70 s
    } cases[] = {
        {"stays incomplete", whole.substr(0, 5), "", true},
        {"trickles on", whole.substr(0, 5), whole.substr(5, 10), true},
        {"completes, next begins", whole.substr(0, 30), whole.substr(30) + whole.substr(0, 7), false},
        {"completes", whole.substr(0, 30), whole.substr(30), false},
    };
    ProxyLimits_t limits;
    limits.loginTimeoutMs = 0;
    Build(limits);
    int next = 1;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HConnection h = Connect(next++);
        Feed(h, c.first);
        OS_TestAdvanceTickCount(50000);
        m_pCore->Tick();
        if (!c.second.empty()) Feed(h, c.second);
        OS_TestAdvanceTickCount(20000);
        m_pCore->Tick();
        EXPECT_EQ(c.dropped, Dropped(h));
        EXPECT_EQ(c.dropped ? 1 : 0, Lines("Packet timeout, disconnecting " + std::string("client ") +
                                           std::to_string(next - 1)));
        m_pCore->ClientDisconnect(h);
    }
    EXPECT_EQ(2u, Condemned(RELAY_CONDEMN_PACKET_TIMEOUT));
}

TEST_F(Limits, ConnectionsPastTheCapPerAddressAreRefusedWithOneLinePerBurst) {
    ProxyLimits_t limits;
    limits.maxClientsPerAddress = 2;
    Build(limits);
    const char* const line = "Refusing connections from 10.0.0.1 beyond MaxClientsPerAddress 2";
    HConnection a = Connect(1), b = Connect(2);
    for (int i = 3; i < 10; i++) EXPECT_TRUE(Dropped(Connect(i))) << i;
    EXPECT_FALSE(Dropped(Connect(10, "10.0.0.2")));
    EXPECT_FALSE(Dropped(Connect(11, "")));  // no address: never capped
    EXPECT_FALSE(Dropped(a) || Dropped(b));
    EXPECT_EQ(1, Lines(line));
    OS_TestAdvanceTickCount(kProxyRefusalBurstMs);
    EXPECT_TRUE(Dropped(Connect(12)));
    EXPECT_EQ(2, Lines(line));  // a new burst
    m_pCore->ClientDisconnect(Handle(5));  // a refused one frees no place
    EXPECT_TRUE(Dropped(Connect(13)));
    m_pCore->ClientDisconnect(a);
    EXPECT_FALSE(Dropped(Connect(14)));
    EXPECT_EQ(9u, m_pNet->stats.refusedPerAddress.load());
    EXPECT_EQ(2, Lines(line));
}

// Input held by the relay and queues held by the transport count alike;
// whoever holds the most goes first, and the total never passes the budget.
TEST_F(Limits, MemoryBudgetDropsTheBiggestHolderFirst) {
    ProxyLimits_t limits;
    limits.maxMemory = 10000;
    Build(limits);
    HConnection hoarder = Connect(1), reader = Connect(2), sender = Connect(3);
    int uidReader = Register(reader);
    Register(sender);
    Feed(hoarder, Packet(9000, 0, PH_TYPE_ECHO).substr(0, 5000));  // 5000 bytes of input
    Feed(sender, Packet(3000, uidReader, 1));                      // 3000 + 16 queued for the reader
    EXPECT_EQ(8032, m_pNet->stats.bufferedBytes.load());
    EXPECT_FALSE(Dropped(hoarder) || Dropped(reader) || Dropped(sender));
    Feed(sender, Packet(2500, uidReader, 1));  // would pass 10000
    EXPECT_TRUE(Dropped(hoarder));
    EXPECT_FALSE(Dropped(reader) || Dropped(sender));
    EXPECT_EQ(1, Lines("Memory budget of 10000 bytes reached, disconnecting client 1 holding 5000 bytes"));
    EXPECT_EQ(5532, m_pNet->stats.bufferedBytes.load());
    Feed(sender, Packet(6000, uidReader, 1));  // now the reader holds the most
    EXPECT_TRUE(Dropped(reader));
    EXPECT_EQ(1u + 1u, Condemned(RELAY_CONDEMN_MEMORY_BUDGET));
    EXPECT_LE(m_pNet->stats.bufferedBytes.load(), 10000);
    Feed(sender, Packet(20000, 0, PH_TYPE_ECHO));  // alone, it passes the budget: it goes
    EXPECT_TRUE(Dropped(sender));
    EXPECT_LE(m_pNet->stats.bufferedBytes.load(), 10000);
}

TEST_F(Limits, FiguresMatchTheTraffic) {
    Build(ProxyLimits_t());
    m_pCore->SetKey(500, 42);
    HConnection a = Connect(1), b = Connect(2), c = Connect(3), d = Connect(4), e = Connect(5);
    ProxyAuth_t right = {{16, 500, PH_TYPE_AUTH}, 42}, wrong = {{16, 500, PH_TYPE_AUTH}, 41};
    Feed(b, std::string(reinterpret_cast<char*>(&wrong), 16));
    Feed(b, Packet(20, 500, PH_TYPE_AUTH));  // malformed
    Feed(b, std::string(reinterpret_cast<char*>(&right), 16));
    Register(a);
    Feed(c, Packet(12, 500, 1));  // not logged in
    Feed(a, Packet(100, 500, 1) + Packet(50, 500, 1) + Packet(30, 999, 1) + Packet(16, 0, PH_TYPE_ECHO) +
                Packet(20, 500, 1) + Packet(7, 0, 0));  // the last: a bad size
    Feed(d, Packet(100, 0, PH_TYPE_ECHO).substr(0, 10));
    std::string huge = Packet(12, 0, 1);
    const int hugeSize = 2000000;
    memcpy(&huge[0], &hugeSize, 4);
    Feed(e, huge + std::string(100, 'y'));  // a size beyond any packet is waited for
    Feed(e, std::string(kProxyMaxInput - 100, 'z'));          // until the input passes 1 MiB
    const RelayStats_t& s = m_pNet->stats;
    EXPECT_EQ(0u, s.packetsRelayed.load());  // published by the tick
    m_pCore->Tick();
    const struct {
        const char* name;
        int64_t got, want;
    } figures[] = {
        {"connections open", s.connectionsOpen, 5},
        {"logged in", s.clientsLoggedIn, 1},  // a was condemned
        {"registrations", static_cast<int64_t>(s.registrations), 1},
        {"authentications", static_cast<int64_t>(s.authentications), 1},
        {"failures", static_cast<int64_t>(s.authenticationFailures), 2},
        {"packets relayed", static_cast<int64_t>(s.packetsRelayed), 3},
        {"bytes relayed", static_cast<int64_t>(s.bytesRelayed), 170},
        {"echoes", static_cast<int64_t>(s.echoes), 1},
        {"unknown destination", static_cast<int64_t>(s.dropped[RELAY_DROP_UNKNOWN_DESTINATION]), 1},
        {"not logged in", static_cast<int64_t>(s.dropped[RELAY_DROP_NOT_LOGGED_IN]), 1},
        {"bad header size", static_cast<int64_t>(s.condemned[RELAY_CONDEMN_BAD_HEADER_SIZE]), 1},
        {"buffer overflow", static_cast<int64_t>(s.condemned[RELAY_CONDEMN_BUFFER_OVERFLOW]), 1},
        // d's 10 bytes of input, plus what the transport holds queued
        {"buffered", s.bufferedBytes, 10 + m_pNet->queued[a] + m_pNet->queued[b]},
    };
    for (const auto& f : figures) EXPECT_EQ(f.want, f.got) << f.name;
    for (int i = 1; i <= 5; i++) m_pCore->ClientDisconnect(Handle(i));
    EXPECT_EQ(0, s.connectionsOpen.load());
    EXPECT_EQ(0, s.clientsLoggedIn.load());
    EXPECT_EQ(m_pNet->queued[a] + m_pNet->queued[b], s.bufferedBytes.load());  // only queues are left
}

// The real relay: its own thread ticks, the connection manager's queues
// count, and virtual time ends a logged-out client while echoes still work.
TEST(RelayInProcessLimits, LoginTimeoutInVirtualTimeWhileEchoesWork) {
    g_INI.RemoveAll();
    g_INI["ProxyServer"]["Port"] = "0";
    CProxyServer* pRelay = new CProxyServer(nullptr);
    ASSERT_TRUE(pRelay->Start());
    const RelayStats_t& s = pRelay->GetStats();
    EXPECT_TRUE(s.listening.load());
    CRelayClient idle, member;
    ASSERT_TRUE(idle.Connect("127.0.0.1", pRelay->GetPort(), 5000));
    ASSERT_TRUE(member.Connect("127.0.0.1", pRelay->GetPort(), 5000));
    EXPECT_GT(member.Register(5000), 0);
    OS_TestAdvanceTickCount(59000);
    ASSERT_TRUE(idle.SendPacket(0, PH_TYPE_ECHO, "ping", 4));
    CBuffer reply;
    ASSERT_TRUE(idle.ReadPacket(reply, 5000));
    EXPECT_EQ(16, reply.Length());
    EXPECT_TRUE(WaitFor([&] { return s.echoes.load() == 1; }, 5000));
    OS_TestAdvanceTickCount(1000);
    EXPECT_TRUE(idle.WaitClosed(5000));
    EXPECT_TRUE(WaitFor([&] { return s.connectionsOpen.load() == 1; }, 5000));
    EXPECT_EQ(1u, s.condemned[RELAY_CONDEMN_LOGIN_TIMEOUT].load());
    EXPECT_EQ(1, s.clientsLoggedIn.load());
    ASSERT_TRUE(member.SendPacket(0, PH_TYPE_ECHO, "still", 5));
    ASSERT_TRUE(member.ReadPacket(reply, 5000));
    delete pRelay;
    g_INI.RemoveAll();
}
