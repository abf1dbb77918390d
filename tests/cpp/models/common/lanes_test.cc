// The shared lane mixes against their definitions in double precision, for
// lane counts on both sides of the fused post-mix.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "core/vec.h"
#include "models/common/lanes.h"
#include "models/common/sinkhorn.h"

namespace pinnet::models {
namespace {

double sig(double x) { return 1.0 / (1.0 + std::exp(-x)); }

struct Lanes {
  std::vector<float> b_pre, b_post, b_res, stream, logits_pre, logits_post, logits_res, delta;
  LaneGains gains;
};

Lanes random_lanes(size_t n, size_t d, std::mt19937& rng) {
  std::normal_distribution<float> nd(0.0f, 1.0f);
  Lanes l;
  auto fill = [&](std::vector<float>& v, size_t k) {
    v.resize(k);
    for (float& x : v) x = nd(rng);
  };
  fill(l.b_pre, n), fill(l.b_post, n), fill(l.b_res, n * n), fill(l.stream, n * d);
  fill(l.logits_pre, n), fill(l.logits_post, n), fill(l.logits_res, n * n), fill(l.delta, d);
  l.gains = {0.7f, -0.4f, 1.3f, l.b_pre.data(), l.b_post.data(), l.b_res.data()};
  return l;
}

TEST(Lanes, MixesMatchTheirDefinitions) {
  std::mt19937 rng(5);
  for (size_t n : {1, 2, 3, 4, 8, 9}) {
    for (size_t d : {8, 13, 40}) {
      for (uint64_t layer : {0, 5}) {
        Lanes l = random_lanes(n, d, rng);
        const size_t favoured = layer % n;
        // Pre-mix: gates, then the gated sum of the lanes.
        std::vector<float> gates(n), x(d);
        lane_pre_mix(l.gains, layer, n, d, l.logits_pre.data(), l.stream.data(), gates.data(), x.data());
        for (size_t j = 0; j < d; ++j) {
          double want = 0;
          for (size_t i = 0; i < n; ++i)
            want += sig(double(l.logits_pre[i]) * l.gains.a_pre + l.b_pre[i] + (i == favoured ? 4 : -4)) *
                    l.stream[i * d + j];
          ASSERT_NEAR(x[j], want, 1e-5) << n << " lanes, column " << j;
        }
        // Post-mix: the Sinkhorn matrix of the scaled res logits mixes the
        // lanes, and the gains spread delta.
        std::vector<float> mix(n * n);
        for (size_t k = 0; k < n * n; ++k) mix[k] = l.logits_res[k] * l.gains.a_res + l.b_res[k];
        lane_sinkhorn(mix.data(), n);
        std::vector<float> stream = l.stream, m = l.logits_res, old(n * d);
        lane_post_mix(l.gains, layer, n, d, l.logits_post.data(), m.data(), l.delta.data(), stream.data(),
                      lane_post_mix_needs_copy(n) ? old.data() : nullptr);
        EXPECT_EQ(lane_post_mix_needs_copy(n), n > kMaxFusedLanes);
        for (size_t i = 0; i < n; ++i) {
          const double h = 2 * sig(double(l.logits_post[i]) * l.gains.a_post + l.b_post[i] + (i == favoured ? 0 : -4));
          for (size_t j = 0; j < d; ++j) {
            double want = h * l.delta[j];
            for (size_t k = 0; k < n; ++k) want += double(mix[i * n + k]) * l.stream[k * d + j];
            ASSERT_NEAR(stream[i * d + j], want, 1e-5) << n << " lanes, lane " << i << ", column " << j;
          }
        }
        // Mean of the lanes.
        std::vector<float> y(d);
        lane_mean(l.stream.data(), n, d, y.data());
        for (size_t j = 0; j < d; ++j) {
          double want = 0;
          for (size_t i = 0; i < n; ++i) want += l.stream[i * d + j];
          ASSERT_NEAR(y[j], want / n, 1e-6);
        }
      }
    }
  }
}

}  // namespace
}  // namespace pinnet::models
