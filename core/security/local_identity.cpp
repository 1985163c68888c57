#include "core/security/local_identity.hpp"

#include <sodium.h>

#include <algorithm>

#include "core/security/fingerprint.hpp"
#include "core/security/hex.hpp"
#include "core/wire/sodium.hpp"

namespace tarvel::security {

static_assert(LocalIdentity::seedSize == crypto_sign_SEEDBYTES);
static_assert(LocalIdentity::publicKeySize == crypto_sign_PUBLICKEYBYTES);
static_assert(LocalIdentity::signatureSize == crypto_sign_BYTES);
static_assert(X25519PrivateKey::size == crypto_scalarmult_SCALARBYTES);
static_assert(X25519PrivateKey::size == crypto_scalarmult_BYTES);

namespace {

/// Canonical lower-case text of a random (version 4, RFC 4122 variant) UUID.
std::string randomUUID() {
    std::array<std::uint8_t, 16> bytes{};
    randombytes_buf(bytes.data(), bytes.size());
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0f) | 0x40);  // version 4
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3f) | 0x80);  // variant 10xx
    const std::string hex = Hex::encode(bytes);
    return hex.substr(0, 8) + '-' + hex.substr(8, 4) + '-' + hex.substr(12, 4) + '-' +
           hex.substr(16, 4) + '-' + hex.substr(20, 12);
}

}  // namespace

LocalIdentity::LocalIdentity(std::string id, std::span<const std::uint8_t, seedSize> seed)
    : id_(std::move(id)) {
    wire::ensureSodium();
    crypto_sign_seed_keypair(publicKey_.data(), secretKey_.data(), seed.data());
}

LocalIdentity::~LocalIdentity() {
    // The expanded key holds the seed: nothing of it may outlive the value.
    wire::secureZero(secretKey_);
}

LocalIdentity LocalIdentity::generate() {
    wire::ensureSodium();
    std::array<std::uint8_t, seedSize> seed{};
    randombytes_buf(seed.data(), seed.size());
    LocalIdentity identity(randomUUID(), seed);
    wire::secureZero(seed);  // the identity holds its own copy
    return identity;
}

std::optional<LocalIdentity> LocalIdentity::fromSeed(std::string id, ByteView seed) {
    // Every 32-byte string is a valid Ed25519 seed; only the length can be wrong.
    if (seed.size() != seedSize) {
        return std::nullopt;
    }
    return LocalIdentity(std::move(id), seed.first<seedSize>());
}

std::span<const std::uint8_t, LocalIdentity::seedSize> LocalIdentity::seed() const noexcept {
    return std::span(secretKey_).first<seedSize>();
}

std::string LocalIdentity::publicKeyHex() const {
    return Hex::encode(publicKey_);
}

std::string LocalIdentity::fingerprint() const {
    return Fingerprint::of(publicKey_);
}

LocalIdentity::Signature LocalIdentity::sign(ByteView message) const {
    Signature signature{};
    crypto_sign_detached(signature.data(), nullptr, message.data(), message.size(),
                         secretKey_.data());
    return signature;
}

X25519PrivateKey::X25519PrivateKey(std::span<const std::uint8_t, size> raw) {
    wire::ensureSodium();
    std::copy(raw.begin(), raw.end(), secret_.begin());
    crypto_scalarmult_base(publicKey_.data(), secret_.data());
}

X25519PrivateKey::~X25519PrivateKey() {
    // An ephemeral key that survives its handshake would undo forward secrecy.
    wire::secureZero(secret_);
}

X25519PrivateKey X25519PrivateKey::generate() {
    wire::ensureSodium();
    std::array<std::uint8_t, size> raw{};
    randombytes_buf(raw.data(), raw.size());
    X25519PrivateKey key(raw);
    wire::secureZero(raw);
    return key;
}

std::optional<X25519PrivateKey> X25519PrivateKey::fromBytes(ByteView raw) {
    if (raw.size() != size) {
        return std::nullopt;
    }
    return X25519PrivateKey(raw.first<size>());
}

}  // namespace tarvel::security
