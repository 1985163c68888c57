#include "core/gamepad/stick_math.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "tests/core/gamepad/gamepad_printers.hpp"

namespace tarvel::gamepad {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

TEST(StickMath, axisRoundTripsEightWaySectorsAreCentredAndVectorsCutTheDeadZone) {
    for (int v = -32767; v <= 32767; ++v) {
        ASSERT_EQ(StickMath::axis(StickMath::unit(static_cast<std::int16_t>(v))), v);
    }
    EXPECT_EQ(StickMath::unit(-32768), -1.0);
    EXPECT_EQ(StickMath::axis(-0.5), -16384);  // -16383.5 rounds away from zero
    EXPECT_EQ(StickMath::axis(2.0), 32767);
    EXPECT_EQ(StickMath::axis(-inf), -32767);
    EXPECT_EQ(StickMath::axis(nan), 0);
    for (int k = 0; k < 8; ++k) {  // either side of each boundary, 22.5 + 45k degrees from north
        const double at = (22.5 + 45 * k) * std::acos(-1.0) / 180, e = 2e-4;
        EXPECT_EQ(StickMath::eightWay(std::sin(at - e), std::cos(at - e), 0.5).rawValue(), k + 1);
        EXPECT_EQ(StickMath::eightWay(std::sin(at + e), std::cos(at + e), 0.5).rawValue(),
                  (k + 1) % 8 + 1);
    }
    EXPECT_EQ(StickMath::eightWay(nan, 1, 0.1), PadHat::neutral);
    EXPECT_EQ(StickMath::eightWay(1, 1, nan), PadHat::neutral);
    EXPECT_EQ(StickMath::eightWay(0, 0, 0), PadHat::neutral);
    EXPECT_EQ(StickMath::eightWay(inf, 0, 0.5), PadHat::east);
    const StickConfig config{0.2, 100, 1, false};
    EXPECT_EQ(StickMath::vector(0, -20, config), (StickVector{0, 0}));  // exactly the dead zone
    EXPECT_DOUBLE_EQ(StickMath::vector(0, -60, config).y, 0.5);
    EXPECT_EQ(StickMath::vector(500, 0, config), (StickVector{1, 0}));
    const StickVector diagonal = StickMath::vector(-300, 300, config);
    EXPECT_DOUBLE_EQ(std::hypot(diagonal.x, diagonal.y), 1);
    EXPECT_TRUE(diagonal.x < 0 && diagonal.y < 0);  // screen down is stick down
    EXPECT_DOUBLE_EQ(StickMath::vector(0, -60, {0.2, 100, 1, true}).y, -0.5);
    EXPECT_DOUBLE_EQ(StickMath::vector(25, 0, {0, 100, 2, false}).x, 0.5);
    // Limits: sensitivity at least 0.05, radius at least 1, dead zone within 0 to 0.95.
    EXPECT_DOUBLE_EQ(StickMath::vector(100, 0, {0, 100, 0, false}).x, 0.05);
    EXPECT_DOUBLE_EQ(StickMath::vector(0.5, 0, {0, 0.01, 1, false}).x, 0.5);
    EXPECT_DOUBLE_EQ(StickMath::vector(9.75, 0, {5, 10, 1, false}).x, 0.5);
    EXPECT_DOUBLE_EQ(StickMath::vector(1, 0, {-1, 10, 1, false}).x, 0.1);
    EXPECT_TRUE(std::isfinite(StickMath::vector(1, 0, {nan, nan, nan, false}).x));
    EXPECT_EQ(StickMath::vector(nan, 1, StickConfig{}), (StickVector{0, 0}));
    EXPECT_EQ(StickMath::vector(inf, 1, StickConfig{}), (StickVector{0, 0}));
}

}  // namespace
}  // namespace tarvel::gamepad
