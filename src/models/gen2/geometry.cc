#include "models/gen2/geometry.h"

#include "core/checked_math.h"

namespace pinnet::gen2 {

namespace {


}  // namespace

const char* check_geometry(const V2Geometry& g) {
  if (g.num_heads == 0 || g.num_kv_heads == 0) return "head counts must be non-zero";
  if (g.num_heads % g.num_kv_heads != 0) return "num_heads must be divisible by num_kv_heads";
  if (g.head_dim == 0 || g.head_dim % 2 != 0) return "head_dim must be even (RoPE rotates half-splits)";
  if (g.d_model == 0 || g.num_layers == 0 || g.mhc_lanes == 0)
    return "d_model, mhc_lanes and num_layers must be non-zero";
  if (g.hada_n < g.d_model || !core::is_power_of_two(g.hada_n))
    return "hada_n must be a power of two at or above d_model";
  if (g.vocab_size == 0 || g.max_seq_len == 0) return "vocab_size and max_seq_len must be non-zero";
  if (!g.engram_sites.empty()) {
    if (g.orders.empty() || g.num_tables == 0 || g.sub_dim == 0 || g.table_rows == 0)
      return "engram geometry incomplete";
    if (g.num_tables % g.orders.size() != 0) return "num_tables must be divisible by the order count";
    for (uint64_t site : g.engram_sites)
      if (site >= g.num_layers) return "engram site beyond num_layers";
    // sub_dim and num_tables are each at most 2^32 here in any file that
    // passed the header reader, so the product cannot wrap.
    if (g.sub_dim * g.num_tables != g.d_model) return "engram fetched_dim must equal d_model";
  }
  return nullptr;
}

}  // namespace pinnet::gen2
