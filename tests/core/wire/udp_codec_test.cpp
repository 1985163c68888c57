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
Bytes bytesOf(const std::array<std::uint8_t, N>& a) {
    return Bytes(a.begin(), a.end());
}

// The nonce written out by hand: four ASCII bytes, then the header's seq bytes.
std::array<std::uint8_t, 12> handNonce(const char (&prefix)[5], ByteView header) {
    std::array<std::uint8_t, 12> nonce{};
    for (int i = 0; i < 4; ++i) {
        nonce[i] = static_cast<std::uint8_t>(prefix[i]);
    }
    std::copy(header.begin() + 4, header.begin() + 12, nonce.begin() + 4);
    return nonce;
}

// Seals any 12-byte header and 8-byte payload straight through libsodium, so
// tests can make authentic datagrams that the codec would never produce.
Bytes sealRaw(const std::array<std::uint8_t, 12>& header,
              const std::array<std::uint8_t, 8>& payload, const SymmetricKey& key,
              const char (&prefix)[5] = "CUDP") {
    if (sodium_init() < 0) {
        std::abort();
    }
    Bytes out(36);
    std::copy(header.begin(), header.end(), out.begin());
    const auto nonce = handNonce(prefix, header);
    unsigned long long tagLength = 0;
    crypto_aead_chacha20poly1305_ietf_encrypt_detached(
        out.data() + 12, out.data() + 20, &tagLength, payload.data(), payload.size(), header.data(),
        header.size(), nullptr, nonce.data(), key.data());
    return out;
}

std::array<std::uint8_t, 12> header(std::uint8_t opcode, std::uint8_t flags, std::uint64_t seq) {
    std::array<std::uint8_t, 12> out{1, opcode, 0, flags};
    storeLE64(&out[4], seq);
    return out;
}

std::vector<InputEvent> oneEventOfEachCase() {
    return {E::MouseMove{3.5f, -0.125f},
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
}

TEST(UDPCodecSeal, datagramIsClearHeaderThenPayloadSealedUnderCUDPAndSeq) {
    const InputPacket packet(0x0A0B0C0D0E0F1011ULL, E::Key{4, KeyState::down, false},
                             ModifierMask::shift, GesturePhase::none);
    const auto datagram = UDPCodec::seal(packet, sessionKey);
    static_assert(sizeof(datagram) == 36);
    const auto headerBytes = packet.headerBytes();
    EXPECT_EQ(Bytes(datagram.begin(), datagram.begin() + 12), bytesOf(headerBytes));

    // Independent check of the nonce and associated-data rule.
    const auto nonce = handNonce("CUDP", headerBytes);
    std::array<std::uint8_t, 8> plain{};
    ASSERT_EQ(crypto_aead_chacha20poly1305_ietf_decrypt_detached(
                  plain.data(), nullptr, datagram.data() + 12, 8, datagram.data() + 20,
                  headerBytes.data(), headerBytes.size(), nonce.data(), sessionKey.data()),
              0);
    EXPECT_EQ(plain, packet.event.encodePayload());
    EXPECT_NE(Bytes(datagram.begin() + 12, datagram.begin() + 20), bytesOf(plain));
}

TEST(UDPCodecSeal, samePayloadUnderDifferentSeqGivesDifferentCiphertext) {
    const auto a = UDPCodec::seal(InputPacket(1, E::ResetState{}), sessionKey);
    const auto b = UDPCodec::seal(InputPacket(2, E::ResetState{}), sessionKey);
    EXPECT_NE(Bytes(a.begin() + 12, a.end()), Bytes(b.begin() + 12, b.end()));
}

TEST(UDPCodecRoundTrip, everyCaseSurvivesSealAndOpen) {
    std::uint64_t seq = 0x7FFFFFFFFFFFFFF0ULL;
    for (const auto& event : oneEventOfEachCase()) {
        for (GesturePhase phase :
             {GesturePhase::none, GesturePhase::ended, GesturePhase::cancelled}) {
            const InputPacket packet(++seq, event, ModifierMask::control | ModifierMask::command,
                                     phase);
            auto opened = UDPCodec::open(UDPCodec::seal(packet, sessionKey), sessionKey);
            ASSERT_TRUE(opened.has_value()) << opened.error() << " opcode " << int(event.opcode());
            EXPECT_EQ(*opened, packet);
        }
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
        auto opened = UDPCodec::open(bytes, sessionKey);
        ASSERT_FALSE(opened.has_value()) << length;
        EXPECT_EQ(opened.error(), WireError::truncated());
    }
}

TEST(UDPCodecOpen, versionTwoIsBadVersionEvenWithABrokenTag) {
    Bytes bytes(36, 0x00);
    bytes[0] = 2;
    bytes[1] = Opcode::keyEvent;
    auto opened = UDPCodec::open(bytes, sessionKey);
    ASSERT_FALSE(opened.has_value());
    EXPECT_EQ(opened.error(), WireError::badVersion(2));
}

TEST(UDPCodecOpen, wrongKeyFailsAuthentication) {
    const auto datagram = UDPCodec::seal(InputPacket(5, E::Media{1}), sessionKey);
    auto opened = UDPCodec::open(datagram, keyFilledWith(0x12));
    ASSERT_FALSE(opened.has_value());
    EXPECT_EQ(opened.error(), WireError::authenticationFailed());
}

TEST(UDPCodecOpen, modifierByteChangedInTransitFailsAuthentication) {
    auto datagram = UDPCodec::seal(InputPacket(5, E::Key{4, KeyState::down, false}), sessionKey);
    datagram[2] = static_cast<std::uint8_t>(ModifierMask::command.rawValue);
    auto opened = UDPCodec::open(datagram, sessionKey);
    ASSERT_FALSE(opened.has_value());
    EXPECT_EQ(opened.error(), WireError::authenticationFailed());
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

TEST(UDPCodecOpen, datagramSealedForAnotherStreamOrSeqFailsAuthentication) {
    const auto h = header(Opcode::mediaKey, 0x01, 77);
    const std::array<std::uint8_t, 8> payload{3};
    ASSERT_TRUE(UDPCodec::open(sealRaw(h, payload, sessionKey), sessionKey).has_value());

    EXPECT_EQ(UDPCodec::open(sealRaw(h, payload, sessionKey, "HUDP"), sessionKey).error(),
              WireError::authenticationFailed());
    EXPECT_EQ(UDPCodec::open(sealRaw(h, payload, sessionKey, "CTCP"), sessionKey).error(),
              WireError::authenticationFailed());
    // The same ciphertext presented under a different seq.
    Bytes moved = sealRaw(h, payload, sessionKey);
    storeLE64(&moved[4], 78);
    EXPECT_EQ(UDPCodec::open(moved, sessionKey).error(), WireError::authenticationFailed());
}

TEST(UDPCodecOpen, authenticFlagsFrom0x60AreMalformed) {
    const std::array<std::uint8_t, 8> payload{};
    auto opened = UDPCodec::open(sealRaw(header(Opcode::resetState, 0x60, 3), payload, sessionKey),
                                 sessionKey);
    ASSERT_FALSE(opened.has_value());
    EXPECT_EQ(opened.error(), WireError::malformed());
}

TEST(UDPCodecOpen, authenticationIsCheckedBeforeFlagsOpcodeAndKeyState) {
    Bytes forged(36, 0x00);
    const auto h = header(5, 0x60, 3);
    std::copy(h.begin(), h.end(), forged.begin());
    EXPECT_EQ(UDPCodec::open(forged, sessionKey).error(), WireError::authenticationFailed());
}

TEST(UDPCodecOpen, authenticUndefinedOpcodeIsUnknownOpcode) {
    const std::array<std::uint8_t, 8> payload{};
    for (int opcode : {0, 5, 13, 14, 16, 253, 254, 255}) {
        const auto op = static_cast<std::uint8_t>(opcode);
        auto opened = UDPCodec::open(sealRaw(header(op, 0x00, 3), payload, sessionKey), sessionKey);
        ASSERT_FALSE(opened.has_value()) << opcode;
        EXPECT_EQ(opened.error(), WireError::unknownOpcode(op));
    }
}

TEST(UDPCodecOpen, authenticKeyStateAboveRepeatIsMalformedAndFlagsWinOverOpcode) {
    const std::array<std::uint8_t, 8> badState{4, 0, 3, 0};
    EXPECT_EQ(
        UDPCodec::open(sealRaw(header(Opcode::keyEvent, 0x01, 3), badState, sessionKey), sessionKey)
            .error(),
        WireError::malformed());
    const std::array<std::uint8_t, 8> zeros{};
    EXPECT_EQ(UDPCodec::open(sealRaw(header(5, 0x60, 3), zeros, sessionKey), sessionKey).error(),
              WireError::malformed());
}

TEST(UDPCodecOpen, flagBitsOneToThreeAreAuthenticatedButIgnored) {
    const std::array<std::uint8_t, 8> zeros{};
    auto opened =
        UDPCodec::open(sealRaw(header(Opcode::resetState, 0x3F, 3), zeros, sessionKey), sessionKey);
    ASSERT_TRUE(opened.has_value());
    EXPECT_EQ(opened->phase, GesturePhase::ended);
    EXPECT_TRUE(opened->ackRequired);
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

TEST(UDPCodecAck, ackForSeq7HasDocumentedHeaderAndVerifiesUnderHUDP) {
    const auto ack = UDPCodec::sealAck(7, sessionKey);
    static_assert(sizeof(ack) == 28);
    const Bytes expectedHeader{0x01, 0xFE, 0x00, 0x00, 0x07, 0x00,
                               0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(Bytes(ack.begin(), ack.begin() + 12), expectedHeader);
    EXPECT_TRUE(UDPCodec::isAck(ack));

    const auto nonce = handNonce("HUDP", ack);
    const std::uint8_t noCiphertext = 0;
    EXPECT_EQ(crypto_aead_chacha20poly1305_ietf_decrypt_detached(nullptr, nullptr, &noCiphertext, 0,
                                                                 ack.data() + 12, ack.data(), 12,
                                                                 nonce.data(), sessionKey.data()),
              0);

    auto seq = UDPCodec::openAck(ack, sessionKey);
    ASSERT_TRUE(seq.has_value());
    EXPECT_EQ(*seq, 7u);
}

TEST(UDPCodecAck, roundTripsExtremeSequenceNumbers) {
    for (std::uint64_t seq : {1ULL, 0x0102030405060708ULL, ~0ULL}) {
        auto opened = UDPCodec::openAck(UDPCodec::sealAck(seq, sessionKey), sessionKey);
        ASSERT_TRUE(opened.has_value());
        EXPECT_EQ(*opened, seq);
    }
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
    Bytes badVersion(ack.begin(), ack.end());
    badVersion[0] = 2;
    EXPECT_EQ(UDPCodec::openAck(badVersion, sessionKey).error(), WireError::malformed());
    Bytes badOpcode(ack.begin(), ack.end());
    badOpcode[1] = 0xFD;
    EXPECT_EQ(UDPCodec::openAck(badOpcode, sessionKey).error(), WireError::malformed());
    EXPECT_EQ(UDPCodec::openAck(ack, keyFilledWith(0x99)).error(),
              WireError::authenticationFailed());

    // A tag made under the client's datagram prefix is not an acknowledgement.
    std::array<std::uint8_t, 12> h{0x01, 0xFE, 0, 0, 3};
    const auto nonce = handNonce("CUDP", h);
    Bytes wrongStream(28);
    std::copy(h.begin(), h.end(), wrongStream.begin());
    unsigned long long tagLength = 0;
    std::uint8_t noCiphertext = 0;
    crypto_aead_chacha20poly1305_ietf_encrypt_detached(&noCiphertext, wrongStream.data() + 12,
                                                       &tagLength, nullptr, 0, h.data(), h.size(),
                                                       nullptr, nonce.data(), sessionKey.data());
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
        const WireError expected =
            bit < 16 ? WireError::malformed() : WireError::authenticationFailed();
        EXPECT_EQ(opened.error(), expected) << "bit " << bit;
    }
}

}  // namespace
}  // namespace tarvel::wire
