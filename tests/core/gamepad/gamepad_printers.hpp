#pragma once

#include <ostream>
#include <string>

#include "core/gamepad/compiled_pad_mapping.hpp"
#include "core/gamepad/gamepad_mapping_file.hpp"

// Readable failure messages: gtest finds these by argument-dependent lookup.
namespace tarvel::gamepad {

inline void PrintTo(const GamepadMapping& mapping, std::ostream* out) {
    const auto bytes = GamepadMappingFile::encode(mapping);
    *out << std::string(bytes.begin(), bytes.end());
}

inline void PrintTo(const PadBinding& binding, std::ostream* out) {
    GamepadMapping single;
    single.bindings[PadControl::a] = binding;
    const auto bytes = GamepadMappingFile::encode(single);
    const auto json = wire::JSON::parse(bytes.begin(), bytes.end(), nullptr, false);
    *out << json["bindings"]["a"].dump();
}

inline void PrintTo(PadHat hat, std::ostream* out) {
    *out << "PadHat(" << int(hat.rawValue()) << ")";
}

inline void PrintTo(const PadOutputFrame& frame, std::ostream* out) {
    *out << "{keys:";
    frame.keys.forEach(
        [out](std::uint16_t usage) { *out << " 0x" << std::hex << usage << std::dec; });
    *out << ", mouse: " << int(frame.mouseButtons) << ", pointer: (" << frame.pointerX << ", "
         << frame.pointerY << "), scroll: (" << frame.scrollX << ", " << frame.scrollY << ")}";
}

}  // namespace tarvel::gamepad

namespace tarvel::input {

inline void PrintTo(const HIDKeySet& keys, std::ostream* out) {
    *out << "{";
    keys.forEach([out](std::uint16_t usage) { *out << " 0x" << std::hex << usage << std::dec; });
    *out << " }";
}

}  // namespace tarvel::input
