// The debug lock record: which mutexes the calling thread holds (once per
// lock of a recursive mutex, per thread), and the misuses it makes fatal.
// Release builds keep no record: OS_MutexIsHeld is always true there.
#include <gtest/gtest.h>

#include <atomic>

#include "common/src/osutils.h"
#include "tests/support/waitfor.h"

TEST(OsLockRecordThreads, ThreadTokensAreDistinctAndStable) {
    const void* mine = OS_CurrentThreadToken();
    ASSERT_NE(nullptr, mine);
    EXPECT_EQ(mine, OS_CurrentThreadToken());
    const void* other = nullptr;
    HThread t = OS_CreateThread([](void* p) { *static_cast<const void**>(p) = OS_CurrentThreadToken(); }, &other,
                                OS_THREAD_PRIORITY_NORMAL);
    OS_JoinThread(t);
    EXPECT_NE(nullptr, other);
    EXPECT_NE(mine, other);
}

#ifndef NDEBUG

TEST(OsLockRecord, HeldFromLockToUnlockCountingEveryLock) {
    for (MutexType_t type : {MT_BINARY, MT_RECURSIVE}) {
        HMutex h = OS_MutexCreate(type);
        int base = OS_MutexHeldCount();
        int locks = type == MT_RECURSIVE ? 3 : 1;
        EXPECT_FALSE(OS_MutexIsHeld(h));
        for (int i = 1; i <= locks; i++) {
            OS_MutexLock(h);
            EXPECT_EQ(base + i, OS_MutexHeldCount());
        }
        OS_ASSERT_HELD(h);
        for (int i = locks - 1; i >= 0; i--) {
            OS_MutexUnlock(h);
            EXPECT_EQ(i > 0, OS_MutexIsHeld(h)) << "type " << type << " after an unlock, " << i << " left";
            EXPECT_EQ(base + i, OS_MutexHeldCount());
        }
        OS_ASSERT_NOT_HELD(h);
        OS_MutexDestroy(h);
    }
}

TEST(OsLockRecord, UnlocksNeedNotComeInReverseOrder) {
    HMutex a = OS_MutexCreate(MT_BINARY), b = OS_MutexCreate(MT_BINARY);
    OS_MutexLock(a);
    OS_MutexLock(b);
    OS_MutexUnlock(a);
    EXPECT_FALSE(OS_MutexIsHeld(a));
    EXPECT_TRUE(OS_MutexIsHeld(b));
    EXPECT_EQ(1, OS_MutexHeldCount());
    OS_MutexUnlock(b);
    OS_MutexLock(a);  // not a re-lock: its record went with its unlock
    OS_MutexUnlock(a);
    EXPECT_EQ(0, OS_MutexHeldCount());
    OS_MutexDestroy(a);
    OS_MutexDestroy(b);
}

namespace {

struct TwoThreads_t {
    HMutex mine, theirs;
    std::atomic<int> step{0};  // 1: theirs is locked, 2: seen by the test, 3: done
    bool sawMineHeld = true, sawTheirsHeld = false;
    int countInside = -1;
};

}  // namespace

TEST(OsLockRecordThreads, AnotherThreadDoesNotSeeThisThreadsLocks) {
    TwoThreads_t s;
    s.mine = OS_MutexCreate(MT_BINARY);
    s.theirs = OS_MutexCreate(MT_BINARY);
    OS_MutexLock(s.mine);
    HThread t = OS_CreateThread(
        [](void* p) {
            TwoThreads_t* shared = static_cast<TwoThreads_t*>(p);
            shared->sawMineHeld = OS_MutexIsHeld(shared->mine);
            OS_MutexLock(shared->theirs);
            shared->sawTheirsHeld = OS_MutexIsHeld(shared->theirs);
            shared->countInside = OS_MutexHeldCount();
            shared->step = 1;
            WaitFor([shared] { return shared->step.load() == 2; });
            OS_MutexUnlock(shared->theirs);
            shared->step = 3;
        },
        &s, OS_THREAD_PRIORITY_NORMAL);
    ASSERT_TRUE(WaitFor([&] { return s.step.load() == 1; }));
    EXPECT_FALSE(OS_MutexIsHeld(s.theirs));  // held, but by the other thread
    EXPECT_EQ(1, OS_MutexHeldCount());
    s.step = 2;
    OS_JoinThread(t);
    EXPECT_EQ(3, s.step.load());
    EXPECT_FALSE(s.sawMineHeld);
    EXPECT_TRUE(s.sawTheirsHeld);
    EXPECT_EQ(1, s.countInside);
    OS_MutexUnlock(s.mine);
    OS_MutexDestroy(s.mine);
    OS_MutexDestroy(s.theirs);
}

namespace {

void LockAndReturn(void* p) { OS_MutexLock(static_cast<HMutex>(p)); }
void UnlockFromHere(void* p) { OS_MutexUnlock(static_cast<HMutex>(p)); }

}  // namespace

TEST(OsLockRecordDeathTest, MisusesStopTheProcess) {
    const char* kRecord = "Debug assert failed on line [0-9]+ of common/src/osutils.cpp. \\[Reason: ";
    const char* kMacro = "Debug assert failed on line [0-9]+ of tests/common/src/osutils_locks_test.cpp. \\[Reason: ";
    HMutex h = OS_MutexCreate(MT_BINARY);
    EXPECT_DEATH(
        {
            OS_MutexLock(h);
            OS_MutexLock(h);
        },
        std::string(kRecord) + "a binary mutex locked twice by one thread");
    EXPECT_DEATH(OS_MutexUnlock(h), std::string(kRecord) + "a mutex unlocked by a thread that does not hold it");
    EXPECT_DEATH(
        {
            OS_MutexLock(h);
            OS_JoinThread(OS_CreateThread(UnlockFromHere, h, OS_THREAD_PRIORITY_NORMAL));
        },
        std::string(kRecord) + "a mutex unlocked by a thread that does not hold it");
    EXPECT_DEATH(
        {
            OS_MutexLock(h);
            OS_MutexDestroy(h);
        },
        std::string(kRecord) + "a mutex destroyed while its thread holds it");
    EXPECT_DEATH(OS_JoinThread(OS_CreateThread(LockAndReturn, h, OS_THREAD_PRIORITY_NORMAL)),
                 "a thread ended holding 1 mutexes");
    EXPECT_DEATH(OS_ASSERT_HELD(h), std::string(kMacro) + "a required lock is not held: h");
    EXPECT_DEATH(
        {
            OS_MutexLock(h);
            OS_ASSERT_NOT_HELD(h);
        },
        std::string(kMacro) + "a lock that must not be held is: h");
    OS_MutexDestroy(h);
}

#else

TEST(OsLockRecord, ReleaseBuildsKeepNoRecord) {
    HMutex h = OS_MutexCreate(MT_BINARY);
    EXPECT_TRUE(OS_MutexIsHeld(h));
    OS_MutexLock(h);
    EXPECT_EQ(0, OS_MutexHeldCount());
    OS_MutexUnlock(h);
    OS_MutexDestroy(h);
}

#endif
