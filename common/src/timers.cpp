// Timers and their manager. Lock: CTimerManager::m_hMutex only (innermost).
#include "common/src/timers.h"

#include <algorithm>
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
      m_pCallback(pCallback),
      m_pManager(nullptr),
      m_Serial(0),
      m_bListed(false) {
    SetInterval(interval);
}

void CTimer::Enable() {
    m_bEnabled = true;
    m_WrapCount = 0;
    m_TickCount = 0;
    m_LastTicks = OS_GetTickCount();
    // m_bListed only changes under the owner's serialisation too (Dispatch
    // and Enable are never concurrent for one timer), so the quick test is
    // safe; joining the list itself happens under the manager's lock.
    if (m_pManager && !m_bListed) m_pManager->List(this);
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

CTimerManager::CTimerManager() : m_bRunningSorted(true), m_NextSerial(0), m_hMutex(OS_MutexCreate(MT_BINARY)) {}

CTimerManager::~CTimerManager() {
    for (int i = 0; i < m_Timers.Count(); i++) delete m_Timers[i];
    m_Timers.RemoveAll();
    m_Running.RemoveAll();
    OS_MutexDestroy(m_hMutex);
}

void CTimerManager::CheckNotInCallback(const char* operation) const {
    OS_ASSERTMSG(t_pDispatching != this, "%s called from a timer callback of the same manager", operation);
}

CTimer* CTimerManager::CreateTimer(int interval, bool canDrift, bool autoReset, ITimerCallback* pCallback) {
    CheckNotInCallback("CreateTimer");
    CTimer* pTimer = new CTimer(interval, canDrift, autoReset, pCallback);
    OS_MutexLock(m_hMutex);
    pTimer->m_pManager = this;
    pTimer->m_Serial = m_NextSerial++;
    m_Timers.AddToTail(pTimer);
    OS_MutexUnlock(m_hMutex);
    return pTimer;
}

void CTimerManager::List(CTimer* pTimer) {
    // Inside our own Dispatch (a callback enabling a timer) the lock is
    // already held by this thread.
    bool locked = t_pDispatching != this;
    if (locked) OS_MutexLock(m_hMutex);
    if (!pTimer->m_bListed) {
        if (m_Running.Count() > 0 && m_Running.Tail()->m_Serial > pTimer->m_Serial) m_bRunningSorted = false;
        m_Running.AddToTail(pTimer);
        pTimer->m_bListed = true;
    }
    if (locked) OS_MutexUnlock(m_hMutex);
}

void CTimerManager::DestroyTimer(CTimer* pTimer) {
    CheckNotInCallback("DestroyTimer");
    OS_MutexLock(m_hMutex);
    // An unknown pointer gives index -1, which the vector's index check stops.
    int index = m_Timers.Find(pTimer);
    CTimer* pDoomed = m_Timers[index];
    if (pDoomed->m_bListed) m_Running.Remove(m_Running.Find(pDoomed));
    delete pDoomed;
    m_Timers.Remove(index);
    OS_MutexUnlock(m_hMutex);
}

void CTimerManager::Dispatch() {
    CheckNotInCallback("Dispatch");
    OS_MutexLock(m_hMutex);
    const CTimerManager* pOuter = t_pDispatching;
    t_pDispatching = this;
    unsigned int now = OS_GetTickCount();
    CVectorBase<CTimer*>::Vector_t& running = m_Running.Std();
    if (!m_bRunningSorted) {
        std::sort(running.begin(), running.end(),
                  [](const CTimer* a, const CTimer* b) { return a->m_Serial < b->m_Serial; });
        m_bRunningSorted = true;
    }
    // Disabled timers ignore updates, so walking only the listed ones gives
    // the same result as walking all. Timers a callback enables now are
    // appended behind the walk: their period started after this tick
    // reading, so they have nothing to count in this pass.
    size_t walk = running.size();
    for (size_t i = 0; i < walk; i++) running[i]->UpdateTicks(now);
    // Timers disabled since they were listed leave the list.
    size_t kept = 0;
    for (size_t i = 0; i < running.size(); i++) {
        CTimer* pTimer = running[i];
        if (pTimer->m_bEnabled) {
            running[kept++] = pTimer;
        } else {
            pTimer->m_bListed = false;
        }
    }
    running.resize(kept);
    t_pDispatching = pOuter;
    OS_MutexUnlock(m_hMutex);
}

int CTimerManager::GetTimerCount() {
    OS_MutexLock(m_hMutex);
    int count = m_Timers.Count();
    OS_MutexUnlock(m_hMutex);
    return count;
}

int CTimerManager::GetListedCount() {
    OS_MutexLock(m_hMutex);
    int count = m_Running.Count();
    OS_MutexUnlock(m_hMutex);
    return count;
}
