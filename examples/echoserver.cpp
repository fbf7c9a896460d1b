// echoserver [PORT]: the message layer's echo server. Listens on PORT (0 or
// none: the system chooses; the line "port N" names the one in use), sends
// every message of type kEchoType back to its sender, answers pings (the
// layer does that by itself) and serves until SIGINT, then exits with 0.
//
// The shape of a framework server: main sets up the log and the OS layer,
// builds the server object, waits for SIGINT in OS_WaitForTerm and tears
// down in reverse order; the server pumps its connection manager on a
// thread of its own.
#include <cstdio>
#include <cstdlib>

#include "common/src/cbase.h"
#include "common/src/datatypes/ithreadable.h"
#include "common/src/network/messagemanager.h"
#include "common/src/network/tcpipconnectionmanager.h"
#include "common/src/osutils.h"

// The application's message type (types 0 to 4 belong to remote objects).
static const DWORD kEchoType = 0x00000100;

// Owns the connection manager and the message manager over it; its own
// thread pumps them, so hooks run there.
class CEchoServer : public IThreadable, public IMessageManagerCallback {
public:
    CEchoServer() : m_Connections(256), m_pMessages(nullptr), m_Echoed(0) {}
    ~CEchoServer() override {
        if (IsThreadPresent()) EndThread();
        delete m_pMessages;  // before the connection manager stops
        m_Connections.Shutdown();
    }

    // The port in use, 0 when it cannot be opened.
    int Start(int port) {
        m_Connections.Init();
        // No handshake retries (clients open), no pings of our own,
        // blocks of up to 64 KiB to the connection manager.
        m_pMessages = new CMessageManager(&m_Connections, false, false, 65536);
        m_pMessages->HookMessage(kEchoType, this);
        int used = m_Connections.Host(port);
        if (used != 0) StartThread(OS_THREAD_PRIORITY_NORMAL);
        return used;
    }
    int Echoed() const { return m_Echoed; }

    void ThreadEntry(CSignal& signal) override {
        // Returns as soon as there is work, at the latest after 100 ms.
        while (!signal.CheckSignal()) m_Connections.DispatchWait(100);
    }
    // On the pumping thread; the message is lent for the call.
    void ReceivedMessage(HConnection hConnection, CMessage& message) override {
        m_pMessages->SendMessage(hConnection, message);
        m_Echoed++;
    }
    void PingResult(HConnection, unsigned int) override {}

private:
    CTCPIPConnectionManager m_Connections;
    CMessageManager* m_pMessages;  // owned
    int m_Echoed;                  // pumping thread only
};

int main(int argc, char** argv) {
    int port = argc > 1 ? atoi(argv[1]) : 0;
    Log_Init(nullptr, true, nullptr);  // standard output only
    OS_Init(nullptr);
    CEchoServer* pServer = new CEchoServer();
    int used = pServer->Start(port);
    if (used == 0) {
        Log_PrintAll("echoserver: cannot listen on port %d", port);
        delete pServer;
        OS_DeInit();
        return 1;
    }
    printf("port %d\n", used);
    fflush(stdout);
    OS_WaitForTerm();
    pServer->EndThread();
    int echoed = pServer->Echoed();
    delete pServer;
    OS_DeInit();
    Log_PrintAll("echoserver: stopped after echoing %d messages", echoed);
    return 0;
}
