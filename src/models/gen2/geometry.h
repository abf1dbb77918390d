// V2Geometry: the sizes that fix the shape of a generation-2 model, read from
// a version-2 container header, and the consistency checks a geometry must
// pass before any weight is looked at.
#pragma once

#include <cstdint>
#include <vector>

namespace pinnet::gen2 {

struct V2Geometry {
  std::vector<uint64_t> orders;        // n-gram lengths, at most 4
  std::vector<uint64_t> engram_sites;  // blocks that read the n-gram memory, at most 4
  uint64_t table_rows = 0;             // rows per hashed table
  uint64_t sub_dim = 0;                // width of one table row
  uint64_t num_tables = 0;             // hashed tables per site
  uint64_t conv_taps = 0;              // taps of the causal convolution over values
  uint64_t tap_spacing = 0;            // positions between two taps
  uint64_t vocab_size = 0;
  uint64_t d_model = 0;
  uint64_t num_heads = 0;
  uint64_t num_kv_heads = 0;
  uint64_t num_layers = 0;
  uint64_t head_dim = 0;
  uint64_t max_seq_len = 0;
  uint64_t hada_n = 0;     // width of the Hadamard feed-forward
  uint64_t mhc_lanes = 0;  // residual lanes
  uint64_t kv_window = 0;  // attention window in positions, 0 = unlimited
  float rope_theta = 0.0f;

  // Valid only after check_geometry passed.
  uint64_t group_size() const { return num_heads / num_kv_heads; }
  uint64_t q_width() const { return num_heads * head_dim; }
  uint64_t kv_width() const { return num_kv_heads * head_dim; }
  uint64_t tables_per_order() const { return num_tables / orders.size(); }
  // Slots of a site's value ring: every position a tap can reach, plus one.
  uint64_t engram_ring() const {
    return engram_sites.empty() ? 1 : conv_taps * tap_spacing + 1;
  }
  // The ring capacity the engine gives a generation's key/value cache.
  uint64_t generation_capacity() const {
    return kv_window != 0 && kv_window <= max_seq_len ? kv_window : max_seq_len;
  }
};

// The first failing consistency check's message, or nullptr. Never divides
// by a zero field.
const char* check_geometry(const V2Geometry& g);

}  // namespace pinnet::gen2
