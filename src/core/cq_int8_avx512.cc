// AVX-512 VNNI kernels of the int8 codebook-quantised products. Compiled with
// the AVX-512 and VNNI flags; like the other kernel units this file includes
// nothing but intrinsics and cq_kernels.h (which states the result every path
// must give).
//
// VPDPBUSD multiplies unsigned bytes by signed ones and adds each group of
// four products into a 32-bit lane, so the levels go in with an offset of
// 128 (level + 128 in [1, 255], straight out of the byte permute) and each
// group's sums start from the offset's share, -128·Σ q per lane, which the
// preparation step computed per input. Integer sums stay exact, so the
// result is the portable path's to the last bit.
//
// Two 64-element units go through one 512-bit register: 64 code bytes and
// their shift give elements 0..31 and 32..63 of both units, and
// the prepared input holds the matching halves side by side. 32-bit lane j
// of a product then sums elements 4j..4j+3 (mod 32) of the first unit for
// j < 8 and of the second for j >= 8: the lane k = j mod 8 of the integer
// sums in cq_kernels.h, so the halves add exactly into the 8 lanes that take
// the float steps.
#include "core/avx512_intrinsics.h"

#include <cstddef>
#include <cstdint>

#include "core/cq_kernels.h"

namespace pinnet::core::cq_kernels {
namespace {

constexpr uint64_t kUnitBytes = kUnit / 2;
constexpr uint64_t kPairBytes = 2 * kUnit;  // prepared input bytes per unit pair

struct Consts {
  __m512i table;  // level + 128 of each code, in all four 16-byte quarters
};

inline Consts consts(const Int8View& t) {
  const __m512i levels =
      _mm512_broadcast_i32x4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(t.levels)));
  return Consts{_mm512_xor_si512(levels, _mm512_set1_epi8(static_cast<char>(0x80)))};
}

// Offset levels of two units at p: elements 0..31 of each (lo), 32..63 (hi).
// VPERMB reads the low 6 bits of each index byte and the table repeats every
// 16 bytes, so only the low nibble of each index counts: no masking, and the
// high nibbles need just the shift (the bits it brings in from the next byte
// land above the nibble).
inline void pair_levels(const uint8_t* p, const Consts& c, __m512i& lo, __m512i& hi) {
  const __m512i raw = _mm512_loadu_si512(p);
  lo = _mm512_permutexvar_epi8(raw, c.table);
  hi = _mm512_permutexvar_epi8(_mm512_srli_epi16(raw, 4), c.table);
}

// The same for one unit, in 256-bit registers.
inline void unit_levels(const uint8_t* p, const Consts& c, __m256i& lo, __m256i& hi) {
  const __m256i raw = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  const __m256i table = _mm512_castsi512_si256(c.table);
  lo = _mm256_permutexvar_epi8(raw, table);
  hi = _mm256_permutexvar_epi8(_mm256_srli_epi16(raw, 4), table);
}

// Σ of the 8 lanes in the order cq_kernels.h fixes:
// ((a0 + a4) + (a2 + a6)) + ((a1 + a5) + (a3 + a7)).
inline float lane_total(__m256 a) {
  __m128 s = _mm_add_ps(_mm256_castps256_ps128(a), _mm256_extractf128_ps(a, 1));
  s = _mm_add_ps(s, _mm_movehl_ps(s, s));
  s = _mm_add_ss(s, _mm_movehdup_ps(s));
  return _mm_cvtss_f32(s);
}

// acc = fma(float(S), w·s, acc) for 8 exact lane sums S of one group.
inline __m256 fold(__m256 acc, __m256 sum, const float* w, const float* s) {
  return _mm256_fmadd_ps(sum, _mm256_mul_ps(_mm256_broadcast_ss(w), _mm256_broadcast_ss(s)), acc);
}

// [w[0] x 8 | w[1] x 8]: the scales of two groups, one per half.
inline __m512 pair_scale(const float* w) {
  return _mm512_insertf32x8(_mm512_set1_ps(w[0]), _mm256_broadcast_ss(w + 1), 1);
}

// kR rows times kV inputs from row r and input v. Each row's pair of units is
// decoded once for all inputs and each input pair loaded once for all rows.
template <int kR, int kV>
inline void tile(const Int8View& t, const Consts& c, const Int8Prepared& in, uint64_t r, uint64_t v,
                 float* y) {
  const uint64_t gpr = t.groups_per_row;
  const uint64_t units = t.padded_cols / kUnit;
  const uint8_t* code = t.codes + r * t.row_bytes;
  const float* ws = t.scales + r * gpr;
  const int8_t* xq[kV];
  const int32_t* corr[kV];
  const float* xs[kV];
#pragma GCC unroll 8
  for (int j = 0; j < kV; ++j) {
    xq[j] = in.q + (v + j) * t.padded_cols;
    corr[j] = in.corr + (v + j) * gpr * 8;
    xs[j] = in.scales + (v + j) * gpr;
  }
  // Half 0 of the float lanes (cq_kernels.h), and half 1.
  __m256 acc[kR][kV], odd[kR][kV];
#pragma GCC unroll 8
  for (int i = 0; i < kR; ++i)
#pragma GCC unroll 8
    for (int j = 0; j < kV; ++j) acc[i][j] = odd[i][j] = _mm256_setzero_ps();

  if (t.group == kUnit) {
    // One group per unit: a pair's lanes 0..7 are group g, in half 0, and
    // lanes 8..15 group g + 1, in half 1.
    // Many inputs per tile: each accumulator holds both halves and folds a
    // pair with one multiply-add (fewer registers and operations); a single
    // input: the halves in separate registers, their multiply-adds
    // independent (measured faster there).
    constexpr bool kWideFold = kV > 1;
    __m512 both[kR][kV];
    if constexpr (kWideFold) {
#pragma GCC unroll 8
      for (int i = 0; i < kR; ++i)
#pragma GCC unroll 8
        for (int j = 0; j < kV; ++j) both[i][j] = _mm512_setzero_ps();
    }
    uint64_t g = 0;
    for (; g + 2 <= units; g += 2) {
      __m512i lo[kR], hi[kR];
      __m512 wpair[kR];
#pragma GCC unroll 8
      for (int i = 0; i < kR; ++i) {
        pair_levels(code + i * t.row_bytes + g * kUnitBytes, c, lo[i], hi[i]);
        if constexpr (kWideFold) wpair[i] = pair_scale(ws + i * gpr + g);
      }
#pragma GCC unroll 8
      for (int j = 0; j < kV; ++j) {
        const int8_t* x = xq[j] + g * kUnit;
        const __m512i xl = _mm512_loadu_si512(x), xh = _mm512_loadu_si512(x + kUnit);
        const __m512i base = _mm512_loadu_si512(corr[j] + g * 8);
        __m512 spair;
        if constexpr (kWideFold) spair = pair_scale(xs[j] + g);
#pragma GCC unroll 8
        for (int i = 0; i < kR; ++i) {
          const __m512i sum = _mm512_dpbusd_epi32(_mm512_dpbusd_epi32(base, lo[i], xl), hi[i], xh);
          const __m512 f = _mm512_cvtepi32_ps(sum);
          if constexpr (kWideFold) {
            both[i][j] = _mm512_fmadd_ps(f, _mm512_mul_ps(wpair[i], spair), both[i][j]);
          } else {
            acc[i][j] = fold(acc[i][j], _mm512_castps512_ps256(f), ws + i * gpr + g, xs[j] + g);
            odd[i][j] = fold(odd[i][j], _mm512_extractf32x8_ps(f, 1), ws + i * gpr + g + 1, xs[j] + g + 1);
          }
        }
      }
    }
    if constexpr (kWideFold) {
#pragma GCC unroll 8
      for (int i = 0; i < kR; ++i)
#pragma GCC unroll 8
        for (int j = 0; j < kV; ++j) {
          acc[i][j] = _mm512_castps512_ps256(both[i][j]);
          odd[i][j] = _mm512_extractf32x8_ps(both[i][j], 1);
        }
    }
    if (g < units) {  // a last unpaired unit (an even group), stored as it is
      __m256i lo[kR], hi[kR];
#pragma GCC unroll 8
      for (int i = 0; i < kR; ++i) unit_levels(code + i * t.row_bytes + g * kUnitBytes, c, lo[i], hi[i]);
#pragma GCC unroll 8
      for (int j = 0; j < kV; ++j) {
        const int8_t* x = xq[j] + g * kUnit;
        const __m256i xl = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x));
        const __m256i xh = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x + 32));
        const __m256i base = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(corr[j] + g * 8));
#pragma GCC unroll 8
        for (int i = 0; i < kR; ++i) {
          const __m256i sum = _mm256_dpbusd_epi32(_mm256_dpbusd_epi32(base, lo[i], xl), hi[i], xh);
          acc[i][j] = fold(acc[i][j], _mm256_cvtepi32_ps(sum), ws + i * gpr + g, xs[j] + g);
        }
      }
    }
  } else {
    // Groups of whole unit pairs (the group is a power of two, at least 128).
    const uint64_t pairs = t.group / kPairBytes;
    for (uint64_t g = 0; g < gpr; ++g) {
      // The sums start from the offset shares, in the low 8 lanes.
      __m512i sum[kR][kV];
#pragma GCC unroll 8
      for (int j = 0; j < kV; ++j) {
        const __m512i base = _mm512_zextsi256_si512(
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(corr[j] + g * 8)));
#pragma GCC unroll 8
        for (int i = 0; i < kR; ++i) sum[i][j] = base;
      }
      for (uint64_t p = 0; p < pairs; ++p) {
        const uint64_t at = g * t.group + p * kPairBytes;  // first element of the pair
        __m512i lo[kR], hi[kR];
#pragma GCC unroll 8
        for (int i = 0; i < kR; ++i) pair_levels(code + i * t.row_bytes + at / 2, c, lo[i], hi[i]);
#pragma GCC unroll 8
        for (int j = 0; j < kV; ++j) {
          const __m512i xl = _mm512_loadu_si512(xq[j] + at);
          const __m512i xh = _mm512_loadu_si512(xq[j] + at + kUnit);
#pragma GCC unroll 8
          for (int i = 0; i < kR; ++i)
            sum[i][j] = _mm512_dpbusd_epi32(_mm512_dpbusd_epi32(sum[i][j], lo[i], xl), hi[i], xh);
        }
      }
#pragma GCC unroll 8
      for (int i = 0; i < kR; ++i)
#pragma GCC unroll 8
        for (int j = 0; j < kV; ++j) {
          const __m256i s = _mm256_add_epi32(_mm512_castsi512_si256(sum[i][j]),
                                             _mm512_extracti64x4_epi64(sum[i][j], 1));
          acc[i][j] = fold(acc[i][j], _mm256_cvtepi32_ps(s), ws + i * gpr + g, xs[j] + g);
        }
    }
  }
#pragma GCC unroll 8
  for (int i = 0; i < kR; ++i)
#pragma GCC unroll 8
    for (int j = 0; j < kV; ++j)
      y[(v + j) * t.rows + r + i] = lane_total(_mm256_add_ps(acc[i][j], odd[i][j])) * t.level_scale;
}

// Measured on 512 x 512 to 2048 x 512, 128 inputs: 4 x 2 and 4 x 3 within
// 3% of each other, 2 x 4, 3 x 4, 6 x 2 and 8 x 2 15-40% slower; for one
// input, 4 rows as fast as 2 or 8.
constexpr int kMatvecRows = 4;
constexpr int kTileRows = 4;
constexpr int kTileVectors = 2;

template <int kR>
void matmul_rows(const Int8View& t, const Consts& c, const Int8Prepared& in, uint64_t r, uint64_t v0,
                 uint64_t v1, float* y) {
  uint64_t v = v0;
  for (; v + kTileVectors <= v1; v += kTileVectors) tile<kR, kTileVectors>(t, c, in, r, v, y);
  for (; v < v1; ++v) tile<kR, 1>(t, c, in, r, v, y);
}

}  // namespace

void prepare_int8_avx512(const Int8View& t, const int8_t* xq, uint64_t m, int8_t* q,
                         int32_t* corr) {
  const uint64_t units = t.padded_cols / kUnit;
  const __m512i offset = _mm512_set1_epi8(static_cast<char>(0x80));
  const __m512i zero = _mm512_setzero_si512();
  for (uint64_t v = 0; v < m; ++v) {
    const int8_t* x = xq + v * t.padded_cols;
    int8_t* out = q + v * t.padded_cols;
    int32_t* c = corr + v * t.groups_per_row * 8;
    __m256i group_sum = _mm256_setzero_si256();
    uint64_t u = 0;
    for (; u + 2 <= units; u += 2) {
      // [u: 0..31 | u: 32..63 | u+1: 0..31 | u+1: 32..63] ->
      // [u: 0..31 | u+1: 0..31 | u: 32..63 | u+1: 32..63]
      const __m512i a = _mm512_loadu_si512(x + u * kUnit);
      const __m512i b = _mm512_loadu_si512(x + u * kUnit + kUnit);
      const __m512i lo = _mm512_shuffle_i64x2(a, b, 0x44);
      const __m512i hi = _mm512_shuffle_i64x2(a, b, 0xEE);
      _mm512_storeu_si512(out + u * kUnit, lo);
      _mm512_storeu_si512(out + u * kUnit + kUnit, hi);
      // 128·Σ x per 32-bit lane j: unit u's lane j for j < 8, unit u + 1's above.
      const __m512i s =
          _mm512_sub_epi32(zero, _mm512_dpbusd_epi32(_mm512_dpbusd_epi32(zero, offset, lo), offset, hi));
      if (t.group == kUnit) {
        _mm512_storeu_si512(c + u * 8, s);
        continue;
      }
      group_sum = _mm256_add_epi32(group_sum, _mm256_add_epi32(_mm512_castsi512_si256(s),
                                                               _mm512_extracti64x4_epi64(s, 1)));
      const uint64_t next = (u + 2) * kUnit;
      if (next % t.group == 0) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(c + (next / t.group - 1) * 8), group_sum);
        group_sum = _mm256_setzero_si256();
      }
    }
    if (u < units) {  // an unpaired last unit (group 64 only) stays as it is
      const __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x + u * kUnit));
      const __m256i hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x + u * kUnit + 32));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + u * kUnit), lo);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + u * kUnit + 32), hi);
      const __m256i off = _mm512_castsi512_si256(offset);
      const __m256i s = _mm256_sub_epi32(_mm256_setzero_si256(),
                                         _mm256_dpbusd_epi32(_mm256_dpbusd_epi32(_mm256_setzero_si256(), off, lo), off, hi));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(c + u * 8), s);
    }
  }
}

void matvec_int8_avx512(const Int8View& t, const Int8Prepared& x, uint64_t r0, uint64_t r1,
                        float* y) {
  const Consts c = consts(t);
  uint64_t r = r0;
  for (; r + kMatvecRows <= r1; r += kMatvecRows) tile<kMatvecRows, 1>(t, c, x, r, 0, y);
  for (; r < r1; ++r) tile<1, 1>(t, c, x, r, 0, y);
}

void matmul_int8_avx512(const Int8View& t, const Int8Prepared& x, uint64_t r0, uint64_t r1,
                        uint64_t v0, uint64_t v1, float* y) {
  const Consts c = consts(t);
  uint64_t r = r0;
  for (; r + kTileRows <= r1; r += kTileRows) matmul_rows<kTileRows>(t, c, x, r, v0, v1, y);
  for (; r < r1; ++r) matmul_rows<1>(t, c, x, r, v0, v1, y);
}

}  // namespace pinnet::core::cq_kernels
