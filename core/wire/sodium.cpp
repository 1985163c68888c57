#include "core/wire/sodium.hpp"

#include <sodium.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace tarvel::wire {

void ensureSodium() noexcept {
    static const bool ready = [] {
        if (sodium_init() < 0) {
            // Without a working random source no key or nonce can be trusted.
            std::fputs("Tarvel: libsodium failed to initialise\n", stderr);
            std::abort();
        }
        return true;
    }();
    (void)ready;
}

void secureZero(std::span<std::uint8_t> bytes) noexcept {
    sodium_memzero(bytes.data(), bytes.size());
}

SymmetricKey::SymmetricKey(std::span<const std::uint8_t, size> bytes) noexcept {
    std::copy(bytes.begin(), bytes.end(), bytes_.begin());
}

SymmetricKey::~SymmetricKey() { secureZero(bytes_); }

std::optional<SymmetricKey> SymmetricKey::fromBytes(ByteView bytes) noexcept {
    if (bytes.size() != size) {
        return std::nullopt;
    }
    return SymmetricKey(bytes.first<size>());
}

}  // namespace tarvel::wire
