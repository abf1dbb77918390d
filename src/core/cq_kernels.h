// Internal interface between CqTensor and its per-instruction-set kernels.
//
// The vector kernels live in translation units compiled with processor
// flags (cq_avx2.cc, cq_avx512.cc). To keep those flags from leaking into
// code the linker may share with the rest of the program, this header holds
// plain data and function declarations only, and those units include nothing
// but this header and the intrinsics headers.
//
// Input order. The vector kernels decode one 64-element "unit" of a row at a
// time (8·bits bytes) straight into registers, in the order that shifting
// whole 32-bit lanes produces rather than element order. Instead of
// reordering the decoded weights, the caller reorders the rotated input once
// per product: position p of each 64-float unit of the reordered input holds
// element unit_element(isa, bits, p) of that unit. A dot product does not
// care about the order of its terms, so the result is the same sum.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pinnet::core::cq_kernels {

inline constexpr uint64_t kUnit = 64;  // elements per decoded unit

struct View {
  const uint8_t* codes;   // rows x row_bytes, readable 64 bytes past the end
  const float* scales;    // rows x groups_per_row
  const float* table;     // 16 floats: table[i] = level(i & (2^bits - 1))
  uint64_t rows;
  uint64_t padded_cols;
  uint64_t group;         // a multiple of kUnit on the vector paths
  uint64_t groups_per_row;
  uint64_t row_bytes;
  unsigned bits;          // 2, 3 or 4 bits per stored code
};

// y[r] = row r · x for r in [r0, r1); xp is the reordered rotated input.
void matvec_avx2(const View& t, const float* xp, uint64_t r0, uint64_t r1, float* y);
void matvec_avx512(const View& t, const float* xp, uint64_t r0, uint64_t r1, float* y);

// y[v·rows + r] = row r · input v for r in [r0, r1), v in [v0, v1); input v
// is the reordered rotated vector at xp + v·padded_cols. `wide` (the whole
// product has at least kWideBatch inputs) lets the AVX-512 kernel use its
// register-blocked path; it must be the same for every part of a split
// product so that the parts sum in the same order.
inline constexpr uint64_t kWideBatch = 32;
void matmul_avx2(const View& t, const float* xp, uint64_t r0, uint64_t r1, uint64_t v0,
                 uint64_t v1, float* y);
void matmul_avx512(const View& t, const float* xp, uint64_t r0, uint64_t r1, uint64_t v0,
                   uint64_t v1, bool wide, float* y);

// dst[u·64 + p] = src[u·64 + element[p]] for every unit of n floats (n a
// multiple of kUnit); dst may be src itself.
void reorder_avx512(const uint8_t* element, const float* src, uint64_t n, float* dst);

}  // namespace pinnet::core::cq_kernels
