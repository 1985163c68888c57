#include "host/mapping/pad_output_preset.hpp"

#include <utility>

namespace tarvel::mapping {

namespace {

using gamepad::GamepadMapping;
using gamepad::PadBinding;
using gamepad::PadControl;
using gamepad::PadMouseButton;
using gamepad::StickBinding;

// The old schemes held their stick keys slightly further out than the presets.
constexpr double legacyStickDeadzone = 0.4;

StickBinding stickKeys(std::string_view up, std::string_view down, std::string_view left,
                       std::string_view right) {
    return StickBinding::keys(up, down, left, right, legacyStickDeadzone);
}

// Key names in allPadControls order: a, b, x, y, lb, rb, lt, rt, back,
// start, l3, r3, then the d-pad up, down, left, right. Empty: not a key.
using SchemeKeys = std::array<std::string_view, gamepad::allPadControls.size()>;

// clang-format off
constexpr SchemeKeys arrowsKeys{
    "enter",  "esc",   "space", "tab",
    "z",      "x",     "lshift", "lctrl",
    "backspace", "p",  "e",     "q",
    "up",     "down",  "left",  "right"};
// The d-pad's numbers run clockwise from the top: 1 up, 2 right, 3 down, 4 left.
constexpr SchemeKeys dualKeysKeys{
    "space",  "e",     "q",     "r",
    "lshift", "lctrl", "z",     "x",
    "esc",    "enter", "c",     "v",
    "1",      "3",     "4",     "2"};
// lt and rt hold mouse buttons in this scheme.
constexpr SchemeKeys wasdMouseKeys{
    "space",  "lctrl", "e",     "f",
    "q",      "r",     "",      "",
    "tab",    "esc",   "lshift", "v",
    "1",      "3",     "4",     "2"};
// clang-format on

const SchemeKeys& schemeKeys(PadOutputPreset preset) {
    switch (preset) {
        case PadOutputPreset::arrows:
            return arrowsKeys;
        case PadOutputPreset::dualKeys:
            return dualKeysKeys;
        case PadOutputPreset::wasdMouse:
            break;
    }
    return wasdMouseKeys;
}

}  // namespace

std::string_view rawValue(PadOutputPreset preset) noexcept {
    switch (preset) {
        case PadOutputPreset::wasdMouse:
            return "wasdMouse";
        case PadOutputPreset::arrows:
            return "arrows";
        case PadOutputPreset::dualKeys:
            return "dualKeys";
    }
    return "wasdMouse";
}

std::optional<PadOutputPreset> padOutputPreset(std::string_view raw) noexcept {
    for (PadOutputPreset preset : allPadOutputPresets) {
        if (rawValue(preset) == raw) {
            return preset;
        }
    }
    return std::nullopt;
}

GamepadMapping legacyMapping(PadOutputPreset preset) {
    GamepadMapping mapping;
    mapping.version = 1;
    const SchemeKeys& keys = schemeKeys(preset);
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (!keys[i].empty()) {
            mapping.bindings[gamepad::allPadControls[i]] = PadBinding::key(std::string(keys[i]));
        }
    }
    switch (preset) {
        case PadOutputPreset::arrows:
            mapping.leftStick = stickKeys("up", "down", "left", "right");
            mapping.rightStick = stickKeys("w", "s", "a", "d");
            break;
        case PadOutputPreset::dualKeys:
            mapping.leftStick = stickKeys("w", "s", "a", "d");
            mapping.rightStick = stickKeys("up", "down", "left", "right");
            break;
        case PadOutputPreset::wasdMouse:
            mapping.bindings[PadControl::lt] = PadBinding::mouseButton(PadMouseButton::right);
            mapping.bindings[PadControl::rt] = PadBinding::mouseButton(PadMouseButton::left);
            mapping.leftStick = stickKeys("w", "s", "a", "d");
            mapping.rightStick = StickBinding::mouse(1.0, 0.0);
            break;
    }
    return mapping.normalized();
}

}  // namespace tarvel::mapping
