#include "models/gen1/config.h"

#include <cstdlib>
#include <string>

#include "formats/decimal.h"

namespace pinnet::gen1 {

namespace {

std::optional<uint64_t> unsigned_value(std::optional<std::string_view> text) {
  if (!text) return std::nullopt;
  return formats::parse_decimal_u64(*text);
}

// A decimal floating-point number, the whole text.
std::optional<float> float_value(std::optional<std::string_view> text) {
  if (!text || text->empty()) return std::nullopt;
  const std::string s(*text);
  char* end = nullptr;
  const float v = std::strtof(s.c_str(), &end);
  if (end != s.c_str() + s.size()) return std::nullopt;
  return v;
}

}  // namespace

core::Result<Gen1Config, std::string> parse_gen1_config(const MetadataLookup& metadata) {
  using core::Err;
  Gen1Config c;
  auto read = [&](const char* key, uint64_t* field) {
    if (auto v = unsigned_value(metadata(key))) *field = *v;
  };
  read("d_model", &c.d_model);
  read("num_heads", &c.num_heads);
  read("num_kv_heads", &c.num_kv_heads);
  read("num_encoder_layers", &c.num_encoder_layers);
  read("num_decoder_layers", &c.num_decoder_layers);
  read("vocab_size", &c.vocab_size);
  if (auto v = unsigned_value(metadata("max_enc_len"))) {
    c.max_enc_len = *v;
  } else if (auto w = unsigned_value(metadata("max_seq_len"))) {
    c.max_enc_len = *w;
  }
  read("max_dec_len", &c.max_dec_len);
  read("ffn_dim", &c.ffn_dim);
  if (auto v = float_value(metadata("rope_theta"))) c.rope_theta = *v;
  if (auto a = metadata("activation")) {
    if (*a == "swiglu") c.activation = Activation::kSwiglu;
    if (*a == "geglu") c.activation = Activation::kGeglu;
  }
  if (auto f = metadata("no_feedforward")) c.no_feedforward = *f == "1" || *f == "True" || *f == "true";

  if (c.num_heads == 0) return Err{std::string("num_heads must be > 0")};
  if (c.num_kv_heads == 0) return Err{std::string("num_kv_heads must be > 0")};
  if (c.d_model == 0) return Err{std::string("d_model must be > 0")};
  if (c.d_model % c.num_heads != 0) return Err{std::string("d_model must be divisible by num_heads")};
  if (c.num_heads % c.num_kv_heads != 0)
    return Err{std::string("num_heads must be divisible by num_kv_heads")};
  if (c.vocab_size == 0) return Err{std::string("vocab_size must be > 0")};
  return c;
}

}  // namespace pinnet::gen1
