#include "models/gen3/feed_forward.h"

#include <algorithm>
#include <cmath>

#include "core/kernels.h"
#include "core/vec.h"

namespace pinnet::gen3 {

size_t feed_forward_scratch(const FeedForwardShape& s, uint64_t experts) {
  return 3 * s.n + experts;
}

void two_factor(const float* v, const float* a, const float* b, size_t r, size_t c, float* mid,
                float* out) {
  models::vec_two_factor(v, a, b, r, c, mid, out);
}

void feed_forward(const FeedForwardWeights& w, const FeedForwardShape& s,
                  std::span<const uint32_t> perm_a, std::span<const uint32_t> perm_b,
                  const float* u, float* f, float* scratch) {
  const size_t n = s.n, d = s.d, E = static_cast<size_t>(w.experts);
  float* v = scratch;
  float* t = scratch + n;
  float* mid = scratch + 2 * n;
  float* probs = scratch + 3 * n;

  std::copy(u, u + d, v);
  std::fill(v + d, v + n, 0.0f);
  for (size_t i = 0; i < n; ++i) v[i] *= w.in_scale[i];

  // Router softmax over the mixture entries.
  for (size_t e = 0; e < E; ++e) probs[e] = models::dot(w.router.data() + e * d, u, d);
  if (E > 0) core::masked_softmax(std::span<float>(probs, E));

  two_factor(v, w.a1.data(), w.b1.data(), s.r, s.c, mid, t);
  if (perm_a.empty()) {
    std::copy(t, t + n, v);
  } else {
    for (size_t i = 0; i < n; ++i) v[i] = t[perm_a[i]];
  }
  // Activation with the mixture diagonal: mix = 1 + Σ_e p_e·scales_e
  // (entries with a zero weight skipped), built in `mid` before it is reused.
  std::fill(mid, mid + n, 1.0f);
  for (size_t e = 0; e < E; ++e)
    if (probs[e] != 0.0f) models::axpy(probs[e], w.expert_scales.data() + e * n, mid, n);
  models::vec_gated_silu(v, w.gate_scale.data(), mid, w.gate_bias.data(), n);
  two_factor(v, w.a2.data(), w.b2.data(), s.r, s.c, mid, t);
  if (perm_b.empty()) {
    std::copy(t, t + n, v);
  } else {
    for (size_t i = 0; i < n; ++i) v[i] = t[perm_b[i]];
  }
  for (size_t i = 0; i < n; ++i) v[i] *= w.mid_scale[i];
  two_factor(v, w.a3.data(), w.b3.data(), s.r, s.c, mid, t);
  for (size_t i = 0; i < d; ++i) f[i] = t[i] * w.out_scale[i];
}

}  // namespace pinnet::gen3
