#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "core/wire/bytes.hpp"

namespace tarvel::wire {

/// Initialises libsodium once per process; cheap after the first call. Every
/// function of the core that draws random bytes or uses a primitive calls it.
void ensureSodium() noexcept;

/// Overwrites memory in a way the compiler may not elide.
void secureZero(std::span<std::uint8_t> bytes) noexcept;

/// A 32-byte ChaCha20-Poly1305 key, wiped when it goes out of scope.
class SymmetricKey {
public:
    static constexpr std::size_t size = 32;

    SymmetricKey() = default;
    explicit SymmetricKey(std::span<const std::uint8_t, size> bytes) noexcept;
    SymmetricKey(const SymmetricKey&) = default;
    SymmetricKey& operator=(const SymmetricKey&) = default;
    ~SymmetricKey();

    /// The key for exactly 32 bytes, nothing for any other length.
    static std::optional<SymmetricKey> fromBytes(ByteView bytes) noexcept;

    std::span<const std::uint8_t, size> bytes() const noexcept { return bytes_; }
    const std::uint8_t* data() const noexcept { return bytes_.data(); }

    friend bool operator==(const SymmetricKey&, const SymmetricKey&) = default;

private:
    std::array<std::uint8_t, size> bytes_{};
};

}  // namespace tarvel::wire
