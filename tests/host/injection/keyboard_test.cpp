// Keys, modifiers, keystroke events and typed text.
#include <gtest/gtest.h>

#include "host/injection/utf16.hpp"
#include "tests/host/injection/injector_harness.hpp"

namespace tarvel::injection::test {
namespace {

using Lines = std::vector<std::string>;

InputEvent modifiers(std::uint8_t raw) {
    return InputEvent::ModifierState{ModifierMask(raw)};
}

TEST(InjectorKey, downRepeatUpPostTheKeyCodeArrowsCarryFnAndUnknownUsagesNothing) {
    Harness h;
    h.keyEvent(hidA, KeyState::down);
    h.keyEvent(hidA, KeyState::repeat);
    EXPECT_TRUE(h.injector->state().heldHIDKeys.contains(hidA));
    h.keyEvent(hidA, KeyState::up);
    h.keyEvent(hidRightArrow, KeyState::down, ModifierMask::shift);
    h.keyEvent(0x4C, KeyState::down);  // forward delete, just below the arrows: no Fn
    h.keyEvent(0x03, KeyState::down);  // no key code: neither posted nor held
    EXPECT_EQ(h.take(),
              (Lines{keyLine(codeA, true), keyLine(codeA, true, 0, 1), keyLine(codeA, false),
                     keyLine(codeRightArrow, true, fShift | fFn), keyLine(0x75, true)}));
    EXPECT_FALSE(h.injector->state().heldHIDKeys.contains(0x03));
}

TEST(InjectorModifierKeys, heldModifierKeysAndThePacketMaskMakeTheFlags) {
    Harness h;
    h.keyEvent(hidLeftCommand, KeyState::down);
    h.keyEvent(hidZ, KeyState::down, ModifierMask::option);  // the packet's mask: this key only
    h.keyEvent(hidZ, KeyState::up);
    h.keyEvent(hidLeftShift, KeyState::down);
    // The client still reports Command held as the key comes up: the key's own bit is dropped.
    h.keyEvent(hidLeftCommand, KeyState::up, ModifierMask::command);
    h.keyEvent(hidLeftShift, KeyState::up);
    EXPECT_EQ(h.take(),
              (Lines{keyLine(codeCommand, true, fCommand), keyLine(codeZ, true, fCommand | fOption),
                     keyLine(codeZ, false, fCommand), keyLine(codeShift, true, fShift | fCommand),
                     keyLine(codeCommand, false, fShift), keyLine(codeShift, false, 0)}));
    EXPECT_FALSE(h.injector->state().holdsAnything());
}

TEST(InjectorModifierKeys, rightHandModifiersAreHeldButNotPostedThenReleasedAsLeftHand) {
    Harness h;
    h.keyEvent(hidRightShift, KeyState::down);
    h.keyEvent(hidRightCommand, KeyState::down);
    EXPECT_EQ(h.take(), Lines{});
    EXPECT_TRUE(h.injector->state().heldHIDKeys.contains(hidRightShift));
    EXPECT_TRUE(h.injector->state().heldModifiers.isEmpty());
    h.injector->releaseAll();
    EXPECT_EQ(h.take(), (Lines{keyLine(codeShift, false, fCommand), keyLine(codeCommand, false)}));
    EXPECT_TRUE(h.injector->state().heldHIDKeys.isEmpty());
}

TEST(InjectorModifierKeys, heldStateChangesEvenWhenNoEventCanBeMade) {
    struct NoKeyEventsSink : RecordingEventSink {
        std::optional<KeyboardEvent> createKeyboardEvent(std::uint16_t, bool) override {
            return std::nullopt;
        }
    };
    Harness h(VirtualScreen::standard(), std::make_shared<NoKeyEventsSink>());
    h.keyEvent(hidLeftShift, KeyState::down);
    h.keyEvent(hidA, KeyState::down);
    h.injector->injectText("hello");
    EXPECT_EQ(h.take(), Lines{});
    EXPECT_EQ(h.injector->state().heldModifiers, ModifierMask::shift);
    EXPECT_TRUE(h.injector->state().heldHIDKeys.contains(hidA));
    h.send(modifiers(0x08));
    EXPECT_EQ(h.injector->state().heldModifiers, ModifierMask::command);
}

TEST(InjectorSetModifiers, postsOnlyChangedBitsInShiftControlOptionCommandOrder) {
    Harness h;
    h.send(modifiers(0x09));
    h.send(modifiers(0x09));
    h.send(modifiers(0x00));
    EXPECT_EQ(h.take(), (Lines{keyLine(codeShift, true, fShift),
                               keyLine(codeCommand, true, fShift | fCommand),
                               keyLine(codeShift, false, fCommand), keyLine(codeCommand, false)}));
    h.send(modifiers(0x0E));
    h.take();
    h.send(modifiers(0x0D));  // shift on, control off
    EXPECT_EQ(h.take(), (Lines{keyLine(codeShift, true, fShift | fControl | fOption | fCommand),
                               keyLine(codeControl, false, fShift | fOption | fCommand)}));
    // Later keys carry the absolute state.
    h.keyEvent(hidA, KeyState::down);
    EXPECT_EQ(h.take(), (Lines{keyLine(codeA, true, fShift | fOption | fCommand)}));
}

// Swipes, shortcuts and media keys number their actions from one: the first
// and last ids map to the first and last rows, ids outside do nothing.
TEST(InjectorKeystrokeEvents, idsCountFromOneAndOthersAreIgnoredHeldModifiersJoin) {
    Harness h;
    for (std::uint8_t id : {0, 1, 4, 5}) {
        h.send(InputEvent::ThreeFingerSwipe{id});
    }
    for (std::uint8_t id : {0, 1, 8, 9}) {
        h.send(InputEvent::Shortcut{id});
        h.send(InputEvent::Media{id});
    }
    const std::uint64_t swipe = fControl | fFn;
    EXPECT_EQ(h.take(), (Lines{keyLine(codeUpArrow, true, swipe),
                               keyLine(codeUpArrow, false, swipe), keyLine(0x7B, true, swipe),
                               keyLine(0x7B, false, swipe), keyLine(0x08, true, fCommand),
                               keyLine(0x08, false, fCommand), mediaLine(0, true),
                               mediaLine(0, false), keyLine(0x0C, true, fCommand | fControl),
                               keyLine(0x0C, false, fCommand | fControl), mediaLine(3, true),
                               mediaLine(3, false)}));

    // Held modifiers join; the packet's own mask is not used.
    h.send(modifiers(0x04));
    h.take();
    h.send(InputEvent::Shortcut{1}, ModifierMask::shift);
    EXPECT_EQ(h.take(), (Lines{keyLine(0x08, true, fCommand | fOption),
                               keyLine(0x08, false, fCommand | fOption)}));
}

// Sees both halves of every Unicode chunk; the recording format writes one line per chunk.
struct UnicodeSink : RecordingEventSink {
    using RecordingEventSink::post;
    void post(const UnicodeKeyEvent& event) override {
        if (event.key.down) {
            chunks.emplace_back(event.text);
        }
        flags.push_back(event.key.flags);
        RecordingEventSink::post(event);
    }
    std::vector<std::u16string> chunks;
    std::vector<std::uint64_t> flags;
};

std::string repeat(const std::string& piece, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) {
        out += piece;
    }
    return out;
}

TEST(InjectorText, goesInChunksOfTwentyUnitsNeverSplittingASurrogatePair) {
    const std::string grin = "\xF0\x9F\x98\x80";  // U+1F600, two UTF-16 units
    const std::pair<std::string, std::vector<std::size_t>> rows[] =
        {
            {repeat("abcdefghi", 5), {20, 20, 5}},
            {repeat("a", 19) + grin + "b", {19, 3}},  // the pair would straddle units 20 and 21
            {repeat("a", 18) + grin, {20}},
            {"a" + repeat(grin, 20), {19, 20, 2}},
            {"", {}},
        };
    for (const auto& [text, sizes] : rows) {
        auto sink = std::make_shared<UnicodeSink>();
        Harness h(VirtualScreen::standard(), sink);
        h.injector->injectText(text);
        std::vector<std::size_t> seen;
        std::string joined;
        for (const auto& chunk : sink->chunks) {
            seen.push_back(chunk.size());
            joined += utf8FromUTF16(chunk);
        }
        EXPECT_EQ(seen, sizes) << text;
        EXPECT_EQ(joined, text);
        EXPECT_EQ(sink->flags.size(), 2 * sizes.size());  // each chunk down, then up
    }
}

TEST(InjectorText, neitherUsesNorChangesHeldModifiersAndReplacesIllFormedUTF8) {
    auto sink = std::make_shared<UnicodeSink>();
    Harness h(VirtualScreen::standard(), sink);
    h.send(modifiers(0x01));
    h.take();
    h.injector->injectText(
        "a\xFF"
        "b\xED\xA0\x80"
        "c\xE2\x82");
    EXPECT_EQ(sink->chunks, std::vector<std::u16string>{u"a\uFFFDb\uFFFDc\uFFFD"});
    EXPECT_EQ(sink->flags, (std::vector<std::uint64_t>{0, 0}));
    EXPECT_EQ(h.injector->state().heldModifiers, ModifierMask::shift);
    EXPECT_EQ(h.take(), (Lines{textLine("a\xEF\xBF\xBD"
                                        "b\xEF\xBF\xBD"
                                        "c\xEF\xBF\xBD")}));

    // A chunk whose key-up cannot be made is not typed at all: no key left down.
    struct OnlyDownSink : RecordingEventSink {
        std::optional<KeyboardEvent> createKeyboardEvent(std::uint16_t code, bool down) override {
            return down ? RecordingEventSink::createKeyboardEvent(code, down) : std::nullopt;
        }
    };
    Harness broken(VirtualScreen::standard(), std::make_shared<OnlyDownSink>());
    broken.injector->injectText("hello");
    EXPECT_EQ(broken.take(), Lines{});
}

TEST(Utf16, convertsBothWaysAndReplacesLoneSurrogates) {
    const std::string mixed = "h\xC3\xA9llo \xF0\x9F\x98\x80 \xE4\xB8\xAD";
    EXPECT_EQ(utf16FromUTF8(mixed), u"h\u00E9llo \U0001F600 \u4E2D");
    EXPECT_EQ(utf8FromUTF16(utf16FromUTF8(mixed)), mixed);
    EXPECT_EQ(utf16FromUTF8("\xF4\x90\x80\x80"), u"\uFFFD");  // beyond U+10FFFF
    EXPECT_EQ(utf16FromUTF8("\xE0\x80\xAF"), u"\uFFFD");      // overlong
    const char16_t lone[] = {u'x', 0xD83D, u'y', 0xDE00, 0};
    EXPECT_EQ(utf8FromUTF16(lone), "x\xEF\xBF\xBDy\xEF\xBF\xBD");
}

}  // namespace
}  // namespace tarvel::injection::test
