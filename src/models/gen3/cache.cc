#include "models/gen3/cache.h"

#include <algorithm>
#include <cstring>

#include "models/gen3/model.h"

namespace pinnet::gen3 {

KvCache::KvCache(const V3Model& model, uint64_t requested, bool kv_int8) : kv_int8_(kv_int8) {
  const V3Geometry& g = model.geometry();
  const uint64_t r = std::max<uint64_t>(requested, 1);
  kv_heads_ = g.num_kv_heads;
  head_dim_ = g.head_dim;
  v_head_dim_ = g.v_head_dim;
  d_model_ = g.d_model;
  kv_window_ = g.kv_window;
  max_order_ = g.max_order();
  const size_t past = g.qkv_conv_taps > 0 ? g.qkv_conv_taps - 1 : 0;
  layers_.resize(g.num_layers);
  for (uint64_t l = 0; l < g.num_layers; ++l) {
    LayerKv& lk = layers_[l];
    lk.cap_max = g.cache_cap(l);
    lk.global = g.is_global(l);
    lk.slots = std::min(lk.cap_max, r);
    if (kv_int8) {
      lk.key_codes.assign(lk.slots * kv_heads_ * head_dim_, 0);
      lk.value_codes.assign(lk.slots * kv_heads_ * v_head_dim_, 0);
      lk.key_scales.assign(lk.slots * kv_heads_, 1.0f);
      lk.value_scales.assign(lk.slots * kv_heads_, 1.0f);
    } else {
      lk.keys.assign(lk.slots * kv_heads_ * head_dim_, 0.0f);
      lk.values.assign(lk.slots * kv_heads_ * v_head_dim_, 0.0f);
    }
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
  for (const LayerKv& lk : layers_) widest = std::max(widest, lk.slots);
  scratch_.scores.assign(num_heads_ * widest, 0.0f);  // attention scores of every head
}

uint64_t KvCache::window_start(size_t l, uint64_t p) const {
  const LayerKv& lk = layers_.at(l);
  uint64_t s = p + 1 > lk.slots ? p + 1 - lk.slots : 0;
  if (!lk.global && kv_window_ != 0 && p + 1 > kv_window_) s = std::max(s, p + 1 - kv_window_);
  return s;
}

void KvCache::grow(LayerKv& lk, uint64_t p) {
  if (p < lk.slots || lk.slots >= lk.cap_max) return;
  // Before the first growth past the slots no position has wrapped, so every
  // stored position stays at its own index.
  const uint64_t slots = std::min(lk.cap_max, std::max(2 * lk.slots, p + 1));
  if (kv_int8_) {
    lk.key_codes.resize(slots * kv_heads_ * head_dim_, 0);
    lk.value_codes.resize(slots * kv_heads_ * v_head_dim_, 0);
    lk.key_scales.resize(slots * kv_heads_, 1.0f);
    lk.value_scales.resize(slots * kv_heads_, 1.0f);
  } else {
    lk.keys.resize(slots * kv_heads_ * head_dim_, 0.0f);
    lk.values.resize(slots * kv_heads_ * v_head_dim_, 0.0f);
  }
  lk.slots = slots;
  if (scratch_.scores.size() < num_heads_ * slots) scratch_.scores.resize(num_heads_ * slots, 0.0f);
}

void KvCache::store(size_t l, uint64_t p, const float* k, const float* v) {
  LayerKv& lk = layers_.at(l);
  grow(lk, p);
  const uint64_t slot = p % lk.slots;
  if (kv_int8_) {
    for (size_t h = 0; h < kv_heads_; ++h) {
      const size_t row = slot * kv_heads_ + h;
      quantise_int8(k + h * head_dim_, head_dim_, lk.key_codes.data() + row * head_dim_,
                    &lk.key_scales[row]);
      quantise_int8(v + h * v_head_dim_, v_head_dim_, lk.value_codes.data() + row * v_head_dim_,
                    &lk.value_scales[row]);
    }
  } else {
    std::memcpy(lk.keys.data() + slot * kv_heads_ * head_dim_, k,
                kv_heads_ * head_dim_ * sizeof(float));
    std::memcpy(lk.values.data() + slot * kv_heads_ * v_head_dim_, v,
                kv_heads_ * v_head_dim_ * sizeof(float));
  }
}

models::KvView KvCache::view(size_t l) const {
  const LayerKv& lk = layers_.at(l);
  models::KvView kv;
  kv.keys = lk.keys.data();
  kv.values = lk.values.data();
  kv.key_codes = lk.key_codes.data();
  kv.value_codes = lk.value_codes.data();
  kv.key_scales = lk.key_scales.data();
  kv.value_scales = lk.value_scales.data();
  kv.slots = lk.slots;
  kv.kv_heads = kv_heads_;
  kv.head_dim = head_dim_;
  kv.v_head_dim = v_head_dim_;
  kv.int8 = kv_int8_;
  return kv;
}

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
