// Costs the latency trace adds to the input path: one record while tracing is
// off (the normal case) and on, with one and two recording threads, and the
// price of a summary over a full ring.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>

#include "core/diagnostics/latency_trace.hpp"

namespace {

using tarvel::diagnostics::LatencyMetric;
using tarvel::diagnostics::LatencyTrace;

// Shared by the threads of a multi-threaded run, so they contend for one lock.
LatencyTrace& benchTrace(bool enabled) {
    static LatencyTrace* const trace = new LatencyTrace();
    trace->setEnabled(enabled);
    return *trace;
}

void BM_RecordDisabled(benchmark::State& bench) {
    LatencyTrace& trace = benchTrace(false);
    std::uint64_t value = 0;
    for (auto _ : bench) {
        trace.record(LatencyMetric::hostInject, ++value);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_RecordDisabled);

void BM_RecordEnabled(benchmark::State& bench) {
    LatencyTrace& trace = benchTrace(true);
    std::uint64_t value = 0;
    for (auto _ : bench) {
        trace.record(LatencyMetric::hostInject, ++value);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_RecordEnabled)->Threads(1)->Threads(2);

// Includes the clock read that a duration sample needs.
void BM_RecordSinceEnabled(benchmark::State& bench) {
    LatencyTrace& trace = benchTrace(true);
    const std::uint64_t start = LatencyTrace::now();
    for (auto _ : bench) {
        trace.recordSince(LatencyMetric::hostRecvToInject, start);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_RecordSinceEnabled);

void BM_SummaryFullRing(benchmark::State& bench) {
    auto trace = std::make_unique<LatencyTrace>();
    trace->setEnabled(true);
    for (std::uint64_t i = 0; i < LatencyTrace::ringCapacity; ++i) {
        trace->record(LatencyMetric::ackRTT, (i * 2654435761u) % 1'000'000);
    }
    for (auto _ : bench) {
        auto summary = trace->summary(LatencyMetric::ackRTT);
        benchmark::DoNotOptimize(summary);
    }
}
BENCHMARK(BM_SummaryFullRing);

}  // namespace

BENCHMARK_MAIN();
