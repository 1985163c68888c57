#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include <tl/expected.hpp>

#include "core/pairing/paired_records.hpp"
#include "core/pairing/paired_store.hpp"
#include "core/security/handshake_failure.hpp"
#include "core/security/handshake_kdf.hpp"
#include "core/security/local_identity.hpp"
#include "core/security/pairing_code_state.hpp"

namespace tarvel::security {

using HostNonce = std::array<std::uint8_t, 16>;

/// What a successful pairing gives the control session.
struct HostPairResult {
    Bytes completeBody;                  // body of the pairComplete frame
    pairing::PairedClientRecord client;  // to store with upsertClient
    SessionKeys keys;
};

/// The host's half of pairing on one connection. Single use: one request,
/// one confirmation, dropped after success or any failure. Runs on the
/// server queue; the only shared state it touches is the code's lock.
class HostPairingHandshake {
  public:
    HostPairingHandshake(HostDescriptor host, std::shared_ptr<PairingCodeState> codeState,
                         X25519PrivateKey ephemeral, HostNonce hostNonce);

    /// Checks the pairRequest body and returns the pairChallenge body. Nothing
    /// here charges the code.
    tl::expected<Bytes, HandshakeFailure> handlePairRequest(ByteView body);

    /// Checks the pairConfirm body. A wrong MAC or signature counts against
    /// the code; success uses the code up before anything else can fail.
    tl::expected<HostPairResult, HandshakeFailure> handleConfirm(
        ByteView body, std::string_view remoteIp, std::chrono::system_clock::time_point now);

  private:
    HostDescriptor host_;
    std::shared_ptr<PairingCodeState> codeState_;
    X25519PrivateKey ephemeral_;
    HostNonce hostNonce_;
    std::optional<PairRequest> request_;
    Bytes clientEd_;
    Bytes transcript_;
    std::optional<HandshakeKDF::PairKeys> keys_;
    bool finished_ = false;
};

/// What a successful authentication gives the control session.
struct HostAuthResult {
    pairing::PairedClientRecord client;  // as stored when the hello arrived
    SessionKeys keys;
};

/// The host's half of authentication on one connection; single use.
class HostAuthHandshake {
  public:
    HostAuthHandshake(HostDescriptor host, std::shared_ptr<const pairing::PairedStore> store,
                      X25519PrivateKey ephemeral, HostNonce hostNonce);

    /// Looks the client up and returns the signed authChallenge body.
    /// `unpaired` for an unknown client id.
    tl::expected<Bytes, HandshakeFailure> handleHello(ByteView body);

    /// Verifies the client's signature with the stored key and derives the
    /// session key.
    tl::expected<HostAuthResult, HandshakeFailure> handleResponse(ByteView body);

  private:
    HostDescriptor host_;
    std::shared_ptr<const pairing::PairedStore> store_;
    X25519PrivateKey ephemeral_;
    HostNonce hostNonce_;
    std::optional<pairing::PairedClientRecord> client_;
    Bytes clientX_;
    Bytes clientNonce_;
    Bytes clientEd_;
    Bytes transcript_;
    bool finished_ = false;
};

/// Whole seconds since 1970, fraction dropped toward zero.
std::int64_t unixSeconds(std::chrono::system_clock::time_point time);

}  // namespace tarvel::security
