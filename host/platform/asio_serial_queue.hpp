#pragma once

#include <memory>
#include <string>
#include <thread>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

#include "core/base/serial_queue.hpp"

namespace tarvel::platform {

/// A serial queue backed by an asio io_context run by one thread of its own.
/// Sockets and timers of the server bind to `context()` so their handlers run
/// on the queue. Destruction runs what is already queued, drops pending
/// timers, and joins the thread. Destroyed by one of its own tasks, it cannot
/// join: the thread then finishes on its own and frees the io_context only
/// after run() has returned.
class AsioSerialQueue final : public base::SerialQueue {
  public:
    explicit AsioSerialQueue(std::string label);
    ~AsioSerialQueue() override;

    AsioSerialQueue(const AsioSerialQueue&) = delete;
    AsioSerialQueue& operator=(const AsioSerialQueue&) = delete;

    const std::string& label() const override { return label_; }
    void async(Task task) override;
    void sync(Task task) override;
    [[nodiscard]] base::TimerHandle schedule(Duration delay, Task task) override;
    [[nodiscard]] base::TimerHandle repeating(Duration first, Duration interval,
                                              Task task) override;
    bool isCurrent() const override;

    asio::io_context& context() noexcept { return state_->context; }

  private:
    /// Shared with the thread, so it outlives a destructor run by a task.
    struct State {
        asio::io_context context{1};
        asio::executor_work_guard<asio::io_context::executor_type> work{
            asio::make_work_guard(context)};
    };

    const std::string label_;
    std::shared_ptr<State> state_;
    std::thread thread_;
};

}  // namespace tarvel::platform
