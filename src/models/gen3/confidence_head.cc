#include "models/gen3/confidence_head.h"

#include <algorithm>
#include <cmath>

#include "core/kernels.h"
#include "models/gen3/attention.h"

namespace pinnet::gen3 {

PoolingCollector::PoolingCollector(const ConfidenceHead& head) : head_(head) {
  const size_t k = head.cells * head.probes;
  max_.assign(k, -INFINITY);
  sum_.assign(k, 0.0f);
  acc_.assign(k * head.d_model, 0.0f);
}

void PoolingCollector::collect(uint64_t cell, const float* states, size_t positions, size_t d) {
  if (cell >= head_.cells || d != head_.d_model) return;
  const float inv_sqrt_d = 1.0f / std::sqrt(static_cast<float>(d));
  for (uint64_t i = 0; i < head_.probes; ++i) {
    const size_t k = cell * head_.probes + i;
    const float* probe = head_.cell_probes.data() + k * d;
    float* acc = acc_.data() + k * d;
    for (size_t p = 0; p < positions; ++p) {
      const float* h = states + p * d;
      const float u = models::dot(probe, h, d) * inv_sqrt_d;
      const float m_old = max_[k];
      const float m_new = std::max(u, m_old);
      const float alpha = std::isfinite(m_old) ? std::exp(m_old - m_new) : 0.0f;
      const float beta = std::exp(u - m_new);
      sum_[k] = sum_[k] * alpha + beta;
      for (size_t j = 0; j < d; ++j) acc[j] = acc[j] * alpha + h[j] * beta;
      max_[k] = m_new;
    }
  }
}

std::pair<float, float> PoolingCollector::finish() const {
  const ConfidenceHead& hd = head_;
  const size_t d = hd.d_model, K = hd.cells * hd.probes, Q = hd.second;
  const float inv_sqrt_d = 1.0f / std::sqrt(static_cast<float>(d));
  // Stage 2: normalised, scaled pooled vectors.
  std::vector<float> pooled(K * d, 0.0f);
  for (size_t k = 0; k < K; ++k) {
    float* p = pooled.data() + k * d;
    if (sum_[k] == 0.0f) continue;  // a cell that saw no state pools to zero
    const float inv_s = 1.0f / sum_[k];
    for (size_t j = 0; j < d; ++j) p[j] = acc_[k * d + j] * inv_s;
    const float inv_r = 1.0f / std::sqrt(models::dot(p, p, d) / static_cast<float>(d) + 1e-6f);
    for (size_t j = 0; j < d; ++j) p[j] = p[j] * inv_r * hd.cell_scales[k];
  }
  // Stage 3: second-stage attention pooling.
  std::vector<float> z(Q * d, 0.0f), e(K);
  for (size_t q = 0; q < Q; ++q) {
    const float* probe = hd.head_probes.data() + q * d;
    for (size_t k = 0; k < K; ++k)
      e[k] = models::dot(probe, pooled.data() + k * d, d) * inv_sqrt_d + hd.pool_bias[q * K + k];
    core::masked_softmax(e);
    float* w = z.data() + q * d;
    for (size_t k = 0; k < K; ++k)
      for (size_t j = 0; j < d; ++j) w[j] += e[k] * pooled[k * d + j];
  }
  // Stage 4: output 0 of the projection.
  const float out0 = models::dot(hd.head_proj.data(), z.data(), Q * d) +
                     (hd.head_bias.empty() ? 0.0f : hd.head_bias[0]);
  return {out0, core::sigmoid(out0)};
}

std::pair<float, float> ConfidenceHead::score(const V3Model& model,
                                              std::span<const uint32_t> ids) const {
  PoolingCollector collector(*this);
  model.prefill(ids, nullptr, {}, &collector);
  return collector.finish();
}

float ConfidenceHead::probability(const V3Model& model, std::span<const uint32_t> ids) const {
  return score(model, ids).second;
}

}  // namespace pinnet::gen3
