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
    int delayMs = 0;  // a deliberately slow receiver
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
        resolver.Start();
    }  // the destructor waits for the outcome
    EXPECT_EQ(1, result.completed.load());
    EXPECT_EQ(0, result.failed.load());
    EXPECT_EQ("127.0.0.1", result.ip);
    EXPECT_EQ(1, log.Count("CResolveDNS: ip = 127.0.0.1"));
}

TEST(Resolver, NumericAddressPassesThroughAndIPv6OnlyFails) {
    struct Case {
        const char* name;
        const char* ip;  // null: the lookup fails
    } cases[] = {{"10.1.2.3", "10.1.2.3"}, {"::1", nullptr}};
    for (const Case& c : cases) {
        ResolveResult result;
        {
            CResolveDNS resolver(c.name, &result);
            resolver.Start();
        }
        EXPECT_EQ(c.ip ? 1 : 0, result.completed.load()) << c.name;
        EXPECT_EQ(c.ip ? 0 : 1, result.failed.load()) << c.name;
        if (c.ip) {
            EXPECT_EQ(c.ip, result.ip);
        }
    }
}

TEST(Resolver, NothingHappensBeforeStart) {
    ResolveResult result;
    {
        CResolveDNS resolver("127.0.0.1", &result);
        // Deliberate: a started numeric lookup answers within microseconds.
        OS_Sleep(50);
        EXPECT_FALSE(resolver.IsThreadPresent());
        EXPECT_EQ(0, result.completed.load() + result.failed.load());
    }  // never started: destroyed without a callback
    EXPECT_EQ(0, result.completed.load() + result.failed.load());
}

TEST(Resolver, DestructorWaitsForTheCallbackToFinish) {
    ResolveResult result;
    result.delayMs = 100;
    CResolveDNS* pResolver = new CResolveDNS("127.0.0.1", &result);
    pResolver->Start();
    delete pResolver;
    EXPECT_EQ(1, result.completed.load());
}

TEST(ResolverDeathTest, StartingTwiceIsFatal) {
    ResolveResult result;
    CResolveDNS resolver("127.0.0.1", &result);
    resolver.Start();
    EXPECT_DEATH(resolver.Start(), "thread started twice");
}
