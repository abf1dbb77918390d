// The hashed n-gram memory's lookup: the n-grams ending at a position's token
// pick one row in each of a site's quantised tables, and the rows,
// concatenated, are what the site projects to a key and a value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/cq.h"

namespace pinnet::models {

// Row (below `rows`) of the n-gram of `order` tokens ending at tok[j], in the
// table whose seed index is `seed`: h = seed·0x9E3779B9, then for each of the
// `order` tokens, most recent first, h ^= token (tokens before tok[0] are
// skipped, their round still taken) and h *= 0x01000193, all wrapping 32-bit;
// the row is (h ^ (h >> 15)) mod rows.
uint64_t ngram_row(uint32_t seed, std::span<const uint32_t> tok, size_t j, uint64_t order,
                   uint64_t rows);

// The tables of one site and how each is keyed.
struct NgramTables {
  const core::CqTensor* rows = nullptr;  // (count·table_rows, width); table τ is a block of rows
  uint64_t count = 0;                    // tables
  uint64_t table_rows = 0;               // rows of one table
  uint64_t width = 0;                    // floats of one row
  std::span<const uint64_t> orders;      // table τ hashes n-grams of orders[τ / per_order]
  uint64_t per_order = 1;                // tables of one order
  // Seed index of table τ: τ mod per_order + (τ / per_order)·seed_stride + 1
  // (wrapping 32-bit; a stride of per_order numbers the tables from 1).
  uint64_t seed_stride = 1;
};

// The seed index of table τ (see NgramTables::seed_stride).
uint32_t ngram_seed(const NgramTables& t, uint64_t table);

// out (d floats): the rows of the n-grams ending at tok[j], the token of
// position p, table after table; a table whose order is longer than p + 1
// gives a zero piece, and floats past count·width are zero.
void ngram_fetch(const NgramTables& t, std::span<const uint32_t> tok, size_t j, uint64_t p,
                 float* out, size_t d);

}  // namespace pinnet::models
