// The lane types the shared kernel templates are written over, and the math
// every instruction set shares.
//
// A lane type V (lanes_avx2.h, lanes_avx512.h; one header per instruction
// set) is a struct of static functions over its float register V::F:
//   kLanes                  floats per register
//   zero, set1, load, store unaligned; load(const int8_t*) widens kLanes codes
//   add, sub, mul, div, fmadd(a, b, c) = a·b + c, fnmadd(a, b, c) = c - a·b
//   min, max                the second operand when either is NaN
//   floor, pow2(n) = 2^n for whole n
//   reduce_add              the lanes' sum, in an order of the type's own
//   butterflies             the Hadamard stages of half-width < kLanes
// and, where a kernel needs them, reduce_max and sum_lanes (kLanes registers
// to one of their sums). A template that uses an operation a type lacks
// simply does not instantiate for it.
//
// Linkage. Each instruction set's kernels are compiled in their own unit
// with that set's flags. An inline function or template instance with
// external linkage could be emitted by several such units, and the linker
// would keep any one copy, maybe one that runs instructions the processor
// lacks. So the lane types and every template in these headers live in an
// anonymous namespace: each unit keeps its own copies. The headers include
// no intrinsics themselves; a unit includes its lane type, then the
// templates, and exports plain functions (declared in the *_kernels.h and
// vec.h headers) that the dispatch chooses at run time.
#pragma once

namespace pinnet::core::simd {
namespace {

// exp over V's lanes: x = n·ln2 + r with |r| <= ln2/2, a degree-6 polynomial
// for exp(r), and 2^n built in the exponent bits. Within 2 ulp of expf over
// the finite range; NaN propagates (the clamps return x when it is NaN).
// Every lane type runs the same operations, so lanes agree across widths.
template <class V>
inline typename V::F exp_lanes(typename V::F x) {
  x = V::min(V::set1(88.3762626647949f), x);
  x = V::max(V::set1(-87.3365447505531f), x);
  typename V::F fx = V::floor(V::fmadd(x, V::set1(1.44269504088896341f), V::set1(0.5f)));
  typename V::F r = V::fnmadd(fx, V::set1(0.693359375f), x);
  r = V::fnmadd(fx, V::set1(-2.12194440e-4f), r);
  typename V::F p = V::set1(1.9875691500e-4f);
  p = V::fmadd(p, r, V::set1(1.3981999507e-3f));
  p = V::fmadd(p, r, V::set1(8.3334519073e-3f));
  p = V::fmadd(p, r, V::set1(4.1665795894e-2f));
  p = V::fmadd(p, r, V::set1(1.6666665459e-1f));
  p = V::fmadd(p, r, V::set1(5.0000001201e-1f));
  const typename V::F y = V::add(V::fmadd(p, V::mul(r, r), r), V::set1(1.0f));
  return V::mul(y, V::pow2(fx));
}

// 1 / (1 + exp(-z)).
template <class V>
inline typename V::F sigmoid_lanes(typename V::F z) {
  const typename V::F one = V::set1(1.0f);
  return V::div(one, V::add(one, exp_lanes<V>(V::sub(V::zero(), z))));
}

}  // namespace
}  // namespace pinnet::core::simd
