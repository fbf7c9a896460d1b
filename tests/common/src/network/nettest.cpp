#include "tests/common/src/network/nettest.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "common/src/cbase.h"
#include "tests/support/process.h"
#include "tests/support/waitfor.h"

namespace nettest {

static struct sockaddr_in Loopback(int port) {
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    return addr;
}

int ConnectClient(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    struct sockaddr_in addr = Loopback(port);
    if (connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int ListenLoopback(int* pPort) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr = Loopback(0);
    if (bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0 || listen(fd, 16) != 0) {
        close(fd);
        return -1;
    }
    *pPort = LocalPort(fd);
    return fd;
}

int ClosedPort() {
    int port = 0;
    int fd = ListenLoopback(&port);
    close(fd);
    return port;
}

int LocalPort(int fd) {
    struct sockaddr_in addr;
    socklen_t len = sizeof(addr);
    getsockname(fd, reinterpret_cast<struct sockaddr*>(&addr), &len);
    return ntohs(addr.sin_port);
}

void SmallBuffers(int fd) {
    int size = 4096;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
}

static bool WaitReadable(int fd, int timeoutMs) {
    struct pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, timeoutMs) > 0;
}

bool ReadExactly(int fd, void* buf, size_t n, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    size_t got = 0;
    while (got < n) {
        int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
        if (left <= 0 || !WaitReadable(fd, left)) return false;
        ssize_t r = recv(fd, static_cast<char*>(buf) + got, n - got, 0);
        if (r <= 0) return false;
        got += static_cast<size_t>(r);
    }
    return true;
}

bool ReadUntilEof(int fd, std::string* pData, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char buf[65536];
    for (;;) {
        int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
        if (left <= 0 || !WaitReadable(fd, left)) return false;
        ssize_t r = recv(fd, buf, sizeof(buf), 0);
        if (r <= 0) return true;
        if (pData) pData->append(buf, static_cast<size_t>(r));
    }
}

bool WaitForEof(int fd, int timeoutMs) { return ReadUntilEof(fd, nullptr, timeoutMs); }

PeerEnd_t ReadToEnd(int fd, size_t* pBytes, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::vector<char> buf(65536);
    *pBytes = 0;
    for (;;) {
        int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
        if (left <= 0 || !WaitReadable(fd, left)) return PEER_TIMEOUT;
        ssize_t r = recv(fd, buf.data(), buf.size(), 0);
        if (r == 0) return PEER_EOF;
        if (r < 0) return errno == ECONNRESET ? PEER_RESET : PEER_TIMEOUT;
        *pBytes += static_cast<size_t>(r);
    }
}

long KernelSendQueue(int localPort, int remotePort) {
    for (const TcpSocketRow_t& row : TcpSockets()) {
        if (row.localPort == static_cast<unsigned int>(localPort) && row.remotePort == static_cast<unsigned int>(remotePort)) {
            return static_cast<long>(row.sendQueue);
        }
    }
    return -1;
}

bool WriteAll(int fd, const void* data, size_t n) {
    size_t done = 0;
    while (done < n) {
        ssize_t r = send(fd, static_cast<const char*>(data) + done, n - done, MSG_NOSIGNAL);
        if (r <= 0) return false;
        done += static_cast<size_t>(r);
    }
    return true;
}

void RecordingListener::Enter() {
    if (m_Inside.fetch_add(1) != 0) m_Overlap = true;
}

void RecordingListener::Leave() { m_Inside.fetch_sub(1); }

void RecordingListener::ClientConnect(HConnection h) {
    Enter();
    {
        std::lock_guard<std::mutex> guard(m_Mutex);
        m_Events.push_back(Event{Event::CONNECT, h, false, 0, std::string()});
    }
    if (onConnect) onConnect(h);
    Leave();
}

void RecordingListener::ClientDisconnect(HConnection h, bool forced, int reason) {
    Enter();
    {
        std::lock_guard<std::mutex> guard(m_Mutex);
        m_Events.push_back(Event{Event::DISCONNECT, h, forced, reason, std::string()});
    }
    Leave();
}

void RecordingListener::Dispatch() {
    Enter();
    m_Dispatches++;
    Leave();
}

void RecordingListener::ClientData(HConnection h, void* data, int length) {
    Enter();
    if (recordData) {
        std::lock_guard<std::mutex> guard(m_Mutex);
        m_Events.push_back(Event{Event::DATA, h, false, 0, std::string(static_cast<char*>(data), length)});
    }
    if (onData) onData(h, data, length);
    Leave();
}

std::vector<Event> RecordingListener::Events() {
    std::lock_guard<std::mutex> guard(m_Mutex);
    return m_Events;
}

int RecordingListener::Count(Event::Kind kind) {
    std::lock_guard<std::mutex> guard(m_Mutex);
    int n = 0;
    for (const Event& e : m_Events) n += e.kind == kind;
    return n;
}

int RecordingListener::CountFor(Event::Kind kind, HConnection h) {
    std::lock_guard<std::mutex> guard(m_Mutex);
    int n = 0;
    for (const Event& e : m_Events) n += e.kind == kind && e.h == h;
    return n;
}

std::string RecordingListener::DataOf(HConnection h) {
    std::lock_guard<std::mutex> guard(m_Mutex);
    std::string data;
    for (const Event& e : m_Events) {
        if (e.kind == Event::DATA && e.h == h) data += e.data;
    }
    return data;
}

HConnection RecordingListener::Connected(int index) {
    std::lock_guard<std::mutex> guard(m_Mutex);
    for (const Event& e : m_Events) {
        if (e.kind == Event::CONNECT && index-- == 0) return e.h;
    }
    return nullptr;
}

bool RecordingListener::FindDisconnect(HConnection h, Event* pEvent) {
    std::lock_guard<std::mutex> guard(m_Mutex);
    for (const Event& e : m_Events) {
        if (e.kind == Event::DISCONNECT && e.h == h) {
            if (pEvent) *pEvent = e;
            return true;
        }
    }
    return false;
}

void RecordingLogger::Log(HConnection, CString format, ...) {
    va_list args;
    va_start(args, format);
    CString line = LogVExpandList(format.Ptr(), args);
    va_end(args);
    std::lock_guard<std::mutex> guard(m_Mutex);
    m_Lines.push_back(line.Ptr());
}

int RecordingLogger::Count(const char* prefix) {
    std::lock_guard<std::mutex> guard(m_Mutex);
    int n = 0;
    for (const std::string& line : m_Lines) n += line.compare(0, strlen(prefix), prefix) == 0;
    return n;
}

static std::mutex g_CaptureMutex;
static std::vector<std::string> g_Captured;

static void CaptureLine(const char* text, const char*) {
    fprintf(stderr, "%s\n", text);
    std::lock_guard<std::mutex> guard(g_CaptureMutex);
    g_Captured.push_back(text);
}

static void EchoLine(const char* text, const char*) { fprintf(stderr, "%s\n", text); }

LogCapture::LogCapture() {
    {
        std::lock_guard<std::mutex> guard(g_CaptureMutex);
        g_Captured.clear();
    }
    Log_SetCallback(CaptureLine);
}

// The test main's callback only echoes to stderr; this one does the same.
LogCapture::~LogCapture() { Log_SetCallback(EchoLine); }

int LogCapture::Count(const char* text) {
    std::lock_guard<std::mutex> guard(g_CaptureMutex);
    int n = 0;
    for (const std::string& line : g_Captured) n += line.find(text) != std::string::npos;
    return n;
}

bool PumpUntil(CTCPIPConnectionManager& mgr, const std::function<bool()>& pred, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        mgr.Dispatch();
        if (pred()) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

bool WaitUntil(const std::function<bool()>& pred, int timeoutMs) { return WaitFor(pred, timeoutMs); }

Server::Server(int maxConnections) : mgr(maxConnections) {
    mgr.Init();
    mgr.AddListener(&listener, true);
    port = mgr.Host(0);
}

Server::~Server() {
    if (!shutDown) {
        mgr.RemoveListener(&listener);
        mgr.Shutdown();
    }
}

HConnection Server::Accept(int* pClient) {
    int before = listener.Count(Event::CONNECT);
    *pClient = ConnectClient(port);
    if (*pClient < 0) return nullptr;
    if (!PumpUntil(mgr, [&] { return listener.Count(Event::CONNECT) > before; }, 5000)) return nullptr;
    return listener.Connected(before);
}

ManagerTest::~ManagerTest() {
    // The manager first: with its socket thread joined, closing the peers
    // cannot race a test's last look at a connection.
    if (!server.shutDown) {
        server.mgr.RemoveListener(&server.listener);
        server.mgr.Shutdown();
        server.shutDown = true;
    }
    for (int fd : peers) close(fd);
}

int ManagerTest::Peer() {
    int fd = ConnectClient(server.port);
    EXPECT_GE(fd, 0);
    if (fd >= 0) peers.push_back(fd);
    return fd;
}

HConnection ManagerTest::AcceptPeer(int* pPeer) {
    HConnection h = server.Accept(pPeer);
    if (*pPeer >= 0) peers.push_back(*pPeer);
    EXPECT_NE(nullptr, h) << "no peer announced";
    return h;
}

Event ManagerTest::AwaitDisconnect(HConnection h, int timeoutMs) {
    Event e{Event::CONNECT, h, false, 0, std::string()};
    bool reported = PumpUntil(server.mgr, [&] { return server.listener.FindDisconnect(h, &e); }, timeoutMs);
    EXPECT_TRUE(reported) << "no disconnect reported";
    return e;
}

bool ManagerTest::AdvanceUntil(unsigned int ms, const std::function<bool()>& pred) {
    for (int round = 0; round < 10; round++) {
        OS_TestAdvanceTickCount(ms);
        if (PumpUntil(server.mgr, pred, 700)) return true;
    }
    return false;
}

size_t ManagerTest::FillQueue(HConnection h) {
    std::string chunk(1024 * 1024, 'q');
    size_t queued = 0;
    for (int i = 0; i < 64 && server.mgr.GetQueuedBytes(h) == 0; i++) {
        server.mgr.SendData(h, chunk.data(), static_cast<int>(chunk.size()));
        queued += chunk.size();
    }
    EXPECT_GT(server.mgr.GetQueuedBytes(h), 0);
    return queued;
}

}  // namespace nettest
