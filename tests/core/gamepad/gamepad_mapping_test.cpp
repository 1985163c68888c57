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
PadBinding mouse(PadMouseButton button) {
    return PadBinding::mouseButton(button);
}

TEST(PadControl, namesInOrder) {
    ASSERT_EQ(allPadControls.size(), 16u);
    const char* raw[] = {"a",      "b",        "x",        "y",        "lb", "rb",
                         "lt",     "rt",       "back",     "start",    "l3", "r3",
                         "dpadUp", "dpadDown", "dpadLeft", "dpadRight"};
    std::set<std::string_view> badges;
    for (std::size_t i = 0; i < allPadControls.size(); ++i) {
        EXPECT_EQ(static_cast<std::size_t>(allPadControls[i]), i);
        EXPECT_EQ(rawValue(allPadControls[i]), raw[i]);
        EXPECT_EQ(padControl(raw[i]), allPadControls[i]);
        EXPECT_TRUE(badges.insert(badge(allPadControls[i])).second);
    }
    EXPECT_EQ(padControl("A"), std::nullopt);  // JSON names match exactly
    EXPECT_EQ(padControl("guide"), std::nullopt);
}

TEST(PadEnumerations, rawValuesReadBackExactly) {
    for (PadMouseButton b : allPadMouseButtons) {
        EXPECT_EQ(padMouseButton(rawValue(b)), b);
    }
    EXPECT_EQ(padMouseButton("Right"), std::nullopt);
    EXPECT_EQ(bit(PadMouseButton::left) | bit(PadMouseButton::right) | bit(PadMouseButton::middle),
              0x07);
    for (PadDirection d : allPadDirections) {
        EXPECT_EQ(padDirection(rawValue(d)), d);
    }
    for (StickMode mode : allStickModes) {
        EXPECT_EQ(stickMode(rawValue(mode)), mode);
    }
    for (GamepadPreset preset : allGamepadPresets) {
        EXPECT_EQ(gamepadPreset(rawValue(preset)), preset);
    }
    std::set<std::string_view> kinds;
    for (PadBinding::Kind kind : allPadBindingKinds) {
        EXPECT_TRUE(kinds.insert(rawValue(kind)).second);
    }
}

TEST(PadBinding, kindFollowsTheCase) {
    EXPECT_EQ(PadBinding().kind(), PadBinding::Kind::none);
    EXPECT_EQ(key("a").kind(), PadBinding::Kind::key);
    EXPECT_EQ(mouse(PadMouseButton::left).kind(), PadBinding::Kind::mouse);
    EXPECT_EQ(PadBinding::mouseMove(PadDirection::up, 1).kind(), PadBinding::Kind::move);
    EXPECT_EQ(PadBinding::scroll(PadDirection::up, 1).kind(), PadBinding::Kind::scroll);
    EXPECT_NE(PadBinding::mouseMove(PadDirection::up, 1), PadBinding::scroll(PadDirection::up, 1));
}

TEST(StickBinding, factoriesCanonicaliseNames) {
    const auto keys = StickBinding::keys("W", "arrowdown", "bogus", "", 0.3);
    EXPECT_EQ(keys.mode, StickMode::keys);
    EXPECT_EQ(keys.up, "w");
    EXPECT_EQ(keys.down, "down");
    EXPECT_EQ(keys.left, "");
    EXPECT_EQ(keys.right, "");
    EXPECT_EQ(keys.deadzone, 0.3);
    EXPECT_EQ(keys.sensitivity, 1.0);
    EXPECT_FALSE(keys.invertY);

    const auto mouse = StickBinding::mouse(2.5, 0.1, true);
    EXPECT_EQ(mouse, (StickBinding{StickMode::mouse, "", "", "", "", 0.1, 2.5, true}));
    const auto scroll = StickBinding::scroll(0.5, 0.0);
    EXPECT_EQ(scroll, (StickBinding{StickMode::scroll, "", "", "", "", 0.0, 0.5, false}));
    EXPECT_EQ(StickBinding::off(), (StickBinding{StickMode::off, "", "", "", "", 0.3, 1.0, false}));
    EXPECT_EQ(StickBinding::make(StickMode::keys, " Return", "ESC", "", "lwin", 0.1, 2, true),
              (StickBinding{StickMode::keys, "enter", "esc", "", "lcmd", 0.1, 2, true}));
}

struct PresetRow {
    GamepadPreset preset;
    std::array<PadBinding, 12> firstTwelve;  // a .. r3
    StickBinding left;
    StickBinding right;
};

TEST(GamepadPreset, mappingsAreExactlyAsTabled) {
    using M = PadMouseButton;
    const PadModifiers cmd = PadModifiers::cmd;
    const PresetRow rows[] = {
        {GamepadPreset::shooter,
         {key("space"), key("c"), key("r"), key("q"), key("g"), key("e"), mouse(M::right),
          mouse(M::left), key("tab"), key("esc"), key("lshift"), key("v")},
         {StickMode::keys, "w", "s", "a", "d", 0.3, 1.0, false},
         {StickMode::mouse, "", "", "", "", 0.05, 1.0, false}},
        {GamepadPreset::emulator,
         {key("x"), key("z"), key("s"), key("a"), key("q"), key("w"), key("e"), key("r"),
          key("space"), key("enter"), key("c"), key("v")},
         {StickMode::keys, "up", "down", "left", "right", 0.4, 1.0, false},
         StickBinding::off()},
        {GamepadPreset::mouse,
         {mouse(M::left), mouse(M::right), mouse(M::middle), key("enter"), key("lbracket", cmd),
          key("rbracket", cmd), key("minus", cmd), key("equal", cmd), key("tab"), key("esc"),
          PadBinding::none(), PadBinding::none()},
         {StickMode::mouse, "", "", "", "", 0.05, 0.8, false},
         {StickMode::scroll, "", "", "", "", 0.1, 1.0, false}},
        {GamepadPreset::racing,
         {key("space"), key("lshift"), key("r"), key("c"), key("q"), key("e"), key("s"), key("w"),
          key("tab"), key("esc"), PadBinding::none(), key("b")},
         {StickMode::keys, "", "", "a", "d", 0.25, 1.0, false},
         {StickMode::mouse, "", "", "", "", 0.05, 1.0, false}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(rawValue(row.preset));
        const GamepadMapping m = presetMapping(row.preset);
        EXPECT_EQ(m.version, 1);
        ASSERT_EQ(m.bindings.size(), 16u);
        for (std::size_t i = 0; i < row.firstTwelve.size(); ++i) {
            EXPECT_EQ(m.binding(allPadControls[i]), row.firstTwelve[i])
                << rawValue(allPadControls[i]);
        }
        EXPECT_EQ(m.binding(C::dpadUp), key("up"));
        EXPECT_EQ(m.binding(C::dpadDown), key("down"));
        EXPECT_EQ(m.binding(C::dpadLeft), key("left"));
        EXPECT_EQ(m.binding(C::dpadRight), key("right"));
        EXPECT_EQ(m.leftStick, row.left);
        EXPECT_EQ(m.rightStick, row.right);
        EXPECT_EQ(m, m.normalized());
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
