#include "host/platform/asio_serial_queue.hpp"
#include <gtest/gtest.h>
#include <atomic>
#include <chrono>
#include <future>
#include <numeric>
#include <vector>

namespace tarvel::platform {
namespace {

using namespace std::chrono_literals;

TEST(AsioSerialQueue, runsTasksInOrderOnItsThreadNeverRunsCancelledTimersAndDrainsWhenDestroyed) {
    std::vector<int> order, expected(201);  // touched only on the queue
    std::atomic<bool> elsewhere{false};
    std::atomic<int> fired{0}, ran{0};
    {
        AsioSerialQueue queue("rc.test.serial");
        for (int i = 0; i < 200; ++i)
            queue.async([&, i] { elsewhere = elsewhere || !queue.isCurrent(), order.push_back(i); });
        queue.async([] { throw std::runtime_error("boom"); });  // must not stop the queue
        // A nested sync from the queue would deadlock if it waited on itself.
        queue.sync([&] { queue.sync([&] { order.push_back(200); }); });
        EXPECT_FALSE(elsewhere.load() || queue.isCurrent());
        std::iota(expected.begin(), expected.end(), 0);
        EXPECT_EQ(order, expected);
        std::promise<void> ticked, probed;
        queue.schedule(10ms, [&] { fired += 100; }).cancel();
        (void)queue.schedule(10ms, [&] { fired += 1000; });  // dropped at once
        auto ticking = queue.repeating(1ms, 2ms, [&] { if (++fired == 5) ticked.set_value(); });
        ASSERT_EQ(ticked.get_future().wait_for(2s), std::future_status::ready);
        ticking.cancel();
        queue.sync([] {});  // the cancellation has reached the queue
        const int atCancel = fired.load();
        // A timer due after all the others has run: they would have run before it.
        auto probe = queue.schedule(20ms, [&] { probed.set_value(); });
        ASSERT_EQ(probed.get_future().wait_for(2s), std::future_status::ready);
        EXPECT_EQ(fired.load(), atCancel);
        EXPECT_LT(atCancel, 100);
        auto timer = queue.schedule(10s, [&] { ran += 100; });
        for (int i = 0; i < 10; ++i) queue.async([&] { ran += 1; });
    }
    EXPECT_EQ(ran.load(), 10);  // the queued tasks ran, the timer did not
}

}  // namespace
}  // namespace tarvel::platform
