#include "host/platform/linux/x11_clipboard.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/fakes/child_process.hpp"
#include "tests/fakes/desktop_env.hpp"
#include "tests/fakes/log_capture.hpp"

extern char** environ;

using namespace std::chrono_literals;



namespace {

using tarvel::platform::X11Clipboard;

using tarvel::testing::ChildGuard;
using tarvel::testing::runChild;

class X11ClipboardTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TARVEL_REQUIRE_TEST_DISPLAY(name);
        display = name;
        auto opened = X11Clipboard::open(display);
        ASSERT_TRUE(opened) << opened.error();
        clipboard = *opened;
    }

    /// The clipboard as another application reads it.
    std::optional<std::string> read(const std::string& target = "UTF8_STRING") {
        return runChild(
            {"xclip", "-o", "-selection", "clipboard", "-t", target, "-display", display}, 10s, {});
    }

    std::string display;
    std::shared_ptr<X11Clipboard> clipboard;
};

TEST_F(X11ClipboardTest, servesTextInEveryTextTargetAndRefusesOthers) {
    ASSERT_TRUE(clipboard->setText("first"));
    const std::string text = "h\u00E9llo \u2713 \u65E5\u672C \U0001F600 \u00DF";
    ASSERT_TRUE(clipboard->setText(text));
    EXPECT_EQ(read(), text);
    EXPECT_EQ(read("TEXT"), text);
    EXPECT_EQ(read("STRING"), "h\xE9llo ? ?? ? \xDF");
    EXPECT_EQ(read("TARGETS"), "TARGETS\nTIMESTAMP\nUTF8_STRING\nTEXT\nSTRING\n");
    EXPECT_EQ(read("image/png"), std::nullopt);

    // A stray byte and a character cut short become one U+FFFD (EF BF BD)
    // each; an encoded surrogate is three stray bytes.
    ASSERT_TRUE(clipboard->setText("a\xFF|\xED\xA0\x80|\xE2\x9C"));
    EXPECT_EQ(read(), "a\uFFFD|\uFFFD\uFFFD\uFFFD|\uFFFD");
}

TEST_F(X11ClipboardTest, servesLargeTextWhole) {
    std::string text;
    while (text.size() < 60 * 1024) {
        text += std::to_string(text.size()) + " \xC3\xA9\xE2\x9C\x93\xF0\x9F\x98\x80\n";
    }
    ASSERT_TRUE(clipboard->setText(text));
    EXPECT_TRUE(read() == text);
    // Past one piece, so it goes incrementally.
    for (const std::string lines = text; text.size() < 1024 * 1024;) {
        text += lines;
    }
    ASSERT_TRUE(clipboard->setText(text));
    EXPECT_TRUE(read() == text);
}

TEST_F(X11ClipboardTest, takesClipboardBackFromAnotherOwner) {
    ASSERT_TRUE(clipboard->setText("ours"));
    // -quiet keeps xclip in the foreground, so it is stopped by its own PID.
    const pid_t other = tarvel::testing::spawnChild(
        {"xclip", "-i", "-quiet", "-selection", "clipboard", "-display", display}, "theirs",
        nullptr);
    ASSERT_GT(other, 0);
    const ChildGuard guard{other};
    std::optional<std::string> seen;
    for (int i = 0; i < 100 && seen != "theirs"; ++i) {
        std::this_thread::sleep_for(20ms);
        seen = read();
    }
    EXPECT_EQ(seen, "theirs");

    EXPECT_TRUE(clipboard->setText("ours again"));
    EXPECT_EQ(read(), "ours again");
    // Losing the selection ends xclip: it was told.
    EXPECT_EQ(tarvel::testing::reapChild(other, 2s), 0);
}

TEST(X11ClipboardServer, setTextFailsOnceTheServerIsGone) {
    TARVEL_REQUIRE_TEST_DISPLAY(unused);
    int out = -1;
    const pid_t server = tarvel::testing::spawnChild(
        {"Xvfb", "-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "64x64x24"}, {}, &out);
    ASSERT_GT(server, 0);
    const ChildGuard guard{server};
    // Xvfb writes its display number, then a line break once it is ready.
    std::string number;
    pollfd fd{out, POLLIN, 0};
    for (char c = 0; ::poll(&fd, 1, 10000) > 0 && ::read(out, &c, 1) == 1 && c != '\n';) {
        number += c;
    }
    ::close(out);
    tarvel::testing::LogCapture log;
    auto clipboard = X11Clipboard::open(":" + number);
    ASSERT_TRUE(clipboard) << clipboard.error();
    EXPECT_TRUE((*clipboard)->setText("before"));

    tarvel::testing::stopChild(server);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE((*clipboard)->setText("after"));
    EXPECT_FALSE((*clipboard)->setText("again"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    EXPECT_TRUE(log.contains("lost the X server (clipboard connection)"));
}

}  // namespace
