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

CProxyCore::CProxyCore(IProxyTransport* pTransport, HMutex hLock, int maxQueue, int graceMs)
    : m_pTransport(pTransport),
      m_hLock(hLock),
      m_AssignUserID(kProxyFirstUserID),
      m_MaxQueue(maxQueue),
      m_MaxQueueGrace(graceMs) {
    OS_ASSERT(pTransport != nullptr && hLock != nullptr && maxQueue > 0 && graceMs >= 0);
}

CProxyCore::~CProxyCore() {
    for (int i = 0; i < m_Clients.Count(); i++) delete m_Clients.Value(i);
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

void CProxyCore::ClientConnect(HConnection hConnection) {
    Lock();
    CNatClient* pClient = new CNatClient();
    pClient->hConnection = hConnection;
    m_Clients[hConnection] = pClient;
    Log_PrintAll("CProxyServer::ClientConnect - client count = %d", m_Clients.Count());
    UnLock();
}

void CProxyCore::ClientDisconnect(HConnection hConnection) {
    Lock();
    int index = m_Clients.FindKey(hConnection);
    if (index >= 0) {
        CNatClient* pClient = m_Clients.Value(index);
        int held = pClient->log.HeldBack();
        if (held > 0) Log_PrintAll("CProxyServer: %d repeated lines of this client were not logged", held);
        Condemn(pClient);
        delete pClient;
        m_Clients.Remove(index);
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
    CBuffer& in = pClient->in;
    if (in.Length() == 0) {
        // Whole packets straight from the receive buffer; only a tail is kept.
        int used = DispatchPackets(pClient, data, length);
        if (!pClient->error && used < length) in.WriteData(static_cast<char*>(data) + used, length - used);
    } else {
        in.WriteData(data, length);
        int used = DispatchPackets(pClient, in.Ptr(), in.RemainingLength());
        in.IncrementPtr(used);
        in.EraseDataRead();
        if (in.Length() > kProxyMaxInput) {
            Log_PrintAll("CProxyServer: buffer overflow.");
            if (!pClient->error) {
                m_pTransport->Drop(hConnection);
                Condemn(pClient);
            }
        }
    }
    if (pClient->error) in.Empty();  // nothing more is read from it
    if (in.Length() == 0 && in.Capacity() > kKeepInputBlock) in.Resize(kKeepInputBlock);
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
    int runUid = 0, runStart = 0;
    while (length - pos >= kProxyHeaderSize && !pClient->error) {
        int size = ReadInt(bytes + pos);
        if (size > length - pos) break;  // incomplete: wait for the rest
        // One unsigned comparison catches sizes below 12 and negative ones.
        if (static_cast<unsigned int>(size) - kProxyMinPacket >
            static_cast<unsigned int>(kProxyMaxPacket - kProxyMinPacket)) {
            if (pRunDest) SendCapped(pRunDest, bytes + runStart, pos - runStart);
            pRunDest = nullptr;
            Log_PrintAll("CProxyServer: Invalid header sized");
            m_pTransport->Drop(pClient->hConnection);
            Condemn(pClient);
            break;
        }
        char* packet = bytes + pos;
        int type = ReadInt(packet + 8);
        bool isData = type != PH_TYPE_AUTH && type != PH_TYPE_ECHO && type != PH_TYPE_REGISTER;
        if (isData && pClient->auth) {
            int uid = ReadInt(packet + 4);
            if (!pRunDest || uid != runUid) {
                if (pRunDest) SendCapped(pRunDest, bytes + runStart, pos - runStart);
                pRunDest = FindClient(uid);  // none: dropped without a word
                runUid = uid;
                runStart = pos;
            }
            if (pRunDest) {
                memcpy(packet + 4, &pClient->uid, 4);
            } else {
                runStart = pos + size;
            }
            pos += size;
            continue;
        }
        if (pRunDest) SendCapped(pRunDest, bytes + runStart, pos - runStart);
        pRunDest = nullptr;
        HandlePacket(pClient, packet, size);
        pos += size;
    }
    if (pRunDest && !pClient->error) SendCapped(pRunDest, bytes + runStart, pos - runStart);
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
                int more = MayLog(pClient, PROXY_LOG_MALFORMED_AUTH);
                if (more >= 0) Log_PrintAll("CProxyServer: Malformed auth request%s", MoreText(more).Ptr());
                return;
            }
            int key = ReadInt(packet + 12);
            int index = m_Keys.FindKey(uid);
            if (index < 0 || m_Keys.Value(index) != key) {
                int more = MayLog(pClient, PROXY_LOG_AUTH_FAILED);
                if (more >= 0) Log_PrintAll("CProxyServer: Proxy auth failed for %d%s", uid, MoreText(more).Ptr());
                return;
            }
            // Once per connection: a logged-in client's next attempt is a duplicate.
            Log_PrintAll("CProxyServer: Proxy auth success for %d", uid);
            if (CNatClient* pOld = FindClient(uid)) {
                // The newcomer wins.
                Log_PrintAll("CProxyServer: Booting duplicate");
                m_pTransport->Drop(pOld->hConnection);
                Condemn(pOld);
            }
            Login(pClient, uid);
            Reply(pClient, 0, PH_TYPE_AUTH);
            return;
        }
        case PH_TYPE_ECHO:
            SendCapped(pClient, packet, length);
            return;
        case PH_TYPE_REGISTER:
            if (pClient->auth) return;
            Login(pClient, NextUserID());
            Log_PrintAll("CProxyServer: Registration");
            Reply(pClient, pClient->uid, PH_TYPE_REGISTER);
            return;
        default: {
            if (!pClient->auth) {
                int more = MayLog(pClient, PROXY_LOG_NOT_LOGGED_IN);
                if (more >= 0) Log_PrintAll("CProxyServer: PH_TYPE_DATA when used not logged in%s", MoreText(more).Ptr());
                return;
            }
            CNatClient* pDest = FindClient(uid);
            if (!pDest) return;
            memcpy(packet + 4, &pClient->uid, 4);
            SendCapped(pDest, packet, length);
            return;
        }
    }
}

void CProxyCore::Login(CNatClient* pClient, int uid) {
    pClient->auth = true;
    pClient->uid = uid;
    m_LoggedIn[uid] = pClient;
}

void CProxyCore::Condemn(CNatClient* pClient) {
    pClient->error = true;
    auto it = m_LoggedIn.find(pClient->uid);
    if (pClient->auth && it != m_LoggedIn.end() && it->second == pClient) m_LoggedIn.erase(it);
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

bool CProxyCore::SendCapped(CNatClient* pDest, const void* data, int length) {
    long long hard = static_cast<long long>(m_MaxQueue) * kProxyHardQueueFactor;
    if (m_pTransport->Send(pDest->hConnection, data, length, m_MaxQueue,
                           hard > INT_MAX ? INT_MAX : static_cast<int>(hard), m_MaxQueueGrace)) {
        return true;
    }
    // Once per client: the client is condemned with it.
    Log_PrintAll("CProxyServer: Send queue overflow for %d", pDest->auth ? pDest->uid : 0);
    m_pTransport->Drop(pDest->hConnection);
    Condemn(pDest);
    return false;
}

void CProxyCore::Reply(CNatClient* pClient, int uid, int type) {
    ProxyAuth_t reply = {{static_cast<int32_t>(sizeof(ProxyAuth_t)), uid, type}, 0};
    SendCapped(pClient, &reply, sizeof reply);
}
