#include "models/gen2/model.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "core/hadamard.h"
#include "core/interrupt.h"
#include "core/vec.h"
#include "core/worker_pool.h"
#include "models/common/lanes.h"
#include "models/common/ngram_hash.h"
#include "models/common/parallel.h"
#include "models/common/prefill_attention.h"

namespace pinnet::gen2 {

namespace {

using core::Err;

// Positions of a prefill tile; the step is a tile of one.
constexpr size_t kTile = 128;

void fit(std::vector<float>& v, size_t n) {
  if (v.size() < n) v.resize(n, 0.0f);
}

uint64_t round_up_pow2(uint64_t v) {
  uint64_t p = 1;
  while (p < v) p <<= 1;
  return p;
}

// The first failing weight check's message, or nullptr.
const char* check_weights(const V2Geometry& g, const V2Weights& w) {
  const uint64_t L = g.num_layers, M = g.mhc_lanes, D = g.d_model;
  if (w.blocks.size() != L) return "layer count does not match num_layers";
  if (w.engrams.size() != g.engram_sites.size()) return "engram count does not match site count";
  if (w.final_norm.size() != D) return "final_norm width does not match d_model";
  if (g.hada_n != round_up_pow2(D)) return "hada_n is not d_model rounded up to a power of two";
  if (!w.embedding || w.embedding->rows() != g.vocab_size || w.embedding->cols() != D)
    return "embedding shape does not match geometry";
  if (!w.lanes) return "mhc a_* length does not match num_layers";
  const V2Lanes& l = *w.lanes;
  if (l.a_pre.size() != L || l.a_post.size() != L || l.a_res.size() != L)
    return "mhc a_* length does not match num_layers";
  if (l.b_pre.size() != L * M || l.b_post.size() != L * M || l.b_res.size() != L * M * M)
    return "mhc b_* length does not match num_layers x lanes";
  if (l.phi_pre.rows() != L * M || l.phi_post.rows() != L * M || l.phi_res.rows() != L * M * M)
    return "mhc phi_* row count does not match num_layers x lanes";
  if (l.phi_pre.cols() != M * D) return "mhc phi_* width does not match lanes x d_model";
  for (const V2Block& b : w.blocks) {
    if (b.d1.size() != g.hada_n || b.d2.size() != g.hada_n || b.d3.size() != g.hada_n)
      return "HadamardMLP diagonal width does not match hada_n";
    if (b.q_norm.size() != g.head_dim || b.k_norm.size() != g.head_dim)
      return "q_norm/k_norm width does not match head_dim";
  }
  for (const V2Engram& e : w.engrams) {
    if (e.taps.size() != g.conv_taps * D) return "engram taps shape does not match conv_taps x d_model";
    if (e.tables.cols() != g.sub_dim) return "engram table width does not match sub_dim";
  }
  return nullptr;
}

// Checks of ours beyond the written ones, run after them so that they never
// change which written message a model gets: every vector the step reads at
// a fixed width has that width, and matrices that multiply one rotated input
// agree on the rotation (its group), or the shared input would be wrong.
const char* check_widths_and_groups(const V2Geometry& g, const V2Weights& w) {
  const uint64_t D = g.d_model, M = g.mhc_lanes;
  for (const V2Block& b : w.blocks) {
    if (b.norm_in.size() != D) return "norm_in width does not match d_model";
    if (b.post_norm.size() != D) return "post_norm width does not match d_model";
    if (b.pre_hada.size() != D) return "pre_hada width does not match d_model";
    if (b.attn_gate.size() != 1) return "attn_gate must hold one value";
    // The binder's shape checks make this unreachable from a container.
    if (b.q_proj.rows() != g.q_width() || b.gate_proj.rows() != g.q_width() ||
        b.k_proj.rows() != g.kv_width() || b.v_proj.rows() != g.kv_width() ||
        b.q_proj.cols() != D || b.k_proj.cols() != D || b.v_proj.cols() != D ||
        b.gate_proj.cols() != D || b.out_proj.rows() != D || b.out_proj.cols() != g.q_width())
      return "attention projection shape does not match geometry";
    const uint64_t group = b.q_proj.group();
    if (b.k_proj.group() != group || b.v_proj.group() != group || b.gate_proj.group() != group)
      return "q/k/v/gate projections differ in quantisation group";
  }
  const V2Lanes& l = *w.lanes;
  if (l.phi_post.cols() != M * D || l.phi_res.cols() != M * D)
    return "mhc phi_* width does not match lanes x d_model";
  if (l.phi_post.group() != l.phi_pre.group() || l.phi_res.group() != l.phi_pre.group())
    return "mhc phi_* matrices differ in quantisation group";
  for (const V2Engram& e : w.engrams) {
    if (e.tables.rows() != g.table_rows * g.num_tables || e.key_proj.rows() != D ||
        e.value_proj.rows() != D || e.key_proj.cols() != D || e.value_proj.cols() != D)
      return "engram matrix shape does not match geometry";
    if (e.key_proj.group() != e.value_proj.group())
      return "engram key/value projections differ in quantisation group";
  }
  return nullptr;
}

}  // namespace

// ----------------------------------------------------------------------------
// Construction

core::Result<V2Model, std::string> V2Model::create(V2Geometry geometry, V2Weights weights) {
  if (const char* e = check_geometry(geometry)) return Err{std::string(e)};
  if (const char* e = check_weights(geometry, weights)) return Err{std::string(e)};
  if (const char* e = check_widths_and_groups(geometry, weights)) return Err{std::string(e)};
  const uint64_t M = geometry.mhc_lanes;
  std::vector<core::CqTensor> lane_rows;
  lane_rows.reserve(3 * geometry.num_layers);
  const V2Lanes& l = *weights.lanes;
  for (size_t b = 0; b < geometry.num_layers; ++b) {
    const size_t block[1] = {b};
    for (auto [t, height] : {std::pair{&l.phi_pre, M}, {&l.phi_post, M}, {&l.phi_res, M * M}}) {
      auto rows = t->select_row_blocks(block, height);
      if (!rows.ok()) return Err{rows.error()};
      lane_rows.push_back(std::move(rows).value());
    }
  }
  return V2Model(std::move(geometry), std::move(weights), std::move(lane_rows));
}

V2Model::V2Model(V2Geometry geometry, V2Weights weights, std::vector<core::CqTensor> lane_rows)
    : g_(std::move(geometry)),
      w_(std::move(weights)),
      lane_rows_(std::move(lane_rows)),
      rope_freq_(core::rope_frequencies(g_.head_dim, g_.rope_theta)),
      embedding_scale_(std::sqrt(static_cast<float>(g_.d_model))),
      shelf_(std::make_unique<models::WorkspaceShelf<Scratch>>()) {
  site_of_block_.assign(g_.num_layers, -1);
  for (size_t s = 0; s < g_.engram_sites.size(); ++s) {
    int64_t& slot = site_of_block_[g_.engram_sites[s]];
    if (slot < 0) slot = static_cast<int64_t>(s);
  }
}

void V2Model::set_compute(core::Compute compute) {
  for (V2Block& b : w_.blocks) {
    for (core::CqTensor* t : {&b.q_proj, &b.k_proj, &b.v_proj, &b.gate_proj, &b.out_proj})
      t->set_compute(compute);
  }
  for (core::CqTensor& t : lane_rows_) t.set_compute(compute);
  for (V2Engram& e : w_.engrams) {
    e.key_proj.set_compute(compute);
    e.value_proj.set_compute(compute);
  }
  w_.embedding->set_compute(compute);
}

// ----------------------------------------------------------------------------
// State and scratch

void Scratch::prepare(const V2Model& model, size_t n, uint64_t capacity, bool with_cells) {
  const V2Geometry& g = model.g_;
  const size_t D = g.d_model, M = g.mhc_lanes, qw = g.q_width(), kw = g.kv_width();
  m = std::max(m, n);
  fit(lanes, n * M * D);
  fit(lanes_old, models::lane_post_mix_needs_copy(M) ? n * M * D : 0);
  fit(zhat, n * M * D);
  fit(pre, n * M);
  fit(post, n * M);
  fit(res, n * M * M);
  for (auto* v : {&x, &r, &a, &y, &delta, &mean}) fit(*v, n * D);
  for (auto* v : {&q, &gate, &o}) fit(*v, n * qw);
  fit(k, n * kw);
  fit(v, n * kw);
  fit(ff, n * g.hada_n);
  fit(rope_cos, n * (g.head_dim / 2));
  fit(rope_sin, n * (g.head_dim / 2));
  // Two score rows per query head and run of 16 rows (the runs attend side
  // by side, two positions at a time), each as long as the positions a row
  // can see plus the kernels' slack.
  fit(scores, 2 * g.num_heads * ((n + 15) / 16) * (std::max<uint64_t>(capacity, 1) + 32));
  if (with_cells) fit(cells, n * (g.num_layers + 1) * D);
  if (!g.engram_sites.empty()) {
    fit(fetched, n * D);
    fit(values, n * D);
    site_keys.resize(g.engram_sites.size());
    site_convs.resize(g.engram_sites.size());
    for (auto& keys : site_keys) fit(keys, n * D);
    for (auto& convs : site_convs) fit(convs, n * D);
    for (const V2Engram& e : model.w_.engrams) {
      rot_f.reserve(e.key_proj, n);
      rot_f.reserve(e.value_proj, n);
    }
  }
  for (const core::CqTensor& t : model.lane_rows_) rot_z.reserve(t, n);
  for (const V2Block& b : model.w_.blocks) {
    for (const core::CqTensor* t : {&b.q_proj, &b.k_proj, &b.v_proj, &b.gate_proj})
      rot_a.reserve(*t, n);
    rot_o.reserve(b.out_proj, n);
  }
  rot_mean.reserve(*model.w_.embedding, 1);
}

// A fresh ring holds this many positions before its first growth.
constexpr uint64_t kFirstSlots = 16;

V2SequenceState V2Model::new_state(uint64_t capacity, uint64_t window) const {
  V2SequenceState s;
  s.capacity = std::max<uint64_t>(capacity, 1);
  s.window = window;
  s.kv.reserve(g_.num_layers);
  for (size_t b = 0; b < g_.num_layers; ++b)
    s.kv.emplace_back(g_.num_kv_heads, g_.head_dim, g_.head_dim, std::min(s.capacity, kFirstSlots),
                      s.capacity, false);
  s.engram_ring.resize(g_.engram_sites.size());
  reserve(s, kFirstSlots);
  return s;
}

void V2Model::reserve(V2SequenceState& s, uint64_t positions) const {
  const uint64_t n = std::min(positions, g_.max_seq_len);
  grow(s, n);
  s.step.prepare(*this, 1, std::min(n, s.capacity), false);
}

void V2Model::grow(V2SequenceState& s, uint64_t positions) const {
  if (s.history.size() < positions) s.history.resize(positions, 0);
  for (models::KvRing& ring : s.kv) ring.reserve(positions);
  // A site's value ring holds position p at row p % ring; until the
  // positions reach the ring's length none wraps, so it grows with them
  // (a tap spacing read from the header may make the full ring far longer
  // than any sequence).
  const size_t rows = static_cast<size_t>(std::min(positions, g_.engram_ring()));
  for (std::vector<float>& ring : s.engram_ring)
    if (ring.size() < rows * g_.d_model) ring.resize(rows * g_.d_model, 0.0f);
}

void V2Model::restart_state(V2SequenceState& s) const { s.position = 0; }

void V2Model::reset_state(V2SequenceState& s) const {
  restart_state(s);
  s.window = 0;
}

// ----------------------------------------------------------------------------
// Entry points

const char* V2Model::step(uint32_t token, V2SequenceState& s, std::span<float> logits) const {
  if (s.position >= g_.max_seq_len) return kSequenceTooLong;
  if (token >= g_.vocab_size) return kTokenOutsideVocabulary;
  if (logits.size() != g_.vocab_size) return kLogitsWrongLength;
  // Allocates only past what the caller reserved, doubling.
  if (s.position >= s.history.size())
    reserve(s, std::max<uint64_t>(s.position + 1, 2 * s.history.size()));
  const uint32_t tokens[1] = {token};
  forward_tile(tokens, s, s.step, true, logits, nullptr);
  return nullptr;
}

const char* V2Model::prefill(std::span<const uint32_t> tokens, V2SequenceState& s,
                             std::span<float> logits) const {
  return run(tokens, s, logits, nullptr);
}

const char* V2Model::prefill_cells(std::span<const uint32_t> tokens, V2SequenceState& s,
                                   CellSink& sink) const {
  return run(tokens, s, {}, &sink);
}

const char* V2Model::run(std::span<const uint32_t> tokens, V2SequenceState& s,
                         std::span<float> logits, CellSink* sink) const {
  if (tokens.size() > g_.max_seq_len || s.position > g_.max_seq_len - tokens.size())
    return kSequenceTooLong;
  for (uint32_t t : tokens)
    if (t >= g_.vocab_size) return kTokenOutsideVocabulary;
  if (!logits.empty() && logits.size() != g_.vocab_size) return kLogitsWrongLength;
  if (tokens.empty()) return nullptr;
  // Returned to the shelf on every exit, exceptions included.
  struct Borrowed {
    models::WorkspaceShelf<Scratch>& shelf;
    std::unique_ptr<Scratch> w;
    ~Borrowed() { shelf.give_back(std::move(w)); }
  } borrowed{*shelf_, shelf_->take()};
  Scratch& w = *borrowed.w;
  reserve(s, s.position + tokens.size());
  w.prepare(*this, std::min(kTile, tokens.size()), std::min(s.capacity, s.position + tokens.size()),
            sink != nullptr);
  for (size_t t0 = 0; t0 < tokens.size(); t0 += kTile) {
    const auto tile = tokens.subspan(t0, std::min(kTile, tokens.size() - t0));
    const bool last = t0 + tile.size() == tokens.size();
    forward_tile(tile, s, w, last && !logits.empty(), logits, sink);
  }
  return nullptr;
}

// ----------------------------------------------------------------------------
// Forward over one tile

// One forward call over a tile of consecutive positions p0 .. p0 + n - 1.
struct V2Model::Tile {
  std::span<const uint32_t> tokens;  // the n tokens
  V2SequenceState* s = nullptr;
  Scratch* w = nullptr;
  uint64_t p0 = 0;
  size_t n = 0;
  CellSink* sink = nullptr;  // when set, every position's cells are kept
};

models::LaneGains V2Model::lane_gains(size_t b) const {
  const V2Lanes& l = *w_.lanes;
  const size_t M = g_.mhc_lanes;
  return {l.a_pre[b], l.a_post[b], l.a_res[b], l.b_pre.data() + b * M, l.b_post.data() + b * M,
          l.b_res.data() + b * M * M};
}

void V2Model::forward_tile(std::span<const uint32_t> tokens, V2SequenceState& s, Scratch& w,
                           bool want_logits, std::span<float> logits, CellSink* sink) const {
  const Tile t{tokens, &s, &w, s.position, tokens.size(), sink};
  embed(t);
  engram_stage(t);
  for (size_t b = 0; b < g_.num_layers; ++b) {
    core::poll_interrupt();  // between blocks the pass may be dropped whole
    block(t, b);
  }
  s.position = t.p0 + t.n;
  if (sink != nullptr) {
    const size_t cells = g_.num_layers + 1, D = g_.d_model;
    for (size_t i = 0; i < t.n; ++i) sink->position(tokens[i], w.cells.data() + i * cells * D, cells, D);
  }
  if (want_logits) logits_stage(t, logits);
}

void V2Model::embed(const Tile& t) const {
  Scratch& w = *t.w;
  const size_t D = g_.d_model, M = g_.mhc_lanes, MD = M * D, hd = g_.head_dim;
  const size_t cells = g_.num_layers + 1;
  // Embedding, scaled, into every lane; rotary angles of every row.
  for (size_t i = 0; i < t.n; ++i) t.s->history[t.p0 + i] = t.tokens[i];
  models::for_positions(t.n, [&](size_t i) {
    float* lanes = w.lanes.data() + i * MD;
    w_.embedding->dequantize_row(t.tokens[i], std::span<float>(lanes, D));
    for (size_t j = 0; j < D; ++j) lanes[j] *= embedding_scale_;
    for (size_t l = 1; l < M; ++l) std::memcpy(lanes + l * D, lanes, D * sizeof(float));
    if (t.sink != nullptr) std::memcpy(w.cells.data() + i * cells * D, lanes, D * sizeof(float));
    core::rope_angles(rope_freq_, t.p0 + i, w.rope_cos.data() + i * (hd / 2), w.rope_sin.data() + i * (hd / 2));
  });
}

void V2Model::engram_stage(const Tile& t) const {
  Scratch& w = *t.w;
  const size_t D = g_.d_model, n = t.n;
  const uint64_t p0 = t.p0, ring = g_.engram_ring();
  // N-gram memory: fetched rows, key and value projections for every row,
  // then the value ring and the convolution in position order.
  for (size_t site = 0; site < g_.engram_sites.size(); ++site) {
    const V2Engram& e = w_.engrams[site];
    models::NgramTables tables;
    tables.rows = &e.tables;
    tables.count = g_.num_tables;
    tables.table_rows = g_.table_rows;
    tables.width = g_.sub_dim;
    tables.orders = g_.orders;
    tables.per_order = g_.tables_per_order();
    tables.seed_stride = tables.per_order;  // table j's seed is j + 1
    models::for_positions(n, [&](size_t i) {
      models::ngram_fetch(tables, t.s->history, p0 + i, p0 + i, w.fetched.data() + i * D, D);
    });
    w.rot_f.invalidate();
    models::products(w.rot_f, w.fetched.data(), D, n,
                     {{&e.key_proj, w.site_keys[site].data()}, {&e.value_proj, w.values.data()}});
    float* rs = t.s->engram_ring[site].data();
    for (size_t i = 0; i < n; ++i) {
      const uint64_t p = p0 + i;
      std::memcpy(rs + (p % ring) * D, w.values.data() + i * D, D * sizeof(float));
      float* conv = w.site_convs[site].data() + i * D;
      std::fill(conv, conv + D, 0.0f);
      for (uint64_t m = 0; m < g_.conv_taps && m * g_.tap_spacing <= p; ++m) {
        const float* tap = e.taps.data() + m * D;
        const float* val = rs + ((p - m * g_.tap_spacing) % ring) * D;
        for (size_t j = 0; j < D; ++j) conv[j] += tap[j] * val[j];
      }
    }
  }
}

void V2Model::block(const Tile& t, size_t b) const {
  lane_logits(t, b);
  models::for_positions(t.n, [&](size_t i) {
    lane_pre_mix(t, b, i);
    ngram_read(t, b, i);
    attention_input(t, b, i);
  });
  attention(t, b);
  models::for_positions(t.n, [&](size_t i) {
    attention_residual(t, b, i);
    feed_forward(t, b, i);
    lane_post_mix(t, b, i);
    if (t.sink != nullptr) cell(t, b, i);
  });
}

void V2Model::lane_logits(const Tile& t, size_t b) const {
  Scratch& w = *t.w;
  const size_t MD = g_.mhc_lanes * g_.d_model;
  // Lane logits from the normalised lanes (all lanes together).
  models::for_positions(t.n, [&](size_t i) {
    core::rms_norm_plain(std::span<const float>(w.lanes.data() + i * MD, MD),
                         std::span<float>(w.zhat.data() + i * MD, MD));
  });
  w.rot_z.invalidate();
  models::products(w.rot_z, w.zhat.data(), MD, t.n,
                   {{&lane_rows_[3 * b + 2], w.res.data()}, {&lane_rows_[3 * b], w.pre.data()},
                    {&lane_rows_[3 * b + 1], w.post.data()}});
}

void V2Model::lane_pre_mix(const Tile& t, size_t b, size_t i) const {
  Scratch& w = *t.w;
  const size_t D = g_.d_model, M = g_.mhc_lanes;
  // The block input x, and the residual r that starts as it; the gates
  // replace the pre logits.
  float* pre = w.pre.data() + i * M;
  float* x = w.x.data() + i * D;
  models::lane_pre_mix(lane_gains(b), b, M, D, pre, w.lanes.data() + i * M * D, pre, x);
  std::memcpy(w.r.data() + i * D, x, D * sizeof(float));
}

void V2Model::ngram_read(const Tile& t, size_t b, size_t i) const {
  const int64_t site = site_of_block_[b];
  if (site < 0) return;
  Scratch& w = *t.w;
  const size_t D = g_.d_model;
  // r += sigmoid(x̂·k̂ / sqrt(D))·conv, x̂ and k̂ the plain-normalised x and key.
  float* xh = w.a.data() + i * D;  // scratch until attention_input writes a
  float* kh = w.y.data() + i * D;
  core::rms_norm_plain(std::span<const float>(w.x.data() + i * D, D), std::span<float>(xh, D));
  core::rms_norm_plain(std::span<const float>(w.site_keys[site].data() + i * D, D), std::span<float>(kh, D));
  const float gate = core::sigmoid(models::dot(xh, kh, D) / std::sqrt(static_cast<float>(D)));
  models::axpy(gate, w.site_convs[site].data() + i * D, w.r.data() + i * D, D);
}

void V2Model::attention_input(const Tile& t, size_t b, size_t i) const {
  Scratch& w = *t.w;
  const size_t D = g_.d_model;
  float* a = w.a.data() + i * D;
  std::memcpy(a, w.r.data() + i * D, D * sizeof(float));
  core::rms_norm_offset(std::span<float>(a, D), w_.blocks[b].norm_in);
}

void V2Model::attention(const Tile& t, size_t b) const {
  Scratch& w = *t.w;
  const V2Block& blk = w_.blocks[b];
  const size_t qw = g_.q_width();
  qkv_products(t, b);
  qk_norms(t, b);
  // Row i sees the rows before it in this tile, never a later one. When the
  // tile's positions all fit in the ring without a wrap, every row's keys
  // and values go in first and the rows attend independently; otherwise a
  // later row's write could replace a slot an earlier row still reads.
  if (t.p0 + t.n <= t.s->kv[b].slots() && t.n > 1) {
    attend_tile(t, b);
  } else {
    attend_ring(t, b);
  }
  models::for_positions(t.n, [&](size_t i) { models::vec_mul_sigmoid(w.o.data() + i * qw, w.gate.data() + i * qw, qw); });
  w.rot_o.invalidate();
  models::product(blk.out_proj, w.rot_o, w.o.data(), qw, t.n, w.y.data());
}

void V2Model::qkv_products(const Tile& t, size_t b) const {
  Scratch& w = *t.w;
  const V2Block& blk = w_.blocks[b];
  w.rot_a.invalidate();
  models::products(w.rot_a, w.a.data(), g_.d_model, t.n,
                   {{&blk.q_proj, w.q.data()}, {&blk.gate_proj, w.gate.data()},
                    {&blk.k_proj, w.k.data()}, {&blk.v_proj, w.v.data()}});
}

void V2Model::qk_norms(const Tile& t, size_t b) const {
  Scratch& w = *t.w;
  const V2Block& blk = w_.blocks[b];
  const size_t H = g_.num_heads, KV = g_.num_kv_heads, hd = g_.head_dim;
  const size_t qw = g_.q_width(), kw = g_.kv_width();
  models::for_positions(t.n, [&](size_t i) {
    float* q = w.q.data() + i * qw;
    float* k = w.k.data() + i * kw;
    for (size_t h = 0; h < H; ++h) core::rms_norm_offset(std::span<float>(q + h * hd, hd), blk.q_norm);
    for (size_t h = 0; h < KV; ++h) core::rms_norm_offset(std::span<float>(k + h * hd, hd), blk.k_norm);
    const float* cos = w.rope_cos.data() + i * (hd / 2);
    const float* sin = w.rope_sin.data() + i * (hd / 2);
    core::rope_apply(q, H, hd, cos, sin);
    core::rope_apply(k, KV, hd, cos, sin);
  });
}

void V2Model::attend_tile(const Tile& t, size_t b) const {
  Scratch& w = *t.w;
  models::KvRing& kv = t.s->kv[b];
  const size_t kw = g_.kv_width();
  for (size_t i = 0; i < t.n; ++i) kv.store(t.p0 + i, w.k.data() + i * kw, w.v.data() + i * kw);
  // The ring holds positions 0 .. p0 + n - 1 at their own rows.
  const size_t hd = g_.head_dim;
  models::attend_prefill({.keys = kv.keys().data(), .values = kv.values().data(),
                          .kv_heads = g_.num_kv_heads, .group = g_.group_size(), .hd = hd, .vd = hd,
                          .q = w.q.data(), .o = w.o.data(), .p0 = t.p0, .rows = t.n,
                          .slots = kv.slots(), .window = t.s->window},
                         w.kt, w.scores.data());
}

void V2Model::attend_ring(const Tile& t, size_t b) const {
  Scratch& w = *t.w;
  models::KvRing& kv = t.s->kv[b];
  const size_t KV = g_.num_kv_heads, hd = g_.head_dim, group = g_.group_size();
  const size_t qw = g_.q_width(), kw = g_.kv_width();
  const size_t stride = static_cast<size_t>(std::min<uint64_t>(kv.slots(), t.p0 + t.n));
  // Write and attend row by row.
  for (size_t i = 0; i < t.n; ++i) {
    const uint64_t p = t.p0 + i;
    kv.store(p, w.k.data() + i * kw, w.v.data() + i * kw);
    const uint64_t start = kv.window_start(p, t.s->window);
    for (size_t g = 0; g < KV; ++g)
      models::vec_attend_group(kv.view(), w.q.data() + i * qw + g * group * hd, g, group, start, p,
                               w.scores.data() + g * group * stride, w.o.data() + i * qw + g * group * hd);
  }
}

void V2Model::attention_residual(const Tile& t, size_t b, size_t i) const {
  Scratch& w = *t.w;
  const V2Block& blk = w_.blocks[b];
  const size_t D = g_.d_model;
  float* y = w.y.data() + i * D;
  core::rms_norm_offset(std::span<float>(y, D), blk.post_norm);
  models::axpy(core::sigmoid(blk.attn_gate[0]), y, w.r.data() + i * D, D);  // r becomes h1
}

void V2Model::feed_forward(const Tile& t, size_t b, size_t i) const {
  Scratch& w = *t.w;
  const V2Block& blk = w_.blocks[b];
  const size_t D = g_.d_model, N = g_.hada_n;
  // Hadamard feed-forward on u = rms_norm_offset(h1, pre_hada); h1 becomes h2.
  float* h = w.r.data() + i * D;
  float* u = w.delta.data() + i * D;
  std::memcpy(u, h, D * sizeof(float));
  core::rms_norm_offset(std::span<float>(u, D), blk.pre_hada);
  float* v = w.ff.data() + i * N;
  for (size_t j = 0; j < D; ++j) v[j] = u[j] * blk.d1[j];
  std::fill(v + D, v + N, 0.0f);
  core::fwht(std::span<float>(v, N));  // scaled by 1/sqrt(N)
  for (size_t j = 0; j < N; ++j) v[j] = core::silu(v[j] * blk.d2[j]);
  core::fwht(std::span<float>(v, N));
  for (size_t j = 0; j < D; ++j) h[j] += v[j] * blk.d3[j];
}

void V2Model::lane_post_mix(const Tile& t, size_t b, size_t i) const {
  Scratch& w = *t.w;
  const size_t D = g_.d_model, M = g_.mhc_lanes, MD = M * D;
  // The block's delta over its input, then the post-mix and the residual
  // mixing of the lanes.
  float* delta = w.delta.data() + i * D;
  const float* h = w.r.data() + i * D;
  const float* x = w.x.data() + i * D;
  for (size_t j = 0; j < D; ++j) delta[j] = h[j] - x[j];
  float* old = models::lane_post_mix_needs_copy(M) ? w.lanes_old.data() + i * MD : nullptr;
  models::lane_post_mix(lane_gains(b), b, M, D, w.post.data() + i * M, w.res.data() + i * M * M, delta,
                        w.lanes.data() + i * MD, old);
}

void V2Model::cell(const Tile& t, size_t b, size_t i) const {
  Scratch& w = *t.w;
  const size_t D = g_.d_model, M = g_.mhc_lanes, cells = g_.num_layers + 1;
  models::lane_mean(w.lanes.data() + i * M * D, M, D, w.cells.data() + (i * cells + b + 1) * D);
}

void V2Model::logits_stage(const Tile& t, std::span<float> logits) const {
  Scratch& w = *t.w;
  const size_t D = g_.d_model, M = g_.mhc_lanes;
  float* hidden = w.mean.data();
  models::lane_mean(w.lanes.data() + (t.n - 1) * M * D, M, D, hidden);
  core::rms_norm_offset(std::span<float>(hidden, D), w_.final_norm);
  w.rot_mean.invalidate();
  models::product(*w_.embedding, w.rot_mean, hidden, D, 1, logits.data());
}

}  // namespace pinnet::gen2
