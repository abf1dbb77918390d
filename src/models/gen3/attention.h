// Gated grouped-query attention of one generation-3 block: the q/k/v
// projections' short causal convolution, per-head query/key norms, rotary
// embedding, int8 rounding of the query, and the attention over a key/value
// store (the session cache, or a prefill's own arrays).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/cq.h"
#include "core/kv_view.h"
#include "core/vec.h"

namespace pinnet::gen3 {

struct AttentionWeights {
  core::CqTensor q_proj;  // (num_heads·head_dim, d_model)
  core::CqTensor k_proj;  // (num_kv_heads·head_dim, d_model)
  core::CqTensor v_proj;  // (num_kv_heads·v_head_dim, d_model)
  // Convolution taps, T x width each (tap j is row j); empty without convolution.
  std::vector<float> q_taps, k_taps, v_taps;
  std::vector<float> q_norm, k_norm;  // head_dim each
};

// Per head of width hd: x <- (1 + w)·x / sqrt(Σx²/hd + 1e-6) (division by r).
void head_norm(float* x, size_t heads, size_t hd, const float* w);


// One query head against kv head g over positions [start, p]: softmax of
// q·k/sqrt(head_dim) weighting the values. scores holds p - start + 1 floats
// of scratch; out gets v_head_dim floats.
void attend_head(const models::KvView& kv, const float* q, size_t g, uint64_t start, uint64_t p,
                 float* scores, float* out);

}  // namespace pinnet::gen3
