#include "host/server/host_core.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <set>

#include "core/security/client_handshakes.hpp"
#include "core/security/hex.hpp"
#include "core/wire/bodies.hpp"
#include "core/wire/json_codec.hpp"
#include "tests/fakes/log_capture.hpp"

namespace tarvel::server {
namespace {

using namespace std::chrono_literals;
namespace FrameType = wire::FrameType;
using wire::InputEvent;
using wire::InputPacket;
namespace Hex = security::Hex;
using security::X25519PrivateKey;
using Kinds = std::vector<std::string>;
using Ip = std::array<std::uint8_t, 4>;

discovery::NetworkEndpoint endpoint(Ip ip, std::uint16_t port = 50000) {
    return {discovery::IPv4Address{ip}, port};
}

struct Recorder final : ActionSink {
    std::vector<Action> actions;
    void perform(Action&& action) override { actions.push_back(std::move(action)); }
    template <class T>
    std::vector<T> all() const {
        std::vector<T> found;
        for (const auto& action : actions) {
            if (const auto* value = std::get_if<T>(&action)) {
                found.push_back(*value);
            }
        }
        return found;
    }
    template <class T>
    bool has() const { return !all<T>().empty(); }
    /// The injector's work, by kind, in queue order.
    Kinds injections() const {
        Kinds kinds;
        for (const auto& action : actions) {
            if (const auto* packet = std::get_if<inject::Packet>(&action)) {
                kinds.push_back(packet->isMove ? "move" : "packet");
            } else if (std::holds_alternative<inject::ReleaseAll>(action)) {
                kinds.push_back("release");
            } else if (const auto* text = std::get_if<inject::Text>(&action)) {
                kinds.push_back("text:" + text->text);
            }
        }
        return kinds;
    }
};

/// A phone built from the core's client halves, talking to HostCore in memory.
struct Phone {
    explicit Phone(std::string deviceName = "Phone") : name(std::move(deviceName)) {}
    std::string name;
    security::LocalIdentity identity = security::LocalIdentity::generate();
    ConnectionId conn = 0;
    std::optional<pairing::PairedHostRecord> host;
    std::unique_ptr<wire::SecureTCPChannel> channel;
    wire::SymmetricKey key{};
    std::uint64_t seq = 0;
    void useKey(const wire::SymmetricKey& sessionKey) {
        key = sessionKey;
        channel = std::make_unique<wire::SecureTCPChannel>(key, wire::SecureTCPChannel::Role::client);
    }
};

class HostCoreTest : public ::testing::Test {
  protected:
    HostCoreTest() { core.setContext(HostContext{"Desk", "desktop", {}, {}, 49182}); }
    static wire::Bytes twice(wire::Bytes bytes) {
        bytes.insert(bytes.end(), bytes.begin(), bytes.end());
        return bytes;
    }
    static wire::Bytes text(std::string_view value) { return {value.begin(), value.end()}; }
    ConnectionId open(Ip ip = {192, 168, 1, 20}) {
        core.connectionOpened(nextConnection, endpoint(ip), now, out);
        return nextConnection++;
    }
    void feed(ConnectionId id, const wire::Bytes& bytes) { core.bytesReceived(id, bytes, now, out); }
    void sendPlain(ConnectionId id, std::uint8_t type, const wire::Bytes& body) {
        feed(id, *wire::TCPFrameCodec::encodePlain(type, body));
    }
    template <class Body>
    void sendSealed(Phone& phone, std::uint8_t type, const Body& body) {
        feed(phone.conn, *phone.channel->seal(type, body));
    }
    void advance(std::chrono::nanoseconds step) {
        now.mono += step;
        now.wall += std::chrono::duration_cast<std::chrono::system_clock::duration>(step);
    }
    std::vector<wire::TCPFrame> framesTo(ConnectionId id) {
        wire::TCPFrameDecoder decoder;
        for (const auto& send : out.all<Send>()) {
            decoder.append(send.connection == id ? wire::ByteView(send.bytes) : wire::ByteView());
        }
        std::vector<wire::TCPFrame> frames;
        for (auto next = decoder.next(); next && *next; next = decoder.next()) {
            frames.push_back(**next);
        }
        return frames;
    }
    bool closed(ConnectionId id) {
        const auto to = [id](const auto& action) { return action.connection == id; };
        return std::ranges::any_of(out.all<Close>(), to) ||
               std::ranges::any_of(out.all<Send>(), [&](auto& s) { return to(s) && s.thenClose; });
    }
    static std::string reason(wire::ByteView body) {
        return wire::JSONCodec::decode<wire::ReasonBody>(body)->reason;
    }
    static security::ClientDescriptor descriptor(const Phone& p) { return {p.identity, p.name, "iPhone"}; }
    security::ClientPairingHandshake requestPairing(Phone& phone, const std::string& code) {
        phone.conn = open();
        security::ClientPairingHandshake handshake(descriptor(phone), code, X25519PrivateKey::generate(),
                                                   Hex::random(16));
        sendPlain(phone.conn, FrameType::pairRequest, *handshake.makeRequest());
        return handshake;
    }
    /// Runs the pairing handshake with `code`; returns the host's last frame.
    wire::TCPFrame pair(Phone& phone, const std::string& code) {
        auto handshake = requestPairing(phone, code);
        auto challenge = framesTo(phone.conn).back();
        if (challenge.type != FrameType::pairChallenge) {
            return challenge;
        }
        out.actions.clear();
        sendPlain(phone.conn, FrameType::pairConfirm, *handshake.handleChallenge(challenge.body));
        if (out.has<store::SaveClient>()) {
            store->upsertClient(out.all<store::SaveClient>().front().record);
            core.pairingSaved(phone.conn, true, "", now, out);
        }
        const auto frames = framesTo(phone.conn);
        auto last = frames.empty() ? challenge : frames.back();
        if (last.type == FrameType::pairComplete) {
            auto result = handshake.handleComplete(last.body, now.wall);
            EXPECT_TRUE(result.has_value());
            phone.host = result->host;
            phone.useKey(result->keys.sessionKey);
        }
        return last;
    }
    void authenticate(Phone& phone, const std::function<void()>& meanwhile = [] {}) {
        phone.conn = open();
        security::ClientAuthHandshake handshake(descriptor(phone), *phone.host, X25519PrivateKey::generate(),
                                                Hex::random(16));
        out.actions.clear();
        sendPlain(phone.conn, FrameType::authHello, *handshake.makeHello());
        auto result = handshake.handleChallenge(framesTo(phone.conn).back().body);
        ASSERT_TRUE(result.has_value());
        meanwhile();
        sendPlain(phone.conn, FrameType::authResponse, result->responseBody);
        phone.useKey(result->keys.sessionKey);
        phone.seq = 0;
    }
    Phone pairedPhone(std::string name = "Phone") {
        Phone phone{std::move(name)};
        EXPECT_EQ(pair(phone, core.beginPairing().code).type, FrameType::pairComplete);
        return phone;
    }
    void datagram(Phone& phone, const InputPacket& packet) {
        if (!std::exchange(flowOpen, true)) {
            core.flowOpened(1, endpoint({192, 168, 1, 20}, 40000), now, out);
        }
        core.datagramReceived(1, wire::UDPCodec::seal(packet, phone.key), 0, now, out);
    }
    static InputPacket key(Phone& phone, std::uint16_t usage) { return keyAt(++phone.seq, usage); }
    static InputPacket keyAt(std::uint64_t seq, std::uint16_t usage) {
        return InputPacket(seq, InputEvent(InputEvent::Key{usage, wire::KeyState::down, false}));
    }
    static InputPacket move(std::uint64_t seq, float dx = 1) {
        return InputPacket(seq, InputEvent(InputEvent::MouseMove{dx, 0}));
    }
    testing::LogCapture log;
    std::shared_ptr<pairing::PairedStore> store = std::make_shared<pairing::PairedStore>(std::nullopt);
    HostCore core{security::LocalIdentity::generate(), store};
    Recorder out;
    Now now{base::MonotonicTime{} + 1000s, base::WallTime{} + 1'800'000'000s};
    ConnectionId nextConnection = 1;
    bool flowOpen = false;
};

TEST_F(HostCoreTest, pairingCompletesAndUsesTheCodeUp) {
    Phone phone{"Phone\nTarvel: Paired with Admin"};  // a name must not forge a log line
    const auto code = core.beginPairing().code;
    out.actions.clear();
    EXPECT_EQ(pair(phone, code).type, FrameType::pairComplete);
    EXPECT_EQ(core.phase(phone.conn), HostCore::Phase::established);
    EXPECT_TRUE(out.has<PairingCompleted>() && out.has<ActivityChanged>());
    EXPECT_EQ(out.all<PairingCodeEnded>().at(0).how, PairingCodeEnd::used);
    EXPECT_TRUE(log.contains("Paired with Phone?Tarvel: Paired with Admin (192.168.1.20)"));
    Phone second;
    EXPECT_EQ(reason(pair(second, code).body), "no_active_code");
}

TEST_F(HostCoreTest, wrongCodesAreCountedTheFifthKillsTheCodeAndNothingAfterARefusalIsHandled) {
    sendPlain(open(), FrameType::pairRequest, text(R"({"x":1})"));
    EXPECT_EQ(reason(framesTo(1).back().body), "no_active_code");
    const auto code = core.beginPairing().code;
    const std::string wrong = code == "000000" ? "111111" : "000000";
    Phone first;
    auto handshake = requestPairing(first, wrong);
    const auto confirm = *wire::TCPFrameCodec::encodePlain(
        FrameType::pairConfirm, *handshake.handleChallenge(framesTo(first.conn).back().body));
    out.actions.clear();
    feed(first.conn, twice(confirm));  // the second confirm in the same read is never handled
    ASSERT_EQ(framesTo(first.conn).size(), 1u);
    EXPECT_EQ(framesTo(first.conn)[0].type, FrameType::pairReject);
    for (int attempt = 2; attempt <= 5; ++attempt) {
        Phone phone;
        out.actions.clear();
        EXPECT_EQ(pair(phone, wrong).type, FrameType::pairReject);
        EXPECT_EQ(out.has<PairingCodeEnded>(), attempt == 5) << attempt;
    }
    EXPECT_TRUE(log.contains("dead after five wrong attempts"));
    Phone late;
    EXPECT_EQ(pair(late, code).type, FrameType::pairReject);  // even the right code now
}

TEST_F(HostCoreTest, authenticationSealsAuthOKWithCounterZeroAndTheSessionPingsAndDiesOnTamper) {
    Phone phone = pairedPhone();
    const auto pairedConn = phone.conn;
    advance(5s);
    authenticate(phone);  // a reconnect replaces the old session
    EXPECT_TRUE(closed(pairedConn));
    EXPECT_EQ(core.phase(pairedConn), std::nullopt);
    EXPECT_EQ(core.onlineClientIds(), std::set<std::string>{phone.identity.id()});
    auto opened = phone.channel->open(framesTo(phone.conn).back());  // the channel's first frame
    ASSERT_TRUE(opened.has_value());
    EXPECT_EQ(std::string(opened->begin(), opened->end()), "{}");
    EXPECT_EQ(out.all<store::TouchClient>().at(0).remoteIp, "192.168.1.20");
    out.actions.clear();
    sendSealed(phone, FrameType::ping, wire::PingBody{42});
    auto pong = framesTo(phone.conn).back();
    EXPECT_EQ(pong.type, FrameType::pong);
    auto body = phone.channel->open(pong);
    EXPECT_EQ(std::string(body->begin(), body->end()), R"({"ts":42})");
    auto sealed = *phone.channel->seal(FrameType::ping, wire::PingBody{43});
    sealed.back() ^= 0x01;
    feed(phone.conn, sealed);
    EXPECT_TRUE(closed(phone.conn));
}

TEST_F(HostCoreTest, beforeASessionOnlyOneInfoReplyIsSentAndUnknownOrMalformedHellosAreRefused) {
    const auto info = open();
    const auto getInfo = *wire::TCPFrameCodec::encodePlain(FrameType::getInfo, {});
    feed(info, twice(getInfo));
    ASSERT_EQ(framesTo(info).size(), 1u);
    EXPECT_EQ(wire::JSONCodec::decode<wire::InfoReply>(framesTo(info)[0].body)->udpPort, 49182);
    EXPECT_TRUE(out.all<Send>().front().thenClose);
    EXPECT_EQ(core.phase(info), std::nullopt);
    const auto host = pairedPhone().host;
    security::ClientAuthHandshake stranger(descriptor(Phone{"Stranger"}), *host, X25519PrivateKey::generate(),
                                           Hex::random(16));
    const auto id = open();
    sendPlain(id, FrameType::authHello, *stranger.makeHello());
    ASSERT_EQ(framesTo(id).size(), 1u);
    EXPECT_EQ(framesTo(id)[0].type, FrameType::errUnpaired);
    EXPECT_TRUE(closed(id));
    const auto malformed = open();
    sendPlain(malformed, FrameType::authHello, text("not json"));
    EXPECT_TRUE(framesTo(malformed).empty() && closed(malformed));
    const auto early = open();
    sendPlain(early, FrameType::ping, text(R"({"ts":1})"));
    EXPECT_TRUE(closed(early));
}

TEST_F(HostCoreTest, junkIsDroppedStaleMovesDroppedTheReliablePathSharesTheWindowAndMovesSummed) {
    Phone phone = pairedPhone();
    datagram(phone, key(phone, 0x04));
    out.actions.clear();
    std::mt19937 random(7);
    wire::UDPCodec::Datagram junk{};
    std::ranges::generate(junk, [&] { return static_cast<std::uint8_t>(random()); });
    core.datagramReceived(1, junk, 0, now, out);
    core.datagramReceived(1, wire::ByteView(junk.data(), 35), 0, now, out);
    EXPECT_TRUE(out.actions.empty());
    // Stale moves are dropped while keys pass on the replay window alone.
    datagram(phone, move(12));
    core.moveInjected(out);
    datagram(phone, move(10));
    datagram(phone, keyAt(11, 4));
    EXPECT_EQ(out.injections(), (Kinds{"move", "packet"}));
    // The reliable path shares the window: a seq a datagram used is not run again.
    out.actions.clear();
    sendSealed(phone, FrameType::reliableInput, keyAt(11, 4).plain20());
    sendSealed(phone, FrameType::reliableInput, keyAt(13, 5).plain20());
    ASSERT_EQ(out.all<inject::Packet>().size(), 1u);
    EXPECT_EQ(out.all<inject::Packet>()[0].packet.seq, 13u);
    // Moves arriving while one is in flight are summed, and a click waits for them.
    out.actions.clear();
    for (phone.seq = 21; phone.seq <= 41; ++phone.seq) {
        datagram(phone, move(phone.seq));
    }
    ASSERT_EQ(out.all<inject::Packet>().size(), 1u);  // the first; twenty wait
    out.actions.clear();
    core.moveInjected(out);
    auto summed = out.all<inject::Packet>();
    ASSERT_EQ(summed.size(), 1u);
    EXPECT_FLOAT_EQ(summed[0].packet.event.as<InputEvent::MouseMove>()->dx, 20);
    EXPECT_EQ(summed[0].packet.seq, 41u);
    out.actions.clear();
    datagram(phone, move(42, 3));  // waits
    datagram(phone, InputPacket(43, InputEvent(InputEvent::MouseButton{1, true, 1})));
    EXPECT_EQ(out.injections(), (Kinds{"move", "packet"}));
}

TEST_F(HostCoreTest, controlPassesOnlyAfterTheControllersKeysAreReleased) {
    Phone a = pairedPhone("A");
    Phone b = pairedPhone("B");
    EXPECT_EQ(core.activeDeviceName(), "A");
    out.actions.clear();
    sendSealed(b, FrameType::textUTF8, wire::TextBody{"hi"});
    EXPECT_EQ(out.injections(), (Kinds{"release", "text:hi"}));
    EXPECT_EQ(core.activeDeviceName(), "B");
    // Closing the controller releases and hands control to another session.
    out.actions.clear();
    core.connectionEnded(b.conn, "closed by the device", now, out);
    EXPECT_EQ(out.injections(), (Kinds{"release"}));
    EXPECT_EQ(core.activeDeviceName(), "A");
    EXPECT_FALSE(out.has<ActivityChanged>());
    core.connectionEnded(a.conn, "closed by the device", now, out);
    EXPECT_FALSE(out.all<ActivityChanged>().at(0).controlled);
    out.actions.clear();
    datagram(a, key(a, 0x04));  // once its session is gone, a key opens nothing
    EXPECT_FALSE(out.has<inject::Packet>());
}

TEST_F(HostCoreTest, idleLimitsCloseSilentSessionsAndForgetSilentFlows) {
    Phone phone = pairedPhone();
    const auto handshaking = open();
    datagram(phone, key(phone, 4));
    out.actions.clear();
    const auto tickAfter = [&](std::chrono::nanoseconds step) { advance(step), core.tick(now, out); };
    tickAfter(10s);
    EXPECT_TRUE(out.has<inject::SuperviseTick>());
    EXPECT_FALSE(closed(phone.conn));
    tickAfter(1ms);
    EXPECT_TRUE(closed(phone.conn));
    EXPECT_FALSE(closed(handshaking));  // 15 s apply before a handshake ends
    tickAfter(5s);
    EXPECT_TRUE(closed(handshaking));
    EXPECT_EQ(core.flowCount(), 1u);
    EXPECT_FALSE(core.needsSupervision());  // a flow alone: the shell expires it on its slower refresh
    tickAfter(121s);
    EXPECT_EQ(core.flowCount(), 0u);
    EXPECT_FALSE(core.needsSupervision());
}

TEST_F(HostCoreTest, silentConnectionsCannotLockOutARealHandshake) {
    Phone phone = pairedPhone();
    core.connectionEnded(phone.conn, "closed by the device", now, out);
    // From one address, then from many: a flood renewed faster than any idle
    // limit, going on while the phone authenticates.
    int flooded = 0;
    auto flood = [&](int count) {
        for (int i = 0; i < count; ++i, ++flooded) {
            const auto high = static_cast<std::uint8_t>(i / 250), low = static_cast<std::uint8_t>(i % 250);
            open(flooded < 1000 ? Ip{10, 0, 0, 9} : Ip{10, 1, high, low});
            advance(100us);
        }
    };
    flood(1000);
    EXPECT_EQ(core.sessionCount(), 8u);  // one address holds at most eight handshakes
    flood(1000);
    EXPECT_EQ(core.sessionCount(), 32u);
    authenticate(phone, [&] { flood(20); });
    EXPECT_EQ(core.phase(phone.conn), HostCore::Phase::established);
    EXPECT_EQ(core.phase(2), std::nullopt);  // the oldest made room
}

TEST_F(HostCoreTest, refusedAddressesAndTooManyFlowsAreBounded) {
    for (ConnectionId id = 100; id < 200; ++id) {
        core.connectionOpened(id, endpoint({8, 8, 8, 8}), now, out);
    }
    EXPECT_TRUE(closed(150));
    EXPECT_EQ(core.sessionCount(), 0u);
    EXPECT_LE(log.lines().size(), 20u);  // anyone can cause these: bounded
    advance(10s);
    core.connectionOpened(200, endpoint({8, 8, 8, 8}), now, out);
    EXPECT_TRUE(log.contains("80 more refusals were not logged"));
    core.flowOpened(1, endpoint({8, 8, 4, 4}), now, out);
    EXPECT_EQ(core.flowCount(), 0u);
    out.actions.clear();
    const FlowId bound = Limits{}.maxUdpPeers;
    for (FlowId id = 1; id <= bound + 1; ++id) {
        core.flowOpened(id, endpoint({192, 168, 1, 2}, static_cast<std::uint16_t>(id)), now, out);
        advance(1ms);
    }
    const auto drops = out.all<DropFlow>();  // a full table makes room for many, the longest idle
    ASSERT_EQ(drops.size(), bound / 8);
    EXPECT_EQ(std::ranges::min(drops, {}, &DropFlow::flow).flow, 1u);
    EXPECT_EQ(std::ranges::max(drops, {}, &DropFlow::flow).flow, bound / 8);
    EXPECT_EQ(core.flowCount(), bound + 1 - bound / 8);
}

TEST_F(HostCoreTest, aJunkFloodCannotMuteOrEvictAPhoneAndMutedFlowsGetAChanceWithEachNewKey) {
    Phone phone = pairedPhone();
    datagram(phone, key(phone, 4));  // flow 1 carries the phone's input
    const std::array<std::uint8_t, wire::UDPCodec::datagramLength> junk{};
    const wire::ByteView junkView(junk);
    const FlowId bound = Limits{}.maxUdpPeers;
    // Forged ports beyond the bound: they push out each other, never the phone.
    for (FlowId id = 2; id <= bound + 50; ++id) {
        advance(1ms);
        core.flowOpened(id, endpoint({192, 168, 1, 66}, static_cast<std::uint16_t>(id)), now, out);
        core.datagramReceived(id, junkView, 0, now, out);
    }
    EXPECT_LE(core.flowCount(), bound);
    for (const auto& drop : out.all<DropFlow>()) {
        EXPECT_NE(drop.flow, 1u);
    }
    const auto mute = [&](FlowId flow, std::uint8_t host, std::uint16_t port) {
        core.flowOpened(flow, endpoint({192, 168, 1, host}, port), now, out);
        for (std::uint32_t i = 0; i < Limits{}.unopenedFlowAttempts; ++i) {
            core.datagramReceived(flow, junkView, 0, now, out);
        }
    };
    // Another phone's flow failed to open often enough to be muted...
    const FlowId early = 5000, junkFlow = 6000;
    mute(early, 21, 40001);
    Phone second = pairedPhone("Second");
    const auto keyOn = [&](FlowId flow, std::uint16_t usage) {
        out.actions.clear();
        core.datagramReceived(flow, wire::UDPCodec::seal(key(second, usage), second.key), 0, now, out);
        return out.injections();
    };
    // ...but a new session's key gets tried on it again.
    EXPECT_EQ(keyOn(early, 5), (Kinds{"release", "packet"}));
    // A flow that keeps failing with no new session stops costing decryptions:
    // even a genuine datagram on it is no longer tried.
    mute(junkFlow, 22, 40002);
    EXPECT_TRUE(keyOn(junkFlow, 6).empty());
    // Yet a device whose port was fouled first is heard within the retry interval.
    advance(Timings{}.mutedFlowRetry);
    EXPECT_EQ(keyOn(junkFlow, 7), (Kinds{"packet"}));
    // A captured datagram replayed from forged ports opens none of them and is never echoed.
    const InputPacket acked(second.seq, InputEvent(InputEvent::Key{4, wire::KeyState::down, false}), {},
                            wire::GesturePhase::none, true);
    const auto captured = wire::UDPCodec::seal(acked, second.key);
    out.actions.clear();
    for (FlowId forged = 7000; forged < 7010; ++forged) {
        core.flowOpened(forged, endpoint({192, 168, 1, 23}, static_cast<std::uint16_t>(forged)), now, out);
        for (std::uint32_t i = 0; i <= Limits{}.unopenedFlowAttempts; ++i) {
            core.datagramReceived(forged, captured, 0, now, out);
        }
    }
    EXPECT_FALSE(out.has<SendDatagram>());
    EXPECT_TRUE(out.injections().empty());
    core.datagramReceived(junkFlow, captured, 0, now, out);  // the device's own flow acknowledges it
    EXPECT_EQ(out.all<SendDatagram>().size(), 1u);
    // The phone's own flow, once opened, is never muted by failures.
    for (int i = 0; i < 10; ++i) {
        core.datagramReceived(1, junkView, 0, now, out);
    }
    datagram(phone, key(phone, 7));
    EXPECT_EQ(out.injections(), (Kinds{"release", "packet"}));
}

TEST_F(HostCoreTest, removingAConnectedDeviceSendsUnpairedByHostThenClosesAndStopEndsEverything) {
    Phone phone = pairedPhone();
    out.actions.clear();
    core.removeClient(phone.identity.id(), now, out);
    EXPECT_EQ(out.all<store::RemoveClient>().at(0).clientId, phone.identity.id());
    auto frame = framesTo(phone.conn).back();
    EXPECT_EQ(frame.type, FrameType::unpairedByHost);
    EXPECT_EQ(reason(*phone.channel->open(frame)), "removed_by_user");
    EXPECT_TRUE(out.all<Send>().back().thenClose);
    EXPECT_EQ(out.injections(), (Kinds{"release"}));
    EXPECT_TRUE(core.onlineClientIds().empty());
    // One removed while it authenticates is not let in.
    Phone other = pairedPhone("Other");
    core.connectionEnded(other.conn, "closed by the device", now, out);
    authenticate(other, [&] {
        store->removeClient(other.identity.id());  // what the shell does for RemoveClient
        core.removeClient(other.identity.id(), now, out);
    });
    EXPECT_EQ(core.phase(other.conn), std::nullopt);
    EXPECT_NE(framesTo(other.conn).back().type, FrameType::authOK);
    // After stop nothing is handled and the last injection is the release.
    Phone last = pairedPhone("Last");
    datagram(last, key(last, 4));
    out.actions.clear();
    core.stop(now, out);
    EXPECT_TRUE(closed(last.conn));
    EXPECT_EQ(out.injections().back(), "release");
    out.actions.clear();
    // A read and a datagram completed just before stop arrive after it.
    sendSealed(last, FrameType::reliableInput, key(last, 5).plain20());
    datagram(last, key(last, 6));
    core.tick(now, out);
    core.moveInjected(out);
    core.connectionOpened(500, endpoint({192, 168, 1, 9}), now, out);
    EXPECT_TRUE(out.injections().empty() && !out.has<ActivityChanged>());
    EXPECT_FALSE(core.needsSupervision());
}

}  // namespace
}  // namespace tarvel::server
