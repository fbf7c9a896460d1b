// CStatusServer: the relay's figures over HTTP for operators. "/metrics" in
// the Prometheus text format (0.0.4), "/" as a self-refreshing HTML page,
// "/healthz" answering "OK" while the relay listens. GET and HEAD only.
//
// Owns its web server (and through it a connection manager of its own) and a
// thread that pumps it, so a slow scrape never delays relaying; borrows the
// relay's RelayStats_t, which it only reads (each figure a relaxed load).
// Start, Stop and the destructor run on the owning (main) thread; every
// request is handled on the status thread.
#ifndef NB_LOBBY_SERVER_STATUSSERVER_H
#define NB_LOBBY_SERVER_STATUSSERVER_H

#include <cstdint>
#include <string>
#include <vector>

#include "common/src/datatypes/ithreadable.h"
#include "common/src/datatypes/string.h"
#include "common/src/network/webserver.h"
#include "lobby/server/relaystats.h"

// What the process itself reports at scrape time; -1 when it cannot be read.
struct ProcessFigures_t {
    int64_t uptimeSeconds;
    int64_t residentBytes;
    int64_t openFds;
};

// One sample of the pages: a family name (without the "natbridge_" prefix),
// its help text and type, an optional cause label and the value.
struct StatusFigure_t {
    const char* name;
    const char* help;
    const char* type;   // "counter" or "gauge"
    const char* cause;  // the value of the label "cause", or null
    int64_t value;
};

// The default of "Status"/"Address": only this machine may ask.
extern const char* const kStatusDefaultAddress;
// Seconds between reloads of the HTML page.
const int kStatusRefreshSeconds = 5;
// The status thread's longest wait for a connection event (it also keeps
// the uptime clock from wrapping).
const int kStatusWaitMs = 100;

class CStatusServer : private CWebServer, private IWebServerCallback, public IThreadable {
public:
    explicit CStatusServer(const RelayStats_t& stats);
    // Stops the server if Start succeeded and Stop was not called.
    virtual ~CStatusServer();

    // True when g_INI has a section "Status" with a "Port" other than empty
    // or 0: the daemon then runs a status server, otherwise none at all.
    static bool IsConfigured();
    // Opens "Port" on "Address" of "Status" in g_INI and starts the status
    // thread. False, with the reason logged and nothing left running, when
    // "Port" is not a port number or cannot be opened there. Once.
    bool Start();
    // The same on a port and address given directly (port 0: the system
    // chooses). Logs the address and port in use.
    bool Start(int port, const CString& address);
    // Joins the status thread and closes every connection. Before the
    // relay goes: the thread reads the relay's figures.
    void Stop();
    // The port in use once Start succeeded, else 0.
    int GetPort() const { return m_Port; }

    // The figures of both pages, in page order.
    static std::vector<StatusFigure_t> Collect(const RelayStats_t& stats, const ProcessFigures_t& process);
    static std::string RenderMetrics(const std::vector<StatusFigure_t>& figures);
    static std::string RenderPage(const std::vector<StatusFigure_t>& figures, bool listening);
    // & < > " ' as entities: safe in element text and quoted attributes.
    static std::string EscapeHtml(const std::string& text);
    // Resident memory and open descriptors of this process, from /proc.
    static ProcessFigures_t ReadProcess(int64_t uptimeSeconds);

    virtual void ThreadEntry(CSignal& signal) override;

private:
    virtual int WebRequest(const CString& uri, const CAssocArray<CString, CString>& get,
                           const CAssocArray<CString, CString>& post) override;
    // Refuses other methods (405) and answers /healthz with 503 while the
    // relay does not listen, which the web server's results cannot express;
    // everything else goes the web server's way. Status thread.
    virtual void HttpRequest(HConnection hConnection, HttpVersion_t version, CString method, CString uri,
                             const HttpHeader_t& header, const CBuffer& body) override;
    // A complete response with a body of our own, written straight to the
    // connection (bodyless for HEAD).
    void SendPlain(HConnection hConnection, int code, const char* phrase, const char* extraHeader,
                   const std::string& body, bool head);
    // Seconds since construction, kept in 64 bits across the 32-bit tick
    // counter's wrap. Status thread (or the owner before the thread runs).
    int64_t UptimeSeconds();

    const RelayStats_t& m_Stats;  // not owned; the relay's
    int m_Port;
    bool m_bRunning;              // between a successful Start and Stop
    unsigned int m_LastTick;      // status thread: the tick of the last uptime step
    uint64_t m_UptimeMs;          // status thread
};

#endif
