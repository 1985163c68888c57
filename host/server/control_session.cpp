#include <algorithm>
#include <utility>

#include "core/base/log.hpp"
#include "core/discovery/network_filter.hpp"
#include "core/security/fingerprint.hpp"
#include "core/security/handshake_frames.hpp"
#include "core/security/hex.hpp"
#include "core/wire/bodies.hpp"
#include "core/wire/json_codec.hpp"
#include "host/server/host_server.hpp"

namespace tarvel::server {

namespace {

using Phase = ControlSession::Phase;

security::HostNonce freshNonce() {
    security::HostNonce nonce{};
    const auto bytes = security::Hex::random(nonce.size());
    std::copy(bytes.begin(), bytes.end(), nonce.begin());
    return nonce;
}

}  // namespace

void HostServer::acceptTCP(std::shared_ptr<TcpConnection> conn) {
    // Only private and Tailscale ranges may talk to the host at all.
    if (stopped_ || !discovery::NetworkFilter::isAllowed(conn->endpoint())) {
        conn->cancel();
        return;
    }
    const auto pending = static_cast<std::size_t>(
        std::count_if(sessions_.begin(), sessions_.end(),
                      [](const auto& entry) { return entry.second->phase != Phase::established; }));
    // Unauthenticated peers may not pile up decoder buffers without bound.
    if (pending >= deps_.limits.maxPendingSessions) {
        conn->cancel();
        return;
    }
    auto session = std::make_shared<ControlSession>();
    session->conn = std::move(conn);
    session->remoteIp =
        discovery::NetworkFilter::hostString(session->conn->endpoint()).value_or("");
    session->lastActivity = deps_.clock->now();
    sessions_.emplace(session.get(), session);
    updateWatchdog();
    receive(session);
}

void HostServer::receive(const SessionPtr& session) {
    std::weak_ptr<HostServer> weakSelf = weak_from_this();
    std::weak_ptr<ControlSession> weakSession = session;
    session->conn->receive(
        [weakSelf, weakSession](wire::ByteView data, bool isComplete, std::error_code error) {
            auto self = weakSelf.lock();
            auto session = weakSession.lock();
            if (!self || !session || session->closed) {
                return;
            }
            if (!data.empty()) {
                session->decoder.append(data);
                for (;;) {
                    auto next = session->decoder.next();
                    if (!next) {
                        self->close(session);
                        return;
                    }
                    if (!*next) {
                        break;
                    }
                    self->handle(**next, session);
                    if (session->closed) {
                        return;
                    }
                }
            }
            if (isComplete || error) {
                self->close(session);
                return;
            }
            self->receive(session);
        });
}

void HostServer::handle(const wire::TCPFrame& frame, const SessionPtr& session) {
    session->lastActivity = deps_.clock->now();
    switch (session->phase) {
        case Phase::fresh:
            if (frame.type == wire::FrameType::getInfo && frame.body.empty()) {
                replyInfo(session);
            } else if (frame.type == wire::FrameType::pairRequest) {
                beginPair(frame, session);
            } else if (frame.type == wire::FrameType::authHello) {
                beginAuth(frame, session);
            } else {
                close(session);
            }
            return;
        case Phase::pairing:
            if (frame.type == wire::FrameType::pairConfirm) {
                finishPair(frame, session);
            } else {
                close(session);
            }
            return;
        case Phase::auth:
            if (frame.type == wire::FrameType::authResponse) {
                finishAuth(frame, session);
            } else {
                close(session);
            }
            return;
        case Phase::established:
            handleEstablished(frame, session);
            return;
    }
}

void HostServer::replyInfo(const SessionPtr& session) {
    const auto& key = identity_.publicKey();
    wire::InfoReply reply;
    reply.v = 1;
    reply.hostId = identity_.id();
    reply.name = hostName();
    reply.os = std::string(osType);
    reply.fp = security::Fingerprint::of(wire::ByteView(key.data(), key.size()));
    reply.udpPort = port_;
    auto body = wire::JSONCodec::encode(reply);
    if (!body) {
        close(session);
        return;
    }
    sendPlain(session, wire::FrameType::infoReply, *body, true);
}

void HostServer::beginPair(const wire::TCPFrame& frame, const SessionPtr& session) {
    if (!pairingCode_ || !pairingCode_->isActive()) {
        reject(session, wire::FrameType::pairReject, security::HandshakeError::noActiveCode());
        return;
    }
    session->pairing.emplace(descriptor(), pairingCode_, security::X25519PrivateKey::generate(),
                             freshNonce());
    auto challenge = session->pairing->handlePairRequest(frame.body);
    if (!challenge) {
        session->pairing.reset();
        if (const auto* error = security::handshakeError(challenge.error())) {
            reject(session, wire::FrameType::pairReject, *error);
        } else {
            close(session);
        }
        return;
    }
    session->phase = Phase::pairing;
    sendPlain(session, wire::FrameType::pairChallenge, *challenge, false);
}

void HostServer::finishPair(const wire::TCPFrame& frame, const SessionPtr& session) {
    auto result =
        session->pairing->handleConfirm(frame.body, session->remoteIp, deps_.clock->wallNow());
    // Single use, whatever the outcome.
    session->pairing.reset();
    if (!result) {
        if (const auto* error = security::handshakeError(result.error())) {
            reject(session, wire::FrameType::pairReject, *error);
        } else {
            close(session);
        }
        return;
    }
    store_->upsertClient(result->client);
    pairingCode_.reset();
    sendPlain(session, wire::FrameType::pairComplete, result->completeBody, false);
    establish(session, result->keys, result->client.clientId, result->client.deviceName);
    if (deps_.mainQueue) {
        std::weak_ptr<HostServer> weak = weak_from_this();
        deps_.mainQueue->async([weak] {
            if (auto self = weak.lock()) {
                std::function<void()> callback;
                {
                    std::lock_guard guard(self->callbackLock_);
                    callback = self->onPairingCompleted_;
                }
                if (callback) {
                    callback();
                }
            }
        });
    }
}

void HostServer::beginAuth(const wire::TCPFrame& frame, const SessionPtr& session) {
    session->auth.emplace(descriptor(), store_, security::X25519PrivateKey::generate(),
                          freshNonce());
    auto challenge = session->auth->handleHello(frame.body);
    if (!challenge) {
        session->auth.reset();
        const auto* error = security::handshakeError(challenge.error());
        if (error && error->kind() == security::HandshakeError::Kind::unpaired) {
            reject(session, wire::FrameType::errUnpaired, *error);
        } else {
            close(session);
        }
        return;
    }
    session->phase = Phase::auth;
    sendPlain(session, wire::FrameType::authChallenge, *challenge, false);
}

void HostServer::finishAuth(const wire::TCPFrame& frame, const SessionPtr& session) {
    auto result = session->auth->handleResponse(frame.body);
    session->auth.reset();
    if (!result) {
        close(session);
        return;
    }
    establish(session, result->keys, result->client.clientId, result->client.deviceName);
    store_->touchClient(result->client.clientId, deps_.clock->wallNow(), session->remoteIp);
    sendEncrypted(session, wire::FrameType::authOK, wire::EmptyBody{});
}

void HostServer::establish(const SessionPtr& session, const security::SessionKeys& keys,
                              const std::string& clientId, const std::string& name) {
    // A reconnecting device replaces its old connection at once.
    std::vector<SessionPtr> previous;
    for (const auto& [key, other] : sessions_) {
        if (other != session && other->clientId == clientId) {
            previous.push_back(other);
        }
    }
    for (const auto& other : previous) {
        close(other);
    }
    session->channel = std::make_unique<wire::SecureTCPChannel>(keys.sessionKey,
                                                                wire::SecureTCPChannel::Role::host);
    session->udpKey = keys.sessionKey;
    session->clientId = clientId;
    session->deviceName = name;
    session->phase = Phase::established;
    if (!active_) {
        active_ = session;
        withInjector([](injection::InputInjector& injector) { injector.stampPacketTime(); });
    }
    updateActivity();
    notify();
}

void HostServer::handleEstablished(const wire::TCPFrame& frame, const SessionPtr& session) {
    if (!session->channel) {
        close(session);
        return;
    }
    // A wrong key, a replayed, dropped, reordered or altered frame ends the connection.
    auto plaintext = session->channel->open(frame);
    if (!plaintext) {
        close(session);
        return;
    }
    if (session == active_) {
        withInjector([](injection::InputInjector& injector) { injector.stampPacketTime(); });
    }
    switch (frame.type) {
        case wire::FrameType::ping: {
            if (auto body = wire::JSONCodec::decode<wire::PingBody>(*plaintext)) {
                sendEncrypted(session, wire::FrameType::pong, *body);
            }
            return;
        }
        case wire::FrameType::textUTF8: {
            auto body = wire::JSONCodec::decode<wire::TextBody>(*plaintext);
            if (!body) {
                return;
            }
            takeControl(session);
            withInjector([text = std::move(body->text)](injection::InputInjector& injector) {
                injector.stampPacketTime();
                injector.injectText(text);
            });
            return;
        }
        case wire::FrameType::clipboardSet: {
            auto body = wire::JSONCodec::decode<wire::ClipboardBody>(*plaintext);
            if (!body) {
                return;
            }
            takeControl(session);
            // The clipboard is written here, before the paste job is queued, so
            // the paste always finds the new text.
            if (deps_.clipboard) {
                deps_.clipboard->setText(body->text);
            }
            withInjector([autoPaste = body->autoPaste](injection::InputInjector& injector) {
                injector.stampPacketTime();
                if (autoPaste) {
                    injector.postPaste();
                }
            });
            return;
        }
        case wire::FrameType::reliableInput: {
            auto packet = wire::InputPacket::fromPlain20(*plaintext);
            if (packet) {
                process(*packet, session);
            }
            return;
        }
        default:
            return;  // pong and unknown types
    }
}

bool HostServer::process(const wire::InputPacket& packet, const SessionPtr& session) {
    if (!session->window.accept(packet.seq)) {
        return false;
    }
    if (packet.event.as<wire::InputEvent::MouseMove>() && !session->moveGate.accept(packet.seq)) {
        return false;
    }
    if (!session->padGates.accept(packet.seq, packet.event)) {
        return false;
    }
    takeControl(session);
    inject(packet, 0);
    return true;
}

void HostServer::takeControl(const SessionPtr& session) {
    if (active_ == session) {
        return;
    }
    // Queued before the new controller's input, so the old one's keys go up first.
    withInjector([](injection::InputInjector& injector) { injector.releaseAll(); });
    active_ = session;
    updateActivity();
    notify();
}

void HostServer::sendPlain(const SessionPtr& session, std::uint8_t type, wire::ByteView body,
                              bool thenClose) {
    auto frame = wire::TCPFrameCodec::encodePlain(type, body);
    if (!frame) {
        if (thenClose) {
            close(session);
        }
        return;
    }
    if (!thenClose) {
        session->conn->send(std::move(*frame));
        return;
    }
    std::weak_ptr<HostServer> weak = weak_from_this();
    session->conn->send(std::move(*frame), [weak, session](std::error_code) {
        if (auto self = weak.lock()) {
            self->close(session);
        }
    });
}

void HostServer::reject(const SessionPtr& session, std::uint8_t type,
                           const security::HandshakeError& error) {
    sendPlain(session, type, security::HandshakeFrames::rejectBody(error), true);
}

template <class Body>
void HostServer::sendEncrypted(const SessionPtr& session, std::uint8_t type, const Body& body) {
    if (!session->channel) {
        return;
    }
    // Sealed and queued in one step on this queue, so counters and wire order agree.
    if (auto frame = session->channel->seal(type, body)) {
        session->conn->send(std::move(*frame));
    }
}

void HostServer::close(const SessionPtr& session) {
    if (session->closed) {
        return;
    }
    session->closed = true;
    sessions_.erase(session.get());
    session->conn->cancel();
    if (session->clientId && session->phase == Phase::established) {
        store_->touchClient(*session->clientId, deps_.clock->wallNow(), session->remoteIp);
    }
    if (session == active_) {
        withInjector([](injection::InputInjector& injector) { injector.releaseAll(); });
        active_.reset();
        for (const auto& [key, other] : sessions_) {
            if (other->phase == Phase::established) {
                active_ = other;
                break;
            }
        }
    }
    updateActivity();
    updateWatchdog();
    notify();
}

}  // namespace tarvel::server
