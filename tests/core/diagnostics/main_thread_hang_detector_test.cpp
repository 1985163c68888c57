#include <gtest/gtest.h>

#include <vector>

#include "core/diagnostics/main_thread_hang_detector.hpp"
#include "tests/fakes/fake_clock.hpp"
#include "tests/fakes/log_capture.hpp"
#include "tests/fakes/manual_queue.hpp"

namespace tarvel::diagnostics {
namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

// Longer than every stall below, so a stall never makes the manual timer catch up on ticks.
constexpr std::chrono::nanoseconds period = 1s;

// A detector on a manual main queue and timer queue sharing one fake clock.
struct Rig {
    explicit Rig(bool tracing = true, std::chrono::nanoseconds every = period) {
        trace.setEnabled(tracing);
        detector = MainThreadHangDetector::create(every, main, timerQueue, clock, trace);
        detector->setOnHang([this](double ms) { hangs.push_back(ms); });
    }
    void start() {
        detector->start();
        nextProbe = clock->now() + period;
    }
    // The next probe fires, then the main queue is busy for `stall` before it runs the probe.
    void probeWithStall(std::chrono::nanoseconds stall) {
        timerQueue->advance(nextProbe - clock->now());
        nextProbe += period;
        clock->advance(stall);
        main->runPending();
    }
    std::uint64_t samples() const {
        const auto summary = trace.summary(LatencyMetric::mainStall);
        return summary ? summary->count : 0;
    }

    testing::LogCapture log;
    std::shared_ptr<testing::FakeClock> clock = std::make_shared<testing::FakeClock>();
    std::shared_ptr<testing::ManualQueue> main = std::make_shared<testing::ManualQueue>(clock);
    std::shared_ptr<testing::ManualQueue> timerQueue =
        std::make_shared<testing::ManualQueue>(clock, "rc.hang-detector");
    LatencyTrace trace;
    std::shared_ptr<MainThreadHangDetector> detector;
    std::vector<double> hangs;
    base::MonotonicTime nextProbe;
};

TEST(MainThreadHangDetectorStall, longStallIsRecordedOnTheMainQueueLoggedAndReportedOnce) {
    Rig rig;
    rig.start();
    rig.timerQueue->advance(period);
    EXPECT_EQ(rig.samples(), 0u);  // measured when the main queue runs the probe
    rig.clock->advance(150ms);
    rig.main->runPending();
    EXPECT_EQ(rig.trace.summary(LatencyMetric::mainStall),
              (LatencySummary{1, 150000, 150000, 150000, 150000}));
    EXPECT_EQ(rig.log.lines(), Lines{"Tarvel: main thread stall 150.0 ms"});
    EXPECT_EQ(rig.hangs, std::vector<double>{150.0});
}

TEST(MainThreadHangDetectorStall, onlyStallsStrictlyOverAHundredMillisecondsAreReported) {
    Rig rig;
    rig.start();
    rig.probeWithStall(100ms);
    EXPECT_EQ(rig.trace.summary(LatencyMetric::mainStall),
              (LatencySummary{1, 100000, 100000, 100000, 100000}));
    EXPECT_TRUE(rig.log.lines().empty());
    EXPECT_TRUE(rig.hangs.empty());

    rig.probeWithStall(100ms + 1ns);
    rig.probeWithStall(123'456'789ns);
    rig.probeWithStall(-1ms);  // a clock behind the probe measures nothing
    EXPECT_EQ(rig.samples(), 3u);
    EXPECT_EQ(rig.log.lines(),
              (Lines{"Tarvel: main thread stall 100.0 ms", "Tarvel: main thread stall 123.5 ms"}));
    EXPECT_EQ(rig.hangs, (std::vector<double>{100.000001, 123.456789}));
}

TEST(MainThreadHangDetectorStall, disabledTracingStillLogsAndReportsButRecordsNothing) {
    Rig rig(/*tracing=*/false);
    rig.start();
    rig.probeWithStall(150ms);
    EXPECT_EQ(rig.trace.summary(LatencyMetric::mainStall), std::nullopt);
    EXPECT_EQ(rig.log.lines().size(), 1u);
    EXPECT_EQ(rig.hangs, std::vector<double>{150.0});
}

TEST(MainThreadHangDetectorLifecycle, startTwiceKeepsItsOneTimerAndStopEndsProbing) {
    Rig rig;
    rig.start();
    rig.timerQueue->advance(period / 2);
    rig.detector->start();  // neither a second timer nor a restarted one
    EXPECT_EQ(rig.timerQueue->activeTimers(), 1u);
    rig.timerQueue->advance(period / 2 + period * 2);
    rig.main->runPending();
    EXPECT_EQ(rig.samples(), 3u);

    rig.timerQueue->advance(period);  // a probe posted before stop still measures
    rig.detector->stop();
    EXPECT_FALSE(rig.detector->isRunning());
    EXPECT_EQ(rig.timerQueue->activeTimers(), 0u);
    rig.timerQueue->advance(period * 3);
    rig.main->runPending();
    EXPECT_EQ(rig.samples(), 4u);

    Rig never(/*tracing=*/true, /*every=*/0ms);
    never.detector->start();
    EXPECT_FALSE(never.detector->isRunning());
}

TEST(MainThreadHangDetectorLifecycle, releasedDetectorIsNotKeptAliveAndItsPendingProbeIsDropped) {
    Rig rig;
    rig.start();
    rig.timerQueue->advance(period);
    std::weak_ptr<MainThreadHangDetector> weak = rig.detector;
    rig.detector.reset();
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(rig.timerQueue->activeTimers(), 0u);
    rig.clock->advance(150ms);
    rig.main->runPending();
    EXPECT_EQ(rig.samples(), 0u);
    EXPECT_TRUE(rig.hangs.empty());
}

TEST(MainThreadHangDetectorCallback, callbackMayStopTheDetectorAndRemoveItself) {
    Rig rig;
    int calls = 0;
    rig.detector->setOnHang([&rig, &calls](double) {
        ++calls;
        rig.detector->stop();
        rig.detector->setOnHang({});
    });
    rig.start();
    rig.probeWithStall(200ms);
    EXPECT_FALSE(rig.detector->isRunning());
    rig.start();
    rig.probeWithStall(200ms);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(rig.log.lines().size(), 2u);
}

}  // namespace
}  // namespace tarvel::diagnostics
