// Helpers of the message-layer tests: a raw-socket peer that speaks the
// message protocol from its wire tables (so a test can corrupt any byte,
// number or size it sends and check every byte it receives), a connection
// manager that records what the message layer hands it, a recording
// message callback, and one ready endpoint (connection manager plus message
// manager) for the tests to connect.
#ifndef NB_TESTS_COMMON_SRC_NETWORK_MMPEER_H
#define NB_TESTS_COMMON_SRC_NETWORK_MMPEER_H

#include <atomic>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/src/crypto/icekey.h"
#include "common/src/network/messagemanager.h"
#include "common/src/network/tcpipconnectionmanager.h"
#include "tests/common/src/network/nettest.h"

namespace mmpeer {

// The fixed key of the handshake records.
extern const BYTE kSetupKey[8];

// Zero bytes appended up to a multiple of 8.
std::string Pad(const std::string& body);
// The CRC register over bytes, as the layer stores it.
DWORD Crc(const std::string& bytes);
std::string Raw(const void* p, size_t n);
// Inverts one bit (bit 0 = lowest bit of byte 0).
void FlipBit(std::string* bytes, size_t bit);
// A body of n bytes that differ from their neighbours (seeded).
std::string Pattern(size_t n, unsigned seed);
// A 12-byte object reference: classID, instanceID, isRemote, 3 zero bytes.
std::string Ref(DWORD classId, DWORD instanceId, bool isRemote);
// The parts in order. Records are numbered as they are built, and the
// elements of a braced list are evaluated left to right (operands of + are
// not), so a stream of several records is built with Cat.
std::string Cat(std::initializer_list<std::string> parts);
// Little-endian 32-bit text.
std::string Le32(DWORD v);

// Plaintext records with their checksums computed from the wire rules.
MMNegotiateMessage_t Negotiate(DWORD version, DWORD isLast, DWORD seq);
MMConnectMessage_t ConnectRecord(const BYTE keyHalf[8], DWORD seq);
// crcBody over the header (both checksums 0) and paddedBody, then crcHeader.
MMHeader_t Header(DWORD type, DWORD size, DWORD seq, const std::string& paddedBody);
bool NegotiateValid(MMNegotiateMessage_t rec);
bool ConnectValid(MMConnectMessage_t rec);
bool HeaderValid(MMHeader_t rec);
// crcHeader over the header as it stands (crcBody kept).
DWORD HeaderChecksum(MMHeader_t rec);
bool BodyValid(MMHeader_t rec, const std::string& paddedBody);

// Enciphers or deciphers whole blocks with an 8-byte key.
class Cipher {
public:
    explicit Cipher(const BYTE key[8]);
    std::string Encrypt(std::string bytes);
    std::string Decrypt(std::string bytes);

private:
    CIceKey m_Key;
};

// Handshake records found at the start of a captured stream (deciphered with
// the setup key): the negotiate records in order, then the connect record.
struct SetupRecords {
    std::vector<MMNegotiateMessage_t> negotiates;
    bool haveConnect = false;
    MMConnectMessage_t connect{};
    bool allValid = true;
};
SetupRecords ParseSetup(const std::string& stream);

// A message read back from the layer: the deciphered header and body (body
// cut to header.size; padded holds the padding as sent).
struct Received {
    MMHeader_t header{};
    std::string body;
    std::string padded;
};

// One raw peer over a connected blocking socket (owned). Records are built
// with the peer's own sequence counter; a test edits seqLocal to replay or
// skip a number, or edits the returned bytes to flip bits.
class Peer {
public:
    explicit Peer(int fd);
    ~Peer();
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    int Fd() const { return m_Fd; }
    void Close();

    // Enciphered records; each takes the next sequence number.
    std::string NegotiateBytes(DWORD version, DWORD isLast);
    std::string ConnectBytes();
    // A header announcing size (its crcBody covers paddedBody), with the
    // session key.
    std::string HeaderBytes(DWORD type, DWORD size, const std::string& paddedBody);
    std::string BodyBytes(const std::string& paddedBody);
    // Header plus padded body.
    std::string MessageBytes(DWORD type, const std::string& body);
    // A header exactly as given, enciphered with the session key.
    std::string Seal(const MMHeader_t& rec);
    // A bare header of a control type.
    std::string ControlBytes(DWORD type) { return HeaderBytes(type, 0, std::string()); }

    // Writes in chunks of chunk bytes (0: at once), pausing pauseUs between
    // chunks so that they arrive apart. False when the socket failed.
    bool Write(const std::string& bytes, size_t chunk = 0, int pauseUs = 0);

    // Our negotiate (isLast 1) and connect records, then the layer's records
    // up to its connect record; keys the session. False (see error) when a
    // record is missing, out of sequence or fails its checksum.
    bool Handshake(DWORD version = MM_VERSION_CURRENT, int timeoutMs = 5000);
    // Sends only our half (negotiate isLast 1 and connect); ReadSetup reads
    // the layer's records afterwards.
    bool SendSetup(DWORD version = MM_VERSION_CURRENT);
    bool ReadSetup(int timeoutMs = 5000);
    // One negotiate record of the layer (checked: checksum and sequence).
    bool ReadNegotiate(MMNegotiateMessage_t* pRec, int timeoutMs = 5000);
    // One message of the layer (header and, for application types, the
    // padded body), deciphered and checked. *pWireBytes gets its length on
    // the wire.
    bool ReadMessage(Received* pMsg, int timeoutMs = 5000, size_t* pWireBytes = nullptr);
    bool ReadRaw(size_t n, std::string* pOut, int timeoutMs = 5000);
    // True when nothing arrives within ms.
    bool Quiet(int ms);

    DWORD seqLocal = 0;   // number of the next record we send
    DWORD seqRemote = 0;  // number expected in the layer's next record
    BYTE keyHalf[8];
    BYTE sessionKey[8];
    std::string error;

private:
    bool Fail(const char* what);

    Cipher& Session();

    int m_Fd;
    Cipher m_Setup;
    std::unique_ptr<Cipher> m_pSession;  // keyed by the handshake (a zero key before it)
    bool m_bKeyed = false;
};

// A connection manager that records every SendData block and ClientError
// call it is given, then does the real work.
class SpyManager : public CTCPIPConnectionManager {
public:
    explicit SpyManager(int maxConnections = 64) : CTCPIPConnectionManager(maxConnections) {}
    void SendData(HConnection hConnection, const void* data, int length) override;
    void ClientError(HConnection hConnection, int reason) override;

    std::vector<int> Blocks(HConnection hConnection);
    size_t BlockCount(HConnection hConnection);
    void ClearBlocks();
    std::vector<std::pair<HConnection, int>> Errors();
    // Reasons given for hConnection.
    std::vector<int> ErrorsFor(HConnection hConnection);

private:
    std::mutex m_Mutex;
    std::vector<std::pair<HConnection, int>> m_Blocks;
    std::vector<std::pair<HConnection, int>> m_Errors;
};

// Records hooked messages and ping results.
class Inbox : public IMessageManagerCallback {
public:
    struct Item {
        HConnection h;
        DWORD type;
        std::string body;
    };
    void ReceivedMessage(HConnection hConnection, CMessage& message) override;
    void PingResult(HConnection hConnection, unsigned int msec) override;

    std::vector<Item> Messages();
    size_t MessageCount();
    std::vector<unsigned int> Pings();
    size_t PingCount();

private:
    std::mutex m_Mutex;
    std::vector<Item> m_Messages;
    std::vector<unsigned int> m_Pings;
};

CMessage Msg(DWORD type, const std::string& body);
std::string BodyOf(const CMessage& msg);

// A running connection manager with a message manager and a recording
// listener (added after the message manager, so it hears each event after
// it). The message manager is deleted first, while the connection manager
// still runs, then the connection manager is shut down.
struct Endpoint {
    Endpoint(bool retryConnect, bool pingEnabled, unsigned int packetSize = 4096);
    ~Endpoint();
    Endpoint(const Endpoint&) = delete;
    Endpoint& operator=(const Endpoint&) = delete;

    // Opens a listening port (system-chosen).
    int Host();
    // Hooks types to the inbox.
    void Hook(std::initializer_list<DWORD> types);
    // Connects a raw peer to our port and returns its connection once it is
    // announced (null on failure).
    HConnection AcceptRaw(std::unique_ptr<Peer>* pPeer);
    // The connection announced as number index.
    HConnection Announced(int index) { return listener.Connected(index); }
    bool Connected(HConnection h) { return mm->GetStatus(h) == STATUS_CONNECTED; }
    // Pumps until h's disconnect is reported; its reason, or 0 when none.
    int AwaitDisconnect(HConnection h, int timeoutMs = 5000);
    // Moves virtual time on and pumps once.
    void Tick(unsigned int ms);

    SpyManager mgr;
    nettest::RecordingListener listener;
    std::unique_ptr<CMessageManager> mm;
    Inbox inbox;
    int port = 0;
};

// Pumps every endpoint until pred holds or timeoutMs passes.
bool PumpAll(std::initializer_list<Endpoint*> ends, const std::function<bool()>& pred, int timeoutMs = 5000);

// Moves virtual time on by stepMs every periodMs of real time until stopped.
class Ticker {
public:
    Ticker(unsigned int stepMs, int periodMs);
    ~Ticker();

private:
    std::atomic<bool> m_Stop{false};
    std::thread m_Thread;
};

}  // namespace mmpeer

#endif
