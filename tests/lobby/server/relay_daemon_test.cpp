// The relay end to end: the daemon binary over real loopback sockets.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <regex>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "lobby/common/relayclient.h"
#include "tests/support/process.h"
#include "tests/support/waitfor.h"

namespace {

const int kWait = 5000;

std::string Bytes(const CBuffer& b) { return std::string(static_cast<const char*>(b.Data()), static_cast<size_t>(b.Length())); }

std::string Packet(int size, int uid, int type, char fill = 'x') {
    std::string p(static_cast<size_t>(size > 12 ? size : 12), fill);
    ProxyHeader_t h = {size, uid, type};
    memcpy(&p[0], &h, sizeof h);
    return p;
}

ProxyHeader_t HeaderOf(const CBuffer& b) {
    ProxyHeader_t h;
    memcpy(&h, b.Data(), sizeof h);
    return h;
}

// One daemon per test, in its own directory, on a port the system chose.
class Relay : public ::testing::Test {
protected:
    void SetUp() override { Start(Config()); }
    virtual std::string Config() const { return "[ProxyServer]\nPort = 0\n"; }
    void TearDown() override {
        if (m_Process.Pid() > 0) {
            m_Process.Signal(SIGINT);
            EXPECT_EQ(0, m_Process.WaitExit(10000)) << Log();
        }
        RemoveTree(m_Dir);
    }
    void Start(const std::string& config) {
        m_Dir = MakeTempDir();
        WriteFile(m_Dir + "/natbridged.ini", config);
        ASSERT_TRUE(m_Process.Start(NB_DAEMON_PATH, m_Dir));
        ASSERT_TRUE(WaitForLog("Proxy Server Port= ")) << m_Process.Output();
        std::string log = Log();
        m_Port = atoi(log.c_str() + log.find("Proxy Server Port= ") + 19);
        ASSERT_GT(m_Port, 0);
        ASSERT_TRUE(m_Process.WaitUntilCatching(SIGINT, 10000));
    }
    std::string Log() const { return ReadFile(m_Dir + "/logs/natbridge(0).txt"); }
    bool WaitForLog(const std::string& text, int count = 1) {
        for (int i = 0; i < 1000; i++) {
            std::string log = Log();
            int seen = 0;
            for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) seen++;
            if (seen >= count) return true;
            usleep(10000);
        }
        return false;
    }
    void Connect(CRelayClient& c) { ASSERT_TRUE(c.Connect("127.0.0.1", m_Port, kWait)); }
    // Echo round trip: everything sent before it has been handled.
    void Sync(CRelayClient& c) {
        ASSERT_TRUE(c.SendPacket(0, PH_TYPE_ECHO, "sync", 4));
        CBuffer reply;
        ASSERT_TRUE(c.ReadPacket(reply, kWait));
        ASSERT_EQ(PH_TYPE_ECHO, HeaderOf(reply).type);
    }
    // True when nothing arrives within ms.
    bool Quiet(CRelayClient& c, int ms) {
        CBuffer reply;
        return !c.ReadPacket(reply, ms);
    }

    std::string m_Dir;
    CTestProcess m_Process;
    int m_Port = 0;
};

// The same with a small cap on each client's send queue.
class RelaySmallQueue : public Relay {
protected:
    std::string Config() const override { return "[ProxyServer]\nPort = 0\nMaxQueue = 262144\n"; }
};

// A small level for the queue rule, and a short grace.
class RelayShortGrace : public Relay {
protected:
    std::string Config() const override { return "[ProxyServer]\nPort = 0\nMaxQueue = 262144\nMaxQueueGrace = 200\n"; }
};

}  // namespace

TEST_F(Relay, RegistrationHandsOutIdsFromTwoToTheThirty) {
    CRelayClient a, b;
    Connect(a);
    Connect(b);
    ASSERT_TRUE(a.SendPacket(0, PH_TYPE_REGISTER, "\0\0\0\0", 4));
    CBuffer reply;
    ASSERT_TRUE(a.ReadPacket(reply, kWait));
    ProxyAuth_t expected = {{16, 1073741824, 100}, 0};
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&expected), 16), Bytes(reply));
    EXPECT_EQ(1073741825, b.Register(kWait));
    // A second registration on a logged-in connection gets no reply and no id.
    ASSERT_TRUE(a.SendPacket(0, PH_TYPE_REGISTER, "\0\0\0\0", 4));
    EXPECT_TRUE(Quiet(a, 200));
    CRelayClient c;
    Connect(c);
    EXPECT_EQ(1073741826, c.Register(kWait));
}

TEST_F(Relay, EchoBeforeLoginComesBackByteForByte) {
    CRelayClient a;
    Connect(a);
    std::string echo = Packet(300, 12345, PH_TYPE_ECHO, 'e');
    for (int i = 12; i < 300; i++) echo[i] = static_cast<char>(i * 7);
    ASSERT_TRUE(a.SendAll(echo.data(), 300));
    CBuffer reply;
    ASSERT_TRUE(a.ReadPacket(reply, kWait));
    EXPECT_EQ(echo, Bytes(reply));
}

TEST_F(Relay, DataIsRelayedWithTheSendersId) {
    CRelayClient a, b;
    Connect(a);
    Connect(b);
    int uidA = a.Register(kWait), uidB = b.Register(kWait);
    std::string payload = "hello through the relay";
    ASSERT_TRUE(a.SendPacket(uidB, 7, payload.data(), static_cast<int>(payload.size())));
    CBuffer got;
    ASSERT_TRUE(b.ReadPacket(got, kWait));
    ProxyHeader_t h = HeaderOf(got);
    EXPECT_EQ(12 + static_cast<int>(payload.size()), h.size);
    EXPECT_EQ(uidA, h.uid);
    EXPECT_EQ(7, h.type);
    EXPECT_EQ(payload, Bytes(got).substr(12));
    // A client may address itself.
    ASSERT_TRUE(b.SendPacket(uidB, 1, "me", 2));
    ASSERT_TRUE(b.ReadPacket(got, kWait));
    EXPECT_EQ(uidB, HeaderOf(got).uid);
}

TEST_F(Relay, UnknownDestinationIsDroppedSilently) {
    CRelayClient a;
    Connect(a);
    a.Register(kWait);
    ASSERT_TRUE(a.SendPacket(5, 1, "lost", 4));
    Sync(a);
    EXPECT_EQ(std::string::npos, Log().find("CProxyServer: PH_TYPE_DATA"));
}

TEST_F(Relay, DataBeforeLoginIsLoggedAndDropped) {
    CRelayClient a, b;
    Connect(a);
    Connect(b);
    int uidB = b.Register(kWait);
    ASSERT_TRUE(a.SendPacket(uidB, 1, "early", 5));
    Sync(a);
    EXPECT_TRUE(WaitForLog("CProxyServer: PH_TYPE_DATA when used not logged in"));
    EXPECT_TRUE(Quiet(b, 200));
    EXPECT_TRUE(a.IsOpen());
}

TEST_F(Relay, HeaderSplitOverReceivesIsHandledWhenComplete) {
    CRelayClient a;
    Connect(a);
    std::string echo = Packet(40, 0, PH_TYPE_ECHO, 's');
    ASSERT_TRUE(a.SendAll(echo.data(), 5));
    EXPECT_TRUE(Quiet(a, 150));
    ASSERT_TRUE(a.SendAll(echo.data() + 5, 20));
    EXPECT_TRUE(Quiet(a, 150));
    ASSERT_TRUE(a.SendAll(echo.data() + 25, 15));
    CBuffer reply;
    ASSERT_TRUE(a.ReadPacket(reply, kWait));
    EXPECT_EQ(echo, Bytes(reply));
}

TEST_F(Relay, SeveralPacketsInOneSendAreHandledInOrder) {
    CRelayClient a;
    Connect(a);
    std::string burst;
    for (int i = 0; i < 5; i++) burst += Packet(12 + i, 0, PH_TYPE_ECHO, static_cast<char>('a' + i));
    std::string tail = Packet(20, 0, PH_TYPE_ECHO, 't');
    burst += tail.substr(0, 7);  // a partial packet stays buffered
    ASSERT_TRUE(a.SendAll(burst.data(), static_cast<int>(burst.size())));
    CBuffer reply;
    for (int i = 0; i < 5; i++) {
        ASSERT_TRUE(a.ReadPacket(reply, kWait));
        EXPECT_EQ(Packet(12 + i, 0, PH_TYPE_ECHO, static_cast<char>('a' + i)), Bytes(reply));
    }
    EXPECT_TRUE(Quiet(a, 150));
    ASSERT_TRUE(a.SendAll(tail.data() + 7, 13));
    ASSERT_TRUE(a.ReadPacket(reply, kWait));
    EXPECT_EQ(tail, Bytes(reply));
}

TEST_F(Relay, SizeBelowTheHeaderOrNegativeCondemnsTheConnection) {
    for (int size : {11, -5, 0}) {
        CRelayClient a, bystander;
        Connect(a);
        Connect(bystander);
        std::string bad = Packet(12, 0, PH_TYPE_ECHO);
        memcpy(&bad[0], &size, 4);
        ASSERT_TRUE(a.SendAll(bad.data(), 12));
        EXPECT_TRUE(a.WaitClosed(kWait)) << "size " << size;
        Sync(bystander);  // the relay serves on
    }
    EXPECT_TRUE(WaitForLog("CProxyServer: Invalid header sized", 3));
}

TEST_F(Relay, LargestPacketIsRelayed) {
    CRelayClient a, b;
    Connect(a);
    Connect(b);
    int uidB = b.Register(kWait);
    a.Register(kWait);
    std::string big = Packet(1048575, uidB, 1, 'L');
    for (size_t i = 12; i < big.size(); i += 997) big[i] = static_cast<char>(i);
    ASSERT_TRUE(a.SendAll(big.data(), static_cast<int>(big.size())));
    CBuffer got;
    ASSERT_TRUE(b.ReadPacket(got, kWait));
    ASSERT_EQ(1048575, got.Length());
    EXPECT_EQ(big.substr(12), Bytes(got).substr(12));
}

TEST_F(Relay, OversizedAnnouncementIsCondemnedWhenTheBufferPassesOneMebibyte) {
    CRelayClient a;
    Connect(a);
    std::string head = Packet(12, 0, PH_TYPE_ECHO);
    int size = 2000000;
    memcpy(&head[0], &size, 4);
    std::string filler(1100000, 'f');
    ASSERT_TRUE(a.SendAll(head.data(), 12));
    a.SendAll(filler.data(), static_cast<int>(filler.size()));
    EXPECT_TRUE(a.WaitClosed(kWait));
    EXPECT_TRUE(WaitForLog("CProxyServer: buffer overflow."));
    EXPECT_EQ(std::string::npos, Log().find("CProxyServer: Invalid header sized"));
}

TEST_F(Relay, OneReceiveCrossingBothMarksLogsBothMessages) {
    CRelayClient a;
    Connect(a);
    std::string head = Packet(12, 0, PH_TYPE_ECHO);
    int size = 1048576;
    memcpy(&head[0], &size, 4);
    std::string first(1048000 - 12, 'f');
    ASSERT_TRUE(a.SendAll(head.data(), 12));
    ASSERT_TRUE(a.SendAll(first.data(), static_cast<int>(first.size())));
    // All of it read by the relay (and so buffered there) before the rest.
    ASSERT_TRUE(WaitFor([&] { return TcpQueuesEmpty(m_Port); }));
    std::string second(10000, 's');
    a.SendAll(second.data(), static_cast<int>(second.size()));
    EXPECT_TRUE(a.WaitClosed(kWait));
    EXPECT_TRUE(WaitForLog("CProxyServer: buffer overflow."));
    std::string log = Log();
    size_t invalid = log.find("CProxyServer: Invalid header sized");
    ASSERT_NE(std::string::npos, invalid);
    EXPECT_LT(invalid, log.find("CProxyServer: buffer overflow."));
}

TEST_F(Relay, AuthenticationFailsInTheStandaloneDaemon) {
    CRelayClient a;
    Connect(a);
    ProxyAuth_t auth = {{16, 77, PH_TYPE_AUTH}, 1234};
    ASSERT_TRUE(a.SendAll(&auth, sizeof auth));
    Sync(a);
    EXPECT_TRUE(WaitForLog("CProxyServer: Proxy auth failed for 77"));
    // The connection stays open and may still register.
    EXPECT_EQ(1073741824, a.Register(kWait));
}

TEST_F(Relay, TenThousandSmallPacketsArriveInOrder) {
    CRelayClient a, b;
    Connect(a);
    Connect(b);
    a.Register(kWait);
    int uidB = b.Register(kWait);
    std::string all;
    for (int i = 0; i < 10000; i++) {
        std::string p = Packet(16, uidB, 1);
        memcpy(&p[12], &i, 4);
        all += p;
    }
    ASSERT_TRUE(a.SendAll(all.data(), static_cast<int>(all.size())));
    CBuffer got;
    for (int i = 0; i < 10000; i++) {
        ASSERT_TRUE(b.ReadPacket(got, kWait)) << "packet " << i;
        int n;
        memcpy(&n, static_cast<char*>(got.Data()) + 12, 4);
        ASSERT_EQ(i, n);
    }
}

TEST_F(Relay, DisconnectsAreCountedAndTheRelayServesOn) {
    {
        CRelayClient a;
        Connect(a);
        a.Register(kWait);
    }
    EXPECT_TRUE(WaitForLog("CProxyServer::ClientDisconnect - client count = 0"));
    CRelayClient b;
    Connect(b);
    EXPECT_EQ(1073741825, b.Register(kWait));
}

TEST_F(RelaySmallQueue, SlowReaderIsDroppedAndTheSenderIsNot) {
    CRelayClient sender, sleeper;
    Connect(sender);
    Connect(sleeper);
    sender.Register(kWait);
    int uidSleeper = sleeper.Register(kWait);
    // The sleeper never reads: its socket buffers fill, then the relay's queue.
    std::string packet = Packet(16384, uidSleeper, 1);
    const std::string overflow = "CProxyServer: Send queue overflow for " + std::to_string(uidSleeper);
    bool overflowed = false;
    for (int i = 0; i < 4000 && !overflowed; i++) {
        ASSERT_TRUE(sender.SendAll(packet.data(), static_cast<int>(packet.size())));
        if (i % 50 == 0) overflowed = Log().find(overflow) != std::string::npos;
    }
    EXPECT_TRUE(overflowed || WaitForLog(overflow)) << Log();
    // The sender still gets service.
    ASSERT_TRUE(sender.SendPacket(0, PH_TYPE_ECHO, "ok", 2));
    CBuffer reply;
    ASSERT_TRUE(sender.ReadPacket(reply, kWait));
    EXPECT_EQ(PH_TYPE_ECHO, HeaderOf(reply).type);
}

TEST_F(Relay, ProbeReportsOkAgainstTheRelayAndFailElsewhere) {
    std::string out = m_Dir + "/probe.txt";
    std::string ok = std::string(NB_PROBE_PATH) + " 127.0.0.1 " + std::to_string(m_Port) + " > " + out;
    EXPECT_EQ(0, system(ok.c_str()));
    std::string line = ReadFile(out);
    EXPECT_EQ(0u, line.find("natbridge-probe 127.0.0.1:" + std::to_string(m_Port) + ": registered ")) << line;
    EXPECT_NE(std::string::npos, line.find(" OK\n")) << line;
    // Nothing listens on the daemon's port once it has stopped.
    m_Process.Signal(SIGINT);
    EXPECT_EQ(0, m_Process.WaitExit(10000));
    std::string bad = std::string(NB_PROBE_PATH) + " 127.0.0.1 " + std::to_string(m_Port) + " > " + out;
    int status = system(bad.c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
    EXPECT_NE(std::string::npos, ReadFile(out).find(" FAIL\n"));
}

// A peer that never logs in can neither flood the log nor stall the others:
// 200,000 data packets before login (2.4 MB) write a handful of lines, and a
// logged-in pair's round trip stays short while they are being handled.
TEST_F(Relay, FloodBeforeLoginWritesBoundedLinesAndStallsNobody) {
    CRelayClient flooder, a, b;
    Connect(flooder);
    Connect(a);
    Connect(b);
    a.Register(kWait);
    int uidB = b.Register(kWait);
    std::string flood;
    flood.reserve(200000 * 12);
    for (int i = 0; i < 200000; i++) flood += Packet(12, uidB, 1);
    std::atomic<bool> done{false};
    std::thread sender([&] {
        flooder.SendAll(flood.data(), static_cast<int>(flood.size()));
        done = true;
    });
    std::vector<double> trips;
    CBuffer got;
    while (!done || trips.size() < 20) {
        auto start = std::chrono::steady_clock::now();
        ASSERT_TRUE(a.SendPacket(uidB, 7, "ping", 4));
        ASSERT_TRUE(b.ReadPacket(got, kWait));
        trips.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    sender.join();
    Sync(flooder);
    std::sort(trips.begin(), trips.end());
    double median = trips[trips.size() / 2], worst = trips.back();
    printf("flood: %zu round trips, median %.2f ms, worst %.2f ms\n", trips.size(), median, worst);
    // A few milliseconds; sanitizer builds run several times slower.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    const double scale = 10;
#else
    const double scale = 1;
#endif
    EXPECT_LT(median, 5.0 * scale);
    EXPECT_LT(worst, 50.0 * scale);
    std::string log = Log();
    int lines = 0;
    for (size_t at = log.find("PH_TYPE_DATA when used not logged in"); at != std::string::npos;
         at = log.find("PH_TYPE_DATA when used not logged in", at + 1)) {
        lines++;
    }
    EXPECT_GE(lines, 1);
    EXPECT_LE(lines, 10) << "one a second at most";
}

// A reader that keeps up is kept even when eight senders together put far
// more than MaxQueue (4 MiB) into its queue at once.
TEST_F(Relay, FastReaderUnderABurstFromEightSendersIsKept) {
    const int kSenders = 8, kPackets = 256, kSize = 16384;  // 4 MiB from each
    CRelayClient reader, senders[kSenders];
    Connect(reader);
    int uidReader = reader.Register(kWait);
    for (auto& s : senders) {
        Connect(s);
        s.Register(kWait);
    }
    std::string burst;
    for (int i = 0; i < kPackets; i++) burst += Packet(kSize, uidReader, 1);
    std::vector<std::thread> threads;
    for (auto& s : senders) threads.emplace_back([&] { s.SendAll(burst.data(), static_cast<int>(burst.size())); });
    long long got = 0;
    CBuffer packet;
    while (got < 1LL * kSenders * kPackets * kSize && reader.ReadPacket(packet, kWait)) got += packet.Length();
    for (auto& t : threads) t.join();
    EXPECT_EQ(1LL * kSenders * kPackets * kSize, got);
    EXPECT_EQ(std::string::npos, Log().find("CProxyServer: Send queue overflow")) << Log();
}

// One that does not read at all is dropped once its queue has stayed above
// MaxQueue for MaxQueueGrace, though a slow trickle never reaches the hard
// bound (4 x MaxQueue) within that time; its sender is served on.
TEST_F(RelayShortGrace, ReaderThatNeverReadsIsDroppedAfterTheGrace) {
    CRelayClient sender;
    Connect(sender);
    sender.Register(kWait);
    // The sleeper's receive window is small, so the kernels on the way hold
    // little and the relay's own queue rises soon.
    int sleeper = socket(AF_INET, SOCK_STREAM, 0);
    int small = 4096;
    setsockopt(sleeper, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(m_Port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, connect(sleeper, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
    const std::string reg = Packet(16, 0, PH_TYPE_REGISTER);
    ASSERT_EQ(16, send(sleeper, reg.data(), 16, 0));
    ProxyAuth_t reply;
    ASSERT_EQ(16, recv(sleeper, &reply, 16, MSG_WAITALL));
    int uidSleeper = reply.header.uid;
    const std::string packet = Packet(16384, uidSleeper, 1);
    const std::string overflow = "CProxyServer: Send queue overflow for " + std::to_string(uidSleeper);
    bool dropped = false;
    // About 1.6 MB/s: from the level to the hard bound takes half a second.
    for (int i = 0; i < 3000 && !dropped; i++) {
        ASSERT_TRUE(sender.SendAll(packet.data(), static_cast<int>(packet.size())));
        usleep(10000);
        if (i % 10 == 0) dropped = Log().find(overflow) != std::string::npos;
    }
    EXPECT_TRUE(dropped) << Log();
    close(sleeper);
    Sync(sender);
}

// The daemon's limits end to end: a one-second login time-out and a cap of
// three connections from one address (every loopback peer is 127.0.0.1).
class RelayLimits : public Relay {
protected:
    std::string Config() const override {
        return "[ProxyServer]\nPort = 0\nLoginTimeout = 1\nMaxClientsPerAddress = 3\n";
    }
};

TEST_F(RelayLimits, ExtraConnectionsAreRefusedAndLoggedOutOnesTimeOut) {
    CRelayClient member, idle, echoer, extra[5];
    ASSERT_TRUE(member.Connect("127.0.0.1", m_Port, kWait));
    ASSERT_TRUE(idle.Connect("127.0.0.1", m_Port, kWait));
    ASSERT_TRUE(echoer.Connect("127.0.0.1", m_Port, kWait));
    EXPECT_GT(member.Register(kWait), 0);
    for (CRelayClient& c : extra) {
        ASSERT_TRUE(c.Connect("127.0.0.1", m_Port, kWait));
        EXPECT_TRUE(c.WaitClosed(kWait));
    }
    EXPECT_TRUE(WaitForLog("CProxyServer: Refusing connections from 127.0.0.1 beyond MaxClientsPerAddress 3"));
    ASSERT_TRUE(echoer.SendPacket(0, PH_TYPE_ECHO, "ping", 4));
    CBuffer reply;
    ASSERT_TRUE(echoer.ReadPacket(reply, kWait));
    EXPECT_TRUE(idle.WaitClosed(kWait));
    EXPECT_TRUE(echoer.WaitClosed(kWait));
    EXPECT_TRUE(WaitForLog("CProxyServer: Login timeout, disconnecting connection ", 2)) << Log();
    ASSERT_TRUE(member.SendPacket(0, PH_TYPE_ECHO, "ping", 4));
    EXPECT_TRUE(member.ReadPacket(reply, kWait)) << "a registered client stays";
    std::string log = Log();
    size_t first = log.find("Refusing connections");
    EXPECT_EQ(std::string::npos, log.find("Refusing connections", first + 1)) << "one line for the burst";
    EXPECT_TRUE(std::regex_search(log, std::regex("Login timeout, disconnecting connection [0-9]+ \\(127\\.0\\.0\\.1:[0-9]+\\) after 1 s")));
}
