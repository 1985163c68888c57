#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "core/base/serial_queue.hpp"
#include "core/gamepad/pad_state.hpp"
#include "core/wire/input_packet.hpp"

namespace tarvel::client {

/// The client's side of gamepad mode: sends the virtual pad's state as
/// gamepadSticks and gamepadButtons events when the matching part changes,
/// and re-sends both every padRefreshInterval while the pad is off neutral
/// (then tailRefreshes more times), so the host's watchdog never lets go of
/// a control that is still held and a lost packet heals within one period.
class PadSender : public std::enable_shared_from_this<PadSender> {
  public:
    /// Receives each event to send and whether the host must acknowledge it,
    /// in the order of the states. Never called with the state's lock held;
    /// while it blocks, other updates wait, so it must not wait for the
    /// refresh queue. It may call update, whose state then goes out before
    /// the rest of the interrupted send.
    using Sink = std::function<void(const wire::InputEvent&, bool ackRequired)>;

    /// Refreshes still sent after the pad returns to neutral, so a lost
    /// neutral packet is repaired before the sender falls silent.
    static constexpr int tailRefreshes = 3;

    /// An idle sender with a neutral pad. Refreshes run on `queue`.
    static std::shared_ptr<PadSender> create(std::shared_ptr<base::SerialQueue> queue, Sink sink);

    PadSender(const PadSender&) = delete;
    PadSender& operator=(const PadSender&) = delete;

    /// The pad state as of the last update. Any thread.
    gamepad::PadState current() const;

    /// Applies `edit` to the state, then sends on the calling thread what
    /// changed since last sent: sticks without acknowledgement first, then
    /// buttons, acknowledged only when the button bits or the hat changed
    /// (a trigger moving alone is superseded by the next refresh anyway).
    /// Starts the refresh timer when the pad is off neutral. Any thread;
    /// `edit` runs under the lock and must not call back into the sender.
    void update(const std::function<void(gamepad::PadState&)>& edit);

    /// Forgets the state, what was sent and the refresh timer without sending
    /// anything, so the next update sends every non-neutral part afresh.
    /// Any thread.
    void resetLocal();

  private:
    PadSender(std::shared_ptr<base::SerialQueue> queue, Sink sink);

    /// Starts the refresh timer if none runs. Lock held.
    void ensureTimerLocked();

    /// One tick of the refresh timer started as `generation`. Runs on the queue.
    void refresh(std::uint64_t generation);

    const Sink sink_;
    const std::shared_ptr<base::SerialQueue> queue_;
    // Held from taking a state to handing it to the sink, so a refresh on the
    // queue never sends an older state after an update's newer one. Recursive:
    // the sink may call update.
    std::recursive_mutex sendLock_;
    mutable std::mutex lock_;
    gamepad::PadState state_;
    std::optional<gamepad::PadState> lastSentSticks_;
    std::optional<gamepad::PadState> lastSentButtons_;
    std::optional<base::TimerHandle> timer_;
    int tail_ = 0;
    // Tells a tick of a replaced timer, already running when it was
    // cancelled, from one of the current timer.
    std::uint64_t timerGeneration_ = 0;
};

}  // namespace tarvel::client
