// The message layer against a raw peer that builds every record byte by
// byte: corrupted, replayed and oversized records, the bytes a message costs
// on the wire, fragmented input, version-511 bodies, packet sizes, the
// handshake, keep-alive and ping timers in virtual time, and the bound on
// undelivered input.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/common/src/network/mmpeer.h"
#include "tests/support/waitfor.h"

using mmpeer::BodyOf;
using mmpeer::Cat;
using mmpeer::Endpoint;
using mmpeer::FlipBit;
using mmpeer::Le32;
using mmpeer::Msg;
using mmpeer::Pad;
using mmpeer::Pattern;
using mmpeer::Peer;
using mmpeer::Received;
using mmpeer::Ref;

namespace {

const DWORD kApp = 7;
const DWORD kUnhooked = 99;

// A manager hosting one raw peer; its application type kApp is hooked.
class MessageManagerRawTest : public ::testing::Test {
protected:
    explicit MessageManagerRawTest(bool retryConnect = false, bool pingEnabled = false, unsigned int packetSize = 4096)
        : end(retryConnect, pingEnabled, packetSize) {}

    void SetUp() override {
        h = end.AcceptRaw(&peer);
        ASSERT_NE(nullptr, h);
        end.Hook({kApp});
    }
    // The peer's handshake, and the manager's side of it completed.
    void Connect(DWORD version = MM_VERSION_CURRENT) {
        ASSERT_TRUE(peer->Handshake(version)) << peer->error;
        ASSERT_TRUE(nettest::PumpUntil(end.mgr, [&] { return end.Connected(h); }, 5000));
    }
    void Deliver(size_t count) {
        ASSERT_TRUE(nettest::PumpUntil(end.mgr, [&] { return end.inbox.MessageCount() >= count; }, 10000));
    }
    Received Read() {
        Received r;
        EXPECT_TRUE(peer->ReadMessage(&r, 10000)) << peer->error;
        return r;
    }

    std::unique_ptr<Peer> peer;  // closed after the endpoint is shut down
    Endpoint end;
    HConnection h = nullptr;
};

struct FaultCase {
    const char* name;
    bool afterHandshake;  // the peer has completed its handshake first
    std::function<std::string(Peer&)> bytes;
    int reason;
    bool atDispatch;  // found when delivering, not when receiving
};

std::string Flipped(std::string bytes, size_t bit) {
    FlipBit(&bytes, bit);
    return bytes;
}

const FaultCase kFaults[] = {
    {"FirstNegotiateFlipped", false, [](Peer& p) { return Flipped(p.NegotiateBytes(512, 1), 77); },
     MM_REASON_CHECKSUM, false},
    {"LaterNegotiateFlipped", false,
     [](Peer& p) { return Cat({p.NegotiateBytes(512, 0), Flipped(p.NegotiateBytes(512, 1), 150)}); }, MM_REASON_CHECKSUM,
     false},
    {"ConnectFlipped", false, [](Peer& p) { return Cat({p.NegotiateBytes(512, 1), Flipped(p.ConnectBytes(), 5)}); },
     MM_REASON_CHECKSUM, false},
    {"HeaderFlipped", true, [](Peer& p) { return Flipped(p.MessageBytes(kApp, "hello world"), 100); },
     MM_REASON_CHECKSUM, false},
    {"BodyFlipped", true, [](Peer& p) { return Flipped(p.MessageBytes(kApp, "hello world"), 24 * 8 + 67); },
     MM_REASON_CHECKSUM, false},
    {"ControlRecordFlipped", true, [](Peer& p) { return Flipped(p.ControlBytes(MM_TYPE_PING_REQUEST), 180); },
     MM_REASON_CHECKSUM, false},
    {"ControlBodyChecksumWrong", true,
     [](Peer& p) {
         // The header checksum is right, the one over the empty body is not.
         MMHeader_t rec = mmpeer::Header(MM_TYPE_KEEPALIVE, 0, p.seqLocal++, std::string());
         rec.crcBody ^= 0x10;
         rec.crcHeader = mmpeer::HeaderChecksum(rec);
         return p.Seal(rec);
     },
     MM_REASON_CHECKSUM, false},
    {"NegotiateReplayed", false,
     [](Peer& p) {
         std::string first = p.NegotiateBytes(512, 0);
         p.seqLocal--;
         return first + p.NegotiateBytes(512, 1);
     },
     MM_REASON_SEQUENCE, false},
    {"NegotiateSkipped", false,
     [](Peer& p) {
         std::string first = p.NegotiateBytes(512, 0);
         p.seqLocal++;
         return first + p.NegotiateBytes(512, 1);
     },
     MM_REASON_SEQUENCE, false},
    {"ConnectReplayed", false,
     [](Peer& p) {
         std::string first = p.NegotiateBytes(512, 1);
         p.seqLocal--;
         return first + p.ConnectBytes();
     },
     MM_REASON_SEQUENCE, false},
    {"HeaderReplayed", true,
     [](Peer& p) {
         std::string first = p.MessageBytes(kApp, "one");
         p.seqLocal--;
         return first + p.MessageBytes(kApp, "two");
     },
     MM_REASON_SEQUENCE, false},
    {"HeaderSkipped", true,
     [](Peer& p) {
         p.seqLocal++;
         return p.MessageBytes(kApp, "one");
     },
     MM_REASON_SEQUENCE, false},
    {"ControlReplayed", true,
     [](Peer& p) {
         std::string first = p.ControlBytes(MM_TYPE_KEEPALIVE);
         p.seqLocal--;
         return first + p.ControlBytes(MM_TYPE_KEEPALIVE);
     },
     MM_REASON_SEQUENCE, false},
    // The header alone: no body byte follows it.
    {"SizeAboveLimit", true, [](Peer& p) { return p.HeaderBytes(kApp, MM_MAX_MESSAGE_SIZE + 1, std::string()); },
     MM_REASON_SIZE, false},
    {"UnhookedType", true, [](Peer& p) { return p.MessageBytes(kUnhooked, "x"); }, MM_REASON_UNHOOKED, true},
};

class MessageManagerFaultTest : public MessageManagerRawTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(MessageManagerFaultTest, EndsTheConnectionWithItsReason) {
    const FaultCase& c = GetParam();
    if (c.afterHandshake) {
        ASSERT_NO_FATAL_FAILURE(Connect());
    }
    ASSERT_TRUE(peer->Write(c.bytes(*peer)));
    if (c.atDispatch) {
        ASSERT_TRUE(WaitFor([&] { return end.mm->GetUndeliveredCount() == 1; }, 5000));
        EXPECT_TRUE(end.mgr.ErrorsFor(h).empty()) << "reported before delivery";
    } else {
        // The receiving socket thread finds it, without any dispatch.
        EXPECT_TRUE(WaitFor([&] { return !end.mgr.ErrorsFor(h).empty(); }, 5000));
    }
    EXPECT_EQ(c.reason, end.AwaitDisconnect(h));
    EXPECT_EQ(std::vector<int>{c.reason}, end.mgr.ErrorsFor(h));
}

INSTANTIATE_TEST_SUITE_P(Faults, MessageManagerFaultTest, ::testing::ValuesIn(kFaults),
                         [](const ::testing::TestParamInfo<FaultCase>& param) { return param.param.name; });

TEST_F(MessageManagerRawTest, FirstNegotiateSetsTheSequenceAnywhere) {
    peer->seqLocal = 1000;
    ASSERT_NO_FATAL_FAILURE(Connect());
    ASSERT_TRUE(peer->Write(peer->MessageBytes(kApp, "counted from 1000")));
    Deliver(1);
    EXPECT_EQ("counted from 1000", end.inbox.Messages()[0].body);
    EXPECT_TRUE(end.mgr.ErrorsFor(h).empty());
}

TEST_F(MessageManagerRawTest, BodiesArePaddedToBlocksAndArriveAtTheirLength) {
    ASSERT_NO_FATAL_FAILURE(Connect());
    end.mgr.ClearBlocks();
    CMessage five = Msg(kApp, "abcde");
    CMessage empty(kApp + 1);
    end.mm->SendMessage(h, five);
    end.mm->SendMessage(h, empty);
    EXPECT_EQ(5, five.Length());
    EXPECT_EQ("abcde", BodyOf(five));
    EXPECT_EQ(0, empty.Length());
    EXPECT_EQ((std::vector<int>{32, 24}), end.mgr.Blocks(h));

    size_t wire = 0;
    Received r;
    ASSERT_TRUE(peer->ReadMessage(&r, 5000, &wire)) << peer->error;
    EXPECT_EQ(32u, wire);
    EXPECT_EQ(5u, r.header.size);
    EXPECT_EQ(kApp, r.header.type);
    EXPECT_EQ(std::string("abcde\0\0\0", 8), r.padded);
    // The next header follows at once: the first message took 32 bytes.
    ASSERT_TRUE(peer->ReadMessage(&r, 5000, &wire)) << peer->error;
    EXPECT_EQ(24u, wire);
    EXPECT_EQ(0u, r.header.size);
    EXPECT_EQ(kApp + 1, r.header.type);
    EXPECT_TRUE(peer->Quiet(100));

    end.Hook({kApp + 1});
    std::string in = peer->MessageBytes(kApp, "vwxyz");
    std::string bare = peer->MessageBytes(kApp + 1, "");
    EXPECT_EQ(32u, in.size());
    EXPECT_EQ(24u, bare.size());
    ASSERT_TRUE(peer->Write(in + bare));
    Deliver(2);
    auto got = end.inbox.Messages();
    EXPECT_EQ("vwxyz", got[0].body);
    EXPECT_EQ(kApp, got[0].type);
    EXPECT_EQ("", got[1].body);
    EXPECT_EQ(kApp + 1, got[1].type);
}

class MessageManagerChunkTest : public MessageManagerRawTest, public ::testing::WithParamInterface<size_t> {};

TEST_P(MessageManagerChunkTest, InputInAnyPiecesIsReassembled) {
    size_t chunk = GetParam();
    ASSERT_TRUE(peer->Write(Cat({peer->NegotiateBytes(512, 1), peer->ConnectBytes()}), chunk, 200));
    ASSERT_TRUE(peer->ReadSetup()) << peer->error;
    std::string big = Pattern(1001, 9);
    ASSERT_TRUE(peer->Write(Cat({peer->MessageBytes(kApp, big), peer->ControlBytes(MM_TYPE_KEEPALIVE),
                                 peer->MessageBytes(kApp, ""), peer->MessageBytes(kApp, "xyz")}),
                            chunk, 100));
    Deliver(3);
    auto got = end.inbox.Messages();
    EXPECT_EQ(big, got[0].body);
    EXPECT_EQ("", got[1].body);
    EXPECT_EQ("xyz", got[2].body);
    EXPECT_TRUE(end.mgr.ErrorsFor(h).empty());
}

INSTANTIATE_TEST_SUITE_P(Sizes, MessageManagerChunkTest, ::testing::Values(1, 3, 8, 23, 25, 1000));

// One body in both formats; a case applies to the directions it names.
struct OldCase {
    DWORD type;
    std::string current;
    std::string old;
    bool toOldPeer;    // the manager sends current, the peer reads old
    bool fromOldPeer;  // the peer sends old, the manager delivers current
};

TEST_F(MessageManagerRawTest, Version511BodiesAreConvertedBothWays) {
    const std::string remote("\x98"), local("\xF3"), zero4(4, '\0');
    const OldCase cases[] = {
        {2, Ref(MM_OLD_TYPE2_CLASSID, 0x55667788, true) + "xyz", Le32(0x55667788) + remote + "xyz", true, true},
        {2, Ref(MM_OLD_TYPE2_CLASSID, 0x01020304, false) + "tail", Le32(0x01020304) + local + "tail", true, true},
        {3, Ref(0x11223344, 0x55667788, false) + "rest", Le32(0x11223344) + Le32(0x55667788) + "rest", true, true},
        {0, Ref(0xA, 0xB, false), Le32(0xA) + Le32(0xB), true, true},
        {2, Ref(0x11223344, 9, true), Le32(9) + remote, true, false},
        {3, Ref(1, 2, true) + "r", Le32(1) + Le32(2) + "r", true, false},
        // Shorter than a reference: a reference of zeros, then the body.
        {2, "abc", zero4 + local + "abc", true, false},
        {7, "abc", zero4 + zero4 + "abc", true, false},
        {2, "", zero4 + local, true, false},
        // A flag byte other than 0x98 means not remote; missing bytes are 0.
        {2, Ref(MM_OLD_TYPE2_CLASSID, 5, false) + "z", Le32(5) + "\x42" + "z", false, true},
        {2, Ref(MM_OLD_TYPE2_CLASSID, 5, false), Le32(5), false, true},
        {2, Ref(MM_OLD_TYPE2_CLASSID, 0x0201, false), std::string("\x01\x02"), false, true},
        {7, Ref(0xAA, 0x0201, false), Le32(0xAA) + "\x01\x02", false, true},
        {7, Ref(0, 0, false), "", false, true},
        {2, Ref(MM_OLD_TYPE2_CLASSID, 0, false), "", false, true},
    };
    ASSERT_NO_FATAL_FAILURE(Connect(511));
    end.Hook({0, 2, 3, 7});
    size_t delivered = 0;
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); i++) {
        const OldCase& c = cases[i];
        SCOPED_TRACE("case " + std::to_string(i));
        if (c.toOldPeer) {
            CMessage msg = Msg(c.type, c.current);
            end.mm->SendMessage(h, msg);
            EXPECT_EQ(c.current, BodyOf(msg));
            Received r = Read();
            EXPECT_EQ(c.type, r.header.type);
            EXPECT_EQ(c.old, r.body);
        }
        if (c.fromOldPeer) {
            ASSERT_TRUE(peer->Write(peer->MessageBytes(c.type, c.old)));
            Deliver(++delivered);
            EXPECT_EQ(c.type, end.inbox.Messages().back().type);
            EXPECT_EQ(c.current, end.inbox.Messages().back().body);
        }
    }
    EXPECT_TRUE(end.mgr.ErrorsFor(h).empty());
}

TEST_F(MessageManagerRawTest, Version511BodyConvertedPastTheLimitEndsTheConnection) {
    ASSERT_NO_FATAL_FAILURE(Connect(511));
    end.Hook({2});
    // instanceID and flag become a 12-byte reference: 7 bytes more.
    std::string fits = Le32(77) + "\x98" + Pattern(MM_MAX_MESSAGE_SIZE - 7 - 5, 1);
    ASSERT_TRUE(peer->Write(peer->MessageBytes(2, fits)));
    Deliver(1);
    std::string got = end.inbox.Messages()[0].body;
    ASSERT_EQ(MM_MAX_MESSAGE_SIZE, got.size());
    EXPECT_EQ(Ref(MM_OLD_TYPE2_CLASSID, 77, true), got.substr(0, 12));
    EXPECT_TRUE(got.compare(12, std::string::npos, fits, 5, std::string::npos) == 0);
    got.clear();

    ASSERT_TRUE(peer->Write(peer->MessageBytes(2, std::string(MM_MAX_MESSAGE_SIZE - 6, 'q'))));
    EXPECT_EQ(MM_REASON_SIZE, end.AwaitDisconnect(h, 20000));
    EXPECT_EQ(std::vector<int>{MM_REASON_SIZE}, end.mgr.ErrorsFor(h));
    EXPECT_EQ(1u, end.inbox.MessageCount());
}

TEST_F(MessageManagerRawTest, LargestBodyTravelsIntactBothWays) {
    ASSERT_NO_FATAL_FAILURE(Connect());
    std::string in = Pattern(MM_MAX_MESSAGE_SIZE, 2);
    ASSERT_TRUE(peer->Write(peer->MessageBytes(kApp, in)));
    Deliver(1);
    EXPECT_TRUE(end.inbox.Messages()[0].body == in);

    CMessage out = Msg(kApp, Pattern(MM_MAX_MESSAGE_SIZE, 4));
    end.mm->SendMessage(h, out);
    EXPECT_EQ(static_cast<int>(MM_MAX_MESSAGE_SIZE), out.Length());
    Received r = Read();
    EXPECT_EQ(MM_MAX_MESSAGE_SIZE, r.header.size);
    EXPECT_TRUE(r.body == BodyOf(out));
    EXPECT_TRUE(end.mgr.ErrorsFor(h).empty());
}

TEST(MessageManagerPacketSize, ChangesOnlyTheBlocksHandedToTheTransport) {
    const unsigned int sizes[][2] = {{32, 32}, {39, 32}, {4096, 4096}, {MM_MAX_MESSAGE_SIZE + 7, MM_MAX_MESSAGE_SIZE}};
    const std::string body = Pattern(100013, 5);
    const int padded = 100016;
    std::string first;
    for (const auto& size : sizes) {
        SCOPED_TRACE("packet size " + std::to_string(size[0]));
        const int packet = static_cast<int>(size[1]);
        Endpoint end(false, false, size[0]);
        std::unique_ptr<Peer> peer;
        HConnection h = end.AcceptRaw(&peer);
        ASSERT_NE(nullptr, h);
        ASSERT_TRUE(peer->Handshake()) << peer->error;
        ASSERT_TRUE(nettest::PumpUntil(end.mgr, [&] { return end.Connected(h); }, 5000));
        end.mgr.ClearBlocks();
        CMessage msg = Msg(2, body);
        end.mm->SendMessage(h, msg);
        CMessage small = Msg(2, "tiny");
        end.mm->SendMessage(h, small);

        std::vector<int> want{std::min(24 + padded, packet)};
        for (int left = padded - (want[0] - 24); left > 0; left -= packet) want.push_back(std::min(left, packet));
        want.push_back(32);
        EXPECT_EQ(want, end.mgr.Blocks(h));

        // The deciphered stream, less the random field and the checksums
        // that cover it, is the same for every packet size.
        std::string stream;
        for (int i = 0; i < 2; i++) {
            Received r;
            ASSERT_TRUE(peer->ReadMessage(&r, 5000)) << peer->error;
            stream += Le32(r.header.size) + Le32(r.header.type) + Le32(r.header.sequenceNumber) + r.padded;
        }
        EXPECT_TRUE(stream.find(body) != std::string::npos);
        if (first.empty()) first = stream;
        EXPECT_TRUE(stream == first);
    }
}

class MessageManagerTimeoutTest : public ::testing::TestWithParam<bool> {};

TEST_P(MessageManagerTimeoutTest, SilentPeerIsDroppedInTheNinetiethSecond) {
    bool retry = GetParam();
    Endpoint end(retry, false);
    std::unique_ptr<Peer> peer;
    HConnection h = end.AcceptRaw(&peer);
    ASSERT_NE(nullptr, h);
    MMNegotiateMessage_t rec;
    ASSERT_TRUE(peer->ReadNegotiate(&rec)) << peer->error;
    EXPECT_EQ(retry ? 0u : 1u, rec.isLast);
    for (int second = 1; second <= 89; second++) {
        end.Tick(1000);
        if (retry) {
            // One more negotiate record every second, still not the last.
            ASSERT_TRUE(peer->ReadNegotiate(&rec, 2000)) << "second " << second << ": " << peer->error;
            EXPECT_EQ(0u, rec.isLast);
        }
    }
    EXPECT_TRUE(peer->Quiet(50));
    EXPECT_TRUE(end.mgr.ErrorsFor(h).empty());
    EXPECT_EQ(STATUS_SETUP, end.mm->GetStatus(h));
    end.Tick(1000);
    EXPECT_EQ(std::vector<int>{MM_REASON_HANDSHAKE_TIMEOUT}, end.mgr.ErrorsFor(h));
    EXPECT_EQ(MM_REASON_HANDSHAKE_TIMEOUT, end.AwaitDisconnect(h));
}

INSTANTIATE_TEST_SUITE_P(Retry, MessageManagerTimeoutTest, ::testing::Bool());

TEST_F(MessageManagerRawTest, KeepAliveAfter300IdleSeconds) {
    ASSERT_NO_FATAL_FAILURE(Connect());
    end.Tick(299000);
    EXPECT_TRUE(peer->Quiet(100));
    // Received data restarts the idle time.
    ASSERT_TRUE(peer->Write(peer->MessageBytes(kApp, "still here")));
    Deliver(1);
    end.Tick(299000);
    EXPECT_TRUE(peer->Quiet(100));
    // So does a message sent.
    CMessage msg = Msg(kApp, "me too");
    end.mm->SendMessage(h, msg);
    EXPECT_EQ("me too", Read().body);
    end.Tick(299000);
    EXPECT_TRUE(peer->Quiet(100));
    for (int i = 0; i < 2; i++) {
        end.Tick(i == 0 ? 2000 : 300000);
        size_t wire = 0;
        Received r;
        ASSERT_TRUE(peer->ReadMessage(&r, 5000, &wire)) << peer->error;
        EXPECT_EQ(MM_TYPE_KEEPALIVE, r.header.type);
        EXPECT_EQ(24u, wire);
        EXPECT_TRUE(peer->Quiet(50));
    }
    EXPECT_TRUE(end.mgr.ErrorsFor(h).empty());
}

class MessageManagerPingTest : public MessageManagerRawTest {
protected:
    MessageManagerPingTest() : MessageManagerRawTest(false, true) {}
    void ExpectPingRequest() {
        Received r = Read();
        EXPECT_EQ(MM_TYPE_PING_REQUEST, r.header.type);
        EXPECT_EQ(0u, r.header.size);
    }
    unsigned int Reply() {
        size_t before = end.inbox.PingCount();
        EXPECT_TRUE(peer->Write(peer->ControlBytes(MM_TYPE_PING_REPLY)));
        EXPECT_TRUE(nettest::PumpUntil(end.mgr, [&] { return end.inbox.PingCount() > before; }, 5000));
        return end.inbox.PingCount() > before ? end.inbox.Pings().back() : 0;
    }
};

TEST_F(MessageManagerPingTest, OnePingOutstandingAndTheNextAnIntervalAfterTheReply) {
    ASSERT_NO_FATAL_FAILURE(Connect());
    // The first request follows the handshake at once: negotiate and
    // connect were records 0 and 1.
    Received r = Read();
    EXPECT_EQ(MM_TYPE_PING_REQUEST, r.header.type);
    EXPECT_EQ(2u, r.header.sequenceNumber);
    // Unanswered, it stays the only one.
    end.Tick(25000);
    EXPECT_TRUE(peer->Quiet(100));
    unsigned int msec = Reply();
    EXPECT_GE(msec, 25000u);
    EXPECT_LT(msec, 35000u);
    // The next one an interval (20 s) after the reply.
    end.Tick(19000);
    EXPECT_TRUE(peer->Quiet(100));
    end.Tick(2000);
    ExpectPingRequest();
    EXPECT_LT(Reply(), 5000u);
    // A new interval applies to the running connection.
    end.mm->SetPingInterval(5);
    end.Tick(4000);
    EXPECT_TRUE(peer->Quiet(100));
    end.Tick(2000);
    ExpectPingRequest();
    // The peer's own request is answered at once.
    ASSERT_TRUE(peer->Write(peer->ControlBytes(MM_TYPE_PING_REQUEST)));
    EXPECT_EQ(MM_TYPE_PING_REPLY, Read().header.type);
    EXPECT_EQ(2u, end.inbox.PingCount());
    EXPECT_TRUE(end.mgr.ErrorsFor(h).empty());
}

TEST(MessageManagerRetry, NegotiatesEverySecondUntilThePeerAnswers) {
    Endpoint retrying(true, false);
    std::unique_ptr<Peer> slow;
    HConnection hr = retrying.AcceptRaw(&slow);
    ASSERT_NE(nullptr, hr);
    retrying.Hook({kApp});
    MMNegotiateMessage_t rec;
    for (int second = 0; second < 4; second++) {
        if (second > 0) retrying.Tick(1000);
        ASSERT_TRUE(slow->ReadNegotiate(&rec)) << slow->error;
        EXPECT_EQ(0u, rec.isLast);
    }
    // Answered at last: one more negotiate, now the last, and the connect.
    ASSERT_TRUE(slow->SendSetup());
    ASSERT_TRUE(slow->ReadSetup()) << slow->error;
    EXPECT_EQ(6u, slow->seqRemote);
    ASSERT_TRUE(nettest::PumpUntil(retrying.mgr, [&] { return retrying.Connected(hr); }, 5000));
    ASSERT_TRUE(slow->Write(slow->MessageBytes(kApp, "late")));
    ASSERT_TRUE(nettest::PumpUntil(retrying.mgr, [&] { return retrying.inbox.MessageCount() == 1; }, 5000));
    EXPECT_EQ("late", retrying.inbox.Messages()[0].body);
    retrying.Tick(5000);
    EXPECT_TRUE(slow->Quiet(100));
}

TEST_F(MessageManagerRawTest, UndeliveredInputPast64MiBEndsTheConnection) {
    ASSERT_NO_FATAL_FAILURE(Connect());
    std::string padded = Pattern(MM_MAX_MESSAGE_SIZE, 3);
    std::string body = peer->BodyBytes(padded);
    // Nothing is dispatched: six bodies (60 MiB) wait for delivery.
    for (int i = 0; i < 6; i++) {
        ASSERT_TRUE(peer->Write(peer->HeaderBytes(kApp, MM_MAX_MESSAGE_SIZE, padded) + body));
    }
    ASSERT_TRUE(WaitFor([&] { return end.mm->GetUndeliveredCount() == 6; }, 60000));
    EXPECT_TRUE(end.mgr.ErrorsFor(h).empty());
    // The seventh would pass 64 MiB; the write may fail once dropped.
    peer->Write(peer->HeaderBytes(kApp, MM_MAX_MESSAGE_SIZE, padded) + body);
    ASSERT_TRUE(WaitFor([&] { return !end.mgr.ErrorsFor(h).empty(); }, 60000));
    EXPECT_EQ(std::vector<int>{MM_REASON_SIZE}, end.mgr.ErrorsFor(h));
    EXPECT_EQ(MM_REASON_SIZE, end.AwaitDisconnect(h));
    // Its queued messages were freed, not delivered.
    EXPECT_EQ(0, end.mm->GetUndeliveredCount());
    EXPECT_EQ(0u, end.inbox.MessageCount());
}

}  // namespace
