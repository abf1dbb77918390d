// Internal interface between CqTensor and its per-instruction-set kernels.
//
// The vector kernels live in translation units compiled with processor
// flags (simd/cq_float_avx2.cc, simd/cq_float_avx512.cc). To keep those flags from leaking into
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
  const uint16_t* scales; // rows x groups_per_row binary16, widened as read
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

// The int8 form of a tensor (CqTensor::set_compute). Rows go in tiles of
// kInt8TileRows (the last one padded with code 0 and scale 0), and every
// weight is one 4-bit code whatever the stored bits. Per tile and "quad"
// (4 consecutive elements) 32 bytes: byte i holds in its low nibble the code
// of row i / 4 of the tile and element i mod 4 of the quad, in its high
// nibble the same for row 8 + i / 4. A byte permute then gives, per 32-bit
// lane, one row's four codes as levels: a dot product of the lane with the
// quad's four inputs is that row's share, and a tile's 16 rows fill one
// 512-bit register (8 rows, from either nibble, one 256-bit register).
// The row scales are laid out to match: per tile and group, 16 binary16
// values (every stored scale is one, so widening them gives the float scales
// exactly).
//
// The result, the same on every path to the last bit (integer sums are
// exact, and the float steps are taken in one order): for row r and an input
// of int8 values q with one scale s_g per group g,
//   S[g] = Σ level(code e)·q[e] over the elements e of group g
//          (exact in 32 bits: at most kMaxInt8Group·127² in magnitude);
//   A    = fma(float(S[g]), scale[r][g]·s_g, A) over g ascending, from 0;
//   y[r] = A·level_scale.
inline constexpr uint64_t kInt8TileRows = 16;
inline constexpr uint64_t kInt8QuadBytes = 32;
struct Int8View {
  const uint8_t* codes;   // tiles x padded_cols / 4 quads x 32 bytes, as above
  const uint16_t* scales; // tiles x groups_per_row x 16 binary16
  const int8_t* levels;   // 16: level of code i & (2^bits - 1), in [-127, 127]
  uint64_t rows;
  uint64_t padded_cols;
  uint64_t group;
  uint64_t groups_per_row;
  float level_scale;      // float level = int8 level · level_scale
};

// y[v·rows + r] for the rows of tiles [t0, t1) (rows past the end are not
// written) and inputs v in [v0, v1); input v is xq + v·padded_cols with its
// scales at xs + v·groups_per_row.
void matmul_int8_avx2(const Int8View& t, const int8_t* xq, const float* xs, uint64_t t0,
                      uint64_t t1, uint64_t v0, uint64_t v1, float* y);
// The same with AVX-512 VNNI (VPDPBUSD) and VBMI (VPERMB). VPDPBUSD wants
// one unsigned factor, so the levels go in with +128 and each group's sum
// starts from -128·Σ q over the group, which prepare_int8_avx512 writes per
// input and group into `offsets` (m x groups_per_row).
void prepare_int8_avx512(const Int8View& t, const int8_t* xq, uint64_t m, int32_t* offsets);
void matmul_int8_avx512(const Int8View& t, const int8_t* xq, const float* xs,
                        const int32_t* offsets, uint64_t t0, uint64_t t1, uint64_t v0,
                        uint64_t v1, float* y);

// CqTensor::quantize_input for groups a multiple of 8 long: per group of n
// floats, scale = max |x| / 127 and q = round-to-even(x · (127 / max |x|))
// clamped to [-127, 127] (NaN to -127), the portable path's bits.
void quantize_int8_avx2(const float* x, uint64_t n, uint64_t group, int8_t* q, float* scales);

}  // namespace pinnet::core::cq_kernels
