#include <gtest/gtest.h>

#include "core/diagnostics/latency_trace.hpp"
#include "core/input/keycode_table.hpp"
#include "tests/host/server/server_test_support.hpp"

namespace tarvel::server::testing {
namespace {

std::uint16_t codeFor(std::uint16_t hid) {
    return *input::KeycodeTable::shared().macKeyCodeForHID(hid);
}

/// A paired phone with its control connection and datagram socket.
struct Phone {
    Phone(Harness& h, const std::string& name) : conn(h.port) {
        EXPECT_TRUE(conn.pair(h.server->beginPairing().code, name));
        udp = std::make_unique<TestDatagrams>(h.port, *conn.key);
    }
    /// Waits until everything sent before has been handled on the server queue.
    void sync() {
        conn.sendSealed(wire::FrameType::ping, wire::PingBody{1});
        EXPECT_TRUE(conn.readFrame());
    }
    TestConnection conn;
    std::unique_ptr<TestDatagrams> udp;
};

TEST(UDPPeer, keyDatagramIsAcknowledgedAndInjected) {
    Harness h;
    Phone phone(h, "A");
    phone.udp->send(keyPacket(1, 4, true));
    EXPECT_EQ(phone.udp->readAck(), 1u);
    ASSERT_TRUE(eventually([&] { return h.sink->keys().size() == 1; }));
    EXPECT_EQ(h.sink->keys()[0].keyCode, codeFor(4));
    EXPECT_TRUE(h.sink->keys()[0].down);
}

TEST(UDPPeer, retransmissionIsAcknowledgedAgainButInjectedOnce) {
    Harness h;
    Phone phone(h, "A");
    const auto packet =
        wire::InputPacket(3, wire::InputEvent(wire::InputEvent::MouseButton{1, true, 1}));
    ASSERT_TRUE(packet.ackRequired);
    phone.udp->send(packet);
    EXPECT_EQ(phone.udp->readAck(), 3u);
    phone.udp->send(packet);
    EXPECT_EQ(phone.udp->readAck(), 3u);
    phone.sync();
    ASSERT_TRUE(eventually([&] { return !h.sink->mice().empty(); }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(h.sink->mice().size(), 1u);
}

TEST(UDPPeer, olderMovementIsDroppedButOlderKeyIsNot) {
    Harness h;
    Phone phone(h, "A");
    phone.udp->send(movePacket(12, 5, 0, true));
    EXPECT_EQ(phone.udp->readAck(), 12u);
    ASSERT_TRUE(eventually([&] { return h.sink->moves().size() == 1; }));
    phone.udp->send(movePacket(10, 7, 0, true));
    EXPECT_EQ(phone.udp->readAck(), 10u);  // acknowledged, yet stale
    phone.udp->send(keyPacket(11, 4, true));
    EXPECT_EQ(phone.udp->readAck(), 11u);
    ASSERT_TRUE(eventually([&] { return h.sink->keys().size() == 1; }));
    EXPECT_EQ(h.sink->moves().size(), 1u);
    EXPECT_DOUBLE_EQ(h.sink->moves().back().location.x, 965.0);
}

TEST(UDPPeer, staleStickFrameIsDroppedWhileButtonsHaveTheirOwnGate) {
    Harness h;
    Phone phone(h, "A");
    using Sticks = wire::InputEvent::GamepadSticks;
    phone.udp->send(wire::InputPacket(20, wire::InputEvent(Sticks{100, 0, 0, 0}), {},
                                      wire::GesturePhase::none, true));
    ASSERT_EQ(phone.udp->readAck(), 20u);
    phone.udp->send(wire::InputPacket(19, wire::InputEvent(Sticks{-300, 0, 0, 0}), {},
                                      wire::GesturePhase::none, true));
    ASSERT_EQ(phone.udp->readAck(), 19u);
    // Older than the last stick frame, but the first of the button stream.
    phone.udp->send(
        wire::InputPacket(18, wire::InputEvent(wire::InputEvent::GamepadButtons{0, 0, 0, 77})));
    ASSERT_EQ(phone.udp->readAck(), 18u);
    phone.sync();
    std::int16_t lx = 0;
    std::uint8_t rt = 0;
    ASSERT_TRUE(eventually([&] {
        h.server->inspectInjector([&](const injection::InputInjector& injector) {
            lx = injector.pad().state().lx;
            rt = injector.pad().state().rt;
        });
        return rt == 77;
    }));
    EXPECT_EQ(lx, 100);
}

TEST(UDPPeer, movesArrivingWhileOneIsInFlightAreInjectedAsOneSum) {
    Harness h;
    Phone phone(h, "A");
    h.sink->holdMoves(true);
    phone.udp->send(movePacket(1, 1, 0, true));
    ASSERT_EQ(phone.udp->readAck(), 1u);
    ASSERT_TRUE(eventually([&] { return h.sink->movesStarted() == 1; }));
    for (std::uint64_t seq = 2; seq <= 21; ++seq) {
        phone.udp->send(movePacket(seq, 1, 0.5F, true));
        ASSERT_EQ(phone.udp->readAck(), seq);
    }
    // A click after the moves is performed after all of them.
    phone.udp->send(
        wire::InputPacket(22, wire::InputEvent(wire::InputEvent::MouseButton{1, true, 1})));
    ASSERT_EQ(phone.udp->readAck(), 22u);
    h.sink->holdMoves(false);
    ASSERT_TRUE(eventually([&] { return h.sink->mice().size() >= 3; }));
    phone.sync();
    std::this_thread::sleep_for(50ms);
    const auto moves = h.sink->moves();
    ASSERT_EQ(moves.size(), 2u);
    EXPECT_DOUBLE_EQ(moves[1].location.x, 960.0 + 21.0);
    EXPECT_DOUBLE_EQ(moves[1].location.y, 540.0 + 10.0);
    const auto order = h.sink->order();
    ASSERT_EQ(order.size(), 3u);
    EXPECT_EQ(order[2], "button");
}

TEST(UDPPeer, takeoverReleasesThePreviousControllersKeysFirst) {
    Harness h;
    Phone a(h, "A");
    Phone b(h, "B");
    a.udp->send(keyPacket(1, 4, true));
    ASSERT_EQ(a.udp->readAck(), 1u);
    ASSERT_TRUE(eventually([&] { return h.sink->keys().size() == 1; }));
    EXPECT_EQ(h.server->snapshot().activeClientName, "A");

    b.udp->send(keyPacket(1, 5, true));
    ASSERT_EQ(b.udp->readAck(), 1u);
    ASSERT_TRUE(eventually([&] { return h.sink->keys().size() == 3; }));
    const auto keys = h.sink->keys();
    EXPECT_EQ(keys[1].keyCode, codeFor(4));
    EXPECT_FALSE(keys[1].down);
    EXPECT_EQ(keys[2].keyCode, codeFor(5));
    EXPECT_TRUE(keys[2].down);
    EXPECT_EQ(h.server->snapshot().activeClientName, "B");
}

TEST(UDPPeer, junkAndForeignDatagramsAreDroppedWithoutReply) {
    Harness h;
    Phone phone(h, "A");
    const auto junk = wire::Bytes(36, 0x5A);
    phone.udp->sendRaw(junk);
    phone.udp->sendRaw(wire::Bytes(20, 0x01));
    const auto foreign = wire::UDPCodec::seal(keyPacket(1, 4, true),
                                              *wire::SymmetricKey::fromBytes(wire::Bytes(32, 7)));
    phone.udp->sendRaw(wire::ByteView(foreign.data(), foreign.size()));
    EXPECT_FALSE(phone.udp->readAck(300ms));
    EXPECT_TRUE(h.sink->keys().empty());
}

TEST(UDPPeer, heldKeyIsReleasedWhenTheControllerFallsSilent) {
    Harness h;
    Phone phone(h, "A");
    phone.udp->send(keyPacket(1, 4, true));
    ASSERT_EQ(phone.udp->readAck(), 1u);
    const auto start = Clock::now();
    ASSERT_TRUE(eventually([&] { return h.sink->keys().size() == 2; }, 4000ms));
    const auto elapsed = Clock::now() - start;
    EXPECT_GE(elapsed, 1400ms);
    EXPECT_LE(elapsed, 2500ms);
    EXPECT_FALSE(h.sink->keys()[1].down);
}

TEST(UDPPeer, stopLeavesNothingHeld) {
    Harness h;
    Phone phone(h, "A");
    phone.udp->send(keyPacket(1, 4, true));
    phone.udp->send(
        wire::InputPacket(2, wire::InputEvent(wire::InputEvent::MouseButton{1, true, 1})));
    ASSERT_EQ(phone.udp->readAck(), 1u);
    ASSERT_EQ(phone.udp->readAck(), 2u);
    ASSERT_TRUE(
        eventually([&] { return h.sink->keys().size() == 1 && h.sink->mice().size() == 1; }));
    h.server->stop();
    const auto keys = h.sink->keys();
    ASSERT_EQ(keys.size(), 2u);
    EXPECT_FALSE(keys[1].down);
    const auto mice = h.sink->mice();
    ASSERT_EQ(mice.size(), 2u);
    EXPECT_EQ(mice[1].type, injection::MouseEventType::leftMouseUp);
    bool holds = true;
    h.server->inspectInjector([&](const injection::InputInjector& injector) {
        holds = injector.state().holdsAnything();
    });
    EXPECT_FALSE(holds);
    EXPECT_FALSE(h.facts->activityHeld());
    EXPECT_TRUE(phone.conn.closedByHost());
}

TEST(UDPPeer, datagramOfASessionStillInItsHandshakeIsDropped) {
    Harness h;
    TestConnection paired(h.port);
    ASSERT_TRUE(paired.pair(h.server->beginPairing().code));

    // Authenticate up to the point where the phone knows the key but the host
    // has not yet seen the response.
    TestConnection conn(h.port);
    security::ClientAuthHandshake handshake(
        security::ClientDescriptor{paired.client, "Phone", "iPhone"}, *paired.host,
        security::X25519PrivateKey::generate(), security::Hex::random(16));
    conn.sendPlain(wire::FrameType::authHello, *handshake.makeHello());
    auto challenge = conn.readFrame();
    ASSERT_TRUE(challenge);
    auto result = handshake.handleChallenge(challenge->body);
    ASSERT_TRUE(result);
    TestDatagrams udp(h.port, result->keys.sessionKey);
    udp.send(keyPacket(1, 4, true));
    EXPECT_FALSE(udp.readAck(300ms));

    conn.sendPlain(wire::FrameType::authResponse, result->responseBody);
    ASSERT_TRUE(conn.readFrame());  // authOK
    udp.send(keyPacket(2, 4, true));
    EXPECT_EQ(udp.readAck(), 2u);
    ASSERT_TRUE(eventually([&] { return h.sink->keys().size() == 1; }));
}

TEST(UDPPeer, flowsAreBoundedAndSilentOnesForgotten) {
    Harness h([](HostServer::Dependencies& deps) {
        deps.limits.maxUdpPeers = 2;
        deps.timings.udpPeerIdle = 300ms;
    });
    Phone phone(h, "A");
    const auto key = *wire::SymmetricKey::fromBytes(wire::Bytes(32, 9));
    std::vector<std::unique_ptr<TestDatagrams>> junk;
    for (std::size_t i = 0; i < 2; ++i) {
        junk.push_back(std::make_unique<TestDatagrams>(h.port, key));
        junk.back()->sendRaw(wire::Bytes(36, 1));
        ASSERT_TRUE(eventually([&] { return h.server->udpPeerCount() == i + 1; }));
    }
    // A third flow evicts the idlest one instead of being refused.
    phone.udp->send(keyPacket(1, 4, true));
    EXPECT_EQ(phone.udp->readAck(), 1u);
    EXPECT_EQ(h.server->udpPeerCount(), 2u);
    EXPECT_TRUE(eventually([&] { return h.server->udpPeerCount() == 0; }));
    // A forgotten peer comes back as a new flow.
    phone.udp->send(keyPacket(2, 4, false));
    EXPECT_EQ(phone.udp->readAck(), 2u);
    EXPECT_EQ(h.server->udpPeerCount(), 1u);
}

TEST(UDPPeer, enabledTraceRecordsTheThreeHostMetrics) {
    diagnostics::LatencyTrace trace;
    trace.setEnabled(true);
    Harness h([&](HostServer::Dependencies& deps) { deps.latencyTrace = &trace; });
    Phone phone(h, "A");
    phone.udp->send(keyPacket(1, 4, true));
    ASSERT_EQ(phone.udp->readAck(), 1u);
    phone.udp->send(keyPacket(2, 4, false));
    ASSERT_EQ(phone.udp->readAck(), 2u);
    ASSERT_TRUE(eventually([&] { return h.sink->keys().size() == 2; }));
    phone.sync();
    EXPECT_TRUE(eventually([&] {
        auto inject = trace.summary(diagnostics::LatencyMetric::hostInject);
        return inject && inject->count == 2;
    }));
    auto recvToInject = trace.summary(diagnostics::LatencyMetric::hostRecvToInject);
    ASSERT_TRUE(recvToInject);
    EXPECT_EQ(recvToInject->count, 2u);
    auto gap = trace.summary(diagnostics::LatencyMetric::hostCallbackGap);
    ASSERT_TRUE(gap);
    EXPECT_EQ(gap->count, 1u);
}

}  // namespace
}  // namespace tarvel::server::testing
