// The embedded web server: one listening connection manager, the HTTP
// engine over it, idle time-outs, and an application object that answers
// GET, POST and HEAD requests with content of its own, a chunked body sent
// later, a file of the document root, or a not-found page. Also the HTTP
// date functions and the decoding of %-escaped query strings and form
// bodies (EncodeURL, their inverse, lives with the web client).
#ifndef NB_COMMON_NETWORK_WEBSERVER_H
#define NB_COMMON_NETWORK_WEBSERVER_H

#include "common/src/datatypes/assocarray.h"
#include "common/src/datatypes/buffer.h"
#include "common/src/datatypes/string.h"
#include "common/src/network/http.h"
#include "common/src/network/tcpipconnectionmanager.h"
#include "common/src/timers.h"

// Idle time-out of a connection between requests (or delayed chunks).
const int WEB_IDLE_MS = 90000;
// Responses larger than this are logged (and sent).
const int WEB_WARN_SIZE = 1048576;
// Connections the server takes at once.
const int WEB_MAX_CONNECTIONS = 4096;

// What WebRequest answers.
enum WebResult_t {
    WEB_CONTENT = 0,    // 200 with what Send collected, typed by SetHeader
    WEB_DELAYED = 1,    // 200 chunked; nothing collected; SendDelayed brings the body
    WEB_FILE = 2,       // the file document root + uri
    WEB_NOT_FOUND = 3,  // the 404 page
};

// The application. Called on the thread that pumps CWebServer::Dispatch.
class IWebServerCallback {
public:
    // uri: the path without its query, still %-encoded; get: the decoded
    // query; post: the decoded form fields of a POST body. A WebResult_t;
    // anything else is fatal. May call GetCaller, Send and SetHeader.
    virtual int WebRequest(const CString& uri, const CAssocArray<CString, CString>& get,
                           const CAssocArray<CString, CString>& post) = 0;

protected:
    ~IWebServerCallback() {}
};

// Owns its connection manager, timer manager, HTTP manager and the idle
// timer of each connection; borrows the application. Everything runs on the
// thread calling Dispatch (the connection manager's socket thread only
// feeds the parsers), so the response state needs no lock.
class CWebServer : public IConnectionManagerListener, public IHttpCallback, public ITimerCallback {
public:
    CWebServer();
    virtual ~CWebServer();

    // Starts the connection manager, listens on port (0: the system
    // chooses) of address (dotted IPv4 text; "": all local addresses) and
    // fills the extension table. The port in use, 0 on failure (nothing left
    // running then).
    int Init(IWebServerCallback* pCallback, int port, CString rootFilePath, CString address = "");
    // Idle time-outs, then connection events and requests.
    void Dispatch();
    // The same, after waiting up to waitMs for the next connection event or
    // received data (returning as soon as one comes). True when one came.
    bool Dispatch(int waitMs);
    // Stops everything; once, before destruction, after a successful Init.
    void Shutdown();

    IConnectionManager* GetConnectionManager() { return &m_ConnectionManager; }
    // The connection of the request being handled (keep it for SendDelayed).
    HConnection GetCaller() const { return m_hCaller; }
    // Replaces the content collected so far.
    void Send(const CBuffer& buf);
    // Appends text (narrow) to the content.
    void Send(const CString& text);
    // The "Content-Type" of the response being built.
    void SetHeader(const CString& header);
    // One chunk of a connection answered WEB_DELAYED, the last one too with
    // final (an empty buf only then). Restarts its idle timer. Dropped when
    // the connection has gone meanwhile.
    void SendDelayed(HConnection h, const CBuffer& buf, bool final);

    virtual void ClientConnect(HConnection hConnection) override;
    virtual void ClientDisconnect(HConnection hConnection, bool forced, int reason) override;
    virtual void TimerExpire(CTimer* pTimer) override;
    virtual void HttpParseError(HConnection hConnection) override;
    virtual void HttpResponse(HConnection hConnection, HttpVersion_t version, int code, CString phrase,
                              const HttpHeader_t& header, const CBuffer& body) override;
    virtual void HttpRequest(HConnection hConnection, HttpVersion_t version, CString method, CString uri,
                             const HttpHeader_t& header, const CBuffer& body) override;

    // Connections open (with an idle timer), for tests and diagnostics.
    int GetOpenCount() const { return m_Timers.Count(); }

private:
    // The file part of a request answered WEB_FILE: fills the response
    // state and returns the status code.
    int ServeFile(const CString& uri, const HttpHeader_t& request, HttpHeader_t& response, CString& phrase);
    // Local close after the response: the queue is flushed first.
    void Close(HConnection hConnection);
    bool IsClosing(HConnection hConnection) const;

    CTCPIPConnectionManager m_ConnectionManager;
    CTimerManager m_TimerManager;
    IWebServerCallback* m_pCallback;               // not owned
    CHttpManager* m_pHttpManager;                  // owned; between Init and Shutdown
    CString m_RootPath;
    CAssocArray<void*, CTimer*> m_Timers;          // idle timer of each open connection; owned by m_TimerManager
    CBuffer m_Content;
    CString m_ContentType;
    HConnection m_hCaller;
    CAssocArray<CString, CString> m_ContentTypes;  // extension -> media type
    // Connections we are closing (true: flushing now; false: once the last
    // chunk of a delayed answer has gone). Their further requests are dropped.
    CAssocArray<void*, bool> m_Closing;
};

extern const char* const g_Days[7];
extern const char* const g_Months[12];

// time (seconds since the epoch) in UTC as "Sun, 06 Nov 1994 08:49:37 GMT".
CString EncodeHttpTime(int time);
// Exactly that 29-character form (separators not checked) through mktime;
// true when the result is positive.
bool ParseHttpTime(const CString& date, int& time);
// The text after the last "." of file; file itself without one.
CString GetFileExt(CString& file);

// "+" becomes a blank, then the escapes EncodeURL writes (upper-case hex
// digits only) become their characters, "%25" last: "%2541" is "%41".
// Every other "%xx" stays as it is.
CString DecodeURL(CString str);
// Splits url at "&" and each piece at its first "=" (a second "=" and what
// follows it is dropped), then decodes names and values into get, which is
// not emptied first. Pieces with an empty name are skipped; a later name
// replaces an earlier one.
void DecodeURL(const CString& url, CAssocArray<CString, CString>& get);

#endif
