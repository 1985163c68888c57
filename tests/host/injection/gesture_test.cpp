#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "tests/host/injection/injector_harness.hpp"

namespace tarvel::injection::test {
namespace {

using Lines = std::vector<std::string>;
using P = GesturePhase;

// Keeps the fields the recording format leaves out.
class ScrollFieldSink : public RecordingEventSink {
  public:
    using RecordingEventSink::post;
    void post(const ScrollEvent& event) override {
        scrolls.push_back(event);
        RecordingEventSink::post(event);
    }
    std::vector<ScrollEvent> scrolls;
};

InputEvent scroll(float sx, float sy) {
    return InputEvent::Scroll{sx, sy};
}

InputEvent pinch(float delta) {
    return InputEvent::PinchZoom{delta, 0};
}

TEST(InjectorScroll, wheelsAreRoundedVerticalFirstAndContinuous) {
    auto sink = std::make_shared<ScrollFieldSink>();
    Harness h(VirtualScreen::standard(), sink);
    h.send(scroll(-2.5F, 10.5F), {}, P::began);
    EXPECT_EQ(h.take(), (Lines{scrollLine(11, -3, 1, 0)}));
    ASSERT_EQ(sink->scrolls.size(), 1U);
    EXPECT_EQ(sink->scrolls[0].continuous, 1);
    EXPECT_TRUE(h.injector->scrollActive());
}

TEST(InjectorScroll, phasesWithoutMomentum) {
    Harness h;
    h.send(scroll(0, 1), {}, P::began);
    h.send(scroll(0, 2), {}, P::changed);
    h.send(scroll(0, 3), {}, P::none);
    h.send(scroll(0, 0), {}, P::ended);
    EXPECT_FALSE(h.injector->scrollActive());
    h.send(scroll(1, 0), {}, P::none);
    EXPECT_TRUE(h.injector->scrollActive());
    h.send(scroll(0, 0), {}, P::cancelled);
    EXPECT_EQ(h.take(),
              (Lines{scrollLine(1, 0, 1, 0), scrollLine(2, 0, 2, 0), scrollLine(3, 0, 2, 0),
                     scrollLine(0, 0, 4, 0), scrollLine(0, 1, 2, 0), scrollLine(0, 0, 8, 0)}));
    EXPECT_FALSE(h.injector->scrollActive());
    EXPECT_FALSE(h.injector->momentumActive());
}

TEST(InjectorScroll, momentumBeginsContinuesAndAnEndEndsTheMomentumNotTheScroll) {
    Harness h;
    h.send(scroll(0, 5), {}, P::began);
    h.send(scroll(0, 0), {}, P::ended);
    h.send(scroll(0, 9), {}, P::momentum);
    EXPECT_TRUE(h.injector->momentumActive());
    h.send(scroll(0, 4), {}, P::momentum);
    h.send(scroll(0, 0), {}, P::ended);
    EXPECT_EQ(h.take(),
              (Lines{scrollLine(5, 0, 1, 0), scrollLine(0, 0, 4, 0), scrollLine(9, 0, 0, 1),
                     scrollLine(4, 0, 0, 2), scrollLine(0, 0, 0, 3)}));
    EXPECT_FALSE(h.injector->momentumActive());

    // A new touch stops momentum: the next end is a plain scroll end; a
    // cancel during momentum ends the momentum.
    h.send(scroll(0, 9), {}, P::momentum);
    h.send(scroll(0, 1), {}, P::began);
    EXPECT_FALSE(h.injector->momentumActive());
    h.send(scroll(0, 0), {}, P::ended);
    h.send(scroll(0, 9), {}, P::momentum);
    h.send(scroll(0, 0), {}, P::cancelled);
    EXPECT_EQ(h.take(),
              (Lines{scrollLine(9, 0, 0, 1), scrollLine(1, 0, 1, 0), scrollLine(0, 0, 4, 0),
                     scrollLine(9, 0, 0, 1), scrollLine(0, 0, 0, 3)}));
}

TEST(InjectorPinch, accumulatesToZoomKeystrokesAndPostsAGesturePerNonZeroDelta) {
    Harness h;
    h.send(pinch(0.05F), {}, P::began);
    EXPECT_EQ(h.take(), (Lines{gestureLine(0.05F)}));
    h.send(pinch(0.05F), {}, P::changed);
    EXPECT_EQ(h.take(), (Lines{keyLine(0x18, true, fCommand), keyLine(0x18, false, fCommand),
                               gestureLine(0.05F)}));
    EXPECT_NEAR(h.injector->zoomAccum(), 0.02F, 1e-6F);

    h.send(pinch(0), {}, P::changed);
    EXPECT_EQ(h.take(), Lines{});

    h.send(pinch(-0.2F), {}, P::changed);  // 0.02 - 0.2 = -0.18: two zoom-out steps
    EXPECT_EQ(h.take(), (Lines{keyLine(0x1B, true, fCommand), keyLine(0x1B, false, fCommand),
                               keyLine(0x1B, true, fCommand), keyLine(0x1B, false, fCommand),
                               gestureLine(-0.2F)}));
    EXPECT_NEAR(h.injector->zoomAccum(), -0.02F, 1e-6F);
}

TEST(InjectorPinch, beganAndEndedResetTheAccumulatorAndHeldModifiersJoinTheFlags) {
    Harness h;
    h.send(pinch(0.07F), {}, P::began);
    h.send(pinch(0.02F), {}, P::began);  // a fresh gesture forgets the 0.07
    EXPECT_EQ(parsed(h.take(), "key").size(), 0U);

    h.send(pinch(0.07F), {}, P::changed);  // 0.09: one step, 0.01 left
    h.send(pinch(0.01F), {}, P::ended);    // 0.02, then forgotten
    EXPECT_EQ(h.injector->zoomAccum(), 0.0F);
    h.take();

    h.send(InputEvent::ModifierState{ModifierMask::shift});
    h.take();
    h.send(pinch(0.08F), {}, P::began);
    EXPECT_EQ(h.take().front(), keyLine(0x18, true, fShift | fCommand));
}

TEST(InjectorUnusableValues, nonFiniteOrHugeScrollAndPinchAreDroppedWithoutTrace) {
    Harness h;
    h.send(scroll(0, 1), {}, P::momentum);
    h.send(pinch(0.05F), {}, P::began);
    h.take();
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::nanf("");
    h.send(scroll(nan, 0), {}, P::began);
    h.send(scroll(0, -inf), {}, P::ended);
    h.send(scroll(0, 3e9F), {}, P::ended);
    h.send(scroll(-2147483904.0F, 0), {}, P::ended);
    h.send(pinch(nan), {}, P::ended);
    h.send(pinch(inf), {}, P::began);
    h.send(pinch(-4.5F), {}, P::changed);
    EXPECT_EQ(h.take(), Lines{});
    EXPECT_TRUE(h.injector->momentumActive());
    EXPECT_NEAR(h.injector->zoomAccum(), 0.05F, 1e-6F);

    // The largest accepted pinch still ends in bounded work.
    h.send(pinch(4.0F), {}, P::began);
    const auto keys = parsed(h.take(), "key");
    EXPECT_EQ(keys.size(), 2U * 50U);
}

// Swipes, shortcuts and media keys number their actions from one: the first
// and last ids map to the first and last rows, ids outside do nothing.
TEST(InjectorKeystrokeEvents, idsCountFromOneAndOthersAreIgnoredHeldModifiersJoin) {
    Harness h;
    for (std::uint8_t direction : {0, 1, 4, 5}) {
        h.send(InputEvent::ThreeFingerSwipe{direction});
    }
    for (std::uint8_t action : {0, 1, 8, 9}) {
        h.send(InputEvent::Shortcut{action});
    }
    for (std::uint8_t id : {0, 1, 8, 9}) {
        h.send(InputEvent::Media{id});
    }
    const std::uint64_t swipeFlags = fControl | fFn;
    EXPECT_EQ(
        h.take(),
        (Lines{keyLine(codeUpArrow, true, swipeFlags), keyLine(codeUpArrow, false, swipeFlags),
               keyLine(0x7B, true, swipeFlags), keyLine(0x7B, false, swipeFlags),
               keyLine(0x08, true, fCommand), keyLine(0x08, false, fCommand),
               keyLine(0x0C, true, fCommand | fControl), keyLine(0x0C, false, fCommand | fControl),
               mediaLine(0, true), mediaLine(0, false), mediaLine(3, true), mediaLine(3, false)}));

    // Held modifiers join; the packet's own mask is not used.
    h.send(InputEvent::ModifierState{ModifierMask::option});
    h.take();
    h.send(InputEvent::ThreeFingerSwipe{4}, ModifierMask::shift);
    h.send(InputEvent::Shortcut{1}, ModifierMask::shift);
    EXPECT_EQ(h.take(), (Lines{keyLine(0x7B, true, swipeFlags | fOption),
                               keyLine(0x7B, false, swipeFlags | fOption),
                               keyLine(0x08, true, fCommand | fOption),
                               keyLine(0x08, false, fCommand | fOption)}));
}

}  // namespace
}  // namespace tarvel::injection::test
