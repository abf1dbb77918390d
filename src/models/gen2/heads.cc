#include "models/gen2/heads.h"

#include <cmath>
#include <limits>

#include "core/kernels.h"
#include "core/vec.h"

namespace pinnet::gen2 {

core::Result<ProbeHead, std::string> ProbeHead::create(uint8_t code, uint64_t d_model,
                                                       uint64_t num_probes, uint64_t out_dim,
                                                       std::vector<float> probes,
                                                       std::vector<float> projection,
                                                       std::vector<float> bias) {
  using core::Err;
  // Sizes compared by division, so no product can wrap.
  if (num_probes == 0 || d_model == 0 || probes.size() % d_model != 0 ||
      probes.size() / d_model != num_probes)
    return Err{std::string("head probes shape does not match num_probes * d_model")};
  const uint64_t in = num_probes * d_model;
  if (out_dim == 0 ? !projection.empty()
                   : projection.size() % out_dim != 0 || projection.size() / out_dim != in)
    return Err{std::string("head proj shape does not match out_dim * num_probes * d_model")};
  if (bias.size() != out_dim) return Err{std::string("head bias length does not match out_dim")};
  ProbeHead h;
  h.code_ = code;
  h.probes_n_ = num_probes;
  h.width_ = d_model;
  h.out_ = out_dim;
  h.probes_ = std::move(probes);
  h.projection_ = std::move(projection);
  h.bias_ = std::move(bias);
  return h;
}

ProbePool::ProbePool(const std::vector<float>& probes, size_t count, size_t width, uint32_t pad)
    : probes_(&probes),
      count_(count),
      width_(width),
      pad_(pad),
      scale_(std::sqrt(static_cast<float>(width))),
      max_(count, -std::numeric_limits<float>::infinity()),
      sum_(count, 0.0f),
      acc_(count * width, 0.0f) {}

void ProbePool::position(uint32_t token, const float* cells, size_t n, size_t width) {
  if (token == pad_) return;
  for (size_t c = 0; c < n; ++c) add(cells + c * width);
}

std::vector<float> ProbePool::pooled() const {
  std::vector<float> out(acc_.size());
  for (size_t i = 0; i < count_; ++i) {
    const float inv = 1.0f / sum_[i];
    for (size_t j = 0; j < width_; ++j) out[i * width_ + j] = acc_[i * width_ + j] * inv;
  }
  return out;
}

size_t ProbePool::bytes() const { return (max_.size() + sum_.size() + acc_.size()) * sizeof(float); }

void ProbePool::add(const float* x) {
  ++pooled_;
  for (size_t i = 0; i < count_; ++i) {
    const float* probe = probes_->data() + i * width_;
    float score = 0.0f;
    for (size_t j = 0; j < width_; ++j) score += probe[j] * x[j];
    score /= scale_;
    float* a = acc_.data() + i * width_;
    if (max_[i] < score) {
      const float factor = std::isinf(max_[i]) && max_[i] < 0 ? 0.0f : std::exp(max_[i] - score);
      sum_[i] *= factor;
      for (size_t j = 0; j < width_; ++j) a[j] *= factor;
      max_[i] = score;
    }
    const float f = std::exp(score - max_[i]);
    sum_[i] += f;
    for (size_t j = 0; j < width_; ++j) a[j] += f * x[j];
  }
}

ProbePool ProbeHead::pool(uint32_t pad) const { return ProbePool(probes_, probes_n_, width_, pad); }

std::optional<std::vector<float>> ProbeHead::run(const V2Model& model,
                                                 std::span<const uint32_t> tokens, uint32_t pad,
                                                 V2SequenceState& state) const {
  if (state.capacity < tokens.size()) return std::nullopt;
  model.reset_state(state);
  ProbePool pool = this->pool(pad);
  // A token outside the vocabulary ends the pass with nothing; the checks
  // run before any position, so no partial pooling is returned either.
  if (model.prefill_cells(tokens, state, pool) != nullptr) return std::nullopt;
  return finish(pool);
}

std::optional<std::vector<float>> ProbeHead::finish(const ProbePool& pool) const {
  if (pool.empty()) return std::nullopt;
  const std::vector<float> pooled = pool.pooled();
  std::vector<float> y(out_);
  const size_t in = pooled.size();
  for (size_t r = 0; r < out_; ++r) {
    const float* row = projection_.data() + r * in;
    float acc = 0.0f;
    for (size_t c = 0; c < in; ++c) acc += row[c] * pooled[c];
    y[r] = acc + bias_[r];
  }
  if (code_ == kContrastiveHead) core::l2_normalize(y);
  return y;
}

}  // namespace pinnet::gen2
