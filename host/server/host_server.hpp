#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "core/base/clock.hpp"
#include "core/base/serial_queue.hpp"
#include "core/discovery/dns_sd_txt.hpp"
#include "core/discovery/local_interfaces.hpp"
#include "core/pairing/paired_store.hpp"
#include "host/injection/event_sink.hpp"
#include "host/injection/keystroke_profile.hpp"
#include "host/injection/input_injector.hpp"
#include "host/mapping/pad_mapping_runtime.hpp"
#include "host/platform/advertiser.hpp"
#include "host/platform/asio_serial_queue.hpp"
#include "host/platform/clipboard.hpp"
#include "host/platform/host_facts.hpp"
#include "host/server/host_core.hpp"
#include "host/server/transport.hpp"
#include "host/server/web_listener.hpp"

namespace tarvel::diagnostics {
class LatencyTrace;
}

namespace tarvel::server {

/// The host's network server: the shell around HostCore. It owns the
/// sockets, the timers and the queues, feeds the core events with the time
/// and carries out what the core answers. Control connections and timers
/// live on the server queue; the UDP socket and the injector on the inject
/// queue; store writes run on a background queue.
class HostServer : public std::enable_shared_from_this<HostServer> {
  public:
    static constexpr std::uint16_t defaultFirstPort = 49182;
    static constexpr std::uint16_t defaultLastPort = 49192;
    static constexpr std::uint16_t defaultFirstWebPort = 49280;
    static constexpr std::uint16_t defaultLastWebPort = 49290;
    static constexpr std::string_view activityReason =
        "Controlling this computer from a paired device";

    struct Dependencies {
        std::filesystem::path dataDirectory;  // paired devices, identity, mapping
        std::uint16_t firstPort = defaultFirstPort;
        std::uint16_t lastPort = defaultLastPort;
        Timings timings;
        Limits limits;
        std::shared_ptr<injection::EventSink> eventSink;
        /// The chords for shortcuts, swipes, zoom and paste on this desktop.
        injection::KeystrokeProfile keystrokes = injection::KeystrokeProfile::mac();
        std::shared_ptr<platform::Clipboard> clipboard;
        std::shared_ptr<platform::Advertiser> advertiser;
        std::shared_ptr<platform::HostFacts> hostFacts;
        discovery::LocalInterfaces localInterfaces;
        std::shared_ptr<base::SerialQueue> mainQueue;  // every callback below
        std::shared_ptr<const base::Clock> clock = base::SystemClock::shared();
        /// The published gamepad mapping; null loads one from the data folder.
        std::shared_ptr<mapping::PadMappingRuntime> padRuntime;
        /// Where the three host latency metrics go; null records nothing.
        diagnostics::LatencyTrace* latencyTrace = nullptr;
        /// The web remote: its page (none: no web port) and where it listens.
        std::span<const WebAsset> webAssets;
        std::uint16_t firstWebPort = defaultFirstWebPort;
        std::uint16_t lastWebPort = defaultLastWebPort;
        WebListener::Limits webLimits;
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
        std::uint16_t webPort = 0;  // 0: no web remote
    };

    /// Creates the queues and the injector, removes temporary files a crash
    /// left in the data folder, opens the paired store there and loads or
    /// creates the identity (ephemeral when storage fails). Any thread; the
    /// server does nothing until start().
    static std::shared_ptr<HostServer> create(Dependencies dependencies);

    /// Drains the inject and store queues before the injector and store go.
    /// Not from a task of the server's own queues.
    ~HostServer();
    HostServer(const HostServer&) = delete;
    HostServer& operator=(const HostServer&) = delete;

    /// Binds the first port of the range where TCP and UDP both bind,
    /// advertises and starts the timers. Asynchronous on the server queue; a
    /// second call while started does nothing.
    void start();

    /// Releases everything the injector holds (waiting for the inject queue),
    /// closes listeners, connections and flows, ends the process activity and
    /// finishes every pending store write. Nothing read after this is
    /// handled. Synchronous; final. Not from the server's own queues.
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
    /// Withdraws `code` if it is still the current one. Asynchronous on the server queue.
    void endPairing(std::string code);
    /// Whether `code` can still pair a device: news of a code's end reaches
    /// the main queue later, when another code may be current. Synchronous
    /// on the server queue.
    bool isPairingCodeLive(const std::string& code);

    /// Forgets a paired client; its open sessions get unpairedByHost
    /// ("removed_by_user") and are closed. Asynchronous on the server queue.
    void removePairedClient(std::string clientId);

    /// Recompiles the gamepad mapping on the inject queue, after pending
    /// movement. Asynchronous on the server queue.
    void gamepadMappingChanged();

    // Callbacks, all called on the main queue; settable from any thread.

    /// After any visible change.
    void setOnChange(std::function<void()> callback);
    /// When a pairing succeeded and its record was saved.
    void setOnPairingCompleted(std::function<void()> callback);
    /// Each time both listeners are bound: at start-up and after every
    /// listener restart (the port may change).
    void setOnListening(std::function<void(std::uint16_t port)> callback);
    /// Each time the web remote's port is bound (after the control port).
    void setOnWebListening(std::function<void(std::uint16_t port)> callback);
    /// When no port of the range could be bound; `why` names each port and
    /// its error. The server stays without listeners.
    void setOnStartFailed(std::function<void(std::string why)> callback);
    /// When the code on display can no longer be used.
    void setOnPairingCodeEnded(std::function<void(PairingCodeEnd how)> callback);

    /// The port both listeners are bound to (0 before the first bind).
    /// Synchronous on the server queue.
    std::uint16_t port();
    /// The web remote's port (0 when it has none). Synchronous on the server queue.
    std::uint16_t webPort();
    /// The web remote's address for the pairing `info`, with its code and the
    /// host's key; nothing when there is no web remote. At the first LAN
    /// address, else at this computer's DNS-SD name. Synchronous on the server queue.
    std::optional<std::string> webRemoteLink(const PairingInfo& info);

    /// The host's identity; immutable after construction. Any thread.
    const security::LocalIdentity& identity() const noexcept { return core_.identity(); }

    /// The paired-device store; thread-safe.
    const std::shared_ptr<pairing::PairedStore>& store() const noexcept { return store_; }

    /// How many UDP flows are tracked now. Synchronous on the server queue.
    std::size_t udpPeerCount();

  private:
    class Performer;
    /// Where an action is carried out from: the server queue, or the inject
    /// queue, which also serves the UDP socket.
    enum class Thread : std::uint8_t { server, inject };
    /// Injector work, queued in the order the core handed it out.
    using InjectJob = std::variant<inject::Packet, inject::ReleaseAll, inject::StampPacketTime,
                                   inject::Text, inject::Clipboard, inject::PadMappingChanged,
                                   inject::SuperviseTick>;
    struct Callbacks {
        std::function<void()> onChange;
        std::function<void()> onPairingCompleted;
        std::function<void(std::uint16_t)> onListening;
        std::function<void(std::uint16_t)> onWebListening;
        std::function<void(std::string)> onStartFailed;
        std::function<void(PairingCodeEnd)> onPairingCodeEnded;
    };

    HostServer(Dependencies dependencies, std::shared_ptr<platform::AsioSerialQueue> storeQueue,
               std::shared_ptr<pairing::PairedStore> store, security::LocalIdentity identity);

    Now now() const;
    /// What the host states about itself on `port`; reads host facts and interfaces.
    HostContext hostContext(std::uint16_t port) const;
    std::string hostName() const;
    discovery::DnsSdTxt txt() const;

    // Listeners and timers (server queue).
    void bindAndRun();
    void finishStart(ListenerPair listeners);
    void restartListeners();
    void cancelListeners();
    /// The one teardown: the core stops (releasing everything), timers and listeners go.
    void shutDown();
    void refreshNetwork();
    void updateWatchdog();
    void watchdogTick();

    // Sockets to core.
    void acceptTCP(std::shared_ptr<TcpConnection> conn);  // server queue
    void receive(ConnectionId id, const std::shared_ptr<TcpConnection>& conn);  // server queue
    void bindWeb();                                                            // server queue
    void acceptWeb(std::shared_ptr<WebSocketStream> stream);                   // server queue
    /// A batch of datagrams, on the inject queue: opened, acknowledged and
    /// injected on this one thread, so a datagram wakes one thread only.
    void handleBatch(UdpListener& listener, std::span<const UdpListener::Datagram> batch);

    // Core to sockets and queues; with coreLock_ held.
    void perform(Action&& action, Thread thread);
    void pushInjection(InjectJob job, Thread thread);
    void closeConnection(ConnectionId id);  // server queue
    void toMain(std::function<void(Callbacks&)> call);
    bool tracing() const;

    // Inject queue.
    /// Runs the injector work queued so far (all of it, also what arrives
    /// meanwhile, with `untilEmpty`); otherwise later work gets a turn of its own.
    void drainInjections(bool untilEmpty = false);
    void run(InjectJob& job);

    // Declared first so they are destroyed last: sockets and timers belong to them.
    std::shared_ptr<platform::AsioSerialQueue> queue_;
    std::shared_ptr<platform::AsioSerialQueue> injectQueue_;
    std::shared_ptr<platform::AsioSerialQueue> storeQueue_;

    Dependencies deps_;
    std::shared_ptr<pairing::PairedStore> store_;
    std::shared_ptr<injection::InputInjector> injector_;

    std::mutex callbackLock_;
    Callbacks callbacks_;

    // The core is entered from the server queue (control connections, timers,
    // the user's operations) and from the inject queue (datagrams, finished
    // movements); this lock makes it one at a time, and the injector work it
    // hands out is queued under it, so work runs in the core's order.
    std::mutex coreLock_;
    HostCore core_;
    std::vector<InjectJob> injectJobs_;
    bool drainPosted_ = false;

    // Server queue only.
    std::map<ConnectionId, std::shared_ptr<ControlStream>> connections_;
    ConnectionId nextConnection_ = 1;
    std::shared_ptr<TcpListener> tcpListener_;
    std::shared_ptr<UdpListener> udpListener_;  // served on the inject queue
    std::shared_ptr<WebListener> webListener_;
    base::TimerHandle watchdog_;
    base::TimerHandle refresh_;
    base::TimerHandle restart_;
    bool started_ = false;
    std::optional<discovery::DnsSdTxt> lastTXT_;

    // Inject queue only.
    std::shared_ptr<UdpListener> servedUdp_;
    std::vector<InjectJob> runningJobs_;
    std::uint64_t lastDatagramAt_ = 0;
};

}  // namespace tarvel::server
