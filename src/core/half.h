// IEEE 754 binary16 -> binary32 widening. Exact for every input: subnormals
// become normal floats, infinities stay infinities, NaNs keep sign and payload
// (the 10-bit mantissa moves to the top of the 23-bit one, so a signalling
// NaN stays signalling).
#pragma once

#include <cstddef>
#include <cstdint>

namespace pinnet::core {

float half_to_float(uint16_t h);

// dst[i] = half_to_float(little-endian u16 at src + 2i) for i < n. Uses the
// processor's half-conversion instructions where present; bit-identical to
// the scalar rule either way. src needs no alignment.
void halves_to_floats(const uint8_t* little_endian_src, size_t n, float* dst);

namespace detail {
// The two implementations behind halves_to_floats, exposed for tests.
void halves_to_floats_portable(const uint8_t* src, size_t n, float* dst);
// Requires isa_supported(Isa::Avx2) (which implies F16C).
void halves_to_floats_f16c(const uint8_t* src, size_t n, float* dst);
}  // namespace detail

}  // namespace pinnet::core
