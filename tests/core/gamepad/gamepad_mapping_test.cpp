#include "core/gamepad/gamepad_mapping.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>

#include "tests/core/gamepad/gamepad_printers.hpp"

namespace tarvel::gamepad {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

using C = PadControl;

PadBinding key(const char* name, PadModifiers mods = {}) {
    return PadBinding::key(name, mods);
}

TEST(PadEnumerations, rawValuesReadBackExactly) {
    std::set<std::string_view> badges;
    for (std::size_t i = 0; i < allPadControls.size(); ++i) {
        EXPECT_EQ(static_cast<std::size_t>(allPadControls[i]), i);
        EXPECT_EQ(padControl(rawValue(allPadControls[i])), allPadControls[i]);
        EXPECT_TRUE(badges.insert(badge(allPadControls[i])).second);
    }
    EXPECT_EQ(padControl("A"), std::nullopt);  // JSON names match exactly
    EXPECT_EQ(padControl("guide"), std::nullopt);
    for (PadMouseButton b : allPadMouseButtons) {
        EXPECT_EQ(padMouseButton(rawValue(b)), b);
    }
    EXPECT_EQ(padMouseButton("Right"), std::nullopt);
    for (PadDirection d : allPadDirections) {
        EXPECT_EQ(padDirection(rawValue(d)), d);
    }
    for (StickMode mode : allStickModes) {
        EXPECT_EQ(stickMode(rawValue(mode)), mode);
    }
    for (GamepadPreset preset : allGamepadPresets) {
        EXPECT_EQ(gamepadPreset(rawValue(preset)), preset);
    }
}

TEST(StickBinding, factoriesCanonicaliseKeyNamesAndDropUnknownOnes) {
    EXPECT_EQ(StickBinding::keys("W", "arrowdown", "bogus", "", 0.3),
              (StickBinding{StickMode::keys, "w", "down", "", "", 0.3, 1.0, false}));
    EXPECT_EQ(StickBinding::make(StickMode::keys, " Return", "ESC", "", "lwin", 0.1, 2, true),
              (StickBinding{StickMode::keys, "enter", "esc", "", "lcmd", 0.1, 2, true}));
}

TEST(GamepadPreset, everyPresetIsCompleteAndNormalised) {
    for (GamepadPreset preset : allGamepadPresets) {
        const GamepadMapping m = presetMapping(preset);
        EXPECT_EQ(m.bindings.size(), allPadControls.size()) << rawValue(preset);
        EXPECT_EQ(m, m.normalized()) << rawValue(preset);
    }
    EXPECT_EQ(GamepadMapping::defaults(), presetMapping(GamepadPreset::shooter));
}

TEST(GamepadMapping, normalisationBindsEveryControl) {
    GamepadMapping sparse;
    sparse.bindings[C::rt] = key("w");
    const GamepadMapping normal = sparse.normalized();
    ASSERT_EQ(normal.bindings.size(), 16u);
    for (PadControl control : allPadControls) {
        EXPECT_EQ(normal.binding(control), control == C::rt ? key("w") : PadBinding::none());
    }
    EXPECT_NE(sparse, normal);  // a missing binding is not the same as a none
}

TEST(GamepadMapping, normalisationLimitsSpeedsAndSticks) {
    GamepadMapping m;
    m.version = 42;
    m.bindings[C::a] = PadBinding::mouseMove(PadDirection::up, 1e308);
    m.bindings[C::b] = PadBinding::scroll(PadDirection::down, 0.01);
    m.bindings[C::x] = PadBinding::mouseMove(PadDirection::left, nan);
    m.bindings[C::y] = PadBinding::scroll(PadDirection::right, -inf);
    m.bindings[C::lb] = PadBinding::mouseMove(PadDirection::right, 2.5);
    m.bindings[C::rb] = key("not a key");
    m.leftStick = {StickMode::mouse, "", "", "", "", 2.5, 0.01, false};
    m.rightStick = {StickMode::scroll, "bogus", "", "", "", -0.5, 99, true};
    const GamepadMapping n = m.normalized();
    EXPECT_EQ(n.version, 42);
    EXPECT_EQ(n.binding(C::a), PadBinding::mouseMove(PadDirection::up, 5.0));
    EXPECT_EQ(n.binding(C::b), PadBinding::scroll(PadDirection::down, 0.1));
    EXPECT_EQ(n.binding(C::x), PadBinding::mouseMove(PadDirection::left, 1.0));
    EXPECT_EQ(n.binding(C::y), PadBinding::scroll(PadDirection::right, 1.0));
    EXPECT_EQ(n.binding(C::lb), PadBinding::mouseMove(PadDirection::right, 2.5));
    EXPECT_EQ(n.binding(C::rb), key("not a key"));  // names are left alone
    EXPECT_EQ(n.leftStick.deadzone, 0.9);
    EXPECT_EQ(n.leftStick.sensitivity, 0.1);
    EXPECT_EQ(n.rightStick.deadzone, 0.0);
    EXPECT_FALSE(std::signbit(n.rightStick.deadzone));
    EXPECT_EQ(n.rightStick.sensitivity, 5.0);
    EXPECT_EQ(n.rightStick.up, "bogus");

    GamepadMapping broken;
    broken.leftStick.deadzone = nan;
    broken.leftStick.sensitivity = inf;
    broken.rightStick.deadzone = -inf;
    broken.rightStick.sensitivity = nan;
    const GamepadMapping fixed = broken.normalized();
    EXPECT_EQ(fixed.leftStick.deadzone, 0.2);
    EXPECT_EQ(fixed.leftStick.sensitivity, 1.0);
    EXPECT_EQ(fixed.rightStick.deadzone, 0.2);
    EXPECT_EQ(fixed.rightStick.sensitivity, 1.0);
    EXPECT_EQ(fixed, fixed.normalized());
}

TEST(GamepadPreset, matchingFindsTheFirstEqualPreset) {
    for (GamepadPreset preset : allGamepadPresets) {
        EXPECT_EQ(matchingPreset(presetMapping(preset)), preset);
    }
    GamepadMapping changed = GamepadMapping::defaults();
    changed.bindings[C::a] = key("x");
    EXPECT_EQ(matchingPreset(changed), std::nullopt);
    GamepadMapping otherVersion = GamepadMapping::defaults();
    otherVersion.version = 2;
    EXPECT_EQ(matchingPreset(otherVersion), std::nullopt);
    GamepadMapping inverted = presetMapping(GamepadPreset::mouse);
    inverted.rightStick.invertY = true;
    EXPECT_EQ(matchingPreset(inverted), std::nullopt);

    // Normalised before comparing: a missing binding counts as none.
    GamepadMapping racing = presetMapping(GamepadPreset::racing);
    racing.bindings.erase(C::l3);
    EXPECT_EQ(matchingPreset(racing), GamepadPreset::racing);
}

}  // namespace
}  // namespace tarvel::gamepad
