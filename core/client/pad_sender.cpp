#include "core/client/pad_sender.hpp"

#include <utility>

namespace tarvel::client {

namespace {

wire::InputEvent sticksEvent(const gamepad::PadState& s) {
    return wire::InputEvent(wire::InputEvent::GamepadSticks{s.lx, s.ly, s.rx, s.ry});
}

wire::InputEvent buttonsEvent(const gamepad::PadState& s) {
    return wire::InputEvent(
        wire::InputEvent::GamepadButtons{s.buttons.rawValue, s.hat.rawValue(), s.lt, s.rt});
}

bool sticksDiffer(const gamepad::PadState& a, const gamepad::PadState& b) {
    return a.lx != b.lx || a.ly != b.ly || a.rx != b.rx || a.ry != b.ry;
}

bool buttonBitsDiffer(const gamepad::PadState& a, const gamepad::PadState& b) {
    return a.buttons != b.buttons || a.hat != b.hat;
}

bool triggersDiffer(const gamepad::PadState& a, const gamepad::PadState& b) {
    return a.lt != b.lt || a.rt != b.rt;
}

}  // namespace

std::shared_ptr<PadSender> PadSender::create(std::shared_ptr<base::SerialQueue> queue, Sink sink) {
    return std::shared_ptr<PadSender>(new PadSender(std::move(queue), std::move(sink)));
}

PadSender::PadSender(std::shared_ptr<base::SerialQueue> queue, Sink sink)
    : sink_(std::move(sink)), queue_(std::move(queue)) {}

gamepad::PadState PadSender::current() const {
    std::lock_guard guard(lock_);
    return state_;
}

void PadSender::update(const std::function<void(gamepad::PadState&)>& edit) {
    bool sticksChanged = false;
    bool buttonsChanged = false;
    bool triggersChanged = false;
    gamepad::PadState sent;
    std::lock_guard sending(sendLock_);
    {
        std::lock_guard guard(lock_);
        edit(state_);
        // Before anything was sent the host holds a neutral pad, so only
        // non-neutral parts are news to it.
        const gamepad::PadState neutral;
        const auto& sticksBase = lastSentSticks_ ? *lastSentSticks_ : neutral;
        const auto& buttonsBase = lastSentButtons_ ? *lastSentButtons_ : neutral;
        sticksChanged = sticksDiffer(state_, sticksBase);
        buttonsChanged = buttonBitsDiffer(state_, buttonsBase);
        triggersChanged = triggersDiffer(state_, buttonsBase);
        if (sticksChanged) {
            lastSentSticks_ = state_;
        }
        if (buttonsChanged || triggersChanged) {
            lastSentButtons_ = state_;
        }
        if (!state_.isNeutral()) {
            tail_ = tailRefreshes;
        }
        if (!state_.isNeutral() || tail_ >= 1) {
            ensureTimerLocked();
        }
        sent = state_;
    }
    if (sticksChanged) {
        sink_(sticksEvent(sent), false);
    }
    if (buttonsChanged || triggersChanged) {
        // Only buttons and the hat are worth acknowledgement traffic.
        sink_(buttonsEvent(sent), buttonsChanged);
    }
}

void PadSender::resetLocal() {
    std::optional<base::TimerHandle> stopped;
    {
        std::lock_guard guard(lock_);
        state_ = {};
        lastSentSticks_.reset();
        lastSentButtons_.reset();
        tail_ = 0;
        stopped = std::exchange(timer_, std::nullopt);
        ++timerGeneration_;
    }
    // Cancelled once the lock is released, so the queue's own locking never
    // nests inside ours.
    if (stopped) {
        stopped->cancel();
    }
}

void PadSender::ensureTimerLocked() {
    if (timer_) {
        return;
    }
    const auto generation = ++timerGeneration_;
    timer_ = queue_->repeating(gamepad::padRefreshInterval, gamepad::padRefreshInterval,
                               [weak = weak_from_this(), generation] {
                                   if (auto self = weak.lock()) {
                                       self->refresh(generation);
                                   }
                               });
}

void PadSender::refresh(std::uint64_t generation) {
    std::optional<base::TimerHandle> stopped;
    gamepad::PadState copy;
    std::lock_guard sending(sendLock_);
    {
        std::lock_guard guard(lock_);
        if (generation != timerGeneration_) {
            return;
        }
        if (!state_.isNeutral()) {
            tail_ = tailRefreshes;
        } else if (tail_ < 1) {
            stopped = std::exchange(timer_, std::nullopt);
            ++timerGeneration_;
        } else {
            --tail_;
        }
        copy = state_;
    }
    if (stopped) {
        stopped->cancel();
        return;
    }
    // A refresh repeats the whole state; its loss is healed by the next one.
    sink_(sticksEvent(copy), false);
    sink_(buttonsEvent(copy), false);
}

}  // namespace tarvel::client
