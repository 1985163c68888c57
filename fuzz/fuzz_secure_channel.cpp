// A host's SecureTCPChannel fed a stream of sealed frames under a fixed key.
// Every frame that opens is exactly what a client channel under that key
// seals for the same type and plaintext at that point (so nothing opens that
// was not sealed in that order), and a frame that fails moves no counter:
// the frames after it open as if it had never come.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

#include "core/wire/frame.hpp"
#include "core/wire/secure_channel.hpp"
#include "fuzz/fuzz_support.hpp"

namespace {

using namespace tarvel::wire;
using tarvel::fuzz::check;

// Bytes 0, 1, 2 ... 31: the key the seed corpus was sealed under.
SymmetricKey fixedKey() {
    std::array<std::uint8_t, SymmetricKey::size> bytes{};
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(i);
    }
    return SymmetricKey(bytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const SymmetricKey key = fixedKey();
    SecureTCPChannel host(key, SecureTCPChannel::Role::host);
    SecureTCPChannel mirror(key, SecureTCPChannel::Role::client);

    TCPFrameDecoder decoder;
    decoder.append(ByteView(data, size));
    std::size_t at = 0;
    // Each round consumes a frame or stops.
    while (true) {
        auto next = decoder.next();
        if (!next || !next->has_value()) {
            break;
        }
        const TCPFrame& frame = **next;
        const std::size_t frameLength = 4 + 1 + frame.body.size();
        const ByteView wireBytes(data + at, frameLength);
        at += frameLength;

        const auto opened = host.open(frame);
        if (!opened) {
            check(opened.error() == WireError::authenticationFailed());
            continue;
        }
        check(opened->size() + ChaChaPoly::tagLength == frame.body.size());
        const auto resealed = mirror.seal(frame.type, ByteView(*opened));
        check(resealed.has_value() && ByteView(*resealed).size() == wireBytes.size() &&
              std::equal(resealed->begin(), resealed->end(), wireBytes.begin()));
    }
    // The host's own frames never open as the peer's on the same channel.
    const auto own = host.seal(0x10, ByteView(data, std::min<std::size_t>(size, 64)));
    check(own.has_value());
    TCPFrameDecoder ownDecoder;
    ownDecoder.append(ByteView(*own));
    const auto ownFrame = ownDecoder.next();
    check(ownFrame && ownFrame->has_value());
    check(!host.open(**ownFrame).has_value());
    return 0;
}
