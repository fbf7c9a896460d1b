// IThreadSafe: a base class owning one mutex (binary unless the derived class
// asks for MT_RECURSIVE). Derived classes bracket their shared state with
// Lock/UnLock; code holding a binary lock must not lock it again.
#ifndef NB_COMMON_DATATYPES_ITHREADSAFE_H
#define NB_COMMON_DATATYPES_ITHREADSAFE_H

#include "common/src/osutils.h"

class IThreadSafe {
public:
    explicit IThreadSafe(MutexType_t type) : m_hMutex(OS_MutexCreate(type)) {}
    ~IThreadSafe() { OS_MutexDestroy(m_hMutex); }
    IThreadSafe(const IThreadSafe&) = delete;
    IThreadSafe& operator=(const IThreadSafe&) = delete;

    void Lock() { OS_MutexLock(m_hMutex); }
    void UnLock() { OS_MutexUnlock(m_hMutex); }

protected:
    HMutex m_hMutex;  // owned
};

#endif
