// Test entry point. Log lines also go to standard error, where death tests
// read them (the daemon's log otherwise goes to standard output only).
#include <gtest/gtest.h>

#include <cstdio>

#include "common/src/cbase.h"
#include "common/src/osutils.h"

static void EchoToStderr(const char* text, const char*) { fprintf(stderr, "%s\n", text); }

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Log_SetCallback(EchoToStderr);
    // Tests run in an initialised process, as the daemon does.
    OS_Init(nullptr);
    return RUN_ALL_TESTS();
}
