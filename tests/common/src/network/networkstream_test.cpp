// Network streams between loopback endpoints: chunking of unthrottled and
// throttled sources (virtual time), the end after the last data, stream-end
// messages crafted by the peer, sink time-outs, disconnects and DeleteLater.
#include <gtest/gtest.h>

#include <string>

#include "common/src/datatypes/bufferednode.h"
#include "common/src/network/networkstream.h"
#include "tests/common/src/network/nettest.h"
#include "tests/common/src/network/rmitest.h"

using namespace rmitest;

namespace {

// Records what reaches it: one entry per StreamData (its size) and per
// StreamEnd (its state, negated).
class NodeLog : public IStreamNode {
public:
    void StreamData(const CBuffer& buff) override { events.push_back(buff.RemainingLength()); }
    void StreamEnd(StreamState_t state) override { events.push_back(-static_cast<int>(state)); }
    void StreamConnect(IStreamNode*) override {}
    StreamState_t GetState() override { return Ended() ? static_cast<StreamState_t>(-events.back()) : SS_PENDING; }
    void DeleteLater() override {}
    bool Ended() const { return !events.empty() && events.back() <= 0; }
    std::vector<int> Sizes() const {
        std::vector<int> sizes;
        for (int e : events) {
            if (e > 0) sizes.push_back(e);
        }
        return sizes;
    }
    std::vector<int> events;
};

// A source at one endpoint, its sink at the other, and the sink's pipeline:
// sink -> buffered -> log.
struct Pipe {
    CNetworkStream* pSource = nullptr;
    CNetworkStream* pSink = nullptr;
    CBufferedNode buffered;
    NodeLog log;
    std::string Received() const {
        return std::string(static_cast<const char*>(buffered.Data()), static_cast<size_t>(buffered.Length()));
    }
};

class NetworkStreamTest : public RMITest {
protected:
    void Open(Pipe& pipe, int from = 0, int to = 1) {
        CRemoteObjRef ref = E(from).rmi->CreateObjRef();
        pipe.pSource = E(from).rmi->CreateStream(H(from, to), ref, NST_SOURCE);
        pipe.pSink = E(to).rmi->CreateStream(H(to, from), Ref(0, ref.instanceID, 1), NST_SINK);
        pipe.pSink->StreamConnect(&pipe.buffered);
        pipe.buffered.StreamConnect(&pipe.log);
    }
    static void Feed(IStreamNode* pNode, const std::string& data) {
        CBuffer buff;
        buff.WriteData(data.data(), static_cast<int>(data.size()));
        pNode->StreamData(buff);
    }
    // A message from i to j's sink (isRemote 0) or source (1) instance.
    void ToStream(int i, int j, DWORD type, DWORD instance, BYTE isRemote, const std::string& payload) {
        SendRaw(i, j, type, Ref(RMI_CLASSID_NETWORKSTREAM, instance, isRemote), payload);
    }
    int Sent(int i, int j) { return E(i).cm.GetDataSent(H(i, j)); }
};

int Wire(int n) { return 24 + (n + 7) / 8 * 8; }

TEST_F(NetworkStreamTest, UnthrottledSourceSendsAtMost10485748BytesPerMessage) {
    struct Row {
        int size;
        std::vector<int> sizes;
    } rows[] = {
        {5, {5}},
        {25000000, {10485748, 10485748, 4028504}},
    };
    Start(2);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.size);
        Pipe pipe;
        Open(pipe);
        pipe.pSink->SetTimeout(600);  // a slow sanitizer build must not time it out
        CBufferedNode tap;
        pipe.pSource->StreamConnect(&tap);
        std::string data = Pattern(row.size, 3);
        EXPECT_EQ(RMI_CLASSID_NETWORKSTREAM, pipe.pSink->GetObjRef().classID);
        EXPECT_EQ(0, pipe.pSource->GetObjRef().isRemote);
        int before = Sent(0, 1), back = Sent(1, 0);
        Feed(pipe.pSource, data);
        int wire = 0;
        for (int n : row.sizes) wire += Wire(12 + n);
        EXPECT_EQ(wire, Sent(0, 1) - before);
        EXPECT_EQ(row.size, tap.Length());  // the source's own nodes see the data first
        pipe.pSource->StreamEnd(SS_EOS);
        EXPECT_EQ(wire + Wire(16), Sent(0, 1) - before);
        EXPECT_EQ(SS_EOS, pipe.pSource->GetState());
        EXPECT_EQ(SS_EOS, tap.GetState());
        ASSERT_TRUE(Pump([&] { return pipe.log.Ended(); }, 120000));
        std::vector<int> expected = row.sizes;
        expected.push_back(-SS_EOS);
        EXPECT_EQ(expected, pipe.log.events);
        EXPECT_TRUE(pipe.Received() == data) << "contents differ";
        EXPECT_EQ(SS_EOS, pipe.pSink->GetState());
        EXPECT_EQ(SS_EOS, pipe.buffered.GetState());
        EXPECT_EQ(back, Sent(1, 0));  // a sink sends nothing back
        EXPECT_TRUE(E(1).errors.Codes().empty());
        E(0).rmi->DestroyStream(pipe.pSource);
        E(1).rmi->DestroyStream(pipe.pSink);
    }
}

// The budget grows with virtual time; chunks fill whole cipher blocks with
// the reference (12 + size a multiple of 8) except the last one, and the
// end goes out only after it. Rates below 1000 bytes/s send too.
TEST_F(NetworkStreamTest, ThrottledSourceSendsItsEndAfterItsLastData) {
    struct Row {
        unsigned int rate;
        int size;
        unsigned int stepMs;
    } rows[] = {{500, 2000, 1000}, {10000, 20000, 500}, {1000000, 300000, 100}};
    Start(2);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.rate);
        Pipe pipe;
        Open(pipe);
        pipe.pSource->SetDataRate(row.rate);
        std::string data = Pattern(row.size, 5);
        int before = Sent(0, 1);
        Feed(pipe.pSource, data);
        EXPECT_EQ(row.size, pipe.pSource->GetQueuedBytes());
        pipe.pSource->StreamEnd(SS_EOS);
        EXPECT_EQ(SS_PENDING, pipe.pSource->GetState());  // the end waits for the data
        EXPECT_EQ(0, Sent(0, 1) - before);
        for (int step = 0; step < 100 && !pipe.log.Ended(); step++) {
            OS_TestAdvanceTickCount(row.stepMs);
            Pump([&] { return pipe.log.Ended(); }, 20);
        }
        ASSERT_TRUE(Pump([&] { return pipe.log.Ended(); }));
        EXPECT_EQ(SS_EOS, pipe.pSource->GetState());
        EXPECT_EQ(-SS_EOS, pipe.log.events.back());
        std::vector<int> sizes = pipe.log.Sizes();
        EXPECT_EQ(sizes.size() + 1, pipe.log.events.size()) << "an end before the last data";
        ASSERT_GE(sizes.size(), 2u);
        for (size_t i = 0; i + 1 < sizes.size(); i++) {
            EXPECT_EQ(0, (12 + sizes[i]) % 8) << "chunk " << i << " of " << sizes[i];
            EXPECT_GT(sizes[i], 300);  // at least the threshold less the overhead
        }
        EXPECT_TRUE(pipe.Received() == data);
        EXPECT_EQ(0, pipe.pSource->GetQueuedBytes());
        E(0).rmi->DestroyStream(pipe.pSource);
        E(1).rmi->DestroyStream(pipe.pSink);
    }
    // An error end does not wait: it goes out at once, the queue never.
    Pipe pipe;
    Open(pipe);
    pipe.pSource->SetDataRate(10000);
    Feed(pipe.pSource, Pattern(20000));
    int before = Sent(0, 1);
    pipe.pSource->StreamEnd(SS_ERROR);
    EXPECT_EQ(Wire(16), Sent(0, 1) - before);
    EXPECT_EQ(SS_ERROR, pipe.pSource->GetState());
    OS_TestAdvanceTickCount(1000);
    ASSERT_TRUE(Pump([&] { return pipe.log.Ended(); }));
    PumpFor(20);
    EXPECT_EQ(std::vector<int>{-SS_ERROR}, pipe.log.events);
    EXPECT_EQ(Wire(16), Sent(0, 1) - before);
}

// What a peer may send to a stream, one fresh sink (or source) per row.
TEST_F(NetworkStreamTest, StreamMessagesFromThePeer) {
    struct Msg {
        DWORD type;
        std::string payload;
    };
    struct Row {
        const char* name;
        bool toSource;
        std::vector<Msg> msgs;
        StreamState_t state;  // the stream's state afterwards
        std::vector<int> events;
        int rejected;  // 0x30000003 reports
    } rows[] = {
        {"end 3", false, {{4, Ints({3})}}, SS_EOS, {-SS_EOS}, 0},
        {"end 2", false, {{4, Ints({2})}}, SS_ERROR, {-SS_ERROR}, 0},
        {"end 7", false, {{4, Ints({7})}}, SS_ERROR, {-SS_ERROR}, 0},
        {"end 1", false, {{4, Ints({1})}}, SS_ERROR, {-SS_ERROR}, 0},
        {"data then end", false, {{3, "abc"}, {3, "de"}, {4, Ints({3})}}, SS_EOS, {3, 2, -SS_EOS}, 0},
        {"end with a trailing byte", false, {{4, Ints({3}) + "x"}}, SS_PENDING, {}, 1},
        {"end of 2 bytes", false, {{4, std::string("\x03\x00", 2)}}, SS_PENDING, {}, 1},
        {"data after the end", false, {{4, Ints({3})}, {3, "late"}}, SS_EOS, {-SS_EOS}, 1},
        {"second end", false, {{4, Ints({2})}, {4, Ints({3})}}, SS_ERROR, {-SS_ERROR}, 1},
        {"method type", false, {{0, "abcd"}}, SS_PENDING, {}, 1},
        {"buffer type", false, {{2, "abcd"}}, SS_PENDING, {}, 1},
        {"data to a source", true, {{3, "abcd"}}, SS_PENDING, {}, 1},
        {"end to a source", true, {{4, Ints({3})}}, SS_PENDING, {}, 1},
    };
    Start(2);
    E(1).errors.handled = true;
    nettest::LogCapture capture;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Pipe pipe;
        Open(pipe, row.toSource ? 1 : 0, row.toSource ? 0 : 1);
        CNetworkStream* pTarget = row.toSource ? pipe.pSource : pipe.pSink;
        DWORD instance = pTarget->GetObjRef().instanceID;
        size_t errors = E(1).errors.Codes().size();
        for (const Msg& m : row.msgs) ToStream(0, 1, m.type, instance, row.toSource ? 1 : 0, m.payload);
        // The last message of every row either ends the stream or is refused.
        ASSERT_TRUE(Pump([&] {
            return E(1).errors.Codes().size() >= errors + static_cast<size_t>(row.rejected) &&
                   pipe.log.events.size() >= row.events.size();
        }));
        PumpFor(20);
        EXPECT_EQ(row.state, pTarget->GetState());
        if (!row.toSource) {
            EXPECT_EQ(row.events, pipe.log.events);
        }
        std::vector<int> codes = E(1).errors.Codes();
        ASSERT_EQ(errors + static_cast<size_t>(row.rejected), codes.size());
        if (row.rejected) {
            EXPECT_EQ(RMI_REASON_MALFORMED, codes.back());
            EXPECT_EQ("CNetworkStream", E(1).errors.Errors().back().className);
        }
        E(0).rmi->DestroyStream(row.toSource ? pipe.pSink : pipe.pSource);
        E(1).rmi->DestroyStream(pTarget);
    }
    EXPECT_EQ(2, capture.Count("CNetworkStream: Invalid message type"));
    EXPECT_FALSE(E(1).events.Disconnected(H(1, 0)));
}

TEST_F(NetworkStreamTest, SinksNotEndedInTimeEndWithTimeOutThoughDataKeepComing) {
    Start(2);
    E(1).errors.handled = true;
    Pipe standard, quick;
    Open(standard);
    Open(quick);
    quick.pSink->SetTimeout(5);
    struct Step {
        unsigned int advanceMs;
        StreamState_t standard, quick;
    } steps[] = {{4000, SS_PENDING, SS_PENDING}, {1000, SS_PENDING, SS_TIMEOUT},
                 {14000, SS_PENDING, SS_TIMEOUT}, {1000, SS_TIMEOUT, SS_TIMEOUT}};
    for (const Step& step : steps) {
        int before = static_cast<int>(standard.log.events.size());
        Feed(standard.pSource, "more");
        ASSERT_TRUE(Pump([&] { return static_cast<int>(standard.log.events.size()) > before; }));
        OS_TestAdvanceTickCount(step.advanceMs);
        E(1).Dispatch();  // the first dispatch after the time-out ends it
        EXPECT_EQ(step.standard, standard.pSink->GetState());
        EXPECT_EQ(step.quick, quick.pSink->GetState());
    }
    EXPECT_EQ(-SS_TIMEOUT, standard.log.events.back());
    EXPECT_EQ(std::vector<int>{-SS_TIMEOUT}, quick.log.events);
    EXPECT_EQ(SS_TIMEOUT, standard.buffered.GetState());
    EXPECT_EQ("moremoremoremore", standard.Received());
    // What still comes is refused.
    Feed(standard.pSource, "late");
    ASSERT_TRUE(Pump([&] { return !E(1).errors.Codes().empty(); }));
    EXPECT_EQ(RMI_REASON_MALFORMED, E(1).errors.Codes()[0]);
}

// A disconnect ends sinks (and their nodes) with SS_ERROR; a source stays
// pending until its owner ends it, unless its end was already queued.
// Streams and nodes marked DeleteLater then delete themselves (ASan and
// LeakSanitizer watch this).
TEST_F(NetworkStreamTest, DisconnectEndsStreamsWithError) {
    Start(2);
    Pipe in, doomed, out, queued;
    Open(in, 0, 1);
    Open(doomed, 0, 1);
    Open(out, 1, 0);
    Open(queued, 1, 0);
    CBufferedNode* pNode = new CBufferedNode();
    doomed.pSink->StreamConnect(pNode);
    pNode->DeleteLater();  // pending: not yet
    doomed.pSink->DeleteLater();
    queued.pSource->SetDataRate(1000);
    Feed(queued.pSource, Pattern(5000));
    queued.pSource->StreamEnd(SS_EOS);
    EXPECT_EQ(SS_PENDING, queued.pSource->GetState());
    queued.pSource->DeleteLater();
    Feed(in.pSource, "abc");
    ASSERT_TRUE(Pump([&] { return in.log.events.size() == 1; }));

    E(0).cm.Disconnect(H(0, 1), false);
    ASSERT_NE(0, AwaitDisconnect(1, 0));
    EXPECT_EQ(SS_ERROR, in.pSink->GetState());
    EXPECT_EQ((std::vector<int>{3, -SS_ERROR}), in.log.events);
    EXPECT_EQ(SS_ERROR, in.buffered.GetState());
    EXPECT_EQ(std::vector<int>{-SS_ERROR}, doomed.log.events);  // then the sink and pNode went
    EXPECT_EQ(SS_PENDING, out.pSource->GetState());
    Feed(out.pSource, "ignored");
    out.pSource->StreamEnd(SS_EOS);
    EXPECT_EQ(SS_ERROR, out.pSource->GetState());
    Feed(in.pSink, "ignored");
    EXPECT_EQ(3, in.buffered.Length());
    // No longer listed at B: each deletes itself once final and released.
    in.pSink->DeleteLater();
    out.pSource->DeleteLater();
    out.pSink->DeleteLater();  // at A, still pending and listed: its own disconnect ends it
    ASSERT_TRUE(Pump([&] { return E(0).events.Disconnected(H(0, 1)); }));
    in.pSource->StreamEnd(SS_EOS);
    EXPECT_EQ(SS_ERROR, in.pSource->GetState());
    in.pSource->DeleteLater();
    doomed.pSource->StreamEnd(SS_EOS);
    doomed.pSource->DeleteLater();
    queued.pSink->DeleteLater();
}

// DeleteLater on a final stream deletes it at once, on a pending one when it
// ends; afterwards its instance is gone (0x30000002), while a final stream
// that is kept refuses messages (0x30000003).
TEST_F(NetworkStreamTest, DeleteLaterDeletesFinalStreams) {
    Start(2);
    E(0).errors.handled = true;
    E(1).errors.handled = true;
    CBufferedNode* pDone = new CBufferedNode();
    pDone->StreamEnd(SS_EOS);
    pDone->DeleteLater();  // at once (LeakSanitizer would see it otherwise)

    Pipe ended, pending, throttled, kept;
    Open(ended);
    Open(pending);
    Open(throttled);
    Open(kept);
    // A source and its sink share the instance number.
    DWORD endedId = ended.pSink->GetObjRef().instanceID, pendingId = pending.pSink->GetObjRef().instanceID,
          throttledId = throttled.pSink->GetObjRef().instanceID, keptId = kept.pSink->GetObjRef().instanceID;
    ended.pSource->StreamEnd(SS_EOS);
    ASSERT_TRUE(Pump([&] { return ended.log.Ended(); }));
    ended.pSink->DeleteLater();
    ended.pSource->DeleteLater();
    pending.pSink->DeleteLater();          // goes when its end arrives
    pending.pSource->StreamEnd(SS_ERROR);
    pending.pSource->DeleteLater();
    throttled.pSource->SetDataRate(100000);
    Feed(throttled.pSource, Pattern(3000));
    throttled.pSource->StreamEnd(SS_EOS);
    throttled.pSource->DeleteLater();      // goes once its end has been sent
    for (int step = 0; step < 20 && !(pending.log.Ended() && throttled.log.Ended()); step++) {
        OS_TestAdvanceTickCount(100);
        Pump([&] { return pending.log.Ended() && throttled.log.Ended(); }, 20);
    }
    ASSERT_TRUE(Pump([&] { return pending.log.Ended() && throttled.log.Ended(); }));
    EXPECT_EQ(-SS_ERROR, pending.log.events.back());
    EXPECT_EQ(-SS_EOS, throttled.log.events.back());
    EXPECT_EQ(3000, throttled.buffered.Length());

    struct Row {
        int from, to;  // sinks live at 1, sources at 0
        DWORD instance;
        int code;      // 0: accepted
    } rows[] = {
        {0, 1, endedId, RMI_REASON_NO_INSTANCE},      {0, 1, pendingId, RMI_REASON_NO_INSTANCE},
        {0, 1, throttledId, RMI_REASON_MALFORMED},    {0, 1, keptId, 0},
        {1, 0, endedId, RMI_REASON_NO_INSTANCE},      {1, 0, pendingId, RMI_REASON_NO_INSTANCE},
        {1, 0, throttledId, RMI_REASON_NO_INSTANCE},  {1, 0, keptId, RMI_REASON_MALFORMED},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.from << "->" << row.to << " instance " << row.instance);
        size_t before = E(row.to).errors.Codes().size();
        size_t data = kept.log.events.size();
        ToStream(row.from, row.to, RMI_TYPE_STREAM_DATA, row.instance, row.to == 0 ? 1 : 0, "x");
        ASSERT_TRUE(Pump([&] { return E(row.to).errors.Codes().size() > before || kept.log.events.size() > data; }));
        if (row.code == 0) {
            EXPECT_EQ(before, E(row.to).errors.Codes().size());
        } else {
            EXPECT_EQ(row.code, E(row.to).errors.Codes().back());
        }
    }
    EXPECT_EQ(SS_PENDING, kept.pSink->GetState());
}

// A sink's node may, when the disconnect ends the sink, delete another
// stream of the same connection that ended earlier and is still to be told
// of the disconnect: that stream is not touched again.
TEST_F(NetworkStreamTest, DisconnectSurvivesNodesDeletingOtherStreams) {
    class Deleter : public NodeLog {
    public:
        void StreamEnd(StreamState_t state) override {
            NodeLog::StreamEnd(state);
            if (*ppVictim) (*ppVictim)->DeleteLater();
            *ppVictim = nullptr;
        }
        CNetworkStream** ppVictim = nullptr;
    };
    Start(2);
    Pipe first, ended, last;
    Open(first);
    Open(ended);
    Open(last);
    CNetworkStream* pVictim = nullptr;  // shared: the first sink told deletes it
    Deleter deleter[2];
    deleter[0].ppVictim = deleter[1].ppVictim = &pVictim;
    first.pSink->StreamConnect(&deleter[0]);
    last.pSink->StreamConnect(&deleter[1]);
    ended.pSource->StreamEnd(SS_EOS);
    ASSERT_TRUE(Pump([&] { return ended.log.Ended(); }));
    // The sink told first deletes the ended one, listed after it.
    pVictim = ended.pSink;
    E(0).cm.Disconnect(H(0, 1), false);
    ASSERT_NE(0, AwaitDisconnect(1, 0));
    EXPECT_EQ(std::vector<int>{-SS_ERROR}, deleter[0].events);
    EXPECT_EQ(std::vector<int>{-SS_ERROR}, deleter[1].events);
    first.pSink->DeleteLater();
    last.pSink->DeleteLater();
    ASSERT_TRUE(Pump([&] { return E(0).events.Disconnected(H(0, 1)); }));
    for (Pipe* p : {&first, &ended, &last}) {
        p->pSource->StreamEnd(SS_EOS);  // disconnected: ends with SS_ERROR
        p->pSource->DeleteLater();
    }
}

}  // namespace
