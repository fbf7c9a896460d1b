// The message layer: typed, checksummed, enciphered messages over the byte
// streams of a connection manager, with a per-connection handshake that
// agrees a protocol version and a session key, keep-alives on idle
// connections and optional round-trip pings.
//
// Everything on the wire is a sequence of 24-byte records (three cipher
// blocks) and padded message bodies, enciphered with the Thin-ICE cipher:
// the handshake records with the fixed setup key, everything after them with
// the session key both ends agreed. The setup key is public, so the
// enciphering hides bytes from casual observers only; it neither
// authenticates a peer nor protects against an attacker.
//
// Threads and locks: the connection manager calls ClientData on its socket
// thread and the other listener operations on the thread that pumps its
// Dispatch(), never two at once. m_hMutex (binary) guards the connection
// table, the hooks, the queues and every timer; it is taken after the
// connection manager's dispatch lock and before the timer manager's lock and
// the connection manager's SendData and ClientError. Hooked messages and ping
// results are delivered without it, on the dispatching thread, so a hook may
// call SendMessage and HookMessage but never RecvMessage.
#ifndef NB_COMMON_NETWORK_MESSAGEMANAGER_H
#define NB_COMMON_NETWORK_MESSAGEMANAGER_H

#include "common/src/crypto/icekey.h"
#include "common/src/crypto/ihash.h"
#include "common/src/datatypes/assocarray.h"
#include "common/src/datatypes/buffer.h"
#include "common/src/datatypes/vector.h"
#include "common/src/network/iconnectionmanager.h"
#include "common/src/osutils.h"
#include "common/src/timers.h"

// Largest message body, before padding.
const DWORD MM_MAX_MESSAGE_SIZE = 10485760;
// Received messages of one connection waiting for delivery may hold at most
// this many body bytes; a peer that would pass it is dropped (0x20000003).
const DWORD MM_MAX_UNDELIVERED = 64u * 1024 * 1024;
// Protocol versions: the current one, and the older one whose application
// bodies carry a shorter object reference.
const DWORD MM_VERSION_CURRENT = 512;
// Control message types (top byte 0x01 or 0x02): they never carry a body.
const DWORD MM_TYPE_KEEPALIVE = 0x01000000;
const DWORD MM_TYPE_PING_REQUEST = 0x02000001;
const DWORD MM_TYPE_PING_REPLY = 0x02000010;
// The class id a version-511 type-2 body stands for.
const DWORD MM_OLD_TYPE2_CLASSID = 0xD06CD30B;

// Reasons this layer passes to ClientError.
enum MMReason_t {
    MM_REASON_HANDSHAKE_TIMEOUT = 0x20000000,  // no completed handshake within 90 s
    MM_REASON_CHECKSUM = 0x20000001,           // a record or body failed its checksum
    MM_REASON_SEQUENCE = 0x20000002,           // a record out of sequence
    MM_REASON_SIZE = 0x20000003,               // a body too large (announced, converted or undelivered)
    MM_REASON_UNHOOKED = 0x20000004,           // a message of a type nobody hooked
};

// Handshake state of one connection; it only ever moves forward.
enum MMStatus_t {
    STATUS_SETUP = 0,       // our negotiate record sent, none received yet
    STATUS_NEGOTIATED = 1,  // the peer's first negotiate record seen, not its last one
    STATUS_PRECONNECT = 2,  // the peer's last negotiate record seen; its connect record is next
    STATUS_CONNECTED = 3,   // session key agreed; messages flow
};

// The three records. All integers are little-endian; each checksum is the
// CRC register over the 24 plaintext bytes with the checksum field(s) 0.
struct MMNegotiateMessage_t {
    DWORD version;         // 0: the sender's protocol version
    DWORD reserved1;       // 4: random
    DWORD isLast;          // 8: 1 on the sender's last negotiate record
    DWORD reserved2;       // 12: random
    DWORD crc;             // 16
    DWORD sequenceNumber;  // 20
};
struct MMConnectMessage_t {
    BYTE sessionKey[8];    // 0: the sender's half of the session key
    DWORD reserved[2];     // 8: random
    DWORD crc;             // 16
    DWORD sequenceNumber;  // 20
};
struct MMHeader_t {
    DWORD crcHeader;       // 0: over the header with crcBody filled in
    DWORD size;            // 4: body bytes before padding
    DWORD crcBody;         // 8: over the header (both checksums 0), continued over the padded body
    DWORD type;            // 12
    DWORD reserved;        // 16: random
    DWORD sequenceNumber;  // 20
};
static_assert(sizeof(MMNegotiateMessage_t) == 24, "negotiate record is three cipher blocks");
static_assert(sizeof(MMConnectMessage_t) == 24, "connect record is three cipher blocks");
static_assert(sizeof(MMHeader_t) == 24, "message header is three cipher blocks");
static_assert(offsetof(MMNegotiateMessage_t, crc) == 16 && offsetof(MMNegotiateMessage_t, sequenceNumber) == 20,
              "negotiate record layout");
static_assert(offsetof(MMConnectMessage_t, crc) == 16 && offsetof(MMConnectMessage_t, sequenceNumber) == 20,
              "connect record layout");
static_assert(offsetof(MMHeader_t, crcBody) == 8 && offsetof(MMHeader_t, sequenceNumber) == 20,
              "message header layout");

// A typed message: a byte buffer and its type. A value object; whoever
// creates it owns it.
class CMessage : public CBuffer {
public:
    CMessage() : m_Type(0) {}
    explicit CMessage(DWORD type) : m_Type(type) {}
    // Reserves size bytes of capacity.
    CMessage(DWORD type, DWORD size) : m_Type(type) {
        if (size > 0) Resize(static_cast<int>(size));
    }
    CMessage(const CMessage& msg) : CBuffer(msg), m_Type(msg.m_Type) {}
    ~CMessage() override {}
    CMessage& operator=(const CMessage& msg) {
        CBuffer::operator=(msg);
        m_Type = msg.m_Type;
        return *this;
    }

    DWORD GetType() const { return m_Type; }
    void SetType(DWORD type) { m_Type = type; }

private:
    DWORD m_Type;
};

class CMessageManager;

// Receiver of messages and ping results, on the dispatching thread without
// the manager's lock.
class IMessageManagerCallback {
public:
    // A complete message of a hooked type; lent for the call only.
    virtual void ReceivedMessage(HConnection hConnection, CMessage& message) = 0;
    // A ping reply arrived after msec milliseconds.
    virtual void PingResult(HConnection hConnection, unsigned int msec) = 0;

protected:
    ~IMessageManagerCallback() {}
};

// A received message waiting for delivery; the queue owns pMessage.
struct MMRecvMsgs_t {
    HConnection hConnection;
    CMessage* pMessage;
    // The connection's disconnect has been reported: the handle is dead and
    // may already name a new connection.
    bool bDisconnected;
};

// A ping result waiting for delivery.
struct MMRecvPings_t {
    HConnection hConnection;
    unsigned int msec;
};

// One connection's protocol state, owned by the manager. Every operation
// runs with the manager's lock held.
class CMMConnection : public ITimerCallback {
public:
    CMMConnection(HConnection hConnection, CMessageManager* pMessageManager, bool retryConnect,
                  unsigned int packetSize);
    virtual void TimerExpire(CTimer* pTimer) override;
    // Deletes the unsent copies and a partial message; destroys its timers.
    virtual ~CMMConnection();
    CMMConnection(const CMMConnection&) = delete;
    CMMConnection& operator=(const CMMConnection&) = delete;

    // Queues a copy before the handshake completes, else frames, enciphers
    // and sends msg; msg is unchanged on return.
    void Send(CMessage& msg);
    // Consumes received bytes (deciphered in place where possible).
    void Recv(char* data, int length);
    void SetPingInterval(unsigned int sec);
    void PingEnable();
    void SendNegotiate(bool isLast);
    void SendEmptyMessage(DWORD type);
    // False when the record ended the connection.
    bool ProcessNegotiate(MMNegotiateMessage_t* pMsg);
    bool ProcessConnect(MMConnectMessage_t* pMsg);
    bool ProcessNormal(MMHeader_t* pMsg);

    MMStatus_t GetStatus() const { return m_Status; }
    DWORD GetVersion() const { return m_Version; }

private:
    friend class CMessageManager;
    // Ends the connection with reason; later input is ignored.
    void Fail(int reason);
    // Verifies and consumes the sequence number of a received record.
    bool CheckSequence(DWORD sequenceNumber);
    void SendRecord(void* pRecord, IEncryption* pCipher);
    // The body of a completed message: verify, unpad, convert, queue.
    bool FinishBody();
    void StartMsgTimer(int interval);

    DWORD m_ReadSize;
    CMessage* m_pReadBuffMsg;      // owned: body being received
    MMHeader_t m_pReadBuffHeader;  // the record being received (negotiate, connect or header)
    HConnection m_hConnection;
    DWORD m_SeqLocal;
    DWORD m_SeqRemote;
    CIceKey m_pSessionEncryption;
    CMessageManager* m_pMessageManager;
    MMStatus_t m_Status;
    DWORD m_Version;
    bool m_PingEnabled;
    unsigned int m_PingInterval;
    unsigned int m_PingStartTicks;
    unsigned int m_PacketSize;
    bool m_RetryConnect;
    int m_ConnectTimeout;
    CVector<CMessage*> m_pSendQueue;  // owned copies
    BYTE m_SessionKey[8];
    CTimer* m_MsgTimer;
    CTimer* m_PingTimer;
    // Not in the protocol state proper.
    MMHeader_t m_ReadHeader;       // plaintext header of the body being received
    int m_BodyDeciphered;          // bytes of that body deciphered (and checksummed) so far
    HPartialHash m_hBodyCrc;       // running body checksum while a body arrives, else null
    bool m_bFailed;                // ClientError was called: input is ignored
    DWORD m_Undelivered;           // body bytes of this connection's messages waiting for delivery
};

class CMessageManager : public IConnectionManagerExtendedListener {
public:
    // packetSize is rounded down to a multiple of 8 and must then lie in
    // 32..10485760 (fatal otherwise). Registers as extended listener.
    CMessageManager(IConnectionManager* pConnectionManager, bool retryConnect, bool pingEnabled,
                    unsigned int packetSize);
    // Unregisters from the connection manager, which must still be running
    // (delete the message manager before the connection manager's
    // Shutdown); not from inside one of its callbacks.
    virtual ~CMessageManager();
    CMessageManager(const CMessageManager&) = delete;
    CMessageManager& operator=(const CMessageManager&) = delete;

    IConnectionManager* GetConnectionManager() { return m_pConnectionManager; }
    // At most 10485760 bytes (fatal otherwise). Any thread. Dropped when the
    // connection is not (or no longer) known; msg is unchanged on return.
    void SendMessage(HConnection hConnection, CMessage& msg);
    // Waits up to timeout seconds, pumping the connection manager, for a
    // message of type from hConnection. Only from the thread that pumps the
    // connection manager, outside its dispatch. Other messages stay queued.
    bool RecvMessage(HConnection hConnection, CMessage& msg, DWORD type, int timeout);
    // pCallback receives every message of type from now on (replacing an
    // earlier hook); null removes the hook.
    void HookMessage(DWORD type, IMessageManagerCallback* pCallback);
    // During setup only: takes no lock.
    void RegisterPingCallback(IMessageManagerCallback* pCallback);
    // sec > 0 (fatal otherwise); applies to every connection.
    void SetPingInterval(unsigned int sec);

    // During a ReceivedMessage call from Dispatch: the message's connection
    // has been reported disconnected, so its handle must not be used (it may
    // even name a new connection already).
    bool DeliveringFromClosed() const { return m_bDeliveringClosed; }
    // The connection's handshake state (STATUS_SETUP for an unknown one).
    MMStatus_t GetStatus(HConnection hConnection);
    // Received messages waiting for delivery, all connections.
    int GetUndeliveredCount();

    virtual void ClientConnect(HConnection hConnection) override;
    virtual void ClientDisconnect(HConnection hConnection, bool forced, int reason) override;
    virtual void Dispatch() override;
    virtual void ClientData(HConnection hConnection, void* data, int length) override;

private:
    friend class CMMConnection;
    CMMConnection* Find(HConnection hConnection);
    // Frees the queued messages of a live connection (it is being dropped).
    void FreeUndelivered(CMMConnection* pConnection);
    // Queues a received message (the queue takes it).
    void Queue(CMMConnection* pConnection, CMessage* pMessage);
    // Takes the first queued message of type from hConnection, or null.
    CMessage* Take(HConnection hConnection, DWORD type);

    IConnectionManager* m_pConnectionManager;
    CAssocArray<HConnection, CMMConnection*> m_Connections;
    CAssocArray<DWORD, IMessageManagerCallback*> m_MsgCallbacks;
    CVector<MMRecvMsgs_t> m_RecvMsgs;
    CVector<MMRecvPings_t> m_RecvPings;
    CIceKey m_pSetupEncryption;
    CTimerManager m_TimerManager;
    HMutex m_hMutex;
    bool m_PingEnabled;
    unsigned int m_PingInterval;
    CVector<IMessageManagerCallback*> m_PingCallbacks;
    unsigned int m_PacketSize;
    bool m_BlockingRecv;
    bool m_RetryConnect;
    CTimer* m_pRecvTimer;
    bool m_bDeliveringClosed;  // dispatching thread only
    // The enciphering block, reused by every send (under m_hMutex): at most
    // the packet size, or the largest message sent when that is smaller.
    CBuffer m_SendBlock;
};

#endif
