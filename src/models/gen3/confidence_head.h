// The generation-3 confidence head: attention pooling of every cell's states
// over a whole sequence (online, while the prefill runs), a second pooling of
// the pooled vectors, and a projection to one logit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "models/gen3/model.h"

namespace pinnet::gen3 {

// Dense float parameters; C cells of P probes each (k = c·P + i).
struct ConfidenceHead {
  uint64_t cells = 0;    // C = num_layers + 1 of the model as bound
  uint64_t probes = 0;   // P per cell
  uint64_t second = 0;   // Q second-stage probes
  uint64_t outputs = 0;  // O rows of the projection (only output 0 is used)
  uint64_t d_model = 0;
  std::vector<float> cell_probes;  // (C·P, d)
  std::vector<float> cell_scales;  // C·P
  std::vector<float> head_probes;  // (Q, d)
  std::vector<float> pool_bias;    // (Q, C·P)
  std::vector<float> head_proj;    // (O, Q·d)
  std::vector<float> head_bias;    // up to O values; missing ones count as 0

  // sigmoid(out_0) over the ids (already cut to max_seq_len by the caller),
  // from a cache-less prefill of `model` with the pooling collector.
  float probability(const V3Model& model, std::span<const uint32_t> ids) const;
  // (out_0, sigmoid(out_0)).
  std::pair<float, float> score(const V3Model& model, std::span<const uint32_t> ids) const;
};

// Stage 1 state: per pooled vector a running maximum, sum and accumulator.
class PoolingCollector final : public CellCollector {
 public:
  explicit PoolingCollector(const ConfidenceHead& head);
  void collect(uint64_t cell, const float* states, size_t positions, size_t d) override;
  // Stages 2 to 4: (out_0, sigmoid(out_0)).
  std::pair<float, float> finish() const;
  // Bytes of the running state (a copy carries the pooling on from here).
  size_t bytes() const { return (max_.size() + sum_.size() + acc_.size()) * sizeof(float); }

 private:
  const ConfidenceHead& head_;
  std::vector<float> max_, sum_, acc_;  // C·P, C·P, C·P x d
};

}  // namespace pinnet::gen3
