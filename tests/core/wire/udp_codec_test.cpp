#include "core/wire/udp_codec.hpp"

#include <gtest/gtest.h>
#include <sodium.h>

#include <algorithm>

// Counts this thread's heap allocations, the library's included: the hot path must make none.
static thread_local std::size_t allocationsOnThisThread = 0;

void* operator new(std::size_t size) {
    ++allocationsOnThisThread;
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace tarvel::wire {
namespace {

using E = InputEvent;

SymmetricKey keyFilledWith(std::uint8_t seed) {
    std::array<std::uint8_t, SymmetricKey::size> bytes{};
    std::ranges::generate(bytes, [seed, i = 0]() mutable { return std::uint8_t(seed + 7 * i++); });
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

// Seals via libsodium under a hand-written nonce: authentic datagrams the codec never makes.
Bytes sealRaw(std::uint8_t opcode, std::uint8_t flags, std::uint64_t seq, ByteView payload,
              const char (&prefix)[5] = "CUDP") {
    EXPECT_GE(sodium_init(), 0);
    Bytes out{1, opcode, 0, flags};
    out.resize(12 + payload.size() + 16);
    storeLE64(&out[4], seq);
    std::array<std::uint8_t, 12> nonce{};
    std::copy(prefix, prefix + 4, nonce.begin());
    std::copy(out.begin() + 4, out.begin() + 12, nonce.begin() + 4);
    crypto_aead_chacha20poly1305_ietf_encrypt_detached(
        out.data() + 12, out.data() + 12 + payload.size(), nullptr, payload.data(), payload.size(),
        out.data(), 12, nullptr, nonce.data(), sessionKey.data());
    return out;
}

// The expected bytes were computed with libsodium directly from the
// hand-written nonce ("CUDP"/"HUDP" + little-endian seq) and header as AAD.
TEST(UDPCodec, datagramAndAckMatchKnownBytesRoundTripAndRefuseWhatIsWrongWithoutAllocating) {
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
    const auto ack = UDPCodec::sealAck(3, sessionKey);
    Bytes forged(28, 0x00);
    EXPECT_FALSE(UDPCodec::isAck(forged));
    forged[1] = Opcode::ack;
    EXPECT_TRUE(UDPCodec::isAck(forged));
    for (std::size_t length : {0u, 27u, 29u, 36u}) {
        Bytes resized(ack.begin(), ack.end());
        resized.resize(length, 0x00);
        EXPECT_FALSE(UDPCodec::isAck(resized)) << length;
        EXPECT_EQ(UDPCodec::openAck(resized, sessionKey), truncated) << length;
    }
    EXPECT_EQ(UDPCodec::openAck(ack, keyFilledWith(0x99)), authFailed);
    EXPECT_EQ(UDPCodec::openAck(sealRaw(Opcode::ack, 0, 3, ByteView{}), sessionKey), authFailed);
    // The version byte (and an ack's opcode) is judged before the tag, which covers the rest.
    for (std::size_t bit = 0; bit < valid.size() * 8; ++bit) {
        const auto mask = static_cast<std::uint8_t>(1u << (bit % 8));
        auto flipped = valid;
        flipped[bit / 8] ^= mask;
        const auto error = bit < 8 ? WireError::badVersion(flipped[0]) : authFailed.value();
        EXPECT_EQ(UDPCodec::open(flipped, sessionKey), tl::make_unexpected(error)) << "bit " << bit;
        if (bit < ack.size() * 8) {
            auto copy = ack;
            copy[bit / 8] ^= mask;
            const auto ackError = bit < 16 ? WireError::malformed() : authFailed.value();
            EXPECT_EQ(UDPCodec::openAck(copy, sessionKey), tl::make_unexpected(ackError)) << bit;
        }
    }
    // Neither success nor failure allocates (libsodium is warm by now).
    static_assert(noexcept(UDPCodec::open(ByteView{}, sessionKey)));
    auto tampered = valid;
    tampered[30] ^= 1;
    const Bytes shortDatagram(35, 0x01);
    const std::size_t before = allocationsOnThisThread;
    EXPECT_TRUE(UDPCodec::open(valid, sessionKey).has_value());
    EXPECT_FALSE(UDPCodec::open(tampered, sessionKey).has_value());
    EXPECT_FALSE(UDPCodec::open(shortDatagram, sessionKey).has_value());
    EXPECT_EQ(allocationsOnThisThread - before, 0u);
}

}  // namespace
}  // namespace tarvel::wire
