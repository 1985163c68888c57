#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "core/gamepad/pad_key_names.hpp"

namespace tarvel::gamepad {

/// A control of the virtual gamepad that can be bound to an action.
enum class PadControl : std::uint8_t {
    a,
    b,
    x,
    y,
    lb,
    rb,
    lt,
    rt,
    back,
    start,
    l3,
    r3,
    dpadUp,
    dpadDown,
    dpadLeft,
    dpadRight,
};

/// Every control, in the order files, editors and compiled mappings use.
inline constexpr std::array<PadControl, 16> allPadControls{
    PadControl::a,      PadControl::b,        PadControl::x,        PadControl::y,
    PadControl::lb,     PadControl::rb,       PadControl::lt,       PadControl::rt,
    PadControl::back,   PadControl::start,    PadControl::l3,       PadControl::r3,
    PadControl::dpadUp, PadControl::dpadDown, PadControl::dpadLeft, PadControl::dpadRight,
};

/// The control's JSON name ("a", "lb", "dpadUp", ...).
std::string_view rawValue(PadControl control) noexcept;
/// The control with exactly this JSON name, or nothing.
std::optional<PadControl> padControl(std::string_view raw) noexcept;
/// The control's label ("Left bumper (LB)", ...).
std::string_view displayName(PadControl control) noexcept;
/// Short text for the control's badge ("A", "LB", "↑", ...).
std::string_view badge(PadControl control) noexcept;

/// A mouse button a control can hold.
enum class PadMouseButton : std::uint8_t { left, right, middle };

inline constexpr std::array<PadMouseButton, 3> allPadMouseButtons{
    PadMouseButton::left, PadMouseButton::right, PadMouseButton::middle};

std::string_view rawValue(PadMouseButton button) noexcept;
std::optional<PadMouseButton> padMouseButton(std::string_view raw) noexcept;
/// The output frame's bit for the button: left 0x01, right 0x02, middle 0x04.
std::uint8_t bit(PadMouseButton button) noexcept;

/// A direction of pointer motion or scrolling.
enum class PadDirection : std::uint8_t { up, down, left, right };

inline constexpr std::array<PadDirection, 4> allPadDirections{
    PadDirection::up, PadDirection::down, PadDirection::left, PadDirection::right};

std::string_view rawValue(PadDirection direction) noexcept;
std::optional<PadDirection> padDirection(std::string_view raw) noexcept;

/// What one control does while it is pressed.
class PadBinding {
  public:
    enum class Kind : std::uint8_t { key, mouse, move, scroll, none };

    struct Key {
        PadKeyCombo combo;
        friend bool operator==(const Key&, const Key&) = default;
    };
    struct MouseButton {
        PadMouseButton button = PadMouseButton::left;
        friend bool operator==(const MouseButton&, const MouseButton&) = default;
    };
    struct MouseMove {
        PadDirection direction = PadDirection::up;
        double speed = 1;  // factor on the button pointer speed
        friend bool operator==(const MouseMove&, const MouseMove&) = default;
    };
    struct Scroll {
        PadDirection direction = PadDirection::up;
        double speed = 1;  // factor on the button scroll speed
        friend bool operator==(const Scroll&, const Scroll&) = default;
    };
    struct None {
        friend bool operator==(const None&, const None&) = default;
    };
    using Value = std::variant<None, Key, MouseButton, MouseMove, Scroll>;

    /// Nothing.
    PadBinding() noexcept = default;

    /// The bindings of each case. Speeds are kept as given; normalisation limits them.
    static PadBinding key(PadKeyCombo combo) { return PadBinding(Key{std::move(combo)}); }
    static PadBinding key(std::string name, PadModifiers mods = {}) {
        return key(PadKeyCombo{std::move(name), mods});
    }
    static PadBinding mouseButton(PadMouseButton button) noexcept {
        return PadBinding(MouseButton{button});
    }
    static PadBinding mouseMove(PadDirection direction, double speed) noexcept {
        return PadBinding(MouseMove{direction, speed});
    }
    static PadBinding scroll(PadDirection direction, double speed) noexcept {
        return PadBinding(Scroll{direction, speed});
    }
    static PadBinding none() noexcept { return {}; }

    /// Which case this is, as the editor's picker and the file name it.
    Kind kind() const noexcept;
    /// The case and its payload, for std::visit or in-place edits.
    const Value& value() const noexcept { return value_; }
    Value& value() noexcept { return value_; }

    /// The payload when the binding is of case `Case`, otherwise null.
    template <class Case>
    const Case* as() const noexcept {
        return std::get_if<Case>(&value_);
    }

    friend bool operator==(const PadBinding&, const PadBinding&) = default;

  private:
    explicit PadBinding(Value value) noexcept : value_(std::move(value)) {}

    Value value_;
};

inline constexpr std::array<PadBinding::Kind, 5> allPadBindingKinds{
    PadBinding::Kind::key, PadBinding::Kind::mouse, PadBinding::Kind::move,
    PadBinding::Kind::scroll, PadBinding::Kind::none};

/// "key", "mouse", "move", "scroll", "none".
std::string_view rawValue(PadBinding::Kind kind) noexcept;
/// "Key", "Mouse button", "Move pointer", "Scroll", "Nothing".
std::string_view displayName(PadBinding::Kind kind) noexcept;

/// What a stick acts as.
enum class StickMode : std::uint8_t { keys, mouse, scroll, off };

inline constexpr std::array<StickMode, 4> allStickModes{StickMode::keys, StickMode::mouse,
                                                        StickMode::scroll, StickMode::off};

/// "keys", "mouse", "scroll", "off".
std::string_view rawValue(StickMode mode) noexcept;
std::optional<StickMode> stickMode(std::string_view raw) noexcept;
/// "Keys", "Mouse", "Scroll", "Off".
std::string_view displayName(StickMode mode) noexcept;

/// A closed range of a tuning value.
struct TuningRange {
    double lower;
    double upper;
};

/// What one stick does. The four key names matter in keys mode only.
struct StickBinding {
    StickMode mode = StickMode::off;
    std::string up;  // canonical key names, empty for none
    std::string down;
    std::string left;
    std::string right;
    double deadzone = 0.3;     // fraction of full deflection
    double sensitivity = 1.0;  // multiplier
    bool invertY = false;

    static constexpr TuningRange deadzoneRange{0.0, 0.9};
    static constexpr TuningRange sensitivityRange{0.1, 5.0};

    /// A stick with every field given; key names go through
    /// PadKeyNames::canonical and an unknown one becomes empty.
    static StickBinding make(StickMode mode, std::string_view up, std::string_view down,
                             std::string_view left, std::string_view right, double deadzone,
                             double sensitivity, bool invertY);
    /// Four keys; sensitivity 1, not inverted.
    static StickBinding keys(std::string_view up, std::string_view down, std::string_view left,
                             std::string_view right, double deadzone);
    /// Pointer motion; no key names.
    static StickBinding mouse(double sensitivity, double deadzone, bool invertY = false);
    /// Scrolling; no key names.
    static StickBinding scroll(double sensitivity, double deadzone, bool invertY = false);
    /// Does nothing: deadzone 0.3, sensitivity 1, no key names.
    static StickBinding off() { return {}; }

    friend bool operator==(const StickBinding&, const StickBinding&) = default;
};

/// The user's gamepad mapping: a binding per control and the two sticks.
struct GamepadMapping {
    static constexpr std::int64_t currentVersion = 1;

    std::int64_t version = currentVersion;
    std::map<PadControl, PadBinding> bindings;
    StickBinding leftStick;
    StickBinding rightStick;

    /// A cleaned copy: every control bound (missing ones to nothing); button
    /// speeds finite and within 0.1 to 5 (else 1); stick dead zones within
    /// 0 to 0.9 (not finite: 0.2); sensitivities within 0.1 to 5 (not
    /// finite: 1). The version and key names are kept as they are.
    GamepadMapping normalized() const;

    /// The shooter preset's mapping.
    static GamepadMapping defaults();

    /// The binding of `control`, nothing when it has none.
    PadBinding binding(PadControl control) const;

    friend bool operator==(const GamepadMapping&, const GamepadMapping&) = default;
};

/// A ready-made mapping offered in the menu.
enum class GamepadPreset : std::uint8_t { shooter, emulator, mouse, racing };

inline constexpr std::array<GamepadPreset, 4> allGamepadPresets{
    GamepadPreset::shooter, GamepadPreset::emulator, GamepadPreset::mouse, GamepadPreset::racing};

inline constexpr GamepadPreset defaultGamepadPreset = GamepadPreset::shooter;

std::string_view rawValue(GamepadPreset preset) noexcept;
std::optional<GamepadPreset> gamepadPreset(std::string_view raw) noexcept;
/// The menu label ("Shooter (WASD + mouse look)", ...).
std::string_view displayName(GamepadPreset preset) noexcept;
/// The preset's mapping, already normalised.
GamepadMapping presetMapping(GamepadPreset preset);
/// The first preset, in menu order, equal to the normalised `mapping`; nothing if none is.
std::optional<GamepadPreset> matchingPreset(const GamepadMapping& mapping);

}  // namespace tarvel::gamepad
