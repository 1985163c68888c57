#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include <tl/expected.hpp>

#include "core/pairing/paired_records.hpp"
#include "core/security/handshake_failure.hpp"
#include "core/security/handshake_kdf.hpp"
#include "core/security/local_identity.hpp"

namespace tarvel::security {

/// What a client keeps from a successful pairing.
struct ClientPairResult {
    pairing::PairedHostRecord host;  // pins the host's id and Ed25519 key
    SessionKeys keys;
    std::int64_t udpPort = 0;
};

/// The client's half of pairing; single use. A refusal frame received
/// instead of an answer is read with HandshakeFrames::failure.
class ClientPairingHandshake {
  public:
    /// `expectedHostKey`: the Ed25519 key a pairing link names (its `pk`),
    /// when pairing from a link; a typed code has none to check.
    ClientPairingHandshake(ClientDescriptor client, std::string code, X25519PrivateKey ephemeral,
                           Bytes nonce, std::optional<Bytes> expectedHostKey = std::nullopt);

    /// The pairRequest body.
    tl::expected<Bytes, HandshakeFailure> makeRequest() const;

    /// Derives the keys from the challenge and returns the pairConfirm body,
    /// proving the code (MAC) and our key (signature). The challenge itself
    /// proves nothing about the host yet. With an expected key, a challenge
    /// naming another is refused (hostKeyMismatch) before anything is derived
    /// or signed, so the phone never pairs with a host other than the link's.
    /// The challenge is not signed: a relay naming the real key still gets a
    /// confirmation to guess the code against offline.
    tl::expected<Bytes, HandshakeFailure> handleChallenge(ByteView body);

    /// Checks the host's MAC (badMac) and signature (badSignature) and builds
    /// the host record to pin.
    tl::expected<ClientPairResult, HandshakeFailure> handleComplete(
        ByteView body, std::chrono::system_clock::time_point now);

  private:
    ClientDescriptor client_;
    std::string code_;
    X25519PrivateKey ephemeral_;
    Bytes nonce_;
    std::optional<Bytes> expectedHostKey_;
    std::optional<PairChallenge> challenge_;
    pairing::HostOSType hostOS_ = pairing::HostOSType::macos;
    Bytes hostEd_;
    Bytes transcript_;
    std::optional<HandshakeKDF::PairKeys> keys_;
    bool finished_ = false;
};

/// What a client gets from a successful authentication.
struct ClientAuthResult {
    Bytes responseBody;  // the authResponse body to send
    SessionKeys keys;
    AuthChallenge challenge;  // to refresh the host's name, endpoints and port
};

/// The client's half of authentication against a host pinned at pairing.
class ClientAuthHandshake {
  public:
    ClientAuthHandshake(ClientDescriptor client, pairing::PairedHostRecord pinnedHost,
                        X25519PrivateKey ephemeral, Bytes nonce);

    /// The authHello body.
    tl::expected<Bytes, HandshakeFailure> makeHello() const;

    /// Verifies the host against the pinned id and key, then signs. We sign
    /// only after the host has proved itself.
    tl::expected<ClientAuthResult, HandshakeFailure> handleChallenge(ByteView body);

  private:
    ClientDescriptor client_;
    pairing::PairedHostRecord pinnedHost_;
    X25519PrivateKey ephemeral_;
    Bytes nonce_;
    bool finished_ = false;
};

}  // namespace tarvel::security
