#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "core/pairing/host_os_type.hpp"

namespace tarvel::pairing {

/// What a client needs to reach and pin a host before pairing: rendered as the
/// "tarvel://pair?" link that the pairing window shows as text and QR code.
struct PairingPayload {
    static constexpr std::string_view prefix = "tarvel://pair?";

    int version = 1;
    std::string hostId;
    std::string name;
    HostOSType os = HostOSType::macos;
    std::optional<std::string> lan;  // "address:port"
    std::optional<std::string> ts;   // "address:port", IPv6 in brackets
    std::string publicKeyHex;        // 64 lower-case hex digits
    std::string code;                // six digits

    /// All eight parameters, always in the same order; an absent endpoint is empty.
    std::string urlString() const;

    /// Parses a link; nothing when any rule is broken. Never fails otherwise.
    static std::optional<PairingPayload> fromURLString(std::string_view url);

    friend bool operator==(const PairingPayload&, const PairingPayload&) = default;
};

/// Percent-encodes `text`: Unicode letters, marks and digits and "-._~" stay,
/// every other character becomes %XX per UTF-8 byte (upper-case hex). Text that
/// is not UTF-8 comes back unchanged.
std::string percentEncode(std::string_view text);

/// Reverses percentEncode; nothing for a bad escape or a result that is not UTF-8.
std::optional<std::string> percentDecode(std::string_view text);

}  // namespace tarvel::pairing
