#pragma once

#include <algorithm>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "core/base/serial_queue.hpp"
#include "tests/fakes/fake_clock.hpp"

namespace tarvel::testing {

/// A serial queue that runs nothing until the test says so, on the test's own thread,
/// with timers that follow a FakeClock.
class ManualQueue final : public base::SerialQueue {
  public:
    explicit ManualQueue(std::shared_ptr<FakeClock> clock, std::string label = "manual")
        : clock_(std::move(clock)), label_(std::move(label)) {}

    const std::string& label() const override { return label_; }
    void async(Task task) override { tasks_.push_back(std::move(task)); }
    void sync(Task task) override { run(task); }
    [[nodiscard]] base::TimerHandle schedule(Duration delay, Task task) override {
        return addTimer(delay, Duration::zero(), std::move(task));
    }
    [[nodiscard]] base::TimerHandle repeating(Duration first, Duration interval,
                                              Task task) override {
        return addTimer(first, interval, std::move(task));
    }
    bool isCurrent() const override { return running_ > 0; }
    /// Runs queued tasks, including ones they queue; bounded so a self-requeueing task fails.
    void runPending(int limit = 100000) {
        while (!tasks_.empty() && limit-- > 0) {
            Task task = std::move(tasks_.front());
            tasks_.pop_front();
            run(task);
        }
    }

    /// Moves the clock by `total`, running due timers (and what they queue) at their deadlines.
    void advance(Duration total) {
        runPending();
        const auto end = clock_->now() + total;
        for (int guard = 0; guard < 1000000; ++guard) {
            auto next = nextDue(end);
            if (!next) {
                break;
            }
            clock_->advance(std::max(Duration::zero(), next->deadline - clock_->now()));
            next->cancelled = next->interval == Duration::zero();  // one-shot timers fire once
            next->deadline += next->interval;
            run(next->task);
            runPending();
        }
        clock_->advance(std::max(Duration::zero(), end - clock_->now()));
    }

    std::size_t activeTimers() const {
        return std::ranges::count_if(timers_, [](const auto& t) { return !t->cancelled; });
    }

  private:
    struct Timer {
        base::MonotonicTime deadline;
        Duration interval;
        Task task;
        bool cancelled = false;
    };

    void run(Task& task) {
        ++running_;
        task();
        --running_;
    }

    base::TimerHandle addTimer(Duration first, Duration interval, Task task) {
        auto timer =
            std::make_shared<Timer>(Timer{clock_->now() + first, interval, std::move(task)});
        timers_.push_back(timer);
        return base::TimerHandle([weak = std::weak_ptr<Timer>(timer)] {
            if (auto strong = weak.lock()) {
                strong->cancelled = true;
            }
        });
    }

    /// The earliest live timer due by `end`; ties go to the one made first.
    std::shared_ptr<Timer> nextDue(base::MonotonicTime end) {
        std::erase_if(timers_, [](const auto& t) { return t->cancelled; });
        auto it = std::ranges::min_element(timers_, {}, [](const auto& t) { return t->deadline; });
        return it != timers_.end() && (*it)->deadline <= end ? *it : nullptr;
    }

    std::shared_ptr<FakeClock> clock_;
    std::string label_;
    std::deque<Task> tasks_;
    std::vector<std::shared_ptr<Timer>> timers_;
    int running_ = 0;
};

}  // namespace tarvel::testing
