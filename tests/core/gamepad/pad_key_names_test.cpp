#include "core/gamepad/pad_key_names.hpp"

#include <gtest/gtest.h>

namespace tarvel::gamepad {
namespace {

TEST(PadKeyNames, lookupsRoundTripCanonicalTrimsAndFoldsAndModifiersAreReadLeniently) {
    std::set<std::string_view> names;
    std::set<std::uint16_t> usages;
    for (const auto& entry : PadKeyNames::all) {
        EXPECT_TRUE(names.insert(entry.name).second && usages.insert(entry.hid).second)
            << entry.name;
        EXPECT_EQ(PadKeyNames::byName(entry.name), &entry);
        EXPECT_EQ(PadKeyNames::byHID(entry.hid), &entry);
        EXPECT_EQ(PadKeyNames::canonical(entry.name), entry.name);
    }
    // Right-hand modifiers and the non-US hash key have no name.
    EXPECT_FALSE(PadKeyNames::byHID(0x00) || PadKeyNames::byHID(0x32) || PadKeyNames::byHID(0xE4) ||
                 PadKeyNames::byHID(0x1000));
    for (const auto& alias : PadKeyNames::aliases) {
        EXPECT_TRUE(names.insert(alias.spelling).second) << alias.spelling << " shadows a name";
        EXPECT_NE(PadKeyNames::byName(alias.name), nullptr) << alias.name;
        EXPECT_EQ(PadKeyNames::canonical(alias.spelling), alias.name);
    }
    // No-break and ideographic spaces are blanks; a broken multi-byte sequence is not.
    const std::pair<std::string_view, std::optional<std::string_view>> rows[] = {
        {" Return ", "enter"},
        {"RCTRL", "lctrl"},
        {"\u00A0F5\u3000", "f5"},
        {"   ", ""},
        {"f13", std::nullopt},
        {"sp ace", std::nullopt},
        {std::string_view("a\0", 2), std::nullopt},
        {"\xE2\x80\x61", std::nullopt}};
    for (const auto& [spelling, expected] : rows) {
        EXPECT_EQ(PadKeyNames::canonical(spelling), expected) << spelling;
    }
    EXPECT_EQ(PadKeyNames::hid("ESCAPE"), 0x29);
    EXPECT_EQ(PadKeyNames::hid("hyper"), std::nullopt);
    EXPECT_EQ(PadKeyNames::display(" arrowup"), PadKeyNames::display("up"));
    EXPECT_EQ(PadKeyNames::display("nothing"), "None");
    EXPECT_TRUE(PadKeyNames::isModifier("Shift") && PadKeyNames::isModifier("option"));
    EXPECT_FALSE(PadKeyNames::isModifier("space") || PadKeyNames::isModifier(""));
    const auto mods = PadModifiers::fromNames({"Command", "shift", "hyper"});
    EXPECT_EQ(mods, PadModifiers::shift | PadModifiers::cmd);
    EXPECT_EQ(mods.names(), (std::vector<std::string_view>{"shift", "cmd"}));
    EXPECT_EQ(PadModifiers::fromNames(
                  {"CONTROL", "lctrl", "opt", "LALT", "Win", "meta", "super", "lshift"}),
              PadModifiers::ctrl | PadModifiers::alt | PadModifiers::cmd | PadModifiers::shift);
    EXPECT_TRUE(PadModifiers::fromNames({"", " shift", "rshift"}).isEmpty());
    EXPECT_EQ(PadModifiers(0x0F).hids(), (std::vector<std::uint16_t>{0xE0, 0xE2, 0xE1, 0xE3}));
}

}  // namespace
}  // namespace tarvel::gamepad
