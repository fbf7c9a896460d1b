// The web client against servers we did not write (Python's http.server,
// started as a child process on loopback) and against raw sockets for the
// answers no ordinary server gives; URL encoding and decoding.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>

#include "common/src/network/webclient.h"
#include "common/src/network/webserver.h"
#include "common/src/osutils.h"
#include "tests/common/src/network/nettest.h"
#include "tests/support/process.h"
#include "tests/support/waitfor.h"

namespace {

std::string Text(const CBuffer& b) { return std::string(static_cast<const char*>(b.Data()), static_cast<size_t>(b.Length())); }

std::string AllBytes() {
    std::string s;
    for (int i = 0; i < 256; i++) s += static_cast<char>(i);
    return s;
}

// Serves the files of its directory, plus "/moved" (301), "/chunked" (a
// chunked text body with extensions and a trailer) and "/echo" (the request
// target and the Host and Connection fields as text).
const char* const kServerScript = R"PY(#!/usr/bin/env python3
import http.server

class Handler(http.server.SimpleHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def reply(self, code, kind, body):
        self.send_response(code)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        if self.path.startswith("/moved"):
            self.send_response(301)
            self.send_header("Location", "/hello.txt")
            self.send_header("Content-Length", "0")
            self.end_headers()
        elif self.path.startswith("/chunked"):
            self.send_response(200)
            self.send_header("Content-Type", "text/plain")
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            for part in (b"first ", b"second"):
                self.wfile.write(b"%x;n=1\r\n%s\r\n" % (len(part), part))
            self.wfile.write(b"0\r\nX-Trailer: yes\r\n\r\n")
        elif self.path.startswith("/echo"):
            text = "%s|%s|%s" % (self.path, self.headers.get("Host"), self.headers.get("Connection"))
            self.reply(200, "text/plain", text.encode("latin-1"))
        else:
            super().do_GET()

server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
print("port %d" % server.server_address[1], flush=True)
server.serve_forever()
)PY";

// One Python server for the suite, in a temporary directory holding its files.
class WebClientPython : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_Dir = MakeTempDir();
        WriteFile(s_Dir + "/hello.txt", "hello world\n");
        WriteFile(s_Dir + "/blob.bin", AllBytes() + AllBytes());
        WriteFile(s_Dir + "/server.py", kServerScript);
        chmod((s_Dir + "/server.py").c_str(), 0755);
        s_pServer = new CTestProcess();
        s_Port = 0;
        if (s_pServer->Start(s_Dir + "/server.py", s_Dir) && s_pServer->WaitForOutput("port ", 10000)) {
            std::string out = s_pServer->Output();
            s_Port = atoi(out.c_str() + out.find("port ") + 5);
        }
    }
    static void TearDownTestSuite() {
        delete s_pServer;  // kills the server
        RemoveTree(s_Dir);
    }
    void SetUp() override {
        ASSERT_GT(s_Port, 0) << "python3 did not start: " << (s_pServer ? s_pServer->Output() : "");
        pClient = new CWebClient();
    }
    void TearDown() override { delete pClient; }

    static std::string s_Dir;
    static CTestProcess* s_pServer;
    static int s_Port;
    CWebClient* pClient = nullptr;
};

std::string WebClientPython::s_Dir;
CTestProcess* WebClientPython::s_pServer = nullptr;
int WebClientPython::s_Port = 0;

// Accepts one connection, keeps the request head, sends reply (nothing when
// empty) and holds the connection until the client drops it.
class RawServer {
public:
    explicit RawServer(std::string reply) : m_Reply(std::move(reply)) {
        m_Listen = nettest::ListenLoopback(&port);
        m_Thread = std::thread([this] { Serve(); });
    }
    ~RawServer() {
        m_Thread.join();
        close(m_Listen);
    }
    bool GotRequest() const { return m_bGotRequest; }
    std::string Request() {
        std::lock_guard<std::mutex> guard(m_Mutex);
        return m_Request;
    }

    int port = 0;

private:
    void Serve() {
        struct pollfd p = {m_Listen, POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0) return;
        int c = accept(m_Listen, nullptr, nullptr);
        if (c < 0) return;
        std::string head;
        char byte;
        while (head.find("\r\n\r\n") == std::string::npos && nettest::ReadExactly(c, &byte, 1, 10000)) head += byte;
        {
            std::lock_guard<std::mutex> guard(m_Mutex);
            m_Request = head;
        }
        m_bGotRequest = true;
        if (!m_Reply.empty()) nettest::WriteAll(c, m_Reply.data(), m_Reply.size());
        nettest::WaitForEof(c, 10000);
        close(c);
    }

    std::string m_Reply;
    int m_Listen = -1;
    std::thread m_Thread;
    std::mutex m_Mutex;
    std::string m_Request;
    std::atomic<bool> m_bGotRequest{false};
};

std::string Got(CWebClient& client, const std::string& url, bool isText, bool* pOk, int port = 1) {
    CBuffer buffer;
    *pOk = client.Download(url.c_str(), "", buffer, port, isText);
    return Text(buffer);
}

}  // namespace

TEST_F(WebClientPython, FetchesTextAndBinaryBodies) {
    bool ok = false;
    EXPECT_EQ("hello world\n", Got(*pClient, "http://127.0.0.1/hello.txt", true, &ok, s_Port));
    EXPECT_TRUE(ok);
    EXPECT_EQ(AllBytes() + AllBytes(), Got(*pClient, "127.0.0.1/blob.bin", false, &ok, s_Port));
    EXPECT_TRUE(ok);
    // Asked for text, a binary type fails but the body is still handed over.
    EXPECT_EQ(AllBytes() + AllBytes(), Got(*pClient, "127.0.0.1/blob.bin", true, &ok, s_Port));
    EXPECT_FALSE(ok);
}

TEST_F(WebClientPython, NotFoundAndRedirectFailWithTheirBodies) {
    bool ok = true;
    EXPECT_NE(std::string::npos, Got(*pClient, "127.0.0.1/missing.txt", false, &ok, s_Port).find("404"));
    EXPECT_FALSE(ok);
    ok = true;
    EXPECT_EQ("", Got(*pClient, "127.0.0.1/moved", false, &ok, s_Port));
    EXPECT_FALSE(ok);
}

TEST_F(WebClientPython, ReadsAChunkedBodyWithExtensionsAndTrailer) {
    bool ok = false;
    EXPECT_EQ("first second", Got(*pClient, "127.0.0.1/chunked", true, &ok, s_Port));
    EXPECT_TRUE(ok);
}

TEST_F(WebClientPython, FormsCarryEncodedFieldsAndThePortOfTheUrl) {
    CAssocArray<CString, CString> fields;
    fields["q"] = "x y&z";
    fields["n"] = "1";
    CString text = "untouched";
    std::string url = "HTTP://localhost:" + std::to_string(s_Port) + "/echo";
    // The port argument names a closed port: only the URL's port can work.
    ASSERT_TRUE(pClient->Download(url.c_str(), fields, text, nettest::ClosedPort()));
    EXPECT_EQ("/echo?q=x%20y%26z&n=1|localhost:" + std::to_string(s_Port) + "|close", std::string(text.Ptr()));
    CBuffer bytes;
    EXPECT_TRUE(pClient->Download(("127.0.0.1/blob.bin"), fields, bytes, s_Port));
    EXPECT_EQ(AllBytes() + AllBytes(), Text(bytes));
    // The text form leaves its result alone on failure.
    EXPECT_FALSE(pClient->Download("127.0.0.1/blob.bin", fields, text, s_Port));
    EXPECT_EQ("/echo?q=x%20y%26z&n=1|localhost:" + std::to_string(s_Port) + "|close", std::string(text.Ptr()));
}

TEST(WebClientRaw, SendsTheRequestLineAndFieldsAsTheUrlSays) {
    CWebClient client;
    bool ok = false;
    {
        RawServer server("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 2\r\n\r\nok");
        std::string url = "HTTP://localhost:" + std::to_string(server.port) + "/a/b";
        CBuffer buffer;
        EXPECT_TRUE(client.Download(url.c_str(), "x=1", buffer, 1, true));
        EXPECT_EQ("GET /a/b?x=1 HTTP/1.1\r\nHost: localhost:" + std::to_string(server.port) +
                      "\r\nConnection: close\r\n\r\n",
                  server.Request());
    }
    RawServer server("HTTP/1.0 200 OK\r\ncontent-type: text/plain\r\nContent-Length: 2\r\n\r\nok");
    EXPECT_EQ("ok", Got(client, "127.0.0.1", true, &ok, server.port));
    EXPECT_TRUE(ok);
    EXPECT_EQ("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n", server.Request());
}

TEST(WebClientRaw, OddAnswersAreReadAsTheirFramingSays) {
    struct Case {
        const char* reply;
        bool ok;
        const char* body;
    } cases[] = {
        {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", true, "ok"},
        {"HTTP/1.1 200\r\nContent-Length: 2\r\n\r\nok", false, ""},
        {"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\nnot a body\r\nnor a message\r\n", true, ""},
    };
    CWebClient client;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reply);
        RawServer server(c.reply);
        bool ok = !c.ok;
        EXPECT_EQ(c.body, Got(client, "127.0.0.1/x", false, &ok, server.port));
        EXPECT_EQ(c.ok, ok);
    }
}

TEST(WebClientRaw, FailuresToConnectEndTheDownloadAtOnce) {
    CWebClient client;
    bool ok = true;
    EXPECT_EQ("", Got(client, "127.0.0.1/x", false, &ok, nettest::ClosedPort()));
    EXPECT_FALSE(ok);
    for (const char* url : {"localhost:99999/x", "localhost:abc/x", "localhost:/x", "localhost:0"}) {
        ok = true;
        EXPECT_EQ("", Got(client, url, false, &ok));
        EXPECT_FALSE(ok) << url;
    }
}

TEST(WebClientRaw, AServerThatNeverAnswersTimesOutAfterFortySeconds) {
    CWebClient client;
    RawServer server("");
    // Virtual time: once the request is out, the clock jumps past the limit.
    std::thread clock([&] {
        if (WaitFor([&] { return server.GotRequest(); }, 10000)) OS_TestAdvanceTickCount(WEBCLIENT_TIMEOUT_MS + 1);
    });
    auto start = std::chrono::steady_clock::now();
    bool ok = true;
    EXPECT_EQ("", Got(client, "127.0.0.1/slow", false, &ok, server.port));
    clock.join();
    EXPECT_FALSE(ok);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

// ---------------------------------------------------------------------------
// URL coding.

TEST(UrlCoding, EncodesInTheFixedOrderAndDecodesBack) {
    struct Case {
        const char* text;
        const char* encoded;
    } cases[] = {
        {"a b&c=d%", "a%20b%26c%3Dd%25"},
        {"$&+,/:;=?@ !\"<>#{}|\\^~[]`", "%24%26%2B%2C%2F%3A%3B%3D%3F%40%20%21%22%3C%3E%23%7B%7D%7C%5C%5E%7E%5B%5D%60"},
        {"-_.'()*azAZ09\t\xe9", "-_.'()*azAZ09\t\xe9"},
        {"%25", "%2525"},
        {"", ""},
    };
    for (const Case& c : cases) {
        EXPECT_STREQ(c.encoded, EncodeURL(CString(c.text)).Ptr());
        EXPECT_STREQ(c.text, DecodeURL(CString(c.encoded)).Ptr());
    }
    EXPECT_STREQ("a b%2b", DecodeURL(CString("a+b%2b")).Ptr());
    EXPECT_STREQ("%41", DecodeURL(CString("%2541")).Ptr());
    EXPECT_STREQ("%7e%0A%C3%A9", DecodeURL(CString("%7e%0A%C3%A9")).Ptr());
}

TEST(UrlCoding, FieldSetsJoinAndSplitAtTheirSeparators) {
    CAssocArray<CString, CString> fields;
    EXPECT_STREQ("", EncodeURL(fields).Ptr());
    fields["q"] = "x y";
    fields["n"] = "1";
    EXPECT_STREQ("q=x%20y&n=1", EncodeURL(fields).Ptr());

    CAssocArray<CString, CString> get;
    DecodeURL(CString("a=1&b&=3&a=2&c=x=y"), get);
    EXPECT_STREQ("a=2&b=&c=x", get.Join("&", "=").Ptr());
    // Splitting comes first; the set is not emptied.
    DecodeURL(CString("k%26=v%3D1&b=%2B"), get);
    EXPECT_STREQ("a=2&b=+&c=x&k&=v=1", get.Join("&", "=").Ptr());
}
