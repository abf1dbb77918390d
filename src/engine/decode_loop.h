// The decode loop every generation shares: prompt, prompt cut, a session
// opened for the positions the call can use, the prompt pass, then choose /
// append / step until an end id, the budget, the context limit or a model
// error. What differs per generation is a DecodePolicy; what differs per
// model is a DecodeSession.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/function_ref.h"
#include "engine/constrained.h"
#include "engine/generation.h"
#include "engine/tool_grammar.h"
#include "formats/subword_tokenizer.h"

namespace pinnet::engine {

// The text side of a vocabulary, whatever tokenizer is behind it.
class Detokenizer {
 public:
  // The text of a generation's ids.
  virtual std::string decode(std::span<const uint32_t> ids) const = 0;
  // The bytes an id adds to the text, as the constraint scanner reads them.
  virtual std::string_view piece_bytes(uint32_t id) const = 0;

 protected:
  ~Detokenizer() = default;
};

// What the loop needs from the vocabulary side, looked up once per runner.
struct Vocabulary {
  const Detokenizer* text = nullptr;
  // Chat generations: the tokenizer of prompts and of streaming deltas.
  const formats::SubwordTokenizer* tokenizer = nullptr;
  std::optional<uint32_t> im_end;           // "<|im_end|>"
  std::optional<uint32_t> tool_call_open;   // "<tool_call>"
  std::optional<uint32_t> tool_call_close;  // "</tool_call>"
  std::optional<uint32_t> think_open;       // "<think>"
  std::optional<uint32_t> think_close;      // "</think>"
  const LazyPieceTrie* piece_trie = nullptr;  // piece texts, for constrained calls
};

// One sequence of a model, driven by the loop. Errors are the model's fixed
// messages (static strings), nullptr on success.
class DecodeSession {
 public:
  // The prompt pass from position 0: writes the logits of the last position.
  virtual const char* start(std::span<const uint32_t> prompt, std::span<float> logits) = 0;
  // One id at position(); the next logits replace `logits`.
  virtual const char* step(uint32_t id, std::span<float> logits) = 0;
  // Positions processed so far.
  virtual uint64_t position() const = 0;
  // Before start: the prompt's first `ids` ids are its fixed part (begin id,
  // system turn, tool list), which calls with the same tools share; 0 when
  // unknown. A session that keeps prompt prefixes may keep its state there.
  virtual void fixed_prefix(uint64_t ids) { (void)ids; }

  // Several ids from position(), in one batched pass when the session has
  // one: the logits after the last replace `logits`. A pass rounds its
  // products differently from single steps (float products sum in another
  // order), so the logits match step() up to float rounding. Default: a
  // step() per id.
  virtual const char* feed(std::span<const uint32_t> ids, std::span<float> logits);
  // Whether verify() and rewind() work (drafted ids need both).
  virtual bool can_verify() const { return false; }
  // Runs `ids` from position() in one pass, writing the logits after each
  // (ids.size() rows of the logit width, in order) into `rows`; afterwards
  // rewind() may drop any number of them. Only when can_verify().
  virtual const char* verify(std::span<const uint32_t> ids, std::span<float> rows) {
    (void)ids;
    (void)rows;
    return "this session cannot verify drafted ids";
  }
  // Back to `position`, between the position before the last verify() and
  // now: the positions past it are gone, as if never run.
  virtual const char* rewind(uint64_t position) {
    (void)position;
    return "this session cannot rewind";
  }

 protected:
  ~DecodeSession() = default;
};

// Opens (creates or resets) the session of one generation for `positions`
// positions: the kept prompt plus the budget.
using SessionSource = core::FunctionRef<DecodeSession&(uint64_t positions)>;
// Called with every kept id, right after it is appended.
using TokenSink = core::FunctionRef<void(uint32_t)>;
// Called with each newly final piece of text (generation-3 streaming).
using DeltaSink = core::FunctionRef<void(std::string_view)>;

struct PromptIds {
  std::vector<uint32_t> ids;  // begin id and prompt ids, cut
  uint64_t budget = 0;        // ids the loop may generate
  bool truncated = false;
};

// The begin id, then the tokenizer's ids of `prompt`, fitted by the policy.
PromptIds prompt_ids(const DecodePolicy& policy, const formats::SubwordTokenizer& tokenizer,
                     std::string_view prompt, uint64_t max_seq_len, uint64_t max_new_tokens);

// How many of `ids` (a prompt_ids result for build_prompt's `prompt`, or for
// a text starting with it) are the prompt's fixed part: those they share
// with the ids of the prompt's text before `query` (a piece may merge
// across that boundary).
uint64_t fixed_ids(const DecodePolicy& policy, const formats::SubwordTokenizer& tokenizer,
                   std::string_view prompt, std::string_view query, std::span<const uint32_t> ids);

// Ids of the prompt a call with these arguments reads, before any cut to the
// context: the begin id and the tokenized template text.
uint64_t prompt_length(const DecodePolicy& policy, const formats::SubwordTokenizer& tokenizer,
                       std::string_view query, std::string_view tools_json,
                       std::optional<std::string_view> system);

// Why a forced call (tool_choice "required" or a name) cannot be made within
// `max_new_tokens` and the context, before any model work: the budget below
// the shortest call of the grammar (counted one byte an id, as the mask keeps
// calls closable), or a prompt that leaves the context no room for it. Empty
// when the call can be made, or when the grammar is not forced.
std::optional<std::string> forced_call_problem(const DecodePolicy& policy, const Vocabulary& vocab,
                                               const ToolGrammar& grammar, std::string_view query,
                                               std::string_view tools_json,
                                               const GenerateOptions& options,
                                               uint64_t max_seq_len);

// The model side of one call: its limits and where its session comes from.
struct DecodeModel {
  uint64_t max_seq_len;
  uint64_t logit_width;
  SessionSource open;
};

// The chat generations: the prompt of the template, fitted by the policy,
// then decode_ids.
GenerateOutput decode(const DecodePolicy& policy, const Vocabulary& vocab, const DecodeModel& model,
                      std::string_view query, std::string_view tools_json,
                      const GenerateOptions& options, const TokenSink* on_token = nullptr);

// The loop itself, from prompt ids already fitted: open a session for
// ids + budget positions, start it on the ids, then choose / append / step.
// `tools_json` feeds the constraint; `fixed_ids` goes to the session's
// fixed_prefix. prompt_tokens and prompt_truncated of the result are left to
// the caller.
GenerateOutput decode_ids(const DecodePolicy& policy, const Vocabulary& vocab,
                          const DecodeModel& model, std::span<const uint32_t> ids, uint64_t budget,
                          std::string_view tools_json, const GenerateOptions& options,
                          const TokenSink* on_token = nullptr, uint64_t fixed_ids = 0);

// decode() with generation-3 streaming: text deltas whose concatenation is
// the returned text.
GenerateOutput decode_with_deltas(const DecodePolicy& policy, const Vocabulary& vocab,
                                  const DecodeModel& model, std::string_view query,
                                  std::string_view tools_json, const GenerateOptions& options,
                                  const DeltaSink* on_delta);

}  // namespace pinnet::engine
