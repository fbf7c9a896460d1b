#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <regex>
#include <string>
#include <vector>

#include "common/src/cbase.h"
#include "common/src/osutils.h"
#include "tests/support/process.h"

namespace {

std::vector<std::pair<std::string, std::string>> g_Seen;

void Collect(const char* text, const char* group) { g_Seen.emplace_back(text, group); }

// Each test gets a fresh log in a temporary directory and restores the test
// program's own set-up (standard output plus the stderr echo) afterwards.
class Logging : public ::testing::Test {
protected:
    void SetUp() override {
        m_Dir = MakeTempDir();
        m_File = m_Dir + "/log.txt";
        g_Seen.clear();
        Log_Off();
    }
    void TearDown() override {
        Log_Off();
        Log_SetTimeStamp(true);
        g_DebugLevel = 0;
        Log_Init(nullptr, true, [](const char* text, const char*) { fprintf(stderr, "%s\n", text); });
        RemoveTree(m_Dir);
    }
    std::string m_Dir;
    std::string m_File;
};

}  // namespace

TEST_F(Logging, LinesAreSplitAtLineFeedsAndPrefixedWithTheTime) {
    ASSERT_TRUE(Log_Init(m_File.c_str(), false, Collect));
    Log_PrintAll("a\nb");
    Log_PrintAll("x\n");
    Log_PrintAll("\n\ny");
    Log_PrintAll("%s", "");
    ASSERT_EQ(6u, g_Seen.size());
    const char* expected[] = {"a", "b", "x", "", "", "y"};
    for (size_t i = 0; i < 6; i++) {
        EXPECT_EQ(expected[i], g_Seen[i].first);
        EXPECT_EQ("NONE", g_Seen[i].second);
    }
    std::string file = ReadFile(m_File);
    EXPECT_TRUE(std::regex_match(file, std::regex("([0-9]{2}:[0-9]{2}:[0-9]{2} (a|b|x||y)\n){6}"))) << file;
}

TEST_F(Logging, StandardOutputGetsTheSameLines) {
    ASSERT_TRUE(Log_Init(nullptr, true, nullptr));
    Log_SetTimeStamp(false);
    testing::internal::CaptureStdout();
    Log_PrintAll("one\ntwo %d", 2);
    EXPECT_EQ("one\ntwo 2\n", testing::internal::GetCapturedStdout());
}

TEST_F(Logging, WithoutTimeStampTheLineIsExactlyTheText) {
    ASSERT_TRUE(Log_Init(m_File.c_str(), false, nullptr));
    Log_SetTimeStamp(false);
    Log_PrintAll("plain %d", 5);
    EXPECT_EQ("plain 5\n", ReadFile(m_File));
}

TEST_F(Logging, NegativeLevelSilencesEverything) {
    ASSERT_TRUE(Log_Init(m_File.c_str(), false, Collect));
    Log_SetTimeStamp(false);
    Log_SetLevel(-1);
    Log_PrintAll("hidden");
    EXPECT_TRUE(g_Seen.empty());
    Log_SetLevel(0);
    Log_PrintAll("shown");
    EXPECT_EQ("Changing debug level to 0\nshown\n", ReadFile(m_File));
}

TEST_F(Logging, DeletedLogFileComesBackAtTheNextLine) {
    ASSERT_TRUE(Log_Init(m_File.c_str(), false, nullptr));
    Log_SetTimeStamp(false);
    Log_PrintAll("first");
    ASSERT_EQ(0, unlink(m_File.c_str()));
    Log_PrintAll("second");
    EXPECT_EQ("second\n", ReadFile(m_File));
}

TEST_F(Logging, InitTruncatesAnExistingFile) {
    WriteFile(m_File, "old contents\n");
    ASSERT_TRUE(Log_Init(m_File.c_str(), false, nullptr));
    EXPECT_EQ("", ReadFile(m_File));
}

TEST(LoggingDeathTest, InitInAMissingDirectoryFailsButStandardOutputGoesOn) {
    std::string bad = "/nonexistent-natbridge-dir/log.txt";
    // A fresh process, where standard output is on from the start as in the daemon.
    EXPECT_EXIT(
        {
            testing::internal::CaptureStdout();
            bool ok = Log_Init(bad.c_str(), true, nullptr);
            Log_SetTimeStamp(false);
            Log_PrintAll("still here");
            std::string out = testing::internal::GetCapturedStdout();
            fprintf(stderr, "stdout=<%s>\n", out.c_str());
            _exit(!ok && !OS_FileExists(bad.c_str()) ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "stdout=<still here\n>");
}

TEST_F(Logging, LongTextIsLoggedWhole) {
    ASSERT_TRUE(Log_Init(nullptr, false, Collect));
    std::string big(5000, 'q');
    Log_PrintAll("%s!", big.c_str());
    ASSERT_EQ(1u, g_Seen.size());
    EXPECT_EQ(big + "!", g_Seen[0].first);
}

TEST_F(Logging, OffStopsAllOutput) {
    ASSERT_TRUE(Log_Init(m_File.c_str(), false, Collect));
    Log_Off();
    testing::internal::CaptureStdout();
    Log_PrintAll("nothing");
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
    EXPECT_TRUE(g_Seen.empty());
    EXPECT_EQ("", ReadFile(m_File));
}

TEST(LoggingDeathTest, SecondInitIsFatal) {
    EXPECT_DEATH(
        {
            Log_Init(nullptr, false, nullptr);
            Log_Init(nullptr, false, nullptr);
        },
        "");
    // The report itself goes through the log; check its text with a callback.
    EXPECT_DEATH(
        {
            Log_Off();
            Log_Init(nullptr, false, [](const char* t, const char*) { fprintf(stderr, "%s\n", t); });
            Log_Init(nullptr, false, nullptr);
        },
        "Debug assert failed on line [0-9]+ of common/src/log.cpp");
}

TEST(LoggingThreads, LinesFromManyThreadsNeverTear) {
    std::string dir = MakeTempDir();
    std::string file = dir + "/log.txt";
    Log_Off();
    ASSERT_TRUE(Log_Init(file.c_str(), false, nullptr));
    auto body = [](void* p) {
        char c = static_cast<char>(reinterpret_cast<intptr_t>(p));
        std::string line(300, c);
        for (int i = 0; i < 200; i++) Log_PrintAll("%s", line.c_str());
    };
    HThread a = OS_CreateThread(body, reinterpret_cast<void*>(static_cast<intptr_t>('a')), OS_THREAD_PRIORITY_NORMAL);
    HThread b = OS_CreateThread(body, reinterpret_cast<void*>(static_cast<intptr_t>('b')), OS_THREAD_PRIORITY_NORMAL);
    OS_JoinThread(a);
    OS_JoinThread(b);
    Log_Off();
    Log_Init(nullptr, true, [](const char* text, const char*) { fprintf(stderr, "%s\n", text); });
    std::string text = ReadFile(file);
    RemoveTree(dir);
    std::regex line("[0-9]{2}:[0-9]{2}:[0-9]{2} (a{300}|b{300})");
    int lines = 0;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1, lines++) {
        ASSERT_TRUE(std::regex_match(text.substr(start, end - start), line)) << "line " << lines;
    }
    EXPECT_EQ(400, lines);
}
