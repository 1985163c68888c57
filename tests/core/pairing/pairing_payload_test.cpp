#include <gtest/gtest.h>

#include "core/pairing/pairing_payload.hpp"

namespace tarvel::pairing {
namespace {

const std::string key(64, 'a');

PairingPayload payload(std::string name, std::optional<std::string> lan,
                       std::optional<std::string> ts) {
    const std::string id = "6f1c1d7e-2b3a-4c5d-9e8f-0a1b2c3d4e5f";
    return {1,   id,      std::move(name), HostOSType::macos, std::move(lan), std::move(ts),
            key, "042917"};
}

std::string link(const std::string& query) {
    return "tarvel://pair?" + query;
}

std::string validQuery(const std::string& pk = key, const std::string& code = "123456") {
    return "v=1&id=h&name=n&os=windows&lan=&ts=&pk=" + pk + "&code=" + code;
}

TEST(PairingPayload, percentEncodingKeepsLettersOfEveryScriptAndLinksRoundTripInOrder) {
    const std::pair<std::string, std::string> rows[] = {
        {"Anna's Mac", "Anna%27s%20Mac"},
        {"Caf\xC3\xA9-1._~", "Caf\xC3\xA9-1._~"},
        {"e\xCC\x81", "e\xCC\x81"},                                // a combining mark stays
        {"\xE6\x9D\xB1\xE4\xBA\xAC", "\xE6\x9D\xB1\xE4\xBA\xAC"},  // CJK letters
        {"\xF0\x9F\x98\x80", "%F0%9F%98%80"},                      // an emoji is a symbol
        {"[fd7a::5]:1", "%5Bfd7a%3A%3A5%5D%3A1"},
        {"a&b=c/d?e%f+g", "a%26b%3Dc%2Fd%3Fe%25f%2Bg"},
    };
    for (const auto& [text, encoded] : rows) {
        EXPECT_EQ(percentEncode(text), encoded);
        EXPECT_EQ(percentDecode(encoded), text);
    }
    EXPECT_EQ(percentEncode("\xFFzz"), "\xFFzz");  // not UTF-8: written as it is
    EXPECT_EQ(percentDecode("%c3%A9"), "\xC3\xA9");
    for (std::string_view bad : {"%", "%2", "%zz", "%FF"}) {
        EXPECT_EQ(percentDecode(bad), std::nullopt) << bad;
    }
    EXPECT_EQ(payload("Desk", "192.168.1.10:49182", std::nullopt).urlString(),
              "tarvel://pair?v=1&id=6f1c1d7e-2b3a-4c5d-9e8f-0a1b2c3d4e5f&name=Desk&os=macos"
              "&lan=192.168.1.10%3A49182&ts=&pk=" +
                  key + "&code=042917");
    const std::vector<PairingPayload> cases = {
        payload("Anna's MacBook Pro", "192.168.1.10:49182", "100.101.102.103:49182"),
        payload("J\xC3\xBCrgen\xE2\x80\x99s R\xC3\xA9sum\xC3\xA9 "
                "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9",
                std::nullopt, "[fd7a:115c:a1e0::5]:49182"),
        payload("a&b=c?d#e%f", "10.0.0.2:7", std::nullopt),
        payload("", std::nullopt, std::nullopt),
    };
    for (const auto& original : cases) {
        EXPECT_EQ(PairingPayload::fromURLString(original.urlString()), original);
    }
    // Empty endpoints come back absent.
    EXPECT_EQ(PairingPayload::fromURLString(payload("x", "", "").urlString()),
              payload("x", std::nullopt, std::nullopt));
}

TEST(PairingPayload, parserRefusesLinksBreakingARuleButIsLenientAboutOrderAndRepeats) {
    EXPECT_TRUE(PairingPayload::fromURLString(link(validQuery())));
    const std::vector<std::string> refused = {
        "Tarvel://pair?" + validQuery(),
        "tarvel://pair/?" + validQuery(),
        link("v=2&id=h&name=n&os=macos&pk=" + key + "&code=123456"),
        link("id=h&name=n&os=macos&pk=" + key + "&code=123456"),
        link("v=1&name=n&os=macos&pk=" + key + "&code=123456"),
        link("v=1&id=h&os=macos&pk=" + key + "&code=123456"),
        link("v=1&id=h&name=n&os=linux&pk=" + key + "&code=123456"),
        link(validQuery(std::string(63, 'a'))),
        link(validQuery(std::string(65, 'a'))),
        link(validQuery(key, "12345")),
        link(validQuery(key, "1234567")),
        link("v=1&id=h&name=n&os=macos&code=123456"),
    };
    for (const auto& url : refused) {
        EXPECT_FALSE(PairingPayload::fromURLString(url)) << url;
    }
    auto parsed = PairingPayload::fromURLString(link(
        "code=999999&&junk&pk=" + key + "&os=macos&name=Old&name=New%20Name&id=h&v=1&extra=1"));
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->name, "New Name");
    EXPECT_EQ(parsed->code, "999999");
    // A value that does not decode is taken as it is.
    EXPECT_EQ(PairingPayload::fromURLString(
                  link("v=1&id=h&name=100%&os=macos&pk=" + key + "&code=123456"))
                  .value()
                  .name,
              "100%");
    // A code of six flags, each two regional indicators, and a key of 64
    // accented letters, each two code points.
    std::string flags, accentedKey;
    for (int i = 0; i < 64; ++i) {
        flags += i < 6 ? "\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA" : "";
        accentedKey += "e\xCC\x81";
    }
    EXPECT_TRUE(PairingPayload::fromURLString(link(validQuery(key, percentEncode(flags)))));
    EXPECT_TRUE(PairingPayload::fromURLString(link(validQuery(accentedKey))));
    EXPECT_FALSE(PairingPayload::fromURLString(link(validQuery(accentedKey + "e"))));
}

}  // namespace
}  // namespace tarvel::pairing
