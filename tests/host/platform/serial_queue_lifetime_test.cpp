#include <gtest/gtest.h>
#include <chrono>
#include <future>
#include <memory>
#include "host/platform/asio_serial_queue.hpp"

namespace tarvel::platform {
namespace {

using namespace std::chrono_literals;

TEST(AsioSerialQueueLifetime, aQueueDestroyedByItsOwnTaskFinishesSafely) {
    for (int round = 0; round < 20; ++round) {
        auto queue = std::make_shared<AsioSerialQueue>("test.self");
        std::promise<void> destroyed;
        auto done = destroyed.get_future();
        auto timer = queue->schedule(1h, [] {});  // outlives nothing: cancelled with the queue
        // The task holds the last reference: the queue is destroyed on its own thread.
        AsioSerialQueue* raw = queue.get();
        raw->async([keep = std::move(queue), &destroyed]() mutable {
            keep.reset();
            destroyed.set_value();
        });
        ASSERT_EQ(done.wait_for(3s), std::future_status::ready);
        timer.cancel();  // after the queue is gone: must not touch its freed context
    }
}

}  // namespace
}  // namespace tarvel::platform
