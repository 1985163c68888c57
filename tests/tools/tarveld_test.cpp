// The daemon as a user runs it: pair a phone with the printed code, hold a key
// over UDP, stop it with SIGTERM and read what the sink saw; and its refusals.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <asio/ip/tcp.hpp>
#include <asio/ip/udp.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "core/security/client_handshakes.hpp"
#include "core/security/hex.hpp"
#include "core/wire/frame.hpp"
#include "core/wire/udp_codec.hpp"
#include "tests/fakes/temp_dir.hpp"

extern char** environ;

namespace tarvel {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

/// A child process with standard output and error on one pipe and standard
/// input on another; killed (by its PID) if the test ends early.
class Daemon {
  public:
    explicit Daemon(std::vector<std::string> args) {
        int out[2], in[2];
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(in, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe");
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDERR_FILENO);
        std::vector<char*> argv;
        for (auto& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        if (::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        ::close(in[0]);
        out_ = out[0];
        in_ = in[1];
    }
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;
    ~Daemon() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(out_);
        ::close(in_);
    }

    void signal(int number) const { ::kill(pid_, number); }
    void pressEnter() const { ASSERT_EQ(::write(in_, "\n", 1), 1); }

    /// The next line of output, or nothing by the deadline or at its end.
    std::optional<std::string> readLine(std::chrono::milliseconds limit) {
        const auto deadline = Clock::now() + limit;
        for (;;) {
            if (auto newline = buffer_.find('\n'); newline != std::string::npos) {
                std::string line = buffer_.substr(0, newline);
                buffer_.erase(0, newline + 1);
                return line;
            }
            const auto left = until(deadline);
            pollfd pfd{out_, POLLIN, 0};
            if (left <= 0ms || ::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
                return std::nullopt;
            }
            char chunk[4096];
            const ssize_t n = ::read(out_, chunk, sizeof chunk);
            if (n <= 0) {
                return std::nullopt;
            }
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }

    /// The first line starting with `prefix` (without it), skipping log lines.
    std::optional<std::string> waitFor(std::string_view prefix, std::chrono::milliseconds limit) {
        for (const auto deadline = Clock::now() + limit; auto line = readLine(until(deadline));) {
            if (line->starts_with(prefix)) {
                return line->substr(prefix.size());
            }
        }
        return std::nullopt;
    }

    /// Every line left, up to the end of output or the deadline.
    std::vector<std::string> rest(std::chrono::milliseconds limit) {
        std::vector<std::string> lines;
        for (const auto deadline = Clock::now() + limit; auto line = readLine(until(deadline));) {
            lines.push_back(*line);
        }
        return lines;
    }

    /// Waits (bounded) for the exit status.
    std::optional<int> exitStatus(std::chrono::milliseconds limit) {
        const auto deadline = Clock::now() + limit;
        while (Clock::now() < deadline) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(5ms);
        }
        return std::nullopt;
    }

  private:
    static std::chrono::milliseconds until(Clock::time_point deadline) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    }

    pid_t pid_ = -1;
    int out_ = -1;
    int in_ = -1;
    std::string buffer_;
};

/// A free port for both TCP and UDP, so parallel test runs stay apart.
std::uint16_t freePort() {
    asio::io_context context;
    for (int attempt = 0; attempt < 50; ++attempt) {
        asio::ip::tcp::acceptor acceptor(context, asio::ip::tcp::endpoint(asio::ip::tcp::v4(), 0));
        const auto port = acceptor.local_endpoint().port();
        std::error_code error;
        asio::ip::udp::socket udp(context);
        udp.open(asio::ip::udp::v4());
        udp.bind(asio::ip::udp::endpoint(asio::ip::udp::v4(), port), error);
        if (!error) {
            return port;
        }
    }
    return 0;
}

std::string rangeOf(std::uint16_t port) {
    return std::to_string(port) + "-" + std::to_string(port);
}

wire::TCPFrame readFrame(asio::ip::tcp::socket& socket) {
    std::array<std::uint8_t, 4> length{};
    asio::read(socket, asio::buffer(length));
    wire::Bytes rest(wire::loadLE32(length.data()));
    asio::read(socket, asio::buffer(rest));
    return wire::TCPFrame{rest.at(0), wire::Bytes(rest.begin() + 1, rest.end())};
}

void writeFrame(asio::ip::tcp::socket& socket, std::uint8_t type, const wire::Bytes& body) {
    asio::write(socket, asio::buffer(wire::TCPFrameCodec::encodePlain(type, body).value()));
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

TEST(Tarveld, pairsWithThePrintedCodeAndSigtermReleasesAHeldKeyAndExits0) {
    testing::TempDir dir;
    const auto port = freePort();
    ASSERT_NE(port, 0);
    const auto events = dir / "events.jsonl";
    Daemon daemon({TARVELD_PATH, "--data-dir", (dir / "data").string(), "--sink",
                   "record:" + events.string(), "--pair", "--ports", rangeOf(port)});

    EXPECT_EQ(daemon.waitFor("Listening on port ", 10s), std::to_string(port));
    const auto code = daemon.waitFor("Pairing code: ", 5s);
    ASSERT_TRUE(code);
    auto link = daemon.waitFor("Pairing link: ", 5s);
    ASSERT_TRUE(link && link->starts_with("tarvel://pair?v=1&"));
    EXPECT_NE(link->find("&code=" + *code), std::string::npos);

    // Pair as a phone would.
    asio::io_context context;
    asio::ip::tcp::socket control(context);
    control.connect(asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
    security::ClientPairingHandshake phone(
        security::ClientDescriptor{security::LocalIdentity::generate(), "Test Phone", "Model 1"},
        *code, security::X25519PrivateKey::generate(), security::Hex::random(16));
    writeFrame(control, wire::FrameType::pairRequest, phone.makeRequest().value());
    auto challenge = readFrame(control);
    ASSERT_EQ(challenge.type, wire::FrameType::pairChallenge);
    writeFrame(control, wire::FrameType::pairConfirm,
               phone.handleChallenge(challenge.body).value());
    auto complete = readFrame(control);
    ASSERT_EQ(complete.type, wire::FrameType::pairComplete);
    auto paired = phone.handleComplete(complete.body, std::chrono::system_clock::now());
    ASSERT_TRUE(paired);
    EXPECT_EQ(paired->udpPort, port);
    EXPECT_TRUE(daemon.waitFor("Pairing code used.", 5s));

    // Press A over UDP, wait for the acknowledgement, and never let it go.
    asio::ip::udp::socket input(context, asio::ip::udp::endpoint(asio::ip::udp::v4(), 0));
    const asio::ip::udp::endpoint host(asio::ip::make_address("127.0.0.1"), port);
    wire::InputPacket press(1, wire::InputEvent::Key{0x04, wire::KeyState::down, false});
    const auto datagram = wire::UDPCodec::seal(press, paired->keys.sessionKey);
    std::optional<std::uint64_t> acked;
    Clock::time_point lastPacket;
    for (int attempt = 0; attempt < 20 && !acked; ++attempt) {
        lastPacket = Clock::now();
        input.send_to(asio::buffer(datagram), host);
        std::array<std::uint8_t, 64> reply{};
        pollfd pfd{input.native_handle(), POLLIN, 0};
        if (::poll(&pfd, 1, 200) == 1) {
            const auto n = input.receive(asio::buffer(reply));
            if (auto seq = wire::UDPCodec::openAck(wire::ByteView(reply.data(), n),
                                                   paired->keys.sessionKey)) {
                acked = *seq;
            }
        }
    }
    ASSERT_EQ(acked, 1u);

    // The host releases held input by itself 1.5 s after the last packet;
    // ending sooner proves the release came from the SIGTERM path.
    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.exitStatus(5s), 0);
    EXPECT_LT(Clock::now() - lastPacket, 1500ms)
        << "too slow to tell SIGTERM from the dead-man release";

    const std::string lines = readFile(events);
    const auto down = lines.find(R"({"op":"key","keyCode":0,"down":true)");
    const auto up = lines.find(R"({"op":"key","keyCode":0,"down":false)");
    ASSERT_NE(down, std::string::npos) << lines;
    ASSERT_NE(up, std::string::npos) << "stop must release the held key:\n" << lines;
    EXPECT_LT(down, up);

    // The identity and the paired phone outlive the process.
    EXPECT_TRUE(std::filesystem::exists(dir / "data" / "identity" / "ed25519-seed.secret"));
    EXPECT_NE(readFile(dir / "data" / "paired_devices.json").find("Test Phone"), std::string::npos);
}

TEST(Tarveld, pairModeShowsAFreshCodeOnSigusr1AndOnEnter) {
    testing::TempDir dir;
    const auto port = freePort();
    Daemon daemon(
        {TARVELD_PATH, "--data-dir", (dir / "data").string(), "--pair", "--ports", rangeOf(port)});
    const auto first = daemon.waitFor("Pairing code: ", 10s);
    ASSERT_TRUE(first);
    daemon.signal(SIGUSR1);
    const auto second = daemon.waitFor("Pairing code: ", 5s);
    ASSERT_TRUE(second);
    EXPECT_NE(*second, *first);
    const auto link = daemon.waitFor("Pairing link: ", 5s);
    EXPECT_TRUE(link && link->ends_with("&code=" + *second)) << link.value_or("(none)");
    daemon.pressEnter();
    const auto third = daemon.waitFor("Pairing code: ", 5s);
    ASSERT_TRUE(third);
    EXPECT_NE(*third, *second);
    daemon.signal(SIGINT);
    EXPECT_EQ(daemon.exitStatus(5s), 0);
}

TEST(Tarveld, badCommandLinesExit2WithTheReasonAndUsage) {
    for (const char* bad : {"--bogus", "--ports"}) {
        Daemon daemon({TARVELD_PATH, bad, "9-3"});
        EXPECT_EQ(daemon.exitStatus(5s), 2) << bad;
        const auto lines = daemon.rest(2s);
        ASSERT_EQ(lines.size(), 2u) << bad;
        EXPECT_TRUE(lines[0].starts_with("tarveld: ")) << lines[0];
        EXPECT_TRUE(lines[1].starts_with("usage: tarveld")) << lines[1];
    }
}

TEST(Tarveld, unusableDataFolderOrRecordFileExit1WithOneLineNamingIt) {
    testing::TempDir dir;
    const auto open = dir / "open";
    std::filesystem::create_directory(open);
    std::filesystem::permissions(open, std::filesystem::perms::all);  // 0777
    const auto missing = (dir / "no-such-folder" / "events.jsonl").string();
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{"--data-dir", open.string()}, open.string()},
        {{"--data-dir", (dir / "data").string(), "--sink", "record:" + missing}, missing},
    };
    for (const auto& [args, named] : cases) {
        std::vector<std::string> command{TARVELD_PATH, "--ports", rangeOf(freePort())};
        command.insert(command.end(), args.begin(), args.end());
        Daemon daemon(command);
        EXPECT_EQ(daemon.exitStatus(5s), 1) << named;
        const auto lines = daemon.rest(2s);
        ASSERT_EQ(lines.size(), 1u) << named;
        EXPECT_NE(lines[0].find(named), std::string::npos) << lines[0];
    }
    EXPECT_TRUE(std::filesystem::is_empty(open)) << "nothing may be written to a refused folder";
}

TEST(Tarveld, exits1NamingThePortWhenNoPortOfTheRangeBinds) {
    testing::TempDir dir;
    const auto port = freePort();
    // The daemon binds the wildcard address, which a listener on 0.0.0.0 blocks.
    asio::io_context context;
    asio::ip::tcp::acceptor taken(context, asio::ip::tcp::endpoint(asio::ip::tcp::v4(), port));
    Daemon daemon({TARVELD_PATH, "--data-dir", (dir / "data").string(), "--ports", rangeOf(port)});
    const auto failure = daemon.waitFor("Tarvel: could not bind any port in ", 10s);
    ASSERT_TRUE(failure);
    const auto p = std::to_string(port);
    EXPECT_TRUE(failure->starts_with(p + "..." + p + " (" + p + ": ")) << *failure;
    EXPECT_NE(failure->find("in use"), std::string::npos) << *failure;
    EXPECT_EQ(daemon.exitStatus(5s), 1);
}

}  // namespace
}  // namespace tarvel
