#include "core/cpu.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

namespace pinnet::core {
namespace {

struct Level {
  Isa isa;
  const char* name;
};
// Every level, each family lowest first.
constexpr Level kLevels[] = {{Isa::Portable, "portable"}, {Isa::Avx2, "avx2"},
                             {Isa::Avx512, "avx512"},     {Isa::Neon, "neon"},
                             {Isa::NeonDot, "dotprod"},   {Isa::NeonI8mm, "i8mm"}};

Isa highest_supported() {
  Isa best = Isa::Portable;
  for (const Level& l : kLevels)
    if (isa_supported(l.isa)) best = l.isa;
  return best;
}

TEST(Cpu, NamesRoundTrip) {
  for (const Level& l : kLevels) {
    EXPECT_STREQ(isa_name(l.isa), l.name);
    EXPECT_EQ(parse_isa(l.name), l.isa);
  }
  EXPECT_EQ(parse_isa("AVX2"), Isa::Avx2);
  EXPECT_EQ(parse_isa("Portable"), Isa::Portable);
  EXPECT_EQ(parse_isa("DotProd"), Isa::NeonDot);
  for (const char* bad : {"", "avx2 ", "sse4", "avx", "asimd", "neon-dot", "sve"})
    EXPECT_EQ(parse_isa(bad), std::nullopt) << bad;
}

TEST(Cpu, LevelsImplyTheLowerOnesOfTheirFamily) {
  struct Case {
    Isa have, want;
    bool includes;
  };
  constexpr Case cases[] = {
      {Isa::Avx512, Isa::Avx2, true},    {Isa::Avx2, Isa::Avx512, false},
      {Isa::NeonI8mm, Isa::Neon, true},  {Isa::NeonDot, Isa::NeonI8mm, false},
      {Isa::Neon, Isa::Avx2, false},     {Isa::NeonI8mm, Isa::Avx512, false},
      {Isa::Avx512, Isa::Neon, false},   {Isa::Portable, Isa::Neon, false},
      {Isa::NeonDot, Isa::Portable, true}, {Isa::Portable, Isa::Portable, true}};
  for (const Case& c : cases)
    EXPECT_EQ(isa_includes(c.have, c.want), c.includes) << isa_name(c.have) << " " << isa_name(c.want);
}

TEST(Cpu, OverrideOnlyLowers) {
  struct Case {
    Isa detected;
    const char* cap;
    Isa expected;
  };
  constexpr Case cases[] = {
      {Isa::Avx512, nullptr, Isa::Avx512},  {Isa::Avx512, "avx2", Isa::Avx2},
      {Isa::Avx512, "portable", Isa::Portable}, {Isa::Avx2, "avx512", Isa::Avx2},
      {Isa::Portable, "avx2", Isa::Portable}, {Isa::Avx2, "bogus", Isa::Avx2},
      {Isa::Avx2, "", Isa::Avx2},           {Isa::NeonI8mm, "dotprod", Isa::NeonDot},
      {Isa::NeonI8mm, "neon", Isa::Neon},   {Isa::NeonDot, "i8mm", Isa::NeonDot},
      {Isa::NeonDot, "portable", Isa::Portable},
      // A level of the other family names nothing this processor has.
      {Isa::NeonI8mm, "avx2", Isa::NeonI8mm}, {Isa::Avx512, "neon", Isa::Avx512}};
  for (const Case& c : cases) {
    EXPECT_EQ(capped_isa(c.detected, c.cap), c.expected)
        << isa_name(c.detected) << " capped by " << (c.cap ? c.cap : "(unset)");
  }
}

TEST(Cpu, SupportIsMonotonic) {
  EXPECT_TRUE(isa_supported(Isa::Portable));
  for (const Level& have : kLevels) {
    for (const Level& want : kLevels) {
      if (isa_supported(have.isa) && isa_includes(have.isa, want.isa)) {
        EXPECT_TRUE(isa_supported(want.isa)) << have.name << " without " << want.name;
      }
    }
  }
}

TEST(Cpu, BestIsaFollowsTheEnvironmentCap) {
  const Isa best = best_isa();
  EXPECT_EQ(best, capped_isa(highest_supported(), std::getenv("PINNET_ISA")));
  EXPECT_TRUE(isa_supported(best));
  EXPECT_EQ(best_isa(), best);  // cached
}

// Scripts that run this binary on a known processor (an emulated one) name the
// level it must detect in PINNET_EXPECT_ISA.
TEST(Cpu, DetectsTheExpectedLevel) {
  std::printf("detected level: %s\n", isa_name(highest_supported()));
  const char* expected = std::getenv("PINNET_EXPECT_ISA");
  if (expected == nullptr) GTEST_SKIP() << "PINNET_EXPECT_ISA is unset";
  ASSERT_TRUE(parse_isa(expected).has_value()) << expected;
  EXPECT_EQ(highest_supported(), *parse_isa(expected)) << "detected " << isa_name(highest_supported());
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
#endif

#if !defined(PINNET_X86_KERNELS) && !defined(PINNET_ARM_KERNELS)
TEST(Cpu, PortableBuildReportsPortable) { EXPECT_EQ(highest_supported(), Isa::Portable); }
#endif

}  // namespace
}  // namespace pinnet::core
