#include "core/kernels.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

namespace pinnet::core {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// Lengths around the 8-lane blocks and their tails.
const size_t kLengths[] = {1, 2, 3, 7, 8, 9, 15, 16, 17, 31, 64, 100, 1023};

std::vector<float> random_vector(size_t n, std::mt19937& rng, float lo = -3.0f, float hi = 3.0f) {
  std::uniform_real_distribution<float> dist(lo, hi);
  std::vector<float> v(n);
  for (float& x : v) x = dist(rng);
  return v;
}

// ---- scalar references, in double ----

double ref_inv_rms(const std::vector<float>& x) {
  double ss = 0;
  for (float v : x) ss += double(v) * v;
  return 1.0 / std::sqrt(ss / double(x.size()) + 1e-6);
}

std::vector<double> ref_softmax(const std::vector<float>& s) {
  double m = -INFINITY;
  for (float v : s) m = std::max(m, double(v));
  std::vector<double> e(s.size());
  double sum = 0;
  for (size_t i = 0; i < s.size(); ++i) sum += e[i] = std::exp(double(s[i]) - m);
  for (double& v : e) v /= sum;
  return e;
}

std::vector<double> ref_sinkhorn(const std::vector<float>& in, size_t n, int iterations) {
  std::vector<double> m(in.begin(), in.begin() + n * n);
  for (int it = 0; it < iterations; ++it) {
    for (size_t r = 0; r < n; ++r) {
      double a = -INFINITY, s = 0;
      for (size_t j = 0; j < n; ++j) a = std::max(a, m[r * n + j]);
      for (size_t j = 0; j < n; ++j) s += std::exp(m[r * n + j] - a);
      for (size_t j = 0; j < n; ++j) m[r * n + j] -= a + std::log(s);
    }
    for (size_t c = 0; c < n; ++c) {
      double b = -INFINITY, s = 0;
      for (size_t r = 0; r < n; ++r) b = std::max(b, m[r * n + c]);
      for (size_t r = 0; r < n; ++r) s += std::exp(m[r * n + c] - b);
      for (size_t r = 0; r < n; ++r) m[r * n + c] -= b + std::log(s);
    }
  }
  for (double& v : m) v = std::exp(v);
  return m;
}

double ref_angle(size_t p, size_t j, size_t head_dim, double theta) {
  return double(p) / std::pow(theta, 2.0 * double(j) / double(head_dim));
}

// ---- normalisations ----

TEST(RmsNormOffset, MatchesReference) {
  std::mt19937 rng(1);
  for (size_t n : kLengths) {
    std::vector<float> x = random_vector(n, rng), w = random_vector(n, rng, -0.5f, 0.5f);
    const double inv = ref_inv_rms(x);
    std::vector<float> got = x;
    rms_norm_offset(got, w);
    for (size_t i = 0; i < n; ++i) {
      const double want = double(x[i]) * (1.0 + w[i]) * inv;
      ASSERT_NEAR(got[i], want, 1e-5 * (1 + std::fabs(want))) << "n=" << n << " i=" << i;
    }
  }
}

TEST(RmsNormOffset, EpsilonIsInsideTheRoot) {
  // mean square 1e-6 plus epsilon 1e-6: the result is 1e-3 / sqrt(2e-6).
  std::vector<float> x = {1e-3f};
  rms_norm_offset(x, std::vector<float>{0.0f});
  EXPECT_NEAR(x[0], 1.0 / std::sqrt(2.0), 1e-5);
}

TEST(RmsNormOffset, ZeroWeightEqualsPlain) {
  std::mt19937 rng(2);
  for (size_t n : kLengths) {
    std::vector<float> x = random_vector(n, rng), plain(n);
    rms_norm_plain(x, plain);
    rms_norm_offset(x, std::vector<float>(n, 0.0f));
    // (1 + 0) is exactly 1, so both paths multiply the same two floats.
    for (size_t i = 0; i < n; ++i) ASSERT_EQ(x[i], plain[i]) << "n=" << n << " i=" << i;
  }
}

TEST(RmsNormOffset, ShorterWeightLeavesTailUntouched) {
  std::mt19937 rng(3);
  std::vector<float> x = random_vector(13, rng), w = random_vector(5, rng, -0.5f, 0.5f);
  const double inv = ref_inv_rms(x);  // over all 13 elements
  std::vector<float> got = x;
  rms_norm_offset(got, w);
  for (size_t i = 0; i < 5; ++i) EXPECT_NEAR(got[i], x[i] * (1.0 + w[i]) * inv, 1e-5);
  for (size_t i = 5; i < 13; ++i) EXPECT_EQ(got[i], x[i]) << i;
}

TEST(RmsNormOffset, LongerWeightUsesOnlyItsHead) {
  std::mt19937 rng(4);
  std::vector<float> x = random_vector(6, rng), w = random_vector(9, rng, -0.5f, 0.5f);
  const double inv = ref_inv_rms(x);
  std::vector<float> got = x;
  rms_norm_offset(got, w);
  for (size_t i = 0; i < 6; ++i) EXPECT_NEAR(got[i], x[i] * (1.0 + w[i]) * inv, 1e-5);
}

TEST(RmsNormOffset, ZeroAndEmptyVectors) {
  std::vector<float> zeros(17, 0.0f);
  rms_norm_offset(zeros, std::vector<float>(17, 0.25f));
  for (float v : zeros) EXPECT_EQ(v, 0.0f);
  std::vector<float> empty;
  rms_norm_offset(empty, empty);  // no division by a zero length
  std::vector<float> dst(3, 7.0f);
  rms_norm_plain(std::vector<float>(3, 0.0f), dst);
  for (float v : dst) EXPECT_EQ(v, 0.0f);
}

TEST(RmsNormPlain, InPlaceAndLongerDestination) {
  std::mt19937 rng(5);
  std::vector<float> x = random_vector(19, rng);
  const double inv = ref_inv_rms(x);
  std::vector<float> in_place = x;
  rms_norm_plain(in_place, in_place);
  std::vector<float> dst(25, -1.0f);
  rms_norm_plain(x, dst);
  for (size_t i = 0; i < 19; ++i) {
    EXPECT_NEAR(in_place[i], x[i] * inv, 1e-5);
    EXPECT_EQ(dst[i], in_place[i]);
  }
  for (size_t i = 19; i < 25; ++i) EXPECT_EQ(dst[i], -1.0f);
}

TEST(RmsNormPlain, ShortDestinationThrows) {
  std::vector<float> src(8, 1.0f), dst(7, 0.0f);
  EXPECT_THROW(rms_norm_plain(src, dst), std::out_of_range);
  for (float v : dst) EXPECT_EQ(v, 0.0f);
}

TEST(L2Normalize, MatchesReference) {
  std::mt19937 rng(6);
  for (size_t n : kLengths) {
    std::vector<float> y = random_vector(n, rng), got = y;
    double ss = 0;
    for (float v : y) ss += double(v) * v;
    l2_normalize(got);
    double norm = 0;
    for (size_t i = 0; i < n; ++i) {
      ASSERT_NEAR(got[i], y[i] / std::sqrt(ss + 1e-12), 1e-6) << "n=" << n;
      norm += double(got[i]) * got[i];
    }
    EXPECT_NEAR(norm, 1.0, 1e-5);
  }
}

TEST(L2Normalize, EpsilonIsOneEMinusTwelve) {
  // sum of squares 1e-14: 1e-7 / sqrt(1e-14 + 1e-12) ~ 0.0995; a 1e-6
  // epsilon would give ~1e-4.
  std::vector<float> y = {1e-7f};
  l2_normalize(y);
  EXPECT_NEAR(y[0], 1e-7 / std::sqrt(1.01e-12), 1e-5);
}

TEST(L2Normalize, ZeroVectorStaysZero) {
  std::vector<float> y(9, 0.0f);
  l2_normalize(y);
  for (float v : y) EXPECT_EQ(v, 0.0f);
}

// ---- gates and activations ----

TEST(Activations, MatchReferences) {
  const float points[] = {-80.0f, -10.0f, -3.0f, -1.0f, -0.1f, 0.0f, 0.1f, 0.5f, 1.0f, 2.5f, 10.0f, 80.0f};
  for (float z : points) {
    const double zd = z;
    const double sig = 1.0 / (1.0 + std::exp(-zd));
    EXPECT_NEAR(sigmoid(z), sig, 1e-6 * (1 + sig)) << z;
    EXPECT_NEAR(silu(z), zd * sig, 1e-6 * (1 + std::fabs(zd * sig))) << z;
    const double gelu = 0.5 * zd * (1.0 + std::tanh(0.7978846 * (zd + 0.044715 * zd * zd * zd)));
    EXPECT_NEAR(gelu_tanh(z), gelu, 1e-6 * (1 + std::fabs(gelu))) << z;
    EXPECT_EQ(relu(z), z > 0 ? z : 0.0f) << z;
  }
  // gelu_tanh(1) with these constants, not the erf form (0.841345).
  EXPECT_NEAR(gelu_tanh(1.0f), 0.841192, 1e-5);
}

TEST(Activations, InPlaceVersionsApplyElementwise) {
  std::mt19937 rng(7);
  for (size_t n : kLengths) {
    const std::vector<float> x = random_vector(n, rng, -6.0f, 6.0f);
    std::vector<float> s = x, si = x, g = x, r = x;
    sigmoid_inplace(s);
    silu_inplace(si);
    gelu_tanh_inplace(g);
    relu_inplace(r);
    for (size_t i = 0; i < n; ++i) {
      ASSERT_NEAR(s[i], sigmoid(x[i]), 1e-6);
      ASSERT_NEAR(si[i], silu(x[i]), 1e-6);
      ASSERT_NEAR(g[i], gelu_tanh(x[i]), 1e-6);
      ASSERT_EQ(r[i], relu(x[i]));
    }
  }
}

// ---- softmax ----

TEST(MaskedSoftmax, MatchesReference) {
  std::mt19937 rng(8);
  for (size_t n : kLengths) {
    std::vector<float> s = random_vector(n, rng, -20.0f, 20.0f);
    if (n > 2) s[1] = -kInf;  // one masked position
    const std::vector<double> want = ref_softmax(s);
    masked_softmax(s);
    double sum = 0;
    for (size_t i = 0; i < n; ++i) {
      ASSERT_NEAR(s[i], want[i], 1e-6 + 1e-5 * want[i]) << "n=" << n << " i=" << i;
      sum += s[i];
    }
    EXPECT_NEAR(sum, 1.0, 1e-5);
    if (n > 2) {
      EXPECT_EQ(s[1], 0.0f);
    }
  }
}

TEST(MaskedSoftmax, SubtractsTheMaximum) {
  std::vector<float> s = {1000.0f, 999.0f, -1000.0f};
  masked_softmax(s);
  EXPECT_NEAR(s[0], 1.0 / (1.0 + std::exp(-1.0)), 1e-6);
  EXPECT_NEAR(s[1], std::exp(-1.0) / (1.0 + std::exp(-1.0)), 1e-6);
  EXPECT_EQ(s[2], 0.0f);
}

TEST(MaskedSoftmax, AllMaskedIsUniform) {
  for (size_t n : {1, 3, 8, 11}) {
    std::vector<float> s(n, -kInf);
    masked_softmax(s);
    for (float v : s) EXPECT_FLOAT_EQ(v, 1.0f / float(n));
  }
}

TEST(MaskedSoftmax, NaNIsIgnoredByTheMaximum) {
  // A NaN taken as the maximum would turn every entry into NaN; ignored, the
  // maximum is -inf and the row is uniform.
  for (size_t nan_at : {0, 1, 2}) {
    std::vector<float> s(3, -kInf);
    s[nan_at] = kNaN;
    masked_softmax(s);
    for (float v : s) EXPECT_FLOAT_EQ(v, 1.0f / 3.0f) << nan_at;
  }
}

TEST(MaskedSoftmax, SingleScoreIsExactlyOne) {
  for (float v : {-5.0f, 0.0f, 3.5f, 1e30f}) {
    std::vector<float> s = {v};
    masked_softmax(s);
    EXPECT_EQ(s[0], 1.0f);  // exp(0) * (1 / 1)
  }
  std::vector<float> empty;
  masked_softmax(empty);
}

// ---- Sinkhorn ----

TEST(SinkhornProject, MatchesReference) {
  std::mt19937 rng(9);
  for (size_t n = 1; n <= 6; ++n) {
    std::vector<float> m = random_vector(n * n, rng, -2.0f, 2.0f);
    const std::vector<double> want = ref_sinkhorn(m, n, 20);
    sinkhorn_project(m, n);
    for (size_t i = 0; i < n * n; ++i) ASSERT_NEAR(m[i], want[i], 2e-6) << "n=" << n;
  }
}

TEST(SinkhornProject, RunsExactlyTwentyIterations) {
  // Slow to converge: iterations 19, 20 and 21 differ by 4e-4 to 1e-3.
  const std::vector<float> logits = {8.0f, 0.0f, 0.0f, 0.0f};
  std::vector<float> m = logits;
  sinkhorn_project(m, 2);
  const std::vector<double> at20 = ref_sinkhorn(logits, 2, 20);
  const std::vector<double> at19 = ref_sinkhorn(logits, 2, 19);
  const std::vector<double> at21 = ref_sinkhorn(logits, 2, 21);
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_NEAR(m[i], at20[i], 1e-5);
    EXPECT_GT(std::fabs(at19[i] - at20[i]), 2e-4);
    EXPECT_GT(std::fabs(at21[i] - at20[i]), 2e-4);
  }
}

TEST(SinkhornProject, RowsAndColumnsSumToOne) {
  std::mt19937 rng(10);
  for (size_t n : {2, 3, 4, 8}) {
    std::vector<float> m = random_vector(n * n, rng, -1.5f, 1.5f);
    sinkhorn_project(m, n);
    for (size_t i = 0; i < n; ++i) {
      double row = 0, col = 0;
      for (size_t j = 0; j < n; ++j) {
        ASSERT_GE(m[i * n + j], 0.0f);
        row += m[i * n + j];
        col += m[j * n + i];
      }
      EXPECT_NEAR(row, 1.0, 1e-3) << "n=" << n;
      EXPECT_NEAR(col, 1.0, 1e-5) << "n=" << n;
    }
  }
}

TEST(SinkhornProject, ZeroMatrixIsUniformAndOneByOneIsOne) {
  for (size_t n : {1, 2, 4, 7}) {
    std::vector<float> m(n * n, 0.0f);
    sinkhorn_project(m, n);
    for (float v : m) EXPECT_NEAR(v, 1.0 / double(n), 1e-6) << n;
  }
  std::vector<float> one = {-3.25f};
  sinkhorn_project(one, 1);
  EXPECT_FLOAT_EQ(one[0], 1.0f);
}

TEST(SinkhornProject, MaskedEntriesStayZero) {
  std::vector<float> m = {0.0f, -kInf, -kInf, 0.0f};
  sinkhorn_project(m, 2);
  EXPECT_NEAR(m[0], 1.0f, 1e-6);
  EXPECT_EQ(m[1], 0.0f);
  EXPECT_EQ(m[2], 0.0f);
  EXPECT_NEAR(m[3], 1.0f, 1e-6);
}

TEST(SinkhornProject, SliceLengthRules) {
  std::vector<float> short_slice(8, 0.0f);
  EXPECT_THROW(sinkhorn_project(short_slice, 3), std::out_of_range);
  for (float v : short_slice) EXPECT_EQ(v, 0.0f);
  // n*n overflowing size_t must not wrap into a small, "valid" size.
  EXPECT_THROW(sinkhorn_project(short_slice, size_t{1} << 32), std::out_of_range);
  std::vector<float> longer(6, 0.0f);
  longer[4] = longer[5] = 42.0f;
  sinkhorn_project(longer, 2);
  EXPECT_EQ(longer[4], 42.0f);
  EXPECT_EQ(longer[5], 42.0f);
  sinkhorn_project(std::span<float>(), 0);
}

// ---- RoPE ----

TEST(RopeTables, MatchTheFormula) {
  const size_t positions = 64, head_dim = 16;
  const float theta = 10000.0f;
  RopeTables t = build_rope_tables(positions, head_dim, theta);
  ASSERT_EQ(t.positions, positions);
  ASSERT_EQ(t.head_dim, head_dim);
  ASSERT_EQ(t.cos.size(), positions * 8);
  ASSERT_EQ(t.sin.size(), positions * 8);
  for (size_t p = 0; p < positions; ++p)
    for (size_t j = 0; j < 8; ++j) {
      const double a = ref_angle(p, j, head_dim, theta);
      // Single-precision angles drift by about p ulps of the frequency.
      const double tol = 2e-6 * (1.0 + double(p));
      ASSERT_NEAR(t.cos[p * 8 + j], std::cos(a), tol) << p << "," << j;
      ASSERT_NEAR(t.sin[p * 8 + j], std::sin(a), tol) << p << "," << j;
    }
}

TEST(RopeRotate, MatchesReference) {
  std::mt19937 rng(11);
  const size_t positions = 40, head_dim = 12, half = 6, n_heads = 3;
  const float theta = 500.0f;
  const RopeTables t = build_rope_tables(positions, head_dim, theta);
  for (size_t start : {0, 5, 33}) {
    const size_t n_pos = positions - start;
    std::vector<float> x = random_vector(n_pos * n_heads * head_dim, rng), got = x;
    rope_rotate(t, got, n_pos, n_heads, head_dim, start);
    for (size_t i = 0; i < n_pos; ++i)
      for (size_t h = 0; h < n_heads; ++h)
        for (size_t k = 0; k < half; ++k) {
          const size_t base = (i * n_heads + h) * head_dim;
          const double a = ref_angle(start + i, k, head_dim, theta);
          const double x1 = x[base + k], x2 = x[base + k + half];
          const double tol = 1e-5 * (1.0 + double(start + i));
          ASSERT_NEAR(got[base + k], x1 * std::cos(a) - x2 * std::sin(a), tol);
          ASSERT_NEAR(got[base + k + half], x1 * std::sin(a) + x2 * std::cos(a), tol);
        }
  }
}

TEST(RopeRotate, PairsFirstHalfWithSecondHalf) {
  const RopeTables t = build_rope_tables(4, 4, 10000.0f);
  std::vector<float> x = {1.0f, 0.0f, 0.0f, 0.0f};
  rope_rotate(t, x, 1, 1, 4, 1);  // angle of pair 0 at position 1 is 1 radian
  EXPECT_NEAR(x[0], std::cos(1.0), 1e-6);
  EXPECT_EQ(x[1], 0.0f);
  EXPECT_NEAR(x[2], std::sin(1.0), 1e-6);
  EXPECT_EQ(x[3], 0.0f);
}

TEST(RopeRotate, PositionZeroIsIdentityAndNormIsPreserved) {
  std::mt19937 rng(12);
  const size_t head_dim = 64, n_heads = 4;
  const RopeTables t = build_rope_tables(300, head_dim, 10000.0f);
  const std::vector<float> x = random_vector(n_heads * head_dim, rng);
  std::vector<float> at0 = x;
  rope_rotate(t, at0, 1, n_heads, head_dim, 0);
  // cos 0 = 1 and sin 0 = 0 exactly, so the arithmetic is exact.
  for (size_t i = 0; i < x.size(); ++i) ASSERT_EQ(at0[i], x[i]);
  for (size_t p : {1, 17, 299}) {
    std::vector<float> y = x;
    rope_rotate(t, y, 1, n_heads, head_dim, p);
    for (size_t h = 0; h < n_heads; ++h) {
      double before = 0, after = 0;
      for (size_t k = 0; k < head_dim; ++k) {
        before += double(x[h * head_dim + k]) * x[h * head_dim + k];
        after += double(y[h * head_dim + k]) * y[h * head_dim + k];
      }
      EXPECT_NEAR(after, before, 1e-5 * before) << "p=" << p << " h=" << h;
    }
  }
}

TEST(RopeRotate, IndexErrors) {
  const RopeTables t = build_rope_tables(8, 4, 10000.0f);
  std::vector<float> data(3 * 2 * 4, 1.0f);
  EXPECT_THROW(rope_rotate(t, data, 3, 2, 4, 6), std::out_of_range);  // rows 6..8
  EXPECT_THROW(rope_rotate(t, data, 1, 2, 4, 8), std::out_of_range);
  EXPECT_THROW(rope_rotate(t, data, 1, 2, 4, SIZE_MAX), std::out_of_range);
  EXPECT_THROW(rope_rotate(t, data, 3, 3, 4, 0), std::out_of_range);   // data short
  EXPECT_THROW(rope_rotate(t, data, 1, 1, 6, 0), std::out_of_range);   // wider head
  for (float v : data) EXPECT_EQ(v, 1.0f);
  try {
    rope_rotate(t, data, 1, 1, 4, 9);
    FAIL();
  } catch (const std::out_of_range& e) {
    EXPECT_STREQ(e.what(), "rope_rotate: position 9 is beyond the table of 8 positions");
  }
  rope_rotate(t, data, 3, 2, 4, 5);    // rows 5..7: the last valid ones
  rope_rotate(t, data, 0, 2, 4, 100);  // nothing selected, nothing checked
}

}  // namespace
}  // namespace pinnet::core
