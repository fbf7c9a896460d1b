// Sends made from inside a receive burst: held back and sent once per
// connection after it, in order and at once; the queue bounds still apply to
// what is held back; a peer that resets during a burst ends only itself.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>

#include "tests/common/src/network/nettest.h"

using namespace nettest;

namespace {

class ConnectionManagerBurst : public ManagerTest {};

std::string Pattern(size_t n) {
    std::string s(n, 0);
    for (size_t i = 0; i < n; i++) s[i] = static_cast<char>('a' + i % 23);
    return s;
}

}  // namespace

TEST_F(ConnectionManagerBurst, RepliesFromInsideAReceiveLeaveTogetherInOrderAndAtOnce) {
    RecordingLogger logger;
    server.mgr.SetLogger(&logger);
    // Every received block goes back in ten pieces, each its own SendData.
    server.listener.onData = [&](HConnection h, void* data, int length) {
        int piece = (length + 9) / 10;
        for (int at = 0; at < length; at += piece) {
            server.mgr.SendData(h, static_cast<char*>(data) + at, std::min(piece, length - at));
        }
    };
    int peer = -1;
    HConnection h = AcceptPeer(&peer);
    ASSERT_NE(nullptr, h);
    const std::string message = Pattern(3000);
    std::string echo(message.size(), 0);
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(WriteAll(peer, message.data(), message.size()));
    ASSERT_TRUE(ReadExactly(peer, &echo[0], echo.size(), 5000));
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(message, echo);
    // Well inside one wait of the socket thread (500 ms): sent after the
    // burst, not at a later pass.
    EXPECT_LT(ms, 250.0);
    int pieces = logger.Count("TCPIP: Queue data");
    EXPECT_GE(pieces, 10);
    EXPECT_EQ(0, logger.Count("TCPIP: Pre-sent data"));
    EXPECT_LE(logger.Count("TCPIP: Sending data"), pieces / 10) << "one send per burst";
    // Another thread's send still goes out directly.
    server.mgr.SendData(h, "x", 1);
    EXPECT_EQ(1, logger.Count("TCPIP: Pre-sent data"));
    char x = 0;
    EXPECT_TRUE(ReadExactly(peer, &x, 1, 5000));
    server.mgr.SetLogger(nullptr);
}

// What a burst holds back counts against the destination's queue bounds.
TEST_F(ConnectionManagerBurst, HeldBackDataCountsAgainstTheQueueBounds) {
    int sleeper = -1, sender = -1;
    HConnection hSleeper = AcceptPeer(&sleeper);
    ASSERT_NE(nullptr, hSleeper);
    SmallBuffers(sleeper);
    const std::string chunk(16384, 'c');
    std::atomic<int> accepted{0}, refused{0};
    server.listener.onData = [&](HConnection h, void*, int) {
        if (h == hSleeper) return;
        for (int i = 0; i < 20; i++) {
            bool queued = server.mgr.SendDataBounded(hSleeper, chunk.data(), static_cast<int>(chunk.size()), 65536,
                                                     131072, 2000);
            (queued ? accepted : refused)++;
        }
    };
    HConnection hSender = AcceptPeer(&sender);
    ASSERT_NE(nullptr, hSender);
    ASSERT_TRUE(WriteAll(sender, "go", 2));
    ASSERT_TRUE(WaitUntil([&] { return accepted + refused == 20; }, 5000));
    EXPECT_EQ(8, accepted) << "131072 bytes of held-back data fill the hard bound";
    EXPECT_EQ(12, refused);
}

TEST_F(ConnectionManagerBurst, QueueAboveItsLevelPastTheGraceIsRefusedAndOneThatFallsIsNot) {
    int peer = -1;
    HConnection h = AcceptPeer(&peer);
    ASSERT_NE(nullptr, h);
    FillQueue(h);  // the kernel's buffers are full; our queue holds the rest
    const std::string chunk(4000, 'g');
    // Past the hard bound: refused at once, and nothing queued.
    int before = server.mgr.GetQueuedBytes(h);
    EXPECT_FALSE(server.mgr.SendDataBounded(h, chunk.data(), 4000, 1000, before + 2000, 2000));
    EXPECT_EQ(before, server.mgr.GetQueuedBytes(h));
    int level = before + 1000;
    // Above the level, within its grace: taken.
    EXPECT_TRUE(server.mgr.SendDataBounded(h, chunk.data(), 4000, level, level * 4, 2000));
    EXPECT_TRUE(AdvanceUntil(1500, [&] { return true; }));
    EXPECT_TRUE(server.mgr.SendDataBounded(h, chunk.data(), 4000, level, level * 4, 2000));
    // Past the grace without falling back: refused.
    before = server.mgr.GetQueuedBytes(h);
    EXPECT_TRUE(AdvanceUntil(600, [&] { return true; }));
    EXPECT_FALSE(server.mgr.SendDataBounded(h, chunk.data(), 4000, level, level * 4, 2000));
    EXPECT_EQ(before, server.mgr.GetQueuedBytes(h));
    // The reader drains everything: below the level again, so taken again.
    size_t drained = 0;
    ASSERT_TRUE(WaitUntil(
        [&] {
            char buf[65536];
            for (ssize_t r; (r = recv(peer, buf, sizeof buf, MSG_DONTWAIT)) > 0;) drained += static_cast<size_t>(r);
            return server.mgr.GetQueuedBytes(h) == 0;
        },
        10000));
    EXPECT_TRUE(server.mgr.SendDataBounded(h, chunk.data(), 4000, level, level * 4, 2000));
}

TEST_F(ConnectionManagerBurst, PeerThatResetsDuringABurstEndsOnlyItself) {
    int a = -1, b = -1, c = -1;
    HConnection hA = AcceptPeer(&a), hB = AcceptPeer(&b), hC = AcceptPeer(&c);
    ASSERT_TRUE(hA && hB && hC);
    // Everything A sends goes to B and C from inside the receive.
    server.listener.onData = [&](HConnection h, void* data, int length) {
        if (h != hA) return;
        server.mgr.SendData(hC, data, length);
        server.mgr.SendData(hB, data, length);
    };
    struct linger abort = {1, 0};
    setsockopt(c, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    close(c);
    peers.erase(std::find(peers.begin(), peers.end(), c));
    const std::string message = Pattern(5000);
    for (int round = 0; round < 3; round++) {
        ASSERT_TRUE(WriteAll(a, message.data(), message.size()));
        std::string got(message.size(), 0);
        ASSERT_TRUE(ReadExactly(b, &got[0], got.size(), 5000));
        EXPECT_EQ(message, got);
    }
    Event end = AwaitDisconnect(hC);
    EXPECT_EQ(Event::DISCONNECT, end.kind);
    EXPECT_TRUE(end.forced);
    Event none;
    EXPECT_FALSE(server.listener.FindDisconnect(hA, &none));
    EXPECT_FALSE(server.listener.FindDisconnect(hB, &none));
}
