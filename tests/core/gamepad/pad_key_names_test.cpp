#include "core/gamepad/pad_key_names.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace tarvel::gamepad {
namespace {

TEST(PadKeyNames, namesAndUsagesAreUniqueAndEveryLookupRoundTrips) {
    std::set<std::string_view> names;
    std::set<std::uint16_t> usages;
    for (const auto& entry : PadKeyNames::all) {
        EXPECT_TRUE(names.insert(entry.name).second) << entry.name;
        EXPECT_TRUE(usages.insert(entry.hid).second) << entry.name;
        EXPECT_FALSE(entry.display.empty()) << entry.name;
        EXPECT_EQ(PadKeyNames::byName(entry.name), &entry);
        EXPECT_EQ(PadKeyNames::byHID(entry.hid), &entry);
        EXPECT_EQ(PadKeyNames::canonical(entry.name), entry.name);
    }
    // Right-hand modifiers and the non-US hash key have no name.
    for (std::uint16_t unnamed : {0x00, 0x32, 0xE4, 0x1000}) {
        EXPECT_EQ(PadKeyNames::byHID(unnamed), nullptr) << unnamed;
    }
}

TEST(PadKeyNames, everyAliasResolvesToANameItDoesNotShadow) {
    std::set<std::string_view> spellings;
    for (const auto& alias : PadKeyNames::aliases) {
        EXPECT_TRUE(spellings.insert(alias.spelling).second) << alias.spelling;
        EXPECT_EQ(PadKeyNames::byName(alias.spelling), nullptr) << "shadows a name";
        ASSERT_NE(PadKeyNames::byName(alias.name), nullptr) << alias.name;
        EXPECT_EQ(PadKeyNames::canonical(alias.spelling), alias.name);
    }
}

TEST(PadKeyNames, canonicalTrimsUnicodeBlanksAndFoldsCase) {
    EXPECT_EQ(PadKeyNames::canonical(" Return "), "enter");
    EXPECT_EQ(PadKeyNames::canonical("RCTRL"), "lctrl");
    EXPECT_EQ(PadKeyNames::canonical("\tSPACEBAR\n"), "space");
    // No-break and ideographic spaces.
    EXPECT_EQ(PadKeyNames::canonical("\xC2\xA0"
                                     "F5"
                                     "\xE3\x80\x80"),
              "f5");
    EXPECT_EQ(PadKeyNames::canonical("   "), "");
    for (std::string_view unknown :
         {std::string_view("f13"), std::string_view("sp ace"),
          std::string_view("forwarddeleteforwarddelete"), std::string_view("a\0", 2),
          std::string_view("\xE2\x80"
                           "a")}) {  // a broken multi-byte sequence is not white space
        EXPECT_EQ(PadKeyNames::canonical(unknown), std::nullopt) << unknown;
    }
}

TEST(PadKeyNames, queriesAcceptAnySpelling) {
    EXPECT_EQ(PadKeyNames::hid("ESCAPE"), 0x29);
    EXPECT_EQ(PadKeyNames::hid("hyper"), std::nullopt);
    EXPECT_EQ(PadKeyNames::display(" arrowup"), PadKeyNames::display("up"));
    EXPECT_EQ(PadKeyNames::display("nothing"), "None");
    EXPECT_TRUE(PadKeyNames::isModifier("Shift"));
    EXPECT_TRUE(PadKeyNames::isModifier("option"));
    EXPECT_FALSE(PadKeyNames::isModifier("space"));
    EXPECT_FALSE(PadKeyNames::isModifier(""));
}

TEST(PadModifiers, namesAreReadLenientlyAndListedInTableOrder) {
    const auto mods = PadModifiers::fromNames({"Command", "shift", "hyper"});
    EXPECT_EQ(mods, PadModifiers::shift | PadModifiers::cmd);
    EXPECT_EQ(mods.names(), (std::vector<std::string_view>{"shift", "cmd"}));
    EXPECT_EQ(PadModifiers::fromNames(
                  {"CONTROL", "lctrl", "opt", "LALT", "Win", "meta", "super", "lshift"}),
              PadModifiers::ctrl | PadModifiers::alt | PadModifiers::cmd | PadModifiers::shift);
    EXPECT_TRUE(PadModifiers::fromNames({"", " shift", "rshift"}).isEmpty());

    const PadModifiers all(0x0F);
    EXPECT_EQ(all.hids(), (std::vector<std::uint16_t>{0xE0, 0xE2, 0xE1, 0xE3}));
    // Bits beyond the four are carried but name nothing.
    EXPECT_TRUE(PadModifiers(0xF0).names().empty());
    for (const auto& info : PadModifiers::table) {
        EXPECT_EQ(PadModifiers::fromNames({std::string(info.name)}).rawValue, info.bit);
    }
}

TEST(PadKeyCombo, displaysModifierSymbolsThenTheKey) {
    EXPECT_EQ((PadKeyCombo{"", {}}).display(), "None");
    EXPECT_EQ((PadKeyCombo{"z", PadModifiers::cmd | PadModifiers::shift}).display(), "⇧⌘Z");
    EXPECT_EQ((PadKeyCombo{"", PadModifiers::ctrl}).display(), "⌃");
    EXPECT_EQ((PadKeyCombo{"f13", PadModifiers::alt}).display(), "⌥None");
}

}  // namespace
}  // namespace tarvel::gamepad
