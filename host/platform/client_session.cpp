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
    std::lock_guard lock(pipeLock_);
    if (pipe_) {
        pipe_->close();
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
    if (index >= endpoints_.size()) {
        ended(ClientError::unreachable);
        return;
    }
    const auto endpoint = EndpointText::parse(endpoints_[index], config_.defaultPort);
    if (!endpoint) {
        connect(index + 1);
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
    auto next = [weak = weak_from_this(), attempt, index] {
        if (auto self = weak.lock(); self && self->attempt_ == attempt && !self->closed_) {
            self->connect(index + 1);
        }
    };
    attemptTimer_.expires_after(config_.connectTimeout);
    attemptTimer_.async_wait([next](std::error_code error) {
        if (!error) {
            next();
        }
    });
    resolver_ = std::make_shared<asio::ip::tcp::resolver>(queue_->context());
    resolver_->async_resolve(
        endpoint->host, std::to_string(endpoint->port),
        asio::ip::tcp::resolver::numeric_service,
        [weak = weak_from_this(), attempt, next](std::error_code error,
                                                 asio::ip::tcp::resolver::results_type results) {
            auto self = weak.lock();
            if (!self || self->attempt_ != attempt || self->closed_) {
                return;
            }
            if (error) {
                next();
                return;
            }
            self->socket_.emplace(self->queue_->context());
            asio::async_connect(*self->socket_, results,
                                [weak, attempt, next](std::error_code error, const auto&) {
                                    auto self = weak.lock();
                                    if (!self || self->attempt_ != attempt || self->closed_) {
                                        return;
                                    }
                                    if (error) {
                                        next();
                                        return;
                                    }
                                    self->attemptTimer_.cancel();
                                    self->connected();
                                });
        });
}

void ClientSession::connected() {
    std::error_code ignored;
    socket_->set_option(asio::ip::tcp::no_delay(true), ignored);
    remote_ = socket_->remote_endpoint(ignored).address();
    ControlClient::Output out;
    control_->start(std::chrono::steady_clock::now(), out);
    readNext();
    armTick();
    apply(out);
}

void ClientSession::readNext() {
    socket_->async_read_some(
        asio::buffer(readBuffer_),
        [weak = weak_from_this(), attempt = attempt_](std::error_code error, std::size_t size) {
            auto self = weak.lock();
            if (!self || self->attempt_ != attempt || self->closed_) {
                return;
            }
            ControlClient::Output out;
            if (error) {
                self->ended(ClientError::connectionLost);
                return;
            }
            self->control_->received(wire::ByteView(self->readBuffer_.data(), size),
                                     std::chrono::steady_clock::now(),
                                     std::chrono::system_clock::now(), out);
            const bool over = out.failed || out.done;
            self->apply(out);
            if (!over && self->attempt_ == attempt) {
                self->readNext();
            }
        });
}

void ClientSession::armTick() {
    tickTimer_.expires_after(std::chrono::milliseconds(500));
    tickTimer_.async_wait([weak = weak_from_this(), attempt = attempt_](std::error_code error) {
        auto self = weak.lock();
        if (error || !self || self->attempt_ != attempt || self->closed_) {
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
    outbox_.push_back(std::move(frame));
    if (!writing_) {
        writeNext();
    }
}

void ClientSession::writeNext() {
    if (outbox_.empty() || !socket_) {
        writing_ = false;
        return;
    }
    writing_ = true;
    asio::async_write(*socket_, asio::buffer(outbox_.front()),
                      [weak = weak_from_this(), attempt = attempt_](std::error_code error,
                                                                    std::size_t) {
                          auto self = weak.lock();
                          if (!self || self->attempt_ != attempt || self->closed_) {
                              return;
                          }
                          if (error) {
                              self->ended(ClientError::connectionLost);
                              return;
                          }
                          self->outbox_.pop_front();
                          self->writeNext();
                      });
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
        {
            std::lock_guard lock(settleMutex_);
            pongs_ += out.pongs.size();
        }
        settled_.notify_all();
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
        if (auto self = weak.lock(); self && self->attempt_ == attempt && !self->closed_) {
            self->sendSealed(wire::FrameType::reliableInput,
                             wire::Bytes(plain20.begin(), plain20.end()));
        }
    };
    auto pipe = client::InputPipe::create(udp_, session.keys.sessionKey, true, queue_,
                                          std::move(fallback), base::SystemClock::shared(),
                                          *config_.trace);
    udp_->start([weak = std::weak_ptr<client::InputPipe>(pipe)](
                    wire::ByteView datagram) {
        if (auto pipe = weak.lock()) {
            pipe->received(datagram);
        }
    },
                [weak = std::weak_ptr<client::InputPipe>(pipe)](std::error_code) {
                    if (auto pipe = weak.lock()) {
                        pipe->transportFailed();
                    }
                });
    pipe->start();
    {
        std::lock_guard lock(pipeLock_);
        pipe_ = std::move(pipe);
    }
    live_ = true;

    // A reconnection authenticates with what this session taught us, trying
    // the address that answered first.
    // The record keeps the address that answered when the host lists none
    // like it (a host reachable only by a name or a forwarded port).
    client::ControlClient::Established kept = session;
    auto& host = kept.host;
    if (std::ranges::find(host.lanEndpoints, currentEndpoint_) == host.lanEndpoints.end() &&
        std::ranges::find(host.tailscaleEndpoints, currentEndpoint_) ==
            host.tailscaleEndpoints.end()) {
        host.lanEndpoints.push_back(currentEndpoint_);
    }
    std::vector<std::string> endpoints{currentEndpoint_};
    for (const auto* list : {&host.lanEndpoints, &host.tailscaleEndpoints}) {
        for (const auto& endpoint : *list) {
            if (std::find(endpoints.begin(), endpoints.end(), endpoint) == endpoints.end()) {
                endpoints.push_back(endpoint);
            }
        }
    }
    reconnectEndpoints_ = std::move(endpoints);
    start_ = Authenticate{host};
    backoff_.reset();
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
        std::uniform_real_distribution<double> jitter(-1.0, 1.0);
        if (const auto delay = backoff_.next(std::chrono::system_clock::now(), jitter(random_))) {
            retryTimer_.expires_after(std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::duration<double>(*delay)));
            retryTimer_.async_wait([weak = weak_from_this(), attempt = attempt_](
                                       std::error_code failure) {
                auto self = weak.lock();
                if (failure || !self || self->attempt_ != attempt || self->closed_) {
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
    closed_ = true;
    settled_.notify_all();
    if (callbacks_.ended) {
        callbacks_.ended(error, false);
    }
}

void ClientSession::tearDown() {
    ++attempt_;
    live_ = false;
    attemptTimer_.cancel();
    tickTimer_.cancel();
    retryTimer_.cancel();
    if (resolver_) {
        resolver_->cancel();
        resolver_.reset();
    }
    if (socket_) {
        std::error_code ignored;
        socket_->close(ignored);
        socket_.reset();
    }
    outbox_.clear();
    writing_ = false;
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

bool ClientSession::sendText(std::string text) {
    wire::TextBody body{std::move(text)};
    auto json = wire::JSONCodec::encode(body);
    if (!json || !live_) {
        return false;
    }
    queue_->async([weak = weak_from_this(), json = std::move(*json)]() mutable {
        if (auto self = weak.lock(); self && !self->closed_) {
            self->sendSealed(wire::FrameType::textUTF8, std::move(json));
        }
    });
    return true;
}

bool ClientSession::setClipboard(std::string text, bool paste) {
    wire::ClipboardBody body{std::move(text), paste};
    auto json = wire::JSONCodec::encode(body);
    if (!json || !live_) {
        return false;
    }
    queue_->async([weak = weak_from_this(), json = std::move(*json)]() mutable {
        if (auto self = weak.lock(); self && !self->closed_) {
            self->sendSealed(wire::FrameType::clipboardSet, std::move(json));
        }
    });
    return true;
}

bool ClientSession::ping() {
    if (!live_) {
        return false;
    }
    queue_->async([weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self || self->closed_) {
            return;
        }
        const auto ts = static_cast<std::uint64_t>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(
                std::chrono::steady_clock::now().time_since_epoch())
                .count());
        auto json = wire::JSONCodec::encode(wire::PingBody{ts});
        if (json) {
            self->sendSealed(wire::FrameType::ping, std::move(*json));
        }
    });
    return true;
}

bool ClientSession::settle(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    // Until the pipe holds nothing unacknowledged: every event has then
    // reached the host, over UDP or as a sealed frame already written.
    for (;;) {
        std::size_t pending = 0;
        bool live = false;
        queue_->sync([&] {
            live = live_ && !closed_;
            std::lock_guard lock(pipeLock_);
            pending = pipe_ ? pipe_->pendingCount() : 0;
        });
        if (!live) {
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
    std::unique_lock lock(settleMutex_);
    const std::uint64_t before = pongs_;
    lock.unlock();
    if (!ping()) {
        return false;
    }
    lock.lock();
    return settled_.wait_until(lock, deadline, [&] { return pongs_ > before || closed_; }) &&
           pongs_ > before;
}

void ClientSession::close() {
    auto stop = [this] {
        closed_ = true;
        tearDown();
        settled_.notify_all();
    };
    if (queue_->isCurrent()) {
        stop();
    } else {
        queue_->sync(stop);
    }
}

}  // namespace tarvel::platform
