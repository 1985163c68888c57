// tarveld on a real X server, driven over loopback by a phone built from the core.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "core/wire/bodies.hpp"
#include "tests/fakes/child_process.hpp"
#include "tests/fakes/desktop_env.hpp"
#include "tests/host/platform/linux/private_x_server.hpp"
#include "tests/host/platform/linux/x11_test_window.hpp"
#include "tests/host/server/server_test_support.hpp"
#include "tests/tools/daemon_process.hpp"

// Last: Xlib's macros (None, Bool, ...) would break the project's headers.
#include <X11/XF86keysym.h>
#include <X11/Xlib.h>
#include <X11/keysym.h>

namespace tarvel {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::X11TestWindow;
using Kind = X11TestWindow::Kind;
using Events = std::vector<X11TestWindow::Event>;
using wire::InputEvent;

std::size_t count(const Events& events, Kind kind, unsigned long keysymOrButton) {
    return static_cast<std::size_t>(std::ranges::count_if(events, [&](const auto& e) {
        const bool button = kind == Kind::buttonPress || kind == Kind::buttonRelease;
        return e.kind == kind && (button ? e.button : e.keysym) == keysymOrButton;
    }));
}

std::vector<unsigned long> pressedKeysyms(const Events& events) {
    std::vector<unsigned long> keysyms;
    for (const auto& e : events) if (e.kind == Kind::keyPress) keysyms.push_back(e.keysym);
    return keysyms;
}

/// tarveld with a paired phone (control connection and input socket); the test window has focus.
class DesktopTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TARVEL_REQUIRE_TEST_DISPLAY(name);
        display = name;
        window = X11TestWindow::open(display);
        ASSERT_TRUE(window);
    }

    /// `logged`, when given, is a line the daemon must print before its pairing code.
    void startDaemon(std::vector<std::string> extra = {}, std::vector<std::string> env = {}, std::string_view logged = {}) {
        port = testing::freePort();
        extra.insert(extra.begin(), {TARVELD_PATH, "--data-dir", (dir / "data").string(), "--sink",
                                     "x11", "--pair", "--ports", testing::rangeOf(port)});
        daemon = std::make_unique<testing::Daemon>(
            extra, env.empty() ? std::vector<std::string>{"DISPLAY=" + display, "WAYLAND_DISPLAY="} : env);
        EXPECT_TRUE(logged.empty() || daemon->waitFor(logged, 10s)) << logged;
        const auto code = daemon->waitFor("Pairing code: ", 10s);
        ASSERT_TRUE(code) << "tarveld showed no pairing code";
        phone = std::make_unique<server::testing::TestConnection>(port);
        ASSERT_TRUE(phone->pair(*code));
        input = std::make_unique<server::testing::TestDatagrams>(port, *phone->key);
    }

    void send(InputEvent event, wire::GesturePhase phase = wire::GesturePhase::none) {
        input->send(wire::InputPacket(++seq, event, {}, phase));
    }
    void pressA() { send(InputEvent::Key{0x04, wire::KeyState::down, false}); }

    bool waitCount(Kind kind, unsigned long keysymOrButton, std::size_t n = 1) {
        return window->waitFor([=](const Events& e) { return count(e, kind, keysymOrButton) == n; }, 3s);
    }
    bool motionAt(int x, int y, unsigned buttons = 0) {
        return window->waitFor([&](const Events& events) {
            return std::ranges::any_of(events, [&](const auto& e) {
                return e.kind == Kind::motion && e.x == x && e.y == y && (e.state & buttons) == buttons;
            });
        }, 3s);
    }

    ::tarvel::testing::TempDir dir;
    std::string display;
    std::unique_ptr<X11TestWindow> window;
    std::uint16_t port = 0;
    std::unique_ptr<testing::Daemon> daemon;
    std::unique_ptr<server::testing::TestConnection> phone;
    std::unique_ptr<server::testing::TestDatagrams> input;
    std::uint64_t seq = 0;
};

TEST_F(DesktopTest, pointerLandsExactlyClampsDragsClicksScrollsAndTextArrivesUnderUsAndGermanLayouts) {
    startDaemon();
    // Top left of the left monitor, then exact steps, then past the right edge.
    send(InputEvent::MouseMove{-10000, -10000});
    send(InputEvent::MouseMove{100, 50});
    ASSERT_TRUE(motionAt(100, 50));
    send(InputEvent::MouseMove{5000, 0});
    ASSERT_TRUE(motionAt(3839, 50)) << "a move past every monitor stops on the last column";
    window->clear();
    send(InputEvent::MouseButton{1, true, 1});
    send(InputEvent::MouseMove{-100, 10});
    send(InputEvent::MouseButton{1, false, 1});
    ASSERT_TRUE(waitCount(Kind::buttonRelease, 1));
    EXPECT_TRUE(motionAt(3739, 60, Button1Mask)) << "the move between press and release is a drag";
    // A double click, then right (the phone's 2 is X button 3) and middle (3 is 2).
    window->clear();
    for (const auto& [button, clicks] : {std::pair(1, 1), std::pair(1, 2), std::pair(2, 1), std::pair(3, 1)}) {
        send(InputEvent::MouseButton{std::uint8_t(button), true, std::uint8_t(clicks)});
        send(InputEvent::MouseButton{std::uint8_t(button), false, std::uint8_t(clicks)});
    }
    ASSERT_TRUE(waitCount(Kind::buttonRelease, 2));
    const Events clicks = window->events();
    EXPECT_EQ(std::pair(count(clicks, Kind::buttonPress, 1), count(clicks, Kind::buttonPress, 3)), (std::pair<std::size_t, std::size_t>(2, 1)));
    // 2.5 + 0.6 wheel clicks of pixels make three; the rest dies with the gesture.
    window->clear();
    const float click = 50;
    send(InputEvent::Scroll{0, 2.5F * click}, wire::GesturePhase::began);
    send(InputEvent::Scroll{0, 0.6F * click}, wire::GesturePhase::changed);
    send(InputEvent::Scroll{0, 0}, wire::GesturePhase::ended);
    send(InputEvent::Scroll{0, 0.9F * click}, wire::GesturePhase::began);
    send(InputEvent::Scroll{-2 * click, 0}, wire::GesturePhase::changed);
    ASSERT_TRUE(waitCount(Kind::buttonRelease, 7, 2));
    const Events wheel = window->events();
    EXPECT_EQ(std::pair(count(wheel, Kind::buttonPress, 4), count(wheel, Kind::buttonPress, 5) + count(wheel, Kind::buttonPress, 6)), (std::pair<std::size_t, std::size_t>(3, 0)));
    // Text, under US and German layouts, with and without Shift held by the user.
    const std::string text = "héllo ✓ 日本 😀 ß";
    auto setLayout = [&](const char* layout) {
        return testing::runChild({"setxkbmap", "-display", display, layout}, 10s).has_value();
    };
    const std::shared_ptr<void> restoreUs(nullptr, [&](void*) { setLayout("us"); });
    for (const char* layout : {"us", "de"}) {
        ASSERT_TRUE(setLayout(layout)) << layout;
        for (const auto held : {wire::ModifierMask{}, wire::ModifierMask::shift}) {
            send(InputEvent::ModifierState{held});
            window->clear();
            phone->sendSealed(wire::FrameType::textUTF8, wire::TextBody{text});
            EXPECT_TRUE(waitCount(Kind::keyRelease, XK_ssharp)) << layout;  // the last character
            EXPECT_EQ(window->typedText(), text) << layout << (held != wire::ModifierMask{});
        }
        send(InputEvent::ModifierState{});
    }
}

TEST_F(DesktopTest, aHeldKeyNeverRepeatsAndIsReleasedByResetAndStop) {
    startDaemon();  // past the server's 660 ms repeat delay, the key is released only on reset
    pressA();
    EXPECT_FALSE(window->waitFor([](const Events& e) { return count(e, Kind::keyPress, XK_a) > 1; }, 1200ms))
        << "the X server repeated a key the phone holds";
    send(InputEvent::ResetState{});
    EXPECT_TRUE(waitCount(Kind::keyRelease, XK_a));
    EXPECT_EQ(count(window->events(), Kind::keyPress, XK_a), 1u);
    window->clear();
    pressA();
    ASSERT_TRUE(waitCount(Kind::keyPress, XK_a));
    daemon->signal(SIGTERM);
    EXPECT_EQ(daemon->exitStatus(5s), 0);
    EXPECT_TRUE(waitCount(Kind::keyRelease, XK_a));
    // Repeat is back on for the user's own keyboard.
    const std::unique_ptr<Display, int (*)(Display*)> x(XOpenDisplay(display.c_str()), XCloseDisplay);
    ASSERT_NE(x, nullptr);
    XKeyboardState keyboard{};
    XGetKeyboardControl(x.get(), &keyboard);
    const KeyCode a = XKeysymToKeycode(x.get(), XK_a);
    EXPECT_TRUE(keyboard.auto_repeats[a / 8] & (1 << (a % 8)));
}

TEST_F(DesktopTest, shortcutsAndMediaKeysArriveAsChordsAndClipboardReadsBackAndAutoPastes) {
    startDaemon();
    send(InputEvent::Shortcut{1});  // copy
    for (std::uint8_t media = 1; media <= 8; ++media) send(InputEvent::Media{media});
    ASSERT_TRUE(waitCount(Kind::keyRelease, XF86XK_MonBrightnessDown));
    const Events events = window->events();
    EXPECT_EQ(pressedKeysyms(events), (std::vector<unsigned long>{XK_Control_L, XK_c, XF86XK_AudioRaiseVolume, XF86XK_AudioLowerVolume, XF86XK_AudioMute,
        XF86XK_AudioPlay, XF86XK_AudioNext, XF86XK_AudioPrev, XF86XK_MonBrightnessUp, XF86XK_MonBrightnessDown}));
    EXPECT_TRUE(std::ranges::any_of(events, [](auto& e) { return e.keysym == XK_c && (e.state & ControlMask); }));
    EXPECT_EQ(count(events, Kind::keyRelease, XK_Control_L), 1u) << "the chord let Control go";
    auto readClipboard = [&] {
        return testing::runChild({"xclip", "-o", "-selection", "clipboard", "-display", display}, 10s).value_or("(failed)");
    };
    std::string large, read;
    while (large.size() < 60'000) large += "日本語のテキスト, ünïcödé ✓ 😀\n";
    phone->sendSealed(wire::FrameType::clipboardSet, wire::ClipboardBody{large, false});
    for (const auto deadline = Clock::now() + 5s; Clock::now() < deadline && read != large;) read = readClipboard();
    EXPECT_TRUE(read == large) << read.size() << " bytes read back of " << large.size();
    window->clear();
    phone->sendSealed(wire::FrameType::clipboardSet, wire::ClipboardBody{"pasted ✓", true});
    ASSERT_TRUE(waitCount(Kind::keyRelease, XK_v));
    EXPECT_EQ(pressedKeysyms(window->events()), (std::vector<unsigned long>{XK_Control_L, XK_v}));
    EXPECT_EQ(readClipboard(), "pasted ✓") << "the paste must find the new text";
}

TEST_F(DesktopTest, losingTheXServerEndsInjectionNotTheDaemonWhichStillStopsCleanly) {
    testing::PrivateServer server;
    ASSERT_FALSE(server.display.empty());
    startDaemon({}, {"DISPLAY=:" + server.display, "WAYLAND_DISPLAY=wayland-0"},
                "Tarvel: this is a Wayland session");
    server.kill();
    phone->sendSealed(wire::FrameType::clipboardSet, wire::ClipboardBody{"lost", false});
    pressA();
    EXPECT_TRUE(daemon->waitFor("Tarvel: lost the X server", 5s));
    daemon->signal(SIGTERM);
    EXPECT_EQ(daemon->exitStatus(5s), 0) << "stopping must not wait on the dead server";
}

TEST_F(DesktopTest, avahiShowsTheServiceWithEveryTxtKeyOnTheBoundPort) {
    TARVEL_REQUIRE_TEST_AVAHI();
    startDaemon({"--dns-sd", "avahi"});
    std::string found;
    for (const auto deadline = Clock::now() + 15s; Clock::now() < deadline && found.empty();) {
        // Resolved lines: =;iface;proto;name;type;domain;host;address;port;txt
        std::istringstream lines(testing::runChild({"avahi-browse", "-rpt", "_tarvel._tcp"}, 10s).value_or(""));
        for (std::string line; std::getline(lines, line);) {
            if (line.starts_with("=;") && line.find(";" + std::to_string(port) + ";") != line.npos) found = line;
        }
    }
    ASSERT_FALSE(found.empty()) << "no _tarvel._tcp service on port " << port;
    for (const char* key : {"\"v=1\"", "\"id=", "\"name=", "\"os=", "\"fp="}) EXPECT_NE(found.find(key), found.npos) << key;
}

}  // namespace
}  // namespace tarvel
