// The daemon as a user runs it: pair, hold a key over UDP, stop with SIGTERM; and its refusals.
#include <gtest/gtest.h>

#include <poll.h>

#include <asio/ip/tcp.hpp>
#include <asio/ip/udp.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>

#include <chrono>
#include <fstream>
#include <string>

#include "core/security/client_handshakes.hpp"
#include "core/security/hex.hpp"
#include "core/wire/frame.hpp"
#include "core/wire/udp_codec.hpp"
#include "tests/fakes/temp_dir.hpp"
#include "tests/tools/daemon_process.hpp"

namespace tarvel {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::Daemon;
using testing::freePort;
using testing::rangeOf;

wire::Bytes readBody(asio::ip::tcp::socket& socket, std::uint8_t expectedType) {
    std::array<std::uint8_t, 4> length{};
    asio::read(socket, asio::buffer(length));
    wire::Bytes rest(wire::loadLE32(length.data()));
    asio::read(socket, asio::buffer(rest));
    EXPECT_EQ(rest.at(0), expectedType);
    return wire::Bytes(rest.begin() + 1, rest.end());
}
void writeFrame(asio::ip::tcp::socket& socket, std::uint8_t type, const wire::Bytes& body) {
    asio::write(socket, asio::buffer(wire::TCPFrameCodec::encodePlain(type, body).value()));
}
std::string readFile(const std::filesystem::path& path) {
    std::ifstream file(path);
    return {std::istreambuf_iterator<char>(file), {}};
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
    const auto link = daemon.waitFor("Pairing link: ", 5s);
    ASSERT_TRUE(code && link && link->starts_with("tarvel://pair?v=1&")) << link.value_or("");
    EXPECT_NE(link->find("&code=" + *code), std::string::npos);
    asio::io_context context;
    asio::ip::tcp::socket control(context);
    control.connect(asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
    security::ClientPairingHandshake phone(
        security::ClientDescriptor{security::LocalIdentity::generate(), "Test Phone", "Model 1"},
        *code, security::X25519PrivateKey::generate(), security::Hex::random(16));
    writeFrame(control, wire::FrameType::pairRequest, phone.makeRequest().value());
    writeFrame(control, wire::FrameType::pairConfirm,
               phone.handleChallenge(readBody(control, wire::FrameType::pairChallenge)).value());
    auto paired = phone.handleComplete(readBody(control, wire::FrameType::pairComplete),
                                       std::chrono::system_clock::now());
    ASSERT_TRUE(paired && paired->udpPort == port);
    EXPECT_TRUE(daemon.waitFor("Pairing code used.", 5s));
    // Press A over UDP, wait for the acknowledgement, and never let it go.
    asio::ip::udp::socket input(context, asio::ip::udp::endpoint(asio::ip::udp::v4(), 0));
    const auto& key = paired->keys.sessionKey;
    const asio::ip::udp::endpoint host(asio::ip::make_address("127.0.0.1"), port);
    const auto datagram = wire::UDPCodec::seal(
        wire::InputPacket(1, wire::InputEvent::Key{0x04, wire::KeyState::down, false}), key);
    bool acked = false;
    Clock::time_point lastPacket;
    for (int attempt = 0; attempt < 20 && !acked; ++attempt) {
        lastPacket = Clock::now();
        input.send_to(asio::buffer(datagram), host);
        std::array<std::uint8_t, 64> reply{};
        if (pollfd pfd{input.native_handle(), POLLIN, 0}; ::poll(&pfd, 1, 200) == 1) {
            const auto seq =
                wire::UDPCodec::openAck({reply.data(), input.receive(asio::buffer(reply))}, key);
            acked = seq && *seq == 1;
        }
    }
    ASSERT_TRUE(acked) << "no acknowledgement of sequence 1";
    // The host releases held input by itself 1.5 s after the last packet;
    // ending sooner proves the release came from the SIGTERM path.
    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.exitStatus(5s), 0);
    EXPECT_LT(Clock::now() - lastPacket, 1500ms)
        << "too slow to tell SIGTERM from the dead-man release";
    const auto lines = readFile(events);
    const auto down = lines.find(R"({"op":"key","keyCode":0,"down":true)");
    ASSERT_NE(down, std::string::npos) << lines;
    EXPECT_NE(lines.find(R"({"op":"key","keyCode":0,"down":false)", down), std::string::npos)
        << "stop must release the held key:\n" + lines;
    EXPECT_TRUE(std::filesystem::exists(dir / "data" / "identity" / "ed25519-seed.secret"));
    EXPECT_NE(readFile(dir / "data" / "paired_devices.json").find("Test Phone"), std::string::npos);
}

TEST(Tarveld, pairModeShowsAFreshCodeOnSigusr1AndOnEnter) {
    testing::TempDir dir;
    const auto port = freePort();
    Daemon daemon(
        {TARVELD_PATH, "--data-dir", (dir / "data").string(), "--pair", "--ports", rangeOf(port)});
    auto previous = daemon.waitFor("Pairing code: ", 10s);
    ASSERT_TRUE(previous);
    for (const bool enter : {false, true}) {
        enter ? daemon.pressEnter() : daemon.signal(SIGUSR1);
        const auto fresh = daemon.waitFor("Pairing code: ", 5s);
        ASSERT_TRUE(fresh && *fresh != *previous) << "enter: " << enter;
        const auto link = daemon.waitFor("Pairing link: ", 5s);
        EXPECT_TRUE(link && link->ends_with("&code=" + *fresh)) << link.value_or("(none)");
        previous = fresh;
    }
    daemon.signal(SIGINT);
    EXPECT_EQ(daemon.exitStatus(5s), 0);
}

TEST(Tarveld, badCommandLinesExit2WithTheReasonAndUsage) {
    for (const char* bad : {"--bogus", "--ports"}) {
        Daemon daemon({TARVELD_PATH, bad, "9-3"});
        EXPECT_EQ(daemon.exitStatus(5s), 2) << bad;
        const auto lines = daemon.rest(2s);
        ASSERT_GE(lines.size(), 2u) << bad;
        EXPECT_TRUE(lines[0].starts_with("tarveld: ") && lines[1].starts_with("usage: tarveld"))
            << lines[0] + "\n" + lines[1];
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
    const auto p = std::to_string(port);
    ASSERT_TRUE(failure && failure->starts_with(p + "..." + p + " (" + p + ": "))
        << failure.value_or("");
    EXPECT_NE(failure->find("in use"), std::string::npos) << *failure;
    EXPECT_EQ(daemon.exitStatus(5s), 1);
}

}  // namespace
}  // namespace tarvel
