#pragma once

// The WebSocket library behind a small interface. Its headers predate C++20
// (GCC refuses them in that mode), so only websocket_engine.cpp includes them,
// compiled as C++17. Little crosses between the two: sockets cross as
// descriptors, and nothing of asio but the io_context the engine runs on.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <asio/io_context.hpp>

namespace tarvel::server::websocket {

struct Request {
    std::string method;
    std::string target;
    std::string ifNoneMatch;
    std::string acceptEncoding;
    std::string origin;
    std::string host;
};

struct Response {
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
};

struct Options {
    long openTimeoutMs = 5000;   // to send the request or finish the upgrade
    long closeTimeoutMs = 2000;  // for the peer to answer a close
    std::size_t maxMessageSize = 0;
    std::size_t maxRequestBody = 1024;
};

/// Called on the io_context's thread. None is called from within the
/// connection's own send or close.
struct Events {
    std::function<Response(const Request&)> onHttp;  // a plain request; the connection then ends
    std::function<bool(const Request&)> onUpgrade;   // false: 403, no socket
    std::function<void()> onOpen;
    std::function<void(const std::uint8_t* data, std::size_t size, bool binary)> onMessage;
    /// Once, when the connection has ended, with why in a few words.
    std::function<void(std::string why)> onGone;
};

class Connection {
  public:
    virtual ~Connection() = default;
    /// Queues one binary message; false when the connection cannot take it.
    virtual bool send(const std::uint8_t* data, std::size_t size) = 0;
    virtual std::size_t bufferedAmount() const = 0;
    /// A close handshake when open, otherwise the socket simply closes. Idempotent.
    virtual void close(std::uint16_t code, const std::string& reason) = 0;
    virtual bool isOpen() const = 0;
};

/// Serves accepted sockets; everything runs on `context`'s thread.
class Engine {
  public:
    explicit Engine(asio::io_context& context);
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    /// Serves the accepted TCP socket `descriptor` (IPv6 when `v6`), which it
    /// now owns; nothing (and the descriptor closed) when it cannot.
    std::shared_ptr<Connection> adopt(int descriptor, bool v6, const Options& options,
                                      Events events);

  private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

}  // namespace tarvel::server::websocket
