#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "core/security/handshake_messages.hpp"
#include "core/wire/bytes.hpp"

namespace tarvel::security {

/// Refusal frames: how a host says no and how a client reads it.
namespace HandshakeFrames {

/// Body sent when a refusal's reason cannot be encoded.
inline constexpr std::string_view fallbackRejectBody = R"({"reason":"protocol_error"})";

/// The JSON body {"reason": error.rejectReason()} of a refusal frame, or the
/// fallback body when the reason cannot be encoded (it is not UTF-8).
Bytes rejectBody(const HandshakeError& error);

/// The error a refusal frame stands for: errUnpaired is unpaired whatever
/// its body; pairReject maps "no_active_code" and "invalid_code" to their
/// kinds and any other reason r to rejected(r), an undecodable body to
/// rejected("rejected"). Nothing for any other frame type.
std::optional<HandshakeError> failure(std::uint8_t type, ByteView body);

}  // namespace HandshakeFrames

}  // namespace tarvel::security
