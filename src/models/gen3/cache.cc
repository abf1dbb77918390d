#include "models/gen3/cache.h"

#include <algorithm>
#include <cstring>

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
