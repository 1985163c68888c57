#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <numeric>

#include "core/wire/frame.hpp"

namespace tarvel::wire {
namespace {

Bytes bytes(std::initializer_list<std::uint8_t> list) {
    return Bytes(list);
}

// Feeds `stream` in pieces of `chunk` bytes and collects every frame.
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

TEST(TCPFrameCodec, encodesLengthTypeAndBodyLittleEndianUpTo65535BodyBytes) {
    EXPECT_EQ(TCPFrameCodec::encodePlain(0x10, {}).value(), bytes({0x01, 0x00, 0x00, 0x00, 0x10}));
    EXPECT_EQ(TCPFrameCodec::encodePlain(0x30, bytes({0x7B, 0x7D})).value(),
              bytes({0x03, 0x00, 0x00, 0x00, 0x30, 0x7B, 0x7D}));
    auto largest = TCPFrameCodec::encodePlain(0x32, Bytes(65535, 0xAA));
    ASSERT_TRUE(largest);
    ASSERT_EQ(largest->size(), 65540u);
    EXPECT_EQ(Bytes(largest->begin(), largest->begin() + 4), bytes({0x00, 0x00, 0x01, 0x00}));
    EXPECT_EQ(TCPFrameCodec::encodePlain(0x32, Bytes(65536, 0xAA)).error(),
              WireError::frameTooLarge());
}

TEST(TCPFrameDecoder, sameFramesInOrderWhateverTheReadSizes) {
    Bytes body(1000);
    std::iota(body.begin(), body.end(), std::uint8_t{0});
    std::vector<TCPFrame> sent{{0x33, body}, {0x14, {}}};
    // Then a 64 KiB read's worth of 5-byte frames.
    for (int i = 0; i < 65536 / 6; ++i) {
        sent.push_back({static_cast<std::uint8_t>(i), bytes({static_cast<std::uint8_t>(i >> 8)})});
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

TEST(TCPFrameDecoder, refusesABadLengthAsSoonAsItArrivesAfterEarlierFrames) {
    TCPFrameDecoder zero;
    zero.append(bytes({0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(zero.next().error(), WireError::invalidFrameLength());

    TCPFrameDecoder largest;  // 65 536 is still legal and waits for its body
    largest.append(bytes({0x00, 0x00, 0x01, 0x00}));
    auto waiting = largest.next();
    EXPECT_TRUE(waiting && !*waiting);

    Bytes stream = TCPFrameCodec::encodePlain(0x30, bytes({1})).value();
    stream.insert(stream.end(), {0x01, 0x00, 0x01, 0x00});  // 65 537, no body byte yet
    TCPFrameDecoder decoder;
    decoder.append(stream);
    EXPECT_EQ(decoder.next().value(), (TCPFrame{0x30, bytes({1})}));
    EXPECT_EQ(decoder.next().error(), WireError::frameTooLarge());
}

}  // namespace
}  // namespace tarvel::wire
