// V3Runner: one loaded generation-3 model with its tokenizer, special ids and
// optional confidence head. Immutable after loading and safe to use from
// several threads at once; every call creates its own cache.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/cpu.h"
#include "core/result.h"
#include "engine/decode_loop.h"
#include "engine/generation.h"

namespace pinnet::runners {

class V3Runner {
 public:
  // Binds the container at its full depth, or at the ladder rung of `depth`
  // blocks. The error is the load error's display text.
  static core::Result<std::unique_ptr<V3Runner>, std::string> load_file(
      const std::string& path, std::optional<uint64_t> depth = std::nullopt);
  static core::Result<std::unique_ptr<V3Runner>, std::string> load_bytes(
      std::vector<uint8_t> bytes, std::optional<uint64_t> depth = std::nullopt);
  // The same with an explicit compute precision of the quantised products;
  // the loaders above take core::default_compute() (PINNET_COMPUTE).
  static core::Result<std::unique_ptr<V3Runner>, std::string> load_file(
      const std::string& path, std::optional<uint64_t> depth, core::Compute compute);
  static core::Result<std::unique_ptr<V3Runner>, std::string> load_bytes(
      std::vector<uint8_t> bytes, std::optional<uint64_t> depth, core::Compute compute);

  static constexpr const engine::DecodePolicy& policy() { return engine::kGen3Policy; }

  engine::GenerateOutput generate(std::string_view query, std::string_view tools_json,
                                  const engine::GenerateOptions& options,
                                  const engine::DeltaSink* on_delta = nullptr) const;

  // Probability that `completion` is right, from the confidence head; absent
  // without a head (and then no model work is done).
  std::optional<float> confidence(std::string_view query, std::string_view tools_json,
                                  std::string_view completion) const;

  bool has_confidence() const;
  uint64_t num_layers() const;
  uint64_t max_seq_len() const;
  uint64_t kv_bytes(uint64_t seq_len, bool kv_int8) const;

  struct Impl;
  explicit V3Runner(std::unique_ptr<Impl> impl);
  ~V3Runner();
  V3Runner(const V3Runner&) = delete;
  V3Runner& operator=(const V3Runner&) = delete;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace pinnet::runners
