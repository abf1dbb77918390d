#include "models/common/prefill_attention.h"

#include <algorithm>

#include "core/vec.h"
#include "models/common/kv_ring.h"

namespace pinnet::models {

namespace {

// Keys of positions first .. count - 1 per kv head in blocks of kb
// positions, zero elsewhere, so that the kernels score a register of keys at
// a time: dimension e of key t of kv head g at g·per_head + (t / kb)·hd·kb +
// e·kb + t % kb. Returns per_head.
size_t transpose_keys(const float* keys, uint64_t first, size_t count, size_t kv_heads, size_t hd,
                      size_t kb, std::vector<float>& kt) {
  const size_t kw = kv_heads * hd;
  const size_t per_head = (count + kb - 1) / kb * hd * kb;
  kt.assign(kv_heads * per_head, 0.0f);
  for_items(kv_heads, [&](size_t g) {
    float* dst_head = kt.data() + g * per_head;
    for (size_t t = first; t < count; ++t) {
      const float* k = keys + t * kw + g * hd;
      float* dst = dst_head + (t / kb) * hd * kb + t % kb;
      for (size_t e = 0; e < hd; ++e) dst[e * kb] = k[e];
    }
  });
  return per_head;
}

}  // namespace

void attend_prefill(const PrefillAttention& a, std::vector<float>& kt, float* scores) {
  const size_t kvh = a.kv_heads, group = a.group, hd = a.hd, vd = a.vd;
  const size_t qw = kvh * group * hd, ow = kvh * group * vd;
  const size_t kb = vec_key_block();
  const size_t per_head = transpose_keys(a.keys, a.first_key, a.p0 + a.rows, kvh, hd, kb, kt);
  const size_t per_item = prefill_scores_per_item(a);
  for_prefill_runs(kvh, a.rows, a.first, [&](size_t item, size_t g, size_t i0, size_t i1) {
    std::vector<float> own;
    float* sc = scores;
    if (sc != nullptr) {
      sc += item * per_item;
    } else {
      own.resize(2 * group * (a.p0 + i1 + 32));
      sc = own.data();
    }
    const float* kt_g = kt.data() + g * per_head;
    auto q_of = [&](size_t i) { return a.q + i * qw + g * group * hd; };
    auto o_of = [&](size_t i) { return a.o + i * ow + g * group * vd; };
    auto start = [&](size_t i) { return window_start(a.p0 + i, a.slots, a.window); };
    size_t i = i0;
    for (; i + 1 < i1; i += 2)  // two positions share every key they read
      vec_attend_pair(kt_g, kb, a.values, kvh, g, hd, vd, q_of(i), q_of(i + 1), group, start(i),
                      start(i + 1), a.p0 + i, sc, o_of(i), o_of(i + 1));
    if (i < i1)
      vec_attend_rows(kt_g, kb, a.values, kvh, g, hd, vd, q_of(i), group, start(i), a.p0 + i, sc,
                      o_of(i));
  });
}

}  // namespace pinnet::models
