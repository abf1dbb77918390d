#include "models/gen3/canon.h"

namespace pinnet::gen3 {

uint64_t block_slots(const V3Geometry& g) { return g.qkv_conv_taps != 0 ? 27 : 24; }

uint64_t final_slot(const V3Geometry& g) {
  uint64_t o = saturating_add(1, saturating_mul(block_slots(g), g.num_layers));
  o = saturating_add(o, 11);
  return saturating_add(o, saturating_mul(4, g.engram_sites.size()));
}

uint64_t block_base(const V3Geometry& g, uint64_t layer) { return 1 + block_slots(g) * layer; }
uint64_t globals_base(const V3Geometry& g) { return block_base(g, g.num_layers); }
uint64_t site_base(const V3Geometry& g, uint64_t site) { return globals_base(g) + 11 + 4 * site; }

uint64_t canon_slot(const V3Geometry& g, Role role, uint64_t index) {
  const uint64_t base_block = block_base(g, index);
  const uint64_t T = g.qkv_conv_taps != 0 ? 3 : 0;
  switch (role) {
    case Role::kEmbedding: return 0;
    case Role::kNormIn: return base_block;
    case Role::kQProj: return base_block + 1;
    case Role::kKProj: return base_block + 2;
    case Role::kVProj: return base_block + 3;
    case Role::kQTaps: return base_block + 4;
    case Role::kKTaps: return base_block + 5;
    case Role::kVTaps: return base_block + 6;
    default: break;
  }
  const auto r = static_cast<uint64_t>(role);
  if (role >= Role::kQNorm && role <= Role::kFfExpertScales)
    return base_block + 4 + T + (r - static_cast<uint64_t>(Role::kQNorm));
  const uint64_t d = globals_base(g);
  if (role >= Role::kMhcAPre && role <= Role::kPermB)
    return d + (r - static_cast<uint64_t>(Role::kMhcAPre));
  if (role >= Role::kEngramTables && role <= Role::kEngramTaps)
    return site_base(g, index) + (r - static_cast<uint64_t>(Role::kEngramTables));
  return final_slot(g);
}

std::vector<CanonEntry> canon_entries(const V3Geometry& g) {
  std::vector<CanonEntry> out;
  out.reserve(final_slot(g) + 1);
  auto cq = [&](Role role, uint64_t index, const char* label, uint64_t rows, uint64_t cols,
                bool checked) {
    CanonEntry e;
    e.slot = out.size();
    e.role = role;
    e.index = index;
    e.label = label;
    e.kind = SlotKind::kCq;
    e.rows = rows;
    e.cols = cols;
    e.shape_checked = checked;
    out.push_back(e);
  };
  auto floats = [&](Role role, uint64_t index, const char* label, uint64_t min_values) {
    CanonEntry e;
    e.slot = out.size();
    e.role = role;
    e.index = index;
    e.label = label;
    e.kind = SlotKind::kFloats;
    e.min_values = min_values;
    out.push_back(e);
  };

  const uint64_t d = g.d_model, N = g.hada_n, T = g.qkv_conv_taps;
  const uint64_t n = g.mhc_lanes, L = g.num_layers;
  const uint64_t r = g.ff_rows(), c = g.ff_cols();
  cq(Role::kEmbedding, 0, "embedding", g.vocab_size, d, true);
  for (uint64_t l = 0; l < L; ++l) {
    floats(Role::kNormIn, l, "norm_in", d);
    cq(Role::kQProj, l, "q_proj", g.q_width(), d, true);
    cq(Role::kKProj, l, "k_proj", g.k_width(), d, true);
    cq(Role::kVProj, l, "v_proj", g.v_width(), d, true);
    if (T != 0) {
      floats(Role::kQTaps, l, "q_taps", saturating_mul(T, g.q_width()));
      floats(Role::kKTaps, l, "k_taps", saturating_mul(T, g.k_width()));
      floats(Role::kVTaps, l, "v_taps", saturating_mul(T, g.v_width()));
    }
    floats(Role::kQNorm, l, "q_norm", g.head_dim);
    floats(Role::kKNorm, l, "k_norm", g.head_dim);
    cq(Role::kGateProj, l, "gate_proj", g.o_width(), d, true);
    cq(Role::kOutProj, l, "out_proj", d, g.o_width(), true);
    floats(Role::kPostNorm, l, "post_norm", d);
    floats(Role::kAttnGate, l, "attn_gate", 1);
    floats(Role::kPreHada, l, "pre_hada", d);
    floats(Role::kFfInScale, l, "ff_in_scale", N);
    floats(Role::kFfGateScale, l, "ff_gate_scale", N);
    floats(Role::kFfGateBias, l, "ff_gate_bias", N);
    floats(Role::kFfMidScale, l, "ff_mid_scale", N);
    floats(Role::kFfOutScale, l, "ff_out_scale", d);
    floats(Role::kFfA1, l, "ff_a1", r * r);
    floats(Role::kFfB1, l, "ff_b1", c * c);
    floats(Role::kFfA2, l, "ff_a2", r * r);
    floats(Role::kFfB2, l, "ff_b2", c * c);
    floats(Role::kFfA3, l, "ff_a3", r * r);
    floats(Role::kFfB3, l, "ff_b3", c * c);
    floats(Role::kFfRouter, l, "ff_router", 0);
    floats(Role::kFfExpertScales, l, "ff_expert_scales", 0);
  }
  const uint64_t nn = saturating_mul(n, n);
  floats(Role::kMhcAPre, 0, "mhc_a_pre", L);
  floats(Role::kMhcAPost, 0, "mhc_a_post", L);
  floats(Role::kMhcARes, 0, "mhc_a_res", L);
  floats(Role::kMhcBPre, 0, "mhc_b_pre", saturating_mul(L, n));
  floats(Role::kMhcBPost, 0, "mhc_b_post", saturating_mul(L, n));
  floats(Role::kMhcBRes, 0, "mhc_b_res", saturating_mul(L, nn));
  const uint64_t lane_cols = saturating_mul(n, d);
  cq(Role::kPhiPre, 0, "mhc_phi_pre", saturating_mul(L, n), lane_cols, false);
  cq(Role::kPhiPost, 0, "mhc_phi_post", saturating_mul(L, n), lane_cols, false);
  cq(Role::kPhiRes, 0, "mhc_phi_res", saturating_mul(L, nn), lane_cols, false);
  // Empty permutations are allowed (the gather is skipped); the binder checks
  // a non-empty one for hada_n entries.
  floats(Role::kPermA, 0, "perm_a", 0);
  floats(Role::kPermB, 0, "perm_b", 0);
  for (uint64_t s = 0; s < g.engram_sites.size(); ++s) {
    cq(Role::kEngramTables, s, "engram tables", g.num_tables() * g.table_rows, g.sub_dim, true);
    cq(Role::kEngramKeyProj, s, "engram key_proj", d, d, true);
    cq(Role::kEngramValueProj, s, "engram value_proj", d, d, true);
    floats(Role::kEngramTaps, s, "engram taps", saturating_mul(g.conv_taps, d));
  }
  floats(Role::kFinalNorm, 0, "final_norm", d);
  return out;
}

}  // namespace pinnet::gen3
