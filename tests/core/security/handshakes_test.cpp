// The host and client halves of pairing and authentication, run against each
// other in memory, and every refusal that guards the host.
#include <gtest/gtest.h>

#include <memory>
#include <set>

#include "core/security/client_handshakes.hpp"
#include "core/security/handshake_frames.hpp"
#include "core/security/hex.hpp"
#include "core/security/host_handshakes.hpp"
#include "core/wire/frame.hpp"
#include "core/wire/secure_channel.hpp"

namespace tarvel::security {
namespace {

using pairing::PairedStore;
using std::chrono::system_clock;

const system_clock::time_point pairedAt =
    system_clock::time_point(std::chrono::seconds(1800000000)) + std::chrono::milliseconds(700);

HandshakeError errorOf(const HandshakeFailure& failure) {
    const HandshakeError* error = handshakeError(failure);
    EXPECT_NE(error, nullptr) << "an encoding failure where a handshake error was expected";
    return error ? *error : HandshakeError::rejected("encoding failure");
}

Bytes bytesOf(std::string_view text) {
    return wire::toBytes(text);
}

/// Fixed ephemeral keys and nonces, so a test can rebuild a transcript and
/// forge exactly one part of a message.
struct Keys {
    X25519PrivateKey clientX = X25519PrivateKey::fromBytes(Bytes(32, 0x11)).value();
    X25519PrivateKey hostX = X25519PrivateKey::fromBytes(Bytes(32, 0x22)).value();
    Bytes clientNonce = Bytes(16, 0x33);
    HostNonce hostNonce = [] {
        HostNonce nonce{};
        nonce.fill(0x44);
        return nonce;
    }();
};

class Handshakes : public ::testing::Test {
  protected:
    LocalIdentity hostIdentity = LocalIdentity::generate();
    LocalIdentity clientIdentity = LocalIdentity::generate();
    std::shared_ptr<PairedStore> store = std::make_shared<PairedStore>(std::nullopt);
    Keys keys;

    HostDescriptor host(const LocalIdentity& identity) const {
        return HostDescriptor{
            identity, "Desk", "macos", "desktop", {"192.168.1.10:49182"}, {"100.101.102.103:49182"},
            49183};
    }
    HostDescriptor host() const { return host(hostIdentity); }
    ClientDescriptor client() const {
        return ClientDescriptor{clientIdentity, "Anna's Phone", "iPhone15,2"};
    }

    HostPairingHandshake hostPairing(std::shared_ptr<PairingCodeState> code) const {
        return HostPairingHandshake(host(), std::move(code), keys.hostX, keys.hostNonce);
    }
    ClientPairingHandshake clientPairing(const std::string& code) const {
        return ClientPairingHandshake(client(), code, keys.clientX, keys.clientNonce);
    }

    /// Runs a whole pairing; the host's answer is the confirm result.
    struct Pairing {
        tl::expected<HostPairResult, HandshakeFailure> host;
        std::optional<tl::expected<ClientPairResult, HandshakeFailure>> client;
    };
    Pairing pair(const std::shared_ptr<PairingCodeState>& code, const std::string& typed) {
        auto hostSide = hostPairing(code);
        auto clientSide = clientPairing(typed);
        auto challenge = hostSide.handlePairRequest(clientSide.makeRequest().value());
        EXPECT_TRUE(challenge);
        auto confirm = clientSide.handleChallenge(challenge.value());
        EXPECT_TRUE(confirm);
        Pairing result{hostSide.handleConfirm(confirm.value(), "192.168.1.20", pairedAt),
                       std::nullopt};
        if (result.host) {
            result.client = clientSide.handleComplete(result.host->completeBody, pairedAt);
        }
        return result;
    }

    pairing::PairedHostRecord pinned() const {
        pairing::PairedHostRecord record;
        record.hostId = hostIdentity.id();
        record.ed25519PublicKeyHex = hostIdentity.publicKeyHex();
        return record;
    }

    Bytes pairTranscript() const {
        return HandshakeKDF::pairTranscript(clientIdentity.id(), hostIdentity.id(),
                                            keys.clientX.publicKey(), keys.hostX.publicKey(),
                                            clientIdentity.publicKey(), hostIdentity.publicKey(),
                                            keys.clientNonce, keys.hostNonce);
    }
    Bytes authTranscript() const {
        return HandshakeKDF::authTranscript(clientIdentity.id(), hostIdentity.id(),
                                            keys.clientX.publicKey(), keys.hostX.publicKey(),
                                            keys.clientNonce, keys.hostNonce);
    }
};

TEST_F(Handshakes, pairThenAuthenticateAgreeOnKeysAndTheChannelsInteroperate) {
    auto code = std::make_shared<PairingCodeState>("042917");
    auto pairing = pair(code, "042917");
    ASSERT_TRUE(pairing.host);
    ASSERT_TRUE(pairing.client && *pairing.client);
    const HostPairResult& hostResult = *pairing.host;
    const ClientPairResult& clientResult = **pairing.client;
    EXPECT_EQ(hostResult.keys.sessionKey, clientResult.keys.sessionKey);
    EXPECT_FALSE(code->isActive());

    // What each side keeps of the other.
    EXPECT_EQ(hostResult.client.clientId, clientIdentity.id());
    EXPECT_EQ(hostResult.client.deviceName, "Anna's Phone");
    EXPECT_EQ(hostResult.client.deviceModel, "iPhone15,2");
    EXPECT_EQ(hostResult.client.ed25519PublicKeyHex, clientIdentity.publicKeyHex());
    EXPECT_EQ(hostResult.client.pairedAtUnix, 1800000000);
    EXPECT_EQ(hostResult.client.lastSeenUnix, hostResult.client.pairedAtUnix);
    EXPECT_EQ(hostResult.client.lastRemoteIp, "192.168.1.20");
    EXPECT_EQ(clientResult.host.hostId, hostIdentity.id());
    EXPECT_EQ(clientResult.host.ed25519PublicKeyHex, hostIdentity.publicKeyHex());
    EXPECT_EQ(clientResult.host.displayName, "Desk");
    EXPECT_EQ(clientResult.host.deviceType, "desktop");
    EXPECT_EQ(clientResult.host.lanEndpoints, std::vector<std::string>{"192.168.1.10:49182"});
    EXPECT_EQ(clientResult.host.pairedAtUnix, clientResult.host.lastConnectedUnix);
    EXPECT_EQ(clientResult.udpPort, 49183);

    // Sealed frames flow both ways under the pairing key.
    wire::SecureTCPChannel hostChannel(hostResult.keys.sessionKey,
                                       wire::SecureTCPChannel::Role::host);
    wire::SecureTCPChannel clientChannel(clientResult.keys.sessionKey,
                                         wire::SecureTCPChannel::Role::client);
    auto decodeOne = [](const Bytes& frameBytes) {
        wire::TCPFrameDecoder decoder;
        decoder.append(frameBytes);
        return decoder.next().value().value();
    };
    auto ping = clientChannel.seal(wire::FrameType::ping, bytesOf(R"({"ts":1})")).value();
    EXPECT_EQ(hostChannel.open(decodeOne(ping)).value(), bytesOf(R"({"ts":1})"));
    auto pong = hostChannel.seal(wire::FrameType::pong, bytesOf(R"({"ts":1})")).value();
    EXPECT_EQ(clientChannel.open(decodeOne(pong)).value(), bytesOf(R"({"ts":1})"));

    // Authentication against the stored record, twice: fresh keys each time.
    store->upsertClient(hostResult.client);
    std::vector<wire::SymmetricKey> sessionKeys;
    for (int run = 0; run < 2; ++run) {
        HostAuthHandshake hostAuth(host(), store, X25519PrivateKey::generate(), HostNonce{});
        ClientAuthHandshake clientAuth(client(), clientResult.host, X25519PrivateKey::generate(),
                                       Hex::random(16));
        auto challenge = hostAuth.handleHello(clientAuth.makeHello().value());
        ASSERT_TRUE(challenge);
        auto clientAuthResult = clientAuth.handleChallenge(*challenge);
        ASSERT_TRUE(clientAuthResult);
        EXPECT_EQ(clientAuthResult->challenge.udpPort, 49183);
        auto hostAuthResult = hostAuth.handleResponse(clientAuthResult->responseBody);
        ASSERT_TRUE(hostAuthResult);
        EXPECT_EQ(hostAuthResult->keys.sessionKey, clientAuthResult->keys.sessionKey);
        EXPECT_EQ(hostAuthResult->client, hostResult.client);
        sessionKeys.push_back(hostAuthResult->keys.sessionKey);
    }
    EXPECT_NE(sessionKeys[0], sessionKeys[1]);
    EXPECT_NE(sessionKeys[0], hostResult.keys.sessionKey);
}

TEST_F(Handshakes, challengeCarriesNoProofAndTheHostSignatureCoversTheTranscript) {
    auto hostSide = hostPairing(std::make_shared<PairingCodeState>("123456"));
    auto challenge = hostSide.handlePairRequest(clientPairing("123456").makeRequest().value());
    ASSERT_TRUE(challenge);
    auto json = wire::JSONCodec::parseObject(*challenge).value();
    std::set<std::string> keysSeen;
    for (const auto& [key, value] : json.items()) {
        keysSeen.insert(key);
    }
    EXPECT_EQ(keysSeen, (std::set<std::string>{"deviceType", "hostEd25519PubHex", "hostId",
                                               "hostName", "hostNonceHex", "hostX25519PubHex",
                                               "lanEndpoints", "osType", "tailscaleEndpoints"}));

    store->upsertClient({clientIdentity.id(), "n", "m", clientIdentity.publicKeyHex(), 0, 0, ""});
    HostAuthHandshake hostAuth(host(), store, keys.hostX, keys.hostNonce);
    ClientAuthHandshake clientAuth(client(), pinned(), keys.clientX, keys.clientNonce);
    auto authChallenge = wire::JSONCodec::decode<AuthChallenge>(
        hostAuth.handleHello(clientAuth.makeHello().value()).value());
    ASSERT_TRUE(authChallenge);
    EXPECT_TRUE(HandshakeKDF::verify(Hex::decode(authChallenge->hostSigHex).value(),
                                     authTranscript(), hostIdentity.publicKey()));
}

TEST_F(Handshakes, wrongCodesCountAcrossConnectionsAndTheFifthExhaustsTheCode) {
    auto code = std::make_shared<PairingCodeState>("111111");
    for (int attempt = 1; attempt <= PairingCodeState::maxFailedAttempts; ++attempt) {
        auto pairing = pair(code, "222222");
        ASSERT_FALSE(pairing.host);
        EXPECT_EQ(errorOf(pairing.host.error()), HandshakeError::invalidCode());
        // On the wire this is "invalid_code", which the client reads back as such.
        EXPECT_EQ(
            HandshakeFrames::failure(wire::FrameType::pairReject,
                                     HandshakeFrames::rejectBody(errorOf(pairing.host.error()))),
            HandshakeError::invalidCode());
        EXPECT_EQ(code->failedAttempts(), attempt);
    }
    EXPECT_FALSE(code->isActive());

    // Now even the right code is refused, on a fresh connection, before the body is read.
    auto hostSide = hostPairing(code);
    auto refused = hostSide.handlePairRequest(bytesOf("not even JSON"));
    ASSERT_FALSE(refused);
    EXPECT_EQ(errorOf(refused.error()), HandshakeError::noActiveCode());
}

TEST_F(Handshakes, aConnectionChallengedBeforeTheCodeRanOutCannotPairAfterwards) {
    auto code = std::make_shared<PairingCodeState>("111111");
    auto hostSide = hostPairing(code);
    auto clientSide = clientPairing("111111");
    auto confirm = clientSide.handleChallenge(
        hostSide.handlePairRequest(clientSide.makeRequest().value()).value());
    for (int i = 0; i < PairingCodeState::maxFailedAttempts; ++i) {
        code->registerFailure();
    }
    auto result = hostSide.handleConfirm(confirm.value(), "10.0.0.2", pairedAt);
    ASSERT_FALSE(result);
    EXPECT_EQ(errorOf(result.error()), HandshakeError::noActiveCode());
}

TEST_F(Handshakes, aUsedCodePairsNoSecondDevice) {
    auto code = std::make_shared<PairingCodeState>("314159");
    ASSERT_TRUE(pair(code, "314159").host);
    auto second =
        hostPairing(code).handlePairRequest(clientPairing("314159").makeRequest().value());
    ASSERT_FALSE(second);
    EXPECT_EQ(errorOf(second.error()), HandshakeError::noActiveCode());
}

TEST_F(Handshakes, confirmationSignedByAnotherKeyIsAnInvalidCodeAndCounts) {
    auto code = std::make_shared<PairingCodeState>("000042");
    auto hostSide = hostPairing(code);
    auto clientSide = clientPairing("000042");
    auto confirmBody = clientSide.handleChallenge(
        hostSide.handlePairRequest(clientSide.makeRequest().value()).value());
    auto confirm = wire::JSONCodec::decode<PairConfirm>(confirmBody.value()).value();
    // Right MAC, but signed by a key other than the one the request asked to pin.
    confirm.clientSigHex = Hex::encode(LocalIdentity::generate().sign(pairTranscript()));
    auto result =
        hostSide.handleConfirm(wire::JSONCodec::encode(confirm).value(), "10.0.0.2", pairedAt);
    ASSERT_FALSE(result);
    EXPECT_EQ(errorOf(result.error()), HandshakeError::invalidCode());
    EXPECT_EQ(code->failedAttempts(), 1);
    EXPECT_TRUE(code->isActive());
}

TEST_F(Handshakes, malformedPairingMessagesAreRefusedWithoutCharging) {
    auto code = std::make_shared<PairingCodeState>("000042");
    const std::string validRequest = [&] {
        auto bytes = clientPairing("000042").makeRequest().value();
        return std::string(bytes.begin(), bytes.end());
    }();
    auto requestWith = [&](const std::string& key, const std::string& value) {
        auto json = wire::JSONCodec::parseObject(bytesOf(validRequest)).value();
        json[key] = value;
        return wire::JSONCodec::encode(json).value();
    };
    const std::vector<Bytes> badRequests = {
        bytesOf("{"),
        bytesOf("{}"),
        requestWith("clientX25519PubHex", std::string(62, 'a')),
        requestWith("clientEd25519PubHex", std::string(66, 'a')),
        requestWith("clientNonceHex", std::string(30, 'a')),
        requestWith("clientX25519PubHex", std::string(64, '0')),  // a low-order point
    };
    for (const auto& body : badRequests) {
        auto result = hostPairing(code).handlePairRequest(body);
        ASSERT_FALSE(result);
        EXPECT_EQ(errorOf(result.error()), HandshakeError::malformedMessage());
    }

    auto hostSide = hostPairing(code);
    ASSERT_TRUE(hostSide.handlePairRequest(bytesOf(validRequest)));
    PairConfirm shortMac{std::string(62, 'a'), std::string(128, 'b')};
    auto result =
        hostSide.handleConfirm(wire::JSONCodec::encode(shortMac).value(), "10.0.0.2", pairedAt);
    ASSERT_FALSE(result);
    EXPECT_EQ(errorOf(result.error()), HandshakeError::malformedMessage());
    EXPECT_EQ(code->failedAttempts(), 0);
}

TEST_F(Handshakes, messagesOutOfOrderAreRefused) {
    auto code = std::make_shared<PairingCodeState>("000042");
    auto early = hostPairing(code).handleConfirm(bytesOf("{}"), "10.0.0.2", pairedAt);
    ASSERT_FALSE(early);
    EXPECT_EQ(errorOf(early.error()), HandshakeError::outOfOrder());

    HostAuthHandshake hostAuth(host(), store, keys.hostX, keys.hostNonce);
    auto earlyResponse = hostAuth.handleResponse(bytesOf(R"({"clientSigHex":""})"));
    ASSERT_FALSE(earlyResponse);
    EXPECT_EQ(errorOf(earlyResponse.error()), HandshakeError::outOfOrder());

    auto clientSide = clientPairing("000042");
    auto earlyComplete = clientSide.handleComplete(bytesOf("{}"), pairedAt);
    ASSERT_FALSE(earlyComplete);
    EXPECT_EQ(errorOf(earlyComplete.error()), HandshakeError::outOfOrder());

    // One confirmation per handshake object, even after a wrong one.
    auto hostSide = hostPairing(code);
    auto confirm = clientPairing("999999").handleChallenge(
        hostSide.handlePairRequest(clientPairing("999999").makeRequest().value()).value());
    EXPECT_EQ(errorOf(hostSide.handleConfirm(confirm.value(), "", pairedAt).error()),
              HandshakeError::invalidCode());
    EXPECT_EQ(errorOf(hostSide.handleConfirm(confirm.value(), "", pairedAt).error()),
              HandshakeError::outOfOrder());
    EXPECT_EQ(code->failedAttempts(), 1);
}

TEST_F(Handshakes, unknownClientIsToldItIsUnpaired) {
    HostAuthHandshake hostAuth(host(), store, keys.hostX, keys.hostNonce);
    ClientAuthHandshake clientAuth(client(), pinned(), keys.clientX, keys.clientNonce);
    auto result = hostAuth.handleHello(clientAuth.makeHello().value());
    ASSERT_FALSE(result);
    const HandshakeError error = errorOf(result.error());
    EXPECT_EQ(error, HandshakeError::unpaired());
    const Bytes body = HandshakeFrames::rejectBody(error);
    EXPECT_EQ(std::string(body.begin(), body.end()), R"({"reason":"unpaired"})");
    EXPECT_EQ(HandshakeFrames::failure(wire::FrameType::errUnpaired, body),
              HandshakeError::unpaired());
}

TEST_F(Handshakes, malformedHelloOrDamagedStoredKeyIsAProtocolError) {
    store->upsertClient({clientIdentity.id(), "n", "m", clientIdentity.publicKeyHex(), 0, 0, ""});
    auto hello = [&](std::string x, std::string nonce) {
        AuthHello message{clientIdentity.id(), "n", std::move(x), std::move(nonce)};
        return wire::JSONCodec::encode(message).value();
    };
    const std::vector<Bytes> bad = {
        bytesOf("[]"), hello(std::string(66, 'a'), std::string(32, 'b')),  // 33-byte key
        hello(std::string(64, 'a'), std::string(30, 'b')),                 // 15-byte nonce
    };
    for (const auto& body : bad) {
        auto result =
            HostAuthHandshake(host(), store, keys.hostX, keys.hostNonce).handleHello(body);
        ASSERT_FALSE(result);
        EXPECT_EQ(errorOf(result.error()), HandshakeError::malformedMessage());
    }
    store->upsertClient({clientIdentity.id(), "n", "m", std::string(63, 'a'), 0, 0, ""});
    auto damaged = HostAuthHandshake(host(), store, keys.hostX, keys.hostNonce)
                       .handleHello(hello(std::string(64, 'a'), std::string(32, 'b')));
    ASSERT_FALSE(damaged);
    EXPECT_EQ(errorOf(damaged.error()), HandshakeError::malformedMessage());
}

TEST_F(Handshakes, responseSignedOverTheWrongTranscriptOrByAnotherKeyFails) {
    store->upsertClient({clientIdentity.id(), "n", "m", clientIdentity.publicKeyHex(), 0, 0, ""});
    auto bytes = [](const LocalIdentity::Signature& signature) {
        return Bytes(signature.begin(), signature.end());
    };
    const std::vector<Bytes> forgedSignatures = {
        bytes(clientIdentity.sign(pairTranscript())),
        bytes(LocalIdentity::generate().sign(authTranscript())),
    };
    for (const auto& signature : forgedSignatures) {
        HostAuthHandshake hostAuth(host(), store, keys.hostX, keys.hostNonce);
        ClientAuthHandshake clientAuth(client(), pinned(), keys.clientX, keys.clientNonce);
        ASSERT_TRUE(hostAuth.handleHello(clientAuth.makeHello().value()));
        auto result = hostAuth.handleResponse(
            wire::JSONCodec::encode(AuthResponse{Hex::encode(signature)}).value());
        ASSERT_FALSE(result);
        EXPECT_EQ(errorOf(result.error()), HandshakeError::badSignature());
    }
    // The genuine signature over the same transcript passes.
    HostAuthHandshake hostAuth(host(), store, keys.hostX, keys.hostNonce);
    ASSERT_TRUE(
        hostAuth.handleHello(ClientAuthHandshake(client(), pinned(), keys.clientX, keys.clientNonce)
                                 .makeHello()
                                 .value()));
    EXPECT_TRUE(hostAuth.handleResponse(
        wire::JSONCodec::encode(AuthResponse{Hex::encode(clientIdentity.sign(authTranscript()))})
            .value()));
}

TEST_F(Handshakes, clientRefusesAHostThatIsNotThePinnedOne) {
    store->upsertClient({clientIdentity.id(), "n", "m", clientIdentity.publicKeyHex(), 0, 0, ""});
    auto challengeFrom = [&](const LocalIdentity& identity) {
        return HostAuthHandshake(host(identity), store, keys.hostX, keys.hostNonce)
            .handleHello(ClientAuthHandshake(client(), pinned(), keys.clientX, keys.clientNonce)
                             .makeHello()
                             .value())
            .value();
    };
    auto verdict = [&](const Bytes& challenge, pairing::PairedHostRecord pin) {
        auto result = ClientAuthHandshake(client(), std::move(pin), keys.clientX, keys.clientNonce)
                          .handleChallenge(challenge);
        return result ? HandshakeError::rejected("accepted") : errorOf(result.error());
    };

    // Same id, another key: the signature cannot verify with the pinned key.
    const Bytes seed(32, 0x5A);
    auto impostor = LocalIdentity::fromSeed(hostIdentity.id(), seed).value();
    EXPECT_EQ(verdict(challengeFrom(impostor), pinned()), HandshakeError::badSignature());
    // Another id altogether.
    EXPECT_EQ(verdict(challengeFrom(LocalIdentity::generate()), pinned()),
              HandshakeError::hostKeyMismatch());
    // A pinned key that is not 64 hex digits is refused before any signature check.
    auto damagedPin = pinned();
    damagedPin.ed25519PublicKeyHex = "zz" + damagedPin.ed25519PublicKeyHex.substr(2);
    EXPECT_EQ(verdict(challengeFrom(hostIdentity), damagedPin), HandshakeError::hostKeyMismatch());
    // And the genuine host is accepted.
    EXPECT_EQ(verdict(challengeFrom(hostIdentity), pinned()), HandshakeError::rejected("accepted"));
}

TEST_F(Handshakes, clientChecksTheHostsMacAndSignatureBeforePinning) {
    auto completeWith = [&](auto edit) {
        auto code = std::make_shared<PairingCodeState>("246810");
        auto hostSide = hostPairing(code);
        auto clientSide = clientPairing("246810");
        auto confirm = clientSide.handleChallenge(
            hostSide.handlePairRequest(clientSide.makeRequest().value()).value());
        auto complete =
            wire::JSONCodec::decode<PairComplete>(
                hostSide.handleConfirm(confirm.value(), "10.0.0.2", pairedAt).value().completeBody)
                .value();
        edit(complete);
        auto result =
            clientSide.handleComplete(wire::JSONCodec::encode(complete).value(), pairedAt);
        return result ? HandshakeError::rejected("accepted") : errorOf(result.error());
    };
    EXPECT_EQ(completeWith([](PairComplete&) {}), HandshakeError::rejected("accepted"));
    EXPECT_EQ(completeWith([&](PairComplete& c) {
                  c.hostSigHex = Hex::encode(LocalIdentity::generate().sign(pairTranscript()));
              }),
              HandshakeError::badSignature());
    EXPECT_EQ(
        completeWith([](PairComplete& c) { c.hostMacHex[0] = c.hostMacHex[0] == '0' ? '1' : '0'; }),
        HandshakeError::badMac());
    EXPECT_EQ(completeWith([](PairComplete& c) { c.hostSigHex.pop_back(); }),
              HandshakeError::malformedMessage());
}

TEST(PairingCodeState, codesAreSixDigitsWithLeadingZeros) {
    EXPECT_EQ(PairingCodeState::format(42), "000042");
    EXPECT_EQ(PairingCodeState::format(0), "000000");
    EXPECT_EQ(PairingCodeState::format(999999), "999999");
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        auto state = PairingCodeState::generate();
        ASSERT_EQ(state->code().size(), 6u);
        for (char c : state->code()) {
            ASSERT_TRUE(c >= '0' && c <= '9') << state->code();
        }
        EXPECT_TRUE(state->isActive());
        seen.insert(state->code());
    }
    EXPECT_GT(seen.size(), 190u);  // random, not a constant
}

TEST(PairingCodeState, consumeSucceedsOnceAndNeverAfterExhaustion) {
    PairingCodeState used("123456");
    EXPECT_TRUE(used.consume());
    EXPECT_FALSE(used.consume());
    EXPECT_FALSE(used.isActive());

    PairingCodeState exhausted("123456");
    for (int i = 0; i < 4; ++i) {
        exhausted.registerFailure();
    }
    EXPECT_TRUE(exhausted.isActive());
    exhausted.registerFailure();
    EXPECT_FALSE(exhausted.isActive());
    EXPECT_FALSE(exhausted.consume());
}

}  // namespace
}  // namespace tarvel::security
