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

/// The handle may outlive the queue (an injector keeps its motion timer), so
/// it holds the queue's context weakly.
template <class QueueState>
base::TimerHandle handleFor(const std::shared_ptr<TimerState>& state,
                            const std::shared_ptr<QueueState>& queue) {
    std::weak_ptr<TimerState> weak = state;
    std::weak_ptr<QueueState> weakQueue = queue;
    return base::TimerHandle([weak, weakQueue] {
        // The queue first: with its context gone the timer is gone too, and
        // must not be revived here.
        auto owner = weakQueue.lock();
        if (!owner) {
            return;
        }
        if (auto strong = weak.lock()) {
            // The flag stops a handler that is already queued; the timer itself
            // may only be touched on the queue's thread.
            strong->cancelled.store(true);
            asio::post(owner->context, [strong] { strong->timer.cancel(); });
        }
    });
}

}  // namespace

AsioSerialQueue::AsioSerialQueue(std::string label)
    : label_(std::move(label)), state_(std::make_shared<State>()) {
    thread_ = std::thread([state = state_, name = label_.substr(0, 15), label = label_] {
        // Thread names are limited to 15 characters; the label is for debuggers.
        pthread_setname_np(pthread_self(), name.c_str());
        for (;;) {
            try {
                state->context.run();
                return;
            } catch (const std::exception& error) {
                // A task's exception must not take the whole queue down.
                base::logLine("task on " + label + " threw: " + error.what());
            }
        }
    });
}

AsioSerialQueue::~AsioSerialQueue() {
    state_->work.reset();
    // Everything already queued runs; timers still waiting are abandoned.
    asio::post(state_->context, [state = state_.get()] { state->context.stop(); });
    if (thread_.joinable()) {
        if (thread_.get_id() == std::this_thread::get_id()) {
            // Destroyed by its own task: run() is still on this stack, so the
            // thread keeps the state alive and frees it once run() returns.
            thread_.detach();
        } else {
            thread_.join();
        }
    }
}

void AsioSerialQueue::async(Task task) {
    asio::post(state_->context, std::move(task));
}

void AsioSerialQueue::sync(Task task) {
    if (isCurrent()) {
        task();
        return;
    }
    std::promise<void> done;
    auto finished = done.get_future();
    asio::post(state_->context, [&task, &done] {
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
    auto state = std::make_shared<TimerState>(state_->context, std::move(task));
    state->timer.expires_after(delay);
    state->timer.async_wait([state](const std::error_code& error) {
        if (!error && !state->cancelled.load()) {
            state->task();
        }
    });
    return handleFor(state, state_);
}

base::TimerHandle AsioSerialQueue::repeating(Duration first, Duration interval, Task task) {
    auto state = std::make_shared<TimerState>(state_->context, std::move(task));
    state->interval = interval;
    state->timer.expires_after(first);
    armRepeating(state);
    return handleFor(state, state_);
}

bool AsioSerialQueue::isCurrent() const {
    return std::this_thread::get_id() == thread_.get_id();
}

}  // namespace tarvel::platform
