#include "common/src/network/webserver.h"

#include <sys/stat.h>

#include <cstring>
#include <ctime>
#include <cwchar>

#include <string>

#include "common/src/cbase.h"
#include "common/src/file.h"

const char* const g_Days[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const g_Months[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

namespace {

const char* const kServerName = "Quenmark Http Server";

// The extension table, in the order Init fills it.
const char* const kContentTypes[][2] = {
    {"html", "text/html"},       {"htm", "text/html"},       {"txt", "text/plain"},
    {"gif", "image/gif"},        {"png", "image/x-png"},     {"jpeg", "image/jpeg"},
    {"jpg", "image/jpeg"},       {"jpe", "image/jpeg"},      {"tiff", "image/tiff"},
    {"tif", "image/tiff"},       {"bmp", "image/x-ms-bmp"},  {"pdf", "application/pdf"},
    {"zip", "application/zip"},  {"swf", "application/x-shockwave-flash"},
};

// The escapes undone after "+" and before "%25", in this order.
const wchar_t* const kDecodings[][2] = {
    {L"%24", L"$"}, {L"%26", L"&"}, {L"%2B", L"+"}, {L"%2C", L","}, {L"%2F", L"/"},  {L"%3A", L":"},  {L"%3B", L";"},
    {L"%3D", L"="}, {L"%3F", L"?"}, {L"%40", L"@"}, {L"%20", L" "}, {L"%21", L"!"},  {L"%22", L"\""}, {L"%3C", L"<"},
    {L"%3E", L">"}, {L"%23", L"#"}, {L"%7B", L"{"}, {L"%7D", L"}"}, {L"%7C", L"|"},  {L"%5C", L"\\"}, {L"%5E", L"^"},
    {L"%7E", L"~"}, {L"%5B", L"["}, {L"%5D", L"]"}, {L"%60", L"`"},
};

// Replace builds a new text even when nothing matches: look first.
void ReplaceIn(CString& str, const wchar_t* from, const wchar_t* to) {
    if (wcsstr(str.WPtr(), from) != nullptr) str = str.Replace(from, to);
}

void Append(CBuffer& buffer, const CString& text) {
    if (text.Length() > 0) buffer.WriteData(text.Ptr(), text.Length());
}

// An error page: title "code phrase", heading phrase, one paragraph.
CString ErrorPage(const char* title, const char* heading, const CString& paragraph) {
    return CString("<html><head><title>") + title + "</title></head><body><h1>" + heading + "</h1><p>" + paragraph +
           "</p></body></html>";
}

// Seconds through the local-time conversion, as the conditional GET compares.
long long LocalSeconds(struct tm fields) {
    fields.tm_isdst = 0;
    return static_cast<long long>(mktime(&fields));
}

}  // namespace

CString EncodeHttpTime(int time) {
    time_t t = static_cast<time_t>(time);
    struct tm fields;
    gmtime_r(&t, &fields);
    return Sprintf("%s, %02d %s %d %02d:%02d:%02d GMT", g_Days[fields.tm_wday], fields.tm_mday,
                   g_Months[fields.tm_mon], fields.tm_year + 1900, fields.tm_hour, fields.tm_min, fields.tm_sec);
}

bool ParseHttpTime(const CString& date, int& time) {
    if (date.Length() != 29) return false;
    int day = -1;
    int month = -1;
    for (int i = 0; i < 7; i++) {
        if (date.SubString(0, 3) == g_Days[i]) day = i;
    }
    for (int i = 0; i < 12; i++) {
        if (date.SubString(8, 3) == g_Months[i]) month = i;
    }
    if (day < 0 || month < 0) return false;
    struct tm fields;
    memset(&fields, 0, sizeof(fields));
    fields.tm_mday = date.SubString(5, 2).ToInteger();
    fields.tm_mon = month;
    fields.tm_year = date.SubString(12, 4).ToInteger() - 1900;
    fields.tm_hour = date.SubString(17, 2).ToInteger();
    fields.tm_min = date.SubString(20, 2).ToInteger();
    fields.tm_sec = date.SubString(23, 2).ToInteger();
    long long seconds = LocalSeconds(fields);
    time = static_cast<int>(seconds);
    return seconds > 0 && seconds <= 0x7FFFFFFF;
}

CString GetFileExt(CString& file) {
    const char* dot = strrchr(file.Ptr(), '.');
    return dot == nullptr ? file : CString(dot + 1);
}

CString DecodeURL(CString str) {
    ReplaceIn(str, L"+", L" ");
    if (wcschr(str.WPtr(), L'%') == nullptr) return str;
    for (const auto& decoding : kDecodings) ReplaceIn(str, decoding[0], decoding[1]);
    ReplaceIn(str, L"%25", L"%");
    return str;
}

void DecodeURL(const CString& url, CAssocArray<CString, CString>& get) {
    CAssocArray<CString, CString> pairs = url.Split("&", "=");
    for (int i = 0; i < pairs.Count(); i++) get[DecodeURL(pairs.Key(i))] = DecodeURL(pairs.Value(i));
}

CWebServer::CWebServer()
    : m_ConnectionManager(WEB_MAX_CONNECTIONS), m_pCallback(nullptr), m_pHttpManager(nullptr), m_hCaller(nullptr) {}

CWebServer::~CWebServer() {
    OS_ASSERTMSG(m_pHttpManager == nullptr, "Reason: %s", "CWebServer destroyed without Shutdown");
}

int CWebServer::Init(IWebServerCallback* pCallback, int port, CString rootFilePath, CString address) {
    if (!m_ConnectionManager.Init()) return 0;
    m_ConnectionManager.AddListener(this, false);
    int used = m_ConnectionManager.Host(port, address);
    if (used == 0) {
        m_ConnectionManager.Shutdown();
        return 0;
    }
    m_pHttpManager = new CHttpManager(&m_ConnectionManager, this);
    m_pCallback = pCallback;
    m_RootPath = rootFilePath;
    m_ContentTypes.RemoveAll();
    for (const auto& entry : kContentTypes) m_ContentTypes[entry[0]] = entry[1];
    return used;
}

void CWebServer::Dispatch() {
    m_TimerManager.Dispatch();
    m_ConnectionManager.Dispatch();
}

bool CWebServer::Dispatch(int waitMs) {
    m_TimerManager.Dispatch();
    return m_ConnectionManager.DispatchWait(waitMs);
}

void CWebServer::Shutdown() {
    delete m_pHttpManager;
    m_pHttpManager = nullptr;
    m_ConnectionManager.Shutdown();
    // The connections went without callbacks: their timers go now.
    for (int i = 0; i < m_Timers.Count(); i++) m_TimerManager.DestroyTimer(m_Timers.Value(i));
    m_Timers.RemoveAll();
    m_Closing.RemoveAll();
}

void CWebServer::Send(const CBuffer& buf) { m_Content = buf; }

void CWebServer::Send(const CString& text) { Append(m_Content, text); }

void CWebServer::SetHeader(const CString& header) { m_ContentType = header; }

bool CWebServer::IsClosing(HConnection hConnection) const {
    int index = m_Closing.FindKey(hConnection);
    return index >= 0 && m_Closing.Value(index);
}

void CWebServer::Close(HConnection hConnection) {
    if (IsClosing(hConnection)) return;
    m_Closing[hConnection] = true;
    int index = m_Timers.FindKey(hConnection);
    if (index >= 0) m_Timers.Value(index)->Disable();
    // The flush delivers the whole response, then ends the stream at once.
    m_ConnectionManager.Disconnect(hConnection, true);
}

void CWebServer::SendDelayed(HConnection h, const CBuffer& buf, bool final) {
    int index = m_Timers.FindKey(h);
    // The client may leave while its answer is being produced: the
    // application cannot know, so the chunk is dropped.
    if (index < 0 || IsClosing(h)) {
        TRACE("CWebServer: SendDelayed for a connection that has gone");
        return;
    }
    m_Timers.Value(index)->Restart();
    m_pHttpManager->SendChunk(h, buf, final);
    if (final && m_Closing.FindKey(h) >= 0) Close(h);
}

void CWebServer::ClientConnect(HConnection hConnection) {
    CTimer* pTimer = m_TimerManager.CreateTimer(WEB_IDLE_MS, false, false, this);
    pTimer->Restart();
    pTimer->Enable();
    m_Timers[hConnection] = pTimer;
}

void CWebServer::ClientDisconnect(HConnection hConnection, bool, int) {
    TRACE("CWebServer: ClientDisconnect");
    int index = m_Timers.FindKey(hConnection);
    OS_ASSERTMSG(index >= 0, "Reason: %s", "CWebServer: disconnect of a connection without timer");
    m_TimerManager.DestroyTimer(m_Timers.Value(index));
    m_Timers.Remove(index);
    m_Closing.RemoveByKey(hConnection);
    if (m_hCaller == hConnection) m_hCaller = nullptr;
}

void CWebServer::TimerExpire(CTimer* pTimer) {
    int index = m_Timers.FindValue(pTimer);
    OS_ASSERTMSG(index >= 0, "Reason: %s", "CWebServer: expiry of a timer without connection");
    HConnection hConnection = m_Timers.Key(index);
    if (!IsClosing(hConnection)) m_ConnectionManager.Disconnect(hConnection, false);
}

void CWebServer::HttpParseError(HConnection hConnection) {
    if (m_Timers.FindKey(hConnection) < 0 || IsClosing(hConnection)) return;
    TRACE("CWebServer: 400 Bad Request");
    CString page = ErrorPage("400 Bad Request", "Bad Request",
                             "Your browser sent a request that this server could not understand.");
    CBuffer body;
    Append(body, page);
    HttpHeader_t header;
    header["Date"] = EncodeHttpTime(static_cast<int>(OS_GetTime()));
    header["Server"] = kServerName;
    header["Accept-Ranges"] = "none";
    header["Content-Type"] = "text/html";
    header["Content-Length"] = Sprintf("%d", body.Length());
    header["Connection"] = "close";
    m_pHttpManager->SendResponse(hConnection, HTTP_1_1, 400, "Bad Request", header, body);
    Close(hConnection);
}

void CWebServer::HttpResponse(HConnection hConnection, HttpVersion_t, int, CString, const HttpHeader_t&,
                              const CBuffer&) {
    if (m_Timers.FindKey(hConnection) >= 0 && !IsClosing(hConnection)) {
        m_ConnectionManager.Disconnect(hConnection, false);
    }
}

int CWebServer::ServeFile(const CString& uri, const HttpHeader_t& request, HttpHeader_t& response,
                          CString& phrase) {
    CString path = m_RootPath + uri;
    struct stat info;
    // Only regular files: a directory (or anything else) is not found.
    bool regular = stat(path.Ptr(), &info) == 0 && S_ISREG(info.st_mode);
    int modified = -1;
    if (regular && !CFile::GetLastModified(path.Ptr(), modified)) modified = -1;
    const CString* since = HttpFindField(request, "If-Modified-Since");
    int sinceTime = 0;
    if (regular && since != nullptr && modified > 0 && ParseHttpTime(*since, sinceTime)) {
        time_t t = static_cast<time_t>(modified);
        struct tm fields;
        gmtime_r(&t, &fields);
        if (static_cast<long long>(sinceTime) - LocalSeconds(fields) >= 0) {
            TRACE("CWebServer: 304 Not Modified");
            phrase = "Not Modified";
            return 304;
        }
    }
    if (!regular || !CFile::Read(path.Ptr(), m_Content)) {
        TRACE("CWebServer: 404 Not Found");
        m_Content.Empty();
        Append(m_Content, ErrorPage("404 Not Found", "Not Found",
                                    CString("The requested URL ") + uri + " was not found on this server."));
        phrase = "Not Found";
        return 404;
    }
    if (modified > 0 && static_cast<unsigned int>(modified) <= OS_GetTime()) {
        response["Last-Modified"] = EncodeHttpTime(modified);
    } else if (modified > 0) {
        TRACE("CWebServer: Warning file has modification time in the future");
    }
    CString name = uri;
    int index = m_ContentTypes.FindKey(GetFileExt(name));
    m_ContentType = index >= 0 ? m_ContentTypes.Value(index) : CString("application/octet-stream");
    phrase = "OK";
    return 200;
}

void CWebServer::HttpRequest(HConnection h, HttpVersion_t version, CString method, CString uri,
                             const HttpHeader_t& header, const CBuffer& body) {
    TRACE("CWebServer: HttpRequest method = %s, uri = %s", method.Ptr(), uri.Ptr());
    int timerIndex = m_Timers.FindKey(h);
    // Gone already (announced closed with its request still queued), or
    // being closed by us: nobody reads an answer.
    if (timerIndex < 0 || m_Closing.FindKey(h) >= 0) return;
    m_ContentType = "text/html";
    m_Content.Empty();
    m_hCaller = h;
    bool chunked = false;
    m_Timers.Value(timerIndex)->Restart();
    // HTTP/1.0 closes unless it asks to keep the connection.
    bool keepAlive10 = version == HTTP_1_0 && HttpFieldIs(header, "Connection", "keep-alive");
    bool close = HttpFieldIs(header, "Connection", "close") || (version == HTTP_1_0 && !keepAlive10);
    HttpHeader_t response;
    int code = 200;
    CString phrase = "OK";
    CString path = uri.Replace(" ", "").Replace("\t", "");
    if (method != "GET" && method != "POST" && method != "HEAD") {
        TRACE("CWebServer: 405 Method Not Allowed");
        code = 405;
        phrase = "Method Not Allowed";
        Append(m_Content, ErrorPage("405 Method Not Allowed", "Method Not Allowed",
                                    CString("The request method ") + method + " is not allowed on this server."));
    } else if (path.Find("..", 0) >= 0 || path.Length() == 0 || path[0] != '/') {
        // Joined verbatim to the root: only an absolute path without ".."
        // stays inside it.
        TRACE("CWebServer: 403 Forbidden");
        code = 403;
        phrase = "Forbidden";
        Append(m_Content, ErrorPage("403 Forbidden", "Forbidden",
                                    CString("Access to the requested URL ") + path + " was denied."));
    } else {
        CAssocArray<CString, CString> get;
        CAssocArray<CString, CString> post;
        int query = path.Find("?", 0);
        if (query >= 0) {
            DecodeURL(path.SubString(query + 1, path.Length() - query - 1), get);
            path = path.Left(query);
        }
        if (method == "POST" && body.Length() > 0) {
            const char* bytes = static_cast<const char*>(body.Data());
            int length = static_cast<int>(strnlen(bytes, static_cast<size_t>(body.Length())));
            DecodeURL(CString(std::string(bytes, static_cast<size_t>(length)).c_str()), post);
        }
        int result = m_pCallback->WebRequest(path, get, post);
        switch (result) {
        case WEB_CONTENT:
            break;
        case WEB_DELAYED:
            OS_ASSERTMSG(m_Content.Length() == 0, "Reason: %s", "content collected for a chunked answer");
            chunked = true;
            break;
        case WEB_FILE:
            code = ServeFile(path, header, response, phrase);
            break;
        case WEB_NOT_FOUND:
            TRACE("CWebServer: 404 Not Found");
            code = 404;
            phrase = "Not Found";
            Append(m_Content, ErrorPage("404 Not Found", "Not Found",
                                        CString("The requested URL ") + path + " was not found on this server."));
            break;
        default:
            OS_ASSERTMSG(false, "Reason: %s", "Invalid return!");
        }
    }
    response["Date"] = EncodeHttpTime(static_cast<int>(OS_GetTime()));
    if (code != 304) {
        response["Server"] = kServerName;
        response["Accept-Ranges"] = "none";
        response["Content-Type"] = m_ContentType;
        if (chunked) {
            response["Transfer-Encoding"] = "chunked";
        } else {
            response["Content-Length"] = Sprintf("%d", m_Content.Length());
        }
    } else {
        // A 304 has no body: bytes after its head would start the next response.
        m_Content.Empty();
    }
    if (close) {
        response["Connection"] = "close";
    } else if (keepAlive10) {
        response["Connection"] = "keep-alive";
    }
    if (method == "HEAD") m_Content.Empty();
    if (m_Content.Length() > WEB_WARN_SIZE) Log_PrintAll("CWebServer: Warning sending response with size over 1 meg");
    m_pHttpManager->SendResponse(h, HTTP_1_1, code, phrase, response, m_Content);
    if (!close) return;
    if (chunked && method != "HEAD") {
        m_Closing[h] = false;  // closed after the last chunk
    } else {
        Close(h);
    }
}
