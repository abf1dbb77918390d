// Dense single-precision primitives the models are written in: norms,
// softmax, gates and activations, the Sinkhorn projection of a lane-mixing
// matrix, and rotary position embedding. Pure functions of their arguments,
// safe on any thread. Nothing here allocates except build_rope_tables and
// rope_frequencies.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace pinnet::core {

// Norm epsilons (inside the square root).
inline constexpr float kRmsNormEps = 1e-6f;
inline constexpr float kL2NormEps = 1e-12f;

// x[i] <- x[i] * (1 + weight[i]) / r for i < min(len(weight), len(x)), with
// r = sqrt(sum_j x[j]^2 / len(x) + 1e-6) over the whole of x. Stored norm
// weights are offsets from one, so a zero weight is the identity scaling.
// Elements past the end of a shorter weight are left untouched.
void rms_norm_offset(std::span<float> x, std::span<const float> weight);

// 1 / r of x, r as above (1/sqrt(eps) for an empty x).
float inv_rms(std::span<const float> x);

// dst[i] = src[i] / r, r as above. dst may be src itself (in place).
// Throws std::out_of_range when dst is shorter than src.
void rms_norm_plain(std::span<const float> src, std::span<float> dst);

// y <- y / sqrt(sum_j y[j]^2 + 1e-12); a zero vector stays zero.
void l2_normalize(std::span<float> y);

inline float sigmoid(float z) { return 1.0f / (1.0f + std::exp(-z)); }
inline float silu(float z) { return z * sigmoid(z); }
inline float gelu_tanh(float z) {
  return 0.5f * z * (1.0f + std::tanh(0.7978846f * (z + 0.044715f * z * z * z)));
}
inline float relu(float z) { return z > 0.0f ? z : 0.0f; }

// The same functions applied in place over a vector.
void sigmoid_inplace(std::span<float> x);
void silu_inplace(std::span<float> x);
void gelu_tanh_inplace(std::span<float> x);
void relu_inplace(std::span<float> x);

// In-place softmax. The maximum ignores NaN scores; when it is -inf (every
// score masked) or the exponentials sum to zero, every entry becomes 1/n.
// NaN and +inf otherwise propagate.
void masked_softmax(std::span<float> scores);

// Log-domain Sinkhorn normalisation, in place, of the n x n row-major logits
// in m[0, n*n): exactly 20 row-then-column passes, then exp. Rows and columns
// of the result each sum to about one. Allocates nothing.
// Throws std::out_of_range when m holds fewer than n*n floats.
inline constexpr int kSinkhornIterations = 20;
void sinkhorn_project(std::span<float> m, size_t n);

// Rotary tables: cos and sin are (positions, head_dim / 2), row p for
// position p.
struct RopeTables {
  size_t positions = 0;
  size_t head_dim = 0;
  std::vector<float> cos;
  std::vector<float> sin;

  size_t half() const { return head_dim / 2; }
};

// angle(p, j) = p / theta^(2j / head_dim), all in single precision.
RopeTables build_rope_tables(size_t positions, size_t head_dim, float theta);

// Rotate-half RoPE in place over data laid out (n_positions, n_heads,
// head_dim); position i uses table row start_pos + i. For k < head_dim / 2:
//   x[k]        <- x[k] cos - x[k + half] sin
//   x[k + half] <- x[k] sin + x[k + half] cos
// Throws std::out_of_range for a position at or beyond the table, a head
// wider than the table's, or data shorter than n_positions*n_heads*head_dim.
void rope_rotate(const RopeTables& tables, std::span<float> data, size_t n_positions,
                 size_t n_heads, size_t head_dim, size_t start_pos);

// The same rotation without tables, for models whose context is too long to
// tabulate: the same single-precision values as build_rope_tables.
// Frequencies f_i = theta^((2i)/head_dim) for i < head_dim/2 (single precision).
std::vector<float> rope_frequencies(size_t head_dim, float theta);
// cos/sin of angle p / f_i, head_dim/2 each.
void rope_angles(std::span<const float> freq, uint64_t p, float* cos, float* sin);
// Rotate-half form on every head of x (heads x hd).
void rope_apply(float* x, size_t heads, size_t hd, const float* cos, const float* sin);

}  // namespace pinnet::core
