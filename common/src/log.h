// The process-wide log: each line is prefixed with the local time of day
// ("%02d:%02d:%02d ") and written to the log file (opened for appending for
// every line, so a rotated or deleted file takes effect at the next line), to
// standard output and to an optional callback. Log_PrintAll (common/src/cbase)
// is how code writes; the setters are for start-up and shut-down on the main
// thread. Log_Out holds a lock while it writes, so lines never tear.
#ifndef NB_COMMON_LOG_H
#define NB_COMMON_LOG_H

// Receives every line without its time prefix, on the logging thread, with
// the log's lock held: it must not log.
typedef void (*LogFn_t)(const char* text, const char* group);

extern int g_DebugLevel;

// Once; a second call while initialised is fatal. A non-null file is created
// empty (false, nothing else changed, when it cannot be). A null file sets up
// standard output and the callback only.
bool Log_Init(const char* file, bool toStdout, LogFn_t pLogFn);
// Stops all output; Log_Init may be called again.
void Log_Off();
void Log_SetCallback(LogFn_t pLogFn);
void Log_SetTimeStamp(bool state);
// A negative level silences everything, the level-change line included.
void Log_SetLevel(int level);
// Splits str at line feeds and writes each piece as one line.
void Log_Print(int level, const char* group, const char* str);
// Writes one line.
void Log_Out(const char* buf, const char* group);

#endif
