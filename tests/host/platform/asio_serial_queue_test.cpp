#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "host/platform/asio_serial_queue.hpp"
#include "tests/fakes/manual_queue.hpp"

namespace tarvel::platform {
namespace {

using namespace std::chrono_literals;

/// Waits (bounded) until `predicate` holds.
template <class Predicate>
bool eventually(Predicate predicate, std::chrono::milliseconds limit = 2000ms) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (predicate()) {
            return true;
        }
        std::this_thread::sleep_for(1ms);
    }
    return predicate();
}

TEST(AsioSerialQueue, runsTasksOneAtATimeInOrderOnItsOwnThread) {
    AsioSerialQueue queue("rc.test.serial");
    std::vector<int> order;  // touched only on the queue
    std::atomic<int> concurrent{0};
    std::atomic<bool> overlapped{false};
    for (int i = 0; i < 200; ++i) {
        queue.async([&, i] {
            if (concurrent.fetch_add(1) != 0) {
                overlapped = true;
            }
            EXPECT_TRUE(queue.isCurrent());
            order.push_back(i);
            concurrent.fetch_sub(1);
        });
    }
    queue.sync([] {});
    EXPECT_FALSE(overlapped.load());
    ASSERT_EQ(order.size(), 200u);
    for (int i = 0; i < 200; ++i) {
        EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
    }
    EXPECT_FALSE(queue.isCurrent());
}

TEST(AsioSerialQueue, syncWaitsForTheTaskAndRunsInlineFromTheQueueItself) {
    AsioSerialQueue queue("rc.test.sync");
    int value = 0;
    queue.sync([&] {
        std::this_thread::sleep_for(20ms);
        value = 1;
        // A nested sync from the queue would deadlock if it waited on itself.
        queue.sync([&] { value = 2; });
    });
    EXPECT_EQ(value, 2);
}

TEST(AsioSerialQueue, cancelledOrDroppedScheduledWorkNeverRuns) {
    AsioSerialQueue queue("rc.test.timer");
    std::atomic<int> fired{0};
    auto kept = queue.schedule(10ms, [&] { fired += 1; });
    auto cancelled = queue.schedule(10ms, [&] { fired += 100; });
    cancelled.cancel();
    {
        auto dropped = queue.schedule(10ms, [&] { fired += 1000; });
    }
    EXPECT_TRUE(eventually([&] { return fired.load() >= 1; }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(fired.load(), 1);
}

TEST(AsioSerialQueue, repeatingTimerTicksUntilCancelled) {
    AsioSerialQueue queue("rc.test.repeat");
    std::atomic<int> ticks{0};
    auto timer = queue.repeating(1ms, 2ms, [&] { ticks += 1; });
    EXPECT_TRUE(eventually([&] { return ticks.load() >= 5; }));
    timer.cancel();
    queue.sync([] {});  // the cancellation has reached the queue
    const int atCancel = ticks.load();
    std::this_thread::sleep_for(30ms);
    EXPECT_LE(ticks.load(), atCancel + 1);
}

TEST(AsioSerialQueue, destructionRunsWhatIsQueuedAndDropsTimers) {
    std::atomic<int> ran{0};
    std::atomic<int> timerRan{0};
    {
        AsioSerialQueue queue("rc.test.stop");
        auto timer = queue.schedule(10s, [&] { timerRan += 1; });
        for (int i = 0; i < 10; ++i) {
            queue.async([&] { ran += 1; });
        }
        timer.cancel();
    }
    EXPECT_EQ(ran.load(), 10);
    EXPECT_EQ(timerRan.load(), 0);
}

TEST(AsioSerialQueue, aThrowingTaskDoesNotStopTheQueue) {
    AsioSerialQueue queue("rc.test.throw");
    queue.async([] { throw std::runtime_error("boom"); });
    int after = 0;
    queue.sync([&] { after = 1; });
    EXPECT_EQ(after, 1);
}

TEST(ManualQueue, timersFollowTheFakeClockInDeadlineOrder) {
    auto clock = std::make_shared<testing::FakeClock>();
    testing::ManualQueue queue(clock);
    std::vector<std::string> log;
    auto late = queue.schedule(30ms, [&] { log.push_back("late"); });
    auto tick = queue.repeating(8ms, 8ms, [&] { log.push_back("tick"); });
    auto early = queue.schedule(10ms, [&] { log.push_back("early"); });
    queue.advance(25ms);
    EXPECT_EQ(log, (std::vector<std::string>{"tick", "early", "tick", "tick"}));
    tick.cancel();
    queue.advance(10ms);
    EXPECT_EQ(log.back(), "late");
    EXPECT_EQ(queue.activeTimers(), 0u);
}

}  // namespace
}  // namespace tarvel::platform
