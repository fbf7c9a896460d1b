// The web client against servers we did not write (Python's http.server,
// http_server.py beside this file, run as a child process on loopback) and
// against raw sockets for the answers no ordinary server gives; URL coding.
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

std::string Blob() {
    std::string s;
    for (int i = 0; i < 512; i++) s += static_cast<char>(i);
    return s;
}

std::string Got(CWebClient& client, const std::string& url, bool isText, bool* pOk, int port = 1) {
    CBuffer buffer;
    *pOk = client.Download(url.c_str(), "", buffer, port, isText);
    return Text(buffer);
}

// One Python server for the suite, serving a temporary directory.
class WebClientPython : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_Dir = MakeTempDir();
        WriteFile(s_Dir + "/hello.txt", "hello world\n");
        WriteFile(s_Dir + "/blob.bin", Blob());
        WriteFile(s_Dir + "/server.py", ReadFile(NB_SOURCE_DIR "/tests/common/src/network/http_server.py"));
        chmod((s_Dir + "/server.py").c_str(), 0755);
        s_pServer = new CTestProcess();
        if (s_pServer->Start(s_Dir + "/server.py", s_Dir) && s_pServer->WaitForOutput("port ", 10000)) {
            std::string out = s_pServer->Output();
            s_Port = atoi(out.c_str() + out.find("port ") + 5);
        }
    }
    static void TearDownTestSuite() {
        delete s_pServer;  // kills it
        RemoveTree(s_Dir);
    }
    void SetUp() override { ASSERT_GT(s_Port, 0) << "python3 did not start: " << s_pServer->Output(); }

    static std::string s_Dir;
    static CTestProcess* s_pServer;
    static int s_Port;
    CWebClient client;
};

std::string WebClientPython::s_Dir;
CTestProcess* WebClientPython::s_pServer = nullptr;
int WebClientPython::s_Port = 0;

// Accepts one connection, keeps the request head, sends reply (if any) and
// holds the connection until the client drops it.
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
    std::string Request() {
        std::lock_guard<std::mutex> guard(m_Mutex);
        return m_Request;
    }

    int port = 0;
    std::atomic<bool> bGotRequest{false};

private:
    void Serve() {
        struct pollfd p = {m_Listen, POLLIN, 0};
        int c = poll(&p, 1, 10000) > 0 ? accept(m_Listen, nullptr, nullptr) : -1;
        if (c < 0) return;
        std::string head;
        char byte;
        while (head.find("\r\n\r\n") == std::string::npos && nettest::ReadExactly(c, &byte, 1, 10000)) head += byte;
        {
            std::lock_guard<std::mutex> guard(m_Mutex);
            m_Request = head;
        }
        bGotRequest = true;
        nettest::WriteAll(c, m_Reply.data(), m_Reply.size());
        nettest::WaitForEof(c, 10000);
        close(c);
    }

    std::string m_Reply;
    int m_Listen = -1;
    std::thread m_Thread;
    std::mutex m_Mutex;
    std::string m_Request;
};

}  // namespace

TEST_F(WebClientPython, SucceedsOnlyForTwoHundredAndHandsOverEveryBody) {
    struct Case {
        const char* path;
        bool isText, ok;
        std::string body;
    } cases[] = {
        {"http://127.0.0.1/hello.txt", true, true, "hello world\n"},
        {"127.0.0.1/blob.bin", false, true, Blob()},
        {"127.0.0.1/blob.bin", true, false, Blob()},  // not "text/..."
        {"127.0.0.1/chunked", true, true, "first second"},
        {"127.0.0.1/moved", false, false, ""},
    };
    for (const Case& c : cases) {
        bool ok = !c.ok;
        EXPECT_EQ(c.body, Got(client, c.path, c.isText, &ok, s_Port)) << c.path;
        EXPECT_EQ(c.ok, ok) << c.path;
    }
    bool ok = true;
    EXPECT_NE(std::string::npos, Got(client, "127.0.0.1/missing.txt", false, &ok, s_Port).find("404"));
    EXPECT_FALSE(ok);
}

TEST_F(WebClientPython, FormsCarryEncodedFieldsAndThePortOfTheUrl) {
    CAssocArray<CString, CString> fields;
    fields["q"] = "x y&z";
    fields["n"] = "1";
    CString text = "untouched";
    std::string expected = "/echo?q=x%20y%26z&n=1|localhost:" + std::to_string(s_Port) + "|close";
    // The port argument names a closed port: only the URL's port can work.
    std::string url = "HTTP://localhost:" + std::to_string(s_Port) + "/echo";
    ASSERT_TRUE(client.Download(url.c_str(), fields, text, nettest::ClosedPort()));
    EXPECT_EQ(expected, std::string(text.Ptr()));
    CBuffer bytes;
    EXPECT_TRUE(client.Download("127.0.0.1/blob.bin", fields, bytes, s_Port));
    EXPECT_EQ(Blob(), Text(bytes));
    // The text form leaves its result alone on failure.
    EXPECT_FALSE(client.Download("127.0.0.1/blob.bin", fields, text, s_Port));
    EXPECT_EQ(expected, std::string(text.Ptr()));
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
        {"GET / HTTP/1.1\r\n\r\n", false, ""},
    };
    CWebClient client;
    for (const Case& c : cases) {
        RawServer server(c.reply);
        bool ok = !c.ok;
        EXPECT_EQ(c.body, Got(client, "127.0.0.1/x", false, &ok, server.port)) << c.reply;
        EXPECT_EQ(c.ok, ok) << c.reply;
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
        if (WaitFor([&] { return server.bGotRequest.load(); }, 10000)) OS_TestAdvanceTickCount(WEBCLIENT_TIMEOUT_MS + 1);
    });
    auto start = std::chrono::steady_clock::now();
    bool ok = true;
    EXPECT_EQ("", Got(client, "127.0.0.1/slow", false, &ok, server.port));
    clock.join();
    EXPECT_FALSE(ok);
    EXPECT_TRUE(server.bGotRequest);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

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
