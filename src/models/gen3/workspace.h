// Scratch of one forward call over m consecutive positions. A session's
// KvCache owns one sized for m = 1, so the single-token step allocates
// nothing; a prefill borrows one sized for the whole prompt from its model's
// WorkspaceShelf, so repeated prompts reuse memory already mapped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "models/common/rotations.h"
#include "models/common/workspace_shelf.h"

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

// The prefill workspaces each V3Model keeps between calls.
using WorkspaceShelf = models::WorkspaceShelf<Workspace>;

}  // namespace pinnet::gen3
