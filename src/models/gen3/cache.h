// KvCache: the per-session state of a generation-3 model. Keys and values per
// layer in 32-bit floats or 8-bit codes with one scale per stored head vector,
// the q/k/v convolution histories, the last tokens for the n-gram hash, the
// raw n-gram value histories of every site, and the scratch of one step.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "models/common/kv_ring.h"
#include "core/kv_view.h"
#include "models/gen3/attention.h"
#include "models/gen3/geometry.h"
#include "models/gen3/workspace.h"

namespace pinnet::gen3 {

struct LayerKv {
  bool global = false;
  // Keys and values: at most max_seq_len (global) or the window positions.
  models::KvRing kv;
  // q/k/v convolution: qkv_conv_taps - 1 raw past vectors each, oldest first
  std::vector<float> conv_q, conv_k, conv_v;
};

class KvCache {
 public:
  KvCache(KvCache&&) noexcept = default;
  KvCache& operator=(KvCache&&) noexcept = default;

  // Positions already processed.
  uint64_t position() const { return position_; }
  bool kv_int8() const { return kv_int8_; }
  size_t layer_count() const { return layers_.size(); }
  const LayerKv& layer(size_t l) const { return layers_.at(l); }

  // First position attended at position p of layer l.
  uint64_t window_start(size_t l, uint64_t p) const;
  // Writes k (kv heads x head_dim) and v (kv heads x v_head_dim) of position
  // p, growing the layer first when p is past its slots.
  void store(size_t l, uint64_t p, const float* k, const float* v);
  models::KvView view(size_t l) const;

  // N-gram state: the last max_order tokens (oldest first) and the raw value
  // of position t at site s (t within the last engram_history positions).
  const std::vector<uint32_t>& recent_tokens() const { return recent_; }
  const float* site_value(size_t s, uint64_t t) const;

  // A copy of everything a later pass or step reads (the position, the
  // key/value rings in as few rows as the positions need, the convolution
  // histories, the n-gram tokens and site values) without the step's
  // scratch: a snapshot to restore() from, not a cache to run on.
  KvCache snapshot() const;
  // Takes a snapshot's state, keeping this cache's scratch, with room for
  // `positions` positions in every ring. The snapshot must come from a cache
  // of the same model in the same form.
  void restore(const KvCache& snapshot, uint64_t positions);
  // Bytes of the state a snapshot copies.
  size_t state_bytes() const;

 private:
  friend class V3Model;
  KvCache() = default;
  KvCache(const V3Model& model, uint64_t requested, bool kv_int8);
  void fit_scores();

  void push_token(uint32_t t);
  void push_site_value(size_t s, uint64_t p, const float* v);

  struct SiteHistory {
    uint64_t cap_max = 0;  // (conv_taps - 1)·tap_spacing
    uint64_t slots = 0;
    std::vector<float> data;  // (slots, d_model)
  };

  uint64_t position_ = 0;
  bool kv_int8_ = false;
  size_t d_model_ = 0, num_heads_ = 0;
  uint64_t kv_window_ = 0, max_order_ = 1;
  std::vector<LayerKv> layers_;
  std::vector<uint32_t> recent_;
  std::vector<SiteHistory> sites_;
  Workspace scratch_;
};

}  // namespace pinnet::gen3
