#include "models/common/ngram_hash.h"

#include <algorithm>

namespace pinnet::models {

namespace {
constexpr uint32_t kSeedMul = 0x9E3779B9u;
constexpr uint32_t kRoundMul = 0x01000193u;
}  // namespace

uint64_t ngram_row(uint32_t seed, std::span<const uint32_t> tok, size_t j, uint64_t order,
                   uint64_t rows) {
  uint32_t h = seed * kSeedMul;
  for (uint64_t k = 0; k < order; ++k) {
    if (k <= j) h ^= tok[j - k];
    h *= kRoundMul;
  }
  return (h ^ (h >> 15)) % rows;
}

uint32_t ngram_seed(const NgramTables& t, uint64_t table) {
  const uint64_t f = table / t.per_order, i = table % t.per_order;
  return static_cast<uint32_t>(i) + static_cast<uint32_t>(f) * static_cast<uint32_t>(t.seed_stride) + 1u;
}

void ngram_fetch(const NgramTables& t, std::span<const uint32_t> tok, size_t j, uint64_t p,
                 float* out, size_t d) {
  const uint64_t w = t.width;
  for (uint64_t tau = 0; tau < t.count; ++tau) {
    float* piece = out + tau * w;
    const uint64_t order = t.orders[tau / t.per_order];
    // Fewer tokens so far than the order: a zero piece, and no hash (an
    // order is a header word, so its loop is bounded only by this check).
    if (p + 1 < order) {
      std::fill(piece, piece + w, 0.0f);
      continue;
    }
    const uint64_t row = tau * t.table_rows + ngram_row(ngram_seed(t, tau), tok, j, order, t.table_rows);
    t.rows->dequantize_row(row, std::span<float>(piece, w));
  }
  // A width not dividing d leaves a tail no table fills.
  std::fill(out + t.count * w, out + d, 0.0f);
}

}  // namespace pinnet::models
