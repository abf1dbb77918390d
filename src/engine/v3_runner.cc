#include "engine/v3_runner.h"

#include <utility>

#include "engine/completion_text.h"

namespace pinnet::engine {

namespace {

core::Result<std::unique_ptr<V3Runner>, std::string> wrap(
    core::Result<gen3::V3Bundle, gen3::LoadError> loaded) {
  if (!loaded.ok()) return core::Err{loaded.error().message()};
  return std::make_unique<V3Runner>(std::move(loaded).value());
}

}  // namespace

core::Result<std::unique_ptr<V3Runner>, std::string> V3Runner::load_file(
    const std::string& path, std::optional<uint64_t> depth) {
  return wrap(gen3::load_v3_file(path, depth));
}

core::Result<std::unique_ptr<V3Runner>, std::string> V3Runner::load_bytes(
    std::vector<uint8_t> bytes, std::optional<uint64_t> depth) {
  return wrap(gen3::load_v3_bytes(std::move(bytes), depth));
}

V3Runner::V3Runner(gen3::V3Bundle bundle)
    : bundle_(std::move(bundle)), pieces_([this] {
        // The bytes each id adds to the text, which is what the constraint
        // scanner sees.
        const formats::SubwordTokenizer& tok = bundle_.tokenizer;
        std::vector<std::string> texts;
        texts.reserve(tok.piece_count());
        for (uint32_t i = 0; i < tok.piece_count(); ++i) texts.emplace_back(tok.piece_bytes(i));
        return texts;
      }) {
  vocab_.tokenizer = &bundle_.tokenizer;
  vocab_.im_end = bundle_.tokenizer.lookup(markers::kImEnd);
  vocab_.tool_call_open = bundle_.tokenizer.lookup(markers::kToolCallOpen);
  vocab_.tool_call_close = bundle_.tokenizer.lookup(markers::kToolCallClose);
  vocab_.piece_trie = &pieces_;
}

V3Output V3Runner::generate(std::string_view query, std::string_view tools_json,
                            const GenerateOptions& options, const DeltaSink* on_delta) const {
  return generate_v3(bundle_.model, vocab_, query, tools_json, options, on_delta);
}

std::optional<float> V3Runner::confidence(std::string_view query, std::string_view tools_json,
                                          std::string_view completion) const {
  if (!bundle_.head) return std::nullopt;
  bool truncated = false;
  const std::vector<uint32_t> ids =
      v3_prompt_ids(bundle_.tokenizer, scoring_text(query, tools_json, completion),
                    max_seq_len(), &truncated);
  return bundle_.head->probability(bundle_.model, ids);
}

}  // namespace pinnet::engine
