#include "tools/control_commands.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "host/platform/terminal_qr.hpp"
#include "host/server/control_protocol.hpp"

namespace tarvel::tools {

namespace {

using namespace std::chrono_literals;

// A host answers at once; this only bounds a host that hangs.
constexpr auto answerLimit = 10s;
// How long a host whose queue of connections is full may keep us waiting.
constexpr auto connectLimit = 2s;

struct Failed {
    int exit;
    std::string message;
};

void out(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

/// One connection to the host's control socket, read line by line.
class Connection {
  public:
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection() { ::close(fd_); }

    /// Connects only to a socket whose folder other users cannot plant one
    /// in, served by a process of `uid`: anyone else could hand out their
    /// own pairing link or fake an answer.
    static std::variant<std::unique_ptr<Connection>, Failed> open(const std::filesystem::path& path,
                                                                  uid_t uid) {
        const std::string noHost = "no Tarvel host is running (nothing answers on " + path.string() + ")";
        if (path.native().size() >= sizeof(sockaddr_un::sun_path)) {
            return Failed{controlUsage, "the control socket path is too long: " + path.string()};
        }
        const std::filesystem::path folder = path.parent_path().empty() ? "." : path.parent_path();
        // A folder that is missing, or not a folder or a link to one, holds no socket.
        if (struct stat info {}; ::lstat(folder.c_str(), &info) != 0 ||
                                 (!S_ISDIR(info.st_mode) && !S_ISLNK(info.st_mode))) {
            return Failed{controlNoHost, noHost};
        }
        if (auto safe = control::checkSocketFolder(folder, uid); !safe) {
            return Failed{controlUntrusted, "refusing the control socket " + path.string() + ": " +
                                                safe.error() + ", so another user could have put it there"};
        }
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) {
            return Failed{controlFailed, std::string("cannot make a socket: ") + std::strerror(errno)};
        }
        std::unique_ptr<Connection> connection(new Connection(fd));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.c_str(), path.native().size());
        // A full backlog refuses a non-blocking connect with EAGAIN; retried
        // for a while rather than waited on for ever.
        for (const auto deadline = std::chrono::steady_clock::now() + connectLimit;;) {
            if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
                break;
            }
            const int error = errno;
            if (error == ENOENT || error == ECONNREFUSED || error == ENOTDIR) {
                return Failed{controlNoHost, noHost};
            }
            if ((error == EAGAIN || error == EINTR) && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(20ms);
                continue;
            }
            if (error == EAGAIN) {
                return Failed{controlBusy, "the Tarvel host on " + path.string() +
                                               " is not answering (too many connections waiting)"};
            }
            return Failed{controlNoHost, "cannot reach the Tarvel host on " + path.string() + ": " +
                                             std::strerror(error)};
        }
        ucred peer{};
        socklen_t size = sizeof peer;
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || peer.uid != uid) {
            return Failed{controlUntrusted, "refusing the control socket " + path.string() +
                                                ": it belongs to uid " + std::to_string(peer.uid) +
                                                ", not to you (uid " + std::to_string(uid) + ")"};
        }
        return connection;
    }

    /// The whole request, within answerLimit.
    bool send(const std::string& bytes) const {
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n > 0) {
                sent += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                pollfd pfd{fd_, POLLOUT, 0};
                if (::poll(&pfd, 1, static_cast<int>(std::chrono::milliseconds(answerLimit).count())) > 0) {
                    continue;
                }
            }
            return false;
        }
        return true;
    }

    /// The next line, or nothing at the end of the connection or after `limit`
    /// (none: wait as long as it takes).
    std::optional<std::string> readLine(std::optional<std::chrono::milliseconds> limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit.value_or(0ms);
        for (;;) {
            if (const auto newline = pending_.find('\n'); newline != std::string::npos) {
                std::string line = pending_.substr(0, newline);
                pending_.erase(0, newline + 1);
                return line;
            }
            int wait = -1;
            if (limit) {
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now());
                if (left <= 0ms) {
                    return std::nullopt;
                }
                wait = static_cast<int>(left.count());
            }
            pollfd pfd{fd_, POLLIN, 0};
            const int ready = ::poll(&pfd, 1, wait);
            if (ready < 0 && errno == EINTR) {
                continue;
            }
            if (ready <= 0) {
                return std::nullopt;
            }
            char chunk[4096];
            const ssize_t n = ::read(fd_, chunk, sizeof chunk);
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                continue;
            }
            if (n <= 0) {
                return std::nullopt;
            }
            pending_.append(chunk, static_cast<std::size_t>(n));
        }
    }

  private:
    explicit Connection(int fd) : fd_(fd) {}
    int fd_;
    std::string pending_;
};

/// The next answer, or why there is none.
std::variant<control::Answer, Failed> nextAnswer(Connection& connection,
                                                 std::optional<std::chrono::milliseconds> limit) {
    auto line = connection.readLine(limit);
    if (!line) {
        return Failed{controlNoHost, "the Tarvel host closed the connection without an answer"};
    }
    auto answer = control::parseAnswer(*line);
    if (!answer) {
        return Failed{controlFailed, answer.error()};
    }
    return *answer;
}

std::string describeDevice(const control::Device& device) {
    std::string text = control::printable(device.name);
    if (!device.model.empty()) {
        text += " (" + control::printable(device.model) + ")";
    }
    return text;
}

std::string deviceLine(const control::Device& device) {
    std::string line = device.online ? "● online   " : "○ offline  ";
    line += control::printable(device.id) + "  " + describeDevice(device);
    if (device.controlling) {
        line += "  — controlling this computer";
    }
    return line;
}

std::string figure(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%9.1f", value);
    return text;
}

void printStatus(const control::HostStatus& status) {
    out("Tarvel host " + control::printable(status.name) + " (version " +
        control::printable(status.version) + ")");
    out("Port: " + std::to_string(status.port));
    out("LAN: " + (status.lan.empty() ? std::string("none") : control::printable(status.lan)));
    out("Tailscale: " + control::printable(status.tailscale.value_or("none")));
    out("Event sink: " + control::printable(status.sink) +
        (status.injecting ? " (input reaches it)" : " (input is discarded)"));
    out("Paired devices: " + std::to_string(status.pairedDevices) + ", " +
        std::to_string(status.onlineDevices) + " online");
    out("Controlled by: " +
        (status.controlledBy ? control::printable(*status.controlledBy) : std::string("nobody")));
    if (!status.tracing) {
        out("Latency tracing: off");
        return;
    }
    out("Latency tracing: on");
    if (status.latency.empty()) {
        out("  no samples yet");
    }
    for (const auto& entry : status.latency) {
        std::string name = control::printable(entry.metric);
        name.resize(std::max<std::size_t>(name.size(), 20), ' ');
        out("  " + name + " n=" + std::to_string(entry.summary.count) + " p50" +
            figure(entry.summary.p50) + " p95" + figure(entry.summary.p95) + " p99" +
            figure(entry.summary.p99) + " max" + figure(entry.summary.max) +
            (entry.microseconds ? " us" : ""));
    }
}

std::variant<int, Failed> fail(const control::Error& error) {
    std::string message = control::printable(error.message);
    for (const auto& device : error.matches) {
        message += "\n  " + deviceLine(device);
    }
    switch (error.failure) {
        case control::Failure::unknownDevice:
        case control::Failure::ambiguous:
        case control::Failure::badRequest:
            return Failed{controlFailed, message};
        case control::Failure::busy:
        case control::Failure::timeout:
            // A host answered: starting another would be wrong.
            return Failed{controlBusy, message};
        case control::Failure::unavailable:
            break;
    }
    return Failed{controlNoHost, message};
}

std::variant<int, Failed> pair(Connection& connection) {
    auto first = nextAnswer(connection, answerLimit);
    if (auto* failed = std::get_if<Failed>(&first)) {
        return *failed;
    }
    const auto& answer = std::get<control::Answer>(first);
    if (const auto* error = std::get_if<control::Error>(&answer)) {
        return fail(*error);
    }
    const auto* offer = std::get_if<control::PairingOffer>(&answer);
    if (offer == nullptr) {
        return Failed{controlFailed, "unexpected answer from the host"};
    }
    out("Pairing code: " + control::printable(offer->code));
    auto showLink = [&](const std::string& label, const std::string& link) {
        out(label + control::printable(link));
        platform::showQROnTerminal(link);
    };
    showLink("Pairing link: ", offer->link);
    if (!offer->web.empty()) {
        showLink("Web remote: ", offer->web);
    }
    out("Waiting for a device to pair; Ctrl-C withdraws the code.");
    // As long as the user waits: the host ends the code, or Ctrl-C ends us.
    auto next = nextAnswer(connection, std::nullopt);
    if (std::holds_alternative<Failed>(next)) {
        return Failed{controlNoHost, "the Tarvel host went away; the code is withdrawn"};
    }
    const auto& result = std::get<control::Answer>(next);
    if (const auto* paired = std::get_if<control::Paired>(&result)) {
        out("Paired with " + describeDevice(paired->device) + ", id " +
            control::printable(paired->device.id) + ".");
        return controlOK;
    }
    if (const auto* ended = std::get_if<control::PairingEnded>(&result)) {
        switch (ended->reason) {
            case control::PairingEnd::exhausted:
                return Failed{controlFailed, "pairing code withdrawn after too many wrong tries"};
            case control::PairingEnd::notSaved:
                return Failed{controlFailed, "a device paired but could not be saved on the host"};
            case control::PairingEnd::replaced:
                return Failed{controlFailed, "a newer pairing code replaced this one"};
            case control::PairingEnd::stopping:
                return Failed{controlNoHost, "the Tarvel host is stopping; the code is withdrawn"};
        }
    }
    if (const auto* error = std::get_if<control::Error>(&result)) {
        return fail(*error);
    }
    return Failed{controlFailed, "unexpected answer from the host"};
}

std::variant<int, Failed> run(const control::Request& request, const std::filesystem::path& path) {
    auto opened = Connection::open(path, ::getuid());
    if (auto* failed = std::get_if<Failed>(&opened)) {
        return *failed;
    }
    auto& connection = *std::get<std::unique_ptr<Connection>>(opened);
    if (!connection.send(control::encodeRequest(request))) {
        return Failed{controlNoHost, "the Tarvel host closed the connection"};
    }
    if (request.command == control::Command::pair) {
        return pair(connection);
    }
    auto got = nextAnswer(connection, answerLimit);
    if (auto* failed = std::get_if<Failed>(&got)) {
        return *failed;
    }
    const auto& answer = std::get<control::Answer>(got);
    if (const auto* error = std::get_if<control::Error>(&answer)) {
        return fail(*error);
    }
    if (const auto* status = std::get_if<control::HostStatus>(&answer);
        status && request.command == control::Command::status) {
        printStatus(*status);
        return controlOK;
    }
    if (const auto* devices = std::get_if<std::vector<control::Device>>(&answer);
        devices && request.command == control::Command::devices) {
        if (devices->empty()) {
            out("No paired devices.");
        }
        for (const auto& device : *devices) {
            out(deviceLine(device));
        }
        return controlOK;
    }
    if (const auto* forgotten = std::get_if<control::Forgotten>(&answer);
        forgotten && request.command == control::Command::forget) {
        out("Forgot " + describeDevice(forgotten->device) + ", id " +
            control::printable(forgotten->device.id) + ".");
        return controlOK;
    }
    return Failed{controlFailed, "unexpected answer from the host"};
}

}  // namespace

const std::string_view controlCommandsUsage =
    "       tarveld status|devices|pair [--control-socket PATH]\n"
    "       tarveld forget ID|NAME [--control-socket PATH]\n"
    "       tarveld --version\n"
    "  status        the running host's port, addresses, name, event sink and latency\n"
    "  devices       the paired devices, online (●) or not (○), and which one controls\n"
    "  pair          a fresh pairing code, its link and QR code; waits until a device\n"
    "                pairs (Ctrl-C withdraws the code)\n"
    "  forget        forgets a paired device by its id or name\n"
    "  --control-socket  the running host's socket (default: $TVL_CONTROL_SOCKET, else\n"
    "                $XDG_RUNTIME_DIR/tarvel/control); also where a host listens\n"
    "  Commands exit 0 when done, 1 when refused (unknown or ambiguous device, a code\n"
    "  that ended without a device), 2 for a bad command line, 3 when no host runs\n"
    "  or it went away, 4 when the host is busy (too many connections, or the\n"
    "  request took too long; try again), 5 when the socket is not safe to trust\n"
    "  (its folder is open to other users, or another user serves it).\n";

bool isControlCommand(std::string_view word) {
    return word == "status" || word == "devices" || word == "pair" || word == "forget";
}

int runControlCommand(int argc, char** argv, const base::Environment& environment) {
    const std::string_view name = argv[1];
    control::Request request;
    request.command = name == "status"    ? control::Command::status
                      : name == "devices" ? control::Command::devices
                      : name == "pair"    ? control::Command::pair
                                          : control::Command::forget;
    std::optional<std::filesystem::path> path;
    std::vector<std::string_view> words;
    for (int i = 2; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--control-socket") {
            if (i + 1 >= argc || std::string_view(argv[i + 1]).empty()) {
                std::fprintf(stderr, "tarveld: --control-socket needs a path\n");
                return controlUsage;
            }
            path = argv[++i];
        } else if (arg.starts_with("-") && arg != "-") {
            std::fprintf(stderr, "tarveld: unknown option for %s: %s\n", argv[1], argv[i]);
            return controlUsage;
        } else {
            words.push_back(arg);
        }
    }
    const std::size_t wanted = request.command == control::Command::forget ? 1 : 0;
    if (words.size() != wanted) {
        std::fprintf(stderr, "tarveld: %s takes %s\n", argv[1],
                     wanted == 1 ? "one device id or name" : "no arguments");
        return controlUsage;
    }
    if (wanted == 1) {
        request.device = std::string(words.front());
    }
    auto result = run(request, path.value_or(control::socketPath(environment, ::getuid())));
    if (auto* failed = std::get_if<Failed>(&result)) {
        std::fprintf(stderr, "tarveld: %s\n", failed->message.c_str());
        return failed->exit;
    }
    return std::get<int>(result);
}

}  // namespace tarvel::tools
