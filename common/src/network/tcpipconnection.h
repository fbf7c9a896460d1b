// One TCP connection of CTCPIPConnectionManager: socket, peer address, state,
// send queue, time-out timer and (for an outgoing connection to a host name)
// its resolver. Upper layers only ever see it as an HConnection.
//
// Every operation runs with the manager's connection lock (m_hMutex) held:
// the manager takes it before calling in, the timer callback runs inside the
// socket thread's pass which holds it, and the two resolver callbacks take it
// themselves. Debug builds check this on every operation. The connection
// never takes the manager's dispatch lock.
#ifndef NB_COMMON_NETWORK_TCPIPCONNECTION_H
#define NB_COMMON_NETWORK_TCPIPCONNECTION_H

#include <atomic>
#include <cstdint>

#include "common/src/datatypes/vector.h"
#include "common/src/network/iconnectionmanager.h"
#include "common/src/network/resolve.h"
#include "common/src/osutils.h"
#include "common/src/timers.h"

enum TCPIPConnectionStatus_t : int32_t {
    TCPIP_STATUS_ESTABLISHED = 0,   // created, not yet announced to the listeners
    TCPIP_STATUS_RESOLVE = 1,       // outgoing, waiting for the host name
    TCPIP_STATUS_CONNECTING = 2,    // outgoing, address known; the socket thread connects
    TCPIP_STATUS_CONNECTED = 3,     // socket open, data flows
    TCPIP_STATUS_FLUSHING = 4,      // closed locally with flush: queue draining, then our FIN sent
    TCPIP_STATUS_DISCONNECTED = 5,  // socket closed; awaits its report and destruction
};

// Descriptors the manager serves are numbered below this (it has always
// promised 4096 sockets); a socket numbered higher is never served.
const int TCPIP_DESCRIPTOR_LIMIT = 4096;
// Queue blocks are at least this large, so bursts of small writes coalesce.
const int TCPIP_QUEUE_BLOCK = 4096;
// From this QueueData call within one tick value on, data is queued, not sent.
const DWORD TCPIP_BATCH_CALLS = 40;
// Time-out phases of the connection's timer, in ms.
const int TCPIP_SEND_STALL_MS = 360000;
const int TCPIP_RESOLVE_MS = 60000;
const int TCPIP_FLUSH_MS = 60000;

// True for strict dotted-quad IPv4 text (at most 15 characters). The
// all-ones broadcast address does not count: it is treated as a host name.
bool TCPIP_IsDottedAddress(const char* address);

class ITCPIPConnectionOwner;

// Owned by the manager, which creates it with the connection lock held and
// destroys it without that lock (after deleting the resolver taken out with
// DetachResolver). Owns its queue blocks, its socket, its timer (through the
// borrowed timer manager) and its resolver; borrows the lock, the logger
// field and its owner (ITCPIPConnectionOwner), which it tells of changes.
class CTCPIPConnection : public ITimerCallback, public IResolveDNSCallback {
public:
    // connected: an accepted socket (socket given, address the peer's dotted
    // text). Otherwise outgoing: no socket yet, address dotted text or a host
    // name (which Start() then looks up).
    CTCPIPConnection(unsigned int id, int socket, int port, const char* address, CTimerManager* timerManager,
                     HMutex hMutex, IConnectionManagerLogger** ppLogger, bool connected);
    // Frees the queue, destroys the timer and a resolver still attached. Does
    // not close the socket. Called without the connection lock.
    virtual ~CTCPIPConnection();
    CTCPIPConnection(const CTCPIPConnection&) = delete;
    CTCPIPConnection& operator=(const CTCPIPConnection&) = delete;

    // Starts the host-name lookup of an outgoing connection to a name (a
    // no-op otherwise). Once, after construction, so that the lookup thread
    // never meets a connection still being built.
    void Start();
    // Tells the connection who to notify of changes, and the owner's tag for
    // its own record of it (given back by GetOwnerTag). Null pOwner detaches:
    // nothing is notified any more.
    void Attach(ITCPIPConnectionOwner* pOwner, void* pOwnerTag);
    void* GetOwnerTag() const { return m_pOwnerTag; }

    // Sends directly when possible, queues the rest. False (data dropped) in
    // a state that cannot send any more. While the owner holds sends back
    // (the socket thread handing out a receive burst, and this its call),
    // the data only joins the queue; FlushDeferred sends it.
    bool QueueData(const char* data, int length);
    // QueueData unless the queue would pass hardCap bytes, or it has stayed
    // above softCap for graceMs without falling to it (a reader that does
    // not drain): then nothing is queued or counted and false comes back.
    bool QueueDataBounded(const char* data, int length, uint64_t softCap, uint64_t hardCap, DWORD graceMs);
    // Flushes the queue as far as the socket takes it (socket thread).
    void SendData();
    // Socket thread, after a receive burst: sends what QueueData held back
    // during it, with one gathering send where the socket takes it all.
    void FlushDeferred();
    // The disconnect procedure: records reason (the first one wins) and
    // closes now or, with flush, once the queue has drained and the peer
    // has closed, or when the flush had its 60 s. Closing without a flush
    // aborts the socket (the kernel drops what it still holds for the peer,
    // the peer gets a reset); so does a flush that ends with data still
    // queued. As soon as a flush has drained the queue the sending side is
    // shut: the peer sees the end of stream at once, and what it still
    // sends is read and dropped (DrainFlushing) so that no unread data
    // turns our close into a reset that could cut the response.
    void Disconnect(int reason, bool flush);
    // Socket thread, FLUSHING with the sending side shut: reads one block
    // into buffer and drops it; the peer's end of stream or a failure
    // closes the socket.
    void DrainFlushing(char* buffer, int size);
    // Socket thread, state CONNECTING: opens the socket and starts connect.
    void Connect();
    // Moves an unannounced connection to its working state (Dispatch).
    void Announce();
    // Closes the socket if still open, abortively with abort (the manager's
    // shutdown); the connection's state is left as it is.
    void CloseSocket(bool abort);
    // Hands the resolver to the caller, who deletes it outside the lock.
    CResolveDNS* DetachResolver();

    // Timer callback: socket thread, both manager locks held.
    virtual void TimerExpire(CTimer* pTimer) override;
    // Resolver callbacks: resolver thread, no lock held on entry.
    virtual void ResolveComplete(const char* ip) override;
    virtual void ResolveFailed() override;

    int GetSocket() const { return m_socket; }
    int GetPort() const { return m_port; }
    const char* GetIP() const { return m_ip; }
    unsigned int GetId() const { return m_id; }
    TCPIPConnectionStatus_t GetStatus() const { return m_status; }
    bool IsConnected() const { return m_bConnected; }
    bool IsResolved() const { return m_bResolved; }
    bool IsDisconnectPending() const { return m_bDisconnect; }
    bool IsDisconnectSent() const { return m_bDisconnectSent; }
    // FLUSHING, queue drained, our FIN sent: only the peer's end is awaited.
    bool IsSendShut() const { return m_bSendShut; }
    // The pending report is being delivered now.
    void MarkDisconnectSent();
    int GetClientError() const { return m_clientError; }
    bool HasDataFlowed() const { return m_dataSendRecv; }
    bool HasQueuedData() const { return m_writeQueueData.Count() > 0; }
    // Counted wide; getters hand out the low 32 bits.
    uint64_t GetDataSent() const { return m_DataSent; }
    uint64_t GetDataRecv() const { return m_DataRecv; }
    // Bytes accepted into the queue and not yet handed to the kernel.
    uint64_t GetQueuedBytes() const { return m_QueuedBytes; }
    // Keeps *pGauge (null: none) in step with this queue: what joins it is
    // added, what leaves it (sent, or dropped when the socket closes) is
    // subtracted; the current size moves over at the call.
    void SetQueueGauge(std::atomic<int64_t>* pGauge);
    // Received bytes: counted and marked as flowing data (socket thread).
    void NoteReceived(int bytes) {
        m_DataRecv += static_cast<uint64_t>(bytes);
        m_dataSendRecv = true;
    }
    CTimer* GetTimer() const { return m_timer; }

    // Queue layout, for diagnostics and tests.
    int GetQueueBlockCount() const { return m_writeQueueData.Count(); }
    DWORD GetQueueBlockUsed(int i) const { return m_writeQueueSizeUsed[i]; }
    DWORD GetQueueBlockAlloc(int i) const { return m_writeQueueSizeAlloc[i]; }
    DWORD GetWritePtr() const { return m_writePtr; }

    // The handle as the logger's texts print it ("0x%08x").
    unsigned int LogHandle() const { return static_cast<unsigned int>(reinterpret_cast<uintptr_t>(this)); }
    IConnectionManagerLogger* Logger() const { return m_ppLogger ? *m_ppLogger : nullptr; }

private:
    // Tells the owner that state, socket or queue emptiness changed.
    void Changed();
    void Append(const char* data, DWORD length);
    // Hands queued blocks to the kernel, several per call, until the queue
    // is empty or the socket is full; failures end in the disconnect
    // procedure. Logs the "Sending"/"Sent" texts.
    void WriteQueue();
    void Consumed(DWORD bytes);
    void EnterDisconnected(bool abort);
    // The socket is gone: queued blocks can never leave, so they go now.
    void FreeQueue();
    // FLUSHING with the queue empty: shuts the sending side (or closes when
    // that fails).
    void ShutSend();

    int m_socket;                          // -1 while none is open
    int m_port;
    char m_ip[16];                         // dotted text; empty while resolving
    unsigned int m_id;
    bool m_dataSendRecv;                   // a byte has been sent or received
    CTimerManager* m_timerManager;         // not owned
    CTimer* m_timer;                       // owned through m_timerManager
    TCPIPConnectionStatus_t m_status;
    bool m_bResolved;
    bool m_bConnected;                     // created for an accepted socket
    bool m_bDisconnect;                    // disconnect pending, not yet reported
    bool m_bDisconnectSent;                // reported; destroyable once DISCONNECTED
    bool m_bSendShut;                      // FLUSHING: queue drained and the sending side shut
    HMutex m_hMutex;                       // the manager's connection lock; not owned
    CResolveDNS* m_pResolver;              // owned; null when none runs
    int m_clientError;                     // -1 until the first cause is recorded
    DWORD m_writePtr;                      // bytes of the first block already sent
    CVector<char*> m_writeQueueData;       // blocks, oldest first; each owned
    CVector<DWORD> m_writeQueueSizeUsed;   // bytes filled per block
    CVector<DWORD> m_writeQueueSizeAlloc;  // capacity per block
    IConnectionManagerLogger** m_ppLogger; // the manager's logger field; not owned
    uint64_t m_DataSent;                   // bytes handed to QueueData
    uint64_t m_DataRecv;                   // bytes received
    DWORD m_LastSendTimestamp;             // tick value of the current send burst
    DWORD m_SendCountInTick;               // QueueData calls seen in that tick
    uint64_t m_QueuedBytes;                // unsent bytes in the queue
    bool m_bReasonRecorded;                // m_clientError holds the first cause
    uint64_t m_SoftCap;                    // queue level watched for draining; 0 when none
    DWORD m_AboveSince;                    // tick the queue last rose above m_SoftCap
    bool m_bAboveSoftCap;                  // the queue is above m_SoftCap
    bool m_bDeferredFromEmpty;             // held-back data went into an empty queue
    ITCPIPConnectionOwner* m_pOwner;       // not owned; null outside a manager (or once detached)
    void* m_pOwnerTag;                     // not owned; the owner's record of us, opaque here
    std::atomic<int64_t>* m_pQueueGauge;   // not owned; null when none
};

#endif
