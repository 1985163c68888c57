// tarvel-client as scripts use it, against the real tarveld over loopback:
// pairing, every command reaching the host, and an exit code and one line
// for each refusal.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/fakes/temp_dir.hpp"
#include "tests/tools/daemon_process.hpp"

namespace tarvel {
namespace {

using namespace std::chrono_literals;
using testing::Daemon;

struct Result {
    int exit = -1;
    std::string out;
    std::string err;
};

/// Runs tarvel-client to its end (bounded), output and errors apart.
Result client(const std::filesystem::path& data, std::vector<std::string> args) {
    args.insert(args.begin(), {TARVEL_CLIENT_PATH, "--data-dir", data.string()});
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
        return {};
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<char*> argv;
    for (auto& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    Result result;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    for (int open = spawned == 0 ? 2 : 0; open > 0 && std::chrono::steady_clock::now() < deadline;) {
        if (::poll(fds, 2, 100) <= 0) {
            continue;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].revents == 0) {
                continue;
            }
            char buffer[4096];
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n <= 0) {
                fds[i].fd = -1;
                --open;
            } else {
                (i == 0 ? result.out : result.err).append(buffer, static_cast<std::size_t>(n));
            }
        }
    }
    ::close(out[0]);
    ::close(err[0]);
    if (spawned == 0) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) != pid) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
        }
        result.exit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    return result;
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream file(path);
    return {std::istreambuf_iterator<char>(file), {}};
}

std::size_t count(const std::string& text, const std::string& fragment) {
    std::size_t n = 0;
    for (auto at = text.find(fragment); at != std::string::npos; at = text.find(fragment, at + 1)) {
        ++n;
    }
    return n;
}

/// The record once it holds `n` times `fragment`: a command returns when the
/// host has its input, which the host performs a moment later.
std::string recordWith(const std::filesystem::path& path, const std::string& fragment, std::size_t n) {
    std::string text = readFile(path);
    for (int i = 0; i < 250 && count(text, fragment) < n; ++i) {
        std::this_thread::sleep_for(20ms);
        text = readFile(path);
    }
    return text;
}

/// tarveld on one free port, recording what it would inject.
struct Host {
    explicit Host(const std::filesystem::path& data, bool pair = true,
                  std::uint16_t onPort = testing::freePort())
        : port(onPort), events(data / "events.jsonl") {
        std::vector<std::string> args{TARVELD_PATH, "--data-dir", data.string(), "--sink",
                                      "record:" + events.string(), "--ports",
                                      testing::rangeOf(port)};
        if (pair) {
            args.push_back("--pair");
        }
        daemon.emplace(args);
        EXPECT_EQ(daemon->waitFor("Listening on port ", 10s), std::to_string(port));
        if (pair) {
            code = daemon->waitFor("Pairing code: ", 5s).value_or("");
            code.erase(std::remove(code.begin(), code.end(), ' '), code.end());
            // The link's own LAN address may be any interface: tests stay on loopback.
            link = std::regex_replace(daemon->waitFor("Pairing link: ", 5s).value_or(""),
                                      std::regex("lan=[^&]*&ts=[^&]*"),
                                      "lan=127.0.0.1%3A" + std::to_string(port) + "&ts=");
        }
    }
    std::string address() const { return "127.0.0.1:" + std::to_string(port); }

    std::uint16_t port;
    std::filesystem::path events;
    std::optional<Daemon> daemon;
    std::string code;
    std::string link;
};

TEST(TarvelClient, pairsFromTheLinkAndEveryCommandReachesTheHostThenForgets) {
    testing::TempDir dir;
    Host host(dir / "host");
    const auto phone = dir / "client";
    auto paired = client(phone, {"pair", host.link});
    ASSERT_EQ(paired.exit, 0) << paired.err;
    EXPECT_NE(paired.out.find("paired with "), std::string::npos);
    EXPECT_EQ(paired.err, "") << "a link pins the key: no warning";
    const auto hosts = client(phone, {"hosts"});
    const auto id = hosts.out.substr(0, hosts.out.find(' '));
    EXPECT_EQ(id.size(), 36u) << hosts.out;

    // Named by its address; the commands wait until the host has handled them.
    for (const std::vector<std::string>& command :
         {std::vector<std::string>{"key", "a", "--mods", "ctrl,shift"}, {"type", "héllo"},
          {"click", "right", "--count", "2"}, {"move", "5", "-3"}, {"scroll", "0", "40"},
          {"shortcut", "copy"}, {"media", "mute"}, {"clipboard", "clip", "--paste"}}) {
        std::vector<std::string> args{"--host", host.address()};
        args.insert(args.end(), command.begin(), command.end());
        const auto ran = client(phone, args);
        EXPECT_EQ(ran.exit, 0) << command[0] << ": " << ran.err;
    }
    const auto ping = client(phone, {"ping"});
    EXPECT_EQ(ping.exit, 0) << ping.err;
    EXPECT_TRUE(std::regex_search(ping.out, std::regex("^pong from .+ in [0-9.]+ ms\n$")))
        << ping.out;
    const auto recorded = recordWith(host.events, R"("op":"key")", 6);
    EXPECT_EQ(count(recorded, R"("op":"key")"), 2u + 2u + 2u) << recorded;  // a, copy, paste
    EXPECT_EQ(count(recorded, "héllo"), 1u);
    EXPECT_EQ(count(recorded, R"("op":"mouse")"), 4u + 1u);  // two right clicks, one move
    EXPECT_EQ(count(recorded, R"("op":"scroll")"), 2u);  // the gesture and its end
    EXPECT_EQ(count(recorded, R"("phase":4)"), 1u) << recorded;
    EXPECT_EQ(count(recorded, R"("op":"media")"), 2u);

    // Text longer than one message is typed in pieces, all of it; a clipboard
    // that long is refused, not lost.
    // (Lines: escaped, they take more room in a message than in the text.)
    std::string longText;
    for (int i = 0; i < 35'000; ++i) {
        longText += "z\n";
    }
    EXPECT_EQ(client(phone, {"type", longText}).exit, 0);
    EXPECT_EQ(count(recordWith(host.events, "z", 35'000), "z"), 35'000u);
    const auto tooLong = client(phone, {"clipboard", longText});
    EXPECT_EQ(tooLong.exit, 2);
    EXPECT_NE(tooLong.err.find("too long"), std::string::npos) << tooLong.err;

    EXPECT_EQ(client(phone, {"forget", id}).exit, 0);
    const auto gone = client(phone, {"ping"});
    EXPECT_EQ(gone.exit, 5);
    EXPECT_EQ(count(gone.err, "\n"), 1u) << gone.err;
}

TEST(TarvelClient, eachRefusalHasItsExitCodeAndOneLine) {
    testing::TempDir dir;
    const auto phone = dir / "client";
    const auto refused = [&](std::vector<std::string> args, int exit, std::string_view line) {
        const auto ran = client(phone, std::move(args));
        EXPECT_EQ(ran.exit, exit) << ran.err;
        EXPECT_NE(ran.err.find(line), std::string::npos) << ran.err;
        EXPECT_TRUE(ran.out.empty()) << ran.out;
        return ran;
    };
    {
        Host quiet(dir / "quiet", false);
        refused({"pair", quiet.address(), "--code", "123456"}, 4,
                "no pairing code is active on the host");
        const auto info = client(phone, {"info", quiet.address()});
        EXPECT_EQ(info.exit, 0);
        EXPECT_NE(info.out.find("port " + std::to_string(quiet.port)), std::string::npos);
    }
    Host host(dir / "host");
    const auto wrong = refused({"pair", host.address(), "--code", host.code == "000000" ? "000001" : "000000"},
                               4, "wrong pairing code");
    EXPECT_EQ(count(wrong.err, "\n"), 2u) << "the typed code says it pins nothing, then the refusal";
    const auto forged = std::regex_replace(host.link, std::regex("pk=[0-9a-f]{64}"), "pk=" + std::string(64, 'a'));
    refused({"pair", forged}, 6, "host key does not match the pairing link");
    refused({"pair", "127.0.0.1:1", "--code", "123456"}, 3, "host unreachable");
    refused({"ping"}, 5, "no host is paired");

    // Paired, then the host forgets this device behind its back.
    ASSERT_EQ(client(phone, {"pair", host.link}).exit, 0);
    const auto port = host.port;
    host.daemon.reset();
    std::filesystem::remove(dir / "host" / "paired_devices.json");
    Host again(dir / "host", false, port);
    refused({"ping"}, 5, "this host no longer knows this device — pair again");

    // Usage errors say what is wrong; --help answers for every command.
    refused({"key"}, 2, "key takes 1 argument");
    refused({"key", "nosuchkey"}, 2, "unknown key nosuchkey");
    refused({"launch"}, 2, "unknown command launch");
    for (const auto* command : {"discover", "pair", "type", "interactive", "bench"}) {
        const auto help = client(phone, {command, "--help"});
        EXPECT_EQ(help.exit, 0);
        EXPECT_TRUE(help.out.starts_with(std::string("usage: tarvel-client ") + command)) << help.out;
    }
}

TEST(TarvelClient, interactiveTypesKeysAndTextAndLeavesOnCtrlBracketWithNothingHeld) {
    testing::TempDir dir;
    Host host(dir / "host");
    const auto phone = dir / "client";
    ASSERT_EQ(client(phone, {"pair", host.link}).exit, 0);
    // The client on a terminal of its own.
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const std::string slave = ::ptsname(master);
    const std::string data = phone.string();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setsid();
        const int tty = ::open(slave.c_str(), O_RDWR);
        if (tty < 0 || ::ioctl(tty, TIOCSCTTY, 0) != 0 || ::dup2(tty, 0) < 0 || ::dup2(tty, 1) < 0 ||
            ::dup2(tty, 2) < 0) {
            ::_exit(127);
        }
        ::execl(TARVEL_CLIENT_PATH, TARVEL_CLIENT_PATH, "--data-dir", data.c_str(), "interactive",
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    std::string screen;
    const auto readUntil = [&](std::string_view text) {
        for (const auto deadline = std::chrono::steady_clock::now() + 10s;
             screen.find(text) == std::string::npos && std::chrono::steady_clock::now() < deadline;) {
            pollfd fd{master, POLLIN, 0};
            char buffer[512];
            if (::poll(&fd, 1, 100) > 0) {
                const ssize_t n = ::read(master, buffer, sizeof buffer);
                if (n <= 0) {
                    break;
                }
                screen.append(buffer, static_cast<std::size_t>(n));
            }
        }
        return screen.find(text) != std::string::npos;
    };
    EXPECT_TRUE(readUntil("Ctrl-] leaves")) << screen;
    // Text, Ctrl-Right, Alt-b, Enter, then Ctrl-].
    const std::string typed = "hi\x1b[1;5C\x1b" "b\r\x1d";
    ASSERT_EQ(::write(master, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
    EXPECT_TRUE(readUntil("left ")) << screen;
    int status = -1;
    for (int i = 0; i < 500 && ::waitpid(pid, &status, WNOHANG) != pid; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    if (::waitpid(pid, &status, WNOHANG) == 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
    ::close(master);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << screen;
    const auto recorded = recordWith(host.events, R"("op":"key")", 6);
    EXPECT_EQ(count(recorded, R"("op":"text")"), 1u) << recorded;
    EXPECT_EQ(count(recorded, R"("text":"hi")"), 1u);
    EXPECT_EQ(count(recorded, R"("op":"key")"), 6u) << "right, b and return, each down and up";
    // Every key went up again: as many key-ups as key-downs.
    EXPECT_EQ(count(recorded, R"("down":true)"), count(recorded, R"("down":false)"));
}

}  // namespace
}  // namespace tarvel
