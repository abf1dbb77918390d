// AVX-512 kernels of the codebook-quantised products. Compiled with
// -mavx512f/bw/vl/dq -mavx2 -mfma; see cq_kernels.h for why this file
// includes nothing but intrinsics and keeps its helpers in an anonymous
// namespace.
//
// One unit = 64 elements = 4 vectors of 16 lanes. The unit's code bytes are
// laid into 32-bit lanes so that a per-lane right shift brings one code to
// bits [0, bits) of every lane; VPERMPS then picks the level from a
// 16-entry table (indexed by the low 4 bits, so the table repeats the levels
// for 2- and 3-bit codes and the neighbouring code's bits do not matter).
//   2 bits: 16 bytes = 4 lanes of 16 codes, broadcast to 4 copies; lane l
//           reads dword l & 3 shifted by 2·((l >> 2) + 4s) in vector s.
//   4 bits: 32 bytes = 8 lanes of 8 codes, broadcast to 2 copies; lane l
//           reads dword l & 7 shifted by 4·(2s + (l >> 3)).
//   3 bits: 24 bytes spread to 8 lanes of 3 bytes (8 codes), 2 copies; as
//           for 4 bits with shifts 3·(2s + (l >> 3)).
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "core/cq_kernels.h"

namespace pinnet::core::cq_kernels {
namespace {

template <unsigned kBits>
inline __m512i load_unit(const uint8_t* p) {
  if constexpr (kBits == 2) {
    return _mm512_broadcast_i32x4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
  } else if constexpr (kBits == 4) {
    return _mm512_broadcast_i64x4(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
  } else {
    // Bytes [0, 16) and [12, 28) in the two 128-bit halves; each half then
    // takes 4 groups of 3 bytes into 4 lanes. Reads 4 bytes past the unit,
    // which the codes buffer allows.
    const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 12));
    const __m256i both = _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1);
    const __m256i spread = _mm256_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1,
                                            0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
    return _mm512_broadcast_i64x4(_mm256_shuffle_epi8(both, spread));
  }
}

template <unsigned kBits>
inline __m512i shift_counts(int s) {
  alignas(64) uint32_t c[16];
  for (int l = 0; l < 16; ++l) {
    if constexpr (kBits == 2) {
      c[l] = 2u * static_cast<uint32_t>((l >> 2) + 4 * s);
    } else {
      c[l] = kBits * static_cast<uint32_t>(2 * s + (l >> 3));
    }
  }
  return _mm512_load_si512(c);
}

struct Shifts {
  __m512i c[4];
};

template <unsigned kBits>
inline Shifts make_shifts() {
  return Shifts{{shift_counts<kBits>(0), shift_counts<kBits>(1), shift_counts<kBits>(2),
                 shift_counts<kBits>(3)}};
}

inline __m512 decode(__m512i raw, __m512i count, __m512 table) {
  return _mm512_permutexvar_ps(_mm512_srlv_epi32(raw, count), table);
}

// A kR-row by kV-vector tile over the whole row: every decoded weight vector
// feeds kV fused multiply-adds, every input vector kR.
template <unsigned kBits, int kR, int kV>
inline void matmul_tile(const View& t, const Shifts& sh, __m512 table, const float* xp,
                        uint64_t r, uint64_t v, float* y) {
  constexpr uint64_t kUnitBytes = kUnit * kBits / 8;
  const uint64_t units_per_group = t.group / kUnit;
  __m512 acc[kR][kV];
#pragma GCC unroll 8
  for (int i = 0; i < kR; ++i)
#pragma GCC unroll 8
    for (int j = 0; j < kV; ++j) acc[i][j] = _mm512_setzero_ps();
  const uint8_t* code = t.codes + r * t.row_bytes;
  const float* x = xp + v * t.padded_cols;
  for (uint64_t g = 0; g < t.groups_per_row; ++g) {
    __m512 ts[kR];
#pragma GCC unroll 8
    for (int i = 0; i < kR; ++i) {
      ts[i] = _mm512_mul_ps(table, _mm512_set1_ps(t.scales[(r + i) * t.groups_per_row + g]));
    }
    for (uint64_t u = 0; u < units_per_group; ++u) {
      __m512i raw[kR];
#pragma GCC unroll 8
      for (int i = 0; i < kR; ++i) raw[i] = load_unit<kBits>(code + i * t.row_bytes);
#pragma GCC unroll 4
      for (int s = 0; s < 4; ++s) {
#pragma GCC unroll 8
        for (int i = 0; i < kR; ++i) {
          const __m512 w = decode(raw[i], sh.c[s], ts[i]);
#pragma GCC unroll 8
          for (int j = 0; j < kV; ++j) {
            acc[i][j] =
                _mm512_fmadd_ps(w, _mm512_loadu_ps(x + j * t.padded_cols + 16 * s), acc[i][j]);
          }
        }
      }
      code += kUnitBytes;
      x += kUnit;
    }
  }
#pragma GCC unroll 8
  for (int i = 0; i < kR; ++i)
#pragma GCC unroll 8
    for (int j = 0; j < kV; ++j) y[(v + j) * t.rows + r + i] = _mm512_reduce_add_ps(acc[i][j]);
}

constexpr int kTileRows = 4;
constexpr int kTileVectors = 4;

// Inputs are taken in blocks that stay in the core's L2 cache while every
// row tile of [r0, r1) streams past them; the codes are re-read once per block.
constexpr uint64_t kInputBlockBytes = 512 * 1024;

template <unsigned kBits>
void matmul_rows(const View& t, const float* xp, uint64_t r0, uint64_t r1, uint64_t v0,
                 uint64_t v1, float* y) {
  const Shifts sh = make_shifts<kBits>();
  const __m512 table = _mm512_loadu_ps(t.table);
  uint64_t block = kInputBlockBytes / (4 * t.padded_cols) / kTileVectors * kTileVectors;
  if (block == 0) block = kTileVectors;
  for (uint64_t vb = v0; vb < v1; vb += block) {
    const uint64_t ve = v1 - vb < block ? v1 : vb + block;
    uint64_t r = r0;
    for (; r + kTileRows <= r1; r += kTileRows) {
      uint64_t v = vb;
      for (; v + kTileVectors <= ve; v += kTileVectors) {
        matmul_tile<kBits, kTileRows, kTileVectors>(t, sh, table, xp, r, v, y);
      }
      for (; v < ve; ++v) matmul_tile<kBits, kTileRows, 1>(t, sh, table, xp, r, v, y);
    }
    for (; r < r1; ++r) {
      uint64_t v = vb;
      for (; v + kTileVectors <= ve; v += kTileVectors) {
        matmul_tile<kBits, 1, kTileVectors>(t, sh, table, xp, r, v, y);
      }
      for (; v < ve; ++v) matmul_tile<kBits, 1, 1>(t, sh, table, xp, r, v, y);
    }
  }
}

constexpr int kMatvecRows = 4;

// The matrix-vector product as tiles of kMatvecRows rows: independent
// accumulation chains, and each input vector load serves every row of a tile.
template <unsigned kBits>
void matvec_rows(const View& t, const float* xp, uint64_t r0, uint64_t r1, float* y) {
  const Shifts sh = make_shifts<kBits>();
  const __m512 table = _mm512_loadu_ps(t.table);
  uint64_t r = r0;
  for (; r + kMatvecRows <= r1; r += kMatvecRows) {
    matmul_tile<kBits, kMatvecRows, 1>(t, sh, table, xp, r, 0, y);
  }
  for (; r < r1; ++r) matmul_tile<kBits, 1, 1>(t, sh, table, xp, r, 0, y);
}

}  // namespace

void matvec_avx512(const View& t, const float* xp, uint64_t r0, uint64_t r1, float* y) {
  switch (t.bits) {
    case 2: matvec_rows<2>(t, xp, r0, r1, y); break;
    case 3: matvec_rows<3>(t, xp, r0, r1, y); break;
    default: matvec_rows<4>(t, xp, r0, r1, y); break;
  }
}

void matmul_avx512(const View& t, const float* xp, uint64_t r0, uint64_t r1, uint64_t v0,
                   uint64_t v1, float* y) {
  switch (t.bits) {
    case 2: matmul_rows<2>(t, xp, r0, r1, v0, v1, y); break;
    case 3: matmul_rows<3>(t, xp, r0, r1, v0, v1, y); break;
    default: matmul_rows<4>(t, xp, r0, r1, v0, v1, y); break;
  }
}

}  // namespace pinnet::core::cq_kernels
