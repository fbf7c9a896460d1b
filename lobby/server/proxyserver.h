// CProxyServer: the relay. Clients log in (registration or a key deposited by
// an embedding lobby host) and send packets addressed to another user id; the
// relay rewrites the id field to the sender's and forwards the packet.
//
// Owns its connection manager, its client records and its key table. Runs
// one thread of its own: standalone it pumps the manager's Dispatch() every
// 40 ms; embedded the host pumps through DispatchNAT().
//
// Locks, outer to inner: the manager's dispatch lock -> the relay's mutex
// (IThreadSafe) -> the manager's connection lock. Every listener callback runs
// with the dispatch lock held and takes the relay's mutex for its whole run;
// SendData/Disconnect on the manager from inside take only the connection
// lock. SetKey/RemoveKey take the relay's mutex from the host's thread.
#ifndef NB_LOBBY_SERVER_PROXYSERVER_H
#define NB_LOBBY_SERVER_PROXYSERVER_H

#include <unordered_map>

#include "common/src/datatypes/assocarray.h"
#include "common/src/datatypes/buffer.h"
#include "common/src/datatypes/ithreadable.h"
#include "common/src/datatypes/ithreadsafe.h"
#include "common/src/network/tcpipconnectionmanager.h"
#include "lobby/common/rmi/nat_types.h"

// The embedding lobby host lives outside this program; the relay only keeps
// its pointer and tests it for null.
class CLobbyServer;

// Default cap on one destination's send queue ("MaxQueue" of "ProxyServer").
const int kProxyDefaultMaxQueue = 4194304;
// Unconsumed input beyond this condemns the client.
const int kProxyMaxInput = 1048576;

// One accepted connection, owned by the relay from ClientConnect to
// ClientDisconnect. Guarded by the relay's mutex.
class CNatClient {
public:
    bool auth = false;                  // logged in (registered or authenticated)
    int uid = 0;                        // meaningful while auth
    CBuffer in;                         // received bytes not yet forming a whole packet
    HConnection hConnection = nullptr;  // the connection this record belongs to
    bool error = false;                 // condemned: invisible, its data discarded
};

class CProxyServer : public IConnectionManagerExtendedListener, public IThreadSafe, public IThreadable {
public:
    // Opens the port and starts serving; a null host selects the standalone
    // setting (port from "ProxyServer"/"Port" of g_INI). A port that cannot
    // be opened ends the process.
    explicit CProxyServer(CLobbyServer* pServer);
    // Stops the relay's thread if needed, leaves the manager's listeners and
    // shuts the manager down (no callbacks), then frees the records.
    virtual ~CProxyServer();

    // Listener callbacks: see the lock order above.
    virtual void ClientConnect(HConnection hConnection) override;
    virtual void ClientDisconnect(HConnection hConnection, bool forced, int reason) override;
    virtual void Dispatch() override;
    virtual void ClientData(HConnection hConnection, void* data, int length) override;

    virtual void ThreadEntry(CSignal& signal) override;

    // For an embedding host: one Dispatch() of the manager on its thread.
    void DispatchNAT();
    // For an embedding host, from any thread: the key a client must present
    // to log in as uid.
    void SetKey(int uid, int key);
    void RemoveKey(int uid);
    // The logged-in, uncondemned client holding uid, or null. Caller holds
    // the relay's mutex. Constant time: logged-in clients are indexed by id.
    CNatClient* FindClient(int uid);
    // One complete packet of length bytes (12..1048575). Caller holds the mutex.
    void HandlePacket(CNatClient* pClient, void* data, int length);
    // Handles the whole packets at the start of data; returns the bytes
    // consumed. An invalid size condemns the client and stops the walk.
    int DispatchPackets(CNatClient* pClient, void* data, int length);

    int GetPort() const { return m_TCPPort; }
    // Under the mutex.
    int GetClientCount();

protected:
    // The transport, in one place so a test harness can stand in for the
    // manager. Called with the relay's mutex held.
    virtual void Send(HConnection hConnection, const void* data, int length);
    virtual void Drop(HConnection hConnection);
    virtual int QueuedBytes(HConnection hConnection);

private:
    void OpenPort();
    void Condemn(CNatClient* pClient);
    void Login(CNatClient* pClient, int uid);
    // Sends unless it would take the destination's queue past m_MaxQueue; then
    // the destination is dropped and condemned instead. False when dropped.
    bool SendCapped(CNatClient* pDest, const void* data, int length);
    void Reply(CNatClient* pClient, int uid, int type);
    int NextUserID();

    typedef std::unordered_map<int, CNatClient*, std::hash<int>, std::equal_to<int>,
                               CThreadSafeAllocator<std::pair<const int, CNatClient*>>>
        LoggedIn_t;

protected:  // test harnesses set the id counter
    CLobbyServer* m_pServer;                       // not owned; null when standalone
    int m_TCPPort;                                 // the listening port in use
    CTCPIPConnectionManager m_ConnectionManager;   // owned, 4096 connections
    CAssocArray<HConnection, CNatClient*> m_Clients;  // records owned
    CAssocArray<int, int> m_Keys;                  // uid -> key, filled by the host
    int m_AssignUserID;                            // next id handed out by registration
    LoggedIn_t m_LoggedIn;                         // uid -> its one logged-in, uncondemned record
    int m_MaxQueue;                                // cap on one destination's send queue
};

#endif
