#pragma once

// Programs a test runs (xclip, avahi-browse, setxkbmap...), each bounded in
// time and ended by its PID.

#include <fcntl.h>
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
#include <string_view>
#include <thread>
#include <vector>

extern char** environ;

namespace tarvel::testing {

using namespace std::chrono_literals;

/// Starts `argv` (found on PATH) with `input` as standard input and standard
/// output on a pipe whose read end goes to `*output`, or to /dev/null. -1 when
/// it cannot start.
inline pid_t spawnChild(const std::vector<std::string>& argv, std::string_view input, int* output) {
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
inline std::optional<int> reapChild(pid_t pid, std::chrono::milliseconds limit) {
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
inline void stopChild(pid_t pid) {
    if (pid > 0 && ::waitpid(pid, nullptr, WNOHANG) == 0) {
        ::kill(pid, SIGTERM);
        if (!reapChild(pid, 1s)) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
}

/// Runs `argv` to its end within `limit`: its standard output if it exits 0.
inline std::optional<std::string> runChild(const std::vector<std::string>& argv,
                                    std::chrono::milliseconds limit,
                                           std::string_view input = {}) {
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

/// Stops a child however the test ends.
struct ChildGuard {
    pid_t pid;
    ~ChildGuard() { stopChild(pid); }
};

}  // namespace tarvel::testing
