#include "host/platform/asio_serial_queue.hpp"

#include <pthread.h>

#include <atomic>
#include <future>

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include "core/base/log.hpp"

namespace tarvel::platform {

using base::SerialQueue;

namespace {

/// One scheduled task: the timer, the task and a flag any thread may set.
struct TimerState {
    TimerState(asio::io_context& context, SerialQueue::Task task)
        : timer(context), task(std::move(task)) {}
    asio::steady_timer timer;
    SerialQueue::Task task;
    SerialQueue::Duration interval{};
    std::atomic<bool> cancelled{false};
};

void armRepeating(const std::shared_ptr<TimerState>& state) {
    state->timer.async_wait([state](const std::error_code& error) {
        if (error || state->cancelled.load()) {
            return;
        }
        state->task();
        if (state->cancelled.load()) {
            return;
        }
        // Keep the cadence, but skip ticks missed while the queue was busy.
        auto next = state->timer.expiry() + state->interval;
        const auto now = asio::steady_timer::clock_type::now();
        if (next < now) {
            next = now + state->interval;
        }
        state->timer.expires_at(next);
        armRepeating(state);
    });
}

base::TimerHandle handleFor(const std::shared_ptr<TimerState>& state, asio::io_context& context) {
    std::weak_ptr<TimerState> weak = state;
    return base::TimerHandle([weak, &context] {
        if (auto strong = weak.lock()) {
            // The flag stops a handler that is already queued; the timer itself
            // may only be touched on the queue's thread.
            strong->cancelled.store(true);
            asio::post(context, [strong] { strong->timer.cancel(); });
        }
    });
}

}  // namespace

AsioSerialQueue::AsioSerialQueue(std::string label)
    : label_(std::move(label)), work_(asio::make_work_guard(context_)) {
    thread_ = std::thread([this] {
        // Thread names are limited to 15 characters; the label is for debuggers.
        pthread_setname_np(pthread_self(), label_.substr(0, 15).c_str());
        for (;;) {
            try {
                context_.run();
                return;
            } catch (const std::exception& error) {
                // A task's exception must not take the whole queue down.
                base::logLine("task on " + label_ + " threw: " + error.what());
            }
        }
    });
}

AsioSerialQueue::~AsioSerialQueue() {
    work_.reset();
    // Everything already queued runs; timers still waiting are abandoned.
    asio::post(context_, [this] { context_.stop(); });
    if (thread_.joinable()) {
        if (thread_.get_id() == std::this_thread::get_id()) {
            thread_.detach();  // destroyed from its own task: cannot join itself
        } else {
            thread_.join();
        }
    }
}

void AsioSerialQueue::async(Task task) {
    asio::post(context_, std::move(task));
}

void AsioSerialQueue::sync(Task task) {
    if (isCurrent()) {
        task();
        return;
    }
    std::promise<void> done;
    auto finished = done.get_future();
    asio::post(context_, [&task, &done] {
        try {
            task();
            done.set_value();
        } catch (...) {
            done.set_exception(std::current_exception());
        }
    });
    finished.get();
}

base::TimerHandle AsioSerialQueue::schedule(Duration delay, Task task) {
    auto state = std::make_shared<TimerState>(context_, std::move(task));
    state->timer.expires_after(delay);
    state->timer.async_wait([state](const std::error_code& error) {
        if (!error && !state->cancelled.load()) {
            state->task();
        }
    });
    return handleFor(state, context_);
}

base::TimerHandle AsioSerialQueue::repeating(Duration first, Duration interval, Task task) {
    auto state = std::make_shared<TimerState>(context_, std::move(task));
    state->interval = interval;
    state->timer.expires_after(first);
    armRepeating(state);
    return handleFor(state, context_);
}

bool AsioSerialQueue::isCurrent() const {
    return std::this_thread::get_id() == thread_.get_id();
}

}  // namespace tarvel::platform
