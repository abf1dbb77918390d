#pragma once

#include <cstddef>
#include <cstdint>

namespace pinnet::core {

// A key/value store viewed by position: position t lives at row t % slots.
// Keys are rows of kv_heads·head_dim, values of kv_heads·v_head_dim; in int8
// mode the codes plus one scale per (row, kv head).
struct KvView {
  const float* keys = nullptr;
  const float* values = nullptr;
  const int8_t* key_codes = nullptr;
  const int8_t* value_codes = nullptr;
  const float* key_scales = nullptr;
  const float* value_scales = nullptr;
  uint64_t slots = 0;
  size_t kv_heads = 0, head_dim = 0, v_head_dim = 0;
  bool int8 = false;
};

}  // namespace pinnet::core

// The model generations name it models::KvView; the name stays valid there.
namespace pinnet::models {
using core::KvView;
}  // namespace pinnet::models
