// The status server end to end: the daemon binary with a "Status" section,
// /metrics read by the Prometheus text-format parser (status_scrape.py beside
// this file), "/" rendered by headless chromium, the counters checked against
// the traffic sent here.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <regex>
#include <string>
#include <thread>

#include "lobby/common/relayclient.h"
#include "tests/support/process.h"
#include "tests/support/waitfor.h"

namespace {

const int kWait = 5000;
const std::string kScript = std::string(NB_SOURCE_DIR) + "/tests/lobby/server/natbridge/status_scrape.py";

// A command's standard output, bounded by timeout(1); *pStatus its exit status.
std::string RunCommand(const std::string& command, int* pStatus = nullptr) {
    std::string out;
    FILE* f = popen(("timeout 60 " + command + " 2>/dev/null").c_str(), "r");
    char buf[4096];
    for (size_t n; f && (n = fread(buf, 1, sizeof buf, f)) > 0;) out.append(buf, n);
    int status = f ? pclose(f) : -1;
    if (pStatus) *pStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return out;
}

bool Succeeds(const std::string& command) {
    int status = -1;
    RunCommand(command, &status);
    return status == 0;
}

// The Python that has prometheus_client (Debian's, also when another comes
// first on PATH), or "".
std::string Python() {
    for (const char* python : {"/usr/bin/python3", "python3"})
        if (Succeeds(std::string(python) + " -c 'import prometheus_client.parser'")) return python;
    return "";
}

int SocketsOf(pid_t pid) {
    return atoi(RunCommand("sh -c 'ls -l /proc/" + std::to_string(pid) + "/fd | grep -c socket:'").c_str());
}

std::string Packet(int uid, int size) {
    std::string p(static_cast<size_t>(size), 'p');
    ProxyHeader_t h = {size, uid, PH_TYPE_DATA};
    memcpy(&p[0], &h, sizeof h);
    return p;
}

class Status : public ::testing::Test {
protected:
    void SetUp() override { m_Python = Python(); }
    void TearDown() override {
        if (m_Process.Pid() > 0) {
            m_Process.Signal(SIGINT);
            EXPECT_EQ(0, m_Process.WaitExit(10000)) << Log();
        }
        RemoveTree(m_Dir);
    }
    std::string Log() const { return ReadFile(m_Dir + "/logs/natbridge(0).txt"); }
    int After(const std::string& text) const {
        std::string log = Log();
        size_t at = log.find(text);
        return at == std::string::npos ? 0 : atoi(log.c_str() + at + text.size());
    }
    // Runs the daemon with status (a section or "") in a fresh directory:
    // 0 once it serves, or (serves false) its exit status.
    int Launch(CTestProcess& p, const std::string& status, bool serves = true) {
        RemoveTree(m_Dir);
        m_Dir = MakeTempDir();
        WriteFile(m_Dir + "/natbridged.ini", "[ProxyServer]\nPort = 0\n" + status);
        if (!p.Start(NB_DAEMON_PATH, m_Dir)) return -1;
        if (!serves || !p.WaitUntilCatching(SIGINT, 10000)) return p.WaitExit(10000);
        m_RelayPort = After("Proxy Server Port= ");
        m_StatusPort = After("Status Server Port= ");
        return 0;
    }
    // The daemon with a status server on a port that was free just now.
    void StartWithStatus() {
        int port = 0;
        close(ListenOnFreePort(&port));
        ASSERT_EQ(0, Launch(m_Process, "[Status]\nPort = " + std::to_string(port) + "\n")) << Log();
        ASSERT_EQ(port, m_StatusPort) << Log();
    }
    std::string Url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(m_StatusPort) + path; }
    // Every sample of /metrics as the parser read it: "name{labels}" to value.
    std::map<std::string, long long> Scrape() {
        int status = -1;
        std::string out = RunCommand(m_Python + " " + kScript + " metrics " + Url("/metrics"), &status);
        EXPECT_EQ(0, status) << out;
        std::map<std::string, long long> samples;
        std::regex sample("SAMPLE (\\S+) (-?[0-9]+)\n");
        for (std::sregex_iterator i(out.begin(), out.end(), sample), e; i != e; ++i)
            samples[(*i)[1]] = std::stoll((*i)[2]);
        return samples;
    }
    void Connect(CRelayClient& c) { ASSERT_TRUE(c.Connect("127.0.0.1", m_RelayPort, kWait)); }
    void Echo(CRelayClient& c) {
        CBuffer reply;
        ASSERT_TRUE(c.SendPacket(0, PH_TYPE_ECHO, "ping", 4) && c.ReadPacket(reply, kWait));
    }

    std::string m_Dir, m_Python;
    CTestProcess m_Process;
    int m_RelayPort = 0, m_StatusPort = 0;
};

#define NEED_PARSER() \
    if (m_Python.empty()) GTEST_SKIP() << "python3's prometheus_client is missing (python3-prometheus-client)"

}  // namespace

TEST_F(Status, MetricsParseAndCountTheTrafficSentThroughTheRelay) {
    NEED_PARSER();
    ASSERT_NO_FATAL_FAILURE(StartWithStatus());
    CRelayClient a, b, idle;
    Connect(a), Connect(b), Connect(idle);
    ASSERT_GT(a.Register(kWait), 0);
    int ub = b.Register(kWait);
    const int kPackets = 25, kSize = 100;
    for (int i = 0; i < kPackets; i++) ASSERT_TRUE(a.SendAll(Packet(ub, kSize).data(), kSize));
    CBuffer got;
    for (int i = 0; i < kPackets; i++) ASSERT_TRUE(b.ReadPacket(got, kWait)) << i;
    ASSERT_TRUE(a.SendAll(Packet(12345, 20).data(), 20));  // nobody holds 12345
    Echo(b), Echo(b), Echo(b), Echo(idle);                  // echoes work before login too
    // The relay publishes its per-packet figures at its next tick.
    std::map<std::string, long long> m;
    EXPECT_TRUE(WaitFor([&] { return (m = Scrape())["natbridge_echoes_total"] == 4; }, kWait));
    const std::pair<const char*, long long> expected[] = {
        {"natbridge_connections_open", 3},
        {"natbridge_clients_logged_in", 2},
        {"natbridge_registrations_total", 2},
        {"natbridge_authentications_total", 0},
        {"natbridge_packets_relayed_total", kPackets},
        {"natbridge_bytes_relayed_total", kPackets * kSize},
        {"natbridge_echoes_total", 4},
        {"natbridge_packets_dropped_total{cause=\"unknown_destination\"}", 1},
        {"natbridge_packets_dropped_total{cause=\"not_logged_in\"}", 0},
        {"natbridge_connections_condemned_total{cause=\"bad_header_size\"}", 0},
        {"natbridge_connections_refused_total{cause=\"per_address\"}", 0},
    };
    for (const auto& e : expected) {
        ASSERT_EQ(1u, m.count(e.first)) << e.first;
        EXPECT_EQ(e.second, m[e.first]) << e.first;
    }
    EXPECT_GE(m["natbridge_open_fds"], 5) << "three clients, two listeners";
    EXPECT_GT(m["natbridge_resident_memory_bytes"], 1 << 20);
    EXPECT_EQ("STATUS 200\nTYPE text/plain\nOK", RunCommand(m_Python + " " + kScript + " fetch " + Url("/healthz")));
    a.Close();  // a client that goes is no longer counted
    EXPECT_TRUE(WaitFor([&] { return Scrape()["natbridge_clients_logged_in"] == 1; }, kWait));
    EXPECT_EQ(2, Scrape()["natbridge_connections_open"]);
}

TEST_F(Status, ChromiumShowsTheFiguresOnTheStatusPage) {
    if (!Succeeds("sh -c 'command -v chromium'")) GTEST_SKIP() << "chromium is missing";
    ASSERT_NO_FATAL_FAILURE(StartWithStatus());
    CRelayClient a;
    Connect(a);
    ASSERT_GT(a.Register(kWait), 0);
    Echo(a);
    std::string python = m_Python.empty() ? "python3" : m_Python;  // fetching needs no parser
    EXPECT_TRUE(WaitFor([&] {
        return RunCommand(python + " " + kScript + " fetch " + Url("/metrics")).find("\nnatbridge_echoes_total 1\n") !=
               std::string::npos;
    }, kWait)) << "published at the relay's next tick";
    std::string dom = RunCommand("chromium --headless --no-sandbox --disable-gpu --user-data-dir=" + m_Dir +
                                 "/chromium --dump-dom " + Url("/"));
    for (const char* shown : {"<title>natbridge status</title>", "http-equiv=\"refresh\"", "Relay: listening",
                              "id=\"registrations_total\">1</td>", "id=\"echoes_total\">1</td>",
                              "id=\"connections_open\">1</td>", "id=\"packets_dropped_total.unknown_destination\">0<"})
        EXPECT_NE(std::string::npos, dom.find(shown)) << shown << "\n" << dom;
}

// Without the section (or with Port 0) start-up is the relay's alone; with
// it, a second socket listens, on 127.0.0.1 only.
TEST_F(Status, AbsentWithoutTheSection) {
    const std::regex asBefore(
        "([0-9:]{8} (Warning|Maximum)[^\n]*\n)*[0-9:]{8} Server  started\\. PID=[0-9]+ load average: [^\n]*\n"
        "[0-9:]{8} Debug info is OFF\\.\n[0-9:]{8} Proxy Server Port= [0-9]+\n");
    for (const char* config : {"", "[Status]\nAddress = 127.0.0.1\n", "[Status]\nPort = 0\n", "[Status]\nPort =\n"}) {
        CTestProcess p;
        ASSERT_EQ(0, Launch(p, config)) << config;
        EXPECT_TRUE(std::regex_match(Log(), asBefore)) << config << "\n" << Log();
        EXPECT_EQ(1, SocketsOf(p.Pid())) << config << ": the relay's listening socket alone";
        p.Signal(SIGINT);
        EXPECT_EQ(0, p.WaitExit(10000));
    }
    ASSERT_NO_FATAL_FAILURE(StartWithStatus());
    EXPECT_EQ(2, SocketsOf(m_Process.Pid()));
    CRelayClient local, other;
    EXPECT_TRUE(local.Connect("127.0.0.1", m_StatusPort, kWait));
    EXPECT_FALSE(other.Connect("127.0.0.2", m_StatusPort, kWait)) << "127.0.0.1 by default";
}

TEST_F(Status, APortThatCannotBeOpenedEndsStartUpWithStatusOne) {
    int port = 0, blocker = ListenOnFreePort(&port);
    const std::string busy = std::to_string(port);
    const std::pair<std::string, std::string> cases[] = {
        {"Port = " + busy, "Error: Status server cannot listen on 127.0.0.1 port " + busy + "\n"},
        {"Port = 9x", "Error: Status Port \"9x\" is not a port number\n"},
        {"Port = 65535", "Error: Status Port \"65535\" is not a port number\n"},
        {"Port = 1234\nAddress = status.example", "Error: Status server cannot listen on status.example port 1234\n"},
    };
    for (const auto& c : cases) {
        CTestProcess p;
        EXPECT_EQ(1, Launch(p, "[Status]\n" + c.first + "\n", false)) << c.first;
        std::string log = Log();
        EXPECT_LT(log.find("Proxy Server Port= "), log.find(c.second)) << c.first << ": the relay first\n" << log;
        EXPECT_EQ(std::string::npos, log.find("Debug assert failed")) << log;
    }
    close(blocker);
}

// Scrapes while a burst is relayed: each one parses, the counter only grows,
// and the burst arrives whole.
TEST_F(Status, ScrapesDuringARelayingBurst) {
    NEED_PARSER();
    ASSERT_NO_FATAL_FAILURE(StartWithStatus());
    CRelayClient a, b;
    Connect(a), Connect(b);
    ASSERT_GT(a.Register(kWait), 0);
    int ub = b.Register(kWait);
    const int kPackets = 20000, kSize = 512;
    std::atomic<int> received{0};
    std::thread reader([&] {
        CBuffer got;
        while (received < kPackets && b.ReadPacket(got, kWait)) received++;
    });
    std::thread writer([&] {
        std::string batch;
        for (int i = 0; i < 100; i++) batch += Packet(ub, kSize);
        for (int i = 0; i < kPackets / 100; i++) a.SendAll(batch.data(), static_cast<int>(batch.size()));
    });
    long long last = 0;
    for (int scrapes = 0; received < kPackets && scrapes < 200; scrapes++) {
        long long now = Scrape()["natbridge_packets_relayed_total"];
        EXPECT_GE(now, last);
        last = now;
    }
    writer.join();
    reader.join();
    EXPECT_EQ(kPackets, received.load());
    EXPECT_TRUE(WaitFor([&] { return Scrape()["natbridge_packets_relayed_total"] == kPackets; }, kWait));
}
