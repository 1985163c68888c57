#include "core/gamepad/compiled_pad_mapping.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <type_traits>
#include <vector>

#include "tests/core/gamepad/gamepad_printers.hpp"

namespace tarvel::gamepad {
namespace {

using C = PadControl;
using Action = CompiledPadMapping::Action;
using input::HIDKeySet;

// Copied under the runtime's lock on every mapping change: no heap.
static_assert(std::is_trivially_copyable_v<CompiledPadMapping>);
static_assert(std::is_trivially_copyable_v<PadTranslator>);

constexpr std::uint16_t keyW = 0x1A, keyS = 0x16, keyA = 0x04, keyD = 0x07;

PadState withButtons(PadButtons buttons) {
    PadState s;
    s.buttons = buttons;
    return s;
}

PadState leftStick(std::int16_t x, std::int16_t y) {
    PadState s;
    s.lx = x;
    s.ly = y;
    return s;
}

PadState rightStick(std::int16_t x, std::int16_t y) {
    PadState s;
    s.rx = x;
    s.ry = y;
    return s;
}

// A mapping that binds nothing but the given right stick.
CompiledPadMapping onlyRightStick(StickBinding stick) {
    GamepadMapping m;
    m.leftStick = StickBinding::off();
    m.rightStick = std::move(stick);
    return CompiledPadMapping(m);
}

TEST(PadControlPressed, eachButtonPressesItsControlTriggersNeedAQuarterAndTheHatTwoWays) {
    const std::pair<PadButtons, PadControl> pairs[] = {
        {PadButtons::a, C::a},           {PadButtons::b, C::b},
        {PadButtons::x, C::x},           {PadButtons::y, C::y},
        {PadButtons::leftBumper, C::lb}, {PadButtons::rightBumper, C::rb},
        {PadButtons::leftStick, C::l3},  {PadButtons::rightStick, C::r3},
        {PadButtons::start, C::start},   {PadButtons::back, C::back},
    };
    for (const auto& [button, control] : pairs) {
        for (PadControl other : allPadControls) {
            EXPECT_EQ(isPressed(other, withButtons(button)), other == control)
                << rawValue(control) << " vs " << rawValue(other);
        }
    }
    // The guide button is bound to nothing.
    for (PadControl control : allPadControls) {
        EXPECT_FALSE(isPressed(control, withButtons(PadButtons::guide)));
    }
    PadState state;
    state.lt = 63;
    state.rt = 64;
    state.hat = PadHat::southWest;
    std::vector<PadControl> pressed;
    for (PadControl control : allPadControls) {
        if (isPressed(control, state)) {
            pressed.push_back(control);
        }
    }
    EXPECT_EQ(pressed, (std::vector<PadControl>{C::rt, C::dpadDown, C::dpadLeft}));
}

TEST(CompiledPadMapping, bindingsCompileToActions) {
    GamepadMapping m;
    m.bindings[C::a] = PadBinding::key("", PadModifiers::cmd);
    m.bindings[C::b] = PadBinding::key("");
    m.bindings[C::x] = PadBinding::mouseMove(PadDirection::up, 2.0);
    m.bindings[C::y] = PadBinding::scroll(PadDirection::up, 0.5);
    m.bindings[C::lb] = PadBinding::key("Z", PadModifiers(0x0F));
    m.bindings[C::rb] = PadBinding::key("f13", PadModifiers::shift);
    m.bindings[C::lt] = PadBinding::key("bogus");
    m.bindings[C::rt] = PadBinding::mouseMove(PadDirection::left, 99);  // limited to 5
    m.bindings[C::back] = PadBinding::scroll(PadDirection::right, 1);
    m.bindings[C::start] = PadBinding::mouseMove(PadDirection::down, 1);
    m.bindings[C::l3] = PadBinding::scroll(PadDirection::down, 1);
    m.bindings[C::r3] = PadBinding::mouseMove(PadDirection::right, 1);
    m.bindings[C::dpadUp] = PadBinding::scroll(PadDirection::left, 1);
    const CompiledPadMapping compiled(m);
    const std::vector<CompiledPadMapping::ControlAction> expected{
        {C::a, Action::holdKeys({0xE3})},
        {C::x, Action::pointer(0, -1200)},
        {C::y, Action::scroll(0, 300)},
        {C::lb, Action::holdKeys({0xE0, 0xE1, 0xE2, 0xE3, 0x1D})},
        {C::rb, Action::holdKeys({0xE1})},
        {C::rt, Action::pointer(-3000, 0)},
        {C::back, Action::scroll(600, 0)},
        {C::start, Action::pointer(0, 600)},
        {C::l3, Action::scroll(0, -600)},
        {C::r3, Action::pointer(600, 0)},
        {C::dpadUp, Action::scroll(-600, 0)},
    };
    EXPECT_EQ(std::vector(compiled.actions().begin(), compiled.actions().end()), expected);
}

TEST(CompiledPadMapping, pressedControlsAddUp) {
    GamepadMapping m;
    m.bindings[C::a] = PadBinding::mouseMove(PadDirection::right, 1);
    m.bindings[C::b] = PadBinding::mouseMove(PadDirection::right, 1);
    m.bindings[C::x] = PadBinding::key("w", PadModifiers::shift);
    m.bindings[C::y] = PadBinding::key("lshift");
    m.bindings[C::lb] = PadBinding::mouseButton(PadMouseButton::left);
    m.bindings[C::rb] = PadBinding::mouseButton(PadMouseButton::middle);
    m.bindings[C::back] = PadBinding::scroll(PadDirection::up, 1);
    m.bindings[C::start] = PadBinding::scroll(PadDirection::left, 0.5);
    m.leftStick = StickBinding::off();
    m.rightStick = StickBinding::off();
    const CompiledPadMapping compiled(m);

    const PadOutputFrame both = compiled.frame(withButtons(PadButtons::a | PadButtons::b));
    EXPECT_EQ(both.pointerX, 1200);
    EXPECT_EQ(both.pointerY, 0);

    const PadOutputFrame all = compiled.frame(withButtons(PadButtons::defined));
    EXPECT_EQ(all.keys, (HIDKeySet{0x1A, 0xE1}));
    EXPECT_EQ(all.mouseButtons, PadOutputFrame::mouseLeft | PadOutputFrame::mouseMiddle);
    EXPECT_EQ(all.scrollX, -300);
    EXPECT_EQ(all.scrollY, 600);
    EXPECT_TRUE(compiled.frame(PadState{}).isEmpty());
}

TEST(CompiledPadMapping, keysStickHoldsEightWaysBeyondItsDeadZoneOfAtLeastFivePercent) {
    const auto& shooter = CompiledPadMapping::defaults();  // left: WASD, dead zone 0.3
    EXPECT_EQ(shooter.frame(leftStick(0, 20000)).keys, (HIDKeySet{keyW}));
    EXPECT_EQ(shooter.frame(leftStick(15000, 15000)).keys, (HIDKeySet{keyW, keyD}));
    EXPECT_EQ(shooter.frame(leftStick(0, 9000)).keys, HIDKeySet{});
    EXPECT_EQ(shooter.frame(leftStick(-32768, -32768)).keys, (HIDKeySet{keyS, keyA}));
    EXPECT_EQ(shooter.frame(leftStick(-20000, 1000)).keys, (HIDKeySet{keyA}));
    EXPECT_FALSE(shooter.frame(leftStick(0, 20000)).needsTimer());

    // A diagonal with no key bound for one of its ways holds only the other.
    GamepadMapping m;
    m.leftStick = StickBinding::keys("", "", "left", "right", 0.0);
    const CompiledPadMapping sideOnly(m);
    EXPECT_EQ(sideOnly.frame(leftStick(20000, 20000)).keys, (HIDKeySet{0x4F}));
    EXPECT_EQ(sideOnly.frame(leftStick(1700, 0)).keys, (HIDKeySet{0x4F}));  // ~0.052
    EXPECT_EQ(sideOnly.frame(leftStick(1600, 0)).keys, HIDKeySet{});        // ~0.049
}

TEST(CompiledPadMapping, mouseStickFollowsThePowerCurve) {
    const auto& shooter = CompiledPadMapping::defaults();  // right: mouse, 0.05, sensitivity 1
    const PadOutputFrame right = shooter.frame(rightStick(32767, 0));
    EXPECT_DOUBLE_EQ(right.pointerX, 1400);
    EXPECT_EQ(right.pointerY, 0);
    EXPECT_DOUBLE_EQ(shooter.frame(rightStick(0, 32767)).pointerY, -1400);
    EXPECT_DOUBLE_EQ(shooter.frame(rightStick(-32768, 0)).pointerX, -1400);

    // Half way past the dead zone: ((0.525 - 0.05) / 0.95)^1.5 = 0.5^1.5.
    const auto half = static_cast<std::int16_t>(std::lround(0.525 * 32767));
    EXPECT_NEAR(shooter.frame(rightStick(half, 0)).pointerX, 1400 * std::pow(0.5, 1.5), 0.1);
    // A quarter: 0.25^1.5 = 0.125.
    const auto quarter = static_cast<std::int16_t>(std::lround((0.05 + 0.95 * 0.25) * 32767));
    EXPECT_NEAR(shooter.frame(rightStick(0, -quarter)).pointerY, 1400 * 0.125, 0.1);
    // Inside the dead zone nothing moves.
    EXPECT_FALSE(shooter.frame(rightStick(1600, 0)).needsTimer());
    EXPECT_TRUE(shooter.frame(rightStick(1700, 0)).needsTimer());
}

TEST(CompiledPadMapping, mouseStickCutsTheDeadZoneRadially) {
    const auto compiled = onlyRightStick(StickBinding::mouse(2.0, 0.5));
    // A diagonal at length 0.75 is half way out; each axis keeps its share of it.
    const auto axis = static_cast<std::int16_t>(std::lround(0.75 / std::sqrt(2.0) * 32767));
    const PadOutputFrame frame = compiled.frame(rightStick(axis, axis));
    const double component = 0.5 / std::sqrt(2.0);
    EXPECT_NEAR(frame.pointerX, std::pow(component, 1.5) * 2.0 * 1400, 0.2);
    EXPECT_NEAR(frame.pointerY, -std::pow(component, 1.5) * 2.0 * 1400, 0.2);
    // Beyond full deflection (a corner, length ~1.41) the length counts as 1.
    const PadOutputFrame corner = compiled.frame(rightStick(32767, 32767));
    EXPECT_NEAR(corner.pointerX, std::pow(1 / std::sqrt(2.0), 1.5) * 2.0 * 1400, 0.01);

    // With no dead zone the raw axes are used.
    const auto raw = onlyRightStick(StickBinding::mouse(1.0, 0.0));
    EXPECT_NEAR(raw.frame(rightStick(16384, 0)).pointerX, std::pow(16384 / 32767.0, 1.5) * 1400,
                1e-9);
}

TEST(CompiledPadMapping, invertYFlipsTheVerticalOfMouseAndScrollAndOffDoesNothing) {
    const auto mouse = onlyRightStick(StickBinding::mouse(1.0, 0.05, true));
    EXPECT_DOUBLE_EQ(mouse.frame(rightStick(0, 32767)).pointerY, 1400);
    EXPECT_DOUBLE_EQ(mouse.frame(rightStick(32767, 0)).pointerX, 1400);

    const auto scroll = onlyRightStick(StickBinding::scroll(2.0, 0.1));
    const auto scrollInverted = onlyRightStick(StickBinding::scroll(2.0, 0.1, true));
    EXPECT_DOUBLE_EQ(scroll.frame(rightStick(0, 32767)).scrollY, 3000);
    EXPECT_DOUBLE_EQ(scrollInverted.frame(rightStick(0, 32767)).scrollY, -3000);
    EXPECT_DOUBLE_EQ(scroll.frame(rightStick(-32767, 0)).scrollX, -3000);
    EXPECT_DOUBLE_EQ(scrollInverted.frame(rightStick(-32767, 0)).scrollX, -3000);
    EXPECT_EQ(scroll.frame(rightStick(0, 32767)).pointerY, 0);

    EXPECT_TRUE(onlyRightStick(StickBinding::off()).frame(rightStick(32767, -32767)).isEmpty());
    EXPECT_TRUE(CompiledPadMapping().frame(withButtons(PadButtons::defined)).isEmpty());
}

// Pressing, releasing and switching mappings are covered through the injector.
TEST(PadTranslator, releaseAllReleasesOnceAndForgetStartsFromScratch) {
    PadTranslator translator;
    PadState state = withButtons(PadButtons::x | PadButtons::leftStick);
    state.lt = 100;
    state.rx = 32767;
    translator.update(state);
    EXPECT_TRUE(translator.output().needsTimer());
    const PadFrameDiff released = translator.releaseAll();
    EXPECT_EQ(released.released, (HIDKeySet{0x15, 0xE1}));
    EXPECT_EQ(released.mouseUp, PadOutputFrame::mouseRight);
    EXPECT_TRUE(released.pressed.isEmpty() && released.mouseDown == 0);
    EXPECT_TRUE(translator.output().isEmpty());
    EXPECT_TRUE(translator.releaseAll().isEmpty());

    translator.update(state);
    translator.forget();
    EXPECT_TRUE(translator.output().isEmpty());
    EXPECT_EQ(translator.update(state).pressed, (HIDKeySet{0x15, 0xE1}));
}

}  // namespace
}  // namespace tarvel::gamepad
