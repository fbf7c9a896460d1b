// libFuzzer target: the message layer's receive path, handshake and
// delivery, driven in process over a fake connection manager (no sockets), so
// one input runs in microseconds.
//
// Random bytes die at the first checksum, so most inputs play the peer: the
// harness completes the handshake itself (it deciphers the manager's connect
// record to learn its half of the session key), then enciphers the records
// the input describes with the session key and the project's own CIceKey and
// g_pCRC, and feeds the stream in cuts the input chooses. It keeps a model of
// what the manager must do with every record (status, replies, deliveries,
// the reason of the one record meant to fail) and parses everything the
// manager sends as the peer would (checksums, sequence numbers, the bodies it
// was asked to send). Any disagreement aborts, as does a crash, a leak or a
// sanitizer report.
//
// Input, byte by byte (reads past the end yield zeros):
//   flags: bit 0 structured (else raw), bit 1 retryConnect, bit 2 pings,
//          bit 3 hooks echo each message back, bit 4 no final Dispatch before
//          the disconnect, bit 5 time passes and Dispatch runs once more after
//          a ClientError, bits 6-7 packet size (65536, 32, small, any).
//   raw:   chunk length - 1, dispatch flags, then the bytes fed as they are.
//   structured: hooked types (bit i: kAppTypes[i]), peer version, extra
//          negotiate records and a handshake fault, first sequence number (4),
//          the peer's key half (8), then operations until the input ends:
//          0-2 a record (type, size, fault, up to 32 body bytes), 3 feed a cut
//          of the stream, 4 Dispatch, 5 time passes then Dispatch, 6 send a
//          message, 7 hook toggle / RecvMessage / ping interval / send to an
//          unknown connection.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "common/src/cbase.h"
#include "common/src/crypto/ihash.h"
#include "common/src/log.h"
#include "common/src/network/messagemanager.h"
#include "common/src/osutils.h"

namespace {

const BYTE kSetupKey[8] = {0x5A, 0x13, 0xC7, 0xE0, 0x29, 0x8B, 0x44, 0xF6};
HConnection const kConn = reinterpret_cast<HConnection>(static_cast<uintptr_t>(0x5EED));
HConnection const kUnknownConn = reinterpret_cast<HConnection>(static_cast<uintptr_t>(0x7A11));
const DWORD kAppTypes[8] = {0, 2, 3, 4, 1, 0x7FFFFFFF, 0x03000000, 0xFFFFFFFF};
const DWORD kSpareHookType = 0x7EADBEEF;  // hooked from inside a hook
const int kMaxChunk = 262144;             // the connection manager's largest ClientData block

[[noreturn]] void Violation(const char* what, int line) {
    fprintf(stderr, "fuzz_messages: invariant failed on line %d: %s\n", line, what);
    abort();
}
#define FUZZ_CHECK(cond)                                \
    do {                                                \
        if (!(cond)) Violation(#cond, __LINE__);        \
    } while (0)

DWORD Bit(int reason) { return 1u << (static_cast<DWORD>(reason) - MM_REASON_HANDSHAKE_TIMEOUT); }
const DWORD kChecksum = 1u << 1, kSequence = 1u << 2, kSize = 1u << 3;

DWORD Crc(const void* p, int n) {
    DWORD crc;
    g_pCRC->Hash(p, n, &crc);
    return crc;
}
DWORD Padded(DWORD n) { return (n + 7) & ~7u; }
DWORD Le32(const std::string& s, size_t at) {  // missing bytes read as zero
    BYTE b[4] = {0, 0, 0, 0};
    for (size_t i = 0; i < 4; i++)
        if (at + i < s.size()) b[i] = static_cast<BYTE>(s[at + i]);
    return b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<DWORD>(b[3]) << 24);
}
// The content of a buffer (an empty one has no storage at all).
std::string Bytes(const CBuffer& buffer) {
    if (buffer.Length() == 0) return std::string();
    return std::string(static_cast<const char*>(buffer.Data()), static_cast<size_t>(buffer.Length()));
}
std::string Tail(const std::string& s, size_t from) { return from < s.size() ? s.substr(from) : std::string(); }

IEncryption& SetupCipher() {
    static CIceKey* s_pKey = [] {
        CIceKey* pKey = new CIceKey();
        pKey->SetKey(const_cast<BYTE*>(kSetupKey));
        return pKey;
    }();
    return *s_pKey;
}

// The input, read front to back; past its end every read yields zeros.
class CInput {
public:
    CInput(const uint8_t* data, size_t size) : m_pData(data), m_Size(size), m_Pos(0) {}
    bool AtEnd() const { return m_Pos >= m_Size; }
    BYTE Byte() { return m_Pos < m_Size ? m_pData[m_Pos++] : 0; }
    DWORD Dword() {
        DWORD v = Byte();
        v |= Byte() << 8;
        v |= Byte() << 16;
        return v | static_cast<DWORD>(Byte()) << 24;
    }
    // What is left, unread.
    std::string Rest() {
        std::string s(reinterpret_cast<const char*>(m_pData + m_Pos), m_Size - m_Pos);
        m_Pos = m_Size;
        return s;
    }
    // n bytes: the first (up to 32) from the input, the rest a pattern seeded
    // by them, so short inputs still describe long bodies.
    std::string Body(DWORD n) {
        std::string s(n, '\0');
        DWORD seed = 0x9E3779B9u;
        for (DWORD i = 0; i < n; i++) {
            if (i < 32 && !AtEnd()) {
                s[i] = static_cast<char>(Byte());
                seed = seed * 31 + static_cast<BYTE>(s[i]);
            } else {
                seed = seed * 1103515245u + 12345u;
                s[i] = static_cast<char>(seed >> 24);
            }
        }
        return s;
    }

private:
    const uint8_t* m_pData;
    size_t m_Size;
    size_t m_Pos;
};

// What the manager must do when the stream reaches a record's end.
enum EventKind_t { EV_NEGOTIATE, EV_CONNECT, EV_CONTROL, EV_HEADER, EV_BODY };
struct Event_t {
    size_t end;         // stream offset at which the record (or body) is complete
    EventKind_t kind;
    DWORD errMask;      // non-zero: the manager must end the connection with one of these reasons
    DWORD type;
    bool isLast;        // negotiate
    int pingReplies;    // control: 1 a reply is due, 2 a reply may come (a control type with bit 0 and other bits)
    std::string body;   // body as sent (the peer's format)
};

// A message the manager must deliver: its type and body as the peer sent it.
struct Pending_t {
    DWORD type;
    std::string wire;
};

enum Fault_t { FAULT_NONE, FAULT_CRC1, FAULT_CRC2, FAULT_FLIP, FAULT_SEQ };

class CRun;

// The transport the manager sees: records what it sends and which
// connections it drops; everything else is trivial.
class CFakeTransport : public IConnectionManager {
public:
    explicit CFakeTransport(CRun* pRun) : m_pRun(pRun), m_pListener(nullptr) {}
    void Dispatch() override {
        if (m_pListener) m_pListener->Dispatch();
    }
    void AddListener(IConnectionManagerListener* pListener, bool extended) override {
        FUZZ_CHECK(extended && m_pListener == nullptr);
        m_pListener = static_cast<IConnectionManagerExtendedListener*>(pListener);
    }
    void RemoveListener(IConnectionManagerListener* pListener) override {
        FUZZ_CHECK(pListener == m_pListener);
        m_pListener = nullptr;
    }
    void SendData(HConnection hConnection, const void* data, int length) override;
    CString GetConnectionId(HConnection) override { return CString("1"); }
    HConnection FindConnection(CString) override { return kConn; }
    void ClientError(HConnection hConnection, int reason) override;

private:
    CRun* m_pRun;
    IConnectionManagerExtendedListener* m_pListener;  // not owned
};

// One input: a manager, one connection, the peer's side of it and the model.
class CRun : public IMessageManagerCallback {
public:
    explicit CRun(CInput& in) : m_In(in), m_Transport(this) {}
    ~CRun() { delete m_pMM; }
    void Go();

    // From the transport.
    void Sent(HConnection hConnection, const void* data, int length) {
        FUZZ_CHECK(hConnection == kConn);
        FUZZ_CHECK(length > 0 && static_cast<unsigned int>(length) <= m_PacketSize);
        if (!m_Errors.empty()) {
            // Nothing leaves after the connection was dropped.
            fprintf(stderr, "fuzz_messages: %d bytes sent after ClientError(0x%08X)\n", length,
                    static_cast<unsigned int>(m_Errors[0]));
            Violation("m_Errors.empty()", __LINE__);
        }
        FUZZ_CHECK(!m_bDisconnected);
        m_Out.append(static_cast<const char*>(data), static_cast<size_t>(length));
    }
    void Error(HConnection hConnection, int reason) {
        FUZZ_CHECK(hConnection == kConn);
        FUZZ_CHECK(!m_bDisconnected);  // the handle is dead, it may name another connection
        FUZZ_CHECK(reason >= MM_REASON_HANDSHAKE_TIMEOUT && reason <= MM_REASON_UNHOOKED);
        m_Errors.push_back(reason);
    }

    void ReceivedMessage(HConnection hConnection, CMessage& message) override;
    void PingResult(HConnection hConnection, unsigned int) override {
        FUZZ_CHECK(hConnection == kConn && m_bInDispatch && m_bPings);
    }

private:
    void Raw();
    void Structured();
    void Handshake();
    void Operation();
    void AppendRecord(DWORD type, DWORD announced, const std::string& body, DWORD written, Fault_t fault,
                      int flipBit, int seqOffset);
    void AppendHandshakeRecord(void* pRecord, bool connect, Fault_t fault, int flipBit, int seqOffset);
    void Feed(size_t n);
    void AfterInput();
    void Dispatch();
    void SendOurs(HConnection hConnection, DWORD type, const std::string& body);
    void ParseOutput();
    bool WireMatchesSent(DWORD type, const std::string& sent, const std::string& wire) const;
    bool DeliveredMatches(const Pending_t& p, const CMessage& m) const;
    bool Hooked(DWORD type) const { return m_Hooks.count(type) != 0; }
    bool OldFormat() const { return m_PeerVersion < MM_VERSION_CURRENT; }
    DWORD Lcg() { return m_Lcg = m_Lcg * 1103515245u + 12345u; }
    void Finish();

    CInput& m_In;
    CFakeTransport m_Transport;
    CMessageManager* m_pMM = nullptr;  // owned
    bool m_bStructured = false, m_bRetry = false, m_bPings = false, m_bEcho = false;
    bool m_bSkipFinalDispatch = false, m_bDispatchAfterError = false;
    unsigned int m_PacketSize = 65536;
    std::set<DWORD> m_Hooks;
    DWORD m_PeerVersion = MM_VERSION_CURRENT;
    DWORD m_Lcg = 1;
    unsigned int m_VirtualMs = 0;  // virtual time since ClientConnect

    // What the manager did.
    std::vector<int> m_Errors;
    bool m_bDisconnected = false;
    bool m_bInDispatch = false;
    int m_Delivered = 0;

    // The stream to the manager: bytes [m_Fed, m_StreamLen) wait in m_Pending.
    std::string m_Pending;
    size_t m_Fed = 0, m_StreamLen = 0;
    std::deque<Event_t> m_Events;
    DWORD m_SeqOut = 0;          // sequence number of the peer's next record
    bool m_bStreamEnded = false;  // a record that fails or never completes went out: no more records
    BYTE m_OurHalf[8] = {};
    CIceKey m_Session;
    bool m_bSessionKeyed = false;

    // The model.
    MMStatus_t m_ExpStatus = STATUS_SETUP;
    bool m_bSawNegotiate = false;
    bool m_bModelDone = false;  // the record meant to fail has been reached
    std::deque<Pending_t> m_Deliveries;
    int m_PingRepliesDue = 0, m_PingRepliesMaybe = 0;
    std::vector<Pending_t> m_Snapshot;  // deliveries due in the running Dispatch
    size_t m_SnapshotCursor = 0;

    // The manager's stream as the peer parses it.
    std::string m_Out;
    size_t m_OutPos = 0;
    DWORD m_MgrSeq = 0;
    int m_MgrNegotiates = 0;
    bool m_bMgrSawLast = false, m_bMgrKeyKnown = false;
    int m_MgrPingRequests = 0, m_MgrPingReplies = 0;
    std::deque<Pending_t> m_Sent;  // our messages not yet seen on the wire, in submission order
};

void CFakeTransport::SendData(HConnection hConnection, const void* data, int length) {
    m_pRun->Sent(hConnection, data, length);
}
void CFakeTransport::ClientError(HConnection hConnection, int reason) { m_pRun->Error(hConnection, reason); }

void CRun::Go() {
    BYTE flags = m_In.Byte();
    m_bStructured = flags & 1;
    m_bRetry = flags & 2;
    m_bPings = flags & 4;
    m_bEcho = flags & 8;
    m_bSkipFinalDispatch = flags & 16;
    m_bDispatchAfterError = flags & 32;
    unsigned int requested = 65536;
    switch (flags >> 6) {
        case 1: requested = 32; break;
        case 2: requested = 32 + 8 * (m_In.Byte() % 32) + (flags & 7); break;
        case 3: requested = 32 + m_In.Dword() % (MM_MAX_MESSAGE_SIZE - 32 + 1); break;
        default: break;
    }
    m_PacketSize = requested & ~7u;
    m_pMM = new CMessageManager(&m_Transport, m_bRetry, m_bPings, requested);
    m_pMM->RegisterPingCallback(this);
    if (m_bStructured)
        Structured();
    else
        Raw();
    Finish();
}

// Raw bytes straight into the handshake parser.
void CRun::Raw() {
    size_t chunk = 1 + m_In.Byte();
    BYTE dispatch = m_In.Byte();
    std::string rest = m_In.Rest();
    // Unless the first 24 bytes carry a valid negotiate record, they end the
    // connection with a checksum failure.
    bool firstValid = true;
    if (rest.size() >= 24) {
        MMNegotiateMessage_t rec;
        SetupCipher().Decrypt(reinterpret_cast<const unsigned char*>(rest.data()),
                              reinterpret_cast<unsigned char*>(&rec), 24);
        DWORD crc = rec.crc;
        rec.crc = 0;
        firstValid = Crc(&rec, 24) == crc;
    }
    m_pMM->ClientConnect(kConn);
    ParseOutput();
    for (size_t at = 0; at < rest.size() && m_Errors.empty(); at += chunk) {
        size_t n = std::min(chunk, rest.size() - at);
        std::unique_ptr<char[]> buf(new char[n]);
        memcpy(buf.get(), rest.data() + at, n);
        m_pMM->ClientData(kConn, buf.get(), static_cast<int>(n));
        ParseOutput();
        if (!firstValid && at + n >= 24) FUZZ_CHECK(!m_Errors.empty() && m_Errors[0] == MM_REASON_CHECKSUM);
        if (dispatch & 1) Dispatch();
        if (dispatch & 2) {
            OS_TestAdvanceTickCount(1000);
            m_VirtualMs += 1000;
        }
    }
}

void CRun::Structured() {
    BYTE hooks = m_In.Byte();
    for (int i = 0; i < 8; i++) {
        if (hooks & (1 << i)) {
            m_Hooks.insert(kAppTypes[i]);
            m_pMM->HookMessage(kAppTypes[i], this);
        }
    }
    switch (m_In.Byte() % 8) {
        case 4: m_PeerVersion = 511; break;
        case 5: m_PeerVersion = 1; break;
        case 6: m_PeerVersion = 513; break;
        case 7: m_PeerVersion = m_In.Dword(); break;
        default: m_PeerVersion = MM_VERSION_CURRENT; break;
    }
    m_pMM->ClientConnect(kConn);
    FUZZ_CHECK(m_pMM->GetStatus(kConn) == STATUS_SETUP);
    ParseOutput();
    FUZZ_CHECK(m_MgrNegotiates == 1);
    Handshake();
    while (!m_In.AtEnd() && m_Errors.empty()) Operation();
}

// The peer's negotiate records (some with isLast 0, then one with 1) and its
// connect record, appended to the stream; one of them may be spoiled.
void CRun::Handshake() {
    BYTE shape = m_In.Byte();
    int extra = shape & 3;
    int faultAt = -1;
    Fault_t fault = FAULT_NONE;
    if (shape >= 0xC0) {
        const Fault_t kinds[3] = {FAULT_CRC1, FAULT_FLIP, FAULT_SEQ};
        faultAt = (shape >> 2) % (extra + 2);
        fault = kinds[shape % 3];
        if (fault == FAULT_SEQ && faultAt == 0) faultAt = 1;  // the first record sets the count
    }
    m_SeqOut = m_In.Dword();
    for (BYTE& b : m_OurHalf) b = m_In.Byte();
    m_Lcg = m_SeqOut ^ 0xA5A5A5A5u;
    for (int i = 0; i <= extra; i++) {
        MMNegotiateMessage_t neg = {};
        neg.version = m_PeerVersion;
        neg.reserved1 = Lcg();
        neg.isLast = i == extra ? 1 : 0;
        neg.reserved2 = Lcg();
        AppendHandshakeRecord(&neg, false, i == faultAt ? fault : FAULT_NONE, static_cast<int>(Lcg() % 192),
                              1 + shape % 5);
    }
    MMConnectMessage_t con = {};
    memcpy(con.sessionKey, m_OurHalf, 8);
    con.reserved[0] = Lcg();
    con.reserved[1] = Lcg();
    AppendHandshakeRecord(&con, true, extra + 1 == faultAt ? fault : FAULT_NONE, static_cast<int>(Lcg() % 192),
                          1 + shape % 5);
}

void CRun::AppendHandshakeRecord(void* pRecord, bool connect, Fault_t fault, int flipBit, int seqOffset) {
    if (m_bStreamEnded) return;
    // Negotiate and connect records share the places of crc (16) and sequenceNumber (20).
    MMNegotiateMessage_t* rec = static_cast<MMNegotiateMessage_t*>(pRecord);
    rec->crc = 0;
    rec->sequenceNumber = m_SeqOut++ + (fault == FAULT_SEQ ? static_cast<DWORD>(seqOffset) : 0);
    rec->crc = Crc(rec, 24);
    if (fault == FAULT_CRC1) rec->crc ^= 1u << (flipBit % 32);
    std::string wire(reinterpret_cast<const char*>(rec), 24);
    SetupCipher().Encrypt(reinterpret_cast<unsigned char*>(&wire[0]), 24);
    if (fault == FAULT_FLIP) wire[static_cast<size_t>(flipBit / 8)] ^= static_cast<char>(1 << (flipBit % 8));
    m_Pending += wire;
    m_StreamLen += 24;
    Event_t ev = {};
    ev.end = m_StreamLen;
    ev.kind = connect ? EV_CONNECT : EV_NEGOTIATE;
    ev.isLast = !connect && rec->isLast != 0;
    ev.errMask = fault == FAULT_NONE ? 0 : fault == FAULT_SEQ ? kSequence : kChecksum;
    m_Events.push_back(ev);
    if (fault != FAULT_NONE) m_bStreamEnded = true;
}

void CRun::Operation() {
    BYTE op = m_In.Byte();
    switch (op % 8) {
        case 0:
        case 1:
        case 2: {
            BYTE t = m_In.Byte(), l = m_In.Byte(), f = m_In.Byte();
            DWORD type;
            int kind = t % 16;
            if (kind < 8)
                type = kAppTypes[kind];
            else if (kind == 8)
                type = MM_TYPE_KEEPALIVE;
            else if (kind == 9)
                type = MM_TYPE_PING_REQUEST;
            else if (kind == 10)
                type = MM_TYPE_PING_REPLY;
            else if (kind == 11) {
                DWORD d = m_In.Dword();
                type = ((d & 0x01000000) ? 0x02000000u : 0x01000000u) | (d & 0x00FFFFFF);
            } else if (kind == 12)
                type = m_In.Dword();
            else
                type = kAppTypes[t >> 5];
            DWORD announced, written;
            bool complete = true;
            if (l < 192) {
                announced = l;
            } else if (l < 240) {
                announced = (l - 191u) * 16u;
            } else if (l < 252) {
                announced = (l - 239u) * 341u;
            } else if (l < 254) {  // never completes: the body the peer starts is cut off by the input's end
                announced = 65537 + m_In.Dword() % (MM_MAX_MESSAGE_SIZE - 65536);
                complete = false;
            } else if (l == 254) {
                announced = MM_MAX_MESSAGE_SIZE;  // the largest accepted, equally cut off
                complete = false;
            } else {
                announced = MM_MAX_MESSAGE_SIZE + 1 + m_In.Dword() % (0xFFFFFFFFu - MM_MAX_MESSAGE_SIZE);
                complete = false;
            }
            bool control = (type & 0xFF000000u) == 0x01000000u || (type & 0xFF000000u) == 0x02000000u;
            if (control)
                written = 0;
            else if (announced > MM_MAX_MESSAGE_SIZE)
                written = 0;
            else if (complete)
                written = Padded(announced);
            else
                written = std::min<DWORD>(Padded(announced), 8 * (1 + t % 64));
            Fault_t fault = FAULT_NONE;
            if (f >= 224) fault = static_cast<Fault_t>(FAULT_CRC1 + (f - 224) % 4);
            int seqOffset = ((f >> 2) & 7) == 7 ? -1 : 1 + ((f >> 2) & 7);
            std::string body = m_In.Body(std::min<DWORD>(written, announced));
            body.resize(written, '\0');
            AppendRecord(type, announced, body, written, fault, f, seqOffset);
            break;
        }
        case 3: {
            BYTE b = m_In.Byte();
            size_t n = b < 128 ? b + 1u : b < 192 ? (b - 127u) * 97u : b < 255 ? (b - 191u) * 1024u : m_Pending.size();
            Feed(n);
            break;
        }
        case 4:
            Dispatch();
            break;
        case 5: {
            BYTE v = m_In.Byte();
            unsigned int ms = v < 64 ? v * 20u : v < 128 ? (v - 63u) * 1000u : v < 192 ? (v - 127u) * 5000u
                                                                                         : 300000u + (v - 191u) * 1000u;
            OS_TestAdvanceTickCount(ms);
            m_VirtualMs += ms;
            Dispatch();
            break;
        }
        case 6: {
            BYTE t = m_In.Byte(), l = m_In.Byte();
            DWORD len = l < 224 ? l : (l - 223u) * 128u;
            SendOurs(kConn, kAppTypes[t % 8], m_In.Body(len));
            break;
        }
        default: {
            BYTE sub = m_In.Byte();
            switch (sub % 4) {
                case 0: {  // a hook comes or goes between dispatches
                    DWORD type = kAppTypes[(sub >> 2) % 8];
                    if (Hooked(type)) {
                        m_Hooks.erase(type);
                        m_pMM->HookMessage(type, nullptr);
                    } else {
                        m_Hooks.insert(type);
                        m_pMM->HookMessage(type, this);
                    }
                    break;
                }
                case 1: {  // a message the model knows is queued is taken out by RecvMessage
                    if (m_Deliveries.empty() || m_bModelDone) break;
                    size_t pick = (sub >> 2) % m_Deliveries.size();
                    DWORD type = m_Deliveries[pick].type;
                    size_t first = 0;
                    while (m_Deliveries[first].type != type) first++;
                    CMessage msg;
                    FUZZ_CHECK(m_pMM->RecvMessage(kConn, msg, type, 1));
                    FUZZ_CHECK(msg.GetType() == type && DeliveredMatches(m_Deliveries[first], msg));
                    m_Deliveries.erase(m_Deliveries.begin() + static_cast<long>(first));
                    FUZZ_CHECK(m_pMM->GetUndeliveredCount() == static_cast<int>(m_Deliveries.size()));
                    FUZZ_CHECK(m_Errors.empty());
                    break;
                }
                case 2:
                    m_pMM->SetPingInterval(1 + (sub >> 2));
                    break;
                default: {  // dropped: the connection is not known
                    size_t before = m_Out.size();
                    CMessage msg(kAppTypes[(sub >> 2) % 8]);
                    msg.WriteData("unknown", 7);
                    m_pMM->SendMessage(kUnknownConn, msg);
                    FUZZ_CHECK(m_Out.size() == before && msg.Length() == 7);
                    break;
                }
            }
            break;
        }
    }
}

// A header and body (or a control message) enciphered with the session key.
// fault spoils one checksum, flips a ciphertext bit or skews the sequence
// number; written is the (padded) body length put on the stream.
void CRun::AppendRecord(DWORD type, DWORD announced, const std::string& body, DWORD written, Fault_t fault,
                        int flipBit, int seqOffset) {
    if (m_bStreamEnded) return;
    if (!m_bSessionKeyed) {
        // The session key needs the manager's connect record, which answers
        // the peer's first negotiate record.
        Feed(m_Pending.size());
        if (!m_bSessionKeyed || !m_Errors.empty() || m_bModelDone) return;
    }
    bool control = (type & 0xFF000000u) == 0x01000000u || (type & 0xFF000000u) == 0x02000000u;
    bool huge = !control && announced > MM_MAX_MESSAGE_SIZE;
    bool complete = !control && !huge && written == Padded(announced);
    MMHeader_t h = {};
    h.size = announced;
    h.type = type;
    h.reserved = Lcg();
    h.sequenceNumber = m_SeqOut++ + (fault == FAULT_SEQ ? static_cast<DWORD>(seqOffset) : 0);
    std::string wire(24 + written, '\0');
    memcpy(&wire[24], body.data(), written);
    HPartialHash hash = g_pCRC->Start();
    g_pCRC->Append(hash, &h, 24);
    if (!control) g_pCRC->Append(hash, &wire[24], static_cast<int>(written));
    g_pCRC->Finish(hash, &h.crcBody);
    // crcHeader covers crcBody: a wrong crcBody is written before it.
    if (fault == FAULT_CRC2) h.crcBody ^= 1u << (flipBit % 32);
    h.crcHeader = Crc(&h, 24);
    if (fault == FAULT_CRC1) h.crcHeader ^= 1u << (flipBit % 32);
    memcpy(&wire[0], &h, 24);
    m_Session.Encrypt(reinterpret_cast<unsigned char*>(&wire[0]), static_cast<int>(wire.size()));
    bool flipBody = fault == FAULT_FLIP && written > 0;
    if (fault == FAULT_FLIP) {
        size_t at = flipBody ? 24 + static_cast<size_t>(flipBit) % written : static_cast<size_t>(flipBit) % 24;
        wire[at] ^= static_cast<char>(1 << (flipBit % 8));
    }
    m_Pending += wire;
    size_t start = m_StreamLen;
    m_StreamLen += wire.size();

    Event_t ev = {};
    ev.end = start + 24;
    ev.type = type;
    bool headerFault = fault == FAULT_CRC1 || fault == FAULT_SEQ || (fault == FAULT_FLIP && !flipBody) ||
                       (control && fault == FAULT_CRC2);
    DWORD headerMask = fault == FAULT_SEQ ? kSequence : headerFault ? kChecksum : 0;
    if (control) {
        ev.kind = EV_CONTROL;
        ev.errMask = headerMask;
        ev.pingReplies = type == MM_TYPE_PING_REQUEST ? 1 : (type & 1) ? 2 : 0;
        m_Events.push_back(ev);
        if (headerMask) m_bStreamEnded = true;
        return;
    }
    ev.kind = EV_HEADER;
    // Checksum and sequence are checked before the size; when several are
    // wrong any of their reasons will do.
    ev.errMask = headerMask | (huge ? kSize : 0);
    m_Events.push_back(ev);
    if (ev.errMask || !complete) {
        m_bStreamEnded = true;  // the connection ends here, or the body never completes
        return;
    }
    Event_t done = {};
    done.end = start + wire.size();
    done.kind = EV_BODY;
    done.type = type;
    done.errMask = (fault == FAULT_CRC2 || flipBody) ? kChecksum : 0;
    done.body = body.substr(0, announced);
    m_Events.push_back(done);
    if (done.errMask) m_bStreamEnded = true;
}

// Feeds up to n waiting stream bytes in one ClientData call (at most one
// receive buffer each), each from an exactly sized copy so that reads and
// writes past it are caught.
void CRun::Feed(size_t n) {
    n = std::min(n, m_Pending.size());
    while (n > 0 && m_Errors.empty()) {
        size_t piece = std::min<size_t>(n, kMaxChunk);
        std::unique_ptr<char[]> buf(new char[piece]);
        memcpy(buf.get(), m_Pending.data(), piece);
        m_Pending.erase(0, piece);
        m_Fed += piece;
        n -= piece;
        m_pMM->ClientData(kConn, buf.get(), static_cast<int>(piece));
        AfterInput();
    }
}

// The model catches up with the bytes the manager has consumed.
void CRun::AfterInput() {
    ParseOutput();
    bool failureDue = false;
    while (!m_Events.empty() && m_Events.front().end <= m_Fed && !m_bModelDone) {
        Event_t ev = m_Events.front();
        m_Events.pop_front();
        if (ev.errMask) {
            FUZZ_CHECK(!m_Errors.empty());
            FUZZ_CHECK(ev.errMask & Bit(m_Errors[0]));
            m_bModelDone = true;
            failureDue = true;
            break;
        }
        switch (ev.kind) {
            case EV_NEGOTIATE:
                if (!m_bSawNegotiate) {
                    m_bSawNegotiate = true;
                    m_ExpStatus = ev.isLast ? STATUS_PRECONNECT : STATUS_NEGOTIATED;
                    // The first negotiate record is answered with the connect record.
                    FUZZ_CHECK(m_bMgrKeyKnown);
                } else if (ev.isLast) {
                    m_ExpStatus = STATUS_PRECONNECT;
                }
                break;
            case EV_CONNECT:
                m_ExpStatus = STATUS_CONNECTED;
                // Everything submitted before the handshake has gone out, and
                // with pings on a ping request went with it.
                FUZZ_CHECK(m_Sent.empty());
                if (m_bPings) FUZZ_CHECK(m_MgrPingRequests >= 1);
                break;
            case EV_CONTROL:
                if (ev.pingReplies == 1) m_PingRepliesDue++;
                if (ev.pingReplies == 2) m_PingRepliesMaybe++;
                break;
            case EV_HEADER:
                break;
            case EV_BODY:
                m_Deliveries.push_back({ev.type, ev.body});
                break;
        }
    }
    if (!m_Errors.empty()) {
        FUZZ_CHECK(failureDue || m_bModelDone);  // no record before the spoiled one may fail
        return;
    }
    FUZZ_CHECK(m_pMM->GetStatus(kConn) == m_ExpStatus);
    FUZZ_CHECK(m_pMM->GetUndeliveredCount() == static_cast<int>(m_Deliveries.size()));
    FUZZ_CHECK(m_MgrPingReplies >= m_PingRepliesDue && m_MgrPingReplies <= m_PingRepliesDue + m_PingRepliesMaybe);
}

void CRun::Dispatch() {
    size_t errorsBefore = m_Errors.size();
    bool connected = m_pMM->GetStatus(kConn) == STATUS_CONNECTED;
    m_Snapshot.assign(m_Deliveries.begin(), m_Deliveries.end());
    m_SnapshotCursor = 0;
    m_bInDispatch = true;
    m_pMM->Dispatch();
    m_bInDispatch = false;
    ParseOutput();
    bool unhookedDue = false;
    for (size_t i = m_SnapshotCursor; i < m_Snapshot.size(); i++) {
        if (!Hooked(m_Snapshot[i].type)) {
            unhookedDue = true;
            break;
        }
        // A hooked message left undelivered is allowed only once the
        // connection was dropped (its queue may be freed).
        FUZZ_CHECK(errorsBefore > 0 || m_bDisconnected || m_Errors.size() > errorsBefore);
    }
    for (size_t i = errorsBefore; i < m_Errors.size(); i++) {
        int reason = m_Errors[i];
        if (reason == MM_REASON_HANDSHAKE_TIMEOUT) {
            FUZZ_CHECK(!connected && m_VirtualMs >= 89000);
        } else {
            FUZZ_CHECK(reason == MM_REASON_UNHOOKED);
            bool anyUnhooked = false;
            for (const Pending_t& p : m_Snapshot) anyUnhooked = anyUnhooked || !Hooked(p.type);
            FUZZ_CHECK(anyUnhooked);
        }
    }
    if (errorsBefore == 0 && !m_bDisconnected && unhookedDue) {
        bool reported = false;
        for (size_t i = errorsBefore; i < m_Errors.size(); i++) reported = reported || m_Errors[i] == MM_REASON_UNHOOKED;
        FUZZ_CHECK(reported);
    }
    m_Deliveries.clear();
    m_Snapshot.clear();
    if (m_Errors.size() > errorsBefore) m_bModelDone = true;
    FUZZ_CHECK(m_pMM->GetUndeliveredCount() == 0);
}

void CRun::ReceivedMessage(HConnection hConnection, CMessage& message) {
    FUZZ_CHECK(hConnection == kConn);
    FUZZ_CHECK(m_bInDispatch);
    FUZZ_CHECK(static_cast<DWORD>(message.Length()) <= MM_MAX_MESSAGE_SIZE);
    FUZZ_CHECK(Hooked(message.GetType()));
    // In arrival order; entries passed over were unhooked, or the connection
    // was dropped and its queue may be gone.
    size_t j = m_SnapshotCursor;
    while (j < m_Snapshot.size() &&
           !(m_Snapshot[j].type == message.GetType() && DeliveredMatches(m_Snapshot[j], message))) {
        FUZZ_CHECK(!Hooked(m_Snapshot[j].type) || !m_Errors.empty() || m_bDisconnected);
        j++;
    }
    FUZZ_CHECK(j < m_Snapshot.size());
    m_SnapshotCursor = j + 1;
    m_Delivered++;
    if (m_bEcho && m_Errors.empty()) {
        // A hook may send, and hook, from inside the delivery.
        std::string bytes = Bytes(message);
        m_pMM->HookMessage(kSpareHookType, this);
        m_Hooks.insert(kSpareHookType);
        m_pMM->SendMessage(hConnection, message);
        FUZZ_CHECK(Bytes(message) == bytes);
        if (!m_bDisconnected) m_Sent.push_back({message.GetType(), bytes});
    }
}

void CRun::SendOurs(HConnection hConnection, DWORD type, const std::string& body) {
    CMessage msg(type);
    msg.WriteData(body.data(), static_cast<int>(body.size()));
    m_pMM->SendMessage(hConnection, msg);
    FUZZ_CHECK(msg.GetType() == type && Bytes(msg) == body);
    m_Sent.push_back({type, body});
    ParseOutput();
    if (m_pMM->GetStatus(kConn) == STATUS_CONNECTED) FUZZ_CHECK(m_Sent.empty());
}

// What the older format makes of a body we sent (the reference shortened);
// the flag byte of type 2 is checked where isRemote is a plain 0 or 1.
bool CRun::WireMatchesSent(DWORD type, const std::string& sent, const std::string& wire) const {
    if (!OldFormat()) return wire == sent;
    std::string ref = sent.size() < 12 ? std::string(12, '\0') : sent.substr(0, 12);
    std::string rest = sent.size() < 12 ? sent : sent.substr(12);
    if (type == 2) {
        if (wire.size() != 5 + rest.size() || wire.compare(0, 4, ref, 4, 4) != 0) return false;
        BYTE flag = static_cast<BYTE>(wire[4]);
        if (ref[8] == 0 && flag != 0xF3) return false;
        if (ref[8] == 1 && flag != 0x98) return false;
        if (flag != 0xF3 && flag != 0x98) return false;
        return wire.compare(5, std::string::npos, rest) == 0;
    }
    return wire.size() == 8 + rest.size() && wire.compare(0, 8, ref, 0, 8) == 0 &&
           wire.compare(8, std::string::npos, rest) == 0;
}

// A delivered message against the body the peer sent; from an older peer
// the 12-byte reference is rebuilt (its 3 padding bytes are not looked at).
bool CRun::DeliveredMatches(const Pending_t& p, const CMessage& m) const {
    std::string got = Bytes(m);
    if (!OldFormat()) return got == p.wire;
    DWORD classId, instanceId;
    BYTE remote;
    std::string rest;
    if (p.type == 2) {
        classId = MM_OLD_TYPE2_CLASSID;
        instanceId = Le32(p.wire, 0);
        remote = p.wire.size() > 4 && static_cast<BYTE>(p.wire[4]) == 0x98 ? 1 : 0;
        rest = Tail(p.wire, 5);
    } else {
        classId = Le32(p.wire, 0);
        instanceId = Le32(p.wire, 4);
        remote = 0;
        rest = Tail(p.wire, 8);
    }
    return got.size() == 12 + rest.size() && Le32(got, 0) == classId && Le32(got, 4) == instanceId &&
           static_cast<BYTE>(got[8]) == remote && got.compare(12, std::string::npos, rest) == 0;
}

// The manager's stream as the peer reads it: negotiate records (version 512,
// isLast 0 while retrying, then 1), the connect record, then headers and
// bodies under the session key, every checksum right, every sequence number
// the next one, and the application bodies those we submitted, in order.
void CRun::ParseOutput() {
    for (;;) {
        size_t avail = m_Out.size() - m_OutPos;
        if (avail < 24) break;
        const unsigned char* p = reinterpret_cast<const unsigned char*>(m_Out.data() + m_OutPos);
        if (!m_bMgrKeyKnown) {
            MMNegotiateMessage_t rec;
            SetupCipher().Decrypt(p, reinterpret_cast<unsigned char*>(&rec), 24);
            DWORD crc = rec.crc;
            rec.crc = 0;
            FUZZ_CHECK(Crc(&rec, 24) == crc);
            FUZZ_CHECK(rec.sequenceNumber == m_MgrSeq);
            m_MgrSeq++;
            m_OutPos += 24;
            if (!m_bMgrSawLast) {
                FUZZ_CHECK(rec.version == MM_VERSION_CURRENT);
                FUZZ_CHECK(rec.isLast == 0 || rec.isLast == 1);
                if (m_MgrNegotiates == 0) FUZZ_CHECK(rec.isLast == (m_bRetry ? 0u : 1u));
                m_MgrNegotiates++;
                m_bMgrSawLast = rec.isLast == 1;
                continue;
            }
            MMConnectMessage_t con;
            memcpy(&con, &rec, 24);
            m_bMgrKeyKnown = true;
            if (!m_bStructured) {
                m_OutPos = m_Out.size();  // the raw peer knows no key half: the rest is not read
                continue;
            }
            BYTE key[8];
            for (int i = 0; i < 8; i++) key[i] = con.sessionKey[i] ^ m_OurHalf[i];
            m_Session.SetKey(key);
            m_bSessionKeyed = true;
            continue;
        }
        if (!m_bStructured) {
            m_OutPos = m_Out.size();
            continue;
        }
        MMHeader_t h;
        m_Session.Decrypt(p, reinterpret_cast<unsigned char*>(&h), 24);
        MMHeader_t zero = h;
        zero.crcHeader = 0;
        FUZZ_CHECK(Crc(&zero, 24) == h.crcHeader);
        FUZZ_CHECK(h.sequenceNumber == m_MgrSeq);
        bool control = (h.type & 0xFF000000u) == 0x01000000u || (h.type & 0xFF000000u) == 0x02000000u;
        zero.crcBody = 0;
        if (control) {
            FUZZ_CHECK(h.size == 0);
            FUZZ_CHECK(Crc(&zero, 24) == h.crcBody);
            FUZZ_CHECK(h.type == MM_TYPE_KEEPALIVE || h.type == MM_TYPE_PING_REQUEST || h.type == MM_TYPE_PING_REPLY);
            if (h.type == MM_TYPE_PING_REQUEST) m_MgrPingRequests++;
            if (h.type == MM_TYPE_PING_REPLY) m_MgrPingReplies++;
            m_MgrSeq++;
            m_OutPos += 24;
            continue;
        }
        FUZZ_CHECK(h.size <= MM_MAX_MESSAGE_SIZE);
        DWORD padded = Padded(h.size);
        if (avail < 24 + static_cast<size_t>(padded)) break;
        std::string body(padded, '\0');
        m_Session.Decrypt(p + 24, reinterpret_cast<unsigned char*>(&body[0]), static_cast<int>(padded));
        HPartialHash hash = g_pCRC->Start();
        g_pCRC->Append(hash, &zero, 24);
        g_pCRC->Append(hash, body.data(), static_cast<int>(padded));
        DWORD crcBody;
        g_pCRC->Finish(hash, &crcBody);
        FUZZ_CHECK(crcBody == h.crcBody);
        for (DWORD i = h.size; i < padded; i++) FUZZ_CHECK(body[i] == 0);
        body.resize(h.size);
        FUZZ_CHECK(!m_Sent.empty());
        FUZZ_CHECK(m_Sent.front().type == h.type);
        FUZZ_CHECK(WireMatchesSent(h.type, m_Sent.front().wire, body));
        m_Sent.pop_front();
        m_MgrSeq++;
        m_OutPos += 24 + padded;
    }
    if (m_OutPos > 65536) {
        m_Out.erase(0, m_OutPos);
        m_OutPos = 0;
    }
}

// The end of the input: the rest of the stream, a last delivery, then the
// disconnect and the manager's destruction.
void CRun::Finish() {
    if (m_bStructured && m_Errors.empty()) {
        Feed(m_Pending.size());
        if (m_Errors.empty() && !m_bSkipFinalDispatch) Dispatch();
    }
    if (!m_Errors.empty() && m_bDispatchAfterError) {
        // The connection manager drops the connection; before the disconnect
        // is reported the manager's timers still run, and must send nothing.
        OS_TestAdvanceTickCount(301000);
        m_VirtualMs += 301000;
        Dispatch();
    }
    int delivered = m_Delivered;
    m_pMM->ClientDisconnect(kConn, true, m_Errors.empty() ? TCPIP_REASON_CLOSED : m_Errors[0]);
    m_bDisconnected = true;
    FUZZ_CHECK(m_pMM->GetStatus(kConn) == STATUS_SETUP);
    // Messages that were queued may still be delivered (to a dead handle,
    // without a ClientError); a message for the gone connection is dropped.
    SendOurs(kUnknownConn, 3, "gone");
    m_Sent.pop_back();
    Dispatch();
    FUZZ_CHECK(m_pMM->GetUndeliveredCount() == 0);
    // Our messages still unseen on the wire were queued before a handshake
    // that never completed.
    FUZZ_CHECK(m_Sent.empty() || !m_bSessionKeyed || m_ExpStatus != STATUS_CONNECTED);
    if (getenv("FUZZ_MESSAGES_TRACE")) {
        // One line per input, for replaying a saved one by hand.
        fprintf(stderr,
                "fuzz_messages: %s, status %d, fed %zu of %zu bytes, first error 0x%08X of %zu, delivered %d "
                "(+%d after the disconnect), manager sent %d negotiate, %u records, %d ping requests, %d ping "
                "replies\n",
                m_bStructured ? "structured" : "raw", static_cast<int>(m_ExpStatus), m_Fed, m_StreamLen,
                m_Errors.empty() ? 0u : static_cast<unsigned int>(m_Errors[0]), m_Errors.size(), delivered,
                m_Delivered - delivered, m_MgrNegotiates, m_MgrSeq, m_MgrPingRequests, m_MgrPingReplies);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool s_Init = [] {
        Log_SetLevel(-1);  // the layer logs per failure; keep the fuzzer quiet
        OS_Init(nullptr);
        SetupCipher();
        return true;
    }();
    (void)s_Init;
    CInput in(data, size);
    CRun run(in);
    run.Go();
    return 0;
}
