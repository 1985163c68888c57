#pragma once

#include <QObject>

#include <string>

#include "core/base/serial_queue.hpp"

namespace tarvel::app {

/// The GUI thread as a serial queue: the server's callbacks, handed this as
/// its main queue, run on Qt's event loop where every widget lives. Made on
/// the GUI thread; usable from any thread while the event loop runs.
class QtMainQueue final : public base::SerialQueue {
  public:
    explicit QtMainQueue(std::string label = "rc.main");
    ~QtMainQueue() override;

    const std::string& label() const override { return label_; }
    void async(Task task) override;
    /// From another thread, waits for the event loop to run it: never call
    /// it from there while the GUI thread waits on that thread.
    void sync(Task task) override;
    [[nodiscard]] base::TimerHandle schedule(Duration delay, Task task) override;
    [[nodiscard]] base::TimerHandle repeating(Duration first, Duration interval,
                                              Task task) override;
    bool isCurrent() const override;

  private:
    const std::string label_;
    QObject* context_;  // owned; lives on the GUI thread
};

}  // namespace tarvel::app
