// bench_relay: starts the daemon binary and measures, in one run and beside
// direct loopback TCP between the same kind of clients and, when haproxy is on
// PATH, beside haproxy forwarding the same framed bytes (TCP mode, one thread):
//   - relayed MB/s and packets/s for 1 and 16 sender/receiver pairs at 64,
//     1024 and 16384 bytes per packet, with relay/direct and relay/haproxy
//     (medians of three runs each);
//   - echo round trip p50 and p99, beside a peer bouncing the packet directly
//     and through haproxy;
//   - 4000 idle registered clients plus one active pair: the daemon's
//     resident memory per idle client and the pair's round trip under load;
//   - a reconnect storm: 1000 clients connecting at once, each registering,
//     and how long until all are registered (bounded at 40 s).
// Usage: bench_relay [path-to-natbridge]   (default: the build's daemon)
#include <sys/epoll.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <thread>

#include "bench/benchutil.h"

namespace {

using namespace bench;

const double kRowSeconds = 1.0;
const int kRowRounds = 3;  // each throughput figure: the median of this many runs, paths taken in turns
const long long kWindowBytes = 1 << 20;  // sender stays at most this far ahead of its receiver
const int kIdleClients = 4000;
const int kIdleBatch = 8;  // idle clients connected before their replies are read: below the daemon's backlog
const int kRttSamples = 2000;
const int kRttWarmup = 200;  // round trips run and discarded before each measurement
const int kStormClients = 1000;
const double kStormBoundSeconds = 40.0;
const int kStormRetryMs = 100;  // a client whose connection fails connects again after this

// Where a lane's bytes travel.
enum Path_t { PATH_RELAY, PATH_DIRECT, PATH_HAPROXY };

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
// other), direct (a loopback connection per pair) or through haproxy (the
// sender connects to haproxy, which connects on to a listener of ours whose
// accepted connection is the receiver).
std::vector<Lane*> MakeLanes(int pairs, int size, Path_t path, int relayPort, const Haproxy* haproxy) {
    std::vector<Lane*> lanes;
    Listener direct;
    if (path == PATH_DIRECT) direct = Listen(64);
    for (int i = 0; i < pairs; i++) {
        Lane* lane = new Lane();
        if (path == PATH_RELAY) {
            lane->sendFd = ConnectTo(relayPort);
            lane->recvFd = ConnectTo(relayPort);
            Register(lane->sendFd);
            int to = Register(lane->recvFd);
            lane->packet = Packet(size, to, PH_TYPE_DATA);
        } else {
            bool viaHaproxy = path == PATH_HAPROXY;
            lane->sendFd = ConnectTo(viaHaproxy ? haproxy->FrontPort() : direct.port);
            lane->recvFd = AcceptWithin(viaHaproxy ? haproxy->Backend() : direct.fd, 10000);
            if (lane->recvFd < 0) Die(viaHaproxy ? "haproxy did not connect on" : "accept");
            lane->packet = Packet(size, 0, PH_TYPE_DATA);
        }
        lanes.push_back(lane);
    }
    if (direct.fd >= 0) close(direct.fd);
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

Throughput Measure(int pairs, int size, Path_t path, int relayPort, const Haproxy* haproxy) {
    std::vector<Lane*> lanes = MakeLanes(pairs, size, path, relayPort, haproxy);
    Throughput t = RunLanes(lanes, size);
    CloseLanes(lanes);
    return t;
}

// The median run by MB/s; complete only if every run was.
Throughput Median(std::vector<Throughput> runs) {
    std::sort(runs.begin(), runs.end(), [](const Throughput& x, const Throughput& y) { return x.mbps < y.mbps; });
    Throughput m = runs[runs.size() / 2];
    for (const Throughput& t : runs) m.complete = m.complete && t.complete;
    return m;
}

// One way of making a round trip: fd sends `out`; the peer, if any, reads it
// and sends `back`; fd reads the packet that returns.
struct RoundTripPath {
    int fd;
    int peerFd;
    std::string out, back;
    std::vector<double> us;
};

// Round trips taken in turns, one on each path per round, so that every path
// sees the same load on the machine; the first kRttWarmup rounds are not
// counted. One percentile pair per path, in order.
std::vector<Percentiles> RoundTrips(std::vector<RoundTripPath>& paths) {
    for (int i = 0; i < kRttWarmup + kRttSamples; i++) {
        for (RoundTripPath& p : paths) {
            std::vector<char> buf(p.out.size());
            auto t0 = Clock::now();
            WriteAll(p.fd, p.out.data(), p.out.size());
            if (p.peerFd >= 0) {
                if (!ReadAll(p.peerFd, buf.data(), buf.size())) Die("round trip (peer)");
                WriteAll(p.peerFd, p.back.data(), p.back.size());
            }
            if (!ReadAll(p.fd, buf.data(), buf.size())) Die("round trip");
            if (i >= kRttWarmup) p.us.push_back(Micros(t0, Clock::now()));
        }
    }
    std::vector<Percentiles> result;
    for (RoundTripPath& p : paths) result.push_back(Summarise(p.us));
    return result;
}

// A peer bouncing the packet back over a lane: one direct connection, or
// through haproxy to the receiver and back over the same two hops.
RoundTripPath Bounced(const Lane* lane, const std::string& packet) {
    return {lane->sendFd, lane->recvFd, packet, packet, {}};
}

void ThroughputRows(const Daemon& daemon, const Haproxy& haproxy) {
    printf("throughput: each figure the median of %d runs of %.0f s, relay, haproxy and direct taken in turns\n",
           kRowRounds, kRowSeconds);
    printf("%-6s %-6s | %10s %12s | %10s %12s | %7s %7s | %12s %13s | %13s\n", "pairs", "bytes", "relay MB/s",
           "relay pkt/s", "direct MB/s", "direct pkt/s", "MB/s", "pkt/s", "haproxy MB/s", "haproxy pkt/s",
           "relay/haproxy");
    for (int pairs : {1, 16}) {
        for (int size : {64, 1024, 16384}) {
            std::vector<Throughput> relayRuns, haproxyRuns, directRuns;
            for (int round = 0; round < kRowRounds; round++) {
                relayRuns.push_back(Measure(pairs, size, PATH_RELAY, daemon.Port(), nullptr));
                if (haproxy.Running()) haproxyRuns.push_back(Measure(pairs, size, PATH_HAPROXY, 0, &haproxy));
                directRuns.push_back(Measure(pairs, size, PATH_DIRECT, 0, nullptr));
            }
            Throughput r = Median(relayRuns), d = Median(directRuns);
            Throughput h = haproxy.Running() ? Median(haproxyRuns) : Throughput{0, 0, true};
            printf("%-6d %-6d | %10.1f %12.0f | %11.1f %12.0f | %7.3f %7.3f | ", pairs, size, r.mbps, r.pps, d.mbps,
                   d.pps, r.mbps / d.mbps, r.pps / d.pps);
            if (haproxy.Running())
                printf("%12.1f %13.0f | %13.3f", h.mbps, h.pps, r.mbps / h.mbps);
            else
                printf("haproxy: not installed");
            std::string lost;
            if (!r.complete) lost += " relay";
            if (!d.complete) lost += " direct";
            if (!h.complete) lost += " haproxy";
            printf("%s\n", lost.empty() ? "" : ("  (traffic lost:" + lost + "!)").c_str());
            fflush(stdout);
        }
    }
}

// Echo round trip: the relay bounces PH_TYPE_ECHO; directly, and through
// haproxy, a peer does.
void EchoRow(const Daemon& daemon, const Haproxy& haproxy) {
    std::string echo = Packet(64, 0, PH_TYPE_ECHO);
    int fd = ConnectTo(daemon.Port());
    std::vector<Lane*> direct = MakeLanes(1, 64, PATH_DIRECT, 0, nullptr);
    std::vector<Lane*> viaHaproxy;
    std::vector<RoundTripPath> paths = {{fd, -1, echo, echo, {}}, Bounced(direct[0], echo)};
    if (haproxy.Running()) {
        viaHaproxy = MakeLanes(1, 64, PATH_HAPROXY, 0, &haproxy);
        paths.push_back(Bounced(viaHaproxy[0], echo));
    }
    std::vector<Percentiles> rtt = RoundTrips(paths);
    close(fd);
    CloseLanes(direct);
    CloseLanes(viaHaproxy);
    const Percentiles& relay = rtt[0];
    const Percentiles& dir = rtt[1];
    printf("\necho round trip (64 bytes, %d samples): relay p50 %.1f us p99 %.1f us | direct p50 %.1f us p99 %.1f "
           "us | ratio p50 %.2f p99 %.2f\n",
           kRttSamples, relay.p50, relay.p99, dir.p50, dir.p99, relay.p50 / dir.p50, relay.p99 / dir.p99);
    if (haproxy.Running()) {
        const Percentiles& hap = rtt[2];
        printf("  through haproxy (client -> haproxy -> peer, peer sends it back the same way): p50 %.1f us p99 %.1f "
               "us | relay echo/haproxy p50 %.2f p99 %.2f\n",
               hap.p50, hap.p99, relay.p50 / hap.p50, relay.p99 / hap.p99);
    } else {
        printf("  haproxy: not installed\n");
    }
    printf("  (samples taken in turns across the paths; %d warm-up rounds not counted)\n", kRttWarmup);
    fflush(stdout);
}

// An active pair alone (in turns with a peer through haproxy, the same two
// hops each way), then beside 4000 idle registered clients.
void IdleRow(const Daemon& daemon, const Haproxy& haproxy) {
    int a = ConnectTo(daemon.Port()), b = ConnectTo(daemon.Port());
    int uidA = Register(a), uidB = Register(b);
    std::string toB = Packet(64, uidB, PH_TYPE_DATA), toA = Packet(64, uidA, PH_TYPE_DATA);
    std::vector<RoundTripPath> alone = {{a, b, toB, toA, {}}};
    std::vector<Lane*> viaHaproxy;
    if (haproxy.Running()) {
        viaHaproxy = MakeLanes(1, 64, PATH_HAPROXY, 0, &haproxy);
        alone.push_back(Bounced(viaHaproxy[0], Packet(64, 0, PH_TYPE_DATA)));
    }
    std::vector<Percentiles> aloneRtt = RoundTrips(alone);
    CloseLanes(viaHaproxy);
    Percentiles quiet = aloneRtt[0];
    long before = daemon.ResidentKiB();
    // In batches smaller than the daemon's listen backlog, so that setting
    // up does not wait on SYN retransmissions (the storm row measures those).
    std::vector<int> idle;
    std::string reg = Packet(16, 0, PH_TYPE_REGISTER);
    int registered = 0;
    SynCounters syn;
    auto setupStart = Clock::now();
    while (static_cast<int>(idle.size()) < kIdleClients) {
        size_t first = idle.size();
        for (int i = 0; i < kIdleBatch && static_cast<int>(idle.size()) < kIdleClients; i++) {
            idle.push_back(ConnectTo(daemon.Port()));
            WriteAll(idle.back(), reg.data(), reg.size());
        }
        for (size_t i = first; i < idle.size(); i++) {
            ProxyAuth_t reply;
            if (ReadAll(idle[i], &reply, sizeof reply) && reply.header.type == PH_TYPE_REGISTER) registered++;
        }
    }
    double setupSeconds = Seconds(setupStart, Clock::now());
    long after = daemon.ResidentKiB();
    std::vector<RoundTripPath> busy = {{a, b, toB, toA, {}}};
    Percentiles loaded = RoundTrips(busy)[0];
    printf("\nidle clients: %d registered of %d; daemon resident memory %ld KiB -> %ld KiB, %.2f KiB per idle "
           "client\n",
           registered, kIdleClients, before, after, static_cast<double>(after - before) / kIdleClients);
    printf("  set up in %.1f s, %d at a time; %s\n", setupSeconds, kIdleBatch, syn.Text().c_str());
    printf("active pair round trip (64 bytes relayed A->B->A): alone p50 %.1f us p99 %.1f us | with %d idle p50 "
           "%.1f us p99 %.1f us | ratio p50 %.2f p99 %.2f\n",
           quiet.p50, quiet.p99, kIdleClients, loaded.p50, loaded.p99, loaded.p50 / quiet.p50,
           loaded.p99 / quiet.p99);
    // Both paths cross the forwarder twice each way: the fair comparison.
    if (haproxy.Running())
        printf("  pair alone beside a peer through haproxy (both two hops each way): haproxy p50 %.1f us p99 %.1f us | "
               "relay/haproxy p50 %.2f p99 %.2f\n",
               aloneRtt[1].p50, aloneRtt[1].p99, quiet.p50 / aloneRtt[1].p50, quiet.p99 / aloneRtt[1].p99);
    else
        printf("  haproxy: not installed\n");
    fflush(stdout);
    for (int fd : idle) close(fd);
    close(a);
    close(b);
}

// One client of the reconnect storm.
struct StormClient {
    enum State_t { CONNECTING, REGISTERING, REGISTERED, WAITING };  // WAITING: to connect again
    int fd = -1;
    State_t state = CONNECTING;
    Clock::time_point first;  // its first connect of the storm
    Clock::time_point again;  // when WAITING: the next connect
    char reply[sizeof(ProxyAuth_t)];
    size_t got = 0;
    double ms = std::numeric_limits<double>::infinity();  // first connect to registered
};

// Opens a nonblocking socket, issues connect and watches it for writability.
bool StormConnect(StormClient& c, int ep, int index, int port) {
    c.fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (c.fd < 0) return false;
    SetNoDelay(c.fd);
    sockaddr_in addr = Loopback(port);
    if (connect(c.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 && errno != EINPROGRESS) {
        close(c.fd);
        c.fd = -1;
        return false;
    }
    epoll_event ev = {};
    ev.events = EPOLLOUT;
    ev.data.u32 = static_cast<uint32_t>(index);
    epoll_ctl(ep, EPOLL_CTL_ADD, c.fd, &ev);
    c.state = StormClient::CONNECTING;
    c.got = 0;
    return true;
}

void StormRetry(StormClient& c, Clock::time_point now, int& failures) {
    if (c.fd >= 0) close(c.fd);  // also takes it out of the epoll set
    c.fd = -1;
    c.state = StormClient::WAITING;
    c.again = now + std::chrono::milliseconds(kStormRetryMs);
    failures++;
}

std::string StormFigure(double ms) {
    if (std::isinf(ms)) return "> " + std::to_string(static_cast<int>(kStormBoundSeconds)) + " s";
    char buf[32];
    snprintf(buf, sizeof buf, "%.1f ms", ms);
    return buf;
}

// 1000 clients connect at once (every nonblocking connect issued in one burst
// before any registration is sent), each registers as soon as its connection
// is up; per client, the time from its first connect to its registration
// reply. A connection that fails or is closed before the reply connects again
// after kStormRetryMs.
void StormRow(const Daemon& daemon, int restingDescriptors) {
    printf("\nreconnect storm: %d clients connect at once (nonblocking), each registers; bound %.0f s\n",
           kStormClients, kStormBoundSeconds);
    if (!daemon.WaitDescriptorsAtMost(restingDescriptors + 16, 20000))
        printf("  (the daemon still held %d descriptors from earlier rows)\n", daemon.OpenDescriptors());
    int ep = epoll_create1(EPOLL_CLOEXEC);
    if (ep < 0) Die("epoll_create1");
    std::vector<StormClient> clients(kStormClients);
    std::string reg = Packet(16, 0, PH_TYPE_REGISTER);
    int failures = 0, registered = 0;
    SynCounters syn;
    auto start = Clock::now();
    for (int i = 0; i < kStormClients; i++) {
        clients[i].first = Clock::now();
        if (!StormConnect(clients[i], ep, i, daemon.Port())) StormRetry(clients[i], clients[i].first, failures);
    }
    double issuedMs = Micros(start, Clock::now()) / 1000;
    auto bound = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(kStormBoundSeconds));
    Clock::time_point last = start;
    std::vector<epoll_event> events(256);
    while (registered < kStormClients) {
        auto now = Clock::now();
        if (now >= bound) break;
        for (int i = 0; i < kStormClients; i++) {
            StormClient& c = clients[i];
            if (c.state == StormClient::WAITING && c.again <= now && !StormConnect(c, ep, i, daemon.Port()))
                StormRetry(c, now, failures);
        }
        int waitMs = static_cast<int>(std::min<long long>(
            20, std::chrono::duration_cast<std::chrono::milliseconds>(bound - now).count() + 1));
        int n = epoll_wait(ep, events.data(), static_cast<int>(events.size()), waitMs);
        if (n < 0 && errno != EINTR) Die("epoll_wait");
        now = Clock::now();
        for (int k = 0; k < n; k++) {
            StormClient& c = clients[events[k].data.u32];
            if (c.state == StormClient::CONNECTING) {
                int error = 0;
                socklen_t len = sizeof error;
                getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &error, &len);
                if (error != 0 ||
                    send(c.fd, reg.data(), reg.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(reg.size())) {
                    StormRetry(c, now, failures);
                    continue;
                }
                epoll_event ev = {};
                ev.events = EPOLLIN;
                ev.data.u32 = events[k].data.u32;
                epoll_ctl(ep, EPOLL_CTL_MOD, c.fd, &ev);
                c.state = StormClient::REGISTERING;
            } else if (c.state == StormClient::REGISTERING) {
                ssize_t r = recv(c.fd, c.reply + c.got, sizeof c.reply - c.got, 0);
                if (r < 0 && (errno == EAGAIN || errno == EINTR)) continue;
                if (r <= 0) {
                    StormRetry(c, now, failures);
                    continue;
                }
                c.got += static_cast<size_t>(r);
                if (c.got < sizeof c.reply) continue;
                ProxyAuth_t reply;
                memcpy(&reply, c.reply, sizeof reply);
                if (reply.header.type != PH_TYPE_REGISTER) {
                    StormRetry(c, now, failures);
                    continue;
                }
                c.state = StormClient::REGISTERED;
                c.ms = Micros(c.first, now) / 1000;
                epoll_ctl(ep, EPOLL_CTL_DEL, c.fd, nullptr);
                registered++;
                last = now;
            }
        }
    }
    std::vector<double> ms;
    for (const StormClient& c : clients) ms.push_back(c.ms);  // infinite: never registered
    std::sort(ms.begin(), ms.end());
    printf("  connects issued in %.1f ms; %d registered, %d still unregistered after %.0f s; all registered %s\n",
           issuedMs, registered, kStormClients - registered, kStormBoundSeconds,
           registered == kStormClients ? ("after " + StormFigure(Micros(start, last) / 1000)).c_str()
                                       : "never (the bound ended the row)");
    printf("  per client, connect to registration reply: p50 %s p90 %s max %s; %d failed attempts connected again\n",
           StormFigure(ms[ms.size() / 2]).c_str(), StormFigure(ms[ms.size() * 9 / 10]).c_str(),
           StormFigure(ms.back()).c_str(), failures);
    if (registered < kStormClients) {
        int connecting = 0, awaiting = 0, waiting = 0;
        for (const StormClient& c : clients) {
            connecting += c.state == StormClient::CONNECTING;
            awaiting += c.state == StormClient::REGISTERING;
            waiting += c.state == StormClient::WAITING;
        }
        printf("  unregistered at the bound: %d still connecting, %d connected and awaiting the reply, %d about to "
               "connect again; the daemon held %d connections (%d registered here)\n",
               connecting, awaiting, waiting, daemon.OpenDescriptors() - restingDescriptors, registered);
    }
    printf("  %s\n", syn.Text().c_str());
    fflush(stdout);
    close(ep);
    for (StormClient& c : clients) {
        if (c.fd >= 0) close(c.fd);
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::string binary = argc > 1 ? argv[1] : NB_DAEMON_PATH;
    signal(SIGPIPE, SIG_IGN);
    CleanUpOnStopSignals();
    RaiseOpenFiles();
    Daemon daemon(binary);
    Haproxy haproxy;
    int resting = daemon.OpenDescriptors();
    std::string reference = haproxy.Running() ? haproxy.Status() + " (one thread, TCP mode)" : haproxy.Status();
    printf("natbridge relay benchmark (daemon %s, port %d; %s; open files limit %ld); ratios are relay/direct and "
           "relay/haproxy\n\n",
           binary.c_str(), daemon.Port(), reference.c_str(), OpenFilesLimit());
    fflush(stdout);
    ThroughputRows(daemon, haproxy);
    EchoRow(daemon, haproxy);
    IdleRow(daemon, haproxy);
    StormRow(daemon, resting);
    return 0;
}
