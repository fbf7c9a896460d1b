#include "tests/support/process.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <stdio.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

std::string MakeTempDir() {
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/natbridge-test-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back(0);
    if (!mkdtemp(buf.data())) return "";
    return buf.data();
}

void RemoveTree(const std::string& dir) {
    if (dir.find("natbridge-test-") == std::string::npos) return;
    std::string cmd = "rm -rf '" + dir + "'";
    if (system(cmd.c_str()) != 0) {
    }
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

CTestProcess::~CTestProcess() {
    if (m_Pid > 0) {
        kill(m_Pid, SIGKILL);
        waitpid(m_Pid, nullptr, 0);
    }
}

bool CTestProcess::Start(const std::string& program, const std::string& dir,
                         const std::vector<std::pair<std::string, std::string>>& env) {
    m_OutputPath = dir + "/.process-output.txt";
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        int fd = open(m_OutputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || chdir(dir.c_str()) != 0) _exit(127);
        dup2(fd, 1);
        dup2(fd, 2);
        close(fd);
        for (auto& e : env) setenv(e.first.c_str(), e.second.c_str(), 1);
        // The daemon must start with the default dispositions a shell gives it.
        signal(SIGINT, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    m_Pid = pid;
    return true;
}

bool CTestProcess::WaitForOutput(const std::string& text, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (Output().find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return Output().find(text) != std::string::npos;
}

std::string CTestProcess::Output() const { return ReadFile(m_OutputPath); }

void CTestProcess::Signal(int signo) {
    if (m_Pid > 0) kill(m_Pid, signo);
}

int CTestProcess::WaitExit(int timeoutMs) {
    if (m_Pid <= 0) return -1;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int status = 0;
        pid_t r = waitpid(m_Pid, &status, WNOHANG);
        if (r == m_Pid) {
            m_Pid = -1;
            if (WIFEXITED(status)) return WEXITSTATUS(status);
            if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
            return -1;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(m_Pid, SIGKILL);
            waitpid(m_Pid, nullptr, 0);
            m_Pid = -1;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

bool CTestProcess::WaitUntilCatching(int signo, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    const std::string path = "/proc/" + std::to_string(m_Pid) + "/status";
    for (;;) {
        std::string status = ReadFile(path);
        size_t at = status.find("SigCgt:");
        if (at != std::string::npos) {
            unsigned long long caught = strtoull(status.c_str() + at + 7, nullptr, 16);
            if (caught & (1ull << (signo - 1))) return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

std::vector<TcpSocketRow_t> TcpSockets() {
    // "sl local_address rem_address st tx_queue:rx_queue ...", hex fields,
    // after a line of column titles.
    std::vector<TcpSocketRow_t> rows;
    std::string table = ReadFile("/proc/net/tcp");
    for (size_t line = table.find('\n'); line != std::string::npos && line + 1 < table.size();
         line = table.find('\n', line + 1)) {
        TcpSocketRow_t row;
        if (sscanf(table.c_str() + line + 1, "%*d: %*x:%x %*x:%x %*x %lx:%lx", &row.localPort, &row.remotePort,
                   &row.sendQueue, &row.recvQueue) == 4) {
            rows.push_back(row);
        }
    }
    return rows;
}

bool TcpQueuesEmpty(int port) {
    for (const TcpSocketRow_t& row : TcpSockets()) {
        bool ours = row.localPort == static_cast<unsigned int>(port) || row.remotePort == static_cast<unsigned int>(port);
        if (ours && (row.sendQueue || row.recvQueue)) return false;
    }
    return true;
}

int ListenOnFreePort(int* pPort) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t len = sizeof addr;
    if (s < 0 || bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(s, 1) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        if (s >= 0) close(s);
        return -1;
    }
    *pPort = ntohs(addr.sin_port);
    return s;
}
