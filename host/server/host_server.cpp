#include "host/server/host_server.hpp"

#include <thread>
#include <utility>

#include "core/base/log.hpp"
#include "core/gamepad/gamepad_mapping_file.hpp"
#include "core/security/fingerprint.hpp"
#include "core/security/identity_store.hpp"
#include "core/wire/bodies.hpp"
#include "host/mapping/pad_mapping_store.hpp"
#include "host/mapping/user_defaults.hpp"

namespace tarvel::server {

namespace {

security::LocalIdentity loadIdentity(const std::filesystem::path& directory) {
    auto secrets = security::IdentityStore::defaultSecretStore(directory / "identity");
    auto loaded = security::IdentityStore::loadOrCreate(*secrets);
    if (loaded) {
        return *loaded;
    }
    base::logLine("identity storage failed (" + loaded.error().description() +
                  "); using an ephemeral identity");
    return security::LocalIdentity::generate();
}

/// Posts nothing: what the shared server injects with until a real sink for
/// the window system is chosen where the program is assembled.
class DiscardingEventSink final : public injection::EventSink {
  public:
    void post(const injection::KeyboardEvent&) override {}
    void post(const injection::UnicodeKeyEvent&) override {}
    void post(const injection::MouseEvent&) override {}
    void post(const injection::ScrollEvent&) override {}
    void post(const injection::GestureEvent&) override {}
    void post(const injection::MediaKeyEvent&) override {}
    std::optional<injection::Point> pointerLocation() override { return std::nullopt; }
    std::size_t displayRects(std::span<injection::Rect>) override { return 0; }
    void declareUserActivity() override {}
};

std::shared_ptr<mapping::PadMappingRuntime> loadRuntime(const std::filesystem::path& directory) {
    mapping::UserDefaults defaults(directory / std::string(mapping::UserDefaults::fileName));
    return mapping::makePadMappingRuntime(
        directory / std::string(gamepad::GamepadMappingFile::fileName), defaults);
}

}  // namespace

HostServer::HostServer(Dependencies dependencies)
    : queue_(std::make_shared<platform::AsioSerialQueue>("rc.host.server")),
      injectQueue_(std::make_shared<platform::AsioSerialQueue>("rc.host.inject")),
      deps_(std::move(dependencies)),
      store_(std::make_shared<pairing::PairedStore>(deps_.dataDirectory)),
      identity_(loadIdentity(deps_.dataDirectory)) {
    if (!deps_.padRuntime) {
        deps_.padRuntime = loadRuntime(deps_.dataDirectory);
    }
    if (!deps_.clock) {
        deps_.clock = base::SystemClock::shared();
    }
    injector_ = injection::InputInjector::create(deps_.eventSink, deps_.padRuntime, deps_.clock);
}

std::shared_ptr<HostServer> HostServer::create(Dependencies dependencies) {
    return std::shared_ptr<HostServer>(new HostServer(std::move(dependencies)));
}

std::shared_ptr<HostServer> HostServer::shared() {
    static const std::shared_ptr<HostServer> instance = [] {
        Dependencies deps;
        deps.dataDirectory = pairing::PairedStore::defaultDirectory();
        deps.eventSink = std::make_shared<DiscardingEventSink>();
        deps.clipboard = std::make_shared<platform::RecordingClipboard>();
        deps.advertiser = std::make_shared<platform::LoggingAdvertiser>();
        deps.hostFacts = std::make_shared<platform::LinuxHostFacts>();
        deps.mainQueue = std::make_shared<platform::AsioSerialQueue>("rc.main");
        return create(std::move(deps));
    }();
    return instance;
}

HostServer::~HostServer() {
    // Sockets and timers go on the thread that runs their handlers. Nothing of
    // ours waits on the inject queue now: only stop() does, under a strong reference.
    queue_->sync([this] { teardown(); });
    // The last reference may be dropped by a task of one of our own queues; a
    // queue cannot join its own thread, so another thread finishes them.
    if (queue_->isCurrent() || injectQueue_->isCurrent()) {
        std::thread([queue = std::move(queue_), inject = std::move(injectQueue_),
                     injector = std::move(injector_)]() mutable {
            injector.reset();
            inject.reset();
            queue.reset();
        }).detach();
    }
}

void HostServer::teardown() {
    stopped_ = true;
    watchdog_.cancel();
    refresh_.cancel();
    restart_.cancel();
    cancelListeners();
    for (const auto& [key, session] : sessions_) {
        session->closed = true;
        session->conn->cancel();
    }
    for (const auto& [key, peer] : udpPeers_) {
        peer->conn->cancel();
    }
    sessions_.clear();
    udpPeers_.clear();
    active_.reset();
}

// Host facts and advertisement.

std::string HostServer::hostName() const {
    auto name = deps_.hostFacts ? deps_.hostFacts->hostName() : std::string();
    return name.empty() ? std::string(platform::fallbackHostName) : name;
}

discovery::DnsSdTxt HostServer::txt() const {
    const auto& key = identity_.publicKey();
    return discovery::DnsSdTxt(identity_.id(), hostName(), pairing::HostOSType::macos,
                                 deps_.localInterfaces.txtTailscaleEndpoint(port_),
                                 security::Fingerprint::of(wire::ByteView(key.data(), key.size())));
}

std::pair<std::vector<std::string>, std::vector<std::string>> HostServer::endpointStrings()
    const {
    return {deps_.localInterfaces.lanEndpoints(port_),
            deps_.localInterfaces.tailscaleEndpoints(port_)};
}

security::HostDescriptor HostServer::descriptor() const {
    auto [lan, ts] = endpointStrings();
    security::HostDescriptor host{identity_,    hostName(),     std::string(osType),
                                  std::nullopt, std::move(lan), std::move(ts),
                                  port_};
    host.deviceType = deps_.hostFacts ? deps_.hostFacts->deviceKind() : std::string("desktop");
    return host;
}

void HostServer::notify() {
    if (!deps_.mainQueue) {
        return;
    }
    std::weak_ptr<HostServer> weak = weak_from_this();
    deps_.mainQueue->async([weak] {
        if (auto self = weak.lock()) {
            std::function<void()> callback;
            {
                std::lock_guard guard(self->callbackLock_);
                callback = self->onChange_;
            }
            if (callback) {
                callback();
            }
        }
    });
}

void HostServer::setOnChange(std::function<void()> callback) {
    std::lock_guard guard(callbackLock_);
    onChange_ = std::move(callback);
}

void HostServer::setOnPairingCompleted(std::function<void()> callback) {
    std::lock_guard guard(callbackLock_);
    onPairingCompleted_ = std::move(callback);
}

// Start-up and listeners.

void HostServer::start() {
    std::weak_ptr<HostServer> weak = weak_from_this();
    queue_->async([weak] {
        auto self = weak.lock();
        if (!self || self->started_ || self->stopped_) {
            return;
        }
        self->started_ = true;
        self->injectQueue_->async([injector = self->injector_, queue = self->injectQueue_] {
            injector->setQueue(queue);
        });
        self->bindAndRun();
    });
}

void HostServer::bindAndRun() {
    // Binding plain sockets is immediate, so the attempts run on the server
    // queue itself: no readiness wait can hold it up.
    for (std::uint32_t p = deps_.firstPort; p <= deps_.lastPort; ++p) {
        port_ = static_cast<std::uint16_t>(p);
        auto bound = bindListeners(queue_->context(), port_);
        if (bound) {
            finishStart(std::move(*bound));
            return;
        }
    }
    base::logLine("could not bind any port in " + std::to_string(deps_.firstPort) + "..." +
                  std::to_string(deps_.lastPort));
}

void HostServer::finishStart(ListenerPair listeners) {
    port_ = listeners.port;
    tcpListener_ = std::move(listeners.tcp);
    udpListener_ = std::move(listeners.udp);
    std::weak_ptr<HostServer> weak = weak_from_this();
    tcpListener_->start(
        [weak](std::shared_ptr<TcpConnection> conn) {
            if (auto self = weak.lock()) {
                self->acceptTCP(std::move(conn));
            } else {
                conn->cancel();
            }
        },
        [weak](std::error_code error) {
            base::logLine("TCP listener failed: " + error.message());
            if (auto self = weak.lock()) {
                self->queue_->async([self] { self->restartListeners(); });
            }
        });
    udpListener_->start(
        [weak](std::shared_ptr<UdpFlow> flow) {
            if (auto self = weak.lock()) {
                self->acceptUDP(std::move(flow));
            } else {
                flow->cancel();
            }
        },
        [](std::error_code error) { base::logLine("UDP listener failed: " + error.message()); });
    if (deps_.advertiser) {
        deps_.advertiser->advertise(hostName(), port_, txt());
    }
    updateWatchdog();
    refresh_ = queue_->repeating(deps_.timings.refresh, deps_.timings.refresh, [weak] {
        if (auto self = weak.lock()) {
            self->refreshNetwork();
        }
    });
    notify();
}

void HostServer::cancelListeners() {
    if (tcpListener_) {
        tcpListener_->cancel();
        tcpListener_.reset();
    }
    if (udpListener_) {
        udpListener_->cancel();
        udpListener_.reset();
    }
    if (deps_.advertiser) {
        deps_.advertiser->withdraw();
    }
}

void HostServer::restartListeners() {
    if (stopped_) {
        return;
    }
    cancelListeners();
    watchdog_.cancel();
    refresh_.cancel();
    started_ = false;
    // Held strongly: the restart must happen even if nothing else refers to us.
    restart_ = queue_->schedule(deps_.timings.restartDelay,
                                [self = shared_from_this()] { self->start(); });
}

void HostServer::refreshNetwork() {
    auto record = txt();
    if (lastTXT_ && *lastTXT_ == record) {
        return;
    }
    lastTXT_ = record;
    if (tcpListener_ && deps_.advertiser) {
        deps_.advertiser->advertise(hostName(), port_, record);
    }
    notify();
}

// Supervision.

void HostServer::updateWatchdog() {
    if (stopped_ || (sessions_.empty() && udpPeers_.empty() && !active_)) {
        watchdog_.cancel();
        return;
    }
    if (!watchdog_.active()) {
        std::weak_ptr<HostServer> weak = weak_from_this();
        watchdog_ = queue_->repeating(deps_.timings.supervision, deps_.timings.supervision, [weak] {
            if (auto self = weak.lock()) {
                self->watchdogTick();
            }
        });
    }
}

void HostServer::watchdogTick() {
    const auto now = deps_.clock->now();
    if (active_) {
        injectQueue_->async([injector = injector_] { injector->superviseTick(); });
    }
    std::vector<SessionPtr> idle;
    for (const auto& [key, session] : sessions_) {
        const auto limit = session->phase == ControlSession::Phase::established
                               ? deps_.timings.establishedIdle
                               : deps_.timings.handshakeIdle;
        if (now - session->lastActivity > limit) {
            idle.push_back(session);
        }
    }
    for (const auto& session : idle) {
        close(session);
    }
    std::vector<UdpFlow*> silent;
    for (const auto& [key, peer] : udpPeers_) {
        if (now - peer->lastActivity > deps_.timings.udpPeerIdle) {
            silent.push_back(peer->conn.get());
        }
    }
    for (auto* flow : silent) {
        removePeer(flow);
    }
    updateWatchdog();
}

void HostServer::updateActivity() {
    if (!deps_.hostFacts) {
        return;
    }
    if (active_ && !activityHeld_) {
        deps_.hostFacts->beginActivity(activityReason);
        activityHeld_ = true;
    } else if (!active_ && activityHeld_) {
        deps_.hostFacts->endActivity();
        activityHeld_ = false;
    }
}

// Operations of the user interface.

void HostServer::stop() {
    queue_->sync([this] {
        // Nothing may stay pressed on the host once we are gone.
        injectQueue_->sync([this] { injector_->releaseAll(); });
        stopped_ = true;
        cancelListeners();
        watchdog_.cancel();
        refresh_.cancel();
        restart_.cancel();
        for (const auto& [key, session] : sessions_) {
            session->conn->cancel();
        }
        for (const auto& [key, peer] : udpPeers_) {
            peer->conn->cancel();
        }
        udpPeers_.clear();
        if (activityHeld_ && deps_.hostFacts) {
            deps_.hostFacts->endActivity();
        }
        activityHeld_ = false;
    });
}

HostServer::Snapshot HostServer::snapshot() {
    Snapshot result;
    queue_->sync([&] {
        result.hostName = hostName();
        result.clients = store_->clients();
        for (const auto& [key, session] : sessions_) {
            if (session->phase == ControlSession::Phase::established && session->clientId) {
                result.onlineClientIds.insert(*session->clientId);
            }
        }
        if (active_) {
            result.activeClientName = active_->deviceName;
        }
        const auto lan = deps_.localInterfaces.lanIPv4Addresses();
        result.lanIP = lan.empty() ? std::string("Not connected") : lan.front();
        result.tailscaleIP = deps_.localInterfaces.tailscaleIPv4();
        result.port = port_;
    });
    return result;
}

bool HostServer::isConnected() {
    bool connected = false;
    queue_->sync([&] { connected = static_cast<bool>(active_); });
    return connected;
}

std::size_t HostServer::udpPeerCount() {
    std::size_t count = 0;
    queue_->sync([&] { count = udpPeers_.size(); });
    return count;
}

std::uint16_t HostServer::port() {
    std::uint16_t result = 0;
    queue_->sync([&] { result = port_; });
    return result;
}

HostServer::PairingInfo HostServer::beginPairing() {
    PairingInfo info;
    queue_->sync([&] {
        if (pairingCode_) {
            pairingCode_->invalidate();
        }
        pairingCode_ = security::PairingCodeState::generate();
        auto [lan, ts] = endpointStrings();
        info.code = pairingCode_->code();
        if (!lan.empty()) {
            info.lan = lan.front();
        }
        if (!ts.empty()) {
            info.ts = ts.front();
        }
        info.payload.version = 1;
        info.payload.hostId = identity_.id();
        info.payload.name = hostName();
        info.payload.os = pairing::HostOSType::macos;
        info.payload.lan = info.lan;
        info.payload.ts = info.ts;
        info.payload.publicKeyHex = identity_.publicKeyHex();
        info.payload.code = info.code;
    });
    return info;
}

void HostServer::endPairing() {
    std::weak_ptr<HostServer> weak = weak_from_this();
    queue_->async([weak] {
        if (auto self = weak.lock(); self && self->pairingCode_) {
            self->pairingCode_->invalidate();
            self->pairingCode_.reset();
        }
    });
}

void HostServer::removePairedClient(std::string clientId) {
    std::weak_ptr<HostServer> weak = weak_from_this();
    queue_->async([weak, clientId = std::move(clientId)] {
        auto self = weak.lock();
        if (!self) {
            return;
        }
        self->store_->removeClient(clientId);
        std::vector<SessionPtr> matching;
        for (const auto& [key, session] : self->sessions_) {
            if (session->clientId == clientId) {
                matching.push_back(session);
            }
        }
        for (const auto& session : matching) {
            if (session == self->active_) {
                self->withInjector(
                    [](injection::InputInjector& injector) { injector.releaseAll(); });
            }
            if (session->phase != ControlSession::Phase::established || !session->channel) {
                self->close(session);
                continue;
            }
            auto frame = session->channel->seal(wire::FrameType::unpairedByHost,
                                                wire::ReasonBody{"removed_by_user"});
            if (!frame) {
                self->close(session);
                continue;
            }
            session->conn->send(std::move(*frame), [weak, session](std::error_code) {
                if (auto strong = weak.lock()) {
                    strong->close(session);
                }
            });
        }
        self->notify();
    });
}

void HostServer::gamepadMappingChanged() {
    std::weak_ptr<HostServer> weak = weak_from_this();
    queue_->async([weak] {
        if (auto self = weak.lock()) {
            self->withInjector(
                [](injection::InputInjector& injector) { injector.padMappingChanged(); });
        }
    });
}

void HostServer::inspectInjector(
    const std::function<void(const injection::InputInjector&)>& body) {
    injectQueue_->sync([&] { body(*injector_); });
}

}  // namespace tarvel::server
