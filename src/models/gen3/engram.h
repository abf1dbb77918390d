// The n-gram memory: for every position the n-grams ending at its token are
// hashed into rows of quantised tables; the rows, concatenated, are projected
// to a key and a value; the value is smoothed by a causal convolution over
// earlier positions; a site block adds it to its input through a similarity
// gate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/cq.h"
#include "models/common/ngram_hash.h"
#include "models/gen3/geometry.h"

namespace pinnet::gen3 {

struct EngramSite {
  core::CqTensor tables;      // (num_tables·table_rows, sub_dim); table τ is a block of rows
  core::CqTensor key_proj;    // (d_model, d_model)
  core::CqTensor value_proj;  // (d_model, d_model)
  std::vector<float> taps;    // conv_taps x d_model; tap j is row j
};

// The site's tables as the shared n-gram lookup reads them: table τ = f·
// heads_per_order + i hashes n-grams of orders[f] with seed index
// i + f·effective_hash_stride + 1.
models::NgramTables engram_tables(const V3Geometry& g, const EngramSite& site);

// Row within table τ for the n-gram ending at tok[j] (wrapping 32-bit
// arithmetic, most recent token mixed in first).
uint64_t engram_row(const V3Geometry& g, std::span<const uint32_t> tok, size_t j, uint64_t table);

// F (d_model floats): the concatenated table rows of position p, whose token
// is tok[j]. Pieces of orders longer than p + 1 are zero.
void engram_fetch(const V3Geometry& g, const EngramSite& site, std::span<const uint32_t> tok,
                  size_t j, uint64_t p, float* out);

// Whether tap j contributes at position p: j·tap_spacing <= p and
// j·max_order <= p.
bool engram_tap_active(const V3Geometry& g, uint64_t j, uint64_t p);

// x <- x + sigmoid((x·key)/(c·e·sqrt(d)))·conv, with c and e the root mean
// squares of x and key.
void engram_gate(const float* key, const float* conv, size_t d, float* x);

}  // namespace pinnet::gen3
