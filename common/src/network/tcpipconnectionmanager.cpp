// The connection manager: listener bookkeeping, announcements, and the
// socket thread's pass (timers, epoll wait, accept, send, receive, destroy).
//
// Locks, outer to inner: m_hDispatchMutex -> m_hMutex -> the timer manager's
// lock. m_sockets changes only with both held, so either one suffices to
// read it. Connections are destroyed with neither held: a resolver thread
// may be waiting for m_hMutex, and deleting it joins that thread.
//
// Nothing here walks all connections per pass. Connections report every
// change that matters to the socket thread (state, socket, queue becoming
// empty or non-empty) into m_Changed, and everything Dispatch() must
// announce into m_Reports; both lists are kept in creation order when
// worked off, so callbacks come in the order a walk over m_sockets gave.
// A descriptor is removed from the epoll set before it is closed, and an
// epoll event names its connection, never a descriptor number, so a number
// reused by a new connection is never confused with the old one.
#include "common/src/network/tcpipconnectionmanager.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstring>

#include "common/src/cbase.h"
#include "common/src/heap.h"

// How long the listening socket rests after a failed accept (EMFILE and the
// like leave it readable, so retrying at once would spin).
static const DWORD ACCEPT_PAUSE_MS = 1000;
static const int SELECT_WAIT_MS = 500;
static const int LISTEN_BACKLOG = 10;

// The manager whose dispatch lock this thread holds (the innermost one).
// Listener callbacks run with that lock held; re-taking it from a callback
// would hang on the non-recursive mutex, so it is stopped with a message.
static thread_local const CTCPIPConnectionManager* t_pDispatchHolder = nullptr;

namespace {

// epoll data of the two descriptors that are not connections.
char s_ListenerTag;
char s_WakeTag;
// One wait reports every descriptor that can be registered: each
// connection's, the listener and the wake-up descriptor.
const int EVENT_SLOTS = TCPIP_SET_SIZE + 2;

bool MakeNonBlocking(int fd) {
    int flags = fcntl(fd, F_GETFL, 0);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

}  // namespace

void SignalHandler(int) { signal(SIGPIPE, SignalHandler); }

CString LogVExpandList(const char* format, va_list args) {
    int size = 256;
    for (;;) {
        char* buf = static_cast<char*>(OS_Malloc(static_cast<unsigned int>(size)));
        va_list copy;
        va_copy(copy, args);
        int n = vsnprintf(buf, static_cast<size_t>(size), format, copy);
        va_end(copy);
        if (n < 0) {
            OS_Free(buf);
            return CString();
        }
        if (n < size) {
            CString result(buf);
            OS_Free(buf);
            return result;
        }
        OS_Free(buf);
        size = n + 1;
    }
}

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
      m_epoll(-1),
      m_wakeFd(-1),
      m_pEvents(nullptr),
      m_bListenerWatched(false),
      m_NextSeq(0),
      m_bWaiting(false),
      m_bWakePending(false) {
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
    m_Reports.RemoveAll();
    m_NextSeq = 0;
    m_bWaiting = false;
    m_bWakePending = false;
    m_bListenerWatched = false;
    m_epoll = epoll_create1(EPOLL_CLOEXEC);
    OS_ASSERTMSG(m_epoll >= 0, "Reason: %s", "Unable to create the socket thread's epoll set");
    m_wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    OS_ASSERTMSG(m_wakeFd >= 0, "Reason: %s", "Unable to create the socket thread's wake-up descriptor");
    struct epoll_event wake;
    memset(&wake, 0, sizeof(wake));
    wake.events = EPOLLIN;
    wake.data.ptr = &s_WakeTag;
    OS_ASSERTMSG(epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_wakeFd, &wake) == 0, "Reason: %s",
                 "Unable to watch the socket thread's wake-up descriptor");
    m_pEvents = new struct epoll_event[EVENT_SLOTS];
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
    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0) return 0;
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (s >= TCPIP_SET_SIZE || !MakeNonBlocking(s) ||
        bind(s, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0) {
        close(s);
        return 0;
    }
    if (port == 0) {
        socklen_t len = sizeof(addr);
        if (getsockname(s, reinterpret_cast<struct sockaddr*>(&addr), &len) != 0) {
            close(s);
            return 0;
        }
        port = ntohs(addr.sin_port);
    }
    if (listen(s, LISTEN_BACKLOG) != 0) {
        close(s);
        return 0;
    }
    LockDispatch();
    OS_MutexLock(m_hMutex);
    m_serverSocket = s;
    m_bServer = true;
    // The socket thread starts watching it at its next pass.
    WakeLocked();
    OS_MutexUnlock(m_hMutex);
    UnlockDispatch();
    return port;
}

unsigned int CTCPIPConnectionManager::NextId() {
    // Dispatch lock held: m_globalID and m_sockets cannot change under us.
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

void CTCPIPConnectionManager::WakeLocked() {
    // Connection lock held. Only a waiting socket thread needs the nudge;
    // one unread nudge is enough for any number of changes.
    if (!m_bWaiting || m_bWakePending) return;
    m_bWakePending = true;
    uint64_t one = 1;
    ssize_t written = write(m_wakeFd, &one, sizeof(one));
    (void)written;  // only fails when the counter is already non-zero
}

void CTCPIPConnectionManager::ConnectionChanged(CTCPIPConnection* pConnection) {
    if (!pConnection->m_bChangeListed) {
        pConnection->m_bChangeListed = true;
        m_Changed.AddToTail(pConnection);
        WakeLocked();
    }
    if (!pConnection->m_bReportListed &&
        (pConnection->GetStatus() == TCPIP_STATUS_ESTABLISHED || pConnection->IsDisconnectPending())) {
        pConnection->m_bReportListed = true;
        m_Reports.AddToTail(pConnection);
    }
}

void CTCPIPConnectionManager::SocketClosing(CTCPIPConnection* pConnection) {
    if (pConnection->m_Watched == 0) return;
    // epoll_ctl is safe against a concurrent epoll_wait; an event already
    // collected for this connection finds its socket gone and is dropped.
    epoll_ctl(m_epoll, EPOLL_CTL_DEL, pConnection->GetSocket(), nullptr);
    pConnection->m_Watched = 0;
}

void CTCPIPConnectionManager::Adopt(CTCPIPConnection* pConnection) {
    // Both locks held.
    pConnection->m_pOwner = this;
    pConnection->m_Seq = m_NextSeq++;
    m_sockets.AddToTail(pConnection);
    ConnectionChanged(pConnection);
}

void CTCPIPConnectionManager::AnnounceLocked(CTCPIPConnection* pConnection) {
    // Dispatch lock held, connection lock not.
    OS_MutexLock(m_hMutex);
    pConnection->Announce();
    OS_MutexUnlock(m_hMutex);
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
    CVector<CTCPIPConnection*> reports;
    reports.Std().swap(m_Reports.Std());
    for (int i = 0; i < reports.Count(); i++) reports[i]->m_bReportListed = false;
    if (reports.Count() > 1) {
        std::sort(reports.Std().begin(), reports.Std().end(),
                  [](const CTCPIPConnection* a, const CTCPIPConnection* b) { return a->m_Seq < b->m_Seq; });
    }
    for (int i = 0; i < reports.Count(); i++) {
        CTCPIPConnection* pConnection = reports[i];
        if (pConnection->GetStatus() == TCPIP_STATUS_ESTABLISHED) {
            pConnection->Announce();
            OS_MutexUnlock(m_hMutex);
            for (int j = 0; j < m_callbacks.Count(); j++) m_callbacks[j]->ClientConnect(pConnection);
            OS_MutexLock(m_hMutex);
        }
        if (pConnection->IsDisconnectPending()) {
            int reason = pConnection->GetClientError();
            pConnection->MarkDisconnectSent();
            OS_MutexUnlock(m_hMutex);
            for (int j = 0; j < m_callbacks.Count(); j++) {
                m_callbacks[j]->ClientDisconnect(pConnection, reason != TCPIP_REASON_LOCAL, reason);
            }
            OS_MutexLock(m_hMutex);
        }
    }
    OS_MutexUnlock(m_hMutex);
    UnlockDispatch();
}

void CTCPIPConnectionManager::AcceptOne(int listener) {
    struct sockaddr_in addr;
    socklen_t len = sizeof(addr);
    int s = accept(listener, reinterpret_cast<struct sockaddr*>(&addr), &len);
    if (s < 0) {
        int error = errno;
        if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR || error == ECONNABORTED) return;
        // Out of descriptors or memory: the pending connection stays in the
        // backlog and the socket stays readable. Rest it instead of spinning.
        if (!m_bAcceptFailing) {
            Log_PrintAll("TCPIP: accept failed on errno 0x%04x, listening paused for %d ms", error,
                         static_cast<int>(ACCEPT_PAUSE_MS));
            m_bAcceptFailing = true;
        }
        m_bAcceptPaused = true;
        m_AcceptPausedAt = OS_GetTickCount();
        return;
    }
    m_bAcceptFailing = false;
    if (s >= TCPIP_SET_SIZE) {
        Log_PrintAll("FD_SETSIZE exceeded");
        close(s);
        return;
    }
    LockDispatch();
    if (m_sockets.Count() >= m_maxConnections) {
        UnlockDispatch();
        Log_PrintAll("Max connections exceeded (%d connections)", m_maxConnections);
        close(s);
        return;
    }
    if (!MakeNonBlocking(s)) {
        UnlockDispatch();
        TRACE("Socket connection failed");
        close(s);
        return;
    }
    int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    const unsigned char* ip = reinterpret_cast<const unsigned char*>(&addr.sin_addr.s_addr);
    CString address = Sprintf("%d.%d.%d.%d", ip[0], ip[1], ip[2], ip[3]);
    OS_MutexLock(m_hMutex);
    CTCPIPConnection* pConnection = new CTCPIPConnection(NextId(), s, ntohs(addr.sin_port), address.Ptr(),
                                                         &m_TimerManager, m_hMutex, &m_pLogger, true);
    Adopt(pConnection);
    OS_MutexUnlock(m_hMutex);
    UnlockDispatch();
}

void CTCPIPConnectionManager::DestroyOutsideLocks(CVector<CTCPIPConnection*>& doomed) {
    for (int i = 0; i < doomed.Count(); i++) {
        // The resolver first: joining it lets a callback still waiting for
        // the connection lock finish on a live connection.
        delete doomed[i]->DetachResolver();
        delete doomed[i];
    }
    doomed.RemoveAll();
}

void CTCPIPConnectionManager::WatchListener(bool watch) {
    if (watch == m_bListenerWatched) return;
    struct epoll_event ev;
    memset(&ev, 0, sizeof(ev));
    ev.events = EPOLLIN;
    ev.data.ptr = &s_ListenerTag;
    if (epoll_ctl(m_epoll, watch ? EPOLL_CTL_ADD : EPOLL_CTL_DEL, m_serverSocket, &ev) == 0) {
        m_bListenerWatched = watch;
    } else {
        Log_PrintAll("TCPIP: unable to %s the listening socket, errno 0x%04x", watch ? "watch" : "unwatch", errno);
    }
}

void CTCPIPConnectionManager::Watch(CTCPIPConnection* pConnection) {
    // The interest the select sets expressed: read and urgent data while
    // connected, write while data waits (connected or flushing), urgent
    // data while a flush still has data. Unannounced sockets are not
    // watched, so no data arrives before ClientConnect.
    int s = pConnection->GetSocket();
    unsigned int wanted = 0;
    if (s >= 0) {
        TCPIPConnectionStatus_t status = pConnection->GetStatus();
        bool queued = pConnection->HasQueuedData();
        if (status == TCPIP_STATUS_CONNECTED) {
            wanted = EPOLLIN | EPOLLPRI | (queued ? static_cast<unsigned int>(EPOLLOUT) : 0u);
        } else if (status == TCPIP_STATUS_FLUSHING && queued) {
            wanted = EPOLLOUT | EPOLLPRI;
        }
    }
    if (wanted == pConnection->m_Watched) return;
    if (s < 0) {
        // Closed sockets were unregistered by SocketClosing.
        pConnection->m_Watched = 0;
        return;
    }
    struct epoll_event ev;
    memset(&ev, 0, sizeof(ev));
    ev.events = wanted;
    ev.data.ptr = pConnection;
    int op = pConnection->m_Watched == 0 ? EPOLL_CTL_ADD : (wanted == 0 ? EPOLL_CTL_DEL : EPOLL_CTL_MOD);
    if (epoll_ctl(m_epoll, op, s, &ev) != 0) {
        // Out of kernel memory or watches: a socket that cannot be watched
        // cannot be served; it ends like a socket reporting a condition.
        TRACE("Socket could not be watched, errno 0x%04x", errno);
        pConnection->Disconnect(TCPIP_REASON_EXCEPTION, false);
        return;
    }
    pConnection->m_Watched = wanted;
}

void CTCPIPConnectionManager::SettleChanged(CVector<CTCPIPConnection*>& doomed) {
    // Both locks held. Creation order, as a walk over m_sockets had it; the
    // list may grow while it is worked off (a failing connect reports
    // itself again) and is then simply worked off further.
    CVectorBase<CTCPIPConnection*>::Vector_t& changed = m_Changed.Std();
    if (changed.size() > 1) {
        std::sort(changed.begin(), changed.end(),
                  [](const CTCPIPConnection* a, const CTCPIPConnection* b) { return a->m_Seq < b->m_Seq; });
    }
    for (size_t i = 0; i < changed.size(); i++) {
        CTCPIPConnection* pConnection = changed[i];
        if (pConnection->m_pOwner != this) continue;  // unlinked earlier in this loop
        pConnection->m_bChangeListed = false;
        if (pConnection->GetStatus() == TCPIP_STATUS_CONNECTING) pConnection->Connect();
        if (pConnection->IsDisconnectSent() && pConnection->GetStatus() == TCPIP_STATUS_DISCONNECTED) {
            m_sockets.Remove(m_sockets.Find(pConnection));
            if (pConnection->m_bReportListed) {
                m_Reports.RemoveByValue(pConnection);
                pConnection->m_bReportListed = false;
            }
            // Late resolver callbacks must not list it again.
            pConnection->m_pOwner = nullptr;
            doomed.AddToTail(pConnection);
            continue;
        }
        Watch(pConnection);
    }
    changed.clear();
}

void CTCPIPConnectionManager::HandleReady(CTCPIPConnection* pConnection, unsigned int events) {
    // Both locks held. The socket may have been closed since the wait (by
    // another thread or a callback): then it is no longer ours to touch.
    int s = pConnection->GetSocket();
    if (s < 0) return;
    unsigned int watched = pConnection->m_Watched;
    // The select sets' meaning: readable covers end of stream, hang-up and
    // error; writable covers error; the exception set is urgent data. A
    // flushing socket is not read, so its hang-up counts as writable: the
    // next send then finds the peer gone.
    bool exception = (watched & EPOLLPRI) && (events & EPOLLPRI);
    bool readable = (watched & EPOLLIN) && (events & (EPOLLIN | EPOLLHUP | EPOLLERR));
    unsigned int writeEvents = EPOLLOUT | EPOLLERR | ((watched & EPOLLIN) ? 0u : static_cast<unsigned int>(EPOLLHUP));
    bool writable = (watched & EPOLLOUT) && (events & writeEvents);
    if (exception) {
        int error = 0;
        socklen_t len = sizeof(error);
        getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &len);
        TRACE("Socket exception occurred 0x%04x", error);
        pConnection->Disconnect(TCPIP_REASON_EXCEPTION, false);
    }
    if (writable) pConnection->SendData();
    if (!readable) return;
    IConnectionManagerLogger* pLogger = pConnection->Logger();
    if (pConnection->GetStatus() != TCPIP_STATUS_CONNECTED) {
        if (pLogger) {
            pLogger->Log(pConnection, "TCPIP: Recv data in wrong state, state = 0x%04x, handle = 0x%08x",
                         static_cast<int>(pConnection->GetStatus()), pConnection->LogHandle());
        }
        return;
    }
    ssize_t n = recv(s, m_recvBuffer, sizeof(m_recvBuffer), 0);
    if (n > 0) {
        pConnection->NoteReceived(static_cast<int>(n));
        if (pLogger) {
            pLogger->Log(pConnection, "TCPIP: Recv data, size = 0x%04x, handle = 0x%08x", static_cast<int>(n),
                         pConnection->LogHandle());
        }
        for (int j = 0; j < m_callbacksExtended.Count(); j++) {
            OS_MutexUnlock(m_hMutex);
            m_callbacksExtended[j]->ClientData(pConnection, m_recvBuffer, static_cast<int>(n));
            OS_MutexLock(m_hMutex);
        }
    } else if (n == 0) {
        int recvErrno = errno;
        int error = 0;
        socklen_t len = sizeof(error);
        int result = getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &len);
        if (pLogger) {
            pLogger->Log(pConnection, "TCPIP: Recv error, error = 0x%04x, errno = %x/%x, handle = 0x%08x", error,
                         recvErrno, result, pConnection->LogHandle());
        }
        if (error != EINPROGRESS) {
            pConnection->Disconnect(pConnection->HasDataFlowed() ? TCPIP_REASON_CLOSED : TCPIP_REASON_FAILED, false);
        }
    } else if (pLogger) {
        pLogger->Log(pConnection, "TCPIP: Recv error #2, error = 0x%04x, handle = 0x%08x", errno,
                     pConnection->LogHandle());
    }
}

void CTCPIPConnectionManager::RunPass() {
    CVector<CTCPIPConnection*> doomed;

    LockDispatch();
    OS_MutexLock(m_hMutex);
    m_TimerManager.Dispatch();
    if (m_bAcceptPaused && OS_GetTickCount() - m_AcceptPausedAt >= ACCEPT_PAUSE_MS) m_bAcceptPaused = false;
    if (m_bServer) WatchListener(!m_bAcceptPaused);
    SettleChanged(doomed);
    // From here on a change made by another thread writes m_wakeFd, so
    // new data or a new state is acted upon at once, not after the wait.
    m_bWaiting = true;
    OS_MutexUnlock(m_hMutex);
    UnlockDispatch();
    DestroyOutsideLocks(doomed);

    int ready = epoll_wait(m_epoll, m_pEvents, EVENT_SLOTS, SELECT_WAIT_MS);
    if (ready < 0) {
        int error = errno;
        if (error == EINTR) {
            TRACE("Call to select interrupted.");
        } else if (error == EBADF) {
            TRACE("Socket closed while in select.");
        } else {
            Log_PrintAll("TCP/IP died on errno: 0x%04x", error);
            OS_ASSERTMSG(false, "Unexpected socket error");
        }
        ready = 0;
    }

    m_Ready.clear();
    bool acceptNow = false;
    for (int i = 0; i < ready; i++) {
        void* tag = m_pEvents[i].data.ptr;
        if (tag == &s_WakeTag) continue;
        if (tag == &s_ListenerTag) {
            acceptNow = (m_pEvents[i].events & (EPOLLIN | EPOLLERR | EPOLLHUP)) != 0;
            continue;
        }
        Ready_t entry = {static_cast<CTCPIPConnection*>(tag), m_pEvents[i].events};
        m_Ready.push_back(entry);
    }
    if (acceptNow && m_bListenerWatched) AcceptOne(m_serverSocket);

    LockDispatch();
    OS_MutexLock(m_hMutex);
    m_bWaiting = false;
    if (m_bWakePending) {
        uint64_t count = 0;
        ssize_t got = read(m_wakeFd, &count, sizeof(count));
        (void)got;
        m_bWakePending = false;
    }
    // Last created first, as the walk from the end of m_sockets had it.
    if (m_Ready.size() > 1) {
        std::sort(m_Ready.begin(), m_Ready.end(),
                  [](const Ready_t& a, const Ready_t& b) { return a.pConnection->m_Seq > b.pConnection->m_Seq; });
    }
    for (size_t i = 0; i < m_Ready.size(); i++) HandleReady(m_Ready[i].pConnection, m_Ready[i].events);
    // Finished connections are destroyed before the pass ends, so a
    // Shutdown that waits for this pass finds only the live ones.
    SettleChanged(doomed);
    OS_MutexUnlock(m_hMutex);
    UnlockDispatch();
    DestroyOutsideLocks(doomed);
}

void CTCPIPConnectionManager::ThreadEntry(CSignal& signal) {
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
    CVector<CTCPIPConnection*> doomed;
    LockDispatch();
    OS_MutexLock(m_hMutex);
    if (m_bServer) {
        WatchListener(false);
        close(m_serverSocket);
        m_serverSocket = -1;
        m_bServer = false;
    }
    for (int i = 0; i < m_sockets.Count(); i++) {
        m_sockets[i]->Disconnect(TCPIP_REASON_LOCAL, false);
        // An unannounced accepted socket is still open after that.
        m_sockets[i]->CloseSocket();
        m_sockets[i]->m_pOwner = nullptr;
        doomed.AddToTail(m_sockets[i]);
    }
    m_sockets.RemoveAll();
    m_Changed.RemoveAll();
    m_Reports.RemoveAll();
    m_callbacks.RemoveAll();
    m_callbacksExtended.RemoveAll();
    OS_MutexUnlock(m_hMutex);
    UnlockDispatch();
    DestroyOutsideLocks(doomed);
    m_TimerManager.DestroyTimer(m_DispatchTimer);
    m_DispatchTimer = nullptr;
    close(m_wakeFd);
    close(m_epoll);
    m_wakeFd = -1;
    m_epoll = -1;
    delete[] m_pEvents;
    m_pEvents = nullptr;
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
