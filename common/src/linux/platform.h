// Platform definitions for Linux: the fixed-width names the framework uses,
// handle types, and the fatal assertion every layer reports broken contracts
// through. Included (directly or through other headers) by every source.
#ifndef NB_COMMON_LINUX_PLATFORM_H
#define NB_COMMON_LINUX_PLATFORM_H

#include <cstddef>
#include <cstdint>

typedef uint32_t DWORD;
typedef uint16_t WORD;
typedef uint8_t BYTE;

typedef void* HHandle;
typedef HHandle HThread;
typedef HHandle HModule;

// Ends the process: logs "Debug assert failed on line %d of %s." (with the
// formatted message in brackets when msg is not null), the stack trace, then
// aborts. For broken programming contracts only, never for peer input.
[[noreturn]] void OS_Assert(int line, const char* file, const char* msg, ...)
    __attribute__((format(printf, 3, 4)));

// __FILE__ is relative to the repository root (the build maps the prefix).
#define OS_ASSERT(cond)                                                       \
    do {                                                                      \
        if (!(cond)) OS_Assert(__LINE__, __FILE__, nullptr);                  \
    } while (0)
#define OS_ASSERTMSG(cond, ...)                                               \
    do {                                                                      \
        if (!(cond)) OS_Assert(__LINE__, __FILE__, __VA_ARGS__);              \
    } while (0)

#endif
