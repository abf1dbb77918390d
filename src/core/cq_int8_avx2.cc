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
// elements each; they add up exactly over the group, and each group is
// folded into a float accumulator with its two scales.
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

inline float hsum(__m256 a) {
  __m128 s = _mm_add_ps(_mm256_castps256_ps128(a), _mm256_extractf128_ps(a, 1));
  s = _mm_add_ps(s, _mm_movehl_ps(s, s));
  s = _mm_add_ss(s, _mm_movehdup_ps(s));
  return _mm_cvtss_f32(s);
}

// kR rows times one input: each input unit is loaded once for all rows.
template <int kR>
inline void matvec_tile(const Int8View& t, const Consts& c, const int8_t* xq, const float* xs,
                        uint64_t r, float* y) {
  const uint64_t units = t.group / kUnit;
  __m256 acc[kR];
#pragma GCC unroll 8
  for (int i = 0; i < kR; ++i) acc[i] = _mm256_setzero_ps();
  const uint8_t* code = t.codes + r * t.row_bytes;
  const int8_t* x = xq;
  for (uint64_t g = 0; g < t.groups_per_row; ++g) {
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
#pragma GCC unroll 8
    for (int i = 0; i < kR; ++i) {
      const __m256 f = _mm256_set1_ps(t.scales[(r + i) * t.groups_per_row + g] * xs[g]);
      acc[i] = _mm256_fmadd_ps(_mm256_cvtepi32_ps(sum[i]), f, acc[i]);
    }
  }
#pragma GCC unroll 8
  for (int i = 0; i < kR; ++i) y[r + i] = hsum(acc[i]) * t.level_scale;
}

// kR rows times kV inputs: each row unit is decoded once for all inputs and
// each input half-unit loaded once for all rows. Registers: kR·kV sums, 2·kR
// levels, an input half and its magnitude, and the ones (15 for 2 x 4); the
// float accumulators live in memory and are touched once per group.
template <int kR, int kV>
inline void matmul_tile(const Int8View& t, const Consts& c, const int8_t* xq, const float* xs,
                        uint64_t r, uint64_t v, float* y) {
  const uint64_t units = t.group / kUnit;
  alignas(32) float acc[kR][kV][8] = {};
  const uint8_t* code = t.codes + r * t.row_bytes;
  const int8_t* x = xq + v * t.padded_cols;
  for (uint64_t g = 0; g < t.groups_per_row; ++g) {
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
#pragma GCC unroll 8
    for (int i = 0; i < kR; ++i) {
      const __m256 ws = _mm256_set1_ps(t.scales[(r + i) * t.groups_per_row + g]);
#pragma GCC unroll 8
      for (int j = 0; j < kV; ++j) {
        // ws·xs rounded once, as in the portable kernel.
        const __m256 f = _mm256_mul_ps(ws, _mm256_set1_ps(xs[(v + j) * t.groups_per_row + g]));
        _mm256_store_ps(acc[i][j], _mm256_fmadd_ps(_mm256_cvtepi32_ps(sum[i][j]), f,
                                                   _mm256_load_ps(acc[i][j])));
      }
    }
  }
#pragma GCC unroll 8
  for (int i = 0; i < kR; ++i)
#pragma GCC unroll 8
    for (int j = 0; j < kV; ++j)
      y[(v + j) * t.rows + r + i] = hsum(_mm256_load_ps(acc[i][j])) * t.level_scale;
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
