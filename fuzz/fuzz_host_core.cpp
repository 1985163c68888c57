// The host's protocol core driven by arbitrary event sequences: raw bytes on
// up to four connections, raw datagrams on up to four flows, ticks with
// advancing time, and a phone that pairs, authenticates and then sends sealed
// frames and datagrams whose contents the input chooses, so the fuzzer gets
// past the handshakes. Nothing may crash; the host's bytes are always whole,
// well-formed frames; nothing is sent on a connection after it was closed;
// after stop the host only turns away what still arrives.
#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <variant>

#include "core/security/client_handshakes.hpp"
#include "core/security/hex.hpp"
#include "core/wire/frame.hpp"
#include "core/wire/input_packet.hpp"
#include "core/wire/udp_codec.hpp"
#include "fuzz/fuzz_support.hpp"
#include "host/server/host_core.hpp"

namespace {

using namespace tarvel;
using namespace tarvel::server;
using namespace std::chrono_literals;
using fuzz::check;

/// Reads the input front to back; past the end every read is zero.
struct Reader {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t at = 0;
    bool done() const { return at >= size; }
    std::uint8_t byte() { return at < size ? data[at++] : 0; }
    wire::ByteView take(std::size_t count) {
        count = std::min(count, size - std::min(at, size));
        wire::ByteView view(data + at, count);
        at += count;
        return view;
    }
};

/// Checks what the core asks the shell to do.
struct CheckingSink final : ActionSink {
    std::map<ConnectionId, wire::TCPFrameDecoder> sent;
    std::set<ConnectionId> closed;
    std::vector<store::SaveClient> saves;
    bool stopped = false;

    void perform(Action&& action) override {
        if (stopped) {
            // A stopped host only turns away what still arrives and lets the
            // user forget a device.
            check(std::holds_alternative<Close>(action) ||
                  std::holds_alternative<DropFlow>(action) ||
                  std::holds_alternative<store::RemoveClient>(action) ||
                  std::holds_alternative<Notify>(action));
        }
        if (auto* send = std::get_if<Send>(&action)) {
            check(!closed.contains(send->connection));
            auto& decoder = sent[send->connection];
            decoder.append(wire::ByteView(send->bytes));
            // Every frame the host writes is within the frame rules.
            for (auto next = decoder.next(); next && *next; next = decoder.next()) {
            }
            check(decoder.next().has_value());
            if (send->thenClose) {
                closed.insert(send->connection);
            }
        } else if (auto* close = std::get_if<Close>(&action)) {
            closed.insert(close->connection);
        } else if (auto* save = std::get_if<store::SaveClient>(&action)) {
            saves.push_back(*save);
        }
    }
};

security::LocalIdentity fixedIdentity(std::uint8_t first) {
    std::array<std::uint8_t, security::LocalIdentity::seedSize> seed{};
    for (std::size_t i = 0; i < seed.size(); ++i) {
        seed[i] = static_cast<std::uint8_t>(first + i);
    }
    return *security::LocalIdentity::fromSeed(
        "00000000-0000-4000-8000-00000000000" + std::to_string(first % 10), seed);
}

discovery::NetworkEndpoint address(std::uint8_t pick, std::uint16_t port) {
    // Mostly LAN addresses the filter admits; some it refuses.
    const std::uint8_t first = (pick & 0x80) != 0 ? 8 : 192;
    return {discovery::IPv4Address{{first, 168, 1, static_cast<std::uint8_t>(pick & 7)}}, port};
}

/// The phone, built from the core's client halves.
struct Phone {
    security::ClientDescriptor descriptor{fixedIdentity(100), "Phone", "Handset"};
    std::optional<pairing::PairedHostRecord> host;
    std::unique_ptr<wire::SecureTCPChannel> channel;
    wire::SymmetricKey key{};
    ConnectionId connection = 0;
};

struct Harness {
    std::shared_ptr<pairing::PairedStore> store;
    HostCore core;
    CheckingSink out;
    Now now{base::MonotonicTime{} + 1000s, base::WallTime{} + 1'800'000'000s};
    ConnectionId nextConnection = 1;
    std::array<ConnectionId, 4> slots{};
    std::set<FlowId> flows;
    Phone phone;
    // Handshakes cost real key agreement and signatures; a few per input
    // reach every phase, more only slow the fuzzer down.
    int handshakesLeft = 6;
    std::optional<std::string> code;  // the code on show, as the user reads it

    explicit Harness(const std::filesystem::path& folder)
        : store(std::make_shared<pairing::PairedStore>(folder)),
          core(fixedIdentity(1), store) {
        core.setContext(HostContext{"Desk", "desktop", {"192.168.1.2:49182"}, {}, 49182});
    }

    ConnectionId open(std::uint8_t slot, std::uint8_t pick) {
        const ConnectionId id = nextConnection++;
        slots[slot % slots.size()] = id;
        core.connectionOpened(id, address(pick, 50000), now, out);
        return id;
    }

    /// The last frame the host sent on `id`, read from the recorded sends.
    std::optional<wire::TCPFrame> lastFrame(ConnectionId id, const std::vector<Action>& log) {
        wire::TCPFrameDecoder decoder;
        for (const auto& action : log) {
            if (const auto* send = std::get_if<Send>(&action); send && send->connection == id) {
                decoder.append(wire::ByteView(send->bytes));
            }
        }
        std::optional<wire::TCPFrame> last;
        for (auto next = decoder.next(); next && *next; next = decoder.next()) {
            last = **next;
        }
        return last;
    }
};

/// Forwards to the checking sink and keeps the actions of one step.
struct Tee final : ActionSink {
    ActionSink& next;
    std::vector<Action> log;
    explicit Tee(ActionSink& sink) : next(sink) {}
    void perform(Action&& action) override {
        log.push_back(action);
        next.perform(std::move(action));
    }
};

/// Pairs with the code on show (a fresh one when asked or none is shown), or
/// with a wrong one; repeated wrong codes wear the code out.
void pairPhone(Harness& h, std::uint8_t slot, bool wrongCode, bool freshCode) {
    if (h.core.stopped()) {
        return;
    }
    if (freshCode || !h.code) {
        h.code = h.core.beginPairing().code;
    }
    std::string code = *h.code;
    if (wrongCode) {
        code[0] = code[0] == '9' ? '0' : static_cast<char>(code[0] + 1);
    }
    const ConnectionId id = h.open(slot, 0);
    h.phone.connection = id;
    security::ClientPairingHandshake handshake(h.phone.descriptor, code,
                                               security::X25519PrivateKey::generate(),
                                               security::Hex::random(16));
    Tee tee(h.out);
    auto request = handshake.makeRequest();
    check(request.has_value());
    if (auto frame = wire::TCPFrameCodec::encodePlain(wire::FrameType::pairRequest, *request)) {
        h.core.bytesReceived(id, *frame, h.now, tee);
    }
    auto challenge = h.lastFrame(id, tee.log);
    if (!challenge || challenge->type != wire::FrameType::pairChallenge) {
        return;
    }
    auto confirm = handshake.handleChallenge(challenge->body);
    if (!confirm) {
        return;
    }
    tee.log.clear();
    if (auto frame = wire::TCPFrameCodec::encodePlain(wire::FrameType::pairConfirm, *confirm)) {
        h.core.bytesReceived(id, *frame, h.now, tee);
    }
    for (const auto& action : tee.log) {
        if (const auto* save = std::get_if<store::SaveClient>(&action)) {
            h.store->upsertClient(save->record);
            h.core.pairingSaved(save->connection, true, "", h.now, tee);
        }
    }
    auto complete = h.lastFrame(id, tee.log);
    if (complete && complete->type == wire::FrameType::pairComplete) {
        auto result = handshake.handleComplete(complete->body, h.now.wall);
        check(result.has_value());  // the real host's completion always verifies
        h.phone.host = result->host;
        h.phone.key = result->keys.sessionKey;
        h.phone.channel = std::make_unique<wire::SecureTCPChannel>(
            h.phone.key, wire::SecureTCPChannel::Role::client);
    } else {
        // A correct fresh code always pairs.
        check(wrongCode || !freshCode);
    }
}

void authenticatePhone(Harness& h, std::uint8_t slot) {
    if (!h.phone.host) {
        return;
    }
    const ConnectionId id = h.open(slot, 0);
    h.phone.connection = id;
    security::ClientAuthHandshake handshake(h.phone.descriptor, *h.phone.host,
                                            security::X25519PrivateKey::generate(),
                                            security::Hex::random(16));
    Tee tee(h.out);
    auto hello = handshake.makeHello();
    check(hello.has_value());
    if (auto frame = wire::TCPFrameCodec::encodePlain(wire::FrameType::authHello, *hello)) {
        h.core.bytesReceived(id, *frame, h.now, tee);
    }
    auto challenge = h.lastFrame(id, tee.log);
    if (!challenge) {
        return;
    }
    auto result = handshake.handleChallenge(challenge->body);
    if (!result) {
        return;  // the phone was forgotten, or the host refused
    }
    if (auto frame =
            wire::TCPFrameCodec::encodePlain(wire::FrameType::authResponse, result->responseBody)) {
        h.core.bytesReceived(id, *frame, h.now, tee);
    }
    h.phone.key = result->keys.sessionKey;
    h.phone.channel = std::make_unique<wire::SecureTCPChannel>(
        h.phone.key, wire::SecureTCPChannel::Role::client);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::quietLog();
    Harness h(fuzz::freshFolder("host-core"));
    Reader in{data, size};
    // Bounded by the input: every step reads at least one byte.
    while (!in.done()) {
        const std::uint8_t op = in.byte();
        h.out.stopped = h.core.stopped();
        switch (op % 16) {
            case 0:
                h.open(in.byte(), in.byte());
                break;
            case 1:
            case 2: {  // raw bytes on a connection
                const ConnectionId id = h.slots[in.byte() % h.slots.size()];
                const auto bytes = in.take(in.byte());
                h.core.bytesReceived(id, bytes, h.now, h.out);
                break;
            }
            case 3:
                h.core.connectionEnded(h.slots[in.byte() % h.slots.size()], "peer closed", h.now,
                                       h.out);
                break;
            case 4: {  // time passes
                const auto step = std::chrono::milliseconds(in.byte()) * 100;
                h.now.mono += step;
                h.now.wall += step;
                h.core.tick(h.now, h.out);
                break;
            }
            case 5: {
                const FlowId flow = 1 + in.byte() % 4;
                h.flows.insert(flow);
                h.core.flowOpened(flow, address(in.byte(), 40000), h.now, h.out);
                break;
            }
            case 6: {  // a raw datagram
                const FlowId flow = 1 + in.byte() % 4;
                const auto bytes = in.take(in.byte() % 2 == 0 ? wire::UDPCodec::datagramLength
                                                              : in.byte() % 64);
                h.core.datagramReceived(flow, bytes, 0, h.now, h.out);
                break;
            }
            case 7: {
                const std::uint8_t slot = in.byte();
                const std::uint8_t how = in.byte();
                if (h.handshakesLeft-- > 0) {
                    pairPhone(h, slot, (how & 1) != 0, (how & 2) != 0);
                }
                break;
            }
            case 8: {
                const std::uint8_t slot = in.byte();
                if (h.handshakesLeft-- > 0) {
                    authenticatePhone(h, slot);
                }
                break;
            }
            case 9:
            case 10: {  // a sealed frame from the phone
                const std::uint8_t type = in.byte();
                const auto body = in.take(in.byte());
                if (h.phone.channel) {
                    if (auto frame = h.phone.channel->seal(type, body)) {
                        h.core.bytesReceived(h.phone.connection, *frame, h.now, h.out);
                    }
                }
                break;
            }
            case 11:
            case 12: {  // a sealed datagram from the phone
                const FlowId flow = 1 + in.byte() % 4;
                const auto plain = in.take(wire::InputPacket::plainLength);
                auto packet = wire::InputPacket::fromPlain20(plain);
                if (packet && h.phone.channel) {
                    if (!h.flows.contains(flow)) {
                        h.flows.insert(flow);
                        h.core.flowOpened(flow, address(0, 40000), h.now, h.out);
                    }
                    h.core.datagramReceived(flow, wire::UDPCodec::seal(*packet, h.phone.key), 1,
                                            h.now, h.out);
                }
                break;
            }
            case 13:
                if (!h.out.saves.empty()) {
                    const auto save = h.out.saves.back();
                    h.out.saves.pop_back();
                    h.core.pairingSaved(save.connection, (in.byte() & 1) != 0, "disk full",
                                        h.now, h.out);
                } else {
                    h.core.moveInjected(h.out);
                }
                break;
            case 14:
                switch (in.byte() % 4) {
                    case 0:
                        h.core.endPairing();
                        break;
                    case 1:
                        h.core.padMappingChanged(h.out);
                        break;
                    case 2:
                        h.core.removeClient(h.phone.descriptor.identity.id(), h.now, h.out);
                        break;
                    default:
                        h.core.flowEnded(1 + in.byte() % 4);
                        break;
                }
                break;
            default:
                if ((in.byte() & 7) == 0) {
                    h.core.stop(h.now, h.out);
                    check(h.core.stopped() && h.core.sessionCount() == 0 &&
                          !h.core.isControlled());
                }
                break;
        }
        check(h.core.flowCount() <= Limits{}.maxUdpPeers);
    }
    h.core.stop(h.now, h.out);
    check(h.core.sessionCount() == 0 && h.core.flowCount() == 0);
    return 0;
}
