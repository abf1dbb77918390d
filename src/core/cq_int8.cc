// The int8 form of CqTensor and its portable kernel; the AVX2 kernel is in
// cq_int8_avx2.cc and cq_kernels.h states the result both give.
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "core/cq.h"
#include "core/cq_detail.h"
#include "core/cq_kernels.h"
#include "core/hadamard.h"
#include "core/worker_pool.h"

namespace pinnet::core {
namespace {

using cq_detail::ceil_div;
using cq_detail::saturating_mul;
using cq_kernels::Int8View;
using cq_kernels::kUnit;

constexpr uint64_t kUnitBytes = kUnit / 2;
constexpr float kInt8Max = 127.0f;

// Code of padded element e of a stored row: `bits` bits at bit bits·e, LSB
// first (whole codes per byte for 2 and 4 bits, straddling bytes for 3).
unsigned stored_code(const uint8_t* row, uint64_t e, unsigned bits) {
  const uint64_t o = static_cast<uint64_t>(bits) * e;
  unsigned word = row[o / 8];
  if (o % 8 + bits > 8) word |= static_cast<unsigned>(row[o / 8 + 1]) << 8;
  return (word >> (o % 8)) & ((1u << bits) - 1);
}

// Nibble of element e in the int8 layout (cq_kernels::Int8View).
inline uint64_t nibble_byte(uint64_t e) { return e / kUnit * kUnitBytes + e % 32; }
inline unsigned nibble_shift(uint64_t e) { return e % kUnit < 32 ? 0 : 4; }

// Round to nearest, ties to even, for |v| <= 127: adding 1.5·2^23 leaves no
// fraction bits, the same rounding VCVTPS2DQ applies in the default mode.
inline int8_t round_level(float v) {
  if (!(v > -kInt8Max)) return -127;  // also NaN
  if (v > kInt8Max) return 127;
  constexpr float kMagic = 12582912.0f;
  return static_cast<int8_t>(static_cast<int>((v + kMagic) - kMagic));
}

// The portable kernel: the lane sums and float steps of cq_kernels.h.
float row_dot(const Int8View& t, uint64_t r, const int8_t* xq, const float* xs) {
  const uint8_t* row = t.codes + r * t.row_bytes;
  const float* scale = t.scales + r * t.groups_per_row;
  float acc[2][8] = {};
  for (uint64_t g = 0; g < t.groups_per_row; ++g) {
    int32_t sum[8] = {};
    for (uint64_t e = g * t.group; e < (g + 1) * t.group; ++e) {
      const unsigned code = (row[nibble_byte(e)] >> nibble_shift(e)) & 15u;
      sum[e % 32 / 4] += int32_t{t.levels[code]} * int32_t{xq[e]};
    }
    const float f = scale[g] * xs[g];
    float* half = acc[t.group == kUnit ? g % 2 : 0];
    for (int k = 0; k < 8; ++k) half[k] = std::fma(static_cast<float>(sum[k]), f, half[k]);
  }
  float b[8];
  for (int k = 0; k < 8; ++k) b[k] = acc[0][k] + acc[1][k];
  return (((b[0] + b[4]) + (b[2] + b[6])) + ((b[1] + b[5]) + (b[3] + b[7]))) * t.level_scale;
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
    q8_levels_ = {};
    q8_level_scale_ = 0.0f;
    q8_row_bytes_ = 0;
    return compute == Compute::kFloat;
  }
  if (!q8_codes_.empty()) return true;
  const Shape& s = shape_;
  float top = 0.0f;
  for (float v : code_table_) top = std::max(top, std::fabs(v));
  q8_level_scale_ = top > 0.0f ? top / kInt8Max : 0.0f;
  for (unsigned c = 0; c < 16; ++c)
    q8_levels_[c] = top > 0.0f ? round_level(code_table_[c] * (kInt8Max / top)) : 0;

  q8_row_bytes_ = ceil_div(s.padded_cols, kUnit) * kUnitBytes;
  q8_codes_.assign(s.rows * q8_row_bytes_, 0);
  for (uint64_t r = 0; r < s.rows; ++r) {
    const uint8_t* row = codes_ + r * s.row_bytes;
    uint8_t* out = q8_codes_.data() + r * q8_row_bytes_;
    for (uint64_t e = 0; e < s.padded_cols; ++e)
      out[nibble_byte(e)] |= static_cast<uint8_t>(stored_code(row, e, s.bits) << nibble_shift(e));
  }
  return true;
}

cq_kernels::Int8View CqTensor::int8_view() const {
  const Shape& s = shape_;
  return Int8View{q8_codes_.data(), scales_.data(), q8_levels_.data(), s.rows, s.padded_cols,
                  s.group, s.groups_per_row, q8_row_bytes_, q8_level_scale_};
}

void CqTensor::quantize_input(std::span<const float> x_rot, uint64_t group, std::span<int8_t> q,
                              std::span<float> scales) {
  if (group == 0 || x_rot.size() % group != 0)
    throw std::invalid_argument("CqTensor::quantize_input: input is not whole groups");
  const size_t groups = x_rot.size() / group;
  if (q.size() < x_rot.size() || scales.size() < groups)
    throw std::invalid_argument("CqTensor::quantize_input: output too short");
  if (group % 8 == 0 && best_isa() != Isa::Portable) {
    cq_kernels::quantize_int8_avx2(x_rot.data(), x_rot.size(), group, q.data(), scales.data());
    return;
  }
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
  const Isa isa = product_isa(wanted);
  const Int8View view = int8_view();
  // The VNNI kernels read the inputs reordered and with their offset shares
  // (cq_kernels::Int8Prepared), made once here for every part of a split.
  const bool vnni = isa == Isa::Avx512 && has_avx512_int8();
  const uint64_t q_words = vnni ? m * s.padded_cols / 4 : 0;
  cq_detail::ScratchOf<int32_t> prepared(vnni ? q_words + m * s.groups_per_row * 8 : 0);
  const cq_kernels::Int8Prepared px{reinterpret_cast<const int8_t*>(prepared.data()),
                                    prepared.data() + q_words, xs.data()};
  if (vnni) {
    cq_kernels::prepare_int8_avx512(view, xq.data(), m, reinterpret_cast<int8_t*>(prepared.data()),
                                    prepared.data() + q_words);
  }
  auto kernel = [&](uint64_t r0, uint64_t r1, uint64_t v0, uint64_t v1) {
    if (vnni) {
      if (v1 - v0 == 1) {
        const cq_kernels::Int8Prepared one{px.q + v0 * s.padded_cols,
                                           px.corr + v0 * s.groups_per_row * 8,
                                           px.scales + v0 * s.groups_per_row};
        cq_kernels::matvec_int8_avx512(view, one, r0, r1, y.data() + v0 * s.rows);
      } else {
        cq_kernels::matmul_int8_avx512(view, px, r0, r1, v0, v1, y.data());
      }
      return;
    }
    if (isa != Isa::Portable) {
      if (v1 - v0 == 1) {
        cq_kernels::matvec_int8_avx2(view, xq.data() + v0 * s.padded_cols,
                                     xs.data() + v0 * s.groups_per_row, r0, r1,
                                     y.data() + v0 * s.rows);
      } else {
        cq_kernels::matmul_int8_avx2(view, xq.data(), xs.data(), r0, r1, v0, v1, y.data());
      }
      return;
    }
    for (uint64_t v = v0; v < v1; ++v)
      for (uint64_t r = r0; r < r1; ++r)
        y[v * s.rows + r] =
            row_dot(view, r, xq.data() + v * s.padded_cols, xs.data() + v * s.groups_per_row);
  };
  const uint64_t work = saturating_mul(saturating_mul(m, s.rows), s.padded_cols);
  if (pool != nullptr && m == 1 && work > cq_detail::kParallelVector && s.rows > 127) {
    const uint64_t chunk = cq_detail::row_chunk(s.rows, pool->threads(), 16);
    cq_detail::split(*pool, s.rows, chunk, [&](uint64_t r0, uint64_t r1) { kernel(r0, r1, 0, 1); });
  } else if (pool != nullptr && work > cq_detail::kParallelWork && s.rows > 127) {
    const uint64_t chunk = cq_detail::row_chunk(s.rows, pool->threads(), 16);
    cq_detail::split(*pool, s.rows, chunk, [&](uint64_t r0, uint64_t r1) { kernel(r0, r1, 0, m); });
  } else if (pool != nullptr && work > cq_detail::kParallelWork && m > 15) {
    const uint64_t chunk = std::max<uint64_t>(ceil_div(m, pool->threads()), 8);
    cq_detail::split(*pool, m, chunk, [&](uint64_t v0, uint64_t v1) { kernel(0, s.rows, v0, v1); });
  } else {
    kernel(0, s.rows, 0, m);
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
