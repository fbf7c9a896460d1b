// The manager under concurrent use (also run under ThreadSanitizer): sends
// from several threads while the socket thread runs, callbacks under load,
// and shutdown racing resolver callbacks.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/common/src/network/nettest.h"

using nettest::Event;

namespace {

// Record: thread id (1 byte), sequence (4), payload length (2), payload
// bytes derived from id and sequence.
std::string MakeRecord(int tid, uint32_t seq) {
    uint16_t len = static_cast<uint16_t>(1 + (seq * 37 + static_cast<uint32_t>(tid) * 11) % 700);
    std::string r(7 + len, 0);
    r[0] = static_cast<char>(tid);
    memcpy(&r[1], &seq, 4);
    memcpy(&r[5], &len, 2);
    for (uint16_t i = 0; i < len; i++) r[7 + i] = static_cast<char>((tid * 31 + seq + i) & 0xFF);
    return r;
}

// Runs Dispatch() every millisecond until stopped (an owner's cadence).
struct Pump {
    explicit Pump(CTCPIPConnectionManager& mgr)
        : thread([this, &mgr] {
              while (!stop) {
                  mgr.Dispatch();
                  OS_Sleep(1);
              }
          }) {}
    ~Pump() {
        stop = true;
        thread.join();
    }
    std::atomic<bool> stop{false};
    std::thread thread;
};

}  // namespace

TEST(ConnectionManagerThreads, SendDataFromSeveralThreadsArrivesWholeAndInOrder) {
    const int threads = 4;
    const uint32_t records = 1500;
    nettest::Server server;
    int client = -1;
    HConnection h = server.Accept(&client);
    ASSERT_NE(nullptr, h);

    std::atomic<long long> expectedBytes{0};
    std::atomic<bool> readerOk{true};
    std::atomic<long long> readBytes{0};
    std::thread reader([&] {
        uint32_t next[threads] = {0, 0, 0, 0};
        std::string buffer;
        char chunk[65536];
        uint32_t done = 0;
        while (done < threads * records) {
            if (!nettest::ReadExactly(client, chunk, 1, 20000)) {
                readerOk = false;
                return;
            }
            ssize_t r = recv(client, chunk + 1, sizeof(chunk) - 1, MSG_DONTWAIT);
            buffer.append(chunk, static_cast<size_t>(1 + (r > 0 ? r : 0)));
            readBytes += 1 + (r > 0 ? r : 0);
            size_t pos = 0;
            while (buffer.size() - pos >= 7) {
                uint16_t len;
                memcpy(&len, &buffer[pos + 5], 2);
                if (buffer.size() - pos < 7u + len) break;
                int tid = buffer[pos];
                uint32_t seq;
                memcpy(&seq, &buffer[pos + 1], 4);
                if (tid < 0 || tid >= threads || seq != next[tid] ||
                    buffer.compare(pos, 7u + len, MakeRecord(tid, seq)) != 0) {
                    readerOk = false;
                    return;
                }
                next[tid]++;
                done++;
                pos += 7u + len;
            }
            buffer.erase(0, pos);
        }
    });
    {
        Pump pump(server.mgr);
        std::vector<std::thread> senders;
        for (int t = 0; t < threads; t++) {
            senders.emplace_back([&, t] {
                for (uint32_t seq = 0; seq < records; seq++) {
                    std::string r = MakeRecord(t, seq);
                    server.mgr.SendData(h, r.data(), static_cast<int>(r.size()));
                    expectedBytes += static_cast<long long>(r.size());
                }
            });
        }
        for (std::thread& s : senders) s.join();
        reader.join();
    }
    EXPECT_TRUE(readerOk.load());
    EXPECT_EQ(expectedBytes.load(), readBytes.load());
    EXPECT_EQ(static_cast<int>(expectedBytes.load()), server.mgr.GetDataSent(h));
    EXPECT_EQ(0, server.mgr.GetQueuedBytes(h));
    EXPECT_FALSE(server.listener.Overlapped());
    close(client);
}

TEST(ConnectionManagerThreads, CallbacksNeverOverlapWhilePeersComeGoAndEcho) {
    nettest::Server server;
    // Echo everything from inside ClientData (allowed: SendData takes only the connection lock).
    server.listener.recordData = false;
    server.listener.onData = [&](HConnection h, void* data, int length) { server.mgr.SendData(h, data, length); };
    std::atomic<bool> stop{false};
    std::atomic<int> echoes{0};
    std::atomic<int> churned{0};
    std::atomic<bool> echoOk{true};
    std::vector<std::thread> peers;
    {
        Pump pump(server.mgr);
        for (int p = 0; p < 3; p++) {
            peers.emplace_back([&, p] {
                int fd = nettest::ConnectClient(server.port);
                char out[64], in[64];
                for (int i = 0; !stop; i++) {
                    int n = snprintf(out, sizeof(out), "peer %d message %d", p, i);
                    if (!nettest::WriteAll(fd, out, static_cast<size_t>(n)) ||
                        !nettest::ReadExactly(fd, in, static_cast<size_t>(n), 5000) || memcmp(in, out, static_cast<size_t>(n)) != 0) {
                        echoOk = false;
                        break;
                    }
                    echoes++;
                }
                close(fd);
            });
        }
        // Churn: short-lived peers that connect, say something and leave.
        peers.emplace_back([&] {
            while (!stop) {
                int fd = nettest::ConnectClient(server.port);
                nettest::WriteAll(fd, "bye", 3);
                OS_Sleep(5);  // a short life, not a wait for anything
                close(fd);
                churned++;
            }
        });
        // Load enough to interleave the callbacks many times over.
        EXPECT_TRUE(nettest::WaitUntil([&] { return echoes >= 300 && churned >= 30; }, 20000));
        stop = true;
        for (std::thread& t : peers) t.join();
    }
    EXPECT_TRUE(echoOk.load());
    EXPECT_FALSE(server.listener.Overlapped());
    // Every announced connection that ended was reported once.
    nettest::PumpUntil(server.mgr, [&] {
        return server.listener.Count(Event::DISCONNECT) == server.listener.Count(Event::CONNECT);
    }, 5000);
    EXPECT_EQ(server.listener.Count(Event::CONNECT), server.listener.Count(Event::DISCONNECT));
}

TEST(ConnectionManagerThreads, ShutdownRacingResolverCallbacksNeitherHangsNorLeaks) {
    for (int round = 0; round < 5; round++) {
        CTCPIPConnectionManager mgr(64);
        mgr.Init();
        nettest::RecordingListener l;
        mgr.AddListener(&l, false);
        int port = mgr.Host(0);
        for (int i = 0; i < 8; i++) mgr.Connect(i % 2 ? "localhost" : "::1", port, i % 3 == 0);
        if (round % 2) mgr.Dispatch();
        size_t before = l.Events().size();
        mgr.Shutdown();
        EXPECT_EQ(before, l.Events().size());
    }
}

TEST(ConnectionManagerThreads, DisconnectFromAnotherThreadDuringTrafficIsReportedOnce) {
    nettest::Server server;
    server.listener.recordData = false;
    int client = -1;
    HConnection h = server.Accept(&client);
    ASSERT_NE(nullptr, h);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        char buf[512] = {0};
        while (!stop && nettest::WriteAll(client, buf, sizeof(buf))) {
        }
    });
    // Races the socket thread's receives; nothing dispatches yet, so the
    // handle stays valid until the pump below reports the disconnect.
    std::thread sender([&] {
        for (int i = 0; i < 200; i++) server.mgr.SendData(h, "s", 1);
        server.mgr.Disconnect(h, false);
        for (int i = 0; i < 200; i++) server.mgr.SendData(h, "t", 1);  // dropped
    });
    sender.join();
    {
        Pump pump(server.mgr);
        ASSERT_TRUE(nettest::WaitUntil([&] { return server.listener.FindDisconnect(h, nullptr); }, 5000));
        stop = true;
        shutdown(client, SHUT_RDWR);
        writer.join();
    }
    EXPECT_EQ(1, server.listener.CountFor(Event::DISCONNECT, h));
    close(client);
}
