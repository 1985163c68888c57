// Costs of the key lookups on the injector's hot path and of planning typed text.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "core/input/key_diff_engine.hpp"
#include "core/input/keycode_table.hpp"

namespace {

using namespace tarvel::input;

// Every usage 0-255, so rows and gaps alike are looked up.
void BM_HIDToMac(benchmark::State& state) {
    const KeycodeTable& table = KeycodeTable::shared();
    std::uint16_t usage = 0;
    for (auto _ : state) {
        auto code = table.macKeyCodeForHID(usage);
        benchmark::DoNotOptimize(code);
        usage = static_cast<std::uint16_t>((usage + 1) & 0xFF);
    }
}
BENCHMARK(BM_HIDToMac);

void BM_HIDToLinux(benchmark::State& state) {
    const KeycodeTable& table = KeycodeTable::shared();
    std::uint16_t usage = 0;
    for (auto _ : state) {
        auto code = table.linuxKeyCodeForHID(usage);
        benchmark::DoNotOptimize(code);
        usage = static_cast<std::uint16_t>((usage + 1) & 0xFF);
    }
}
BENCHMARK(BM_HIDToLinux);

void BM_PlanOneCharacter(benchmark::State& state) {
    const std::string text = "Q";
    for (auto _ : state) {
        auto action = KeyDiffEngine::plan(text, tarvel::wire::ModifierMask(), false);
        benchmark::DoNotOptimize(action);
    }
}
BENCHMARK(BM_PlanOneCharacter);

void BM_PlanShortText(benchmark::State& state) {
    const std::string text = "hello, world";
    for (auto _ : state) {
        auto action = KeyDiffEngine::plan(text, tarvel::wire::ModifierMask(), false);
        benchmark::DoNotOptimize(action);
    }
}
BENCHMARK(BM_PlanShortText);

// One keystroke's worth of field diff: the client's usual edit.
void BM_DiffAppendOne(benchmark::State& state) {
    const std::string before = std::string(KeyDiffEngine::sentinel) + "hello, worl";
    const std::string after = before + "d";
    for (auto _ : state) {
        auto edit = KeyDiffEngine::diff(before, after);
        benchmark::DoNotOptimize(edit);
    }
}
BENCHMARK(BM_DiffAppendOne);

}  // namespace

BENCHMARK_MAIN();
