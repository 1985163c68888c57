#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/base/clock.hpp"
#include "core/base/serial_queue.hpp"
#include "core/discovery/dns_sd_txt.hpp"
#include "core/discovery/local_interfaces.hpp"
#include "core/gamepad/pad_state.hpp"
#include "core/pairing/paired_store.hpp"
#include "core/pairing/pairing_payload.hpp"
#include "core/security/host_handshakes.hpp"
#include "core/security/local_identity.hpp"
#include "core/security/pairing_code_state.hpp"
#include "core/wire/frame.hpp"
#include "core/wire/input_packet.hpp"
#include "core/wire/secure_channel.hpp"
#include "core/wire/sequence.hpp"
#include "host/injection/event_sink.hpp"
#include "host/injection/input_injector.hpp"
#include "host/mapping/pad_mapping_runtime.hpp"
#include "host/platform/advertiser.hpp"
#include "host/platform/asio_serial_queue.hpp"
#include "host/platform/clipboard.hpp"
#include "host/platform/host_facts.hpp"
#include "host/server/transport.hpp"

namespace tarvel::diagnostics {
class LatencyTrace;
}

namespace tarvel::server {

/// Every timer of the server, so tests can shorten them.
struct Timings {
    using Duration = base::SerialQueue::Duration;
    Duration supervision = std::chrono::milliseconds{250};  // watchdog tick
    Duration refresh = std::chrono::seconds{10};            // network refresh and re-advertisement
    Duration restartDelay = std::chrono::seconds{2};        // after a TCP listener failure
    Duration establishedIdle = std::chrono::seconds{10};
    Duration handshakeIdle = std::chrono::seconds{15};  // fresh, pairing and auth phases
    Duration udpPeerIdle = std::chrono::seconds{120};
};

/// Bounds on what unauthenticated peers can make the server hold.
struct Limits {
    /// Sessions not yet established; a connection beyond this is closed before reading.
    std::size_t maxPendingSessions = 32;
    /// UDP flows; a new one beyond this evicts the flow idle longest.
    std::size_t maxUdpPeers = 256;
};

/// One accepted control connection (owned by HostServer, server queue only).
struct ControlSession {
    enum class Phase : std::uint8_t { fresh, pairing, auth, established };

    std::shared_ptr<TcpConnection> conn;
    wire::TCPFrameDecoder decoder;
    Phase phase = Phase::fresh;
    std::optional<security::HostPairingHandshake> pairing;  // while phase is pairing
    std::optional<security::HostAuthHandshake> auth;        // while phase is auth
    std::unique_ptr<wire::SecureTCPChannel> channel;
    std::optional<wire::SymmetricKey> udpKey;
    std::shared_ptr<UdpFlow> udpConn;
    std::optional<std::string> clientId;
    std::string deviceName;
    std::string remoteIp;
    wire::SequenceWindow window;
    wire::MoveSequenceGate moveGate;
    gamepad::PadSequenceGates padGates;
    base::MonotonicTime lastActivity;
    bool closed = false;
};

/// One UDP flow (remote address and port); not bound to any session.
struct UDPPeer {
    std::shared_ptr<UdpFlow> conn;
    base::MonotonicTime lastActivity;
};

/// The host's network server: identity, paired store, injector, listeners,
/// control sessions, UDP peers and supervision timers. All state lives on the
/// server queue; the injector runs only on the inject queue.
class HostServer : public std::enable_shared_from_this<HostServer> {
  public:
    static constexpr std::uint16_t defaultFirstPort = 49182;
    static constexpr std::uint16_t defaultLastPort = 49192;
    /// Held input with no packet for this long is released by the watchdog.
    static constexpr auto deadManTimeout = injection::heldInputTimeout;
    static constexpr std::string_view activityReason =
        "Controlling this computer from a paired device";
    static constexpr std::string_view osType = "macos";

    struct Dependencies {
        std::filesystem::path dataDirectory;  // paired devices, identity, mapping
        std::uint16_t firstPort = defaultFirstPort;
        std::uint16_t lastPort = defaultLastPort;
        Timings timings;
        Limits limits;
        std::shared_ptr<injection::EventSink> eventSink;
        std::shared_ptr<platform::Clipboard> clipboard;
        std::shared_ptr<platform::Advertiser> advertiser;
        std::shared_ptr<platform::HostFacts> hostFacts;
        discovery::LocalInterfaces localInterfaces;
        std::shared_ptr<base::SerialQueue> mainQueue;  // onChange, onPairingCompleted
        std::shared_ptr<const base::Clock> clock = base::SystemClock::shared();
        /// The published gamepad mapping; null loads one from the data folder.
        std::shared_ptr<mapping::PadMappingRuntime> padRuntime;
        /// Where the three host latency metrics go; null records nothing.
        diagnostics::LatencyTrace* latencyTrace = nullptr;
    };

    /// What the user interface shows.
    struct Snapshot {
        std::string hostName;
        std::vector<pairing::PairedClientRecord> clients;
        std::set<std::string> onlineClientIds;
        std::optional<std::string> activeClientName;
        std::string lanIP;
        std::optional<std::string> tailscaleIP;
        std::uint16_t port = 0;
    };

    /// What the pairing window shows.
    struct PairingInfo {
        std::string code;
        pairing::PairingPayload payload;
        std::optional<std::string> lan;
        std::optional<std::string> ts;
    };

    /// Creates the queues and the injector, opens the paired store in the data
    /// folder and loads or creates the identity (ephemeral when storage fails).
    /// Any thread; the server does nothing until start().
    static std::shared_ptr<HostServer> create(Dependencies dependencies);

    /// The process-wide server with the default Linux dependencies, created on
    /// first use. Any thread.
    static std::shared_ptr<HostServer> shared();

    ~HostServer();
    HostServer(const HostServer&) = delete;
    HostServer& operator=(const HostServer&) = delete;

    /// Binds the first port of the range where TCP and UDP both bind, advertises
    /// and starts the timers. Asynchronous on the server queue; a second call
    /// while started does nothing.
    void start();

    /// Releases everything the injector holds (waiting for the inject queue),
    /// then cancels listeners, timers, connections and flows and ends the
    /// process activity. Synchronous on the server queue; final.
    void stop();

    /// The state shown by the user interface. Synchronous on the server queue.
    Snapshot snapshot();

    /// Whether some session controls the computer. Synchronous on the server queue.
    bool isConnected();

    /// Replaces any pairing code with a fresh one and returns it with the
    /// pairing link. Synchronous on the server queue.
    PairingInfo beginPairing();

    /// Withdraws the pairing code. Asynchronous on the server queue.
    void endPairing();

    /// Forgets a paired client; its open sessions get unpairedByHost
    /// ("removed_by_user") and are closed. Asynchronous on the server queue.
    void removePairedClient(std::string clientId);

    /// Recompiles the gamepad mapping on the inject queue, after pending
    /// movement. Asynchronous on the server queue.
    void gamepadMappingChanged();

    /// Called on the main queue after any visible change. Any thread.
    void setOnChange(std::function<void()> callback);
    /// Called on the main queue when a pairing succeeds. Any thread.
    void setOnPairingCompleted(std::function<void()> callback);

    /// The port both listeners are bound to (0 before the first bind).
    /// Synchronous on the server queue.
    std::uint16_t port();

    /// The host's identity; immutable after construction. Any thread.
    const security::LocalIdentity& identity() const noexcept { return identity_; }

    /// The paired-device store; thread-safe.
    const std::shared_ptr<pairing::PairedStore>& store() const noexcept { return store_; }

    /// How many UDP flows are tracked now. Synchronous on the server queue.
    std::size_t udpPeerCount();

    /// Runs `body` with the injector on the inject queue and waits for it: for
    /// tests and diagnostics. Not from the inject queue's own tasks.
    void inspectInjector(const std::function<void(const injection::InputInjector&)>& body);

  private:
    using SessionPtr = std::shared_ptr<ControlSession>;
    using PeerPtr = std::shared_ptr<UDPPeer>;
    using InjectorJob = std::function<void(injection::InputInjector&)>;

    struct PendingMove {
        float dx = 0;
        float dy = 0;
        wire::ModifierMask mask;
        std::uint64_t seq = 0;
    };

    explicit HostServer(Dependencies dependencies);

    // Host facts and advertisement.
    std::string hostName() const;
    discovery::DnsSdTxt txt() const;
    std::pair<std::vector<std::string>, std::vector<std::string>> endpointStrings() const;
    security::HostDescriptor descriptor() const;
    void notify();

    // Listeners and timers.
    void bindAndRun();
    void finishStart(ListenerPair listeners);
    void restartListeners();
    void cancelListeners();
    void refreshNetwork();
    void updateWatchdog();
    void watchdogTick();
    void updateActivity();
    void teardown();

    // Control sessions.
    void acceptTCP(std::shared_ptr<TcpConnection> conn);
    void receive(const SessionPtr& session);
    void handle(const wire::TCPFrame& frame, const SessionPtr& session);
    void replyInfo(const SessionPtr& session);
    void beginPair(const wire::TCPFrame& frame, const SessionPtr& session);
    void finishPair(const wire::TCPFrame& frame, const SessionPtr& session);
    void beginAuth(const wire::TCPFrame& frame, const SessionPtr& session);
    void finishAuth(const wire::TCPFrame& frame, const SessionPtr& session);
    void establish(const SessionPtr& session, const security::SessionKeys& keys,
                   const std::string& clientId, const std::string& name);
    void handleEstablished(const wire::TCPFrame& frame, const SessionPtr& session);
    bool process(const wire::InputPacket& packet, const SessionPtr& session);
    void takeControl(const SessionPtr& session);
    void sendPlain(const SessionPtr& session, std::uint8_t type, wire::ByteView body,
                   bool thenClose);
    void reject(const SessionPtr& session, std::uint8_t type,
                const security::HandshakeError& error);
    template <class Body>
    void sendEncrypted(const SessionPtr& session, std::uint8_t type, const Body& body);
    void close(const SessionPtr& session);

    // Datagram path.
    void acceptUDP(std::shared_ptr<UdpFlow> conn);
    void removePeer(UdpFlow* flow);
    void handleDatagram(wire::ByteView data, const PeerPtr& peer);
    void inject(const wire::InputPacket& packet, std::uint64_t recvAt);
    void flushPendingMove();
    void flushMove();
    void withInjector(InjectorJob body);
    bool tracing() const;

    // Declared first so they are destroyed last: sockets and timers belong to them.
    std::shared_ptr<platform::AsioSerialQueue> queue_;
    std::shared_ptr<platform::AsioSerialQueue> injectQueue_;

    Dependencies deps_;
    std::shared_ptr<pairing::PairedStore> store_;
    security::LocalIdentity identity_;
    std::shared_ptr<injection::InputInjector> injector_;

    std::mutex callbackLock_;
    std::function<void()> onChange_;
    std::function<void()> onPairingCompleted_;

    // Server queue only.
    bool activityHeld_ = false;
    bool skipInjection_ = false;
    std::uint16_t port_ = 0;
    std::shared_ptr<TcpListener> tcpListener_;
    std::shared_ptr<UdpListener> udpListener_;
    std::map<const ControlSession*, SessionPtr> sessions_;
    std::map<const UdpFlow*, PeerPtr> udpPeers_;
    SessionPtr active_;
    std::shared_ptr<security::PairingCodeState> pairingCode_;
    base::TimerHandle watchdog_;
    base::TimerHandle refresh_;
    base::TimerHandle restart_;
    bool started_ = false;
    bool stopped_ = false;
    std::optional<discovery::DnsSdTxt> lastTXT_;
    std::optional<PendingMove> pendingMove_;
    bool moveInFlight_ = false;
    std::uint64_t lastDatagramAt_ = 0;
};

}  // namespace tarvel::server
