#include "runners/gen2_runner.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "core/kernels.h"
#include "engine/completion_text.h"
#include "models/gen2/load.h"
#include "runners/embedding_cache.h"
#include "runners/prefix_cache.h"
#include "runners/speculation.h"
#include "runners/vocabulary.h"

namespace pinnet::runners {

// A kept prompt prefix: the state after it, and for a pooling head its
// pooling so far. Mode 0: generation states; a head's code: its scoring.
struct V2Prefix {
  gen2::V2SequenceState state;
  std::optional<gen2::ProbePool> pool;
};

// A pass runs in tiles of 128 positions from its first, so a prompt cut on
// a multiple of 128 runs the same tiles as the whole prompt.
constexpr SplitRule kSplit{128, 1};

struct V2Runner::Impl {
  explicit Impl(gen2::V2Bundle b) : bundle(std::move(b)) {
    if (bundle.tokenizer) words.emplace(*bundle.tokenizer);
  }
  gen2::V2Bundle bundle;
  std::optional<SubwordVocabulary> words;  // points into bundle.tokenizer
  // Contrastive embeddings by text (4 MiB holds thousands of descriptions).
  mutable EmbeddingCache embeddings{4 << 20};
  // Strict grammars by tool list and choice.
  mutable engine::ToolGrammarCache grammars{engine::kToolGrammars};
  // States after prompt prefixes, by mode (see V2Prefix; generation states
  // all have the same capacity and window).
  mutable PrefixCache<V2Prefix> prefixes{default_prefix_cache_bytes()};
  Speculation speculation;  // forced and drafted ids

  const gen2::V2Model& model() const { return bundle.model; }
  const gen2::V2Geometry& geometry() const { return bundle.model.geometry(); }
  gen2::V2SequenceState generation_state() const {
    return model().new_state(geometry().generation_capacity(), geometry().kv_window);
  }
  gen2::V2SequenceState scoring_state() const { return model().new_state(geometry().max_seq_len, 0); }

  // What a head reads of `text`: the begin id, then the text's ids, cut to
  // the context (needs the tokenizer).
  std::vector<uint32_t> head_ids(std::string_view text) const {
    const formats::SubwordTokenizer& tok = *bundle.tokenizer;
    std::vector<uint32_t> ids = {tok.bos_id()};
    tok.encode_into(text, ids);
    ids.resize(std::min<uint64_t>(ids.size(), geometry().max_seq_len));
    return ids;
  }
  // The head's output for `text`, or absent.
  std::optional<std::vector<float>> run_head(uint8_t code, std::string_view text,
                                             gen2::V2SequenceState& state) const {
    const gen2::ProbeHead* head = bundle.head(code);
    if (head == nullptr || !bundle.tokenizer) return std::nullopt;
    return head->run(model(), head_ids(text), bundle.tokenizer->pad_id(), state);
  }
  std::optional<std::vector<float>> embedding(std::string_view text,
                                              gen2::V2SequenceState& state) const {
    if (auto hit = embeddings.find(text)) return hit;
    auto out = run_head(gen2::kContrastiveHead, text, state);
    if (out) embeddings.put(text, *out);
    return out;
  }
  // run_head for a text that starts with the prompt of `query` (`prompt`),
  // from the longest kept prefix of its ids.
  std::optional<std::vector<float>> run_head_from_prefix(uint8_t code, std::string_view prompt,
                                                         std::string_view query,
                                                         std::string_view text) const {
    const gen2::ProbeHead* head = bundle.head(code);
    if (head == nullptr || !bundle.tokenizer) return std::nullopt;
    const formats::SubwordTokenizer& tok = *bundle.tokenizer;
    const std::vector<uint32_t> ids = head_ids(text);
    gen2::V2SequenceState state = scoring_state();
    // A text the model refuses fails whole, before any position.
    if (!std::all_of(ids.begin(), ids.end(), [&](uint32_t t) { return t < geometry().vocab_size; }))
      return head->run(model(), ids, tok.pad_id(), state);
    std::optional<gen2::ProbePool> pool;
    auto restore = [&](const V2Prefix& kept) {
      state.restore(kept.state, ids.size());
      pool.emplace(*kept.pool);
    };
    auto run = [&](std::span<const uint32_t> piece, bool) {
      if (!pool) pool.emplace(head->pool(tok.pad_id()));
      return model().prefill_cells(piece, state, *pool);
    };
    auto keep = [&] {
      auto kept = std::make_shared<const V2Prefix>(V2Prefix{state.snapshot(), *pool});
      return std::pair{kept, kept->state.state_bytes() + pool->bytes()};
    };
    const uint64_t fixed = engine::fixed_ids(engine::gen2_policy(tok.bos_id(), tok.eos_id()), tok,
                                             prompt, query, ids);
    if (prefill_through(prefixes, code, kSplit, ids, fixed, restore, run, keep) != nullptr)
      return std::nullopt;
    return head->finish(*pool);
  }
  std::optional<float> logit(std::string_view text) const {
    if (bundle.heads.empty()) return std::nullopt;
    gen2::V2SequenceState state = scoring_state();
    auto out = run_head(gen2::kConfidenceHead, text, state);
    if (!out || out->empty()) return std::nullopt;
    return (*out)[0];
  }
};

namespace {

LoadResult<V2Runner> wrap(core::Result<gen2::V2Bundle, std::string> loaded,
                          core::Compute compute) {
  if (!loaded.ok()) return core::Err{LoadFailure(loaded.error())};
  loaded.value().model.set_compute(compute);
  return std::make_unique<V2Runner>(std::make_unique<V2Runner::Impl>(std::move(loaded).value()));
}

// The loop's view of one generation-2 state: opening it rewinds the state
// (a batch reuses one state for every example); starting it restores a kept
// prompt prefix when the prompt starts with one.
class V2Session final : public engine::DecodeSession {
 public:
  V2Session(const gen2::V2Model& model, gen2::V2SequenceState& state,
            PrefixCache<V2Prefix>& prefixes)
      : model_(model), state_(state), prefixes_(prefixes) {}

  V2Session& open(uint64_t positions) {
    model_.restart_state(state_);
    positions_ = positions;
    fixed_ = 0;
    return *this;
  }
  void fixed_prefix(uint64_t ids) override { fixed_ = ids; }
  const char* start(std::span<const uint32_t> prompt, std::span<float> logits) override {
    const uint64_t vocab = model_.geometry().vocab_size;
    // A prompt the model refuses fails whole, before any position.
    const bool valid = prompt.size() <= model_.geometry().max_seq_len &&
                       std::all_of(prompt.begin(), prompt.end(), [&](uint32_t t) { return t < vocab; });
    if (!valid) {
      model_.reserve(state_, positions_);
      return model_.prefill(prompt, state_, logits);
    }
    bool reserved = false;
    auto restore = [&](const V2Prefix& kept) { state_.restore(kept.state, positions_); };
    auto run = [&](std::span<const uint32_t> ids, bool last) {
      if (!reserved) model_.reserve(state_, positions_);
      reserved = true;
      return model_.prefill(ids, state_, last ? logits : std::span<float>());
    };
    auto keep = [&] {
      auto kept = std::make_shared<const V2Prefix>(V2Prefix{state_.snapshot(), std::nullopt});
      return std::pair{kept, kept->state.state_bytes()};
    };
    return prefill_through(prefixes_, 0, kSplit, prompt, fixed_, restore, run, keep);
  }
  const char* step(uint32_t id, std::span<float> logits) override {
    return model_.step(id, state_, logits);
  }
  uint64_t position() const override { return state_.position; }
  // The batched prefill from the state's position (no rewind: drafted ids
  // take the step path).
  const char* feed(std::span<const uint32_t> ids, std::span<float> logits) override {
    return model_.prefill(ids, state_, logits);
  }

 private:
  const gen2::V2Model& model_;
  gen2::V2SequenceState& state_;
  PrefixCache<V2Prefix>& prefixes_;
  uint64_t positions_ = 0;
  uint64_t fixed_ = 0;
};

}  // namespace

core::Result<std::shared_ptr<const engine::ToolGrammar>, std::string> V2Runner::tool_grammar(
    std::string_view tools_json, const engine::ToolChoice& choice) const {
  return impl_->grammars.get(tools_json, choice);
}

const engine::Vocabulary* V2Runner::vocabulary() const {
  return impl_->words ? &impl_->words->vocab() : nullptr;
}

LoadResult<V2Runner> V2Runner::load_file(const std::string& path) {
  return load_file(path, core::default_compute());
}

LoadResult<V2Runner> V2Runner::load_bytes(formats::ByteImage bytes) {
  return load_bytes(std::move(bytes), core::default_compute());
}

LoadResult<V2Runner> V2Runner::load_file(const std::string& path, core::Compute compute) {
  auto bytes = formats::ByteImage::map_file(path);
  if (!bytes) return core::Err{LoadFailure(bytes.error())};
  return load_bytes(std::move(bytes).value(), compute);
}

LoadResult<V2Runner> V2Runner::load_bytes(formats::ByteImage bytes, core::Compute compute) {
  return wrap(gen2::load_v2_bytes(std::move(bytes)), compute);
}

V2Runner::V2Runner(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
V2Runner::~V2Runner() = default;

bool V2Runner::has_tokenizer() const { return impl_->bundle.tokenizer.has_value(); }

engine::DecodePolicy V2Runner::policy() const {
  const formats::SubwordTokenizer& tok = *impl_->bundle.tokenizer;
  return engine::gen2_policy(tok.bos_id(), tok.eos_id());
}

namespace {

engine::GenerateOutput generate_on(const V2Runner& runner, const V2Runner::Impl& impl,
                                   gen2::V2SequenceState& state, std::string_view query,
                                   std::string_view tools_json,
                                   const engine::GenerateOptions& given,
                                   const PieceSink* on_piece) {
  const engine::GenerateOptions options = impl.speculation.applied(given);
  V2Session session(impl.model(), state, impl.prefixes);
  auto open = [&](uint64_t positions) -> engine::DecodeSession& { return session.open(positions); };
  const engine::DecodeModel m{impl.geometry().max_seq_len, impl.geometry().vocab_size, open};
  const engine::Vocabulary& vocab = impl.words->vocab();
  if (on_piece == nullptr)
    return engine::decode(runner.policy(), vocab, m, query, tools_json, options);
  // Each id's piece: what decoding all ids adds to decoding all but the
  // last, or the whole decoding when it does not extend the shorter one.
  const formats::SubwordTokenizer& tok = *vocab.tokenizer;
  std::vector<uint32_t> ids;
  std::string before;
  auto push = [&](uint32_t id) {
    ids.push_back(id);
    std::string after = tok.decode(ids);
    const bool extends = after.size() >= before.size() && after.compare(0, before.size(), before) == 0;
    (*on_piece)(id, extends ? std::string_view(after).substr(before.size()) : std::string_view(after));
    before = std::move(after);
  };
  const engine::TokenSink sink = push;
  return engine::decode(runner.policy(), vocab, m, query, tools_json, options, &sink);
}

}  // namespace

engine::GenerateOutput V2Runner::generate(std::string_view query, std::string_view tools_json,
                                          const engine::GenerateOptions& options,
                                          const PieceSink* on_piece) const {
  gen2::V2SequenceState state = impl_->generation_state();
  return generate_on(*this, *impl_, state, query, tools_json, options, on_piece);
}

engine::GenerateOutput V2Runner::generate_with_deltas(std::string_view query,
                                                      std::string_view tools_json,
                                                      const engine::GenerateOptions& options,
                                                      const engine::DeltaSink& on_delta) const {
  gen2::V2SequenceState state = impl_->generation_state();
  V2Session session(impl_->model(), state, impl_->prefixes);
  auto open = [&](uint64_t positions) -> engine::DecodeSession& { return session.open(positions); };
  const engine::DecodeModel m{impl_->geometry().max_seq_len, impl_->geometry().vocab_size, open};
  return engine::decode_with_deltas(policy(), impl_->words->vocab(), m, query, tools_json,
                                    impl_->speculation.applied(options), &on_delta);
}

std::vector<std::string> V2Runner::run_batch(
    const std::vector<std::pair<std::string, std::string>>& examples) const {
  std::vector<std::string> texts;
  if (examples.empty()) return texts;
  gen2::V2SequenceState state = impl_->generation_state();
  texts.reserve(examples.size());
  for (const auto& [query, tools] : examples)
    texts.push_back(generate_on(*this, *impl_, state, query, tools, v2_run_settings(), nullptr).text);
  return texts;
}

std::optional<float> V2Runner::confidence(std::string_view text) const { return impl_->logit(text); }

std::optional<float> V2Runner::confidence_probability(std::string_view text) const {
  const std::optional<float> logit = impl_->logit(text);
  if (!logit) return std::nullopt;
  return core::sigmoid(*logit);
}

std::optional<float> V2Runner::confidence_for(std::string_view query, std::string_view tools_json,
                                              std::string_view completion) const {
  if (impl_->bundle.heads.empty()) return std::nullopt;
  const std::string prompt = engine::build_prompt(query, tools_json, std::nullopt);
  const auto out = impl_->run_head_from_prefix(gen2::kConfidenceHead, prompt, query,
                                               prompt + std::string(completion));
  if (!out || out->empty()) return std::nullopt;
  return core::sigmoid((*out)[0]);
}

std::optional<std::vector<float>> V2Runner::encode_contrastive(std::string_view text) const {
  if (impl_->bundle.heads.empty()) return std::nullopt;
  gen2::V2SequenceState state = impl_->scoring_state();
  return impl_->embedding(text, state);
}

uint64_t V2Runner::contrastive_dim() const {
  const gen2::ProbeHead* head = impl_->bundle.head(gen2::kContrastiveHead);
  return head == nullptr ? 0 : head->out_dim();
}

std::vector<ScoredTool> V2Runner::retrieve_tools(std::string_view query,
                                                 const std::vector<std::string>& descriptions,
                                                 uint64_t top_k) const {
  if (impl_->bundle.heads.empty()) return {};
  gen2::V2SequenceState state = impl_->scoring_state();
  const auto q = impl_->embedding(query, state);
  if (!q) return {};
  std::vector<std::optional<std::vector<float>>> embedded;
  embedded.reserve(descriptions.size());
  for (const std::string& d : descriptions) embedded.push_back(impl_->embedding(d, state));
  return rank_tools(*q, embedded, top_k);
}

void V2Runner::set_prefix_cache_bytes(uint64_t bytes) const { impl_->prefixes.set_capacity(bytes); }
void V2Runner::clear_prefix_cache() const { impl_->prefixes.clear(); }
PrefixCacheInfo V2Runner::prefix_cache_info() const { return impl_->prefixes.info(); }
void V2Runner::set_speculation(bool forced_runs, bool drafts) const {
  impl_->speculation.set(forced_runs, drafts);
}
std::pair<bool, bool> V2Runner::speculation() const {
  return {impl_->speculation.forced_runs(), impl_->speculation.drafts()};
}

V2Config V2Runner::config() const {
  const gen2::V2Geometry& g = impl_->geometry();
  return V2Config{g.vocab_size, g.d_model,     g.num_heads,  g.num_kv_heads, g.num_layers,
                  g.head_dim,   g.max_seq_len, g.mhc_lanes,  g.kv_window,    g.rope_theta,
                  g.engram_sites};
}

}  // namespace pinnet::runners
