// Peer bytes decoded as every control body: decoding never crashes, and a body
// that decodes re-encodes to text that decodes to an equal value.
#include <cstddef>
#include <cstdint>

#include "core/wire/bodies.hpp"

namespace {

using namespace tarvel::wire;

template <class T>
void roundTrip(ByteView input) {
    auto value = JSONCodec::decode<T>(input);
    if (!value) {
        return;
    }
    auto text = JSONCodec::encode(*value);
    if (!text) {
        __builtin_trap();  // decoded strings are UTF-8, so they must encode
    }
    auto again = JSONCodec::decode<T>(*text);
    if (!again || !(*again == *value)) {
        __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ByteView input(data, size);
    roundTrip<EmptyBody>(input);
    roundTrip<PingBody>(input);
    roundTrip<TextBody>(input);
    roundTrip<ClipboardBody>(input);
    roundTrip<ReasonBody>(input);
    roundTrip<InfoReply>(input);
    roundTrip<HostStatus>(input);
    return 0;
}
