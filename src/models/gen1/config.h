// Gen1Config: the geometry of a generation-1 encoder-decoder, read from the
// string metadata of its weight file with a default for every key.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "core/result.h"

namespace pinnet::gen1 {

enum class Activation : uint8_t { kRelu = 0, kSwiglu = 1, kGeglu = 2 };

struct Gen1Config {
  uint64_t d_model = 512;
  uint64_t num_heads = 8;
  uint64_t num_kv_heads = 4;
  uint64_t num_encoder_layers = 12;
  uint64_t num_decoder_layers = 8;
  uint64_t vocab_size = 8192;
  uint64_t max_enc_len = 1024;
  uint64_t max_dec_len = 512;
  uint64_t ffn_dim = 2048;
  float rope_theta = 10000.0f;
  uint32_t special_ids[6] = {0, 1, 2, 3, 4, 5};
  Activation activation = Activation::kRelu;
  bool no_feedforward = true;

  uint64_t head_dim() const { return d_model / num_heads; }
  uint64_t group_size() const { return num_heads / num_kv_heads; }
  uint64_t q_width() const { return num_heads * head_dim(); }
  uint64_t kv_width() const { return num_kv_heads * head_dim(); }
};

// The metadata value of a key, or nothing.
using MetadataLookup = std::function<std::optional<std::string_view>(std::string_view)>;

// Reads every key (unusable values fall back to their defaults), then
// validates; the error is the first failing check's message.
core::Result<Gen1Config, std::string> parse_gen1_config(const MetadataLookup& metadata);

}  // namespace pinnet::gen1
