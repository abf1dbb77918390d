// The settings and the record of one generation, and what differs between
// model generations in how a generation is run and reported (as data, so one
// decode loop serves them all).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pinnet::engine {

class ToolGrammar;  // engine/tool_grammar.h

struct GenerateOptions {
  std::optional<std::string> system;  // system turn; absent unless `generate` passes one
  uint64_t max_new_tokens = 0;        // token budget
  uint64_t seed = 0;                  // only used when sampling
  float temperature = 0.0f;           // 0 or below: greedy
  bool constrain = false;             // constrain tool names and argument keys
  bool kv_int8 = false;               // generation 3: 8-bit key/value cache
  // Strict tool calls (the tool choice compiled in); `constrain` is then
  // not looked at.
  std::shared_ptr<const ToolGrammar> strict_tools;
  // Greedy decoding only (sampling always steps one id at a time):
  // `forced_runs` feeds the ids a strict grammar leaves no choice about in
  // one batched pass; `drafts` proposes ids (the text a strict grammar
  // fixes next, else the continuation of an n-gram of the query and output
  // so far) and keeps those greedy choice agrees with, verified in one
  // pass. Off: one step per id.
  bool forced_runs = false;
  bool drafts = false;
};

// The defaults of {forced_runs, drafts} from PINNET_DRAFT: "1" both on,
// "forced" forced runs only, else both off: the step path, exact, since
// neither saves time yet on the demo and benchmark models
// (bench_v3_engine.py v3_speculation) and batched passes round differently.
std::pair<bool, bool> speculation_default();

enum class StopReason : uint8_t {
  kEos = 0,          // the model chose the end id
  kImEnd = 1,        // the model chose "<|im_end|>"
  kMaxTokens = 2,    // the budget ran out (also when it was 0)
  kContextFull = 3,  // the context limit was reached
  kError = 4,        // the prompt pass or a model step failed (generation 2)
  kNoAllowedToken = 5,  // strict tool call: the vocabulary cannot spell what must come next
};

struct GenerateOutput {
  std::string text;                 // decoded generated ids
  std::vector<uint32_t> token_ids;  // generated ids, the stopping end id excluded
  StopReason stop = StopReason::kMaxTokens;
  std::string error;                // kError: the model's message
  uint64_t prompt_tokens = 0;       // prompt ids kept, the begin id included
  bool prompt_truncated = false;    // the prompt was cut to the context
  uint64_t positions = 0;           // positions the session holds at the end

  // Eos or ImEnd.
  bool stopped_naturally() const { return stop == StopReason::kEos || stop == StopReason::kImEnd; }
};

// How the prompt is fitted into the context.
enum class PromptCut : uint8_t {
  // Keep at most max_seq_len ids and flag a cut; the budget is clipped to the
  // room left, and a cut prompt reports ContextFull whatever the loop saw.
  kToContext,
  // Keep min(L, max(max_seq_len - budget, 1)) ids, reserving room for the
  // budget; the budget stands as asked and the context check may end it.
  kReserveBudget,
};

// Where the tool constraint applies.
enum class Constraint : uint8_t {
  // Chat models: when the call asks for it, between "<tool_call>" and
  // "</tool_call>", keeping only the keys a call has not used yet.
  kInsideToolCall,
  // Generation 1: always, from the first id, over every id's text.
  kWhole,
};

// What one model generation fixes about its decode loop and its results.
struct DecodePolicy {
  uint32_t bos = 0;                   // put in front of every prompt
  uint32_t eos = 0;                   // ends a generation, never kept
  PromptCut cut = PromptCut::kToContext;
  uint64_t seed_offset = 0;           // the random state starts at seed + this
  float min_temperature = 0.0f;       // inverse temperature 1 / max(t, this)
  const char* context_full_name = "ContextFull";
  bool trim_payloads = false;         // tool call and thinking trimmed of white space
  Constraint constraint = Constraint::kInsideToolCall;
  // Greedy ties: the lowest index wins (NaN never chosen), or the highest
  // index under the IEEE total order.
  bool highest_index_wins = false;
  // Whether the last id the budget allows is still fed through a step (the
  // session then holds it, which generation 3 reports as a position).
  bool step_after_budget = true;
};

// Generation 3: fixed ids, the prompt cut to the context, seeds used as given.
inline constexpr DecodePolicy kGen3Policy{
    .bos = 2,
    .eos = 1,
    .cut = PromptCut::kToContext,
    .context_full_name = "MaxSeqLen",
    .trim_payloads = true,
};

// Generation 2: ids from the embedded tokenizer, the budget reserved, seeds
// one golden-ratio step ahead, temperatures floored at 1e-6.
inline constexpr DecodePolicy gen2_policy(uint32_t bos, uint32_t eos) {
  return DecodePolicy{
      .bos = bos,
      .eos = eos,
      .cut = PromptCut::kReserveBudget,
      .seed_offset = 0x9E3779B97F4A7C15ull,
      .min_temperature = 1e-6f,
      .context_full_name = "ContextFull",
  };
}

// Generation 1: the decoder starts and stops on id 1, always constrained,
// greedy with the highest index winning ties, no step past the budget.
inline constexpr DecodePolicy kGen1Policy{
    .bos = 1,
    .eos = 1,
    .cut = PromptCut::kToContext,
    .context_full_name = "ContextFull",
    .constraint = Constraint::kWhole,
    .highest_index_wins = true,
    .step_after_budget = false,
};

// "Eos", "ImEnd", "MaxTokens", the policy's name for a full context, or
// Error("message") with '"' and '\' escaped by a backslash.
std::string stop_name(const DecodePolicy& policy, const GenerateOutput& out);

// The tool-call payload and the thinking block of a completion, as the
// policy reads them.
std::optional<std::string> tool_call_of(const DecodePolicy& policy, std::string_view completion);
std::optional<std::string> thinking_of(const DecodePolicy& policy, std::string_view completion);

}  // namespace pinnet::engine
