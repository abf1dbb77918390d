#include "core/kernels.h"

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

namespace pinnet::core {
namespace {

constexpr float kNegInf = -std::numeric_limits<float>::infinity();

// Sum of squares in eight independent lanes (the compiler turns the inner
// loop into vector adds), then the scalar tail, then the lanes.
float sum_squares(const float* x, size_t n) {
  float acc[8] = {};
  size_t i = 0;
  for (; i + 8 <= n; i += 8)
    for (size_t k = 0; k < 8; ++k) acc[k] += x[i + k] * x[i + k];
  float tail = 0.0f;
  for (; i < n; ++i) tail += x[i] * x[i];
  return ((acc[0] + acc[1]) + (acc[2] + acc[3])) + ((acc[4] + acc[5]) + (acc[6] + acc[7])) + tail;
}

// 1 / sqrt(mean square + eps) of x, computed once so callers multiply.
float inv_rms(const float* x, size_t n) {
  const float mean_square = sum_squares(x, n) / static_cast<float>(n);
  return 1.0f / std::sqrt(mean_square + kRmsNormEps);
}

// x[i] *= factor.
void scale(float* __restrict x, size_t n, float factor) {
  for (size_t i = 0; i < n; ++i) x[i] *= factor;
}

void fill(std::span<float> x, float value) {
  for (float& v : x) v = value;
}

// Largest element of a strided sequence; NaN never compares greater, so it
// is ignored, and an all-NaN or empty sequence gives -inf.
float max_ignoring_nan(const float* x, size_t n, size_t stride) {
  float m = kNegInf;
  for (size_t i = 0; i < n; ++i)
    if (x[i * stride] > m) m = x[i * stride];
  return m;
}

// log(sum_i exp(x[i] - a)) + a over a strided sequence, for a given a.
float shifted_log_sum_exp(const float* x, size_t n, size_t stride, float a) {
  float sum = 0.0f;
  for (size_t i = 0; i < n; ++i) sum += std::exp(x[i * stride] - a);
  return a + std::log(sum);
}

bool mul_overflows(size_t a, size_t b, size_t* out) { return __builtin_mul_overflow(a, b, out); }

}  // namespace

void rms_norm_offset(std::span<float> x, std::span<const float> weight) {
  const size_t n = x.size();
  if (n == 0) return;
  const float inv = inv_rms(x.data(), n);
  const size_t m = weight.size() < n ? weight.size() : n;
  float* __restrict xp = x.data();
  const float* __restrict wp = weight.data();
  for (size_t i = 0; i < m; ++i) xp[i] = xp[i] * (1.0f + wp[i]) * inv;
}

float inv_rms(std::span<const float> x) { return inv_rms(x.data(), x.size()); }

void rms_norm_plain(std::span<const float> src, std::span<float> dst) {
  const size_t n = src.size();
  if (dst.size() < n)
    throw std::out_of_range("rms_norm_plain: destination holds " + std::to_string(dst.size()) +
                            " floats, source " + std::to_string(n));
  if (n == 0) return;
  const float inv = inv_rms(src.data(), n);
  // src and dst may be the same buffer, so no __restrict here.
  const float* sp = src.data();
  float* dp = dst.data();
  for (size_t i = 0; i < n; ++i) dp[i] = sp[i] * inv;
}

void l2_normalize(std::span<float> y) {
  const float inv = 1.0f / std::sqrt(sum_squares(y.data(), y.size()) + kL2NormEps);
  scale(y.data(), y.size(), inv);
}

void sigmoid_inplace(std::span<float> x) {
  for (float& v : x) v = sigmoid(v);
}
void silu_inplace(std::span<float> x) {
  for (float& v : x) v = silu(v);
}
void gelu_tanh_inplace(std::span<float> x) {
  for (float& v : x) v = gelu_tanh(v);
}
void relu_inplace(std::span<float> x) {
  for (float& v : x) v = relu(v);
}

void masked_softmax(std::span<float> scores) {
  const size_t n = scores.size();
  if (n == 0) return;
  const float uniform = 1.0f / static_cast<float>(n);
  const float m = max_ignoring_nan(scores.data(), n, 1);
  if (m == kNegInf) {
    fill(scores, uniform);
    return;
  }
  float sum = 0.0f;
  for (float& s : scores) {
    s = std::exp(s - m);
    sum += s;
  }
  if (sum == 0.0f) {
    fill(scores, uniform);
    return;
  }
  scale(scores.data(), n, 1.0f / sum);
}

void sinkhorn_project(std::span<float> m, size_t n) {
  size_t cells = 0;
  if (mul_overflows(n, n, &cells) || m.size() < cells)
    throw std::out_of_range("sinkhorn_project: slice of " + std::to_string(m.size()) +
                            " floats is shorter than " + std::to_string(n) + " x " +
                            std::to_string(n));
  float* p = m.data();
  for (int iter = 0; iter < kSinkhornIterations; ++iter) {
    for (size_t r = 0; r < n; ++r) {
      float* row = p + r * n;
      float a = max_ignoring_nan(row, n, 1);
      if (std::isfinite(a)) a = shifted_log_sum_exp(row, n, 1, a);
      for (size_t j = 0; j < n; ++j) row[j] -= a;
    }
    for (size_t c = 0; c < n; ++c) {
      float* col = p + c;
      const float b = shifted_log_sum_exp(col, n, n, max_ignoring_nan(col, n, n));
      for (size_t r = 0; r < n; ++r) col[r * n] -= b;
    }
  }
  for (size_t i = 0; i < cells; ++i) p[i] = std::exp(p[i]);
}

RopeTables build_rope_tables(size_t positions, size_t head_dim, float theta) {
  RopeTables t;
  t.positions = positions;
  t.head_dim = head_dim;
  const size_t half = head_dim / 2;
  size_t cells = 0;
  if (mul_overflows(positions, half, &cells))
    throw std::length_error("build_rope_tables: positions x head_dim overflows");
  t.cos.resize(cells);
  t.sin.resize(cells);
  for (size_t j = 0; j < half; ++j) {
    const float exponent = static_cast<float>(j) * 2.0f / static_cast<float>(head_dim);
    const float f = std::pow(theta, exponent);
    for (size_t p = 0; p < positions; ++p) {
      const float angle = static_cast<float>(p) / f;
      t.cos[p * half + j] = std::cos(angle);
      t.sin[p * half + j] = std::sin(angle);
    }
  }
  return t;
}

void rope_rotate(const RopeTables& tables, std::span<float> data, size_t n_positions,
                 size_t n_heads, size_t head_dim, size_t start_pos) {
  if (n_positions == 0) return;
  if (start_pos >= tables.positions || n_positions > tables.positions - start_pos)
    throw std::out_of_range(
        "rope_rotate: position " +
        std::to_string(start_pos >= tables.positions ? start_pos : tables.positions) +
        " is beyond the table of " + std::to_string(tables.positions) + " positions");
  const size_t half = head_dim / 2;
  const size_t table_half = tables.half();
  if (half > table_half)
    throw std::out_of_range("rope_rotate: head_dim " + std::to_string(head_dim) +
                            " is wider than the table's " + std::to_string(tables.head_dim));
  size_t per_position = 0, need = 0;
  if (mul_overflows(n_heads, head_dim, &per_position) ||
      mul_overflows(per_position, n_positions, &need) || data.size() < need)
    throw std::out_of_range("rope_rotate: data holds " + std::to_string(data.size()) +
                            " floats, fewer than " + std::to_string(n_positions) + " x " +
                            std::to_string(n_heads) + " x " + std::to_string(head_dim));
  for (size_t i = 0; i < n_positions; ++i) {
    const float* __restrict c = tables.cos.data() + (start_pos + i) * table_half;
    const float* __restrict s = tables.sin.data() + (start_pos + i) * table_half;
    for (size_t h = 0; h < n_heads; ++h) {
      float* __restrict x1 = data.data() + (i * n_heads + h) * head_dim;
      float* __restrict x2 = x1 + half;
      for (size_t k = 0; k < half; ++k) {
        const float a = x1[k], b = x2[k];
        x1[k] = a * c[k] - b * s[k];
        x2[k] = a * s[k] + b * c[k];
      }
    }
  }
}

std::vector<float> rope_frequencies(size_t head_dim, float theta) {
  std::vector<float> f(head_dim / 2);
  for (size_t i = 0; i < f.size(); ++i)
    f[i] = std::pow(theta, static_cast<float>(i) * 2.0f / static_cast<float>(head_dim));
  return f;
}

void rope_angles(std::span<const float> freq, uint64_t p, float* cos, float* sin) {
  const float pf = static_cast<float>(p);
  for (size_t i = 0; i < freq.size(); ++i) {
    const float angle = pf / freq[i];
    cos[i] = std::cos(angle);
    sin[i] = std::sin(angle);
  }
}

void rope_apply(float* x, size_t heads, size_t hd, const float* cos, const float* sin) {
  const size_t half = hd / 2;
  for (size_t h = 0; h < heads; ++h) {
    float* v = x + h * hd;
    for (size_t i = 0; i < half; ++i) {
      const float a = v[i], b = v[i + half];
      v[i] = a * cos[i] - b * sin[i];
      v[i + half] = a * sin[i] + b * cos[i];
    }
  }
}

}  // namespace pinnet::core
