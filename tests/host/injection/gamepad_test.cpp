#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "core/gamepad/gamepad_mapping.hpp"
#include "tests/host/injection/injector_harness.hpp"

namespace tarvel::injection::test {
namespace {

using Lines = std::vector<std::string>;
using gamepad::CompiledPadMapping;
using gamepad::GamepadPreset;
using gamepad::PadButtons;

constexpr std::int16_t full = 32767;

InputEvent padButtons(PadButtons buttons, std::uint8_t hat = 0, std::uint8_t lt = 0,
                      std::uint8_t rt = 0) {
    return InputEvent::GamepadButtons{buttons.rawValue, hat, lt, rt};
}

InputEvent sticks(std::int16_t lx, std::int16_t ly, std::int16_t rx, std::int16_t ry) {
    return InputEvent::GamepadSticks{lx, ly, rx, ry};
}

CompiledPadMapping preset(GamepadPreset which) {
    return CompiledPadMapping(gamepad::presetMapping(which));
}

struct Motion {
    int moves = 0;
    int dx = 0;
    int dy = 0;
    int largestStep = 0;
};

Motion motionIn(const Lines& lines) {
    Motion m;
    for (const auto& move : parsed(lines, "mouse")) {
        EXPECT_EQ(move["type"], 5);
        const int dx = move["dx"];
        const int dy = move["dy"];
        ++m.moves;
        m.dx += dx;
        m.dy += dy;
        m.largestStep = std::max({m.largestStep, std::abs(dx), std::abs(dy)});
    }
    return m;
}

TEST(InjectorGamepad, aPresetButtonHoldsItsKeyUntilReleased) {
    Harness h;
    h.send(padButtons(PadButtons::a));
    EXPECT_EQ(h.take(), (Lines{keyLine(codeSpace, true)}));
    EXPECT_TRUE(h.injector->state().heldHIDKeys.contains(hidSpace));

    h.clock->advance(50ms);
    h.send(padButtons(PadButtons::a));  // the periodic re-send changes nothing
    EXPECT_EQ(h.take(), Lines{});

    h.send(padButtons({}));
    EXPECT_EQ(h.take(), (Lines{keyLine(codeSpace, false)}));
    EXPECT_TRUE(h.injector->state().heldHIDKeys.isEmpty());
}

TEST(InjectorGamepad, modifiersGoDownFirstAndComeUpLastTriggersHoldMouseButtons) {
    Harness h;
    // l3 is Left Shift, a is Space, the right trigger the left mouse button, the hat up Up Arrow.
    h.send(padButtons(PadButtons::a | PadButtons::leftStick, 1, 0, 200));
    EXPECT_EQ(h.take(),
              (Lines{mouseLine(1, 960, 540, 0, 1), keyLine(codeShift, true, fShift),
                     keyLine(codeSpace, true, fShift), keyLine(codeUpArrow, true, fShift | fFn)}));
    EXPECT_EQ(h.injector->state().heldMouseButtons, 0x01);

    h.send(padButtons({}));
    EXPECT_EQ(h.take(),
              (Lines{keyLine(codeSpace, false, fShift), keyLine(codeUpArrow, false, fShift | fFn),
                     keyLine(codeShift, false, 0), mouseLine(2, 960, 540, 0, 1)}));
    EXPECT_FALSE(h.injector->state().holdsAnything());
}

TEST(InjectorGamepad, aFullyDeflectedMouseStickMovesFourteenHundredPixelsPerSecond) {
    Harness h;
    h.send(sticks(0, 0, full, 0));
    EXPECT_TRUE(h.injector->motionTimerActive());
    EXPECT_EQ(h.take(), Lines{});

    h.queue->advance(500ms);  // 62 ticks of 8 ms, 11.2 pixels each
    const Motion right = motionIn(h.take());
    EXPECT_EQ(right.moves, 62);
    EXPECT_NEAR(right.dx, 694, 1);
    EXPECT_EQ(right.dy, 0);
    EXPECT_LE(right.largestStep, 12);

    h.send(sticks(0, 0, 0, full));  // pushing up moves the pointer up
    h.queue->advance(200ms);
    const Motion up = motionIn(h.take());
    EXPECT_NEAR(up.dy, -280, 2);
    EXPECT_NEAR(up.dx, 0, 1);
}

TEST(InjectorGamepad, aStalledQueueMovesTheStickAtMostFiftyMillisecondsWorth) {
    Harness h;
    h.send(sticks(0, 0, full, 0));
    h.queue->advance(80ms);
    h.take();

    // The queue was busy for 200 ms; the ticks it missed come late.
    h.clock->advance(200ms);
    h.queue->advance(0ms);
    const Motion late = motionIn(h.take());
    EXPECT_EQ(late.moves, 1);
    EXPECT_GE(late.dx, 70);  // 1400 px/s for 0.05 s, plus at most a carried pixel
    EXPECT_LE(late.dx, 71);
}

TEST(InjectorGamepad, aSlowButtonSpeedKeepsItsFractionsAcrossTicks) {
    Harness h;
    auto mapping = gamepad::GamepadMapping::defaults();
    mapping.bindings[gamepad::PadControl::x] =
        gamepad::PadBinding::mouseMove(gamepad::PadDirection::right, 0.25);  // 150 px/s
    h.runtime->publish(CompiledPadMapping(mapping.normalized()));
    h.injector->padMappingChanged();

    h.send(padButtons(PadButtons::x));
    h.queue->advance(1000ms);
    const Motion m = motionIn(h.take());
    EXPECT_NEAR(m.dx, 150, 1);
    EXPECT_LE(m.largestStep, 2);  // 1.2 per tick: never bunched
    EXPECT_GE(m.moves, 120);
}

TEST(InjectorGamepad, aScrollStickScrollsVerticallyAsIsAndHorizontallyNegated) {
    Harness h;
    h.runtime->publish(preset(GamepadPreset::mouse));  // right stick scrolls at 1500 px/s
    h.send(sticks(0, 0, full, full));
    h.queue->advance(80ms);
    const auto scrolls = parsed(h.take(), "scroll");
    ASSERT_EQ(scrolls.size(), 10U);
    int vertical = 0, horizontal = 0;
    for (const auto& s : scrolls) {
        EXPECT_EQ(s["phase"], 0);
        EXPECT_EQ(s["momentumPhase"], 0);
        vertical += s["wheel1"].get<int>();
        horizontal += s["wheel2"].get<int>();
    }
    // Each axis is shaped by the power curve at 45 degrees: 1500 * 0.7071^1.5 per second.
    const double perAxis = 1500 * std::pow(std::sqrt(0.5), 1.5) * 0.08;
    EXPECT_NEAR(vertical, perAxis, 1);
    EXPECT_NEAR(horizontal, -perAxis, 1);
}

TEST(InjectorGamepad, returningTheStickStopsTheTimerAndDropsTheRemainders) {
    Harness h;
    h.send(sticks(0, 0, full, 0));
    h.queue->advance(20ms);
    EXPECT_NE(h.injector->pointerAccum().x, 0.0);
    h.send(sticks(0, 0, 0, 0));
    EXPECT_FALSE(h.injector->motionTimerActive());
    EXPECT_EQ(h.queue->activeTimers(), 0U);
    EXPECT_EQ(h.injector->pointerAccum().x, 0.0);
    h.take();
    h.queue->advance(100ms);
    EXPECT_EQ(h.take(), Lines{});
}

TEST(InjectorGamepad, withoutAQueueStickMotionHasNoEffect) {
    Harness h;
    auto injector = InputInjector::create(h.sink, h.runtime, h.clock);
    injector->handle(InputPacket(1, sticks(0, 0, full, 0)));
    EXPECT_FALSE(injector->motionTimerActive());
    h.queue->advance(100ms);
    EXPECT_EQ(h.take(), Lines{});
}

TEST(InjectorGamepad, theMotionTimerDoesNotKeepTheInjectorAlive) {
    Harness h;
    h.send(sticks(0, 0, full, 0));
    std::weak_ptr<InputInjector> weak = h.injector;
    h.injector.reset();
    EXPECT_TRUE(weak.expired());
    h.queue->advance(100ms);
    EXPECT_EQ(h.take(), Lines{});
}

TEST(InjectorGamepad, aNewMappingTakesOverAtOnceOrWithTheNextPadPacket) {
    Harness h;
    h.send(padButtons(PadButtons::a));
    h.take();
    // Told at once: a held button's old key is released and its new action pressed.
    h.runtime->publish(preset(GamepadPreset::mouse));  // a: left button, b: right button
    h.injector->padMappingChanged();
    EXPECT_EQ(h.take(), (Lines{keyLine(codeSpace, false), mouseLine(1, 960, 540, 0, 1)}));
    EXPECT_EQ(h.injector->translatorGeneration(), h.runtime->generation());

    // Not told: the next pad packet picks the newer generation up; other events do not.
    h.runtime->publish(preset(GamepadPreset::shooter));
    h.keyEvent(hidA, KeyState::down);
    EXPECT_EQ(h.injector->translatorGeneration(), 1);
    h.take();
    h.send(padButtons({}));
    EXPECT_EQ(h.injector->translatorGeneration(), 2);
    EXPECT_EQ(h.take(), (Lines{mouseLine(2, 960, 540, 0, 1)}));
}

}  // namespace
}  // namespace tarvel::injection::test
