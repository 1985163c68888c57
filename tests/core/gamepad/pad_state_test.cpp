#include "core/gamepad/pad_state.hpp"

#include <gtest/gtest.h>

#include "tests/core/gamepad/gamepad_printers.hpp"

namespace tarvel::gamepad {
namespace {

using namespace std::chrono_literals;
using wire::InputEvent;
using Usages = std::vector<std::uint16_t>;

const PadClock::time_point t0 = PadClock::time_point{} + 1000s;

InputEvent sticks(std::int16_t lx, std::int16_t ly, std::int16_t rx = 0, std::int16_t ry = 0) {
    return InputEvent(InputEvent::GamepadSticks{lx, ly, rx, ry});
}

InputEvent buttons(std::uint32_t bits, std::uint8_t hat = 0, std::uint8_t lt = 0,
                   std::uint8_t rt = 0) {
    return InputEvent(InputEvent::GamepadButtons{bits, hat, lt, rt});
}

// The per-frame values are copied and compared on every packet.
static_assert(std::is_trivially_copyable_v<PadState>);
static_assert(std::is_trivially_copyable_v<PadOutputFrame>);
static_assert(std::is_trivially_copyable_v<PadFrameDiff>);

TEST(PadHat, flagsRebuildTheHatOppositesCancelAndRawValuesAboveEightAreNotHats) {
    int ups = 0, downs = 0, lefts = 0, rights = 0;
    for (std::uint8_t raw = 0; raw <= 8; ++raw) {
        const PadHat hat = *PadHat::fromRawValue(raw);
        EXPECT_EQ(hat.rawValue(), raw);
        EXPECT_EQ(PadHat(hat.up(), hat.down(), hat.left(), hat.right()), hat);
        EXPECT_FALSE((hat.up() && hat.down()) || (hat.left() && hat.right()));
        ups += hat.up(), downs += hat.down(), lefts += hat.left(), rights += hat.right();
    }
    EXPECT_TRUE(ups == 3 && downs == 3 && lefts == 3 && rights == 3);
    EXPECT_EQ(PadHat(true, true, false, true), PadHat::east);
    EXPECT_EQ(PadHat(true, true, true, true), PadHat::neutral);
    EXPECT_FALSE(PadHat::fromRawValue(9).has_value());
}

TEST(PadStateTracker, masksUndefinedBitsIgnoresOtherEventsAndOnlyAHeldPadGoesStale) {
    PadStateTracker tracker;
    EXPECT_TRUE(tracker.apply(sticks(1, 2, 3, 4), t0));
    EXPECT_TRUE(tracker.apply(buttons(0xFFFFFFFF, 9, 10, 20), t0));
    EXPECT_EQ(tracker.state(), (PadState{1, 2, 3, 4, PadButtons(0x7FF), PadHat::neutral, 10, 20}));
    EXPECT_TRUE(tracker.apply(buttons(0x800, 8), t0));
    EXPECT_TRUE(tracker.apply(sticks(-5, -6, -7, -8), t0));
    EXPECT_EQ(tracker.state(), (PadState{-5, -6, -7, -8, {}, PadHat::northWest, 0, 0}));
    tracker.reset();
    EXPECT_FALSE(tracker.apply(InputEvent(InputEvent::Key{4, wire::KeyState::down, false}), t0));
    EXPECT_FALSE(tracker.apply(InputEvent(InputEvent::ResetState{}), t0));
    EXPECT_EQ(tracker.lastUpdate(), std::nullopt);
    EXPECT_TRUE(tracker.apply(sticks(100, -200, 300, -400), t0));
    EXPECT_FALSE(tracker.apply(sticks(100, -200, 300, -400), t0 + 1s));
    EXPECT_EQ(tracker.lastUpdate(), t0 + 1s);
    // The masked value equals the stored one, so this is no change either.
    EXPECT_TRUE(tracker.apply(buttons(0x001), t0 + 2s));
    EXPECT_FALSE(tracker.apply(buttons(0x801), t0 + 3s));
    EXPECT_EQ(tracker.lastUpdate(), t0 + 3s);
    tracker.reset();
    tracker.apply(buttons(0), t0);
    EXPECT_FALSE(tracker.isStale(t0 + 10000h));
    tracker.apply(buttons(0, 0, 0, 1), t0);
    EXPECT_FALSE(tracker.isStale(t0 + padWatchdogTimeout));
    EXPECT_TRUE(tracker.isStale(t0 + padWatchdogTimeout + 1ns));
    // Any pad event, even an unchanged one, restarts the clock.
    tracker.apply(buttons(0, 0, 0, 1), t0 + 1400ms);
    EXPECT_FALSE(tracker.isStale(t0 + 2900ms));
    EXPECT_TRUE(tracker.isStale(t0 + 2901ms));
    // A clock that runs backwards never makes a state stale.
    EXPECT_FALSE(tracker.isStale(t0 - 1h));
    tracker.reset();
    EXPECT_TRUE(tracker.state().isNeutral() && !tracker.lastUpdate() && !tracker.isStale(t0 + 1h));
}

TEST(PadFrameDiff, ordersModifiersAroundKeysLeavesOutWhatIsHeldAndGatesArePerPadKind) {
    const PadOutputFrame many{{0xE7, 0x52, 0xE0, 0x04, 0xE3, 0x2C, 0xFF}};
    Usages pressed, released;
    const PadFrameDiff press(PadOutputFrame{}, many), release(many, PadOutputFrame{});
    press.forEachPress([&](std::uint16_t usage) { pressed.push_back(usage); });
    release.forEachRelease([&](std::uint16_t usage) { released.push_back(usage); });
    EXPECT_EQ(pressed, (Usages{0xE0, 0xE3, 0xE7, 0x04, 0x2C, 0x52, 0xFF}));
    EXPECT_EQ(released, (Usages{0x04, 0x2C, 0x52, 0xFF, 0xE0, 0xE3, 0xE7}));
    EXPECT_TRUE(press.released.isEmpty() && release.pressed.isEmpty());
    // Held keys and buttons and velocity changes are no part of a diff.
    using F = PadOutputFrame;
    const F before{{0x04, 0x05}, F::mouseLeft | F::mouseRight, 100, 0, 0, 0};
    const F after{{0x05, 0x06}, F::mouseRight | F::mouseMiddle, 0, 0, 0, 0};
    const PadFrameDiff diff(before, after);
    EXPECT_EQ(diff.pressed, (input::HIDKeySet{0x06}));
    EXPECT_EQ(diff.released, (input::HIDKeySet{0x04}));
    EXPECT_TRUE(diff.mouseDown == F::mouseMiddle && diff.mouseUp == F::mouseLeft);
    EXPECT_TRUE(
        PadFrameDiff(before, F{before.keys, before.mouseButtons, -300, 0, 0, 12}).isEmpty());
    PadSequenceGates gates;
    const InputEvent stick = sticks(1, 1), key(InputEvent::Key{4, wire::KeyState::down, false});
    EXPECT_TRUE(!gates.accept(0, stick) && gates.accept(5, stick) && gates.accept(100, key) &&
                gates.accept(4, buttons(1)));  // neither gate saw the key's 100
    EXPECT_FALSE(gates.accept(5, stick) || gates.accept(3, buttons(1)) || gates.accept(4, stick));
    EXPECT_TRUE(gates.accept(1, key) && gates.accept(6, stick));
}

}  // namespace
}  // namespace tarvel::gamepad
