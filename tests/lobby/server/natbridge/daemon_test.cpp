#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>

#include "tests/support/process.h"
#include "tests/support/waitfor.h"

namespace {

const char* const kConfig = "[ProxyServer]\nPort = 0\n";

// Each test runs the daemon binary in a fresh working directory.
class Daemon : public ::testing::Test {
protected:
    void SetUp() override {
        m_Dir = MakeTempDir();
        ASSERT_FALSE(m_Dir.empty());
    }
    void TearDown() override { RemoveTree(m_Dir); }
    std::string Path(const std::string& name) const { return m_Dir + "/" + name; }
    std::string Log(int generation) const { return ReadFile(Path("logs/natbridge(" + std::to_string(generation) + ").txt")); }
    bool Exists(const std::string& name) const {
        struct stat st;
        return stat(Path(name).c_str(), &st) == 0;
    }
    // Starts the daemon with the sample configuration and waits until it serves.
    void StartServing(CTestProcess& p) {
        WriteFile(Path("natbridged.ini"), kConfig);
        ASSERT_TRUE(p.Start(NB_DAEMON_PATH, m_Dir));
        // The relay logs its port once it listens; the SIGINT handler follows.
        ASSERT_TRUE(p.WaitForOutput("Proxy Server Port= ", 10000)) << p.Output();
        ASSERT_TRUE(p.WaitUntilCatching(SIGINT, 10000));
    }
    std::string m_Dir;
};

}  // namespace

TEST_F(Daemon, SigintStopsInOrderWithStatusZero) {
    CTestProcess p;
    StartServing(p);
    p.Signal(SIGINT);
    EXPECT_EQ(0, p.WaitExit(10000)) << p.Output();
    std::string log = Log(0);
    EXPECT_TRUE(std::regex_search(log, std::regex("^[0-9]{2}:[0-9]{2}:[0-9]{2} ")));
    EXPECT_TRUE(std::regex_search(log, std::regex("Server  started\\. PID=[0-9]+ load average: ")));
    EXPECT_NE(std::string::npos, log.find("Server shutdown.\n")) << log;
    EXPECT_NE(std::string::npos, p.Output().find("Server shutdown.")) << "standard output echoes the log";
}

TEST_F(Daemon, SecondSigintDuringShutdownIsIgnored) {
    CTestProcess p;
    StartServing(p);
    p.Signal(SIGINT);
    p.Signal(SIGINT);
    p.Signal(SIGINT);
    EXPECT_EQ(0, p.WaitExit(10000)) << p.Output();
    EXPECT_NE(std::string::npos, Log(0).find("Server shutdown."));
}

TEST_F(Daemon, MissingConfigurationStopsWithStatusOne) {
    CTestProcess p;
    ASSERT_TRUE(p.Start(NB_DAEMON_PATH, m_Dir));
    EXPECT_EQ(1, p.WaitExit(10000)) << p.Output();
    std::string log = Log(0);
    // Exactly the start-up lines (with whatever OS_Init reports), then the error.
    std::regex expected(
        "([0-9]{2}:[0-9]{2}:[0-9]{2} (Warning|Maximum)[^\n]*\n)*"
        "[0-9]{2}:[0-9]{2}:[0-9]{2} Server  started\\. PID=[0-9]+ load average: [^\n]*\n"
        "[0-9]{2}:[0-9]{2}:[0-9]{2} Debug info is OFF\\.\n"
        "[0-9]{2}:[0-9]{2}:[0-9]{2} Error: Unable to load natbridged\\.ini\\.\n");
    EXPECT_TRUE(std::regex_match(log, expected)) << log;
}

TEST_F(Daemon, LogGenerationsRotateAtStart) {
    mkdir(Path("logs").c_str(), 0755);
    for (int g = 0; g <= 5; g++) WriteFile(Path("logs/natbridge(" + std::to_string(g) + ").txt"), "gen" + std::to_string(g));
    CTestProcess p;
    ASSERT_TRUE(p.Start(NB_DAEMON_PATH, m_Dir));
    EXPECT_EQ(1, p.WaitExit(10000));  // no configuration: start-up stops after the log is set up
    for (int g = 1; g <= 5; g++) EXPECT_EQ("gen" + std::to_string(g - 1), Log(g)) << "generation " << g;
    EXPECT_FALSE(Exists("logs/natbridge(6).txt"));
    EXPECT_NE(std::string::npos, Log(0).find("Error: Unable to load natbridged.ini."));
    EXPECT_EQ(std::string::npos, Log(0).find("gen"));
}

TEST_F(Daemon, FirstStartCreatesTheLogsDirectoryAndOnlyGenerationZero) {
    CTestProcess p;
    ASSERT_TRUE(p.Start(NB_DAEMON_PATH, m_Dir));
    EXPECT_EQ(1, p.WaitExit(10000));
    EXPECT_TRUE(Exists("logs/natbridge(0).txt"));
    for (int g = 1; g <= 6; g++) EXPECT_FALSE(Exists("logs/natbridge(" + std::to_string(g) + ").txt"));
}

TEST_F(Daemon, UncreatableLogsDirectoryStopsSilently) {
    WriteFile(Path("logs"), "a file where the directory should be");
    CTestProcess p;
    ASSERT_TRUE(p.Start(NB_DAEMON_PATH, m_Dir));
    EXPECT_EQ(1, p.WaitExit(10000));
    EXPECT_EQ("", p.Output());
}

TEST_F(Daemon, SegmentationFaultIsLoggedWithATrace) {
    CTestProcess p;
    StartServing(p);
    p.Signal(SIGSEGV);
    EXPECT_EQ(1, p.WaitExit(10000)) << p.Output();
    std::string log = Log(0);
    EXPECT_NE(std::string::npos, log.find("Caught signal 11\n")) << log;
    EXPECT_TRUE(std::regex_search(log, std::regex("Obtained [0-9]+ stack frames\\."))) << log;
    EXPECT_EQ(std::string::npos, log.find("Server shutdown."));
}

TEST_F(Daemon, LogLevelFromTheEnvironmentSilencesTheLog) {
    WriteFile(Path("natbridged.ini"), kConfig);
    CTestProcess p;
    ASSERT_TRUE(p.Start(NB_DAEMON_PATH, m_Dir, {{"LOG_LEVEL", "-1"}}));
    ASSERT_TRUE(p.WaitUntilCatching(SIGINT, 10000));
    p.Signal(SIGINT);
    EXPECT_EQ(0, p.WaitExit(10000));
    EXPECT_EQ("", Log(0));
}

// An operator's mistake in "Port" or a port in use ends start-up with status
// 1 and the reason logged, never with an assertion report.
TEST_F(Daemon, PortThatCannotBeOpenedStopsWithStatusOne) {
    int port = 0;
    int blocker = ListenOnFreePort(&port);
    ASSERT_GE(blocker, 0);
    const std::string inUse = std::to_string(port);
    const struct {
        std::string port;
        std::string reason;
    } cases[] = {
        {inUse, "Proxy Server Port= " + inUse + "\n"},
        {"27x00", "Error: ProxyServer Port \"27x00\" is not a port number\n"},
        {"-5", "is not a port number\n"},
        {"70000", "is not a port number\n"},
        {"65535", "Proxy Server Port= 65535\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.port);
        RemoveTree(m_Dir);
        m_Dir = MakeTempDir();
        WriteFile(Path("natbridged.ini"), "[ProxyServer]\nPort = " + c.port + "\n");
        CTestProcess p;
        ASSERT_TRUE(p.Start(NB_DAEMON_PATH, m_Dir));
        EXPECT_EQ(1, p.WaitExit(10000)) << p.Output();
        std::string log = Log(0);
        EXPECT_NE(std::string::npos, log.find(c.reason)) << log;
        EXPECT_NE(std::string::npos, log.find("Error openning the port\n")) << log;
        EXPECT_EQ(std::string::npos, log.find("Debug assert failed")) << log;
        EXPECT_EQ(std::string::npos, log.find("stack frames")) << log;
    }
    close(blocker);
}

// SIGCHLD is handled on the main thread: the handler reaps (here there is no
// child, so wait reports -1) and the waiting main thread logs the line.
TEST_F(Daemon, ChildSignalIsLoggedByTheWaitingMainThread) {
    CTestProcess p;
    StartServing(p);
    p.Signal(SIGCHLD);
    EXPECT_TRUE(WaitFor([&] { return Log(0).find("Child pid -1 exited.\n") != std::string::npos; })) << Log(0);
    p.Signal(SIGINT);
    EXPECT_EQ(0, p.WaitExit(10000)) << p.Output();
}
