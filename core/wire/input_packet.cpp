#include "core/wire/input_packet.hpp"

#include <algorithm>
#include <bit>
#include <limits>

namespace tarvel::wire {

namespace {

using Payload = InputEvent::Payload;
using PayloadView = std::span<const std::uint8_t, InputEvent::payloadLength>;

static_assert(std::numeric_limits<float>::is_iec559 && sizeof(float) == 4,
              "payload floats are IEEE 754 single precision");

void storeFloat(std::uint8_t* out, float value) noexcept {
    storeLE32(out, std::bit_cast<std::uint32_t>(value));
}

float loadFloat(const std::uint8_t* in) noexcept {
    return std::bit_cast<float>(loadLE32(in));
}

void storeInt16(std::uint8_t* out, std::int16_t value) noexcept {
    storeLE16(out, static_cast<std::uint16_t>(value));
}

std::int16_t loadInt16(const std::uint8_t* in) noexcept {
    return static_cast<std::int16_t>(loadLE16(in));
}

// A sender writes 1 or 0; any non-zero byte counts as true.
std::uint8_t encodeBool(bool value) noexcept {
    return value ? 1 : 0;
}
bool decodeBool(std::uint8_t byte) noexcept {
    return byte != 0;
}

void encodeInto(Payload& out, const InputEvent::MouseMove& e) noexcept {
    storeFloat(&out[0], e.dx);
    storeFloat(&out[4], e.dy);
}
void encodeInto(Payload& out, const InputEvent::MouseButton& e) noexcept {
    out[0] = e.button;
    out[1] = encodeBool(e.down);
    out[2] = e.clickCount;
}
void encodeInto(Payload& out, const InputEvent::Scroll& e) noexcept {
    storeFloat(&out[0], e.sx);
    storeFloat(&out[4], e.sy);
}
void encodeInto(Payload& out, const InputEvent::Key& e) noexcept {
    storeLE16(&out[0], e.hid);
    out[2] = static_cast<std::uint8_t>(e.state);
    out[3] = encodeBool(e.isRaw);
}
void encodeInto(Payload& out, const InputEvent::PinchZoom& e) noexcept {
    storeFloat(&out[0], e.scaleDelta);
    storeFloat(&out[4], e.velocity);
}
void encodeInto(Payload& out, const InputEvent::ThreeFingerSwipe& e) noexcept {
    out[0] = e.direction;
}
void encodeInto(Payload& out, const InputEvent::Shortcut& e) noexcept {
    out[0] = e.actionId;
}
void encodeInto(Payload& out, const InputEvent::ModifierState& e) noexcept {
    out[0] = e.mask.rawValue;
}
void encodeInto(Payload& out, const InputEvent::Media& e) noexcept {
    out[0] = e.mediaId;
}
void encodeInto(Payload& out, const InputEvent::GamepadSticks& e) noexcept {
    storeInt16(&out[0], e.lx);
    storeInt16(&out[2], e.ly);
    storeInt16(&out[4], e.rx);
    storeInt16(&out[6], e.ry);
}
void encodeInto(Payload& out, const InputEvent::GamepadButtons& e) noexcept {
    storeLE32(&out[0], e.buttons);
    out[4] = e.hat;
    out[5] = e.lt;
    out[6] = e.rt;
}
void encodeInto(Payload&, const InputEvent::ResetState&) noexcept {}

}  // namespace

std::uint8_t InputEvent::opcode() const noexcept {
    return std::visit([](const auto& e) { return std::decay_t<decltype(e)>::opcode; }, value_);
}

InputEvent::Payload InputEvent::encodePayload() const noexcept {
    Payload out{};  // bytes a case does not use go out as 0
    std::visit([&out](const auto& e) { encodeInto(out, e); }, value_);
    return out;
}

tl::expected<InputEvent, WireError> InputEvent::decode(std::uint8_t opcode,
                                                       PayloadView payload) noexcept {
    const std::uint8_t* p = payload.data();
    switch (opcode) {
        case Opcode::mouseMove:
            return MouseMove{loadFloat(p), loadFloat(p + 4)};
        case Opcode::mouseButton:
            return MouseButton{p[0], decodeBool(p[1]), p[2]};
        case Opcode::scroll:
            return Scroll{loadFloat(p), loadFloat(p + 4)};
        case Opcode::keyEvent:
            // A state we cannot name would reach the injector as a key it
            // cannot release; refuse it here.
            if (p[2] > static_cast<std::uint8_t>(KeyState::repeat)) {
                return tl::unexpected(WireError::malformed());
            }
            return Key{loadLE16(p), static_cast<KeyState>(p[2]), decodeBool(p[3])};
        case Opcode::pinchZoom:
            return PinchZoom{loadFloat(p), loadFloat(p + 4)};
        case Opcode::threeFingerSwipe:
            return ThreeFingerSwipe{p[0]};
        case Opcode::shortcutAction:
            return Shortcut{p[0]};
        case Opcode::modifierState:
            return ModifierState{ModifierMask(p[0])};
        case Opcode::mediaKey:
            return Media{p[0]};
        case Opcode::gamepadSticks:
            return GamepadSticks{loadInt16(p), loadInt16(p + 2), loadInt16(p + 4),
                                 loadInt16(p + 6)};
        case Opcode::gamepadButtons:
            return GamepadButtons{loadLE32(p), p[4], p[5], p[6]};
        case Opcode::resetState:
            return ResetState{};
        default:
            // 0, 5, 13, 14, 16 and above, the ack opcode included.
            return tl::unexpected(WireError::unknownOpcode(opcode));
    }
}

bool InputEvent::defaultAckRequired(GesturePhase phase) const noexcept {
    if (as<MouseMove>() != nullptr || as<Scroll>() != nullptr || as<GamepadSticks>() != nullptr) {
        return false;  // the next packet of the stream supersedes a lost one
    }
    if (as<PinchZoom>() != nullptr) {
        return phase == GesturePhase::ended;
    }
    return true;
}

InputPacket::InputPacket(std::uint64_t seq, InputEvent event, ModifierMask modifierMask,
                         GesturePhase phase, std::optional<bool> ackRequired) noexcept
    : modifierMask(modifierMask),
      phase(phase),
      ackRequired(ackRequired.value_or(event.defaultAckRequired(phase))),
      seq(seq),
      event(event) {}

std::uint8_t InputPacket::flags() const noexcept {
    return static_cast<std::uint8_t>((static_cast<std::uint8_t>(phase) << 4) |
                                     (ackRequired ? 1 : 0));
}

InputPacket::Header InputPacket::headerBytes() const noexcept {
    Header header{};
    header[0] = version;
    header[1] = event.opcode();
    header[2] = modifierMask.rawValue;
    header[3] = flags();
    storeLE64(&header[4], seq);
    return header;
}

InputPacket::Plain InputPacket::plain20() const noexcept {
    Plain out{};
    const Header header = headerBytes();
    const Payload payload = event.encodePayload();
    std::copy(header.begin(), header.end(), out.begin());
    std::copy(payload.begin(), payload.end(), out.begin() + headerLength);
    return out;
}

tl::expected<InputPacket, WireError> InputPacket::fromPlain20(ByteView bytes) noexcept {
    if (bytes.size() != plainLength) {
        return tl::unexpected(WireError::truncated());
    }
    if (bytes[0] != version) {
        return tl::unexpected(WireError::badVersion(bytes[0]));
    }
    const std::uint8_t flagsByte = bytes[3];
    if (flagsByte >= firstInvalidFlags) {
        return tl::unexpected(WireError::malformed());
    }
    auto event =
        InputEvent::decode(bytes[1], bytes.subspan<headerLength, InputEvent::payloadLength>());
    if (!event) {
        return tl::unexpected(event.error());
    }
    return InputPacket(loadLE64(&bytes[4]), *event, ModifierMask(bytes[2]),
                       static_cast<GesturePhase>(flagsByte >> 4), (flagsByte & 1) != 0);
}

}  // namespace tarvel::wire
