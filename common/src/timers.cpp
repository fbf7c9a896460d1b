// Timers and their manager. Lock: CTimerManager::m_hMutex only (innermost).
#include "common/src/timers.h"

#include <climits>

// The manager whose Dispatch runs on this thread, if any: a callback that
// re-enters CreateTimer/DestroyTimer/Dispatch of that manager would deadlock
// on the non-recursive lock, so it is stopped with a clear message instead.
static thread_local const CTimerManager* t_pDispatching = nullptr;

CTimer::CTimer(int interval, bool canDrift, bool autoReset, ITimerCallback* pCallback)
    : m_TickCount(0),
      m_LastTicks(0),
      m_Interval(0),
      m_WrapCount(0),
      m_bAutoReset(autoReset),
      m_bCanDrift(canDrift),
      m_bEnabled(false),
      m_pCallback(pCallback) {
    SetInterval(interval);
}

void CTimer::Enable() {
    m_bEnabled = true;
    m_WrapCount = 0;
    m_TickCount = 0;
    m_LastTicks = OS_GetTickCount();
}

void CTimer::Disable() {
    m_bEnabled = false;
    m_WrapCount = 0;
    m_TickCount = 0;
}

void CTimer::SetInterval(int interval) {
    // The update divides by the interval.
    OS_ASSERTMSG(interval >= 1, "Timer interval %d ms is below 1 ms", interval);
    m_Interval = static_cast<DWORD>(interval);
}

void CTimer::Restart() {
    m_TickCount = 0;
    m_LastTicks = OS_GetTickCount();
}

bool CTimer::GetState() {
    if (m_WrapCount == 0) return false;
    if (m_bAutoReset) {
        m_WrapCount--;
        if (m_bCanDrift) m_TickCount = 0;
    }
    return true;
}

void CTimer::ClearState() {
    if (m_WrapCount > 0) m_WrapCount--;
    if (m_bCanDrift) m_TickCount = 0;
}

int CTimer::GetTimeLeft() const {
    if (!m_bEnabled) return -1;
    if (m_WrapCount != 0) return 0;
    return static_cast<int>(m_Interval - m_TickCount);
}

int CTimer::GetCounter() const {
    if (!m_bEnabled) return -1;
    if (m_WrapCount != 0) return static_cast<int>(m_Interval);
    return static_cast<int>(m_TickCount);
}

void CTimer::Deliver(int maxCalls) {
    // The count is read again after each call: a callback that disables the
    // timer (count 0) ends the delivery.
    for (int i = 0; i < maxCalls && m_WrapCount > 0 && m_pCallback; i++) {
        m_WrapCount--;
        m_pCallback->TimerExpire(this);
    }
}

void CTimer::Expire() {
    if (!m_bEnabled) return;
    m_LastTicks = OS_GetTickCount();
    m_TickCount = 0;
    if (m_bCanDrift) {
        m_WrapCount = 1;
    } else if (m_WrapCount < INT_MAX) {
        m_WrapCount++;
    }
    if (m_pCallback && m_WrapCount >= 1) Deliver(m_WrapCount);
}

void CTimer::UpdateTicks(unsigned int currentTicks) {
    if (!m_bEnabled) return;
    // Unsigned arithmetic: a wrap of the tick counter still gives the true
    // difference. The sum can pass 2^32 only after a gap of ~49 days; count
    // it wide so such a gap never turns into a short one.
    unsigned long long elapsed =
        static_cast<unsigned long long>(static_cast<DWORD>(currentTicks - m_LastTicks)) + m_TickCount;
    m_LastTicks = currentTicks;
    m_TickCount = static_cast<DWORD>(elapsed % m_Interval);
    unsigned long long wraps = elapsed / m_Interval;
    if (!m_bCanDrift) {
        unsigned long long total = static_cast<unsigned long long>(m_WrapCount) + wraps;
        m_WrapCount = total > static_cast<unsigned long long>(INT_MAX) ? INT_MAX : static_cast<int>(total);
    } else {
        m_WrapCount = (m_WrapCount != 0 || wraps != 0) ? 1 : 0;
    }
    if (m_pCallback) Deliver(INT_MAX);
}

CTimerManager::CTimerManager() : m_hMutex(OS_MutexCreate(MT_BINARY)) {}

CTimerManager::~CTimerManager() {
    for (int i = 0; i < m_Timers.Count(); i++) delete m_Timers[i];
    m_Timers.RemoveAll();
    OS_MutexDestroy(m_hMutex);
}

void CTimerManager::CheckNotInCallback(const char* operation) const {
    OS_ASSERTMSG(t_pDispatching != this, "%s called from a timer callback of the same manager", operation);
}

CTimer* CTimerManager::CreateTimer(int interval, bool canDrift, bool autoReset, ITimerCallback* pCallback) {
    CheckNotInCallback("CreateTimer");
    CTimer* pTimer = new CTimer(interval, canDrift, autoReset, pCallback);
    OS_MutexLock(m_hMutex);
    m_Timers.AddToTail(pTimer);
    OS_MutexUnlock(m_hMutex);
    return pTimer;
}

void CTimerManager::DestroyTimer(CTimer* pTimer) {
    CheckNotInCallback("DestroyTimer");
    OS_MutexLock(m_hMutex);
    // An unknown pointer gives index -1, which the vector's index check stops.
    int index = m_Timers.Find(pTimer);
    delete m_Timers[index];
    m_Timers.Remove(index);
    OS_MutexUnlock(m_hMutex);
}

void CTimerManager::Dispatch() {
    CheckNotInCallback("Dispatch");
    OS_MutexLock(m_hMutex);
    const CTimerManager* pOuter = t_pDispatching;
    t_pDispatching = this;
    unsigned int now = OS_GetTickCount();
    for (int i = 0; i < m_Timers.Count(); i++) m_Timers[i]->UpdateTicks(now);
    t_pDispatching = pOuter;
    OS_MutexUnlock(m_hMutex);
}

int CTimerManager::GetTimerCount() {
    OS_MutexLock(m_hMutex);
    int count = m_Timers.Count();
    OS_MutexUnlock(m_hMutex);
    return count;
}
