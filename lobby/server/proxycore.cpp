#include "lobby/server/proxycore.h"

#include <climits>
#include <cstring>

#include "common/src/cbase.h"

namespace {

// A client's input block is given back once it is empty and this large.
const int kKeepInputBlock = 65536;

// What a limited line adds for the lines it stands for.
CString MoreText(int more) { return more > 0 ? Sprintf(" (%d more)", more) : CString(); }

int ReadInt(const void* p) {
    int v;
    memcpy(&v, p, 4);
    return v;
}

}  // namespace

namespace {

ProxyLimits_t QueueLimits(int maxQueue, int graceMs) {
    ProxyLimits_t limits;
    limits.maxQueue = maxQueue;
    limits.maxQueueGraceMs = graceMs;
    return limits;
}

}  // namespace

CProxyCore::CProxyCore(IProxyTransport* pTransport, HMutex hLock, int maxQueue, int graceMs)
    : CProxyCore(pTransport, hLock, nullptr, QueueLimits(maxQueue, graceMs)) {}

CProxyCore::CProxyCore(IProxyTransport* pTransport, HMutex hLock, RelayStats_t* pStats, const ProxyLimits_t& limits)
    : m_pTransport(pTransport),
      m_hLock(hLock),
      m_AssignUserID(kProxyFirstUserID),
      m_Limits(limits),
      m_pStats(pStats ? pStats : &m_OwnStats),
      m_AwaitingLogin(&CNatClient::loginLink),
      m_Incomplete(&CNatClient::packetLink) {
    OS_ASSERT(pTransport != nullptr && hLock != nullptr && limits.maxQueue > 0 && limits.maxQueueGraceMs >= 0);
    OS_ASSERT(limits.loginTimeoutMs >= 0 && limits.packetTimeoutMs >= 0 && limits.maxClientsPerAddress >= 0 &&
              limits.maxMemory > 0);
}

CProxyCore::~CProxyCore() {
    PublishStats();
    for (int i = 0; i < m_Clients.Count(); i++) {
        CNatClient* pClient = m_Clients.Value(i);
        m_pStats->Add(m_pStats->bufferedBytes, -pClient->inputCounted);
        delete pClient;
    }
    m_pStats->Add(m_pStats->connectionsOpen, -static_cast<int64_t>(m_Clients.Count()));
    m_pStats->Add(m_pStats->clientsLoggedIn, -static_cast<int64_t>(m_LoggedIn.size()));
    m_Clients.RemoveAll();
    m_LoggedIn.clear();
}

void CProxyCore::SetKey(int uid, int key) {
    Lock();
    m_Keys[uid] = key;
    UnLock();
}

void CProxyCore::RemoveKey(int uid) {
    Lock();
    m_Keys.RemoveByKey(uid);
    UnLock();
}

int CProxyCore::GetClientCount() {
    Lock();
    int count = m_Clients.Count();
    UnLock();
    return count;
}

void CProxyCore::SetNextUserID(int uid) {
    Lock();
    m_AssignUserID = uid;
    UnLock();
}

CNatClient* CProxyCore::FindClient(int uid) {
    OS_ASSERT_HELD(m_hLock);
    auto it = m_LoggedIn.find(uid);
    return it == m_LoggedIn.end() ? nullptr : it->second;
}

void CProxyCore::ClientConnect(HConnection hConnection, const char* address, const char* name) {
    Lock();
    CNatClient* pClient = new CNatClient();
    pClient->hConnection = hConnection;
    pClient->address = address;
    pClient->name = *name ? std::string(name)
                          : std::string(Sprintf("connection 0x%08x", static_cast<unsigned int>(
                                                    reinterpret_cast<uintptr_t>(hConnection))).Ptr());
    pClient->connectTick = OS_GetTickCount();
    m_Clients[hConnection] = pClient;
    m_pStats->Add(m_pStats->connectionsOpen, 1);
    Log_PrintAll("CProxyServer::ClientConnect - client count = %d", m_Clients.Count());
    if (AdmitAddress(pClient)) {
        m_AwaitingLogin.PushBack(pClient);
    } else {
        m_pTransport->Drop(hConnection);
        Condemn(pClient, RELAY_CONDEMN_CAUSES);
    }
    UnLock();
}

void CProxyCore::ClientDisconnect(HConnection hConnection) {
    Lock();
    int index = m_Clients.FindKey(hConnection);
    if (index >= 0) {
        CNatClient* pClient = m_Clients.Value(index);
        int held = pClient->log.HeldBack();
        if (held > 0) Log_PrintAll("CProxyServer: %d repeated lines of this client were not logged", held);
        Condemn(pClient, RELAY_CONDEMN_CAUSES);
        ReleaseAddress(pClient);
        pClient->in.Empty();
        CountInput(pClient);
        delete pClient;
        m_Clients.Remove(index);
        m_pStats->Add(m_pStats->connectionsOpen, -1);
    }
    Log_PrintAll("CProxyServer::ClientDisconnect - client count = %d", m_Clients.Count());
    UnLock();
}

void CProxyCore::ClientData(HConnection hConnection, void* data, int length) {
    Lock();
    int index = m_Clients.FindKey(hConnection);
    OS_ASSERTMSG(index >= 0, "data for a connection that was never announced");
    CNatClient* pClient = m_Clients.Value(index);
    if (pClient->error) {
        UnLock();
        return;
    }
    m_pReceiving = pClient;
    CBuffer& in = pClient->in;
    int used = 0;
    if (in.Length() == 0) {
        // Whole packets straight from the receive buffer; only a tail is kept.
        used = DispatchPackets(pClient, data, length);
        if (!pClient->error && used < length && Admit(pClient, length - used)) {
            in.WriteData(static_cast<char*>(data) + used, length - used);
        }
    } else if (Admit(pClient, length)) {
        in.WriteData(data, length);
        CountInput(pClient);
        used = DispatchPackets(pClient, in.Ptr(), in.RemainingLength());
        in.IncrementPtr(used);
        in.EraseDataRead();
        if (in.Length() > kProxyMaxInput) {
            Log_PrintAll("CProxyServer: buffer overflow.");
            if (!pClient->error) DropClient(pClient, RELAY_CONDEMN_BUFFER_OVERFLOW);
        }
    }
    if (pClient->error) in.Empty();  // nothing more is read from it
    if (in.Length() == 0 && in.Capacity() > kKeepInputBlock) in.Resize(kKeepInputBlock);
    CountInput(pClient);
    TrackIncomplete(pClient, used > 0);
    m_pReceiving = nullptr;
    UnLock();
}

int CProxyCore::DispatchPackets(CNatClient* pClient, void* data, int length) {
    OS_ASSERT_HELD(m_hLock);
    char* bytes = static_cast<char*>(data);
    int pos = 0;
    // Data packets of a logged-in client that follow each other to the same
    // destination lie back to back here: they leave in one send, with one
    // look-up, each rewritten in place. Anything else ends the run first,
    // so every destination sees its packets in the order they came.
    CNatClient* pRunDest = nullptr;
    int runUid = 0, runStart = 0, runPackets = 0;
    // Figures of this walk, added to the pending ones once at its end.
    uint64_t relayed = 0, relayedBytes = 0, unknown = 0;
    auto endRun = [&] {
        if (pRunDest && SendCapped(pRunDest, bytes + runStart, pos - runStart)) {
            relayed += static_cast<uint64_t>(runPackets);
            relayedBytes += static_cast<uint64_t>(pos - runStart);
        }
        pRunDest = nullptr;
        runPackets = 0;
    };
    while (length - pos >= kProxyHeaderSize && !pClient->error) {
        int size = ReadInt(bytes + pos);
        if (size > length - pos) break;  // incomplete: wait for the rest
        // One unsigned comparison catches sizes below 12 and negative ones.
        if (static_cast<unsigned int>(size) - kProxyMinPacket >
            static_cast<unsigned int>(kProxyMaxPacket - kProxyMinPacket)) {
            endRun();
            Log_PrintAll("CProxyServer: Invalid header sized");
            if (!pClient->error) DropClient(pClient, RELAY_CONDEMN_BAD_HEADER_SIZE);
            break;
        }
        char* packet = bytes + pos;
        int type = ReadInt(packet + 8);
        bool isData = type != PH_TYPE_AUTH && type != PH_TYPE_ECHO && type != PH_TYPE_REGISTER;
        if (isData && pClient->auth) {
            int uid = ReadInt(packet + 4);
            if (!pRunDest || uid != runUid) {
                endRun();
                pRunDest = FindClient(uid);  // none: dropped without a word
                runUid = uid;
                runStart = pos;
            }
            if (pRunDest) {
                memcpy(packet + 4, &pClient->uid, 4);
                runPackets++;
            } else {
                runStart = pos + size;
                unknown++;
            }
            pos += size;
            continue;
        }
        endRun();
        HandlePacket(pClient, packet, size);
        pos += size;
    }
    if (!pClient->error) endRun();
    m_PendingPackets += relayed;
    m_PendingBytes += relayedBytes;
    m_PendingDropped[RELAY_DROP_UNKNOWN_DESTINATION] += unknown;
    return pos;
}

int CProxyCore::MayLog(CNatClient* pClient, ProxyLogKind_t kind) {
    int more = 0;
    return pClient->log.Allow(kind, OS_GetTickCount(), &more) ? more : -1;
}

void CProxyCore::HandlePacket(CNatClient* pClient, void* data, int length) {
    OS_ASSERT_HELD(m_hLock);
    char* packet = static_cast<char*>(data);
    int uid = ReadInt(packet + 4);
    int type = ReadInt(packet + 8);
    switch (type) {
        case PH_TYPE_AUTH: {
            if (pClient->auth) {
                int more = MayLog(pClient, PROXY_LOG_DUPLICATE_AUTH);
                if (more >= 0) Log_PrintAll("CProxyServer: Ignoring duplicate auth request%s", MoreText(more).Ptr());
                return;
            }
            if (length != static_cast<int>(sizeof(ProxyAuth_t))) {
                m_pStats->Add(m_pStats->authenticationFailures);
                int more = MayLog(pClient, PROXY_LOG_MALFORMED_AUTH);
                if (more >= 0) Log_PrintAll("CProxyServer: Malformed auth request%s", MoreText(more).Ptr());
                return;
            }
            int key = ReadInt(packet + 12);
            int index = m_Keys.FindKey(uid);
            if (index < 0 || m_Keys.Value(index) != key) {
                m_pStats->Add(m_pStats->authenticationFailures);
                int more = MayLog(pClient, PROXY_LOG_AUTH_FAILED);
                if (more >= 0) Log_PrintAll("CProxyServer: Proxy auth failed for %d%s", uid, MoreText(more).Ptr());
                return;
            }
            // Once per connection: a logged-in client's next attempt is a duplicate.
            Log_PrintAll("CProxyServer: Proxy auth success for %d", uid);
            if (CNatClient* pOld = FindClient(uid)) {
                // The newcomer wins.
                Log_PrintAll("CProxyServer: Booting duplicate");
                DropClient(pOld, RELAY_CONDEMN_CAUSES);
            }
            m_pStats->Add(m_pStats->authentications);
            Login(pClient, uid);
            Reply(pClient, 0, PH_TYPE_AUTH);
            return;
        }
        case PH_TYPE_ECHO:
            if (SendCapped(pClient, packet, length)) m_PendingEchoes++;
            return;
        case PH_TYPE_REGISTER:
            if (pClient->auth) return;
            Login(pClient, NextUserID());
            m_pStats->Add(m_pStats->registrations);
            Log_PrintAll("CProxyServer: Registration");
            Reply(pClient, pClient->uid, PH_TYPE_REGISTER);
            return;
        default: {
            if (!pClient->auth) {
                m_PendingDropped[RELAY_DROP_NOT_LOGGED_IN]++;
                int more = MayLog(pClient, PROXY_LOG_NOT_LOGGED_IN);
                if (more >= 0) Log_PrintAll("CProxyServer: PH_TYPE_DATA when used not logged in%s", MoreText(more).Ptr());
                return;
            }
            CNatClient* pDest = FindClient(uid);
            if (!pDest) {
                m_PendingDropped[RELAY_DROP_UNKNOWN_DESTINATION]++;
                return;
            }
            memcpy(packet + 4, &pClient->uid, 4);
            if (SendCapped(pDest, packet, length)) {
                m_PendingPackets++;
                m_PendingBytes += static_cast<uint64_t>(length);
            }
            return;
        }
    }
}

void CProxyCore::Login(CNatClient* pClient, int uid) {
    pClient->auth = true;
    pClient->uid = uid;
    m_LoggedIn[uid] = pClient;
    m_AwaitingLogin.Remove(pClient);
    m_pStats->Add(m_pStats->clientsLoggedIn, 1);
}

void CProxyCore::Condemn(CNatClient* pClient, int cause) {
    if (!pClient->error && cause < RELAY_CONDEMN_CAUSES) m_pStats->Add(m_pStats->condemned[cause]);
    pClient->error = true;
    m_AwaitingLogin.Remove(pClient);
    m_Incomplete.Remove(pClient);
    auto it = m_LoggedIn.find(pClient->uid);
    if (pClient->auth && it != m_LoggedIn.end() && it->second == pClient) {
        m_LoggedIn.erase(it);
        m_pStats->Add(m_pStats->clientsLoggedIn, -1);
    }
}

void CProxyCore::DropClient(CNatClient* pClient, int cause) {
    m_pTransport->Drop(pClient->hConnection);
    Condemn(pClient, cause);
}

int CProxyCore::NextUserID() {
    // Ids run from 2^30 up; after the largest int they start over, always
    // skipping an id some logged-in client holds.
    for (;;) {
        int uid = m_AssignUserID;
        m_AssignUserID = uid == INT_MAX ? kProxyFirstUserID : uid + 1;
        if (!FindClient(uid)) return uid;
    }
}

bool CProxyCore::Admit(CNatClient* pClient, int64_t growth) {
    if (!MakeRoom(growth) && !pClient->error) {
        // Nobody else holds anything: this growth alone passes the budget.
        Log_PrintAll("CProxyServer: Memory budget of %lld bytes reached, disconnecting %s",
                     static_cast<long long>(m_Limits.maxMemory), pClient->name.c_str());
        DropClient(pClient, RELAY_CONDEMN_MEMORY_BUDGET);
        DropInput(pClient);
    }
    return !pClient->error;
}

bool CProxyCore::SendCapped(CNatClient* pDest, const void* data, int length) {
    // The budget may take the destination itself (the biggest holder).
    if (!Admit(pDest, length)) return false;
    long long hard = static_cast<long long>(m_Limits.maxQueue) * kProxyHardQueueFactor;
    if (m_pTransport->Send(pDest->hConnection, data, length, m_Limits.maxQueue,
                           hard > INT_MAX ? INT_MAX : static_cast<int>(hard), m_Limits.maxQueueGraceMs)) {
        return true;
    }
    // Once per client: the client is condemned with it.
    Log_PrintAll("CProxyServer: Send queue overflow for %d", pDest->auth ? pDest->uid : 0);
    DropClient(pDest, RELAY_CONDEMN_SEND_QUEUE_OVERFLOW);
    return false;
}

void CProxyCore::Reply(CNatClient* pClient, int uid, int type) {
    ProxyAuth_t reply = {{static_cast<int32_t>(sizeof(ProxyAuth_t)), uid, type}, 0};
    SendCapped(pClient, &reply, sizeof reply);
}
