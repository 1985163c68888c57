// GoogleTest first: Xlib defines None, one of its type names.
#include <gtest/gtest.h>

#include "host/platform/linux/x11_event_sink.hpp"

#include <X11/XF86keysym.h>
#include <X11/XKBlib.h>
#include <X11/keysym.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <limits>
#include <string>
#include <thread>

#include "host/platform/asio_serial_queue.hpp"
#include "tests/fakes/child_process.hpp"
#include "tests/fakes/desktop_env.hpp"
#include "tests/fakes/log_capture.hpp"
#include "tests/fakes/temp_dir.hpp"
#include "tests/host/platform/linux/private_x_server.hpp"
#include "tests/host/platform/linux/x11_test_window.hpp"

extern char** environ;

namespace tarvel::platform {
namespace {

using injection::EventFlags::command;
using injection::EventFlags::control;
using injection::EventFlags::shift;
using injection::MouseEventType;
using testing::PrivateServer;
using testing::X11TestWindow;
using Kind = X11TestWindow::Kind;
using namespace std::chrono_literals;

constexpr auto eventLimit = 5s;
// macOS key codes of the keys the tests press.
constexpr std::uint16_t macA = 0x00;
constexpr std::uint16_t macS = 0x01;
constexpr std::uint16_t macShift = 0x38;
constexpr std::uint16_t macControl = 0x3B;
// Their X keycodes under the default layout.
constexpr unsigned xA = 38;
constexpr unsigned xS = 39;

/// Key and button events as "+38 -38 b3+ b3-", the order the window saw them.
std::string trace(const std::vector<X11TestWindow::Event>& events) {
    std::string out;
    for (const auto& e : events) {
        const bool press = e.kind == Kind::keyPress || e.kind == Kind::buttonPress;
        if (e.kind == Kind::keyPress || e.kind == Kind::keyRelease) {
            out += (press ? "+" : "-") + std::to_string(e.keycode) + " ";
        } else if (e.kind != Kind::motion) {
            out += "b" + std::to_string(e.button) + (press ? "+ " : "- ");
        }
    }
    return out;
}

std::string typedBy(const std::vector<X11TestWindow::Event>& events) {
    std::string typed;
    for (const auto& e : events) {
        typed += e.text;
    }
    return typed;
}

bool repeats(Display* display, unsigned keycode) {
    XKeyboardState state;
    XGetKeyboardControl(display, &state);
    return (static_cast<unsigned>(state.auto_repeats[keycode / 8]) & (1U << (keycode % 8))) != 0;
}

int keycodesWithoutSymbols(Display* display) {
    std::unique_ptr<XkbDescRec, void (*)(XkbDescPtr)> xkb(
        XkbGetMap(display, XkbKeySymsMask, XkbUseCoreKbd),
        [](XkbDescPtr d) { XkbFreeKeyboard(d, 0, True); });
    int count = 0;
    for (int k = xkb->min_key_code; k <= xkb->max_key_code; ++k) {
        count += XkbKeyNumSyms(xkb.get(), k) == 0 ? 1 : 0;
    }
    return count;
}

class X11EventSinkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TARVEL_REQUIRE_TEST_DISPLAY(name);
        displayName_ = name;
        auto observer = X11Connection::open(name, "test observer");
        ASSERT_TRUE(observer) << observer.error();
        observer_ = std::move(*observer);
        window_ = X11TestWindow::open(name);
        ASSERT_TRUE(window_);
        sink_ = openSink();
        ASSERT_TRUE(sink_);
    }

    void TearDown() override { destroySink(); }

    std::shared_ptr<X11EventSink> openSink(const std::filesystem::path& stateFile = {}) {
        auto sink = X11EventSink::open(displayName_, stateFile);
        EXPECT_TRUE(sink) << sink.error();
        if (sink) {
            (*sink)->setQueue(queue_);
        }
        return sink.value_or(nullptr);
    }

    /// Drops the sink on its queue, as the injector would.
    void destroySink() {
        queue_->sync([this] { sink_.reset(); });
    }

    /// Runs on the sink's queue, where its spare-restoring timer also runs.
    void run(const std::function<void(X11EventSink&)>& work) {
        queue_->sync([&] { work(*sink_); });
    }

    void key(std::uint16_t macCode, bool down, std::uint64_t flags = 0, int autorepeat = 0) {
        run([&](X11EventSink& s) { s.post(injection::KeyboardEvent{macCode, down, flags, autorepeat}); });
    }

    void mouse(MouseEventType type, double x, double y, std::uint32_t button = 0,
               std::uint64_t flags = 0) {
        run([&](X11EventSink& s) {
            s.post(injection::MouseEvent{type, {x, y}, button, 1, flags, 0, 0});
        });
    }

    void type(std::u16string_view text) {
        run([&](X11EventSink& s) {
            s.post(injection::UnicodeKeyEvent{{0, true, 0, 0}, text});
            s.post(injection::UnicodeKeyEvent{{0, false, 0, 0}, text});
        });
    }

    /// Everything posted so far has reached the window: a motion to a point
    /// nothing else uses travels behind it.
    std::vector<X11TestWindow::Event> settle() {
        const int y = 1000 + (++barriers_ % 70);
        mouse(MouseEventType::mouseMoved, 3333, y);
        EXPECT_TRUE(window_->waitFor(
            [y](const auto& events) {
                return !events.empty() && events.back().kind == Kind::motion &&
                       events.back().x == 3333 && events.back().y == y;
            },
            eventLimit));
        auto events = window_->events();
        window_->clear();
        return events;
    }

    /// Sets the layout with setxkbmap; "us" again when the test ends.
    void setLayout(const std::string& layout) {
        ASSERT_TRUE(testing::runChild({"setxkbmap", "-display", displayName_, layout}, 10s))
            << "setxkbmap " << layout;
        layoutChanged_ = true;
        settle();  // the sink has been told of the new keymap before the next post
    }

    ~X11EventSinkTest() override {
        if (layoutChanged_) {
            (void)testing::runChild({"setxkbmap", "-display", displayName_, "us"}, 10s);
        }
    }

    Display* observer() const { return observer_->display(); }

    std::string displayName_;
    std::unique_ptr<X11Connection> observer_;
    std::unique_ptr<X11TestWindow> window_;
    std::shared_ptr<AsioSerialQueue> queue_ = std::make_shared<AsioSerialQueue>("rc.host.inject");
    std::shared_ptr<X11EventSink> sink_;
    int barriers_ = 0;
    bool layoutChanged_ = false;
};

TEST_F(X11EventSinkTest, flagsPressAndReleaseModifierKeysAroundKeysAndLeaveHeldModifiersAlone) {
    key(macA, true, shift | command);
    key(macA, false, shift | command);
    key(macA, true);  // flags gone: their keys go up before the key
    key(macA, false);
    auto events = settle();
    EXPECT_EQ(trace(events), "+50 +133 +38 -38 -50 -133 +38 -38 ");
    ASSERT_GE(events.size(), 3U);
    EXPECT_EQ(events[2].state & (ShiftMask | Mod4Mask), unsigned{ShiftMask | Mod4Mask});

    // Control held as a key gives its own flag; only Shift is pressed for one.
    key(macControl, true, control);
    key(macS, true, control | shift);
    key(macS, false, control);
    key(macControl, false);
    EXPECT_EQ(trace(settle()), "+37 +50 +39 -50 -39 -37 ");

    // A button gets the flags too.
    mouse(MouseEventType::rightMouseDown, 50, 60, 1, control);
    mouse(MouseEventType::rightMouseUp, 50, 60, 1);
    events = settle();
    EXPECT_EQ(trace(events), "+37 b3+ -37 b3- ");

    // A key the live keymap lacks is skipped.
    KeySym none = NoSymbol;
    XChangeKeyboardMapping(observer(), static_cast<int>(xA), 1, &none, 1);
    XSync(observer(), False);
    settle();
    key(macA, true);
    key(macA, false);
    key(macS, true);
    key(macS, false);
    EXPECT_EQ(trace(settle()), "+39 -39 ");
    KeySym a[2] = {XK_a, XK_A};
    XChangeKeyboardMapping(observer(), static_cast<int>(xA), 2, a, 1);
    XSync(observer(), False);
}

TEST_F(X11EventSinkTest, pointerLandsExactlyOnBothMonitorsAndButtonsMapToXButtons) {
    std::array<injection::Rect, 4> rects{};
    std::size_t count = 0;
    run([&](X11EventSink& s) { count = s.displayRects(rects); });
    ASSERT_EQ(count, 2U);
    EXPECT_EQ(rects[0], (injection::Rect{0, 0, 1920, 1080}));
    EXPECT_EQ(rects[1], (injection::Rect{1920, 0, 1920, 1080}));

    const auto movedTo = [](const auto& events, int x, int y, unsigned state = 0) {
        return std::any_of(events.begin(), events.end(), [&](const auto& e) {
            return e.kind == Kind::motion && e.x == x && e.y == y && (e.state & state) == state;
        });
    };
    // Whole pixels, rounded down: 1919.9 is still on the left monitor.
    for (const auto& [x, y] : {std::pair(0.0, 0.0), std::pair(1919.9, 1079.5),
                               std::pair(1920.0, 0.0), std::pair(3839.0, 1079.0)}) {
        mouse(MouseEventType::mouseMoved, x, y);
        EXPECT_TRUE(movedTo(settle(), static_cast<int>(x), static_cast<int>(y))) << x << "," << y;
    }
    mouse(MouseEventType::mouseMoved, 2500, 321);
    std::optional<injection::Point> pointer;
    run([&](X11EventSink& s) { pointer = s.pointerLocation(); });
    EXPECT_EQ(pointer, (injection::Point{2500, 321}));

    mouse(MouseEventType::leftMouseDown, 1920, 5, 0);
    mouse(MouseEventType::leftMouseUp, 1920, 5, 0);
    mouse(MouseEventType::rightMouseDown, 10, 20, 1);
    mouse(MouseEventType::rightMouseUp, 10, 20, 1);
    mouse(MouseEventType::otherMouseDown, 30, 40, 2);
    mouse(MouseEventType::otherMouseUp, 30, 40, 2);
    auto events = settle();
    EXPECT_EQ(trace(events), "b1+ b1- b3+ b3- b2+ b2- ");
    const auto at = [&events](Kind kind) {
        const auto e = std::find_if(events.begin(), events.end(),
                                    [kind](const auto& e) { return e.kind == kind; });
        return e == events.end() ? std::pair(-1, -1) : std::pair(e->x, e->y);
    };
    EXPECT_EQ(at(Kind::buttonPress), std::pair(1920, 5));

    // A drag: pressed on the left monitor, released on the right one.
    mouse(MouseEventType::leftMouseDown, 100, 100, 0);
    mouse(MouseEventType::leftMouseDragged, 3000, 900, 0);
    mouse(MouseEventType::leftMouseUp, 3000, 900, 0);
    events = settle();
    EXPECT_EQ(trace(events), "b1+ b1- ");
    EXPECT_TRUE(movedTo(events, 3000, 900, Button1Mask));
    EXPECT_EQ(at(Kind::buttonRelease), std::pair(3000, 900));
}

TEST_F(X11EventSinkTest, pixelScrollsBecomeWheelClicksAndGestureEndsDropTheRemainder) {
    namespace MomentumPhase = injection::MomentumPhase;
    namespace ScrollPhase = injection::ScrollPhase;
    const auto scroll = [&](std::int32_t vertical, std::int32_t horizontal, std::int32_t phase,
                            std::int32_t momentum = MomentumPhase::none) {
        run([&](X11EventSink& s) {
            s.post(injection::ScrollEvent{vertical, horizontal, 1, phase, momentum});
        });
    };
    constexpr std::int32_t click = pixelsPerWheelClick;
    scroll(2 * click + 10, 0, ScrollPhase::began);  // 2 up, 10 left over
    scroll(click - 10, 0, ScrollPhase::changed);    // 1 up
    scroll(click - 1, 0, ScrollPhase::changed);
    scroll(0, 0, ScrollPhase::ended);    // drops click - 1 ...
    scroll(1, 0, ScrollPhase::changed);  // ... or this would click
    scroll(-click - 1, click, ScrollPhase::changed);  // 1 down, 1 left
    scroll(0, -click + 1, ScrollPhase::changed);
    scroll(0, -1, ScrollPhase::began);  // a new gesture starts from nothing
    scroll(0, -click + 1, ScrollPhase::none, MomentumPhase::continuing);  // 1 right
    scroll(0, -click + 1, ScrollPhase::none, MomentumPhase::continuing);
    scroll(0, 0, ScrollPhase::none, MomentumPhase::end);
    scroll(0, -1, ScrollPhase::changed);
    EXPECT_EQ(trace(settle()), "b4+ b4- b4+ b4- b4+ b4- b5+ b5- b6+ b6- b7+ b7- ");

    // A peer's huge delta is capped.
    scroll(std::numeric_limits<std::int32_t>::max(), 0, ScrollPhase::began);
    const auto events = settle();
    EXPECT_EQ(std::count_if(events.begin(), events.end(),
                            [](const auto& e) { return e.kind == Kind::buttonPress; }),
              maxWheelClicksPerEvent);
}

TEST_F(X11EventSinkTest, typesUnicodeExactlyUnderUsAndGermanLayoutsWithModifiersHeld) {
    const std::u16string text = u"héllo ✓ 日本 😀 ß yz";
    const std::string expected = "héllo ✓ 日本 😀 ß yz";
    const int spares = keycodesWithoutSymbols(observer());
    type(text);  // once: the key-up's copy of the text is not typed
    EXPECT_EQ(typedBy(settle()), expected);
    EXPECT_LT(keycodesWithoutSymbols(observer()), spares);  // borrowed for é ✓ 日 本 😀 ß
    // Spare keycodes get their empty mapping back a little after the last use.
    std::this_thread::sleep_for(spareRestoreDelay + 300ms);
    EXPECT_EQ(keycodesWithoutSymbols(observer()), spares);

    // Shift held as a key and Command held for a held key's flag are lifted
    // while typing; once nothing but modifiers is held, flags are let go.
    key(macShift, true, shift);
    constexpr std::uint16_t macX = 0x07;
    key(macX, true, shift | command);
    settle();
    type(u"a\tb\r\nc");
    auto events = settle();
    EXPECT_EQ(typedBy(events), "a\tb\rc");
    EXPECT_EQ(trace(events).substr(0, 9), "-50 -133 ") << trace(events);
    key(macX, false, shift | command);
    EXPECT_EQ(trace(settle()), "-53 -133 ") << "Command stayed down after its chord";
    key(macShift, false);

    setLayout("de");  // y and z swap places, ß has a key, é is a dead key
    type(text);
    EXPECT_EQ(typedBy(settle()), expected);

    // The Russian layout names its letters with legacy keysyms: found, not remapped.
    setLayout("ru");
    settle();
    const unsigned remapsBefore = window_->mappingChanges();
    type(u"Жук");
    EXPECT_EQ(typedBy(settle()), "Жук");
    EXPECT_EQ(window_->mappingChanges(), remapsBefore);
}

TEST_F(X11EventSinkTest, heldKeysDoNotAutorepeatUntilReleasedOrTheSinkGoes) {
    testing::TempDir dir;
    const auto stateFile = dir / "autorepeat-off";
    destroySink();
    sink_ = openSink(stateFile);
    ASSERT_TRUE(repeats(observer(), xA));

    key(macA, true);
    EXPECT_EQ(trace(settle()), "+38 ");  // also: the server has seen everything
    EXPECT_FALSE(repeats(observer(), xA));
    std::ifstream recorded(stateFile);
    std::string line;
    EXPECT_TRUE(std::getline(recorded, line) && line == std::to_string(xA)) << line;
    // Held past the server's 660 ms delay: no repeats of its own, and the
    // phone's repeat arrives as release and press.
    std::this_thread::sleep_for(1200ms);
    key(macA, true, 0, 1);
    EXPECT_EQ(trace(settle()), "-38 +38 ");
    key(macA, false);
    settle();
    EXPECT_TRUE(repeats(observer(), xA));

    // Held while the sink goes: released, repeat back on, no state left.
    key(macA, true);
    settle();
    EXPECT_FALSE(repeats(observer(), xA));
    destroySink();
    EXPECT_TRUE(window_->waitFor([](const auto& e) { return trace(e) == "-38 "; }, eventLimit))
        << trace(window_->events());
    EXPECT_TRUE(repeats(observer(), xA));
    EXPECT_FALSE(std::filesystem::exists(stateFile));

    // A crashed run's file is honoured at the next start.
    XKeyboardControl off{};
    off.key = xS;
    off.auto_repeat_mode = AutoRepeatModeOff;
    XChangeKeyboardControl(observer(), KBKey | KBAutoRepeatMode, &off);
    XSync(observer(), False);
    std::ofstream(stateFile) << xS << "\n";
    sink_ = openSink(stateFile);
    EXPECT_TRUE(repeats(observer(), xS));
    EXPECT_FALSE(std::filesystem::exists(stateFile));
}

TEST_F(X11EventSinkTest, mediaKeysArriveAsTheirKeysymsAlsoWhenTheKeymapLacksThem) {
    const auto press = [&](std::uint32_t keyType) {
        run([&](X11EventSink& s) {
            s.post(injection::MediaKeyEvent{keyType, true});
            s.post(injection::MediaKeyEvent{keyType, false});
        });
    };
    for (std::uint32_t keyType : {0, 1, 7, 16, 17, 18, 2, 3}) {
        press(keyType);
    }
    std::vector<KeySym> expected{XF86XK_AudioRaiseVolume, XF86XK_AudioLowerVolume,
                                 XF86XK_AudioMute,        XF86XK_AudioPlay,
                                 XF86XK_AudioNext,        XF86XK_AudioPrev,
                                 XF86XK_MonBrightnessUp,  XF86XK_MonBrightnessDown};
    auto events = settle();
    // Without a key of its own, play borrows a spare keycode.
    const KeyCode play = XKeysymToKeycode(observer(), XF86XK_AudioPlay);
    ASSERT_NE(play, 0);
    KeySym none = NoSymbol;
    XChangeKeyboardMapping(observer(), play, 1, &none, 1);
    XSync(observer(), False);
    settle();
    press(16);
    expected.push_back(XF86XK_AudioPlay);
    const auto borrowed = settle();
    events.insert(events.end(), borrowed.begin(), borrowed.end());
    KeySym restored = XF86XK_AudioPlay;
    XChangeKeyboardMapping(observer(), play, 1, &restored, 1);
    XSync(observer(), False);

    std::vector<KeySym> received;
    for (const auto& e : events) {
        if (e.kind == Kind::keyPress) {
            received.push_back(e.keysym);
        }
    }
    EXPECT_EQ(received, expected);
    EXPECT_EQ(trace(borrowed).find("+" + std::to_string(play) + " "), std::string::npos);
}

TEST(X11EventSink, losingTheServerMakesEveryCallANoOp) {
    TARVEL_REQUIRE_TEST_DISPLAY(desktop);
    PrivateServer server;
    ASSERT_FALSE(server.display.empty()) << "Xvfb did not report its display";
    testing::LogCapture log;
    auto opened = X11EventSink::open(":" + server.display, "");
    ASSERT_TRUE(opened) << opened.error();
    auto sink = *opened;
    sink->post(injection::KeyboardEvent{macA, true, shift, 0});
    server.kill();

    const std::u16string text = u"ü✓";
    for (int round = 0; round < 3; ++round) {
        // A move first: it only writes, so it meets the closed socket before any read.
        sink->post(injection::MouseEvent{MouseEventType::mouseMoved, {9, 9}, 0, 0, 0, 0, 0});
        sink->post(injection::MouseEvent{MouseEventType::leftMouseDown, {5, 5}, 0, 1, 0, 0, 0});
        sink->post(injection::KeyboardEvent{macA, false, 0, 0});
        sink->post(injection::ScrollEvent{500, 0, 1, 0, 0});
        sink->post(injection::UnicodeKeyEvent{{0, true, 0, 0}, text});
        sink->post(injection::MediaKeyEvent{0, true});
        sink->declareUserActivity();
        std::array<injection::Rect, 2> rects{};
        EXPECT_EQ(sink->pointerLocation(), std::nullopt);
        EXPECT_EQ(sink->displayRects(rects), 0U);
    }
    EXPECT_TRUE(sink->lost());
    sink.reset();

    // A server gone while the sink sat idle is first noticed while closing.
    PrivateServer idle;
    ASSERT_FALSE(idle.display.empty());
    auto quiet = X11EventSink::open(":" + idle.display, "");
    ASSERT_TRUE(quiet) << quiet.error();
    idle.kill();
    quiet->reset();

    const auto lines = log.lines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const auto& l) { return l.find("lost the X server") != l.npos; }),
              2)
        << ::testing::PrintToString(lines);
}

}  // namespace
}  // namespace tarvel::platform
