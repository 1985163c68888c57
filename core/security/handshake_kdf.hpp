#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include <tl/expected.hpp>

#include "core/security/handshake_messages.hpp"
#include "core/security/local_identity.hpp"
#include "core/wire/bytes.hpp"
#include "core/wire/sodium.hpp"

namespace tarvel::security {

/// The pure functions both handshake halves must agree on byte for byte.
namespace HandshakeKDF {

inline constexpr std::string_view pairTranscriptTag = "RC_PAIR_V1";
inline constexpr std::string_view authTranscriptTag = "RC_AUTH_V1";
inline constexpr std::string_view clientConfirmLabel = "CLIENT_CONFIRM";
inline constexpr std::string_view hostConfirmLabel = "HOST_CONFIRM";

/// Size of an X25519 shared secret, an HMAC-SHA256 output and each derived key.
inline constexpr std::size_t keySize = 32;
/// The most an HKDF-SHA256 expansion can give: 255 blocks of 32 bytes.
inline constexpr std::size_t maxHKDFOutput = 255 * 32;

using SharedSecret = std::array<std::uint8_t, keySize>;
using MAC = std::array<std::uint8_t, keySize>;

/// Keys of a pairing: the session key and the key of the confirmation MACs.
/// Both are wiped when dropped.
struct PairKeys {
    wire::SymmetricKey sessionKey;
    wire::SymmetricKey authKey;
};

/// "RC_PAIR_V1" || clientId || hostId || clientX || hostX || clientEd || hostEd
/// || clientNonce || hostNonce: plain concatenation, no lengths. Sizes are the
/// caller's to check.
Bytes pairTranscript(std::string_view clientId, std::string_view hostId, ByteView clientX,
                     ByteView hostX, ByteView clientEd, ByteView hostEd, ByteView clientNonce,
                     ByteView hostNonce);

/// "RC_AUTH_V1" || clientId || hostId || clientX || hostX || clientNonce || hostNonce.
Bytes authTranscript(std::string_view clientId, std::string_view hostId, ByteView clientX,
                     ByteView hostX, ByteView clientNonce, ByteView hostNonce);

/// The raw X25519 shared secret of the peer's public key and our private key.
/// malformedMessage when the peer key is not 32 bytes or is a low-order point
/// (the agreement would give a secret the peer could predict). The caller
/// wipes the result once keys are derived.
tl::expected<SharedSecret, HandshakeError> x25519(ByteView peerPublic,
                                                  const X25519PrivateKey& ownPrivate);

/// HKDF-SHA256 extract-and-expand, `count` output bytes. An empty salt acts
/// as 32 zero bytes. `count` above maxHKDFOutput is a programming error and
/// stops the process.
Bytes hkdf(ByteView ikm, ByteView salt, ByteView info, std::size_t count);

/// okm = HKDF(dh, salt = the UTF-8 code, info = pairing transcript, 64 bytes);
/// sessionKey = okm[0..32), authKey = okm[32..64). A wrong code changes both.
PairKeys pairKeys(std::span<const std::uint8_t, keySize> dh, std::string_view code,
                  ByteView transcript);

/// HKDF(dh, salt = clientNonce || hostNonce, info = authentication transcript, 32 bytes).
wire::SymmetricKey authSessionKey(std::span<const std::uint8_t, keySize> dh, ByteView clientNonce,
                                  ByteView hostNonce, ByteView transcript);

/// HMAC-SHA256 keyed with authKey over label || transcript.
MAC mac(ByteView authKey, std::string_view label, ByteView transcript);

/// Ed25519 verification of a signature over the raw message. False for a
/// signature that is not 64 bytes or a public key that is not 32 bytes or
/// cannot be parsed; never fails otherwise.
bool verify(ByteView signature, ByteView message, ByteView publicKey);

/// Equality whose running time depends only on the lengths: false at once
/// for different lengths, otherwise every byte is looked at.
bool constantTimeEqual(ByteView a, ByteView b);

}  // namespace HandshakeKDF

}  // namespace tarvel::security
