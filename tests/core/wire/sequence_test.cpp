#include "core/wire/sequence.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <set>
#include <thread>
#include <type_traits>
#include <vector>

namespace tarvel::wire {
namespace {

constexpr std::uint64_t maxSeq = std::numeric_limits<std::uint64_t>::max();

// Owns nothing on the heap, so copying or accepting cannot allocate.
static_assert(std::is_trivially_copyable_v<SequenceWindow>);
static_assert(std::is_trivially_copyable_v<MoveSequenceGate>);

// The window's rule stated directly, with unbounded memory: accept numbers
// never seen that lie above highest - 512.
class ReferenceWindow {
  public:
    bool accept(std::uint64_t seq) {
        if (seq == 0) {
            return false;
        }
        if (highest_ >= SequenceWindow::size && seq <= highest_ - SequenceWindow::size) {
            return false;
        }
        if (!seen_.insert(seq).second) {
            return false;
        }
        highest_ = std::max(highest_, seq);
        return true;
    }

  private:
    std::set<std::uint64_t> seen_;
    std::uint64_t highest_ = 0;
};

// Every edge swept both ways: down through the bottom of the window, back up
// through the replays and past the highest (reusing every ring slot), from
// several starting points.
TEST(SequenceWindow, agreesWithTheReferenceOnSweepsAcrossTheEdges) {
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
    EXPECT_FALSE(SequenceWindow().accept(0));
    SequenceWindow top;
    ASSERT_TRUE(top.accept(maxSeq));
    EXPECT_TRUE(top.accept(maxSeq - 511));
    EXPECT_FALSE(top.accept(maxSeq - 512));
    EXPECT_FALSE(top.accept(maxSeq));
}

TEST(SequenceWindow, agreesWithTheReferenceOnRandomTraffic) {
    std::mt19937_64 rng(20240601);
    for (int run = 0; run < 20; ++run) {
        SequenceWindow window;
        ReferenceWindow reference;
        // Odd runs near the top of the range; 5000 steps cannot climb 10 million.
        const std::uint64_t base = run % 2 == 0 ? 1 : maxSeq - 10000000;
        // Mostly forward with reordering, duplicates, stale numbers and jumps.
        std::uniform_int_distribution<int> action(0, 99);
        std::uniform_int_distribution<std::uint64_t> near(0, 1200);
        std::uint64_t cursor = base;
        for (int i = 0; i < 5000; ++i) {
            const int a = action(rng);
            std::uint64_t seq;
            if (a < 60) {
                seq = ++cursor;
            } else if (a < 90) {
                const std::uint64_t back = near(rng);
                seq = cursor > back ? cursor - back : 0;
            } else if (a < 98) {
                seq = cursor + near(rng);
            } else {
                cursor += 400 + near(rng);
                seq = cursor;
            }
            ASSERT_EQ(window.accept(seq), reference.accept(seq)) << "run " << run << " seq " << seq;
        }
    }
}

TEST(MoveSequenceGate, passesOnlyStrictlyIncreasingNonZeroNumbers) {
    MoveSequenceGate gate;
    EXPECT_FALSE(gate.accept(0));
    EXPECT_TRUE(gate.accept(3));
    EXPECT_FALSE(gate.accept(3));
    EXPECT_FALSE(gate.accept(2));
    EXPECT_TRUE(gate.accept(10));
    EXPECT_TRUE(gate.accept(maxSeq));
    EXPECT_FALSE(gate.accept(maxSeq));
}

TEST(SequenceGenerator, concurrentCallersGetEveryNumberFromOneExactlyOnce) {
    constexpr int threads = 8;
    constexpr int perThread = 5000;
    SequenceGenerator generator;
    std::vector<std::vector<std::uint64_t>> drawn(threads);
    {
        std::vector<std::jthread> workers;
        for (int t = 0; t < threads; ++t) {
            workers.emplace_back([&generator, &drawn, t] {
                drawn[t].reserve(perThread);
                for (int i = 0; i < perThread; ++i) {
                    drawn[t].push_back(generator.next());
                }
            });
        }
    }
    std::vector<std::uint64_t> all;
    for (const auto& list : drawn) {
        EXPECT_TRUE(std::is_sorted(list.begin(), list.end()));
        all.insert(all.end(), list.begin(), list.end());
    }
    std::sort(all.begin(), all.end());
    ASSERT_EQ(all.size(), static_cast<std::size_t>(threads * perThread));
    for (std::size_t i = 0; i < all.size(); ++i) {
        ASSERT_EQ(all[i], i + 1);
    }
}

}  // namespace
}  // namespace tarvel::wire
