// Counts every heap allocation in this test program, to show that the
// steady state of pointer moves, keys and pad buttons allocates nothing.
#include <gtest/gtest.h>
#include <atomic>
#include <cstdlib>
#include <new>
#include "tests/host/injection/injector_harness.hpp"

static std::atomic<long> allocations{0};

// Over-aligned allocations are not counted.
void* operator new(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace tarvel::injection::test {
namespace {

TEST(InjectorAllocation, steadyMovesKeysAndPadButtonsAllocateNothing) {
    {  // the counter itself must see allocations
        const long before = allocations.load();
        auto text = std::make_unique<std::string>(100, 'x');
        EXPECT_GT(allocations.load() - before, 0);
    }
    auto clock = std::make_shared<testing::FakeClock>();
    auto runtime =
        std::make_shared<mapping::PadMappingRuntime>(gamepad::CompiledPadMapping::defaults());
    auto injector = InputInjector::create(std::make_shared<NullEventSink>(), runtime, clock);
    std::uint64_t seq = 0;
    const auto round = [&] {
        for (float d : {3.5F, -3.5F}) {
            injector->stampPacketTime();
            injector->handle(InputPacket(++seq, InputEvent::MouseMove{d, 1}));
        }
        for (KeyState state : {KeyState::down, KeyState::repeat, KeyState::up}) {
            injector->handle(InputPacket(++seq, InputEvent::Key{hidA, state, false}));
            injector->handle(InputPacket(++seq, InputEvent::Key{hidLeftShift, state, false}));
        }
        for (std::uint32_t buttons : {0x001U, 0x000U}) {
            injector->handle(InputPacket(++seq, InputEvent::GamepadButtons{buttons, 0, 0, 0}));
        }
        clock->advance(30ms);  // crosses the display cache and virtual position lifetimes
    };
    round();  // first use builds the shared key table
    const long before = allocations.load();
    for (int i = 0; i < 200; ++i) round();
    EXPECT_EQ(allocations.load() - before, 0);
}

}  // namespace
}  // namespace tarvel::injection::test
