#pragma once

#include <sys/socket.h>
#include <sys/uio.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <system_error>
#include <unordered_map>
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

/// A control connection as the server sees it: a TCP stream, or a WebSocket
/// carrying one frame per message.
class ControlStream {
  public:
    using SendHandler = std::function<void(std::error_code)>;

    virtual ~ControlStream() = default;
    /// Queues `bytes` (whole frames); they leave in call order. `done`, when
    /// given, runs once they were written or failed, or the stream closed.
    virtual void send(wire::Bytes bytes, SendHandler done = {}) = 0;
    /// Closes the stream; idempotent.
    virtual void cancel() = 0;
};

/// One accepted control connection.
class TcpConnection final : public ControlStream,
                            public std::enable_shared_from_this<TcpConnection> {
  public:
    /// Bytes received (empty at end of stream), whether the stream ended, and
    /// the error, if any. The view is valid only during the call.
    using ReceiveHandler =
        std::function<void(wire::ByteView data, bool isComplete, std::error_code)>;

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
    void send(wire::Bytes bytes, SendHandler done = {}) override;

    /// Closes the socket; a pending receive completes with operation_aborted.
    /// Idempotent.
    void cancel() override;
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
    using SocketHandler = std::function<void(asio::ip::tcp::socket)>;
    using FailureHandler = std::function<void(std::error_code)>;

    /// How long accepting pauses when the process or system is out of
    /// descriptors or memory: re-arming at once would spin a core.
    static constexpr std::chrono::milliseconds acceptRetryDelay{100};

    explicit TcpListener(asio::ip::tcp::acceptor acceptor);

    /// Starts accepting; `onConnection` for each connection, `onFailure` once
    /// if accepting fails for good (not after cancel).
    void start(ConnectionHandler onConnection, FailureHandler onFailure);
    /// The same, handing over bare sockets.
    void start(SocketHandler onSocket, FailureHandler onFailure);
    void cancel();
    std::uint16_t port() const noexcept { return port_; }

  private:
    void acceptNext();

    asio::ip::tcp::acceptor acceptor_;
    asio::steady_timer retry_;
    std::uint16_t port_;
    SocketHandler onSocket_;
    FailureHandler onFailure_;
    bool cancelled_ = false;
    bool starved_ = false;  // logged once per shortage
};

/// The shell's name for one remote address and port on a UDP socket; never
/// reused within the process.
using FlowId = std::uint64_t;

/// The UDP socket, read in batches and split into flows by remote address and
/// port. Everything runs on the thread of the socket's io_context.
class UdpListener : public std::enable_shared_from_this<UdpListener> {
  public:
    struct Datagram {
        FlowId flow = 0;
        bool isNewFlow = false;  // the first datagram of a remote not seen before
        wire::ByteView bytes;
    };
    /// One batch, in arrival order; the views are valid only during the call.
    /// The handler may send and forget flows; a flow it forgets receives
    /// nothing more of the batch.
    using BatchHandler = std::function<void(UdpListener&, std::span<const Datagram>)>;
    using FailureHandler = std::function<void(std::error_code)>;

    /// Datagrams longer than this arrive cut to it; input datagrams are 36 bytes.
    static constexpr std::size_t receiveBufferSize = 256;
    /// Datagrams one system call reads.
    static constexpr std::size_t batchSize = 32;
    /// Batches read per wake-up before the thread's other work gets a turn.
    static constexpr int batchesPerWake = 8;

    explicit UdpListener(asio::ip::udp::socket socket);

    /// Starts receiving; `onFailure` once if the socket fails for good (not after cancel).
    void start(BatchHandler onBatch, FailureHandler onFailure);
    /// The remote of a flow, or nothing when the flow is forgotten.
    std::optional<discovery::NetworkEndpoint> endpoint(FlowId flow) const;
    /// One datagram to a flow's remote, fire and forget.
    void send(FlowId flow, wire::ByteView datagram);
    /// Like send, but held until flushSends() (or until the hold is full), so
    /// a batch's replies leave in one system call after the batch's work.
    /// Datagrams longer than maxHeldLength are sent at once.
    void holdSend(FlowId flow, wire::ByteView datagram);
    void flushSends();
    /// Forgets a flow: the remote's next datagram opens a new one.
    void forget(FlowId flow);
    void cancel();
    std::uint16_t port() const noexcept { return port_; }
    std::size_t flowCount() const noexcept { return remotes_.size(); }

  private:
    struct RemoteKey {
        std::array<std::uint8_t, 16> address{};
        std::uint32_t scope = 0;
        std::uint16_t port = 0;
        bool operator==(const RemoteKey&) const = default;
    };
    struct RemoteKeyHash {
        std::size_t operator()(const RemoteKey& key) const noexcept;
    };
    struct Remote {
        sockaddr_storage address{};
        socklen_t length = 0;
        RemoteKey key;
    };

    void waitReadable();
    void readBatches();
    static RemoteKey keyOf(const sockaddr_storage& address);

    asio::ip::udp::socket socket_;
    asio::steady_timer retry_;
    std::uint16_t port_;
    BatchHandler onBatch_;
    FailureHandler onFailure_;
    bool cancelled_ = false;
    std::unordered_map<RemoteKey, FlowId, RemoteKeyHash> flows_;
    std::unordered_map<FlowId, Remote> remotes_;
    // Reused by every read: receiving allocates nothing.
    std::array<mmsghdr, batchSize> headers_{};
    std::array<iovec, batchSize> vectors_{};
    std::array<sockaddr_storage, batchSize> senders_{};
    std::array<std::array<std::uint8_t, receiveBufferSize>, batchSize> buffers_{};
    std::array<Datagram, batchSize> batch_{};

  public:
    static constexpr std::size_t maxHeldLength = 64;

  private:
    struct Held {
        sockaddr_storage address{};
        socklen_t length = 0;
        std::array<std::uint8_t, maxHeldLength> bytes{};
        std::size_t size = 0;
    };
    std::array<Held, batchSize> held_{};
    std::size_t heldCount_ = 0;
    std::array<mmsghdr, batchSize> sendHeaders_{};
    std::array<iovec, batchSize> sendVectors_{};
};

/// A TCP and a UDP listener on one port number.
struct ListenerPair {
    std::shared_ptr<TcpListener> tcp;
    std::shared_ptr<UdpListener> udp;
    std::uint16_t port = 0;
};

/// A listening TCP acceptor on `port` of every address, dual-stack where the
/// machine has IPv6.
tl::expected<asio::ip::tcp::acceptor, std::error_code> bindTcpAcceptor(asio::io_context& context,
                                                                       std::uint16_t port);

/// Binds both listeners to `port` on every address, dual-stack where the
/// machine has IPv6 (IPv4 peers then appear IPv4-mapped). Fails, holding
/// nothing, unless both bind. The UDP socket belongs to `udpContext`, so its
/// datagrams can be served on another thread than the TCP listener.
tl::expected<ListenerPair, std::error_code> bindListeners(asio::io_context& tcpContext,
                                                          asio::io_context& udpContext,
                                                          std::uint16_t port);

}  // namespace tarvel::server
