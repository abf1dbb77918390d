// The residual-mixing matrix of a lane stream: a Sinkhorn projection of its
// logits onto a near doubly-stochastic matrix, fast for the few lanes models
// use.
#pragma once

#include <cstddef>

namespace pinnet::models {

// The 20-round Sinkhorn projection of the n x n logits m (row-major, in
// place) onto a near doubly-stochastic matrix. Equal, up to rounding, to
// core::sinkhorn_project's log-domain rounds, but run on exp(m) by dividing
// rows and columns by their sums, which needs no exp or log per round. Logits
// that are not finite or spread over more than kSinkhornLinearSpread take the
// log-domain path (the linear one could underflow).
inline constexpr float kSinkhornLinearSpread = 40.0f;
void lane_sinkhorn(float* m, size_t n);

}  // namespace pinnet::models
