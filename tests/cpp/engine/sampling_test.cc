#include "engine/sampling.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace pinnet::engine {
namespace {

TEST(SplitMix64, MatchesPublishedSequence) {
  // The first outputs of splitmix64 from state 0, as published with the
  // generator.
  SplitMix64 rng(0);
  EXPECT_EQ(rng.next_u64(), 0xE220A8397B1DCDAFull);
  EXPECT_EQ(rng.next_u64(), 0x6E789E6AA1B965F4ull);
  EXPECT_EQ(rng.next_u64(), 0x06C45D188009454Full);
}

TEST(SplitMix64, GenerationSeedingDiffers) {
  SplitMix64 a = SplitMix64::gen3(42), b = SplitMix64::gen2(42);
  SplitMix64 c(42 + 0x9E3779B97F4A7C15ull);
  EXPECT_EQ(b.next_u64(), c.next_u64());
  EXPECT_NE(a.next_u64(), SplitMix64::gen2(42).next_u64());
  // Unit draws keep 53 bits and stay below one.
  SplitMix64 d(~0ull);
  for (int i = 0; i < 1000; ++i) {
    double u = d.next_unit();
    ASSERT_GE(u, 0.0);
    ASSERT_LT(u, 1.0);
  }
}

TEST(GreedyChoice, FirstMaximumAndNaN) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_EQ(greedy_choice(std::vector<float>{1.0f, 3.0f, 3.0f}), 1u);
  EXPECT_EQ(greedy_choice(std::vector<float>{}), 0u);
  EXPECT_EQ(greedy_choice(std::vector<float>{nan, 2.0f, nan, 5.0f, nan}), 3u);
  EXPECT_EQ(greedy_choice(std::vector<float>{nan, nan}), 0u);
  EXPECT_EQ(greedy_choice(std::vector<float>{-inf, -inf, -1e30f}), 2u);
  EXPECT_EQ(greedy_choice(std::vector<float>{-inf, -inf}), 0u);
}

TEST(Sample, ReproduciblePerSeedAndFollowsTheWeights) {
  std::vector<float> logits = {0.0f, std::log(3.0f), -std::numeric_limits<float>::infinity()};
  SplitMix64 a(7), b(7);
  int ones = 0;
  const int draws = 40000;
  for (int i = 0; i < draws; ++i) {
    uint32_t x = sample(logits, 1.0f, a);
    ASSERT_EQ(x, sample(logits, 1.0f, b));
    ASSERT_LT(x, 2u);  // a weight of exactly zero is never drawn
    ones += x == 1;
  }
  EXPECT_NEAR(static_cast<double>(ones) / draws, 0.75, 0.01);
}

TEST(Sample, PrefixScanAgainstDirectDraw) {
  // The chosen id is the first i whose cumulative weight reaches u * total.
  std::vector<float> logits = {0.5f, -1.0f, 2.0f, 0.0f, 1.5f};
  const float inv_temp = 1.0f / 0.7f;
  for (uint64_t seed = 0; seed < 200; ++seed) {
    SplitMix64 rng(seed), shadow(seed);
    uint32_t got = sample(logits, inv_temp, rng);
    double u = shadow.next_unit();
    std::vector<double> w;
    double total = 0;
    for (float v : logits) {
      w.push_back(std::exp((v - 2.0f) * inv_temp));
      total += w.back();
    }
    double r = u * total;
    uint32_t want = static_cast<uint32_t>(logits.size() - 1);
    for (size_t i = 0; i < w.size(); ++i) {
      r -= w[i];
      if (r <= 0) {
        want = static_cast<uint32_t>(i);
        break;
      }
    }
    ASSERT_EQ(got, want) << seed;
    ASSERT_EQ(rng.state(), shadow.state());  // exactly one draw per token
  }
}

}  // namespace
}  // namespace pinnet::engine
