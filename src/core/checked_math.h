// Integer helpers for sizes read from files or callers: overflow-checked
// products and sums, saturating forms for limits, rounding-up division and the
// power-of-two test. Header-only and free of processor flags, so every layer
// and every kernel file may include it.
#pragma once

#include <cstdint>
#include <limits>

namespace pinnet::core {

inline constexpr bool is_power_of_two(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

// a·b into *out; true when it does not fit (then *out holds the wrapped value).
inline bool mul_overflows(uint64_t a, uint64_t b, uint64_t* out) {
  return __builtin_mul_overflow(a, b, out);
}
inline bool add_overflows(uint64_t a, uint64_t b, uint64_t* out) {
  return __builtin_add_overflow(a, b, out);
}

// a·b and a + b, or the largest uint64_t when they do not fit: a size that
// saturates fails every later bound test.
inline uint64_t saturating_mul(uint64_t a, uint64_t b) {
  uint64_t out = 0;
  return mul_overflows(a, b, &out) ? std::numeric_limits<uint64_t>::max() : out;
}
inline uint64_t saturating_add(uint64_t a, uint64_t b) {
  uint64_t out = 0;
  return add_overflows(a, b, &out) ? std::numeric_limits<uint64_t>::max() : out;
}

// ⌈a / b⌉ for b > 0, without the overflow of (a + b - 1) / b.
inline constexpr uint64_t ceil_div(uint64_t a, uint64_t b) { return a / b + (a % b != 0); }

}  // namespace pinnet::core
