#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/security/handshake_frames.hpp"
#include "core/security/handshake_messages.hpp"
#include "core/security/hex.hpp"
#include "core/wire/frame.hpp"

namespace tarvel::security {
namespace {

using wire::JSONCodec::decode;
using wire::JSONCodec::encode;

std::string text(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

template <class T>
std::string encodedText(const T& message) {
    return text(encode(message).value());
}

template <class T>
tl::expected<T, JSONError> decodeText(std::string_view json) {
    return decode<T>(wire::asBytes(json));
}

PairChallenge samplePairChallenge() {
    PairChallenge m;
    m.hostId = "h-1";
    m.hostName = "Desk/Top";
    m.osType = "linux";
    m.hostX25519PubHex = "aa";
    m.hostEd25519PubHex = "bb";
    m.hostNonceHex = "cc";
    m.lanEndpoints = {"192.168.1.2:49182"};
    m.tailscaleEndpoints = {};
    return m;
}

AuthChallenge sampleAuthChallenge() {
    AuthChallenge m;
    m.hostId = "h-1";
    m.hostName = "Desk";
    m.osType = "linux";
    m.hostX25519PubHex = "aa";
    m.hostNonceHex = "cc";
    m.hostSigHex = "dd";
    m.udpPort = 49182;
    m.lanEndpoints = {"10.0.0.2:49182", "[fe80::1]:49182"};
    m.tailscaleEndpoints = {"100.64.0.1:49182"};
    return m;
}

// Exact encodings: keys sorted, no whitespace, "/" not escaped.

TEST(HandshakeMessages, pairRequestEncodesWithSortedKeys) {
    const PairRequest m{"c-1", "Phone", "Model 9", "aa", "bb", "cc"};
    EXPECT_EQ(encodedText(m),
              R"({"clientEd25519PubHex":"bb","clientId":"c-1","clientNonceHex":"cc",)"
              R"("clientX25519PubHex":"aa","deviceModel":"Model 9","deviceName":"Phone"})");
}

TEST(HandshakeMessages, pairChallengeOmitsAbsentDeviceType) {
    EXPECT_EQ(
        encodedText(samplePairChallenge()),
        R"({"hostEd25519PubHex":"bb","hostId":"h-1","hostName":"Desk/Top","hostNonceHex":"cc",)"
        R"("hostX25519PubHex":"aa","lanEndpoints":["192.168.1.2:49182"],"osType":"linux",)"
        R"("tailscaleEndpoints":[]})");
}

TEST(HandshakeMessages, pairChallengeWritesPresentDeviceTypeInSortedPlace) {
    auto m = samplePairChallenge();
    m.deviceType = "laptop";
    EXPECT_EQ(
        encodedText(m),
        R"({"deviceType":"laptop","hostEd25519PubHex":"bb","hostId":"h-1","hostName":"Desk/Top",)"
        R"("hostNonceHex":"cc","hostX25519PubHex":"aa","lanEndpoints":["192.168.1.2:49182"],)"
        R"("osType":"linux","tailscaleEndpoints":[]})");
}

TEST(HandshakeMessages, confirmAndCompleteEncodeExactly) {
    EXPECT_EQ(encodedText(PairConfirm{"11", "22"}), R"({"clientMacHex":"11","clientSigHex":"22"})");
    EXPECT_EQ(encodedText(PairComplete{"33", "44", 49182}),
              R"({"hostMacHex":"33","hostSigHex":"44","udpPort":49182})");
}

TEST(HandshakeMessages, authenticationMessagesEncodeExactly) {
    EXPECT_EQ(
        encodedText(AuthHello{"c-1", "Phone", "aa", "cc"}),
        R"({"clientId":"c-1","clientNonceHex":"cc","clientX25519PubHex":"aa","deviceName":"Phone"})");
    auto challenge = sampleAuthChallenge();
    challenge.deviceType = "desktop";
    EXPECT_EQ(encodedText(challenge),
              R"({"deviceType":"desktop","hostId":"h-1","hostName":"Desk","hostNonceHex":"cc",)"
              R"("hostSigHex":"dd","hostX25519PubHex":"aa","lanEndpoints":["10.0.0.2:49182",)"
              R"("[fe80::1]:49182"],"osType":"linux","tailscaleEndpoints":["100.64.0.1:49182"],)"
              R"("udpPort":49182})");
    EXPECT_EQ(encodedText(AuthResponse{"ee"}), R"({"clientSigHex":"ee"})");
}

// Decoding

template <class T>
void expectRoundTrip(const T& message) {
    auto decoded = decode<T>(encode(message).value());
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, message);
}

TEST(HandshakeMessages, everyMessageRoundTrips) {
    expectRoundTrip(PairRequest{"c-1", "Phone", "Model 9", "aa", "bb", "cc"});
    expectRoundTrip(samplePairChallenge());
    auto withType = samplePairChallenge();
    withType.deviceType = "";
    expectRoundTrip(withType);
    expectRoundTrip(PairConfirm{"11", "22"});
    expectRoundTrip(PairComplete{"33", "44", 0});
    expectRoundTrip(AuthHello{"c-1", "Ph\"one\\", "aa", "cc"});
    expectRoundTrip(sampleAuthChallenge());
    expectRoundTrip(AuthResponse{"ee"});
}

TEST(HandshakeMessages, deviceTypeMissingOrNullDecodesAsAbsent) {
    auto json = samplePairChallenge().toJSON();
    auto decoded = PairChallenge::fromJSON(json);
    ASSERT_TRUE(decoded);
    EXPECT_FALSE(decoded->deviceType.has_value());

    json["deviceType"] = nullptr;
    decoded = PairChallenge::fromJSON(json);
    ASSERT_TRUE(decoded);
    EXPECT_FALSE(decoded->deviceType.has_value());

    auto authJSON = sampleAuthChallenge().toJSON();
    authJSON["deviceType"] = "tablet";
    auto auth = AuthChallenge::fromJSON(authJSON);
    ASSERT_TRUE(auth);
    EXPECT_EQ(auth->deviceType, std::optional<std::string>("tablet"));
}

TEST(HandshakeMessages, wrongJSONTypesFailToDecode) {
    auto json = sampleAuthChallenge().toJSON();
    json["udpPort"] = "49182";
    EXPECT_EQ(AuthChallenge::fromJSON(json), tl::unexpected(JSONError::wrongType));

    json = sampleAuthChallenge().toJSON();
    json["udpPort"] = 49182.5;
    EXPECT_EQ(AuthChallenge::fromJSON(json), tl::unexpected(JSONError::wrongType));

    json = sampleAuthChallenge().toJSON();
    json["deviceType"] = 3;
    EXPECT_EQ(AuthChallenge::fromJSON(json), tl::unexpected(JSONError::wrongType));

    json = samplePairChallenge().toJSON();
    json["lanEndpoints"] = JSON::array({"10.0.0.2:49182", 7});
    EXPECT_EQ(PairChallenge::fromJSON(json), tl::unexpected(JSONError::wrongType));

    json = samplePairChallenge().toJSON();
    json["tailscaleEndpoints"] = "100.64.0.1";
    EXPECT_EQ(PairChallenge::fromJSON(json), tl::unexpected(JSONError::wrongType));

    EXPECT_EQ(decodeText<PairComplete>(R"({"hostMacHex":"33","hostSigHex":"44","udpPort":"1"})"),
              tl::unexpected(JSONError::wrongType));
    EXPECT_EQ(decodeText<AuthResponse>(R"({"clientSigHex":["ee"]})"),
              tl::unexpected(JSONError::wrongType));
}

template <class T>
void expectEveryRequiredKeyNeeded(const T& message, const std::string& optionalKey = {}) {
    const JSON full = message.toJSON();
    ASSERT_TRUE(T::fromJSON(full));
    for (const auto& [key, value] : full.items()) {
        if (key == optionalKey) {
            continue;
        }
        JSON missing = full;
        missing.erase(key);
        EXPECT_EQ(T::fromJSON(missing), tl::unexpected(JSONError::missingKey)) << key;
    }
}

TEST(HandshakeMessages, everyRequiredKeyMustBePresent) {
    auto challenge = samplePairChallenge();
    challenge.deviceType = "laptop";
    auto authChallenge = sampleAuthChallenge();
    authChallenge.deviceType = "laptop";
    expectEveryRequiredKeyNeeded(PairRequest{"c", "n", "m", "x", "e", "o"});
    expectEveryRequiredKeyNeeded(challenge, "deviceType");
    expectEveryRequiredKeyNeeded(PairConfirm{"1", "2"});
    expectEveryRequiredKeyNeeded(PairComplete{"1", "2", 3});
    expectEveryRequiredKeyNeeded(AuthHello{"c", "n", "x", "o"});
    expectEveryRequiredKeyNeeded(authChallenge, "deviceType");
    expectEveryRequiredKeyNeeded(AuthResponse{"s"});
}

TEST(HandshakeMessages, unknownKeysAreIgnored) {
    auto decoded = decodeText<PairConfirm>(
        R"({"clientMacHex":"11","extra":{"nested":[1,2]},"clientSigHex":"22","v":2})");
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, (PairConfirm{"11", "22"}));
}

TEST(HandshakeMessages, bodiesThatAreNotObjectsFail) {
    EXPECT_EQ(decodeText<AuthResponse>("not json"), tl::unexpected(JSONError::invalidJSON));
    EXPECT_EQ(decodeText<AuthResponse>(R"(["clientSigHex"])"),
              tl::unexpected(JSONError::notAnObject));
    EXPECT_EQ(decodeText<AuthResponse>(""), tl::unexpected(JSONError::invalidJSON));
}

TEST(HandshakeMessages, upperCaseHexFieldDecodesToTheSameKey) {
    const std::string lower = "8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a";
    const std::string upper = "8520F0098930A754748B7DDCB43EF75A0DBF3A0D26381AF4EBA4A98EAA9B4E6A";
    auto request = decodeText<AuthHello>(R"({"clientId":"c","deviceName":"n","clientNonceHex":"",)"
                                         R"("clientX25519PubHex":")" +
                                         upper + R"("})");
    ASSERT_TRUE(request);
    const auto key = Hex::decode(request->clientX25519PubHex, 32);
    ASSERT_TRUE(key);
    EXPECT_EQ(key, Hex::decode(lower, 32));
}

// HandshakeError

TEST(HandshakeError, everyKindHasItsRejectReason) {
    EXPECT_EQ(HandshakeError::rejected("busy").rejectReason(), "busy");
    EXPECT_EQ(HandshakeError::rejected("").rejectReason(), "");
    EXPECT_EQ(HandshakeError::malformedMessage().rejectReason(), "protocol_error");
    EXPECT_EQ(HandshakeError::noActiveCode().rejectReason(), "no_active_code");
    EXPECT_EQ(HandshakeError::invalidCode().rejectReason(), "invalid_code");
    EXPECT_EQ(HandshakeError::unpaired().rejectReason(), "unpaired");
    EXPECT_EQ(HandshakeError::badSignature().rejectReason(), "protocol_error");
    EXPECT_EQ(HandshakeError::badMac().rejectReason(), "invalid_code");
    EXPECT_EQ(HandshakeError::hostKeyMismatch().rejectReason(), "protocol_error");
    EXPECT_EQ(HandshakeError::outOfOrder().rejectReason(), "protocol_error");
}

TEST(HandshakeError, equalityComparesKindAndReason) {
    EXPECT_EQ(HandshakeError::rejected("a"), HandshakeError::rejected("a"));
    EXPECT_NE(HandshakeError::rejected("a"), HandshakeError::rejected("b"));
    // Same reason on the wire, still different failures.
    EXPECT_NE(HandshakeError::badMac(), HandshakeError::invalidCode());
    EXPECT_NE(HandshakeError::rejected("unpaired"), HandshakeError::unpaired());
}

// Refusal frames

TEST(HandshakeFrames, rejectBodyCarriesTheRejectReason) {
    EXPECT_EQ(text(HandshakeFrames::rejectBody(HandshakeError::noActiveCode())),
              R"({"reason":"no_active_code"})");
    EXPECT_EQ(text(HandshakeFrames::rejectBody(HandshakeError::badMac())),
              R"({"reason":"invalid_code"})");
    EXPECT_EQ(text(HandshakeFrames::rejectBody(HandshakeError::hostKeyMismatch())),
              R"({"reason":"protocol_error"})");
    EXPECT_EQ(text(HandshakeFrames::rejectBody(HandshakeError::rejected("try/later"))),
              R"({"reason":"try/later"})");
}

TEST(HandshakeFrames, unencodableReasonFallsBackToProtocolError) {
    const Bytes body = HandshakeFrames::rejectBody(HandshakeError::rejected("bad \xFF byte"));
    EXPECT_EQ(text(body), R"({"reason":"protocol_error"})");
    EXPECT_EQ(body.size(), 27u);
}

TEST(HandshakeFrames, pairRejectReadsByReason) {
    using HandshakeFrames::failure;
    const auto pairReject = wire::FrameType::pairReject;
    EXPECT_EQ(failure(pairReject, wire::asBytes(R"({"reason":"invalid_code"})")),
              HandshakeError::invalidCode());
    EXPECT_EQ(failure(pairReject, wire::asBytes(R"({"reason":"no_active_code"})")),
              HandshakeError::noActiveCode());
    EXPECT_EQ(failure(pairReject, wire::asBytes(R"({"reason":"protocol_error"})")),
              HandshakeError::rejected("protocol_error"));
    // Only errUnpaired means the host has forgotten the client.
    EXPECT_EQ(failure(pairReject, wire::asBytes(R"({"reason":"unpaired"})")),
              HandshakeError::rejected("unpaired"));
}

TEST(HandshakeFrames, undecodablePairRejectReadsAsRejected) {
    using HandshakeFrames::failure;
    const auto pairReject = wire::FrameType::pairReject;
    for (std::string_view body : {"not json", "", "{}", R"({"reason":3})", R"(["invalid_code"])"}) {
        EXPECT_EQ(failure(pairReject, wire::asBytes(body)), HandshakeError::rejected("rejected"))
            << body;
    }
}

TEST(HandshakeFrames, errUnpairedIsUnpairedWhateverItsBody) {
    using HandshakeFrames::failure;
    for (std::string_view body :
         {R"({"reason":"unpaired"})", R"({"reason":"invalid_code"})", "", "\xFF garbage"}) {
        EXPECT_EQ(failure(wire::FrameType::errUnpaired, wire::asBytes(body)),
                  HandshakeError::unpaired());
    }
}

TEST(HandshakeFrames, otherFrameTypesAreNoRefusal) {
    const Bytes body = wire::toBytes(R"({"reason":"invalid_code"})");
    for (std::uint8_t type :
         {wire::FrameType::pairChallenge, wire::FrameType::pairComplete,
          wire::FrameType::authChallenge, wire::FrameType::authOK, wire::FrameType::unpairedByHost,
          std::uint8_t{0x00}, std::uint8_t{0xFF}}) {
        EXPECT_EQ(HandshakeFrames::failure(type, body), std::nullopt) << int(type);
    }
}

TEST(HandshakeFrames, everyRefusalReadsBackWithItsReason) {
    const std::vector<HandshakeError> errors{
        HandshakeError::rejected("busy"), HandshakeError::malformedMessage(),
        HandshakeError::noActiveCode(),   HandshakeError::invalidCode(),
        HandshakeError::unpaired(),       HandshakeError::badSignature(),
        HandshakeError::badMac(),         HandshakeError::hostKeyMismatch(),
        HandshakeError::outOfOrder()};
    for (const auto& error : errors) {
        const auto read = HandshakeFrames::failure(wire::FrameType::pairReject,
                                                   HandshakeFrames::rejectBody(error));
        ASSERT_TRUE(read) << error;
        EXPECT_EQ(read->rejectReason(), error.rejectReason()) << error;
    }
}

}  // namespace
}  // namespace tarvel::security
