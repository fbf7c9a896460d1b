// CProxyCore: the relay's packet logic without a transport. It cuts each
// client's byte stream into packets by the 12-byte header, logs clients in
// (registration, or a key a lobby host deposited), forwards data packets
// with the id field rewritten to the sender's, and condemns clients that
// break the framing or overflow a queue. It also keeps the relay's limits
// (login and packet time-outs, connections per address, the memory budget)
// and its running figures.
//
// Owns its client records and key table; borrows the transport, the
// relay's mutex and the figures it keeps (RelayStats_t). Every entry point below takes that mutex for its whole run
// unless it says the caller holds it; it is called by the connection
// manager's threads (under the manager's dispatch lock) and by a host's
// thread (keys). Lock order: the manager's dispatch lock -> the relay's
// mutex -> the manager's connection lock (taken inside the transport).
#ifndef NB_LOBBY_SERVER_PROXYCORE_H
#define NB_LOBBY_SERVER_PROXYCORE_H

#include <cstdint>
#include <string>
#include <unordered_map>

#include "common/src/datatypes/assocarray.h"
#include "common/src/datatypes/buffer.h"
#include "common/src/osutils.h"
#include "lobby/common/rmi/nat_types.h"
#include "lobby/server/iproxytransport.h"
#include "lobby/server/lograte.h"
#include "lobby/server/relaystats.h"

// A destination's send queue may rise above "MaxQueue" of "ProxyServer" (this
// by default) in a burst, but must fall back to it within "MaxQueueGrace"
// milliseconds, and never pass kProxyHardQueueFactor times it.
const int kProxyDefaultMaxQueue = 4194304;
const int kProxyDefaultMaxQueueGrace = 2000;
const int kProxyHardQueueFactor = 4;
// Unconsumed input beyond this condemns the client.
const int kProxyMaxInput = 1048576;
// "LoginTimeout" and "PacketTimeout" of "ProxyServer", in seconds, when
// absent; 0 turns either off.
const int kProxyDefaultLoginTimeout = 60;
const int kProxyDefaultPacketTimeout = 60;
// "MaxMemory": buffered input plus queued output of all connections, bytes.
const int64_t kProxyDefaultMaxMemory = 1073741824;
// Refusals from one address less than this far apart form one burst, which
// is logged once.
const unsigned int kProxyRefusalBurstMs = 1000;

// The relay's bounds, as CProxyServer reads them from "ProxyServer".
struct ProxyLimits_t {
    int maxQueue = kProxyDefaultMaxQueue;               // > 0: the level a destination's queue keeps falling to
    int maxQueueGraceMs = kProxyDefaultMaxQueueGrace;   // >= 0: how long it may stay above it
    int loginTimeoutMs = kProxyDefaultLoginTimeout * 1000;    // 0: off
    int packetTimeoutMs = kProxyDefaultPacketTimeout * 1000;  // 0: off
    int maxClientsPerAddress = 0;                       // 0: no limit
    int64_t maxMemory = kProxyDefaultMaxMemory;         // > 0
};

// The log lines a client's packets can cause, each limited per client.
enum ProxyLogKind_t {
    PROXY_LOG_NOT_LOGGED_IN = 0,  // data before login
    PROXY_LOG_DUPLICATE_AUTH,     // authentication after login
    PROXY_LOG_MALFORMED_AUTH,     // authentication of the wrong size
    PROXY_LOG_AUTH_FAILED,        // unknown id or wrong key
    PROXY_LOG_KINDS
};

class CNatClient;

// A first-in, first-out list of clients threaded through the records
// themselves (no allocation): the ones awaiting login in connection order,
// the ones holding an incomplete packet in the order those began. Guarded
// by the relay's mutex.
class CNatClientList {
public:
    struct Link_t {
        CNatClient* pPrev = nullptr;
        CNatClient* pNext = nullptr;
        bool bListed = false;
    };
    explicit CNatClientList(Link_t CNatClient::*link) : m_Link(link) {}
    CNatClient* Front() const { return m_pHead; }
    // Appends pClient, taking it out of its old place first if listed.
    void PushBack(CNatClient* pClient);
    // A no-op for a client not listed.
    void Remove(CNatClient* pClient);

private:
    Link_t CNatClient::*m_Link;
    CNatClient* m_pHead = nullptr;
    CNatClient* m_pTail = nullptr;
};

// One accepted connection, owned by the core from ClientConnect to
// ClientDisconnect. Guarded by the relay's mutex.
class CNatClient {
public:
    bool auth = false;                  // logged in (registered or authenticated)
    int uid = 0;                        // meaningful while auth
    CBuffer in;                         // received bytes not yet forming a whole packet
    HConnection hConnection = nullptr;  // the connection this record belongs to
    bool error = false;                 // condemned: invisible, its data discarded
    CLogRate<PROXY_LOG_KINDS> log;      // this client's share of the log
    std::string address;                // the peer's dotted address; empty when unknown
    std::string name;                   // how log lines name the connection
    DWORD connectTick = 0;              // when it was announced
    DWORD packetTick = 0;               // when its buffered incomplete packet began
    int64_t inputCounted = 0;           // bytes of in counted in the figures' bufferedBytes
    bool bAddressCounted = false;       // counted against its address's cap
    CNatClientList::Link_t loginLink;   // on the list awaiting login
    CNatClientList::Link_t packetLink;  // on the list holding an incomplete packet
};

class CProxyCore {
public:
    // maxQueue > 0: the level a destination's send queue must keep falling
    // to within graceMs (>= 0) milliseconds; the other limits at their
    // defaults, and figures of its own.
    CProxyCore(IProxyTransport* pTransport, HMutex hLock, int maxQueue, int graceMs);
    // The given limits; the figures go to *pStats (not owned), whose
    // bufferedBytes the transport's queues add to as well.
    CProxyCore(IProxyTransport* pTransport, HMutex hLock, RelayStats_t* pStats, const ProxyLimits_t& limits);
    // Frees every record; no transport call.
    ~CProxyCore();
    CProxyCore(const CProxyCore&) = delete;
    CProxyCore& operator=(const CProxyCore&) = delete;

    // A new connection: a fresh, logged-out record. address is the peer's
    // dotted text (empty: unknown, never capped), name how log lines call
    // the connection. Beyond "MaxClientsPerAddress" from one address the
    // connection is dropped at once (its record stays, condemned, until
    // its disconnect).
    void ClientConnect(HConnection hConnection, const char* address = "", const char* name = "");
    // The connection is gone: its record goes (a deposited key stays).
    void ClientDisconnect(HConnection hConnection);
    // Received bytes of an announced connection (an unknown one is fatal).
    // data may be rewritten in place.
    void ClientData(HConnection hConnection, void* data, int length);
    // The relay's periodic work (every manager Dispatch, 40 ms standalone):
    // login and packet time-outs, and the per-packet figures gathered since
    // the last call go out to the figures.
    void Tick();
    // The per-packet figures out to the figures now.
    void PublishStats();
    const RelayStats_t& GetStats() const { return *m_pStats; }
    const ProxyLimits_t& GetLimits() const { return m_Limits; }
    // The key a client must present to log in as uid; any thread.
    void SetKey(int uid, int key);
    void RemoveKey(int uid);
    int GetClientCount();
    // Test seam: the id the next registration gets.
    void SetNextUserID(int uid);

    // The rest: the caller holds the relay's mutex.
    // The logged-in, uncondemned client holding uid, or null. Constant time.
    CNatClient* FindClient(int uid);
    // One complete packet of length bytes (12..1048575).
    void HandlePacket(CNatClient* pClient, void* data, int length);
    // Handles the whole packets at the start of data; returns the bytes
    // consumed. An invalid size condemns the client and stops the walk.
    int DispatchPackets(CNatClient* pClient, void* data, int length);

private:
    void Lock() { OS_MutexLock(m_hLock); }
    void UnLock() { OS_MutexUnlock(m_hLock); }
    // Condemns the client for cause (counted), or without counting for
    // RELAY_CONDEMN_CAUSES (booted, or gone).
    void Condemn(CNatClient* pClient, int cause);
    // Drop and condemn.
    void DropClient(CNatClient* pClient, int cause);
    void Login(CNatClient* pClient, int uid);
    // Brings bufferedBytes in step with pClient's input.
    void CountInput(CNatClient* pClient);
    // A condemned client's input: freed (unless its data is being walked)
    // and no longer counted.
    void DropInput(CNatClient* pClient);
    // True when growth more bytes fit the memory budget, after dropping the
    // biggest holders (one log line each) as far as needed; false when no
    // client is left to drop.
    bool MakeRoom(int64_t growth);
    CNatClient* BiggestHolder(int64_t* pHeld);
    // MakeRoom for growth bytes that pClient would hold; when that fails,
    // pClient goes. True when pClient is still there.
    bool Admit(CNatClient* pClient, int64_t growth);
    // The per-address cap at connect: true when pClient may stay.
    bool AdmitAddress(CNatClient* pClient);
    void ReleaseAddress(CNatClient* pClient);
    // After new input: the incomplete-packet clock of the client.
    void TrackIncomplete(CNatClient* pClient, bool consumed);
    // Sends within the queue rule; a destination that breaks it is dropped
    // and condemned instead.
    bool SendCapped(CNatClient* pDest, const void* data, int length);
    void Reply(CNatClient* pClient, int uid, int type);
    int NextUserID();
    // -1 when a line of this kind is held back for the client now, else the
    // number of lines of the kind it stands for beyond itself.
    int MayLog(CNatClient* pClient, ProxyLogKind_t kind);

    typedef std::unordered_map<int, CNatClient*, std::hash<int>, std::equal_to<int>,
                               CThreadSafeAllocator<std::pair<const int, CNatClient*>>>
        LoggedIn_t;

    IProxyTransport* m_pTransport;                    // not owned
    HMutex m_hLock;                                   // not owned: the relay's mutex
    CAssocArray<HConnection, CNatClient*> m_Clients;  // records owned
    CAssocArray<int, int> m_Keys;                     // uid -> key, filled by the host
    int m_AssignUserID;                               // next id handed out by registration
    LoggedIn_t m_LoggedIn;                            // uid -> its one logged-in, uncondemned record
    ProxyLimits_t m_Limits;
    RelayStats_t m_OwnStats;                          // the figures when none were given
    RelayStats_t* m_pStats;                           // not owned (or m_OwnStats)
    CNatClientList m_AwaitingLogin;                   // connection order
    CNatClientList m_Incomplete;                      // order their incomplete packets began
    struct Address_t {
        int open = 0;                                 // counted connections from it
        DWORD lastRefusal = 0;                        // tick of the last one refused
        bool bRefusing = false;                       // a burst of refusals was logged
    };
    std::unordered_map<std::string, Address_t> m_Addresses;  // addresses with counted connections
    CNatClient* m_pReceiving = nullptr;               // the client whose ClientData runs
    // Per-packet figures gathered under the mutex, published by Tick.
    uint64_t m_PendingPackets = 0, m_PendingBytes = 0, m_PendingEchoes = 0;
    uint64_t m_PendingDropped[RELAY_DROP_CAUSES] = {};
};

#endif
