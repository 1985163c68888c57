#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "core/gamepad/gamepad_mapping.hpp"

namespace tarvel::mapping {

/// The fixed output scheme of earlier versions, kept as the user default
/// "rc.padOutput" until the first mapping file replaces it.
enum class PadOutputPreset : std::uint8_t { wasdMouse, arrows, dualKeys };

inline constexpr std::array<PadOutputPreset, 3> allPadOutputPresets{
    PadOutputPreset::wasdMouse, PadOutputPreset::arrows, PadOutputPreset::dualKeys};

/// "wasdMouse", "arrows", "dualKeys".
std::string_view rawValue(PadOutputPreset preset) noexcept;
/// The scheme with exactly this stored name (case matters), or nothing.
std::optional<PadOutputPreset> padOutputPreset(std::string_view raw) noexcept;

/// The mapping equivalent to a legacy scheme: version 1, keys without
/// modifiers, keys-mode sticks with dead zone 0.4, normalised. Pure; any thread.
gamepad::GamepadMapping legacyMapping(PadOutputPreset preset);

}  // namespace tarvel::mapping
