// The socket thread's wait: a level-triggered epoll set, an eventfd that
// ends the wait early when another thread has work for it, and the list of
// what became ready.
#ifndef NB_COMMON_NETWORK_TCPIPPOLLER_H
#define NB_COMMON_NETWORK_TCPIPPOLLER_H

#include <vector>

#include "common/src/osutils.h"

struct epoll_event;

// Interest and readiness bits. Level-triggered, so they mean what the
// classic readable, writable and exceptional conditions meant.
enum TCPIPPollEvent_t : unsigned int {
    TCPIP_POLL_READ = 1,     // readable (end of stream included)
    TCPIP_POLL_WRITE = 2,    // writable
    TCPIP_POLL_URGENT = 4,   // urgent (out-of-band) data waits
    TCPIP_POLL_HANGUP = 8,   // readiness only: the connection is hung up
    TCPIP_POLL_ERROR = 16,   // readiness only: an error is pending
};

// How long one wait lasts when nothing happens, in ms.
const int TCPIP_POLL_WAIT_MS = 500;

// One ready descriptor of a wait: the tag it was watched with and what it
// reported (TCPIPPollEvent_t bits).
struct TCPIPPollReady_t {
    void* pTag;
    unsigned int events;
};

// Owns the epoll set, the wake-up descriptor and the ready list; borrows the
// owner's lock (the wake-up flags live under it) and the tags. Descriptors
// are named by tags, never by number, so a number reused by a new socket is
// never confused with the old one. Watch and Wait: the owner's waiting
// thread; Unwatch: any thread (the kernel serialises it against a wait).
class CTCPIPPoller {
public:
    CTCPIPPoller();
    // Close must have been called.
    ~CTCPIPPoller();
    CTCPIPPoller(const CTCPIPPoller&) = delete;
    CTCPIPPoller& operator=(const CTCPIPPoller&) = delete;

    // Creates the set and the wake-up descriptor (fatal when the system
    // refuses), for up to slots descriptors reported per wait. hOwnerLock
    // guards ArmWake, Wake and DisarmWake.
    void Open(int slots, HMutex hOwnerLock);
    void Close();
    bool IsOpen() const { return m_epoll >= 0; }

    // Changes fd's interest from the events registered so far (0: none) to
    // events (0: none). 0, or the error number when the kernel refuses; the
    // registration is then as it was.
    int Watch(int fd, unsigned int registered, unsigned int events, void* pTag);
    // Drops fd's registration; call before the descriptor is closed. An
    // event already collected for it stays in the ready list: its owner must
    // recognise it as stale.
    void Unwatch(int fd);

    // Owner's lock held. From ArmWake to DisarmWake, Wake ends a wait early
    // (or the next one, if none is running yet); outside that window it
    // does nothing, since the waiting thread looks at the owner's state
    // before it waits.
    void ArmWake();
    void Wake();
    void DisarmWake();

    // Waits up to timeoutMs; the number of ready descriptors listed (0 on
    // time-out, on a wake-up alone, on a signal or when a descriptor was
    // closed meanwhile). Any other failure of the wait is fatal.
    int Wait(int timeoutMs);
    const std::vector<TCPIPPollReady_t>& Ready() const { return m_Ready; }

private:
    int m_epoll;                          // owned; -1 when closed
    int m_wakeFd;                         // owned; an eventfd
    int m_slots;
    struct epoll_event* m_pEvents;        // owned; the waiting thread only
    std::vector<TCPIPPollReady_t> m_Ready;  // the waiting thread only
    HMutex m_hOwnerLock;                  // not owned
    // Under m_hOwnerLock:
    bool m_bWakeArmed;                    // a wait is running or about to run
    bool m_bWakePending;                  // m_wakeFd written and not yet drained
};

#endif
