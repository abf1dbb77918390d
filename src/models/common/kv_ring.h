// KvRing: the keys and values one attention block keeps for a session, in
// 32-bit floats or in 8-bit codes with one scale per stored head vector.
// Position t lives at row t % slots; a ring may start small and grow lazily
// up to max_slots rows (growth stops at max_slots, after which old positions
// are overwritten), or be made with slots == max_slots and never grow.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/kv_view.h"

namespace pinnet::models {

// Int8 storing of one vector: scale = amax/127 (1 when amax is 0);
// code = clamp(trunc(y + copysign(0.49999997, y)), -128, 127), y = x·(1/scale).
void quantise_int8(const float* x, size_t w, int8_t* codes, float* scale);
// x <- codes·scale of its own int8 quantisation.
void round_trip_int8(float* x, size_t w);

// First position attended at position p over a store of `slots` rows: the
// oldest position still held (p + 1 - slots once p has passed the slots),
// and no earlier than p + 1 - window when window is not 0.
inline uint64_t window_start(uint64_t p, uint64_t slots, uint64_t window) {
  uint64_t s = p + 1 > slots ? p + 1 - slots : 0;
  if (window != 0 && p + 1 > window) s = std::max(s, p + 1 - window);
  return s;
}

class KvRing {
 public:
  KvRing() = default;
  // A ring of min(slots, max_slots) rows of kv_heads key vectors of head_dim
  // floats and kv_heads value vectors of v_head_dim floats, zero keys and
  // values (unit scales in int8 mode).
  KvRing(size_t kv_heads, size_t head_dim, size_t v_head_dim, uint64_t slots, uint64_t max_slots,
         bool int8);

  uint64_t slots() const { return slots_; }  // rows allocated now
  uint64_t max_slots() const { return max_slots_; }
  bool int8() const { return int8_; }
  size_t kv_heads() const { return kv_heads_; }
  size_t head_dim() const { return head_dim_; }
  size_t v_head_dim() const { return v_head_dim_; }

  // First position attended at position p over the rows the ring holds now
  // (the free window_start).
  uint64_t window_start(uint64_t p, uint64_t window) const {
    return models::window_start(p, slots_, window);
  }
  // Writes k (kv_heads x head_dim) and v (kv_heads x v_head_dim) of position
  // p at row p % slots, first growing the ring when p is past its slots and
  // it may still grow.
  void store(uint64_t p, const float* k, const float* v);
  // Room for positions 0 .. positions - 1 without a wrap (up to max_slots),
  // so that later stores allocate nothing.
  void reserve(uint64_t positions) {
    if (positions > 0) grow(positions - 1);
  }
  KvView view() const;
  // Back to the contents of a new ring (zero keys and values, unit scales),
  // keeping its rows and its memory.
  void clear();
  // Bytes of keys, values and scales held now.
  size_t bytes() const;
  // A copy of this ring after it stored positions 0 .. n - 1 (and none past
  // them): while none has wrapped (n <= slots) in `rows` rows (at least n,
  // at most max_slots), positions at their own rows and the rest as in a new
  // ring, so it grows on as this one would; a ring that has wrapped is
  // copied whole.
  KvRing resized_copy(uint64_t n, uint64_t rows) const;

  // float mode: (slots, kv_heads, head_dim) and (slots, kv_heads, v_head_dim);
  // empty in int8 mode.
  const std::vector<float>& keys() const { return keys_; }
  const std::vector<float>& values() const { return values_; }
  // int8 mode: the same layouts in codes, plus (slots, kv_heads) scales;
  // empty in float mode.
  const std::vector<int8_t>& key_codes() const { return key_codes_; }
  const std::vector<int8_t>& value_codes() const { return value_codes_; }
  const std::vector<float>& key_scales() const { return key_scales_; }
  const std::vector<float>& value_scales() const { return value_scales_; }

 private:
  void resize(uint64_t slots);
  void grow(uint64_t p);

  size_t kv_heads_ = 0, head_dim_ = 0, v_head_dim_ = 0;
  uint64_t slots_ = 0, max_slots_ = 0;
  bool int8_ = false;
  std::vector<float> keys_, values_;
  std::vector<int8_t> key_codes_, value_codes_;
  std::vector<float> key_scales_, value_scales_;
};

}  // namespace pinnet::models
