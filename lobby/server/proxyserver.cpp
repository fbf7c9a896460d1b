#include "lobby/server/proxyserver.h"

#include <climits>
#include <cstring>

#include "common/src/cbase.h"
#include "common/src/iniparser.h"
#include "common/src/osutils.h"

namespace {

const int kMaxConnections = 4096;
const int kStandaloneDispatchMs = 40;
const int kEmbeddedSleepMs = 5000;
const int kEmbeddedPortTries = 1000;
// A client's input block is given back once it is empty and this large.
const int kKeepInputBlock = 65536;

int ReadInt(const void* p) {
    int v;
    memcpy(&v, p, 4);
    return v;
}

}  // namespace

CProxyServer::CProxyServer(CLobbyServer* pServer)
    : IThreadSafe(MT_BINARY),
      m_pServer(pServer),
      m_TCPPort(0),
      m_ConnectionManager(kMaxConnections),
      m_AssignUserID(kProxyFirstUserID),
      m_MaxQueue(kProxyDefaultMaxQueue) {
    CString maxQueue = g_INI.Get("ProxyServer").Get("MaxQueue");
    if (maxQueue.Length() && IsNumeric(CINIParser::StripWhiteSpace(maxQueue)) && maxQueue.ToInteger() > 0) {
        m_MaxQueue = maxQueue.ToInteger();
    }
    OS_ASSERTMSG(m_ConnectionManager.Init(), "connection manager failed to start");
    m_ConnectionManager.AddListener(this, true);
    OpenPort();
    StartThread(OS_THREAD_PRIORITY_NORMAL);
}

void CProxyServer::OpenPort() {
    if (!m_pServer) {
        CString text = CINIParser::StripWhiteSpace(g_INI.Get("ProxyServer").Get("Port"));
        int port = text.ToInteger();
        // A typo must not silently put the relay on some other port.
        if (!IsNumeric(text) || port < 0 || port > 65535) {
            Log_PrintAll("Error: ProxyServer Port \"%s\" is not a port number", text.Ptr());
            Log_PrintAll("Error openning the port");
            OS_Assert(__LINE__, __FILE__, "invalid port %s", text.Ptr());
        }
        m_TCPPort = m_ConnectionManager.Host(port);
        if (m_TCPPort == 0) {
            Log_PrintAll("Proxy Server Port= %d", port);
            Log_PrintAll("Error openning the port");
            OS_Assert(__LINE__, __FILE__, "cannot open port %d", port);
        }
        // The port in use: the system's choice when the configuration says 0.
        Log_PrintAll("Proxy Server Port= %d", m_TCPPort);
        return;
    }
    CString base = g_INI.Get("Lobby").Get("PortBase");
    if (base.Length()) {
        int first = base.ToInteger();
        for (int i = 0; i < kEmbeddedPortTries && m_TCPPort == 0; i++) {
            if (first + i > 0 && first + i <= 65535) m_TCPPort = m_ConnectionManager.Host(first + i);
        }
    } else {
        m_TCPPort = m_ConnectionManager.Host(0);
    }
    OS_ASSERTMSG(m_TCPPort != 0, "Error openning the port");
    Log_PrintAll("Proxy Server Port= %d", m_TCPPort);
}

CProxyServer::~CProxyServer() {
    if (IsThreadPresent()) EndThread();
    m_ConnectionManager.RemoveListener(this);
    m_ConnectionManager.Shutdown();
    for (int i = 0; i < m_Clients.Count(); i++) delete m_Clients.Value(i);
    m_Clients.RemoveAll();
    m_LoggedIn.clear();
}

void CProxyServer::ThreadEntry(CSignal& signal) {
    while (!signal.CheckSignal()) {
        if (!m_pServer) {
            m_ConnectionManager.Dispatch();
            OS_Sleep(kStandaloneDispatchMs);
        } else {
            // The host pumps; only wait, in slices so a stop is seen soon.
            for (int slept = 0; slept < kEmbeddedSleepMs && !signal.CheckSignal(); slept += 100) OS_Sleep(100);
        }
    }
}

void CProxyServer::DispatchNAT() { m_ConnectionManager.Dispatch(); }

void CProxyServer::SetKey(int uid, int key) {
    Lock();
    m_Keys[uid] = key;
    UnLock();
}

void CProxyServer::RemoveKey(int uid) {
    Lock();
    m_Keys.RemoveByKey(uid);
    UnLock();
}

int CProxyServer::GetClientCount() {
    Lock();
    int count = m_Clients.Count();
    UnLock();
    return count;
}

CNatClient* CProxyServer::FindClient(int uid) {
    auto it = m_LoggedIn.find(uid);
    return it == m_LoggedIn.end() ? nullptr : it->second;
}

void CProxyServer::Dispatch() {}

void CProxyServer::ClientConnect(HConnection hConnection) {
    Lock();
    CNatClient* pClient = new CNatClient();
    pClient->hConnection = hConnection;
    m_Clients[hConnection] = pClient;
    Log_PrintAll("CProxyServer::ClientConnect - client count = %d", m_Clients.Count());
    UnLock();
}

void CProxyServer::ClientDisconnect(HConnection hConnection, bool, int) {
    Lock();
    int index = m_Clients.FindKey(hConnection);
    if (index >= 0) {
        CNatClient* pClient = m_Clients.Value(index);
        Condemn(pClient);
        delete pClient;
        m_Clients.Remove(index);
    }
    Log_PrintAll("CProxyServer::ClientDisconnect - client count = %d", m_Clients.Count());
    UnLock();
}

void CProxyServer::ClientData(HConnection hConnection, void* data, int length) {
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
                Drop(hConnection);
                Condemn(pClient);
            }
        }
    }
    if (pClient->error) {
        in.Empty();  // nothing more is read from it
    }
    if (in.Length() == 0 && in.Capacity() > kKeepInputBlock) in.Resize(kKeepInputBlock);
    UnLock();
}

int CProxyServer::DispatchPackets(CNatClient* pClient, void* data, int length) {
    char* bytes = static_cast<char*>(data);
    int pos = 0;
    while (length - pos >= kProxyHeaderSize && !pClient->error) {
        int size = ReadInt(bytes + pos);
        if (size > length - pos) break;  // incomplete: wait for the rest
        // One unsigned comparison catches sizes below 12 and negative ones.
        if (static_cast<unsigned int>(size) - kProxyMinPacket > static_cast<unsigned int>(kProxyMaxPacket - kProxyMinPacket)) {
            Log_PrintAll("CProxyServer: Invalid header sized");
            Drop(pClient->hConnection);
            Condemn(pClient);
            break;
        }
        HandlePacket(pClient, bytes + pos, size);
        pos += size;
    }
    return pos;
}

void CProxyServer::HandlePacket(CNatClient* pClient, void* data, int length) {
    char* packet = static_cast<char*>(data);
    int uid = ReadInt(packet + 4);
    int type = ReadInt(packet + 8);
    switch (type) {
        case PH_TYPE_AUTH: {
            if (pClient->auth) {
                Log_PrintAll("CProxyServer: Ignoring duplicate auth request");
                return;
            }
            if (length != static_cast<int>(sizeof(ProxyAuth_t))) {
                Log_PrintAll("CProxyServer: Malformed auth request");
                return;
            }
            int key = ReadInt(packet + 12);
            int index = m_Keys.FindKey(uid);
            if (index < 0 || m_Keys.Value(index) != key) {
                Log_PrintAll("CProxyServer: Proxy auth failed for %d", uid);
                return;
            }
            Log_PrintAll("CProxyServer: Proxy auth success for %d", uid);
            if (CNatClient* pOld = FindClient(uid)) {
                // The newcomer wins.
                Log_PrintAll("CProxyServer: Booting duplicate");
                Drop(pOld->hConnection);
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
                Log_PrintAll("CProxyServer: PH_TYPE_DATA when used not logged in");
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

void CProxyServer::Login(CNatClient* pClient, int uid) {
    pClient->auth = true;
    pClient->uid = uid;
    m_LoggedIn[uid] = pClient;
}

void CProxyServer::Condemn(CNatClient* pClient) {
    pClient->error = true;
    auto it = m_LoggedIn.find(pClient->uid);
    if (pClient->auth && it != m_LoggedIn.end() && it->second == pClient) m_LoggedIn.erase(it);
}

int CProxyServer::NextUserID() {
    // Ids run from 2^30 up; after the largest int they start over, always
    // skipping an id some logged-in client holds.
    for (;;) {
        int uid = m_AssignUserID;
        m_AssignUserID = uid == INT_MAX ? kProxyFirstUserID : uid + 1;
        if (!FindClient(uid)) return uid;
    }
}

bool CProxyServer::SendCapped(CNatClient* pDest, const void* data, int length) {
    if (static_cast<long long>(QueuedBytes(pDest->hConnection)) + length > m_MaxQueue) {
        Log_PrintAll("CProxyServer: Send queue overflow for %d", pDest->auth ? pDest->uid : 0);
        Drop(pDest->hConnection);
        Condemn(pDest);
        return false;
    }
    Send(pDest->hConnection, data, length);
    return true;
}

void CProxyServer::Reply(CNatClient* pClient, int uid, int type) {
    ProxyAuth_t reply = {{static_cast<int32_t>(sizeof(ProxyAuth_t)), uid, type}, 0};
    SendCapped(pClient, &reply, sizeof reply);
}

void CProxyServer::Send(HConnection hConnection, const void* data, int length) {
    m_ConnectionManager.SendData(hConnection, data, length);
}

void CProxyServer::Drop(HConnection hConnection) { m_ConnectionManager.Disconnect(hConnection, false); }

int CProxyServer::QueuedBytes(HConnection hConnection) { return m_ConnectionManager.GetQueuedBytes(hConnection); }
