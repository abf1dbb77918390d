// Scratch of one forward call over m consecutive positions. A session's
// KvCache owns one sized for m = 1, so the single-token step allocates
// nothing; a prefill borrows one sized for the whole prompt from its model's
// WorkspaceShelf, so repeated prompts reuse memory already mapped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "models/common/rotations.h"

namespace pinnet::gen3 {

class V3Model;

struct Workspace {
  size_t m = 0;  // positions the buffers hold

  // lane stream: (m, lanes·d_model), lane-major within a position
  std::vector<float> stream, stream_norm, stream_old;
  models::Rotations rot_lanes;  // of stream_norm (the single-token step)
  // (m, lanes² + 2·lanes): per position the phi_res logits (then the Sinkhorn
  // matrix), the phi_pre logits and the phi_post logits.
  std::vector<float> lane_logits;
  std::vector<float> gates;                    // (m, lanes)

  std::vector<float> x_in, x, xn, attn_out;  // (m, d_model)
  models::Rotations rot_xn;                  // of xn
  std::vector<float> q_raw, k_raw, v_raw;    // projections before the convolution
  std::vector<float> q, k, v;                // (m, width)
  std::vector<float> gate, o;                // (m, num_heads·v_head_dim)
  models::Rotations rot_o;                   // of o
  std::vector<int8_t> k_codes, v_codes;      // int8 prefill: (m, width)
  std::vector<float> k_scales, v_scales;     // (m, kv heads)
  std::vector<float> rope_cos, rope_sin;     // (m, head_dim / 2)
  std::vector<float> scores;                 // attention scratch of the step
  std::vector<float> kt;                     // prefill keys per kv head, [t/8][element][t%8]

  std::vector<float> ff;  // per position: 3·hada_n + experts floats

  std::vector<float> fetched, values;        // engram: (m, d_model)
  models::Rotations rot_fetched;             // of fetched
  std::vector<std::vector<float>> site_keys, site_convs;  // per site: (m, d_model)

  std::vector<float> mean;     // (m, d_model) lane means (cells, final norm)
  models::Rotations rot_mean;  // of mean
  std::vector<float> logits;   // (rows of the output, vocab_size)

  // Sizes every buffer for m positions of `model`, with `logit_rows` rows of
  // full-vocabulary logits. Buffers only grow; their contents are whatever the
  // previous pass left (every pass writes a buffer before it reads it).
  void prepare(const V3Model& model, size_t m, size_t logit_rows);
};

// The prefill workspaces a model keeps between calls. An engine may be
// driven from several threads at once: each call takes a workspace of its
// own (a new one if none is free) and gives it back afterwards. Only
// workspaces of at most kKeptPositions positions are kept (about 64 KiB per
// position on the larger geometries), and at most kKept of them.
class WorkspaceShelf {
 public:
  static constexpr size_t kKeptPositions = 1024;
  static constexpr size_t kKept = 1;  // bounds what an idle engine holds

  std::unique_ptr<Workspace> take() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!free_.empty()) {
        std::unique_ptr<Workspace> ws = std::move(free_.back());
        free_.pop_back();
        return ws;
      }
    }
    return std::make_unique<Workspace>();
  }

  void give_back(std::unique_ptr<Workspace> ws) {
    if (ws == nullptr || ws->m > kKeptPositions) return;  // freed here
    std::lock_guard<std::mutex> lock(mutex_);
    if (free_.size() < kKept) free_.push_back(std::move(ws));
  }

  size_t kept() {
    std::lock_guard<std::mutex> lock(mutex_);
    return free_.size();
  }

 private:
  std::mutex mutex_;
  std::vector<std::unique_ptr<Workspace>> free_;
};

}  // namespace pinnet::gen3
