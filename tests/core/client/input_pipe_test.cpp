#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <thread>
#include <vector>

#include "core/client/input_pipe.hpp"
#include "core/wire/sequence.hpp"
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
    std::array<std::uint8_t, 32> bytes{};
    bytes.fill(fill);
    return wire::SymmetricKey(bytes);
}

const InputEvent keyDown = InputEvent::Key{4, wire::KeyState::down, false};
const InputEvent pointerMove = InputEvent::MouseMove{1, -1};
const InputEvent pinch = InputEvent::PinchZoom{0.1f, 1};

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
    std::shared_ptr<InputPipe> makePipe(std::shared_ptr<DatagramTransport> udp, bool useQueue,
                                        InputPipe::Fallback fallback) {
        auto made = InputPipe::create(udp, key, useQueue, queue, fallback, clock, trace);
        made->start();
        return made;
    }
    std::shared_ptr<InputPipe> makePipe(bool useQueue = true) {
        return makePipe(transport, useQueue, [this](wire::ByteView plain) {
            fallbacks.emplace_back(plain.begin(), plain.end());
        });
    }
    InputPacket sentPacket(std::size_t i) { return *wire::UDPCodec::open(transport->sent[i], key); }
    void ack(std::uint64_t seq) { pipe->received(sealAck(seq, key)); }
    void sendKey() { pipe->send(keyDown, {}, GesturePhase::none, 0); }

    std::shared_ptr<testing::FakeClock> clock = std::make_shared<testing::FakeClock>();
    std::shared_ptr<testing::ManualQueue> queue = std::make_shared<testing::ManualQueue>(clock);
    std::shared_ptr<RecordingTransport> transport = std::make_shared<RecordingTransport>();
    wire::SymmetricKey key = keyOf(7);
    diagnostics::LatencyTrace trace;
    std::vector<wire::Bytes> fallbacks;
    std::shared_ptr<InputPipe> pipe = makePipe();
    double traced(LatencyMetric metric) {
        return trace.summary(metric).value_or(diagnostics::LatencySummary{}).max;
    }
};

TEST_F(InputPipeTest, numbersFromOneAndFallsBackOnlyForAckedEventsAsTheirClearForm) {
    const std::uint64_t touch = std::chrono::nanoseconds(clock->now().time_since_epoch()).count();
    clock->advance(2ms);
    pipe->send(keyDown, wire::ModifierMask::shift, GesturePhase::none, touch);
    pipe->send(pointerMove, {}, GesturePhase::none, 0);
    pipe->send(pinch, {}, GesturePhase::changed, 0);
    pipe->send(pinch, {}, GesturePhase::ended, 0);
    pipe->send(keyDown, {}, GesturePhase::none, 0, false);
    pipe->send(pointerMove, {}, GesturePhase::none, 0, true);
    EXPECT_TRUE(transport->sent.empty());  // queued, not sent inline
    clock->advance(3ms);
    queue->advance(InputPipe::ackTimeout);
    EXPECT_EQ(traced(LatencyMetric::touchToSend), 5000.0);  // microseconds
    EXPECT_EQ(traced(LatencyMetric::pipeQueueDelay), 3000.0);
    ASSERT_EQ(transport->sent.size(), 6u);
    for (std::size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(sentPacket(i).seq, i + 1);
    }
    const std::array<std::size_t, 3> acked = {0, 3, 5};
    ASSERT_EQ(fallbacks.size(), acked.size());
    for (std::size_t i = 0; i < acked.size(); ++i) {
        const auto& datagram = transport->sent[acked[i]];
        ASSERT_EQ(fallbacks[i].size(), InputPacket::plainLength);
        EXPECT_TRUE(std::equal(datagram.begin(), datagram.begin() + 12, fallbacks[i].begin()));
        EXPECT_EQ(*InputPacket::fromPlain20(fallbacks[i]), sentPacket(acked[i]));
    }
    queue->advance(1s);
    EXPECT_EQ(fallbacks.size(), 3u);
    EXPECT_EQ(trace.summary(LatencyMetric::ackFallbacks)->count, 3u);
}

TEST_F(InputPipeTest, timelyAckSuppressesFallbackAndBadOrLateAcksChangeNothing) {
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
    ack(2);  // late: already handed over
    queue->advance(1s);
    pipe->transportFailed();
    sendKey();
    queue->runPending();
    EXPECT_EQ(traced(LatencyMetric::packetsPerSecond), 2.0);  // the first second's count
    ack(3);                                                   // no longer receiving
    queue->advance(1s);
    EXPECT_EQ(fallbacks.size(), 2u);
}

TEST_F(InputPipeTest, closeStopsSendingAndFallbacks) {
    sendKey();
    queue->runPending();
    sendKey();  // queued before close, never sent
    pipe->close();
    sendKey();
    queue->runPending();
    EXPECT_EQ(queue->activeTimers(), 0u);  // the pending ack timeout was called off
    queue->advance(1s);
    EXPECT_EQ(transport->sent.size(), 1u);
    EXPECT_TRUE(fallbacks.empty());
    EXPECT_TRUE(transport->cancelled);
}

// Loses every other datagram and every third ack. The host side's replay
// window drops whichever copy of an event arrives second.
TEST_F(InputPipeTest, lossyLinkDeliversEveryAckedEventExactlyOnce) {
    struct LossyLink final : DatagramTransport {
        void send(wire::ByteView datagram) override {
            auto packet = wire::UDPCodec::open(datagram, test->key);
            if (++datagrams % 2 == 0 || !packet) {
                return;
            }
            deliver(*packet);
            if (packet->ackRequired && ++acks % 3 != 0) {
                test->queue->async([t = test, reply = sealAck(packet->seq, test->key)] {
                    t->pipe->received(reply);
                });
            }
        }
        void cancel() override {}
        void deliver(const InputPacket& packet) {
            delivered[packet.seq] += window.accept(packet.seq);
        }
        InputPipeTest* test = nullptr;
        wire::SequenceWindow window;
        std::map<std::uint64_t, int> delivered;
        int datagrams = 0, acks = 0, fallbacks = 0;
    };
    auto link = std::make_shared<LossyLink>();
    link->test = this;
    pipe = makePipe(link, true, [&](wire::ByteView plain) {
        ++link->fallbacks;
        link->deliver(*InputPacket::fromPlain20(plain));
    });
    for (int i = 0; i < 60; ++i) {
        sendKey();
        queue->advance(3ms);
    }
    queue->advance(1s);
    ASSERT_EQ(link->delivered.size(), 60u);
    EXPECT_TRUE(
        std::ranges::all_of(link->delivered, [](auto& entry) { return entry.second == 1; }));
    EXPECT_EQ(link->fallbacks, 30 + 10);  // every lost datagram and every lost ack
}

TEST_F(InputPipeTest, inlineModeSendsOnCallersThread) {
    pipe = makePipe(false);
    std::thread caller([&] { sendKey(); });
    const auto callerId = caller.get_id();
    caller.join();
    ASSERT_EQ(transport->sent.size(), 1u);
    EXPECT_EQ(transport->lastThread, callerId);
    queue->advance(InputPipe::ackTimeout);
    EXPECT_EQ(fallbacks.size(), 1u);
}

}  // namespace
}  // namespace tarvel::client
