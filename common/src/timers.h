// Millisecond timers advanced only by their manager's Dispatch: no thread and
// no signal drives them. An expiry is either delivered to an ITimerCallback
// during Dispatch or left pending for the owner to poll with GetState.
//
// Locks: CTimerManager::m_hMutex is the innermost lock of the framework
// (connection managers take it inside their own). It is held while callbacks
// run, so a callback must not call CreateTimer, DestroyTimer or Dispatch of
// the same manager (checked: such a call is a fatal assertion, not a hang).
// Enable takes it too, briefly, the first time a timer needs to join the
// manager's list of running timers (not from inside that manager's own
// Dispatch, which already holds it).
#ifndef NB_COMMON_TIMERS_H
#define NB_COMMON_TIMERS_H

#include "common/src/datatypes/vector.h"
#include "common/src/osutils.h"

class CTimer;
class CTimerManager;

// Receiver of timer expiries; called on the thread that runs the manager's
// Dispatch, with the manager's lock held.
class ITimerCallback {
public:
    // Once per delivered expiry. May call any CTimer operation (typically
    // Disable on pTimer), never CreateTimer/DestroyTimer/Dispatch.
    virtual void TimerExpire(CTimer* pTimer) = 0;

protected:
    ~ITimerCallback() {}
};

// One timer. Created and deleted only by CTimerManager; borrows its callback
// and its manager. No lock of its own: used from the dispatching thread or
// under the owner's lock. Ticks are OS_GetTickCount values compared as
// unsigned differences, so the 32-bit wrap of the counter is harmless.
class CTimer {
public:
    // interval is at least 1 ms (fatal otherwise). Starts disabled.
    CTimer(int interval, bool canDrift, bool autoReset, ITimerCallback* pCallback);

    // Starts a full period from now and drops pending expiries.
    void Enable();
    // Stops counting and drops pending expiries.
    void Disable();
    // At least 1 ms (fatal otherwise); phase and pending count are kept, the
    // new period applies from the next update.
    void SetInterval(int interval);
    int GetInterval() const { return static_cast<int>(m_Interval); }
    // A fresh period from now; pending expiries and the enabled flag stay.
    void Restart();
    // True when an expiry is pending; an auto-reset timer consumes one.
    bool GetState();
    // Consumes one pending expiry if any; a drifting timer restarts its phase.
    void ClearState();
    // -1 when disabled, 0 with an expiry pending, else the rest of the period
    // as of the last update.
    int GetTimeLeft() const;
    // -1 when disabled, the interval with an expiry pending, else the phase.
    int GetCounter() const;
    bool IsTicking() const { return m_bEnabled && !m_bCanDrift && m_WrapCount == 0; }
    bool IsEnabled() const { return m_bEnabled; }
    // Forces an expiry now (delivered at once to a callback).
    void Expire();
    // Advances this timer to currentTicks and delivers due expiries.
    void UpdateTicks(unsigned int currentTicks);

private:
    friend class CTimerManager;
    void Deliver(int maxCalls);

    DWORD m_TickCount;             // phase within the current period
    DWORD m_LastTicks;             // tick value of the last update/Enable/Restart/Expire
    DWORD m_Interval;              // period in ms, >= 1
    int m_WrapCount;               // pending expiries, saturates at INT_MAX
    bool m_bAutoReset;
    bool m_bCanDrift;
    bool m_bEnabled;
    ITimerCallback* m_pCallback;   // not owned; null for a polled timer
    // Bookkeeping of the manager (under its lock): Dispatch walks only the
    // timers on its running list, so thousands of idle timers cost nothing.
    CTimerManager* m_pManager;     // not owned; null outside a manager
    unsigned long long m_Serial;   // creation order within the manager
    bool m_bListed;                // on the manager's running list
};

// Owns every timer it creates. CreateTimer, DestroyTimer and Dispatch may be
// called from any thread; they serialise on m_hMutex.
class CTimerManager {
public:
    CTimerManager();
    // Deletes the remaining timers without callbacks. Takes no lock.
    ~CTimerManager();
    CTimerManager(const CTimerManager&) = delete;
    CTimerManager& operator=(const CTimerManager&) = delete;

    // A disabled timer, appended to the list; call Enable to start it.
    // interval below 1 ms is a fatal assertion.
    CTimer* CreateTimer(int interval, bool canDrift, bool autoReset, ITimerCallback* pCallback);
    // pTimer must be a live timer of this manager (fatal otherwise).
    void DestroyTimer(CTimer* pTimer);
    // Updates every running timer, in creation order, to one tick reading
    // and runs their callbacks on the calling thread with m_hMutex held.
    // Costs the number of enabled timers, not of all timers. A timer enabled
    // by a callback during the pass starts counting at the next pass.
    void Dispatch();
    int GetTimerCount();
    // Timers on the running list (enabled, or disabled since the last pass).
    int GetListedCount();

private:
    friend class CTimer;
    void CheckNotInCallback(const char* operation) const;
    // From CTimer::Enable: puts the timer on the running list.
    void List(CTimer* pTimer);

    CVector<CTimer*> m_Timers;   // owned, creation order
    CVector<CTimer*> m_Running;  // not owned (elements of m_Timers): enabled ones, maybe a few disabled
    bool m_bRunningSorted;       // m_Running is in creation order
    unsigned long long m_NextSerial;
    HMutex m_hMutex;             // owned, binary
};

#endif
