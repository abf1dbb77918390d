// The Hadamard feed-forward of a generation-3 block: diagonal scalings, a
// small mixture of learned diagonals chosen by a router, and three two-factor
// transforms with fixed permutations between them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace pinnet::gen3 {

struct FeedForwardWeights {
  std::vector<float> in_scale, gate_scale, gate_bias, mid_scale;  // >= hada_n each
  std::vector<float> out_scale;                                   // >= d_model
  std::vector<float> a1, b1, a2, b2, a3, b3;  // r x r and c x c factors
  std::vector<float> router;                  // (experts, d_model): [e][j] at e·d + j
  uint64_t experts = 0;                       // E, mixture entries
  std::vector<float> expert_scales;           // (experts, hada_n)
};

// Sizes the feed-forward is run with.
struct FeedForwardShape {
  size_t d = 0;  // d_model
  size_t n = 0;  // hada_n = r·c
  size_t r = 0, c = 0;
};

// Scratch floats one call needs.
size_t feed_forward_scratch(const FeedForwardShape& s, uint64_t experts);

// f (d floats) = FF(u) for u of d floats; permutations of hada_n indices (or
// empty to skip the gather).
void feed_forward(const FeedForwardWeights& w, const FeedForwardShape& s,
                  std::span<const uint32_t> perm_a, std::span<const uint32_t> perm_b,
                  const float* u, float* f, float* scratch);

// T(v; A, B): V (r x c, row-major) -> (Aᵀ·V)·B, skipping zero coefficients.
// mid: r·c floats of scratch; out must not alias v.
void two_factor(const float* v, const float* a, const float* b, size_t r, size_t c, float* mid,
                float* out);

}  // namespace pinnet::gen3
