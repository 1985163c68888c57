#include "core/client/pad_sender.hpp"

#include <gtest/gtest.h>

#include <future>
#include <mutex>
#include <thread>

#include "tests/fakes/fake_clock.hpp"
#include "tests/fakes/manual_queue.hpp"

namespace tarvel::client {
namespace {

using namespace std::chrono_literals;
using gamepad::PadButtons;
using gamepad::PadHat;
using gamepad::PadState;
using Sent = std::vector<std::string>;
using Edit = std::function<void(PadState&)>;

std::string describe(const wire::InputEvent& event, bool ack) {
    const auto join = [](auto... v) { return ((" " + std::to_string(v)) + ...); };
    std::string text = "other";
    if (const auto* s = event.as<wire::InputEvent::GamepadSticks>()) {
        text = "sticks" + join(s->lx, s->ly, s->rx, s->ry);
    } else if (const auto* b = event.as<wire::InputEvent::GamepadButtons>()) {
        text = "buttons" + join(b->buttons, b->hat, b->lt, b->rt);
    }
    return ack ? text + " ack" : text;
}

struct PadSenderTest : ::testing::Test {
    std::shared_ptr<testing::FakeClock> clock = std::make_shared<testing::FakeClock>();
    std::shared_ptr<testing::ManualQueue> queue = std::make_shared<testing::ManualQueue>(clock);
    Sent sent;
    std::shared_ptr<PadSender> sender = PadSender::create(
        queue, [this](const wire::InputEvent& e, bool ack) { sent.push_back(describe(e, ack)); });
    Sent take() { return std::exchange(sent, {}); }  // what was sent since the last call
    Sent after(const Edit& edit) { return sender->update(edit), take(); }
    Sent after(std::chrono::nanoseconds wait) { return queue->advance(wait), take(); }
};

TEST_F(PadSenderTest, sendsOnlyTheKindThatChangedAgainstNeutralAndAsksAckOnlyForButtonsAndHat) {
    const std::pair<Edit, Sent> steps[] = {
        {[](PadState& s) { s.lt = 7; }, {"buttons 0 0 7 0"}},
        {[](PadState& s) { s.lt = 0; }, {"buttons 0 0 0 0"}},
        {[](PadState&) {}, {}},  // never sent a stick, so zero sticks are not news
        {[](PadState& s) { s.lx = 1000; }, {"sticks 1000 0 0 0"}},
        {[](PadState& s) { s.buttons.insert(PadButtons::a); }, {"buttons 1 0 0 0 ack"}},
        {[](PadState& s) { s.rt = 200; }, {"buttons 1 0 0 200"}},  // the next refresh heals it
        {[](PadState& s) { s.hat = PadHat::east; }, {"buttons 1 3 0 200 ack"}},
        {[](PadState& s) { s.ry = -32767, s.buttons.remove(PadButtons::a), s.lt = 5; },
         {"sticks 1000 0 0 -32767", "buttons 0 3 5 200 ack"}},  // the trigger rides the ack
    };
    for (std::size_t i = 0; i < std::size(steps); ++i) {
        EXPECT_EQ(after(steps[i].first), steps[i].second) << "step " << i;
    }
    EXPECT_EQ(sender->current(), (PadState{1000, 0, 0, -32767, {}, PadHat::east, 5, 200}));
}

TEST_F(PadSenderTest, refreshesBothKindsEveryPeriodWhileHeldWithoutDisturbingTheRhythm) {
    after([](PadState& s) { s.lx = -5, s.buttons.insert(PadButtons::b); });
    const Sent refresh{"sticks -5 0 0 0", "buttons 2 0 0 0"};
    EXPECT_EQ(after(50ms), refresh);
    queue->advance(20ms);  // an update that changes nothing neither sends nor shifts the tick
    EXPECT_EQ(after([](PadState& s) { s.buttons.insert(PadButtons::b); }), Sent{});
    EXPECT_EQ(after(29ms), Sent{});
    EXPECT_EQ(after(1ms), refresh);
    // Held beyond the host's watchdog: a refresh every period.
    EXPECT_EQ(after(2000ms).size(), 2u * 40);
    // A change between ticks goes out at once and the next refresh carries it.
    EXPECT_EQ(after([](PadState& s) { s.lx = 9; }), (Sent{"sticks 9 0 0 0"}));
    EXPECT_EQ(after(50ms), (Sent{"sticks 9 0 0 0", "buttons 2 0 0 0"}));
}

TEST_F(PadSenderTest, afterNeutralSendsExactlyThreeTailRefreshesAndATouchRestartsThem) {
    const Sent neutral{"sticks 0 0 0 0", "buttons 0 0 0 0"};
    after([](PadState& s) { s.ly = 300, s.hat = PadHat::south; });
    EXPECT_EQ(after([](PadState& s) { s = {}; }), (Sent{neutral[0], neutral[1] + " ack"}));
    EXPECT_EQ(after(100ms).size(), 4u);
    after([](PadState& s) { s.rt = 1; });
    after([](PadState& s) { s.rt = 0; });
    for (int tick = 0; tick < PadSender::tailRefreshes; ++tick) {
        EXPECT_EQ(after(50ms), neutral) << "tail refresh " << tick;
    }
    EXPECT_EQ(after(1s), Sent{});
    EXPECT_EQ(queue->activeTimers(), 0u);
}

TEST_F(PadSenderTest, resetLocalStopsSilentlyAndTheNextUpdateResendsEverything) {
    const Edit hold = [](PadState& s) {
        s.rx = 42, s.buttons = PadButtons::x | PadButtons::start, s.lt = 9;
    };
    after(hold);
    sender->resetLocal();
    EXPECT_EQ(sender->current(), PadState{});
    EXPECT_EQ(after(1s), Sent{});
    EXPECT_EQ(after(hold), (Sent{"sticks 0 0 42 0", "buttons 260 0 9 0 ack"}));
    EXPECT_EQ(after(50ms), (Sent{"sticks 0 0 42 0", "buttons 260 0 9 0"}));
    after([](PadState& s) { s = {}; });
    sender->resetLocal();  // during the tail: no tail refreshes survive it
    EXPECT_EQ(after(1s), Sent{});
}

TEST(PadSender, sinkRunsWithTheLockReleasedAndADroppedSenderStopsRefreshing) {
    auto queue = std::make_shared<testing::ManualQueue>(std::make_shared<testing::FakeClock>());
    std::weak_ptr<PadSender> weak;
    std::vector<std::future<PadState>> readers;  // a reader stuck on the lock joins once it is free
    auto sender = PadSender::create(queue, [&](const wire::InputEvent&, bool) {
        readers.push_back(
            std::async(std::launch::async, [&weak] { return weak.lock()->current(); }));
        EXPECT_EQ(readers.back().wait_for(2s), std::future_status::ready);
    });
    weak = sender;
    sender->update([](PadState& s) { s.lx = 1, s.buttons.insert(PadButtons::guide); });
    queue->advance(50ms);
    EXPECT_EQ(readers.size(), 4u);
    for (auto& reader : readers) EXPECT_EQ(reader.get().lx, 1);
    sender.reset();
    EXPECT_TRUE(weak.expired());
    queue->advance(1s);
    EXPECT_EQ(readers.size(), 4u);
}

TEST(PadSender, aRefreshRacingAnUpdateNeverSendsTheOlderStateLast) {
    auto queue = std::make_shared<testing::ManualQueue>(std::make_shared<testing::FakeClock>());
    std::mutex mutex;
    Sent sent;
    std::promise<void> refreshing;
    bool first = true;
    auto sender = PadSender::create(queue, [&](const wire::InputEvent& e, bool ack) {
        bool stall = false;
        {
            std::lock_guard lock(mutex);
            sent.push_back(describe(e, ack));
            stall = std::exchange(first, false);
        }
        if (stall) {  // the refresh's first event: let the update run meanwhile
            refreshing.set_value();
            std::this_thread::sleep_for(50ms);
        }
    });
    first = false;
    sender->update([](PadState& s) { s.buttons.insert(PadButtons::a); });
    first = true;
    std::thread timer([&] { queue->advance(50ms); });
    refreshing.get_future().wait();
    sender->update([](PadState& s) { s.buttons.remove(PadButtons::a); });
    timer.join();
    std::lock_guard lock(mutex);
    EXPECT_EQ(sent.back(), "buttons 0 0 0 0 ack") << "the release was overtaken by the refresh";
}

}  // namespace
}  // namespace tarvel::client
