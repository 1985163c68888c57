#include "core/wire/udp_codec.hpp"

#include <gtest/gtest.h>
#include <sodium.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <vector>

// Counts this thread's heap allocations, including those inside the library,
// to show the host's hot path makes none.
namespace {
thread_local std::size_t allocationsOnThisThread = 0;
}

void* operator new(std::size_t size) {
    ++allocationsOnThisThread;
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace tarvel::wire {
namespace {

using E = InputEvent;

SymmetricKey keyFilledWith(std::uint8_t seed) {
    std::array<std::uint8_t, SymmetricKey::size> bytes{};
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(seed + i * 7);
    }
    return SymmetricKey(bytes);
}

const SymmetricKey sessionKey = keyFilledWith(0x11);
const auto authFailed = tl::make_unexpected(WireError::authenticationFailed());
const auto truncated = tl::make_unexpected(WireError::truncated());

template <std::size_t N>
std::string hexOf(const std::array<std::uint8_t, N>& bytes) {
    char out[2 * N + 1];
    return sodium_bin2hex(out, sizeof out, bytes.data(), N);
}

// Seals straight through libsodium with a hand-written nonce (four ASCII bytes,
// then the seq): authentic datagrams the codec would never produce.
Bytes sealRaw(std::uint8_t opcode, std::uint8_t flags, std::uint64_t seq, ByteView payload,
              const char (&prefix)[5] = "CUDP") {
    EXPECT_GE(sodium_init(), 0);
    Bytes out(12 + payload.size() + 16);
    out[0] = 1;
    out[1] = opcode;
    out[3] = flags;
    storeLE64(&out[4], seq);
    std::array<std::uint8_t, 12> nonce{};
    std::copy(prefix, prefix + 4, nonce.begin());
    std::copy(out.begin() + 4, out.begin() + 12, nonce.begin() + 4);
    crypto_aead_chacha20poly1305_ietf_encrypt_detached(
        out.data() + 12, out.data() + 12 + payload.size(), nullptr, payload.data(), payload.size(),
        out.data(), 12, nullptr, nonce.data(), sessionKey.data());
    return out;
}

// Flips each bit of `sealed` in turn; `open` must refuse every copy with the
// error `expected(bit)` names.
template <class Sealed, class Open, class Expected>
void expectEveryBitFlipRefused(const Sealed& sealed, Open open, Expected expected) {
    for (std::size_t bit = 0; bit < sealed.size() * 8; ++bit) {
        Sealed flipped = sealed;
        flipped[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        auto opened = open(flipped);
        ASSERT_FALSE(opened.has_value()) << "bit " << bit;
        EXPECT_EQ(opened.error(), expected(bit, flipped)) << "bit " << bit;
    }
}

// The expected bytes were computed with libsodium directly from the
// hand-written nonce ("CUDP"/"HUDP" + little-endian seq) and header as AAD.
TEST(UDPCodec, datagramAndAckMatchTheirKnownBytesAndEveryPhaseAndAckRoundTrips) {
    const InputPacket keyDown(0x0A0B0C0D0E0F1011ULL, E::Key{4, KeyState::down, false},
                              ModifierMask::shift);
    EXPECT_EQ(hexOf(UDPCodec::seal(keyDown, sessionKey)),
              "0104010111100f0e0d0c0b0a"            // clear header
              "4e5c0848b57eb28a"                    // sealed payload
              "169de9512d881427622f6adaee4e3c8c");  // tag
    EXPECT_EQ(hexOf(UDPCodec::sealAck(7, sessionKey)),
              "01fe00000700000000000000"
              "88c50eddfb42f5bc5da38be7de656d7b");
    std::uint64_t seq = 0x7FFFFFFFFFFFFFF0ULL;
    for (int phase = 0; phase <= 5; ++phase) {
        for (bool ack : {false, true}) {
            const auto modifiers = ModifierMask(static_cast<std::uint8_t>(++seq));
            const InputPacket packet(seq, E::GamepadButtons{0xDEADBEEF, 8, 255, 128}, modifiers,
                                     GesturePhase(phase), ack);
            EXPECT_EQ(UDPCodec::open(UDPCodec::seal(packet, sessionKey), sessionKey), packet);
        }
    }
    for (std::uint64_t ackSeq : {1ULL, 0x0102030405060708ULL, ~0ULL}) {
        EXPECT_EQ(UDPCodec::openAck(UDPCodec::sealAck(ackSeq, sessionKey), sessionKey), ackSeq);
    }
}

TEST(UDPCodecOpen, everySingleBitFlipFailsToOpen) {
    const InputPacket packet(0x1234, E::MouseButton{1, true, 1}, ModifierMask::shift,
                             GesturePhase::began);
    // The version byte is judged before the tag; everything else is covered by it.
    expectEveryBitFlipRefused(
        UDPCodec::seal(packet, sessionKey),
        [](const auto& flipped) { return UDPCodec::open(flipped, sessionKey); },
        [](std::size_t bit, const auto& flipped) {
            return bit < 8 ? WireError::badVersion(flipped[0]) : WireError::authenticationFailed();
        });
}

TEST(UDPCodecOpen, refusesWrongLengthFirstThenAnotherKeyOrStreamThenBadFields) {
    const auto valid = UDPCodec::seal(InputPacket(1, E::ResetState{}), sessionKey);
    Bytes bytes(valid.begin(), valid.end());
    bytes[0] = 9;  // a bad version too: the length must still win
    for (std::size_t length : {1u, 20u, 28u, 35u, 37u, 64u, 0u}) {
        bytes.resize(length, 0x00);
        EXPECT_EQ(UDPCodec::open(bytes, sessionKey), truncated) << length;
    }
    const std::array<std::uint8_t, 8> payload{3};
    const Bytes media = sealRaw(Opcode::mediaKey, 0x01, 77, payload);
    ASSERT_TRUE(UDPCodec::open(media, sessionKey).has_value());
    EXPECT_EQ(UDPCodec::open(media, keyFilledWith(0x12)), authFailed);
    EXPECT_EQ(UDPCodec::open(sealRaw(Opcode::mediaKey, 0x01, 77, payload, "HUDP"), sessionKey),
              authFailed);
    // Bad flags and opcode: malformed once authentic, but the tag is judged first.
    Bytes bad = sealRaw(5, 0x60, 3, payload);
    EXPECT_EQ(UDPCodec::open(bad, sessionKey), tl::make_unexpected(WireError::malformed()));
    bad.back() ^= 1;
    EXPECT_EQ(UDPCodec::open(bad, sessionKey), authFailed);
}

TEST(UDPCodecOpen, allocatesNothingOnSuccessOrFailure) {
    static_assert(noexcept(UDPCodec::open(ByteView{}, sessionKey)));
    const auto datagram = UDPCodec::seal(InputPacket(9, E::MouseMove{1, 2}), sessionKey);
    auto tampered = datagram;
    tampered[30] ^= 1;
    const Bytes shortDatagram(35, 0x01);
    ASSERT_TRUE(UDPCodec::open(datagram, sessionKey).has_value());  // warm up libsodium

    const std::size_t before = allocationsOnThisThread;
    const bool ok = UDPCodec::open(datagram, sessionKey).has_value();
    const bool tamperedOk = UDPCodec::open(tampered, sessionKey).has_value();
    const bool shortOk = UDPCodec::open(shortDatagram, sessionKey).has_value();
    const std::size_t after = allocationsOnThisThread;
    EXPECT_TRUE(ok && !tamperedOk && !shortOk);
    EXPECT_EQ(after - before, 0u);
}

TEST(UDPCodecAck, knownByLengthAndOpcodeAndOpenedOnlyUnderTheHostsStreamAndKey) {
    const auto ack = UDPCodec::sealAck(3, sessionKey);
    Bytes forged(28, 0x00);
    forged[1] = Opcode::ack;
    EXPECT_TRUE(UDPCodec::isAck(forged));
    forged[1] = Opcode::keyEvent;
    EXPECT_FALSE(UDPCodec::isAck(forged));
    for (std::size_t length : {0u, 27u, 29u, 36u}) {
        Bytes resized(ack.begin(), ack.end());
        resized.resize(length, 0x00);
        EXPECT_FALSE(UDPCodec::isAck(resized)) << length;
        EXPECT_EQ(UDPCodec::openAck(resized, sessionKey), truncated) << length;
    }
    EXPECT_EQ(UDPCodec::openAck(ack, keyFilledWith(0x99)), authFailed);
    // A tag made under the client's datagram prefix is not an acknowledgement.
    EXPECT_EQ(UDPCodec::openAck(sealRaw(Opcode::ack, 0, 3, ByteView{}), sessionKey), authFailed);
    // Version and opcode are checked before the tag.
    expectEveryBitFlipRefused(
        ack, [](const auto& flipped) { return UDPCodec::openAck(flipped, sessionKey); },
        [](std::size_t bit, const auto&) {
            return bit < 16 ? WireError::malformed() : WireError::authenticationFailed();
        });
}

}  // namespace
}  // namespace tarvel::wire
