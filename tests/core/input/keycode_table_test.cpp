#include <gtest/gtest.h>
#include <linux/input-event-codes.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <thread>
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

TEST(KeycodeTable, spotRowsOfEveryGroupInTableOrder) {
    const auto rows = table().rows();
    ASSERT_EQ(rows.size(), 73u);
    EXPECT_EQ(rows[18], (KeyMapping{"S", 0x16, 0x01, 0x53, 0x1F, false, KEY_S}));
    EXPECT_EQ(rows[35], (KeyMapping{"0", 0x27, 0x1D, 0x30, 0x0B, false, KEY_0}));
    EXPECT_EQ(rows[36], (KeyMapping{"Return", 0x28, 0x24, 0x0D, 0x1C, false, KEY_ENTER}));
    EXPECT_EQ(rows[45], (KeyMapping{"\\", 0x31, 0x2A, 0xDC, 0x2B, false, KEY_BACKSLASH}));
    EXPECT_EQ(rows[48], (KeyMapping{"`", 0x35, 0x32, 0xC0, 0x29, false, KEY_GRAVE}));
    EXPECT_EQ(rows[63], (KeyMapping{"F12", 0x45, 0x6F, 0x7B, 0x58, false, KEY_F12}));
    EXPECT_EQ(rows[64], (KeyMapping{"Forward Delete", 0x4C, 0x75, 0x2E, 0x53, true, KEY_DELETE}));
    EXPECT_EQ(rows[72], (KeyMapping{"Left Cmd / Win", 0xE3, 0x37, 0x5B, 0x5B, true, KEY_LEFTMETA}));
}

TEST(KeycodeTable, lettersDigitsFunctionKeysAndExtendedFlagsFollowTheirRules) {
    const auto rows = table().rows();
    const std::string digits = "1234567890";
    for (std::size_t i = 0; i < 26; ++i) {
        EXPECT_EQ(rows[i].name, std::string(1, static_cast<char>('A' + i)));
        EXPECT_EQ(rows[i].hid, 0x04 + i);
        EXPECT_EQ(rows[i].winVK, 'A' + i);
    }
    for (std::size_t i = 0; i < 10; ++i) {
        EXPECT_EQ(rows[26 + i].name, digits.substr(i, 1));
        EXPECT_EQ(rows[26 + i].hid, 0x1E + i);
        EXPECT_EQ(rows[26 + i].winScan, 0x02 + i);
        EXPECT_EQ(rows[26 + i].winVK, digits[i]);
    }
    for (std::size_t i = 0; i < 12; ++i) {
        EXPECT_EQ(rows[52 + i].name, "F" + std::to_string(i + 1));
        EXPECT_EQ(rows[52 + i].hid, 0x3A + i);
        EXPECT_EQ(rows[52 + i].winVK, 0x70 + i);
    }
    const std::set<std::uint16_t> extended = {0x4C, 0x4F, 0x50, 0x51, 0x52, 0xE3};
    for (const KeyMapping& row : rows) {
        EXPECT_EQ(row.winExtended, extended.count(row.hid) == 1) << row.name;
    }
}

TEST(KeycodeTable, linuxCodesMatchScanCodesAndMapBackToTheirUsage) {
    for (const KeyMapping& row : table().rows()) {
        // Without the E0 prefix, evdev numbers a key by its set-1 scan code.
        if (!row.winExtended) {
            EXPECT_EQ(row.linuxKeyCode, row.winScan) << row.name;
        }
        EXPECT_EQ(table().hidUsageForLinuxKeyCode(row.linuxKeyCode), Optional16(row.hid));
        EXPECT_EQ(table().linuxKeyCodeForHID(row.hid), Optional16(row.linuxKeyCode));
    }
    const std::pair<std::uint16_t, std::uint16_t> extendedKeys[] = {
        {0x4C, KEY_DELETE}, {0x4F, KEY_RIGHT}, {0x50, KEY_LEFT},
        {0x51, KEY_DOWN},   {0x52, KEY_UP},    {0xE3, KEY_LEFTMETA}};
    for (const auto& [hid, code] : extendedKeys) {
        EXPECT_EQ(table().linuxKeyCodeForHID(hid), Optional16(code)) << hid;
    }
    EXPECT_EQ(table().linuxKeyCodeForHID(0x64), std::nullopt);  // non-US backslash: no row
    for (std::uint16_t code : {KEY_RESERVED, KEY_102ND, KEY_RIGHTMETA, KEY_CNT}) {
        EXPECT_EQ(table().hidUsageForLinuxKeyCode(code), std::nullopt) << code;
    }
}

TEST(KeycodeTable, everyIndexIsOneToOne) {
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
    EXPECT_EQ(byHID, 73u);
    EXPECT_EQ(byMac, 73u);
    EXPECT_EQ(byLinux, 73u);
}

TEST(KeycodeTable, macLookupsBothWays) {
    EXPECT_EQ(table().macKeyCodeForHID(0x04), Optional16(0x00));
    EXPECT_EQ(table().macKeyCodeForHID(0x28), Optional16(0x24));
    EXPECT_EQ(table().macKeyCodeForHID(0xE3), Optional16(0x37));
    EXPECT_EQ(table().macKeyCodeForHID(0x4A), std::nullopt);  // Home
    EXPECT_EQ(table().macKeyCodeForHID(0x104), std::nullopt);
    EXPECT_EQ(table().hidUsageForMacKeyCode(0x31), Optional16(0x2C));
    EXPECT_EQ(table().hidUsageForMacKeyCode(0x39), std::nullopt);  // Caps Lock
    EXPECT_EQ(table().hidUsageForMacKeyCode(0x100), std::nullopt);
    EXPECT_EQ(table().mappingForHID(0x32), nullptr);  // non-US hash: no row
}

TEST(KeycodeTable, characterTableCoversPrintableASCIIAndTab) {
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
    const auto key = [](std::string_view c) { return table().hidUsageForCharacter(c); };
    EXPECT_EQ(key("z"), (CharKey{0x1D, false}));
    EXPECT_EQ(key(")"), (CharKey{0x27, true}));
    EXPECT_EQ(key("\""), (CharKey{0x34, true}));
    EXPECT_EQ(key("?"), (CharKey{0x38, true}));
    EXPECT_EQ(key(" "), (CharKey{0x2C, false}));
    EXPECT_EQ(key("\t"), (CharKey{0x2B, false}));
    for (std::string_view none : {"", "\n", "ab", "\xC3\xA9", "e\xCC\x81", "\x7F", "\xFF"}) {
        EXPECT_EQ(key(none), std::nullopt) << none;
    }
}

TEST(KeycodeTable, modifierUsagesAndWireBits) {
    for (std::uint16_t usage : {0x00, 0xDF, 0xE8, 0x1E0}) {
        EXPECT_FALSE(KeycodeTable::isModifierHID(usage)) << usage;
        EXPECT_EQ(KeycodeTable::modifierBitForHID(usage), std::nullopt) << usage;
    }
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
    EXPECT_EQ(KeycodeTable::hidLeftShift, 0xE1);
    for (std::uint8_t raw : {0x00, 0x03, 0x10, 0xFF}) {
        EXPECT_EQ(KeycodeTable::hidForModifierBit(ModifierMask(raw)), std::nullopt) << int(raw);
    }
}

TEST(KeycodeTable, sharedIsOneInstanceEqualToAFreshTable) {
    const KeycodeTable* seen[4] = {};
    std::vector<std::thread> threads;
    for (auto& slot : seen) {
        threads.emplace_back([&slot] { slot = &KeycodeTable::shared(); });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (const KeycodeTable* instance : seen) {
        EXPECT_EQ(instance, &KeycodeTable::shared());
    }
    const KeycodeTable fresh;
    EXPECT_TRUE(std::ranges::equal(fresh.rows(), table().rows()));
    EXPECT_TRUE(std::ranges::equal(fresh.charTable(), table().charTable()));
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
