#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include <tl/expected.hpp>

#include "core/wire/bytes.hpp"
#include "core/wire/wire_error.hpp"

namespace tarvel::wire {

/// One control frame: a type byte and its body (JSON text, sealed bytes or empty).
struct TCPFrame {
    std::uint8_t type = 0;
    Bytes body;

    friend bool operator==(const TCPFrame&, const TCPFrame&) = default;
};

/// Frame type codes. C = client to host, H = host to client.
namespace FrameType {
inline constexpr std::uint8_t getInfo = 0x10;         // C, clear, empty body
inline constexpr std::uint8_t pairRequest = 0x10;     // C, clear; told from getInfo by a non-empty body
inline constexpr std::uint8_t pairChallenge = 0x11;   // H, clear
inline constexpr std::uint8_t pairConfirm = 0x12;     // C, clear
inline constexpr std::uint8_t pairComplete = 0x13;    // H, clear
inline constexpr std::uint8_t infoReply = 0x14;       // H, clear
inline constexpr std::uint8_t pairReject = 0x1F;      // H, clear
inline constexpr std::uint8_t authHello = 0x20;       // C, clear
inline constexpr std::uint8_t authChallenge = 0x21;   // H, clear
inline constexpr std::uint8_t authResponse = 0x22;    // C, clear
inline constexpr std::uint8_t authOK = 0x23;          // H, sealed
inline constexpr std::uint8_t errUnpaired = 0x2F;     // H, clear
inline constexpr std::uint8_t ping = 0x30;            // C, sealed
inline constexpr std::uint8_t pong = 0x31;            // H, sealed
inline constexpr std::uint8_t textUTF8 = 0x32;        // C, sealed
inline constexpr std::uint8_t clipboardSet = 0x33;    // C, sealed
inline constexpr std::uint8_t reliableInput = 0x34;   // C, sealed
inline constexpr std::uint8_t hostStatus = 0x36;      // reserved; never sent nor handled
inline constexpr std::uint8_t unpairedByHost = 0x3F;  // H, sealed
}  // namespace FrameType

namespace TCPFrameCodec {

/// Largest value of the length field: the type byte plus a 65 535-byte body.
inline constexpr std::uint32_t maxPayloadLen = 0x10000;

/// Size of the little-endian length field in front of every frame.
inline constexpr std::size_t lengthFieldSize = 4;

/// A complete clear frame: 4-byte length (1 + body size), type, body.
/// Fails with frameTooLarge when the body has 65 536 bytes or more.
tl::expected<Bytes, WireError> encodePlain(std::uint8_t type, ByteView body);

}  // namespace TCPFrameCodec

/// Cuts frames out of a byte stream. Consumed bytes are dropped lazily, so a
/// read that completes many small frames costs time linear in its size.
/// After an error the decoder is of no further use: the caller closes.
class TCPFrameDecoder {
public:
    TCPFrameDecoder() = default;

    /// Buffers received bytes.
    void append(ByteView bytes);

    /// The next complete frame, nothing while one is incomplete, or an error
    /// as soon as a bad length field is buffered (before its body arrives).
    tl::expected<std::optional<TCPFrame>, WireError> next();

    /// Bytes received and not yet returned in a frame.
    std::size_t bufferedBytes() const noexcept { return buffer_.size() - head_; }

private:
    Bytes buffer_;
    std::size_t head_ = 0;  // first byte not yet consumed
};

}  // namespace tarvel::wire
