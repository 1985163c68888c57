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

const PairChallenge pairChallenge{
    "h-1", "Desk/Top", "linux", "aa", "bb", "cc", {"192.168.1.2:49182"}, {}, std::nullopt};
const AuthChallenge authChallenge{
    "h-1",   "Desk", "linux", "aa", "cc", "dd", 49182, {"[fe80::1]:49182"}, {"100.64.0.1:49182"},
    "laptop"};

// The other messages' exact bytes are pinned by the handshake golden vector.
TEST(HandshakeMessages, challengeEncodesSortedCompactAndOmitsAnAbsentDeviceType) {
    auto m = pairChallenge;
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
    EXPECT_EQ(decode<T>(encode(message).value()), message);
}

TEST(HandshakeMessages, everyMessageRoundTripsUnknownKeysAreIgnoredAndNullIsAbsent) {
    expectRoundTrip(PairRequest{"c-1", "Phone", "Model 9", "aa", "bb", "cc"});
    expectRoundTrip(pairChallenge);
    auto emptyType = pairChallenge;
    emptyType.deviceType = "";
    expectRoundTrip(emptyType);
    expectRoundTrip(PairConfirm{"11", "22"});
    expectRoundTrip(PairComplete{"33", "44", 0});
    expectRoundTrip(AuthHello{"c-1", "Ph\"one\\", "aa", "cc"});
    expectRoundTrip(authChallenge);
    expectRoundTrip(AuthResponse{"ee"});

    EXPECT_EQ(decode<PairConfirm>(wire::asBytes(
                  R"({"clientMacHex":"11","extra":{"nested":[1,2]},"clientSigHex":"22","v":2})")),
              (PairConfirm{"11", "22"}));
    auto json = authChallenge.toJSON();
    json["deviceType"] = nullptr;
    EXPECT_EQ(AuthChallenge::fromJSON(json).value().deviceType, std::nullopt);
}

template <class T>
void expectWrongType(const T& message, const std::string& key, const JSON& value) {
    auto json = message.toJSON();
    json[key] = value;
    EXPECT_EQ(T::fromJSON(json), tl::unexpected(JSONError::wrongType)) << key;
}

TEST(HandshakeMessages, wrongJSONTypesFailToDecode) {
    expectWrongType(authChallenge, "udpPort", "49182");
    expectWrongType(authChallenge, "udpPort", 49182.5);
    expectWrongType(authChallenge, "deviceType", 3);
    expectWrongType(pairChallenge, "lanEndpoints", JSON::array({"10.0.0.2:49182", 7}));
    expectWrongType(pairChallenge, "tailscaleEndpoints", "100.64.0.1");
    expectWrongType(AuthResponse{"ee"}, "clientSigHex", JSON::array({"ee"}));
}

template <class T>
void expectEveryRequiredKeyNeeded(const T& message) {
    const JSON full = message.toJSON();
    ASSERT_TRUE(T::fromJSON(full));
    for (const auto& [key, value] : full.items()) {
        JSON missing = full;
        missing.erase(key);
        if (key != "deviceType") {
            EXPECT_EQ(T::fromJSON(missing), tl::unexpected(JSONError::missingKey)) << key;
        }
    }
}

TEST(HandshakeMessages, everyRequiredKeyMustBePresent) {
    auto challenge = pairChallenge;
    challenge.deviceType = "laptop";
    expectEveryRequiredKeyNeeded(PairRequest{"c", "n", "m", "x", "e", "o"});
    expectEveryRequiredKeyNeeded(challenge);
    expectEveryRequiredKeyNeeded(PairConfirm{"1", "2"});
    expectEveryRequiredKeyNeeded(PairComplete{"1", "2", 3});
    expectEveryRequiredKeyNeeded(AuthHello{"c", "n", "x", "o"});
    expectEveryRequiredKeyNeeded(authChallenge);
    expectEveryRequiredKeyNeeded(AuthResponse{"s"});
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

TEST(HandshakeFrames, everyRefusalReadsBackWithItsReasonOrProtocolError) {
    EXPECT_EQ(text(HandshakeFrames::rejectBody(HandshakeError::rejected("try/later"))),
              R"({"reason":"try/later"})");
    EXPECT_EQ(text(HandshakeFrames::rejectBody(HandshakeError::rejected("bad \xFF byte"))),
              R"({"reason":"protocol_error"})");
    for (const auto& error :
         {HandshakeError::rejected("busy"), HandshakeError::malformedMessage(),
          HandshakeError::noActiveCode(), HandshakeError::invalidCode(), HandshakeError::unpaired(),
          HandshakeError::badSignature(), HandshakeError::badMac(),
          HandshakeError::hostKeyMismatch(), HandshakeError::outOfOrder()}) {
        const auto read = HandshakeFrames::failure(wire::FrameType::pairReject,
                                                   HandshakeFrames::rejectBody(error));
        ASSERT_TRUE(read) << error;
        EXPECT_EQ(read->rejectReason(), error.rejectReason()) << error;
    }
}

}  // namespace
}  // namespace tarvel::security
