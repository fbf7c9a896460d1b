// The connection manager's socket-thread pass: timers, the wait, accepting,
// sending, receiving, holding back and flushing the sends made from inside a
// receive, and destroying finished connections. Runs on the socket thread
// (or the thread of Dispatch(signal, ms)); the locks are those of
// tcpipconnectionmanager.cpp: m_hDispatchMutex -> m_hMutex -> the timer
// manager's lock, and the wait holds neither.
#include <errno.h>

#include <algorithm>

#include "common/src/cbase.h"
#include "common/src/network/tcpipconnectionmanager.h"
#include "common/src/network/tcpipsocket.h"

namespace {

// How long the listening socket rests after a failed accept (EMFILE and the
// like leave it readable, so retrying at once would spin).
const DWORD ACCEPT_PAUSE_MS = 1000;
// The poller tag of the listening socket; connections are tagged with their
// records.
char s_ListenerTag;

}  // namespace

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
    // (connected or flushing), urgent data while a flush still has data,
    // read once a flush has drained (the peer's end closes it).
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
        } else if (status == TCPIP_STATUS_FLUSHING && pConnection->IsSendShut()) {
            // Drained and our FIN sent: read (and drop) until the peer ends.
            wanted = TCPIP_POLL_READ;
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
    if (pConnection->GetStatus() == TCPIP_STATUS_FLUSHING && pConnection->IsSendShut()) {
        pConnection->DrainFlushing(m_recvBuffer, static_cast<int>(sizeof(m_recvBuffer)));
        return;
    }
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
        // The listeners may have queued work for their Dispatch().
        if (m_callbacksExtended.Count() > 0) NoteEvent();
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
