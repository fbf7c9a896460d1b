#include <gtest/gtest.h>

#include <signal.h>

#include <regex>

#include "tests/support/process.h"

namespace {

class Daemon : public ::testing::Test {
protected:
    void SetUp() override {
        m_Dir = MakeTempDir();
        ASSERT_FALSE(m_Dir.empty());
    }
    void TearDown() override { RemoveTree(m_Dir); }
    std::string m_Dir;
};

}  // namespace

TEST_F(Daemon, SigintStopsInOrderWithStatusZero) {
    CTestProcess p;
    ASSERT_TRUE(p.Start(NB_DAEMON_PATH, m_Dir));
    ASSERT_TRUE(p.WaitForOutput("Debug info is OFF.", 10000)) << p.Output();
    p.Signal(SIGINT);
    EXPECT_EQ(0, p.WaitExit(10000)) << p.Output();
    std::string out = p.Output();
    EXPECT_NE(std::string::npos, out.find("Server  started. PID=")) << out;
    EXPECT_NE(std::string::npos, out.find("Server shutdown.")) << out;
}

TEST_F(Daemon, SecondSigintDuringShutdownIsIgnored) {
    CTestProcess p;
    ASSERT_TRUE(p.Start(NB_DAEMON_PATH, m_Dir));
    ASSERT_TRUE(p.WaitForOutput("Debug info is OFF.", 10000)) << p.Output();
    p.Signal(SIGINT);
    p.Signal(SIGINT);
    p.Signal(SIGINT);
    EXPECT_EQ(0, p.WaitExit(10000)) << p.Output();
    EXPECT_NE(std::string::npos, p.Output().find("Server shutdown."));
}

TEST_F(Daemon, LinesCarryTheTimeOfDayPrefix) {
    CTestProcess p;
    ASSERT_TRUE(p.Start(NB_DAEMON_PATH, m_Dir));
    ASSERT_TRUE(p.WaitForOutput("Debug info is OFF.", 10000));
    p.Signal(SIGINT);
    ASSERT_EQ(0, p.WaitExit(10000));
    EXPECT_TRUE(std::regex_search(p.Output(), std::regex("(^|\n)[0-9]{2}:[0-9]{2}:[0-9]{2} Debug info is OFF.\n")))
        << p.Output();
}
