// The client's input pipe against the real server over loopback: with every
// other datagram lost, the fallback over the control channel delivers each
// event exactly once; after close nothing more arrives.
#include <gtest/gtest.h>

#include "core/client/input_pipe.hpp"
#include "host/platform/asio_datagram_transport.hpp"
#include "tests/host/server/server_test_support.hpp"

namespace tarvel::server::testing {
namespace {

/// Loses every other datagram on the way out.
struct LossyTransport final : client::DatagramTransport {
    explicit LossyTransport(std::shared_ptr<client::DatagramTransport> inner)
        : inner(std::move(inner)) {}
    void send(wire::ByteView datagram) override {
        if (sent++ % 2 == 1) {
            inner->send(datagram);
        }
    }
    void cancel() override { inner->cancel(); }
    std::shared_ptr<client::DatagramTransport> inner;
    int sent = 0;
};

TEST(InputPipeLoopback, lostDatagramsArriveOnceThroughTheFallbackAndNothingAfterClose) {
    Harness host;
    TestConnection phone(host.port);
    ASSERT_TRUE(phone.pair(host.server->beginPairing().code));
    auto queue = std::make_shared<platform::AsioSerialQueue>("rc.input-pipe");
    auto udp = platform::AsioDatagramTransport::connect(
        asio::ip::udp::endpoint(asio::ip::make_address("127.0.0.1"), host.port), queue);
    ASSERT_TRUE(udp) << udp.error().message();
    std::atomic<int> fallbacks = 0;
    // The fallback runs on the pipe's queue; the test thread leaves the
    // connection alone meanwhile.
    auto pipe = client::InputPipe::create(
        std::make_shared<LossyTransport>(*udp), *phone.key, true, queue,
        [&](wire::ByteView plain20) {
            ++fallbacks;
            phone.sendSealed(wire::FrameType::reliableInput, plain20);
        },
        base::SystemClock::shared());
    std::weak_ptr<client::InputPipe> weak = pipe;
    (*udp)->start(
        [weak](wire::ByteView datagram) {
            if (auto p = weak.lock()) {
                p->received(datagram);
            }
        },
        [weak](std::error_code) {
            if (auto p = weak.lock()) {
                p->transportFailed();
            }
        });
    pipe->start();

    constexpr int keys = 10;
    for (std::uint16_t hid = 0x04; hid < 0x04 + keys; ++hid) {
        for (const auto state : {wire::KeyState::down, wire::KeyState::up}) {
            pipe->send(wire::InputEvent::Key{hid, state, false}, {}, wire::GesturePhase::none, 0,
                       std::nullopt);
        }
    }
    const auto keyLines = [&] { return countLines(*host.sink, {R"("op":"key")"}); };
    EXPECT_TRUE(eventually([&] { return keyLines() == 2 * keys; }));
    std::this_thread::sleep_for(100ms);  // a late duplicate would land by now
    EXPECT_EQ(keyLines(), 2u * keys) << "an event was performed twice";
    EXPECT_EQ(countLines(*host.sink, {R"("keyCode":0,)", R"("down":true)"}), 1u);
    // Each lost datagram fell back; an ack slower than 15 ms on a busy machine
    // may add one, which the host's replay window drops.
    EXPECT_GE(fallbacks.load(), keys);
    const int fallbacksAtClose = fallbacks.load();

    pipe->close();
    pipe->send(wire::InputEvent::Key{0x04, wire::KeyState::down, false}, {},
               wire::GesturePhase::none, 0, std::nullopt);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(keyLines(), 2u * keys);
    EXPECT_EQ(fallbacks.load(), fallbacksAtClose);
    queue->sync([] {});
}

}  // namespace
}  // namespace tarvel::server::testing
