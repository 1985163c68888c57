#include "core/wire/udp_codec.hpp"

#include <gtest/gtest.h>
#include <sodium.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <vector>

// Counts heap allocations made by the current thread, so the host's hot path
// can be shown to allocate nothing. Replacing the global operator new is the
// only way to observe allocations made inside the library.
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

template <std::size_t N>
std::string hexOf(const std::array<std::uint8_t, N>& bytes) {
    std::string out;
    for (std::uint8_t b : bytes) {
        static constexpr char digits[] = "0123456789abcdef";
        out += digits[b >> 4];
        out += digits[b & 0x0F];
    }
    return out;
}

// Seals any 12-byte header and 8-byte payload straight through libsodium, with
// the nonce written out by hand (four ASCII bytes, then the header's seq), so
// tests can make authentic datagrams that the codec would never produce.
Bytes sealRaw(const std::array<std::uint8_t, 12>& header, ByteView payload,
              const char (&prefix)[5] = "CUDP") {
    if (sodium_init() < 0) {
        std::abort();
    }
    std::array<std::uint8_t, 12> nonce{};
    std::copy(prefix, prefix + 4, nonce.begin());
    std::copy(header.begin() + 4, header.end(), nonce.begin() + 4);
    Bytes out(12 + payload.size() + 16);
    std::copy(header.begin(), header.end(), out.begin());
    unsigned long long tagLength = 0;
    crypto_aead_chacha20poly1305_ietf_encrypt_detached(
        out.data() + 12, out.data() + 12 + payload.size(), &tagLength, payload.data(),
        payload.size(), header.data(), header.size(), nullptr, nonce.data(), sessionKey.data());
    return out;
}

std::array<std::uint8_t, 12> header(std::uint8_t opcode, std::uint8_t flags, std::uint64_t seq) {
    std::array<std::uint8_t, 12> out{1, opcode, 0, flags};
    storeLE64(&out[4], seq);
    return out;
}

// The expected bytes were computed with libsodium directly from the
// hand-written nonce ("CUDP"/"HUDP" + little-endian seq) and header as AAD.
TEST(UDPCodec, datagramAndAckMatchTheirKnownBytes) {
    const InputPacket keyDown(0x0A0B0C0D0E0F1011ULL, E::Key{4, KeyState::down, false},
                              ModifierMask::shift);
    EXPECT_EQ(hexOf(UDPCodec::seal(keyDown, sessionKey)),
              "0104010111100f0e0d0c0b0a"            // clear header
              "4e5c0848b57eb28a"                    // sealed payload
              "169de9512d881427622f6adaee4e3c8c");  // tag
    EXPECT_EQ(hexOf(UDPCodec::sealAck(7, sessionKey)),
              "01fe00000700000000000000"
              "88c50eddfb42f5bc5da38be7de656d7b");
}

TEST(UDPCodec, everyCaseSurvivesSealAndOpenUnderEveryPhaseAndAck) {
    const std::vector<InputEvent> events = {E::MouseMove{3.5f, -0.125f},
                                            E::MouseButton{2, true, 3},
                                            E::Scroll{-1.0f, 12.0f},
                                            E::Key{0xE3, KeyState::repeat, true},
                                            E::PinchZoom{1.25f, -4.0f},
                                            E::ThreeFingerSwipe{2},
                                            E::Shortcut{17},
                                            E::ModifierState{ModifierMask::option},
                                            E::Media{5},
                                            E::GamepadSticks{-32768, 32767, 1, -1},
                                            E::GamepadButtons{0xDEADBEEF, 8, 255, 128},
                                            E::ResetState{}};
    std::uint64_t seq = 0x7FFFFFFFFFFFFFF0ULL;
    for (const auto& event : events) {
        for (auto phase : {GesturePhase::none, GesturePhase::began, GesturePhase::changed,
                           GesturePhase::ended, GesturePhase::momentum, GesturePhase::cancelled}) {
            for (bool ack : {false, true}) {
                ++seq;
                const InputPacket packet(seq, event, ModifierMask(static_cast<std::uint8_t>(seq)),
                                         phase, ack);
                auto opened = UDPCodec::open(UDPCodec::seal(packet, sessionKey), sessionKey);
                ASSERT_TRUE(opened.has_value())
                    << opened.error() << " opcode " << int(event.opcode());
                EXPECT_EQ(*opened, packet);
            }
        }
    }
    for (std::uint64_t ackSeq : {1ULL, 0x0102030405060708ULL, ~0ULL}) {
        EXPECT_EQ(UDPCodec::openAck(UDPCodec::sealAck(ackSeq, sessionKey), sessionKey), ackSeq);
    }
}

TEST(UDPCodecOpen, wrongLengthIsTruncatedBeforeAnyOtherCheck) {
    const auto valid = UDPCodec::seal(InputPacket(1, E::ResetState{}), sessionKey);
    for (std::size_t length : {0u, 1u, 20u, 28u, 35u, 37u, 64u}) {
        Bytes bytes(valid.begin(), valid.end());
        bytes.resize(length, 0x00);
        if (!bytes.empty()) {
            bytes[0] = 9;  // a bad version too: the length must still win
        }
        EXPECT_EQ(UDPCodec::open(bytes, sessionKey).error(), WireError::truncated()) << length;
    }
}

TEST(UDPCodecOpen, everySingleBitFlipFailsToOpen) {
    const InputPacket packet(0x1234, E::MouseButton{1, true, 1}, ModifierMask::shift,
                             GesturePhase::began);
    const auto datagram = UDPCodec::seal(packet, sessionKey);
    ASSERT_TRUE(UDPCodec::open(datagram, sessionKey).has_value());
    for (std::size_t bit = 0; bit < datagram.size() * 8; ++bit) {
        auto flipped = datagram;
        flipped[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        auto opened = UDPCodec::open(flipped, sessionKey);
        ASSERT_FALSE(opened.has_value()) << "bit " << bit;
        // The version byte is judged before the tag; everything else is covered by it.
        const WireError expected =
            bit < 8 ? WireError::badVersion(flipped[0]) : WireError::authenticationFailed();
        EXPECT_EQ(opened.error(), expected) << "bit " << bit;
    }
}

TEST(UDPCodecOpen, anotherKeyStreamOrSeqFailsAuthentication) {
    const auto h = header(Opcode::mediaKey, 0x01, 77);
    const std::array<std::uint8_t, 8> payload{3};
    ASSERT_TRUE(UDPCodec::open(sealRaw(h, payload), sessionKey).has_value());

    const auto auth = WireError::authenticationFailed();
    EXPECT_EQ(UDPCodec::open(sealRaw(h, payload), keyFilledWith(0x12)).error(), auth);
    EXPECT_EQ(UDPCodec::open(sealRaw(h, payload, "HUDP"), sessionKey).error(), auth);
    EXPECT_EQ(UDPCodec::open(sealRaw(h, payload, "CTCP"), sessionKey).error(), auth);
    // The same ciphertext presented under a different seq.
    Bytes moved = sealRaw(h, payload);
    storeLE64(&moved[4], 78);
    EXPECT_EQ(UDPCodec::open(moved, sessionKey).error(), auth);
}

TEST(UDPCodecOpen, authenticationComesBeforeTheClearPacketChecks) {
    Bytes forged(36, 0x00);
    const auto h = header(5, 0x60, 3);
    std::copy(h.begin(), h.end(), forged.begin());
    EXPECT_EQ(UDPCodec::open(forged, sessionKey).error(), WireError::authenticationFailed());
    // Once authentic, the clear packet's checks apply.
    const std::array<std::uint8_t, 8> zeros{};
    EXPECT_EQ(UDPCodec::open(sealRaw(h, zeros), sessionKey).error(), WireError::malformed());
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

    EXPECT_TRUE(ok);
    EXPECT_FALSE(tamperedOk);
    EXPECT_FALSE(shortOk);
    EXPECT_EQ(after - before, 0u);
}

TEST(UDPCodecAck, isAckLooksOnlyAtLengthAndOpcode) {
    const auto ack = UDPCodec::sealAck(3, sessionKey);
    Bytes forged(28, 0x00);
    forged[1] = 0xFE;
    EXPECT_TRUE(UDPCodec::isAck(forged));
    Bytes wrongOpcode(ack.begin(), ack.end());
    wrongOpcode[1] = Opcode::keyEvent;
    EXPECT_FALSE(UDPCodec::isAck(wrongOpcode));
    for (std::size_t length : {0u, 27u, 29u, 36u}) {
        Bytes resized(ack.begin(), ack.end());
        resized.resize(length, 0x00);
        EXPECT_FALSE(UDPCodec::isAck(resized)) << length;
    }
    EXPECT_FALSE(UDPCodec::isAck(UDPCodec::seal(InputPacket(3, E::ResetState{}), sessionKey)));
}

TEST(UDPCodecAck, openAckRejectsWrongLengthHeaderKeyAndStream) {
    const auto ack = UDPCodec::sealAck(3, sessionKey);
    for (std::size_t length : {0u, 27u, 29u, 36u}) {
        Bytes resized(ack.begin(), ack.end());
        resized.resize(length, 0x00);
        EXPECT_EQ(UDPCodec::openAck(resized, sessionKey).error(), WireError::truncated()) << length;
    }
    EXPECT_EQ(UDPCodec::openAck(ack, keyFilledWith(0x99)).error(),
              WireError::authenticationFailed());
    // A tag made under the client's datagram prefix is not an acknowledgement.
    const Bytes wrongStream = sealRaw(header(Opcode::ack, 0, 3), ByteView{});
    EXPECT_EQ(UDPCodec::openAck(wrongStream, sessionKey).error(),
              WireError::authenticationFailed());
}

TEST(UDPCodecAck, everySingleBitFlipFailsToOpen) {
    const auto ack = UDPCodec::sealAck(0x55AA, sessionKey);
    for (std::size_t bit = 0; bit < ack.size() * 8; ++bit) {
        auto flipped = ack;
        flipped[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        auto opened = UDPCodec::openAck(flipped, sessionKey);
        ASSERT_FALSE(opened.has_value()) << "bit " << bit;
        // Version and opcode are checked before the tag.
        const WireError expected =
            bit < 16 ? WireError::malformed() : WireError::authenticationFailed();
        EXPECT_EQ(opened.error(), expected) << "bit " << bit;
    }
}

}  // namespace
}  // namespace tarvel::wire
