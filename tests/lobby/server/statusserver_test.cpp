// The status pages rendered from filled figures, and the server over loopback.
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

// Every figure a distinct value: one shown under the wrong name shows.
void Fill(RelayStats_t& s) {
    s.connectionsOpen = 3, s.clientsLoggedIn = 2, s.bufferedBytes = 4096, s.registrations = 11;
    s.authentications = 12, s.authenticationFailures = 13, s.packetsRelayed = 14, s.echoes = 16;
    s.bytesRelayed = 1500000000000, s.refusedPerAddress = 40;
    for (int i = 0; i < RELAY_DROP_CAUSES; i++) s.dropped[i] = 20 + i;
    for (int i = 0; i < RELAY_CONDEMN_CAUSES; i++) s.condemned[i] = 30 + i;
}

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

// One request; the response (head and body, cut at Content-Length), "" on time-out.
std::string Exchange(int port, const std::string& method, const std::string& path) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
    std::string request = method + " " + path + " HTTP/1.1\r\nHost: x\r\n\r\n", in;
    if (connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) == 0)
        send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    for (;;) {
        size_t end = in.find("\r\n\r\n"), at = in.find("Content-Length: ");
        if (end != std::string::npos &&
            in.size() >= end + 4 + (method == "HEAD" || at == std::string::npos ? 0 : std::stoul(in.substr(at + 16))))
            break;
        struct pollfd p = {fd, POLLIN, 0};
        char buf[65536];
        ssize_t n = poll(&p, 1, 5000) == 1 ? recv(fd, buf, sizeof buf, 0) : -1;
        if (n <= 0) break;
        in.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return in;
}

const ProcessFigures_t kProcess = {7, 123456789, 42};

}  // namespace

TEST(StatusRender, MetricsCarryEveryFigureWithOneHelpAndTypePerFamily) {
    RelayStats_t s;
    Fill(s);
    std::string text = CStatusServer::RenderMetrics(CStatusServer::Collect(s, kProcess));
    const char* const samples[] = {
        "natbridge_connections_open 3", "natbridge_clients_logged_in 2", "natbridge_buffered_bytes 4096",
        "natbridge_registrations_total 11", "natbridge_authentications_total 12",
        "natbridge_authentication_failures_total 13", "natbridge_packets_relayed_total 14",
        "natbridge_bytes_relayed_total 1500000000000", "natbridge_echoes_total 16",
        "natbridge_packets_dropped_total{cause=\"unknown_destination\"} 20",
        "natbridge_packets_dropped_total{cause=\"not_logged_in\"} 21",
        "natbridge_connections_condemned_total{cause=\"bad_header_size\"} 30",
        "natbridge_connections_condemned_total{cause=\"buffer_overflow\"} 31",
        "natbridge_connections_condemned_total{cause=\"send_queue_overflow\"} 32",
        "natbridge_connections_condemned_total{cause=\"login_timeout\"} 33",
        "natbridge_connections_condemned_total{cause=\"packet_timeout\"} 34",
        "natbridge_connections_condemned_total{cause=\"memory_budget\"} 35",
        "natbridge_connections_refused_total{cause=\"per_address\"} 40", "natbridge_uptime_seconds 7",
        "natbridge_resident_memory_bytes 123456789", "natbridge_open_fds 42",
    };
    size_t last = 0;
    for (std::string sample : samples) {
        size_t at = text.find("\n" + sample + "\n");
        ASSERT_NE(std::string::npos, at) << sample << "\n" << text;
        EXPECT_GT(at, last) << sample << ": page order";
        last = at;
        std::string name = sample.substr(0, sample.find_first_of("{ "));
        bool counter = name.compare(name.size() - 6, 6, "_total") == 0;
        EXPECT_EQ(1u, Count(text, "# HELP " + name + " ")) << sample;
        EXPECT_EQ(1u, Count(text, "# TYPE " + name + (counter ? " counter\n" : " gauge\n"))) << sample;
        EXPECT_LT(text.find("# TYPE " + name + " "), at) << sample << ": the type comes first";
    }
    EXPECT_EQ(21u + 2 * 15u, Count(text, "\n")) << "21 samples of 15 families, nothing else";
    // What the process cannot read is left out, not shown as -1.
    std::string unread = CStatusServer::RenderMetrics(CStatusServer::Collect(s, {0, -1, -1}));
    EXPECT_EQ(std::string::npos, unread.find("natbridge_open_fds"));
    EXPECT_EQ(std::string::npos, unread.find("natbridge_resident_memory_bytes"));
}

TEST(StatusRender, PageShowsEachFigureByIdEscapedAndRefreshes) {
    RelayStats_t s;
    Fill(s);
    std::string page = CStatusServer::RenderPage(CStatusServer::Collect(s, {7, -1, 42}), true);
    for (const char* cell : {"connections_open\">3<", "bytes_relayed_total\">1500000000000<",
                             "packets_dropped_total.not_logged_in\">21<", "connections_refused_total.per_address\">40<",
                             "resident_memory_bytes\">unknown<", "open_fds\">42<"})
        EXPECT_NE(std::string::npos, page.find(std::string("id=\"") + cell)) << cell;
    EXPECT_EQ(21u, Count(page, "<td class=\"v\""));
    EXPECT_NE(std::string::npos, page.find("<meta http-equiv=\"refresh\" content=\"5\">"));
    EXPECT_NE(std::string::npos, page.find("Relay: listening"));
    EXPECT_NE(std::string::npos, CStatusServer::RenderPage({}, false).find("Relay: not listening"));
    EXPECT_EQ("a&amp;b &lt;i&gt; &quot;q&quot; &#39;s&#39; &amp;amp;", CStatusServer::EscapeHtml("a&b <i> \"q\" 's' &amp;"));
}

TEST(StatusServer, AnswersEachPathAndMethodAsAnOperatorExpects) {
    RelayStats_t stats;
    Fill(stats);
    CStatusServer server(stats);
    ASSERT_TRUE(server.Start(0, "127.0.0.1"));
    const struct {
        bool listening;
        const char *method, *path, *head, *body;  // the response's start and a text it holds (after the start)
    } cases[] = {
        {true, "GET", "/metrics", "200 OK", "Content-Type: text/plain; version=0.0.4\r\n"},
        {true, "GET", "/metrics?x=1", "200 OK", "\nnatbridge_echoes_total 16\n"},
        {true, "GET", "/", "200 OK", "Content-Type: text/html; charset=iso-8859-1\r\n"},
        {true, "GET", "/healthz", "200 OK", "\r\n\r\nOK"},
        {false, "GET", "/healthz", "503 Service Unavailable", "\r\n\r\nrelay not listening\n"},
        {false, "HEAD", "/healthz", "503 Service Unavailable", "Content-Length: 20\r\n\r\n"},
        {true, "HEAD", "/metrics", "200 OK", "\r\n\r\n"},
        {true, "GET", "/nothing", "404 Not Found", "The requested URL /nothing was not found"},
        {true, "GET", "/metrics/", "404 Not Found", ""},
        {true, "GET", "/../etc/passwd", "403 Forbidden", ""},
        {true, "POST", "/metrics", "405 Method Not Allowed", "Allow: GET, HEAD\r\n"},
        {true, "PUT", "/", "405 Method Not Allowed", "Allow: GET, HEAD\r\n"},
    };
    for (const auto& c : cases) {
        stats.listening = c.listening;
        std::string r = Exchange(server.GetPort(), c.method, c.path);
        EXPECT_EQ(0u, r.find(std::string("HTTP/1.1 ") + c.head + "\r\n")) << c.method << " " << c.path << "\n" << r;
        EXPECT_NE(std::string::npos, r.find(c.body)) << c.method << " " << c.path << "\n" << r;
        EXPECT_TRUE(std::string(c.method) != "HEAD" || r.size() == r.find("\r\n\r\n") + 4) << c.path << ": no body";
    }
    server.Stop();
}

TEST(StatusServer, FiguresAndUptimeAreReadAtEachScrapeAcrossTheTickWrap) {
    RelayStats_t stats;
    CStatusServer server(stats);
    ASSERT_TRUE(server.Start(0, "127.0.0.1"));
    auto figure = [&](const std::string& name) {
        std::string r = Exchange(server.GetPort(), "GET", "/metrics");
        size_t at = r.find("\n" + name + " ");
        return at == std::string::npos ? -1LL : std::stoll(r.substr(at + name.size() + 2));
    };
    stats.Add(stats.packetsRelayed, 1000);
    EXPECT_EQ(1000, figure("natbridge_packets_relayed_total"));
    long long before = figure("natbridge_uptime_seconds");
    // Steps below the 32-bit wrap, as the status thread's passes take them.
    for (int i = 0; i < 5; i++) {
        OS_TestAdvanceTickCount(0x40000000u);
        figure("natbridge_uptime_seconds");
    }
    EXPECT_GE(figure("natbridge_uptime_seconds"), before + 5 * (0x40000000LL / 1000));
    EXPECT_GT(figure("natbridge_open_fds"), 3);
    server.Stop();
}

TEST(StatusConfig, OnlyASectionWithANonZeroPortAsksForAServer) {
    const struct {
        const char* port;  // null: no section
        bool configured;
    } cases[] = {{nullptr, false}, {"", false}, {"0", false}, {" 0 ", false}, {"9100", true}, {"x1", true}};
    for (const auto& c : cases) {
        g_INI.RemoveAll();
        if (c.port) g_INI["Status"]["Port"] = c.port;
        EXPECT_EQ(c.configured, CStatusServer::IsConfigured()) << (c.port ? c.port : "(none)");
    }
    g_INI.RemoveAll();
}
