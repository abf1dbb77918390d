#include "models/gen3/attention.h"

#include <algorithm>
#include <cmath>

namespace pinnet::gen3 {

float dot(const float* a, const float* b, size_t n) {
  float s[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  size_t i = 0;
  for (; i + 8 <= n; i += 8)
    for (size_t k = 0; k < 8; ++k) s[k] += a[i + k] * b[i + k];
  float tail = 0.0f;
  for (; i < n; ++i) tail += a[i] * b[i];
  return ((s[0] + s[4]) + (s[1] + s[5])) + ((s[2] + s[6]) + (s[3] + s[7])) + tail;
}

namespace {

// Σ code_i·q_i over int8 codes.
float dot_codes(const int8_t* codes, const float* q, size_t n) {
  float s[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  size_t i = 0;
  for (; i + 8 <= n; i += 8)
    for (size_t k = 0; k < 8; ++k) s[k] += static_cast<float>(codes[i + k]) * q[i + k];
  float tail = 0.0f;
  for (; i < n; ++i) tail += static_cast<float>(codes[i]) * q[i];
  return ((s[0] + s[4]) + (s[1] + s[5])) + ((s[2] + s[6]) + (s[3] + s[7])) + tail;
}

}  // namespace

void short_conv(const float* cur, const float* past, const float* taps, size_t taps_count,
                size_t w, float* out) {
  for (size_t i = 0; i < w; ++i) {
    float acc = taps[i] * cur[i];
    for (size_t j = 1; j < taps_count; ++j) acc += taps[j * w + i] * past[(taps_count - 1 - j) * w + i];
    out[i] = acc;
  }
}

void head_norm(float* x, size_t heads, size_t hd, const float* w) {
  const float inv_hd = 1.0f / static_cast<float>(hd);
  for (size_t h = 0; h < heads; ++h) {
    float* v = x + h * hd;
    const float r = std::sqrt(dot(v, v, hd) * inv_hd + 1e-6f);
    for (size_t i = 0; i < hd; ++i) v[i] = (1.0f + w[i]) * v[i] / r;
  }
}

std::vector<float> rope_frequencies(size_t head_dim, float theta) {
  std::vector<float> f(head_dim / 2);
  for (size_t i = 0; i < f.size(); ++i)
    f[i] = std::pow(theta, static_cast<float>(i) * 2.0f / static_cast<float>(head_dim));
  return f;
}

void rope_angles(std::span<const float> freq, uint64_t p, float* cos, float* sin) {
  const float pf = static_cast<float>(p);
  for (size_t i = 0; i < freq.size(); ++i) {
    const float angle = pf / freq[i];
    cos[i] = std::cos(angle);
    sin[i] = std::sin(angle);
  }
}

void rope_apply(float* x, size_t heads, size_t hd, const float* cos, const float* sin) {
  const size_t half = hd / 2;
  for (size_t h = 0; h < heads; ++h) {
    float* v = x + h * hd;
    for (size_t i = 0; i < half; ++i) {
      const float a = v[i], b = v[i + half];
      v[i] = a * cos[i] - b * sin[i];
      v[i + half] = a * sin[i] + b * cos[i];
    }
  }
}

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

void attend_head(const KvView& kv, const float* q, size_t g, uint64_t start, uint64_t p,
                 float* scores, float* out) {
  const size_t hd = kv.head_dim, vd = kv.v_head_dim, kvh = kv.kv_heads;
  const float inv = 1.0f / std::sqrt(static_cast<float>(hd));
  const size_t count = static_cast<size_t>(p - start + 1);
  float m = -INFINITY;
  for (size_t t = 0; t < count; ++t) {
    const uint64_t row = (start + t) % kv.slots;
    float e;
    if (kv.int8) {
      e = dot_codes(kv.key_codes + (row * kvh + g) * hd, q, hd) * kv.key_scales[row * kvh + g] * inv;
    } else {
      e = dot(kv.keys + (row * kvh + g) * hd, q, hd) * inv;
    }
    scores[t] = e;
    m = std::max(m, e);
  }
  float sum = 0.0f;
  for (size_t t = 0; t < count; ++t) {
    scores[t] = std::exp(scores[t] - m);
    sum += scores[t];
  }
  std::fill(out, out + vd, 0.0f);
  const float inv_sum = 1.0f / sum;
  for (size_t t = 0; t < count; ++t) {
    const uint64_t row = (start + t) % kv.slots;
    if (kv.int8) {
      const float coef = inv_sum * scores[t] * kv.value_scales[row * kvh + g];
      const int8_t* v = kv.value_codes + (row * kvh + g) * vd;
      for (size_t i = 0; i < vd; ++i) out[i] += static_cast<float>(v[i]) * coef;
    } else {
      const float coef = scores[t] / sum;
      const float* v = kv.values + (row * kvh + g) * vd;
      for (size_t i = 0; i < vd; ++i) out[i] += coef * v[i];
    }
  }
}

}  // namespace pinnet::gen3
