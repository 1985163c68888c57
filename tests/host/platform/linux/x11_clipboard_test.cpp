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

#include "tests/fakes/desktop_env.hpp"
#include "tests/fakes/log_capture.hpp"

extern char** environ;

using namespace std::chrono_literals;

namespace tarvel::testing {

// Child processes, shared with the DNS-SD tests of this program.

/// Starts `argv` (found on PATH) with `input` as standard input and standard
/// output on a pipe whose read end goes to `*output`, or to /dev/null. -1 when
/// it cannot start.
pid_t spawnChild(const std::vector<std::string>& argv, std::string_view input, int* output) {
    // A memory file, not a pipe: writing it never waits for the child.
    const int in = ::memfd_create("child-input", MFD_CLOEXEC);
    int pipeFds[2] = {-1, -1};
    if (in < 0 || ::write(in, input.data(), input.size()) < 0 || ::lseek(in, 0, SEEK_SET) != 0 ||
        (output != nullptr && ::pipe2(pipeFds, O_CLOEXEC) != 0)) {
        return -1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in, 0);
    if (output != nullptr) {
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    }
    std::vector<char*> args;
    for (const auto& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) {
        pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(in);
    if (output != nullptr) {
        ::close(pipeFds[1]);
        *output = pipeFds[0];
    }
    return pid;
}

/// Waits up to `limit` for the child to exit and reaps it; its exit status
/// (-1 when a signal ended it), or nothing while it runs.
std::optional<int> reapChild(pid_t pid, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) != pid) {
        if (std::chrono::steady_clock::now() > deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(10ms);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

/// Ends a child this test started and has not reaped, by its PID.
void stopChild(pid_t pid) {
    if (pid > 0 && ::waitpid(pid, nullptr, WNOHANG) == 0) {
        ::kill(pid, SIGTERM);
        if (!reapChild(pid, 1s)) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
}

/// Runs `argv` to its end within `limit`: its standard output if it exits 0.
std::optional<std::string> runChild(const std::vector<std::string>& argv,
                                    std::chrono::milliseconds limit, std::string_view input) {
    int out = -1;
    const pid_t pid = spawnChild(argv, input, &out);
    if (pid < 0) {
        return std::nullopt;
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    const auto left = [&] {
        return std::max(0ms, std::chrono::duration_cast<std::chrono::milliseconds>(
                                 deadline - std::chrono::steady_clock::now()));
    };
    std::string text;
    char buffer[65536];
    pollfd fd{out, POLLIN, 0};
    ssize_t n = 0;
    while (::poll(&fd, 1, static_cast<int>(left().count())) > 0 &&
           (n = ::read(out, buffer, sizeof buffer)) > 0) {
        text.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(out);
    const auto status = reapChild(pid, left());
    stopChild(pid);
    return status == 0 ? std::optional(text) : std::nullopt;
}

}  // namespace tarvel::testing

namespace {

using tarvel::platform::X11Clipboard;

// Stops a child however the test ends.
struct ChildGuard {
    pid_t pid;
    ~ChildGuard() { tarvel::testing::stopChild(pid); }
};
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
