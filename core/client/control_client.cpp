#include "core/client/control_client.hpp"

#include <algorithm>
#include <deque>
#include <utility>

#include "core/security/handshake_frames.hpp"
#include "core/security/hex.hpp"

namespace tarvel::client {

namespace {

using security::HandshakeError;
using Kind = HandshakeError::Kind;

constexpr std::size_t nonceSize = 16;
constexpr std::size_t maxEndpointLength = 255;

/// The host's addresses worth keeping: a few, short, printable, no repeats.
std::vector<std::string> usableEndpoints(const std::vector<std::string>& endpoints) {
    std::vector<std::string> kept;
    for (const auto& endpoint : endpoints) {
        const bool printable = std::ranges::all_of(
            endpoint, [](char c) { return c > ' ' && c < 0x7F; });
        if (kept.size() == ControlClient::maxEndpoints) {
            break;
        }
        if (!endpoint.empty() && endpoint.size() <= maxEndpointLength && printable &&
            std::ranges::find(kept, endpoint) == kept.end()) {
            kept.push_back(endpoint);
        }
    }
    return kept;
}

}  // namespace

std::string_view describe(ClientError error) noexcept {
    switch (error) {
        case ClientError::unreachable: return "host unreachable";
        case ClientError::timedOut: return "the host stopped answering";
        case ClientError::connectionLost: return "the host closed the connection";
        case ClientError::wrongCode: return "wrong pairing code";
        case ClientError::noActiveCode: return "no pairing code is active on the host";
        case ClientError::unpaired: return "this host no longer knows this device — pair again";
        case ClientError::removedByHost: return "the host removed this device — pair again";
        case ClientError::hostKeyMismatch: return "host key does not match the pairing link";
        case ClientError::hostNotAuthentic: return "the host could not prove its identity";
        case ClientError::refused: return "the host refused the connection";
        case ClientError::protocolError: return "the host sent something this client cannot read";
    }
    return "unknown error";
}

ClientError clientError(const security::HandshakeFailure& failure) {
    const HandshakeError* error = security::handshakeError(failure);
    if (error == nullptr) {
        return ClientError::protocolError;  // our own message did not encode
    }
    switch (error->kind()) {
        case Kind::noActiveCode: return ClientError::noActiveCode;
        case Kind::invalidCode: return ClientError::wrongCode;
        case Kind::unpaired: return ClientError::unpaired;
        case Kind::hostKeyMismatch: return ClientError::hostKeyMismatch;
        case Kind::badSignature:
        case Kind::badMac: return ClientError::hostNotAuthentic;
        case Kind::rejected: return ClientError::refused;
        case Kind::malformedMessage:
        case Kind::outOfOrder: return ClientError::protocolError;
    }
    return ClientError::protocolError;
}

void ControlClient::Output::clear() {
    send.clear();
    info.reset();
    established.reset();
    pongs.clear();
    failed.reset();
    done = false;
}

struct ControlClient::State {
    enum class Mode : std::uint8_t { info, pairing, authentication };

    Mode mode = Mode::info;
    Phase phase = Phase::fresh;
    std::optional<security::ClientPairingHandshake> pairing;
    std::optional<security::ClientAuthHandshake> auth;
    std::optional<pairing::PairedHostRecord> pinned;
    // Authentication: the established session waits for authOK.
    std::optional<Established> pendingAuth;
    std::optional<wire::SecureTCPChannel> channel;
    wire::TCPFrameDecoder decoder;
    base::MonotonicTime started{};
    base::MonotonicTime lastReceived{};  // the last complete frame
    std::deque<std::uint64_t> pingsAwaited;
    base::MonotonicTime lastPing{};
};

ControlClient::ControlClient(std::unique_ptr<State> state) : state_(std::move(state)) {}
ControlClient::ControlClient(ControlClient&&) noexcept = default;
ControlClient& ControlClient::operator=(ControlClient&&) noexcept = default;
ControlClient::~ControlClient() = default;

ControlClient ControlClient::forInfo() {
    return ControlClient(std::make_unique<State>());
}

ControlClient ControlClient::forPairing(security::ClientDescriptor client, std::string code,
                                        std::optional<wire::Bytes> expectedHostKey) {
    auto state = std::make_unique<State>();
    state->mode = State::Mode::pairing;
    state->pairing.emplace(std::move(client), std::move(code), security::X25519PrivateKey::generate(),
                           security::Hex::random(nonceSize), std::move(expectedHostKey));
    return ControlClient(std::move(state));
}

ControlClient ControlClient::forAuthentication(security::ClientDescriptor client,
                                               pairing::PairedHostRecord host) {
    auto state = std::make_unique<State>();
    state->mode = State::Mode::authentication;
    state->pinned = host;
    state->auth.emplace(std::move(client), std::move(host), security::X25519PrivateKey::generate(),
                        security::Hex::random(nonceSize));
    return ControlClient(std::move(state));
}

ControlClient::Phase ControlClient::phase() const noexcept {
    return state_->phase;
}

void ControlClient::start(base::MonotonicTime now, Output& out) {
    State& s = *state_;
    if (s.phase != Phase::fresh) {
        return;
    }
    s.phase = Phase::waiting;
    s.started = now;
    s.lastReceived = now;
    s.lastPing = now;
    switch (s.mode) {
        case State::Mode::info: sendPlain(wire::FrameType::getInfo, wire::Bytes{}, out); return;
        case State::Mode::pairing:
            sendPlain(wire::FrameType::pairRequest, s.pairing->makeRequest(), out);
            return;
        case State::Mode::authentication:
            sendPlain(wire::FrameType::authHello, s.auth->makeHello(), out);
            return;
    }
}

void ControlClient::sendPlain(std::uint8_t type,
                              const tl::expected<wire::Bytes, security::HandshakeFailure>& body,
                              Output& out) {
    if (!body) {
        fail(clientError(body.error()), out);
        return;
    }
    auto frame = wire::TCPFrameCodec::encodePlain(type, *body);
    if (!frame) {
        fail(ClientError::protocolError, out);
        return;
    }
    out.send.push_back(std::move(*frame));
}

void ControlClient::fail(ClientError error, Output& out) {
    if (state_->phase == Phase::closed) {
        return;
    }
    state_->phase = Phase::closed;
    state_->pairing.reset();
    state_->auth.reset();
    out.failed = error;
}

void ControlClient::received(wire::ByteView bytes, base::MonotonicTime now, base::WallTime wallNow,
                             Output& out) {
    State& s = *state_;
    if (s.phase != Phase::waiting && s.phase != Phase::established) {
        return;
    }
    s.decoder.append(bytes);
    // Stops at the frame that ends the connection: nothing after it is read.
    while (s.phase == Phase::waiting || s.phase == Phase::established) {
        auto next = s.decoder.next();
        if (!next) {
            fail(ClientError::protocolError, out);
            return;
        }
        if (!*next) {
            return;
        }
        // Only whole frames are life: a trickle of bytes is not.
        s.lastReceived = now;
        handle(**next, now, wallNow, out);
        if (out.done) {
            return;
        }
    }
}

void ControlClient::handle(const wire::TCPFrame& frame, base::MonotonicTime now,
                           base::WallTime wallNow, Output& out) {
    State& s = *state_;
    if (s.phase == Phase::established) {
        auto plaintext = s.channel->open(frame);
        if (!plaintext) {
            fail(ClientError::protocolError, out);  // the stream can no longer be trusted
            return;
        }
        if (frame.type == wire::FrameType::unpairedByHost) {
            fail(ClientError::removedByHost, out);
            return;
        }
        if (frame.type == wire::FrameType::pong) {
            // Only answers to our pings: a host cannot flood the caller with pongs.
            auto body = wire::JSONCodec::decode<wire::PingBody>(*plaintext);
            auto awaited = body ? std::ranges::find(s.pingsAwaited, body->ts) : s.pingsAwaited.end();
            if (awaited != s.pingsAwaited.end()) {
                s.pingsAwaited.erase(awaited);
                out.pongs.push_back(body->ts);
            }
        }
        return;  // other frames are not ours to read
    }
    if (auto refusal = security::HandshakeFrames::failure(frame.type, frame.body)) {
        fail(clientError(security::HandshakeFailure(*refusal)), out);
        return;
    }
    switch (s.mode) {
        case State::Mode::info: {
            if (frame.type != wire::FrameType::infoReply) {
                break;
            }
            auto info = wire::JSONCodec::decode<wire::InfoReply>(frame.body);
            if (!info) {
                break;
            }
            out.info = std::move(*info);
            out.done = true;
            s.phase = Phase::closed;
            return;
        }
        case State::Mode::pairing: {
            if (frame.type == wire::FrameType::pairChallenge && s.pairing) {
                sendPlain(wire::FrameType::pairConfirm, s.pairing->handleChallenge(frame.body),
                          out);
                return;
            }
            if (frame.type != wire::FrameType::pairComplete || !s.pairing) {
                break;
            }
            auto result = s.pairing->handleComplete(frame.body, wallNow);
            s.pairing.reset();
            if (!result) {
                fail(clientError(result.error()), out);
                return;
            }
            if (result->udpPort <= 0 || result->udpPort > 0xFFFF) {
                break;
            }
            s.channel.emplace(result->keys.sessionKey, wire::SecureTCPChannel::Role::client);
            s.phase = Phase::established;
            s.lastPing = now;
            result->host.lanEndpoints = usableEndpoints(result->host.lanEndpoints);
            result->host.tailscaleEndpoints = usableEndpoints(result->host.tailscaleEndpoints);
            out.established = Established{std::move(result->keys), std::move(result->host),
                                          static_cast<std::uint16_t>(result->udpPort)};
            return;
        }
        case State::Mode::authentication: {
            if (frame.type == wire::FrameType::authChallenge && s.auth) {
                auto result = s.auth->handleChallenge(frame.body);
                s.auth.reset();
                if (!result) {
                    fail(clientError(result.error()), out);
                    return;
                }
                const auto& challenge = result->challenge;
                const auto os = pairing::hostOSType(challenge.osType);
                if (challenge.udpPort <= 0 || challenge.udpPort > 0xFFFF || !os) {
                    break;
                }
                pairing::PairedHostRecord host = *s.pinned;
                host.displayName = challenge.hostName;
                host.osType = *os;
                host.lanEndpoints = usableEndpoints(challenge.lanEndpoints);
                host.tailscaleEndpoints = usableEndpoints(challenge.tailscaleEndpoints);
                host.deviceType = challenge.deviceType;
                host.lastConnectedUnix =
                    std::chrono::duration_cast<std::chrono::seconds>(wallNow.time_since_epoch())
                        .count();
                s.channel.emplace(result->keys.sessionKey, wire::SecureTCPChannel::Role::client);
                s.pendingAuth = Established{result->keys, std::move(host),
                                            static_cast<std::uint16_t>(challenge.udpPort)};
                sendPlain(wire::FrameType::authResponse, std::move(result->responseBody), out);
                return;
            }
            if (frame.type != wire::FrameType::authOK || !s.pendingAuth) {
                break;
            }
            if (!s.channel->open(frame)) {
                fail(ClientError::hostNotAuthentic, out);
                return;
            }
            s.phase = Phase::established;
            s.lastPing = now;
            out.established = std::move(*s.pendingAuth);
            s.pendingAuth.reset();
            return;
        }
    }
    fail(ClientError::protocolError, out);
}

void ControlClient::tick(base::MonotonicTime now, Output& out) {
    State& s = *state_;
    if (s.phase != Phase::waiting && s.phase != Phase::established) {
        return;
    }
    if (now - s.lastReceived > silenceLimit ||
        (s.phase == Phase::waiting && now - s.started > handshakeLimit)) {
        fail(ClientError::timedOut, out);
        return;
    }
    if (s.phase == Phase::established && now - s.lastPing >= pingInterval) {
        s.lastPing = now;
        const auto ts = static_cast<std::uint64_t>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count());
        if (auto frame = ping(ts)) {
            out.send.push_back(std::move(*frame));
        }
    }
}

base::MonotonicTime ControlClient::nextDeadline() const noexcept {
    const State& s = *state_;
    auto deadline = s.lastReceived + silenceLimit;
    if (s.phase == Phase::established) {
        deadline = std::min(deadline, s.lastPing + pingInterval);
    } else {
        deadline = std::min(deadline, s.started + handshakeLimit);
    }
    return deadline;
}

tl::expected<wire::Bytes, wire::WireError> ControlClient::ping(std::uint64_t ts) {
    State& s = *state_;
    auto frame = seal(wire::FrameType::ping, wire::PingBody{ts});
    if (frame) {
        if (s.pingsAwaited.size() == maxPingsAwaited) {
            s.pingsAwaited.pop_front();
        }
        s.pingsAwaited.push_back(ts);
    }
    return frame;
}

tl::expected<wire::Bytes, wire::WireError> ControlClient::seal(std::uint8_t type,
                                                               wire::ByteView plaintext) {
    State& s = *state_;
    if (s.phase != Phase::established) {
        return tl::unexpected(wire::WireError::malformed());
    }
    return s.channel->seal(type, plaintext);
}

}  // namespace tarvel::client
