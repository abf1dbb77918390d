// AVX-512 VNNI kernel of the int8 codebook-quantised products. Compiled with
// the AVX-512, VNNI and VBMI flags; like the other kernel units this file
// includes nothing but intrinsics and cq_kernels.h (which states the layout
// and the result every path must give).
//
// Per tile of 16 rows and quad of 4 elements, 32 code bytes broadcast to
// both halves of a register; shifting the upper half's 64-bit lanes by 4
// puts each byte's high nibble (rows 8..15) where VPERMB reads its index, and
// VPERMB reads only the low 6 bits of an index byte from a table that
// repeats every 16 bytes, so no mask is needed. That gives one row's four
// levels per 32-bit lane, and one VPDPBUSD per input (its quad broadcast to
// every lane) adds the row's four products into it. VPDPBUSD multiplies
// unsigned bytes by signed ones, so the levels go in with +128 and each
// group's sums start from -128·Σ q over the group (prepare_int8_avx512).
// The sums are exact, and each group folds into one float accumulator per
// row: the portable path's result to the last bit.
#include "core/simd/x86_intrinsics.h"

#include <cstddef>
#include <cstdint>

#include "core/simd/cq_kernels.h"
#include "core/simd/cq_prefetch.h"

namespace pinnet::core::cq_kernels {
namespace {

// Offset levels of a tile's quad: 32-bit lane i is row i's four levels + 128.
inline __m512i quad_levels(const uint8_t* p, __m512i table, __m512i shifts) {
  const __m512i raw = _mm512_broadcast_i64x4(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
  return _mm512_permutexvar_epi8(_mm512_srlv_epi64(raw, shifts), table);
}

// kT tiles (16 kT rows) times kV inputs from tile t and input v. Each tile's
// quad is decoded once for all inputs and each input quad broadcast once for
// all tiles; the integer sums of a group (one per row and input) fold into
// float accumulators with one conversion, one multiply and one multiply-add.
template <int kT, int kV>
inline void tile(const Int8View& t, __m512i table, __m512i shifts, const int8_t* xq,
                 const float* xs, const int32_t* offsets, uint64_t t0, uint64_t v, float* y) {
  const uint64_t quads = t.padded_cols / 4, gpr = t.groups_per_row, per_group = t.group / 4;
  const uint8_t* codes = t.codes + t0 * quads * kInt8QuadBytes;
  const uint16_t* ws = t.scales + t0 * gpr * kInt8TileRows;
  const int8_t* x = xq + v * t.padded_cols;
  const uint64_t ahead = prefetch_distance(kT, quads * kInt8QuadBytes);
  __m512 acc[kT][kV];
#pragma GCC unroll 8
  for (int i = 0; i < kT; ++i)
#pragma GCC unroll 8
    for (int j = 0; j < kV; ++j) acc[i][j] = _mm512_setzero_ps();
  for (uint64_t g = 0; g < gpr; ++g) {
    __m512i sum[kT][kV];
#pragma GCC unroll 8
    for (int j = 0; j < kV; ++j) {
      const __m512i start = _mm512_set1_epi32(offsets[(v + j) * gpr + g]);
#pragma GCC unroll 8
      for (int i = 0; i < kT; ++i) sum[i][j] = start;
    }
    for (uint64_t q = g * per_group; q < (g + 1) * per_group; ++q) {
      if constexpr (kV == 1) {
        // One input streams every code once: ask for the codes ahead, a
        // line per tile every other quad.
        if (q % 2 == 0) {
#pragma GCC unroll 8
          for (int i = 0; i < kT; ++i) prefetch_ahead(codes + (i * quads + q) * kInt8QuadBytes, ahead);
        }
      }
      __m512i w[kT];
#pragma GCC unroll 8
      for (int i = 0; i < kT; ++i)
        w[i] = quad_levels(codes + (i * quads + q) * kInt8QuadBytes, table, shifts);
#pragma GCC unroll 8
      for (int j = 0; j < kV; ++j) {
        int32_t four;
        __builtin_memcpy(&four, x + j * t.padded_cols + 4 * q, 4);
        const __m512i xb = _mm512_set1_epi32(four);
#pragma GCC unroll 8
        for (int i = 0; i < kT; ++i) sum[i][j] = _mm512_dpbusd_epi32(sum[i][j], w[i], xb);
      }
    }
#pragma GCC unroll 8
    for (int i = 0; i < kT; ++i) {
      const __m512 scale = _mm512_cvtph_ps(
          _mm256_loadu_si256(reinterpret_cast<const __m256i*>(ws + (i * gpr + g) * kInt8TileRows)));
#pragma GCC unroll 8
      for (int j = 0; j < kV; ++j) {
        const __m512 f = _mm512_mul_ps(scale, _mm512_set1_ps(xs[(v + j) * gpr + g]));
        acc[i][j] = _mm512_fmadd_ps(_mm512_cvtepi32_ps(sum[i][j]), f, acc[i][j]);
      }
    }
  }
  const __m512 level_scale = _mm512_set1_ps(t.level_scale);
#pragma GCC unroll 8
  for (int i = 0; i < kT; ++i) {
    const uint64_t r = (t0 + i) * kInt8TileRows;
    const uint64_t live = t.rows - r < kInt8TileRows ? t.rows - r : kInt8TileRows;
    const __mmask16 mask = static_cast<__mmask16>((1u << live) - 1);
#pragma GCC unroll 8
    for (int j = 0; j < kV; ++j)
      _mm512_mask_storeu_ps(y + (v + j) * t.rows + r, mask, _mm512_mul_ps(acc[i][j], level_scale));
  }
}

// Tiles [t0, t1) for inputs [v0, v1) in steps of kT tiles and kV inputs,
// the remainders with smaller steps.
template <int kT, int kV>
void tiles(const Int8View& t, __m512i table, __m512i shifts, const int8_t* xq, const float* xs,
           const int32_t* offsets, uint64_t t0, uint64_t t1, uint64_t v0, uint64_t v1, float* y) {
  uint64_t i = t0;
  for (; i + kT <= t1; i += kT) {
    uint64_t v = v0;
    for (; v + kV <= v1; v += kV) tile<kT, kV>(t, table, shifts, xq, xs, offsets, i, v, y);
    if constexpr (kV > 1) {
      if (v < v1) tiles<kT, 1>(t, table, shifts, xq, xs, offsets, i, i + kT, v, v1, y);
    }
  }
  if constexpr (kT > 1) {
    if (i < t1) tiles<1, kV>(t, table, shifts, xq, xs, offsets, i, t1, v0, v1, y);
  }
}

// Measured (a standalone copy, 512 x 512 and 2048 x 512 by 120 inputs): 2
// tiles x 6 inputs 153 G products/s, 4 x 3 134-142, 3 x 4 133-146, 2 x 8
// 107, 1 x 12 47-57; a single input runs best on 4 tiles (81 against 67
// on 2).
constexpr int kBatchTiles = 2, kBatchInputs = 6, kSingleTiles = 4;

}  // namespace

void prepare_int8_avx512(const Int8View& t, const int8_t* xq, uint64_t m, int32_t* offsets) {
  const __m512i offset = _mm512_set1_epi8(static_cast<char>(0x80));
  for (uint64_t v = 0; v < m; ++v) {
    const int8_t* x = xq + v * t.padded_cols;
    for (uint64_t g = 0; g < t.groups_per_row; ++g) {
      // 128·Σ q over the group: VPDPBUSD of 128s with the values, 64 at a
      // time, the tail of a group shorter than 64 masked.
      __m512i sum = _mm512_setzero_si512();
      for (uint64_t e = 0; e < t.group; e += 64) {
        const uint64_t n = t.group - e < 64 ? t.group - e : 64;
        const __mmask64 mask = n == 64 ? ~__mmask64{0} : (__mmask64{1} << n) - 1;
        sum = _mm512_dpbusd_epi32(sum, offset, _mm512_maskz_loadu_epi8(mask, x + g * t.group + e));
      }
      offsets[v * t.groups_per_row + g] = -_mm512_reduce_add_epi32(sum);
    }
  }
}

void matmul_int8_avx512(const Int8View& t, const int8_t* xq, const float* xs,
                        const int32_t* offsets, uint64_t t0, uint64_t t1, uint64_t v0,
                        uint64_t v1, float* y) {
  const __m512i levels =
      _mm512_broadcast_i32x4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(t.levels)));
  const __m512i table = _mm512_xor_si512(levels, _mm512_set1_epi8(static_cast<char>(0x80)));
  const __m512i shifts = _mm512_set_epi64(4, 4, 4, 4, 0, 0, 0, 0);
  if (v1 - v0 == 1) {
    tiles<kSingleTiles, 1>(t, table, shifts, xq, xs, offsets, t0, t1, v0, v1, y);
  } else {
    tiles<kBatchTiles, kBatchInputs>(t, table, shifts, xq, xs, offsets, t0, t1, v0, v1, y);
  }
}

}  // namespace pinnet::core::cq_kernels
