#include <gtest/gtest.h>

#include "core/discovery/dns_sd_txt.hpp"

namespace tarvel::discovery {
namespace {

using pairing::HostOSType;
using Map = std::map<std::string, std::string>;

const std::string hostId = "0f8fad5b-d9cb-469f-a165-70867728950e";

DnsSdTxt record(std::string name, std::optional<std::string> ts = std::nullopt) {
    return DnsSdTxt(hostId, std::move(name), HostOSType::macos, std::move(ts), "3f2a9c0d1e4b5a69");
}

Map validMap() {
    return {{"v", "1"},
            {"id", hostId},
            {"name", "Studio"},
            {"os", "windows"},
            {"fp", "3f2a9c0d1e4b5a69"},
            {"ts", "100.101.102.103:49182"}};
}

// Splits a wire-form record into its strings, failing on a bad length byte.
std::vector<std::string> strings(const wire::Bytes& record) {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < record.size();) {
        const std::size_t length = record[i];
        EXPECT_LE(i + 1 + length, record.size());
        if (i + 1 + length > record.size()) {
            break;
        }
        out.emplace_back(record.begin() + static_cast<long>(i) + 1,
                         record.begin() + static_cast<long>(i + 1 + length));
        i += 1 + length;
    }
    return out;
}

TEST(DnsSdTxt, wireFormIsLengthPrefixedPairsInKeyOrderWithTsOnlyWhenNotEmpty) {
    EXPECT_EQ(strings(record("Studio", "100.64.0.9:1").txtRecord()),
              (std::vector<std::string>{"fp=3f2a9c0d1e4b5a69", "id=" + hostId, "name=Studio",
                                        "os=macos", "ts=100.64.0.9:1", "v=1"}));
    EXPECT_EQ(record("Studio", "").dictionary().count("ts"), 0u);
    EXPECT_EQ(record("Studio").dictionary().count("ts"), 0u);
}

TEST(DnsSdTxt, parsesAValidMapIgnoringUnknownKeysAndRoundTrips) {
    Map map = validMap();
    map["extra"] = "ignored";
    EXPECT_EQ(DnsSdTxt::fromDictionary(map), DnsSdTxt(hostId, "Studio", HostOSType::windows,
                                                      "100.101.102.103:49182", "3f2a9c0d1e4b5a69"));
    EXPECT_EQ(DnsSdTxt::fromDictionary(record("Studio", "100.64.0.9:1").dictionary()),
              record("Studio", "100.64.0.9:1"));
}

TEST(DnsSdTxt, refusesMapsFailingTheRequiredKeys) {
    auto without = [](const char* key) {
        Map map = validMap();
        map.erase(key);
        return map;
    };
    auto with = [](const char* key, const char* value) {
        Map map = validMap();
        map[key] = value;
        return map;
    };
    for (const Map& map : {without("v"), without("id"), without("name"), without("os"),
                           with("v", "2"), with("v", "01"), with("v", "1 "), with("os", "linux"),
                           with("os", "MacOS"), with("os", "")}) {
        EXPECT_EQ(DnsSdTxt::fromDictionary(map), std::nullopt);
    }
}

TEST(DnsSdTxt, optionalKeysTakeTheirDefaults) {
    Map map = validMap();
    map.erase("fp");
    map["ts"] = "";
    auto parsed = DnsSdTxt::fromDictionary(map);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->fingerprint, "");
    EXPECT_EQ(parsed->tailscaleEndpoint, std::optional<std::string>(""));
    map.erase("ts");
    EXPECT_EQ(DnsSdTxt::fromDictionary(map)->tailscaleEndpoint, std::nullopt);
}

TEST(DnsSdTxt, longNameIsCutAtACharacterBoundaryToFitOnePair) {
    std::string euros;
    for (int i = 0; i < 100; ++i) {
        euros += "\xE2\x82\xAC";  // three bytes each; 250 is not a multiple of 3
    }
    const std::string name = record(euros).dictionary().at("name");
    EXPECT_EQ(name, euros.substr(0, 83 * 3));

    EXPECT_EQ(record(std::string(250, 'a')).dictionary().at("name").size(), 250u);
    EXPECT_EQ(record(std::string(251, 'a')).dictionary().at("name").size(), 250u);

    for (const auto& pair : strings(record(euros, "100.64.0.9:1").txtRecord())) {
        EXPECT_LE(pair.size(), DnsSdTxt::maxPairBytes);
    }
}

TEST(DnsSdTxt, otherPairsThatCannotFitAreLeftOut) {
    DnsSdTxt txt(std::string(300, 'x'), "Studio", HostOSType::macos, std::string(300, '1'), "fp");
    const Map map = txt.dictionary();
    EXPECT_EQ(map.count("id"), 0u);
    EXPECT_EQ(map.count("ts"), 0u);
    EXPECT_EQ(map.at("name"), "Studio");
    EXPECT_EQ(DnsSdTxt::fromDictionary(map), std::nullopt);
}

}  // namespace
}  // namespace tarvel::discovery
