// tarveld killed while a phone holds a key and a button, then started again,
// on an X server of the test's own.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "tests/fakes/child_process.hpp"
#include "tests/fakes/temp_dir.hpp"
#include "tests/host/platform/linux/private_x_server.hpp"
#include "tests/tools/live_host.hpp"

namespace tarvel {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr unsigned keycodeA = 38;  // HID 0x04 under the server's default us layout

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
    const std::vector<std::string> environment{"DISPLAY=" + display, "WAYLAND_DISPLAY="};
    testing::LiveHost first(dir.path(), environment, "x11");
    testing::LiveClient phone(first.address(), "Test Phone",
                              platform::ClientSession::Pair{first.nextCode(), std::nullopt});
    ASSERT_TRUE(phone.established(10s));
    // Press A and the left button, and never let go.
    ASSERT_TRUE(phone.session().send(wire::InputEvent::Key{0x04, wire::KeyState::down, false}));
    ASSERT_TRUE(phone.session().send(wire::InputEvent::MouseButton{1, true, 1}));
    ASSERT_TRUE(phone.session().settle(5s)) << "the host did not take the presses in";
    // Killed well within the 1.5 s after which the daemon would let go by itself.
    ASSERT_TRUE(eventually([&] { return xtestState(display, "Virtual core XTEST keyboard", "key[38]") == "down"; }, 1s));
    first.daemon->signal(SIGKILL);
    EXPECT_EQ(first.daemon->exitStatus(5s), 128 + SIGKILL);
    EXPECT_EQ(xtestState(display, "Virtual core XTEST keyboard", "key[38]"), "down");
    EXPECT_EQ(xtestState(display, "Virtual core XTEST pointer", "button[1]"), "down");
    EXPECT_EQ(repeats(display, keycodeA), false) << "the held key had autorepeat on";

    // As systemd would: the same command again.
    testing::Daemon second({TARVELD_PATH, "--data-dir", (dir / "data").string(), "--sink", "x11",
                            "--ports", testing::rangeOf(testing::freePort())},
                           environment);
    const auto restored = second.waitFor("Tarvel: released ", 10s);
    EXPECT_EQ(restored, "1 key, released 1 button, restored autorepeat of 1 key left by a previous run");
    EXPECT_EQ(xtestState(display, "Virtual core XTEST keyboard", "key[38]"), "up");
    EXPECT_EQ(xtestState(display, "Virtual core XTEST pointer", "button[1]"), "up");
    EXPECT_EQ(repeats(display, keycodeA), true);
    second.signal(SIGTERM);
    EXPECT_EQ(second.exitStatus(5s), 0);
}

}  // namespace
}  // namespace tarvel
