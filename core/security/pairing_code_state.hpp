#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace tarvel::security {

/// The code shown while the host pairs a new device. One instance per
/// pairing period, shared by every connection of that period (so the failure
/// limit holds across connections) and by the window that shows the code.
/// Once exhausted or used up it never becomes active again.
class PairingCodeState {
  public:
    static constexpr int maxFailedAttempts = 5;

    explicit PairingCodeState(std::string code);

    /// A state with a fresh uniformly random code of six digits.
    static std::shared_ptr<PairingCodeState> generate();

    /// A draw in 0..999999 as six digits with leading zeros.
    static std::string format(std::uint32_t draw);

    const std::string& code() const noexcept { return code_; }

    /// Not used up and fewer than five failed confirmations.
    bool isActive() const;
    int failedAttempts() const;
    void registerFailure();
    /// Marks the code used up, for good.
    void invalidate();
    /// Uses the code up if it is still active: true for exactly one caller.
    bool consume();

  private:
    const std::string code_;
    mutable std::mutex lock_;
    int failed_ = 0;
    bool invalidated_ = false;
};

}  // namespace tarvel::security
