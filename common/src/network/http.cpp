// The HTTP parser's state machine and the manager's queues and serialisers.
#include "common/src/network/http.h"

#include <climits>
#include <cstring>
#include <string>

#include "common/src/cbase.h"
#include "common/src/osutils.h"

const char* const HTTP_FAIL_START_LINE = "CHttpParser: Invalid number parameters is request line.";
const char* const HTTP_FAIL_VERSION = "CHttpParser: Invalid HTTP version.";
const char* const HTTP_FAIL_ENCODING = "CHttpParser: Invalid transfer encoding.";
const char* const HTTP_FAIL_TOO_LONG = "CHttpParser: Header block or line too long.";
const char* const HTTP_FAIL_CONTENT_LENGTH = "CHttpParser: Invalid content length.";
const char* const HTTP_FAIL_BODY_SIZE = "CHttpParser: Body too large.";
const char* const HTTP_FAIL_CHUNK_SIZE = "CHttpParser: Invalid chunk size.";
const char* const HTTP_FAIL_NUL = "CHttpParser: Zero byte in header.";

namespace {

char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool EqualsIgnoreCase(const CString& a, const char* b) {
    size_t n = strlen(b);
    if (static_cast<size_t>(a.Length()) != n) return false;
    const char* p = a.Ptr();
    for (size_t i = 0; i < n; i++) {
        if (FoldAscii(p[i]) != FoldAscii(b[i])) return false;
    }
    return true;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Hexadecimal digits, then nothing but blanks and tabs (the white space
// allowed before an extension); the value must fit an int.
bool ReadChunkSize(const CString& text, int* pSize) {
    const char* p = text.Ptr();
    int n = text.Length();
    long long value = 0;
    int i = 0;
    for (; i < n && HexDigit(p[i]) >= 0; i++) {
        value = value * 16 + HexDigit(p[i]);
        if (value > INT_MAX) return false;
    }
    if (i == 0) return false;
    for (; i < n; i++) {
        if (p[i] != ' ' && p[i] != '\t') return false;
    }
    *pSize = static_cast<int>(value);
    return true;
}

const char* VersionText(HttpVersion_t version) {
    switch (version) {
    case HTTP_1_0:
        return "HTTP/1.0";
    case HTTP_1_1:
        return "HTTP/1.1";
    }
    OS_ASSERTMSG(false, "Reason: %s", "Invalid version");
    return "";
}

// The start line's CR LF, name ": " value CR LF per field, and the empty
// line that ends the head.
CString HeadFields(const HttpHeader_t& header) {
    CString text = "\r\n";
    for (int i = 0; i < header.Count(); i++) {
        text += header.Key(i);
        text += ": ";
        text += header.Value(i);
        text += "\r\n";
    }
    text += "\r\n";
    return text;
}

}  // namespace

const CString* HttpFindField(const HttpHeader_t& header, const CString& name) {
    for (int i = 0; i < header.Count(); i++) {
        if (EqualsIgnoreCase(header.Key(i), name.Ptr())) return &header.Value(i);
    }
    return nullptr;
}

bool HttpFieldIs(const HttpHeader_t& header, const CString& name, const CString& value) {
    const CString* pValue = HttpFindField(header, name);
    return pValue != nullptr && EqualsIgnoreCase(*pValue, value.Ptr());
}

// ---------------------------------------------------------------------------
// CHttpParser

CHttpParser::CHttpParser(CHttpManager* pHttpManager, HConnection hConnection)
    : m_pHttpManager(pHttpManager), m_State(HTTP_PARSER_NONE), m_BodyLength(0), m_HeadBytes(0), m_Scanned(0),
      m_bTextNul(false), m_pFailure(nullptr) {
    m_Message.hConnection = hConnection;
}

bool CHttpParser::Parse(char* data, int length) {
    if (m_State == HTTP_PARSER_ERROR) {
        m_Buffer.Empty();
        return true;
    }
    m_Buffer.WriteData(data, length);
    bool ok = Advance();
    m_Buffer.EraseDataRead();
    return ok;
}

void CHttpParser::Reset() {
    m_Buffer.Empty();
    m_State = HTTP_PARSER_NONE;
    m_HeadBytes = 0;
    m_Scanned = 0;
    m_pFailure = nullptr;
}

int CHttpParser::FindUnread(const char* term, int termLength) {
    const char* p = static_cast<const char*>(m_Buffer.Ptr());
    int n = m_Buffer.RemainingLength();
    for (int i = m_Scanned; i + termLength <= n; i++) {
        const void* hit = memchr(p + i, term[0], static_cast<size_t>(n - termLength + 1 - i));
        if (hit == nullptr) break;
        i = static_cast<int>(static_cast<const char*>(hit) - p);
        if (memcmp(p + i, term, static_cast<size_t>(termLength)) == 0) return i;
    }
    m_Scanned = n - termLength + 1 > 0 ? n - termLength + 1 : 0;
    return -1;
}

void CHttpParser::Consume(int length) {
    m_Buffer.IncrementPtr(length);
    m_Scanned = 0;
}

CString CHttpParser::TakeText(int length) {
    const char* p = static_cast<const char*>(m_Buffer.Ptr());
    m_bTextNul = memchr(p, 0, static_cast<size_t>(length)) != nullptr;
    return CString(std::string(p, static_cast<size_t>(length)).c_str());
}

bool CHttpParser::ParseLine(CString& str) {
    int pos = FindUnread("\r\n", 2);
    if (pos < 0) return false;
    str = TakeText(pos);
    Consume(pos + 2);
    return true;
}

bool CHttpParser::ParseHeader(HttpHeader_t& header) {
    header.RemoveAll();
    const char* p = static_cast<const char*>(m_Buffer.Ptr());
    int n = m_Buffer.RemainingLength();
    if (n < 2) return false;
    if (p[0] == '\r' && p[1] == '\n') {
        m_bTextNul = false;
        Consume(2);
        return true;
    }
    if (n < 4) return false;
    int pos = FindUnread("\r\n\r\n", 4);
    if (pos < 0) return false;
    CString text = TakeText(pos);
    header = text.Split("\r\n", ": ");
    Consume(pos + 4);
    return true;
}

bool CHttpParser::ParseVersion(const CString& str) {
    if (str == "HTTP/1.0") {
        m_Message.Version = HTTP_1_0;
    } else if (str == "HTTP/1.1") {
        m_Message.Version = HTTP_1_1;
    } else {
        TRACE("%s", HTTP_FAIL_VERSION);
        return false;
    }
    return true;
}

bool CHttpParser::Fail(const char* reason, bool traced) {
    if (!traced) TRACE("%s", reason);
    m_pFailure = reason;
    m_State = HTTP_PARSER_ERROR;
    m_Buffer.Empty();
    m_Scanned = 0;
    return false;
}

bool CHttpParser::Pending(int before) {
    // The element's terminator is still missing, so it needs at least one
    // more byte: reaching the bound now means passing it later.
    if (static_cast<long long>(before) + m_Buffer.RemainingLength() >= HTTP_MAX_HEAD) return Fail(HTTP_FAIL_TOO_LONG);
    return true;
}

bool CHttpParser::StartLine(const CString& line) {
    int blank = line.Find(" ", 0);
    if (blank < 0) return Fail(HTTP_FAIL_START_LINE);
    CString first = line.SubString(0, blank);
    CString rest = line.SubString(blank + 1, -1);
    blank = rest.Find(" ", 0);
    if (blank < 0) return Fail(HTTP_FAIL_START_LINE);
    CString second = rest.SubString(0, blank);
    CString third = rest.SubString(blank + 1, -1);
    if (first.Left(5) == "HTTP/") {
        if (!ParseVersion(first)) return Fail(HTTP_FAIL_VERSION, true);
        m_Message.bRequest = false;
        m_Message.Code = second.ToInteger();
        m_Message.Phrase = third;
    } else {
        if (!ParseVersion(third)) return Fail(HTTP_FAIL_VERSION, true);
        m_Message.bRequest = true;
        m_Message.Method = first;
        m_Message.Uri = second;
    }
    m_State = HTTP_PARSER_HEADER;
    return true;
}

bool CHttpParser::Framing() {
    // Every spelling of a framing field counts, and spellings that disagree
    // are refused: a peer must not frame the message one way for us and
    // another way for a proxy in front of us.
    const HttpHeader_t& header = m_Message.Header;
    const CString* pLength = nullptr;
    bool bChunked = false, bOtherCoding = false, bLengthsDiffer = false;
    for (int i = 0; i < header.Count(); i++) {
        if (EqualsIgnoreCase(header.Key(i), "Transfer-Encoding")) {
            if (EqualsIgnoreCase(header.Value(i), "chunked")) bChunked = true;
            else bOtherCoding = true;
        } else if (EqualsIgnoreCase(header.Key(i), "Content-Length")) {
            if (pLength == nullptr) pLength = &header.Value(i);
            else if (*pLength != header.Value(i)) bLengthsDiffer = true;
        }
    }
    if (bChunked || bOtherCoding) {
        if (bOtherCoding || m_Message.bRequest) return Fail(HTTP_FAIL_ENCODING);
        m_BodyLength = -1;
        m_State = HTTP_PARSER_CHUNK_SIZE;
        return true;
    }
    if (pLength != nullptr) {
        if (bLengthsDiffer) return Fail(HTTP_FAIL_CONTENT_LENGTH);
        int length = pLength->ToInteger();
        if (length < 0) return Fail(HTTP_FAIL_CONTENT_LENGTH);
        if (length > m_pHttpManager->GetMaxBodySize()) return Fail(HTTP_FAIL_BODY_SIZE);
        m_BodyLength = length;
        return true;
    }
    Complete();
    return true;
}

void CHttpParser::Complete() {
    // The queued copy takes the body's capacity: make it the body's size.
    CBuffer& body = m_Message.Body;
    if (body.Length() > 0 && body.Capacity() > body.Length()) body.Resize(body.Length());
    m_pHttpManager->QueueMessage(m_Message);
    body.Empty();
    m_HeadBytes = 0;
    m_State = HTTP_PARSER_NONE;
}

bool CHttpParser::Advance() {
    for (;;) {
        switch (m_State) {
        case HTTP_PARSER_NONE: {
            CString line;
            if (!ParseLine(line)) return Pending(0);
            if (m_bTextNul) return Fail(HTTP_FAIL_NUL);
            // CR LF pairs between messages are not part of either.
            if (line.Length() == 0) break;
            m_HeadBytes = line.Length() + 2;
            if (!StartLine(line)) return false;
            break;
        }
        case HTTP_PARSER_HEADER: {
            int before = m_Buffer.RemainingLength();
            if (!ParseHeader(m_Message.Header)) return Pending(m_HeadBytes);
            if (m_bTextNul) return Fail(HTTP_FAIL_NUL);
            if (m_HeadBytes + (before - m_Buffer.RemainingLength()) > HTTP_MAX_HEAD) return Fail(HTTP_FAIL_TOO_LONG);
            m_Message.Body.Empty();
            m_State = HTTP_PARSER_BODY;
            if (!Framing()) return false;
            break;
        }
        case HTTP_PARSER_BODY: {
            // Body bytes move over as they come; the message waits for the
            // last of them.
            int take = m_Buffer.RemainingLength() < m_BodyLength ? m_Buffer.RemainingLength() : m_BodyLength;
            m_Message.Body.WriteData(m_Buffer.Ptr(), take);
            Consume(take);
            m_BodyLength -= take;
            if (m_BodyLength > 0) return true;
            Complete();
            break;
        }
        case HTTP_PARSER_CHUNK_SIZE: {
            CString line;
            int before = m_Buffer.RemainingLength();
            if (!ParseLine(line)) return Pending(0);
            if (before - m_Buffer.RemainingLength() > HTTP_MAX_HEAD) return Fail(HTTP_FAIL_TOO_LONG);
            if (m_bTextNul) return Fail(HTTP_FAIL_CHUNK_SIZE);
            int semicolon = line.Find(";", 0);
            if (semicolon > 0) line = line.SubString(0, semicolon);
            int size = 0;
            if (!ReadChunkSize(line, &size)) return Fail(HTTP_FAIL_CHUNK_SIZE);
            if (static_cast<long long>(m_Message.Body.Length()) + size > m_pHttpManager->GetMaxBodySize()) {
                return Fail(HTTP_FAIL_BODY_SIZE);
            }
            m_BodyLength = size;
            m_State = size == 0 ? HTTP_PARSER_CHUNK_FOOTER : HTTP_PARSER_CHUNK_BODY;
            break;
        }
        case HTTP_PARSER_CHUNK_BODY: {
            if (m_BodyLength > 0) {
                int take = m_Buffer.RemainingLength() < m_BodyLength ? m_Buffer.RemainingLength() : m_BodyLength;
                m_Message.Body.WriteData(m_Buffer.Ptr(), take);
                Consume(take);
                m_BodyLength -= take;
                if (m_BodyLength > 0) return true;
            }
            // The two bytes after the data end the chunk, whatever they are.
            if (m_Buffer.RemainingLength() < 2) return true;
            Consume(2);
            m_State = HTTP_PARSER_CHUNK_SIZE;
            break;
        }
        case HTTP_PARSER_CHUNK_FOOTER: {
            int before = m_Buffer.RemainingLength();
            if (!ParseHeader(m_Footer)) return Pending(0);
            if (m_bTextNul) return Fail(HTTP_FAIL_NUL);
            if (before - m_Buffer.RemainingLength() > HTTP_MAX_HEAD) return Fail(HTTP_FAIL_TOO_LONG);
            // Header fields win over trailer fields of the same name.
            for (int i = 0; i < m_Footer.Count(); i++) {
                if (m_Message.Header.FindKey(m_Footer.Key(i)) < 0) m_Message.Header[m_Footer.Key(i)] = m_Footer.Value(i);
            }
            Complete();
            break;
        }
        case HTTP_PARSER_ERROR:
            m_Buffer.Empty();
            return true;
        default:
            OS_ASSERTMSG(false, "Reason: %s", "Invalid state!");
            return false;
        }
    }
}

// ---------------------------------------------------------------------------
// CHttpManager

CHttpManager::CHttpManager(IConnectionManager* pConnectionManager, IHttpCallback* pCallback)
    : m_pConnectionManager(pConnectionManager), m_pCallback(pCallback), m_MaxBody(HTTP_DEFAULT_MAX_BODY) {
    OS_ASSERT(pConnectionManager != nullptr && pCallback != nullptr);
    m_pConnectionManager->AddListener(this, true);
}

CHttpManager::~CHttpManager() {
    m_pConnectionManager->RemoveListener(this);
    for (int i = 0; i < m_Connections.Count(); i++) delete m_Connections.Value(i);
    m_Connections.RemoveAll();
    m_Messages.RemoveAll();
    m_Errors.RemoveAll();
}

void CHttpManager::EnterCallback() {
#ifndef NDEBUG
    OS_ASSERTMSG(m_InCallback.fetch_add(1) == 0, "Reason: %s", "CHttpManager called by two threads at once");
#endif
}

void CHttpManager::LeaveCallback() {
#ifndef NDEBUG
    m_InCallback.fetch_sub(1);
#endif
}

CHttpParser* CHttpManager::ParserOf(HConnection hConnection) const {
    int index = m_Connections.FindKey(hConnection);
    return index < 0 ? nullptr : m_Connections.Value(index);
}

void CHttpManager::ClientConnect(HConnection hConnection) {
    EnterCallback();
    OS_ASSERTMSG(ParserOf(hConnection) == nullptr, "Reason: %s", "CHttpManager: connection announced twice");
    m_Connections[hConnection] = new CHttpParser(this, hConnection);
    LeaveCallback();
}

void CHttpManager::ClientDisconnect(HConnection hConnection, bool, int) {
    EnterCallback();
    int index = m_Connections.FindKey(hConnection);
    OS_ASSERTMSG(index >= 0, "Reason: %s", "CHttpManager: disconnect of a connection without parser");
    delete m_Connections.Value(index);
    m_Connections.Remove(index);
    LeaveCallback();
}

void CHttpManager::ClientData(HConnection hConnection, void* data, int length) {
    EnterCallback();
    CHttpParser* pParser = ParserOf(hConnection);
    OS_ASSERTMSG(pParser != nullptr, "Reason: %s", "CHttpManager: data for a connection without parser");
    if (!pParser->Parse(static_cast<char*>(data), length)) m_Errors.AddToTail(hConnection);
    LeaveCallback();
}

void CHttpManager::Dispatch() {
    EnterCallback();
    // Taken out first: whatever the owner's callbacks cause waits for the
    // next dispatch.
    CVector<HttpMessage_t> messages;
    CVector<void*> errors;
    messages.Std().swap(m_Messages.Std());
    errors.Std().swap(m_Errors.Std());
    for (int i = 0; i < messages.Count(); i++) {
        const HttpMessage_t& m = messages[i];
        if (m.bRequest) m_pCallback->HttpRequest(m.hConnection, m.Version, m.Method, m.Uri, m.Header, m.Body);
        else m_pCallback->HttpResponse(m.hConnection, m.Version, m.Code, m.Phrase, m.Header, m.Body);
    }
    for (int i = 0; i < errors.Count(); i++) m_pCallback->HttpParseError(errors[i]);
    LeaveCallback();
}

void CHttpManager::QueueMessage(const HttpMessage_t& message) { m_Messages.AddToTail(message); }

void CHttpManager::SetMaxBodySize(int bytes) {
    OS_ASSERTMSG(bytes >= 0, "Reason: %s", "negative maximum body size");
    m_MaxBody.store(bytes, std::memory_order_relaxed);
}

const char* CHttpManager::GetParseFailure(HConnection hConnection) const {
    CHttpParser* pParser = ParserOf(hConnection);
    return pParser == nullptr ? nullptr : pParser->GetFailure();
}

int CHttpManager::GetBufferedBytes(HConnection hConnection) const {
    CHttpParser* pParser = ParserOf(hConnection);
    return pParser == nullptr ? -1 : pParser->GetBufferedBytes();
}

void CHttpManager::Send(HConnection hConnection, const CString& head, const CBuffer& body) {
    CBuffer bytes;
    bytes.CheckSize(head.Length() + body.Length());
    bytes.WriteData(head.Ptr(), head.Length());
    bytes.WriteData(body.Data(), body.Length());
    m_pConnectionManager->SendData(hConnection, bytes.Data(), bytes.Length());
}

void CHttpManager::SendRequest(HConnection hConnection, HttpVersion_t version, CString method, CString uri,
                               const HttpHeader_t& header, const CBuffer& body) {
    CString head = method + " /" + uri + " " + VersionText(version) + HeadFields(header);
    Send(hConnection, head, body);
}

void CHttpManager::SendResponse(HConnection hConnection, HttpVersion_t version, int code, CString phrase,
                                const HttpHeader_t& header, const CBuffer& body) {
    CString head = CString(VersionText(version)) + Sprintf(" %d ", code) + phrase + HeadFields(header);
    Send(hConnection, head, body);
}

void CHttpManager::SendChunk(HConnection hConnection, const CBuffer& body, bool final) {
    OS_ASSERTMSG(body.Length() > 0 || final, "Reason: %s", "an empty chunk is only the final one");
    CBuffer bytes;
    if (body.Length() > 0) {
        CString size = Sprintf("%x\r\n", static_cast<unsigned int>(body.Length()));
        bytes.WriteData(size.Ptr(), size.Length());
        bytes.WriteData(body.Data(), body.Length());
        bytes.WriteData("\r\n", 2);
    }
    if (final) bytes.WriteData("0\r\n\r\n", 5);
    m_pConnectionManager->SendData(hConnection, bytes.Data(), bytes.Length());
}
