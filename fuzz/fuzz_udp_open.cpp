// UDPCodec::open on arbitrary datagrams under a fixed key, and a seal/open
// round trip of a packet built from the input: the opened packet matches,
// another key fails, and one flipped bit chosen by the input fails.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

#include "core/wire/udp_codec.hpp"

namespace {

using namespace tarvel::wire;

void check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

// Bytes 0, 1, 2 ... 31: the key the seed corpus was sealed under.
SymmetricKey fixedKey(std::uint8_t offset) {
    std::array<std::uint8_t, SymmetricKey::size> bytes{};
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(i + offset);
    }
    return SymmetricKey(bytes);
}

constexpr std::array<std::uint8_t, 12> definedOpcodes = {1, 2, 3, 4, 6, 7, 8, 9, 10, 11, 12, 15};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const SymmetricKey key = fixedKey(0);
    static const SymmetricKey otherKey = fixedKey(1);
    const ByteView input(data, size);

    // Arbitrary bytes as a received datagram.
    const auto opened = UDPCodec::open(input, key);
    if (size != UDPCodec::datagramLength) {
        check(!opened && opened.error() == WireError::truncated());
    } else if (data[0] != InputPacket::version) {
        check(!opened && opened.error() == WireError::badVersion(data[0]));
    } else if (opened) {
        // Only an authentic datagram opens; its header must be what was sent.
        check(opened->seq == loadLE64(data + 4));
        check(opened->modifierMask.rawValue == data[2]);
        check(opened->event.opcode() == data[1]);
    }
    if (UDPCodec::isAck(input)) {
        (void)UDPCodec::openAck(input, key);
    }

    // A valid clear packet shaped from the input, sealed and opened again.
    std::array<std::uint8_t, InputPacket::plainLength> plain{};
    std::copy_n(data, std::min(size, plain.size()), plain.begin());
    plain[0] = InputPacket::version;
    plain[1] = definedOpcodes[plain[1] % definedOpcodes.size()];
    plain[3] = static_cast<std::uint8_t>(plain[3] % 0x60);
    if (plain[1] == Opcode::keyEvent) {
        plain[12 + 2] = static_cast<std::uint8_t>(plain[12 + 2] % 3);
    }
    const auto packet = InputPacket::fromPlain20(plain);
    check(packet.has_value());

    const auto datagram = UDPCodec::seal(*packet, key);
    const auto back = UDPCodec::open(datagram, key);
    check(back.has_value());
    // Compared as bytes: a NaN field is equal to itself only bit for bit.
    check(back->plain20() == packet->plain20());
    check(!UDPCodec::open(datagram, otherKey));

    const std::size_t bit = size > plain.size() ? data[plain.size()] % (datagram.size() * 8) : 0;
    auto flipped = datagram;
    flipped[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    check(!UDPCodec::open(flipped, key));

    const auto ack = UDPCodec::sealAck(packet->seq, key);
    const auto acked = UDPCodec::openAck(ack, key);
    check(UDPCodec::isAck(ack) && acked && *acked == packet->seq);
    return 0;
}
