// AVX2 + FMA kernels of the 4-bit linear layer. Compiled with -mavx2 -mfma;
// see int4_kernels.h for why this file includes nothing but intrinsics.
//
// Eight packed bytes (one row pair of 8 output columns) are sign-extended to
// 32-bit lanes; an arithmetic shift by 4 gives the high nibble and a left
// shift by 28 the low nibble times 2^28, both exact integers converted to
// floats (the 2^-28 goes into the input instead).
// Each (row, column) keeps one accumulator over the pairs of a group, adding
// low·a and then high·b per pair, and at the end of the group adds
// accumulator·scale to the output. The order of these operations is
// fixed per (row, column), so tiling and column splits do not change results.
#include <immintrin.h>

#include <cstdint>

#include "core/simd/int4_kernels.h"

namespace pinnet::core::int4_kernels {
namespace {

// lo: the low nibble times 2^28 (exact: the nibble is left at the top of the
// lane, which saves shifting it back); hi: the high nibble.
struct Nibbles {
  __m256 lo, hi;
};

// The input that multiplies a scaled low nibble. Scaling by a power of two is
// exact for every normal input, so lo·a' rounds exactly as nibble·a does;
// only inputs below 2^-98 in magnitude lose bits, at the subnormal level.
inline __m256 low_input(const float* x) {
  return _mm256_mul_ps(_mm256_broadcast_ss(x), _mm256_set1_ps(0x1p-28f));
}

// kTail: only the first `n` (< 8) columns exist; the rest decode as zero.
template <bool kTail>
inline Nibbles decode(const uint8_t* p, uint64_t n) {
  __m128i bytes;
  if constexpr (kTail) {
    uint64_t word = 0;
    for (uint64_t i = 0; i < n; ++i) word |= static_cast<uint64_t>(p[i]) << (8 * i);
    bytes = _mm_cvtsi64_si128(static_cast<long long>(word));
  } else {
    bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
  }
  const __m256i v = _mm256_cvtepi8_epi32(bytes);
  return {_mm256_cvtepi32_ps(_mm256_slli_epi32(v, 28)), _mm256_cvtepi32_ps(_mm256_srai_epi32(v, 4))};
}

inline __m256i tail_mask(uint64_t n) {
  const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  return _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(n)), lane);
}

// Where one group's tile reads and writes.
struct Tile {
  const uint8_t* packed;  // pair k0, first column of the tile
  const float* scales;    // the group's scales at the first column
  const float* x;         // row 0 of the inputs (element 0)
  float* y;               // row 0 of the outputs at the first column
  uint64_t x_stride, y_stride;
};

// One pair step: acc += nibble_lo·a, then acc += nibble_hi·b, for every row
// and block.
template <int kR, int kB, bool kTail>
inline void pair_step(const uint8_t* p, uint64_t n, const float* x, uint64_t xs, uint64_t k,
                      bool has_high, __m256 (&acc)[kR][kB]) {
  Nibbles d[kB];
#pragma GCC unroll 8
  for (int b = 0; b < kB; ++b) d[b] = decode<kTail>(p + 8 * b, n);
#pragma GCC unroll 8
  for (int r = 0; r < kR; ++r) {
    const __m256 a = low_input(x + r * xs + 2 * k);
    const __m256 bv = has_high ? _mm256_broadcast_ss(x + r * xs + 2 * k + 1) : _mm256_setzero_ps();
#pragma GCC unroll 8
    for (int b = 0; b < kB; ++b) {
      acc[r][b] = _mm256_fmadd_ps(d[b].lo, a, acc[r][b]);
      acc[r][b] = _mm256_fmadd_ps(d[b].hi, bv, acc[r][b]);
    }
  }
}

// Pairs [k0, k1) of one group for kR rows and kB blocks of 8 columns (one
// partial block of n columns when kTail), then y += acc·scale. A pair at or
// past rows / 2 has no high row.
template <int kR, int kB, bool kTail>
inline void group_tile(const View& v, const Tile& t, uint64_t k0, uint64_t k1, uint64_t n,
                       bool first) {
  __m256 acc[kR][kB];
#pragma GCC unroll 8
  for (int r = 0; r < kR; ++r)
#pragma GCC unroll 8
    for (int b = 0; b < kB; ++b) acc[r][b] = _mm256_setzero_ps();
  const uint64_t full_pairs = v.rows / 2;
  const uint64_t k_full = k1 < full_pairs ? k1 : full_pairs;
  const uint8_t* p = t.packed;
  uint64_t k = k0;
  for (; k < k_full; ++k, p += v.out) pair_step<kR, kB, kTail>(p, n, t.x, t.x_stride, k, true, acc);
  for (; k < k1; ++k, p += v.out) pair_step<kR, kB, kTail>(p, n, t.x, t.x_stride, k, false, acc);

  const __m256i mask = tail_mask(n);
#pragma GCC unroll 8
  for (int b = 0; b < kB; ++b) {
    const __m256 s = kTail ? _mm256_maskload_ps(t.scales, mask) : _mm256_loadu_ps(t.scales + 8 * b);
#pragma GCC unroll 8
    for (int r = 0; r < kR; ++r) {
      float* yp = t.y + r * t.y_stride + 8 * b;
      __m256 out = _mm256_setzero_ps();
      if (!first) out = kTail ? _mm256_maskload_ps(yp, mask) : _mm256_loadu_ps(yp);
      out = _mm256_fmadd_ps(acc[r][b], s, out);
      if (kTail) {
        _mm256_maskstore_ps(yp, mask, out);
      } else {
        _mm256_storeu_ps(yp, out);
      }
    }
  }
}

// kR rows starting at x / y, columns [c0, c1), every group.
template <int kR>
void rows_tile(const View& v, const float* x, uint64_t xs, uint64_t c0, uint64_t c1, float* y,
               uint64_t ys) {
  const uint64_t g = v.group_rows;
  const uint64_t pairs = (v.rows + 1) / 2;
  const uint64_t groups = (v.rows + g - 1) / g;
  for (uint64_t q = 0; q < groups; ++q) {
    const uint64_t k0 = (q * g + 1) / 2;
    const uint64_t k_end = (q * g + g + 1) / 2;
    const uint64_t k1 = k_end < pairs ? k_end : pairs;
    const bool first = q == 0;
    auto tile = [&](uint64_t c) {
      return Tile{v.packed + k0 * v.out + c, v.scales + q * v.out + c, x, y + c, xs, ys};
    };
    uint64_t c = c0;
    if constexpr (kR == 1) {
      for (; c + 32 <= c1; c += 32) group_tile<1, 4, false>(v, tile(c), k0, k1, 8, first);
    } else {
      for (; c + 16 <= c1; c += 16) group_tile<kR, 2, false>(v, tile(c), k0, k1, 8, first);
    }
    for (; c + 8 <= c1; c += 8) group_tile<kR, 1, false>(v, tile(c), k0, k1, 8, first);
    if (c < c1) group_tile<kR, 1, true>(v, tile(c), k0, k1, c1 - c, first);
  }
}

constexpr int kTileRows = 4;

}  // namespace

void matmul_avx2(const View& v, const float* x, uint64_t x_stride, uint64_t n, uint64_t c0,
                 uint64_t c1, float* y, uint64_t y_stride) {
  uint64_t r = 0;
  for (; r + kTileRows <= n; r += kTileRows) {
    rows_tile<kTileRows>(v, x + r * x_stride, x_stride, c0, c1, y + r * y_stride, y_stride);
  }
  for (; r < n; ++r) rows_tile<1>(v, x + r * x_stride, x_stride, c0, c1, y + r * y_stride, y_stride);
}

}  // namespace pinnet::core::int4_kernels
