// Remote buffers between loopback endpoints: chunking of a transfer,
// throttling in virtual time, time-outs, conflicts, forwarding through a
// middle endpoint, Close during a transfer, disconnects, WaitForData and
// the limit on what a peer may announce.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>

#include "common/src/network/remotebuffer.h"
#include "tests/common/src/network/rmitest.h"

using namespace rmitest;

namespace {

// Records the observer calls as text, and the contents at RB_RECEIVED.
class BufferLog : public IRemoteBufferCallback {
public:
    void RemoteBufferStart(CRemoteBuffer*, DWORD total, DWORD received) override {
        events.push_back("start " + std::to_string(total) + " " + std::to_string(received));
    }
    void RemoteBufferState(CRemoteBuffer* pBuffer, RBState_t state) override {
        events.push_back("state " + std::to_string(state));
        CBuffer* p = pBuffer->GetBuffer();
        if (state == RB_RECEIVED) contents.assign(static_cast<const char*>(p->Data()), p->Length());
    }
    void RemoteBufferProgress(CRemoteBuffer*, DWORD received, DWORD total) override {
        events.push_back("progress " + std::to_string(received) + " " + std::to_string(total));
    }
    bool Received() const { return !events.empty() && events.back() == "state 0"; }

    std::vector<std::string> events;
    std::string contents;
};

// An owner done with a buffer once its transfer completed: it closes the
// buffer from the observer call itself.
class ClosingLog : public BufferLog {
public:
    void RemoteBufferState(CRemoteBuffer* pBuffer, RBState_t state) override {
        BufferLog::RemoteBufferState(pBuffer, state);
        if (state == RB_RECEIVED) pBuffer->Close();
    }
};

class RemoteBufferTest : public RMITest {
protected:
    // The receiving end at `at` of the buffer id of its peer `from`.
    CRemoteBuffer* Receiver(int at, int from, DWORD id, BufferLog* pLog) {
        CRemoteBuffer* p = E(at).rmi->CreateRemoteBuffer(H(at, from), id);
        p->SetCallback(pLog);
        return p;
    }
    static void Fill(CRemoteBuffer& b, const std::string& data) {
        CBuffer content;
        content.WriteData(data.data(), static_cast<int>(data.size()));
        b.SetBuffer(content);
    }
    int Sent(int i, int j) { return E(i).cm.GetDataSent(H(i, j)); }
    // A type-2 message from i's view of j's buffer id (j's RB_REMOTE
    // buffers answer isRemote 0, its RB_LOCAL ones isRemote 1).
    void SendChunk(int i, int j, DWORD id, BYTE isRemote, const std::string& payload) {
        SendRaw(i, j, RMI_TYPE_BUFFER, Ref(RMI_CLASSID_REMOTEBUFFER, id, isRemote), payload);
    }
};

// Wire bytes of one message with a body of n bytes.
int Wire(int n) { return 24 + (n + 7) / 8 * 8; }

TEST_F(RemoteBufferTest, TransmitAtOnceSendsMessagesOfAtMost10485744Bytes) {
    struct Row {
        int size;
        std::vector<int> progress;
        int wire;
        bool fromRemote;  // B's RB_REMOTE buffer sends to A's RB_LOCAL one
    } rows[] = {
        {0, {0}, Wire(16), false},
        {70000, {70000}, Wire(16 + 70000), true},
        {25000000, {10485744, 20971488, 25000000}, Wire(16 + 10485744) + Wire(12 + 10485744) + Wire(12 + 4028512),
         false},
    };
    Start(2);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.size);
        std::string data = Pattern(row.size);
        CRemoteBuffer local(24);
        E(0).rmi->AddRemoteBuffer(H(0, 1), &local);
        EXPECT_EQ(RB_LOCAL, local.GetType());
        BufferLog log;
        CRemoteBuffer* pRemote = E(1).rmi->CreateRemoteBuffer(H(1, 0), local.GetID());
        EXPECT_EQ(RB_REMOTE, pRemote->GetType());
        CRemoteBuffer* pFrom = row.fromRemote ? pRemote : &local;
        CRemoteBuffer* pTo = row.fromRemote ? &local : pRemote;
        int from = row.fromRemote ? 1 : 0;
        Fill(*pFrom, data);
        pTo->SetCallback(&log);
        pTo->SetTimeout(600);  // a slow sanitizer build must not time it out
        int before = Sent(from, 1 - from);
        pFrom->Transmit(0);
        EXPECT_EQ(row.wire, Sent(from, 1 - from) - before);
        EXPECT_EQ(RB_SENT, pFrom->GetState());
        EXPECT_EQ(RB_IDLE, pFrom->GetTransmitState());
        ASSERT_TRUE(Pump([&] { return pTo->GetState() != RB_PENDING; }, 120000));
        std::vector<std::string> expected = {"start " + std::to_string(row.size) + " 0"};
        for (int p : row.progress) expected.push_back("progress " + std::to_string(p) + " " + std::to_string(row.size));
        expected.push_back("state 0");
        EXPECT_EQ(expected, log.events);
        EXPECT_EQ(RB_RECEIVED, pTo->GetState());
        EXPECT_TRUE(log.contents == data) << "contents differ";
        EXPECT_TRUE(E(0).errors.Codes().empty());
        EXPECT_TRUE(E(1).errors.Codes().empty());
    }
}

// 1000 bytes/s: 100 bytes at once, then whatever the elapsed time is worth
// at the next dispatch at least 100 ms later.
TEST_F(RemoteBufferTest, ThrottledTransmitSendsInProportionToElapsedTime) {
    Start(2);
    std::string data = Pattern(1000);
    CRemoteBuffer local(24);
    E(0).rmi->AddRemoteBuffer(H(0, 1), &local);
    Fill(local, data);
    BufferLog log;
    Receiver(1, 0, local.GetID(), &log);
    int before = Sent(0, 1);
    unsigned int t0 = OS_GetTickCount();
    local.Transmit(1000);
    EXPECT_EQ(Wire(16 + 100), Sent(0, 1) - before);
    EXPECT_EQ(RB_PENDING, local.GetState());
    EXPECT_EQ(RB_TRANSMIT, local.GetTransmitState());
    OS_TestAdvanceTickCount(60);
    E(0).Dispatch();
    if (OS_GetTickCount() - t0 < 100) {
        EXPECT_EQ(Wire(16 + 100), Sent(0, 1) - before) << "sent before 100 ms";
    }
    ASSERT_TRUE(Pump([&] { return log.events.size() == 2; }, 5000, {1}));

    OS_TestAdvanceTickCount(190);
    E(0).Dispatch();
    unsigned int t2 = OS_GetTickCount();
    ASSERT_TRUE(Pump([&] { return log.events.size() == 3; }, 5000, {1}));
    int second = std::stoi(log.events[2].substr(9)) - 100;
    EXPECT_GE(second, 250);
    EXPECT_LE(second, static_cast<int>(t2 - t0)) << "more than the elapsed time is worth";
    EXPECT_EQ(Wire(16 + 100) + Wire(12 + second), Sent(0, 1) - before);

    OS_TestAdvanceTickCount(1000);
    E(0).Dispatch();
    EXPECT_EQ(RB_SENT, local.GetState());
    EXPECT_EQ(RB_IDLE, local.GetTransmitState());
    ASSERT_TRUE(Pump([&] { return log.Received(); }, 5000, {1}));
    EXPECT_EQ("progress 1000 1000", log.events[3]);
    EXPECT_TRUE(log.contents == data);
}

TEST_F(RemoteBufferTest, UnfedBuffersTimeOutAtTheFirstDispatchAfterTheirTimeOut) {
    Start(2);
    CRemoteBuffer* pRemote = E(1).rmi->CreateRemoteBuffer(H(1, 0), 99);
    CRemoteBuffer local(5);
    E(1).rmi->AddRemoteBuffer(H(1, 0), &local);
    struct Row {
        CRemoteBuffer* p;
        unsigned int seconds;
    } rows[] = {{&local, 5}, {pRemote, 24}};
    unsigned int elapsed = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.seconds);
        OS_TestAdvanceTickCount(row.seconds * 1000 - 1000 - elapsed);
        E(1).Dispatch();
        EXPECT_EQ(RB_PENDING, row.p->GetState());
        OS_TestAdvanceTickCount(1000);
        elapsed = row.seconds * 1000;
        E(1).Dispatch();
        EXPECT_EQ(RB_TIMEOUT, row.p->GetState());
    }
    // A timed-out buffer ignores what still arrives for it.
    E(1).errors.handled = true;
    SendChunk(0, 1, 99, 0, Ints({8}) + "12345678");
    PumpFor(200);
    EXPECT_TRUE(E(1).errors.Codes().empty());
    EXPECT_EQ(0, pRemote->GetBuffer()->Length());
    EXPECT_FALSE(E(1).events.Disconnected(H(1, 0)));
    // A timed-out buffer may transmit.
    E(0).errors.handled = true;  // A has no receiving end
    Fill(local, "abc");
    local.Transmit(0);
    EXPECT_EQ(RB_SENT, local.GetState());
}

// Remove takes a bound partner along (deleting an RB_REMOTE one);
// CloseBind only unlinks it first.
TEST_F(RemoteBufferTest, RemoveTakesTheBoundPartnerAlongCloseBindDoesNot) {
    Start(3);
    CRemoteBuffer relay1(24), relay2(24);
    E(1).rmi->AddRemoteBuffer(H(1, 2), &relay1);
    E(1).rmi->AddRemoteBuffer(H(1, 2), &relay2);
    CRemoteBuffer* pIn1 = E(1).rmi->CreateRemoteBuffer(H(1, 0), 11);
    CRemoteBuffer* pIn2 = E(1).rmi->CreateRemoteBuffer(H(1, 0), 12);
    pIn1->Bind(&relay1);
    pIn2->Bind(&relay2);
    relay1.Remove();
    EXPECT_FALSE(relay1.IsSetUp());
    EXPECT_EQ(RB_TIMEOUT, relay1.GetState());  // it was pending
    EXPECT_FALSE(E(1).rmi->RemoveRemoteBuffer(pIn1));  // deleted with it (not dereferenced)
    relay2.CloseBind();
    EXPECT_FALSE(relay2.IsSetUp());
    EXPECT_EQ(RB_TIMEOUT, relay2.GetState());
    EXPECT_TRUE(E(1).rmi->RemoveRemoteBuffer(pIn2));  // still listed: deleted now
    EXPECT_TRUE(E(1).errors.Codes().empty());
}

TEST_F(RemoteBufferTest, ConflictsAreReportedWith0x30000005) {
    Start(3);
    E(0).errors.handled = true;  // A has no receiving end for what busy sends
    E(1).errors.handled = true;
    CRemoteBuffer busy(24), idle(24), other(24);
    E(1).rmi->AddRemoteBuffer(H(1, 0), &busy);
    E(1).rmi->AddRemoteBuffer(H(1, 2), &idle);
    Fill(busy, Pattern(5000));
    busy.Transmit(1000);
    busy.Bind(&idle);  // both buffers report, nothing is linked
    std::vector<RecordingRMICallback::Error> errors = E(1).errors.Errors();
    ASSERT_EQ(2u, errors.size());
    EXPECT_EQ(RMI_REASON_CONFLICT, errors[0].type);
    EXPECT_EQ(H(1, 0), errors[0].h);
    EXPECT_EQ(busy.GetID(), errors[0].ref.instanceID);
    EXPECT_EQ(RMI_CLASSID_REMOTEBUFFER, errors[0].ref.classID);
    EXPECT_EQ("CRemoteBuffer", errors[0].className);
    EXPECT_EQ(RMI_REASON_CONFLICT, errors[1].type);
    EXPECT_EQ(H(1, 2), errors[1].h);
    EXPECT_EQ(idle.GetID(), errors[1].ref.instanceID);
    EXPECT_EQ(RB_TRANSMIT, busy.GetTransmitState());
    EXPECT_EQ(RB_IDLE, idle.GetTransmitState());

    // A transmitting buffer that is sent a transfer reports and ignores it.
    SendChunk(0, 1, busy.GetID(), 1, Ints({4}) + "abcd");
    ASSERT_TRUE(Pump([&] { return E(1).errors.Codes().size() == 3; }, 5000, {1}));
    EXPECT_EQ(RMI_REASON_CONFLICT, E(1).errors.Codes()[2]);
    // Transmit again while transmitting: reported, and it starts over.
    busy.Transmit(0);
    EXPECT_EQ(RMI_REASON_CONFLICT, E(1).errors.Codes().at(3));
    EXPECT_EQ(RB_SENT, busy.GetState());

    // Unhandled, a conflict ends the connections concerned.
    E(1).errors.handled = false;
    E(1).rmi->AddRemoteBuffer(H(1, 0), &other);
    Fill(other, Pattern(5000));
    other.Transmit(1000);
    idle.Bind(&other);
    EXPECT_EQ(RMI_REASON_CONFLICT, AwaitDisconnect(1, 0));
    EXPECT_EQ(RMI_REASON_CONFLICT, AwaitDisconnect(1, 2));
}

// A -> B -> C: B's receiving end of A's buffer is bound to B's local buffer
// on the B-C connection, whose receiving end at C gets the transfer.
TEST_F(RemoteBufferTest, ForwardingThroughAMiddleEndpointStoresNothing) {
    Start(3);
    std::string data = Pattern(3000, 7);
    CRemoteBuffer source(24), relay(24);
    E(0).rmi->AddRemoteBuffer(H(0, 1), &source);
    E(1).rmi->AddRemoteBuffer(H(1, 2), &relay);
    BufferLog middle, last;
    CRemoteBuffer* pIn = Receiver(1, 0, source.GetID(), &middle);
    pIn->Bind(&relay);
    EXPECT_EQ(RB_FORWARD, pIn->GetTransmitState());
    EXPECT_EQ(RB_FORWARD, relay.GetTransmitState());
    CRemoteBuffer* pOut = Receiver(2, 1, relay.GetID(), &last);
    Fill(source, data);
    source.Transmit(1000);
    for (int step = 0; step < 6 && !last.Received(); step++) {
        OS_TestAdvanceTickCount(1000);
        Pump([&] { return last.Received(); }, 300);
    }
    ASSERT_TRUE(last.Received());
    EXPECT_TRUE(last.contents == data);
    EXPECT_EQ("start 3000 0", last.events[0]);
    EXPECT_GE(last.events.size(), 4u);  // several messages were forwarded
    EXPECT_EQ("start 3000 100", middle.events.at(0));
    EXPECT_EQ("progress 3000 3000", middle.events.at(middle.events.size() - 2));
    EXPECT_EQ("state 0", middle.events.back());
    EXPECT_EQ(0, pIn->GetBuffer()->Length());
    EXPECT_EQ(0, relay.GetBuffer()->Length());
    EXPECT_EQ(RB_RECEIVED, pOut->GetState());
    EXPECT_TRUE(E(1).errors.Codes().empty());
    EXPECT_TRUE(E(2).errors.Codes().empty());
}

TEST_F(RemoteBufferTest, CloseDuringATransferTakesEffectWhenItEnds) {
    Start(2);
    std::string data = Pattern(300);
    CRemoteBuffer local(24), spare(24);
    E(0).rmi->AddRemoteBuffer(H(0, 1), &local);
    E(0).rmi->AddRemoteBuffer(H(0, 1), &spare);
    spare.Close();  // idle: at once
    EXPECT_FALSE(spare.IsSetUp());
    EXPECT_FALSE(E(0).rmi->RemoveRemoteBuffer(&spare));

    Fill(local, data);
    BufferLog log;
    CRemoteBuffer* pRemote = Receiver(1, 0, local.GetID(), &log);
    local.Transmit(1000);
    ASSERT_TRUE(Pump([&] { return log.events.size() == 2; }, 5000, {1}));
    pRemote->Close();
    local.Close();
    EXPECT_TRUE(local.IsSetUp());
    EXPECT_TRUE(pRemote->IsSetUp());
    EXPECT_EQ(RB_TRANSMIT, local.GetTransmitState());
    OS_TestAdvanceTickCount(1000);
    ASSERT_TRUE(Pump([&] { return log.Received(); }));
    EXPECT_TRUE(log.contents == data);
    EXPECT_EQ(RB_SENT, local.GetState());
    EXPECT_FALSE(local.IsSetUp());
    EXPECT_FALSE(E(0).rmi->RemoveRemoteBuffer(&local));
    EXPECT_FALSE(E(1).rmi->RemoveRemoteBuffer(pRemote));  // deleted (not dereferenced)
    EXPECT_TRUE(E(1).errors.Codes().empty());
}

TEST_F(RemoteBufferTest, WaitForDataReturnsOnDataTimeOutAndDisconnect) {
    Start(3);
    auto timed = [](CRemoteBuffer* p) {
        auto start = std::chrono::steady_clock::now();
        p->WaitForData();
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
            .count();
    };
    // Data: sent all at once before B waits.
    CRemoteBuffer local(24);
    E(0).rmi->AddRemoteBuffer(H(0, 1), &local);
    std::string data = Pattern(500);
    Fill(local, data);
    BufferLog log;
    CRemoteBuffer* pRemote = Receiver(1, 0, local.GetID(), &log);
    local.Transmit(0);
    EXPECT_LT(timed(pRemote), 3000);
    EXPECT_EQ(RB_RECEIVED, pRemote->GetState());
    EXPECT_TRUE(log.contents == data);

    // Time-out: the waiting loop dispatches the RMI manager's timers.
    CRemoteBuffer* pLate = E(1).rmi->CreateRemoteBuffer(H(1, 2), 42);
    OS_TestAdvanceTickCount(24000);
    EXPECT_LT(timed(pLate), 4000);
    EXPECT_EQ(RB_TIMEOUT, pLate->GetState());

    // Disconnect: an RB_LOCAL buffer ends RB_TIMEOUT, an RB_REMOTE one is
    // deleted while it is being waited on.
    CRemoteBuffer waiting(24);
    E(1).rmi->AddRemoteBuffer(H(1, 2), &waiting);
    E(2).cm.Disconnect(H(2, 1), false);
    EXPECT_LT(timed(&waiting), 4000);
    EXPECT_EQ(RB_TIMEOUT, waiting.GetState());
    CRemoteBuffer* pDoomed = E(1).rmi->CreateRemoteBuffer(H(1, 0), 43);
    E(0).cm.Disconnect(H(0, 1), false);
    EXPECT_LT(timed(pDoomed), 4000);
    EXPECT_FALSE(E(1).rmi->RemoveRemoteBuffer(pDoomed));
}

TEST_F(RemoteBufferTest, TheOwnerMayCloseABufferWhenItsTransferCompletes) {
    Start(2);
    std::string data = Pattern(500);
    CRemoteBuffer local(24);
    E(0).rmi->AddRemoteBuffer(H(0, 1), &local);
    Fill(local, data);
    ClosingLog log;
    CRemoteBuffer* pRemote = Receiver(1, 0, local.GetID(), &log);
    local.Transmit(0);
    ASSERT_TRUE(Pump([&] { return log.Received(); }));
    PumpFor(20);
    EXPECT_TRUE(log.contents == data);
    EXPECT_FALSE(E(1).rmi->RemoveRemoteBuffer(pRemote));  // deleted (not dereferenced)
    EXPECT_TRUE(E(1).errors.Codes().empty());
}

// An announced total above the buffer's limit is refused at the first
// message, before anything is stored; so is a transfer that overruns the
// total it announced, or one sent to a buffer that already received.
TEST_F(RemoteBufferTest, TransfersBeyondTheLimitOrTheirTotalAreRefused) {
    const DWORD kDefault = RB_DEFAULT_MAX_TRANSFER;
    EXPECT_EQ(268435456u, kDefault);
    struct Row {
        const char* name;
        DWORD limit;  // 0: the default
        std::vector<std::string> chunks;
        bool refused;
        int stored;
        bool started;
    } rows[] = {
        {"at the limit", 1000, {Ints({1000}) + Pattern(64)}, false, 64, true},
        {"one above the limit", 1000, {Ints({1001}) + Pattern(64)}, true, 0, false},
        {"at the default", 0, {Ints({static_cast<int>(kDefault)}) + Pattern(64)}, false, 64, true},
        {"above the default", 0, {Ints({static_cast<int>(kDefault + 1)}) + Pattern(64)}, true, 0, false},
        {"4 GiB less 1", 0, {Ints({-1}) + Pattern(64)}, true, 0, false},
        {"overrun in a later message", 0, {Ints({10}) + Pattern(6), Pattern(6)}, true, 6, true},
        {"overrun in the first message", 0, {Ints({10}) + Pattern(20)}, true, 0, false},
        {"after completion", 0, {Ints({4}) + Pattern(4), Pattern(4)}, true, 4, true},
    };
    Start(2);
    E(1).errors.handled = true;
    DWORD id = 500;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        BufferLog log;
        CRemoteBuffer* p = Receiver(1, 0, ++id, &log);
        if (row.limit) p->SetMaxTransferSize(row.limit);
        size_t errors = E(1).errors.Codes().size();
        for (const std::string& chunk : row.chunks) SendChunk(0, 1, id, 0, chunk);
        ASSERT_TRUE(Pump([&] {
            return E(1).errors.Codes().size() > errors || (!row.refused && log.events.size() > row.chunks.size());
        }));
        PumpFor(20);
        if (row.refused) {
            ASSERT_EQ(errors + 1, E(1).errors.Codes().size());
            EXPECT_EQ(RMI_REASON_MALFORMED, E(1).errors.Codes().back());
        } else {
            EXPECT_EQ(errors, E(1).errors.Codes().size());
        }
        EXPECT_EQ(row.stored, p->GetBuffer()->Length());
        EXPECT_EQ(row.started, !log.events.empty() && log.events[0].compare(0, 5, "start") == 0);
        E(1).rmi->RemoveRemoteBuffer(p);
    }

    // The same through a real transfer, unhandled: the connection ends.
    E(1).errors.handled = false;
    CRemoteBuffer local(24);
    E(0).rmi->AddRemoteBuffer(H(0, 1), &local);
    Fill(local, Pattern(2000));
    BufferLog log;
    CRemoteBuffer* p = Receiver(1, 0, local.GetID(), &log);
    p->SetMaxTransferSize(1999);
    local.Transmit(0);
    EXPECT_EQ(RMI_REASON_MALFORMED, AwaitDisconnect(1, 0));
    EXPECT_TRUE(log.events.empty());
}

// An owner that ends a transfer from inside one of its observer calls (its
// own RB_LOCAL buffer: removed, not deleted) ends it there: nothing more is
// stored or reported, nothing is refused, and no completion is made up from
// the counters that the removal reset.
class EndingLog : public BufferLog {
public:
    enum Hook { ON_START, ON_PROGRESS } hook = ON_START;
    bool closeBind = false;
    void RemoteBufferStart(CRemoteBuffer* p, DWORD total, DWORD received) override {
        BufferLog::RemoteBufferStart(p, total, received);
        if (hook == ON_START) End(p);
    }
    void RemoteBufferProgress(CRemoteBuffer* p, DWORD received, DWORD total) override {
        BufferLog::RemoteBufferProgress(p, received, total);
        if (hook == ON_PROGRESS) End(p);
    }
    void End(CRemoteBuffer* p) { closeBind ? p->CloseBind() : p->Remove(); }
};

TEST_F(RemoteBufferTest, AnOwnerEndingTheTransferFromItsObserverEndsIt) {
    struct Row {
        EndingLog::Hook hook;
        bool closeBind;
        std::vector<std::string> events;
    } rows[] = {
        {EndingLog::ON_START, false, {"start 16 0"}},
        {EndingLog::ON_START, true, {"start 16 0"}},
        {EndingLog::ON_PROGRESS, false, {"start 16 0", "progress 4 16"}},
        {EndingLog::ON_PROGRESS, true, {"start 16 0", "progress 4 16"}},
    };
    Start(2);
    E(1).errors.handled = true;  // later chunks find no instance
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.hook << " " << row.closeBind);
        CRemoteBuffer local(24);
        E(1).rmi->AddRemoteBuffer(H(1, 0), &local);
        EndingLog log;
        log.hook = row.hook;
        log.closeBind = row.closeBind;
        local.SetCallback(&log);
        size_t errors = E(1).errors.Codes().size();
        SendChunk(0, 1, local.GetID(), 1, Ints({16}) + Pattern(4));
        ASSERT_TRUE(Pump([&] { return log.events.size() >= row.events.size(); }));
        SendChunk(0, 1, local.GetID(), 1, Pattern(12));
        ASSERT_TRUE(Pump([&] { return E(1).errors.Codes().size() > errors; }));
        EXPECT_EQ(RMI_REASON_NO_INSTANCE, E(1).errors.Codes().back());
        EXPECT_EQ(errors + 1, E(1).errors.Codes().size());  // nothing refused before
        EXPECT_EQ(row.events, log.events);
        EXPECT_FALSE(local.IsSetUp());
        EXPECT_NE(RB_RECEIVED, local.GetState());
    }
}

// A Transmit that conflicts with a binding leaves the buffer linked; binding
// it again is refused, so the old partner never points at a buffer that is
// gone.
TEST_F(RemoteBufferTest, ABufferStillLinkedIsNotBoundAgain) {
    Start(3);
    E(1).errors.handled = true;
    CRemoteBuffer* pIn = E(1).rmi->CreateRemoteBuffer(H(1, 0), 77);
    CRemoteBuffer partner(24);
    E(1).rmi->AddRemoteBuffer(H(1, 2), &partner);
    {
        CRemoteBuffer a(24);
        E(1).rmi->AddRemoteBuffer(H(1, 2), &a);
        a.Bind(pIn);
        Fill(a, Pattern(10));
        a.Transmit(0);  // conflict: it was forwarding
        EXPECT_EQ(RB_IDLE, a.GetTransmitState());
        a.Bind(&partner);
        EXPECT_EQ((std::vector<int>{RMI_REASON_CONFLICT, RMI_REASON_CONFLICT, RMI_REASON_CONFLICT}),
                  E(1).errors.Codes());
        EXPECT_EQ(RB_IDLE, partner.GetTransmitState());
    }  // a goes, taking its one partner pIn along
    EXPECT_FALSE(E(1).rmi->RemoveRemoteBuffer(pIn));  // deleted (not dereferenced)
    partner.Remove();                                  // touches nothing of a
    EXPECT_FALSE(partner.IsSetUp());
}

}  // namespace
