// Test support: runs a program (the daemon binary) as a child process in a
// directory of its own, with its standard output and error captured to a file,
// and waits for its output or its exit with a bound on the time.
#ifndef NB_TESTS_SUPPORT_PROCESS_H
#define NB_TESTS_SUPPORT_PROCESS_H

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

// A fresh directory under the system's temporary directory.
std::string MakeTempDir();
// Deletes a directory tree made by MakeTempDir.
void RemoveTree(const std::string& dir);
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& text);

// One IPv4 TCP socket of this machine as /proc/net/tcp lists it.
struct TcpSocketRow_t {
    unsigned int localPort, remotePort;
    unsigned long sendQueue, recvQueue;  // bytes unacknowledged / unread
};
std::vector<TcpSocketRow_t> TcpSockets();
// True when no TCP socket on this machine with port as its local or remote
// port holds bytes in its kernel queues: everything sent either way has been
// read by its receiver.
bool TcpQueuesEmpty(int port);

// A socket listening on all addresses at a port the system chose, held so
// nobody else can take that port; -1 on failure. *pPort is the port.
int ListenOnFreePort(int* pPort);

class CTestProcess {
public:
    ~CTestProcess();
    // Starts program in dir; env entries are added to the inherited environment.
    bool Start(const std::string& program, const std::string& dir,
               const std::vector<std::pair<std::string, std::string>>& env = {});
    // True once text appears in the captured output, false after timeoutMs.
    bool WaitForOutput(const std::string& text, int timeoutMs);
    std::string Output() const;
    void Signal(int signo);
    // The exit status, 128 + the signal number for a killed process, or -1
    // on time-out (the process is then killed).
    int WaitExit(int timeoutMs);
    pid_t Pid() const { return m_Pid; }
    // True once the process has a handler installed for signo (its SigCgt
    // in /proc), false after timeoutMs.
    bool WaitUntilCatching(int signo, int timeoutMs);

private:
    pid_t m_Pid = -1;
    std::string m_OutputPath;
};

#endif
