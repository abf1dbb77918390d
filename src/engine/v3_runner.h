// V3Runner: one loaded generation-3 model with its tokenizer, special ids and
// optional confidence head. Immutable after loading and safe to use from
// several threads at once; every call creates its own cache and state.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/result.h"
#include "engine/constrained.h"
#include "engine/generation.h"
#include "engine/v3_generate.h"
#include "models/gen3/load.h"

namespace pinnet::engine {

class V3Runner {
 public:
  // Binds the container at its full depth, or at the ladder rung of `depth`
  // blocks. The error is the load error's display text.
  static core::Result<std::unique_ptr<V3Runner>, std::string> load_file(
      const std::string& path, std::optional<uint64_t> depth = std::nullopt);
  static core::Result<std::unique_ptr<V3Runner>, std::string> load_bytes(
      std::vector<uint8_t> bytes, std::optional<uint64_t> depth = std::nullopt);

  V3Output generate(std::string_view query, std::string_view tools_json,
                    const GenerateOptions& options, const DeltaSink* on_delta = nullptr) const;

  // Probability that `completion` is right, from the confidence head; absent
  // without a head (and then no model work is done).
  std::optional<float> confidence(std::string_view query, std::string_view tools_json,
                                  std::string_view completion) const;

  bool has_confidence() const { return bundle_.head.has_value(); }
  uint64_t num_layers() const { return bundle_.model.geometry().num_layers; }
  uint64_t max_seq_len() const { return bundle_.model.geometry().max_seq_len; }
  uint64_t kv_bytes(uint64_t seq_len, bool kv_int8) const {
    return bundle_.model.kv_bytes(seq_len, kv_int8);
  }

  explicit V3Runner(gen3::V3Bundle bundle);
  V3Runner(const V3Runner&) = delete;  // the vocabulary points into this object
  V3Runner& operator=(const V3Runner&) = delete;

 private:
  gen3::V3Bundle bundle_;
  LazyPieceTrie pieces_;
  V3Vocabulary vocab_;
};

}  // namespace pinnet::engine
