// The epoll set behind the socket thread's wait. Level-triggered on
// purpose: a condition that is not dealt with in one pass is reported again
// in the next, as the classic sets did.
#include "common/src/network/tcpippoller.h"

#include <errno.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "common/src/cbase.h"

namespace {

// The epoll data of the wake-up descriptor; never handed out.
char s_WakeTag;

unsigned int ToEpoll(unsigned int events) {
    unsigned int e = 0;
    if (events & TCPIP_POLL_READ) e |= EPOLLIN;
    if (events & TCPIP_POLL_WRITE) e |= EPOLLOUT;
    if (events & TCPIP_POLL_URGENT) e |= EPOLLPRI;
    return e;
}

unsigned int FromEpoll(unsigned int e) {
    unsigned int events = 0;
    if (e & EPOLLIN) events |= TCPIP_POLL_READ;
    if (e & EPOLLOUT) events |= TCPIP_POLL_WRITE;
    if (e & EPOLLPRI) events |= TCPIP_POLL_URGENT;
    if (e & EPOLLHUP) events |= TCPIP_POLL_HANGUP;
    if (e & EPOLLERR) events |= TCPIP_POLL_ERROR;
    return events;
}

}  // namespace

CTCPIPPoller::CTCPIPPoller()
    : m_epoll(-1),
      m_wakeFd(-1),
      m_slots(0),
      m_pEvents(nullptr),
      m_hOwnerLock(nullptr),
      m_bWakeArmed(false),
      m_bWakePending(false) {}

CTCPIPPoller::~CTCPIPPoller() { OS_ASSERTMSG(m_epoll < 0, "Reason: %s", "poller destroyed while open"); }

void CTCPIPPoller::Open(int slots, HMutex hOwnerLock) {
    OS_ASSERTMSG(m_epoll < 0 && slots > 0 && hOwnerLock != nullptr, "Reason: %s", "poller opened twice");
    m_slots = slots;
    m_hOwnerLock = hOwnerLock;
    m_bWakeArmed = false;
    m_bWakePending = false;
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
    m_pEvents = new struct epoll_event[static_cast<size_t>(slots)];
    m_Ready.clear();
}

void CTCPIPPoller::Close() {
    if (m_epoll < 0) return;
    close(m_wakeFd);
    close(m_epoll);
    m_wakeFd = -1;
    m_epoll = -1;
    delete[] m_pEvents;
    m_pEvents = nullptr;
    m_Ready.clear();
}

int CTCPIPPoller::Watch(int fd, unsigned int registered, unsigned int events, void* pTag) {
    if (registered == events) return 0;
    struct epoll_event ev;
    memset(&ev, 0, sizeof(ev));
    ev.events = ToEpoll(events);
    ev.data.ptr = pTag;
    int op = registered == 0 ? EPOLL_CTL_ADD : (events == 0 ? EPOLL_CTL_DEL : EPOLL_CTL_MOD);
    return epoll_ctl(m_epoll, op, fd, &ev) == 0 ? 0 : errno;
}

void CTCPIPPoller::Unwatch(int fd) {
    // Safe against a concurrent epoll_wait.
    epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, nullptr);
}

void CTCPIPPoller::ArmWake() {
    OS_ASSERT_HELD(m_hOwnerLock);
    m_bWakeArmed = true;
}

void CTCPIPPoller::Wake() {
    OS_ASSERT_HELD(m_hOwnerLock);
    // One unread nudge is enough for any number of changes.
    if (!m_bWakeArmed || m_bWakePending) return;
    m_bWakePending = true;
    uint64_t one = 1;
    ssize_t written = write(m_wakeFd, &one, sizeof(one));
    (void)written;  // only fails when the counter is already non-zero
}

void CTCPIPPoller::DisarmWake() {
    OS_ASSERT_HELD(m_hOwnerLock);
    m_bWakeArmed = false;
    if (!m_bWakePending) return;
    uint64_t count = 0;
    ssize_t got = read(m_wakeFd, &count, sizeof(count));
    (void)got;
    m_bWakePending = false;
}

int CTCPIPPoller::Wait(int timeoutMs) {
    m_Ready.clear();
    int ready = epoll_wait(m_epoll, m_pEvents, m_slots, timeoutMs);
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
        return 0;
    }
    for (int i = 0; i < ready; i++) {
        if (m_pEvents[i].data.ptr == &s_WakeTag) continue;
        TCPIPPollReady_t entry = {m_pEvents[i].data.ptr, FromEpoll(m_pEvents[i].events)};
        m_Ready.push_back(entry);
    }
    return static_cast<int>(m_Ready.size());
}
