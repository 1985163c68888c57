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

TEST(DnsSdTxt, wireFormRoundTripsInKeyOrderAndMapsFailingARequiredKeyAreRefused) {
    const auto txt = record("Studio", "100.64.0.9:1");
    const std::string wireForm = "\023fp=3f2a9c0d1e4b5a69\047id=" + hostId +
                                 "\013name=Studio\010os=macos\017ts=100.64.0.9:1\003v=1";
    EXPECT_EQ(txt.txtRecord(), wire::Bytes(wireForm.begin(), wireForm.end()));
    EXPECT_EQ(DnsSdTxt::fromDictionary(txt.dictionary()), txt);
    EXPECT_EQ(record("Studio", "").dictionary().count("ts"), 0u);
    Map map = txt.dictionary();  // unknown keys are ignored, optional ones default
    map["extra"] = "ignored";
    map["os"] = "windows";
    map.erase("fp");
    map.erase("ts");
    EXPECT_EQ(DnsSdTxt::fromDictionary(map),
              DnsSdTxt(hostId, "Studio", HostOSType::windows, std::nullopt, ""));
    using Change = std::pair<std::string, std::optional<std::string>>;  // no value: erased
    for (const auto& [key, value] :
         {Change{"v", {}}, Change{"id", {}}, Change{"name", {}}, Change{"os", {}}, Change{"v", "2"},
          Change{"v", "01"}, Change{"v", "1 "}, Change{"os", "linux"}, Change{"os", "MacOS"},
          Change{"os", ""}}) {
        Map map = record("Studio").dictionary();
        value ? (void)(map[key] = *value) : (void)map.erase(key);
        EXPECT_EQ(DnsSdTxt::fromDictionary(map), std::nullopt) << key << "=" << value.value_or("");
    }
}

TEST(DnsSdTxt, aLongNameIsCutAtACharacterBoundaryAndOtherPairsThatCannotFitAreLeftOut) {
    std::string euros;
    for (int i = 0; i < 100; ++i) {
        euros += "\xE2\x82\xAC";  // three bytes each; 250 is not a multiple of 3
    }
    EXPECT_EQ(record(euros).dictionary().at("name"), euros.substr(0, 83 * 3));
    EXPECT_EQ(record(std::string(251, 'a')).dictionary().at("name").size(), 250u);
    const Map map =
        DnsSdTxt(std::string(300, 'x'), "Studio", HostOSType::macos, std::string(300, '1'), "fp")
            .dictionary();
    EXPECT_EQ(map.count("id") + map.count("ts"), 0u);
    EXPECT_EQ(DnsSdTxt::fromDictionary(map), std::nullopt);
}

}  // namespace
}  // namespace tarvel::discovery
