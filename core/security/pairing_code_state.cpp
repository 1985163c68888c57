#include "core/security/pairing_code_state.hpp"

#include <sodium.h>

#include <cstdio>

#include "core/wire/sodium.hpp"

namespace tarvel::security {

namespace {

constexpr std::uint32_t codeSpace = 1'000'000;  // six decimal digits

}  // namespace

PairingCodeState::PairingCodeState(std::string code) : code_(std::move(code)) {}

std::shared_ptr<PairingCodeState> PairingCodeState::generate() {
    wire::ensureSodium();
    // randombytes_uniform rejects draws that would bias the result toward low codes.
    return std::make_shared<PairingCodeState>(format(randombytes_uniform(codeSpace)));
}

std::string PairingCodeState::format(std::uint32_t draw) {
    char text[16];
    std::snprintf(text, sizeof text, "%06u", static_cast<unsigned>(draw % codeSpace));
    return text;
}

bool PairingCodeState::isActive() const {
    std::lock_guard guard(lock_);
    return !invalidated_ && failed_ < maxFailedAttempts;
}

int PairingCodeState::failedAttempts() const {
    std::lock_guard guard(lock_);
    return failed_;
}

void PairingCodeState::registerFailure() {
    std::lock_guard guard(lock_);
    ++failed_;
}

void PairingCodeState::invalidate() {
    std::lock_guard guard(lock_);
    invalidated_ = true;
}

bool PairingCodeState::consume() {
    std::lock_guard guard(lock_);
    if (invalidated_ || failed_ >= maxFailedAttempts) {
        return false;
    }
    invalidated_ = true;
    return true;
}

}  // namespace tarvel::security
