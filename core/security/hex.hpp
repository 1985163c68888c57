#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "core/wire/bytes.hpp"

namespace tarvel::security {

using wire::Bytes;
using wire::ByteView;

/// Hexadecimal text: how every binary value travels inside a JSON message.
namespace Hex {

/// Two lower-case characters per byte, high nibble first; empty in, empty out.
std::string encode(ByteView bytes);

/// Strict decoding of an even number of [0-9a-fA-F] characters. Anything else
/// (odd length, whitespace, a "0x" prefix, any other byte) gives nothing; the
/// empty text gives an empty buffer.
std::optional<Bytes> decode(std::string_view text);

/// As decode, and nothing unless exactly `count` bytes result. Every key,
/// nonce, MAC and signature received is read through this.
std::optional<Bytes> decode(std::string_view text, std::size_t count);

/// `count` bytes from libsodium's cryptographically secure random source.
Bytes random(std::size_t count);

}  // namespace Hex

}  // namespace tarvel::security
