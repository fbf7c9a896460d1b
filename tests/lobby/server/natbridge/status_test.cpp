// The status server end to end: the daemon binary with a "Status" section,
// its metrics read by the Prometheus text-format parser (a Python script
// beside this file), its page rendered by headless chromium, its counters
// checked against the traffic sent here.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <regex>
#include <cstdio>
#include <map>
#include <string>
#include <thread>

#include "lobby/common/relayclient.h"
#include "tests/support/process.h"
#include "tests/support/waitfor.h"

namespace {

const int kWait = 5000;
const std::string kScript = std::string(NB_SOURCE_DIR) + "/tests/lobby/server/natbridge/status_scrape.py";

// A command's standard output (standard error discarded); *pStatus its exit
// status. Bounded by timeout(1).
std::string RunCommand(const std::string& command, int* pStatus = nullptr) {
    std::string out;
    FILE* f = popen(("timeout 60 " + command + " 2>/dev/null").c_str(), "r");
    if (!f) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    int status = pclose(f);
    if (pStatus) *pStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return out;
}

// The Python that has prometheus_client (Debian's, when another one comes
// first on PATH), or "" when none has.
std::string Python() {
    for (const char* python : {"/usr/bin/python3", "python3"}) {
        int status = -1;
        RunCommand(std::string(python) + " -c 'import prometheus_client.parser'", &status);
        if (status == 0) return python;
    }
    return "";
}

bool HaveChromium() {
    int status = -1;
    RunCommand("sh -c 'command -v chromium'", &status);
    return status == 0;
}

// A port nobody listens on right now.
int FreePort() {
    int port = 0;
    int fd = ListenOnFreePort(&port);
    if (fd >= 0) close(fd);
    return port;
}

bool Reaches(const char* ip, int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, ip, &addr.sin_addr);
    bool ok = connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

std::string Packet(int uid, int type, int size) {
    std::string p(static_cast<size_t>(size), 'p');
    ProxyHeader_t h = {size, uid, type};
    memcpy(&p[0], &h, sizeof h);
    return p;
}

// The daemon with a status server on a free port of 127.0.0.1.
class Status : public ::testing::Test {
protected:
    void SetUp() override {
        m_Dir = MakeTempDir();
        ASSERT_FALSE(m_Dir.empty());
        m_Python = Python();
    }
    void TearDown() override {
        if (m_Process.Pid() > 0) {
            m_Process.Signal(SIGINT);
            EXPECT_EQ(0, m_Process.WaitExit(10000)) << Log();
        }
        RemoveTree(m_Dir);
    }
    std::string Log() const { return ReadFile(m_Dir + "/logs/natbridge(0).txt"); }
    int After(const std::string& log, const std::string& text) {
        size_t at = log.find(text);
        return at == std::string::npos ? 0 : atoi(log.c_str() + at + text.size());
    }
    // Starts the daemon and waits until it serves (the SIGINT handler is the
    // last step of start-up).
    void Start(const std::string& status) {
        WriteFile(m_Dir + "/natbridged.ini", "[ProxyServer]\nPort = 0\n" + status);
        ASSERT_TRUE(m_Process.Start(NB_DAEMON_PATH, m_Dir));
        ASSERT_TRUE(m_Process.WaitUntilCatching(SIGINT, 10000)) << m_Process.Output();
        m_RelayPort = After(Log(), "Proxy Server Port= ");
        m_StatusPort = After(Log(), "Status Server Port= ");
        ASSERT_GT(m_RelayPort, 0) << Log();
    }
    void StartWithStatus() {
        ASSERT_NO_FATAL_FAILURE(Start("[Status]\nPort = " + std::to_string(FreePort()) + "\n"));
        ASSERT_GT(m_StatusPort, 0) << Log();
    }
    std::string Url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(m_StatusPort) + path;
    }
    // Every sample of /metrics as the parser read it ("name{labels}" to its
    // value); fails the test when the page does not parse.
    std::map<std::string, long long> Scrape() {
        int status = -1;
        std::string out = RunCommand(m_Python + " " + kScript + " metrics " + Url("/metrics"), &status);
        EXPECT_EQ(0, status) << out;
        std::map<std::string, long long> samples;
        size_t at = 0;
        while ((at = out.find("SAMPLE ", at)) != std::string::npos) {
            size_t blank = out.find(' ', at + 7), end = out.find('\n', at);
            samples[out.substr(at + 7, blank - at - 7)] = atoll(out.c_str() + blank + 1);
            at = end;
        }
        return samples;
    }
    std::string Fetch(const std::string& path) { return RunCommand(m_Python + " " + kScript + " fetch " + Url(path)); }
    void Connect(CRelayClient& c) { ASSERT_TRUE(c.Connect("127.0.0.1", m_RelayPort, kWait)); }
    void Echo(CRelayClient& c) {
        ASSERT_TRUE(c.SendPacket(0, PH_TYPE_ECHO, "ping", 4));
        CBuffer reply;
        ASSERT_TRUE(c.ReadPacket(reply, kWait));
    }

    std::string m_Dir, m_Python;
    CTestProcess m_Process;
    int m_RelayPort = 0, m_StatusPort = 0;
};

#define NEED_PARSER() \
    if (m_Python.empty()) GTEST_SKIP() << "python3's prometheus_client is missing (Debian python3-prometheus-client)"

}  // namespace

TEST_F(Status, MetricsParseAndCountTheTrafficSentThroughTheRelay) {
    NEED_PARSER();
    ASSERT_NO_FATAL_FAILURE(StartWithStatus());
    CRelayClient a, b, idle;
    Connect(a);
    Connect(b);
    Connect(idle);
    int ua = a.Register(kWait), ub = b.Register(kWait);
    ASSERT_GT(ua, 0);
    ASSERT_GT(ub, 0);
    const int kPackets = 25, kSize = 100;
    for (int i = 0; i < kPackets; i++) ASSERT_TRUE(a.SendAll(Packet(ub, PH_TYPE_DATA, kSize).data(), kSize));
    CBuffer got;
    for (int i = 0; i < kPackets; i++) ASSERT_TRUE(b.ReadPacket(got, kWait)) << i;
    ASSERT_TRUE(a.SendAll(Packet(12345, PH_TYPE_DATA, 20).data(), 20));  // nobody holds 12345
    for (int i = 0; i < 3; i++) Echo(b);
    Echo(idle);  // echoes work before login
    std::map<std::string, long long> m = Scrape();
    const struct {
        const char* sample;
        long long value;
    } expected[] = {
        {"natbridge_connections_open", 3},
        {"natbridge_clients_logged_in", 2},
        {"natbridge_registrations_total", 2},
        {"natbridge_authentications_total", 0},
        {"natbridge_authentication_failures_total", 0},
        {"natbridge_packets_relayed_total", kPackets},
        {"natbridge_bytes_relayed_total", kPackets * kSize},
        {"natbridge_echoes_total", 4},
        {"natbridge_packets_dropped_total{cause=\"unknown_destination\"}", 1},
        {"natbridge_packets_dropped_total{cause=\"not_logged_in\"}", 0},
        {"natbridge_connections_condemned_total{cause=\"bad_header_size\"}", 0},
        {"natbridge_connections_refused_total{cause=\"per_address\"}", 0},
    };
    for (const auto& e : expected) {
        ASSERT_EQ(1u, m.count(e.sample)) << e.sample;
        EXPECT_EQ(e.value, m[e.sample]) << e.sample;
    }
    EXPECT_GE(m["natbridge_open_fds"], 5) << "three clients, two listeners";
    EXPECT_GT(m["natbridge_resident_memory_bytes"], 1 << 20);
    EXPECT_GE(m["natbridge_uptime_seconds"], 0);
    // A client that goes is no longer counted.
    a.Close();
    EXPECT_TRUE(WaitFor([&] { return Scrape()["natbridge_connections_open"] == 2; }, kWait));
    EXPECT_EQ(1, Scrape()["natbridge_clients_logged_in"]);
}

TEST_F(Status, ChromiumShowsTheFiguresOnTheStatusPage) {
    if (!HaveChromium()) GTEST_SKIP() << "chromium is missing";
    ASSERT_NO_FATAL_FAILURE(StartWithStatus());
    CRelayClient a;
    Connect(a);
    ASSERT_GT(a.Register(kWait), 0);
    Echo(a);
    std::string profile = m_Dir + "/chromium";
    std::string dom = RunCommand("chromium --headless --no-sandbox --disable-gpu --user-data-dir=" + profile +
                          " --dump-dom " + Url("/"));
    EXPECT_NE(std::string::npos, dom.find("<title>natbridge status</title>")) << dom;
    EXPECT_NE(std::string::npos, dom.find("http-equiv=\"refresh\"")) << dom;
    EXPECT_NE(std::string::npos, dom.find("Relay: listening")) << dom;
    EXPECT_NE(std::string::npos, dom.find("id=\"registrations_total\">1</td>")) << dom;
    EXPECT_NE(std::string::npos, dom.find("id=\"echoes_total\">1</td>")) << dom;
    EXPECT_NE(std::string::npos, dom.find("id=\"connections_open\">1</td>")) << dom;
    EXPECT_NE(std::string::npos, dom.find("id=\"packets_dropped_total.unknown_destination\">0</td>")) << dom;
}

TEST_F(Status, HealthAndUnknownPathsAnswerWithTheirCodes) {
    NEED_PARSER();
    ASSERT_NO_FATAL_FAILURE(StartWithStatus());
    const struct {
        const char* path;
        const char* head;
    } cases[] = {
        {"/healthz", "STATUS 200\nTYPE text/plain\nOK"},
        {"/nope", "STATUS 404\n"},
        {"/metrics", "STATUS 200\nTYPE text/plain; version=0.0.4\n# HELP natbridge_"},
        {"/", "STATUS 200\nTYPE text/html; charset=iso-8859-1\n<!DOCTYPE html>"},
    };
    for (const auto& c : cases) {
        std::string out = Fetch(c.path);
        EXPECT_EQ(0u, out.find(c.head)) << c.path << "\n" << out;
    }
    // 127.0.0.1 by default: other loopback addresses are shut out.
    EXPECT_TRUE(Reaches("127.0.0.1", m_StatusPort));
    EXPECT_FALSE(Reaches("127.0.0.2", m_StatusPort));
}

// Sockets among a process's open descriptors.
int SocketsOf(pid_t pid) {
    return atoi(RunCommand("sh -c 'ls -l /proc/" + std::to_string(pid) + "/fd | grep -c socket:'").c_str());
}

// Without the section (or with Port 0) start-up is the relay's alone.
TEST_F(Status, AbsentWithoutTheSection) {
    const char* const configs[] = {"", "[Status]\nAddress = 127.0.0.1\n", "[Status]\nPort = 0\n",
                                   "[Status]\nPort =\n"};
    const std::regex expected(
        "([0-9:]{8} (Warning|Maximum)[^\n]*\n)*"
        "[0-9:]{8} Server  started\\. PID=[0-9]+ load average: [^\n]*\n"
        "[0-9:]{8} Debug info is OFF\\.\n"
        "[0-9:]{8} Proxy Server Port= [0-9]+\n");
    for (const char* config : configs) {
        SCOPED_TRACE(config);
        RemoveTree(m_Dir);
        m_Dir = MakeTempDir();
        WriteFile(m_Dir + "/natbridged.ini", std::string("[ProxyServer]\nPort = 0\n") + config);
        CTestProcess p;
        ASSERT_TRUE(p.Start(NB_DAEMON_PATH, m_Dir));
        ASSERT_TRUE(p.WaitUntilCatching(SIGINT, 10000)) << p.Output();
        EXPECT_TRUE(std::regex_match(Log(), expected)) << Log();
        EXPECT_EQ(1, SocketsOf(p.Pid())) << "the relay's listening socket alone";
        p.Signal(SIGINT);
        EXPECT_EQ(0, p.WaitExit(10000));
    }
    // The same daemon with the section has a second listening socket.
    ASSERT_NO_FATAL_FAILURE(StartWithStatus());
    EXPECT_EQ(2, SocketsOf(m_Process.Pid()));
}

TEST_F(Status, APortThatCannotBeOpenedEndsStartUpWithStatusOne) {
    int port = 0;
    int blocker = ListenOnFreePort(&port);
    ASSERT_GE(blocker, 0);
    const struct {
        std::string section, reason;
    } cases[] = {
        {"Port = " + std::to_string(port), "Error: Status server cannot listen on 127.0.0.1 port " + std::to_string(port)},
        {"Port = 9x", "Error: Status Port \"9x\" is not a port number"},
        {"Port = 65535", "Error: Status Port \"65535\" is not a port number"},
        {"Port = 1234\nAddress = status.example", "Error: Status server cannot listen on status.example port 1234"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.section);
        RemoveTree(m_Dir);
        m_Dir = MakeTempDir();
        WriteFile(m_Dir + "/natbridged.ini", "[ProxyServer]\nPort = 0\n[Status]\n" + c.section + "\n");
        CTestProcess p;
        ASSERT_TRUE(p.Start(NB_DAEMON_PATH, m_Dir));
        EXPECT_EQ(1, p.WaitExit(10000)) << p.Output();
        std::string log = Log();
        EXPECT_NE(std::string::npos, log.find("Proxy Server Port= ")) << "the relay came first";
        EXPECT_NE(std::string::npos, log.find(c.reason + "\n")) << log;
        EXPECT_EQ(std::string::npos, log.find("Debug assert failed")) << log;
    }
    close(blocker);
}

// Scrapes while two clients relay a burst: every scrape parses, the counter
// only grows, and the burst arrives whole.
TEST_F(Status, ScrapesDuringARelayingBurst) {
    NEED_PARSER();
    ASSERT_NO_FATAL_FAILURE(StartWithStatus());
    CRelayClient a, b;
    Connect(a);
    Connect(b);
    ASSERT_GT(a.Register(kWait), 0);
    int ub = b.Register(kWait);
    ASSERT_GT(ub, 0);
    const int kPackets = 20000, kSize = 512;
    std::atomic<int> received{0};
    std::thread reader([&] {
        CBuffer got;
        while (received < kPackets && b.ReadPacket(got, kWait)) received++;
    });
    std::thread writer([&] {
        std::string p = Packet(ub, PH_TYPE_DATA, kSize), batch;
        for (int i = 0; i < 100; i++) batch += p;
        for (int i = 0; i < kPackets / 100; i++) a.SendAll(batch.data(), static_cast<int>(batch.size()));
    });
    long long last = 0;
    int scrapes = 0;
    while (received < kPackets && scrapes < 200) {
        std::map<std::string, long long> m = Scrape();
        ASSERT_EQ(1u, m.count("natbridge_packets_relayed_total"));
        EXPECT_GE(m["natbridge_packets_relayed_total"], last);
        last = m["natbridge_packets_relayed_total"];
        scrapes++;
    }
    writer.join();
    reader.join();
    EXPECT_EQ(kPackets, received.load());
    EXPECT_GE(scrapes, 1);
    EXPECT_EQ(kPackets, Scrape()["natbridge_packets_relayed_total"]);
}
