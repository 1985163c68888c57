#include "core/gamepad/stick_math.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace tarvel::gamepad::StickMath {

namespace {

constexpr double fullDeflection = 32767;
constexpr double sectorDegrees = 45;
// Beyond this the dead zone would leave no travel to rescale into.
constexpr double maxDeadZone = 0.95;
// Below this a touch could never reach full deflection on screen.
constexpr double minSensitivity = 0.05;

}  // namespace

double unit(std::int16_t v) noexcept {
    return std::max(-1.0, static_cast<double>(v) / fullDeflection);
}

std::int16_t axis(double f) noexcept {
    if (std::isnan(f)) {
        return 0;
    }
    return static_cast<std::int16_t>(std::round(std::clamp(f, -1.0, 1.0) * fullDeflection));
}

PadHat eightWay(double x, double y, double threshold) noexcept {
    const double length = std::sqrt(x * x + y * y);
    // A centred stick has no direction even with a threshold of 0; the
    // comparison is written so that a NaN length or threshold lands here too.
    if (length == 0 || !(length >= threshold)) {
        return PadHat::neutral;
    }
    double angle = std::atan2(x, y) * 180 / std::numbers::pi;
    if (std::isnan(angle)) {
        return PadHat::neutral;
    }
    if (angle < 0) {
        angle += 360;
    }
    const int sector =
        static_cast<int>(std::floor((angle + sectorDegrees / 2) / sectorDegrees)) % 8;
    return PadHat(static_cast<PadHat::Value>(sector + 1));
}

PadHat eightWayAxes(std::int16_t lx, std::int16_t ly, double threshold) noexcept {
    return eightWay(unit(lx), unit(ly), threshold);
}

StickVector vector(double dx, double dy, const StickConfig& config) noexcept {
    const double radius = config.maxRadius > 1 ? config.maxRadius : 1;
    const double deadZone = config.deadZone > 0 ? std::min(config.deadZone, maxDeadZone) : 0;
    const double length = std::sqrt(dx * dx + dy * dy);
    if (length == 0 || !std::isfinite(length)) {
        return {};
    }
    const double sensitivity =
        config.sensitivity >= minSensitivity ? config.sensitivity : minSensitivity;
    const double magnitude = std::min(length / radius * sensitivity, 1.0);
    if (!(magnitude > deadZone)) {
        return {};
    }
    const double k = (magnitude - deadZone) / (1 - deadZone);
    const double y = -dy / length * k;
    return {dx / length * k, config.invertY ? -y : y};
}

}  // namespace tarvel::gamepad::StickMath
