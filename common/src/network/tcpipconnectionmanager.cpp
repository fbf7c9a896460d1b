// The connection manager: listener bookkeeping, announcements, and the
// socket thread's pass (timers, select, accept, send, receive, destroy).
//
// Locks, outer to inner: m_hDispatchMutex -> m_hMutex -> the timer manager's
// lock. m_sockets changes only with both held, so either one suffices to
// read it. Connections are destroyed with neither held: a resolver thread
// may be waiting for m_hMutex, and deleting it joins that thread.
#include "common/src/network/tcpipconnectionmanager.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

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

// A descriptor set of TCPIP_SET_SIZE entries. The C library's fd_set holds
// only 1024 (and its FD_SET aborts above that under _FORTIFY_SOURCE); Linux's
// select takes any bit array as long as nfds covers it.
class CSocketSet {
public:
    CSocketSet() { memset(m_Bits, 0, sizeof(m_Bits)); }
    void Add(int fd) {
        OS_ASSERTMSG(fd >= 0 && fd < TCPIP_SET_SIZE, "descriptor %d outside the socket set", fd);
        m_Bits[fd / BITS] |= 1UL << (fd % BITS);
    }
    bool Has(int fd) const {
        if (fd < 0 || fd >= TCPIP_SET_SIZE) return false;
        return (m_Bits[fd / BITS] >> (fd % BITS)) & 1UL;
    }
    fd_set* Native() { return reinterpret_cast<fd_set*>(m_Bits); }

private:
    static const int BITS = static_cast<int>(8 * sizeof(unsigned long));
    unsigned long m_Bits[TCPIP_SET_SIZE / BITS];
};

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
      m_pOuterDispatchHolder(nullptr) {
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
    m_sockets.AddToTail(pConnection);
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
    // Only this thread (holding the dispatch lock) may change m_sockets, so
    // the index stays valid while the connection lock is released.
    for (int i = 0; i < m_sockets.Count(); i++) {
        CTCPIPConnection* pConnection = m_sockets[i];
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
    m_sockets.AddToTail(pConnection);
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

void CTCPIPConnectionManager::RunPass() {
    CSocketSet readSet, writeSet, exceptSet;
    int counted = 0;
    int highest = -1;
    int listener = -1;

    LockDispatch();
    OS_MutexLock(m_hMutex);
    m_TimerManager.Dispatch();
    if (m_bAcceptPaused && OS_GetTickCount() - m_AcceptPausedAt >= ACCEPT_PAUSE_MS) m_bAcceptPaused = false;
    if (m_bServer && !m_bAcceptPaused) {
        listener = m_serverSocket;
        readSet.Add(listener);
        counted++;
        highest = listener;
    }
    for (int i = 0; i < m_sockets.Count(); i++) {
        CTCPIPConnection* pConnection = m_sockets[i];
        if (pConnection->GetStatus() == TCPIP_STATUS_CONNECTING) pConnection->Connect();
        int s = pConnection->GetSocket();
        if (s < 0) continue;
        TCPIPConnectionStatus_t status = pConnection->GetStatus();
        bool queued = pConnection->HasQueuedData();
        if (queued && (status == TCPIP_STATUS_CONNECTED || status == TCPIP_STATUS_FLUSHING)) writeSet.Add(s);
        if (status == TCPIP_STATUS_CONNECTED) readSet.Add(s);
        if (status == TCPIP_STATUS_CONNECTED || (queued && status == TCPIP_STATUS_FLUSHING)) {
            exceptSet.Add(s);
            counted++;
            if (s > highest) highest = s;
        }
    }
    OS_MutexUnlock(m_hMutex);
    UnlockDispatch();

    if (counted == 0) {
        // Nothing to wait on; the walk below still destroys finished
        // connections, so they never linger until some socket is watched.
        OS_Sleep(SELECT_WAIT_MS);
    } else {
        struct timeval wait;
        wait.tv_sec = 0;
        wait.tv_usec = SELECT_WAIT_MS * 1000;
        int ready = select(highest + 1, readSet.Native(), writeSet.Native(), exceptSet.Native(), &wait);
        if (ready < 0) {
            int error = errno;
            if (error == EINTR) {
                TRACE("Call to select interrupted.");
                return;
            }
            if (error == EBADF) {
                // Another thread closed a watched socket meanwhile.
                TRACE("Socket closed while in select.");
                return;
            }
            Log_PrintAll("TCP/IP died on errno: 0x%04x", error);
            OS_ASSERTMSG(false, "Unexpected socket error");
        }
        if (ready > 0 && listener >= 0 && readSet.Has(listener)) AcceptOne(listener);
    }

    CVector<CTCPIPConnection*> doomed;
    LockDispatch();
    OS_MutexLock(m_hMutex);
    for (int i = m_sockets.Count() - 1; i >= 0; i--) {
        CTCPIPConnection* pConnection = m_sockets[i];
        if (pConnection->IsDisconnectSent() && pConnection->GetStatus() == TCPIP_STATUS_DISCONNECTED) {
            m_sockets.Remove(i);
            doomed.AddToTail(pConnection);
            continue;
        }
        int s = pConnection->GetSocket();
        if (s < 0) continue;
        if (exceptSet.Has(s)) {
            int error = 0;
            socklen_t len = sizeof(error);
            getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &len);
            TRACE("Socket exception occurred 0x%04x", error);
            pConnection->Disconnect(TCPIP_REASON_EXCEPTION, false);
        }
        if (writeSet.Has(s)) pConnection->SendData();
        if (!readSet.Has(s)) continue;
        IConnectionManagerLogger* pLogger = pConnection->Logger();
        if (pConnection->GetStatus() != TCPIP_STATUS_CONNECTED) {
            if (pLogger) {
                pLogger->Log(pConnection, "TCPIP: Recv data in wrong state, state = 0x%04x, handle = 0x%08x",
                             static_cast<int>(pConnection->GetStatus()), pConnection->LogHandle());
            }
            continue;
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
                pConnection->Disconnect(pConnection->HasDataFlowed() ? TCPIP_REASON_CLOSED : TCPIP_REASON_FAILED,
                                        false);
            }
        } else if (pLogger) {
            pLogger->Log(pConnection, "TCPIP: Recv error #2, error = 0x%04x, handle = 0x%08x", errno,
                         pConnection->LogHandle());
        }
    }
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
        close(m_serverSocket);
        m_serverSocket = -1;
        m_bServer = false;
    }
    for (int i = 0; i < m_sockets.Count(); i++) {
        m_sockets[i]->Disconnect(TCPIP_REASON_LOCAL, false);
        // An unannounced accepted socket is still open after that.
        m_sockets[i]->CloseSocket();
        doomed.AddToTail(m_sockets[i]);
    }
    m_sockets.RemoveAll();
    m_callbacks.RemoveAll();
    m_callbacksExtended.RemoveAll();
    OS_MutexUnlock(m_hMutex);
    UnlockDispatch();
    DestroyOutsideLocks(doomed);
    m_TimerManager.DestroyTimer(m_DispatchTimer);
    m_DispatchTimer = nullptr;
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
