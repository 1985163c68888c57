#include <gtest/gtest.h>

#include <string>

#include "core/wire/bodies.hpp"

namespace tarvel::wire {
namespace {

std::string text(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

template <class T>
std::string encoded(const T& value) {
    auto bytes = JSONCodec::encode(value);
    EXPECT_TRUE(bytes.has_value());
    return bytes ? text(*bytes) : std::string();
}

template <class T>
tl::expected<T, JSONError> decoded(std::string_view json) {
    return JSONCodec::decode<T>(asBytes(json));
}

TEST(JSONCodec, encodesSortedCompactAndExact) {
    EXPECT_EQ(encoded(EmptyBody{}), "{}");
    EXPECT_EQ(encoded(PingBody{123}), R"({"ts":123})");
    EXPECT_EQ(encoded(ClipboardBody{"Mac", true}), R"({"autoPaste":true,"text":"Mac"})");
    EXPECT_EQ(encoded(ReasonBody{"removed_by_user"}), R"({"reason":"removed_by_user"})");
    EXPECT_EQ(encoded(HostStatus{"sas_ok", "fine"}), R"({"code":"sas_ok","message":"fine"})");

    InfoReply info;
    info.hostId = "0f6c1c2e-5a4b-4c3d-8e9f-a0b1c2d3e4f5";
    info.name = "Mac";
    info.os = "macos";
    info.fp = "0123456789abcdef";
    info.udpPort = 49182;
    EXPECT_EQ(encoded(info),
              R"({"fp":"0123456789abcdef","hostId":"0f6c1c2e-5a4b-4c3d-8e9f-a0b1c2d3e4f5",)"
              R"("name":"Mac","os":"macos","udpPort":49182,"v":1})");
}

TEST(JSONCodec, escapesOnlyWhatJSONNeedsAndRefusesTextThatIsNotUTF8) {
    EXPECT_EQ(encoded(TextBody{"a/b"}), R"({"text":"a/b"})");
    EXPECT_EQ(encoded(TextBody{"caf\xC3\xA9 \xF0\x9F\x98\x80"}),
              "{\"text\":\"caf\xC3\xA9 \xF0\x9F\x98\x80\"}");
    EXPECT_EQ(encoded(TextBody{"\"q\"\\\n"}), R"({"text":"\"q\"\\\n"})");
    EXPECT_EQ(JSONCodec::encode(TextBody{"\xFF\xFE"}).error(), JSONError::unencodableText);
}

TEST(JSONCodec, decodeRoundTripsEveryBody) {
    EXPECT_TRUE(decoded<EmptyBody>("{}"));
    EXPECT_EQ(decoded<PingBody>(R"({"ts":42})").value(), PingBody{42});
    EXPECT_EQ(decoded<TextBody>(R"({"text":"a\/b \u00e9"})").value().text, "a/b \xC3\xA9");
    EXPECT_EQ(decoded<ClipboardBody>(R"({"text":"t","autoPaste":false})").value(),
              (ClipboardBody{"t", false}));
    EXPECT_EQ(decoded<ReasonBody>(R"({"reason":"unpaired"})").value().reason, "unpaired");
    EXPECT_EQ(decoded<HostStatus>(R"({"code":"c","message":"m"})").value(), (HostStatus{"c", "m"}));

    InfoReply info{1, "id", "Desk", "linux", "00112233aabbccdd", 49183};
    EXPECT_EQ(JSONCodec::decode<InfoReply>(JSONCodec::encode(info).value()).value(), info);
    // Unknown keys are ignored.
    EXPECT_EQ(decoded<PingBody>(R"({"extra":{"nested":[1,2]},"ts":5,"zz":null})").value(),
              PingBody{5});
}

TEST(JSONCodec, largestTimestampSurvivesUnchanged) {
    const std::uint64_t largest = UINT64_MAX;
    auto body = decoded<PingBody>(R"({"ts":18446744073709551615})");
    ASSERT_TRUE(body);
    EXPECT_EQ(body->ts, largest);
    EXPECT_EQ(encoded(*body), R"({"ts":18446744073709551615})");
}

TEST(JSONCodec, decodingIsStrictAboutTypesAndRequiredKeys) {
    EXPECT_EQ(decoded<ClipboardBody>(R"({"text":"t"})").error(), JSONError::missingKey);
    EXPECT_EQ(decoded<ClipboardBody>(R"({"text":"t","autoPaste":"true"})").error(),
              JSONError::wrongType);
    EXPECT_EQ(decoded<ClipboardBody>(R"({"text":"t","autoPaste":1})").error(),
              JSONError::wrongType);
    EXPECT_EQ(decoded<PingBody>(R"({"ts":-1})").error(), JSONError::wrongType);
    EXPECT_EQ(decoded<PingBody>(R"({"ts":1.5})").error(), JSONError::wrongType);
    EXPECT_EQ(decoded<PingBody>(R"({"ts":18446744073709551616})").error(), JSONError::wrongType);
    EXPECT_EQ(decoded<PingBody>(R"({"ts":"1"})").error(), JSONError::wrongType);
    EXPECT_EQ(decoded<PingBody>(R"({"ts":null})").error(), JSONError::wrongType);
    EXPECT_EQ(decoded<TextBody>(R"({"text":7})").error(), JSONError::wrongType);
    EXPECT_EQ(
        decoded<InfoReply>(R"({"fp":"","hostId":"","name":"","os":"","udpPort":"49182","v":1})")
            .error(),
        JSONError::wrongType);
    EXPECT_EQ(decoded<InfoReply>(R"({"fp":"","hostId":"","name":"","os":"","udpPort":1,"v":1.0})")
                  .error(),
              JSONError::wrongType);
}

TEST(JSONCodec, rejectsTextThatIsNotAJSONObject) {
    EXPECT_EQ(decoded<EmptyBody>("").error(), JSONError::invalidJSON);
    EXPECT_EQ(decoded<EmptyBody>("{").error(), JSONError::invalidJSON);
    EXPECT_EQ(decoded<EmptyBody>("{} {}").error(), JSONError::invalidJSON);
    EXPECT_EQ(decoded<EmptyBody>("[]").error(), JSONError::notAnObject);
    EXPECT_EQ(decoded<PingBody>("42").error(), JSONError::notAnObject);
    // Invalid UTF-8 inside a string and a lone surrogate escape.
    EXPECT_EQ(decoded<TextBody>("{\"text\":\"\xC3\"}").error(), JSONError::invalidJSON);
    EXPECT_EQ(decoded<TextBody>(R"({"text":"\ud800"})").error(), JSONError::invalidJSON);
}

TEST(JSONCodec, deeplyNestedInputFailsCleanly) {
    std::string deep(30000, '[');
    deep += std::string(30000, ']');
    EXPECT_EQ(decoded<EmptyBody>(deep).error(), JSONError::notAnObject);
    std::string unclosed = "{\"a\":" + std::string(60000, '[');
    EXPECT_EQ(decoded<EmptyBody>(unclosed).error(), JSONError::invalidJSON);
}

TEST(HostStatus, onlySasOkIsNotAnError) {
    EXPECT_FALSE((HostStatus{"sas_ok", ""}.isError()));
    EXPECT_TRUE((HostStatus{"", ""}.isError()));
    EXPECT_TRUE((HostStatus{"SAS_OK", ""}.isError()));
    EXPECT_TRUE((HostStatus{"sas_mismatch", "x"}.isError()));
}

}  // namespace
}  // namespace tarvel::wire
