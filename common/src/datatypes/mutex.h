// CMutex: a free-standing binary mutex with explicit Lock and UnLock (not a
// scoped guard). Used for process-wide statics and as a waiter's token.
#ifndef NB_COMMON_DATATYPES_MUTEX_H
#define NB_COMMON_DATATYPES_MUTEX_H

#include "common/src/osutils.h"

class CMutex {
public:
    CMutex() : m_hMutex(OS_MutexCreate(MT_BINARY)) {}
    // Must be unlocked.
    ~CMutex() { OS_MutexDestroy(m_hMutex); }
    CMutex(const CMutex&) = delete;
    CMutex& operator=(const CMutex&) = delete;

    void Lock() { OS_MutexLock(m_hMutex); }
    void UnLock() { OS_MutexUnlock(m_hMutex); }

private:
    HMutex m_hMutex;  // owned
};

#endif
