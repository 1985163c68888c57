#pragma once

#include <cstdint>

#include "core/gamepad/pad_state.hpp"

namespace tarvel::gamepad {

/// A client's tuning of one touch stick.
struct StickConfig {
    double deadZone = 0;     // fraction of full deflection that counts as centred
    double maxRadius = 1;    // touch displacement, in points, of full deflection
    double sensitivity = 1;  // multiplier on the deflection before limiting
    bool invertY = false;

    friend bool operator==(const StickConfig&, const StickConfig&) = default;
};

/// A stick deflection, each component -1 to 1, positive x right and positive y up.
struct StickVector {
    double x = 0;
    double y = 0;

    friend bool operator==(const StickVector&, const StickVector&) = default;
};

/// Stick geometry shared by host and client. Pure functions.
namespace StickMath {

/// The axis as a fraction: v / 32767, at least -1 (so -32768 gives -1).
double unit(std::int16_t v) noexcept;

/// `f` limited to -1 to 1, times 32767, rounded half away from zero. Not a
/// number gives 0.
std::int16_t axis(double f) noexcept;

/// The direction of (x, y) in eight 45-degree sectors centred on north
/// (+y), northEast, east (+x), ...; neutral when the length is 0, below
/// `threshold`, or not a number.
PadHat eightWay(double x, double y, double threshold) noexcept;

/// eightWay of the two axes taken through unit().
PadHat eightWayAxes(std::int16_t lx, std::int16_t ly, double threshold) noexcept;

/// The stick values for a touch displacement (dx, dy) in screen points, y
/// down: zero inside the dead zone, rescaled from its edge to full
/// deflection at maxRadius / sensitivity; y is flipped to point up unless
/// `invertY`. A non-finite displacement gives (0, 0).
StickVector vector(double dx, double dy, const StickConfig& config) noexcept;

}  // namespace StickMath

}  // namespace tarvel::gamepad
