#pragma once

// Loopback-only helpers for the discovery tests: a one-thread HTTP server on
// 127.0.0.1 and a private temporary folder for fake tool scripts.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tarvel::discovery::fixtures {

using namespace std::chrono_literals;

/// Answers every request with one fixed reply, or holds the connection open
/// without answering. Every wait is bounded; the destructor stops and joins.
class LoopbackHTTPServer {
public:
    struct Reply {
        int status = 200;
        std::string body;
        bool hang = false;
    };

    explicit LoopbackHTTPServer(Reply reply) : reply_(std::move(reply)) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = 0;
        socklen_t length = sizeof address;
        if (listener_ < 0 ||
            ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listener_, 8) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            return;
        }
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }

    ~LoopbackHTTPServer() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
        if (listener_ >= 0) {
            ::close(listener_);
        }
    }

    std::uint16_t port() const { return port_; }

    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }

    /// The request heads received so far.
    std::vector<std::string> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }

private:
    static constexpr auto lifetime = 15s;  // the server never outlives a stuck test by much

    bool waitReadable(int fd, std::chrono::steady_clock::time_point until) const {
        while (!stop_ && std::chrono::steady_clock::now() < until) {
            pollfd ready{fd, POLLIN, 0};
            if (::poll(&ready, 1, 50) > 0) {
                return true;
            }
        }
        return false;
    }

    void serve() {
        const auto end = std::chrono::steady_clock::now() + lifetime;
        while (waitReadable(listener_, end)) {
            const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) {
                continue;
            }
            handle(client, end);
            ::close(client);
        }
    }

    void handle(int client, std::chrono::steady_clock::time_point end) {
        std::string head;
        const auto readUntil = std::chrono::steady_clock::now() + 2s;
        char buffer[4096];
        while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536 &&
               waitReadable(client, readUntil)) {
            const ssize_t count = ::recv(client, buffer, sizeof buffer, 0);
            if (count <= 0) {
                break;
            }
            head.append(buffer, static_cast<std::size_t>(count));
        }
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(head);
        }
        if (reply_.hang) {
            waitReadable(client, end);  // until the client gives up or the test ends
            return;
        }
        // No Content-Length: the body ends when the connection closes, so the
        // client cannot learn its size in advance.
        const std::string response = "HTTP/1.1 " + std::to_string(reply_.status) +
                                     " Reply\r\nContent-Type: application/json\r\n"
                                     "Connection: close\r\n\r\n" +
                                     reply_.body;
        std::size_t sent = 0;
        while (sent < response.size()) {
            const ssize_t count =
                ::send(client, response.data() + sent, response.size() - sent, MSG_NOSIGNAL);
            if (count <= 0) {
                break;
            }
            sent += static_cast<std::size_t>(count);
        }
    }

    Reply reply_;
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::vector<std::string> requests_;
    std::thread thread_;
};

/// A private folder removed with everything in it at the end of the test.
class TempDir {
public:
    TempDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "tarvel-discovery-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) {
            path_ = pattern;
        }
    }
    ~TempDir() {
        std::error_code ignored;
        if (!path_.empty()) {
            std::filesystem::remove_all(path_, ignored);
        }
    }

    const std::filesystem::path& path() const { return path_; }

    /// Writes `text` to `name` with the given mode; returns its full path.
    std::string write(const std::string& name, const std::string& text, mode_t mode = 0755) const {
        const auto file = path_ / name;
        std::ofstream(file) << text;
        ::chmod(file.c_str(), mode);
        return file.string();
    }

    std::string read(const std::string& name) const {
        std::ifstream in(path_ / name);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

private:
    std::filesystem::path path_;
};

}  // namespace tarvel::discovery::fixtures
