#include "host/platform/linux/x11_clipboard.hpp"
#include <gtest/gtest.h>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include "tests/fakes/child_process.hpp"
#include "tests/fakes/desktop_env.hpp"

// Last: Xlib's macros (None, Bool) would break GoogleTest.
#include <X11/Xlib.h>

using namespace std::chrono_literals;
namespace {

class X11ClipboardTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TARVEL_REQUIRE_TEST_DISPLAY(name);
        display = name;
        auto opened = tarvel::platform::X11Clipboard::open(display);
        ASSERT_TRUE(opened) << opened.error();
        clipboard = *opened;
    }
    std::optional<std::string> read(const std::string& target = "UTF8_STRING") {
        return tarvel::testing::runChild(
            {"xclip", "-o", "-selection", "clipboard", "-t", target, "-display", display}, 10s);
    }
    std::string display;
    std::shared_ptr<tarvel::platform::X11Clipboard> clipboard;
};

TEST_F(X11ClipboardTest, servesTextInEveryTextTargetRefusesOthersAndTakesItBack) {
    const std::string text = "h\u00E9llo \u2713 \u65E5\u672C \U0001F600 \u00DF";
    ASSERT_TRUE(clipboard->setText(text));
    for (const char* target : {"UTF8_STRING", "TEXT"}) EXPECT_EQ(read(target), text) << target;
    EXPECT_EQ(read("STRING"), "h\xE9llo ? ?? ? \xDF");
    EXPECT_EQ(read("TARGETS"), "TARGETS\nTIMESTAMP\nUTF8_STRING\nTEXT\nSTRING\n");
    EXPECT_EQ(read("image/png"), std::nullopt);
    // Stray bytes and a cut-short character each become U+FFFD.
    ASSERT_TRUE(clipboard->setText("a\xFF|\xED\xA0\x80|\xE2\x9C"));
    EXPECT_EQ(read(), "a\uFFFD|\uFFFD\uFFFD\uFFFD|\uFFFD");
    const tarvel::testing::ChildGuard other{tarvel::testing::spawnChild(
        {"xclip", "-i", "-quiet", "-selection", "clipboard", "-display", display}, "theirs", {})};
    ASSERT_GT(other.pid, 0);
    std::optional<std::string> seen;
    for (int i = 0; i < 100 && seen != "theirs"; ++i) {
        std::this_thread::sleep_for(20ms);
        seen = read();
    }
    EXPECT_EQ(seen, "theirs");
    EXPECT_TRUE(clipboard->setText("ours again"));
    EXPECT_EQ(read(), "ours again");
    EXPECT_EQ(tarvel::testing::reapChild(other.pid, 2s), 0) << "xclip was not told of the loss";
}

TEST_F(X11ClipboardTest, servesTextPastOnePieceIncrementally) {
    std::string text;
    while (text.size() < 1024 * 1024) text += std::to_string(text.size()) + " \xC3\xA9\xE2\x9C\x93\xF0\x9F\x98\x80\n";
    ASSERT_TRUE(clipboard->setText(text));
    EXPECT_TRUE(read() == text);  // not EXPECT_EQ: a megabyte diff helps no one
    // A requestor naming the owner's own window must not leave it deaf once
    // the transfer is given up after five idle seconds.
    Display* hostile = XOpenDisplay(display.c_str());
    ASSERT_NE(hostile, nullptr);
    const Atom clip = XInternAtom(hostile, "CLIPBOARD", False);
    XConvertSelection(hostile, clip, XInternAtom(hostile, "UTF8_STRING", False),
                      XInternAtom(hostile, "HOSTILE", False), XGetSelectionOwner(hostile, clip), 0);
    XCloseDisplay(hostile);  // flushes the request
    std::this_thread::sleep_for(6500ms);
    EXPECT_TRUE(clipboard->setText("still ours"));
    EXPECT_EQ(read(), "still ours");
}

}  // namespace
