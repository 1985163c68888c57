#include <gtest/gtest.h>

#include "core/wire/bodies.hpp"

namespace tarvel::wire {
namespace {

template <class T>
std::string encoded(const T& value) {
    auto bytes = JSONCodec::encode(value);
    return bytes ? std::string(bytes->begin(), bytes->end()) : "(failed)";
}

template <class T>
tl::expected<T, JSONError> decoded(std::string_view json) {
    return JSONCodec::decode<T>(asBytes(json));
}

template <class T>
std::optional<JSONError> refusal(std::string_view json) {
    auto body = decoded<T>(json);
    return body ? std::nullopt : std::optional(body.error());
}

TEST(JSONCodec, encodesSortedCompactDecodesIgnoringUnknownKeysAndRefusesWrongShapes) {
    EXPECT_EQ(encoded(EmptyBody{}), "{}");
    EXPECT_EQ(encoded(ClipboardBody{"Mac", true}), R"({"autoPaste":true,"text":"Mac"})");
    EXPECT_EQ(encoded(HostStatus{"sas_ok", "fine"}), R"({"code":"sas_ok","message":"fine"})");
    const InfoReply info{1, "0f6c1c2e", "Mac", "macos", "0123456789abcdef", 49182};
    EXPECT_EQ(encoded(info), R"({"fp":"0123456789abcdef","hostId":"0f6c1c2e",)"
                             R"("name":"Mac","os":"macos","udpPort":49182,"v":1})");
    EXPECT_EQ(encoded(TextBody{"a/b caf\xC3\xA9 \xF0\x9F\x98\x80"}),
              "{\"text\":\"a/b caf\xC3\xA9 \xF0\x9F\x98\x80\"}");
    EXPECT_EQ(encoded(TextBody{"\"q\"\\\n"}), R"({"text":"\"q\"\\\n"})");
    EXPECT_EQ(JSONCodec::encode(TextBody{"\xFF\xFE"}).error(), JSONError::unencodableText);
    EXPECT_EQ(decoded<TextBody>(R"({"text":"a\/b \u00e9"})").value().text, "a/b \xC3\xA9");
    EXPECT_EQ(decoded<ClipboardBody>(R"({"text":"t","autoPaste":false})").value(),
              (ClipboardBody{"t", false}));
    EXPECT_EQ(decoded<HostStatus>(R"({"code":"c","message":"m"})").value(), (HostStatus{"c", "m"}));
    EXPECT_EQ(JSONCodec::decode<InfoReply>(JSONCodec::encode(info).value()).value(), info);
    EXPECT_EQ(decoded<PingBody>(R"({"extra":{"nested":[1,2]},"ts":5,"zz":null})").value(),
              PingBody{5});
    const std::string largest = R"({"ts":18446744073709551615})";
    EXPECT_EQ(decoded<PingBody>(largest).value().ts, UINT64_MAX);
    EXPECT_EQ(encoded(PingBody{UINT64_MAX}), largest);
    EXPECT_EQ(refusal<ClipboardBody>(R"({"text":"t"})"), JSONError::missingKey);
    for (std::string_view ts : {"-1", "1.5", "18446744073709551616", R"("1")", "null"}) {
        EXPECT_EQ(refusal<PingBody>(R"({"ts":)" + std::string(ts) + "}"), JSONError::wrongType)
            << ts;
    }
    EXPECT_EQ(refusal<ClipboardBody>(R"({"text":"t","autoPaste":1})"), JSONError::wrongType);
    EXPECT_EQ(refusal<TextBody>(R"({"text":7})"), JSONError::wrongType);
    for (std::string_view text :
         {"", "{", "{} {}", "{\"text\":\"\xC3\"}", R"({"text":"\ud800"})"}) {
        EXPECT_EQ(refusal<TextBody>(text), JSONError::invalidJSON) << text;
    }
    EXPECT_EQ(refusal<EmptyBody>("[]"), JSONError::notAnObject);
    // Deep nesting fails cleanly rather than exhausting the stack.
    EXPECT_EQ(refusal<EmptyBody>(std::string(30000, '[') + std::string(30000, ']')),
              JSONError::notAnObject);
    EXPECT_EQ(refusal<EmptyBody>("{\"a\":" + std::string(60000, '[')), JSONError::invalidJSON);
}

}  // namespace
}  // namespace tarvel::wire
