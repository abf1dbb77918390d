// CqTensor: a codebook-quantised weight matrix. Each weight is a 2-, 3- or
// 4-bit code into a small table of float levels (or a ternary code), with one
// half-precision scale per group of `group` columns; each group is stored in
// the Hadamard-rotated domain, so products rotate the input instead of the
// weights (the normalised transform is symmetric and its own inverse).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/cpu.h"
#include "core/result.h"

namespace pinnet::core {

class WorkerPool;
namespace cq_kernels {
struct View;
struct Int8View;
}

struct CqError {
  enum class Kind { UnsupportedBits, BadGroup, BadCodebookLen, ShortBlob, EmptyShape } kind;
  uint64_t value = 0;  // UnsupportedBits, BadGroup, BadCodebookLen
  uint64_t need = 0;   // ShortBlob
  uint64_t got = 0;    // ShortBlob

  // "BadGroup(24)", "UnsupportedBits(6)", "ShortBlob { need: 10, got: 4 }",
  // "EmptyShape", "BadCodebookLen(27)".
  std::string to_string() const;
};

// Where the blob given to CqTensor::create lives. By default the codes are copied.
// With `borrow` the tensor reads its codes from the blob in place and holds
// `keeper` as long as it (or a copy of it) lives; `keeper` may be null when
// the caller guarantees that the blob outlives the tensor and its copies.
// A blob with fewer than 64 bytes after the codes (the reach of the
// kernels' wide loads) is copied all the same.
struct CqBlobSource {
  bool borrow = false;
  std::shared_ptr<const void> keeper;
};

class CqTensor {
 public:
  // Bits code 5: ternary codes stored in 2 bits.
  static constexpr uint8_t kTernary = 5;
  // Floats in a container's shared codebook: 4 (2-bit) + 8 (3-bit) + 16 (4-bit).
  static constexpr size_t kHeaderCodebookLen = 28;
  // Largest group the portable batched product decodes into its scratch;
  // larger groups take a per-vector path there.
  static constexpr uint64_t kMaxScratchGroup = 1024;

  // Blob: rows·row_bytes code bytes, then rows·groups_per_row binary16 scales
  // (little-endian, row-major); longer blobs are accepted. Checks, in order:
  // EmptyShape, BadGroup, BadCodebookLen (unless ternary), UnsupportedBits,
  // ShortBlob. Sizes that overflow 64 bits are reported as ShortBlob with
  // need = UINT64_MAX. The scales are always widened into the tensor; the
  // codes are copied or borrowed as `source` says.
  static Result<CqTensor, CqError> create(uint64_t rows, uint64_t cols, uint64_t group,
                                          uint8_t bits_code, std::span<const uint8_t> blob,
                                          std::span<const float> header_codebook,
                                          const CqBlobSource& source = {});

  uint64_t rows() const { return shape_.rows; }
  uint64_t cols() const { return shape_.cols; }
  uint64_t padded_cols() const { return shape_.padded_cols; }
  uint64_t group() const { return shape_.group; }
  uint8_t bits_code() const { return shape_.bits_code; }
  unsigned bits() const { return shape_.bits; }  // stored bits per code: 2, 3 or 4
  uint64_t groups_per_row() const { return shape_.groups_per_row; }
  uint64_t row_bytes() const { return shape_.row_bytes; }
  unsigned codes_per_byte() const { return shape_.codes_per_byte; }  // 4, 2, or 0 for 3-bit
  std::span<const uint8_t> codes() const { return {codes_, shape_.rows * shape_.row_bytes}; }
  // True when the codes are read in place from the blob given to create.
  bool borrows_codes() const { return borrowed_; }
  // The scale of row r's group g (stored as binary16, widened exactly).
  float scale(uint64_t r, uint64_t g) const;
  std::span<const float> levels() const { return levels_; }  // 4, 8, 16 or 3 (ternary) floats
  std::span<const float> lut() const { return lut_; }  // 256·codes_per_byte floats
  float level_of_code(unsigned code) const { return code_table_[code & 15]; }

  // out[0, cols) <- row r in the unrotated domain. Throws std::out_of_range
  // for r >= rows or out.size() < cols.
  void dequantize_row(size_t r, std::span<float> out) const;
  // rows x cols floats, row-major.
  std::vector<float> expand() const;

  // y = W·x with x of cols floats (rotated here) and y of rows floats. Splits
  // over WorkerPool::instance() when the product is large enough. With the
  // int8 form built, matvec and matmul take the int8 path.
  void matvec(std::span<const float> x, std::span<float> y) const;
  // m inputs already padded and rotated (m x padded_cols, vector-major);
  // y: m x rows, output vector i at [i·rows, (i+1)·rows).
  void matmul(std::span<const float> x_rot, size_t m, std::span<float> y) const;

  // The same products on an explicit instruction set (which must be
  // supported) and pool; a null pool runs on the calling thread. For tests and
  // benchmarks; a group that is not a multiple of 64 always takes the portable
  // path.
  void matvec_with(Isa isa, WorkerPool* pool, std::span<const float> x, std::span<float> y) const;
  void matmul_with(Isa isa, WorkerPool* pool, std::span<const float> x_rot, size_t m,
                   std::span<float> y) const;

  // The vector kernels read each 64-float unit of a rotated input in an order
  // of their own (it depends on the instruction set and the bits). Callers
  // that multiply the same rotated inputs by several tensors reorder them once
  // with reorder_inputs (m x padded_cols floats into out, which must not
  // alias x_rot) and then call matmul_reordered on tensors of the same
  // input_order(). On the portable path the order is the identity.
  // Throws std::invalid_argument for short buffers (the same texts as matmul).
  uint32_t input_order(Isa isa) const;
  void reorder_inputs(Isa isa, std::span<const float> x_rot, size_t m, std::span<float> out) const;
  void matmul_reordered(Isa isa, WorkerPool* pool, std::span<const float> xp, size_t m,
                        std::span<float> y) const;
  // One reordered input (padded_cols floats) through the single-vector
  // kernels, which are several times faster than the batched ones on one
  // vector: the matvec of an input rotated and reordered once for several
  // tensors. The same floats as matvec_with on the unrotated input.
  void matvec_reordered(Isa isa, WorkerPool* pool, std::span<const float> xp,
                        std::span<float> y) const;

  // The int8 compute form. kInt8 builds it (once; the float form stays, and
  // the float products above keep giving float results through *_with):
  // the levels as int8 with one scale, level_scale = max |level| / 127 and
  // int8 level = round(level / level_scale), and every code repacked into a
  // 4-bit nibble in the tile layout of cq_kernels::Int8View (2- and 3-bit
  // codes too, so one kernel serves every width), the row scales beside. From then on matvec and matmul
  // quantise their rotated inputs per group and run the int8 products.
  // kFloat drops the form. A group above kMaxInt8Group keeps the float path
  // (false is returned), which keeps every group's integer sum well inside
  // 32 bits (at most 8192·127², about 1.3e8).
  static constexpr uint64_t kMaxInt8Group = 8192;
  bool set_compute(Compute compute);
  Compute compute() const { return q8_codes_.empty() ? Compute::kFloat : Compute::kInt8; }
  float int8_level_scale() const { return q8_level_scale_; }

  // Per group of `group` values of each rotated input (x_rot.size() a
  // multiple of group): scale = max |x| / 127 (0 for an all-zero group) and
  // q = x / scale rounded to nearest, ties to even, within [-127, 127] (a
  // NaN gives -127). q holds x_rot.size() values, scales one per group.
  // Throws std::invalid_argument for short buffers or a ragged input.
  static void quantize_input(std::span<const float> x_rot, uint64_t group, std::span<int8_t> q,
                             std::span<float> scales);

  // The int8 products (the form must be built) on inputs quantised by
  // quantize_input with this tensor's group: xq m x padded_cols values, xs m
  // x groups_per_row scales, y as for matmul. The result is the same on
  // every instruction set to the last bit (see cq_kernels.h). A null pool
  // runs on the calling thread. Throw std::invalid_argument for short
  // buffers or a tensor without the form.
  void matvec_int8_with(Isa isa, WorkerPool* pool, std::span<const int8_t> xq,
                        std::span<const float> xs, std::span<float> y) const;
  void matmul_int8_with(Isa isa, WorkerPool* pool, std::span<const int8_t> xq,
                        std::span<const float> xs, size_t m, std::span<float> y) const;

  // A tensor of the rows [t·height, (t+1)·height) for each t in blocks, in
  // list order. Error "mHC lane row out of range" when a row is past the end.
  Result<CqTensor, std::string> select_row_blocks(std::span<const size_t> blocks,
                                                  size_t height) const;

 private:
  CqTensor() = default;
  Isa product_isa(Isa wanted) const;
  cq_kernels::View kernel_view() const;
  cq_kernels::Int8View int8_view() const;
  // The int8 products on the pool's instruction set from float inputs.
  void matvec_int8(std::span<const float> x, std::span<float> y) const;
  void matmul_int8(std::span<const float> x_rot, size_t m, std::span<float> y) const;

  // rows·row_bytes, then at least 64 readable bytes for the wide loads (their
  // values are never used). Immutable, so copies of a tensor share them.
  const uint8_t* codes_ = nullptr;
  std::shared_ptr<const void> codes_keeper_;  // the tensor's own copy, or the borrowed source
  bool borrowed_ = false;
  // rows·groups_per_row binary16 scales as stored: the products widen them
  // as they read them, which halves the scale bytes a decode step streams.
  std::vector<uint16_t> scales_;
  std::vector<float> lut_;
  std::vector<float> levels_;
  std::array<float, 16> code_table_{};  // level of code (i & (2^bits - 1))
  // The int8 form (empty without it), in the tile layout of
  // cq_kernels::Int8View: nibbles, and the row scales as the binary16 values
  // they were stored as (half the bytes a decode step streams for them).
  std::vector<uint8_t> q8_codes_;
  std::vector<uint16_t> q8_scales_;
  std::array<int8_t, 16> q8_levels_{};
  float q8_level_scale_ = 0.0f;
  struct Shape {
    uint64_t rows = 0, cols = 0, padded_cols = 0, group = 0, groups_per_row = 0, row_bytes = 0;
    uint8_t bits_code = 0;
    unsigned bits = 0, codes_per_byte = 0;
  } shape_;
};

}  // namespace pinnet::core
