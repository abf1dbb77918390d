// The 16-lane float vector of AVX-512 F/VL/DQ as the shared kernel templates
// see it (see lanes.h for what a lane type provides). Include only from units
// compiled with -mavx512f (and the flags of what else they use).
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/simd/x86_intrinsics.h"

namespace pinnet::core::simd {
namespace {  // internal linkage: see lanes.h

struct Avx512 {
  using F = __m512;
  static constexpr size_t kLanes = 16;

  static F zero() { return _mm512_setzero_ps(); }
  static F set1(float v) { return _mm512_set1_ps(v); }
  static F load(const float* p) { return _mm512_loadu_ps(p); }
  // 16 int8 values widened to floats.
  static F load(const int8_t* p) {
    return _mm512_cvtepi32_ps(_mm512_cvtepi8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))));
  }
  static void store(float* p, F v) { _mm512_storeu_ps(p, v); }

  static F add(F a, F b) { return _mm512_add_ps(a, b); }
  static F sub(F a, F b) { return _mm512_sub_ps(a, b); }
  static F mul(F a, F b) { return _mm512_mul_ps(a, b); }
  static F div(F a, F b) { return _mm512_div_ps(a, b); }
  static F fmadd(F a, F b, F c) { return _mm512_fmadd_ps(a, b, c); }   // a·b + c
  static F fnmadd(F a, F b, F c) { return _mm512_fnmadd_ps(a, b, c); } // c - a·b
  // VMINPS/VMAXPS: the second operand when either is NaN.
  static F min(F a, F b) { return _mm512_min_ps(a, b); }
  static F max(F a, F b) { return _mm512_max_ps(a, b); }
  static F floor(F a) { return _mm512_roundscale_ps(a, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC); }
  // 2^n for lanes holding whole numbers n in [-127, 128].
  static F pow2(F n) {
    const __m512i e = _mm512_add_epi32(_mm512_cvttps_epi32(n), _mm512_set1_epi32(127));
    return _mm512_castsi512_ps(_mm512_slli_epi32(e, 23));
  }

  static float reduce_add(F v) { return _mm512_reduce_add_ps(v); }
  static float reduce_max(F v) { return _mm512_reduce_max_ps(v); }

  // Sixteen vectors to one: lane j of the result is the sum of v[j]'s lanes
  // (pairs of rows interleaved and added, then pairs of pairs, then 128-bit
  // lanes), 45 operations instead of sixteen horizontal sums.
  static F sum_lanes(const F* v) {
    __m512 a[8], b[4], c[2];
    for (int i = 0; i < 8; ++i)
      a[i] = _mm512_add_ps(_mm512_unpacklo_ps(v[2 * i], v[2 * i + 1]),
                           _mm512_unpackhi_ps(v[2 * i], v[2 * i + 1]));
    for (int i = 0; i < 4; ++i) {
      const __m512d x = _mm512_castps_pd(a[2 * i]), y = _mm512_castps_pd(a[2 * i + 1]);
      b[i] = _mm512_add_ps(_mm512_castpd_ps(_mm512_unpacklo_pd(x, y)),
                           _mm512_castpd_ps(_mm512_unpackhi_pd(x, y)));
    }
    // b[i], 128-bit lane L: the lane-L sums of rows 4i .. 4i + 3.
    for (int i = 0; i < 2; ++i)
      c[i] = _mm512_add_ps(_mm512_shuffle_f32x4(b[2 * i], b[2 * i + 1], 0x88),
                           _mm512_shuffle_f32x4(b[2 * i], b[2 * i + 1], 0xDD));
    return _mm512_add_ps(_mm512_shuffle_f32x4(c[0], c[1], 0x88), _mm512_shuffle_f32x4(c[0], c[1], 0xDD));
  }

  // The butterfly stages of half-width 1, 2, 4 and 8 of a Hadamard transform
  // within one vector: lanes whose bit h is clear get a + b, the others
  // a - b, with a the lower partner.
  static F butterflies(F v) {
    v = butterfly(v, _mm512_permute_ps(v, 0xB1), 0xAAAA);
    v = butterfly(v, _mm512_permute_ps(v, 0x4E), 0xCCCC);
    v = butterfly(v, _mm512_shuffle_f32x4(v, v, 0xB1), 0xF0F0);
    return butterfly(v, _mm512_shuffle_f32x4(v, v, 0x4E), 0xFF00);
  }

 private:
  static F butterfly(F x, F partner, __mmask16 upper) {
    return _mm512_mask_blend_ps(upper, _mm512_add_ps(x, partner), _mm512_sub_ps(partner, x));
  }
};

}  // namespace
}  // namespace pinnet::core::simd
