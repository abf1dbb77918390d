// V3Geometry: the sizes that fix the shape of a generation-3 model, the values
// derived from them, and the checks made when the geometry is read from a
// container header. Nothing else in the model branches on which model it is.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/checked_math.h"
#include "core/result.h"

namespace pinnet::formats {
struct TeskHeaderV3;
}

namespace pinnet::gen3 {

// A header whose sizes do not describe a model the forward pass can run.
struct GeometryError {
  enum class Kind {
    kNoOrders,            // orders list empty
    kTablesNotDivisible,  // a = tables, b = orders
    kNoTables,            // engram table count 0 (per-order head count would be 0)
    kSubDimMismatch,      // a = word 21, b = computed
    kHeadsNotDivisible,   // a = num_heads, b = num_kv_heads
    kInvalid,             // detail holds the whole text
  };
  Kind kind = Kind::kInvalid;
  uint64_t a = 0;
  uint64_t b = 0;
  std::string detail;

  std::string message() const;
};

struct V3Geometry {
  std::vector<uint64_t> global_layers;  // ascending block indices with full history
  std::vector<uint64_t> orders;         // n-gram lengths, 1..4 entries
  std::vector<uint64_t> engram_sites;   // block index of site s; 0..16 entries
  uint64_t heads_per_order = 0;         // engram tables per order
  uint64_t table_rows = 0;              // rows of one engram table
  uint64_t sub_dim = 0;                 // width of one engram table row
  uint64_t conv_taps = 0;               // taps of the engram value convolution
  uint64_t tap_spacing = 0;             // positions between two engram taps
  uint64_t hash_stride = 0;             // 0 means heads_per_order
  uint64_t vocab_size = 0;              // rows of the embedding
  uint64_t logit_count = 0;             // 0 means vocab_size
  uint64_t d_model = 0;
  uint64_t num_heads = 0;
  uint64_t num_kv_heads = 0;
  uint64_t num_layers = 0;              // blocks as bound (the rung depth after a cut)
  uint64_t head_dim = 0;                // query/key width per head, even
  uint64_t v_head_dim = 0;              // value width per head
  uint64_t max_seq_len = 0;
  uint64_t hada_n = 0;                  // feed-forward width, power of two >= d_model
  uint64_t mhc_lanes = 0;
  uint64_t kv_window = 0;               // 0 means none
  uint64_t qkv_conv_taps = 0;           // 0 means no q/k/v convolution
  float rope_theta = 10000.0f;

  uint64_t num_tables() const { return heads_per_order * orders.size(); }
  uint64_t max_order() const;  // largest order, 1 when there are none
  uint64_t effective_hash_stride() const { return hash_stride != 0 ? hash_stride : heads_per_order; }
  uint64_t group_size() const { return num_heads / num_kv_heads; }
  uint64_t q_width() const { return num_heads * head_dim; }
  uint64_t k_width() const { return num_kv_heads * head_dim; }
  uint64_t v_width() const { return num_kv_heads * v_head_dim; }
  uint64_t o_width() const { return num_heads * v_head_dim; }  // attention output, gate_proj rows
  uint64_t logit_width() const { return logit_count != 0 ? logit_count : vocab_size; }
  bool is_global(uint64_t layer) const;
  // Largest slot count of a layer's key/value ring.
  uint64_t cache_cap(uint64_t layer) const;
  // Feed-forward factor sizes: r = 2^floor(k/2), c = hada_n / r for hada_n = 2^k.
  uint64_t ff_rows() const;
  uint64_t ff_cols() const { return hada_n / ff_rows(); }
  // Raw n-gram values a site keeps: (conv_taps - 1) * tap_spacing (saturating).
  uint64_t engram_history() const;
  // Bytes of a session's key/value storage for seq_len positions (saturating).
  uint64_t kv_bytes(uint64_t seq_len, bool kv_int8) const;
};

// Fills and validates the geometry from a version-3 header: the four checks
// of the header (orders, tables, sub_dim, heads) in that order, then the sizes
// the forward pass divides by or indexes with.
core::Result<V3Geometry, GeometryError> geometry_from_header(const formats::TeskHeaderV3& header);

// Overflow-aware helpers shared by the loader and the cache.
using core::mul_overflows;
using core::saturating_add;
using core::saturating_mul;

}  // namespace pinnet::gen3
