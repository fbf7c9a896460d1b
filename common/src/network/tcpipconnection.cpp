// One TCP connection: the send queue, the time-out phases, the disconnect
// procedure and the resolver callbacks. Lock: the manager's connection lock
// (m_hMutex), held by every caller except the resolver callbacks, which take
// it themselves; debug builds assert it on entry to every operation. Nothing
// here takes the dispatch lock.
#include "common/src/network/tcpipconnection.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

#include "common/src/cbase.h"
#include "common/src/heap.h"
#include "common/src/network/itcpipconnectionowner.h"
#include "common/src/network/tcpipsocket.h"

bool TCPIP_IsDottedAddress(const char* address) {
    // Strict four-number form only: the longest text is 15 characters, so a
    // caller's odd spelling ("0x7f.1", 30 leading zeros) goes to the resolver
    // instead of overflowing m_ip. The broadcast address is what the classic
    // parser returned as its error value; it is resolved as a name too.
    struct in_addr addr;
    if (address == nullptr || inet_pton(AF_INET, address, &addr) != 1) return false;
    return addr.s_addr != INADDR_NONE;
}

CTCPIPConnection::CTCPIPConnection(unsigned int id, int socket, int port, const char* address,
                                   CTimerManager* timerManager, HMutex hMutex, IConnectionManagerLogger** ppLogger,
                                   bool connected)
    : m_socket(connected ? socket : -1),
      m_port(port),
      m_id(id),
      m_dataSendRecv(false),
      m_timerManager(timerManager),
      m_timer(nullptr),
      m_status(TCPIP_STATUS_ESTABLISHED),
      m_bResolved(true),
      m_bConnected(connected),
      m_bDisconnect(false),
      m_bDisconnectSent(false),
      m_bSendShut(false),
      m_hMutex(hMutex),
      m_pResolver(nullptr),
      m_clientError(-1),
      m_writePtr(0),
      m_ppLogger(ppLogger),
      m_DataSent(0),
      m_DataRecv(0),
      m_LastSendTimestamp(0),
      m_SendCountInTick(0),
      m_QueuedBytes(0),
      m_bReasonRecorded(false),
      m_SoftCap(0),
      m_AboveSince(0),
      m_bAboveSoftCap(false),
      m_bDeferredFromEmpty(false),
      m_pOwner(nullptr),
      m_pOwnerTag(nullptr),
      m_pQueueGauge(nullptr) {
    OS_ASSERT(address != nullptr && timerManager != nullptr && hMutex != nullptr);
    m_ip[0] = 0;
    m_timer = m_timerManager->CreateTimer(TCPIP_SEND_STALL_MS, false, true, this);
    m_timer->Disable();
    if (!connected && !TCPIP_IsDottedAddress(address)) {
        m_bResolved = false;
        m_timer->SetInterval(TCPIP_RESOLVE_MS);
        m_timer->Enable();
        // Built here, started by Start().
        m_pResolver = new CResolveDNS(address, this);
    } else {
        OS_ASSERTMSG(strlen(address) <= 15, "Address too long: %s", address);
        strcpy(m_ip, address);
    }
}

CTCPIPConnection::~CTCPIPConnection() {
    // Deleting a running resolver waits for its callback, which takes the lock.
    OS_ASSERT_NOT_HELD(m_hMutex);
    // The resolver first: its callback touches the timer.
    delete m_pResolver;
    m_pResolver = nullptr;
    FreeQueue();
    m_timerManager->DestroyTimer(m_timer);
}

void CTCPIPConnection::Start() {
    OS_ASSERT_HELD(m_hMutex);
    // The callback waits for the lock we hold, so it meets a connection that
    // its creator has finished setting up.
    if (m_pResolver && !m_pResolver->IsThreadPresent()) m_pResolver->Start();
}

void CTCPIPConnection::Attach(ITCPIPConnectionOwner* pOwner, void* pOwnerTag) {
    OS_ASSERT_HELD(m_hMutex);
    m_pOwner = pOwner;
    m_pOwnerTag = pOwner ? pOwnerTag : nullptr;
}

CResolveDNS* CTCPIPConnection::DetachResolver() {
    CResolveDNS* pResolver = m_pResolver;
    m_pResolver = nullptr;
    return pResolver;
}

void CTCPIPConnection::CloseSocket(bool abort) {
    OS_ASSERT_HELD(m_hMutex);
    if (m_socket < 0) return;
    // Unregistered before the close: the number may be handed out again at
    // once, and a registration must never outlive its descriptor.
    if (m_pOwner) m_pOwner->SocketClosing(this, m_socket);
    if (abort) {
        TCPIP_Abort(m_socket);
    } else {
        TCPIP_Close(m_socket);
    }
    m_socket = -1;
}

void CTCPIPConnection::Changed() {
    if (m_pOwner) m_pOwner->ConnectionChanged(this);
}

void CTCPIPConnection::MarkDisconnectSent() {
    OS_ASSERT_HELD(m_hMutex);
    m_bDisconnect = false;
    m_bDisconnectSent = true;
    // Destroyable now if already closed: the socket thread must look.
    Changed();
}

void CTCPIPConnection::EnterDisconnected(bool abort) {
    m_status = TCPIP_STATUS_DISCONNECTED;
    // Nothing is left to time out; a late expiry would only be logged.
    m_timer->Disable();
    CloseSocket(abort);
    FreeQueue();
}

void CTCPIPConnection::FreeQueue() {
    for (int i = 0; i < m_writeQueueData.Count(); i++) OS_Free(m_writeQueueData[i]);
    m_writeQueueData.Std().clear();
    m_writeQueueSizeUsed.Std().clear();
    m_writeQueueSizeAlloc.Std().clear();
    m_writePtr = 0;
    if (m_pQueueGauge && m_QueuedBytes) {
        m_pQueueGauge->fetch_sub(static_cast<int64_t>(m_QueuedBytes), std::memory_order_relaxed);
    }
    m_QueuedBytes = 0;
    m_bAboveSoftCap = false;
}

void CTCPIPConnection::SetQueueGauge(std::atomic<int64_t>* pGauge) {
    OS_ASSERT_HELD(m_hMutex);
    int64_t queued = static_cast<int64_t>(m_QueuedBytes);
    if (m_pQueueGauge && queued) m_pQueueGauge->fetch_sub(queued, std::memory_order_relaxed);
    m_pQueueGauge = pGauge;
    if (m_pQueueGauge && queued) m_pQueueGauge->fetch_add(queued, std::memory_order_relaxed);
}

void CTCPIPConnection::Announce() {
    OS_ASSERT_HELD(m_hMutex);
    OS_ASSERTMSG(m_status == TCPIP_STATUS_ESTABLISHED, "Announcing a connection in state %d", m_status);
    if (m_bDisconnect) {
        // An accepted socket is still open here; nothing was ever sent on it.
        EnterDisconnected(true);
    } else if (m_bConnected) {
        m_status = TCPIP_STATUS_CONNECTED;
    } else if (m_bResolved) {
        m_status = TCPIP_STATUS_CONNECTING;
    } else {
        m_status = TCPIP_STATUS_RESOLVE;
    }
    Changed();
}

void CTCPIPConnection::Disconnect(int reason, bool flush) {
    OS_ASSERT_HELD(m_hMutex);
    if (IConnectionManagerLogger* pLogger = Logger()) pLogger->Log(this, "TCPIP: Disconnect 0x%08x", reason, LogHandle());
    // The first cause wins, a local disconnect (-1) included.
    if (!m_bReasonRecorded) {
        m_bReasonRecorded = true;
        m_clientError = reason;
    }
    switch (m_status) {
    case TCPIP_STATUS_ESTABLISHED:
        m_bDisconnect = true;
        break;
    case TCPIP_STATUS_RESOLVE:
    case TCPIP_STATUS_CONNECTING:
    case TCPIP_STATUS_CONNECTED:
        m_bDisconnect = true;
        if (flush) {
            m_status = TCPIP_STATUS_FLUSHING;
            m_timer->SetInterval(TCPIP_FLUSH_MS);
            m_timer->Enable();
            m_timer->Restart();
            if (!HasQueuedData()) ShutSend();
        } else {
            EnterDisconnected(true);
        }
        break;
    case TCPIP_STATUS_FLUSHING:
        OS_ASSERTMSG(!flush, "Flush requested on a connection that is already flushing");
        // A drained flush lets the kernel deliver the rest in order; one
        // that gave up on queued data abandons the kernel's copy too.
        EnterDisconnected(HasQueuedData());
        break;
    case TCPIP_STATUS_DISCONNECTED:
        return;
    }
    Changed();
}

void CTCPIPConnection::ShutSend() {
    // Not yet connected (resolving, connecting): nothing to end; the flush
    // period does it.
    if (m_socket < 0 || m_bSendShut) return;
    if (shutdown(m_socket, SHUT_WR) == 0) {
        m_bSendShut = true;
        Changed();  // now watched for the peer's end
        return;
    }
    // The peer is gone already: nothing of ours can reach it any more.
    EnterDisconnected(false);
    Changed();
}

void CTCPIPConnection::DrainFlushing(char* buffer, int size) {
    OS_ASSERT_HELD(m_hMutex);
    if (m_status != TCPIP_STATUS_FLUSHING || m_socket < 0) return;
    int error = 0;
    ssize_t n = TCPIP_Recv(m_socket, buffer, static_cast<size_t>(size), &error);
    if (n > 0 || (n < 0 && (error == EAGAIN || error == EWOULDBLOCK))) return;
    // The peer's end (or a reset): everything of ours was handed over.
    Disconnect(TCPIP_REASON_LOCAL, false);
}

void CTCPIPConnection::Connect() {
    OS_ASSERT_HELD(m_hMutex);
    OS_ASSERTMSG(m_status == TCPIP_STATUS_CONNECTING, "Connect in state %d", m_status);
    int error = 0;
    m_socket = TCPIP_Socket(&error);
    if (m_socket < 0) {
        TRACE("Connect failed on errno 0x%04x", error);
        Disconnect(TCPIP_REASON_FAILED, false);
        return;
    }
    if (m_socket >= TCPIP_DESCRIPTOR_LIMIT) {
        Log_PrintAll("FD_SETSIZE exceeded");
        Disconnect(TCPIP_REASON_FAILED, false);
        return;
    }
    if (!TCPIP_SetNonBlocking(m_socket)) {
        Disconnect(TCPIP_REASON_FAILED, false);
        return;
    }
    TCPIP_SetNoDelay(m_socket);
    if (TCPIP_Connect(m_socket, m_ip, m_port, &error)) {
        m_status = TCPIP_STATUS_CONNECTED;
        // Data queued before the connect now waits for the socket: guard it
        // with the send-stall time-out like any other queued data.
        if (HasQueuedData()) {
            m_timer->SetInterval(TCPIP_SEND_STALL_MS);
            m_timer->Enable();
        }
        Changed();
        return;
    }
    TRACE("Connect failed on errno 0x%04x", error);
    Disconnect(TCPIP_REASON_FAILED, false);
}

bool CTCPIPConnection::QueueData(const char* data, int length) {
    OS_ASSERT_HELD(m_hMutex);
    OS_ASSERTMSG(length > 0 && data != nullptr, "QueueData of %d bytes", length);
    m_DataSent += static_cast<uint64_t>(length);
    IConnectionManagerLogger* pLogger = Logger();
    if (pLogger) pLogger->Log(this, "TCPIP: Queue data, size = 0x%04x, handle = 0x%08x", length, LogHandle());
    // ESTABLISHED is an outgoing connection its creator already holds the
    // handle of: its data waits in the queue like while connecting.
    if (m_status != TCPIP_STATUS_ESTABLISHED && m_status != TCPIP_STATUS_RESOLVE &&
        m_status != TCPIP_STATUS_CONNECTING && m_status != TCPIP_STATUS_CONNECTED) {
        TRACE("CTCPIPConnection: Socket (id 0x%08x, ip %s) tried to send in invalid state 0x%02x", m_id, m_ip,
              m_status);
        return false;
    }
    if (m_status == TCPIP_STATUS_CONNECTED && m_pOwner && m_pOwner->DeferSend(this)) {
        // Held back for the flush after the burst: one send for all the
        // data the burst gives this connection, and no timer touched unless
        // that flush leaves some behind.
        if (!HasQueuedData()) m_bDeferredFromEmpty = true;
        Append(data, static_cast<DWORD>(length));
        return true;
    }
    DWORD now = OS_GetTickCount();
    if (now != m_LastSendTimestamp) {
        m_LastSendTimestamp = now;
        m_SendCountInTick = 0;
    }
    if (m_SendCountInTick < TCPIP_BATCH_CALLS) m_SendCountInTick++;
    bool batch = m_SendCountInTick >= TCPIP_BATCH_CALLS;
    if (batch && !HasQueuedData() && pLogger) pLogger->Log(this, "TCPIP: Force Batch ON", LogHandle());

    if (m_status == TCPIP_STATUS_CONNECTED) {
        if (!batch && !HasQueuedData()) {
            ssize_t sent = TCPIP_Send(m_socket, data, static_cast<size_t>(length), nullptr);
            if (sent > 0) {
                if (pLogger) {
                    pLogger->Log(this, "TCPIP: Pre-sent data, size = 0x%04x, handle = 0x%08x",
                                 static_cast<int>(sent), LogHandle());
                }
                m_dataSendRecv = true;
                if (sent == length) return true;
                data += sent;
                length -= static_cast<int>(sent);
            }
        }
        if (!HasQueuedData()) {
            m_timer->SetInterval(TCPIP_SEND_STALL_MS);
            m_timer->Enable();
        }
    }
    bool wasEmpty = !HasQueuedData();
    Append(data, static_cast<DWORD>(length));
    // The socket thread starts watching for a writable moment.
    if (wasEmpty) Changed();
    return true;
}

bool CTCPIPConnection::QueueDataBounded(const char* data, int length, uint64_t softCap, uint64_t hardCap,
                                        DWORD graceMs) {
    OS_ASSERT_HELD(m_hMutex);
    OS_ASSERTMSG(softCap > 0 && hardCap >= softCap, "Reason: %s", "queue bounds out of order");
    if (m_SoftCap != softCap) {
        m_SoftCap = softCap;
        m_bAboveSoftCap = false;
    }
    uint64_t after = m_QueuedBytes + static_cast<uint64_t>(length);
    if (after > hardCap) return false;
    if (after > softCap && m_bAboveSoftCap && OS_GetTickCount() - m_AboveSince >= graceMs) return false;
    return QueueData(data, length);
}

void CTCPIPConnection::Append(const char* data, DWORD length) {
    int last = m_writeQueueData.Count() - 1;
    // Strictly less: a write that would exactly fill the block starts a new one.
    if (last >= 0 && length < m_writeQueueSizeAlloc[last] - m_writeQueueSizeUsed[last]) {
        memcpy(m_writeQueueData[last] + m_writeQueueSizeUsed[last], data, length);
        m_writeQueueSizeUsed[last] += length;
    } else {
        DWORD size = length > static_cast<DWORD>(TCPIP_QUEUE_BLOCK) ? length : static_cast<DWORD>(TCPIP_QUEUE_BLOCK);
        char* block = static_cast<char*>(OS_Malloc(size));
        memcpy(block, data, length);
        m_writeQueueData.AddToTail(block);
        m_writeQueueSizeUsed.AddToTail(length);
        m_writeQueueSizeAlloc.AddToTail(size);
    }
    m_QueuedBytes += length;
    if (m_pQueueGauge) m_pQueueGauge->fetch_add(static_cast<int64_t>(length), std::memory_order_relaxed);
    if (m_SoftCap && !m_bAboveSoftCap && m_QueuedBytes > m_SoftCap) {
        m_bAboveSoftCap = true;
        m_AboveSince = OS_GetTickCount();
    }
}

void CTCPIPConnection::Consumed(DWORD bytes) {
    m_dataSendRecv = true;
    m_QueuedBytes -= bytes;
    if (m_pQueueGauge) m_pQueueGauge->fetch_sub(static_cast<int64_t>(bytes), std::memory_order_relaxed);
    if (m_bAboveSoftCap && m_QueuedBytes <= m_SoftCap) m_bAboveSoftCap = false;
    // Whole blocks go at once; the rest of the first is marked as sent.
    int done = 0;
    DWORD left = m_writePtr + bytes;
    while (done < m_writeQueueData.Count() && left >= m_writeQueueSizeUsed[done]) {
        left -= m_writeQueueSizeUsed[done];
        OS_Free(m_writeQueueData[done]);
        done++;
    }
    if (done > 0) {
        m_writeQueueData.Std().erase(m_writeQueueData.Std().begin(), m_writeQueueData.Std().begin() + done);
        m_writeQueueSizeUsed.Std().erase(m_writeQueueSizeUsed.Std().begin(), m_writeQueueSizeUsed.Std().begin() + done);
        m_writeQueueSizeAlloc.Std().erase(m_writeQueueSizeAlloc.Std().begin(),
                                          m_writeQueueSizeAlloc.Std().begin() + done);
    }
    m_writePtr = left;
    if (m_writeQueueData.Count() == 0) {
        // An idle connection keeps nothing of its last burst.
        CVectorBase<char*>::Vector_t().swap(m_writeQueueData.Std());
        CVectorBase<DWORD>::Vector_t().swap(m_writeQueueSizeUsed.Std());
        CVectorBase<DWORD>::Vector_t().swap(m_writeQueueSizeAlloc.Std());
    }
}

void CTCPIPConnection::WriteQueue() {
    IConnectionManagerLogger* pLogger = Logger();
    bool sentAny = false;
    while (HasQueuedData()) {
        TCPIPSlice_t slices[TCPIP_GATHER_BLOCKS];
        int count = 0;
        size_t size = 0;
        for (; count < m_writeQueueData.Count() && count < TCPIP_GATHER_BLOCKS; count++) {
            DWORD skip = count == 0 ? m_writePtr : 0;
            slices[count].data = m_writeQueueData[count] + skip;
            slices[count].length = m_writeQueueSizeUsed[count] - skip;
            size += slices[count].length;
        }
        if (pLogger) {
            pLogger->Log(this, "TCPIP: Sending data, size = 0x%04x, handle = 0x%08x", static_cast<int>(size),
                         LogHandle());
        }
        int sendErrno = 0;
        ssize_t sent = TCPIP_SendSlices(m_socket, slices, count, &sendErrno);
        if (sent == 0) {
            int error = TCPIP_SocketError(m_socket);
            if (pLogger) pLogger->Log(this, "TCPIP: Send error, error = 0x%04x, handle = 0x%08x", error, LogHandle());
            if (!sentAny && error != EINPROGRESS) {
                TRACE("TCPIP: Send died on errno: 0x%04x", error);
                Disconnect(m_dataSendRecv ? TCPIP_REASON_SEND : TCPIP_REASON_FAILED, false);
            }
            return;
        }
        if (sent < 0) {
            int result = 0;
            int error = TCPIP_SocketError(m_socket, &result);
            if (result != 0) error = sendErrno;
            if (pLogger) {
                pLogger->Log(this, "TCPIP: Send error #2, error = 0x%04x, handle = 0x%08x", error, LogHandle());
            }
            // A flushing socket is not read, so nothing else would notice a
            // broken peer; without this its always-writable socket would
            // spin the socket thread until the flush time-out. A connected
            // socket's reset shows on its next receive.
            if (m_status == TCPIP_STATUS_FLUSHING && sendErrno != EAGAIN && sendErrno != EWOULDBLOCK &&
                sendErrno != ENOBUFS) {
                Disconnect(m_dataSendRecv ? TCPIP_REASON_SEND : TCPIP_REASON_FAILED, false);
            }
            return;
        }
        if (pLogger) {
            pLogger->Log(this, "TCPIP: Sent data, size = 0x%04x, handle = 0x%08x", static_cast<int>(sent),
                         LogHandle());
        }
        sentAny = true;
        Consumed(static_cast<DWORD>(sent));
        if (static_cast<size_t>(sent) < size) return;  // the socket is full
    }
}

void CTCPIPConnection::SendData() {
    OS_ASSERT_HELD(m_hMutex);
    IConnectionManagerLogger* pLogger = Logger();
    if (!HasQueuedData() || (m_status != TCPIP_STATUS_CONNECTED && m_status != TCPIP_STATUS_FLUSHING)) {
        if (pLogger) {
            pLogger->Log(this, "TCPIP: Send in wrong state, state = 0x%04x, handle = 0x%08x",
                         static_cast<int>(m_status), LogHandle());
        }
        return;
    }
    if (m_status != TCPIP_STATUS_FLUSHING) m_timer->Restart();
    if (pLogger) pLogger->Log(this, "TCPIP: Send data IN", LogHandle());
    WriteQueue();
    if (!HasQueuedData() && m_status != TCPIP_STATUS_FLUSHING) m_timer->Disable();
    if (!HasQueuedData() && m_status == TCPIP_STATUS_FLUSHING) ShutSend();
    // Drained (or closed by a failure, already announced): stop watching
    // for writability.
    if (!HasQueuedData()) Changed();
    if (pLogger) pLogger->Log(this, "TCPIP: Send data OUT", LogHandle());
}

void CTCPIPConnection::FlushDeferred() {
    OS_ASSERT_HELD(m_hMutex);
    bool fromEmpty = m_bDeferredFromEmpty;
    m_bDeferredFromEmpty = false;
    if (!fromEmpty) {
        // The queue already waited for the socket (its timer armed, its
        // socket watched for writing): an ordinary flush.
        if (HasQueuedData() && m_status == TCPIP_STATUS_CONNECTED) SendData();
        return;
    }
    if (m_status != TCPIP_STATUS_CONNECTED) return;  // closed meanwhile; the queue goes with it
    WriteQueue();
    if (HasQueuedData() && m_status == TCPIP_STATUS_CONNECTED) {
        // What the socket did not take waits like any queued data: guarded
        // by the send-stall time-out, and watched for a writable moment.
        m_timer->SetInterval(TCPIP_SEND_STALL_MS);
        m_timer->Enable();
        Changed();
    }
}

void CTCPIPConnection::TimerExpire(CTimer*) {
    OS_ASSERT_HELD(m_hMutex);
    m_timer->Disable();
    int reason = TCPIP_REASON_LOCAL;
    switch (m_status) {
    case TCPIP_STATUS_ESTABLISHED:
        // Not yet announced but already resolving: still a resolution time-out.
        if (!m_bResolved) {
            TRACE("Socket has timed out before dns resolve");
            reason = TCPIP_REASON_RESOLVE;
            break;
        }
        TRACE("Socket has timed out");
        reason = TCPIP_REASON_TIMEOUT;
        break;
    case TCPIP_STATUS_CONNECTING:
    case TCPIP_STATUS_CONNECTED:
        TRACE("Socket has timed out");
        reason = TCPIP_REASON_TIMEOUT;
        break;
    case TCPIP_STATUS_RESOLVE:
        TRACE("Socket has timed out before dns resolve");
        reason = TCPIP_REASON_RESOLVE;
        break;
    case TCPIP_STATUS_FLUSHING:
        if (HasQueuedData()) Log_PrintAll("Socket has timed out while flushing with unsent data.");
        reason = TCPIP_REASON_LOCAL;
        break;
    case TCPIP_STATUS_DISCONNECTED:
        Log_PrintAll("Socket timed out in illegal state: 0x%x!!", static_cast<unsigned int>(m_status));
        return;
    }
    Disconnect(reason, false);
}

void CTCPIPConnection::ResolveComplete(const char* ip) {
    OS_ASSERT_NOT_HELD(m_hMutex);
    OS_MutexLock(m_hMutex);
    OS_ASSERTMSG(!m_bResolved, "ResolveComplete for a connection that is not resolving");
    if (m_status == TCPIP_STATUS_ESTABLISHED || m_status == TCPIP_STATUS_RESOLVE) {
        if (!TCPIP_IsDottedAddress(ip)) {
            TRACE("DNS Resolve returned invalid address");
            Disconnect(TCPIP_REASON_RESOLVE, false);
        } else {
            OS_ASSERTMSG(strlen(ip) <= 15, "Resolved address too long: %s", ip);
            strcpy(m_ip, ip);
            if (m_status == TCPIP_STATUS_RESOLVE) m_status = TCPIP_STATUS_CONNECTING;
            m_bResolved = true;
            m_timer->SetInterval(TCPIP_SEND_STALL_MS);
            if (HasQueuedData()) {
                m_timer->Restart();
            } else {
                m_timer->Disable();
            }
            Changed();
        }
    }
    OS_MutexUnlock(m_hMutex);
}

void CTCPIPConnection::ResolveFailed() {
    TRACE("DNS Resolve has failed");
    OS_ASSERT_NOT_HELD(m_hMutex);
    OS_MutexLock(m_hMutex);
    Disconnect(TCPIP_REASON_RESOLVE, false);
    OS_MutexUnlock(m_hMutex);
}
