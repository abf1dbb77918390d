// Rotated copies of one batch of input vectors, one copy per quantisation
// group length and kernel input order. Every codebook-quantised tensor
// multiplies inputs in its own Hadamard-rotated domain, reordered within each
// 64-float unit for its kernel; tensors that read the same vector with the
// same group and order (q, k, v and gate all read xn) share one copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <vector>

#include "core/cq.h"

namespace pinnet::models {

class Rotations {
 public:
  // Reserves room for `m` vectors for every tensor that will read this input,
  // so that get() allocates nothing afterwards.
  void reserve(const core::CqTensor& t, size_t m);

  // Marks every copy stale; call whenever the source vectors change.
  void invalidate() {
    for (Slot& s : slots_) s.valid = false;
  }

  // m x t.padded_cols() rotated and reordered floats of the m source vectors
  // (each of t.cols() floats at stride `stride`) for t's kernel on
  // core::best_isa(), computed on first use after invalidate(). Per-vector
  // work runs on the worker pool when m is large.
  std::span<const float> get(const core::CqTensor& t, const float* src, size_t stride, size_t m);

 private:
  struct Slot {
    uint64_t group = 0;
    uint64_t padded = 0;
    uint32_t order = 0;       // CqTensor::input_order
    std::vector<float> data;  // reordered
    std::vector<float> rotated;
    bool valid = false;
  };
  std::vector<Slot> slots_;
};

// Tensors at least this tall multiply a single vector with the matrix-vector
// kernel (which rotates its own input) instead of the shared rotation.
inline constexpr uint64_t kMatvecRows = 64;

// y (m x t.rows(), vector-major) = t · x for the m vectors behind `rot`.
void product(const core::CqTensor& t, Rotations& rot, const float* src, size_t stride, size_t m,
             float* y);

// One tensor of a group of products that read the same input.
struct ProductJob {
  const core::CqTensor* t;
  float* y;
};

// Every job's product on the same m input vectors. A single vector's
// products run side by side on the worker pool (each one alone is below the
// size at which a product splits itself); list the larger ones first.
void products(Rotations& rot, const float* src, size_t stride, size_t m,
              std::initializer_list<ProductJob> jobs);

}  // namespace pinnet::models
