// CSignal: a lockable flag used to tell worker threads to stop. Setting it
// notifies observers and releases registered waiters under the signal's own
// lock, so an observer must not call back into the same signal. An
// auto-clearing signal wakes but does not stay set.
#ifndef NB_COMMON_DATATYPES_SIGNAL_H
#define NB_COMMON_DATATYPES_SIGNAL_H

#include "common/src/datatypes/ithreadsafe.h"
#include "common/src/datatypes/mutex.h"
#include "common/src/datatypes/vector.h"

class CSignal;

// Observer of a signal; called on the setting thread with the signal's lock held.
class ISignalCallback {
public:
    virtual void SignalSet(CSignal* pSignal) = 0;
    virtual ~ISignalCallback() {}
};

class CSignal : public IThreadSafe {
public:
    explicit CSignal(bool bAutoClear) : IThreadSafe(MT_BINARY), m_State(false), m_bAutoClear(bAutoClear) {}
    // A waiter still registered would wait for ever: fatal.
    ~CSignal() { OS_ASSERTMSG(m_Threads.Count() == 0, "signal destroyed with %d waiters", m_Threads.Count()); }

    void SetSignal() {
        Lock();
        if (!m_State) {
            for (int i = 0; i < m_Callbacks.Count(); i++) m_Callbacks[i]->SignalSet(this);
            for (int i = 0; i < m_Threads.Count(); i++) m_Threads[i]->UnLock();
            m_Threads.RemoveAll();
        }
        if (!m_bAutoClear) m_State = true;
        UnLock();
    }
    void ClearSignal() {
        Lock();
        m_State = false;
        UnLock();
    }
    // Reading does not clear the flag.
    bool CheckSignal() {
        Lock();
        bool state = m_State;
        UnLock();
        return state;
    }
    // Observers are not owned; remove one before destroying it.
    void AddCallback(ISignalCallback* pCallback) {
        Lock();
        m_Callbacks.AddToTail(pCallback);
        UnLock();
    }
    void RemoveCallback(ISignalCallback* pCallback) {
        Lock();
        m_Callbacks.RemoveByValue(pCallback);
        UnLock();
    }

private:
    CVector<ISignalCallback*> m_Callbacks;  // not owned
    // Waiters' tokens, released by SetSignal; not owned. Nothing registers a
    // waiter (there is no WaitForSignal), so the list stays empty. A waiter
    // must not be added as it stands: SetSignal would unlock a mutex locked
    // by another thread, which POSIX leaves undefined and the debug lock
    // record rejects; a wait needs a primitive any thread may release.
    CVector<CMutex*> m_Threads;
    bool m_State;
    bool m_bAutoClear;
};

#endif
