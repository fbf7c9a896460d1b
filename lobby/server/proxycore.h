// CProxyCore: the relay's packet logic without a transport. It cuts each
// client's byte stream into packets by the 12-byte header, logs clients in
// (registration, or a key a lobby host deposited), forwards data packets
// with the id field rewritten to the sender's, and condemns clients that
// break the framing or overflow a queue.
//
// Owns its client records and key table; borrows the transport and the
// relay's mutex. Every entry point below takes that mutex for its whole run
// unless it says the caller holds it; it is called by the connection
// manager's threads (under the manager's dispatch lock) and by a host's
// thread (keys). Lock order: the manager's dispatch lock -> the relay's
// mutex -> the manager's connection lock (taken inside the transport).
#ifndef NB_LOBBY_SERVER_PROXYCORE_H
#define NB_LOBBY_SERVER_PROXYCORE_H

#include <unordered_map>

#include "common/src/datatypes/assocarray.h"
#include "common/src/datatypes/buffer.h"
#include "common/src/osutils.h"
#include "lobby/common/rmi/nat_types.h"
#include "lobby/server/iproxytransport.h"
#include "lobby/server/lograte.h"

// A destination's send queue may rise above "MaxQueue" of "ProxyServer" (this
// by default) in a burst, but must fall back to it within "MaxQueueGrace"
// milliseconds, and never pass kProxyHardQueueFactor times it.
const int kProxyDefaultMaxQueue = 4194304;
const int kProxyDefaultMaxQueueGrace = 2000;
const int kProxyHardQueueFactor = 4;
// Unconsumed input beyond this condemns the client.
const int kProxyMaxInput = 1048576;

// The log lines a client's packets can cause, each limited per client.
enum ProxyLogKind_t {
    PROXY_LOG_NOT_LOGGED_IN = 0,  // data before login
    PROXY_LOG_DUPLICATE_AUTH,     // authentication after login
    PROXY_LOG_MALFORMED_AUTH,     // authentication of the wrong size
    PROXY_LOG_AUTH_FAILED,        // unknown id or wrong key
    PROXY_LOG_KINDS
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
};

class CProxyCore {
public:
    // maxQueue > 0: the level a destination's send queue must keep falling
    // to within graceMs (>= 0) milliseconds.
    CProxyCore(IProxyTransport* pTransport, HMutex hLock, int maxQueue, int graceMs);
    // Frees every record; no transport call.
    ~CProxyCore();
    CProxyCore(const CProxyCore&) = delete;
    CProxyCore& operator=(const CProxyCore&) = delete;

    // A new connection: a fresh, logged-out record.
    void ClientConnect(HConnection hConnection);
    // The connection is gone: its record goes (a deposited key stays).
    void ClientDisconnect(HConnection hConnection);
    // Received bytes of an announced connection (an unknown one is fatal).
    // data may be rewritten in place.
    void ClientData(HConnection hConnection, void* data, int length);
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
    void Condemn(CNatClient* pClient);
    void Login(CNatClient* pClient, int uid);
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
    int m_MaxQueue;                                   // level a destination's queue must keep falling to
    int m_MaxQueueGrace;                              // ms it may stay above that level
};

#endif
