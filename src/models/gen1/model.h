// Gen1Model: the generation-1 encoder-decoder. The encoder reads the whole
// prompt once, bidirectionally; the decoder writes one token per step over
// its own key/value cache and attends to the encoder output through
// cross-attention. Every sublayer joins the residual stream through a
// learned scalar sigmoid gate; every linear layer is 4-bit; the float
// embedding doubles as the output head. Immutable after loading.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/int4.h"
#include "core/result.h"
#include "formats/safetensors.h"
#include "models/gen1/config.h"

namespace pinnet::gen1 {

struct Attention {
  core::Int4Linear wq, wk, wv, wo;
  std::vector<float> q_norm, k_norm;  // head_dim each
};

struct FeedForward {
  core::Int4Linear gate_proj, up_proj, down_proj;
  std::vector<float> norm;  // d_model
  float gate = 0.0f;        // logit
};

struct EncoderBlock {
  std::vector<float> norm;  // d_model, before self-attention
  Attention self_attn;
  float self_gate = 0.0f;
  std::optional<FeedForward> ffn;
};

struct DecoderBlock {
  std::vector<float> self_norm;
  Attention self_attn;
  float self_gate = 0.0f;
  std::vector<float> cross_norm;
  Attention cross_attn;
  float cross_gate = 0.0f;
  std::optional<FeedForward> ffn;
};

struct ContrastiveHead {
  uint64_t hidden = 0, out = 0;
  std::vector<float> hidden_kernel;  // d_model x hidden
  std::vector<float> hidden_bias;    // hidden
  std::vector<float> proj_kernel;    // hidden x out
};

// Keys and values of one attention, rows appended in order (float).
struct KvRows {
  uint64_t capacity = 0, count = 0;
  std::vector<float> keys, values;  // capacity x kv_width each
};

// What one generation keeps: the cross-attention rows of every decoder block
// (filled by encode) and the self-attention rows (one per step).
struct DecoderState {
  std::vector<KvRows> self, cross;
  std::vector<float> x, a, q, k, v, o, y, g, u, scores;  // scratch of one step
  std::vector<float> rope_cos, rope_sin;                 // head_dim / 2 each
};

class Gen1Model {
 public:
  // Configuration, embedding and the contrastive head are checked; a
  // missing linear layer, norm or gate degrades with a warning as written.
  static core::Result<Gen1Model, std::string> load(const formats::SafetensorsFile& file);

  const Gen1Config& config() const { return c_; }
  const std::vector<DecoderBlock>& decoder_blocks() const { return decoder_; }
  const std::vector<float>& embedding() const { return embedding_; }  // vocab_size x d_model
  bool has_contrastive() const { return head_.has_value(); }
  uint64_t contrastive_dim() const { return head_ ? head_->out : 0; }

  // A state whose self caches hold max_dec_len rows.
  DecoderState new_state() const;
  // The encoder over `tokens` (ids below vocab_size): fills the state's
  // cross caches (and clears its self caches). Returns the encoder output
  // (n x d_model) when `out` is given.
  void encode(std::span<const uint32_t> tokens, DecoderState& state,
              std::vector<float>* out = nullptr) const;
  // One decoder step: vocab_size raw logits.
  void decode_step(uint32_t token, DecoderState& state, std::span<float> logits) const;
  // Unit-length embedding of the ids (zeros for none); absent without the head.
  std::optional<std::vector<float>> encode_contrastive(std::span<const uint32_t> tokens) const;

 private:
  Gen1Model() = default;
  void encoder_pass(std::span<const uint32_t> tokens, std::vector<float>& x) const;
  // out (rows x d_model) = the feed-forward of `in`; g and u are scratch.
  void ffn(const FeedForward& f, const float* in, size_t rows, float* out, std::vector<float>& g,
           std::vector<float>& u) const;

  Gen1Config c_;
  std::vector<float> embedding_;  // vocab_size x d_model
  std::vector<EncoderBlock> encoder_;
  std::vector<DecoderBlock> decoder_;
  std::vector<float> encoder_final_norm_, decoder_final_norm_;
  std::optional<ContrastiveHead> head_;
  std::vector<float> rope_freq_;
  float embedding_scale_ = 1.0f;
};

// One linear layer from the file: the packed form with its ".scale" tensor
// when both are there and agree with the shape, else the float weights
// quantised at load (zeros, with a warning, when they are missing).
core::Result<core::Int4Linear, std::string> load_int4_linear(const formats::SafetensorsFile& file,
                                                             const std::string& name,
                                                             uint64_t in_features,
                                                             uint64_t out_features);

}  // namespace pinnet::gen1
