#include "common/src/heap.h"

#include <cstdlib>
#include <new>

bool g_HeapInitDone = false;
bool g_HeapDeInitDone = false;

void Heap_Init() {
    g_HeapInitDone = true;
    g_HeapDeInitDone = false;
}

void Heap_DeInit() {}

int Heap_GetNumTotalAllocs() { return 0; }
int Heap_GetNumOutstandingAllocs() { return 0; }

void* OS_Malloc(unsigned int size) {
    // malloc(0) may legally return null; a caller asking for nothing still
    // gets a block, so null always means exhaustion.
    void* p = malloc(size ? size : 1);
    OS_ASSERTMSG(p != nullptr, "out of memory allocating %u bytes", size);
    return p;
}

void* OS_Realloc(void* p, unsigned int size) {
    if (p == nullptr) return OS_Malloc(size);
    // realloc(p, 0) frees p and returns null on glibc: keep a 1-byte block
    // instead so the caller's pointer stays valid.
    void* q = realloc(p, size ? size : 1);
    OS_ASSERTMSG(q != nullptr, "out of memory reallocating %u bytes", size);
    return q;
}

void OS_Free(void* p) {
    if (p) free(p);
}

// Global operator new/delete go through the heap layer. Sizes above 4 GiB
// cannot be expressed in the layer's unsigned int and are refused outright.
static void* HeapNew(std::size_t size) {
    if (size > 0xFFFFFFFFu) throw std::bad_alloc();
    void* p = OS_Malloc(static_cast<unsigned int>(size));
    if (!p) throw std::bad_alloc();
    return p;
}

void* operator new(std::size_t size) { return HeapNew(size); }
void* operator new[](std::size_t size) { return HeapNew(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return malloc(size ? size : 1); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return malloc(size ? size : 1); }
void operator delete(void* p) noexcept { OS_Free(p); }
void operator delete[](void* p) noexcept { OS_Free(p); }
void operator delete(void* p, std::size_t) noexcept { OS_Free(p); }
void operator delete[](void* p, std::size_t) noexcept { OS_Free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { OS_Free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { OS_Free(p); }
