#include <gtest/gtest.h>

#include <errno.h>
#include <unistd.h>

#include <atomic>

#include "common/src/datatypes/ithreadable.h"
#include "common/src/datatypes/ithreadsafe.h"
#include "common/src/datatypes/mutex.h"
#include "common/src/datatypes/signal.h"
#include "tests/support/waitfor.h"

namespace {

// Loops until told to stop, counting its passes under its own lock.
class Counter : public IThreadable, public IThreadSafe {
public:
    Counter() : IThreadSafe(MT_BINARY) {}
    ~Counter() override {
        if (IsThreadPresent()) EndThread();
    }
    void ThreadEntry(CSignal& signal) override {
        while (!signal.CheckSignal()) {
            Lock();
            m_Passes++;
            UnLock();
            OS_Sleep(1);
        }
    }
    int Passes() {
        Lock();
        int n = m_Passes;
        UnLock();
        return n;
    }

private:
    int m_Passes = 0;
};

// Returns on its own without looking at the signal.
class OneShot : public IThreadable {
public:
    void ThreadEntry(CSignal&) override { m_Ran = true; }
    std::atomic<bool> m_Ran{false};
};

// Never stops: destroying it while running is the contract breach.
class Stubborn : public IThreadable {
public:
    void ThreadEntry(CSignal& signal) override {
        m_Entered = true;
        while (!signal.CheckSignal()) OS_Sleep(1);
    }
    std::atomic<bool> m_Entered{false};
};

class Observer : public ISignalCallback {
public:
    void SignalSet(CSignal* pSignal) override {
        m_pLast = pSignal;
        m_Calls++;
    }
    CSignal* m_pLast = nullptr;
    int m_Calls = 0;
};

}  // namespace

TEST(Signal, StaysSetUntilCleared) {
    CSignal s(false);
    EXPECT_FALSE(s.CheckSignal());
    s.SetSignal();
    EXPECT_TRUE(s.CheckSignal());
    EXPECT_TRUE(s.CheckSignal());
    s.ClearSignal();
    EXPECT_FALSE(s.CheckSignal());
}

TEST(Signal, AutoClearingSignalNotifiesButDoesNotStaySet) {
    CSignal s(true);
    Observer o;
    s.AddCallback(&o);
    s.SetSignal();
    EXPECT_FALSE(s.CheckSignal());
    EXPECT_EQ(1, o.m_Calls);
    EXPECT_EQ(&s, o.m_pLast);
    s.SetSignal();
    EXPECT_EQ(2, o.m_Calls);
    s.RemoveCallback(&o);
    s.SetSignal();
    EXPECT_EQ(2, o.m_Calls);
}

TEST(Signal, ObserversAreNotifiedOnlyOnTheFirstSet) {
    CSignal s(false);
    Observer o;
    s.AddCallback(&o);
    s.SetSignal();
    s.SetSignal();
    EXPECT_EQ(1, o.m_Calls);
    s.ClearSignal();
    s.SetSignal();
    EXPECT_EQ(2, o.m_Calls);
}

TEST(MutexThreads, RecursiveMutexNeedsAnUnlockPerLock) {
    HMutex h = OS_MutexCreate(MT_RECURSIVE);
    OS_MutexLock(h);
    OS_MutexLock(h);
    OS_MutexUnlock(h);
    // Still held by this thread after one of two unlocks: another thread's
    // try fails at once (busy), and succeeds after the second unlock.
    struct Args {
        HMutex h;
        int rc = -1;
    } args;
    args.h = h;
    auto tryLock = [](void* p) {
        Args* a = static_cast<Args*>(p);
        a->rc = pthread_mutex_trylock(&a->h->mutex);
        if (a->rc == 0) pthread_mutex_unlock(&a->h->mutex);
    };
    HThread t = OS_CreateThread(tryLock, &args, OS_THREAD_PRIORITY_NORMAL);
    OS_JoinThread(t);
    EXPECT_EQ(EBUSY, args.rc);
    OS_MutexUnlock(h);
    t = OS_CreateThread(tryLock, &args, OS_THREAD_PRIORITY_NORMAL);
    OS_JoinThread(t);
    EXPECT_EQ(0, args.rc);
    OS_MutexDestroy(h);
}

TEST(MutexThreads, BinaryMutexSerialisesCounters) {
    struct Shared {
        CMutex mutex;
        long long count = 0;
    } shared;
    auto body = [](void* p) {
        Shared* s = static_cast<Shared*>(p);
        for (int i = 0; i < 20000; i++) {
            s->mutex.Lock();
            s->count++;
            s->mutex.UnLock();
        }
    };
    HThread a = OS_CreateThread(body, &shared, OS_THREAD_PRIORITY_NORMAL);
    HThread b = OS_CreateThread(body, &shared, OS_THREAD_PRIORITY_HIGH);
    OS_JoinThread(a);
    OS_JoinThread(b);
    EXPECT_EQ(40000, shared.count);
}

TEST(ThreadableThreads, EndThreadStopsAndJoins) {
    Counter c;
    EXPECT_FALSE(c.IsThreadPresent());
    c.StartThread(OS_THREAD_PRIORITY_NORMAL);
    EXPECT_TRUE(c.IsThreadPresent());
    ASSERT_TRUE(WaitFor([&] { return c.Passes() >= 3; }));
    EXPECT_TRUE(c.IsThreadRunning());
    c.EndThread();
    EXPECT_FALSE(c.IsThreadPresent());
    EXPECT_FALSE(c.IsThreadRunning());
}

TEST(ThreadableThreads, RestartGetsAClearedSignal) {
    Counter c;
    c.StartThread(OS_THREAD_PRIORITY_NORMAL);
    ASSERT_TRUE(WaitFor([&] { return c.Passes() >= 1; }));
    c.EndThread();  // leaves the stop signal set
    int before = c.Passes();
    c.StartThread(OS_THREAD_PRIORITY_LOW);
    // With a stale stop signal the new thread would return before its first pass.
    ASSERT_TRUE(WaitFor([&] { return c.Passes() >= before + 3; }));
    EXPECT_TRUE(c.IsThreadRunning());
    EXPECT_TRUE(c.IsThreadPresent());
    c.EndThread();
    EXPECT_FALSE(c.IsThreadRunning());
}

TEST(ThreadableThreads, EntryThatReturnsLeavesTheThreadPresentUntilEnded) {
    OneShot o;
    o.StartThread(OS_THREAD_PRIORITY_NORMAL);
    ASSERT_TRUE(WaitFor([&] { return !o.IsThreadRunning(); }));
    EXPECT_TRUE(o.m_Ran.load());
    EXPECT_TRUE(o.IsThreadPresent());
    o.EndThread();
    EXPECT_FALSE(o.IsThreadPresent());
}

TEST(ThreadableDeathTest, DestroyingARunningThreadStops) {
    EXPECT_DEATH(
        {
            Stubborn* s = new Stubborn();
            s->StartThread(OS_THREAD_PRIORITY_NORMAL);
            // The body runs before the object goes (a time-out fails the match).
            if (!WaitFor([&] { return s->m_Entered.load(); })) _exit(99);
            delete s;
        },
        "Debug assert failed on line [0-9]+ of common/src/datatypes/ithreadable.h");
}

TEST(MutexDeathTest, NullHandleStops) {
    EXPECT_DEATH(OS_MutexLock(nullptr), "Debug assert failed on line [0-9]+ of common/src/osutils.cpp");
}
