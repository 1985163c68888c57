#include "core/client/input_pipe.hpp"

#include <algorithm>
#include <cassert>
#include <utility>

#include "core/wire/udp_codec.hpp"

namespace tarvel::client {

namespace {

using diagnostics::LatencyMetric;

constexpr std::uint64_t rateWindowNs = 1'000'000'000;  // one second per packets/s sample
// Ack-requiring events rarely overlap by more than a few within one timeout;
// reserving keeps the steady state free of allocation in the pending list.
constexpr std::size_t pendingReserve = 32;

std::uint64_t elapsed(std::uint64_t from, std::uint64_t to) noexcept {
    return to > from ? to - from : 0;
}

}  // namespace

std::shared_ptr<InputPipe> InputPipe::create(std::shared_ptr<DatagramTransport> udp,
                                             wire::SymmetricKey key, bool useQueue,
                                             std::shared_ptr<base::SerialQueue> queue,
                                             Fallback fallback,
                                             std::shared_ptr<const base::Clock> clock,
                                             diagnostics::LatencyTrace& trace) {
    return std::shared_ptr<InputPipe>(new InputPipe(std::move(udp), std::move(key), useQueue,
                                                    std::move(queue), std::move(fallback),
                                                    std::move(clock), trace));
}

InputPipe::InputPipe(std::shared_ptr<DatagramTransport> udp, wire::SymmetricKey key, bool useQueue,
                     std::shared_ptr<base::SerialQueue> queue, Fallback fallback,
                     std::shared_ptr<const base::Clock> clock, diagnostics::LatencyTrace& trace)
    : queue_(std::move(queue)),
      udp_(std::move(udp)),
      key_(std::move(key)),
      useQueue_(useQueue),
      fallback_(std::move(fallback)),
      clock_(std::move(clock)),
      trace_(trace) {
    assert(queue_ && udp_ && clock_);
    pending_.reserve(pendingReserve);
}

std::uint64_t InputPipe::nowNs() const {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(clock_->now().time_since_epoch())
            .count());
}

std::unique_lock<std::mutex> InputPipe::guard() {
    // On the queue alone nothing races, so the lock would only cost time.
    return useQueue_ ? std::unique_lock<std::mutex>() : std::unique_lock<std::mutex>(inlineLock_);
}

void InputPipe::start() {
    if (!closed_.load()) {
        receiving_.store(true);
    }
}

void InputPipe::send(const wire::InputEvent& event, wire::ModifierMask mask,
                     wire::GesturePhase phase, std::uint64_t touchTime, std::optional<bool> ack) {
    if (closed_.load()) {
        return;
    }
    const std::uint64_t enqueuedAt = trace_.isEnabled() ? nowNs() : 0;
    if (useQueue_) {
        queue_->async([weak = weak_from_this(), event, mask, phase, touchTime, enqueuedAt, ack] {
            if (auto self = weak.lock()) {
                self->transmit(event, mask, phase, touchTime, enqueuedAt, ack);
            }
        });
    } else {
        std::lock_guard lock(inlineLock_);
        transmit(event, mask, phase, touchTime, enqueuedAt, ack);
    }
}

void InputPipe::transmit(const wire::InputEvent& event, wire::ModifierMask mask,
                         wire::GesturePhase phase, std::uint64_t touchTime,
                         std::uint64_t enqueuedAt, std::optional<bool> ack) {
    if (closed_.load()) {
        return;
    }
    const bool tracing = trace_.isEnabled();
    const std::uint64_t startedAt = tracing ? nowNs() : 0;
    if (tracing && enqueuedAt != 0) {
        trace_.record(LatencyMetric::pipeQueueDelay, elapsed(enqueuedAt, startedAt));
    }

    // The seq is the datagram's nonce: never reuse one under this key.
    const std::uint64_t seq = ++seq_;
    const wire::InputPacket packet(seq, event, mask, phase, ack);
    const wire::UDPCodec::Datagram datagram = wire::UDPCodec::seal(packet, key_);
    const std::uint64_t sealedAt = tracing ? nowNs() : 0;
    udp_->send(datagram);
    const std::uint64_t sentAt = nowNs();

    if (tracing) {
        trace_.record(LatencyMetric::seal, elapsed(startedAt, sealedAt));
        trace_.record(LatencyMetric::udpSendCall, elapsed(sealedAt, sentAt));
        if (touchTime != 0) {
            trace_.record(LatencyMetric::touchToSend, elapsed(touchTime, sentAt));
        }
        trace_.logEvent(seq, event.opcode(), touchTime != 0 ? touchTime : enqueuedAt, sentAt, 0);
    }

    if (elapsed(windowStart_, sentAt) >= rateWindowNs) {
        if (windowStart_ != 0 && tracing) {
            trace_.record(LatencyMetric::packetsPerSecond, windowCount_);
        }
        windowStart_ = sentAt;
        windowCount_ = 0;
    }
    ++windowCount_;

    if (packet.ackRequired) {
        auto expiry = queue_->schedule(ackTimeout, [weak = weak_from_this(), seq] {
            if (auto self = weak.lock()) {
                self->ackExpired(seq);
            }
        });
        // Seqs only grow, so appending keeps the list sorted for findPending.
        pending_.push_back(Pending{packet, sentAt, std::move(expiry)});
    }
}

std::vector<InputPipe::Pending>::iterator InputPipe::findPending(std::uint64_t seq) {
    auto it =
        std::ranges::lower_bound(pending_, seq, {}, [](const Pending& p) { return p.packet.seq; });
    return it != pending_.end() && it->packet.seq == seq ? it : pending_.end();
}

void InputPipe::ackExpired(std::uint64_t seq) {
    wire::InputPacket::Plain plain{};
    {
        auto lock = guard();
        if (closed_.load()) {
            return;
        }
        auto it = findPending(seq);
        if (it == pending_.end()) {
            return;  // acknowledged in time
        }
        plain = it->packet.plain20();
        pending_.erase(it);
    }
    trace_.record(LatencyMetric::ackFallbacks, 1);
    if (fallback_) {
        fallback_(plain);
    }
}

void InputPipe::received(wire::ByteView datagram) {
    if (!receiving_.load() || closed_.load()) {
        return;
    }
    auto lock = guard();
    if (!wire::UDPCodec::isAck(datagram)) {
        return;
    }
    // Only an ack sealed under the session key may settle a pending event;
    // a forged one would otherwise suppress the fallback and lose the event.
    const auto seq = wire::UDPCodec::openAck(datagram, key_);
    if (!seq) {
        return;
    }
    auto it = findPending(*seq);
    if (it == pending_.end()) {
        return;  // late (the fallback already went) or never asked for
    }
    const std::uint64_t sentAt = it->sentAt;
    pending_.erase(it);
    if (trace_.isEnabled()) {
        const std::uint64_t now = nowNs();
        trace_.record(LatencyMetric::ackRTT, elapsed(sentAt, now));
        trace_.logEvent(*seq, wire::Opcode::ack, sentAt, now, 0);
    }
}

void InputPipe::transportFailed() {
    receiving_.store(false);
}

std::size_t InputPipe::pendingCount() {
    auto lock = guard();
    return pending_.size();
}

void InputPipe::close() {
    if (closed_.exchange(true)) {
        return;
    }
    receiving_.store(false);
    if (useQueue_) {
        queue_->async([weak = weak_from_this()] {
            if (auto self = weak.lock()) {
                self->pending_.clear();
            }
        });
    } else {
        std::lock_guard lock(inlineLock_);
        pending_.clear();
    }
    udp_->cancel();
    // A fallback already past its closed check finishes before close returns,
    // so the owner may tear the control channel down right after.
    if (!queue_->isCurrent()) {
        queue_->sync([] {});
    }
}

}  // namespace tarvel::client
