#include <gtest/gtest.h>

#include "core/client/reconnect_backoff.hpp"

namespace tarvel::client {
namespace {

using namespace std::chrono;

const ReconnectBackoff::Date start = ReconnectBackoff::Date(seconds(1'800'000'000));

TEST(ReconnectBackoff, growsFastThenSlowWithClampedJitterAndGivesUpAfterTenMinutesUntilReset) {
    ReconnectBackoff backoff;
    for (double want : {0.5, 0.85, 1.445, 2.4565, 4.17605, 5.0}) {
        EXPECT_NEAR(backoff.next(start, 1.0).value(), want, 1e-12);
    }
    EXPECT_EQ(backoff.next(start + milliseconds(59'999), -1.0), 5.0);
    EXPECT_EQ(backoff.next(start - seconds(3600), 1.0), 5.0);  // wall clock set back
    EXPECT_EQ(backoff.startedAt(), start);
    const auto later = start + seconds(60);
    const double inf = std::numeric_limits<double>::infinity(), nan = inf * 0;
    const std::pair<double, double> cases[] = {{0.0, 5.0}, {1.0, 6.0}, {-1.0, 4.0}, {0.5, 5.5},
        {5.0, 6.0}, {-7.0, 4.0}, {nan, 5.0}, {inf, 5.0}, {-inf, 5.0}};
    for (const auto& [jitter, want] : cases) {
        EXPECT_NEAR(ReconnectBackoff(backoff).next(later, jitter).value(), want, 1e-12) << jitter;
    }
    for (double want : {5.0, 8.5, 14.45, 24.565, 30.0, 30.0}) {
        EXPECT_NEAR(backoff.next(later, 0).value(), want, 1e-9);
    }
    EXPECT_EQ(backoff.next(later, 1.0), 36.0);
    ASSERT_TRUE(backoff.next(start + milliseconds(599'999), 0).has_value());
    const ReconnectBackoff before = backoff;
    EXPECT_EQ(backoff.next(start + seconds(600), 0), std::nullopt);
    EXPECT_EQ(backoff, before);  // giving up changes nothing
    backoff.reset();
    EXPECT_EQ(backoff.next(start + seconds(4000), 1.0), 0.5);
    EXPECT_EQ(backoff.startedAt(), start + seconds(4000));
}

}  // namespace
}  // namespace tarvel::client
