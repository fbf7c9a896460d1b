// The connection manager over real loopback sockets: accepting, announcing,
// receiving, sending, every way a connection ends, the listener contract,
// limits and the manager's own lifecycle.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <thread>

#include "tests/common/src/network/nettest.h"

using nettest::Event;

namespace {

class ConnectionManager : public nettest::ManagerTest {};

// Two connections at most: the limit is reached with two peers.
class ConnectionManagerAtLimit : public nettest::ManagerTest {
protected:
    ConnectionManagerAtLimit() : ManagerTest(2) {}
};

bool HasDisconnect(nettest::RecordingListener& l, HConnection h) { return l.FindDisconnect(h, nullptr); }

// One way for an announced connection to end, and what ClientDisconnect says.
struct EndCase {
    const char* name;
    std::function<void(CTCPIPConnectionManager&, HConnection, int)> cause;  // manager, handle, peer
    bool forced;
    int reason;
};

void PrintTo(const EndCase& c, std::ostream* os) { *os << c.name; }

class ConnectionManagerEnd : public nettest::ManagerTest, public ::testing::WithParamInterface<EndCase> {};

}  // namespace

TEST_P(ConnectionManagerEnd, IsReportedWithItsReasonCode) {
    int peer = -1;
    HConnection h = AcceptPeer(&peer);
    ASSERT_NE(nullptr, h);
    GetParam().cause(server.mgr, h, peer);
    Event e = AwaitDisconnect(h);
    EXPECT_EQ(GetParam().forced, e.forced);
    EXPECT_EQ(GetParam().reason, e.reason);
    EXPECT_EQ(1, server.listener.CountFor(Event::DISCONNECT, h));
    EXPECT_TRUE(nettest::WaitForEof(peer, 2000));
}

INSTANTIATE_TEST_SUITE_P(
    Ways, ConnectionManagerEnd,
    ::testing::Values(
        EndCase{"PeerClosesAfterData",
                [](CTCPIPConnectionManager& mgr, HConnection h, int peer) {
                    mgr.SendData(h, "x", 1);
                    char c;
                    ASSERT_TRUE(nettest::ReadExactly(peer, &c, 1, 2000));
                    shutdown(peer, SHUT_WR);
                },
                true, 0x10000001},
        EndCase{"PeerClosesBeforeAnyData",
                [](CTCPIPConnectionManager&, HConnection, int peer) { shutdown(peer, SHUT_WR); }, true, 0x10000002},
        EndCase{"UpperLayerReportsAnError",
                [](CTCPIPConnectionManager& mgr, HConnection h, int) { mgr.ClientError(h, 0x20000003); }, true,
                0x20000003},
        // Urgent data is what the classic exception set reported.
        EndCase{"PeerSendsUrgentData",
                [](CTCPIPConnectionManager&, HConnection, int peer) { ASSERT_EQ(1, send(peer, "!", 1, MSG_OOB)); },
                true, 0x10000005},
        EndCase{"LocalDisconnect",
                [](CTCPIPConnectionManager& mgr, HConnection h, int) { mgr.Disconnect(h, false); }, false, -1}),
    [](const ::testing::TestParamInfo<EndCase>& caseInfo) { return std::string(caseInfo.param.name); });

TEST_F(ConnectionManager, PeerIsAnnouncedBeforeItsDataAndItsDataArrives) {
    ASSERT_NE(0, server.port);
    int client = Peer();
    ASSERT_GE(client, 0);
    // Sent before the owner ever dispatches.
    ASSERT_TRUE(nettest::WriteAll(client, "hello", 5));
    ASSERT_TRUE(nettest::WaitUntil([&] { return server.mgr.GetConnectionCount() == 1; }, 3000));
    // Deliberate: the socket thread runs a few passes with the data waiting,
    // and must not hand it to anyone before ClientConnect.
    OS_Sleep(50);
    ASSERT_TRUE(nettest::PumpUntil(server.mgr, [&] { return server.listener.Count(Event::DATA) > 0; }, 5000));
    std::vector<Event> events = server.listener.Events();
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(Event::CONNECT, events[0].kind);
    HConnection h = events[0].h;
    EXPECT_EQ("hello", server.listener.DataOf(h));
    EXPECT_EQ(CString("127.0.0.1"), server.mgr.GetRemoteIP(h));
    EXPECT_EQ(nettest::LocalPort(client), server.mgr.GetRemotePort(h));
    EXPECT_EQ(5, server.mgr.GetDataRecv(h));
    int flag = 0;
    socklen_t len = sizeof(flag);
    ASSERT_EQ(0, getsockopt(static_cast<CTCPIPConnection*>(h)->GetSocket(), IPPROTO_TCP, TCP_NODELAY, &flag, &len));
    EXPECT_NE(0, flag);
}

TEST_F(ConnectionManager, SendDataReachesThePeerInOrder) {
    int client = -1;
    HConnection h = AcceptPeer(&client);
    ASSERT_NE(nullptr, h);
    std::string expected;
    for (int i = 0; i < 100; i++) {
        std::string piece = "message " + std::to_string(i) + ";";
        server.mgr.SendData(h, piece.data(), static_cast<int>(piece.size()));
        expected += piece;
    }
    std::string received(expected.size(), 0);
    ASSERT_TRUE(nettest::ReadExactly(client, &received[0], expected.size(), 5000));
    EXPECT_EQ(expected, received);
    EXPECT_EQ(static_cast<int>(expected.size()), server.mgr.GetDataSent(h));
    EXPECT_EQ(0, server.mgr.GetQueuedBytes(h));
}

TEST_F(ConnectionManager, LocalDisconnectIsReportedAtTheNextDispatchAndClosesThePeer) {
    int client = -1;
    HConnection h = AcceptPeer(&client);
    ASSERT_NE(nullptr, h);
    server.mgr.Disconnect(h, false);
    EXPECT_FALSE(HasDisconnect(server.listener, h));             // not before Dispatch
    EXPECT_EQ(CString("127.0.0.1"), server.mgr.GetRemoteIP(h));  // the handle is still valid
    server.mgr.Dispatch();
    Event e;
    ASSERT_TRUE(server.listener.FindDisconnect(h, &e));
    EXPECT_FALSE(e.forced);
    EXPECT_EQ(-1, e.reason);
    EXPECT_TRUE(nettest::WaitForEof(client, 2000));
    // The finished connection is destroyed by the socket thread.
    EXPECT_TRUE(nettest::WaitUntil([&] { return server.mgr.GetConnectionCount() == 0; }, 3000));
}

TEST_F(ConnectionManager, DisconnectWithFlushDeliversTheQueueEndsTheStreamAtOnceAndClosesWhenThePeerDoes) {
    int client = -1;
    HConnection h = AcceptPeer(&client);
    ASSERT_NE(nullptr, h);
    // The peer does not read yet, so most of this waits in the queue.
    std::string payload;
    for (int i = 0; i < 4 * 1024 * 1024; i++) payload += static_cast<char>('a' + (i * 7) % 26);
    server.mgr.SendData(h, payload.data(), static_cast<int>(payload.size()));
    EXPECT_GT(server.mgr.GetQueuedBytes(h), 0);
    server.mgr.Disconnect(h, true);
    server.mgr.Dispatch();
    Event e;
    ASSERT_TRUE(server.listener.FindDisconnect(h, &e));
    EXPECT_FALSE(e.forced);
    EXPECT_EQ(-1, e.reason);
    std::string received(payload.size(), 0);
    ASSERT_TRUE(nettest::ReadExactly(client, &received[0], payload.size(), 10000));
    EXPECT_TRUE(received == payload);
    // Drained: the end of stream follows at once (not a reset, not after
    // the flush period), even while the peer still talks; what it sends is
    // dropped, and the socket goes when the peer closes.
    ASSERT_TRUE(nettest::WriteAll(client, "late", 4));
    size_t more = 0;
    EXPECT_EQ(nettest::PEER_EOF, nettest::ReadToEnd(client, &more, 3000));
    EXPECT_EQ(0u, more);
    ASSERT_TRUE(nettest::WriteAll(client, "later", 5));
    OS_Sleep(100);
    EXPECT_EQ(1, server.mgr.GetConnectionCount());
    shutdown(client, SHUT_WR);
    EXPECT_TRUE(nettest::WaitUntil([&] { return server.mgr.GetConnectionCount() == 0; }, 3000));
}

TEST_F(ConnectionManager, QueueThatFindsNoWritableMomentForSixMinutesEndsWithTheTimeOutCode) {
    int client = -1;
    HConnection h = AcceptPeer(&client);
    ASSERT_NE(nullptr, h);
    FillQueue(h);
    ASSERT_TRUE(AdvanceUntil(361000, [&] { return HasDisconnect(server.listener, h); }));
    Event e;
    server.listener.FindDisconnect(h, &e);
    EXPECT_TRUE(e.forced);
    EXPECT_EQ(0x10000000, e.reason);
}

TEST_F(ConnectionManager, ConnectToAClosedPortFailsBeforeAnyData) {
    HConnection h = server.mgr.Connect("127.0.0.1", nettest::ClosedPort(), false);
    ASSERT_NE(nullptr, h);
    Event e = AwaitDisconnect(h);
    std::vector<Event> events = server.listener.Events();
    ASSERT_EQ(2u, events.size());
    EXPECT_EQ(Event::CONNECT, events[0].kind);
    EXPECT_EQ(Event::DISCONNECT, events[1].kind);
    EXPECT_TRUE(e.forced);
    EXPECT_EQ(0x10000002, e.reason);
}

TEST_F(ConnectionManager, ConnectByHostNameReachesTheListener) {
    int port = 0;
    int listener = nettest::ListenLoopback(&port);
    peers.push_back(listener);
    HConnection h = server.mgr.Connect("localhost", port, true);
    EXPECT_EQ(1, server.listener.Count(Event::CONNECT));  // announced before Connect returned
    server.mgr.SendData(h, "via name", 8);                 // waits in the queue until connected
    int peer = accept(listener, nullptr, nullptr);
    ASSERT_GE(peer, 0);
    peers.push_back(peer);
    char buf[8];
    ASSERT_TRUE(nettest::ReadExactly(peer, buf, 8, 5000));
    EXPECT_EQ("via name", std::string(buf, 8));
    EXPECT_EQ(CString("127.0.0.1"), server.mgr.GetRemoteIP(h));
    EXPECT_EQ(port, server.mgr.GetRemotePort(h));
    ASSERT_TRUE(nettest::WriteAll(peer, "back", 4));
    ASSERT_TRUE(nettest::PumpUntil(server.mgr, [&] { return server.listener.DataOf(h) == "back"; }, 5000));
}

TEST_F(ConnectionManager, ConnectionToItselfCarriesDataBothWays) {
    HConnection out = server.mgr.Connect("127.0.0.1", server.port, false);
    ASSERT_TRUE(nettest::PumpUntil(server.mgr, [&] { return server.listener.Count(Event::CONNECT) == 2; }, 5000));
    HConnection in = server.listener.Connected(1);
    ASSERT_EQ(out, server.listener.Connected(0));
    server.mgr.SendData(out, "ping", 4);
    ASSERT_TRUE(nettest::PumpUntil(server.mgr, [&] { return server.listener.DataOf(in) == "ping"; }, 5000));
    server.mgr.SendData(in, "pong", 4);
    ASSERT_TRUE(nettest::PumpUntil(server.mgr, [&] { return server.listener.DataOf(out) == "pong"; }, 5000));
}

TEST_F(ConnectionManager, HostZeroReturnsTheChosenPortAndABusyPortFails) {
    ASSERT_GT(server.port, 0);
    EXPECT_GE(Peer(), 0);
    CTCPIPConnectionManager other(4);
    other.Init();
    EXPECT_EQ(0, other.Host(server.port));
    EXPECT_GT(other.Host(0), 0);  // the failure left it free to try again
    other.Shutdown();
}

TEST_F(ConnectionManagerAtLimit, IncomingConnectionsOverTheLimitAreAcceptedAndClosed) {
    nettest::LogCapture log;
    int clients[4];
    for (int& fd : clients) ASSERT_GE(fd = Peer(), 0);
    ASSERT_TRUE(nettest::PumpUntil(
        server.mgr, [&] { return log.Count("Max connections exceeded (2 connections)") == 2; }, 5000));
    server.mgr.Dispatch();
    EXPECT_EQ(2, server.listener.Count(Event::CONNECT));
    EXPECT_TRUE(nettest::WaitForEof(clients[2], 2000));
    EXPECT_TRUE(nettest::WaitForEof(clients[3], 2000));
    // The served ones still work.
    for (int i = 0; i < 2; i++) server.mgr.SendData(server.listener.Connected(i), "k", 1);
    for (int i = 0; i < 2; i++) {
        char c;
        EXPECT_TRUE(nettest::ReadExactly(clients[i], &c, 1, 2000));
    }
}

TEST_F(ConnectionManagerAtLimit, ConnectAtTheLimitFailsThroughTheListenerInsteadOfStopping) {
    nettest::LogCapture log;
    int a = -1, b = -1;
    ASSERT_NE(nullptr, AcceptPeer(&a));
    ASSERT_NE(nullptr, AcceptPeer(&b));
    HConnection h = server.mgr.Connect("localhost", server.port, false);
    ASSERT_NE(nullptr, h);
    EXPECT_EQ(1, log.Count("Max connections exceeded in connect"));
    server.mgr.Dispatch();
    Event e;
    ASSERT_TRUE(server.listener.FindDisconnect(h, &e));
    EXPECT_EQ(0x10000002, e.reason);
}

TEST_F(ConnectionManager, ConnectionFailingBeforeItsAnnouncementGivesBothEventsInOneDispatch) {
    nettest::RecordingLogger logger;
    server.mgr.SetLogger(&logger);
    HConnection h = server.mgr.Connect("::1", 80, false);  // no IPv4 address: resolution fails
    // The resolver thread records the failure; nothing dispatches meanwhile.
    ASSERT_TRUE(nettest::WaitUntil([&] { return logger.Count("TCPIP: Disconnect 0x10000003") == 1; }, 3000));
    EXPECT_TRUE(server.listener.Events().empty());
    server.mgr.Dispatch();
    std::vector<Event> events = server.listener.Events();
    ASSERT_EQ(2u, events.size());
    EXPECT_EQ(Event::CONNECT, events[0].kind);
    EXPECT_EQ(h, events[0].h);
    EXPECT_EQ(Event::DISCONNECT, events[1].kind);
    EXPECT_EQ(0x10000003, events[1].reason);

    HConnection h2 = server.mgr.Connect("127.0.0.1", nettest::ClosedPort(), false);
    server.mgr.ClientError(h2, 0x20000001);
    server.mgr.Dispatch();
    Event e;
    ASSERT_TRUE(server.listener.FindDisconnect(h2, &e));
    EXPECT_EQ(0x20000001, e.reason);
    EXPECT_EQ(2, server.listener.Count(Event::CONNECT));
    server.mgr.SetLogger(nullptr);
}

TEST(ConnectionManagerListeners, ListenerRegisteredTwiceIsRemovedCompletely) {
    CTCPIPConnectionManager mgr(8);
    mgr.Init();
    nettest::RecordingListener l;
    mgr.AddListener(&l, true);
    mgr.AddListener(&l, false);
    mgr.Connect("127.0.0.1", nettest::ClosedPort(), true);
    EXPECT_EQ(2, l.Count(Event::CONNECT));
    mgr.RemoveListener(&l);
    mgr.Connect("127.0.0.1", nettest::ClosedPort(), true);
    mgr.Dispatch();
    EXPECT_EQ(2, l.Count(Event::CONNECT));
    mgr.Shutdown();
}

TEST_F(ConnectionManager, FindConnectionAcceptsOnlyTheExactIdText) {
    int client = -1;
    HConnection h = AcceptPeer(&client);
    ASSERT_NE(nullptr, h);
    CString id = server.mgr.GetConnectionId(h);
    EXPECT_EQ(CString("0"), id);
    EXPECT_EQ(h, server.mgr.FindConnection(id));
    for (const char* text : {"", "00", " 0", "0x", "99999999999"}) {
        EXPECT_EQ(nullptr, server.mgr.FindConnection(text)) << "'" << text << "'";
    }
    server.mgr.Disconnect(h, false);
    server.mgr.Dispatch();
    EXPECT_TRUE(nettest::WaitUntil([&] { return server.mgr.FindConnection(id) == nullptr; }, 3000));
}

TEST(ConnectionManagerIds, IdCounterWrapsToOneAndSkipsIdsStillInUse) {
    CTCPIPConnectionManager mgr(8);
    mgr.Init();
    HConnection a = mgr.Connect("127.0.0.1", 1, false);  // id 0
    HConnection b = mgr.Connect("127.0.0.1", 1, false);  // id 1
    mgr.TestSetNextId(0xFFFFFFFFu);
    HConnection c = mgr.Connect("127.0.0.1", 1, false);
    HConnection d = mgr.Connect("127.0.0.1", 1, false);
    EXPECT_EQ(CString("0"), mgr.GetConnectionId(a));
    EXPECT_EQ(CString("1"), mgr.GetConnectionId(b));
    EXPECT_EQ(CString("-1"), mgr.GetConnectionId(c));
    EXPECT_EQ(CString("2"), mgr.GetConnectionId(d));  // 1 is still held by b
    EXPECT_EQ(c, mgr.FindConnection("-1"));
    mgr.Shutdown();
}

TEST_F(ConnectionManager, DispatchWithASignalRunsTheLoopOnTheCallersThread) {
    int client = Peer();
    ASSERT_GE(client, 0);
    CSignal signal(false);
    // With a time-out: returns by itself and has announced the peer.
    server.mgr.Dispatch(signal, 300);
    EXPECT_EQ(1, server.listener.Count(Event::CONNECT));
    EXPECT_FALSE(server.mgr.IsThreadPresent());  // the socket thread is gone for good
    // Without: keeps looping (several Dispatch() ticks) until the signal is
    // set, then returns and clears it.
    std::atomic<bool> set{false};
    std::thread setter([&] {
        int start = server.listener.Dispatches();
        nettest::WaitUntil([&] { return server.listener.Dispatches() >= start + 3; }, 5000);
        set = true;
        signal.SetSignal();
    });
    server.mgr.Dispatch(signal, 0);
    EXPECT_TRUE(set.load());
    setter.join();
    EXPECT_FALSE(signal.CheckSignal());
    // The loop still serves the peer.
    HConnection h = server.listener.Connected(0);
    ASSERT_TRUE(nettest::WriteAll(client, "abc", 3));
    for (int i = 0; i < 20 && server.listener.DataOf(h) != "abc"; i++) server.mgr.Dispatch(signal, 100);
    EXPECT_EQ("abc", server.listener.DataOf(h));
}

TEST_F(ConnectionManager, LoggerSeesTheConnectionsTexts) {
    nettest::RecordingLogger logger;
    server.mgr.SetLogger(&logger);
    int client = -1;
    HConnection h = AcceptPeer(&client);
    ASSERT_NE(nullptr, h);
    server.mgr.SendData(h, "abc", 3);
    ASSERT_TRUE(nettest::WriteAll(client, "xyz", 3));
    ASSERT_TRUE(nettest::PumpUntil(server.mgr, [&] { return server.listener.DataOf(h) == "xyz"; }, 5000));
    server.mgr.ClientError(h, 0x20000000);
    EXPECT_EQ(1, logger.Count("TCPIP: Queue data, size = 0x0003"));
    EXPECT_EQ(1, logger.Count("TCPIP: Pre-sent data, size = 0x0003"));
    EXPECT_EQ(1, logger.Count("TCPIP: Recv data, size = 0x0003"));
    EXPECT_EQ(1, logger.Count("TCPIP: Disconnect 0x20000000"));
    server.mgr.Dispatch();
    server.mgr.SetLogger(nullptr);
}

TEST_F(ConnectionManager, ShutdownWithOpenConnectionsCallsNoListenerAndClosesEverything) {
    int a = -1, b = -1;
    ASSERT_NE(nullptr, AcceptPeer(&a));
    ASSERT_NE(nullptr, AcceptPeer(&b));
    HConnection hb = server.listener.Connected(1);
    std::string big(2 * 1024 * 1024, 'z');  // leaves queued blocks behind
    server.mgr.SendData(hb, big.data(), static_cast<int>(big.size()));
    Peer();                                               // accepted, maybe not announced
    server.mgr.Connect("localhost", server.port, false);  // resolving or connecting
    server.mgr.Connect("127.0.0.1", nettest::ClosedPort(), true);
    size_t eventsBefore = server.listener.Events().size();
    server.mgr.Shutdown();
    server.shutDown = true;
    EXPECT_EQ(eventsBefore, server.listener.Events().size());
    EXPECT_TRUE(nettest::WaitForEof(a, 2000));
    EXPECT_TRUE(nettest::ReadUntilEof(b, nullptr, 5000));
    EXPECT_EQ(-1, nettest::ConnectClient(server.port));
}

TEST(ConnectionManagerLifecycle, ManagerCanBeInitialisedAgainAfterShutdown) {
    CTCPIPConnectionManager mgr(4);
    for (int round = 0; round < 2; round++) {
        mgr.Init();
        int port = mgr.Host(0);
        EXPECT_GT(port, 0);
        HConnection h = mgr.Connect("127.0.0.1", port, true);
        EXPECT_EQ(CString("0"), mgr.GetConnectionId(h));
        mgr.Shutdown();
    }
}

TEST(ConnectionManagerDeathTest, BrokenCallingContractsAreFatal) {
    CTCPIPConnectionManager idle(4);
    EXPECT_DEATH(idle.Host(0), "Error connection manager not running.");
    EXPECT_DEATH(idle.Shutdown(), "Shutdown called before init");
    EXPECT_DEATH(CTCPIPConnectionManager(1), "maxConnections must be greater than 1");
    EXPECT_DEATH(
        {
            CTCPIPConnectionManager m(4);
            m.Init();
        },
        "Error forgot to run shutdown.");
    CTCPIPConnectionManager mgr(4);
    mgr.Init();
    EXPECT_DEATH(mgr.Init(), "Error init called twice.");
    EXPECT_DEATH(mgr.Host(65535), "Invalid port number, port is out of range");
    EXPECT_DEATH(mgr.Connect("127.0.0.1", -1, false), "Invalid port number, port is out of range");
    HConnection h = mgr.Connect("127.0.0.1", mgr.Host(0), true);  // stays connected to ourselves
    mgr.Disconnect(h, true);
    EXPECT_DEATH(mgr.Disconnect(h, true), "already flushing");
    mgr.Shutdown();
}

TEST(ConnectionManagerDeathTest, DispatchFromInsideACallbackIsFatalNotAHang) {
    nettest::Server server;
    server.listener.onConnect = [&](HConnection) { server.mgr.Dispatch(); };
    EXPECT_DEATH(server.mgr.Connect("127.0.0.1", server.port, true), "called from inside a listener callback");
    server.listener.onConnect = nullptr;
}

#ifndef NDEBUG
TEST(ConnectionManagerDeathTest, HandleUsedAfterItsDisconnectIsCaughtInDebugBuilds) {
    nettest::Server server;
    HConnection h = server.mgr.Connect("127.0.0.1", nettest::ClosedPort(), true);
    server.mgr.Disconnect(h, false);
    server.mgr.Dispatch();
    ASSERT_TRUE(nettest::WaitUntil([&] { return server.mgr.GetConnectionCount() == 0; }, 3000));
    EXPECT_DEATH(server.mgr.SendData(h, "x", 1), "Invalid connection handle");
}
#endif

namespace {

// A blocking connect to ip:port; true when the listener took it.
bool Reaches(const char* ip, int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, ip, &addr.sin_addr);
    bool ok = connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) == 0;
    close(fd);
    return ok;
}

}  // namespace

// Every 127.x.y.z reaches the loopback device, so a listener bound to one of
// them shows whether the others are shut out.
TEST(ConnectionManagerHostAddress, ListensOnTheGivenAddressOnly) {
    const struct {
        const char* address;
        bool opens, onFirst, onSecond;  // Host succeeds; 127.0.0.1 and 127.0.0.2 reach it
    } cases[] = {
        {"", true, true, true},          {"0.0.0.0", true, true, true},      {"127.0.0.1", true, true, false},
        {"127.0.0.2", true, false, true}, {"localhost", false, false, false}, {"127.0.0", false, false, false},
        {"256.0.0.1", false, false, false}, {"192.0.2.1", false, false, false},  // not one of ours
    };
    for (const auto& c : cases) {
        CTCPIPConnectionManager mgr(4), same(4);
        mgr.Init();
        same.Init();
        int port = mgr.Host(0, c.address);
        EXPECT_EQ(c.opens, port > 0) << c.address;
        if (port > 0) {
            EXPECT_EQ(c.onFirst, Reaches("127.0.0.1", port)) << c.address;
            EXPECT_EQ(c.onSecond, Reaches("127.0.0.2", port)) << c.address;
            EXPECT_EQ(0, same.Host(port, c.address)) << c.address << ": the port is taken there";
            EXPECT_EQ(c.onFirst ? 0 : port, same.Host(port, "127.0.0.1")) << c.address;
        } else {
            EXPECT_GT(mgr.Host(0, "127.0.0.1"), 0) << c.address << ": a failure leaves the manager free";
        }
        mgr.Shutdown();
        same.Shutdown();
    }
}
