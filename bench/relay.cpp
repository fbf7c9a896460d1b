// bench_relay: starts the daemon binary and measures, in one run and beside
// direct loopback TCP between the same kind of clients:
//   - relayed MB/s and packets/s for 1 and 16 sender/receiver pairs at 64,
//     1024 and 16384 bytes per packet, with relay/direct for each row;
//   - echo round trip p50 and p99;
//   - 4000 idle registered clients plus one active pair: the daemon's
//     resident memory per idle client and the pair's round trip under load.
// Usage: bench_relay [path-to-natbridge]   (default: the build's daemon)
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
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "lobby/common/rmi/nat_types.h"

namespace {

using Clock = std::chrono::steady_clock;

const double kRowSeconds = 1.0;
const long long kWindowBytes = 1 << 20;  // sender stays at most this far ahead of its receiver
const int kIdleClients = 4000;
const int kRttSamples = 2000;

double Seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

[[noreturn]] void Die(const char* what) {
    fprintf(stderr, "bench_relay: %s (%s)\n", what, strerror(errno));
    exit(1);
}

int ConnectTo(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) Die("socket");
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) Die("connect");
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

void WriteAll(int fd, const void* data, size_t n) {
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
        ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) Die("send");
        p += w;
        n -= static_cast<size_t>(w);
    }
}

bool ReadAll(int fd, void* data, size_t n, int timeoutMs = 10000) {
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

std::string Packet(int size, int uid, int type) {
    std::string p(static_cast<size_t>(size), 'p');
    ProxyHeader_t h = {size, uid, type};
    memcpy(&p[0], &h, sizeof h);
    return p;
}

int Register(int fd) {
    std::string reg = Packet(16, 0, PH_TYPE_REGISTER);
    WriteAll(fd, reg.data(), reg.size());
    ProxyAuth_t reply;
    if (!ReadAll(fd, &reply, sizeof reply)) Die("registration reply");
    return reply.header.uid;
}

// The daemon under test, in a scratch directory of its own.
class Daemon {
public:
    explicit Daemon(const std::string& binary) {
        char dir[] = "/tmp/natbridge-bench-XXXXXX";
        if (!mkdtemp(dir)) Die("mkdtemp");
        m_Dir = dir;
        std::ofstream(m_Dir + "/natbridged.ini") << "[ProxyServer]\nPort = 0\n";
        m_Pid = fork();
        if (m_Pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive the benchmark
            if (chdir(m_Dir.c_str()) != 0) _exit(127);
            int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(null, 2);
            execl(binary.c_str(), binary.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
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
        kill(m_Pid, SIGINT);
        waitpid(m_Pid, nullptr, 0);
        std::string cmd = "rm -rf '" + m_Dir + "'";
        if (system(cmd.c_str()) != 0) {
        }
    }
    int Port() const { return m_Port; }
    long ResidentKiB() const {
        std::ifstream status("/proc/" + std::to_string(m_Pid) + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("VmRSS:", 0) == 0) return atol(line.c_str() + 6);
        }
        return 0;
    }

private:
    std::string m_Dir;
    pid_t m_Pid = -1;
    int m_Port = 0;
};

// One direction of traffic: sender fd, receiver fd, the packet to send.
struct Lane {
    int sendFd = -1;
    int recvFd = -1;
    std::string packet;
    std::atomic<long long> received{0};
    long long sent = 0;
    std::atomic<bool> senderDone{false};
    std::atomic<bool> receiverDone{false};  // the receiver gave up: the sender stops too
    Clock::time_point lastByte;
};

// Builds the lanes: through the relay (registered clients addressing each
// other) or direct (a loopback connection per pair).
std::vector<Lane*> MakeLanes(int pairs, int size, int relayPort) {
    std::vector<Lane*> lanes;
    int listener = -1, directPort = 0;
    if (!relayPort) {
        listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listener, 64) != 0)
            Die("listen");
        socklen_t len = sizeof addr;
        getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
        directPort = ntohs(addr.sin_port);
    }
    for (int i = 0; i < pairs; i++) {
        Lane* lane = new Lane();
        if (relayPort) {
            lane->sendFd = ConnectTo(relayPort);
            lane->recvFd = ConnectTo(relayPort);
            Register(lane->sendFd);
            int to = Register(lane->recvFd);
            lane->packet = Packet(size, to, PH_TYPE_DATA);
        } else {
            lane->sendFd = ConnectTo(directPort);
            lane->recvFd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            int one = 1;
            setsockopt(lane->recvFd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            lane->packet = Packet(size, 0, PH_TYPE_DATA);
        }
        lanes.push_back(lane);
    }
    if (listener >= 0) close(listener);
    return lanes;
}

struct Throughput {
    double mbps;
    double pps;
    bool complete;
};

Throughput RunLanes(std::vector<Lane*>& lanes, int size) {
    // Batch several small packets per write, as a game client's send buffer would.
    int perWrite = std::max(1, 16384 / size);
    auto start = Clock::now();
    auto stopAt = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(kRowSeconds));
    std::vector<std::thread> threads;
    for (Lane* lane : lanes) {
        threads.emplace_back([lane, perWrite, stopAt] {
            std::string batch;
            for (int i = 0; i < perWrite; i++) batch += lane->packet;
            while (Clock::now() < stopAt) {
                while (lane->sent - lane->received.load() > kWindowBytes && !lane->receiverDone) std::this_thread::yield();
                if (lane->receiverDone) break;
                WriteAll(lane->sendFd, batch.data(), batch.size());
                lane->sent += static_cast<long long>(batch.size());
            }
            lane->senderDone = true;
        });
        threads.emplace_back([lane] {
            std::vector<char> buf(256 * 1024);
            for (;;) {
                if (lane->senderDone && lane->received.load() >= lane->sent) break;
                pollfd pfd = {lane->recvFd, POLLIN, 0};
                if (poll(&pfd, 1, 3000) <= 0) break;  // traffic lost: the row is marked incomplete
                ssize_t r = recv(lane->recvFd, buf.data(), buf.size(), 0);
                if (r <= 0) break;
                lane->received += r;
                lane->lastByte = Clock::now();
            }
            lane->receiverDone = true;
        });
    }
    for (auto& t : threads) t.join();
    long long bytes = 0;
    bool complete = true;
    Clock::time_point end = start;
    for (Lane* lane : lanes) {
        bytes += lane->received;
        complete = complete && lane->received == lane->sent;
        end = std::max(end, lane->lastByte);
    }
    double seconds = Seconds(start, end);
    return {bytes / seconds / 1e6, bytes / seconds / size, complete};
}

void CloseLanes(std::vector<Lane*>& lanes) {
    for (Lane* lane : lanes) {
        close(lane->sendFd);
        close(lane->recvFd);
        delete lane;
    }
    lanes.clear();
}

struct Percentiles {
    double p50;
    double p99;
};

Percentiles Summarise(std::vector<double>& us) {
    std::sort(us.begin(), us.end());
    return {us[us.size() / 2], us[us.size() * 99 / 100]};
}

// Round trips of a 64-byte packet: fd sends, peer (if any) bounces it back.
Percentiles RoundTrips(int fd, int peerFd, const std::string& out, const std::string& back) {
    std::vector<double> us;
    std::vector<char> buf(out.size());
    for (int i = 0; i < kRttSamples; i++) {
        auto t0 = Clock::now();
        WriteAll(fd, out.data(), out.size());
        if (peerFd >= 0) {
            if (!ReadAll(peerFd, buf.data(), buf.size())) Die("round trip (peer)");
            WriteAll(peerFd, back.data(), back.size());
        }
        if (!ReadAll(fd, buf.data(), buf.size())) Die("round trip");
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    return Summarise(us);
}

void RaiseOpenFiles() {
    rlimit rl;
    getrlimit(RLIMIT_NOFILE, &rl);
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);
}

}  // namespace

int main(int argc, char** argv) {
    std::string binary = argc > 1 ? argv[1] : NB_DAEMON_PATH;
    signal(SIGPIPE, SIG_IGN);
    RaiseOpenFiles();
    Daemon daemon(binary);
    printf("natbridge relay benchmark (daemon %s, port %d); ratios are relay/direct\n\n", binary.c_str(),
           daemon.Port());

    printf("%-6s %-6s | %10s %12s | %10s %12s | %7s %7s\n", "pairs", "bytes", "relay MB/s", "relay pkt/s",
           "direct MB/s", "direct pkt/s", "MB/s", "pkt/s");
    for (int pairs : {1, 16}) {
        for (int size : {64, 1024, 16384}) {
            std::vector<Lane*> relay = MakeLanes(pairs, size, daemon.Port());
            Throughput r = RunLanes(relay, size);
            CloseLanes(relay);
            std::vector<Lane*> direct = MakeLanes(pairs, size, 0);
            Throughput d = RunLanes(direct, size);
            CloseLanes(direct);
            printf("%-6d %-6d | %10.1f %12.0f | %11.1f %12.0f | %7.3f %7.3f%s\n", pairs, size, r.mbps, r.pps, d.mbps,
                   d.pps, r.mbps / d.mbps, r.pps / d.pps, r.complete && d.complete ? "" : "  (traffic lost!)");
            fflush(stdout);
        }
    }

    // Echo round trip: the relay bounces PH_TYPE_ECHO; directly, a peer does.
    {
        int fd = ConnectTo(daemon.Port());
        std::string echo = Packet(64, 0, PH_TYPE_ECHO);
        Percentiles relay = RoundTrips(fd, -1, echo, echo);
        close(fd);
        std::vector<Lane*> direct = MakeLanes(1, 64, 0);
        Percentiles dir = RoundTrips(direct[0]->sendFd, direct[0]->recvFd, echo, echo);
        CloseLanes(direct);
        printf("\necho round trip (64 bytes, %d samples): relay p50 %.1f us p99 %.1f us | direct p50 %.1f us p99 %.1f "
               "us | ratio p50 %.2f p99 %.2f\n",
               kRttSamples, relay.p50, relay.p99, dir.p50, dir.p99, relay.p50 / dir.p50, relay.p99 / dir.p99);
    }

    // An active pair alone, then beside 4000 idle registered clients.
    {
        int a = ConnectTo(daemon.Port()), b = ConnectTo(daemon.Port());
        int uidA = Register(a), uidB = Register(b);
        std::string toB = Packet(64, uidB, PH_TYPE_DATA), toA = Packet(64, uidA, PH_TYPE_DATA);
        Percentiles quiet = RoundTrips(a, b, toB, toA);
        long before = daemon.ResidentKiB();
        std::vector<int> idle;
        std::string reg = Packet(16, 0, PH_TYPE_REGISTER);
        for (int i = 0; i < kIdleClients; i++) {
            idle.push_back(ConnectTo(daemon.Port()));
            WriteAll(idle.back(), reg.data(), reg.size());
        }
        int registered = 0;
        for (int fd : idle) {
            ProxyAuth_t reply;
            if (ReadAll(fd, &reply, sizeof reply) && reply.header.type == PH_TYPE_REGISTER) registered++;
        }
        long after = daemon.ResidentKiB();
        Percentiles loaded = RoundTrips(a, b, toB, toA);
        printf("\nidle clients: %d registered of %d; daemon resident memory %ld KiB -> %ld KiB, %.2f KiB per idle "
               "client\n",
               registered, kIdleClients, before, after, static_cast<double>(after - before) / kIdleClients);
        printf("active pair round trip (64 bytes relayed A->B->A): alone p50 %.1f us p99 %.1f us | with %d idle p50 "
               "%.1f us p99 %.1f us | ratio p50 %.2f p99 %.2f\n",
               quiet.p50, quiet.p99, kIdleClients, loaded.p50, loaded.p99, loaded.p50 / quiet.p50,
               loaded.p99 / quiet.p99);
        for (int fd : idle) close(fd);
        close(a);
        close(b);
    }
    return 0;
}
