#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/wire/input_packet.hpp"

namespace tarvel::input {

/// One key: its HID usage (page 0x07) and the codes of the same key on each
/// host platform.
struct KeyMapping {
    std::string_view name;  // display name; not owned, so rows point at string literals
    std::uint16_t hid = 0;
    std::uint16_t macKeyCode = 0;    // macOS virtual key code
    std::uint16_t winVK = 0;         // Windows virtual-key code
    std::uint16_t winScan = 0;       // Windows set-1 scan code
    bool winExtended = false;        // needs the extended-key flag when posted by scan code
    std::uint16_t linuxKeyCode = 0;  // Linux input-event code (KEY_*); X11 keycode = this + 8

    friend constexpr bool operator==(const KeyMapping&, const KeyMapping&) = default;
};

/// The key that types a character on a US layout, and whether Shift is needed.
struct CharKey {
    std::uint16_t hid = 0;
    bool needsShift = false;

    friend constexpr bool operator==(const CharKey&, const CharKey&) = default;
};

/// One entry of the character table. Every character it holds is a single
/// ASCII byte.
struct CharEntry {
    char character = 0;
    CharKey key;

    friend constexpr bool operator==(const CharEntry&, const CharEntry&) = default;
};

/// The table from HID usages to the key codes of macOS, Windows and Linux, with
/// the US-layout character table. Read-only after construction, so any thread
/// may use it; lookups by code never allocate.
class KeycodeTable {
  public:
    static constexpr std::uint16_t hidLeftControl = 0xE0;
    static constexpr std::uint16_t hidLeftShift = 0xE1;
    static constexpr std::uint16_t hidLeftOption = 0xE2;
    static constexpr std::uint16_t hidLeftCommand = 0xE3;

    /// Rows of the standard table.
    static constexpr std::size_t standardRowCount = 73;
    /// Upper bound of HID usages and macOS key codes that can have a row.
    static constexpr std::size_t codeLimit = 256;
    /// Upper bound of Linux key codes (KEY_CNT).
    static constexpr std::size_t linuxKeyCodeLimit = 0x300;

    /// The standard table: 73 rows, the character table built from its letter rows.
    KeycodeTable();

    /// A table of the given rows (copied; their names must outlive the table).
    /// The character table takes its letters from rows named by one upper-case
    /// letter. A duplicate HID usage, macOS or Linux key code, or a code at or
    /// above its limit, is a programming error: it logs and aborts. A Linux
    /// code of 0 means the key has none and is not indexed.
    explicit KeycodeTable(std::span<const KeyMapping> rows);

    /// The one standard table, built on first use; thread-safe.
    static const KeycodeTable& shared();

    /// All rows in table order.
    std::span<const KeyMapping> rows() const noexcept { return rows_; }

    /// The row of a HID usage, or null. Same as `mappingForHID`.
    const KeyMapping* byHID(std::uint16_t usage) const noexcept {
        return usage < codeLimit ? rowAt(hidIndex_[usage]) : nullptr;
    }
    /// The row of a macOS virtual key code, or null.
    const KeyMapping* byMac(std::uint16_t keyCode) const noexcept {
        return keyCode < codeLimit ? rowAt(macIndex_[keyCode]) : nullptr;
    }
    /// The row of a Linux input-event key code, or null.
    const KeyMapping* byLinux(std::uint16_t keyCode) const noexcept {
        return keyCode < linuxKeyCodeLimit ? rowAt(linuxIndex_[keyCode]) : nullptr;
    }
    /// Every character a single key types, ascending by character.
    std::span<const CharEntry> charTable() const noexcept { return charTable_; }

    /// The row of a HID usage, or null.
    const KeyMapping* mappingForHID(std::uint16_t usage) const noexcept { return byHID(usage); }

    /// The macOS key code of a HID usage, or none when the usage has no row.
    std::optional<std::uint16_t> macKeyCodeForHID(std::uint16_t usage) const noexcept {
        const KeyMapping* row = byHID(usage);
        return row ? std::optional(row->macKeyCode) : std::nullopt;
    }

    /// The HID usage of a macOS key code, or none when no row has that code.
    std::optional<std::uint16_t> hidUsageForMacKeyCode(std::uint16_t keyCode) const noexcept {
        const KeyMapping* row = byMac(keyCode);
        return row ? std::optional(row->hid) : std::nullopt;
    }

    /// The Linux key code of a HID usage, or none when the usage has no row.
    std::optional<std::uint16_t> linuxKeyCodeForHID(std::uint16_t usage) const noexcept {
        const KeyMapping* row = byHID(usage);
        return row && row->linuxKeyCode != 0 ? std::optional(row->linuxKeyCode) : std::nullopt;
    }

    /// The HID usage of a Linux key code, or none when no row has that code.
    std::optional<std::uint16_t> hidUsageForLinuxKeyCode(std::uint16_t keyCode) const noexcept {
        const KeyMapping* row = byLinux(keyCode);
        return row ? std::optional(row->hid) : std::nullopt;
    }

    /// The key typing `character` (UTF-8 of one grapheme cluster) on a US
    /// layout, or none for anything not in the character table: other
    /// characters, the empty string, several characters.
    std::optional<CharKey> hidUsageForCharacter(std::string_view character) const noexcept;

    /// True exactly for the eight modifier usages 0xE0 to 0xE7.
    static constexpr bool isModifierHID(std::uint16_t usage) noexcept {
        return (usage & ~std::uint16_t{7}) == 0xE0;
    }

    /// The wire modifier bit of a modifier usage of either hand, or none for
    /// any other usage.
    static constexpr std::optional<wire::ModifierMask> modifierBitForHID(
        std::uint16_t usage) noexcept {
        if (!isModifierHID(usage)) {
            return std::nullopt;
        }
        // Usage order within each hand is Control, Shift, Option/Alt, Command/GUI.
        constexpr std::array<wire::ModifierMask, 4> byOffset = {
            wire::ModifierMask::control, wire::ModifierMask::shift, wire::ModifierMask::option,
            wire::ModifierMask::command};
        return byOffset[usage & 3U];
    }

    /// The left-hand usage of exactly one wire modifier bit; none for zero, a
    /// combination of bits or a bit without a modifier.
    static constexpr std::optional<std::uint16_t> hidForModifierBit(
        wire::ModifierMask bit) noexcept {
        if (bit == wire::ModifierMask::shift) {
            return hidLeftShift;
        }
        if (bit == wire::ModifierMask::control) {
            return hidLeftControl;
        }
        if (bit == wire::ModifierMask::option) {
            return hidLeftOption;
        }
        if (bit == wire::ModifierMask::command) {
            return hidLeftCommand;
        }
        return std::nullopt;
    }

  private:
    static constexpr std::int16_t noRow = -1;

    const KeyMapping* rowAt(std::int16_t index) const noexcept {
        return index == noRow ? nullptr : &rows_[static_cast<std::size_t>(index)];
    }

    std::vector<KeyMapping> rows_;
    std::array<std::int16_t, codeLimit> hidIndex_{};
    std::array<std::int16_t, codeLimit> macIndex_{};
    std::array<std::int16_t, linuxKeyCodeLimit> linuxIndex_{};
    std::vector<CharEntry> charTable_;
    // By ASCII byte, so character lookups need no search.
    std::array<std::optional<CharKey>, 128> charIndex_{};
};

}  // namespace tarvel::input
