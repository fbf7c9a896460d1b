// The connection manager over real loopback sockets: accepting, announcing,
// receiving, sending, every way a connection ends, the listener contract,
// limits and the manager's own lifecycle.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "tests/common/src/network/nettest.h"

using nettest::Event;

namespace {

bool HasDisconnect(nettest::RecordingListener& l, HConnection h) { return l.FindDisconnect(h, nullptr); }

}  // namespace

TEST(ConnectionManager, PeerIsAnnouncedBeforeItsDataAndItsDataArrives) {
    nettest::Server server;
    ASSERT_NE(0, server.port);
    int client = nettest::ConnectClient(server.port);
    ASSERT_GE(client, 0);
    // Sent before the owner ever dispatches.
    ASSERT_TRUE(nettest::WriteAll(client, "hello", 5));
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
    close(client);
}

TEST(ConnectionManager, SendDataReachesThePeerInOrder) {
    nettest::Server server;
    int client = -1;
    HConnection h = server.Accept(&client);
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
    close(client);
}

TEST(ConnectionManager, PeerClosingAfterDataIsReportedAsClosed) {
    nettest::Server server;
    int client = -1;
    HConnection h = server.Accept(&client);
    ASSERT_NE(nullptr, h);
    server.mgr.SendData(h, "x", 1);
    char c;
    ASSERT_TRUE(nettest::ReadExactly(client, &c, 1, 2000));
    close(client);
    ASSERT_TRUE(nettest::PumpUntil(server.mgr, [&] { return HasDisconnect(server.listener, h); }, 5000));
    Event e;
    server.listener.FindDisconnect(h, &e);
    EXPECT_TRUE(e.forced);
    EXPECT_EQ(0x10000001, e.reason);
}

TEST(ConnectionManager, PeerClosingBeforeAnyDataIsReportedAsFailed) {
    nettest::Server server;
    int client = -1;
    HConnection h = server.Accept(&client);
    ASSERT_NE(nullptr, h);
    close(client);
    ASSERT_TRUE(nettest::PumpUntil(server.mgr, [&] { return HasDisconnect(server.listener, h); }, 5000));
    Event e;
    server.listener.FindDisconnect(h, &e);
    EXPECT_TRUE(e.forced);
    EXPECT_EQ(0x10000002, e.reason);
}

TEST(ConnectionManager, LocalDisconnectIsReportedAtTheNextDispatchAndClosesThePeer) {
    nettest::Server server;
    int client = -1;
    HConnection h = server.Accept(&client);
    ASSERT_NE(nullptr, h);
    server.mgr.Disconnect(h, false);
    EXPECT_FALSE(HasDisconnect(server.listener, h));  // not before Dispatch
    EXPECT_EQ(CString("127.0.0.1"), server.mgr.GetRemoteIP(h));  // the handle is still valid
    server.mgr.Dispatch();
    Event e;
    ASSERT_TRUE(server.listener.FindDisconnect(h, &e));
    EXPECT_FALSE(e.forced);
    EXPECT_EQ(-1, e.reason);
    EXPECT_TRUE(nettest::WaitForEof(client, 2000));
    // The finished connection is destroyed by the socket thread.
    EXPECT_TRUE(nettest::WaitUntil([&] { return server.mgr.GetConnectionCount() == 0; }, 3000));
    close(client);
}

TEST(ConnectionManager, DisconnectWithFlushDeliversTheQueueThenClosesAfterSixtySeconds) {
    nettest::Server server;
    int client = -1;
    HConnection h = server.Accept(&client);
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
    // Everything is out, but the socket stays open for the flush period.
    EXPECT_FALSE(nettest::WaitForEof(client, 300));
    OS_TestAdvanceTickCount(61000);
    EXPECT_TRUE(nettest::WaitForEof(client, 3000));
    EXPECT_TRUE(nettest::WaitUntil([&] { return server.mgr.GetConnectionCount() == 0; }, 3000));
    close(client);
}

TEST(ConnectionManager, QueueThatFindsNoWritableMomentForSixMinutesEndsWithTheTimeOutCode) {
    nettest::Server server;
    int client = -1;
    HConnection h = server.Accept(&client);
    ASSERT_NE(nullptr, h);
    std::string chunk(1024 * 1024, 'q');
    for (int i = 0; i < 16 && server.mgr.GetQueuedBytes(h) == 0; i++) {
        server.mgr.SendData(h, chunk.data(), static_cast<int>(chunk.size()));
    }
    ASSERT_GT(server.mgr.GetQueuedBytes(h), 0);
    OS_Sleep(600);  // the socket thread finds the socket blocked at least once
    OS_TestAdvanceTickCount(361000);
    ASSERT_TRUE(nettest::PumpUntil(server.mgr, [&] { return HasDisconnect(server.listener, h); }, 5000));
    Event e;
    server.listener.FindDisconnect(h, &e);
    EXPECT_TRUE(e.forced);
    EXPECT_EQ(0x10000000, e.reason);
    close(client);
}

TEST(ConnectionManager, ClientErrorReportsTheUpperLayersCode) {
    nettest::Server server;
    int client = -1;
    HConnection h = server.Accept(&client);
    ASSERT_NE(nullptr, h);
    server.mgr.ClientError(h, 0x20000003);
    server.mgr.Dispatch();
    Event e;
    ASSERT_TRUE(server.listener.FindDisconnect(h, &e));
    EXPECT_TRUE(e.forced);
    EXPECT_EQ(0x20000003, e.reason);
    EXPECT_TRUE(nettest::WaitForEof(client, 2000));
    close(client);
}

TEST(ConnectionManager, ExceptionalConditionOnTheSocketEndsTheConnection) {
    nettest::Server server;
    int client = -1;
    HConnection h = server.Accept(&client);
    ASSERT_NE(nullptr, h);
    ASSERT_EQ(1, send(client, "!", 1, MSG_OOB));  // urgent data: the exceptional condition
    ASSERT_TRUE(nettest::PumpUntil(server.mgr, [&] { return HasDisconnect(server.listener, h); }, 5000));
    Event e;
    server.listener.FindDisconnect(h, &e);
    EXPECT_TRUE(e.forced);
    EXPECT_EQ(0x10000005, e.reason);
    close(client);
}

TEST(ConnectionManager, ConnectToAClosedPortFailsBeforeAnyData) {
    nettest::Server server;
    HConnection h = server.mgr.Connect("127.0.0.1", nettest::ClosedPort(), false);
    ASSERT_NE(nullptr, h);
    ASSERT_TRUE(nettest::PumpUntil(server.mgr, [&] { return HasDisconnect(server.listener, h); }, 5000));
    std::vector<Event> events = server.listener.Events();
    ASSERT_EQ(2u, events.size());
    EXPECT_EQ(Event::CONNECT, events[0].kind);
    EXPECT_EQ(Event::DISCONNECT, events[1].kind);
    EXPECT_TRUE(events[1].forced);
    EXPECT_EQ(0x10000002, events[1].reason);
}

TEST(ConnectionManager, ConnectByHostNameReachesTheListener) {
    nettest::Server server;
    int port = 0;
    int listener = nettest::ListenLoopback(&port);
    HConnection h = server.mgr.Connect("localhost", port, true);
    EXPECT_EQ(1, server.listener.Count(Event::CONNECT));  // announced before Connect returned
    server.mgr.SendData(h, "via name", 8);  // waits in the queue until connected
    int peer = accept(listener, nullptr, nullptr);
    ASSERT_GE(peer, 0);
    char buf[8];
    ASSERT_TRUE(nettest::ReadExactly(peer, buf, 8, 5000));
    EXPECT_EQ("via name", std::string(buf, 8));
    EXPECT_EQ(CString("127.0.0.1"), server.mgr.GetRemoteIP(h));
    EXPECT_EQ(port, server.mgr.GetRemotePort(h));
    ASSERT_TRUE(nettest::WriteAll(peer, "back", 4));
    ASSERT_TRUE(nettest::PumpUntil(server.mgr, [&] { return server.listener.DataOf(h) == "back"; }, 5000));
    close(peer);
    close(listener);
}

TEST(ConnectionManager, ConnectionToItselfCarriesDataBothWays) {
    nettest::Server server;
    HConnection out = server.mgr.Connect("127.0.0.1", server.port, false);
    ASSERT_TRUE(nettest::PumpUntil(server.mgr, [&] { return server.listener.Count(Event::CONNECT) == 2; }, 5000));
    HConnection in = server.listener.Connected(1);
    ASSERT_EQ(out, server.listener.Connected(0));
    server.mgr.SendData(out, "ping", 4);
    ASSERT_TRUE(nettest::PumpUntil(server.mgr, [&] { return server.listener.DataOf(in) == "ping"; }, 5000));
    server.mgr.SendData(in, "pong", 4);
    ASSERT_TRUE(nettest::PumpUntil(server.mgr, [&] { return server.listener.DataOf(out) == "pong"; }, 5000));
}

TEST(ConnectionManager, HostZeroReturnsTheChosenPortAndABusyPortFails) {
    nettest::Server server;
    ASSERT_GT(server.port, 0);
    int client = nettest::ConnectClient(server.port);
    EXPECT_GE(client, 0);
    close(client);
    CTCPIPConnectionManager other(4);
    other.Init();
    EXPECT_EQ(0, other.Host(server.port));
    EXPECT_GT(other.Host(0), 0);  // the failure left it free to try again
    other.Shutdown();
}

TEST(ConnectionManager, IncomingConnectionsOverTheLimitAreAcceptedAndClosed) {
    nettest::LogCapture log;
    nettest::Server server(3);
    int clients[5];
    for (int i = 0; i < 5; i++) {
        clients[i] = nettest::ConnectClient(server.port);
        ASSERT_GE(clients[i], 0);
    }
    ASSERT_TRUE(nettest::PumpUntil(
        server.mgr, [&] { return log.Count("Max connections exceeded (3 connections)") == 2; }, 5000));
    server.mgr.Dispatch();
    EXPECT_EQ(3, server.listener.Count(Event::CONNECT));
    EXPECT_TRUE(nettest::WaitForEof(clients[3], 2000));
    EXPECT_TRUE(nettest::WaitForEof(clients[4], 2000));
    // The served ones still work.
    for (int i = 0; i < 3; i++) {
        HConnection h = server.listener.Connected(i);
        server.mgr.SendData(h, "k", 1);
    }
    for (int i = 0; i < 3; i++) {
        char c;
        EXPECT_TRUE(nettest::ReadExactly(clients[i], &c, 1, 2000));
    }
    for (int fd : clients) close(fd);
}

TEST(ConnectionManager, ConnectAtTheLimitFailsThroughTheListenerInsteadOfStopping) {
    nettest::LogCapture log;
    nettest::Server server(2);
    int a = -1, b = -1;
    ASSERT_NE(nullptr, server.Accept(&a));
    ASSERT_NE(nullptr, server.Accept(&b));
    HConnection h = server.mgr.Connect("localhost", server.port, false);
    ASSERT_NE(nullptr, h);
    EXPECT_EQ(1, log.Count("Max connections exceeded in connect"));
    server.mgr.Dispatch();
    Event e;
    ASSERT_TRUE(server.listener.FindDisconnect(h, &e));
    EXPECT_EQ(0x10000002, e.reason);
    close(a);
    close(b);
}

TEST(ConnectionManager, ConnectionFailingBeforeItsAnnouncementGivesBothEventsInOneDispatch) {
    nettest::Server server;
    HConnection h = server.mgr.Connect("::1", 80, false);  // no IPv4 address: resolution fails
    OS_Sleep(400);  // a numeric name fails within microseconds; no Dispatch meanwhile
    std::vector<Event> before = server.listener.Events();
    EXPECT_TRUE(before.empty());
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
}

TEST(ConnectionManager, ListenerRegisteredTwiceIsRemovedCompletely) {
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

TEST(ConnectionManager, FindConnectionAcceptsOnlyTheExactIdText) {
    nettest::Server server;
    int client = -1;
    HConnection h = server.Accept(&client);
    ASSERT_NE(nullptr, h);
    CString id = server.mgr.GetConnectionId(h);
    EXPECT_EQ(CString("0"), id);
    EXPECT_EQ(h, server.mgr.FindConnection(id));
    EXPECT_EQ(nullptr, server.mgr.FindConnection(""));
    EXPECT_EQ(nullptr, server.mgr.FindConnection("00"));
    EXPECT_EQ(nullptr, server.mgr.FindConnection(" 0"));
    EXPECT_EQ(nullptr, server.mgr.FindConnection("0x"));
    EXPECT_EQ(nullptr, server.mgr.FindConnection("99999999999"));
    server.mgr.Disconnect(h, false);
    server.mgr.Dispatch();
    EXPECT_TRUE(nettest::WaitUntil([&] { return server.mgr.FindConnection(id) == nullptr; }, 3000));
    close(client);
}

TEST(ConnectionManager, IdCounterWrapsToOneAndSkipsIdsStillInUse) {
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

TEST(ConnectionManager, DispatchWithASignalRunsTheLoopOnTheCallersThread) {
    nettest::Server server;
    int client = nettest::ConnectClient(server.port);
    ASSERT_GE(client, 0);
    CSignal signal(false);
    // With a time-out: returns by itself and has announced the peer.
    server.mgr.Dispatch(signal, 300);
    EXPECT_EQ(1, server.listener.Count(Event::CONNECT));
    EXPECT_FALSE(server.mgr.IsThreadPresent());  // the socket thread is gone for good
    // Without: returns once the signal is set, and clears it.
    std::thread setter([&] {
        OS_Sleep(200);
        signal.SetSignal();
    });
    server.mgr.Dispatch(signal, 0);
    setter.join();
    EXPECT_FALSE(signal.CheckSignal());
    // The loop still serves the peer.
    HConnection h = server.listener.Connected(0);
    ASSERT_TRUE(nettest::WriteAll(client, "abc", 3));
    for (int i = 0; i < 20 && server.listener.DataOf(h) != "abc"; i++) server.mgr.Dispatch(signal, 100);
    EXPECT_EQ("abc", server.listener.DataOf(h));
    close(client);
}

TEST(ConnectionManager, LoggerSeesTheConnectionsTexts) {
    nettest::Server server;
    nettest::RecordingLogger logger;
    server.mgr.SetLogger(&logger);
    int client = -1;
    HConnection h = server.Accept(&client);
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
    close(client);
}

TEST(ConnectionManager, ShutdownWithOpenConnectionsCallsNoListenerAndClosesEverything) {
    nettest::Server server;
    int a = -1, b = -1;
    ASSERT_NE(nullptr, server.Accept(&a));
    ASSERT_NE(nullptr, server.Accept(&b));
    HConnection hb = server.listener.Connected(1);
    std::string big(2 * 1024 * 1024, 'z');  // leaves queued blocks behind
    server.mgr.SendData(hb, big.data(), static_cast<int>(big.size()));
    int c = nettest::ConnectClient(server.port);  // accepted, maybe not announced
    server.mgr.Connect("localhost", server.port, false);  // resolving or connecting
    server.mgr.Connect("127.0.0.1", nettest::ClosedPort(), true);
    size_t eventsBefore = server.listener.Events().size();
    server.mgr.Shutdown();
    server.shutDown = true;
    EXPECT_EQ(eventsBefore, server.listener.Events().size());
    EXPECT_TRUE(nettest::WaitForEof(a, 2000));
    EXPECT_TRUE(nettest::ReadUntilEof(b, nullptr, 5000));
    close(a);
    close(b);
    close(c);
    EXPECT_EQ(-1, nettest::ConnectClient(server.port));
}

TEST(ConnectionManager, ManagerCanBeInitialisedAgainAfterShutdown) {
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
