#include "host/platform/asio_serial_queue.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace tarvel::platform {
namespace {

using namespace std::chrono_literals;

/// Waits (bounded) until `predicate` holds.
template <class Predicate>
bool eventually(Predicate predicate) {
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (!predicate() && std::chrono::steady_clock::now() < deadline) {
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

TEST(AsioSerialQueue, cancelledOrDroppedTimersNeverRun) {
    AsioSerialQueue queue("rc.test.timer");
    std::atomic<int> fired{0};
    std::atomic<bool> later{false};
    auto cancelled = queue.schedule(10ms, [&] { fired += 100; });
    cancelled.cancel();
    {
        auto dropped = queue.schedule(10ms, [&] { fired += 1000; });
    }
    auto ticking = queue.repeating(1ms, 2ms, [&] { fired += 1; });
    ASSERT_TRUE(eventually([&] { return fired.load() >= 5; }));
    ticking.cancel();
    queue.sync([] {});  // the cancellation has reached the queue
    const int atCancel = fired.load();
    // A timer due after all the others has run: they would have run before it.
    auto probe = queue.schedule(20ms, [&] { later = true; });
    ASSERT_TRUE(eventually([&] { return later.load(); }));
    EXPECT_EQ(fired.load(), atCancel);
    EXPECT_LT(atCancel, 100);
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

}  // namespace
}  // namespace tarvel::platform
