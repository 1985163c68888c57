#include "core/gamepad/gamepad_mapping.hpp"

#include <algorithm>
#include <cmath>

namespace tarvel::gamepad {

namespace {

struct ControlNames {
    std::string_view raw;
    std::string_view display;
    std::string_view badge;
};

// Indexed by PadControl.
constexpr std::array<ControlNames, 16> controlNames{{
    {"a", "A", "A"},
    {"b", "B", "B"},
    {"x", "X", "X"},
    {"y", "Y", "Y"},
    {"lb", "Left bumper (LB)", "LB"},
    {"rb", "Right bumper (RB)", "RB"},
    {"lt", "Left trigger (LT)", "LT"},
    {"rt", "Right trigger (RT)", "RT"},
    {"back", "Select / Back", "BACK"},
    {"start", "Start / Menu", "START"},
    {"l3", "Left stick click (L3)", "L3"},
    {"r3", "Right stick click (R3)", "R3"},
    {"dpadUp", "D-pad up", "↑"},
    {"dpadDown", "D-pad down", "↓"},
    {"dpadLeft", "D-pad left", "←"},
    {"dpadRight", "D-pad right", "→"},
}};

template <class Enum, std::size_t N>
std::optional<Enum> fromRaw(const std::array<Enum, N>& cases, std::string_view raw) noexcept {
    for (Enum value : cases) {
        if (rawValue(value) == raw) {
            return value;
        }
    }
    return std::nullopt;
}

constexpr double defaultSpeed = 1.0;
constexpr TuningRange speedRange{0.1, 5.0};
constexpr double defaultDeadzone = 0.2;
constexpr double defaultSensitivity = 1.0;

double limited(double value, TuningRange range, double fallback) noexcept {
    if (!std::isfinite(value)) {
        return fallback;
    }
    // Also turns -0.0 into the lower bound 0.0, so it is written as 0.
    return value <= range.lower ? range.lower : std::min(value, range.upper);
}

StickBinding normalizedStick(StickBinding stick) {
    stick.deadzone = limited(stick.deadzone, StickBinding::deadzoneRange, defaultDeadzone);
    stick.sensitivity =
        limited(stick.sensitivity, StickBinding::sensitivityRange, defaultSensitivity);
    return stick;
}

std::string canonicalOrEmpty(std::string_view spelling) {
    return std::string(PadKeyNames::canonical(spelling).value_or(std::string_view{}));
}

PadBinding key(std::string_view name, PadModifiers mods = {}) {
    return PadBinding::key(std::string(name), mods);
}

GamepadMapping buildPreset(GamepadPreset preset) {
    using B = PadBinding;
    using C = PadControl;
    GamepadMapping m;
    m.bindings[C::dpadUp] = key("up");
    m.bindings[C::dpadDown] = key("down");
    m.bindings[C::dpadLeft] = key("left");
    m.bindings[C::dpadRight] = key("right");
    const auto bind = [&m](std::array<PadBinding, 12> firstTwelve) {
        for (std::size_t i = 0; i < firstTwelve.size(); ++i) {
            m.bindings[allPadControls[i]] = std::move(firstTwelve[i]);
        }
    };
    const PadModifiers cmd = PadModifiers::cmd;
    // Rows: a, b, x, y, lb, rb, lt, rt, back, start, l3, r3.
    switch (preset) {
        case GamepadPreset::shooter:
            bind({key("space"), key("c"), key("r"), key("q"), key("g"), key("e"),
                  B::mouseButton(PadMouseButton::right), B::mouseButton(PadMouseButton::left),
                  key("tab"), key("esc"), key("lshift"), key("v")});
            m.leftStick = StickBinding::keys("w", "s", "a", "d", 0.3);
            m.rightStick = StickBinding::mouse(1.0, 0.05);
            break;
        case GamepadPreset::emulator:
            bind({key("x"), key("z"), key("s"), key("a"), key("q"), key("w"), key("e"), key("r"),
                  key("space"), key("enter"), key("c"), key("v")});
            m.leftStick = StickBinding::keys("up", "down", "left", "right", 0.4);
            m.rightStick = StickBinding::off();
            break;
        case GamepadPreset::mouse:
            bind({B::mouseButton(PadMouseButton::left), B::mouseButton(PadMouseButton::right),
                  B::mouseButton(PadMouseButton::middle), key("enter"), key("lbracket", cmd),
                  key("rbracket", cmd), key("minus", cmd), key("equal", cmd), key("tab"),
                  key("esc"), B::none(), B::none()});
            m.leftStick = StickBinding::mouse(0.8, 0.05);
            m.rightStick = StickBinding::scroll(1.0, 0.1);
            break;
        case GamepadPreset::racing:
            bind({key("space"), key("lshift"), key("r"), key("c"), key("q"), key("e"), key("s"),
                  key("w"), key("tab"), key("esc"), B::none(), key("b")});
            m.leftStick = StickBinding::keys("", "", "a", "d", 0.25);
            m.rightStick = StickBinding::mouse(1.0, 0.05);
            break;
    }
    return m.normalized();
}

}  // namespace

std::string_view rawValue(PadControl control) noexcept {
    return controlNames[static_cast<std::size_t>(control)].raw;
}

std::optional<PadControl> padControl(std::string_view raw) noexcept {
    return fromRaw(allPadControls, raw);
}

std::string_view displayName(PadControl control) noexcept {
    return controlNames[static_cast<std::size_t>(control)].display;
}

std::string_view badge(PadControl control) noexcept {
    return controlNames[static_cast<std::size_t>(control)].badge;
}

std::string_view rawValue(PadMouseButton button) noexcept {
    switch (button) {
        case PadMouseButton::left:
            return "left";
        case PadMouseButton::right:
            return "right";
        case PadMouseButton::middle:
            return "middle";
    }
    return "left";
}

std::optional<PadMouseButton> padMouseButton(std::string_view raw) noexcept {
    return fromRaw(allPadMouseButtons, raw);
}

std::uint8_t bit(PadMouseButton button) noexcept {
    switch (button) {
        case PadMouseButton::left:
            return 0x01;
        case PadMouseButton::right:
            return 0x02;
        case PadMouseButton::middle:
            return 0x04;
    }
    return 0;
}

std::string_view rawValue(PadDirection direction) noexcept {
    switch (direction) {
        case PadDirection::up:
            return "up";
        case PadDirection::down:
            return "down";
        case PadDirection::left:
            return "left";
        case PadDirection::right:
            return "right";
    }
    return "up";
}

std::optional<PadDirection> padDirection(std::string_view raw) noexcept {
    return fromRaw(allPadDirections, raw);
}

PadBinding::Kind PadBinding::kind() const noexcept {
    // The variant's alternatives are listed in this order.
    constexpr std::array<Kind, 5> byIndex{Kind::none, Kind::key, Kind::mouse, Kind::move,
                                          Kind::scroll};
    return byIndex[value_.index()];
}

std::string_view rawValue(PadBinding::Kind kind) noexcept {
    switch (kind) {
        case PadBinding::Kind::key:
            return "key";
        case PadBinding::Kind::mouse:
            return "mouse";
        case PadBinding::Kind::move:
            return "move";
        case PadBinding::Kind::scroll:
            return "scroll";
        case PadBinding::Kind::none:
            return "none";
    }
    return "none";
}

std::string_view displayName(PadBinding::Kind kind) noexcept {
    switch (kind) {
        case PadBinding::Kind::key:
            return "Key";
        case PadBinding::Kind::mouse:
            return "Mouse button";
        case PadBinding::Kind::move:
            return "Move pointer";
        case PadBinding::Kind::scroll:
            return "Scroll";
        case PadBinding::Kind::none:
            return "Nothing";
    }
    return "Nothing";
}

std::string_view rawValue(StickMode mode) noexcept {
    switch (mode) {
        case StickMode::keys:
            return "keys";
        case StickMode::mouse:
            return "mouse";
        case StickMode::scroll:
            return "scroll";
        case StickMode::off:
            return "off";
    }
    return "off";
}

std::optional<StickMode> stickMode(std::string_view raw) noexcept {
    return fromRaw(allStickModes, raw);
}

std::string_view displayName(StickMode mode) noexcept {
    switch (mode) {
        case StickMode::keys:
            return "Keys";
        case StickMode::mouse:
            return "Mouse";
        case StickMode::scroll:
            return "Scroll";
        case StickMode::off:
            return "Off";
    }
    return "Off";
}

StickBinding StickBinding::make(StickMode mode, std::string_view up, std::string_view down,
                                std::string_view left, std::string_view right, double deadzone,
                                double sensitivity, bool invertY) {
    return StickBinding{mode,
                        canonicalOrEmpty(up),
                        canonicalOrEmpty(down),
                        canonicalOrEmpty(left),
                        canonicalOrEmpty(right),
                        deadzone,
                        sensitivity,
                        invertY};
}

StickBinding StickBinding::keys(std::string_view up, std::string_view down, std::string_view left,
                                std::string_view right, double deadzone) {
    return make(StickMode::keys, up, down, left, right, deadzone, 1.0, false);
}

StickBinding StickBinding::mouse(double sensitivity, double deadzone, bool invertY) {
    return make(StickMode::mouse, "", "", "", "", deadzone, sensitivity, invertY);
}

StickBinding StickBinding::scroll(double sensitivity, double deadzone, bool invertY) {
    return make(StickMode::scroll, "", "", "", "", deadzone, sensitivity, invertY);
}

GamepadMapping GamepadMapping::normalized() const {
    GamepadMapping out = *this;
    for (PadControl control : allPadControls) {
        out.bindings.try_emplace(control);
    }
    for (auto& [control, binding] : out.bindings) {
        if (auto* move = std::get_if<PadBinding::MouseMove>(&binding.value())) {
            move->speed = limited(move->speed, speedRange, defaultSpeed);
        } else if (auto* scroll = std::get_if<PadBinding::Scroll>(&binding.value())) {
            scroll->speed = limited(scroll->speed, speedRange, defaultSpeed);
        }
    }
    out.leftStick = normalizedStick(out.leftStick);
    out.rightStick = normalizedStick(out.rightStick);
    return out;
}

GamepadMapping GamepadMapping::defaults() {
    return presetMapping(GamepadPreset::shooter);
}

PadBinding GamepadMapping::binding(PadControl control) const {
    auto it = bindings.find(control);
    return it == bindings.end() ? PadBinding::none() : it->second;
}

std::string_view rawValue(GamepadPreset preset) noexcept {
    switch (preset) {
        case GamepadPreset::shooter:
            return "shooter";
        case GamepadPreset::emulator:
            return "emulator";
        case GamepadPreset::mouse:
            return "mouse";
        case GamepadPreset::racing:
            return "racing";
    }
    return "shooter";
}

std::optional<GamepadPreset> gamepadPreset(std::string_view raw) noexcept {
    return fromRaw(allGamepadPresets, raw);
}

std::string_view displayName(GamepadPreset preset) noexcept {
    switch (preset) {
        case GamepadPreset::shooter:
            return "Shooter (WASD + mouse look)";
        case GamepadPreset::emulator:
            return "Arrow keys / emulator";
        case GamepadPreset::mouse:
            return "Mouse only (desktop)";
        case GamepadPreset::racing:
            return "Racing (triggers = W / S)";
    }
    return "";
}

GamepadMapping presetMapping(GamepadPreset preset) {
    // Built once: presets are compared against on every menu refresh.
    static const std::array<GamepadMapping, 4> presets{
        buildPreset(GamepadPreset::shooter), buildPreset(GamepadPreset::emulator),
        buildPreset(GamepadPreset::mouse), buildPreset(GamepadPreset::racing)};
    return presets[static_cast<std::size_t>(preset)];
}

std::optional<GamepadPreset> matchingPreset(const GamepadMapping& mapping) {
    const GamepadMapping normalized = mapping.normalized();
    for (GamepadPreset preset : allGamepadPresets) {
        if (presetMapping(preset) == normalized) {
            return preset;
        }
    }
    return std::nullopt;
}

}  // namespace tarvel::gamepad
