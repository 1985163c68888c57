#pragma once

#include <cstdint>
#include <mutex>

#include "core/gamepad/compiled_pad_mapping.hpp"

namespace tarvel::mapping {

/// Where the compiled gamepad mapping in force lives: published by the
/// mapping store (main queue), read by the injector (inject queue). The lock
/// is a leaf: nothing else is locked or called while it is held. Every
/// replacement bumps the generation in the same critical section, so a
/// reader holding an older number knows its copy is stale.
class PadMappingRuntime {
  public:
    struct Snapshot {
        gamepad::CompiledPadMapping compiled;
        std::int64_t generation = 0;
    };

    explicit PadMappingRuntime(const gamepad::CompiledPadMapping& initial) : compiled_(initial) {}

    PadMappingRuntime(const PadMappingRuntime&) = delete;
    PadMappingRuntime& operator=(const PadMappingRuntime&) = delete;

    /// The compiled mapping and its generation, copied together.
    Snapshot read() const {
        std::lock_guard guard(lock_);
        return Snapshot{compiled_, generation_};
    }

    /// Just the generation: what the injector compares on every pad packet.
    std::int64_t generation() const {
        std::lock_guard guard(lock_);
        return generation_;
    }

    /// Replaces the mapping; compile before calling, never under the lock.
    void publish(const gamepad::CompiledPadMapping& compiled) {
        std::lock_guard guard(lock_);
        compiled_ = compiled;
        ++generation_;
    }

  private:
    mutable std::mutex lock_;
    gamepad::CompiledPadMapping compiled_;
    std::int64_t generation_ = 0;
};

}  // namespace tarvel::mapping
