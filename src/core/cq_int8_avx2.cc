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
// elements each; they add up exactly over the group, then take one
// conversion and one fused multiply-add into float lanes. No horizontal step
// until a row is done: gathering each group's total across lanes cost more
// than the products themselves at 64-element groups.
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

// Σ of the 8 lanes in the order cq_kernels.h fixes:
// ((a0 + a4) + (a2 + a6)) + ((a1 + a5) + (a3 + a7)).
inline float lane_total(__m256 a) {
  __m128 s = _mm_add_ps(_mm256_castps256_ps128(a), _mm256_extractf128_ps(a, 1));
  s = _mm_add_ps(s, _mm_movehl_ps(s, s));
  s = _mm_add_ss(s, _mm_movehdup_ps(s));
  return _mm_cvtss_f32(s);
}

// kR rows times kV inputs. Each row unit is decoded once for all inputs and
// each input unit loaded once for all rows; the integer lane sums of a group
// fold into float lane accumulators (one conversion and one multiply-add per
// row and input), of the group's half (cq_kernels.h), and the lanes add up
// once, at the end of the row. Registers for 2 x 2: 8 accumulators, 4 lane
// sums, 4 level halves, an input half and its magnitude, and the constants.
template <int kR, int kV>
inline void tile(const Int8View& t, const Consts& c, const int8_t* xq, const float* xs,
                 uint64_t r, uint64_t v, float* y) {
  const uint64_t units = t.group / kUnit;
  const uint64_t gpr = t.groups_per_row;
  __m256 acc[2][kR][kV];
#pragma GCC unroll 8
  for (int i = 0; i < kR; ++i)
#pragma GCC unroll 8
    for (int j = 0; j < kV; ++j) acc[0][i][j] = acc[1][i][j] = _mm256_setzero_ps();
  const uint8_t* row_code = t.codes + r * t.row_bytes;
  const int8_t* row_x = xq + v * t.padded_cols;
  const float* ws = t.scales + r * gpr;
  const float* in_scale = xs + v * gpr;
  auto group = [&](uint64_t g, __m256 (&a)[kR][kV]) {
    __m256i sum[kR][kV];
#pragma GCC unroll 8
    for (int i = 0; i < kR; ++i)
#pragma GCC unroll 8
      for (int j = 0; j < kV; ++j) sum[i][j] = _mm256_setzero_si256();
    const uint8_t* code = row_code + g * units * kUnitBytes;
    const int8_t* x = row_x + g * t.group;
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
    for (int j = 0; j < kV; ++j) {
      const __m256 sj = _mm256_broadcast_ss(in_scale + j * gpr + g);
#pragma GCC unroll 8
      for (int i = 0; i < kR; ++i) {
        const __m256 f = _mm256_mul_ps(_mm256_broadcast_ss(ws + i * gpr + g), sj);
        a[i][j] = _mm256_fmadd_ps(_mm256_cvtepi32_ps(sum[i][j]), f, a[i][j]);
      }
    }
  };
  if (t.group == kUnit) {
    uint64_t g = 0;
    for (; g + 2 <= gpr; g += 2) {
      group(g, acc[0]);
      group(g + 1, acc[1]);
    }
    if (g < gpr) group(g, acc[0]);
  } else {
    for (uint64_t g = 0; g < gpr; ++g) group(g, acc[0]);
  }
#pragma GCC unroll 8
  for (int i = 0; i < kR; ++i)
#pragma GCC unroll 8
    for (int j = 0; j < kV; ++j)
      y[(v + j) * t.rows + r + i] =
          lane_total(_mm256_add_ps(acc[0][i][j], acc[1][i][j])) * t.level_scale;
}

constexpr int kMatvecRows = 4;
constexpr int kTileRows = 2;
constexpr int kTileVectors = 2;

template <int kR>
void matmul_rows(const Int8View& t, const Consts& c, const int8_t* xq, const float* xs,
                 uint64_t r, uint64_t v0, uint64_t v1, float* y) {
  uint64_t v = v0;
  for (; v + kTileVectors <= v1; v += kTileVectors) tile<kR, kTileVectors>(t, c, xq, xs, r, v, y);
  for (; v < v1; ++v) tile<kR, 1>(t, c, xq, xs, r, v, y);
}

}  // namespace

void matvec_int8_avx2(const Int8View& t, const int8_t* xq, const float* xs, uint64_t r0,
                      uint64_t r1, float* y) {
  const Consts c = consts(t);
  uint64_t r = r0;
  for (; r + kMatvecRows <= r1; r += kMatvecRows) tile<kMatvecRows, 1>(t, c, xq, xs, r, 0, y);
  for (; r < r1; ++r) tile<1, 1>(t, c, xq, xs, r, 0, y);
}

void matmul_int8_avx2(const Int8View& t, const int8_t* xq, const float* xs, uint64_t r0,
                      uint64_t r1, uint64_t v0, uint64_t v1, float* y) {
  const Consts c = consts(t);
  uint64_t r = r0;
  for (; r + kTileRows <= r1; r += kTileRows) matmul_rows<kTileRows>(t, c, xq, xs, r, v0, v1, y);
  for (; r < r1; ++r) matmul_rows<1>(t, c, xq, xs, r, v0, v1, y);
}

void quantize_int8_avx2(const float* x, uint64_t n, uint64_t group, int8_t* q, float* scales) {
  const __m256 magnitude = _mm256_castsi256_ps(_mm256_set1_epi32(0x7FFFFFFF));
  const __m256 lo = _mm256_set1_ps(-127.0f), hi = _mm256_set1_ps(127.0f);
  for (uint64_t g = 0; g * group < n; ++g) {
    const float* xg = x + g * group;
    // VMAXPS returns its second operand when either is NaN: a NaN input
    // leaves the running maximum alone, as the portable std::max does.
    __m256 top8 = _mm256_setzero_ps();
    for (uint64_t j = 0; j < group; j += 8)
      top8 = _mm256_max_ps(_mm256_and_ps(_mm256_loadu_ps(xg + j), magnitude), top8);
    __m128 t4 = _mm_max_ps(_mm256_castps256_ps128(top8), _mm256_extractf128_ps(top8, 1));
    t4 = _mm_max_ps(t4, _mm_movehl_ps(t4, t4));
    t4 = _mm_max_ss(t4, _mm_movehdup_ps(t4));
    const float top = _mm_cvtss_f32(t4);
    scales[g] = top / 127.0f;
    const __m256 inv = _mm256_set1_ps(top > 0.0f ? 127.0f / top : 0.0f);
    int8_t* qg = q + g * group;
    for (uint64_t j = 0; j < group; j += 8) {
      // Clamp first (a NaN product becomes -127), then round to nearest even.
      const __m256 v = _mm256_min_ps(_mm256_max_ps(_mm256_mul_ps(_mm256_loadu_ps(xg + j), inv), lo), hi);
      const __m256i i32 = _mm256_cvtps_epi32(v);
      const __m128i i16 = _mm_packs_epi32(_mm256_castsi256_si128(i32), _mm256_extracti128_si256(i32, 1));
      _mm_storel_epi64(reinterpret_cast<__m128i*>(qg + j), _mm_packs_epi16(i16, i16));
    }
  }
}

}  // namespace pinnet::core::cq_kernels
