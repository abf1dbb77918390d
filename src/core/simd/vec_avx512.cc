// Built with -mavx512f -mavx512vl -mavx2 -mfma; entered only after the
// processor check in vec.cc. The AVX-512 build shares every kernel of the
// AVX2 build except these: the prefill's transposed-key attention, which here
// reads keys in 16-position blocks, scores 64 keys per step and sums values
// 64 columns at a time in 16-lane registers; the single-token step's
// attention over the cache, all heads of a kv head per pass; the
// feed-forward's two-factor transform, on tiles of several output rows; and
// the sigmoid gates, lane for lane the 8-lane results.
#include "core/simd/x86_intrinsics.h"

#include <algorithm>
#include <cmath>

#include "core/vec.h"

namespace pinnet::core {
namespace {

// exp over 16 lanes, the same reduction and polynomial as the 8-lane build:
// x = n·ln2 + r with |r| <= ln2/2, a degree-6 polynomial for exp(r), and 2^n
// built in the exponent bits.
inline __m512 exp16(__m512 x) {
  x = _mm512_min_ps(_mm512_set1_ps(88.3762626647949f), x);
  x = _mm512_max_ps(_mm512_set1_ps(-87.3365447505531f), x);
  __m512 fx = _mm512_fmadd_ps(x, _mm512_set1_ps(1.44269504088896341f), _mm512_set1_ps(0.5f));
  fx = _mm512_roundscale_ps(fx, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
  __m512 r = _mm512_fnmadd_ps(fx, _mm512_set1_ps(0.693359375f), x);
  r = _mm512_fnmadd_ps(fx, _mm512_set1_ps(-2.12194440e-4f), r);
  __m512 p = _mm512_set1_ps(1.9875691500e-4f);
  p = _mm512_fmadd_ps(p, r, _mm512_set1_ps(1.3981999507e-3f));
  p = _mm512_fmadd_ps(p, r, _mm512_set1_ps(8.3334519073e-3f));
  p = _mm512_fmadd_ps(p, r, _mm512_set1_ps(4.1665795894e-2f));
  p = _mm512_fmadd_ps(p, r, _mm512_set1_ps(1.6666665459e-1f));
  p = _mm512_fmadd_ps(p, r, _mm512_set1_ps(5.0000001201e-1f));
  const __m512 rr = _mm512_mul_ps(r, r);
  const __m512 y = _mm512_add_ps(_mm512_fmadd_ps(p, rr, r), _mm512_set1_ps(1.0f));
  const __m512i n = _mm512_cvttps_epi32(fx);
  const __m512i bits = _mm512_slli_epi32(_mm512_add_epi32(n, _mm512_set1_epi32(127)), 23);
  return _mm512_mul_ps(y, _mm512_castsi512_ps(bits));
}

// x[i] <- exp(x[i] - m); returns the sum.
float exp_shifted_zmm(float* x, size_t n, float m) {
  const __m512 vm = _mm512_set1_ps(m);
  __m512 acc = _mm512_setzero_ps();
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m512 e = exp16(_mm512_sub_ps(_mm512_loadu_ps(x + i), vm));
    _mm512_storeu_ps(x + i, e);
    acc = _mm512_add_ps(acc, e);
  }
  float sum = 0.0f;
  for (; i < n; ++i) {
    x[i] = std::exp(x[i] - m);
    sum += x[i];
  }
  return _mm512_reduce_add_ps(acc) + sum;
}

// 1 / (1 + exp(-z)), lane for lane the 8-lane build's sigmoid.
inline __m512 sigmoid16(__m512 z) {
  const __m512 one = _mm512_set1_ps(1.0f);
  return _mm512_div_ps(one, _mm512_add_ps(one, exp16(_mm512_sub_ps(_mm512_setzero_ps(), z))));
}

void mul_sigmoid_zmm(float* o, const float* g, size_t n) {
  size_t i = 0;
  for (; i + 16 <= n; i += 16)
    _mm512_storeu_ps(o + i, _mm512_mul_ps(_mm512_loadu_ps(o + i), sigmoid16(_mm512_loadu_ps(g + i))));
  if (i < n) vec_kernels_avx2().mul_sigmoid(o + i, g + i, n - i);
}

void gated_silu_zmm(float* v, const float* scale, const float* mix, const float* bias, size_t n) {
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m512 h = _mm512_add_ps(
        _mm512_mul_ps(_mm512_mul_ps(_mm512_loadu_ps(scale + i), _mm512_loadu_ps(mix + i)),
                      _mm512_loadu_ps(v + i)),
        _mm512_loadu_ps(bias + i));
    _mm512_storeu_ps(v + i, _mm512_mul_ps(h, sigmoid16(h)));
  }
  if (i < n) vec_kernels_avx2().gated_silu(v + i, scale + i, mix + i, bias + i, n - i);
}

// w[t] <- exp(w[t] - max) over count scores; returns the sum, broadcast.
// The maximum is taken 16 lanes at a time (a scalar running maximum is one
// long dependency chain).
// 16 floats of a key or value row: float rows as they are, int8 codes widened.
inline __m512 load16(const float* p) { return _mm512_loadu_ps(p); }
inline __m512 load16(const int8_t* p) {
  return _mm512_cvtepi32_ps(_mm512_cvtepi8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))));
}

inline __m512 softmax_weights(float* w, size_t count) {
  __m512 vm = _mm512_set1_ps(-INFINITY);
  size_t t = 0;
  for (; t + 16 <= count; t += 16) vm = _mm512_max_ps(vm, _mm512_loadu_ps(w + t));
  float m = _mm512_reduce_max_ps(vm);
  for (; t < count; ++t) m = std::max(m, w[t]);
  return _mm512_set1_ps(exp_shifted_zmm(w, count, m));
}

// R query rows (the heads of one position over one kv head) over keys
// transposed in blocks of 16 positions, so one register holds a dimension of
// 16 keys; hd any size, vd a multiple of 16 (kNc·16 columns per pass over the
// keys). Scores take 64 keys per step (R x 4 accumulators); the weights stay
// unnormalised and each output is divided by its row's sum at the end.
template <size_t R, size_t kNc>
void attend_rows_zmm(const float* kt, const float* values, size_t kvh, size_t g, size_t hd,
                     size_t vd, const float* q, uint64_t start, uint64_t p, float* scores,
                     float* out) {
  const float inv_s = 1.0f / std::sqrt(static_cast<float>(hd));
  const __m512 inv = _mm512_set1_ps(inv_s);
  const size_t count = static_cast<size_t>(p - start + 1), stride = count + 31;
  const uint64_t b0 = start / 16, b1 = p / 16;  // first and last key block
  // Row r's score of position t sits at scores[r·stride + t - 16·b0]; the
  // blocks written span at most count + 30 floats.
  const size_t block = hd * 16;
  uint64_t b = b0;
  for (; b + 3 <= b1; b += 4) {
    const float* k0 = kt + b * block;
    __m512 a[R][4];
    for (size_t r = 0; r < R; ++r)
      for (size_t j = 0; j < 4; ++j) a[r][j] = _mm512_setzero_ps();
    for (size_t i = 0; i < hd; ++i) {
      __m512 x[4];
      for (size_t j = 0; j < 4; ++j) x[j] = _mm512_loadu_ps(k0 + j * block + i * 16);
      for (size_t r = 0; r < R; ++r) {
        const __m512 qb = _mm512_set1_ps(q[r * hd + i]);
        for (size_t j = 0; j < 4; ++j) a[r][j] = _mm512_fmadd_ps(qb, x[j], a[r][j]);
      }
    }
    for (size_t r = 0; r < R; ++r) {
      float* sc = scores + r * stride + (b - b0) * 16;
      for (size_t j = 0; j < 4; ++j) _mm512_storeu_ps(sc + 16 * j, _mm512_mul_ps(a[r][j], inv));
    }
  }
  for (; b <= b1; ++b) {
    const float* k0 = kt + b * block;
    __m512 a[R];
    for (size_t r = 0; r < R; ++r) a[r] = _mm512_setzero_ps();
    for (size_t i = 0; i < hd; ++i) {
      const __m512 x0 = _mm512_loadu_ps(k0 + i * 16);
      for (size_t r = 0; r < R; ++r) a[r] = _mm512_fmadd_ps(_mm512_set1_ps(q[r * hd + i]), x0, a[r]);
    }
    for (size_t r = 0; r < R; ++r)
      _mm512_storeu_ps(scores + r * stride + (b - b0) * 16, _mm512_mul_ps(a[r], inv));
  }
  const size_t off = static_cast<size_t>(start - b0 * 16);
  float* w[R];
  __m512 sums[R];
  for (size_t r = 0; r < R; ++r) {
    w[r] = scores + r * stride + off;  // weights of positions start .. p
    sums[r] = softmax_weights(w[r], count);
  }
  const size_t vstride = kvh * vd;
  const float* v0 = values + (start * kvh + g) * vd;
  for (size_t c = 0; c < vd; c += 16 * kNc) {
    __m512 acc[R][kNc];
    for (size_t r = 0; r < R; ++r)
      for (size_t j = 0; j < kNc; ++j) acc[r][j] = _mm512_setzero_ps();
    const float* v = v0 + c;
    for (size_t t = 0; t < count; ++t, v += vstride) {
      __m512 x[kNc];
      for (size_t j = 0; j < kNc; ++j) x[j] = _mm512_loadu_ps(v + 16 * j);
      for (size_t r = 0; r < R; ++r) {
        const __m512 wt = _mm512_set1_ps(w[r][t]);
        for (size_t j = 0; j < kNc; ++j) acc[r][j] = _mm512_fmadd_ps(wt, x[j], acc[r][j]);
      }
    }
    for (size_t r = 0; r < R; ++r)
      for (size_t j = 0; j < kNc; ++j)
        _mm512_storeu_ps(out + r * vd + c + 16 * j, _mm512_div_ps(acc[r][j], sums[r]));
  }
}

template <size_t R>
void attend_rows_tile(const float* kt, const float* values, size_t kvh, size_t g, size_t hd,
                      size_t vd, const float* q, uint64_t start, uint64_t p, float* scores,
                      float* out) {
  if (vd % 64 == 0) {
    attend_rows_zmm<R, 4>(kt, values, kvh, g, hd, vd, q, start, p, scores, out);
  } else {
    attend_rows_zmm<R, 1>(kt, values, kvh, g, hd, vd, q, start, p, scores, out);
  }
}

void attend_rows_avx512(const float* kt, size_t kb, const float* values, size_t kvh, size_t g,
                        size_t hd, size_t vd, const float* q, size_t rows, uint64_t start,
                        uint64_t p, float* scores, float* out) {
  if (kb != 16 || vd % 16 != 0) {
    vec_kernels_avx2().attend_rows(kt, kb, values, kvh, g, hd, vd, q, rows, start, p, scores, out);
    return;
  }
  using Tile = void (*)(const float*, const float*, size_t, size_t, size_t, size_t, const float*,
                       uint64_t, uint64_t, float*, float*);
  static constexpr Tile kTiles[] = {attend_rows_tile<1>, attend_rows_tile<2>, attend_rows_tile<3>,
                                    attend_rows_tile<4>};
  for (size_t r = 0; r < rows; r += 4) {
    kTiles[std::min<size_t>(4, rows - r) - 1](kt, values, kvh, g, hd, vd, q + r * hd, start, p,
                                              scores, out + r * vd);
  }
}

// Sixteen vectors to one: lane j of the result is the sum of v[j]'s lanes
// (pairs of rows interleaved and added, then pairs of pairs, then 128-bit
// lanes), 45 operations instead of sixteen horizontal sums.
inline __m512 sum_lanes16(const __m512* v) {
  __m512 a[8], b[4], c[2];
  for (int i = 0; i < 8; ++i)
    a[i] = _mm512_add_ps(_mm512_unpacklo_ps(v[2 * i], v[2 * i + 1]),
                         _mm512_unpackhi_ps(v[2 * i], v[2 * i + 1]));
  for (int i = 0; i < 4; ++i) {
    const __m512d x = _mm512_castps_pd(a[2 * i]), y = _mm512_castps_pd(a[2 * i + 1]);
    b[i] = _mm512_add_ps(_mm512_castpd_ps(_mm512_unpacklo_pd(x, y)),
                         _mm512_castpd_ps(_mm512_unpackhi_pd(x, y)));
  }
  // b[i], 128-bit lane L: the lane-L sums of rows 4i .. 4i + 3.
  for (int i = 0; i < 2; ++i)
    c[i] = _mm512_add_ps(_mm512_shuffle_f32x4(b[2 * i], b[2 * i + 1], 0x88),
                         _mm512_shuffle_f32x4(b[2 * i], b[2 * i + 1], 0xDD));
  return _mm512_add_ps(_mm512_shuffle_f32x4(c[0], c[1], 0x88), _mm512_shuffle_f32x4(c[0], c[1], 0xDD));
}

// The single-token step: R query heads of kv head g over the cache's float
// keys and values (position t at row t % slots), hd and vd multiples of 16.
// Scores 16 keys a head at a time (one partial vector per key, summed
// across lanes by sum_lanes16); values for all R heads in registers while
// the positions stream, each key and value row read once for every head;
// each output divided by its head's sum at the end.
template <size_t R, bool kInt8>
void attend_group_zmm(const KvView& kv, const float* q, size_t g, uint64_t start, uint64_t p,
                      float* scores, float* out) {
  const size_t hd = kv.head_dim, vd = kv.v_head_dim, kvh = kv.kv_heads;
  const float inv_s = 1.0f / std::sqrt(static_cast<float>(hd));
  const __m512 inv = _mm512_set1_ps(inv_s);
  const size_t count = static_cast<size_t>(p - start + 1);
  const uint64_t first = start % kv.slots;
  auto next = [&](uint64_t r) { return r + 1 == kv.slots ? 0 : r + 1; };
  auto key = [&](uint64_t r) {
    if constexpr (kInt8) {
      return kv.key_codes + (r * kvh + g) * hd;
    } else {
      return kv.keys + (r * kvh + g) * hd;
    }
  };
  // An int8 row's scale, applied to its score (keys) or weight (values).
  auto key_scale = [&](uint64_t r) { return kInt8 ? kv.key_scales[r * kvh + g] : 1.0f; };
  auto value_scale = [&](uint64_t r) { return kInt8 ? kv.value_scales[r * kvh + g] : 1.0f; };
  decltype(key(0)) rows16[16];
  alignas(64) float scales16[16];
  uint64_t row = first;
  size_t t = 0;
  for (; t + 16 <= count; t += 16) {
    for (size_t j = 0; j < 16; ++j, row = next(row)) {
      rows16[j] = key(row);
      if constexpr (kInt8) scales16[j] = key_scale(row);
    }
    for (size_t r = 0; r < R; ++r) {
      const float* qr = q + r * hd;
      __m512 part[16];
      for (size_t j = 0; j < 16; ++j) part[j] = _mm512_setzero_ps();
      for (size_t i = 0; i < hd; i += 16) {
        const __m512 qv = _mm512_loadu_ps(qr + i);
        for (size_t j = 0; j < 16; ++j) part[j] = _mm512_fmadd_ps(load16(rows16[j] + i), qv, part[j]);
      }
      __m512 e = _mm512_mul_ps(sum_lanes16(part), inv);
      if constexpr (kInt8) e = _mm512_mul_ps(e, _mm512_load_ps(scales16));
      _mm512_storeu_ps(scores + r * count + t, e);
    }
  }
  for (; t < count; ++t, row = next(row)) {
    const auto* k = key(row);
    for (size_t r = 0; r < R; ++r) {
      __m512 acc = _mm512_setzero_ps();
      for (size_t i = 0; i < hd; i += 16)
        acc = _mm512_fmadd_ps(load16(k + i), _mm512_loadu_ps(q + r * hd + i), acc);
      scores[r * count + t] = _mm512_reduce_add_ps(acc) * inv_s;
      if constexpr (kInt8) scores[r * count + t] *= key_scale(row);
    }
  }
  __m512 sums[R];
  for (size_t r = 0; r < R; ++r) sums[r] = softmax_weights(scores + r * count, count);
  // Values kNv·16 columns at a time (the count fixed at compile time, so the
  // accumulators stay in registers).
  auto columns = [&]<size_t kNv>(size_t c) {
    __m512 acc[R][kNv];
    for (size_t r = 0; r < R; ++r)
      for (size_t j = 0; j < kNv; ++j) acc[r][j] = _mm512_setzero_ps();
    uint64_t vrow = first;
    for (size_t k = 0; k < count; ++k, vrow = next(vrow)) {
      __m512 x[kNv];
      if constexpr (kInt8) {
        const int8_t* v = kv.value_codes + (vrow * kvh + g) * vd + c;
        for (size_t j = 0; j < kNv; ++j) x[j] = load16(v + 16 * j);
      } else {
        const float* v = kv.values + (vrow * kvh + g) * vd + c;
        for (size_t j = 0; j < kNv; ++j) x[j] = _mm512_loadu_ps(v + 16 * j);
      }
      const float vs = value_scale(vrow);
      for (size_t r = 0; r < R; ++r) {
        const __m512 wt = _mm512_set1_ps(kInt8 ? scores[r * count + k] * vs : scores[r * count + k]);
        for (size_t j = 0; j < kNv; ++j) acc[r][j] = _mm512_fmadd_ps(wt, x[j], acc[r][j]);
      }
    }
    for (size_t r = 0; r < R; ++r)
      for (size_t j = 0; j < kNv; ++j)
        _mm512_storeu_ps(out + r * vd + c + 16 * j, _mm512_div_ps(acc[r][j], sums[r]));
  };
  size_t c = 0;
  for (; c + 64 <= vd; c += 64) columns.template operator()<4>(c);
  for (; c < vd; c += 16) columns.template operator()<1>(c);
}

void attend_group_avx512(const KvView& kv, const float* q, size_t g, size_t heads, uint64_t start,
                         uint64_t p, float* scores, float* out) {
  if (kv.head_dim % 16 != 0 || kv.v_head_dim % 16 != 0) {
    vec_kernels_avx2().attend_group(kv, q, g, heads, start, p, scores, out);
    return;
  }
  using Group = void (*)(const KvView&, const float*, size_t, uint64_t, uint64_t, float*, float*);
  static constexpr Group kGroups[2][4] = {
      {attend_group_zmm<1, false>, attend_group_zmm<2, false>, attend_group_zmm<3, false>,
       attend_group_zmm<4, false>},
      {attend_group_zmm<1, true>, attend_group_zmm<2, true>, attend_group_zmm<3, true>,
       attend_group_zmm<4, true>}};
  const size_t count = static_cast<size_t>(p - start + 1);
  for (size_t h = 0; h < heads; h += 4) {
    kGroups[kv.int8][std::min<size_t>(4, heads - h) - 1](kv, q + h * kv.head_dim, g, start, p,
                                                         scores + h * count, out + h * kv.v_head_dim);
  }
}

// attend_rows for the R rows of position p and the R rows of p + 1 at once:
// every key block and value row is loaded once for 2R rows. Each score and
// each output column is summed over the same terms in the same order as by
// attend_rows_zmm, so the results are the same floats. Needs vd a multiple
// of 32 (32 columns of 2R <= 8 rows per pass fill 16 registers).
template <size_t R>
void attend_pair_zmm(const float* kt, const float* values, size_t kvh, size_t g, size_t hd,
                     size_t vd, const float* qa, const float* qb, uint64_t start_a,
                     uint64_t start_b, uint64_t p, float* scores, float* out_a, float* out_b) {
  constexpr size_t RR = 2 * R;
  const __m512 inv = _mm512_set1_ps(1.0f / std::sqrt(static_cast<float>(hd)));
  const uint64_t last = p + 1;
  const size_t span = static_cast<size_t>(last - start_a + 1), stride = span + 31;
  const uint64_t b0 = start_a / 16, b1 = last / 16;
  const size_t block = hd * 16;
  const float* qr[RR];
  for (size_t r = 0; r < R; ++r) {
    qr[r] = qa + r * hd;
    qr[R + r] = qb + r * hd;
  }
  // Scores of the union start_a .. p + 1 for all rows; row r's score of key
  // t sits at scores[r·stride + t - 16·b0].
  uint64_t b = b0;
  for (; b + 1 <= b1; b += 2) {
    const float* k0 = kt + b * block;
    __m512 a0[RR], a1[RR];
    for (size_t r = 0; r < RR; ++r) a0[r] = a1[r] = _mm512_setzero_ps();
    for (size_t i = 0; i < hd; ++i) {
      const __m512 x0 = _mm512_loadu_ps(k0 + i * 16), x1 = _mm512_loadu_ps(k0 + block + i * 16);
      for (size_t r = 0; r < RR; ++r) {
        const __m512 qv = _mm512_set1_ps(qr[r][i]);
        a0[r] = _mm512_fmadd_ps(qv, x0, a0[r]);
        a1[r] = _mm512_fmadd_ps(qv, x1, a1[r]);
      }
    }
    for (size_t r = 0; r < RR; ++r) {
      float* sc = scores + r * stride + (b - b0) * 16;
      _mm512_storeu_ps(sc, _mm512_mul_ps(a0[r], inv));
      _mm512_storeu_ps(sc + 16, _mm512_mul_ps(a1[r], inv));
    }
  }
  if (b == b1) {
    const float* k0 = kt + b * block;
    __m512 a0[RR];
    for (size_t r = 0; r < RR; ++r) a0[r] = _mm512_setzero_ps();
    for (size_t i = 0; i < hd; ++i) {
      const __m512 x0 = _mm512_loadu_ps(k0 + i * 16);
      for (size_t r = 0; r < RR; ++r) a0[r] = _mm512_fmadd_ps(_mm512_set1_ps(qr[r][i]), x0, a0[r]);
    }
    for (size_t r = 0; r < RR; ++r)
      _mm512_storeu_ps(scores + r * stride + (b - b0) * 16, _mm512_mul_ps(a0[r], inv));
  }
  // Unnormalised weights of each row over its own keys.
  const size_t count_a = static_cast<size_t>(p - start_a + 1);
  const size_t count_b = static_cast<size_t>(last - start_b + 1);
  float* w[RR];
  __m512 sums[RR];
  for (size_t r = 0; r < RR; ++r) {
    const bool second = r >= R;
    w[r] = scores + r * stride + static_cast<size_t>((second ? start_b : start_a) - b0 * 16);
    sums[r] = softmax_weights(w[r], second ? count_b : count_a);
  }
  // Values: key start_a for the first position alone when its window starts
  // one earlier, the shared keys start_b .. p, key p + 1 for the second alone.
  const size_t vstride = kvh * vd;
  const size_t lead = static_cast<size_t>(start_b - start_a);  // 0 or 1
  const size_t shared = static_cast<size_t>(p - start_b + 1);
  for (size_t c = 0; c < vd; c += 32) {
    __m512 lo[RR], hi[RR];
    for (size_t r = 0; r < RR; ++r) lo[r] = hi[r] = _mm512_setzero_ps();
    if (lead != 0) {
      const float* v = values + (start_a * kvh + g) * vd + c;
      const __m512 x0 = _mm512_loadu_ps(v), x1 = _mm512_loadu_ps(v + 16);
      for (size_t r = 0; r < R; ++r) {
        const __m512 wt = _mm512_set1_ps(w[r][0]);
        lo[r] = _mm512_fmadd_ps(wt, x0, lo[r]);
        hi[r] = _mm512_fmadd_ps(wt, x1, hi[r]);
      }
    }
    const float* v = values + (start_b * kvh + g) * vd + c;
    for (size_t t = 0; t < shared; ++t, v += vstride) {
      const __m512 x0 = _mm512_loadu_ps(v), x1 = _mm512_loadu_ps(v + 16);
      for (size_t r = 0; r < RR; ++r) {
        const __m512 wt = _mm512_set1_ps(w[r][r < R ? lead + t : t]);
        lo[r] = _mm512_fmadd_ps(wt, x0, lo[r]);
        hi[r] = _mm512_fmadd_ps(wt, x1, hi[r]);
      }
    }
    {
      const __m512 x0 = _mm512_loadu_ps(v), x1 = _mm512_loadu_ps(v + 16);  // key p + 1
      for (size_t r = R; r < RR; ++r) {
        const __m512 wt = _mm512_set1_ps(w[r][shared]);
        lo[r] = _mm512_fmadd_ps(wt, x0, lo[r]);
        hi[r] = _mm512_fmadd_ps(wt, x1, hi[r]);
      }
    }
    for (size_t r = 0; r < RR; ++r) {
      float* o = (r < R ? out_a + r * vd : out_b + (r - R) * vd) + c;
      _mm512_storeu_ps(o, _mm512_div_ps(lo[r], sums[r]));
      _mm512_storeu_ps(o + 16, _mm512_div_ps(hi[r], sums[r]));
    }
  }
}

void attend_pair_avx512(const float* kt, size_t kb, const float* values, size_t kvh, size_t g,
                        size_t hd, size_t vd, const float* qa, const float* qb, size_t rows,
                        uint64_t start_a, uint64_t start_b, uint64_t p, float* scores,
                        float* out_a, float* out_b) {
  using Pair = void (*)(const float*, const float*, size_t, size_t, size_t, size_t, const float*,
                        const float*, uint64_t, uint64_t, uint64_t, float*, float*, float*);
  static constexpr Pair kPairs[] = {attend_pair_zmm<1>, attend_pair_zmm<2>, attend_pair_zmm<3>,
                                    attend_pair_zmm<4>};
  if (kb == 16 && vd % 32 == 0 && rows >= 1 && rows <= 4) {
    kPairs[rows - 1](kt, values, kvh, g, hd, vd, qa, qb, start_a, start_b, p, scores, out_a, out_b);
    return;
  }
  attend_rows_avx512(kt, kb, values, kvh, g, hd, vd, qa, rows, start_a, p, scores, out_a);
  attend_rows_avx512(kt, kb, values, kvh, g, hd, vd, qb, rows, start_b, p + 1, scores, out_b);
}

// T(v; A, B) for one position: M = Aᵀ·V (r x r times r x c), then M·B
// (c x c). A tile of kRows output rows of kZ·16 columns stays in registers:
// per step kZ row loads and kRows broadcasts feed kRows·kZ fused
// multiply-adds. Unlike the 8-lane build no zero coefficient is skipped
// (each term is still added in the same order, so finite inputs give the
// same sums).
// out (rows x kZ·16, row-major) = C · X for the `rows` x k coefficients
// C[i][m] = coef[i·row_step + m·k_step] and the k rows of X (kZ·16 floats
// each, row-major), one tile of kRows output rows at a time.
template <size_t kRows, size_t kZ>
void coefficient_rows(const float* coef, size_t row_step, size_t k_step, const float* x, size_t k,
                      size_t rows, float* out) {
  constexpr size_t c = 16 * kZ;
  for (size_t o = 0; o < rows; o += kRows) {
    __m512 acc[kRows][kZ];
    for (size_t i = 0; i < kRows; ++i)
      for (size_t j = 0; j < kZ; ++j) acc[i][j] = _mm512_setzero_ps();
    for (size_t m = 0; m < k; ++m) {
      __m512 xv[kZ];
      for (size_t j = 0; j < kZ; ++j) xv[j] = _mm512_loadu_ps(x + m * c + 16 * j);
      for (size_t i = 0; i < kRows; ++i) {
        const __m512 bc = _mm512_set1_ps(coef[(o + i) * row_step + m * k_step]);
        for (size_t j = 0; j < kZ; ++j) acc[i][j] = _mm512_fmadd_ps(bc, xv[j], acc[i][j]);
      }
    }
    for (size_t i = 0; i < kRows; ++i)
      for (size_t j = 0; j < kZ; ++j) _mm512_storeu_ps(out + (o + i) * c + 16 * j, acc[i][j]);
  }
}

template <size_t kRows, size_t kZ>
void two_factor_zmm(const float* v, const float* a, const float* b, size_t r, float* mid,
                    float* out) {
  constexpr size_t c = 16 * kZ;
  coefficient_rows<kRows, kZ>(a, 1, r, v, r, r, mid);    // Aᵀ·V: row i reads column i of A
  coefficient_rows<kRows, kZ>(mid, c, 1, b, c, r, out);  // M·B
}

void two_factor_avx512(const float* v, const float* a, const float* b, size_t r, size_t c,
                       float* mid, float* out) {
  if (r % 8 == 0 && c == 16) return two_factor_zmm<8, 1>(v, a, b, r, mid, out);
  if (r % 8 == 0 && c == 32) return two_factor_zmm<8, 2>(v, a, b, r, mid, out);
  if (r % 4 == 0 && c == 64) return two_factor_zmm<4, 4>(v, a, b, r, mid, out);
  if (r % 4 == 0 && c == 16) return two_factor_zmm<4, 1>(v, a, b, r, mid, out);
  if (r % 4 == 0 && c == 32) return two_factor_zmm<4, 2>(v, a, b, r, mid, out);
  vec_kernels_avx2().two_factor(v, a, b, r, c, mid, out);
}

}  // namespace

const VecKernels& vec_kernels_avx512() {
  static const VecKernels k = [] {
    VecKernels v = vec_kernels_avx2();
    v.attend_rows = attend_rows_avx512;
    v.key_block = 16;
    v.attend_pair = attend_pair_avx512;
    v.attend_group = attend_group_avx512;
    // The core transform has its own 16-lane build, faster than the 8-lane
    // one here.
    v.pad_and_rotate = vec_kernels_portable().pad_and_rotate;
    v.mul_sigmoid = mul_sigmoid_zmm;
    v.gated_silu = gated_silu_zmm;
    v.two_factor = two_factor_avx512;
    v.exp_shifted = exp_shifted_zmm;
    return v;
  }();
  return k;
}

}  // namespace pinnet::core
