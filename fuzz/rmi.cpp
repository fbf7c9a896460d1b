// libFuzzer target: application messages of types 0, 2, 3 and 4 routed by the
// remote-object layer to skeletons, remote buffers (receiving, forwarding,
// transmitting) and network streams, with owner operations, time passing and
// disconnects in between. The message layer underneath runs over a fake
// connection manager; messages are handed to the RMI manager the way the
// message layer's dispatch hands them.
//
// Input: a setup byte (securities, whether the owner keeps connections,
// buffer ids, whether the two remote buffers are bound for forwarding), then
// operations until the input ends (low nibble; the top bit picks the
// connection of a message): 0-3 deliver a message, 4 time passes and
// everything dispatches, 5 transmit the local buffer, 6 close or remove the
// local buffer, 7 disconnect the second connection, 8 bind two of the owner's
// buffers, 9 transmit one of them, 10 close, remove or close the binding of
// one, 11 disconnect the first connection, 12 choose what the owner does from
// inside its buffer observer calls, 13 end a stream or let one go.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <vector>

#include "common/src/crypto/ihash.h"
#include "common/src/datatypes/bufferednode.h"
#include "common/src/log.h"
#include "common/src/network/networkstream.h"
#include "common/src/network/remotebuffer.h"
#include "common/src/network/rmimanager.h"
#include "common/src/osutils.h"

namespace {

HConnection const kConn1 = reinterpret_cast<HConnection>(static_cast<uintptr_t>(0x1001));
HConnection const kConn2 = reinterpret_cast<HConnection>(static_cast<uintptr_t>(0x2002));

class CInput {
public:
    CInput(const uint8_t* data, size_t size) : m_p(data), m_Left(size) {}
    bool More() const { return m_Left > 0; }
    uint8_t Byte() {
        if (m_Left == 0) return 0;
        m_Left--;
        return *m_p++;
    }
    DWORD Dword() {
        DWORD v = 0;
        for (int i = 0; i < 4; i++) v |= static_cast<DWORD>(Byte()) << (8 * i);
        return v;
    }

private:
    const uint8_t* m_p;
    size_t m_Left;
};

// Drops are recorded; the real manager would close the connection, so the
// harness feeds it nothing more.
class CFakeTransport : public IConnectionManager {
public:
    void Dispatch() override {
        for (IConnectionManagerListener* p : m_Listeners) static_cast<IConnectionManagerExtendedListener*>(p)->Dispatch();
    }
    void AddListener(IConnectionManagerListener* pListener, bool) override { m_Listeners.push_back(pListener); }
    void RemoveListener(IConnectionManagerListener* pListener) override {
        for (size_t i = 0; i < m_Listeners.size(); i++) {
            if (m_Listeners[i] == pListener) m_Listeners.erase(m_Listeners.begin() + static_cast<long>(i));
        }
    }
    void SendData(HConnection hConnection, const void*, int length) override {
        if (length <= 0 || m_Gone.count(hConnection)) abort();
    }
    CString GetConnectionId(HConnection) override { return CString("1"); }
    HConnection FindConnection(CString) override { return kConn1; }
    void ClientError(HConnection hConnection, int) override {
        if (m_Gone.count(hConnection)) abort();  // a handle used after its disconnect
        m_Dropped.insert(hConnection);
    }

    std::vector<IConnectionManagerListener*> m_Listeners;
    std::set<HConnection> m_Dropped;
    std::set<HConnection> m_Gone;
};

// A skeleton: the first payload byte says what to do with the call.
class CFuzzSkeleton : public IRemoteObject {
public:
    CString GetClassName() override { return "IFuzzCalc"; }
    bool ReceivedMessage(HConnection hConnection, CMessage& message) override {
        if (GetCaller() != hConnection) abort();
        switch (message.ReadByte() % 3) {
            case 0:
                return false;
            case 1: {
                CRemoteObjRef ref = GetObjRef();
                CMessage reply(RMI_TYPE_METHOD);
                reply.WriteData(&ref, sizeof ref);
                reply.WriteData(message.Ptr(), message.RemainingLength());
                GetMessageManager()->SendMessage(hConnection, reply);
                return true;
            }
            default:
                return true;
        }
    }
};

class COwner : public IRMIManagerCallback, public IRemoteBufferCallback {
public:
    bool HandleRMIError(HConnection, RMIException_t& exception) override {
        if (exception.type < RMI_REASON_UNBOUND_CLASS || exception.type > RMI_REASON_CONFLICT) abort();
        return m_bKeep;
    }
    void RemoteBufferStart(CRemoteBuffer* pBuffer, DWORD total, DWORD) override {
        m_LastTotal = total;
        Act(pBuffer, 0);
    }
    void RemoteBufferState(CRemoteBuffer* pBuffer, RBState_t state) override {
        // A completion is reported only for a whole transfer.
        if (state == RB_RECEIVED && pBuffer->GetTransmitState() != RB_IDLE) abort();
        Act(pBuffer, 2);
    }
    void RemoteBufferProgress(CRemoteBuffer* pBuffer, DWORD received, DWORD total) override {
        // What a buffer holds is bounded by its owner, not by the peer, and
        // never more than announced.
        if (pBuffer->GetBuffer()->Length() > static_cast<int>(RB_DEFAULT_MAX_TRANSFER) + RB_MAX_CHUNK) abort();
        if (pBuffer->GetTransmitState() == RB_RECV && received > total) abort();
        Act(pBuffer, 1);
    }
    // m_Action: bits 0-1 the observer call (start, progress, state) it acts
    // in, bits 2-3 what it does there (nothing, Close, Remove, CloseBind).
    void Act(CRemoteBuffer* pBuffer, int call) {
        if ((m_Action & 3) != call) return;
        switch (m_Action >> 2 & 3) {
            case 1: pBuffer->Close(); break;
            case 2: pBuffer->Remove(); break;
            case 3: pBuffer->CloseBind(); break;
            default: break;
        }
    }

    bool m_bKeep = false;
    DWORD m_LastTotal = 0;
    uint8_t m_Action = 0;
};

// The owner lets a stream go: ended first if still pending (a pending source
// of a lost connection is the owner's to end), so it is deleted at once.
void LetGo(CNetworkStream*& p) {
    CNetworkStream* pGone = p;
    p = nullptr;
    if (pGone->GetState() == SS_PENDING) pGone->StreamEnd(SS_ERROR);
    pGone->DeleteLater();
}

// A node that, when its stream ends, lets another stream go (an owner that
// tidies up one stream from another's end).
class CTidyNode : public CBufferedNode {
public:
    void StreamEnd(StreamState_t state) override {
        CBufferedNode::StreamEnd(state);
        if (m_pVictim && *m_pVictim) LetGo(*m_pVictim);
    }
    CNetworkStream** m_pVictim = nullptr;
};

void Run(CInput& in) {
    CFakeTransport transport;
    COwner owner;
    CMessageManager* pMessages = new CMessageManager(&transport, false, false, 65536);
    CRMIManager* pRMI = new CRMIManager(pMessages, &owner);
    pMessages->ClientConnect(kConn1);
    pMessages->ClientConnect(kConn2);

    uint8_t setup = in.Byte();
    owner.m_bKeep = setup & 1;
    if (setup & 2) pRMI->DisableSecurity();
    CFuzzSkeleton skeletons[2];
    for (CFuzzSkeleton& s : skeletons) pRMI->Bind(&s);
    if (setup & 4) skeletons[0].DisableSecurity();
    skeletons[1].AllowAccess(kConn1);

    CRemoteBuffer local(24);
    local.SetCallback(&owner);
    pRMI->AddRemoteBuffer(kConn1, &local);
    const char data[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    CBuffer content;
    for (int i = 0; i < 40; i++) content.WriteData(data, static_cast<int>(sizeof data - 1));
    local.SetBuffer(content);
    CRemoteBuffer* pRemote1 = pRMI->CreateRemoteBuffer(kConn1, 1 + (setup >> 4 & 3));
    CRemoteBuffer* pRemote2 = pRMI->CreateRemoteBuffer(kConn2, 1);
    pRemote1->SetCallback(&owner);
    pRemote2->SetCallback(&owner);
    if (setup & 8) pRemote1->SetMaxTransferSize(4096);
    if (setup & 0x40) pRemote1->Bind(pRemote2);  // forwarding from connection 1 to 2

    // The owner's further buffers: two on the second connection, for binding.
    CRemoteBuffer locals[2] = {CRemoteBuffer(24), CRemoteBuffer(24)};
    CRemoteBuffer* owned[3] = {&local, &locals[0], &locals[1]};
    for (CRemoteBuffer& b : locals) {
        b.SetCallback(&owner);
        pRMI->AddRemoteBuffer(kConn2, &b);
        b.SetBuffer(content);
    }

    CBufferedNode node;
    CRemoteObjRef sinkRef = CRemoteObjRef();
    sinkRef.instanceID = 5;
    sinkRef.isRemote = 1;
    CNetworkStream* pSink = pRMI->CreateStream(kConn1, sinkRef, NST_SINK);
    pSink->StreamConnect(&node);
    CNetworkStream* pSink2 = pRMI->CreateStream(kConn2, sinkRef, NST_SINK);
    // Streams the owner may end or let go, and a sink whose end lets the
    // next one go: all of the first connection. Null once let go.
    CRemoteObjRef ref6 = CRemoteObjRef();
    ref6.instanceID = 6;
    ref6.isRemote = 1;
    CNetworkStream* kept[3] = {pRMI->CreateStream(kConn1, ref6, NST_SINK),
                               pRMI->CreateStream(kConn1, pRMI->CreateObjRef(), NST_SOURCE),
                               pRMI->CreateStream(kConn1, ref6, NST_SINK)};
    CTidyNode tidy;
    tidy.m_pVictim = &kept[1];
    kept[0]->StreamConnect(&tidy);

    const DWORD classes[4] = {CStringCRC("IFuzzCalc"), RMI_CLASSID_REMOTEBUFFER, RMI_CLASSID_NETWORKSTREAM, 0};
    const DWORD types[4] = {RMI_TYPE_METHOD, RMI_TYPE_BUFFER, RMI_TYPE_STREAM_DATA, RMI_TYPE_STREAM_END};
    bool conn1Gone = false, conn2Gone = false;
    int ops = 0;
    while (in.More() && ops++ < 256) {
        uint8_t op = in.Byte();
        HConnection h = (op & 0x80) && !conn2Gone ? kConn2 : kConn1;
        if (h == kConn1 && conn1Gone) h = conn2Gone ? nullptr : kConn2;
        switch (op & 15) {
            case 0:
            case 1:
            case 2:
            case 3: {
                if (!h || transport.m_Dropped.count(h)) break;
                uint8_t shape = in.Byte();
                CMessage msg(types[op & 3]);
                CRemoteObjRef ref = CRemoteObjRef();
                ref.classID = (shape & 3) == 3 ? in.Dword() : classes[shape & 3];
                ref.instanceID = (shape >> 2) & 7;
                ref.isRemote = (shape >> 5) & 1;
                int refBytes = (shape & 0x40) ? in.Byte() % 13 : 12;  // sometimes cut short
                msg.WriteData(&ref, refBytes);
                if (shape & 0x80) {
                    // A total as the first message of a transfer announces it.
                    DWORD totals[4] = {0, 100, 5000, 0xFFFFFFF0u};
                    msg.WriteInt(static_cast<int>(totals[in.Byte() & 3]));
                }
                int length = in.Byte() % 64;
                for (int i = 0; i < length; i++) msg.WriteByte(in.Byte());
                pRMI->ReceivedMessage(h, msg);
                break;
            }
            case 4:
                OS_TestAdvanceTickCount(100u * in.Byte());
                transport.Dispatch();
                break;
            case 5: {
                int rates[3] = {0, 11, 1000};
                int rate = rates[in.Byte() % 3];
                if (local.IsSetUp() && (local.GetState() == RB_PENDING || local.GetState() == RB_TIMEOUT)) {
                    local.Transmit(rate);
                }
                break;
            }
            case 6:
                if (in.Byte() & 1) {
                    local.Close();
                } else {
                    local.Remove();
                }
                break;
            case 7:
                if (conn2Gone) break;
                // As the connection manager reports it: to each listener.
                pMessages->ClientDisconnect(kConn2, true, 0x10000001);
                pRMI->ClientDisconnect(kConn2, true, 0x10000001);
                transport.m_Gone.insert(kConn2);
                conn2Gone = true;
                pSink2->DeleteLater();  // no longer listed: the owner lets it go
                break;
            case 8: {
                uint8_t pick = in.Byte();
                CRemoteBuffer* a = owned[pick % 3];
                CRemoteBuffer* b = owned[pick / 3 % 3];
                if (a->IsSetUp() && b->IsSetUp()) a->Bind(b);
                break;
            }
            case 9: {
                uint8_t pick = in.Byte();
                CRemoteBuffer* b = owned[pick % 3];
                RBState_t state = b->GetState();
                if (b->IsSetUp() && (state == RB_PENDING || state == RB_TIMEOUT)) b->Transmit(pick & 0x80 ? 11 : 0);
                break;
            }
            case 10: {
                uint8_t pick = in.Byte();
                CRemoteBuffer* b = owned[pick % 3];
                switch (pick / 3 % 3) {
                    case 0: b->Close(); break;
                    case 1: b->Remove(); break;
                    default: b->CloseBind(); break;
                }
                break;
            }
            case 11:
                if (conn1Gone) break;
                pMessages->ClientDisconnect(kConn1, true, 0x10000001);
                pRMI->ClientDisconnect(kConn1, true, 0x10000001);
                transport.m_Gone.insert(kConn1);
                conn1Gone = true;
                break;
            case 12:
                owner.m_Action = in.Byte();
                break;
            case 13: {
                uint8_t pick = in.Byte();
                CNetworkStream*& p = kept[pick % 3];
                if (!p) break;
                if (pick & 0x10) {
                    p->StreamEnd(pick & 0x20 ? SS_EOS : SS_ERROR);
                } else {
                    LetGo(p);
                }
                break;
            }
        }
    }
    // Streams no longer listed are the owner's to let go; listed ones go
    // with the manager.
    if (conn1Gone) {
        pSink->DeleteLater();
        for (CNetworkStream*& p : kept) {
            if (p) LetGo(p);
        }
    }
    delete pRMI;
    for (CFuzzSkeleton& s : skeletons) {
        if (s.IsSetUp()) abort();  // the manager's end unbinds its skeletons
    }
    delete pMessages;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool s_Ready = false;
    if (!s_Ready) {
        Log_SetLevel(-1);
        OS_Init(nullptr);
        s_Ready = true;
    }
    CInput in(data, size);
    Run(in);
    return 0;
}
