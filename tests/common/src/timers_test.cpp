// Timers under virtual time: expiry counting, drift, polling, wrap of the
// tick counter, delivery rules and the manager's lock.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "common/src/osutils.h"
#include "common/src/timers.h"

namespace {

struct CountingCallback : public ITimerCallback {
    int calls = 0;
    bool disableOnFirst = false;
    void TimerExpire(CTimer* pTimer) override {
        calls++;
        if (disableOnFirst) pTimer->Disable();
    }
};

}  // namespace

TEST(Timers, NonDriftingTimerDeliversEveryMissedPeriodAndKeepsItsPhase) {
    CTimerManager manager;
    CountingCallback cb;
    CTimer* pTimer = manager.CreateTimer(1000, false, true, &cb);
    pTimer->Enable();
    OS_TestAdvanceTickCount(3500);
    manager.Dispatch();
    EXPECT_EQ(3, cb.calls);
    // Real time moves on a little between Enable and Dispatch.
    EXPECT_GE(pTimer->GetCounter(), 500);
    EXPECT_LT(pTimer->GetCounter(), 600);
    OS_TestAdvanceTickCount(500);
    manager.Dispatch();
    EXPECT_EQ(4, cb.calls);
}

TEST(Timers, DriftingTimerCoalescesMissedPeriodsIntoOne) {
    CTimerManager manager;
    CountingCallback cb;
    CTimer* pTimer = manager.CreateTimer(1000, true, true, &cb);
    pTimer->Enable();
    OS_TestAdvanceTickCount(3500);
    manager.Dispatch();
    EXPECT_EQ(1, cb.calls);
    EXPECT_GE(pTimer->GetCounter(), 500);
    EXPECT_LT(pTimer->GetCounter(), 600);
}

TEST(Timers, PolledAutoResetTimerReportsEachMissedPeriodOnce) {
    CTimerManager manager;
    CTimer* pTimer = manager.CreateTimer(100, false, true, nullptr);
    pTimer->Enable();
    OS_TestAdvanceTickCount(350);
    manager.Dispatch();
    EXPECT_TRUE(pTimer->GetState());
    EXPECT_TRUE(pTimer->GetState());
    EXPECT_TRUE(pTimer->GetState());
    EXPECT_FALSE(pTimer->GetState());
}

TEST(Timers, PolledLevelTimerStaysSetUntilClearedOrReenabled) {
    CTimerManager manager;
    CTimer* pTimer = manager.CreateTimer(100, false, false, nullptr);
    pTimer->Enable();
    OS_TestAdvanceTickCount(150);
    manager.Dispatch();
    EXPECT_TRUE(pTimer->GetState());
    EXPECT_TRUE(pTimer->GetState());
    pTimer->Restart();  // a fresh period does not consume the expiry
    EXPECT_TRUE(pTimer->GetState());
    pTimer->ClearState();
    EXPECT_FALSE(pTimer->GetState());

    OS_TestAdvanceTickCount(250);
    manager.Dispatch();
    EXPECT_TRUE(pTimer->GetState());
    pTimer->Disable();
    EXPECT_FALSE(pTimer->GetState());
}

TEST(Timers, CountersReportDisabledAndPendingStates) {
    CTimerManager manager;
    CTimer* pTimer = manager.CreateTimer(1000, false, false, nullptr);
    EXPECT_EQ(-1, pTimer->GetTimeLeft());
    EXPECT_EQ(-1, pTimer->GetCounter());
    EXPECT_FALSE(pTimer->IsTicking());
    pTimer->Enable();
    EXPECT_TRUE(pTimer->IsTicking());
    EXPECT_EQ(1000, pTimer->GetTimeLeft());
    OS_TestAdvanceTickCount(1200);
    manager.Dispatch();
    EXPECT_EQ(0, pTimer->GetTimeLeft());
    EXPECT_EQ(1000, pTimer->GetCounter());
    EXPECT_FALSE(pTimer->IsTicking());
}

TEST(Timers, UpdateAcrossTheTickCounterWrapCountsOnlyTheTrueElapsedTime) {
    CTimerManager manager;
    CountingCallback cb;
    CTimer* pTimer = manager.CreateTimer(1000, false, true, &cb);
    // Put the counter 200 ms before its wrap.
    unsigned int now = OS_GetTickCount();
    OS_TestAdvanceTickCount(0xFFFFFFFFu - now - 200u);
    pTimer->Enable();
    unsigned int start = OS_GetTickCount();
    ASSERT_GT(start, 0xFFFFF000u);
    pTimer->UpdateTicks(start + 1500u);  // wraps to a small value
    EXPECT_EQ(1, cb.calls);
    EXPECT_GE(pTimer->GetCounter(), 500);
    EXPECT_LT(pTimer->GetCounter(), 600);
}

TEST(Timers, DisabledTimerIsSkippedAndEnableStartsAFullPeriod) {
    CTimerManager manager;
    CountingCallback cb;
    CTimer* pTimer = manager.CreateTimer(1000, false, true, &cb);
    OS_TestAdvanceTickCount(5000);
    manager.Dispatch();
    EXPECT_EQ(0, cb.calls);
    pTimer->Enable();
    OS_TestAdvanceTickCount(900);
    manager.Dispatch();
    EXPECT_EQ(0, cb.calls);
    OS_TestAdvanceTickCount(150);
    manager.Dispatch();
    EXPECT_EQ(1, cb.calls);
}

TEST(Timers, SetIntervalKeepsThePhaseAndCountsTheExcess) {
    CTimerManager manager;
    CTimer* pTimer = manager.CreateTimer(1000, false, true, nullptr);
    pTimer->Enable();
    unsigned int start = OS_GetTickCount();
    pTimer->UpdateTicks(start + 700);
    pTimer->SetInterval(300);
    int phase = pTimer->GetCounter();  // 700 plus the few ms between Enable and start
    EXPECT_GE(phase, 700);
    EXPECT_LT(phase, 800);
    pTimer->UpdateTicks(start + 700);  // ~700 ms of phase against 300: two expiries, ~100 left
    EXPECT_EQ(300, pTimer->GetCounter());  // pending expiries show the interval
    EXPECT_TRUE(pTimer->GetState());
    EXPECT_TRUE(pTimer->GetState());
    EXPECT_FALSE(pTimer->GetState());
    EXPECT_EQ(phase - 600, pTimer->GetCounter());
}

TEST(Timers, CallbackThatDisablesItsTimerEndsTheDelivery) {
    CTimerManager manager;
    CountingCallback cb;
    cb.disableOnFirst = true;
    CTimer* pTimer = manager.CreateTimer(100, false, true, &cb);
    pTimer->Enable();
    OS_TestAdvanceTickCount(1000);
    manager.Dispatch();
    EXPECT_EQ(1, cb.calls);
    EXPECT_EQ(-1, pTimer->GetCounter());
}

TEST(Timers, ExpireDeliversAtOnceOnlyWhenEnabled) {
    CTimerManager manager;
    CountingCallback cb;
    CTimer* pTimer = manager.CreateTimer(1000, false, true, &cb);
    pTimer->Expire();
    EXPECT_EQ(0, cb.calls);
    pTimer->Enable();
    pTimer->Expire();
    EXPECT_EQ(1, cb.calls);
    EXPECT_EQ(0, pTimer->GetCounter());

    CTimer* pPolled = manager.CreateTimer(1000, true, true, nullptr);
    pPolled->Enable();
    pPolled->Expire();
    pPolled->Expire();  // drifting: coalesced
    EXPECT_TRUE(pPolled->GetState());
    EXPECT_FALSE(pPolled->GetState());
}

TEST(Timers, DestroyTimerRemovesOnlyThatTimer) {
    CTimerManager manager;
    CountingCallback a, b;
    CTimer* pA = manager.CreateTimer(100, false, true, &a);
    CTimer* pB = manager.CreateTimer(100, false, true, &b);
    pA->Enable();
    pB->Enable();
    manager.DestroyTimer(pA);
    EXPECT_EQ(1, manager.GetTimerCount());
    OS_TestAdvanceTickCount(150);
    manager.Dispatch();
    EXPECT_EQ(0, a.calls);
    EXPECT_EQ(1, b.calls);
}

TEST(TimersDeathTest, IntervalBelowOneMillisecondIsRejected) {
    CTimerManager manager;
    EXPECT_DEATH(manager.CreateTimer(0, false, true, nullptr),
                 "Debug assert failed on line [0-9]+ of common/src/timers.cpp");
    CTimer* pTimer = manager.CreateTimer(10, false, true, nullptr);
    EXPECT_DEATH(pTimer->SetInterval(-5), "Timer interval -5 ms is below 1 ms");
}

TEST(TimersDeathTest, DestroyingAForeignTimerIsFatal) {
    CTimerManager manager, other;
    CTimer* pForeign = other.CreateTimer(10, false, true, nullptr);
    EXPECT_DEATH(manager.DestroyTimer(pForeign), "vector index -1");
}

namespace {
struct ReentrantCallback : public ITimerCallback {
    CTimerManager* pManager = nullptr;
    void TimerExpire(CTimer*) override { pManager->CreateTimer(10, false, true, nullptr); }
};
}  // namespace

TEST(TimersDeathTest, CreatingATimerFromACallbackOfTheSameManagerIsFatalNotAHang) {
    CTimerManager manager;
    ReentrantCallback cb;
    cb.pManager = &manager;
    CTimer* pTimer = manager.CreateTimer(10, false, true, &cb);
    pTimer->Enable();
    pTimer->Expire();  // outside Dispatch: allowed
    EXPECT_EQ(2, manager.GetTimerCount());
    OS_TestAdvanceTickCount(20);
    EXPECT_DEATH(manager.Dispatch(), "CreateTimer called from a timer callback of the same manager");
}

namespace {
struct BlockingCallback : public ITimerCallback {
    std::atomic<bool> inside{false};
    std::atomic<bool> release{false};
    void TimerExpire(CTimer* pTimer) override {
        pTimer->Disable();
        inside = true;
        while (!release) std::this_thread::yield();
    }
};
}  // namespace

TEST(TimerManagerThreads, CreateTimerFromAnotherThreadWaitsForTheDispatchPass) {
    CTimerManager manager;
    BlockingCallback cb;
    CTimer* pTimer = manager.CreateTimer(10, false, true, &cb);
    pTimer->Enable();
    OS_TestAdvanceTickCount(20);
    std::thread dispatcher([&] { manager.Dispatch(); });
    while (!cb.inside) std::this_thread::yield();
    std::atomic<bool> created{false};
    std::thread creator([&] {
        CTimer* pNew = manager.CreateTimer(10, false, true, nullptr);
        created = true;
        manager.DestroyTimer(pNew);
    });
    OS_Sleep(50);
    EXPECT_FALSE(created.load());  // held back by the pass's lock
    cb.release = true;
    dispatcher.join();
    creator.join();
    EXPECT_TRUE(created.load());
}

namespace {
struct OrderCallback : public ITimerCallback {
    std::vector<CTimer*>* pOrder = nullptr;
    CTimer* pToEnable = nullptr;
    void TimerExpire(CTimer* pTimer) override {
        pOrder->push_back(pTimer);
        if (pToEnable) pToEnable->Enable();
    }
};
}  // namespace

TEST(TimerRunningList, DispatchLooksOnlyAtTimersThatRunOrJustStopped) {
    CTimerManager manager;
    std::vector<CTimer*> timers;
    for (int i = 0; i < 1000; i++) timers.push_back(manager.CreateTimer(100, false, true, nullptr));
    EXPECT_EQ(0, manager.GetListedCount());
    timers[10]->Enable();
    timers[500]->Enable();
    timers[500]->Enable();  // listed once
    EXPECT_EQ(2, manager.GetListedCount());
    OS_TestAdvanceTickCount(150);
    manager.Dispatch();
    EXPECT_TRUE(timers[10]->GetState());
    EXPECT_TRUE(timers[500]->GetState());
    EXPECT_FALSE(timers[11]->GetState());
    timers[10]->Disable();
    manager.Dispatch();  // a stopped timer leaves the list at the next pass
    EXPECT_EQ(1, manager.GetListedCount());
    // Destroying a listed timer takes it off the list too.
    manager.DestroyTimer(timers[500]);
    EXPECT_EQ(0, manager.GetListedCount());
    OS_TestAdvanceTickCount(150);
    manager.Dispatch();
    EXPECT_EQ(999, manager.GetTimerCount());
    // Stopped and started again before a pass: still counts normally.
    timers[10]->Enable();
    timers[10]->Disable();
    timers[10]->Enable();
    OS_TestAdvanceTickCount(150);
    manager.Dispatch();
    EXPECT_TRUE(timers[10]->GetState());
}

TEST(TimerRunningList, TimersStartedInAnyOrderExpireInCreationOrder) {
    CTimerManager manager;
    std::vector<CTimer*> order;
    OrderCallback cb;
    cb.pOrder = &order;
    CTimer* pFirst = manager.CreateTimer(100, false, true, &cb);
    CTimer* pSecond = manager.CreateTimer(100, false, true, &cb);
    CTimer* pThird = manager.CreateTimer(100, false, true, &cb);
    pThird->Enable();
    pFirst->Enable();
    pSecond->Enable();
    OS_TestAdvanceTickCount(150);
    manager.Dispatch();
    ASSERT_EQ(3u, order.size());
    EXPECT_EQ(pFirst, order[0]);
    EXPECT_EQ(pSecond, order[1]);
    EXPECT_EQ(pThird, order[2]);
}

TEST(TimerRunningList, TimerStartedByACallbackCountsFromTheNextPass) {
    CTimerManager manager;
    std::vector<CTimer*> order;
    OrderCallback first, second;
    first.pOrder = &order;
    second.pOrder = &order;
    CTimer* pFirst = manager.CreateTimer(100, false, true, &first);
    CTimer* pSecond = manager.CreateTimer(100, false, true, &second);
    first.pToEnable = pSecond;
    pFirst->Enable();
    OS_TestAdvanceTickCount(150);
    manager.Dispatch();
    // The second timer's period began inside this pass: nothing is due yet.
    ASSERT_EQ(1u, order.size());
    EXPECT_GT(pSecond->GetTimeLeft(), 0);
    first.pToEnable = nullptr;
    OS_TestAdvanceTickCount(100);
    manager.Dispatch();
    ASSERT_EQ(3u, order.size());
    EXPECT_EQ(pFirst, order[1]);
    EXPECT_EQ(pSecond, order[2]);
}
