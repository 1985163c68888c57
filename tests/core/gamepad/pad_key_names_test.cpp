#include "core/gamepad/pad_key_names.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace tarvel::gamepad {
namespace {

TEST(PadKeyNames, tableHas73EntriesWithUniqueNamesAndUsages) {
    EXPECT_EQ(PadKeyNames::all.size(), 73u);
    std::set<std::string_view> names;
    std::set<std::uint16_t> usages;
    for (const auto& entry : PadKeyNames::all) {
        EXPECT_TRUE(names.insert(entry.name).second) << entry.name;
        EXPECT_TRUE(usages.insert(entry.hid).second) << entry.name;
        EXPECT_FALSE(entry.display.empty()) << entry.name;
        EXPECT_EQ(PadKeyNames::byName(entry.name), &entry);
        EXPECT_EQ(PadKeyNames::byHID(entry.hid), &entry);
        EXPECT_EQ(PadKeyNames::canonical(entry.name), entry.name);
        EXPECT_EQ(PadKeyNames::nameForHID(entry.hid), entry.name);
        EXPECT_EQ(PadKeyNames::hid(entry.name), entry.hid);
    }
}

TEST(PadKeyNames, usagesFollowTheKeyboardPage) {
    for (char c = 'a'; c <= 'z'; ++c) {
        const auto* entry = PadKeyNames::byName(std::string(1, c));
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(entry->hid, 0x04 + (c - 'a'));
        EXPECT_EQ(entry->display, std::string(1, static_cast<char>(c - 'a' + 'A')));
    }
    EXPECT_EQ(PadKeyNames::hid("1"), 0x1E);
    EXPECT_EQ(PadKeyNames::hid("9"), 0x26);
    EXPECT_EQ(PadKeyNames::hid("0"), 0x27);
    EXPECT_EQ(PadKeyNames::hid("f1"), 0x3A);
    EXPECT_EQ(PadKeyNames::hid("f12"), 0x45);
    EXPECT_EQ(PadKeyNames::hid("semicolon"), 0x33);  // 0x32 (non-US #) is not nameable
    EXPECT_EQ(PadKeyNames::hid("delete"), 0x4C);
    EXPECT_EQ(PadKeyNames::hid("up"), 0x52);
    EXPECT_EQ(PadKeyNames::hid("lcmd"), 0xE3);
    EXPECT_EQ(PadKeyNames::byHID(0x32), nullptr);
    EXPECT_EQ(PadKeyNames::byHID(0xE4), nullptr);  // right-hand modifiers have no name
    EXPECT_EQ(PadKeyNames::byHID(0), nullptr);
    EXPECT_EQ(PadKeyNames::byHID(0x1000), nullptr);
    EXPECT_EQ(PadKeyNames::display("backslash"), "\\");
    EXPECT_EQ(PadKeyNames::display("backspace"), "Delete ⌫");
}

TEST(PadKeyNames, all27AliasesResolveToEntries) {
    EXPECT_EQ(PadKeyNames::aliases.size(), 27u);
    std::set<std::string_view> spellings;
    for (const auto& alias : PadKeyNames::aliases) {
        EXPECT_TRUE(spellings.insert(alias.spelling).second) << alias.spelling;
        EXPECT_EQ(PadKeyNames::byName(alias.spelling), nullptr) << "shadows a name";
        ASSERT_NE(PadKeyNames::byName(alias.name), nullptr) << alias.name;
        EXPECT_EQ(PadKeyNames::canonical(alias.spelling), alias.name);
    }
    EXPECT_EQ(PadKeyNames::canonical("rshift"), "lshift");
    EXPECT_EQ(PadKeyNames::canonical("ralt"), "lalt");
    EXPECT_EQ(PadKeyNames::canonical("lwin"), "lcmd");
    EXPECT_EQ(PadKeyNames::canonical("forwarddelete"), "delete");
    EXPECT_EQ(PadKeyNames::canonical("arrowleft"), "left");
}

TEST(PadKeyNames, canonicalTrimsAndFoldsCase) {
    EXPECT_EQ(PadKeyNames::canonical(" Return "), "enter");
    EXPECT_EQ(PadKeyNames::canonical("RCTRL"), "lctrl");
    EXPECT_EQ(PadKeyNames::canonical("\tSPACEBAR\n"), "space");
    EXPECT_EQ(PadKeyNames::canonical("\xC2\xA0"
                                     "F5"
                                     "\xE3\x80\x80"),
              "f5");  // no-break, ideographic
    EXPECT_EQ(PadKeyNames::canonical(""), "");
    EXPECT_EQ(PadKeyNames::canonical("   "), "");
    EXPECT_EQ(PadKeyNames::canonical("f13"), std::nullopt);
    EXPECT_EQ(PadKeyNames::canonical("sp ace"), std::nullopt);
    EXPECT_EQ(PadKeyNames::canonical("forwarddeleteforwarddelete"), std::nullopt);
    EXPECT_EQ(PadKeyNames::canonical(std::string_view("a\0", 2)), std::nullopt);
    // A broken multi-byte sequence is not white space.
    EXPECT_EQ(PadKeyNames::canonical("\xE2\x80"
                                     "a"),
              std::nullopt);
}

TEST(PadKeyNames, hidDisplayAndModifierQueriesAcceptAnySpelling) {
    EXPECT_EQ(PadKeyNames::hid("ESCAPE"), 0x29);
    EXPECT_EQ(PadKeyNames::hid(""), std::nullopt);
    EXPECT_EQ(PadKeyNames::hid("hyper"), std::nullopt);
    EXPECT_EQ(PadKeyNames::display(" arrowup"), "↑");
    EXPECT_EQ(PadKeyNames::display(""), "None");
    EXPECT_EQ(PadKeyNames::display("nothing"), "None");
    EXPECT_TRUE(PadKeyNames::isModifier("Shift"));
    EXPECT_TRUE(PadKeyNames::isModifier("lcmd"));
    EXPECT_TRUE(PadKeyNames::isModifier("option"));
    EXPECT_FALSE(PadKeyNames::isModifier("space"));
    EXPECT_FALSE(PadKeyNames::isModifier(""));
    EXPECT_FALSE(PadKeyNames::isModifier("hyper"));
}

TEST(PadModifiers, namesAreReadLeniently) {
    const auto mods = PadModifiers::fromNames({"Command", "shift", "hyper"});
    EXPECT_EQ(mods, PadModifiers::shift | PadModifiers::cmd);
    EXPECT_EQ(mods.names(), (std::vector<std::string_view>{"shift", "cmd"}));
    EXPECT_EQ(mods.symbols(), "⇧⌘");
    EXPECT_EQ(PadModifiers::fromNames(
                  {"CONTROL", "lctrl", "opt", "LALT", "Win", "meta", "super", "lshift"}),
              PadModifiers::ctrl | PadModifiers::alt | PadModifiers::cmd | PadModifiers::shift);
    EXPECT_TRUE(PadModifiers::fromNames({"", " shift", "rshift"}).isEmpty());
}

TEST(PadModifiers, listsFollowTableOrder) {
    const PadModifiers all(0x0F);
    EXPECT_EQ(all.names(), (std::vector<std::string_view>{"ctrl", "alt", "shift", "cmd"}));
    EXPECT_EQ(all.symbols(), "⌃⌥⇧⌘");
    EXPECT_EQ(all.hids(), (std::vector<std::uint16_t>{0xE0, 0xE2, 0xE1, 0xE3}));
    EXPECT_EQ(PadModifiers::alt.hids(), (std::vector<std::uint16_t>{0xE2}));
    EXPECT_TRUE(PadModifiers().names().empty());
    // Bits beyond the four are carried but name nothing.
    EXPECT_TRUE(PadModifiers(0xF0).names().empty());
    // Every name in the table reads back as its own bit.
    for (const auto& info : PadModifiers::table) {
        EXPECT_EQ(PadModifiers::fromNames({std::string(info.name)}).rawValue, info.bit);
    }
}

TEST(PadKeyCombo, displaysSymbolsThenKey) {
    EXPECT_EQ((PadKeyCombo{"", {}}).display(), "None");
    EXPECT_EQ((PadKeyCombo{"z", PadModifiers::cmd | PadModifiers::shift}).display(), "⇧⌘Z");
    EXPECT_EQ((PadKeyCombo{"", PadModifiers::ctrl}).display(), "⌃");
    EXPECT_EQ((PadKeyCombo{"space", {}}).display(), "Space");
    EXPECT_EQ((PadKeyCombo{"f13", PadModifiers::alt}).display(), "⌥None");
}

}  // namespace
}  // namespace tarvel::gamepad
