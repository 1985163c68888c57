#pragma once

#include <chrono>
#include <memory>

namespace tarvel::base {

/// Monotonic time that stops while the machine sleeps (CLOCK_MONOTONIC), so
/// idle limits never fire because of a suspend.
using MonotonicClock = std::chrono::steady_clock;
using MonotonicTime = MonotonicClock::time_point;
using WallTime = std::chrono::system_clock::time_point;

/// Where time comes from; injected so tests step it by hand.
class Clock {
  public:
    virtual ~Clock() = default;
    virtual MonotonicTime now() const = 0;
    /// Calendar time, for the whole seconds stored in files.
    virtual WallTime wallNow() const = 0;
};

/// The machine's clocks.
class SystemClock final : public Clock {
  public:
    MonotonicTime now() const override { return MonotonicClock::now(); }
    WallTime wallNow() const override { return std::chrono::system_clock::now(); }

    static std::shared_ptr<const Clock> shared() {
        static const auto clock = std::make_shared<const SystemClock>();
        return clock;
    }
};

}  // namespace tarvel::base
