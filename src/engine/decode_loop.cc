#include "engine/decode_loop.h"

#include <algorithm>

#include "core/checked_math.h"
#include "core/interrupt.h"
#include "engine/completion_text.h"
#include "engine/sampling.h"
#include "engine/strict_decoder.h"
#include "engine/text_delta.h"

namespace pinnet::engine {

PromptIds prompt_ids(const DecodePolicy& policy, const formats::SubwordTokenizer& tokenizer,
                     std::string_view prompt, uint64_t max_seq_len, uint64_t max_new_tokens) {
  PromptIds p;
  p.ids.push_back(policy.bos);
  tokenizer.encode_into(prompt, p.ids);
  const uint64_t len = p.ids.size();
  if (policy.cut == PromptCut::kToContext) {
    p.truncated = len > max_seq_len;
    if (p.truncated) p.ids.resize(max_seq_len);
    p.budget = std::min<uint64_t>(max_new_tokens, max_seq_len - p.ids.size());
  } else {
    const uint64_t room = max_seq_len > max_new_tokens ? max_seq_len - max_new_tokens : 0;
    p.ids.resize(std::min<uint64_t>(len, std::max<uint64_t>(room, 1)));
    p.budget = max_new_tokens;
  }
  return p;
}

uint64_t fixed_ids(const DecodePolicy& policy, const formats::SubwordTokenizer& tokenizer,
                   std::string_view prompt, std::string_view query, std::span<const uint32_t> ids) {
  std::vector<uint32_t> head = {policy.bos};
  tokenizer.encode_into(prompt.substr(0, prompt_head_size(prompt, query)), head);
  return static_cast<uint64_t>(
      std::mismatch(head.begin(), head.end(), ids.begin(), ids.end()).first - head.begin());
}

uint64_t prompt_length(const DecodePolicy& policy, const formats::SubwordTokenizer& tokenizer,
                       std::string_view query, std::string_view tools_json,
                       std::optional<std::string_view> system) {
  std::vector<uint32_t> ids{policy.bos};
  tokenizer.encode_into(build_prompt(query, tools_json, system), ids);
  return ids.size();
}

std::optional<std::string> forced_call_problem(const DecodePolicy& policy, const Vocabulary& vocab,
                                               const ToolGrammar& grammar, std::string_view query,
                                               std::string_view tools_json,
                                               const GenerateOptions& options,
                                               uint64_t max_seq_len) {
  if (!grammar.forced()) return std::nullopt;
  // The fewest ids the shortest call can take; a budget between this and
  // its bytes may still close the call, which the caller checks afterwards.
  const uint64_t piece = std::max<uint64_t>(vocab.piece_trie->strict().max_piece_len(), 1);
  const uint64_t shortest = core::ceil_div(GrammarState(grammar).shortest(), piece);
  if (options.max_new_tokens < shortest) {
    return "max_new_tokens=" + std::to_string(options.max_new_tokens) +
           " is too small for a call of these tools: the shortest takes at least " +
           std::to_string(shortest) + " ids";
  }
  const uint64_t prompt_len = prompt_length(
      policy, *vocab.tokenizer, query, tools_json,
      options.system ? std::optional<std::string_view>(*options.system) : std::nullopt);
  if (prompt_len + shortest > max_seq_len) {
    return "the prompt takes " + std::to_string(prompt_len) + " of the " +
           std::to_string(max_seq_len) + " positions of the context and leaves no room for a call of at least " +
           std::to_string(shortest) + " ids";
  }
  return std::nullopt;
}

GenerateOutput decode(const DecodePolicy& policy, const Vocabulary& vocab, const DecodeModel& model,
                      std::string_view query, std::string_view tools_json,
                      const GenerateOptions& options, const TokenSink* on_token) {
  const std::string prompt = build_prompt(
      query, tools_json,
      options.system ? std::optional<std::string_view>(*options.system) : std::nullopt);
  const PromptIds fitted =
      prompt_ids(policy, *vocab.tokenizer, prompt, model.max_seq_len, options.max_new_tokens);
  GenerateOutput out =
      decode_ids(policy, vocab, model, fitted.ids, fitted.budget, tools_json, options, on_token,
                 fixed_ids(policy, *vocab.tokenizer, prompt, query, fitted.ids));
  out.prompt_tokens = fitted.ids.size();
  out.prompt_truncated = fitted.truncated;
  if (out.prompt_truncated) out.stop = StopReason::kContextFull;
  return out;
}

const char* DecodeSession::feed(std::span<const uint32_t> ids, std::span<float> logits) {
  for (const uint32_t id : ids) {
    if (const char* error = step(id, logits)) return error;
  }
  return nullptr;
}

namespace {

// Drafts: the bytes a strict grammar fixes next, as the tokenizer spells
// them; else the ids that followed the latest earlier occurrence of the
// text's last kMaxOrder (down to kMinOrder) ids in the query and the output
// so far (the prompt's fixed part, the tool list, is left out: its JSON
// matches the call's structure everywhere and drafts from it are rarely
// kept), as a value copied from the query repeats the query's ids. Shorter
// matches are too often chance to pay for their pass.
constexpr size_t kMaxOrder = 4;
constexpr size_t kMinOrder = 3;
constexpr size_t kMaxDraft = 8;
constexpr size_t kMaxFixedBytes = 48;
// The fewest ids worth one batched pass: a pass over a few rows costs about
// as much as as many steps (generation 3: a step ~0.8 ms, a pass ~1.3 ms +
// 0.25 ms a row on the demo model).
constexpr size_t kMinPass = 3;

void propose_draft(std::span<const uint32_t> text, size_t from, size_t longest,
                   std::vector<uint32_t>& draft) {
  draft.clear();
  const size_t n = text.size();
  for (size_t order = std::min(kMaxOrder, n > from ? n - from - 1 : 0); order >= kMinOrder; --order) {
    const std::span<const uint32_t> tail = text.subspan(n - order);
    // Latest match first: the most recent copy is the likeliest to go on.
    for (size_t i = n - order; i-- > from;) {
      if (!std::equal(tail.begin(), tail.end(), text.begin() + i)) continue;
      const size_t start = i + order;
      const size_t count = std::min({longest, kMaxDraft, n - start});
      draft.assign(text.begin() + start, text.begin() + start + count);
      return;
    }
  }
}

}  // namespace

GenerateOutput decode_ids(const DecodePolicy& policy, const Vocabulary& vocab,
                          const DecodeModel& model, std::span<const uint32_t> ids, uint64_t budget,
                          std::string_view tools_json, const GenerateOptions& options,
                          const TokenSink* on_token, uint64_t fixed_ids) {
  GenerateOutput out;
  DecodeSession& session = model.open(ids.size() + budget);
  session.fixed_prefix(fixed_ids);
  // One logits buffer per call, overwritten by every step; empty when there
  // is no prompt to predict from.
  std::vector<float> logits(ids.empty() ? 0 : model.logit_width);
  if (!ids.empty()) {
    if (const char* error = session.start(ids, logits)) {
      out.stop = StopReason::kError;
      out.error = error;
      out.positions = session.position();
      return out;
    }
  }

  const bool whole = policy.constraint == Constraint::kWhole;
  std::optional<ConstrainedDecoder> decoder;
  std::optional<StrictDecoder> strict;
  if (options.strict_tools) {
    std::vector<uint32_t> end_ids = {policy.eos};
    if (vocab.im_end) end_ids.push_back(*vocab.im_end);
    strict.emplace(options.strict_tools, vocab.piece_trie->strict(), vocab.tool_call_open,
                   std::move(end_ids));
    if (vocab.think_open && vocab.think_close)
      strict->allow_thinking(*vocab.think_open, *vocab.think_close);
  } else if (whole || options.constrain) {
    std::vector<ToolSpec> tools = parse_tools(tools_json);
    if (whole || !tools.empty()) {
      decoder.emplace(tools, vocab.piece_trie->get());
      decoder->set_remaining_keys_only(!whole);
    }
  }

  SplitMix64 rng(options.seed + policy.seed_offset);
  const bool greedy = !(options.temperature > 0.0f);
  const float inv_temp =
      greedy ? 0.0f : 1.0f / std::max(options.temperature, policy.min_temperature);

  // Greedy choice depends on the logits alone, so ids it cannot help but
  // choose need no logits of their own: a strict grammar's forced ids wait
  // in `pending` and go through the session in one pass, and drafted ids
  // are run in one pass ahead of their choice, kept while the choice agrees.
  // `pos` counts the positions step-by-step decoding would hold.
  const bool forced_runs = greedy && strict && options.forced_runs;
  const bool drafting = greedy && options.drafts && !ids.empty() && session.can_verify();
  uint64_t pos = session.position();
  std::vector<uint32_t> pending;
  std::optional<uint32_t> forced;    // the next id, when the grammar allows no other
  std::vector<uint32_t> text;        // prompt and output ids, where drafts are looked up
  std::vector<uint32_t> draft;       // drafted ids run ahead of their choice
  std::vector<uint32_t> verified;    // the ids of the last verify pass
  std::vector<float> rows;           // its logits, a row per id
  size_t draft_next = 0;             // draft[draft_next]: the next drafted id to choose
  size_t draft_row = 0;              // the row of the logits after draft[0]
  if (drafting) text.assign(ids.begin(), ids.end());
  const uint64_t width = model.logit_width;

  auto flush = [&]() -> const char* {
    if (pending.empty()) return nullptr;
    // A batched pass costs about as much as a few steps, so short runs take
    // steps, as without forced runs.
    const char* error = nullptr;
    if (pending.size() >= kMinPass) {
      error = session.feed(pending, logits);
    } else {
      for (size_t i = 0; i < pending.size() && error == nullptr; ++i)
        error = session.step(pending[i], logits);
    }
    pending.clear();
    return error;
  };
  // What step(t) does in the step path: the logits after t, by whichever
  // route is cheapest.
  auto advance = [&](uint32_t t) -> const char* {
    ++pos;
    if (drafting) text.push_back(t);
    if (draft_next < draft.size()) {
      if (t == draft[draft_next]) {
        const size_t row = draft_row + draft_next;
        std::copy_n(rows.begin() + row * width, width, logits.begin());
        if (++draft_next == draft.size()) draft.clear();
        return nullptr;
      }
      // Rejected: the session drops the drafted positions from t's on.
      draft.clear();
      if (const char* error = session.rewind(pos - 1)) return error;
    }
    pending.push_back(t);
    if (forced_runs && (forced = strict->only_id(budget - out.token_ids.size()))) return nullptr;
    if (drafting) {
      // Room for the drafted ids in the budget and the context.
      const uint64_t left_budget = budget - out.token_ids.size();
      const uint64_t left_context = model.max_seq_len > pos ? model.max_seq_len - pos : 0;
      const uint64_t longest = std::min(left_budget, left_context);
      draft.clear();
      if (strict) {
        const std::string fixed = strict->fixed_bytes(kMaxFixedBytes);
        if (fixed.size() >= 2)
          vocab.piece_trie->get().longest_cover(fixed, std::min<uint64_t>(longest, kMaxDraft), draft);
      }
      // Copies from the query are argument values: inside a strict call
      // (free text, drafted from chance matches, rarely keeps a draft).
      if (draft.empty() && strict && strict->in_call())
        propose_draft(text, std::min<uint64_t>(fixed_ids, text.size()), longest, draft);
      if (!draft.empty()) {
        verified = pending;
        verified.insert(verified.end(), draft.begin(), draft.end());
        rows.resize(verified.size() * width);
        const char* error = session.verify(verified, rows);
        draft_row = pending.size();
        draft_next = 0;
        std::copy_n(rows.begin() + (pending.size() - 1) * width, width, logits.begin());
        pending.clear();
        return error;
      }
    }
    return flush();
  };

  bool inside_call = whole;
  out.stop = StopReason::kMaxTokens;
  if (budget > 0) {
    while (true) {
      uint32_t t;
      if (forced) {
        t = *forced;
        forced.reset();
      } else {
        // The bias is added in place (nothing to add outside a name or key).
        if (inside_call && decoder) decoder->apply(logits);
        if (strict && !strict->apply(logits, budget - out.token_ids.size())) {
          out.stop = StopReason::kNoAllowedToken;
          break;
        }
        t = !greedy                    ? sample(logits, inv_temp, rng)
            : policy.highest_index_wins ? greedy_choice_highest(logits)
                                        : greedy_choice(logits);
      }
      if (t == policy.eos) {
        out.stop = StopReason::kEos;
        break;
      }
      if (vocab.im_end && t == *vocab.im_end) {
        out.stop = StopReason::kImEnd;
        break;
      }
      out.token_ids.push_back(t);
      if (on_token != nullptr) (*on_token)(t);
      if (strict) strict->feed(vocab.text->piece_bytes(t));
      if (decoder) {
        if (whole) {
          decoder->feed(vocab.text->piece_bytes(t));
        } else if (vocab.tool_call_open && t == *vocab.tool_call_open) {
          inside_call = true;
        } else if (inside_call && (!vocab.tool_call_close || t != *vocab.tool_call_close)) {
          decoder->feed(vocab.text->piece_bytes(t));
        } else {
          inside_call = false;
        }
      }
      if (!policy.step_after_budget && out.token_ids.size() >= budget) break;
      if (pos >= model.max_seq_len) {
        out.stop = StopReason::kContextFull;
        break;
      }
      core::poll_interrupt();
      if (const char* error = advance(t)) {
        out.stop = StopReason::kError;
        out.error = error;
        break;
      }
      if (out.token_ids.size() >= budget) break;
    }
  }
  // Forced ids the loop ended on still run, as single steps would have run
  // them (drafted positions past the last kept id are simply not counted).
  if (const char* error = flush(); error && out.stop != StopReason::kError) {
    out.stop = StopReason::kError;
    out.error = error;
  }
  out.text = vocab.text->decode(out.token_ids);
  out.positions = draft.empty() ? session.position() : pos;
  return out;
}

GenerateOutput decode_with_deltas(const DecodePolicy& policy, const Vocabulary& vocab,
                                  const DecodeModel& model, std::string_view query,
                                  std::string_view tools_json, const GenerateOptions& options,
                                  const DeltaSink* on_delta) {
  if (on_delta == nullptr) return decode(policy, vocab, model, query, tools_json, options);
  TextDeltas deltas(*vocab.tokenizer);
  auto push = [&](uint32_t id) {
    std::string_view d = deltas.push(id);
    if (!d.empty()) (*on_delta)(d);
  };
  const TokenSink sink = push;
  GenerateOutput out = decode(policy, vocab, model, query, tools_json, options, &sink);
  std::string_view rest = deltas.finish();
  if (!rest.empty()) (*on_delta)(rest);
  return out;
}

}  // namespace pinnet::engine
