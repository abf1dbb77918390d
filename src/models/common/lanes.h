// The lane stream: n residual vectors per position instead of one. Before a
// block an input-dependent gate mixes the lanes down to the block's input;
// after it a second gate spreads the block's contribution back over the
// lanes and a near doubly-stochastic matrix mixes the lanes themselves.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pinnet::models {

// One block's lane gains and biases (n lanes).
struct LaneGains {
  float a_pre = 0, a_post = 0, a_res = 0;
  const float* b_pre = nullptr;   // n
  const float* b_post = nullptr;  // n
  const float* b_res = nullptr;   // n·n, row-major
};

// Pre-mix of block `layer` at one position: gates[i] = sigmoid(p[i]·a_pre +
// b_pre[i] ± 4), + for lane layer mod n; then x[j] = Σ_i gates[i]·stream[i·d + j],
// lanes in order. p: the n phi_pre logits; gates may be p.
void lane_pre_mix(const LaneGains& w, uint64_t layer, size_t n, size_t d, const float* p,
                  const float* stream, float* gates, float* x);

// Post-mix of block `layer` at one position: q (n) and m (n·n, turned into
// the Sinkhorn matrix in place) are the phi_post / phi_res logits of the
// lanes as the pre-mix read them; stream <- M·stream + h ⊗ delta with
// h[i] = 2·sigmoid(q[i]·a_post + b_post[i] + (0 for lane layer mod n, else -4)).
// old: n·d floats of scratch past kMaxFusedLanes lanes (may be null up to it).
void lane_post_mix(const LaneGains& w, uint64_t layer, size_t n, size_t d, const float* q,
                   float* m, const float* delta, float* stream, float* old);

// Whether lane_post_mix needs its n·d floats of scratch.
bool lane_post_mix_needs_copy(size_t n);

// y[j] = (stream[j] + Σ_{i ≥ 1} stream[i·d + j]) / n.
void lane_mean(const float* stream, size_t n, size_t d, float* y);

}  // namespace pinnet::models
