#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <utility>

#include "core/client/reconnect_backoff.hpp"

namespace tarvel::client {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

const ReconnectBackoff::Date start = ReconnectBackoff::Date(seconds(1'800'000'000));

TEST(ReconnectBackoff, fastPhaseGrowsFromHalfASecondToFiveWithoutJitter) {
    ReconnectBackoff backoff;
    for (double want : {0.5, 0.85, 1.445, 2.4565, 4.17605, 5.0, 5.0}) {
        EXPECT_NEAR(backoff.next(start, 1.0).value(), want, 1e-12);
    }
    EXPECT_EQ(backoff.startedAt(), start);
    // The series keeps its first instant; a wall clock set back stays in the fast phase.
    EXPECT_EQ(backoff.next(start + milliseconds(59'999), -1.0), 5.0);
    EXPECT_EQ(backoff.next(start - seconds(3600), 1.0), 5.0);
    EXPECT_EQ(backoff.startedAt(), start);
}

TEST(ReconnectBackoff, slowPhaseSpreadsByClampedJitterAndGrowsToThirty) {
    ReconnectBackoff fast;
    for (int i = 0; i < 6; ++i) {
        fast.next(start, 0);
    }
    const auto later = start + seconds(60);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const std::pair<double, double> cases[] = {{0.0, 5.0}, {1.0, 6.0}, {-1.0, 4.0},
                                               {0.5, 5.5}, {5.0, 6.0}, {-7.0, 4.0},
                                               {nan, 5.0}, {inf, 5.0}, {-inf, 5.0}};
    for (const auto& [jitter, want] : cases) {
        ReconnectBackoff backoff = fast;
        EXPECT_NEAR(backoff.next(later, jitter).value(), want, 1e-12) << jitter;
    }
    double want = 5.0;
    for (int i = 0; i < 12; ++i, want = std::min(30.0, want * 1.7)) {
        EXPECT_NEAR(fast.next(later, 0).value(), want, 1e-9) << "call " << i;
    }
    EXPECT_EQ(fast.next(later, 1.0), 36.0);
}

TEST(ReconnectBackoff, givesUpAfterTenMinutesUntilResetStartsAFreshSeries) {
    ReconnectBackoff backoff;
    backoff.next(start, 0);
    ASSERT_TRUE(backoff.next(start + milliseconds(599'999), 0).has_value());
    const ReconnectBackoff before = backoff;
    EXPECT_EQ(backoff.next(start + seconds(600), 0), std::nullopt);
    EXPECT_EQ(backoff.next(start + seconds(3600), 1.0), std::nullopt);
    EXPECT_EQ(backoff, before);  // giving up changes nothing

    backoff.reset();
    EXPECT_EQ(backoff, ReconnectBackoff());
    const auto again = start + seconds(4000);
    EXPECT_EQ(backoff.next(again, 1.0), 0.5);
    EXPECT_EQ(backoff.startedAt(), again);
}

}  // namespace
}  // namespace tarvel::client
