#include "core/wire/input_packet.hpp"

#include <gtest/gtest.h>

#include <algorithm>

namespace tarvel::wire {
namespace {

using Payload = InputEvent::Payload;
using E = InputEvent;

template <std::size_t N>
using Array = std::array<std::uint8_t, N>;

// Distinctive field values and their payload bytes, written out by hand.
struct PayloadRow {
    InputEvent event;
    std::uint8_t opcode;
    Payload bytes;
    std::size_t usedBytes;  // the case's fields fill a prefix of the payload
};

const std::vector<PayloadRow> payloadTable = {
    {E::MouseMove{1.0f, -1.0f}, 1, {0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x80, 0xBF}, 8},
    {E::MouseButton{3, true, 2}, 2, {0x03, 0x01, 0x02}, 3},
    {E::Scroll{0.5f, -2.0f}, 3, {0x00, 0x00, 0x00, 0x3F, 0x00, 0x00, 0x00, 0xC0}, 8},
    {E::Key{0x1234, KeyState::repeat, true}, 4, {0x34, 0x12, 0x02, 0x01}, 4},
    {E::PinchZoom{2.0f, 0.25f}, 6, {0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x80, 0x3E}, 8},
    {E::ThreeFingerSwipe{0xC3}, 7, {0xC3}, 1},
    {E::Shortcut{0x42}, 8, {0x42}, 1},
    {E::ModifierState{ModifierMask::control | ModifierMask::command}, 9, {0x0A}, 1},
    {E::Media{0x99}, 10, {0x99}, 1},
    {E::GamepadSticks{-1, 0, 32767, -32768}, 11, {0xFF, 0xFF, 0, 0, 0xFF, 0x7F, 0, 0x80}, 8},
    {E::GamepadButtons{0x04030201, 5, 6, 7}, 12, {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07}, 7},
    {E::ResetState{}, 15, {}, 0},
};

Bytes plainPacket(std::uint8_t opcode, const Payload& payload, std::uint8_t flags = 0x00) {
    Array<20> out{0x01, opcode, 0x00, flags, 0x05};
    std::copy(payload.begin(), payload.end(), out.begin() + 12);
    return Bytes(out.begin(), out.end());
}

TEST(InputPacket, headerAndEveryPayloadHaveTheirDocumentedBytesAndAckFollowsTheKind) {
    const InputPacket keyDown(2, E::Key{4, KeyState::down, false});
    EXPECT_EQ(keyDown.plain20(),
              (Array<20>{0x01, 0x04, 0x00, 0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                         0x00, 0x00, 0x04, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00}));
    const InputPacket scroll(9, E::Scroll{0, 1}, ModifierMask::shift | ModifierMask::command,
                             GesturePhase::momentum, true);
    EXPECT_EQ(scroll.headerBytes(),
              (Array<12>{0x01, 0x03, 0x09, 0x41, 0x09, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
    // An explicit ack overrides the event's default both ways.
    EXPECT_EQ(InputPacket(1, E::MouseMove{}, {}, GesturePhase::none, true).flags(), 0x01);
    EXPECT_EQ(InputPacket(1, E::Key{}, {}, GesturePhase::cancelled, false).flags(), 0x50);
    for (const auto& row : payloadTable) {
        SCOPED_TRACE(int(row.opcode));
        EXPECT_EQ(row.event.opcode(), row.opcode);
        EXPECT_EQ(row.event.encodePayload(), row.bytes);
        Payload noisy = row.bytes;
        for (std::size_t i = row.usedBytes; i < noisy.size(); ++i) {
            noisy[i] = static_cast<std::uint8_t>(0xA5 ^ i);
        }
        auto decoded = InputEvent::decode(row.opcode, noisy);
        ASSERT_TRUE(decoded.has_value()) << decoded.error();
        EXPECT_EQ(*decoded, row.event);
    }
    // Any non-zero boolean byte is true.
    for (std::uint8_t byte : {0x00, 0x01, 0x80, 0xFF}) {
        const auto button = InputEvent::decode(Opcode::mouseButton, Payload{1, byte, 1});
        EXPECT_EQ(button->as<E::MouseButton>()->down, byte != 0) << int(byte);
        const auto key = InputEvent::decode(Opcode::keyEvent, Payload{4, 0, 1, byte});
        EXPECT_EQ(key->as<E::Key>()->isRaw, byte != 0) << int(byte);
    }
    for (const auto& row : payloadTable) {
        const bool stream = row.opcode == Opcode::mouseMove || row.opcode == Opcode::scroll ||
                            row.opcode == Opcode::gamepadSticks;
        for (int phase = 0; phase <= 5; ++phase) {
            const bool expected = row.opcode == Opcode::pinchZoom ? phase == 3 : !stream;
            EXPECT_EQ(InputPacket(1, row.event, {}, GesturePhase(phase)).ackRequired, expected)
                << int(row.opcode) << " phase " << phase;
        }
    }
}

TEST(InputPacketFromPlain20, firstFailingCheckDecidesOnlyDefinedOpcodesAndFlagsBelow0x60Decode) {
    // Every check fails: the length wins, at every wrong length.
    Bytes bad = plainPacket(5, Payload{4, 0, 3}, 0x60);
    bad[0] = 2;
    for (std::size_t length : {0u, 1u, 12u, 19u, 21u, 36u}) {
        Bytes resized = bad;
        resized.resize(length, 0x00);
        EXPECT_EQ(InputPacket::fromPlain20(resized).error(), WireError::truncated()) << length;
    }
    // Then the version, the flags, the opcode, the payload (a key state above repeat).
    EXPECT_EQ(InputPacket::fromPlain20(bad).error(), WireError::badVersion(2));
    bad[0] = 1;
    EXPECT_EQ(InputPacket::fromPlain20(bad).error(), WireError::malformed());
    bad[3] = 0x00;
    EXPECT_EQ(InputPacket::fromPlain20(bad).error(), WireError::unknownOpcode(5));
    bad[1] = Opcode::keyEvent;
    EXPECT_EQ(InputPacket::fromPlain20(bad).error(), WireError::malformed());
    const std::set<int> defined = {1, 2, 3, 4, 6, 7, 8, 9, 10, 11, 12, 15};
    for (int opcode = 0; opcode <= 255; ++opcode) {
        auto decoded = InputEvent::decode(static_cast<std::uint8_t>(opcode), Payload{});
        ASSERT_EQ(decoded.has_value(), defined.count(opcode) == 1) << opcode;
        EXPECT_EQ(decoded ? decoded->opcode() : opcode, opcode);
    }
    for (int flags : {0x60, 0x61, 0x70, 0xF0, 0xFF}) {
        auto packet = InputPacket::fromPlain20(
            plainPacket(Opcode::resetState, {}, static_cast<std::uint8_t>(flags)));
        EXPECT_EQ(packet.error(), WireError::malformed()) << flags;
    }
    // Bits one to three are ignored; undefined modifier bits are kept verbatim.
    Bytes loose = plainPacket(Opcode::resetState, {}, 0x2E);
    loose[2] = 0xF5;
    auto packet = InputPacket::fromPlain20(loose);
    ASSERT_TRUE(packet.has_value());
    EXPECT_EQ(packet->phase, GesturePhase::changed);
    EXPECT_FALSE(packet->ackRequired);
    EXPECT_EQ(packet->flags(), 0x20);
    EXPECT_EQ(packet->headerBytes()[2], 0xF5);
}

}  // namespace
}  // namespace tarvel::wire
