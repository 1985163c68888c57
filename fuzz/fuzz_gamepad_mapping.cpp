// Bytes read as a mapping file: decoding never crashes; whatever decodes
// encodes, and that encoding decodes to an equal mapping with identical bytes.
// The mapping is then compiled and run over states drawn from the input.
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/gamepad/compiled_pad_mapping.hpp"
#include "core/gamepad/gamepad_mapping_file.hpp"

namespace {

using namespace tarvel::gamepad;

PadState stateFrom(std::span<const std::uint8_t> bytes, std::size_t offset) {
    std::array<std::uint8_t, 12> raw{};
    for (std::size_t i = 0; i < raw.size() && offset + i < bytes.size(); ++i) {
        raw[i] = bytes[offset + i];
    }
    auto axis = [&raw](std::size_t at) {
        return static_cast<std::int16_t>(static_cast<std::uint16_t>(raw[at] | (raw[at + 1] << 8)));
    };
    PadState state;
    state.lx = axis(0);
    state.ly = axis(2);
    state.rx = axis(4);
    state.ry = axis(6);
    state.buttons =
        PadButtons(static_cast<std::uint32_t>(raw[8] | (raw[9] << 8))) & PadButtons::defined;
    state.hat = PadHat::fromRawValue(raw[10] % 9).value_or(PadHat::neutral);
    state.lt = raw[11];
    state.rt = static_cast<std::uint8_t>(~raw[11]);
    return state;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);
    const auto mapping = GamepadMappingFile::decode(input);
    if (!mapping) {
        return 0;
    }
    if (!(mapping->normalized() == *mapping)) {
        __builtin_trap();  // the decoder's result is always normalised
    }
    const auto bytes = GamepadMappingFile::encode(*mapping);
    const auto again = GamepadMappingFile::decode(bytes);
    if (!again || !(*again == *mapping)) {
        __builtin_trap();
    }
    if (GamepadMappingFile::encode(*again) != bytes) {
        __builtin_trap();
    }

    PadTranslator translator{CompiledPadMapping(*mapping)};
    for (std::size_t offset = 0; offset < size; offset += 12) {
        const PadOutputFrame frame = translator.mapping().frame(stateFrom(input, offset));
        const PadFrameDiff diff = translator.update(stateFrom(input, offset));
        if (!(translator.output() == frame) || !std::isfinite(frame.pointerX) ||
            !std::isfinite(frame.pointerY) || !std::isfinite(frame.scrollX) ||
            !std::isfinite(frame.scrollY)) {
            __builtin_trap();
        }
        (void)diff;
    }
    if (!translator.releaseAll().pressed.isEmpty() || !translator.output().isEmpty()) {
        __builtin_trap();
    }
    return 0;
}
