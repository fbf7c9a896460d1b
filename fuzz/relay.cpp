// libFuzzer target: arbitrary byte streams, cut at arbitrary points, from
// several clients into the relay's receive path. The input is read as a
// script of steps; each step picks a client (low two bits of its control
// byte) and either delivers the next chunk of bytes, repeats the last chunk
// many times (so small inputs reach megabyte streams and the buffer limits),
// disconnects and reconnects it, or lets virtual time pass and runs the
// relay's tick (login and packet time-outs). The limits are small enough for
// inputs to reach them: three clients share an address capped at two, and
// the memory budget is 2.5 MiB. Every crash, leak or sanitizer report, and
// buffered bytes still counted once every client is gone, is a bug in the
// relay.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "common/src/cbase.h"
#include "common/src/osutils.h"
#include "tests/support/relayharness.h"

namespace {

const int kClients = 4;

CHarnessRelay* Relay() {
    static CLobbyServer s_Host;
    static CHarnessRelay* s_pRelay = [] {
        Log_SetLevel(-1);  // the relay logs per event; keep the fuzzer quiet
        OS_Init(nullptr);
        ProxyLimits_t limits;
        limits.maxClientsPerAddress = 2;
        limits.maxMemory = 5 << 19;
        CHarnessRelay* pRelay = new CHarnessRelay(&s_Host, limits);
        pRelay->SetKey(1000, 7);
        pRelay->SetKey(1001, 8);
        return pRelay;
    }();
    return s_pRelay;
}

const char* Address(int client) { return client < 3 ? "10.0.0.1" : "10.0.0.2"; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CHarnessRelay* pRelay = Relay();
    for (int i = 0; i < kClients; i++) pRelay->ClientConnect(CHarnessRelay::Handle(i), Address(i));
    size_t pos = 0;
    std::string chunk;
    while (pos + 2 <= size) {
        uint8_t control = data[pos];
        int client = control % kClients;
        HConnection h = CHarnessRelay::Handle(client);
        if ((control & 0xF0) == 0xF0) {
            // A reconnect: the record goes, a fresh one comes.
            pRelay->ClientDisconnect(h, true, 0x10000001);
            pRelay->ClientConnect(h, Address(client));
            pos += 1;
            continue;
        }
        if ((control & 0xF0) == 0xD0) {
            // Up to 127.5 s of virtual time, then the tick.
            OS_TestAdvanceTickCount(data[pos + 1] * 500u);
            pRelay->Tick();
            pos += 2;
            continue;
        }
        if ((control & 0xF0) == 0xE0) {
            // The last chunk again, up to 16 x 255 times but not much past
            // the relay's 1 MiB input limit.
            int times = data[pos + 1] * 16;
            if (!chunk.empty() && static_cast<size_t>(times) * chunk.size() > (3u << 19)) {
                times = static_cast<int>((3u << 19) / chunk.size());
            }
            pos += 2;
            for (int i = 0; i < times && !chunk.empty(); i++) {
                std::string copy = chunk;
                pRelay->ClientData(h, &copy[0], static_cast<int>(copy.size()));
            }
            continue;
        }
        // The destination queue the transport sees: mostly empty, sometimes
        // near the hard bound, sometimes above the level past its grace.
        pRelay->m_Queued = (control & 0x08) ? kProxyHardQueueFactor * kProxyDefaultMaxQueue - 64 : 0;
        pRelay->m_bStalled = (control & 0x04) != 0;
        if (pRelay->m_bStalled) pRelay->m_Queued = kProxyDefaultMaxQueue;
        size_t length = data[pos + 1] * 16u + (control >> 4);
        pos += 2;
        if (length > size - pos) length = size - pos;
        if (length == 0) continue;
        // A copy, as the relay may rewrite the block in place like the
        // manager's receive buffer.
        chunk.assign(reinterpret_cast<const char*>(data + pos), length);
        pRelay->ClientData(h, &chunk[0], static_cast<int>(length));
        pos += length;
    }
    for (int i = 0; i < kClients; i++) pRelay->ClientDisconnect(CHarnessRelay::Handle(i), true, 0x10000001);
    if (pRelay->GetStats().bufferedBytes.load() != 0) __builtin_trap();
    pRelay->Clear();
    return 0;
}
