#include "host/server/control_server.hpp"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <deque>

#include <asio/steady_timer.hpp>
#include <asio/write.hpp>

#include "core/base/log.hpp"
#include "core/base/version.hpp"
#include "core/diagnostics/latency_trace.hpp"

namespace tarvel::control {

namespace {

using Socket = asio::local::stream_protocol::socket;

std::string errnoText(int error) {
    return std::strerror(error);
}

/// What answers on an existing socket file. Never waits: a host whose
/// backlog is full refuses a non-blocking connect with EAGAIN instead of
/// leaving us hanging.
enum class Probe : std::uint8_t { live, stale, unknown };

Probe probe(const std::filesystem::path& path, int& error) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        error = errno;
        return Probe::unknown;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.native().size());
    const int result = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    error = result == 0 ? 0 : errno;
    ::close(fd);
    if (result == 0 || error == EAGAIN || error == EINPROGRESS) {
        return Probe::live;
    }
    // Only these say for sure that nobody listens; anything else (out of
    // descriptors, no permission, ...) leaves the file alone.
    return error == ECONNREFUSED || error == ENOENT ? Probe::stale : Probe::unknown;
}

}  // namespace

struct ControlServer::Client {
    Client(std::uint64_t id, Socket s) : id(id), socket(std::move(s)), deadline(socket.get_executor()) {}

    std::uint64_t id;
    Socket socket;
    asio::steady_timer deadline;
    RequestReader reader;
    std::array<char, 512> buffer{};
    std::deque<std::string> outbox;
    bool writing = false;
    bool closeAfterWrite = false;
    bool answered = false;  // a request (or a refusal) was handled
    bool closed = false;
};

std::shared_ptr<ControlServer> ControlServer::create(Dependencies dependencies) {
    return std::shared_ptr<ControlServer>(new ControlServer(std::move(dependencies)));
}

ControlServer::ControlServer(Dependencies dependencies)
    : deps_(std::move(dependencies)),
      queue_(std::make_shared<platform::AsioSerialQueue>("rc.host.control")) {}

ControlServer::~ControlServer() {
    stop();
}

tl::expected<void, std::string> ControlServer::start() {
    tl::expected<void, std::string> result;
    queue_->sync([&] {
        if (stopped_ || acceptor_) {
            return;
        }
        result = bind();
        if (result) {
            accept();
        }
    });
    return result;
}

tl::expected<void, std::string> ControlServer::bind() {
    const auto& path = deps_.socketPath;
    if (path.empty() || path.native().size() >= sizeof(sockaddr_un::sun_path)) {
        return tl::unexpected("no control socket: the path " + path.string() +
                              " is empty or too long for a socket");
    }
    const std::filesystem::path folder = path.parent_path().empty() ? "." : path.parent_path();
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        return tl::unexpected("no control socket: cannot create " + folder.string() + ": " +
                              errnoText(errno));
    }
    if (auto safe = checkSocketFolder(folder, ::getuid()); !safe) {
        return tl::unexpected("no control socket: " + safe.error());
    }
    struct stat existing {};
    if (::lstat(path.c_str(), &existing) == 0) {
        if (!S_ISSOCK(existing.st_mode)) {
            return tl::unexpected("no control socket: " + path.string() + " exists and is not a socket");
        }
        int error = 0;
        switch (probe(path, error)) {
            case Probe::live:
                return tl::unexpected("no control socket: another Tarvel host answers on " + path.string());
            case Probe::unknown:
                return tl::unexpected("no control socket: cannot tell whether a host answers on " +
                                      path.string() + " (" + errnoText(error) + "); left alone");
            case Probe::stale:
                // Left by a host that did not stop in order: nothing answers.
                ::unlink(path.c_str());
                break;
        }
    }
    auto acceptor = std::make_unique<asio::local::stream_protocol::acceptor>(queue_->context());
    std::error_code error;
    acceptor->open(asio::local::stream_protocol(), error);
    if (!error) {
        acceptor->bind(asio::local::stream_protocol::endpoint(path.string()), error);
    }
    if (error) {
        return tl::unexpected("no control socket on " + path.string() + ": " + error.message());
    }
    // The folder is private already; the socket is too, in case it is not.
    ::chmod(path.c_str(), 0600);
    if (struct stat bound {}; ::lstat(path.c_str(), &bound) == 0) {
        boundFile_.emplace(bound.st_dev, bound.st_ino);
    }
    acceptor->listen(static_cast<int>(deps_.maxClients), error);
    if (error) {
        return tl::unexpected("no control socket on " + path.string() + ": " + error.message());
    }
    acceptor_ = std::move(acceptor);
    return {};
}

void ControlServer::stop() {
    queue_->sync([this] {
        if (stopped_) {
            return;
        }
        stopped_ = true;
        pairingCode_.clear();
        // Best effort and never blocking: the host is going away. Not while
        // the offer is still being written, or the two lines would mix.
        if (auto waiting = std::exchange(pairing_, nullptr); waiting && !waiting->writing) {
            const auto line = encodeAnswer(PairingEnded{PairingEnd::stopping});
            (void)!::send(waiting->socket.native_handle(), line.data(), line.size(),
                          MSG_DONTWAIT | MSG_NOSIGNAL);
        }
        for (auto& [id, client] : std::map(clients_)) {
            drop(client);
        }
        if (acceptor_) {
            std::error_code ignored;
            acceptor_->close(ignored);
            acceptor_.reset();
        }
        if (acceptPause_) {
            acceptPause_->cancel();
            acceptPause_.reset();
        }
        // Only our own file: a host that found it stale may have bound a new one.
        if (struct stat now {};
            boundFile_ && ::lstat(deps_.socketPath.c_str(), &now) == 0 &&
            std::pair(now.st_dev, now.st_ino) == *boundFile_) {
            ::unlink(deps_.socketPath.c_str());
        }
        boundFile_.reset();
        deps_.host.reset();
    });
}

void ControlServer::pairingCompleted() {
    queue_->async([weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self || self->stopped_ || !self->pairing_ || !self->codeUsed_) {
            return;
        }
        const auto snapshot = self->deps_.host->snapshot();
        const auto devices =
            devicesFrom(snapshot.clients, snapshot.onlineClientIds, snapshot.activeClientName);
        // The new device; a device pairing again keeps its id, and is then the
        // one paired last.
        std::optional<Device> paired;
        std::int64_t latest = 0;
        for (std::size_t i = 0; i < devices.size(); ++i) {
            if (!self->knownBeforePairing_.contains(devices[i].id)) {
                paired = devices[i];
                break;
            }
            if (!paired || snapshot.clients[i].pairedAtUnix >= latest) {
                paired = devices[i];
                latest = snapshot.clients[i].pairedAtUnix;
            }
        }
        auto client = std::exchange(self->pairing_, nullptr);
        self->send(client, Paired{paired.value_or(Device{})}, true);
    });
}

void ControlServer::pairingCodeEnded(server::PairingCodeEnd how) {
    queue_->async([weak = weak_from_this(), how] {
        auto self = weak.lock();
        if (!self || self->stopped_ || !self->pairing_) {
            return;
        }
        // News of an earlier code (the tray's, a previous command's) may
        // arrive after this command took a fresh one: only its own end counts.
        if (self->deps_.host && self->deps_.host->isPairingCodeLive(self->pairingCode_)) {
            return;
        }
        switch (how) {
            case server::PairingCodeEnd::used:
                self->codeUsed_ = true;  // the completion follows once the device is saved
                break;
            case server::PairingCodeEnd::exhausted:
                self->endPairingWith(PairingEnd::exhausted);
                break;
            case server::PairingCodeEnd::notSaved:
                self->endPairingWith(PairingEnd::notSaved);
                break;
        }
    });
}

void ControlServer::pairingCodeReplaced() {
    queue_->async([weak = weak_from_this()] {
        if (auto self = weak.lock(); self && !self->stopped_ && self->pairing_) {
            // Should the command's code have come after the owner's (both
            // racing), it goes too rather than stay live with nobody showing it.
            if (self->deps_.host) {
                self->deps_.host->endPairing(self->pairingCode_);
            }
            self->endPairingWith(PairingEnd::replaced);
        }
    });
}

void ControlServer::setOnCodeTaken(std::function<void()> callback) {
    std::lock_guard lock(callbackLock_);
    onCodeTaken_ = std::move(callback);
}

void ControlServer::accept() {
    acceptor_->async_accept([weak = weak_from_this()](std::error_code error, Socket socket) {
        auto self = weak.lock();
        if (!self || self->stopped_ || !self->acceptor_) {
            return;
        }
        if (!error) {
            self->acceptStarved_ = false;
            self->admit(std::move(socket));
            self->accept();
            return;
        }
        if (error == asio::error::operation_aborted) {
            return;
        }
        // Out of descriptors the queued connection stays queued and every
        // retry fails at once: wait for some to free instead of spinning.
        if (!self->acceptStarved_) {
            self->acceptStarved_ = true;
            base::logLine("control socket: cannot accept for now: " + error.message());
        }
        if (!self->acceptPause_) {
            self->acceptPause_ = std::make_unique<asio::steady_timer>(self->queue_->context());
        }
        self->acceptPause_->expires_after(acceptRetryDelay);
        self->acceptPause_->async_wait([weak](std::error_code waited) {
            auto again = weak.lock();
            if (!waited && again && !again->stopped_ && again->acceptor_) {
                again->accept();
            }
        });
    });
}

void ControlServer::admit(Socket socket) {
    ucred peer{};
    socklen_t size = sizeof peer;
    // Anyone who can reach the socket file must still be this user: the
    // commands pair devices and forget them.
    if (::getsockopt(socket.native_handle(), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 ||
        peer.uid != deps_.allowedUid) {
        if (refusedPeers_++ < 3) {
            base::logLine("control socket: refused a connection from uid " + std::to_string(peer.uid));
        }
        return;
    }
    auto client = std::make_shared<Client>(nextClient_++, std::move(socket));
    if (clients_.size() >= deps_.maxClients) {
        const auto line =
            encodeAnswer(Error{Failure::busy, "too many control connections; try again", {}});
        (void)!::send(client->socket.native_handle(), line.data(), line.size(),
                      MSG_DONTWAIT | MSG_NOSIGNAL);
        return;
    }
    clients_.emplace(client->id, client);
    // Until answered and closed: a client that never finishes its request,
    // or never reads its answer, does not hold a slot for ever.
    client->deadline.expires_after(deps_.requestDeadline);
    client->deadline.async_wait([weak = weak_from_this(), client](std::error_code error) {
        auto self = weak.lock();
        if (error || !self || client->closed || client == self->pairing_) {
            return;
        }
        if (client->answered) {
            self->drop(client);
        } else {
            client->answered = true;
            self->send(client, Error{Failure::timeout, "no request in time", {}}, true);
        }
    });
    read(client);
}

void ControlServer::read(const std::shared_ptr<Client>& client) {
    client->socket.async_read_some(
        asio::buffer(client->buffer),
        [weak = weak_from_this(), client](std::error_code error, std::size_t count) {
            auto self = weak.lock();
            if (!self || client->closed) {
                return;
            }
            if (error) {
                // A command waiting on its code went away (Ctrl-C): drop withdraws it.
                self->drop(client);
                return;
            }
            // Bytes after the request are read and ignored, so the peer's
            // end of input is seen.
            if (auto request = client->reader.feed(std::string_view(client->buffer.data(), count))) {
                client->answered = true;
                if (request->has_value()) {
                    self->handle(client, **request);
                } else {
                    self->send(client, Error{Failure::badRequest, std::string(describe(request->error())), {}},
                               true);
                }
            }
            if (!client->closed) {
                self->read(client);
            }
        });
}

void ControlServer::handle(const std::shared_ptr<Client>& client, const Request& request) {
    if (!deps_.host) {
        send(client, Error{Failure::unavailable, "the host is stopping", {}}, true);
        return;
    }
    switch (request.command) {
        case Command::status:
            send(client, status(), true);
            return;
        case Command::devices: {
            const auto snapshot = deps_.host->snapshot();
            send(client, devicesFrom(snapshot.clients, snapshot.onlineClientIds, snapshot.activeClientName),
                 true);
            return;
        }
        case Command::forget: {
            const auto snapshot = deps_.host->snapshot();
            auto chosen = chooseDevice(
                devicesFrom(snapshot.clients, snapshot.onlineClientIds, snapshot.activeClientName),
                request.device);
            if (!chosen) {
                send(client, chosen.error(), true);
                return;
            }
            deps_.host->removePairedClient(chosen->id);
            base::logLine("control socket: forgetting " + printable(chosen->name));
            send(client, Forgotten{*chosen}, true);
            return;
        }
        case Command::pair:
            beginPairing(client);
            return;
    }
}

void ControlServer::beginPairing(const std::shared_ptr<Client>& client) {
    endPairingWith(PairingEnd::replaced);
    knownBeforePairing_.clear();
    for (const auto& record : deps_.host->snapshot().clients) {
        knownBeforePairing_.insert(record.clientId);
    }
    codeUsed_ = false;
    const auto info = deps_.host->beginPairing();
    pairing_ = client;
    pairingCode_ = info.code;
    std::function<void()> taken;
    {
        std::lock_guard lock(callbackLock_);
        taken = onCodeTaken_;
    }
    if (taken) {
        taken();
    }
    // It waits as long as its user does; closing the connection ends it.
    client->deadline.cancel();
    send(client,
         PairingOffer{info.code, info.payload.urlString(),
                      deps_.host->webRemoteLink(info).value_or(std::string())},
         false);
}

void ControlServer::endPairingWith(PairingEnd reason) {
    pairingCode_.clear();
    if (auto client = std::exchange(pairing_, nullptr)) {
        send(client, PairingEnded{reason}, true);
    }
}

void ControlServer::send(const std::shared_ptr<Client>& client, const Answer& answer, bool thenClose) {
    if (client->closed) {
        return;
    }
    client->outbox.push_back(encodeAnswer(answer));
    client->closeAfterWrite = client->closeAfterWrite || thenClose;
    flush(client);
}

void ControlServer::flush(const std::shared_ptr<Client>& client) {
    if (client->writing || client->closed) {
        return;
    }
    if (client->outbox.empty()) {
        if (client->closeAfterWrite) {
            drop(client);
        }
        return;
    }
    client->writing = true;
    asio::async_write(client->socket, asio::buffer(client->outbox.front()),
                      [weak = weak_from_this(), client](std::error_code error, std::size_t) {
                          auto self = weak.lock();
                          client->writing = false;
                          if (!self || client->closed) {
                              return;
                          }
                          client->outbox.pop_front();
                          if (error) {
                              self->drop(client);
                          } else {
                              self->flush(client);
                          }
                      });
}

void ControlServer::drop(const std::shared_ptr<Client>& client) {
    if (client->closed) {
        return;
    }
    client->closed = true;
    if (client == pairing_) {
        pairing_.reset();
        // Only the code this command was given: the owner may have shown a
        // newer one whose notice has not reached us yet.
        if (deps_.host) {
            deps_.host->endPairing(std::exchange(pairingCode_, {}));
        }
    }
    std::error_code ignored;
    client->socket.shutdown(Socket::shutdown_both, ignored);
    client->socket.close(ignored);
    client->deadline.cancel();
    clients_.erase(client->id);
}

HostStatus ControlServer::status() {
    const auto snapshot = deps_.host->snapshot();
    HostStatus status;
    status.version = std::string(base::version());
    status.name = snapshot.hostName;
    status.port = snapshot.port;
    status.lan = snapshot.lanIP;
    status.tailscale = snapshot.tailscaleIP;
    status.sink = deps_.sink;
    status.injecting = deps_.injecting;
    status.controlledBy = snapshot.activeClientName;
    status.pairedDevices = snapshot.clients.size();
    status.onlineDevices = snapshot.onlineClientIds.size();
    status.tracing = deps_.latencyTrace != nullptr && deps_.latencyTrace->isEnabled();
    if (status.tracing) {
        status.latency = latencyFigures(*deps_.latencyTrace);
    }
    return status;
}

}  // namespace tarvel::control
