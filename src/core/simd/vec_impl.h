// The bodies of the dense loops, compiled twice: in vec.cc with the portable
// flags and in vec_avx2.cc with -mavx2 -mfma, where the compiler vectorises
// the same source 8 wide. Included inside a per-build namespace only.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>

inline float dot(const float* a, const float* b, size_t n) {
  float s[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  size_t i = 0;
  for (; i + 8 <= n; i += 8)
    for (size_t k = 0; k < 8; ++k) s[k] += a[i + k] * b[i + k];
  float tail = 0.0f;
  for (; i < n; ++i) tail += a[i] * b[i];
  return ((s[0] + s[4]) + (s[1] + s[5])) + ((s[2] + s[6]) + (s[3] + s[7])) + tail;
}

inline void pad_and_rotate(const float* src, size_t cols, size_t group, float* dst, size_t padded) {
  ::pinnet::core::pad_and_rotate(std::span<const float>(src, cols), group, std::span<float>(dst, padded));
}

// y[i·rows + r] = Σ_k w[r·cols + k]·x[i·stride + k] for i < m, r < rows.
inline void dense_rows(const float* w, size_t rows, size_t cols, const float* x, size_t stride,
                       size_t m, float* y) {
  for (size_t i = 0; i < m; ++i)
    for (size_t r = 0; r < rows; ++r) y[i * rows + r] = dot(w + r * cols, x + i * stride, cols);
}

inline void axpy(float s, const float* x, float* y, size_t n) {
  for (size_t i = 0; i < n; ++i) y[i] += s * x[i];
}

// x[j] = Σ_i g[i]·stream[i·d + j] (lanes in order), one pass over the lanes.
inline void lane_combine(const float* g, const float* stream, size_t n, size_t d, float* x) {
  size_t j = 0;
  for (; j + 8 <= d; j += 8) {
    float acc[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    for (size_t i = 0; i < n; ++i)
      for (size_t e = 0; e < 8; ++e) acc[e] += g[i] * stream[i * d + j + e];
    for (size_t e = 0; e < 8; ++e) x[j + e] = acc[e];
  }
  for (; j < d; ++j) {
    float acc = 0.0f;
    for (size_t i = 0; i < n; ++i) acc += g[i] * stream[i * d + j];
    x[j] = acc;
  }
}

// In place, for n <= kMaxFusedLanes: lane i of stream <- Σ_k m[i·n + k]·lane k
// (k in order) + h[i]·delta. Every column block is read whole before it is
// written, so no copy of the stream is needed. kMaxFusedLanes is core/vec.h's.
inline void lane_mix(const float* m, const float* h, const float* delta, size_t n, size_t d,
                     float* stream) {
  float in[kMaxFusedLanes][8];
  size_t j = 0;
  for (; j + 8 <= d; j += 8) {
    for (size_t k = 0; k < n; ++k)
      for (size_t e = 0; e < 8; ++e) in[k][e] = stream[k * d + j + e];
    for (size_t i = 0; i < n; ++i) {
      float acc[8] = {0, 0, 0, 0, 0, 0, 0, 0};
      for (size_t k = 0; k < n; ++k)
        for (size_t e = 0; e < 8; ++e) acc[e] += m[i * n + k] * in[k][e];
      for (size_t e = 0; e < 8; ++e) stream[i * d + j + e] = acc[e] + h[i] * delta[j + e];
    }
  }
  for (; j < d; ++j) {
    for (size_t k = 0; k < n; ++k) in[k][0] = stream[k * d + j];
    for (size_t i = 0; i < n; ++i) {
      float acc = 0.0f;
      for (size_t k = 0; k < n; ++k) acc += m[i * n + k] * in[k][0];
      stream[i * d + j] = acc + h[i] * delta[j];
    }
  }
}

// Σ code_i·q_i over int8 codes.
inline float dot_codes(const int8_t* codes, const float* q, size_t n) {
  float s[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  size_t i = 0;
  for (; i + 8 <= n; i += 8)
    for (size_t k = 0; k < 8; ++k) s[k] += static_cast<float>(codes[i + k]) * q[i + k];
  float tail = 0.0f;
  for (; i < n; ++i) tail += static_cast<float>(codes[i]) * q[i];
  return ((s[0] + s[4]) + (s[1] + s[5])) + ((s[2] + s[6]) + (s[3] + s[7])) + tail;
}

// x[i] <- exp(x[i] - m); returns the sum.
inline float exp_shifted(float* x, size_t n, float m) {
  float sum = 0.0f;
  for (size_t i = 0; i < n; ++i) {
    x[i] = std::exp(x[i] - m);
    sum += x[i];
  }
  return sum;
}

// o[i] <- o[i]·sigmoid(g[i]).
inline void mul_sigmoid(float* o, const float* g, size_t n) {
  for (size_t i = 0; i < n; ++i) o[i] *= 1.0f / (1.0f + std::exp(-g[i]));
}

// v[i] <- h·sigmoid(h), h = scale[i]·mix[i]·v[i] + bias[i].
inline void gated_silu(float* v, const float* scale, const float* mix, const float* bias, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    const float h = scale[i] * mix[i] * v[i] + bias[i];
    v[i] = h * (1.0f / (1.0f + std::exp(-h)));
  }
}

inline void two_factor(const float* v, const float* a, const float* b, size_t r, size_t c, float* mid,
                float* out) {
  // M[o][:] = Σ_m A[m·r + o]·V[m][:]
  std::fill(mid, mid + r * c, 0.0f);
  for (size_t o = 0; o < r; ++o) {
    float* mo = mid + o * c;
    for (size_t m = 0; m < r; ++m) {
      const float coef = a[m * r + o];
      if (coef == 0.0f) continue;
      axpy(coef, v + m * c, mo, c);
    }
  }
  // R[i][:] = Σ_t M[i][t]·B[t][:]
  std::fill(out, out + r * c, 0.0f);
  for (size_t i = 0; i < r; ++i) {
    float* ri = out + i * c;
    const float* mi = mid + i * c;
    for (size_t t = 0; t < c; ++t) {
      const float coef = mi[t];
      if (coef == 0.0f) continue;
      axpy(coef, b + t * c, ri, c);
    }
  }
}

// Softmax of the scores (maximum m) and the weighted sum of the values of
// `count` rows starting at row `first`.
inline void attend_values(const KvView& kv, size_t g, uint64_t first, size_t count, float m,
                          float* scores, float* out) {
  const size_t vd = kv.v_head_dim, kvh = kv.kv_heads;
  const float sum = exp_shifted(scores, count, m);
  std::fill(out, out + vd, 0.0f);
  const float inv_sum = 1.0f / sum;
  uint64_t row = first;
  for (size_t t = 0; t < count; ++t) {
    if (kv.int8) {
      const float coef = inv_sum * scores[t] * kv.value_scales[row * kvh + g];
      const int8_t* v = kv.value_codes + (row * kvh + g) * vd;
      for (size_t i = 0; i < vd; ++i) out[i] += static_cast<float>(v[i]) * coef;  // code · coef
    } else {
      axpy(scores[t] / sum, kv.values + (row * kvh + g) * vd, out, vd);
    }
    if (++row == kv.slots) row = 0;
  }
}

inline void attend_head(const KvView& kv, const float* q, size_t g, uint64_t start, uint64_t p,
                        float* scores, float* out) {
  const size_t hd = kv.head_dim, kvh = kv.kv_heads;
  const float inv = 1.0f / std::sqrt(static_cast<float>(hd));
  const size_t count = static_cast<size_t>(p - start + 1);
  const uint64_t first = start % kv.slots;  // rows advance with a wrap, no division per row
  float m = -INFINITY;
  uint64_t row = first;
  for (size_t t = 0; t < count; ++t) {
    float e;
    if (kv.int8) {
      e = dot_codes(kv.key_codes + (row * kvh + g) * hd, q, hd) * kv.key_scales[row * kvh + g] * inv;
    } else {
      e = dot(kv.keys + (row * kvh + g) * hd, q, hd) * inv;
    }
    scores[t] = e;
    m = std::max(m, e);
    if (++row == kv.slots) row = 0;
  }
  attend_values(kv, g, first, count, m, scores, out);
}

// Every query head of kv head g (heads contiguous in q and out, `heads` of
// them); scores holds heads x (p - start + 1) floats.
inline void attend_group(const KvView& kv, const float* q, size_t g, size_t heads, uint64_t start,
                         uint64_t p, float* scores, float* out) {
  const size_t count = static_cast<size_t>(p - start + 1);
  for (size_t h = 0; h < heads; ++h)
    attend_head(kv, q + h * kv.head_dim, g, start, p, scores + h * count, out + h * kv.v_head_dim);
}

// Causal attention of a prefill for `rows` query rows that share one key
// range [start, p] of kv head g: q holds the rows (head_dim floats each), out
// gets v_head_dim floats per row. kt holds the keys of kv head g transposed
// in blocks of 8 positions, [t / 8][element][t % 8], zero past the last key;
// values are in the prefill's natural layout (kv_heads·v_head_dim per
// position). scores holds rows x (p - start + 16) floats of scratch.
inline void attend_rows(const float* kt, size_t kb, const float* values, size_t kvh, size_t g,
                        size_t hd, size_t vd, const float* q, size_t rows, uint64_t start,
                        uint64_t p, float* scores, float* out) {
  const float inv = 1.0f / std::sqrt(static_cast<float>(hd));
  const size_t count = static_cast<size_t>(p - start + 1);
  for (size_t r = 0; r < rows; ++r) {
    float* sc = scores + r * (count + 15);
    const float* qr = q + r * hd;
    float m = -INFINITY;
    for (size_t t = 0; t < count; ++t) {
      const uint64_t pos = start + t;
      const float* col = kt + (pos / kb) * hd * kb + pos % kb;
      float e = 0.0f;
      for (size_t i = 0; i < hd; ++i) e += qr[i] * col[i * kb];
      sc[t] = e * inv;
      m = std::max(m, sc[t]);
    }
    const float sum = exp_shifted(sc, count, m);
    float* o = out + r * vd;
    std::fill(o, o + vd, 0.0f);
    for (size_t t = 0; t < count; ++t)
      axpy(sc[t] / sum, values + ((start + t) * kvh + g) * vd, o, vd);
  }
}

inline void attend_pair(const float* kt, size_t kb, const float* values, size_t kvh, size_t g,
                        size_t hd, size_t vd, const float* qa, const float* qb, size_t rows,
                        uint64_t start_a, uint64_t start_b, uint64_t p, float* scores,
                        float* out_a, float* out_b) {
  attend_rows(kt, kb, values, kvh, g, hd, vd, qa, rows, start_a, p, scores, out_a);
  attend_rows(kt, kb, values, kvh, g, hd, vd, qb, rows, start_b, p + 1, scores, out_b);
}
