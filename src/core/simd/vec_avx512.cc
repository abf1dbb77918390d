// The AVX-512 build of the dense vector loops: the AVX2 build with these
// kernels replaced by the templates of vec_lanes.h on 16 lanes: the
// prefill's transposed-key attention, which reads keys in 16-position
// blocks, scores 64 keys per step and sums values 64 columns at a time; the
// single-token step's attention over the cache, all heads of a kv head per
// pass; the feed-forward's two-factor transform, on tiles of several output
// rows; and the sigmoid gates and exponentials, lane for lane the 8-lane
// results. Shapes these do not take, and the tails shorter than a register,
// go to the AVX2 build. Compiled with -mavx512f -mavx512vl -mavx512dq
// -mavx2 -mfma; entered only after the processor check in vec.cc.
#include "core/simd/lanes_avx512.h"

#include <algorithm>

#include "core/vec.h"
#include "core/simd/vec_lanes.h"

namespace pinnet::core {
namespace {

using simd::Avx512;

void mul_sigmoid_avx512(float* o, const float* g, size_t n) {
  const size_t i = simd::mul_sigmoid_vectors<Avx512>(o, g, n);
  if (i < n) vec_kernels_avx2().mul_sigmoid(o + i, g + i, n - i);
}

void gated_silu_avx512(float* v, const float* scale, const float* mix, const float* bias, size_t n) {
  const size_t i = simd::gated_silu_vectors<Avx512>(v, scale, mix, bias, n);
  if (i < n) vec_kernels_avx2().gated_silu(v + i, scale + i, mix + i, bias + i, n - i);
}

template <size_t R>
void attend_rows_tile(const float* kt, const float* values, size_t kvh, size_t g, size_t hd,
                      size_t vd, const float* q, uint64_t start, uint64_t p, float* scores,
                      float* out) {
  if (vd % 64 == 0) {
    simd::attend_rows_late_sum<Avx512, R, 4>(kt, values, kvh, g, hd, vd, q, start, p, scores, out);
  } else {
    simd::attend_rows_late_sum<Avx512, R, 1>(kt, values, kvh, g, hd, vd, q, start, p, scores, out);
  }
}

void attend_rows_avx512(const float* kt, size_t kb, const float* values, size_t kvh, size_t g,
                        size_t hd, size_t vd, const float* q, size_t rows, uint64_t start,
                        uint64_t p, float* scores, float* out) {
  if (kb != 16 || vd % 16 != 0) {
    vec_kernels_avx2().attend_rows(kt, kb, values, kvh, g, hd, vd, q, rows, start, p, scores, out);
    return;
  }
  using Tile = void (*)(const float*, const float*, size_t, size_t, size_t, size_t, const float*,
                        uint64_t, uint64_t, float*, float*);
  static constexpr Tile kTiles[] = {attend_rows_tile<1>, attend_rows_tile<2>, attend_rows_tile<3>,
                                    attend_rows_tile<4>};
  for (size_t r = 0; r < rows; r += 4) {
    kTiles[std::min<size_t>(4, rows - r) - 1](kt, values, kvh, g, hd, vd, q + r * hd, start, p,
                                              scores, out + r * vd);
  }
}

void attend_group_avx512(const KvView& kv, const float* q, size_t g, size_t heads, uint64_t start,
                         uint64_t p, float* scores, float* out) {
  if (kv.head_dim % 16 != 0 || kv.v_head_dim % 16 != 0) {
    vec_kernels_avx2().attend_group(kv, q, g, heads, start, p, scores, out);
    return;
  }
  using Group = void (*)(const KvView&, const float*, size_t, uint64_t, uint64_t, float*, float*);
  static constexpr Group kGroups[2][4] = {
      {simd::attend_heads_late_sum<Avx512, 1, false>, simd::attend_heads_late_sum<Avx512, 2, false>,
       simd::attend_heads_late_sum<Avx512, 3, false>, simd::attend_heads_late_sum<Avx512, 4, false>},
      {simd::attend_heads_late_sum<Avx512, 1, true>, simd::attend_heads_late_sum<Avx512, 2, true>,
       simd::attend_heads_late_sum<Avx512, 3, true>, simd::attend_heads_late_sum<Avx512, 4, true>}};
  const size_t count = static_cast<size_t>(p - start + 1);
  for (size_t h = 0; h < heads; h += 4) {
    kGroups[kv.int8][std::min<size_t>(4, heads - h) - 1](kv, q + h * kv.head_dim, g, start, p,
                                                         scores + h * count, out + h * kv.v_head_dim);
  }
}

void attend_pair_avx512(const float* kt, size_t kb, const float* values, size_t kvh, size_t g,
                        size_t hd, size_t vd, const float* qa, const float* qb, size_t rows,
                        uint64_t start_a, uint64_t start_b, uint64_t p, float* scores,
                        float* out_a, float* out_b) {
  using Pair = void (*)(const float*, const float*, size_t, size_t, size_t, size_t, const float*,
                        const float*, uint64_t, uint64_t, uint64_t, float*, float*, float*);
  static constexpr Pair kPairs[] = {simd::attend_pair_late_sum<Avx512, 1>,
                                    simd::attend_pair_late_sum<Avx512, 2>,
                                    simd::attend_pair_late_sum<Avx512, 3>,
                                    simd::attend_pair_late_sum<Avx512, 4>};
  if (kb == 16 && vd % 32 == 0 && rows >= 1 && rows <= 4) {
    kPairs[rows - 1](kt, values, kvh, g, hd, vd, qa, qb, start_a, start_b, p, scores, out_a, out_b);
    return;
  }
  attend_rows_avx512(kt, kb, values, kvh, g, hd, vd, qa, rows, start_a, p, scores, out_a);
  attend_rows_avx512(kt, kb, values, kvh, g, hd, vd, qb, rows, start_b, p + 1, scores, out_b);
}

// Unlike the AVX2 build no zero coefficient is skipped (each term is still
// added in the same order, so finite inputs give the same sums).
void two_factor_avx512(const float* v, const float* a, const float* b, size_t r, size_t c,
                       float* mid, float* out) {
  if (r % 8 == 0 && c == 16) return simd::two_factor_tiles<Avx512, 8, 1>(v, a, b, r, mid, out);
  if (r % 8 == 0 && c == 32) return simd::two_factor_tiles<Avx512, 8, 2>(v, a, b, r, mid, out);
  if (r % 4 == 0 && c == 64) return simd::two_factor_tiles<Avx512, 4, 4>(v, a, b, r, mid, out);
  if (r % 4 == 0 && c == 16) return simd::two_factor_tiles<Avx512, 4, 1>(v, a, b, r, mid, out);
  if (r % 4 == 0 && c == 32) return simd::two_factor_tiles<Avx512, 4, 2>(v, a, b, r, mid, out);
  vec_kernels_avx2().two_factor(v, a, b, r, c, mid, out);
}

}  // namespace

const VecKernels& vec_kernels_avx512() {
  static const VecKernels k = [] {
    VecKernels v = vec_kernels_avx2();
    v.attend_rows = attend_rows_avx512;
    v.key_block = 16;
    v.attend_pair = attend_pair_avx512;
    v.attend_group = attend_group_avx512;
    v.mul_sigmoid = mul_sigmoid_avx512;
    v.gated_silu = gated_silu_avx512;
    v.two_factor = two_factor_avx512;
    v.exp_shifted = simd::exp_shifted<Avx512>;
    return v;
  }();
  return k;
}

}  // namespace pinnet::core
