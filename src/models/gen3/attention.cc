#include "models/gen3/attention.h"

#include <cmath>

#include "core/vec.h"

namespace pinnet::gen3 {


void head_norm(float* x, size_t heads, size_t hd, const float* w) {
  const float inv_hd = 1.0f / static_cast<float>(hd);
  for (size_t h = 0; h < heads; ++h) {
    float* v = x + h * hd;
    const float r = std::sqrt(models::dot(v, v, hd) * inv_hd + 1e-6f);
    for (size_t i = 0; i < hd; ++i) v[i] = (1.0f + w[i]) * v[i] / r;
  }
}


void attend_head(const models::KvView& kv, const float* q, size_t g, uint64_t start, uint64_t p,
                 float* scores, float* out) {
  models::vec_attend_head(kv, q, g, start, p, scores, out);
}

}  // namespace pinnet::gen3
