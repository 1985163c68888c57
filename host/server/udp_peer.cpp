#include <utility>

#include "core/diagnostics/latency_trace.hpp"
#include "core/discovery/network_filter.hpp"
#include "core/wire/udp_codec.hpp"
#include "host/server/host_server.hpp"

namespace tarvel::server {

bool HostServer::tracing() const {
    return deps_.latencyTrace != nullptr && deps_.latencyTrace->isEnabled();
}

void HostServer::acceptUDP(std::shared_ptr<UdpFlow> conn) {
    if (stopped_ || !discovery::NetworkFilter::isAllowed(std::optional(conn->endpoint()))) {
        conn->cancel();
        return;
    }
    // Source addresses are easy to forge: past the limit the flow idle longest
    // makes room, so a flood cannot grow the map.
    if (udpPeers_.size() >= deps_.limits.maxUdpPeers) {
        auto oldest = udpPeers_.begin();
        for (auto it = udpPeers_.begin(); it != udpPeers_.end(); ++it) {
            if (it->second->lastActivity < oldest->second->lastActivity) {
                oldest = it;
            }
        }
        if (oldest != udpPeers_.end()) {
            removePeer(oldest->second->conn.get());
        }
    }
    auto peer = std::make_shared<UDPPeer>();
    peer->conn = std::move(conn);
    peer->lastActivity = deps_.clock->now();
    udpPeers_.emplace(peer->conn.get(), peer);
    updateWatchdog();
    std::weak_ptr<HostServer> weakSelf = weak_from_this();
    std::weak_ptr<UDPPeer> weakPeer = peer;
    peer->conn->onDatagram([weakSelf, weakPeer](wire::ByteView datagram) {
        auto self = weakSelf.lock();
        auto peer = weakPeer.lock();
        if (!self || !peer) {
            return;
        }
        peer->lastActivity = self->deps_.clock->now();
        self->handleDatagram(datagram, peer);
    });
}

void HostServer::removePeer(UdpFlow* flow) {
    auto it = udpPeers_.find(flow);
    if (it == udpPeers_.end()) {
        return;
    }
    auto peer = it->second;
    udpPeers_.erase(it);
    peer->conn->cancel();
}

void HostServer::handleDatagram(wire::ByteView data, const PeerPtr& peer) {
    // Wrong sizes are refused before any cryptography.
    if (data.size() != wire::UDPCodec::datagramLength) {
        return;
    }
    std::uint64_t recvAt = 0;
    if (tracing()) {
        const auto t = diagnostics::LatencyTrace::now();
        if (t != 0) {
            if (lastDatagramAt_ != 0) {
                deps_.latencyTrace->record(diagnostics::LatencyMetric::hostCallbackGap,
                                           t - lastDatagramAt_);
            }
            lastDatagramAt_ = t;
        }
        recvAt = t;
    }
    // The datagram names no session: whichever established key opens it is the sender.
    SessionPtr sender;
    std::optional<wire::InputPacket> packet;
    for (const auto& [key, session] : sessions_) {
        if (session->phase != ControlSession::Phase::established || !session->udpKey) {
            continue;
        }
        if (auto opened = wire::UDPCodec::open(data, *session->udpKey)) {
            sender = session;
            packet = *opened;
            break;
        }
    }
    if (!sender) {
        return;
    }
    sender->lastActivity = deps_.clock->now();
    sender->udpConn = peer->conn;
    const bool accepted = sender->window.accept(packet->seq);
    // Acknowledged even when replayed: the first acknowledgement may have been lost.
    if (packet->ackRequired) {
        const auto ack = wire::UDPCodec::sealAck(packet->seq, *sender->udpKey);
        peer->conn->send(ack);
    }
    if (!accepted) {
        return;
    }
    if (packet->event.as<wire::InputEvent::MouseMove>() && !sender->moveGate.accept(packet->seq)) {
        return;
    }
    if (!sender->padGates.accept(packet->seq, packet->event)) {
        return;
    }
    takeControl(sender);
    inject(*packet, recvAt);
}

void HostServer::inject(const wire::InputPacket& packet, std::uint64_t recvAt) {
    auto* trace = tracing() ? deps_.latencyTrace : nullptr;
    if (trace != nullptr) {
        trace->logEvent(packet.seq, packet.event.opcode(), recvAt, diagnostics::LatencyTrace::now(),
                        0);
    }
    if (const auto* move = packet.event.as<wire::InputEvent::MouseMove>()) {
        if (pendingMove_) {
            pendingMove_->dx += move->dx;
            pendingMove_->dy += move->dy;
        } else {
            pendingMove_ = PendingMove{move->dx, move->dy, {}, 0};
        }
        pendingMove_->mask = packet.modifierMask;
        pendingMove_->seq = packet.seq;
        if (!moveInFlight_) {
            flushMove();
        }
        return;
    }
    withInjector(
        [packet, recvAt, trace, skip = skipInjection_](injection::InputInjector& injector) {
            const auto start = trace != nullptr ? diagnostics::LatencyTrace::now() : 0;
            injector.stampPacketTime();
            if (skip) {
                return;
            }
            injector.handle(packet);
            if (trace != nullptr) {
                trace->recordSince(diagnostics::LatencyMetric::hostInject, start);
                if (recvAt != 0) {
                    trace->record(diagnostics::LatencyMetric::hostRecvToInject,
                                  start > recvAt ? start - recvAt : 0);
                }
            }
        });
}

void HostServer::flushMove() {
    const PendingMove move = *pendingMove_;
    pendingMove_.reset();
    moveInFlight_ = true;
    const wire::InputPacket packet(move.seq,
                                   wire::InputEvent(wire::InputEvent::MouseMove{move.dx, move.dy}),
                                   move.mask, wire::GesturePhase::none);
    auto* trace = tracing() ? deps_.latencyTrace : nullptr;
    std::weak_ptr<HostServer> weak = weak_from_this();
    injectQueue_->async(
        [injector = injector_, packet, trace, skip = skipInjection_, weak, queue = queue_] {
            const auto start = trace != nullptr ? diagnostics::LatencyTrace::now() : 0;
            injector->stampPacketTime();
            if (!skip) {
                injector->handle(packet);
                if (trace != nullptr) {
                    trace->recordSince(diagnostics::LatencyMetric::hostInject, start);
                }
            }
            queue->async([weak] {
                auto self = weak.lock();
                if (!self) {
                    return;
                }
                self->moveInFlight_ = false;
                if (self->pendingMove_) {
                    self->flushMove();
                }
            });
        });
}

void HostServer::flushPendingMove() {
    if (pendingMove_) {
        flushMove();
    }
}

void HostServer::withInjector(InjectorJob body) {
    // Movement received earlier goes first, so clicks land where the pointer went.
    flushPendingMove();
    injectQueue_->async([injector = injector_, body = std::move(body)] { body(*injector); });
}

}  // namespace tarvel::server
