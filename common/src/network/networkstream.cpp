// Network streams: sources that send stream data as type-3 messages (at once,
// or from a byte budget that grows with elapsed time) and their end as a
// type-4 message; sinks that turn them back into stream calls.
#include "common/src/network/networkstream.h"

#include <cmath>

#include "common/src/cbase.h"

CNetworkStream::CNetworkStream(HConnection hConnection, CRemoteObjRef objRef, StreamType_t type,
                               CRMIManager* pRMIManager)
    : m_Type(type),
      m_State(SS_PENDING),
      m_hConnection(hConnection),
      m_Timeout(20000),
      m_StartTicks(OS_GetTickCount()),
      m_LastTicks(m_StartTicks),
      m_bDeleteLater(false),
      m_bConnected(true),
      m_bThrottled(false),
      m_bStreamEnded(false),
      m_DataRate(0),
      m_DataPending(0) {
    Setup(pRMIManager, objRef.instanceID, objRef.isRemote != 0);
    DisableSecurity();
}

CNetworkStream::~CNetworkStream() {}

void CNetworkStream::SetDataRate(unsigned int bytes) {
    OS_ASSERTMSG(m_Type == NST_SOURCE, "Reason: %s", "a data rate for a sink stream");
    m_bThrottled = bytes != 0;
    m_DataRate = bytes / 1000.0;
    m_DataPending = 0;
    m_LastTicks = OS_GetTickCount();
}

void CNetworkStream::SendData(const char* data, int length) {
    CRemoteObjRef ref = GetObjRef();
    CMessage msg(RMI_TYPE_STREAM_DATA, static_cast<DWORD>(sizeof ref + length));
    msg.WriteData(&ref, sizeof ref);
    msg.WriteData(data, length);
    m_pMessageManager->SendMessage(m_hConnection, msg);
}

void CNetworkStream::SendEnd(StreamState_t state) {
    CRemoteObjRef ref = GetObjRef();
    CMessage msg(RMI_TYPE_STREAM_END, sizeof ref + 4);
    msg.WriteData(&ref, sizeof ref);
    msg.WriteInt(static_cast<int>(state));
    m_pMessageManager->SendMessage(m_hConnection, msg);
}

void CNetworkStream::StreamData(const CBuffer& buff) {
    if (m_State != SS_PENDING) return;
    for (int i = 0; i < m_ConnectedStreams.Count(); i++) m_ConnectedStreams[i]->StreamData(buff);
    if (m_Type != NST_SOURCE || !m_bConnected) return;
    const char* p = static_cast<const char*>(buff.Ptr());
    int length = buff.RemainingLength();
    if (m_bThrottled) {
        m_Buffer.WriteData(p, length);
        return;
    }
    while (length > 0) {
        int chunk = length < NST_MAX_CHUNK ? length : NST_MAX_CHUNK;
        SendData(p, chunk);
        p += chunk;
        length -= chunk;
    }
}

void CNetworkStream::StreamEnd(StreamState_t state) {
    if (m_State != SS_PENDING) return;
    for (int i = 0; i < m_ConnectedStreams.Count(); i++) m_ConnectedStreams[i]->StreamEnd(state);
    if (!m_bConnected) {
        m_State = SS_ERROR;
    } else if (m_Type == NST_SOURCE) {
        if (m_bThrottled && state == SS_EOS && m_Buffer.RemainingLength() > 0) {
            // The end follows the queued data (Transmit sends it).
            m_bStreamEnded = true;
            return;
        }
        SendEnd(state);
        m_State = state;
    } else {
        m_State = state;
    }
    if (m_bDeleteLater) DeleteNow();
}

void CNetworkStream::DeleteNow() {
    if (m_bConnected && m_pRMIManager) {
        m_pRMIManager->DestroyStream(this);
    } else {
        delete this;
    }
}

void CNetworkStream::DeleteLater() {
    m_bDeleteLater = true;
    if (m_State != SS_PENDING) DeleteNow();
}

bool CNetworkStream::ReceivedMessage(HConnection /*hConnection*/, CMessage& message) {
    if (m_Type == NST_SOURCE || m_State != SS_PENDING) return false;
    switch (message.GetType()) {
        case RMI_TYPE_STREAM_DATA:
            StreamData(message);
            return true;
        case RMI_TYPE_STREAM_END: {
            if (message.RemainingLength() != 4) return false;
            int state = message.ReadInt();
            StreamEnd(state == SS_ERROR || state == SS_EOS ? static_cast<StreamState_t>(state) : SS_ERROR);
            return true;
        }
        default:
            Log_PrintAll("CNetworkStream: Invalid message type");
            return false;
    }
}

void CNetworkStream::Dispatch() {
    if (m_State != SS_PENDING) return;
    unsigned int now = OS_GetTickCount();
    if (m_Type == NST_SINK) {
        if (now - m_StartTicks >= m_Timeout) StreamEnd(SS_TIMEOUT);
        return;
    }
    if (!m_bConnected || !m_bThrottled) return;
    m_DataPending += static_cast<double>(now - m_LastTicks) * m_DataRate;
    m_LastTicks = now;
    Transmit();
}

void CNetworkStream::Transmit() {
    double threshold = 20.0 * m_DataRate;
    if (threshold < 360.0) threshold = 360.0;
    while (m_DataPending >= threshold && m_Buffer.RemainingLength() > 0) {
        long long size = std::llround(m_DataPending) - 36;
        if (size > NST_MAX_CHUNK) size = NST_MAX_CHUNK;
        int queued = m_Buffer.RemainingLength();
        if (size <= queued) {
            // The reference and the data fill whole cipher blocks.
            size = ((size + 4) & ~7LL) - 4;
        } else {
            size = queued;
        }
        SendData(static_cast<const char*>(m_Buffer.Ptr()), static_cast<int>(size));
        m_DataPending -= static_cast<double>(size + 36);
        m_Buffer.IncrementPtr(static_cast<int>(size));
    }
    // Spent bytes are dropped once they are a good part of the queue.
    if (m_Buffer.RemainingLength() == 0) {
        m_Buffer.Empty();
    } else if (m_Buffer.Length() - m_Buffer.RemainingLength() > 65536) {
        m_Buffer.EraseDataRead();
    }
    if (m_bStreamEnded && m_Buffer.RemainingLength() == 0) {
        m_State = SS_EOS;
        SendEnd(SS_EOS);
        if (m_bDeleteLater) m_pRMIManager->DestroyStream(this);
    }
}

void CNetworkStream::Disconnect() {
    m_bConnected = false;
    if (m_State != SS_PENDING) return;
    if (m_Type == NST_SINK) {
        for (int i = 0; i < m_ConnectedStreams.Count(); i++) m_ConnectedStreams[i]->StreamEnd(SS_ERROR);
        m_State = SS_ERROR;
    } else if (m_bStreamEnded) {
        m_State = SS_ERROR;
    }
    if (m_State == SS_ERROR && m_bDeleteLater) delete this;
}
