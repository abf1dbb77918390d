#include "models/gen3/lanes.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <span>

#include "core/kernels.h"
#include "models/common/sinkhorn.h"
#include "core/vec.h"

namespace pinnet::gen3 {

void lane_pre_mix(const LaneWeights& w, uint64_t layer, size_t n, size_t d, const float* p,
                  const float* stream, float* gates, float* x) {
  const uint64_t favoured = layer % n;
  for (size_t i = 0; i < n; ++i) {
    const float beta = i == favoured ? 4.0f : -4.0f;
    gates[i] = core::sigmoid(p[i] * w.a_pre + w.b_pre[i] + beta);
  }
  models::vec_lane_combine(gates, stream, n, d, x);
}

void lane_post_mix(const LaneWeights& w, uint64_t layer, size_t n, size_t d, const float* q,
                   float* m, const float* delta, float* stream, float* old) {
  const uint64_t favoured = layer % n;
  for (size_t k = 0; k < n * n; ++k) m[k] = m[k] * w.a_res + w.b_res[k];
  models::lane_sinkhorn(m, n);
  if (n <= 8) {
    float h[8];
    for (size_t i = 0; i < n; ++i) {
      const float gamma = i == favoured ? 0.0f : -4.0f;
      h[i] = 2.0f * core::sigmoid(q[i] * w.a_post + w.b_post[i] + gamma);
    }
    models::vec_lane_mix(m, h, delta, n, d, stream);
    return;
  }
  std::memcpy(old, stream, n * d * sizeof(float));
  for (size_t i = 0; i < n; ++i) {
    const float gamma = i == favoured ? 0.0f : -4.0f;
    const float h = 2.0f * core::sigmoid(q[i] * w.a_post + w.b_post[i] + gamma);
    float* out = stream + i * d;
    for (size_t j = 0; j < d; ++j) out[j] = 0.0f;
    for (size_t k = 0; k < n; ++k) models::axpy(m[i * n + k], old + k * d, out, d);
    models::axpy(h, delta, out, d);
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

}  // namespace pinnet::gen3
