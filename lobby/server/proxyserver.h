// CProxyServer: the relay as a server. Clients log in (registration or a key
// deposited by an embedding lobby host) and send packets addressed to
// another user id; the relay rewrites the id field to the sender's and
// forwards the packet. The packet rules live in CProxyCore; this class joins
// the core to a connection manager and pumps it.
//
// Built in two phases: the constructor only builds; Start() opens the port
// and starts the manager's socket thread and the relay's own thread, so no
// thread ever sees a half-built object. Owns its connection manager and its
// core. Standalone, its thread pumps the manager's Dispatch() every 40 ms;
// embedded, the host pumps through DispatchNAT().
//
// Locks, outer to inner: the manager's dispatch lock -> the relay's mutex
// (IThreadSafe) -> the manager's connection lock. Every listener callback runs
// with the dispatch lock held and the core takes the relay's mutex for its
// whole run; the transport calls made from inside take only the connection
// lock. SetKey/RemoveKey take the relay's mutex from the host's thread.
#ifndef NB_LOBBY_SERVER_PROXYSERVER_H
#define NB_LOBBY_SERVER_PROXYSERVER_H

#include "common/src/datatypes/ithreadable.h"
#include "common/src/datatypes/ithreadsafe.h"
#include "common/src/network/tcpipconnectionmanager.h"
#include "lobby/server/iproxytransport.h"
#include "lobby/server/proxycore.h"
#include "lobby/server/relaystats.h"

// The embedding lobby host lives outside this program; the relay only keeps
// its pointer and tests it for null.
class CLobbyServer;

class CProxyServer : public IConnectionManagerExtendedListener,
                     public IThreadSafe,
                     public IThreadable,
                     private IProxyTransport {
public:
    // A null host selects the standalone setting (port from "ProxyServer"/
    // "Port" of g_INI). Reads the limits (ConfiguredLimits); opens nothing,
    // starts nothing.
    explicit CProxyServer(CLobbyServer* pServer);
    // Stops the relay's thread if it runs, leaves the manager's listeners and
    // shuts the manager down (no callbacks), then frees the records.
    virtual ~CProxyServer();

    // Starts the manager, opens the port and starts the relay's thread. False,
    // with the reason logged and nothing left running, when the port cannot
    // be opened or "Port" is not a port number. Once, from the owning thread.
    bool Start();

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
    // the relay's mutex.
    CNatClient* FindClient(int uid);
    // One complete packet; caller holds the relay's mutex.
    void HandlePacket(CNatClient* pClient, void* data, int length);
    // Handles the whole packets at the start of data and returns the bytes
    // consumed; caller holds the relay's mutex.
    int DispatchPackets(CNatClient* pClient, void* data, int length);

    // The port in use once Start has succeeded, else 0.
    int GetPort() const { return m_TCPPort; }
    int GetClientCount();
    // The relay's running figures, for the status server's thread.
    const RelayStats_t& GetStats() const { return m_Stats; }
    // "MaxQueue" of "ProxyServer" in g_INI when it is a positive number, else
    // the default: the cap on one destination's send queue.
    static int ConfiguredMaxQueue();
    // "MaxQueueGrace" of "ProxyServer" in ms when it is a number, else the
    // default: how long a destination's queue may stay above MaxQueue.
    static int ConfiguredMaxQueueGrace();
    // Every bound of "ProxyServer" in g_INI: "MaxQueue", "MaxQueueGrace",
    // "LoginTimeout" and "PacketTimeout" (seconds, 0 off), "MaxClientsPerAddress"
    // (0 no limit) and "MaxMemory" (bytes); a key that is absent or not a
    // usable number keeps its default.
    static ProxyLimits_t ConfiguredLimits();

private:
    bool OpenPort();
    // The transport, as the core sees it; relay's mutex held.
    virtual bool Send(HConnection hConnection, const void* data, int length, int softCap, int hardCap,
                      int graceMs) override;
    virtual void Drop(HConnection hConnection) override;
    virtual int64_t QueuedBytes(HConnection hConnection) override;

    RelayStats_t m_Stats;                         // the running figures; first, so it outlives the core
    CLobbyServer* m_pServer;                      // not owned; null when standalone
    int m_TCPPort;                                // the listening port in use
    CTCPIPConnectionManager m_ConnectionManager;  // owned, 4096 connections
    CProxyCore m_Core;                            // owned; the clients, keys and ids
    bool m_bStarted;                              // the manager runs (Start succeeded)
};

#endif
