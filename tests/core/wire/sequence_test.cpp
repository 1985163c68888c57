#include "core/wire/sequence.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <thread>

namespace tarvel::wire {
namespace {

constexpr std::uint64_t maxSeq = std::numeric_limits<std::uint64_t>::max();

// Owns nothing on the heap, so copying or accepting cannot allocate.
static_assert(std::is_trivially_copyable_v<SequenceWindow>);
static_assert(std::is_trivially_copyable_v<MoveSequenceGate>);

// The window's rule stated directly, with unbounded memory: accept numbers
// never seen that lie above highest - 512.
struct ReferenceWindow {
    bool accept(std::uint64_t seq) {
        const bool stale =
            highest_ >= SequenceWindow::size && seq <= highest_ - SequenceWindow::size;
        if (seq == 0 || stale || !seen_.insert(seq).second) {
            return false;
        }
        highest_ = std::max(highest_, seq);
        return true;
    }
    std::set<std::uint64_t> seen_;
    std::uint64_t highest_ = 0;
};

// Sweeps down through the window's bottom, then up through the replays and past
// the highest (reusing every ring slot), from several starting points.
TEST(SequenceWindow, agreesWithTheReferenceOnEdgeSweepsAndRandomTraffic) {
    for (const std::uint64_t highest :
         std::initializer_list<std::uint64_t>{511, 512, 513, 1000, 1000000, maxSeq - 601}) {
        SequenceWindow window;
        ReferenceWindow reference;
        std::vector<std::uint64_t> script{highest};
        for (std::uint64_t seq = highest - 1; seq + 600 > highest && seq >= 1; --seq) {
            script.push_back(seq);
        }
        for (std::uint64_t seq = highest > 600 ? highest - 600 : 1; seq <= highest + 600; ++seq) {
            script.push_back(seq);
        }
        for (std::uint64_t seq : script) {
            ASSERT_EQ(window.accept(seq), reference.accept(seq)) << highest << ": " << seq;
        }
    }
    SequenceWindow top;
    EXPECT_FALSE(top.accept(0));
    ASSERT_TRUE(top.accept(maxSeq));
    EXPECT_TRUE(top.accept(maxSeq - 511));
    EXPECT_FALSE(top.accept(maxSeq - 512));
    EXPECT_FALSE(top.accept(maxSeq));
    // Random traffic: mostly forward with reordering, duplicates, stale numbers
    // and jumps; odd runs near the top, which 5000 steps cannot climb past.
    std::mt19937_64 rng(20240601);
    std::uniform_int_distribution<int> action(0, 99);
    std::uniform_int_distribution<std::uint64_t> near(0, 1200);
    for (int run = 0; run < 20; ++run) {
        SequenceWindow window;
        ReferenceWindow reference;
        std::uint64_t cursor = run % 2 == 0 ? 1 : maxSeq - 10000000;
        for (int i = 0; i < 5000; ++i) {
            const int a = action(rng);
            const std::uint64_t step = a < 60 ? 0 : near(rng);
            std::uint64_t seq = a < 60   ? ++cursor
                                : a < 90 ? cursor - std::min(cursor, step)
                                         : cursor + step;
            if (a >= 98) {
                seq = cursor += 400 + step;
            }
            ASSERT_EQ(window.accept(seq), reference.accept(seq)) << "run " << run << " seq " << seq;
        }
    }
}

TEST(SequenceGenerator, concurrentCallersGetEveryNumberFromOneExactlyOnce) {
    SequenceGenerator generator;
    std::vector<std::uint64_t> drawn(8 * 5000);
    {
        std::vector<std::jthread> workers;
        for (std::size_t start = 0; start < drawn.size(); start += 5000) {
            workers.emplace_back([&generator, &drawn, start] {
                std::generate_n(&drawn[start], 5000, [&generator] { return generator.next(); });
            });
        }
    }
    std::sort(drawn.begin(), drawn.end());
    std::vector<std::uint64_t> expected(drawn.size());
    std::iota(expected.begin(), expected.end(), 1);
    EXPECT_TRUE(drawn == expected);
}

}  // namespace
}  // namespace tarvel::wire
