// Built with -mavx2 -mfma; entered only after the processor check in vec.cc.
#include "models/gen3/vec.h"

#include <algorithm>
#include <cmath>

namespace pinnet::gen3 {

namespace avx2 {
#include "models/gen3/vec_impl.h"
}  // namespace avx2

const VecKernels& vec_kernels_avx2() {
  static const VecKernels k{avx2::dot, avx2::axpy, avx2::two_factor, avx2::attend_head};
  return k;
}

}  // namespace pinnet::gen3
