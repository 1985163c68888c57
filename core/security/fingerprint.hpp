#pragma once

#include <string>

#include "core/wire/bytes.hpp"

namespace tarvel::security {

namespace Fingerprint {

/// Number of hex characters kept: the first 8 bytes of the digest.
inline constexpr std::size_t length = 16;

/// The first 16 lower-case hex characters of SHA-256 over the raw public key
/// bytes (normally a 32-byte Ed25519 key; any input is hashed as given).
std::string of(wire::ByteView publicKey);

}  // namespace Fingerprint

}  // namespace tarvel::security
