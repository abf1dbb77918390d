// The 8-lane float vector of AVX2 + FMA as the shared kernel templates see
// it (see lanes.h for what a lane type provides). Include only from units
// compiled with -mavx2 -mfma.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/simd/x86_intrinsics.h"

namespace pinnet::core::simd {
namespace {  // internal linkage: see lanes.h

struct Avx2 {
  using F = __m256;
  static constexpr size_t kLanes = 8;

  static F zero() { return _mm256_setzero_ps(); }
  static F set1(float v) { return _mm256_set1_ps(v); }
  static F load(const float* p) { return _mm256_loadu_ps(p); }
  // 8 int8 values widened to floats.
  static F load(const int8_t* p) {
    return _mm256_cvtepi32_ps(_mm256_cvtepi8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))));
  }
  static void store(float* p, F v) { _mm256_storeu_ps(p, v); }

  static F add(F a, F b) { return _mm256_add_ps(a, b); }
  static F sub(F a, F b) { return _mm256_sub_ps(a, b); }
  static F mul(F a, F b) { return _mm256_mul_ps(a, b); }
  static F div(F a, F b) { return _mm256_div_ps(a, b); }
  static F fmadd(F a, F b, F c) { return _mm256_fmadd_ps(a, b, c); }   // a·b + c
  static F fnmadd(F a, F b, F c) { return _mm256_fnmadd_ps(a, b, c); } // c - a·b
  // VMINPS/VMAXPS: the second operand when either is NaN.
  static F min(F a, F b) { return _mm256_min_ps(a, b); }
  static F max(F a, F b) { return _mm256_max_ps(a, b); }
  static F floor(F a) { return _mm256_floor_ps(a); }
  // 2^n for lanes holding whole numbers n in [-127, 128].
  static F pow2(F n) {
    const __m256i e = _mm256_add_epi32(_mm256_cvttps_epi32(n), _mm256_set1_epi32(127));
    return _mm256_castsi256_ps(_mm256_slli_epi32(e, 23));
  }

  // Σ lanes: halves added, then pairs, then the last two.
  static float reduce_add(F v) {
    __m128 h = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
    h = _mm_add_ps(h, _mm_movehl_ps(h, h));
    h = _mm_add_ss(h, _mm_movehdup_ps(h));
    return _mm_cvtss_f32(h);
  }

  // The butterfly stages of half-width 1, 2 and 4 of a Hadamard transform
  // within one vector: lanes whose bit h is clear get a + b, the others
  // a - b, with a the lower partner.
  static F butterflies(F v) {
    v = butterfly<0xAA>(v, _mm256_permute_ps(v, 0xB1));
    v = butterfly<0xCC>(v, _mm256_permute_ps(v, 0x4E));
    return butterfly<0xF0>(v, _mm256_permute2f128_ps(v, v, 1));
  }

 private:
  template <int kUpper>
  static F butterfly(F x, F partner) {
    return _mm256_blend_ps(_mm256_add_ps(x, partner), _mm256_sub_ps(partner, x), kUpper);
  }
};

}  // namespace
}  // namespace pinnet::core::simd
