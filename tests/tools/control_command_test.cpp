// tarveld's commands against a running tarveld over its control socket, and
// what each says when no host runs, a host is busy or a socket is untrusted.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/fakes/temp_dir.hpp"
#include "tests/tools/daemon_process.hpp"

namespace tarvel {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

/// A command, run as given; one given no --control-socket finds no host rather
/// than the user's own.
testing::Daemon program(std::vector<std::string> args) {
    return testing::Daemon(std::move(args), {"TVL_CONTROL_SOCKET=/dev/null/no-host"}, true);
}

/// The exit status once it ends (bounded), with everything it wrote.
std::pair<int, std::string> finish(testing::Daemon& program, std::chrono::milliseconds limit = 15s) {
    std::string text;
    for (const auto& line : program.rest(limit)) {
        text += line + "\n";
    }
    return {program.exitStatus(limit).value_or(-1), text};
}

std::pair<int, std::string> tarveld(std::vector<std::string> args) {
    args.insert(args.begin(), TARVELD_PATH);
    auto command = program(std::move(args));
    return finish(command);
}

std::pair<int, std::string> tarvelClient(const std::filesystem::path& data, std::vector<std::string> args) {
    args.insert(args.begin(), {TARVEL_CLIENT_PATH, "--data-dir", data.string()});
    auto command = program(std::move(args));
    return finish(command, 30s);
}

/// `tarveld pair`: the code and the link (on loopback), then it waits.
struct PairCommand {
    PairCommand(const std::string& socket, std::uint16_t port)
        : command(program({TARVELD_PATH, "pair", "--control-socket", socket})) {
        code = command.waitFor("Pairing code: ", 10s).value_or("");
        // The link's own LAN address may be any interface: tests stay on loopback.
        link = std::regex_replace(command.waitFor("Pairing link: ", 5s).value_or(""),
                                  std::regex("lan=[^&]*&ts=[^&]*"),
                                  "lan=127.0.0.1%3A" + std::to_string(port) + "&ts=");
        web = command.waitFor("Web remote: ", 5s).value_or("");
    }
    testing::Daemon command;
    std::string code;
    std::string link;
    std::string web;
};

TEST(ControlCommand, statusPairDevicesAndForgetAgainstTheRunningDaemonAndASecondOneLeavesItsSocket) {
    testing::TempDir dir;
    const auto port = testing::freePort();
    ASSERT_NE(port, 0);
    // Named by TVL_CONTROL_SOCKET, as the test gives no --control-socket.
    const auto webPort = testing::freePort();
    testing::Daemon daemon({TARVELD_PATH, "--data-dir", (dir / "host").string(), "--sink",
                            "record:" + (dir / "events.jsonl").string(), "--ports", testing::rangeOf(port),
                            "--web-ports", testing::rangeOf(webPort)});
    const std::string socket = daemon.controlSocket().value_or("");
    ASSERT_EQ(daemon.waitFor("Listening on port ", 10s), std::to_string(port));
    // The socket is bound right after the listeners.
    for (int i = 0; i < 500 && !std::filesystem::exists(socket); ++i) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(std::filesystem::exists(socket));
    EXPECT_EQ(std::filesystem::status(socket).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

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
    EXPECT_TRUE(listening && leftAlone);
    other.signal(SIGTERM);
    EXPECT_EQ(other.exitStatus(10s), 0);
    EXPECT_TRUE(std::filesystem::exists(socket)) << "the second host must not remove the first's socket";

    const auto [statusExit, status] = tarveld({"status", "--control-socket", socket});
    EXPECT_EQ(statusExit, 0) << status;
    EXPECT_NE(status.find("Port: " + std::to_string(port) + "\n"), std::string::npos) << status;
    EXPECT_NE(status.find("Event sink: record (input reaches it)\n"), std::string::npos) << status;
    EXPECT_NE(status.find("Latency tracing: off\n"), std::string::npos) << status;
    EXPECT_EQ(tarveld({"devices", "--control-socket", socket}).second, "No paired devices.\n");

    // Ctrl-C on `pair`: the code dies with the command's connection.
    std::string code;
    {
        PairCommand pair(socket, port);
        code = pair.code;
        // The web remote's address carries the same code and the host's key.
        EXPECT_TRUE(pair.web.starts_with("http://") &&
                    pair.web.find(":" + std::to_string(webPort) + "/#pair=" + code + "&pk=") !=
                        std::string::npos)
            << pair.web;
        pair.command.signal(SIGINT);
        EXPECT_EQ(finish(pair.command).first, 128 + SIGINT);
    }
    bool refused = false;
    for (int i = 0; i < 50 && !refused; ++i) {
        const auto [clientExit, out] =
            tarvelClient(dir / "late", {"pair", "127.0.0.1:" + std::to_string(port), "--code", code});
        ASSERT_NE(clientExit, 0) << "a withdrawn code paired: " << out;
        refused = clientExit == 4 && out.find("no pairing code is active") != std::string::npos;
        if (!refused) {
            std::this_thread::sleep_for(20ms);
        }
    }
    EXPECT_TRUE(refused);

    // Two phones of one name pair from printed links; each pair command names its device.
    const auto phone = dir / "phone";
    std::vector<std::string> ids;
    for (const auto& data : {phone, dir / "tablet"}) {
        PairCommand pair(socket, port);
        ASSERT_EQ(pair.code.size(), 6u);
        ASSERT_NE(pair.link.find("&code=" + pair.code), std::string::npos) << pair.link;
        const auto [clientExit, clientOut] = tarvelClient(data, {"pair", pair.link});
        ASSERT_EQ(clientExit, 0) << clientOut;
        const auto paired = pair.command.waitFor("Paired with ", 10s);
        ASSERT_TRUE(paired);
        EXPECT_NE(paired->find("(tarvel-client), id "), std::string::npos) << *paired;
        ids.push_back(paired->substr(paired->rfind(' ') + 1, 36));
        EXPECT_EQ(finish(pair.command).first, 0);
    }
    ASSERT_NE(ids[0], ids[1]);

    // One of them connected: online, and the one in control.
    auto bench = program({TARVEL_CLIENT_PATH, "--data-dir", phone.string(), "bench", "--events", "6000",
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
    const auto at = devices.find(ids[1]) + 38;
    const auto name = devices.substr(at, devices.find(" (tarvel-client)", at) - at);
    const auto [ambiguousExit, ambiguous] = tarveld({"forget", name, "--control-socket", socket});
    EXPECT_EQ(ambiguousExit, 1);
    EXPECT_NE(ambiguous.find(ids[0]), std::string::npos) << ambiguous;
    EXPECT_NE(ambiguous.find(ids[1]), std::string::npos) << ambiguous;
    EXPECT_EQ(tarveld({"forget", "No Such Phone", "--control-socket", socket}),
              std::make_pair(1, std::string("tarveld: no paired device has the id or name No Such Phone\n")));
    EXPECT_EQ(tarveld({"forget", ids[1], "--control-socket", socket}),
              std::make_pair(0, "Forgot " + name + " (tarvel-client), id " + ids[1] + ".\n"));
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
        EXPECT_EQ(tarveld({command, "--control-socket", socket}),
                  std::make_pair(3, "tarveld: no Tarvel host is running (nothing answers on " + socket + ")\n"))
            << command;
    }
    EXPECT_EQ(tarveld({"forget", "x", "--control-socket", socket}).first, 3);
}

/// A Unix socket bound to `path`, listening unless `backlog` is negative.
int bound(const std::filesystem::path& path, int backlog = 4) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.native().size());
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        (backlog >= 0 && ::listen(fd, backlog) != 0)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

TEST(ControlCommand, aBusyHostIsNeitherAbsentNorWaitedOnForEver) {
    testing::TempDir dir;
    const auto socket = dir / "control";
    for (const std::string failure : {"busy", "timeout"}) {
        std::filesystem::remove(socket);
        const int host = bound(socket);
        auto status = program({TARVELD_PATH, "status", "--control-socket", socket.string()});
        pollfd pfd{host, POLLIN, 0};
        ASSERT_EQ(::poll(&pfd, 1, 10000), 1);
        const int client = ::accept4(host, nullptr, nullptr, SOCK_CLOEXEC);
        const auto line = R"({"answer":"error","error":")" + failure + R"(","message":"try again"})" + "\n";
        (void)!::send(client, line.data(), line.size(), MSG_NOSIGNAL);
        EXPECT_EQ(finish(status), std::make_pair(4, std::string("tarveld: try again\n"))) << failure;
        ::close(client);
        ::close(host);
    }
    // A host whose queue of connections is full refuses at once rather than hanging.
    std::filesystem::remove(socket);
    const int wedged = bound(socket, 0);
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
    const int planted = bound(open / "control");
    ASSERT_GE(planted, 0);
    EXPECT_EQ(tarveld({"pair", "--control-socket", (open / "control").string()}),
              std::make_pair(5, "tarveld: refusing the control socket " + (open / "control").string() + ": " +
                                    open.string() + " is not private to this user, so another user could have put it there\n"));
    pollfd pfd{planted, POLLIN, 0};
    EXPECT_EQ(::poll(&pfd, 1, 0), 0) << "the command connected";
    ::close(planted);

    // A private folder, but the socket is served by another user.
    if (::getuid() != 0) {
        GTEST_SKIP() << "serving a socket as another user needs root";
    }
    const auto path = dir / "control";
    const int fd = bound(path, -1);
    ASSERT_GE(fd, 0);
    int ready[2];
    ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
    const pid_t other = ::fork();
    if (other == 0) {
        // The peer's credentials are taken at listen().
        if (::setgid(65534) != 0 || ::setuid(65534) != 0 || ::listen(fd, 4) != 0) {
            ::_exit(1);
        }
        (void)!::write(ready[1], "r", 1);
        ::sleep(20);
        ::_exit(0);
    }
    ::close(fd);
    ::close(ready[1]);
    char byte = 0;
    pfd = {ready[0], POLLIN, 0};
    ASSERT_TRUE(::poll(&pfd, 1, 5000) == 1 && ::read(ready[0], &byte, 1) == 1);
    ::close(ready[0]);
    const auto stranger = tarveld({"pair", "--control-socket", path.string()});
    ::kill(other, SIGKILL);
    ::waitpid(other, nullptr, 0);
    EXPECT_EQ(stranger, std::make_pair(5, "tarveld: refusing the control socket " + path.string() +
                                              ": it belongs to uid 65534, not to you (uid 0)\n"));
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
