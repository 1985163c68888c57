#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "core/base/clock.hpp"
#include "core/base/serial_queue.hpp"
#include "core/diagnostics/latency_trace.hpp"
#include "core/wire/bytes.hpp"
#include "core/wire/input_packet.hpp"
#include "core/wire/sodium.hpp"

namespace tarvel::client {

/// The datagram socket to the host's input port, owned by the socket shell.
class DatagramTransport {
  public:
    virtual ~DatagramTransport() = default;
    /// Sends one datagram without waiting; any thread the pipe calls from.
    virtual void send(wire::ByteView datagram) = 0;
    /// Stops delivering and sending; after it no receive callback runs.
    virtual void cancel() = 0;
};

/// The client's sending half of the input path, one per established session.
/// Numbers each event, seals it into a datagram and sends it at once; an event
/// that asks for an acknowledgement stays pending until the host's ack
/// arrives, or is handed in the clear to `fallback` after ackTimeout so the
/// owner can resend it on the control connection. Streams that supersede
/// themselves (moves, scrolls, sticks) never wait for anything.
///
/// With `useQueue` every mutation runs on `queue` and `send` never blocks;
/// without it the caller's thread transmits under a lock that the ack timers
/// and `received` (still on `queue`) also take.
class InputPipe : public std::enable_shared_from_this<InputPipe> {
  public:
    /// How long an event waits for its ack before going to the fallback; bounds
    /// the extra delay of a lost key press or click.
    static constexpr std::chrono::milliseconds ackTimeout{15};

    using Fallback = std::function<void(wire::ByteView plain20)>;

    /// A pipe in the created state. `queue` (required) runs queued sends, ack
    /// timers and is where the owner calls `received`; `fallback` runs there
    /// too, outside the pipe's lock, so it may call back into the pipe. All
    /// times (touchTime, trace samples) are nanoseconds of `clock`'s monotonic
    /// time since its epoch, which for the system clock is LatencyTrace::now().
    static std::shared_ptr<InputPipe> create(
        std::shared_ptr<DatagramTransport> udp, wire::SymmetricKey key, bool useQueue,
        std::shared_ptr<base::SerialQueue> queue, Fallback fallback,
        std::shared_ptr<const base::Clock> clock,
        diagnostics::LatencyTrace& trace = diagnostics::LatencyTrace::shared());

    InputPipe(const InputPipe&) = delete;
    InputPipe& operator=(const InputPipe&) = delete;

    /// Starts accepting received datagrams. Any thread.
    void start();

    /// Sends one event with the next sequence number. `mask` is the modifiers
    /// the client considers held; `touchTime` the time of the touch that caused
    /// the event, 0 for none; `ack` forces or suppresses an acknowledgement,
    /// nullopt for the event's default. Any thread; does nothing once closed.
    void send(const wire::InputEvent& event, wire::ModifierMask mask, wire::GesturePhase phase,
              std::uint64_t touchTime, std::optional<bool> ack = std::nullopt);

    /// One datagram from the host, on `queue`. An authentic ack settles its
    /// pending event; anything else is ignored. Nothing happens before
    /// start(), after transportFailed() or after close().
    void received(wire::ByteView datagram);

    /// The transport reported an error that ends the connection: stops
    /// receiving. Sends and fallbacks go on, so unacknowledged events still
    /// reach the host over the control connection. Any thread.
    void transportFailed();

    /// Events still waiting for their acknowledgement. On `queue`.
    std::size_t pendingCount();

    /// Stops the pipe for good: nothing is sent, received or handed to the
    /// fallback afterwards, and the transport is cancelled. Any thread.
    void close();

  private:
    struct Pending {
        wire::InputPacket packet;
        std::uint64_t sentAt;      // ns
        base::TimerHandle expiry;  // dropping the entry calls off its timeout
    };

    InputPipe(std::shared_ptr<DatagramTransport> udp, wire::SymmetricKey key, bool useQueue,
              std::shared_ptr<base::SerialQueue> queue, Fallback fallback,
              std::shared_ptr<const base::Clock> clock, diagnostics::LatencyTrace& trace);

    std::uint64_t nowNs() const;
    /// Holds inlineLock_ when the caller's thread may race the queue.
    std::unique_lock<std::mutex> guard();
    void transmit(const wire::InputEvent& event, wire::ModifierMask mask, wire::GesturePhase phase,
                  std::uint64_t touchTime, std::uint64_t enqueuedAt, std::optional<bool> ack);
    void ackExpired(std::uint64_t seq);
    /// The pending entry for `seq`, or end(); entries are kept in seq order.
    std::vector<Pending>::iterator findPending(std::uint64_t seq);

    const std::shared_ptr<base::SerialQueue> queue_;
    const std::shared_ptr<DatagramTransport> udp_;
    const wire::SymmetricKey key_;
    const bool useQueue_;
    std::mutex inlineLock_;
    const Fallback fallback_;
    const std::shared_ptr<const base::Clock> clock_;
    diagnostics::LatencyTrace& trace_;

    // Guarded by the queue, or by inlineLock_ without useQueue.
    std::uint64_t seq_ = 0;  // last used; the first packet carries 1
    std::vector<Pending> pending_;
    std::uint64_t windowStart_ = 0;  // ns; 0 before the first packet
    std::uint64_t windowCount_ = 0;

    // Read without the lock, so a close() from any thread takes effect at once.
    std::atomic<bool> closed_{false};
    std::atomic<bool> receiving_{false};
};

}  // namespace tarvel::client
