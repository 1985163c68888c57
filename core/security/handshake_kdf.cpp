#include "core/security/handshake_kdf.hpp"

#include <sodium.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace tarvel::security::HandshakeKDF {

static_assert(keySize == crypto_scalarmult_BYTES);
static_assert(keySize == crypto_auth_hmacsha256_BYTES);
static_assert(wire::SymmetricKey::size == keySize);

namespace {

constexpr std::size_t pairKeysSize = 2 * keySize;

void append(Bytes& out, ByteView bytes) {
    out.insert(out.end(), bytes.begin(), bytes.end());
}

/// HMAC-SHA256 over the concatenation of `parts`.
MAC hmac(ByteView key, std::initializer_list<ByteView> parts) {
    wire::ensureSodium();
    // A one-byte dummy keeps a valid pointer for an empty key; the length says 0.
    static const std::uint8_t empty = 0;
    crypto_auth_hmacsha256_state state;
    crypto_auth_hmacsha256_init(&state, key.empty() ? &empty : key.data(), key.size());
    for (ByteView part : parts) {
        if (!part.empty()) {
            crypto_auth_hmacsha256_update(&state, part.data(), part.size());
        }
    }
    MAC out{};
    crypto_auth_hmacsha256_final(&state, out.data());
    // The state holds the padded key.
    sodium_memzero(&state, sizeof state);
    return out;
}

}  // namespace

Bytes pairTranscript(std::string_view clientId, std::string_view hostId, ByteView clientX,
                     ByteView hostX, ByteView clientEd, ByteView hostEd, ByteView clientNonce,
                     ByteView hostNonce) {
    Bytes out;
    out.reserve(pairTranscriptTag.size() + clientId.size() + hostId.size() + clientX.size() +
                hostX.size() + clientEd.size() + hostEd.size() + clientNonce.size() +
                hostNonce.size());
    append(out, wire::asBytes(pairTranscriptTag));
    append(out, wire::asBytes(clientId));
    append(out, wire::asBytes(hostId));
    append(out, clientX);
    append(out, hostX);
    append(out, clientEd);
    append(out, hostEd);
    append(out, clientNonce);
    append(out, hostNonce);
    return out;
}

Bytes authTranscript(std::string_view clientId, std::string_view hostId, ByteView clientX,
                     ByteView hostX, ByteView clientNonce, ByteView hostNonce) {
    Bytes out;
    out.reserve(authTranscriptTag.size() + clientId.size() + hostId.size() + clientX.size() +
                hostX.size() + clientNonce.size() + hostNonce.size());
    append(out, wire::asBytes(authTranscriptTag));
    append(out, wire::asBytes(clientId));
    append(out, wire::asBytes(hostId));
    append(out, clientX);
    append(out, hostX);
    append(out, clientNonce);
    append(out, hostNonce);
    return out;
}

tl::expected<SharedSecret, HandshakeError> x25519(ByteView peerPublic,
                                                  const X25519PrivateKey& ownPrivate) {
    if (peerPublic.size() != crypto_scalarmult_BYTES) {
        return tl::unexpected(HandshakeError::malformedMessage());
    }
    wire::ensureSodium();
    SharedSecret shared{};
    // libsodium refuses low-order points and an all-zero result: a peer could
    // otherwise force a secret that everybody knows.
    if (crypto_scalarmult(shared.data(), ownPrivate.bytes().data(), peerPublic.data()) != 0) {
        wire::secureZero(shared);
        return tl::unexpected(HandshakeError::malformedMessage());
    }
    return shared;
}

Bytes hkdf(ByteView ikm, ByteView salt, ByteView info, std::size_t count) {
    if (count > maxHKDFOutput) {
        // Our own constant is wrong; the one-byte block counter would wrap.
        std::fputs("Tarvel: HKDF output length out of range\n", stderr);
        std::abort();
    }
    MAC prk = hmac(salt, {ikm});
    Bytes okm;
    okm.reserve(count);
    MAC block{};
    std::size_t blockLength = 0;
    for (std::uint8_t counter = 1; okm.size() < count; ++counter) {
        // T(i) = HMAC(PRK, T(i-1) || info || i), T(0) empty.
        const std::array<std::uint8_t, 1> counterByte{counter};
        block = hmac(prk, {ByteView(block.data(), blockLength), info, counterByte});
        blockLength = block.size();
        const std::size_t take = std::min(block.size(), count - okm.size());
        okm.insert(okm.end(), block.begin(), block.begin() + static_cast<std::ptrdiff_t>(take));
    }
    // Both are key material from which the output follows.
    wire::secureZero(prk);
    wire::secureZero(block);
    return okm;
}

PairKeys pairKeys(std::span<const std::uint8_t, keySize> dh, std::string_view code,
                  ByteView transcript) {
    // The code is the salt: a client with the wrong code derives another
    // authKey and its confirmation MAC fails.
    Bytes okm = hkdf(dh, wire::asBytes(code), transcript, pairKeysSize);
    PairKeys keys{wire::SymmetricKey(std::span(okm).first<keySize>()),
                  wire::SymmetricKey(std::span(okm).subspan<keySize, keySize>())};
    wire::secureZero(okm);  // the keys hold their own copies
    return keys;
}

wire::SymmetricKey authSessionKey(std::span<const std::uint8_t, keySize> dh, ByteView clientNonce,
                                  ByteView hostNonce, ByteView transcript) {
    Bytes salt;
    salt.reserve(clientNonce.size() + hostNonce.size());
    append(salt, clientNonce);
    append(salt, hostNonce);
    Bytes okm = hkdf(dh, salt, transcript, keySize);
    wire::SymmetricKey key{std::span(okm).first<keySize>()};
    wire::secureZero(okm);  // the key holds its own copy
    return key;
}

MAC mac(ByteView authKey, std::string_view label, ByteView transcript) {
    return hmac(authKey, {wire::asBytes(label), transcript});
}

bool verify(ByteView signature, ByteView message, ByteView publicKey) {
    if (signature.size() != crypto_sign_BYTES || publicKey.size() != crypto_sign_PUBLICKEYBYTES) {
        return false;
    }
    wire::ensureSodium();
    // Also refuses small-order and non-canonical keys and non-canonical S.
    return crypto_sign_verify_detached(signature.data(), message.data(), message.size(),
                                       publicKey.data()) == 0;
}

bool constantTimeEqual(ByteView a, ByteView b) {
    if (a.size() != b.size()) {
        return false;
    }
    // volatile keeps the compiler from turning the loop into an early exit:
    // the time taken must not tell an attacker how many leading bytes matched.
    volatile std::uint8_t difference = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        difference = static_cast<std::uint8_t>(difference | (a[i] ^ b[i]));
    }
    return difference == 0;
}

}  // namespace tarvel::security::HandshakeKDF
