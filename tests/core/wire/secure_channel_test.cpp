#include "core/wire/secure_channel.hpp"

#include <gtest/gtest.h>
#include <sodium.h>

#include <algorithm>
#include <thread>

#include "core/wire/bodies.hpp"
#include "core/wire/frame.hpp"

namespace tarvel::wire {
namespace {

using Role = SecureTCPChannel::Role;

Bytes hexBytes(std::string_view hex) {
    Bytes out(hex.size() / 2);
    std::size_t length = 0;
    sodium_hex2bin(out.data(), out.size(), hex.data(), hex.size(), " ", &length, nullptr);
    out.resize(length);
    return out;
}

const SymmetricKey sessionKey(std::array<std::uint8_t, SymmetricKey::size>{0x5A, 0x13, 0x77});
const auto authFailed = tl::make_unexpected(WireError::authenticationFailed());

std::vector<TCPFrame> decodeAll(const Bytes& stream, std::size_t chunk) {
    TCPFrameDecoder decoder;
    std::vector<TCPFrame> frames;
    for (std::size_t at = 0; at < stream.size(); at += chunk) {
        decoder.append(ByteView(stream.data() + at, std::min(chunk, stream.size() - at)));
        for (auto next = decoder.next(); next && *next; next = decoder.next()) {
            frames.push_back(**next);
        }
    }
    EXPECT_EQ(decoder.bufferedBytes(), 0u);
    return frames;
}

TCPFrame frameOf(const Bytes& wire) {
    const auto frames = decodeAll(wire, wire.size());
    return frames.empty() ? TCPFrame{} : frames.front();
}

TEST(TCPFrameCodec, plainFramesAreLengthTypeBodyAndDecodeWhateverTheReadSizesOrBadLengthIsRefused) {
    EXPECT_EQ(TCPFrameCodec::encodePlain(0x30, Bytes({0x7B, 0x7D})).value(),
              Bytes({0x03, 0x00, 0x00, 0x00, 0x30, 0x7B, 0x7D}));
    auto largest = TCPFrameCodec::encodePlain(0x32, Bytes(65535, 0xAA));
    ASSERT_EQ(largest.value().size(), 65540u);
    EXPECT_EQ(Bytes(largest->begin(), largest->begin() + 4), Bytes({0x00, 0x00, 0x01, 0x00}));
    EXPECT_EQ(TCPFrameCodec::encodePlain(0x32, Bytes(65536, 0xAA)).error(),
              WireError::frameTooLarge());
    TCPFrameDecoder waiting;  // 65 536 is still legal and waits for its body
    waiting.append(Bytes(largest->begin(), largest->begin() + 4));
    EXPECT_TRUE(waiting.next().value() == std::nullopt);
    // A bad length is refused as soon as it arrives, after the frames before it.
    const std::pair<Bytes, WireError> badHeaders[] = {
        {{0, 0, 0, 0}, WireError::invalidFrameLength()},
        {{1, 0, 1, 0}, WireError::frameTooLarge()}};  // 65 537
    for (const auto& [header, error] : badHeaders) {
        TCPFrameDecoder decoder;
        decoder.append(TCPFrameCodec::encodePlain(0x30, Bytes({1})).value());
        decoder.append(header);
        EXPECT_EQ(decoder.next().value(), (TCPFrame{0x30, Bytes({1})}));
        EXPECT_EQ(decoder.next().error(), error);
    }
    std::vector<TCPFrame> sent{{0x33, Bytes(1000, 0x5C)}, {0x14, {}}};
    for (int i = 0; i < 65536 / 6; ++i) {  // a 64 KiB read's worth of 5-byte frames
        sent.push_back({static_cast<std::uint8_t>(i), Bytes({static_cast<std::uint8_t>(i >> 8)})});
    }
    Bytes stream;
    for (const auto& frame : sent) {
        const Bytes wire = TCPFrameCodec::encodePlain(frame.type, frame.body).value();
        stream.insert(stream.end(), wire.begin(), wire.end());
    }
    for (std::size_t chunk : {std::size_t{1}, std::size_t{7}, stream.size()}) {
        EXPECT_TRUE(decodeAll(stream, chunk) == sent) << "chunk " << chunk;
    }
}

// RFC 8439 section 2.8.2. Its nonce is the prefix 07 00 00 00 with counter
// 0x4746454443424140, so the vector also runs through our nonce construction.
TEST(ChaChaPolyKnownAnswer, rfc8439Section282ThenTCPFramesSealUnderTheirPrefixAndCounter) {
    const SymmetricKey key =
        SymmetricKey::fromBytes(
            hexBytes("808182838485868788898a8b8c8d8e8f909192939495969798999a9b9c9d9e9f"))
            .value();
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
    ChaChaPoly::sealDetached(key, nonce, aad, plaintext, ciphertext, tag);
    EXPECT_EQ(ciphertext, expectedCiphertext);
    EXPECT_EQ(Bytes(tag.begin(), tag.end()), expectedTag);
    // A frame is length, type, ciphertext and tag under its prefix and counter.
    const Bytes json = toBytes(R"({"ts":123})");
    const Bytes wire =
        TCPFrameCodec::seal(sessionKey, NoncePrefix::clientTCP, 0x0203, 0x30, json).value();
    const std::size_t bodyLength = json.size() + 16;
    ASSERT_EQ(wire.size(), 4 + 1 + bodyLength);
    EXPECT_EQ(loadLE32(wire.data()), 1 + bodyLength);
    EXPECT_EQ(wire[4], 0x30);
    // Decrypt with the nonce and associated data written out by hand.
    const Bytes frameNonce = hexBytes("43 54 43 50 03 02 00 00 00 00 00 00");
    const std::array<std::uint8_t, 5> header{0x30, static_cast<std::uint8_t>(1 + bodyLength)};
    Bytes opened(json.size());
    ASSERT_EQ(crypto_aead_chacha20poly1305_ietf_decrypt_detached(
                  opened.data(), nullptr, &wire[5], json.size(), &wire[5 + json.size()],
                  header.data(), header.size(), frameNonce.data(), sessionKey.data()),
              0);
    EXPECT_EQ(opened, json);
    for (std::size_t size : {0u, 65519u}) {
        const Bytes filled(size, 0xAB);
        const auto sealed = TCPFrameCodec::seal(sessionKey, NoncePrefix::hostTCP, 5, 0x33, filled);
        EXPECT_EQ(TCPFrameCodec::open(sessionKey, NoncePrefix::hostTCP, 5, frameOf(sealed.value())),
                  filled);
    }
    for (std::size_t length : {0u, 1u, 15u}) {
        const TCPFrame tooShort{0x30, Bytes(length, 0x00)};
        EXPECT_EQ(TCPFrameCodec::open(sessionKey, NoncePrefix::clientTCP, 0, tooShort), authFailed);
    }
}

TEST(SecureTCPChannel, eachDirectionCountsUnderItsOwnPrefixRefusingReplaysFailuresMoveNoCounter) {
    SecureTCPChannel host(sessionKey, Role::host);
    SecureTCPChannel client(sessionKey, Role::client);
    for (std::uint64_t round = 0; round < 4; ++round) {
        const Bytes up = toBytes("ping " + std::to_string(round));
        const TCPFrame request = frameOf(client.seal(FrameType::ping, up).value());
        // The client's frame n is sealed under "CTCP" and counter n.
        EXPECT_TRUE(TCPFrameCodec::open(sessionKey, NoncePrefix::clientTCP, round, request));
        EXPECT_EQ(host.open(request), up);
        EXPECT_EQ(host.open(request), authFailed);
        if (round % 2 == 0) {
            const TCPFrame reply = frameOf(host.seal(FrameType::pong, PingBody{round}).value());
            EXPECT_EQ(client.open(reply), toBytes(R"({"ts":)" + std::to_string(round) + "}"));
        }
    }
    EXPECT_EQ(client.seal(FrameType::clipboardSet, Bytes(65520, 0x20)).error(),
              WireError::frameTooLarge());
    EXPECT_EQ(client.seal(FrameType::textUTF8, TextBody{std::string("\xff\xfe", 2)}).error(),
              WireError::malformed());
    const Bytes wire = client.seal(FrameType::clipboardSet, toBytes("copied")).value();
    for (std::size_t bit = 0; bit < wire.size() * 8; ++bit) {
        Bytes flipped = wire;
        flipped[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        // A flipped length may leave the decoder waiting or failing: no frame at all.
        TCPFrameDecoder decoder;
        decoder.append(flipped);
        if (auto next = decoder.next(); next && *next) {
            ASSERT_EQ(host.open(**next), authFailed) << "bit " << bit;
        }
    }
    EXPECT_TRUE(host.open(frameOf(wire)).has_value());
    const TCPFrame first = frameOf(client.seal(FrameType::ping, toBytes("1")).value());
    const TCPFrame second = frameOf(client.seal(FrameType::ping, toBytes("2")).value());
    EXPECT_EQ(host.open(second), authFailed);
    EXPECT_EQ(host.open(first), toBytes("1"));
    // Concurrent seals use each counter exactly once.
    SecureTCPChannel busy(sessionKey, Role::host);
    std::vector<Bytes> sealed(400);
    const auto work = [&](std::size_t first) {
        for (std::size_t i = first; i < first + 100; ++i) {
            sealed[i] = busy.seal(FrameType::pong, toBytes("x")).value_or(Bytes{});
        }
    };
    { std::jthread a(work, 0), b(work, 100), c(work, 200), d(work, 300); }
    for (std::uint64_t counter = 0; counter < sealed.size(); ++counter) {
        const auto opens = [&](const Bytes& w) {
            return TCPFrameCodec::open(sessionKey, NoncePrefix::hostTCP, counter, frameOf(w));
        };
        ASSERT_EQ(std::count_if(sealed.begin(), sealed.end(), opens), 1) << "counter " << counter;
    }
}

}  // namespace
}  // namespace tarvel::wire
