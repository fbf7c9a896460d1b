// The message layer's wire protocol, per connection: handshake records,
// framing, enciphering and checksumming of messages, the receive state
// machine, keep-alives and pings. The manager around it (queues, hooks,
// dispatch) is in messagemanager_dispatch.cpp.
#include "common/src/network/messagemanager.h"

#include <cstring>

#include "common/src/crypto/ihash.h"

namespace {

// Handshake and control records are tried once a second; 90 ticks without a
// completed handshake end the connection.
const int MM_HANDSHAKE_TICK_MS = 1000;
const int MM_HANDSHAKE_TICKS = 89;
const int MM_KEEPALIVE_MS = 300000;

DWORD PaddedLength(DWORD size) { return (size + 7u) & ~7u; }

bool IsControlType(DWORD type) {
    DWORD top = type & 0xFF000000u;
    return top == 0x01000000u || top == 0x02000000u;
}

DWORD Checksum(const void* data, int length) {
    DWORD crc = 0;
    g_pCRC->Hash(data, length, &crc);
    return crc;
}

// The checksum of a 24-byte record whose checksum field lies at offset 16.
DWORD RecordChecksum(const void* pRecord) {
    BYTE plain[24];
    memcpy(plain, pRecord, 24);
    memset(plain + 16, 0, 4);
    return Checksum(plain, 24);
}

// Object references at the start of application bodies: 12 bytes today
// (classID, instanceID, isRemote, three bytes of padding); the older format
// keeps instanceID and a flag byte for type 2, classID and instanceID else.
const int MM_REF_SIZE = 12;

// The older format of body (whose length is at most 10485760).
void ConvertToOld(const CMessage& body, CMessage* pOld) {
    const BYTE* p = static_cast<const BYTE*>(body.Data());
    int length = body.Length();
    BYTE ref[MM_REF_SIZE] = {0};
    const BYTE* rest = p;
    int restLength = length;
    if (length >= MM_REF_SIZE) {
        memcpy(ref, p, MM_REF_SIZE);
        rest = p + MM_REF_SIZE;
        restLength = length - MM_REF_SIZE;
    }
    pOld->Empty();
    pOld->SetType(body.GetType());
    if (body.GetType() == 2) {
        pOld->WriteData(ref + 4, 4);
        pOld->WriteByte(ref[8] ? 0x98 : 0xF3);
    } else {
        pOld->WriteData(ref, 8);
    }
    pOld->WriteData(rest, restLength);
}

// The current format of an older body (missing bytes read as zero); false
// when it would pass the size limit.
bool ConvertFromOld(CMessage* pMsg) {
    const BYTE* p = static_cast<const BYTE*>(pMsg->Data());
    int length = pMsg->Length();
    bool type2 = pMsg->GetType() == 2;
    int prefix = type2 ? 5 : 8;
    int restLength = length > prefix ? length - prefix : 0;
    if (static_cast<long long>(MM_REF_SIZE) + restLength > static_cast<long long>(MM_MAX_MESSAGE_SIZE)) return false;
    BYTE head[8] = {0};
    if (length > 0) memcpy(head, p, static_cast<size_t>(length < prefix ? length : prefix));
    BYTE ref[MM_REF_SIZE] = {0};
    if (type2) {
        DWORD classId = MM_OLD_TYPE2_CLASSID;
        memcpy(ref, &classId, 4);
        memcpy(ref + 4, head, 4);
        ref[8] = head[4] == 0x98 ? 1 : 0;
    } else {
        memcpy(ref, head, 8);
    }
    CMessage converted(pMsg->GetType(), static_cast<DWORD>(MM_REF_SIZE + restLength));
    converted.WriteData(ref, MM_REF_SIZE);
    if (restLength > 0) converted.WriteData(p + prefix, restLength);
    *pMsg = converted;
    return true;
}

}  // namespace

CMMConnection::CMMConnection(HConnection hConnection, CMessageManager* pMessageManager, bool retryConnect,
                             unsigned int packetSize)
    : m_ReadSize(0),
      m_pReadBuffMsg(nullptr),
      m_pReadBuffHeader(),
      m_hConnection(hConnection),
      m_SeqLocal(0),
      m_SeqRemote(0),
      m_pMessageManager(pMessageManager),
      m_Status(STATUS_SETUP),
      m_Version(MM_VERSION_CURRENT),
      m_PingEnabled(false),
      m_PingInterval(20),
      m_PingStartTicks(0),
      m_PacketSize(packetSize),
      m_RetryConnect(retryConnect),
      m_ConnectTimeout(0),
      m_SessionKey(),
      m_MsgTimer(nullptr),
      m_PingTimer(nullptr),
      m_ReadHeader(),
      m_BodyDeciphered(0),
      m_hBodyCrc(nullptr),
      m_bFailed(false),
      m_Undelivered(0) {
    m_MsgTimer = m_pMessageManager->m_TimerManager.CreateTimer(MM_HANDSHAKE_TICK_MS, false, true, this);
    m_MsgTimer->Restart();
    m_MsgTimer->Enable();
}

CMMConnection::~CMMConnection() {
    for (int i = 0; i < m_pSendQueue.Count(); i++) delete m_pSendQueue[i];
    m_pSendQueue.RemoveAll();
    delete m_pReadBuffMsg;
    if (m_hBodyCrc) {
        DWORD unused;
        g_pCRC->Finish(m_hBodyCrc, &unused);
    }
    m_pMessageManager->m_TimerManager.DestroyTimer(m_MsgTimer);
    if (m_PingTimer) m_pMessageManager->m_TimerManager.DestroyTimer(m_PingTimer);
}

void CMMConnection::Fail(int reason) {
    if (m_bFailed) return;
    m_bFailed = true;
    m_MsgTimer->Disable();
    if (m_PingTimer) m_PingTimer->Disable();
    m_pMessageManager->m_pConnectionManager->ClientError(m_hConnection, reason);
}

bool CMMConnection::CheckSequence(DWORD sequenceNumber) {
    if (sequenceNumber != m_SeqRemote) {
        Fail(MM_REASON_SEQUENCE);
        return false;
    }
    m_SeqRemote++;
    return true;
}

void CMMConnection::SendRecord(void* pRecord, IEncryption* pCipher) {
    pCipher->Encrypt(static_cast<unsigned char*>(pRecord), 24);
    m_pMessageManager->m_pConnectionManager->SendData(m_hConnection, pRecord, 24);
}

void CMMConnection::SendNegotiate(bool isLast) {
    MMNegotiateMessage_t record;
    record.version = MM_VERSION_CURRENT;
    record.reserved1 = OS_Random();
    record.isLast = isLast ? 1 : 0;
    record.reserved2 = OS_Random();
    record.crc = 0;
    record.sequenceNumber = m_SeqLocal++;
    record.crc = Checksum(&record, 24);
    SendRecord(&record, &m_pMessageManager->m_pSetupEncryption);
}

void CMMConnection::SendEmptyMessage(DWORD type) {
    MMHeader_t header;
    header.crcHeader = 0;
    header.size = 0;
    header.crcBody = 0;
    header.type = type;
    header.reserved = OS_Random();
    header.sequenceNumber = m_SeqLocal++;
    header.crcBody = Checksum(&header, 24);
    header.crcHeader = Checksum(&header, 24);
    SendRecord(&header, &m_pSessionEncryption);
}

void CMMConnection::StartMsgTimer(int interval) {
    m_MsgTimer->Disable();
    m_MsgTimer->SetInterval(interval);
    m_MsgTimer->Enable();
    m_MsgTimer->Restart();
}

void CMMConnection::SetPingInterval(unsigned int sec) {
    m_PingInterval = sec;
    if (!m_PingEnabled) return;
    m_PingTimer->SetInterval(static_cast<int>(sec * 1000u));
    m_PingTimer->Restart();
}

void CMMConnection::PingEnable() {
    if (m_PingEnabled) return;
    m_PingEnabled = true;
    m_PingTimer = m_pMessageManager->m_TimerManager.CreateTimer(static_cast<int>(m_PingInterval * 1000u), false,
                                                                  true, this);
    m_PingTimer->Disable();
    if (m_Status == STATUS_CONNECTED) {
        m_PingStartTicks = OS_GetTickCount();
        SendEmptyMessage(MM_TYPE_PING_REQUEST);
    }
}

void CMMConnection::TimerExpire(CTimer* pTimer) {
    if (m_bFailed) return;
    if (pTimer == m_PingTimer && pTimer != nullptr) {
        if (m_Status != STATUS_CONNECTED) return;
        m_PingTimer->Disable();
        m_PingStartTicks = OS_GetTickCount();
        SendEmptyMessage(MM_TYPE_PING_REQUEST);
        return;
    }
    OS_ASSERTMSG(pTimer == m_MsgTimer, "Reason: %s", "a timer of another owner expired on a message connection");
    if (m_Status == STATUS_CONNECTED) {
        SendEmptyMessage(MM_TYPE_KEEPALIVE);
        return;
    }
    m_ConnectTimeout++;
    if (m_ConnectTimeout > MM_HANDSHAKE_TICKS) {
        Fail(MM_REASON_HANDSHAKE_TIMEOUT);
        return;
    }
    if (m_RetryConnect && m_Status == STATUS_SETUP) SendNegotiate(false);
}

void CMMConnection::Send(CMessage& msg) {
    if (m_bFailed) return;
    if (m_Status != STATUS_CONNECTED) {
        m_pSendQueue.AddToTail(new CMessage(msg));
        return;
    }
    DWORD type = msg.GetType();
    // Control types never carry a body: the peer would read one as records.
    bool control = IsControlType(type);
    CMessage old;
    CMessage* pBody = &msg;
    if (!control && m_Version < MM_VERSION_CURRENT) {
        ConvertToOld(msg, &old);
        pBody = &old;
    }
    int length = control ? 0 : pBody->Length();
    MMHeader_t header;
    header.crcHeader = 0;
    header.size = static_cast<DWORD>(length);
    header.crcBody = 0;
    header.type = type;
    header.reserved = OS_Random();
    header.sequenceNumber = m_SeqLocal++;

    if (!control) pBody->Align(8);
    int padded = control ? 0 : pBody->Length();
    const unsigned char* body = static_cast<const unsigned char*>(pBody->Data());
    HPartialHash hCrc = g_pCRC->Start();
    g_pCRC->Append(hCrc, &header, 24);
    g_pCRC->Append(hCrc, body, padded);
    g_pCRC->Finish(hCrc, &header.crcBody);
    header.crcHeader = Checksum(&header, 24);

    // One block of at most the packet size carries the header and the first
    // body bytes; the rest of the body follows in blocks of the packet size.
    CBuffer& block = m_pMessageManager->m_SendBlock;
    int blockSize = static_cast<int>(m_PacketSize);
    if (24 + padded < blockSize) blockSize = 24 + padded;
    block.Empty();
    unsigned char* out = static_cast<unsigned char*>(block.LazyWrite(blockSize));
    CIceKey& cipher = m_pSessionEncryption;
    IConnectionManager* pTransport = m_pMessageManager->m_pConnectionManager;
    cipher.Encrypt(reinterpret_cast<const unsigned char*>(&header), out, 24);
    int done = blockSize - 24;
    cipher.Encrypt(body, out + 24, done);
    pTransport->SendData(m_hConnection, out, blockSize);
    while (done < padded) {
        int chunk = padded - done;
        if (chunk > static_cast<int>(m_PacketSize)) chunk = static_cast<int>(m_PacketSize);
        cipher.Encrypt(body + done, out, chunk);
        pTransport->SendData(m_hConnection, out, chunk);
        done += chunk;
    }
    m_MsgTimer->Restart();
    if (pBody == &msg) msg.EraseData(msg.Length() - length);
}

bool CMMConnection::ProcessNegotiate(MMNegotiateMessage_t* pMsg) {
    if (m_Status == STATUS_SETUP) {
        m_SeqRemote = pMsg->sequenceNumber + 1;
        if (pMsg->version < m_Version) m_Version = pMsg->version;
        m_Status = pMsg->isLast ? STATUS_PRECONNECT : STATUS_NEGOTIATED;
        if (m_RetryConnect) SendNegotiate(true);
        MMConnectMessage_t record;
        for (int i = 0; i < 8; i++) m_SessionKey[i] = static_cast<BYTE>(OS_Random(255));
        memcpy(record.sessionKey, m_SessionKey, 8);
        record.reserved[0] = OS_Random();
        record.reserved[1] = OS_Random();
        record.crc = 0;
        record.sequenceNumber = m_SeqLocal++;
        record.crc = Checksum(&record, 24);
        SendRecord(&record, &m_pMessageManager->m_pSetupEncryption);
        return true;
    }
    if (!CheckSequence(pMsg->sequenceNumber)) return false;
    if (pMsg->isLast) m_Status = STATUS_PRECONNECT;
    return true;
}

bool CMMConnection::ProcessConnect(MMConnectMessage_t* pMsg) {
    if (!CheckSequence(pMsg->sequenceNumber)) return false;
    m_Status = STATUS_CONNECTED;
    StartMsgTimer(MM_KEEPALIVE_MS);
    BYTE key[8];
    for (int i = 0; i < 8; i++) key[i] = static_cast<BYTE>(pMsg->sessionKey[i] ^ m_SessionKey[i]);
    m_pSessionEncryption.SetKey(key);
    memset(key, 0, sizeof key);
    if (m_PingEnabled) {
        m_PingStartTicks = OS_GetTickCount();
        SendEmptyMessage(MM_TYPE_PING_REQUEST);
    }
    CVector<CMessage*> queued;
    queued.Std().swap(m_pSendQueue.Std());
    for (int i = 0; i < queued.Count(); i++) {
        Send(*queued[i]);
        delete queued[i];
    }
    return true;
}

bool CMMConnection::ProcessNormal(MMHeader_t* pMsg) {
    DWORD crcHeader = pMsg->crcHeader;
    pMsg->crcHeader = 0;
    if (Checksum(pMsg, 24) != crcHeader) {
        Fail(MM_REASON_CHECKSUM);
        return false;
    }
    if (!CheckSequence(pMsg->sequenceNumber)) return false;
    DWORD type = pMsg->type;
    if (IsControlType(type)) {
        DWORD crcBody = pMsg->crcBody;
        pMsg->crcBody = 0;
        if (Checksum(pMsg, 24) != crcBody) {
            Fail(MM_REASON_CHECKSUM);
            return false;
        }
        if (type & 0x1u) {
            SendEmptyMessage(MM_TYPE_PING_REPLY);
        } else if ((type & 0x10u) && m_PingEnabled) {
            unsigned int msec = OS_GetTickCount() - m_PingStartTicks;
            m_PingTimer->Enable();
            m_PingTimer->Restart();
            m_pMessageManager->m_RecvPings.AddToTail(MMRecvPings_t{m_hConnection, msec});
        }
        return true;
    }
    if (pMsg->size > MM_MAX_MESSAGE_SIZE) {
        Fail(MM_REASON_SIZE);
        return false;
    }
    // Messages waiting for delivery are bounded per connection: a peer
    // sending faster than its owner dispatches is dropped.
    if (static_cast<unsigned long long>(m_Undelivered) + pMsg->size > MM_MAX_UNDELIVERED) {
        m_pMessageManager->FreeUndelivered(this);
        Fail(MM_REASON_SIZE);
        return false;
    }
    DWORD padded = PaddedLength(pMsg->size);
    m_ReadHeader = *pMsg;
    m_ReadHeader.crcBody = 0;
    m_pReadBuffMsg = new CMessage(type, padded);
    m_ReadSize = padded;
    m_BodyDeciphered = 0;
    m_hBodyCrc = g_pCRC->Start();
    g_pCRC->Append(m_hBodyCrc, &m_ReadHeader, 24);
    m_ReadHeader.crcBody = pMsg->crcBody;
    if (padded == 0) return FinishBody();
    return true;
}

bool CMMConnection::FinishBody() {
    CMessage* pMsg = m_pReadBuffMsg;
    m_pReadBuffMsg = nullptr;
    DWORD crcBody;
    g_pCRC->Finish(m_hBodyCrc, &crcBody);
    m_hBodyCrc = nullptr;
    if (crcBody != m_ReadHeader.crcBody) {
        delete pMsg;
        Fail(MM_REASON_CHECKSUM);
        return false;
    }
    pMsg->EraseData(pMsg->Length() - static_cast<int>(m_ReadHeader.size));
    if (m_Version < MM_VERSION_CURRENT && !ConvertFromOld(pMsg)) {
        delete pMsg;
        Fail(MM_REASON_SIZE);
        return false;
    }
    m_pMessageManager->Queue(this, pMsg);
    return true;
}

void CMMConnection::Recv(char* data, int length) {
    if (m_bFailed) return;
    if (m_Status == STATUS_CONNECTED) m_MsgTimer->Restart();
    CIceKey& setup = m_pMessageManager->m_pSetupEncryption;
    while (length > 0) {
        if (m_pReadBuffMsg) {
            // A body arrives: copy it in and decipher (and checksum) every
            // whole block as soon as it is there.
            int n = length < static_cast<int>(m_ReadSize) ? length : static_cast<int>(m_ReadSize);
            memcpy(m_pReadBuffMsg->LazyWrite(n), data, static_cast<size_t>(n));
            data += n;
            length -= n;
            m_ReadSize -= static_cast<DWORD>(n);
            int whole = m_pReadBuffMsg->Length() & ~7;
            if (whole > m_BodyDeciphered) {
                unsigned char* p = static_cast<unsigned char*>(m_pReadBuffMsg->Data()) + m_BodyDeciphered;
                m_pSessionEncryption.Decrypt(p, whole - m_BodyDeciphered);
                g_pCRC->Append(m_hBodyCrc, p, whole - m_BodyDeciphered);
                m_BodyDeciphered = whole;
            }
            if (m_ReadSize == 0 && !FinishBody()) return;
            continue;
        }
        int n = 24 - static_cast<int>(m_ReadSize);
        if (n > length) n = length;
        memcpy(reinterpret_cast<char*>(&m_pReadBuffHeader) + m_ReadSize, data, static_cast<size_t>(n));
        data += n;
        length -= n;
        m_ReadSize += static_cast<DWORD>(n);
        if (m_ReadSize < 24) break;
        m_ReadSize = 0;
        void* pRecord = &m_pReadBuffHeader;
        bool ok;
        switch (m_Status) {
            case STATUS_SETUP:
            case STATUS_NEGOTIATED:
            case STATUS_PRECONNECT:
                setup.Decrypt(static_cast<unsigned char*>(pRecord), 24);
                if (RecordChecksum(pRecord) != static_cast<MMNegotiateMessage_t*>(pRecord)->crc) {
                    Fail(MM_REASON_CHECKSUM);
                    return;
                }
                if (m_Status == STATUS_PRECONNECT) {
                    ok = ProcessConnect(static_cast<MMConnectMessage_t*>(pRecord));
                } else {
                    ok = ProcessNegotiate(static_cast<MMNegotiateMessage_t*>(pRecord));
                }
                break;
            case STATUS_CONNECTED:
                m_pSessionEncryption.Decrypt(static_cast<unsigned char*>(pRecord), 24);
                ok = ProcessNormal(&m_pReadBuffHeader);
                break;
            default:
                OS_ASSERTMSG(false, "Reason: %s", "This can't happen!");
        }
        if (!ok) return;
    }
}
