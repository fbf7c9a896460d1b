#include "common/src/log.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "common/src/cbase.h"

int g_DebugLevel = 0;
static bool g_LogInitialized = false;
static bool g_LogToStdOut = true;
static char g_LogFileName[1024] = "";
static LogFn_t g_pLogFn = nullptr;
static bool g_TimeStamp = true;

// Serialises Log_Out so lines from different threads never interleave.
// Recursive, so a fatal assertion raised inside a callback can still log. A
// plain std::recursive_mutex: it must work before OS_Init and after OS_DeInit.
static std::recursive_mutex& LogLock() {
    static std::recursive_mutex* s_pLock = new std::recursive_mutex();  // never destroyed: logging may run during exit
    return *s_pLock;
}

bool Log_Init(const char* file, bool toStdout, LogFn_t pLogFn) {
    OS_ASSERTMSG(!g_LogInitialized, "Log_Init called twice");
    if (file) {
        OS_ASSERTMSG(strlen(file) < sizeof(g_LogFileName), "log file name too long");
        strcpy(g_LogFileName, file);
        FILE* f = fopen(file, "w");
        if (!f) return false;
        fclose(f);
    }
    g_LogToStdOut = toStdout;
    g_LogInitialized = true;
    g_pLogFn = pLogFn;
    return true;
}

void Log_Off() {
    g_LogToStdOut = false;
    g_LogInitialized = false;
    g_pLogFn = nullptr;
}

void Log_SetCallback(LogFn_t pLogFn) { g_pLogFn = pLogFn; }

void Log_SetTimeStamp(bool state) { g_TimeStamp = state; }

void Log_SetLevel(int level) {
    g_DebugLevel = level;
    Log_PrintAll("Changing debug level to %d", level);
}

void Log_Print(int /*level*/, const char* group, const char* str) {
    CVector<CString> lines = CString(str).Split("\n");
    for (int i = 0; i < lines.Count(); i++) Log_Out(lines[i], group);
}

void Log_Out(const char* buf, const char* group) {
    size_t length = strlen(buf);
    char* line = static_cast<char*>(OS_Malloc(static_cast<unsigned int>(length + 100)));
    line[0] = 0;
    if (g_TimeStamp) {
        time_t now = time(nullptr);
        struct tm local;
        localtime_r(&now, &local);
        snprintf(line, 100, "%02d:%02d:%02d ", local.tm_hour, local.tm_min, local.tm_sec);
    }
    strcat(line, buf);

    std::lock_guard<std::recursive_mutex> guard(LogLock());
    if (g_LogInitialized && g_LogFileName[0]) {
        FILE* f = fopen(g_LogFileName, "ab");
        if (f) {
            fprintf(f, "%s\n", line);
            fclose(f);
        }
    }
    if (g_LogToStdOut) {
        puts(line);
        fflush(stdout);
    }
    if (g_pLogFn) g_pLogFn(buf, group);
    OS_Free(line);
}
