// Keys, modifiers and typed text.
#include <gtest/gtest.h>
#include "host/injection/utf16.hpp"
#include "tests/host/injection/injector_harness.hpp"

namespace tarvel::injection::test {
namespace {

const auto modifiers = [](std::uint8_t raw) -> InputEvent { return InputEvent::ModifierState{ModifierMask(raw)}; };

TEST(InjectorKey, downRepeatUpPostTheKeyCodeArrowsCarryFnAndUnknownUsagesNothing) {
    Harness h;
    h.keyEvent(hidA, KeyState::down);
    h.keyEvent(hidA, KeyState::repeat);
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
    EXPECT_TRUE(h.injector->state().heldModifiers.isEmpty());
    h.injector->releaseAll();
    EXPECT_EQ(h.take(), (Lines{keyLine(codeShift, false, fCommand), keyLine(codeCommand, false)}));
}

TEST(InjectorSetModifiers, postsOnlyChangedBitsInShiftControlOptionCommandOrder) {
    Harness h;
    h.send(modifiers(0x09));
    h.send(modifiers(0x09));
    h.send(modifiers(0x00));
    EXPECT_EQ(h.take(), (Lines{keyLine(codeShift, true, fShift),
                               keyLine(codeCommand, true, fShift | fCommand),
                               keyLine(codeShift, false, fCommand), keyLine(codeCommand, false)}));
}

// Sees both halves of every Unicode chunk; the recording format writes one line per chunk.
struct UnicodeSink : RecordingEventSink {
    using RecordingEventSink::post;
    void post(const UnicodeKeyEvent& event) override {
        if (event.key.down) chunks.emplace_back(event.text);
        flags.push_back(event.key.flags);
        RecordingEventSink::post(event);
    }
    std::vector<std::u16string> chunks;
    std::vector<std::uint64_t> flags;
};

TEST(InjectorText, goesInChunksOfTwentyUnitsNeverSplittingASurrogatePair) {
    const std::string grin = "\xF0\x9F\x98\x80";  // U+1F600, two UTF-16 units
    const auto times = [](const std::string& piece, int n) {
        std::string out;
        while (n-- > 0) out += piece;
        return out;
    };
    const std::pair<std::string, std::vector<std::size_t>> rows[] = {
        {times("abcdefghi", 5), {20, 20, 5}},
        {times("a", 19) + grin + "b", {19, 3}},  // the pair would straddle units 20 and 21
        {times("a", 18) + grin, {20}},
        {"a" + times(grin, 20), {19, 20, 2}},
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
    // Invalid, surrogate, overlong, beyond U+10FFFF, truncated.
    h.injector->injectText("\xFF|\xED\xA0\x80|\xE0\x80\xAF|\xF4\x90\x80\x80|\xE2\x82");
    EXPECT_EQ(sink->chunks, std::vector<std::u16string>{u"\uFFFD|\uFFFD|\uFFFD|\uFFFD|\uFFFD"});
    EXPECT_EQ(sink->flags, (std::vector<std::uint64_t>{0, 0}));
    EXPECT_EQ(h.injector->state().heldModifiers, ModifierMask::shift);
    const std::string bad = "\xEF\xBF\xBD";
    EXPECT_EQ(h.take(), Lines{jsonLine("text", "text",
                                       {bad + "|" + bad + "|" + bad + "|" + bad + "|" + bad})});
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

TEST(InjectorKeystrokeProfile, ownChordsFollowTheDesktopWhileThePhonesKeysStayAsSent) {
    using namespace EventFlags;
    constexpr std::uint64_t fn = secondaryFn;
    const auto tap = [](int keyCode, std::uint64_t flags) {
        return Lines{keyLine(keyCode, true, flags), keyLine(keyCode, false, flags)};
    };
    const auto chords = [](Harness& h) {
        h.send(InputEvent::ModifierState{ModifierMask::shift});
        h.take();
        Lines out;
        for (InputEvent event : {InputEvent(InputEvent::Shortcut{1}), InputEvent(InputEvent::Shortcut{8}),
                                 InputEvent(InputEvent::ThreeFingerSwipe{1}),
                                 InputEvent(InputEvent::ThreeFingerSwipe{4}),
                                 InputEvent(InputEvent::PinchZoom{-0.1F, 0})}) {
            h.send(event);
        }
        h.injector->postPaste();
        for (const auto& line : h.take())
            if (line.find("\"op\":\"key\"") != std::string::npos) out.push_back(line);
        return out;
    };
    auto concat = [](std::initializer_list<Lines> parts) {
        Lines all;
        for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
        return all;
    };
    Harness desktop(VirtualScreen::standard(), nullptr, KeystrokeProfile::linuxDesktop());
    EXPECT_EQ(chords(desktop), concat({tap(0x08, shift | control), tap(0x25, shift | command),
                                     tap(0x37, shift), tap(0x7B, shift | control | alternate),
                                     tap(0x1B, shift | control), tap(0x09, shift | control)}));
    Harness mac;
    EXPECT_EQ(chords(mac), concat({tap(0x08, shift | command), tap(0x0C, shift | command | control),
                                   tap(0x7E, shift | control | fn), tap(0x7B, shift | control | fn),
                                   tap(0x1B, shift | command), tap(0x09, shift | command)}));
    // Command from the phone is still Command, whatever the desktop.
    desktop.send(InputEvent::ModifierState{});
    desktop.take();
    desktop.keyEvent(0xE3, KeyState::down);
    desktop.keyEvent(0x06, KeyState::down);
    EXPECT_EQ(desktop.take(), (Lines{keyLine(0x37, true, command), keyLine(0x08, true, command)}));
}

}  // namespace
}  // namespace tarvel::injection::test
