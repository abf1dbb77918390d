// Normalised fast Walsh-Hadamard transform (natural / Sylvester order) and the
// pad-and-rotate step that moves an input vector into the rotated domain in
// which codebook-quantised weights are stored.
#pragma once

#include <cstddef>
#include <span>

namespace pinnet::core {

// In place: x <- H_n x / sqrt(n), n = x.size() a power of two (1 allowed).
// Throws std::invalid_argument("FWHT length must be a power of two").
// Bit-identical to the plain butterfly definition: every butterfly is one
// exact add/subtract pair, and 1/sqrt(n) is computed once and multiplied in.
void fwht(std::span<float> x);

// dst[0, src.size()) <- src, dst[src.size(), dst.size()) <- 0, then every whole
// block of `block` floats of dst is transformed independently; a trailing
// partial block is left as copied.
// Throws std::out_of_range when dst is shorter than src,
// std::invalid_argument("chunk size must be non-zero") for block == 0 and
// std::invalid_argument("FWHT length must be a power of two") otherwise.
void pad_and_rotate(std::span<const float> src, size_t block, std::span<float> dst);

}  // namespace pinnet::core
