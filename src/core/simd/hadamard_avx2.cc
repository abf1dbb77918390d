// AVX2 build of the normalised Walsh-Hadamard transform. Compiled with
// -mavx2 -mfma; includes nothing but its declaration header, the lane type
// and the shared template (see lanes.h for why).
#include "core/simd/hadamard_kernels.h"
#include "core/simd/lanes_avx2.h"
#include "core/simd/hadamard_lanes.h"

namespace pinnet::core::hadamard_kernels {

void fwht_avx2(float* x, size_t n, float scale) { simd::fwht_lanes<simd::Avx2>(x, n, scale); }

}  // namespace pinnet::core::hadamard_kernels
