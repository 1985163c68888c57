#include "core/wire/udp_codec.hpp"

#include <algorithm>
#include <span>

#include "core/wire/secure_channel.hpp"

namespace tarvel::wire::UDPCodec {

namespace {

constexpr std::size_t headerLength = InputPacket::headerLength;
constexpr std::size_t payloadLength = InputEvent::payloadLength;
constexpr std::size_t seqOffset = 4;

static_assert(headerLength + payloadLength + ChaChaPoly::tagLength == datagramLength);
static_assert(headerLength + ChaChaPoly::tagLength == ackLength);

}  // namespace

Datagram seal(const InputPacket& packet, const SymmetricKey& key) noexcept {
    Datagram out{};
    const auto header = packet.headerBytes();
    const auto payload = packet.event.encodePayload();
    std::copy(header.begin(), header.end(), out.begin());
    const std::span<std::uint8_t, datagramLength> view(out);
    // The header is authenticated but left readable: the host needs the
    // version and seq before it can decrypt.
    ChaChaPoly::sealDetached(key, makeNonceBytes(NoncePrefix::clientUDP, packet.seq), header,
                             payload, view.subspan<headerLength, payloadLength>(),
                             view.last<ChaChaPoly::tagLength>());
    return out;
}

tl::expected<InputPacket, WireError> open(ByteView datagram, const SymmetricKey& key) noexcept {
    // Size and version first: both are free to check and spare the cipher
    // work on stray traffic.
    if (datagram.size() != datagramLength) {
        return tl::unexpected(WireError::truncated());
    }
    if (datagram[0] != InputPacket::version) {
        return tl::unexpected(WireError::badVersion(datagram[0]));
    }
    const auto header = datagram.first<headerLength>();
    const std::uint64_t seq = loadLE64(&datagram[seqOffset]);

    InputPacket::Plain plain{};
    std::copy(header.begin(), header.end(), plain.begin());
    const std::span<std::uint8_t, InputPacket::plainLength> plainView(plain);
    // The nonce comes from the header's seq, which the tag also covers, so an
    // altered seq fails here rather than opening under another nonce.
    if (!ChaChaPoly::openDetached(key, makeNonceBytes(NoncePrefix::clientUDP, seq), header,
                                  datagram.subspan(headerLength, payloadLength),
                                  datagram.last<ChaChaPoly::tagLength>(),
                                  plainView.subspan<headerLength, payloadLength>())) {
        return tl::unexpected(WireError::authenticationFailed());
    }
    // The remaining checks are those of a clear packet, in the same order.
    return InputPacket::fromPlain20(plain);
}

Ack sealAck(std::uint64_t seq, const SymmetricKey& key) noexcept {
    Ack out{};
    out[0] = InputPacket::version;
    out[1] = Opcode::ack;
    storeLE64(&out[seqOffset], seq);
    const std::span<std::uint8_t, ackLength> view(out);
    ChaChaPoly::sealDetached(key, makeNonceBytes(NoncePrefix::hostUDP, seq),
                             view.first<headerLength>(), ByteView{}, std::span<std::uint8_t>{},
                             view.last<ChaChaPoly::tagLength>());
    return out;
}

bool isAck(ByteView datagram) noexcept {
    return datagram.size() == ackLength && datagram[1] == Opcode::ack;
}

tl::expected<std::uint64_t, WireError> openAck(ByteView datagram,
                                               const SymmetricKey& key) noexcept {
    if (datagram.size() != ackLength) {
        return tl::unexpected(WireError::truncated());
    }
    if (datagram[0] != InputPacket::version || datagram[1] != Opcode::ack) {
        return tl::unexpected(WireError::malformed());
    }
    const std::uint64_t seq = loadLE64(&datagram[seqOffset]);
    if (!ChaChaPoly::openDetached(
            key, makeNonceBytes(NoncePrefix::hostUDP, seq), datagram.first<headerLength>(),
            ByteView{}, datagram.last<ChaChaPoly::tagLength>(), std::span<std::uint8_t>{})) {
        return tl::unexpected(WireError::authenticationFailed());
    }
    return seq;
}

}  // namespace tarvel::wire::UDPCodec
