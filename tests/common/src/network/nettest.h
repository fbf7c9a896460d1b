// Helpers of the networking tests: raw loopback peers, a recording listener
// and logger, log capture, pumping a manager until something happens, the
// kernel's view of a socket, and the fixture of the manager tests.
#ifndef NB_TESTS_COMMON_SRC_NETWORK_NETTEST_H
#define NB_TESTS_COMMON_SRC_NETWORK_NETTEST_H

#include <gtest/gtest.h>

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

// How a peer's stream ended.
enum PeerEnd_t { PEER_EOF, PEER_RESET, PEER_TIMEOUT };
// Reads until the stream ends: an orderly end of stream, a reset
// (ECONNRESET), or nothing within timeoutMs. *pBytes counts what was read.
PeerEnd_t ReadToEnd(int fd, size_t* pBytes, int timeoutMs);
// The kernel's unacknowledged send queue (/proc/net/tcp tx_queue) of the
// IPv4 socket from localPort to remotePort; -1 when no such socket exists.
long KernelSendQueue(int localPort, int remotePort);

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
    // Extended Dispatch() calls seen so far.
    int Dispatches() const { return m_Dispatches; }

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
    std::atomic<int> m_Dispatches{0};
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

// The manager tests' fixture: a Server of its own per test, shut down at the
// end before the peers it handed out are closed.
class ManagerTest : public ::testing::Test {
protected:
    explicit ManagerTest(int maxConnections = 64) : server(maxConnections) {}
    ~ManagerTest() override;

    // A raw peer connected and announced (null, with a failure, otherwise);
    // *pPeer is its socket.
    HConnection AcceptPeer(int* pPeer);
    // A raw peer connected to the server, not waited for.
    int Peer();
    // Pumps until h's disconnect is reported and returns it; a CONNECT
    // event (and a test failure) when none came within timeoutMs.
    Event AwaitDisconnect(HConnection h, int timeoutMs = 5000);
    // Moves virtual time on by ms, then pumps until pred holds. A socket-
    // thread pass between the move and its timer check may restart a
    // connection's timer at the new time, so this repeats a few times.
    bool AdvanceUntil(unsigned int ms, const std::function<bool()>& pred);
    // Queues data for h until our own queue holds some (the peer does not
    // read); the bytes queued.
    size_t FillQueue(HConnection h);

    Server server;
    std::vector<int> peers;  // closed by the destructor
};

}  // namespace nettest

#endif
