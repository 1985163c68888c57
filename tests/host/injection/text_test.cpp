#include <gtest/gtest.h>

#include "host/injection/utf16.hpp"
#include "tests/host/injection/injector_harness.hpp"

namespace tarvel::injection::test {
namespace {

using Lines = std::vector<std::string>;

// Sees both halves of every Unicode chunk; the recording format writes one line per chunk.
class UnicodeSink : public RecordingEventSink {
  public:
    using RecordingEventSink::post;
    void post(const UnicodeKeyEvent& event) override {
        posts.push_back({event.key, std::u16string(event.text)});
        RecordingEventSink::post(event);
    }
    struct Post {
        KeyboardEvent key;
        std::u16string text;
    };
    std::vector<Post> posts;
};

struct TextHarness : Harness {
    TextHarness() : Harness(VirtualScreen::standard(), std::make_shared<UnicodeSink>()) {}
    UnicodeSink& unicode() { return static_cast<UnicodeSink&>(*sink); }

    std::vector<std::size_t> chunkSizes() {
        std::vector<std::size_t> sizes;
        for (const auto& post : unicode().posts) {
            if (post.key.down) {
                sizes.push_back(post.text.size());
            }
        }
        return sizes;
    }
};

const std::string grin = "\xF0\x9F\x98\x80";  // U+1F600, two UTF-16 units

std::string repeat(const std::string& piece, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) {
        out += piece;
    }
    return out;
}

TEST(InjectorText, fortyFiveUnitsGoAsDownUpPairsOfTwentyTwentyAndFive) {
    TextHarness h;
    const std::string text = repeat("abcdefghi", 5);
    h.injector->injectText(text);
    const auto& posts = h.unicode().posts;
    ASSERT_EQ(posts.size(), 6U);
    for (std::size_t i = 0; i < posts.size(); ++i) {
        EXPECT_EQ(posts[i].key, (KeyboardEvent{0, i % 2 == 0, 0, 0}));
        EXPECT_EQ(posts[i].text, posts[i - i % 2].text);
    }
    EXPECT_EQ(h.chunkSizes(), (std::vector<std::size_t>{20, 20, 5}));
    EXPECT_EQ(h.take(), (Lines{textLine(text.substr(0, 20)), textLine(text.substr(20, 20)),
                               textLine(text.substr(40))}));
}

TEST(InjectorText, aSurrogatePairIsNeverSplitAcrossChunks) {
    TextHarness h;
    // The pair would straddle units 20 and 21: the first chunk ends one early.
    h.injector->injectText(repeat("a", 19) + grin + "b");
    EXPECT_EQ(h.chunkSizes(), (std::vector<std::size_t>{19, 3}));
    EXPECT_EQ(h.take(), (Lines{textLine(repeat("a", 19)), textLine(grin + "b")}));

    h.unicode().posts.clear();
    h.injector->injectText(repeat("a", 18) + grin);  // ends exactly at 20
    EXPECT_EQ(h.chunkSizes(), (std::vector<std::size_t>{20}));

    h.unicode().posts.clear();
    h.injector->injectText("a" + repeat(grin, 20));  // 41 units, every boundary odd
    EXPECT_EQ(h.chunkSizes(), (std::vector<std::size_t>{19, 20, 2}));
    EXPECT_EQ(h.take().back(), textLine(grin));
}

TEST(InjectorText, neitherUsesNorChangesHeldModifiers) {
    TextHarness h;
    h.send(InputEvent::ModifierState{ModifierMask::shift});
    h.take();
    h.injector->injectText("x");
    ASSERT_EQ(h.unicode().posts.size(), 2U);
    EXPECT_EQ(h.unicode().posts[0].key.flags, 0U);
    EXPECT_EQ(h.injector->state().heldModifiers, ModifierMask::shift);
    EXPECT_TRUE(h.injector->state().heldHIDKeys.isEmpty());
}

TEST(InjectorText, nothingIsPostedForEmptyTextOrWhenKeyEventsCannotBeMade) {
    TextHarness h;
    h.injector->injectText("");
    EXPECT_TRUE(h.unicode().posts.empty());

    class OnlyDownSink : public RecordingEventSink {
      public:
        std::optional<KeyboardEvent> createKeyboardEvent(std::uint16_t code, bool down) override {
            return down ? RecordingEventSink::createKeyboardEvent(code, down) : std::nullopt;
        }
    };
    Harness broken(VirtualScreen::standard(), std::make_shared<OnlyDownSink>());
    broken.injector->injectText("hello");
    EXPECT_EQ(broken.take(), Lines{});
}

TEST(InjectorText, illFormedUTF8TypesReplacementCharacters) {
    TextHarness h;
    h.injector->injectText(
        "a\xFF"
        "b\xED\xA0\x80"
        "c\xE2\x82");
    ASSERT_EQ(h.unicode().posts.size(), 2U);
    EXPECT_EQ(h.unicode().posts[0].text, u"a\uFFFDb\uFFFDc\uFFFD");
}

TEST(Utf16, convertsBothWaysAndReplacesLoneSurrogates) {
    const std::string mixed = "h\xC3\xA9llo " + grin + " \xE4\xB8\xAD";
    const std::u16string units = utf16FromUTF8(mixed);
    EXPECT_EQ(units, u"h\u00E9llo \U0001F600 \u4E2D");
    EXPECT_EQ(utf8FromUTF16(units), mixed);
    EXPECT_EQ(utf16FromUTF8("\xF4\x90\x80\x80"), u"\uFFFD");  // beyond U+10FFFF
    EXPECT_EQ(utf16FromUTF8("\xE0\x80\xAF"), u"\uFFFD");      // overlong
    const char16_t lone[] = {u'x', 0xD83D, u'y', 0xDE00, 0};
    EXPECT_EQ(utf8FromUTF16(lone), "x\xEF\xBF\xBDy\xEF\xBF\xBD");
}

}  // namespace
}  // namespace tarvel::injection::test
