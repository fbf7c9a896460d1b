// Remote buffers: transfers in type-2 messages, throttled from the dispatch
// loop, received into an owned buffer or forwarded through a bound partner.
#include "common/src/network/remotebuffer.h"

#include <cmath>
#include <cstring>

CRemoteBuffer::CRemoteBuffer(int timeOut)
    : m_Timeout(timeOut * 1000),
      m_CleanAfter(false),
      m_pBuffer(new CBuffer()),
      m_RecvTotal(0),
      m_DataRate(0),
      m_Ticks(0),
      m_RecvSize(0),
      m_pTimerManager(nullptr),
      m_hConnection(nullptr),
      m_pCallback(nullptr),
      m_Type(RB_NONE),
      m_State(RB_PENDING),
      m_TransmitState(RB_IDLE),
      m_pTimer(nullptr),
      m_bBound(false),
      m_pOtherBuffer(nullptr),
      m_MaxTransfer(RB_DEFAULT_MAX_TRANSFER),
      m_pAlive(std::make_shared<bool>(true)) {}

CRemoteBuffer::~CRemoteBuffer() {
    *m_pAlive = false;
    if (m_pOtherBuffer) {
        CRemoteBuffer* pOther = m_pOtherBuffer;
        Unlink();
        pOther->Remove();
    }
    if (m_pRMIManager) m_pRMIManager->ForgetRemoteBuffer(this);
    DestroyTimer();
    delete m_pBuffer;
}

void CRemoteBuffer::DestroyTimer() {
    if (m_pTimer && m_pTimerManager) m_pTimerManager->DestroyTimer(m_pTimer);
    m_pTimer = nullptr;
}

// Both sides of a binding forget each other; a side still waiting for a
// transfer will not get it.
void CRemoteBuffer::Unlink() {
    CRemoteBuffer* pOther = m_pOtherBuffer;
    m_pOtherBuffer = nullptr;
    m_bBound = false;
    if (m_State == RB_PENDING) m_State = RB_TIMEOUT;
    if (!pOther) return;
    pOther->m_pOtherBuffer = nullptr;
    pOther->m_bBound = false;
    if (pOther->m_State == RB_PENDING) pOther->m_State = RB_TIMEOUT;
}

void CRemoteBuffer::Setup(HConnection hConnection, CRMIManager* pRMIManager, CTimerManager* pTimerManager, DWORD id,
                          bool isRemote) {
    OS_ASSERTMSG(m_Type != RB_REMOTE, "Reason: %s", "a remote buffer of the peer set up again");
    if (m_pRMIManager && m_pRMIManager != pRMIManager) m_pRMIManager->ForgetRemoteBuffer(this);
    if (IsSetUp()) IRemoteObject::Unbind();
    DestroyTimer();
    DisableSecurity();
    IRemoteObject::Setup(pRMIManager, id, isRemote);
    m_pTimerManager = pTimerManager;
    m_hConnection = hConnection;
    m_Type = isRemote ? RB_REMOTE : RB_LOCAL;
    m_State = RB_PENDING;
    m_pTimer = m_pTimerManager->CreateTimer(m_Timeout > 0 ? m_Timeout : 1, false, false, nullptr);
    m_pTimer->Restart();
    m_pTimer->Enable();
}

void CRemoteBuffer::SetTimeout(int seconds) {
    m_Timeout = seconds * 1000;
    if (!m_pTimer) return;
    m_pTimer->SetInterval(m_Timeout > 0 ? m_Timeout : 1);
    m_pTimer->Restart();
}

void CRemoteBuffer::Transmit(int dataRate) {
    OS_ASSERTMSG(IsSetUp(), "Reason: %s", "Transmit on a remote buffer that is not set up");
    OS_ASSERTMSG(m_State == RB_TIMEOUT || m_State == RB_PENDING, "Transmit in remote buffer state %d", m_State);
    OS_ASSERTMSG(dataRate == 0 || dataRate >= 11, "remote buffer rate %d between 1 and 10", dataRate);
    if (m_TransmitState != RB_IDLE) HandleError(m_hConnection, RMI_REASON_CONFLICT);
    m_State = RB_PENDING;
    m_TransmitState = RB_TRANSMIT;
    m_DataRate = dataRate / 10.0;
    m_Ticks = OS_GetTickCount();
    m_pBuffer->ResetPtr();
    if (m_pTimer) m_pTimer->Disable();
    int first = dataRate == 0 ? m_pBuffer->Length() : static_cast<int>(std::lround(m_DataRate));
    TransmitChunk(first, true);
    if (m_pBuffer->RemainingLength() == 0) FinishTransmit();
}

void CRemoteBuffer::FinishTransmit() {
    m_State = RB_SENT;
    m_TransmitState = RB_IDLE;
    if (m_CleanAfter) Remove();  // the Close requested during the transfer
}

void CRemoteBuffer::TransmitChunk(int sendSize, bool firstPacket) {
    int left = m_pBuffer->RemainingLength();
    if (sendSize > left) sendSize = left;
    if (sendSize < 0) sendSize = 0;
    CRemoteObjRef ref = GetObjRef();
    // One block, sized for the largest message of the chunk, serves them all.
    int largest = sendSize < RB_MAX_CHUNK ? sendSize : RB_MAX_CHUNK;
    CMessage msg(RMI_TYPE_BUFFER, static_cast<DWORD>(sizeof ref + 4 + largest));
    msg.WriteData(&ref, sizeof ref);
    if (firstPacket) {
        msg.WriteInt(m_pBuffer->Length());
        if (sendSize == 0) {
            m_pMessageManager->SendMessage(m_hConnection, msg);
            return;
        }
    }
    while (sendSize > 0) {
        int slice = sendSize < RB_MAX_CHUNK ? sendSize : RB_MAX_CHUNK;
        msg.WriteData(m_pBuffer->Ptr(), slice);
        m_pMessageManager->SendMessage(m_hConnection, msg);
        msg.Empty();
        msg.WriteData(&ref, sizeof ref);
        m_pBuffer->IncrementPtr(slice);
        sendSize -= slice;
    }
}

void CRemoteBuffer::Send(CBuffer& buffer) {
    OS_ASSERTMSG(IsSetUp(), "Reason: %s", "Send on a remote buffer that is not set up");
    if (m_TransmitState == RB_IDLE) {
        m_TransmitState = RB_SOURCE;
    } else if (m_TransmitState != RB_FORWARD && m_TransmitState != RB_SOURCE) {
        HandleError(m_hConnection, RMI_REASON_CONFLICT);
    }
    CRemoteObjRef ref = GetObjRef();
    CMessage msg(RMI_TYPE_BUFFER, static_cast<DWORD>(sizeof ref + buffer.RemainingLength()));
    msg.WriteData(&ref, sizeof ref);
    msg.WriteData(buffer.Ptr(), buffer.RemainingLength());
    m_pMessageManager->SendMessage(m_hConnection, msg);
}

void CRemoteBuffer::Bind(CRemoteBuffer* pBuffer) {
    OS_ASSERTMSG(IsSetUp() && pBuffer->IsSetUp(), "Reason: %s", "binding remote buffers that are not set up");
    // A buffer still linked to a partner (a Transmit that conflicted with a
    // binding leaves it so) is not idle: linking it again would leave the old
    // partner pointing at it.
    if (m_TransmitState == RB_IDLE && pBuffer->m_TransmitState == RB_IDLE && pBuffer != this && !m_pOtherBuffer &&
        !pBuffer->m_pOtherBuffer) {
        m_pOtherBuffer = pBuffer;
        pBuffer->m_pOtherBuffer = this;
        m_TransmitState = pBuffer->m_TransmitState = RB_FORWARD;
        m_bBound = pBuffer->m_bBound = true;
        return;
    }
    HandleError(m_hConnection, RMI_REASON_CONFLICT);
    pBuffer->HandleError(pBuffer->m_hConnection, RMI_REASON_CONFLICT);
}

void CRemoteBuffer::WaitForData() {
    OS_ASSERTMSG(IsSetUp() && m_pTimer, "Reason: %s", "waiting on a remote buffer that is not set up");
    std::shared_ptr<bool> pAlive = m_pAlive;
    const bool& alive = *pAlive;
    CMessageManager* pMessages = m_pMessageManager;
    CRMIManager* pRMI = m_pRMIManager;
    HConnection h = m_hConnection;
    while (alive && m_State == RB_PENDING) {
        CMessage msg;
        // The buffer may go away while the connection manager is pumped
        // (its connection's disconnect deletes an RB_REMOTE buffer).
        if (pMessages->RecvMessage(h, msg, RMI_TYPE_BUFFER, 1) && alive) pRMI->ReceivedMessage(h, msg);
    }
}

void CRemoteBuffer::Dispatch() {
    if (m_pTimer && m_pTimer->GetState()) m_State = RB_TIMEOUT;
    if (m_State == RB_TIMEOUT || m_TransmitState != RB_TRANSMIT) return;
    double f = static_cast<double>(OS_GetTickCount() - m_Ticks) / 100.0;
    if (f < 1.0) return;
    TransmitChunk(static_cast<int>(std::lround(f * m_DataRate)), false);
    m_Ticks = OS_GetTickCount();
    if (m_pBuffer->RemainingLength() == 0) FinishTransmit();
}

bool CRemoteBuffer::ReceivedMessage(HConnection /*hConnection*/, CMessage& message) {
    OS_ASSERTMSG(IsSetUp(), "Reason: %s", "a message for a remote buffer that is not set up");
    if (m_State == RB_TIMEOUT) return true;
    if (m_State != RB_PENDING) return false;
    // The owner's callbacks may close, remove, rebind or delete this buffer;
    // once one has, the transfer is no longer this call's to finish.
    std::shared_ptr<bool> pAlive = m_pAlive;
    auto ended = [&](RBTransmit_t activity) {
        return !*pAlive || !IsSetUp() || m_State != RB_PENDING || m_TransmitState != activity;
    };
    int rest = message.RemainingLength();
    switch (m_TransmitState) {
        case RB_IDLE: {
            DWORD total = rest >= 4 ? static_cast<DWORD>(message.ReadInt()) : 0;
            if (rest < 4) message.IncrementPtr(rest);
            // The owner bounds what a peer may make this buffer hold, and more
            // than announced is refused before anything is stored.
            if (total > m_MaxTransfer || static_cast<DWORD>(message.RemainingLength()) > total) return false;
            m_TransmitState = RB_RECV;
            m_RecvTotal = total;
            m_pBuffer->Empty();
            // Room for the announced total is made once rather than with every
            // message, but only up to a bound: a few bytes announcing a huge
            // total must not reserve it all before the data comes.
            long long reserve = total < RB_RECV_RESERVE ? total : RB_RECV_RESERVE;
            if (reserve > m_pBuffer->Capacity()) m_pBuffer->Resize(static_cast<int>(reserve));
            if (m_pCallback) {
                m_pCallback->RemoteBufferStart(this, total, 0);
                if (ended(RB_RECV)) return true;
            }
            m_pBuffer->WriteData(message.Ptr(), message.RemainingLength());
            m_RecvSize = static_cast<DWORD>(m_pBuffer->Length());
            break;
        }
        case RB_RECV:
            // More than announced is refused before it is stored.
            if (static_cast<unsigned long long>(m_RecvSize) + static_cast<unsigned>(rest) > m_RecvTotal) return false;
            m_pBuffer->WriteData(message.Ptr(), rest);
            m_RecvSize = static_cast<DWORD>(m_pBuffer->Length());
            break;
        case RB_FORWARD: {
            if (m_RecvTotal == 0) {
                DWORD total = 0;
                if (rest >= 4) memcpy(&total, message.Ptr(), 4);
                m_RecvTotal = total;
                m_RecvSize = rest >= 4 ? static_cast<DWORD>(rest - 4) : 0;
                if (m_pCallback) {
                    m_pCallback->RemoteBufferStart(this, total, m_RecvSize);
                    if (ended(RB_FORWARD)) return true;
                }
            } else {
                m_RecvSize += static_cast<DWORD>(rest);
            }
            if (m_pOtherBuffer) {
                // A conflict the partner reports may end either side.
                m_pOtherBuffer->Send(message);
                if (ended(RB_FORWARD)) return true;
            }
            break;
        }
        default:
            HandleError(m_hConnection, RMI_REASON_CONFLICT);
            return true;
    }
    if (m_pCallback) {
        RBTransmit_t activity = m_TransmitState;
        m_pCallback->RemoteBufferProgress(this, m_RecvSize, m_RecvTotal);
        if (ended(activity)) return true;
    }
    if (m_RecvSize > m_RecvTotal) return false;
    if (m_RecvSize < m_RecvTotal) return true;
    m_State = RB_RECEIVED;
    m_TransmitState = RB_IDLE;
    if (m_pTimer) m_pTimer->Disable();
    if (m_pCallback) {
        m_pCallback->RemoteBufferState(this, RB_RECEIVED);
        if (!*pAlive) return true;
    }
    if (m_CleanAfter) Remove();  // the Close requested during the transfer
    return true;
}

void CRemoteBuffer::Clear() {
    DestroyTimer();
    if (m_pOtherBuffer) {
        m_pOtherBuffer->m_pOtherBuffer = nullptr;
        m_pOtherBuffer->m_bBound = false;
    }
    m_pOtherBuffer = nullptr;
    m_bBound = false;
    if (IsSetUp()) IRemoteObject::Unbind();
    m_pTimerManager = nullptr;
    m_CleanAfter = false;
    m_RecvTotal = 0;
    m_RecvSize = 0;
    m_TransmitState = RB_IDLE;
}

void CRemoteBuffer::Remove() {
    if (m_pOtherBuffer) {
        CRemoteBuffer* pOther = m_pOtherBuffer;
        Unlink();
        pOther->Remove();
    }
    if (m_pRMIManager && m_pRMIManager->RemoveRemoteBuffer(this)) return;  // deleted
    Clear();
}

void CRemoteBuffer::Close() {
    if (m_TransmitState != RB_IDLE) {
        m_CleanAfter = true;
        return;
    }
    Remove();
}

void CRemoteBuffer::CloseBind() {
    if (m_pOtherBuffer) {
        m_pOtherBuffer->m_pOtherBuffer = nullptr;
        m_pOtherBuffer->m_bBound = false;
    }
    m_pOtherBuffer = nullptr;
    m_bBound = false;
    if (m_State == RB_PENDING) m_State = RB_TIMEOUT;
    Remove();
}
