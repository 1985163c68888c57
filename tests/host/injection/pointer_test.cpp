// Pointer moves, buttons, scrolling and pinching.
#include <gtest/gtest.h>
#include <cmath>
#include <limits>
#include "tests/host/injection/injector_harness.hpp"

namespace tarvel::injection::test {
namespace {

using P = GesturePhase;

const auto move = [](float dx, float dy) -> InputEvent { return InputEvent::MouseMove{dx, dy}; };
const auto button = [](std::uint8_t number, bool down, std::uint8_t clicks = 1) -> InputEvent { return InputEvent::MouseButton{number, down, clicks}; };
const auto scroll = [](float sx, float sy) -> InputEvent { return InputEvent::Scroll{sx, sy}; };
const auto pinch = [](float delta) -> InputEvent { return InputEvent::PinchZoom{delta, 0}; };

TEST(InjectorMove, roundsDeltasHalfAwayFromZeroAndMovesByTheExactAmountWithModifiers) {
    Harness h;
    h.send(move(3.5F, -2.5F));
    EXPECT_EQ(h.take(), (Lines{userActivityLine, mouseLine(5, 963.5, 537.5, 0, 0, 0, 4, -3)}));
    h.keyEvent(hidLeftCommand, KeyState::down);
    h.take();
    h.send(move(-0.5F, 0.25F), ModifierMask::shift);
    EXPECT_EQ(h.take(), (Lines{mouseLine(5, 963.0, 537.75, 0, 0, fShift | fCommand, -1, 0)}));
}

TEST(InjectorClamp, aPointOffEveryDisplayLandsOnePixelInsideTheNearestTheFirstWinningTies) {
    const VirtualScreen two{{Rect{0, 0, 1920, 1080}, Rect{1920, 0, 1280, 1024}}, Point{1000, 500}};
    const VirtualScreen apart{{Rect{0, 0, 100, 100}, Rect{200, 0, 100, 100}}, Point{50, 50}};
    const struct {
        VirtualScreen screen;
        float dx, dy;
        Point expected;
    } rows[] = {
        {two, 3000, 1000, {3199, 1023}},  // below and right of the shorter second display
        {two, 1500, 550, {2500, 1023}},   // in the notch under the second display
        {two, 1000, -23, {2000, 477}},    // inside the second display: unchanged
        {apart, 99.5F, 0, {99, 50}},      // (149.5, 50) is 50.5 from both displays
        {VirtualScreen{{}, Point{50, 50}}, -5000, 7000, {-4950, 7050}},  // no displays
    };
    for (const auto& row : rows) {
        Harness h(row.screen);
        h.send(move(row.dx, row.dy));
        const auto moves = parsed(h.take(), "mouse");
        ASSERT_EQ(moves.size(), 1U);
        EXPECT_EQ((Point{moves[0]["x"], moves[0]["y"]}), row.expected) << row.dx << ", " << row.dy;
    }
}

TEST(InjectorButtons, typesBitsClickCountsAndDragsFollowTheHeldButtons) {
    Harness h;
    const auto dragOfAMove = [&h] {
        h.take();
        h.send(move(1, 0));
        const auto moves = parsed(h.take(), "mouse");
        return std::pair(moves.back()["type"].get<int>(), moves.back()["button"].get<int>());
    };
    EXPECT_EQ(dragOfAMove(), std::pair(5, 0));
    h.send(button(3, true));
    EXPECT_EQ(dragOfAMove(), std::pair(27, 2));
    h.send(button(2, true));
    EXPECT_EQ(dragOfAMove(), std::pair(7, 1));
    h.send(button(1, true));
    EXPECT_EQ(dragOfAMove(), std::pair(6, 0));  // the left button wins
    h.send(button(2, false));
    h.send(button(0, true));  // unknown buttons are ignored
    h.send(button(4, true));
    EXPECT_EQ(h.injector->state().heldMouseButtons, 0x05);
    h.send(button(1, false));
    h.send(button(3, false));
    EXPECT_EQ(h.take(), (Lines{mouseLine(4, 964, 540, 1, 1), mouseLine(2, 964, 540, 0, 1),
                               mouseLine(26, 964, 540, 2, 1)}));
    for (std::uint8_t clicks : {0, 2, 3, 255}) {  // click counts are clamped to 1 ... 3
        h.send(button(1, true, clicks), ModifierMask::option);
    }
    EXPECT_EQ(
        h.take(),
        (Lines{mouseLine(1, 964, 540, 0, 1, fOption), mouseLine(1, 964, 540, 0, 2, fOption),
               mouseLine(1, 964, 540, 0, 3, fOption), mouseLine(1, 964, 540, 0, 3, fOption)}));
}

TEST(InjectorScroll, wheelsRoundVerticalFirstAndPhasesAndMomentumFollowTheGesture) {
    Harness h;
    h.send(scroll(-2.5F, 10.5F), {}, P::began);
    h.send(scroll(0, 2), {}, P::changed);
    h.send(scroll(0, 3), {}, P::none);
    h.send(scroll(0, 0), {}, P::ended);
    h.send(scroll(0, 9), {}, P::momentum);
    h.send(scroll(0, 4), {}, P::momentum);
    h.send(scroll(0, 0), {}, P::ended);  // ends the momentum, not a scroll
    EXPECT_FALSE(h.injector->momentumActive() || h.injector->scrollActive());
    EXPECT_EQ(h.take(),
              (Lines{scrollLine(11, -3, 1, 0), scrollLine(2, 0, 2, 0), scrollLine(3, 0, 2, 0),
                     scrollLine(0, 0, 4, 0), scrollLine(9, 0, 0, 1), scrollLine(4, 0, 0, 2),
                     scrollLine(0, 0, 0, 3)}));
    // A new touch stops momentum, so the next end is a plain one; a cancel ends either.
    h.send(scroll(0, 9), {}, P::momentum);
    h.send(scroll(0, 1), {}, P::began);
    h.send(scroll(0, 0), {}, P::ended);
    h.send(scroll(1, 0), {}, P::none);
    h.send(scroll(0, 0), {}, P::cancelled);
    h.send(scroll(0, 9), {}, P::momentum);
    h.send(scroll(0, 0), {}, P::cancelled);
    EXPECT_EQ(h.take(),
              (Lines{scrollLine(9, 0, 0, 1), scrollLine(1, 0, 1, 0), scrollLine(0, 0, 4, 0),
                     scrollLine(0, 1, 2, 0), scrollLine(0, 0, 8, 0), scrollLine(9, 0, 0, 1),
                     scrollLine(0, 0, 0, 3)}));
}

TEST(InjectorPinch, accumulatesToZoomKeystrokesUntilTheGestureBeginsOrEndsAgain) {
    Harness h;
    h.send(pinch(0.05F), {}, P::began);
    h.send(pinch(0.05F), {}, P::changed);  // 0.1: one zoom-in step, 0.02 left
    h.send(pinch(-0.2F), {}, P::changed);  // -0.18: two zoom-out steps
    const auto in = keyLine(0x18, true, fCommand), out = keyLine(0x1B, true, fCommand);
    EXPECT_EQ(h.take(), (Lines{gestureLine(0.05F), in, keyLine(0x18, false, fCommand),
                               gestureLine(0.05F), out, keyLine(0x1B, false, fCommand), out,
                               keyLine(0x1B, false, fCommand), gestureLine(-0.2F)}));
    h.send(pinch(0.07F), {}, P::began);  // a fresh gesture forgets what was left
    h.send(pinch(0.02F), {}, P::began);
    EXPECT_EQ(parsed(h.take(), "key").size(), 0U);
    h.send(pinch(0.07F), {}, P::changed);  // 0.09: one step, 0.01 left
    h.send(pinch(0.01F), {}, P::ended);    // 0.02, then forgotten
    EXPECT_EQ(h.injector->zoomAccum(), 0.0F);
}

TEST(InjectorUnusableValues, nonFiniteOrUnrepresentableValuesAreDroppedWithoutTrace) {
    Harness h;
    h.send(move(10, 10));
    h.send(scroll(0, 1), {}, P::momentum);
    h.send(pinch(0.05F), {}, P::began);
    h.take();
    const auto before = h.injector->virtualPosition();
    const float inf = std::numeric_limits<float>::infinity(), nan = std::nanf("");
    h.clock->advance(40s);  // would otherwise declare user activity
    for (auto [dx, dy] :
         {std::pair{nan, 0.0F}, std::pair{0.0F, nan}, std::pair{inf, 0.0F}, std::pair{0.0F, -inf},
          std::pair{2147483648.0F, 0.0F}, std::pair{0.0F, 1e20F}, std::pair{-3e38F, 0.0F}}) {
        h.send(move(dx, dy));
    }
    h.send(scroll(nan, 0), {}, P::began);
    h.send(scroll(0, -inf), {}, P::ended);
    h.send(scroll(0, 3e9F), {}, P::ended);
    h.send(scroll(-2147483904.0F, 0), {}, P::ended);
    h.send(pinch(nan), {}, P::ended);
    h.send(pinch(inf), {}, P::began);
    h.send(pinch(-4.5F), {}, P::changed);
    EXPECT_EQ(h.take(), Lines{});
    EXPECT_EQ(h.injector->virtualPosition(), before);
    EXPECT_TRUE(h.injector->momentumActive());
    EXPECT_NEAR(h.injector->zoomAccum(), 0.05F, 1e-6F);
    // The extremes that still fit go through, in bounded work.
    h.send(move(-2147483648.0F, 0));
    EXPECT_EQ(h.take().back(), mouseLine(5, 0, 550, 0, 0, 0, -2147483647 - 1, 0));
    h.send(pinch(4.0F), {}, P::began);
    EXPECT_EQ(parsed(h.take(), "key").size(), 2U * 50U);
}

}  // namespace
}  // namespace tarvel::injection::test
