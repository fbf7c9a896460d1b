// The blocking web client, and URL encoding of query strings (decoding is
// in webserver.h).
#ifndef NB_COMMON_NETWORK_WEBCLIENT_H
#define NB_COMMON_NETWORK_WEBCLIENT_H

#include "common/src/datatypes/assocarray.h"
#include "common/src/datatypes/buffer.h"
#include "common/src/datatypes/string.h"
#include "common/src/network/http.h"
#include "common/src/network/tcpipconnectionmanager.h"
#include "common/src/timers.h"

// Time a whole download may take, in ms.
const int WEBCLIENT_TIMEOUT_MS = 40000;
// Pause between two pumps of the wait loop, in ms.
const int WEBCLIENT_POLL_MS = 100;

// Fetches one document per Download with a GET request, blocking the caller
// until the connection is gone. Owns its connection manager (with its socket
// thread), its HTTP manager, its timer manager and time-out timer. Used by
// one thread at a time; every callback below runs on that thread, inside
// Download's wait loop (the connection manager's dispatch lock held for the
// connection and HTTP callbacks, the timer manager's lock for TimerExpire).
class CWebClient : public IConnectionManagerListener, public IHttpCallback, public ITimerCallback {
public:
    CWebClient();

    virtual void ClientConnect(HConnection hConnection) override;
    // Ends the wait loop: after a response, a refused or unresolved
    // connection, a parse error or the time-out.
    virtual void ClientDisconnect(HConnection hConnection, bool forced, int reason) override;
    virtual ~CWebClient();
    virtual void HttpParseError(HConnection hConnection) override;
    // "100" is skipped; any other response is the answer and the
    // connection is dropped at once.
    virtual void HttpResponse(HConnection hConnection, HttpVersion_t version, int code, CString phrase,
                              const HttpHeader_t& header, const CBuffer& body) override;
    virtual void HttpRequest(HConnection hConnection, HttpVersion_t version, CString method, CString uri,
                             const HttpHeader_t& header, const CBuffer& body) override;
    virtual void TimerExpire(CTimer* pTimer) override;

    // GET url ("http://" optional, any case; "host[:port][/path]") with
    // "?" + data appended when data is not empty; data is already encoded.
    // The port of the URL, else port, is the one connected to. buffer
    // receives the last response's body whatever the outcome. True for a
    // "200" response, and with isText only when its type is "text/...".
    // Redirects are not followed.
    bool Download(CString url, CString data, CBuffer& buffer, int port, bool isText);
    // The same with putData encoded as the query (EncodeURL).
    bool Download(CString url, const CAssocArray<CString, CString>& putData, CBuffer& data, int port);
    // Text only; data receives the body up to its first zero byte on
    // success and is left alone on failure.
    bool Download(CString url, const CAssocArray<CString, CString>& putData, CString& data, int port);

private:
    bool Current(HConnection hConnection) const;

    CHttpManager* m_pHttpManager;      // owned
    HConnection m_hConnection;         // connection of the current download
    CTimerManager m_TimerManager;
    CTimer* m_Timer;                   // owned through m_TimerManager; enabled only during a download
    CTCPIPConnectionManager m_TcpManager;
    bool m_bHttpFinished;              // the current connection has gone away
    bool m_bHttpContentText;           // the last response's type begins with "text/"
    bool m_bHttpSuccessful;            // the last response had status 200
    CBuffer m_HttpMessageBody;         // body of the last response
};

// Escapes "%" first, then $ & + , / : ; = ? @ blank ! " < > # { } | \ ^ ~ [ ]
// and the back quote as "%XX" (upper-case hex); everything else passes.
CString EncodeURL(CString str);
// Encoded key "=" encoded value per entry in the set's order, joined by "&".
CString EncodeURL(const CAssocArray<CString, CString>& get);

#endif
