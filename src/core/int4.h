// Int4Linear: the 4-bit integer linear layer of generation 1. The float
// matrix is in_features rows by out_features columns (row i multiplies input
// element i), quantised to two's-complement nibbles with one float scale per
// group of input rows and output column. Packed byte k·out_features + o holds
// rows 2k (low nibble) and 2k + 1 (high nibble) of column o, so the product
// streams the bytes once in order and updates 8 output columns per vector.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/cpu.h"
#include "core/result.h"

namespace pinnet::core {

// Input rows grouped by min(in_features, 32); one scale per group and output column.
struct Int4Linear {
  uint64_t in_features = 0, out_features = 0;
  uint64_t groups = 0;       // row groups G
  uint64_t group_rows = 0;   // g = min(in_features, 32)
  std::vector<uint8_t> packed;  // G·g/2·out_features bytes (low nibble row 2k, high nibble row 2k+1)
  std::vector<float> scales;    // G·out_features, group-major
};

// Errors (internal errors the caller reports): weights length != in·out, in_features 0.
Result<Int4Linear, std::string> quantize_int4(std::span<const float> weights, uint64_t in_features, uint64_t out_features);

// A layer from a file's packed bytes and scales (groups = scales.size() / out_features, nothing
// checked against in_features, as the file format allows); errors when the packed bytes are
// shorter than the product will read, or scales are not a multiple of out_features.
//
// The product reads input rows [0, min(in_features, groups·group_rows)), that is
// ceil(rows / 2)·out_features packed bytes; rows past in_features multiply an input of zero
// and are not read. An odd row count leaves the high nibble of the last pair unused.
Result<Int4Linear, std::string> int4_from_packed(std::vector<uint8_t> packed, std::vector<float> scales, uint64_t in_features, uint64_t out_features);

// y[o] = Σ_i W[i][o]·x[i]; x holds in_features floats, y out_features. Throws
// std::invalid_argument on length mismatches, and (the struct being open to editing) when the
// layer's buffers are shorter than the product reads or group_rows is not min(in_features, 32).
void int4_matvec(const Int4Linear& layer, std::span<const float> x, std::span<float> y);

// n stacked inputs (n x in_features) -> n x out_features; row r equals int4_matvec of row r
// (bit for bit on the same instruction set). The packed bytes are streamed once per tile of
// input rows. Runs on the calling thread: splitting the columns over the worker pool was
// measured no faster at 2 threads on the shared 2-core machine.
void int4_matmul_rows(const Int4Linear& layer, std::span<const float> x, size_t n, std::span<float> y);

// The same on an explicit instruction set (must be supported), for tests and benchmarks.
void int4_matvec_with(Isa isa, const Int4Linear& layer, std::span<const float> x, std::span<float> y);
void int4_matmul_rows_with(Isa isa, const Int4Linear& layer, std::span<const float> x, size_t n, std::span<float> y);

}  // namespace pinnet::core
