// Internal interface between the Hadamard transform and its AVX-512 build
// (hadamard_avx512.cc, the only unit compiled with processor flags, entered
// only after the run-time check). Declarations only, as for cq_kernels.h.
#pragma once

#include <cstddef>

namespace pinnet::core::hadamard_kernels {

// x <- (H_n x)·scale for n a power of two >= 16, scale = 1/sqrt(n) as the
// caller computes it; the same butterflies as the scalar stages in the same
// order, so the same floats.
void fwht_avx512(float* x, size_t n, float scale);

}  // namespace pinnet::core::hadamard_kernels
