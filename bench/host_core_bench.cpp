// The host's protocol core alone: what one input datagram costs before any
// thread hop, with one or eight paired phones (one failed AEAD open per
// session that is not the sender), and what a junk datagram costs per session.
#include <benchmark/benchmark.h>

#include "core/security/client_handshakes.hpp"
#include "core/security/hex.hpp"
#include "host/server/host_core.hpp"

namespace {

using namespace tarvel;
using namespace std::chrono_literals;

/// Counts actions without keeping them.
struct CountingSink final : server::ActionSink {
    std::size_t count = 0;
    void perform(server::Action&&) override { ++count; }
};

/// Captures the frames the core sends, for the in-memory handshake.
struct FrameSink final : server::ActionSink {
    wire::TCPFrameDecoder decoder;
    std::optional<std::string> savedClient;
    void perform(server::Action&& action) override {
        if (auto* send = std::get_if<server::Send>(&action)) {
            decoder.append(send->bytes);
        } else if (auto* save = std::get_if<server::store::SaveClient>(&action)) {
            savedClient = save->record.clientId;
        }
    }
    wire::TCPFrame next() { return **decoder.next(); }
};

struct PairedCore {
    explicit PairedCore(int phones) {
        for (int i = 0; i < phones; ++i) {
            const server::ConnectionId id = i + 1;
            core.connectionOpened(
                id, discovery::NetworkEndpoint{discovery::IPv4Address{{10, 0, 0, 2}}, 5000}, now,
                frames);
            security::ClientPairingHandshake client(
                security::ClientDescriptor{security::LocalIdentity::generate(), "Phone", "iPhone"},
                core.beginPairing().code, security::X25519PrivateKey::generate(),
                security::Hex::random(16));
            core.bytesReceived(id,
                               *wire::TCPFrameCodec::encodePlain(wire::FrameType::pairRequest,
                                                                 *client.makeRequest()),
                               now, frames);
            const auto confirm = client.handleChallenge(frames.next().body);
            core.bytesReceived(
                id, *wire::TCPFrameCodec::encodePlain(wire::FrameType::pairConfirm, *confirm), now,
                frames);
            core.pairingSaved(id, true, "", now, frames);
            key = client.handleComplete(frames.next().body, now.wall)->keys.sessionKey;
        }
        core.flowOpened(1, discovery::NetworkEndpoint{discovery::IPv4Address{{10, 0, 0, 2}}, 6000},
                        now, frames);
    }
    std::shared_ptr<pairing::PairedStore> store =
        std::make_shared<pairing::PairedStore>(std::nullopt);
    server::HostCore core{security::LocalIdentity::generate(), store};
    server::Now now{base::MonotonicTime{} + 1h, base::WallTime{} + 1h};
    FrameSink frames;
    wire::SymmetricKey key{};  // the last phone's: every other key is tried first
};

void BM_CoreKeyDatagram(benchmark::State& state) {
    constexpr std::size_t count = 200000;
    PairedCore paired(static_cast<int>(state.range(0)));
    // Sealed beforehand: only the host's side is timed, every packet new.
    std::vector<wire::UDPCodec::Datagram> datagrams;
    datagrams.reserve(count);
    for (std::uint64_t seq = 1; seq <= count; ++seq) {
        datagrams.push_back(wire::UDPCodec::seal(
            wire::InputPacket(
                seq, wire::InputEvent(wire::InputEvent::Key{4, wire::KeyState::down, false}), {},
                wire::GesturePhase::none, true),
            paired.key));
    }
    CountingSink sink;
    std::size_t i = 0;
    for (auto _ : state) {
        paired.core.datagramReceived(1, datagrams[i++], 0, paired.now, sink);
    }
    benchmark::DoNotOptimize(sink.count);
}
BENCHMARK(BM_CoreKeyDatagram)->Arg(1)->Arg(8)->Iterations(200000);

/// Junk on a flow that once carried input (a phone's own port, forged), so
/// every established key is tried: the cost per session of a junk datagram.
/// With the second argument 1 the flow never carried input and, after a few
/// failures, no key is tried at all.
void BM_CoreJunkDatagram(benchmark::State& state) {
    PairedCore paired(static_cast<int>(state.range(0)));
    CountingSink sink;
    if (state.range(1) == 0) {
        paired.core.datagramReceived(
            1,
            wire::UDPCodec::seal(
                wire::InputPacket(
                    1, wire::InputEvent(wire::InputEvent::Key{4, wire::KeyState::down, false})),
                paired.key),
            0, paired.now, sink);
    }
    wire::UDPCodec::Datagram junk{};
    junk[0] = 1;  // the right version: only the tags refuse it
    for (auto _ : state) {
        ++junk[35];
        paired.core.datagramReceived(1, junk, 0, paired.now, sink);
    }
    benchmark::DoNotOptimize(sink.count);
}
BENCHMARK(BM_CoreJunkDatagram)->Args({1, 0})->Args({4, 0})->Args({8, 0})->Args({8, 1});

}  // namespace

BENCHMARK_MAIN();
