#include "core/int4.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "core/checked_math.h"
#include "core/simd/int4_kernels.h"

namespace pinnet::core {
namespace {

constexpr uint64_t kMaxGroupRows = 32;

// Input rows the product reads: rows past in_features meet a zero input.
uint64_t rows_read(uint64_t in_features, uint64_t groups, uint64_t group_rows) {
  uint64_t covered = 0;
  if (mul_overflows(groups, group_rows, &covered)) return in_features;
  return std::min(in_features, covered);
}

// Packed bytes the product reads for `rows` input rows; false on overflow.
bool packed_bytes_read(uint64_t rows, uint64_t out_features, uint64_t* bytes) {
  return !mul_overflows(ceil_div(rows, 2), out_features, bytes);
}

int4_kernels::View checked_view(const Int4Linear& l) {
  const uint64_t rows = rows_read(l.in_features, l.groups, l.group_rows);
  if (rows > 0 && l.group_rows != std::min(l.in_features, kMaxGroupRows)) {
    throw std::invalid_argument("int4 layer: group_rows must be min(in_features, 32)");
  }
  uint64_t bytes = 0, scale_count = 0;
  if (rows > 0 && (!packed_bytes_read(rows, l.out_features, &bytes) || l.packed.size() < bytes)) {
    throw std::invalid_argument("int4 layer: packed bytes shorter than the product reads");
  }
  if (rows > 0 && (mul_overflows(ceil_div(rows, l.group_rows), l.out_features, &scale_count) ||
                   l.scales.size() < scale_count)) {
    throw std::invalid_argument("int4 layer: fewer scales than the product reads");
  }
  return int4_kernels::View{l.packed.data(), l.scales.data(), l.out_features, rows, l.group_rows};
}

Isa product_isa(Isa wanted) {
  if (!isa_supported(wanted)) {
    throw std::invalid_argument(std::string("int4 layer: instruction set not supported: ") +
                                isa_name(wanted));
  }
  // AVX-512 machines run the AVX2 kernels: no 16-column kernel has been
  // written and measured faster yet.
#ifdef PINNET_X86_KERNELS
  return wanted == Isa::Portable ? Isa::Portable : Isa::Avx2;
#else
  return Isa::Portable;  // no vector kernels for this processor
#endif
}

// Two's-complement nibbles: (u ^ 8) - 8 maps 0..7 to itself and 8..15 to -8..-1.
inline int low_nibble(uint8_t byte) { return ((byte & 0xF) ^ 8) - 8; }
inline int high_nibble(uint8_t byte) { return ((byte >> 4) ^ 8) - 8; }

// The product in its written order: y[o] += (low·a + high·b)·scale, pair by
// pair, for columns [c0, c1) of one input row.
void matvec_portable(const int4_kernels::View& v, const float* x, uint64_t c0, uint64_t c1,
                     float* y) {
  std::fill(y + c0, y + c1, 0.0f);
  const uint64_t pairs = (v.rows + 1) / 2;
  for (uint64_t k = 0; k < pairs; ++k) {
    const float a = x[2 * k];
    const float b = 2 * k + 1 < v.rows ? x[2 * k + 1] : 0.0f;
    const uint8_t* bytes = v.packed + k * v.out;
    const float* scale = v.scales + (2 * k / v.group_rows) * v.out;
    for (uint64_t o = c0; o < c1; ++o) {
      y[o] += (static_cast<float>(low_nibble(bytes[o])) * a +
               static_cast<float>(high_nibble(bytes[o])) * b) *
              scale[o];
    }
  }
}

// Rows [0, n) of x into y for columns [c0, c1) on the chosen path.
void run_columns([[maybe_unused]] Isa isa, const int4_kernels::View& v, const float* x, uint64_t in, size_t n,
                 uint64_t c0, uint64_t c1, float* y) {
  if (v.rows == 0) {
    for (size_t r = 0; r < n; ++r) std::fill(y + r * v.out + c0, y + r * v.out + c1, 0.0f);
    return;
  }
#ifdef PINNET_X86_KERNELS
  if (isa != Isa::Portable) return int4_kernels::matmul_avx2(v, x, in, n, c0, c1, y, v.out);
#endif
  for (size_t r = 0; r < n; ++r) matvec_portable(v, x + r * in, c0, c1, y + r * v.out);
}

void check_rows(const Int4Linear& l, size_t x_size, size_t n, size_t y_size) {
  uint64_t x_need = 0, y_need = 0;
  if (mul_overflows(n, l.in_features, &x_need) || x_size != x_need) {
    throw std::invalid_argument("int4 product: x must hold n x in_features floats");
  }
  if (mul_overflows(n, l.out_features, &y_need) || y_size != y_need) {
    throw std::invalid_argument("int4 product: y must hold n x out_features floats");
  }
}

}  // namespace

Result<Int4Linear, std::string> quantize_int4(std::span<const float> weights, uint64_t in_features,
                                              uint64_t out_features) {
  if (in_features == 0) return Err{std::string("int4 quantize: in_features must be positive")};
  uint64_t count = 0;
  if (mul_overflows(in_features, out_features, &count) || weights.size() != count) {
    return Err{"int4 quantize: weights hold " + std::to_string(weights.size()) +
               " floats, want " + std::to_string(in_features) + " x " +
               std::to_string(out_features)};
  }
  const uint64_t out = out_features;
  const uint64_t g = std::min(in_features, kMaxGroupRows);
  const uint64_t groups = ceil_div(in_features, g);
  const uint64_t padded = groups * g;
  Int4Linear l;
  l.in_features = in_features;
  l.out_features = out;
  l.groups = groups;
  l.group_rows = g;
  l.scales.assign(groups * out, 0.0f);
  l.packed.assign(ceil_div(padded, 2) * out, 0);

  // Row i of the float matrix, or nullptr for a padding row (all zero).
  auto row = [&](uint64_t i) { return i < in_features ? weights.data() + i * out : nullptr; };
  for (uint64_t q = 0; q < groups; ++q) {
    float* scale = l.scales.data() + q * out;  // holds the group's amax until the last line
    for (uint64_t i = q * g; i < std::min((q + 1) * g, in_features); ++i) {
      const float* w = row(i);
      for (uint64_t o = 0; o < out; ++o) scale[o] = std::max(scale[o], std::fabs(w[o]));
    }
    for (uint64_t o = 0; o < out; ++o) scale[o] = std::max(scale[o] / 7.0f, 1e-8f);
  }
  auto quantize = [&](const float* w, uint64_t o, const float* scale) -> int {
    if (w == nullptr) return 0;
    const float v = std::round(w[o] / scale[o]);  // half away from zero
    // A NaN weight (or an infinite one, over an infinite scale) becomes 0:
    // converting NaN to an integer is undefined.
    if (std::isnan(v)) return 0;
    return static_cast<int>(std::clamp(v, -8.0f, 7.0f));
  };
  for (uint64_t k = 0; k < ceil_div(padded, 2); ++k) {
    const float* lo = row(2 * k);
    const float* hi = row(2 * k + 1);
    const float* scale = l.scales.data() + (2 * k / g) * out;
    uint8_t* bytes = l.packed.data() + k * out;
    for (uint64_t o = 0; o < out; ++o) {
      const unsigned low = static_cast<unsigned>(quantize(lo, o, scale)) & 0xF;
      const unsigned high = static_cast<unsigned>(quantize(hi, o, scale)) & 0xF;
      bytes[o] = static_cast<uint8_t>(high << 4 | low);
    }
  }
  return l;
}

Result<Int4Linear, std::string> int4_from_packed(std::vector<uint8_t> packed,
                                                 std::vector<float> scales, uint64_t in_features,
                                                 uint64_t out_features) {
  if (out_features == 0 ? !scales.empty() : scales.size() % out_features != 0) {
    return Err{"int4 layer: " + std::to_string(scales.size()) +
               " scales are not a multiple of out_features " + std::to_string(out_features)};
  }
  Int4Linear l;
  l.in_features = in_features;
  l.out_features = out_features;
  l.groups = out_features == 0 ? 0 : scales.size() / out_features;
  l.group_rows = std::min(in_features, kMaxGroupRows);
  const uint64_t rows = rows_read(in_features, l.groups, l.group_rows);
  uint64_t need = 0;
  const bool fits = packed_bytes_read(rows, out_features, &need);
  if (!fits || packed.size() < need) {
    return Err{"int4 layer: packed tensor holds " + std::to_string(packed.size()) +
               " bytes, the product reads " +
               (fits ? std::to_string(need) : std::string("more than 2^64"))};
  }
  l.packed = std::move(packed);
  l.scales = std::move(scales);
  return l;
}

void int4_matvec(const Int4Linear& layer, std::span<const float> x, std::span<float> y) {
  int4_matvec_with(best_isa(), layer, x, y);
}

void int4_matvec_with(Isa isa, const Int4Linear& layer, std::span<const float> x,
                      std::span<float> y) {
  if (x.size() != layer.in_features) {
    throw std::invalid_argument("int4_matvec: x must hold in_features floats");
  }
  if (y.size() != layer.out_features) {
    throw std::invalid_argument("int4_matvec: y must hold out_features floats");
  }
  int4_matmul_rows_with(isa, layer, x, 1, y);
}

void int4_matmul_rows_with(Isa wanted, const Int4Linear& layer, std::span<const float> x, size_t n,
                           std::span<float> y) {
  check_rows(layer, x.size(), n, y.size());
  const Isa isa = product_isa(wanted);
  const int4_kernels::View v = checked_view(layer);
  run_columns(isa, v, x.data(), layer.in_features, n, 0, layer.out_features, y.data());
}

void int4_matmul_rows(const Int4Linear& layer, std::span<const float> x, size_t n,
                      std::span<float> y) {
  int4_matmul_rows_with(best_isa(), layer, x, n, y);
}

}  // namespace pinnet::core
