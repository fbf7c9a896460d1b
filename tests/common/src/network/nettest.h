// Helpers of the networking tests: raw loopback peers, a recording listener
// and logger, log capture and pumping a manager until something happens.
#ifndef NB_TESTS_COMMON_SRC_NETWORK_NETTEST_H
#define NB_TESTS_COMMON_SRC_NETWORK_NETTEST_H

#include <atomic>
#include <cstdarg>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "common/src/network/tcpipconnectionmanager.h"

namespace nettest {

// A blocking client socket connected to 127.0.0.1:port, or -1.
int ConnectClient(int port);
// A raw listening socket on 127.0.0.1 with a system-chosen port.
int ListenLoopback(int* pPort);
// A loopback port that nothing listens on (bound once, then released).
int ClosedPort();
// Reads exactly n bytes within timeoutMs.
bool ReadExactly(int fd, void* buf, size_t n, int timeoutMs);
// Reads everything until the peer closes; false on time-out.
bool ReadUntilEof(int fd, std::string* pData, int timeoutMs);
// True when the peer has closed (EOF or reset) within timeoutMs.
bool WaitForEof(int fd, int timeoutMs);
// Writes all of data (blocking).
bool WriteAll(int fd, const void* data, size_t n);
// The local port of a socket.
int LocalPort(int fd);
// Shrinks a socket's buffers so that little data fills them.
void SmallBuffers(int fd);

struct Event {
    enum Kind { CONNECT, DISCONNECT, DATA, DISPATCH };
    Kind kind;
    HConnection h;
    bool forced;
    int reason;
    std::string data;
};

// Records every callback; flags overlapping callbacks.
class RecordingListener : public IConnectionManagerExtendedListener {
public:
    void ClientConnect(HConnection h) override;
    void ClientDisconnect(HConnection h, bool forced, int reason) override;
    void Dispatch() override;
    void ClientData(HConnection h, void* data, int length) override;

    std::vector<Event> Events();
    int Count(Event::Kind kind);
    int CountFor(Event::Kind kind, HConnection h);
    std::string DataOf(HConnection h);
    // The first connection announced after skip earlier ones.
    HConnection Connected(int index);
    bool FindDisconnect(HConnection h, Event* pEvent);
    bool Overlapped() const { return m_Overlap; }

    // Optional hooks, run inside the callbacks.
    std::function<void(HConnection, void*, int)> onData;
    std::function<void(HConnection)> onConnect;
    bool recordData = true;

private:
    void Enter();
    void Leave();

    std::mutex m_Mutex;
    std::vector<Event> m_Events;
    std::atomic<int> m_Inside{0};
    std::atomic<bool> m_Overlap{false};
};

// Keeps every formatted logger line.
class RecordingLogger : public IConnectionManagerLogger {
public:
    void Log(HConnection hConnection, CString format, ...) override;
    int Count(const char* prefix);

private:
    std::mutex m_Mutex;
    std::vector<std::string> m_Lines;
};

// Captures Log_PrintAll lines while alive (still echoing them to stderr).
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    int Count(const char* text);
};

// Calls mgr.Dispatch() every few ms until pred() holds or timeoutMs passes.
bool PumpUntil(CTCPIPConnectionManager& mgr, const std::function<bool()>& pred, int timeoutMs);
// Waits (without dispatching) until pred() holds or timeoutMs passes.
bool WaitUntil(const std::function<bool()>& pred, int timeoutMs);

// A running manager with a recording listener and an open port.
struct Server {
    explicit Server(int maxConnections = 64);
    ~Server();
    // Connects a raw client and pumps until the manager announced it.
    HConnection Accept(int* pClient);

    CTCPIPConnectionManager mgr;
    RecordingListener listener;
    int port;
    bool shutDown = false;
};

}  // namespace nettest

#endif
