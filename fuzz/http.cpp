// libFuzzer target: one byte stream of requests and responses into the HTTP
// parser, through CHttpManager, twice: in one block, and cut into pieces at
// points the input picks with a dispatch after each piece (single bytes for
// short streams). Framing must not depend on the cuts, so both runs must
// deliver the same messages and failure; between blocks a parser must hold
// fewer than HTTP_MAX_HEAD unconsumed bytes, and no body may exceed the
// maximum body size. Input: byte 0 picks the maximum body size (low six
// bits, 0 for the default) and, with both high bits set, repeats the
// stream's last eight bytes past the head bound; byte 1 seeds the cut
// points; the rest is the stream.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/src/cbase.h"
#include "common/src/network/http.h"
#include "common/src/osutils.h"

namespace {

class NullTransport : public IConnectionManager {
public:
    void Dispatch() override {}
    void AddListener(IConnectionManagerListener*, bool) override {}
    void RemoveListener(IConnectionManagerListener*) override {}
    void SendData(HConnection, const void*, int) override {}
    CString GetConnectionId(HConnection) override { return "0"; }
    HConnection FindConnection(CString) override { return nullptr; }
    void ClientError(HConnection, int) override {}
};

std::string Render(const HttpHeader_t& header, const CBuffer& body) {
    std::string s;
    for (int i = 0; i < header.Count(); i++) {
        s += header.Key(i).Ptr();
        s += '\n';
        s += header.Value(i).Ptr();
        s += '\n';
    }
    s.append(static_cast<const char*>(body.Data()), static_cast<size_t>(body.Length()));
    return s;
}

class Owner : public IHttpCallback {
public:
    void HttpParseError(HConnection h) override {
        const char* why = pManager->GetParseFailure(h);
        if (why == nullptr) abort();
        out.push_back(std::string("E") + why);
    }
    void HttpResponse(HConnection, HttpVersion_t v, int code, CString phrase, const HttpHeader_t& header,
                      const CBuffer& body) override {
        Check(body);
        out.push_back("S" + std::to_string(v) + " " + std::to_string(code) + " " + phrase.Ptr() + "\n" +
                      Render(header, body));
    }
    void HttpRequest(HConnection, HttpVersion_t v, CString method, CString uri, const HttpHeader_t& header,
                     const CBuffer& body) override {
        Check(body);
        out.push_back("Q" + std::to_string(v) + " " + method.Ptr() + " " + uri.Ptr() + "\n" + Render(header, body));
    }
    void Check(const CBuffer& body) {
        if (body.Length() > pManager->GetMaxBodySize()) abort();
    }

    CHttpManager* pManager = nullptr;
    std::vector<std::string> out;
};

HConnection kConnection = reinterpret_cast<HConnection>(1);

void Feed(CHttpManager& manager, const std::string& piece) {
    std::string copy = piece;  // the manager's receive buffer may be changed in place
    manager.ClientData(kConnection, &copy[0], static_cast<int>(copy.size()));
    if (manager.GetBufferedBytes(kConnection) >= HTTP_MAX_HEAD) abort();
}

std::vector<std::string> Run(const std::string& stream, int maxBody, uint32_t seed, bool cut) {
    NullTransport transport;
    Owner owner;
    CHttpManager manager(&transport, &owner);
    owner.pManager = &manager;
    if (maxBody > 0) manager.SetMaxBodySize(maxBody);
    manager.ClientConnect(kConnection);
    if (!cut) {
        if (!stream.empty()) Feed(manager, stream);
    } else {
        uint32_t state = seed * 2654435761u + 1;
        for (size_t at = 0; at < stream.size();) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            // Short streams go byte by byte; others in pieces of 1 to 4096.
            size_t length = stream.size() < 512 ? 1 : 1 + state % (1u << ((state >> 20) % 13));
            if (length > stream.size() - at) length = stream.size() - at;
            Feed(manager, stream.substr(at, length));
            at += length;
            if (state & 0x100) manager.Dispatch();
        }
    }
    manager.Dispatch();
    manager.ClientDisconnect(kConnection, false, -1);
    return owner.out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool s_bInit = [] {
        Log_SetLevel(-1);
        OS_Init(nullptr);
        return true;
    }();
    (void)s_bInit;
    if (size < 2) return 0;
    int maxBody = (data[0] & 0x3F) * 4;
    std::string stream(reinterpret_cast<const char*>(data + 2), size - 2);
    if ((data[0] & 0xC0) == 0xC0 && !stream.empty()) {
        // The stream's last few bytes again and again: one line, head or
        // body long enough to meet the bounds, not thousands of messages.
        std::string unit = stream.substr(stream.size() > 8 ? stream.size() - 8 : 0);
        while (stream.size() <= static_cast<size_t>(HTTP_MAX_HEAD)) stream += unit;
    }
    if (Run(stream, maxBody, data[1], false) != Run(stream, maxBody, data[1], true)) abort();
    return 0;
}
