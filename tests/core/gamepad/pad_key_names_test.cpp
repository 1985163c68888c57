#include "core/gamepad/pad_key_names.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace tarvel::gamepad {
namespace {

TEST(PadKeyNames, namesUsagesAndAliasesAreUniqueAndEveryLookupRoundTrips) {
    std::set<std::string_view> names;
    std::set<std::uint16_t> usages;
    for (const auto& entry : PadKeyNames::all) {
        EXPECT_TRUE(names.insert(entry.name).second && usages.insert(entry.hid).second)
            << entry.name;
        EXPECT_FALSE(entry.display.empty()) << entry.name;
        EXPECT_EQ(PadKeyNames::byName(entry.name), &entry);
        EXPECT_EQ(PadKeyNames::byHID(entry.hid), &entry);
        EXPECT_EQ(PadKeyNames::canonical(entry.name), entry.name);
    }
    // Right-hand modifiers and the non-US hash key have no name.
    for (std::uint16_t unnamed : {0x00, 0x32, 0xE4, 0x1000}) {
        EXPECT_EQ(PadKeyNames::byHID(unnamed), nullptr) << unnamed;
    }
    for (const auto& alias : PadKeyNames::aliases) {
        EXPECT_TRUE(names.insert(alias.spelling).second) << alias.spelling << " shadows a name";
        EXPECT_NE(PadKeyNames::byName(alias.name), nullptr) << alias.name;
        EXPECT_EQ(PadKeyNames::canonical(alias.spelling), alias.name);
    }
}

TEST(PadKeyNames, canonicalTrimsUnicodeBlanksAndFoldsCase) {
    const std::pair<std::string_view, std::optional<std::string_view>> rows[] = {
        {" Return ", "enter"},
        {"RCTRL", "lctrl"},
        {"\xC2\xA0"  // no-break and ideographic spaces
         "F5\xE3\x80\x80",
         "f5"},
        {"   ", ""},
        {"f13", std::nullopt},
        {"sp ace", std::nullopt},
        {std::string_view("a\0", 2), std::nullopt},
        {"\xE2\x80"  // a broken multi-byte sequence is not white space
         "a",
         std::nullopt}};
    for (const auto& [spelling, expected] : rows) {
        EXPECT_EQ(PadKeyNames::canonical(spelling), expected) << spelling;
    }
    EXPECT_EQ(PadKeyNames::hid("ESCAPE"), 0x29);
    EXPECT_EQ(PadKeyNames::hid("hyper"), std::nullopt);
    EXPECT_EQ(PadKeyNames::display(" arrowup"), PadKeyNames::display("up"));
    EXPECT_EQ(PadKeyNames::display("nothing"), "None");
    EXPECT_TRUE(PadKeyNames::isModifier("Shift") && PadKeyNames::isModifier("option"));
    EXPECT_FALSE(PadKeyNames::isModifier("space") || PadKeyNames::isModifier(""));
}

TEST(PadModifiers, namesAreReadLenientlyAndListedInTableOrder) {
    const auto mods = PadModifiers::fromNames({"Command", "shift", "hyper"});
    EXPECT_EQ(mods, PadModifiers::shift | PadModifiers::cmd);
    EXPECT_EQ(mods.names(), (std::vector<std::string_view>{"shift", "cmd"}));
    EXPECT_EQ(PadModifiers::fromNames(
                  {"CONTROL", "lctrl", "opt", "LALT", "Win", "meta", "super", "lshift"}),
              PadModifiers::ctrl | PadModifiers::alt | PadModifiers::cmd | PadModifiers::shift);
    EXPECT_TRUE(PadModifiers::fromNames({"", " shift", "rshift"}).isEmpty());
    EXPECT_EQ(PadModifiers(0x0F).hids(), (std::vector<std::uint16_t>{0xE0, 0xE2, 0xE1, 0xE3}));
    // Bits beyond the four are carried but name nothing.
    EXPECT_TRUE(PadModifiers(0xF0).names().empty());
}

}  // namespace
}  // namespace tarvel::gamepad
