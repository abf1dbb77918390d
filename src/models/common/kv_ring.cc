#include "models/common/kv_ring.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace pinnet::models {

namespace {

// Rounds to nearest with ties away from zero, clamped to the int8 range; NaN
// gives 0 rather than an undefined conversion.
float int8_code(float y) {
  const float c = std::trunc(y + std::copysign(0.49999997f, y));
  if (c != c) return 0.0f;
  return std::clamp(c, -128.0f, 127.0f);
}

float int8_scale(const float* x, size_t w) {
  float amax = 0.0f;
  for (size_t i = 0; i < w; ++i) amax = std::max(amax, std::fabs(x[i]));
  return amax > 0.0f ? amax / 127.0f : 1.0f;
}

}  // namespace

void quantise_int8(const float* x, size_t w, int8_t* codes, float* scale) {
  const float s = int8_scale(x, w);
  const float inv = 1.0f / s;
  for (size_t i = 0; i < w; ++i) codes[i] = static_cast<int8_t>(int8_code(x[i] * inv));
  *scale = s;
}

void round_trip_int8(float* x, size_t w) {
  const float s = int8_scale(x, w);
  const float inv = 1.0f / s;
  for (size_t i = 0; i < w; ++i) x[i] = int8_code(x[i] * inv) * s;
}

KvRing::KvRing(size_t kv_heads, size_t head_dim, size_t v_head_dim, uint64_t slots,
               uint64_t max_slots, bool int8)
    : kv_heads_(kv_heads),
      head_dim_(head_dim),
      v_head_dim_(v_head_dim),
      max_slots_(max_slots),
      int8_(int8) {
  resize(std::min(slots, max_slots));
}

void KvRing::resize(uint64_t slots) {
  // New rows hold zero keys and values with unit scales.
  if (int8_) {
    key_codes_.resize(slots * kv_heads_ * head_dim_, 0);
    value_codes_.resize(slots * kv_heads_ * v_head_dim_, 0);
    key_scales_.resize(slots * kv_heads_, 1.0f);
    value_scales_.resize(slots * kv_heads_, 1.0f);
  } else {
    keys_.resize(slots * kv_heads_ * head_dim_, 0.0f);
    values_.resize(slots * kv_heads_ * v_head_dim_, 0.0f);
  }
  slots_ = slots;
}

void KvRing::grow(uint64_t p) {
  if (p < slots_ || slots_ >= max_slots_) return;
  // Before the first growth past the slots no position has wrapped, so every
  // stored position stays at its own index.
  resize(std::min(max_slots_, std::max(2 * slots_, p + 1)));
}

void KvRing::store(uint64_t p, const float* k, const float* v) {
  grow(p);
  const uint64_t slot = p % slots_;
  if (int8_) {
    for (size_t h = 0; h < kv_heads_; ++h) {
      const size_t row = slot * kv_heads_ + h;
      quantise_int8(k + h * head_dim_, head_dim_, key_codes_.data() + row * head_dim_,
                    &key_scales_[row]);
      quantise_int8(v + h * v_head_dim_, v_head_dim_, value_codes_.data() + row * v_head_dim_,
                    &value_scales_[row]);
    }
  } else {
    std::memcpy(keys_.data() + slot * kv_heads_ * head_dim_, k,
                kv_heads_ * head_dim_ * sizeof(float));
    std::memcpy(values_.data() + slot * kv_heads_ * v_head_dim_, v,
                kv_heads_ * v_head_dim_ * sizeof(float));
  }
}

KvView KvRing::view() const {
  KvView kv;
  kv.keys = keys_.data();
  kv.values = values_.data();
  kv.key_codes = key_codes_.data();
  kv.value_codes = value_codes_.data();
  kv.key_scales = key_scales_.data();
  kv.value_scales = value_scales_.data();
  kv.slots = slots_;
  kv.kv_heads = kv_heads_;
  kv.head_dim = head_dim_;
  kv.v_head_dim = v_head_dim_;
  kv.int8 = int8_;
  return kv;
}

void KvRing::clear() {
  std::fill(keys_.begin(), keys_.end(), 0.0f);
  std::fill(values_.begin(), values_.end(), 0.0f);
  std::fill(key_codes_.begin(), key_codes_.end(), int8_t{0});
  std::fill(value_codes_.begin(), value_codes_.end(), int8_t{0});
  std::fill(key_scales_.begin(), key_scales_.end(), 1.0f);
  std::fill(value_scales_.begin(), value_scales_.end(), 1.0f);
}

size_t KvRing::bytes() const {
  return (keys_.size() + values_.size() + key_scales_.size() + value_scales_.size()) * sizeof(float) +
         key_codes_.size() + value_codes_.size();
}

KvRing KvRing::resized_copy(uint64_t n, uint64_t rows) const {
  if (n > slots_) return *this;
  KvRing r;
  r.kv_heads_ = kv_heads_;
  r.head_dim_ = head_dim_;
  r.v_head_dim_ = v_head_dim_;
  r.max_slots_ = max_slots_;
  r.int8_ = int8_;
  r.resize(std::max<uint64_t>(std::min(std::max(rows, n), max_slots_), std::min<uint64_t>(1, max_slots_)));
  const size_t k = n * kv_heads_ * head_dim_, v = n * kv_heads_ * v_head_dim_, s = n * kv_heads_;
  if (int8_) {
    std::copy_n(key_codes_.begin(), k, r.key_codes_.begin());
    std::copy_n(value_codes_.begin(), v, r.value_codes_.begin());
    std::copy_n(key_scales_.begin(), s, r.key_scales_.begin());
    std::copy_n(value_scales_.begin(), s, r.value_scales_.begin());
  } else {
    std::copy_n(keys_.begin(), k, r.keys_.begin());
    std::copy_n(values_.begin(), v, r.values_.begin());
  }
  return r;
}

}  // namespace pinnet::models
