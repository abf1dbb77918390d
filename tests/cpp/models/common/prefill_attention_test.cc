// The shared prefill attention against plain causal softmax attention in
// double precision: windows, a tile that starts past position 0, skipped
// leading rows, keys absent before the first one read, grouped heads and
// value heads narrower than key heads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "models/common/kv_ring.h"
#include "models/common/prefill_attention.h"

namespace pinnet::models {
namespace {

// out (vd floats) = softmax over t in [lo, p] of q·k_t / sqrt(hd), weighting v_t.
std::vector<double> plain_attention(const float* q, const std::vector<float>& keys,
                                    const std::vector<float>& values, size_t kvh, size_t g,
                                    size_t hd, size_t vd, uint64_t lo, uint64_t p) {
  std::vector<double> e;
  double top = -INFINITY;
  for (uint64_t t = lo; t <= p; ++t) {
    double s = 0;
    for (size_t i = 0; i < hd; ++i) s += double(q[i]) * keys[(t * kvh + g) * hd + i];
    e.push_back(s / std::sqrt(double(hd)));
    top = std::max(top, e.back());
  }
  double sum = 0;
  for (double& x : e) sum += x = std::exp(x - top);
  std::vector<double> out(vd, 0.0);
  for (uint64_t t = lo; t <= p; ++t)
    for (size_t i = 0; i < vd; ++i) out[i] += e[t - lo] / sum * values[(t * kvh + g) * vd + i];
  return out;
}

struct Case {
  size_t kvh, group, hd, vd;
  uint64_t p0;
  size_t rows, first;
  uint64_t slots, window;
  bool own_scores;
  bool keys_from_first_read = false;  // keys before the first row's window are NaN
};

TEST(PrefillAttention, MatchesPlainCausalAttention) {
  const Case cases[] = {
      {1, 1, 8, 8, 0, 1, 0, 64, 0, false},     // one row
      {2, 4, 16, 12, 0, 37, 0, 64, 0, true},   // runs of 16 and a tail, own scratch
      {2, 2, 8, 8, 21, 40, 0, 61, 0, false},   // a tile past position 0
      {1, 3, 8, 6, 0, 50, 19, 50, 7, true},    // a window; rows before 19 skipped
      {2, 2, 16, 16, 5, 33, 0, 64, 9, false},  // a window on a later tile
      {3, 1, 8, 8, 0, 45, 0, 20, 0, true},     // slots fewer than the positions
      {2, 2, 8, 8, 30, 20, 0, 64, 8, true, true},
  };
  std::mt19937 rng(3);
  std::normal_distribution<float> nd(0.0f, 1.0f);
  for (const Case& c : cases) {
    const size_t total = c.p0 + c.rows, heads = c.kvh * c.group;
    std::vector<float> keys(total * c.kvh * c.hd), values(total * c.kvh * c.vd);
    std::vector<float> q(c.rows * heads * c.hd);
    for (auto* v : {&keys, &values, &q})
      for (float& x : *v) x = nd(rng);
    const uint64_t first_key = c.keys_from_first_read ? window_start(c.p0, c.slots, c.window) : 0;
    std::fill(keys.begin(), keys.begin() + first_key * c.kvh * c.hd, NAN);
    const float kUnwritten = 12345.0f;
    std::vector<float> o(c.rows * heads * c.vd, kUnwritten), kt;
    PrefillAttention a{.keys = keys.data(), .values = values.data(), .kv_heads = c.kvh,
                       .group = c.group, .hd = c.hd, .vd = c.vd, .q = q.data(), .o = o.data(),
                       .p0 = c.p0, .rows = c.rows, .first = c.first, .slots = c.slots,
                       .window = c.window, .first_key = first_key};
    const size_t items = c.kvh * ((c.rows + kPrefillRun - 1) / kPrefillRun);
    std::vector<float> scores(c.own_scores ? 0 : items * prefill_scores_per_item(a));
    attend_prefill(a, kt, c.own_scores ? nullptr : scores.data());
    for (size_t i = 0; i < c.rows; ++i) {
      const uint64_t p = c.p0 + i;
      const uint64_t lo = window_start(p, c.slots, c.window);
      for (size_t h = 0; h < heads; ++h) {
        const float* out = o.data() + (i * heads + h) * c.vd;
        if (i < c.first) {
          EXPECT_EQ(out[0], kUnwritten) << "row " << i;
          continue;
        }
        const std::vector<double> want = plain_attention(q.data() + (i * heads + h) * c.hd, keys, values,
                                                         c.kvh, h / c.group, c.hd, c.vd, lo, p);
        for (size_t e = 0; e < c.vd; ++e)
          ASSERT_NEAR(out[e], want[e], 2e-5) << "p0 " << c.p0 << " row " << i << " head " << h;
      }
    }
  }
}

}  // namespace
}  // namespace pinnet::models
