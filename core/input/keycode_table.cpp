#include "core/input/keycode_table.hpp"

#include <linux/input-event-codes.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "core/base/log.hpp"

namespace tarvel::input {

namespace {

static_assert(KEY_CNT == KeycodeTable::linuxKeyCodeLimit);

// Every non-extended row's Linux code equals its set-1 scan code: evdev
// numbers those keys by their PC scan code.
constexpr std::array<KeyMapping, KeycodeTable::standardRowCount> standardRows = {{
    {"A", 0x04, 0x00, 0x41, 0x1E, false, KEY_A},
    {"B", 0x05, 0x0B, 0x42, 0x30, false, KEY_B},
    {"C", 0x06, 0x08, 0x43, 0x2E, false, KEY_C},
    {"D", 0x07, 0x02, 0x44, 0x20, false, KEY_D},
    {"E", 0x08, 0x0E, 0x45, 0x12, false, KEY_E},
    {"F", 0x09, 0x03, 0x46, 0x21, false, KEY_F},
    {"G", 0x0A, 0x05, 0x47, 0x22, false, KEY_G},
    {"H", 0x0B, 0x04, 0x48, 0x23, false, KEY_H},
    {"I", 0x0C, 0x22, 0x49, 0x17, false, KEY_I},
    {"J", 0x0D, 0x26, 0x4A, 0x24, false, KEY_J},
    {"K", 0x0E, 0x28, 0x4B, 0x25, false, KEY_K},
    {"L", 0x0F, 0x25, 0x4C, 0x26, false, KEY_L},
    {"M", 0x10, 0x2E, 0x4D, 0x32, false, KEY_M},
    {"N", 0x11, 0x2D, 0x4E, 0x31, false, KEY_N},
    {"O", 0x12, 0x1F, 0x4F, 0x18, false, KEY_O},
    {"P", 0x13, 0x23, 0x50, 0x19, false, KEY_P},
    {"Q", 0x14, 0x0C, 0x51, 0x10, false, KEY_Q},
    {"R", 0x15, 0x0F, 0x52, 0x13, false, KEY_R},
    {"S", 0x16, 0x01, 0x53, 0x1F, false, KEY_S},
    {"T", 0x17, 0x11, 0x54, 0x14, false, KEY_T},
    {"U", 0x18, 0x20, 0x55, 0x16, false, KEY_U},
    {"V", 0x19, 0x09, 0x56, 0x2F, false, KEY_V},
    {"W", 0x1A, 0x0D, 0x57, 0x11, false, KEY_W},
    {"X", 0x1B, 0x07, 0x58, 0x2D, false, KEY_X},
    {"Y", 0x1C, 0x10, 0x59, 0x15, false, KEY_Y},
    {"Z", 0x1D, 0x06, 0x5A, 0x2C, false, KEY_Z},
    {"1", 0x1E, 0x12, 0x31, 0x02, false, KEY_1},
    {"2", 0x1F, 0x13, 0x32, 0x03, false, KEY_2},
    {"3", 0x20, 0x14, 0x33, 0x04, false, KEY_3},
    {"4", 0x21, 0x15, 0x34, 0x05, false, KEY_4},
    {"5", 0x22, 0x17, 0x35, 0x06, false, KEY_5},
    {"6", 0x23, 0x16, 0x36, 0x07, false, KEY_6},
    {"7", 0x24, 0x1A, 0x37, 0x08, false, KEY_7},
    {"8", 0x25, 0x1C, 0x38, 0x09, false, KEY_8},
    {"9", 0x26, 0x19, 0x39, 0x0A, false, KEY_9},
    {"0", 0x27, 0x1D, 0x30, 0x0B, false, KEY_0},
    {"Return", 0x28, 0x24, 0x0D, 0x1C, false, KEY_ENTER},
    {"Escape", 0x29, 0x35, 0x1B, 0x01, false, KEY_ESC},
    {"Backspace", 0x2A, 0x33, 0x08, 0x0E, false, KEY_BACKSPACE},
    {"Tab", 0x2B, 0x30, 0x09, 0x0F, false, KEY_TAB},
    {"Space", 0x2C, 0x31, 0x20, 0x39, false, KEY_SPACE},
    {"-", 0x2D, 0x1B, 0xBD, 0x0C, false, KEY_MINUS},
    {"=", 0x2E, 0x18, 0xBB, 0x0D, false, KEY_EQUAL},
    {"[", 0x2F, 0x21, 0xDB, 0x1A, false, KEY_LEFTBRACE},
    {"]", 0x30, 0x1E, 0xDD, 0x1B, false, KEY_RIGHTBRACE},
    {"\\", 0x31, 0x2A, 0xDC, 0x2B, false, KEY_BACKSLASH},
    {";", 0x33, 0x29, 0xBA, 0x27, false, KEY_SEMICOLON},
    {"'", 0x34, 0x27, 0xDE, 0x28, false, KEY_APOSTROPHE},
    {"`", 0x35, 0x32, 0xC0, 0x29, false, KEY_GRAVE},
    {",", 0x36, 0x2B, 0xBC, 0x33, false, KEY_COMMA},
    {".", 0x37, 0x2F, 0xBE, 0x34, false, KEY_DOT},
    {"/", 0x38, 0x2C, 0xBF, 0x35, false, KEY_SLASH},
    {"F1", 0x3A, 0x7A, 0x70, 0x3B, false, KEY_F1},
    {"F2", 0x3B, 0x78, 0x71, 0x3C, false, KEY_F2},
    {"F3", 0x3C, 0x63, 0x72, 0x3D, false, KEY_F3},
    {"F4", 0x3D, 0x76, 0x73, 0x3E, false, KEY_F4},
    {"F5", 0x3E, 0x60, 0x74, 0x3F, false, KEY_F5},
    {"F6", 0x3F, 0x61, 0x75, 0x40, false, KEY_F6},
    {"F7", 0x40, 0x62, 0x76, 0x41, false, KEY_F7},
    {"F8", 0x41, 0x64, 0x77, 0x42, false, KEY_F8},
    {"F9", 0x42, 0x65, 0x78, 0x43, false, KEY_F9},
    {"F10", 0x43, 0x6D, 0x79, 0x44, false, KEY_F10},
    {"F11", 0x44, 0x67, 0x7A, 0x57, false, KEY_F11},
    {"F12", 0x45, 0x6F, 0x7B, 0x58, false, KEY_F12},
    {"Forward Delete", 0x4C, 0x75, 0x2E, 0x53, true, KEY_DELETE},
    {"Right Arrow", 0x4F, 0x7C, 0x27, 0x4D, true, KEY_RIGHT},
    {"Left Arrow", 0x50, 0x7B, 0x25, 0x4B, true, KEY_LEFT},
    {"Down Arrow", 0x51, 0x7D, 0x28, 0x50, true, KEY_DOWN},
    {"Up Arrow", 0x52, 0x7E, 0x26, 0x48, true, KEY_UP},
    {"Left Control", 0xE0, 0x3B, 0xA2, 0x1D, false, KEY_LEFTCTRL},
    {"Left Shift", 0xE1, 0x38, 0xA0, 0x2A, false, KEY_LEFTSHIFT},
    {"Left Opt / Alt", 0xE2, 0x3A, 0xA4, 0x38, false, KEY_LEFTALT},
    {"Left Cmd / Win", 0xE3, 0x37, 0x5B, 0x5B, true, KEY_LEFTMETA},
}};

[[noreturn]] void badTable(const std::string& what) {
    base::logLine("keycode table: " + what);
    std::abort();
}

// Unique HID usages below 256 keep every row index within int16_t.
template <std::size_t N>
void indexRow(std::array<std::int16_t, N>& index, std::uint16_t code, std::size_t row,
              const char* column) {
    if (code >= N) {
        badTable(std::string(column) + " code " + std::to_string(code) + " out of range");
    }
    if (index[code] >= 0) {
        badTable("duplicate " + std::string(column) + " code " + std::to_string(code));
    }
    index[code] = static_cast<std::int16_t>(row);
}

}  // namespace

KeycodeTable::KeycodeTable() : KeycodeTable(standardRows) {}

KeycodeTable::KeycodeTable(std::span<const KeyMapping> rows) : rows_(rows.begin(), rows.end()) {
    hidIndex_.fill(noRow);
    macIndex_.fill(noRow);
    linuxIndex_.fill(noRow);
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        const KeyMapping& row = rows_[i];
        indexRow(hidIndex_, row.hid, i, "HID");
        indexRow(macIndex_, row.macKeyCode, i, "macOS");
        if (row.linuxKeyCode != KEY_RESERVED) {
            indexRow(linuxIndex_, row.linuxKeyCode, i, "Linux");
        }
    }

    // Later entries replace earlier ones for the same character.
    const auto add = [this](char character, std::uint16_t hid, bool needsShift) {
        charIndex_[static_cast<unsigned char>(character)] = CharKey{hid, needsShift};
    };
    for (const KeyMapping& row : rows_) {
        if (row.name.size() == 1 && row.name[0] >= 'A' && row.name[0] <= 'Z') {
            add(row.name[0], row.hid, true);
            add(static_cast<char>(row.name[0] - 'A' + 'a'), row.hid, false);
        }
    }
    constexpr std::string_view digits = "1234567890";
    constexpr std::string_view shiftedDigits = "!@#$%^&*()";
    for (std::size_t i = 0; i < digits.size(); ++i) {
        add(digits[i], static_cast<std::uint16_t>(0x1E + i), false);
    }
    for (std::size_t i = 0; i < shiftedDigits.size(); ++i) {
        add(shiftedDigits[i], static_cast<std::uint16_t>(0x1E + i), true);
    }
    struct PunctuationKey {
        std::uint16_t hid;
        char plain;
        char shifted;
    };
    constexpr std::array<PunctuationKey, 11> punctuation = {{
        {0x2D, '-', '_'},
        {0x2E, '=', '+'},
        {0x2F, '[', '{'},
        {0x30, ']', '}'},
        {0x31, '\\', '|'},
        {0x33, ';', ':'},
        {0x34, '\'', '"'},
        {0x35, '`', '~'},
        {0x36, ',', '<'},
        {0x37, '.', '>'},
        {0x38, '/', '?'},
    }};
    for (const PunctuationKey& key : punctuation) {
        add(key.plain, key.hid, false);
        add(key.shifted, key.hid, true);
    }
    add(' ', 0x2C, false);
    add('\t', 0x2B, false);

    for (std::size_t c = 0; c < charIndex_.size(); ++c) {
        if (charIndex_[c]) {
            charTable_.push_back(CharEntry{static_cast<char>(c), *charIndex_[c]});
        }
    }
}

const KeycodeTable& KeycodeTable::shared() {
    static const KeycodeTable table;
    return table;
}

std::optional<CharKey> KeycodeTable::hidUsageForCharacter(
    std::string_view character) const noexcept {
    // Every entry is one ASCII byte, so nothing longer (a grapheme of several
    // code points included) can match.
    if (character.size() != 1) {
        return std::nullopt;
    }
    const auto byte = static_cast<unsigned char>(character[0]);
    return byte < charIndex_.size() ? charIndex_[byte] : std::nullopt;
}

}  // namespace tarvel::input
