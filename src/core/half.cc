#include "core/half.h"

#include <cstring>

#include "core/cpu.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define PINNET_HAVE_F16C_PATH 1
#endif

namespace pinnet::core {

float half_to_float(uint16_t h) {
  const uint32_t sign = static_cast<uint32_t>(h & 0x8000u) << 16;
  const uint32_t exponent = (h >> 10) & 0x1Fu;
  const uint32_t mantissa = h & 0x3FFu;
  uint32_t bits;
  if (exponent == 0) {
    if (mantissa == 0) {
      bits = sign;
    } else {
      // Subnormal: mantissa * 2^-24, exact in binary32.
      float value = static_cast<float>(mantissa) * 0x1p-24f;
      std::memcpy(&bits, &value, sizeof bits);
      bits |= sign;
    }
  } else if (exponent == 31) {
    bits = sign | 0x7F800000u | (mantissa << 13);
  } else {
    bits = sign | ((exponent + 112) << 23) | (mantissa << 13);
  }
  float out;
  std::memcpy(&out, &bits, sizeof out);
  return out;
}

namespace detail {

void halves_to_floats_portable(const uint8_t* src, size_t n, float* dst) {
  for (size_t i = 0; i < n; ++i) {
    const uint16_t h = static_cast<uint16_t>(src[2 * i] | (src[2 * i + 1] << 8));
    dst[i] = half_to_float(h);
  }
}

#if defined(PINNET_HAVE_F16C_PATH)
// VCVTPH2PS is exact except that it quiets signalling NaNs; blocks holding any
// all-ones exponent (infinity or NaN, rare in weights) take the scalar rule.
__attribute__((target("avx,f16c"))) void halves_to_floats_f16c(const uint8_t* src, size_t n,
                                                               float* dst) {
  const __m128i exponent_mask = _mm_set1_epi16(0x7C00);
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m128i h = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 2 * i));
    const __m128i special = _mm_cmpeq_epi16(_mm_and_si128(h, exponent_mask), exponent_mask);
    if (_mm_movemask_epi8(special) != 0) {
      halves_to_floats_portable(src + 2 * i, 8, dst + i);
    } else {
      _mm256_storeu_ps(dst + i, _mm256_cvtph_ps(h));
    }
  }
  halves_to_floats_portable(src + 2 * i, n - i, dst + i);
}
#else
void halves_to_floats_f16c(const uint8_t* src, size_t n, float* dst) {
  halves_to_floats_portable(src, n, dst);
}
#endif

}  // namespace detail

void halves_to_floats(const uint8_t* little_endian_src, size_t n, float* dst) {
  if (isa_includes(best_isa(), Isa::Avx2)) {
    detail::halves_to_floats_f16c(little_endian_src, n, dst);
  } else {
    detail::halves_to_floats_portable(little_endian_src, n, dst);
  }
}

}  // namespace pinnet::core
