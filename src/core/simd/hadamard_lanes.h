// The normalised Walsh-Hadamard transform over a lane type (see lanes.h):
// the same butterflies as the scalar stages in the same order, so the same
// floats on every instruction set.
#pragma once

#include <cstddef>

namespace pinnet::core::simd {
namespace {

// x <- (H_n x)·scale for n a power of two >= V::kLanes. Each stage only
// combines partners, so running the narrow stages within each vector before
// the wide ones applies the same operations to every value. A block of four
// vectors stays in registers throughout.
template <class V>
void fwht_lanes(float* x, size_t n, float scale) {
  using F = typename V::F;
  constexpr size_t L = V::kLanes;
  const F s = V::set1(scale);
  if (n == 4 * L) {
    const F v0 = V::butterflies(V::load(x)), v1 = V::butterflies(V::load(x + L));
    const F v2 = V::butterflies(V::load(x + 2 * L)), v3 = V::butterflies(V::load(x + 3 * L));
    const F a0 = V::add(v0, v1), a1 = V::sub(v0, v1);
    const F a2 = V::add(v2, v3), a3 = V::sub(v2, v3);
    V::store(x, V::mul(V::add(a0, a2), s));
    V::store(x + L, V::mul(V::add(a1, a3), s));
    V::store(x + 2 * L, V::mul(V::sub(a0, a2), s));
    V::store(x + 3 * L, V::mul(V::sub(a1, a3), s));
    return;
  }
  for (size_t i = 0; i < n; i += L) V::store(x + i, V::butterflies(V::load(x + i)));
  for (size_t h = L; h < n; h *= 2) {
    for (size_t i = 0; i < n; i += 2 * h) {
      for (size_t j = i; j < i + h; j += L) {
        const F a = V::load(x + j), b = V::load(x + j + h);
        V::store(x + j, V::add(a, b));
        V::store(x + j + h, V::sub(a, b));
      }
    }
  }
  for (size_t i = 0; i < n; i += L) V::store(x + i, V::mul(V::load(x + i), s));
}

}  // namespace
}  // namespace pinnet::core::simd
