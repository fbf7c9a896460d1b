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
    CString text = FormatChecked(__FILE__, __LINE__, fmt, args);
    va_end(args);
    Log_Print(0, "NONE", text);
}

#endif
