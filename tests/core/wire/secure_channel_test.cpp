#include "core/wire/secure_channel.hpp"

#include <gtest/gtest.h>
#include <sodium.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "core/wire/bodies.hpp"
#include "core/wire/frame.hpp"

namespace tarvel::wire {
namespace {

using Role = SecureTCPChannel::Role;

Bytes hexBytes(std::string_view hex) {
    Bytes out(hex.size() / 2);
    std::size_t length = 0;
    EXPECT_EQ(sodium_hex2bin(out.data(), out.size(), hex.data(), hex.size(), " ", &length, nullptr),
              0);
    out.resize(length);
    return out;
}

const SymmetricKey sessionKey(std::array<std::uint8_t, SymmetricKey::size>{0x5A, 0x13, 0x77});
const auto authFailed = tl::make_unexpected(WireError::authenticationFailed());

// The one frame a decoder cuts out of `wire`.
TCPFrame frameOf(const Bytes& wire) {
    TCPFrameDecoder decoder;
    decoder.append(wire);
    auto next = decoder.next();
    if (!next || !next->has_value()) {
        ADD_FAILURE() << "not a complete frame";
        return {};
    }
    return **next;
}

// RFC 8439 section 2.8.2. Its nonce 07 00 00 00 40 41 .. 47 is the prefix
// 07 00 00 00 with counter 0x4746454443424140, so the vector also runs
// through our nonce construction.
TEST(ChaChaPolyKnownAnswer, rfc8439Section282) {
    const auto key = SymmetricKey::fromBytes(
        hexBytes("808182838485868788898a8b8c8d8e8f909192939495969798999a9b9c9d9e9f"));
    ASSERT_TRUE(key.has_value());
    const std::array<std::uint8_t, 4> prefix{0x07, 0x00, 0x00, 0x00};
    const NonceBytes nonce = makeNonceBytes(prefix, 0x4746454443424140ULL);
    ASSERT_EQ(Bytes(nonce.begin(), nonce.end()), hexBytes("07 00 00 00 40 41 42 43 44 45 46 47"));
    const Bytes aad = hexBytes("50 51 52 53 c0 c1 c2 c3 c4 c5 c6 c7");
    const Bytes plaintext = toBytes(
        "Ladies and Gentlemen of the class of '99: If I could offer you only one tip for the "
        "future, sunscreen would be it.");
    const Bytes expectedCiphertext = hexBytes(
        "d31a8d34648e60db7b86afbc53ef7ec2a4aded51296e08fea9e2b5a736ee62d63dbea45e8ca9671282fafb69"
        "da92728b1a71de0a9e060b2905d6a5b67ecd3b3692ddbd7f2d778b8c9803aee328091b58fab324e4fad67594"
        "5585808b4831d7bc3ff4def08e4b7a9de576d26586cec64b6116");
    const Bytes expectedTag = hexBytes("1a e1 0b 59 4f 09 e2 6a 7e 90 2e cb d0 60 06 91");

    Bytes ciphertext(plaintext.size());
    ChaChaPoly::Tag tag{};
    ChaChaPoly::sealDetached(*key, nonce, aad, plaintext, ciphertext, tag);
    EXPECT_EQ(ciphertext, expectedCiphertext);
    EXPECT_EQ(Bytes(tag.begin(), tag.end()), expectedTag);

    Bytes opened(ciphertext.size());
    ASSERT_TRUE(ChaChaPoly::openDetached(*key, nonce, aad, expectedCiphertext, tag, opened));
    EXPECT_EQ(opened, plaintext);
    tag[15] ^= 0x80;
    EXPECT_FALSE(ChaChaPoly::openDetached(*key, nonce, aad, expectedCiphertext, tag, opened));
}

TEST(TCPFrameCodecSeal, frameIsLengthClearTypeCiphertextAndTagUnderPrefixAndCounter) {
    const Bytes plaintext = toBytes(R"({"ts":123})");
    auto wire = TCPFrameCodec::seal(sessionKey, NoncePrefix::clientTCP, 0x0203, 0x30, plaintext);
    ASSERT_TRUE(wire.has_value());
    const std::size_t bodyLength = plaintext.size() + 16;
    ASSERT_EQ(wire->size(), 4 + 1 + bodyLength);
    EXPECT_EQ(loadLE32(wire->data()), 1 + bodyLength);
    EXPECT_EQ((*wire)[4], 0x30);

    // Decrypt with the nonce and associated data written out by hand.
    const Bytes nonce = hexBytes("43 54 43 50 03 02 00 00 00 00 00 00");
    const std::array<std::uint8_t, 5> aad{0x30, static_cast<std::uint8_t>(1 + bodyLength), 0, 0, 0};
    Bytes opened(plaintext.size());
    ASSERT_EQ(crypto_aead_chacha20poly1305_ietf_decrypt_detached(
                  opened.data(), nullptr, wire->data() + 5, plaintext.size(),
                  wire->data() + 5 + plaintext.size(), aad.data(), aad.size(), nonce.data(),
                  sessionKey.data()),
              0);
    EXPECT_EQ(opened, plaintext);
}

TEST(TCPFrameCodecOpen, plaintextFromABareTagUpTo65519BytesAndShorterBodiesFail) {
    for (std::size_t size : {0u, 65519u}) {
        const Bytes plaintext(size, 0xAB);
        auto wire = TCPFrameCodec::seal(sessionKey, NoncePrefix::hostTCP, 5, 0x33, plaintext);
        ASSERT_TRUE(wire.has_value());
        EXPECT_EQ(wire->size(), 4 + 1 + size + 16);
        EXPECT_EQ(TCPFrameCodec::open(sessionKey, NoncePrefix::hostTCP, 5, frameOf(*wire)),
                  plaintext);
    }
    for (std::size_t length : {0u, 1u, 15u}) {
        const TCPFrame tooShort{0x30, Bytes(length, 0x00)};
        EXPECT_EQ(TCPFrameCodec::open(sessionKey, NoncePrefix::clientTCP, 0, tooShort), authFailed)
            << length;
    }
}

TEST(SecureTCPChannel, eachDirectionCountsFromZeroUnderItsOwnPrefixRefusingReplays) {
    SecureTCPChannel host(sessionKey, Role::host);
    SecureTCPChannel client(sessionKey, Role::client);
    for (std::uint64_t round = 0; round < 4; ++round) {
        const Bytes up = toBytes("ping " + std::to_string(round));
        const TCPFrame request = frameOf(client.seal(FrameType::ping, up).value());
        // The client's frame n is sealed under "CTCP" and counter n.
        EXPECT_TRUE(TCPFrameCodec::open(sessionKey, NoncePrefix::clientTCP, round, request));
        EXPECT_EQ(SecureTCPChannel(sessionKey, Role::client).open(request), authFailed);
        EXPECT_EQ(host.open(request), up);
        EXPECT_EQ(host.open(request), authFailed);
        if (round % 2 == 0) {
            // JSON bodies are sealed as their canonical text.
            const TCPFrame reply = frameOf(host.seal(FrameType::pong, PingBody{round}).value());
            EXPECT_EQ(client.open(reply), toBytes(R"({"ts":)" + std::to_string(round) + "}"));
        }
    }
    const TCPFrame first = frameOf(client.seal(FrameType::ping, toBytes("1")).value());
    const TCPFrame second = frameOf(client.seal(FrameType::ping, toBytes("2")).value());
    EXPECT_EQ(host.open(second), authFailed);
    EXPECT_EQ(host.open(first), toBytes("1"));
    EXPECT_EQ(host.open(second), toBytes("2"));
}

TEST(SecureTCPChannel, failedSealsAndEverySingleBitFlipMoveNoCounter) {
    SecureTCPChannel client(sessionKey, Role::client);
    SecureTCPChannel host(sessionKey, Role::host);
    EXPECT_EQ(client.seal(FrameType::clipboardSet, Bytes(65520, 0x20)).error(),
              WireError::frameTooLarge());
    EXPECT_EQ(client.seal(FrameType::textUTF8, TextBody{std::string("\xff\xfe", 2)}).error(),
              WireError::malformed());
    auto wire = client.seal(FrameType::clipboardSet, toBytes(R"({"autoPaste":true,"text":"Mac"})"));
    ASSERT_TRUE(wire.has_value());
    for (std::size_t bit = 0; bit < wire->size() * 8; ++bit) {
        Bytes flipped = *wire;
        flipped[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        // A flipped length may leave the decoder waiting or failing: no frame at all.
        TCPFrameDecoder decoder;
        decoder.append(flipped);
        if (auto next = decoder.next(); next && *next) {
            ASSERT_EQ(host.open(**next), authFailed) << "bit " << bit;
        }
    }
    // Both ends are still at counter 0.
    EXPECT_TRUE(host.open(frameOf(*wire)).has_value());
}

TEST(SecureTCPChannel, concurrentSealsUseEachCounterExactlyOnce) {
    SecureTCPChannel host(sessionKey, Role::host);
    std::vector<Bytes> sealed(400);
    {
        std::vector<std::jthread> workers;
        for (std::size_t t = 0; t < 4; ++t) {
            workers.emplace_back([&host, &sealed, t] {
                for (std::size_t i = t * 100; i < t * 100 + 100; ++i) {
                    sealed[i] = host.seal(FrameType::pong, toBytes("x")).value_or(Bytes{});
                }
            });
        }
    }
    for (std::uint64_t counter = 0; counter < sealed.size(); ++counter) {
        const auto opens = [&](const Bytes& wire) {
            return TCPFrameCodec::open(sessionKey, NoncePrefix::hostTCP, counter, frameOf(wire))
                .has_value();
        };
        ASSERT_EQ(std::count_if(sealed.begin(), sealed.end(), opens), 1) << "counter " << counter;
    }
}

}  // namespace
}  // namespace tarvel::wire
