#include "core/wire/frame.hpp"

#include <algorithm>

namespace tarvel::wire {

std::string WireError::description() const {
    switch (kind) {
        case Kind::badVersion:
            return "badVersion(" + std::to_string(value) + ")";
        case Kind::unknownOpcode:
            return "unknownOpcode(" + std::to_string(value) + ")";
        case Kind::frameTooLarge:
            return "frameTooLarge";
        case Kind::invalidFrameLength:
            return "invalidFrameLength";
        case Kind::truncated:
            return "truncated";
        case Kind::authenticationFailed:
            return "authenticationFailed";
        case Kind::malformed:
            return "malformed";
    }
    return "unknown";
}

std::ostream& operator<<(std::ostream& out, const WireError& error) {
    return out << error.description();
}

namespace TCPFrameCodec {

tl::expected<Bytes, WireError> encodePlain(std::uint8_t type, ByteView body) {
    if (body.size() >= maxPayloadLen) {
        return tl::unexpected(WireError::frameTooLarge());
    }
    const auto length = static_cast<std::uint32_t>(body.size() + 1);
    Bytes frame(lengthFieldSize + length);
    storeLE32(frame.data(), length);
    frame[lengthFieldSize] = type;
    std::copy(body.begin(), body.end(), frame.begin() + lengthFieldSize + 1);
    return frame;
}

}  // namespace TCPFrameCodec

void TCPFrameDecoder::append(ByteView bytes) {
    if (bytes.empty()) {
        return;
    }
    // Compact before growing: only the unconsumed tail (at most one partial
    // frame) moves, and it moves once per completed frame at most.
    if (head_ > 0) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(head_));
        head_ = 0;
    }
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

tl::expected<std::optional<TCPFrame>, WireError> TCPFrameDecoder::next() {
    using TCPFrameCodec::lengthFieldSize;
    using TCPFrameCodec::maxPayloadLen;

    const std::size_t available = buffer_.size() - head_;
    if (available < lengthFieldSize) {
        return std::optional<TCPFrame>{};
    }
    const std::uint8_t* start = buffer_.data() + head_;
    const std::uint32_t length = loadLE32(start);
    // Judged from the length field alone, so a peer cannot make us buffer a
    // bogus frame's body first.
    if (length == 0) {
        return tl::unexpected(WireError::invalidFrameLength());
    }
    if (length > maxPayloadLen) {
        return tl::unexpected(WireError::frameTooLarge());
    }
    const std::size_t total = lengthFieldSize + length;
    if (available < total) {
        return std::optional<TCPFrame>{};
    }
    TCPFrame frame;
    frame.type = start[lengthFieldSize];
    frame.body.assign(start + lengthFieldSize + 1, start + total);
    head_ += total;
    if (head_ == buffer_.size()) {
        buffer_.clear();
        head_ = 0;
    }
    return std::optional<TCPFrame>{std::move(frame)};
}

}  // namespace tarvel::wire
