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

TEST(KeycodeTable, everyIndexIsOneToOne) {
    ASSERT_EQ(table().rows().size(), KeycodeTable::standardRowCount);
    std::set<std::uint16_t> hids, macs, vks, linuxCodes;
    std::set<std::pair<std::uint16_t, bool>> scans;
    for (const KeyMapping& row : table().rows()) {
        EXPECT_TRUE(hids.insert(row.hid).second) << row.name;
        EXPECT_TRUE(macs.insert(row.macKeyCode).second) << row.name;
        EXPECT_TRUE(vks.insert(row.winVK).second) << row.name;
        EXPECT_TRUE(scans.insert({row.winScan, row.winExtended}).second) << row.name;
        EXPECT_TRUE(linuxCodes.insert(row.linuxKeyCode).second) << row.name;
    }
    // Sweeping every 16-bit code finds exactly the rows, each at its own code.
    std::size_t byHID = 0, byMac = 0, byLinux = 0;
    for (std::uint32_t code = 0; code <= 0xFFFF; ++code) {
        const auto c = static_cast<std::uint16_t>(code);
        const KeyMapping* row = table().byHID(c);
        byHID += row != nullptr && row->hid == c;
        row = table().byMac(c);
        byMac += row != nullptr && row->macKeyCode == c;
        row = table().byLinux(c);
        byLinux += row != nullptr && row->linuxKeyCode == c;
    }
    EXPECT_EQ(byHID, KeycodeTable::standardRowCount);
    EXPECT_EQ(byMac, KeycodeTable::standardRowCount);
    EXPECT_EQ(byLinux, KeycodeTable::standardRowCount);
}

TEST(KeycodeTable, everyRowRoundTripsAndLinuxCodesAgreeWithScanCodes) {
    for (const KeyMapping& row : table().rows()) {
        // Without the E0 prefix, evdev numbers a key by its set-1 scan code.
        if (!row.winExtended) {
            EXPECT_EQ(row.linuxKeyCode, row.winScan) << row.name;
        }
        EXPECT_EQ(table().hidUsageForLinuxKeyCode(row.linuxKeyCode), Optional16(row.hid));
        EXPECT_EQ(table().linuxKeyCodeForHID(row.hid), Optional16(row.linuxKeyCode));
        EXPECT_EQ(table().hidUsageForMacKeyCode(row.macKeyCode), Optional16(row.hid));
        EXPECT_EQ(table().macKeyCodeForHID(row.hid), Optional16(row.macKeyCode));
    }
    // Codes without a row.
    EXPECT_EQ(table().linuxKeyCodeForHID(0x64), std::nullopt);  // non-US backslash
    EXPECT_EQ(table().mappingForHID(0x32), nullptr);            // non-US hash
    EXPECT_EQ(table().macKeyCodeForHID(0x104), std::nullopt);
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
    const std::pair<std::uint16_t, ModifierMask> leftHand[] = {
        {KeycodeTable::hidLeftControl, ModifierMask::control},
        {KeycodeTable::hidLeftShift, ModifierMask::shift},
        {KeycodeTable::hidLeftOption, ModifierMask::option},
        {KeycodeTable::hidLeftCommand, ModifierMask::command}};
    for (const auto& [left, bit] : leftHand) {
        const auto right = static_cast<std::uint16_t>(left + 4);
        EXPECT_TRUE(KeycodeTable::isModifierHID(left) && KeycodeTable::isModifierHID(right));
        EXPECT_EQ(KeycodeTable::modifierBitForHID(left), bit);
        EXPECT_EQ(KeycodeTable::modifierBitForHID(right), bit);
        EXPECT_EQ(KeycodeTable::hidForModifierBit(bit), Optional16(left));
        EXPECT_NE(table().macKeyCodeForHID(left), std::nullopt);
    }
    for (std::uint16_t usage : {0x00, 0xDF, 0xE8, 0x1E0}) {
        EXPECT_FALSE(KeycodeTable::isModifierHID(usage)) << usage;
        EXPECT_EQ(KeycodeTable::modifierBitForHID(usage), std::nullopt) << usage;
    }
    for (std::uint8_t raw : {0x00, 0x03, 0x10, 0xFF}) {
        EXPECT_EQ(KeycodeTable::hidForModifierBit(ModifierMask(raw)), std::nullopt) << int(raw);
    }
}

TEST(KeycodeTableDeathTest, duplicateOrOutOfRangeCodesStopTheProgram) {
    const std::vector<KeyMapping> rows(table().rows().begin(), table().rows().end());
    auto broken = rows;
    broken[1].hid = broken[0].hid;
    EXPECT_DEATH(KeycodeTable{broken}, "duplicate HID code 4");
    broken = rows;
    broken.back().macKeyCode = 0x00;
    EXPECT_DEATH(KeycodeTable{broken}, "duplicate macOS code 0");
    broken = rows;
    broken[5].linuxKeyCode = KEY_A;
    EXPECT_DEATH(KeycodeTable{broken}, "duplicate Linux code");
    broken = rows;
    broken[0].hid = 0x100;
    EXPECT_DEATH(KeycodeTable{broken}, "HID code 256 out of range");
    broken = rows;
    broken[0].linuxKeyCode = 0;  // a key without a Linux code is fine
    EXPECT_EQ(KeycodeTable(broken).linuxKeyCodeForHID(0x04), std::nullopt);
}

}  // namespace
}  // namespace tarvel::input
