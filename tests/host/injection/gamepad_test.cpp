// The gamepad path, releasing everything and the stale-input watchdog.
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

InputEvent padButtons(PadButtons buttons, std::uint8_t hat = 0, std::uint8_t rt = 0) {
    return InputEvent::GamepadButtons{buttons.rawValue, hat, 0, rt};
}
InputEvent sticks(std::int16_t rx, std::int16_t ry) {
    return InputEvent::GamepadSticks{0, 0, rx, ry};
}
CompiledPadMapping preset(GamepadPreset which) {
    return CompiledPadMapping(gamepad::presetMapping(which));
}

struct Motion {
    int moves = 0, dx = 0, dy = 0, largestStep = 0;
};

Motion motionIn(const Lines& lines) {
    Motion m;
    for (const auto& move : parsed(lines, "mouse")) {
        EXPECT_EQ(move["type"], 5);
        const int dx = move["dx"], dy = move["dy"];
        ++m.moves;
        m.dx += dx;
        m.dy += dy;
        m.largestStep = std::max({m.largestStep, std::abs(dx), std::abs(dy)});
    }
    return m;
}

TEST(InjectorGamepad, buttonsHoldTheirActionsModifiersFirstUntilReleased) {
    Harness h;
    // l3 is Left Shift, a is Space, the right trigger the left mouse button, the hat up Up Arrow.
    h.send(padButtons(PadButtons::a | PadButtons::leftStick, 1, 200));
    EXPECT_EQ(h.take(),
              (Lines{mouseLine(1, 960, 540, 0, 1), keyLine(codeShift, true, fShift),
                     keyLine(codeSpace, true, fShift), keyLine(codeUpArrow, true, fShift | fFn)}));
    h.clock->advance(50ms);
    h.send(padButtons(PadButtons::a | PadButtons::leftStick, 1, 200));  // a re-send changes nothing
    EXPECT_EQ(h.take(), Lines{});
    h.send(padButtons({}));
    EXPECT_EQ(h.take(),
              (Lines{keyLine(codeSpace, false, fShift), keyLine(codeUpArrow, false, fShift | fFn),
                     keyLine(codeShift, false, 0), mouseLine(2, 960, 540, 0, 1)}));
    EXPECT_FALSE(h.injector->state().holdsAnything());
}

TEST(InjectorGamepad, aFullyDeflectedMouseStickMovesFourteenHundredPixelsPerSecond) {
    Harness h;
    h.send(sticks(full, 0));
    EXPECT_TRUE(h.injector->motionTimerActive());
    h.queue->advance(500ms);  // 62 ticks of 8 ms, 11.2 pixels each
    const Motion right = motionIn(h.take());
    EXPECT_EQ(right.moves, 62);
    EXPECT_NEAR(right.dx, 694, 1);
    EXPECT_EQ(right.dy, 0);
    EXPECT_LE(right.largestStep, 12);

    h.send(sticks(0, full));  // pushing up moves the pointer up
    h.queue->advance(200ms);
    const Motion up = motionIn(h.take());
    EXPECT_NEAR(up.dy, -280, 2);
    EXPECT_NEAR(up.dx, 0, 1);

    // The queue was busy for 200 ms: the late tick moves at most 50 ms worth.
    h.clock->advance(200ms);
    h.queue->advance(0ms);
    const Motion late = motionIn(h.take());
    EXPECT_EQ(late.moves, 1);
    EXPECT_NEAR(late.dy, -70, 1);  // 1400 px/s for 0.05 s, plus at most a carried pixel

    // Back to the centre: the timer stops and the remainders go.
    h.send(sticks(0, 0));
    EXPECT_FALSE(h.injector->motionTimerActive());
    EXPECT_EQ(h.queue->activeTimers(), 0U);
    EXPECT_EQ(h.injector->pointerAccum().y, 0.0);
}

TEST(InjectorGamepad, aSlowButtonSpeedKeepsItsFractionsAcrossTicks) {
    Harness h;
    auto mapping = gamepad::GamepadMapping::defaults();
    mapping.bindings[gamepad::PadControl::x] =
        gamepad::PadBinding::mouseMove(gamepad::PadDirection::right, 0.25);  // 150 px/s
    h.runtime->publish(CompiledPadMapping(mapping.normalized()));
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
    h.send(sticks(full, full));
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

TEST(InjectorGamepad, stickMotionNeedsAQueueAndNeverKeepsTheInjectorAlive) {
    Harness h;
    auto withoutQueue = InputInjector::create(h.sink, h.runtime, h.clock);
    withoutQueue->handle(InputPacket(1, sticks(full, 0)));
    EXPECT_FALSE(withoutQueue->motionTimerActive());

    h.send(sticks(full, 0));
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
    h.runtime->publish(preset(GamepadPreset::mouse));  // a: the left mouse button
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

TEST(InjectorReleaseAll, releasesButtonsKeysModifiersThenScrollInThatOrder) {
    Harness h;
    h.send(InputEvent::MouseButton{3, true, 1});
    h.send(InputEvent::MouseButton{1, true, 1});
    h.keyEvent(hidZ, KeyState::down);
    h.keyEvent(hidA, KeyState::down);
    h.keyEvent(hidRightShift, KeyState::down);
    h.keyEvent(hidLeftCommand, KeyState::down);
    h.send(padButtons(PadButtons::a));  // Space, by the shooter preset
    h.send(sticks(full, 0));            // right stick: pointer motion
    h.send(InputEvent::Scroll{0, 4}, {}, GesturePhase::began);
    h.send(InputEvent::Scroll{0, 9}, {}, GesturePhase::momentum);
    h.send(InputEvent::PinchZoom{0.05F, 0}, {}, GesturePhase::began);
    h.send(InputEvent::MouseMove{10, 5});
    h.take();

    h.clock->advance(20ms);
    h.injector->releaseAll();
    EXPECT_EQ(h.take(), (Lines{mouseLine(2, 970, 545, 0, 1), mouseLine(26, 970, 545, 2, 1),
                               keyLine(codeA, false), keyLine(codeZ, false),
                               keyLine(codeSpace, false), keyLine(codeShift, false, fCommand),
                               keyLine(codeCommand, false), scrollLine(0, 0, 0, 3)}));
    EXPECT_FALSE(h.injector->state().holdsAnything());
    EXPECT_EQ(h.injector->state().lastPacketTime, h.clock->now());
    EXPECT_FALSE(h.injector->scrollActive() || h.injector->momentumActive());
    EXPECT_EQ(h.injector->zoomAccum(), 0.0F);
    EXPECT_TRUE(h.injector->pad().state().isNeutral());
    EXPECT_TRUE(h.injector->translator().output().isEmpty());
    EXPECT_EQ(h.queue->activeTimers(), 0U);
    h.injector->releaseAll();
    EXPECT_EQ(h.take(), Lines{});

    // A plain scroll ends with the ended phase; the client's reset releases everything.
    h.send(InputEvent::Scroll{0, 4}, {}, GesturePhase::began);
    h.keyEvent(hidW, KeyState::down);
    h.take();
    h.send(InputEvent::ResetState{});
    EXPECT_EQ(h.take(), (Lines{keyLine(codeW, false), scrollLine(0, 0, 4, 0)}));
}

TEST(InjectorSupervise, releasesHeldInputOnlyAfterMoreThanOneAndAHalfSecondsWithoutPackets) {
    Harness h;
    h.send(InputEvent::Scroll{0, 4}, {}, GesturePhase::began);
    h.take();
    h.clock->advance(10s);
    h.injector->superviseTick();  // nothing held: nothing to do
    EXPECT_TRUE(h.injector->scrollActive());

    h.keyEvent(hidA, KeyState::down);
    h.take();
    h.clock->advance(1500ms);
    h.injector->superviseTick();
    EXPECT_EQ(h.take(), Lines{});
    h.clock->advance(1ms);
    h.injector->superviseTick();
    EXPECT_EQ(h.take().front(), keyLine(codeA, false));
}

TEST(InjectorSupervise, aStalePadReleasesWhatItsMappingHeldAndNothingElse) {
    Harness h;
    h.send(InputEvent::ModifierState{ModifierMask::shift});
    h.send(padButtons(PadButtons::a | PadButtons::leftStick));  // Space and Left Shift
    h.send(sticks(full, 0));
    h.take();
    // Other packets keep arriving, so only the pad is stale.
    h.clock->advance(1000ms);
    h.send(InputEvent::Media{0});
    h.clock->advance(500ms);
    h.injector->superviseTick();
    EXPECT_EQ(h.take(), Lines{});
    h.clock->advance(1ms);
    h.injector->superviseTick();
    EXPECT_EQ(h.take(), (Lines{keyLine(codeSpace, false, fShift), keyLine(codeShift, false, 0)}));
    EXPECT_TRUE(h.injector->pad().state().isNeutral());
    EXPECT_FALSE(h.injector->motionTimerActive());
    // The pad's Left Shift was the held shift: releasing it released the modifier.
    EXPECT_TRUE(h.injector->state().heldModifiers.isEmpty());
}

}  // namespace
}  // namespace tarvel::injection::test
