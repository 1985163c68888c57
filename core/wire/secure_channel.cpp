#include "core/wire/secure_channel.hpp"

#include <sodium.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace tarvel::wire {

static_assert(crypto_aead_chacha20poly1305_ietf_NPUBBYTES == std::tuple_size_v<NonceBytes>);
static_assert(crypto_aead_chacha20poly1305_ietf_ABYTES == ChaChaPoly::tagLength);
static_assert(crypto_aead_chacha20poly1305_ietf_KEYBYTES == SymmetricKey::size);
static_assert(TCPFrameCodec::maxSealedPlaintextLen == 65519);

NonceBytes makeNonceBytes(std::span<const std::uint8_t, NoncePrefix::length> prefix,
                          std::uint64_t counter) noexcept {
    NonceBytes nonce{};
    std::copy(prefix.begin(), prefix.end(), nonce.begin());
    storeLE64(&nonce[NoncePrefix::length], counter);
    return nonce;
}

namespace ChaChaPoly {

void sealDetached(const SymmetricKey& key, const NonceBytes& nonce, ByteView aad,
                  ByteView plaintext, std::span<std::uint8_t> ciphertext,
                  std::span<std::uint8_t, tagLength> tag) noexcept {
    ensureSodium();
    if (ciphertext.size() != plaintext.size()) {
        // Only our own code calls this with fixed sizes; writing past the
        // output would be worse than stopping.
        std::fputs("Tarvel: AEAD output size mismatch\n", stderr);
        std::abort();
    }
    // libsodium wants a non-null output even when there is nothing to encrypt.
    std::uint8_t empty = 0;
    unsigned long long tagWritten = 0;
    crypto_aead_chacha20poly1305_ietf_encrypt_detached(
        ciphertext.empty() ? &empty : ciphertext.data(), tag.data(), &tagWritten, plaintext.data(),
        plaintext.size(), aad.data(), aad.size(), nullptr, nonce.data(), key.data());
}

bool openDetached(const SymmetricKey& key, const NonceBytes& nonce, ByteView aad,
                  ByteView ciphertext, std::span<const std::uint8_t, tagLength> tag,
                  std::span<std::uint8_t> plaintext) noexcept {
    ensureSodium();
    if (plaintext.size() != ciphertext.size()) {
        return false;
    }
    const std::uint8_t empty = 0;
    // libsodium compares the tag in constant time and decrypts only after it matched.
    return crypto_aead_chacha20poly1305_ietf_decrypt_detached(
               plaintext.data(), nullptr, ciphertext.empty() ? &empty : ciphertext.data(),
               ciphertext.size(), tag.data(), aad.data(), aad.size(), nonce.data(),
               key.data()) == 0;
}

}  // namespace ChaChaPoly

namespace TCPFrameCodec {

std::array<std::uint8_t, 5> aad(std::uint8_t type, std::uint32_t payloadLen) noexcept {
    std::array<std::uint8_t, 5> out{};
    out[0] = type;
    storeLE32(&out[1], payloadLen);
    return out;
}

tl::expected<Bytes, WireError> seal(const SymmetricKey& key,
                                    std::span<const std::uint8_t, NoncePrefix::length> noncePrefix,
                                    std::uint64_t counter, std::uint8_t type, ByteView plaintext) {
    if (plaintext.size() > maxSealedPlaintextLen) {
        return tl::unexpected(WireError::frameTooLarge());
    }
    const std::size_t bodyLength = plaintext.size() + ChaChaPoly::tagLength;
    const auto payloadLen = static_cast<std::uint32_t>(1 + bodyLength);
    const NonceBytes nonce = makeNonceBytes(noncePrefix, counter);
    // The type and length travel in the clear; binding them here stops a
    // peer-in-the-middle from relabelling or cutting a frame.
    const auto associated = aad(type, payloadLen);

    Bytes body(bodyLength);
    const std::span<std::uint8_t> bodyView(body);
    ChaChaPoly::sealDetached(key, nonce, associated, plaintext, bodyView.first(plaintext.size()),
                             bodyView.last<ChaChaPoly::tagLength>());
    return encodePlain(type, body);
}

tl::expected<Bytes, WireError> open(const SymmetricKey& key,
                                    std::span<const std::uint8_t, NoncePrefix::length> noncePrefix,
                                    std::uint64_t counter, const TCPFrame& frame) {
    const ByteView body(frame.body);
    // No sealed frame is shorter than its tag or longer than a frame can be.
    if (body.size() < ChaChaPoly::tagLength || body.size() >= maxPayloadLen) {
        return tl::unexpected(WireError::authenticationFailed());
    }
    const std::size_t plainLength = body.size() - ChaChaPoly::tagLength;
    const NonceBytes nonce = makeNonceBytes(noncePrefix, counter);
    const auto associated = aad(frame.type, static_cast<std::uint32_t>(body.size() + 1));

    Bytes plaintext(plainLength);
    if (!ChaChaPoly::openDetached(key, nonce, associated, body.first(plainLength),
                                  body.last<ChaChaPoly::tagLength>(), plaintext)) {
        return tl::unexpected(WireError::authenticationFailed());
    }
    return plaintext;
}

}  // namespace TCPFrameCodec

namespace {

// The last counter value is never used, so a counter can never wrap to a
// nonce it has already used.
constexpr std::uint64_t exhaustedCounter = std::numeric_limits<std::uint64_t>::max();

}  // namespace

SecureTCPChannel::SecureTCPChannel(const SymmetricKey& sessionKey, Role role) noexcept
    : key_(sessionKey),
      role_(role),
      sendPrefix_(role == Role::host ? NoncePrefix::hostTCP : NoncePrefix::clientTCP),
      recvPrefix_(role == Role::host ? NoncePrefix::clientTCP : NoncePrefix::hostTCP) {
    ensureSodium();
}

tl::expected<Bytes, WireError> SecureTCPChannel::seal(std::uint8_t type, ByteView plaintext) {
    std::lock_guard guard(lock_);
    if (sendCounter_ == exhaustedCounter) {
        // Only our own sends move this counter, and 2^64 - 1 frames cannot be
        // sent in any connection's lifetime: reaching it is a bug of ours.
        std::fputs("Tarvel: TCP send counter exhausted\n", stderr);
        std::abort();
    }
    auto frame = TCPFrameCodec::seal(key_, sendPrefix_, sendCounter_, type, plaintext);
    if (frame) {
        ++sendCounter_;  // only a sealed frame uses up its nonce
    }
    return frame;
}

tl::expected<Bytes, WireError> SecureTCPChannel::open(const TCPFrame& frame) {
    std::lock_guard guard(lock_);
    if (recvCounter_ == exhaustedCounter) {
        // The peer drives this counter; refusing keeps it from ending the process.
        return tl::unexpected(WireError::authenticationFailed());
    }
    auto plaintext = TCPFrameCodec::open(key_, recvPrefix_, recvCounter_, frame);
    if (plaintext) {
        // TCP keeps order, so the next frame must carry exactly the next counter.
        ++recvCounter_;
    }
    return plaintext;
}

}  // namespace tarvel::wire
