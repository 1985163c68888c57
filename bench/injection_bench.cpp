// Costs of the injector's per-packet path into a sink that discards: a key
// event, a pointer move (with display clamping), and a gamepad update that
// presses or releases a mapped key.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>

#include "core/base/clock.hpp"
#include "core/gamepad/compiled_pad_mapping.hpp"
#include "host/injection/input_injector.hpp"
#include "host/mapping/pad_mapping_runtime.hpp"

namespace {

using namespace tarvel;
using wire::InputEvent;
using wire::InputPacket;

std::shared_ptr<injection::InputInjector> makeInjector() {
    auto runtime =
        std::make_shared<mapping::PadMappingRuntime>(gamepad::CompiledPadMapping::defaults());
    return injection::InputInjector::create(std::make_shared<injection::NullEventSink>(),
                                               runtime, base::SystemClock::shared());
}

void BM_HandleKey(benchmark::State& bench) {
    auto injector = makeInjector();
    const InputPacket down(1, InputEvent::Key{0x04, wire::KeyState::down, false});
    const InputPacket up(2, InputEvent::Key{0x04, wire::KeyState::up, false});
    for (auto _ : bench) {
        injector->handle(down);
        injector->handle(up);
    }
    bench.SetItemsProcessed(bench.iterations() * 2);
}
BENCHMARK(BM_HandleKey);

void BM_HandleMove(benchmark::State& bench) {
    auto injector = makeInjector();
    const InputPacket right(1, InputEvent::MouseMove{3.5F, 1});
    const InputPacket left(2, InputEvent::MouseMove{-3.5F, -1});
    for (auto _ : bench) {
        injector->handle(right);
        injector->handle(left);
    }
    bench.SetItemsProcessed(bench.iterations() * 2);
}
BENCHMARK(BM_HandleMove);

// Button A of the shooter preset: Space down, then up.
void BM_HandlePadButtons(benchmark::State& bench) {
    auto injector = makeInjector();
    const InputPacket press(1, InputEvent::GamepadButtons{0x001, 0, 0, 0});
    const InputPacket release(2, InputEvent::GamepadButtons{0, 0, 0, 0});
    for (auto _ : bench) {
        injector->handle(press);
        injector->handle(release);
    }
    bench.SetItemsProcessed(bench.iterations() * 2);
}
BENCHMARK(BM_HandlePadButtons);

// A stick frame that changes the output velocity but no key (no queue, so no timer).
void BM_HandlePadSticks(benchmark::State& bench) {
    auto injector = makeInjector();
    const InputPacket a(1, InputEvent::GamepadSticks{0, 0, 20000, 3000});
    const InputPacket b(2, InputEvent::GamepadSticks{0, 0, 21000, -3000});
    for (auto _ : bench) {
        injector->handle(a);
        injector->handle(b);
    }
    bench.SetItemsProcessed(bench.iterations() * 2);
}
BENCHMARK(BM_HandlePadSticks);

}  // namespace

BENCHMARK_MAIN();
