#pragma once

#include <gtest/gtest.h>

#include <asio/connect.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ip/udp.hpp>
#include <asio/ip/v6_only.hpp>
#include <asio/write.hpp>

#include <array>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/security/client_handshakes.hpp"
#include "core/security/handshake_frames.hpp"
#include "core/security/hex.hpp"
#include "core/wire/bodies.hpp"
#include "core/wire/frame.hpp"
#include "core/wire/json_codec.hpp"
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

/// Polls `predicate` until it holds or `limit` passes.
template <class Predicate>
bool eventually(Predicate predicate, std::chrono::milliseconds limit = 3000ms) {
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        if (predicate()) {
            return true;
        }
        std::this_thread::sleep_for(2ms);
    }
    return predicate();
}

/// Whether TCP and UDP can both bind `port` on every address right now.
inline bool portIsFree(std::uint16_t port) {
    asio::io_context io;
    std::error_code error;
    asio::ip::tcp::acceptor tcp(io);
    tcp.open(asio::ip::tcp::v6(), error);
    tcp.set_option(asio::ip::v6_only(false), error);
    tcp.bind(asio::ip::tcp::endpoint(asio::ip::tcp::v6(), port), error);
    if (error) {
        return false;
    }
    asio::ip::udp::socket udp(io);
    udp.open(asio::ip::udp::v6(), error);
    udp.set_option(asio::ip::v6_only(false), error);
    udp.bind(asio::ip::udp::endpoint(asio::ip::udp::v6(), port), error);
    return !error;
}

/// The first of `count` consecutive free ports below the kernel's ephemeral
/// range, so the test's own client sockets never land on them.
inline std::uint16_t freePortBase(std::uint16_t count = 5) {
    std::random_device random;
    std::uniform_int_distribution<int> pick(20000, 32000);
    for (int attempt = 0; attempt < 100; ++attempt) {
        const auto base = static_cast<std::uint16_t>(pick(random));
        bool free = true;
        for (std::uint16_t i = 0; i < count && free; ++i) {
            free = portIsFree(static_cast<std::uint16_t>(base + i));
        }
        if (free) {
            return base;
        }
    }
    ADD_FAILURE() << "no free port range found";
    return 20000;
}

/// A server on its own port range and data folder, with recording fakes.
struct Harness {
    explicit Harness(const std::function<void(HostServer::Dependencies&)>& adjust = {},
                     bool startNow = true) {
        sink = std::make_shared<injection::RecordingEventSink>();
        clipboard = std::make_shared<platform::RecordingClipboard>();
        advertiser = std::make_shared<tarvel::testing::RecordingAdvertiser>();
        facts = std::make_shared<tarvel::testing::RecordingHostFacts>();
        mainQueue = std::make_shared<platform::AsioSerialQueue>("rc.test.main");
        HostServer::Dependencies deps;
        deps.dataDirectory = dir.path();
        const auto base = freePortBase();
        deps.firstPort = base;
        deps.lastPort = static_cast<std::uint16_t>(base + 4);
        deps.eventSink = sink;
        deps.clipboard = clipboard;
        deps.advertiser = advertiser;
        deps.hostFacts = facts;
        deps.mainQueue = mainQueue;
        deps.localInterfaces = discovery::LocalInterfaces(discovery::LocalInterfaces::Source{});
        deps.timings.supervision = 20ms;
        if (adjust) {
            adjust(deps);
        }
        firstPort = deps.firstPort;
        server = HostServer::create(std::move(deps));
        if (startNow) {
            start();
        }
    }
    ~Harness() {
        if (server) {
            server->stop();
            // A task of the server's queue may hold it a moment longer; the data
            // folder goes only once the server is gone.
            std::weak_ptr<HostServer> gone = server;
            server.reset();
            EXPECT_TRUE(eventually([&] { return gone.expired(); }));
        }
    }

    void start() {
        server->start();
        EXPECT_TRUE(eventually([&] { return advertiser->current().has_value(); }));
        port = server->port();
    }

    tarvel::testing::TempDir dir;
    std::shared_ptr<injection::RecordingEventSink> sink;
    std::shared_ptr<platform::RecordingClipboard> clipboard;
    std::shared_ptr<tarvel::testing::RecordingAdvertiser> advertiser;
    std::shared_ptr<tarvel::testing::RecordingHostFacts> facts;
    std::shared_ptr<platform::AsioSerialQueue> mainQueue;
    std::shared_ptr<HostServer> server;
    std::uint16_t firstPort = 0;
    std::uint16_t port = 0;
};

/// The phone's side of a control connection, over loopback, every wait bounded.
class TestConnection {
  public:
    explicit TestConnection(std::uint16_t port) : socket_(io_) {
        std::error_code error;
        socket_.connect(asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), port), error);
        EXPECT_FALSE(error) << error.message();
    }

    void sendRaw(const wire::Bytes& bytes) {
        std::error_code error;
        asio::write(socket_, asio::buffer(bytes), error);
    }
    void sendPlain(std::uint8_t type, wire::ByteView body) {
        sendRaw(*wire::TCPFrameCodec::encodePlain(type, body));
    }
    template <class Body>
    void sendSealed(std::uint8_t type, const Body& body) {
        sendRaw(*channel->seal(type, body));
    }

    /// The next frame, or nothing on close or after `limit`.
    std::optional<wire::TCPFrame> readFrame(std::chrono::milliseconds limit = 3000ms) {
        const auto deadline = Clock::now() + limit;
        for (;;) {
            auto next = decoder_.next();
            if (!next) {
                return std::nullopt;
            }
            if (*next) {
                return **next;
            }
            if (closed_ || !readSome(deadline)) {
                return std::nullopt;
            }
        }
    }

    /// Whether the host closes the connection within `limit`.
    bool closedByHost(std::chrono::milliseconds limit = 3000ms) {
        const auto deadline = Clock::now() + limit;
        while (!closed_) {
            if (!readSome(deadline)) {
                return closed_;
            }
        }
        return true;
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
        if (!result) {
            return false;
        }
        host = result->host;
        key = result->keys.sessionKey;
        channel =
            std::make_unique<wire::SecureTCPChannel>(*key, wire::SecureTCPChannel::Role::client);
        return true;
    }

    security::LocalIdentity client = security::LocalIdentity::generate();
    std::optional<pairing::PairedHostRecord> host;
    std::optional<wire::SymmetricKey> key;
    std::unique_ptr<wire::SecureTCPChannel> channel;

  private:
    bool readSome(Clock::time_point deadline) {
        std::array<std::uint8_t, 4096> buffer{};
        bool done = false;
        std::size_t count = 0;
        std::error_code error;
        socket_.async_read_some(asio::buffer(buffer), [&](std::error_code e, std::size_t n) {
            error = e;
            count = n;
            done = true;
        });
        io_.restart();
        io_.run_until(deadline);
        if (!done) {
            socket_.cancel();
            io_.restart();
            io_.run();
            return false;
        }
        if (error) {
            closed_ = true;
            return true;
        }
        decoder_.append(wire::ByteView(buffer.data(), count));
        return true;
    }

    asio::io_context io_;
    asio::ip::tcp::socket socket_;
    wire::TCPFrameDecoder decoder_;
    bool closed_ = false;
};

/// The phone's input datagrams, over loopback.
class TestDatagrams {
  public:
    TestDatagrams(std::uint16_t port, wire::SymmetricKey key)
        : socket_(io_, asio::ip::udp::endpoint(asio::ip::udp::v4(), 0)),
          host_(asio::ip::make_address("127.0.0.1"), port),
          key_(std::move(key)) {}

    void send(const wire::InputPacket& packet) {
        const auto datagram = wire::UDPCodec::seal(packet, key_);
        sendRaw(wire::ByteView(datagram.data(), datagram.size()));
    }
    void sendRaw(wire::ByteView bytes) {
        std::error_code error;
        socket_.send_to(asio::buffer(bytes.data(), bytes.size()), host_, 0, error);
    }

    /// The seq of the next acknowledgement, or nothing after `limit`.
    std::optional<std::uint64_t> readAck(std::chrono::milliseconds limit = 3000ms) {
        std::array<std::uint8_t, 256> buffer{};
        bool done = false;
        std::size_t count = 0;
        std::error_code error;
        asio::ip::udp::endpoint from;
        socket_.async_receive_from(asio::buffer(buffer), from,
                                   [&](std::error_code e, std::size_t n) {
                                       error = e;
                                       count = n;
                                       done = true;
                                   });
        io_.restart();
        io_.run_for(limit);
        if (!done) {
            socket_.cancel();
            io_.restart();
            io_.run();
            return std::nullopt;
        }
        if (error) {
            return std::nullopt;
        }
        auto seq = wire::UDPCodec::openAck(wire::ByteView(buffer.data(), count), key_);
        if (!seq) {
            return std::nullopt;
        }
        return *seq;
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
    std::size_t count = 0;
    for (const auto& line : sink.lines()) {
        bool all = true;
        for (auto fragment : fragments) {
            all = all && line.find(fragment) != std::string::npos;
        }
        count += all ? 1 : 0;
    }
    return count;
}

inline wire::InputPacket keyPacket(std::uint64_t seq, std::uint16_t hid, bool down) {
    return wire::InputPacket(seq,
                             wire::InputEvent(wire::InputEvent::Key{
                                 hid, down ? wire::KeyState::down : wire::KeyState::up, false}));
}

inline wire::InputPacket movePacket(std::uint64_t seq, float dx, float dy,
                                    std::optional<bool> ack = std::nullopt) {
    return wire::InputPacket(seq, wire::InputEvent(wire::InputEvent::MouseMove{dx, dy}), {},
                             wire::GesturePhase::none, ack);
}

}  // namespace tarvel::server::testing
