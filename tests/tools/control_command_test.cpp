// tarveld's commands against a running tarveld over its control socket:
// status, pair with tarvel-client from the printed link, devices, forget,
// and what each says when no host runs.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include <chrono>
#include <filesystem>
#include <optional>
#include <regex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tests/fakes/temp_dir.hpp"
#include "tests/tools/daemon_process.hpp"

namespace tarvel {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

/// A program with output and errors on one pipe, killed by PID if left running.
/// A command given no --control-socket finds no host rather than the user's own.
class Program {
  public:
    explicit Program(std::vector<std::string> args) {
        std::vector<std::string> environment{"TVL_CONTROL_SOCKET=/dev/null/no-host"};
        for (char** entry = environ; *entry != nullptr; ++entry) {
            if (!std::string_view(*entry).starts_with("TVL_CONTROL_SOCKET=")) {
                environment.emplace_back(*entry);
            }
        }
        std::vector<char*> envp;
        for (auto& entry : environment) {
            envp.push_back(entry.data());
        }
        envp.push_back(nullptr);
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, out[1], 2);
        // A test run in the background (with-desktop) ignores SIGINT, and the
        // ignoring is inherited: a command must see Ctrl-C as a terminal sends it.
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t signals;
        sigemptyset(&signals);
        sigaddset(&signals, SIGINT);
        posix_spawnattr_setsigdefault(&attributes, &signals);
        sigemptyset(&signals);
        posix_spawnattr_setsigmask(&attributes, &signals);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
        std::vector<char*> argv;
        for (auto& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        if (::posix_spawn(&pid_, argv[0], &actions, &attributes, argv.data(), envp.data()) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        ::close(out[1]);
        out_ = out[0];
    }
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;
    ~Program() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(out_);
    }

    std::optional<std::string> readLine(std::chrono::milliseconds limit) {
        const auto deadline = Clock::now() + limit;
        for (char c;;) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            pollfd pfd{out_, POLLIN, 0};
            if (left <= 0ms || ::poll(&pfd, 1, static_cast<int>(left.count())) <= 0 ||
                ::read(out_, &c, 1) != 1) {
                return std::nullopt;
            }
            if (c == '\n') {
                return std::exchange(partial_, {});
            }
            partial_ += c;
        }
    }
    /// The first line starting with `prefix`, without it.
    std::optional<std::string> waitFor(std::string_view prefix, std::chrono::milliseconds limit) {
        for (const auto deadline = Clock::now() + limit;;) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            auto line = readLine(std::max(left, 0ms));
            if (!line) {
                return std::nullopt;
            }
            if (line->starts_with(prefix)) {
                return line->substr(prefix.size());
            }
        }
    }
    void signal(int number) const { ::kill(pid_, number); }
    /// The exit status once it ends (bounded), with everything it wrote.
    std::pair<int, std::string> finish(std::chrono::milliseconds limit = 15s) {
        std::string text;
        while (auto line = readLine(limit)) {
            text += *line + "\n";
        }
        int status = 0;
        for (const auto deadline = Clock::now() + limit; pid_ > 0 && Clock::now() < deadline;) {
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), text};
            }
            std::this_thread::sleep_for(5ms);
        }
        return {-1, text};
    }

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string partial_;
};

std::pair<int, std::string> tarveld(std::vector<std::string> args) {
    args.insert(args.begin(), TARVELD_PATH);
    return Program(std::move(args)).finish();
}

std::pair<int, std::string> tarvelClient(const std::filesystem::path& data, std::vector<std::string> args) {
    args.insert(args.begin(), {TARVEL_CLIENT_PATH, "--data-dir", data.string()});
    return Program(std::move(args)).finish(30s);
}

/// `tarveld pair`: the code and the link (on loopback), then it waits.
struct PairCommand {
    PairCommand(const std::string& socket, std::uint16_t port)
        : program({TARVELD_PATH, "pair", "--control-socket", socket}) {
        code = program.waitFor("Pairing code: ", 10s).value_or("");
        // The link's own LAN address may be any interface: tests stay on loopback.
        link = std::regex_replace(program.waitFor("Pairing link: ", 5s).value_or(""),
                                  std::regex("lan=[^&]*&ts=[^&]*"),
                                  "lan=127.0.0.1%3A" + std::to_string(port) + "&ts=");
    }
    Program program;
    std::string code;
    std::string link;
};

TEST(ControlCommand, statusPairDevicesAndForgetAgainstTheRunningDaemon) {
    testing::TempDir dir;
    const auto port = testing::freePort();
    ASSERT_NE(port, 0);
    const std::string socket = (dir / "control").string();
    testing::Daemon daemon({TARVELD_PATH, "--data-dir", (dir / "host").string(), "--sink",
                            "record:" + (dir / "events.jsonl").string(), "--ports",
                            testing::rangeOf(port), "--control-socket", socket});
    ASSERT_EQ(daemon.waitFor("Listening on port ", 10s), std::to_string(port));
    // The socket is bound right after the listeners.
    for (int i = 0; i < 500 && !std::filesystem::exists(socket); ++i) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(std::filesystem::exists(socket));
    EXPECT_EQ(std::filesystem::status(socket).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

    const auto [statusExit, status] = tarveld({"status", "--control-socket", socket});
    EXPECT_EQ(statusExit, 0) << status;
    EXPECT_NE(status.find("Port: " + std::to_string(port) + "\n"), std::string::npos) << status;
    EXPECT_NE(status.find("Event sink: record (input reaches it)\n"), std::string::npos) << status;
    EXPECT_NE(status.find("Latency tracing: off\n"), std::string::npos) << status;
    EXPECT_EQ(tarveld({"devices", "--control-socket", socket}).second, "No paired devices.\n");

    // Two phones of one name pair from printed links; each pair command names its device.
    const auto phone = dir / "phone";
    const auto tablet = dir / "tablet";
    std::vector<std::string> ids;
    for (const auto& data : {phone, tablet}) {
        PairCommand pair(socket, port);
        ASSERT_EQ(pair.code.size(), 6u);
        ASSERT_NE(pair.link.find("&code=" + pair.code), std::string::npos) << pair.link;
        const auto [clientExit, clientOut] = tarvelClient(data, {"pair", pair.link});
        ASSERT_EQ(clientExit, 0) << clientOut;
        const auto paired = pair.program.waitFor("Paired with ", 10s);
        ASSERT_TRUE(paired);
        EXPECT_NE(paired->find("(tarvel-client), id "), std::string::npos) << *paired;
        ids.push_back(paired->substr(paired->rfind(' ') + 1, 36));
        EXPECT_EQ(pair.program.finish().first, 0);
    }
    ASSERT_NE(ids[0], ids[1]);

    // One of them connected: online, and the one in control.
    Program bench({TARVEL_CLIENT_PATH, "--data-dir", phone.string(), "bench", "--events", "6000",
                   "--rate", "200"});
    std::string devices;
    for (int i = 0; i < 100 && devices.find("● online   " + ids[0]) == std::string::npos; ++i) {
        std::this_thread::sleep_for(50ms);
        devices = tarveld({"devices", "--control-socket", socket}).second;
    }
    EXPECT_TRUE(std::regex_search(devices, std::regex("● online   " + ids[0] + "  .+ \\(tarvel-client\\)  — controlling this computer\n")))
        << devices;
    EXPECT_TRUE(std::regex_search(devices, std::regex("○ offline  " + ids[1] + "  .+ \\(tarvel-client\\)\n")))
        << devices;
    bench.signal(SIGKILL);

    // Both carry this machine's name: forgetting by it is refused, listing both.
    const auto name = devices.substr(devices.find(ids[1]) + 38, devices.find(" (tarvel-client)", devices.find(ids[1])) - devices.find(ids[1]) - 38);
    const auto [ambiguousExit, ambiguous] = tarveld({"forget", name, "--control-socket", socket});
    EXPECT_EQ(ambiguousExit, 1);
    EXPECT_NE(ambiguous.find(ids[0]), std::string::npos) << ambiguous;
    EXPECT_NE(ambiguous.find(ids[1]), std::string::npos) << ambiguous;
    const auto [unknownExit, unknown] = tarveld({"forget", "No Such Phone", "--control-socket", socket});
    EXPECT_EQ(unknownExit, 1);
    EXPECT_EQ(unknown, "tarveld: no paired device has the id or name No Such Phone\n");

    const auto [forgotExit, forgot] = tarveld({"forget", ids[1], "--control-socket", socket});
    EXPECT_EQ(forgotExit, 0) << forgot;
    EXPECT_EQ(forgot, "Forgot " + name + " (tarvel-client), id " + ids[1] + ".\n");
    // Now the name is unique.
    EXPECT_EQ(tarveld({"forget", name, "--control-socket", socket}).first, 0);
    EXPECT_EQ(tarveld({"devices", "--control-socket", socket}).second, "No paired devices.\n");
    const auto [pingExit, ping] = tarvelClient(phone, {"ping"});
    EXPECT_EQ(pingExit, 5) << ping;

    // An orderly stop removes the socket; then every command says no host runs.
    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.exitStatus(10s), 0);
    EXPECT_FALSE(std::filesystem::exists(socket));
    for (const auto* command : {"status", "devices", "pair"}) {
        const auto [exit, text] = tarveld({command, "--control-socket", socket});
        EXPECT_EQ(exit, 3) << command;
        EXPECT_EQ(text, "tarveld: no Tarvel host is running (nothing answers on " + socket + ")\n");
    }
    EXPECT_EQ(tarveld({"forget", "x", "--control-socket", socket}).first, 3);
}

TEST(ControlCommand, ctrlCWithdrawsTheCodeAndASecondDaemonLeavesTheSocketToTheFirst) {
    testing::TempDir dir;
    const auto port = testing::freePort();
    // A test that names no socket gets one of its own, passed as TVL_CONTROL_SOCKET.
    testing::Daemon daemon({TARVELD_PATH, "--data-dir", (dir / "host").string(), "--ports",
                            testing::rangeOf(port)});
    ASSERT_TRUE(daemon.controlSocket());
    const std::string socket = daemon.controlSocket()->string();
    ASSERT_EQ(daemon.waitFor("Listening on port ", 10s), std::to_string(port));
    for (int i = 0; i < 500 && !std::filesystem::exists(socket); ++i) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(std::filesystem::exists(socket));
    const auto second = testing::freePort();
    testing::Daemon other({TARVELD_PATH, "--data-dir", (dir / "other").string(), "--ports",
                           testing::rangeOf(second), "--control-socket", socket});
    // The socket is tried as the listeners start: either line may come first.
    bool listening = false;
    bool leftAlone = false;
    for (const auto deadline = Clock::now() + 10s; !(listening && leftAlone);) {
        const auto line = other.readLine(deadline);
        if (!line) {
            break;
        }
        listening = listening || *line == "Listening on port " + std::to_string(second);
        leftAlone = leftAlone || *line == "Tarvel: no control socket: another Tarvel host answers on " + socket;
    }
    EXPECT_TRUE(listening);
    EXPECT_TRUE(leftAlone);
    // The first still answers there.
    const auto [exit, status] = tarveld({"status", "--control-socket", socket});
    EXPECT_EQ(exit, 0);
    EXPECT_NE(status.find("Port: " + std::to_string(port) + "\n"), std::string::npos) << status;

    std::string code;
    {
        PairCommand pair(socket, port);
        code = pair.code;
        pair.program.signal(SIGINT);
        EXPECT_EQ(pair.program.finish().first, 128 + SIGINT);
    }
    // The code died with the command's connection.
    bool refused = false;
    for (int i = 0; i < 50 && !refused; ++i) {
        const auto [clientExit, out] =
            tarvelClient(dir / "phone", {"pair", "127.0.0.1:" + std::to_string(port), "--code", code});
        ASSERT_NE(clientExit, 0) << "a withdrawn code paired: " << out;
        refused = clientExit == 4 && out.find("no pairing code is active") != std::string::npos;
        if (!refused) {
            std::this_thread::sleep_for(20ms);
        }
    }
    EXPECT_TRUE(refused);
    other.signal(SIGTERM);
    EXPECT_EQ(other.exitStatus(10s), 0);
    EXPECT_TRUE(std::filesystem::exists(socket)) << "the second host must not remove the first's socket";
}

/// A listening Unix socket at `path` that nobody accepts on.
int listenOn(const std::filesystem::path& path, int backlog = 4) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.native().size());
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, backlog) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

/// Whether a connection waits on listening socket `fd`.
bool someoneConnected(int fd) {
    pollfd pfd{fd, POLLIN, 0};
    return ::poll(&pfd, 1, 0) == 1;
}

/// Serves `line` to the next connection on `path`, from a thread (bounded).
class OneAnswer {
  public:
    OneAnswer(const std::filesystem::path& path, std::string line) : fd_(listenOn(path)) {
        thread_ = std::thread([this, line = std::move(line)] {
            pollfd pfd{fd_, POLLIN, 0};
            if (::poll(&pfd, 1, 10000) != 1) {
                return;
            }
            const int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            (void)!::send(client, line.data(), line.size(), MSG_NOSIGNAL);
            char request[256];
            pollfd in{client, POLLIN, 0};
            if (::poll(&in, 1, 5000) == 1) {
                (void)!::read(client, request, sizeof request);
            }
            ::close(client);
        });
    }
    OneAnswer(const OneAnswer&) = delete;
    OneAnswer& operator=(const OneAnswer&) = delete;
    ~OneAnswer() {
        thread_.join();
        ::close(fd_);
    }

  private:
    int fd_;
    std::thread thread_;
};

TEST(ControlCommand, aBusyHostIsNeitherAbsentNorWaitedOnForEver) {
    testing::TempDir dir;
    const auto socket = dir / "control";
    for (const auto* failure : {"busy", "timeout"}) {
        std::filesystem::remove(socket);
        OneAnswer host(socket, std::string(R"({"answer":"error","error":")") + failure +
                                   R"(","message":"try again"})" + "\n");
        EXPECT_EQ(tarveld({"status", "--control-socket", socket.string()}),
                  std::make_pair(4, std::string("tarveld: try again\n")))
            << failure;
    }
    // A host whose queue of connections is full refuses at once rather than hanging.
    std::filesystem::remove(socket);
    const int wedged = listenOn(socket, 0);
    ASSERT_GE(wedged, 0);
    std::vector<int> queued;
    for (int i = 0; i < 8; ++i) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, socket.c_str(), socket.native().size());
        queued.push_back(fd);
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
            errno == EAGAIN) {
            break;
        }
    }
    const auto started = Clock::now();
    const auto [exit, text] = tarveld({"pair", "--control-socket", socket.string()});
    EXPECT_EQ(exit, 4) << text;
    EXPECT_NE(text.find("is not answering"), std::string::npos) << text;
    EXPECT_LT(Clock::now() - started, 8s);
    for (const int fd : queued) {
        ::close(fd);
    }
    ::close(wedged);
}

TEST(ControlCommand, refusesASocketAnotherUserCouldHavePlanted) {
    testing::TempDir dir;
    // A folder anyone may write to: the command does not even connect.
    const auto open = dir / "open";
    std::filesystem::create_directory(open);
    ::chmod(open.c_str(), 0777);
    const int planted = listenOn(open / "control");
    ASSERT_GE(planted, 0);
    const auto [exit, text] = tarveld({"pair", "--control-socket", (open / "control").string()});
    EXPECT_EQ(exit, 5) << text;
    EXPECT_EQ(text, "tarveld: refusing the control socket " + (open / "control").string() + ": " +
                        open.string() + " is not private to this user, so another user could have put it there\n");
    EXPECT_FALSE(someoneConnected(planted));
    ::close(planted);

    // A private folder, but the socket is served by another user.
    if (::getuid() != 0) {
        GTEST_SKIP() << "serving a socket as another user needs root";
    }
    const auto path = dir / "control";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.native().size());
    int ready[2];
    ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
    const pid_t other = ::fork();
    if (other == 0) {
        // The peer's credentials are taken at listen().
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            ::setgid(65534) != 0 || ::setuid(65534) != 0 || ::listen(fd, 4) != 0) {
            ::_exit(1);
        }
        (void)!::write(ready[1], "r", 1);
        ::sleep(20);
        ::_exit(0);
    }
    ::close(ready[1]);
    char byte = 0;
    pollfd pfd{ready[0], POLLIN, 0};
    ASSERT_TRUE(::poll(&pfd, 1, 5000) == 1 && ::read(ready[0], &byte, 1) == 1);
    ::close(ready[0]);
    const auto [strangerExit, stranger] = tarveld({"pair", "--control-socket", path.string()});
    ::kill(other, SIGKILL);
    ::waitpid(other, nullptr, 0);
    EXPECT_EQ(strangerExit, 5) << stranger;
    EXPECT_EQ(stranger, "tarveld: refusing the control socket " + path.string() +
                            ": it belongs to uid 65534, not to you (uid 0)\n");
}

TEST(ControlCommand, versionAndBadCommandLines) {
    const auto [exit, text] = tarveld({"--version"});
    EXPECT_EQ(exit, 0);
    EXPECT_TRUE(std::regex_match(text, std::regex("tarveld [0-9]+\\.[0-9]+[^\n]*\n"))) << text;
    EXPECT_EQ(tarveld({"forget"}), std::make_pair(2, std::string("tarveld: forget takes one device id or name\n")));
    EXPECT_EQ(tarveld({"status", "extra"}).first, 2);
    EXPECT_EQ(tarveld({"devices", "--bogus"}).first, 2);
    // Without --control-socket the command goes where TVL_CONTROL_SOCKET says.
    EXPECT_EQ(tarveld({"status"}),
              std::make_pair(3, std::string("tarveld: no Tarvel host is running (nothing answers on "
                                            "/dev/null/no-host)\n")));
}

}  // namespace
}  // namespace tarvel
