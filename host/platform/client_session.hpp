#pragma once

#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include <tl/expected.hpp>

#include "core/client/control_client.hpp"
#include "core/client/input_pipe.hpp"
#include "core/client/reconnect_backoff.hpp"
#include "core/diagnostics/latency_trace.hpp"
#include "host/platform/asio_datagram_transport.hpp"
#include "host/platform/asio_serial_queue.hpp"

namespace tarvel::platform {

/// "address:port", "[v6]:port" or "name:port" cut into its parts; `port`
/// when the text names none. Nothing when the text cannot be an endpoint.
struct EndpointText {
    std::string host;
    std::uint16_t port = 0;

    static std::optional<EndpointText> parse(std::string_view text, std::uint16_t defaultPort);
};

/// A client's connection to one host: the control connection with its
/// handshake and keep-alive, and once established the input pipe whose
/// unacknowledged events travel as sealed reliableInput frames. When an
/// established session drops, it authenticates again with back-off until the
/// back-off gives up. Callbacks run on the session's own queue; every
/// method may be called from any other thread.
class ClientSession : public std::enable_shared_from_this<ClientSession> {
  public:
    struct Info {};
    struct Pair {
        std::string code;
        std::optional<wire::Bytes> expectedHostKey;  // the link's, when pairing from one
    };
    struct Authenticate {
        pairing::PairedHostRecord host;
    };
    using Start = std::variant<Info, Pair, Authenticate>;

    struct Config {
        security::ClientDescriptor client;
        /// Tried in order until one accepts; the default port where none is named.
        std::vector<std::string> endpoints;
        std::uint16_t defaultPort = 49182;
        std::chrono::milliseconds connectTimeout{3000};
        /// Authenticate again after an established session drops.
        bool reconnect = false;
        /// Reconnect also at the addresses the host reports; otherwise only
        /// at `endpoints` (addresses the user named).
        bool reconnectAnywhere = true;
        diagnostics::LatencyTrace* trace = &diagnostics::LatencyTrace::shared();
    };

    struct Callbacks {
        /// The info request's answer; the session is then over.
        std::function<void(const wire::InfoReply&)> info;
        /// A session is established (again, when `again`); store the record.
        std::function<void(const client::ControlClient::Established&, bool again)> established;
        /// The session ended; `retrying` when a reconnection is scheduled.
        std::function<void(client::ClientError, bool retrying)> ended;
        /// A pong answering ping(), with its round trip.
        std::function<void(std::chrono::nanoseconds)> pong;
    };

    static std::shared_ptr<ClientSession> create(Config config, Start start, Callbacks callbacks);
    ~ClientSession();

    ClientSession(const ClientSession&) = delete;
    ClientSession& operator=(const ClientSession&) = delete;

    /// Connects and runs the handshake.
    void start();

    /// Why a control frame was not sent.
    enum class SendError : std::uint8_t {
        notEstablished,  // no session right now
        tooLarge,        // more than one sealed frame carries
        notText,         // not UTF-8
    };

    /// One input event through the pipe; dropped (false) while no session is
    /// established.
    bool send(const wire::InputEvent& event, wire::ModifierMask mask = {},
              wire::GesturePhase phase = wire::GesturePhase::none,
              std::optional<bool> ack = std::nullopt);
    /// Sealed control frames, checked here so that what is accepted is sent.
    tl::expected<void, SendError> sendText(std::string text);
    tl::expected<void, SendError> setClipboard(std::string text, bool paste);
    bool ping();

    /// Blocks until every event sent so far is acknowledged or carried over
    /// the control connection, and the host has answered a ping sent after
    /// them: the host has then taken all of it in, in order. False on
    /// timeout, or when the session ends or is replaced by a reconnection
    /// meanwhile (what it held may be lost). Never on the session's queue.
    bool settle(std::chrono::milliseconds timeout);

    /// Ends the session for good: no reconnection, no callback afterwards.
    /// From another thread it waits for the session's handlers to finish.
    void close();

    const std::shared_ptr<AsioSerialQueue>& queue() const noexcept { return queue_; }

  private:
    /// One TCP connection attempt. Every handler of its socket holds it, so
    /// the socket and the buffers outlive the operations started on them.
    struct Link {
        explicit Link(asio::io_context& context) : socket(context), resolver(context) {}
        asio::ip::tcp::socket socket;
        asio::ip::tcp::resolver resolver;
        std::array<std::uint8_t, 16384> readBuffer{};
        std::deque<wire::Bytes> outbox;
        bool writing = false;
    };

    ClientSession(Config config, Start start, Callbacks callbacks);

    /// The session, when it still lives, is not closed and is on `attempt`;
    /// handlers of an earlier attempt find nothing.
    static std::shared_ptr<ClientSession> of(const std::weak_ptr<ClientSession>& weak,
                                             std::uint64_t attempt);

    void connect(std::size_t index);
    void connected(const std::shared_ptr<Link>& link);
    std::shared_ptr<client::InputPipe> pipe();
    void readNext(const std::shared_ptr<Link>& link);
    void write(wire::Bytes frame);
    void writeNext(const std::shared_ptr<Link>& link);
    void apply(client::ControlClient::Output& out);
    void established(const client::ControlClient::Established& session);
    void ended(client::ClientError error);
    void tearDown();
    void armTick();
    bool sendSealed(std::uint8_t type, wire::Bytes plaintext);
    tl::expected<void, SendError> sendBody(std::uint8_t type,
                                           tl::expected<wire::Bytes, wire::JSONError> json);
    void notifySettle(const std::function<void()>& change);

    const Config config_;
    const Callbacks callbacks_;
    std::shared_ptr<AsioSerialQueue> queue_;

    // On the queue only.
    Start start_;
    std::vector<std::string> endpoints_;  // this attempt's
    std::optional<client::ControlClient> control_;
    std::shared_ptr<Link> link_;
    asio::ip::address remote_;
    std::string currentEndpoint_;
    std::vector<std::string> reconnectEndpoints_;
    asio::steady_timer attemptTimer_;
    asio::steady_timer tickTimer_;
    asio::steady_timer retryTimer_;
    std::shared_ptr<AsioDatagramTransport> udp_;
    std::shared_ptr<client::InputPipe> pipe_;  // also read under pipeLock_
    std::mutex pipeLock_;
    client::ReconnectBackoff backoff_;
    std::mt19937 random_{std::random_device{}()};
    bool wasEstablished_ = false;
    std::chrono::steady_clock::time_point establishedAt_{};
    std::uint64_t attempt_ = 0;  // handlers of an earlier attempt do nothing

    // Read from any thread.
    std::atomic<bool> closed_{false};
    std::atomic<bool> live_{false};  // a session is established
    std::atomic<std::uint64_t> sessions_{0};  // established sessions so far
    std::mutex settleMutex_;
    std::condition_variable settled_;
    std::uint64_t lastPong_ = 0;  // ts of the newest pong; guarded by settleMutex_
};

}  // namespace tarvel::platform
