// CProxyCore's limits and figures: the login and packet time-outs, the cap
// on connections per peer address, the memory budget, and the per-packet
// figures published once per tick. Everything here runs with the relay's
// mutex held (Tick and PublishStats take it themselves).
#include "lobby/server/proxycore.h"

#include "common/src/cbase.h"

void CNatClientList::PushBack(CNatClient* pClient) {
    Remove(pClient);
    CNatClientList::Link_t& link = pClient->*m_Link;
    link.pPrev = m_pTail;
    link.pNext = nullptr;
    link.bListed = true;
    if (m_pTail) {
        (m_pTail->*m_Link).pNext = pClient;
    } else {
        m_pHead = pClient;
    }
    m_pTail = pClient;
}

void CNatClientList::Remove(CNatClient* pClient) {
    CNatClientList::Link_t& link = pClient->*m_Link;
    if (!link.bListed) return;
    if (link.pPrev) {
        (link.pPrev->*m_Link).pNext = link.pNext;
    } else {
        m_pHead = link.pNext;
    }
    if (link.pNext) {
        (link.pNext->*m_Link).pPrev = link.pPrev;
    } else {
        m_pTail = link.pPrev;
    }
    link = CNatClientList::Link_t();
}

void CProxyCore::Tick() {
    Lock();
    DWORD now = OS_GetTickCount();
    // Both lists are in the order their clocks started: only the expired
    // front is ever looked at.
    if (m_Limits.loginTimeoutMs > 0) {
        while (CNatClient* pClient = m_AwaitingLogin.Front()) {
            if (now - pClient->connectTick < static_cast<DWORD>(m_Limits.loginTimeoutMs)) break;
            Log_PrintAll("CProxyServer: Login timeout, disconnecting %s after %d s", pClient->name.c_str(),
                         m_Limits.loginTimeoutMs / 1000);
            DropClient(pClient, RELAY_CONDEMN_LOGIN_TIMEOUT);
            DropInput(pClient);
        }
    }
    if (m_Limits.packetTimeoutMs > 0) {
        while (CNatClient* pClient = m_Incomplete.Front()) {
            if (now - pClient->packetTick < static_cast<DWORD>(m_Limits.packetTimeoutMs)) break;
            Log_PrintAll("CProxyServer: Packet timeout, disconnecting %s: %d bytes of a packet waited %d s",
                         pClient->name.c_str(), pClient->in.Length(), m_Limits.packetTimeoutMs / 1000);
            DropClient(pClient, RELAY_CONDEMN_PACKET_TIMEOUT);
            DropInput(pClient);
        }
    }
    UnLock();
    PublishStats();
}

void CProxyCore::PublishStats() {
    Lock();
    if (m_PendingPackets) m_pStats->Add(m_pStats->packetsRelayed, m_PendingPackets);
    if (m_PendingBytes) m_pStats->Add(m_pStats->bytesRelayed, m_PendingBytes);
    if (m_PendingEchoes) m_pStats->Add(m_pStats->echoes, m_PendingEchoes);
    for (int i = 0; i < RELAY_DROP_CAUSES; i++) {
        if (m_PendingDropped[i]) m_pStats->Add(m_pStats->dropped[i], m_PendingDropped[i]);
        m_PendingDropped[i] = 0;
    }
    m_PendingPackets = m_PendingBytes = m_PendingEchoes = 0;
    UnLock();
}

void CProxyCore::CountInput(CNatClient* pClient) {
    // A condemned client's input is never read again: it no longer counts.
    int64_t held = pClient->error ? 0 : pClient->in.Length();
    if (held != pClient->inputCounted) {
        m_pStats->Add(m_pStats->bufferedBytes, held - pClient->inputCounted);
        pClient->inputCounted = held;
    }
}

void CProxyCore::DropInput(CNatClient* pClient) {
    // The client whose data is being walked keeps its block until the walk
    // is over; ClientData empties it then.
    if (pClient != m_pReceiving) {
        pClient->in.Empty();
        if (pClient->in.Capacity() > 0) pClient->in.Resize(1);
    }
    CountInput(pClient);
}

void CProxyCore::TrackIncomplete(CNatClient* pClient, bool consumed) {
    if (pClient->error || pClient->in.Length() == 0) {
        m_Incomplete.Remove(pClient);
        return;
    }
    // A completed packet starts the clock again for the one now buffered.
    if (consumed || !pClient->packetLink.bListed) {
        pClient->packetTick = OS_GetTickCount();
        m_Incomplete.PushBack(pClient);
    }
}

CNatClient* CProxyCore::BiggestHolder(int64_t* pHeld) {
    CNatClient* pBiggest = nullptr;
    *pHeld = 0;
    for (int i = 0; i < m_Clients.Count(); i++) {
        CNatClient* pClient = m_Clients.Value(i);
        if (pClient->error) continue;
        int64_t held = pClient->inputCounted + m_pTransport->QueuedBytes(pClient->hConnection);
        if (held > *pHeld) {
            *pHeld = held;
            pBiggest = pClient;
        }
    }
    return pBiggest;
}

bool CProxyCore::MakeRoom(int64_t growth) {
    // The common case: one relaxed load. Only a budget about to break walks
    // the clients, once per client dropped.
    while (m_pStats->bufferedBytes.load(std::memory_order_relaxed) + growth > m_Limits.maxMemory) {
        int64_t held = 0;
        CNatClient* pBiggest = BiggestHolder(&held);
        if (!pBiggest) return false;
        Log_PrintAll("CProxyServer: Memory budget of %lld bytes reached, disconnecting %s holding %lld bytes",
                     static_cast<long long>(m_Limits.maxMemory), pBiggest->name.c_str(), static_cast<long long>(held));
        DropClient(pBiggest, RELAY_CONDEMN_MEMORY_BUDGET);
        DropInput(pBiggest);
    }
    return true;
}

bool CProxyCore::AdmitAddress(CNatClient* pClient) {
    if (m_Limits.maxClientsPerAddress <= 0 || pClient->address.empty()) return true;
    Address_t& address = m_Addresses[pClient->address];
    if (address.open < m_Limits.maxClientsPerAddress) {
        address.open++;
        pClient->bAddressCounted = true;
        return true;
    }
    m_pStats->Add(m_pStats->refusedPerAddress);
    DWORD now = OS_GetTickCount();
    // One line per burst: refusals less than kProxyRefusalBurstMs apart
    // belong to the burst already logged.
    if (!address.bRefusing || now - address.lastRefusal >= kProxyRefusalBurstMs) {
        Log_PrintAll("CProxyServer: Refusing connections from %s beyond MaxClientsPerAddress %d",
                     pClient->address.c_str(), m_Limits.maxClientsPerAddress);
    }
    address.bRefusing = true;
    address.lastRefusal = now;
    return false;
}

void CProxyCore::ReleaseAddress(CNatClient* pClient) {
    if (!pClient->bAddressCounted) return;
    pClient->bAddressCounted = false;
    auto it = m_Addresses.find(pClient->address);
    OS_ASSERT(it != m_Addresses.end() && it->second.open > 0);
    if (--it->second.open == 0) m_Addresses.erase(it);
}
