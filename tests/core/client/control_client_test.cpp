// The client's control protocol without sockets: a host half from the core
// answers it byte for byte, and time is stepped by hand.
#include <gtest/gtest.h>

#include "core/client/control_client.hpp"
#include "core/security/handshake_frames.hpp"
#include "core/security/host_handshakes.hpp"
#include "core/security/pairing_code_state.hpp"

namespace tarvel::client {
namespace {

using namespace std::chrono_literals;
using Output = ControlClient::Output;

const base::MonotonicTime t0{std::chrono::hours(1)};
const base::WallTime wall{std::chrono::seconds(1'700'000'000)};

wire::TCPFrame only(const Output& out) {
    EXPECT_EQ(out.send.size(), 1u);
    wire::TCPFrameDecoder decoder;
    decoder.append(out.send.at(0));
    return **decoder.next();
}

wire::Bytes plain(std::uint8_t type, wire::ByteView body) {
    return *wire::TCPFrameCodec::encodePlain(type, body);
}

security::HostDescriptor hostDescriptor() {
    return {security::LocalIdentity::generate(), "Host", "macos", std::nullopt, {}, {}, 49182};
}

/// A client paired through the core's host half; the host's channel to match.
struct Paired {
    ControlClient client = ControlClient::forPairing(
        {security::LocalIdentity::generate(), "Phone", "Model"}, "123456", std::nullopt);
    std::optional<wire::SecureTCPChannel> host;
    std::optional<ControlClient::Established> established;
    explicit Paired(security::HostDescriptor descriptor = hostDescriptor()) {
        security::HostPairingHandshake handshake(
            std::move(descriptor), std::make_shared<security::PairingCodeState>("123456"),
            security::X25519PrivateKey::generate(), {});
        Output out;
        client.start(t0, out);
        auto challenge = handshake.handlePairRequest(only(out).body);
        out.clear();
        client.received(plain(wire::FrameType::pairChallenge, *challenge), t0, wall, out);
        auto result = handshake.handleConfirm(only(out).body, "127.0.0.1", wall);
        out.clear();
        client.received(plain(wire::FrameType::pairComplete, result->completeBody), t0, wall, out);
        EXPECT_TRUE(out.established);
        established = out.established;
        host.emplace(result->keys.sessionKey, wire::SecureTCPChannel::Role::host);
    }
};

TEST(ControlClient, pingsEveryThreeSecondsAndGivesUpAfterTenSilentOnes) {
    Paired paired;
    auto& client = paired.client;
    Output out;
    client.tick(t0 + 2999ms, out);
    EXPECT_TRUE(out.send.empty());
    EXPECT_EQ(client.nextDeadline(), t0 + 3s);
    client.tick(t0 + 3s, out);
    const auto ping = only(out);
    ASSERT_EQ(ping.type, wire::FrameType::ping);
    const auto body = wire::JSONCodec::decode<wire::PingBody>(*paired.host->open(ping));
    EXPECT_EQ(body->ts, static_cast<std::uint64_t>((t0 + 3s).time_since_epoch().count()));
    // The pong counts as life and hands back the ts it echoes.
    out.clear();
    client.received(*paired.host->seal(wire::FrameType::pong, *body), t0 + 4s, wall, out);
    EXPECT_EQ(out.pongs, std::vector<std::uint64_t>{body->ts});
    client.tick(t0 + 14s, out);
    EXPECT_FALSE(out.failed);
    out.clear();
    client.tick(t0 + 14s + 1ns, out);
    EXPECT_EQ(out.failed, ClientError::timedOut);
    EXPECT_EQ(client.phase(), ControlClient::Phase::closed);
    out.clear();
    client.received(*paired.host->seal(wire::FrameType::pong, *body), t0 + 15s, wall, out);
    client.tick(t0 + 20s, out);
    EXPECT_TRUE(out.send.empty() && out.pongs.empty() && !out.failed);
    EXPECT_FALSE(client.seal(wire::FrameType::ping, wire::PingBody{1}));
}

TEST(ControlClient, anUnansweredHandshakeTimesOutAndTrickledBytesOrUnaskedPongsKeepNothingAlive) {
    auto client = ControlClient::forInfo();
    EXPECT_FALSE(client.seal(wire::FrameType::textUTF8, wire::TextBody{"early"}));
    Output out;
    client.start(t0, out);
    EXPECT_EQ(only(out), (wire::TCPFrame{wire::FrameType::getInfo, {}}));
    out.clear();
    client.tick(t0 + 10s, out);
    EXPECT_TRUE(out.send.empty()) << "no keep-alive before the session";
    client.tick(t0 + 10s + 1ns, out);
    EXPECT_EQ(out.failed, ClientError::timedOut);
    // One byte of a never-ending frame every second is no answer.
    auto info = ControlClient::forInfo();
    out.clear();
    info.start(t0, out);
    const auto frame = plain(wire::FrameType::infoReply, wire::Bytes(1000, ' '));
    for (int i = 0; i < 16 && !out.failed; ++i) {
        info.received(wire::ByteView(&frame[static_cast<std::size_t>(i)], 1), t0 + std::chrono::seconds(i), wall, out);
        info.tick(t0 + std::chrono::seconds(i), out);
    }
    EXPECT_EQ(out.failed, ClientError::timedOut);
    // Pongs nobody asked for are dropped; a session that only hears them
    // still times out, and the pong of a real ping is reported once.
    Paired paired;
    out.clear();
    for (int i = 1; i <= 11; ++i) {
        paired.client.received(*paired.host->seal(wire::FrameType::pong, wire::PingBody{7}),
                               t0 + std::chrono::seconds(i), wall, out);
    }
    EXPECT_TRUE(out.pongs.empty());
    auto sealed = paired.client.ping(99);
    ASSERT_TRUE(sealed);
    Output sent;
    sent.send.push_back(*sealed);
    const auto body = wire::JSONCodec::decode<wire::PingBody>(*paired.host->open(only(sent)));
    EXPECT_EQ(body->ts, 99u);
    for (int i = 0; i < 2; ++i) {
        paired.client.received(*paired.host->seal(wire::FrameType::pong, *body), t0 + 12s, wall, out);
    }
    EXPECT_EQ(out.pongs, std::vector<std::uint64_t>{99});
}

TEST(ControlClient, theHostsEndpointListsAreCappedAndCleaned) {
    auto descriptor = hostDescriptor();
    for (int i = 0; i < 20; ++i) {
        descriptor.lanEndpoints.push_back("10.0.0." + std::to_string(i % 12) + ":1");
    }
    descriptor.lanEndpoints.insert(descriptor.lanEndpoints.begin(), {"", "bad address:1", std::string(300, 'x')});
    descriptor.tailscaleEndpoints = {"\x1b]52;c;evil\x07:1", "100.64.0.1:49182"};
    Paired paired(descriptor);
    ASSERT_TRUE(paired.established);
    const auto& record = paired.established->host;
    EXPECT_EQ(record.lanEndpoints.size(), ControlClient::maxEndpoints);
    EXPECT_EQ(record.lanEndpoints.front(), "10.0.0.0:1");
    EXPECT_EQ(record.tailscaleEndpoints, std::vector<std::string>{"100.64.0.1:49182"});
}

TEST(ControlClient, theFrameThatEndsTheConnectionIsTheLastOneRead) {
    // A refusal and a challenge in one read: the challenge is never answered.
    auto pairing = ControlClient::forPairing({security::LocalIdentity::generate(), "P", "M"},
                                             "123456", std::nullopt);
    Output out;
    pairing.start(t0, out);
    out.clear();
    auto refusal = plain(wire::FrameType::pairReject,
                         security::HandshakeFrames::rejectBody(security::HandshakeError::invalidCode()));
    const auto garbage = plain(wire::FrameType::pairChallenge, wire::Bytes{'{', '}'});
    refusal.insert(refusal.end(), garbage.begin(), garbage.end());
    pairing.received(refusal, t0, wall, out);
    EXPECT_EQ(out.failed, ClientError::wrongCode);
    EXPECT_TRUE(out.send.empty());
    // Removed by the host's user: its own error, and the pong behind it is not read.
    Paired paired;
    auto frames = *paired.host->seal(wire::FrameType::unpairedByHost, wire::ReasonBody{"removed_by_user"});
    const auto pong = *paired.host->seal(wire::FrameType::pong, wire::PingBody{7});
    frames.insert(frames.end(), pong.begin(), pong.end());
    out.clear();
    paired.client.received(frames, t0, wall, out);
    EXPECT_EQ(out.failed, ClientError::removedByHost);
    EXPECT_TRUE(out.pongs.empty());
    // A sealed frame that does not open ends the session: the stream is not ours.
    Paired tampered;
    auto frame = *tampered.host->seal(wire::FrameType::pong, wire::PingBody{7});
    frame.back() ^= 1;
    out.clear();
    tampered.client.received(frame, t0, wall, out);
    EXPECT_EQ(out.failed, ClientError::protocolError);
    // An unexpected clear frame during a handshake, or a bad length field.
    auto info = ControlClient::forInfo();
    out.clear();
    info.start(t0, out);
    info.received(plain(wire::FrameType::authChallenge, wire::Bytes{'{', '}'}), t0, wall, out);
    EXPECT_EQ(out.failed, ClientError::protocolError);
    auto broken = ControlClient::forInfo();
    out.clear();
    broken.start(t0, out);
    broken.received(wire::Bytes{0, 0, 0, 0}, t0, wall, out);
    EXPECT_EQ(out.failed, ClientError::protocolError);
}

}  // namespace
}  // namespace tarvel::client
