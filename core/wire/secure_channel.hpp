#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>

#include <tl/expected.hpp>

#include "core/wire/bytes.hpp"
#include "core/wire/frame.hpp"
#include "core/wire/json_codec.hpp"
#include "core/wire/sodium.hpp"
#include "core/wire/wire_error.hpp"

namespace tarvel::wire {

/// The first four nonce bytes of each stream. One session key seals all four
/// streams; the prefix is what keeps their nonces apart.
namespace NoncePrefix {
inline constexpr std::size_t length = 4;
using Bytes = std::array<std::uint8_t, length>;
inline constexpr Bytes clientTCP{0x43, 0x54, 0x43, 0x50};  // "CTCP"
inline constexpr Bytes hostTCP{0x48, 0x54, 0x43, 0x50};    // "HTCP"
inline constexpr Bytes clientUDP{0x43, 0x55, 0x44, 0x50};  // "CUDP"
inline constexpr Bytes hostUDP{0x48, 0x55, 0x44, 0x50};    // "HUDP"
}  // namespace NoncePrefix

using NonceBytes = std::array<std::uint8_t, 12>;

/// The 12-byte nonce: the stream's prefix, then the counter little-endian.
NonceBytes makeNonceBytes(std::span<const std::uint8_t, NoncePrefix::length> prefix,
                          std::uint64_t counter) noexcept;

/// ChaCha20-Poly1305 (IETF, 96-bit nonce) with the tag kept apart from the
/// ciphertext. Both the frame and the datagram codecs seal through here.
namespace ChaChaPoly {
inline constexpr std::size_t tagLength = 16;
using Tag = std::array<std::uint8_t, tagLength>;

/// Encrypts `plaintext` into `ciphertext` (same size; the two may be the
/// same memory) and writes the tag authenticating it and `aad`.
void sealDetached(const SymmetricKey& key, const NonceBytes& nonce, ByteView aad,
                  ByteView plaintext, std::span<std::uint8_t> ciphertext,
                  std::span<std::uint8_t, tagLength> tag) noexcept;

/// Checks `tag` over `ciphertext` and `aad` in constant time and only then
/// decrypts into `plaintext` (same size). False, with nothing decrypted, on
/// any mismatch.
[[nodiscard]] bool openDetached(const SymmetricKey& key, const NonceBytes& nonce, ByteView aad,
                                ByteView ciphertext, std::span<const std::uint8_t, tagLength> tag,
                                std::span<std::uint8_t> plaintext) noexcept;
}  // namespace ChaChaPoly

namespace TCPFrameCodec {

/// Largest plaintext one sealed frame carries: the length field must still
/// cover the type byte and the tag.
inline constexpr std::size_t maxSealedPlaintextLen = maxPayloadLen - 1 - ChaChaPoly::tagLength;

/// Associated data of a sealed frame: the clear type byte and the frame's
/// length field value (1 + body length), little-endian.
std::array<std::uint8_t, 5> aad(std::uint8_t type, std::uint32_t payloadLen) noexcept;

/// A complete sealed frame (length, clear type, ciphertext, tag) under
/// `noncePrefix` and `counter`. Fails with frameTooLarge above 65 519
/// plaintext bytes. Reusing a prefix and counter under one key breaks the
/// cipher; SecureTCPChannel keeps the counters.
tl::expected<Bytes, WireError> seal(const SymmetricKey& key,
                                    std::span<const std::uint8_t, NoncePrefix::length> noncePrefix,
                                    std::uint64_t counter, std::uint8_t type, ByteView plaintext);

/// The plaintext of a frame from TCPFrameDecoder. Any failure, a body too
/// short for a tag included, is authenticationFailed.
tl::expected<Bytes, WireError> open(const SymmetricKey& key,
                                    std::span<const std::uint8_t, NoncePrefix::length> noncePrefix,
                                    std::uint64_t counter, const TCPFrame& frame);

}  // namespace TCPFrameCodec

/// Seals and opens the frames of one established control connection, each
/// direction with its own prefix and a counter from 0. Every call may come
/// from any thread; sealed frames must be sent in the order they were sealed.
class SecureTCPChannel {
public:
    enum class Role : std::uint8_t { client, host };

    /// A channel for one connection; the role picks which prefix is ours.
    SecureTCPChannel(const SymmetricKey& sessionKey, Role role) noexcept;

    SecureTCPChannel(const SecureTCPChannel&) = delete;
    SecureTCPChannel& operator=(const SecureTCPChannel&) = delete;

    /// The next frame to send. A failure (frameTooLarge) uses no counter value.
    tl::expected<Bytes, WireError> seal(std::uint8_t type, ByteView plaintext);

    /// Encodes `body` with JSONCodec, then seals it. A body that cannot be
    /// encoded (text that is not UTF-8) fails with malformed and uses no
    /// counter value.
    template <JSONBody T>
    tl::expected<Bytes, WireError> seal(std::uint8_t type, const T& body) {
        auto json = JSONCodec::encode(body);
        if (!json) {
            return tl::unexpected(WireError::malformed());
        }
        return seal(type, ByteView(*json));
    }

    /// The plaintext of the next received frame; its type is the caller's to
    /// read from `frame`. A frame that fails (authenticationFailed: wrong key,
    /// replayed, reordered or altered) leaves the counter where it was.
    tl::expected<Bytes, WireError> open(const TCPFrame& frame);

    Role role() const noexcept { return role_; }

private:
    const SymmetricKey key_;
    const Role role_;
    const NoncePrefix::Bytes sendPrefix_;
    const NoncePrefix::Bytes recvPrefix_;
    std::mutex lock_;  // one seal or open together with its counter step
    std::uint64_t sendCounter_ = 0;
    std::uint64_t recvCounter_ = 0;
};

}  // namespace tarvel::wire
