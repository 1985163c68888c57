#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <system_error>
#include <utility>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ip/udp.hpp>
#include <asio/steady_timer.hpp>
#include <tl/expected.hpp>

#include "core/discovery/network_filter.hpp"
#include "core/wire/bytes.hpp"

namespace tarvel::server {

// Sockets of the host's two listeners. Every operation below runs on the
// thread of the io_context the objects were made with (the server queue);
// asio sockets are not thread-safe. Handlers are called on that thread too.

/// The admission filter's view of an address: an IPv4-mapped IPv6 address
/// (how a dual-stack socket sees IPv4 peers) becomes the IPv4 address.
discovery::NetworkHost toNetworkHost(const asio::ip::address& address);
discovery::NetworkEndpoint toNetworkEndpoint(const asio::ip::tcp::endpoint& endpoint);
discovery::NetworkEndpoint toNetworkEndpoint(const asio::ip::udp::endpoint& endpoint);

/// One accepted control connection.
class TcpConnection : public std::enable_shared_from_this<TcpConnection> {
  public:
    /// Bytes received (empty at end of stream), whether the stream ended, and
    /// the error, if any. The view is valid only during the call.
    using ReceiveHandler =
        std::function<void(wire::ByteView data, bool isComplete, std::error_code)>;
    using SendHandler = std::function<void(std::error_code)>;

    /// Largest chunk one receive delivers.
    static constexpr std::size_t maxReceiveLength = 65536;
    /// Bytes a connection may have waiting to be written; past this the peer
    /// is not reading and the connection is closed.
    static constexpr std::size_t maxQueuedBytes = 1 << 20;

    explicit TcpConnection(asio::ip::tcp::socket socket);

    /// The peer, or nothing when the socket has none.
    const std::optional<discovery::NetworkEndpoint>& endpoint() const noexcept { return endpoint_; }

    /// Delivers the next 1 to maxReceiveLength available bytes; one call per receive.
    void receive(ReceiveHandler handler);

    /// Queues `bytes` as one message; messages leave in call order. `done`,
    /// when given, runs once the message was written or failed. Past
    /// maxQueuedBytes unwritten, the connection is cancelled instead.
    void send(wire::Bytes bytes, SendHandler done = {});

    /// Closes the socket; a pending receive completes with operation_aborted.
    /// Idempotent.
    void cancel();
    bool isCancelled() const noexcept { return cancelled_; }

  private:
    void writeNext();

    asio::ip::tcp::socket socket_;
    std::optional<discovery::NetworkEndpoint> endpoint_;
    wire::Bytes readBuffer_;
    std::deque<std::pair<wire::Bytes, SendHandler>> writes_;
    std::size_t queuedBytes_ = 0;
    bool writing_ = false;
    bool cancelled_ = false;
};

/// Accepts control connections on a bound, listening acceptor.
class TcpListener : public std::enable_shared_from_this<TcpListener> {
  public:
    using ConnectionHandler = std::function<void(std::shared_ptr<TcpConnection>)>;
    using FailureHandler = std::function<void(std::error_code)>;

    /// How long accepting pauses when the process or system is out of
    /// descriptors or memory: re-arming at once would spin a core.
    static constexpr std::chrono::milliseconds acceptRetryDelay{100};

    explicit TcpListener(asio::ip::tcp::acceptor acceptor);

    /// Starts accepting; `onConnection` for each connection, `onFailure` once
    /// if accepting fails for good (not after cancel).
    void start(ConnectionHandler onConnection, FailureHandler onFailure);
    void cancel();
    std::uint16_t port() const noexcept { return port_; }

  private:
    void acceptNext();

    asio::ip::tcp::acceptor acceptor_;
    asio::steady_timer retry_;
    std::uint16_t port_;
    ConnectionHandler onConnection_;
    FailureHandler onFailure_;
    bool cancelled_ = false;
    bool starved_ = false;  // logged once per shortage
};

class UdpListener;

/// The datagrams of one remote address and port on the shared UDP socket.
class UdpFlow : public std::enable_shared_from_this<UdpFlow> {
  public:
    using DatagramHandler = std::function<void(wire::ByteView datagram)>;

    UdpFlow(std::weak_ptr<UdpListener> listener, asio::ip::udp::endpoint remote);

    discovery::NetworkEndpoint endpoint() const { return toNetworkEndpoint(remote_); }

    /// Where this flow's datagrams go; the view is valid only during the call.
    void onDatagram(DatagramHandler handler) { handler_ = std::move(handler); }

    /// Sends one datagram to the peer, fire and forget.
    void send(wire::ByteView datagram);

    /// Forgets the flow: a later datagram from the same peer makes a new one.
    void cancel();
    bool isCancelled() const noexcept { return cancelled_; }

  private:
    friend class UdpListener;
    void deliver(wire::ByteView datagram);

    std::weak_ptr<UdpListener> listener_;
    asio::ip::udp::endpoint remote_;
    DatagramHandler handler_;
    bool cancelled_ = false;
};

/// The UDP socket, split into flows keyed by the remote address and port.
class UdpListener : public std::enable_shared_from_this<UdpListener> {
  public:
    using FlowHandler = std::function<void(std::shared_ptr<UdpFlow>)>;
    using FailureHandler = std::function<void(std::error_code)>;

    /// Datagrams longer than this arrive cut to it; input datagrams are 36 bytes.
    static constexpr std::size_t receiveBufferSize = 256;

    explicit UdpListener(asio::ip::udp::socket socket);

    /// Starts receiving; `onFlow` for the first datagram of each new flow,
    /// before that datagram is delivered to it.
    void start(FlowHandler onFlow, FailureHandler onFailure);
    void cancel();
    std::uint16_t port() const noexcept { return port_; }
    std::size_t flowCount() const noexcept { return flows_.size(); }

  private:
    friend class UdpFlow;
    void receiveNext();
    void forget(const asio::ip::udp::endpoint& remote);
    void sendTo(const asio::ip::udp::endpoint& remote, wire::ByteView datagram);

    asio::ip::udp::socket socket_;
    std::uint16_t port_;
    std::array<std::uint8_t, receiveBufferSize> buffer_{};
    asio::ip::udp::endpoint sender_;
    std::map<asio::ip::udp::endpoint, std::shared_ptr<UdpFlow>> flows_;
    FlowHandler onFlow_;
    FailureHandler onFailure_;
    bool cancelled_ = false;
};

/// A TCP and a UDP listener on one port number.
struct ListenerPair {
    std::shared_ptr<TcpListener> tcp;
    std::shared_ptr<UdpListener> udp;
    std::uint16_t port = 0;
};

/// Binds both listeners to `port` on every address, dual-stack where the
/// machine has IPv6 (IPv4 peers then appear IPv4-mapped). Fails, holding
/// nothing, unless both bind.
tl::expected<ListenerPair, std::error_code> bindListeners(asio::io_context& context,
                                                          std::uint16_t port);

}  // namespace tarvel::server
