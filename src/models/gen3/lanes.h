// The lane stream: mhc_lanes residual vectors per position instead of one.
// Before a block an input-dependent gate mixes the lanes down to the block's
// input; after it a second gate spreads the block's contribution back over
// the lanes and a near doubly-stochastic matrix mixes the lanes themselves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/cq.h"

namespace pinnet::gen3 {

// One block's slice of the lane-mixing parameters (n = mhc_lanes, d = d_model).
struct LaneWeights {
  float a_pre = 0, a_post = 0, a_res = 0;
  std::vector<float> b_pre, b_post;  // n each
  std::vector<float> b_res;          // n·n, row-major
  core::CqTensor phi_pre;            // (n, n·d)
  core::CqTensor phi_post;           // (n, n·d)
  core::CqTensor phi_res;            // (n·n, n·d)
};

// Pre-mix of block `layer` at one position: gates from the phi_pre logits p
// (n floats), then x[j] = Σ_i gate[i]·stream[i·d + j].
void lane_pre_mix(const LaneWeights& w, uint64_t layer, size_t n, size_t d, const float* p,
                  const float* stream, float* gates, float* x);

// Post-mix of block `layer` at one position: q (n) and m (n·n, turned into the
// Sinkhorn matrix in place) are the phi_post / phi_res logits of the stream as
// the pre-mix read it; stream <- M·stream + h ⊗ delta. old: n·d scratch
// (used only for n > 8; may be null otherwise).
void lane_post_mix(const LaneWeights& w, uint64_t layer, size_t n, size_t d, const float* q,
                   float* m, const float* delta, float* stream, float* old);

// y[j] = Σ_i stream[i·d + j] / n.
void lane_mean(const float* stream, size_t n, size_t d, float* y);

}  // namespace pinnet::gen3
