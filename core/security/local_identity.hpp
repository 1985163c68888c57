#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "core/wire/bytes.hpp"

namespace tarvel::security {

using wire::Bytes;
using wire::ByteView;

/// A device's long-term identity: a lower-case UUID and an Ed25519 signing
/// key. An immutable value, safe to share between threads; the secret key
/// bytes of every copy are wiped when that copy is destroyed.
class LocalIdentity {
  public:
    static constexpr std::size_t seedSize = 32;
    static constexpr std::size_t publicKeySize = 32;
    static constexpr std::size_t signatureSize = 64;

    using PublicKey = std::array<std::uint8_t, publicKeySize>;
    using Signature = std::array<std::uint8_t, signatureSize>;

    /// A fresh random v4 UUID as id and a fresh random signing key.
    static LocalIdentity generate();

    /// Rebuilds an identity from a stored 32-byte seed (the RFC 8032 private
    /// key); nothing for a seed of any other length. The id is taken as given.
    static std::optional<LocalIdentity> fromSeed(std::string id, ByteView seed);

    LocalIdentity(const LocalIdentity&) = default;
    LocalIdentity& operator=(const LocalIdentity&) = default;
    ~LocalIdentity();

    const std::string& id() const noexcept { return id_; }

    /// The 32-byte seed: what is stored, and all that is needed to sign.
    std::span<const std::uint8_t, seedSize> seed() const noexcept;

    const PublicKey& publicKey() const noexcept { return publicKey_; }

    /// 64 lower-case hex characters of the public key.
    std::string publicKeyHex() const;

    /// 16 lower-case hex characters identifying the public key.
    std::string fingerprint() const;

    /// Ed25519 signature of the raw message bytes (no pre-hashing).
    Signature sign(ByteView message) const;

    /// Same id and same key. Public keys stand for the seeds they come from.
    friend bool operator==(const LocalIdentity& a, const LocalIdentity& b) {
        return a.id_ == b.id_ && a.publicKey_ == b.publicKey_;
    }

  private:
    LocalIdentity(std::string id, std::span<const std::uint8_t, seedSize> seed);

    std::string id_;
    // libsodium's expanded secret key: seed followed by the public key.
    std::array<std::uint8_t, 64> secretKey_{};
    PublicKey publicKey_{};
};

/// An ephemeral X25519 private key, made fresh for every handshake and wiped
/// when dropped. Copyable so a handshake object can hold it by value.
class X25519PrivateKey {
  public:
    static constexpr std::size_t size = 32;

    using PublicKey = std::array<std::uint8_t, size>;

    /// A fresh random key.
    static X25519PrivateKey generate();

    /// A key from its 32 raw bytes (known-answer tests, replayed runs);
    /// nothing for any other length. Clamping happens in the agreement.
    static std::optional<X25519PrivateKey> fromBytes(ByteView raw);

    X25519PrivateKey(const X25519PrivateKey&) = default;
    X25519PrivateKey& operator=(const X25519PrivateKey&) = default;
    ~X25519PrivateKey();

    /// The raw private scalar, for the key agreement only.
    std::span<const std::uint8_t, size> bytes() const noexcept { return secret_; }

    /// The raw 32-byte public key sent to the peer.
    const PublicKey& publicKey() const noexcept { return publicKey_; }

  private:
    explicit X25519PrivateKey(std::span<const std::uint8_t, size> raw);

    std::array<std::uint8_t, size> secret_{};
    PublicKey publicKey_{};
};

}  // namespace tarvel::security
