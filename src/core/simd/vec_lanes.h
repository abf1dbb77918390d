// The dense vector loops of vec.h over a lane type V (see lanes.h), one
// template per kernel; each instruction set's vec_<isa>.cc instantiates the
// ones it runs and states their preconditions' fallbacks. L below is
// V::kLanes.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "core/kv_view.h"
#include "core/simd/lanes.h"

namespace pinnet::core::simd {
namespace {

// x[i] <- exp(x[i] - m); returns the sum. Whole vectors with exp_lanes, the
// tail with std::exp.
template <class V>
float exp_shifted(float* x, size_t n, float m) {
  using F = typename V::F;
  constexpr size_t L = V::kLanes;
  const F vm = V::set1(m);
  F acc = V::zero();
  size_t i = 0;
  for (; i + L <= n; i += L) {
    const F e = exp_lanes<V>(V::sub(V::load(x + i), vm));
    V::store(x + i, e);
    acc = V::add(acc, e);
  }
  float sum = 0.0f;
  for (; i < n; ++i) {
    x[i] = std::exp(x[i] - m);
    sum += x[i];
  }
  return V::reduce_add(acc) + sum;
}

// o[i] <- o[i]·sigmoid(g[i]) over the whole vectors of n; returns how many
// floats were done.
template <class V>
size_t mul_sigmoid_vectors(float* o, const float* g, size_t n) {
  constexpr size_t L = V::kLanes;
  size_t i = 0;
  for (; i + L <= n; i += L) V::store(o + i, V::mul(V::load(o + i), sigmoid_lanes<V>(V::load(g + i))));
  return i;
}

// v[i] <- h·sigmoid(h), h = scale[i]·mix[i]·v[i] + bias[i], over the whole
// vectors of n; returns how many floats were done.
template <class V>
size_t gated_silu_vectors(float* v, const float* scale, const float* mix, const float* bias,
                          size_t n) {
  using F = typename V::F;
  constexpr size_t L = V::kLanes;
  size_t i = 0;
  for (; i + L <= n; i += L) {
    const F h = V::add(V::mul(V::mul(V::load(scale + i), V::load(mix + i)), V::load(v + i)),
                       V::load(bias + i));
    V::store(v + i, V::mul(h, sigmoid_lanes<V>(h)));
  }
  return i;
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

// One query head over the cache, head_dim and v_head_dim multiples of L:
// scores four positions at a time (four independent sums, each reduced
// across lanes), normalised weights, values in register blocks of 4L floats.
template <class V, bool kInt8>
void attend_head_rows(const KvView& kv, const float* q, size_t g, uint64_t start, uint64_t p,
                      float* scores, float* out) {
  using F = typename V::F;
  constexpr size_t L = V::kLanes;
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
    F a0 = V::zero(), a1 = a0, a2 = a0, a3 = a0;
    for (size_t i = 0; i < hd; i += L) {
      const F qv = V::load(q + i);
      a0 = V::fmadd(V::load(k0 + i), qv, a0);
      a1 = V::fmadd(V::load(k1 + i), qv, a1);
      a2 = V::fmadd(V::load(k2 + i), qv, a2);
      a3 = V::fmadd(V::load(k3 + i), qv, a3);
    }
    scores[t] = rows.score(V::reduce_add(a0), row, inv);
    scores[t + 1] = rows.score(V::reduce_add(a1), r1, inv);
    scores[t + 2] = rows.score(V::reduce_add(a2), r2, inv);
    scores[t + 3] = rows.score(V::reduce_add(a3), r3, inv);
    m = std::max(std::max(m, std::max(scores[t], scores[t + 1])), std::max(scores[t + 2], scores[t + 3]));
    row = next(r3);
  }
  for (; t < count; ++t) {
    const auto* k0 = key(row);
    F a0 = V::zero();
    for (size_t i = 0; i < hd; i += L) a0 = V::fmadd(V::load(k0 + i), V::load(q + i), a0);
    scores[t] = rows.score(V::reduce_add(a0), row, inv);
    m = std::max(m, scores[t]);
    row = next(row);
  }
  const float sum = exp_shifted<V>(scores, count, m);
  for (t = 0; t < count; ++t) scores[t] = scores[t] / sum;
  // Values kVecs·L columns at a time (a compile-time count keeps the
  // accumulators in registers).
  auto columns = [&]<size_t kVecs>(size_t i0) {
    F acc[kVecs];
    for (size_t j = 0; j < kVecs; ++j) acc[j] = V::zero();
    uint64_t vrow = first;
    for (size_t k = 0; k < count; ++k) {
      const F c = V::set1(rows.weight(scores[k], vrow));
      const auto* v = rows.value(vrow) + i0;
      for (size_t j = 0; j < kVecs; ++j) acc[j] = V::fmadd(c, V::load(v + L * j), acc[j]);
      vrow = next(vrow);
    }
    for (size_t j = 0; j < kVecs; ++j) V::store(out + i0 + L * j, acc[j]);
  };
  size_t i0 = 0;
  for (; i0 + 4 * L <= vd; i0 += 4 * L) columns.template operator()<4>(i0);
  for (; i0 < vd; i0 += L) columns.template operator()<1>(i0);
}

// Two query heads of one kv head, as attend_head_rows each: every key and
// value row is loaded once for both.
template <class V, bool kInt8>
void attend_two_heads(const KvView& kv, const float* q0, const float* q1, size_t g, uint64_t start,
                      uint64_t p, float* s0, float* s1, float* out0, float* out1) {
  using F = typename V::F;
  constexpr size_t L = V::kLanes;
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
    F a0 = V::zero(), a1 = a0, b0 = a0, b1 = a0;
    for (size_t i = 0; i < hd; i += L) {
      const F x = V::load(ka + i), y = V::load(kb + i);
      const F u = V::load(q0 + i), w = V::load(q1 + i);
      a0 = V::fmadd(x, u, a0);
      a1 = V::fmadd(y, u, a1);
      b0 = V::fmadd(x, w, b0);
      b1 = V::fmadd(y, w, b1);
    }
    s0[t] = rows.score(V::reduce_add(a0), row, inv);
    s0[t + 1] = rows.score(V::reduce_add(a1), r1, inv);
    s1[t] = rows.score(V::reduce_add(b0), row, inv);
    s1[t + 1] = rows.score(V::reduce_add(b1), r1, inv);
    m0 = std::max(m0, std::max(s0[t], s0[t + 1]));
    m1 = std::max(m1, std::max(s1[t], s1[t + 1]));
    row = next(r1);
  }
  for (; t < count; ++t) {
    const auto* ka = key(row);
    F a0 = V::zero(), b0 = a0;
    for (size_t i = 0; i < hd; i += L) {
      const F x = V::load(ka + i);
      a0 = V::fmadd(x, V::load(q0 + i), a0);
      b0 = V::fmadd(x, V::load(q1 + i), b0);
    }
    s0[t] = rows.score(V::reduce_add(a0), row, inv);
    s1[t] = rows.score(V::reduce_add(b0), row, inv);
    m0 = std::max(m0, s0[t]);
    m1 = std::max(m1, s1[t]);
    row = next(row);
  }
  const float sum0 = exp_shifted<V>(s0, count, m0);
  const float sum1 = exp_shifted<V>(s1, count, m1);
  for (t = 0; t < count; ++t) {
    s0[t] = s0[t] / sum0;
    s1[t] = s1[t] / sum1;
  }
  auto columns = [&]<size_t kVecs>(size_t i0) {
    F acc0[kVecs], acc1[kVecs];
    for (size_t j = 0; j < kVecs; ++j) acc0[j] = acc1[j] = V::zero();
    uint64_t vrow = first;
    for (size_t k = 0; k < count; ++k) {
      const F c0 = V::set1(rows.weight(s0[k], vrow));
      const F c1 = V::set1(rows.weight(s1[k], vrow));
      const auto* v = rows.value(vrow) + i0;
      for (size_t j = 0; j < kVecs; ++j) {
        const F x = V::load(v + L * j);
        acc0[j] = V::fmadd(c0, x, acc0[j]);
        acc1[j] = V::fmadd(c1, x, acc1[j]);
      }
      vrow = next(vrow);
    }
    for (size_t j = 0; j < kVecs; ++j) {
      V::store(out0 + i0 + L * j, acc0[j]);
      V::store(out1 + i0 + L * j, acc1[j]);
    }
  };
  size_t i0 = 0;
  for (; i0 + 4 * L <= vd; i0 += 4 * L) columns.template operator()<4>(i0);
  for (; i0 < vd; i0 += L) columns.template operator()<1>(i0);
}

// Every query head of kv head g in pairs (attend_two_heads), an odd last one
// alone; head_dim and v_head_dim multiples of L.
template <class V>
void attend_group_pairs(const KvView& kv, const float* q, size_t g, size_t heads, uint64_t start,
                        uint64_t p, float* scores, float* out) {
  const size_t count = static_cast<size_t>(p - start + 1);
  const size_t hd = kv.head_dim, vd = kv.v_head_dim;
  auto pair = kv.int8 ? attend_two_heads<V, true> : attend_two_heads<V, false>;
  auto one = kv.int8 ? attend_head_rows<V, true> : attend_head_rows<V, false>;
  size_t h = 0;
  for (; h + 2 <= heads; h += 2)
    pair(kv, q + h * hd, q + (h + 1) * hd, g, start, p, scores + h * count, scores + (h + 1) * count,
         out + h * vd, out + (h + 1) * vd);
  if (h < heads) one(kv, q + h * hd, g, start, p, scores + h * count, out + h * vd);
}

// T(v; A, B) with c = kVecs·L: each output row of c floats stays in
// registers while its coefficients stream by; zero coefficients are skipped.
template <class V, size_t kVecs>
void two_factor_skipping(const float* v, const float* a, const float* b, size_t r, size_t c,
                         float* mid, float* out) {
  using F = typename V::F;
  constexpr size_t L = V::kLanes;
  for (size_t o = 0; o < r; ++o) {
    F acc[kVecs];
    for (size_t j = 0; j < kVecs; ++j) acc[j] = V::zero();
    for (size_t m = 0; m < r; ++m) {
      const float coef = a[m * r + o];
      if (coef == 0.0f) continue;
      const F bc = V::set1(coef);
      const float* vm = v + m * c;
      for (size_t j = 0; j < kVecs; ++j) acc[j] = V::fmadd(bc, V::load(vm + L * j), acc[j]);
    }
    for (size_t j = 0; j < kVecs; ++j) V::store(mid + o * c + L * j, acc[j]);
  }
  for (size_t i = 0; i < r; ++i) {
    F acc[kVecs];
    for (size_t j = 0; j < kVecs; ++j) acc[j] = V::zero();
    const float* mi = mid + i * c;
    for (size_t t = 0; t < c; ++t) {
      const float coef = mi[t];
      if (coef == 0.0f) continue;
      const F bc = V::set1(coef);
      const float* bt = b + t * c;
      for (size_t j = 0; j < kVecs; ++j) acc[j] = V::fmadd(bc, V::load(bt + L * j), acc[j]);
    }
    for (size_t j = 0; j < kVecs; ++j) V::store(out + i * c + L * j, acc[j]);
  }
}

// out (rows x kZ·L, row-major) = C · X for the `rows` x k coefficients
// C[i][m] = coef[i·row_step + m·k_step] and the k rows of X (kZ·L floats
// each, row-major), one tile of kRows output rows at a time: per step kZ row
// loads and kRows broadcasts feed kRows·kZ fused multiply-adds. No zero
// coefficient is skipped.
template <class V, size_t kRows, size_t kZ>
void coefficient_rows(const float* coef, size_t row_step, size_t k_step, const float* x, size_t k,
                      size_t rows, float* out) {
  using F = typename V::F;
  constexpr size_t L = V::kLanes, c = L * kZ;
  for (size_t o = 0; o < rows; o += kRows) {
    F acc[kRows][kZ];
    for (size_t i = 0; i < kRows; ++i)
      for (size_t j = 0; j < kZ; ++j) acc[i][j] = V::zero();
    for (size_t m = 0; m < k; ++m) {
      F xv[kZ];
      for (size_t j = 0; j < kZ; ++j) xv[j] = V::load(x + m * c + L * j);
      for (size_t i = 0; i < kRows; ++i) {
        const F bc = V::set1(coef[(o + i) * row_step + m * k_step]);
        for (size_t j = 0; j < kZ; ++j) acc[i][j] = V::fmadd(bc, xv[j], acc[i][j]);
      }
    }
    for (size_t i = 0; i < kRows; ++i)
      for (size_t j = 0; j < kZ; ++j) V::store(out + (o + i) * c + L * j, acc[i][j]);
  }
}

// T(v; A, B) for one position: M = Aᵀ·V (r x r times r x c), then M·B
// (c x c), c = kZ·L and r a multiple of kRows, on coefficient_rows tiles.
template <class V, size_t kRows, size_t kZ>
void two_factor_tiles(const float* v, const float* a, const float* b, size_t r, float* mid,
                      float* out) {
  constexpr size_t c = V::kLanes * kZ;
  coefficient_rows<V, kRows, kZ>(a, 1, r, v, r, r, mid);    // Aᵀ·V: row i reads column i of A
  coefficient_rows<V, kRows, kZ>(mid, c, 1, b, c, r, out);  // M·B
}

// P positions x R rows of the dense product: each weight vector is loaded
// once for P positions, each input vector once for R rows; the columns past
// the last whole vector are added after the lanes' sum.
template <class V, size_t P, size_t R>
void dense_tile(const float* w, size_t cols, const float* x, size_t stride, size_t rows, float* y) {
  using F = typename V::F;
  constexpr size_t L = V::kLanes;
  F acc[P][R];
  for (size_t p = 0; p < P; ++p)
    for (size_t r = 0; r < R; ++r) acc[p][r] = V::zero();
  size_t k = 0;
  for (; k + L <= cols; k += L) {
    F xv[P];
    for (size_t p = 0; p < P; ++p) xv[p] = V::load(x + p * stride + k);
    for (size_t r = 0; r < R; ++r) {
      const F wv = V::load(w + r * cols + k);
      for (size_t p = 0; p < P; ++p) acc[p][r] = V::fmadd(wv, xv[p], acc[p][r]);
    }
  }
  for (size_t p = 0; p < P; ++p) {
    for (size_t r = 0; r < R; ++r) {
      float s = V::reduce_add(acc[p][r]);
      for (size_t j = k; j < cols; ++j) s += w[r * cols + j] * x[p * stride + j];
      y[p * rows + r] = s;
    }
  }
}

template <class V, size_t P>
void dense_positions(const float* w, size_t rows, size_t cols, const float* x, size_t stride,
                     float* y) {
  size_t r = 0;
  for (; r + 4 <= rows; r += 4) dense_tile<V, P, 4>(w + r * cols, cols, x, stride, rows, y + r);
  for (; r < rows; ++r) dense_tile<V, P, 1>(w + r * cols, cols, x, stride, rows, y + r);
}

// vec_dense_rows: positions in threes, rows in fours.
template <class V>
void dense_rows(const float* w, size_t rows, size_t cols, const float* x, size_t stride, size_t m,
                float* y) {
  size_t i = 0;
  for (; i + 3 <= m; i += 3) dense_positions<V, 3>(w, rows, cols, x + i * stride, stride, y + i * rows);
  for (; i < m; ++i) dense_positions<V, 1>(w, rows, cols, x + i * stride, stride, y + i * rows);
}

// x[j] = Σ_i g[i]·stream[i·d + j] (lanes in order).
template <class V>
void lane_combine(const float* g, const float* stream, size_t n, size_t d, float* x) {
  using F = typename V::F;
  constexpr size_t L = V::kLanes;
  size_t j = 0;
  for (; j + L <= d; j += L) {
    F acc = V::zero();
    for (size_t i = 0; i < n; ++i) acc = V::fmadd(V::set1(g[i]), V::load(stream + i * d + j), acc);
    V::store(x + j, acc);
  }
  for (; j < d; ++j) {
    float acc = 0.0f;
    for (size_t i = 0; i < n; ++i) acc += g[i] * stream[i * d + j];
    x[j] = acc;
  }
}

// vec_lane_mix for N lanes: the lanes of one L-column block in registers.
template <class V, size_t N>
void lane_mix_fixed(const float* m, const float* h, const float* delta, size_t d, float* stream) {
  using F = typename V::F;
  constexpr size_t L = V::kLanes;
  size_t j = 0;
  for (; j + L <= d; j += L) {
    F in[N];
    for (size_t k = 0; k < N; ++k) in[k] = V::load(stream + k * d + j);
    const F dv = V::load(delta + j);
    for (size_t i = 0; i < N; ++i) {
      F acc = V::zero();
      for (size_t k = 0; k < N; ++k) acc = V::fmadd(V::set1(m[i * N + k]), in[k], acc);
      V::store(stream + i * d + j, V::fmadd(V::set1(h[i]), dv, acc));
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

// Scores of R query rows (qr[r], head_dim floats each) against keys
// transposed in blocks of L positions: blocks b0 .. b1, kStep blocks per
// step and single ones after, each key block loaded once for all rows and
// no sums across lanes. Row r's score of the key at block offset t goes to
// scores[r·stride + t], times inv.
template <class V, size_t R, size_t kStep>
void score_blocks(const float* kt, size_t hd, const float* const* qr, uint64_t b0, uint64_t b1,
                  typename V::F inv, float* scores, size_t stride) {
  using F = typename V::F;
  constexpr size_t L = V::kLanes;
  const size_t block = hd * L;
  // Inlined: an out-of-line step costs a call per block step on short heads.
  auto step = [&]<size_t kBlocks>(uint64_t b) __attribute__((always_inline)) {
    const float* k0 = kt + b * block;
    F a[R][kBlocks];
    for (size_t r = 0; r < R; ++r)
      for (size_t j = 0; j < kBlocks; ++j) a[r][j] = V::zero();
    for (size_t i = 0; i < hd; ++i) {
      F x[kBlocks];
      for (size_t j = 0; j < kBlocks; ++j) x[j] = V::load(k0 + j * block + i * L);
      for (size_t r = 0; r < R; ++r) {
        const F qb = V::set1(qr[r][i]);
        for (size_t j = 0; j < kBlocks; ++j) a[r][j] = V::fmadd(qb, x[j], a[r][j]);
      }
    }
    for (size_t r = 0; r < R; ++r) {
      float* sc = scores + r * stride + (b - b0) * L;
      for (size_t j = 0; j < kBlocks; ++j) V::store(sc + L * j, V::mul(a[r][j], inv));
    }
  };
  uint64_t b = b0;
  for (; b + kStep - 1 <= b1; b += kStep) step.template operator()<kStep>(b);
  for (; b <= b1; ++b) step.template operator()<1>(b);
}

// vec_attend_rows for R query rows over keys transposed in blocks of L
// positions, v_head_dim a multiple of 2L. Scores: 2L keys at a time
// straight from the transposed blocks, each key block loaded once for all R
// rows and no sums across lanes; the weights normalised before the values.
// Values: 2L columns of all R rows in registers while the positions stream.
template <class V, size_t R>
void attend_rows_normalised(const float* kt, const float* values, size_t kvh, size_t g, size_t hd,
                            size_t vd, const float* q, uint64_t start, uint64_t p, float* scores,
                            float* out) {
  using F = typename V::F;
  constexpr size_t L = V::kLanes;
  const F inv = V::set1(1.0f / std::sqrt(static_cast<float>(hd)));
  const size_t count = static_cast<size_t>(p - start + 1), stride = count + 2 * L - 1;
  const uint64_t b0 = start / L, b1 = p / L;  // first and last key block
  // Row r's score of position t sits at scores[r·stride + t - L·b0]; the
  // blocks span at most count + 2L - 2 floats.
  const float* qr[R];
  for (size_t r = 0; r < R; ++r) qr[r] = q + r * hd;
  score_blocks<V, R, 2>(kt, hd, qr, b0, b1, inv, scores, stride);
  const size_t off = static_cast<size_t>(start - b0 * L);
  float* w[R];
  for (size_t r = 0; r < R; ++r) {
    w[r] = scores + r * stride + off;  // weights of positions start .. p
    float m = -INFINITY;
    for (size_t t = 0; t < count; ++t) m = std::max(m, w[r][t]);
    const float sum = exp_shifted<V>(w[r], count, m);
    const F vs = V::set1(sum);
    size_t t = 0;
    for (; t + L <= count; t += L) V::store(w[r] + t, V::div(V::load(w[r] + t), vs));
    for (; t < count; ++t) w[r][t] = w[r][t] / sum;
  }
  const size_t vstride = kvh * vd;
  const float* v0 = values + (start * kvh + g) * vd;
  for (size_t c = 0; c < vd; c += 2 * L) {
    F acc0[R], acc1[R];
    for (size_t r = 0; r < R; ++r) acc0[r] = acc1[r] = V::zero();
    const float* v = v0 + c;
    for (size_t t = 0; t < count; ++t, v += vstride) {
      const F x0 = V::load(v), x1 = V::load(v + L);
      for (size_t r = 0; r < R; ++r) {
        const F wt = V::set1(w[r][t]);
        acc0[r] = V::fmadd(wt, x0, acc0[r]);
        acc1[r] = V::fmadd(wt, x1, acc1[r]);
      }
    }
    for (size_t r = 0; r < R; ++r) {
      V::store(out + r * vd + c, acc0[r]);
      V::store(out + r * vd + c + L, acc1[r]);
    }
  }
}

// w[t] <- exp(w[t] - max) over count scores; returns the sum, broadcast.
// The maximum is taken L lanes at a time (a scalar running maximum is one
// long dependency chain).
template <class V>
typename V::F softmax_weights(float* w, size_t count) {
  constexpr size_t L = V::kLanes;
  typename V::F vm = V::set1(-INFINITY);
  size_t t = 0;
  for (; t + L <= count; t += L) vm = V::max(vm, V::load(w + t));
  float m = V::reduce_max(vm);
  for (; t < count; ++t) m = std::max(m, w[t]);
  return V::set1(exp_shifted<V>(w, count, m));
}

// vec_attend_rows for R query rows over keys transposed in blocks of L
// positions, head_dim any size, v_head_dim a multiple of L (kNc·L columns per
// pass over the keys). Scores take 4L keys per step (R x 4 accumulators); the
// weights stay unnormalised and each output is divided by its row's sum at
// the end.
template <class V, size_t R, size_t kNc>
void attend_rows_late_sum(const float* kt, const float* values, size_t kvh, size_t g, size_t hd,
                          size_t vd, const float* q, uint64_t start, uint64_t p, float* scores,
                          float* out) {
  using F = typename V::F;
  constexpr size_t L = V::kLanes;
  const F inv = V::set1(1.0f / std::sqrt(static_cast<float>(hd)));
  const size_t count = static_cast<size_t>(p - start + 1), stride = count + 2 * L - 1;
  const uint64_t b0 = start / L, b1 = p / L;  // first and last key block
  // Row r's score of position t sits at scores[r·stride + t - L·b0]; the
  // blocks written span at most count + 2L - 2 floats.
  const float* qr[R];
  for (size_t r = 0; r < R; ++r) qr[r] = q + r * hd;
  score_blocks<V, R, 4>(kt, hd, qr, b0, b1, inv, scores, stride);
  const size_t off = static_cast<size_t>(start - b0 * L);
  float* w[R];
  F sums[R];
  for (size_t r = 0; r < R; ++r) {
    w[r] = scores + r * stride + off;  // weights of positions start .. p
    sums[r] = softmax_weights<V>(w[r], count);
  }
  const size_t vstride = kvh * vd;
  const float* v0 = values + (start * kvh + g) * vd;
  for (size_t c = 0; c < vd; c += L * kNc) {
    F acc[R][kNc];
    for (size_t r = 0; r < R; ++r)
      for (size_t j = 0; j < kNc; ++j) acc[r][j] = V::zero();
    const float* v = v0 + c;
    for (size_t t = 0; t < count; ++t, v += vstride) {
      F x[kNc];
      for (size_t j = 0; j < kNc; ++j) x[j] = V::load(v + L * j);
      for (size_t r = 0; r < R; ++r) {
        const F wt = V::set1(w[r][t]);
        for (size_t j = 0; j < kNc; ++j) acc[r][j] = V::fmadd(wt, x[j], acc[r][j]);
      }
    }
    for (size_t r = 0; r < R; ++r)
      for (size_t j = 0; j < kNc; ++j) V::store(out + r * vd + c + L * j, V::div(acc[r][j], sums[r]));
  }
}

// attend_rows_late_sum for the R rows of position p and the R rows of p + 1
// at once: every key block and value row is loaded once for 2R rows. Each
// score and each output column is summed over the same terms in the same
// order as by attend_rows_late_sum, so the results are the same floats.
// Needs v_head_dim a multiple of 2L.
template <class V, size_t R>
void attend_pair_late_sum(const float* kt, const float* values, size_t kvh, size_t g, size_t hd,
                          size_t vd, const float* qa, const float* qb, uint64_t start_a,
                          uint64_t start_b, uint64_t p, float* scores, float* out_a, float* out_b) {
  using F = typename V::F;
  constexpr size_t L = V::kLanes, RR = 2 * R;
  const F inv = V::set1(1.0f / std::sqrt(static_cast<float>(hd)));
  const uint64_t last = p + 1;
  const size_t span = static_cast<size_t>(last - start_a + 1), stride = span + 2 * L - 1;
  const uint64_t b0 = start_a / L, b1 = last / L;
  const float* qr[RR];
  for (size_t r = 0; r < R; ++r) {
    qr[r] = qa + r * hd;
    qr[R + r] = qb + r * hd;
  }
  // Scores of the union start_a .. p + 1 for all rows; row r's score of key
  // t sits at scores[r·stride + t - L·b0].
  score_blocks<V, RR, 2>(kt, hd, qr, b0, b1, inv, scores, stride);
  // Unnormalised weights of each row over its own keys.
  const size_t count_a = static_cast<size_t>(p - start_a + 1);
  const size_t count_b = static_cast<size_t>(last - start_b + 1);
  float* w[RR];
  F sums[RR];
  for (size_t r = 0; r < RR; ++r) {
    const bool second = r >= R;
    w[r] = scores + r * stride + static_cast<size_t>((second ? start_b : start_a) - b0 * L);
    sums[r] = softmax_weights<V>(w[r], second ? count_b : count_a);
  }
  // Values: key start_a for the first position alone when its window starts
  // one earlier, the shared keys start_b .. p, key p + 1 for the second alone.
  const size_t vstride = kvh * vd;
  const size_t lead = static_cast<size_t>(start_b - start_a);  // 0 or 1
  const size_t shared = static_cast<size_t>(p - start_b + 1);
  for (size_t c = 0; c < vd; c += 2 * L) {
    F lo[RR], hi[RR];
    for (size_t r = 0; r < RR; ++r) lo[r] = hi[r] = V::zero();
    if (lead != 0) {
      const float* v = values + (start_a * kvh + g) * vd + c;
      const F x0 = V::load(v), x1 = V::load(v + L);
      for (size_t r = 0; r < R; ++r) {
        const F wt = V::set1(w[r][0]);
        lo[r] = V::fmadd(wt, x0, lo[r]);
        hi[r] = V::fmadd(wt, x1, hi[r]);
      }
    }
    const float* v = values + (start_b * kvh + g) * vd + c;
    for (size_t t = 0; t < shared; ++t, v += vstride) {
      const F x0 = V::load(v), x1 = V::load(v + L);
      for (size_t r = 0; r < RR; ++r) {
        const F wt = V::set1(w[r][r < R ? lead + t : t]);
        lo[r] = V::fmadd(wt, x0, lo[r]);
        hi[r] = V::fmadd(wt, x1, hi[r]);
      }
    }
    {
      const F x0 = V::load(v), x1 = V::load(v + L);  // key p + 1
      for (size_t r = R; r < RR; ++r) {
        const F wt = V::set1(w[r][shared]);
        lo[r] = V::fmadd(wt, x0, lo[r]);
        hi[r] = V::fmadd(wt, x1, hi[r]);
      }
    }
    for (size_t r = 0; r < RR; ++r) {
      float* o = (r < R ? out_a + r * vd : out_b + (r - R) * vd) + c;
      V::store(o, V::div(lo[r], sums[r]));
      V::store(o + L, V::div(hi[r], sums[r]));
    }
  }
}

// The single-token step: R query heads of kv head g over the cache (position
// t at row t % slots), head_dim and v_head_dim multiples of L. Scores L keys
// a head at a time (one partial vector per key, summed across lanes by
// V::sum_lanes); values for all R heads in registers while the positions
// stream, each key and value row read once for every head; each output
// divided by its head's sum at the end.
template <class V, size_t R, bool kInt8>
void attend_heads_late_sum(const KvView& kv, const float* q, size_t g, uint64_t start, uint64_t p,
                           float* scores, float* out) {
  using F = typename V::F;
  constexpr size_t L = V::kLanes;
  const KvRows<kInt8> rows{kv, g};
  const size_t hd = kv.head_dim, vd = kv.v_head_dim;
  const float inv_s = 1.0f / std::sqrt(static_cast<float>(hd));
  const F inv = V::set1(inv_s);
  const size_t count = static_cast<size_t>(p - start + 1);
  const uint64_t first = start % kv.slots;
  auto next = [&](uint64_t r) { return r + 1 == kv.slots ? 0 : r + 1; };
  // An int8 row's scale, applied to its score (keys) or weight (values).
  auto key_scale = [&](uint64_t r) { return kInt8 ? kv.key_scales[r * kv.kv_heads + g] : 1.0f; };
  auto value_scale = [&](uint64_t r) { return kInt8 ? kv.value_scales[r * kv.kv_heads + g] : 1.0f; };
  decltype(rows.key(0)) keys[L];
  alignas(64) float key_scales[L];
  uint64_t row = first;
  size_t t = 0;
  for (; t + L <= count; t += L) {
    for (size_t j = 0; j < L; ++j, row = next(row)) {
      keys[j] = rows.key(row);
      if constexpr (kInt8) key_scales[j] = key_scale(row);
    }
    for (size_t r = 0; r < R; ++r) {
      const float* qr = q + r * hd;
      F part[L];
      for (size_t j = 0; j < L; ++j) part[j] = V::zero();
      for (size_t i = 0; i < hd; i += L) {
        const F qv = V::load(qr + i);
        for (size_t j = 0; j < L; ++j) part[j] = V::fmadd(V::load(keys[j] + i), qv, part[j]);
      }
      F e = V::mul(V::sum_lanes(part), inv);
      if constexpr (kInt8) e = V::mul(e, V::load(key_scales));
      V::store(scores + r * count + t, e);
    }
  }
  for (; t < count; ++t, row = next(row)) {
    const auto* k = rows.key(row);
    for (size_t r = 0; r < R; ++r) {
      F acc = V::zero();
      for (size_t i = 0; i < hd; i += L) acc = V::fmadd(V::load(k + i), V::load(q + r * hd + i), acc);
      scores[r * count + t] = V::reduce_add(acc) * inv_s;
      if constexpr (kInt8) scores[r * count + t] *= key_scale(row);
    }
  }
  F sums[R];
  for (size_t r = 0; r < R; ++r) sums[r] = softmax_weights<V>(scores + r * count, count);
  // Values kNv·L columns at a time (the count fixed at compile time, so the
  // accumulators stay in registers).
  auto columns = [&]<size_t kNv>(size_t c) {
    F acc[R][kNv];
    for (size_t r = 0; r < R; ++r)
      for (size_t j = 0; j < kNv; ++j) acc[r][j] = V::zero();
    uint64_t vrow = first;
    for (size_t k = 0; k < count; ++k, vrow = next(vrow)) {
      F x[kNv];
      const auto* v = rows.value(vrow) + c;
      for (size_t j = 0; j < kNv; ++j) x[j] = V::load(v + L * j);
      const float vs = value_scale(vrow);
      for (size_t r = 0; r < R; ++r) {
        const F wt = V::set1(kInt8 ? scores[r * count + k] * vs : scores[r * count + k]);
        for (size_t j = 0; j < kNv; ++j) acc[r][j] = V::fmadd(wt, x[j], acc[r][j]);
      }
    }
    for (size_t r = 0; r < R; ++r)
      for (size_t j = 0; j < kNv; ++j) V::store(out + r * vd + c + L * j, V::div(acc[r][j], sums[r]));
  };
  size_t c = 0;
  for (; c + 4 * L <= vd; c += 4 * L) columns.template operator()<4>(c);
  for (; c < vd; c += L) columns.template operator()<1>(c);
}

}  // namespace
}  // namespace pinnet::core::simd
