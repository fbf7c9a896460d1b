// The daemon's entry point: prepare the working directory and the log, load
// the configuration, serve until SIGINT, then tear down in reverse order.
// Takes no arguments; works in its current directory.
#include <errno.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/src/cbase.h"
#include "common/src/iniparser.h"
#include "common/src/osutils.h"
#include "lobby/server/proxyserver.h"
#include "lobby/server/statusserver.h"

static const char* const kLogPattern = "logs/natbridge(%d).txt";
static const int kLogGenerations = 5;  // previous runs kept, (1) the latest
// One descriptor per client: a shell's default soft limit of 1024 would cap
// the relay at about a thousand clients.
static const int kOpenFilesWanted = 65536;

// Fatal signals: log, trace, status 1 without the orderly shut-down. The
// process is ending anyway, so this handler may allocate; it leaves through
// _exit, since running the static destructors from inside a signal handler,
// under the feet of threads still running, could hang or crash the exit.
static void signal_handler(int signo) {
    Log_PrintAll("Caught signal %d\n", signo);
    OS_PrintTrace();
    _exit(1);
}

// Reaps one finished child. Signal handlers may not allocate, so the line
// is logged by the main thread, which waits in OS_WaitForTerm (other threads
// block SIGCHLD, so this handler runs there too).
static void childer_handler(int) {
    int saved = errno;
    int pid = static_cast<int>(wait(nullptr));
    if (!OS_PostToTermWaiter(pid)) OS_SignalSafeWrite(STDOUT_FILENO, "Child pid %d exited.\n", pid);
    errno = saved;
}

// Main thread, inside OS_WaitForTerm: the lines childer_handler left.
static void LogChildExits() {
    int pid;
    while (OS_TakePostedValue(&pid)) Log_PrintAll("Child pid %d exited.\n", pid);
}

// "(5)" is discarded and "(4)".."(0)" become "(5)".."(1)"; missing
// generations are skipped.
static void RotateLogs() {
    for (int generation = kLogGenerations; generation >= 0; generation--) {
        CString current = Sprintf(kLogPattern, generation);
        if (generation == kLogGenerations) {
            OS_DeleteFile(current);
        } else {
            OS_MoveFile(current, Sprintf(kLogPattern, generation + 1));
        }
    }
}

int main(int, char**) {
    signal(SIGCHLD, childer_handler);
    signal(SIGBUS, signal_handler);
    signal(SIGILL, signal_handler);
    signal(SIGSEGV, signal_handler);

    if (!OS_DirExists("logs") && !OS_CreateDirectory("logs")) return 1;
    RotateLogs();
    Log_Init(Sprintf(kLogPattern, 0), true, nullptr);

    OS_RaiseOpenFilesLimit(kOpenFilesWanted);
    OS_Init(nullptr);
    Log_PrintAll("Server  started. PID=%d %s", OS_CurrentProcessID(), OS_GetLoadAvg().Ptr());
    Log_PrintAll("Debug info is OFF.");

    if (!CINIParser::Read("natbridged.ini", g_INI, true)) {
        Log_PrintAll("Error: Unable to load natbridged.ini.");
        OS_DeInit();
        return 1;
    }

    // Built first, then started: its threads only ever see a whole relay.
    CProxyServer* pRelay = new CProxyServer(nullptr);
    if (!pRelay->Start()) {
        // The reason is logged; a port in use or a typo is no programming error.
        delete pRelay;
        OS_DeInit();
        return 1;
    }

    // Only with a "Status" section: without one, start-up is the relay alone.
    CStatusServer* pStatus = nullptr;
    if (CStatusServer::IsConfigured()) {
        pStatus = new CStatusServer(pRelay->GetStats());
        if (!pStatus->Start()) {
            delete pStatus;
            pRelay->EndThread();
            delete pRelay;
            OS_DeInit();
            return 1;
        }
    }

    OS_SetTermWaitHook(LogChildExits);
    OS_WaitForTerm();

    // The status thread reads the relay's figures: it goes first.
    if (pStatus) pStatus->Stop();
    delete pStatus;
    pRelay->EndThread();
    delete pRelay;
    OS_DeInit();
    Log_PrintAll("Server shutdown.");
    return 0;
}
