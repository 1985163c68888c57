#include "core/gamepad/pad_state.hpp"

namespace tarvel::gamepad {

bool PadStateTracker::apply(const wire::InputEvent& event, PadClock::time_point now) noexcept {
    PadState next = state_;
    if (const auto* buttons = event.as<wire::InputEvent::GamepadButtons>()) {
        // Undefined bits and hat values come from a newer or broken client;
        // dropping them keeps every stored state one the mapping understands.
        next.buttons = PadButtons(buttons->buttons) & PadButtons::defined;
        next.hat = PadHat::fromRawValue(buttons->hat).value_or(PadHat::neutral);
        next.lt = buttons->lt;
        next.rt = buttons->rt;
    } else if (const auto* sticks = event.as<wire::InputEvent::GamepadSticks>()) {
        next.lx = sticks->lx;
        next.ly = sticks->ly;
        next.rx = sticks->rx;
        next.ry = sticks->ry;
    } else {
        return false;
    }
    lastUpdate_ = now;
    const bool changed = next != state_;
    state_ = next;
    return changed;
}

bool PadStateTracker::isStale(PadClock::time_point now) const noexcept {
    if (state_.isNeutral() || !lastUpdate_) {
        return false;
    }
    return now - *lastUpdate_ > padWatchdogTimeout;
}

void PadStateTracker::reset() noexcept {
    state_ = PadState{};
    lastUpdate_.reset();
}

bool PadSequenceGates::accept(std::uint64_t seq, const wire::InputEvent& event) noexcept {
    if (event.as<wire::InputEvent::GamepadSticks>() != nullptr) {
        return sticks.accept(seq);
    }
    if (event.as<wire::InputEvent::GamepadButtons>() != nullptr) {
        return buttons.accept(seq);
    }
    return true;
}

}  // namespace tarvel::gamepad
