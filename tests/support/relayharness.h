// Test support: a relay whose transport is recorded instead of sent, so tests
// and the fuzz target can drive its receive path with made-up connection
// handles. It is embedded (its own thread only waits), and its real manager
// listens on a system-chosen port that nobody uses.
#ifndef NB_TESTS_SUPPORT_RELAYHARNESS_H
#define NB_TESTS_SUPPORT_RELAYHARNESS_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "lobby/server/proxyserver.h"

// The embedding host, as small as the relay needs it: only its address.
class CLobbyServer {};

class CHarnessRelay : public CProxyServer {
public:
    explicit CHarnessRelay(CLobbyServer* pHost) : CProxyServer(pHost) {}
    ~CHarnessRelay() override {}

    static HConnection Handle(int i) { return reinterpret_cast<HConnection>(static_cast<uintptr_t>(0x10000 + i * 16)); }
    void SetNextUserID(int uid) {
        Lock();
        m_AssignUserID = uid;
        UnLock();
    }
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
    int m_Queued = 0;  // what QueuedBytes reports for every connection

protected:
    void Send(HConnection h, const void* data, int length) override {
        m_Sent.emplace_back(h, std::string(static_cast<const char*>(data), static_cast<size_t>(length)));
    }
    void Drop(HConnection h) override { m_Dropped.push_back(h); }
    int QueuedBytes(HConnection) override { return m_Queued; }
};

#endif
