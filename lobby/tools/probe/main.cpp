// natbridge-probe HOST PORT: checks a running relay end to end. Registers two
// clients, relays a packet from one to the other, measures the echo round
// trip, and prints one line ending in OK or FAIL (exit status 0 or 1).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lobby/common/relayclient.h"

static const int kTimeoutMs = 3000;
static const int kEchoRounds = 20;

static int Fail(const std::string& where, const std::string& why) {
    printf("natbridge-probe %s: %s FAIL\n", where.c_str(), why.c_str());
    return 1;
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: natbridge-probe HOST PORT\n");
        return 1;
    }
    std::string where = std::string(argv[1]) + ":" + argv[2];
    int port = atoi(argv[2]);
    if (port <= 0 || port > 65535) return Fail(where, "bad port");

    CRelayClient a, b;
    if (!a.Connect(argv[1], port, kTimeoutMs) || !b.Connect(argv[1], port, kTimeoutMs)) {
        return Fail(where, "cannot connect");
    }
    int uidA = a.Register(kTimeoutMs);
    int uidB = b.Register(kTimeoutMs);
    if (!uidA || !uidB) return Fail(where, "registration unanswered");

    const char payload[] = "natbridge-probe payload";
    if (!a.SendPacket(uidB, PH_TYPE_DATA, payload, sizeof payload)) return Fail(where, "send failed");
    CBuffer packet;
    if (!b.ReadPacket(packet, kTimeoutMs)) return Fail(where, "relayed packet did not arrive");
    ProxyHeader_t header;
    memcpy(&header, packet.Data(), sizeof header);
    if (header.uid != uidA || packet.Length() != kProxyHeaderSize + static_cast<int>(sizeof payload) ||
        memcmp(static_cast<char*>(packet.Data()) + kProxyHeaderSize, payload, sizeof payload) != 0) {
        return Fail(where, "relayed packet was altered");
    }
    int relayed = packet.Length();

    double best = 1e9, total = 0;
    for (int i = 0; i < kEchoRounds; i++) {
        auto start = std::chrono::steady_clock::now();
        if (!a.SendPacket(0, PH_TYPE_ECHO, &i, sizeof i)) return Fail(where, "echo send failed");
        if (!a.ReadPacket(packet, kTimeoutMs) || packet.Length() != kProxyHeaderSize + 4) {
            return Fail(where, "echo did not come back");
        }
        double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        best = ms < best ? ms : best;
        total += ms;
    }
    printf("natbridge-probe %s: registered %d and %d, relayed %d bytes, echo round trip %.3f ms (best %.3f ms) OK\n",
           where.c_str(), uidA, uidB, relayed, total / kEchoRounds, best);
    return 0;
}
