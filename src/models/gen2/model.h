// V2Model: a bound generation-2 model (decoder-only; multi-lane residual
// stream with learned mixing, hashed n-gram memory at chosen blocks, a
// Hadamard feed-forward), its per-sequence state, and one forward routine
// over a tile of consecutive positions that serves both the single-token
// step (a tile of one) and the batched prefill (tiles of up to 128).
// Immutable after construction; every per-sequence value is in the state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/cq.h"
#include "core/kernels.h"
#include "core/result.h"
#include "models/common/kv_ring.h"
#include "models/common/lanes.h"
#include "models/common/rotations.h"
#include "models/common/workspace_shelf.h"
#include "models/gen2/geometry.h"
#include "models/gen2/weights.h"

namespace pinnet::gen2 {

class V2Model;

// The caller errors of step and prefill (nothing is changed when one is
// returned).
inline constexpr const char* kSequenceTooLong = "sequence exceeds max_seq_len";
inline constexpr const char* kTokenOutsideVocabulary = "token id outside vocabulary";
inline constexpr const char* kLogitsWrongLength = "logits buffer is not vocab_size long";

// Buffers of one forward call over up to `rows` positions. Row-major, one
// row per position; the contents between calls mean nothing.
struct Scratch {
  size_t m = 0;  // positions the buffers hold
  std::vector<float> lanes, lanes_old, zhat;    // rows x lanes·d_model
  std::vector<float> pre, post, res;            // rows x lanes, lanes, lanes²
  std::vector<float> x, r, a, y, delta, mean;   // rows x d_model
  std::vector<float> q, gate, o;                // rows x num_heads·head_dim
  std::vector<float> k, v;                      // rows x num_kv_heads·head_dim
  std::vector<float> ff;                        // rows x hada_n
  std::vector<float> fetched, values;           // rows x d_model (n-gram)
  std::vector<std::vector<float>> site_keys, site_convs;  // per site: rows x d_model
  std::vector<float> rope_cos, rope_sin;        // rows x head_dim / 2
  std::vector<float> scores;                    // attention scores (see prepare)
  std::vector<float> kt;                        // keys per kv head in blocks of positions
  std::vector<float> cells;                     // rows x (num_layers + 1) x d_model, when pooled
  models::Rotations rot_z, rot_a, rot_o, rot_f, rot_mean;

  void prepare(const V2Model& model, size_t rows, uint64_t capacity, bool with_cells);
};

// One sequence: the position, the token history, the key/value rings of
// every block and the value rings of every n-gram site. The history and the
// rings grow with the positions a sequence reaches (up to max_seq_len and the
// capacity), not to the declared limits at once; once `reserve` has made
// room, neither step nor prefill allocates.
struct V2SequenceState {
  uint64_t position = 0;
  uint64_t capacity = 0;  // ring slots per block
  uint64_t window = 0;    // attention window, 0 = unlimited
  std::vector<uint32_t> history;              // id of every position so far
  std::vector<models::KvRing> kv;             // per block, up to `capacity` slots
  std::vector<std::vector<float>> engram_ring;  // per site: up to ring x d_model
  Scratch step;                               // a tile of one position

  // A copy of everything a later pass reads (position, limits, the history
  // up to the position, the rings in as few rows as the positions need)
  // without the step scratch: a snapshot to restore() from, not a state to
  // run on.
  V2SequenceState snapshot() const;
  // Takes a snapshot's values, keeping this state's scratch, the rings with
  // room for `positions` positions; call the model's reserve() for them
  // before running on.
  void restore(const V2SequenceState& snapshot, uint64_t positions);
  // Bytes of the values a snapshot copies.
  size_t state_bytes() const;
};

// Receives every position's pooled vectors, in position order: cell 0 is the
// scaled embedding, cell b + 1 the lane mean after block b.
class CellSink {
 public:
  virtual void position(uint32_t token, const float* cells, size_t count, size_t width) = 0;

 protected:
  ~CellSink() = default;
};

class V2Model {
 public:
  // Geometry checks, then weight checks, each in a fixed order; the first
  // failing check's message is the error.
  static core::Result<V2Model, std::string> create(V2Geometry geometry, V2Weights weights);

  V2Model(V2Model&&) noexcept = default;
  V2Model& operator=(V2Model&&) noexcept = default;

  const V2Geometry& geometry() const { return g_; }
  const core::CqTensor& embedding() const { return *w_.embedding; }

  // Builds (kInt8) or drops (kFloat) the int8 form of every codebook-quantised
  // tensor the products read: each block's q, k, v, gate and out, the lane
  // rows of every block, each engram site's key and value projections and the
  // output head (the embedding and engram rows are read dequantised either
  // way). Part of loading: call before the model is shared or any state made.
  void set_compute(core::Compute compute);

  // A state whose rings hold `capacity` slots per block (0 counts as 1).
  V2SequenceState new_state(uint64_t capacity, uint64_t window) const;
  // Room for `positions` positions in the history and the rings.
  void reserve(V2SequenceState& s, uint64_t positions) const;
  // Position 0, window 0 (the pooling heads). Nothing a later step reads
  // survives: every slot, history entry and ring row it reads is written
  // first, so the memory is kept rather than zeroed.
  void reset_state(V2SequenceState& s) const;
  // Position 0 with the window kept (a new generation on a windowed ring
  // must not attend beyond the ring).
  void restart_state(V2SequenceState& s) const;

  // One token at the state's position; logits gets vocab_size raw scores.
  // nullptr on success, else one of the three caller errors.
  const char* step(uint32_t token, V2SequenceState& s, std::span<float> logits) const;
  // Many tokens from the state's position, in tiles of 128; the logits (when
  // not empty) are those of the last token. The same values as repeated
  // steps, up to the order of summation.
  const char* prefill(std::span<const uint32_t> tokens, V2SequenceState& s,
                      std::span<float> logits) const;
  // prefill without logits, handing every position's cells to `sink`;
  // stops at the first token outside the vocabulary (returning its error).
  const char* prefill_cells(std::span<const uint32_t> tokens, V2SequenceState& s,
                            CellSink& sink) const;

 private:
  V2Model(V2Geometry geometry, V2Weights weights, std::vector<core::CqTensor> lane_rows);
  void grow(V2SequenceState& s, uint64_t positions) const;
  const char* run(std::span<const uint32_t> tokens, V2SequenceState& s, std::span<float> logits,
                  CellSink* sink) const;
  // The forward pass over one tile, as named stages called in order.
  struct Tile;
  void forward_tile(std::span<const uint32_t> tokens, V2SequenceState& s, Scratch& w,
                    bool want_logits, std::span<float> logits, CellSink* sink) const;
  void embed(const Tile& t) const;
  void engram_stage(const Tile& t) const;
  // Block b: lane logits; per position the pre-mix, the n-gram read and the
  // attention input; attention; per position the attention residual, the
  // feed-forward, the post-mix and the cell.
  void block(const Tile& t, size_t b) const;
  void lane_logits(const Tile& t, size_t b) const;
  void lane_pre_mix(const Tile& t, size_t b, size_t i) const;
  void ngram_read(const Tile& t, size_t b, size_t i) const;
  void attention_input(const Tile& t, size_t b, size_t i) const;
  void attention(const Tile& t, size_t b) const;
  void qkv_products(const Tile& t, size_t b) const;
  void qk_norms(const Tile& t, size_t b) const;
  void attend_tile(const Tile& t, size_t b) const;  // positions fit the ring unwrapped
  void attend_ring(const Tile& t, size_t b) const;  // row by row through the ring
  void attention_residual(const Tile& t, size_t b, size_t i) const;
  void feed_forward(const Tile& t, size_t b, size_t i) const;
  void lane_post_mix(const Tile& t, size_t b, size_t i) const;
  void cell(const Tile& t, size_t b, size_t i) const;
  void logits_stage(const Tile& t, std::span<float> logits) const;
  models::LaneGains lane_gains(size_t b) const;

  friend struct Scratch;

  V2Geometry g_;
  V2Weights w_;
  // Per block b the rows of the lane projections that block reads:
  // [3b] pre (lanes rows), [3b + 1] post (lanes rows), [3b + 2] res (lanes²).
  std::vector<core::CqTensor> lane_rows_;
  std::vector<int64_t> site_of_block_;  // the first site listed for each block, or -1
  std::vector<float> rope_freq_;  // head_dim / 2 rotary frequencies
  float embedding_scale_ = 1.0f;
  // Prefill scratch kept between calls (behind a pointer: the model moves).
  std::unique_ptr<models::WorkspaceShelf<Scratch>> shelf_;
};

}  // namespace pinnet::gen2
