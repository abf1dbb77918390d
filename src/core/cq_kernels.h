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

// The int8 form of a tensor (CqTensor::prepare_int8). Every row holds one
// 4-bit code per weight whatever the stored bits: per 64-element unit 32
// bytes, byte i holding element i in its low nibble and element 32 + i in its
// high one, so a mask and a shift give 32 codes each in element order and a
// byte shuffle turns them into int8 levels.
//
// The result, the same on every path to the last bit (integer sums are
// exact, and the float steps are taken in one order): for row r and an input
// of int8 values q with one scale s_g per group g, lane k = 0..7 holding the
// elements e with (e mod 32) / 4 = k, and two halves h of float lanes, where
// 64-element groups alternate (group g goes to half g mod 2) and groups of
// any other length all go to half 0,
//   S[g][k]  = Σ level(code e)·q[e] over the elements e of group g in lane k
//              (exact in 32 bits: at most kMaxInt8Group·127² in magnitude);
//   A[h][k]  = fma(float(S[g][k]), scale[r][g]·s_g, A[h][k]) over the groups
//              g of half h ascending, from 0;
//   B[k]     = A[0][k] + A[1][k];
//   y[r]     = (((B0 + B4) + (B2 + B6)) + ((B1 + B5) + (B3 + B7)))·level_scale.
// The halves let a 512-bit kernel fold two 64-element groups with one
// multiply-add. A half that takes no group stays +0 (no step ever makes a
// lane -0), so adding it changes nothing.
struct Int8View {
  const uint8_t* codes;   // rows x row_bytes nibbles, as above
  const float* scales;    // rows x groups_per_row
  const int8_t* levels;   // 16: level of code i & (2^bits - 1), in [-127, 127]
  uint64_t rows;
  uint64_t padded_cols;
  uint64_t group;         // a multiple of kUnit on the vector paths
  uint64_t groups_per_row;
  uint64_t row_bytes;     // ceil(padded_cols / 64)·32
  float level_scale;      // float level = int8 level · level_scale
};

// y[r] for r in [r0, r1) of one input: xq padded_cols int8 values, xs
// groups_per_row scales.
void matvec_int8_avx2(const Int8View& t, const int8_t* xq, const float* xs, uint64_t r0,
                      uint64_t r1, float* y);
// y[v·rows + r] for r in [r0, r1), v in [v0, v1); input v at xq + v·padded_cols
// with its scales at xs + v·groups_per_row.
void matmul_int8_avx2(const Int8View& t, const int8_t* xq, const float* xs, uint64_t r0,
                      uint64_t r1, uint64_t v0, uint64_t v1, float* y);

// The AVX-512 VNNI kernels read m int8 inputs prepared once per product
// (prepare_int8_avx512): the values of each pair of units reordered to
// elements 0..31 of both units, then 32..63 of both (a last unpaired unit
// stays as it is), and per group and lane k the offset share -128·Σ q over
// the group's elements in lane k, where the kernels start the sums of levels
// they multiply with +128. Groups are 64 or whole unit pairs (powers of two).
struct Int8Prepared {
  const int8_t* q;       // m x padded_cols, reordered
  const int32_t* corr;   // m x groups_per_row x 8
  const float* scales;   // m x groups_per_row: the inputs' group scales
};
void prepare_int8_avx512(const Int8View& t, const int8_t* xq, uint64_t m, int8_t* q, int32_t* corr);
void matvec_int8_avx512(const Int8View& t, const Int8Prepared& x, uint64_t r0, uint64_t r1,
                        float* y);
void matmul_int8_avx512(const Int8View& t, const Int8Prepared& x, uint64_t r0, uint64_t r1,
                        uint64_t v0, uint64_t v1, float* y);

// CqTensor::quantize_input for groups a multiple of 8 long: per group of n
// floats, scale = max |x| / 127 and q = round-to-even(x · (127 / max |x|))
// clamped to [-127, 127] (NaN to -127), the portable path's bits.
void quantize_int8_avx2(const float* x, uint64_t n, uint64_t group, int8_t* q, float* scales);

}  // namespace pinnet::core::cq_kernels
