// Pooling heads of generation 2: a text runs through the model from an empty
// state, every position's hidden vectors (the scaled embedding and the lane
// mean after every block) are pooled by learned probe vectors with an online
// softmax, and the pooled vectors are projected. Code 1 is the contrastive
// head (unit-length embedding), code 2 the confidence head (a logit first).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/result.h"
#include "models/gen2/model.h"

namespace pinnet::gen2 {

inline constexpr uint8_t kContrastiveHead = 1;
inline constexpr uint8_t kConfidenceHead = 2;

// A head's pooling of the positions seen so far: per probe a running
// maximum, running sum and weighted vector sum, fed position by position
// (pad tokens skipped). A copy carries the pooling on from where it is.
class ProbePool final : public CellSink {
 public:
  void position(uint32_t token, const float* cells, size_t n, size_t width) override;
  bool empty() const { return pooled_ == 0; }
  // Concatenation over probes of acc_i / sum_i.
  std::vector<float> pooled() const;
  // Bytes of the running state.
  size_t bytes() const;

 private:
  friend class ProbeHead;
  ProbePool(const std::vector<float>& probes, size_t count, size_t width, uint32_t pad);
  void add(const float* x);

  const std::vector<float>* probes_;  // the head's, which outlives the pool
  size_t count_, width_;
  uint32_t pad_;
  float scale_;
  std::vector<float> max_, sum_, acc_;
  uint64_t pooled_ = 0;
};

class ProbeHead {
 public:
  // From the container's three tensors: probes (P x d_model), projection
  // (O x P·d_model) and bias (O), with P and O the tensors' first dims.
  static core::Result<ProbeHead, std::string> create(uint8_t code, uint64_t d_model,
                                                     uint64_t num_probes, uint64_t out_dim,
                                                     std::vector<float> probes,
                                                     std::vector<float> projection,
                                                     std::vector<float> bias);

  uint8_t code() const { return code_; }
  uint64_t out_dim() const { return out_; }

  // The head's output for `tokens` (already cut to the model's context),
  // run over `state` after resetting it; absent when a token is outside the
  // vocabulary, when the state holds fewer positions than there are tokens,
  // or when every token is `pad`.
  std::optional<std::vector<float>> run(const V2Model& model, std::span<const uint32_t> tokens,
                                        uint32_t pad, V2SequenceState& state) const;
  // The same in steps: a new pooling, fed by the model's prefill_cells over
  // the tokens in order (in one pass or several), then the output (absent
  // when the pooling saw no position).
  ProbePool pool(uint32_t pad) const;
  std::optional<std::vector<float>> finish(const ProbePool& pool) const;

 private:
  ProbeHead() = default;
  uint8_t code_ = 0;
  uint64_t probes_n_ = 0, width_ = 0, out_ = 0;
  std::vector<float> probes_, projection_, bias_;
};

}  // namespace pinnet::gen2
