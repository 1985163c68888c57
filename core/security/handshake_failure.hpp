#pragma once

#include <variant>

#include "core/security/handshake_messages.hpp"

namespace tarvel::security {

/// Why a handshake step stopped: a HandshakeError (the peer's doing, which
/// the host may answer with a refusal frame), or a JSON error while encoding
/// our own message (closes the connection without a frame).
using HandshakeFailure = std::variant<HandshakeError, wire::JSONError>;

/// The handshake error inside a failure, or null for an encoding failure.
inline const HandshakeError* handshakeError(const HandshakeFailure& failure) noexcept {
    return std::get_if<HandshakeError>(&failure);
}

}  // namespace tarvel::security
