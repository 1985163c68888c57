#pragma once

// One client of the control socket, for the tests of its server and owners.

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "host/server/control_protocol.hpp"

namespace tarvel::control::testing {

/// What it sends, every line it reads.
class Peer {
  public:
    explicit Peer(const std::filesystem::path& path) : fd_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.c_str(), path.native().size());
        connected_ = ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;
    ~Peer() { ::close(fd_); }

    bool connected() const { return connected_; }
    void send(std::string_view bytes) const { (void)!::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
    /// The next answer, or nothing when the host closes or 3 s pass.
    std::optional<Answer> next() {
        for (const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);;) {
            if (auto newline = pending_.find('\n'); newline != std::string::npos) {
                auto answer = parseAnswer(std::string_view(pending_).substr(0, newline));
                pending_.erase(0, newline + 1);
                return answer ? std::optional(*answer) : std::nullopt;
            }
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd pfd{fd_, POLLIN, 0};
            char chunk[1024];
            if (left.count() <= 0 || ::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
                return std::nullopt;
            }
            const ssize_t n = ::read(fd_, chunk, sizeof chunk);
            if (n <= 0) {
                closed_ = true;
                return std::nullopt;
            }
            pending_.append(chunk, static_cast<std::size_t>(n));
        }
    }
    /// True once the host closed the connection (within 3 s).
    bool closedByHost() {
        while (!closed_ && next()) {
        }
        return closed_;
    }
    Answer ask(const Request& request) {
        send(encodeRequest(request));
        return next().value_or(Error{Failure::badRequest, "no answer", {}});
    }

  private:
    int fd_;
    bool connected_ = false;
    bool closed_ = false;
    std::string pending_;
};

}  // namespace tarvel::control::testing
