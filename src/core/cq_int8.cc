// The int8 form of CqTensor and its portable kernel; the vector kernels are
// in cq_int8_avx2.cc and cq_int8_avx512.cc, and cq_kernels.h states the
// result all of them give.
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "core/cq.h"
#include "core/cq_detail.h"
#include "core/simd/cq_kernels.h"
#include "core/half.h"
#include "core/hadamard.h"
#include "core/worker_pool.h"

namespace pinnet::core {
namespace {

using cq_detail::ceil_div;
using cq_detail::saturating_mul;
using cq_kernels::Int8View;

using cq_kernels::kInt8QuadBytes;
using cq_kernels::kInt8TileRows;

constexpr float kInt8Max = 127.0f;

// Code of padded element e of a stored row: `bits` bits at bit bits·e, LSB
// first (whole codes per byte for 2 and 4 bits, straddling bytes for 3).
unsigned stored_code(const uint8_t* row, uint64_t e, unsigned bits) {
  const uint64_t o = static_cast<uint64_t>(bits) * e;
  unsigned word = row[o / 8];
  if (o % 8 + bits > 8) word |= static_cast<unsigned>(row[o / 8 + 1]) << 8;
  return (word >> (o % 8)) & ((1u << bits) - 1);
}

// Round to nearest, ties to even, for |v| <= 127: adding 1.5·2^23 leaves no
// fraction bits, the same rounding VCVTPS2DQ applies in the default mode.
inline int8_t round_level(float v) {
  if (!(v > -kInt8Max)) return -127;  // also NaN
  if (v > kInt8Max) return 127;
  constexpr float kMagic = 12582912.0f;
  return static_cast<int8_t>(static_cast<int>((v + kMagic) - kMagic));
}

// The portable kernel: the sums and float steps of cq_kernels.h, read from
// the stored codes and scales (so it checks the int8 form's repacking too).
float row_dot(const Int8View& t, const uint8_t* row, unsigned bits, const uint16_t* scale,
              const int8_t* xq, const float* xs) {
  float acc = 0.0f;
  for (uint64_t g = 0; g < t.groups_per_row; ++g) {
    int32_t sum = 0;
    for (uint64_t e = g * t.group; e < (g + 1) * t.group; ++e)
      sum += int32_t{t.levels[stored_code(row, e, bits)]} * int32_t{xq[e]};
    acc = std::fma(static_cast<float>(sum), half_to_float(scale[g]) * xs[g], acc);
  }
  return acc * t.level_scale;
}

void check_int8_buffers(uint64_t m, uint64_t padded_cols, uint64_t groups, uint64_t rows,
                        size_t xq_size, size_t xs_size, size_t y_size) {
  uint64_t n = 0;
  if (__builtin_mul_overflow(m, padded_cols, &n) || xq_size < n)
    throw std::invalid_argument("CqTensor: xq must hold m x padded_cols values");
  if (__builtin_mul_overflow(m, groups, &n) || xs_size < n)
    throw std::invalid_argument("CqTensor: xs must hold m x groups_per_row scales");
  if (__builtin_mul_overflow(m, rows, &n) || y_size < n)
    throw std::invalid_argument("CqTensor: y must hold m x rows floats");
}

}  // namespace

bool CqTensor::set_compute(Compute compute) {
  if (compute == Compute::kFloat || shape_.group > kMaxInt8Group) {
    q8_codes_ = {};
    q8_scales_ = {};
    q8_levels_ = {};
    q8_level_scale_ = 0.0f;
    return compute == Compute::kFloat;
  }
  if (!q8_codes_.empty()) return true;
  const Shape& s = shape_;
  float top = 0.0f;
  for (float v : code_table_) top = std::max(top, std::fabs(v));
  q8_level_scale_ = top > 0.0f ? top / kInt8Max : 0.0f;
  for (unsigned c = 0; c < 16; ++c)
    q8_levels_[c] = top > 0.0f ? round_level(code_table_[c] * (kInt8Max / top)) : 0;

  // The tile layout of cq_kernels::Int8View; padded rows keep code 0 and
  // scale 0.
  const uint64_t tiles = ceil_div(s.rows, kInt8TileRows), quads = s.padded_cols / 4;
  q8_codes_.assign(tiles * quads * kInt8QuadBytes, 0);
  q8_scales_.assign(tiles * s.groups_per_row * kInt8TileRows, 0);
  for (uint64_t r = 0; r < s.rows; ++r) {
    const uint64_t tile = r / kInt8TileRows, i = r % kInt8TileRows;
    const uint8_t* row = codes_ + r * s.row_bytes;
    uint8_t* out = q8_codes_.data() + tile * quads * kInt8QuadBytes + (i % 8) * 4;
    const unsigned shift = i < 8 ? 0 : 4;
    for (uint64_t e = 0; e < s.padded_cols; ++e)
      out[e / 4 * kInt8QuadBytes + e % 4] |= static_cast<uint8_t>(stored_code(row, e, s.bits) << shift);
    for (uint64_t g = 0; g < s.groups_per_row; ++g)
      q8_scales_[(tile * s.groups_per_row + g) * kInt8TileRows + i] =
          scales_[r * s.groups_per_row + g];
  }
  return true;
}

cq_kernels::Int8View CqTensor::int8_view() const {
  const Shape& s = shape_;
  return Int8View{q8_codes_.data(), q8_scales_.data(), q8_levels_.data(), s.rows, s.padded_cols,
                  s.group, s.groups_per_row, q8_level_scale_};
}

void CqTensor::quantize_input(std::span<const float> x_rot, uint64_t group, std::span<int8_t> q,
                              std::span<float> scales) {
  if (group == 0 || x_rot.size() % group != 0)
    throw std::invalid_argument("CqTensor::quantize_input: input is not whole groups");
  const size_t groups = x_rot.size() / group;
  if (q.size() < x_rot.size() || scales.size() < groups)
    throw std::invalid_argument("CqTensor::quantize_input: output too short");
#ifdef PINNET_X86_KERNELS
  if (group % 8 == 0 && best_isa() != Isa::Portable) {
    cq_kernels::quantize_int8_avx2(x_rot.data(), x_rot.size(), group, q.data(), scales.data());
    return;
  }
#endif
  for (size_t g = 0; g < groups; ++g) {
    const float* x = x_rot.data() + g * group;
    int8_t* out = q.data() + g * group;
    float top = 0.0f;
    for (uint64_t j = 0; j < group; ++j) top = std::max(top, std::fabs(x[j]));
    scales[g] = top / kInt8Max;
    const float inv = top > 0.0f ? kInt8Max / top : 0.0f;
    for (uint64_t j = 0; j < group; ++j) out[j] = round_level(x[j] * inv);
  }
}

void CqTensor::matvec_int8_with(Isa wanted, WorkerPool* pool, std::span<const int8_t> xq,
                                std::span<const float> xs, std::span<float> y) const {
  matmul_int8_with(wanted, pool, xq, xs, 1, y);
}

void CqTensor::matmul_int8_with(Isa wanted, WorkerPool* pool, std::span<const int8_t> xq,
                                std::span<const float> xs, size_t m, std::span<float> y) const {
  const Shape& s = shape_;
  if (q8_codes_.empty()) throw std::invalid_argument("CqTensor: no int8 form");
  check_int8_buffers(m, s.padded_cols, s.groups_per_row, s.rows, xq.size(), xs.size(), y.size());
  if (m == 0) return;
  cq_detail::require_isa(wanted);
  const Int8View view = int8_view();
  const bool vnni = wanted == Isa::Avx512 && has_avx512_int8();
  // The VNNI kernel's per-group offsets, made once here for every part of
  // a split.
  cq_detail::ScratchOf<int32_t> offsets(vnni ? m * s.groups_per_row : 0);
#ifdef PINNET_X86_KERNELS
  if (vnni) cq_kernels::prepare_int8_avx512(view, xq.data(), m, offsets.data());
#endif
  auto kernel = [&](uint64_t t0, uint64_t t1, uint64_t v0, uint64_t v1) {
#ifdef PINNET_X86_KERNELS
    if (vnni) {
      cq_kernels::matmul_int8_avx512(view, xq.data(), xs.data(), offsets.data(), t0, t1, v0, v1,
                                     y.data());
    } else if (wanted != Isa::Portable) {
      cq_kernels::matmul_int8_avx2(view, xq.data(), xs.data(), t0, t1, v0, v1, y.data());
    } else
#endif
    {
      const uint64_t r1 = std::min(t1 * kInt8TileRows, s.rows);
      for (uint64_t v = v0; v < v1; ++v)
        for (uint64_t r = t0 * kInt8TileRows; r < r1; ++r)
          y[v * s.rows + r] = row_dot(view, codes_ + r * s.row_bytes, s.bits,
                                      scales_.data() + r * s.groups_per_row,
                                      xq.data() + v * s.padded_cols, xs.data() + v * s.groups_per_row);
    }
  };
  const uint64_t tiles = ceil_div(s.rows, kInt8TileRows);
  const uint64_t work = saturating_mul(saturating_mul(m, s.rows), s.padded_cols);
  const uint64_t threshold = m == 1 ? cq_detail::kParallelVector : cq_detail::kParallelWork;
  if (pool != nullptr && work > threshold && tiles >= 8) {
    const uint64_t chunk = cq_detail::row_chunk(tiles, pool->threads(), 1);
    cq_detail::split(*pool, tiles, chunk, [&](uint64_t t0, uint64_t t1) { kernel(t0, t1, 0, m); });
  } else if (pool != nullptr && work > threshold && m > 15) {
    const uint64_t chunk = std::max<uint64_t>(ceil_div(m, pool->threads()), 8);
    cq_detail::split(*pool, m, chunk, [&](uint64_t v0, uint64_t v1) { kernel(0, tiles, v0, v1); });
  } else {
    kernel(0, tiles, 0, m);
  }
}

void CqTensor::matvec_int8(std::span<const float> x, std::span<float> y) const {
  const Shape& s = shape_;
  if (x.size() != s.cols) throw std::invalid_argument("CqTensor::matvec: x must hold cols floats");
  if (y.size() < s.rows) throw std::invalid_argument("CqTensor::matvec: y must hold rows floats");
  // One lease: the rotated input, then its group scales.
  cq_detail::Scratch scratch(s.padded_cols + s.groups_per_row);
  cq_detail::ScratchOf<int8_t> q(s.padded_cols);
  const std::span<float> x_rot(scratch.data(), s.padded_cols);
  const std::span<float> xs(scratch.data() + s.padded_cols, s.groups_per_row);
  pad_and_rotate(x, s.group, x_rot);
  quantize_input(x_rot, s.group, std::span<int8_t>(q.data(), s.padded_cols), xs);
  matvec_int8_with(best_isa(), &WorkerPool::instance(),
                   std::span<const int8_t>(q.data(), s.padded_cols), xs, y);
}

void CqTensor::matmul_int8(std::span<const float> x_rot, size_t m, std::span<float> y) const {
  const Shape& s = shape_;
  const uint64_t n = saturating_mul(m, s.padded_cols);
  if (x_rot.size() < n)
    throw std::invalid_argument("CqTensor::matmul: x_rot must hold m x padded_cols floats");
  const uint64_t groups = m * s.groups_per_row;
  cq_detail::Scratch xs(groups);
  cq_detail::ScratchOf<int8_t> q(n);
  quantize_input(x_rot.first(n), s.group, std::span<int8_t>(q.data(), n),
                 std::span<float>(xs.data(), groups));
  matmul_int8_with(best_isa(), &WorkerPool::instance(), std::span<const int8_t>(q.data(), n),
                   std::span<const float>(xs.data(), groups), m, y);
}

}  // namespace pinnet::core
