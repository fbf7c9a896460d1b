#include "tests/common/src/network/rmitest.h"

#include <chrono>
#include <cstring>

namespace rmitest {

bool RecordingRMICallback::HandleRMIError(HConnection hConnection, RMIException_t& exception) {
    Error e{hConnection, exception.type, exception.pObjRef != nullptr, CRemoteObjRef(),
            exception.className.Ptr() ? exception.className.Ptr() : ""};
    if (exception.pObjRef) e.ref = *exception.pObjRef;
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Errors.push_back(e);
    return handled;
}

std::vector<RecordingRMICallback::Error> RecordingRMICallback::Errors() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Errors;
}

std::vector<int> RecordingRMICallback::Codes() {
    std::vector<int> codes;
    for (const Error& e : Errors()) codes.push_back(e.type);
    return codes;
}

void ConnectionRecorder::ClientConnect(HConnection h) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Connects.push_back(h);
    m_Disconnects.erase(h);  // a handle may come back for a new connection
}

void ConnectionRecorder::ClientDisconnect(HConnection h, bool, int reason) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Disconnects[h] = reason;
}

int ConnectionRecorder::Connects() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return static_cast<int>(m_Connects.size());
}

HConnection ConnectionRecorder::Connected(int index) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Connects[static_cast<size_t>(index)];
}

bool ConnectionRecorder::Disconnected(HConnection h, int* pReason) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    auto it = m_Disconnects.find(h);
    if (it == m_Disconnects.end()) return false;
    if (pReason) *pReason = it->second;
    return true;
}

Endpoint::Endpoint() : cm(64) {
    cm.Init();
    port = cm.Host(0);
    cm.AddListener(&events, false);
    mm.reset(new CMessageManager(&cm, false, false, 65536));
    rmi.reset(new CRMIManager(mm.get(), &errors));
}

Endpoint::~Endpoint() {
    // Both unregister from the connection manager, which must still run.
    rmi.reset();
    mm.reset();
    cm.RemoveListener(&events);
    cm.Shutdown();
}

BackgroundPump::BackgroundPump(Endpoint& ep)
    : m_Thread([this, &ep] {
          while (!m_Stop) {
              ep.Dispatch();
              std::this_thread::sleep_for(std::chrono::milliseconds(1));
          }
      }) {}

BackgroundPump::~BackgroundPump() {
    m_Stop = true;
    m_Thread.join();
}

CRemoteObjRef Ref(DWORD classID, DWORD instanceID, BYTE isRemote) {
    CRemoteObjRef ref = CRemoteObjRef();
    ref.classID = classID;
    ref.instanceID = instanceID;
    ref.isRemote = isRemote;
    return ref;
}

RMITest::~RMITest() {
    // Each shut-down waits for its socket thread's poll: all at once.
    std::vector<std::thread> threads;
    for (auto& p : ep) threads.emplace_back([&p] { p.reset(); });
    for (std::thread& t : threads) t.join();
}

void RMITest::Start(int n) {
    for (int i = 0; i < n; i++) ep.emplace_back(new Endpoint());
    for (int i = 0; i < n; i++) {
        for (int j = i + 1; j < n; j++) Connect(i, j);
    }
}

void RMITest::Connect(int i, int j) {
    int before = E(j).events.Connects();
    HConnection h = E(i).cm.Connect("127.0.0.1", E(j).port, false);
    ASSERT_TRUE(Pump([&] { return E(j).events.Connects() > before; }));
    HConnection back = E(j).events.Connected(before);
    m_Links[{i, j}] = h;
    m_Links[{j, i}] = back;
    ASSERT_TRUE(Pump([&] {
        return E(i).mm->GetStatus(h) == STATUS_CONNECTED && E(j).mm->GetStatus(back) == STATUS_CONNECTED;
    })) << "handshake " << i << "-" << j;
}

bool RMITest::Pump(const std::function<bool()>& pred, int timeoutMs, std::vector<int> only) {
    if (only.empty()) {
        for (size_t i = 0; i < ep.size(); i++) only.push_back(static_cast<int>(i));
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        for (int i : only) E(i).Dispatch();
        if (pred()) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void RMITest::PumpFor(int ms, std::vector<int> only) { Pump([] { return false; }, ms, only); }

int RMITest::AwaitDisconnect(int i, int j, int timeoutMs) {
    int reason = 0;
    HConnection h = H(i, j);
    Pump([&] { return E(i).events.Disconnected(h, &reason); }, timeoutMs);
    return reason;
}

void RMITest::SendRaw(int i, int j, DWORD type, const CRemoteObjRef& ref, const std::string& payload) {
    std::string body(reinterpret_cast<const char*>(&ref), sizeof ref);
    SendBytes(i, j, type, body + payload);
}

void RMITest::SendBytes(int i, int j, DWORD type, const std::string& body) {
    CMessage msg(type);
    msg.WriteData(body.data(), static_cast<int>(body.size()));
    E(i).mm->SendMessage(H(i, j), msg);
}

std::string Ints(std::initializer_list<int> values) {
    std::string out;
    for (int v : values) out.append(reinterpret_cast<const char*>(&v), 4);
    return out;
}

std::string Pattern(int n, int seed) {
    std::string s(static_cast<size_t>(n), '\0');
    for (unsigned int i = 0; i < static_cast<unsigned int>(n); i++) {
        s[i] = static_cast<char>((i * 131u + i / 251u + static_cast<unsigned int>(seed)) & 0xFFu);
    }
    return s;
}

}  // namespace rmitest
