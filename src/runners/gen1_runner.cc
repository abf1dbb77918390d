#include "runners/gen1_runner.h"

#include <utility>

#include "engine/completion_text.h"
#include "engine/constrained.h"
#include "engine/decode_loop.h"
#include "formats/safetensors.h"
#include "formats/utf8.h"
#include "formats/vocab_tokenizer.h"
#include "models/gen1/model.h"

namespace pinnet::runners {

namespace {

constexpr std::string_view kWordMarker = "\xE2\x96\x81";  // U+2581

// A piece as text: every word marker becomes a space.
std::string spaced(std::string_view piece) {
  std::string out;
  out.reserve(piece.size());
  for (size_t i = 0; i < piece.size();) {
    if (piece.substr(i, kWordMarker.size()) == kWordMarker) {
      out.push_back(' ');
      i += kWordMarker.size();
    } else {
      out.push_back(piece[i++]);
    }
  }
  return out;
}

// One generation: the encoder over the prompt and the decoder's first step
// on the start id open it; then one decoder step per id.
class Gen1Session final : public engine::DecodeSession {
 public:
  explicit Gen1Session(const gen1::Gen1Model& model) : model_(model), state_(model.new_state()) {}

  const char* start(std::span<const uint32_t> prompt, std::span<float> logits) override {
    model_.encode(prompt, state_);
    model_.decode_step(engine::kGen1Policy.bos, state_, logits);
    steps_ = 1;
    return nullptr;
  }
  const char* step(uint32_t id, std::span<float> logits) override {
    model_.decode_step(id, state_, logits);
    ++steps_;
    return nullptr;
  }
  uint64_t position() const override { return steps_; }

 private:
  const gen1::Gen1Model& model_;
  gen1::DecoderState state_;
  uint64_t steps_ = 0;
};

}  // namespace

struct Gen1Runner::Impl final : engine::Detokenizer {
  Impl(gen1::Gen1Model m, formats::VocabTokenizer t)
      : model(std::move(m)), tokenizer(std::move(t)), pieces([this] {
          std::vector<std::string> texts;
          texts.reserve(tokenizer.piece_count());
          for (uint32_t i = 0; i < tokenizer.piece_count(); ++i) texts.push_back(spaced(tokenizer.piece(i)));
          return texts;
        }) {
    for (uint32_t i = 0; i < tokenizer.piece_count(); ++i) piece_text.push_back(spaced(tokenizer.piece(i)));
    vocab.text = this;
    vocab.piece_trie = &pieces;
    if (tokenizer.piece_count() >= 5) prefix = piece_text[4];
  }

  std::string decode(std::span<const uint32_t> ids) const override { return tokenizer.decode(ids); }
  std::string_view piece_bytes(uint32_t id) const override {
    return id < piece_text.size() ? std::string_view(piece_text[id]) : std::string_view();
  }

  gen1::Gen1Model model;
  formats::VocabTokenizer tokenizer;
  std::vector<std::string> piece_text;  // pieces with the word marker as a space
  engine::LazyPieceTrie pieces;
  engine::Vocabulary vocab;
  std::optional<std::string> prefix;  // piece 4, stripped once from the front
};

namespace {

LoadResult<Gen1Runner> build(formats::ByteImage weights, std::string_view vocab_text) {
  auto file = formats::SafetensorsFile::parse(std::move(weights));
  if (!file) return core::Err{LoadFailure(file.error())};
  auto model = gen1::Gen1Model::load(file.value());
  if (!model) return core::Err{LoadFailure(model.error())};
  formats::VocabTokenizer tokenizer = formats::VocabTokenizer::build(vocab_text);
  // Ours: the decoder's choice runs over vocab_size ids and the encoder
  // reads every id the tokenizer makes, so a vocabulary with more pieces
  // than the embedding has rows is refused here rather than failing later.
  if (tokenizer.piece_count() > model.value().config().vocab_size)
    return core::Err{LoadFailure("vocabulary has " + std::to_string(tokenizer.piece_count()) +
                                 " pieces, more than vocab_size " +
                                 std::to_string(model.value().config().vocab_size))};
  return std::make_unique<Gen1Runner>(
      std::make_unique<Gen1Runner::Impl>(std::move(model).value(), std::move(tokenizer)));
}

}  // namespace

LoadResult<Gen1Runner> Gen1Runner::load_files(const std::string& weights_path,
                                              const std::string& vocab_path) {
  auto weights = formats::ByteImage::map_file(weights_path);
  if (!weights) return core::Err{LoadFailure(weights.error())};
  auto vocab = formats::ByteImage::map_file(vocab_path);
  if (!vocab) return core::Err{LoadFailure(vocab.error())};
  const std::string_view text(reinterpret_cast<const char*>(vocab.value().data()), vocab.value().size());
  if (!formats::is_valid_utf8(text))
    return core::Err{LoadFailure("stream did not contain valid UTF-8")};
  return build(std::move(weights).value(), text);
}

LoadResult<Gen1Runner> Gen1Runner::load_bytes(formats::ByteImage weights,
                                              std::string_view vocab_text) {
  return build(std::move(weights), vocab_text);
}

Gen1Runner::Gen1Runner(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Gen1Runner::~Gen1Runner() = default;

std::string Gen1Runner::run(std::string_view query, std::string_view tools_json,
                            const PieceSink* on_piece) const {
  const Impl& im = *impl_;
  const gen1::Gen1Config& c = im.model.config();
  // Tool names as written and as the model knows them, where they differ.
  std::vector<std::pair<std::string, std::string>> to_model, to_caller;
  for (const engine::ToolSpec& t : engine::parse_tools(tools_json)) {
    if (t.name == t.snake_name) continue;
    to_model.emplace_back(t.name, t.snake_name);
    to_caller.emplace_back(t.snake_name, t.name);
  }
  const std::string tools_text =
      engine::compact_tools_json(engine::rewrite_names(tools_json, to_model), true);
  const std::vector<uint32_t> input = engine::gen1_encoder_input(
      im.tokenizer.encode(query), im.tokenizer.encode(tools_text), c.max_enc_len);
  if (input.empty()) return std::string();

  Gen1Session session(im.model);
  auto open = [&](uint64_t) -> engine::DecodeSession& { return session; };
  // The context check never ends a generation-1 loop: the decoder's cache
  // freezes when full instead.
  const engine::DecodeModel m{UINT64_MAX, c.vocab_size, open};
  engine::GenerateOptions options;
  auto stream = [&](uint32_t id) { (*on_piece)(id, im.piece_bytes(id)); };
  const engine::TokenSink sink = stream;
  const engine::GenerateOutput out = engine::decode_ids(
      engine::kGen1Policy, im.vocab, m, input, c.max_dec_len, tools_json, options,
      on_piece != nullptr ? &sink : nullptr);

  std::string_view text = out.text;
  if (im.prefix && text.substr(0, im.prefix->size()) == *im.prefix) text.remove_prefix(im.prefix->size());
  return engine::rewrite_names(text, to_caller);
}

std::vector<std::string> Gen1Runner::run_batch(
    const std::vector<std::pair<std::string, std::string>>& examples) const {
  std::vector<std::string> out;
  out.reserve(examples.size());
  for (const auto& [query, tools] : examples) out.push_back(run(query, tools));
  return out;
}

std::optional<std::vector<float>> Gen1Runner::encode_contrastive(std::string_view text) const {
  if (!impl_->model.has_contrastive()) return std::nullopt;
  return impl_->model.encode_contrastive(impl_->tokenizer.encode(text));
}

uint64_t Gen1Runner::contrastive_dim() const { return impl_->model.contrastive_dim(); }

std::vector<ScoredTool> Gen1Runner::retrieve_tools(std::string_view query,
                                                   const std::vector<std::string>& descriptions,
                                                   uint64_t top_k) const {
  const auto q = encode_contrastive(query);
  if (!q) return {};
  std::vector<std::optional<std::vector<float>>> embedded;
  embedded.reserve(descriptions.size());
  for (const std::string& d : descriptions) embedded.push_back(encode_contrastive(d));
  return rank_tools(*q, embedded, top_k);
}

}  // namespace pinnet::runners
