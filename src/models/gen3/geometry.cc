#include "models/gen3/geometry.h"

#include <algorithm>
#include <limits>

#include "formats/tesk.h"

namespace pinnet::gen3 {

namespace {


GeometryError error(GeometryError::Kind kind, uint64_t a = 0, uint64_t b = 0) {
  return GeometryError{kind, a, b, std::string()};
}

GeometryError invalid(std::string text) {
  return GeometryError{GeometryError::Kind::kInvalid, 0, 0, std::move(text)};
}

}  // namespace



std::string GeometryError::message() const {
  using std::to_string;
  switch (kind) {
    case Kind::kNoOrders: return "container declares no engram orders";
    case Kind::kTablesNotDivisible:
      return "engram tables " + to_string(a) + " is not a multiple of " + to_string(b) +
             " orders, so the per-order head count is undefined";
    case Kind::kNoTables: return "container declares no engram tables";
    case Kind::kSubDimMismatch:
      return "engram sub_dim " + to_string(a) + " disagrees with d_model / (orders * heads) = " +
             to_string(b);
    case Kind::kHeadsNotDivisible:
      return to_string(a) + " query heads do not divide into " + to_string(b) + " kv heads";
    case Kind::kInvalid: return detail;
  }
  return detail;
}

uint64_t V3Geometry::max_order() const {
  if (orders.empty()) return 1;
  return *std::max_element(orders.begin(), orders.end());
}

bool V3Geometry::is_global(uint64_t layer) const {
  return std::binary_search(global_layers.begin(), global_layers.end(), layer);
}

uint64_t V3Geometry::cache_cap(uint64_t layer) const {
  if (is_global(layer)) return max_seq_len;
  if (kv_window != 0 && kv_window <= max_seq_len) return kv_window;
  return max_seq_len;
}

uint64_t V3Geometry::ff_rows() const {
  unsigned k = 0;
  while (k < 63 && (uint64_t{1} << (k + 1)) <= hada_n) ++k;
  return uint64_t{1} << (k / 2);
}

uint64_t V3Geometry::engram_history() const {
  return conv_taps == 0 ? 0 : saturating_mul(conv_taps - 1, tap_spacing);
}

uint64_t V3Geometry::kv_bytes(uint64_t seq_len, bool kv_int8) const {
  const uint64_t widths = saturating_add(head_dim, v_head_dim);
  const uint64_t per_position = kv_int8 ? saturating_mul(num_kv_heads, saturating_add(widths, 8))
                                        : saturating_mul(saturating_mul(4, num_kv_heads), widths);
  uint64_t total = 0;
  for (uint64_t layer = 0; layer < num_layers; ++layer) {
    const uint64_t w =
        (is_global(layer) || kv_window == 0) ? seq_len : std::min(kv_window, seq_len);
    total = saturating_add(total, saturating_mul(w, per_position));
  }
  return total;
}

core::Result<V3Geometry, GeometryError> geometry_from_header(const formats::TeskHeaderV3& h) {
  using core::Err;
  using std::to_string;
  using Kind = GeometryError::Kind;
  if (h.orders.empty()) return Err{error(Kind::kNoOrders)};
  const uint64_t orders = h.orders.size();
  if (h.num_tables % orders != 0)
    return Err{error(Kind::kTablesNotDivisible, h.num_tables, orders)};
  // Zero tables would make the per-order head count 0 and the sub_dim
  // computation below divide by zero.
  if (h.num_tables == 0) return Err{error(Kind::kNoTables)};
  const uint64_t heads_per_order = h.num_tables / orders;
  const uint64_t computed = h.d_model / (orders * heads_per_order);
  if (computed != h.sub_dim) return Err{error(Kind::kSubDimMismatch, h.sub_dim, computed)};
  if (h.num_kv_heads == 0 || h.num_heads % h.num_kv_heads != 0)
    return Err{error(Kind::kHeadsNotDivisible, h.num_heads, h.num_kv_heads)};

  // Sizes the forward pass divides by, indexes with or loops over.
  const std::pair<const char*, uint64_t> positive[] = {
      {"vocab_size", h.vocab_size}, {"d_model", h.d_model},     {"num_heads", h.num_heads},
      {"num_layers", h.num_layers}, {"head_dim", h.head_dim},   {"v_head_dim", h.v_head_dim},
      {"max_seq_len", h.max_seq_len}, {"mhc_lanes", h.mhc_lanes}};
  for (const auto& [name, value] : positive)
    if (value == 0) return Err{invalid(std::string(name) + " is 0")};
  if (h.head_dim % 2 != 0)
    return Err{invalid("head_dim " + to_string(h.head_dim) +
                       " is odd; the rotary embedding turns pairs of elements")};
  if (!core::is_power_of_two(h.hada_n) || h.hada_n < h.d_model)
    return Err{invalid("hada_n " + to_string(h.hada_n) +
                       " is not a power of two at or above d_model " + to_string(h.d_model))};
  if (h.logit_count > h.vocab_size)
    return Err{invalid("logit_count " + to_string(h.logit_count) + " exceeds vocab_size " +
                       to_string(h.vocab_size))};
  if (!h.engram_sites.empty()) {
    if (h.table_rows == 0) return Err{invalid("engram table_rows is 0")};
    if (h.tap_spacing == 0 && h.conv_taps > 1)
      return Err{invalid("engram tap_spacing is 0 with " + to_string(h.conv_taps) +
                         " convolution taps")};
  }

  V3Geometry g;
  for (uint64_t j = 0; j < 64 && j < h.num_layers; ++j)
    if ((h.global_layer_mask >> j) & 1) g.global_layers.push_back(j);
  g.orders = h.orders;
  g.engram_sites = h.engram_sites;
  g.heads_per_order = heads_per_order;
  g.table_rows = h.table_rows;
  g.sub_dim = h.sub_dim;
  g.conv_taps = h.conv_taps;
  g.tap_spacing = h.tap_spacing;
  g.hash_stride = h.hash_stride;
  g.vocab_size = h.vocab_size;
  g.logit_count = h.logit_count;
  g.d_model = h.d_model;
  g.num_heads = h.num_heads;
  g.num_kv_heads = h.num_kv_heads;
  g.num_layers = h.num_layers;
  g.head_dim = h.head_dim;
  g.v_head_dim = h.v_head_dim;
  g.max_seq_len = h.max_seq_len;
  g.hada_n = h.hada_n;
  g.mhc_lanes = h.mhc_lanes;
  g.kv_window = h.kv_window;
  g.qkv_conv_taps = h.qkv_conv_taps;
  g.rope_theta = h.rope_theta;
  return g;
}

}  // namespace pinnet::gen3
