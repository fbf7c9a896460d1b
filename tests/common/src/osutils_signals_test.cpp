// Signals and daemon start-up: threads of the OS layer block the signals the
// main thread serves, the term waiter runs its hook on the waiting thread for
// work a handler recorded, SIGINT ends the wait, and a daemon's descriptors 0
// to 2 are /dev/null. Real signals to this process, handlers restored after.
#include <gtest/gtest.h>

#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <set>
#include <string>

#include "common/src/osutils.h"
#include "tests/support/waitfor.h"

namespace {

const struct {
    int signo;
    bool blocked;
} kWorkerMask[] = {
    {SIGINT, true},   {SIGCHLD, true},  {SIGTERM, true}, {SIGHUP, true},  {SIGQUIT, true},
    {SIGPIPE, false}, {SIGSEGV, false}, {SIGBUS, false}, {SIGILL, false}, {SIGFPE, false},
};

}  // namespace

TEST(OsSignalsThreads, WorkerThreadsBlockTheMainThreadsSignalsOnly) {
    sigset_t before, seen, after;
    ASSERT_EQ(0, pthread_sigmask(SIG_SETMASK, nullptr, &before));
    HThread t = OS_CreateThread(
        [](void* p) { pthread_sigmask(SIG_SETMASK, nullptr, static_cast<sigset_t*>(p)); }, &seen,
        OS_THREAD_PRIORITY_NORMAL);
    OS_JoinThread(t);
    ASSERT_EQ(0, pthread_sigmask(SIG_SETMASK, nullptr, &after));
    for (const auto& c : kWorkerMask) {
        EXPECT_EQ(c.blocked, sigismember(&seen, c.signo) == 1) << strsignal(c.signo);
        EXPECT_EQ(sigismember(&before, c.signo), sigismember(&after, c.signo)) << "creator's mask changed";
    }
}

namespace {

const int kRecordedEarly = -7;  // posted before the wait begins
const void* g_pWaiterToken = nullptr;
std::atomic<int> g_HookRuns(0);
std::atomic<int> g_HookRunsElsewhere(0);
std::atomic<bool> g_SawEarly(false);
std::atomic<int> g_ReapedPid(0);

// The daemon's pattern: the handler only reaps and records.
void ReapAndPost(int) {
    int saved = errno;
    OS_PostToTermWaiter(static_cast<int>(wait(nullptr)));
    errno = saved;
}

void ServiceRecords() {
    g_HookRuns++;
    if (OS_CurrentThreadToken() != g_pWaiterToken) g_HookRunsElsewhere++;
    int value;
    while (OS_TakePostedValue(&value)) {
        if (value == kRecordedEarly) {
            g_SawEarly = true;
        } else {
            g_ReapedPid = value;
        }
    }
}

struct Driver_t {
    std::atomic<bool> childServiced{false};
};

// Once the wait has begun: a child exits, its reaping must reach the hook;
// then SIGINT ends the wait (sent even on failure, so the test ends).
void Drive(void* p) {
    Driver_t* d = static_cast<Driver_t*>(p);
    WaitFor([] { return g_HookRuns.load() >= 1; });
    pid_t pid = fork();
    if (pid == 0) _exit(0);
    d->childServiced = WaitFor([pid] { return g_ReapedPid.load() == pid; });
    kill(getpid(), SIGINT);
}

}  // namespace

TEST(OsSignalsThreads, ChildExitIsServicedOnTheWaitingThreadAndSigIntEndsTheWait) {
    struct sigaction reap = {}, oldInt, oldChld, now;
    reap.sa_handler = ReapAndPost;
    sigemptyset(&reap.sa_mask);
    ASSERT_EQ(0, sigaction(SIGINT, nullptr, &oldInt));
    ASSERT_EQ(0, sigaction(SIGCHLD, &reap, &oldChld));
    g_pWaiterToken = OS_CurrentThreadToken();
    ASSERT_TRUE(OS_PostToTermWaiter(kRecordedEarly));
    OS_SetTermWaitHook(ServiceRecords);

    Driver_t driver;
    alarm(30);  // a lost SIGINT ends the process rather than hanging the test
    HThread t = OS_CreateThread(Drive, &driver, OS_THREAD_PRIORITY_NORMAL);
    OS_WaitForTerm();
    alarm(0);
    OS_JoinThread(t);

    EXPECT_TRUE(g_SawEarly.load());  // the first run, as the wait began
    EXPECT_TRUE(driver.childServiced.load());
    EXPECT_GE(g_HookRuns.load(), 2);
    EXPECT_EQ(0, g_HookRunsElsewhere.load());
    // Further interrupts are ignored.
    ASSERT_EQ(0, sigaction(SIGINT, nullptr, &now));
    EXPECT_EQ(SIG_IGN, now.sa_handler);
    raise(SIGINT);

    OS_SetTermWaitHook(nullptr);
    sigaction(SIGINT, &oldInt, nullptr);
    sigaction(SIGCHLD, &oldChld, nullptr);
}

TEST(OsSignals, PostedValuesWaitForTheHookUpToTheLimit) {
    std::multiset<int> posted, taken;
    for (int i = 0; i < 64; i++) {
        ASSERT_TRUE(OS_PostToTermWaiter(i - 10));
        posted.insert(i - 10);
    }
    EXPECT_FALSE(OS_PostToTermWaiter(99));  // full: refused, not overwriting
    int value;
    while (OS_TakePostedValue(&value)) taken.insert(value);
    EXPECT_EQ(posted, taken);
    EXPECT_FALSE(OS_PostToTermWaiter(INT_MIN));  // the empty-slot mark
    EXPECT_FALSE(OS_TakePostedValue(&value));
}

TEST(OsSignals, SignalSafeWriteFormatsTheFirstIntegerOnly) {
    const struct {
        const char* format;
        int value;
        const char* text;
    } kCases[] = {
        {"Child pid %d exited.\n", 4242, "Child pid 4242 exited.\n"},
        {"%d", 0, "0"},
        {"%d", -17, "-17"},
        {"%d", INT_MIN, "-2147483648"},
        {"%d", INT_MAX, "2147483647"},
        {"%d and %d", 1, "1 and %d"},
        {"no number, 100%", 3, "no number, 100%"},
    };
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    for (const auto& c : kCases) {
        EXPECT_EQ(static_cast<int>(strlen(c.text)), OS_SignalSafeWrite(fds[1], c.format, c.value)) << c.format;
        char buffer[256] = {};
        ssize_t n = read(fds[0], buffer, sizeof buffer - 1);
        EXPECT_EQ(std::string(c.text), std::string(buffer, n > 0 ? static_cast<size_t>(n) : 0));
    }
    close(fds[0]);
    close(fds[1]);
}

namespace {

// What the daemonised grandchild finds, written to the test through a pipe.
struct DaemonReport_t {
    int socketFd;
    int devNullStdio;  // bit n: descriptor n is the /dev/null device
    int sessionLeader;
};

}  // namespace

TEST(OsDaemon, StandardDescriptorsAreDevNullSoSocketsComeAfter) {
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(fds[0]);
        OS_StartDaemon();  // this child exits 0; its child returns here
        DaemonReport_t r = {};
        r.socketFd = socket(AF_INET, SOCK_STREAM, 0);
        struct stat null, st;
        if (stat("/dev/null", &null) == 0) {
            for (int fd = 0; fd < 3; fd++) {
                if (fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == null.st_rdev) r.devNullStdio |= 1 << fd;
            }
        }
        r.sessionLeader = getsid(0) == getpid();
        _exit(write(fds[1], &r, sizeof r) == sizeof r ? 0 : 1);
    }
    close(fds[1]);
    int status = -1;
    EXPECT_TRUE(WaitFor([&] { return waitpid(child, &status, WNOHANG) == child; }));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    DaemonReport_t r = {};
    struct pollfd readable = {fds[0], POLLIN, 0};
    ASSERT_EQ(1, poll(&readable, 1, 10000)) << "the daemon never reported";
    ASSERT_EQ(static_cast<ssize_t>(sizeof r), read(fds[0], &r, sizeof r));
    close(fds[0]);
    EXPECT_GE(r.socketFd, 3);
    EXPECT_EQ(7, r.devNullStdio);
    EXPECT_TRUE(r.sessionLeader);
}
