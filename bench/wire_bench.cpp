// Costs of the input hot path (datagram seal/open, replay window) and of cutting
// control frames out of large socket reads.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "core/wire/frame.hpp"
#include "core/wire/input_packet.hpp"
#include "core/wire/sequence.hpp"
#include "core/wire/udp_codec.hpp"

namespace {

using namespace tarvel::wire;

constexpr std::size_t socketReadSize = 64 * 1024;    // bytes handed to the decoder per read
constexpr std::size_t streamSize = 4 * 1024 * 1024;  // bytes of frames per benchmark pass

SymmetricKey benchKey() {
    std::array<std::uint8_t, SymmetricKey::size> bytes{};
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(0xA0 + i);
    }
    return SymmetricKey(bytes);
}

void BM_DatagramSeal(benchmark::State& state) {
    const SymmetricKey key = benchKey();
    std::uint64_t seq = 0;
    for (auto _ : state) {
        const InputPacket packet(++seq, InputEvent::MouseMove{1.5f, -0.5f});
        auto datagram = UDPCodec::seal(packet, key);
        benchmark::DoNotOptimize(datagram);
    }
}
BENCHMARK(BM_DatagramSeal);

void BM_DatagramOpen(benchmark::State& state) {
    const SymmetricKey key = benchKey();
    const auto datagram =
        UDPCodec::seal(InputPacket(42, InputEvent::Key{4, KeyState::down, false}), key);
    for (auto _ : state) {
        auto packet = UDPCodec::open(datagram, key);
        benchmark::DoNotOptimize(packet);
    }
    if (!UDPCodec::open(datagram, key)) {
        state.SkipWithError("datagram did not open");
    }
}
BENCHMARK(BM_DatagramOpen);

void BM_DatagramOpenForged(benchmark::State& state) {
    const SymmetricKey key = benchKey();
    auto datagram = UDPCodec::seal(InputPacket(42, InputEvent::MouseMove{1, 1}), key);
    datagram[35] ^= 1;
    for (auto _ : state) {
        auto packet = UDPCodec::open(datagram, key);
        benchmark::DoNotOptimize(packet);
    }
}
BENCHMARK(BM_DatagramOpenForged);

void BM_SequenceWindowAcceptInOrder(benchmark::State& state) {
    SequenceWindow window;
    std::uint64_t seq = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(window.accept(++seq));
    }
}
BENCHMARK(BM_SequenceWindowAcceptInOrder);

void BM_SequenceWindowRejectReplay(benchmark::State& state) {
    SequenceWindow window;
    for (std::uint64_t seq = 1; seq <= 1000; ++seq) {
        window.accept(seq);
    }
    std::uint64_t seq = 500;
    for (auto _ : state) {
        benchmark::DoNotOptimize(window.accept(seq));
        seq = seq == 1000 ? 500 : seq + 1;
    }
}
BENCHMARK(BM_SequenceWindowRejectReplay);

// A stream of identical frames with `bodySize`-byte bodies, cut into 64 KiB
// reads; frames straddle read boundaries as they would on a socket.
void BM_FrameDecoderThroughput(benchmark::State& state) {
    const auto bodySize = static_cast<std::size_t>(state.range(0));
    const auto frame = TCPFrameCodec::encodePlain(FrameType::reliableInput, Bytes(bodySize, 0x5A));
    if (!frame) {
        state.SkipWithError("frame did not encode");
        return;
    }
    Bytes stream;
    stream.reserve(streamSize + frame->size());
    while (stream.size() + frame->size() <= streamSize) {
        stream.insert(stream.end(), frame->begin(), frame->end());
    }
    const std::size_t framesPerPass = stream.size() / frame->size();

    for (auto _ : state) {
        TCPFrameDecoder decoder;
        std::size_t frames = 0;
        for (std::size_t at = 0; at < stream.size(); at += socketReadSize) {
            const std::size_t chunk = std::min(socketReadSize, stream.size() - at);
            decoder.append(ByteView(stream).subspan(at, chunk));
            while (true) {
                auto next = decoder.next();
                if (!next || !next->has_value()) {
                    break;
                }
                benchmark::DoNotOptimize(next->value().body.data());
                ++frames;
            }
        }
        if (frames != framesPerPass) {
            state.SkipWithError("decoder lost frames");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * framesPerPass));
}
BENCHMARK(BM_FrameDecoderThroughput)->Arg(20)->Arg(1024);

}  // namespace

BENCHMARK_MAIN();
