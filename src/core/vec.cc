#include "core/vec.h"

#include <algorithm>
#include <cmath>

#include "core/cpu.h"
#include "core/hadamard.h"  // before the per-build namespace below

namespace pinnet::core {

namespace portable {
#include "core/simd/vec_impl.h"
}  // namespace portable

const VecKernels& vec_kernels_portable() {
  static const VecKernels k{portable::dot, portable::axpy, portable::two_factor, portable::attend_head,
                            portable::attend_group, portable::exp_shifted, portable::mul_sigmoid,
                            portable::gated_silu, portable::pad_and_rotate,
                            portable::attend_rows, portable::dense_rows,
                            portable::lane_combine, portable::lane_mix, portable::attend_pair, 8};
  return k;
}

namespace {
const VecKernels& chosen() {
#ifdef PINNET_X86_KERNELS
  static const VecKernels& k = core::best_isa() >= core::Isa::Avx512 ? vec_kernels_avx512()
                               : core::best_isa() >= core::Isa::Avx2  ? vec_kernels_avx2()
                                                                      : vec_kernels_portable();
#else
  static const VecKernels& k = vec_kernels_portable();
#endif
  return k;
}
}  // namespace

float dot(const float* a, const float* b, size_t n) { return chosen().dot(a, b, n); }
void axpy(float s, const float* x, float* y, size_t n) { chosen().axpy(s, x, y, n); }
void vec_two_factor(const float* v, const float* a, const float* b, size_t r, size_t c, float* mid,
                    float* out) {
  chosen().two_factor(v, a, b, r, c, mid, out);
}
void vec_attend_head(const KvView& kv, const float* q, size_t g, uint64_t start, uint64_t p,
                     float* scores, float* out) {
  chosen().attend_head(kv, q, g, start, p, scores, out);
}

void vec_attend_group(const KvView& kv, const float* q, size_t g, size_t heads, uint64_t start,
                      uint64_t p, float* scores, float* out) {
  chosen().attend_group(kv, q, g, heads, start, p, scores, out);
}

float vec_exp_shifted(float* x, size_t n, float m) { return chosen().exp_shifted(x, n, m); }
void vec_mul_sigmoid(float* o, const float* g, size_t n) { chosen().mul_sigmoid(o, g, n); }
void vec_pad_and_rotate(const float* src, size_t cols, size_t group, float* dst, size_t padded) {
  chosen().pad_and_rotate(src, cols, group, dst, padded);
}
void vec_attend_rows(const float* kt, size_t kb, const float* values, size_t kvh, size_t g,
                     size_t hd, size_t vd, const float* q, size_t rows, uint64_t start, uint64_t p,
                     float* scores, float* out) {
  chosen().attend_rows(kt, kb, values, kvh, g, hd, vd, q, rows, start, p, scores, out);
}
size_t vec_key_block() { return chosen().key_block; }
void vec_attend_pair(const float* kt, size_t kb, const float* values, size_t kvh, size_t g,
                     size_t hd, size_t vd, const float* qa, const float* qb, size_t rows,
                     uint64_t start_a, uint64_t start_b, uint64_t p, float* scores, float* out_a,
                     float* out_b) {
  chosen().attend_pair(kt, kb, values, kvh, g, hd, vd, qa, qb, rows, start_a, start_b, p, scores,
                       out_a, out_b);
}
void vec_dense_rows(const float* w, size_t rows, size_t cols, const float* x, size_t stride,
                    size_t m, float* y) {
  chosen().dense_rows(w, rows, cols, x, stride, m, y);
}
void vec_lane_combine(const float* g, const float* stream, size_t n, size_t d, float* x) {
  chosen().lane_combine(g, stream, n, d, x);
}
void vec_lane_mix(const float* m, const float* h, const float* delta, size_t n, size_t d,
                  float* stream) {
  chosen().lane_mix(m, h, delta, n, d, stream);
}
void vec_gated_silu(float* v, const float* scale, const float* mix, const float* bias, size_t n) {
  chosen().gated_silu(v, scale, mix, bias, n);
}

}  // namespace pinnet::core
