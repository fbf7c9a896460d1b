// The message manager around the per-connection protocol: its connection
// table, the hooks, the queues of received messages and ping results, their
// delivery on the dispatching thread, and the blocking receive.
#include "common/src/network/messagemanager.h"

namespace {

// The fixed key of the handshake records, the same in every instance.
BYTE g_SetupKey[8] = {0x5A, 0x13, 0xC7, 0xE0, 0x29, 0x8B, 0x44, 0xF6};

// Releases the lock for the scope of one call out.
class CUnlocked {
public:
    explicit CUnlocked(HMutex h) : m_h(h) { OS_MutexUnlock(m_h); }
    ~CUnlocked() { OS_MutexLock(m_h); }
    CUnlocked(const CUnlocked&) = delete;
    CUnlocked& operator=(const CUnlocked&) = delete;

private:
    HMutex m_h;
};

class CLocked {
public:
    explicit CLocked(HMutex h) : m_h(h) { OS_MutexLock(m_h); }
    ~CLocked() { OS_MutexUnlock(m_h); }
    CLocked(const CLocked&) = delete;
    CLocked& operator=(const CLocked&) = delete;

private:
    HMutex m_h;
};

}  // namespace

CMessageManager::CMessageManager(IConnectionManager* pConnectionManager, bool retryConnect, bool pingEnabled,
                                 unsigned int packetSize)
    : m_pConnectionManager(pConnectionManager),
      m_hMutex(nullptr),
      m_PingEnabled(pingEnabled),
      m_PingInterval(20),
      m_PacketSize(packetSize & ~7u),
      m_BlockingRecv(false),
      m_RetryConnect(retryConnect),
      m_pRecvTimer(nullptr),
      m_bDeliveringClosed(false) {
    OS_ASSERTMSG(m_PacketSize >= 32 && m_PacketSize <= MM_MAX_MESSAGE_SIZE,
                 "message packet size %u outside 32..10485760", packetSize);
    OS_ASSERT(pConnectionManager != nullptr);
    m_hMutex = OS_MutexCreate(MT_BINARY);
    m_pRecvTimer = m_TimerManager.CreateTimer(20000, false, false, nullptr);
    m_pRecvTimer->Disable();
    m_pSetupEncryption.SetKey(g_SetupKey);
    m_pConnectionManager->AddListener(this, true);
}

CMessageManager::~CMessageManager() {
    m_pConnectionManager->RemoveListener(this);
    m_TimerManager.DestroyTimer(m_pRecvTimer);
    for (int i = 0; i < m_Connections.Count(); i++) delete m_Connections.Value(i);
    m_Connections.RemoveAll();
    for (int i = 0; i < m_RecvMsgs.Count(); i++) delete m_RecvMsgs[i].pMessage;
    m_RecvMsgs.RemoveAll();
    OS_MutexDestroy(m_hMutex);
}

CMMConnection* CMessageManager::Find(HConnection hConnection) {
    int index = m_Connections.FindKey(hConnection);
    return index < 0 ? nullptr : m_Connections.Value(index);
}

void CMessageManager::SendMessage(HConnection hConnection, CMessage& msg) {
    OS_ASSERTMSG(static_cast<DWORD>(msg.Length()) <= MM_MAX_MESSAGE_SIZE, "message of %d bytes above 10485760",
                 msg.Length());
    CLocked lock(m_hMutex);
    // A connection already gone (a send racing its disconnect) drops it.
    CMMConnection* pConnection = Find(hConnection);
    if (pConnection) pConnection->Send(msg);
}

void CMessageManager::HookMessage(DWORD type, IMessageManagerCallback* pCallback) {
    CLocked lock(m_hMutex);
    if (pCallback) {
        m_MsgCallbacks[type] = pCallback;
    } else {
        m_MsgCallbacks.RemoveByKey(type);
    }
}

void CMessageManager::RegisterPingCallback(IMessageManagerCallback* pCallback) {
    m_PingCallbacks.AddToTail(pCallback);
}

void CMessageManager::SetPingInterval(unsigned int sec) {
    OS_ASSERTMSG(sec != 0 && sec <= 2000000u, "ping interval of %u s", sec);
    CLocked lock(m_hMutex);
    m_PingInterval = sec;
    for (int i = 0; i < m_Connections.Count(); i++) m_Connections.Value(i)->SetPingInterval(sec);
}

MMStatus_t CMessageManager::GetStatus(HConnection hConnection) {
    CLocked lock(m_hMutex);
    CMMConnection* pConnection = Find(hConnection);
    return pConnection ? pConnection->GetStatus() : STATUS_SETUP;
}

int CMessageManager::GetUndeliveredCount() {
    CLocked lock(m_hMutex);
    return m_RecvMsgs.Count();
}

void CMessageManager::ClientConnect(HConnection hConnection) {
    CLocked lock(m_hMutex);
    OS_ASSERTMSG(Find(hConnection) == nullptr, "Reason: %s", "a message connection announced twice");
    CMMConnection* pConnection = new CMMConnection(hConnection, this, m_RetryConnect, m_PacketSize);
    pConnection->SendNegotiate(!m_RetryConnect);
    pConnection->SetPingInterval(m_PingInterval);
    if (m_PingEnabled) pConnection->PingEnable();
    m_Connections[hConnection] = pConnection;
}

void CMessageManager::ClientDisconnect(HConnection hConnection, bool /*forced*/, int /*reason*/) {
    CLocked lock(m_hMutex);
    int index = m_Connections.FindKey(hConnection);
    if (index < 0) return;
    CMMConnection* pConnection = m_Connections.Value(index);
    m_Connections.Remove(index);
    delete pConnection;
    // Its queued messages are still delivered; the handle they carry is dead.
    for (int i = 0; i < m_RecvMsgs.Count(); i++) {
        if (m_RecvMsgs[i].hConnection == hConnection) m_RecvMsgs[i].bDisconnected = true;
    }
}

void CMessageManager::ClientData(HConnection hConnection, void* data, int length) {
    CLocked lock(m_hMutex);
    CMMConnection* pConnection = Find(hConnection);
    OS_ASSERTMSG(pConnection != nullptr, "Reason: %s", "data for a connection the message layer does not know");
    pConnection->Recv(static_cast<char*>(data), length);
}

void CMessageManager::Queue(CMMConnection* pConnection, CMessage* pMessage) {
    pConnection->m_Undelivered += static_cast<DWORD>(pMessage->Length());
    m_RecvMsgs.AddToTail(MMRecvMsgs_t{pConnection->m_hConnection, pMessage, false});
}

void CMessageManager::FreeUndelivered(CMMConnection* pConnection) {
    int kept = 0;
    for (int i = 0; i < m_RecvMsgs.Count(); i++) {
        MMRecvMsgs_t& entry = m_RecvMsgs[i];
        if (entry.hConnection == pConnection->m_hConnection && !entry.bDisconnected) {
            delete entry.pMessage;
        } else {
            m_RecvMsgs[kept++] = entry;
        }
    }
    m_RecvMsgs.Remove(kept, m_RecvMsgs.Count() - kept);
    pConnection->m_Undelivered = 0;
}

CMessage* CMessageManager::Take(HConnection hConnection, DWORD type) {
    for (int i = 0; i < m_RecvMsgs.Count(); i++) {
        MMRecvMsgs_t entry = m_RecvMsgs[i];
        if (entry.hConnection != hConnection || entry.bDisconnected || entry.pMessage->GetType() != type) continue;
        m_RecvMsgs.Remove(i);
        CMMConnection* pConnection = Find(hConnection);
        if (pConnection) pConnection->m_Undelivered -= static_cast<DWORD>(entry.pMessage->Length());
        return entry.pMessage;
    }
    return nullptr;
}

void CMessageManager::Dispatch() {
    CVector<MMRecvMsgs_t> messages;
    CVector<MMRecvPings_t> pings;
    {
        CLocked lock(m_hMutex);
        m_TimerManager.Dispatch();
        // The queues are taken whole; what arrives during delivery waits for
        // the next Dispatch.
        if (!m_BlockingRecv) {
            messages.Std().swap(m_RecvMsgs.Std());
            for (int i = 0; i < messages.Count(); i++) {
                if (messages[i].bDisconnected) continue;
                CMMConnection* pConnection = Find(messages[i].hConnection);
                if (pConnection) pConnection->m_Undelivered -= static_cast<DWORD>(messages[i].pMessage->Length());
            }
        }
        pings.Std().swap(m_RecvPings.Std());
    }
    for (int i = 0; i < messages.Count(); i++) {
        MMRecvMsgs_t& entry = messages[i];
        IMessageManagerCallback* pCallback;
        {
            CLocked lock(m_hMutex);
            int index = m_MsgCallbacks.FindKey(entry.pMessage->GetType());
            pCallback = index < 0 ? nullptr : m_MsgCallbacks.Value(index);
            // A type nobody hooked ends a live connection like any other
            // fault: it sends and accepts nothing more until its disconnect.
            CMMConnection* pConnection = entry.bDisconnected ? nullptr : Find(entry.hConnection);
            if (!pCallback && pConnection) pConnection->Fail(MM_REASON_UNHOOKED);
        }
        if (pCallback) {
            m_bDeliveringClosed = entry.bDisconnected;
            pCallback->ReceivedMessage(entry.hConnection, *entry.pMessage);
            m_bDeliveringClosed = false;
        }
        delete entry.pMessage;
        entry.pMessage = nullptr;
    }
    for (int i = 0; i < pings.Count(); i++) {
        for (int k = 0; k < m_PingCallbacks.Count(); k++) {
            m_PingCallbacks[k]->PingResult(pings[i].hConnection, pings[i].msec);
        }
    }
}

bool CMessageManager::RecvMessage(HConnection hConnection, CMessage& msg, DWORD type, int timeout) {
    CLocked lock(m_hMutex);
    OS_ASSERTMSG(!m_BlockingRecv, "Reason: %s", "RecvMessage entered twice");
    m_BlockingRecv = true;
    long long interval = static_cast<long long>(timeout) * 1000;
    if (interval < 1) interval = 1;
    if (interval > 0x7FFFFFFF) interval = 0x7FFFFFFF;
    m_pRecvTimer->SetInterval(static_cast<int>(interval));
    m_pRecvTimer->Restart();
    m_pRecvTimer->Enable();
    bool result = false;
    while (Find(hConnection) && !m_pRecvTimer->GetState()) {
        CMessage* pFound = Take(hConnection, type);
        if (pFound) {
            msg = *pFound;
            delete pFound;
            result = true;
            break;
        }
        CUnlocked unlocked(m_hMutex);
        OS_Sleep(50);
        m_pConnectionManager->Dispatch();
    }
    m_pRecvTimer->Disable();
    m_BlockingRecv = false;
    return result;
}
