// The common base header: the platform definitions, the text type and the
// log entry point every layer writes through.
#ifndef NB_COMMON_CBASE_H
#define NB_COMMON_CBASE_H

#include <cstdarg>

#include "common/src/datatypes/string.h"
#include "common/src/linux/platform.h"
#include "common/src/log.h"

// printf-style; formatted in full (as Sprintf), split at line feeds and
// written line by line. Nothing happens while the debug level is negative.
inline void Log_PrintAll(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
inline void Log_PrintAll(const char* fmt, ...) {
    if (g_DebugLevel < 0) return;
    va_list args;
    va_start(args, fmt);
    va_list measure;
    va_copy(measure, args);
    int n = vsnprintf(nullptr, 0, fmt, measure);
    va_end(measure);
    long long size = static_cast<long long>(n) + 1;
    if (size == 0) size = 2000;
    OS_ASSERTMSG(size > 0, "Log_PrintAll: bad length");
    char* buf = static_cast<char*>(OS_Malloc(static_cast<unsigned int>(size)));
    buf[0] = 0;
    int written = vsnprintf(buf, static_cast<size_t>(size), fmt, args);
    va_end(args);
    buf[size - 1] = 0;
    OS_ASSERTMSG(written >= 0 && written < size, "Log_PrintAll: output cut");
    Log_Print(0, "NONE", buf);
    OS_Free(buf);
}

#endif
