#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "core/wire/input_packet.hpp"

namespace tarvel::input {

/// What a client sends for one insertion into its text field.
class KeyAction {
  public:
    /// Press and release `hid`, adding Shift when `needsShift`.
    struct KeyTap {
        std::uint16_t hid = 0;
        bool needsShift = false;
        friend bool operator==(const KeyTap&, const KeyTap&) = default;
    };
    /// Send the string as typed text.
    struct Text {
        std::string text;
        friend bool operator==(const Text&, const Text&) = default;
    };
    /// Press and release Backspace.
    struct Backspace {
        friend bool operator==(const Backspace&, const Backspace&) = default;
    };
    /// Press and release Return.
    struct ReturnKey {
        friend bool operator==(const ReturnKey&, const ReturnKey&) = default;
    };

    using Value = std::variant<KeyTap, Text, Backspace, ReturnKey>;

    /// An action of the named case with its payload.
    static KeyAction keyTap(std::uint16_t hid, bool needsShift) {
        return KeyAction(std::in_place_type<KeyTap>, KeyTap{hid, needsShift});
    }
    static KeyAction text(std::string text) {
        return KeyAction(std::in_place_type<Text>, Text{std::move(text)});
    }
    static KeyAction backspace() { return KeyAction(std::in_place_type<Backspace>); }
    static KeyAction returnKey() { return KeyAction(std::in_place_type<ReturnKey>); }

    /// The case and its payload, for std::visit.
    const Value& value() const noexcept { return value_; }

    /// The payload when the action is of case `Case`, otherwise null.
    template <class Case>
    const Case* as() const noexcept {
        return std::get_if<Case>(&value_);
    }

    friend bool operator==(const KeyAction&, const KeyAction&) = default;

  private:
    // Built in place: moving a whole variant trips a false uninitialised-use
    // warning of GCC 12 under the sanitizers.
    template <class Case, class... Args>
    explicit KeyAction(std::in_place_type_t<Case> type, Args&&... args)
        : value_(type, std::forward<Args>(args)...) {}

    Value value_;
};

/// Turns edits of a client's hidden text field into key taps or typed text.
/// Pure functions; any thread. Characters are extended grapheme clusters.
namespace KeyDiffEngine {

/// Three U+200B ZERO WIDTH SPACE, kept in the field so that a deletion always
/// has something to delete.
inline constexpr std::string_view sentinel = "\xE2\x80\x8B\xE2\x80\x8B\xE2\x80\x8B";
inline constexpr std::uint16_t returnHID = 0x28;
inline constexpr std::uint16_t backspaceHID = 0x2A;

/// How to turn one field content into the next: send `backspaces` Backspace
/// taps first, then plan `insert`.
struct TextDiff {
    std::size_t backspaces = 0;
    std::string insert;
    friend bool operator==(const TextDiff&, const TextDiff&) = default;
};

/// The action for inserting `insertText` (UTF-8): Return for exactly "\n"; a
/// key tap when the text is one character of the US character table and no
/// composition text is pending (`hasMarkedText` false); typed text otherwise.
KeyAction plan(std::string_view insertText, wire::ModifierMask activeModifierMask,
               bool hasMarkedText);

/// The mask to send with a key tap: `activeModifierMask` with Shift added
/// when `needsShift`.
constexpr wire::ModifierMask effectiveMask(wire::ModifierMask activeModifierMask,
                                           bool needsShift) noexcept {
    return needsShift ? activeModifierMask | wire::ModifierMask::shift : activeModifierMask;
}

/// The edit from `oldText` to `newText` (UTF-8): backspaces for the characters
/// of `oldText` after the common prefix of characters, then the rest of
/// `newText`. Text that is not UTF-8 is compared byte by byte.
TextDiff diff(std::string_view oldText, std::string_view newText);

}  // namespace KeyDiffEngine

}  // namespace tarvel::input
