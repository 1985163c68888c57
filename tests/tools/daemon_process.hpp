#pragma once

// tarveld as a child process of a test, and the ports it is given.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <asio/ip/tcp.hpp>
#include <asio/ip/udp.hpp>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "tests/fakes/temp_dir.hpp"

extern char** environ;

namespace tarvel::testing {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

/// A child process: output and errors on one pipe, read all along so a chatty
/// daemon never blocks on it, input on another; killed by PID if left.
class Daemon {
  public:
    /// Unless asked, the daemon discards input (--sink none), stays off DNS-SD
    /// and gets a control socket in a folder of its own: tests never reach the
    /// desktop, the network or the user's own host. `environment` entries
    /// ("NAME=value") replace or extend the test's own. A command (`tarveld
    /// status`, tarvel-client) is run as given, with no daemon defaults.
    explicit Daemon(std::vector<std::string> args, std::vector<std::string> environment = {},
                    bool command = false) {
        for (const auto& [flag, value] : {std::pair{"--sink", "none"}, std::pair{"--dns-sd", "off"}}) {
            if (!command && std::ranges::find(args, flag) == args.end()) {
                args.insert(args.begin() + 1, {flag, value});
            }
        }
        if (!command && std::ranges::find(args, "--control-socket") == args.end() &&
            std::ranges::none_of(environment, [](const std::string& e) {
                return e.starts_with("TVL_CONTROL_SOCKET=");
            })) {
            controlFolder_.emplace();
            environment.push_back("TVL_CONTROL_SOCKET=" + (*controlFolder_ / "control").string());
        }
        for (char** entry = environ; *entry != nullptr; ++entry) {
            const std::string_view kept(*entry);
            const auto name = kept.substr(0, kept.find('=') + 1);
            if (std::ranges::none_of(environment, [&](const std::string& e) {
                    return e.starts_with(name);
                })) {
                environment.emplace_back(kept);
            }
        }
        int out[2], in[2];
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(in, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe");
        }
        std::vector<char*> argv(args.size() + 1);  // null-terminated
        std::ranges::transform(args, argv.begin(), [](auto& arg) { return arg.data(); });
        std::vector<char*> envp(environment.size() + 1);  // null-terminated
        std::ranges::transform(environment, envp.begin(), [](auto& entry) { return entry.data(); });
        const pid_t parent = ::getpid();
        pid_ = ::fork();
        if (pid_ == 0) {
            // Only async-signal-safe calls here. The daemon dies with the test,
            // even one killed by a timeout, so no daemon outlives its test.
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            // A test run in the background (with-desktop) ignores SIGINT, and
            // that is inherited: the child must see Ctrl-C as a terminal sends it.
            struct sigaction byDefault {};
            byDefault.sa_handler = SIG_DFL;
            sigset_t none;
            ::sigemptyset(&none);
            ::sigaction(SIGINT, &byDefault, nullptr);
            ::sigprocmask(SIG_SETMASK, &none, nullptr);
            if (::getppid() != parent || ::dup2(in[0], STDIN_FILENO) < 0 ||
                ::dup2(out[1], STDOUT_FILENO) < 0 || ::dup2(out[1], STDERR_FILENO) < 0) {
                ::_exit(127);
            }
            ::execve(argv[0], argv.data(), envp.data());
            ::_exit(127);
        }
        ::close(out[1]);
        ::close(in[0]);
        out_ = out[0];
        in_ = in[1];
        reader_ = std::jthread([this](std::stop_token stop) { drain(stop); });
    }
    ~Daemon() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        reader_.request_stop();
        reader_.join();
        ::close(out_);
        ::close(in_);
    }

    /// The socket given to the daemon, when the test named none.
    std::optional<std::filesystem::path> controlSocket() const {
        return controlFolder_ ? std::optional(*controlFolder_ / "control") : std::nullopt;
    }
    pid_t pid() const { return pid_; }
    void signal(int number) const { ::kill(pid_, number); }
    void pressEnter() const { ASSERT_EQ(::write(in_, "\n", 1), 1); }
    /// The next line of output, or nothing by the deadline or at its end.
    std::optional<std::string> readLine(Clock::time_point deadline) {
        std::unique_lock lock(mutex_);
        arrived_.wait_until(lock, deadline, [&] { return !lines_.empty() || ended_; });
        if (lines_.empty()) {
            return std::nullopt;
        }
        auto line = std::move(lines_.front());
        lines_.pop_front();
        return line;
    }
    /// The first line starting with `prefix` (without it), skipping log lines.
    std::optional<std::string> waitFor(std::string_view prefix, std::chrono::milliseconds limit) {
        for (const auto deadline = Clock::now() + limit; auto line = readLine(deadline);) {
            if (line->starts_with(prefix)) {
                return line->substr(prefix.size());
            }
        }
        return std::nullopt;
    }
    /// Every line left, up to the end of output or the deadline.
    std::vector<std::string> rest(std::chrono::milliseconds limit) {
        std::vector<std::string> lines;
        for (const auto deadline = Clock::now() + limit; auto line = readLine(deadline);) {
            lines.push_back(*line);
        }
        return lines;
    }
    std::optional<int> exitStatus(std::chrono::milliseconds limit) {
        for (const auto deadline = Clock::now() + limit; Clock::now() < deadline;) {
            if (int status = 0; ::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(5ms);
        }
        return std::nullopt;
    }

  private:
    void drain(const std::stop_token& stop) {
        std::string partial;
        for (std::array<char, 4096> buffer; !stop.stop_requested();) {
            if (pollfd pfd{out_, POLLIN, 0}; ::poll(&pfd, 1, 50) <= 0) {
                continue;
            }
            const auto size = ::read(out_, buffer.data(), buffer.size());
            std::lock_guard lock(mutex_);
            ended_ = size <= 0;
            for (const char c : std::string_view(buffer.data(), ended_ ? 0 : static_cast<std::size_t>(size))) {
                c == '\n' ? lines_.push_back(std::exchange(partial, {})) : partial.push_back(c);
            }
            arrived_.notify_all();
            if (ended_) {
                return;
            }
        }
    }

    std::optional<TempDir> controlFolder_;  // outlives the child: members go after ~Daemon
    pid_t pid_ = -1;
    int out_ = -1;
    int in_ = -1;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<std::string> lines_;  // complete lines not yet read
    bool ended_ = false;
    std::jthread reader_;
};

/// A free port for both TCP and UDP, so parallel test runs stay apart.
inline std::uint16_t freePort() {
    asio::io_context context;
    for (int attempt = 0; attempt < 50; ++attempt) {
        asio::ip::tcp::acceptor acceptor(context, asio::ip::tcp::endpoint(asio::ip::tcp::v4(), 0));
        const auto port = acceptor.local_endpoint().port();
        std::error_code error;
        asio::ip::udp::socket udp(context, asio::ip::udp::v4());
        udp.bind(asio::ip::udp::endpoint(asio::ip::udp::v4(), port), error);
        if (!error) {
            return port;
        }
    }
    return 0;
}
inline std::string rangeOf(std::uint16_t port) {
    return std::to_string(port) + "-" + std::to_string(port);
}

}  // namespace tarvel::testing
