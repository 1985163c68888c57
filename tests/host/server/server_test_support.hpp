#pragma once

#include <gtest/gtest.h>

#include <asio/ip/tcp.hpp>
#include <asio/ip/udp.hpp>
#include <asio/ip/v6_only.hpp>
#include <asio/write.hpp>

#include <algorithm>
#include <array>
#include <chrono>
#include <mutex>
#include <random>
#include <ranges>
#include <thread>

#include "core/security/client_handshakes.hpp"
#include "core/security/hex.hpp"
#include "core/wire/bodies.hpp"
#include "core/wire/secure_channel.hpp"
#include "core/wire/udp_codec.hpp"
#include "host/injection/recording_event_sink.hpp"
#include "host/platform/asio_serial_queue.hpp"
#include "host/platform/clipboard.hpp"
#include "host/server/host_server.hpp"
#include "tests/fakes/recording_advertiser.hpp"
#include "tests/fakes/recording_host_facts.hpp"
#include "tests/fakes/temp_dir.hpp"

namespace tarvel::server::testing {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace fakes = tarvel::testing;

/// Polls `predicate` until it holds or `limit` passes.
template <class Predicate>
bool eventually(Predicate predicate, std::chrono::milliseconds limit = 3000ms) {
    const auto deadline = Clock::now() + limit;
    while (!predicate() && Clock::now() < deadline) {
        std::this_thread::sleep_for(2ms);
    }
    return predicate();
}

/// The first of five consecutive ports free for TCP and UDP on every address, below
/// the kernel's ephemeral range so the test's own client sockets never land on them.
inline std::uint16_t freePortBase() {
    asio::io_context io;
    auto bindable = [](auto socket, auto protocol, int port) {
        std::error_code error;
        socket.open(protocol, error);
        socket.set_option(asio::ip::v6_only(false), error);
        socket.bind({protocol, static_cast<std::uint16_t>(port)}, error);
        return !error;
    };
    auto isFree = [&](int port) {
        return bindable(asio::ip::tcp::acceptor(io), asio::ip::tcp::v6(), port) &&
               bindable(asio::ip::udp::socket(io), asio::ip::udp::v6(), port);
    };
    std::mt19937 random(std::random_device{}());
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int base = 20000 + static_cast<int>(random() % 12000);
        if (std::ranges::all_of(std::views::iota(base, base + 5), isFree)) {
            return static_cast<std::uint16_t>(base);
        }
    }
    ADD_FAILURE() << "no free port range found";
    return 20000;
}

/// Runs one receive that `start` begins on `socket`; nothing if `deadline` passes first.
template <class Socket, class Start>
std::optional<std::pair<std::error_code, std::size_t>> receiveUntil(asio::io_context& io, Socket& socket,
                                                                    Start start, Clock::time_point deadline) {
    std::optional<std::pair<std::error_code, std::size_t>> result;
    start([&](std::error_code error, std::size_t count) { result.emplace(error, count); });
    io.restart();
    io.run_until(deadline);
    if (result) {
        return result;
    }
    socket.cancel();
    io.restart();
    io.run();
    return std::nullopt;
}

/// A server on its own port range and data folder, with recording fakes.
struct Harness {
    explicit Harness(const std::function<void(HostServer::Dependencies&)>& adjust =
                         [](HostServer::Dependencies&) {},
                     bool startNow = true) {
        HostServer::Dependencies deps;
        deps.dataDirectory = dir.path();
        deps.firstPort = freePortBase();
        deps.lastPort = static_cast<std::uint16_t>(deps.firstPort + 4);
        deps.eventSink = sink;
        deps.clipboard = clipboard;
        deps.advertiser = advertiser;
        deps.hostFacts = facts;
        deps.mainQueue = mainQueue;
        deps.localInterfaces = discovery::LocalInterfaces(discovery::LocalInterfaces::Source{});
        deps.timings.supervision = 20ms;
        adjust(deps);
        firstPort = deps.firstPort;
        server = HostServer::create(std::move(deps));
        if (startNow) {
            start();
        }
    }
    ~Harness() {
        if (!server) {
            return;
        }
        server->stop();
        // A queued task may hold the server a moment longer; the folder goes after it.
        std::weak_ptr<HostServer> gone = std::exchange(server, nullptr);
        EXPECT_TRUE(eventually([&] { return gone.expired(); }));
    }
    void start() {
        server->start();
        EXPECT_TRUE(eventually([&] { return advertiser->current().has_value(); }));
        port = server->port();
    }
    fakes::TempDir dir;
    std::shared_ptr<injection::RecordingEventSink> sink{new injection::RecordingEventSink};
    std::shared_ptr<platform::RecordingClipboard> clipboard{new platform::RecordingClipboard};
    std::shared_ptr<fakes::RecordingAdvertiser> advertiser{new fakes::RecordingAdvertiser};
    std::shared_ptr<fakes::RecordingHostFacts> facts{new fakes::RecordingHostFacts};
    std::shared_ptr<platform::AsioSerialQueue> mainQueue{new platform::AsioSerialQueue("rc.test.main")};
    std::shared_ptr<HostServer> server;
    std::uint16_t firstPort = 0;
    std::uint16_t port = 0;
};

/// The phone's side of a control connection, over loopback, every wait bounded:
/// a TCP stream, or a WebSocket of the web remote carrying one frame per message.
class TestConnection {
  public:
    enum class Over { tcp, webSocket };
    explicit TestConnection(std::uint16_t port, Over over = Over::tcp, const std::string& from = "127.0.0.1",
                            const std::string& origin = {})
        : socket_(io_), webSocket_(over == Over::webSocket) {
        std::error_code error;
        socket_.open(asio::ip::tcp::v4(), error);
        socket_.bind({asio::ip::make_address(from), 0}, error);
        socket_.connect({asio::ip::make_address("127.0.0.1"), port}, error);
        EXPECT_FALSE(error) << error.message();
        if (webSocket_) {
            std::string request = "GET /ws HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                                  "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                                  "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                                  "Sec-WebSocket-Version: 13\r\n";
            if (!origin.empty()) {
                request += "Origin: " + origin + "\r\n";
            }
            asio::write(socket_, asio::buffer(request + "\r\n"), error);
            const auto deadline = Clock::now() + 3000ms;
            while (!closed_ && !upgradeDone_ && readSome(deadline)) {
            }
            const auto end = stream_.find("\r\n\r\n");
            upgraded = stream_.starts_with("HTTP/1.1 101") && end != std::string::npos;
            stream_.erase(0, end == std::string::npos ? stream_.size() : end + 4);
        }
    }
    /// Bytes as they are: on a WebSocket, one binary message.
    void sendRaw(const wire::Bytes& bytes) { sendMessage(bytes, 0x2); }
    /// One WebSocket message of any opcode, masked as a browser's.
    void sendMessage(wire::ByteView bytes, std::uint8_t opcode) {
        std::error_code ignored;
        if (!webSocket_) {
            asio::write(socket_, asio::buffer(bytes.data(), bytes.size()), ignored);
            return;
        }
        wire::Bytes message{static_cast<std::uint8_t>(0x80 | opcode)};
        // Lengths encoded in the fewest bytes, as the protocol demands.
        const int lengthBytes = bytes.size() < 126 ? 0 : bytes.size() < 0x10000 ? 2 : 8;
        message.push_back(static_cast<std::uint8_t>(
            0x80 | (lengthBytes == 0 ? bytes.size() : lengthBytes == 2 ? 126 : 127)));
        for (int shift = 8 * lengthBytes - 8; shift >= 0; shift -= 8) {
            message.push_back(static_cast<std::uint8_t>(bytes.size() >> shift));
        }
        message.insert(message.end(), 4, 0);  // a zero mask leaves the payload as it is
        message.insert(message.end(), bytes.begin(), bytes.end());
        asio::write(socket_, asio::buffer(message), ignored);
    }
    void sendPlain(std::uint8_t type, wire::ByteView body) {
        sendRaw(*wire::TCPFrameCodec::encodePlain(type, body));
    }
    template <class Body>
    void sendSealed(std::uint8_t type, const Body& body) { sendRaw(*channel->seal(type, body)); }
    /// The next frame, or nothing on close or after `limit`.
    std::optional<wire::TCPFrame> readFrame(std::chrono::milliseconds limit = 3000ms) {
        for (const auto deadline = Clock::now() + limit;;) {
            auto next = decoder_.next();
            if (!next || *next || closed_ || !readSome(deadline)) {
                return next && *next ? std::optional(**next) : std::nullopt;
            }
        }
    }
    /// Whether the host closes the connection within `limit`.
    bool closedByHost(std::chrono::milliseconds limit = 3000ms) {
        for (const auto deadline = Clock::now() + limit; !closed_ && readSome(deadline);) {
        }
        return closed_;
    }
    /// Pairs with `code` as a new device; true when pairComplete checks out.
    bool pair(const std::string& code, const std::string& deviceName = "Phone") {
        security::ClientPairingHandshake handshake(
            security::ClientDescriptor{client, deviceName, "iPhone"}, code,
            security::X25519PrivateKey::generate(), security::Hex::random(16));
        sendPlain(wire::FrameType::pairRequest, *handshake.makeRequest());
        auto challenge = readFrame();
        if (!challenge || challenge->type != wire::FrameType::pairChallenge) {
            return false;
        }
        sendPlain(wire::FrameType::pairConfirm, *handshake.handleChallenge(challenge->body));
        auto complete = readFrame();
        if (!complete || complete->type != wire::FrameType::pairComplete) {
            return false;
        }
        auto result = handshake.handleComplete(complete->body, std::chrono::system_clock::now());
        if (result) {
            host = result->host;
            key = result->keys.sessionKey;
            channel = std::make_unique<wire::SecureTCPChannel>(*key, wire::SecureTCPChannel::Role::client);
        }
        return result.has_value();
    }
    security::LocalIdentity client = security::LocalIdentity::generate();
    std::optional<pairing::PairedHostRecord> host;
    std::optional<wire::SymmetricKey> key;
    std::unique_ptr<wire::SecureTCPChannel> channel;
    bool upgraded = false;
    /// Each WebSocket message's payload as it arrived.
    std::vector<std::size_t> messageSizes;
    std::optional<std::uint16_t> closeCode;
    std::size_t controlMessages = 0;  // pings and pongs

  private:
    bool readSome(Clock::time_point deadline) {
        std::array<std::uint8_t, 4096> buffer{};
        const auto read = [&](auto done) { socket_.async_read_some(asio::buffer(buffer), done); };
        auto got = receiveUntil(io_, socket_, read, deadline);
        if (!got) {
            return false;
        }
        closed_ = closed_ || bool(got->first);
        const std::size_t count = got->first ? 0 : got->second;
        if (!webSocket_) {
            decoder_.append(wire::ByteView(buffer.data(), count));
            return true;
        }
        stream_.append(reinterpret_cast<const char*>(buffer.data()), count);
        if (!upgradeDone_) {
            upgradeDone_ = stream_.find("\r\n\r\n") != std::string::npos;
            return true;
        }
        // The host's messages: unmasked, each whole frame's payload into the decoder.
        while (stream_.size() >= 2) {
            const auto* b = reinterpret_cast<const std::uint8_t*>(stream_.data());
            std::size_t length = b[1] & 0x7F;
            const std::size_t header = length == 126 ? 4 : length == 127 ? 10 : 2;
            for (std::size_t i = 2; i < header && i < stream_.size(); ++i) {
                length = (i == 2 ? 0 : length << 8) | b[i];
            }
            if (stream_.size() < header || stream_.size() < header + length) {
                break;
            }
            const std::uint8_t opcode = b[0] & 0x0F;
            if (opcode == 0x8) {
                closed_ = true;
                if (length >= 2) {
                    closeCode = static_cast<std::uint16_t>(b[header] << 8 | b[header + 1]);
                }
            } else if (opcode == 0x9 || opcode == 0xA) {
                ++controlMessages;
            } else if (opcode == 0x2) {
                messageSizes.push_back(length);
                decoder_.append(wire::ByteView(b + header, length));
            }
            stream_.erase(0, header + length);
        }
        return true;
    }
    asio::io_context io_;
    asio::ip::tcp::socket socket_;
    wire::TCPFrameDecoder decoder_;
    bool webSocket_ = false;
    bool upgradeDone_ = false;
    std::string stream_;  // WebSocket bytes not yet taken apart
    bool closed_ = false;
};

/// The phone's input datagrams, over loopback.
class TestDatagrams {
  public:
    TestDatagrams(std::uint16_t port, wire::SymmetricKey key)
        : socket_(io_, {asio::ip::udp::v4(), 0}), host_(asio::ip::make_address("127.0.0.1"), port),
          key_(std::move(key)) {}
    void send(const wire::InputPacket& packet) { sendRaw(wire::UDPCodec::seal(packet, key_)); }
    void sendRaw(wire::ByteView bytes) {
        std::error_code ignored;
        socket_.send_to(asio::buffer(bytes.data(), bytes.size()), host_, 0, ignored);
    }
    /// The seq of the next acknowledgement, or nothing after `limit`.
    std::optional<std::uint64_t> readAck(std::chrono::milliseconds limit = 3000ms) {
        std::array<std::uint8_t, 256> buffer{};
        asio::ip::udp::endpoint from;
        const auto read = [&](auto done) { socket_.async_receive_from(asio::buffer(buffer), from, done); };
        auto got = receiveUntil(io_, socket_, read, Clock::now() + limit);
        if (!got || got->first) {
            return std::nullopt;
        }
        auto seq = wire::UDPCodec::openAck(wire::ByteView(buffer.data(), got->second), key_);
        return seq ? std::optional<std::uint64_t>(*seq) : std::nullopt;
    }

  private:
    asio::io_context io_;
    asio::ip::udp::socket socket_;
    asio::ip::udp::endpoint host_;
    wire::SymmetricKey key_;
};

/// How many recorded lines contain every one of `fragments`.
inline std::size_t countLines(const injection::RecordingEventSink& sink,
                              std::initializer_list<std::string_view> fragments) {
    return static_cast<std::size_t>(std::ranges::count_if(sink.lines(), [&](const auto& line) {
        return std::ranges::all_of(fragments,
                                   [&](auto part) { return line.find(part) != std::string::npos; });
    }));
}

inline wire::InputPacket keyPacket(std::uint64_t seq, std::uint16_t hid, bool down) {
    const auto state = down ? wire::KeyState::down : wire::KeyState::up;
    return wire::InputPacket(seq, wire::InputEvent(wire::InputEvent::Key{hid, state, false}));
}

inline wire::InputPacket movePacket(std::uint64_t seq, float dx, float dy,
                                    std::optional<bool> ack = std::nullopt) {
    return wire::InputPacket(seq, wire::InputEvent(wire::InputEvent::MouseMove{dx, dy}), {},
                             wire::GesturePhase::none, ack);
}

}  // namespace tarvel::server::testing
