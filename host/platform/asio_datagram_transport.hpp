#pragma once

#include <asio/ip/udp.hpp>

#include <array>
#include <functional>
#include <memory>
#include <mutex>
#include <system_error>

#include <tl/expected.hpp>

#include "core/client/input_pipe.hpp"
#include "host/platform/asio_serial_queue.hpp"

namespace tarvel::platform {

/// The client's input datagrams over a connected UDP socket whose handlers run
/// on `queue`, so what arrives is handed to the pipe on the pipe's own queue.
/// `send` may come from another thread (a pipe made with useQueue false): a
/// lock keeps it apart from closing the socket.
class AsioDatagramTransport final : public client::DatagramTransport,
                                    public std::enable_shared_from_this<AsioDatagramTransport> {
  public:
    /// Called on the queue for each datagram, and once with an error that
    /// ends the socket (then never again).
    using Receive = std::function<void(wire::ByteView datagram)>;
    using Failed = std::function<void(std::error_code)>;

    static tl::expected<std::shared_ptr<AsioDatagramTransport>, std::error_code> connect(
        const asio::ip::udp::endpoint& host, std::shared_ptr<AsioSerialQueue> queue);

    /// Starts the receive loop. Call once, from any thread.
    void start(Receive receive, Failed failed);

    void send(wire::ByteView datagram) override;
    void cancel() override;

  private:
    AsioDatagramTransport(std::shared_ptr<AsioSerialQueue> queue, asio::ip::udp::socket socket);
    void receiveNext();

    std::shared_ptr<AsioSerialQueue> queue_;
    std::mutex mutex_;  // send against close
    asio::ip::udp::socket socket_;
    std::array<std::uint8_t, 2048> buffer_{};
    Receive receive_;
    Failed failed_;
};

}  // namespace tarvel::platform
