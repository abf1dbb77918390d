#include "core/cpu.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace pinnet::core {
namespace {

Isa highest_supported() {
  if (isa_supported(Isa::Avx512)) return Isa::Avx512;
  if (isa_supported(Isa::Avx2)) return Isa::Avx2;
  return Isa::Portable;
}

TEST(Cpu, NamesRoundTrip) {
  EXPECT_STREQ(isa_name(Isa::Portable), "portable");
  EXPECT_STREQ(isa_name(Isa::Avx2), "avx2");
  EXPECT_STREQ(isa_name(Isa::Avx512), "avx512");
  for (Isa isa : {Isa::Portable, Isa::Avx2, Isa::Avx512}) EXPECT_EQ(parse_isa(isa_name(isa)), isa);
  EXPECT_EQ(parse_isa("AVX2"), Isa::Avx2);
  EXPECT_EQ(parse_isa("Portable"), Isa::Portable);
  EXPECT_EQ(parse_isa(""), std::nullopt);
  EXPECT_EQ(parse_isa("avx2 "), std::nullopt);
  EXPECT_EQ(parse_isa("sse4"), std::nullopt);
  EXPECT_EQ(parse_isa("avx"), std::nullopt);
}

TEST(Cpu, OverrideOnlyLowers) {
  EXPECT_EQ(capped_isa(Isa::Avx512, nullptr), Isa::Avx512);
  EXPECT_EQ(capped_isa(Isa::Avx512, "avx2"), Isa::Avx2);
  EXPECT_EQ(capped_isa(Isa::Avx512, "portable"), Isa::Portable);
  EXPECT_EQ(capped_isa(Isa::Avx2, "avx512"), Isa::Avx2);
  EXPECT_EQ(capped_isa(Isa::Portable, "avx2"), Isa::Portable);
  EXPECT_EQ(capped_isa(Isa::Avx2, "bogus"), Isa::Avx2);
  EXPECT_EQ(capped_isa(Isa::Avx2, ""), Isa::Avx2);
}

TEST(Cpu, SupportIsMonotonic) {
  EXPECT_TRUE(isa_supported(Isa::Portable));
  if (isa_supported(Isa::Avx512)) {
    EXPECT_TRUE(isa_supported(Isa::Avx2));
  }
}

TEST(Cpu, BestIsaFollowsTheEnvironmentCap) {
  const Isa best = best_isa();
  EXPECT_EQ(best, capped_isa(highest_supported(), std::getenv("PINNET_ISA")));
  EXPECT_TRUE(isa_supported(best));
  EXPECT_EQ(best_isa(), best);  // cached
}

#if defined(PINNET_X86_KERNELS) && defined(__GNUC__)
// The compiler's own feature probe (which also checks the OS register state)
// must agree with our cpuid/xgetbv reading.
TEST(Cpu, AgreesWithCompilerProbe) {
  __builtin_cpu_init();
  const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  EXPECT_EQ(isa_supported(Isa::Avx2), avx2);
  const bool avx512 = avx2 && __builtin_cpu_supports("avx512f") &&
                      __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl") &&
                      __builtin_cpu_supports("avx512dq");
  EXPECT_EQ(isa_supported(Isa::Avx512), avx512);
}
#else
TEST(Cpu, PortableBuildReportsPortable) { EXPECT_EQ(highest_supported(), Isa::Portable); }
#endif

}  // namespace
}  // namespace pinnet::core
