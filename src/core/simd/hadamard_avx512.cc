// AVX-512 build of the normalised Walsh-Hadamard transform. Compiled with
// -mavx512f; includes nothing but its declaration header, the lane type and
// the shared template (see lanes.h for why).
#include "core/simd/hadamard_kernels.h"
#include "core/simd/lanes_avx512.h"
#include "core/simd/hadamard_lanes.h"

namespace pinnet::core::hadamard_kernels {

void fwht_avx512(float* x, size_t n, float scale) { simd::fwht_lanes<simd::Avx512>(x, n, scale); }

}  // namespace pinnet::core::hadamard_kernels
