#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <type_traits>
#include <variant>

#include <tl/expected.hpp>

#include "core/wire/bytes.hpp"
#include "core/wire/wire_error.hpp"

namespace tarvel::wire {

/// Input event opcodes (header byte 1). Every other value is undefined.
namespace Opcode {
inline constexpr std::uint8_t mouseMove = 1;
inline constexpr std::uint8_t mouseButton = 2;
inline constexpr std::uint8_t scroll = 3;
inline constexpr std::uint8_t keyEvent = 4;
inline constexpr std::uint8_t pinchZoom = 6;
inline constexpr std::uint8_t threeFingerSwipe = 7;
inline constexpr std::uint8_t shortcutAction = 8;
inline constexpr std::uint8_t modifierState = 9;
inline constexpr std::uint8_t mediaKey = 10;
inline constexpr std::uint8_t gamepadSticks = 11;
inline constexpr std::uint8_t gamepadButtons = 12;
inline constexpr std::uint8_t resetState = 15;
inline constexpr std::uint8_t ack = 254;  // acknowledgement datagrams only, never an event
}  // namespace Opcode

enum class KeyState : std::uint8_t { up = 0, down = 1, repeat = 2 };

enum class GesturePhase : std::uint8_t {
    none = 0,
    began = 1,
    changed = 2,
    ended = 3,
    momentum = 4,
    cancelled = 5,
};

/// Modifier keys held, as the client saw them. Bits other than the four named
/// ones are carried through unchanged; they mean nothing to the host.
struct ModifierMask {
    std::uint8_t rawValue = 0;

    constexpr ModifierMask() noexcept = default;
    constexpr explicit ModifierMask(std::uint8_t raw) noexcept : rawValue(raw) {}

    static const ModifierMask shift;
    static const ModifierMask control;
    static const ModifierMask option;
    static const ModifierMask command;

    /// True when every bit of `other` is set here.
    constexpr bool contains(ModifierMask other) const noexcept {
        return (rawValue & other.rawValue) == other.rawValue;
    }
    constexpr bool isEmpty() const noexcept { return rawValue == 0; }
    constexpr void insert(ModifierMask other) noexcept { rawValue |= other.rawValue; }
    constexpr void remove(ModifierMask other) noexcept {
        rawValue = static_cast<std::uint8_t>(rawValue & ~other.rawValue);
    }

    friend constexpr ModifierMask operator|(ModifierMask a, ModifierMask b) noexcept {
        return ModifierMask(static_cast<std::uint8_t>(a.rawValue | b.rawValue));
    }
    friend constexpr ModifierMask operator&(ModifierMask a, ModifierMask b) noexcept {
        return ModifierMask(static_cast<std::uint8_t>(a.rawValue & b.rawValue));
    }
    friend constexpr bool operator==(ModifierMask, ModifierMask) = default;
};

inline constexpr ModifierMask ModifierMask::shift{1};
inline constexpr ModifierMask ModifierMask::control{2};
inline constexpr ModifierMask ModifierMask::option{4};
inline constexpr ModifierMask ModifierMask::command{8};

namespace detail {
template <class T, class Variant>
inline constexpr bool isAlternative = false;
template <class T, class... Cases>
inline constexpr bool isAlternative<T, std::variant<Cases...>> = (std::is_same_v<T, Cases> || ...);
}  // namespace detail

template <class T, class Variant>
concept AlternativeOf = detail::isAlternative<T, Variant>;

/// One input event. Each case is a small struct carrying its wire opcode;
/// the event holds exactly one of them.
class InputEvent {
public:
    static constexpr std::size_t payloadLength = 8;
    using Payload = std::array<std::uint8_t, payloadLength>;

    struct MouseMove {
        static constexpr std::uint8_t opcode = Opcode::mouseMove;
        float dx = 0;  // pointer delta
        float dy = 0;
        friend bool operator==(const MouseMove&, const MouseMove&) = default;
    };
    struct MouseButton {
        static constexpr std::uint8_t opcode = Opcode::mouseButton;
        std::uint8_t button = 0;
        bool down = false;
        std::uint8_t clickCount = 0;
        friend bool operator==(const MouseButton&, const MouseButton&) = default;
    };
    struct Scroll {
        static constexpr std::uint8_t opcode = Opcode::scroll;
        float sx = 0;
        float sy = 0;
        friend bool operator==(const Scroll&, const Scroll&) = default;
    };
    struct Key {
        static constexpr std::uint8_t opcode = Opcode::keyEvent;
        std::uint16_t hid = 0;  // USB HID keyboard usage
        KeyState state = KeyState::up;
        bool isRaw = false;
        friend bool operator==(const Key&, const Key&) = default;
    };
    struct PinchZoom {
        static constexpr std::uint8_t opcode = Opcode::pinchZoom;
        float scaleDelta = 0;
        float velocity = 0;
        friend bool operator==(const PinchZoom&, const PinchZoom&) = default;
    };
    struct ThreeFingerSwipe {
        static constexpr std::uint8_t opcode = Opcode::threeFingerSwipe;
        std::uint8_t direction = 0;
        friend bool operator==(const ThreeFingerSwipe&, const ThreeFingerSwipe&) = default;
    };
    struct Shortcut {
        static constexpr std::uint8_t opcode = Opcode::shortcutAction;
        std::uint8_t actionId = 0;
        friend bool operator==(const Shortcut&, const Shortcut&) = default;
    };
    struct ModifierState {
        static constexpr std::uint8_t opcode = Opcode::modifierState;
        ModifierMask mask;
        friend bool operator==(const ModifierState&, const ModifierState&) = default;
    };
    struct Media {
        static constexpr std::uint8_t opcode = Opcode::mediaKey;
        std::uint8_t mediaId = 0;
        friend bool operator==(const Media&, const Media&) = default;
    };
    struct GamepadSticks {
        static constexpr std::uint8_t opcode = Opcode::gamepadSticks;
        std::int16_t lx = 0;
        std::int16_t ly = 0;
        std::int16_t rx = 0;
        std::int16_t ry = 0;
        friend bool operator==(const GamepadSticks&, const GamepadSticks&) = default;
    };
    struct GamepadButtons {
        static constexpr std::uint8_t opcode = Opcode::gamepadButtons;
        std::uint32_t buttons = 0;
        std::uint8_t hat = 0;
        std::uint8_t lt = 0;
        std::uint8_t rt = 0;
        friend bool operator==(const GamepadButtons&, const GamepadButtons&) = default;
    };
    struct ResetState {
        static constexpr std::uint8_t opcode = Opcode::resetState;
        friend bool operator==(const ResetState&, const ResetState&) = default;
    };

    using Value =
        std::variant<MouseMove, MouseButton, Scroll, Key, PinchZoom, ThreeFingerSwipe, Shortcut,
                     ModifierState, Media, GamepadSticks, GamepadButtons, ResetState>;

    /// An event of any case, e.g. `InputEvent(InputEvent::Key{4, KeyState::down, false})`.
    template <class Case>
    requires AlternativeOf<Case, Value>
    constexpr InputEvent(Case value) noexcept : value_(value) {}

    /// The case and its payload, for std::visit.
    const Value& value() const noexcept { return value_; }

    /// The payload when the event is of case `Case`, otherwise null.
    template <class Case>
    const Case* as() const noexcept {
        return std::get_if<Case>(&value_);
    }

    /// The wire opcode of this event's case.
    std::uint8_t opcode() const noexcept;

    /// The 8 payload bytes: fields little-endian, floats as IEEE 754 single
    /// precision, Booleans as 1 or 0, unused bytes 0.
    Payload encodePayload() const noexcept;

    /// The event for `opcode` and its payload. Booleans read any non-zero byte
    /// as true and unused bytes are ignored. Fails with unknownOpcode for an
    /// undefined opcode (ack included) and malformed for a key state above 2.
    static tl::expected<InputEvent, WireError> decode(
        std::uint8_t opcode, std::span<const std::uint8_t, payloadLength> payload) noexcept;

    /// Whether a packet of this event asks for an acknowledgement unless the
    /// sender says otherwise: never for the superseding streams (pointer
    /// moves, scrolls, stick frames), for a pinch only when it ends, always
    /// for the rest.
    bool defaultAckRequired(GesturePhase phase) const noexcept;

    /// Same case and equal fields (floats compare as numbers, so NaN != NaN).
    friend bool operator==(const InputEvent&, const InputEvent&) = default;

private:
    Value value_;
};

/// One input event with its sequence number, as carried by a 36-byte datagram
/// or, in the clear, by a 20-byte `reliableInput` body.
struct InputPacket {
    static constexpr std::uint8_t version = 1;
    static constexpr std::size_t headerLength = 12;
    static constexpr std::size_t plainLength = 20;
    static constexpr std::size_t datagramLength = 36;
    /// Flags at or above this would put a phase past `cancelled` in the high nibble.
    static constexpr std::uint8_t firstInvalidFlags = 0x60;

    using Header = std::array<std::uint8_t, headerLength>;
    using Plain = std::array<std::uint8_t, plainLength>;

    ModifierMask modifierMask;
    GesturePhase phase = GesturePhase::none;
    bool ackRequired = false;
    std::uint64_t seq = 0;  // unique per session key; never 0 on the wire
    InputEvent event;

    /// A packet; without `ackRequired` the event's default for `phase` applies.
    InputPacket(std::uint64_t seq, InputEvent event, ModifierMask modifierMask = {},
                GesturePhase phase = GesturePhase::none,
                std::optional<bool> ackRequired = std::nullopt) noexcept;

    /// Phase in bits 4-7, ackRequired in bit 0, bits 1-3 zero.
    std::uint8_t flags() const noexcept;

    /// version, opcode, modifier mask, flags, seq (8 bytes little-endian).
    Header headerBytes() const noexcept;

    /// The header followed by the event payload.
    Plain plain20() const noexcept;

    /// Parses a clear packet. Checks, first failure wins: length exactly 20
    /// (truncated), version 1 (badVersion), flags below 0x60 (malformed), then
    /// the event as InputEvent::decode. Flag bits 1-3 are ignored.
    static tl::expected<InputPacket, WireError> fromPlain20(ByteView bytes) noexcept;

    friend bool operator==(const InputPacket&, const InputPacket&) = default;
};

}  // namespace tarvel::wire
