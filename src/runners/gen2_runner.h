// V2Runner: one loaded generation-2 model with its embedded tokenizer (a
// container may come without one), special ids and pooling heads. Safe to use
// from several threads at once; every call creates its own sequence state
// (from a kept prompt prefix when it can).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/cpu.h"
#include "core/function_ref.h"
#include "core/result.h"
#include "engine/decode_loop.h"
#include "engine/generation.h"
#include "engine/tool_grammar.h"
#include "formats/byte_image.h"
#include "runners/load_failure.h"
#include "runners/prefix_cache.h"
#include "runners/ranking.h"

namespace pinnet::runners {

// Every generation entry point refuses a container without a tokenizer.
inline constexpr const char* kNoTokenizer =
    "container has no embedded tokenizer; use the lower-level V2Bundle API";

// The geometry as callers read it.
struct V2Config {
  uint64_t vocab_size, d_model, num_heads, num_kv_heads, num_layers, head_dim, max_seq_len,
      mhc_lanes, kv_window;
  float rope_theta;
  std::vector<uint64_t> engram_sites;
};

class V2Runner {
 public:
  // The error carries the load error's display text. The runner reads its
  // quantised weights in place from the mapped file, or from `bytes` (a
  // view's bytes must outlive the runner). The products run in `compute`
  // precision; without it, core::default_compute() (PINNET_COMPUTE).
  static LoadResult<V2Runner> load_file(const std::string& path);
  static LoadResult<V2Runner> load_bytes(formats::ByteImage bytes);
  static LoadResult<V2Runner> load_file(const std::string& path, core::Compute compute);
  static LoadResult<V2Runner> load_bytes(formats::ByteImage bytes, core::Compute compute);
  // load_bytes' bytes are read for the runner's whole life.
  static constexpr bool kReadsBytesInPlace = true;

  bool has_tokenizer() const;
  // The policy of this container's loop (its begin and end ids). Needs a
  // tokenizer.
  engine::DecodePolicy policy() const;

  // Generation; the caller checks has_tokenizer() first.
  engine::GenerateOutput generate(std::string_view query, std::string_view tools_json,
                                  const engine::GenerateOptions& options,
                                  const PieceSink* on_piece = nullptr) const;
  // generate() streaming decoded text deltas whose concatenation is the
  // returned text (a character split over ids arrives whole).
  engine::GenerateOutput generate_with_deltas(std::string_view query, std::string_view tools_json,
                                              const engine::GenerateOptions& options,
                                              const engine::DeltaSink& on_delta) const;

  // The strict grammar of one call with `tools_json` under `choice`, compiled
  // once per distinct pair (a few dozen kept, least recently used dropped).
  // The error is the tools JSON's parse error with its position, or why the
  // choice cannot be met (no tool offered, a name not offered).
  core::Result<std::shared_ptr<const engine::ToolGrammar>, std::string> tool_grammar(
      std::string_view tools_json, const engine::ToolChoice& choice) const;
  // Each pair with `run`'s settings over one reused state; the texts in order.
  std::vector<std::string> run_batch(
      const std::vector<std::pair<std::string, std::string>>& examples) const;

  // Heads: absent without the head (or without a tokenizer).
  std::optional<float> confidence(std::string_view text) const;              // the logit
  std::optional<float> confidence_probability(std::string_view text) const;  // sigmoid of it
  std::optional<float> confidence_for(std::string_view query, std::string_view tools_json,
                                      std::string_view completion) const;
  std::optional<std::vector<float>> encode_contrastive(std::string_view text) const;
  uint64_t contrastive_dim() const;
  std::vector<ScoredTool> retrieve_tools(std::string_view query,
                                         const std::vector<std::string>& descriptions,
                                         uint64_t top_k) const;

  // The prompt-prefix cache of generation: states after the fixed part of
  // prompts run before (see prefix_cache.h), so a call repeating one
  // prefills only the rest, with the same results. Bounded in bytes (default
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

  V2Config config() const;
  uint64_t max_seq_len() const { return config().max_seq_len; }
  // The tokenizer and marker ids the decode loop uses (prompt lengths for
  // request checks); null without a tokenizer.
  const engine::Vocabulary* vocabulary() const;

  struct Impl;
  explicit V2Runner(std::unique_ptr<Impl> impl);
  ~V2Runner();
  V2Runner(const V2Runner&) = delete;
  V2Runner& operator=(const V2Runner&) = delete;

 private:
  std::unique_ptr<Impl> impl_;
};

// `run`'s settings for generation 2: greedy, 128 ids, no system turn.
inline engine::GenerateOptions v2_run_settings() {
  engine::GenerateOptions o;
  o.max_new_tokens = 128;
  return o;
}

}  // namespace pinnet::runners
