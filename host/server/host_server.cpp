#include "host/server/host_server.hpp"

#include <unistd.h>

#include <array>
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

/// Carries the core's actions out as they come; made only with coreLock_ held.
class HostServer::Performer final : public ActionSink {
  public:
    explicit Performer(HostServer& server, Thread thread = Thread::server)
        : server_(server), thread_(thread) {}
    void perform(Action&& action) override { server_.perform(std::move(action), thread_); }

  private:
    HostServer& server_;
    Thread thread_;
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
    // Every queued injection (the final release included) and store write
    // runs before the injector and the store go.
    auto finishInjecting = [this] {
        drainInjections(true);
        if (servedUdp_) {
            servedUdp_->cancel();
            servedUdp_.reset();
        }
    };
    if (onInject) {
        finishInjecting();
    } else {
        injectQueue_->sync(finishInjecting);
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
    {
        std::lock_guard lock(coreLock_);
        Performer performer(*this);
        core_.stop(now(), performer);
    }
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
    // The context is written on the server queue only, which is where this runs.
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

void HostServer::setOnWebListening(std::function<void(std::uint16_t)> callback) {
    std::lock_guard guard(callbackLock_);
    callbacks_.onWebListening = std::move(callback);
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

void HostServer::perform(Action&& action, Thread thread) {
    // Control connections belong to the server queue, flows to the inject queue.
    auto onServer = [&](std::function<void(HostServer&)> job) {
        if (thread == Thread::server) {
            job(*this);
            return;
        }
        queue_->async([weak = weak_from_this(), job = std::move(job)] {
            if (auto self = weak.lock()) {
                job(*self);
            }
        });
    };
    auto onFlows = [&](std::function<void(UdpListener&)> job) {
        if (thread == Thread::inject) {
            if (servedUdp_) {
                job(*servedUdp_);
            }
            return;
        }
        if (!udpListener_) {
            return;
        }
        injectQueue_->async([udp = std::weak_ptr(udpListener_), job = std::move(job)] {
            if (auto listener = udp.lock()) {
                job(*listener);
            }
        });
    };
    std::visit(
        Overloaded{
            [&](Send& send) {
                onServer([send = std::move(send)](HostServer& self) mutable {
                    auto it = self.connections_.find(send.connection);
                    if (it == self.connections_.end()) {
                        return;
                    }
                    if (!send.thenClose) {
                        it->second->send(std::move(send.bytes));
                        return;
                    }
                    it->second->send(std::move(send.bytes),
                                     [weak = self.weak_from_this(),
                                      id = send.connection](std::error_code) {
                                         if (auto server = weak.lock()) {
                                             server->closeConnection(id);
                                         }
                                     });
                });
            },
            [&](Close& close) {
                onServer([id = close.connection](HostServer& self) { self.closeConnection(id); });
            },
            [&](SendDatagram& datagram) {
                if (thread == Thread::inject && servedUdp_) {
                    // Held until the batch's input is performed: what the
                    // user sees comes first, and the batch's acknowledgements
                    // leave in one system call.
                    servedUdp_->holdSend(datagram.flow, wire::ByteView(datagram.bytes.data(),
                                                                       datagram.bytes.size()));
                    return;
                }
                onFlows([datagram](UdpListener& udp) {
                    udp.send(datagram.flow,
                             wire::ByteView(datagram.bytes.data(), datagram.bytes.size()));
                });
            },
            [&](DropFlow& drop) {
                onFlows([flow = drop.flow](UdpListener& udp) { udp.forget(flow); });
            },
            [&](inject::Packet& packet) { pushInjection(std::move(packet), thread); },
            [&](inject::ReleaseAll& job) { pushInjection(job, thread); },
            [&](inject::StampPacketTime& job) { pushInjection(job, thread); },
            [&](inject::Text& job) { pushInjection(std::move(job), thread); },
            [&](inject::Clipboard& job) { pushInjection(std::move(job), thread); },
            [&](inject::PadMappingChanged& job) { pushInjection(job, thread); },
            [&](inject::SuperviseTick& job) { pushInjection(job, thread); },
            [&](store::SaveClient& save) {
                auto previous = store_->client(save.record.clientId);
                store_->upsertClient(save.record);
                storeQueue_->async([weak = weak_from_this(), store = store_, id = save.connection,
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
                                {
                                    std::lock_guard lock(self->coreLock_);
                                    Performer performer(*self);
                                    self->core_.pairingSaved(id, saved, why, self->now(),
                                                             performer);
                                }
                                self->updateWatchdog();
                            }
                        });
                    }
                });
            },
            [&](store::TouchClient& touch) {
                store_->touchClient(touch.clientId, touch.when, touch.remoteIp);
            },
            [&](store::RemoveClient& remove) { store_->removeClient(remove.clientId); },
            [&](ActivityChanged& change) {
                if (!deps_.hostFacts) {
                    return;
                }
                // Queued from either thread under the core lock, so the last
                // change the core made is the last one carried out.
                queue_->async([facts = deps_.hostFacts, controlled = change.controlled] {
                    if (controlled) {
                        facts->beginActivity(activityReason);
                    } else {
                        facts->endActivity();
                    }
                });
            },
            [&](Notify&) {
                toMain([](Callbacks& callbacks) {
                    if (callbacks.onChange) {
                        callbacks.onChange();
                    }
                });
            },
            [&](PairingCompleted&) {
                toMain([](Callbacks& callbacks) {
                    if (callbacks.onPairingCompleted) {
                        callbacks.onPairingCompleted();
                    }
                });
            },
            [&](PairingCodeEnded& ended) {
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

void HostServer::pushInjection(InjectJob job, Thread thread) {
    if (auto* packet = std::get_if<inject::Packet>(&job); packet != nullptr && !packet->isMove) {
        if (tracing()) {
            deps_.latencyTrace->logEvent(packet->packet.seq, packet->packet.event.opcode(),
                                         packet->recvAt, diagnostics::LatencyTrace::now(), 0);
        }
    }
    injectJobs_.push_back(std::move(job));
    // The inject queue drains on its own after a batch of datagrams; work
    // from the server queue wakes it once until it has drained.
    if (thread == Thread::server && !drainPosted_) {
        drainPosted_ = true;
        injectQueue_->async([weak = weak_from_this()] {
            if (auto self = weak.lock()) {
                self->drainInjections();
            }
        });
    }
}

void HostServer::drainInjections(bool untilEmpty) {
    do {
        {
            std::lock_guard lock(coreLock_);
            if (injectJobs_.empty()) {
                drainPosted_ = false;
                return;
            }
            // Both vectors keep their capacity: draining allocates nothing.
            runningJobs_.swap(injectJobs_);
        }
        for (auto& job : runningJobs_) {
            try {
                run(job);
            } catch (const std::exception& error) {
                // One failed event must not replay the others or stop the queue.
                base::logLine(std::string("an injection failed: ") + error.what());
            }
        }
        runningJobs_.clear();
    } while (untilEmpty);
    // What arrived meanwhile waits behind the socket's next turn, so a long
    // stream of work from the control connections cannot starve datagrams.
    std::lock_guard lock(coreLock_);
    if (injectJobs_.empty()) {
        drainPosted_ = false;
    } else {
        drainPosted_ = true;
        injectQueue_->async([weak = weak_from_this()] {
            if (auto self = weak.lock()) {
                self->drainInjections();
            }
        });
    }
}

void HostServer::run(InjectJob& job) {
    auto& injector = *injector_;
    std::visit(
        Overloaded{
            [&](inject::Packet& packet) {
                auto* trace = tracing() ? deps_.latencyTrace : nullptr;
                const auto start = trace != nullptr ? diagnostics::LatencyTrace::now() : 0;
                injector.stampPacketTime();
                injector.handle(packet.packet);
                if (trace != nullptr) {
                    trace->recordSince(diagnostics::LatencyMetric::hostInject, start);
                    if (packet.recvAt != 0 && !packet.isMove) {
                        trace->record(diagnostics::LatencyMetric::hostRecvToInject,
                                      start > packet.recvAt ? start - packet.recvAt : 0);
                    }
                }
                if (packet.isMove) {
                    // The next coalesced movement may go out now.
                    std::lock_guard lock(coreLock_);
                    Performer performer(*this, Thread::inject);
                    core_.moveInjected(performer);
                }
            },
            [&](inject::ReleaseAll&) { injector.releaseAll(); },
            [&](inject::StampPacketTime&) { injector.stampPacketTime(); },
            [&](inject::Text& text) {
                injector.stampPacketTime();
                injector.injectText(text.text);
            },
            [&](inject::Clipboard& clipboard) {
                // Set in its place on the inject queue: an earlier paste still
                // queued must find the earlier text, and this paste this text.
                injector.stampPacketTime();
                // A paste the clipboard did not take would paste the old text.
                const bool taken = !deps_.clipboard || deps_.clipboard->setText(clipboard.text);
                if (!taken) {
                    base::logLine("the clipboard did not take the text; not pasting");
                } else if (clipboard.autoPaste) {
                    injector.postPaste();
                }
            },
            [&](inject::PadMappingChanged&) { injector.padMappingChanged(); },
            [&](inject::SuperviseTick&) { injector.superviseTick(); },
        },
        job);
}

bool HostServer::tracing() const {
    return deps_.latencyTrace != nullptr && deps_.latencyTrace->isEnabled();
}

// Sockets to the core.

void HostServer::acceptTCP(std::shared_ptr<TcpConnection> conn) {
    const ConnectionId id = nextConnection_++;
    const auto endpoint = conn->endpoint();
    connections_.emplace(id, conn);
    bool open = false;
    {
        std::lock_guard lock(coreLock_);
        Performer performer(*this);
        core_.connectionOpened(id, endpoint, now(), performer);
        open = core_.phase(id).has_value();
    }
    if (open) {
        receive(id, conn);
    }
    updateWatchdog();
}

void HostServer::acceptWeb(std::shared_ptr<WebSocketStream> stream) {
    // One more byte stream for the core: each message is one frame, so the
    // core sees exactly what a TCP connection would have carried.
    const ConnectionId id = nextConnection_++;
    connections_.emplace(id, stream);
    bool open = false;
    {
        std::lock_guard lock(coreLock_);
        Performer performer(*this);
        core_.connectionOpened(id, stream->endpoint(), now(), performer);
        open = core_.phase(id).has_value();
    }
    if (!open) {
        return;
    }
    std::weak_ptr<HostServer> weak = weak_from_this();
    stream->start(
        [weak, id](wire::ByteView frame) {
            auto self = weak.lock();
            if (!self) {
                return;
            }
            {
                std::lock_guard lock(self->coreLock_);
                if (!self->core_.phase(id)) {
                    return;
                }
                Performer performer(*self);
                self->core_.bytesReceived(id, frame, self->now(), performer);
            }
            self->updateWatchdog();
        },
        [weak, id](std::string why) {
            auto self = weak.lock();
            if (!self) {
                return;
            }
            {
                std::lock_guard lock(self->coreLock_);
                if (self->core_.phase(id)) {
                    Performer performer(*self);
                    self->core_.connectionEnded(id, why, self->now(), performer);
                }
            }
            self->closeConnection(id);
            self->updateWatchdog();
        });
    updateWatchdog();
}

void HostServer::receive(ConnectionId id, const std::shared_ptr<TcpConnection>& conn) {
    std::weak_ptr<HostServer> weak = weak_from_this();
    conn->receive([weak, id, conn = std::weak_ptr(conn)](wire::ByteView data, bool isComplete,
                                                      std::error_code error) {
        auto self = weak.lock();
        if (!self) {
            return;
        }
        bool readMore = false;
        {
            std::lock_guard lock(self->coreLock_);
            if (!self->core_.phase(id)) {
                return;  // closed: a connection that is closing reads nothing more
            }
            Performer performer(*self);
            const auto time = self->now();
            self->core_.bytesReceived(id, data, time, performer);
            if (self->core_.phase(id)) {
                if (isComplete || error) {
                    self->core_.connectionEnded(id,
                                                error ? "read failed: " + error.message()
                                                      : std::string("closed by the device"),
                                                time, performer);
                    self->closeConnection(id);
                } else {
                    readMore = true;
                }
            }
        }
        if (auto connection = conn.lock(); readMore && connection) {
            self->receive(id, connection);
        }
        self->updateWatchdog();
    });
}

void HostServer::handleBatch(UdpListener& listener,
                             std::span<const UdpListener::Datagram> batch) {
    const auto time = now();
    {
        std::lock_guard lock(coreLock_);
        Performer performer(*this, Thread::inject);
        for (const auto& datagram : batch) {
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
            // A flow the core let go of (idle, evicted) while the socket still
            // knew it opens again rather than losing the datagram.
            if (datagram.isNewFlow || !core_.knowsFlow(datagram.flow)) {
                // Gone already when an earlier datagram of the batch evicted it.
                const auto endpoint = listener.endpoint(datagram.flow);
                if (!endpoint) {
                    continue;
                }
                core_.flowOpened(datagram.flow, *endpoint, time, performer);
            }
            core_.datagramReceived(datagram.flow, datagram.bytes, recvAt, time, performer);
        }
    }
    drainInjections();
    listener.flushSends();
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
        auto bound = bindListeners(queue_->context(), injectQueue_->context(), port);
        if (bound) {
            finishStart(std::move(*bound));
            return;
        }
        if (!failures.empty()) {
            failures += "; ";
        }
        failures += std::to_string(port) + ": " + bound.error().message();
    }
    {
        std::lock_guard lock(coreLock_);
        core_.setContext(hostContext(deps_.lastPort));
    }
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
    {
        std::lock_guard lock(coreLock_);
        core_.setContext(hostContext(listeners.port));
    }
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
    injectQueue_->async([weak, udp = udpListener_] {
        auto self = weak.lock();
        if (!self) {
            udp->cancel();
            return;
        }
        self->servedUdp_ = udp;
        udp->start(
            [weak](UdpListener& listener, std::span<const UdpListener::Datagram> batch) {
                if (auto server = weak.lock()) {
                    server->handleBatch(listener, batch);
                }
            },
            [](std::error_code error) {
                base::logLine("UDP listener failed: " + error.message());
            });
    });
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
    bindWeb();
    std::lock_guard lock(coreLock_);
    Performer performer(*this);
    performer.perform(Notify{});
}

void HostServer::bindWeb() {
    if (deps_.webAssets.empty()) {
        return;
    }
    std::string failures;
    for (std::uint32_t p = deps_.firstWebPort; p <= deps_.lastWebPort; ++p) {
        auto bound = WebListener::bind(queue_->context(), static_cast<std::uint16_t>(p),
                                       deps_.webAssets, deps_.webLimits);
        if (!bound) {
            failures += (failures.empty() ? "" : "; ") + std::to_string(p) + ": " +
                        bound.error().message();
            continue;
        }
        webListener_ = std::move(*bound);
        std::weak_ptr<HostServer> weak = weak_from_this();
        webListener_->start(
            [weak](std::shared_ptr<WebSocketStream> stream) {
                if (auto self = weak.lock()) {
                    self->acceptWeb(std::move(stream));
                } else {
                    stream->cancel();
                }
            },
            [](std::error_code error) {
                // The control port goes on serving; the web remote is what is lost.
                base::logLine("web remote listener failed: " + error.message());
            });
        base::logLine("web remote on port " + std::to_string(webListener_->port()));
        toMain([port = webListener_->port()](Callbacks& callbacks) {
            if (callbacks.onWebListening) {
                callbacks.onWebListening(port);
            }
        });
        return;
    }
    // Phones with the app still connect; only the browser page is missing.
    base::logLine("no web remote: could not bind any port in " +
                  std::to_string(deps_.firstWebPort) + "..." + std::to_string(deps_.lastWebPort) +
                  " (" + failures + ")");
}

void HostServer::cancelListeners() {
    if (tcpListener_) {
        tcpListener_->cancel();
        tcpListener_.reset();
    }
    if (webListener_) {
        webListener_->cancel();
        webListener_.reset();
    }
    if (udpListener_) {
        injectQueue_->async([weak = weak_from_this(), udp = std::move(udpListener_)] {
            udp->cancel();
            if (auto self = weak.lock(); self && self->servedUdp_ == udp) {
                self->servedUdp_.reset();
            }
        });
    }
    if (deps_.advertiser) {
        deps_.advertiser->withdraw();
    }
}

void HostServer::restartListeners() {
    {
        std::lock_guard lock(coreLock_);
        if (core_.stopped()) {
            return;
        }
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
    // Interfaces, host facts and the advertiser are used outside the lock:
    // datagrams go on meanwhile. The context is written on this queue only.
    auto context = hostContext(core_.context().port);
    {
        std::lock_guard lock(coreLock_);
        core_.setContext(std::move(context));
        if (!watchdog_.active()) {
            // Nobody to supervise: idle flows expire here instead of on a tick.
            Performer performer(*this);
            core_.tick(now(), performer);
        }
    }
    auto record = txt();
    if (lastTXT_ && *lastTXT_ == record) {
        return;
    }
    lastTXT_ = record;
    if (tcpListener_ && deps_.advertiser) {
        deps_.advertiser->advertise(core_.context().hostName, core_.context().port, record);
    }
    std::lock_guard lock(coreLock_);
    Performer performer(*this);
    performer.perform(Notify{});
}

// Supervision.

void HostServer::updateWatchdog() {
    bool needed = false;
    {
        std::lock_guard lock(coreLock_);
        needed = core_.needsSupervision();
    }
    if (!needed) {
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
    {
        std::lock_guard lock(coreLock_);
        Performer performer(*this);
        core_.tick(now(), performer);
    }
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
        connections_.clear();
    });
    // The cancelled sockets' handlers have run: none holds the server any more.
    queue_->sync([] {});
    // The UDP socket is closed, the final release has run and every store write is on disk.
    injectQueue_->sync([this] { drainInjections(true); });
    storeQueue_->sync([] {});
}

HostServer::Snapshot HostServer::snapshot() {
    Snapshot result;
    queue_->sync([&] {
        std::lock_guard lock(coreLock_);
        result.hostName = core_.context().hostName;
        result.clients = store_->clients();
        result.onlineClientIds = core_.onlineClientIds();
        result.activeClientName = core_.activeDeviceName();
        const auto lan = deps_.localInterfaces.lanIPv4Addresses();
        result.lanIP = lan.empty() ? std::string("Not connected") : lan.front();
        result.tailscaleIP = deps_.localInterfaces.tailscaleIPv4();
        result.port = core_.context().port;
        result.webPort = webListener_ ? webListener_->port() : 0;
    });
    if (result.hostName.empty()) {
        result.hostName = hostName();
    }
    return result;
}

bool HostServer::isConnected() {
    bool connected = false;
    queue_->sync([&] {
        std::lock_guard lock(coreLock_);
        connected = core_.isControlled();
    });
    return connected;
}

std::size_t HostServer::udpPeerCount() {
    std::size_t count = 0;
    queue_->sync([&] {
        std::lock_guard lock(coreLock_);
        count = core_.flowCount();
    });
    return count;
}

std::uint16_t HostServer::port() {
    std::uint16_t result = 0;
    queue_->sync([&] { result = core_.context().port; });
    return result;
}

std::uint16_t HostServer::webPort() {
    std::uint16_t result = 0;
    queue_->sync([&] { result = webListener_ ? webListener_->port() : 0; });
    return result;
}

std::optional<std::string> HostServer::webRemoteLink(const PairingInfo& info) {
    const auto port = webPort();
    if (port == 0) {
        return std::nullopt;
    }
    std::string host = info.lan.value_or("");
    if (host.empty()) {
        const auto names = localHostNames();
        if (names.size() < 2) {
            return std::nullopt;  // nothing a phone could reach
        }
        host = names.back();  // the DNS-SD name, which phones resolve
    }
    return server::webRemoteLink(host, port, info.code, info.payload.publicKeyHex);
}

PairingInfo HostServer::beginPairing() {
    PairingInfo info;
    queue_->sync([&] {
        // Endpoints as of now: the window shows what the phone must reach.
        auto context = hostContext(core_.context().port);
        std::lock_guard lock(coreLock_);
        core_.setContext(std::move(context));
        info = core_.beginPairing();
    });
    return info;
}

void HostServer::endPairing() {
    std::weak_ptr<HostServer> weak = weak_from_this();
    queue_->async([weak] {
        if (auto self = weak.lock()) {
            std::lock_guard lock(self->coreLock_);
            self->core_.endPairing();
        }
    });
}

void HostServer::endPairing(std::string code) {
    std::weak_ptr<HostServer> weak = weak_from_this();
    queue_->async([weak, code = std::move(code)] {
        if (auto self = weak.lock()) {
            std::lock_guard lock(self->coreLock_);
            self->core_.endPairing(code);
        }
    });
}

bool HostServer::isPairingCodeLive(const std::string& code) {
    bool live = false;
    queue_->sync([&] {
        std::lock_guard lock(coreLock_);
        live = core_.isPairingCodeLive(code);
    });
    return live;
}

void HostServer::removePairedClient(std::string clientId) {
    std::weak_ptr<HostServer> weak = weak_from_this();
    queue_->async([weak, clientId = std::move(clientId)] {
        if (auto self = weak.lock()) {
            {
                std::lock_guard lock(self->coreLock_);
                Performer performer(*self);
                self->core_.removeClient(clientId, self->now(), performer);
            }
            self->updateWatchdog();
        }
    });
}

void HostServer::gamepadMappingChanged() {
    std::weak_ptr<HostServer> weak = weak_from_this();
    queue_->async([weak] {
        if (auto self = weak.lock()) {
            std::lock_guard lock(self->coreLock_);
            Performer performer(*self);
            self->core_.padMappingChanged(performer);
        }
    });
}

}  // namespace tarvel::server
