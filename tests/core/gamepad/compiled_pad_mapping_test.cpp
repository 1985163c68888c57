#include "core/gamepad/compiled_pad_mapping.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "tests/core/gamepad/gamepad_printers.hpp"

namespace tarvel::gamepad {
namespace {

using B = PadBinding;
using C = PadControl;
using D = PadDirection;
using Action = CompiledPadMapping::Action;
using input::HIDKeySet;

// Copied under the runtime's lock on every mapping change: no heap.
static_assert(std::is_trivially_copyable_v<CompiledPadMapping>);
static_assert(std::is_trivially_copyable_v<PadTranslator>);

constexpr std::int16_t full = 32767;
constexpr std::uint16_t keyW = 0x1A, keyS = 0x16, keyA = 0x04, keyD = 0x07;

PadState pressing(PadButtons buttons) {
    return {0, 0, 0, 0, buttons, PadHat(), 0, 0};
}

PadState sticks(std::int16_t lx, std::int16_t ly, std::int16_t rx = 0, std::int16_t ry = 0) {
    return {lx, ly, rx, ry, PadButtons(), PadHat(), 0, 0};
}

PadState rightAt(double x, double y) {
    return sticks(0, 0, static_cast<std::int16_t>(std::lround(x * full)),
                  static_cast<std::int16_t>(std::lround(y * full)));
}

CompiledPadMapping onlyRightStick(StickBinding stick) {
    GamepadMapping m;
    m.leftStick = StickBinding::off();
    m.rightStick = std::move(stick);
    return CompiledPadMapping(m);
}

TEST(PadControlPressed, eachButtonPressesItsControlGuideNoneTriggersNeedAQuarterHatTwoWays) {
    using P = PadButtons;
    const std::pair<PadButtons, PadControl> pairs[] = {
        {P::a, C::a},          {P::b, C::b},           {P::x, C::x},
        {P::y, C::y},          {P::leftBumper, C::lb}, {P::rightBumper, C::rb},
        {P::leftStick, C::l3}, {P::rightStick, C::r3}, {P::start, C::start},
        {P::back, C::back}};
    const PadState triggersAndHat{0, 0, 0, 0, P::guide, PadHat::southWest, 63, 64};
    for (PadControl control : allPadControls) {
        for (const auto& [button, pressed] : pairs) {
            EXPECT_EQ(isPressed(control, pressing(button)), control == pressed)
                << rawValue(control);
        }
        EXPECT_EQ(isPressed(control, triggersAndHat),
                  control == C::rt || control == C::dpadDown || control == C::dpadLeft);
    }
}

TEST(CompiledPadMapping, bindingsCompileToActionsAndPressedControlsAddUp) {
    GamepadMapping m;
    m.bindings = {{C::a, B::key("", PadModifiers::cmd)},
                  {C::b, B::key("")},
                  {C::x, B::mouseMove(D::up, 2.0)},
                  {C::y, B::scroll(D::up, 0.5)},
                  {C::lb, B::key("Z", PadModifiers(0x0F))},
                  {C::rb, B::key("f13", PadModifiers::shift)},
                  {C::lt, B::key("bogus")},
                  {C::rt, B::mouseMove(D::left, 99)},  // limited to 5
                  {C::back, B::scroll(D::right, 1)},
                  {C::start, B::mouseMove(D::down, 1)},
                  {C::l3, B::scroll(D::down, 1)}};
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
        {C::l3, Action::scroll(0, -600)}};
    EXPECT_EQ(std::vector(compiled.actions().begin(), compiled.actions().end()), expected);
    m.bindings = {{C::a, B::mouseMove(D::right, 1)},
                  {C::b, B::mouseMove(D::right, 1)},
                  {C::x, B::key("w", PadModifiers::shift)},
                  {C::y, B::key("lshift")},
                  {C::lb, B::mouseButton(PadMouseButton::left)},
                  {C::rb, B::mouseButton(PadMouseButton::middle)},
                  {C::back, B::scroll(D::up, 1)},
                  {C::start, B::scroll(D::left, 0.5)}};
    m.leftStick = m.rightStick = StickBinding::off();
    const CompiledPadMapping added(m);
    using F = PadOutputFrame;
    EXPECT_EQ(added.frame(pressing(PadButtons::a | PadButtons::b)), (F{{}, 0, 1200, 0, 0, 0}));
    EXPECT_EQ(added.frame(pressing(PadButtons::defined)),
              (F{{0x1A, 0xE1}, F::mouseLeft | F::mouseMiddle, 1200, 0, -300, 600}));
    EXPECT_TRUE(added.frame(PadState{}).isEmpty());
}

TEST(CompiledPadMapping, keysStickHoldsEightWaysAndMouseStickFollowsThePowerCurveAndInvertY) {
    const auto& shooter = CompiledPadMapping::defaults();  // left: WASD, dead zone 0.3
    EXPECT_EQ(shooter.frame(sticks(0, 20000)).keys, (HIDKeySet{keyW}));
    EXPECT_EQ(shooter.frame(sticks(15000, 15000)).keys, (HIDKeySet{keyW, keyD}));
    EXPECT_EQ(shooter.frame(sticks(0, 9000)).keys, HIDKeySet{});
    EXPECT_EQ(shooter.frame(sticks(-32768, -32768)).keys, (HIDKeySet{keyS, keyA}));
    EXPECT_FALSE(shooter.frame(sticks(0, 20000)).needsTimer());
    // A diagonal with no key bound for one of its ways holds only the other.
    GamepadMapping m;
    m.leftStick = StickBinding::keys("", "", "left", "right", 0.0);
    const CompiledPadMapping sideOnly(m);
    EXPECT_EQ(sideOnly.frame(sticks(20000, 20000)).keys, (HIDKeySet{0x4F}));
    EXPECT_EQ(sideOnly.frame(sticks(1700, 0)).keys, (HIDKeySet{0x4F}));  // ~0.052
    EXPECT_EQ(sideOnly.frame(sticks(1600, 0)).keys, HIDKeySet{});        // ~0.049
    // Right: mouse, dead zone 0.05, sensitivity 1.
    EXPECT_EQ(shooter.frame(rightAt(1, 0)), (PadOutputFrame{{}, 0, 1400, 0, 0, 0}));
    EXPECT_DOUBLE_EQ(shooter.frame(sticks(0, 0, -32768, 0)).pointerX, -1400);
    // Half way past the dead zone: ((0.525 - 0.05) / 0.95)^1.5 = 0.5^1.5; a quarter: 0.125.
    EXPECT_NEAR(shooter.frame(rightAt(0.525, 0)).pointerX, 1400 * std::pow(0.5, 1.5), 0.1);
    EXPECT_NEAR(shooter.frame(rightAt(0, -0.2875)).pointerY, 1400 * 0.125, 0.1);
    EXPECT_FALSE(shooter.frame(sticks(0, 0, 1600, 0)).needsTimer());
    EXPECT_TRUE(shooter.frame(sticks(0, 0, 1700, 0)).needsTimer());
    // invertY flips the vertical of mouse and scroll; off does nothing.
    const auto mouse = onlyRightStick(StickBinding::mouse(1.0, 0.05, true));
    EXPECT_DOUBLE_EQ(mouse.frame(rightAt(0, 1)).pointerY, 1400);
    const auto scroll = onlyRightStick(StickBinding::scroll(2.0, 0.1));
    const auto inverted = onlyRightStick(StickBinding::scroll(2.0, 0.1, true));
    EXPECT_EQ(scroll.frame(rightAt(0, 1)), (PadOutputFrame{{}, 0, 0, 0, 0, 3000}));
    EXPECT_DOUBLE_EQ(inverted.frame(rightAt(0, 1)).scrollY, -3000);
    EXPECT_DOUBLE_EQ(inverted.frame(rightAt(-1, 0)).scrollX, -3000);
    EXPECT_TRUE(onlyRightStick(StickBinding::off()).frame(rightAt(1, -1)).isEmpty());
}

TEST(PadTranslator, releaseAllReleasesOnceAndForgetStartsFromScratch) {
    PadTranslator translator;
    const PadState state{0, 0, full, 0, PadButtons::x | PadButtons::leftStick, PadHat(), 100, 0};
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
