#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/security/handshake_frames.hpp"
#include "core/security/handshake_messages.hpp"
#include "core/wire/frame.hpp"

namespace tarvel::security {
namespace {

using wire::JSONCodec::decode;
using wire::JSONCodec::encode;

std::string text(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
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
    m.deviceType = "laptop";
    return m;
}

// The other messages' exact bytes are pinned by the handshake golden vector.
TEST(HandshakeMessages, challengeEncodesSortedCompactAndOmitsAnAbsentDeviceType) {
    auto m = samplePairChallenge();
    EXPECT_EQ(
        text(encode(m).value()),
        R"({"hostEd25519PubHex":"bb","hostId":"h-1","hostName":"Desk/Top","hostNonceHex":"cc",)"
        R"("hostX25519PubHex":"aa","lanEndpoints":["192.168.1.2:49182"],"osType":"linux",)"
        R"("tailscaleEndpoints":[]})");
    m.deviceType = "laptop";
    EXPECT_EQ(text(encode(m).value()).substr(0, 25), R"({"deviceType":"laptop","h)");
}

template <class T>
void expectRoundTrip(const T& message) {
    auto decoded = decode<T>(encode(message).value());
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, message);
}

TEST(HandshakeMessages, everyMessageRoundTripsAndUnknownKeysAreIgnored) {
    expectRoundTrip(PairRequest{"c-1", "Phone", "Model 9", "aa", "bb", "cc"});
    expectRoundTrip(samplePairChallenge());
    auto emptyType = samplePairChallenge();
    emptyType.deviceType = "";
    expectRoundTrip(emptyType);
    expectRoundTrip(PairConfirm{"11", "22"});
    expectRoundTrip(PairComplete{"33", "44", 0});
    expectRoundTrip(AuthHello{"c-1", "Ph\"one\\", "aa", "cc"});
    expectRoundTrip(sampleAuthChallenge());
    expectRoundTrip(AuthResponse{"ee"});

    auto extra = decode<PairConfirm>(wire::asBytes(
        R"({"clientMacHex":"11","extra":{"nested":[1,2]},"clientSigHex":"22","v":2})"));
    ASSERT_TRUE(extra);
    EXPECT_EQ(*extra, (PairConfirm{"11", "22"}));
}

TEST(HandshakeMessages, nullDeviceTypeDecodesAsAbsent) {
    auto json = sampleAuthChallenge().toJSON();
    json["deviceType"] = nullptr;
    auto decoded = AuthChallenge::fromJSON(json);
    ASSERT_TRUE(decoded);
    EXPECT_FALSE(decoded->deviceType.has_value());
}

TEST(HandshakeMessages, wrongJSONTypesFailToDecode) {
    const std::vector<std::pair<std::string, JSON>> authEdits = {
        {"udpPort", "49182"}, {"udpPort", 49182.5}, {"deviceType", 3}};
    for (const auto& [key, value] : authEdits) {
        auto json = sampleAuthChallenge().toJSON();
        json[key] = value;
        EXPECT_EQ(AuthChallenge::fromJSON(json), tl::unexpected(JSONError::wrongType)) << key;
    }
    const std::vector<std::pair<std::string, JSON>> pairEdits = {
        {"lanEndpoints", JSON::array({"10.0.0.2:49182", 7})}, {"tailscaleEndpoints", "100.64.0.1"}};
    for (const auto& [key, value] : pairEdits) {
        auto json = samplePairChallenge().toJSON();
        json[key] = value;
        EXPECT_EQ(PairChallenge::fromJSON(json), tl::unexpected(JSONError::wrongType)) << key;
    }
    EXPECT_EQ(decode<AuthResponse>(wire::asBytes(R"({"clientSigHex":["ee"]})")),
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
    expectEveryRequiredKeyNeeded(PairRequest{"c", "n", "m", "x", "e", "o"});
    expectEveryRequiredKeyNeeded(challenge, "deviceType");
    expectEveryRequiredKeyNeeded(PairConfirm{"1", "2"});
    expectEveryRequiredKeyNeeded(PairComplete{"1", "2", 3});
    expectEveryRequiredKeyNeeded(AuthHello{"c", "n", "x", "o"});
    expectEveryRequiredKeyNeeded(sampleAuthChallenge(), "deviceType");
    expectEveryRequiredKeyNeeded(AuthResponse{"s"});
}

TEST(HandshakeFrames, rejectBodyCarriesTheReasonOrFallsBackToProtocolError) {
    EXPECT_EQ(text(HandshakeFrames::rejectBody(HandshakeError::rejected("try/later"))),
              R"({"reason":"try/later"})");
    EXPECT_EQ(text(HandshakeFrames::rejectBody(HandshakeError::rejected("bad \xFF byte"))),
              R"({"reason":"protocol_error"})");
}

TEST(HandshakeFrames, refusalsReadBackByFrameTypeAndReason) {
    using HandshakeFrames::failure;
    namespace FrameType = wire::FrameType;
    const struct {
        std::uint8_t type;
        std::string_view body;
        std::optional<HandshakeError> expected;
    } rows[] = {
        {FrameType::pairReject, R"({"reason":"invalid_code"})", HandshakeError::invalidCode()},
        {FrameType::pairReject, R"({"reason":"no_active_code"})", HandshakeError::noActiveCode()},
        {FrameType::pairReject, R"({"reason":"protocol_error"})",
         HandshakeError::rejected("protocol_error")},
        // Only errUnpaired means the host has forgotten the client.
        {FrameType::pairReject, R"({"reason":"unpaired"})", HandshakeError::rejected("unpaired")},
        {FrameType::pairReject, "not json", HandshakeError::rejected("rejected")},
        {FrameType::pairReject, "{}", HandshakeError::rejected("rejected")},
        {FrameType::pairReject, R"({"reason":3})", HandshakeError::rejected("rejected")},
        {FrameType::errUnpaired, R"({"reason":"invalid_code"})", HandshakeError::unpaired()},
        {FrameType::errUnpaired, "\xFF garbage", HandshakeError::unpaired()},
        {FrameType::pairComplete, R"({"reason":"invalid_code"})", std::nullopt},
        {FrameType::authOK, R"({"reason":"invalid_code"})", std::nullopt},
        {0xFF, R"({"reason":"invalid_code"})", std::nullopt},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(failure(row.type, wire::asBytes(row.body)), row.expected)
            << int(row.type) << " " << row.body;
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
