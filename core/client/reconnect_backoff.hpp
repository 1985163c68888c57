#pragma once

#include <chrono>
#include <optional>

namespace tarvel::client {

/// Delays between a client's attempts to reach a host again: quick retries
/// capped at fastCap during the first fastPhase seconds of a series, then
/// slower ones capped at slowCap and spread by ±20 %, and none once
/// giveUpAfter seconds have passed since the series began. Only computes
/// delays; the caller owns the timer and the attempts. Not thread-safe.
class ReconnectBackoff {
  public:
    using Date = std::chrono::system_clock::time_point;

    static constexpr double initialDelay = 0.5;   // s, first delay of a series
    static constexpr double factor = 1.7;         // growth of the delay per call
    static constexpr double fastCap = 5.0;        // s, largest delay in the fast phase
    static constexpr double fastPhase = 60.0;     // s from startedAt
    static constexpr double slowCap = 30.0;       // s, largest delay after the fast phase
    static constexpr double giveUpAfter = 600.0;  // s from startedAt
    static constexpr double jitterSpread = 0.2;   // fraction of the delay jitter ±1 moves it

    /// A fresh series: delay initialDelay, not started.
    ReconnectBackoff() = default;

    /// Seconds to wait before the next attempt, or nothing once giveUpAfter
    /// has passed since the first call of the series (then nothing changes).
    /// The first call starts the series at `now`. `jitter` is drawn by the
    /// caller in -1...1 (clamped) and only applies after the fast phase.
    std::optional<double> next(Date now, double jitter);

    /// Starts a new series with the next call.
    void reset();

    /// What the next call hands out before capping and jitter, in seconds.
    double delay() const noexcept { return delay_; }
    /// When the current series began; nothing before its first call.
    std::optional<Date> startedAt() const noexcept { return startedAt_; }

    friend bool operator==(const ReconnectBackoff&, const ReconnectBackoff&) = default;

  private:
    double delay_ = initialDelay;
    std::optional<Date> startedAt_;
};

}  // namespace tarvel::client
