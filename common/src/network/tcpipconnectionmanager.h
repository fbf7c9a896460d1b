// The TCP connection manager: one listening socket at most plus up to a fixed
// number of connections, run by one socket thread waiting on a poller
// (CTCPIPPoller: readable, writable, urgent data).
//
// Locks, outer to inner: m_hDispatchMutex -> m_hMutex -> the timer manager's
// lock. All listener callbacks run with m_hDispatchMutex held and m_hMutex
// released: ClientData on the socket thread, ClientConnect/ClientDisconnect
// and the extended Dispatch on the thread calling Dispatch(). From inside a
// callback a listener may call SendData, Disconnect, ClientError,
// GetConnectionId, FindConnection and the getters, never Dispatch,
// AddListener, RemoveListener, Connect or Shutdown. Debug builds assert these
// rules where they apply, and that socket-thread work runs on the thread
// running the socket pass.
#ifndef NB_COMMON_NETWORK_TCPIPCONNECTIONMANAGER_H
#define NB_COMMON_NETWORK_TCPIPCONNECTIONMANAGER_H

#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <mutex>
#include <cstdint>
#include <vector>

#include "common/src/datatypes/ithreadable.h"
#include "common/src/datatypes/vector.h"
#include "common/src/network/iconnectionmanager.h"
#include "common/src/network/itcpipconnectionowner.h"
#include "common/src/network/tcpipconnection.h"
#include "common/src/network/tcpippoller.h"
#include "common/src/timers.h"

// Size of the one receive buffer; ClientData blocks are at most this long.
const int TCPIP_RECV_BUFFER = 262144;
// Connections taken from the listening socket's backlog in one pass at most.
const int TCPIP_ACCEPTS_PER_PASS = 64;

// Re-installs itself for SIGPIPE: a write to a closed socket never ends the
// process.
void SignalHandler(int signo);
// printf-style into a CString of any length (the checked formatter: output
// that cannot be produced in full is fatal).
CString LogVExpand(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The same with a va_list, for IConnectionManagerLogger implementations.
CString LogVExpandList(const char* format, va_list args);

// Owns its connections and its record of each, its timer manager (and
// through it every connection's timer), the listening socket and the poller;
// borrows listeners and the logger. Runs its own socket thread between Init
// and Shutdown; the owner pumps Dispatch() from one other thread. A pass of
// the socket thread costs the connections that changed or are ready, never
// the idle ones.
class CTCPIPConnectionManager : public IConnectionManager, public IThreadable, private ITCPIPConnectionOwner {
public:
    // maxConnections > 1 (fatal otherwise). Not running until Init.
    explicit CTCPIPConnectionManager(int maxConnections);
    // Shutdown must have been called (fatal otherwise).
    virtual ~CTCPIPConnectionManager();

    virtual void Dispatch() override;
    virtual void AddListener(IConnectionManagerListener* pListener, bool extended) override;
    virtual void RemoveListener(IConnectionManagerListener* pListener) override;
    virtual void SendData(HConnection hConnection, const void* data, int length) override;
    virtual CString GetConnectionId(HConnection hConnection) override;
    virtual HConnection FindConnection(CString id) override;
    virtual void ClientError(HConnection hConnection, int reason) override;

    // No lock: set it after Init (which clears it) and before traffic
    // starts. Applies to existing connections too.
    virtual void SetLogger(IConnectionManagerLogger* pLogger);
    // The socket thread's loop, one pass after another until signal is set.
    virtual void ThreadEntry(CSignal& signal) override;

    // Creates the locks and the dispatch timer and starts the socket thread.
    // Always true; a second call while running is fatal.
    bool Init();
    // Opens the listening socket on port (0..65534; 0 lets the system
    // choose), on the local address given as dotted IPv4 text, or on all
    // addresses when address is "". The port in use, or 0 on failure (an
    // address that is not dotted IPv4 text, or not one of this machine's, is
    // a failure like a port in use).
    int Host(int port, const CString& address = "");
    // An outgoing connection to dotted IPv4 text or a host name; the handle
    // comes back at once. callbackNow announces it (ClientConnect) before
    // returning, on the caller's thread. At the connection limit the handle
    // is still returned and fails at once (ClientDisconnect 0x10000002).
    HConnection Connect(const char* address, int port, bool callbackNow);
    // Local close, reported as reason -1; with flush the queue is sent
    // first (the socket closes 60 s later). Flushing twice is fatal. Without
    // flush (as with ClientError) the socket is aborted: the peer gets a
    // reset and the kernel keeps nothing of the unsent data.
    void Disconnect(HConnection hConnection, bool flush);
    // Stops the socket thread, aborts every connection's socket and closes
    // everything without callbacks. Never from inside a callback.
    void Shutdown();
    // Waits up to waitMs (0: not at all) until there is something to
    // dispatch (a connection to announce or report, or received data handed
    // to the extended listeners since the last call), returning as soon as
    // there is; then Dispatch(). True when the wait ended on an event. The
    // owner's loop for a socket thread that runs on its own: no spinning,
    // and no fixed delay added to an event. From the thread that pumps
    // Dispatch(), never from inside a callback.
    bool DispatchWait(int waitMs);

    // Runs the socket loop on the calling thread (stopping the socket thread
    // for good) until signal is set or timeOutMs (if not 0) has passed; then
    // clears signal.
    void Dispatch(CSignal& signal, int timeOutMs);

    // The peer's dotted address and port (outgoing: the target's).
    CString GetRemoteIP(HConnection hConnection);
    int GetRemotePort(HConnection hConnection);
    // Bytes handed to SendData and bytes received: the low 32 bits of
    // counters that never overflow. Under the connection lock; any thread.
    int GetDataSent(HConnection hConnection);
    int GetDataRecv(HConnection hConnection);
    // SendData unless the connection's send queue would pass hardCap bytes,
    // or has stayed above softCap for graceMs without falling to it (its
    // reader does not keep up); then nothing is queued and false comes
    // back. One round trip of the connection lock; any thread.
    bool SendDataBounded(HConnection hConnection, const void* data, int length, int softCap, int hardCap,
                         int graceMs);
    // Bytes accepted by SendData for this connection that have not been
    // handed to the kernel yet (its send queue), saturated at INT_MAX. Takes
    // the connection lock only, so any thread may call it, also from inside
    // a listener callback; the manager must be running.
    int GetQueuedBytes(HConnection hConnection);
    // Keeps *pGauge (null: none) in step with the send queues of all
    // connections, existing ones included: bytes joining a queue are added,
    // bytes sent or dropped with a closed socket subtracted. One relaxed
    // atomic add per change. Running manager; takes the connection lock.
    void SetQueueGauge(std::atomic<int64_t>* pGauge);

    // The number of live connection objects (finished ones awaiting
    // destruction included), as counted against the limit.
    int GetConnectionCount();
    // Test seam: the id the next connection gets (the counter's wrap).
    void TestSetNextId(unsigned int id);

private:
    // The manager's bookkeeping of one connection, under the connection
    // lock; the connection carries a pointer to it as its owner tag and is
    // destroyed together with it. The socket thread looks only at records
    // on the change list or reported ready; Dispatch() only at those on the
    // report list.
    struct Record_t {
        CTCPIPConnection* pConnection;  // owned through m_sockets
        uint64_t seq;                   // creation order within the manager
        unsigned int watched;           // poller events registered for its socket; 0 when none
        bool bChangeListed;             // on m_Changed
        bool bReportListed;             // on m_Reports
        bool bFlushListed;              // on m_Flush
        bool bLinked;                   // false once taken out for destruction
    };
    // A ready connection of one pass and the poller events it reported.
    struct Ready_t {
        Record_t* pRecord;
        unsigned int events;
    };

    // ITCPIPConnectionOwner, connection lock held, any thread: queue the
    // connection for the socket thread's next look (and wake it if it
    // waits), and for Dispatch() when it has something to announce; drop a
    // socket's registration before the descriptor is closed.
    virtual void ConnectionChanged(CTCPIPConnection* pConnection) override;
    virtual void SocketClosing(CTCPIPConnection* pConnection, int socket) override;
    virtual bool DeferSend(CTCPIPConnection* pConnection) override;
    // Socket thread, both locks held, after a received block has been
    // handed out: sends what it held back, once per connection.
    void FlushDeferred();
    static Record_t* RecordOf(CTCPIPConnection* pConnection);
    void Adopt(CTCPIPConnection* pConnection);
    void SettleChanged(CVector<Record_t*>& doomed);
    void Watch(Record_t* pRecord);
    void WatchListener(bool watch);
    void HandleReady(Record_t* pRecord, unsigned int events);
    void Receive(CTCPIPConnection* pConnection, int s);
    void LockDispatch();
    void UnlockDispatch();
    void CheckRunning() const;
    // Debug builds: the lock rules of listener callbacks, and that the
    // caller is the thread running socket passes.
    void CheckCallbackLocks() const;
    void CheckPassThread() const;
    void BecomePassThread();
    CTCPIPConnection* Conn(HConnection hConnection) const;
    unsigned int NextId();
    void AnnounceLocked(CTCPIPConnection* pConnection);
    void RunPass();
    // True when the listening socket may have more connections waiting.
    bool AcceptOne(int listener);
    // Something for Dispatch(): ends a DispatchWait. Any thread, any lock.
    void NoteEvent();
    static void DestroyOutsideLocks(CVector<Record_t*>& doomed);

    HMutex m_hDispatchMutex;            // owned; the dispatch lock
    HMutex m_hMutex;                    // owned; the connection lock, shared with every connection
    bool m_bServer;                     // a listening socket is open
    std::atomic<bool> m_bRunning;       // between Init and Shutdown
    int m_serverSocket;
    int m_maxConnections;
    unsigned int m_globalID;            // id of the next connection
    CTimer* m_DispatchTimer;            // owned through m_TimerManager; bounds Dispatch(signal, ms)
    CTimerManager m_TimerManager;       // dispatched by the socket thread
    char m_recvBuffer[TCPIP_RECV_BUFFER];       // socket thread only
    CVector<CTCPIPConnection*> m_sockets;       // owned, creation order; changed under both locks
    CVector<IConnectionManagerListener*> m_callbacks;                 // not owned
    CVector<IConnectionManagerExtendedListener*> m_callbacksExtended; // not owned
    IConnectionManagerLogger* m_pLogger;        // not owned; connections point at this field
    bool m_bIdWrapped;                  // the id counter has wrapped: skip ids still in use
    DWORD m_AcceptPausedAt;             // tick of the last failed accept
    bool m_bAcceptPaused;               // the listening socket rests after a failed accept
    bool m_bAcceptFailing;              // a burst of failed accepts has been logged
    const CTCPIPConnectionManager* m_pOuterDispatchHolder;  // guarded by m_hDispatchMutex itself
    // Open between Init and Shutdown. Waited on by the socket thread;
    // SocketClosing unwatches from any thread, Wake is called under m_hMutex.
    CTCPIPPoller m_Poller;
    std::vector<Ready_t> m_Ready;       // socket thread only
    bool m_bListenerWatched;            // socket thread only
    std::atomic<int64_t>* m_pQueueGauge = nullptr;  // not owned; under m_hMutex
    // Under m_hMutex:
    CVector<Record_t*> m_Changed;       // not owned; for the socket thread's next pass
    CVector<Record_t*> m_Reports;       // not owned; unannounced or with a pending disconnect
    uint64_t m_NextSeq;                 // creation order of connections
    bool m_bDeferSends;                 // the socket thread is handing out received data
    const void* m_pDeferThread;         // the thread doing so
    std::vector<Record_t*> m_Flush;     // not owned; connections holding back data for the flush
    // Wake-ups of DispatchWait; m_EventMutex is taken inside every other lock.
    std::mutex m_EventMutex;
    std::condition_variable m_EventCond;
    bool m_bEventPending = false;       // under m_EventMutex
    int m_EventWaiters = 0;             // under m_EventMutex
    // The thread running socket passes: the socket thread, or the caller of
    // Dispatch(signal, ms) or Shutdown once that thread is gone. Checked in
    // debug builds only; present in every build so that the layout does not
    // depend on NDEBUG (users may build either way).
    [[maybe_unused]] const void* m_pPassThread = nullptr;
};

#endif
