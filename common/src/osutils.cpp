// Linux implementation of the OS layer's core: start-up and shut-down, the
// interrupt wait and the signal plumbing around it, assertion and stack
// trace, mutexes with the debug lock record, threads, time, sleep, random
// numbers and the environment (files and processes: osutils_files.cpp).
// Locks: g_Mutex (OS_Lock) is a leaf; nothing here takes another lock while
// holding it. The term waiter's state is lock-free, because signal handlers
// write it.
#include "common/src/osutils.h"

#include <cxxabi.h>
#include <errno.h>
#include <execinfo.h>
#include <fcntl.h>
#include <limits.h>
#include <locale.h>
#include <semaphore.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "common/src/cbase.h"
#include "common/src/datatypes/mutex.h"

// The number of descriptors the connection manager's socket sets hold.
static const int kSocketSetSize = 4096;

AssertFn_t g_pAssertFn = nullptr;
bool g_OSInitDone = false;
static CMutex* g_Mutex = nullptr;  // owned between OS_Init and OS_DeInit

// Signal handlers touch only these atomics and the semaphore.
static_assert(std::atomic<int>::is_always_lock_free, "signal handlers need lock-free atomics");

namespace {
// The term waiter: SigIntHandler and OS_WakeTermWaiter set a flag and post
// the semaphore (sem_post is async-signal-safe and any thread may post, which
// a mutex unlocked from a handler is not); OS_WaitForTerm sleeps on it. It is
// made at static initialisation, so it exists before any handler can post.
struct TermWaiter_t {
    sem_t semaphore;
    std::atomic<int> termRequested{0};  // SIGINT arrived
    std::atomic<int> wakePending{0};    // the hook is due; one post per 0 -> 1
    std::atomic<void (*)()> hook{nullptr};
    TermWaiter_t() {
        if (sem_init(&semaphore, 0, 0) != 0) abort();  // before main: no log yet
    }
};
TermWaiter_t g_TermWaiter;

// Values posted for the hook, stored as value ^ INT_MIN so that a zero slot
// is a free one and the table needs no constructor (zero before main runs).
// Producers claim a slot with a compare-exchange, so handlers on several
// threads, or one interrupting the hook on its own thread, never collide.
const int kPostedSlots = 64;
std::atomic<int> g_PostedSlots[kPostedSlots];
}  // namespace

// Each thread has its own generator, seeded at thread start from the
// creating thread's generator (the main thread's from the clock in OS_Init).
static thread_local unsigned int t_RandState = 1;

// Virtual time for tests: added to the monotonic clock.
static std::atomic<unsigned int> g_TickOffset(0);

// ---------------------------------------------------------------------------
// Start-up and shut-down

void OS_Init(AssertFn_t pAssertFn) {
    g_pAssertFn = pAssertFn;

    CString level;
    if (OS_GetEnv("LOG_LEVEL", &level)) Log_SetLevel(level.ToInteger());

    t_RandState = static_cast<unsigned int>(time(nullptr));
    srand(t_RandState);
    g_OSInitDone = true;

    // The text type converts ISO-8859-1 by itself, so a missing locale only
    // affects C library calls that classify characters.
    if (setlocale(LC_CTYPE, "en_US.ISO-8859-1") == nullptr) {
        Log_PrintAll("Warning: locale en_US.ISO-8859-1 is not available; using the built-in ISO-8859-1 conversion\n");
    }

    int maxFiles = OS_GetMaxOpenFiles();
    if (maxFiles >= kSocketSetSize) {
        Log_PrintAll("Maximum open file handles is %d\n", maxFiles);
    } else {
        Log_PrintAll("Warning: maximum open file handles (%d) is less than socket set size (%d)\n", maxFiles,
                     kSocketSetSize);
    }

    Heap_Init();
    if (!g_Mutex) g_Mutex = new CMutex();
}

void OS_DeInit() {
    delete g_Mutex;
    g_Mutex = nullptr;
    Heap_DeInit();
    g_OSInitDone = false;
}

bool OS_Ready() { return g_OSInitDone; }

static void SigIntHandler(int) {
    int saved = errno;
    // A second interrupt during shut-down has no effect.
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGINT, &ignore, nullptr);
    g_TermWaiter.termRequested.store(1);
    sem_post(&g_TermWaiter.semaphore);
    errno = saved;
}

void OS_SetTermWaitHook(void (*hook)()) { g_TermWaiter.hook.store(hook); }

void OS_WakeTermWaiter() {
    int saved = errno;
    if (g_TermWaiter.wakePending.exchange(1) == 0) sem_post(&g_TermWaiter.semaphore);
    errno = saved;
}

bool OS_PostToTermWaiter(int value) {
    int stored = value ^ INT_MIN;
    if (stored == 0) return false;  // INT_MIN would read as a free slot
    for (std::atomic<int>& slot : g_PostedSlots) {
        int expected = 0;
        if (slot.compare_exchange_strong(expected, stored)) {
            OS_WakeTermWaiter();
            return true;
        }
    }
    return false;
}

bool OS_TakePostedValue(int* value) {
    for (std::atomic<int>& slot : g_PostedSlots) {
        int taken = slot.exchange(0);
        if (taken != 0) {
            *value = taken ^ INT_MIN;
            return true;
        }
    }
    return false;
}

int OS_SignalSafeWrite(int fd, const char* format, int value) {
    char text[256];
    size_t n = 0;
    bool replaced = false;
    for (const char* p = format; *p && n < sizeof text; p++) {
        if (!replaced && p[0] == '%' && p[1] == 'd') {
            // Digits backwards into a scratch buffer; unsigned so INT_MIN works.
            char digits[12];
            int count = 0;
            unsigned int magnitude = value < 0 ? 0u - static_cast<unsigned int>(value) : static_cast<unsigned int>(value);
            do {
                digits[count++] = static_cast<char>('0' + magnitude % 10u);
                magnitude /= 10u;
            } while (magnitude != 0);
            if (value < 0) digits[count++] = '-';
            while (count > 0 && n < sizeof text) text[n++] = digits[--count];
            replaced = true;
            p++;
        } else {
            text[n++] = *p;
        }
    }
    return static_cast<int>(write(fd, text, n));
}

static void RunTermWaitHook() {
    void (*hook)() = g_TermWaiter.hook.load();
    if (hook) hook();
}

void OS_WaitForTerm() {
    g_TermWaiter.termRequested.store(0);
    struct sigaction action = {};
    action.sa_handler = SigIntHandler;
    sigemptyset(&action.sa_mask);
    OS_ASSERT(sigaction(SIGINT, &action, nullptr) == 0);
    // Work recorded before the wait began; a wake from here on posts again.
    g_TermWaiter.wakePending.store(0);
    RunTermWaitHook();
    for (;;) {
        // A handler interrupting the wait (SIGCHLD) makes it fail with EINTR.
        while (sem_wait(&g_TermWaiter.semaphore) != 0) {
            OS_ASSERTMSG(errno == EINTR, "sem_wait failed: errno %d", errno);
        }
        // Stale posts (a wake merged into the first run) just loop again.
        if (g_TermWaiter.wakePending.exchange(0) != 0) RunTermWaitHook();
        if (g_TermWaiter.termRequested.load() != 0) return;
    }
}

void OS_StartDaemon() {
    pid_t pid = fork();
    if (pid < 0) exit(1);
    if (pid > 0) exit(0);
    if (setsid() < 0) exit(1);
    close(0);
    close(1);
    close(2);
    // The lowest free descriptors are 0 to 2 now: without these the next
    // socket opened would become standard output and receive log lines.
    int fd = open("/dev/null", O_RDWR);
    if (fd != 0) exit(1);
    if (dup2(0, 1) != 1 || dup2(0, 2) != 2) exit(1);
}

void OS_ExitProcess(int exitcode) { exit(exitcode); }

// ---------------------------------------------------------------------------
// Assertion and diagnostics

void OS_Assert(int line, const char* file, const char* msg, ...) {
    // An assertion raised while reporting one (the log itself failing) must
    // not recurse: the second one goes straight to standard error.
    static thread_local bool t_InAssert = false;
    if (t_InAssert) {
        fprintf(stderr, "Debug assert failed on line %d of %s (while reporting an assertion).\n", line, file);
        abort();
    }
    t_InAssert = true;

    CString text;
    if (msg) {
        va_list args;
        va_start(args, msg);
        text = VSprintf(msg, args);
        va_end(args);
    }
    if (g_pAssertFn) g_pAssertFn(line, file, text);
    if (msg) {
        Log_PrintAll("Debug assert failed on line %d of %s. [%s]", line, file, text.Ptr());
    } else {
        Log_PrintAll("Debug assert failed on line %d of %s.", line, file);
    }
    OS_PrintTrace();
    abort();
}

void OS_PrintTrace() {
    void* frames[20];
    int count = backtrace(frames, 20);
    char** symbols = backtrace_symbols(frames, count);
    Log_PrintAll("Obtained %zd stack frames.\n", static_cast<ssize_t>(count));
    if (!symbols) return;
    for (int i = 0; i < count; i++) {
        // "file(name+offset) [address]": the mangled name lies between '(' and '+'.
        CString description(symbols[i]);
        CString suffix;
        int open = description.Find("(", 0);
        int plus = open < 0 ? -1 : description.Find("+", open);
        if (plus > open + 1) {
            CString mangled = description.SubString2(open + 1, plus);
            size_t length = 200;
            char* out = static_cast<char*>(malloc(length));
            int status = 0;
            char* demangled = abi::__cxa_demangle(mangled, out, &length, &status);
            if (status == 0 && demangled) {
                suffix = Sprintf(" (Demangled: %s)", demangled);
                out = demangled;
            }
            free(out);
        }
        Log_PrintAll("%s%s\n", symbols[i], suffix.Ptr());
    }
    free(symbols);
}

void TRACE(const char*, ...) {}

// ---------------------------------------------------------------------------
// Mutexes

#ifndef NDEBUG
namespace {
// The mutexes this thread holds, innermost last; a recursive mutex appears
// once per lock. Fixed size: no allocation inside the lock path.
const int kHeldSlots = 32;
struct HeldMutexes_t {
    HMutex held[kHeldSlots];
    int count;
};
thread_local HeldMutexes_t t_Held = {{}, 0};

bool HeldByMe(HMutex h) {
    for (int i = 0; i < t_Held.count; i++) {
        if (t_Held.held[i] == h) return true;
    }
    return false;
}
}  // namespace
#endif

bool OS_MutexIsHeld(HMutex h) {
#ifndef NDEBUG
    return HeldByMe(h);
#else
    (void)h;
    return true;
#endif
}

int OS_MutexHeldCount() {
#ifndef NDEBUG
    return t_Held.count;
#else
    return 0;
#endif
}

HMutex OS_MutexCreate(MutexType_t type) {
    HMutex h = new Mutex_t;
    h->type = type;
    if (type == MT_BINARY) {
        OS_ASSERT(pthread_mutex_init(&h->mutex, nullptr) == 0);
    } else {
        pthread_mutexattr_t attr;
        OS_ASSERT(pthread_mutexattr_init(&attr) == 0);
        OS_ASSERT(pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE) == 0);
        OS_ASSERT(pthread_mutex_init(&h->mutex, &attr) == 0);
        pthread_mutexattr_destroy(&attr);
    }
    return h;
}

void OS_MutexLock(HMutex h) {
    OS_ASSERT(h != nullptr);
#ifndef NDEBUG
    // A binary mutex locked twice by one thread would hang for ever.
    OS_ASSERTMSG(h->type != MT_BINARY || !HeldByMe(h), "Reason: %s", "a binary mutex locked twice by one thread");
    OS_ASSERTMSG(t_Held.count < kHeldSlots, "Reason: %s", "too many mutexes held by one thread");
#endif
    int rc = pthread_mutex_lock(&h->mutex);
    OS_ASSERTMSG(rc == 0, "pthread_mutex_lock failed: %d", rc);
#ifndef NDEBUG
    t_Held.held[t_Held.count++] = h;
#endif
}

void OS_MutexUnlock(HMutex h) {
    OS_ASSERT(h != nullptr);
#ifndef NDEBUG
    // Unlocks need not come in reverse order; the latest lock of h goes.
    int i = t_Held.count - 1;
    while (i >= 0 && t_Held.held[i] != h) i--;
    OS_ASSERTMSG(i >= 0, "Reason: %s", "a mutex unlocked by a thread that does not hold it");
    for (; i + 1 < t_Held.count; i++) t_Held.held[i] = t_Held.held[i + 1];
    t_Held.count--;
#endif
    int rc = pthread_mutex_unlock(&h->mutex);
    OS_ASSERTMSG(rc == 0, "pthread_mutex_unlock failed: %d", rc);
}

void OS_MutexDestroy(HMutex h) {
    OS_ASSERT(h != nullptr);
#ifndef NDEBUG
    OS_ASSERTMSG(!HeldByMe(h), "Reason: %s", "a mutex destroyed while its thread holds it");
#endif
    int rc = pthread_mutex_destroy(&h->mutex);
    OS_ASSERTMSG(rc == 0, "pthread_mutex_destroy failed: %d", rc);
    delete h;
}

void OS_Lock() {
    OS_ASSERTMSG(g_Mutex != nullptr, "OS_Lock outside OS_Init/OS_DeInit");
    g_Mutex->Lock();
}

void OS_UnLock() {
    OS_ASSERTMSG(g_Mutex != nullptr, "OS_UnLock outside OS_Init/OS_DeInit");
    g_Mutex->UnLock();
}

// ---------------------------------------------------------------------------
// Threads

static void* OS_ThreadEntry(void* param) {
    ThreadDesc_t* desc = static_cast<ThreadDesc_t*>(param);
    t_RandState = static_cast<unsigned int>(desc->randseed);
    desc->entrypoint(desc->param);
    delete desc;
#ifndef NDEBUG
    // Nobody could ever unlock what this thread still holds.
    OS_ASSERTMSG(t_Held.count == 0, "a thread ended holding %d mutexes", t_Held.count);
#endif
    return nullptr;
}

// The signals whose handlers belong on the main thread. SIGPIPE stays open
// (the transport's handler and MSG_NOSIGNAL cover it on any thread), and so
// do the fault signals, which are delivered to the faulting thread.
static void MainThreadSignals(sigset_t* set) {
    sigemptyset(set);
    sigaddset(set, SIGINT);
    sigaddset(set, SIGTERM);
    sigaddset(set, SIGHUP);
    sigaddset(set, SIGQUIT);
    sigaddset(set, SIGCHLD);
}

HThread OS_CreateThread(OSThreadEntryPoint_t entrypoint, void* param, OSThreadPriority_t) {
    pthread_t* handle = new pthread_t;
    ThreadDesc_t* desc = new ThreadDesc_t{entrypoint, param, rand_r(&t_RandState)};
    // The new thread inherits the creator's mask: blocking here, around the
    // create, leaves no moment in which it could take one of these signals.
    sigset_t blocked, previous;
    MainThreadSignals(&blocked);
    OS_ASSERT(pthread_sigmask(SIG_BLOCK, &blocked, &previous) == 0);
    int rc = pthread_create(handle, nullptr, OS_ThreadEntry, desc);
    OS_ASSERT(pthread_sigmask(SIG_SETMASK, &previous, nullptr) == 0);
    OS_ASSERTMSG(rc == 0, "pthread_create failed: %d", rc);
    return handle;
}

void OS_JoinThread(HThread h) {
    OS_ASSERT(h != nullptr);
    pthread_t* handle = static_cast<pthread_t*>(h);
    int rc = pthread_join(*handle, nullptr);
    OS_ASSERTMSG(rc == 0, "pthread_join failed: %d", rc);
    delete handle;
}

void OS_DetachThread(HThread h) {
    OS_ASSERT(h != nullptr);
    pthread_t* handle = static_cast<pthread_t*>(h);
    int rc = pthread_detach(*handle);
    OS_ASSERTMSG(rc == 0, "pthread_detach failed: %d", rc);
    delete handle;
}

int OS_CurrentThreadID() { OS_Assert(__LINE__, __FILE__, "OS_CurrentThreadID is not available on Linux"); }

const void* OS_CurrentThreadToken() {
    static thread_local char t_Token;
    return &t_Token;
}

int OS_CurrentProcessID() { return static_cast<int>(getpid()); }

// ---------------------------------------------------------------------------
// Time, sleep, random numbers

unsigned int OS_GetTickCount() {
    struct timespec ts;
    OS_ASSERT(clock_gettime(CLOCK_MONOTONIC, &ts) == 0);
    unsigned long long ms = static_cast<unsigned long long>(ts.tv_sec) * 1000u +
                            static_cast<unsigned long long>(ts.tv_nsec) / 1000000u;
    return static_cast<unsigned int>(ms) + g_TickOffset.load(std::memory_order_relaxed);
}

void OS_TestAdvanceTickCount(unsigned int ms) { g_TickOffset.fetch_add(ms, std::memory_order_relaxed); }

unsigned int OS_GetTime() { return static_cast<unsigned int>(time(nullptr)); }

void OS_Sleep(int msec) {
    OS_ASSERTMSG(msec >= 0 && msec <= 299999, "OS_Sleep(%d) outside 0..299999", msec);
    if (usleep(static_cast<useconds_t>(msec) * 1000u) != 0) {
        OS_ASSERTMSG(errno == EINTR, "usleep failed: errno %d", errno);
    }
}

static int NextRandom() {
    OS_ASSERTMSG(g_OSInitDone, "OS_Random before OS_Init");
    return rand_r(&t_RandState);
}

int OS_Random(int max) {
    OS_ASSERTMSG(max >= 0, "OS_Random(%d)", max);
    return static_cast<int>(static_cast<unsigned int>(NextRandom()) % (static_cast<unsigned int>(max) + 1u));
}

DWORD OS_Random() {
    DWORD value = 0;
    for (int i = 0; i < 4; i++) value |= static_cast<DWORD>(NextRandom() % 256) << (8 * i);
    return value;
}

int OS_GetTimeZoneBias() {
    TRACE("WARNING: OS_GetTimeZoneBias not implemented");
    return 0;
}

// ---------------------------------------------------------------------------
// Environment

bool OS_GetEnv(CString name, CString* value) {
    const char* text = getenv(name);
    if (value) *value = text ? text : "";
    return text != nullptr;
}

int OS_GetMaxOpenFiles() { return static_cast<int>(sysconf(_SC_OPEN_MAX)); }

int OS_RaiseOpenFilesLimit(int max) {
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return OS_GetMaxOpenFiles();
    rlim_t target = rl.rlim_max;
    if (target == RLIM_INFINITY || target > static_cast<rlim_t>(max)) target = static_cast<rlim_t>(max);
    if (target > rl.rlim_cur) {
        rl.rlim_cur = target;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
    return OS_GetMaxOpenFiles();
}
