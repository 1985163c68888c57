#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace tarvel::wire {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

/// Little-endian load of an unsigned integer of sizeof(T) bytes; no alignment assumed.
template <class T>
constexpr T loadLE(std::span<const std::uint8_t, sizeof(T)> in) noexcept {
    T value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        value |= static_cast<T>(static_cast<T>(in[i]) << (8 * i));
    }
    return value;
}

/// Little-endian store of an unsigned integer into exactly sizeof(T) bytes.
template <class T>
constexpr void storeLE(std::span<std::uint8_t, sizeof(T)> out, T value) noexcept {
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        out[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

inline std::uint16_t loadLE16(const std::uint8_t* p) noexcept {
    return loadLE<std::uint16_t>(std::span<const std::uint8_t, 2>(p, 2));
}
inline std::uint32_t loadLE32(const std::uint8_t* p) noexcept {
    return loadLE<std::uint32_t>(std::span<const std::uint8_t, 4>(p, 4));
}
inline std::uint64_t loadLE64(const std::uint8_t* p) noexcept {
    return loadLE<std::uint64_t>(std::span<const std::uint8_t, 8>(p, 8));
}
inline void storeLE16(std::uint8_t* p, std::uint16_t v) noexcept {
    storeLE<std::uint16_t>(std::span<std::uint8_t, 2>(p, 2), v);
}
inline void storeLE32(std::uint8_t* p, std::uint32_t v) noexcept {
    storeLE<std::uint32_t>(std::span<std::uint8_t, 4>(p, 4), v);
}
inline void storeLE64(std::uint8_t* p, std::uint64_t v) noexcept {
    storeLE<std::uint64_t>(std::span<std::uint8_t, 8>(p, 8), v);
}

/// The bytes of a text, without a terminator.
inline ByteView asBytes(std::string_view text) noexcept {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

inline Bytes toBytes(std::string_view text) {
    auto view = asBytes(text);
    return Bytes(view.begin(), view.end());
}

}  // namespace tarvel::wire
