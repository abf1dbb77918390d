// V3Runner: one loaded generation-3 model with its tokenizer, special ids and
// optional confidence head. Safe to use from several threads at once; every
// call creates its own cache (from a kept prompt prefix when it can).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/cpu.h"
#include "core/result.h"
#include "engine/decode_loop.h"
#include "engine/generation.h"
#include "engine/tool_grammar.h"
#include "formats/byte_image.h"
#include "runners/load_failure.h"
#include "runners/prefix_cache.h"

namespace pinnet::runners {

class V3Runner {
 public:
  // Binds the container at its full depth, or at the ladder rung of `depth`
  // blocks. The error carries the load error's display text. The runner
  // reads its quantised weights in place from the mapped file, or from
  // `bytes` (a view's bytes must outlive the runner). The products run in
  // `compute` precision; without it, core::default_compute() (PINNET_COMPUTE).
  static LoadResult<V3Runner> load_file(const std::string& path,
                                        std::optional<uint64_t> depth = std::nullopt);
  static LoadResult<V3Runner> load_bytes(formats::ByteImage bytes,
                                         std::optional<uint64_t> depth = std::nullopt);
  static LoadResult<V3Runner> load_file(const std::string& path, std::optional<uint64_t> depth,
                                        core::Compute compute);
  static LoadResult<V3Runner> load_bytes(formats::ByteImage bytes, std::optional<uint64_t> depth,
                                         core::Compute compute);

  // load_bytes' bytes are read for the runner's whole life.
  static constexpr bool kReadsBytesInPlace = true;

  static constexpr const engine::DecodePolicy& policy() { return engine::kGen3Policy; }

  engine::GenerateOutput generate(std::string_view query, std::string_view tools_json,
                                  const engine::GenerateOptions& options,
                                  const engine::DeltaSink* on_delta = nullptr) const;
  engine::GenerateOutput generate_with_deltas(std::string_view query, std::string_view tools_json,
                                              const engine::GenerateOptions& options,
                                              const engine::DeltaSink& on_delta) const {
    return generate(query, tools_json, options, &on_delta);
  }

  // The strict grammar of one call with `tools_json` under `choice`, compiled
  // once per distinct pair (a few dozen kept, least recently used dropped).
  // The error is the tools JSON's parse error with its position, or why the
  // choice cannot be met (no tool offered, a name not offered).
  core::Result<std::shared_ptr<const engine::ToolGrammar>, std::string> tool_grammar(
      std::string_view tools_json, const engine::ToolChoice& choice) const;

  // Probability that `completion` is right, from the confidence head; absent
  // without a head (and then no model work is done).
  std::optional<float> confidence(std::string_view query, std::string_view tools_json,
                                  std::string_view completion) const;

  // The prompt-prefix cache: sessions after the fixed part of prompts run
  // before (see prefix_cache.h), so a call repeating one prefills only the
  // rest, with the same results. Bounded in bytes (default
  // default_prefix_cache_bytes(); 0 disables and drops every entry).
  void set_prefix_cache_bytes(uint64_t bytes) const;
  void clear_prefix_cache() const;
  PrefixCacheInfo prefix_cache_info() const;

  // Greedy calls feed the ids a strict grammar forces in one batched pass
  // (`forced_runs`) and verify ids drafted from the prompt in one pass
  // (`drafts`); the ids kept are those step-by-step greedy decoding picks up
  // to float rounding of batched products. Defaults: speculation_default().
  void set_speculation(bool forced_runs, bool drafts) const;
  std::pair<bool, bool> speculation() const;

  bool has_confidence() const;
  uint64_t num_layers() const;
  uint64_t max_seq_len() const;
  // The tokenizer and marker ids the decode loop uses (prompt lengths for
  // request checks).
  const engine::Vocabulary* vocabulary() const;
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
