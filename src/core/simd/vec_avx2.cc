// Built with -mavx2 -mfma; entered only after the processor check in vec.cc.
#include <immintrin.h>

#include "core/vec.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/hadamard.h"  // before the per-build namespace below

namespace pinnet::core {

namespace avx2 {
#include "core/simd/vec_impl.h"
}  // namespace avx2

namespace {

// exp over 8 lanes: x = n·ln2 + r with |r| <= ln2/2, a degree-6 polynomial
// for exp(r), and 2^n built in the exponent bits. Within 2 ulp of expf over
// the finite range; NaN propagates (the clamps return x when it is NaN).
__m256 exp8(__m256 x) {
  x = _mm256_min_ps(_mm256_set1_ps(88.3762626647949f), x);
  x = _mm256_max_ps(_mm256_set1_ps(-87.3365447505531f), x);
  __m256 fx = _mm256_fmadd_ps(x, _mm256_set1_ps(1.44269504088896341f), _mm256_set1_ps(0.5f));
  fx = _mm256_floor_ps(fx);
  __m256 r = _mm256_fnmadd_ps(fx, _mm256_set1_ps(0.693359375f), x);
  r = _mm256_fnmadd_ps(fx, _mm256_set1_ps(-2.12194440e-4f), r);
  __m256 p = _mm256_set1_ps(1.9875691500e-4f);
  p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(1.3981999507e-3f));
  p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(8.3334519073e-3f));
  p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(4.1665795894e-2f));
  p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(1.6666665459e-1f));
  p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(5.0000001201e-1f));
  const __m256 rr = _mm256_mul_ps(r, r);
  const __m256 y = _mm256_add_ps(_mm256_fmadd_ps(p, rr, r), _mm256_set1_ps(1.0f));
  const __m256i n = _mm256_cvttps_epi32(fx);
  const __m256i bits = _mm256_slli_epi32(_mm256_add_epi32(n, _mm256_set1_epi32(127)), 23);
  return _mm256_mul_ps(y, _mm256_castsi256_ps(bits));
}

__m256 sigmoid8(__m256 z) {
  const __m256 one = _mm256_set1_ps(1.0f);
  const __m256 e = exp8(_mm256_sub_ps(_mm256_setzero_ps(), z));
  return _mm256_div_ps(one, _mm256_add_ps(one, e));
}

float exp_shifted_avx2(float* x, size_t n, float m) {
  const __m256 vm = _mm256_set1_ps(m);
  __m256 acc = _mm256_setzero_ps();
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256 e = exp8(_mm256_sub_ps(_mm256_loadu_ps(x + i), vm));
    _mm256_storeu_ps(x + i, e);
    acc = _mm256_add_ps(acc, e);
  }
  float sum = 0.0f;
  for (; i < n; ++i) {
    x[i] = std::exp(x[i] - m);
    sum += x[i];
  }
  __m128 h = _mm_add_ps(_mm256_castps256_ps128(acc), _mm256_extractf128_ps(acc, 1));
  h = _mm_add_ps(h, _mm_movehl_ps(h, h));
  h = _mm_add_ss(h, _mm_shuffle_ps(h, h, 1));
  return _mm_cvtss_f32(h) + sum;
}

void mul_sigmoid_avx2(float* o, const float* g, size_t n) {
  size_t i = 0;
  for (; i + 8 <= n; i += 8)
    _mm256_storeu_ps(o + i, _mm256_mul_ps(_mm256_loadu_ps(o + i), sigmoid8(_mm256_loadu_ps(g + i))));
  for (; i < n; ++i) o[i] *= 1.0f / (1.0f + std::exp(-g[i]));
}

void gated_silu_avx2(float* v, const float* scale, const float* mix, const float* bias, size_t n) {
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256 h = _mm256_add_ps(
        _mm256_mul_ps(_mm256_mul_ps(_mm256_loadu_ps(scale + i), _mm256_loadu_ps(mix + i)),
                      _mm256_loadu_ps(v + i)),
        _mm256_loadu_ps(bias + i));
    _mm256_storeu_ps(v + i, _mm256_mul_ps(h, sigmoid8(h)));
  }
  for (; i < n; ++i) {
    const float h = scale[i] * mix[i] * v[i] + bias[i];
    v[i] = h * (1.0f / (1.0f + std::exp(-h)));
  }
}

float hsum(__m256 v) {
  __m128 h = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
  h = _mm_add_ps(h, _mm_movehl_ps(h, h));
  h = _mm_add_ss(h, _mm_shuffle_ps(h, h, 1));
  return _mm_cvtss_f32(h);
}

// 8 floats of a key or value row: float rows as they are, int8 codes widened.
inline __m256 load8(const float* p) { return _mm256_loadu_ps(p); }
inline __m256 load8(const int8_t* p) {
  return _mm256_cvtepi32_ps(_mm256_cvtepi8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))));
}

// Rows of kv head g, float or int8 (kInt8; each row's scale applied to its
// score or weight, as the portable path does).
template <bool kInt8>
struct KvRows {
  const KvView& kv;
  size_t g;
  auto key(uint64_t r) const {
    if constexpr (kInt8) {
      return kv.key_codes + (r * kv.kv_heads + g) * kv.head_dim;
    } else {
      return kv.keys + (r * kv.kv_heads + g) * kv.head_dim;
    }
  }
  auto value(uint64_t r) const {
    if constexpr (kInt8) {
      return kv.value_codes + (r * kv.kv_heads + g) * kv.v_head_dim;
    } else {
      return kv.values + (r * kv.kv_heads + g) * kv.v_head_dim;
    }
  }
  // score = dot · key scale · 1/sqrt(hd); weight = softmax weight · value scale
  float score(float dot, uint64_t r, float inv) const {
    return kInt8 ? dot * kv.key_scales[r * kv.kv_heads + g] * inv : dot * inv;
  }
  float weight(float w, uint64_t r) const { return kInt8 ? w * kv.value_scales[r * kv.kv_heads + g] : w; }
};

// Keys and values with widths that are multiples of 8: scores four
// positions at a time (four independent sums), values in register blocks of
// 32 floats.
template <bool kInt8>
void attend_head_wide(const KvView& kv, const float* q, size_t g, uint64_t start, uint64_t p,
                      float* scores, float* out) {
  const KvRows<kInt8> rows{kv, g};
  const size_t hd = kv.head_dim, vd = kv.v_head_dim;
  const float inv = 1.0f / std::sqrt(static_cast<float>(hd));
  const size_t count = static_cast<size_t>(p - start + 1);
  const uint64_t first = start % kv.slots;
  auto next = [&](uint64_t r) { return r + 1 == kv.slots ? 0 : r + 1; };
  auto key = [&](uint64_t r) { return rows.key(r); };
  uint64_t row = first;
  size_t t = 0;
  float m = -INFINITY;
  for (; t + 4 <= count; t += 4) {
    const uint64_t r1 = next(row), r2 = next(r1), r3 = next(r2);
    const auto *k0 = key(row), *k1 = key(r1), *k2 = key(r2), *k3 = key(r3);
    __m256 a0 = _mm256_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
    for (size_t i = 0; i < hd; i += 8) {
      const __m256 qv = _mm256_loadu_ps(q + i);
      a0 = _mm256_fmadd_ps(load8(k0 + i), qv, a0);
      a1 = _mm256_fmadd_ps(load8(k1 + i), qv, a1);
      a2 = _mm256_fmadd_ps(load8(k2 + i), qv, a2);
      a3 = _mm256_fmadd_ps(load8(k3 + i), qv, a3);
    }
    scores[t] = rows.score(hsum(a0), row, inv);
    scores[t + 1] = rows.score(hsum(a1), r1, inv);
    scores[t + 2] = rows.score(hsum(a2), r2, inv);
    scores[t + 3] = rows.score(hsum(a3), r3, inv);
    m = std::max(std::max(m, std::max(scores[t], scores[t + 1])), std::max(scores[t + 2], scores[t + 3]));
    row = next(r3);
  }
  for (; t < count; ++t) {
    const auto* k0 = key(row);
    __m256 a0 = _mm256_setzero_ps();
    for (size_t i = 0; i < hd; i += 8) a0 = _mm256_fmadd_ps(load8(k0 + i), _mm256_loadu_ps(q + i), a0);
    scores[t] = rows.score(hsum(a0), row, inv);
    m = std::max(m, scores[t]);
    row = next(row);
  }
  const float sum = exp_shifted_avx2(scores, count, m);
  for (t = 0; t < count; ++t) scores[t] = scores[t] / sum;
  // Values kLanes·8 columns at a time (a compile-time count keeps the
  // accumulators in registers).
  auto columns = [&]<size_t kLanes>(size_t i0) {
    __m256 acc[kLanes];
    for (size_t j = 0; j < kLanes; ++j) acc[j] = _mm256_setzero_ps();
    uint64_t vrow = first;
    for (size_t k = 0; k < count; ++k) {
      const __m256 c = _mm256_set1_ps(rows.weight(scores[k], vrow));
      const auto* v = rows.value(vrow) + i0;
      for (size_t j = 0; j < kLanes; ++j) acc[j] = _mm256_fmadd_ps(c, load8(v + 8 * j), acc[j]);
      vrow = next(vrow);
    }
    for (size_t j = 0; j < kLanes; ++j) _mm256_storeu_ps(out + i0 + 8 * j, acc[j]);
  };
  size_t i0 = 0;
  for (; i0 + 32 <= vd; i0 += 32) columns.template operator()<4>(i0);
  for (; i0 < vd; i0 += 8) columns.template operator()<1>(i0);
}

// T(v; A, B) with c a multiple of 8 up to 64: each output row of c floats
// stays in registers while its coefficients stream by.
template <size_t kLanes>
void two_factor_rows(const float* v, const float* a, const float* b, size_t r, size_t c, float* mid,
                     float* out) {
  for (size_t o = 0; o < r; ++o) {
    __m256 acc[kLanes];
    for (size_t j = 0; j < kLanes; ++j) acc[j] = _mm256_setzero_ps();
    for (size_t m = 0; m < r; ++m) {
      const float coef = a[m * r + o];
      if (coef == 0.0f) continue;
      const __m256 bc = _mm256_set1_ps(coef);
      const float* vm = v + m * c;
      for (size_t j = 0; j < kLanes; ++j) acc[j] = _mm256_fmadd_ps(bc, _mm256_loadu_ps(vm + 8 * j), acc[j]);
    }
    for (size_t j = 0; j < kLanes; ++j) _mm256_storeu_ps(mid + o * c + 8 * j, acc[j]);
  }
  for (size_t i = 0; i < r; ++i) {
    __m256 acc[kLanes];
    for (size_t j = 0; j < kLanes; ++j) acc[j] = _mm256_setzero_ps();
    const float* mi = mid + i * c;
    for (size_t t = 0; t < c; ++t) {
      const float coef = mi[t];
      if (coef == 0.0f) continue;
      const __m256 bc = _mm256_set1_ps(coef);
      const float* bt = b + t * c;
      for (size_t j = 0; j < kLanes; ++j) acc[j] = _mm256_fmadd_ps(bc, _mm256_loadu_ps(bt + 8 * j), acc[j]);
    }
    for (size_t j = 0; j < kLanes; ++j) _mm256_storeu_ps(out + i * c + 8 * j, acc[j]);
  }
}

// P positions x R rows of the dense product: each weight vector is loaded
// once for P positions, each input vector once for R rows.
template <size_t P, size_t R>
void dense_tile(const float* w, size_t cols, const float* x, size_t stride, size_t rows,
                float* y) {
  __m256 acc[P][R];
  for (size_t p = 0; p < P; ++p)
    for (size_t r = 0; r < R; ++r) acc[p][r] = _mm256_setzero_ps();
  size_t k = 0;
  for (; k + 8 <= cols; k += 8) {
    __m256 xv[P];
    for (size_t p = 0; p < P; ++p) xv[p] = _mm256_loadu_ps(x + p * stride + k);
    for (size_t r = 0; r < R; ++r) {
      const __m256 wv = _mm256_loadu_ps(w + r * cols + k);
      for (size_t p = 0; p < P; ++p) acc[p][r] = _mm256_fmadd_ps(wv, xv[p], acc[p][r]);
    }
  }
  for (size_t p = 0; p < P; ++p) {
    for (size_t r = 0; r < R; ++r) {
      float s = hsum(acc[p][r]);
      for (size_t j = k; j < cols; ++j) s += w[r * cols + j] * x[p * stride + j];
      y[p * rows + r] = s;
    }
  }
}

template <size_t P>
void dense_positions(const float* w, size_t rows, size_t cols, const float* x, size_t stride,
                     float* y) {
  size_t r = 0;
  for (; r + 4 <= rows; r += 4) dense_tile<P, 4>(w + r * cols, cols, x, stride, rows, y + r);
  for (; r < rows; ++r) dense_tile<P, 1>(w + r * cols, cols, x, stride, rows, y + r);
}

void dense_rows_avx2(const float* w, size_t rows, size_t cols, const float* x, size_t stride,
                     size_t m, float* y) {
  size_t i = 0;
  for (; i + 3 <= m; i += 3) dense_positions<3>(w, rows, cols, x + i * stride, stride, y + i * rows);
  for (; i < m; ++i) dense_positions<1>(w, rows, cols, x + i * stride, stride, y + i * rows);
}

void lane_combine_avx2(const float* g, const float* stream, size_t n, size_t d, float* x) {
  size_t j = 0;
  for (; j + 8 <= d; j += 8) {
    __m256 acc = _mm256_setzero_ps();
    for (size_t i = 0; i < n; ++i)
      acc = _mm256_fmadd_ps(_mm256_set1_ps(g[i]), _mm256_loadu_ps(stream + i * d + j), acc);
    _mm256_storeu_ps(x + j, acc);
  }
  for (; j < d; ++j) {
    float acc = 0.0f;
    for (size_t i = 0; i < n; ++i) acc += g[i] * stream[i * d + j];
    x[j] = acc;
  }
}

// The lanes of one 8-column block in registers, specialised on the lane count.
template <size_t N>
void lane_mix_fixed(const float* m, const float* h, const float* delta, size_t d, float* stream) {
  size_t j = 0;
  for (; j + 8 <= d; j += 8) {
    __m256 in[N];
    for (size_t k = 0; k < N; ++k) in[k] = _mm256_loadu_ps(stream + k * d + j);
    const __m256 dv = _mm256_loadu_ps(delta + j);
    for (size_t i = 0; i < N; ++i) {
      __m256 acc = _mm256_setzero_ps();
      for (size_t k = 0; k < N; ++k) acc = _mm256_fmadd_ps(_mm256_set1_ps(m[i * N + k]), in[k], acc);
      _mm256_storeu_ps(stream + i * d + j, _mm256_fmadd_ps(_mm256_set1_ps(h[i]), dv, acc));
    }
  }
  for (; j < d; ++j) {
    float in[N];
    for (size_t k = 0; k < N; ++k) in[k] = stream[k * d + j];
    for (size_t i = 0; i < N; ++i) {
      float acc = 0.0f;
      for (size_t k = 0; k < N; ++k) acc += m[i * N + k] * in[k];
      stream[i * d + j] = acc + h[i] * delta[j];
    }
  }
}

void lane_mix_avx2(const float* m, const float* h, const float* delta, size_t n, size_t d,
                   float* stream) {
  switch (n) {
    case 1: lane_mix_fixed<1>(m, h, delta, d, stream); break;
    case 2: lane_mix_fixed<2>(m, h, delta, d, stream); break;
    case 4: lane_mix_fixed<4>(m, h, delta, d, stream); break;
    case 8: lane_mix_fixed<8>(m, h, delta, d, stream); break;
    default: avx2::lane_mix(m, h, delta, n, d, stream); break;
  }
}

void two_factor_avx2(const float* v, const float* a, const float* b, size_t r, size_t c, float* mid,
                     float* out) {
  switch (c) {
    case 8: two_factor_rows<1>(v, a, b, r, c, mid, out); break;
    case 16: two_factor_rows<2>(v, a, b, r, c, mid, out); break;
    case 32: two_factor_rows<4>(v, a, b, r, c, mid, out); break;
    case 64: two_factor_rows<8>(v, a, b, r, c, mid, out); break;
    default: avx2::two_factor(v, a, b, r, c, mid, out); break;
  }
}

// The heads of one kv head in pairs: each key and value row is loaded once
// for two query heads.
template <bool kInt8>
void attend_pair_wide(const KvView& kv, const float* q0, const float* q1, size_t g, uint64_t start,
                      uint64_t p, float* s0, float* s1, float* out0, float* out1) {
  const size_t hd = kv.head_dim, vd = kv.v_head_dim;
  const float inv = 1.0f / std::sqrt(static_cast<float>(hd));
  const size_t count = static_cast<size_t>(p - start + 1);
  const uint64_t first = start % kv.slots;
  auto next = [&](uint64_t r) { return r + 1 == kv.slots ? 0 : r + 1; };
  const KvRows<kInt8> rows{kv, g};
  auto key = [&](uint64_t r) { return rows.key(r); };
  uint64_t row = first;
  size_t t = 0;
  float m0 = -INFINITY, m1 = -INFINITY;
  for (; t + 2 <= count; t += 2) {
    const uint64_t r1 = next(row);
    const auto *ka = key(row), *kb = key(r1);
    __m256 a0 = _mm256_setzero_ps(), a1 = a0, b0 = a0, b1 = a0;
    for (size_t i = 0; i < hd; i += 8) {
      const __m256 x = load8(ka + i), y = load8(kb + i);
      const __m256 u = _mm256_loadu_ps(q0 + i), w = _mm256_loadu_ps(q1 + i);
      a0 = _mm256_fmadd_ps(x, u, a0);
      a1 = _mm256_fmadd_ps(y, u, a1);
      b0 = _mm256_fmadd_ps(x, w, b0);
      b1 = _mm256_fmadd_ps(y, w, b1);
    }
    s0[t] = rows.score(hsum(a0), row, inv);
    s0[t + 1] = rows.score(hsum(a1), r1, inv);
    s1[t] = rows.score(hsum(b0), row, inv);
    s1[t + 1] = rows.score(hsum(b1), r1, inv);
    m0 = std::max(m0, std::max(s0[t], s0[t + 1]));
    m1 = std::max(m1, std::max(s1[t], s1[t + 1]));
    row = next(r1);
  }
  for (; t < count; ++t) {
    const auto* ka = key(row);
    __m256 a0 = _mm256_setzero_ps(), b0 = a0;
    for (size_t i = 0; i < hd; i += 8) {
      const __m256 x = load8(ka + i);
      a0 = _mm256_fmadd_ps(x, _mm256_loadu_ps(q0 + i), a0);
      b0 = _mm256_fmadd_ps(x, _mm256_loadu_ps(q1 + i), b0);
    }
    s0[t] = rows.score(hsum(a0), row, inv);
    s1[t] = rows.score(hsum(b0), row, inv);
    m0 = std::max(m0, s0[t]);
    m1 = std::max(m1, s1[t]);
    row = next(row);
  }
  const float sum0 = exp_shifted_avx2(s0, count, m0);
  const float sum1 = exp_shifted_avx2(s1, count, m1);
  for (t = 0; t < count; ++t) {
    s0[t] = s0[t] / sum0;
    s1[t] = s1[t] / sum1;
  }
  // Values kLanes·8 columns at a time (the count fixed at compile time, so
  // the accumulators stay in registers).
  auto columns = [&]<size_t kLanes>(size_t i0) {
    __m256 acc0[kLanes], acc1[kLanes];
    for (size_t j = 0; j < kLanes; ++j) acc0[j] = acc1[j] = _mm256_setzero_ps();
    uint64_t vrow = first;
    for (size_t k = 0; k < count; ++k) {
      const __m256 c0 = _mm256_set1_ps(rows.weight(s0[k], vrow));
      const __m256 c1 = _mm256_set1_ps(rows.weight(s1[k], vrow));
      const auto* v = rows.value(vrow) + i0;
      for (size_t j = 0; j < kLanes; ++j) {
        const __m256 x = load8(v + 8 * j);
        acc0[j] = _mm256_fmadd_ps(c0, x, acc0[j]);
        acc1[j] = _mm256_fmadd_ps(c1, x, acc1[j]);
      }
      vrow = next(vrow);
    }
    for (size_t j = 0; j < kLanes; ++j) {
      _mm256_storeu_ps(out0 + i0 + 8 * j, acc0[j]);
      _mm256_storeu_ps(out1 + i0 + 8 * j, acc1[j]);
    }
  };
  size_t i0 = 0;
  for (; i0 + 32 <= vd; i0 += 32) columns.template operator()<4>(i0);
  for (; i0 < vd; i0 += 8) columns.template operator()<1>(i0);
}

void attend_group_avx2(const KvView& kv, const float* q, size_t g, size_t heads, uint64_t start,
                       uint64_t p, float* scores, float* out) {
  if (kv.head_dim % 8 != 0 || kv.v_head_dim % 8 != 0) {
    avx2::attend_group(kv, q, g, heads, start, p, scores, out);
    return;
  }
  const size_t count = static_cast<size_t>(p - start + 1);
  const size_t hd = kv.head_dim, vd = kv.v_head_dim;
  auto pair = kv.int8 ? attend_pair_wide<true> : attend_pair_wide<false>;
  auto one = kv.int8 ? attend_head_wide<true> : attend_head_wide<false>;
  size_t h = 0;
  for (; h + 2 <= heads; h += 2)
    pair(kv, q + h * hd, q + (h + 1) * hd, g, start, p, scores + h * count, scores + (h + 1) * count,
         out + h * vd, out + (h + 1) * vd);
  if (h < heads) one(kv, q + h * hd, g, start, p, scores + h * count, out + h * vd);
}

void attend_head_avx2(const KvView& kv, const float* q, size_t g, uint64_t start, uint64_t p,
                      float* scores, float* out) {
  if (kv.head_dim % 8 == 0 && kv.v_head_dim % 8 == 0) {
    (kv.int8 ? attend_head_wide<true> : attend_head_wide<false>)(kv, q, g, start, p, scores, out);
  } else {
    avx2::attend_head(kv, q, g, start, p, scores, out);
  }
}

// One butterfly stage inside each 8-float vector: lanes whose bit `h` is
// clear get a + b, the others a - b, with a the lower partner (so each result
// is the very operation the scalar stage performs).
template <int kMask>
__m256 butterfly_in_register(__m256 x, __m256 partner) {
  return _mm256_blend_ps(_mm256_add_ps(x, partner), _mm256_sub_ps(partner, x), kMask);
}

// Normalised transform of one block of n floats (n a multiple of 8): stages
// of half-width 1, 2 and 4 in registers, the wider ones between vectors.
// Each stage only combines partners, so running the narrow stages per vector
// before the wide ones applies the same operations to every value.
void fwht_block8(float* x, size_t n) {
  for (size_t i = 0; i < n; i += 8) {
    __m256 v = _mm256_loadu_ps(x + i);
    v = butterfly_in_register<0xAA>(v, _mm256_permute_ps(v, 0xB1));
    v = butterfly_in_register<0xCC>(v, _mm256_permute_ps(v, 0x4E));
    v = butterfly_in_register<0xF0>(v, _mm256_permute2f128_ps(v, v, 1));
    _mm256_storeu_ps(x + i, v);
  }
  for (size_t h = 8; h < n; h *= 2) {
    for (size_t i = 0; i < n; i += 2 * h) {
      for (size_t j = i; j < i + h; j += 8) {
        const __m256 a = _mm256_loadu_ps(x + j), b = _mm256_loadu_ps(x + j + h);
        _mm256_storeu_ps(x + j, _mm256_add_ps(a, b));
        _mm256_storeu_ps(x + j + h, _mm256_sub_ps(a, b));
      }
    }
  }
  const __m256 s = _mm256_set1_ps(1.0f / std::sqrt(static_cast<float>(n)));
  for (size_t i = 0; i < n; i += 8) _mm256_storeu_ps(x + i, _mm256_mul_ps(_mm256_loadu_ps(x + i), s));
}

void pad_and_rotate_avx2(const float* src, size_t cols, size_t group, float* dst, size_t padded) {
  if (group < 8 || group % 8 != 0 || (group & (group - 1)) != 0 || cols > padded) {
    avx2::pad_and_rotate(src, cols, group, dst, padded);  // checks and throws as the core does
    return;
  }
  if (cols > 0) std::memcpy(dst, src, cols * sizeof(float));
  if (padded > cols) std::memset(dst + cols, 0, (padded - cols) * sizeof(float));
  for (size_t start = 0; start + group <= padded; start += group) fwht_block8(dst + start, group);
}

// attend_rows for R query rows, head_dim a multiple of 8 and v_head_dim a
// multiple of 16. Scores: 16 keys at a time straight from the transposed
// blocks, each key block loaded once for all R rows and no horizontal sums.
// Values: 16 columns of all R rows in registers while the positions stream.
template <size_t R>
void attend_rows_wide(const float* kt, const float* values, size_t kvh, size_t g, size_t hd,
                      size_t vd, const float* q, uint64_t start, uint64_t p, float* scores,
                      float* out) {
  const __m256 inv = _mm256_set1_ps(1.0f / std::sqrt(static_cast<float>(hd)));
  const size_t count = static_cast<size_t>(p - start + 1), stride = count + 15;
  const uint64_t b0 = start / 8, b1 = p / 8;  // first and last key block
  // Row r's score of position t sits at scores[r·stride + t - 8·b0]; the
  // blocks span at most count + 14 floats.
  uint64_t b = b0;
  for (; b + 1 <= b1; b += 2) {
    const float* k0 = kt + b * hd * 8;
    const float* k1 = k0 + hd * 8;
    __m256 a0[R], a1[R];
    for (size_t r = 0; r < R; ++r) a0[r] = a1[r] = _mm256_setzero_ps();
    for (size_t i = 0; i < hd; ++i) {
      const __m256 x0 = _mm256_loadu_ps(k0 + i * 8), x1 = _mm256_loadu_ps(k1 + i * 8);
      for (size_t r = 0; r < R; ++r) {
        const __m256 qb = _mm256_broadcast_ss(q + r * hd + i);
        a0[r] = _mm256_fmadd_ps(qb, x0, a0[r]);
        a1[r] = _mm256_fmadd_ps(qb, x1, a1[r]);
      }
    }
    for (size_t r = 0; r < R; ++r) {
      float* sc = scores + r * stride + (b - b0) * 8;
      _mm256_storeu_ps(sc, _mm256_mul_ps(a0[r], inv));
      _mm256_storeu_ps(sc + 8, _mm256_mul_ps(a1[r], inv));
    }
  }
  if (b == b1) {
    const float* k0 = kt + b * hd * 8;
    __m256 a0[R];
    for (size_t r = 0; r < R; ++r) a0[r] = _mm256_setzero_ps();
    for (size_t i = 0; i < hd; ++i) {
      const __m256 x0 = _mm256_loadu_ps(k0 + i * 8);
      for (size_t r = 0; r < R; ++r)
        a0[r] = _mm256_fmadd_ps(_mm256_broadcast_ss(q + r * hd + i), x0, a0[r]);
    }
    for (size_t r = 0; r < R; ++r)
      _mm256_storeu_ps(scores + r * stride + (b - b0) * 8, _mm256_mul_ps(a0[r], inv));
  }
  const size_t off = static_cast<size_t>(start - b0 * 8);
  float* w[R];
  for (size_t r = 0; r < R; ++r) {
    w[r] = scores + r * stride + off;  // weights of positions start .. p
    float m = -INFINITY;
    for (size_t t = 0; t < count; ++t) m = std::max(m, w[r][t]);
    const float sum = exp_shifted_avx2(w[r], count, m);
    const __m256 vs = _mm256_set1_ps(sum);
    size_t t = 0;
    for (; t + 8 <= count; t += 8) _mm256_storeu_ps(w[r] + t, _mm256_div_ps(_mm256_loadu_ps(w[r] + t), vs));
    for (; t < count; ++t) w[r][t] = w[r][t] / sum;
  }
  const size_t vstride = kvh * vd;
  const float* v0 = values + (start * kvh + g) * vd;
  for (size_t c = 0; c < vd; c += 16) {
    __m256 acc0[R], acc1[R];
    for (size_t r = 0; r < R; ++r) acc0[r] = acc1[r] = _mm256_setzero_ps();
    const float* v = v0 + c;
    for (size_t t = 0; t < count; ++t, v += vstride) {
      const __m256 x0 = _mm256_loadu_ps(v), x1 = _mm256_loadu_ps(v + 8);
      for (size_t r = 0; r < R; ++r) {
        const __m256 wt = _mm256_broadcast_ss(w[r] + t);
        acc0[r] = _mm256_fmadd_ps(wt, x0, acc0[r]);
        acc1[r] = _mm256_fmadd_ps(wt, x1, acc1[r]);
      }
    }
    for (size_t r = 0; r < R; ++r) {
      _mm256_storeu_ps(out + r * vd + c, acc0[r]);
      _mm256_storeu_ps(out + r * vd + c + 8, acc1[r]);
    }
  }
}

void attend_rows_avx2(const float* kt, size_t kb, const float* values, size_t kvh, size_t g,
                      size_t hd, size_t vd, const float* q, size_t rows, uint64_t start,
                      uint64_t p, float* scores, float* out) {
  if (kb != 8 || hd % 8 != 0 || vd % 16 != 0) {
    avx2::attend_rows(kt, kb, values, kvh, g, hd, vd, q, rows, start, p, scores, out);
    return;
  }
  for (size_t r = 0; r < rows; r += 4) {
    const float* qr = q + r * hd;
    float* o = out + r * vd;
    switch (std::min<size_t>(4, rows - r)) {
      case 4: attend_rows_wide<4>(kt, values, kvh, g, hd, vd, qr, start, p, scores, o); break;
      case 3: attend_rows_wide<3>(kt, values, kvh, g, hd, vd, qr, start, p, scores, o); break;
      case 2: attend_rows_wide<2>(kt, values, kvh, g, hd, vd, qr, start, p, scores, o); break;
      default: attend_rows_wide<1>(kt, values, kvh, g, hd, vd, qr, start, p, scores, o); break;
    }
  }
}

void attend_pair_avx2(const float* kt, size_t kb, const float* values, size_t kvh, size_t g,
                      size_t hd, size_t vd, const float* qa, const float* qb, size_t rows,
                      uint64_t start_a, uint64_t start_b, uint64_t p, float* scores, float* out_a,
                      float* out_b) {
  attend_rows_avx2(kt, kb, values, kvh, g, hd, vd, qa, rows, start_a, p, scores, out_a);
  attend_rows_avx2(kt, kb, values, kvh, g, hd, vd, qb, rows, start_b, p + 1, scores, out_b);
}

}  // namespace

const VecKernels& vec_kernels_avx2() {
  static const VecKernels k{avx2::dot, avx2::axpy, two_factor_avx2, attend_head_avx2,
                            attend_group_avx2, exp_shifted_avx2, mul_sigmoid_avx2,
                            gated_silu_avx2, pad_and_rotate_avx2, attend_rows_avx2,
                            dense_rows_avx2, lane_combine_avx2, lane_mix_avx2, attend_pair_avx2, 8};
  return k;
}

}  // namespace pinnet::core
