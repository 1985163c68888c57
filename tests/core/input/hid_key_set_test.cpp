#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <vector>

#include "core/input/hid_key_set.hpp"

namespace tarvel::input {
namespace {

using Usages = std::vector<std::uint16_t>;

TEST(HIDKeySet, wordEdgesLandOnTheirBitsAndUsagesFrom256AreIgnored) {
    HIDKeySet set{0, 63, 64, 255};
    EXPECT_EQ(set.w0(), 0x8000000000000001ULL);
    EXPECT_EQ(set.w1(), 1u);
    EXPECT_EQ(set.w2(), 0u);
    EXPECT_EQ(set.w3(), 0x8000000000000000ULL);
    const HIDKeySet before = set;
    set.insert(256);
    set.insert(256 + 4);
    EXPECT_EQ(set, before);
    EXPECT_FALSE(set.contains(256));
    EXPECT_EQ(set.count(), 4);
}

TEST(HIDKeySet, membersComeOutAscendingThroughUnionSubtractionAndRemoval) {
    const HIDKeySet held{0x04, 0xE1, 0x16, 0x52, 0x04};
    const HIDKeySet next{0x16, 0xE0, 0x52};
    EXPECT_EQ(held.subtracting(next).sorted(), (Usages{0x04, 0xE1}));
    EXPECT_EQ(next.subtracting(held).sorted(), (Usages{0xE0}));
    EXPECT_TRUE(held.subtracting(held).isEmpty());
    HIDKeySet both = held;
    both.formUnion(next);
    both.remove(0x16);
    both.remove(256 + 0x52);  // must not alias 0x52
    EXPECT_EQ(both.sorted(), (Usages{0x04, 0x52, 0xE0, 0xE1}));
    Usages visited;
    both.forEach([&visited](std::uint16_t usage) { visited.push_back(usage); });
    EXPECT_EQ(visited, both.sorted());
}

TEST(HIDKeySet, equalSetsHashAlikeWhateverTheInsertOrder) {
    const std::hash<HIDKeySet> hash;
    EXPECT_EQ(hash(HIDKeySet{1, 100, 200}), hash(HIDKeySet{200, 100, 1}));
    EXPECT_NE(HIDKeySet({1, 100}), HIDKeySet({1, 100, 200}));
    // The same bit in another word is another set and, here, another hash.
    EXPECT_NE(hash(HIDKeySet{0}), hash(HIDKeySet{64}));
}

}  // namespace
}  // namespace tarvel::input
