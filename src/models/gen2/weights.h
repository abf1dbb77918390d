// The weights of a generation-2 model as the binder hands them over: every
// large matrix codebook-quantised (kept quantised), every vector in floats.
#pragma once

#include <optional>
#include <vector>

#include "core/cq.h"

namespace pinnet::gen2 {

struct V2Block {
  std::vector<float> norm_in;  // d_model, rms_norm_offset weights
  core::CqTensor q_proj;       // (num_heads·head_dim, d_model)
  core::CqTensor k_proj;       // (num_kv_heads·head_dim, d_model)
  core::CqTensor v_proj;       // (num_kv_heads·head_dim, d_model)
  std::vector<float> q_norm;   // head_dim
  std::vector<float> k_norm;   // head_dim
  core::CqTensor gate_proj;    // (num_heads·head_dim, d_model)
  core::CqTensor out_proj;     // (d_model, num_heads·head_dim)
  std::vector<float> post_norm;  // d_model
  std::vector<float> attn_gate;  // one value: the logit of the attention residual gate
  std::vector<float> pre_hada;   // d_model
  std::vector<float> d1, d2, d3;  // hada_n each: the feed-forward's diagonals
};

// Lane mixing, shared by every block and indexed by block.
struct V2Lanes {
  std::vector<float> a_pre, a_post, a_res;  // num_layers gains
  std::vector<float> b_pre, b_post;         // num_layers·lanes biases
  std::vector<float> b_res;                 // num_layers·lanes² biases
  core::CqTensor phi_pre;   // (num_layers·lanes, lanes·d_model)
  core::CqTensor phi_post;  // (num_layers·lanes, lanes·d_model)
  core::CqTensor phi_res;   // (num_layers·lanes², lanes·d_model)
};

// The n-gram memory of one site.
struct V2Engram {
  core::CqTensor tables;      // (table_rows·num_tables, sub_dim)
  core::CqTensor key_proj;    // (d_model, num_tables·sub_dim)
  core::CqTensor value_proj;  // (d_model, num_tables·sub_dim)
  std::vector<float> taps;    // conv_taps x d_model
};

struct V2Weights {
  std::optional<core::CqTensor> embedding;  // (vocab_size, d_model); input rows and output head
  std::vector<V2Block> blocks;
  std::optional<V2Lanes> lanes;
  std::vector<V2Engram> engrams;  // one per site, in site order
  std::vector<float> final_norm;  // d_model
};

}  // namespace pinnet::gen2
