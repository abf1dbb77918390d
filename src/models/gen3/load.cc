#include "models/gen3/load.h"

#include <algorithm>
#include <cmath>
#include <queue>
#include <utility>

#include "models/gen3/canon.h"

namespace pinnet::gen3 {

// ----------------------------------------------------------------------------
// Error texts

std::string LayoutError::message() const {
  using std::to_string;
  const std::string slot = "slot " + to_string(index) + " (" + label + "): ";
  switch (kind) {
    case Kind::kTooFew:
      return "canon needs at least " + to_string(want_rows) + " tensors, directory has " +
             to_string(got_rows);
    case Kind::kSlotShape:
      return slot + "want " + to_string(want_rows) + "x" + to_string(want_cols) + ", got " +
             to_string(got_rows) + "x" + to_string(got_cols);
    case Kind::kShort:
      return slot + "want at least " + to_string(want_rows) + " values, got " + to_string(got_rows);
    case Kind::kInvalid: return slot + detail;
  }
  return detail;
}

std::string LoadError::message() const {
  switch (kind) {
    case Kind::kContainer: return "container: " + container.to_string();
    case Kind::kGeometry: return "geometry: " + geometry.message();
    case Kind::kLayout: return "layout: " + layout.message();
    case Kind::kEmptyTensor: return text + " tensor is empty";
    case Kind::kMessage:
    case Kind::kFile: return text;
    case Kind::kNoTokenizer: return "container carries no tokenizer";
    case Kind::kBadTokenizer: return "embedded tokenizer did not decode";
  }
  return text;
}

// ----------------------------------------------------------------------------
// Depth ladder

std::vector<uint64_t> ladder_order(uint64_t n, uint64_t count) {
  std::vector<uint64_t> order;
  if (n == 0 || count == 0) return order;
  order.push_back(0);
  if (n > 1 && count > 1) order.push_back(n - 1);
  // Gaps between neighbouring chosen blocks: widest first, then leftmost.
  // Gaps never overlap, so this is the sort-and-scan rule in O(k log k).
  struct Gap {
    uint64_t lo, hi;
    bool operator<(const Gap& o) const {
      const uint64_t w = hi - lo, ow = o.hi - o.lo;
      return w != ow ? w < ow : lo > o.lo;
    }
  };
  std::priority_queue<Gap> gaps;
  if (n > 2) gaps.push({0, n - 1});
  while (order.size() < count && !gaps.empty()) {
    const Gap g = gaps.top();
    gaps.pop();
    const uint64_t mid = g.lo + (g.hi - g.lo) / 2;
    order.push_back(mid);
    if (mid - g.lo >= 2) gaps.push({g.lo, mid});
    if (g.hi - mid >= 2) gaps.push({mid, g.hi});
  }
  return order;
}

std::optional<std::vector<uint64_t>> rung(uint64_t n, uint64_t k) {
  if (k < 2 || k > n) return std::nullopt;
  std::vector<uint64_t> chosen = ladder_order(n, k);
  std::sort(chosen.begin(), chosen.end());
  return chosen;
}

// ----------------------------------------------------------------------------
// Binding

namespace {

template <class T>
using LoadResult = core::Result<T, LoadError>;

LoadError container_error(formats::TeskError e) {
  LoadError out;
  out.kind = LoadError::Kind::kContainer;
  out.container = std::move(e);
  return out;
}

LoadError layout_error(LayoutError e) {
  LoadError out;
  out.kind = LoadError::Kind::kLayout;
  out.layout = std::move(e);
  return out;
}

LoadError message_error(std::string text, LoadError::Kind kind = LoadError::Kind::kMessage) {
  LoadError out;
  out.kind = kind;
  out.text = std::move(text);
  return out;
}

LoadError short_error(const CanonEntry& e, uint64_t want, uint64_t got) {
  LayoutError l;
  l.kind = LayoutError::Kind::kShort;
  l.index = e.slot;
  l.label = e.label;
  l.want_rows = want;
  l.got_rows = got;
  return layout_error(std::move(l));
}

LoadError invalid_error(uint64_t slot, std::string label, std::string detail) {
  LayoutError l;
  l.kind = LayoutError::Kind::kInvalid;
  l.index = slot;
  l.label = std::move(label);
  l.detail = std::move(detail);
  return layout_error(std::move(l));
}

#define PINNET_TRY(var, expr)                              \
  auto var##_result = (expr);                              \
  if (!var##_result) return core::Err{var##_result.error()}; \
  auto var = std::move(var##_result).value()

// Float permutation values to indices: truncation toward zero, 0 for negative
// values and NaN, the largest 32-bit value above 4294967040.
uint32_t perm_index(float v) {
  if (!(v > 0.0f)) return 0;
  if (v > 4294967040.0f) return 4294967295u;
  return static_cast<uint32_t>(v);
}

class Binder {
 public:
  Binder(const formats::TeskImage& image, const V3Geometry& g, std::vector<CanonEntry> entries)
      : image_(image), g_(g), entries_(std::move(entries)) {}

  const CanonEntry& entry(Role role, uint64_t index = 0) const {
    return entries_[canon_slot(g_, role, index)];
  }

  LoadResult<core::CqTensor> cq(const CanonEntry& e) const {
    auto t = image_.tensor_cq(e.slot);
    if (!t) return core::Err{container_error(t.error())};
    return std::move(t).value();
  }

  // A float vector holding at least `want` values (the entry's minimum when
  // want is 0).
  LoadResult<std::vector<float>> floats(const CanonEntry& e, uint64_t want = 0) const {
    auto v = image_.tensor_floats(e.slot);
    if (!v) return core::Err{container_error(v.error())};
    if (e.role == Role::kAttnGate && v.value().empty())
      return core::Err{message_error("attn_gate", LoadError::Kind::kEmptyTensor)};
    const uint64_t need = want != 0 ? want : e.min_values;
    if (v.value().size() < need) return core::Err{short_error(e, need, v.value().size())};
    return std::move(v).value();
  }

  LoadResult<V3Block> block(uint64_t layer) const;

 private:
  const formats::TeskImage& image_;
  const V3Geometry& g_;
  std::vector<CanonEntry> entries_;
};

LoadResult<V3Block> Binder::block(uint64_t l) const {
  PINNET_TRY(norm_in, floats(entry(Role::kNormIn, l)));
  PINNET_TRY(q_proj, cq(entry(Role::kQProj, l)));
  PINNET_TRY(k_proj, cq(entry(Role::kKProj, l)));
  PINNET_TRY(v_proj, cq(entry(Role::kVProj, l)));
  std::vector<float> q_taps, k_taps, v_taps;
  if (g_.qkv_conv_taps != 0) {
    PINNET_TRY(qt, floats(entry(Role::kQTaps, l)));
    PINNET_TRY(kt, floats(entry(Role::kKTaps, l)));
    PINNET_TRY(vt, floats(entry(Role::kVTaps, l)));
    q_taps = std::move(qt);
    k_taps = std::move(kt);
    v_taps = std::move(vt);
  }
  PINNET_TRY(q_norm, floats(entry(Role::kQNorm, l)));
  PINNET_TRY(k_norm, floats(entry(Role::kKNorm, l)));
  PINNET_TRY(gate_proj, cq(entry(Role::kGateProj, l)));
  PINNET_TRY(out_proj, cq(entry(Role::kOutProj, l)));
  PINNET_TRY(post_norm, floats(entry(Role::kPostNorm, l)));
  PINNET_TRY(attn_gate, floats(entry(Role::kAttnGate, l)));
  PINNET_TRY(pre_hada, floats(entry(Role::kPreHada, l)));
  FeedForwardWeights ff;
  const Role ff_roles[] = {Role::kFfInScale, Role::kFfGateScale, Role::kFfGateBias, Role::kFfMidScale,
                           Role::kFfOutScale, Role::kFfA1, Role::kFfB1, Role::kFfA2, Role::kFfB2,
                           Role::kFfA3, Role::kFfB3};
  std::vector<float>* ff_fields[] = {&ff.in_scale, &ff.gate_scale, &ff.gate_bias, &ff.mid_scale,
                                     &ff.out_scale, &ff.a1, &ff.b1, &ff.a2, &ff.b2, &ff.a3, &ff.b3};
  for (size_t i = 0; i < std::size(ff_roles); ++i) {
    PINNET_TRY(v, floats(entry(ff_roles[i], l)));
    *ff_fields[i] = std::move(v);
  }
  // The router's directory entry carries the mixture-entry count E.
  const CanonEntry& router = entry(Role::kFfRouter, l);
  const formats::TensorEntry& re = image_.entry(router.slot);
  if (re.ndim != 2)
    return core::Err{invalid_error(router.slot, router.label,
                                   "want 2 dimensions, got " + std::to_string(re.ndim))};
  ff.experts = re.dims[1];
  {
    // Read first so a dtype fault is reported as the container's.
    PINNET_TRY(v, floats(router, 0));
    const uint64_t need = saturating_mul(g_.d_model, ff.experts);
    if (v.size() < need) return core::Err{short_error(router, need, v.size())};
    // Stored (d_model, E); kept entry-major so each probability is one dot
    // product (a j-major sum is a store-to-load chain through E floats).
    const size_t d = static_cast<size_t>(g_.d_model), E = static_cast<size_t>(ff.experts);
    ff.router.resize(d * E);
    for (size_t j = 0; j < d; ++j)
      for (size_t e = 0; e < E; ++e) ff.router[e * d + j] = v[j * E + e];
  }
  {
    const CanonEntry& e = entry(Role::kFfExpertScales, l);
    PINNET_TRY(v, floats(e, 0));
    const uint64_t need = saturating_mul(ff.experts, g_.hada_n);
    if (v.size() < need) return core::Err{short_error(e, need, v.size())};
    ff.expert_scales = std::move(v);
  }
  AttentionWeights attn{std::move(q_proj), std::move(k_proj), std::move(v_proj), std::move(q_taps),
                        std::move(k_taps), std::move(v_taps), std::move(q_norm), std::move(k_norm)};
  return V3Block{std::move(norm_in), std::move(attn),  std::move(gate_proj), std::move(out_proj),
                 std::move(post_norm), attn_gate[0], std::move(pre_hada), std::move(ff)};
}

LoadResult<ConfidenceHead> bind_head(const formats::TeskImage& image, const V3Geometry& full,
                                     const std::vector<uint64_t>& chosen, uint64_t first_slot) {
  auto cq_dense = [&](uint64_t slot) -> LoadResult<core::CqTensor> {
    auto t = image.tensor_cq(slot);
    if (!t) return core::Err{container_error(t.error())};
    return std::move(t).value();
  };
  auto floats = [&](uint64_t slot) -> LoadResult<std::vector<float>> {
    auto v = image.tensor_floats(slot);
    if (!v) return core::Err{container_error(v.error())};
    return std::move(v).value();
  };
  const uint64_t d = full.d_model;
  // Cells of the container's full depth: C = N + 1.
  const uint64_t C = full.num_layers + 1;
  PINNET_TRY(probes_t, cq_dense(first_slot));
  PINNET_TRY(scales, floats(first_slot + 1));
  const uint64_t rows = probes_t.rows();
  if (rows % C != 0 || scales.size() != rows) return core::Err{message_error(kProbeShapes)};
  if (probes_t.cols() != d)
    return core::Err{invalid_error(first_slot, "cell_probes",
                                   "want " + std::to_string(d) + " columns, got " +
                                       std::to_string(probes_t.cols()))};
  const uint64_t P = rows / C;
  PINNET_TRY(head_probes_t, cq_dense(first_slot + 2));
  if (head_probes_t.cols() != d)
    return core::Err{invalid_error(first_slot + 2, "head_probes",
                                   "want " + std::to_string(d) + " columns, got " +
                                       std::to_string(head_probes_t.cols()))};
  const uint64_t Q = head_probes_t.rows();
  PINNET_TRY(bias, floats(first_slot + 3));
  const uint64_t need_bias = saturating_mul(Q, rows);
  if (bias.size() < need_bias) {
    LayoutError l;
    l.kind = LayoutError::Kind::kShort;
    l.index = first_slot + 3;
    l.label = "pool_bias";
    l.want_rows = need_bias;
    l.got_rows = bias.size();
    return core::Err{layout_error(std::move(l))};
  }
  PINNET_TRY(proj_t, cq_dense(first_slot + 4));
  if (proj_t.cols() != saturating_mul(Q, d))
    return core::Err{invalid_error(first_slot + 4, "head_proj",
                                   "want " + std::to_string(saturating_mul(Q, d)) + " columns, got " +
                                       std::to_string(proj_t.cols()))};
  PINNET_TRY(head_bias, floats(first_slot + 5));

  // Keep cell 0 and the cell after each chosen block, in rung order.
  std::vector<uint64_t> cells = {0};
  for (uint64_t c : chosen) cells.push_back(c + 1);
  const std::vector<float> probes_full = probes_t.expand();
  ConfidenceHead h;
  h.cells = cells.size();
  h.probes = P;
  h.second = Q;
  h.outputs = proj_t.rows();
  h.d_model = d;
  const uint64_t K = h.cells * P;
  h.cell_probes.reserve(K * d);
  h.cell_scales.reserve(K);
  for (uint64_t c : cells) {
    h.cell_probes.insert(h.cell_probes.end(), probes_full.begin() + c * P * d,
                         probes_full.begin() + (c + 1) * P * d);
    h.cell_scales.insert(h.cell_scales.end(), scales.begin() + c * P, scales.begin() + (c + 1) * P);
  }
  h.pool_bias.reserve(Q * K);
  for (uint64_t q = 0; q < Q; ++q)
    for (uint64_t c : cells)
      h.pool_bias.insert(h.pool_bias.end(), bias.begin() + q * rows + c * P,
                         bias.begin() + q * rows + (c + 1) * P);
  h.head_probes = head_probes_t.expand();
  h.head_proj = proj_t.expand();
  h.head_bias = std::move(head_bias);
  return h;
}

}  // namespace

core::Result<V3Bundle, LoadError> bind_v3(const formats::TeskImage& image,
                                          std::optional<uint64_t> depth) {
  using core::Err;
  // Geometry.
  auto geometry = geometry_from_header(image.header_v3());
  if (!geometry) {
    LoadError e;
    e.kind = LoadError::Kind::kGeometry;
    e.geometry = geometry.error();
    return Err{std::move(e)};
  }
  const V3Geometry& full = geometry.value();
  const uint64_t N = full.num_layers;
  // An explicit depth must be a rung of the ladder (depth N binds the whole
  // container); without one every block binds, however few there are.
  if (depth && (*depth < 2 || *depth > N)) return Err{message_error(kDepthOutsideLadder)};

  // Layout: the count, then the shapes.
  const uint64_t count = image.tensor_count();
  const uint64_t o = final_slot(full);
  if (o >= count) {
    LayoutError l;
    l.kind = LayoutError::Kind::kTooFew;
    l.want_rows = count + 1;  // the first canon slot past the directory, plus one
    l.got_rows = count;
    return Err{layout_error(std::move(l))};
  }
  std::vector<CanonEntry> entries = canon_entries(full);
  auto check_shape = [&](const CanonEntry& e) -> std::optional<LoadError> {
    const formats::TensorEntry& te = image.entry(e.slot);
    if (te.dims[0] == e.rows && te.dims[1] == e.cols) return std::nullopt;
    LayoutError l;
    l.kind = LayoutError::Kind::kSlotShape;
    l.index = e.slot;
    l.label = e.label;
    l.want_rows = e.rows;
    l.want_cols = e.cols;
    l.got_rows = te.dims[0];
    l.got_cols = te.dims[1];
    return layout_error(std::move(l));
  };
  // The fixed shape checks in canon order (embedding, every block's
  // projections, every site's matrices).
  for (const CanonEntry& e : entries)
    if (e.shape_checked)
      if (auto err = check_shape(e)) return Err{std::move(*err)};

  Binder bind(image, full, std::move(entries));

  // The layout bounds N by the directory, so the block lists are small now.
  std::vector<uint64_t> chosen;
  if (depth) {
    chosen = *rung(N, *depth);
  } else {
    for (uint64_t l = 0; l < N; ++l) chosen.push_back(l);
  }

  // Tensors in canon order: embedding, the chosen blocks, lane vectors, lane
  // matrices, engram sets, permutations, final_norm.
  PINNET_TRY(embedding, bind.cq(bind.entry(Role::kEmbedding)));
  V3Parts parts;
  parts.embedding = std::move(embedding);
  parts.blocks.reserve(chosen.size());
  for (uint64_t l : chosen) {
    PINNET_TRY(b, bind.block(l));
    parts.blocks.push_back(std::move(b));
  }

  // Lane vectors: r values per block; keep those of the chosen blocks.
  const uint64_t n = full.mhc_lanes;
  const Role vector_roles[] = {Role::kMhcAPre, Role::kMhcAPost, Role::kMhcARes,
                               Role::kMhcBPre, Role::kMhcBPost, Role::kMhcBRes};
  const uint64_t per_block[] = {1, 1, 1, n, n, n * n};
  std::vector<float> lane_vectors[6];
  for (size_t i = 0; i < 6; ++i) {
    // The rung always holds block N - 1, so every chosen block's group lies
    // inside r·N values.
    PINNET_TRY(v, bind.floats(bind.entry(vector_roles[i])));
    lane_vectors[i] = std::move(v);
  }
  const Role matrix_roles[] = {Role::kPhiPre, Role::kPhiPost, Role::kPhiRes};
  std::optional<core::CqTensor> phi[3];
  for (size_t i = 0; i < 3; ++i) {
    PINNET_TRY(t, bind.cq(bind.entry(matrix_roles[i])));
    phi[i].emplace(std::move(t));
  }
  // The lane matrices' full shapes, which the pass relies on: a check of
  // ours, so it runs only after the lane vectors and the matrices themselves
  // have passed the written binding checks.
  for (Role role : matrix_roles)
    if (auto err = check_shape(bind.entry(role))) return Err{std::move(*err)};
  parts.lanes.reserve(chosen.size());
  for (uint64_t c : chosen) {
    const size_t one[1] = {static_cast<size_t>(c)};
    auto pre = phi[0]->select_row_blocks(one, n);
    auto post = phi[1]->select_row_blocks(one, n);
    auto res = phi[2]->select_row_blocks(one, n * n);
    if (!pre || !post || !res) return Err{message_error(!pre ? pre.error() : !post ? post.error() : res.error())};
    auto slice = [&](size_t i) {
      const uint64_t r = per_block[i];
      return std::vector<float>(lane_vectors[i].begin() + r * c, lane_vectors[i].begin() + r * (c + 1));
    };
    parts.lanes.push_back(LaneWeights{lane_vectors[0][c], lane_vectors[1][c], lane_vectors[2][c],
                                      slice(3), slice(4), slice(5), std::move(pre).value(),
                                      std::move(post).value(), std::move(res).value()});
  }

  // Engram sets of the sites inside the rung, in site order, renumbered.
  std::vector<uint64_t> position_of(N, UINT64_MAX);
  for (size_t i = 0; i < chosen.size(); ++i) position_of[chosen[i]] = i;
  V3Geometry g = full;
  g.num_layers = chosen.size();
  g.engram_sites.clear();
  for (uint64_t s = 0; s < full.engram_sites.size(); ++s) {
    const uint64_t block = full.engram_sites[s];
    if (block >= N || position_of[block] == UINT64_MAX) {
      // A site outside the rung drops out with its weights; a site past the
      // last block never runs but keeps its place at full depth.
      if (chosen.size() != N) continue;
      g.engram_sites.push_back(block);
    } else {
      g.engram_sites.push_back(position_of[block]);
    }
    PINNET_TRY(tables, bind.cq(bind.entry(Role::kEngramTables, s)));
    PINNET_TRY(key, bind.cq(bind.entry(Role::kEngramKeyProj, s)));
    PINNET_TRY(value, bind.cq(bind.entry(Role::kEngramValueProj, s)));
    PINNET_TRY(taps, bind.floats(bind.entry(Role::kEngramTaps, s)));
    parts.sites.push_back(EngramSite{std::move(tables), std::move(key), std::move(value), std::move(taps)});
  }
  g.global_layers.clear();
  for (uint64_t block : full.global_layers)
    if (position_of[block] != UINT64_MAX) g.global_layers.push_back(position_of[block]);

  // Permutations: empty (no gather) or hada_n indices below hada_n.
  const Role perm_roles[] = {Role::kPermA, Role::kPermB};
  std::vector<uint32_t>* perms[] = {&parts.perm_a, &parts.perm_b};
  for (size_t i = 0; i < 2; ++i) {
    const CanonEntry& e = bind.entry(perm_roles[i]);
    PINNET_TRY(v, bind.floats(e));
    if (v.empty()) continue;
    if (v.size() < full.hada_n) return Err{short_error(e, full.hada_n, v.size())};
    perms[i]->resize(full.hada_n);
    for (uint64_t j = 0; j < full.hada_n; ++j) {
      const uint32_t idx = perm_index(v[j]);
      if (idx >= full.hada_n)
        return Err{invalid_error(e.slot, e.label,
                                 "index " + std::to_string(idx) + " at " + std::to_string(j) +
                                     " is not below hada_n " + std::to_string(full.hada_n))};
      (*perms[i])[j] = idx;
    }
  }
  PINNET_TRY(final_norm, bind.floats(bind.entry(Role::kFinalNorm)));
  parts.final_norm = std::move(final_norm);
  parts.geometry = g;
  auto model = V3Model::assemble(std::move(parts));
  if (!model) return Err{message_error(model.error())};

  // Tokenizer: the first raw-bytes entry.
  uint64_t tok_index = count;
  for (uint64_t i = 0; i < count; ++i) {
    if (image.entry(i).dtype == formats::DTYPE_BYTES) {
      tok_index = i;
      break;
    }
  }
  if (tok_index == count) return Err{message_error("", LoadError::Kind::kNoTokenizer)};
  auto blob = image.tensor_bytes(tok_index);
  if (!blob) return Err{container_error(blob.error())};
  auto tokenizer = formats::SubwordTokenizer::parse(blob.value());
  if (!tokenizer) return Err{message_error("", LoadError::Kind::kBadTokenizer)};

  // Confidence-head region: o + 1 up to the tokenizer (or the directory end).
  std::optional<ConfidenceHead> head;
  const uint64_t region_end = tok_index > o ? tok_index : count;
  if (o + 1 < region_end) {
    PINNET_TRY(manifest, bind.floats(CanonEntry{o + 1, Role::kFinalNorm, 0, "head_manifest"}, 0));
    uint64_t at = o + 2;
    std::optional<uint64_t> first;
    for (float v : manifest) {
      const float clamped = std::clamp(v != v ? 0.0f : v, 0.0f, 255.0f);
      const uint8_t code = static_cast<uint8_t>(clamped);
      const uint64_t slots = code == 3 ? 7 : 6;
      if (at + slots > region_end) return Err{message_error(kHeadTensorsRanOut)};
      if (!first) first = at;
      at += slots;
    }
    // The engine scores with the first head of the manifest.
    if (first) {
      PINNET_TRY(h, bind_head(image, full, chosen, *first));
      head = std::move(h);
    }
  }
  return V3Bundle{std::move(model).value(), std::move(tokenizer).value(), std::move(head)};
}

core::Result<V3Bundle, LoadError> load_v3_bytes(formats::ByteImage bytes,
                                                std::optional<uint64_t> depth) {
  auto image = formats::TeskImage::parse_v3(std::move(bytes));
  if (!image) return core::Err{container_error(image.error())};
  return bind_v3(image.value(), depth);
}

core::Result<V3Bundle, LoadError> load_v3_file(const std::string& path, std::optional<uint64_t> depth) {
  auto image = formats::TeskImage::load(formats::TeskVersion::V3, path);
  if (!image) {
    const formats::TeskLoadError& e = image.error();
    if (e.is_file_error()) return core::Err{message_error(e.to_string(), LoadError::Kind::kFile)};
    return core::Err{container_error(std::get<formats::TeskError>(e.v))};
  }
  return bind_v3(image.value(), depth);
}

}  // namespace pinnet::gen3

#undef PINNET_TRY
