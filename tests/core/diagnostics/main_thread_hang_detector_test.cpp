#include <gtest/gtest.h>

#include "core/diagnostics/main_thread_hang_detector.hpp"
#include "tests/fakes/fake_clock.hpp"
#include "tests/fakes/log_capture.hpp"
#include "tests/fakes/manual_queue.hpp"

namespace tarvel::diagnostics {
namespace {
using namespace std::chrono_literals;
constexpr std::chrono::nanoseconds period = 1s;

struct Rig {
    explicit Rig(bool tracing = true, std::chrono::nanoseconds every = period) {
        trace.setEnabled(tracing);
        detector = MainThreadHangDetector::create(every, main, timerQueue, clock, trace);
        detector->setOnHang([this](double ms) { hangs.push_back(ms); });
        detector->start();
    }
    // The next probe runs `stall` late on the main queue; the clock then steps back.
    void probeWithStall(std::chrono::nanoseconds stall) {
        timerQueue->advance(period);
        clock->advance(stall);
        main->runPending();
        clock->advance(-stall);
    }
    std::uint64_t samples() const { return trace.summary(LatencyMetric::mainStall).value().count; }
    testing::LogCapture log;
    std::shared_ptr<testing::FakeClock> clock = std::make_shared<testing::FakeClock>();
    std::shared_ptr<testing::ManualQueue> main = std::make_shared<testing::ManualQueue>(clock);
    std::shared_ptr<testing::ManualQueue> timerQueue =
        std::make_shared<testing::ManualQueue>(clock, "rc.hang-detector");
    LatencyTrace trace;
    std::shared_ptr<MainThreadHangDetector> detector;
    std::vector<double> hangs;
};

TEST(MainThreadHangDetector, recordsEveryStallReportsThoseOver100MsAndUntracedStillReports) {
    Rig rig;
    rig.probeWithStall(100ms);
    EXPECT_EQ(rig.trace.summary(LatencyMetric::mainStall).value().max, 100000.0);  // µs
    rig.probeWithStall(100ms + 1ns);
    rig.probeWithStall(123'456'789ns);
    rig.probeWithStall(-1ms);  // a clock behind the probe measures nothing
    EXPECT_EQ(rig.samples(), 3u);
    EXPECT_EQ(rig.log.lines(), (std::vector<std::string>{"Tarvel: main thread stall 100.0 ms",
                                                         "Tarvel: main thread stall 123.5 ms"}));
    EXPECT_EQ(rig.hangs, (std::vector<double>{100.000001, 123.456789}));
    // Untraced, it still logs and reports; the callback may stop and remove itself.
    Rig quiet(/*tracing=*/false);
    int calls = 0;
    quiet.detector->setOnHang(
        [&](double) { ++calls; quiet.detector->stop(); quiet.detector->setOnHang({}); });
    quiet.probeWithStall(200ms);
    EXPECT_FALSE(quiet.detector->isRunning());
    quiet.detector->start();
    quiet.probeWithStall(200ms);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(quiet.log.lines().size(), 2u);
    EXPECT_EQ(quiet.trace.summary(LatencyMetric::mainStall), std::nullopt);
}

TEST(MainThreadHangDetector, keepsOneTimerAndAPostedProbeSurvivesStopButNotRelease) {
    Rig rig;
    rig.timerQueue->advance(period / 2);
    rig.detector->start();  // neither a second timer nor a restarted one
    rig.timerQueue->advance(period / 2 + period * 2);
    rig.main->runPending();
    EXPECT_EQ(rig.samples(), 3u);
    rig.timerQueue->advance(period);
    rig.detector->stop();
    rig.timerQueue->advance(period * 3);
    rig.main->runPending();
    EXPECT_EQ(rig.samples(), 4u);
    rig.detector->start();
    rig.timerQueue->advance(period);
    const std::weak_ptr<MainThreadHangDetector> weak = std::exchange(rig.detector, nullptr);
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(rig.timerQueue->activeTimers(), 0u);
    rig.main->runPending();
    EXPECT_EQ(rig.samples(), 4u);
    EXPECT_FALSE(Rig(/*tracing=*/true, /*every=*/0ms).detector->isRunning());
}
}  // namespace
}  // namespace tarvel::diagnostics
