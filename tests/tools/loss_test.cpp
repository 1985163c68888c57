// A client typing through a lossy network: a relay in front of tarveld's
// input port drops datagrams both ways, and the client's own input pipe falls
// back to the control connection for what is not acknowledged in time. Every
// character arrives once and in order; a client falling silent with keys
// held has them released by the host within 1.75 s.
#include <gtest/gtest.h>

#include <poll.h>

#include <asio/connect.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ip/udp.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/client/control_client.hpp"
#include "core/client/input_pipe.hpp"
#include "core/input/keycode_table.hpp"
#include "core/wire/frame.hpp"
#include "host/platform/asio_datagram_transport.hpp"
#include "host/platform/asio_serial_queue.hpp"
#include "tests/fakes/temp_dir.hpp"
#include "tests/tools/live_host.hpp"

namespace tarvel {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::RecordedKey;

/// Forwards datagrams between one client and the host, dropping each one,
/// either way, with probability `loss` by a seeded generator.
class LossyRelay {
  public:
    LossyRelay(std::uint16_t hostPort, double loss, unsigned seed)
        : client_(context_, asio::ip::udp::endpoint(asio::ip::make_address("127.0.0.1"), 0)),
          host_(context_, asio::ip::udp::endpoint(asio::ip::make_address("127.0.0.1"), 0)),
          loss_(loss),
          random_(seed) {
        host_.connect({asio::ip::make_address("127.0.0.1"), hostPort});
        thread_ = std::thread([this] { run(); });
    }
    ~LossyRelay() {
        stop_ = true;
        thread_.join();
    }
    LossyRelay(const LossyRelay&) = delete;
    LossyRelay& operator=(const LossyRelay&) = delete;

    asio::ip::udp::endpoint endpoint() const { return client_.local_endpoint(); }
    std::size_t forwarded() const { return forwarded_; }
    std::size_t dropped() const { return dropped_; }

  private:
    void run() {
        std::array<std::uint8_t, 2048> buffer{};
        std::optional<asio::ip::udp::endpoint> peer;
        while (!stop_) {
            std::array<pollfd, 2> fds{pollfd{client_.native_handle(), POLLIN, 0},
                                      pollfd{host_.native_handle(), POLLIN, 0}};
            if (::poll(fds.data(), fds.size(), 20) <= 0) {
                continue;
            }
            std::error_code error;
            if (fds[0].revents != 0) {
                asio::ip::udp::endpoint from;
                const auto size = client_.receive_from(asio::buffer(buffer), from, 0, error);
                peer = from;
                if (!error && pass()) {
                    host_.send(asio::buffer(buffer.data(), size), 0, error);
                }
            }
            if (fds[1].revents != 0) {
                const auto size = host_.receive(asio::buffer(buffer), 0, error);
                if (!error && peer && pass()) {
                    client_.send_to(asio::buffer(buffer.data(), size), *peer, 0, error);
                }
            }
        }
    }
    bool pass() {
        const bool kept = std::uniform_real_distribution<double>(0, 1)(random_) >= loss_;
        ++(kept ? forwarded_ : dropped_);
        return kept;
    }

    asio::io_context context_;
    asio::ip::udp::socket client_;
    asio::ip::udp::socket host_;
    const double loss_;
    std::mt19937 random_;
    std::atomic<bool> stop_{false};
    std::atomic<std::size_t> forwarded_{0};
    std::atomic<std::size_t> dropped_{0};
    std::thread thread_;
};

/// The client's control protocol and input pipe as the app runs them, over a
/// control connection straight to the host and datagrams through the relay.
class RelayedClient {
  public:
    RelayedClient(std::uint16_t hostPort, const asio::ip::udp::endpoint& relay,
                  security::ClientDescriptor client, pairing::PairedHostRecord record)
        : queue_(std::make_shared<platform::AsioSerialQueue>("relayed client")),
          socket_(queue_->context()),
          tick_(queue_->context()),
          relay_(relay),
          control_(client::ControlClient::forAuthentication(std::move(client), std::move(record))) {
        queue_->sync([&] {
            std::error_code error;
            socket_.connect({asio::ip::make_address("127.0.0.1"), hostPort}, error);
            if (error) {
                return;
            }
            socket_.set_option(asio::ip::tcp::no_delay(true), error);
            client::ControlClient::Output out;
            control_.start(Clock::now(), out);
            apply(out);
            readNext();
            armTick();
        });
    }
    ~RelayedClient() {
        fallSilent();
        queue_->sync([&] {
            std::error_code ignored;
            socket_.close(ignored);
        });
        queue_->sync([] {});  // the aborted read's handler runs while we are alive
    }
    RelayedClient(const RelayedClient&) = delete;
    RelayedClient& operator=(const RelayedClient&) = delete;

    bool established(std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return pipe_ != nullptr || failed_; }) &&
               pipe_ != nullptr;
    }
    void send(wire::InputEvent event) { pipe_->send(event, {}, {}, 0); }
    /// Once every event is acknowledged or handed to the control connection,
    /// a ping behind them: its pong means the host has taken all of it in.
    bool settle(std::chrono::milliseconds limit) {
        const auto deadline = Clock::now() + limit;
        for (std::size_t pending = 1; pending > 0;) {
            queue_->sync([&] { pending = pipe_->pendingCount(); });
            if (Clock::now() > deadline) {
                return false;
            }
            if (pending > 0) {
                std::this_thread::sleep_for(1ms);
            }
        }
        const auto ts = static_cast<std::uint64_t>(Clock::now().time_since_epoch().count());
        queue_->sync([&] {
            if (auto frame = control_.ping(ts)) {
                write(*frame);
            }
        });
        std::unique_lock lock(mutex_);
        return changed_.wait_until(lock, deadline, [&] { return lastPong_ >= ts; });
    }
    /// Stops sending anything, pings included, without releasing what is held;
    /// the connection stays open.
    void fallSilent() {
        queue_->sync([&] {
            tick_.cancel();
            if (pipe_) {
                pipe_->close();
            }
        });
    }

  private:
    void readNext() {
        socket_.async_read_some(asio::buffer(buffer_), [this](std::error_code error, std::size_t size) {
            client::ControlClient::Output out;
            if (error) {
                notify([&] { failed_ = true; });
                return;
            }
            control_.received({buffer_.data(), size}, Clock::now(), std::chrono::system_clock::now(),
                              out);
            apply(out);
            readNext();
        });
    }
    void armTick() {
        tick_.expires_after(500ms);
        tick_.async_wait([this](std::error_code error) {
            if (error) {
                return;
            }
            client::ControlClient::Output out;
            control_.tick(Clock::now(), out);
            apply(out);
            armTick();
        });
    }
    void write(const wire::Bytes& frame) {
        std::error_code error;
        asio::write(socket_, asio::buffer(frame), error);
    }
    void apply(client::ControlClient::Output& out) {
        for (const auto& frame : out.send) {
            write(frame);
        }
        if (out.established) {
            auto udp = platform::AsioDatagramTransport::connect(relay_, queue_);
            if (!udp) {
                notify([&] { failed_ = true; });
                return;
            }
            auto pipe = client::InputPipe::create(
                *udp, out.established->keys.sessionKey, true, queue_,
                [this](wire::ByteView plain20) {
                    if (auto frame = control_.seal(wire::FrameType::reliableInput, plain20)) {
                        write(*frame);
                    }
                },
                base::SystemClock::shared());
            (*udp)->start([pipe = std::weak_ptr(pipe)](wire::ByteView datagram) {
                if (auto live = pipe.lock()) {
                    live->received(datagram);
                }
            },
                          [](std::error_code) {});
            pipe->start();
            notify([&] { pipe_ = pipe; });
        }
        for (const auto ts : out.pongs) {
            notify([&] { lastPong_ = std::max(lastPong_, ts); });
        }
        if (out.failed) {
            notify([&] { failed_ = true; });
        }
    }
    template <class F>
    void notify(F change) {
        {
            std::lock_guard lock(mutex_);
            change();
        }
        changed_.notify_all();
    }

    std::shared_ptr<platform::AsioSerialQueue> queue_;
    asio::ip::tcp::socket socket_;
    asio::steady_timer tick_;
    asio::ip::udp::endpoint relay_;
    client::ControlClient control_;  // on the queue
    std::array<std::uint8_t, 16384> buffer_{};
    std::mutex mutex_;
    std::condition_variable changed_;
    std::shared_ptr<client::InputPipe> pipe_;  // set once, under mutex_
    std::uint64_t lastPong_ = 0;
    bool failed_ = false;
};

constexpr std::uint16_t leftShift = 0xE1;

/// The HID usage of a character typed on a US keyboard, and whether it needs shift.
std::pair<std::uint16_t, bool> usageOf(char c) {
    if (c >= 'a' && c <= 'z') {
        return {static_cast<std::uint16_t>(0x04 + (c - 'a')), false};
    }
    if (c >= 'A' && c <= 'Z') {
        return {static_cast<std::uint16_t>(0x04 + (c - 'A')), true};
    }
    switch (c) {
        case ' ': return {0x2C, false};
        case ',': return {0x36, false};
        case '.': return {0x37, false};
        default: ADD_FAILURE() << "no usage for " << c; return {0, false};
    }
}

class Loss : public ::testing::TestWithParam<int> {};

TEST_P(Loss, everyCharacterArrivesOnceInOrderAndSilenceReleasesHeldKeysWithin1750ms) {
    const int percent = GetParam();
    testing::TempDir dir;
    testing::LiveHost host(dir.path());
    const security::ClientDescriptor device{security::LocalIdentity::generate(), "Lossy Phone",
                                            "Test Model"};
    const auto record = testing::pairDevice(host, device.deviceName, device.identity);
    ASSERT_TRUE(record);
    LossyRelay relay(host.port, percent / 100.0, 1000u + static_cast<unsigned>(percent));
    RelayedClient client(host.port, relay.endpoint(), device, *record);
    ASSERT_TRUE(client.established(10s));

    const auto& table = input::KeycodeTable::shared();
    std::vector<RecordedKey> expected;
    const auto press = [&](std::uint16_t hid, bool down) {
        client.send(wire::InputEvent::Key{hid, down ? wire::KeyState::down : wire::KeyState::up, false});
        expected.push_back({*table.macKeyCodeForHID(hid), down});
        // A typist slower than a round trip: each key is in before the next.
        ASSERT_TRUE(client.settle(5s)) << "key " << hid << (down ? " down" : " up");
    };
    // Shift is held across a capitalised word, as a person holds it.
    const std::string paragraph =
        "The QUICK brown fox jumps over the lazy dog, then naps. Pack my box with five dozen "
        "liquor jugs.";
    bool shifted = false;
    for (const char c : paragraph) {
        const auto [hid, shift] = usageOf(c);
        if (shift != shifted && c != ' ') {
            press(leftShift, shift);
            shifted = shift;
        }
        press(hid, true);
        press(hid, false);
    }
    if (shifted) {
        press(leftShift, false);
    }
    // Then shift and z go down, and the client falls silent holding them.
    press(leftShift, true);
    client.send(wire::InputEvent::Key{0x1D, wire::KeyState::down, false});
    const auto lastSent = Clock::now();
    expected.push_back({*table.macKeyCodeForHID(0x1D), true});
    ASSERT_TRUE(client.settle(5s));
    const auto lastTakenIn = Clock::now();
    client.fallSilent();
    // The host lets go, ordinary keys first, then modifiers.
    expected.push_back({*table.macKeyCodeForHID(0x1D), false});
    expected.push_back({*table.macKeyCodeForHID(leftShift), false});

    std::vector<RecordedKey> keys;
    auto releasedAt = Clock::now();
    for (const auto deadline = Clock::now() + 5s; Clock::now() < deadline;) {
        keys = testing::Record::read(host.events).keys();
        releasedAt = Clock::now();
        if (keys.size() >= expected.size()) {
            break;
        }
        std::this_thread::sleep_for(10ms);
    }
    // The host took the last packet in between our send and the settle's
    // pong; the slack is this loop's step and read.
    const auto ms = [](auto d) { return std::chrono::duration_cast<std::chrono::milliseconds>(d); };
    const auto held = ms(releasedAt - lastSent);
    EXPECT_LE(ms(releasedAt - lastTakenIn), 1750ms + 30ms) << "held too long";
    EXPECT_GE(held, 1400ms) << "released before the client was silent long enough";
    std::this_thread::sleep_for(300ms);
    keys = testing::Record::read(host.events).keys();
    EXPECT_EQ(keys, expected) << percent << " % loss";
    EXPECT_GT(relay.dropped(), 0u);
    std::cout << "[ loss " << percent << " % ] relay forwarded " << relay.forwarded() << ", dropped "
              << relay.dropped() << "; held keys released " << held.count() << " ms after the last send\n";
}

INSTANTIATE_TEST_SUITE_P(Rates, Loss, ::testing::Values(10, 30),
                         [](const auto& info) { return std::to_string(info.param) + "Percent"; });

}  // namespace
}  // namespace tarvel
