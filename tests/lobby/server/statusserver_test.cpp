// The status pages: rendering from filled figures, and the server itself over
// a loopback socket (methods, paths, status codes, health, uptime clock).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "common/src/iniparser.h"
#include "common/src/osutils.h"
#include "lobby/server/statusserver.h"

namespace {

// Every figure a distinct value: a figure shown under the wrong name shows.
void Fill(RelayStats_t& s) {
    s.connectionsOpen = 3;
    s.clientsLoggedIn = 2;
    s.bufferedBytes = 4096;
    s.registrations = 11;
    s.authentications = 12;
    s.authenticationFailures = 13;
    s.packetsRelayed = 14;
    s.bytesRelayed = 1500000000000;
    s.echoes = 16;
    for (int i = 0; i < RELAY_DROP_CAUSES; i++) s.dropped[i] = 20 + i;
    for (int i = 0; i < RELAY_CONDEMN_CAUSES; i++) s.condemned[i] = 30 + i;
    s.refusedPerAddress = 40;
}

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

// One HTTP/1.1 exchange; the response as it came (headers and body), cut at
// Content-Length, or "" on time-out.
std::string Exchange(int port, const std::string& request, bool head = false) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
    std::string in;
    if (connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) == 0 &&
        send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        for (;;) {
            size_t end = in.find("\r\n\r\n");
            if (end != std::string::npos) {
                size_t at = in.find("Content-Length: ");
                size_t want = end + 4 + (head || at == std::string::npos ? 0 : std::stoul(in.substr(at + 16)));
                if (in.size() >= want) break;
            }
            struct pollfd p = {fd, POLLIN, 0};
            char buf[65536];
            ssize_t n = poll(&p, 1, 5000) == 1 ? recv(fd, buf, sizeof buf, 0) : -1;
            if (n <= 0) break;
            in.append(buf, static_cast<size_t>(n));
        }
    }
    close(fd);
    return in;
}

std::string Get(int port, const std::string& method, const std::string& path) {
    return Exchange(port, method + " " + path + " HTTP/1.1\r\nHost: x\r\n\r\n", method == "HEAD");
}

class StatusServer : public ::testing::Test {
protected:
    void SetUp() override {
        Fill(stats);
        stats.listening = true;
        ASSERT_TRUE(server.Start(0, "127.0.0.1"));
        port = server.GetPort();
    }
    RelayStats_t stats;
    CStatusServer server{stats};
    int port = 0;
};

const ProcessFigures_t kProcess = {7, 123456789, 42};

}  // namespace

TEST(StatusRender, MetricsCarryEveryFigureWithOneHelpAndTypePerFamily) {
    RelayStats_t s;
    Fill(s);
    std::string text = CStatusServer::RenderMetrics(CStatusServer::Collect(s, kProcess));
    const char* const samples[] = {
        "natbridge_connections_open 3\n",
        "natbridge_clients_logged_in 2\n",
        "natbridge_buffered_bytes 4096\n",
        "natbridge_registrations_total 11\n",
        "natbridge_authentications_total 12\n",
        "natbridge_authentication_failures_total 13\n",
        "natbridge_packets_relayed_total 14\n",
        "natbridge_bytes_relayed_total 1500000000000\n",
        "natbridge_echoes_total 16\n",
        "natbridge_packets_dropped_total{cause=\"unknown_destination\"} 20\n",
        "natbridge_packets_dropped_total{cause=\"not_logged_in\"} 21\n",
        "natbridge_connections_condemned_total{cause=\"bad_header_size\"} 30\n",
        "natbridge_connections_condemned_total{cause=\"buffer_overflow\"} 31\n",
        "natbridge_connections_condemned_total{cause=\"send_queue_overflow\"} 32\n",
        "natbridge_connections_condemned_total{cause=\"login_timeout\"} 33\n",
        "natbridge_connections_condemned_total{cause=\"packet_timeout\"} 34\n",
        "natbridge_connections_condemned_total{cause=\"memory_budget\"} 35\n",
        "natbridge_connections_refused_total{cause=\"per_address\"} 40\n",
        "natbridge_uptime_seconds 7\n",
        "natbridge_resident_memory_bytes 123456789\n",
        "natbridge_open_fds 42\n",
    };
    size_t last = 0;
    for (const char* sample : samples) {
        SCOPED_TRACE(sample);
        size_t at = text.find(std::string("\n") + sample);
        ASSERT_NE(std::string::npos, at) << text;
        EXPECT_GT(at, last) << "page order";
        last = at;
        std::string name = std::string(sample).substr(0, std::string(sample).find_first_of("{ "));
        bool counter = name.size() > 6 && name.compare(name.size() - 6, 6, "_total") == 0;
        EXPECT_EQ(1u, Count(text, "# HELP " + name + " "));
        EXPECT_EQ(1u, Count(text, "# TYPE " + name + (counter ? " counter\n" : " gauge\n")));
        EXPECT_LT(text.find("# TYPE " + name + " "), at) << "the type comes before the samples";
    }
    EXPECT_EQ(21u + 2 * 15u, Count(text, "\n")) << "21 samples, 15 families";
    EXPECT_EQ(0u, text.find("# HELP natbridge_connections_open Client connections open now.\n"));
}

TEST(StatusRender, FiguresTheProcessCouldNotReadAreLeftOutOrShownUnknown) {
    RelayStats_t s;
    ProcessFigures_t unknown = {0, -1, -1};
    auto figures = CStatusServer::Collect(s, unknown);
    std::string metrics = CStatusServer::RenderMetrics(figures);
    EXPECT_NE(std::string::npos, metrics.find("\nnatbridge_uptime_seconds 0\n"));
    EXPECT_EQ(std::string::npos, metrics.find("resident_memory_bytes"));
    EXPECT_EQ(std::string::npos, metrics.find("open_fds"));
    std::string page = CStatusServer::RenderPage(figures, false);
    EXPECT_NE(std::string::npos, page.find("id=\"open_fds\">unknown<"));
    EXPECT_NE(std::string::npos, page.find("Relay: not listening"));
}

TEST(StatusRender, PageShowsEachFigureByIdAndRefreshesItself) {
    RelayStats_t s;
    Fill(s);
    std::string page = CStatusServer::RenderPage(CStatusServer::Collect(s, kProcess), true);
    const struct {
        const char* id;
        const char* value;
    } cells[] = {
        {"connections_open", "3"},          {"registrations_total", "11"},
        {"bytes_relayed_total", "1500000000000"},
        {"packets_dropped_total.not_logged_in", "21"},
        {"connections_condemned_total.memory_budget", "35"},
        {"connections_refused_total.per_address", "40"},
        {"resident_memory_bytes", "123456789"},
    };
    for (const auto& c : cells)
        EXPECT_NE(std::string::npos, page.find(std::string("id=\"") + c.id + "\">" + c.value + "</td>")) << c.id;
    EXPECT_NE(std::string::npos, page.find("<meta http-equiv=\"refresh\" content=\"5\">"));
    EXPECT_NE(std::string::npos, page.find("Relay: listening"));
    EXPECT_EQ(0u, page.find("<!DOCTYPE html>\n<html>"));
    EXPECT_EQ(21u, Count(page, "<td class=\"v\""));
}

TEST(StatusRender, EscapingCoversEveryCharacterWithAMeaningInHtml) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"plain text 123", "plain text 123"},
        {"<script>", "&lt;script&gt;"},
        {"a & b", "a &amp; b"},
        {"&amp;", "&amp;amp;"},
        {"\"q\" 'a'", "&quot;q&quot; &#39;a&#39;"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(c.out, CStatusServer::EscapeHtml(c.in)) << c.in;
}

TEST(StatusRender, ProcessFiguresComeFromProc) {
    ProcessFigures_t p = CStatusServer::ReadProcess(9);
    EXPECT_EQ(9, p.uptimeSeconds);
    EXPECT_GT(p.residentBytes, 1 << 20);
    int extra = dup(0);
    ProcessFigures_t q = CStatusServer::ReadProcess(9);
    close(extra);
    EXPECT_GE(p.openFds, 3);
    EXPECT_EQ(p.openFds + 1, q.openFds) << "the listing's own descriptor is not counted";
}

TEST_F(StatusServer, AnswersEachPathAndMethodAsAnOperatorExpects) {
    const struct {
        const char* method;
        const char* path;
        const char* status;
        const char* type;  // Content-Type line, or null
        const char* body;  // text the body contains, or null
    } cases[] = {
        {"GET", "/metrics", "200 OK", "text/plain; version=0.0.4", "\nnatbridge_echoes_total 16\n"},
        {"GET", "/metrics?x=1", "200 OK", "text/plain; version=0.0.4", "natbridge_open_fds "},
        {"GET", "/", "200 OK", "text/html; charset=iso-8859-1", "id=\"echoes_total\">16<"},
        {"GET", "/healthz", "200 OK", "text/plain", "\r\n\r\nOK"},
        {"GET", "/nothing", "404 Not Found", nullptr, "The requested URL /nothing was not found"},
        {"GET", "/metrics/", "404 Not Found", nullptr, nullptr},
        {"GET", "/../etc/passwd", "403 Forbidden", nullptr, nullptr},
        {"POST", "/metrics", "405 Method Not Allowed", nullptr, "Allow: GET, HEAD\r\n"},
        {"PUT", "/", "405 Method Not Allowed", nullptr, "Allow: GET, HEAD\r\n"},
        {"DELETE", "/healthz", "405 Method Not Allowed", nullptr, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.path);
        std::string r = Get(port, c.method, c.path);
        EXPECT_EQ(0u, r.find(std::string("HTTP/1.1 ") + c.status + "\r\n")) << r;
        if (c.type) {
            EXPECT_NE(std::string::npos, r.find(std::string("\r\nContent-Type: ") + c.type + "\r\n")) << r;
        }
        if (c.body) {
            EXPECT_NE(std::string::npos, r.find(c.body)) << r;
        }
    }
}

TEST_F(StatusServer, HeadGetsTheHeadersWithoutTheBody) {
    for (const char* path : {"/metrics", "/", "/healthz"}) {
        SCOPED_TRACE(path);
        std::string get = Get(port, "GET", path), head = Get(port, "HEAD", path);
        EXPECT_EQ(0u, head.find("HTTP/1.1 200 OK\r\n"));
        size_t at = head.find("Content-Length: ");
        ASSERT_NE(std::string::npos, at);
        EXPECT_EQ(head.size(), head.find("\r\n\r\n") + 4) << "no body";
        EXPECT_GT(std::stoul(head.substr(at + 16)), 0u);
    }
}

TEST_F(StatusServer, HealthFollowsTheRelaysListeningState) {
    const struct {
        bool listening;
        const char* status;
        const char* body;
    } cases[] = {{true, "200 OK", "OK"}, {false, "503 Service Unavailable", "relay not listening\n"},
                 {true, "200 OK", "OK"}};
    for (const auto& c : cases) {
        stats.listening = c.listening;
        std::string r = Get(port, "GET", "/healthz");
        EXPECT_EQ(0u, r.find(std::string("HTTP/1.1 ") + c.status + "\r\n")) << r;
        EXPECT_EQ(r.size() - strlen(c.body), r.find(std::string("\r\n\r\n") + c.body) + 4) << r;
    }
    stats.listening = false;
    std::string head = Get(port, "HEAD", "/healthz");
    EXPECT_EQ(head.size(), head.find("\r\n\r\n") + 4) << head;
}

TEST_F(StatusServer, FiguresAreReadAtEachScrape) {
    EXPECT_NE(std::string::npos, Get(port, "GET", "/metrics").find("\nnatbridge_packets_relayed_total 14\n"));
    stats.Add(stats.packetsRelayed, 1000);
    stats.Add(stats.connectionsOpen, -3);
    std::string r = Get(port, "GET", "/metrics");
    EXPECT_NE(std::string::npos, r.find("\nnatbridge_packets_relayed_total 1014\n")) << r;
    EXPECT_NE(std::string::npos, r.find("\nnatbridge_connections_open 0\n")) << r;
}

TEST_F(StatusServer, UptimeFollowsTheTickCountPastItsWrap) {
    auto uptime = [&] {
        std::string r = Get(port, "GET", "/metrics");
        size_t at = r.find("\nnatbridge_uptime_seconds ");
        return at == std::string::npos ? -1L : std::stol(r.substr(at + 26));
    };
    long before = uptime();
    ASSERT_GE(before, 0);
    OS_TestAdvanceTickCount(90000);
    EXPECT_GE(uptime(), before + 90);
    // Steps below the wrap, as the status thread's passes take them.
    for (int i = 0; i < 5; i++) {
        OS_TestAdvanceTickCount(0x40000000u);
        uptime();
    }
    EXPECT_GE(uptime(), before + 90 + 5 * (0x40000000LL / 1000));
}

TEST_F(StatusServer, AnOccupiedPortIsRefusedWithALogLine) {
    RelayStats_t other;
    CStatusServer second(other);
    EXPECT_FALSE(second.Start(port, "127.0.0.1"));
    EXPECT_EQ(0, second.GetPort());
    EXPECT_FALSE(second.Start(0, "not-an-address"));
    EXPECT_TRUE(second.Start(0, "127.0.0.1")) << "a failure leaves nothing behind";
    second.Stop();
}

TEST(StatusConfig, OnlyASectionWithANonZeroPortStartsAServer) {
    const struct {
        const char* port;  // null: no section at all
        const char* address;
        bool configured, starts;
    } cases[] = {
        {nullptr, nullptr, false, false}, {"", nullptr, false, false},       {"0", nullptr, false, false},
        {" 0 ", nullptr, false, false},   {"x1", nullptr, true, false},      {"-5", nullptr, true, false},
        {"65535", nullptr, true, false},  {"1", "localhost", true, false},   {"1", "10.1.2", true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.port ? c.port : "(no section)");
        g_INI.RemoveAll();
        if (c.port) g_INI["Status"]["Port"] = c.port;
        if (c.address) g_INI["Status"]["Address"] = c.address;
        EXPECT_EQ(c.configured, CStatusServer::IsConfigured());
        if (c.configured) {
            RelayStats_t s;
            CStatusServer server(s);
            EXPECT_EQ(c.starts, server.Start());
        }
    }
    g_INI.RemoveAll();
}
