#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvel::gamepad {

/// Modifiers of a key binding, as bits of an unsigned 8-bit value. The bits
/// are those of the wire's modifier mask.
struct PadModifiers {
    std::uint8_t rawValue = 0;

    constexpr PadModifiers() noexcept = default;
    constexpr explicit PadModifiers(std::uint8_t raw) noexcept : rawValue(raw) {}

    /// The modifiers named in `names`, compared ignoring ASCII case: "shift",
    /// "lshift"; "ctrl", "control", "lctrl"; "alt", "option", "opt", "lalt";
    /// "cmd", "command", "win", "meta", "super", "lcmd". Other names are ignored.
    static PadModifiers fromNames(const std::vector<std::string>& names);

    static const PadModifiers shift;
    static const PadModifiers ctrl;
    static const PadModifiers alt;
    static const PadModifiers cmd;

    /// One modifier with its file name, left-hand HID usage and symbol.
    struct Info {
        std::uint8_t bit;
        std::string_view name;
        std::uint16_t hid;
        std::string_view symbol;
    };
    /// The modifiers in display order; names, symbols and usages follow it.
    static const std::array<Info, 4> table;

    /// The names of the set bits, in table order.
    std::vector<std::string_view> names() const;
    /// The symbols of the set bits, in table order, without separator.
    std::string symbols() const;
    /// The left-hand usages of the set bits, in table order.
    std::vector<std::uint16_t> hids() const;

    constexpr bool contains(PadModifiers other) const noexcept {
        return (rawValue & other.rawValue) == other.rawValue;
    }
    constexpr bool isEmpty() const noexcept { return rawValue == 0; }
    constexpr void insert(PadModifiers other) noexcept { rawValue |= other.rawValue; }

    friend constexpr PadModifiers operator|(PadModifiers l, PadModifiers r) noexcept {
        return PadModifiers(static_cast<std::uint8_t>(l.rawValue | r.rawValue));
    }
    friend constexpr bool operator==(PadModifiers, PadModifiers) = default;
};

inline constexpr PadModifiers PadModifiers::shift{0x01};
inline constexpr PadModifiers PadModifiers::ctrl{0x02};
inline constexpr PadModifiers PadModifiers::alt{0x04};
inline constexpr PadModifiers PadModifiers::cmd{0x08};

inline constexpr std::array<PadModifiers::Info, 4> PadModifiers::table{{
    {0x02, "ctrl", 0xE0, "⌃"},
    {0x04, "alt", 0xE2, "⌥"},
    {0x01, "shift", 0xE1, "⇧"},
    {0x08, "cmd", 0xE3, "⌘"},
}};

/// The names by which mapping files and the editor write keys.
namespace PadKeyNames {

/// One nameable key: canonical name, HID keyboard usage and label.
struct Entry {
    std::string_view name;
    std::uint16_t hid;
    std::string_view display;

    friend constexpr bool operator==(const Entry&, const Entry&) = default;
};

/// Another spelling of a canonical name.
struct Alias {
    std::string_view spelling;
    std::string_view name;
};

/// Every nameable key, in the order menus list them.
inline constexpr std::array<Entry, 73> all{{
    {"a", 0x04, "A"},
    {"b", 0x05, "B"},
    {"c", 0x06, "C"},
    {"d", 0x07, "D"},
    {"e", 0x08, "E"},
    {"f", 0x09, "F"},
    {"g", 0x0A, "G"},
    {"h", 0x0B, "H"},
    {"i", 0x0C, "I"},
    {"j", 0x0D, "J"},
    {"k", 0x0E, "K"},
    {"l", 0x0F, "L"},
    {"m", 0x10, "M"},
    {"n", 0x11, "N"},
    {"o", 0x12, "O"},
    {"p", 0x13, "P"},
    {"q", 0x14, "Q"},
    {"r", 0x15, "R"},
    {"s", 0x16, "S"},
    {"t", 0x17, "T"},
    {"u", 0x18, "U"},
    {"v", 0x19, "V"},
    {"w", 0x1A, "W"},
    {"x", 0x1B, "X"},
    {"y", 0x1C, "Y"},
    {"z", 0x1D, "Z"},
    {"1", 0x1E, "1"},
    {"2", 0x1F, "2"},
    {"3", 0x20, "3"},
    {"4", 0x21, "4"},
    {"5", 0x22, "5"},
    {"6", 0x23, "6"},
    {"7", 0x24, "7"},
    {"8", 0x25, "8"},
    {"9", 0x26, "9"},
    {"0", 0x27, "0"},
    {"enter", 0x28, "Return"},
    {"esc", 0x29, "Esc"},
    {"backspace", 0x2A, "Delete ⌫"},
    {"tab", 0x2B, "Tab"},
    {"space", 0x2C, "Space"},
    {"minus", 0x2D, "-"},
    {"equal", 0x2E, "="},
    {"lbracket", 0x2F, "["},
    {"rbracket", 0x30, "]"},
    {"backslash", 0x31, "\\"},
    {"semicolon", 0x33, ";"},
    {"quote", 0x34, "'"},
    {"grave", 0x35, "`"},
    {"comma", 0x36, ","},
    {"period", 0x37, "."},
    {"slash", 0x38, "/"},
    {"f1", 0x3A, "F1"},
    {"f2", 0x3B, "F2"},
    {"f3", 0x3C, "F3"},
    {"f4", 0x3D, "F4"},
    {"f5", 0x3E, "F5"},
    {"f6", 0x3F, "F6"},
    {"f7", 0x40, "F7"},
    {"f8", 0x41, "F8"},
    {"f9", 0x42, "F9"},
    {"f10", 0x43, "F10"},
    {"f11", 0x44, "F11"},
    {"f12", 0x45, "F12"},
    {"delete", 0x4C, "Forward Delete ⌦"},
    {"right", 0x4F, "→"},
    {"left", 0x50, "←"},
    {"down", 0x51, "↓"},
    {"up", 0x52, "↑"},
    {"lctrl", 0xE0, "Control"},
    {"lshift", 0xE1, "Shift"},
    {"lalt", 0xE2, "Option / Alt"},
    {"lcmd", 0xE3, "Command / Win"},
}};

/// Further accepted spellings. Right-hand modifiers fold onto the left-hand keys.
inline constexpr std::array<Alias, 27> aliases{{
    {"return", "enter"},
    {"escape", "esc"},
    {"spacebar", "space"},
    {"del", "delete"},
    {"forwarddelete", "delete"},
    {"shift", "lshift"},
    {"leftshift", "lshift"},
    {"rshift", "lshift"},
    {"ctrl", "lctrl"},
    {"control", "lctrl"},
    {"leftctrl", "lctrl"},
    {"rctrl", "lctrl"},
    {"alt", "lalt"},
    {"option", "lalt"},
    {"opt", "lalt"},
    {"ralt", "lalt"},
    {"cmd", "lcmd"},
    {"command", "lcmd"},
    {"win", "lcmd"},
    {"lwin", "lcmd"},
    {"meta", "lcmd"},
    {"super", "lcmd"},
    {"rcmd", "lcmd"},
    {"arrowup", "up"},
    {"arrowdown", "down"},
    {"arrowleft", "left"},
    {"arrowright", "right"},
}};

/// The entry with exactly this canonical name, or null.
const Entry* byName(std::string_view name) noexcept;

/// The entry for this usage, or null.
const Entry* byHID(std::uint16_t hid) noexcept;

/// The canonical name of a spelling: white space trimmed, ASCII letters
/// lower-cased, aliases resolved. Blank text gives the empty name (no key);
/// an unknown spelling gives nothing. The view refers to static storage.
std::optional<std::string_view> canonical(std::string_view spelling) noexcept;

/// The usage a spelling names; nothing for the empty name or an unknown one.
std::optional<std::uint16_t> hid(std::string_view spelling) noexcept;

/// The canonical name of a usage, or nothing.
std::optional<std::string_view> nameForHID(std::uint16_t hid) noexcept;

/// The label of a spelling; "None" for the empty name or an unknown one.
std::string_view display(std::string_view spelling) noexcept;

/// Whether a spelling names a modifier key (usage 0xE0 or above).
bool isModifier(std::string_view spelling) noexcept;

}  // namespace PadKeyNames

/// A key with modifiers, or modifiers alone when `key` is empty.
struct PadKeyCombo {
    std::string key;  // a canonical key name, or empty
    PadModifiers mods;

    /// "None" when there is neither key nor modifier; otherwise the modifier
    /// symbols in table order followed by the key's label (if there is a key).
    std::string display() const;

    friend bool operator==(const PadKeyCombo&, const PadKeyCombo&) = default;
};

}  // namespace tarvel::gamepad
