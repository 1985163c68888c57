#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include <asio/local/stream_protocol.hpp>
#include <asio/steady_timer.hpp>
#include <tl/expected.hpp>

#include "host/platform/asio_serial_queue.hpp"
#include "host/server/control_protocol.hpp"
#include "host/server/host_server.hpp"

namespace tarvel::diagnostics {
class LatencyTrace;
}

namespace tarvel::control {

/// The host's control socket: a Unix stream socket on which the user's own
/// `tarveld` commands ask for the status, the paired devices, a pairing code
/// or forgetting a device. Sockets and timers live on a queue of its own
/// ("rc.host.control"); it reaches the host only through HostServer's public
/// calls. The owner forwards the pairing callbacks it receives from the host.
class ControlServer : public std::enable_shared_from_this<ControlServer> {
  public:
    static constexpr std::chrono::milliseconds acceptRetryDelay{100};

    struct Dependencies {
        std::filesystem::path socketPath;
        std::shared_ptr<server::HostServer> host;
        std::string sink;  // x11, record or none, as shown by status
        bool injecting = false;
        /// Latency figures for status while it is enabled; null shows none.
        const diagnostics::LatencyTrace* latencyTrace = nullptr;
        /// Only connections from this user are served.
        uid_t allowedUid = ::getuid();
        std::chrono::milliseconds requestDeadline = control::requestDeadline;
        std::size_t maxClients = control::maxClients;
    };

    static std::shared_ptr<ControlServer> create(Dependencies dependencies);
    ~ControlServer();
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    /// Binds the socket (0600) and starts accepting. A stale socket file
    /// (nothing answers) is replaced; one another host answers on is left
    /// alone and reported as an error, as is a folder that is not private.
    /// The error is one line. Synchronous; any thread but the control queue.
    tl::expected<void, std::string> start();

    /// Ends pairing a command waits on, closes every connection and removes
    /// the socket file. Synchronous; idempotent; any thread but the control
    /// queue. Call before stopping the host.
    void stop();

    // What the owner forwards from the host's callbacks; any thread.

    /// From HostServer's onPairingCompleted.
    void pairingCompleted();
    /// From HostServer's onPairingCodeEnded.
    void pairingCodeEnded(server::PairingCodeEnd how);
    /// The owner issued a pairing code of its own (window, terminal), which
    /// replaced any code a command is waiting on.
    void pairingCodeReplaced();
    /// Called when a command took a fresh code, so any code the owner shows
    /// is dead. On the control queue; settable from any thread.
    void setOnCodeTaken(std::function<void()> callback);

    const std::filesystem::path& socketPath() const noexcept { return deps_.socketPath; }

  private:
    struct Client;

    explicit ControlServer(Dependencies dependencies);

    // Control queue only.
    tl::expected<void, std::string> bind();
    void accept();
    void admit(asio::local::stream_protocol::socket socket);
    void read(const std::shared_ptr<Client>& client);
    void handle(const std::shared_ptr<Client>& client, const Request& request);
    void beginPairing(const std::shared_ptr<Client>& client);
    void endPairingWith(PairingEnd reason);
    void send(const std::shared_ptr<Client>& client, const Answer& answer, bool thenClose);
    void flush(const std::shared_ptr<Client>& client);
    void drop(const std::shared_ptr<Client>& client);
    HostStatus status();

    Dependencies deps_;
    std::shared_ptr<platform::AsioSerialQueue> queue_;

    std::mutex callbackLock_;
    std::function<void()> onCodeTaken_;

    // Control queue only.
    std::unique_ptr<asio::local::stream_protocol::acceptor> acceptor_;
    std::map<std::uint64_t, std::shared_ptr<Client>> clients_;
    std::uint64_t nextClient_ = 1;
    bool stopped_ = false;
    /// The command whose code is the host's current one, if any, and that code.
    std::shared_ptr<Client> pairing_;
    std::string pairingCode_;
    /// Accepting pauses while descriptors run out.
    std::unique_ptr<asio::steady_timer> acceptPause_;
    bool acceptStarved_ = false;
    /// Client ids paired before that code was issued.
    std::set<std::string> knownBeforePairing_;
    /// The host reported the code used; the completion that follows is ours.
    bool codeUsed_ = false;
    std::size_t refusedPeers_ = 0;
    /// The socket file this server bound, so stop removes only its own.
    std::optional<std::pair<dev_t, ino_t>> boundFile_;
};

}  // namespace tarvel::control
