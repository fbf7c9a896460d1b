// Fixture of the remote-object tests: endpoints in one process, each a
// connection manager with a message manager and an RMI manager, connected
// pairwise over loopback; a pump that dispatches them all; recorders of RMI
// errors and of connection events; raw message sending.
#ifndef NB_TESTS_COMMON_SRC_NETWORK_RMITEST_H
#define NB_TESTS_COMMON_SRC_NETWORK_RMITEST_H

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/src/network/messagemanager.h"
#include "common/src/network/rmimanager.h"
#include "common/src/network/tcpipconnectionmanager.h"

namespace rmitest {

// Records every HandleRMIError; answers with `handled`.
class RecordingRMICallback : public IRMIManagerCallback {
public:
    struct Error {
        HConnection h;
        int type;
        bool hasRef;
        CRemoteObjRef ref;
        std::string className;
    };
    bool HandleRMIError(HConnection hConnection, RMIException_t& exception) override;
    std::vector<Error> Errors();
    // Codes in arrival order.
    std::vector<int> Codes();

    std::atomic<bool> handled{false};

private:
    std::mutex m_Mutex;
    std::vector<Error> m_Errors;
};

// Records connection events of one connection manager.
class ConnectionRecorder : public IConnectionManagerListener {
public:
    void ClientConnect(HConnection h) override;
    void ClientDisconnect(HConnection h, bool forced, int reason) override;
    int Connects();
    HConnection Connected(int index);
    // True when h's disconnect was reported; *pReason its reason.
    bool Disconnected(HConnection h, int* pReason = nullptr);

private:
    std::mutex m_Mutex;
    std::vector<HConnection> m_Connects;
    std::map<HConnection, int> m_Disconnects;
};

// One side: connection manager, message manager (no retry, no pings, 64 KiB
// packets) and RMI manager with a recording owner callback.
struct Endpoint {
    Endpoint();
    ~Endpoint();
    void Dispatch() { cm.Dispatch(); }

    CTCPIPConnectionManager cm;
    ConnectionRecorder events;
    RecordingRMICallback errors;
    std::unique_ptr<CMessageManager> mm;
    std::unique_ptr<CRMIManager> rmi;
    int port;
};

// Dispatches one endpoint on a thread of its own while alive (for blocking
// calls of the test thread into another endpoint). The test thread must not
// touch that endpoint meanwhile.
class BackgroundPump {
public:
    explicit BackgroundPump(Endpoint& ep);
    ~BackgroundPump();

private:
    std::atomic<bool> m_Stop{false};
    std::thread m_Thread;
};

// A reference as it goes on the wire.
CRemoteObjRef Ref(DWORD classID, DWORD instanceID, BYTE isRemote);

class RMITest : public ::testing::Test {
protected:
    ~RMITest() override;

    // n endpoints, every pair connected with the handshake completed.
    void Start(int n);
    // A new connection from i to j; H(i, j) and H(j, i) name it from now on.
    void Connect(int i, int j);
    // Endpoint i's handle of its connection to j.
    HConnection H(int i, int j) { return m_Links[{i, j}]; }
    Endpoint& E(int i) { return *ep[i]; }

    // Dispatches the endpoints in `only` (all when empty) every millisecond
    // until pred holds or timeoutMs of real time pass.
    bool Pump(const std::function<bool()>& pred, int timeoutMs = 5000, std::vector<int> only = {});
    // Dispatches everything for ms of real time.
    void PumpFor(int ms, std::vector<int> only = {});
    // The reason of i's disconnect of its link to j (after pumping for it),
    // or 0 when none was reported.
    int AwaitDisconnect(int i, int j, int timeoutMs = 5000);
    // Sends type with body ref + payload from i to j through i's message
    // manager, bypassing every object.
    void SendRaw(int i, int j, DWORD type, const CRemoteObjRef& ref, const std::string& payload);
    void SendBytes(int i, int j, DWORD type, const std::string& body);

    std::vector<std::unique_ptr<Endpoint>> ep;

private:
    std::map<std::pair<int, int>, HConnection> m_Links;
};

// Little-endian ints as payload bytes.
std::string Ints(std::initializer_list<int> values);
// n bytes of a position-dependent pattern.
std::string Pattern(int n, int seed = 0);

}  // namespace rmitest

#endif
