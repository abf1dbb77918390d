#include "core/cpu.h"

#include <cstdint>
#include <cstdlib>

#if defined(PINNET_X86_KERNELS)
#include <cpuid.h>
#elif defined(PINNET_ARM_KERNELS) && defined(__linux__)
#include <asm/hwcap.h>
#include <sys/auxv.h>
#endif

namespace pinnet::core {
namespace {

#if defined(PINNET_X86_KERNELS)
// XCR0: which register states the OS saves on a context switch.
uint64_t read_xcr0() {
  uint32_t lo = 0, hi = 0;
  __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
  return (static_cast<uint64_t>(hi) << 32) | lo;
}

Isa detect() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return Isa::Portable;
  const bool osxsave = ecx & (1u << 27);
  const bool avx = ecx & (1u << 28);
  const bool fma = ecx & (1u << 12);
  const bool f16c = ecx & (1u << 29);
  if (!(osxsave && avx && fma && f16c)) return Isa::Portable;
  const uint64_t xcr0 = read_xcr0();
  constexpr uint64_t kYmmState = 0x6;    // SSE + AVX upper halves
  constexpr uint64_t kZmmState = 0xE0;   // opmask + ZMM0-15 upper + ZMM16-31
  if ((xcr0 & kYmmState) != kYmmState) return Isa::Portable;

  if (__get_cpuid_max(0, nullptr) < 7) return Isa::Portable;
  __cpuid_count(7, 0, eax, ebx, ecx, edx);
  const bool avx2 = ebx & (1u << 5);
  if (!avx2) return Isa::Portable;
  const bool f = ebx & (1u << 16);
  const bool dq = ebx & (1u << 17);
  const bool bw = ebx & (1u << 30);
  const bool vl = ebx & (1u << 31);
  if (f && dq && bw && vl && (xcr0 & kZmmState) == kZmmState) return Isa::Avx512;
  return Isa::Avx2;
}

bool detect_vnni_vbmi() {
  if (__get_cpuid_max(0, nullptr) < 7) return false;
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  __cpuid_count(7, 0, eax, ebx, ecx, edx);
  const bool vbmi = ecx & (1u << 1);
  const bool vnni = ecx & (1u << 11);
  return vbmi && vnni;
}
#elif defined(PINNET_ARM_KERNELS) && defined(__linux__)
#ifndef HWCAP2_I8MM
#define HWCAP2_I8MM (1UL << 13)  // kernel headers older than 5.10
#endif

Isa detect() {
  const unsigned long hwcap = getauxval(AT_HWCAP), hwcap2 = getauxval(AT_HWCAP2);
  if (!(hwcap & HWCAP_ASIMD)) return Isa::Portable;
  if (!(hwcap & HWCAP_ASIMDDP)) return Isa::Neon;
  return (hwcap2 & HWCAP2_I8MM) ? Isa::NeonI8mm : Isa::NeonDot;
}
bool detect_vnni_vbmi() { return false; }
#else
Isa detect() { return Isa::Portable; }
bool detect_vnni_vbmi() { return false; }
#endif

Isa detected() {
  static const Isa isa = detect();
  return isa;
}

char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equals_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  return true;
}

}  // namespace

std::optional<Isa> parse_isa(std::string_view text) {
  for (Isa isa : {Isa::Portable, Isa::Avx2, Isa::Avx512, Isa::Neon, Isa::NeonDot, Isa::NeonI8mm})
    if (equals_ignoring_case(text, isa_name(isa))) return isa;
  return std::nullopt;
}

Isa capped_isa(Isa detected_isa, const char* cap) {
  if (cap == nullptr) return detected_isa;
  const std::optional<Isa> limit = parse_isa(cap);
  return limit && isa_includes(detected_isa, *limit) ? *limit : detected_isa;
}

Isa best_isa() {
  static const Isa isa = capped_isa(detected(), std::getenv("PINNET_ISA"));
  return isa;
}

bool isa_supported(Isa isa) { return isa_includes(detected(), isa); }

bool has_avx512_int8() {
  static const bool has = detected() == Isa::Avx512 && detect_vnni_vbmi();
  return has;
}

std::optional<Compute> parse_compute(std::string_view text) {
  for (Compute c : {Compute::kFloat, Compute::kInt8})
    if (equals_ignoring_case(text, compute_name(c))) return c;
  return std::nullopt;
}

Compute default_compute() {
  static const Compute compute = [] {
    const char* text = std::getenv("PINNET_COMPUTE");
    return text == nullptr ? Compute::kFloat : parse_compute(text).value_or(Compute::kFloat);
  }();
  return compute;
}

const char* compute_name(Compute compute) { return compute == Compute::kInt8 ? "int8" : "float"; }

const char* isa_name(Isa isa) {
  switch (isa) {
    case Isa::Portable: return "portable";
    case Isa::Avx2: return "avx2";
    case Isa::Avx512: return "avx512";
    case Isa::Neon: return "neon";
    case Isa::NeonDot: return "dotprod";
    case Isa::NeonI8mm: return "i8mm";
  }
  return "unknown";
}

}  // namespace pinnet::core
