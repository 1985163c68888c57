#pragma once

#include <cstdint>
#include <ostream>
#include <string>

namespace tarvel::wire {

/// The protocol's error shared by framing, datagrams and sealing. Cases with a
/// payload carry the offending byte; equal means same case and same payload.
struct WireError {
    enum class Kind : std::uint8_t {
        badVersion,
        unknownOpcode,
        frameTooLarge,
        invalidFrameLength,
        truncated,
        authenticationFailed,
        malformed,
    };

    Kind kind;
    std::uint8_t value = 0;  // the byte seen, for badVersion and unknownOpcode only

    static constexpr WireError badVersion(std::uint8_t version) { return {Kind::badVersion, version}; }
    static constexpr WireError unknownOpcode(std::uint8_t opcode) { return {Kind::unknownOpcode, opcode}; }
    static constexpr WireError frameTooLarge() { return {Kind::frameTooLarge, 0}; }
    static constexpr WireError invalidFrameLength() { return {Kind::invalidFrameLength, 0}; }
    static constexpr WireError truncated() { return {Kind::truncated, 0}; }
    static constexpr WireError authenticationFailed() { return {Kind::authenticationFailed, 0}; }
    static constexpr WireError malformed() { return {Kind::malformed, 0}; }

    friend constexpr bool operator==(const WireError&, const WireError&) = default;

    /// For log lines, e.g. "badVersion(2)".
    std::string description() const;
};

std::ostream& operator<<(std::ostream& out, const WireError& error);

}  // namespace tarvel::wire
