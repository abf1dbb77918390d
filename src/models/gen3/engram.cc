#include "models/gen3/engram.h"

#include <algorithm>
#include <cmath>

#include "core/kernels.h"
#include "models/gen3/attention.h"

namespace pinnet::gen3 {

namespace {
constexpr uint32_t kSeedMul = 0x9E3779B9u;
constexpr uint32_t kRoundMul = 0x01000193u;
}  // namespace

uint64_t engram_row(const V3Geometry& g, std::span<const uint32_t> tok, size_t j, uint64_t table) {
  const uint64_t hpo = g.heads_per_order;
  const uint64_t f = table / hpo, i = table % hpo;
  const uint32_t stride = static_cast<uint32_t>(g.effective_hash_stride());
  uint32_t h = (static_cast<uint32_t>(i) + static_cast<uint32_t>(f) * stride + 1u) * kSeedMul;
  const uint64_t order = g.orders[f];
  for (uint64_t k = 0; k < order; ++k) {
    if (k <= j) h ^= tok[j - k];
    h *= kRoundMul;
  }
  return (h ^ (h >> 15)) % g.table_rows;
}

void engram_fetch(const V3Geometry& g, const EngramSite& site, std::span<const uint32_t> tok,
                  size_t j, uint64_t p, float* out) {
  const uint64_t tables = g.num_tables(), w = g.sub_dim;
  for (uint64_t tau = 0; tau < tables; ++tau) {
    float* piece = out + tau * w;
    if (p + 1 < g.orders[tau / g.heads_per_order]) {
      std::fill(piece, piece + w, 0.0f);
      continue;
    }
    const uint64_t row = tau * g.table_rows + engram_row(g, tok, j, tau);
    site.tables.dequantize_row(row, std::span<float>(piece, w));
  }
  // d_model not divisible by the table count leaves a tail no table fills.
  std::fill(out + tables * w, out + g.d_model, 0.0f);
}

bool engram_tap_active(const V3Geometry& g, uint64_t j, uint64_t p) {
  return saturating_mul(j, g.tap_spacing) <= p && saturating_mul(j, g.max_order()) <= p;
}

void engram_gate(const float* key, const float* conv, size_t d, float* x) {
  const float df = static_cast<float>(d);
  const float c = std::sqrt(models::dot(x, x, d) / df + 1e-6f);
  const float e = std::sqrt(models::dot(key, key, d) / df + 1e-6f);
  const float g = core::sigmoid(((1.0f / e) * ((1.0f / c) * models::dot(x, key, d))) / std::sqrt(df));
  for (size_t i = 0; i < d; ++i) x[i] += g * conv[i];
}

}  // namespace pinnet::gen3
