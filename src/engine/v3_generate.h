// The generation-3 decode loop: prompt, cut to the context, a cache sized to
// exactly the positions the call can use, prefill, then choose / append /
// step until an end id, the budget or the context limit. Written over any
// model with the generation-3 shape (new_cache, prefill, step, logit_width,
// geometry().max_seq_len), so tests can drive it with a scripted model.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/function_ref.h"
#include "engine/completion_text.h"
#include "engine/constrained.h"
#include "engine/generation.h"
#include "engine/sampling.h"
#include "engine/text_delta.h"
#include "formats/subword_tokenizer.h"

namespace pinnet::engine {

inline constexpr uint32_t kV3Eos = 1;
inline constexpr uint32_t kV3Bos = 2;

// What the loop needs from the vocabulary side, looked up once per runner.
struct V3Vocabulary {
  const formats::SubwordTokenizer* tokenizer = nullptr;
  std::optional<uint32_t> im_end;           // "<|im_end|>"
  std::optional<uint32_t> tool_call_open;   // "<tool_call>"
  std::optional<uint32_t> tool_call_close;  // "</tool_call>"
  // The piece texts as a trie (for constrained calls).
  const LazyPieceTrie* piece_trie = nullptr;
};

// Called with each newly final piece of text; concatenated, the pieces are
// the returned text.
using DeltaSink = core::FunctionRef<void(std::string_view)>;

// [bos] + ids of the prompt, cut to max_seq_len. Sets *truncated.
inline std::vector<uint32_t> v3_prompt_ids(const formats::SubwordTokenizer& tok,
                                           std::string_view prompt, uint64_t max_seq_len,
                                           bool* truncated) {
  std::vector<uint32_t> ids = {kV3Bos};
  tok.encode_into(prompt, ids);
  *truncated = ids.size() > max_seq_len;
  if (*truncated) ids.resize(max_seq_len);
  return ids;
}

template <class Model>
V3Output generate_v3(const Model& model, const V3Vocabulary& vocab, std::string_view query,
                     std::string_view tools_json, const GenerateOptions& options,
                     const DeltaSink* on_delta = nullptr) {
  const formats::SubwordTokenizer& tok = *vocab.tokenizer;
  const uint64_t max_seq_len = model.geometry().max_seq_len;
  V3Output out;

  const std::string prompt = build_prompt(
      query, tools_json,
      options.system ? std::optional<std::string_view>(*options.system) : std::nullopt);
  const std::vector<uint32_t> ids = v3_prompt_ids(tok, prompt, max_seq_len, &out.prompt_truncated);
  const uint64_t prompt_len = ids.size();
  const uint64_t budget = std::min<uint64_t>(options.max_new_tokens, max_seq_len - prompt_len);

  auto cache = model.new_cache(prompt_len + budget, options.kv_int8);
  // One logits buffer per call, overwritten by every step; empty when there
  // is no prompt to predict from.
  std::vector<float> logits(prompt_len > 0 ? model.logit_width() : 0);
  if (prompt_len > 0) model.prefill(ids, &cache, logits);

  std::optional<ConstrainedDecoder> decoder;
  if (options.constrain) {
    std::vector<ToolSpec> tools = parse_tools(tools_json);
    if (!tools.empty()) {
      decoder.emplace(tools, vocab.piece_trie->get());
      decoder->set_remaining_keys_only(true);
    }
  }

  SplitMix64 rng = SplitMix64::gen3(options.seed);
  const bool greedy = !(options.temperature > 0.0f);
  const float inv_temp = greedy ? 0.0f : 1.0f / options.temperature;
  std::optional<TextDeltas> deltas;
  if (on_delta != nullptr) deltas.emplace(tok);

  bool inside_call = false;
  out.stop = StopReason::kMaxTokens;
  if (budget > 0) {
    while (true) {
      // The bias is added in place (nothing to add outside a name or key).
      if (inside_call && decoder) decoder->apply(logits);
      const uint32_t t = greedy ? greedy_choice(logits) : sample(logits, inv_temp, rng);
      if (t == kV3Eos) {
        out.stop = StopReason::kEos;
        break;
      }
      if (vocab.im_end && t == *vocab.im_end) {
        out.stop = StopReason::kImEnd;
        break;
      }
      out.token_ids.push_back(t);
      if (deltas) {
        std::string_view d = deltas->push(t);
        if (!d.empty()) (*on_delta)(d);
      }
      if (decoder) {
        if (vocab.tool_call_open && t == *vocab.tool_call_open) {
          inside_call = true;
        } else if (inside_call && (!vocab.tool_call_close || t != *vocab.tool_call_close)) {
          decoder->feed(tok.piece_bytes(t));
        } else {
          inside_call = false;
        }
      }
      if (cache.position() >= max_seq_len) {
        out.stop = StopReason::kContextFull;
        break;
      }
      model.step(t, cache, logits);
      if (out.token_ids.size() >= budget) {
        out.stop = StopReason::kMaxTokens;
        break;
      }
    }
  }
  if (deltas) {
    std::string_view rest = deltas->finish();
    if (!rest.empty()) (*on_delta)(rest);
  }
  out.text = tok.decode(out.token_ids);
  out.positions = cache.position();
  if (out.prompt_truncated) out.stop = StopReason::kContextFull;
  return out;
}

}  // namespace pinnet::engine
