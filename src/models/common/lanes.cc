#include "models/common/lanes.h"

#include <cstring>

#include "core/kernels.h"
#include "core/vec.h"
#include "models/common/sinkhorn.h"

namespace pinnet::models {

void lane_pre_mix(const LaneGains& w, uint64_t layer, size_t n, size_t d, const float* p,
                  const float* stream, float* gates, float* x) {
  const uint64_t favoured = layer % n;
  for (size_t i = 0; i < n; ++i) {
    const float beta = i == favoured ? 4.0f : -4.0f;
    gates[i] = core::sigmoid(p[i] * w.a_pre + w.b_pre[i] + beta);
  }
  vec_lane_combine(gates, stream, n, d, x);
}

bool lane_post_mix_needs_copy(size_t n) { return n > kMaxFusedLanes; }

void lane_post_mix(const LaneGains& w, uint64_t layer, size_t n, size_t d, const float* q,
                   float* m, const float* delta, float* stream, float* old) {
  const uint64_t favoured = layer % n;
  for (size_t k = 0; k < n * n; ++k) m[k] = m[k] * w.a_res + w.b_res[k];
  lane_sinkhorn(m, n);
  auto gain = [&](size_t i) {
    const float gamma = i == favoured ? 0.0f : -4.0f;
    return 2.0f * core::sigmoid(q[i] * w.a_post + w.b_post[i] + gamma);
  };
  if (!lane_post_mix_needs_copy(n)) {
    float h[kMaxFusedLanes];
    for (size_t i = 0; i < n; ++i) h[i] = gain(i);
    vec_lane_mix(m, h, delta, n, d, stream);  // in place, column block by column block
    return;
  }
  std::memcpy(old, stream, n * d * sizeof(float));
  for (size_t i = 0; i < n; ++i) {
    const float h = gain(i);
    float* out = stream + i * d;
    for (size_t j = 0; j < d; ++j) out[j] = 0.0f;
    for (size_t k = 0; k < n; ++k) axpy(m[i * n + k], old + k * d, out, d);
    axpy(h, delta, out, d);
  }
}

void lane_mean(const float* stream, size_t n, size_t d, float* y) {
  std::memcpy(y, stream, d * sizeof(float));
  for (size_t i = 1; i < n; ++i) {
    const float* lane = stream + i * d;
    for (size_t j = 0; j < d; ++j) y[j] += lane[j];
  }
  const float lanes = static_cast<float>(n);
  for (size_t j = 0; j < d; ++j) y[j] /= lanes;
}

}  // namespace pinnet::models
