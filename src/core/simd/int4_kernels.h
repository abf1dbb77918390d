// Internal interface between the 4-bit linear layer (int4.cc) and its
// vector kernels (int4_avx2.cc). As with cq_kernels.h, the kernel unit is
// compiled with processor flags, so this header holds plain data and
// declarations only and that unit includes nothing but this header and the
// intrinsics headers.
#pragma once

#include <cstdint>

namespace pinnet::core::int4_kernels {

// A layer whose lengths the caller has checked: `packed` holds
// ceil(rows / 2)·out bytes and `scales` ceil(rows / group_rows)·out floats.
struct View {
  const uint8_t* packed;
  const float* scales;
  uint64_t out;         // output columns
  uint64_t rows;        // input rows read: min(in_features, groups·group_rows), > 0
  uint64_t group_rows;  // > 0; odd only when rows <= group_rows (a single group)
};

// y[r·y_stride + o] = Σ_i W[i][o]·x[r·x_stride + i] for rows r in [0, n) and
// columns o in [c0, c1); c0 is a multiple of 8. Every (row, column) result is
// summed in the same order however rows and columns are tiled, so a row of a
// batch equals the single-row product bit for bit, and so does any split of
// the columns.
void matmul_avx2(const View& v, const float* x, uint64_t x_stride, uint64_t n, uint64_t c0,
                 uint64_t c1, float* y, uint64_t y_stride);

}  // namespace pinnet::core::int4_kernels
