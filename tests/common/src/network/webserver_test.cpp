// The web server against real clients: curl for what browsers and tools do,
// raw loopback sockets for the exact bytes, pipelining, bad targets, closes
// and clients that vanish; virtual time for the idle time-out.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "common/src/network/webserver.h"
#include "common/src/osutils.h"
#include "tests/common/src/network/nettest.h"
#include "tests/support/process.h"
#include "tests/support/waitfor.h"

namespace {

const time_t kFileTime = 1000000000;  // Sun, 09 Sep 2001 01:46:40 GMT
const char* const kFileDate = "Sun, 09 Sep 2001 01:46:40 GMT";
const int kBigSize = 8 * 1024 * 1024 + 17;

std::string Page(const std::string& title, const std::string& heading, const std::string& text) {
    return "<html><head><title>" + title + "</title></head><body><h1>" + heading + "</h1><p>" + text +
           "</p></body></html>";
}

std::string Big() {
    std::string s(kBigSize, 0);
    for (int i = 0; i < kBigSize; i++) s[i] = static_cast<char>('a' + (i * 7) % 26);
    return s;
}

// Answers by path: /app content (echoing get and post), /delayed a chunked
// "abc" sent after the request, /missing not found, the rest files.
class App : public IWebServerCallback {
public:
    int WebRequest(const CString& uri, const CAssocArray<CString, CString>& get,
                   const CAssocArray<CString, CString>& post) override {
        std::lock_guard<std::mutex> lock(mutex);
        std::string path = uri.Ptr();
        lastGet = get.Join("&", "=").Ptr();
        lastPost = post.Join("&", "=").Ptr();
        callers.push_back(pServer->GetCaller());
        if (path == "/app") {
            pServer->SetHeader("text/plain");
            pServer->Send(CString("get:") + lastGet.c_str() + ";post:" + lastPost.c_str());
            return 0;
        }
        if (path == "/delayed") {
            delayed.push_back(pServer->GetCaller());
            return 1;
        }
        if (path == "/bad") return 7;
        return path == "/missing" ? 3 : 2;
    }
    // On the dispatching thread, between dispatches.
    void SendDelayed() {
        std::vector<HConnection> todo;
        {
            std::lock_guard<std::mutex> lock(mutex);
            todo.swap(delayed);
        }
        CBuffer abc, none;
        abc.WriteData("abc", 3);
        for (HConnection h : todo) {
            pServer->SendDelayed(h, abc, false);
            pServer->SendDelayed(h, none, true);
        }
    }
    std::string Get() {
        std::lock_guard<std::mutex> lock(mutex);
        return lastGet;
    }
    std::string Post() {
        std::lock_guard<std::mutex> lock(mutex);
        return lastPost;
    }
    std::vector<HConnection> Callers() {
        std::lock_guard<std::mutex> lock(mutex);
        return callers;
    }

    CWebServer* pServer = nullptr;
    std::mutex mutex;
    std::string lastGet, lastPost;
    std::vector<HConnection> callers, delayed;
};

// One server per test on a thread of its own that pumps Dispatch(20).
class WebServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        root = MakeTempDir();
        mkdir((root + "/sub").c_str(), 0755);
        const std::pair<const char*, std::string> files[] = {
            {"/index.html", "<p>index</p>"}, {"/ten.txt", "0123456789"}, {"/empty.txt", ""},
            {"/README", "read me"},          {"/INDEX.HTML", "upper"},    {"/big.bin", Big()},
            {"/sub/a.txt", "sub a"},
        };
        for (const auto& f : files) {
            WriteFile(root + f.first, f.second);
            struct utimbuf times = {kFileTime, kFileTime};
            utime((root + f.first).c_str(), &times);
        }
        app.pServer = &server;
        port = server.Init(&app, 0, root.c_str());
        ASSERT_GT(port, 0);
        thread = std::thread([this] {
            while (!stop) {
                server.Dispatch(20);
                app.SendDelayed();
            }
        });
    }
    void TearDown() override {
        stop = true;
        if (thread.joinable()) thread.join();
        if (port > 0) server.Shutdown();
        for (int fd : fds) close(fd);
        RemoveTree(root);
    }
    int Client() {
        int fd = nettest::ConnectClient(port);
        fds.push_back(fd);
        return fd;
    }
    // Sends request on a new connection and reads until the server ends it.
    std::string Exchange(const std::string& request, int* pFd = nullptr) {
        int fd = Client();
        EXPECT_TRUE(nettest::WriteAll(fd, request.data(), request.size()));
        std::string reply;
        EXPECT_TRUE(nettest::ReadUntilEof(fd, &reply, 5000)) << request;
        if (pFd) *pFd = fd;
        return reply;
    }
    std::string Curl(const std::string& args) {
        std::string command = "curl -s -S -i --max-time 10 " + args + " 2>&1";
        FILE* p = popen(command.c_str(), "r");
        std::string out;
        char buf[4096];
        size_t n;
        while (p && (n = fread(buf, 1, sizeof(buf), p)) > 0) out.append(buf, n);
        if (p) pclose(p);
        return out;
    }
    std::string Url(const std::string& path) { return "http://127.0.0.1:" + std::to_string(port) + path; }

    std::string root;
    App app;
    CWebServer server;
    int port = 0;
    std::atomic<bool> stop{false};
    std::thread thread;
    std::vector<int> fds;
};

std::string WithoutDate(const std::string& reply) {
    return std::regex_replace(reply, std::regex("Date: [^\r]*\r\n"), "Date: X\r\n");
}

std::string Head(const std::string& reply) { return reply.substr(0, reply.find("\r\n\r\n") + 4); }
std::string BodyOf(const std::string& reply) {
    size_t end = reply.find("\r\n\r\n");
    return end == std::string::npos ? "" : reply.substr(end + 4);
}

struct RawCase {
    const char* request;    // sent as "<request> HTTP/1.1\r\nConnection: close\r\n<extra>\r\n"
    std::string extra;      // more header lines
    const char* status;     // expected status line
    const char* type;       // expected Content-Type, "" when none is expected
    std::string body;       // expected body
};

}  // namespace

TEST_F(WebServerTest, AnswersEachTargetAsTheTableSays) {
    const std::string ok = "HTTP/1.1 200 OK", e403 = "HTTP/1.1 403 Forbidden", e404 = "HTTP/1.1 404 Not Found";
    const std::string e405 = "HTTP/1.1 405 Method Not Allowed";
    auto p403 = [](const std::string& u) { return Page("403 Forbidden", "Forbidden", "Access to the requested URL " + u + " was denied."); };
    auto p404 = [](const std::string& u) { return Page("404 Not Found", "Not Found", "The requested URL " + u + " was not found on this server."); };
    auto p405 = [](const std::string& m) { return Page("405 Method Not Allowed", "Method Not Allowed", "The request method " + m + " is not allowed on this server."); };
    const RawCase cases[] = {
        {"GET /index.html?x=1", "", ok.c_str(), "text/html", "<p>index</p>"},
        {"GET /a/../b", "", e403.c_str(), "text/html", p403("/a/../b")},
        {"GET /x?p=..", "", e403.c_str(), "text/html", p403("/x?p=..")},
        {"GET /a/.\t./b", "", e403.c_str(), "text/html", p403("/a/../b")},
        {"GET /a/%2e%2e/b", "", e404.c_str(), "text/html", p404("/a/%2e%2e/b")},
        {"GET x", "", e403.c_str(), "text/html", p403("x")},
        {"GET ../etc/passwd", "", e403.c_str(), "text/html", p403("../etc/passwd")},
        {"GET http://h/index.html", "", e403.c_str(), "text/html", p403("http://h/index.html")},
        {"GET *", "", e403.c_str(), "text/html", p403("*")},
        {"PUT /", "", e405.c_str(), "text/html", p405("PUT")},
        {"get /", "", e405.c_str(), "text/html", p405("get")},
        {"GET /README", "", ok.c_str(), "application/octet-stream", "read me"},
        {"GET /INDEX.HTML", "", ok.c_str(), "application/octet-stream", "upper"},
        {"GET /sub/a.txt", "", ok.c_str(), "text/plain", "sub a"},
        {"GET /", "", e404.c_str(), "text/html", p404("/")},
        {"GET /sub", "", e404.c_str(), "text/html", p404("/sub")},
        {"GET /nothing.txt", "", e404.c_str(), "text/html", p404("/nothing.txt")},
        {"GET /missing?q=1", "", e404.c_str(), "text/html", p404("/missing")},
        {"HEAD /ten.txt", "", ok.c_str(), "text/plain", ""},
        {"GET /empty.txt", "", ok.c_str(), "text/plain", ""},
        {"GET /ten.txt", std::string("If-Modified-Since: ") + kFileDate + "\r\n", "HTTP/1.1 304 Not Modified", "", ""},
        {"GET /ten.txt", "if-modified-since: Sun, 09 Sep 2001 01:46:39 GMT\r\n", ok.c_str(), "text/plain", "0123456789"},
        {"GET /ten.txt", "If-Modified-Since: Sunday, 09-Sep-01 01:46:40 GMT\r\n", ok.c_str(), "text/plain", "0123456789"},
        {"GET /app?a=1&b=x+y", "", ok.c_str(), "text/plain", "get:a=1&b=x y;post:"},
    };
    for (const RawCase& c : cases) {
        std::string request = std::string(c.request) + " HTTP/1.1\r\nConnection: close\r\n" + c.extra + "\r\n";
        std::string reply = Exchange(request);
        SCOPED_TRACE(c.request + std::string(" ") + c.extra);
        if (c.body == "<p>index</p>") {
            EXPECT_EQ("x=1", app.Get());
        }
        EXPECT_EQ(0u, reply.find(c.status + std::string("\r\n"))) << reply;
        std::string head = Head(reply);
        EXPECT_NE(std::string::npos, head.find("\r\nConnection: close\r\n")) << head;
        if (*c.type) {
            EXPECT_NE(std::string::npos, head.find("\r\nContent-Type: " + std::string(c.type) + "\r\n")) << head;
        }
        EXPECT_EQ(c.body, BodyOf(reply));
    }
}

TEST_F(WebServerTest, HeadersComeInTheirOrderAndThePagesAreExact) {
    // A file response starts with Last-Modified; HEAD keeps the full length.
    std::string reply = WithoutDate(Exchange("HEAD /ten.txt HTTP/1.1\r\nConnection: close\r\n\r\n"));
    EXPECT_EQ(std::string("HTTP/1.1 200 OK\r\nLast-Modified: ") + kFileDate +
                  "\r\nDate: X\r\nServer: Quenmark Http Server\r\nAccept-Ranges: none\r\nContent-Type: text/plain\r\n"
                  "Content-Length: 10\r\nConnection: close\r\n\r\n",
              reply);
    // A 304 carries only the date (and the close).
    reply = WithoutDate(Exchange(std::string("GET /ten.txt HTTP/1.1\r\nIf-Modified-Since: ") + kFileDate +
                                 "\r\nConnection: close\r\n\r\n"));
    EXPECT_EQ("HTTP/1.1 304 Not Modified\r\nDate: X\r\nConnection: close\r\n\r\n", reply);
    std::string page = Page("403 Forbidden", "Forbidden", "Access to the requested URL /../x was denied.");
    reply = WithoutDate(Exchange("GET /../x HTTP/1.1\r\nConnection: close\r\n\r\n"));
    EXPECT_EQ("HTTP/1.1 403 Forbidden\r\nDate: X\r\nServer: Quenmark Http Server\r\nAccept-Ranges: none\r\n"
              "Content-Type: text/html\r\nContent-Length: " + std::to_string(page.size()) + "\r\nConnection: close\r\n\r\n" + page,
              reply);
    // The date is now, in its fixed form.
    reply = Exchange("GET /ten.txt HTTP/1.1\r\nConnection: close\r\n\r\n");
    EXPECT_NE(std::string::npos, reply.find("\r\nDate: " + std::string(EncodeHttpTime(static_cast<int>(OS_GetTime())).Ptr()).substr(0, 16)));
}

TEST_F(WebServerTest, BadRequestsGetTheFourHundredPageAndTheClose) {
    std::string page = Page("400 Bad Request", "Bad Request", "Your browser sent a request that this server could not understand.");
    const char* requests[] = {
        "GARBAGE\r\n\r\n", "GET / HTTP/2.0\r\n\r\n", "POST /app HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n",
        "POST /app HTTP/1.1\r\nContent-Length: -4\r\n\r\n",
        // A good request first: answered, then the bad one ends the connection.
        "GET /ten.txt HTTP/1.1\r\n\r\nBAD\r\n\r\n",
    };
    for (const char* request : requests) {
        SCOPED_TRACE(request);
        std::string reply = WithoutDate(Exchange(request));
        size_t at = reply.find("HTTP/1.1 400 Bad Request\r\n");
        ASSERT_NE(std::string::npos, at) << reply;
        EXPECT_EQ("HTTP/1.1 400 Bad Request\r\nDate: X\r\nServer: Quenmark Http Server\r\nAccept-Ranges: none\r\n"
                  "Content-Type: text/html\r\nContent-Length: " + std::to_string(page.size()) +
                      "\r\nConnection: close\r\n\r\n" + page,
                  reply.substr(at));
    }
}

TEST_F(WebServerTest, PipelinedRequestsAreAnsweredInOrderOnOneConnection) {
    std::string reply = Exchange(
        "GET /ten.txt HTTP/1.1\r\n\r\nPOST /app?g=1 HTTP/1.1\r\nContent-Length: 7\r\n\r\nf=a%26b"
        "HEAD /index.html HTTP/1.1\r\n\r\nGET /README HTTP/1.1\r\nConnection: close\r\n\r\n"
        "GET /ten.txt HTTP/1.1\r\n\r\n");  // after the close: not answered
    std::regex status("HTTP/1.1 200 OK\r\n");
    EXPECT_EQ(4, std::distance(std::sregex_iterator(reply.begin(), reply.end(), status), std::sregex_iterator()));
    size_t a = reply.find("0123456789"), b = reply.find("get:g=1;post:f=a&b"), c = reply.find("text/html"),
           d = reply.find("read me");
    EXPECT_TRUE(a < b && b < c && c < d && d != std::string::npos) << reply;
    EXPECT_EQ(d + 7, reply.size());
    std::vector<HConnection> callers = app.Callers();
    ASSERT_EQ(4u, callers.size());
    for (HConnection h : callers) EXPECT_EQ(callers[0], h);
}

TEST_F(WebServerTest, HttpOneZeroClosesUnlessItAsksToKeepAlive) {
    std::string reply = Exchange("GET /ten.txt HTTP/1.0\r\n\r\n");
    EXPECT_NE(std::string::npos, Head(reply).find("\r\nConnection: close\r\n"));
    EXPECT_EQ("0123456789", BodyOf(reply));
    int fd = Client();
    std::string request = "GET /ten.txt HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n";
    ASSERT_TRUE(nettest::WriteAll(fd, request.data(), request.size()));
    EXPECT_FALSE(nettest::WaitForEof(fd, 300));  // still open
    request = "GET /README HTTP/1.0\r\n\r\n";
    ASSERT_TRUE(nettest::WriteAll(fd, request.data(), request.size()));
    ASSERT_TRUE(nettest::ReadUntilEof(fd, &reply, 5000));
}

TEST_F(WebServerTest, CloseDeliversALargeResponseWholeEndsItAtOnceAndFreesTheSlot) {
    // The client reads slowly from small buffers and sends more after its
    // request: the response must arrive whole, ended in order (no reset).
    int fd = Client();
    std::string request = "GET /big.bin HTTP/1.1\r\nConnection: close\r\n\r\nEXTRA BYTES THE SERVER NEVER READS";
    ASSERT_TRUE(nettest::WriteAll(fd, request.data(), request.size()));
    OS_Sleep(200);
    std::string reply;
    char buf[65536];
    for (;;) {
        struct pollfd p = {fd, POLLIN, 0};
        ASSERT_EQ(1, poll(&p, 1, 5000)) << "no end after " << reply.size();
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        ASSERT_GE(n, 0) << "reset after " << reply.size() << " bytes";
        if (n == 0) break;
        reply.append(buf, static_cast<size_t>(n));
        if (reply.size() < 200000) nettest::WriteAll(fd, "more", 4);  // keeps talking
    }
    EXPECT_TRUE(BodyOf(reply) == Big()) << reply.size();
    // Our end is still open: the server keeps the socket only until we close.
    auto* mgr = static_cast<CTCPIPConnectionManager*>(server.GetConnectionManager());
    EXPECT_EQ(1, mgr->GetConnectionCount());
    close(fd);
    fds.clear();
    EXPECT_TRUE(WaitFor([&] { return mgr->GetConnectionCount() == 0; }, 3000));
}

TEST_F(WebServerTest, RequestsOfClientsThatLeftAtOnceAreDropped) {
    const int kClients = 200;
    std::vector<int> gone;
    std::string request = "GET /ten.txt HTTP/1.1\r\n\r\n";
    for (int i = 0; i < kClients; i++) {
        int fd = nettest::ConnectClient(port);
        ASSERT_GE(fd, 0);
        nettest::WriteAll(fd, request.data(), request.size());
        if (i % 2) {
            struct linger l = {1, 0};  // half of them reset
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
        }
        close(fd);
    }
    auto* mgr = static_cast<CTCPIPConnectionManager*>(server.GetConnectionManager());
    EXPECT_TRUE(WaitFor([&] { return mgr->GetConnectionCount() == 0; }, 10000)) << mgr->GetConnectionCount();
    // Still serving.
    EXPECT_EQ("0123456789", BodyOf(Exchange("GET /ten.txt HTTP/1.1\r\nConnection: close\r\n\r\n")));
}

TEST_F(WebServerTest, IdleConnectionsCloseAfterNinetySeconds) {
    int fd = Client();
    std::string request = "GET /ten.txt HTTP/1.1\r\n\r\n";
    ASSERT_TRUE(nettest::WriteAll(fd, request.data(), request.size()));
    std::string reply;
    ASSERT_TRUE(WaitFor([&] {
        char buf[512];
        ssize_t n = recv(fd, buf, sizeof(buf), MSG_DONTWAIT);
        if (n > 0) reply.append(buf, static_cast<size_t>(n));
        return BodyOf(reply) == "0123456789";
    }, 5000));
    OS_TestAdvanceTickCount(89000);
    EXPECT_FALSE(nettest::WaitForEof(fd, 300));
    OS_TestAdvanceTickCount(2000);
    EXPECT_TRUE(nettest::WaitForEof(fd, 3000));
}

TEST_F(WebServerTest, DelayedChunksFormTheBody) {
    std::string reply = Exchange("GET /delayed HTTP/1.1\r\nConnection: close\r\n\r\n");
    EXPECT_NE(std::string::npos, Head(reply).find("\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n"));
    EXPECT_EQ("3\r\nabc\r\n0\r\n\r\n", BodyOf(reply));
}

TEST_F(WebServerTest, CurlKeepAliveHeadConditionalOldVersionFormsAndChunks) {
    struct CurlCase {
        std::string args;
        std::vector<std::string> expect;  // in this order in curl's output
    };
    const CurlCase cases[] = {
        {Url("/ten.txt") + " " + Url("/index.html"), {"200 OK", "0123456789", "200 OK", "<p>index</p>"}},
        {"-I " + Url("/ten.txt"), {"200 OK", "Content-Length: 10"}},
        {"-z '" + std::string(kFileDate) + "' " + Url("/ten.txt"), {"304 Not Modified"}},
        {"-H 'If-Modified-Since: Sun, 09 Sep 2001 01:46:39 GMT' " + Url("/ten.txt"), {"200 OK", "0123456789"}},
        {"--http1.0 " + Url("/README"), {"200 OK", "Connection: close", "read me"}},
        {"-d 'name=a+b&x=%3D1' " + Url("/app?q=z"), {"200 OK", "get:q=z;post:name=a b&x==1"}},
        {Url("/delayed"), {"Transfer-Encoding: chunked", "\r\n\r\nabc"}},
        {"--path-as-is " + Url("/a/../x"), {"403 Forbidden"}},
    };
    for (const CurlCase& c : cases) {
        std::string out = Curl(c.args);
        SCOPED_TRACE(c.args + "\n" + out);
        size_t at = 0;
        for (const std::string& e : c.expect) {
            at = out.find(e, at);
            ASSERT_NE(std::string::npos, at) << e;
        }
        // HEAD and 304: no body.
        bool bodiless = c.args.find("-I") == 0 || c.args.find("-z") == 0;
        EXPECT_TRUE(!bodiless || out.find("0123456789") == std::string::npos);
    }
    // The two URLs of the first case went over one connection.
    std::vector<HConnection> callers = app.Callers();
    ASSERT_GE(callers.size(), 2u);
    EXPECT_EQ(callers[0], callers[1]);
}

TEST_F(WebServerTest, LargeResponsesAreLoggedAndSent) {
    nettest::LogCapture log;
    std::string reply = Exchange("GET /big.bin HTTP/1.1\r\nConnection: close\r\n\r\n");
    EXPECT_TRUE(BodyOf(reply) == Big());
    EXPECT_EQ(1, log.Count("CWebServer: Warning sending response with size over 1 meg"));
    Exchange("GET /index.html HTTP/1.1\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(1, log.Count("CWebServer: Warning sending response with size over 1 meg"));
}

TEST(WebServer, InitReportsThePortOrFailure) {
    App app;
    CWebServer a, b;
    int port = a.Init(&app, 0, "/tmp");
    ASSERT_GT(port, 0);
    EXPECT_EQ(0, b.Init(&app, port, "/tmp"));
    a.Shutdown();
}

TEST(WebServer, DispatchWaitsForTheNextEventButNotLonger) {
    App app;
    CWebServer server;
    app.pServer = &server;
    int port = server.Init(&app, 0, "/tmp");
    ASSERT_GT(port, 0);
    auto ms = [](std::chrono::steady_clock::time_point t) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t).count();
    };
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(server.Dispatch(150));
    EXPECT_GE(ms(t0), 140);
    int fd = nettest::ConnectClient(port);
    t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(server.Dispatch(5000));  // the connection's announcement
    EXPECT_LT(ms(t0), 1000);
    EXPECT_EQ(1, server.GetOpenCount());
    nettest::WriteAll(fd, "GET /x HTTP/1.1\r\n\r\n", 19);
    t0 = std::chrono::steady_clock::now();
    while (app.Callers().empty() && ms(t0) < 5000) server.Dispatch(5000);
    EXPECT_LT(ms(t0), 1000);
    close(fd);
    server.Shutdown();
}

TEST(WebServerDeathTest, AnUnknownAnswerIsFatal) {
    EXPECT_DEATH(
        {
            App app;
            CWebServer server;
            app.pServer = &server;
            int port = server.Init(&app, 0, "/tmp");
            int fd = nettest::ConnectClient(port);
            nettest::WriteAll(fd, "GET /bad HTTP/1.1\r\n\r\n", 21);
            for (int i = 0; i < 500; i++) server.Dispatch(10);
        },
        "Invalid return!");
}

TEST(HttpTime, EncodesParsesAndRefuses) {
    EXPECT_EQ(CString("Thu, 01 Jan 1970 00:00:00 GMT"), EncodeHttpTime(0));
    EXPECT_EQ(CString(kFileDate), EncodeHttpTime(static_cast<int>(kFileTime)));
    int t = 0;
    ASSERT_TRUE(ParseHttpTime(kFileDate, t));
    EXPECT_TRUE(ParseHttpTime("Mon, 09 Sep 2001 01:46:40 GMT", t));  // the weekday is not checked against the date
    int a = 0, b = 0;
    ASSERT_TRUE(ParseHttpTime("Sun, 09 Sep 2001 01:46:40 GMT", a));
    ASSERT_TRUE(ParseHttpTime("Sun, 09 Sep 2001 01:46:41 GMT", b));
    EXPECT_EQ(1, b - a);
    const char* bad[] = {"Sunday, 06-Nov-94 08:49:37 GMT", "Sun Nov  6 08:49:37 1994", "sun, 06 Nov 1994 08:49:37 GMT",
                         "Sun, 06 nov 1994 08:49:37 GMT", "Xyz, 06 Nov 1994 08:49:37 GMT", "", "Sun, 06 Nov 1994 08:49:37 GMT "};
    for (const char* s : bad) EXPECT_FALSE(ParseHttpTime(s, t)) << s;
    const char* exts[][2] = {{"/a/b.html", "html"}, {"README", "README"}, {"x.tar.gz", "gz"}, {"/a.b/c", "b/c"}, {"end.", ""}};
    for (const auto& e : exts) {
        CString file = e[0];
        EXPECT_EQ(CString(e[1]), GetFileExt(file)) << e[0];
    }
}
