#include "host/mapping/pad_output_preset.hpp"

#include <gtest/gtest.h>

#include "core/gamepad/pad_key_names.hpp"
#include "tests/core/gamepad/gamepad_printers.hpp"

namespace tarvel::mapping {
namespace {

using gamepad::GamepadMapping;
using gamepad::GamepadPreset;
using gamepad::PadBinding;
using gamepad::PadMouseButton;
using gamepad::StickBinding;
using gamepad::StickMode;
using C = gamepad::PadControl;

PadBinding key(const char* name) {
    return PadBinding::key(name);
}

TEST(PadOutputPreset, rawValuesRoundTripAndAreCaseSensitive) {
    for (PadOutputPreset preset : allPadOutputPresets) {
        EXPECT_EQ(padOutputPreset(rawValue(preset)), preset);
    }
    EXPECT_EQ(rawValue(PadOutputPreset::wasdMouse), "wasdMouse");
    EXPECT_EQ(rawValue(PadOutputPreset::dualKeys), "dualKeys");
    EXPECT_EQ(padOutputPreset("WASDMouse"), std::nullopt);
    EXPECT_EQ(padOutputPreset("arrows "), std::nullopt);
    EXPECT_EQ(padOutputPreset(""), std::nullopt);
}

TEST(LegacyMapping, everySchemeIsCompleteNormalisedAndWithoutModifiers) {
    for (PadOutputPreset preset : allPadOutputPresets) {
        const GamepadMapping m = legacyMapping(preset);
        SCOPED_TRACE(std::string(rawValue(preset)));
        EXPECT_EQ(m.version, 1);
        EXPECT_EQ(m, m.normalized());
        ASSERT_EQ(m.bindings.size(), gamepad::allPadControls.size());
        for (const auto& [control, binding] : m.bindings) {
            ASSERT_NE(binding.kind(), PadBinding::Kind::none) << rawValue(control);
            if (const auto* k = binding.as<PadBinding::Key>()) {
                EXPECT_TRUE(k->combo.mods.isEmpty()) << rawValue(control);
                EXPECT_EQ(gamepad::PadKeyNames::canonical(k->combo.key), k->combo.key);
            }
        }
        for (const StickBinding* stick : {&m.leftStick, &m.rightStick}) {
            EXPECT_FALSE(stick->invertY);
            EXPECT_EQ(stick->sensitivity, 1.0);
            if (stick->mode == StickMode::keys) {
                EXPECT_EQ(stick->deadzone, 0.4);
            }
        }
        EXPECT_EQ(gamepad::matchingPreset(m), std::nullopt);
    }
}

TEST(LegacyMapping, arrowsScheme) {
    const GamepadMapping m = legacyMapping(PadOutputPreset::arrows);
    EXPECT_EQ(m.binding(C::a), key("enter"));
    EXPECT_EQ(m.binding(C::b), key("esc"));
    EXPECT_EQ(m.binding(C::lt), key("lshift"));
    EXPECT_EQ(m.binding(C::rt), key("lctrl"));
    EXPECT_EQ(m.binding(C::back), key("backspace"));
    EXPECT_EQ(m.binding(C::start), key("p"));
    EXPECT_EQ(m.binding(C::r3), key("q"));
    EXPECT_EQ(m.binding(C::dpadUp), key("up"));
    EXPECT_EQ(m.binding(C::dpadRight), key("right"));
    EXPECT_EQ(m.leftStick, StickBinding::keys("up", "down", "left", "right", 0.4));
    EXPECT_EQ(m.rightStick, StickBinding::keys("w", "s", "a", "d", 0.4));
}

TEST(LegacyMapping, dualKeysScheme) {
    const GamepadMapping m = legacyMapping(PadOutputPreset::dualKeys);
    EXPECT_EQ(m.binding(C::a), key("space"));
    EXPECT_EQ(m.binding(C::y), key("r"));
    EXPECT_EQ(m.binding(C::lb), key("lshift"));
    EXPECT_EQ(m.binding(C::rb), key("lctrl"));
    EXPECT_EQ(m.binding(C::lt), key("z"));
    EXPECT_EQ(m.binding(C::start), key("enter"));
    EXPECT_EQ(m.binding(C::l3), key("c"));
    // Numbers run clockwise from the top.
    EXPECT_EQ(m.binding(C::dpadUp), key("1"));
    EXPECT_EQ(m.binding(C::dpadRight), key("2"));
    EXPECT_EQ(m.binding(C::dpadDown), key("3"));
    EXPECT_EQ(m.binding(C::dpadLeft), key("4"));
    EXPECT_EQ(m.leftStick, StickBinding::keys("w", "s", "a", "d", 0.4));
    EXPECT_EQ(m.rightStick, StickBinding::keys("up", "down", "left", "right", 0.4));
}

TEST(LegacyMapping, wasdMouseSchemeDiffersFromTheShooterPreset) {
    const GamepadMapping m = legacyMapping(PadOutputPreset::wasdMouse);
    EXPECT_EQ(m.binding(C::a), key("space"));
    EXPECT_EQ(m.binding(C::b), key("lctrl"));
    EXPECT_EQ(m.binding(C::y), key("f"));
    EXPECT_EQ(m.binding(C::lt), PadBinding::mouseButton(PadMouseButton::right));
    EXPECT_EQ(m.binding(C::rt), PadBinding::mouseButton(PadMouseButton::left));
    EXPECT_EQ(m.binding(C::l3), key("lshift"));
    EXPECT_EQ(m.binding(C::dpadLeft), key("4"));
    EXPECT_EQ(m.leftStick, StickBinding::keys("w", "s", "a", "d", 0.4));
    EXPECT_EQ(m.rightStick.mode, StickMode::mouse);
    EXPECT_EQ(m.rightStick.sensitivity, 1.0);
    EXPECT_EQ(m.rightStick.deadzone, 0.0);
    EXPECT_TRUE(m.rightStick.up.empty() && m.rightStick.right.empty());
    EXPECT_NE(m, gamepad::presetMapping(GamepadPreset::shooter));
}

}  // namespace
}  // namespace tarvel::mapping
