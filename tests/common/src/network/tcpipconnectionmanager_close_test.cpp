// How a connection's socket ends at the kernel. A drop (no flush, a failure,
// a time-out, a flush given up with data queued, shutdown) aborts: the peer
// gets a reset instead of the rest and an end of stream, and no socket is
// left behind holding a send queue for a peer that does not read. A flush
// that drained our queue closes in order (tested with the flush itself).
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "tests/common/src/network/nettest.h"

namespace {

class ConnectionManagerDrop;

struct DropCase {
    const char* name;
    std::function<void(ConnectionManagerDrop&, HConnection)> drop;  // returns once the socket is closed
};

void PrintTo(const DropCase& c, std::ostream* os) { *os << c.name; }

class ConnectionManagerDrop : public nettest::ManagerTest, public ::testing::WithParamInterface<DropCase> {
public:
    bool Reported(HConnection h) { return server.listener.FindDisconnect(h, nullptr); }
    bool Destroyed() { return server.mgr.GetConnectionCount() == 0; }
    using ManagerTest::AdvanceUntil;
    using ManagerTest::server;
};

}  // namespace

TEST_P(ConnectionManagerDrop, AbortsTheSocketSoTheKernelKeepsNothingForThePeer) {
    int peer = -1;
    HConnection h = AcceptPeer(&peer);
    ASSERT_NE(nullptr, h);
    // A slow reader: small buffers at its end, and it reads nothing.
    nettest::SmallBuffers(peer);
    int peerPort = nettest::LocalPort(peer);
    size_t sent = FillQueue(h);
    // Our kernel holds unsent data for it too: what a plain close would leave
    // behind in FIN-WAIT-1.
    ASSERT_TRUE(nettest::WaitUntil([&] { return nettest::KernelSendQueue(server.port, peerPort) > 0; }, 3000));

    GetParam().drop(*this, h);

    // The socket is gone at once, not lingering with its queue.
    EXPECT_TRUE(nettest::WaitUntil([&] { return nettest::KernelSendQueue(server.port, peerPort) <= 0; }, 3000))
        << "send queue left: " << nettest::KernelSendQueue(server.port, peerPort);
    size_t received = 0;
    EXPECT_EQ(nettest::PEER_RESET, nettest::ReadToEnd(peer, &received, 5000));
    EXPECT_LT(received, sent);
}

INSTANTIATE_TEST_SUITE_P(
    Ways, ConnectionManagerDrop,
    ::testing::Values(
        DropCase{"ClientError", [](ConnectionManagerDrop& self, HConnection h) { self.server.mgr.ClientError(h, 0x20000001); }},
        DropCase{"DisconnectWithoutFlush",
                 [](ConnectionManagerDrop& self, HConnection h) { self.server.mgr.Disconnect(h, false); }},
        DropCase{"SendStallTimeOut",
                 [](ConnectionManagerDrop& self, HConnection h) {
                     ASSERT_TRUE(self.AdvanceUntil(361000, [&] { return self.Reported(h); }));
                 }},
        DropCase{"FlushTimeOutWithDataQueued",
                 [](ConnectionManagerDrop& self, HConnection h) {
                     self.server.mgr.Disconnect(h, true);
                     self.server.mgr.Dispatch();
                     ASSERT_TRUE(self.Reported(h));
                     ASSERT_GT(self.server.mgr.GetQueuedBytes(h), 0);
                     ASSERT_TRUE(self.AdvanceUntil(61000, [&] { return self.Destroyed(); }));
                 }},
        DropCase{"Shutdown",
                 [](ConnectionManagerDrop& self, HConnection) {
                     self.server.mgr.RemoveListener(&self.server.listener);
                     self.server.mgr.Shutdown();
                     self.server.shutDown = true;
                 }}),
    [](const ::testing::TestParamInfo<DropCase>& caseInfo) { return std::string(caseInfo.param.name); });
