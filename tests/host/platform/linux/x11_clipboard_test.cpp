#include "host/platform/linux/x11_clipboard.hpp"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

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

/// Starts `argv` (looked up in PATH) with `input` on its standard input and,
/// when `output` is given, its standard output on a pipe whose read end is
/// stored there; otherwise to /dev/null. -1 when it cannot start.
pid_t spawnChild(const std::vector<std::string>& argv, std::string_view input, int* output) {
    // A memory file, not a pipe: writing never blocks on a child that does not read.
    const int in = ::memfd_create("child-input", MFD_CLOEXEC);
    if (in < 0 || ::write(in, input.data(), input.size()) != static_cast<ssize_t>(input.size()) ||
        ::lseek(in, 0, SEEK_SET) != 0) {
        return -1;
    }
    int pipeFds[2] = {-1, -1};
    if (output != nullptr && ::pipe2(pipeFds, O_CLOEXEC) != 0) {
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

/// Ends a child this test started, by its PID: politely, then not. Nothing
/// when it has already been reaped.
void stopChild(pid_t pid) {
    if (pid <= 0 || ::waitpid(pid, nullptr, WNOHANG) != 0) {
        return;
    }
    ::kill(pid, SIGTERM);
    for (int i = 0; i < 50; ++i) {
        if (::waitpid(pid, nullptr, WNOHANG) != 0) {
            return;  // reaped now, or not ours to wait for
        }
        std::this_thread::sleep_for(20ms);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

/// Waits up to `limit` for the child to exit; its exit status, if it did.
std::optional<int> reapChild(pid_t pid, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) != pid) {
        if (std::chrono::steady_clock::now() > deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(10ms);
    }
    return WIFEXITED(status) ? std::optional(WEXITSTATUS(status)) : std::optional(-1);
}

/// Runs `argv` to its end within `limit`: its standard output when it exits 0.
std::optional<std::string> runChild(const std::vector<std::string>& argv,
                                    std::chrono::milliseconds limit, std::string_view input) {
    int out = -1;
    const pid_t pid = spawnChild(argv, input, &out);
    if (pid < 0) {
        return std::nullopt;
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::string text;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd fd{out, POLLIN, 0};
        if (left <= 0ms || ::poll(&fd, 1, static_cast<int>(left.count())) <= 0) {
            break;
        }
        char buffer[65536];
        const ssize_t n = ::read(out, buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(out);
    const auto status = reapChild(pid, std::max(0ms, std::chrono::duration_cast<std::chrono::milliseconds>(
                                                         deadline - std::chrono::steady_clock::now())));
    if (!status) {
        stopChild(pid);
        return std::nullopt;
    }
    return *status == 0 ? std::optional(text) : std::nullopt;
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
        return runChild({"xclip", "-o", "-selection", "clipboard", "-t", target, "-display",
                         display},
                        10s, {});
    }

    std::string display;
    std::shared_ptr<X11Clipboard> clipboard;
};

TEST_F(X11ClipboardTest, servesTextInEveryTextTargetAndRefusesOthers) {
    ASSERT_TRUE(clipboard->setText("first"));
    const std::string text = "h\xC3\xA9llo \xE2\x9C\x93 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80 \xC3\x9F";
    ASSERT_TRUE(clipboard->setText(text));
    EXPECT_EQ(read(), text);
    EXPECT_EQ(read("TEXT"), text);
    EXPECT_EQ(read("STRING"), "h\xE9llo ? ?? ? \xDF");
    const auto targets = read("TARGETS");
    ASSERT_TRUE(targets);
    for (const char* name : {"TARGETS", "TIMESTAMP", "UTF8_STRING", "TEXT", "STRING"}) {
        EXPECT_NE(targets->find(std::string(name) + "\n"), std::string::npos) << name;
    }
    EXPECT_EQ(read("image/png"), std::nullopt);

    // A stray byte and a character cut short become one U+FFFD each; an
    // encoded surrogate is three stray bytes.
    ASSERT_TRUE(clipboard->setText("a\xFF" "b\xED\xA0\x80" "c\xE2\x9C"));
    const std::string replacement = "\xEF\xBF\xBD";
    EXPECT_EQ(read(), "a" + replacement + "b" + replacement + replacement + replacement + "c" +
                          replacement);
}

TEST_F(X11ClipboardTest, servesLargeTextWhole) {
    std::string text;
    while (text.size() < 60 * 1024) {
        text += "line " + std::to_string(text.size()) + " \xC3\xA9\xE2\x9C\x93\xF0\x9F\x98\x80\n";
    }
    ASSERT_TRUE(clipboard->setText(text));
    EXPECT_EQ(read(), text);
    // Beyond one piece: sent incrementally.
    const std::string lines = text;
    while (text.size() < 1024 * 1024) {
        text += lines;
    }
    ASSERT_TRUE(clipboard->setText(text));
    const auto big = read();
    ASSERT_TRUE(big);
    EXPECT_EQ(big->size(), text.size());
    EXPECT_TRUE(*big == text);
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
    std::string number;
    pollfd fd{out, POLLIN, 0};
    while (number.find('\n') == std::string::npos && ::poll(&fd, 1, 10000) > 0) {
        char c = 0;
        if (::read(out, &c, 1) != 1) {
            break;
        }
        number += c;
    }
    ::close(out);
    ASSERT_FALSE(number.empty());
    tarvel::testing::LogCapture log;
    auto clipboard = X11Clipboard::open(":" + number.substr(0, number.size() - 1));
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
