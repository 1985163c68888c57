#include "host/server/web_listener.hpp"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>

#include <asio/ip/address.hpp>
#include <asio/post.hpp>

#include "core/base/log.hpp"
#include "host/server/websocket_engine.hpp"

namespace tarvel::server {

namespace {

constexpr std::size_t frameHeaderLength = 5;
// Four length bytes, the type, and the largest body.
constexpr std::size_t maxFrameMessage = 4 + 0x10000;

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

/// Whether `matches` holds for some item of a comma-separated header, each
/// item without its surrounding blanks.
template <class Match>
bool anyListed(std::string_view header, Match matches) {
    for (std::size_t start = 0; start <= header.size();) {
        const auto end = std::min(header.find(',', start), header.size());
        auto item = header.substr(start, end - start);
        const auto first = item.find_first_not_of(" \t");
        item = first == std::string_view::npos
                   ? std::string_view()
                   : item.substr(first, item.find_last_not_of(" \t") - first + 1);
        if (!item.empty() && matches(item)) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

/// Whether an Accept-Encoding header takes `token` (q=0 refuses it).
bool listsToken(std::string_view header, std::string_view token) {
    return anyListed(header, [&](std::string_view item) {
        const auto semicolon = item.find(';');
        auto name = item.substr(0, semicolon);
        name = name.substr(0, name.find_last_not_of(" \t") + 1);
        if (!equalsIgnoringCase(name, token)) {
            return false;
        }
        auto params = semicolon == std::string_view::npos ? std::string_view() : item.substr(semicolon + 1);
        params.remove_prefix(std::min(params.find_first_not_of(" \t"), params.size()));
        return !(params.starts_with("q=0") && params.find_first_not_of("q=0.") == std::string_view::npos);
    });
}

bool matchesETag(std::string_view ifNoneMatch, std::string_view etag) {
    return anyListed(ifNoneMatch, [&](std::string_view item) {
        return item == "*" || item == etag || (item.starts_with("W/") && item.substr(2) == etag);
    });
}

// The page loads nothing from elsewhere and talks only to this host.
constexpr std::string_view contentSecurityPolicy =
    "default-src 'self'; img-src 'self' data:; style-src 'self' 'unsafe-inline'; "
    "frame-ancestors 'none'; base-uri 'none'; form-action 'none'; connect-src 'self'";

/// The host part of a Host header: without its port, an IPv6 address without brackets.
std::string_view hostPart(std::string_view host) {
    if (host.starts_with('[')) {
        const auto end = host.find(']');
        return end == std::string_view::npos ? std::string_view() : host.substr(1, end - 1);
    }
    return host.substr(0, host.find(':'));
}

}  // namespace

bool isOwnHost(std::string_view host, std::span<const std::string> ownNames) {
    auto name = hostPart(host);
    if (name.ends_with('.')) {
        name.remove_suffix(1);  // the fully qualified spelling of the same name
    }
    if (name.empty()) {
        return false;
    }
    std::error_code error;
    (void)asio::ip::make_address(std::string(name), error);
    return !error || std::any_of(ownNames.begin(), ownNames.end(), [&](const std::string& own) {
        return equalsIgnoringCase(own, name);
    });
}

std::vector<std::string> localHostNames() {
    std::vector<std::string> names{"localhost"};
    std::array<char, 256> name{};
    if (::gethostname(name.data(), name.size() - 1) == 0 && name[0] != '\0') {
        const std::string own = name.data();
        names.push_back(own);
        names.push_back(own.substr(0, own.find('.')) + ".local");
    }
    return names;
}

WebReply answerWebRequest(std::span<const WebAsset> assets, std::string_view method,
                          std::string_view target, std::string_view ifNoneMatch,
                          std::string_view acceptEncoding, std::string_view pageHost) {
    WebReply reply;
    // No HEAD: the WebSocket library drops the length of an empty body.
    if (method != "GET") {
        reply.status = 405;
        reply.headers.emplace_back("Allow", "GET");
        return reply;
    }
    auto path = target.substr(0, target.find_first_of("?#"));
    if (path == "/") {
        path = "/index.html";
    }
    const auto asset = std::find_if(assets.begin(), assets.end(),
                                    [&](const WebAsset& candidate) { return candidate.path == path; });
    if (asset == assets.end()) {
        reply.status = 404;
        return reply;
    }
    const bool gzip = !asset->gzipBody.empty() && listsToken(acceptEncoding, "gzip");
    // Each encoding is a representation of its own, with a tag of its own.
    std::string etag(asset->etag);
    if (gzip && etag.size() >= 2) {
        etag.insert(etag.size() - 1, "-gzip");
    }
    // Revalidated on every load: a host updated in place serves its new page at once.
    reply.headers.emplace_back("Cache-Control", "no-cache");
    reply.headers.emplace_back("ETag", etag);
    reply.headers.emplace_back("X-Content-Type-Options", "nosniff");
    if (!asset->gzipBody.empty()) {
        reply.headers.emplace_back("Vary", "Accept-Encoding");
    }
    if (asset->contentType.starts_with("text/html")) {
        std::string policy(contentSecurityPolicy);
        // Named outright as well: some browsers do not count ws: as 'self'.
        // Only a plain name or IPv4 address with a port of digits makes a source.
        const auto port = pageHost.substr(std::min(pageHost.find(':'), pageHost.size()));
        const auto name = pageHost.substr(0, pageHost.size() - port.size());
        if (!name.empty() && name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-") ==
                                 std::string_view::npos &&
            (port.empty() || (port.size() > 1 && port.find_first_not_of("0123456789", 1) ==
                                                     std::string_view::npos))) {
            policy += " ws://" + std::string(pageHost);
        }
        reply.headers.emplace_back("Content-Security-Policy", std::move(policy));
        reply.headers.emplace_back("Referrer-Policy", "no-referrer");
    }
    if (!ifNoneMatch.empty() && matchesETag(ifNoneMatch, etag)) {
        reply.status = 304;
        return reply;
    }
    reply.headers.emplace_back("Content-Type", std::string(asset->contentType));
    if (gzip) {
        reply.headers.emplace_back("Content-Encoding", "gzip");
    }
    reply.body = gzip ? asset->gzipBody : asset->body;
    return reply;
}

bool isOneFrame(wire::ByteView message) noexcept {
    if (message.size() < frameHeaderLength || message.size() > maxFrameMessage) {
        return false;
    }
    const std::uint32_t length = static_cast<std::uint32_t>(message[0]) |
                                 static_cast<std::uint32_t>(message[1]) << 8 |
                                 static_cast<std::uint32_t>(message[2]) << 16 |
                                 static_cast<std::uint32_t>(message[3]) << 24;
    return length == message.size() - 4;
}

bool isAllowedUpgrade(std::string_view target, std::string_view origin, std::string_view host,
                      std::span<const std::string> ownNames) {
    if (target.substr(0, target.find('?')) != "/ws" || !isOwnHost(host, ownNames)) {
        return false;
    }
    // Browsers always name the page's origin: only this host's own page may
    // open a socket, not any site the phone happens to show. Other clients
    // send none.
    if (origin.empty()) {
        return true;
    }
    constexpr std::string_view scheme = "http://";
    return origin.starts_with(scheme) && !host.empty() &&
           equalsIgnoringCase(origin.substr(scheme.size()), host);
}

std::string webRemoteLink(std::string_view host, std::uint16_t port, std::string_view code,
                          std::string_view publicKeyHex) {
    std::string address(host);
    if (address.starts_with('[')) {
        address = address.substr(0, address.find(']') + 1);
    } else if (const auto colon = address.find(':'); colon != std::string::npos) {
        address = address.find(':', colon + 1) == std::string::npos
                      ? address.substr(0, colon)  // IPv4 with its port
                      : "[" + address + "]";      // a bare IPv6 address
    }
    return "http://" + address + ":" + std::to_string(port) + "/#pair=" + std::string(code) +
           "&pk=" + std::string(publicKeyHex);
}

// The stream.

WebSocketStream::WebSocketStream(asio::io_context& context, discovery::NetworkEndpoint peer,
                                 std::size_t maxQueuedBytes)
    : context_(context), peer_(peer), maxQueuedBytes_(maxQueuedBytes) {}

WebSocketStream::~WebSocketStream() = default;

void WebSocketStream::start(FrameHandler onFrame, EndHandler onEnd) {
    onFrame_ = std::move(onFrame);
    onEnd_ = std::move(onEnd);
}

void WebSocketStream::received(const std::uint8_t* data, std::size_t size, bool binary) {
    if (ended_ || cancelled_) {
        return;
    }
    const wire::ByteView bytes(data, size);
    if (!binary || !isOneFrame(bytes)) {
        fail(1008, "sent a message that is not one frame");
        return;
    }
    if (connection_->bufferedAmount() > maxQueuedBytes_) {
        fail(1008, "is not reading what the host sends");
        return;
    }
    // Never reset while the stream lives: the call may close the stream.
    if (onFrame_) {
        onFrame_(bytes);
    }
}

void WebSocketStream::fail(std::uint16_t code, std::string why) {
    if (cancelled_ || ended_) {
        return;
    }
    connection_->close(code, "");
    asio::post(context_, [weak = weak_from_this(), why = std::move(why)]() mutable {
        if (auto self = weak.lock()) {
            self->ended(std::move(why));
        }
    });
}

void WebSocketStream::ended(std::string why) {
    if (ended_) {
        return;
    }
    ended_ = true;
    for (auto& done : std::exchange(afterClose_, {})) {
        done(std::error_code());
    }
    // A stream the host cancelled needs no word of its end.
    if (auto handler = std::exchange(onEnd_, nullptr); handler && !cancelled_) {
        handler(std::move(why));
    }
}

void WebSocketStream::send(wire::Bytes bytes, SendHandler done) {
    if (cancelled_ || ended_) {
        if (done) {
            asio::post(context_, [done = std::move(done)] {
                done(std::make_error_code(std::errc::not_connected));
            });
        }
        return;
    }
    // The core hands out whole frames; each leaves as a message of its own.
    for (std::size_t offset = 0; offset + 4 <= bytes.size();) {
        const std::size_t length = static_cast<std::size_t>(bytes[offset]) |
                                   static_cast<std::size_t>(bytes[offset + 1]) << 8 |
                                   static_cast<std::size_t>(bytes[offset + 2]) << 16 |
                                   static_cast<std::size_t>(bytes[offset + 3]) << 24;
        const std::size_t size = std::min(4 + length, bytes.size() - offset);
        if (!connection_->send(bytes.data() + offset, size)) {
            break;
        }
        offset += size;
    }
    if (done) {
        afterClose_.push_back(std::move(done));
    }
    if (connection_->bufferedAmount() > maxQueuedBytes_) {
        fail(1008, "is not reading what the host sends");
    } else if (!afterClose_.empty()) {
        // The library reports no single message written: a goodbye frame is
        // followed by a close, whose end the caller hears of.
        connection_->close(1000, "");
    }
}

void WebSocketStream::cancel() {
    if (cancelled_) {
        return;
    }
    // The host closes: it hears nothing more of this socket, and nothing is
    // called back from here, where the caller may hold its own locks.
    cancelled_ = true;
    connection_->close(1001, "");
}

// The listener.

WebListener::WebListener(asio::io_context& context, std::shared_ptr<TcpListener> tcp,
                         std::span<const WebAsset> assets, Limits limits)
    : context_(context),
      engine_(std::make_unique<websocket::Engine>(context)),
      ownNames_(localHostNames()),
      tcp_(std::move(tcp)),
      assets_(assets),
      limits_(limits) {}

WebListener::~WebListener() { cancel(); }

tl::expected<std::shared_ptr<WebListener>, std::error_code> WebListener::bind(
    asio::io_context& context, std::uint16_t port, std::span<const WebAsset> assets,
    Limits limits) {
    auto acceptor = bindTcpAcceptor(context, port);
    if (!acceptor) {
        return tl::unexpected(acceptor.error());
    }
    auto tcp = std::make_shared<TcpListener>(std::move(*acceptor));
    return std::shared_ptr<WebListener>(new WebListener(context, std::move(tcp), assets, limits));
}

std::uint16_t WebListener::port() const noexcept { return tcp_->port(); }

void WebListener::start(SocketHandler onSocket, FailureHandler onFailure) {
    onSocket_ = std::move(onSocket);
    std::weak_ptr<WebListener> weak = weak_from_this();
    tcp_->start(
        [weak](asio::ip::tcp::socket socket) {
            if (auto self = weak.lock()) {
                self->accepted(std::move(socket));
            }
        },
        std::move(onFailure));
}

void WebListener::cancel() {
    if (cancelled_) {
        return;
    }
    cancelled_ = true;
    tcp_->cancel();
    for (auto& [ticket, pending] : std::exchange(pending_, {})) {
        pending.stream->cancel();
    }
}

void WebListener::accepted(asio::ip::tcp::socket socket) {
    std::error_code error;
    const auto remote = socket.remote_endpoint(error);
    if (error) {
        return;  // gone already
    }
    const auto peer = toNetworkEndpoint(remote);
    // The page and the socket are for the same peers as the control port.
    if (!discovery::NetworkFilter::isAllowed(std::optional(peer))) {
        const auto now = std::chrono::steady_clock::now();
        if (now - lastRefusalLog_ > std::chrono::seconds(10)) {
            lastRefusalLog_ = now;
            base::logLine("web remote: refused a connection from " +
                          discovery::NetworkFilter::hostString(peer).value_or("?") +
                          ": address not admitted");
        }
        socket.close(error);
        return;
    }
    // Silent connections must not keep phones out: the oldest of the peer's
    // own goes first, then the oldest of all.
    auto address = discovery::NetworkFilter::hostString(peer).value_or("");
    std::size_t fromAddress = 0;
    auto oldestOfAddress = pending_.end();
    for (auto it = pending_.begin(); it != pending_.end(); ++it) {
        if (it->second.address == address && fromAddress++ == 0) {
            oldestOfAddress = it;
        }
    }
    if (fromAddress >= std::max<std::size_t>(limits_.maxPendingPerAddress, 1)) {
        pending_.extract(oldestOfAddress).mapped().stream->cancel();
    } else if (pending_.size() >= limits_.maxPending) {
        pending_.extract(pending_.begin()).mapped().stream->cancel();
    }

    auto stream = std::make_shared<WebSocketStream>(context_, peer, limits_.maxQueuedBytes);
    const std::uint64_t ticket = nextTicket_++;
    std::weak_ptr<WebListener> weakSelf = weak_from_this();
    std::weak_ptr<WebSocketStream> weakStream = stream;

    websocket::Events events;
    events.onHttp = [weakSelf](const websocket::Request& request) {
        auto self = weakSelf.lock();
        if (!self) {
            return websocket::Response{503, {}, {}};
        }
        const auto reply = answerWebRequest(
            self->assets_, request.method, request.target, request.ifNoneMatch,
            request.acceptEncoding,
            isOwnHost(request.host, self->ownNames_) ? std::string_view(request.host)
                                                     : std::string_view());
        websocket::Response response{reply.status, {}, {}};
        for (const auto& [name, value] : reply.headers) {
            response.headers.emplace_back(std::string(name), value);
        }
        response.body.assign(reply.body.begin(), reply.body.end());
        return response;
    };
    events.onUpgrade = [weakSelf](const websocket::Request& request) {
        auto self = weakSelf.lock();
        return self && isAllowedUpgrade(request.target, request.origin, request.host,
                                        self->ownNames_);
    };
    events.onOpen = [weakSelf, weakStream, ticket] {
        auto self = weakSelf.lock();
        auto stream = weakStream.lock();
        if (!self || !stream) {
            return;
        }
        self->pending_.erase(ticket);
        if (self->onSocket_ && !self->cancelled_) {
            self->onSocket_(stream);
        } else {
            stream->cancel();
        }
    };
    events.onMessage = [weakStream](const std::uint8_t* data, std::size_t size, bool binary) {
        if (auto stream = weakStream.lock()) {
            stream->received(data, size, binary);
        }
    };
    events.onGone = [weakSelf, weakStream, ticket](std::string why) {
        if (auto self = weakSelf.lock()) {
            self->pending_.erase(ticket);
        }
        if (auto stream = weakStream.lock()) {
            stream->ended(std::move(why));
        }
    };
    websocket::Options options;
    options.openTimeoutMs = static_cast<long>(limits_.requestTimeout.count());
    options.closeTimeoutMs = static_cast<long>(limits_.closeTimeout.count());
    options.maxMessageSize = maxFrameMessage;
    const bool v6 = socket.local_endpoint(error).protocol() == asio::ip::tcp::v6();
    const int descriptor = socket.release(error);
    if (error) {
        return;  // the socket closes with the object
    }
    stream->connection_ = engine_->adopt(descriptor, v6, options, std::move(events));
    if (stream->connection_) {
        pending_.emplace(ticket, Pending{std::move(stream), std::move(address)});
    }
}

}  // namespace tarvel::server
