// Test support: the relay's packet logic (CProxyCore) with a transport that
// records instead of sending, so tests and the fuzz target drive it with
// made-up connection handles and no sockets or threads at all.
#ifndef NB_TESTS_SUPPORT_RELAYHARNESS_H
#define NB_TESTS_SUPPORT_RELAYHARNESS_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "common/src/datatypes/ithreadsafe.h"
#include "lobby/server/proxycore.h"
#include "lobby/server/proxyserver.h"

// The embedding host, as small as the relay needs it: only its address.
class CLobbyServer {};

// Owns the core and the mutex it borrows; records the transport calls.
// One thread at a time, like the connection manager's callbacks.
class CHarnessRelay final : public IThreadSafe, public IProxyTransport {
public:
    explicit CHarnessRelay(CLobbyServer*)
        : IThreadSafe(MT_BINARY),
          m_Core(this, m_hMutex, CProxyServer::ConfiguredMaxQueue(), CProxyServer::ConfiguredMaxQueueGrace()) {}
    // The given limits, with figures of the harness's own (its queues do not
    // add to them: only buffered input counts).
    CHarnessRelay(CLobbyServer*, const ProxyLimits_t& limits)
        : IThreadSafe(MT_BINARY), m_Core(this, m_hMutex, &m_Stats, limits) {}

    static HConnection Handle(int i) { return reinterpret_cast<HConnection>(static_cast<uintptr_t>(0x10000 + i * 16)); }

    void ClientConnect(HConnection h, const char* address = "") { m_Core.ClientConnect(h, address); }
    void Tick() { m_Core.Tick(); }
    const RelayStats_t& GetStats() const { return m_Core.GetStats(); }
    void ClientDisconnect(HConnection h, bool, int) { m_Core.ClientDisconnect(h); }
    void ClientData(HConnection h, void* data, int length) { m_Core.ClientData(h, data, length); }
    void SetKey(int uid, int key) { m_Core.SetKey(uid, key); }
    void RemoveKey(int uid) { m_Core.RemoveKey(uid); }
    int GetClientCount() { return m_Core.GetClientCount(); }
    void SetNextUserID(int uid) { m_Core.SetNextUserID(uid); }
    // Caller holds the lock (Lock/UnLock).
    CNatClient* FindClient(int uid) { return m_Core.FindClient(uid); }

    // What the relay sent to h since the last Clear, concatenated.
    std::string SentTo(HConnection h) const {
        std::string all;
        for (auto& s : m_Sent)
            if (s.first == h) all += s.second;
        return all;
    }
    bool WasDropped(HConnection h) const {
        for (HConnection d : m_Dropped)
            if (d == h) return true;
        return false;
    }
    void Clear() {
        m_Sent.clear();
        m_Dropped.clear();
    }

    std::vector<std::pair<HConnection, std::string>> m_Sent;
    std::vector<HConnection> m_Dropped;
    // The send queue every connection is taken to hold, and whether it has
    // stayed above the soft cap past the grace.
    int m_Queued = 0;
    bool m_bStalled = false;
    int m_SoftCap = 0, m_HardCap = 0, m_GraceMs = -1;  // the bounds of the last send

protected:
    bool Send(HConnection h, const void* data, int length, int softCap, int hardCap, int graceMs) override {
        m_SoftCap = softCap;
        m_HardCap = hardCap;
        m_GraceMs = graceMs;
        long long after = static_cast<long long>(m_Queued) + length;
        if (after > hardCap || (m_bStalled && after > softCap)) return false;
        m_Sent.emplace_back(h, std::string(static_cast<const char*>(data), static_cast<size_t>(length)));
        return true;
    }
    void Drop(HConnection h) override { m_Dropped.push_back(h); }
    int64_t QueuedBytes(HConnection) override { return m_Queued; }

private:
    RelayStats_t m_Stats;  // declared before the core that may point at it
    CProxyCore m_Core;
};

#endif
