// webapp [PORT]: a web application on the framework's web server. "/" is a
// page with a form; the form posts a name to "/greet", which answers with a
// greeting (a GET of "/greet?name=..." does the same). Anything else is the
// server's 404 page. Listens on PORT (0 or none: the system chooses; the
// line "port N" names it) until SIGINT, then exits with 0.
#include <cstdio>
#include <cstdlib>

#include "common/src/cbase.h"
#include "common/src/datatypes/ithreadable.h"
#include "common/src/network/webserver.h"
#include "common/src/osutils.h"

static const char kPage[] =
    "<!DOCTYPE html>\n<html><head><title>natbridge web example</title></head><body>\n"
    "<h1>Say hello</h1>\n"
    "<form method=\"post\" action=\"/greet\">\n"
    "<label>Name <input name=\"name\"></label> <input type=\"submit\" value=\"Greet\">\n"
    "</form>\n</body></html>\n";

// Text from a form is never trusted as markup.
static CString EscapeHtml(const CString& text) {
    CString out;
    for (int i = 0; i < text.Length(); i++) {
        char c = text.Ptr()[i];
        switch (c) {
            case '<': out += CString("&lt;"); break;
            case '>': out += CString("&gt;"); break;
            case '&': out += CString("&amp;"); break;
            case '"': out += CString("&quot;"); break;
            default: out += c;
        }
    }
    return out;
}

// Owns the web server and answers its requests; its own thread pumps the
// server, so WebRequest runs there.
class CWebApp : public IThreadable, public IWebServerCallback {
public:
    CWebApp() : m_bStarted(false) {}
    ~CWebApp() override {
        if (IsThreadPresent()) EndThread();
        if (m_bStarted) m_Server.Shutdown();
    }

    // The port in use, 0 when it cannot be opened. No document root: every
    // answer is made here.
    int Start(int port) {
        int used = m_Server.Init(this, port, "");
        m_bStarted = used != 0;
        if (m_bStarted) StartThread(OS_THREAD_PRIORITY_NORMAL);
        return used;
    }

    void ThreadEntry(CSignal& signal) override {
        while (!signal.CheckSignal()) m_Server.Dispatch(100);
    }

    int WebRequest(const CString& uri, const CAssocArray<CString, CString>& get,
                   const CAssocArray<CString, CString>& post) override {
        if (uri == CString("/")) {
            m_Server.SetHeader("text/html; charset=ISO-8859-1");
            m_Server.Send(CString(kPage));
            return WEB_CONTENT;
        }
        if (uri == CString("/greet")) {
            CString name = post.FindKey("name") >= 0 ? post["name"] : get["name"];
            if (name.Length() == 0) name = "stranger";
            m_Server.SetHeader("text/html; charset=ISO-8859-1");
            m_Server.Send("<!DOCTYPE html>\n<html><body><p>Hello, " + EscapeHtml(name) +
                          "!</p><p><a href=\"/\">again</a></p></body></html>\n");
            return WEB_CONTENT;
        }
        return WEB_NOT_FOUND;
    }

private:
    CWebServer m_Server;
    bool m_bStarted;
};

int main(int argc, char** argv) {
    int port = argc > 1 ? atoi(argv[1]) : 0;
    Log_Init(nullptr, true, nullptr);
    OS_Init(nullptr);
    CWebApp* pApp = new CWebApp();
    int used = pApp->Start(port);
    if (used == 0) {
        Log_PrintAll("webapp: cannot listen on port %d", port);
        delete pApp;
        OS_DeInit();
        return 1;
    }
    printf("port %d\n", used);
    fflush(stdout);
    OS_WaitForTerm();
    pApp->EndThread();
    delete pApp;
    OS_DeInit();
    Log_PrintAll("webapp: stopped");
    return 0;
}
