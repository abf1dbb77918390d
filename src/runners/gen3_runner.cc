#include "runners/gen3_runner.h"

#include <algorithm>
#include <utility>

#include "core/simd/cq_kernels.h"
#include "engine/completion_text.h"
#include "models/gen3/confidence_head.h"
#include "models/gen3/load.h"
#include "runners/prefix_cache.h"
#include "runners/speculation.h"
#include "runners/vocabulary.h"

namespace pinnet::runners {

// A kept prompt prefix: the session after it, and for the confidence head
// its pooling of the positions so far.
struct V3Prefix {
  gen3::KvCache cache;
  std::optional<gen3::PoolingCollector> pool;
};

// What a kept prefix is a prefix of: generations with each key/value cache
// form, or the confidence head's scoring.
enum Mode : uint32_t { kFloatKv = 0, kInt8Kv = 1, kScoring = 2 };

struct V3Runner::Impl {
  explicit Impl(gen3::V3Bundle b) : bundle(std::move(b)), words(bundle.tokenizer) {}
  gen3::V3Bundle bundle;
  SubwordVocabulary words;  // points into bundle.tokenizer
  // Strict grammars by tool list and choice.
  mutable engine::ToolGrammarCache grammars{engine::kToolGrammars};
  // Sessions after prompt prefixes, by mode (see Mode).
  mutable PrefixCache<V3Prefix> prefixes{default_prefix_cache_bytes()};
  Speculation speculation;  // forced and drafted ids
  SplitRule split;  // where prompts may be cut (set once the compute form is)
};

namespace {

// A pass runs each product over all its rows at once, so every piece of a
// cut prompt holds enough ids to take the kernel an uncut prompt takes:
// never one row alone, and for float products the wide batched form
// whenever the whole would (its order of summation differs from the narrow
// one's). The int8 products sum in one order for any batch of two or more.
SplitRule split_rule(const gen3::V3Model& model) {
  auto int8 = [](const core::CqTensor& t) { return t.compute() == core::Compute::kInt8; };
  bool all_int8 = true;
  for (const gen3::V3Block& b : model.blocks())
    for (const core::CqTensor* t : {&b.attn.q_proj, &b.attn.k_proj, &b.attn.v_proj, &b.gate_proj, &b.out_proj})
      all_int8 = all_int8 && int8(*t);
  for (const gen3::EngramSite& s : model.sites())
    all_int8 = all_int8 && int8(s.key_proj) && int8(s.value_proj);
  return all_int8 ? SplitRule{1, 2} : SplitRule{1, core::cq_kernels::kWideBatch};
}

LoadResult<V3Runner> wrap(core::Result<gen3::V3Bundle, gen3::LoadError> loaded,
                          core::Compute compute) {
  if (!loaded.ok()) return core::Err{LoadFailure(loaded.error().message())};
  loaded.value().model.set_compute(compute);
  auto impl = std::make_unique<V3Runner::Impl>(std::move(loaded).value());
  impl->split = split_rule(impl->bundle.model);
  return std::make_unique<V3Runner>(std::move(impl));
}

// One generation's key/value cache, sized when the loop opens it, or
// restored from a kept prompt prefix when the prompt starts with one.
class V3Session final : public engine::DecodeSession {
 public:
  V3Session(const gen3::V3Model& model, bool kv_int8, PrefixCache<V3Prefix>& prefixes,
            SplitRule split)
      : model_(model), kv_int8_(kv_int8), prefixes_(prefixes), split_(split) {}

  V3Session& open(uint64_t positions) {
    positions_ = positions;
    fixed_ = 0;
    cache_.reset();
    return *this;
  }
  void fixed_prefix(uint64_t ids) override { fixed_ = ids; }
  const char* start(std::span<const uint32_t> prompt, std::span<float> logits) override {
    auto restore = [&](const V3Prefix& kept) {
      cache_.emplace(model_.new_cache(1, kv_int8_));
      cache_->restore(kept.cache, positions_);
    };
    auto run = [&](std::span<const uint32_t> ids, bool last) -> const char* {
      if (!cache_) cache_.emplace(model_.new_cache(positions_, kv_int8_));
      model_.prefill(ids, &*cache_, last ? logits : std::span<float>());
      return nullptr;
    };
    auto keep = [&] {
      auto kept = std::make_shared<const V3Prefix>(V3Prefix{cache_->snapshot(), std::nullopt});
      return std::pair{kept, kept->cache.state_bytes()};
    };
    return prefill_through(prefixes_, kv_int8_ ? kInt8Kv : kFloatKv, split_, prompt, fixed_,
                           restore, run, keep);
  }
  const char* step(uint32_t id, std::span<float> logits) override {
    if (!replay_.empty()) return feed(std::span<const uint32_t>(&id, 1), logits);
    if (!cache_) cache_.emplace(model_.new_cache(positions_, kv_int8_));
    model_.step(id, *cache_, logits);
    return nullptr;
  }
  uint64_t position() const override { return (cache_ ? cache_->position() : 0) + replay_.size(); }
  const char* feed(std::span<const uint32_t> ids, std::span<float> logits) override {
    if (!cache_) cache_.emplace(model_.new_cache(positions_, kv_int8_));
    if (!replay_.empty()) {
      replay_.insert(replay_.end(), ids.begin(), ids.end());
      ids = replay_;
    }
    model_.prefill(ids, &*cache_, logits);
    replay_.clear();
    return nullptr;
  }
  // The cache's windowed rings, convolution histories and n-gram state are
  // overwritten by later positions, so a rewind restores the state from
  // before the verify pass; the kept ids run again at the front of the next
  // pass (`replay_`), which the next id needs anyway.
  bool can_verify() const override { return true; }
  const char* verify(std::span<const uint32_t> ids, std::span<float> rows) override {
    if (!cache_) cache_.emplace(model_.new_cache(positions_, kv_int8_));
    const size_t replayed = replay_.size();
    replay_.insert(replay_.end(), ids.begin(), ids.end());
    before_.emplace(cache_->snapshot());
    verified_ = std::move(replay_);
    replay_.clear();
    const uint64_t width = model_.logit_width();
    if (replayed == 0) {
      model_.prefill_all(verified_, &*cache_, rows);
    } else {
      all_rows_.resize(verified_.size() * width);
      model_.prefill_all(verified_, &*cache_, all_rows_);
      std::copy(all_rows_.begin() + static_cast<ptrdiff_t>(replayed * width), all_rows_.end(),
                rows.begin());
    }
    return nullptr;
  }
  const char* rewind(uint64_t position) override {
    if (!cache_ || position == this->position()) return nullptr;
    const uint64_t from = before_ ? before_->position() : UINT64_MAX;
    if (!replay_.empty() || from > position || position > from + verified_.size())
      return "rewind past the last verified ids";
    cache_->restore(*before_, positions_);
    replay_.assign(verified_.begin(), verified_.begin() + static_cast<ptrdiff_t>(position - from));
    return nullptr;
  }

 private:
  const gen3::V3Model& model_;
  bool kv_int8_;
  PrefixCache<V3Prefix>& prefixes_;
  SplitRule split_;
  uint64_t positions_ = 0;
  uint64_t fixed_ = 0;
  std::optional<gen3::KvCache> cache_;
  std::optional<gen3::KvCache> before_;  // the state before the last verify pass
  std::vector<uint32_t> verified_;       // that pass's ids
  std::vector<uint32_t> replay_;         // kept ids a rewind took back, run with the next pass
  std::vector<float> all_rows_;          // a verify pass's rows, replayed ids included
};

}  // namespace

core::Result<std::shared_ptr<const engine::ToolGrammar>, std::string> V3Runner::tool_grammar(
    std::string_view tools_json, const engine::ToolChoice& choice) const {
  return impl_->grammars.get(tools_json, choice);
}

LoadResult<V3Runner> V3Runner::load_file(const std::string& path, std::optional<uint64_t> depth) {
  return load_file(path, depth, core::default_compute());
}

LoadResult<V3Runner> V3Runner::load_bytes(formats::ByteImage bytes, std::optional<uint64_t> depth) {
  return load_bytes(std::move(bytes), depth, core::default_compute());
}

LoadResult<V3Runner> V3Runner::load_file(const std::string& path, std::optional<uint64_t> depth,
                                         core::Compute compute) {
  auto bytes = formats::ByteImage::map_file(path);
  if (!bytes) return core::Err{LoadFailure(bytes.error())};
  return load_bytes(std::move(bytes).value(), depth, compute);
}

LoadResult<V3Runner> V3Runner::load_bytes(formats::ByteImage bytes, std::optional<uint64_t> depth,
                                          core::Compute compute) {
  return wrap(gen3::load_v3_bytes(std::move(bytes), depth), compute);
}

V3Runner::V3Runner(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
V3Runner::~V3Runner() = default;

engine::GenerateOutput V3Runner::generate(std::string_view query, std::string_view tools_json,
                                          const engine::GenerateOptions& options,
                                          const engine::DeltaSink* on_delta) const {
  const gen3::V3Model& model = impl_->bundle.model;
  V3Session session(model, options.kv_int8, impl_->prefixes, impl_->split);
  auto open = [&](uint64_t positions) -> engine::DecodeSession& { return session.open(positions); };
  const engine::DecodeModel m{model.geometry().max_seq_len, model.logit_width(), open};
  return engine::decode_with_deltas(policy(), impl_->words.vocab(), m, query, tools_json,
                                    impl_->speculation.applied(options), on_delta);
}

std::optional<float> V3Runner::confidence(std::string_view query, std::string_view tools_json,
                                          std::string_view completion) const {
  const gen3::V3Bundle& b = impl_->bundle;
  if (!b.head) return std::nullopt;
  // The scoring text is cut to the context, never failed; its fixed part is
  // the prompt's.
  const std::string prompt = engine::build_prompt(query, tools_json, std::nullopt);
  const engine::PromptIds ids = engine::prompt_ids(policy(), b.tokenizer, prompt + std::string(completion),
                                                   max_seq_len(), 0);
  const uint64_t fixed = engine::fixed_ids(policy(), b.tokenizer, prompt, query, ids.ids);
  // The head pools every position as a pass over a float cache goes, so a
  // kept prefix holds the pooling so far with the cache.
  std::optional<gen3::KvCache> cache;
  std::optional<gen3::PoolingCollector> pool;
  auto restore = [&](const V3Prefix& kept) {
    cache.emplace(b.model.new_cache(1, false));
    cache->restore(kept.cache, ids.ids.size());
    pool.emplace(*kept.pool);
  };
  auto run = [&](std::span<const uint32_t> piece, bool) -> const char* {
    if (!cache) cache.emplace(b.model.new_cache(ids.ids.size(), false));
    if (!pool) pool.emplace(*b.head);
    b.model.prefill(piece, &*cache, {}, &*pool);
    return nullptr;
  };
  auto keep = [&] {
    auto kept = std::make_shared<const V3Prefix>(V3Prefix{cache->snapshot(), *pool});
    return std::pair{kept, kept->cache.state_bytes() + pool->bytes()};
  };
  prefill_through(impl_->prefixes, kScoring, impl_->split, ids.ids, fixed, restore, run, keep);
  return pool->finish().second;
}

void V3Runner::set_prefix_cache_bytes(uint64_t bytes) const { impl_->prefixes.set_capacity(bytes); }
void V3Runner::clear_prefix_cache() const { impl_->prefixes.clear(); }
PrefixCacheInfo V3Runner::prefix_cache_info() const { return impl_->prefixes.info(); }
void V3Runner::set_speculation(bool forced_runs, bool drafts) const {
  impl_->speculation.set(forced_runs, drafts);
}
std::pair<bool, bool> V3Runner::speculation() const {
  return {impl_->speculation.forced_runs(), impl_->speculation.drafts()};
}

bool V3Runner::has_confidence() const { return impl_->bundle.head.has_value(); }
uint64_t V3Runner::num_layers() const { return impl_->bundle.model.geometry().num_layers; }
uint64_t V3Runner::max_seq_len() const { return impl_->bundle.model.geometry().max_seq_len; }
const engine::Vocabulary* V3Runner::vocabulary() const { return &impl_->words.vocab(); }
uint64_t V3Runner::kv_bytes(uint64_t seq_len, bool kv_int8) const {
  return impl_->bundle.model.kv_bytes(seq_len, kv_int8);
}

}  // namespace pinnet::runners
