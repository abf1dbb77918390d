#include "models/common/sinkhorn.h"

#include <algorithm>
#include <cmath>
#include <span>

#include "core/kernels.h"

namespace pinnet::models {

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

}  // namespace pinnet::models
