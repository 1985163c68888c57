#include <gtest/gtest.h>
#include <linux/input-event-codes.h>

#include "core/input/hid_key_set.hpp"
#include "core/input/keycode_table.hpp"

namespace tarvel::input {
namespace {

using wire::ModifierMask;
using Optional16 = std::optional<std::uint16_t>;
using Usages = std::vector<std::uint16_t>;

const KeycodeTable& table() {
    return KeycodeTable::shared();
}

TEST(KeycodeTable, rowsRoundTripEveryIndexCharactersCoverASCIIAndModifiersBothHands) {
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
    EXPECT_EQ(table().hidUsageForMacKeyCode(0x39), std::nullopt);  // Caps Lock
    for (std::uint16_t code : {KEY_RESERVED, KEY_102ND, KEY_RIGHTMETA, KEY_CNT}) {
        EXPECT_EQ(table().hidUsageForLinuxKeyCode(code), std::nullopt) << code;
    }
    ASSERT_EQ(table().charTable().size(), 96u);
    for (char c = 0x20; c < 0x7F; ++c) {
        EXPECT_TRUE(table().hidUsageForCharacter(std::string(1, c))) << c;
    }
    // A key named by its own character types that character, Shift only for capitals.
    for (const KeyMapping& row : table().rows()) {
        const bool capital = row.name[0] >= 'A' && row.name[0] <= 'Z';
        EXPECT_TRUE(row.name.size() != 1 ||
                    (table().hidUsageForCharacter(row.name) == CharKey{row.hid, capital}))
            << row.name;
    }
    for (std::string_view none : {"", "\n", "ab", "\xC3\xA9", "e\xCC\x81", "\x7F", "\xFF"}) {
        EXPECT_EQ(table().hidUsageForCharacter(none), std::nullopt) << none;
    }
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
    for (std::uint16_t other : {0x00, 0x03, 0x10, 0xDF, 0xE8, 0xFF, 0x1E0}) {
        EXPECT_FALSE(KeycodeTable::isModifierHID(other) || KeycodeTable::modifierBitForHID(other) ||
                     KeycodeTable::hidForModifierBit(ModifierMask(std::uint8_t(other))))
            << other;
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
}

TEST(HIDKeySet, wordEdgesLandOnTheirBitsUsagesFrom256AreIgnoredAndMembersComeOutAscending) {
    HIDKeySet set{0, 63, 64, 255};
    EXPECT_EQ((std::array{set.w0(), set.w1(), set.w2(), set.w3()}),
              (std::array<std::uint64_t, 4>{0x8000000000000001ULL, 1, 0, 0x8000000000000000ULL}));
    const HIDKeySet before = set;
    set.insert(256);
    set.insert(256 + 4);
    EXPECT_EQ(set, before);
    EXPECT_FALSE(set.contains(256));
    EXPECT_EQ(set.count(), 4);
    const HIDKeySet held{0x04, 0xE1, 0x16, 0x52, 0x04};
    const HIDKeySet next{0x16, 0xE0, 0x52};
    EXPECT_EQ(held.subtracting(next).sorted(), (Usages{0x04, 0xE1}));
    EXPECT_EQ(next.subtracting(held).sorted(), (Usages{0xE0}));
    EXPECT_TRUE(held.subtracting(held).isEmpty());
    HIDKeySet both = held;
    both.formUnion(next);
    both.remove(0x16);
    both.remove(256 + 0x52);  // must not alias 0x52
    EXPECT_EQ(both.sorted(), (Usages{0x04, 0x52, 0xE0, 0xE1}));
    Usages visited;
    both.forEach([&visited](std::uint16_t usage) { visited.push_back(usage); });
    EXPECT_EQ(visited, both.sorted());
    const std::hash<HIDKeySet> hash;
    EXPECT_EQ(hash(HIDKeySet{1, 100, 200}), hash(HIDKeySet{200, 100, 1}));
    EXPECT_NE(hash(HIDKeySet{0}), hash(HIDKeySet{64}));
}

}  // namespace
}  // namespace tarvel::input
