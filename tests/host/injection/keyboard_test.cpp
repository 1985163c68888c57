#include <gtest/gtest.h>

#include "tests/host/injection/injector_harness.hpp"

namespace tarvel::injection::test {
namespace {

using Lines = std::vector<std::string>;

// A window system that cannot make key events.
class NoKeyEventsSink : public RecordingEventSink {
  public:
    std::optional<KeyboardEvent> createKeyboardEvent(std::uint16_t, bool) override {
        return std::nullopt;
    }
};

InputEvent modifiers(std::uint8_t raw) {
    return InputEvent::ModifierState{ModifierMask(raw)};
}

TEST(InjectorKey, downRepeatUpPostsTheKeyCodeWithAutorepeatOnTheRepeat) {
    Harness h;
    h.keyEvent(hidA, KeyState::down);
    EXPECT_TRUE(h.injector->state().heldHIDKeys.contains(hidA));
    h.keyEvent(hidA, KeyState::repeat);
    EXPECT_TRUE(h.injector->state().heldHIDKeys.contains(hidA));
    h.keyEvent(hidA, KeyState::up);
    EXPECT_EQ(h.take(),
              (Lines{keyLine(codeA, true), keyLine(codeA, true, 0, 1), keyLine(codeA, false)}));
    EXPECT_TRUE(h.injector->state().heldHIDKeys.isEmpty());
}

TEST(InjectorKey, arrowsCarryTheFnFlagOtherKeysDoNot) {
    Harness h;
    h.keyEvent(hidRightArrow, KeyState::down, ModifierMask::shift);
    h.keyEvent(hidUpArrow, KeyState::up);
    h.keyEvent(0x4C, KeyState::down);  // forward delete, just below the arrows
    EXPECT_EQ(h.take(), (Lines{keyLine(codeRightArrow, true, fShift | fFn),
                               keyLine(codeUpArrow, false, fFn), keyLine(0x75, true)}));
}

TEST(InjectorKey, aUsageWithoutKeyCodeIsNeitherPostedNorRecorded) {
    Harness h;
    h.keyEvent(0x03, KeyState::down);
    h.keyEvent(0xF0, KeyState::down);
    EXPECT_EQ(h.take(), Lines{});
    EXPECT_TRUE(h.injector->state().heldHIDKeys.isEmpty());
}

TEST(InjectorModifierKeys, leftCommandHeldMakesLaterKeysCommandKeys) {
    Harness h;
    h.keyEvent(hidLeftCommand, KeyState::down);
    h.keyEvent(hidZ, KeyState::down);
    h.keyEvent(hidZ, KeyState::up);
    h.keyEvent(hidLeftShift, KeyState::down);
    // The client still reports Command held as the key comes up: the key's own bit is dropped.
    h.keyEvent(hidLeftCommand, KeyState::up, ModifierMask::command);
    h.keyEvent(hidLeftShift, KeyState::up);
    EXPECT_EQ(h.take(),
              (Lines{keyLine(codeCommand, true, fCommand), keyLine(codeZ, true, fCommand),
                     keyLine(codeZ, false, fCommand), keyLine(codeShift, true, fShift | fCommand),
                     keyLine(codeCommand, false, fShift), keyLine(codeShift, false, 0)}));
    EXPECT_TRUE(h.injector->state().heldModifiers.isEmpty());
    EXPECT_TRUE(h.injector->state().heldHIDKeys.isEmpty());
}

TEST(InjectorModifierKeys, packetMaskAddsToHeldModifiersForOneEventOnly) {
    Harness h;
    h.keyEvent(hidLeftControl, KeyState::down);
    h.keyEvent(hidA, KeyState::down, ModifierMask::option);
    h.keyEvent(hidA, KeyState::up);
    EXPECT_EQ(h.take(),
              (Lines{keyLine(codeControl, true, fControl), keyLine(codeA, true, fControl | fOption),
                     keyLine(codeA, false, fControl)}));
    EXPECT_EQ(h.injector->state().heldModifiers, ModifierMask::control);
}

TEST(InjectorModifierKeys, rightHandModifiersAreRecordedButNotPostedThenReleasedAsLeftHand) {
    Harness h;
    h.keyEvent(hidRightShift, KeyState::down);
    h.keyEvent(hidRightCommand, KeyState::down);
    EXPECT_EQ(h.take(), Lines{});
    EXPECT_TRUE(h.injector->state().heldHIDKeys.contains(hidRightShift));
    EXPECT_TRUE(h.injector->state().heldHIDKeys.contains(hidRightCommand));
    EXPECT_TRUE(h.injector->state().heldModifiers.isEmpty());

    h.injector->releaseAll();
    EXPECT_EQ(h.take(), (Lines{keyLine(codeShift, false, fCommand), keyLine(codeCommand, false)}));
    EXPECT_TRUE(h.injector->state().heldHIDKeys.isEmpty());

    h.keyEvent(hidRightShift, KeyState::down);
    h.keyEvent(hidRightShift, KeyState::up);
    EXPECT_TRUE(h.injector->state().heldHIDKeys.isEmpty());
}

TEST(InjectorModifierKeys, heldStateChangesEvenWhenNoEventCanBeMade) {
    Harness h(VirtualScreen::standard(), std::make_shared<NoKeyEventsSink>());
    h.keyEvent(hidLeftShift, KeyState::down);
    h.keyEvent(hidA, KeyState::down);
    EXPECT_EQ(h.take(), Lines{});
    EXPECT_EQ(h.injector->state().heldModifiers, ModifierMask::shift);
    EXPECT_TRUE(h.injector->state().heldHIDKeys.contains(hidLeftShift));
    EXPECT_TRUE(h.injector->state().heldHIDKeys.contains(hidA));
    h.send(modifiers(0x08));
    EXPECT_EQ(h.injector->state().heldModifiers, ModifierMask::command);
}

TEST(InjectorSetModifiers, postsChangedBitsInShiftControlOptionCommandOrder) {
    Harness h;
    h.send(modifiers(0x09));
    EXPECT_EQ(h.take(), (Lines{keyLine(codeShift, true, fShift),
                               keyLine(codeCommand, true, fShift | fCommand)}));
    h.send(modifiers(0x09));
    EXPECT_EQ(h.take(), Lines{});
    h.send(modifiers(0x00));
    EXPECT_EQ(h.take(), (Lines{keyLine(codeShift, false, fCommand), keyLine(codeCommand, false)}));

    h.send(modifiers(0x0E));
    EXPECT_EQ(h.take(), (Lines{keyLine(codeControl, true, fControl),
                               keyLine(codeOption, true, fControl | fOption),
                               keyLine(codeCommand, true, fControl | fOption | fCommand)}));
    // Only the bits that differ are posted: shift on, control off.
    h.send(modifiers(0x0D));
    EXPECT_EQ(h.take(), (Lines{keyLine(codeShift, true, fShift | fControl | fOption | fCommand),
                               keyLine(codeControl, false, fShift | fOption | fCommand)}));
    EXPECT_EQ(h.injector->state().heldModifiers, ModifierMask(0x0D));
    EXPECT_TRUE(h.injector->state().heldHIDKeys.isEmpty());

    // Later keys carry the absolute state.
    h.keyEvent(hidA, KeyState::down);
    EXPECT_EQ(h.take(), (Lines{keyLine(codeA, true, fShift | fOption | fCommand)}));
}

}  // namespace
}  // namespace tarvel::injection::test
