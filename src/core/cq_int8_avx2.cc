// AVX2 kernels of the int8 codebook-quantised products. Compiled with
// -mavx2 -mfma; like cq_avx2.cc this file includes nothing but intrinsics and
// cq_kernels.h (which also states the result every path must give).
//
// Per 64-element unit of a row: one 32-byte load, a mask and a shift give
// the codes of elements 0..31 and 32..63, VPSHUFB turns them into int8
// levels. VPMADDUBSW wants one unsigned operand, so the input goes in as
// |q| and its sign moves onto the levels (VPSIGNB): |q|·sign(q)·w = q·w, and
// both factors are at most 127 so a pair sum (at most 32258) never
// saturates. VPMADDWD against ones widens the pair sums to 32-bit lanes of 4
// elements each; they add up exactly over the group. At the end of a group
// VPHADDD gathers the totals of a whole tile (4 rows, or 2 rows x 4 inputs)
// into one vector, which takes one conversion and one fused multiply-add
// with the tile's scale products.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "core/cq_kernels.h"

namespace pinnet::core::cq_kernels {
namespace {

constexpr uint64_t kUnitBytes = kUnit / 2;

struct Consts {
  __m256i table;  // the 16 int8 levels in both 128-bit halves (VPSHUFB is per half)
  __m256i mask;   // 0x0F in every byte
  __m256i ones;   // 1 in every 16-bit lane
};

inline Consts consts(const Int8View& t) {
  return Consts{
      _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(t.levels))),
      _mm256_set1_epi8(0x0F), _mm256_set1_epi16(1)};
}

// Levels of elements 0..31 (w0) and 32..63 (w1) of the unit at p.
inline void unit_levels(const uint8_t* p, const Consts& c, __m256i& w0, __m256i& w1) {
  const __m256i raw = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  w0 = _mm256_shuffle_epi8(c.table, _mm256_and_si256(raw, c.mask));
  w1 = _mm256_shuffle_epi8(c.table, _mm256_and_si256(_mm256_srli_epi16(raw, 4), c.mask));
}

// 32-bit lane k: Σ w·x over bytes 4k..4k+3; ax = |x|.
inline __m256i dot32(__m256i w, __m256i x, __m256i ax, __m256i ones) {
  return _mm256_madd_epi16(_mm256_maddubs_epi16(ax, _mm256_sign_epi8(w, x)), ones);
}

struct Input {
  __m256i x0, x1, a0, a1;  // elements 0..31 and 32..63 of a unit, and their magnitudes
};

inline Input load_input(const int8_t* q) {
  Input in;
  in.x0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q));
  in.x1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + 32));
  in.a0 = _mm256_abs_epi8(in.x0);
  in.a1 = _mm256_abs_epi8(in.x1);
  return in;
}

inline __m256i unit_dot(__m256i w0, __m256i w1, const Input& in, __m256i ones) {
  return _mm256_add_epi32(dot32(w0, in.x0, in.a0, ones), dot32(w1, in.x1, in.a1, ones));
}

// Exact total of the 8 lanes.
inline int32_t hsum_epi32(__m256i a) {
  __m128i s = _mm_add_epi32(_mm256_castsi256_si128(a), _mm256_extracti128_si256(a, 1));
  s = _mm_add_epi32(s, _mm_unpackhi_epi64(s, s));
  s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 1));
  return _mm_cvtsi128_si32(s);
}

// acc = fma(float(sum), f, acc) on one scalar, as the portable kernel does.
inline float fold(int32_t sum, float f, float acc) {
  return _mm_cvtss_f32(_mm_fmadd_ss(_mm_cvtsi32_ss(_mm_setzero_ps(), sum), _mm_set_ss(f),
                                    _mm_set_ss(acc)));
}

// The totals of 4 sums: [S0, S1, S2, S3].
inline __m128i totals4(__m256i s0, __m256i s1, __m256i s2, __m256i s3) {
  const __m256i p = _mm256_hadd_epi32(_mm256_hadd_epi32(s0, s1), _mm256_hadd_epi32(s2, s3));
  return _mm_add_epi32(_mm256_castsi256_si128(p), _mm256_extracti128_si256(p, 1));
}

// kR rows times one input: each input unit is loaded once for all rows.
template <int kR>
inline void matvec_tile(const Int8View& t, const Consts& c, const int8_t* xq, const float* xs,
                        uint64_t r, float* y) {
  static_assert(kR == 1 || kR == 4);
  const uint64_t units = t.group / kUnit;
  __m128 acc4 = _mm_setzero_ps();  // kR == 4
  float acc1 = 0.0f;               // kR == 1
  const uint8_t* code = t.codes + r * t.row_bytes;
  const float* scale = t.scales + r * t.groups_per_row;
  const uint64_t gpr = t.groups_per_row;
  const int8_t* x = xq;
  for (uint64_t g = 0; g < gpr; ++g) {
    __m256i sum[kR];
#pragma GCC unroll 8
    for (int i = 0; i < kR; ++i) sum[i] = _mm256_setzero_si256();
    for (uint64_t u = 0; u < units; ++u, code += kUnitBytes, x += kUnit) {
      const Input in = load_input(x);
#pragma GCC unroll 8
      for (int i = 0; i < kR; ++i) {
        __m256i w0, w1;
        unit_levels(code + i * t.row_bytes, c, w0, w1);
        sum[i] = _mm256_add_epi32(sum[i], unit_dot(w0, w1, in, c.ones));
      }
    }
    if constexpr (kR == 4) {
      const __m128 ws = _mm_setr_ps(scale[g], scale[gpr + g], scale[2 * gpr + g], scale[3 * gpr + g]);
      const __m128 f = _mm_mul_ps(ws, _mm_set1_ps(xs[g]));
      acc4 = _mm_fmadd_ps(_mm_cvtepi32_ps(totals4(sum[0], sum[1], sum[2], sum[3])), f, acc4);
    } else {
      acc1 = fold(hsum_epi32(sum[0]), scale[g] * xs[g], acc1);
    }
  }
  if constexpr (kR == 4) {
    _mm_storeu_ps(y + r, _mm_mul_ps(acc4, _mm_set1_ps(t.level_scale)));
  } else {
    y[r] = acc1 * t.level_scale;
  }
}

// kR rows times kV inputs (2 x 4, or a 1-row / 1-input remainder): each row
// unit is decoded once for all inputs and each input half-unit loaded once
// for all rows. Registers: kR·kV sums, 2·kR levels, an input half and its
// magnitude, and the ones (15 for 2 x 4).
template <int kR, int kV>
inline void matmul_tile(const Int8View& t, const Consts& c, const int8_t* xq, const float* xs,
                        uint64_t r, uint64_t v, float* y) {
  constexpr bool kFull = kR == 2 && kV == 4;
  static_assert(kFull || kR == 1 || kV == 1);
  const uint64_t units = t.group / kUnit;
  const uint64_t gpr = t.groups_per_row;
  __m256 acc8 = _mm256_setzero_ps();  // kFull: lane 4i + j
  float acc[kR][kV] = {};             // otherwise
  const uint8_t* code = t.codes + r * t.row_bytes;
  const int8_t* x = xq + v * t.padded_cols;
  for (uint64_t g = 0; g < gpr; ++g) {
    __m256i sum[kR][kV];
#pragma GCC unroll 8
    for (int i = 0; i < kR; ++i)
#pragma GCC unroll 8
      for (int j = 0; j < kV; ++j) sum[i][j] = _mm256_setzero_si256();
    for (uint64_t u = 0; u < units; ++u, code += kUnitBytes, x += kUnit) {
      __m256i w[kR][2];
#pragma GCC unroll 8
      for (int i = 0; i < kR; ++i) unit_levels(code + i * t.row_bytes, c, w[i][0], w[i][1]);
#pragma GCC unroll 8
      for (int j = 0; j < kV; ++j) {
#pragma GCC unroll 2
        for (int h = 0; h < 2; ++h) {
          const __m256i xv =
              _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x + j * t.padded_cols + 32 * h));
          const __m256i ax = _mm256_abs_epi8(xv);
#pragma GCC unroll 8
          for (int i = 0; i < kR; ++i)
            sum[i][j] = _mm256_add_epi32(sum[i][j], dot32(w[i][h], xv, ax, c.ones));
        }
      }
    }
    const float* ws = t.scales + r * gpr + g;
    const float* in_scale = xs + v * gpr + g;
    if constexpr (kFull) {
      const __m128i t0 = totals4(sum[0][0], sum[0][1], sum[0][2], sum[0][3]);
      const __m128i t1 = totals4(sum[1][0], sum[1][1], sum[1][2], sum[1][3]);
      const __m256i tot = _mm256_inserti128_si256(_mm256_castsi128_si256(t0), t1, 1);
      const __m128 x4 = _mm_setr_ps(in_scale[0], in_scale[gpr], in_scale[2 * gpr], in_scale[3 * gpr]);
      const __m256 wsv = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_set1_ps(ws[0])),
                                              _mm_set1_ps(ws[gpr]), 1);
      const __m256 f = _mm256_mul_ps(wsv, _mm256_insertf128_ps(_mm256_castps128_ps256(x4), x4, 1));
      acc8 = _mm256_fmadd_ps(_mm256_cvtepi32_ps(tot), f, acc8);
    } else {
#pragma GCC unroll 8
      for (int i = 0; i < kR; ++i)
#pragma GCC unroll 8
        for (int j = 0; j < kV; ++j)
          acc[i][j] = fold(hsum_epi32(sum[i][j]), ws[i * gpr] * in_scale[j * gpr], acc[i][j]);
    }
  }
  if constexpr (kFull) {
    alignas(32) float out[8];
    _mm256_store_ps(out, _mm256_mul_ps(acc8, _mm256_set1_ps(t.level_scale)));
    for (int i = 0; i < kR; ++i)
      for (int j = 0; j < kV; ++j) y[(v + j) * t.rows + r + i] = out[4 * i + j];
  } else {
    for (int i = 0; i < kR; ++i)
      for (int j = 0; j < kV; ++j) y[(v + j) * t.rows + r + i] = acc[i][j] * t.level_scale;
  }
}

constexpr int kMatvecRows = 4;
constexpr int kTileRows = 2;
constexpr int kTileVectors = 4;

template <int kR>
void matmul_rows(const Int8View& t, const Consts& c, const int8_t* xq, const float* xs,
                 uint64_t r, uint64_t v0, uint64_t v1, float* y) {
  uint64_t v = v0;
  for (; v + kTileVectors <= v1; v += kTileVectors) matmul_tile<kR, kTileVectors>(t, c, xq, xs, r, v, y);
  for (; v < v1; ++v) matmul_tile<kR, 1>(t, c, xq, xs, r, v, y);
}

}  // namespace

void matvec_int8_avx2(const Int8View& t, const int8_t* xq, const float* xs, uint64_t r0,
                      uint64_t r1, float* y) {
  const Consts c = consts(t);
  uint64_t r = r0;
  for (; r + kMatvecRows <= r1; r += kMatvecRows) matvec_tile<kMatvecRows>(t, c, xq, xs, r, y);
  for (; r < r1; ++r) matvec_tile<1>(t, c, xq, xs, r, y);
}

void matmul_int8_avx2(const Int8View& t, const int8_t* xq, const float* xs, uint64_t r0,
                      uint64_t r1, uint64_t v0, uint64_t v1, float* y) {
  const Consts c = consts(t);
  uint64_t r = r0;
  for (; r + kTileRows <= r1; r += kTileRows) matmul_rows<kTileRows>(t, c, xq, xs, r, v0, v1, y);
  for (; r < r1; ++r) matmul_rows<1>(t, c, xq, xs, r, v0, v1, y);
}

}  // namespace pinnet::core::cq_kernels
