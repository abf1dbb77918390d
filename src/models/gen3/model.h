// V3Model: a bound generation-3 model over the blocks it holds (a rung of the
// depth ladder is simply a model with fewer blocks), its single-token step and
// its prefill. Immutable after assembly; all per-session state is a KvCache.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/cq.h"
#include "core/result.h"
#include "models/gen3/attention.h"
#include "models/gen3/cache.h"
#include "models/gen3/engram.h"
#include "models/gen3/feed_forward.h"
#include "models/gen3/geometry.h"
#include "models/gen3/lanes.h"
#include "models/gen3/workspace.h"

namespace pinnet::gen3 {

struct V3Block {
  std::vector<float> norm_in;  // d_model
  AttentionWeights attn;
  core::CqTensor gate_proj;    // (num_heads·v_head_dim, d_model)
  core::CqTensor out_proj;     // (d_model, num_heads·v_head_dim)
  std::vector<float> post_norm;  // d_model
  float attn_gate = 0.0f;        // the block's scalar gate (before the sigmoid)
  std::vector<float> pre_hada;   // d_model
  FeedForwardWeights ff;
};

// Receives the per-position cell vectors of a prefill: cell 0 is the scaled
// embedding, cell L + 1 the lane mean after block L.
class CellCollector {
 public:
  virtual ~CellCollector() = default;
  // states: `positions` vectors of d floats, in position order.
  virtual void collect(uint64_t cell, const float* states, size_t positions, size_t d) = 0;
};

// Everything the model is assembled from.
struct V3Parts {
  V3Geometry geometry;
  std::optional<core::CqTensor> embedding;  // (vocab_size, d_model)
  std::vector<V3Block> blocks;
  std::vector<LaneWeights> lanes;           // each block's slice of the lane parameters
  std::vector<EngramSite> sites;            // one per engram site, in site order
  std::vector<float> final_norm;            // d_model
  std::vector<uint32_t> perm_a, perm_b;     // hada_n indices each, or empty
};

class V3Model {
 public:
  // Checks, in order: block (and lane slice) count, engram site count,
  // embedding shape.
  static core::Result<V3Model, std::string> assemble(V3Parts parts);

  V3Model(V3Model&&) noexcept = default;
  V3Model& operator=(V3Model&&) noexcept = default;

  const V3Geometry& geometry() const { return g_; }
  uint64_t logit_width() const { return g_.logit_width(); }
  const std::vector<V3Block>& blocks() const { return blocks_; }
  const std::vector<LaneWeights>& lanes() const { return lanes_; }
  const std::vector<EngramSite>& sites() const { return sites_; }
  const core::CqTensor& embedding() const { return embedding_; }
  // Prefill workspaces currently kept for reuse.
  size_t kept_workspaces() const { return shelf_->kept(); }
  float embedding_scale() const { return embedding_scale_; }

  // Builds (kInt8) or drops (kFloat) the int8 form of every codebook-quantised
  // tensor the products read: each block's q, k, v, gate and out, its lane
  // matrices (the single-token step; a prefill multiplies their dense float
  // expansion), each engram site's key and value projections and the output
  // head. The engram tables and the embedding rows are read by row
  // (dequantised), which the choice does not touch. Part of loading: call
  // before the model is shared or any cache is made. A tensor whose group is
  // too large for the int8 form keeps the float path.
  void set_compute(core::Compute compute);
  core::Compute compute() const { return compute_; }

  // A session for `requested_positions` (0 counts as 1; layers grow past it).
  KvCache new_cache(uint64_t requested_positions, bool kv_int8) const;
  uint64_t kv_bytes(uint64_t seq_len, bool kv_int8) const { return g_.kv_bytes(seq_len, kv_int8); }

  // Processes `token` at cache.position() and advances the cache by one;
  // logits gets logit_width floats.
  void step(uint32_t token, KvCache& cache, std::span<float> logits) const;

  // Prompt pass from the cache's position (0 without a cache). Writes the
  // last position's logits (logit_width floats; nothing for an empty prompt
  // or an empty span, which skips the output product). A pass continuing a
  // cache gives each position the floats one pass over the whole sequence
  // gives it, as long as both passes put their products on the same kernel
  // (see split_rule in runners/gen3_runner.cc).
  // A null cache keeps nothing (the scoring path); a collector receives every
  // cell vector of every position.
  void prefill(std::span<const uint32_t> tokens, KvCache* cache, std::span<float> last_logits,
               CellCollector* collector = nullptr) const;
  // The same pass with every position's logits (positions x logit_width).
  void prefill_all(std::span<const uint32_t> tokens, KvCache* cache,
                   std::span<float> all_logits) const;

 private:
  struct Pass;
  V3Model(V3Parts parts);

  void run_prefill(std::span<const uint32_t> tokens, KvCache* cache, std::span<float> out,
                   bool all_logits, CellCollector* collector) const;
  void forward(Pass& pass) const;
  void engram_stage(Pass& pass) const;
  // Block head of positions i0 .. i1 - 1: lane logits, then per position the
  // pre-mix, the n-gram read and the attention input.
  void block_head(Pass& pass, size_t layer, size_t i0, size_t i1) const;
  void lane_logits(Pass& pass, size_t layer, size_t i0, size_t i1) const;
  void lane_pre_mix(Pass& pass, size_t layer, size_t i) const;   // x_in, and x = x_in
  void ngram_read(Pass& pass, size_t layer, size_t i) const;     // x += gated conv at a site
  void attention_input(Pass& pass, size_t layer, size_t i) const;  // xn = rms_norm_offset(x)
  // Block tail of position i (after the output product): the attention and
  // feed-forward residuals, then the post-mix.
  void block_tail(Pass& pass, size_t layer, size_t i) const;
  void attention_residual(Pass& pass, size_t layer, size_t i) const;
  void feed_forward_residual(Pass& pass, size_t layer, size_t i) const;
  void lane_post_mix(Pass& pass, size_t layer, size_t i) const;
  // Attention of block `layer`: keys and values of every position, the
  // output (o, gated) only of positions from `live` on. Its stages in order:
  void attention(Pass& pass, size_t layer, size_t live) const;
  void qkv_products(Pass& pass, size_t layer, size_t live) const;
  void qkv_convolution(Pass& pass, size_t layer, size_t live) const;
  void qk_norms(Pass& pass, size_t layer, size_t live) const;
  void attend_step(Pass& pass, size_t layer) const;
  // A prompt pass: from position 0, or continuing a session (its first
  // position past 0), the session's held keys and values then laid out
  // beside the pass's own at their positions, so every row reads what one
  // whole pass would.
  void attend_prompt(Pass& pass, size_t layer, size_t live) const;
  // The first position a continuing pass reads from the session (0 for a
  // pass from position 0).
  uint64_t first_held(const Pass& pass, size_t layer, uint64_t window) const;
  void attend_prompt_float(Pass& pass, size_t layer, size_t live, uint64_t window) const;
  void attend_prompt_int8(Pass& pass, size_t layer, size_t live, uint64_t window) const;
  void output_gate(Pass& pass, size_t live) const;
  void logits_stage(Pass& pass) const;

  friend struct Workspace;

  V3Geometry g_;
  core::CqTensor embedding_;
  std::vector<V3Block> blocks_;
  std::vector<LaneWeights> lanes_;
  std::vector<EngramSite> sites_;
  std::vector<float> final_norm_;
  std::vector<uint32_t> perm_a_, perm_b_;
  std::vector<float> rope_freq_;
  // Per block the lane matrices phi_res, phi_pre, phi_post expanded to dense
  // floats, stacked row-major: (lanes² + 2·lanes) x lanes·d_model.
  std::vector<std::vector<float>> lane_dense_;
  std::vector<int64_t> site_of_layer_;  // first site index of each block, or -1
  FeedForwardShape ff_shape_;
  uint64_t max_experts_ = 0;
  float embedding_scale_ = 1.0f;
  core::Compute compute_ = core::Compute::kFloat;
  // Prefill scratch kept between calls (behind a pointer: the model moves).
  std::unique_ptr<WorkspaceShelf> shelf_;
};

}  // namespace pinnet::gen3
