#include "tests/common/src/network/mmpeer.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "common/src/crypto/ihash.h"

namespace mmpeer {

const BYTE kSetupKey[8] = {0x5A, 0x13, 0xC7, 0xE0, 0x29, 0x8B, 0x44, 0xF6};

std::string Pad(const std::string& body) {
    std::string padded = body;
    padded.append((8 - body.size() % 8) % 8, '\0');
    return padded;
}

DWORD Crc(const std::string& bytes) {
    DWORD crc = 0;
    g_pCRC->Hash(bytes.data(), static_cast<int>(bytes.size()), &crc);
    return crc;
}

std::string Raw(const void* p, size_t n) { return std::string(static_cast<const char*>(p), n); }

void FlipBit(std::string* bytes, size_t bit) { (*bytes)[bit / 8] = static_cast<char>((*bytes)[bit / 8] ^ (1 << (bit % 8))); }

std::string Pattern(size_t n, unsigned seed) {
    std::string s(n, '\0');
    unsigned x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; i++) {
        x = x * 1103515245u + 12345u;
        s[i] = static_cast<char>(x >> 16);
    }
    return s;
}

std::string Cat(std::initializer_list<std::string> parts) {
    std::string out;
    for (const std::string& part : parts) out += part;
    return out;
}

std::string Le32(DWORD v) { return Raw(&v, 4); }

std::string Ref(DWORD classId, DWORD instanceId, bool isRemote) {
    return Le32(classId) + Le32(instanceId) + std::string(1, isRemote ? '\1' : '\0') + std::string(3, '\0');
}

template <typename Record>
static DWORD RecordCrc(Record rec) {
    rec.crc = 0;
    return Crc(Raw(&rec, sizeof(rec)));
}

MMNegotiateMessage_t Negotiate(DWORD version, DWORD isLast, DWORD seq) {
    MMNegotiateMessage_t rec{};
    rec.version = version;
    rec.reserved1 = seq * 2654435761u + 7;
    rec.isLast = isLast;
    rec.reserved2 = seq * 40503u + 11;
    rec.sequenceNumber = seq;
    rec.crc = RecordCrc(rec);
    return rec;
}

MMConnectMessage_t ConnectRecord(const BYTE keyHalf[8], DWORD seq) {
    MMConnectMessage_t rec{};
    memcpy(rec.sessionKey, keyHalf, 8);
    rec.reserved[0] = 0x13579BDF;
    rec.reserved[1] = seq + 99;
    rec.sequenceNumber = seq;
    rec.crc = RecordCrc(rec);
    return rec;
}

static DWORD BodyCrc(MMHeader_t rec, const std::string& paddedBody) {
    rec.crcHeader = 0;
    rec.crcBody = 0;
    HPartialHash hHash = g_pCRC->Start();
    g_pCRC->Append(hHash, &rec, sizeof(rec));
    g_pCRC->Append(hHash, paddedBody.data(), static_cast<int>(paddedBody.size()));
    DWORD crc = 0;
    g_pCRC->Finish(hHash, &crc);
    return crc;
}

DWORD HeaderChecksum(MMHeader_t rec) {
    rec.crcHeader = 0;
    return Crc(Raw(&rec, sizeof(rec)));
}

MMHeader_t Header(DWORD type, DWORD size, DWORD seq, const std::string& paddedBody) {
    MMHeader_t rec{};
    rec.size = size;
    rec.type = type;
    rec.reserved = seq * 2246822519u + 3;
    rec.sequenceNumber = seq;
    rec.crcBody = BodyCrc(rec, paddedBody);
    rec.crcHeader = HeaderChecksum(rec);
    return rec;
}

bool NegotiateValid(MMNegotiateMessage_t rec) { return rec.crc == RecordCrc(rec); }
bool ConnectValid(MMConnectMessage_t rec) { return rec.crc == RecordCrc(rec); }
bool HeaderValid(MMHeader_t rec) { return rec.crcHeader == HeaderChecksum(rec); }
bool BodyValid(MMHeader_t rec, const std::string& paddedBody) { return rec.crcBody == BodyCrc(rec, paddedBody); }

Cipher::Cipher(const BYTE key[8]) { m_Key.SetKey(const_cast<BYTE*>(key)); }

std::string Cipher::Encrypt(std::string bytes) {
    m_Key.Encrypt(reinterpret_cast<unsigned char*>(&bytes[0]), static_cast<int>(bytes.size()));
    return bytes;
}

std::string Cipher::Decrypt(std::string bytes) {
    m_Key.Decrypt(reinterpret_cast<unsigned char*>(&bytes[0]), static_cast<int>(bytes.size()));
    return bytes;
}

template <typename Record>
static Record As(const std::string& plain) {
    Record rec{};
    if (plain.size() >= sizeof(rec)) plain.copy(reinterpret_cast<char*>(&rec), sizeof(rec));
    return rec;
}

SetupRecords ParseSetup(const std::string& stream) {
    SetupRecords out;
    Cipher setup(kSetupKey);
    for (size_t off = 0; off + 24 <= stream.size(); off += 24) {
        std::string plain = setup.Decrypt(stream.substr(off, 24));
        if (!out.negotiates.empty() && out.negotiates.back().isLast) {
            out.connect = As<MMConnectMessage_t>(plain);
            out.haveConnect = true;
            out.allValid = out.allValid && ConnectValid(out.connect);
            break;
        }
        out.negotiates.push_back(As<MMNegotiateMessage_t>(plain));
        out.allValid = out.allValid && NegotiateValid(out.negotiates.back());
    }
    return out;
}

Peer::Peer(int fd) : m_Fd(fd), m_Setup(kSetupKey) {
    int one = 1;
    setsockopt(m_Fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    for (int i = 0; i < 8; i++) keyHalf[i] = static_cast<BYTE>(0x31 * i + 0x4D);
    memset(sessionKey, 0, sizeof(sessionKey));
}

Peer::~Peer() { Close(); }

void Peer::Close() {
    if (m_Fd >= 0) close(m_Fd);
    m_Fd = -1;
}

Cipher& Peer::Session() {
    static const BYTE kNoKey[8] = {0};
    if (!m_pSession) m_pSession.reset(new Cipher(kNoKey));
    return *m_pSession;
}

std::string Peer::NegotiateBytes(DWORD version, DWORD isLast) {
    MMNegotiateMessage_t rec = Negotiate(version, isLast, seqLocal++);
    return m_Setup.Encrypt(Raw(&rec, sizeof(rec)));
}

std::string Peer::ConnectBytes() {
    MMConnectMessage_t rec = ConnectRecord(keyHalf, seqLocal++);
    return m_Setup.Encrypt(Raw(&rec, sizeof(rec)));
}

std::string Peer::HeaderBytes(DWORD type, DWORD size, const std::string& paddedBody) {
    MMHeader_t rec = Header(type, size, seqLocal++, paddedBody);
    return Session().Encrypt(Raw(&rec, sizeof(rec)));
}

std::string Peer::Seal(const MMHeader_t& rec) { return Session().Encrypt(Raw(&rec, sizeof(rec))); }

std::string Peer::BodyBytes(const std::string& paddedBody) { return Session().Encrypt(paddedBody); }

std::string Peer::MessageBytes(DWORD type, const std::string& body) {
    std::string padded = Pad(body);
    std::string header = HeaderBytes(type, static_cast<DWORD>(body.size()), padded);
    return header + BodyBytes(padded);
}

bool Peer::Write(const std::string& bytes, size_t chunk, int pauseUs) {
    if (chunk == 0) chunk = bytes.size();
    for (size_t off = 0; off < bytes.size(); off += chunk) {
        if (!nettest::WriteAll(m_Fd, bytes.data() + off, std::min(chunk, bytes.size() - off))) return false;
        if (pauseUs > 0) usleep(static_cast<useconds_t>(pauseUs));
    }
    return true;
}

bool Peer::Fail(const char* what) {
    error = what;
    return false;
}

bool Peer::ReadRaw(size_t n, std::string* pOut, int timeoutMs) {
    pOut->assign(n, '\0');
    if (n == 0) return true;
    if (!nettest::ReadExactly(m_Fd, &(*pOut)[0], n, timeoutMs)) {
        error = "timed out or closed reading " + std::to_string(n) + " bytes";
        return false;
    }
    return true;
}

bool Peer::Quiet(int ms) {
    char c;
    return !nettest::ReadExactly(m_Fd, &c, 1, ms);
}

bool Peer::ReadNegotiate(MMNegotiateMessage_t* pRec, int timeoutMs) {
    std::string raw;
    if (!ReadRaw(24, &raw, timeoutMs)) return false;
    *pRec = As<MMNegotiateMessage_t>(m_Setup.Decrypt(raw));
    if (!NegotiateValid(*pRec)) return Fail("negotiate record fails its checksum");
    if (pRec->sequenceNumber != seqRemote) return Fail("negotiate record out of sequence");
    if (pRec->version != MM_VERSION_CURRENT) return Fail("negotiate record of another version");
    seqRemote++;
    return true;
}

bool Peer::SendSetup(DWORD version) { return Write(Cat({NegotiateBytes(version, 1), ConnectBytes()})); }

bool Peer::ReadSetup(int timeoutMs) {
    MMNegotiateMessage_t neg;
    do {
        if (!ReadNegotiate(&neg, timeoutMs)) return false;
    } while (!neg.isLast);
    std::string raw;
    if (!ReadRaw(24, &raw, timeoutMs)) return false;
    MMConnectMessage_t con = As<MMConnectMessage_t>(m_Setup.Decrypt(raw));
    if (!ConnectValid(con)) return Fail("connect record fails its checksum");
    if (con.sequenceNumber != seqRemote++) return Fail("connect record out of sequence");
    for (int i = 0; i < 8; i++) sessionKey[i] = static_cast<BYTE>(con.sessionKey[i] ^ keyHalf[i]);
    m_pSession.reset(new Cipher(sessionKey));
    m_bKeyed = true;
    return true;
}

bool Peer::Handshake(DWORD version, int timeoutMs) { return SendSetup(version) && ReadSetup(timeoutMs); }

bool Peer::ReadMessage(Received* pMsg, int timeoutMs, size_t* pWireBytes) {
    std::string raw;
    if (!m_bKeyed) return Fail("no session key");
    if (!ReadRaw(24, &raw, timeoutMs)) return false;
    pMsg->header = As<MMHeader_t>(Session().Decrypt(raw));
    const MMHeader_t& h = pMsg->header;
    if (!HeaderValid(h)) return Fail("header fails its checksum");
    if (h.sequenceNumber != seqRemote++) return Fail("header out of sequence");
    DWORD top = h.type & 0xFF000000;
    bool control = top == 0x01000000 || top == 0x02000000;
    if (h.size > MM_MAX_MESSAGE_SIZE) return Fail("header announces too much");
    if (control && h.size != 0) return Fail("control message announces a body");
    size_t padded = control ? 0 : (h.size + 7u) & ~7u;
    if (pWireBytes) *pWireBytes = 24 + padded;
    if (!ReadRaw(padded, &raw, timeoutMs)) return false;
    pMsg->padded = padded ? Session().Decrypt(raw) : std::string();
    if (!BodyValid(h, pMsg->padded)) return Fail("body fails its checksum");
    pMsg->body = pMsg->padded.substr(0, h.size);
    if (pMsg->padded.find_first_not_of('\0', h.size) != std::string::npos) return Fail("padding not zero");
    return true;
}

void SpyManager::SendData(HConnection hConnection, const void* data, int length) {
    {
        std::lock_guard<std::mutex> guard(m_Mutex);
        m_Blocks.emplace_back(hConnection, length);
    }
    CTCPIPConnectionManager::SendData(hConnection, data, length);
}

void SpyManager::ClientError(HConnection hConnection, int reason) {
    {
        std::lock_guard<std::mutex> guard(m_Mutex);
        m_Errors.emplace_back(hConnection, reason);
    }
    CTCPIPConnectionManager::ClientError(hConnection, reason);
}

std::vector<int> SpyManager::Blocks(HConnection hConnection) {
    std::lock_guard<std::mutex> guard(m_Mutex);
    std::vector<int> out;
    for (const auto& b : m_Blocks) {
        if (b.first == hConnection) out.push_back(b.second);
    }
    return out;
}

size_t SpyManager::BlockCount(HConnection hConnection) { return Blocks(hConnection).size(); }

void SpyManager::ClearBlocks() {
    std::lock_guard<std::mutex> guard(m_Mutex);
    m_Blocks.clear();
}

std::vector<std::pair<HConnection, int>> SpyManager::Errors() {
    std::lock_guard<std::mutex> guard(m_Mutex);
    return m_Errors;
}

std::vector<int> SpyManager::ErrorsFor(HConnection hConnection) {
    std::vector<int> out;
    for (const auto& e : Errors()) {
        if (e.first == hConnection) out.push_back(e.second);
    }
    return out;
}

void Inbox::ReceivedMessage(HConnection hConnection, CMessage& message) {
    std::lock_guard<std::mutex> guard(m_Mutex);
    m_Messages.push_back(Item{hConnection, message.GetType(), BodyOf(message)});
}

void Inbox::PingResult(HConnection, unsigned int msec) {
    std::lock_guard<std::mutex> guard(m_Mutex);
    m_Pings.push_back(msec);
}

std::vector<Inbox::Item> Inbox::Messages() {
    std::lock_guard<std::mutex> guard(m_Mutex);
    return m_Messages;
}

size_t Inbox::MessageCount() {
    std::lock_guard<std::mutex> guard(m_Mutex);
    return m_Messages.size();
}

std::vector<unsigned int> Inbox::Pings() {
    std::lock_guard<std::mutex> guard(m_Mutex);
    return m_Pings;
}

size_t Inbox::PingCount() {
    std::lock_guard<std::mutex> guard(m_Mutex);
    return m_Pings.size();
}

CMessage Msg(DWORD type, const std::string& body) {
    CMessage msg(type);
    msg.WriteData(body.data(), static_cast<int>(body.size()));
    return msg;
}

std::string BodyOf(const CMessage& msg) {
    return msg.Length() ? Raw(msg.Data(), static_cast<size_t>(msg.Length())) : std::string();
}

Endpoint::Endpoint(bool retryConnect, bool pingEnabled, unsigned int packetSize) {
    mgr.Init();
    mm.reset(new CMessageManager(&mgr, retryConnect, pingEnabled, packetSize));
    listener.recordData = false;
    mgr.AddListener(&listener, true);
    mm->RegisterPingCallback(&inbox);
}

Endpoint::~Endpoint() {
    mm.reset();
    mgr.RemoveListener(&listener);
    mgr.Shutdown();
}

int Endpoint::Host() { return port = mgr.Host(0); }

void Endpoint::Hook(std::initializer_list<DWORD> types) {
    for (DWORD type : types) mm->HookMessage(type, &inbox);
}

HConnection Endpoint::AcceptRaw(std::unique_ptr<Peer>* pPeer) {
    if (port == 0) Host();
    int before = listener.Count(nettest::Event::CONNECT);
    int fd = nettest::ConnectClient(port);
    if (fd < 0) return nullptr;
    pPeer->reset(new Peer(fd));
    if (!nettest::PumpUntil(mgr, [&] { return listener.Count(nettest::Event::CONNECT) > before; }, 5000)) {
        return nullptr;
    }
    return listener.Connected(before);
}

int Endpoint::AwaitDisconnect(HConnection h, int timeoutMs) {
    nettest::Event e{nettest::Event::CONNECT, h, false, 0, std::string()};
    if (!nettest::PumpUntil(mgr, [&] { return listener.FindDisconnect(h, &e); }, timeoutMs)) return 0;
    return e.reason;
}

void Endpoint::Tick(unsigned int ms) {
    OS_TestAdvanceTickCount(ms);
    mgr.Dispatch();
}

bool PumpAll(std::initializer_list<Endpoint*> ends, const std::function<bool()>& pred, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        for (Endpoint* e : ends) e->mgr.Dispatch();
        if (pred()) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

Ticker::Ticker(unsigned int stepMs, int periodMs)
    : m_Thread([this, stepMs, periodMs] {
          // Bounded: a forgotten ticker stops by itself after about a minute.
          for (int i = 0; i < 60000 / periodMs && !m_Stop; i++) {
              OS_TestAdvanceTickCount(stepMs);
              std::this_thread::sleep_for(std::chrono::milliseconds(periodMs));
          }
      }) {}

Ticker::~Ticker() {
    m_Stop = true;
    m_Thread.join();
}

}  // namespace mmpeer
