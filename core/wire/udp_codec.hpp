#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include <tl/expected.hpp>

#include "core/wire/bytes.hpp"
#include "core/wire/input_packet.hpp"
#include "core/wire/sodium.hpp"
#include "core/wire/wire_error.hpp"

namespace tarvel::wire {

/// Input datagrams (client to host: clear header, encrypted payload, tag) and
/// their acknowledgements (host to client: header and tag only).
namespace UDPCodec {

inline constexpr std::size_t datagramLength = InputPacket::datagramLength;
inline constexpr std::size_t ackLength = 28;

using Datagram = std::array<std::uint8_t, datagramLength>;
using Ack = std::array<std::uint8_t, ackLength>;

/// The 36-byte datagram of `packet` (client side). The nonce is the packet's
/// seq under the "CUDP" prefix, so the caller must never seal two different
/// packets with one seq under one key.
Datagram seal(const InputPacket& packet, const SymmetricKey& key) noexcept;

/// The packet in a received datagram (host side; the hot path: allocates
/// nothing). Checks, first failure wins: exactly 36 bytes (truncated), version
/// 1 (badVersion), authentic under `key` (authenticationFailed), flags below
/// 0x60 (malformed), defined opcode (unknownOpcode), key state (malformed).
/// Replay is not judged here: pass `seq` through a SequenceWindow.
tl::expected<InputPacket, WireError> open(ByteView datagram, const SymmetricKey& key) noexcept;

/// The 28-byte acknowledgement of `seq` (host side). Acknowledging the same
/// seq twice gives the same bytes.
Ack sealAck(std::uint64_t seq, const SymmetricKey& key) noexcept;

/// Whether a received datagram has the shape of an acknowledgement (28 bytes,
/// ack opcode). Says nothing about its authenticity.
bool isAck(ByteView datagram) noexcept;

/// The sequence number acknowledged (client side). Fails with truncated for
/// a length other than 28, malformed for a header not starting 01 FE, and
/// authenticationFailed when the tag does not verify.
tl::expected<std::uint64_t, WireError> openAck(ByteView datagram, const SymmetricKey& key) noexcept;

}  // namespace UDPCodec

}  // namespace tarvel::wire
