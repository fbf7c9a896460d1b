// The operating-system layer: every system call of the framework outside the
// network sources goes through these OS_ functions. Linux implementation in
// two sources: osutils.cpp holds the core (start-up and shut-down, the
// interrupt wait and signals, assertion and stack trace, mutexes and the debug
// lock record, threads, time, random numbers, environment); osutils_files.cpp
// holds files and directories, processes, modules and versions, and system
// information. Failures of the core are fatal assertions; the file and
// process group reports failure by result.
#ifndef NB_COMMON_OSUTILS_H
#define NB_COMMON_OSUTILS_H

#include <pthread.h>

#include "common/src/datatypes/string.h"
#include "common/src/linux/platform.h"

enum MutexType_t {
    MT_RECURSIVE = 0,  // the owning thread may lock again; each lock needs an unlock
    MT_BINARY = 1,     // plain non-recursive mutex
};

enum OSThreadPriority_t {
    OS_THREAD_PRIORITY_NORMAL = 0,
    OS_THREAD_PRIORITY_HIGH = 1,
    OS_THREAD_PRIORITY_LOW = 2,
};

// One mutex, created only by OS_MutexCreate.
struct Mutex_t {
    int type;               // the MutexType_t it was created with
    pthread_mutex_t mutex;  // the POSIX mutex
};
typedef Mutex_t* HMutex;

typedef void (*OSThreadEntryPoint_t)(void*);

// Start record handed to a new thread.
struct ThreadDesc_t {
    OSThreadEntryPoint_t entrypoint;
    void* param;   // passed to entrypoint
    int randseed;  // seed of the new thread's random generator
};

// Optional observer of assertion failures, called before the failure is logged.
typedef void (*AssertFn_t)(int line, const char* file, const char* msg);

extern AssertFn_t g_pAssertFn;
extern bool g_OSInitDone;

// --- start-up and shut-down -------------------------------------------------

// LOG_LEVEL, random seed, the ISO-8859-1 character locale when the system has
// it (a warning line when not), the open-files check, the heap layer and the
// global lock. Called once by the main thread, after Log_Init.
void OS_Init(AssertFn_t pAssertFn);
// Frees the global lock; OS_Lock/OS_UnLock must not be called afterwards.
void OS_DeInit();
bool OS_Ready();
// Blocks the calling (main) thread until the process receives SIGINT; further
// SIGINTs are ignored from then on. While it waits it runs the hook set with
// OS_SetTermWaitHook on this thread: once when the wait begins (for work
// recorded before it) and again after every OS_WakeTermWaiter. Called by the
// main thread (once, in the daemon); threads made by OS_CreateThread block
// SIGINT, so its handler runs there or on a thread not made here.
void OS_WaitForTerm();
// The hook OS_WaitForTerm runs on the waiting thread (null: none). Set it
// before the wait begins.
void OS_SetTermWaitHook(void (*hook)());
// Async-signal-safe, any thread: makes the thread in OS_WaitForTerm run its
// hook soon. Wakes that arrive before the hook runs are merged into one run;
// a wake while no one waits is serviced by the hook's first run.
void OS_WakeTermWaiter();
// Async-signal-safe, any thread: records value (not INT_MIN) for the waiting
// thread and wakes it. At most 64 values wait; false when full (value lost).
bool OS_PostToTermWaiter(int value);
// Takes one value recorded by OS_PostToTermWaiter (any order); false when
// none. Meant for the hook.
bool OS_TakePostedValue(int* value);
// Async-signal-safe: writes format to fd with its first "%d" replaced by
// value in decimal (every other character as it is). Returns write's result.
int OS_SignalSafeWrite(int fd, const char* format, int value);
// Forks; the parent exits with status 0, the child leaves the terminal's
// session and reopens descriptors 0 to 2 on /dev/null, so the next socket or
// file opened is never mistaken for standard output. Fork, setsid or
// /dev/null failure: exit(1).
void OS_StartDaemon();
[[noreturn]] void OS_ExitProcess(int exitcode);

// --- diagnostics ----------------------------------------------------------------

// Logs the current call stack (at most 20 frames, demangled where possible).
void OS_PrintTrace();
// Debug trace hook: produces no output in this build.
void TRACE(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// --- mutexes (any POSIX failure or a null handle is fatal) ----------------------

HMutex OS_MutexCreate(MutexType_t type);
void OS_MutexLock(HMutex h);
void OS_MutexUnlock(HMutex h);
// The mutex must be unlocked.
void OS_MutexDestroy(HMutex h);
// The process-wide, non-recursive critical section; usable between OS_Init
// and OS_DeInit.
void OS_Lock();
void OS_UnLock();

// Debug builds keep a per-thread record of the mutexes each thread holds
// (through OS_MutexLock/OS_MutexUnlock), so the lock rules written in
// comments are checked where they matter: re-locking a binary mutex the
// thread already holds, or unlocking one it does not hold, is fatal there.
// Release builds keep no record: OS_MutexIsHeld is then always true and the
// assertion macros below compile to nothing.
bool OS_MutexIsHeld(HMutex h);
// The number of mutexes the calling thread holds (debug builds; 0 in release).
int OS_MutexHeldCount();
#ifndef NDEBUG
#define OS_ASSERT_HELD(h) OS_ASSERTMSG(OS_MutexIsHeld(h), "Reason: %s", "a required lock is not held: " #h)
#define OS_ASSERT_NOT_HELD(h) OS_ASSERTMSG(!OS_MutexIsHeld(h), "Reason: %s", "a lock that must not be held is: " #h)
#else
#define OS_ASSERT_HELD(h) ((void)0)
#define OS_ASSERT_NOT_HELD(h) ((void)0)
#endif

// --- threads ------------------------------------------------------------------------

// Exactly one of OS_JoinThread or OS_DetachThread must follow for every
// created thread; both free the handle. priority is ignored on Linux. The new
// thread starts with SIGINT, SIGTERM, SIGHUP, SIGQUIT and SIGCHLD blocked, so
// the handlers for them run on the main thread; SIGPIPE and the fault signals
// stay open. In debug builds a thread that ends holding a mutex is fatal.
HThread OS_CreateThread(OSThreadEntryPoint_t entrypoint, void* param, OSThreadPriority_t priority);
void OS_JoinThread(HThread h);
void OS_DetachThread(HThread h);
// Not available on Linux: fatal.
int OS_CurrentThreadID();
// A value unique to the calling thread while it runs (never null), for
// checks like "socket thread only": compare it with one recorded earlier.
const void* OS_CurrentThreadToken();
int OS_CurrentProcessID();

// --- time, sleep, random numbers ----------------------------------------------------

// Milliseconds of a monotonic clock, truncated to 32 bits (wraps every ~49.7
// days); compare values only as unsigned differences. Setting the system
// clock does not move it.
unsigned int OS_GetTickCount();
// Wall-clock seconds since the epoch.
unsigned int OS_GetTime();
// 0..299999 ms; a longer sleep is a fatal assertion. A signal ends it early.
void OS_Sleep(int msec);
// 0..max inclusive (max >= 0). Fatal before OS_Init.
int OS_Random(int max);
// 32 random bits. Fatal before OS_Init.
DWORD OS_Random();
// The time-zone offset is not implemented on Linux: 0.
int OS_GetTimeZoneBias();

// Test seam for virtual time: moves OS_GetTickCount forward by ms (wrapping
// like the counter itself). Production code never calls it, so the offset
// stays 0 there. Tests use it to pass minute-long time-outs in milliseconds.
void OS_TestAdvanceTickCount(unsigned int ms);

// --- environment ------------------------------------------------------------------

// *value becomes the variable's text, or "" when unset; returns whether set.
bool OS_GetEnv(CString name, CString* value);
// The process's open-files limit as sysconf reports it.
int OS_GetMaxOpenFiles();
// Raises the soft open-files limit to the hard limit, but not above max (and
// never lowers it). Returns the soft limit in force afterwards.
int OS_RaiseOpenFilesLimit(int max);

// --- files and directories (true means success) ------------------------------

// The file can be opened for reading.
bool OS_FileExists(const char* file);
// The directory can be opened for listing.
bool OS_DirExists(const char* path);
// Creates the last path element only (mode 0777 before the umask).
bool OS_CreateDirectory(const char* path);
bool OS_DeleteFile(const char* file);
// The directory must be empty.
bool OS_DeleteDirectory(const char* file);
// Same file system; an existing target is replaced.
bool OS_MoveFile(const char* oldName, const char* newName);
bool OS_CopyFile(const char* source, const char* dest);
// Records path (under 1024 characters) as the working directory; the
// process's current directory is not changed.
void OS_SetWorkingDirectory(CString path);
// The recorded directory, "." when none was recorded.
CString OS_GetWorkingDirectory();
// Text after the last "/" or "\\"; the whole path when the only separator is
// at position 0 or there is none.
CString OS_GetBaseFileName(CString filePath);
// Text before the last separator (same search), "" when none; also logged.
CString OS_GetFileDirectory(CString filePath);

// Lists path + "/" + pathEx: regular files (dirs false) or directories (dirs
// true), as names relative to path, in the order the directory lists them.
// recursive walks sub-directories as they are met; a directory follows its own
// contents. False when the directory cannot be opened or an entry examined.
bool OS_EnumerateFilesEx(CString path, CVector<CString>* files, bool dirs, bool recursive, CString pathEx);
bool OS_EnumerateFiles(const char* path, CVector<CString>* files, bool recursive);
bool OS_EnumerateDirectories(const char* path, CVector<CString>* dirs, bool recursive);

// --- processes ----------------------------------------------------------------

// block true: runs cmd through the shell (standard error discarded) and
// returns its whole standard output, "" when it cannot start. block false is
// not available on Linux (fatal).
CString OS_RunProcess(CString cmd, bool block);
// Starts "./" + cmd (at most 8 blank-separated words) without waiting, in a
// session of its own and with no signals blocked (whatever the calling
// thread blocks); false when the fork fails.
bool OS_CreateProcess(CString cmd);
// The process ID of another process whose command line, with the program's
// directory removed and arguments joined by single blanks, is exactly
// commandLine; -1 when none, -2 when the process table cannot be read. Never
// the caller's own ID.
int OS_FindProcessIDByCommandLine(CString commandLine);

// --- loadable modules and versions ------------------------------------------------

typedef void* (*CreateInterface_t)();
typedef int (*QueryVersion_t)();

// dlopen with immediate binding; null and the loader's text in *error on failure.
HModule OS_LoadModule(const char* file, CString* error);
void OS_UnLoadModule(HModule h);
void* OS_GetSymbol(HModule h, const char* name);
CreateInterface_t OS_GetFactory(HModule h);
// The module's "QueryVersion" result; 0 when it cannot be loaded or has none.
int OS_GetModuleVersion(CString path);
// The hexadecimal number path prints for " -v#"; 0 for no output.
int OS_GetExecutableVersion(CString path);
int OS_GetFileVersion(CString path);
// Not available on Linux: fatal.
HModule OS_GetModuleHandle(const char* name);
HModule OS_GetModuleHandleFromAddress(void* address);
bool OS_SetPermission(void* address, int size, int permission);

// --- system information ---------------------------------------------------------

typedef CAssocArray<CString, CVector<CString>> HardwareIDs_t;

int GetOS();     // 1: Linux
int GetSubOS();  // 0
// 0 "Windows", 1 "Linux", 2 "Darwin", 3 "iPhone", otherwise "".
CString OS_Name(int OS);
CString OS_SubName(int OSsubID);
// First line of "uname -osnrm", or "Unknown Linux".
CString OS_FullName();
// "load average: %.2f, %.2f, %.2f" (1, 5 and 15 minutes), or
// "load average: unknown".
CString OS_GetLoadAvg();
// Empty on Linux.
HardwareIDs_t OS_GetHardwareIDs();

#endif
