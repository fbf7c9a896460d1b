#include "lobby/server/statusserver.h"

#include <dirent.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "common/src/cbase.h"
#include "common/src/iniparser.h"
#include "common/src/osutils.h"

const char* const kStatusDefaultAddress = "127.0.0.1";

namespace {

const char* const kPrefix = "natbridge_";
const char* const kMetricsType = "text/plain; version=0.0.4";
const char* const kPageType = "text/html; charset=iso-8859-1";
// Host takes 0..65534.
const int kHighestPort = 65534;

const char* const kDropCauses[RELAY_DROP_CAUSES] = {"unknown_destination", "not_logged_in"};
const char* const kCondemnCauses[RELAY_CONDEMN_CAUSES] = {"bad_header_size",     "buffer_overflow",
                                                          "send_queue_overflow", "login_timeout",
                                                          "packet_timeout",      "memory_budget"};

int64_t Load(const std::atomic<int64_t>& gauge) { return gauge.load(std::memory_order_relaxed); }
int64_t Load(const std::atomic<uint64_t>& counter) {
    return static_cast<int64_t>(counter.load(std::memory_order_relaxed));
}

CBuffer ToBuffer(const std::string& text) {
    CBuffer buf;
    buf.WriteData(text.data(), static_cast<int>(text.size()));
    return buf;
}

// "/a?b" is "/a".
CString PathOf(const CString& uri) {
    int at = uri.Find("?", 0);
    return at < 0 ? uri : uri.Left(at);
}

std::string Number(int64_t value) {
    char text[32];
    snprintf(text, sizeof text, "%" PRId64, value);
    return text;
}

}  // namespace

CStatusServer::CStatusServer(const RelayStats_t& stats)
    : m_Stats(stats), m_Port(0), m_bRunning(false), m_LastTick(OS_GetTickCount()), m_UptimeMs(0) {}

CStatusServer::~CStatusServer() {
    if (m_bRunning) Stop();
}

bool CStatusServer::IsConfigured() {
    CString port = CINIParser::StripWhiteSpace(g_INI.Get("Status").Get("Port"));
    return port.Length() > 0 && port != CString("0");
}

bool CStatusServer::Start() {
    const IniSection_t& section = g_INI.Get("Status");
    CString text = CINIParser::StripWhiteSpace(section.Get("Port"));
    CString address = CINIParser::StripWhiteSpace(section.Get("Address"));
    if (address.Length() == 0) address = kStatusDefaultAddress;
    int port = text.ToInteger();
    // A typo must not put the status pages on some other port.
    if (!IsNumeric(text) || port < 1 || port > kHighestPort) {
        Log_PrintAll("Error: Status Port \"%s\" is not a port number", text.Ptr());
        return false;
    }
    return Start(port, address);
}

bool CStatusServer::Start(int port, const CString& address) {
    OS_ASSERTMSG(!m_bRunning && !IsThreadPresent(), "Reason: %s", "status server started twice");
    m_Port = Init(this, port, "", address);
    if (m_Port == 0) {
        Log_PrintAll("Error: Status server cannot listen on %s port %d", address.Ptr(), port);
        return false;
    }
    Log_PrintAll("Status Server Port= %d Address= %s", m_Port, address.Ptr());
    m_bRunning = true;
    StartThread(OS_THREAD_PRIORITY_NORMAL);
    return true;
}

void CStatusServer::Stop() {
    OS_ASSERTMSG(m_bRunning, "Reason: %s", "status server stopped without a successful start");
    EndThread();
    Shutdown();
    m_bRunning = false;
    m_Port = 0;
}

void CStatusServer::ThreadEntry(CSignal& signal) {
    while (!signal.CheckSignal()) {
        Dispatch(kStatusWaitMs);
        UptimeSeconds();
    }
}

int64_t CStatusServer::UptimeSeconds() {
    unsigned int now = OS_GetTickCount();
    m_UptimeMs += now - m_LastTick;
    m_LastTick = now;
    return static_cast<int64_t>(m_UptimeMs / 1000);
}

std::vector<StatusFigure_t> CStatusServer::Collect(const RelayStats_t& s, const ProcessFigures_t& p) {
    std::vector<StatusFigure_t> f = {
        {"connections_open", "Client connections open now.", "gauge", nullptr, Load(s.connectionsOpen)},
        {"clients_logged_in", "Clients registered or authenticated now.", "gauge", nullptr, Load(s.clientsLoggedIn)},
        {"buffered_bytes", "Bytes of buffered input plus queued output over all connections.", "gauge", nullptr,
         Load(s.bufferedBytes)},
        {"registrations_total", "Registrations that handed out a user id.", "counter", nullptr,
         Load(s.registrations)},
        {"authentications_total", "Authentications with a deposited key.", "counter", nullptr,
         Load(s.authentications)},
        {"authentication_failures_total", "Authentications refused.", "counter", nullptr,
         Load(s.authenticationFailures)},
        {"packets_relayed_total", "Data packets forwarded to their addressee.", "counter", nullptr,
         Load(s.packetsRelayed)},
        {"bytes_relayed_total", "Bytes of data packets forwarded, headers included.", "counter", nullptr,
         Load(s.bytesRelayed)},
        {"echoes_total", "Packets echoed back to their sender.", "counter", nullptr, Load(s.echoes)},
    };
    for (int i = 0; i < RELAY_DROP_CAUSES; i++)
        f.push_back({"packets_dropped_total", "Packets dropped, by cause.", "counter", kDropCauses[i],
                     Load(s.dropped[i])});
    for (int i = 0; i < RELAY_CONDEMN_CAUSES; i++)
        f.push_back({"connections_condemned_total", "Connections closed by the relay, by cause.", "counter",
                     kCondemnCauses[i], Load(s.condemned[i])});
    f.push_back({"connections_refused_total", "Connections refused at once, by cause.", "counter", "per_address",
                 Load(s.refusedPerAddress)});
    f.push_back({"uptime_seconds", "Seconds since the daemon started.", "gauge", nullptr, p.uptimeSeconds});
    f.push_back({"resident_memory_bytes", "Resident memory of the process.", "gauge", nullptr, p.residentBytes});
    f.push_back({"open_fds", "Open file descriptors of the process.", "gauge", nullptr, p.openFds});
    return f;
}

std::string CStatusServer::RenderMetrics(const std::vector<StatusFigure_t>& figures) {
    std::string out;
    out.reserve(4096);
    const char* family = nullptr;
    for (const StatusFigure_t& f : figures) {
        // A figure the process could not read is left out rather than shown as -1.
        if (f.value < 0) continue;
        if (!family || strcmp(family, f.name) != 0) {
            family = f.name;
            out += std::string("# HELP ") + kPrefix + f.name + " " + f.help + "\n";
            out += std::string("# TYPE ") + kPrefix + f.name + " " + f.type + "\n";
        }
        out += std::string(kPrefix) + f.name;
        if (f.cause) out += std::string("{cause=\"") + f.cause + "\"}";
        out += " " + Number(f.value) + "\n";
    }
    return out;
}

std::string CStatusServer::EscapeHtml(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string CStatusServer::RenderPage(const std::vector<StatusFigure_t>& figures, bool listening) {
    std::string out =
        "<!DOCTYPE html>\n<html><head><meta charset=\"iso-8859-1\">"
        "<meta http-equiv=\"refresh\" content=\"" + Number(kStatusRefreshSeconds) + "\">"
        "<title>natbridge status</title>"
        "<style>body{font-family:sans-serif}td,th{padding:2px 12px;text-align:left}"
        "td.v{text-align:right;font-family:monospace}</style></head>\n<body><h1>natbridge status</h1>\n"
        "<p id=\"relay\">Relay: " + std::string(listening ? "listening" : "not listening") + "</p>\n"
        "<table>\n<tr><th>Figure</th><th>Cause</th><th>Value</th><th>Meaning</th></tr>\n";
    for (const StatusFigure_t& f : figures) {
        std::string id = std::string(f.name) + (f.cause ? std::string(".") + f.cause : std::string());
        out += "<tr><td>" + EscapeHtml(f.name) + "</td><td>" + EscapeHtml(f.cause ? f.cause : "") +
               "</td><td class=\"v\" id=\"" + EscapeHtml(id) + "\">" +
               (f.value < 0 ? std::string("unknown") : Number(f.value)) + "</td><td>" + EscapeHtml(f.help) +
               "</td></tr>\n";
    }
    out += "</table>\n</body></html>\n";
    return out;
}

ProcessFigures_t CStatusServer::ReadProcess(int64_t uptimeSeconds) {
    ProcessFigures_t p = {uptimeSeconds, -1, -1};
    // statm: total and resident size in pages.
    if (FILE* f = fopen("/proc/self/statm", "re")) {
        unsigned long long size = 0, resident = 0;
        if (fscanf(f, "%llu %llu", &size, &resident) == 2)
            p.residentBytes = static_cast<int64_t>(resident) * sysconf(_SC_PAGESIZE);
        fclose(f);
    }
    if (DIR* d = opendir("/proc/self/fd")) {
        int64_t count = 0;
        while (struct dirent* e = readdir(d))
            if (e->d_name[0] != '.') count++;
        closedir(d);
        // The listing's own descriptor was one of them.
        p.openFds = count - 1;
    }
    return p;
}

int CStatusServer::WebRequest(const CString& uri, const CAssocArray<CString, CString>&,
                              const CAssocArray<CString, CString>&) {
    if (uri == CString("/metrics") || uri == CString("/")) {
        std::vector<StatusFigure_t> figures = Collect(m_Stats, ReadProcess(UptimeSeconds()));
        bool metrics = uri == CString("/metrics");
        SetHeader(metrics ? kMetricsType : kPageType);
        Send(ToBuffer(metrics ? RenderMetrics(figures)
                              : RenderPage(figures, m_Stats.listening.load(std::memory_order_relaxed))));
        return WEB_CONTENT;
    }
    if (uri == CString("/healthz")) {
        // Not listening is answered before we get here.
        SetHeader("text/plain");
        Send(ToBuffer("OK"));
        return WEB_CONTENT;
    }
    return WEB_NOT_FOUND;
}

void CStatusServer::HttpRequest(HConnection hConnection, HttpVersion_t version, CString method, CString uri,
                                const HttpHeader_t& header, const CBuffer& body) {
    bool head = method == CString("HEAD");
    if (!head && method != CString("GET")) {
        SendPlain(hConnection, 405, "Method Not Allowed", "Allow: GET, HEAD\r\n", "Method Not Allowed\n", false);
        return;
    }
    if (PathOf(uri) == CString("/healthz") && !m_Stats.listening.load(std::memory_order_relaxed)) {
        SendPlain(hConnection, 503, "Service Unavailable", "", "relay not listening\n", head);
        return;
    }
    CWebServer::HttpRequest(hConnection, version, method, uri, header, body);
}

void CStatusServer::SendPlain(HConnection hConnection, int code, const char* phrase, const char* extraHeader,
                              const std::string& body, bool head) {
    CString date = EncodeHttpTime(static_cast<int>(OS_GetTime()));
    std::string text = "HTTP/1.1 " + Number(code) + " " + phrase + "\r\nDate: " + date.Ptr() +
                       "\r\nServer: Quenmark Http Server\r\n" + extraHeader +
                       "Content-Type: text/plain\r\nContent-Length: " + Number(static_cast<int64_t>(body.size())) +
                       "\r\n\r\n" + (head ? std::string() : body);
    GetConnectionManager()->SendData(hConnection, text.data(), static_cast<int>(text.size()));
}
