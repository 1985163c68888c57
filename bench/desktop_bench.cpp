// The X11 side on the test X server (run under scripts/with-desktop): what an
// XTEST event costs flushed or synced, how fast text is typed into an Xlib
// window, and the whole way from a phone's datagram to that window.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

// The test support first: Xlib's macros (None, Bool) would break GoogleTest.
#include "tests/host/server/server_test_support.hpp"
#include "tests/host/platform/linux/x11_test_window.hpp"
#include "host/platform/linux/x11_event_sink.hpp"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

namespace {

using namespace tarvel;
using namespace std::chrono_literals;
using tarvel::testing::X11TestWindow;
using Events = std::vector<X11TestWindow::Event>;

std::string testDisplay() {
    const char* name = std::getenv("TARVEL_TEST_DISPLAY");
    return name != nullptr ? name : "";
}

/// XTEST motion to alternating points, then XFlush (sync = false) or XSync.
void BM_XTestMotion(benchmark::State& state) {
    const bool sync = state.range(0) != 0;
    Display* d = XOpenDisplay(testDisplay().c_str());
    if (d == nullptr) {
        state.SkipWithError("no test X server: run under scripts/with-desktop");
        return;
    }
    int x = 100;
    for (auto _ : state) {
        x = x == 100 ? 101 : 100;
        XTestFakeMotionEvent(d, -1, x, 100, CurrentTime);
        sync ? XSync(d, False) : XFlush(d);
    }
    XSync(d, False);
    XCloseDisplay(d);
    state.SetLabel(sync ? "XSync" : "XFlush");
}
BENCHMARK(BM_XTestMotion)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

/// A key tap through the sink (press and release, flushed), as a shortcut makes it.
void BM_SinkKeyTap(benchmark::State& state) {
    auto sink = platform::X11EventSink::open(testDisplay(), "");
    if (!sink) {
        state.SkipWithError(sink.error().c_str());
        return;
    }
    for (auto _ : state) {
        (*sink)->post(injection::KeyboardEvent{0x7A /* F1 */, true, 0, 0});
        (*sink)->post(injection::KeyboardEvent{0x7A, false, 0, 0});
    }
}
BENCHMARK(BM_SinkKeyTap)->Unit(benchmark::kMicrosecond);

/// Characters a second typed into an Xlib window, until the window has them
/// all: ASCII from the keymap (0), or CJK never typed before, each on a
/// freshly borrowed keycode (1).
void BM_TypeText(benchmark::State& state) {
    const bool ascii = state.range(0) == 0;
    auto sink = platform::X11EventSink::open(testDisplay(), "");
    auto window = X11TestWindow::open(testDisplay());
    if (!sink || !window) {
        state.SkipWithError("no test X server: run under scripts/with-desktop");
        return;
    }
    constexpr std::size_t length = 200;
    char32_t nextIdeograph = U'\u4E00';
    std::int64_t characters = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::u16string text;
        std::string expected;
        while (text.size() < length) {
            if (ascii) {
                text += u"The quick brown fox, 42! ";
                expected += "The quick brown fox, 42! ";
                continue;
            }
            const char32_t c = nextIdeograph++;  // all in the BMP: one UTF-16 unit
            text += static_cast<char16_t>(c);
            expected += {static_cast<char>(0xE0 | (c >> 12)),
                         static_cast<char>(0x80 | ((c >> 6) & 0x3F)),
                         static_cast<char>(0x80 | (c & 0x3F))};
        }
        window->clear();
        state.ResumeTiming();
        for (std::size_t at = 0; at < text.size(); at += 20) {
            const auto chunk = std::u16string_view(text).substr(at, 20);
            (*sink)->post(injection::UnicodeKeyEvent{{0, true, 0, 0}, chunk});
        }
        if (!window->waitFor(
                [&](const Events& events) {
                    std::size_t bytes = 0;
                    for (const auto& e : events) {
                        bytes += e.text.size();
                    }
                    return bytes >= expected.size();
                },
                10s)) {
            state.SkipWithError("the window did not receive the text");
            return;
        }
        if (window->typedText() != expected) {
            state.SkipWithError("the window received other text");
            return;
        }
        characters += static_cast<std::int64_t>(text.size());
    }
    state.SetItemsProcessed(characters);
    state.SetLabel(ascii ? "ASCII" : "CJK, a keycode borrowed for each");
}
BENCHMARK(BM_TypeText)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

/// Latency percentiles of `events` single events, each from `send` to the
/// window receiving it, into the benchmark's counters.
template <class Send>
void windowLatency(benchmark::State& state, X11TestWindow& window, Send send) {
    constexpr int events = 1000;
    std::vector<double> micros;
    for (auto _ : state) {
        micros.clear();
        for (int i = 0; i < events; ++i) {
            window.clear();
            const auto sent = std::chrono::steady_clock::now();
            send(i);
            if (!window.waitFor([](const Events& e) { return !e.empty(); }, 1s)) {
                continue;  // a lost datagram: not a latency
            }
            const auto received = window.events().front().received;
            micros.push_back(std::chrono::duration<double, std::micro>(received - sent).count());
            std::this_thread::sleep_for(1ms);  // a finger's pace, not a flood
        }
    }
    if (micros.empty()) {
        state.SkipWithError("no event arrived");
        return;
    }
    std::ranges::sort(micros);
    auto at = [&](double q) {
        return micros[static_cast<std::size_t>(q * static_cast<double>(micros.size() - 1))];
    };
    state.counters["events"] = static_cast<double>(micros.size());
    state.counters["p50_us"] = at(0.50);
    state.counters["p99_us"] = at(0.99);
    state.counters["max_us"] = micros.back();
}

/// The floor under the next one: XTEST motion straight from this thread to
/// the window, no network and no server.
void BM_XTestToWindow(benchmark::State& state) {
    auto sink = platform::X11EventSink::open(testDisplay(), "");
    auto window = X11TestWindow::open(testDisplay());
    if (!sink || !window) {
        state.SkipWithError("no test X server: run under scripts/with-desktop");
        return;
    }
    windowLatency(state, *window, [&](int i) {
        (*sink)->post(injection::MouseEvent{injection::MouseEventType::mouseMoved,
                                            {100.0 + (i % 2), 100}, 0, 0, 0, 0, 0});
    });
}
BENCHMARK(BM_XTestToWindow)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

/// From a paired client's move datagram to the window's MotionNotify, through
/// the real server and the X11 sink, one event at a time.
void BM_DatagramToWindow(benchmark::State& state) {
    auto sink = platform::X11EventSink::open(testDisplay(), "");
    auto window = X11TestWindow::open(testDisplay());
    if (!sink || !window) {
        state.SkipWithError("no test X server: run under scripts/with-desktop");
        return;
    }
    server::testing::Harness host([&](server::HostServer::Dependencies& deps) {
        deps.eventSink = *sink;
        deps.timings.establishedIdle = 1h;
        deps.timings.supervision = 250ms;
    });
    server::testing::TestConnection phone(host.port);
    if (!phone.pair(host.server->beginPairing().code)) {
        state.SkipWithError("pairing failed");
        return;
    }
    server::testing::TestDatagrams input(host.port, *phone.key);
    std::uint64_t seq = 0;
    windowLatency(state, *window, [&](int i) {
        input.send(server::testing::movePacket(++seq, i % 2 == 0 ? 1.0F : -1.0F, 0));
    });
}
BENCHMARK(BM_DatagramToWindow)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
