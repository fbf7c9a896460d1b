// The asynchronous resolver, without outside name servers: "localhost" comes
// from the hosts file and numeric names never leave the C library.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>

#include "common/src/network/resolve.h"
#include "tests/common/src/network/nettest.h"

namespace {

struct ResolveResult : public IResolveDNSCallback {
    std::mutex mutex;
    std::string ip;
    std::atomic<int> completed{0};
    std::atomic<int> failed{0};
    int delayMs = 0;
    void ResolveComplete(const char* address) override {
        if (delayMs) OS_Sleep(delayMs);
        std::lock_guard<std::mutex> guard(mutex);
        ip = address;
        completed++;
    }
    void ResolveFailed() override {
        if (delayMs) OS_Sleep(delayMs);
        failed++;
    }
};

}  // namespace

TEST(Resolver, LocalhostResolvesToTheLoopbackAddressAndIsLogged) {
    nettest::LogCapture log;
    ResolveResult result;
    {
        CResolveDNS resolver("localhost", &result);
    }  // the destructor waits for the outcome
    EXPECT_EQ(1, result.completed.load());
    EXPECT_EQ(0, result.failed.load());
    EXPECT_EQ("127.0.0.1", result.ip);
    EXPECT_EQ(1, log.Count("CResolveDNS: ip = 127.0.0.1"));
}

TEST(Resolver, NumericAddressPassesThrough) {
    ResolveResult result;
    { CResolveDNS resolver("10.1.2.3", &result); }
    EXPECT_EQ(1, result.completed.load());
    EXPECT_EQ("10.1.2.3", result.ip);
}

TEST(Resolver, NameWithOnlyIPv6AddressesFails) {
    ResolveResult result;
    { CResolveDNS resolver("::1", &result); }
    EXPECT_EQ(0, result.completed.load());
    EXPECT_EQ(1, result.failed.load());
}

TEST(Resolver, DestructorWaitsForTheCallbackToFinish) {
    ResolveResult result;
    result.delayMs = 100;
    CResolveDNS* pResolver = new CResolveDNS("127.0.0.1", &result);
    delete pResolver;
    EXPECT_EQ(1, result.completed.load());
}
