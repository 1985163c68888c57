#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <fstream>
#include <latch>
#include <thread>

#include "core/diagnostics/latency_trace.hpp"
#include "tests/fakes/fake_clock.hpp"
#include "tests/fakes/log_capture.hpp"
#include "tests/fakes/manual_queue.hpp"
#include "tests/fakes/temp_dir.hpp"

// Counts heap bytes, to see when the event log is reserved and that recording never allocates.
static std::atomic<std::size_t> bytesAllocated{0};
static void* countedAllocation(std::size_t size) {
    bytesAllocated.fetch_add(size, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
void* operator new(std::size_t size) { return countedAllocation(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace tarvel::diagnostics {
namespace {

TEST(LatencyTrace, recordingAndLoggingAllocateNothingRingsKeepTheLatestAndThreadsLoseNoSample) {
    const std::size_t logBytes = LatencyTrace::maxEvents * sizeof(LatencyTrace::Event);
    std::size_t before = bytesAllocated.load();
    auto trace = std::make_unique<LatencyTrace>();
    trace->setEnabled(true);
    EXPECT_LT(bytesAllocated.load() - before, logBytes);  // the log is reserved once started
    before = bytesAllocated.load();
    trace->startEventLog();
    EXPECT_GE(bytesAllocated.load() - before, logBytes);
    before = bytesAllocated.load();
    for (std::uint64_t value = 1; value <= 10000; ++value) {
        trace->record(LatencyMetric::packetsPerSecond, value);
    }
    trace->recordSince(LatencyMetric::touchToSend, LatencyTrace::now() + 3'600'000'000'000u);
    trace->recordSince(LatencyMetric::seal, LatencyTrace::now() - 5'000'000);  // 5 ms ago
    for (std::uint64_t seq = 1; seq <= LatencyTrace::maxEvents + 1; ++seq) {
        trace->logEvent(seq, 65, seq, 0, 18446744073709551615u);
    }
    EXPECT_EQ(bytesAllocated.load() - before, 0u);
    // The ring keeps 1809...10000; p50 is its [round(8191 * .5)], p95 its [round(8191 * .95)].
    EXPECT_EQ(trace->summary(LatencyMetric::packetsPerSecond),
              (LatencySummary{10000, 5905, 9590, 9918, 10000}));
    EXPECT_EQ(trace->summary(LatencyMetric::touchToSend), (LatencySummary{1, 0, 0, 0, 0}));
    const double micros = trace->summary(LatencyMetric::seal).value().max;
    EXPECT_GE(micros, 5000.0);
    EXPECT_LT(micros, 1'005'000.0);  // under a second of scheduling slack
    // Events past the limit are dropped; the file is private decimal CSV (kind not as 'A').
    const testing::TempDir dir;
    const auto path = dir / "events.csv";
    trace->dumpEvents(path);
    std::ifstream file(path);
    const std::string all{std::istreambuf_iterator<char>(file), {}};
    EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), 1 + LatencyTrace::maxEvents);
    EXPECT_TRUE(all.starts_with("seq,kind,t0,t1,t2\n1,65,1,0,18446744073709551615\n"));
    EXPECT_TRUE(all.ends_with("\n400000,65,400000,0,18446744073709551615\n"));
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    // Short concurrent rounds make interleaving likely; reset keeps tracing and the log on.
    constexpr std::uint64_t perThread = 4000;  // both together stay within one ring
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
        { std::jthread a(work, 1), b(work, 1 + perThread); }
        ASSERT_EQ(trace->summary(LatencyMetric::packetsPerSecond),
                  (LatencySummary{8000, 4001, 7600, 7920, 8000}))
            << "round " << round;
    }
    trace->dumpEvents(dir / "concurrent.csv");
    std::ifstream in(dir / "concurrent.csv");
    in.ignore(100, '\n');  // the header
    std::set<std::uint64_t> seqs;
    std::size_t events = 0;
    for (std::uint64_t seq; in >> seq; in.ignore(100, '\n'), ++events) {
        seqs.insert(seq);
    }
    EXPECT_EQ(events, 2 * perThread);
    EXPECT_EQ(seqs.size(), 2 * perThread);  // all of 1..8000, once each
}

TEST(LatencyTraceConfiguration, eachSwitchEnablesTracingAndTheEventLogNeedsBoth) {
    const std::vector<std::string_view> flag = {"tarveld", "-RCLatencyTrace"},
                                        noFlag = {"tarveld", "-RCLatencyTraceX"};
    const struct {
        std::map<std::string, std::string> environment;
        std::vector<std::string_view> arguments;
        bool defaultEnabled, enabled, eventLog;
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
        const base::Environment environment = [&](std::string_view name) {
            const auto it = row.environment.find(std::string(name));
            return it == row.environment.end() ? std::nullopt : std::optional(it->second);
        };
        LatencyTrace trace;
        EXPECT_EQ(trace.configureFromEnvironment(environment, row.arguments, row.defaultEnabled),
                  row.enabled);
        EXPECT_EQ(trace.isEnabled(), row.enabled);
        EXPECT_EQ(trace.eventLogEnabled(), row.eventLog);
    }
    // setEnabled persists each choice; configuration persists nothing.
    LatencyTrace trace;
    trace.record(LatencyMetric::seal, 500);  // off: changes nothing
    trace.setEnabled(true);  // no callback yet: nothing to call
    EXPECT_FALSE(trace.summary(LatencyMetric::seal));
    std::vector<bool> saved;
    trace.setPersistCallback([&](bool enabled) { saved.push_back(enabled); });
    EXPECT_TRUE(
        trace.configureFromEnvironment([](std::string_view) { return std::nullopt; }, {}, false));
    trace.setEnabled(false);
    trace.setEnabled(true);
    EXPECT_EQ(saved, (std::vector<bool>{false, true}));
}

TEST(LatencyTraceReport, startsOneTimerOnlyWhileEnabledThatLogsEachIntervalUntilDestroyed) {
    testing::ManualQueue queue{std::make_shared<testing::FakeClock>(), "report"};
    testing::LogCapture log;
    auto trace = std::make_unique<LatencyTrace>();
    trace->startPeriodicReport(queue, std::chrono::seconds(10));
    EXPECT_EQ(queue.activeTimers(), 0u);  // off: refused, but can be started later
    trace->setEnabled(true);
    trace->record(LatencyMetric::hostCallbackGap, 4000);
    trace->record(LatencyMetric::touchToSend, 1'234'567'890);  // listed in raw order
    trace->startPeriodicReport(queue, std::chrono::seconds(10));
    trace->startPeriodicReport(queue, std::chrono::seconds(1));
    EXPECT_EQ(queue.activeTimers(), 1u);
    queue.advance(std::chrono::milliseconds(9999));
    EXPECT_TRUE(log.lines().empty());
    queue.advance(std::chrono::milliseconds(1));
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{
                  "Tarvel: " + std::string(LatencyTrace::reportHeader),
                  "Tarvel: touch->send                  1 1234567.9 1234567.9 1234567.9 1234567.9",
                  "Tarvel: host cb gap                  1      4.0      4.0      4.0      4.0"}));
    queue.advance(std::chrono::seconds(10));
    EXPECT_EQ(log.lines().size(), 6u);
    trace = nullptr;  // destroying the trace stops its report
    EXPECT_EQ(queue.activeTimers(), 0u);
}

}  // namespace
}  // namespace tarvel::diagnostics
