#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>

#include "core/base/clock.hpp"
#include "core/base/serial_queue.hpp"
#include "core/diagnostics/latency_trace.hpp"

namespace tarvel::diagnostics {

/// Measures how late the main queue runs a tiny task that a background timer
/// posts every period. Each delay is a `mainStall` sample of the latency
/// trace while tracing is on; delays longer than stallThreshold are also
/// logged and handed to the onHang callback.
class MainThreadHangDetector : public std::enable_shared_from_this<MainThreadHangDetector> {
  public:
    /// Stalls longer than this (strictly) are logged and reported.
    static constexpr std::chrono::nanoseconds stallThreshold = std::chrono::milliseconds(100);

    /// A stopped detector probing every `period`. `queue` is where the timer
    /// fires; the caller makes it (serial, utility priority, labelled
    /// "rc.hang-detector"). `trace` must outlive the detector.
    static std::shared_ptr<MainThreadHangDetector> create(
        std::chrono::nanoseconds period, std::shared_ptr<base::SerialQueue> mainQueue,
        std::shared_ptr<base::SerialQueue> queue, std::shared_ptr<const base::Clock> clock,
        LatencyTrace& trace = LatencyTrace::shared());

    /// Cancels the timer; a probe already posted to the main queue does nothing.
    ~MainThreadHangDetector();
    MainThreadHangDetector(const MainThreadHangDetector&) = delete;
    MainThreadHangDetector& operator=(const MainThreadHangDetector&) = delete;

    /// Starts probing, first one period from now. Does nothing while running
    /// or when the period is not positive. Any thread.
    void start();

    /// Cancels the timer. A probe already posted still measures. Any thread.
    void stop();

    /// True between start and stop.
    bool isRunning() const;

    /// Called on the main queue with a long stall in milliseconds; an empty
    /// function removes it. Any thread, also from inside the callback.
    void setOnHang(std::function<void(double milliseconds)> onHang);

  private:
    MainThreadHangDetector(std::chrono::nanoseconds period,
                           std::shared_ptr<base::SerialQueue> mainQueue,
                           std::shared_ptr<base::SerialQueue> queue,
                           std::shared_ptr<const base::Clock> clock, LatencyTrace& trace);

    /// On the timer's queue: notes the time and posts the measurement.
    void probe();
    /// On the main queue: the stall since `sent`.
    void measure(base::MonotonicTime sent);

    const std::chrono::nanoseconds period_;
    const std::shared_ptr<base::SerialQueue> mainQueue_;
    const std::shared_ptr<base::SerialQueue> queue_;
    const std::shared_ptr<const base::Clock> clock_;
    LatencyTrace& trace_;

    mutable std::mutex mutex_;  // guards the two below
    base::TimerHandle timer_;
    std::function<void(double)> onHang_;
};

}  // namespace tarvel::diagnostics
