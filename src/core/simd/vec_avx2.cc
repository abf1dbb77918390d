// The AVX2 build of the dense vector loops: the templates of vec_lanes.h on
// 8 lanes, and the portable bodies (vec_impl.h) compiled with -mavx2 -mfma,
// where the compiler vectorises the same source 8 wide, for dot, axpy and
// the shapes the templates do not take. Entered only after the processor
// check in vec.cc.
#include "core/simd/lanes_avx2.h"

#include "core/vec.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/hadamard.h"  // before the per-build namespace below
#include "core/simd/vec_lanes.h"

namespace pinnet::core {

namespace avx2 {
#include "core/simd/vec_impl.h"
}  // namespace avx2

namespace {

using simd::Avx2;

float exp_shifted_avx2(float* x, size_t n, float m) { return simd::exp_shifted<Avx2>(x, n, m); }

void mul_sigmoid_avx2(float* o, const float* g, size_t n) {
  for (size_t i = simd::mul_sigmoid_vectors<Avx2>(o, g, n); i < n; ++i)
    o[i] *= 1.0f / (1.0f + std::exp(-g[i]));
}

void gated_silu_avx2(float* v, const float* scale, const float* mix, const float* bias, size_t n) {
  for (size_t i = simd::gated_silu_vectors<Avx2>(v, scale, mix, bias, n); i < n; ++i) {
    const float h = scale[i] * mix[i] * v[i] + bias[i];
    v[i] = h * (1.0f / (1.0f + std::exp(-h)));
  }
}

void lane_mix_avx2(const float* m, const float* h, const float* delta, size_t n, size_t d,
                   float* stream) {
  switch (n) {
    case 1: simd::lane_mix_fixed<Avx2, 1>(m, h, delta, d, stream); break;
    case 2: simd::lane_mix_fixed<Avx2, 2>(m, h, delta, d, stream); break;
    case 4: simd::lane_mix_fixed<Avx2, 4>(m, h, delta, d, stream); break;
    case 8: simd::lane_mix_fixed<Avx2, 8>(m, h, delta, d, stream); break;
    default: avx2::lane_mix(m, h, delta, n, d, stream); break;
  }
}

void two_factor_avx2(const float* v, const float* a, const float* b, size_t r, size_t c, float* mid,
                     float* out) {
  switch (c) {
    case 8: simd::two_factor_skipping<Avx2, 1>(v, a, b, r, c, mid, out); break;
    case 16: simd::two_factor_skipping<Avx2, 2>(v, a, b, r, c, mid, out); break;
    case 32: simd::two_factor_skipping<Avx2, 4>(v, a, b, r, c, mid, out); break;
    case 64: simd::two_factor_skipping<Avx2, 8>(v, a, b, r, c, mid, out); break;
    default: avx2::two_factor(v, a, b, r, c, mid, out); break;
  }
}

void attend_group_avx2(const KvView& kv, const float* q, size_t g, size_t heads, uint64_t start,
                       uint64_t p, float* scores, float* out) {
  if (kv.head_dim % 8 != 0 || kv.v_head_dim % 8 != 0) {
    return avx2::attend_group(kv, q, g, heads, start, p, scores, out);
  }
  simd::attend_group_pairs<Avx2>(kv, q, g, heads, start, p, scores, out);
}

void attend_head_avx2(const KvView& kv, const float* q, size_t g, uint64_t start, uint64_t p,
                      float* scores, float* out) {
  if (kv.head_dim % 8 != 0 || kv.v_head_dim % 8 != 0) {
    return avx2::attend_head(kv, q, g, start, p, scores, out);
  }
  (kv.int8 ? simd::attend_head_rows<Avx2, true>
           : simd::attend_head_rows<Avx2, false>)(kv, q, g, start, p, scores, out);
}

void attend_rows_avx2(const float* kt, size_t kb, const float* values, size_t kvh, size_t g,
                      size_t hd, size_t vd, const float* q, size_t rows, uint64_t start,
                      uint64_t p, float* scores, float* out) {
  if (kb != 8 || hd % 8 != 0 || vd % 16 != 0) {
    avx2::attend_rows(kt, kb, values, kvh, g, hd, vd, q, rows, start, p, scores, out);
    return;
  }
  using Tile = void (*)(const float*, const float*, size_t, size_t, size_t, size_t, const float*,
                        uint64_t, uint64_t, float*, float*);
  static constexpr Tile kTiles[] = {
      simd::attend_rows_normalised<Avx2, 1>, simd::attend_rows_normalised<Avx2, 2>,
      simd::attend_rows_normalised<Avx2, 3>, simd::attend_rows_normalised<Avx2, 4>};
  for (size_t r = 0; r < rows; r += 4) {
    kTiles[std::min<size_t>(4, rows - r) - 1](kt, values, kvh, g, hd, vd, q + r * hd, start, p,
                                              scores, out + r * vd);
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
  // The rotation is the core transform, which has its own AVX2 build.
  static const VecKernels k{avx2::dot,          avx2::axpy,
                            two_factor_avx2,    attend_head_avx2,
                            attend_group_avx2,  exp_shifted_avx2,
                            mul_sigmoid_avx2,   gated_silu_avx2,
                            avx2::pad_and_rotate, attend_rows_avx2,
                            simd::dense_rows<Avx2>, simd::lane_combine<Avx2>,
                            lane_mix_avx2,      attend_pair_avx2,
                            8};
  return k;
}

}  // namespace pinnet::core
