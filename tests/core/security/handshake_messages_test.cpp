#include <gtest/gtest.h>

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

template <class T>
void expectRoundTrip(const T& message) {
    EXPECT_EQ(decode<T>(encode(message).value()), message);
    const JSON full = message.toJSON();
    for (const auto& [key, value] : full.items()) {
        JSON missing = full;
        missing.erase(key);
        if (key != "deviceType") {
            EXPECT_EQ(T::fromJSON(missing), tl::unexpected(JSONError::missingKey)) << key;
        }
    }
}

template <class T>
void expectWrongType(const T& message, const std::string& key, const JSON& value) {
    auto json = message.toJSON();
    json[key] = value;
    EXPECT_EQ(T::fromJSON(json), tl::unexpected(JSONError::wrongType)) << key;
}

// Exact bytes are pinned by the handshake golden vector, except an absent device type.
TEST(HandshakeMessages, roundTripNeedingEveryKeyTypedAndRefusalsReadBackByFrameAndReason) {
    EXPECT_EQ(text(encode(pairChallenge).value()).find("deviceType"), std::string::npos);
    expectRoundTrip(PairRequest{"c-1", "Phone", "Model 9", "aa", "bb", "cc"});
    expectRoundTrip(pairChallenge);
    expectRoundTrip(PairConfirm{"11", "22"});
    expectRoundTrip(PairComplete{"33", "44", 0});
    expectRoundTrip(AuthHello{"c-1", "Ph\"one\\", "aa", "cc"});
    expectRoundTrip(authChallenge);
    expectRoundTrip(AuthResponse{"ee"});
    // Unknown keys are ignored and null is absent.
    EXPECT_EQ(decode<PairConfirm>(wire::asBytes(
                  R"({"clientMacHex":"11","extra":{"nested":[1,2]},"clientSigHex":"22","v":2})")),
              (PairConfirm{"11", "22"}));
    auto json = authChallenge.toJSON();
    json["deviceType"] = nullptr;
    EXPECT_EQ(AuthChallenge::fromJSON(json).value().deviceType, std::nullopt);
    expectWrongType(authChallenge, "udpPort", "49182");
    expectWrongType(authChallenge, "deviceType", 3);
    expectWrongType(pairChallenge, "lanEndpoints", JSON::array({"10.0.0.2:49182", 7}));
    expectWrongType(AuthResponse{"ee"}, "clientSigHex", JSON::array({"ee"}));
    using HandshakeFrames::failure;
    namespace FrameType = wire::FrameType;
    const struct {
        std::uint8_t type;
        std::string_view body;
        std::optional<HandshakeError> expected;
    } rows[] = {
        {FrameType::pairReject, R"({"reason":"invalid_code"})", HandshakeError::invalidCode()},
        // Only errUnpaired means the host has forgotten the client.
        {FrameType::pairReject, R"({"reason":"unpaired"})", HandshakeError::rejected("unpaired")},
        {FrameType::pairReject, "not json", HandshakeError::rejected("rejected")},
        {FrameType::pairReject, R"({"reason":3})", HandshakeError::rejected("rejected")},
        {FrameType::errUnpaired, R"({"reason":"invalid_code"})", HandshakeError::unpaired()},
        {FrameType::errUnpaired, "\xFF garbage", HandshakeError::unpaired()},
        {FrameType::pairComplete, R"({"reason":"invalid_code"})", std::nullopt},
        {0xFF, R"({"reason":"invalid_code"})", std::nullopt},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(failure(row.type, wire::asBytes(row.body)), row.expected)
            << int(row.type) << " " << row.body;
    }
    // Every refusal reads back with its reason, or as a protocol error.
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
