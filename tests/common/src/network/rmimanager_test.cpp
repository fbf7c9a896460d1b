// The RMI manager: a small calculator interface (proxy and skeleton over
// message type 0) called across loopback connections; routing by class and
// instance, both securities, the error codes of bad references, the owner's
// error handler, and the clean-up of a connection's objects.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "common/src/crypto/ihash.h"
#include "common/src/datatypes/bufferednode.h"
#include "common/src/network/networkstream.h"
#include "common/src/network/remotebuffer.h"
#include "tests/common/src/network/nettest.h"
#include "tests/common/src/network/rmitest.h"

using namespace rmitest;

namespace {

const char* const kCalc = "ITestCalc";
// Method ids of the calculator: the payload is the method id and one int.
enum { METHOD_ADD = 1, METHOD_NOTE = 2, METHOD_REJECT = 3 };

DWORD CalcID() { return CStringCRC(kCalc); }

// The server side: ADD answers arg + 1000 x its instance number, NOTE only
// counts, REJECT and anything malformed are refused.
class CCalcSkeleton : public IRemoteObject {
public:
    CString GetClassName() override { return kCalc; }
    bool ReceivedMessage(HConnection h, CMessage& msg) override {
        calls++;
        callerDuring = GetCaller();
        if (msg.RemainingLength() != 8) return false;
        int method = msg.ReadInt();
        int arg = msg.ReadInt();
        if (method == METHOD_NOTE) return true;
        if (method != METHOD_ADD) return false;
        CMessage reply(RMI_TYPE_METHOD);
        CRemoteObjRef ref = GetObjRef();
        reply.WriteData(&ref, sizeof ref);
        reply.WriteInt(arg + 1000 * static_cast<int>(ref.instanceID));
        GetMessageManager()->SendMessage(h, reply);
        return true;
    }
    int calls = 0;
    HConnection callerDuring = nullptr;
};

// The client side: a blocking ADD that waits for the answer outside any
// callback.
class CCalcProxy : public IRemoteObject {
public:
    explicit CCalcProxy(HConnection h) : m_h(h) { s_Live++; }
    ~CCalcProxy() override { s_Live--; }
    CString GetClassName() override { return kCalc; }
    bool ReceivedMessage(HConnection, CMessage&) override { return false; }
    // The answer, or -1 when none came within timeout seconds.
    int Add(int arg, int timeout = 5) {
        CMessage call(RMI_TYPE_METHOD);
        CRemoteObjRef ref = GetObjRef();
        call.WriteData(&ref, sizeof ref);
        call.WriteInt(METHOD_ADD);
        call.WriteInt(arg);
        GetMessageManager()->SendMessage(m_h, call);
        CMessage reply;
        if (!GetMessageManager()->RecvMessage(m_h, reply, RMI_TYPE_METHOD, timeout)) return -1;
        if (reply.RemainingLength() != 16) return -2;
        reply.IncrementPtr(sizeof ref);
        return reply.ReadInt();
    }
    static IRemoteObject* Create(HConnection h) { return new CCalcProxy(h); }
    static int s_Live;

private:
    HConnection m_h;
};
int CCalcProxy::s_Live = 0;

CRMIInterfaceAccessor s_CalcInterface(kCalc, CCalcProxy::Create);

class RMIManagerTest : public RMITest {
protected:
    CCalcProxy* Proxy(int i, int j, DWORD instance) {
        return static_cast<CCalcProxy*>(E(i).rmi->CreateProxyInternal(H(i, j), kCalc, instance));
    }
    // A NOTE call from i to j's calculator instance, bypassing proxies.
    void Note(int i, int j, DWORD instance) {
        SendRaw(i, j, RMI_TYPE_METHOD, Ref(CalcID(), instance, 0), Ints({METHOD_NOTE, 0}));
    }
};

TEST_F(RMIManagerTest, ProxyCallsRouteByInstanceAndSeeTheCaller) {
    Start(2);
    CCalcSkeleton s1, s2;
    E(1).rmi->Bind(&s1);
    E(1).rmi->Bind(&s2);
    // Instance numbers start at 1 for the manager's first object.
    EXPECT_EQ(1u, s1.GetObjRef().instanceID);
    EXPECT_EQ(2u, s2.GetObjRef().instanceID);
    EXPECT_EQ(CalcID(), s1.GetObjRef().classID);
    s2.AllowAccess(H(1, 0));  // s1 keeps its security on with nobody listed

    int live = CCalcProxy::s_Live;
    CCalcProxy* pAny = Proxy(0, 1, 0);
    CCalcProxy* pTwo = Proxy(0, 1, 2);
    EXPECT_EQ(live + 2, CCalcProxy::s_Live);
    CRemoteObjRef ref = pTwo->GetObjRef();
    EXPECT_EQ(CalcID(), ref.classID);
    EXPECT_EQ(2u, ref.instanceID);
    EXPECT_EQ(0, ref.isRemote);
    EXPECT_TRUE(pTwo->IsSecurityEnabled());
    {
        BackgroundPump server(E(1));
        // Instance 0: the first object of the class that the caller may call.
        EXPECT_EQ(2005, pAny->Add(5));
        EXPECT_EQ(2007, pTwo->Add(7));
    }
    EXPECT_EQ(0, s1.calls);
    EXPECT_EQ(2, s2.calls);
    EXPECT_EQ(H(1, 0), s2.callerDuring);
    EXPECT_EQ(nullptr, s2.GetCaller());

    s1.AllowAccess(H(1, 0));
    {
        BackgroundPump server(E(1));
        EXPECT_EQ(1009, pAny->Add(9));
    }
    EXPECT_EQ(1, s1.calls);
    EXPECT_EQ(H(1, 0), s1.callerDuring);
    EXPECT_EQ(nullptr, s1.GetCaller());
    EXPECT_TRUE(E(1).errors.Codes().empty());
    E(0).rmi->DestroyProxy(pAny);
    EXPECT_EQ(live + 1, CCalcProxy::s_Live);

    // Instance numbers are never reused, whatever object takes them.
    CRemoteBuffer local(24);
    E(1).rmi->AddRemoteBuffer(H(1, 0), &local);
    EXPECT_EQ(3u, local.GetID());
    E(1).rmi->Unbind(&s1);
    E(1).rmi->Bind(&s1);
    EXPECT_EQ(4u, s1.GetObjRef().instanceID);
    CRemoteObjRef next = E(1).rmi->CreateObjRef();
    EXPECT_EQ(5u, next.instanceID);
    EXPECT_EQ(0u, next.classID);
    E(1).rmi->Unbind(&s1);
    E(1).rmi->Unbind(&s2);
}

TEST_F(RMIManagerTest, ManagerAndObjectSecurity) {
    enum Access { NONE, ALLOW, ALLOW_DENY };
    struct Row {
        bool manager, object;
        Access access;
        bool delivered;
    } rows[] = {
        {true, true, NONE, false},  {true, true, ALLOW, true},   {true, true, ALLOW_DENY, false},
        {true, false, NONE, true},  {false, true, NONE, true},   {false, true, ALLOW_DENY, true},
        {false, false, NONE, true},
    };
    Start(2);
    CCalcSkeleton s;
    E(1).rmi->Bind(&s);
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "manager " << row.manager << " object " << row.object << " access "
                                        << row.access);
        Connect(0, 1);  // a fresh connection: a denied call ends its own
        if (row.manager) {
            E(1).rmi->EnableSecurity();
        } else {
            E(1).rmi->DisableSecurity();
        }
        if (row.object) {
            s.EnableSecurity();
        } else {
            s.DisableSecurity();
        }
        s.ClearPermissions();
        if (row.access != NONE) s.AllowAccess(H(1, 0));
        if (row.access == ALLOW_DENY) {
            s.AllowAccess(H(1, 0));  // listed once however often allowed
            s.DenyAccess(H(1, 0));
        }
        EXPECT_EQ(row.access == ALLOW, s.IsListed(H(1, 0)));
        int calls = s.calls;
        size_t errors = E(1).errors.Codes().size();
        Note(0, 1, 1);
        ASSERT_TRUE(Pump([&] { return s.calls > calls || E(1).errors.Codes().size() > errors; }));
        if (row.delivered) {
            EXPECT_EQ(calls + 1, s.calls);
            EXPECT_EQ(errors, E(1).errors.Codes().size());
        } else {
            EXPECT_EQ(calls, s.calls);
            std::vector<RecordingRMICallback::Error> all = E(1).errors.Errors();
            ASSERT_EQ(errors + 1, all.size());
            EXPECT_EQ(RMI_REASON_ACCESS, all.back().type);
            EXPECT_EQ(kCalc, all.back().className);
            EXPECT_EQ(RMI_REASON_ACCESS, AwaitDisconnect(1, 0));
        }
    }
    E(1).rmi->Unbind(&s);
}

// Each bad message ends the sender's connection with its code and nothing
// else: the same object stays callable over a third endpoint's connection.
TEST_F(RMIManagerTest, BadReferencesEndOnlyTheirConnection) {
    struct Row {
        const char* name;
        DWORD type;
        bool withRef;
        DWORD classID, instance;
        std::string payload;
        int code;
        const char* className;
        int calls;
    } rows[] = {
        {"11 bytes", RMI_TYPE_METHOD, false, 0, 0, std::string(11, '\x01'), RMI_REASON_MALFORMED, "", 0},
        {"empty stream end", RMI_TYPE_STREAM_END, false, 0, 0, "", RMI_REASON_MALFORMED, "", 0},
        {"unbound class", RMI_TYPE_METHOD, true, 0x12345678, 1, Ints({METHOD_NOTE, 0}), RMI_REASON_UNBOUND_CLASS, "",
         0},
        {"missing instance", RMI_TYPE_METHOD, true, CalcID(), 9, Ints({METHOD_NOTE, 0}), RMI_REASON_NO_INSTANCE, "",
         0},
        {"rejected by the object", RMI_TYPE_METHOD, true, CalcID(), 1, Ints({METHOD_REJECT, 0}),
         RMI_REASON_MALFORMED, kCalc, 1},
        {"trailing bytes", RMI_TYPE_METHOD, true, CalcID(), 0, Ints({METHOD_NOTE, 0, 0}), RMI_REASON_MALFORMED,
         kCalc, 1},
        {"no such stream", RMI_TYPE_STREAM_DATA, true, RMI_CLASSID_NETWORKSTREAM, 4, "x", RMI_REASON_NO_INSTANCE, "",
         0},
        {"no such buffer", RMI_TYPE_BUFFER, true, RMI_CLASSID_REMOTEBUFFER, 4, Ints({1}), RMI_REASON_NO_INSTANCE, "",
         0},
    };
    Start(3);
    CCalcSkeleton s;
    E(1).rmi->Bind(&s);
    s.DisableSecurity();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Connect(0, 1);
        size_t before = E(1).errors.Errors().size();
        int calls = s.calls;
        if (row.withRef) {
            SendRaw(0, 1, row.type, Ref(row.classID, row.instance, 0), row.payload);
        } else {
            SendBytes(0, 1, row.type, row.payload);
        }
        EXPECT_EQ(row.code, AwaitDisconnect(1, 0));
        std::vector<RecordingRMICallback::Error> errors = E(1).errors.Errors();
        ASSERT_EQ(before + 1, errors.size());
        const RecordingRMICallback::Error& e = errors.back();
        EXPECT_EQ(row.code, e.type);
        EXPECT_EQ(H(1, 0), e.h);
        EXPECT_EQ(row.withRef, e.hasRef);
        if (row.withRef && e.hasRef) {
            EXPECT_EQ(row.classID, e.ref.classID);
            EXPECT_EQ(row.instance, e.ref.instanceID);
            EXPECT_EQ(1, e.ref.isRemote);  // the receiver's view
        }
        EXPECT_EQ(row.className, e.className);
        EXPECT_EQ(calls + row.calls, s.calls);
        EXPECT_EQ(nullptr, s.GetCaller());
        Note(2, 1, 1);
        EXPECT_TRUE(Pump([&] { return s.calls > calls + row.calls; }));
        EXPECT_FALSE(E(1).events.Disconnected(H(1, 2)));
    }
    // An owner whose HandleRMIError answers true keeps the connection.
    E(1).errors.handled = true;
    Connect(0, 1);
    size_t before = E(1).errors.Codes().size();
    std::vector<int> expected;
    for (const Row& row : rows) {
        if (row.withRef) {
            SendRaw(0, 1, row.type, Ref(row.classID, row.instance, 0), row.payload);
        } else {
            SendBytes(0, 1, row.type, row.payload);
        }
        expected.push_back(row.code);
    }
    // Unbinding the last object of a class drops the class.
    ASSERT_TRUE(Pump([&] { return E(1).errors.Codes().size() == before + expected.size(); }));
    E(1).rmi->Unbind(&s);
    EXPECT_FALSE(s.IsSetUp());
    Note(0, 1, 1);
    expected.push_back(RMI_REASON_UNBOUND_CLASS);
    ASSERT_TRUE(Pump([&] { return E(1).errors.Codes().size() == before + expected.size(); }));
    std::vector<int> codes = E(1).errors.Codes();
    EXPECT_EQ(expected, std::vector<int>(codes.begin() + static_cast<long>(before), codes.end()));
    EXPECT_FALSE(E(1).events.Disconnected(H(1, 0)));
}

// A disconnect takes the connection's proxies, buffers and streams with it;
// skeletons and the objects of other connections stay.
TEST_F(RMIManagerTest, DisconnectCleansUpTheConnectionsObjects) {
    Start(3);
    CCalcSkeleton s;
    E(0).rmi->Bind(&s);
    s.DisableSecurity();
    int live = CCalcProxy::s_Live;
    Proxy(0, 1, 1);
    Proxy(0, 1, 0);
    Proxy(0, 2, 1);
    CRemoteBuffer local(24), other(24);
    E(0).rmi->AddRemoteBuffer(H(0, 1), &local);
    E(0).rmi->AddRemoteBuffer(H(0, 2), &other);
    CRemoteBuffer* pRemote = E(0).rmi->CreateRemoteBuffer(H(0, 1), 7);
    CNetworkStream* pSink = E(0).rmi->CreateStream(H(0, 1), Ref(0, 3, 1), NST_SINK);
    CNetworkStream* pSource = E(0).rmi->CreateStream(H(0, 1), E(0).rmi->CreateObjRef(), NST_SOURCE);
    CNetworkStream* pOtherSink = E(0).rmi->CreateStream(H(0, 2), Ref(0, 3, 1), NST_SINK);
    CBufferedNode node;
    pSink->StreamConnect(&node);
    EXPECT_EQ(live + 3, CCalcProxy::s_Live);

    E(1).cm.Disconnect(H(1, 0), false);
    ASSERT_NE(0, AwaitDisconnect(0, 1));
    EXPECT_EQ(live + 1, CCalcProxy::s_Live);
    EXPECT_EQ(RB_TIMEOUT, local.GetState());
    EXPECT_FALSE(local.IsSetUp());
    EXPECT_FALSE(E(0).rmi->RemoveRemoteBuffer(pRemote));  // gone (not dereferenced)
    EXPECT_EQ(RB_PENDING, other.GetState());
    EXPECT_TRUE(other.IsSetUp());
    EXPECT_EQ(SS_ERROR, pSink->GetState());
    EXPECT_EQ(SS_ERROR, node.GetState());
    EXPECT_EQ(SS_PENDING, pSource->GetState());  // until its owner ends it
    pSource->StreamEnd(SS_EOS);
    EXPECT_EQ(SS_ERROR, pSource->GetState());
    EXPECT_EQ(SS_PENDING, pOtherSink->GetState());
    // No longer listed: they delete themselves now that they are final.
    pSink->DeleteLater();
    pSource->DeleteLater();

    // The skeleton is still bound for the other connection.
    SendRaw(2, 0, RMI_TYPE_METHOD, Ref(CalcID(), 1, 0), Ints({METHOD_NOTE, 0}));
    EXPECT_TRUE(Pump([&] { return s.calls == 1; }));
    EXPECT_EQ(H(0, 2), s.callerDuring);
    E(0).rmi->Unbind(&s);
}

// Messages still queued when their connection goes away (here while B
// waits in RecvMessage for another peer) are delivered afterwards with the
// dead handle; whatever they address must not touch that handle at the
// connection manager (a debug build asserts, a release build would use a
// freed connection) nor any other connection.
TEST_F(RMIManagerTest, MessagesOutlivingTheirConnectionTouchNoConnection) {
    struct Row {
        const char* name;
        DWORD type;
        std::string body;
    } rows[] = {
        {"unbound class", RMI_TYPE_METHOD, std::string(12, '\x07')},
        {"11 bytes", RMI_TYPE_METHOD, std::string(11, '\0')},
        {"no such stream", RMI_TYPE_STREAM_DATA,
         [] {
             CRemoteObjRef ref = Ref(RMI_CLASSID_NETWORKSTREAM, 3, 0);
             return std::string(reinterpret_cast<const char*>(&ref), sizeof ref) + "x";
         }()},
    };
    Start(3);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Connect(0, 1);
        HConnection dead = H(1, 0);
        SendBytes(0, 1, row.type, row.body);
        ASSERT_TRUE(nettest::WaitUntil([&] { return E(1).mm->GetUndeliveredCount() == 1; }, 5000));
        E(0).cm.Disconnect(H(0, 1), false);
        CMessage reply;
        EXPECT_FALSE(E(1).mm->RecvMessage(H(1, 2), reply, RMI_TYPE_METHOD, 1));
        ASSERT_TRUE(E(1).events.Disconnected(dead));
        size_t errors = E(1).errors.Errors().size();
        PumpFor(50);
        for (size_t i = errors; i < E(1).errors.Errors().size(); i++) {
            EXPECT_NE(dead, E(1).errors.Errors()[i].h) << "an error reported for a finished connection";
        }
        EXPECT_FALSE(E(1).events.Disconnected(H(1, 2)));
    }
}

IRemoteObject* NoProxy(HConnection) { return nullptr; }

TEST(RMIManagerDeathTest, BrokenContractsAreFatal) {
    struct Row {
        const char* name;
        std::function<void(Endpoint&)> breach;
        const char* message;
    } rows[] = {
        {"bind twice",
         [](Endpoint& e) {
             static CCalcSkeleton s;
             e.rmi->Bind(&s);
             e.rmi->Bind(&s);
         },
         "bound twice"},
        {"unknown interface", [](Endpoint& e) { e.rmi->CreateProxyInternal(nullptr, "INotRegistered", 1); },
         "no remote interface registered"},
        {"reference before setup", [](Endpoint&) { CCalcSkeleton().GetObjRef(); }, "not set up"},
        {"interface named like IStreamNode",
         [](Endpoint& e) {
             CRMIInterfaceAccessor clash("IStreamNode", NoProxy);
             CRMIManager second(e.mm.get(), nullptr);
         },
         "identifier of IStreamNode"},
        {"two interfaces of one identifier",
         [](Endpoint& e) {
             CRMIInterfaceAccessor again(kCalc, NoProxy);
             CRMIManager second(e.mm.get(), nullptr);
         },
         "share an identifier"},
        {"transmit before setup", [](Endpoint&) { CRemoteBuffer(24).Transmit(0); }, "not set up"},
        {"rate between 1 and 10",
         [](Endpoint& e) {
             static CRemoteBuffer b(24);
             e.rmi->AddRemoteBuffer(nullptr, &b);
             b.Transmit(10);
         },
         "between 1 and 10"},
        {"transmit after receiving",
         [](Endpoint& e) {
             static CRemoteBuffer b(24);
             e.rmi->AddRemoteBuffer(nullptr, &b);
             b.SetState(RB_RECEIVED);
             b.Transmit(0);
         },
         "Transmit in remote buffer state 0"},
        {"remote buffer set up again",
         [](Endpoint& e) { e.rmi->AddRemoteBuffer(nullptr, e.rmi->CreateRemoteBuffer(nullptr, 5)); },
         "set up again"},
        {"data rate of a sink",
         [](Endpoint& e) { e.rmi->CreateStream(nullptr, Ref(0, 1, 1), NST_SINK)->SetDataRate(1000); },
         "data rate for a sink"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_DEATH(
            {
                Endpoint e;
                row.breach(e);
            },
            row.message);
    }
}

}  // namespace
