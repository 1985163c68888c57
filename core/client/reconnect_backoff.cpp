#include "core/client/reconnect_backoff.hpp"

#include <algorithm>
#include <cmath>

namespace tarvel::client {

std::optional<double> ReconnectBackoff::next(Date now, double jitter) {
    if (!startedAt_) {
        startedAt_ = now;
    }
    // A wall clock set back before startedAt gives a negative elapsed time,
    // which counts as the fast phase rather than ending the series.
    const double elapsed = std::chrono::duration<double>(now - *startedAt_).count();
    if (elapsed >= giveUpAfter) {
        return std::nullopt;
    }
    const double current = delay_;
    const bool slow = elapsed >= fastPhase;
    delay_ = std::min(slow ? slowCap : fastCap, factor * current);
    if (!slow) {
        return current;
    }
    // A NaN or infinite draw is a caller's bug; an unspread delay is the
    // harmless reading, where clamping would turn NaN into NaN seconds.
    const double spread = std::isfinite(jitter) ? std::clamp(jitter, -1.0, 1.0) : 0.0;
    return std::min(current, slowCap) * (1.0 + jitterSpread * spread);
}

void ReconnectBackoff::reset() {
    delay_ = initialDelay;
    startedAt_.reset();
}

}  // namespace tarvel::client
