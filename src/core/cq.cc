#include "core/cq.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "core/checked_math.h"
#include "core/cq_detail.h"
#include "core/simd/cq_kernels.h"
#include "core/hadamard.h"
#include "core/half.h"
#include "core/worker_pool.h"

namespace pinnet::core {
using cq_detail::Scratch;
using cq_detail::split;
namespace {

constexpr uint64_t kMaxU64 = std::numeric_limits<uint64_t>::max();
// Readable bytes after the last row: the 3-bit vector loads read up to 4
// bytes past a unit (and discard them).
constexpr size_t kCodeSlack = 64;
// Ternary level magnitude times sqrt(group): float bits 0x3F9CAC3E.
constexpr float kTernaryLevel = 1.2240064f;


// A zeroed code buffer of n bytes plus the slack, owned through *keeper;
// returns where to write the codes.
uint8_t* own_codes(uint64_t n, std::shared_ptr<const void>* keeper) {
  auto buffer = std::make_shared<std::vector<uint8_t>>(n + kCodeSlack, 0);
  uint8_t* data = buffer->data();
  *keeper = std::move(buffer);
  return data;
}

// Element of a 64-float unit that the vector kernels of `isa` expect at
// position p (see simd/cq_kernels.h and the layout notes in simd/cq_float_avx2.cc
// and simd/cq_float_avx512.cc).
uint64_t unit_element(Isa isa, unsigned bits, uint64_t p) {
  if (isa == Isa::Avx512) {
    const uint64_t s = p / 16, lane = p % 16;
    if (bits == 2) return 16 * (lane & 3) + (lane >> 2) + 4 * s;
    return 8 * (lane & 7) + 2 * s + (lane >> 3);
  }
  const uint64_t s = p / 8, lane = p % 8;
  if (bits == 2) return 16 * (lane & 3) + (lane >> 2) + 2 * s;
  if (bits == 4) return 2 * (16 * (lane / 4) + 4 * (s % 4) + lane % 4) + s / 4;
  return 8 * lane + s;
}

struct UnitOrder {
  uint8_t element[cq_kernels::kUnit];
};

UnitOrder unit_order(Isa isa, unsigned bits) {
  UnitOrder order;
  for (uint64_t p = 0; p < cq_kernels::kUnit; ++p) {
    order.element[p] = static_cast<uint8_t>(unit_element(isa, bits, p));
  }
  return order;
}

// dst[u·64 + p] = src[u·64 + element[p]] for every unit of n floats.
void reorder([[maybe_unused]] Isa isa, const UnitOrder& order, const float* src, uint64_t n, float* dst) {
#ifdef PINNET_X86_KERNELS
  if (isa == Isa::Avx512) return cq_kernels::reorder_avx512(order.element, src, n, dst);
#endif
  for (uint64_t base = 0; base < n; base += cq_kernels::kUnit) {
    for (uint64_t p = 0; p < cq_kernels::kUnit; ++p) dst[base + p] = src[base + order.element[p]];
  }
}

void reorder_in_place([[maybe_unused]] Isa isa, const UnitOrder& order, float* v, uint64_t n) {
#ifdef PINNET_X86_KERNELS
  if (isa == Isa::Avx512) return cq_kernels::reorder_avx512(order.element, v, n, v);
#endif
  float unit[cq_kernels::kUnit];
  for (uint64_t base = 0; base < n; base += cq_kernels::kUnit) {
    std::memcpy(unit, v + base, sizeof unit);
    for (uint64_t p = 0; p < cq_kernels::kUnit; ++p) v[base + p] = unit[order.element[p]];
  }
}

}  // namespace

std::string CqError::to_string() const {
  switch (kind) {
    case Kind::UnsupportedBits: return "UnsupportedBits(" + std::to_string(value) + ")";
    case Kind::BadGroup: return "BadGroup(" + std::to_string(value) + ")";
    case Kind::BadCodebookLen: return "BadCodebookLen(" + std::to_string(value) + ")";
    case Kind::ShortBlob:
      return "ShortBlob { need: " + std::to_string(need) + ", got: " + std::to_string(got) + " }";
    case Kind::EmptyShape: return "EmptyShape";
  }
  return "CqError";
}

Result<CqTensor, CqError> CqTensor::create(uint64_t rows, uint64_t cols, uint64_t group,
                                           uint8_t bits_code, std::span<const uint8_t> blob,
                                           std::span<const float> header_codebook,
                                           const CqBlobSource& source) {
  using Kind = CqError::Kind;
  if (rows == 0 || cols == 0) return Err{CqError{Kind::EmptyShape}};
  if (group == 0 || (group & (group - 1)) != 0 || group % 8 != 0) {
    return Err{CqError{Kind::BadGroup, group}};
  }
  if (bits_code != kTernary) {
    if (header_codebook.size() != kHeaderCodebookLen) {
      return Err{CqError{Kind::BadCodebookLen, header_codebook.size()}};
    }
    if (bits_code < 2 || bits_code > 4) return Err{CqError{Kind::UnsupportedBits, bits_code}};
  }
  const unsigned bits = bits_code == kTernary ? 2u : bits_code;

  // need = rows·row_bytes + 2·rows·groups_per_row, every step overflow-checked;
  // a size past 64 bits can never be satisfied by a blob.
  const uint64_t groups_per_row = ceil_div(cols, group);
  uint64_t padded_cols = 0, row_bytes = 0, code_bytes = 0, scale_count = 0, scale_bytes = 0;
  uint64_t need = 0;
  const bool overflow = mul_overflows(groups_per_row, group, &padded_cols) ||
                        mul_overflows(padded_cols / 8, bits, &row_bytes) ||
                        mul_overflows(rows, row_bytes, &code_bytes) ||
                        mul_overflows(rows, groups_per_row, &scale_count) ||
                        mul_overflows(scale_count, 2, &scale_bytes) ||
                        add_overflows(code_bytes, scale_bytes, &need);
  if (overflow) return Err{CqError{Kind::ShortBlob, 0, kMaxU64, blob.size()}};
  if (blob.size() < need) return Err{CqError{Kind::ShortBlob, 0, need, blob.size()}};

  CqTensor t;
  t.shape_ = Shape{rows,      cols, padded_cols, group, groups_per_row, row_bytes, bits_code,
                   bits, bits == 3 ? 0 : 8 / bits};

  // Borrowing needs the slack inside the blob (the scales follow the codes).
  if (source.borrow && blob.size() - code_bytes >= kCodeSlack) {
    t.codes_ = blob.data();
    t.codes_keeper_ = source.keeper;
    t.borrowed_ = true;
  } else {
    uint8_t* codes = own_codes(code_bytes, &t.codes_keeper_);
    std::memcpy(codes, blob.data(), code_bytes);
    t.codes_ = codes;
  }
  t.scales_.resize(scale_count);
  const uint8_t* halves = blob.data() + code_bytes;
  for (uint64_t i = 0; i < scale_count; ++i)
    t.scales_[i] = static_cast<uint16_t>(halves[2 * i] | (halves[2 * i + 1] << 8));

  const unsigned level_count = 1u << bits;
  std::array<float, 16> by_code{};
  if (bits_code == kTernary) {
    const float a = kTernaryLevel / std::sqrt(static_cast<float>(group));
    t.levels_ = {-a, 0.0f, a};
    by_code[0] = 0.0f;
    by_code[1] = a;
    by_code[2] = 0.0f;
    by_code[3] = -a;
  } else {
    const size_t first = bits == 2 ? 0 : bits == 3 ? 4 : 12;
    const auto start = header_codebook.begin() + first;
    t.levels_.assign(start, start + level_count);
    for (unsigned c = 0; c < level_count; ++c) by_code[c] = t.levels_[c];
  }
  for (unsigned i = 0; i < 16; ++i) t.code_table_[i] = by_code[i & (level_count - 1)];

  if (t.shape_.codes_per_byte > 0) {
    t.lut_.resize(256 * t.shape_.codes_per_byte);
    for (unsigned v = 0; v < 256; ++v) {
      for (unsigned s = 0; s < t.shape_.codes_per_byte; ++s) {
        t.lut_[v * t.shape_.codes_per_byte + s] = by_code[(v >> (s * bits)) & (level_count - 1)];
      }
    }
  }
  return t;
}

namespace {

// Code of padded element k of a 3-bit row: bits [3k, 3k + 3), LSB first.
inline unsigned code3(const uint8_t* row, uint64_t k) {
  const uint64_t o = 3 * k;
  unsigned word = row[o / 8];
  if (o % 8 + 3 > 8) word |= static_cast<unsigned>(row[o / 8 + 1]) << 8;
  return (word >> (o % 8)) & 7u;
}


// The portable kernels: the 256-entry level table for 2- and 4-bit codes and
// bit unpacking for 3-bit codes, summed four ways.
struct Portable {
  const CqTensor& t;

  // out[0, group) <- levels of group g of `row` (scale 1).
  void decode_group(const uint8_t* row, uint64_t g, float* out) const {
    const uint64_t group = t.group();
    const unsigned cpb = t.codes_per_byte();
    if (cpb == 0) {
      for (uint64_t j = 0; j < group; ++j) out[j] = t.level_of_code(code3(row, g * group + j));
      return;
    }
    const uint8_t* bytes = row + g * group / cpb;
    const float* lut = t.lut().data();
    for (uint64_t b = 0; b < group / cpb; ++b) {
      std::memcpy(out + b * cpb, lut + bytes[b] * cpb, cpb * sizeof(float));
    }
  }

  // Σ_j level(code(row, g·group + j)) · x[j], x at the group's start.
  float group_dot(const uint8_t* row, uint64_t g, const float* x) const {
    const uint64_t group = t.group();
    const unsigned cpb = t.codes_per_byte();
    float s0 = 0, s1 = 0, s2 = 0, s3 = 0;
    if (cpb == 0) {
      for (uint64_t j = 0; j < group; j += 4) {
        const uint64_t k = g * group + j;
        s0 += t.level_of_code(code3(row, k)) * x[j];
        s1 += t.level_of_code(code3(row, k + 1)) * x[j + 1];
        s2 += t.level_of_code(code3(row, k + 2)) * x[j + 2];
        s3 += t.level_of_code(code3(row, k + 3)) * x[j + 3];
      }
    } else {
      // Four levels per step: one byte of 2-bit codes or two of 4-bit codes.
      const uint8_t* bytes = row + g * group / cpb;
      const float* lut = t.lut().data();
      const uint64_t bytes_per_step = 4 / cpb;
      for (uint64_t j = 0; j < group; j += 4, bytes += bytes_per_step) {
        const float* a = lut + bytes[0] * cpb;
        const float* b = cpb == 4 ? a + 2 : lut + bytes[1] * cpb;
        s0 += a[0] * x[j];
        s1 += a[1] * x[j + 1];
        s2 += b[0] * x[j + 2];
        s3 += b[1] * x[j + 3];
      }
    }
    return (s0 + s1) + (s2 + s3);
  }

  float row_dot(uint64_t r, const float* x_rot) const {
    const uint8_t* row = t.codes().data() + r * t.row_bytes();
    float total = 0;
    for (uint64_t g = 0; g < t.groups_per_row(); ++g) {
      total += group_dot(row, g, x_rot + g * t.group()) * t.scale(r, g);
    }
    return total;
  }

  void matvec(const float* x_rot, uint64_t r0, uint64_t r1, float* y) const {
    for (uint64_t r = r0; r < r1; ++r) y[r] = row_dot(r, x_rot);
  }

  void matmul(const float* x_rot, uint64_t r0, uint64_t r1, uint64_t v0, uint64_t v1,
              float* y) const {
    const uint64_t rows = t.rows(), cols = t.padded_cols(), group = t.group();
    if (group > CqTensor::kMaxScratchGroup) {
      for (uint64_t v = v0; v < v1; ++v) {
        for (uint64_t r = r0; r < r1; ++r) y[v * rows + r] = row_dot(r, x_rot + v * cols);
      }
      return;
    }
    float levels[CqTensor::kMaxScratchGroup];
    for (uint64_t v = v0; v < v1; ++v) std::fill(y + v * rows + r0, y + v * rows + r1, 0.0f);
    for (uint64_t r = r0; r < r1; ++r) {
      const uint8_t* row = t.codes().data() + r * t.row_bytes();
      for (uint64_t g = 0; g < t.groups_per_row(); ++g) {
        const float scale = t.scale(r, g);
        decode_group(row, g, levels);
        for (uint64_t v = v0; v < v1; ++v) {
          const float* x = x_rot + v * cols + g * group;
          float s0 = 0, s1 = 0, s2 = 0, s3 = 0;
          for (uint64_t j = 0; j < group; j += 4) {
            s0 += levels[j] * x[j];
            s1 += levels[j + 1] * x[j + 1];
            s2 += levels[j + 2] * x[j + 2];
            s3 += levels[j + 3] * x[j + 3];
          }
          y[v * rows + r] += ((s0 + s1) + (s2 + s3)) * scale;
        }
      }
    }
  }
};

}  // namespace

void CqTensor::dequantize_row(size_t r, std::span<float> out) const {
  const Shape& s = shape_;
  if (r >= s.rows) throw std::out_of_range("CqTensor::dequantize_row: row out of range");
  if (out.size() < s.cols) throw std::out_of_range("CqTensor::dequantize_row: output too short");
  Scratch scratch(s.group);
  float* buf = scratch.data();
  const Portable portable{*this};
  const uint8_t* row = codes_ + r * s.row_bytes;
  for (uint64_t g = 0; g < s.groups_per_row; ++g) {
    portable.decode_group(row, g, buf);
    const float scale = this->scale(r, g);
    for (uint64_t j = 0; j < s.group; ++j) buf[j] *= scale;
    fwht(std::span<float>(buf, s.group));
    const uint64_t start = g * s.group;
    const uint64_t n = std::min(s.group, s.cols - start);
    std::memcpy(out.data() + start, buf, n * sizeof(float));
  }
}

std::vector<float> CqTensor::expand() const {
  const uint64_t cols = shape_.cols;
  std::vector<float> out(shape_.rows * cols);
  for (uint64_t r = 0; r < shape_.rows; ++r) {
    dequantize_row(r, std::span<float>(out.data() + r * cols, cols));
  }
  return out;
}

float CqTensor::scale(uint64_t r, uint64_t g) const {
  return half_to_float(scales_[r * shape_.groups_per_row + g]);
}

cq_kernels::View CqTensor::kernel_view() const {
  const Shape& s = shape_;
  return cq_kernels::View{codes_,        scales_.data(),   code_table_.data(),
                          s.rows,        s.padded_cols,    s.group,
                          s.groups_per_row, s.row_bytes,   s.bits};
}

Isa CqTensor::product_isa(Isa wanted) const {
  cq_detail::require_isa(wanted);
  // The vector kernels decode whole 64-element units within one group.
  if (shape_.group % cq_kernels::kUnit != 0) return Isa::Portable;
#ifdef PINNET_X86_KERNELS
  return wanted;
#else
  return Isa::Portable;  // no vector kernels for this processor
#endif
}

void CqTensor::matvec(std::span<const float> x, std::span<float> y) const {
  if (!q8_codes_.empty()) return matvec_int8(x, y);
  matvec_with(best_isa(), &WorkerPool::instance(), x, y);
}

void CqTensor::matmul(std::span<const float> x_rot, size_t m, std::span<float> y) const {
  if (!q8_codes_.empty()) return matmul_int8(x_rot, m, y);
  matmul_with(best_isa(), &WorkerPool::instance(), x_rot, m, y);
}

void CqTensor::matvec_with(Isa wanted, WorkerPool* pool, std::span<const float> x,
                           std::span<float> y) const {
  const Shape& s = shape_;
  if (x.size() != s.cols) throw std::invalid_argument("CqTensor::matvec: x must hold cols floats");
  if (y.size() < s.rows) throw std::invalid_argument("CqTensor::matvec: y must hold rows floats");
  const Isa isa = product_isa(wanted);

  // x_rot: the rotated input, reordered per unit for the vector kernels.
  Scratch scratch(s.padded_cols);
  float* x_rot = scratch.data();
  pad_and_rotate(x, s.group, std::span<float>(x_rot, s.padded_cols));
  if (isa != Isa::Portable) reorder_in_place(isa, unit_order(isa, s.bits), x_rot, s.padded_cols);
  matvec_reordered(isa, pool, std::span<const float>(x_rot, s.padded_cols), y);
}

void CqTensor::matvec_reordered(Isa wanted, WorkerPool* pool, std::span<const float> xp,
                                std::span<float> y) const {
  const Shape& s = shape_;
  if (xp.size() < s.padded_cols)
    throw std::invalid_argument("CqTensor::matvec: xp must hold padded_cols floats");
  if (y.size() < s.rows) throw std::invalid_argument("CqTensor::matvec: y must hold rows floats");
  const Isa isa = product_isa(wanted);
  const float* x_rot = xp.data();
  [[maybe_unused]] const cq_kernels::View view = kernel_view();
  auto rows_kernel = [&](uint64_t r0, uint64_t r1) {
    switch (isa) {
#ifdef PINNET_X86_KERNELS
      case Isa::Avx512: cq_kernels::matvec_avx512(view, x_rot, r0, r1, y.data()); break;
      case Isa::Avx2: cq_kernels::matvec_avx2(view, x_rot, r0, r1, y.data()); break;
#endif
      default: Portable{*this}.matvec(x_rot, r0, r1, y.data()); break;
    }
  };
  if (pool != nullptr && s.rows >= 128 && saturating_mul(s.rows, s.padded_cols) > cq_detail::kParallelVector) {
    split(*pool, s.rows, cq_detail::row_chunk(s.rows, pool->threads(), 64), rows_kernel);
  } else {
    rows_kernel(0, s.rows);
  }
}

namespace {

void check_matmul_buffers(uint64_t m, uint64_t padded_cols, uint64_t rows, size_t x_size,
                          size_t y_size, uint64_t* in_floats) {
  uint64_t out_floats = 0;
  if (mul_overflows(m, padded_cols, in_floats) || x_size < *in_floats) {
    throw std::invalid_argument("CqTensor::matmul: x_rot must hold m x padded_cols floats");
  }
  if (mul_overflows(m, rows, &out_floats) || y_size < out_floats) {
    throw std::invalid_argument("CqTensor::matmul: y must hold m x rows floats");
  }
}

}  // namespace

uint32_t CqTensor::input_order(Isa wanted) const {
  const Isa isa = product_isa(wanted);
  return isa == Isa::Portable ? 0 : static_cast<uint32_t>(isa) * 16 + shape_.bits;
}

void CqTensor::reorder_inputs(Isa wanted, std::span<const float> x_rot, size_t m,
                              std::span<float> out) const {
  const Shape& s = shape_;
  uint64_t in_floats = 0;
  check_matmul_buffers(m, s.padded_cols, 0, x_rot.size(), 0, &in_floats);
  if (out.size() < in_floats) {
    throw std::invalid_argument("CqTensor::matmul: x_rot must hold m x padded_cols floats");
  }
  const Isa isa = product_isa(wanted);
  if (isa == Isa::Portable) {
    if (in_floats != 0) std::memcpy(out.data(), x_rot.data(), in_floats * sizeof(float));
    return;
  }
  const UnitOrder order = unit_order(isa, s.bits);
  for (uint64_t v = 0; v < m; ++v) {
    const uint64_t at = v * s.padded_cols;
    reorder(isa, order, x_rot.data() + at, s.padded_cols, out.data() + at);
  }
}

void CqTensor::matmul_with(Isa wanted, WorkerPool* pool, std::span<const float> x_rot, size_t m,
                           std::span<float> y) const {
  const Shape& s = shape_;
  uint64_t in_floats = 0;
  check_matmul_buffers(m, s.padded_cols, s.rows, x_rot.size(), y.size(), &in_floats);
  // The portable path reads inputs in element order.
  if (m == 0 || product_isa(wanted) == Isa::Portable) return matmul_reordered(wanted, pool, x_rot, m, y);
  // The inputs, reordered per unit for the vector kernels, in this thread's
  // reusable scratch.
  Scratch scratch(in_floats);
  const std::span<float> xp(scratch.data(), in_floats);
  reorder_inputs(wanted, x_rot, m, xp);
  matmul_reordered(wanted, pool, xp, m, y);
}

void CqTensor::matmul_reordered(Isa wanted, WorkerPool* pool, std::span<const float> x, size_t m,
                                std::span<float> y) const {
  const Shape& s = shape_;
  uint64_t in_floats = 0;
  check_matmul_buffers(m, s.padded_cols, s.rows, x.size(), y.size(), &in_floats);
  if (m == 0) return;
  const Isa isa = product_isa(wanted);
  const float* xp = x.data();
  [[maybe_unused]] const cq_kernels::View view = kernel_view();
  [[maybe_unused]] const bool wide = m >= cq_kernels::kWideBatch;
  auto kernel = [&](uint64_t r0, uint64_t r1, uint64_t v0, uint64_t v1) {
    switch (isa) {
#ifdef PINNET_X86_KERNELS
      case Isa::Avx512:
        cq_kernels::matmul_avx512(view, xp, r0, r1, v0, v1, wide, y.data());
        break;
      case Isa::Avx2: cq_kernels::matmul_avx2(view, xp, r0, r1, v0, v1, y.data()); break;
#endif
      default: Portable{*this}.matmul(xp, r0, r1, v0, v1, y.data()); break;
    }
  };
  const uint64_t work = saturating_mul(saturating_mul(m, s.rows), s.padded_cols);
  if (pool != nullptr && work > cq_detail::kParallelWork && s.rows > 127) {
    // Whole multiples of 64 rows, so that the wide kernel's 32-row tiles
    // fall on the same rows however the product is split.
    const uint64_t chunk = cq_detail::row_chunk(s.rows, pool->threads(), 64);
    split(*pool, s.rows, chunk, [&](uint64_t r0, uint64_t r1) { kernel(r0, r1, 0, m); });
  } else if (pool != nullptr && work > cq_detail::kParallelWork && m > 15) {
    const uint64_t chunk = std::max<uint64_t>(ceil_div(m, pool->threads()), 8);
    split(*pool, m, chunk, [&](uint64_t v0, uint64_t v1) { kernel(0, s.rows, v0, v1); });
  } else {
    kernel(0, s.rows, 0, m);
  }
}

Result<CqTensor, std::string> CqTensor::select_row_blocks(std::span<const size_t> blocks,
                                                          size_t height) const {
  const Shape& s = shape_;
  uint64_t selected = 0;
  for (size_t t : blocks) {
    uint64_t first = 0, end = 0;
    if (mul_overflows(t, height, &first) || add_overflows(first, height, &end) || end > s.rows) {
      return Err{std::string("mHC lane row out of range")};
    }
    selected += height;
  }
  CqTensor out;
  out.lut_ = lut_;
  out.levels_ = levels_;
  out.code_table_ = code_table_;
  out.shape_ = s;
  out.shape_.rows = selected;
  uint8_t* codes = own_codes(selected * s.row_bytes, &out.codes_keeper_);
  out.codes_ = codes;
  out.scales_.resize(selected * s.groups_per_row);
  uint64_t r_out = 0;
  for (size_t t : blocks) {
    for (uint64_t i = 0; i < height; ++i, ++r_out) {
      const uint64_t r = t * height + i;
      std::memcpy(codes + r_out * s.row_bytes, codes_ + r * s.row_bytes,
                  s.row_bytes);
      std::memcpy(out.scales_.data() + r_out * s.groups_per_row,
                  scales_.data() + r * s.groups_per_row, s.groups_per_row * sizeof(uint16_t));
    }
  }
  out.set_compute(compute());
  return out;
}

}  // namespace pinnet::core
