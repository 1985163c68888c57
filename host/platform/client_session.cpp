#include "host/platform/client_session.hpp"

#include <asio/connect.hpp>
#include <asio/post.hpp>
#include <asio/write.hpp>

#include <algorithm>
#include <charconv>
#include <thread>

#include "core/base/log.hpp"

namespace tarvel::platform {

namespace {

using client::ClientError;
using client::ControlClient;

// A session that lived this long was no flap: its loss starts a fresh back-off series.
constexpr std::chrono::seconds stableSession{10};

bool retryable(ClientError error) {
    return error == ClientError::unreachable || error == ClientError::timedOut ||
           error == ClientError::connectionLost;
}

}  // namespace

std::optional<EndpointText> EndpointText::parse(std::string_view text, std::uint16_t defaultPort) {
    EndpointText result{std::string(), defaultPort};
    std::string_view rest;
    if (text.starts_with('[')) {
        const auto close = text.find(']');
        if (close == std::string_view::npos) {
            return std::nullopt;
        }
        result.host = std::string(text.substr(1, close - 1));
        rest = text.substr(close + 1);
    } else if (std::count(text.begin(), text.end(), ':') > 1) {
        result.host = std::string(text);  // a bare IPv6 address
    } else {
        const auto colon = text.find(':');
        result.host = std::string(text.substr(0, colon));
        rest = colon == std::string_view::npos ? std::string_view() : text.substr(colon);
    }
    if (!rest.empty()) {
        if (!rest.starts_with(':') || rest.size() < 2) {
            return std::nullopt;
        }
        unsigned value = 0;
        const auto digits = rest.substr(1);
        const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
        if (error != std::errc() || end != digits.data() + digits.size() || value == 0 ||
            value > 0xFFFF) {
            return std::nullopt;
        }
        result.port = static_cast<std::uint16_t>(value);
    }
    if (result.host.empty() || result.port == 0) {
        return std::nullopt;
    }
    return result;
}

std::shared_ptr<ClientSession> ClientSession::of(const std::weak_ptr<ClientSession>& weak,
                                                 std::uint64_t attempt) {
    auto self = weak.lock();
    return self && self->attempt_ == attempt && !self->closed_ ? self : nullptr;
}

std::shared_ptr<ClientSession> ClientSession::create(Config config, Start start,
                                                     Callbacks callbacks) {
    return std::shared_ptr<ClientSession>(
        new ClientSession(std::move(config), std::move(start), std::move(callbacks)));
}

ClientSession::ClientSession(Config config, Start start, Callbacks callbacks)
    : config_(std::move(config)),
      callbacks_(std::move(callbacks)),
      queue_(std::make_shared<AsioSerialQueue>("rc.client.session")),
      start_(std::move(start)),
      attemptTimer_(queue_->context()),
      tickTimer_(queue_->context()),
      retryTimer_(queue_->context()) {}

ClientSession::~ClientSession() {
    // Sockets and timers belong to the queue's thread: they go down there.
    auto stop = [this] {
        closed_ = true;
        tearDown();
    };
    if (queue_->isCurrent()) {
        stop();
    } else {
        queue_->sync(stop);
    }
}

void ClientSession::start() {
    queue_->async([weak = weak_from_this()] {
        if (auto self = weak.lock(); self && !self->closed_) {
            self->endpoints_ = self->config_.endpoints;
            self->connect(0);
        }
    });
}

void ClientSession::connect(std::size_t index) {
    tearDown();
    std::optional<EndpointText> endpoint;
    for (; index < endpoints_.size(); ++index) {
        if ((endpoint = EndpointText::parse(endpoints_[index], config_.defaultPort))) {
            break;
        }
    }
    if (!endpoint) {
        ended(ClientError::unreachable);
        return;
    }
    switch (start_.index()) {
        case 0: control_ = ControlClient::forInfo(); break;
        case 1: {
            auto& pair = std::get<Pair>(start_);
            control_ = ControlClient::forPairing(config_.client, pair.code, pair.expectedHostKey);
            break;
        }
        default:
            control_ = ControlClient::forAuthentication(config_.client,
                                                        std::get<Authenticate>(start_).host);
    }
    currentEndpoint_ = endpoints_[index];
    const std::uint64_t attempt = attempt_;
    auto link = std::make_shared<Link>(queue_->context());
    link_ = link;
    auto next = [weak = weak_from_this(), attempt, index] {
        if (auto self = of(weak, attempt)) {
            self->connect(index + 1);
        }
    };
    attemptTimer_.expires_after(config_.connectTimeout);
    attemptTimer_.async_wait([weak = weak_from_this(), attempt, next](std::error_code error) {
        // Already queued when the connection succeeded: too late to matter.
        auto self = of(weak, attempt);
        if (!error && self && self->control_ && self->control_->phase() == ControlClient::Phase::fresh) {
            next();
        }
    });
    link->resolver.async_resolve(
        endpoint->host, std::to_string(endpoint->port), asio::ip::tcp::resolver::numeric_service,
        [weak = weak_from_this(), link, attempt, next](
            std::error_code error, asio::ip::tcp::resolver::results_type results) {
            auto self = of(weak, attempt);
            if (!self) {
                return;
            }
            if (error) {
                next();
                return;
            }
            asio::async_connect(link->socket, results,
                                [weak, link, attempt, next](std::error_code error, const auto&) {
                                    auto self = of(weak, attempt);
                                    if (!self) {
                                        return;
                                    }
                                    if (error) {
                                        next();
                                        return;
                                    }
                                    self->attemptTimer_.cancel();
                                    self->connected(link);
                                });
        });
}

void ClientSession::connected(const std::shared_ptr<Link>& link) {
    std::error_code error;
    link->socket.set_option(asio::ip::tcp::no_delay(true), error);
    const auto remote = link->socket.remote_endpoint(error);
    if (error) {
        ended(ClientError::connectionLost);  // gone already
        return;
    }
    remote_ = remote.address();
    ControlClient::Output out;
    control_->start(std::chrono::steady_clock::now(), out);
    readNext(link);
    armTick();
    apply(out);
}

void ClientSession::readNext(const std::shared_ptr<Link>& link) {
    link->socket.async_read_some(
        asio::buffer(link->readBuffer),
        [weak = weak_from_this(), link, attempt = attempt_](std::error_code error, std::size_t size) {
            auto self = of(weak, attempt);
            if (!self) {
                return;
            }
            if (error) {
                self->ended(ClientError::connectionLost);
                return;
            }
            ControlClient::Output out;
            self->control_->received(wire::ByteView(link->readBuffer.data(), size),
                                     std::chrono::steady_clock::now(),
                                     std::chrono::system_clock::now(), out);
            const bool over = out.failed || out.done;
            self->apply(out);
            if (!over && self->attempt_ == attempt) {
                self->readNext(link);
            }
        });
}

void ClientSession::armTick() {
    tickTimer_.expires_after(std::chrono::milliseconds(500));
    tickTimer_.async_wait([weak = weak_from_this(), attempt = attempt_](std::error_code error) {
        auto self = of(weak, attempt);
        if (error || !self) {
            return;
        }
        ControlClient::Output out;
        self->control_->tick(std::chrono::steady_clock::now(), out);
        self->apply(out);
        if (self->attempt_ == attempt) {
            self->armTick();
        }
    });
}

void ClientSession::write(wire::Bytes frame) {
    if (!link_) {
        return;
    }
    link_->outbox.push_back(std::move(frame));
    if (!link_->writing) {
        writeNext(link_);
    }
}

void ClientSession::writeNext(const std::shared_ptr<Link>& link) {
    if (link->outbox.empty()) {
        link->writing = false;
        return;
    }
    link->writing = true;
    asio::async_write(link->socket, asio::buffer(link->outbox.front()),
                      [weak = weak_from_this(), link, attempt = attempt_](std::error_code error,
                                                                          std::size_t) {
                          auto self = of(weak, attempt);
                          if (!self) {
                              return;
                          }
                          if (error) {
                              self->ended(ClientError::connectionLost);
                              return;
                          }
                          link->outbox.pop_front();
                          self->writeNext(link);
                      });
}

void ClientSession::notifySettle(const std::function<void()>& change) {
    {
        std::lock_guard lock(settleMutex_);
        change();
    }
    settled_.notify_all();
}

void ClientSession::apply(ControlClient::Output& out) {
    const std::uint64_t attempt = attempt_;
    for (auto& frame : out.send) {
        write(std::move(frame));
    }
    if (out.info) {
        closed_ = true;
        tearDown();
        if (callbacks_.info) {
            callbacks_.info(*out.info);
        }
        return;
    }
    if (out.established) {
        established(*out.established);
    }
    if (!out.pongs.empty()) {
        const auto now = static_cast<std::uint64_t>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(
                std::chrono::steady_clock::now().time_since_epoch())
                .count());
        for (const std::uint64_t ts : out.pongs) {
            if (callbacks_.pong && ts <= now) {
                callbacks_.pong(std::chrono::nanoseconds(now - ts));
            }
        }
        notifySettle([&] { lastPong_ = std::max(lastPong_, *std::ranges::max_element(out.pongs)); });
    }
    if (out.failed && attempt_ == attempt) {
        ended(*out.failed);
    }
}

void ClientSession::established(const ControlClient::Established& session) {
    auto udp = AsioDatagramTransport::connect(asio::ip::udp::endpoint(remote_, session.udpPort),
                                              queue_);
    if (!udp) {
        base::logLine("could not open the input socket to " + remote_.to_string() + ": " +
                      udp.error().message());
        ended(ClientError::connectionLost);
        return;
    }
    udp_ = std::move(*udp);
    auto fallback = [weak = weak_from_this(), attempt = attempt_](wire::ByteView plain20) {
        if (auto self = of(weak, attempt)) {
            self->sendSealed(wire::FrameType::reliableInput,
                             wire::Bytes(plain20.begin(), plain20.end()));
        }
    };
    auto pipe = client::InputPipe::create(udp_, session.keys.sessionKey, true, queue_,
                                          std::move(fallback), base::SystemClock::shared(),
                                          *config_.trace);
    const std::weak_ptr<client::InputPipe> weakPipe = pipe;
    udp_->start(
        [weakPipe](wire::ByteView datagram) {
            if (auto pipe = weakPipe.lock()) {
                pipe->received(datagram);
            }
        },
        [weakPipe](std::error_code) {
            if (auto pipe = weakPipe.lock()) {
                pipe->transportFailed();
            }
        });
    pipe->start();
    {
        std::lock_guard lock(pipeLock_);
        pipe_ = std::move(pipe);
    }
    ++sessions_;
    live_ = true;

    // The record keeps the address that answered when the host lists none
    // like it (a host reachable only by a name or a forwarded port).
    client::ControlClient::Established kept = session;
    auto& host = kept.host;
    if (std::ranges::find(host.lanEndpoints, currentEndpoint_) == host.lanEndpoints.end() &&
        std::ranges::find(host.tailscaleEndpoints, currentEndpoint_) ==
            host.tailscaleEndpoints.end()) {
        host.lanEndpoints.push_back(currentEndpoint_);
    }
    // A reconnection authenticates with what this session taught us,
    // trying the address that answered first.
    std::vector<std::string> endpoints{currentEndpoint_};
    for (const auto* list : {&host.lanEndpoints, &host.tailscaleEndpoints}) {
        for (const auto& endpoint : *list) {
            if (std::ranges::find(endpoints, endpoint) == endpoints.end()) {
                endpoints.push_back(endpoint);
            }
        }
    }
    // Named by the user, only the named addresses are tried.
    if (!config_.reconnectAnywhere) {
        endpoints = config_.endpoints;
        std::erase(endpoints, currentEndpoint_);
        endpoints.insert(endpoints.begin(), currentEndpoint_);
    }
    reconnectEndpoints_ = std::move(endpoints);
    start_ = Authenticate{host};
    establishedAt_ = std::chrono::steady_clock::now();
    const bool again = wasEstablished_;
    wasEstablished_ = true;
    if (callbacks_.established) {
        callbacks_.established(kept, again);
    }
}

bool ClientSession::sendSealed(std::uint8_t type, wire::Bytes plaintext) {
    if (!control_ || control_->phase() != ControlClient::Phase::established) {
        return false;
    }
    auto frame = control_->seal(type, plaintext);
    if (!frame) {
        return false;
    }
    write(std::move(*frame));
    return true;
}

void ClientSession::ended(ClientError error) {
    tearDown();
    if (closed_) {
        return;
    }
    if (config_.reconnect && wasEstablished_ && retryable(error)) {
        // A session that lived a while starts a fresh series; one dropped at
        // once goes on with the series, so a flapping host is not hammered.
        if (establishedAt_ != std::chrono::steady_clock::time_point{} &&
            std::chrono::steady_clock::now() - establishedAt_ >= stableSession) {
            backoff_.reset();
        }
        establishedAt_ = {};
        std::uniform_real_distribution<double> jitter(-1.0, 1.0);
        if (const auto delay = backoff_.next(std::chrono::system_clock::now(), jitter(random_))) {
            retryTimer_.expires_after(std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::duration<double>(*delay)));
            retryTimer_.async_wait([weak = weak_from_this(), attempt = attempt_](
                                       std::error_code failure) {
                auto self = of(weak, attempt);
                if (failure || !self) {
                    return;
                }
                self->endpoints_ = self->reconnectEndpoints_;
                self->connect(0);
            });
            if (callbacks_.ended) {
                callbacks_.ended(error, true);
            }
            return;
        }
    }
    notifySettle([&] { closed_ = true; });
    if (callbacks_.ended) {
        callbacks_.ended(error, false);
    }
}

void ClientSession::tearDown() {
    ++attempt_;
    if (live_.exchange(false)) {
        notifySettle([] {});  // a settle waiting on this session has lost it
    }
    attemptTimer_.cancel();
    tickTimer_.cancel();
    retryTimer_.cancel();
    if (auto link = std::exchange(link_, nullptr)) {
        // Pending handlers hold the link; closing aborts them.
        std::error_code ignored;
        link->resolver.cancel();
        link->socket.close(ignored);
    }
    std::shared_ptr<client::InputPipe> pipe;
    {
        std::lock_guard lock(pipeLock_);
        pipe = std::exchange(pipe_, nullptr);
    }
    if (pipe) {
        pipe->close();
    }
    udp_.reset();
    control_.reset();
}

std::shared_ptr<client::InputPipe> ClientSession::pipe() {
    std::lock_guard lock(pipeLock_);
    return pipe_;
}

bool ClientSession::send(const wire::InputEvent& event, wire::ModifierMask mask,
                         wire::GesturePhase phase, std::optional<bool> ack) {
    auto current = pipe();
    if (!current || !live_) {
        return false;
    }
    current->send(event, mask, phase, diagnostics::LatencyTrace::now(), ack);
    return true;
}

tl::expected<void, ClientSession::SendError> ClientSession::sendBody(
    std::uint8_t type, tl::expected<wire::Bytes, wire::JSONError> json) {
    if (!json) {
        return tl::unexpected(SendError::notText);
    }
    if (json->size() > wire::TCPFrameCodec::maxSealedPlaintextLen) {
        return tl::unexpected(SendError::tooLarge);
    }
    if (!live_) {
        return tl::unexpected(SendError::notEstablished);
    }
    queue_->async([weak = weak_from_this(), type, json = std::move(*json)]() mutable {
        if (auto self = weak.lock(); self && !self->closed_) {
            self->sendSealed(type, std::move(json));
        }
    });
    return {};
}

tl::expected<void, ClientSession::SendError> ClientSession::sendText(std::string text) {
    return sendBody(wire::FrameType::textUTF8, wire::JSONCodec::encode(wire::TextBody{std::move(text)}));
}

tl::expected<void, ClientSession::SendError> ClientSession::setClipboard(std::string text,
                                                                          bool paste) {
    return sendBody(wire::FrameType::clipboardSet,
                    wire::JSONCodec::encode(wire::ClipboardBody{std::move(text), paste}));
}

bool ClientSession::ping() {
    if (!live_) {
        return false;
    }
    queue_->async([weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self || self->closed_ || !self->control_) {
            return;
        }
        const auto ts = static_cast<std::uint64_t>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(
                std::chrono::steady_clock::now().time_since_epoch())
                .count());
        if (auto frame = self->control_->ping(ts)) {
            self->write(std::move(*frame));
        }
    });
    return true;
}

bool ClientSession::settle(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const std::uint64_t session = sessions_;
    const auto same = [&] { return live_ && !closed_ && sessions_ == session; };
    // Until the pipe holds nothing unacknowledged: every event has then
    // reached the host, over UDP or as a sealed frame already queued.
    for (;;) {
        std::size_t pending = 0;
        queue_->sync([&] {
            std::lock_guard lock(pipeLock_);
            pending = pipe_ ? pipe_->pendingCount() : 0;
        });
        if (!same()) {
            return false;
        }
        if (pending == 0) {
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // Then a ping behind all of it; its own pong (pongs come in order and
    // carry our time) says the host has read everything before it.
    const auto sentAt = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::chrono::steady_clock::now().time_since_epoch())
            .count());
    if (!ping()) {
        return false;
    }
    std::unique_lock lock(settleMutex_);
    settled_.wait_until(lock, deadline, [&] { return lastPong_ >= sentAt || !same(); });
    return lastPong_ >= sentAt && same();
}

void ClientSession::close() {
    auto stop = [this] {
        tearDown();
        notifySettle([&] { closed_ = true; });
    };
    if (queue_->isCurrent()) {
        stop();
    } else {
        queue_->sync(stop);
    }
}

}  // namespace tarvel::platform
