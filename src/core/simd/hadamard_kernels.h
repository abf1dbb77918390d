// Internal interface between the Hadamard transform and its vector builds
// (simd/hadamard_<isa>.cc, compiled with processor flags and entered only
// after the run-time check). Declarations only, as for cq_kernels.h.
#pragma once

#include <cstddef>

namespace pinnet::core::hadamard_kernels {

// x <- (H_n x)·scale for n a power of two of at least one register's floats
// (8 for AVX2, 16 for AVX-512), scale = 1/sqrt(n) as the caller computes
// it; the same butterflies as the scalar stages in the same order, so the
// same floats.
void fwht_avx2(float* x, size_t n, float scale);
void fwht_avx512(float* x, size_t n, float scale);

}  // namespace pinnet::core::hadamard_kernels
