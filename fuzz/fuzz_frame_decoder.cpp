// Feeds a byte stream to TCPFrameDecoder in chunks whose sizes the input
// chooses, and checks every result against a one-pass reading of the whole
// stream: same frames, same error at the same place, nothing lost or invented.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/wire/frame.hpp"

namespace {

using namespace tarvel::wire;

struct Expected {
    std::vector<TCPFrame> frames;
    std::optional<WireError> error;  // where the stream goes bad, after the frames
};

// The whole stream read at once, straight from the frame layout.
Expected readWhole(ByteView stream) {
    Expected out;
    std::size_t at = 0;
    while (stream.size() - at >= 4) {
        const std::uint32_t length = loadLE32(stream.data() + at);
        if (length == 0) {
            out.error = WireError::invalidFrameLength();
            break;
        }
        if (length > TCPFrameCodec::maxPayloadLen) {
            out.error = WireError::frameTooLarge();
            break;
        }
        if (stream.size() - at - 4 < length) {
            break;
        }
        TCPFrame frame;
        frame.type = stream[at + 4];
        frame.body.assign(stream.begin() + static_cast<std::ptrdiff_t>(at + 5),
                          stream.begin() + static_cast<std::ptrdiff_t>(at + 4 + length));
        out.frames.push_back(std::move(frame));
        at += 4 + length;
    }
    return out;
}

void check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    // Byte 0 says how many of the following bytes are chunk sizes (0-15);
    // the rest is the stream. With no sizes the stream arrives in one piece.
    const std::size_t sizeCount = std::min<std::size_t>(data[0] % 16, size - 1);
    const ByteView chunkSizes(data + 1, sizeCount);
    const ByteView stream(data + 1 + sizeCount, size - 1 - sizeCount);

    const Expected expected = readWhole(stream);

    TCPFrameDecoder decoder;
    std::size_t fed = 0;
    std::size_t consumed = 0;
    std::size_t frameIndex = 0;
    std::size_t chunkIndex = 0;
    bool failed = false;
    while (fed < stream.size() && !failed) {
        std::size_t chunk = stream.size() - fed;
        if (!chunkSizes.empty()) {
            chunk = std::min<std::size_t>(chunk, chunkSizes[chunkIndex++ % chunkSizes.size()] + 1u);
        }
        decoder.append(stream.subspan(fed, chunk));
        fed += chunk;
        // Bounded: each round either returns a frame (consuming at least 5
        // bytes), nothing, or an error.
        while (true) {
            auto next = decoder.next();
            if (!next) {
                check(frameIndex == expected.frames.size());
                check(expected.error.has_value() && *expected.error == next.error());
                failed = true;
                break;
            }
            if (!next->has_value()) {
                break;
            }
            const TCPFrame& frame = **next;
            check(frameIndex < expected.frames.size());
            check(frame == expected.frames[frameIndex]);
            check(frame.body.size() < TCPFrameCodec::maxPayloadLen);
            ++frameIndex;
            consumed += 4 + 1 + frame.body.size();
            check(consumed <= fed);
        }
        if (!failed) {
            check(decoder.bufferedBytes() == fed - consumed);
        }
    }
    // Every frame came out, and a bad length is reported once its four bytes are in.
    check(frameIndex == expected.frames.size());
    check(failed == expected.error.has_value());
    return 0;
}
