#include "runners/prefix_cache.h"

#include <gtest/gtest.h>

#include <numeric>

namespace pinnet::runners {
namespace {

TEST(PrefixCache, CutsLeaveWholePieces) {
  struct Case {
    SplitRule rule;
    uint64_t length, fixed, from;
    std::vector<uint64_t> cuts;
  };
  const std::vector<Case> cases = {
      // Before the fixed part for any query, and at its end when the rest is whole.
      {{1, 32}, 700, 640, 0, {608, 640}},
      {{1, 32}, 660, 640, 0, {608}},       // a short query: only the cut any query can use
      {{1, 32}, 700, 640, 608, {640}},     // started from the first cut
      {{1, 32}, 700, 640, 640, {}},        // started from the second
      {{1, 32}, 700, 0, 0, {667}},         // no fixed part known: all but the last id
      {{1, 32}, 63, 40, 0, {}},            // too short for two pieces
      {{1, 32}, 100, 40, 0, {40}},         // too short a fixed part for the cut before it
      {{1, 2}, 700, 640, 0, {638, 640}},   // int8 products: pieces of two
      {{128, 1}, 700, 640, 0, {512, 640}},  // tiles: both cuts on multiples of 128
      {{128, 1}, 700, 600, 0, {512}},
      {{128, 1}, 700, 600, 512, {}},
      {{128, 1}, 700, 100, 0, {}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(keep_points(c.rule, c.length, c.fixed, c.from), c.cuts)
        << c.rule.align << "/" << c.rule.min_piece << " " << c.length << " " << c.fixed << " " << c.from;
}

TEST(PrefixCache, LongestKeptPrefixOfTheModeWithinTheBound) {
  std::vector<uint32_t> ids(100);
  std::iota(ids.begin(), ids.end(), 7u);
  PrefixCache<int> cache(10000);
  auto keep = [&](uint32_t mode, size_t n, int state) {
    cache.put(mode, std::span<const uint32_t>(ids).first(n), std::make_shared<const int>(state), 100);
  };
  keep(0, 40, 40);
  keep(0, 60, 60);
  keep(1, 80, 80);
  EXPECT_EQ(*cache.find(0, ids, 99).state, 60);
  EXPECT_EQ(cache.find(0, ids, 59).length, 40u);  // 60 would leave too short a rest
  EXPECT_EQ(*cache.find(1, ids, 99).state, 80);
  EXPECT_FALSE(cache.find(2, ids, 99).state);
  std::vector<uint32_t> other = ids;
  other[50] = 0;  // shares 40 ids, not 60
  EXPECT_EQ(cache.find(0, other, 99).length, 40u);
  other[0] = 0;
  EXPECT_FALSE(cache.find(0, other, 99).state);
  keep(0, 60, 61);  // kept already: unchanged
  EXPECT_EQ(*cache.find(0, ids, 99).state, 60);
  const PrefixCacheInfo info = cache.info();
  EXPECT_EQ(info.entries, 3u);
  EXPECT_EQ(info.hits, 5u);
  EXPECT_EQ(info.misses, 2u);
}

TEST(PrefixCache, BoundedInBytesLeastRecentFirst) {
  std::vector<uint32_t> ids(10, 1);
  // An entry costs its state's bytes, 4 a id and 128 more: 1000 + 4·n + 128.
  PrefixCache<int> cache(3500);
  for (size_t n : {2, 3, 4})
    cache.put(0, std::span<const uint32_t>(ids).first(n), std::make_shared<const int>(int(n)), 1000);
  EXPECT_EQ(cache.info().entries, 3u);
  EXPECT_EQ(cache.find(0, ids, 2).length, 2u);  // the oldest becomes the most recent
  cache.put(0, std::span<const uint32_t>(ids).first(5), std::make_shared<const int>(5), 1000);
  EXPECT_EQ(cache.info().entries, 3u);
  EXPECT_LE(cache.info().bytes, 3500u);
  EXPECT_EQ(cache.find(0, ids, 3).length, 2u);  // 3 went: it was the least recent
  cache.put(0, ids, std::make_shared<const int>(10), 4000);  // larger than the bound: not kept
  EXPECT_EQ(cache.find(0, ids, 10).length, 5u);
  cache.set_capacity(1200);
  EXPECT_EQ(cache.info().entries, 1u);
  cache.clear();
  EXPECT_EQ(cache.info().bytes, 0u);
  EXPECT_FALSE(cache.find(0, ids, 10).state);
  cache.set_capacity(0);
  EXPECT_FALSE(cache.enabled());
}

}  // namespace
}  // namespace pinnet::runners
