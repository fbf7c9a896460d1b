// The socket thread's wait: hang-ups and resets as the classic readable and
// writable conditions, descriptor numbers handed to a new peer while the old
// connection's report is still pending, and changes made by other threads
// waking the wait instead of lying until it times out.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "tests/common/src/network/nettest.h"

using nettest::Event;

namespace {

double CpuSeconds() {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Closes fd with a reset instead of an orderly end of stream.
void Reset(int fd) {
    struct linger hard = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
    close(fd);
}

int SocketOf(HConnection h) { return static_cast<CTCPIPConnection*>(h)->GetSocket(); }

}  // namespace

TEST(ConnectionManagerWait, ResetByThePeerEndsTheConnectionOnceWithoutSpinning) {
    nettest::Server server;
    int client = -1;
    HConnection h = server.Accept(&client);
    ASSERT_NE(nullptr, h);
    double cpuBefore = CpuSeconds();
    Reset(client);
    ASSERT_TRUE(nettest::PumpUntil(server.mgr, [&] { return server.listener.FindDisconnect(h, nullptr); }, 5000));
    Event e;
    server.listener.FindDisconnect(h, &e);
    EXPECT_TRUE(e.forced);
    EXPECT_EQ(0x10000002, e.reason);  // nothing was ever exchanged
    // The reported error and the hang-up after it must not keep the wait
    // returning at once: deliberately let 300 ms pass and count.
    OS_Sleep(300);
    server.mgr.Dispatch();
    EXPECT_EQ(1, server.listener.CountFor(Event::DISCONNECT, h));
    EXPECT_LT(CpuSeconds() - cpuBefore, 0.25);
    EXPECT_TRUE(nettest::WaitUntil([&] { return server.mgr.GetConnectionCount() == 0; }, 3000));
}

TEST(ConnectionManagerWait, ResetWhileFlushingEndsTheFlushAtOnce) {
    nettest::Server server;
    int client = -1;
    HConnection h = server.Accept(&client);
    ASSERT_NE(nullptr, h);
    nettest::SmallBuffers(client);
    std::string chunk(1024 * 1024, 'f');
    for (int i = 0; i < 16 && server.mgr.GetQueuedBytes(h) == 0; i++) {
        server.mgr.SendData(h, chunk.data(), static_cast<int>(chunk.size()));
    }
    ASSERT_GT(server.mgr.GetQueuedBytes(h), 0);
    server.mgr.Disconnect(h, true);
    server.mgr.Dispatch();
    ASSERT_TRUE(server.listener.FindDisconnect(h, nullptr));
    EXPECT_EQ(1, server.mgr.GetConnectionCount());  // still flushing
    double cpuBefore = CpuSeconds();
    Reset(client);
    // Not the 60 s flush period: the hang-up makes the socket writable and
    // the failing send ends it.
    EXPECT_TRUE(nettest::WaitUntil([&] { return server.mgr.GetConnectionCount() == 0; }, 3000));
    EXPECT_LT(CpuSeconds() - cpuBefore, 1.0);
}

TEST(ConnectionManagerWait, DescriptorNumberReusedByANewPeerBelongsToTheNewConnection) {
    nettest::Server server;
    int first = -1;
    HConnection old = server.Accept(&first);
    ASSERT_NE(nullptr, old);
    int number = SocketOf(old);
    // The new peer's own socket first, so that the number freed below goes
    // to the manager's next accept.
    int second = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(second, 0);
    // Closed now, reported only at the next Dispatch(): the old handle is
    // alive while its descriptor number is free again.
    server.mgr.Disconnect(old, false);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(server.port));
    ASSERT_EQ(0, connect(second, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)));
    // Accepted while the old connection, unreported, still exists (so the
    // two handles differ), then both events in one Dispatch().
    ASSERT_TRUE(nettest::WaitUntil([&] { return server.mgr.GetConnectionCount() == 2; }, 5000));
    ASSERT_TRUE(nettest::PumpUntil(server.mgr, [&] { return server.listener.Count(Event::CONNECT) == 2; }, 5000));
    HConnection fresh = server.listener.Connected(1);
    ASSERT_NE(old, fresh);
    EXPECT_EQ(number, SocketOf(fresh));
    ASSERT_TRUE(nettest::WriteAll(second, "new", 3));
    ASSERT_TRUE(nettest::PumpUntil(server.mgr, [&] { return server.listener.DataOf(fresh) == "new"; }, 5000));
    EXPECT_EQ("", server.listener.DataOf(old));
    server.mgr.SendData(fresh, "back", 4);
    char buf[4];
    ASSERT_TRUE(nettest::ReadExactly(second, buf, 4, 3000));
    EXPECT_EQ("back", std::string(buf, 4));
    EXPECT_EQ(1, server.listener.CountFor(Event::DISCONNECT, old));
    EXPECT_EQ(0, server.listener.CountFor(Event::DISCONNECT, fresh));
    EXPECT_TRUE(nettest::WaitUntil([&] { return server.mgr.GetConnectionCount() == 1; }, 3000));
    close(first);
    close(second);
}

TEST(ConnectionManagerThreads, OutgoingConnectionIsStartedWithoutWaitingOutTheIdleWait) {
    nettest::Server server;
    int port = 0;
    int listener = nettest::ListenLoopback(&port);
    ASSERT_GE(listener, 0);
    for (int round = 0; round < 3; round++) {
        OS_Sleep(50);  // deliberate: lets the socket thread go idle in its wait
        auto start = std::chrono::steady_clock::now();
        // Announced at once on this thread; the socket thread must notice.
        HConnection h = server.mgr.Connect("127.0.0.1", port, true);
        ASSERT_NE(nullptr, h);
        server.mgr.SendData(h, "hi", 2);  // queued until the connect
        int peer = accept(listener, nullptr, nullptr);
        ASSERT_GE(peer, 0);
        char buf[2];
        ASSERT_TRUE(nettest::ReadExactly(peer, buf, 2, 3000));
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        // The idle wait is 500 ms; being woken is far quicker.
        EXPECT_LT(ms.count(), 400) << "round " << round;
        EXPECT_EQ("hi", std::string(buf, 2));
        server.mgr.Disconnect(h, false);
        close(peer);
        server.mgr.Dispatch();
    }
    close(listener);
}
