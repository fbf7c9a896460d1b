// IThreadable: a base class that runs the derived class's ThreadEntry on a
// worker thread of its own and stops it through m_Signal. ThreadEntry must
// poll the signal once per pass and return when it is set. A derived
// destructor calls EndThread() while IsThreadPresent(): destroying a started,
// unended thread is fatal. Start and end it from one owning thread. The
// worker blocks SIGINT, SIGCHLD and the other signals whose handlers belong
// on the main thread (OS_CreateThread).
#ifndef NB_COMMON_DATATYPES_ITHREADABLE_H
#define NB_COMMON_DATATYPES_ITHREADABLE_H

#include <atomic>

#include "common/src/datatypes/signal.h"
#include "common/src/osutils.h"

class IThreadable;
void IThreadable_Bridge(IThreadable* pThreadable);

class IThreadable {
public:
    IThreadable() : m_hThread(nullptr), m_Signal(false), m_ThreadRunning(false) {}
    virtual ~IThreadable() {
        OS_ASSERTMSG(m_hThread == nullptr, "thread object destroyed while its thread was not ended");
    }
    IThreadable(const IThreadable&) = delete;
    IThreadable& operator=(const IThreadable&) = delete;

    // Clears the stop signal and starts ThreadEntry on a new thread.
    void StartThread(OSThreadPriority_t priority) {
        OS_ASSERTMSG(m_hThread == nullptr, "thread started twice");
        m_ThreadRunning = true;
        m_Signal.ClearSignal();
        m_hThread = OS_CreateThread(&IThreadable::Entry, this, priority);
    }
    // Sets the stop signal and joins; blocks until ThreadEntry returns.
    void EndThread() {
        OS_ASSERTMSG(m_hThread != nullptr, "thread ended without being started");
        m_Signal.SetSignal();
        OS_JoinThread(m_hThread);
        m_hThread = nullptr;
    }
    // True from StartThread until ThreadEntry has returned (a hint only).
    bool IsThreadRunning() const { return m_ThreadRunning.load(); }
    // Started and not yet ended.
    bool IsThreadPresent() const { return m_hThread != nullptr; }

    // The thread body, run on the worker thread with m_Signal.
    virtual void ThreadEntry(CSignal& signal) = 0;

private:
    friend void IThreadable_Bridge(IThreadable* pThreadable);
    static void Entry(void* param) { IThreadable_Bridge(static_cast<IThreadable*>(param)); }

    HThread m_hThread;                   // owned; null when there is no thread
    CSignal m_Signal;                    // the stop signal
    std::atomic<bool> m_ThreadRunning;   // written by the worker at its end
};

inline void IThreadable_Bridge(IThreadable* pThreadable) {
    pThreadable->ThreadEntry(pThreadable->m_Signal);
    pThreadable->m_ThreadRunning = false;
}

#endif
