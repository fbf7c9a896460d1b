// Descriptor limits: well over 1024 descriptors, a descriptor beyond the
// manager's 4096, and accept failing for lack of descriptors.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/common/src/network/nettest.h"

using nettest::Event;

namespace {

// Raises the soft open-files limit to at least want; false when the hard
// limit does not allow it.
bool RaiseFileLimit(rlim_t want) {
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return false;
    if (rl.rlim_cur >= want) return true;
    if (rl.rlim_max != RLIM_INFINITY && rl.rlim_max < want) return false;
    rl.rlim_cur = want;
    return setrlimit(RLIMIT_NOFILE, &rl) == 0;
}

double CpuSeconds() {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

TEST(ConnectionManagerLimits, ServesWellOverAThousandConnections) {
    const int count = 1200;
    if (!RaiseFileLimit(2 * count + 200)) GTEST_SKIP() << "open-files hard limit too low for " << count << " peers";
    nettest::Server server(4096);
    server.listener.recordData = true;
    std::vector<int> clients;
    while (static_cast<int>(clients.size()) < count) {
        // The backlog holds 10: keep only a few unaccepted peers waiting.
        int announced = server.listener.Count(Event::CONNECT);
        while (static_cast<int>(clients.size()) < count && static_cast<int>(clients.size()) - announced < 8) {
            int fd = nettest::ConnectClient(server.port);
            ASSERT_GE(fd, 0);
            clients.push_back(fd);
        }
        server.mgr.Dispatch();
    }
    ASSERT_TRUE(
        nettest::PumpUntil(server.mgr, [&] { return server.listener.Count(Event::CONNECT) == count; }, 20000));
    // The newest connections sit far above descriptor 1024: they must work
    // both ways like the first one.
    int highest = 0;
    for (int i : {0, count - 3, count - 2, count - 1}) {
        HConnection h = server.listener.Connected(i);
        int s = static_cast<CTCPIPConnection*>(h)->GetSocket();
        if (s > highest) highest = s;
        std::string text = "to " + std::to_string(i);
        server.mgr.SendData(h, text.data(), static_cast<int>(text.size()));
    }
    EXPECT_GT(highest, 2000);
    for (int i : {0, count - 3, count - 2, count - 1}) {
        std::string text = "to " + std::to_string(i);
        std::string got(text.size(), 0);
        ASSERT_TRUE(nettest::ReadExactly(clients[static_cast<size_t>(i)], &got[0], got.size(), 5000));
        EXPECT_EQ(text, got);
        ASSERT_TRUE(nettest::WriteAll(clients[static_cast<size_t>(i)], "up", 2));
    }
    HConnection last = server.listener.Connected(count - 1);
    ASSERT_TRUE(nettest::PumpUntil(server.mgr, [&] { return server.listener.DataOf(last) == "up"; }, 5000));
    EXPECT_EQ("up", server.listener.DataOf(server.listener.Connected(0)));
    close(clients.back());
    ASSERT_TRUE(nettest::PumpUntil(server.mgr, [&] { return server.listener.FindDisconnect(last, nullptr); }, 5000));
    for (int fd : clients) close(fd);
}

TEST(ConnectionManagerLimits, AcceptedDescriptorBeyondTheSetsIsClosedAtOnce) {
    if (!RaiseFileLimit(TCPIP_DESCRIPTOR_LIMIT + 64)) GTEST_SKIP() << "open-files hard limit too low";
    nettest::LogCapture log;
    nettest::Server server;
    int client = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(client, 0);
    // Occupy every descriptor below 4096, so accept hands out 4096 or more.
    int base = open("/dev/null", O_RDONLY);
    std::vector<int> fillers{base};
    for (;;) {
        int fd = dup(base);
        ASSERT_GE(fd, 0);
        fillers.push_back(fd);
        if (fd >= TCPIP_DESCRIPTOR_LIMIT - 1) break;
    }
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(server.port));
    ASSERT_EQ(0, connect(client, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)));
    EXPECT_TRUE(nettest::WaitUntil([&] { return log.Count("FD_SETSIZE exceeded") == 1; }, 3000));
    EXPECT_TRUE(nettest::WaitForEof(client, 2000));
    for (int fd : fillers) close(fd);
    server.mgr.Dispatch();
    EXPECT_EQ(0, server.listener.Count(Event::CONNECT));
    close(client);
}

TEST(ConnectionManagerLimits, FailingAcceptRestsTheListenerWhileServedConnectionsGoOn) {
    nettest::LogCapture log;
    nettest::Server server;
    int served = -1;
    HConnection h = server.Accept(&served);
    ASSERT_NE(nullptr, h);
    int pending = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(pending, 0);
    struct rlimit saved;
    getrlimit(RLIMIT_NOFILE, &saved);
    // No descriptor left: the lowest free one becomes the limit.
    int probe = open("/dev/null", O_RDONLY);
    ASSERT_GE(probe, 0);
    close(probe);
    struct rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(probe);
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &tight));

    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(server.port));
    bool connected = connect(pending, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) == 0;
    double cpuBefore = CpuSeconds();
    // For more than a second the served connection keeps working.
    for (int i = 0; i < 6; i++) {
        server.mgr.SendData(h, "p", 1);
        char c;
        EXPECT_TRUE(nettest::ReadExactly(served, &c, 1, 2000));
        EXPECT_TRUE(nettest::WriteAll(served, "q", 1));
        // Deliberate: time passes while the listener keeps failing.
        OS_Sleep(200);
        server.mgr.Dispatch();
    }
    double cpuUsed = CpuSeconds() - cpuBefore;
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &saved));
    ASSERT_TRUE(connected);
    EXPECT_EQ(1, log.Count("TCPIP: accept failed on errno 0x0018"));  // EMFILE, logged once
    EXPECT_LT(cpuUsed, 0.6);  // a spinning socket thread would burn the whole 1.2 s
    EXPECT_EQ("qqqqqq", server.listener.DataOf(h));
    // With descriptors back, the waiting peer is served after the rest.
    ASSERT_TRUE(nettest::PumpUntil(server.mgr, [&] { return server.listener.Count(Event::CONNECT) == 2; }, 3000));
    close(pending);
    close(served);
}
