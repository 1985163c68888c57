// The gamepad path, releasing everything and the stale-input watchdog.
#include <gtest/gtest.h>
#include "core/gamepad/gamepad_mapping.hpp"
#include "tests/host/injection/injector_harness.hpp"

namespace tarvel::injection::test {
namespace {

using gamepad::GamepadPreset;
using gamepad::PadButtons;

constexpr std::int16_t full = 32767;

const auto padButtons = [](PadButtons buttons, std::uint8_t hat = 0, std::uint8_t rt = 0) -> InputEvent {
    return InputEvent::GamepadButtons{buttons.rawValue, hat, 0, rt};
};
const auto sticks = [](std::int16_t rx, std::int16_t ry) -> InputEvent { return InputEvent::GamepadSticks{0, 0, rx, ry}; };

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
}

TEST(InjectorGamepad, aFullyDeflectedStickMoves1400PixelsPerSecondOnTheQueueOnly) {
    Harness h;
    const auto moved = [&h] {
        std::pair<int, int> sum{0, 0};  // (moves, dx + dy)
        for (const auto& move : parsed(h.take(), "mouse")) {
            sum = {sum.first + 1, sum.second + move["dx"].get<int>() + move["dy"].get<int>()};
        }
        return sum;
    };
    h.send(sticks(full, 0));
    h.queue->advance(500ms);  // 62 ticks of 8 ms, 11.2 pixels each
    EXPECT_EQ(moved(), std::pair(62, 694));
    h.send(sticks(0, full));  // pushing up moves the pointer up
    h.clock->advance(200ms);  // the queue was busy: the late tick moves at most 50 ms worth
    h.queue->advance(0ms);
    EXPECT_EQ(moved(), std::pair(1, -70));
    h.send(sticks(0, 0));  // back to the centre: the timer stops
    EXPECT_EQ(h.queue->activeTimers(), 0U);
    h.send(sticks(full, 0));  // the timer never keeps the injector alive
    std::weak_ptr<InputInjector> weak = h.injector;
    h.injector.reset();
    EXPECT_TRUE(weak.expired());
}

TEST(InjectorGamepad, aNewMappingReleasesAHeldButtonsOldActionAndPressesItsNewOne) {
    Harness h;
    h.send(padButtons(PadButtons::a));
    h.take();
    h.runtime->publish(gamepad::CompiledPadMapping(gamepad::presetMapping(GamepadPreset::mouse)));  // a: the left mouse button
    h.injector->padMappingChanged();
    EXPECT_EQ(h.take(), (Lines{keyLine(codeSpace, false), mouseLine(1, 960, 540, 0, 1)}));
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

TEST(InjectorSupervise, afterMoreThan1500MsWithoutPacketsOrPadPacketsItReleasesWhatWasHeld) {
    Harness h;
    h.send(InputEvent::ModifierState{ModifierMask::shift});
    h.send(padButtons(PadButtons::a | PadButtons::leftStick));  // Space and Left Shift
    h.send(sticks(full, 0));
    h.take();
    h.clock->advance(1000ms);
    h.send(InputEvent::Media{0});  // other packets keep arriving: only the pad goes stale
    h.clock->advance(500ms);
    h.injector->superviseTick();
    EXPECT_EQ(h.take(), Lines{});
    h.clock->advance(1ms);
    h.injector->superviseTick();
    EXPECT_EQ(h.take(), (Lines{keyLine(codeSpace, false, fShift), keyLine(codeShift, false, 0)}));
    EXPECT_FALSE(h.injector->motionTimerActive());
    // The pad's Left Shift was the held shift: releasing it released the modifier.
    EXPECT_TRUE(h.injector->state().heldModifiers.isEmpty());
    h.keyEvent(hidA, KeyState::down);
    h.take();
    h.clock->advance(1501ms);
    h.injector->superviseTick();
    EXPECT_EQ(h.take().front(), keyLine(codeA, false));
}

}  // namespace
}  // namespace tarvel::injection::test
