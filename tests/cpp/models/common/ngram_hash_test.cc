// The shared n-gram row lookup: which tokens a row depends on, and how the
// tables of a site are seeded.
#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <vector>

#include "models/common/ngram_hash.h"

namespace pinnet::models {
namespace {

TEST(NgramHash, RowReadsOnlyTheLastOrderTokens) {
  const std::vector<uint32_t> a = {3, 9, 4, 1, 7}, b = {8, 2, 4, 1, 7};
  for (uint64_t order : {1, 2, 3}) {
    EXPECT_EQ(ngram_row(5, a, 4, order, 1009), ngram_row(5, b, 4, order, 1009)) << order;
    EXPECT_LT(ngram_row(5, a, 4, order, 1009), 1009u);
  }
  // The fourth token back differs: order 4 tells the two apart (for these
  // tokens and seed), and so does a different seed.
  EXPECT_NE(ngram_row(5, a, 4, 4, 1009), ngram_row(5, b, 4, 4, 1009));
  EXPECT_NE(ngram_row(5, a, 4, 2, 1009), ngram_row(6, a, 4, 2, 1009));
  // An n-gram reaching before the first token takes a round per missing one,
  // so it is not the shorter n-gram's row.
  EXPECT_NE(ngram_row(5, a, 1, 3, 1009), ngram_row(5, a, 1, 2, 1009));
}

TEST(NgramHash, SeedsNumberTheTables) {
  NgramTables t;
  t.count = 6;
  t.per_order = 3;
  t.seed_stride = 3;  // the tables' own numbering, from 1
  for (uint64_t tau = 0; tau < t.count; ++tau) EXPECT_EQ(ngram_seed(t, tau), tau + 1);
  t.seed_stride = 5;  // i + 5·f + 1
  EXPECT_EQ(ngram_seed(t, 2), 3u);
  EXPECT_EQ(ngram_seed(t, 3), 6u);
  EXPECT_EQ(ngram_seed(t, 5), 8u);
  // Every table of a site gets its own seed.
  std::set<uint32_t> seeds;
  for (uint64_t tau = 0; tau < t.count; ++tau) seeds.insert(ngram_seed(t, tau));
  EXPECT_EQ(seeds.size(), t.count);
}

}  // namespace
}  // namespace pinnet::models
