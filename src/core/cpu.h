// Processor dispatch: which vector instruction set the wide kernels may use.
// Decided once per process and cached; callers switch once per product or
// row block, never per element.
#pragma once

#include <optional>
#include <string_view>

namespace pinnet::core {

// Ordered within a processor family: a higher level implies every lower one
// of its family, and every level implies Portable; levels of two families
// imply nothing of each other (so compare them with isa_includes, not <).
//   x86-64:
//   Avx2     = AVX2 + FMA + F16C, with the OS saving the 256-bit registers.
//   Avx512   = Avx2 + AVX-512 F/BW/VL/DQ, with the OS saving the mask and
//              512-bit registers.
//   aarch64 (Linux, from the kernel's hardware capability bits):
//   Neon     = Advanced SIMD, which every aarch64 core has.
//   NeonDot  = Neon + the 8-bit dot products SDOT/UDOT.
//   NeonI8mm = NeonDot + the 8-bit matrix products SMMLA/UMMLA.
// A build reports only levels of the family it has vector units for (the
// build's PINNET_X86_KERNELS or PINNET_ARM_KERNELS; neither in a portable-only
// build or on another processor). No product has kernels for the ARM levels
// yet: at those levels every product runs its portable path.
enum class Isa { Portable = 0, Avx2 = 1, Avx512 = 2, Neon = 3, NeonDot = 4, NeonI8mm = 5 };

// Whether a processor at level `have` runs code written for level `want`.
constexpr bool isa_includes(Isa have, Isa want) {
  if (want == Isa::Portable) return true;
  const bool arm_have = have >= Isa::Neon, arm_want = want >= Isa::Neon;
  return have != Isa::Portable && arm_have == arm_want && want <= have;
}

// The level the kernels use. Computed on first call (thread-safe) and cached.
// The environment variable PINNET_ISA (a name isa_name gives) lowers it, to
// test the narrower paths on a wide machine; it never raises it above what the
// processor and OS can run. A value that names no level, or a level of the
// other family, is ignored.
Isa best_isa();

// Whether the processor has AVX-512 VNNI (VPDPBUSD) and VBMI (VPERMB) beside
// the Avx512 level; the int8 products use them when they run at Avx512, and
// the AVX2 int8 kernels otherwise. Cached like best_isa().
bool has_avx512_int8();

// What the processor and OS can run, of the levels this build reports,
// ignoring PINNET_ISA. Tests use it to run every available path against the
// scalar reference.
bool isa_supported(Isa isa);

// "portable", "avx2", "avx512", "neon", "dotprod" or "i8mm".
const char* isa_name(Isa isa);

// Parses a PINNET_ISA value (ASCII case-insensitive); nullopt when it names
// no level.
std::optional<Isa> parse_isa(std::string_view text);

// The level to use given what the machine has and an optional cap (the raw
// PINNET_ISA value, or nullptr when unset).
Isa capped_isa(Isa detected, const char* cap);

// Compute precision of the codebook-quantised products, chosen per loaded
// model at load time.
//   kFloat: every code decoded to its float level and multiplied in float
//           (within float rounding of the written computation).
//   kInt8:  each rotated input group quantised to int8 with its own scale,
//           the tensor's levels as int8 with one scale, integer dot products
//           per group, scaled in float (see CqTensor::prepare_int8).
enum class Compute { kFloat = 0, kInt8 = 1 };

// The default for loaders not given a choice: PINNET_COMPUTE=float|int8 from
// the environment, read once per process and cached; kFloat when unset or
// unrecognised.
Compute default_compute();

// "float" or "int8".
const char* compute_name(Compute compute);

// Parses a PINNET_COMPUTE value (ASCII case-insensitive); nullopt when it
// names no choice.
std::optional<Compute> parse_compute(std::string_view text);

}  // namespace pinnet::core
