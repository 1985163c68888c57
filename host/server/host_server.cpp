#include "host/server/host_server.hpp"

#include <thread>
#include <type_traits>
#include <utility>

#include "core/base/data_folder.hpp"
#include "core/base/log.hpp"
#include "core/base/overloaded.hpp"
#include "core/diagnostics/latency_trace.hpp"
#include "core/gamepad/gamepad_mapping_file.hpp"
#include "core/security/fingerprint.hpp"
#include "core/security/identity_store.hpp"
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

std::shared_ptr<mapping::PadMappingRuntime> loadRuntime(const std::filesystem::path& directory) {
    mapping::UserDefaults defaults(directory / std::string(mapping::UserDefaults::fileName));
    return mapping::makePadMappingRuntime(
        directory / std::string(gamepad::GamepadMappingFile::fileName), defaults);
}

using base::Overloaded;

}  // namespace

/// Carries the core's actions out as they come.
class HostServer::Performer final : public ActionSink {
  public:
    explicit Performer(HostServer& server) : server_(server) {}
    void perform(Action&& action) override { server_.perform(std::move(action)); }

  private:
    HostServer& server_;
};

HostServer::HostServer(Dependencies dependencies,
                       std::shared_ptr<platform::AsioSerialQueue> storeQueue,
                       std::shared_ptr<pairing::PairedStore> store,
                       security::LocalIdentity identity)
    : queue_(std::make_shared<platform::AsioSerialQueue>("rc.host.server")),
      injectQueue_(std::make_shared<platform::AsioSerialQueue>("rc.host.inject")),
      storeQueue_(std::move(storeQueue)),
      deps_(std::move(dependencies)),
      store_(std::move(store)),
      core_(std::move(identity), store_, deps_.timings, deps_.limits) {
    if (!deps_.padRuntime) {
        deps_.padRuntime = loadRuntime(deps_.dataDirectory);
    }
    if (!deps_.clock) {
        deps_.clock = base::SystemClock::shared();
    }
    injector_ = injection::InputInjector::create(deps_.eventSink, deps_.padRuntime, deps_.clock,
                                                 deps_.keystrokes);
}

std::shared_ptr<HostServer> HostServer::create(Dependencies dependencies) {
    // Leftovers of writes a crash interrupted; nothing of ours is writing yet.
    (void)base::removeLeftoverTemporaries(dependencies.dataDirectory);
    (void)base::removeLeftoverTemporaries(dependencies.dataDirectory / "identity");
    auto storeQueue = std::make_shared<platform::AsioSerialQueue>("rc.host.store");
    // File writes leave the server queue; with the queue gone they run inline,
    // so no change is ever dropped.
    auto executor = [weak = std::weak_ptr(storeQueue)](std::function<void()> job) {
        if (auto queue = weak.lock()) {
            queue->async(std::move(job));
        } else {
            job();
        }
    };
    auto store = std::make_shared<pairing::PairedStore>(dependencies.dataDirectory, executor);
    auto identity = loadIdentity(dependencies.dataDirectory);
    return std::shared_ptr<HostServer>(new HostServer(
        std::move(dependencies), std::move(storeQueue), std::move(store), std::move(identity)));
}

HostServer::~HostServer() {
    const bool onServer = queue_->isCurrent();
    const bool onInject = injectQueue_->isCurrent();
    const bool onStore = storeQueue_->isCurrent();
    if (onServer) {
        shutDown();
    } else {
        queue_->sync([this] { shutDown(); });
    }
    connections_.clear();
    flows_.clear();
    // Every queued injection (the final release included) and store write
    // runs before the injector and the store go.
    if (!onInject) {
        injectQueue_->sync([] {});
    }
    if (!onStore) {
        storeQueue_->sync([] {});
    }
    injector_.reset();
    if (onServer || onInject || onStore) {
        // A queue cannot join its own thread: another thread ends them.
        std::thread([queue = std::move(queue_), inject = std::move(injectQueue_),
                     store = std::move(storeQueue_)]() mutable {
            inject.reset();
            store.reset();
            queue.reset();
        }).detach();
    }
}

void HostServer::shutDown() {
    Performer performer(*this);
    core_.stop(now(), performer);
    watchdog_.cancel();
    refresh_.cancel();
    restart_.cancel();
    cancelListeners();
}

Now HostServer::now() const {
    return Now{deps_.clock->now(), deps_.clock->wallNow()};
}

// Host facts and advertisement.

std::string HostServer::hostName() const {
    auto name = deps_.hostFacts ? deps_.hostFacts->hostName() : std::string();
    return name.empty() ? std::string(platform::fallbackHostName) : name;
}

HostContext HostServer::hostContext(std::uint16_t port) const {
    HostContext context;
    context.hostName = hostName();
    context.deviceKind = deps_.hostFacts ? deps_.hostFacts->deviceKind() : std::string("desktop");
    context.port = port;
    context.lanEndpoints = deps_.localInterfaces.lanEndpoints(context.port);
    context.tailscaleEndpoints = deps_.localInterfaces.tailscaleEndpoints(context.port);
    return context;
}

discovery::DnsSdTxt HostServer::txt() const {
    const auto& identity = core_.identity();
    const auto& key = identity.publicKey();
    const auto& context = core_.context();
    return discovery::DnsSdTxt(identity.id(), context.hostName, pairing::HostOSType::macos,
                               deps_.localInterfaces.txtTailscaleEndpoint(context.port),
                               security::Fingerprint::of(wire::ByteView(key.data(), key.size())));
}

void HostServer::toMain(std::function<void(Callbacks&)> call) {
    if (!deps_.mainQueue) {
        return;
    }
    std::weak_ptr<HostServer> weak = weak_from_this();
    deps_.mainQueue->async([weak, call = std::move(call)] {
        auto self = weak.lock();
        if (!self) {
            return;
        }
        Callbacks callbacks;
        {
            std::lock_guard guard(self->callbackLock_);
            callbacks = self->callbacks_;
        }
        call(callbacks);
    });
}

void HostServer::setOnChange(std::function<void()> callback) {
    std::lock_guard guard(callbackLock_);
    callbacks_.onChange = std::move(callback);
}

void HostServer::setOnPairingCompleted(std::function<void()> callback) {
    std::lock_guard guard(callbackLock_);
    callbacks_.onPairingCompleted = std::move(callback);
}

void HostServer::setOnListening(std::function<void(std::uint16_t)> callback) {
    std::lock_guard guard(callbackLock_);
    callbacks_.onListening = std::move(callback);
}

void HostServer::setOnStartFailed(std::function<void(std::string)> callback) {
    std::lock_guard guard(callbackLock_);
    callbacks_.onStartFailed = std::move(callback);
}

void HostServer::setOnPairingCodeEnded(std::function<void(PairingCodeEnd)> callback) {
    std::lock_guard guard(callbackLock_);
    callbacks_.onPairingCodeEnded = std::move(callback);
}

// Carrying out the core's actions.

void HostServer::perform(Action&& action) {
    std::visit(
        Overloaded{
            [this](Send& send) {
                auto it = connections_.find(send.connection);
                if (it == connections_.end()) {
                    return;
                }
                if (!send.thenClose) {
                    it->second->send(std::move(send.bytes));
                    return;
                }
                std::weak_ptr<HostServer> weak = weak_from_this();
                it->second->send(std::move(send.bytes),
                                 [weak, id = send.connection](std::error_code) {
                                     if (auto self = weak.lock()) {
                                         self->closeConnection(id);
                                     }
                                 });
            },
            [this](Close& close) { closeConnection(close.connection); },
            [this](SendDatagram& datagram) {
                if (auto it = flows_.find(datagram.flow); it != flows_.end()) {
                    it->second->send(datagram.bytes);
                }
            },
            [this](DropFlow& drop) { dropFlow(drop.flow); },
            [this](inject::Packet& packet) {
                if (packet.isMove) {
                    queueMove(packet);
                    return;
                }
                auto* trace = tracing() ? deps_.latencyTrace : nullptr;
                if (trace != nullptr) {
                    trace->logEvent(packet.packet.seq, packet.packet.event.opcode(), packet.recvAt,
                                    diagnostics::LatencyTrace::now(), 0);
                }
                queueInjection([packet = packet.packet, recvAt = packet.recvAt,
                                trace](injection::InputInjector& injector) {
                    const auto start = trace != nullptr ? diagnostics::LatencyTrace::now() : 0;
                    injector.stampPacketTime();
                    injector.handle(packet);
                    if (trace != nullptr) {
                        trace->recordSince(diagnostics::LatencyMetric::hostInject, start);
                        if (recvAt != 0) {
                            trace->record(diagnostics::LatencyMetric::hostRecvToInject,
                                          start > recvAt ? start - recvAt : 0);
                        }
                    }
                });
            },
            [this](inject::ReleaseAll&) {
                queueInjection([](injection::InputInjector& injector) { injector.releaseAll(); });
            },
            [this](inject::StampPacketTime&) {
                queueInjection(
                    [](injection::InputInjector& injector) { injector.stampPacketTime(); });
            },
            [this](inject::Text& text) {
                queueInjection([text = std::move(text.text)](injection::InputInjector& injector) {
                    injector.stampPacketTime();
                    injector.injectText(text);
                });
            },
            [this](inject::Clipboard& clipboard) {
                // Set in its place on the inject queue: an earlier paste still
                // queued must find the earlier text, and this paste this text.
                queueInjection(
                    [target = deps_.clipboard, text = std::move(clipboard.text),
                     autoPaste = clipboard.autoPaste](injection::InputInjector& injector) {
                        injector.stampPacketTime();
                        // A paste the clipboard did not take would paste the old text.
                        const bool taken = !target || target->setText(text);
                        if (!taken) {
                            base::logLine("the clipboard did not take the text; not pasting");
                        } else if (autoPaste) {
                            injector.postPaste();
                        }
                    });
            },
            [this](inject::PadMappingChanged&) {
                queueInjection(
                    [](injection::InputInjector& injector) { injector.padMappingChanged(); });
            },
            [this](inject::SuperviseTick&) {
                queueInjection(
                    [](injection::InputInjector& injector) { injector.superviseTick(); });
            },
            [this](store::SaveClient& save) {
                auto previous = store_->client(save.record.clientId);
                store_->upsertClient(save.record);
                std::weak_ptr<HostServer> weak = weak_from_this();
                storeQueue_->async([weak, store = store_, id = save.connection,
                                    clientId = save.record.clientId, previous = std::move(previous),
                                    queue = std::weak_ptr(queue_)]() mutable {
                    auto written = store->flushClients();
                    const bool saved = written.has_value();
                    std::string why = saved ? std::string() : written.error().message();
                    if (!saved) {
                        // A pairing that failed must not linger in memory and
                        // reach the disk with the next successful write.
                        if (previous) {
                            store->upsertClient(*previous);
                        } else {
                            store->removeClient(clientId);
                        }
                    }
                    if (auto serverQueue = queue.lock()) {
                        serverQueue->async([weak, id, saved, why = std::move(why)] {
                            if (auto self = weak.lock()) {
                                Performer performer(*self);
                                self->core_.pairingSaved(id, saved, why, self->now(), performer);
                                self->updateWatchdog();
                            }
                        });
                    }
                });
            },
            [this](store::TouchClient& touch) {
                store_->touchClient(touch.clientId, touch.when, touch.remoteIp);
            },
            [this](store::RemoveClient& remove) { store_->removeClient(remove.clientId); },
            [this](ActivityChanged& change) {
                if (!deps_.hostFacts) {
                    return;
                }
                if (change.controlled) {
                    deps_.hostFacts->beginActivity(activityReason);
                } else {
                    deps_.hostFacts->endActivity();
                }
            },
            [this](Notify&) {
                toMain([](Callbacks& callbacks) {
                    if (callbacks.onChange) {
                        callbacks.onChange();
                    }
                });
            },
            [this](PairingCompleted&) {
                toMain([](Callbacks& callbacks) {
                    if (callbacks.onPairingCompleted) {
                        callbacks.onPairingCompleted();
                    }
                });
            },
            [this](PairingCodeEnded& ended) {
                toMain([how = ended.how](Callbacks& callbacks) {
                    if (callbacks.onPairingCodeEnded) {
                        callbacks.onPairingCodeEnded(how);
                    }
                });
            },
        },
        action);
}

void HostServer::closeConnection(ConnectionId id) {
    auto node = connections_.extract(id);
    if (!node.empty()) {
        node.mapped()->cancel();
    }
}

void HostServer::dropFlow(FlowId id) {
    auto node = flows_.extract(id);
    if (!node.empty()) {
        node.mapped()->cancel();
    }
}

void HostServer::queueInjection(std::function<void(injection::InputInjector&)> job) {
    injectQueue_->async([injector = injector_, job = std::move(job)] { job(*injector); });
}

void HostServer::queueMove(const inject::Packet& move) {
    auto* trace = tracing() ? deps_.latencyTrace : nullptr;
    std::weak_ptr<HostServer> weak = weak_from_this();
    std::weak_ptr<platform::AsioSerialQueue> serverQueue = queue_;
    queueInjection(
        [packet = move.packet, trace, weak, serverQueue](injection::InputInjector& injector) {
            const auto start = trace != nullptr ? diagnostics::LatencyTrace::now() : 0;
            injector.stampPacketTime();
            injector.handle(packet);
            if (trace != nullptr) {
                trace->recordSince(diagnostics::LatencyMetric::hostInject, start);
            }
            // Back to the server queue: the next coalesced movement may go out.
            if (auto queue = serverQueue.lock()) {
                queue->async([weak] {
                    if (auto self = weak.lock()) {
                        Performer performer(*self);
                        self->core_.moveInjected(performer);
                    }
                });
            }
        });
}

bool HostServer::tracing() const {
    return deps_.latencyTrace != nullptr && deps_.latencyTrace->isEnabled();
}

// Sockets to the core.

void HostServer::acceptTCP(std::shared_ptr<TcpConnection> conn) {
    const ConnectionId id = nextConnection_++;
    const auto endpoint = conn->endpoint();
    connections_.emplace(id, std::move(conn));
    Performer performer(*this);
    core_.connectionOpened(id, endpoint, now(), performer);
    if (core_.phase(id)) {
        receive(id);
    }
    updateWatchdog();
}

void HostServer::receive(ConnectionId id) {
    auto it = connections_.find(id);
    if (it == connections_.end()) {
        return;
    }
    std::weak_ptr<HostServer> weak = weak_from_this();
    it->second->receive([weak, id](wire::ByteView data, bool isComplete, std::error_code error) {
        auto self = weak.lock();
        if (!self || !self->core_.phase(id)) {
            return;  // closed: a connection that is closing reads nothing more
        }
        Performer performer(*self);
        const auto time = self->now();
        self->core_.bytesReceived(id, data, time, performer);
        if (self->core_.phase(id)) {
            if (isComplete || error) {
                self->core_.connectionEnded(
                    id,
                    error ? "read failed: " + error.message() : std::string("closed by the device"),
                    time, performer);
                self->closeConnection(id);
            } else {
                self->receive(id);
            }
        }
        self->updateWatchdog();
    });
}

void HostServer::acceptUDP(std::shared_ptr<UdpFlow> flow) {
    const FlowId id = nextFlow_++;
    const auto endpoint = flow->endpoint();
    auto [it, inserted] = flows_.emplace(id, std::move(flow));
    std::weak_ptr<HostServer> weak = weak_from_this();
    it->second->onDatagram([weak, id](wire::ByteView datagram) {
        if (auto self = weak.lock()) {
            self->handleDatagram(id, datagram);
        }
    });
    Performer performer(*this);
    core_.flowOpened(id, endpoint, now(), performer);
    updateWatchdog();
}

void HostServer::handleDatagram(FlowId id, wire::ByteView data) {
    std::uint64_t recvAt = 0;
    if (tracing()) {
        const auto t = diagnostics::LatencyTrace::now();
        if (t != 0) {
            if (lastDatagramAt_ != 0) {
                deps_.latencyTrace->record(diagnostics::LatencyMetric::hostCallbackGap,
                                           t - lastDatagramAt_);
            }
            lastDatagramAt_ = t;
        }
        recvAt = t;
    }
    Performer performer(*this);
    core_.datagramReceived(id, data, recvAt, now(), performer);
}

// Start-up and listeners.

void HostServer::start() {
    std::weak_ptr<HostServer> weak = weak_from_this();
    queue_->async([weak] {
        auto self = weak.lock();
        if (!self || self->started_ || self->core_.stopped()) {
            return;
        }
        self->started_ = true;
        self->injectQueue_->async(
            [injector = self->injector_,
             queue = std::weak_ptr<platform::AsioSerialQueue>(self->injectQueue_)] {
                if (auto inject = queue.lock()) {
                    injector->setQueue(inject);
                }
            });
        self->bindAndRun();
    });
}

void HostServer::bindAndRun() {
    // Binding plain sockets is immediate, so the attempts run on the server
    // queue itself: no readiness wait can hold it up.
    std::string failures;
    for (std::uint32_t p = deps_.firstPort; p <= deps_.lastPort; ++p) {
        const auto port = static_cast<std::uint16_t>(p);
        auto bound = bindListeners(queue_->context(), port);
        if (bound) {
            finishStart(std::move(*bound));
            return;
        }
        if (!failures.empty()) {
            failures += "; ";
        }
        failures += std::to_string(port) + ": " + bound.error().message();
    }
    core_.setContext(hostContext(deps_.lastPort));
    base::logLine("could not bind any port in " + std::to_string(deps_.firstPort) + "..." +
                  std::to_string(deps_.lastPort) + " (" + failures + ")");
    toMain([why = std::move(failures)](Callbacks& callbacks) {
        if (callbacks.onStartFailed) {
            callbacks.onStartFailed(why);
        }
    });
}

void HostServer::finishStart(ListenerPair listeners) {
    tcpListener_ = std::move(listeners.tcp);
    udpListener_ = std::move(listeners.udp);
    core_.setContext(hostContext(listeners.port));
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
                self->restartListeners();
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
        deps_.advertiser->advertise(core_.context().hostName, listeners.port, txt());
    }
    updateWatchdog();
    refresh_ = queue_->repeating(deps_.timings.refresh, deps_.timings.refresh, [weak] {
        if (auto self = weak.lock()) {
            self->refreshNetwork();
        }
    });
    toMain([port = listeners.port](Callbacks& callbacks) {
        if (callbacks.onListening) {
            callbacks.onListening(port);
        }
    });
    Performer performer(*this);
    performer.perform(Notify{});
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
    if (core_.stopped()) {
        return;
    }
    cancelListeners();
    refresh_.cancel();
    started_ = false;
    // Held weakly, unlike a strong hold for the delay: a server nobody
    // holds any more has nobody to serve.
    std::weak_ptr<HostServer> weak = weak_from_this();
    restart_ = queue_->schedule(deps_.timings.restartDelay, [weak] {
        if (auto self = weak.lock()) {
            self->start();
        }
    });
}

void HostServer::refreshNetwork() {
    core_.setContext(hostContext(core_.context().port));
    auto record = txt();
    if (lastTXT_ && *lastTXT_ == record) {
        return;
    }
    lastTXT_ = record;
    if (tcpListener_ && deps_.advertiser) {
        deps_.advertiser->advertise(core_.context().hostName, core_.context().port, record);
    }
    Performer performer(*this);
    performer.perform(Notify{});
}

// Supervision.

void HostServer::updateWatchdog() {
    if (!core_.needsSupervision()) {
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
    Performer performer(*this);
    core_.tick(now(), performer);
    updateWatchdog();
}

// Operations of the user interface.

void HostServer::stop() {
    queue_->sync([this] {
        shutDown();
        // Connections still writing a final frame, and every flow, go now.
        for (const auto& [id, connection] : connections_) {
            connection->cancel();
        }
        for (const auto& [id, flow] : flows_) {
            flow->cancel();
        }
        connections_.clear();
        flows_.clear();
    });
    // The cancelled sockets' handlers have run: none holds the server any more.
    queue_->sync([] {});
    // The final release has run and every store write is on disk.
    injectQueue_->sync([] {});
    storeQueue_->sync([] {});
}

HostServer::Snapshot HostServer::snapshot() {
    Snapshot result;
    queue_->sync([&] {
        result.hostName = core_.context().hostName;
        result.clients = store_->clients();
        result.onlineClientIds = core_.onlineClientIds();
        result.activeClientName = core_.activeDeviceName();
        const auto lan = deps_.localInterfaces.lanIPv4Addresses();
        result.lanIP = lan.empty() ? std::string("Not connected") : lan.front();
        result.tailscaleIP = deps_.localInterfaces.tailscaleIPv4();
        result.port = core_.context().port;
    });
    if (result.hostName.empty()) {
        result.hostName = hostName();
    }
    return result;
}

bool HostServer::isConnected() {
    bool connected = false;
    queue_->sync([&] { connected = core_.isControlled(); });
    return connected;
}

std::size_t HostServer::udpPeerCount() {
    std::size_t count = 0;
    queue_->sync([&] { count = core_.flowCount(); });
    return count;
}

std::uint16_t HostServer::port() {
    std::uint16_t result = 0;
    queue_->sync([&] { result = core_.context().port; });
    return result;
}

PairingInfo HostServer::beginPairing() {
    PairingInfo info;
    queue_->sync([&] {
        // Endpoints as of now: the window shows what the phone must reach.
        core_.setContext(hostContext(core_.context().port));
        info = core_.beginPairing();
    });
    return info;
}

void HostServer::endPairing() {
    std::weak_ptr<HostServer> weak = weak_from_this();
    queue_->async([weak] {
        if (auto self = weak.lock()) {
            self->core_.endPairing();
        }
    });
}

void HostServer::removePairedClient(std::string clientId) {
    std::weak_ptr<HostServer> weak = weak_from_this();
    queue_->async([weak, clientId = std::move(clientId)] {
        if (auto self = weak.lock()) {
            Performer performer(*self);
            self->core_.removeClient(clientId, self->now(), performer);
            self->updateWatchdog();
        }
    });
}

void HostServer::gamepadMappingChanged() {
    std::weak_ptr<HostServer> weak = weak_from_this();
    queue_->async([weak] {
        if (auto self = weak.lock()) {
            Performer performer(*self);
            self->core_.padMappingChanged(performer);
        }
    });
}

}  // namespace tarvel::server
