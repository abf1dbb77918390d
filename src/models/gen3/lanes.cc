#include "models/gen3/lanes.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <span>

#include "core/kernels.h"
#include "models/common/vec.h"

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

namespace {

// The linear rounds for a size known at compile time: the same sums in the
// same order and the same divisions as the general loop below (so the same
// floats), held in registers and unrolled, so that the divisions of a row or
// of the column step go out side by side instead of one after another.
template <size_t N>
void linear_rounds(float* m) {
  float a[N][N];
  for (size_t r = 0; r < N; ++r)
    for (size_t c = 0; c < N; ++c) a[r][c] = m[r * N + c];
  for (int iter = 0; iter < core::kSinkhornIterations; ++iter) {
    for (size_t r = 0; r < N; ++r) {
      float sum = 0.0f;
      for (size_t c = 0; c < N; ++c) sum += a[r][c];
      for (size_t c = 0; c < N; ++c) a[r][c] /= sum;
    }
    float col[N];
    for (size_t c = 0; c < N; ++c) col[c] = 0.0f;
    for (size_t r = 0; r < N; ++r)
      for (size_t c = 0; c < N; ++c) col[c] += a[r][c];
    for (size_t r = 0; r < N; ++r)
      for (size_t c = 0; c < N; ++c) a[r][c] /= col[c];
  }
  for (size_t r = 0; r < N; ++r)
    for (size_t c = 0; c < N; ++c) m[r * N + c] = a[r][c];
}

}  // namespace

void lane_sinkhorn(float* m, size_t n) {
  const size_t cells = n * n;
  if (cells == 0) return;
  float lo = m[0], hi = m[0];
  bool finite = true;
  for (size_t k = 0; k < cells; ++k) {
    finite = finite && std::isfinite(m[k]);
    lo = std::min(lo, m[k]);
    hi = std::max(hi, m[k]);
  }
  if (!finite || hi - lo > kSinkhornLinearSpread) {
    core::sinkhorn_project(std::span<float>(m, cells), n);
    return;
  }
  // Every entry starts in [exp(-spread), 1]. Within a row the ratios never
  // change, and each half-round leaves row sums in [1/n, n], so no entry
  // falls below exp(-spread)/n², far above the smallest normal float.
  for (size_t k = 0; k < cells; ++k) m[k] = std::exp(m[k] - hi);
  switch (n) {
    case 2: return linear_rounds<2>(m);
    case 3: return linear_rounds<3>(m);
    case 4: return linear_rounds<4>(m);
    default: break;
  }
  for (int iter = 0; iter < core::kSinkhornIterations; ++iter) {
    for (size_t r = 0; r < n; ++r) {
      float* row = m + r * n;
      float sum = 0.0f;
      for (size_t j = 0; j < n; ++j) sum += row[j];
      for (size_t j = 0; j < n; ++j) row[j] /= sum;
    }
    for (size_t c = 0; c < n; ++c) {
      float sum = 0.0f;
      for (size_t r = 0; r < n; ++r) sum += m[r * n + c];
      for (size_t r = 0; r < n; ++r) m[r * n + c] /= sum;
    }
  }
}

void lane_post_mix(const LaneWeights& w, uint64_t layer, size_t n, size_t d, const float* q,
                   float* m, const float* delta, float* stream, float* old) {
  const uint64_t favoured = layer % n;
  for (size_t k = 0; k < n * n; ++k) m[k] = m[k] * w.a_res + w.b_res[k];
  lane_sinkhorn(m, n);
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
