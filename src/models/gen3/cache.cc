#include "models/gen3/cache.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "models/gen3/model.h"

namespace pinnet::gen3 {

KvCache::KvCache(const V3Model& model, uint64_t requested, bool kv_int8) : kv_int8_(kv_int8) {
  const V3Geometry& g = model.geometry();
  const uint64_t r = std::max<uint64_t>(requested, 1);
  d_model_ = g.d_model;
  kv_window_ = g.kv_window;
  max_order_ = g.max_order();
  const size_t past = g.qkv_conv_taps > 0 ? g.qkv_conv_taps - 1 : 0;
  layers_.resize(g.num_layers);
  for (uint64_t l = 0; l < g.num_layers; ++l) {
    LayerKv& lk = layers_[l];
    lk.global = g.is_global(l);
    lk.kv = models::KvRing(g.num_kv_heads, g.head_dim, g.v_head_dim, r, g.cache_cap(l), kv_int8);
    lk.conv_q.assign(past * g.q_width(), 0.0f);
    lk.conv_k.assign(past * g.k_width(), 0.0f);
    lk.conv_v.assign(past * g.v_width(), 0.0f);
  }
  recent_.reserve(static_cast<size_t>(std::min(max_order_, std::max<uint64_t>(r, 16))));
  sites_.resize(model.sites().size());
  for (SiteHistory& s : sites_) {
    s.cap_max = g.engram_history();
    s.slots = std::min(s.cap_max, r);
    s.data.assign(s.slots * d_model_, 0.0f);
  }
  scratch_.prepare(model, 1, 1);
  num_heads_ = g.num_heads;
  uint64_t widest = 1;
  for (const LayerKv& lk : layers_) widest = std::max(widest, lk.kv.slots());
  scratch_.scores.assign(num_heads_ * widest, 0.0f);  // attention scores of every head
}

uint64_t KvCache::window_start(size_t l, uint64_t p) const {
  const LayerKv& lk = layers_.at(l);
  return lk.kv.window_start(p, lk.global ? 0 : kv_window_);
}

KvCache KvCache::snapshot() const {
  KvCache s;
  s.position_ = position_;
  s.kv_int8_ = kv_int8_;
  s.d_model_ = d_model_;
  s.num_heads_ = num_heads_;
  s.kv_window_ = kv_window_;
  s.max_order_ = max_order_;
  s.layers_.reserve(layers_.size());
  for (const LayerKv& lk : layers_)
    s.layers_.push_back(LayerKv{lk.global, lk.kv.resized_copy(position_, position_), lk.conv_q,
                                lk.conv_k, lk.conv_v});
  s.recent_ = recent_;
  s.sites_ = sites_;
  return s;
}

void KvCache::restore(const KvCache& snapshot, uint64_t positions) {
  if (snapshot.layers_.size() != layers_.size() || snapshot.sites_.size() != sites_.size() ||
      snapshot.kv_int8_ != kv_int8_ || snapshot.d_model_ != d_model_)
    throw std::logic_error("snapshot of another model or cache form");
  const uint64_t p = snapshot.position_;
  position_ = p;
  for (size_t l = 0; l < layers_.size(); ++l) {
    const LayerKv& from = snapshot.layers_[l];
    LayerKv& to = layers_[l];
    to.global = from.global;
    to.kv = from.kv.resized_copy(p, std::max(p, positions));
    to.conv_q = from.conv_q;
    to.conv_k = from.conv_k;
    to.conv_v = from.conv_v;
  }
  recent_ = snapshot.recent_;
  sites_ = snapshot.sites_;
  fit_scores();
}

size_t KvCache::state_bytes() const {
  size_t floats = 0;
  size_t bytes = recent_.size() * sizeof(uint32_t);
  for (const LayerKv& lk : layers_) {
    bytes += lk.kv.bytes();
    floats += lk.conv_q.size() + lk.conv_k.size() + lk.conv_v.size();
  }
  for (const SiteHistory& h : sites_) floats += h.data.size();
  return bytes + floats * sizeof(float);
}

void KvCache::fit_scores() {
  uint64_t widest = 1;
  for (const LayerKv& lk : layers_) widest = std::max(widest, lk.kv.slots());
  if (scratch_.scores.size() < num_heads_ * widest) scratch_.scores.resize(num_heads_ * widest, 0.0f);
}

void KvCache::store(size_t l, uint64_t p, const float* k, const float* v) {
  models::KvRing& ring = layers_.at(l).kv;
  ring.store(p, k, v);
  // The step's scores cover every head over the layer's slots.
  const uint64_t slots = ring.slots();
  if (scratch_.scores.size() < num_heads_ * slots) scratch_.scores.resize(num_heads_ * slots, 0.0f);
}

models::KvView KvCache::view(size_t l) const { return layers_.at(l).kv.view(); }

void KvCache::push_token(uint32_t t) {
  if (max_order_ == 0) return;
  if (recent_.size() >= max_order_) recent_.erase(recent_.begin());
  recent_.push_back(t);
}

const float* KvCache::site_value(size_t s, uint64_t t) const {
  const SiteHistory& h = sites_.at(s);
  return h.data.data() + (t % h.slots) * d_model_;
}

void KvCache::push_site_value(size_t s, uint64_t p, const float* v) {
  SiteHistory& h = sites_.at(s);
  if (h.cap_max == 0) return;
  if (p >= h.slots && h.slots < h.cap_max) {
    h.slots = std::min(h.cap_max, std::max(2 * h.slots, p + 1));
    h.data.resize(h.slots * d_model_, 0.0f);
  }
  std::memcpy(h.data.data() + (p % h.slots) * d_model_, v, d_model_ * sizeof(float));
}

}  // namespace pinnet::gen3
