// AVX2 + FMA kernels of the codebook-quantised products. Compiled with
// -mavx2 -mfma; see cq_kernels.h for why this file includes nothing but
// intrinsics and keeps its helpers in an anonymous namespace.
//
// One unit = 64 elements = 8 vectors of 8 lanes. VPERMPS picks a level from
// an 8-entry table by the low 3 bits of each lane, after a per-lane right
// shift has brought the code there:
//   2 bits: 16 bytes = 4 lanes of 16 codes, broadcast to both halves; lane l
//           reads dword l & 3 shifted by 2·((l >> 2) + 2s) in vector s (the
//           table repeats the 4 levels, so the next code's bit is ignored).
//   3 bits: 24 bytes spread to 8 lanes of 3 bytes; vector s shifts by 3s.
//   4 bits: 32 bytes = 8 lanes; vector s shifts by 4s and picks from the
//           lower or upper 8 levels by bit 3 of the code (moved to the sign
//           bit for VBLENDVPS).
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "core/cq_kernels.h"

namespace pinnet::core::cq_kernels {
namespace {

template <unsigned kBits>
inline __m256i load_unit(const uint8_t* p) {
  if constexpr (kBits == 2) {
    return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
  } else if constexpr (kBits == 4) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  } else {
    // Reads 4 bytes past the 24-byte unit, which the codes buffer allows.
    const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 12));
    const __m256i both = _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1);
    const __m256i spread = _mm256_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1,
                                            0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
    return _mm256_shuffle_epi8(both, spread);
  }
}

struct Tables {
  __m256 lo;  // levels of codes 0..7
  __m256 hi;  // levels of codes 8..15 (4-bit only)
};

inline Tables scaled(const Tables& t, float s) {
  const __m256 vs = _mm256_set1_ps(s);
  return Tables{_mm256_mul_ps(t.lo, vs), _mm256_mul_ps(t.hi, vs)};
}

// Levels of vector s (0..7) of a unit.
template <unsigned kBits, int kS>
inline __m256 decode(__m256i raw, const Tables& tab) {
  if constexpr (kBits == 2) {
    const __m256i count = _mm256_setr_epi32(4 * kS, 4 * kS, 4 * kS, 4 * kS, 4 * kS + 2,
                                            4 * kS + 2, 4 * kS + 2, 4 * kS + 2);
    return _mm256_permutevar8x32_ps(tab.lo, _mm256_srlv_epi32(raw, count));
  } else if constexpr (kBits == 3) {
    return _mm256_permutevar8x32_ps(tab.lo, _mm256_srli_epi32(raw, 3 * kS));
  } else {
    const __m256i idx = _mm256_srli_epi32(raw, 4 * kS);
    const __m256 upper = _mm256_castsi256_ps(_mm256_slli_epi32(raw, 28 - 4 * kS));
    return _mm256_blendv_ps(_mm256_permutevar8x32_ps(tab.lo, idx),
                            _mm256_permutevar8x32_ps(tab.hi, idx), upper);
  }
}

inline float hsum(__m256 a) {
  __m128 s = _mm_add_ps(_mm256_castps256_ps128(a), _mm256_extractf128_ps(a, 1));
  s = _mm_add_ps(s, _mm_movehl_ps(s, s));
  s = _mm_add_ss(s, _mm_movehdup_ps(s));
  return _mm_cvtss_f32(s);
}

// Vector kS of the current unit of every row of a matrix-vector tile.
template <unsigned kBits, int kR, int kS>
inline void matvec_step(const __m256i (&raw)[kR], const Tables& table, const float* x,
                        __m256 (&acc)[kR]) {
  const __m256 xs = _mm256_loadu_ps(x + 8 * kS);
#pragma GCC unroll 8
  for (int i = 0; i < kR; ++i) {
    acc[i] = _mm256_fmadd_ps(decode<kBits, kS>(raw[i], table), xs, acc[i]);
  }
}

// kR rows times one input over the whole row, decoding as it goes: the
// level tables are shared by every row (two registers, where tables scaled
// per row would not fit beside a 4-row tile's sums), each group's sum is
// kept apart and takes its scale with one multiply-add.
template <unsigned kBits, int kR>
inline void matvec_tile(const View& t, const Tables& table, const float* xp, uint64_t r,
                        float* y) {
  constexpr uint64_t kUnitBytes = kUnit * kBits / 8;
  const uint64_t units_per_group = t.group / kUnit;
  __m256 acc[kR];
#pragma GCC unroll 8
  for (int i = 0; i < kR; ++i) acc[i] = _mm256_setzero_ps();
  const uint8_t* code = t.codes + r * t.row_bytes;
  const float* x = xp;
  for (uint64_t g = 0; g < t.groups_per_row; ++g) {
    __m256 sum[kR];
#pragma GCC unroll 8
    for (int i = 0; i < kR; ++i) sum[i] = _mm256_setzero_ps();
    for (uint64_t u = 0; u < units_per_group; ++u) {
      __m256i raw[kR];
#pragma GCC unroll 8
      for (int i = 0; i < kR; ++i) raw[i] = load_unit<kBits>(code + i * t.row_bytes);
      matvec_step<kBits, kR, 0>(raw, table, x, sum);
      matvec_step<kBits, kR, 1>(raw, table, x, sum);
      matvec_step<kBits, kR, 2>(raw, table, x, sum);
      matvec_step<kBits, kR, 3>(raw, table, x, sum);
      matvec_step<kBits, kR, 4>(raw, table, x, sum);
      matvec_step<kBits, kR, 5>(raw, table, x, sum);
      matvec_step<kBits, kR, 6>(raw, table, x, sum);
      matvec_step<kBits, kR, 7>(raw, table, x, sum);
      code += kUnitBytes;
      x += kUnit;
    }
#pragma GCC unroll 8
    for (int i = 0; i < kR; ++i)
      acc[i] = _mm256_fmadd_ps(sum[i], _mm256_set1_ps(t.scales[(r + i) * t.groups_per_row + g]), acc[i]);
  }
#pragma GCC unroll 8
  for (int i = 0; i < kR; ++i) y[r + i] = hsum(acc[i]);
}

constexpr int kMatvecRows = 4;

template <unsigned kBits>
void matvec_rows(const View& t, const float* xp, uint64_t r0, uint64_t r1, float* y) {
  const Tables table{_mm256_loadu_ps(t.table), _mm256_loadu_ps(t.table + 8)};
  uint64_t r = r0;
  for (; r + kMatvecRows <= r1; r += kMatvecRows) {
    matvec_tile<kBits, kMatvecRows>(t, table, xp, r, y);
  }
  for (; r < r1; ++r) matvec_tile<kBits, 1>(t, table, xp, r, y);
}

// The batched product decodes each row tile once per chunk of columns into a
// small buffer (level·scale, in the kernel's input order) and then runs a
// plain float tile over every input of the block: kR + kV loads feed kR·kV
// fused multiply-adds, and the decode cost is shared by all inputs. Partial
// sums of a tile stay as vectors in `acc` between chunks and are reduced
// once at the end.
constexpr int kTileRows = 3;
constexpr int kTileVectors = 3;
constexpr uint64_t kChunkUnits = 8;        // 512 columns per row per chunk
constexpr uint64_t kMaxBlockVectors = 64;  // inputs per block (acc buffer size)
// Inputs are taken in blocks that stay in the core's L2 cache while every
// row tile of [r0, r1) streams past them; the codes are re-read once per block.
constexpr uint64_t kInputBlockBytes = 512 * 1024;

template <unsigned kBits, int kS>
inline void store_decoded(__m256i raw, const Tables& ts, float* out) {
  _mm256_storeu_ps(out + 8 * kS, decode<kBits, kS>(raw, ts));
}

template <unsigned kBits, int kR>
inline void decode_chunk(const View& t, const Tables& table, uint64_t r, uint64_t u0, uint64_t nu,
                         float* w) {
  constexpr uint64_t kUnitBytes = kUnit * kBits / 8;
  const uint64_t units_per_group = t.group / kUnit;
  for (int i = 0; i < kR; ++i) {
    const uint8_t* code = t.codes + (r + i) * t.row_bytes + u0 * kUnitBytes;
    const float* scale = t.scales + (r + i) * t.groups_per_row;
    float* out = w + i * nu * kUnit;
    for (uint64_t u = 0; u < nu; ++u, out += kUnit) {
      const Tables ts = scaled(table, scale[(u0 + u) / units_per_group]);
      const __m256i raw = load_unit<kBits>(code + u * kUnitBytes);
      store_decoded<kBits, 0>(raw, ts, out);
      store_decoded<kBits, 1>(raw, ts, out);
      store_decoded<kBits, 2>(raw, ts, out);
      store_decoded<kBits, 3>(raw, ts, out);
      store_decoded<kBits, 4>(raw, ts, out);
      store_decoded<kBits, 5>(raw, ts, out);
      store_decoded<kBits, 6>(raw, ts, out);
      store_decoded<kBits, 7>(raw, ts, out);
    }
  }
}

// acc[(i·nb + j)·8 ...] += 8-lane partial sums of w row i · input j over n
// columns; w rows are n apart, inputs `stride` apart.
template <int kR, int kV>
inline void accumulate_chunk(const float* w, const float* x, uint64_t stride, uint64_t n,
                             float* acc_buf, uint64_t nb, bool first) {
  __m256 acc[kR][kV];
#pragma GCC unroll 8
  for (int i = 0; i < kR; ++i)
#pragma GCC unroll 8
    for (int j = 0; j < kV; ++j) {
      acc[i][j] = first ? _mm256_setzero_ps() : _mm256_loadu_ps(acc_buf + (i * nb + j) * 8);
    }
  for (uint64_t k = 0; k < n; k += 8) {
    __m256 xv[kV];
#pragma GCC unroll 8
    for (int j = 0; j < kV; ++j) xv[j] = _mm256_loadu_ps(x + j * stride + k);
#pragma GCC unroll 8
    for (int i = 0; i < kR; ++i) {
      const __m256 wi = _mm256_loadu_ps(w + i * n + k);
#pragma GCC unroll 8
      for (int j = 0; j < kV; ++j) acc[i][j] = _mm256_fmadd_ps(wi, xv[j], acc[i][j]);
    }
  }
#pragma GCC unroll 8
  for (int i = 0; i < kR; ++i)
#pragma GCC unroll 8
    for (int j = 0; j < kV; ++j) _mm256_storeu_ps(acc_buf + (i * nb + j) * 8, acc[i][j]);
}

template <unsigned kBits, int kR>
void matmul_row_tile(const View& t, const Tables& table, const float* xp, uint64_t r, uint64_t vb,
                     uint64_t nb, float* y) {
  alignas(32) float w[kR * kChunkUnits * kUnit];
  alignas(32) float acc[kR * kMaxBlockVectors * 8];
  const uint64_t units = t.padded_cols / kUnit;
  for (uint64_t u0 = 0; u0 < units; u0 += kChunkUnits) {
    const uint64_t nu = units - u0 < kChunkUnits ? units - u0 : kChunkUnits;
    const uint64_t n = nu * kUnit;
    decode_chunk<kBits, kR>(t, table, r, u0, nu, w);
    const float* x = xp + vb * t.padded_cols + u0 * kUnit;
    uint64_t j = 0;
    for (; j + kTileVectors <= nb; j += kTileVectors) {
      accumulate_chunk<kR, kTileVectors>(w, x + j * t.padded_cols, t.padded_cols, n, acc + j * 8,
                                         nb, u0 == 0);
    }
    for (; j < nb; ++j) {
      accumulate_chunk<kR, 1>(w, x + j * t.padded_cols, t.padded_cols, n, acc + j * 8, nb,
                              u0 == 0);
    }
  }
  for (int i = 0; i < kR; ++i) {
    for (uint64_t j = 0; j < nb; ++j) {
      y[(vb + j) * t.rows + r + i] = hsum(_mm256_loadu_ps(acc + (i * nb + j) * 8));
    }
  }
}

template <unsigned kBits>
void matmul_rows(const View& t, const float* xp, uint64_t r0, uint64_t r1, uint64_t v0,
                 uint64_t v1, float* y) {
  const Tables table{_mm256_loadu_ps(t.table), _mm256_loadu_ps(t.table + 8)};
  uint64_t block = kInputBlockBytes / (4 * t.padded_cols) / kTileVectors * kTileVectors;
  if (block == 0) block = kTileVectors;
  if (block > kMaxBlockVectors) block = kMaxBlockVectors;
  for (uint64_t vb = v0; vb < v1; vb += block) {
    const uint64_t nb = v1 - vb < block ? v1 - vb : block;
    uint64_t r = r0;
    for (; r + kTileRows <= r1; r += kTileRows) {
      matmul_row_tile<kBits, kTileRows>(t, table, xp, r, vb, nb, y);
    }
    for (; r < r1; ++r) matmul_row_tile<kBits, 1>(t, table, xp, r, vb, nb, y);
  }
}

}  // namespace

void matvec_avx2(const View& t, const float* xp, uint64_t r0, uint64_t r1, float* y) {
  switch (t.bits) {
    case 2: matvec_rows<2>(t, xp, r0, r1, y); break;
    case 3: matvec_rows<3>(t, xp, r0, r1, y); break;
    default: matvec_rows<4>(t, xp, r0, r1, y); break;
  }
}

void matmul_avx2(const View& t, const float* xp, uint64_t r0, uint64_t r1, uint64_t v0,
                 uint64_t v1, float* y) {
  switch (t.bits) {
    case 2: matmul_rows<2>(t, xp, r0, r1, v0, v1, y); break;
    case 3: matmul_rows<3>(t, xp, r0, r1, v0, v1, y); break;
    default: matmul_rows<4>(t, xp, r0, r1, v0, v1, y); break;
  }
}

}  // namespace pinnet::core::cq_kernels
