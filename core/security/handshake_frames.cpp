#include "core/security/handshake_frames.hpp"

#include "core/wire/bodies.hpp"
#include "core/wire/frame.hpp"

namespace tarvel::security::HandshakeFrames {

Bytes rejectBody(const HandshakeError& error) {
    auto body = wire::JSONCodec::encode(wire::ReasonBody{error.rejectReason()});
    if (!body) {
        return wire::toBytes(fallbackRejectBody);
    }
    return std::move(*body);
}

std::optional<HandshakeError> failure(std::uint8_t type, ByteView body) {
    if (type == wire::FrameType::errUnpaired) {
        return HandshakeError::unpaired();
    }
    if (type != wire::FrameType::pairReject) {
        return std::nullopt;
    }
    auto decoded = wire::JSONCodec::decode<wire::ReasonBody>(body);
    std::string reason = decoded ? std::move(decoded->reason) : std::string("rejected");
    if (reason == "no_active_code") {
        return HandshakeError::noActiveCode();
    }
    if (reason == "invalid_code") {
        return HandshakeError::invalidCode();
    }
    // Including "unpaired": only errUnpaired means the host forgot us.
    return HandshakeError::rejected(std::move(reason));
}

}  // namespace tarvel::security::HandshakeFrames
