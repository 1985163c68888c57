#pragma once

// The web remote's port: the page a phone's browser loads, and WebSockets
// that carry the host's control protocol, one frame per binary message.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <asio/io_context.hpp>

#include "core/discovery/network_filter.hpp"
#include "core/wire/bytes.hpp"
#include "host/server/transport.hpp"

namespace tarvel::server {

/// One file of the page, embedded in the program.
struct WebAsset {
    std::string_view path;  // as requested: "/index.html", "/app.js"
    std::string_view contentType;
    std::span<const std::uint8_t> body;
    std::span<const std::uint8_t> gzipBody;  // empty when not worth compressing
    std::string_view etag;                   // quoted
};

/// The answer to one HTTP request, decided without I/O.
struct WebReply {
    int status = 200;
    std::vector<std::pair<std::string_view, std::string>> headers;
    std::span<const std::uint8_t> body;
};

/// Answers a GET for one of `assets`: "/" is "/index.html"; the query is
/// ignored; a matching If-None-Match gets 304; gzip goes to clients that take
/// it. `pageHost`, when the request named this host, is where the page may
/// open its socket.
WebReply answerWebRequest(std::span<const WebAsset> assets, std::string_view method,
                          std::string_view target, std::string_view ifNoneMatch,
                          std::string_view acceptEncoding, std::string_view pageHost = {});

/// Whether a Host header names this host: an address, or one of `ownNames`
/// (with any port). A name of somebody else's is how a page of another site
/// reaches a LAN host, by rebinding its name to the host's address.
bool isOwnHost(std::string_view host, std::span<const std::string> ownNames);

/// This computer's names as a phone may reach it: the network name, with
/// ".local" for DNS-SD, and localhost.
std::vector<std::string> localHostNames();

/// Whether a WebSocket message is exactly one control frame, as the stream
/// must be cut: a length field that counts the rest of the message.
bool isOneFrame(wire::ByteView message) noexcept;

/// Whether a WebSocket upgrade may proceed: only at /ws, addressed to this
/// host, and from a page of this very host when a browser says where the page
/// came from.
bool isAllowedUpgrade(std::string_view target, std::string_view origin, std::string_view host,
                      std::span<const std::string> ownNames);

/// What a phone opens for the web remote. `host` is an address or a name; an
/// "address:port" endpoint loses its port. The fragment, which a browser never
/// sends, carries the pairing code and the host's public key.
std::string webRemoteLink(std::string_view host, std::uint16_t port, std::string_view code,
                          std::string_view publicKeyHex);

namespace websocket {
class Connection;
class Engine;
}  // namespace websocket

/// An accepted WebSocket: a control stream for the server. Runs on the
/// listener's io_context thread, like everything here.
class WebSocketStream final : public ControlStream,
                              public std::enable_shared_from_this<WebSocketStream> {
  public:
    /// One frame; the view is valid only during the call.
    using FrameHandler = std::function<void(wire::ByteView frame)>;
    /// Once, when the socket ended without the host closing it, with why in a few words.
    using EndHandler = std::function<void(std::string why)>;

    WebSocketStream(asio::io_context& context, discovery::NetworkEndpoint peer,
                    std::size_t maxQueuedBytes);
    ~WebSocketStream() override;

    const std::optional<discovery::NetworkEndpoint>& endpoint() const noexcept { return peer_; }
    /// Frames arrive from now on; a message that is not one binary frame ends
    /// the socket instead.
    void start(FrameHandler onFrame, EndHandler onEnd);
    void send(wire::Bytes bytes, SendHandler done = {}) override;
    void cancel() override;

  private:
    friend class WebListener;
    void received(const std::uint8_t* data, std::size_t size, bool binary);
    void ended(std::string why);
    /// The socket broke a rule or stalled: it closes, and the server hears of
    /// it later, never from within the call that found it.
    void fail(std::uint16_t code, std::string why);

    asio::io_context& context_;
    std::shared_ptr<websocket::Connection> connection_;
    std::optional<discovery::NetworkEndpoint> peer_;
    std::size_t maxQueuedBytes_;
    FrameHandler onFrame_;
    EndHandler onEnd_;
    std::vector<SendHandler> afterClose_;
    bool ended_ = false;
    bool cancelled_ = false;
};

class WebListener : public std::enable_shared_from_this<WebListener> {
  public:
    struct Limits {
        /// Connections not yet a WebSocket (page loads, upgrades under way);
        /// past this the oldest goes, and past the second bound the oldest of
        /// the same address.
        std::size_t maxPending = 64;
        std::size_t maxPendingPerAddress = 16;
        /// Time to send a request, or to finish the upgrade.
        std::chrono::milliseconds requestTimeout{5000};
        std::chrono::milliseconds closeTimeout{2000};
        /// Bytes a socket may have waiting to be written; past this the peer
        /// is not reading and the socket is closed.
        std::size_t maxQueuedBytes = 1 << 20;
    };
    using SocketHandler = std::function<void(std::shared_ptr<WebSocketStream>)>;
    using FailureHandler = std::function<void(std::error_code)>;

    /// Binds `port` on every address; the listener serves `assets`, which
    /// must outlive it.
    static tl::expected<std::shared_ptr<WebListener>, std::error_code> bind(
        asio::io_context& context, std::uint16_t port, std::span<const WebAsset> assets,
        Limits limits);
    ~WebListener();

    /// `onSocket` for each WebSocket opened at /ws by an admitted peer;
    /// `onFailure` once if accepting fails for good.
    void start(SocketHandler onSocket, FailureHandler onFailure);
    /// Stops accepting and closes what has not become a WebSocket yet.
    void cancel();
    std::uint16_t port() const noexcept;

  private:
    WebListener(asio::io_context& context, std::shared_ptr<TcpListener> tcp,
                std::span<const WebAsset> assets, Limits limits);
    void accepted(asio::ip::tcp::socket socket);

    asio::io_context& context_;
    std::unique_ptr<websocket::Engine> engine_;
    std::vector<std::string> ownNames_;
    std::shared_ptr<TcpListener> tcp_;
    std::span<const WebAsset> assets_;
    Limits limits_;
    SocketHandler onSocket_;
    struct Pending {
        std::shared_ptr<WebSocketStream> stream;
        std::string address;
    };
    std::map<std::uint64_t, Pending> pending_;  // in accept order
    std::uint64_t nextTicket_ = 1;
    std::chrono::steady_clock::time_point lastRefusalLog_{};
    bool cancelled_ = false;
};

}  // namespace tarvel::server
