// The daemon as a user runs it: start it, pair a phone built from the core's
// client half with the code it prints, send a key over UDP, stop it with
// SIGTERM, and read what the recording sink saw.
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

/// A child process with its standard output on a pipe; killed if the test ends early.
class Daemon {
  public:
    explicit Daemon(std::vector<std::string> args) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe");
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        std::vector<char*> argv;
        for (auto& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        const int error = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        out_ = fds[0];
        if (error != 0) {
            pid_ = -1;
        }
    }
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;
    ~Daemon() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(out_);
    }

    bool running() const { return pid_ > 0; }

    /// The next line of standard output, or nothing by the deadline.
    std::optional<std::string> readLine(std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            if (auto newline = buffer_.find('\n'); newline != std::string::npos) {
                std::string line = buffer_.substr(0, newline);
                buffer_.erase(0, newline + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left <= 0ms) {
                return std::nullopt;
            }
            pollfd pfd{out_, POLLIN, 0};
            if (::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
                continue;
            }
            char chunk[4096];
            const ssize_t n = ::read(out_, chunk, sizeof chunk);
            if (n <= 0) {
                return std::nullopt;
            }
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }

    /// Sends `signal` and waits (bounded) for the exit status.
    std::optional<int> stop(int signal, std::chrono::milliseconds limit) {
        ::kill(pid_, signal);
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(10ms);
        }
        return std::nullopt;
    }

  private:
    pid_t pid_ = -1;
    int out_ = -1;
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

TEST(Tarveld, pairsWithThePrintedCodeInjectsAKeyAndReleasesItOnSigterm) {
    testing::TempDir dir;
    const auto port = freePort();
    ASSERT_NE(port, 0);
    const auto range = std::to_string(port) + "-" + std::to_string(port);
    const auto events = dir / "events.jsonl";
    Daemon daemon({TARVELD_PATH, "--data-dir", (dir / "data").string(), "--sink",
                   "record:" + events.string(), "--pair", "--ports", range});
    ASSERT_TRUE(daemon.running());

    EXPECT_EQ(daemon.readLine(10s), "Listening on port " + std::to_string(port));
    auto codeLine = daemon.readLine(5s);
    ASSERT_TRUE(codeLine && codeLine->starts_with("Pairing code: ")) << codeLine.value_or("(none)");
    const std::string code = codeLine->substr(14);
    auto linkLine = daemon.readLine(5s);
    ASSERT_TRUE(linkLine && linkLine->starts_with("Pairing link: tarvel://pair?v=1&"));
    EXPECT_NE(linkLine->find("&code=" + code), std::string::npos);

    // Pair as a phone would.
    asio::io_context context;
    asio::ip::tcp::socket control(context);
    control.connect(asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
    security::ClientPairingHandshake phone(
        security::ClientDescriptor{security::LocalIdentity::generate(), "Test Phone", "Model 1"},
        code, security::X25519PrivateKey::generate(), security::Hex::random(16));
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
    EXPECT_EQ(daemon.readLine(5s), "Pairing completed; serving the paired device.");

    // Press A over UDP and wait for the acknowledgement.
    asio::ip::udp::socket input(context, asio::ip::udp::endpoint(asio::ip::udp::v4(), 0));
    const asio::ip::udp::endpoint host(asio::ip::make_address("127.0.0.1"), port);
    wire::InputPacket press(1, wire::InputEvent::Key{0x04, wire::KeyState::down, false});
    const auto datagram = wire::UDPCodec::seal(press, paired->keys.sessionKey);
    std::optional<std::uint64_t> acked;
    for (int attempt = 0; attempt < 20 && !acked; ++attempt) {
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

    EXPECT_EQ(daemon.stop(SIGTERM, 10s), 0);

    std::ifstream file(events);
    std::stringstream recorded;
    recorded << file.rdbuf();
    const std::string lines = recorded.str();
    const auto down = lines.find(R"({"op":"key","keyCode":0,"down":true)");
    const auto up = lines.find(R"({"op":"key","keyCode":0,"down":false)");
    ASSERT_NE(down, std::string::npos) << lines;
    ASSERT_NE(up, std::string::npos) << "stop must release the held key:\n" << lines;
    EXPECT_LT(down, up);

    // The identity and the paired phone outlive the process.
    EXPECT_TRUE(std::filesystem::exists(dir / "data" / "identity" / "ed25519-seed.secret"));
    std::ifstream devices(dir / "data" / "paired_devices.json");
    std::stringstream stored;
    stored << devices.rdbuf();
    EXPECT_NE(stored.str().find("Test Phone"), std::string::npos);
}

TEST(Tarveld, refusesUnknownOptionsWithUsage) {
    Daemon daemon({TARVELD_PATH, "--bogus"});
    ASSERT_TRUE(daemon.running());
    EXPECT_EQ(daemon.stop(0, 5s), 2);
}

}  // namespace
}  // namespace tarvel
