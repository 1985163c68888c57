#include <gtest/gtest.h>
#include <linux/input-event-codes.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/input/keycode_table.hpp"

namespace tarvel::input {
namespace {

using wire::ModifierMask;
using Optional16 = std::optional<std::uint16_t>;

const KeycodeTable& table() {
    return KeycodeTable::shared();
}

TEST(KeycodeTable, everyRowRoundTripsThroughEveryIndexAndNoOtherCodeFindsARow) {
    ASSERT_EQ(table().rows().size(), KeycodeTable::standardRowCount);
    std::set<std::uint16_t> vks;
    std::set<std::pair<std::uint16_t, bool>> scans;
    for (const KeyMapping& row : table().rows()) {
        EXPECT_TRUE(vks.insert(row.winVK).second) << row.name;
        EXPECT_TRUE(scans.insert({row.winScan, row.winExtended}).second) << row.name;
        // Without the E0 prefix, evdev numbers a key by its set-1 scan code.
        EXPECT_TRUE(row.winExtended || row.linuxKeyCode == row.winScan) << row.name;
        EXPECT_EQ(table().hidUsageForLinuxKeyCode(row.linuxKeyCode), Optional16(row.hid));
        EXPECT_EQ(table().linuxKeyCodeForHID(row.hid), Optional16(row.linuxKeyCode));
        EXPECT_EQ(table().hidUsageForMacKeyCode(row.macKeyCode), Optional16(row.hid));
        EXPECT_EQ(table().macKeyCodeForHID(row.hid), Optional16(row.macKeyCode));
    }
    std::size_t found = 0;
    for (std::uint32_t code = 0; code <= 0xFFFF; ++code) {
        const auto c = static_cast<std::uint16_t>(code);
        found += table().byHID(c) != nullptr && table().byHID(c)->hid == c;
        found += table().byMac(c) != nullptr && table().byMac(c)->macKeyCode == c;
        found += table().byLinux(c) != nullptr && table().byLinux(c)->linuxKeyCode == c;
    }
    EXPECT_EQ(found, 3 * KeycodeTable::standardRowCount);
    EXPECT_EQ(table().linuxKeyCodeForHID(0x64), std::nullopt);     // non-US backslash
    EXPECT_EQ(table().mappingForHID(0x32), nullptr);               // non-US hash
    EXPECT_EQ(table().hidUsageForMacKeyCode(0x39), std::nullopt);  // Caps Lock
    for (std::uint16_t code : {KEY_RESERVED, KEY_102ND, KEY_RIGHTMETA, KEY_CNT}) {
        EXPECT_EQ(table().hidUsageForLinuxKeyCode(code), std::nullopt) << code;
    }
}

TEST(KeycodeTable, characterTableCoversPrintableASCIIAndTabOnly) {
    const auto chars = table().charTable();
    // The 95 printable ASCII characters (space included) plus tab.
    ASSERT_EQ(chars.size(), 96u);
    for (char c = 0x20; c < 0x7F; ++c) {
        EXPECT_TRUE(table().hidUsageForCharacter(std::string(1, c))) << c;
    }
    EXPECT_TRUE(std::is_sorted(chars.begin(), chars.end(),
                               [](auto& a, auto& b) { return a.character < b.character; }));
    // A key named by its own character types that character, Shift only for capitals.
    for (const KeyMapping& row : table().rows()) {
        if (row.name.size() == 1) {
            const bool capital = row.name[0] >= 'A' && row.name[0] <= 'Z';
            EXPECT_EQ(table().hidUsageForCharacter(row.name), (CharKey{row.hid, capital}));
        }
    }
    EXPECT_EQ(table().hidUsageForCharacter("\t"), (CharKey{0x2B, false}));
    for (std::string_view none : {"", "\n", "ab", "\xC3\xA9", "e\xCC\x81", "\x7F", "\xFF"}) {
        EXPECT_EQ(table().hidUsageForCharacter(none), std::nullopt) << none;
    }
}

TEST(KeycodeTable, bothHandsOfAModifierGiveItsBitAndTheBitGivesTheLeftHand) {
    const std::pair<ModifierMask, std::uint16_t> leftHands[] = {{ModifierMask::control, 0xE0},
                                                                {ModifierMask::shift, 0xE1},
                                                                {ModifierMask::option, 0xE2},
                                                                {ModifierMask::command, 0xE3}};
    for (const auto& [bit, left] : leftHands) {
        EXPECT_EQ(KeycodeTable::hidForModifierBit(bit), Optional16(left));
        for (const std::uint16_t hand : {left, static_cast<std::uint16_t>(left + 4)}) {
            EXPECT_TRUE(KeycodeTable::isModifierHID(hand));
            EXPECT_EQ(KeycodeTable::modifierBitForHID(hand), bit);
        }
    }
    for (std::uint16_t usage : {0x00, 0xDF, 0xE8, 0x1E0}) {
        EXPECT_FALSE(KeycodeTable::isModifierHID(usage) || KeycodeTable::modifierBitForHID(usage));
    }
    for (std::uint8_t raw : {0x00, 0x03, 0x10, 0xFF}) {
        EXPECT_EQ(KeycodeTable::hidForModifierBit(ModifierMask(raw)), std::nullopt) << int(raw);
    }
}

TEST(KeycodeTableDeathTest, duplicateOrOutOfRangeCodesStopTheProgram) {
    const std::vector<KeyMapping> rows(table().rows().begin(), table().rows().end());
    const auto broken = [&rows](auto change) {
        auto copy = rows;
        change(copy);
        return copy;
    };
    EXPECT_DEATH(KeycodeTable{broken([](auto& r) { r[1].hid = r[0].hid; })},
                 "duplicate HID code 4");
    EXPECT_DEATH(KeycodeTable{broken([](auto& r) { r.back().macKeyCode = 0; })},
                 "duplicate macOS code 0");
    EXPECT_DEATH(KeycodeTable{broken([](auto& r) { r[5].linuxKeyCode = KEY_A; })},
                 "duplicate Linux code");
    EXPECT_DEATH(KeycodeTable{broken([](auto& r) { r[0].hid = 0x100; })},
                 "HID code 256 out of range");
    // A key without a Linux code is fine.
    const KeycodeTable noLinux(broken([](auto& r) { r[0].linuxKeyCode = 0; }));
    EXPECT_EQ(noLinux.linuxKeyCodeForHID(0x04), std::nullopt);
}

}  // namespace
}  // namespace tarvel::input
