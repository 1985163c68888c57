// The real server over loopback: a paired client streams key and move
// datagrams at a steady rate, and junk datagrams probe the cost of trying
// every established session's key. Host CPU time is read per thread (the
// server and inject queues) from the kernel's schedstat, so the client's own
// work is not counted.
#include <benchmark/benchmark.h>

#include <dirent.h>

#include <fstream>
#include <string>

#include "core/diagnostics/latency_trace.hpp"
#include "tests/host/server/server_test_support.hpp"

namespace {

using namespace tarvel;
using namespace std::chrono_literals;
using server::testing::Harness;
using server::testing::TestConnection;
using server::testing::TestDatagrams;

/// Nanoseconds on CPU so far of the threads running the server and inject queues.
std::uint64_t hostThreadsCpuNs() {
    std::uint64_t total = 0;
    DIR* tasks = ::opendir("/proc/self/task");
    if (tasks == nullptr) {
        return 0;
    }
    while (dirent* entry = ::readdir(tasks)) {
        const std::string tid = entry->d_name;
        if (tid == "." || tid == "..") {
            continue;
        }
        std::ifstream comm("/proc/self/task/" + tid + "/comm");
        std::string name;
        std::getline(comm, name);
        if (name != "rc.host.server" && name != "rc.host.inject") {
            continue;
        }
        std::ifstream schedstat("/proc/self/task/" + tid + "/schedstat");
        std::uint64_t onCpu = 0;
        schedstat >> onCpu;
        total += onCpu;
    }
    ::closedir(tasks);
    return total;
}

struct PairedHost {
    explicit PairedHost(int clients) {
        trace.setEnabled(true);
        harness = std::make_unique<Harness>([this](server::HostServer::Dependencies& deps) {
            deps.eventSink = std::make_shared<injection::NullEventSink>();
            deps.latencyTrace = &trace;
            deps.timings.establishedIdle = 1h;  // the benchmark sends no pings
            deps.timings.supervision = 250ms;   // the real cadence, not the tests' fast one
        });
        for (int i = 0; i < clients; ++i) {
            auto connection = std::make_unique<TestConnection>(harness->port);
            const auto code = harness->server->beginPairing().code;
            if (!connection->pair(code, "Bench " + std::to_string(i))) {
                ok = false;
            }
            connections.push_back(std::move(connection));
        }
    }

    /// 36-byte datagrams the server has read so far.
    std::uint64_t datagramsSeen() const {
        auto gaps = trace.summary(diagnostics::LatencyMetric::hostCallbackGap);
        return gaps ? gaps->count + 1 : 0;
    }

    /// Waits (bounded) until the server has read no new datagram for 200 ms,
    /// and returns how many it read: UDP may drop some under load.
    std::uint64_t settle() {
        std::uint64_t last = datagramsSeen();
        for (int round = 0; round < 100; ++round) {
            std::this_thread::sleep_for(200ms);
            const auto now = datagramsSeen();
            if (now == last) {
                break;
            }
            last = now;
        }
        return last;
    }

    diagnostics::LatencyTrace trace;
    std::unique_ptr<Harness> harness;
    std::vector<std::unique_ptr<TestConnection>> connections;
    bool ok = true;
};

void BM_SteadyKeyAndMoveStream(benchmark::State& state) {
    constexpr int datagrams = 8000;
    constexpr auto spacing = 250us;  // 4000 datagrams a second, an eager client
    PairedHost host(1);
    if (!host.ok) {
        state.SkipWithError("pairing failed");
        return;
    }
    TestDatagrams input(host.harness->port, *host.connections.front()->key);
    for (auto _ : state) {
        const auto cpuBefore = hostThreadsCpuNs();
        std::uint64_t seq = 0;
        auto next = std::chrono::steady_clock::now();
        for (int i = 0; i < datagrams; ++i) {
            // Eight moves, then a key press and release, as fingers produce them.
            const int slot = i % 10;
            if (slot < 8) {
                input.send(server::testing::movePacket(++seq, 1, -1));
            } else {
                input.send(server::testing::keyPacket(++seq, 0x04, slot == 8));
            }
            next += spacing;
            std::this_thread::sleep_until(next);
        }
        const auto seen = host.settle();  // 200 ms quiet: the inject queue has drained too
        const auto cpu = hostThreadsCpuNs() - cpuBefore;
        state.counters["datagrams_read"] = static_cast<double>(seen);
        state.counters["host_cpu_ns_per_datagram"] =
            static_cast<double>(cpu) / static_cast<double>(seen);
    }
    for (auto [metric, name] :
         {std::pair{diagnostics::LatencyMetric::hostRecvToInject, "recv_to_inject"},
          std::pair{diagnostics::LatencyMetric::hostInject, "inject"}}) {
        if (auto summary = host.trace.summary(metric)) {
            state.counters[std::string(name) + "_p50_us"] = summary->p50;
            state.counters[std::string(name) + "_p99_us"] = summary->p99;
            state.counters[std::string(name) + "_max_us"] = summary->max;
        }
    }
}
BENCHMARK(BM_SteadyKeyAndMoveStream)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_JunkDatagram(benchmark::State& state) {
    constexpr int datagrams = 20000;
    PairedHost host(static_cast<int>(state.range(0)));
    if (!host.ok) {
        state.SkipWithError("pairing failed");
        return;
    }
    TestDatagrams junk(host.harness->port, wire::SymmetricKey{});
    wire::Bytes bytes(36);
    bytes[0] = 1;  // the right version, so only the tag check can refuse it
    for (auto _ : state) {
        const auto cpuBefore = hostThreadsCpuNs();
        auto next = std::chrono::steady_clock::now();
        for (int i = 0; i < datagrams; ++i) {
            bytes[35] = static_cast<std::uint8_t>(i);
            junk.sendRaw(bytes);
            next += 50us;  // a flood, paced so the socket buffer keeps up
            std::this_thread::sleep_until(next);
        }
        const auto seen = host.settle();
        const auto cpu = hostThreadsCpuNs() - cpuBefore;
        state.counters["datagrams_read"] = static_cast<double>(seen);
        state.counters["host_cpu_ns_per_datagram"] =
            static_cast<double>(cpu) / static_cast<double>(seen);
    }
}
BENCHMARK(BM_JunkDatagram)
    ->Arg(1)
    ->Arg(8)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
