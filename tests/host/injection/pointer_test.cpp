#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "tests/host/injection/injector_harness.hpp"

namespace tarvel::injection::test {
namespace {

using testing_lines = std::vector<std::string>;

InputEvent move(float dx, float dy) {
    return InputEvent::MouseMove{dx, dy};
}

InputEvent button(std::uint8_t number, bool down, std::uint8_t clicks = 1) {
    return InputEvent::MouseButton{number, down, clicks};
}

// Counts display queries, to see the cache at work.
class CountingSink : public RecordingEventSink {
  public:
    using RecordingEventSink::RecordingEventSink;
    std::size_t displayRects(std::span<Rect> out) override {
        ++queries;
        return RecordingEventSink::displayRects(out);
    }
    int queries = 0;
};

TEST(InjectorMove, roundsDeltasHalfAwayFromZeroAndMovesByTheExactAmountWithModifiers) {
    Harness h;
    h.send(move(3.5F, -2.5F));
    EXPECT_EQ(h.take(),
              (testing_lines{userActivityLine, mouseLine(5, 963.5, 537.5, 0, 0, 0, 4, -3)}));
    EXPECT_EQ(h.injector->virtualPosition(), (Point{963.5, 537.5}));

    h.keyEvent(hidLeftCommand, KeyState::down);
    h.take();
    h.send(move(-0.5F, 0.25F), ModifierMask::shift);
    EXPECT_EQ(h.take(),
              (testing_lines{mouseLine(5, 963.0, 537.75, 0, 0, fShift | fCommand, -1, 0)}));
}

TEST(InjectorMove, buildsOnThePostedPositionForLessThan100Milliseconds) {
    Harness h;
    h.send(move(10, 0));
    // The real pointer lags behind (or the local user moved it).
    h.sink->setPointerLocation({100, 100});
    h.clock->advance(99ms);
    h.send(move(1, 0));
    EXPECT_EQ(h.take().back(), mouseLine(5, 971, 540, 0, 0, 0, 1, 0));
    // A click lands where the move went, too.
    h.clock->advance(50ms);
    h.send(button(1, true));
    EXPECT_EQ(h.take().back(), mouseLine(1, 971, 540, 0, 1));

    h.send(button(1, false));
    h.sink->setPointerLocation({100, 100});
    h.clock->advance(100ms);
    h.send(move(1, 0));
    EXPECT_EQ(h.take().back(), mouseLine(5, 101, 100, 0, 0, 0, 1, 0));
}

TEST(InjectorMove, fallsBackToTheOriginWhenThePointerCannotBeRead) {
    class Blind : public RecordingEventSink {
      public:
        std::optional<Point> pointerLocation() override { return std::nullopt; }
    };
    Harness h(VirtualScreen::standard(), std::make_shared<Blind>());
    h.send(move(5, 6));
    EXPECT_EQ(h.take().back(), mouseLine(5, 5, 6, 0, 0, 0, 5, 6));
}

TEST(InjectorUserActivity, declaredOnFirstMoveAndAfter30IdleSecondsNotByAFirstClick) {
    Harness h;
    h.send(button(1, true));
    h.send(button(1, false));
    EXPECT_EQ(parsed(h.take(), "userActivity").size(), 0U);

    // The clicks started the idle clock; a move 30 s later is not yet idle.
    h.clock->advance(30s);
    h.send(move(1, 0));
    EXPECT_EQ(parsed(h.take(), "userActivity").size(), 0U);

    h.clock->advance(30s + 1ms);
    h.send(button(2, true));
    EXPECT_EQ(h.take(), (testing_lines{userActivityLine, mouseLine(3, 961, 540, 1, 1)}));

    h.clock->advance(30s + 1ms);
    h.send(move(1, 0));
    h.send(move(1, 0));
    EXPECT_EQ(parsed(h.take(), "userActivity").size(), 1U);
}

TEST(InjectorClamp, aPointOffEveryDisplayLandsOnePixelInsideTheNearestTheFirstWinningTies) {
    // A main display and a shorter one to its right.
    const VirtualScreen two{{Rect{0, 0, 1920, 1080}, Rect{1920, 0, 1280, 1024}}, Point{1000, 500}};
    const struct {
        VirtualScreen screen;
        float dx, dy;
        Point expected;
    } rows[] = {
        {two, 3000, 1000, {3199, 1023}},  // below and right of the second display
        {two, 1500, 550, {2500, 1023}},   // in the notch under the second display
        {two, -5000, 600, {0, 1079}},     // far left of the main display
        {two, 1000, -23, {2000, 477}},    // inside the second display: unchanged
        // (149.5, 50) is 50.5 from both displays.
        {VirtualScreen{{Rect{0, 0, 100, 100}, Rect{200, 0, 100, 100}}, Point{50, 50}},
         99.5F,
         0,
         {99, 50}},
        // No displays: no clamping.
        {VirtualScreen{{}, Point{50, 50}}, -5000, 7000, {-4950, 7050}},
    };
    for (const auto& row : rows) {
        Harness h(row.screen);
        h.send(move(row.dx, row.dy));
        const auto moves = parsed(h.take(), "mouse");
        ASSERT_EQ(moves.size(), 1U);
        EXPECT_EQ((Point{moves[0]["x"], moves[0]["y"]}), row.expected) << row.dx << ", " << row.dy;
    }
}

TEST(InjectorClamp, displayBoundsAreQueriedAtMostOncePerSecond) {
    auto sink = std::make_shared<CountingSink>();
    Harness h(VirtualScreen::standard(), sink);
    for (int i = 0; i < 10; ++i) {
        h.send(move(1, 0));
        h.clock->advance(99ms);
    }
    EXPECT_EQ(sink->queries, 1);
    h.clock->advance(10ms);
    h.send(move(1, 0));
    EXPECT_EQ(sink->queries, 2);
}

TEST(InjectorDrag, theHeldButtonPicksTheDragTypeLeftFirst) {
    Harness h;
    const auto typeAndButtonOfMove = [&h] {
        h.take();
        h.send(move(1, 0));
        const auto moves = parsed(h.take(), "mouse");
        return std::pair(moves.back()["type"].get<int>(), moves.back()["button"].get<int>());
    };
    EXPECT_EQ(typeAndButtonOfMove(), std::pair(5, 0));
    h.send(button(3, true));
    EXPECT_EQ(typeAndButtonOfMove(), std::pair(27, 2));
    h.send(button(2, true));
    EXPECT_EQ(typeAndButtonOfMove(), std::pair(7, 1));
    h.send(button(1, true));
    EXPECT_EQ(typeAndButtonOfMove(), std::pair(6, 0));
    h.send(button(1, false));
    h.send(button(2, false));
    h.send(button(3, false));
    EXPECT_EQ(typeAndButtonOfMove(), std::pair(5, 0));
    EXPECT_EQ(h.injector->state().heldMouseButtons, 0);
}

TEST(InjectorButtons, eachButtonHasItsTypeAndBitUnknownOnesAreIgnoredClicksClamped) {
    Harness h;
    h.send(button(1, true));
    h.send(button(2, true));
    h.send(button(3, true));
    EXPECT_EQ(h.injector->state().heldMouseButtons, 0x07);
    h.send(button(2, false));
    h.send(button(0, true));
    h.send(button(4, true));
    EXPECT_EQ(h.injector->state().heldMouseButtons, 0x05);
    EXPECT_EQ(h.take(),
              (testing_lines{mouseLine(1, 960, 540, 0, 1), mouseLine(3, 960, 540, 1, 1),
                             mouseLine(25, 960, 540, 2, 1), mouseLine(4, 960, 540, 1, 1)}));

    for (std::uint8_t clicks : {0, 2, 3, 255}) {
        h.send(button(1, true, clicks), ModifierMask::option);
    }
    std::vector<int> states;
    for (const auto& event : parsed(h.take(), "mouse")) {
        states.push_back(event["clickState"]);
        EXPECT_EQ(event["flags"], fOption);
    }
    EXPECT_EQ(states, (std::vector<int>{1, 2, 3, 3}));
}

TEST(InjectorUnusableValues, nonFiniteOrUnrepresentableMovesAreDroppedWithoutTrace) {
    Harness h;
    h.send(move(10, 10));
    h.take();
    const auto before = h.injector->virtualPosition();
    const float inf = std::numeric_limits<float>::infinity();
    for (auto [dx, dy] :
         {std::pair{std::nanf(""), 0.0F}, std::pair{0.0F, std::nanf("")}, std::pair{inf, 0.0F},
          std::pair{0.0F, -inf}, std::pair{2147483648.0F, 0.0F}, std::pair{0.0F, 1e20F},
          std::pair{-3e38F, 0.0F}}) {
        h.clock->advance(40s);  // would otherwise declare user activity
        h.send(move(dx, dy));
        EXPECT_EQ(h.take(), testing_lines{}) << dx << ", " << dy;
        EXPECT_EQ(h.injector->virtualPosition(), before);
    }
    // The lowest value that fits still goes through.
    h.clock->advance(50ms);
    h.send(move(-2147483648.0F, 0));
    EXPECT_EQ(h.take().back(), mouseLine(5, 0, 550, 0, 0, 0, -2147483647 - 1, 0));
}

}  // namespace
}  // namespace tarvel::injection::test
