#include "core/wire/input_packet.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <limits>
#include <set>
#include <vector>

namespace tarvel::wire {
namespace {

using Payload = InputEvent::Payload;
using E = InputEvent;

Bytes bytesOf(std::initializer_list<int> values) {
    Bytes out;
    for (int v : values) {
        out.push_back(static_cast<std::uint8_t>(v));
    }
    return out;
}

template <std::size_t N>
Bytes bytesOf(const std::array<std::uint8_t, N>& a) {
    return Bytes(a.begin(), a.end());
}

Payload payloadOf(std::initializer_list<int> values) {
    Payload out{};
    std::size_t i = 0;
    for (int v : values) {
        out.at(i++) = static_cast<std::uint8_t>(v);
    }
    return out;
}

// One row per case: an event with distinctive field values and the payload
// bytes it must produce, written out by hand from the protocol's table.
struct PayloadRow {
    const char* name;
    InputEvent event;
    std::uint8_t opcode;
    Payload bytes;
    std::size_t usedBytes;  // the case's fields fill a prefix of the payload
};

const std::vector<PayloadRow> payloadTable = {
    {"mouseMove", E::MouseMove{1.0f, -1.0f}, 1,
     payloadOf({0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x80, 0xBF}), 8},
    {"mouseButton", E::MouseButton{3, true, 2}, 2, payloadOf({0x03, 0x01, 0x02}), 3},
    {"scroll", E::Scroll{0.5f, -2.0f}, 3,
     payloadOf({0x00, 0x00, 0x00, 0x3F, 0x00, 0x00, 0x00, 0xC0}), 8},
    {"key", E::Key{0x1234, KeyState::repeat, true}, 4, payloadOf({0x34, 0x12, 0x02, 0x01}), 4},
    {"pinchZoom", E::PinchZoom{2.0f, 0.25f}, 6,
     payloadOf({0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x80, 0x3E}), 8},
    {"threeFingerSwipe", E::ThreeFingerSwipe{0xC3}, 7, payloadOf({0xC3}), 1},
    {"shortcut", E::Shortcut{0x42}, 8, payloadOf({0x42}), 1},
    {"modifierState", E::ModifierState{ModifierMask::control | ModifierMask::command}, 9,
     payloadOf({0x0A}), 1},
    {"media", E::Media{0x99}, 10, payloadOf({0x99}), 1},
    {"gamepadSticks", E::GamepadSticks{-1, 0, 32767, -32768}, 11,
     payloadOf({0xFF, 0xFF, 0x00, 0x00, 0xFF, 0x7F, 0x00, 0x80}), 8},
    {"gamepadButtons", E::GamepadButtons{0x04030201, 5, 6, 7}, 12,
     payloadOf({0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07}), 7},
    {"resetState", E::ResetState{}, 15, payloadOf({}), 0},
};

constexpr std::array<GesturePhase, 6> allPhases = {GesturePhase::none,     GesturePhase::began,
                                                   GesturePhase::changed,  GesturePhase::ended,
                                                   GesturePhase::momentum, GesturePhase::cancelled};

// A clear packet with a valid header around the given opcode and payload.
Bytes plainPacket(std::uint8_t opcode, const Payload& payload, std::uint8_t flags = 0x00) {
    Bytes out = bytesOf({0x01, opcode, 0x00, flags, 0x05, 0, 0, 0, 0, 0, 0, 0});
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

TEST(InputPacket, keyDownIsTheDocumentedTwentyBytesAndAsksForAck) {
    const InputPacket packet(2, E::Key{4, KeyState::down, false});
    EXPECT_TRUE(packet.ackRequired);
    EXPECT_EQ(bytesOf(packet.plain20()),
              bytesOf({0x01, 0x04, 0x00, 0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                       0x00, 0x00, 0x04, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00}));
}

TEST(InputPacket, headerCarriesSeqLittleEndianModifiersPhaseAndAck) {
    EXPECT_EQ(bytesOf(InputPacket(0x0102030405060708ULL, E::ResetState{}).headerBytes()),
              bytesOf({0x01, 0x0F, 0x00, 0x01, 0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01}));
    const InputPacket scroll(9, E::Scroll{0, 1}, ModifierMask::shift | ModifierMask::command,
                             GesturePhase::momentum, true);
    EXPECT_EQ(bytesOf(scroll.headerBytes()),
              bytesOf({0x01, 0x03, 0x09, 0x41, 0x09, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
    // An explicit ack overrides the event's default both ways.
    EXPECT_EQ(InputPacket(1, E::MouseMove{}, {}, GesturePhase::none, true).flags(), 0x01);
    EXPECT_EQ(InputPacket(1, E::Key{}, {}, GesturePhase::cancelled, false).flags(), 0x50);
}

TEST(InputEventPayload, everyCaseHasItsDocumentedBytesAndIgnoresUnusedOnes) {
    for (const auto& row : payloadTable) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.event.opcode(), row.opcode);
        EXPECT_EQ(bytesOf(row.event.encodePayload()), bytesOf(row.bytes));
        Payload noisy = row.bytes;
        for (std::size_t i = row.usedBytes; i < noisy.size(); ++i) {
            noisy[i] = static_cast<std::uint8_t>(0xA5 ^ i);
        }
        auto decoded = InputEvent::decode(row.opcode, noisy);
        ASSERT_TRUE(decoded.has_value()) << decoded.error();
        EXPECT_EQ(*decoded, row.event);
    }
}

TEST(InputEventPayload, anyNonZeroBooleanByteDecodesAsTrue) {
    for (int byte : {0x01, 0x02, 0x80, 0xFF}) {
        EXPECT_TRUE(InputEvent::decode(Opcode::mouseButton, payloadOf({1, byte, 1}))
                        ->as<E::MouseButton>()
                        ->down)
            << byte;
        EXPECT_TRUE(
            InputEvent::decode(Opcode::keyEvent, payloadOf({4, 0, 1, byte}))->as<E::Key>()->isRaw)
            << byte;
    }
    EXPECT_FALSE(
        InputEvent::decode(Opcode::mouseButton, payloadOf({1, 0, 1}))->as<E::MouseButton>()->down);
}

TEST(InputEventPayload, floatsKeepTheirExactBits) {
    // Negative zero, a NaN with a payload, infinity and a denormal.
    for (std::uint32_t bits : {0x80000000u, 0x7FC00123u, 0x7F800000u, 0x00000001u}) {
        Payload raw{};
        storeLE32(&raw[0], bits);
        storeLE32(&raw[4], ~bits);
        for (std::uint8_t opcode : {Opcode::mouseMove, Opcode::scroll, Opcode::pinchZoom}) {
            auto decoded = InputEvent::decode(opcode, raw);
            ASSERT_TRUE(decoded.has_value());
            EXPECT_EQ(bytesOf(decoded->encodePayload()), bytesOf(raw)) << std::hex << bits;
        }
    }
}

TEST(InputEventDecode, acceptsExactlyTheDefinedOpcodes) {
    const std::set<int> defined = {1, 2, 3, 4, 6, 7, 8, 9, 10, 11, 12, 15};
    for (int opcode = 0; opcode <= 255; ++opcode) {
        auto decoded = InputEvent::decode(static_cast<std::uint8_t>(opcode), Payload{});
        if (defined.count(opcode) != 0) {
            ASSERT_TRUE(decoded.has_value()) << opcode;
            EXPECT_EQ(decoded->opcode(), opcode);
        } else {
            ASSERT_FALSE(decoded.has_value()) << opcode;
            EXPECT_EQ(decoded.error(), WireError::unknownOpcode(static_cast<std::uint8_t>(opcode)));
        }
    }
}

TEST(InputEventDecode, keyStateAboveRepeatIsMalformed) {
    for (int state : {3, 4, 0x80, 0xFF}) {
        auto decoded = InputEvent::decode(Opcode::keyEvent, payloadOf({4, 0, state, 0}));
        ASSERT_FALSE(decoded.has_value()) << state;
        EXPECT_EQ(decoded.error(), WireError::malformed());
    }
}

TEST(InputEventAck, defaultFollowsTheEventKindAndPhase) {
    for (const auto& row : payloadTable) {
        for (GesturePhase phase : allPhases) {
            SCOPED_TRACE(std::string(row.name) + " phase " +
                         std::to_string(static_cast<int>(phase)));
            bool expected = true;
            if (row.opcode == Opcode::mouseMove || row.opcode == Opcode::scroll ||
                row.opcode == Opcode::gamepadSticks) {
                expected = false;
            } else if (row.opcode == Opcode::pinchZoom) {
                expected = phase == GesturePhase::ended;
            }
            EXPECT_EQ(InputPacket(1, row.event, {}, phase).ackRequired, expected);
        }
    }
}

TEST(InputPacketFromPlain20, wrongLengthIsTruncated) {
    const auto valid = InputPacket(1, E::ResetState{}).plain20();
    for (std::size_t length : {0u, 1u, 12u, 19u, 21u, 36u}) {
        Bytes bytes(valid.begin(), valid.end());
        bytes.resize(length, 0x00);
        EXPECT_EQ(InputPacket::fromPlain20(bytes).error(), WireError::truncated()) << length;
    }
}

TEST(InputPacketFromPlain20, flagsFrom0x60AreMalformedAndBitsOneToThreeAreIgnored) {
    for (int flags : {0x60, 0x61, 0x70, 0xF0, 0xFF}) {
        auto packet = InputPacket::fromPlain20(
            plainPacket(Opcode::resetState, {}, static_cast<std::uint8_t>(flags)));
        EXPECT_EQ(packet.error(), WireError::malformed()) << flags;
    }
    auto last = InputPacket::fromPlain20(plainPacket(Opcode::resetState, {}, 0x51));
    ASSERT_TRUE(last.has_value());
    EXPECT_EQ(last->phase, GesturePhase::cancelled);
    EXPECT_TRUE(last->ackRequired);

    auto loose = InputPacket::fromPlain20(plainPacket(Opcode::resetState, {}, 0x2E));
    ASSERT_TRUE(loose.has_value());
    EXPECT_EQ(loose->phase, GesturePhase::changed);
    EXPECT_FALSE(loose->ackRequired);
    EXPECT_EQ(loose->flags(), 0x20);
}

TEST(InputPacketFromPlain20, firstFailingCheckDecides) {
    // Every check fails: the length wins.
    Bytes bad = plainPacket(5, payloadOf({4, 0, 9}), 0x60);
    bad[0] = 2;
    Bytes shortBad(bad.begin(), bad.end() - 1);
    EXPECT_EQ(InputPacket::fromPlain20(shortBad).error(), WireError::truncated());
    // Then the version, the flags, the opcode, the payload.
    EXPECT_EQ(InputPacket::fromPlain20(bad).error(), WireError::badVersion(2));
    bad[0] = 1;
    EXPECT_EQ(InputPacket::fromPlain20(bad).error(), WireError::malformed());
    bad[3] = 0x00;
    EXPECT_EQ(InputPacket::fromPlain20(bad).error(), WireError::unknownOpcode(5));
    bad[1] = Opcode::keyEvent;
    EXPECT_EQ(InputPacket::fromPlain20(bad).error(), WireError::malformed());
}

TEST(InputPacketFromPlain20, modifierByteIsCarriedVerbatimIncludingUndefinedBits) {
    Bytes bytes = plainPacket(Opcode::resetState, {});
    bytes[2] = 0xF5;
    auto packet = InputPacket::fromPlain20(bytes);
    ASSERT_TRUE(packet.has_value());
    EXPECT_EQ(packet->modifierMask.rawValue, 0xF5);
    EXPECT_EQ(packet->headerBytes()[2], 0xF5);
}

}  // namespace
}  // namespace tarvel::wire
