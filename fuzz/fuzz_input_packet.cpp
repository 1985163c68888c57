// InputPacket::fromPlain20 on arbitrary bytes. A rejection must name the
// first failing check; an acceptance must re-encode to the same bytes except
// where the format lets a receiver ignore them (flag bits 1-3, unused payload
// bytes, the exact value of a true Boolean byte).
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "core/wire/input_packet.hpp"

namespace {

using namespace tarvel::wire;

void check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

enum class ByteRole : std::uint8_t { verbatim, boolean, ignored };

// How each payload byte of an opcode is read, from the protocol's table.
std::optional<std::array<ByteRole, 8>> payloadRoles(std::uint8_t opcode) {
    constexpr auto V = ByteRole::verbatim;
    constexpr auto B = ByteRole::boolean;
    constexpr auto I = ByteRole::ignored;
    switch (opcode) {
        case 1:   // mouseMove
        case 3:   // scroll
        case 6:   // pinchZoom
        case 11:  // gamepadSticks
            return std::array{V, V, V, V, V, V, V, V};
        case 2:  // mouseButton: button, down, clickCount
            return std::array{V, B, V, I, I, I, I, I};
        case 4:  // key: hid, state, isRaw
            return std::array{V, V, V, B, I, I, I, I};
        case 7:   // threeFingerSwipe
        case 8:   // shortcut
        case 9:   // modifierState
        case 10:  // media
            return std::array{V, I, I, I, I, I, I, I};
        case 12:  // gamepadButtons
            return std::array{V, V, V, V, V, V, V, I};
        case 15:  // resetState
            return std::array{I, I, I, I, I, I, I, I};
        default:
            return std::nullopt;
    }
}

// The verdict the checks must reach, in their order.
std::optional<WireError> expectedError(const std::uint8_t* data, std::size_t size) {
    if (size != InputPacket::plainLength) {
        return WireError::truncated();
    }
    if (data[0] != 1) {
        return WireError::badVersion(data[0]);
    }
    if (data[3] >= 0x60) {
        return WireError::malformed();
    }
    if (!payloadRoles(data[1])) {
        return WireError::unknownOpcode(data[1]);
    }
    if (data[1] == Opcode::keyEvent && data[12 + 2] > 2) {
        return WireError::malformed();
    }
    return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto packet = InputPacket::fromPlain20(ByteView(data, size));
    const auto verdict = expectedError(data, size);
    if (!packet) {
        check(verdict.has_value() && *verdict == packet.error());
        return 0;
    }
    check(!verdict.has_value());

    const auto again = packet->plain20();
    // Header: everything but flag bits 1-3 is carried exactly.
    for (std::size_t i = 0; i < 12; ++i) {
        const std::uint8_t canonical = i == 3 ? static_cast<std::uint8_t>(data[3] & 0xF1) : data[i];
        check(again[i] == canonical);
    }
    const auto roles = *payloadRoles(data[1]);
    for (std::size_t i = 0; i < 8; ++i) {
        const std::uint8_t in = data[12 + i];
        const std::uint8_t out = again[12 + i];
        switch (roles[i]) {
            case ByteRole::verbatim:
                check(out == in);
                break;
            case ByteRole::boolean:
                check(out == (in != 0 ? 1 : 0));
                break;
            case ByteRole::ignored:
                check(out == 0);
                break;
        }
    }
    // The canonical form is a fixed point.
    const auto reparsed = InputPacket::fromPlain20(again);
    check(reparsed.has_value() && reparsed->plain20() == again);
    check(packet->seq == loadLE64(data + 4));
    return 0;
}
