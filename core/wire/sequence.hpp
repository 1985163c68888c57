#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace tarvel::wire {

/// Replay window over input sequence numbers: accepts each number once, and
/// only within the 512 numbers up to the highest accepted. A plain value; its
/// owner serialises access.
class SequenceWindow {
public:
    static constexpr std::size_t size = 512;

    SequenceWindow() noexcept = default;

    /// True when `seq` is new and not too old; it is then recorded. False for
    /// 0, for numbers at or below highest - 512, and for numbers already seen.
    /// Constant time, allocation-free.
    bool accept(std::uint64_t seq) noexcept;

    /// The highest number accepted so far, 0 before the first.
    std::uint64_t highest() const noexcept { return highest_; }

private:
    static_assert((size & (size - 1)) == 0, "the slot is the low bits of seq");

    // Each slot holds the last number accepted that maps to it. Numbers inside
    // the window never share a slot, so the ring remembers all of them; 0
    // (never accepted) marks an empty slot.
    std::array<std::uint64_t, size> ring_{};
    std::uint64_t highest_ = 0;
};

/// Passes only strictly increasing numbers, so a stale pointer move or pad
/// frame that arrives after a newer one is dropped. A plain value.
class MoveSequenceGate {
public:
    MoveSequenceGate() noexcept = default;

    /// True, and remembered, when `seq` is above every number passed so far.
    bool accept(std::uint64_t seq) noexcept;

private:
    std::uint64_t lastMoveSeq_ = 0;
};

/// Sequence numbers for outgoing input packets: 1, 2, 3, ... never repeating.
/// Safe to call from several threads.
class SequenceGenerator {
public:
    SequenceGenerator() noexcept = default;
    SequenceGenerator(const SequenceGenerator&) = delete;
    SequenceGenerator& operator=(const SequenceGenerator&) = delete;

    /// The next number; the first is 1. Running past 2^64 - 1 would reuse
    /// datagram nonces, so it ends the process (unreachable in practice).
    std::uint64_t next();

private:
    std::mutex lock_;
    std::uint64_t value_ = 0;
};

}  // namespace tarvel::wire
