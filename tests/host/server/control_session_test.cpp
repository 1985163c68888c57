#include <gtest/gtest.h>

#include <atomic>

#include "core/input/keycode_table.hpp"
#include "core/security/fingerprint.hpp"
#include "tests/host/server/server_test_support.hpp"

namespace tarvel::server::testing {
namespace {

std::string reasonOf(const wire::TCPFrame& frame) {
    auto body = wire::JSONCodec::decode<wire::ReasonBody>(frame.body);
    return body ? body->reason : std::string("<undecodable>");
}

TEST(ControlSession, getInfoIsAnsweredThenClosed) {
    Harness h;
    TestConnection conn(h.port);
    conn.sendRaw({0x01, 0x00, 0x00, 0x00, 0x10});
    auto reply = conn.readFrame();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->type, wire::FrameType::infoReply);
    auto info = wire::JSONCodec::decode<wire::InfoReply>(reply->body);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->hostId, h.server->identity().id());
    EXPECT_EQ(info->name, "Test Host");
    EXPECT_EQ(info->os, "macos");
    EXPECT_EQ(info->udpPort, h.port);
    EXPECT_EQ(info->fp, h.server->identity().fingerprint());
    EXPECT_TRUE(conn.closedByHost());
}

TEST(ControlSession, pairRequestWithoutCodeIsRefusedWithNoActiveCode) {
    Harness h;
    TestConnection conn(h.port);
    EXPECT_FALSE(conn.pair("123456"));
    ASSERT_TRUE(conn.lastRefusal);
    EXPECT_EQ(conn.lastRefusal->type, wire::FrameType::pairReject);
    EXPECT_EQ(reasonOf(*conn.lastRefusal), "no_active_code");
    EXPECT_TRUE(conn.closedByHost());
}

TEST(ControlSession, pairingStoresTheClientAndAuthenticationThenSucceeds) {
    Harness h;
    std::atomic<int> completed{0};
    h.server->setOnPairingCompleted([&] { ++completed; });
    const auto info = h.server->beginPairing();
    EXPECT_EQ(info.payload.code, info.code);
    EXPECT_EQ(info.payload.publicKeyHex, h.server->identity().publicKeyHex());

    TestConnection first(h.port);
    ASSERT_TRUE(first.pair(info.code, "Anna's phone"));
    EXPECT_TRUE(eventually([&] { return completed.load() == 1; }));
    auto stored = h.server->store()->client(first.client.id());
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->deviceName, "Anna's phone");
    EXPECT_EQ(h.server->snapshot().onlineClientIds.count(first.client.id()), 1u);
    EXPECT_TRUE(h.server->isConnected());

    // The code was used up by the first pairing.
    TestConnection reuse(h.port);
    EXPECT_FALSE(reuse.pair(info.code));
    ASSERT_TRUE(reuse.lastRefusal);
    EXPECT_EQ(reuse.lastRefusal->type, wire::FrameType::pairReject);

    TestConnection again(h.port);
    EXPECT_TRUE(again.authenticate(first.client, *first.host));
    // The same device reconnecting replaces its old session.
    EXPECT_TRUE(first.closedByHost());
    EXPECT_EQ(h.server->snapshot().onlineClientIds.count(first.client.id()), 1u);
}

TEST(ControlSession, endedPairingPeriodRefusesItsCode) {
    Harness h;
    const auto info = h.server->beginPairing();
    h.server->endPairing();
    TestConnection conn(h.port);
    EXPECT_FALSE(conn.pair(info.code));
    ASSERT_TRUE(conn.lastRefusal);
    EXPECT_EQ(reasonOf(*conn.lastRefusal), "no_active_code");
}

TEST(ControlSession, wrongCodeIsRefusedWithInvalidCode) {
    Harness h;
    const auto info = h.server->beginPairing();
    const std::string wrong = info.code == "000000" ? "111111" : "000000";
    TestConnection conn(h.port);
    EXPECT_FALSE(conn.pair(wrong));
    ASSERT_TRUE(conn.lastRefusal);
    EXPECT_EQ(conn.lastRefusal->type, wire::FrameType::pairReject);
    EXPECT_EQ(reasonOf(*conn.lastRefusal), "invalid_code");
    EXPECT_TRUE(h.server->store()->clients().empty());
}

TEST(ControlSession, unknownClientIsToldItIsUnpaired) {
    Harness h;
    TestConnection paired(h.port);
    const auto info = h.server->beginPairing();
    ASSERT_TRUE(paired.pair(info.code));
    TestConnection stranger(h.port);
    EXPECT_FALSE(stranger.authenticate(security::LocalIdentity::generate(), *paired.host));
    ASSERT_TRUE(stranger.lastRefusal);
    EXPECT_EQ(stranger.lastRefusal->type, wire::FrameType::errUnpaired);
    EXPECT_TRUE(stranger.closedByHost());
}

TEST(ControlSession, pingBeforeHandshakeCloses) {
    Harness h;
    TestConnection conn(h.port);
    conn.sendPlain(wire::FrameType::ping, wire::ByteView());
    EXPECT_TRUE(conn.closedByHost());
}

TEST(ControlSession, pingIsAnsweredWithPongCarryingTheSameTimestamp) {
    Harness h;
    TestConnection conn(h.port);
    ASSERT_TRUE(conn.pair(h.server->beginPairing().code));
    conn.sendSealed(wire::FrameType::ping, wire::PingBody{42});
    auto pong = conn.readFrame();
    ASSERT_TRUE(pong);
    EXPECT_EQ(pong->type, wire::FrameType::pong);
    auto plain = conn.channel->open(*pong);
    ASSERT_TRUE(plain);
    EXPECT_EQ(std::string(plain->begin(), plain->end()), R"({"ts":42})");
}

TEST(ControlSession, sealedFrameWithOneBitFlippedCloses) {
    Harness h;
    TestConnection conn(h.port);
    ASSERT_TRUE(conn.pair(h.server->beginPairing().code));
    auto frame = *conn.channel->seal(wire::FrameType::ping, wire::PingBody{7});
    frame[7] ^= 0x01;
    conn.sendRaw(frame);
    EXPECT_TRUE(conn.closedByHost());
    EXPECT_TRUE(eventually([&] { return !h.server->isConnected(); }));
}

TEST(ControlSession, oversizedLengthFieldCloses) {
    Harness h;
    TestConnection conn(h.port);
    conn.sendRaw({0x01, 0x00, 0x01, 0x00, 0x10});  // 65 537
    EXPECT_TRUE(conn.closedByHost());
}

TEST(ControlSession, textIsTypedByTheSender) {
    Harness h;
    TestConnection conn(h.port);
    ASSERT_TRUE(conn.pair(h.server->beginPairing().code));
    conn.sendSealed(wire::FrameType::textUTF8, wire::TextBody{"hi there"});
    EXPECT_TRUE(eventually([&] {
        for (const auto& line : h.sink->lines()) {
            if (line.find(R"("op":"text")") != std::string::npos &&
                line.find("hi there") != std::string::npos) {
                return true;
            }
        }
        return false;
    }));
}

TEST(ControlSession, clipboardWithAutoPasteSetsTextThenPostsCommandV) {
    Harness h;
    TestConnection conn(h.port);
    ASSERT_TRUE(conn.pair(h.server->beginPairing().code));
    conn.sendSealed(wire::FrameType::clipboardSet, wire::ClipboardBody{"pasted", true});
    ASSERT_TRUE(eventually([&] { return h.sink->keys().size() >= 2; }));
    EXPECT_EQ(h.clipboard->texts(), std::vector<std::string>{"pasted"});
    const auto keys = h.sink->keys();
    EXPECT_EQ(keys[0].keyCode, 9);
    EXPECT_TRUE(keys[0].down);
    EXPECT_NE(keys[0].flags & injection::EventFlags::command, 0u);
    EXPECT_EQ(keys[1].keyCode, 9);
    EXPECT_FALSE(keys[1].down);

    conn.sendSealed(wire::FrameType::clipboardSet, wire::ClipboardBody{"only", false});
    EXPECT_TRUE(eventually([&] { return h.clipboard->texts().size() == 2; }));
    conn.sendSealed(wire::FrameType::ping, wire::PingBody{1});
    ASSERT_TRUE(conn.readFrame());  // the clipboard job is done by now
    EXPECT_EQ(h.sink->keys().size(), 2u);
}

TEST(ControlSession, reliableInputPassesTheSameWindowAsDatagrams) {
    Harness h;
    TestConnection conn(h.port);
    ASSERT_TRUE(conn.pair(h.server->beginPairing().code));
    const auto packet = keyPacket(5, 4, true);
    const auto plain = packet.plain20();
    conn.sendRaw(*conn.channel->seal(wire::FrameType::reliableInput,
                                     wire::ByteView(plain.data(), plain.size())));
    ASSERT_TRUE(eventually([&] { return h.sink->keys().size() == 1; }));
    TestDatagrams udp(h.port, *conn.key);
    udp.send(wire::InputPacket(5, packet.event, {}, wire::GesturePhase::none, true));
    EXPECT_EQ(udp.readAck(), 5u);
    conn.sendSealed(wire::FrameType::ping, wire::PingBody{1});
    ASSERT_TRUE(conn.readFrame());
    EXPECT_EQ(h.sink->keys().size(), 1u);
}

TEST(ControlSession, removedClientIsToldAndDisconnected) {
    Harness h;
    TestConnection conn(h.port);
    ASSERT_TRUE(conn.pair(h.server->beginPairing().code));
    h.server->removePairedClient(conn.client.id());
    auto frame = conn.readFrame();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->type, wire::FrameType::unpairedByHost);
    auto plain = conn.channel->open(*frame);
    ASSERT_TRUE(plain);
    auto body = wire::JSONCodec::decode<wire::ReasonBody>(*plain);
    ASSERT_TRUE(body);
    EXPECT_EQ(body->reason, "removed_by_user");
    EXPECT_TRUE(conn.closedByHost());
    EXPECT_TRUE(h.server->snapshot().clients.empty());
    EXPECT_FALSE(h.server->isConnected());
}

TEST(ControlSession, handshakeThatNeverFinishesIsClosedAfterItsLimit) {
    Harness h([](HostServer::Dependencies& deps) {
        deps.timings.handshakeIdle = 200ms;
        deps.timings.establishedIdle = 10s;
    });
    TestConnection silent(h.port);
    const auto start = Clock::now();
    EXPECT_TRUE(silent.closedByHost(3000ms));
    EXPECT_GE(Clock::now() - start, 150ms);
}

TEST(ControlSession, silentEstablishedSessionIsClosedAfterItsLimitAndPingsKeepItOpen) {
    Harness h([](HostServer::Dependencies& deps) { deps.timings.establishedIdle = 300ms; });
    TestConnection chatty(h.port);
    ASSERT_TRUE(chatty.pair(h.server->beginPairing().code, "Chatty"));
    TestConnection silent(h.port);
    ASSERT_TRUE(silent.pair(h.server->beginPairing().code, "Silent"));
    for (int i = 0; i < 8; ++i) {
        chatty.sendSealed(wire::FrameType::ping, wire::PingBody{static_cast<std::uint64_t>(i)});
        ASSERT_TRUE(chatty.readFrame());
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_TRUE(silent.closedByHost(100ms));
    chatty.sendSealed(wire::FrameType::ping, wire::PingBody{99});
    EXPECT_TRUE(chatty.readFrame());
    EXPECT_TRUE(h.facts->activityHeld());
    EXPECT_TRUE(chatty.closedByHost(2000ms));
    EXPECT_TRUE(eventually([&] { return !h.facts->activityHeld(); }));
}

TEST(ControlSession, closingTheControllerHandsControlToAnotherEstablishedSession) {
    Harness h;
    std::atomic<int> changes{0};
    h.server->setOnChange([&] { ++changes; });
    auto a = std::make_unique<TestConnection>(h.port);
    ASSERT_TRUE(a->pair(h.server->beginPairing().code, "A"));
    TestConnection b(h.port);
    ASSERT_TRUE(b.pair(h.server->beginPairing().code, "B"));
    EXPECT_EQ(h.server->snapshot().activeClientName, "A");
    a.reset();
    EXPECT_TRUE(eventually([&] { return h.server->snapshot().activeClientName == "B"; }));
    EXPECT_TRUE(h.facts->activityHeld());
    EXPECT_TRUE(eventually([&] { return changes.load() >= 3; }));
    b.sendSealed(wire::FrameType::ping, wire::PingBody{1});
    EXPECT_TRUE(b.readFrame());
}

TEST(ControlSession, pendingSessionsAreBounded) {
    Harness h([](HostServer::Dependencies& deps) { deps.limits.maxPendingSessions = 2; });
    TestConnection a(h.port);
    TestConnection b(h.port);
    // Let the server register both before the third arrives.
    std::this_thread::sleep_for(100ms);
    TestConnection c(h.port);
    EXPECT_TRUE(c.closedByHost(2000ms));
    a.sendRaw({0x01, 0x00, 0x00, 0x00, 0x10});
    EXPECT_TRUE(a.readFrame());
}

}  // namespace
}  // namespace tarvel::server::testing
