#include "models/gen3/model.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "core/interrupt.h"
#include "core/kernels.h"
#include "core/worker_pool.h"
#include "core/vec.h"
#include "models/common/parallel.h"
#include "models/common/kv_ring.h"
#include "models/common/lanes.h"
#include "models/common/ngram_hash.h"
#include "models/common/prefill_attention.h"

namespace pinnet::gen3 {

namespace {

using models::for_items;
using models::for_positions;

// Runs body(i0, i1) over tiles of positions covering 0 .. m - 1, the tiles on
// the pool. A tile's lanes (n·d floats a position, 8 KiB at d = 512, n = 4)
// stay in cache through every stage it runs.
template <class F>
void run_tiles(size_t m, F&& body) {
  constexpr size_t kTile = 24;
  const size_t tiles = (m + kTile - 1) / kTile;
  for_items(tiles, [&](size_t t) { body(t * kTile, std::min(m, t * kTile + kTile)); });
}

// Grows `v` to at least n floats, keeping what it holds.
void fit(std::vector<float>& v, size_t n) {
  if (v.size() < n) v.resize(n, 0.0f);
}

void add_scaled(const float* src, float scale, size_t n, float* dst) {
  for (size_t i = 0; i < n; ++i) dst[i] += scale * src[i];
}

void multiply(const float* a, const float* b, size_t n, float* out) {
  for (size_t i = 0; i < n; ++i) out[i] = a[i] * b[i];
}

}  // namespace

// One forward call over m consecutive positions p0 .. p0 + m - 1.
struct V3Model::Pass {
  std::span<const uint32_t> tokens;    // the m tokens
  std::span<const uint32_t> hash_seq;  // what the n-gram hash reads
  size_t hash_j0 = 0;                  // index in hash_seq of tokens[0]
  uint64_t p0 = 0;
  size_t m = 0;
  KvCache* cache = nullptr;
  bool int8 = false;  // int8 rounding of q, k and v
  bool step = false;  // attention reads the cache (m == 1)
  Workspace* ws = nullptr;
  CellCollector* collector = nullptr;
  bool all_logits = false;
  std::span<float> out;  // logit_width floats per produced row
};

// ----------------------------------------------------------------------------
// Assembly

core::Result<V3Model, std::string> V3Model::assemble(V3Parts parts) {
  using core::Err;
  const V3Geometry& g = parts.geometry;
  if (parts.blocks.size() != g.num_layers || parts.lanes.size() != g.num_layers) return Err{std::string("layer count does not match geometry")};
  if (parts.sites.size() != g.engram_sites.size())
    return Err{std::string("engram site count does not match geometry")};
  if (!parts.embedding || parts.embedding->rows() != g.vocab_size ||
      parts.embedding->cols() != g.d_model)
    return Err{std::string("embedding shape does not match geometry")};
  return V3Model(std::move(parts));
}

V3Model::V3Model(V3Parts parts)
    : g_(std::move(parts.geometry)),
      embedding_(std::move(*parts.embedding)),
      blocks_(std::move(parts.blocks)),
      lanes_(std::move(parts.lanes)),
      sites_(std::move(parts.sites)),
      final_norm_(std::move(parts.final_norm)),
      perm_a_(std::move(parts.perm_a)),
      perm_b_(std::move(parts.perm_b)),
      shelf_(std::make_unique<WorkspaceShelf>()) {
  embedding_scale_ = std::sqrt(static_cast<float>(embedding_.cols()));
  rope_freq_ = core::rope_frequencies(g_.head_dim, g_.rope_theta);
  site_of_layer_.assign(g_.num_layers, -1);
  for (size_t s = 0; s < g_.engram_sites.size(); ++s) {
    const uint64_t layer = g_.engram_sites[s];
    if (layer < g_.num_layers && site_of_layer_[layer] < 0) site_of_layer_[layer] = static_cast<int64_t>(s);
  }
  ff_shape_.d = g_.d_model;
  ff_shape_.n = g_.hada_n;
  ff_shape_.r = g_.ff_rows();
  ff_shape_.c = g_.ff_cols();
  for (const V3Block& b : blocks_) max_experts_ = std::max(max_experts_, b.ff.experts);
  for (const LaneWeights& w : lanes_) {
    std::vector<float> dense;
    for (const core::CqTensor* t : {&w.phi_res, &w.phi_pre, &w.phi_post}) {
      const std::vector<float> rows = t->expand();
      dense.insert(dense.end(), rows.begin(), rows.end());
    }
    lane_dense_.push_back(std::move(dense));
  }
}

void V3Model::set_compute(core::Compute compute) {
  compute_ = compute;
  for (V3Block& b : blocks_) {
    for (core::CqTensor* t : {&b.attn.q_proj, &b.attn.k_proj, &b.attn.v_proj, &b.gate_proj, &b.out_proj})
      t->set_compute(compute);
  }
  for (LaneWeights& w : lanes_) {
    for (core::CqTensor* t : {&w.phi_res, &w.phi_pre, &w.phi_post}) t->set_compute(compute);
  }
  for (EngramSite& s : sites_) {
    s.key_proj.set_compute(compute);
    s.value_proj.set_compute(compute);
  }
  embedding_.set_compute(compute);
}

// ----------------------------------------------------------------------------
// Scratch

void Workspace::prepare(const V3Model& model, size_t positions, size_t logit_rows) {
  const V3Geometry& g = model.geometry();
  m = positions;
  const size_t n = g.mhc_lanes, d = g.d_model, nd = n * d;
  fit(stream, m * nd);
  fit(stream_norm, m == 1 ? nd : 0);  // the step only: a prefill scales logits instead
  fit(stream_old, models::lane_post_mix_needs_copy(n) ? m * nd : 0);  // the post-mix's copy of the lanes
  fit(lane_logits, m * (n * n + 2 * n));
  fit(gates, m * n);
  fit(x_in, m * d);
  fit(x, m * d);
  fit(xn, m * d);
  fit(attn_out, m * d);
  fit(q_raw, m * g.q_width());
  fit(k_raw, m * g.k_width());
  fit(v_raw, m * g.v_width());
  fit(q, m * g.q_width());
  fit(k, m * g.k_width());
  fit(v, m * g.v_width());
  fit(gate, m * g.o_width());
  fit(o, m * g.o_width());
  const size_t half = g.head_dim / 2;
  fit(rope_cos, m * half);
  fit(rope_sin, m * half);
  fit(ff, m * feed_forward_scratch(model.ff_shape_, model.max_experts_));
  if (m == 1) {
    for (const LaneWeights& w : model.lanes()) {
      rot_lanes.reserve(w.phi_pre, m);
      rot_lanes.reserve(w.phi_post, m);
      rot_lanes.reserve(w.phi_res, m);
    }
  }
  for (const V3Block& b : model.blocks()) {
    rot_xn.reserve(b.attn.q_proj, m);
    rot_xn.reserve(b.attn.k_proj, m);
    rot_xn.reserve(b.attn.v_proj, m);
    rot_xn.reserve(b.gate_proj, m);
    rot_o.reserve(b.out_proj, m);
  }
  if (!model.sites().empty()) {
    fit(fetched, m * d);
    fit(values, m * d);
    site_keys.resize(model.sites().size());
    site_convs.resize(model.sites().size());
    for (std::vector<float>& keys : site_keys) fit(keys, m * d);
    for (std::vector<float>& convs : site_convs) fit(convs, m * d);
    for (const EngramSite& s : model.sites()) {
      rot_fetched.reserve(s.key_proj, m);
      rot_fetched.reserve(s.value_proj, m);
    }
  }
  fit(mean, m * d);
  rot_mean.reserve(model.embedding(), logit_rows);
  fit(logits, logit_rows * g.vocab_size);
}

KvCache V3Model::new_cache(uint64_t requested_positions, bool kv_int8) const {
  return KvCache(*this, requested_positions, kv_int8);
}

// ----------------------------------------------------------------------------
// Entry points

void V3Model::step(uint32_t token, KvCache& cache, std::span<float> logits) const {
  if (cache.layer_count() != blocks_.size() || cache.sites_.size() != sites_.size())
    throw std::logic_error("KvCache belongs to another model");
  if (logits.size() < logit_width()) throw std::invalid_argument("logits must hold logit_width floats");
  cache.push_token(token);
  const uint32_t tokens[1] = {token};
  Pass pass;
  pass.tokens = tokens;
  pass.hash_seq = cache.recent_;
  pass.hash_j0 = cache.recent_.size() - 1;
  pass.p0 = cache.position_;
  pass.m = 1;
  pass.cache = &cache;
  pass.int8 = cache.kv_int8();
  pass.step = true;
  pass.ws = &cache.scratch_;
  pass.out = logits;
  forward(pass);
  ++cache.position_;
}

void V3Model::prefill(std::span<const uint32_t> tokens, KvCache* cache,
                      std::span<float> last_logits, CellCollector* collector) const {
  if (!last_logits.empty() && last_logits.size() < logit_width())
    throw std::invalid_argument("last_logits must hold logit_width floats");
  run_prefill(tokens, cache, last_logits, false, collector);
}

void V3Model::prefill_all(std::span<const uint32_t> tokens, KvCache* cache,
                          std::span<float> all_logits) const {
  if (all_logits.size() < tokens.size() * logit_width())
    throw std::invalid_argument("all_logits must hold positions x logit_width floats");
  run_prefill(tokens, cache, all_logits, true, nullptr);
}

void V3Model::run_prefill(std::span<const uint32_t> tokens, KvCache* cache, std::span<float> out,
                          bool all_logits, CellCollector* collector) const {
  if (tokens.empty()) return;
  if (cache != nullptr && cache->layer_count() != blocks_.size())
    throw std::logic_error("prefill needs a KvCache of this model");
  // A pass may continue a session: its positions start at the cache's, and
  // the n-gram hash reads the session's last tokens before the pass's own.
  const uint64_t p0 = cache != nullptr ? cache->position() : 0;
  std::vector<uint32_t> hash_seq;
  if (p0 > 0) {
    hash_seq.reserve(cache->recent_.size() + tokens.size());
    hash_seq.assign(cache->recent_.begin(), cache->recent_.end());
    hash_seq.insert(hash_seq.end(), tokens.begin(), tokens.end());
  }
  // Returned to the shelf on every exit, exceptions included.
  struct Borrowed {
    WorkspaceShelf& shelf;
    std::unique_ptr<Workspace> ws;
    ~Borrowed() { shelf.give_back(std::move(ws)); }
  } borrowed{*shelf_, shelf_->take()};
  Workspace& ws = *borrowed.ws;
  ws.prepare(*this, tokens.size(), out.empty() ? 0 : all_logits ? tokens.size() : 1);
  Pass pass;
  pass.tokens = tokens;
  pass.hash_seq = p0 > 0 ? std::span<const uint32_t>(hash_seq) : tokens;
  pass.hash_j0 = p0 > 0 ? cache->recent_.size() : 0;
  pass.p0 = p0;
  pass.m = tokens.size();
  pass.cache = cache;
  pass.int8 = cache != nullptr && cache->kv_int8();
  pass.ws = &ws;
  pass.collector = collector;
  pass.all_logits = all_logits;
  pass.out = out;
  forward(pass);
  if (cache != nullptr) {
    for (uint32_t t : tokens.subspan(tokens.size() - std::min<size_t>(tokens.size(), g_.max_order())))
      cache->push_token(t);
    cache->position_ = p0 + tokens.size();
  }
}

// ----------------------------------------------------------------------------
// Forward

void V3Model::forward(Pass& pass) const {
  Workspace& ws = *pass.ws;
  const size_t m = pass.m, d = g_.d_model, n = g_.mhc_lanes, half = g_.head_dim / 2;
  engram_stage(pass);

  // Embedding (ids beyond the table read its last row), scaled; every lane
  // starts as it. Rotary angles of every position.
  const uint64_t last_row = g_.vocab_size - 1;
  for_positions(m, [&](size_t i) {
    float* x0 = ws.x_in.data() + i * d;
    embedding_.dequantize_row(std::min<uint64_t>(pass.tokens[i], last_row), std::span<float>(x0, d));
    for (size_t j = 0; j < d; ++j) x0[j] *= embedding_scale_;
    for (size_t lane = 0; lane < n; ++lane)
      std::memcpy(ws.stream.data() + (i * n + lane) * d, x0, d * sizeof(float));
    core::rope_angles(rope_freq_, pass.p0 + i, ws.rope_cos.data() + i * half, ws.rope_sin.data() + i * half);
  });
  if (pass.collector != nullptr) pass.collector->collect(0, ws.x_in.data(), m, d);

  // A block is its head (lane logits, pre-mix, attention input), attention
  // and the output product, and its tail (feed-forward, post-mix). The tail
  // of a block and the head of the next run together per tile of positions,
  // so the lanes a tail writes are read again while still in cache.
  //
  // Of the last block only the keys and values of every position are ever
  // read (by the session), and its output only at the positions whose
  // logits are wanted: the other positions skip its queries, attention,
  // output product and tail.
  const size_t last_live = pass.collector != nullptr || pass.all_logits ? 0
                           : pass.out.empty()                           ? m
                                                                        : m - 1;
  const size_t ow = g_.o_width();
  if (!blocks_.empty()) run_tiles(m, [&](size_t i0, size_t i1) { block_head(pass, 0, i0, i1); });
  for (size_t layer = 0; layer < blocks_.size(); ++layer) {
    core::poll_interrupt();  // between blocks the pass may be dropped whole
    const bool next = layer + 1 < blocks_.size();
    const size_t live = next ? 0 : last_live;
    attention(pass, layer, live);
    core::poll_interrupt();  // a long prompt's attention alone may take tens of ms
    const V3Block& b = blocks_[layer];
    ws.rot_o.invalidate();
    if (live < m)
      models::product(b.out_proj, ws.rot_o, ws.o.data() + live * ow, ow, m - live, ws.attn_out.data() + live * d);
    run_tiles(m, [&](size_t i0, size_t i1) {
      for (size_t i = std::max(i0, live); i < i1; ++i) block_tail(pass, layer, i);
      if (pass.collector != nullptr)
        for (size_t i = i0; i < i1; ++i) models::lane_mean(ws.stream.data() + i * n * d, n, d, ws.mean.data() + i * d);
      if (next) block_head(pass, layer + 1, i0, i1);
    });
    if (pass.collector != nullptr) pass.collector->collect(layer + 1, ws.mean.data(), m, d);
  }
  logits_stage(pass);
}

void V3Model::engram_stage(Pass& pass) const {
  if (sites_.empty()) return;
  Workspace& ws = *pass.ws;
  const size_t m = pass.m, d = g_.d_model;
  const uint64_t taps = g_.conv_taps, spacing = g_.tap_spacing;
  for (size_t s = 0; s < sites_.size(); ++s) {
    const EngramSite& site = sites_[s];
    const models::NgramTables tables = engram_tables(g_, site);
    for_positions(m, [&](size_t i) {
      models::ngram_fetch(tables, pass.hash_seq, pass.hash_j0 + i, pass.p0 + i, ws.fetched.data() + i * d, d);
    });
    ws.rot_fetched.invalidate();
    models::products(ws.rot_fetched, ws.fetched.data(), d, m,
                     {{&site.key_proj, ws.site_keys[s].data()}, {&site.value_proj, ws.values.data()}});
    float* conv = ws.site_convs[s].data();
    for_positions(m, [&](size_t i) {
      const uint64_t p = pass.p0 + i;
      float* out = conv + i * d;
      std::fill(out, out + d, 0.0f);
      for (uint64_t j = 0; j < taps; ++j) {
        if (!engram_tap_active(g_, j, p)) continue;
        const uint64_t t = p - j * spacing;  // no underflow: j·spacing <= p
        const float* src = t >= pass.p0 ? ws.values.data() + (t - pass.p0) * d
                                        : pass.cache->site_value(s, t);
        const float* tap = site.taps.data() + j * d;
        for (size_t e = 0; e < d; ++e) out[e] += tap[e] * src[e];
      }
    });
    if (pass.cache != nullptr) {
      for (size_t i = 0; i < m; ++i) pass.cache->push_site_value(s, pass.p0 + i, ws.values.data() + i * d);
    }
  }
}

void V3Model::block_head(Pass& pass, size_t layer, size_t i0, size_t i1) const {
  lane_logits(pass, layer, i0, i1);
  for (size_t i = i0; i < i1; ++i) {
    lane_pre_mix(pass, layer, i);
    ngram_read(pass, layer, i);
    attention_input(pass, layer, i);
  }
}

void V3Model::lane_logits(Pass& pass, size_t layer, size_t i0, size_t i1) const {
  Workspace& ws = *pass.ws;
  const LaneWeights& lw = lanes_[layer];
  const size_t n = g_.mhc_lanes, nd = n * g_.d_model;
  const size_t lw_width = n * n + 2 * n;  // res, pre, post logits per position
  // The pre-mix and the post-mix read logits of the same normalised lanes.
  float* logits = ws.lane_logits.data() + i0 * lw_width;
  if (pass.m == 1) {
    core::rms_norm_plain(std::span<const float>(ws.stream.data(), nd),
                         std::span<float>(ws.stream_norm.data(), nd));
    ws.rot_lanes.invalidate();
    models::products(ws.rot_lanes, ws.stream_norm.data(), nd, 1,
                     {{&lw.phi_res, logits}, {&lw.phi_pre, logits + n * n}, {&lw.phi_post, logits + n * n + n}});
    return;
  }
  // One dense product for the three lane matrices over the tile's lanes,
  // each position's logits then scaled by its 1 / rms (the norm is a scalar
  // per position, so no normalised copy of the lanes is written).
  models::vec_dense_rows(lane_dense_[layer].data(), lw_width, nd, ws.stream.data() + i0 * nd, nd,
                         i1 - i0, logits);
  for (size_t i = i0; i < i1; ++i) {
    const float inv = core::inv_rms(std::span<const float>(ws.stream.data() + i * nd, nd));
    float* row = ws.lane_logits.data() + i * lw_width;
    for (size_t k = 0; k < lw_width; ++k) row[k] *= inv;
  }
}

void V3Model::lane_pre_mix(Pass& pass, size_t layer, size_t i) const {
  Workspace& ws = *pass.ws;
  const size_t d = g_.d_model, n = g_.mhc_lanes, lw_width = n * n + 2 * n;
  float* x_in = ws.x_in.data() + i * d;
  models::lane_pre_mix(lanes_[layer].gains(), layer, n, d, ws.lane_logits.data() + i * lw_width + n * n,
                       ws.stream.data() + i * n * d, ws.gates.data() + i * n, x_in);
  std::memcpy(ws.x.data() + i * d, x_in, d * sizeof(float));
}

void V3Model::ngram_read(Pass& pass, size_t layer, size_t i) const {
  const int64_t site = site_of_layer_[layer];
  if (site < 0) return;
  Workspace& ws = *pass.ws;
  const size_t d = g_.d_model;
  engram_gate(ws.site_keys[site].data() + i * d, ws.site_convs[site].data() + i * d, d, ws.x.data() + i * d);
}

void V3Model::attention_input(Pass& pass, size_t layer, size_t i) const {
  Workspace& ws = *pass.ws;
  const size_t d = g_.d_model;
  float* xn = ws.xn.data() + i * d;
  std::memcpy(xn, ws.x.data() + i * d, d * sizeof(float));
  core::rms_norm_offset(std::span<float>(xn, d), blocks_[layer].norm_in);
}

void V3Model::block_tail(Pass& pass, size_t layer, size_t i) const {
  attention_residual(pass, layer, i);
  feed_forward_residual(pass, layer, i);
  lane_post_mix(pass, layer, i);
}

void V3Model::attention_residual(Pass& pass, size_t layer, size_t i) const {
  Workspace& ws = *pass.ws;
  const V3Block& b = blocks_[layer];
  const size_t d = g_.d_model;
  float* a = ws.attn_out.data() + i * d;
  core::rms_norm_offset(std::span<float>(a, d), b.post_norm);
  add_scaled(a, core::sigmoid(b.attn_gate), d, ws.x.data() + i * d);
}

void V3Model::feed_forward_residual(Pass& pass, size_t layer, size_t i) const {
  Workspace& ws = *pass.ws;
  const V3Block& b = blocks_[layer];
  const size_t d = g_.d_model;
  const size_t ff_floats = feed_forward_scratch(ff_shape_, max_experts_);
  float* x = ws.x.data() + i * d;
  // u = rms_norm_offset(copy of x, pre_hada) in attn_out; f lands in xn.
  float* u = ws.attn_out.data() + i * d;
  std::memcpy(u, x, d * sizeof(float));
  core::rms_norm_offset(std::span<float>(u, d), b.pre_hada);
  float* f = ws.xn.data() + i * d;
  feed_forward(b.ff, ff_shape_, perm_a_, perm_b_, u, f, ws.ff.data() + i * ff_floats);
  for (size_t j = 0; j < d; ++j) x[j] += f[j];
}

void V3Model::lane_post_mix(Pass& pass, size_t layer, size_t i) const {
  Workspace& ws = *pass.ws;
  const size_t d = g_.d_model, n = g_.mhc_lanes, nd = n * d;
  const size_t lw_width = n * n + 2 * n;
  // The block's delta over its input, written over the input.
  const float* x = ws.x.data() + i * d;
  float* delta = ws.x_in.data() + i * d;
  for (size_t j = 0; j < d; ++j) delta[j] = x[j] - delta[j];
  float* cell = ws.lane_logits.data() + i * lw_width;
  // The copy of the lanes exists only where the mix needs it (see Workspace::prepare).
  float* old = models::lane_post_mix_needs_copy(n) ? ws.stream_old.data() + i * nd : nullptr;
  models::lane_post_mix(lanes_[layer].gains(), layer, n, d, cell + n * n + n, cell, delta,
                        ws.stream.data() + i * nd, old);
}

void V3Model::attention(Pass& pass, size_t layer, size_t live) const {
  qkv_products(pass, layer, live);
  if (g_.qkv_conv_taps > 0) qkv_convolution(pass, layer, live);
  qk_norms(pass, layer, live);
  if (pass.step) {
    attend_step(pass, layer);
  } else {
    attend_prompt(pass, layer, live);
  }
  output_gate(pass, live);
}

void V3Model::qkv_products(Pass& pass, size_t layer, size_t live) const {
  Workspace& ws = *pass.ws;
  const V3Block& b = blocks_[layer];
  const AttentionWeights& w = b.attn;
  const size_t m = pass.m, d = g_.d_model, qw = g_.q_width(), ow = g_.o_width();
  const size_t T = g_.qkv_conv_taps;
  ws.rot_xn.invalidate();
  float* q_dst = T > 0 ? ws.q_raw.data() : ws.q.data();
  float* k_dst = T > 0 ? ws.k_raw.data() : ws.k.data();
  float* v_dst = T > 0 ? ws.v_raw.data() : ws.v.data();
  if (live == 0) {
    // Larger first, so two threads split q + k and gate + v.
    models::products(ws.rot_xn, ws.xn.data(), d, m,
                     {{&w.q_proj, q_dst}, {&b.gate_proj, ws.gate.data()}, {&w.k_proj, k_dst}, {&w.v_proj, v_dst}});
    return;
  }
  // Keys and values of every position; raw queries from the first one a
  // live query's convolution reads (the session keeps the last T - 1 too,
  // and live <= m keeps those in range), gates from there as well.
  models::products(ws.rot_xn, ws.xn.data(), d, m, {{&w.k_proj, k_dst}, {&w.v_proj, v_dst}});
  const size_t reach = T > 0 ? T - 1 : 0;  // earlier raw vectors a convolution reads
  const size_t q0 = live > reach ? live - reach : 0;
  if (q0 < m) {
    ws.rot_xn.invalidate();
    models::products(ws.rot_xn, ws.xn.data() + q0 * d, d, m - q0,
                     {{&w.q_proj, q_dst + q0 * qw}, {&b.gate_proj, ws.gate.data() + q0 * ow}});
  }
}

namespace {

// One projection's causal depthwise convolution over its raw vectors (T taps
// of w floats, tap j the row j): out[i] = Σ_j taps[j]·raw[i - j], where a
// raw vector before the pass's first comes from the session's history (the
// last T - 1, oldest first) or, without one, is zero. Positions from `first`
// on are convolved; then the history keeps the pass's last T - 1 raw vectors.
void convolve_raw(const float* raw, float* out, const float* taps, size_t w, size_t T, size_t m,
                  size_t first, std::vector<float>* history) {
  for_positions(m - std::min(m, first), [&](size_t item) {
    const size_t i = first + item;
    float* o = out + i * w;
    multiply(taps, raw + i * w, w, o);
    for (size_t j = 1; j < T; ++j) {
      const float* src = nullptr;
      if (i >= j) {
        src = raw + (i - j) * w;
      } else if (history != nullptr) {
        src = history->data() + (T - 1 - (j - i)) * w;  // oldest first
      }
      if (src == nullptr) continue;  // zero before the first position
      const float* tap = taps + j * w;
      for (size_t e = 0; e < w; ++e) o[e] += tap[e] * src[e];
    }
  });
  if (history == nullptr || T <= 1) return;
  std::vector<float>& h = *history;
  const size_t keep = T - 1;
  if (m >= keep) {
    std::memcpy(h.data(), raw + (m - keep) * w, keep * w * sizeof(float));
  } else {
    std::memmove(h.data(), h.data() + m * w, (keep - m) * w * sizeof(float));
    std::memcpy(h.data() + (keep - m) * w, raw, m * w * sizeof(float));
  }
}

}  // namespace

void V3Model::qkv_convolution(Pass& pass, size_t layer, size_t live) const {
  Workspace& ws = *pass.ws;
  const AttentionWeights& w = blocks_[layer].attn;
  const size_t m = pass.m, T = g_.qkv_conv_taps;
  LayerKv* lk = pass.cache != nullptr ? &pass.cache->layers_[layer] : nullptr;
  // Only live queries are convolved; keys and values of every position.
  convolve_raw(ws.q_raw.data(), ws.q.data(), w.q_taps.data(), g_.q_width(), T, m, live,
               lk ? &lk->conv_q : nullptr);
  convolve_raw(ws.k_raw.data(), ws.k.data(), w.k_taps.data(), g_.k_width(), T, m, 0,
               lk ? &lk->conv_k : nullptr);
  convolve_raw(ws.v_raw.data(), ws.v.data(), w.v_taps.data(), g_.v_width(), T, m, 0,
               lk ? &lk->conv_v : nullptr);
}

void V3Model::qk_norms(Pass& pass, size_t layer, size_t live) const {
  Workspace& ws = *pass.ws;
  const AttentionWeights& w = blocks_[layer].attn;
  const size_t H = g_.num_heads, KVH = g_.num_kv_heads, hd = g_.head_dim, half = hd / 2;
  const size_t qw = g_.q_width(), kw = g_.k_width();
  // Per-head norms, rotary embedding, int8 rounding of q.
  for_positions(pass.m, [&](size_t i) {
    float* k = ws.k.data() + i * kw;
    const float* cos = ws.rope_cos.data() + i * half;
    const float* sin = ws.rope_sin.data() + i * half;
    head_norm(k, KVH, hd, w.k_norm.data());
    core::rope_apply(k, KVH, hd, cos, sin);
    if (i < live) return;
    float* q = ws.q.data() + i * qw;
    head_norm(q, H, hd, w.q_norm.data());
    core::rope_apply(q, H, hd, cos, sin);
    if (pass.int8)
      for (size_t h = 0; h < H; ++h) models::round_trip_int8(q + h * hd, hd);
  });
}

void V3Model::attend_step(Pass& pass, size_t layer) const {
  Workspace& ws = *pass.ws;
  const size_t H = g_.num_heads, KVH = g_.num_kv_heads, hd = g_.head_dim, vd = g_.v_head_dim;
  const size_t group = g_.group_size();
  KvCache& cache = *pass.cache;
  const uint64_t p = pass.p0;
  cache.store(layer, p, ws.k.data(), ws.v.data());
  const models::KvView kv = cache.view(layer);
  const uint64_t start = cache.window_start(layer, p);
  const size_t count = static_cast<size_t>(p - start + 1);
  // Sized by the cache for every head over the layer's slots.
  if (ws.scores.size() < H * count) throw std::logic_error("step scratch is smaller than the window");
  auto one_group = [&](size_t g) {
    models::vec_attend_group(kv, ws.q.data() + g * group * hd, g, group, start, p,
                             ws.scores.data() + g * group * count, ws.o.data() + g * group * vd);
  };
  // Long histories split by kv head over the pool.
  if (KVH > 1 && count * H * (hd + vd) >= (1u << 15)) {
    core::WorkerPool::instance().parallel_for(KVH, [&](size_t g) { one_group(g); });
  } else {
    for (size_t g = 0; g < KVH; ++g) one_group(g);
  }
}

void V3Model::attend_prompt(Pass& pass, size_t layer, size_t live) const {
  // A pass attends over its own keys and values, and a pass that continues
  // a session (p0 > 0) over the session's earlier ones too, laid out with
  // its own at their positions: every row then reads the same keys in the
  // same order as in one pass over the whole sequence (int8 sessions over
  // their int8 codes, as the cache holds them).
  const uint64_t window = !g_.is_global(layer) ? g_.kv_window : 0;
  if (pass.int8) {
    attend_prompt_int8(pass, layer, live, window);
  } else {
    attend_prompt_float(pass, layer, live, window);
  }
  if (pass.cache != nullptr) {
    const Workspace& ws = *pass.ws;
    for (size_t i = 0; i < pass.m; ++i)
      pass.cache->store(layer, pass.p0 + i, ws.k.data() + i * g_.k_width(), ws.v.data() + i * g_.v_width());
  }
}

uint64_t V3Model::first_held(const Pass& pass, size_t layer, uint64_t window) const {
  return pass.p0 > 0 ? models::window_start(pass.p0, g_.cache_cap(layer), window) : 0;
}

void V3Model::attend_prompt_float(Pass& pass, size_t layer, size_t live, uint64_t window) const {
  Workspace& ws = *pass.ws;
  const size_t m = pass.m, kw = g_.k_width(), vw = g_.v_width();
  const uint64_t p0 = pass.p0, held = first_held(pass, layer, window);
  const float* keys = ws.k.data();
  const float* values = ws.v.data();
  std::vector<float> joined_keys, joined_values;  // a continuing pass: the session's, then its own
  if (p0 > 0) {
    const models::KvView ring = pass.cache->view(layer);
    joined_keys.resize((p0 + m) * kw);
    joined_values.assign((p0 + m) * vw, 0.0f);
    for (uint64_t t = held; t < p0; ++t) {
      const size_t r = static_cast<size_t>(t % ring.slots);
      std::memcpy(joined_keys.data() + t * kw, ring.keys + r * kw, kw * sizeof(float));
      std::memcpy(joined_values.data() + t * vw, ring.values + r * vw, vw * sizeof(float));
    }
    std::memcpy(joined_keys.data() + p0 * kw, ws.k.data(), m * kw * sizeof(float));
    std::memcpy(joined_values.data() + p0 * vw, ws.v.data(), m * vw * sizeof(float));
    keys = joined_keys.data();
    values = joined_values.data();
  }
  // Every work item allocates its own scores: scratch for all the items of
  // a prompt at once would grow with the square of its length.
  models::attend_prefill({.keys = keys, .values = values, .kv_heads = g_.num_kv_heads,
                          .group = g_.group_size(), .hd = g_.head_dim, .vd = g_.v_head_dim,
                          .q = ws.q.data(), .o = ws.o.data(), .p0 = p0, .rows = m, .first = live,
                          .slots = g_.cache_cap(layer), .window = window, .first_key = held},
                         ws.kt, nullptr);
}

void V3Model::attend_prompt_int8(Pass& pass, size_t layer, size_t live, uint64_t window) const {
  Workspace& ws = *pass.ws;
  const size_t m = pass.m, KVH = g_.num_kv_heads, hd = g_.head_dim, vd = g_.v_head_dim;
  const size_t qw = g_.q_width(), kw = g_.k_width(), vw = g_.v_width(), ow = g_.o_width();
  const size_t group = g_.group_size();
  const uint64_t p0 = pass.p0, total = p0 + m, held = first_held(pass, layer, window);
  ws.k_codes.resize(total * kw);
  ws.v_codes.resize(total * vw);
  ws.k_scales.resize(total * KVH);
  ws.v_scales.resize(total * KVH);
  if (p0 > 0) {
    const models::KvView ring = pass.cache->view(layer);
    for (uint64_t t = held; t < p0; ++t) {
      const size_t r = static_cast<size_t>(t % ring.slots);
      std::memcpy(ws.k_codes.data() + t * kw, ring.key_codes + r * kw, kw);
      std::memcpy(ws.v_codes.data() + t * vw, ring.value_codes + r * vw, vw);
      std::memcpy(ws.k_scales.data() + t * KVH, ring.key_scales + r * KVH, KVH * sizeof(float));
      std::memcpy(ws.v_scales.data() + t * KVH, ring.value_scales + r * KVH, KVH * sizeof(float));
    }
  }
  for_positions(m, [&](size_t i) {
    for (size_t g = 0; g < KVH; ++g) {
      const size_t row = (p0 + i) * KVH + g, own = i * KVH + g;
      models::quantise_int8(ws.k.data() + own * hd, hd, ws.k_codes.data() + row * hd, &ws.k_scales[row]);
      models::quantise_int8(ws.v.data() + own * vd, vd, ws.v_codes.data() + row * vd, &ws.v_scales[row]);
    }
  });
  models::KvView kv;
  kv.slots = total;
  kv.kv_heads = KVH;
  kv.head_dim = hd;
  kv.v_head_dim = vd;
  kv.int8 = true;
  kv.key_codes = ws.k_codes.data();
  kv.value_codes = ws.v_codes.data();
  kv.key_scales = ws.k_scales.data();
  kv.value_scales = ws.v_scales.data();
  const uint64_t cap = g_.cache_cap(layer);
  models::for_prefill_runs(KVH, m, live, [&](size_t, size_t g, size_t i0, size_t i1) {
    std::vector<float> scores(group * (p0 + i1));
    for (size_t i = i0; i < i1; ++i)
      models::vec_attend_group(kv, ws.q.data() + i * qw + g * group * hd, g, group,
                               models::window_start(p0 + i, cap, window), p0 + i, scores.data(),
                               ws.o.data() + i * ow + g * group * vd);
  });
}

void V3Model::output_gate(Pass& pass, size_t live) const {
  Workspace& ws = *pass.ws;
  const size_t m = pass.m, ow = g_.o_width();
  for_positions(m - std::min(m, live), [&](size_t item) {
    const size_t i = live + item;
    models::vec_mul_sigmoid(ws.o.data() + i * ow, ws.gate.data() + i * ow, ow);
  });
}

void V3Model::logits_stage(Pass& pass) const {
  if (pass.out.empty()) return;  // scoring only: no logits wanted
  Workspace& ws = *pass.ws;
  const size_t m = pass.m, d = g_.d_model, n = g_.mhc_lanes;
  const size_t rows = pass.all_logits ? m : 1, first = m - rows;
  for_positions(rows, [&](size_t r) {
    float* y = ws.mean.data() + r * d;
    models::lane_mean(ws.stream.data() + (first + r) * n * d, n, d, y);
    core::rms_norm_offset(std::span<float>(y, d), final_norm_);
  });
  ws.rot_mean.invalidate();
  models::product(embedding_, ws.rot_mean, ws.mean.data(), d, rows, ws.logits.data());
  const size_t width = logit_width();
  for (size_t r = 0; r < rows; ++r)
    std::memcpy(pass.out.data() + r * width, ws.logits.data() + r * g_.vocab_size, width * sizeof(float));
}

}  // namespace pinnet::gen3
