// AVX2 + FMA kernels of the codebook-quantised products: the decoders and
// the single-vector kernel; the batched product is cq_float_lanes.h on them.
// Compiled with -mavx2 -mfma -mf16c; see simd/lanes.h for why this file
// includes nothing but intrinsics and internal templates.
//
// One unit = 64 elements = 8 vectors of 8 lanes. VPERMPS picks a level from
// an 8-entry table by the low 3 bits of each lane, after a per-lane right
// shift has brought the code there:
//   2 bits: 16 bytes = 4 lanes of 16 codes, broadcast to both halves; lane l
//           reads dword l & 3 shifted by 2·((l >> 2) + 2s) in vector s (the
//           table repeats the 4 levels, so the next code's bit is ignored).
//   3 bits: 24 bytes spread to 8 lanes of 3 bytes; vector s shifts by 3s.
// 4-bit codes take VPSHUFB instead, which looks up 16 entries at once but
// only bytes: a mask and a shift split the 32 bytes into the codes of the
// even and the odd elements, four lookups give the four bytes of each code's
// float level (one table per byte of the levels), and byte then word
// interleaves assemble the floats. Vector s = 4q + j, lane L holds element
// 2·(16·(L / 4) + 4j + L % 4) + q: the interleaves work within 128-bit
// halves, in steps of four. 12 shuffles per 32 weights, where two
// permutes, two shifts and a blend per 8 cost nearly twice the time.
#include "core/simd/lanes_avx2.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/simd/cq_float_lanes.h"
#include "core/simd/cq_kernels.h"
#include "core/simd/cq_prefetch.h"

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
  __m256 lo;          // levels of codes 0..7 (2- and 3-bit)
  __m256i plane[4];   // 4-bit: byte b of the level of code c at byte c, both halves
  __m256i mask;       // 0x0F in every byte
};

inline Tables make_tables(const float* table) {
  Tables t;
  t.lo = _mm256_loadu_ps(table);
  // The float levels as 16 x 4 bytes; byte b of level c goes to byte c of plane b.
  const __m128i pick = _mm_setr_epi8(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
  __m128i q[4];
  for (int i = 0; i < 4; ++i)
    q[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(table + 4 * i)), pick);
  // q[i] dword b: byte b of levels 4i..4i+3; gather dword b of every q[i].
  const __m128i t01l = _mm_unpacklo_epi32(q[0], q[1]), t01h = _mm_unpackhi_epi32(q[0], q[1]);
  const __m128i t23l = _mm_unpacklo_epi32(q[2], q[3]), t23h = _mm_unpackhi_epi32(q[2], q[3]);
  const __m128i planes[4] = {_mm_unpacklo_epi64(t01l, t23l), _mm_unpackhi_epi64(t01l, t23l),
                             _mm_unpacklo_epi64(t01h, t23h), _mm_unpackhi_epi64(t01h, t23h)};
  for (int b = 0; b < 4; ++b) t.plane[b] = _mm256_broadcastsi128_si256(planes[b]);
  t.mask = _mm256_set1_epi8(0x0F);
  return t;
}

// Levels of vector s (0..7) of a unit, 2- and 3-bit codes.
template <unsigned kBits, int kS>
inline __m256 decode(__m256i raw, const Tables& tab) {
  if constexpr (kBits == 2) {
    const __m256i count = _mm256_setr_epi32(4 * kS, 4 * kS, 4 * kS, 4 * kS, 4 * kS + 2,
                                            4 * kS + 2, 4 * kS + 2, 4 * kS + 2);
    return _mm256_permutevar8x32_ps(tab.lo, _mm256_srlv_epi32(raw, count));
  } else {
    return _mm256_permutevar8x32_ps(tab.lo, _mm256_srli_epi32(raw, 3 * kS));
  }
}

// The 8 level vectors of a unit.
template <unsigned kBits>
inline void decode_unit(__m256i raw, const Tables& tab, __m256 (&f)[8]) {
  if constexpr (kBits == 4) {
    const __m256i codes[2] = {_mm256_and_si256(raw, tab.mask),
                              _mm256_and_si256(_mm256_srli_epi16(raw, 4), tab.mask)};
#pragma GCC unroll 2
    for (int q = 0; q < 2; ++q) {
      const __m256i p0 = _mm256_shuffle_epi8(tab.plane[0], codes[q]);
      const __m256i p1 = _mm256_shuffle_epi8(tab.plane[1], codes[q]);
      const __m256i p2 = _mm256_shuffle_epi8(tab.plane[2], codes[q]);
      const __m256i p3 = _mm256_shuffle_epi8(tab.plane[3], codes[q]);
      const __m256i b01l = _mm256_unpacklo_epi8(p0, p1), b01h = _mm256_unpackhi_epi8(p0, p1);
      const __m256i b23l = _mm256_unpacklo_epi8(p2, p3), b23h = _mm256_unpackhi_epi8(p2, p3);
      f[4 * q + 0] = _mm256_castsi256_ps(_mm256_unpacklo_epi16(b01l, b23l));
      f[4 * q + 1] = _mm256_castsi256_ps(_mm256_unpackhi_epi16(b01l, b23l));
      f[4 * q + 2] = _mm256_castsi256_ps(_mm256_unpacklo_epi16(b01h, b23h));
      f[4 * q + 3] = _mm256_castsi256_ps(_mm256_unpackhi_epi16(b01h, b23h));
    }
  } else {
    f[0] = decode<kBits, 0>(raw, tab);
    f[1] = decode<kBits, 1>(raw, tab);
    f[2] = decode<kBits, 2>(raw, tab);
    f[3] = decode<kBits, 3>(raw, tab);
    f[4] = decode<kBits, 4>(raw, tab);
    f[5] = decode<kBits, 5>(raw, tab);
    f[6] = decode<kBits, 6>(raw, tab);
    f[7] = decode<kBits, 7>(raw, tab);
  }
}

// kR rows times one input over the whole row, decoding as it goes: the
// unscaled level tables are shared by every row (tables scaled per row would
// not fit in registers beside a 4-row tile's sums), so each group's sum is
// kept apart and takes its scale with one multiply-add.
template <unsigned kBits, int kR>
inline void matvec_tile(const View& t, const Tables& table, const float* xp, uint64_t r,
                        float* y) {
  constexpr uint64_t kUnitBytes = kUnit * kBits / 8;
  const uint64_t units_per_group = t.group / kUnit;
  const uint64_t ahead = prefetch_distance(kR, t.row_bytes);
  constexpr uint64_t kPrefetchUnits = 64 / kUnitBytes;  // one prefetch a line and row
  uint64_t unit = 0;
  __m256 acc[kR];
#pragma GCC unroll 8
  for (int i = 0; i < kR; ++i) acc[i] = _mm256_setzero_ps();
  const uint8_t* code = t.codes + r * t.row_bytes;
  const float* x = xp;
  // The rows' binary16 scales, widened 8 groups at a time (a conversion per
  // group and row costs more shuffle-port work than the scale bytes save).
  alignas(32) float scale[kR][8];
  for (uint64_t g = 0; g < t.groups_per_row; ++g) {
    if (g % 8 == 0) {
      const uint64_t left = t.groups_per_row - g;
#pragma GCC unroll 8
      for (int i = 0; i < kR; ++i) {
        const uint16_t* src = t.scales + (r + i) * t.groups_per_row + g;
        alignas(16) uint16_t tail[8] = {};
        if (left < 8) src = static_cast<const uint16_t*>(std::memcpy(tail, src, left * sizeof(uint16_t)));
        _mm256_store_ps(scale[i], _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src))));
      }
    }
    __m256 sum[kR];
#pragma GCC unroll 8
    for (int i = 0; i < kR; ++i) sum[i] = _mm256_setzero_ps();
    for (uint64_t u = 0; u < units_per_group; ++u) {
      if (unit++ % kPrefetchUnits == 0) {
#pragma GCC unroll 8
        for (int i = 0; i < kR; ++i) prefetch_ahead(code + i * t.row_bytes, ahead);
      }
#pragma GCC unroll 8
      for (int i = 0; i < kR; ++i) {
        __m256 f[8];
        decode_unit<kBits>(load_unit<kBits>(code + i * t.row_bytes), table, f);
#pragma GCC unroll 8
        for (int v = 0; v < 8; ++v) sum[i] = _mm256_fmadd_ps(f[v], _mm256_loadu_ps(x + 8 * v), sum[i]);
      }
      code += kUnitBytes;
      x += kUnit;
    }
#pragma GCC unroll 8
    for (int i = 0; i < kR; ++i)
      acc[i] = _mm256_fmadd_ps(sum[i], _mm256_set1_ps(scale[i][g % 8]), acc[i]);
  }
#pragma GCC unroll 8
  for (int i = 0; i < kR; ++i) y[r + i] = simd::Avx2::reduce_add(acc[i]);
}

constexpr int kMatvecRows = 4;

template <unsigned kBits>
void matvec_rows(const View& t, const float* xp, uint64_t r0, uint64_t r1, float* y) {
  const Tables table = make_tables(t.table);
  uint64_t r = r0;
  for (; r + kMatvecRows <= r1; r += kMatvecRows) {
    matvec_tile<kBits, kMatvecRows>(t, table, xp, r, y);
  }
  for (; r < r1; ++r) matvec_tile<kBits, 1>(t, table, xp, r, y);
}

// The batched product (cq_float_lanes.h) on tiles of 3 rows x 3 inputs.
constexpr int kTileRows = 3;
constexpr int kTileVectors = 3;

template <unsigned kBits, int kR>
inline void decode_chunk(const View& t, const Tables& table, uint64_t r, uint64_t u0, uint64_t nu,
                         float* w) {
  constexpr uint64_t kUnitBytes = kUnit * kBits / 8;
  const uint64_t units_per_group = t.group / kUnit;
  for (int i = 0; i < kR; ++i) {
    const uint8_t* code = t.codes + (r + i) * t.row_bytes + u0 * kUnitBytes;
    const uint16_t* scale = t.scales + (r + i) * t.groups_per_row;
    float* out = w + i * nu * kUnit;
    for (uint64_t u = 0; u < nu; ++u, out += kUnit) {
      const __m256 s = _mm256_set1_ps(_cvtsh_ss(scale[(u0 + u) / units_per_group]));
      __m256 f[8];
      decode_unit<kBits>(load_unit<kBits>(code + u * kUnitBytes), table, f);
#pragma GCC unroll 8
      for (int v = 0; v < 8; ++v) _mm256_storeu_ps(out + 8 * v, _mm256_mul_ps(f[v], s));
    }
  }
}

template <unsigned kBits>
struct Decoder {
  Tables table;
  template <int kR>
  void chunk(const View& t, uint64_t r, uint64_t u0, uint64_t nu, float* w) const {
    decode_chunk<kBits, kR>(t, table, r, u0, nu, w);
  }
};

template <unsigned kBits>
void matmul_rows(const View& t, const float* xp, uint64_t r0, uint64_t r1, uint64_t v0,
                 uint64_t v1, float* y) {
  const Decoder<kBits> dec{make_tables(t.table)};
  matmul_tiles<simd::Avx2, kTileRows, kTileVectors>(t, dec, xp, r0, r1, v0, v1, y);
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
