#include "core/half.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "core/cpu.h"

namespace pinnet::core {
namespace {

uint32_t bits_of(float f) {
  uint32_t b;
  std::memcpy(&b, &f, sizeof b);
  return b;
}

// binary16 by its definition: (-1)^s · 2^(e-15) · (1 + m/1024), subnormals
// 2^-14 · m/1024; infinities and NaNs rebuilt bit by bit (payload in the top
// mantissa bits, quiet bit kept as is).
uint32_t reference_bits(uint16_t h) {
  const bool negative = h & 0x8000;
  const int e = (h >> 10) & 0x1F;
  const int m = h & 0x3FF;
  if (e == 31) {
    return (negative ? 0x80000000u : 0u) | 0x7F800000u | (static_cast<uint32_t>(m) << 13);
  }
  const double magnitude =
      e == 0 ? std::ldexp(m / 1024.0, -14) : std::ldexp(1.0 + m / 1024.0, e - 15);
  return bits_of(static_cast<float>(negative ? -magnitude : magnitude));
}

std::vector<uint8_t> all_halves_le() {
  std::vector<uint8_t> bytes(2 * 65536);
  for (uint32_t h = 0; h < 65536; ++h) {
    bytes[2 * h] = static_cast<uint8_t>(h & 0xFF);
    bytes[2 * h + 1] = static_cast<uint8_t>(h >> 8);
  }
  return bytes;
}

TEST(HalfToFloat, ExhaustiveAgainstTheDefinition) {
  for (uint32_t h = 0; h < 65536; ++h) {
    const uint16_t half = static_cast<uint16_t>(h);
    ASSERT_EQ(bits_of(half_to_float(half)), reference_bits(half))
        << "half 0x" << std::hex << h;
  }
}

TEST(HalfToFloat, KnownValues) {
  EXPECT_EQ(half_to_float(0x3C00), 1.0f);
  EXPECT_EQ(half_to_float(0xC000), -2.0f);
  EXPECT_EQ(half_to_float(0x0001), std::ldexp(1.0f, -24));  // smallest subnormal
  EXPECT_EQ(half_to_float(0x7BFF), 65504.0f);                // largest finite
  EXPECT_EQ(bits_of(half_to_float(0x8000)), 0x80000000u);    // negative zero
  EXPECT_TRUE(std::isinf(half_to_float(0xFC00)));
  // A signalling NaN stays signalling (quiet bit clear), payload kept.
  EXPECT_EQ(bits_of(half_to_float(0x7C01)), 0x7F802000u);
}

void expect_bulk_matches_scalar(void (*convert)(const uint8_t*, size_t, float*)) {
  const std::vector<uint8_t> bytes = all_halves_le();
  // Whole table, then odd lengths at an odd (unaligned) byte offset.
  std::vector<float> out(65536);
  convert(bytes.data(), 65536, out.data());
  for (uint32_t h = 0; h < 65536; ++h) {
    ASSERT_EQ(bits_of(out[h]), reference_bits(static_cast<uint16_t>(h)))
        << "half 0x" << std::hex << h;
  }
  std::vector<uint8_t> shifted(bytes.size() + 1);
  std::memcpy(shifted.data() + 1, bytes.data(), bytes.size());
  for (size_t n : {0u, 1u, 7u, 8u, 9u, 17u, 1001u}) {
    const size_t first = 31744 - 3;  // straddles the infinities and NaNs
    std::vector<float> part(n + 1, -1.0f);
    convert(shifted.data() + 1 + 2 * first, n, part.data());
    for (size_t i = 0; i < n; ++i) {
      ASSERT_EQ(bits_of(part[i]), reference_bits(static_cast<uint16_t>(first + i)));
    }
    EXPECT_EQ(part[n], -1.0f) << "wrote past n = " << n;
  }
}

TEST(HalvesToFloats, PortableIsExact) {
  expect_bulk_matches_scalar(detail::halves_to_floats_portable);
}

TEST(HalvesToFloats, F16cIsExact) {
  if (!isa_supported(Isa::Avx2)) GTEST_SKIP() << "no F16C on this processor";
  expect_bulk_matches_scalar(detail::halves_to_floats_f16c);
}

TEST(HalvesToFloats, DispatchedIsExact) { expect_bulk_matches_scalar(halves_to_floats); }

}  // namespace
}  // namespace pinnet::core
