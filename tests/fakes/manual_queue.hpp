#pragma once

#include <algorithm>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "core/base/serial_queue.hpp"
#include "tests/fakes/fake_clock.hpp"

namespace tarvel::testing {

/// A serial queue that runs nothing until the test says so, on the test's
/// own thread, with timers that follow a FakeClock. `advance` moves the clock
/// in steps and runs every timer due on the way, in deadline order.
class ManualQueue final : public base::SerialQueue {
  public:
    explicit ManualQueue(std::shared_ptr<FakeClock> clock, std::string label = "manual")
        : clock_(std::move(clock)), label_(std::move(label)) {}

    const std::string& label() const override { return label_; }
    void async(Task task) override { tasks_.push_back(std::move(task)); }
    void sync(Task task) override {
        Running running(*this);
        task();
    }
    [[nodiscard]] base::TimerHandle schedule(Duration delay, Task task) override {
        return addTimer(delay, Duration::zero(), std::move(task));
    }
    [[nodiscard]] base::TimerHandle repeating(Duration first, Duration interval,
                                              Task task) override {
        return addTimer(first, interval, std::move(task));
    }
    bool isCurrent() const override { return running_ > 0; }

    /// Runs queued tasks, including ones they queue, until none is left.
    /// Bounded, so a task that requeues itself forever fails the test instead of hanging it.
    void runPending(int limit = 100000) {
        while (!tasks_.empty() && limit-- > 0) {
            Task task = std::move(tasks_.front());
            tasks_.pop_front();
            Running running(*this);
            task();
        }
    }

    /// Moves the clock forward by `total`, running due timers (and the tasks
    /// they queue) at their deadlines.
    void advance(Duration total) {
        runPending();
        const auto end = clock_->now() + total;
        for (int guard = 0; guard < 1000000; ++guard) {
            auto next = nextDue(end);
            if (!next) {
                break;
            }
            if (next->deadline > clock_->now()) {
                clock_->advance(next->deadline - clock_->now());
            }
            fire(next);
            runPending();
        }
        if (end > clock_->now()) {
            clock_->advance(end - clock_->now());
        }
    }

    std::size_t pendingTasks() const { return tasks_.size(); }
    std::size_t activeTimers() const {
        return static_cast<std::size_t>(std::count_if(timers_.begin(), timers_.end(),
                                                      [](const auto& t) { return !t->cancelled; }));
    }

  private:
    struct Timer {
        base::MonotonicTime deadline;
        Duration interval;
        Task task;
        bool cancelled = false;
        std::uint64_t order = 0;
    };
    struct Running {
        explicit Running(ManualQueue& queue) : queue(queue) { ++queue.running_; }
        ~Running() { --queue.running_; }
        ManualQueue& queue;
    };

    base::TimerHandle addTimer(Duration first, Duration interval, Task task) {
        auto timer = std::make_shared<Timer>(
            Timer{clock_->now() + first, interval, std::move(task), false, nextOrder_++});
        timers_.push_back(timer);
        std::weak_ptr<Timer> weak = timer;
        return base::TimerHandle([weak] {
            if (auto strong = weak.lock()) {
                strong->cancelled = true;
            }
        });
    }

    std::shared_ptr<Timer> nextDue(base::MonotonicTime end) {
        std::erase_if(timers_, [](const auto& t) { return t->cancelled; });
        std::shared_ptr<Timer> best;
        for (const auto& timer : timers_) {
            if (timer->deadline <= end &&
                (!best || timer->deadline < best->deadline ||
                 (timer->deadline == best->deadline && timer->order < best->order))) {
                best = timer;
            }
        }
        return best;
    }

    void fire(const std::shared_ptr<Timer>& timer) {
        if (timer->interval == Duration::zero()) {
            timer->cancelled = true;
        } else {
            timer->deadline += timer->interval;
        }
        Running running(*this);
        timer->task();
    }

    std::shared_ptr<FakeClock> clock_;
    std::string label_;
    std::deque<Task> tasks_;
    std::vector<std::shared_ptr<Timer>> timers_;
    std::uint64_t nextOrder_ = 0;
    int running_ = 0;
};

}  // namespace tarvel::testing
