#pragma once
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <array>
#include <string>

extern char** environ;

namespace tarvel::testing {

/// A second X server of the test's own, killed by its PID at the latest when
/// the test ends.
struct PrivateServer {
    pid_t pid = 0;
    std::string display;
    PrivateServer() {
        std::array<int, 2> pipe{-1, -1};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (::pipe2(pipe.data(), O_CLOEXEC) == 0) {
            posix_spawn_file_actions_adddup2(&actions, pipe[1], 3);
            posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
            const char* argv[] = {"Xvfb", "-displayfd", "3", "-nolisten", "tcp", nullptr};
            if (::posix_spawnp(&pid, argv[0], &actions, nullptr, const_cast<char**>(argv), environ) != 0) pid = 0;
            ::close(pipe[1]);
        }
        posix_spawn_file_actions_destroy(&actions);
        // -displayfd writes the display number once the server is ready.
        pollfd ready{pipe[0], POLLIN, 0};
        char c = 0;
        while (pid > 0 && ::poll(&ready, 1, 10000) == 1 && ::read(pipe[0], &c, 1) == 1 && c != '\n') display += c;
        if (pipe[0] >= 0) ::close(pipe[0]);
    }
    ~PrivateServer() { kill(); }
    void kill() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            pid = 0;
        }
    }
};

}  // namespace tarvel::testing
