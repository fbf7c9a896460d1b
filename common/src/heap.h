// The heap layer: every allocation of the framework (global operator new and
// delete, and the allocator of every container) comes from the C library heap
// through these functions, which turn exhaustion into a fatal assertion.
// Safe from any thread.
#ifndef NB_COMMON_HEAP_H
#define NB_COMMON_HEAP_H

#include "common/src/linux/platform.h"

extern bool g_HeapInitDone;
extern bool g_HeapDeInitDone;

void Heap_Init();
void Heap_DeInit();
// Allocation counting is not compiled in: both are always 0.
int Heap_GetNumTotalAllocs();
int Heap_GetNumOutstandingAllocs();

// Never returns null: exhaustion stops the process. A size of 0 still yields
// a unique block that must be freed.
void* OS_Malloc(unsigned int size);
// OS_Malloc when p is null; contents kept up to the smaller size.
void* OS_Realloc(void* p, unsigned int size);
// Null is ignored.
void OS_Free(void* p);

#endif
