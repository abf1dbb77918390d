#include "models/gen3/engram.h"

#include <algorithm>
#include <cmath>

#include "core/kernels.h"
#include "models/gen3/attention.h"

namespace pinnet::gen3 {

models::NgramTables engram_tables(const V3Geometry& g, const EngramSite& site) {
  models::NgramTables t;
  t.rows = &site.tables;
  t.count = g.num_tables();
  t.table_rows = g.table_rows;
  t.width = g.sub_dim;
  t.orders = g.orders;
  t.per_order = g.heads_per_order;
  t.seed_stride = g.effective_hash_stride();
  return t;
}

uint64_t engram_row(const V3Geometry& g, std::span<const uint32_t> tok, size_t j, uint64_t table) {
  models::NgramTables t;
  t.per_order = g.heads_per_order;
  t.seed_stride = g.effective_hash_stride();
  return models::ngram_row(models::ngram_seed(t, table), tok, j, g.orders[table / t.per_order],
                           g.table_rows);
}

void engram_fetch(const V3Geometry& g, const EngramSite& site, std::span<const uint32_t> tok,
                  size_t j, uint64_t p, float* out) {
  models::ngram_fetch(engram_tables(g, site), tok, j, p, out, g.d_model);
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
