#include "core/wire/secure_channel.hpp"

#include <gtest/gtest.h>
#include <sodium.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "core/wire/bodies.hpp"
#include "core/wire/frame.hpp"

namespace tarvel::wire {
namespace {

using Role = SecureTCPChannel::Role;

Bytes hexBytes(std::string_view hex) {
    Bytes out;
    std::string digits;
    for (char c : hex) {
        if (std::isxdigit(static_cast<unsigned char>(c)) != 0) {
            digits.push_back(c);
        }
    }
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    }
    return out;
}

template <std::size_t N>
Bytes bytesOf(const std::array<std::uint8_t, N>& a) {
    return Bytes(a.begin(), a.end());
}

SymmetricKey keyFilledWith(std::uint8_t seed) {
    std::array<std::uint8_t, SymmetricKey::size> bytes{};
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(seed ^ (i * 13));
    }
    return SymmetricKey(bytes);
}

const SymmetricKey sessionKey = keyFilledWith(0x5A);

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
    const Bytes keyBytes = hexBytes(
        "80 81 82 83 84 85 86 87 88 89 8a 8b 8c 8d 8e 8f"
        "90 91 92 93 94 95 96 97 98 99 9a 9b 9c 9d 9e 9f");
    const auto key = SymmetricKey::fromBytes(keyBytes);
    ASSERT_TRUE(key.has_value());
    const std::array<std::uint8_t, 4> prefix{0x07, 0x00, 0x00, 0x00};
    const NonceBytes nonce = makeNonceBytes(prefix, 0x4746454443424140ULL);
    ASSERT_EQ(bytesOf(nonce), hexBytes("07 00 00 00 40 41 42 43 44 45 46 47"));
    const Bytes aad = hexBytes("50 51 52 53 c0 c1 c2 c3 c4 c5 c6 c7");
    const Bytes plaintext = toBytes(
        "Ladies and Gentlemen of the class of '99: If I could offer you only one tip for the "
        "future, sunscreen would be it.");
    const Bytes expectedCiphertext = hexBytes(
        "d3 1a 8d 34 64 8e 60 db 7b 86 af bc 53 ef 7e c2"
        "a4 ad ed 51 29 6e 08 fe a9 e2 b5 a7 36 ee 62 d6"
        "3d be a4 5e 8c a9 67 12 82 fa fb 69 da 92 72 8b"
        "1a 71 de 0a 9e 06 0b 29 05 d6 a5 b6 7e cd 3b 36"
        "92 dd bd 7f 2d 77 8b 8c 98 03 ae e3 28 09 1b 58"
        "fa b3 24 e4 fa d6 75 94 55 85 80 8b 48 31 d7 bc"
        "3f f4 de f0 8e 4b 7a 9d e5 76 d2 65 86 ce c6 4b"
        "61 16");
    const Bytes expectedTag = hexBytes("1a e1 0b 59 4f 09 e2 6a 7e 90 2e cb d0 60 06 91");
    ASSERT_EQ(plaintext.size(), 114u);
    ASSERT_EQ(expectedCiphertext.size(), 114u);

    Bytes ciphertext(plaintext.size());
    ChaChaPoly::Tag tag{};
    ChaChaPoly::sealDetached(*key, nonce, aad, plaintext, ciphertext, tag);
    EXPECT_EQ(ciphertext, expectedCiphertext);
    EXPECT_EQ(bytesOf(tag), expectedTag);

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

TEST(TCPFrameCodecSeal, largestPlaintextIs65519Bytes) {
    const Bytes largest(65519, 0xAB);
    auto wire = TCPFrameCodec::seal(sessionKey, NoncePrefix::hostTCP, 0, 0x33, largest);
    ASSERT_TRUE(wire.has_value());
    EXPECT_EQ(wire->size(), 65540u);
    EXPECT_EQ(loadLE32(wire->data()), TCPFrameCodec::maxPayloadLen);
    auto opened = TCPFrameCodec::open(sessionKey, NoncePrefix::hostTCP, 0, frameOf(*wire));
    ASSERT_TRUE(opened.has_value());
    EXPECT_EQ(*opened, largest);

    const Bytes tooLarge(65520, 0xAB);
    auto failed = TCPFrameCodec::seal(sessionKey, NoncePrefix::hostTCP, 0, 0x33, tooLarge);
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(failed.error(), WireError::frameTooLarge());
}

TEST(TCPFrameCodecOpen, emptyPlaintextIsABareTagAndShorterBodiesFail) {
    auto wire = TCPFrameCodec::seal(sessionKey, NoncePrefix::hostTCP, 5, 0x23, ByteView{});
    ASSERT_TRUE(wire.has_value());
    const TCPFrame frame = frameOf(*wire);
    EXPECT_EQ(frame.body.size(), 16u);
    EXPECT_EQ(TCPFrameCodec::open(sessionKey, NoncePrefix::hostTCP, 5, frame), Bytes{});
    for (std::size_t length : {0u, 1u, 15u}) {
        EXPECT_EQ(TCPFrameCodec::open(sessionKey, NoncePrefix::clientTCP, 0,
                                      TCPFrame{0x30, Bytes(length, 0x00)})
                      .error(),
                  WireError::authenticationFailed())
            << length;
    }
}

TEST(SecureTCPChannel, eachDirectionCountsFromZeroUnderItsOwnPrefix) {
    SecureTCPChannel host(sessionKey, Role::host);
    SecureTCPChannel client(sessionKey, Role::client);
    for (std::uint64_t round = 0; round < 5; ++round) {
        const std::string up = "ping " + std::to_string(round);
        auto request = client.seal(FrameType::ping, asBytes(up));
        ASSERT_TRUE(request.has_value());
        // The client's frame n is sealed under "CTCP" and counter n.
        EXPECT_TRUE(
            TCPFrameCodec::open(sessionKey, NoncePrefix::clientTCP, round, frameOf(*request)));
        EXPECT_EQ(host.open(frameOf(*request)), toBytes(up));
        if (round % 2 == 0) {
            // JSON bodies are sealed as their canonical text.
            auto reply = host.seal(FrameType::pong, PingBody{round});
            ASSERT_TRUE(reply.has_value());
            EXPECT_TRUE(
                TCPFrameCodec::open(sessionKey, NoncePrefix::hostTCP, round / 2, frameOf(*reply)));
            EXPECT_EQ(client.open(frameOf(*reply)),
                      toBytes(R"({"ts":)" + std::to_string(round) + "}"));
        }
    }
}

TEST(SecureTCPChannel, reflectedReplayedOrReorderedFramesFail) {
    const auto auth = WireError::authenticationFailed();
    SecureTCPChannel client(sessionKey, Role::client);
    SecureTCPChannel host(sessionKey, Role::host);
    auto first = client.seal(FrameType::ping, toBytes("1"));
    auto second = client.seal(FrameType::ping, toBytes("2"));
    ASSERT_TRUE(first && second);
    EXPECT_EQ(SecureTCPChannel(sessionKey, Role::client).open(frameOf(*first)).error(), auth);
    EXPECT_EQ(host.open(frameOf(*second)).error(), auth);
    EXPECT_TRUE(host.open(frameOf(*first)).has_value());
    EXPECT_EQ(host.open(frameOf(*first)).error(), auth);
    EXPECT_TRUE(host.open(frameOf(*second)).has_value());
}

TEST(SecureTCPChannel, everySingleBitFlipOfASealedFrameFailsAndMovesNoCounter) {
    SecureTCPChannel client(sessionKey, Role::client);
    SecureTCPChannel host(sessionKey, Role::host);
    auto wire = client.seal(FrameType::clipboardSet, toBytes(R"({"autoPaste":true,"text":"Mac"})"));
    ASSERT_TRUE(wire.has_value());

    for (std::size_t bit = 0; bit < wire->size() * 8; ++bit) {
        Bytes flipped = *wire;
        flipped[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        // A flipped length may leave the decoder waiting or failing: no frame at all.
        TCPFrameDecoder decoder;
        decoder.append(flipped);
        auto next = decoder.next();
        if (!next || !next->has_value()) {
            continue;
        }
        auto opened = host.open(**next);
        ASSERT_FALSE(opened.has_value()) << "bit " << bit;
        EXPECT_EQ(opened.error(), WireError::authenticationFailed()) << "bit " << bit;
    }
    // None of the failures above moved the host's counter.
    EXPECT_TRUE(host.open(frameOf(*wire)).has_value());
}

TEST(SecureTCPChannel, failedSealUsesNoCounterValue) {
    SecureTCPChannel client(sessionKey, Role::client);
    SecureTCPChannel host(sessionKey, Role::host);
    EXPECT_EQ(client.seal(FrameType::clipboardSet, Bytes(65520, 0x20)).error(),
              WireError::frameTooLarge());
    EXPECT_EQ(client.seal(FrameType::textUTF8, TextBody{std::string("\xff\xfe", 2)}).error(),
              WireError::malformed());
    // Still counter 0: the failed seals consumed nothing.
    auto good = client.seal(FrameType::textUTF8, TextBody{"ok"});
    ASSERT_TRUE(good.has_value());
    EXPECT_TRUE(host.open(frameOf(*good)).has_value());
}

TEST(SecureTCPChannel, concurrentSealsUseEachCounterExactlyOnce) {
    constexpr int threads = 4;
    constexpr int perThread = 100;
    SecureTCPChannel host(sessionKey, Role::host);
    std::vector<std::vector<Bytes>> sealed(threads);
    {
        std::vector<std::jthread> workers;
        for (int t = 0; t < threads; ++t) {
            workers.emplace_back([&host, &sealed, t] {
                for (int i = 0; i < perThread; ++i) {
                    auto wire = host.seal(FrameType::pong, toBytes(std::to_string(t * 1000 + i)));
                    if (wire) {
                        sealed[t].push_back(std::move(*wire));
                    }
                }
            });
        }
    }
    std::vector<TCPFrame> frames;
    for (const auto& list : sealed) {
        ASSERT_EQ(list.size(), static_cast<std::size_t>(perThread));
        for (const auto& wire : list) {
            frames.push_back(frameOf(wire));
        }
    }
    // Counters 0 .. N-1 each open exactly one of the frames.
    for (std::size_t counter = 0; counter < frames.size(); ++counter) {
        ASSERT_EQ(std::count_if(frames.begin(), frames.end(),
                                [&](const TCPFrame& frame) {
                                    return TCPFrameCodec::open(sessionKey, NoncePrefix::hostTCP,
                                                               counter, frame)
                                        .has_value();
                                }),
                  1)
            << "counter " << counter;
    }
}

}  // namespace
}  // namespace tarvel::wire
