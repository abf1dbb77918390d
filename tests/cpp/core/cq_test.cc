#include "core/cq.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/hadamard.h"
#include "core/worker_pool.h"

namespace pinnet::core {
namespace {

constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
const Isa kAllIsas[] = {Isa::Portable, Isa::Avx2,    Isa::Avx512,
                        Isa::Neon,     Isa::NeonDot, Isa::NeonI8mm};

// ---- a test-side model of the format, independent of the library ----

struct Shape {
  uint64_t rows, cols, group;
  uint8_t bits_code;
  unsigned bits() const { return bits_code == 5 ? 2 : bits_code; }
  uint64_t groups() const { return (cols + group - 1) / group; }
  uint64_t padded() const { return groups() * group; }
  uint64_t row_bytes() const { return bits() * padded() / 8; }
  uint64_t need() const { return rows * row_bytes() + 2 * rows * groups(); }
};

double half_value(uint16_t h) {
  const int e = (h >> 10) & 0x1F, m = h & 0x3FF;
  const double v = e == 0 ? std::ldexp(m, -24) : std::ldexp(1024 + m, e - 25);
  return (h & 0x8000) ? -v : v;
}

struct Fixture {
  Shape shape;
  std::vector<uint8_t> blob;
  std::vector<float> codebook;
};

Fixture make_fixture(const Shape& s, std::mt19937& rng) {
  Fixture f{s, std::vector<uint8_t>(s.need()), std::vector<float>(28)};
  std::uniform_real_distribution<float> level(-2.0f, 2.0f);
  for (float& v : f.codebook) v = level(rng);
  std::uniform_int_distribution<int> byte(0, 255);
  const uint64_t code_bytes = s.rows * s.row_bytes();
  for (uint64_t i = 0; i < code_bytes; ++i) f.blob[i] = static_cast<uint8_t>(byte(rng));
  // Scales: normal halves of either sign with magnitudes in [2^-5, 2).
  std::uniform_int_distribution<int> exponent(10, 15), mantissa(0, 1023), sign(0, 1);
  for (uint64_t i = 0; i < s.rows * s.groups(); ++i) {
    const int bits = (sign(rng) << 15) | (exponent(rng) << 10) | mantissa(rng);
    const uint16_t h = static_cast<uint16_t>(bits);
    f.blob[code_bytes + 2 * i] = static_cast<uint8_t>(h & 0xFF);
    f.blob[code_bytes + 2 * i + 1] = static_cast<uint8_t>(h >> 8);
  }
  return f;
}

CqTensor build(const Fixture& f) {
  auto r = CqTensor::create(f.shape.rows, f.shape.cols, f.shape.group, f.shape.bits_code, f.blob,
                            f.codebook);
  if (!r.ok()) throw std::runtime_error("fixture rejected: " + r.error().to_string());
  return std::move(r).value();
}

// Code of padded element k of row r, read one bit at a time (LSB first).
unsigned ref_code(const Fixture& f, uint64_t r, uint64_t k) {
  const unsigned bits = f.shape.bits();
  const uint8_t* row = f.blob.data() + r * f.shape.row_bytes();
  unsigned code = 0;
  for (unsigned b = 0; b < bits; ++b) {
    const uint64_t bit = k * bits + b;
    code |= ((row[bit / 8] >> (bit % 8)) & 1u) << b;
  }
  return code;
}

double ref_level(const Fixture& f, unsigned code) {
  switch (f.shape.bits_code) {
    case 2: return f.codebook[code];
    case 3: return f.codebook[4 + code];
    case 4: return f.codebook[12 + code];
    default: {
      const double a = 1.2240064f / std::sqrt(float(f.shape.group));
      return code == 1 ? a : code == 3 ? -a : 0.0;
    }
  }
}

double ref_scale(const Fixture& f, uint64_t r, uint64_t g) {
  const uint64_t at = f.shape.rows * f.shape.row_bytes() + 2 * (r * f.shape.groups() + g);
  return half_value(static_cast<uint16_t>(f.blob[at] | (f.blob[at + 1] << 8)));
}

// Row r in the rotated (stored) domain, padded_cols values.
std::vector<double> ref_rotated_row(const Fixture& f, uint64_t r) {
  std::vector<double> w(f.shape.padded());
  for (uint64_t k = 0; k < w.size(); ++k) {
    w[k] = ref_level(f, ref_code(f, r, k)) * ref_scale(f, r, k / f.shape.group);
  }
  return w;
}

// Row r in the input domain: each group multiplied by the normalised
// Hadamard matrix, then cut to cols.
std::vector<double> ref_row(const Fixture& f, uint64_t r) {
  const std::vector<double> w = ref_rotated_row(f, r);
  const uint64_t n = f.shape.group;
  std::vector<double> out(f.shape.cols);
  for (uint64_t c = 0; c < f.shape.cols; ++c) {
    const uint64_t base = c / n * n, i = c % n;
    double acc = 0;
    for (uint64_t j = 0; j < n; ++j) {
      acc += (__builtin_popcountll(i & j) % 2 ? -1.0 : 1.0) * w[base + j];
    }
    out[c] = acc / std::sqrt(double(n));
  }
  return out;
}

std::vector<float> random_vector(size_t n, std::mt19937& rng) {
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<float> v(n);
  for (float& x : v) x = dist(rng);
  return v;
}

// |a - b| within `rel` of the magnitude sum of the product's terms.
void expect_close(double got, double want, double magnitude, double rel, const std::string& what) {
  EXPECT_LE(std::abs(got - want), rel * magnitude + 1e-6)
      << what << ": got " << got << ", want " << want;
}

const Shape kShapes[] = {
    {5, 10, 8, 2}, {7, 100, 16, 3}, {9, 40, 32, 4}, {6, 30, 8, 5},
    {13, 130, 64, 2}, {11, 200, 64, 3}, {17, 150, 64, 4}, {10, 70, 64, 5},
    {5, 300, 128, 4}, {3, 500, 256, 3}, {4, 129, 128, 2}, {6, 1000, 512, 5},
};

std::string describe(const Shape& s) {
  return std::to_string(s.rows) + "x" + std::to_string(s.cols) + " g" + std::to_string(s.group) +
         " b" + std::to_string(s.bits_code);
}

// ---- construction ----

CqError create_error(uint64_t rows, uint64_t cols, uint64_t group, uint8_t bits, size_t blob_len,
                     size_t codebook_len) {
  std::vector<uint8_t> blob(blob_len);
  std::vector<float> codebook(codebook_len);
  auto r = CqTensor::create(rows, cols, group, bits, blob, codebook);
  EXPECT_FALSE(r.ok());
  return r.ok() ? CqError{CqError::Kind::EmptyShape, kMax} : r.error();
}

TEST(CqCreate, ShapeArithmeticOfPaddedGroups) {
  std::mt19937 rng(1);
  const Fixture f = make_fixture({3, 10, 8, 4}, rng);
  const CqTensor t = build(f);
  EXPECT_EQ(t.padded_cols(), 16u);
  EXPECT_EQ(t.groups_per_row(), 2u);
  EXPECT_EQ(t.row_bytes(), 8u);
  EXPECT_EQ(t.codes_per_byte(), 2u);
  EXPECT_EQ(t.levels().size(), 16u);
  EXPECT_EQ(t.lut().size(), 512u);
  std::vector<float> row(10);
  for (uint64_t r = 0; r < 3; ++r) {
    t.dequantize_row(r, row);
    const std::vector<double> want = ref_row(f, r);
    for (size_t c = 0; c < 10; ++c) EXPECT_NEAR(row[c], want[c], 1e-5);
  }
}

TEST(CqCreate, TernaryLevels) {
  std::mt19937 rng(2);
  Fixture f = make_fixture({2, 16, 16, 5}, rng);
  f.codebook.resize(27);  // ternary ignores the header codebook
  const CqTensor t = build(f);
  const float a = 1.2240064f / 4.0f;
  uint32_t bits;
  const float magic = 1.2240064f;
  std::memcpy(&bits, &magic, 4);
  EXPECT_EQ(bits, 0x3F9CAC3Eu);
  ASSERT_EQ(t.levels().size(), 3u);
  EXPECT_EQ(t.levels()[0], -a);
  EXPECT_EQ(t.levels()[1], 0.0f);
  EXPECT_EQ(t.levels()[2], a);
  EXPECT_EQ(t.level_of_code(0), 0.0f);
  EXPECT_EQ(t.level_of_code(1), a);
  EXPECT_EQ(t.level_of_code(2), 0.0f);
  EXPECT_EQ(t.level_of_code(3), -a);
  // Byte 0b11'10'01'00 holds codes 0, 1, 2, 3 from the lowest bits up.
  EXPECT_EQ(t.lut()[0xE4 * 4 + 0], 0.0f);
  EXPECT_EQ(t.lut()[0xE4 * 4 + 1], a);
  EXPECT_EQ(t.lut()[0xE4 * 4 + 2], 0.0f);
  EXPECT_EQ(t.lut()[0xE4 * 4 + 3], -a);
}

TEST(CqCreate, LookupTableHoldsLevelsLowestBitsFirst) {
  std::mt19937 rng(3);
  const Fixture f2 = make_fixture({1, 8, 8, 2}, rng);
  const CqTensor t2 = build(f2);
  for (unsigned v = 0; v < 256; ++v)
    for (unsigned s = 0; s < 4; ++s) {
      ASSERT_EQ(t2.lut()[v * 4 + s], f2.codebook[(v >> (2 * s)) & 3]);
    }
  const Fixture f4 = make_fixture({1, 8, 8, 4}, rng);
  const CqTensor t4 = build(f4);
  for (unsigned v = 0; v < 256; ++v)
    for (unsigned s = 0; s < 2; ++s) {
      ASSERT_EQ(t4.lut()[v * 2 + s], f4.codebook[12 + ((v >> (4 * s)) & 15)]);
    }
  const Fixture f3 = make_fixture({1, 8, 8, 3}, rng);
  const CqTensor t3 = build(f3);
  EXPECT_EQ(t3.codes_per_byte(), 0u);
  EXPECT_TRUE(t3.lut().empty());
  for (unsigned c = 0; c < 8; ++c) EXPECT_EQ(t3.levels()[c], f3.codebook[4 + c]);
}

TEST(CqCreate, ShortBlobByOneByte) {
  const Shape s{3, 10, 8, 4};
  const CqError e = create_error(3, 10, 8, 4, s.need() - 1, 28);
  EXPECT_EQ(e.kind, CqError::Kind::ShortBlob);
  EXPECT_EQ(e.need, s.need());
  EXPECT_EQ(e.got, s.need() - 1);
  EXPECT_EQ(e.to_string(), "ShortBlob { need: 36, got: 35 }");
  // Longer blobs are fine.
  std::vector<uint8_t> blob(s.need() + 5);
  std::vector<float> codebook(28);
  EXPECT_TRUE(CqTensor::create(3, 10, 8, 4, blob, codebook).ok());
}

TEST(CqCreate, CodebookLengthIsCheckedBeforeTheBitsCode) {
  EXPECT_EQ(create_error(1, 8, 8, 3, 100, 27).to_string(), "BadCodebookLen(27)");
  EXPECT_EQ(create_error(1, 8, 8, 6, 100, 28).to_string(), "UnsupportedBits(6)");
  EXPECT_EQ(create_error(1, 8, 8, 6, 100, 27).to_string(), "BadCodebookLen(27)");
  EXPECT_EQ(create_error(1, 8, 8, 1, 100, 28).to_string(), "UnsupportedBits(1)");
  std::vector<uint8_t> blob(100);
  std::vector<float> codebook(27);
  EXPECT_TRUE(CqTensor::create(1, 8, 8, 5, blob, codebook).ok());
}

TEST(CqCreate, GroupAndShapeChecksInOrder) {
  EXPECT_EQ(create_error(1, 8, 4, 2, 100, 28).to_string(), "BadGroup(4)");
  EXPECT_EQ(create_error(1, 8, 24, 2, 100, 28).to_string(), "BadGroup(24)");
  EXPECT_EQ(create_error(1, 8, 0, 2, 100, 28).to_string(), "BadGroup(0)");
  EXPECT_EQ(create_error(0, 8, 24, 2, 100, 28).to_string(), "EmptyShape");
  EXPECT_EQ(create_error(1, 0, 8, 2, 100, 28).to_string(), "EmptyShape");
  EXPECT_EQ(create_error(1, 8, 24, 9, 100, 3).to_string(), "BadGroup(24)");
}

TEST(CqCreate, HostileSizesAreRefusedWithoutWrapping) {
  // rows·row_bytes past 64 bits.
  CqError e = create_error(uint64_t(1) << 62, uint64_t(1) << 62, 64, 4, 16, 28);
  EXPECT_EQ(e.kind, CqError::Kind::ShortBlob);
  EXPECT_EQ(e.need, kMax);
  EXPECT_EQ(e.got, 16u);
  // cols rounded up to a group wraps.
  e = create_error(1, kMax, 1024, 2, 16, 28);
  EXPECT_EQ(e.need, kMax);
  // A group of 2^63 still has a representable need: 2^62 code bytes + 1 scale.
  e = create_error(1, 5, uint64_t(1) << 63, 4, 16, 28);
  EXPECT_EQ(e.need, (uint64_t(1) << 62) + 2);
  // Two rows of it do not.
  e = create_error(4, 5, uint64_t(1) << 63, 4, 16, 28);
  EXPECT_EQ(e.need, kMax);
  // Large but representable: the exact need is reported and nothing is
  // reserved (a sanitizer build would fail on a huge allocation).
  e = create_error(uint64_t(1) << 40, 64, 64, 2, 16, 28);
  EXPECT_EQ(e.kind, CqError::Kind::ShortBlob);
  EXPECT_EQ(e.need, (uint64_t(1) << 40) * 18);
}

// ---- dequantisation ----

TEST(CqDequantize, RowsMatchTheReferenceForEveryBitsCode) {
  std::mt19937 rng(4);
  for (const Shape& s : kShapes) {
    SCOPED_TRACE(describe(s));
    const Fixture f = make_fixture(s, rng);
    const CqTensor t = build(f);
    const std::vector<float> all = t.expand();
    ASSERT_EQ(all.size(), s.rows * s.cols);
    for (uint64_t r = 0; r < s.rows; ++r) {
      const std::vector<double> want = ref_row(f, r);
      for (uint64_t c = 0; c < s.cols; ++c) {
        ASSERT_NEAR(all[r * s.cols + c], want[c], 2e-5 * std::sqrt(double(s.group)))
            << r << "," << c;
      }
    }
  }
}

TEST(CqDequantize, RejectsBadArguments) {
  std::mt19937 rng(5);
  const CqTensor t = build(make_fixture({3, 10, 8, 4}, rng));
  std::vector<float> out(10), short_out(9);
  EXPECT_THROW(t.dequantize_row(3, out), std::out_of_range);
  EXPECT_THROW(t.dequantize_row(0, short_out), std::out_of_range);
}

// ---- products ----

std::vector<float> rotated(const std::vector<float>& x, const CqTensor& t) {
  std::vector<float> out(t.padded_cols());
  pad_and_rotate(x, t.group(), out);
  return out;
}

TEST(CqMatvec, EqualsDequantiseTimesInputOnEveryPath) {
  std::mt19937 rng(6);
  for (const Shape& s : kShapes) {
    const Fixture f = make_fixture(s, rng);
    const CqTensor t = build(f);
    const std::vector<float> x = random_vector(s.cols, rng);
    std::vector<double> want(s.rows), magnitude(s.rows);
    for (uint64_t r = 0; r < s.rows; ++r) {
      const std::vector<double> w = ref_row(f, r);
      for (uint64_t c = 0; c < s.cols; ++c) {
        want[r] += w[c] * x[c];
        magnitude[r] += std::abs(w[c] * x[c]);
      }
    }
    for (Isa isa : kAllIsas) {
      if (!isa_supported(isa)) continue;
      SCOPED_TRACE(describe(s) + " " + isa_name(isa));
      std::vector<float> y(s.rows, NAN);
      t.matvec_with(isa, nullptr, x, y);
      for (uint64_t r = 0; r < s.rows; ++r) expect_close(y[r], want[r], magnitude[r], 1e-4, "row");
    }
    std::vector<float> y(s.rows);
    t.matvec(x, y);
    for (uint64_t r = 0; r < s.rows; ++r) {
      expect_close(y[r], want[r], magnitude[r], 1e-4, "dispatched");
    }
  }
}

// The vector paths against the portable one in the stored domain, where the
// sums differ only in association order.
TEST(CqMatvec, VectorPathsMatchPortable) {
  std::mt19937 rng(7);
  for (uint8_t bits : {2, 3, 4, 5}) {
    // 19 groups a row: the kernels widen scales 8 or 16 groups at a time.
    for (auto [group, groups] : {std::pair<uint64_t, uint64_t>{64, 3}, {64, 19}, {128, 3}, {256, 3}}) {
      const Shape s{37, groups * group - 5, group, bits};
      const Fixture f = make_fixture(s, rng);
      const CqTensor t = build(f);
      const std::vector<float> x = random_vector(s.cols, rng);
      const std::vector<float> xr = rotated(x, t);
      std::vector<float> base(s.rows);
      t.matvec_with(Isa::Portable, nullptr, x, base);
      for (Isa isa : {Isa::Avx2, Isa::Avx512}) {
        if (!isa_supported(isa)) continue;
        SCOPED_TRACE(describe(s) + " " + isa_name(isa));
        std::vector<float> y(s.rows);
        t.matvec_with(isa, nullptr, x, y);
        // On an input rotated and reordered once: the same floats.
        std::vector<float> xp(t.padded_cols()), y2(s.rows);
        t.reorder_inputs(isa, xr, 1, xp);
        t.matvec_reordered(isa, nullptr, xp, y2);
        EXPECT_EQ(y2, y);
        for (uint64_t r = 0; r < s.rows; ++r) {
          const std::vector<double> w = ref_rotated_row(f, r);
          double magnitude = 0;
          for (uint64_t k = 0; k < w.size(); ++k) magnitude += std::abs(w[k] * xr[k]);
          expect_close(y[r], base[r], magnitude, 2e-6, "row " + std::to_string(r));
        }
      }
    }
  }
}

TEST(CqMatvec, RejectsWrongLengths) {
  std::mt19937 rng(8);
  const CqTensor t = build(make_fixture({4, 10, 8, 2}, rng));
  std::vector<float> x(10), short_x(9), long_x(11), y(4), short_y(3);
  EXPECT_THROW(t.matvec(short_x, y), std::invalid_argument);
  EXPECT_THROW(t.matvec(long_x, y), std::invalid_argument);
  EXPECT_THROW(t.matvec(x, short_y), std::invalid_argument);
}

// Splitting rows over threads must not change any row's arithmetic. The
// binary runs once more under RAYON_NUM_THREADS=2 (see CMakeLists.txt), so
// the process pool splits too.
TEST(CqMatvec, ParallelSplitEqualsOneThread) {
  std::mt19937 rng(9);
  WorkerPool three(3);
  for (uint8_t bits : {2, 3, 4, 5}) {
    const Shape s{300, 4000, 64, bits};  // 300 x 4032 > 0xFFFFF: split
    const CqTensor t = build(make_fixture(s, rng));
    const std::vector<float> x = random_vector(s.cols, rng);
    for (Isa isa : kAllIsas) {
      if (!isa_supported(isa)) continue;
      SCOPED_TRACE(describe(s) + " " + isa_name(isa));
      std::vector<float> one(s.rows), pooled(s.rows), instance(s.rows);
      t.matvec_with(isa, nullptr, x, one);
      t.matvec_with(isa, &three, x, pooled);
      t.matvec_with(isa, &WorkerPool::instance(), x, instance);
      EXPECT_EQ(one, pooled);
      EXPECT_EQ(one, instance);
    }
  }
}

// Each output of a batched product equals the portable matvec of its input.
void expect_batches_match_matvec(std::span<const Shape> shapes, std::span<const size_t> ms,
                                 std::mt19937& rng) {
  for (const Shape& s : shapes) {
    const CqTensor t = build(make_fixture(s, rng));
    for (size_t m : ms) {
      std::vector<std::vector<float>> xs;
      std::vector<float> x_rot;
      for (size_t i = 0; i < m; ++i) {
        xs.push_back(random_vector(s.cols, rng));
        const std::vector<float> xr = rotated(xs.back(), t);
        x_rot.insert(x_rot.end(), xr.begin(), xr.end());
      }
      for (Isa isa : kAllIsas) {
        if (!isa_supported(isa)) continue;
        SCOPED_TRACE(describe(s) + " m=" + std::to_string(m) + " " + isa_name(isa));
        std::vector<float> y(m * s.rows, NAN);
        t.matmul_with(isa, nullptr, x_rot, m, y);
        for (size_t i = 0; i < m; ++i) {
          std::vector<float> yi(s.rows);
          t.matvec_with(Isa::Portable, nullptr, xs[i], yi);
          double scale = 0;
          for (float v : xs[i]) scale += std::abs(v);
          for (uint64_t r = 0; r < s.rows; ++r) {
            expect_close(y[i * s.rows + r], yi[r], scale, 2e-5, "vector " + std::to_string(i));
          }
        }
      }
    }
  }
}

TEST(CqMatmul, RowsEqualMatvecOfEachInput) {
  std::mt19937 rng(10);
  const Shape shapes[] = {{13, 130, 64, 2}, {9, 200, 64, 3}, {23, 150, 64, 4},
                          {6, 70, 64, 5},   {5, 40, 8, 4},   {7, 300, 128, 3}};
  const size_t ms[] = {1, 3, 5, 9, 17};
  expect_batches_match_matvec(shapes, ms, rng);
}

// Wide rows with many inputs: the vector kernels walk the inputs in
// cache-sized blocks (16 vectors of 8192 floats), here three with a tail.
TEST(CqMatmul, ManyWideInputsMatchMatvec) {
  std::mt19937 rng(16);
  for (uint8_t bits : {2, 3, 4}) {
    const Shape s{6, 8190, 64, bits};
    const CqTensor t = build(make_fixture(s, rng));
    const size_t m = 37;
    const std::vector<float> x_rot = random_vector(m * t.padded_cols(), rng);
    std::vector<float> y(m * s.rows);
    for (Isa isa : kAllIsas) {
      if (!isa_supported(isa)) continue;
      SCOPED_TRACE(describe(s) + " " + isa_name(isa));
      t.matmul_with(isa, nullptr, x_rot, m, y);
      for (size_t i = 0; i < m; ++i) {
        // One input through the batched path: an m = 1 product.
        std::vector<float> yi(s.rows);
        t.matmul_with(Isa::Portable, nullptr,
                      std::span<const float>(x_rot).subspan(i * t.padded_cols(), t.padded_cols()),
                      1, yi);
        double scale = 0;
        for (size_t k = 0; k < t.padded_cols(); ++k) {
          scale += std::abs(x_rot[i * t.padded_cols() + k]);
        }
        for (uint64_t r = 0; r < s.rows; ++r) {
          expect_close(y[i * s.rows + r], yi[r], scale, 2e-5, "vector " + std::to_string(i));
        }
      }
    }
  }
}

// Wide batches: whole 32-row tiles, a row tail, input tiles of 12 with a
// tail, and rows longer than one 256-column chunk with a partial last chunk.
TEST(CqMatmul, WideBatchesMatchMatvec) {
  std::mt19937 rng(17);
  const Shape shapes[] = {{77, 700, 64, 4}, {64, 512, 64, 2}, {40, 130, 64, 3},
                          {96, 300, 128, 5}, {31, 256, 64, 4}};
  const size_t ms[] = {32, 45, 60};
  expect_batches_match_matvec(shapes, ms, rng);
}

TEST(CqMatmul, GroupsBeyondTheScratchLimitStillWork) {
  std::mt19937 rng(11);
  const Shape s{3, 3000, 2048, 4};
  const Fixture f = make_fixture(s, rng);
  const CqTensor t = build(f);
  const size_t m = 2;
  std::vector<std::vector<float>> xs{random_vector(s.cols, rng), random_vector(s.cols, rng)};
  std::vector<float> x_rot;
  for (const auto& x : xs) {
    const std::vector<float> xr = rotated(x, t);
    x_rot.insert(x_rot.end(), xr.begin(), xr.end());
  }
  for (Isa isa : kAllIsas) {
    if (!isa_supported(isa)) continue;
    SCOPED_TRACE(isa_name(isa));
    std::vector<float> y(m * s.rows);
    t.matmul_with(isa, nullptr, x_rot, m, y);
    for (size_t i = 0; i < m; ++i) {
      for (uint64_t r = 0; r < s.rows; ++r) {
        const std::vector<double> w = ref_row(f, r);
        double want = 0, magnitude = 0;
        for (uint64_t c = 0; c < s.cols; ++c) {
          want += w[c] * xs[i][c];
          magnitude += std::abs(w[c] * xs[i][c]);
        }
        expect_close(y[i * s.rows + r], want, magnitude, 1e-4, "row");
      }
    }
  }
}

TEST(CqMatmul, ParallelSplitsEqualOneThread) {
  std::mt19937 rng(12);
  WorkerPool three(3);
  // Row split (rows > 127) and batch split (rows <= 127, m > 15).
  struct Case {
    Shape s;
    size_t m;
  };
  // The wide batches (m >= 32) split rows at places that are not multiples
  // of the kernels' row tiles.
  for (const Case& c : {Case{{200, 1000, 64, 4}, 8}, Case{{100, 512, 64, 2}, 40},
                        Case{{90, 700, 128, 3}, 33}, Case{{200, 1000, 64, 4}, 40},
                        Case{{330, 256, 64, 5}, 70}}) {
    const CqTensor t = build(make_fixture(c.s, rng));
    const std::vector<float> x_rot = random_vector(c.m * t.padded_cols(), rng);
    for (Isa isa : kAllIsas) {
      if (!isa_supported(isa)) continue;
      SCOPED_TRACE(describe(c.s) + " " + isa_name(isa));
      std::vector<float> one(c.m * c.s.rows), pooled(one.size()), instance(one.size());
      t.matmul_with(isa, nullptr, x_rot, c.m, one);
      t.matmul_with(isa, &three, x_rot, c.m, pooled);
      t.matmul_with(isa, &WorkerPool::instance(), x_rot, c.m, instance);
      EXPECT_EQ(one, pooled);
      EXPECT_EQ(one, instance);
    }
  }
}

TEST(CqMatmul, InputsReorderedOnceGiveTheSameProducts) {
  std::mt19937 rng(14);
  const Shape shapes[] = {{13, 130, 64, 2}, {9, 200, 64, 3}, {23, 150, 64, 4}, {5, 40, 8, 4}};
  for (const Shape& s : shapes) {
    const CqTensor t = build(make_fixture(s, rng));
    const size_t m = 5;
    const std::vector<float> x_rot = random_vector(m * t.padded_cols(), rng);
    for (Isa isa : kAllIsas) {
      if (!isa_supported(isa)) continue;
      SCOPED_TRACE(describe(s) + " " + isa_name(isa));
      std::vector<float> xp(x_rot.size(), NAN), want(m * s.rows), got(m * s.rows, NAN);
      t.reorder_inputs(isa, x_rot, m, xp);
      // A permutation within every 64-float unit (the identity when the
      // product is portable): the same multiset of values per unit.
      const uint64_t unit = t.input_order(isa) == 0 ? 1 : 64;
      for (size_t b = 0; b < x_rot.size(); b += unit) {
        std::vector<float> a(x_rot.begin() + b, x_rot.begin() + b + unit);
        std::vector<float> c(xp.begin() + b, xp.begin() + b + unit);
        std::sort(a.begin(), a.end());
        std::sort(c.begin(), c.end());
        ASSERT_EQ(a, c);
      }
      // The same kernel on the same reordered floats: identical results.
      t.matmul_with(isa, nullptr, x_rot, m, want);
      t.matmul_reordered(isa, nullptr, xp, m, got);
      EXPECT_EQ(got, want);
    }
  }
  // The order depends on the instruction set and the stored bits only.
  const CqTensor a = build(make_fixture({4, 128, 64, 4}, rng));
  const CqTensor b = build(make_fixture({8, 256, 64, 4}, rng));
  const CqTensor c = build(make_fixture({4, 128, 64, 2}, rng));
  const CqTensor odd = build(make_fixture({4, 40, 8, 4}, rng));
  EXPECT_EQ(a.input_order(Isa::Portable), 0u);
  EXPECT_EQ(odd.input_order(best_isa()), 0u);  // group 8 always takes the portable path
  if (isa_includes(best_isa(), Isa::Avx2)) {  // the levels with vector products
    EXPECT_EQ(a.input_order(best_isa()), b.input_order(best_isa()));
    EXPECT_NE(a.input_order(best_isa()), c.input_order(best_isa()));
    EXPECT_NE(a.input_order(best_isa()), 0u);
  }
  std::vector<float> x(2 * 128), out(2 * 128), y(2 * 4);
  EXPECT_THROW(a.reorder_inputs(Isa::Portable, std::span<const float>(x).first(255), 2, out),
               std::invalid_argument);
  EXPECT_THROW(a.reorder_inputs(Isa::Portable, x, 2, std::span<float>(out).first(255)),
               std::invalid_argument);
  EXPECT_THROW(a.matmul_reordered(Isa::Portable, nullptr, x, 2, std::span<float>(y).first(7)),
               std::invalid_argument);
}

TEST(CqMatmul, RejectsShortBuffers) {
  std::mt19937 rng(13);
  const CqTensor t = build(make_fixture({4, 10, 8, 2}, rng));
  std::vector<float> x(2 * 16), y(2 * 4);
  EXPECT_THROW(t.matmul(std::span<const float>(x).first(31), 2, y), std::invalid_argument);
  EXPECT_THROW(t.matmul(x, 2, std::span<float>(y).first(7)), std::invalid_argument);
  EXPECT_THROW(t.matmul(x, std::numeric_limits<size_t>::max(), y), std::invalid_argument);
  t.matmul(x, 0, y);  // nothing to do
}

// ---- row-block selection ----

TEST(CqSelectRowBlocks, CopiesBlocksInListOrder) {
  std::mt19937 rng(14);
  const CqTensor t = build(make_fixture({12, 70, 64, 3}, rng));
  const std::vector<size_t> blocks{3, 0, 2, 3};
  auto picked = t.select_row_blocks(blocks, 3);
  ASSERT_TRUE(picked.ok());
  const CqTensor& p = picked.value();
  EXPECT_EQ(p.rows(), 12u);
  EXPECT_EQ(p.cols(), 70u);
  EXPECT_EQ(p.bits_code(), 3);
  std::vector<float> got(70), want(70);
  for (uint64_t i = 0; i < p.rows(); ++i) {
    p.dequantize_row(i, got);
    t.dequantize_row(blocks[i / 3] * 3 + i % 3, want);
    EXPECT_EQ(got, want) << "row " << i;  // same codes, same scales, same arithmetic
  }
  // The selection is a working tensor: its product equals the source rows'.
  const std::vector<float> x = random_vector(70, rng);
  std::vector<float> y_src(12), y_sel(12);
  t.matvec(x, y_src);
  p.matvec(x, y_sel);
  for (uint64_t i = 0; i < 12; ++i) EXPECT_EQ(y_sel[i], y_src[blocks[i / 3] * 3 + i % 3]);
}

TEST(CqSelectRowBlocks, RowOutOfRange) {
  std::mt19937 rng(15);
  const CqTensor t = build(make_fixture({12, 70, 64, 3}, rng));
  for (const std::vector<size_t>& blocks :
       {std::vector<size_t>{4}, std::vector<size_t>{0, 5}, std::vector<size_t>{kMax / 2}}) {
    auto r = t.select_row_blocks(blocks, 3);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error(), "mHC lane row out of range");
  }
  auto r = t.select_row_blocks(std::vector<size_t>{1}, 7);  // rows 7..13 of 12
  ASSERT_FALSE(r.ok());
}

// ---- the int8 form ----

// Shapes of the int8 products: every bits code, odd row counts (row tiles
// with remainders) and column counts (padded last groups), groups the vector
// kernel takes (multiples of 64) and ones only the portable path takes; the
// last is large enough that one vector's product splits over the pool.
const Shape kInt8Shapes[] = {
    {37, 200, 64, 4}, {5, 64, 64, 2},   {9, 300, 128, 3}, {70, 513, 64, 5},
    {3, 100, 32, 4},  {6, 30, 8, 3},    {130, 1100, 256, 4}, {1, 64, 64, 2},
    {301, 1000, 64, 4},
};

struct Int8Inputs {
  std::vector<float> rotated;  // m x padded_cols
  std::vector<int8_t> q;
  std::vector<float> scales;   // m x groups
};

Int8Inputs quantised_inputs(const CqTensor& t, size_t m, std::mt19937& rng) {
  Int8Inputs in;
  for (size_t v = 0; v < m; ++v) {
    const std::vector<float> xr = rotated(random_vector(t.cols(), rng), t);
    in.rotated.insert(in.rotated.end(), xr.begin(), xr.end());
  }
  in.q.resize(in.rotated.size());
  in.scales.resize(m * t.groups_per_row());
  CqTensor::quantize_input(in.rotated, t.group(), in.q, in.scales);
  return in;
}

// Every path gives the portable path's bits: the integer sums are exact and
// the float steps are taken in one order (cq_kernels.h), however the rows
// and inputs are tiled or split over the pool.
TEST(CqInt8, EveryPathAndSplitEqualsPortableExactly) {
  std::mt19937 rng(21);
  for (const Shape& s : kInt8Shapes) {
    CqTensor t = build(make_fixture(s, rng));
    ASSERT_TRUE(t.set_compute(Compute::kInt8));
    for (size_t m : {1, 2, 5, 7}) {
      const Int8Inputs in = quantised_inputs(t, m, rng);
      std::vector<float> base(m * s.rows);
      t.matmul_int8_with(Isa::Portable, nullptr, in.q, in.scales, m, base);
      for (Isa isa : kAllIsas) {
        if (!isa_supported(isa)) continue;
        SCOPED_TRACE(describe(s) + " m" + std::to_string(m) + " " + isa_name(isa));
        for (WorkerPool* pool : {static_cast<WorkerPool*>(nullptr), &WorkerPool::instance()}) {
          std::vector<float> y(m * s.rows, NAN);
          t.matmul_int8_with(isa, pool, in.q, in.scales, m, y);
          EXPECT_EQ(0, std::memcmp(y.data(), base.data(), y.size() * sizeof(float)));
          for (size_t v = 0; v < m; ++v) {
            std::vector<float> one(s.rows, NAN);
            t.matvec_int8_with(isa, pool, std::span(in.q).subspan(v * s.padded()),
                               std::span(in.scales).subspan(v * s.groups()), one);
            EXPECT_EQ(0, std::memcmp(one.data(), base.data() + v * s.rows, s.rows * sizeof(float)));
          }
        }
      }
    }
  }
}

// The vector kernels keep the row scales as the halves they were stored
// as; zeros, subnormals and the largest half come back exactly.
TEST(CqInt8, EdgeScalesGiveThePortableBits) {
  std::mt19937 rng(24);
  Fixture f = make_fixture({40, 256, 64, 4}, rng);
  const uint16_t edge[] = {0x0000, 0x8000, 0x0001, 0x83FF, 0x0200, 0x7BFF, 0xFBFF, 0x0400};
  const uint64_t code_bytes = 40 * f.shape.row_bytes();
  for (size_t i = 0; i < 40 * 4; ++i) {
    const uint16_t h = edge[i % 8];
    f.blob[code_bytes + 2 * i] = static_cast<uint8_t>(h & 0xFF);
    f.blob[code_bytes + 2 * i + 1] = static_cast<uint8_t>(h >> 8);
  }
  CqTensor t = build(f);
  ASSERT_TRUE(t.set_compute(Compute::kInt8));
  const Int8Inputs in = quantised_inputs(t, 3, rng);
  std::vector<float> base(3 * 40), y(3 * 40);
  t.matmul_int8_with(Isa::Portable, nullptr, in.q, in.scales, 3, base);
  for (Isa isa : kAllIsas) {
    if (!isa_supported(isa)) continue;
    t.matmul_int8_with(isa, nullptr, in.q, in.scales, 3, y);
    EXPECT_EQ(0, std::memcmp(y.data(), base.data(), y.size() * sizeof(float))) << isa_name(isa);
  }
}

// Against the exact product in the stored domain, within the error the two
// roundings allow. Per element k of group g (stored scale w_g, input scale
// s_g = max |x| / 127, level scale L = max |level| / 127), the level is off
// by at most L/2 and the input by at most s_g/2, so
//   |error_k| <= |w_g|·(|level_k|·s_g/2 + L/2·(|x_k| + s_g/2)),
// summed over the row, plus float rounding (1e-5 of the terms' magnitude).
TEST(CqInt8, WithinTheQuantisationBoundOfTheExactProduct) {
  std::mt19937 rng(22);
  for (const Shape& s : kInt8Shapes) {
    const Fixture f = make_fixture(s, rng);
    CqTensor t = build(f);
    ASSERT_TRUE(t.set_compute(Compute::kInt8));
    const Int8Inputs in = quantised_inputs(t, 1, rng);
    float top = 0;
    for (float l : t.levels()) top = std::max(top, std::abs(l));
    const double L = top / 127.0;
    std::vector<float> y(s.rows);
    t.matvec_int8_with(best_isa(), nullptr, in.q, in.scales, y);
    double worst = 0;
    for (uint64_t r = 0; r < s.rows; ++r) {
      double want = 0, bound = 0, magnitude = 0;
      for (uint64_t k = 0; k < s.padded(); ++k) {
        const double w = ref_scale(f, r, k / s.group), sg = in.scales[k / s.group];
        const double level = ref_level(f, ref_code(f, r, k)), x = in.rotated[k];
        want += w * level * x;
        magnitude += std::abs(w * level * x);
        bound += std::abs(w) * (std::abs(level) * sg / 2 + L / 2 * (std::abs(x) + sg / 2));
      }
      SCOPED_TRACE(describe(s) + " row " + std::to_string(r));
      EXPECT_LE(std::abs(y[r] - want), bound + 1e-5 * magnitude + 1e-7);
      worst = std::max(worst, std::abs(y[r] - want) / (bound + 1e-30));
    }
    EXPECT_GT(worst, 0.0);  // the bound is not vacuous: some error is made
  }
}

TEST(CqInt8, QuantizeInputRoundsPerGroupToNearestEven) {
  // Group 8: max 127 gives scale 1, so the values round as they are.
  const float x[16] = {127, 2.5f, 3.5f, -2.5f, -126.5f, 0.49f, NAN, -0.5f,
                       0, 0, 0, 0, 0, 0, 0, 0};
  const int8_t want[16] = {127, 2, 4, -2, -126, 0, -127, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  std::vector<int8_t> q(16);
  std::vector<float> scales(2, NAN);
  CqTensor::quantize_input(x, 8, q, scales);
  EXPECT_EQ(0, std::memcmp(q.data(), want, sizeof want));
  EXPECT_EQ(scales[0], 1.0f);
  EXPECT_EQ(scales[1], 0.0f);  // an all-zero group
  EXPECT_THROW(CqTensor::quantize_input(std::span(x, 12), 8, q, scales), std::invalid_argument);
  EXPECT_THROW(CqTensor::quantize_input(x, 8, std::span(q).first(15), scales),
               std::invalid_argument);
}

// Random groups (with exact ties and NaN) against the rule re-computed here:
// groups of 64 take the vector path where the machine has one, groups of 12
// the portable one.
TEST(CqInt8, QuantizeInputMatchesTheRuleOnEveryGroupLength) {
  std::mt19937 rng(29);
  std::uniform_real_distribution<float> u(-3.0f, 3.0f);
  for (uint64_t group : {64, 12}) {
    std::vector<float> x(group * 5);
    for (float& v : x) v = u(rng);
    x[3] = NAN;
    x[group] = 127.0f, x[group + 1] = 2.5f, x[group + 2] = -0.5f;  // scale 1: ties
    std::vector<int8_t> q(x.size());
    std::vector<float> scales(5);
    CqTensor::quantize_input(x, group, q, scales);
    for (size_t g = 0; g < 5; ++g) {
      float top = 0.0f;
      for (uint64_t j = 0; j < group; ++j) top = std::max(top, std::fabs(x[g * group + j]));
      EXPECT_EQ(scales[g], top / 127.0f);
      for (uint64_t j = 0; j < group; ++j) {
        const float v = x[g * group + j] * (127.0f / top);
        const int want = std::isnan(v) ? -127 : static_cast<int>(std::nearbyint(std::clamp(v, -127.0f, 127.0f)));
        EXPECT_EQ(q[g * group + j], want) << "group " << group << " element " << g * group + j;
      }
    }
  }
}

TEST(CqInt8, TheFormIsChosenAndDroppedAndGuardsItsBuffers) {
  std::mt19937 rng(23);
  CqTensor t = build(make_fixture({9, 130, 64, 4}, rng));
  EXPECT_EQ(t.compute(), Compute::kFloat);
  const std::vector<float> x = random_vector(130, rng);
  std::vector<float> as_float(9), as_int8(9);
  t.matvec(x, as_float);
  ASSERT_TRUE(t.set_compute(Compute::kInt8));
  EXPECT_EQ(t.compute(), Compute::kInt8);
  // matvec and matmul take the int8 path once the form is built.
  t.matvec(x, as_int8);
  const std::vector<float> xr = rotated(x, t);
  std::vector<int8_t> q(xr.size());
  std::vector<float> scales(t.groups_per_row()), want(9), batched(9);
  CqTensor::quantize_input(xr, t.group(), q, scales);
  t.matvec_int8_with(best_isa(), nullptr, q, scales, want);
  EXPECT_EQ(0, std::memcmp(as_int8.data(), want.data(), sizeof(float) * 9));
  t.matmul(xr, 1, batched);
  EXPECT_EQ(0, std::memcmp(batched.data(), want.data(), sizeof(float) * 9));
  // Row blocks keep the form; the float products stay available through *_with.
  const size_t blocks[] = {2, 0};
  EXPECT_EQ(t.select_row_blocks(blocks, 3).value().compute(), Compute::kInt8);
  std::vector<float> y(9);
  t.matvec_with(best_isa(), nullptr, x, y);
  EXPECT_EQ(0, std::memcmp(y.data(), as_float.data(), sizeof(float) * 9));
  EXPECT_THROW(t.matvec_int8_with(best_isa(), nullptr, std::span(q).first(10), scales, y),
               std::invalid_argument);
  EXPECT_THROW(t.matvec_int8_with(best_isa(), nullptr, q, std::span(scales).first(1), y),
               std::invalid_argument);
  EXPECT_THROW(t.matvec_int8_with(best_isa(), nullptr, q, scales, std::span(y).first(8)),
               std::invalid_argument);
  ASSERT_TRUE(t.set_compute(Compute::kFloat));
  EXPECT_THROW(t.matvec_int8_with(best_isa(), nullptr, q, scales, y), std::invalid_argument);
  // A group past the int8 limit keeps the float path.
  const uint64_t big = 2 * CqTensor::kMaxInt8Group;
  CqTensor wide = build(make_fixture({1, big, big, 4}, rng));
  EXPECT_FALSE(wide.set_compute(Compute::kInt8));
  EXPECT_EQ(wide.compute(), Compute::kFloat);
}

TEST(CqInt8, ComputeNamesParse) {
  EXPECT_EQ(parse_compute("INT8"), Compute::kInt8);
  EXPECT_EQ(parse_compute("float"), Compute::kFloat);
  EXPECT_EQ(parse_compute("fp16"), std::nullopt);
  EXPECT_STREQ(compute_name(Compute::kInt8), "int8");
}

}  // namespace
}  // namespace pinnet::core
