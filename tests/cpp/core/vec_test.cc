// Unit tests of the dense vector loops every build provides: the wide
// builds against the portable one, and each against a scalar reference or the
// core transform.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <stdexcept>
#include <tuple>
#include <utility>
#include <vector>

#include "core/cpu.h"
#include "core/hadamard.h"
#include "core/kv_view.h"
#include "core/vec.h"

namespace pinnet::core {
namespace {

// Float keys and values of `slots` positions as the attention kernels read them.
KvView float_view(const std::vector<float>& keys, const std::vector<float>& values, uint64_t slots,
                  size_t kvh, size_t hd, size_t vd) {
  KvView kv;
  kv.keys = keys.data();
  kv.values = values.data();
  kv.slots = slots;
  kv.kv_heads = kvh;
  kv.head_dim = hd;
  kv.v_head_dim = vd;
  return kv;
}

// Every build of the loops in this binary that the processor runs, the
// portable one first.
std::vector<const VecKernels*> every_build() {
  std::vector<const VecKernels*> builds = {&vec_kernels_portable()};
#ifdef PINNET_X86_KERNELS
  if (core::isa_supported(core::Isa::Avx2)) builds.push_back(&vec_kernels_avx2());
  if (core::isa_supported(core::Isa::Avx512)) builds.push_back(&vec_kernels_avx512());
#endif
  return builds;
}

#ifdef PINNET_X86_KERNELS
TEST(VecKernels, WidePathsMatchThePortableOnes) {
  if (!isa_supported(Isa::Avx2)) GTEST_SKIP() << "no AVX2";
  const VecKernels& ref = vec_kernels_portable();
  const VecKernels& wide = vec_kernels_avx2();
  std::mt19937 rng(11);
  std::normal_distribution<float> nd(0.0f, 1.0f);
  auto fill = [&](std::vector<float>& v) { for (float& x : v) x = nd(rng); };
  for (size_t n : {1, 7, 8, 33, 64, 100}) {
    std::vector<float> a(n), b(n), y1(n), y2(n);
    fill(a), fill(b), fill(y1);
    y2 = y1;
    EXPECT_NEAR(wide.dot(a.data(), b.data(), n), ref.dot(a.data(), b.data(), n), 1e-4 * n);
    wide.axpy(0.7f, a.data(), y1.data(), n);
    ref.axpy(0.7f, a.data(), y2.data(), n);
    for (size_t i = 0; i < n; ++i) EXPECT_NEAR(y1[i], y2[i], 1e-5);
  }
  std::vector<const VecKernels*> wides = {&wide};
  if (isa_supported(Isa::Avx512)) wides.push_back(&vec_kernels_avx512());
  // Row tiles of 8 and 4 with 16, 32 and 64 columns, and shapes the 16-lane
  // build hands to the 8-lane one.
  for (auto [r, c] : {std::pair<size_t, size_t>{2, 4}, {4, 8}, {8, 16}, {16, 32}, {32, 32}, {8, 64},
                      {4, 12}, {4, 16}, {12, 32}, {4, 64}, {6, 32}}) {
    std::vector<float> v(r * c), a(r * r), bm(c * c), mid(r * c), o1(r * c), o2(r * c);
    fill(v), fill(a), fill(bm);
    a[1] = 0.0f;  // a skipped coefficient
    ref.two_factor(v.data(), a.data(), bm.data(), r, c, mid.data(), o2.data());
    for (const VecKernels* k : wides) {
      std::fill(o1.begin(), o1.end(), NAN);
      k->two_factor(v.data(), a.data(), bm.data(), r, c, mid.data(), o1.data());
      for (size_t i = 0; i < r * c; ++i) EXPECT_NEAR(o1[i], o2[i], 1e-3) << r << "x" << c;
    }
  }
  // The wide exps and sigmoids against the C library, over the float range.
  {
    std::vector<float> x = {-100.0f, -87.0f, -20.0f, -1.0f, -1e-3f, 0.0f, 1e-3f, 0.5f, 1.0f, 10.0f, 80.0f, 88.0f};
    for (int i = 0; i < 200; ++i) x.push_back(-30.0f + 0.3f * static_cast<float>(i));
    // The 16-lane build's exp too (its vector part and its tail).
    for (const VecKernels* k : wides) {
      std::vector<float> a = x, b = x;
      const float sa = k->exp_shifted(a.data(), a.size(), 1.0f);
      const float sb = ref.exp_shifted(b.data(), b.size(), 1.0f);
      // Results below the smallest normal float may come out as about 1.2e-38.
      for (size_t i = 0; i < x.size(); ++i) EXPECT_NEAR(a[i], b[i], 3e-7f * b[i] + 1.2e-38f) << x[i];
      EXPECT_NEAR(sa, sb, 1e-6f * sb);
      float nan17[17] = {NAN, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
      k->exp_shifted(nan17, 17, 0.0f);
      EXPECT_TRUE(std::isnan(nan17[0]));
      EXPECT_EQ(nan17[1], 1.0f);
      EXPECT_EQ(nan17[16], 1.0f);
    }
    std::vector<float> o1(x.size(), 1.5f), o2(x.size(), 1.5f);
    wide.mul_sigmoid(o1.data(), x.data(), x.size());
    ref.mul_sigmoid(o2.data(), x.data(), x.size());
    for (size_t i = 0; i < x.size(); ++i) EXPECT_NEAR(o1[i], o2[i], 1e-6f * o2[i] + 1e-30f) << x[i];
    std::vector<float> scale(x.size(), 0.9f), mix(x.size(), 1.1f), bias(x.size(), 0.2f);
    std::vector<float> v1 = x, v2 = x;
    wide.gated_silu(v1.data(), scale.data(), mix.data(), bias.data(), x.size());
    ref.gated_silu(v2.data(), scale.data(), mix.data(), bias.data(), x.size());
    // The wide build may fuse h's multiply-add; exp(h) moves by |h| ulps with it.
    for (size_t i = 0; i < x.size(); ++i)
      EXPECT_NEAR(v1[i], v2[i], 3e-7f * (1.0f + std::fabs(x[i])) * std::fabs(v2[i]) + 1e-30f) << x[i];
    // The 16-lane gates are the 8-lane ones, lane for lane (tails included).
    if (isa_supported(Isa::Avx512)) {
      const VecKernels& zmm = vec_kernels_avx512();
      for (size_t n : {x.size(), size_t(37), size_t(16), size_t(5)}) {
        std::vector<float> a(n, 1.5f), b(n, 1.5f);
        zmm.mul_sigmoid(a.data(), x.data(), n);
        wide.mul_sigmoid(b.data(), x.data(), n);
        for (size_t i = 0; i < n; ++i) ASSERT_EQ(a[i], b[i]) << x[i];
        std::vector<float> c(x.begin(), x.begin() + n), e = c;
        zmm.gated_silu(c.data(), scale.data(), mix.data(), bias.data(), n);
        wide.gated_silu(e.data(), scale.data(), mix.data(), bias.data(), n);
        for (size_t i = 0; i < n; ++i) ASSERT_EQ(c[i], e[i]) << x[i];
      }
    }
    float nan8[9] = {NAN, 0, 0, 0, 0, 0, 0, 0, 0};
    wide.exp_shifted(nan8, 9, 0.0f);
    EXPECT_TRUE(std::isnan(nan8[0]));
    EXPECT_EQ(nan8[1], 1.0f);
  }
  // The step's attention for a group of heads over a wrapped ring, every
  // build, float and int8 rows, widths on and off their fast paths, fewer
  // and more than 16 keys.
  for (bool int8 : {false, true}) {
    std::vector<const VecKernels*> builds = {&wide};
    if (isa_supported(Isa::Avx512)) builds.push_back(&vec_kernels_avx512());
    for (auto [hd, vd] : {std::pair<size_t, size_t>{64, 64}, {16, 48}, {32, 80}, {8, 24}, {6, 10}}) {
      const size_t slots = 53, kvh = 2, heads = 6;
      std::vector<float> keys(slots * kvh * hd), values(slots * kvh * vd), q(heads * hd);
      fill(keys), fill(values), fill(q);
      KvView kv = float_view(keys, values, slots, kvh, hd, vd);
      // int8: about the same numbers as codes with a scale per row.
      std::vector<int8_t> key_codes(keys.size()), value_codes(values.size());
      std::vector<float> key_scales(slots * kvh), value_scales(slots * kvh);
      auto code = [](float x) { return static_cast<int8_t>(std::clamp(std::lround(x * 40), -127L, 127L)); };
      std::transform(keys.begin(), keys.end(), key_codes.begin(), code);
      std::transform(values.begin(), values.end(), value_codes.begin(), code);
      fill(key_scales), fill(value_scales);
      for (std::vector<float>* sc : {&key_scales, &value_scales})
        for (float& v : *sc) v = (1.0f + 0.1f * v) / 40;  // codes · scale near the floats
      if (int8) kv = {nullptr, nullptr, key_codes.data(), value_codes.data(), key_scales.data(),
                      value_scales.data(), slots, kvh, hd, vd, true};
      for (auto [start, p] : {std::pair<uint64_t, uint64_t>{0, 0}, {0, 15}, {0, 16}, {3, 40}, {30, 82}, {60, 100}}) {
        const size_t count = p - start + 1;
        std::vector<float> s1(heads * count), s2(heads * count), o1(heads * vd, 5.0f), o2(heads * vd);
        ref.attend_group(kv, q.data(), 1, heads, start, p, s2.data(), o2.data());
        for (const VecKernels* k : builds) {
          k->attend_group(kv, q.data(), 1, heads, start, p, s1.data(), o1.data());
          for (size_t i = 0; i < heads * vd; ++i)
            EXPECT_NEAR(o1[i], o2[i], 1e-5 * (1 + std::fabs(o2[i]))) << int8 << " " << hd << "/" << vd << " " << start << ".." << p << " at " << i;
        }
      }
    }
  }
  // Attention over a wrapped ring of 11 slots, widths on and off the fast path.
  for (auto [hd, vd] : {std::pair<size_t, size_t>{64, 64}, {8, 24}, {6, 10}, {16, 40}}) {
    const size_t slots = 11, kvh = 2;
    std::vector<float> keys(slots * kvh * hd), values(slots * kvh * vd), q(hd);
    fill(keys), fill(values), fill(q);
    const KvView kv = float_view(keys, values, slots, kvh, hd, vd);
    for (auto [start, p] : {std::pair<uint64_t, uint64_t>{0, 0}, {0, 10}, {5, 15}, {14, 20}}) {
      std::vector<float> s1(16), s2(16), o1(vd), o2(vd);
      wide.attend_head(kv, q.data(), 1, start, p, s1.data(), o1.data());
      ref.attend_head(kv, q.data(), 1, start, p, s2.data(), o2.data());
      for (size_t i = 0; i < vd; ++i) EXPECT_NEAR(o1[i], o2[i], 1e-5) << hd << " " << start;
    }
  }
}
#endif  // PINNET_X86_KERNELS

TEST(VecKernels, DenseRowsMatchAScalarReference) {
  std::mt19937 rng(19);
  std::normal_distribution<float> nd(0.0f, 1.0f);
  const std::vector<const VecKernels*> builds = every_build();
  struct Case {
    size_t rows, cols, m;
  };
  // Tiles of 3 positions x 4 rows with tails of both, and column tails.
  for (const Case c : {Case{1, 5, 1}, Case{24, 2048, 7}, Case{5, 13, 4}, Case{7, 64, 3},
                       Case{3, 100, 2}, Case{24, 72, 6}, Case{13, 40, 9}, Case{24, 2048, 24}}) {
    const size_t stride = c.cols + 3;  // inputs need not be packed
    std::vector<float> w(c.rows * c.cols), x(c.m * stride);
    for (float& v : w) v = nd(rng);
    for (float& v : x) v = nd(rng);
    for (const VecKernels* k : builds) {
      std::vector<float> y(c.m * c.rows, NAN);
      k->dense_rows(w.data(), c.rows, c.cols, x.data(), stride, c.m, y.data());
      for (size_t i = 0; i < c.m; ++i) {
        for (size_t r = 0; r < c.rows; ++r) {
          double want = 0, mag = 0;
          for (size_t j = 0; j < c.cols; ++j) {
            want += static_cast<double>(w[r * c.cols + j]) * x[i * stride + j];
            mag += std::abs(static_cast<double>(w[r * c.cols + j]) * x[i * stride + j]);
          }
          EXPECT_NEAR(y[i * c.rows + r], want, 1e-6 * mag + 1e-6)
              << c.rows << "x" << c.cols << " m=" << c.m << " i=" << i << " r=" << r;
        }
      }
    }
  }
}

TEST(VecKernels, LaneCombineAndMixMatchAScalarReference) {
  std::mt19937 rng(23);
  std::normal_distribution<float> nd(0.0f, 1.0f);
  const std::vector<const VecKernels*> builds = every_build();
  for (size_t n : {1, 2, 3, 4, 8}) {
    for (size_t d : {5, 16, 37}) {  // column tails of every kind
      std::vector<float> stream(n * d), g(n), h(n), m(n * n), delta(d);
      for (auto* v : {&stream, &g, &h, &m, &delta})
        for (float& x : *v) x = nd(rng);
      std::vector<double> combined(d, 0.0), mixed(n * d, 0.0);
      for (size_t j = 0; j < d; ++j) {
        for (size_t i = 0; i < n; ++i) combined[j] += static_cast<double>(g[i]) * stream[i * d + j];
        for (size_t i = 0; i < n; ++i) {
          for (size_t k = 0; k < n; ++k) mixed[i * d + j] += static_cast<double>(m[i * n + k]) * stream[k * d + j];
          mixed[i * d + j] += static_cast<double>(h[i]) * delta[j];
        }
      }
      for (const VecKernels* k : builds) {
        std::vector<float> x(d, NAN), s = stream;
        k->lane_combine(g.data(), stream.data(), n, d, x.data());
        for (size_t j = 0; j < d; ++j) EXPECT_NEAR(x[j], combined[j], 1e-5) << n << " " << d;
        k->lane_mix(m.data(), h.data(), delta.data(), n, d, s.data());
        for (size_t e = 0; e < n * d; ++e) EXPECT_NEAR(s[e], mixed[e], 1e-5) << n << " " << d;
      }
    }
  }
}

#ifdef PINNET_X86_KERNELS
TEST(VecKernels, WideRotationIsTheCoreTransform) {
  if (!isa_supported(Isa::Avx2)) GTEST_SKIP() << "no AVX2";
  std::mt19937 rng(5);
  std::normal_distribution<float> nd(0.0f, 1.0f);
  // Same butterflies in the same order: identical floats, padding included.
  for (auto [cols, group] : {std::pair<size_t, size_t>{64, 64}, {100, 64}, {512, 64}, {24, 8},
                             {130, 16}, {256, 128}, {2048, 64}, {10, 4}}) {
    const size_t padded = (cols + group - 1) / group * group;
    std::vector<float> x(cols), wide(padded, 7.0f), ref(padded);
    for (float& v : x) v = nd(rng);
    vec_kernels_avx2().pad_and_rotate(x.data(), cols, group, wide.data(), padded);
    pad_and_rotate(x, group, ref);
    for (size_t i = 0; i < padded; ++i) ASSERT_EQ(wide[i], ref[i]) << cols << "/" << group << " at " << i;
  }
  std::vector<float> x(12), out(12);
  EXPECT_THROW(vec_kernels_avx2().pad_and_rotate(x.data(), 12, 12, out.data(), 12), std::invalid_argument);
}
#endif  // PINNET_X86_KERNELS

// The prefill's transposed-key attention against the per-head kernel on the
// same keys and values in their natural layout.
TEST(VecKernels, TransposedKeyAttentionMatchesPerHead) {
  std::mt19937 rng(21);
  std::normal_distribution<float> nd(0.0f, 1.0f);
  for (auto [hd, vd] : {std::pair<size_t, size_t>{64, 64}, {8, 16}, {16, 40}, {6, 10}}) {
    const size_t positions = 130, kvh = 2, rows = 5;
    std::vector<float> keys(positions * kvh * hd), values(positions * kvh * vd), q(rows * hd);
    for (auto* v : {&keys, &values, &q})
      for (float& x : *v) x = nd(rng);
    const size_t g = 1;
    // Keys in blocks of kb positions, zero past the last.
    auto transposed = [&](size_t kb) {
      std::vector<float> kt((positions + kb - 1) / kb * hd * kb, 0.0f);
      for (size_t t = 0; t < positions; ++t)
        for (size_t e = 0; e < hd; ++e) kt[(t / kb) * hd * kb + e * kb + t % kb] = keys[(t * kvh + g) * hd + e];
      return kt;
    };
    const KvView kv = float_view(keys, values, positions, kvh, hd, vd);
    const std::vector<const VecKernels*> builds = every_build();
    // Windows of one block, several blocks, and more than 64 keys (whole
    // 4-block steps of the 16-lane kernel plus a tail).
    for (auto [start, p] : {std::pair<uint64_t, uint64_t>{0, 0}, {0, 36}, {3, 20}, {9, 9}, {17, 31},
                            {1, 35}, {0, 31}, {0, 80}, {5, 99}, {64, 127}, {15, 16}}) {
      const size_t count = p - start + 1;
      std::vector<float> ref(rows * vd), s(count);
      for (size_t r = 0; r < rows; ++r)
        vec_kernels_portable().attend_head(kv, q.data() + r * hd, g, start, p, s.data(), ref.data() + r * vd);
      // Every build with its own block width and with the others' (a build
      // handed blocks it does not prefer takes a general path).
      for (const VecKernels* k : builds) {
        for (size_t kb : {size_t(8), size_t(16), k->key_block}) {
          const std::vector<float> kt = transposed(kb);
          std::vector<float> out(rows * vd, 9.0f), scores(rows * (count + 31), 5.0f);
          k->attend_rows(kt.data(), kb, values.data(), kvh, g, hd, vd, q.data(), rows, start, p, scores.data(),
                         out.data());
          for (size_t i = 0; i < rows * vd; ++i)
            EXPECT_NEAR(out[i], ref[i], 1e-5f) << hd << "/" << vd << " kb " << kb << " " << start << ".." << p
                                               << " at " << i;
        }
      }
    }
  }
}

// Two consecutive positions at once give the floats of two single calls,
// with the window sliding between them or not, for every head count.
TEST(VecKernels, AttendPairIsTwoSingleCalls) {
  std::mt19937 rng(22);
  std::normal_distribution<float> nd(0.0f, 1.0f);
  for (auto [hd, vd] : {std::pair<size_t, size_t>{64, 64}, {16, 32}, {8, 16}, {6, 10}}) {
    const size_t positions = 140, kvh = 2, g = 1;
    std::vector<float> keys(positions * kvh * hd), values(positions * kvh * vd);
    for (auto* v : {&keys, &values})
      for (float& x : *v) x = nd(rng);
    const std::vector<const VecKernels*> builds = every_build();
    for (const VecKernels* k : builds) {
      const size_t kb = k->key_block;
      std::vector<float> kt((positions + kb - 1) / kb * hd * kb, 0.0f);
      for (size_t t = 0; t < positions; ++t)
        for (size_t e = 0; e < hd; ++e) kt[(t / kb) * hd * kb + e * kb + t % kb] = keys[(t * kvh + g) * hd + e];
      for (size_t rows : {1, 3, 4, 5}) {
        std::vector<float> q(2 * rows * hd);
        for (float& x : q) x = nd(rng);
        const float* qa = q.data();
        const float* qb = q.data() + rows * hd;
        for (auto [start_a, start_b, p] : {std::tuple<uint64_t, uint64_t, uint64_t>{0, 0, 0}, {0, 0, 14}, {0, 0, 15},
                                           {0, 0, 31}, {3, 4, 40}, {16, 17, 100}, {5, 5, 138}, {0, 1, 63},
                                           {70, 71, 137}}) {
          const size_t count_a = p - start_a + 1;
          std::vector<float> scores(2 * rows * (count_a + 32), 3.0f);
          std::vector<float> pa(rows * vd, 7.0f), pb(rows * vd, 7.0f), sa(rows * vd), sb(rows * vd);
          k->attend_pair(kt.data(), kb, values.data(), kvh, g, hd, vd, qa, qb, rows, start_a, start_b, p,
                         scores.data(), pa.data(), pb.data());
          k->attend_rows(kt.data(), kb, values.data(), kvh, g, hd, vd, qa, rows, start_a, p, scores.data(),
                         sa.data());
          k->attend_rows(kt.data(), kb, values.data(), kvh, g, hd, vd, qb, rows, start_b, p + 1, scores.data(),
                         sb.data());
          for (size_t i = 0; i < rows * vd; ++i) {
            ASSERT_EQ(pa[i], sa[i]) << hd << "/" << vd << " rows " << rows << " p " << p << " at " << i;
            ASSERT_EQ(pb[i], sb[i]) << hd << "/" << vd << " rows " << rows << " p " << p << " at " << i;
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace pinnet::core
