#include <gtest/gtest.h>

#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/src/file.h"
#include "common/src/osutils.h"
#include "tests/support/waitfor.h"
#include "tests/support/process.h"

namespace {

class TempDir : public ::testing::Test {
protected:
    void SetUp() override { m_Dir = MakeTempDir(); }
    void TearDown() override { RemoveTree(m_Dir); }
    std::string Path(const std::string& name) const { return m_Dir + "/" + name; }
    std::string m_Dir;
};

std::vector<std::string> Sorted(const CVector<CString>& v) {
    std::vector<std::string> out;
    for (int i = 0; i < v.Count(); i++) out.push_back(v[i].Ptr());
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace

TEST(OsPaths, BaseNameAndDirectory) {
    EXPECT_STREQ("file.txt", OS_GetBaseFileName("dir/sub/file.txt").Ptr());
    EXPECT_STREQ("b", OS_GetBaseFileName("C:\\a\\b").Ptr());
    EXPECT_STREQ("file", OS_GetBaseFileName("file").Ptr());
    EXPECT_STREQ("/file", OS_GetBaseFileName("/file").Ptr());
    EXPECT_STREQ("", OS_GetBaseFileName("").Ptr());
    EXPECT_STREQ("dir/sub", OS_GetFileDirectory("dir/sub/file.txt").Ptr());
    EXPECT_STREQ("", OS_GetFileDirectory("file").Ptr());
    EXPECT_STREQ(".", OS_GetWorkingDirectory().Ptr());
    OS_SetWorkingDirectory("/srv/x");
    EXPECT_STREQ("/srv/x", OS_GetWorkingDirectory().Ptr());
}

TEST(OsSystem, NamesAndInformation) {
    EXPECT_STREQ("Linux", OS_Name(1).Ptr());
    EXPECT_STREQ("Windows", OS_Name(0).Ptr());
    EXPECT_STREQ("", OS_Name(7).Ptr());
    EXPECT_STREQ("", OS_SubName(3).Ptr());
    EXPECT_EQ(1, GetOS());
    EXPECT_EQ(0, GetSubOS());
    EXPECT_EQ(0, OS_GetHardwareIDs().Count());
    CString full = OS_FullName();
    EXPECT_GT(full.Length(), 0);
    EXPECT_EQ(-1, full.Find("\n", 0));
}

TEST(OsProcess, RunProcessReturnsStandardOutputOnly) {
    EXPECT_STREQ("hi\n", OS_RunProcess("echo hi", true).Ptr());
    EXPECT_STREQ("", OS_RunProcess("echo oops >&2", true).Ptr());
    std::string big = OS_RunProcess("head -c 5000 /dev/zero | tr '\\0' x", true).Ptr();
    EXPECT_EQ(std::string(5000, 'x'), big);
}

TEST(OsProcessDeathTest, NonBlockingRunIsNotAvailable) {
    EXPECT_DEATH(OS_RunProcess("true", false), "Debug assert failed on line [0-9]+ of common/src/osutils_files.cpp");
    EXPECT_DEATH(OS_GetModuleHandle("x"), "common/src/osutils_files.cpp");
}

TEST_F(TempDir, ExecutableVersionIsReadAsHex) {
    std::string script = Path("tool");
    WriteFile(script, "#!/bin/sh\n[ \"$1\" = \"-v#\" ] && echo 1a\n");
    chmod(script.c_str(), 0755);
    EXPECT_EQ(26, OS_GetExecutableVersion(script.c_str()));
    EXPECT_EQ(26, OS_GetFileVersion(script.c_str()));
    EXPECT_EQ(0, OS_GetExecutableVersion(Path("missing").c_str()));
    EXPECT_EQ(0, OS_GetModuleVersion(Path("missing.so").c_str()));
    CString error;
    EXPECT_EQ(nullptr, OS_LoadModule(Path("missing.so").c_str(), &error));
    EXPECT_GT(error.Length(), 0);
}

TEST_F(TempDir, CreateProcessStartsAProgramWithItsArguments) {
    std::string script = Path("touch.sh");
    WriteFile(script, "#!/bin/sh\necho \"$1 $2\" > \"$3\"\n");
    chmod(script.c_str(), 0755);
    ASSERT_EQ(0, chdir(m_Dir.c_str()));
    std::string out = Path("out.txt");
    EXPECT_TRUE(OS_CreateProcess(("touch.sh a b " + out).c_str()));
    // The script writes its line in one go; wait for the whole line.
    EXPECT_TRUE(WaitFor([&] { return ReadFile(out) == "a b\n"; })) << ReadFile(out);
}

// Threads of the OS layer block SIGINT, SIGTERM and SIGCHLD; a program they
// start must not inherit that mask, or it could never be interrupted. cp
// (not a shell, which resets its mask) copies its own status out.
TEST_F(TempDir, ProgramStartedFromAWorkerThreadHasNoSignalsBlocked) {
    ASSERT_EQ(0, symlink("/bin/cp", Path("cp").c_str()));
    ASSERT_EQ(0, chdir(m_Dir.c_str()));
    std::string out = Path("status.txt");
    std::string cmd = "cp /proc/self/status " + out;
    HThread t = OS_CreateThread(
        [](void* p) { ASSERT_TRUE(OS_CreateProcess(static_cast<std::string*>(p)->c_str())); }, &cmd,
        OS_THREAD_PRIORITY_NORMAL);
    OS_JoinThread(t);
    // SigCgt follows SigBlk: once it is there, the line is complete.
    ASSERT_TRUE(WaitFor([&] { return ReadFile(out).find("SigCgt") != std::string::npos; }));
    std::string status = ReadFile(out);
    size_t at = status.find("SigBlk:");
    ASSERT_NE(std::string::npos, at);
    unsigned long long blocked = std::stoull(status.substr(at + 7), nullptr, 16);
    for (int signo : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD}) {
        EXPECT_EQ(0ull, blocked & (1ull << (signo - 1))) << strsignal(signo);
    }
}

TEST_F(TempDir, CreateProcessWithNineWordsStopsTheChild) {
    ASSERT_EQ(0, chdir(m_Dir.c_str()));
    // The child reports the assertion; the parent only sees a started child.
    EXPECT_EXIT(
        {
            bool started = OS_CreateProcess("p 1 2 3 4 5 6 7 8");
            int status = 0;
            wait(&status);
            _exit(started && WIFSIGNALED(status) ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "OS_CreateProcess: 9 words, at most 8");
}

TEST_F(TempDir, FilesAreCreatedMovedCopiedAndDeleted) {
    std::string a = Path("a"), b = Path("b"), c = Path("c");
    EXPECT_FALSE(OS_FileExists(a.c_str()));
    WriteFile(a, "data");
    EXPECT_TRUE(OS_FileExists(a.c_str()));
    EXPECT_TRUE(OS_CopyFile(a.c_str(), b.c_str()));
    EXPECT_EQ("data", ReadFile(b));
    WriteFile(c, "old");
    EXPECT_TRUE(OS_MoveFile(a.c_str(), c.c_str()));  // replaces the target
    EXPECT_EQ("data", ReadFile(c));
    EXPECT_FALSE(OS_FileExists(a.c_str()));
    EXPECT_FALSE(OS_MoveFile(a.c_str(), b.c_str()));
    EXPECT_TRUE(OS_DeleteFile(b.c_str()));
    EXPECT_FALSE(OS_DeleteFile(b.c_str()));
    EXPECT_FALSE(OS_CopyFile(a.c_str(), b.c_str()));

    std::string d = Path("d");
    EXPECT_FALSE(OS_DirExists(d.c_str()));
    EXPECT_TRUE(OS_CreateDirectory(d.c_str()));
    EXPECT_TRUE(OS_DirExists(d.c_str()));
    EXPECT_FALSE(OS_CreateDirectory(Path("x/y").c_str()));
    WriteFile(d + "/f", "");
    EXPECT_FALSE(OS_DeleteDirectory(d.c_str()));
    EXPECT_TRUE(OS_DeleteFile((d + "/f").c_str()));
    EXPECT_TRUE(OS_DeleteDirectory(d.c_str()));
}

TEST_F(TempDir, EnumerateListsFilesAndDirectoriesRelativeToTheRoot) {
    WriteFile(Path("a"), "");
    WriteFile(Path("b"), "");
    OS_CreateDirectory(Path("s").c_str());
    WriteFile(Path("s/c"), "");
    CVector<CString> files;
    EXPECT_TRUE(OS_EnumerateFiles(m_Dir.c_str(), &files, false));
    EXPECT_EQ((std::vector<std::string>{"a", "b"}), Sorted(files));
    EXPECT_TRUE(OS_EnumerateFiles(m_Dir.c_str(), &files, true));
    EXPECT_EQ((std::vector<std::string>{"a", "b", "s/c"}), Sorted(files));
    CVector<CString> dirs;
    EXPECT_TRUE(OS_EnumerateDirectories(m_Dir.c_str(), &dirs, false));
    EXPECT_EQ((std::vector<std::string>{"s"}), Sorted(dirs));
    OS_CreateDirectory(Path("s/t").c_str());
    EXPECT_TRUE(OS_EnumerateDirectories(m_Dir.c_str(), &dirs, true));
    ASSERT_EQ(2, dirs.Count());
    EXPECT_STREQ("s/t", dirs[0].Ptr());  // contents before their directory
    EXPECT_STREQ("s", dirs[1].Ptr());
    EXPECT_FALSE(OS_EnumerateFiles(Path("none").c_str(), &files, false));
    EXPECT_EQ(0, files.Count());
}

TEST_F(TempDir, FileReadsWholeBuffersAndLines) {
    std::string f = Path("f");
    CBuffer buf;
    buf.WriteData("x\0y", 3);
    EXPECT_TRUE(CFile::Write(f.c_str(), buf));
    EXPECT_TRUE(CFile::Append(f.c_str(), buf));
    CBuffer back;
    EXPECT_TRUE(CFile::Read(f.c_str(), back));
    ASSERT_EQ(6, back.Length());
    EXPECT_EQ(0, memcmp(back.Data(), "x\0yx\0y", 6));

    WriteFile(f, "");
    for (int i = 0; i < 3000; i++) {  // would run out of descriptors if any leaked
        ASSERT_TRUE(CFile::Read(f.c_str(), back));
        ASSERT_EQ(0, back.Length());
    }
    EXPECT_FALSE(CFile::Read(Path("missing").c_str(), back));

    WriteFile(f, "one\r\ntwo\n\nlast");
    CVector<CString> lines;
    EXPECT_TRUE(CFile::Read(f.c_str(), lines));
    ASSERT_EQ(4, lines.Count());
    EXPECT_STREQ("one", lines[0].Ptr());
    EXPECT_STREQ("", lines[2].Ptr());
    EXPECT_STREQ("last", lines[3].Ptr());

    WriteFile(f, std::string(2500, 'z') + "\n");
    EXPECT_TRUE(CFile::Read(f.c_str(), lines));
    ASSERT_EQ(2, lines.Count());
    EXPECT_EQ(1999, lines[0].Length());
    EXPECT_EQ(501, lines[1].Length());

    EXPECT_TRUE(CFile::Write(f.c_str(), lines));
    EXPECT_TRUE(CFile::Append(f.c_str(), CString("tail")));
    EXPECT_EQ(std::string(1999, 'z') + "\n" + std::string(501, 'z') + "\ntail\n", ReadFile(f));
    int mtime = 0;
    EXPECT_TRUE(CFile::GetLastModified(f.c_str(), mtime));
    EXPECT_LE(std::abs(static_cast<long>(mtime) - static_cast<long>(time(nullptr))), 5L);
    EXPECT_FALSE(CFile::GetLastModified(Path("missing").c_str(), mtime));
    EXPECT_FALSE(CFile::Write(Path("no/such").c_str(), lines));
}

TEST_F(TempDir, FindProcessByCommandLineSkipsTheCaller) {
    // A child started as "/bin/sleep 30" is found by its base name and arguments.
    pid_t shell = fork();
    if (shell == 0) {
        execl("/bin/sleep", "/bin/sleep", "30", static_cast<char*>(nullptr));
        _exit(127);
    }
    int found = -1;
    bool seen = WaitFor([&] { return (found = OS_FindProcessIDByCommandLine("sleep 30")) >= 0; });
    kill(shell, SIGKILL);
    waitpid(shell, nullptr, 0);
    EXPECT_TRUE(seen);
    EXPECT_EQ(shell, found);
    EXPECT_EQ(-1, OS_FindProcessIDByCommandLine("no-such-program --flag"));
    // The test program's own command line never matches itself.
    std::string self = ReadFile("/proc/self/cmdline");
    std::string base = self.substr(0, self.find('\0'));
    base = base.substr(base.rfind('/') + 1);
    EXPECT_NE(getpid(), OS_FindProcessIDByCommandLine(base.c_str()));
}
