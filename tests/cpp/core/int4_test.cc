#include "core/int4.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

namespace pinnet::core {
namespace {

const Isa kAllIsas[] = {Isa::Portable, Isa::Avx2,    Isa::Avx512,
                        Isa::Neon,     Isa::NeonDot, Isa::NeonI8mm};

// ---- an independent, straightforward model of the format ----

struct RefQuant {
  uint64_t g, groups;
  std::vector<int> q;        // padded rows x out, row-major
  std::vector<float> scale;  // groups x out
};

RefQuant ref_quantize(const std::vector<float>& w, uint64_t in, uint64_t out) {
  RefQuant r;
  r.g = in < 32 ? in : 32;
  r.groups = (in + r.g - 1) / r.g;
  const uint64_t padded = r.groups * r.g;
  r.scale.resize(r.groups * out);
  r.q.assign(padded * out, 0);
  for (uint64_t grp = 0; grp < r.groups; ++grp) {
    for (uint64_t o = 0; o < out; ++o) {
      float amax = 0;
      for (uint64_t i = grp * r.g; i < (grp + 1) * r.g && i < in; ++i) {
        amax = std::max(amax, std::fabs(w[i * out + o]));
      }
      const float s = std::max(amax / 7.0f, 1e-8f);
      r.scale[grp * out + o] = s;
      for (uint64_t i = grp * r.g; i < (grp + 1) * r.g && i < in; ++i) {
        const float t = w[i * out + o] / s;
        // Half away from zero, written out.
        float v = std::floor(std::fabs(t) + 0.5f);
        if (t < 0) v = -v;
        r.q[i * out + o] = static_cast<int>(std::min(7.0f, std::max(-8.0f, v)));
      }
    }
  }
  return r;
}

// Value of row i, column o in a layer's packed bytes.
int unpack(const Int4Linear& l, uint64_t i, uint64_t o) {
  const uint8_t byte = l.packed[(i / 2) * l.out_features + o];
  const int nib = (i % 2 == 0) ? (byte & 0xF) : (byte >> 4);
  return nib >= 8 ? nib - 16 : nib;
}

// Σ_i Q[i][o]·scale·x[i] in double, and Σ |Q·scale·x| for tolerances.
void ref_product(const Int4Linear& l, const std::vector<float>& x, std::vector<double>& y,
                 std::vector<double>& mag) {
  y.assign(l.out_features, 0.0);
  mag.assign(l.out_features, 0.0);
  const uint64_t rows = std::min(l.in_features, l.groups * l.group_rows);
  for (uint64_t i = 0; i < rows; ++i) {
    for (uint64_t o = 0; o < l.out_features; ++o) {
      const double t = double(unpack(l, i, o)) * l.scales[(i / l.group_rows) * l.out_features + o] * x[i];
      y[o] += t;
      mag[o] += std::fabs(t);
    }
  }
}

std::vector<float> random_floats(size_t n, std::mt19937& rng, float lo = -1, float hi = 1) {
  std::uniform_real_distribution<float> d(lo, hi);
  std::vector<float> v(n);
  for (float& f : v) f = d(rng);
  return v;
}

Int4Linear quantized(const std::vector<float>& w, uint64_t in, uint64_t out) {
  auto r = quantize_int4(w, in, out);
  if (!r.ok()) throw std::runtime_error(r.error());
  return std::move(r).value();
}

// ---- quantiser ----

struct QuantCase {
  const char* name;
  uint64_t in, out;
  int fill;  // 0 random, 1 column 1 all zero, 2 values at half steps
  uint64_t want_g, want_groups;
};

TEST(Int4Quantize, MatchesStraightforwardRecomputation) {
  const QuantCase cases[] = {
      {"in5", 5, 3, 0, 5, 1},          {"in40_padding", 40, 9, 0, 32, 2},
      {"zero_column", 64, 4, 1, 32, 2}, {"half_steps", 32, 6, 2, 32, 1},
      {"one_row", 1, 17, 0, 1, 1},     {"in33", 33, 8, 0, 32, 2},
  };
  std::mt19937 rng(7);
  for (const QuantCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<float> w = random_floats(c.in * c.out, rng, -3, 3);
    if (c.fill == 1) {
      for (uint64_t i = 0; i < c.in; ++i) w[i * c.out + 1] = 0.0f;
    } else if (c.fill == 2) {
      // Column maxima 7, so the scale is 1 and ±k.5 must round away from zero.
      for (uint64_t i = 0; i < c.in; ++i)
        for (uint64_t o = 0; o < c.out; ++o) w[i * c.out + o] = float(int(i % 15) - 7) + (o % 2 ? 0.5f : 0.0f);
      for (uint64_t o = 0; o < c.out; ++o) w[o] = 7.0f;
    }
    const Int4Linear l = quantized(w, c.in, c.out);
    const RefQuant r = ref_quantize(w, c.in, c.out);
    EXPECT_EQ(l.in_features, c.in);
    EXPECT_EQ(l.out_features, c.out);
    EXPECT_EQ(l.group_rows, c.want_g);
    EXPECT_EQ(l.groups, c.want_groups);
    const uint64_t padded = c.want_g * c.want_groups;
    EXPECT_EQ(l.packed.size(), (padded + 1) / 2 * c.out);
    EXPECT_EQ(l.scales, r.scale);
    for (uint64_t i = 0; i < (padded + 1) / 2 * 2; ++i)
      for (uint64_t o = 0; o < c.out; ++o)
        ASSERT_EQ(unpack(l, i, o), i < padded ? r.q[i * c.out + o] : 0) << "row " << i << " col " << o;
    // The largest magnitude of every group and column is exactly ±7 (or the
    // column is zero with scale 1e-8).
    for (uint64_t grp = 0; grp < l.groups; ++grp)
      for (uint64_t o = 0; o < c.out; ++o) {
        int biggest = 0;
        for (uint64_t i = grp * l.group_rows; i < (grp + 1) * l.group_rows; ++i)
          biggest = std::max(biggest, std::abs(unpack(l, i, o)));
        const bool zero = l.scales[grp * c.out + o] == 1e-8f;
        EXPECT_EQ(biggest, zero ? 0 : 7) << "group " << grp << " col " << o;
      }
    if (c.fill == 1) {
      for (uint64_t grp = 0; grp < l.groups; ++grp) EXPECT_EQ(l.scales[grp * c.out + 1], 1e-8f);
    }
  }
}

TEST(Int4Quantize, HalfStepsRoundAwayFromZero) {
  // Scale 1 (column maximum 7): 2.5 -> 3, -2.5 -> -3, 0.5 -> 1, -0.5 -> -1.
  const std::vector<float> w = {7.0f, 2.5f, -2.5f, 0.5f, -0.5f, -7.0f};
  const Int4Linear l = quantized(w, 6, 1);
  const int want[] = {7, 3, -3, 1, -1, -7};
  for (uint64_t i = 0; i < 6; ++i) EXPECT_EQ(unpack(l, i, 0), want[i]) << i;
}

TEST(Int4Quantize, NonFiniteWeightsBecomeZero) {
  // Column 0: a NaN among finite weights; column 1: an infinite maximum makes
  // the scale infinite, so the infinity itself is NaN over it.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const std::vector<float> w = {7.0f, inf, nan, 1.0f, -7.0f, -inf};
  const Int4Linear l = quantized(w, 3, 2);
  const int want[3][2] = {{7, 0}, {0, 0}, {-7, 0}};
  for (uint64_t i = 0; i < 3; ++i)
    for (uint64_t o = 0; o < 2; ++o) EXPECT_EQ(unpack(l, i, o), want[i][o]) << i << "," << o;
}

TEST(Int4FromPacked, MinusEightReadsAsMinusEight) {
  // Both nibbles -8 (0x88), scale 1: y = -8·1 + -8·2.
  auto r = int4_from_packed({0x88, 0x8F}, {1.0f, 0.5f}, 2, 2);
  ASSERT_TRUE(r.ok()) << r.error();
  const std::vector<float> x = {1.0f, 2.0f};
  for (Isa isa : kAllIsas) {
    if (!isa_supported(isa)) continue;
    std::vector<float> y(2);
    int4_matvec_with(isa, r.value(), x, y);
    EXPECT_EQ(y[0], -24.0f) << isa_name(isa);
    EXPECT_EQ(y[1], (-1.0f - 16.0f) * 0.5f) << isa_name(isa);  // low 0xF = -1
  }
}

// ---- products ----

struct ProductCase {
  uint64_t in, out;
};
const ProductCase kShapes[] = {{1, 1},   {2, 8},   {5, 3},    {7, 33},   {31, 9},  {33, 17},
                               {40, 9},  {64, 8},  {67, 31},  {96, 40},  {130, 100},
                               {255, 77}, {512, 129}};

TEST(Int4Product, EveryPathMatchesPortableAndTheReference) {
  std::mt19937 rng(11);
  for (const ProductCase& c : kShapes) {
    SCOPED_TRACE("in " + std::to_string(c.in) + " out " + std::to_string(c.out));
    const Int4Linear l = quantized(random_floats(c.in * c.out, rng), c.in, c.out);
    const std::vector<float> x = random_floats(c.in, rng, -2, 2);
    std::vector<double> want, mag;
    ref_product(l, x, want, mag);
    std::vector<float> portable(c.out);
    int4_matvec_with(Isa::Portable, l, x, portable);
    for (Isa isa : kAllIsas) {
      if (!isa_supported(isa)) continue;
      std::vector<float> y(c.out, 123.0f);
      int4_matvec_with(isa, l, x, y);
      for (uint64_t o = 0; o < c.out; ++o) {
        const double tol = 1e-5 * (mag[o] + 1e-30);
        ASSERT_NEAR(y[o], portable[o], tol) << isa_name(isa) << " col " << o;
        ASSERT_NEAR(y[o], want[o], tol) << isa_name(isa) << " col " << o;
      }
    }
  }
}

TEST(Int4Product, MatmulRowsEqualMatvec) {
  std::mt19937 rng(12);
  const ProductCase shapes[] = {{5, 3}, {40, 9}, {67, 31}, {130, 100}, {256, 72}};
  for (const ProductCase& c : shapes) {
    const Int4Linear l = quantized(random_floats(c.in * c.out, rng), c.in, c.out);
    for (size_t n : {size_t(0), size_t(1), size_t(3), size_t(4), size_t(5), size_t(9), size_t(17)}) {
      SCOPED_TRACE("in " + std::to_string(c.in) + " out " + std::to_string(c.out) + " n " +
                   std::to_string(n));
      const std::vector<float> x = random_floats(n * c.in, rng);
      for (Isa isa : kAllIsas) {
        if (!isa_supported(isa)) continue;
        std::vector<float> y(n * c.out);
        int4_matmul_rows_with(isa, l, x, n, y);
        std::vector<float> row(c.out);
        for (size_t r = 0; r < n; ++r) {
          int4_matvec_with(isa, l, std::span<const float>(x).subspan(r * c.in, c.in), row);
          for (uint64_t o = 0; o < c.out; ++o) ASSERT_EQ(y[r * c.out + o], row[o]) << isa_name(isa);
        }
      }
    }
  }
}

TEST(Int4Product, DefaultPathEqualsTheBestInstructionSet) {
  std::mt19937 rng(13);
  const uint64_t in = 512, out = 520;
  const size_t n = 70;
  const Int4Linear l = quantized(random_floats(in * out, rng), in, out);
  const std::vector<float> x = random_floats(n * in, rng);
  std::vector<float> chosen(n * out), explicit_isa(n * out);
  int4_matmul_rows(l, x, n, chosen);
  int4_matmul_rows_with(best_isa(), l, x, n, explicit_isa);
  EXPECT_EQ(chosen, explicit_isa);
}

TEST(Int4FromPacked, SameProductAsTheQuantisedLayerAndFewerGroupsReadFewerRows) {
  std::mt19937 rng(14);
  const Int4Linear q = quantized(random_floats(64 * 24, rng), 64, 24);
  auto same = int4_from_packed(q.packed, q.scales, 64, 24);
  ASSERT_TRUE(same.ok()) << same.error();
  EXPECT_EQ(same.value().groups, 2u);
  EXPECT_EQ(same.value().group_rows, 32u);
  const std::vector<float> x = random_floats(64, rng);
  std::vector<float> a(24), b(24);
  int4_matvec(q, x, a);
  int4_matvec(same.value(), x, b);
  EXPECT_EQ(a, b);

  // One group of scales: only rows 0..31 are read, so 16 pairs of bytes suffice.
  std::vector<uint8_t> half(q.packed.begin(), q.packed.begin() + 16 * 24);
  std::vector<float> one_group(q.scales.begin(), q.scales.begin() + 24);
  auto first = int4_from_packed(half, one_group, 64, 24);
  ASSERT_TRUE(first.ok()) << first.error();
  std::vector<float> x_first = x;
  std::fill(x_first.begin() + 32, x_first.end(), 0.0f);
  for (Isa isa : kAllIsas) {
    if (!isa_supported(isa)) continue;
    int4_matvec_with(isa, first.value(), x, a);
    int4_matvec_with(isa, q, x_first, b);
    EXPECT_EQ(a, b) << isa_name(isa);
  }
}

// ---- errors ----

TEST(Int4Errors, RejectedInputs) {
  EXPECT_FALSE(quantize_int4(std::vector<float>(6), 0, 6).ok());
  EXPECT_FALSE(quantize_int4(std::vector<float>(5), 2, 3).ok());
  EXPECT_FALSE(quantize_int4(std::vector<float>(7), 2, 3).ok());
  EXPECT_FALSE(quantize_int4(std::vector<float>(1), uint64_t(1) << 33, uint64_t(1) << 31).ok());

  struct PackedCase {
    size_t packed, scales;
    uint64_t in, out;
    bool ok;
  };
  const PackedCase cases[] = {
      {3 * 4, 4, 5, 4, true},      // in 5: 3 pairs x 4 columns
      {3 * 4 - 1, 4, 5, 4, false},  // one byte short
      {16 * 4, 8, 64, 4, false},    // two groups read 32 pairs
      {32 * 4, 8, 64, 4, true},
      {32 * 4, 7, 64, 4, false},    // scales not a multiple of out
      {0, 0, 64, 4, true},          // no groups: nothing is read
      {0, 1, 64, 0, false},
  };
  for (const PackedCase& c : cases) {
    auto r = int4_from_packed(std::vector<uint8_t>(c.packed), std::vector<float>(c.scales, 1.0f), c.in, c.out);
    EXPECT_EQ(r.ok(), c.ok) << c.packed << " bytes, " << c.scales << " scales, " << c.in << "x" << c.out
                            << (r.ok() ? "" : ": " + r.error());
  }
}

TEST(Int4Errors, LengthMismatchesThrow) {
  const Int4Linear l = quantized(std::vector<float>(40 * 9, 0.5f), 40, 9);
  std::vector<float> x(40), y(9), x2(80), y2(18);
  for (Isa isa : kAllIsas) {
    if (!isa_supported(isa)) continue;
    EXPECT_THROW(int4_matvec_with(isa, l, std::span<const float>(x).first(39), y), std::invalid_argument);
    EXPECT_THROW(int4_matvec_with(isa, l, x, std::span<float>(y).first(8)), std::invalid_argument);
    EXPECT_THROW(int4_matmul_rows_with(isa, l, x2, 2, std::span<float>(y2).first(17)), std::invalid_argument);
    EXPECT_THROW(int4_matmul_rows_with(isa, l, x2, 3, y2), std::invalid_argument);
  }
  EXPECT_THROW(int4_matvec(l, x, std::span<float>(y).first(8)), std::invalid_argument);
  EXPECT_THROW(int4_matmul_rows(l, std::span<const float>(x2).first(79), 2, y2), std::invalid_argument);

  // A layer edited after construction is checked before it is read.
  // Rows 40..63 are padding and never read: 20 pairs x 9 columns suffice.
  Int4Linear shorter = l;
  shorter.packed.resize(20 * 9);
  EXPECT_NO_THROW(int4_matvec(shorter, x, y));
  shorter.packed.pop_back();
  EXPECT_THROW(int4_matvec(shorter, x, y), std::invalid_argument);
  Int4Linear fewer_scales = l;
  fewer_scales.scales.pop_back();
  EXPECT_THROW(int4_matvec(fewer_scales, x, y), std::invalid_argument);
}

}  // namespace
}  // namespace pinnet::core
