#include <gtest/gtest.h>

#include <sys/resource.h>

#include <cstring>

#include "common/src/heap.h"
#include "common/src/resources.h"

TEST(Heap, ReallocOfNullIsMalloc) {
    char* p = static_cast<char*>(OS_Realloc(nullptr, 16));
    ASSERT_NE(nullptr, p);
    memcpy(p, "0123456789abcdef", 16);
    p = static_cast<char*>(OS_Realloc(p, 64));
    EXPECT_EQ(0, memcmp(p, "0123456789abcdef", 16));
    OS_Free(p);
    OS_Free(nullptr);
}

TEST(Heap, ZeroSizedBlocksAreRealBlocks) {
    void* p = OS_Malloc(0);
    EXPECT_NE(nullptr, p);
    p = OS_Realloc(p, 0);  // must not hand back a freed pointer as failure
    EXPECT_NE(nullptr, p);
    OS_Free(p);
    EXPECT_EQ(0, Heap_GetNumTotalAllocs());
    EXPECT_EQ(0, Heap_GetNumOutstandingAllocs());
}

#ifndef __SANITIZE_ADDRESS__  // the sanitizer's allocator reports exhaustion itself
TEST(HeapDeathTest, ExhaustionStops) {
    EXPECT_DEATH(
        {
            // Cap the address space so the C library really runs out.
            struct rlimit rl;
            rl.rlim_cur = rl.rlim_max = 256u << 20;
            setrlimit(RLIMIT_AS, &rl);
            OS_Malloc(1u << 30);
        },
        "Debug assert failed on line [0-9]+ of common/src/heap.cpp");
    EXPECT_DEATH(
        {
            struct rlimit rl;
            rl.rlim_cur = rl.rlim_max = 256u << 20;
            setrlimit(RLIMIT_AS, &rl);
            char* volatile sink = new char[1u << 30];
            sink[0] = 1;
        },
        "Debug assert failed on line [0-9]+ of common/src/heap.cpp");
}
#endif

static const BYTE kA[] = {1, 2, 3};
static const BYTE kX1[] = {'f', 'i', 'r', 's', 't'};
static const BYTE kX2[] = {'s', 'e', 'c'};
static CResources g_ResA("test/a", kA, 3);
static CResources g_ResB("test/b", nullptr, 0);
static CResources g_ResX1("test/x", kX1, 5);
static CResources g_ResX2("test/x", kX2, 3);

TEST(Resources, RegisteredBeforeMainAndFoundByExactName) {
    CVector<CString> names = CResources::Enumerate();
    int a = names.Find("test/a");
    ASSERT_GE(a, 0);
    EXPECT_STREQ("test/b", names[a + 1].Ptr());
    const CBuffer* b = CResources::Find("test/b");
    ASSERT_NE(nullptr, b);
    EXPECT_EQ(0, b->Length());
    EXPECT_EQ(nullptr, CResources::Find("TEST/A"));
    const CBuffer* x = CResources::Find("test/x");
    ASSERT_NE(nullptr, x);
    ASSERT_EQ(5, x->Length());
    EXPECT_EQ(0, memcmp(x->Data(), "first", 5));
    const CBuffer* found = CResources::Find("test/a");
    ASSERT_EQ(3, found->Length());
    EXPECT_EQ(0, memcmp(found->Data(), kA, 3));
}
