#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace tarvel::base {

/// A scheduled piece of work that can be called off. Cancels when destroyed,
/// so work never outlives the object that asked for it. Move-only.
class TimerHandle {
  public:
    TimerHandle() = default;
    explicit TimerHandle(std::function<void()> cancel) : cancel_(std::move(cancel)) {}
    TimerHandle(TimerHandle&& other) noexcept : cancel_(std::move(other.cancel_)) {
        other.cancel_ = nullptr;
    }
    TimerHandle& operator=(TimerHandle&& other) noexcept {
        if (this != &other) {
            cancel();
            cancel_ = std::move(other.cancel_);
            other.cancel_ = nullptr;
        }
        return *this;
    }
    TimerHandle(const TimerHandle&) = delete;
    TimerHandle& operator=(const TimerHandle&) = delete;
    ~TimerHandle() { cancel(); }

    /// Work that has not started will not run; work already running finishes.
    void cancel() {
        if (cancel_) {
            auto cancel = std::move(cancel_);
            cancel_ = nullptr;
            cancel();
        }
    }
    bool active() const noexcept { return static_cast<bool>(cancel_); }

  private:
    std::function<void()> cancel_;
};

/// A serial queue: tasks run one at a time, in the order they were queued,
/// on one thread of the queue's own. Safe to call from any thread.
class SerialQueue {
  public:
    using Task = std::function<void()>;
    using Duration = std::chrono::nanoseconds;

    virtual ~SerialQueue() = default;

    virtual const std::string& label() const = 0;

    /// Queues `task` after everything queued before it.
    virtual void async(Task task) = 0;

    /// Runs `task` on the queue and waits for it. Called from the queue's own
    /// thread it runs the task at once rather than waiting on itself.
    virtual void sync(Task task) = 0;

    /// Runs `task` once, `delay` from now, unless the handle is cancelled or dropped first.
    [[nodiscard]] virtual TimerHandle schedule(Duration delay, Task task) = 0;

    /// Runs `task` every `interval`, first `first` from now, until cancelled.
    /// Ticks missed while the queue was busy are skipped, not bunched up.
    [[nodiscard]] virtual TimerHandle repeating(Duration first, Duration interval, Task task) = 0;

    /// True when called from a task of this queue.
    virtual bool isCurrent() const = 0;
};

}  // namespace tarvel::base
