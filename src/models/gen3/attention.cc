#include "models/gen3/attention.h"

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

void attend_head(const models::KvView& kv, const float* q, size_t g, uint64_t start, uint64_t p,
                 float* scores, float* out) {
  models::vec_attend_head(kv, q, g, start, p, scores, out);
}

}  // namespace pinnet::gen3
