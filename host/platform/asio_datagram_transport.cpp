#include "host/platform/asio_datagram_transport.hpp"

#include <asio/post.hpp>

namespace tarvel::platform {

tl::expected<std::shared_ptr<AsioDatagramTransport>, std::error_code>
AsioDatagramTransport::connect(const asio::ip::udp::endpoint& host,
                               std::shared_ptr<AsioSerialQueue> queue) {
    asio::ip::udp::socket socket(queue->context());
    std::error_code error;
    socket.open(host.protocol(), error);
    if (!error) {
        socket.connect(host, error);
    }
    if (!error) {
        // A full send buffer (a stalled link) must lose a datagram, not stall
        // the pipe's queue and with it every acknowledgement timer.
        socket.non_blocking(true, error);
    }
    if (error) {
        return tl::unexpected(error);
    }
    return std::shared_ptr<AsioDatagramTransport>(
        new AsioDatagramTransport(std::move(queue), std::move(socket)));
}

AsioDatagramTransport::AsioDatagramTransport(std::shared_ptr<AsioSerialQueue> queue,
                                             asio::ip::udp::socket socket)
    : queue_(std::move(queue)), socket_(std::move(socket)) {}

void AsioDatagramTransport::start(Receive receive, Failed failed) {
    asio::post(queue_->context(), [self = shared_from_this(), receive = std::move(receive),
                                   failed = std::move(failed)]() mutable {
        self->receive_ = std::move(receive);
        self->failed_ = std::move(failed);
        self->receiveNext();
    });
}

void AsioDatagramTransport::receiveNext() {
    socket_.async_receive(asio::buffer(buffer_), [weak = weak_from_this()](std::error_code error,
                                                                           std::size_t size) {
        auto self = weak.lock();
        if (!self || error == asio::error::operation_aborted || !self->socket_.is_open()) {
            return;
        }
        // ICMP news (port or host unreachable, a refused port) comes back as
        // receive errors while a phone roams or the host restarts: only an
        // error of the socket itself ends the loop.
        if (error == asio::error::bad_descriptor || error == asio::error::not_socket) {
            if (self->failed_) {
                self->failed_(error);
            }
            return;
        }
        if (!error && self->receive_) {
            self->receive_(wire::ByteView(self->buffer_.data(), size));
        }
        self->receiveNext();
    });
}

void AsioDatagramTransport::send(wire::ByteView datagram) {
    // Connected UDP: one non-blocking send; a full buffer or a refused port
    // loses this datagram, which the pipe's acknowledgement rules cover.
    std::error_code ignored;
    std::lock_guard lock(mutex_);
    socket_.send(asio::buffer(datagram.data(), datagram.size()), asio::socket_base::message_flags{},
                 ignored);
}

void AsioDatagramTransport::cancel() {
    asio::post(queue_->context(), [self = shared_from_this()] {
        std::error_code ignored;
        std::lock_guard lock(self->mutex_);
        self->socket_.close(ignored);
    });
}

}  // namespace tarvel::platform
