#include "core/diagnostics/main_thread_hang_detector.hpp"

#include <cstdint>
#include <cstdio>
#include <utility>

#include "core/base/log.hpp"

namespace tarvel::diagnostics {

std::shared_ptr<MainThreadHangDetector> MainThreadHangDetector::create(
    std::chrono::nanoseconds period, std::shared_ptr<base::SerialQueue> mainQueue,
    std::shared_ptr<base::SerialQueue> queue, std::shared_ptr<const base::Clock> clock,
    LatencyTrace& trace) {
    // The constructor is private so every detector is shared, which the
    // timer and the posted probes rely on to hold it weakly.
    return std::shared_ptr<MainThreadHangDetector>(new MainThreadHangDetector(
        period, std::move(mainQueue), std::move(queue), std::move(clock), trace));
}

MainThreadHangDetector::MainThreadHangDetector(std::chrono::nanoseconds period,
                                               std::shared_ptr<base::SerialQueue> mainQueue,
                                               std::shared_ptr<base::SerialQueue> queue,
                                               std::shared_ptr<const base::Clock> clock,
                                               LatencyTrace& trace)
    : period_(period),
      mainQueue_(std::move(mainQueue)),
      queue_(std::move(queue)),
      clock_(std::move(clock)),
      trace_(trace) {}

MainThreadHangDetector::~MainThreadHangDetector() = default;

void MainThreadHangDetector::start() {
    // A zero interval would make a one-shot or a busy timer, not a probe.
    if (period_ <= std::chrono::nanoseconds::zero()) {
        return;
    }
    std::lock_guard guard(mutex_);
    if (timer_.active()) {
        return;
    }
    // Held weakly so a released detector stops probing even if nobody called stop.
    timer_ = queue_->repeating(period_, period_, [weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            self->probe();
        }
    });
}

void MainThreadHangDetector::stop() {
    base::TimerHandle timer;
    {
        std::lock_guard guard(mutex_);
        timer = std::move(timer_);
    }
    // Cancelled outside the lock: a queue may wait for a firing in progress.
    timer.cancel();
}

bool MainThreadHangDetector::isRunning() const {
    std::lock_guard guard(mutex_);
    return timer_.active();
}

void MainThreadHangDetector::setOnHang(std::function<void(double milliseconds)> onHang) {
    std::lock_guard guard(mutex_);
    onHang_ = std::move(onHang);
}

void MainThreadHangDetector::probe() {
    mainQueue_->async([weak = weak_from_this(), sent = clock_->now()] {
        if (auto self = weak.lock()) {
            self->measure(sent);
        }
    });
}

void MainThreadHangDetector::measure(base::MonotonicTime sent) {
    const base::MonotonicTime now = clock_->now();
    if (now < sent) {
        return;
    }
    const std::chrono::nanoseconds stall = now - sent;
    trace_.record(LatencyMetric::mainStall, static_cast<std::uint64_t>(stall.count()));
    if (stall <= stallThreshold) {
        return;
    }
    const double milliseconds = static_cast<double>(stall.count()) / 1e6;
    char line[64];
    std::snprintf(line, sizeof line, "main thread stall %.1f ms", milliseconds);
    base::logLine(line);

    std::function<void(double)> onHang;
    {
        std::lock_guard guard(mutex_);
        onHang = onHang_;
    }
    // Called unlocked so the callback may replace itself or stop the detector.
    if (onHang) {
        onHang(milliseconds);
    }
}

}  // namespace tarvel::diagnostics
