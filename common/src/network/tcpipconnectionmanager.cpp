// The connection manager: listener bookkeeping, announcements, and the
// socket thread's pass (timers, wait, accept, send, receive, destroy).
//
// Locks, outer to inner: m_hDispatchMutex -> m_hMutex -> the timer manager's
// lock. m_sockets changes only with both held, so either one suffices to
// read it. Connections are destroyed with neither held: a resolver thread
// may be waiting for m_hMutex, and deleting it joins that thread.
//
// Nothing here walks all connections per pass. Connections report every
// change that matters to the socket thread (state, socket, queue becoming
// empty or non-empty) through ConnectionChanged into m_Changed, and
// everything Dispatch() must announce into m_Reports; both lists are kept
// in creation order when worked off, so callbacks come in the order a walk
// over m_sockets gives.
#include "common/src/network/tcpipconnectionmanager.h"

#include <errno.h>
#include <signal.h>

#include <algorithm>
#include <climits>
#include <cstdarg>

#include "common/src/cbase.h"
#include "common/src/network/tcpipsocket.h"

// How long the listening socket rests after a failed accept (EMFILE and the
// like leave it readable, so retrying at once would spin).
static const DWORD ACCEPT_PAUSE_MS = 1000;

// The manager whose dispatch lock this thread holds (the innermost one).
// Listener callbacks run with that lock held; re-taking it from a callback
// would hang on the non-recursive mutex, so it is stopped with a message.
static thread_local const CTCPIPConnectionManager* t_pDispatchHolder = nullptr;

namespace {

// The poller tag of the listening socket; connections are tagged with their
// records.
char s_ListenerTag;
// One wait reports every descriptor that can be registered: each
// connection's and the listener (the poller's wake-up needs no slot of ours,
// but gets one).
const int EVENT_SLOTS = TCPIP_DESCRIPTOR_LIMIT + 2;

}  // namespace

void SignalHandler(int) { signal(SIGPIPE, SignalHandler); }

CString LogVExpandList(const char* format, va_list args) { return VSprintf(format, args); }

CString LogVExpand(const char* format, ...) {
    va_list args;
    va_start(args, format);
    CString result = LogVExpandList(format, args);
    va_end(args);
    return result;
}

CTCPIPConnectionManager::CTCPIPConnectionManager(int maxConnections)
    : m_hDispatchMutex(nullptr),
      m_hMutex(nullptr),
      m_bServer(false),
      m_bRunning(false),
      m_serverSocket(-1),
      m_maxConnections(maxConnections),
      m_globalID(0),
      m_DispatchTimer(nullptr),
      m_pLogger(nullptr),
      m_bIdWrapped(false),
      m_AcceptPausedAt(0),
      m_bAcceptPaused(false),
      m_bAcceptFailing(false),
      m_pOuterDispatchHolder(nullptr),
      m_bListenerWatched(false),
      m_NextSeq(0),
      m_bDeferSends(false),
      m_pDeferThread(nullptr) {
    OS_ASSERTMSG(maxConnections > 1, "Reason: %s", "maxConnections must be greater than 1");
}

CTCPIPConnectionManager::~CTCPIPConnectionManager() {
    OS_ASSERTMSG(!m_bRunning, "Reason: %s", "Error forgot to run shutdown.");
}

void CTCPIPConnectionManager::LockDispatch() {
    OS_ASSERTMSG(t_pDispatchHolder != this, "Reason: %s",
                 "Dispatch, AddListener, RemoveListener, Connect or Shutdown called from inside a listener callback");
    OS_MutexLock(m_hDispatchMutex);
    m_pOuterDispatchHolder = t_pDispatchHolder;
    t_pDispatchHolder = this;
}

void CTCPIPConnectionManager::UnlockDispatch() {
    t_pDispatchHolder = m_pOuterDispatchHolder;
    OS_MutexUnlock(m_hDispatchMutex);
}

void CTCPIPConnectionManager::CheckRunning() const {
    OS_ASSERTMSG(m_bRunning, "Reason: %s", "Error connection manager not running.");
}

void CTCPIPConnectionManager::CheckCallbackLocks() const {
    OS_ASSERT_HELD(m_hDispatchMutex);
    OS_ASSERT_NOT_HELD(m_hMutex);
}

void CTCPIPConnectionManager::CheckPassThread() const {
#ifndef NDEBUG
    OS_ASSERTMSG(m_pPassThread == OS_CurrentThreadToken(), "Reason: %s",
                 "socket-thread work on a thread that does not run the socket pass");
#endif
}

void CTCPIPConnectionManager::BecomePassThread() {
#ifndef NDEBUG
    m_pPassThread = OS_CurrentThreadToken();
#endif
}

CTCPIPConnection* CTCPIPConnectionManager::Conn(HConnection hConnection) const {
    CTCPIPConnection* pConnection = static_cast<CTCPIPConnection*>(hConnection);
#ifndef NDEBUG
    // A handle used after its ClientDisconnect, or never issued: caught in
    // debug builds (the scan is too slow for every send in release).
    OS_ASSERTMSG(m_sockets.Find(pConnection) >= 0, "Reason: %s", "Invalid connection handle");
#endif
    OS_ASSERT(pConnection != nullptr);
    return pConnection;
}

bool CTCPIPConnectionManager::Init() {
    OS_ASSERTMSG(!m_bRunning, "Reason: %s", "Error init called twice.");
    m_sockets.RemoveAll();
    m_callbacks.RemoveAll();
    m_callbacksExtended.RemoveAll();
    m_bServer = false;
    m_serverSocket = -1;
    m_globalID = 0;
    m_bIdWrapped = false;
    m_bAcceptPaused = false;
    m_bAcceptFailing = false;
    m_pLogger = nullptr;
    m_hDispatchMutex = OS_MutexCreate(MT_BINARY);
    m_hMutex = OS_MutexCreate(MT_BINARY);
    m_DispatchTimer = m_TimerManager.CreateTimer(1000, false, true, nullptr);
    m_DispatchTimer->Disable();
    m_Changed.RemoveAll();
    m_Flush.clear();
    m_Reports.RemoveAll();
    m_NextSeq = 0;
    m_bListenerWatched = false;
    m_Poller.Open(EVENT_SLOTS, m_hMutex);
    signal(SIGPIPE, SignalHandler);
    m_bRunning = true;
    StartThread(OS_THREAD_PRIORITY_NORMAL);
    return true;
}

void CTCPIPConnectionManager::SetLogger(IConnectionManagerLogger* pLogger) { m_pLogger = pLogger; }

int CTCPIPConnectionManager::Host(int port) {
    CheckRunning();
    OS_ASSERTMSG(port >= 0 && port <= 65534, "Reason: %s", "Invalid port number, port is out of range");
    OS_ASSERTMSG(!m_bServer, "Reason: %s", "Host called while a listening socket is open");
    int s = TCPIP_Listen(port, &port);
    if (s < 0) return 0;
    if (s >= TCPIP_DESCRIPTOR_LIMIT) {
        TCPIP_Close(s);
        return 0;
    }
    LockDispatch();
    OS_MutexLock(m_hMutex);
    m_serverSocket = s;
    m_bServer = true;
    // The socket thread starts watching it at its next pass.
    m_Poller.Wake();
    OS_MutexUnlock(m_hMutex);
    UnlockDispatch();
    return port;
}

unsigned int CTCPIPConnectionManager::NextId() {
    // Dispatch lock held: m_globalID and m_sockets cannot change under us.
    OS_ASSERT_HELD(m_hDispatchMutex);
    for (;;) {
        unsigned int id = m_globalID++;
        if (m_globalID == 0) {
            // Wrapped: go on from 1, skipping ids that live connections hold.
            m_globalID = 1;
            m_bIdWrapped = true;
        }
        if (!m_bIdWrapped) return id;
        bool used = false;
        for (int i = 0; i < m_sockets.Count() && !used; i++) used = m_sockets[i]->GetId() == id;
        if (!used) return id;
    }
}

void CTCPIPConnectionManager::TestSetNextId(unsigned int id) {
    LockDispatch();
    m_globalID = id;
    UnlockDispatch();
}

CTCPIPConnectionManager::Record_t* CTCPIPConnectionManager::RecordOf(CTCPIPConnection* pConnection) {
    return static_cast<Record_t*>(pConnection->GetOwnerTag());
}

void CTCPIPConnectionManager::ConnectionChanged(CTCPIPConnection* pConnection) {
    OS_ASSERT_HELD(m_hMutex);
    Record_t* pRecord = RecordOf(pConnection);
    if (!pRecord->bChangeListed) {
        pRecord->bChangeListed = true;
        m_Changed.AddToTail(pRecord);
        // Only a waiting socket thread needs the nudge.
        m_Poller.Wake();
    }
    if (!pRecord->bReportListed &&
        (pConnection->GetStatus() == TCPIP_STATUS_ESTABLISHED || pConnection->IsDisconnectPending())) {
        pRecord->bReportListed = true;
        m_Reports.AddToTail(pRecord);
    }
}

void CTCPIPConnectionManager::SocketClosing(CTCPIPConnection* pConnection, int socket) {
    OS_ASSERT_HELD(m_hMutex);
    Record_t* pRecord = RecordOf(pConnection);
    if (pRecord->watched == 0) return;
    // An event already collected for this connection finds its socket gone
    // and is dropped.
    m_Poller.Unwatch(socket);
    pRecord->watched = 0;
}

bool CTCPIPConnectionManager::DeferSend(CTCPIPConnection* pConnection) {
    OS_ASSERT_HELD(m_hMutex);
    // Only the socket thread's own calls from inside its receives; other
    // threads' data goes out at once as always.
    if (!m_bDeferSends || OS_CurrentThreadToken() != m_pDeferThread) return false;
    Record_t* pRecord = RecordOf(pConnection);
    if (!pRecord->bFlushListed) {
        pRecord->bFlushListed = true;
        m_Flush.push_back(pRecord);
    }
    return true;
}

void CTCPIPConnectionManager::FlushDeferred() {
    OS_ASSERT_HELD(m_hMutex);
    CheckPassThread();
    // Records cannot go while both locks are held since the burst began.
    for (size_t i = 0; i < m_Flush.size(); i++) {
        m_Flush[i]->bFlushListed = false;
        m_Flush[i]->pConnection->FlushDeferred();
    }
    m_Flush.clear();
}

void CTCPIPConnectionManager::Adopt(CTCPIPConnection* pConnection) {
    OS_ASSERT_HELD(m_hDispatchMutex);
    OS_ASSERT_HELD(m_hMutex);
    Record_t* pRecord = new Record_t;
    pRecord->pConnection = pConnection;
    pRecord->seq = m_NextSeq++;
    pRecord->watched = 0;
    pRecord->bChangeListed = false;
    pRecord->bReportListed = false;
    pRecord->bFlushListed = false;
    pRecord->bLinked = true;
    pConnection->Attach(this, pRecord);
    m_sockets.AddToTail(pConnection);
    ConnectionChanged(pConnection);
    // Last: a lookup's answer must find the connection in the manager.
    pConnection->Start();
}

void CTCPIPConnectionManager::AnnounceLocked(CTCPIPConnection* pConnection) {
    OS_ASSERT_HELD(m_hDispatchMutex);
    OS_ASSERT_NOT_HELD(m_hMutex);
    OS_MutexLock(m_hMutex);
    pConnection->Announce();
    OS_MutexUnlock(m_hMutex);
    CheckCallbackLocks();
    for (int i = 0; i < m_callbacks.Count(); i++) m_callbacks[i]->ClientConnect(pConnection);
}

HConnection CTCPIPConnectionManager::Connect(const char* address, int port, bool callbackNow) {
    CheckRunning();
    OS_ASSERTMSG(port >= 0 && port <= 65534, "Reason: %s", "Invalid port number, port is out of range");
    OS_ASSERT(address != nullptr);
    LockDispatch();
    OS_MutexLock(m_hMutex);
    // Accepted peers can fill the table, so the limit is a run-time
    // condition here: the connection fails like any failed connect instead
    // of ending the process.
    bool full = m_sockets.Count() >= m_maxConnections;
    if (full) Log_PrintAll("Max connections exceeded in connect");
    const char* target = (full && !TCPIP_IsDottedAddress(address)) ? "0.0.0.0" : address;
    CTCPIPConnection* pConnection =
        new CTCPIPConnection(NextId(), -1, port, target, &m_TimerManager, m_hMutex, &m_pLogger, false);
    if (full) pConnection->Disconnect(TCPIP_REASON_FAILED, false);
    Adopt(pConnection);
    OS_MutexUnlock(m_hMutex);
    if (callbackNow) AnnounceLocked(pConnection);
    UnlockDispatch();
    return pConnection;
}

void CTCPIPConnectionManager::Disconnect(HConnection hConnection, bool flush) {
    CheckRunning();
    OS_MutexLock(m_hMutex);
    Conn(hConnection)->Disconnect(TCPIP_REASON_LOCAL, flush);
    OS_MutexUnlock(m_hMutex);
}

void CTCPIPConnectionManager::ClientError(HConnection hConnection, int reason) {
    CheckRunning();
    OS_MutexLock(m_hMutex);
    Conn(hConnection)->Disconnect(reason, false);
    OS_MutexUnlock(m_hMutex);
}

void CTCPIPConnectionManager::SendData(HConnection hConnection, const void* data, int length) {
    CheckRunning();
    OS_MutexLock(m_hMutex);
    Conn(hConnection)->QueueData(static_cast<const char*>(data), length);
    OS_MutexUnlock(m_hMutex);
}

bool CTCPIPConnectionManager::SendDataBounded(HConnection hConnection, const void* data, int length, int softCap,
                                              int hardCap, int graceMs) {
    CheckRunning();
    OS_ASSERTMSG(softCap > 0 && hardCap >= softCap && graceMs >= 0, "Reason: %s", "queue bounds out of order");
    OS_MutexLock(m_hMutex);
    bool queued = Conn(hConnection)->QueueDataBounded(static_cast<const char*>(data), length,
                                                       static_cast<uint64_t>(softCap), static_cast<uint64_t>(hardCap),
                                                       static_cast<DWORD>(graceMs));
    OS_MutexUnlock(m_hMutex);
    return queued;
}

CString CTCPIPConnectionManager::GetConnectionId(HConnection hConnection) {
    CheckRunning();
    OS_MutexLock(m_hMutex);
    unsigned int id = Conn(hConnection)->GetId();
    OS_MutexUnlock(m_hMutex);
    return Sprintf("%d", static_cast<int>(id));
}

HConnection CTCPIPConnectionManager::FindConnection(CString id) {
    CheckRunning();
    int number = id.ToInteger();
    // Only the exact "%d" text of a number names a connection; anything else
    // (empty, padded, out of range) names none.
    if (Sprintf("%d", number) != id) return nullptr;
    HConnection found = nullptr;
    OS_MutexLock(m_hMutex);
    for (int i = 0; i < m_sockets.Count(); i++) {
        if (m_sockets[i]->GetId() == static_cast<unsigned int>(number)) {
            found = m_sockets[i];
            break;
        }
    }
    OS_MutexUnlock(m_hMutex);
    return found;
}

void CTCPIPConnectionManager::AddListener(IConnectionManagerListener* pListener, bool extended) {
    CheckRunning();
    OS_ASSERT(pListener != nullptr);
    LockDispatch();
    m_callbacks.AddToTail(pListener);
    if (extended) {
        IConnectionManagerExtendedListener* pExtended = dynamic_cast<IConnectionManagerExtendedListener*>(pListener);
        OS_ASSERTMSG(pExtended != nullptr, "Reason: %s", "Extended listener without the extended interface");
        m_callbacksExtended.AddToTail(pExtended);
    }
    UnlockDispatch();
}

void CTCPIPConnectionManager::RemoveListener(IConnectionManagerListener* pListener) {
    CheckRunning();
    LockDispatch();
    m_callbacks.RemoveByValue(pListener);
    for (int i = m_callbacksExtended.Count() - 1; i >= 0; i--) {
        if (static_cast<IConnectionManagerListener*>(m_callbacksExtended[i]) == pListener) m_callbacksExtended.Remove(i);
    }
    UnlockDispatch();
}

void CTCPIPConnectionManager::Dispatch() {
    CheckRunning();
    LockDispatch();
    for (int i = 0; i < m_callbacksExtended.Count(); i++) m_callbacksExtended[i]->Dispatch();
    OS_MutexLock(m_hMutex);
    // Only the connections with something to announce, in creation order
    // (the order of m_sockets). Those that get something to announce while
    // the lock is released for a callback wait for the next Dispatch()
    // unless they are still ahead in this one. Holding the dispatch lock,
    // nobody destroys them meanwhile.
    CVector<Record_t*> reports;
    reports.Std().swap(m_Reports.Std());
    for (int i = 0; i < reports.Count(); i++) reports[i]->bReportListed = false;
    if (reports.Count() > 1) {
        std::sort(reports.Std().begin(), reports.Std().end(),
                  [](const Record_t* a, const Record_t* b) { return a->seq < b->seq; });
    }
    for (int i = 0; i < reports.Count(); i++) {
        CTCPIPConnection* pConnection = reports[i]->pConnection;
        if (pConnection->GetStatus() == TCPIP_STATUS_ESTABLISHED) {
            pConnection->Announce();
            OS_MutexUnlock(m_hMutex);
            CheckCallbackLocks();
            for (int j = 0; j < m_callbacks.Count(); j++) m_callbacks[j]->ClientConnect(pConnection);
            OS_MutexLock(m_hMutex);
        }
        if (pConnection->IsDisconnectPending()) {
            int reason = pConnection->GetClientError();
            pConnection->MarkDisconnectSent();
            OS_MutexUnlock(m_hMutex);
            CheckCallbackLocks();
            for (int j = 0; j < m_callbacks.Count(); j++) {
                m_callbacks[j]->ClientDisconnect(pConnection, reason != TCPIP_REASON_LOCAL, reason);
            }
            OS_MutexLock(m_hMutex);
        }
    }
    OS_MutexUnlock(m_hMutex);
    UnlockDispatch();
}

bool CTCPIPConnectionManager::AcceptOne(int listener) {
    CheckPassThread();
    TCPIPPeer_t peer;
    int error = 0;
    int s = TCPIP_Accept(listener, &peer, &error);
    if (s < 0) {
        if (error == ECONNABORTED) return true;  // that one gave up; others may wait
        if (error == EAGAIN || error == EWOULDBLOCK) return false;
        // Out of descriptors or memory: the pending connection stays in the
        // backlog and the socket stays readable. Rest it instead of spinning.
        if (!m_bAcceptFailing) {
            Log_PrintAll("TCPIP: accept failed on errno 0x%04x, listening paused for %d ms", error,
                         static_cast<int>(ACCEPT_PAUSE_MS));
            m_bAcceptFailing = true;
        }
        m_bAcceptPaused = true;
        m_AcceptPausedAt = OS_GetTickCount();
        return false;
    }
    m_bAcceptFailing = false;
    // The sockets turned away here never carried data: an orderly close.
    if (s >= TCPIP_DESCRIPTOR_LIMIT) {
        Log_PrintAll("FD_SETSIZE exceeded");
        TCPIP_Close(s);
        return true;
    }
    LockDispatch();
    if (m_sockets.Count() >= m_maxConnections) {
        UnlockDispatch();
        Log_PrintAll("Max connections exceeded (%d connections)", m_maxConnections);
        TCPIP_Close(s);
        return true;
    }
    if (!TCPIP_SetNonBlocking(s)) {
        UnlockDispatch();
        TRACE("Socket connection failed");
        TCPIP_Close(s);
        return true;
    }
    TCPIP_SetNoDelay(s);
    OS_MutexLock(m_hMutex);
    CTCPIPConnection* pConnection =
        new CTCPIPConnection(NextId(), s, peer.port, peer.ip, &m_TimerManager, m_hMutex, &m_pLogger, true);
    Adopt(pConnection);
    OS_MutexUnlock(m_hMutex);
    UnlockDispatch();
    return true;
}

void CTCPIPConnectionManager::DestroyOutsideLocks(CVector<Record_t*>& doomed) {
    for (int i = 0; i < doomed.Count(); i++) {
        CTCPIPConnection* pConnection = doomed[i]->pConnection;
        // The resolver first: joining it lets a callback still waiting for
        // the connection lock finish on a live connection.
        delete pConnection->DetachResolver();
        delete pConnection;
        delete doomed[i];
    }
    doomed.RemoveAll();
}

void CTCPIPConnectionManager::WatchListener(bool watch) {
    CheckPassThread();
    if (watch == m_bListenerWatched) return;
    unsigned int registered = m_bListenerWatched ? TCPIP_POLL_READ : 0u;
    int error = m_Poller.Watch(m_serverSocket, registered, watch ? TCPIP_POLL_READ : 0u, &s_ListenerTag);
    if (error == 0) {
        m_bListenerWatched = watch;
    } else {
        Log_PrintAll("TCPIP: unable to %s the listening socket, errno 0x%04x", watch ? "watch" : "unwatch", error);
    }
}

void CTCPIPConnectionManager::Watch(Record_t* pRecord) {
    OS_ASSERT_HELD(m_hMutex);
    CheckPassThread();
    // Read and urgent data while connected, write while data waits
    // (connected or flushing), urgent data while a flush still has data.
    // Unannounced sockets are not watched, so no data arrives before
    // ClientConnect.
    CTCPIPConnection* pConnection = pRecord->pConnection;
    int s = pConnection->GetSocket();
    unsigned int wanted = 0;
    if (s >= 0) {
        TCPIPConnectionStatus_t status = pConnection->GetStatus();
        bool queued = pConnection->HasQueuedData();
        if (status == TCPIP_STATUS_CONNECTED) {
            wanted = TCPIP_POLL_READ | TCPIP_POLL_URGENT | (queued ? static_cast<unsigned int>(TCPIP_POLL_WRITE) : 0u);
        } else if (status == TCPIP_STATUS_FLUSHING && queued) {
            wanted = TCPIP_POLL_WRITE | TCPIP_POLL_URGENT;
        }
    }
    if (wanted == pRecord->watched) return;
    if (s < 0) {
        // Closed sockets were unregistered by SocketClosing.
        pRecord->watched = 0;
        return;
    }
    int error = m_Poller.Watch(s, pRecord->watched, wanted, pRecord);
    if (error != 0) {
        // Out of kernel memory or watches: a socket that cannot be watched
        // cannot be served; it ends like a socket reporting a condition.
        TRACE("Socket could not be watched, errno 0x%04x", error);
        pConnection->Disconnect(TCPIP_REASON_EXCEPTION, false);
        return;
    }
    pRecord->watched = wanted;
}

void CTCPIPConnectionManager::SettleChanged(CVector<Record_t*>& doomed) {
    OS_ASSERT_HELD(m_hDispatchMutex);
    OS_ASSERT_HELD(m_hMutex);
    CheckPassThread();
    // Creation order, as a walk over m_sockets has it; the list may grow
    // while it is worked off (a failing connect reports itself again) and is
    // then simply worked off further.
    CVectorBase<Record_t*>::Vector_t& changed = m_Changed.Std();
    if (changed.size() > 1) {
        std::sort(changed.begin(), changed.end(), [](const Record_t* a, const Record_t* b) { return a->seq < b->seq; });
    }
    for (size_t i = 0; i < changed.size(); i++) {
        Record_t* pRecord = changed[i];
        if (!pRecord->bLinked) continue;  // taken out earlier in this loop
        pRecord->bChangeListed = false;
        CTCPIPConnection* pConnection = pRecord->pConnection;
        if (pConnection->GetStatus() == TCPIP_STATUS_CONNECTING) pConnection->Connect();
        if (pConnection->IsDisconnectSent() && pConnection->GetStatus() == TCPIP_STATUS_DISCONNECTED) {
            m_sockets.Remove(m_sockets.Find(pConnection));
            if (pRecord->bReportListed) {
                m_Reports.RemoveByValue(pRecord);
                pRecord->bReportListed = false;
            }
            // Late resolver callbacks must not list it again.
            pConnection->Attach(nullptr, nullptr);
            pRecord->bLinked = false;
            doomed.AddToTail(pRecord);
            continue;
        }
        Watch(pRecord);
    }
    changed.clear();
}

void CTCPIPConnectionManager::HandleReady(Record_t* pRecord, unsigned int events) {
    OS_ASSERT_HELD(m_hDispatchMutex);
    OS_ASSERT_HELD(m_hMutex);
    CheckPassThread();
    // The socket may have been closed since the wait (by another thread or a
    // callback): then it is no longer ours to touch.
    CTCPIPConnection* pConnection = pRecord->pConnection;
    int s = pConnection->GetSocket();
    if (s < 0) return;
    unsigned int watched = pRecord->watched;
    // Readable covers end of stream, hang-up and error; writable covers
    // error; urgent data is the exceptional condition. A flushing socket is
    // not read, so its hang-up counts as writable: the next send then finds
    // the peer gone.
    bool exception = (watched & TCPIP_POLL_URGENT) && (events & TCPIP_POLL_URGENT);
    bool readable =
        (watched & TCPIP_POLL_READ) && (events & (TCPIP_POLL_READ | TCPIP_POLL_HANGUP | TCPIP_POLL_ERROR));
    unsigned int writeEvents = TCPIP_POLL_WRITE | TCPIP_POLL_ERROR |
                               ((watched & TCPIP_POLL_READ) ? 0u : static_cast<unsigned int>(TCPIP_POLL_HANGUP));
    bool writable = (watched & TCPIP_POLL_WRITE) && (events & writeEvents);
    if (exception) {
        TRACE("Socket exception occurred 0x%04x", TCPIP_SocketError(s));
        pConnection->Disconnect(TCPIP_REASON_EXCEPTION, false);
    }
    if (writable) pConnection->SendData();
    if (!readable) return;
    if (pConnection->GetStatus() != TCPIP_STATUS_CONNECTED) {
        if (IConnectionManagerLogger* pLogger = pConnection->Logger()) {
            pLogger->Log(pConnection, "TCPIP: Recv data in wrong state, state = 0x%04x, handle = 0x%08x",
                         static_cast<int>(pConnection->GetStatus()), pConnection->LogHandle());
        }
        return;
    }
    Receive(pConnection, s);
}

void CTCPIPConnectionManager::Receive(CTCPIPConnection* pConnection, int s) {
    CheckPassThread();
    IConnectionManagerLogger* pLogger = pConnection->Logger();
    int recvErrno = 0;
    ssize_t n = TCPIP_Recv(s, m_recvBuffer, sizeof(m_recvBuffer), &recvErrno);
    if (n > 0) {
        pConnection->NoteReceived(static_cast<int>(n));
        if (pLogger) {
            pLogger->Log(pConnection, "TCPIP: Recv data, size = 0x%04x, handle = 0x%08x", static_cast<int>(n),
                         pConnection->LogHandle());
        }
        for (int j = 0; j < m_callbacksExtended.Count(); j++) {
            OS_MutexUnlock(m_hMutex);
            CheckCallbackLocks();
            m_callbacksExtended[j]->ClientData(pConnection, m_recvBuffer, static_cast<int>(n));
            OS_MutexLock(m_hMutex);
        }
        // The block has been handled: what it gave each connection leaves
        // now, in one send each (and only one block's worth is ever held).
        FlushDeferred();
    } else if (n == 0) {
        int result = 0;
        int error = TCPIP_SocketError(s, &result);
        if (pLogger) {
            pLogger->Log(pConnection, "TCPIP: Recv error, error = 0x%04x, errno = %x/%x, handle = 0x%08x", error,
                         recvErrno, result, pConnection->LogHandle());
        }
        if (error != EINPROGRESS) {
            pConnection->Disconnect(pConnection->HasDataFlowed() ? TCPIP_REASON_CLOSED : TCPIP_REASON_FAILED, false);
        }
    } else if (pLogger) {
        pLogger->Log(pConnection, "TCPIP: Recv error #2, error = 0x%04x, handle = 0x%08x", recvErrno,
                     pConnection->LogHandle());
    }
}

void CTCPIPConnectionManager::RunPass() {
    CheckPassThread();
    CVector<Record_t*> doomed;

    LockDispatch();
    OS_MutexLock(m_hMutex);
    m_TimerManager.Dispatch();
    if (m_bAcceptPaused && OS_GetTickCount() - m_AcceptPausedAt >= ACCEPT_PAUSE_MS) m_bAcceptPaused = false;
    if (m_bServer) WatchListener(!m_bAcceptPaused);
    SettleChanged(doomed);
    // From here on a change made by another thread wakes the wait, so new
    // data or a new state is acted upon at once, not after the wait.
    m_Poller.ArmWake();
    OS_MutexUnlock(m_hMutex);
    UnlockDispatch();
    DestroyOutsideLocks(doomed);

    m_Poller.Wait(TCPIP_POLL_WAIT_MS);
    m_Ready.clear();
    bool acceptNow = false;
    const std::vector<TCPIPPollReady_t>& ready = m_Poller.Ready();
    for (size_t i = 0; i < ready.size(); i++) {
        if (ready[i].pTag == &s_ListenerTag) {
            acceptNow = (ready[i].events & (TCPIP_POLL_READ | TCPIP_POLL_ERROR | TCPIP_POLL_HANGUP)) != 0;
            continue;
        }
        Ready_t entry = {static_cast<Record_t*>(ready[i].pTag), ready[i].events};
        m_Ready.push_back(entry);
    }
    // Until the backlog is empty, within a bound so that a storm of new
    // clients cannot starve the ones already served.
    for (int i = 0; acceptNow && m_bListenerWatched && i < TCPIP_ACCEPTS_PER_PASS; i++) {
        if (!AcceptOne(m_serverSocket)) break;
    }

    LockDispatch();
    OS_MutexLock(m_hMutex);
    m_Poller.DisarmWake();
    // Last created first, as the walk from the end of m_sockets has it.
    if (m_Ready.size() > 1) {
        std::sort(m_Ready.begin(), m_Ready.end(),
                  [](const Ready_t& a, const Ready_t& b) { return a.pRecord->seq > b.pRecord->seq; });
    }
    // Data listeners queue from inside the receives below is held back and
    // sent once per connection when the received block has been handled
    // (DeferSend, FlushDeferred).
    m_bDeferSends = true;
    m_pDeferThread = OS_CurrentThreadToken();
    for (size_t i = 0; i < m_Ready.size(); i++) HandleReady(m_Ready[i].pRecord, m_Ready[i].events);
    m_bDeferSends = false;
    m_Ready.clear();
    // Finished connections are destroyed before the pass ends, so a
    // Shutdown that waits for this pass finds only the live ones.
    SettleChanged(doomed);
    OS_MutexUnlock(m_hMutex);
    UnlockDispatch();
    DestroyOutsideLocks(doomed);
}

void CTCPIPConnectionManager::ThreadEntry(CSignal& signal) {
    BecomePassThread();
    do {
        RunPass();
    } while (!signal.CheckSignal());
}

void CTCPIPConnectionManager::Dispatch(CSignal& signal, int timeOutMs) {
    CheckRunning();
    OS_ASSERTMSG(timeOutMs >= 0, "Reason: %s", "Negative dispatch time-out");
    OS_ASSERTMSG(t_pDispatchHolder != this, "Reason: %s",
                 "Dispatch, AddListener, RemoveListener, Connect or Shutdown called from inside a listener callback");
    if (IsThreadPresent()) EndThread();
    // The socket thread is gone for good: its passes run here from now on.
    BecomePassThread();
    if (timeOutMs != 0) {
        m_DispatchTimer->SetInterval(timeOutMs);
        m_DispatchTimer->Enable();
    }
    for (;;) {
        RunPass();
        Dispatch();
        if (signal.CheckSignal() || m_DispatchTimer->GetState()) break;
    }
    signal.ClearSignal();
    m_DispatchTimer->Disable();
}

void CTCPIPConnectionManager::Shutdown() {
    OS_ASSERTMSG(m_bRunning, "Reason: %s", "Shutdown called before init");
    OS_ASSERTMSG(t_pDispatchHolder != this, "Reason: %s",
                 "Dispatch, AddListener, RemoveListener, Connect or Shutdown called from inside a listener callback");
    m_bRunning = false;
    if (IsThreadPresent()) EndThread();
    // No pass runs any more; what was the socket thread's is ours now.
    BecomePassThread();
    CVector<Record_t*> doomed;
    LockDispatch();
    OS_MutexLock(m_hMutex);
    if (m_bServer) {
        WatchListener(false);
        TCPIP_Close(m_serverSocket);
        m_serverSocket = -1;
        m_bServer = false;
    }
    for (int i = 0; i < m_sockets.Count(); i++) {
        CTCPIPConnection* pConnection = m_sockets[i];
        // Aborted first, so that not even a drained flush leaves the kernel
        // holding data for a peer after we have gone; then the disconnect
        // procedure for its state and texts.
        pConnection->CloseSocket(true);
        pConnection->Disconnect(TCPIP_REASON_LOCAL, false);
        Record_t* pRecord = RecordOf(pConnection);
        pConnection->Attach(nullptr, nullptr);
        pRecord->bLinked = false;
        doomed.AddToTail(pRecord);
    }
    m_sockets.RemoveAll();
    m_Changed.RemoveAll();
    m_Flush.clear();
    m_Reports.RemoveAll();
    m_callbacks.RemoveAll();
    m_callbacksExtended.RemoveAll();
    OS_MutexUnlock(m_hMutex);
    UnlockDispatch();
    DestroyOutsideLocks(doomed);
    m_TimerManager.DestroyTimer(m_DispatchTimer);
    m_DispatchTimer = nullptr;
    m_Poller.Close();
    OS_MutexDestroy(m_hMutex);
    OS_MutexDestroy(m_hDispatchMutex);
    m_hMutex = nullptr;
    m_hDispatchMutex = nullptr;
}

CString CTCPIPConnectionManager::GetRemoteIP(HConnection hConnection) {
    CheckRunning();
    OS_MutexLock(m_hMutex);
    CString ip(Conn(hConnection)->GetIP());
    OS_MutexUnlock(m_hMutex);
    return ip;
}

int CTCPIPConnectionManager::GetRemotePort(HConnection hConnection) {
    CheckRunning();
    OS_MutexLock(m_hMutex);
    int port = Conn(hConnection)->GetPort();
    OS_MutexUnlock(m_hMutex);
    return port;
}

int CTCPIPConnectionManager::GetDataSent(HConnection hConnection) {
    OS_ASSERT(m_hMutex != nullptr);
    OS_MutexLock(m_hMutex);
    uint64_t sent = Conn(hConnection)->GetDataSent();
    OS_MutexUnlock(m_hMutex);
    return static_cast<int>(static_cast<uint32_t>(sent));
}

int CTCPIPConnectionManager::GetDataRecv(HConnection hConnection) {
    OS_ASSERT(m_hMutex != nullptr);
    OS_MutexLock(m_hMutex);
    uint64_t received = Conn(hConnection)->GetDataRecv();
    OS_MutexUnlock(m_hMutex);
    return static_cast<int>(static_cast<uint32_t>(received));
}

int CTCPIPConnectionManager::GetQueuedBytes(HConnection hConnection) {
    CheckRunning();
    OS_MutexLock(m_hMutex);
    uint64_t queued = Conn(hConnection)->GetQueuedBytes();
    OS_MutexUnlock(m_hMutex);
    return queued > static_cast<uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(queued);
}

int CTCPIPConnectionManager::GetConnectionCount() {
    CheckRunning();
    OS_MutexLock(m_hMutex);
    int count = m_sockets.Count();
    OS_MutexUnlock(m_hMutex);
    return count;
}
