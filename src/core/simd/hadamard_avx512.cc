// AVX-512 build of the normalised Walsh-Hadamard transform. Compiled with
// -mavx512f; includes nothing but its declaration header and the intrinsics
// (see cq_kernels.h for why).
#include "core/simd/x86_intrinsics.h"

#include "core/simd/hadamard_kernels.h"

namespace pinnet::core::hadamard_kernels {
namespace {

// One stage inside each 16-float vector: lanes whose bit `h` is clear get
// a + b, the others a - b, with a the lower partner (each result is the
// very operation the scalar stage performs).
inline __m512 butterfly(__m512 x, __m512 partner, __mmask16 upper) {
  return _mm512_mask_blend_ps(upper, _mm512_add_ps(x, partner), _mm512_sub_ps(partner, x));
}

// Stages of half-width 1, 2, 4 and 8.
inline __m512 narrow_stages(__m512 v) {
  v = butterfly(v, _mm512_permute_ps(v, 0xB1), 0xAAAA);
  v = butterfly(v, _mm512_permute_ps(v, 0x4E), 0xCCCC);
  v = butterfly(v, _mm512_shuffle_f32x4(v, v, 0xB1), 0xF0F0);
  return butterfly(v, _mm512_shuffle_f32x4(v, v, 0x4E), 0xFF00);
}

}  // namespace

// Each stage only combines partners, so running the narrow stages per vector
// before the wide ones applies the same operations to every value. A block
// of 64 stays in four registers throughout.
void fwht_avx512(float* x, size_t n, float scale) {
  const __m512 s = _mm512_set1_ps(scale);
  if (n == 64) {
    const __m512 v0 = narrow_stages(_mm512_loadu_ps(x)), v1 = narrow_stages(_mm512_loadu_ps(x + 16));
    const __m512 v2 = narrow_stages(_mm512_loadu_ps(x + 32)), v3 = narrow_stages(_mm512_loadu_ps(x + 48));
    const __m512 a0 = _mm512_add_ps(v0, v1), a1 = _mm512_sub_ps(v0, v1);
    const __m512 a2 = _mm512_add_ps(v2, v3), a3 = _mm512_sub_ps(v2, v3);
    _mm512_storeu_ps(x, _mm512_mul_ps(_mm512_add_ps(a0, a2), s));
    _mm512_storeu_ps(x + 16, _mm512_mul_ps(_mm512_add_ps(a1, a3), s));
    _mm512_storeu_ps(x + 32, _mm512_mul_ps(_mm512_sub_ps(a0, a2), s));
    _mm512_storeu_ps(x + 48, _mm512_mul_ps(_mm512_sub_ps(a1, a3), s));
    return;
  }
  for (size_t i = 0; i < n; i += 16) _mm512_storeu_ps(x + i, narrow_stages(_mm512_loadu_ps(x + i)));
  for (size_t h = 16; h < n; h *= 2) {
    for (size_t i = 0; i < n; i += 2 * h) {
      for (size_t j = i; j < i + h; j += 16) {
        const __m512 a = _mm512_loadu_ps(x + j), b = _mm512_loadu_ps(x + j + h);
        _mm512_storeu_ps(x + j, _mm512_add_ps(a, b));
        _mm512_storeu_ps(x + j + h, _mm512_sub_ps(a, b));
      }
    }
  }
  for (size_t i = 0; i < n; i += 16) _mm512_storeu_ps(x + i, _mm512_mul_ps(_mm512_loadu_ps(x + i), s));
}

}  // namespace pinnet::core::hadamard_kernels
