// GoogleTest first: Xlib defines None, one of its type names.
#include <gtest/gtest.h>
#include "host/platform/linux/x11_event_sink.hpp"
#include <X11/XF86keysym.h>
#include <X11/XKBlib.h>
#include <X11/keysym.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <algorithm>
#include <array>
#include <cmath>
#include <fstream>
#include <limits>
#include <thread>
#include "host/platform/asio_serial_queue.hpp"
#include "tests/fakes/child_process.hpp"
#include "tests/fakes/desktop_env.hpp"
#include "tests/fakes/log_capture.hpp"
#include "tests/fakes/temp_dir.hpp"
#include "tests/host/platform/linux/private_x_server.hpp"
#include "tests/host/platform/linux/x11_test_window.hpp"
namespace tarvel::platform {
namespace {
using namespace injection::EventFlags;
using injection::MouseEventType;
using testing::X11TestWindow;
using Kind = X11TestWindow::Kind;
using Events = std::vector<X11TestWindow::Event>;
using namespace std::chrono_literals;
// macOS key codes of A, S, D, X, Shift and Control; A, S, D and Shift are X keycodes 38, 39, 40 and 50.
constexpr std::uint16_t macA = 0x00, macS = 0x01, macD = 0x02, macX = 0x07, macShift = 0x38, macControl = 0x3B;
constexpr unsigned xA = 38, xS = 39, xD = 40, xShift = 50;
/// Key and button events as "+38 -38 b3+ b3-", the order the window saw them.
std::string trace(const Events& events) {
    std::string out;
    for (const auto& e : events) {
        const bool press = e.kind == Kind::keyPress || e.kind == Kind::buttonPress;
        const bool key = press ? e.kind == Kind::keyPress : e.kind == Kind::keyRelease;
        if (e.kind != Kind::motion) out += key ? (press ? "+" : "-") + std::to_string(e.keycode) + " " : "b" + std::to_string(e.button) + (press ? "+ " : "- ");
    }
    return out;
}
std::string typedBy(const Events& events) {
    std::string typed;
    for (const auto& e : events) typed += e.text;
    return typed;
}
bool repeats(Display* display, unsigned keycode) {
    XKeyboardState state;
    XGetKeyboardControl(display, &state);
    return (static_cast<unsigned>(state.auto_repeats[keycode / 8]) & (1U << (keycode % 8))) != 0;
}
bool keyDown(Display* display, unsigned keycode) {
    char keys[32] = {};
    XQueryKeymap(display, keys);
    return (static_cast<unsigned>(keys[keycode / 8]) & (1U << (keycode % 8))) != 0;
}
bool buttonDown(Display* display, unsigned mask) {
    Window root = 0, child = 0;
    int x = 0, y = 0, wx = 0, wy = 0;
    unsigned state = 0;
    XQueryPointer(display, DefaultRootWindow(display), &root, &child, &x, &y, &wx, &wy, &state);
    return (state & mask) != 0;
}
void setRepeat(Display* display, unsigned keycode, bool on) {
    XKeyboardControl change{0, 0, 0, 0, 0, 0, int(keycode), on ? AutoRepeatModeOn : AutoRepeatModeOff};
    XChangeKeyboardControl(display, KBKey | KBAutoRepeatMode, &change);
    XSync(display, False);
}
std::vector<int> openSockets() {
    std::vector<int> fds;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        struct stat info {};
        const int fd = std::stoi(entry.path().filename().string());
        if (::fstat(fd, &info) == 0 && S_ISSOCK(info.st_mode)) fds.push_back(fd);
    }
    return fds;
}
unsigned rootChildren(Display* display) {
    Window root = 0, parent = 0, *children = nullptr;
    unsigned count = 0;
    XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count);
    XFree(children);
    return count;
}
/// Keycodes with no keysym (`keysym` NoSymbol), or the keycode whose every keysym is `keysym`
/// (as a borrowed spare is mapped; 0 when none).
unsigned keycodes(Display* display, KeySym keysym = NoSymbol) {
    std::unique_ptr<XkbDescRec, void (*)(XkbDescPtr)> xkb(XkbGetMap(display, XkbKeySymsMask, XkbUseCoreKbd),
                                                          [](XkbDescPtr d) { XkbFreeKeyboard(d, 0, True); });
    unsigned count = 0;
    for (int k = xkb->min_key_code; k <= xkb->max_key_code; ++k) {
        const KeySym* syms = XkbKeySymsPtr(xkb.get(), k);
        const int n = XkbKeyNumSyms(xkb.get(), k);
        if (keysym == NoSymbol) count += n == 0;
        else if (n > 0 && std::all_of(syms, syms + n, [&](KeySym s) { return s == keysym; })) return unsigned(k);
    }
    return count;
}
int keycodesWithoutSymbols(Display* display) { return int(keycodes(display)); }
unsigned spareTyping(Display* display, KeySym keysym) { return keycodes(display, keysym); }
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
    }
    void TearDown() override { destroySink(); }
    std::shared_ptr<X11EventSink> openSink(const std::filesystem::path& stateFile = {}) {
        auto sink = X11EventSink::open(displayName_, stateFile).value_or(nullptr);
        EXPECT_TRUE(sink);
        if (sink) sink->setQueue(queue_);
        return sink;
    }
    void destroySink() { queue_->sync([this] { sink_.reset(); }); }  // on its queue, as the injector does
    void post(const auto&... events) { queue_->sync([&] { (sink_->post(events), ...); }); }
    void key(std::uint16_t mac, bool down, std::uint64_t flags = 0) { post(injection::KeyboardEvent{mac, down, flags, 0}); }
    void tap(std::uint16_t mac, std::uint64_t flags = 0) { key(mac, true, flags), key(mac, false, flags); }
    void mouse(MouseEventType type, double x, double y, std::uint32_t button = 0, std::uint64_t flags = 0) {
        post(injection::MouseEvent{type, {x, y}, button, 1, flags, 0, 0});
    }
    void type(std::u16string_view text) {  // the key-up's copy of the text is not typed
        post(injection::UnicodeKeyEvent{{0, true, 0, 0}, text}, injection::UnicodeKeyEvent{{0, false, 0, 0}, text});
    }
    /// Gives `keycode` these keysyms, as another client remapping the keyboard would.
    void remap(unsigned keycode, std::vector<KeySym> keysyms) {
        XChangeKeyboardMapping(observer(), int(keycode), int(keysyms.size()), keysyms.data(), 1);
        XSync(observer(), False);
        settle();
    }
    /// What reached the window, once a motion to a point nothing else uses arrives behind it.
    Events settle() {
        const int y = 1000 + (++barriers_ % 70);
        mouse(MouseEventType::mouseMoved, 3333, y);
        EXPECT_TRUE(window_->waitFor([y](const Events& e) {
            return !e.empty() && e.back().kind == Kind::motion && e.back().x == 3333 && e.back().y == y;
        }, 5s));
        auto events = window_->events();
        window_->clear();
        return events;
    }
    Display* observer() const { return observer_->display(); }
    std::string displayName_;
    std::unique_ptr<X11Connection> observer_;
    std::unique_ptr<X11TestWindow> window_;
    std::shared_ptr<AsioSerialQueue> queue_ = std::make_shared<AsioSerialQueue>("rc.host.inject");
    std::shared_ptr<X11EventSink> sink_;
    int barriers_ = 0;
};

TEST_F(X11EventSinkTest, flagsPressAndReleaseModifierKeysAroundKeysAndLeaveHeldModifiersAlone) {
    tap(macA, shift | command);
    tap(macA);  // flags gone: their keys go up before the key
    auto events = settle();
    EXPECT_EQ(trace(events), "+50 +133 +38 -38 -50 -133 +38 -38 ");
    ASSERT_GE(events.size(), 3U);
    EXPECT_EQ(events[2].state & (ShiftMask | Mod4Mask), unsigned{ShiftMask | Mod4Mask});
    // Control held as a key gives its own flag; only Shift is pressed for one; buttons get flags.
    key(macControl, true, control);
    key(macS, true, control | shift);
    key(macS, false, control);
    key(macControl, false);
    mouse(MouseEventType::rightMouseDown, 50, 60, 1, control);
    mouse(MouseEventType::rightMouseUp, 50, 60, 1);
    EXPECT_EQ(trace(settle()), "+37 +50 +39 -50 -39 -37 +37 b3+ -37 b3- ");
    // A key the keymap lacks is skipped, but one dropped while held is released with its Control.
    key(macA, true, control);
    settle();
    remap(xA, {NoSymbol});
    key(macA, false, control);
    tap(macA);
    tap(macS);
    EXPECT_EQ(trace(settle()), "-38 -37 +39 -39 ");
    remap(xA, {XK_a, XK_A});
}

TEST_F(X11EventSinkTest, reportsBothMonitorsMovesToWholePixelsAndScrollsWholeWheelClicks) {
    std::array<injection::Rect, 3> rects{};
    std::size_t count = 0;
    queue_->sync([&] { count = sink_->displayRects(rects); });
    EXPECT_EQ(count, 2U);
    EXPECT_EQ(rects, (decltype(rects){{{0, 0, 1920, 1080}, {1920, 0, 1920, 1080}, {}}}));
    // Rounded down: 1919.9 is still on the left monitor.
    for (const auto& [x, y] : {std::pair(1919.9, 1079.5), std::pair(2500.7, 321.2)}) {
        mouse(MouseEventType::mouseMoved, x, y);
        std::optional<injection::Point> pointer;
        queue_->sync([&] { pointer = sink_->pointerLocation(); });
        EXPECT_EQ(pointer, (injection::Point{std::floor(x), std::floor(y)})) << x;
        EXPECT_TRUE(std::ranges::any_of(settle(), [&](const auto& e) {
            return e.kind == Kind::motion && e.x == static_cast<int>(x) && e.y == static_cast<int>(y);
        })) << x << "," << y;
    }
    // Pixels become wheel clicks; a gesture's end drops the remainder.
    using namespace injection;
    const auto scroll = [&](std::int32_t vertical, std::int32_t horizontal, std::int32_t phase,
                            std::int32_t momentum = MomentumPhase::none) { post(injection::ScrollEvent{vertical, horizontal, 1, phase, momentum}); };
    constexpr std::int32_t click = pixelsPerWheelClick;
    scroll(click + 10, 0, ScrollPhase::began);   // 1 up, 10 left over
    scroll(-2 * click - 11, click, ScrollPhase::changed);  // 2 down (with the 10), 1 left
    scroll(0, -click + 1, ScrollPhase::changed);
    scroll(0, -1, ScrollPhase::began);  // a new gesture starts from nothing
    scroll(0, -click + 1, ScrollPhase::none, MomentumPhase::continuing);  // 1 right
    scroll(0, -click + 1, ScrollPhase::none, MomentumPhase::continuing);
    scroll(0, 0, ScrollPhase::none, MomentumPhase::end);  // drops click - 1 ...
    scroll(0, -1, ScrollPhase::changed);                  // ... or this would click
    EXPECT_EQ(trace(settle()), "b4+ b4- b5+ b5- b5+ b5- b6+ b6- b7+ b7- ");
    // A peer's huge delta is capped.
    scroll(std::numeric_limits<std::int32_t>::max(), 0, ScrollPhase::began);
    EXPECT_EQ(std::ranges::count_if(settle(), [](auto& e) { return e.kind == Kind::buttonPress; }),
              maxWheelClicksPerEvent);
}

TEST_F(X11EventSinkTest, typesAndPlaysMediaThroughSpareKeycodesWithModifiersLiftedAndLegacyKeysymsInPlace) {
    const int spares = keycodesWithoutSymbols(observer());
    type(u"é✓😀");
    EXPECT_EQ(typedBy(settle()), "é✓😀");
    EXPECT_LT(keycodesWithoutSymbols(observer()), spares);
    // Spare keycodes get their empty mapping back a little after the last use.
    std::this_thread::sleep_for(spareRestoreDelay + 300ms);
    EXPECT_EQ(keycodesWithoutSymbols(observer()), spares);
    // Held Shift and a held key's Command flag are lifted while typing, and let go with the key.
    key(macShift, true, shift);
    key(macX, true, shift | command);
    settle();
    type(u"a\tb\r\nc");
    auto events = settle();
    EXPECT_EQ(typedBy(events), "a\tb\rc");
    EXPECT_EQ(trace(events).substr(0, 9), "-50 -133 ") << trace(events);
    key(macX, false, shift | command);
    EXPECT_EQ(trace(settle()), "-53 -133 ") << "Command stayed down after its chord";
    key(macShift, false);
    // The Russian layout names its letters with legacy keysyms: found, not remapped.
    const auto setLayout = [&](const char* layout) { return testing::runChild({"setxkbmap", "-display", displayName_, layout}, 10s); };
    const std::shared_ptr<void> restoreUs(nullptr, [&](void*) { setLayout("us"); });
    ASSERT_TRUE(setLayout("ru"));
    settle();
    const unsigned remapsBefore = window_->mappingChanges();
    type(u"Жук");
    EXPECT_EQ(typedBy(settle()), "Жук");
    EXPECT_EQ(window_->mappingChanges(), remapsBefore);
    // A media key the keymap lacks borrows a spare keycode.
    const KeyCode play = XKeysymToKeycode(observer(), XF86XK_AudioPlay);
    ASSERT_NE(play, 0);
    remap(play, {NoSymbol});
    post(injection::MediaKeyEvent{16, true}, injection::MediaKeyEvent{16, false});
    events = settle();
    remap(play, {XF86XK_AudioPlay});
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(trace(events), "+" + std::to_string(events[0].keycode) + " -" + std::to_string(events[0].keycode) + " ");
    EXPECT_EQ(std::pair(events[0].keysym, events[0].keycode == play), std::pair(KeySym{XF86XK_AudioPlay}, false));
}

TEST_F(X11EventSinkTest, heldKeysDoNotAutorepeatUntilReleasedOrTheSinkGoes) {
    key(macA, true);
    EXPECT_EQ(trace(settle()), "+38 ");  // also: the server has seen everything
    EXPECT_FALSE(repeats(observer(), xA));
    key(macA, false);
    settle();
    EXPECT_TRUE(repeats(observer(), xA));
    key(macA, true);
    settle();
    destroySink();
    EXPECT_TRUE(repeats(observer(), xA) && !keyDown(observer(), xA));
    // The file an earlier version kept for a crashed run is honoured once.
    testing::TempDir dir;
    const auto stateFile = dir / "autorepeat-off";
    setRepeat(observer(), xS, false);
    std::ofstream(stateFile) << xS << "\n";
    sink_ = openSink(stateFile);
    EXPECT_TRUE(repeats(observer(), xS));
    EXPECT_FALSE(std::filesystem::exists(stateFile));
}

TEST_F(X11EventSinkTest, theNextSinkUndoesWhatACrashedOneHeldButLeavesALiveOnesStateAlone) {
    const std::shared_ptr<void> restore(nullptr, [&](void*) { setRepeat(observer(), xS, true); });
    setRepeat(observer(), xS, false);  // the user's choice: a crash must not turn it on
    const int spares = keycodesWithoutSymbols(observer());
    // Without a queue a sink never restores its spares by itself: what the crash leaves is certain.
    const auto openBare = [&] { return X11EventSink::open(displayName_, "").value_or(nullptr); };
    const auto postTo = [&](const std::shared_ptr<X11EventSink>& sink, const auto&... events) {
        queue_->sync([&] { (sink->post(events), ...); });
    };
    // A live sink holds X and has a spare mapped to ✓.
    destroySink();
    auto live = openBare();
    ASSERT_TRUE(live);
    postTo(live, injection::KeyboardEvent{macX, true, 0, 0}, injection::UnicodeKeyEvent{{0, true, 0, 0}, u"✓"});
    const unsigned windowsBefore = rootChildren(observer());
    const auto socketsBefore = openSockets();
    sink_ = openBare();
    ASSERT_TRUE(sink_);
    std::vector<int> added;
    std::ranges::set_difference(openSockets(), socketsBefore, std::back_inserter(added));
    ASSERT_EQ(added.size(), 1U) << "the crashing sink's X socket";
    // Both use Shift and D: the crashing sink once, turning D's autorepeat off meanwhile; the live one holds them.
    key(macShift, true, shift);
    key(macShift, false);
    tap(macD);
    settle();
    ASSERT_FALSE(keyDown(observer(), xShift) || keyDown(observer(), xD));
    ASSERT_TRUE(repeats(observer(), xD));
    postTo(live, injection::KeyboardEvent{macShift, true, shift, 0}, injection::KeyboardEvent{macD, true, shift, 0});
    key(macA, true);
    key(macS, true);
    mouse(MouseEventType::leftMouseDown, 20, 20);
    type(u"éü");
    settle();
    ASSERT_TRUE(keyDown(observer(), xA) && keyDown(observer(), xS) && buttonDown(observer(), Button1Mask));
    ASSERT_TRUE(keyDown(observer(), xShift) && keyDown(observer(), xD) && !repeats(observer(), xD));
    ASSERT_FALSE(repeats(observer(), xA));
    ASSERT_EQ(keycodesWithoutSymbols(observer()), spares - 3);
    // The crash: the connection ends without a word; the server cleans up after the client only.
    ASSERT_EQ(::shutdown(added[0], SHUT_RDWR), 0);
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (rootChildren(observer()) >= windowsBefore + 1 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    ASSERT_LT(rootChildren(observer()), windowsBefore + 1) << "the server never noticed the crash";
    EXPECT_TRUE(keyDown(observer(), xA) && buttonDown(observer(), Button1Mask) && !repeats(observer(), xA));
    EXPECT_EQ(keycodesWithoutSymbols(observer()), spares - 3);
    // A layout loaded since gives one of its spares a real key of one keysym, as most XF86 and F keys are.
    const unsigned taken = spareTyping(observer(), XK_udiaeresis);
    ASSERT_NE(taken, 0U);
    const auto give = [&](KeySym keysym) {  // no settle(): the sink that would carry it is dead
        XChangeKeyboardMapping(observer(), int(taken), 1, &keysym, 1), XSync(observer(), False);
    };
    const std::shared_ptr<void> untake(nullptr, [&](void*) { give(NoSymbol); });
    give(XK_F13);
    queue_->sync([&] { sink_.reset(); });
    testing::LogCapture log;
    sink_ = openBare();
    ASSERT_TRUE(sink_);
    EXPECT_FALSE(keyDown(observer(), xA) || keyDown(observer(), xS) || buttonDown(observer(), Button1Mask));
    EXPECT_TRUE(repeats(observer(), xA));
    EXPECT_FALSE(repeats(observer(), xS)) << "autorepeat the user had off was turned on";
    EXPECT_EQ(keycodesWithoutSymbols(observer()), spares - 2) << "only the crashed sink's é is free again";
    EXPECT_EQ(spareTyping(observer(), XK_F13), taken) << "a key the layout gave the keycode was unmapped";
    EXPECT_TRUE(log.contains("released 2 keys, released 1 button, restored autorepeat of 1 key, restored 1 spare keycode left by a previous run"))
        << ::testing::PrintToString(log.lines());
    EXPECT_TRUE(log.contains("kept 2 keys or buttons a previous run left down, as a running Tarvel has pressed them too"))
        << ::testing::PrintToString(log.lines());
    // The live sink's keys, autorepeat and spare were never touched, and it lets go of them itself.
    EXPECT_TRUE(keyDown(observer(), 53) && !repeats(observer(), 53));
    EXPECT_TRUE(keyDown(observer(), xShift) && keyDown(observer(), xD)) << "a shared key was let go";
    EXPECT_FALSE(repeats(observer(), xD)) << "autorepeat came back on a key the live sink holds";
    queue_->sync([&] { live.reset(); });
    EXPECT_FALSE(keyDown(observer(), 53) || keyDown(observer(), xShift) || keyDown(observer(), xD));
    EXPECT_TRUE(repeats(observer(), 53) && repeats(observer(), xD));
    EXPECT_EQ(keycodesWithoutSymbols(observer()), spares - 1);
    give(NoSymbol);
    EXPECT_EQ(keycodesWithoutSymbols(observer()), spares);
    // An orderly close leaves nothing for the next sink to undo.
    destroySink();
    testing::LogCapture next;
    sink_ = openBare();
    EXPECT_FALSE(next.contains("left by a previous run")) << ::testing::PrintToString(next.lines());
}

TEST(X11EventSink, losingTheServerMakesEveryCallANoOp) {
    TARVEL_REQUIRE_TEST_DISPLAY(desktop);
    testing::PrivateServer server, idle;
    ASSERT_FALSE(server.display.empty() || idle.display.empty()) << "Xvfb reported no display";
    testing::LogCapture log;
    auto sink = X11EventSink::open(":" + server.display, "").value_or(nullptr);
    ASSERT_TRUE(sink);
    sink->post(injection::KeyboardEvent{macA, true, shift, 0});
    server.kill();
    std::array<injection::Rect, 2> rects{};
    for (int round = 0; round < 2; ++round) {  // the loss noticed, then already known
        // A move first: it only writes, so it meets the closed socket before any read.
        for (auto type : {MouseEventType::mouseMoved, MouseEventType::leftMouseDown})
            sink->post(injection::MouseEvent{type, {9, 9}, 0, 1, 0, 0, 0});
        sink->post(injection::KeyboardEvent{macA, false, 0, 0}), sink->post(injection::ScrollEvent{500, 0, 1, 0, 0});
        sink->post(injection::UnicodeKeyEvent{{0, true, 0, 0}, u"ü✓"}), sink->post(injection::MediaKeyEvent{0, true});
        sink->declareUserActivity();
        EXPECT_FALSE(sink->pointerLocation() || sink->displayRects(rects) != 0);
    }
    EXPECT_TRUE(sink->lost());
    sink.reset();
    // A server gone while the sink sat idle is first noticed while closing.
    auto quiet = X11EventSink::open(":" + idle.display, "").value_or(nullptr);
    ASSERT_TRUE(quiet);
    idle.kill();
    quiet.reset();
    EXPECT_EQ(std::ranges::count_if(log.lines(), [](auto& l) { return l.find("lost the X server") != l.npos; }), 2)
        << ::testing::PrintToString(log.lines());
}

}  // namespace
}  // namespace tarvel::platform
