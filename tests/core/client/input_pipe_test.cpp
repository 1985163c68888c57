#include <gtest/gtest.h>

#include <thread>

#include "core/client/input_pipe.hpp"
#include "core/wire/udp_codec.hpp"
#include "tests/fakes/manual_queue.hpp"

namespace tarvel::client {
namespace {

using namespace std::chrono_literals;
using diagnostics::LatencyMetric;
using wire::GesturePhase;
using wire::InputEvent;
using wire::InputPacket;
using wire::UDPCodec::sealAck;

wire::SymmetricKey keyOf(std::uint8_t fill) {
    return wire::SymmetricKey([&] { std::array<std::uint8_t, 32> b; b.fill(fill); return b; }());
}

const InputEvent keyDown = InputEvent::Key{4, wire::KeyState::down, false};
const InputEvent pointerMove = InputEvent::MouseMove{1, -1};

struct RecordingTransport final : DatagramTransport {
    void send(wire::ByteView datagram) override {
        sent.emplace_back(datagram.begin(), datagram.end());
        lastThread = std::this_thread::get_id();
    }
    void cancel() override { cancelled = true; }
    std::vector<wire::Bytes> sent;
    std::thread::id lastThread;
    bool cancelled = false;
};

struct InputPipeTest : ::testing::Test {
    InputPipeTest() { trace.setEnabled(true); }
    std::shared_ptr<InputPipe> makePipe(bool useQueue = true) {
        auto keep = [this](wire::ByteView p) { fallbacks.emplace_back(p.begin(), p.end()); };
        auto made = InputPipe::create(transport, key, useQueue, queue, keep, clock, trace);
        made->start();
        return made;
    }
    InputPacket sentPacket(std::size_t i) { return *wire::UDPCodec::open(transport->sent[i], key); }
    void ack(std::uint64_t seq) { pipe->received(sealAck(seq, key)); }
    void sendKey() { pipe->send(keyDown, {}, GesturePhase::none, 0); }
    double traced(LatencyMetric m) { return trace.summary(m).value().max; }
    std::shared_ptr<testing::FakeClock> clock = std::make_shared<testing::FakeClock>();
    std::shared_ptr<testing::ManualQueue> queue = std::make_shared<testing::ManualQueue>(clock);
    std::shared_ptr<RecordingTransport> transport = std::make_shared<RecordingTransport>();
    wire::SymmetricKey key = keyOf(7);
    diagnostics::LatencyTrace trace;
    std::vector<wire::Bytes> fallbacks;
    std::shared_ptr<InputPipe> pipe = makePipe();
};

TEST_F(InputPipeTest, numbersFromOneAndFallsBackOnlyForAckedEventsAsTheirClearForm) {
    const std::uint64_t touch = std::chrono::nanoseconds(clock->now().time_since_epoch()).count();
    clock->advance(2ms);
    pipe->send(keyDown, wire::ModifierMask::shift, GesturePhase::none, touch);
    pipe->send(pointerMove, {}, GesturePhase::none, 0);
    pipe->send(InputEvent::PinchZoom{0.1f, 1}, {}, GesturePhase::changed, 0);
    pipe->send(InputEvent::PinchZoom{0.1f, 1}, {}, GesturePhase::ended, 0);
    pipe->send(keyDown, {}, GesturePhase::none, 0, false);
    pipe->send(pointerMove, {}, GesturePhase::none, 0, true);
    clock->advance(3ms);
    queue->advance(InputPipe::ackTimeout);
    EXPECT_EQ(traced(LatencyMetric::touchToSend), 5000.0);  // microseconds
    EXPECT_EQ(traced(LatencyMetric::pipeQueueDelay), 3000.0);
    ASSERT_EQ(transport->sent.size(), 6u);
    for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(sentPacket(i).seq, i + 1);
    const std::size_t acked[] = {0, 3, 5};
    ASSERT_EQ(fallbacks.size(), std::size(acked));
    for (std::size_t i = 0; i < std::size(acked); ++i) {
        EXPECT_EQ(*InputPacket::fromPlain20(fallbacks[i]), sentPacket(acked[i]));
    }
    queue->advance(1s);
    EXPECT_EQ(trace.summary(LatencyMetric::ackFallbacks)->count, 3u);  // and no second round
}

TEST_F(InputPipeTest, timelyAckSuppressesFallbackAndBadAcksChangeNothing) {
    sendKey();
    sendKey();
    queue->advance(14ms);
    ack(1);
    EXPECT_EQ(traced(LatencyMetric::ackRTT), 14000.0);
    ack(9);                                // never sent
    pipe->received(sealAck(2, keyOf(8)));  // forged: another key
    pipe->received(wire::ByteView(sealAck(2, key)).first(27));
    pipe->received(transport->sent[1]);  // not an ack at all
    queue->advance(1ms);
    ASSERT_EQ(fallbacks.size(), 1u);
    EXPECT_EQ(InputPacket::fromPlain20(fallbacks[0])->seq, 2u);
    queue->advance(1s);
    pipe->transportFailed();
    sendKey();
    queue->runPending();
    EXPECT_EQ(traced(LatencyMetric::packetsPerSecond), 2.0);  // the first second's count
    ack(3);                                                   // no longer receiving
    queue->advance(1s);
    EXPECT_EQ(fallbacks.size(), 2u);
}

TEST_F(InputPipeTest, closeStopsSendingAndFallbacksAndInlineModeSendsOnCallersThread) {
    sendKey();
    queue->runPending();
    sendKey();  // queued before close, never sent
    pipe->close();
    sendKey();
    queue->runPending();
    queue->advance(1s);
    EXPECT_EQ(transport->sent.size(), 1u);
    EXPECT_TRUE(fallbacks.empty());
    EXPECT_TRUE(transport->cancelled);
    pipe = makePipe(false);  // inline: sends on the caller's thread
    std::thread::id callerId;
    std::thread([&] { callerId = std::this_thread::get_id(), sendKey(); }).join();
    ASSERT_EQ(transport->sent.size(), 2u);
    EXPECT_EQ(transport->lastThread, callerId);
    queue->advance(InputPipe::ackTimeout);
    EXPECT_EQ(fallbacks.size(), 1u);
}

}  // namespace
}  // namespace tarvel::client
