// The daemon's entry point: set up, wait for SIGINT, tear down in reverse.
#include <signal.h>
#include <sys/wait.h>

#include "common/src/cbase.h"
#include "common/src/osutils.h"

// Fatal signals: log, trace, exit(1) without the orderly shut-down.
static void signal_handler(int signo) {
    Log_PrintAll("Caught signal %d\n", signo);
    OS_PrintTrace();
    exit(1);
}

// Reaps one finished child.
static void childer_handler(int) {
    pid_t pid = wait(nullptr);
    Log_PrintAll("Child pid %d exited.\n", static_cast<int>(pid));
}

int main(int, char**) {
    signal(SIGCHLD, childer_handler);
    signal(SIGBUS, signal_handler);
    signal(SIGILL, signal_handler);
    signal(SIGSEGV, signal_handler);

    OS_Init(nullptr);
    Log_PrintAll("Server  started. PID=%d %s", OS_CurrentProcessID(), OS_GetLoadAvg().Ptr());
    Log_PrintAll("Debug info is OFF.");

    OS_WaitForTerm();

    OS_DeInit();
    Log_PrintAll("Server shutdown.");
    return 0;
}
