#include "models/gen3/attention.h"

#include <algorithm>
#include <cmath>

#include "models/common/vec.h"

namespace pinnet::gen3 {


void head_norm(float* x, size_t heads, size_t hd, const float* w) {
  const float inv_hd = 1.0f / static_cast<float>(hd);
  for (size_t h = 0; h < heads; ++h) {
    float* v = x + h * hd;
    const float r = std::sqrt(models::dot(v, v, hd) * inv_hd + 1e-6f);
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

void attend_head(const models::KvView& kv, const float* q, size_t g, uint64_t start, uint64_t p,
                 float* scores, float* out) {
  models::vec_attend_head(kv, q, g, start, p, scores, out);
}

void round_trip_int8(float* x, size_t w) {
  const float s = int8_scale(x, w);
  const float inv = 1.0f / s;
  for (size_t i = 0; i < w; ++i) x[i] = int8_code(x[i] * inv) * s;
}

}  // namespace pinnet::gen3
