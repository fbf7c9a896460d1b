#include "lobby/server/proxyserver.h"

#include <climits>
#include <cstdlib>

#include "common/src/cbase.h"
#include "common/src/iniparser.h"
#include "common/src/osutils.h"

namespace {

const int kMaxConnections = 4096;
const int kStandaloneDispatchMs = 40;
const int kEmbeddedSleepMs = 5000;
const int kEmbeddedPortTries = 1000;
// Host takes 0..65534; 0 lets the system choose.
const int kHighestPort = 65534;

}  // namespace

CProxyServer::CProxyServer(CLobbyServer* pServer)
    : IThreadSafe(MT_BINARY),
      m_pServer(pServer),
      m_TCPPort(0),
      m_ConnectionManager(kMaxConnections),
      m_Core(this, m_hMutex, &m_Stats, ConfiguredLimits()),
      m_bStarted(false) {}

int CProxyServer::ConfiguredMaxQueue() {
    CString text = CINIParser::StripWhiteSpace(g_INI.Get("ProxyServer").Get("MaxQueue"));
    if (text.Length() && IsNumeric(text) && text.ToInteger() > 0) return text.ToInteger();
    return kProxyDefaultMaxQueue;
}

int CProxyServer::ConfiguredMaxQueueGrace() {
    CString text = CINIParser::StripWhiteSpace(g_INI.Get("ProxyServer").Get("MaxQueueGrace"));
    if (text.Length() && IsNumeric(text) && text.ToInteger() >= 0) return text.ToInteger();
    return kProxyDefaultMaxQueueGrace;
}

namespace {

// The key's value when it is a whole number from 0 to max, else -1.
long long ConfiguredNumber(const char* key, long long max) {
    CString text = CINIParser::StripWhiteSpace(g_INI.Get("ProxyServer").Get(key));
    if (!text.Length() || !IsNumeric(text) || text.Length() > 18) return -1;
    long long value = strtoll(text.Ptr(), nullptr, 10);
    return value <= max ? value : -1;
}

// Seconds as milliseconds, or fallback.
int ConfiguredSeconds(const char* key, int fallback) {
    long long seconds = ConfiguredNumber(key, INT_MAX / 1000);
    return seconds < 0 ? fallback : static_cast<int>(seconds * 1000);
}

}  // namespace

ProxyLimits_t CProxyServer::ConfiguredLimits() {
    ProxyLimits_t limits;
    limits.maxQueue = ConfiguredMaxQueue();
    limits.maxQueueGraceMs = ConfiguredMaxQueueGrace();
    limits.loginTimeoutMs = ConfiguredSeconds("LoginTimeout", limits.loginTimeoutMs);
    limits.packetTimeoutMs = ConfiguredSeconds("PacketTimeout", limits.packetTimeoutMs);
    long long perAddress = ConfiguredNumber("MaxClientsPerAddress", INT_MAX);
    if (perAddress >= 0) limits.maxClientsPerAddress = static_cast<int>(perAddress);
    long long memory = ConfiguredNumber("MaxMemory", LLONG_MAX);
    if (memory > 0) limits.maxMemory = memory;
    return limits;
}

bool CProxyServer::Start() {
    OS_ASSERTMSG(!m_bStarted && !IsThreadPresent(), "Reason: %s", "relay started twice");
    OS_ASSERTMSG(m_ConnectionManager.Init(), "connection manager failed to start");
    m_ConnectionManager.SetQueueGauge(&m_Stats.bufferedBytes);
    m_ConnectionManager.AddListener(this, true);
    if (!OpenPort()) {
        m_ConnectionManager.RemoveListener(this);
        m_ConnectionManager.Shutdown();
        return false;
    }
    m_bStarted = true;
    m_Stats.listening.store(true, std::memory_order_relaxed);
    StartThread(OS_THREAD_PRIORITY_NORMAL);
    return true;
}

bool CProxyServer::OpenPort() {
    if (!m_pServer) {
        CString text = CINIParser::StripWhiteSpace(g_INI.Get("ProxyServer").Get("Port"));
        int port = text.ToInteger();
        // A typo must not silently put the relay on some other port.
        if (!IsNumeric(text) || port < 0 || port > 65535) {
            Log_PrintAll("Error: ProxyServer Port \"%s\" is not a port number", text.Ptr());
            Log_PrintAll("Error openning the port");
            return false;
        }
        // 65535 is a port number the listening socket does not take.
        m_TCPPort = port <= kHighestPort ? m_ConnectionManager.Host(port) : 0;
        if (m_TCPPort == 0) {
            Log_PrintAll("Proxy Server Port= %d", port);
            Log_PrintAll("Error openning the port");
            return false;
        }
        // The port in use: the system's choice when the configuration says 0.
        Log_PrintAll("Proxy Server Port= %d", m_TCPPort);
        return true;
    }
    CString base = g_INI.Get("Lobby").Get("PortBase");
    if (base.Length()) {
        int first = base.ToInteger();
        for (int i = 0; i < kEmbeddedPortTries && m_TCPPort == 0; i++) {
            if (first + i > 0 && first + i <= kHighestPort) m_TCPPort = m_ConnectionManager.Host(first + i);
        }
    } else {
        m_TCPPort = m_ConnectionManager.Host(0);
    }
    if (m_TCPPort == 0) {
        Log_PrintAll("Error openning the port");
        return false;
    }
    Log_PrintAll("Proxy Server Port= %d", m_TCPPort);
    return true;
}

CProxyServer::~CProxyServer() {
    if (IsThreadPresent()) EndThread();
    if (m_bStarted) {
        m_Stats.listening.store(false, std::memory_order_relaxed);
        m_ConnectionManager.RemoveListener(this);
        m_ConnectionManager.Shutdown();
    }
}

void CProxyServer::ThreadEntry(CSignal& signal) {
    while (!signal.CheckSignal()) {
        if (!m_pServer) {
            m_ConnectionManager.Dispatch();
            OS_Sleep(kStandaloneDispatchMs);
        } else {
            // The host pumps; only wait, in slices so a stop is seen soon.
            for (int slept = 0; slept < kEmbeddedSleepMs && !signal.CheckSignal(); slept += 100) OS_Sleep(100);
        }
    }
}

void CProxyServer::DispatchNAT() { m_ConnectionManager.Dispatch(); }

void CProxyServer::SetKey(int uid, int key) { m_Core.SetKey(uid, key); }

void CProxyServer::RemoveKey(int uid) { m_Core.RemoveKey(uid); }

int CProxyServer::GetClientCount() { return m_Core.GetClientCount(); }

CNatClient* CProxyServer::FindClient(int uid) { return m_Core.FindClient(uid); }

void CProxyServer::HandlePacket(CNatClient* pClient, void* data, int length) {
    m_Core.HandlePacket(pClient, data, length);
}

int CProxyServer::DispatchPackets(CNatClient* pClient, void* data, int length) {
    return m_Core.DispatchPackets(pClient, data, length);
}

// Every manager Dispatch: 40 ms standalone, the host's rate embedded.
void CProxyServer::Dispatch() { m_Core.Tick(); }

void CProxyServer::ClientConnect(HConnection hConnection) {
    CString address = m_ConnectionManager.GetRemoteIP(hConnection);
    CString name = Sprintf("connection %s (%s:%d)", m_ConnectionManager.GetConnectionId(hConnection).Ptr(),
                           address.Ptr(), m_ConnectionManager.GetRemotePort(hConnection));
    m_Core.ClientConnect(hConnection, address.Ptr(), name.Ptr());
}

void CProxyServer::ClientDisconnect(HConnection hConnection, bool, int) { m_Core.ClientDisconnect(hConnection); }

void CProxyServer::ClientData(HConnection hConnection, void* data, int length) {
    m_Core.ClientData(hConnection, data, length);
}

bool CProxyServer::Send(HConnection hConnection, const void* data, int length, int softCap, int hardCap,
                        int graceMs) {
    return m_ConnectionManager.SendDataBounded(hConnection, data, length, softCap, hardCap, graceMs);
}

void CProxyServer::Drop(HConnection hConnection) { m_ConnectionManager.Disconnect(hConnection, false); }

int64_t CProxyServer::QueuedBytes(HConnection hConnection) { return m_ConnectionManager.GetQueuedBytes(hConnection); }

