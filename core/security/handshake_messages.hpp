#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <tl/expected.hpp>

#include "core/security/local_identity.hpp"
#include "core/wire/json_codec.hpp"
#include "core/wire/sodium.hpp"

namespace tarvel::security {

using wire::JSON;
using wire::JSONError;

/// Why a handshake failed. Equal means same kind and, for rejected, same reason.
class HandshakeError {
  public:
    enum class Kind : std::uint8_t {
        rejected,          // the peer refused with a free-form reason
        malformedMessage,  // a message or field did not decode, or a key was unusable
        noActiveCode,      // no pairing code is on display
        invalidCode,       // the pairing code was wrong or used up
        unpaired,          // the client is not known to the host
        badSignature,      // an Ed25519 signature did not verify
        badMac,            // a confirmation MAC did not match
        hostKeyMismatch,   // the host's key is not the one pinned at pairing
        outOfOrder,        // a message arrived at the wrong step
    };

    static HandshakeError rejected(std::string reason) {
        return {Kind::rejected, std::move(reason)};
    }
    static HandshakeError malformedMessage() { return {Kind::malformedMessage, {}}; }
    static HandshakeError noActiveCode() { return {Kind::noActiveCode, {}}; }
    static HandshakeError invalidCode() { return {Kind::invalidCode, {}}; }
    static HandshakeError unpaired() { return {Kind::unpaired, {}}; }
    static HandshakeError badSignature() { return {Kind::badSignature, {}}; }
    static HandshakeError badMac() { return {Kind::badMac, {}}; }
    static HandshakeError hostKeyMismatch() { return {Kind::hostKeyMismatch, {}}; }
    static HandshakeError outOfOrder() { return {Kind::outOfOrder, {}}; }

    Kind kind() const noexcept { return kind_; }

    /// The reason a refusal frame carries. Many kinds share one reason so the
    /// peer never learns which check failed (a bad MAC reads as a wrong code).
    std::string rejectReason() const;

    /// For log lines, e.g. "badMac" or "rejected(busy)".
    std::string description() const;

    friend bool operator==(const HandshakeError&, const HandshakeError&) = default;

  private:
    HandshakeError(Kind kind, std::string reason) : kind_(kind), reason_(std::move(reason)) {}

    Kind kind_;
    std::string reason_;  // empty unless kind is rejected
};

std::ostream& operator<<(std::ostream& out, const HandshakeError& error);

// Handshake messages. Fields carry their JSON key names; binary values are
// hex text, checked for length by the receiver, not here. Decoding is strict
// about types and ignores unknown keys.

/// Pairing step 1, client to host.
struct PairRequest {
    std::string clientId;
    std::string deviceName;
    std::string deviceModel;
    std::string clientX25519PubHex;
    std::string clientEd25519PubHex;
    std::string clientNonceHex;

    JSON toJSON() const;
    static tl::expected<PairRequest, JSONError> fromJSON(const JSON& json);
    friend bool operator==(const PairRequest&, const PairRequest&) = default;
};

/// Pairing step 2, host to client.
struct PairChallenge {
    std::string hostId;
    std::string hostName;
    std::string osType;
    std::string hostX25519PubHex;
    std::string hostEd25519PubHex;
    std::string hostNonceHex;
    std::vector<std::string> lanEndpoints;
    std::vector<std::string> tailscaleEndpoints;
    std::optional<std::string> deviceType;  // key omitted when absent

    JSON toJSON() const;
    static tl::expected<PairChallenge, JSONError> fromJSON(const JSON& json);
    friend bool operator==(const PairChallenge&, const PairChallenge&) = default;
};

/// Pairing step 3, client to host.
struct PairConfirm {
    std::string clientMacHex;
    std::string clientSigHex;

    JSON toJSON() const;
    static tl::expected<PairConfirm, JSONError> fromJSON(const JSON& json);
    friend bool operator==(const PairConfirm&, const PairConfirm&) = default;
};

/// Pairing step 4, host to client.
struct PairComplete {
    std::string hostMacHex;
    std::string hostSigHex;
    std::int64_t udpPort = 0;

    JSON toJSON() const;
    static tl::expected<PairComplete, JSONError> fromJSON(const JSON& json);
    friend bool operator==(const PairComplete&, const PairComplete&) = default;
};

/// Authentication step 1, client to host.
struct AuthHello {
    std::string clientId;
    std::string deviceName;
    std::string clientX25519PubHex;
    std::string clientNonceHex;

    JSON toJSON() const;
    static tl::expected<AuthHello, JSONError> fromJSON(const JSON& json);
    friend bool operator==(const AuthHello&, const AuthHello&) = default;
};

/// Authentication step 2, host to client.
struct AuthChallenge {
    std::string hostId;
    std::string hostName;
    std::string osType;
    std::string hostX25519PubHex;
    std::string hostNonceHex;
    std::string hostSigHex;
    std::int64_t udpPort = 0;
    std::vector<std::string> lanEndpoints;
    std::vector<std::string> tailscaleEndpoints;
    std::optional<std::string> deviceType;  // key omitted when absent

    JSON toJSON() const;
    static tl::expected<AuthChallenge, JSONError> fromJSON(const JSON& json);
    friend bool operator==(const AuthChallenge&, const AuthChallenge&) = default;
};

/// Authentication step 3, client to host.
struct AuthResponse {
    std::string clientSigHex;

    JSON toJSON() const;
    static tl::expected<AuthResponse, JSONError> fromJSON(const JSON& json);
    friend bool operator==(const AuthResponse&, const AuthResponse&) = default;
};

/// What a host handshake knows about its own host.
struct HostDescriptor {
    LocalIdentity identity;
    std::string displayName;
    std::string osType;  // the operating-system raw value, e.g. "macos" or "linux"
    std::optional<std::string> deviceType;
    std::vector<std::string> lanEndpoints;
    std::vector<std::string> tailscaleEndpoints;
    std::uint16_t udpPort = 0;

    const std::string& hostId() const noexcept { return identity.id(); }
};

/// What a client handshake knows about its own device.
struct ClientDescriptor {
    LocalIdentity identity;
    std::string deviceName;
    std::string deviceModel;
};

/// What a successful handshake yields: one key for both directions and both
/// transports (nonce prefixes keep them apart).
struct SessionKeys {
    wire::SymmetricKey sessionKey;

    /// The same bytes, as the ChaCha20-Poly1305 key of the secure channel.
    const wire::SymmetricKey& symmetricKey() const noexcept { return sessionKey; }
};

}  // namespace tarvel::security
