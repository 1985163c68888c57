#include <gtest/gtest.h>

#include "tests/host/injection/injector_harness.hpp"

namespace tarvel::injection::test {
namespace {

using Lines = std::vector<std::string>;
using gamepad::PadButtons;

InputEvent padButtons(PadButtons buttons) {
    return InputEvent::GamepadButtons{buttons.rawValue, 0, 0, 0};
}

TEST(InjectorReleaseAll, releasesButtonsKeysModifiersThenScrollInThatOrder) {
    Harness h;
    h.send(InputEvent::MouseButton{3, true, 1});
    h.send(InputEvent::MouseButton{1, true, 1});
    h.keyEvent(hidZ, KeyState::down);
    h.keyEvent(hidA, KeyState::down);
    h.keyEvent(hidRightShift, KeyState::down);
    h.keyEvent(hidLeftCommand, KeyState::down);
    h.send(padButtons(PadButtons::a));                  // Space, by the shooter preset
    h.send(InputEvent::GamepadSticks{0, 0, 32767, 0});  // right stick: pointer motion
    h.send(InputEvent::Scroll{0, 4}, {}, GesturePhase::began);
    h.send(InputEvent::Scroll{0, 9}, {}, GesturePhase::momentum);
    h.send(InputEvent::PinchZoom{0.05F, 0}, {}, GesturePhase::began);
    h.send(InputEvent::MouseMove{10, 5});
    ASSERT_TRUE(h.injector->motionTimerActive());
    h.take();

    h.clock->advance(20ms);
    h.injector->releaseAll();
    EXPECT_EQ(h.take(), (Lines{
                            mouseLine(2, 970, 545, 0, 1),
                            mouseLine(26, 970, 545, 2, 1),
                            keyLine(codeA, false),
                            keyLine(codeZ, false),
                            keyLine(codeSpace, false),
                            keyLine(codeShift, false, fCommand),
                            keyLine(codeCommand, false),
                            scrollLine(0, 0, 0, 3),
                        }));

    const auto& state = h.injector->state();
    EXPECT_FALSE(state.holdsAnything());
    EXPECT_EQ(state.lastPacketTime, h.clock->now());
    EXPECT_FALSE(h.injector->scrollActive());
    EXPECT_FALSE(h.injector->momentumActive());
    EXPECT_EQ(h.injector->zoomAccum(), 0.0F);
    EXPECT_TRUE(h.injector->pad().state().isNeutral());
    EXPECT_FALSE(h.injector->pad().lastUpdate().has_value());
    EXPECT_TRUE(h.injector->translator().output().isEmpty());
    EXPECT_FALSE(h.injector->motionTimerActive());
    EXPECT_EQ(h.queue->activeTimers(), 0U);

    h.queue->advance(100ms);
    h.injector->releaseAll();
    EXPECT_EQ(h.take(), Lines{});
}

TEST(InjectorReleaseAll, endsAPlainScrollWithTheEndedPhase) {
    Harness h;
    h.send(InputEvent::Scroll{0, 4}, {}, GesturePhase::began);
    h.take();
    h.injector->releaseAll();
    EXPECT_EQ(h.take(), (Lines{scrollLine(0, 0, 4, 0)}));
}

TEST(InjectorReleaseAll, theClientsResetStateEventReleasesEverything) {
    Harness h;
    h.send(InputEvent::ModifierState{ModifierMask(0x0C)});
    h.keyEvent(hidW, KeyState::down);
    h.take();
    h.send(InputEvent::ResetState{});
    EXPECT_EQ(h.take(), (Lines{keyLine(codeW, false), keyLine(codeOption, false, fCommand),
                               keyLine(codeCommand, false)}));
}

TEST(InjectorSupervise, releasesHeldInputOnlyAfterMoreThanOneAndAHalfSecondsWithoutPackets) {
    Harness h;
    h.keyEvent(hidA, KeyState::down);
    h.take();
    h.clock->advance(1500ms);
    h.injector->superviseTick();
    EXPECT_EQ(h.take(), Lines{});
    h.clock->advance(1ms);
    h.injector->superviseTick();
    EXPECT_EQ(h.take(), (Lines{keyLine(codeA, false)}));
}

TEST(InjectorSupervise, doesNothingWhenNothingIsHeld) {
    Harness h;
    h.send(InputEvent::Scroll{0, 4}, {}, GesturePhase::began);
    h.keyEvent(hidA, KeyState::down);
    h.keyEvent(hidA, KeyState::up);
    h.take();
    h.clock->advance(10s);
    h.injector->superviseTick();
    EXPECT_EQ(h.take(), Lines{});
    EXPECT_TRUE(h.injector->scrollActive());
}

TEST(InjectorSupervise, aStalePadReleasesWhatItsMappingHeldAndNothingElse) {
    Harness h;
    h.send(InputEvent::ModifierState{ModifierMask::shift});
    h.send(padButtons(PadButtons::a | PadButtons::leftStick));  // Space and Left Shift
    h.send(InputEvent::GamepadSticks{0, 0, 32767, 0});
    ASSERT_TRUE(h.injector->motionTimerActive());
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
    EXPECT_FALSE(h.injector->pad().lastUpdate().has_value());
    EXPECT_TRUE(h.injector->translator().output().isEmpty());
    EXPECT_FALSE(h.injector->motionTimerActive());
    // The pad's Left Shift was the held shift: releasing it released the modifier.
    EXPECT_TRUE(h.injector->state().heldModifiers.isEmpty());
}

}  // namespace
}  // namespace tarvel::injection::test
