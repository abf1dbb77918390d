// AVX2 kernel of the int8 codebook-quantised products. Compiled with
// -mavx2 -mfma -mf16c; like cq_float_avx2.cc this file includes nothing but intrinsics and
// cq_kernels.h (which states the layout and the result every path must give).
//
// Per tile of 16 rows and quad of 4 elements, 32 code bytes: a mask gives
// rows 0..7's codes and a shift and a mask rows 8..15's, VPSHUFB turns them
// into int8 levels, one row's four per 32-bit lane. VPMADDUBSW wants one
// unsigned operand, so the input quad (broadcast to every lane) goes in as
// |q| and its sign moves onto the levels (VPSIGNB): |q|·sign(q)·w = q·w, and
// both factors are at most 127 so a pair sum (at most 32258) never
// saturates; VPMADDWD against ones adds the two pairs into the row's lane.
// The sums are exact, and each group folds into one float accumulator per
// row: the portable path's result to the last bit.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "core/simd/cq_kernels.h"
#include "core/simd/cq_prefetch.h"

namespace pinnet::core::cq_kernels {
namespace {

struct Consts {
  __m256i table;  // the 16 int8 levels in both 128-bit halves (VPSHUFB is per half)
  __m256i mask;   // 0x0F in every byte
  __m256i ones;   // 1 in every 16-bit lane
};

// kT tiles (16 kT rows) times kV inputs from tile t and input v; per tile
// and input two sums and two accumulators, rows 0..7 and 8..15.
template <int kT, int kV>
inline void tile(const Int8View& t, const Consts& c, const int8_t* xq, const float* xs,
                 uint64_t t0, uint64_t v, float* y) {
  const uint64_t quads = t.padded_cols / 4, gpr = t.groups_per_row, per_group = t.group / 4;
  const uint8_t* codes = t.codes + t0 * quads * kInt8QuadBytes;
  const uint16_t* ws = t.scales + t0 * gpr * kInt8TileRows;
  const int8_t* x = xq + v * t.padded_cols;
  const uint64_t ahead = prefetch_distance(kT, quads * kInt8QuadBytes);
  __m256 acc[kT][kV][2];
#pragma GCC unroll 8
  for (int i = 0; i < kT; ++i)
#pragma GCC unroll 8
    for (int j = 0; j < kV; ++j) acc[i][j][0] = acc[i][j][1] = _mm256_setzero_ps();
  for (uint64_t g = 0; g < gpr; ++g) {
    __m256i sum[kT][kV][2];
#pragma GCC unroll 8
    for (int i = 0; i < kT; ++i)
#pragma GCC unroll 8
      for (int j = 0; j < kV; ++j) sum[i][j][0] = sum[i][j][1] = _mm256_setzero_si256();
    for (uint64_t q = g * per_group; q < (g + 1) * per_group; ++q) {
      if constexpr (kV == 1) {
        // One input streams every code once: ask for the codes ahead, a
        // line per tile every other quad.
        if (q % 2 == 0) {
#pragma GCC unroll 8
          for (int i = 0; i < kT; ++i) prefetch_ahead(codes + (i * quads + q) * kInt8QuadBytes, ahead);
        }
      }
      __m256i w[kT][2];
#pragma GCC unroll 8
      for (int i = 0; i < kT; ++i) {
        const __m256i raw = _mm256_loadu_si256(
            reinterpret_cast<const __m256i*>(codes + (i * quads + q) * kInt8QuadBytes));
        w[i][0] = _mm256_shuffle_epi8(c.table, _mm256_and_si256(raw, c.mask));
        w[i][1] = _mm256_shuffle_epi8(c.table, _mm256_and_si256(_mm256_srli_epi16(raw, 4), c.mask));
      }
#pragma GCC unroll 8
      for (int j = 0; j < kV; ++j) {
        int32_t four;
        __builtin_memcpy(&four, x + j * t.padded_cols + 4 * q, 4);
        const __m256i xb = _mm256_set1_epi32(four);
        const __m256i ax = _mm256_abs_epi8(xb);
#pragma GCC unroll 8
        for (int i = 0; i < kT; ++i)
#pragma GCC unroll 2
          for (int h = 0; h < 2; ++h) {
            const __m256i p = _mm256_maddubs_epi16(ax, _mm256_sign_epi8(w[i][h], xb));
            sum[i][j][h] = _mm256_add_epi32(sum[i][j][h], _mm256_madd_epi16(p, c.ones));
          }
      }
    }
#pragma GCC unroll 8
    for (int i = 0; i < kT; ++i)
#pragma GCC unroll 2
      for (int h = 0; h < 2; ++h) {
        const __m256 scale = _mm256_cvtph_ps(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(ws + (i * gpr + g) * kInt8TileRows + 8 * h)));
#pragma GCC unroll 8
        for (int j = 0; j < kV; ++j) {
          const __m256 f = _mm256_mul_ps(scale, _mm256_broadcast_ss(xs + (v + j) * gpr + g));
          acc[i][j][h] = _mm256_fmadd_ps(_mm256_cvtepi32_ps(sum[i][j][h]), f, acc[i][j][h]);
        }
      }
  }
  const __m256 level_scale = _mm256_set1_ps(t.level_scale);
#pragma GCC unroll 8
  for (int i = 0; i < kT; ++i) {
    const uint64_t r = (t0 + i) * kInt8TileRows;
    const uint64_t live = t.rows - r < kInt8TileRows ? t.rows - r : kInt8TileRows;
#pragma GCC unroll 8
    for (int j = 0; j < kV; ++j) {
      float* out = y + (v + j) * t.rows + r;
      const __m256 lo = _mm256_mul_ps(acc[i][j][0], level_scale);
      const __m256 hi = _mm256_mul_ps(acc[i][j][1], level_scale);
      if (live == kInt8TileRows) {
        _mm256_storeu_ps(out, lo);
        _mm256_storeu_ps(out + 8, hi);
      } else {  // the last, padded tile
        alignas(32) float all[kInt8TileRows];
        _mm256_store_ps(all, lo);
        _mm256_store_ps(all + 8, hi);
        for (uint64_t k = 0; k < live; ++k) out[k] = all[k];
      }
    }
  }
}

// Tiles [t0, t1) for inputs [v0, v1) in steps of kT tiles and kV inputs,
// the remainders with smaller steps.
template <int kT, int kV>
void tiles(const Int8View& t, const Consts& c, const int8_t* xq, const float* xs, uint64_t t0,
           uint64_t t1, uint64_t v0, uint64_t v1, float* y) {
  uint64_t i = t0;
  for (; i + kT <= t1; i += kT) {
    uint64_t v = v0;
    for (; v + kV <= v1; v += kV) tile<kT, kV>(t, c, xq, xs, i, v, y);
    if constexpr (kV > 1) {
      if (v < v1) tiles<kT, 1>(t, c, xq, xs, i, i + kT, v, v1, y);
    }
  }
  if constexpr (kT > 1) {
    if (i < t1) tiles<1, kV>(t, c, xq, xs, i, t1, v0, v1, y);
  }
}

// Measured here (AVX2 on an AVX-512 machine, 512 x 512 and 2048 x 512 by
// 128 inputs, 4096 x 4096 by one): 1 tile x 2 inputs and 2 x 2 within
// noise of each other, 1 x 3 and 2 x 1 slower; a single input on 1 or 2
// tiles within noise. Sixteen registers hold 1 x 2 without spilling.
constexpr int kBatchTiles = 1, kBatchInputs = 2, kSingleTiles = 2;

}  // namespace

void matmul_int8_avx2(const Int8View& t, const int8_t* xq, const float* xs, uint64_t t0,
                      uint64_t t1, uint64_t v0, uint64_t v1, float* y) {
  const Consts c{
      _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(t.levels))),
      _mm256_set1_epi8(0x0F), _mm256_set1_epi16(1)};
  if (v1 - v0 == 1) {
    tiles<kSingleTiles, 1>(t, c, xq, xs, t0, t1, v0, v1, y);
  } else {
    tiles<kBatchTiles, kBatchInputs>(t, c, xq, xs, t0, t1, v0, v1, y);
  }
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
