// The connection manager: its operations, listener bookkeeping and
// announcements. The socket thread's pass is in
// tcpipconnectionmanager_pass.cpp.
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
#include <chrono>
#include <climits>
#include <cstdarg>

#include "common/src/cbase.h"
#include "common/src/network/tcpipsocket.h"

// The manager whose dispatch lock this thread holds (the innermost one).
// Listener callbacks run with that lock held; re-taking it from a callback
// would hang on the non-recursive mutex, so it is stopped with a message.
static thread_local const CTCPIPConnectionManager* t_pDispatchHolder = nullptr;

namespace {

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

int CTCPIPConnectionManager::Host(int port, const CString& address) {
    CheckRunning();
    OS_ASSERTMSG(port >= 0 && port <= 65534, "Reason: %s", "Invalid port number, port is out of range");
    OS_ASSERTMSG(!m_bServer, "Reason: %s", "Host called while a listening socket is open");
    int s = TCPIP_Listen(port, &port, address.Ptr());
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
        NoteEvent();
    }
}

void CTCPIPConnectionManager::NoteEvent() {
    std::lock_guard<std::mutex> guard(m_EventMutex);
    if (m_bEventPending) return;
    m_bEventPending = true;
    if (m_EventWaiters > 0) m_EventCond.notify_one();
}

bool CTCPIPConnectionManager::DispatchWait(int waitMs) {
    CheckRunning();
    OS_ASSERTMSG(waitMs >= 0, "Reason: %s", "Negative dispatch wait");
    bool woken;
    {
        std::unique_lock<std::mutex> lock(m_EventMutex);
        if (!m_bEventPending && waitMs > 0) {
            m_EventWaiters++;
            m_EventCond.wait_for(lock, std::chrono::milliseconds(waitMs), [this] { return m_bEventPending; });
            m_EventWaiters--;
        }
        // Cleared before dispatching: an event during Dispatch() ends the
        // next wait at once.
        woken = m_bEventPending;
        m_bEventPending = false;
    }
    Dispatch();
    return woken;
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
    pConnection->SetQueueGauge(m_pQueueGauge);
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

void CTCPIPConnectionManager::SetQueueGauge(std::atomic<int64_t>* pGauge) {
    CheckRunning();
    OS_MutexLock(m_hMutex);
    m_pQueueGauge = pGauge;
    for (int i = 0; i < m_sockets.Count(); i++) m_sockets[i]->SetQueueGauge(pGauge);
    OS_MutexUnlock(m_hMutex);
}
