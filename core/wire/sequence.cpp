#include "core/wire/sequence.hpp"

#include <cstdio>
#include <cstdlib>
#include <limits>

namespace tarvel::wire {

bool SequenceWindow::accept(std::uint64_t seq) noexcept {
    if (seq == 0) {
        return false;  // never sent; also the empty-slot marker
    }
    // Below the window we no longer know whether it was seen: refuse it.
    if (highest_ >= size && seq <= highest_ - size) {
        return false;
    }
    std::uint64_t& slot = ring_[seq & (size - 1)];
    if (slot == seq) {
        return false;  // replay
    }
    // Whatever the slot held is now outside the window (it differs from seq
    // by a multiple of 512), so overwriting loses nothing.
    slot = seq;
    if (seq > highest_) {
        highest_ = seq;
    }
    return true;
}

bool MoveSequenceGate::accept(std::uint64_t seq) noexcept {
    if (seq <= lastMoveSeq_) {
        return false;
    }
    lastMoveSeq_ = seq;
    return true;
}

std::uint64_t SequenceGenerator::next() {
    std::lock_guard guard(lock_);
    if (value_ == std::numeric_limits<std::uint64_t>::max()) {
        std::fputs("Tarvel: input sequence numbers exhausted\n", stderr);
        std::abort();
    }
    return ++value_;
}

}  // namespace tarvel::wire
