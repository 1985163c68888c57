#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>

#include "core/wire/frame.hpp"

namespace tarvel::wire {
namespace {

Bytes bytes(std::initializer_list<std::uint8_t> list) {
    return Bytes(list);
}

TCPFrame expectFrame(TCPFrameDecoder& decoder) {
    auto next = decoder.next();
    EXPECT_TRUE(next.has_value());
    EXPECT_TRUE(next.has_value() && next->has_value());
    return next && *next ? **next : TCPFrame{};
}

void expectNothing(TCPFrameDecoder& decoder) {
    auto next = decoder.next();
    ASSERT_TRUE(next.has_value());
    EXPECT_FALSE(next->has_value());
}

TEST(TCPFrameCodec, encodesLengthTypeAndBodyLittleEndian) {
    EXPECT_EQ(TCPFrameCodec::encodePlain(0x10, {}).value(), bytes({0x01, 0x00, 0x00, 0x00, 0x10}));
    EXPECT_EQ(TCPFrameCodec::encodePlain(0x30, bytes({0x7B, 0x7D})).value(),
              bytes({0x03, 0x00, 0x00, 0x00, 0x30, 0x7B, 0x7D}));
}

TEST(TCPFrameCodec, largestBodyEncodesAndOneMoreByteIsRefused) {
    Bytes largest(65535, 0xAA);
    auto frame = TCPFrameCodec::encodePlain(0x32, largest);
    ASSERT_TRUE(frame);
    ASSERT_EQ(frame->size(), 65540u);
    EXPECT_EQ(Bytes(frame->begin(), frame->begin() + 4), bytes({0x00, 0x00, 0x01, 0x00}));

    Bytes tooLarge(65536, 0xAA);
    EXPECT_EQ(TCPFrameCodec::encodePlain(0x32, tooLarge).error(), WireError::frameTooLarge());
}

TEST(TCPFrameDecoder, returnsEmptyBodyFrameAndKeepsPartialBytes) {
    TCPFrameDecoder decoder;
    decoder.append(bytes({0x01, 0x00, 0x00}));
    expectNothing(decoder);
    EXPECT_EQ(decoder.bufferedBytes(), 3u);
    decoder.append(bytes({0x00, 0x14}));
    EXPECT_EQ(expectFrame(decoder), (TCPFrame{0x14, {}}));
    expectNothing(decoder);
    EXPECT_EQ(decoder.bufferedBytes(), 0u);
}

TEST(TCPFrameDecoder, byteAtATimeDeliveryYieldsTheSameFrames) {
    Bytes body(1000);
    std::iota(body.begin(), body.end(), std::uint8_t{0});
    Bytes stream = TCPFrameCodec::encodePlain(0x33, body).value();
    Bytes second = TCPFrameCodec::encodePlain(0x34, bytes({9})).value();
    stream.insert(stream.end(), second.begin(), second.end());

    TCPFrameDecoder decoder;
    std::vector<TCPFrame> frames;
    for (std::uint8_t b : stream) {
        decoder.append(ByteView(&b, 1));
        auto next = decoder.next();
        ASSERT_TRUE(next);
        if (*next) {
            frames.push_back(**next);
        }
    }
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0], (TCPFrame{0x33, body}));
    EXPECT_EQ(frames[1], (TCPFrame{0x34, bytes({9})}));
}

TEST(TCPFrameDecoder, rejectsBadLengthAsSoonAsTheFieldArrivesAfterEarlierFrames) {
    TCPFrameDecoder zero;
    zero.append(bytes({0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(zero.next().error(), WireError::invalidFrameLength());

    TCPFrameDecoder largest;  // 65 536 is still legal and waits for its body
    largest.append(bytes({0x00, 0x00, 0x01, 0x00}));
    expectNothing(largest);

    Bytes stream = TCPFrameCodec::encodePlain(0x30, bytes({1})).value();
    stream.insert(stream.end(), {0x01, 0x00, 0x01, 0x00});  // 65 537, no body byte yet
    TCPFrameDecoder decoder;
    decoder.append(stream);
    EXPECT_EQ(expectFrame(decoder), (TCPFrame{0x30, bytes({1})}));
    EXPECT_EQ(decoder.next().error(), WireError::frameTooLarge());
}

TEST(TCPFrameDecoder, manySmallFramesInOneLargeReadAllArriveInOrder) {
    // 64 KiB of 5-byte frames: each must come out once, in order.
    Bytes stream;
    const int count = 65536 / 6;
    for (int i = 0; i < count; ++i) {
        auto frame = TCPFrameCodec::encodePlain(static_cast<std::uint8_t>(i),
                                                bytes({static_cast<std::uint8_t>(i >> 8)}))
                         .value();
        stream.insert(stream.end(), frame.begin(), frame.end());
    }
    TCPFrameDecoder decoder;
    decoder.append(stream);
    for (int i = 0; i < count; ++i) {
        auto frame = expectFrame(decoder);
        ASSERT_EQ(frame.type, static_cast<std::uint8_t>(i));
        ASSERT_EQ(frame.body, bytes({static_cast<std::uint8_t>(i >> 8)}));
    }
    expectNothing(decoder);
}

}  // namespace
}  // namespace tarvel::wire
