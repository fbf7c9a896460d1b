#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>
#include <sys/resource.h>

#include <atomic>
#include <set>

#include "common/src/cbase.h"
#include "common/src/osutils.h"
#include "tests/support/waitfor.h"

using ::testing::ExitedWithCode;

static const char* kAssertOsutils = "Debug assert failed on line [0-9]+ of common/src/osutils.cpp";

TEST(OsRandom, StaysWithinItsRange) {
    for (int i = 0; i < 100; i++) EXPECT_EQ(0, OS_Random(0));
    std::set<int> seen;
    for (int i = 0; i < 2000; i++) {
        int v = OS_Random(9);
        ASSERT_GE(v, 0);
        ASSERT_LE(v, 9);
        seen.insert(v);
    }
    EXPECT_EQ(10u, seen.size());
    EXPECT_GE(OS_Random(2147483647), 0);
}

TEST(OsRandom, ThirtyTwoBitValuesReachTheTopBit) {
    bool top = false;
    for (int i = 0; i < 200 && !top; i++) top = (OS_Random() & 0x80000000u) != 0;
    EXPECT_TRUE(top);
}

TEST(OsRandomThreads, ThreadsStartedInARowGetDifferentSequences) {
    struct Draw {
        DWORD values[4];
    } a, b;
    auto body = [](void* p) {
        Draw* d = static_cast<Draw*>(p);
        for (DWORD& v : d->values) v = OS_Random();
    };
    HThread ta = OS_CreateThread(body, &a, OS_THREAD_PRIORITY_NORMAL);
    HThread tb = OS_CreateThread(body, &b, OS_THREAD_PRIORITY_NORMAL);
    OS_JoinThread(ta);
    OS_JoinThread(tb);
    EXPECT_NE(0, memcmp(a.values, b.values, sizeof a.values));
}

TEST(OsRandomDeathTest, BeforeInitStops) {
    EXPECT_DEATH(
        {
            OS_DeInit();
            OS_Random(5);
        },
        "OS_Random before OS_Init");
}

TEST(OsTime, TickDifferencesSurviveTheWrap) {
    unsigned int now = OS_GetTickCount();
    unsigned int shift = 0xFFFFFFFFu - now - 5;  // 5 ms before the wrap
    OS_TestAdvanceTickCount(shift);
    unsigned int before = OS_GetTickCount();
    OS_Sleep(20);
    unsigned int after = OS_GetTickCount();
    OS_TestAdvanceTickCount(0u - shift);  // back to real time
    EXPECT_LT(after, before);             // the raw counter wrapped
    EXPECT_GE(after - before, 20u);
    EXPECT_LT(after - before, 2000u);
}

TEST(OsTime, VirtualTimeAdvancesTheCounterOnly) {
    unsigned int t0 = OS_GetTickCount();
    unsigned int wall0 = OS_GetTime();
    OS_TestAdvanceTickCount(6 * 60 * 1000);
    unsigned int t1 = OS_GetTickCount();
    OS_TestAdvanceTickCount(0u - 6 * 60 * 1000);
    EXPECT_GE(t1 - t0, 360000u);
    EXPECT_LT(OS_GetTime() - wall0, 5u);
}

TEST(OsTime, SleepLimits) {
    unsigned int t0 = OS_GetTickCount();
    OS_Sleep(0);
    EXPECT_LT(OS_GetTickCount() - t0, 50u);
    EXPECT_EQ(0, OS_GetTimeZoneBias());
}

TEST(OsTimeDeathTest, SleepOfFiveMinutesStops) {
    EXPECT_DEATH(OS_Sleep(300000), kAssertOsutils);
    EXPECT_DEATH(OS_Sleep(-1), kAssertOsutils);
}

TEST(OsAssertDeathTest, LogsLineFileMessageThenTrace) {
    EXPECT_DEATH(OS_Assert(10, "main", "%s=%d", "a", 5),
                 "Debug assert failed on line 10 of main. \\[a=5\\]\n(.*\n)*Obtained [0-9]+ stack frames.");
    EXPECT_DEATH(OS_Assert(12, "common/src/x.cpp", nullptr), "Debug assert failed on line 12 of common/src/x.cpp.\n");
}

static void ObserveAssert(int line, const char* file, const char* msg) {
    fprintf(stderr, "observer saw %d %s <%s>\n", line, file, msg);
}

TEST(OsAssertDeathTest, ObserverSeesTheFailureBeforeItIsLogged) {
    EXPECT_DEATH(
        {
            OS_Init(ObserveAssert);
            OS_Assert(7, "f.cpp", "x%d", 1);
        },
        "observer saw 7 f.cpp <x1>\nDebug assert failed on line 7 of f.cpp. \\[x1\\]");
}

TEST(OsAssertDeathTest, MacroNamesTheSourceRelativeToTheRoot) {
    EXPECT_DEATH(OS_ASSERT(1 + 1 == 3),
                 "Debug assert failed on line [0-9]+ of tests/common/src/osutils_test.cpp.");
}

TEST(OsAssertDeathTest, CurrentThreadIdIsNotAvailable) { EXPECT_DEATH(OS_CurrentThreadID(), kAssertOsutils); }

TEST(OsInitDeathTest, LogLevelFromTheEnvironment) {
    EXPECT_EXIT(
        {
            setenv("LOG_LEVEL", "3", 1);
            OS_Init(nullptr);
            _exit(g_DebugLevel);
        },
        ExitedWithCode(3), "Changing debug level to 3");
    EXPECT_EXIT(
        {
            g_DebugLevel = 5;
            setenv("LOG_LEVEL", "abc", 1);
            OS_Init(nullptr);
            _exit(g_DebugLevel);
        },
        ExitedWithCode(0), "Changing debug level to 0");
    EXPECT_EXIT(
        {
            g_DebugLevel = 4;
            unsetenv("LOG_LEVEL");
            OS_Init(nullptr);
            _exit(g_DebugLevel);
        },
        ExitedWithCode(4), "");
}

static void InitWithOpenFilesLimit(rlim_t limit) {
    struct rlimit rl;
    getrlimit(RLIMIT_NOFILE, &rl);
    rl.rlim_cur = limit;
    if (setrlimit(RLIMIT_NOFILE, &rl) != 0) _exit(2);
    OS_Init(nullptr);
    _exit(0);
}

TEST(OsInitDeathTest, WarnsWhenOpenFilesAreFewerThanTheSocketSet) {
    EXPECT_EXIT(InitWithOpenFilesLimit(1024), ExitedWithCode(0),
                "Warning: maximum open file handles \\(1024\\) is less than socket set size \\(4096\\)");
    struct rlimit rl;
    getrlimit(RLIMIT_NOFILE, &rl);
    if (rl.rlim_max >= 4096) {
        EXPECT_EXIT(InitWithOpenFilesLimit(4096), ExitedWithCode(0), "Maximum open file handles is 4096");
    }
}

TEST(OsInit, ReadyBetweenInitAndDeInitAndGlobalLockWorks) {
    EXPECT_TRUE(OS_Ready());
    OS_Lock();
    OS_UnLock();
}

TEST(OsEnv, ReadsSetAndUnsetVariables) {
    setenv("NB_TEST_VARIABLE", "value", 1);
    CString v("stale");
    EXPECT_TRUE(OS_GetEnv("NB_TEST_VARIABLE", &v));
    EXPECT_STREQ("value", v.Ptr());
    unsetenv("NB_TEST_VARIABLE");
    EXPECT_FALSE(OS_GetEnv("NB_TEST_VARIABLE", &v));
    EXPECT_STREQ("", v.Ptr());
    EXPECT_GT(OS_GetMaxOpenFiles(), 0);
    EXPECT_EQ(0, CString(OS_GetLoadAvg()).Find("load average: ", 0));
    EXPECT_EQ(getpid(), OS_CurrentProcessID());
}

TEST(OsThreadsThreads, DetachedThreadRunsOn) {
    static std::atomic<bool> ran(false);
    HThread t = OS_CreateThread([](void*) { ran = true; }, nullptr, OS_THREAD_PRIORITY_NORMAL);
    OS_DetachThread(t);
    EXPECT_TRUE(WaitFor([] { return ran.load(); }));
}

TEST(OsInitDeathTest, OpenFilesLimitIsRaisedToTheHardLimitOnly) {
    EXPECT_EXIT(
        {
            struct rlimit rl;
            getrlimit(RLIMIT_NOFILE, &rl);
            rl.rlim_cur = 256;
            if (setrlimit(RLIMIT_NOFILE, &rl) != 0) _exit(2);
            rlim_t hard = rl.rlim_max;
            int raised = OS_RaiseOpenFilesLimit(65536);
            rlim_t expected = hard > 65536 ? 65536 : hard;
            if (raised != static_cast<int>(expected)) _exit(3);
            // Never lowered.
            if (OS_RaiseOpenFilesLimit(100) != raised) _exit(4);
            _exit(0);
        },
        ExitedWithCode(0), "");
}
