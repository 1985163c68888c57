#pragma once

#include <chrono>

#include "core/base/clock.hpp"

namespace tarvel::testing {

/// A clock that moves only when told to.
class FakeClock final : public base::Clock {
  public:
    base::MonotonicTime now() const override { return now_; }
    base::WallTime wallNow() const override { return wall_; }
    void advance(std::chrono::nanoseconds step) {
        now_ += step;
        wall_ += std::chrono::duration_cast<base::WallTime::duration>(step);
    }

  private:
    base::MonotonicTime now_ = base::MonotonicTime(std::chrono::hours(1000));
    base::WallTime wall_ = base::WallTime(std::chrono::seconds(1'800'000'000));
};

}  // namespace tarvel::testing
