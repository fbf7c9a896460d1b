// Linux implementation of the OS layer's file and process group: files and
// directories, directory listing, running programs, loadable modules and
// their versions, and system information. Everything here reports failure by
// result; only the functions not available on Linux and the argument limit of
// OS_CreateProcess assert. No locks: the recorded working directory is not
// guarded, so record it on the main thread before other threads read it.
#include "common/src/osutils.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/src/cbase.h"
#include "common/src/file.h"

// ---------------------------------------------------------------------------
// Files and directories

static char g_WorkingDirectory[1024];
static bool g_WorkingDirectorySet = false;

bool OS_FileExists(const char* file) {
    FILE* f = fopen(file, "r");
    if (!f) return false;
    fclose(f);
    return true;
}

bool OS_DirExists(const char* path) {
    DIR* d = opendir(path);
    if (!d) return false;
    closedir(d);
    return true;
}

bool OS_CreateDirectory(const char* path) { return mkdir(path, 0777) == 0; }

bool OS_DeleteFile(const char* file) { return unlink(file) == 0; }

bool OS_DeleteDirectory(const char* file) { return rmdir(file) == 0; }

bool OS_MoveFile(const char* oldName, const char* newName) { return rename(oldName, newName) == 0; }

bool OS_CopyFile(const char* source, const char* dest) {
    CBuffer contents;
    return CFile::Read(source, contents) && CFile::Write(dest, contents);
}

void OS_SetWorkingDirectory(CString path) {
    OS_ASSERTMSG(path.Length() < static_cast<int>(sizeof g_WorkingDirectory), "working directory too long");
    strcpy(g_WorkingDirectory, path);
    g_WorkingDirectorySet = true;
}

CString OS_GetWorkingDirectory() {
    if (!g_WorkingDirectorySet) OS_SetWorkingDirectory(".");
    return g_WorkingDirectory;
}

// Position of the last "/" or "\\" after position 0, or -1.
static int LastSeparator(const CString& path) {
    for (int i = path.Length() - 1; i > 0; i--) {
        if (path[i] == '/' || path[i] == '\\') return i;
    }
    return -1;
}

CString OS_GetBaseFileName(CString filePath) {
    int pos = LastSeparator(filePath);
    return pos < 0 ? filePath : filePath.SubString(pos + 1, -1);
}

CString OS_GetFileDirectory(CString filePath) {
    int pos = LastSeparator(filePath);
    CString directory = pos < 0 ? CString() : filePath.SubString(0, pos);
    Log_PrintAll("%s", directory.Ptr());
    return directory;
}

bool OS_EnumerateFilesEx(CString path, CVector<CString>* files, bool dirs, bool recursive, CString pathEx) {
    CString directory = path + "/" + pathEx;
    DIR* d = opendir(directory);
    if (!d) return false;
    bool ok = true;
    while (struct dirent* entry = readdir(d)) {
        CString name(entry->d_name);
        if (name == "." || name == "..") continue;
        struct stat st;
        if (stat(directory + "/" + name, &st) != 0) {
            ok = false;
            break;
        }
        if (S_ISDIR(st.st_mode)) {
            if (recursive) OS_EnumerateFilesEx(path, files, dirs, recursive, pathEx + name + "/");
            if (dirs) files->AddToTail(pathEx + name);
        } else if (S_ISREG(st.st_mode) && !dirs) {
            files->AddToTail(pathEx + name);
        }
    }
    closedir(d);
    return ok;
}

bool OS_EnumerateFiles(const char* path, CVector<CString>* files, bool recursive) {
    files->RemoveAll();
    return OS_EnumerateFilesEx(path, files, false, recursive, "");
}

bool OS_EnumerateDirectories(const char* path, CVector<CString>* dirs, bool recursive) {
    dirs->RemoveAll();
    return OS_EnumerateFilesEx(path, dirs, true, recursive, "");
}

// ---------------------------------------------------------------------------
// Processes

CString OS_RunProcess(CString cmd, bool block) {
    if (!block) {
        OS_Assert(__LINE__, __FILE__, "OS_RunProcess without blocking is not available on Linux");
    }
    FILE* pipe = popen(cmd + " 2>/dev/null", "r");
    if (!pipe) return "";
    CBuffer output;
    char chunk[2000];
    size_t n;
    while ((n = fread(chunk, 1, 1999, pipe)) > 0) output.WriteData(chunk, static_cast<int>(n));
    pclose(pipe);
    output.WriteByte(0);
    return static_cast<const char*>(output.Data());
}

bool OS_CreateProcess(CString cmd) {
    // Split before forking: the assertion about too many words then reports
    // from a single-threaded child just as well, but allocation stays out of
    // the child where another thread may have held the heap lock.
    CVector<CString> words = (CString("./") + cmd).Split(" ");
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid > 0) return true;

    int maxFiles = OS_GetMaxOpenFiles();
    for (int fd = 0; fd < maxFiles; fd++) fcntl(fd, F_SETFD, FD_CLOEXEC);
    OS_ASSERTMSG(words.Count() <= 8, "OS_CreateProcess: %d words, at most 8", words.Count());
    char* argv[9];
    for (int i = 0; i < words.Count(); i++) argv[i] = const_cast<char*>(words[i].Ptr());
    argv[words.Count()] = nullptr;
    // A mask survives exec: a child of one of our threads (which block
    // SIGINT, SIGTERM, SIGCHLD...) would otherwise start deaf to them.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    setsid();
    execv(argv[0], argv);
    _exit(1);
}

int OS_FindProcessIDByCommandLine(CString commandLine) {
    DIR* proc = opendir("/proc/");
    if (!proc) {
        perror("Couldn't open the /proc/ directory");
        return -2;
    }
    int self = static_cast<int>(getpid());
    while (struct dirent* entry = readdir(proc)) {
        if (entry->d_type != DT_DIR || !IsNumeric(entry->d_name) || !entry->d_name[0]) continue;
        CString path = Sprintf("/proc/%s/cmdline", entry->d_name);
        FILE* f = fopen(path, "rt");
        if (!f) continue;
        char text[300];
        size_t n = fread(text, 1, 299, f);
        fclose(f);
        if (n == 0) continue;
        // Arguments are NUL-separated; the last byte is the final separator.
        for (size_t i = 0; i < n; i++) {
            if (text[i] == 0) text[i] = '\t';
        }
        text[n - 1] = 0;
        CVector<CString> args = CString(text).Split("\t");
        if (args.Count() > 0) {
            CString& program = args[0];
            for (int i = program.Length() - 1; i >= 0; i--) {
                if (program[i] == '/') {
                    program = program.SubString(i + 1, -1);
                    break;
                }
            }
        }
        if (!(args.Join(" ") == commandLine)) continue;
        int pid = static_cast<int>(strtol(entry->d_name, nullptr, 10));
        if (pid != self) {
            closedir(proc);
            return pid;
        }
    }
    closedir(proc);
    return -1;
}

// ---------------------------------------------------------------------------
// Loadable modules and versions

HModule OS_LoadModule(const char* file, CString* error) {
    HModule h = dlopen(file, RTLD_NOW);
    if (!h && error) {
        const char* text = dlerror();
        *error = text ? text : "";
    }
    return h;
}

void OS_UnLoadModule(HModule h) {
    if (h) dlclose(h);
}

void* OS_GetSymbol(HModule h, const char* name) { return dlsym(h, name); }

CreateInterface_t OS_GetFactory(HModule h) {
    return reinterpret_cast<CreateInterface_t>(OS_GetSymbol(h, "CreateInterface"));
}

int OS_GetModuleVersion(CString path) {
    HModule h = OS_LoadModule(path, nullptr);
    if (!h) return 0;
    QueryVersion_t query = reinterpret_cast<QueryVersion_t>(OS_GetSymbol(h, "QueryVersion"));
    int version = query ? query() : 0;
    OS_UnLoadModule(h);
    return version;
}

int OS_GetExecutableVersion(CString path) {
    CString output = OS_RunProcess(path + " -v#", true);
    return output.Length() ? output.ToHex() : 0;
}

int OS_GetFileVersion(CString path) {
    if (path.Find(".so", 0) >= 0 || path.Find(".dll", 0) >= 0) return OS_GetModuleVersion(path);
    return OS_GetExecutableVersion(path);
}

HModule OS_GetModuleHandle(const char*) { OS_Assert(__LINE__, __FILE__, "OS_GetModuleHandle is not available on Linux"); }

HModule OS_GetModuleHandleFromAddress(void*) {
    OS_Assert(__LINE__, __FILE__, "OS_GetModuleHandleFromAddress is not available on Linux");
}

bool OS_SetPermission(void*, int, int) { OS_Assert(__LINE__, __FILE__, "OS_SetPermission is not available on Linux"); }

// ---------------------------------------------------------------------------
// System information

CString OS_GetLoadAvg() {
    double load[3];
    if (getloadavg(load, 3) != 3) return "load average: unknown";
    return Sprintf("load average: %.2f, %.2f, %.2f", load[0], load[1], load[2]);
}

int GetOS() { return 1; }

int GetSubOS() { return 0; }

CString OS_Name(int OS) {
    switch (OS) {
        case 0: return "Windows";
        case 1: return "Linux";
        case 2: return "Darwin";
        case 3: return "iPhone";
        default: return "";
    }
}

CString OS_SubName(int) { return ""; }

CString OS_FullName() {
    FILE* pipe = popen("uname -osnrm", "r");
    if (!pipe) return "Unknown Linux";
    char line[1024];
    bool got = fgets(line, sizeof line, pipe) != nullptr;
    pclose(pipe);
    if (!got) return "Unknown Linux";
    chop(line);
    return line[0] ? CString(line) : CString("Unknown Linux");
}

HardwareIDs_t OS_GetHardwareIDs() { return HardwareIDs_t(); }
