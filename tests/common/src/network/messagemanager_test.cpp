// Two message managers over real loopback: the handshake in every retry
// combination, a slow peer, messages queued before the handshake, waiting
// for one type with RecvMessage, sends to dead or unknown handles and
// racing a disconnect, delivery after a reported disconnect, and the
// programming contracts that end the process.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "tests/common/src/network/mmpeer.h"
#include "tests/support/waitfor.h"

using mmpeer::BodyOf;
using mmpeer::Endpoint;
using mmpeer::Msg;
using mmpeer::Pattern;
using mmpeer::PumpAll;
using mmpeer::Ref;

namespace {

const char kAssert[] = "Debug assert failed on line [0-9]+ of common/src/network/messagemanager";

long long MsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

// b connects to a's port; a's handle once announced.
HConnection Open(Endpoint& a, Endpoint& b, HConnection* hb, bool callbackNow = false) {
    if (a.port == 0) a.Host();
    *hb = b.mgr.Connect("127.0.0.1", a.port, callbackNow);
    HConnection ha = nullptr;
    PumpAll({&a, &b}, [&] { return (ha = a.Announced(0)) != nullptr; });
    return ha;
}

bool BothConnected(Endpoint& a, HConnection ha, Endpoint& b, HConnection hb) {
    return PumpAll({&a, &b}, [&] { return a.Connected(ha) && b.Connected(hb); });
}

void Send(Endpoint& e, HConnection h, DWORD type, const std::string& body) {
    CMessage msg = Msg(type, body);
    e.mm->SendMessage(h, msg);
}

class MessageManagerHandshakeTest : public ::testing::TestWithParam<std::tuple<bool, bool>> {};

TEST_P(MessageManagerHandshakeTest, ConnectsAndCarriesTypedMessagesBothWays) {
    const bool retryA = std::get<0>(GetParam()), retryB = std::get<1>(GetParam());
    Endpoint a(retryA, false), b(retryB, false);
    a.Hook({2, 5});
    b.Hook({2, 5});
    HConnection hb = nullptr;
    HConnection ha = Open(a, b, &hb);
    ASSERT_NE(nullptr, ha);
    ASSERT_TRUE(BothConnected(a, ha, b, hb));
    // Handshake records only: 24 bytes each; a retrying end adds a last
    // negotiate record to its first one.
    for (auto side : {std::make_tuple(&a, ha, retryA), std::make_tuple(&b, hb, retryB)}) {
        std::vector<int> blocks = std::get<0>(side)->mgr.Blocks(std::get<1>(side));
        for (int len : blocks) EXPECT_EQ(24, len);
        if (std::get<2>(side)) {
            EXPECT_GE(blocks.size(), 3u);
        } else {
            EXPECT_EQ(2u, blocks.size());
        }
    }
    const std::string ref = Ref(0x1234, 0x5678, true) + "payload";
    Send(a, ha, 5, "from a");
    Send(a, ha, 2, ref);
    Send(b, hb, 5, "from b");
    Send(b, hb, 2, "");
    ASSERT_TRUE(PumpAll({&a, &b}, [&] { return a.inbox.MessageCount() == 2 && b.inbox.MessageCount() == 2; }));
    auto atB = b.inbox.Messages(), atA = a.inbox.Messages();
    EXPECT_EQ(hb, atB[0].h);
    EXPECT_EQ(5u, atB[0].type);
    EXPECT_EQ("from a", atB[0].body);
    EXPECT_EQ(2u, atB[1].type);
    EXPECT_EQ(ref, atB[1].body);
    EXPECT_EQ(ha, atA[0].h);
    EXPECT_EQ("from b", atA[0].body);
    EXPECT_EQ(2u, atA[1].type);
    EXPECT_EQ("", atA[1].body);
    EXPECT_TRUE(a.mgr.Errors().empty());
    EXPECT_TRUE(b.mgr.Errors().empty());
}

INSTANTIATE_TEST_SUITE_P(Retry, MessageManagerHandshakeTest, ::testing::Combine(::testing::Bool(), ::testing::Bool()));

TEST(MessageManagerPair, RetryingEndWithASlowPeerStillConnects) {
    Endpoint a(true, false), b(false, false);
    b.listener.recordData = true;
    b.Hook({5});
    // a connects; only a is pumped, so b's manager hears of nothing for
    // four seconds while its socket thread accepts.
    HConnection ha = a.mgr.Connect("127.0.0.1", b.Host(), false);
    ASSERT_TRUE(nettest::PumpUntil(a.mgr, [&] { return a.listener.Count(nettest::Event::CONNECT) == 1; }, 5000));
    for (int second = 0; second < 4; second++) a.Tick(1000);
    ASSERT_TRUE(WaitFor([&] { return a.mgr.BlockCount(ha) >= 5; }));
    EXPECT_EQ(STATUS_SETUP, a.mm->GetStatus(ha));
    HConnection hb = nullptr;
    ASSERT_TRUE(PumpAll({&b}, [&] { return (hb = b.Announced(0)) != nullptr; }));
    ASSERT_TRUE(BothConnected(a, ha, b, hb));
    mmpeer::SetupRecords setup = mmpeer::ParseSetup(b.listener.DataOf(hb));
    EXPECT_TRUE(setup.allValid);
    ASSERT_GE(setup.negotiates.size(), 6u);
    for (size_t i = 0; i < setup.negotiates.size(); i++) {
        EXPECT_EQ(i, setup.negotiates[i].sequenceNumber);
        EXPECT_EQ(i + 1 == setup.negotiates.size() ? 1u : 0u, setup.negotiates[i].isLast);
    }
    EXPECT_TRUE(setup.haveConnect);
    Send(a, ha, 5, "worth the wait");
    ASSERT_TRUE(PumpAll({&a, &b}, [&] { return b.inbox.MessageCount() == 1; }));
    EXPECT_EQ("worth the wait", b.inbox.Messages()[0].body);
    EXPECT_TRUE(a.mgr.Errors().empty());
    EXPECT_TRUE(b.mgr.Errors().empty());
}

TEST(MessageManagerPair, MessagesSentBeforeTheHandshakeArriveAfterItInOrder) {
    Endpoint a(false, false), b(false, false);
    a.Hook({5, 6});
    b.Hook({5});
    a.Host();
    // a sends from inside its announcement, b right after Connect: both
    // before any handshake record has arrived. One message object each,
    // reused at once.
    CMessage fromA(5);
    a.listener.onConnect = [&](HConnection h) {
        EXPECT_EQ(STATUS_SETUP, a.mm->GetStatus(h));
        for (const char* text : {"a1", "a2"}) {
            fromA.Empty();
            fromA.WriteData(text, 2);
            a.mm->SendMessage(h, fromA);
            EXPECT_EQ(text, BodyOf(fromA));
        }
    };
    HConnection hb = b.mgr.Connect("127.0.0.1", a.port, true);
    EXPECT_EQ(STATUS_SETUP, b.mm->GetStatus(hb));
    CMessage fromB(5);
    const std::string bodies[] = {"first", "", Pattern(70000, 3), "last"};
    for (const std::string& body : bodies) {
        fromB.Empty();
        fromB.SetType(body.empty() ? 6 : 5);
        fromB.WriteData(body.data(), static_cast<int>(body.size()));
        b.mm->SendMessage(hb, fromB);
        EXPECT_TRUE(BodyOf(fromB) == body);
    }
    fromB.Empty();
    fromB.WriteData("scribbled", 9);
    ASSERT_TRUE(PumpAll({&a, &b}, [&] { return a.inbox.MessageCount() == 4 && b.inbox.MessageCount() == 2; }));
    auto atA = a.inbox.Messages();
    for (size_t i = 0; i < 4; i++) EXPECT_TRUE(atA[i].body == bodies[i]) << "message " << i;
    EXPECT_EQ(6u, atA[1].type);
    EXPECT_EQ("a1", b.inbox.Messages()[0].body);
    EXPECT_EQ("a2", b.inbox.Messages()[1].body);
}

class MessageManagerPairTest : public ::testing::Test {
protected:
    explicit MessageManagerPairTest(bool pingA = false) : a(false, pingA), b(false, false) {}
    void SetUp() override {
        a.Hook({10, 20, 30});
        ha = Open(a, b, &hb);
        ASSERT_NE(nullptr, ha);
        ASSERT_TRUE(BothConnected(a, ha, b, hb));
    }
    Endpoint a, b;
    HConnection ha = nullptr, hb = nullptr;
};

class MessageManagerPingPairTest : public MessageManagerPairTest {
protected:
    MessageManagerPingPairTest() : MessageManagerPairTest(true) {}
};

TEST_F(MessageManagerPingPairTest, RecvMessageTakesItsTypeWhileOthersWaitAndPingsFlow) {
    ASSERT_TRUE(nettest::PumpUntil(a.mgr, [&] { return a.inbox.PingCount() == 1; }, 5000));
    EXPECT_LT(a.inbox.Pings()[0], 5000u);
    Send(b, hb, 10, "x");
    Send(b, hb, 20, "y");
    Send(b, hb, 10, "z");
    ASSERT_TRUE(WaitFor([&] { return a.mm->GetUndeliveredCount() == 3; }));
    std::thread helper([&] {
        // The next ping falls due during the wait; the awaited message
        // follows its result.
        OS_TestAdvanceTickCount(21000);
        WaitFor([&] { return a.inbox.PingCount() == 2; }, 5000);
        Send(b, hb, 30, "wanted");
        Send(b, hb, 30, "later");
    });
    CMessage got;
    bool ok = a.mm->RecvMessage(ha, got, 30, 25);
    helper.join();
    EXPECT_TRUE(ok);
    EXPECT_EQ(30u, got.GetType());
    EXPECT_EQ("wanted", BodyOf(got));
    EXPECT_EQ(2u, a.inbox.PingCount());
    EXPECT_EQ(0u, a.inbox.MessageCount());
    ASSERT_TRUE(WaitFor([&] { return a.mm->GetUndeliveredCount() == 4; }));
    ASSERT_TRUE(nettest::PumpUntil(a.mgr, [&] { return a.inbox.MessageCount() == 4; }, 5000));
    auto msgs = a.inbox.Messages();
    EXPECT_EQ("x", msgs[0].body);
    EXPECT_EQ("y", msgs[1].body);
    EXPECT_EQ(20u, msgs[1].type);
    EXPECT_EQ("z", msgs[2].body);
    EXPECT_EQ("later", msgs[3].body);
    EXPECT_EQ(0, a.mm->GetUndeliveredCount());
}

TEST_F(MessageManagerPairTest, RecvMessageGivesUpAfterItsTimeOut) {
    Send(b, hb, 10, "other");
    ASSERT_TRUE(WaitFor([&] { return a.mm->GetUndeliveredCount() == 1; }));
    auto start = std::chrono::steady_clock::now();
    CMessage got;
    bool ok;
    {
        // Five virtual seconds pass within a few real milliseconds.
        mmpeer::Ticker ticker(1000, 10);
        ok = a.mm->RecvMessage(ha, got, 99, 5);
    }
    EXPECT_FALSE(ok);
    EXPECT_LT(MsSince(start), 3000);
    EXPECT_EQ(1, a.mm->GetUndeliveredCount());
    ASSERT_TRUE(nettest::PumpUntil(a.mgr, [&] { return a.inbox.MessageCount() == 1; }, 5000));
    EXPECT_EQ("other", a.inbox.Messages()[0].body);
}

TEST_F(MessageManagerPairTest, RecvMessageReturnsFalseWhenTheConnectionGoes) {
    std::thread closer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        b.mgr.Disconnect(hb, false);
    });
    auto start = std::chrono::steady_clock::now();
    CMessage got;
    bool ok = a.mm->RecvMessage(ha, got, 99, 20);
    closer.join();
    EXPECT_FALSE(ok);
    EXPECT_LT(MsSince(start), 10000);
    EXPECT_TRUE(a.listener.FindDisconnect(ha, nullptr));
}

TEST_F(MessageManagerPairTest, SendsToUnknownOrDeadHandlesAreDropped) {
    CMessage msg = Msg(10, "nowhere");
    a.mm->SendMessage(reinterpret_cast<HConnection>(&msg), msg);
    EXPECT_TRUE(a.mgr.Blocks(reinterpret_cast<HConnection>(&msg)).empty());
    EXPECT_EQ("nowhere", BodyOf(msg));
    b.mgr.Disconnect(hb, false);
    EXPECT_NE(0, a.AwaitDisconnect(ha));
    size_t blocks = a.mgr.BlockCount(ha);
    a.mm->SendMessage(ha, msg);
    EXPECT_EQ(blocks, a.mgr.BlockCount(ha));
    EXPECT_EQ(STATUS_SETUP, a.mm->GetStatus(ha));
    EXPECT_EQ("nowhere", BodyOf(msg));
}

TEST_F(MessageManagerPairTest, SendsFromAnotherThreadRacingADisconnect) {
    std::atomic<int> sent{0};
    std::atomic<bool> stop{false};
    std::thread sender([&] {
        CMessage msg = Msg(10, Pattern(100, 1));
        while (!stop && sent < 100000) {
            a.mm->SendMessage(ha, msg);
            sent++;
        }
    });
    ASSERT_TRUE(WaitFor([&] { return sent > 200; }));
    b.mgr.Disconnect(hb, false);
    EXPECT_NE(0, a.AwaitDisconnect(ha));
    // Nothing reaches the transport for the dead handle any more.
    size_t blocks = a.mgr.BlockCount(ha);
    int at = sent;
    WaitFor([&] { return sent > at + 200 || sent >= 100000; });
    stop = true;
    sender.join();
    EXPECT_EQ(blocks, a.mgr.BlockCount(ha));
}

TEST(MessageManagerPair, MessagesOfAReportedDisconnectAreStillDelivered) {
    Endpoint a(false, false);
    a.Hook({10});
    std::unique_ptr<mmpeer::Peer> peer;
    HConnection h = a.AcceptRaw(&peer);
    ASSERT_NE(nullptr, h);
    ASSERT_TRUE(peer->Handshake()) << peer->error;
    ASSERT_TRUE(nettest::PumpUntil(a.mgr, [&] { return a.Connected(h); }, 5000));
    ASSERT_TRUE(peer->Write(mmpeer::Cat({peer->MessageBytes(10, "kept"), peer->MessageBytes(99, "stray")})));
    peer->Close();
    // The wait holds delivery back while the disconnect is reported.
    CMessage got;
    EXPECT_FALSE(a.mm->RecvMessage(h, got, 55, 10));
    ASSERT_TRUE(a.listener.FindDisconnect(h, nullptr));
    EXPECT_EQ(2, a.mm->GetUndeliveredCount());
    EXPECT_EQ(0u, a.inbox.MessageCount());
    ASSERT_TRUE(nettest::PumpUntil(a.mgr, [&] { return a.inbox.MessageCount() == 1; }, 5000));
    a.mgr.Dispatch();
    EXPECT_EQ(h, a.inbox.Messages()[0].h);
    EXPECT_EQ("kept", a.inbox.Messages()[0].body);
    // The unhooked one is freed; the dead handle gets no error.
    EXPECT_EQ(0, a.mm->GetUndeliveredCount());
    EXPECT_TRUE(a.mgr.ErrorsFor(h).empty());
    EXPECT_EQ(1, a.listener.CountFor(nettest::Event::DISCONNECT, h));
}

TEST(MessageManagerDeathTest, PacketSizeBelow32AfterRoundingOrAboveTheLargestBody) {
    for (unsigned int size : {0u, 24u, 31u, MM_MAX_MESSAGE_SIZE + 8}) {
        EXPECT_DEATH({ Endpoint e(false, false, size); }, kAssert) << "packet size " << size;
    }
}

TEST(MessageManagerDeathTest, SendingABodyPastTheLargest) {
    Endpoint e(false, false);
    std::unique_ptr<mmpeer::Peer> peer;
    HConnection h = e.AcceptRaw(&peer);
    ASSERT_NE(nullptr, h);
    CMessage big = Msg(10, std::string(MM_MAX_MESSAGE_SIZE + 1, 'b'));
    EXPECT_DEATH(e.mm->SendMessage(h, big), kAssert);
}

TEST(MessageManagerDeathTest, ZeroPingInterval) {
    Endpoint e(false, true);
    EXPECT_DEATH(e.mm->SetPingInterval(0), kAssert);
}

TEST(MessageManagerDeathTest, DataForAnUnregisteredConnection) {
    Endpoint e(false, false);
    char data[24] = {0};
    EXPECT_DEATH(e.mm->ClientData(reinterpret_cast<HConnection>(data), data, 24), kAssert);
}

}  // namespace
