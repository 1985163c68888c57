#include "core/security/fingerprint.hpp"

#include <sodium.h>

#include <array>

#include "core/security/hex.hpp"
#include "core/wire/sodium.hpp"

namespace tarvel::security::Fingerprint {

std::string of(wire::ByteView publicKey) {
    wire::ensureSodium();
    std::array<std::uint8_t, crypto_hash_sha256_BYTES> digest{};
    crypto_hash_sha256(digest.data(), publicKey.data(), publicKey.size());
    return Hex::encode(std::span(digest).first(length / 2));
}

}  // namespace tarvel::security::Fingerprint
