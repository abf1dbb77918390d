// AVX-512 kernels of the codebook-quantised products: the decoders, the
// single-vector kernel, the register-blocked wide-batch panels and the input
// reorder; the batched product is cq_float_lanes.h on them. Compiled with
// -mavx512f/bw/vl/dq -mavx2 -mfma -mf16c; see simd/lanes.h for why this file
// includes nothing but intrinsics and internal templates.
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
#include "core/simd/lanes_avx512.h"

#include <cstddef>
#include <cstdint>

#include "core/simd/cq_float_lanes.h"
#include "core/simd/cq_kernels.h"
#include "core/simd/cq_prefetch.h"

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

// dst[0, 16) <- the first min(count, 16) binary16 scales at src, widened
// (the rest zero). Converting 16 at once keeps the per-group scalar
// conversions off port 5, which the permutes of the decode already fill.
inline void widen_scales(const uint16_t* src, uint64_t count, float* dst) {
  const __mmask16 mask = count >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << count) - 1);
  _mm512_storeu_ps(dst, _mm512_cvtph_ps(_mm256_maskz_loadu_epi16(mask, src)));
}

inline __m512 decode(__m512i raw, __m512i count, __m512 table) {
  return _mm512_permutexvar_ps(_mm512_srlv_epi32(raw, count), table);
}

// kR rows times one input over the whole row, decoding as it goes: one
// accumulation chain per row, and each input load serves every row.
template <unsigned kBits, int kR>
inline void matvec_tile(const View& t, const Shifts& sh, __m512 table, const float* xp,
                        uint64_t r, float* y) {
  constexpr uint64_t kUnitBytes = kUnit * kBits / 8;
  const uint64_t units_per_group = t.group / kUnit;
  const uint64_t ahead = prefetch_distance(kR, t.row_bytes);
  constexpr uint64_t kPrefetchUnits = 64 / kUnitBytes;  // one prefetch a line and row
  uint64_t unit = 0;
  __m512 acc[kR];
#pragma GCC unroll 8
  for (int i = 0; i < kR; ++i) acc[i] = _mm512_setzero_ps();
  const uint8_t* code = t.codes + r * t.row_bytes;
  const float* x = xp;
  // The rows' binary16 scales, widened 16 groups at a time.
  alignas(64) float scale[kR][16];
  for (uint64_t g = 0; g < t.groups_per_row; ++g) {
    if (g % 16 == 0) {
#pragma GCC unroll 8
      for (int i = 0; i < kR; ++i)
        widen_scales(t.scales + (r + i) * t.groups_per_row + g, t.groups_per_row - g, scale[i]);
    }
    // The group's scale is folded into the table: level·scale per lane.
    __m512 ts[kR];
#pragma GCC unroll 8
    for (int i = 0; i < kR; ++i) ts[i] = _mm512_mul_ps(table, _mm512_set1_ps(scale[i][g % 16]));
    for (uint64_t u = 0; u < units_per_group; ++u) {
      __m512i raw[kR];
#pragma GCC unroll 8
      for (int i = 0; i < kR; ++i) raw[i] = load_unit<kBits>(code + i * t.row_bytes);
      if (unit++ % kPrefetchUnits == 0) {
#pragma GCC unroll 8
        for (int i = 0; i < kR; ++i) prefetch_ahead(code + i * t.row_bytes, ahead);
      }
#pragma GCC unroll 4
      for (int s = 0; s < 4; ++s) {
        const __m512 xs = _mm512_loadu_ps(x + 16 * s);
#pragma GCC unroll 8
        for (int i = 0; i < kR; ++i) {
          acc[i] = _mm512_fmadd_ps(decode(raw[i], sh.c[s], ts[i]), xs, acc[i]);
        }
      }
      code += kUnitBytes;
      x += kUnit;
    }
  }
#pragma GCC unroll 8
  for (int i = 0; i < kR; ++i) y[r + i] = _mm512_reduce_add_ps(acc[i]);
}

// The batched product (cq_float_lanes.h) on tiles of 4 rows x 4 inputs.
constexpr int kTileRows = 4;
constexpr int kTileVectors = 4;
static_assert(kChunkUnits <= 16, "decode_chunk widens at most 16 scales a row");

// nu <= 16 units (a chunk spans at most 16 groups, widened at once).
template <unsigned kBits, int kR>
inline void decode_chunk(const View& t, const Shifts& sh, __m512 table, uint64_t r, uint64_t u0,
                         uint64_t nu, float* w) {
  constexpr uint64_t kUnitBytes = kUnit * kBits / 8;
  const uint64_t units_per_group = t.group / kUnit;
  const uint64_t g0 = u0 / units_per_group;
  const uint64_t groups = (u0 + nu - 1) / units_per_group - g0 + 1;
  alignas(64) float scale[16];
  for (int i = 0; i < kR; ++i) {
    const uint8_t* code = t.codes + (r + i) * t.row_bytes + u0 * kUnitBytes;
    widen_scales(t.scales + (r + i) * t.groups_per_row + g0, groups, scale);
    float* out = w + i * nu * kUnit;
    for (uint64_t u = 0; u < nu; ++u) {
      const __m512 ts = _mm512_mul_ps(table, _mm512_set1_ps(scale[(u0 + u) / units_per_group - g0]));
      const __m512i raw = load_unit<kBits>(code + u * kUnitBytes);
      _mm512_storeu_ps(out + u * kUnit, decode(raw, sh.c[0], ts));
      _mm512_storeu_ps(out + u * kUnit + 16, decode(raw, sh.c[1], ts));
      _mm512_storeu_ps(out + u * kUnit + 32, decode(raw, sh.c[2], ts));
      _mm512_storeu_ps(out + u * kUnit + 48, decode(raw, sh.c[3], ts));
    }
  }
}

template <unsigned kBits>
struct Decoder {
  Shifts sh;
  __m512 table;
  template <int kR>
  void chunk(const View& t, uint64_t r, uint64_t u0, uint64_t nu, float* w) const {
    decode_chunk<kBits, kR>(t, sh, table, r, u0, nu, w);
  }
};

// Wide batches (many inputs, see kWideBatch) take a register-blocked path
// without horizontal sums: a tile of kPanelRows rows is decoded once per
// chunk of kPanelCols columns into a column-major panel (for each column
// the kPanelRows weights, scale folded), and every input of the batch
// streams past it. Per column the kernel loads two panel vectors and
// broadcasts one input element per vector of the tile, so 2 + kPanelVectors
// loads feed 2·kPanelVectors fused multiply-adds into 16-row accumulators
// that are stored straight into y (whose rows are contiguous per input).
// Each output is a sum over columns in the same order whatever the tile of
// inputs it falls in, so row and batch splits give identical results.
constexpr int kPanelRows = 32;
constexpr int kPanelVectors = 12;
constexpr uint64_t kPanelUnits = 4;  // 256 columns per chunk: a 32 KiB panel
static_assert(kPanelUnits <= 16, "decode_chunk widens at most 16 scales a row");
// Inputs per block: their kPanelCols-column slices (384 KiB) stay in L2
// while every row tile passes over them.
constexpr uint64_t kPanelBlockVectors = 384;

template <unsigned kBits>
void pack_panel(const View& t, const Shifts& sh, __m512 table, uint64_t r, uint64_t u0,
                uint64_t nu, float* rows_buf, float* panel) {
  decode_chunk<kBits, kPanelRows>(t, sh, table, r, u0, nu, rows_buf);
  const uint64_t n = nu * kUnit;
  // 16 x 16 blocks transposed through registers: rows i0..i0+15 of columns
  // k0..k0+15 become columns of the panel.
  for (uint64_t k0 = 0; k0 < n; k0 += 16) {
    for (int i0 = 0; i0 < kPanelRows; i0 += 16) {
      __m512 v[16];
#pragma GCC unroll 16
      for (int i = 0; i < 16; ++i) v[i] = _mm512_load_ps(rows_buf + (i0 + i) * n + k0);
      // Stage 1: interleave pairs of rows (32-bit), stage 2: pairs of
      // pairs (64-bit), stage 3 and 4: 128-bit lanes.
      __m512 a[16], b[16];
#pragma GCC unroll 8
      for (int i = 0; i < 8; ++i) {
        a[2 * i] = _mm512_unpacklo_ps(v[2 * i], v[2 * i + 1]);
        a[2 * i + 1] = _mm512_unpackhi_ps(v[2 * i], v[2 * i + 1]);
      }
#pragma GCC unroll 4
      for (int i = 0; i < 4; ++i) {
        const __m512d p0 = _mm512_castps_pd(a[4 * i]), p1 = _mm512_castps_pd(a[4 * i + 1]);
        const __m512d p2 = _mm512_castps_pd(a[4 * i + 2]), p3 = _mm512_castps_pd(a[4 * i + 3]);
        b[4 * i] = _mm512_castpd_ps(_mm512_unpacklo_pd(p0, p2));
        b[4 * i + 1] = _mm512_castpd_ps(_mm512_unpackhi_pd(p0, p2));
        b[4 * i + 2] = _mm512_castpd_ps(_mm512_unpacklo_pd(p1, p3));
        b[4 * i + 3] = _mm512_castpd_ps(_mm512_unpackhi_pd(p1, p3));
      }
      // b[4q + c] holds, in 128-bit lane L, column 4L + c of rows 4q..4q+3.
#pragma GCC unroll 4
      for (int c = 0; c < 4; ++c) {
        const __m512 q01lo = _mm512_shuffle_f32x4(b[c], b[4 + c], 0x88);   // lanes 0,2 | 0,2
        const __m512 q01hi = _mm512_shuffle_f32x4(b[c], b[4 + c], 0xDD);   // lanes 1,3 | 1,3
        const __m512 q23lo = _mm512_shuffle_f32x4(b[8 + c], b[12 + c], 0x88);
        const __m512 q23hi = _mm512_shuffle_f32x4(b[8 + c], b[12 + c], 0xDD);
        // Column 4L + c for L = 0..3: rows 0..3, 4..7, 8..11, 12..15.
        const __m512 l0 = _mm512_shuffle_f32x4(q01lo, q23lo, 0x88);  // L = 0
        const __m512 l2 = _mm512_shuffle_f32x4(q01lo, q23lo, 0xDD);  // L = 2
        const __m512 l1 = _mm512_shuffle_f32x4(q01hi, q23hi, 0x88);  // L = 1
        const __m512 l3 = _mm512_shuffle_f32x4(q01hi, q23hi, 0xDD);  // L = 3
        float* out = panel + (k0 + c) * kPanelRows + i0;
        _mm512_store_ps(out, l0);
        _mm512_store_ps(out + 4 * kPanelRows, l1);
        _mm512_store_ps(out + 8 * kPanelRows, l2);
        _mm512_store_ps(out + 12 * kPanelRows, l3);
      }
    }
  }
}

// y[j·rows + i] (+)= panel column k · input j, summed over n columns.
template <int kV>
inline void panel_tile(const float* panel, const float* x, uint64_t stride, uint64_t n, float* y,
                       uint64_t rows, bool first) {
  __m512 lo[kV], hi[kV];
#pragma GCC unroll 16
  for (int j = 0; j < kV; ++j) {
    lo[j] = first ? _mm512_setzero_ps() : _mm512_loadu_ps(y + j * rows);
    hi[j] = first ? _mm512_setzero_ps() : _mm512_loadu_ps(y + j * rows + 16);
  }
  for (uint64_t k = 0; k < n; ++k) {
    const __m512 w0 = _mm512_load_ps(panel + k * kPanelRows);
    const __m512 w1 = _mm512_load_ps(panel + k * kPanelRows + 16);
#pragma GCC unroll 16
    for (int j = 0; j < kV; ++j) {
      const __m512 b = _mm512_set1_ps(x[j * stride + k]);
      lo[j] = _mm512_fmadd_ps(w0, b, lo[j]);
      hi[j] = _mm512_fmadd_ps(w1, b, hi[j]);
    }
  }
#pragma GCC unroll 16
  for (int j = 0; j < kV; ++j) {
    _mm512_storeu_ps(y + j * rows, lo[j]);
    _mm512_storeu_ps(y + j * rows + 16, hi[j]);
  }
}

template <int kV>
void panel_tail(const float* panel, const float* x, uint64_t stride, uint64_t n, float* y,
                uint64_t rows, bool first, uint64_t count) {
  if constexpr (kV > 0) {
    if (count == kV) return panel_tile<kV>(panel, x, stride, n, y, rows, first);
    panel_tail<kV - 1>(panel, x, stride, n, y, rows, first, count);
  }
}

template <unsigned kBits>
void matmul_panels(const View& t, const Shifts& sh, __m512 table, const float* xp, uint64_t r0,
                   uint64_t r1, uint64_t v0, uint64_t v1, float* y) {
  alignas(64) float rows_buf[kPanelRows * kPanelUnits * kUnit];
  alignas(64) float panel[kPanelRows * kPanelUnits * kUnit];
  const uint64_t units = t.padded_cols / kUnit;
  for (uint64_t vb = v0; vb < v1; vb += kPanelBlockVectors) {
    const uint64_t ve = v1 - vb < kPanelBlockVectors ? v1 : vb + kPanelBlockVectors;
    for (uint64_t r = r0; r < r1; r += kPanelRows) {
      for (uint64_t u0 = 0; u0 < units; u0 += kPanelUnits) {
        const uint64_t nu = units - u0 < kPanelUnits ? units - u0 : kPanelUnits;
        const uint64_t n = nu * kUnit;
        pack_panel<kBits>(t, sh, table, r, u0, nu, rows_buf, panel);
        const float* x = xp + u0 * kUnit;
        uint64_t v = vb;
        for (; v + kPanelVectors <= ve; v += kPanelVectors) {
          panel_tile<kPanelVectors>(panel, x + v * t.padded_cols, t.padded_cols, n,
                                    y + v * t.rows + r, t.rows, u0 == 0);
        }
        if (v < ve) {
          panel_tail<kPanelVectors - 1>(panel, x + v * t.padded_cols, t.padded_cols, n,
                                        y + v * t.rows + r, t.rows, u0 == 0, ve - v);
        }
      }
    }
  }
}

template <unsigned kBits>
void matmul_rows(const View& t, const float* xp, uint64_t r0, uint64_t r1, uint64_t v0,
                 uint64_t v1, bool wide, float* y) {
  const Decoder<kBits> dec{make_shifts<kBits>(), _mm512_loadu_ps(t.table)};
  if (wide) {
    // Whole panels on row tiles aligned to multiples of kPanelRows, so that
    // a row's sum does not depend on where a split starts.
    const uint64_t p0 = (r0 + kPanelRows - 1) / kPanelRows * kPanelRows;
    const uint64_t p1 = r1 / kPanelRows * kPanelRows;
    if (p0 < p1) {
      matmul_panels<kBits>(t, dec.sh, dec.table, xp, p0, p1, v0, v1, y);
      if (r0 < p0) matmul_tiles<simd::Avx512, kTileRows, kTileVectors>(t, dec, xp, r0, p0, v0, v1, y);
      r0 = p1;
    }
  }
  matmul_tiles<simd::Avx512, kTileRows, kTileVectors>(t, dec, xp, r0, r1, v0, v1, y);
}

constexpr int kMatvecRows = 4;

template <unsigned kBits>
void matvec_rows(const View& t, const float* xp, uint64_t r0, uint64_t r1, float* y) {
  const Shifts sh = make_shifts<kBits>();
  const __m512 table = _mm512_loadu_ps(t.table);
  uint64_t r = r0;
  for (; r + kMatvecRows <= r1; r += kMatvecRows) {
    matvec_tile<kBits, kMatvecRows>(t, sh, table, xp, r, y);
  }
  for (; r < r1; ++r) matvec_tile<kBits, 1>(t, sh, table, xp, r, y);
}

}  // namespace

// Each output vector of a unit picks its 16 elements from the unit's four
// input vectors: two two-register permutes (elements 0..31 and 32..63) and a
// blend on bit 5 of the element index. All four inputs are loaded before
// anything is stored, so the reorder may run in place.
void reorder_avx512(const uint8_t* element, const float* src, uint64_t n, float* dst) {
  __m512i idx[4];
  __mmask16 high[4];
  for (int s = 0; s < 4; ++s) {
    alignas(64) int32_t lanes[16];
    unsigned mask = 0;
    for (int l = 0; l < 16; ++l) {
      const unsigned e = element[16 * s + l];
      lanes[l] = static_cast<int32_t>(e & 31);
      if (e & 32) mask |= 1u << l;
    }
    idx[s] = _mm512_load_si512(lanes);
    high[s] = static_cast<__mmask16>(mask);
  }
  for (uint64_t base = 0; base < n; base += kUnit) {
    const __m512 v0 = _mm512_loadu_ps(src + base), v1 = _mm512_loadu_ps(src + base + 16);
    const __m512 v2 = _mm512_loadu_ps(src + base + 32), v3 = _mm512_loadu_ps(src + base + 48);
    __m512 out[4];
    for (int s = 0; s < 4; ++s) {
      const __m512 lo = _mm512_permutex2var_ps(v0, idx[s], v1);
      const __m512 hi = _mm512_permutex2var_ps(v2, idx[s], v3);
      out[s] = _mm512_mask_blend_ps(high[s], lo, hi);
    }
    for (int s = 0; s < 4; ++s) _mm512_storeu_ps(dst + base + 16 * s, out[s]);
  }
}

void matvec_avx512(const View& t, const float* xp, uint64_t r0, uint64_t r1, float* y) {
  switch (t.bits) {
    case 2: matvec_rows<2>(t, xp, r0, r1, y); break;
    case 3: matvec_rows<3>(t, xp, r0, r1, y); break;
    default: matvec_rows<4>(t, xp, r0, r1, y); break;
  }
}

void matmul_avx512(const View& t, const float* xp, uint64_t r0, uint64_t r1, uint64_t v0,
                   uint64_t v1, bool wide, float* y) {
  switch (t.bits) {
    case 2: matmul_rows<2>(t, xp, r0, r1, v0, v1, wide, y); break;
    case 3: matmul_rows<3>(t, xp, r0, r1, v0, v1, wide, y); break;
    default: matmul_rows<4>(t, xp, r0, r1, v0, v1, wide, y); break;
  }
}

}  // namespace pinnet::core::cq_kernels
