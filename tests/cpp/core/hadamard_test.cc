#include "core/hadamard.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace pinnet::core {
namespace {

std::vector<float> random_vector(size_t n, std::mt19937& rng) {
  std::uniform_real_distribution<float> dist(-4.0f, 4.0f);
  std::vector<float> v(n);
  for (float& x : v) x = dist(rng);
  return v;
}

// The plain definition: butterflies in natural order, then one multiply by
// 1/sqrt(n) computed in single precision.
void reference_fwht(float* x, size_t n) {
  for (size_t h = 1; h < n; h *= 2) {
    for (size_t i = 0; i < n; i += 2 * h) {
      for (size_t j = i; j < i + h; ++j) {
        const float a = x[j];
        const float b = x[j + h];
        x[j] = a + b;
        x[j + h] = a - b;
      }
    }
  }
  const float s = 1.0f / std::sqrt(static_cast<float>(n));
  for (size_t i = 0; i < n; ++i) x[i] *= s;
}

// H_n x / sqrt(n) from the matrix entries (-1)^popcount(i & j), in double.
std::vector<double> matrix_fwht(const std::vector<float>& x) {
  const size_t n = x.size();
  std::vector<double> out(n, 0.0);
  for (size_t i = 0; i < n; ++i) {
    for (size_t j = 0; j < n; ++j) {
      out[i] += (__builtin_popcountll(i & j) % 2 ? -1.0 : 1.0) * x[j];
    }
    out[i] /= std::sqrt(double(n));
  }
  return out;
}

void expect_same_bits(const std::vector<float>& a, const std::vector<float>& b) {
  ASSERT_EQ(a.size(), b.size());
  EXPECT_EQ(std::memcmp(a.data(), b.data(), a.size() * sizeof(float)), 0);
}

template <class F>
std::string invalid_argument_text(F&& f) {
  try {
    f();
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "<no std::invalid_argument>";
}

TEST(Fwht, LengthOneIsUnchanged) {
  std::vector<float> x{-3.25f};
  fwht(x);
  EXPECT_EQ(x[0], -3.25f);
}

TEST(Fwht, LengthTwoIsScaledSumAndDifference) {
  const float a = 1.7f, b = -0.3f;
  std::vector<float> x{a, b};
  fwht(x);
  const float s = 1.0f / std::sqrt(2.0f);
  EXPECT_EQ(x[0], (a + b) * s);
  EXPECT_EQ(x[1], (a - b) * s);
}

TEST(Fwht, BitIdenticalToTheScalarDefinition) {
  std::mt19937 rng(7);
  for (size_t n = 1; n <= 8192; n *= 2) {
    std::vector<float> x = random_vector(n, rng);
    std::vector<float> want = x;
    reference_fwht(want.data(), n);
    fwht(x);
    SCOPED_TRACE(n);
    expect_same_bits(x, want);
  }
}

TEST(Fwht, NonFiniteValuesPropagateLikeTheScalarDefinition) {
  std::mt19937 rng(8);
  std::vector<float> x = random_vector(64, rng);
  x[3] = std::numeric_limits<float>::infinity();
  x[17] = std::numeric_limits<float>::quiet_NaN();
  x[40] = -std::numeric_limits<float>::infinity();
  std::vector<float> want = x;
  reference_fwht(want.data(), want.size());
  fwht(x);
  expect_same_bits(x, want);
}

TEST(Fwht, MatchesTheHadamardMatrix) {
  std::mt19937 rng(9);
  for (size_t n : {4u, 16u, 128u}) {
    std::vector<float> x = random_vector(n, rng);
    const std::vector<double> want = matrix_fwht(x);
    fwht(x);
    for (size_t i = 0; i < n; ++i) EXPECT_NEAR(x[i], want[i], 1e-5 * std::sqrt(double(n)));
  }
}

TEST(Fwht, TwiceIsTheIdentity) {
  std::mt19937 rng(10);
  for (size_t n : {2u, 8u, 64u, 1024u}) {
    const std::vector<float> x0 = random_vector(n, rng);
    std::vector<float> x = x0;
    fwht(x);
    fwht(x);
    for (size_t i = 0; i < n; ++i) EXPECT_NEAR(x[i], x0[i], 1e-5);
  }
}

TEST(Fwht, RejectsLengthsThatAreNotPowersOfTwo) {
  for (size_t n : {0u, 3u, 6u, 12u, 1000u}) {
    std::vector<float> x(n, 1.0f);
    EXPECT_EQ(invalid_argument_text([&] { fwht(x); }), "FWHT length must be a power of two");
  }
}

TEST(PadAndRotate, PadsWithZerosBeforeTheTransform) {
  std::mt19937 rng(11);
  const std::vector<float> src = random_vector(5, rng);
  std::vector<float> dst(8, 123.0f);
  pad_and_rotate(src, 8, dst);
  std::vector<float> want{src[0], src[1], src[2], src[3], src[4], 0.0f, 0.0f, 0.0f};
  reference_fwht(want.data(), 8);
  expect_same_bits(dst, want);
  for (float v : dst) EXPECT_NE(v, 0.0f);
}

TEST(PadAndRotate, TransformsEachBlockIndependently) {
  std::mt19937 rng(12);
  const std::vector<float> src = random_vector(10, rng);
  std::vector<float> dst(16);
  pad_and_rotate(src, 8, dst);
  std::vector<float> first(src.begin(), src.begin() + 8);
  std::vector<float> second{src[8], src[9], 0, 0, 0, 0, 0, 0};
  reference_fwht(first.data(), 8);
  reference_fwht(second.data(), 8);
  expect_same_bits(std::vector<float>(dst.begin(), dst.begin() + 8), first);
  expect_same_bits(std::vector<float>(dst.begin() + 8, dst.end()), second);

  // Changing an element of the first block leaves the second block alone.
  std::vector<float> changed = src;
  changed[2] += 1.0f;
  std::vector<float> dst2(16);
  pad_and_rotate(changed, 8, dst2);
  expect_same_bits(std::vector<float>(dst2.begin() + 8, dst2.end()), second);
}

TEST(PadAndRotate, LeavesATrailingPartialBlockAsCopied) {
  const std::vector<float> src{1, 2, 3, 4, 5, 6};
  std::vector<float> dst(6);
  pad_and_rotate(src, 4, dst);
  std::vector<float> head{1, 2, 3, 4};
  reference_fwht(head.data(), 4);
  expect_same_bits(std::vector<float>(dst.begin(), dst.begin() + 4), head);
  EXPECT_EQ(dst[4], 5.0f);
  EXPECT_EQ(dst[5], 6.0f);
}

TEST(PadAndRotate, FatalMessages) {
  const std::vector<float> src(8, 1.0f);
  std::vector<float> dst(12);
  EXPECT_EQ(invalid_argument_text([&] { pad_and_rotate(src, 6, dst); }),
            "FWHT length must be a power of two");
  EXPECT_EQ(invalid_argument_text([&] { pad_and_rotate(src, 0, dst); }),
            "chunk size must be non-zero");
  std::vector<float> small(4);
  EXPECT_THROW(pad_and_rotate(src, 4, small), std::out_of_range);
}

}  // namespace
}  // namespace pinnet::core
