// Feeds arbitrary bytes to every decoder a handshake peer can reach: each
// message type and the refusal reader. Nothing may crash, and whatever
// decodes must survive an encode/decode round trip unchanged.
#include <cstddef>
#include <cstdint>

#include "core/security/handshake_frames.hpp"
#include "core/security/handshake_messages.hpp"
#include "core/security/hex.hpp"
#include "core/wire/frame.hpp"
#include "core/wire/json_codec.hpp"

namespace {

using namespace tarvel;

template <class T>
void roundTrip(wire::ByteView input) {
    auto decoded = wire::JSONCodec::decode<T>(input);
    if (!decoded) {
        return;
    }
    auto encoded = wire::JSONCodec::encode(*decoded);
    if (!encoded) {
        __builtin_trap();  // decoded text is UTF-8, so it always re-encodes
    }
    auto again = wire::JSONCodec::decode<T>(*encoded);
    if (!again || !(*again == *decoded)) {
        __builtin_trap();
    }
    // Encoding is canonical: a second pass gives the same bytes.
    if (wire::JSONCodec::encode(*again) != encoded) {
        __builtin_trap();
    }
}

void refusal(wire::ByteView input) {
    using security::HandshakeFrames::failure;
    const auto read = failure(wire::FrameType::pairReject, input);
    if (!read) {
        __builtin_trap();  // every pairReject is some refusal
    }
    // What a host sends for this error reads back as the same error.
    const auto again =
        failure(wire::FrameType::pairReject, security::HandshakeFrames::rejectBody(*read));
    if (!again || !(*again == *read)) {
        __builtin_trap();
    }
    if (failure(wire::FrameType::errUnpaired, input) != security::HandshakeError::unpaired()) {
        __builtin_trap();
    }
}

void hexField(wire::ByteView input) {
    const std::string_view text(reinterpret_cast<const char*>(input.data()), input.size());
    const auto bytes = security::Hex::decode(text);
    if (!bytes) {
        return;
    }
    if (bytes->size() * 2 != text.size() ||
        security::Hex::decode(security::Hex::encode(*bytes)) != bytes) {
        __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const wire::ByteView input(data, size);
    roundTrip<security::PairRequest>(input);
    roundTrip<security::PairChallenge>(input);
    roundTrip<security::PairConfirm>(input);
    roundTrip<security::PairComplete>(input);
    roundTrip<security::AuthHello>(input);
    roundTrip<security::AuthChallenge>(input);
    roundTrip<security::AuthResponse>(input);
    refusal(input);
    hexField(input);
    return 0;
}
