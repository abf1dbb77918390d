#include "runners/gen3_runner.h"

#include <utility>

#include "engine/completion_text.h"
#include "models/gen3/load.h"
#include "runners/vocabulary.h"

namespace pinnet::runners {

struct V3Runner::Impl {
  explicit Impl(gen3::V3Bundle b) : bundle(std::move(b)), words(bundle.tokenizer) {}
  gen3::V3Bundle bundle;
  SubwordVocabulary words;  // points into bundle.tokenizer
  // Strict grammars by tool list and choice.
  mutable engine::ToolGrammarCache grammars{engine::kToolGrammars};
};

namespace {

LoadResult<V3Runner> wrap(core::Result<gen3::V3Bundle, gen3::LoadError> loaded,
                          core::Compute compute) {
  if (!loaded.ok()) return core::Err{LoadFailure(loaded.error().message())};
  loaded.value().model.set_compute(compute);
  return std::make_unique<V3Runner>(std::make_unique<V3Runner::Impl>(std::move(loaded).value()));
}

// One generation's key/value cache, sized when the loop opens it.
class V3Session final : public engine::DecodeSession {
 public:
  V3Session(const gen3::V3Model& model, bool kv_int8) : model_(model), kv_int8_(kv_int8) {}

  V3Session& open(uint64_t positions) {
    cache_.emplace(model_.new_cache(positions, kv_int8_));
    return *this;
  }
  const char* start(std::span<const uint32_t> prompt, std::span<float> logits) override {
    model_.prefill(prompt, &*cache_, logits);
    return nullptr;
  }
  const char* step(uint32_t id, std::span<float> logits) override {
    model_.step(id, *cache_, logits);
    return nullptr;
  }
  uint64_t position() const override { return cache_->position(); }

 private:
  const gen3::V3Model& model_;
  bool kv_int8_;
  std::optional<gen3::KvCache> cache_;
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
  V3Session session(model, options.kv_int8);
  auto open = [&](uint64_t positions) -> engine::DecodeSession& { return session.open(positions); };
  const engine::DecodeModel m{model.geometry().max_seq_len, model.logit_width(), open};
  return engine::decode_with_deltas(policy(), impl_->words.vocab(), m, query, tools_json, options,
                                    on_delta);
}

std::optional<float> V3Runner::confidence(std::string_view query, std::string_view tools_json,
                                          std::string_view completion) const {
  const gen3::V3Bundle& b = impl_->bundle;
  if (!b.head) return std::nullopt;
  // The scoring text is cut to the context, never failed.
  const engine::PromptIds ids =
      engine::prompt_ids(policy(), b.tokenizer, engine::scoring_text(query, tools_json, completion),
                         max_seq_len(), 0);
  return b.head->probability(b.model, ids.ids);
}

bool V3Runner::has_confidence() const { return impl_->bundle.head.has_value(); }
uint64_t V3Runner::num_layers() const { return impl_->bundle.model.geometry().num_layers; }
uint64_t V3Runner::max_seq_len() const { return impl_->bundle.model.geometry().max_seq_len; }
const engine::Vocabulary* V3Runner::vocabulary() const { return &impl_->words.vocab(); }
uint64_t V3Runner::kv_bytes(uint64_t seq_len, bool kv_int8) const {
  return impl_->bundle.model.kv_bytes(seq_len, kv_int8);
}

}  // namespace pinnet::runners
