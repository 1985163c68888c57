#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include "core/input/hid_key_set.hpp"
#include "core/wire/input_packet.hpp"
#include "core/wire/sequence.hpp"

namespace tarvel::gamepad {

/// Buttons held on the virtual gamepad, as bits of an unsigned 32-bit value.
/// The directional pad is not here; it travels as a PadHat.
struct PadButtons {
    std::uint32_t rawValue = 0;

    constexpr PadButtons() noexcept = default;
    constexpr explicit PadButtons(std::uint32_t raw) noexcept : rawValue(raw) {}

    static const PadButtons a;
    static const PadButtons b;
    static const PadButtons x;
    static const PadButtons y;
    static const PadButtons leftBumper;
    static const PadButtons rightBumper;
    static const PadButtons leftStick;   // stick click
    static const PadButtons rightStick;  // stick click
    static const PadButtons start;
    static const PadButtons back;
    static const PadButtons guide;
    static const PadButtons defined;  // every button above

    /// True when every bit of `other` is set here.
    constexpr bool contains(PadButtons other) const noexcept {
        return (rawValue & other.rawValue) == other.rawValue;
    }
    constexpr bool isEmpty() const noexcept { return rawValue == 0; }
    constexpr void insert(PadButtons other) noexcept { rawValue |= other.rawValue; }
    constexpr void remove(PadButtons other) noexcept { rawValue &= ~other.rawValue; }

    friend constexpr PadButtons operator|(PadButtons l, PadButtons r) noexcept {
        return PadButtons(l.rawValue | r.rawValue);
    }
    friend constexpr PadButtons operator&(PadButtons l, PadButtons r) noexcept {
        return PadButtons(l.rawValue & r.rawValue);
    }
    friend constexpr bool operator==(PadButtons, PadButtons) = default;
};

inline constexpr PadButtons PadButtons::a{0x001};
inline constexpr PadButtons PadButtons::b{0x002};
inline constexpr PadButtons PadButtons::x{0x004};
inline constexpr PadButtons PadButtons::y{0x008};
inline constexpr PadButtons PadButtons::leftBumper{0x010};
inline constexpr PadButtons PadButtons::rightBumper{0x020};
inline constexpr PadButtons PadButtons::leftStick{0x040};
inline constexpr PadButtons PadButtons::rightStick{0x080};
inline constexpr PadButtons PadButtons::start{0x100};
inline constexpr PadButtons PadButtons::back{0x200};
inline constexpr PadButtons PadButtons::guide{0x400};
inline constexpr PadButtons PadButtons::defined{0x7FF};

/// The directional pad: neutral or one of eight directions, raw values 0 to 8.
class PadHat {
  public:
    enum Value : std::uint8_t {
        neutral = 0,
        north = 1,
        northEast = 2,
        east = 3,
        southEast = 4,
        south = 5,
        southWest = 6,
        west = 7,
        northWest = 8,
    };

    constexpr PadHat() noexcept = default;
    // Implicit, so that PadHat::north can stand wherever a hat is expected.
    constexpr PadHat(Value value) noexcept : value_(value) {}

    /// The hat for four held directions. Opposite directions cancel, so up
    /// with down counts as neither and left with right as neither.
    constexpr PadHat(bool up, bool down, bool left, bool right) noexcept {
        const int vertical = (up ? 1 : 0) - (down ? 1 : 0);
        const int horizontal = (right ? 1 : 0) - (left ? 1 : 0);
        // Indexed [vertical + 1][horizontal + 1].
        constexpr Value table[3][3] = {
            {southWest, south, southEast},
            {west, neutral, east},
            {northWest, north, northEast},
        };
        value_ = table[vertical + 1][horizontal + 1];
    }

    /// The hat with this raw value; nothing outside 0 to 8.
    static constexpr std::optional<PadHat> fromRawValue(std::uint8_t raw) noexcept {
        if (raw > northWest) {
            return std::nullopt;
        }
        return PadHat(static_cast<Value>(raw));
    }

    /// The direction, for switch statements.
    constexpr Value value() const noexcept { return value_; }
    constexpr std::uint8_t rawValue() const noexcept { return value_; }

    /// North, northEast or northWest.
    constexpr bool up() const noexcept {
        return value_ == north || value_ == northEast || value_ == northWest;
    }
    /// SouthEast, south or southWest.
    constexpr bool down() const noexcept {
        return value_ == southEast || value_ == south || value_ == southWest;
    }
    /// SouthWest, west or northWest.
    constexpr bool left() const noexcept {
        return value_ == southWest || value_ == west || value_ == northWest;
    }
    /// NorthEast, east or southEast.
    constexpr bool right() const noexcept {
        return value_ == northEast || value_ == east || value_ == southEast;
    }

    friend constexpr bool operator==(PadHat, PadHat) = default;

  private:
    Value value_ = neutral;
};

/// The whole state of the virtual gamepad. Axes run -32767 to 32767 with
/// positive x to the right and positive y up; triggers 0 to 255. The
/// all-zero value is the neutral state.
struct PadState {
    std::int16_t lx = 0;
    std::int16_t ly = 0;
    std::int16_t rx = 0;
    std::int16_t ry = 0;
    PadButtons buttons;
    PadHat hat;
    std::uint8_t lt = 0;
    std::uint8_t rt = 0;

    /// All four axes at 0.
    constexpr bool sticksNeutral() const noexcept {
        return lx == 0 && ly == 0 && rx == 0 && ry == 0;
    }
    /// No buttons, hat neutral, both triggers at 0.
    constexpr bool buttonsNeutral() const noexcept {
        return buttons.isEmpty() && hat == PadHat::neutral && lt == 0 && rt == 0;
    }
    constexpr bool isNeutral() const noexcept { return sticksNeutral() && buttonsNeutral(); }

    friend constexpr bool operator==(const PadState&, const PadState&) = default;
};

/// The monotonic clock pad timing is measured on; it stops while the machine sleeps.
using PadClock = std::chrono::steady_clock;

/// A pad state older than this, and not neutral, is stale: its sender is
/// presumed gone, so whatever it holds must be let go.
inline constexpr std::chrono::milliseconds padWatchdogTimeout{1500};

/// How often a client re-sends its current pad state, so that lost packets
/// heal and the host's watchdog never fires while the client is alive.
inline constexpr std::chrono::milliseconds padRefreshInterval{50};

/// The latest pad state of one controller and when it last arrived. A plain
/// value; the time is always passed in by the caller.
class PadStateTracker {
  public:
    PadStateTracker() noexcept = default;

    /// Takes a gamepadSticks or gamepadButtons event received at `now`:
    /// buttons outside PadButtons::defined are cleared and a hat outside 1 to
    /// 8 is neutral. Returns whether the state changed; any other event
    /// changes nothing and returns false. A repeated state refreshes the time.
    bool apply(const wire::InputEvent& event, PadClock::time_point now) noexcept;

    /// True when the state is not neutral and more than padWatchdogTimeout
    /// has passed since the last pad event. A neutral pad is never stale.
    bool isStale(PadClock::time_point now) const noexcept;

    /// Back to the neutral state, with no update time.
    void reset() noexcept;

    /// The latest state; neutral before the first pad event and after a reset.
    const PadState& state() const noexcept { return state_; }
    /// When the last pad event arrived; nothing before the first or after a reset.
    std::optional<PadClock::time_point> lastUpdate() const noexcept { return lastUpdate_; }

  private:
    PadState state_;
    std::optional<PadClock::time_point> lastUpdate_;
};

/// What one pad state asks of the host. The all-zero frame is idle.
struct PadOutputFrame {
    static constexpr std::uint8_t mouseLeft = 0x01;
    static constexpr std::uint8_t mouseRight = 0x02;
    static constexpr std::uint8_t mouseMiddle = 0x04;

    input::HIDKeySet keys;          // keys to hold
    std::uint8_t mouseButtons = 0;  // mouse buttons to hold (mouseLeft, ...)
    double pointerX = 0;            // pointer velocity, pixels per second, x right
    double pointerY = 0;            // y down
    double scrollX = 0;             // scroll velocity, pixels per second
    double scrollY = 0;

    /// No keys, no buttons and no motion.
    constexpr bool isEmpty() const noexcept {
        return keys.isEmpty() && mouseButtons == 0 && !needsTimer();
    }
    /// Some velocity is non-zero, so motion must be posted periodically.
    constexpr bool needsTimer() const noexcept {
        return pointerX != 0 || pointerY != 0 || scrollX != 0 || scrollY != 0;
    }

    friend constexpr bool operator==(const PadOutputFrame&, const PadOutputFrame&) = default;
};

/// What changes between two output frames: keys and mouse buttons to press
/// and release. Velocities are not part of it; they are read from the frame.
struct PadFrameDiff {
    input::HIDKeySet pressed;
    input::HIDKeySet released;
    std::uint8_t mouseDown = 0;
    std::uint8_t mouseUp = 0;

    /// Nothing to press or release.
    constexpr PadFrameDiff() noexcept = default;

    /// The change from `from` to `to`.
    constexpr PadFrameDiff(const PadOutputFrame& from, const PadOutputFrame& to) noexcept
        : pressed(to.keys.subtracting(from.keys)),
          released(from.keys.subtracting(to.keys)),
          mouseDown(static_cast<std::uint8_t>(to.mouseButtons & ~from.mouseButtons)),
          mouseUp(static_cast<std::uint8_t>(from.mouseButtons & ~to.mouseButtons)) {}

    constexpr bool isEmpty() const noexcept {
        return pressed.isEmpty() && released.isEmpty() && mouseDown == 0 && mouseUp == 0;
    }

    /// Calls `body` with every released usage: ordinary keys ascending, then
    /// modifiers (0xE0 to 0xE7) ascending, so W comes up before Shift.
    template <class Body>
    constexpr void forEachRelease(Body&& body) const {
        released.subtracting(modifierKeys).forEach(body);
        onlyModifiers(released).forEach(body);
    }

    /// Calls `body` with every pressed usage: modifiers ascending, then
    /// ordinary keys ascending, so Shift goes down before W.
    template <class Body>
    constexpr void forEachPress(Body&& body) const {
        onlyModifiers(pressed).forEach(body);
        pressed.subtracting(modifierKeys).forEach(body);
    }

    friend constexpr bool operator==(const PadFrameDiff&, const PadFrameDiff&) = default;

  private:
    static constexpr input::HIDKeySet modifierKeys{0xE0, 0xE1, 0xE2, 0xE3, 0xE4, 0xE5, 0xE6, 0xE7};
    static constexpr input::HIDKeySet onlyModifiers(const input::HIDKeySet& keys) noexcept {
        return keys.subtracting(keys.subtracting(modifierKeys));
    }
};

/// Drops pad packets that arrive after a newer one of the same kind. Sticks
/// and buttons are sent independently, so each has its own gate. One per
/// control session; a plain value.
struct PadSequenceGates {
    wire::MoveSequenceGate sticks;
    wire::MoveSequenceGate buttons;

    /// False for a stick or button event whose `seq` is not above the last
    /// one accepted of its kind; true (and remembered) otherwise. Every other
    /// event is accepted without touching the gates.
    bool accept(std::uint64_t seq, const wire::InputEvent& event) noexcept;
};

}  // namespace tarvel::gamepad
