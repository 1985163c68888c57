#include "core/gamepad/gamepad_mapping.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "tests/core/gamepad/gamepad_printers.hpp"

namespace tarvel::gamepad {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

using C = PadControl;

TEST(GamepadMapping, normalisationLimitsNumbersAndEveryPresetIsCompleteAndMatchedOnlyWhenEqual) {
    const std::pair<double, double> speeds[] = {
        {1e308, 5}, {0.01, 0.1}, {nan, 1}, {-inf, 1}, {2.5, 2.5}};
    for (const auto& [in, out] : speeds) {
        GamepadMapping m;
        m.bindings[C::a] = PadBinding::mouseMove(PadDirection::up, in);
        m.bindings[C::b] = PadBinding::scroll(PadDirection::down, in);
        const GamepadMapping n = m.normalized();
        EXPECT_EQ(n.binding(C::a), PadBinding::mouseMove(PadDirection::up, out)) << in;
        EXPECT_EQ(n.binding(C::b), PadBinding::scroll(PadDirection::down, out)) << in;
        EXPECT_EQ(n.bindings.size(), allPadControls.size());
        EXPECT_EQ(n.binding(C::x), PadBinding::none());
    }
    // Dead zone and sensitivity in, then as limited.
    const std::array<double, 4> sticks[] = {
        {2.5, 0.01, 0.9, 0.1}, {-0.0, 99, 0.0, 5.0}, {nan, inf, 0.2, 1.0}, {-inf, nan, 0.2, 1.0}};
    for (const auto& [deadzone, sensitivity, wantDeadzone, wantSensitivity] : sticks) {
        SCOPED_TRACE(testing::Message() << deadzone << ", " << sensitivity);
        GamepadMapping m;
        m.leftStick = {StickMode::mouse, "", "", "", "", deadzone, sensitivity, false};
        m.rightStick = {StickMode::scroll, "bogus", "", "", "", deadzone, sensitivity, true};
        const GamepadMapping n = m.normalized();
        for (const StickBinding& stick : {n.leftStick, n.rightStick}) {
            EXPECT_EQ(stick.deadzone, wantDeadzone);
            EXPECT_FALSE(std::signbit(stick.deadzone));  // written as 0, not -0
            EXPECT_EQ(stick.sensitivity, wantSensitivity);
        }
        EXPECT_EQ(n.rightStick.up, "bogus");  // names are left alone
    }
    for (GamepadPreset preset : allGamepadPresets) {
        const GamepadMapping m = presetMapping(preset);
        EXPECT_EQ(m.bindings.size(), allPadControls.size()) << rawValue(preset);
        EXPECT_EQ(m, m.normalized()) << rawValue(preset);
        EXPECT_EQ(matchingPreset(m), preset);
        EXPECT_EQ(gamepadPreset(rawValue(preset)), preset);
    }
    EXPECT_EQ(GamepadMapping::defaults(), presetMapping(GamepadPreset::shooter));
    GamepadMapping changed = GamepadMapping::defaults(), otherVersion = changed,
                   inverted = presetMapping(GamepadPreset::mouse);
    changed.bindings[C::a] = PadBinding::key("x");
    otherVersion.version = 2;
    inverted.rightStick.invertY = true;
    for (const GamepadMapping& m : {changed, otherVersion, inverted}) {
        EXPECT_EQ(matchingPreset(m), std::nullopt);
    }
    // Normalised before comparing: a missing binding counts as none.
    GamepadMapping racing = presetMapping(GamepadPreset::racing);
    racing.bindings.erase(C::l3);
    EXPECT_EQ(matchingPreset(racing), GamepadPreset::racing);
}

}  // namespace
}  // namespace tarvel::gamepad
