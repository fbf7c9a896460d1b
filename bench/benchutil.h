// Helpers of the benchmarks (bench_relay, bench_messages): loopback sockets,
// relay framing, percentiles, and the two programs bench_relay starts and
// owns: the daemon under test and, when it is installed, haproxy as the
// reference forwarder. Both children die with the benchmark
// (PR_SET_PDEATHSIG) and are stopped and cleaned up on every exit path,
// including Die().
#ifndef NB_BENCH_BENCHUTIL_H
#define NB_BENCH_BENCHUTIL_H

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "lobby/common/rmi/nat_types.h"

namespace bench {

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}
inline double Micros(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::micro>(b - a).count();
}

// Children and scratch directories still owned by the benchmark, so that Die()
// leaves nothing behind.
struct Owned {
    std::vector<pid_t> pids;
    std::vector<std::string> dirs;
};
inline Owned& OwnedResources() {
    static Owned owned;
    return owned;
}

inline void RemoveTree(const std::string& dir) {
    if (dir.empty()) return;
    std::string cmd = "rm -rf '" + dir + "'";
    if (system(cmd.c_str()) != 0) {
    }
}

template <class T>
void Forget(std::vector<T>& list, const T& item) {
    list.erase(std::remove(list.begin(), list.end(), item), list.end());
}

// Kills the children and removes the scratch directories; only calls that
// are safe in a signal handler (the directories go through a forked rm).
inline void ReleaseOwned() {
    for (pid_t pid : OwnedResources().pids) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    for (const std::string& dir : OwnedResources().dirs) {
        pid_t rm = fork();
        if (rm == 0) {
            execl("/bin/rm", "rm", "-rf", dir.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        if (rm > 0) waitpid(rm, nullptr, 0);
    }
}

[[noreturn]] inline void Die(const char* what) {
    fprintf(stderr, "%s: %s (%s)\n", program_invocation_short_name, what, strerror(errno));
    ReleaseOwned();
    exit(1);
}

// Ctrl-C or a kill of the benchmark still cleans up after it.
inline void OnStopSignal(int sig) {
    ReleaseOwned();
    _exit(128 + sig);
}
inline void CleanUpOnStopSignals() {
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) signal(sig, OnStopSignal);
}

inline std::string MakeScratchDir(const char* prefix) {
    std::string templ = std::string("/tmp/") + prefix + "-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) Die("mkdtemp");
    OwnedResources().dirs.push_back(buf.data());
    return buf.data();
}

inline void SetNoDelay(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

inline sockaddr_in Loopback(int port) {
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

inline int ConnectTo(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) Die("socket");
    sockaddr_in addr = Loopback(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) Die("connect");
    SetNoDelay(fd);
    return fd;
}

// A listening socket on 127.0.0.1 with a port the system chose.
struct Listener {
    int fd = -1;
    int port = 0;
};

inline Listener Listen(int backlog) {
    Listener l;
    l.fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = Loopback(0);
    if (l.fd < 0 || bind(l.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(l.fd, backlog) != 0)
        Die("listen");
    socklen_t len = sizeof addr;
    getsockname(l.fd, reinterpret_cast<sockaddr*>(&addr), &len);
    l.port = ntohs(addr.sin_port);
    return l;
}

// accept() with a deadline; -1 when nothing arrives in time.
inline int AcceptWithin(int listenFd, int timeoutMs) {
    pollfd pfd = {listenFd, POLLIN, 0};
    if (poll(&pfd, 1, timeoutMs) <= 0) return -1;
    int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) SetNoDelay(fd);
    return fd;
}

inline void WriteAll(int fd, const void* data, size_t n) {
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
        ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) Die("send");
        p += w;
        n -= static_cast<size_t>(w);
    }
}

inline bool ReadAll(int fd, void* data, size_t n, int timeoutMs = 10000) {
    char* p = static_cast<char*>(data);
    while (n > 0) {
        pollfd pfd = {fd, POLLIN, 0};
        if (poll(&pfd, 1, timeoutMs) <= 0) return false;
        ssize_t r = recv(fd, p, n, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

inline std::string Packet(int size, int uid, int type) {
    std::string p(static_cast<size_t>(size), 'p');
    ProxyHeader_t h = {size, uid, type};
    memcpy(&p[0], &h, sizeof h);
    return p;
}

inline int Register(int fd) {
    std::string reg = Packet(16, 0, PH_TYPE_REGISTER);
    WriteAll(fd, reg.data(), reg.size());
    ProxyAuth_t reply;
    if (!ReadAll(fd, &reply, sizeof reply)) Die("registration reply");
    return reply.header.uid;
}

struct Percentiles {
    double p50;
    double p99;
};

inline Percentiles Summarise(std::vector<double>& us) {
    std::sort(us.begin(), us.end());
    return {us[us.size() / 2], us[us.size() * 99 / 100]};
}

inline void RaiseOpenFiles() {
    rlimit rl;
    getrlimit(RLIMIT_NOFILE, &rl);
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);
}

inline long OpenFilesLimit() {
    rlimit rl;
    getrlimit(RLIMIT_NOFILE, &rl);
    return static_cast<long>(rl.rlim_cur);
}

// A TcpExt counter of this network namespace (/proc/net/netstat), such as
// ListenOverflows or TCPSynRetrans; -1 when it cannot be read.
inline long long TcpExtCounter(const std::string& name) {
    std::ifstream in("/proc/net/netstat");
    std::string names, values;
    while (std::getline(in, names) && std::getline(in, values)) {
        if (names.rfind("TcpExt:", 0) != 0) continue;
        std::vector<std::string> n, v;
        std::string word;
        for (std::istringstream ns(names); ns >> word;) n.push_back(word);
        for (std::istringstream vs(values); vs >> word;) v.push_back(word);
        for (size_t i = 0; i < n.size() && i < v.size(); i++) {
            if (n[i] == name) return atoll(v[i].c_str());
        }
    }
    return -1;
}

// Listen-queue overflows and SYN retransmissions between construction and
// Text(): what a burst of connects cost in the kernel.
class SynCounters {
public:
    SynCounters() : m_Overflows(TcpExtCounter("ListenOverflows")), m_Retrans(TcpExtCounter("TCPSynRetrans")) {}
    std::string Text() const {
        long long o = TcpExtCounter("ListenOverflows"), r = TcpExtCounter("TCPSynRetrans");
        if (o < 0 || r < 0 || m_Overflows < 0 || m_Retrans < 0) return "kernel counters unavailable";
        return "listen-queue overflows " + std::to_string(o - m_Overflows) + ", SYN retransmissions " +
               std::to_string(r - m_Retrans) + " (whole network namespace)";
    }

private:
    long long m_Overflows, m_Retrans;
};

// The full path of an executable found on PATH, or "" when there is none.
inline std::string FindOnPath(const std::string& name) {
    const char* path = getenv("PATH");
    std::string dirs = path ? path : "";
    size_t at = 0;
    while (at <= dirs.size()) {
        size_t end = dirs.find(':', at);
        if (end == std::string::npos) end = dirs.size();
        std::string dir = dirs.substr(at, end - at);
        if (dir.empty()) dir = ".";
        std::string candidate = dir + "/" + name;
        struct stat st;
        if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(candidate.c_str(), X_OK) == 0)
            return candidate;
        at = end + 1;
    }
    return "";
}

// Starts argv[0] in dir with standard output and error going to outPath,
// killed by the kernel if the benchmark dies first. keepFd, if not -1, is
// inherited by the child (its close-on-exec flag is cleared there).
inline pid_t Spawn(const std::string& dir, const std::vector<std::string>& argv, const std::string& outPath,
                   int keepFd = -1) {
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) Die("fork");
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);  // the benchmark died before the line above
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) signal(sig, SIG_DFL);
        if (chdir(dir.c_str()) != 0) _exit(127);
        int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out < 0) _exit(127);
        dup2(out, 1);
        dup2(out, 2);
        if (keepFd >= 0) fcntl(keepFd, F_SETFD, 0);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    OwnedResources().pids.push_back(pid);
    return pid;
}

// Sends sig, waits up to graceMs for the child, then kills it outright.
inline void Stop(pid_t pid, int sig, int graceMs) {
    if (pid <= 0) return;
    kill(pid, sig);
    auto deadline = Clock::now() + std::chrono::milliseconds(graceMs);
    while (waitpid(pid, nullptr, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            break;
        }
        usleep(5000);
    }
    Forget(OwnedResources().pids, pid);
}

inline bool Exited(pid_t pid) {
    int status;
    return waitpid(pid, &status, WNOHANG) == pid;
}

inline std::string FirstLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// The daemon under test, in a scratch directory of its own.
class Daemon {
public:
    explicit Daemon(const std::string& binary) {
        m_Dir = MakeScratchDir("natbridge-bench");
        std::ofstream(m_Dir + "/natbridged.ini") << "[ProxyServer]\nPort = 0\n";
        m_Pid = Spawn(m_Dir, {binary}, "/dev/null");
        for (int i = 0; i < 1000 && m_Port == 0; i++) {
            usleep(10000);
            std::ifstream log(m_Dir + "/logs/natbridge(0).txt");
            std::string line;
            while (std::getline(log, line)) {
                size_t at = line.find("Proxy Server Port= ");
                if (at != std::string::npos) m_Port = atoi(line.c_str() + at + 19);
            }
        }
        if (m_Port == 0) Die("the daemon did not report its port");
    }
    ~Daemon() {
        Stop(m_Pid, SIGINT, 10000);
        RemoveTree(m_Dir);
        Forget(OwnedResources().dirs, m_Dir);
    }
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    int Port() const { return m_Port; }
    long ResidentKiB() const {
        std::ifstream status("/proc/" + std::to_string(m_Pid) + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("VmRSS:", 0) == 0) return atol(line.c_str() + 6);
        }
        return 0;
    }
    // Descriptors the daemon has open: falls back to its resting count once
    // the connections a row closed have been taken down.
    int OpenDescriptors() const {
        DIR* d = opendir(("/proc/" + std::to_string(m_Pid) + "/fd").c_str());
        if (!d) return -1;
        int n = 0;
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] != '.') n++;
        }
        closedir(d);
        return n;
    }
    // Waits (up to timeoutMs) until the daemon holds at most `limit` descriptors.
    bool WaitDescriptorsAtMost(int limit, int timeoutMs) const {
        auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            int n = OpenDescriptors();
            if (n >= 0 && n <= limit) return true;
            if (Clock::now() > deadline) return false;
            usleep(20000);
        }
    }

private:
    std::string m_Dir;
    pid_t m_Pid = -1;
    int m_Port = 0;
};

// haproxy as a plain TCP forwarder, one thread, no logging. Both of its
// sockets on our side are the benchmark's own: the frontend listener is
// handed to haproxy (bind fd@N), and every connection haproxy makes to the
// backend is accepted by the benchmark from `Backend()`, so accepting there
// right after connecting to `FrontPort()` yields the far end of that client.
class Haproxy {
public:
    // Starts haproxy when it is on PATH; check Running() and Status().
    Haproxy() {
        m_Binary = FindOnPath("haproxy");
        if (m_Binary.empty()) {
            m_Status = "haproxy: not installed";
            return;
        }
        m_Front = Listen(128);
        m_Back = Listen(128);
        m_Dir = MakeScratchDir("natbridge-bench-haproxy");
        std::string cfg = m_Dir + "/haproxy.cfg";
        std::ofstream(cfg) << "global\n"
                              "    nbthread 1\n"
                              "    maxconn 4000\n"
                              "defaults\n"
                              "    mode tcp\n"
                              "    timeout connect 10s\n"
                              "    timeout client 10m\n"
                              "    timeout server 10m\n"
                              "frontend clients\n"
                              "    bind fd@"
                           << m_Front.fd
                           << "\n"
                              "    default_backend receivers\n"
                              "backend receivers\n"
                              "    server receiver 127.0.0.1:"
                           << m_Back.port << "\n";
        m_Pid = Spawn(m_Dir, {m_Binary, "-db", "-q", "-f", cfg}, m_Dir + "/output.txt", m_Front.fd);
        // One connection through it shows that it forwards.
        int client = ConnectTo(m_Front.port);
        int far = -1;
        for (int waited = 0; far < 0 && waited < 10000 && !Exited(m_Pid); waited += 100)
            far = AcceptWithin(m_Back.fd, 100);
        close(client);
        if (far < 0) {
            std::string why = FirstLine(m_Dir + "/output.txt");
            m_Status = "haproxy: did not start" + (why.empty() ? std::string() : " (" + why + ")");
            Shut();
            return;
        }
        close(far);
        m_Status = "haproxy " + Version();
    }
    ~Haproxy() { Shut(); }
    Haproxy(const Haproxy&) = delete;
    Haproxy& operator=(const Haproxy&) = delete;

    bool Running() const { return m_Pid > 0; }
    const std::string& Status() const { return m_Status; }
    int FrontPort() const { return m_Front.port; }
    int Backend() const { return m_Back.fd; }

private:
    std::string Version() const {
        std::string out = m_Dir + "/version.txt";
        pid_t pid = Spawn(m_Dir, {m_Binary, "-v"}, out);
        waitpid(pid, nullptr, 0);
        Forget(OwnedResources().pids, pid);
        std::string line = FirstLine(out);  // "HAProxy version 2.6.12-1 2023/... - https://..."
        std::string key = "version ";
        size_t at = line.find(key);
        if (at == std::string::npos) return "(version unknown)";
        at += key.size();
        return line.substr(at, line.find(' ', at) - at);
    }
    void Shut() {
        if (m_Pid > 0) Stop(m_Pid, SIGTERM, 2000);
        m_Pid = -1;
        if (m_Front.fd >= 0) close(m_Front.fd);
        if (m_Back.fd >= 0) close(m_Back.fd);
        m_Front.fd = m_Back.fd = -1;
        RemoveTree(m_Dir);
        Forget(OwnedResources().dirs, m_Dir);
        m_Dir.clear();
    }

    std::string m_Binary;
    std::string m_Dir;
    std::string m_Status;
    Listener m_Front, m_Back;
    pid_t m_Pid = -1;
};

}  // namespace bench

#endif
