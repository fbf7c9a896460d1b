// The web client's download loop and events, and URL encoding.
#include "common/src/network/webclient.h"

#include <cwchar>
#include <string>

#include "common/src/cbase.h"
#include "common/src/osutils.h"

namespace {

// The escapes in the order they are applied: "%" first, so that no escape
// written later is escaped again.
const wchar_t* const kEncodings[][2] = {
    {L"%", L"%25"}, {L"$", L"%24"}, {L"&", L"%26"},  {L"+", L"%2B"}, {L",", L"%2C"},  {L"/", L"%2F"}, {L":", L"%3A"},
    {L";", L"%3B"}, {L"=", L"%3D"}, {L"?", L"%3F"},  {L"@", L"%40"}, {L" ", L"%20"},  {L"!", L"%21"}, {L"\"", L"%22"},
    {L"<", L"%3C"}, {L">", L"%3E"}, {L"#", L"%23"},  {L"{", L"%7B"}, {L"}", L"%7D"},  {L"|", L"%7C"}, {L"\\", L"%5C"},
    {L"^", L"%5E"}, {L"~", L"%7E"}, {L"[", L"%5B"},  {L"]", L"%5D"}, {L"`", L"%60"},
};

// "name:port" into the name and the port (1..65534, what the connection
// manager accepts); false for a ":" followed by anything else. Without a
// ":" the address is the whole text and the port stays as it is.
bool SplitPort(const CString& host, CString* pAddress, int* pPort) {
    int colon = -1;
    for (int at = host.Find(":", 0); at >= 0; at = host.Find(":", at + 1)) colon = at;
    *pAddress = host;
    if (colon < 0) return true;
    CString digits = host.SubString(colon + 1, -1);
    if (digits.Length() == 0 || digits.Length() > 5 || !IsNumeric(digits.Ptr())) return false;
    int port = digits.ToInteger();
    if (port < 1 || port > 65534) return false;
    *pAddress = host.SubString(0, colon);
    *pPort = port;
    return true;
}

}  // namespace

CString EncodeURL(CString str) {
    // Replace builds a new text even when nothing matches: look first.
    for (const auto& encoding : kEncodings) {
        if (wcsstr(str.WPtr(), encoding[0]) != nullptr) str = str.Replace(encoding[0], encoding[1]);
    }
    return str;
}

CString EncodeURL(const CAssocArray<CString, CString>& get) {
    CString query;
    for (int i = 0; i < get.Count(); i++) {
        if (i > 0) query += "&";
        query += EncodeURL(get.Key(i));
        query += "=";
        query += EncodeURL(get.Value(i));
    }
    return query;
}

CWebClient::CWebClient()
    : m_pHttpManager(nullptr), m_hConnection(nullptr), m_Timer(nullptr), m_TcpManager(4096),
      m_bHttpFinished(true), m_bHttpContentText(false), m_bHttpSuccessful(false) {
    OS_ASSERTMSG(m_TcpManager.Init(), "Reason: %s", "CWebClient: connection manager did not start");
    m_pHttpManager = new CHttpManager(&m_TcpManager, this);
    m_TcpManager.AddListener(this, false);
    m_Timer = m_TimerManager.CreateTimer(WEBCLIENT_TIMEOUT_MS, false, false, this);
    m_Timer->Disable();
}

CWebClient::~CWebClient() {
    delete m_pHttpManager;
    m_TimerManager.DestroyTimer(m_Timer);
    m_TcpManager.RemoveListener(this);
    m_TcpManager.Shutdown();
}

bool CWebClient::Current(HConnection hConnection) const { return !m_bHttpFinished && hConnection == m_hConnection; }

void CWebClient::ClientConnect(HConnection) {}

void CWebClient::ClientDisconnect(HConnection hConnection, bool, int) {
    if (hConnection == m_hConnection) m_bHttpFinished = true;
}

void CWebClient::HttpParseError(HConnection hConnection) {
    if (Current(hConnection)) m_TcpManager.Disconnect(m_hConnection, false);
}

void CWebClient::HttpResponse(HConnection hConnection, HttpVersion_t, int code, CString, const HttpHeader_t& header,
                              const CBuffer& body) {
    if (!Current(hConnection) || code == 100) return;
    m_bHttpSuccessful = code == 200;
    const CString* pType = HttpFindField(header, "Content-Type");
    m_bHttpContentText = pType != nullptr && pType->Left(5) == "text/";
    m_HttpMessageBody = body;
    m_TcpManager.Disconnect(m_hConnection, false);
}

void CWebClient::HttpRequest(HConnection hConnection, HttpVersion_t, CString, CString, const HttpHeader_t&,
                             const CBuffer&) {
    if (Current(hConnection)) m_TcpManager.Disconnect(m_hConnection, false);
}

void CWebClient::TimerExpire(CTimer*) {
    // The loop pumps the timers after the connection events, so the
    // connection may already be gone.
    if (!m_bHttpFinished) m_TcpManager.Disconnect(m_hConnection, false);
}

bool CWebClient::Download(CString url, CString data, CBuffer& buffer, int port, bool isText) {
    m_bHttpSuccessful = false;
    m_bHttpContentText = false;
    m_HttpMessageBody.Empty();
    if (url.Left(7).ToLower() == "http://") url = url.SubString(7, -1);
    int slash = url.Find("/", 0);
    CString host = slash < 0 ? url : url.SubString(0, slash);
    CString uri = slash < 0 ? CString() : url.SubString(slash + 1, -1);
    if (data.Length() > 0) uri += "?" + data;
    CString address;
    if (!SplitPort(host, &address, &port)) {
        Log_PrintAll("CWebClient: Invalid port in host %s", host.Ptr());
        buffer.Empty();
        return false;
    }
    HttpHeader_t header;
    header["Host"] = host;
    header["Connection"] = "close";

    m_bHttpFinished = false;
    m_Timer->Restart();
    m_Timer->Enable();
    m_hConnection = m_TcpManager.Connect(address.Ptr(), port, true);
    m_pHttpManager->SendRequest(m_hConnection, HTTP_1_1, "GET", uri, header, CBuffer());
    while (!m_bHttpFinished) {
        OS_Sleep(WEBCLIENT_POLL_MS);
        m_TcpManager.Dispatch();
        m_TimerManager.Dispatch();
    }
    m_Timer->Disable();
    buffer = m_HttpMessageBody;
    if (!m_bHttpSuccessful) return false;
    return isText ? m_bHttpContentText : true;
}

bool CWebClient::Download(CString url, const CAssocArray<CString, CString>& putData, CBuffer& data, int port) {
    return Download(url, EncodeURL(putData), data, port, false);
}

bool CWebClient::Download(CString url, const CAssocArray<CString, CString>& putData, CString& data, int port) {
    CBuffer buffer;
    if (!Download(url, EncodeURL(putData), buffer, port, true)) return false;
    data = CString(std::string(static_cast<const char*>(buffer.Data()), static_cast<size_t>(buffer.Length())).c_str());
    return true;
}
