#include "core/client/pad_sender.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "tests/fakes/fake_clock.hpp"
#include "tests/fakes/manual_queue.hpp"

namespace tarvel::client {
namespace {

using namespace std::chrono_literals;
using gamepad::PadButtons;
using gamepad::PadHat;
using gamepad::PadState;
using Sent = std::vector<std::string>;

// Events as short text, so a failing comparison shows the whole sequence.
std::string describe(const wire::InputEvent& event, bool ack) {
    std::string text;
    if (const auto* s = event.as<wire::InputEvent::GamepadSticks>()) {
        text = "sticks " + std::to_string(s->lx) + " " + std::to_string(s->ly) + " " +
               std::to_string(s->rx) + " " + std::to_string(s->ry);
    } else if (const auto* b = event.as<wire::InputEvent::GamepadButtons>()) {
        text = "buttons " + std::to_string(b->buttons) + " " + std::to_string(b->hat) + " " +
               std::to_string(b->lt) + " " + std::to_string(b->rt);
    } else {
        text = "other";
    }
    return ack ? text + " ack" : text;
}

const std::string neutralSticks = "sticks 0 0 0 0";
const std::string neutralButtons = "buttons 0 0 0 0";

class PadSenderTest : public ::testing::Test {
  protected:
    std::shared_ptr<testing::FakeClock> clock = std::make_shared<testing::FakeClock>();
    std::shared_ptr<testing::ManualQueue> queue = std::make_shared<testing::ManualQueue>(clock);
    Sent sent;
    std::shared_ptr<PadSender> sender = PadSender::create(
        queue,
        [this](const wire::InputEvent& event, bool ack) { sent.push_back(describe(event, ack)); });

    /// What was sent since the last call.
    Sent take() { return std::exchange(sent, {}); }
};

TEST_F(PadSenderTest, sendsOnlyTheKindThatChangedAndAsksAckOnlyForButtonsAndHat) {
    sender->update([](PadState& s) { s.lx = 1000; });
    EXPECT_EQ(take(), (Sent{"sticks 1000 0 0 0"}));
    EXPECT_EQ(queue->activeTimers(), 1u);

    sender->update([](PadState& s) { s.buttons.insert(PadButtons::a); });
    EXPECT_EQ(take(), (Sent{"buttons 1 0 0 0 ack"}));

    // A trigger alone is superseded by the next refresh; no ack traffic.
    sender->update([](PadState& s) { s.rt = 200; });
    EXPECT_EQ(take(), (Sent{"buttons 1 0 0 200"}));

    sender->update([](PadState& s) { s.hat = PadHat::east; });
    EXPECT_EQ(take(), (Sent{"buttons 1 3 0 200 ack"}));

    // Both kinds at once: sticks first, and the trigger rides with the button's ack.
    sender->update([](PadState& s) {
        s.ry = -32767;
        s.buttons.remove(PadButtons::a);
        s.lt = 5;
    });
    EXPECT_EQ(take(), (Sent{"sticks 1000 0 0 -32767", "buttons 0 3 5 200 ack"}));

    sender->update([](PadState& s) { s.lx = 1000; });
    EXPECT_EQ(take(), Sent{});
    EXPECT_EQ(sender->current(), (PadState{1000, 0, 0, -32767, {}, PadHat::east, 5, 200}));
    EXPECT_EQ(queue->activeTimers(), 1u);
}

TEST_F(PadSenderTest, firstUpdateComparesAgainstNeutralSoNeutralPartsStaySilent) {
    sender->update([](PadState& s) { s.lt = 7; });
    EXPECT_EQ(take(), (Sent{"buttons 0 0 7 0"}));

    sender->update([](PadState& s) { s.lt = 0; });
    EXPECT_EQ(take(), (Sent{neutralButtons}));

    // Never sent a stick, so zero sticks are not news; nor is a neutral edit.
    sender->update([](PadState&) {});
    EXPECT_EQ(take(), Sent{});
}

TEST_F(PadSenderTest, refreshesBothKindsEveryPeriodWhileHeldWithoutDisturbingTheRhythm) {
    sender->update([](PadState& s) {
        s.lx = -5;
        s.buttons.insert(PadButtons::b);
    });
    take();
    const Sent refresh{"sticks -5 0 0 0", "buttons 2 0 0 0"};

    queue->advance(49ms);
    EXPECT_EQ(take(), Sent{});
    queue->advance(1ms);
    EXPECT_EQ(take(), refresh);

    // An update that changes nothing neither sends nor shifts the next tick.
    queue->advance(20ms);
    sender->update([](PadState& s) { s.buttons.insert(PadButtons::b); });
    EXPECT_EQ(take(), Sent{});
    queue->advance(29ms);
    EXPECT_EQ(take(), Sent{});
    queue->advance(1ms);
    EXPECT_EQ(take(), refresh);

    // Held for two seconds, beyond the host's watchdog: a refresh every period.
    queue->advance(2000ms);
    const Sent got = take();
    ASSERT_EQ(got.size(), 2u * 40);
    for (std::size_t i = 0; i < got.size(); i += 2) {
        EXPECT_EQ(Sent(got.begin() + i, got.begin() + i + 2), refresh) << "refresh " << i / 2;
    }

    // A change between ticks goes out at once and the next refresh carries it.
    sender->update([](PadState& s) { s.lx = 9; });
    EXPECT_EQ(take(), (Sent{"sticks 9 0 0 0"}));
    queue->advance(50ms);
    EXPECT_EQ(take(), (Sent{"sticks 9 0 0 0", "buttons 2 0 0 0"}));
}

TEST_F(PadSenderTest, afterNeutralSendsExactlyThreeTailRefreshesThenStops) {
    sender->update([](PadState& s) {
        s.ly = 300;
        s.hat = PadHat::south;
    });
    take();
    queue->advance(50ms);
    take();

    sender->update([](PadState& s) { s = {}; });
    EXPECT_EQ(take(), (Sent{neutralSticks, neutralButtons + " ack"}));

    for (int tick = 0; tick < PadSender::tailRefreshes; ++tick) {
        queue->advance(50ms);
        EXPECT_EQ(take(), (Sent{neutralSticks, neutralButtons})) << "tail refresh " << tick;
    }
    queue->advance(50ms);
    EXPECT_EQ(take(), Sent{});
    EXPECT_EQ(queue->activeTimers(), 0u);
    queue->advance(1s);
    EXPECT_EQ(take(), Sent{});

    // A control touched between two tail ticks restarts the full tail.
    sender->update([](PadState& s) { s.rt = 1; });
    queue->advance(50ms);
    sender->update([](PadState& s) { s.rt = 0; });
    queue->advance(100ms);
    sender->update([](PadState& s) { s.rt = 1; });
    sender->update([](PadState& s) { s.rt = 0; });
    take();
    queue->advance(500ms);
    EXPECT_EQ(take().size(), 2u * PadSender::tailRefreshes);
    EXPECT_EQ(queue->activeTimers(), 0u);
}

TEST_F(PadSenderTest, resetLocalStopsSilentlyAndTheNextUpdateResendsEverything) {
    const auto hold = [](PadState& s) {
        s.rx = 42;
        s.buttons = PadButtons::x | PadButtons::start;
        s.lt = 9;
    };
    sender->update(hold);
    take();
    queue->advance(50ms);
    take();

    sender->resetLocal();
    EXPECT_EQ(take(), Sent{});
    EXPECT_EQ(queue->activeTimers(), 0u);
    EXPECT_EQ(sender->current(), PadState{});
    queue->advance(1s);
    EXPECT_EQ(take(), Sent{});

    sender->update(hold);
    EXPECT_EQ(take(), (Sent{"sticks 0 0 42 0", "buttons 260 0 9 0 ack"}));
    EXPECT_EQ(queue->activeTimers(), 1u);
    queue->advance(50ms);
    EXPECT_EQ(take(), (Sent{"sticks 0 0 42 0", "buttons 260 0 9 0"}));

    // Reset during the tail: no tail refreshes survive it.
    sender->update([](PadState& s) { s = {}; });
    take();
    sender->resetLocal();
    queue->advance(1s);
    EXPECT_EQ(take(), Sent{});
}

TEST(PadSender, sinkRunsWithTheLockReleasedAndADroppedSenderStopsRefreshing) {
    auto clock = std::make_shared<testing::FakeClock>();
    auto queue = std::make_shared<testing::ManualQueue>(clock);
    std::weak_ptr<PadSender> weak;
    int calls = 0;
    int blocked = 0;
    // Kept past the sink's return: a reader stuck on a held lock is joined
    // only once the lock is free again.
    std::vector<std::future<PadState>> readers;
    auto sender = PadSender::create(queue, [&](const wire::InputEvent&, bool) {
        ++calls;
        // Another thread must get through the lock while the sink runs.
        readers.push_back(
            std::async(std::launch::async, [&weak] { return weak.lock()->current(); }));
        if (readers.back().wait_for(2s) != std::future_status::ready) {
            ++blocked;
        }
    });
    weak = sender;

    sender->update([](PadState& s) {
        s.lx = 1;
        s.buttons.insert(PadButtons::guide);
    });
    queue->advance(50ms);
    EXPECT_EQ(calls, 4);
    EXPECT_EQ(blocked, 0);
    for (auto& reader : readers) {
        EXPECT_EQ(reader.get().lx, 1);
    }

    sender.reset();
    EXPECT_TRUE(weak.expired());
    queue->advance(1s);
    EXPECT_EQ(calls, 4);
}

}  // namespace
}  // namespace tarvel::client
