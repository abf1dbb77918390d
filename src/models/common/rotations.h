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

// Whether t's products run on its int8 form: whenever it has one (the int8
// batched kernels are faster than the float ones on every width measured:
// 512 x 512 by 128 inputs, one thread, 0.23 against 0.52 ms with AVX-512 and
// 0.75 against 0.99 ms with AVX2).
bool int8_product(const core::CqTensor& t);

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

  // For a tensor with the int8 form: the m rotated vectors quantised per
  // group (CqTensor::quantize_input), m x t.padded_cols() values and m x
  // t.groups_per_row() scales; shared by every int8 tensor of the same group
  // and width, computed on first use after invalidate().
  struct Int8Inputs {
    std::span<const int8_t> q;
    std::span<const float> scales;
  };
  Int8Inputs get_int8(const core::CqTensor& t, const float* src, size_t stride, size_t m);

  // Computes the copy t's product reads (get or get_int8) if it is stale.
  void fill(const core::CqTensor& t, const float* src, size_t stride, size_t m);

 private:
  // input_order of the int8 copies (the float orders are small numbers).
  static constexpr uint32_t kInt8Order = 0xFFFFFFFF;
  struct Slot {
    uint64_t group = 0;
    uint64_t padded = 0;
    uint32_t order = 0;       // CqTensor::input_order, or kInt8Order
    std::vector<float> data;  // reordered; the int8 copies: the group scales
    std::vector<float> rotated;
    std::vector<int8_t> q;    // the int8 copies: quantised values
    bool valid = false;
  };
  static uint32_t order_of(const core::CqTensor& t);
  // The slot of t's copies with room for m vectors.
  Slot& slot(const core::CqTensor& t, size_t m);
  // Pads and rotates the m source vectors into s.rotated, then runs
  // finish(i) for each; on the worker pool when m is large.
  template <class Finish>
  void rotate(Slot& s, const core::CqTensor& t, const float* src, size_t stride, size_t m,
              Finish&& finish);
  std::vector<Slot> slots_;
};

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
