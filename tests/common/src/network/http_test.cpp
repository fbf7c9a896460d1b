// The HTTP engine: the parser fed through CHttpManager over a recording
// transport (every case at several cut sizes, single bytes included), the
// bounds, the dispatch order, the exact bytes of the three send operations,
// and the manager over real loopback sockets.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "common/src/network/http.h"
#include "tests/common/src/network/nettest.h"

using namespace std::string_literals;

namespace {

HConnection Handle(intptr_t n) { return reinterpret_cast<HConnection>(n); }

// Keeps what the manager sends, one string per SendData call.
class RecordingTransport : public IConnectionManager {
public:
    void Dispatch() override {}
    void AddListener(IConnectionManagerListener* p, bool extended) override {
        listener = p;
        bExtended = extended;
    }
    void RemoveListener(IConnectionManagerListener* p) override {
        if (p == listener) listener = nullptr;
    }
    void SendData(HConnection h, const void* data, int length) override {
        sends[h].push_back(std::string(static_cast<const char*>(data), static_cast<size_t>(length)));
    }
    CString GetConnectionId(HConnection) override { return "0"; }
    HConnection FindConnection(CString) override { return nullptr; }
    void ClientError(HConnection, int) override {}

    IConnectionManagerListener* listener = nullptr;
    bool bExtended = false;
    std::map<HConnection, std::vector<std::string>> sends;
};

CBuffer Buf(const std::string& bytes) {
    CBuffer b;
    b.WriteData(bytes.data(), static_cast<int>(bytes.size()));
    return b;
}

std::string Text(const CBuffer& b) { return std::string(static_cast<const char*>(b.Data()), static_cast<size_t>(b.Length())); }

std::string Fields(const HttpHeader_t& header) {
    std::string s = "{";
    for (int i = 0; i < header.Count(); i++) s += (i ? "|" : "") + std::string(header.Key(i).Ptr()) + "=" + header.Value(i).Ptr();
    return s + "}";
}

// Renders each delivery as one line: "REQ GET /x 1 {A=1} body",
// "RESP 200 [OK] 1 {} body", "ERR <failure text>".
class RecordingOwner : public IHttpCallback {
public:
    void HttpParseError(HConnection h) override {
        const char* why = pManager ? pManager->GetParseFailure(h) : nullptr;
        Add(h, "ERR " + std::string(why ? why : "?"));
    }
    void HttpResponse(HConnection h, HttpVersion_t v, int code, CString phrase, const HttpHeader_t& header,
                      const CBuffer& body) override {
        Add(h, "RESP " + std::to_string(code) + " [" + phrase.Ptr() + "] " + std::to_string(v) + " " + Fields(header) +
                   " " + Text(body));
    }
    void HttpRequest(HConnection h, HttpVersion_t v, CString method, CString uri, const HttpHeader_t& header,
                     const CBuffer& body) override {
        Add(h, "REQ " + std::string(method.Ptr()) + " " + uri.Ptr() + " " + std::to_string(v) + " " + Fields(header) +
                   " " + Text(body));
    }
    void Add(HConnection h, const std::string& line) {
        lines.push_back(line);
        handles.push_back(h);
    }

    CHttpManager* pManager = nullptr;
    std::vector<std::string> lines;
    std::vector<HConnection> handles;
};

class Http : public ::testing::Test {
protected:
    Http() : manager(&transport, &owner) {
        owner.pManager = &manager;
        manager.ClientConnect(Handle(1));
    }
    // Feeds bytes in pieces of cut bytes (all at once for 0) on handle 1.
    void Feed(const std::string& bytes, size_t cut = 0, HConnection h = Handle(1)) {
        if (cut == 0) cut = bytes.size();
        for (size_t at = 0; at < bytes.size(); at += cut) {
            std::string piece = bytes.substr(at, cut);
            manager.ClientData(h, &piece[0], static_cast<int>(piece.size()));
        }
    }
    std::vector<std::string> Deliver() {
        manager.Dispatch();
        std::vector<std::string> out;
        out.swap(owner.lines);
        owner.handles.clear();
        return out;
    }

    RecordingTransport transport;
    RecordingOwner owner;
    CHttpManager manager;
};

struct ParseCase {
    const char* name;
    std::string input;
    std::vector<std::string> expected;
    int maxBody = 0;  // 0: the default
};

void PrintTo(const ParseCase& c, std::ostream* os) { *os << c.name; }

class HttpParse : public Http, public ::testing::WithParamInterface<ParseCase> {};

const std::string kChunkedHead = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
const std::string kChunkedFields = "{Transfer-Encoding=chunked}";

std::string Err(const char* failure) { return std::string("ERR ") + failure; }
std::string Repeat(char c, size_t n) { return std::string(n, c); }
// A request whose head (start line and header block) is exactly n bytes.
std::string HeadOf(size_t n) {
    std::string start = "GET / HTTP/1.1\r\nX: ";
    return start + Repeat('a', n - start.size() - 4) + "\r\n\r\n";
}

}  // namespace

TEST_P(HttpParse, GivesTheSameDeliveriesAtEveryCut) {
    const ParseCase& c = GetParam();
    if (c.maxBody) manager.SetMaxBodySize(c.maxBody);
    for (size_t cut : {0, 1, 2, 3, 7, 64}) {
        SCOPED_TRACE("cut " + std::to_string(cut));
        manager.ClientConnect(Handle(2));
        Feed(c.input, cut, Handle(2));
        manager.Dispatch();
        EXPECT_EQ(c.expected, owner.lines);
        // Nothing is left over past the bound, and a failure is final.
        EXPECT_LT(manager.GetBufferedBytes(Handle(2)), HTTP_MAX_HEAD);
        Feed("GET / HTTP/1.1\r\n\r\n", 0, Handle(2));
        manager.Dispatch();
        bool failed = !c.expected.empty() && c.expected.back().compare(0, 3, "ERR") == 0;
        EXPECT_EQ(c.expected.size() + (failed ? 0 : 1), owner.lines.size());
        owner.lines.clear();
        manager.ClientDisconnect(Handle(2), false, -1);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HttpParse,
    ::testing::Values(
        ParseCase{"PlainRequest", "GET /index.html HTTP/1.1\r\nHost: a\r\n\r\n",
                  {"REQ GET /index.html 1 {Host=a} "}},
        ParseCase{"PipelinedWithBlankLinesBetween",
                  "\r\nPOST /a HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc\r\n\r\nGET /b HTTP/1.0\r\n\r\n",
                  {"REQ POST /a 1 {Content-Length=3} abc", "REQ GET /b 0 {} "}},
        ParseCase{"ResponsePhraseKeepsItsBlank", "HTTP/1.1 404 Not Found\r\n\r\n", {"RESP 404 [Not Found] 1 {} "}},
        ParseCase{"StatusWithoutPhrase", "HTTP/1.1 200\r\n\r\n", {Err(HTTP_FAIL_START_LINE)}},
        ParseCase{"StatusWithEmptyPhrase", "HTTP/1.1 200 \r\n\r\n", {"RESP 200 [] 1 {} "}},
        ParseCase{"StatusCodeNotANumber", "HTTP/1.0 abc Odd one\r\n\r\n", {"RESP 0 [Odd one] 0 {} "}},
        ParseCase{"UnknownVersion", "GET / HTTP/1.2\r\n", {Err(HTTP_FAIL_VERSION)}},
        ParseCase{"VersionIsCaseSensitive", "HTTP/1.1 200 OK\r\n\r\nGET / http/1.1\r\n",
                  {"RESP 200 [OK] 1 {} ", Err(HTTP_FAIL_VERSION)}},
        ParseCase{"VersionlessRequest", "GET /\r\n", {Err(HTTP_FAIL_START_LINE)}},
        ParseCase{"TwoBlanksInARow", "GET  / HTTP/1.1\r\n\r\n", {Err(HTTP_FAIL_VERSION)}},
        ParseCase{"TargetWithABlank", "GET /a b HTTP/1.1\r\n\r\n", {Err(HTTP_FAIL_VERSION)}},
        ParseCase{"LoneLineFeedEndsNoLine", "GET / HTTP/1.1\n\r\n", {Err(HTTP_FAIL_VERSION)}},
        ParseCase{"AnyMethodText", "BREW /pot HTTP/1.0\r\n\r\n", {"REQ BREW /pot 0 {} "}},
        ParseCase{"FieldSplitRules",
                  "GET / HTTP/1.1\r\nA: 1\r\nB: x: y\r\nNoBlank:v\r\nA: 2\r\n folded\r\n: skipped\r\n\r\n",
                  {"REQ GET / 1 {A=2|B=x|NoBlank:v=| folded=} "}},
        ParseCase{"LengthWithoutBlankIsNoLength", "GET / HTTP/1.1\r\nContent-Length:3\r\n\r\nabcGET /x HTTP/1.1\r\n\r\n",
                  {"REQ GET / 1 {Content-Length:3=} ", "REQ abcGET /x 1 {} "}},
        ParseCase{"LowerCaseLengthFramesTheBody",
                  "POST / HTTP/1.1\r\ncontent-length: 5\r\n\r\nhelloGET / HTTP/1.1\r\n\r\n",
                  {"REQ POST / 1 {content-length=5} hello", "REQ GET / 1 {} "}},
        ParseCase{"ZeroLength", "HTTP/1.1 204 No Content\r\nContent-Length: 0\r\n\r\n",
                  {"RESP 204 [No Content] 1 {Content-Length=0} "}},
        ParseCase{"LengthNotANumberIsZero", "POST / HTTP/1.1\r\nContent-Length: x\r\n\r\n",
                  {"REQ POST / 1 {Content-Length=x} "}},
        ParseCase{"ResponseWithoutFramingEndsAtItsHead", "HTTP/1.1 200 OK\r\n\r\nHTTP/1.0 301 Moved\r\n\r\n",
                  {"RESP 200 [OK] 1 {} ", "RESP 301 [Moved] 0 {} "}},
        ParseCase{"ChunkedWithExtensionAndTrailer",
                  kChunkedHead + "5\r\nhello\r\na;ext=1\r\n0123456789\r\n0\r\nX-T: 1\r\nTransfer-Encoding: no\r\n\r\n",
                  {"RESP 200 [OK] 1 {Transfer-Encoding=chunked|X-T=1} hello0123456789"}},
        ParseCase{"ChunkedEmptyTrailerThenNext", kChunkedHead + "3\r\nabcXY1 \t;x\r\nd\r\n0\r\n\r\nHTTP/1.1 100 Continue\r\n\r\n",
                  {"RESP 200 [OK] 1 " + kChunkedFields + " abcd", "RESP 100 [Continue] 1 {} "}},
        ParseCase{"ChunkedCodingAnyCase", "HTTP/1.1 200 OK\r\ntransfer-encoding: Chunked\r\n\r\n2\r\nhi\r\n0\r\n\r\n",
                  {"RESP 200 [OK] 1 {transfer-encoding=Chunked} hi"}},
        ParseCase{"ChunkedRequest", "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n",
                  {Err(HTTP_FAIL_ENCODING)}},
        ParseCase{"OtherCoding", "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\n\r\n", {Err(HTTP_FAIL_ENCODING)}},
        ParseCase{"CodingsThatDisagree", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\ntransfer-encoding: gzip\r\n\r\n",
                  {Err(HTTP_FAIL_ENCODING)}},
        ParseCase{"NegativeLength", "POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n",
                  {Err(HTTP_FAIL_CONTENT_LENGTH)}},
        ParseCase{"LengthsThatDisagree", "POST / HTTP/1.1\r\nContent-Length: 1\r\ncontent-length: 2\r\n\r\nab",
                  {Err(HTTP_FAIL_CONTENT_LENGTH)}},
        ParseCase{"LengthsThatAgree", "POST / HTTP/1.1\r\nContent-Length: 1\r\nCONTENT-LENGTH: 1\r\n\r\na",
                  {"REQ POST / 1 {Content-Length=1|CONTENT-LENGTH=1} a"}},
        ParseCase{"ChunkSizeNotHex", kChunkedHead + "zz\r\n", {Err(HTTP_FAIL_CHUNK_SIZE)}},
        ParseCase{"ChunkSizeEmpty", kChunkedHead + "\r\n", {Err(HTTP_FAIL_CHUNK_SIZE)}},
        ParseCase{"ChunkSizeNegative", kChunkedHead + "-1\r\n", {Err(HTTP_FAIL_CHUNK_SIZE)}},
        ParseCase{"ChunkSizeWithPrefix", kChunkedHead + "0x5\r\n", {Err(HTTP_FAIL_CHUNK_SIZE)}},
        ParseCase{"ChunkSizeLeadingBlank", kChunkedHead + " 5\r\n", {Err(HTTP_FAIL_CHUNK_SIZE)}},
        ParseCase{"ChunkExtensionOnly", kChunkedHead + ";x\r\n", {Err(HTTP_FAIL_CHUNK_SIZE)}},
        ParseCase{"ChunkSizePastInt", kChunkedHead + "80000000\r\n", {Err(HTTP_FAIL_CHUNK_SIZE)}},
        ParseCase{"ChunkSizeWithZeroByte", kChunkedHead + "5\0;x\r\n"s, {Err(HTTP_FAIL_CHUNK_SIZE)}},
        ParseCase{"ZeroByteInHeader", "GET / HTTP/1.1\r\nA: \0\r\nContent-Length: 1\r\n\r\n"s,
                  {Err(HTTP_FAIL_NUL)}},
        ParseCase{"ZeroByteInStartLine", "GET /\0 HTTP/1.1\r\n"s, {Err(HTTP_FAIL_NUL)}},
        // Bounds: heads and lines of HTTP_MAX_HEAD bytes pass, one more fails.
        ParseCase{"HeadAtTheBound", HeadOf(HTTP_MAX_HEAD), {"REQ GET / 1 {X=" + Repeat('a', HTTP_MAX_HEAD - 23) + "} "}},
        ParseCase{"HeadPastTheBound", HeadOf(HTTP_MAX_HEAD + 1), {Err(HTTP_FAIL_TOO_LONG)}},
        ParseCase{"EndlessStartLine", "GET /" + Repeat('a', HTTP_MAX_HEAD), {Err(HTTP_FAIL_TOO_LONG)}},
        ParseCase{"EndlessHeaderBlock", "GET / HTTP/1.1\r\nX: " + Repeat('a', HTTP_MAX_HEAD),
                  {Err(HTTP_FAIL_TOO_LONG)}},
        ParseCase{"EndlessChunkSizeLine", kChunkedHead + "5;" + Repeat('x', HTTP_MAX_HEAD),
                  {Err(HTTP_FAIL_TOO_LONG)}},
        ParseCase{"EndlessTrailer", kChunkedHead + "0\r\nX: " + Repeat('x', HTTP_MAX_HEAD),
                  {Err(HTTP_FAIL_TOO_LONG)}},
        ParseCase{"BodyAtTheBound", "POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\n0123456789",
                  {"REQ POST / 1 {Content-Length=10} 0123456789"}, 10},
        ParseCase{"LengthPastTheBound", "POST / HTTP/1.1\r\nContent-Length: 11\r\n\r\n", {Err(HTTP_FAIL_BODY_SIZE)},
                  10},
        ParseCase{"LengthPastTheDefault", "POST / HTTP/1.1\r\nContent-Length: 16777217\r\n\r\n", {Err(HTTP_FAIL_BODY_SIZE)}},
        ParseCase{"HugeLengthPastTheDefault", "POST / HTTP/1.1\r\nContent-Length: 99999999999\r\n\r\n",
                  {Err(HTTP_FAIL_BODY_SIZE)}},
        ParseCase{"ChunksAtTheBound", kChunkedHead + "5\r\n01234\r\n5\r\n56789\r\n0\r\n\r\n",
                  {"RESP 200 [OK] 1 " + kChunkedFields + " 0123456789"}, 10},
        ParseCase{"ChunksGrowingPastTheBound", kChunkedHead + "5\r\n01234\r\n6\r\n", {Err(HTTP_FAIL_BODY_SIZE)},
                  10}),
    [](const ::testing::TestParamInfo<ParseCase>& param) { return std::string(param.param.name); });

TEST_F(Http, SingleBytesDeliverAtTheFirstDispatchAfterTheLastByte) {
    std::string request = "GET /index.html HTTP/1.1\r\nHost: a\r\n\r\n";
    for (size_t i = 0; i + 1 < request.size(); i++) {
        Feed(request.substr(i, 1));
        ASSERT_EQ(std::vector<std::string>{}, Deliver()) << "after byte " << i;
    }
    Feed(request.substr(request.size() - 1));
    EXPECT_EQ(std::vector<std::string>{"REQ GET /index.html 1 {Host=a} "}, Deliver());
}

TEST_F(Http, RegistersAsExtendedListenerAndLeavesOnDestruction) {
    EXPECT_EQ(&manager, transport.listener);
    EXPECT_TRUE(transport.bExtended);
    EXPECT_EQ(HTTP_DEFAULT_MAX_BODY, manager.GetMaxBodySize());
    {
        CHttpManager second(&transport, &owner);
        EXPECT_EQ(&second, transport.listener);
    }
    EXPECT_EQ(nullptr, transport.listener);
}

TEST_F(Http, MessagesComeBeforeErrorsAndAnErrorComesOnce) {
    manager.ClientConnect(Handle(2));
    Feed("BAD\r\n", 0, Handle(1));
    Feed("GET /a HTTP/1.1\r\n\r\n", 0, Handle(2));
    Feed("GET / HTTP/1.1\r\n\r\nBAD\r\n", 0, Handle(1));
    manager.Dispatch();
    EXPECT_EQ((std::vector<std::string>{"REQ GET /a 1 {} ", Err(HTTP_FAIL_START_LINE)}), owner.lines);
    EXPECT_EQ((std::vector<HConnection>{Handle(2), Handle(1)}), owner.handles);
    owner.lines.clear();
    EXPECT_EQ(std::vector<std::string>{}, Deliver());
}

TEST_F(Http, MessageOfAClosedConnectionIsStillDelivered) {
    Feed("GET /gone HTTP/1.1\r\n\r\nGET /partial HTTP/1.1\r\n");
    manager.ClientDisconnect(Handle(1), true, 0x10000001);
    EXPECT_EQ(std::vector<std::string>{"REQ GET /gone 1 {} "}, Deliver());
    EXPECT_EQ(-1, manager.GetBufferedBytes(Handle(1)));
}

TEST_F(Http, FieldLookupsIgnoreTheCaseOfNames) {
    HttpHeader_t header;
    header["content-TYPE"] = "text/plain";
    header["Content-Type"] = "later";
    header["Connection"] = "Keep-Alive";
    ASSERT_NE(nullptr, HttpFindField(header, "Content-Type"));
    EXPECT_STREQ("text/plain", HttpFindField(header, "CONTENT-type")->Ptr());
    EXPECT_EQ(nullptr, HttpFindField(header, "Content-Length"));
    EXPECT_TRUE(HttpFieldIs(header, "connection", "keep-alive"));
    EXPECT_FALSE(HttpFieldIs(header, "Connection", "close"));
    EXPECT_FALSE(HttpFieldIs(header, "Host", ""));
}

TEST_F(Http, SendsTheExactBytesInOneCall) {
    HttpHeader_t ab, host;
    ab["A"] = "1";
    ab["B"] = "2";
    host["Host"] = "h";
    std::string q300(300, 'q');
    manager.SendResponse(Handle(1), HTTP_1_1, 200, "OK", ab, Buf("xy"));
    manager.SendResponse(Handle(1), HTTP_1_0, 404, "Not Found", HttpHeader_t(), Buf(""));
    manager.SendRequest(Handle(1), HTTP_1_0, "GET", "a/b", host, Buf(""));
    manager.SendRequest(Handle(1), HTTP_1_1, "POST", "", HttpHeader_t(), Buf("abc"));
    manager.SendChunk(Handle(1), Buf(q300), false);
    manager.SendChunk(Handle(1), Buf(""), true);
    manager.SendChunk(Handle(1), Buf("abc"), true);
    EXPECT_EQ((std::vector<std::string>{"HTTP/1.1 200 OK\r\nA: 1\r\nB: 2\r\n\r\nxy", "HTTP/1.0 404 Not Found\r\n\r\n",
                                        "GET /a/b HTTP/1.0\r\nHost: h\r\n\r\n", "POST / HTTP/1.1\r\n\r\nabc",
                                        "12c\r\n" + q300 + "\r\n", "0\r\n\r\n", "3\r\nabc\r\n0\r\n\r\n"}),
              transport.sends[Handle(1)]);
}

TEST_F(Http, WhatItSendsItReadsBack) {
    HttpHeader_t header;
    header["Transfer-Encoding"] = "chunked";
    manager.SendResponse(Handle(1), HTTP_1_1, 200, "OK", header, Buf(""));
    manager.SendChunk(Handle(1), Buf("part"), false);
    manager.SendChunk(Handle(1), Buf("part"), true);
    std::string wire;
    for (const std::string& s : transport.sends[Handle(1)]) wire += s;
    Feed(wire);
    EXPECT_EQ(std::vector<std::string>{"RESP 200 [OK] 1 " + kChunkedFields + " partpart"}, Deliver());
}

using HttpDeathTest = Http;

TEST_F(HttpDeathTest, BrokenContractsAreFatal) {
    EXPECT_DEATH(manager.SendChunk(Handle(1), Buf(""), false), "only the final one");
    EXPECT_DEATH(manager.SendRequest(Handle(1), static_cast<HttpVersion_t>(2), "GET", "", HttpHeader_t(), Buf("")),
                 "Invalid version");
    char byte = 'x';
    EXPECT_DEATH(manager.ClientData(Handle(9), &byte, 1), "without parser");
    EXPECT_DEATH(manager.ClientDisconnect(Handle(9), false, -1), "without parser");
}

// ---------------------------------------------------------------------------
// Over real loopback sockets.

namespace {

// Answers every request with its uri as body; "/chunked" with two chunks.
class EchoOwner : public RecordingOwner {
public:
    void HttpRequest(HConnection h, HttpVersion_t v, CString method, CString uri, const HttpHeader_t& header,
                     const CBuffer& body) override {
        RecordingOwner::HttpRequest(h, v, method, uri, header, body);
        CBuffer reply = Buf(uri.Ptr());
        HttpHeader_t out;
        if (uri == "/chunked") {
            out["Transfer-Encoding"] = "chunked";
            pManager->SendResponse(h, HTTP_1_1, 200, "OK", out, CBuffer());
            pManager->SendChunk(h, reply, false);
            pManager->SendChunk(h, body, true);
            return;
        }
        out["Content-Length"] = CString(std::to_string(uri.Length()).c_str());
        pManager->SendResponse(h, HTTP_1_1, 200, "OK", out, reply);
    }
    void HttpParseError(HConnection h) override {
        RecordingOwner::HttpParseError(h);
        pTcp->Disconnect(h, false);
    }
    CTCPIPConnectionManager* pTcp = nullptr;
};

class HttpOverSockets : public nettest::ManagerTest {
protected:
    HttpOverSockets() : manager(new CHttpManager(&server.mgr, &owner)) {
        owner.pManager = manager;
        owner.pTcp = &server.mgr;
    }
    // Unregistering needs the connection manager still running.
    ~HttpOverSockets() override { delete manager; }
    bool PumpFor(size_t deliveries) {
        return nettest::PumpUntil(server.mgr, [&] { return owner.lines.size() >= deliveries; }, 5000);
    }

    EchoOwner owner;
    CHttpManager* manager;  // owned
};

}  // namespace

TEST_F(HttpOverSockets, PipelinedRequestsSentByteByByteGetTheirAnswersInOrder) {
    int peer = -1;
    ASSERT_NE(nullptr, AcceptPeer(&peer));
    int one = 1;
    setsockopt(peer, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    std::string requests = "GET /first HTTP/1.1\r\nHost: a\r\n\r\nPOST /chunked HTTP/1.1\r\nContent-Length: 4\r\n\r\nbody"
                           "\r\nGET /third HTTP/1.0\r\n\r\n";
    for (char c : requests) ASSERT_TRUE(nettest::WriteAll(peer, &c, 1));
    ASSERT_TRUE(PumpFor(3));
    EXPECT_EQ((std::vector<std::string>{"REQ GET /first 1 {Host=a} ", "REQ POST /chunked 1 {Content-Length=4} body",
                                        "REQ GET /third 0 {} "}),
              owner.lines);
    std::string expected = "HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\n/first"
                           "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n8\r\n/chunked\r\n4\r\nbody\r\n0\r\n\r\n"
                           "HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\n/third";
    std::string got(expected.size(), '\0');
    ASSERT_TRUE(nettest::ReadExactly(peer, &got[0], got.size(), 5000));
    EXPECT_EQ(expected, got);
}

TEST_F(HttpOverSockets, GarbageIsOneParseErrorAndTheOwnerClosesTheConnection) {
    int peer = -1;
    HConnection h = AcceptPeer(&peer);
    ASSERT_NE(nullptr, h);
    std::string bytes = "GET / HTTP/1.1\r\n\r\nNONSENSE\r\nGET / HTTP/1.1\r\n\r\n";
    ASSERT_TRUE(nettest::WriteAll(peer, bytes.data(), bytes.size()));
    ASSERT_TRUE(PumpFor(2));
    AwaitDisconnect(h);
    EXPECT_EQ((std::vector<std::string>{"REQ GET / 1 {} ", Err(HTTP_FAIL_START_LINE)}), owner.lines);
    EXPECT_TRUE(nettest::WaitForEof(peer, 5000));
}
