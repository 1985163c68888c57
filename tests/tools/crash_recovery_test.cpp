// tarveld killed while a phone holds a key and a button, then started again,
// on an X server of the test's own.
#include <gtest/gtest.h>

#include <poll.h>

#include <asio/ip/tcp.hpp>
#include <asio/ip/udp.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>

#include <chrono>
#include <string>

#include "core/security/client_handshakes.hpp"
#include "core/security/hex.hpp"
#include "core/wire/frame.hpp"
#include "core/wire/udp_codec.hpp"
#include "tests/fakes/child_process.hpp"
#include "tests/fakes/temp_dir.hpp"
#include "tests/host/platform/linux/private_x_server.hpp"
#include "tests/tools/daemon_process.hpp"

namespace tarvel {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr unsigned keycodeA = 38;  // HID 0x04 under the server's default us layout

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

/// What `xinput query-state` says of one item ("key[38]", "button[1]") of an XTEST device.
std::string xtestState(const std::string& display, const char* device, const std::string& item) {
    const auto out = testing::runChild({"env", "DISPLAY=" + display, "xinput", "query-state", device}, 10s);
    const auto at = out ? out->find(item + "=") : std::string::npos;
    return at == std::string::npos ? "(unknown)" : out->substr(at + item.size() + 1, out->find('\n', at) - at - item.size() - 1);
}
/// Whether `xset q` lists the keycode among the keys that autorepeat.
std::optional<bool> repeats(const std::string& display, unsigned keycode) {
    const auto out = testing::runChild({"xset", "-display", display, "q"}, 10s);
    const auto at = out ? out->find("auto repeating keys:") : std::string::npos;
    if (at == std::string::npos) return std::nullopt;
    std::string hex;  // 32 bytes in four lines of eight
    for (std::size_t i = at + 20; i < out->size() && hex.size() < 64; ++i)
        if (std::isxdigit(static_cast<unsigned char>((*out)[i]))) hex += (*out)[i];
    if (hex.size() < 64) return std::nullopt;
    return ((std::stoul(hex.substr(keycode / 8 * 2, 2), nullptr, 16) >> (keycode % 8)) & 1) != 0;
}
bool eventually(const auto& predicate, std::chrono::milliseconds limit = 5s) {
    for (const auto deadline = Clock::now() + limit; Clock::now() < deadline; std::this_thread::sleep_for(20ms))
        if (predicate()) return true;
    return predicate();
}

TEST(CrashRecovery, tarveldStartedAfterASigkillReleasesTheKeyAndButtonItHeldAndRestoresAutorepeat) {
    testing::PrivateServer server;
    ASSERT_FALSE(server.display.empty()) << "Xvfb reported no display";
    const std::string display = ":" + server.display;
    // A desktop always has other clients; without one, the server would reset
    // itself, state and all, when the daemon dies.
    const pid_t bystander = testing::spawnChild({"xprop", "-display", display, "-root", "-spy", "WM_NAME"}, {}, nullptr);
    ASSERT_GT(bystander, 0);
    const std::shared_ptr<void> stopBystander(nullptr, [&](void*) { testing::stopChild(bystander); });
    ASSERT_EQ(repeats(display, keycodeA), true);
    testing::TempDir dir;
    const auto start = [&](std::vector<std::string> extra) {
        const auto port = testing::freePort();
        std::vector<std::string> args{TARVELD_PATH, "--data-dir", (dir / "data").string(), "--sink", "x11", "--ports",
                                      testing::rangeOf(port)};
        args.insert(args.end(), extra.begin(), extra.end());
        return std::pair(std::make_unique<testing::Daemon>(args, std::vector<std::string>{"DISPLAY=" + display, "WAYLAND_DISPLAY="}), port);
    };
    auto [first, port] = start({"--pair"});
    const auto code = first->waitFor("Pairing code: ", 10s);
    ASSERT_TRUE(code) << "tarveld showed no pairing code";
    asio::io_context context;
    asio::ip::tcp::socket control(context);
    control.connect(asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
    security::ClientPairingHandshake phone(
        security::ClientDescriptor{security::LocalIdentity::generate(), "Test Phone", "Model 1"},
        *code, security::X25519PrivateKey::generate(), security::Hex::random(16));
    writeFrame(control, wire::FrameType::pairRequest, phone.makeRequest().value());
    writeFrame(control, wire::FrameType::pairConfirm,
               phone.handleChallenge(readBody(control, wire::FrameType::pairChallenge)).value());
    auto paired = phone.handleComplete(readBody(control, wire::FrameType::pairComplete), std::chrono::system_clock::now());
    ASSERT_TRUE(paired && paired->udpPort == port);

    // Press A and the left button, and never let go.
    asio::ip::udp::socket input(context, asio::ip::udp::endpoint(asio::ip::udp::v4(), 0));
    const auto& key = paired->keys.sessionKey;
    const asio::ip::udp::endpoint host(asio::ip::make_address("127.0.0.1"), port);
    bool acked = false;
    for (int attempt = 0; attempt < 20 && !acked; ++attempt) {
        input.send_to(asio::buffer(wire::UDPCodec::seal(wire::InputPacket(1, wire::InputEvent::Key{0x04, wire::KeyState::down, false}), key)), host);
        input.send_to(asio::buffer(wire::UDPCodec::seal(wire::InputPacket(2, wire::InputEvent::MouseButton{1, true, 1}), key)), host);
        std::array<std::uint8_t, 64> reply{};
        for (pollfd pfd{input.native_handle(), POLLIN, 0}; !acked && ::poll(&pfd, 1, 200) == 1;) {
            const auto seq = wire::UDPCodec::openAck({reply.data(), input.receive(asio::buffer(reply))}, key);
            acked = seq && *seq == 2;
        }
    }
    ASSERT_TRUE(acked) << "no acknowledgement of sequence 2";
    // Killed well within the 1.5 s after which the daemon would let go by itself.
    ASSERT_TRUE(eventually([&] { return xtestState(display, "Virtual core XTEST keyboard", "key[38]") == "down"; }, 1s));
    first->signal(SIGKILL);
    EXPECT_EQ(first->exitStatus(5s), 128 + SIGKILL);
    EXPECT_EQ(xtestState(display, "Virtual core XTEST keyboard", "key[38]"), "down");
    EXPECT_EQ(xtestState(display, "Virtual core XTEST pointer", "button[1]"), "down");
    EXPECT_EQ(repeats(display, keycodeA), false) << "the held key had autorepeat on";

    // As systemd would: the same command again.
    auto [second, secondPort] = start({});
    const auto restored = second->waitFor("Tarvel: released ", 10s);
    EXPECT_EQ(restored, "1 key, released 1 button, restored autorepeat of 1 key left by a previous run");
    EXPECT_EQ(xtestState(display, "Virtual core XTEST keyboard", "key[38]"), "up");
    EXPECT_EQ(xtestState(display, "Virtual core XTEST pointer", "button[1]"), "up");
    EXPECT_EQ(repeats(display, keycodeA), true);
    second->signal(SIGTERM);
    EXPECT_EQ(second->exitStatus(5s), 0);
}

}  // namespace
}  // namespace tarvel
