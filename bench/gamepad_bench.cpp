// Costs of the gamepad per-packet path: turning one pad state into an output
// frame, and a translator update (frame plus diff against the last one).
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>

#include "core/gamepad/compiled_pad_mapping.hpp"

namespace {

using namespace tarvel::gamepad;

PadState neutral() {
    return PadState{};
}

// Buttons, a diagonal hat and a trigger, sticks at rest.
PadState buttonsHeld() {
    PadState s;
    s.buttons = PadButtons::a | PadButtons::leftBumper | PadButtons::leftStick;
    s.hat = PadHat::northEast;
    s.rt = 200;
    return s;
}

// Both sticks deflected: key directions on the left, the power curve on the right.
PadState sticksMoving() {
    PadState s;
    s.lx = 15000;
    s.ly = 15000;
    s.rx = -21000;
    s.ry = 9000;
    return s;
}

// Everything at once.
PadState everything() {
    PadState s = sticksMoving();
    s.buttons = PadButtons::defined;
    s.hat = PadHat::southWest;
    s.lt = 255;
    s.rt = 255;
    return s;
}

void frameFor(benchmark::State& bench, const CompiledPadMapping& mapping, PadState pad) {
    for (auto _ : bench) {
        benchmark::DoNotOptimize(pad);
        PadOutputFrame frame = mapping.frame(pad);
        benchmark::DoNotOptimize(frame);
    }
}

void BM_FrameNeutral(benchmark::State& bench) {
    frameFor(bench, CompiledPadMapping::defaults(), neutral());
}
BENCHMARK(BM_FrameNeutral);

void BM_FrameButtons(benchmark::State& bench) {
    frameFor(bench, CompiledPadMapping::defaults(), buttonsHeld());
}
BENCHMARK(BM_FrameButtons);

void BM_FrameSticks(benchmark::State& bench) {
    frameFor(bench, CompiledPadMapping::defaults(), sticksMoving());
}
BENCHMARK(BM_FrameSticks);

void BM_FrameEverything(benchmark::State& bench) {
    frameFor(bench, CompiledPadMapping::defaults(), everything());
}
BENCHMARK(BM_FrameEverything);

// The mouse preset: both sticks on the power curve, buttons on mouse buttons.
void BM_FrameMousePresetEverything(benchmark::State& bench) {
    frameFor(bench, CompiledPadMapping(presetMapping(GamepadPreset::mouse)), everything());
}
BENCHMARK(BM_FrameMousePresetEverything);

// Alternates between states so every update produces a non-empty diff.
void BM_TranslatorUpdate(benchmark::State& bench) {
    PadTranslator translator(CompiledPadMapping::defaults());
    const std::array<PadState, 4> states{neutral(), buttonsHeld(), sticksMoving(), everything()};
    std::size_t i = 0;
    for (auto _ : bench) {
        PadFrameDiff diff = translator.update(states[i++ & 3]);
        benchmark::DoNotOptimize(diff);
    }
}
BENCHMARK(BM_TranslatorUpdate);

// Compiling is done once per mapping change; shown for scale.
void BM_CompileShooter(benchmark::State& bench) {
    const GamepadMapping mapping = GamepadMapping::defaults();
    for (auto _ : bench) {
        CompiledPadMapping compiled(mapping);
        benchmark::DoNotOptimize(compiled);
    }
}
BENCHMARK(BM_CompileShooter);

}  // namespace

BENCHMARK_MAIN();
