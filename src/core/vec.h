// The dense vector loops the model generations share (attention over a
// key/value store, the feed-forward's two-factor transforms, lane mixing),
// chosen once per process from the cached processor check. The portable
// bodies are simd/vec_impl.h; the vector builds are simd/vec_<isa>.cc.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/kv_view.h"

namespace pinnet::core {

// Σ a[i]·b[i] with several independent partial sums.
float dot(const float* a, const float* b, size_t n);
// y[i] += s·x[i].
void axpy(float s, const float* x, float* y, size_t n);
// y (m x rows) = x (m vectors of cols floats at stride `stride`) times the
// dense row-major matrix w (rows x cols) transposed.
void vec_dense_rows(const float* w, size_t rows, size_t cols, const float* x, size_t stride,
                    size_t m, float* y);
// See lane_combine and lane_mix in simd/vec_impl.h; lane_mix needs n <= kMaxFusedLanes.
inline constexpr size_t kMaxFusedLanes = 8;
void vec_lane_combine(const float* g, const float* stream, size_t n, size_t d, float* x);
void vec_lane_mix(const float* m, const float* h, const float* delta, size_t n, size_t d,
                  float* stream);
void vec_two_factor(const float* v, const float* a, const float* b, size_t r, size_t c, float* mid,
                    float* out);
void vec_attend_head(const KvView& kv, const float* q, size_t g, uint64_t start, uint64_t p,
                     float* scores, float* out);
float vec_exp_shifted(float* x, size_t n, float m);
void vec_mul_sigmoid(float* o, const float* g, size_t n);
void vec_gated_silu(float* v, const float* scale, const float* mix, const float* bias, size_t n);
void vec_attend_group(const KvView& kv, const float* q, size_t g, size_t heads, uint64_t start,
                      uint64_t p, float* scores, float* out);
// See attend_rows in simd/vec_impl.h: causal prefill attention of any number of
// query rows sharing one key range, over keys transposed in blocks of kb
// positions (kt[(t / kb)·hd·kb + e·kb + t % kb] is dimension e of key t).
// scores: rows·(count + 31) floats of scratch, count = p - start + 1.
void vec_attend_rows(const float* kt, size_t kb, const float* values, size_t kvh, size_t g,
                     size_t hd, size_t vd, const float* q, size_t rows, uint64_t start, uint64_t p,
                     float* scores, float* out);
// The key block width the chosen attend_rows reads fastest.
size_t vec_key_block();
// attend_rows for two consecutive positions p and p + 1 (rows query rows
// each, at qa and qb, keys start_a .. p and start_b .. p + 1 with start_a <=
// start_b <= start_a + 1), outputs at out_a and out_b. Equal to two
// attend_rows calls; the wide build reads each key once for both.
// scores: 2·rows·(count_a + 32) floats.
void vec_attend_pair(const float* kt, size_t kb, const float* values, size_t kvh, size_t g,
                     size_t hd, size_t vd, const float* qa, const float* qb, size_t rows,
                     uint64_t start_a, uint64_t start_b, uint64_t p, float* scores, float* out_a,
                     float* out_b);
// dst (padded floats) = src (cols floats) zero-padded, then the normalised
// Hadamard transform of every block of `group` floats. The same butterflies
// in the same order as core::pad_and_rotate, so the results are identical.
void vec_pad_and_rotate(const float* src, size_t cols, size_t group, float* dst, size_t padded);

// One build of the loops.
struct VecKernels {
  float (*dot)(const float*, const float*, size_t);
  void (*axpy)(float, const float*, float*, size_t);
  void (*two_factor)(const float*, const float*, const float*, size_t, size_t, float*, float*);
  void (*attend_head)(const KvView&, const float*, size_t, uint64_t, uint64_t, float*, float*);
  void (*attend_group)(const KvView&, const float*, size_t, size_t, uint64_t, uint64_t, float*,
                       float*);
  float (*exp_shifted)(float*, size_t, float);
  void (*mul_sigmoid)(float*, const float*, size_t);
  void (*gated_silu)(float*, const float*, const float*, const float*, size_t);
  void (*pad_and_rotate)(const float*, size_t, size_t, float*, size_t);
  void (*attend_rows)(const float*, size_t, const float*, size_t, size_t, size_t, size_t,
                      const float*, size_t, uint64_t, uint64_t, float*, float*);
  void (*dense_rows)(const float*, size_t, size_t, const float*, size_t, size_t, float*);
  void (*lane_combine)(const float*, const float*, size_t, size_t, float*);
  void (*lane_mix)(const float*, const float*, const float*, size_t, size_t, float*);
  void (*attend_pair)(const float*, size_t, const float*, size_t, size_t, size_t, size_t,
                      const float*, const float*, size_t, uint64_t, uint64_t, uint64_t, float*,
                      float*, float*);
  size_t key_block;  // attend_rows' fastest key block width
};
const VecKernels& vec_kernels_portable();
const VecKernels& vec_kernels_avx2();
// The AVX2 kernels with a 16-lane prefill attention (needs AVX-512F/VL).
const VecKernels& vec_kernels_avx512();

}  // namespace pinnet::core

// The model generations name these models::…; the names stay valid there.
namespace pinnet::models {
using core::axpy;
using core::dot;
using core::kMaxFusedLanes;
using core::vec_attend_group;
using core::vec_attend_head;
using core::vec_attend_pair;
using core::vec_attend_rows;
using core::vec_dense_rows;
using core::vec_gated_silu;
using core::vec_key_block;
using core::vec_lane_combine;
using core::vec_lane_mix;
using core::vec_mul_sigmoid;
using core::vec_pad_and_rotate;
using core::vec_two_factor;
}  // namespace pinnet::models
