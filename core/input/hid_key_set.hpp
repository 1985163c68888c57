#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <vector>

namespace tarvel::input {

/// A set of HID keyboard usages 0-255 as a 256-bit bitmap: usage u is bit
/// u % 64 of word u / 64. Fixed size and allocation-free, so the gamepad path
/// can diff held keys on every frame.
class HIDKeySet {
public:
    constexpr HIDKeySet() = default;
    constexpr HIDKeySet(std::initializer_list<std::uint16_t> usages) {
        for (std::uint16_t usage : usages) {
            insert(usage);
        }
    }

    /// Usages of 256 and above are ignored.
    constexpr void insert(std::uint16_t usage) noexcept {
        if (usage < 256) {
            words_[usage / 64] |= std::uint64_t{1} << (usage % 64);
        }
    }
    constexpr void remove(std::uint16_t usage) noexcept {
        if (usage < 256) {
            words_[usage / 64] &= ~(std::uint64_t{1} << (usage % 64));
        }
    }
    constexpr bool contains(std::uint16_t usage) const noexcept {
        return usage < 256 && ((words_[usage / 64] >> (usage % 64)) & 1U) != 0;
    }
    constexpr void formUnion(const HIDKeySet& other) noexcept {
        for (std::size_t i = 0; i < 4; ++i) {
            words_[i] |= other.words_[i];
        }
    }
    /// The members of this set that are not in `other`.
    constexpr HIDKeySet subtracting(const HIDKeySet& other) const noexcept {
        HIDKeySet out;
        for (std::size_t i = 0; i < 4; ++i) {
            out.words_[i] = words_[i] & ~other.words_[i];
        }
        return out;
    }
    constexpr bool isEmpty() const noexcept {
        return (words_[0] | words_[1] | words_[2] | words_[3]) == 0;
    }
    constexpr int count() const noexcept {
        return std::popcount(words_[0]) + std::popcount(words_[1]) + std::popcount(words_[2]) +
               std::popcount(words_[3]);
    }
    /// Calls `body` with every member in ascending order.
    template <class Body>
    constexpr void forEach(Body&& body) const {
        for (std::size_t i = 0; i < 4; ++i) {
            std::uint64_t word = words_[i];
            while (word != 0) {
                const int bit = std::countr_zero(word);
                body(static_cast<std::uint16_t>(i * 64 + static_cast<std::size_t>(bit)));
                word &= word - 1;
            }
        }
    }
    /// The members in ascending order.
    std::vector<std::uint16_t> sorted() const {
        std::vector<std::uint16_t> out;
        out.reserve(static_cast<std::size_t>(count()));
        forEach([&out](std::uint16_t usage) { out.push_back(usage); });
        return out;
    }

    constexpr std::uint64_t w0() const noexcept { return words_[0]; }
    constexpr std::uint64_t w1() const noexcept { return words_[1]; }
    constexpr std::uint64_t w2() const noexcept { return words_[2]; }
    constexpr std::uint64_t w3() const noexcept { return words_[3]; }

    friend constexpr bool operator==(const HIDKeySet&, const HIDKeySet&) = default;

private:
    std::array<std::uint64_t, 4> words_{};
};

}  // namespace tarvel::input

template <>
struct std::hash<tarvel::input::HIDKeySet> {
    std::size_t operator()(const tarvel::input::HIDKeySet& set) const noexcept {
        // Feeds the words in order w0..w3, as the set's own definition does.
        std::size_t h = 0;
        for (std::uint64_t word : {set.w0(), set.w1(), set.w2(), set.w3()}) {
            h ^= std::hash<std::uint64_t>{}(word) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
        }
        return h;
    }
};
