// The HTTP engine: HTTP/1.0 and 1.1 requests and responses read from the
// byte streams of a connection manager's connections (one incremental parser
// per connection) and written back to them. Framing is "Content-Length" or
// chunked transfer coding; every other header field is the owner's business.
//
// Bounds on what a peer can make us hold: a start line with its header
// block, a chunk-size line and a trailer block are at most HTTP_MAX_HEAD
// bytes each, a body at most the manager's maximum body size. Anything
// larger is a parse error found before the bytes are stored, so a parser
// keeps fewer than HTTP_MAX_HEAD unconsumed bytes between two blocks.
#ifndef NB_COMMON_NETWORK_HTTP_H
#define NB_COMMON_NETWORK_HTTP_H

#include <atomic>

#include "common/src/datatypes/assocarray.h"
#include "common/src/datatypes/buffer.h"
#include "common/src/datatypes/string.h"
#include "common/src/datatypes/vector.h"
#include "common/src/network/iconnectionmanager.h"

enum HttpVersion_t {
    HTTP_1_0 = 0,  // "HTTP/1.0"
    HTTP_1_1 = 1,  // "HTTP/1.1"
};

// Header fields in the order their names were first seen, names exactly as
// received. Reading a field the framework acts on goes through
// HttpFindField, which ignores the case of names.
typedef CAssocArray<CString, CString> HttpHeader_t;

enum HttpState_t {
    HTTP_PARSER_NONE = 0,          // waiting for a start line
    HTTP_PARSER_HEADER = 1,        // start line read, waiting for the header block
    HTTP_PARSER_BODY = 2,          // taking a "Content-Length" body
    HTTP_PARSER_CHUNK_SIZE = 3,    // waiting for a chunk-size line
    HTTP_PARSER_CHUNK_BODY = 4,    // taking chunk data, then the two bytes after it
    HTTP_PARSER_CHUNK_FOOTER = 5,  // zero-size chunk seen, waiting for the trailer block
    HTTP_PARSER_ERROR = 6,         // the stream is unusable; everything further is dropped
};

// Largest start line plus header block, chunk-size line or trailer block,
// terminators included.
const int HTTP_MAX_HEAD = 65536;
// The manager's maximum body size until SetMaxBodySize changes it.
const int HTTP_DEFAULT_MAX_BODY = 16777216;

// Why a parser failed, as traced (and kept for GetParseFailure).
extern const char* const HTTP_FAIL_START_LINE;      // not three parts separated by blanks
extern const char* const HTTP_FAIL_VERSION;         // not "HTTP/1.0" or "HTTP/1.1"
extern const char* const HTTP_FAIL_ENCODING;        // chunked request, or a coding other than chunked
extern const char* const HTTP_FAIL_TOO_LONG;        // a head, chunk-size line or trailer over HTTP_MAX_HEAD
extern const char* const HTTP_FAIL_CONTENT_LENGTH;  // negative, or fields disagreeing
extern const char* const HTTP_FAIL_BODY_SIZE;       // over the manager's maximum body size
extern const char* const HTTP_FAIL_CHUNK_SIZE;      // not hexadecimal, or past the int range
extern const char* const HTTP_FAIL_NUL;             // a zero byte in a start line or header block

// The value of the first field (in the set's order) whose name equals name
// ignoring ASCII case; null when there is none. Valid while header is
// unchanged.
const CString* HttpFindField(const HttpHeader_t& header, const CString& name);
// True when that field exists and its value equals value ignoring ASCII case
// ("Connection: Close" is "close").
bool HttpFieldIs(const HttpHeader_t& header, const CString& name, const CString& value);

// One complete message. Fields of the other kind (Code and Phrase of a
// request, Method and Uri of a response) hold whatever the connection's
// previous message left in them.
struct HttpMessage_t {
    HConnection hConnection = nullptr;  // the connection it arrived on
    HttpVersion_t Version = HTTP_1_0;
    bool bRequest = false;
    int Code = 0;          // response: status code
    CString Phrase;        // response: reason phrase, may hold blanks
    CString Method;        // request: any text without a blank
    CString Uri;           // request: the target as received, still %-encoded
    HttpHeader_t Header;   // header fields, plus the trailer of a chunked message
    CBuffer Body;          // the whole body, de-chunked
};

// The owner of a CHttpManager (web server, web client). Called only from the
// manager's Dispatch, that is on the thread pumping the connection manager
// with its dispatch lock held: the rules of listener callbacks apply (send
// and disconnect, never dispatch). A connection's messages and error arrive
// before its ClientDisconnect when the connection manager dispatches its
// extended listeners first, as CTCPIPConnectionManager does.
class IHttpCallback {
public:
    // The connection's bytes are not HTTP as the parser reads it; nothing
    // more arrives from it. Closing it is the owner's decision.
    virtual void HttpParseError(HConnection hConnection) = 0;
    virtual void HttpResponse(HConnection hConnection, HttpVersion_t version, int code, CString phrase,
                              const HttpHeader_t& header, const CBuffer& body) = 0;
    virtual void HttpRequest(HConnection hConnection, HttpVersion_t version, CString method, CString uri,
                             const HttpHeader_t& header, const CBuffer& body) = 0;

protected:
    ~IHttpCallback() {}
};

class CHttpManager;

// The incremental parser of one connection; created and deleted only by
// CHttpManager, fed on the connection manager's socket thread. Owns its
// buffer of unconsumed bytes and the message in assembly; hands completed
// messages to its manager, which it does not own. Consumed bytes only move
// the buffer's read cursor; they are dropped once per Parse call.
class CHttpParser {
public:
    CHttpParser(CHttpManager* pHttpManager, HConnection hConnection);

    // Appends the bytes and advances as far as they allow. False exactly
    // when this call moved the parser into HTTP_PARSER_ERROR.
    bool Parse(char* data, int length);
    // One CR LF terminated line off the front of the buffer; false (buffer
    // untouched) while there is none. A lone LF does not end a line.
    bool ParseLine(CString& str);
    // One header block (through CR LF CR LF, or a lone CR LF for an empty
    // one) off the front of the buffer into header, which is emptied first;
    // false while the block is incomplete.
    bool ParseHeader(HttpHeader_t& header);
    // Sets the message's version from exactly "HTTP/1.0" or "HTTP/1.1".
    bool ParseVersion(const CString& str);
    // Drops the buffered bytes and waits for a start line again.
    void Reset();

    HttpState_t GetState() const { return m_State; }
    // The HTTP_FAIL_ text of the failure; null while there is none.
    const char* GetFailure() const { return m_pFailure; }
    // Received bytes not yet consumed.
    int GetBufferedBytes() const { return m_Buffer.RemainingLength(); }

private:
    bool Advance();
    // Enters HTTP_PARSER_ERROR for good; traces reason unless done already.
    bool Fail(const char* reason, bool traced = false);
    // An element still incomplete: a failure once the bytes it already has,
    // with before of the same element consumed earlier, reach the bound.
    bool Pending(int before);
    bool StartLine(const CString& line);
    bool Framing();
    void Complete();
    // Offset of the first occurrence of term in the unread bytes, or -1.
    // Remembers how far a failed search got, so bytes arriving one at a
    // time are not scanned again and again.
    int FindUnread(const char* term, int termLength);
    void Consume(int length);
    // The first length unread bytes as text; sets m_bTextNul when they hold
    // a zero byte (which a CString cannot carry).
    CString TakeText(int length);

    CHttpManager* m_pHttpManager;  // not owned
    HttpState_t m_State;
    HttpHeader_t m_Footer;         // trailer of the current chunked message
    CBuffer m_Buffer;              // unconsumed bytes from the read cursor on
    int m_BodyLength;              // bytes of the body or chunk still to come; -1 before the first chunk
    HttpMessage_t m_Message;       // in assembly; hConnection set once
    int m_HeadBytes;               // bytes of the start line of the head in assembly
    int m_Scanned;                 // unread bytes already searched without a match
    bool m_bTextNul;               // the last line or block taken held a zero byte
    const char* m_pFailure;        // static text, null until a failure
};

// The protocol manager over one connection manager, as its extended
// listener. Owns one parser per open connection and the queues of completed
// messages and failed connections; borrows the connection manager and the
// owner. Takes no lock of its own: the connection manager calls it one
// callback at a time under its dispatch lock (ClientData on its socket
// thread, the rest on the thread pumping its Dispatch); the send operations
// only call SendData and may be used from any thread.
class CHttpManager : public IConnectionManagerExtendedListener {
public:
    // Registers as extended listener of pConnectionManager.
    CHttpManager(IConnectionManager* pConnectionManager, IHttpCallback* pCallback);

    // A parser for the new connection.
    virtual void ClientConnect(HConnection hConnection) override;
    // Deletes the connection's parser (it must have one); its messages
    // already queued are still delivered at the next Dispatch.
    virtual void ClientDisconnect(HConnection hConnection, bool forced, int reason) override;
    // Delivers every queued message in order of completion, then every
    // queued parse failure, and empties both queues.
    virtual void Dispatch() override;
    // Feeds the connection's parser (it must have one); a failure is queued
    // for the next Dispatch.
    virtual void ClientData(HConnection hConnection, void* data, int length) override;
    // Unregisters, deletes the parsers and drops what is still queued. Not
    // from inside a callback of the connection manager.
    virtual ~CHttpManager();

    // method " /" uri " " version, the fields, an empty line, the body: one
    // SendData. uri comes without its leading slash. No field is added.
    void SendRequest(HConnection hConnection, HttpVersion_t version, CString method, CString uri,
                     const HttpHeader_t& header, const CBuffer& body);
    // version " " code " " phrase, the fields, an empty line, the body: one
    // SendData. No field is added.
    void SendResponse(HConnection hConnection, HttpVersion_t version, int code, CString phrase,
                      const HttpHeader_t& header, const CBuffer& body);
    // One chunk of a chunked body, followed by the last chunk and an empty
    // trailer when final is set; an empty body only as the final chunk
    // (fatal otherwise). One SendData.
    void SendChunk(HConnection hConnection, const CBuffer& body, bool final);

    // Largest body accepted (at least 0); a larger "Content-Length" or
    // chunked body is a parse error. Any thread; parsers see the new value
    // with the next block they are fed.
    void SetMaxBodySize(int bytes);
    int GetMaxBodySize() const { return m_MaxBody.load(std::memory_order_relaxed); }
    // The HTTP_FAIL_ text of the connection's parser failure, null when it
    // has not failed or has no parser. From inside the owner's callbacks
    // (the dispatch lock serialises it with the parser).
    const char* GetParseFailure(HConnection hConnection) const;
    // The connection's unconsumed received bytes, -1 without a parser. Same
    // calling rule.
    int GetBufferedBytes(HConnection hConnection) const;

private:
    friend class CHttpParser;
    void QueueMessage(const HttpMessage_t& message);
    CHttpParser* ParserOf(HConnection hConnection) const;
    void Send(HConnection hConnection, const CString& head, const CBuffer& body);
    // Debug builds: the connection manager's callbacks never overlap.
    void EnterCallback();
    void LeaveCallback();

    IConnectionManager* m_pConnectionManager;           // not owned
    IHttpCallback* m_pCallback;                         // not owned
    CAssocArray<void*, CHttpParser*> m_Connections;     // parsers owned, keyed by handle
    CVector<HttpMessage_t> m_Messages;                  // completed, not yet dispatched
    CVector<void*> m_Errors;                            // failed since the last dispatch
    std::atomic<int> m_MaxBody;
    // Checked in debug builds only; present in every build so that the
    // layout does not depend on NDEBUG (users may build either way).
    [[maybe_unused]] std::atomic<int> m_InCallback{0};
};

#endif
