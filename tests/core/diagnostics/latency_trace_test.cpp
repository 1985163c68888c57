#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <latch>
#include <map>
#include <memory>
#include <new>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/diagnostics/latency_trace.hpp"
#include "tests/fakes/fake_clock.hpp"
#include "tests/fakes/log_capture.hpp"
#include "tests/fakes/manual_queue.hpp"
#include "tests/fakes/temp_dir.hpp"

// Counts the bytes this program asks of the heap, to see when the event log
// is reserved and that recording never allocates.
namespace {
std::atomic<std::size_t> bytesAllocated{0};

void* countedAllocation(std::size_t size) {
    bytesAllocated.fetch_add(size, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t size) {
    return countedAllocation(size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace tarvel::diagnostics {
namespace {

using namespace std::chrono_literals;
using testing::FakeClock;
using testing::LogCapture;
using testing::ManualQueue;
using testing::TempDir;

std::unique_ptr<LatencyTrace> enabledTrace() {
    auto trace = std::make_unique<LatencyTrace>();
    trace->setEnabled(true);
    return trace;
}

base::Environment environmentOf(std::map<std::string, std::string> values) {
    return [values = std::move(values)](std::string_view name) -> std::optional<std::string> {
        if (auto it = values.find(std::string(name)); it != values.end()) {
            return it->second;
        }
        return std::nullopt;
    };
}

std::vector<std::string> readLines(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::string readText(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(LatencyTraceRecording, disabledTraceChangesNothing) {
    LatencyTrace trace;
    trace.record(LatencyMetric::seal, 500);
    trace.recordSince(LatencyMetric::ackRTT, LatencyTrace::now());
    trace.logEvent(1, 2, 3, 4, 5);

    EXPECT_FALSE(trace.summary(LatencyMetric::seal));
    EXPECT_FALSE(trace.summary(LatencyMetric::ackRTT));
    EXPECT_EQ(trace.report(), LatencyTrace::reportHeader);

    // Samples recorded while off must not surface once tracing is turned on.
    trace.setEnabled(true);
    EXPECT_FALSE(trace.summary(LatencyMetric::seal));
}

TEST(LatencyTraceRecording, countKeepsGrowingWhileRingKeepsTheLatest) {
    auto trace = enabledTrace();
    for (std::uint64_t value = 1; value <= 10000; ++value) {
        trace->record(LatencyMetric::packetsPerSecond, value);
    }
    const auto summary = trace->summary(LatencyMetric::packetsPerSecond);
    ASSERT_TRUE(summary);
    EXPECT_EQ(summary->count, 10000u);
    // The ring holds 1809...10000; p50 is index round(8191 * 0.5) = 4096 of those.
    EXPECT_EQ(summary->p50, 5905.0);
    EXPECT_EQ(summary->p95, 9590.0);  // index round(7781.45) = 7781
    EXPECT_EQ(summary->max, 10000.0);
}

TEST(LatencyTraceRecording, recordSinceMeasuresElapsedTimeAndClampsFutureStarts) {
    auto trace = enabledTrace();
    trace->recordSince(LatencyMetric::touchToSend, LatencyTrace::now() + 3'600'000'000'000u);
    EXPECT_EQ(trace->summary(LatencyMetric::touchToSend), (LatencySummary{1, 0, 0, 0, 0}));

    const std::uint64_t before = LatencyTrace::now();
    trace->recordSince(LatencyMetric::seal, before - 5'000'000);  // 5 ms ago
    const std::uint64_t elapsedBound = LatencyTrace::now() - before + 5'000'000;
    const auto summary = trace->summary(LatencyMetric::seal);
    ASSERT_TRUE(summary);
    EXPECT_GE(summary->max, 5000.0);
    EXPECT_LE(summary->max, static_cast<double>(elapsedBound) / 1000.0);
}

TEST(LatencyTraceRecording, resetForgetsSamplesAndEvents) {
    TempDir dir;
    auto trace = enabledTrace();
    trace->startEventLog();
    for (std::uint64_t value = 1; value <= 50; ++value) {
        trace->record(LatencyMetric::seal, value * 1000);
    }
    trace->logEvent(1, 1, 1, 1, 1);
    trace->reset();

    EXPECT_FALSE(trace->summary(LatencyMetric::seal));
    EXPECT_EQ(trace->report(), LatencyTrace::reportHeader);
    trace->dumpEvents(dir / "events.csv");
    EXPECT_EQ(readText(dir / "events.csv"), "seq,kind,t0,t1,t2\n");

    // Old ring contents stay in memory but must not be counted again.
    trace->record(LatencyMetric::seal, 7000);
    EXPECT_EQ(trace->summary(LatencyMetric::seal), (LatencySummary{1, 7, 7, 7, 7}));
    EXPECT_TRUE(trace->isEnabled());
    EXPECT_TRUE(trace->eventLogEnabled());
}

TEST(LatencyTraceRecording, concurrentRecordingLosesNoSample) {
    auto trace = enabledTrace();
    trace->startEventLog();
    constexpr std::uint64_t perThread = 4000;  // both together stay within one ring
    // Several short rounds, each started together, make an interleaving likely.
    for (int round = 0; round < 200; ++round) {
        trace->reset();
        std::latch start(2);
        const auto work = [&](std::uint64_t first) {
            start.arrive_and_wait();
            for (std::uint64_t value = first; value < first + perThread; ++value) {
                trace->record(LatencyMetric::packetsPerSecond, value);
                trace->logEvent(value, 0, 0, 0, 0);
            }
        };
        std::thread a(work, 1);
        std::thread b(work, 1 + perThread);
        a.join();
        b.join();

        // A lost or doubled slot would leave a stale value or a repeat and shift
        // every percentile.
        ASSERT_EQ(trace->summary(LatencyMetric::packetsPerSecond),
                  (LatencySummary{8000, 4001, 7600, 7920, 8000}))
            << "round " << round;
    }

    // The last round's events: every seq once.
    TempDir dir;
    trace->dumpEvents(dir / "events.csv");
    const auto lines = readLines(dir / "events.csv");
    std::set<std::uint64_t> seqs;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        seqs.insert(std::stoull(lines[i]));
    }
    EXPECT_EQ(lines.size(), 1 + 2 * perThread);
    EXPECT_EQ(seqs.size(), 2 * perThread);
    EXPECT_EQ(*seqs.rbegin(), 2 * perThread);
}

TEST(LatencyTraceReport, listsMetricsWithSamplesInRawOrder) {
    auto trace = enabledTrace();
    trace->record(LatencyMetric::ackFallbacks, 3);
    trace->record(LatencyMetric::touchToSend, 1'234'567'890);
    trace->record(LatencyMetric::mainSendCall, 0);
    EXPECT_EQ(trace->report(),
              "metric                      n      p50      p95      p99      max   (us)\n"
              "touch->send                  1 1234567.9 1234567.9 1234567.9 1234567.9\n"
              "main send() cost             1      0.0      0.0      0.0      0.0\n"
              "ack fallbacks                1      3.0      3.0      3.0      3.0");
}

TEST(LatencyTraceEvents, startsOffAndDropsEventsBeyondTheLimit) {
    TempDir dir;
    auto trace = enabledTrace();
    trace->logEvent(99, 1, 1, 1, 1);
    EXPECT_FALSE(trace->eventLogEnabled());

    trace->startEventLog();
    for (std::uint64_t seq = 1; seq <= LatencyTrace::maxEvents + 1; ++seq) {
        trace->logEvent(seq, 0, seq, 0, 0);
    }
    trace->dumpEvents(dir / "events.csv");
    const auto lines = readLines(dir / "events.csv");
    ASSERT_EQ(lines.size(), 1 + LatencyTrace::maxEvents);
    EXPECT_EQ(lines[1], "1,0,1,0,0");
    EXPECT_EQ(lines.back(), "400000,0,400000,0,0");

    // Starting again empties the log.
    trace->startEventLog();
    trace->logEvent(5, 5, 5, 5, 5);
    trace->dumpEvents(dir / "events.csv");
    EXPECT_EQ(readText(dir / "events.csv"), "seq,kind,t0,t1,t2\n5,5,5,5,5\n");
}

TEST(LatencyTraceEvents, logIsReservedOnlyWhenStartedAndRecordingNeverAllocates) {
    const std::size_t logBytes = LatencyTrace::maxEvents * sizeof(LatencyTrace::Event);
    std::size_t before = bytesAllocated.load();
    auto trace = enabledTrace();
    EXPECT_LT(bytesAllocated.load() - before, logBytes);

    before = bytesAllocated.load();
    trace->startEventLog();
    EXPECT_GE(bytesAllocated.load() - before, logBytes);

    before = bytesAllocated.load();
    for (std::uint64_t i = 0; i < 1000; ++i) {
        trace->record(LatencyMetric::seal, i);
        trace->recordSince(LatencyMetric::ackRTT, LatencyTrace::now());
        trace->logEvent(i, 1, i, i, i);
    }
    trace->reset();
    trace->logEvent(1, 1, 1, 1, 1);
    EXPECT_EQ(bytesAllocated.load() - before, 0u);
}

TEST(LatencyTraceEvents, dumpWritesDecimalCsvPrivately) {
    TempDir dir;
    auto trace = enabledTrace();
    trace->startEventLog();
    trace->logEvent(0, 65, 10, 20, 30);  // a kind printed as a number, never as 'A'
    trace->logEvent(18446744073709551615u, 255, 1, 2, 18446744073709551615u);
    const auto path = dir / "events.csv";
    trace->dumpEvents(path);

    EXPECT_EQ(readText(path),
              "seq,kind,t0,t1,t2\n"
              "0,65,10,20,30\n"
              "18446744073709551615,255,1,2,18446744073709551615\n");
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    // A folder that does not exist is ignored quietly.
    trace->dumpEvents(dir / "missing" / "events.csv");
    EXPECT_FALSE(std::filesystem::exists(dir / "missing"));
}

TEST(LatencyTraceConfiguration, eachSwitchEnablesTracingAndTheEventLogNeedsBoth) {
    const std::vector<std::string_view> flag = {"tarveld", "-RCLatencyTrace"};
    const std::vector<std::string_view> noFlag = {"tarveld", "-RCLatencyTraceX"};
    const struct {
        std::map<std::string, std::string> environment;
        std::vector<std::string_view> arguments;
        bool defaultEnabled;
        bool enabled;
        bool eventLog;
    } rows[] = {
        {{{"TVL_LATENCY", "1"}}, {}, false, true, false},
        {{}, flag, false, true, false},
        {{}, {}, true, true, false},
        {{{"TVL_LATENCY", "1"}, {"TVL_LATENCY_EVENTS", "1"}}, {}, false, true, true},
        {{{"TVL_LATENCY_EVENTS", "1"}}, flag, false, true, true},
        {{{"TVL_LATENCY_EVENTS", "1"}}, {}, false, false, false},
        {{{"TVL_LATENCY", "true"}, {"TVL_LATENCY_EVENTS", "1"}}, noFlag, false, false, false},
        {{{"TVL_LATENCY", "1 "}}, {}, false, false, false},
    };
    for (const auto& row : rows) {
        LatencyTrace trace;
        EXPECT_EQ(trace.configureFromEnvironment(environmentOf(row.environment), row.arguments,
                                                 row.defaultEnabled),
                  row.enabled);
        EXPECT_EQ(trace.isEnabled(), row.enabled);
        EXPECT_EQ(trace.eventLogEnabled(), row.eventLog);
    }

    // Without a switch tracing stays as it was, and configuration never persists.
    LatencyTrace trace;
    int persisted = 0;
    trace.setPersistCallback([&](bool) { ++persisted; });
    trace.setEnabled(true);
    EXPECT_TRUE(trace.configureFromEnvironment(environmentOf({}), {}, false));
    EXPECT_EQ(persisted, 1);
}

TEST(LatencyTraceConfiguration, setEnabledPersistsEachChoice) {
    LatencyTrace trace;
    trace.setEnabled(true);  // no callback yet: nothing to call
    std::vector<bool> saved;
    trace.setPersistCallback([&](bool enabled) {
        // The flag is already set when the choice is saved.
        EXPECT_EQ(trace.isEnabled(), enabled);
        saved.push_back(enabled);
    });
    trace.setEnabled(false);
    trace.record(LatencyMetric::seal, 1);
    trace.setEnabled(true);
    EXPECT_EQ(saved, (std::vector<bool>{false, true}));
    EXPECT_FALSE(trace.summary(LatencyMetric::seal));
}

class LatencyTracePeriodicReport : public ::testing::Test {
  protected:
    std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>();
    ManualQueue queue{clock, "report"};
    LogCapture log;
};

TEST_F(LatencyTracePeriodicReport, startsOneTimerOnlyWhileEnabledThatLogsEachInterval) {
    auto trace = std::make_unique<LatencyTrace>();
    trace->startPeriodicReport(queue, 10s);
    EXPECT_EQ(queue.activeTimers(), 0u);  // off: refused, but can be started later

    trace->setEnabled(true);
    trace->record(LatencyMetric::hostCallbackGap, 4000);
    trace->startPeriodicReport(queue, 10s);
    trace->startPeriodicReport(queue, 1s);
    EXPECT_EQ(queue.activeTimers(), 1u);
    queue.advance(9999ms);
    EXPECT_TRUE(log.lines().empty());
    queue.advance(1ms);
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{
                  "Tarvel: " + std::string(LatencyTrace::reportHeader),
                  "Tarvel: host cb gap                  1      4.0      4.0      4.0      4.0"}));
    queue.advance(10s);
    EXPECT_EQ(log.lines().size(), 4u);

    // Destroying the trace stops its report.
    trace = nullptr;
    EXPECT_EQ(queue.activeTimers(), 0u);
}

}  // namespace
}  // namespace tarvel::diagnostics
