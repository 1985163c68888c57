#include "host/server/host_core.hpp"

#include <algorithm>
#include <utility>

#include "core/base/log.hpp"
#include "core/base/unicode.hpp"
#include "core/security/fingerprint.hpp"
#include "core/security/handshake_frames.hpp"
#include "core/security/hex.hpp"
#include "core/wire/bodies.hpp"
#include "core/wire/json_codec.hpp"

namespace tarvel::server {

namespace {

using Phase = HostCore::Phase;

// Clients know only "macos" and "windows"; this host speaks the macOS event model.
constexpr std::string_view osType = "macos";

security::HostNonce freshNonce() {
    security::HostNonce nonce{};
    const auto bytes = security::Hex::random(nonce.size());
    std::copy(bytes.begin(), bytes.end(), nonce.begin());
    return nonce;
}

bool isPending(Phase phase) {
    return phase != Phase::established;
}

}  // namespace

HostCore::HostCore(security::LocalIdentity identity, std::shared_ptr<pairing::PairedStore> store,
                   Timings timings, Limits limits)
    : identity_(std::move(identity)),
      store_(std::move(store)),
      timings_(timings),
      limits_(limits) {}

HostCore::Session* HostCore::find(ConnectionId id) {
    auto it = sessions_.find(id);
    return it == sessions_.end() ? nullptr : it->second.get();
}

std::optional<HostCore::Phase> HostCore::phase(ConnectionId id) const {
    auto it = sessions_.find(id);
    if (it == sessions_.end()) {
        return std::nullopt;
    }
    return it->second->phase;
}

std::string HostCore::describe(const Session& session) const {
    // Device names come from the peer: no line break, escape or bidirectional
    // override may forge or disguise a log line.
    constexpr std::size_t maxShown = 64;
    const std::string name = base::printableForLog(session.deviceName, maxShown);
    std::string text = name.empty() ? std::string("a device") : name;
    text += " (";
    text += session.remoteIp.empty() ? std::string("unknown address") : session.remoteIp;
    text += ")";
    return text;
}

security::HostDescriptor HostCore::descriptor() const {
    security::HostDescriptor host{
        identity_,           context_.hostName,     std::string(osType),
        context_.deviceKind, context_.lanEndpoints, context_.tailscaleEndpoints,
        context_.port};
    return host;
}

// Connections.

void HostCore::connectionOpened(ConnectionId id,
                                const std::optional<discovery::NetworkEndpoint>& peer,
                                const Now& now, ActionSink& out) {
    if (stopped_) {
        out.perform(Close{id});
        return;
    }
    // Only private and Tailscale ranges may talk to the host at all.
    if (!discovery::NetworkFilter::isAllowed(peer)) {
        peerLog(now, "refused a connection from " +
                         (peer ? discovery::NetworkFilter::hostString(*peer).value_or("?")
                               : std::string("an unknown address")) +
                         ": address not admitted");
        out.perform(Close{id});
        return;
    }
    auto session = std::make_unique<Session>();
    session->id = id;
    session->remoteIp = peer ? discovery::NetworkFilter::hostString(*peer).value_or("") : "";
    session->openedAt = now.mono;
    session->lastActivity = now.mono;
    evictForNewConnection(session->remoteIp, out, now);
    sessions_.emplace(id, std::move(session));
}

void HostCore::evictForNewConnection(const std::string& address, ActionSink& out, const Now& now) {
    // Silent connections must not lock phones out: past either bound the
    // handshake that has waited longest makes room, so a real handshake,
    // which takes milliseconds, completes even during a flood.
    // Connections that have not started a handshake go first; one that is
    // pairing or authenticating only when no such connection is left.
    auto oldestPending = [&](bool sameAddress) {
        Session* oldest = nullptr;
        std::size_t count = 0;
        for (const auto& [key, session] : sessions_) {
            // A pairing being saved is not waiting on the peer; evicting it would
            // leave a stored device that never heard it was paired.
            if (!isPending(session->phase) || session->phase == Phase::saving ||
                (sameAddress && session->remoteIp != address)) {
                continue;
            }
            ++count;
            const bool fresh = session->phase == Phase::fresh;
            const bool oldestFresh = oldest != nullptr && oldest->phase == Phase::fresh;
            if (oldest == nullptr || (fresh && !oldestFresh) ||
                (fresh == oldestFresh && session->openedAt < oldest->openedAt)) {
                oldest = session.get();
            }
        }
        return std::make_pair(oldest, count);
    };
    if (auto [oldest, count] = oldestPending(true);
        oldest != nullptr && count >= limits_.maxPendingPerAddress) {
        close(*oldest, "too many handshakes from its address", now, out);
    }
    if (auto [oldest, count] = oldestPending(false);
        oldest != nullptr && count >= limits_.maxPendingSessions) {
        close(*oldest, "too many handshakes at once", now, out);
    }
}

void HostCore::bytesReceived(ConnectionId id, wire::ByteView bytes, const Now& now,
                             ActionSink& out) {
    Session* session = stopped_ ? nullptr : find(id);
    if (session == nullptr || bytes.empty()) {
        return;
    }
    session->decoder.append(bytes);
    // A frame that closes the session ends the loop: nothing after it in the
    // same read may reach a handshake that no longer exists.
    while (true) {
        auto next = session->decoder.next();
        if (!next) {
            close(*session, "bad frame", now, out);
            return;
        }
        if (!*next) {
            return;
        }
        handle(*session, **next, now, out);
        if (find(id) == nullptr) {
            return;
        }
    }
}

void HostCore::connectionEnded(ConnectionId id, std::string_view why, const Now& now,
                               ActionSink& out) {
    if (Session* session = find(id)) {
        close(*session, why, now, out, false);
    }
}

void HostCore::handle(Session& session, const wire::TCPFrame& frame, const Now& now,
                      ActionSink& out) {
    session.lastActivity = now.mono;
    switch (session.phase) {
        case Phase::fresh:
            if (frame.type == wire::FrameType::getInfo && frame.body.empty()) {
                replyInfo(session, now, out);
            } else if (frame.type == wire::FrameType::pairRequest) {
                beginPair(session, frame, now, out);
            } else if (frame.type == wire::FrameType::authHello) {
                beginAuth(session, frame, now, out);
            } else {
                close(session, "unexpected frame before a handshake", now, out);
            }
            return;
        case Phase::pairing:
            if (frame.type == wire::FrameType::pairConfirm) {
                finishPair(session, frame, now, out);
            } else {
                close(session, "unexpected frame while pairing", now, out);
            }
            return;
        case Phase::saving:
            // The client waits for pairComplete; anything else is not the protocol.
            close(session, "unexpected frame while pairing", now, out);
            return;
        case Phase::auth:
            if (frame.type == wire::FrameType::authResponse) {
                finishAuth(session, frame, now, out);
            } else {
                close(session, "unexpected frame while authenticating", now, out);
            }
            return;
        case Phase::established:
            handleEstablished(session, frame, now, out);
            return;
    }
}

void HostCore::replyInfo(Session& session, const Now& now, ActionSink& out) {
    const auto& key = identity_.publicKey();
    wire::InfoReply reply;
    reply.v = 1;
    reply.hostId = identity_.id();
    reply.name = context_.hostName;
    reply.os = std::string(osType);
    reply.fp = security::Fingerprint::of(wire::ByteView(key.data(), key.size()));
    reply.udpPort = context_.port;
    auto body = wire::JSONCodec::encode(reply);
    if (!body) {
        close(session, "could not encode the info reply", now, out);
        return;
    }
    sendPlain(session, wire::FrameType::infoReply, *body, true, now, out);
}

void HostCore::beginPair(Session& session, const wire::TCPFrame& frame, const Now& now,
                         ActionSink& out) {
    if (!pairingCode_ || !pairingCode_->isActive()) {
        peerLog(now, "refused pairing from " + describe(session) + ": no pairing code is active");
        reject(session, wire::FrameType::pairReject, security::HandshakeError::noActiveCode(), now,
               out);
        return;
    }
    session.pairing.emplace(descriptor(), pairingCode_, security::X25519PrivateKey::generate(),
                            freshNonce());
    auto challenge = session.pairing->handlePairRequest(frame.body);
    if (!challenge) {
        session.pairing.reset();
        if (const auto* error = security::handshakeError(challenge.error())) {
            peerLog(now, "refused pairing from " + describe(session) + ": " + error->description());
            reject(session, wire::FrameType::pairReject, *error, now, out);
        } else {
            close(session, "could not encode the pairing challenge", now, out);
        }
        return;
    }
    session.phase = Phase::pairing;
    sendPlain(session, wire::FrameType::pairChallenge, *challenge, false, now, out);
}

void HostCore::finishPair(Session& session, const wire::TCPFrame& frame, const Now& now,
                          ActionSink& out) {
    auto result = session.pairing->handleConfirm(frame.body, session.remoteIp, now.wall);
    // Single use, whatever the outcome.
    session.pairing.reset();
    if (!result) {
        const auto* error = security::handshakeError(result.error());
        if (error == nullptr) {
            close(session, "could not encode the pairing completion", now, out);
            return;
        }
        std::string line = "refused pairing from " + describe(session) + ": ";
        // A wrong code shows as a MAC that does not match; both read as a wrong code.
        if (error->rejectReason() == "invalid_code" && pairingCode_) {
            const int left =
                security::PairingCodeState::maxFailedAttempts - pairingCode_->failedAttempts();
            line += left > 0 ? "wrong code, " + std::to_string(left) + " attempts left"
                             : std::string("wrong code");
        } else {
            line += error->description();
        }
        base::logLine(line);
        reject(session, wire::FrameType::pairReject, *error, now, out);
        if (pairingCode_ && !pairingCode_->isActive()) {
            base::logLine("the pairing code is dead after five wrong attempts");
            reportCodeEnd(PairingCodeEnd::exhausted, pairingCode_, out);
        }
        return;
    }
    // The code is used up; the pairing counts only once its record is saved.
    session.code = std::move(pairingCode_);
    session.clientId = result->client.clientId;
    session.deviceName = result->client.deviceName;
    session.pendingKeys = result->keys;
    session.completeBody = std::move(result->completeBody);
    session.phase = Phase::saving;
    out.perform(store::SaveClient{session.id, std::move(result->client)});
}

void HostCore::pairingSaved(ConnectionId id, bool saved, std::string_view why, const Now& now,
                            ActionSink& out) {
    Session* session = stopped_ ? nullptr : find(id);
    if (session == nullptr || session->phase != Phase::saving || !session->pendingKeys) {
        return;
    }
    if (!saved) {
        // Reporting success for a pairing the next start forgets would leave the
        // phone trusting a host that no longer knows it.
        base::logLine("pairing with " + describe(*session) +
                      " failed: its record could not be saved (" + std::string(why) + ")");
        reportCodeEnd(PairingCodeEnd::notSaved, session->code, out);
        close(*session, "pairing not saved", now, out);
        return;
    }
    const auto keys = *session->pendingKeys;
    session->pendingKeys.reset();
    const wire::Bytes completeBody = std::move(session->completeBody);
    const auto code = std::move(session->code);
    sendPlain(*session, wire::FrameType::pairComplete, completeBody, false, now, out);
    session = find(id);
    if (session == nullptr) {
        return;
    }
    base::logLine("Paired with " + describe(*session));
    establish(*session, keys, now, out);
    reportCodeEnd(PairingCodeEnd::used, code, out);
    out.perform(PairingCompleted{session->deviceName});
}

void HostCore::beginAuth(Session& session, const wire::TCPFrame& frame, const Now& now,
                         ActionSink& out) {
    session.auth.emplace(descriptor(), store_, security::X25519PrivateKey::generate(),
                         freshNonce());
    auto challenge = session.auth->handleHello(frame.body);
    if (!challenge) {
        session.auth.reset();
        const auto* error = security::handshakeError(challenge.error());
        if (error != nullptr && error->kind() == security::HandshakeError::Kind::unpaired) {
            peerLog(now, "refused " + describe(session) + ": unknown device");
            reject(session, wire::FrameType::errUnpaired, *error, now, out);
        } else {
            peerLog(now, "authentication from " + describe(session) + " failed: " +
                             (error != nullptr ? error->description() : std::string("encoding")));
            close(session, "authentication failed", now, out);
        }
        return;
    }
    session.phase = Phase::auth;
    sendPlain(session, wire::FrameType::authChallenge, *challenge, false, now, out);
}

void HostCore::finishAuth(Session& session, const wire::TCPFrame& frame, const Now& now,
                          ActionSink& out) {
    auto result = session.auth->handleResponse(frame.body);
    session.auth.reset();
    if (!result) {
        const auto* error = security::handshakeError(result.error());
        peerLog(now, "authentication from " + describe(session) + " failed: " +
                         (error != nullptr ? error->description() : std::string("encoding")));
        close(session, "authentication failed", now, out);
        return;
    }
    // The device may have been removed while it was answering: only a record
    // still stored, with the same key, lets it in.
    const auto stored = store_->client(result->client.clientId);
    if (!stored || stored->ed25519PublicKeyHex != result->client.ed25519PublicKeyHex) {
        peerLog(now, "refused " + describe(session) + ": removed while authenticating");
        close(session, "device removed", now, out);
        return;
    }
    session.clientId = result->client.clientId;
    session.deviceName = result->client.deviceName;
    base::logLine("authenticated " + describe(session));
    establish(session, result->keys, now, out);
    out.perform(store::TouchClient{result->client.clientId, now.wall, session.remoteIp});
    sendSealed(session, wire::FrameType::authOK, wire::EmptyBody{}, out);
}

void HostCore::establish(Session& session, const security::SessionKeys& keys, const Now& now,
                         ActionSink& out) {
    // A reconnecting device replaces its old connection at once.
    std::vector<Session*> previous;
    for (const auto& [key, other] : sessions_) {
        if (other.get() != &session && other->clientId == session.clientId) {
            previous.push_back(other.get());
        }
    }
    for (Session* other : previous) {
        close(*other, "replaced by a new connection", now, out);
    }
    session.channel = std::make_unique<wire::SecureTCPChannel>(keys.sessionKey,
                                                               wire::SecureTCPChannel::Role::host);
    session.udpKey = keys.sessionKey;
    session.phase = Phase::established;
    // A new key: flows that opened nothing so far may be this device's.
    for (auto& [id, flow] : flows_) {
        if (!flow.opened) {
            flow.failures = 0;
        }
    }
    if (active_ == nullptr) {
        setActive(&session, out);
        // The dead-man release measures from this moment.
        toInjector(inject::StampPacketTime{}, out);
    }
    out.perform(Notify{});
}

void HostCore::handleEstablished(Session& session, const wire::TCPFrame& frame, const Now& now,
                                 ActionSink& out) {
    // A wrong key, a replayed, dropped, reordered or altered frame ends the connection.
    auto plaintext = session.channel->open(frame);
    if (!plaintext) {
        close(session, "a sealed frame did not open", now, out);
        return;
    }
    if (&session == active_) {
        // Any sealed frame, a ping included, is life for the dead-man release.
        toInjector(inject::StampPacketTime{}, out);
    }
    switch (frame.type) {
        case wire::FrameType::ping:
            if (auto body = wire::JSONCodec::decode<wire::PingBody>(*plaintext)) {
                sendSealed(session, wire::FrameType::pong, *body, out);
            }
            return;
        case wire::FrameType::textUTF8:
            if (auto body = wire::JSONCodec::decode<wire::TextBody>(*plaintext)) {
                takeControl(session, out);
                toInjector(inject::Text{std::move(body->text)}, out);
            }
            return;
        case wire::FrameType::clipboardSet:
            if (auto body = wire::JSONCodec::decode<wire::ClipboardBody>(*plaintext)) {
                takeControl(session, out);
                toInjector(inject::Clipboard{std::move(body->text), body->autoPaste}, out);
            }
            return;
        case wire::FrameType::reliableInput:
            if (auto packet = wire::InputPacket::fromPlain20(*plaintext)) {
                admit(session, *packet, 0, now, out);
            }
            return;
        default:
            return;  // pong and unknown types
    }
}

void HostCore::reject(Session& session, std::uint8_t type, const security::HandshakeError& error,
                      const Now& now, ActionSink& out) {
    sendPlain(session, type, security::HandshakeFrames::rejectBody(error), true, now, out);
}

void HostCore::sendPlain(Session& session, std::uint8_t type, wire::ByteView body, bool thenClose,
                         const Now& now, ActionSink& out) {
    auto frame = wire::TCPFrameCodec::encodePlain(type, body);
    if (!frame) {
        close(session, "could not frame a reply", now, out);
        return;
    }
    const ConnectionId id = session.id;
    if (thenClose) {
        // Closed for the core at once: nothing more from this peer is handled,
        // while the shell still writes the final frame.
        close(session, "handshake ended", now, out, false);
    }
    out.perform(Send{id, std::move(*frame), thenClose});
}

template <class Body>
void HostCore::sendSealed(Session& session, std::uint8_t type, const Body& body, ActionSink& out) {
    // Sealed and handed out in one step, so counters and wire order agree.
    if (auto frame = session.channel->seal(type, body)) {
        out.perform(Send{session.id, std::move(*frame), false});
    }
}

void HostCore::close(Session& session, std::string_view why, const Now& now, ActionSink& out,
                     bool announce) {
    auto node = sessions_.extract(session.id);
    if (node.empty()) {
        return;
    }
    const std::unique_ptr<Session> closing = std::move(node.mapped());
    if (announce) {
        out.perform(Close{closing->id});
    }
    const bool wasEstablished = closing->phase == Phase::established;
    if (wasEstablished) {
        base::logLine("session with " + describe(*closing) + " closed: " + std::string(why));
        if (closing->clientId) {
            out.perform(store::TouchClient{*closing->clientId, now.wall, closing->remoteIp});
        }
    }
    if (closing.get() == active_) {
        active_ = nullptr;
        toInjector(inject::ReleaseAll{}, out);
        Session* next = nullptr;
        for (const auto& [key, other] : sessions_) {
            if (other->phase == Phase::established) {
                next = other.get();
                break;
            }
        }
        setActive(next, out);
    }
    if (wasEstablished) {
        out.perform(Notify{});
    }
}

void HostCore::setActive(Session* session, ActionSink& out) {
    active_ = session;
    const bool controlled = active_ != nullptr;
    if (controlled != activityHeld_) {
        activityHeld_ = controlled;
        out.perform(ActivityChanged{controlled});
    }
}

void HostCore::reportCodeEnd(PairingCodeEnd how,
                             const std::shared_ptr<security::PairingCodeState>& code,
                             ActionSink& out) {
    // Only the code on display, once: a save finishing after a fresh code was
    // asked for says nothing about the fresh one.
    if (code == nullptr || code != displayedCode_ || codeEndReported_) {
        return;
    }
    codeEndReported_ = true;
    out.perform(PairingCodeEnded{how});
}

void HostCore::peerLog(const Now& now, const std::string& line) {
    // Anyone on the network can cause these lines: bound how many reach the log.
    constexpr auto window = std::chrono::seconds{10};
    constexpr int linesPerWindow = 20;
    if (now.mono - peerLogWindowStart_ >= window) {
        if (peerLogSuppressed_ > 0) {
            base::logLine(std::to_string(peerLogSuppressed_) +
                          " more refusals were not logged in the last 10 s");
        }
        peerLogWindowStart_ = now.mono;
        peerLogCount_ = 0;
        peerLogSuppressed_ = 0;
    }
    if (peerLogCount_ < linesPerWindow) {
        ++peerLogCount_;
        base::logLine(line);
    } else {
        ++peerLogSuppressed_;
    }
}

// Datagrams.

void HostCore::flowOpened(FlowId id, const discovery::NetworkEndpoint& peer, const Now& now,
                          ActionSink& out) {
    if (stopped_ || !discovery::NetworkFilter::isAllowed(std::optional(peer))) {
        out.perform(DropFlow{id});
        return;
    }
    // Source addresses are easy to forge: past the bound the flow idle
    // longest makes room, so a flood cannot grow the map.
    if (flows_.size() >= limits_.maxUdpPeers) {
        evictFlows(out);
    }
    flows_.emplace(id, Flow{now.mono, base::MonotonicTime{}});
}

void HostCore::evictFlows(ActionSink& out) {
    // A flood of junk must not push out the flows phones use.
    const std::size_t count = std::max<std::size_t>(1, limits_.maxUdpPeers / 8);
    evictionScratch_.clear();
    for (const auto& [id, flow] : flows_) {
        evictionScratch_.push_back({{flow.opened, flow.lastActivity}, id});
    }
    const auto cut = std::min(count, evictionScratch_.size());
    std::nth_element(evictionScratch_.begin(),
                     evictionScratch_.begin() + static_cast<std::ptrdiff_t>(cut - 1),
                     evictionScratch_.end());
    for (std::size_t i = 0; i < cut; ++i) {
        out.perform(DropFlow{evictionScratch_[i].second});
        flows_.erase(evictionScratch_[i].second);
    }
}

void HostCore::flowEnded(FlowId id) {
    flows_.erase(id);
}

void HostCore::datagramReceived(FlowId id, wire::ByteView data, std::uint64_t recvAt,
                                const Now& now, ActionSink& out) {
    auto flow = flows_.find(id);
    if (stopped_ || flow == flows_.end()) {
        return;
    }
    flow->second.lastActivity = now.mono;
    // Wrong sizes are refused before any cryptography.
    if (data.size() != wire::UDPCodec::datagramLength) {
        return;
    }
    if (!flow->second.opened && flow->second.failures >= limits_.unopenedFlowAttempts &&
        now.mono - flow->second.lastAttempt < timings_.mutedFlowRetry) {
        return;
    }
    flow->second.lastAttempt = now.mono;
    // The datagram names no session: whichever established key opens it is the sender.
    Session* sender = nullptr;
    std::optional<wire::InputPacket> packet;
    for (const auto& [key, session] : sessions_) {
        if (session->phase != Phase::established || !session->udpKey) {
            continue;
        }
        if (auto opened = wire::UDPCodec::open(data, *session->udpKey)) {
            sender = session.get();
            packet = *opened;
            break;
        }
    }
    if (sender == nullptr) {
        if (!flow->second.opened) {
            ++flow->second.failures;
        }
        return;
    }
    const auto admission = admit(*sender, *packet, recvAt, now, out);
    // Only fresh input proves a flow is a device's: a captured datagram
    // replayed from forged ports must neither unmute them nor be echoed.
    if (admission != Admission::replayed) {
        flow->second.opened = true;
    }
    // Acknowledged even when it is a replay: the first acknowledgement may
    // have been lost, and the replay window still keeps it from running twice.
    // The shell sends it at once; the injection waits for the batch's end.
    if (packet->ackRequired && flow->second.opened) {
        out.perform(SendDatagram{id, wire::UDPCodec::sealAck(packet->seq, *sender->udpKey)});
    }
}

HostCore::Admission HostCore::admit(Session& session, const wire::InputPacket& packet,
                                    std::uint64_t recvAt, const Now& now, ActionSink& out) {
    if (!session.window.accept(packet.seq)) {
        return Admission::replayed;
    }
    // Only fresh input is life: a replayed capture must not keep a session open.
    session.lastActivity = now.mono;
    // Stale movements and pad frames would drag the pointer or pad backwards.
    if (packet.event.as<wire::InputEvent::MouseMove>() && !session.moveGate.accept(packet.seq)) {
        return Admission::stale;
    }
    if (!session.padGates.accept(packet.seq, packet.event)) {
        return Admission::stale;
    }
    takeControl(session, out);
    injectPacket(packet, recvAt, out);
    return Admission::performed;
}

void HostCore::takeControl(Session& session, ActionSink& out) {
    if (active_ == &session) {
        return;
    }
    // Queued before the new controller's input, so the old one's keys go up first.
    toInjector(inject::ReleaseAll{}, out);
    if (active_ != nullptr) {
        base::logLine(describe(session) + " took control from " + describe(*active_));
    } else {
        base::logLine(describe(session) + " took control");
    }
    setActive(&session, out);
    out.perform(Notify{});
}

void HostCore::injectPacket(const wire::InputPacket& packet, std::uint64_t recvAt,
                            ActionSink& out) {
    if (const auto* move = packet.event.as<wire::InputEvent::MouseMove>()) {
        // However fast moves arrive, at most one waits on the inject queue:
        // the injector gets the sum and the pointer never lags behind.
        if (pendingMove_) {
            pendingMove_->dx += move->dx;
            pendingMove_->dy += move->dy;
        } else {
            pendingMove_ = PendingMove{move->dx, move->dy, {}, 0};
        }
        pendingMove_->mask = packet.modifierMask;
        pendingMove_->seq = packet.seq;
        if (!moveInFlight_) {
            flushMove(out);
        }
        return;
    }
    toInjector(inject::Packet{packet, recvAt, false}, out);
}

void HostCore::flushMove(ActionSink& out) {
    const PendingMove move = *pendingMove_;
    pendingMove_.reset();
    moveInFlight_ = true;
    const wire::InputPacket packet(move.seq,
                                   wire::InputEvent(wire::InputEvent::MouseMove{move.dx, move.dy}),
                                   move.mask, wire::GesturePhase::none);
    out.perform(inject::Packet{packet, 0, true});
}

void HostCore::moveInjected(ActionSink& out) {
    moveInFlight_ = false;
    if (pendingMove_ && !stopped_) {
        flushMove(out);
    }
}

void HostCore::toInjector(Action&& job, ActionSink& out) {
    // Movement received earlier goes first, so clicks land where the pointer went.
    if (pendingMove_) {
        flushMove(out);
    }
    out.perform(std::move(job));
}

// Supervision.

void HostCore::tick(const Now& now, ActionSink& out) {
    if (stopped_) {
        return;
    }
    if (active_ != nullptr) {
        out.perform(inject::SuperviseTick{});
    }
    std::vector<std::pair<ConnectionId, bool>> idle;
    for (const auto& [id, session] : sessions_) {
        const bool established = session->phase == Phase::established;
        const auto limit = established ? timings_.establishedIdle : timings_.handshakeIdle;
        if (now.mono - session->lastActivity > limit) {
            idle.emplace_back(id, established);
        }
    }
    for (const auto& [id, established] : idle) {
        if (Session* session = find(id)) {
            close(*session, established ? "idle" : "handshake not finished in time", now, out);
        }
    }
    for (auto it = flows_.begin(); it != flows_.end();) {
        if (now.mono - it->second.lastActivity > timings_.udpPeerIdle) {
            out.perform(DropFlow{it->first});
            it = flows_.erase(it);
        } else {
            ++it;
        }
    }
}

bool HostCore::needsSupervision() const noexcept {
    return !stopped_ && (!sessions_.empty() || active_ != nullptr);
}

// The user's operations.

PairingInfo HostCore::beginPairing() {
    if (pairingCode_) {
        pairingCode_->invalidate();
    }
    pairingCode_ = security::PairingCodeState::generate();
    displayedCode_ = pairingCode_;
    codeEndReported_ = false;
    PairingInfo info;
    info.code = pairingCode_->code();
    if (!context_.lanEndpoints.empty()) {
        info.lan = context_.lanEndpoints.front();
    }
    if (!context_.tailscaleEndpoints.empty()) {
        info.ts = context_.tailscaleEndpoints.front();
    }
    info.payload.version = 1;
    info.payload.hostId = identity_.id();
    info.payload.name = context_.hostName;
    info.payload.os = pairing::HostOSType::macos;
    info.payload.lan = info.lan;
    info.payload.ts = info.ts;
    info.payload.publicKeyHex = identity_.publicKeyHex();
    info.payload.code = info.code;
    return info;
}

void HostCore::endPairing() {
    if (pairingCode_) {
        pairingCode_->invalidate();
        pairingCode_.reset();
    }
    displayedCode_.reset();
}

void HostCore::endPairing(std::string_view code) {
    if (displayedCode_ && displayedCode_->code() == code) {
        endPairing();
    }
}

void HostCore::removeClient(const std::string& clientId, const Now& now, ActionSink& out) {
    out.perform(store::RemoveClient{clientId});
    if (stopped_) {
        return;
    }
    std::vector<ConnectionId> matching;
    for (const auto& [id, session] : sessions_) {
        if (session->clientId == clientId) {
            matching.push_back(id);
        }
    }
    for (ConnectionId id : matching) {
        Session* session = find(id);
        if (session == nullptr) {
            continue;
        }
        if (session->phase == Phase::established) {
            if (auto frame = session->channel->seal(wire::FrameType::unpairedByHost,
                                                    wire::ReasonBody{"removed_by_user"})) {
                close(*session, "removed by the user", now, out, false);
                out.perform(Send{id, std::move(*frame), true});
                continue;
            }
        }
        close(*session, "removed by the user", now, out);
    }
    out.perform(Notify{});
}

void HostCore::padMappingChanged(ActionSink& out) {
    if (!stopped_) {
        toInjector(inject::PadMappingChanged{}, out);
    }
}

void HostCore::stop(const Now& now, ActionSink& out) {
    if (stopped_) {
        return;
    }
    // Control is not handed around while everything closes.
    pendingMove_.reset();
    active_ = nullptr;
    std::vector<ConnectionId> ids;
    for (const auto& [id, session] : sessions_) {
        ids.push_back(id);
    }
    for (ConnectionId id : ids) {
        if (Session* session = find(id)) {
            close(*session, "host stopping", now, out);
        }
    }
    for (const auto& [id, flow] : flows_) {
        out.perform(DropFlow{id});
    }
    flows_.clear();
    // Nothing may stay pressed on the host once it is gone, whoever held it.
    out.perform(inject::ReleaseAll{});
    setActive(nullptr, out);
    endPairing();
    stopped_ = true;
}

std::set<std::string> HostCore::onlineClientIds() const {
    std::set<std::string> ids;
    for (const auto& [id, session] : sessions_) {
        if (session->phase == Phase::established && session->clientId) {
            ids.insert(*session->clientId);
        }
    }
    return ids;
}

std::optional<std::string> HostCore::activeDeviceName() const {
    if (active_ == nullptr) {
        return std::nullopt;
    }
    return active_->deviceName;
}

}  // namespace tarvel::server
