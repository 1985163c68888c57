#include "host/server/transport.hpp"

#include <netinet/in.h>
#include <netinet/ip.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include <asio/buffer.hpp>
#include <asio/ip/v6_only.hpp>
#include <asio/post.hpp>
#include <asio/write.hpp>

#include "core/base/log.hpp"

namespace tarvel::server {

namespace {

// DSCP AF41, the class for interactive video: asks the LAN to queue input
// datagrams ahead of bulk traffic. Best effort; networks may ignore it.
constexpr int interactiveTrafficClass = 0x88;

constexpr int receiveBufferBytes = 4 << 20;

std::atomic<FlowId> nextFlowId{1};

void preferLowLatency(asio::ip::udp::socket& socket) {
    const int value = interactiveTrafficClass;
    const int fd = socket.native_handle();
    // A dual-stack socket sends IPv4 with IP_TOS and IPv6 with IPV6_TCLASS.
    (void)::setsockopt(fd, IPPROTO_IP, IP_TOS, &value, sizeof value);
    if (socket.local_endpoint().protocol() == asio::ip::udp::v6()) {
        (void)::setsockopt(fd, IPPROTO_IPV6, IPV6_TCLASS, &value, sizeof value);
    }
}

template <class Socket, class Protocol>
std::error_code openDualStack(Socket& socket, Protocol v6, Protocol v4) {
    std::error_code error;
    socket.open(v6, error);
    if (!error) {
        socket.set_option(asio::ip::v6_only(false), error);
        if (!error) {
            return {};
        }
        socket.close();
    }
    // No IPv6 on this machine: IPv4 alone still serves every admitted peer range but fc00::/7.
    error.clear();
    socket.open(v4, error);
    return error;
}

asio::ip::address anyAddressFor(bool v6) {
    return v6 ? asio::ip::address(asio::ip::address_v6::any())
              : asio::ip::address(asio::ip::address_v4::any());
}

}  // namespace

discovery::NetworkHost toNetworkHost(const asio::ip::address& address) {
    if (address.is_v6()) {
        const auto v6 = address.to_v6();
        if (v6.is_v4_mapped()) {
            return discovery::IPv4Address{
                asio::ip::make_address_v4(asio::ip::v4_mapped, v6).to_bytes()};
        }
        return discovery::IPv6Address{v6.to_bytes(), static_cast<std::uint32_t>(v6.scope_id())};
    }
    return discovery::IPv4Address{address.to_v4().to_bytes()};
}

discovery::NetworkEndpoint toNetworkEndpoint(const asio::ip::tcp::endpoint& endpoint) {
    return {toNetworkHost(endpoint.address()), endpoint.port()};
}

discovery::NetworkEndpoint toNetworkEndpoint(const asio::ip::udp::endpoint& endpoint) {
    return {toNetworkHost(endpoint.address()), endpoint.port()};
}

TcpConnection::TcpConnection(asio::ip::tcp::socket socket) : socket_(std::move(socket)) {
    std::error_code error;
    const auto remote = socket_.remote_endpoint(error);
    if (!error) {
        endpoint_ = toNetworkEndpoint(remote);
    }
    // Control frames are small and latency matters more than packing.
    socket_.set_option(asio::ip::tcp::no_delay(true), error);
}

void TcpConnection::receive(ReceiveHandler handler) {
    if (cancelled_) {
        asio::post(socket_.get_executor(), [handler = std::move(handler)] {
            handler({}, false, asio::error::operation_aborted);
        });
        return;
    }
    readBuffer_.resize(maxReceiveLength);
    socket_.async_read_some(asio::buffer(readBuffer_),
                            [self = shared_from_this(), handler = std::move(handler)](
                                std::error_code error, std::size_t n) {
                                if (error == asio::error::eof) {
                                    handler({}, true, {});
                                    return;
                                }
                                handler(wire::ByteView(self->readBuffer_.data(), n), false, error);
                            });
}

void TcpConnection::send(wire::Bytes bytes, SendHandler done) {
    if (cancelled_) {
        if (done) {
            asio::post(socket_.get_executor(),
                       [done = std::move(done)] { done(asio::error::operation_aborted); });
        }
        return;
    }
    // A peer that sends but never reads must not make us buffer without end.
    if (queuedBytes_ + bytes.size() > maxQueuedBytes) {
        cancel();
        if (done) {
            asio::post(socket_.get_executor(),
                       [done = std::move(done)] { done(asio::error::no_buffer_space); });
        }
        return;
    }
    queuedBytes_ += bytes.size();
    writes_.emplace_back(std::move(bytes), std::move(done));
    if (!writing_) {
        writeNext();
    }
}

void TcpConnection::writeNext() {
    if (writes_.empty()) {
        writing_ = false;
        return;
    }
    writing_ = true;
    asio::async_write(socket_, asio::buffer(writes_.front().first),
                      [self = shared_from_this()](std::error_code error, std::size_t) {
                          auto done = std::move(self->writes_.front().second);
                          self->queuedBytes_ -= self->writes_.front().first.size();
                          self->writes_.pop_front();
                          if (done) {
                              done(error);
                          }
                          if (error) {
                              // A broken stream loses everything queued after it too.
                              while (!self->writes_.empty()) {
                                  auto next = std::move(self->writes_.front().second);
                                  self->queuedBytes_ -= self->writes_.front().first.size();
                                  self->writes_.pop_front();
                                  if (next) {
                                      next(error);
                                  }
                              }
                              self->writing_ = false;
                              return;
                          }
                          self->writeNext();
                      });
}

void TcpConnection::cancel() {
    if (cancelled_) {
        return;
    }
    cancelled_ = true;
    std::error_code ignored;
    socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
}

TcpListener::TcpListener(asio::ip::tcp::acceptor acceptor)
    : acceptor_(std::move(acceptor)),
      retry_(acceptor_.get_executor()),
      port_(acceptor_.local_endpoint().port()) {}

void TcpListener::start(ConnectionHandler onConnection, FailureHandler onFailure) {
    start(
        [onConnection = std::move(onConnection)](asio::ip::tcp::socket socket) {
            onConnection(std::make_shared<TcpConnection>(std::move(socket)));
        },
        std::move(onFailure));
}

void TcpListener::start(SocketHandler onSocket, FailureHandler onFailure) {
    onSocket_ = std::move(onSocket);
    onFailure_ = std::move(onFailure);
    acceptNext();
}

void TcpListener::acceptNext() {
    acceptor_.async_accept(
        [self = shared_from_this()](std::error_code error, asio::ip::tcp::socket socket) {
            if (self->cancelled_) {
                return;
            }
            if (error) {
                // The peer gave up while queued, or its network did: Linux
                // reports these on accept and the next one may well succeed.
                if (error == asio::error::connection_aborted ||
                    error == asio::error::network_down || error == asio::error::host_unreachable ||
                    error == asio::error::network_unreachable ||
                    error == asio::error::operation_not_supported || error.value() == EPROTO ||
                    error.value() == ENOPROTOOPT || error.value() == EHOSTDOWN ||
                    error.value() == ENONET) {
                    self->acceptNext();
                    return;
                }
                // Out of descriptors or memory passes, but not by retrying at once.
                if (error == asio::error::no_descriptors || error == asio::error::no_buffer_space ||
                    error == asio::error::no_memory || error.value() == ENFILE) {
                    if (!self->starved_) {
                        self->starved_ = true;
                        base::logLine("cannot accept connections for now: " + error.message());
                    }
                    self->retry_.expires_after(acceptRetryDelay);
                    self->retry_.async_wait([self](std::error_code waited) {
                        if (!waited && !self->cancelled_) {
                            self->acceptNext();
                        }
                    });
                    return;
                }
                if (self->onFailure_) {
                    self->onFailure_(error);
                }
                return;
            }
            self->starved_ = false;
            if (self->onSocket_) {
                self->onSocket_(std::move(socket));
            }
            self->acceptNext();
        });
}

void TcpListener::cancel() {
    if (cancelled_) {
        return;
    }
    cancelled_ = true;
    retry_.cancel();
    std::error_code ignored;
    acceptor_.close(ignored);
}

UdpListener::UdpListener(asio::ip::udp::socket socket)
    : socket_(std::move(socket)), retry_(socket_.get_executor()), port_(socket_.local_endpoint().port()) {
    for (std::size_t i = 0; i < batchSize; ++i) {
        vectors_[i] = iovec{buffers_[i].data(), receiveBufferSize};
    }
}

std::size_t UdpListener::RemoteKeyHash::operator()(const RemoteKey& key) const noexcept {
    // FNV-1a: remotes are few and the key is short.
    std::uint64_t hash = 1469598103934665603ULL;
    auto mix = [&hash](std::uint8_t byte) {
        hash ^= byte;
        hash *= 1099511628211ULL;
    };
    for (auto byte : key.address) {
        mix(byte);
    }
    for (int shift = 0; shift < 32; shift += 8) {
        mix(static_cast<std::uint8_t>(key.scope >> shift));
    }
    mix(static_cast<std::uint8_t>(key.port));
    mix(static_cast<std::uint8_t>(key.port >> 8));
    return static_cast<std::size_t>(hash);
}

UdpListener::RemoteKey UdpListener::keyOf(const sockaddr_storage& address) {
    RemoteKey key;
    if (address.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        std::memcpy(key.address.data(), &v6.sin6_addr, 16);
        key.scope = v6.sin6_scope_id;
        key.port = ntohs(v6.sin6_port);
    } else if (address.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        key.address[10] = 0xff;
        key.address[11] = 0xff;
        std::memcpy(key.address.data() + 12, &v4.sin_addr, 4);
        key.port = ntohs(v4.sin_port);
    }
    return key;
}

void UdpListener::start(BatchHandler onBatch, FailureHandler onFailure) {
    onBatch_ = std::move(onBatch);
    onFailure_ = std::move(onFailure);
    waitReadable();
}

void UdpListener::waitReadable() {
    socket_.async_wait(asio::socket_base::wait_read,
                       [self = shared_from_this()](std::error_code error) {
                           if (self->cancelled_) {
                               return;
                           }
                           if (error) {
                               if (self->onFailure_) {
                                   self->onFailure_(error);
                               }
                               return;
                           }
                           self->readBatches();
                       });
}

void UdpListener::readBatches() {
    const int fd = socket_.native_handle();
    for (int round = 0; round < batchesPerWake; ++round) {
        for (std::size_t i = 0; i < batchSize; ++i) {
            headers_[i] = mmsghdr{};
            headers_[i].msg_hdr.msg_name = &senders_[i];
            headers_[i].msg_hdr.msg_namelen = sizeof(sockaddr_storage);
            headers_[i].msg_hdr.msg_iov = &vectors_[i];
            headers_[i].msg_hdr.msg_iovlen = 1;
        }
        const int received = ::recvmmsg(fd, headers_.data(), batchSize, MSG_DONTWAIT, nullptr);
        if (received < 0) {
            const int error = errno;
            if (error == EAGAIN || error == EWOULDBLOCK) {
                break;
            }
            // An ICMP error from an earlier send surfaces here; it is not the socket's end.
            if (error == EINTR || error == ECONNREFUSED || error == EHOSTUNREACH ||
                error == ENETUNREACH) {
                continue;
            }
            // Memory runs short now and then; reading again at once would spin.
            if (error == ENOMEM || error == ENOBUFS) {
                retry_.expires_after(std::chrono::milliseconds(100));
                retry_.async_wait([self = shared_from_this()](std::error_code waited) {
                    if (!waited && !self->cancelled_) {
                        self->readBatches();
                    }
                });
                return;
            }
            if (onFailure_) {
                onFailure_(std::error_code(error, std::system_category()));
            }
            return;
        }
        const auto count = static_cast<std::size_t>(received);
        for (std::size_t i = 0; i < count; ++i) {
            const auto key = keyOf(senders_[i]);
            auto found = flows_.find(key);
            bool isNew = false;
            if (found == flows_.end()) {
                // Unique across listeners: the core outlives a listener restart.
                const FlowId id = nextFlowId.fetch_add(1, std::memory_order_relaxed);
                found = flows_.emplace(key, id).first;
                Remote remote;
                std::memcpy(&remote.address, &senders_[i], sizeof(sockaddr_storage));
                remote.length = headers_[i].msg_hdr.msg_namelen;
                remote.key = key;
                remotes_.emplace(id, remote);
                isNew = true;
            }
            const auto length =
                std::min<std::size_t>(headers_[i].msg_len, receiveBufferSize);
            batch_[i] = Datagram{found->second, isNew, wire::ByteView(buffers_[i].data(), length)};
        }
        if (count > 0 && onBatch_) {
            try {
                onBatch_(*this, std::span<const Datagram>(batch_.data(), count));
            } catch (const std::exception& error) {
                // The socket keeps being read: one bad batch is not the end of input.
                base::logLine(std::string("a batch of datagrams failed: ") + error.what());
            }
        }
        if (cancelled_) {
            return;
        }
        if (count < batchSize) {
            break;
        }
    }
    waitReadable();
}

std::optional<discovery::NetworkEndpoint> UdpListener::endpoint(FlowId flow) const {
    auto found = remotes_.find(flow);
    if (found == remotes_.end()) {
        return std::nullopt;
    }
    asio::ip::udp::endpoint remote;
    std::memcpy(remote.data(), &found->second.address, found->second.length);
    remote.resize(found->second.length);
    return toNetworkEndpoint(remote);
}

void UdpListener::send(FlowId flow, wire::ByteView datagram) {
    if (cancelled_) {
        return;
    }
    auto found = remotes_.find(flow);
    if (found == remotes_.end()) {
        return;
    }
    // Datagrams are tiny and the socket's send buffer is rarely full; a
    // non-blocking send that fails is a lost datagram, as UDP allows.
    (void)::sendto(socket_.native_handle(), datagram.data(), datagram.size(), MSG_DONTWAIT,
                   reinterpret_cast<const sockaddr*>(&found->second.address),
                   found->second.length);
}

void UdpListener::holdSend(FlowId flow, wire::ByteView datagram) {
    if (datagram.size() > maxHeldLength) {
        send(flow, datagram);
        return;
    }
    auto found = remotes_.find(flow);
    if (cancelled_ || found == remotes_.end()) {
        return;
    }
    if (heldCount_ == held_.size()) {
        flushSends();
    }
    auto& held = held_[heldCount_++];
    std::memcpy(&held.address, &found->second.address, found->second.length);
    held.length = found->second.length;
    std::memcpy(held.bytes.data(), datagram.data(), datagram.size());
    held.size = datagram.size();
}

void UdpListener::flushSends() {
    if (heldCount_ == 0) {
        return;
    }
    for (std::size_t i = 0; i < heldCount_; ++i) {
        sendVectors_[i] = iovec{held_[i].bytes.data(), held_[i].size};
        sendHeaders_[i] = mmsghdr{};
        sendHeaders_[i].msg_hdr.msg_name = &held_[i].address;
        sendHeaders_[i].msg_hdr.msg_namelen = held_[i].length;
        sendHeaders_[i].msg_hdr.msg_iov = &sendVectors_[i];
        sendHeaders_[i].msg_hdr.msg_iovlen = 1;
    }
    const auto count = static_cast<unsigned>(heldCount_);
    heldCount_ = 0;
    if (cancelled_) {
        return;
    }
    // Fire and forget, as UDP allows: what the socket does not take is lost.
    (void)::sendmmsg(socket_.native_handle(), sendHeaders_.data(), count, MSG_DONTWAIT);
}

void UdpListener::forget(FlowId flow) {
    auto found = remotes_.find(flow);
    if (found == remotes_.end()) {
        return;
    }
    flows_.erase(found->second.key);
    remotes_.erase(found);
}

void UdpListener::cancel() {
    if (cancelled_) {
        return;
    }
    cancelled_ = true;
    retry_.cancel();
    flows_.clear();
    remotes_.clear();
    std::error_code ignored;
    socket_.close(ignored);
}

tl::expected<asio::ip::tcp::acceptor, std::error_code> bindTcpAcceptor(asio::io_context& context,
                                                                       std::uint16_t port) {
    asio::ip::tcp::acceptor acceptor(context);
    if (auto error = openDualStack(acceptor, asio::ip::tcp::v6(), asio::ip::tcp::v4())) {
        return tl::unexpected(error);
    }
    const bool v6 = acceptor.local_endpoint().protocol() == asio::ip::tcp::v6();
    std::error_code error;
    // A restarted host must get its port back while old connections linger in TIME_WAIT.
    acceptor.set_option(asio::socket_base::reuse_address(true), error);
    acceptor.bind(asio::ip::tcp::endpoint(anyAddressFor(v6), port), error);
    if (!error) {
        acceptor.listen(asio::socket_base::max_listen_connections, error);
    }
    if (error) {
        return tl::unexpected(error);
    }
    return acceptor;
}

tl::expected<ListenerPair, std::error_code> bindListeners(asio::io_context& tcpContext,
                                                          asio::io_context& udpContext,
                                                          std::uint16_t port) {
    auto tcp = bindTcpAcceptor(tcpContext, port);
    if (!tcp) {
        return tl::unexpected(tcp.error());
    }
    asio::ip::tcp::acceptor acceptor = std::move(*tcp);
    std::error_code error;
    const std::uint16_t bound = acceptor.local_endpoint().port();

    asio::ip::udp::socket socket(udpContext);
    if (auto openError = openDualStack(socket, asio::ip::udp::v6(), asio::ip::udp::v4())) {
        return tl::unexpected(openError);
    }
    const bool udpV6 = socket.local_endpoint().protocol() == asio::ip::udp::v6();
    // No address reuse for UDP: two hosts on one port would split the datagrams.
    socket.bind(asio::ip::udp::endpoint(anyAddressFor(udpV6), bound), error);
    if (error) {
        return tl::unexpected(error);
    }
    socket.non_blocking(true, error);
    preferLowLatency(socket);
    // Room for bursts and floods while a batch is being served; best effort,
    // the system may cap it lower.
    socket.set_option(asio::socket_base::receive_buffer_size(receiveBufferBytes), error);
    error.clear();

    ListenerPair pair;
    pair.port = bound;
    pair.tcp = std::make_shared<TcpListener>(std::move(acceptor));
    pair.udp = std::make_shared<UdpListener>(std::move(socket));
    return pair;
}

}  // namespace tarvel::server
