#include "core/hadamard.h"

#include <cmath>
#include <cstring>
#include <stdexcept>

#include "core/checked_math.h"
#include "core/cpu.h"
#include "core/simd/hadamard_kernels.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace pinnet::core {
namespace {

// One stage of butterflies with half-width h over n floats.
inline void stage_scalar(float* x, size_t n, size_t h) {
  for (size_t i = 0; i < n; i += 2 * h) {
    for (size_t j = i; j < i + h; ++j) {
      const float a = x[j];
      const float b = x[j + h];
      x[j] = a + b;
      x[j + h] = a - b;
    }
  }
}

// Same stage, four butterflies per instruction; only valid for h % 4 == 0 so
// that the two halves of a butterfly group never share a vector.
inline void stage_wide(float* x, size_t n, size_t h) {
#if defined(__SSE2__)
  for (size_t i = 0; i < n; i += 2 * h) {
    for (size_t j = i; j < i + h; j += 4) {
      const __m128 a = _mm_loadu_ps(x + j);
      const __m128 b = _mm_loadu_ps(x + j + h);
      _mm_storeu_ps(x + j, _mm_add_ps(a, b));
      _mm_storeu_ps(x + j + h, _mm_sub_ps(a, b));
    }
  }
#else
  stage_scalar(x, n, h);
#endif
}

inline void scale(float* x, size_t n, float s) {
  size_t i = 0;
#if defined(__SSE2__)
  const __m128 vs = _mm_set1_ps(s);
  for (; i + 8 <= n; i += 8) {
    _mm_storeu_ps(x + i, _mm_mul_ps(_mm_loadu_ps(x + i), vs));
    _mm_storeu_ps(x + i + 4, _mm_mul_ps(_mm_loadu_ps(x + i + 4), vs));
  }
#endif
  for (; i < n; ++i) x[i] *= s;
}

void fwht_block(float* x, size_t n) {
  const float s = 1.0f / std::sqrt(static_cast<float>(n));
#ifdef PINNET_X86_KERNELS
  const Isa isa = best_isa();
  if (n >= 16 && isa >= Isa::Avx512) return hadamard_kernels::fwht_avx512(x, n, s);
  if (n >= 8 && isa >= Isa::Avx2) return hadamard_kernels::fwht_avx2(x, n, s);
#endif
  for (size_t h = 1; h < n; h *= 2) {
    if (h % 4 == 0) {
      stage_wide(x, n, h);
    } else {
      stage_scalar(x, n, h);
    }
  }
  scale(x, n, s);
}

}  // namespace

void fwht(std::span<float> x) {
  if (!is_power_of_two(x.size())) {
    throw std::invalid_argument("FWHT length must be a power of two");
  }
  fwht_block(x.data(), x.size());
}

void pad_and_rotate(std::span<const float> src, size_t block, std::span<float> dst) {
  if (dst.size() < src.size()) {
    throw std::out_of_range("pad_and_rotate: destination shorter than source");
  }
  if (!src.empty()) std::memcpy(dst.data(), src.data(), src.size() * sizeof(float));
  if (dst.size() > src.size()) {
    std::memset(dst.data() + src.size(), 0, (dst.size() - src.size()) * sizeof(float));
  }
  if (block == 0) throw std::invalid_argument("chunk size must be non-zero");
  if (!is_power_of_two(block)) {
    throw std::invalid_argument("FWHT length must be a power of two");
  }
  for (size_t start = 0; start + block <= dst.size(); start += block) {
    fwht_block(dst.data() + start, block);
  }
}

}  // namespace pinnet::core
