// echoclient HOST PORT: checks an echo server (echoserver) over the message
// layer: connects, waits for the handshake, sends messages of several sizes
// (empty, small, and larger than one 64 KiB send block), reads each echo
// back with RecvMessage and compares it, then waits for the round trip of a
// ping. Prints one line ending in OK (exit status 0) or FAIL (exit status 1).
// Every wait is bounded.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/src/cbase.h"
#include "common/src/network/messagemanager.h"
#include "common/src/network/tcpipconnectionmanager.h"
#include "common/src/osutils.h"

static const DWORD kEchoType = 0x00000100;
static const int kWaitMs = 5000;
static const int kRecvSeconds = 5;
static const int kSizes[] = {0, 1, 17, 1000, 200000};

// Watches the one connection and collects ping results; called on this
// program's only pumping thread (the main thread).
class CWatcher : public IConnectionManagerListener, public IMessageManagerCallback {
public:
    CWatcher() : m_bClosed(false), m_PingMs(-1) {}
    void ClientConnect(HConnection) override {}
    void ClientDisconnect(HConnection, bool, int reason) override {
        m_bClosed = true;
        m_Reason = reason;
    }
    void ReceivedMessage(HConnection, CMessage&) override {}
    void PingResult(HConnection, unsigned int msec) override { m_PingMs = static_cast<int>(msec); }

    bool m_bClosed;
    int m_Reason = 0;
    int m_PingMs;  // -1 until a reply came
};

static double MsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// Runs the client against host:port; the text of the result line.
static bool Run(const char* host, int port, char* line, size_t size) {
    CTCPIPConnectionManager connections(4);
    connections.Init();
    CWatcher watcher;
    connections.AddListener(&watcher, false);
    // Re-send the first handshake record until the server answers; pings on
    // (the first goes out when the handshake completes).
    CMessageManager* pMessages = new CMessageManager(&connections, true, true, 65536);
    pMessages->RegisterPingCallback(&watcher);

    bool ok = false;
    auto start = std::chrono::steady_clock::now();
    HConnection h = connections.Connect(host, port, false);
    while (!watcher.m_bClosed && pMessages->GetStatus(h) != STATUS_CONNECTED && MsSince(start) < kWaitMs) {
        connections.DispatchWait(20);
    }
    double handshakeMs = MsSince(start);
    long long bytes = 0;
    int echoed = 0;
    if (watcher.m_bClosed) {
        snprintf(line, size, "connection ended (reason 0x%x) FAIL", watcher.m_Reason);
    } else if (pMessages->GetStatus(h) != STATUS_CONNECTED) {
        snprintf(line, size, "no handshake within %d ms FAIL", kWaitMs);
    } else {
        ok = true;
        for (int length : kSizes) {
            CMessage msg(kEchoType);
            for (int i = 0; i < length; i++) msg.WriteByte(static_cast<unsigned char>(i * 7 + length));
            pMessages->SendMessage(h, msg);
            CMessage reply;
            if (!pMessages->RecvMessage(h, reply, kEchoType, kRecvSeconds) || reply.Length() != msg.Length() ||
                (length > 0 && memcmp(reply.Data(), msg.Data(), length) != 0)) {
                snprintf(line, size, "the echo of %d bytes did not come back unchanged FAIL", length);
                ok = false;
                break;
            }
            bytes += length;
            echoed++;
        }
        // RecvMessage pumped the manager, so the ping may be in already.
        auto pingStart = std::chrono::steady_clock::now();
        while (ok && watcher.m_PingMs < 0 && !watcher.m_bClosed && MsSince(pingStart) < kWaitMs) {
            connections.DispatchWait(20);
        }
        if (ok && watcher.m_PingMs < 0) {
            snprintf(line, size, "no ping reply within %d ms FAIL", kWaitMs);
            ok = false;
        } else if (ok) {
            snprintf(line, size, "handshake %.1f ms, %d messages echoed (%lld bytes), ping round trip %d ms OK",
                     handshakeMs, echoed, bytes, watcher.m_PingMs);
        }
    }
    // Reverse order: the message manager before the connection manager stops.
    delete pMessages;
    connections.RemoveListener(&watcher);
    connections.Shutdown();
    return ok;
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: echoclient HOST PORT\n");
        return 1;
    }
    Log_Init(nullptr, true, nullptr);
    OS_Init(nullptr);
    char line[256];
    bool ok = Run(argv[1], atoi(argv[2]), line, sizeof line);
    OS_DeInit();
    printf("echoclient %s:%s: %s\n", argv[1], argv[2], line);
    return ok ? 0 : 1;
}
