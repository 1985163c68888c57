#pragma once

#include <ostream>
#include <string>

#include "core/gamepad/compiled_pad_mapping.hpp"
#include "core/gamepad/gamepad_mapping_file.hpp"

// Readable failure messages: gtest finds these by argument-dependent lookup.
namespace tarvel::input {

inline void PrintTo(const HIDKeySet& keys, std::ostream* out) {
    *out << "{";
    keys.forEach([out](std::uint16_t usage) { *out << " 0x" << std::hex << usage << std::dec; });
    *out << " }";
}

}  // namespace tarvel::input

namespace tarvel::gamepad {

inline void PrintTo(const GamepadMapping& mapping, std::ostream* out) {
    const auto bytes = GamepadMappingFile::encode(mapping);
    *out << std::string(bytes.begin(), bytes.end());
}

inline void PrintTo(const PadOutputFrame& frame, std::ostream* out) {
    input::PrintTo(frame.keys, out);
    *out << " mouse " << int(frame.mouseButtons) << ", pointer (" << frame.pointerX << ", "
         << frame.pointerY << "), scroll (" << frame.scrollX << ", " << frame.scrollY << ")";
}

}  // namespace tarvel::gamepad
