// Test doubles for the generation-3 decode loop: a model whose logits follow
// a script, and small vocabularies built from word lists.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "engine/constrained.h"
#include "engine/decode_loop.h"
#include "formats/subword_tokenizer.h"
#include "formats/tokenizer_blob_writer.h"

namespace pinnet::engine::testing {

// <unk> 0, </s> 1, <s> 2, then `words` in order (texts starting with '<' as
// literal pieces, the rest normal), then the 256 byte pieces, so every text
// can be spelled.
inline formats::SubwordTokenizer make_test_tokenizer(const std::vector<std::string>& words) {
  formats::testing::BlobSpec spec;
  spec.pieces = {{"<unk>", 0, 2}, {"</s>", 0, 1}, {"<s>", 0, 1}};
  for (const std::string& w : words) {
    spec.pieces.push_back({w, 0.0f, static_cast<uint8_t>(!w.empty() && w[0] == '<' ? 3 : 0)});
  }
  for (unsigned b = 0; b < 256; ++b) {
    spec.pieces.push_back({formats::testing::byte_piece_text(b), -10.0f, 4});
  }
  spec.eos_id = 1;
  spec.bos_id = 2;
  spec.byte_fallback = true;
  auto parsed = formats::SubwordTokenizer::parse(formats::testing::write_tokenizer_blob(spec));
  if (!parsed.ok()) throw std::runtime_error("test vocabulary did not parse");
  return std::move(parsed).value();
}

// The bytes every id adds to the text, in id order (what the constraint sees).
inline std::vector<std::string> piece_texts(const formats::SubwordTokenizer& tok) {
  std::vector<std::string> texts;
  texts.reserve(tok.piece_count());
  for (uint32_t i = 0; i < tok.piece_count(); ++i) texts.emplace_back(tok.piece_bytes(i));
  return texts;
}

// A tokenizer with its piece trie and the loop's view of both. Not movable:
// the view points into it.
struct TestVocabulary final : Detokenizer {
  explicit TestVocabulary(const std::vector<std::string>& words)
      : tok(make_test_tokenizer(words)), trie([this] { return piece_texts(tok); }) {
    vocab.text = this;
    vocab.tokenizer = &tok;
    vocab.im_end = tok.lookup("<|im_end|>");
    vocab.tool_call_open = tok.lookup("<tool_call>");
    vocab.tool_call_close = tok.lookup("</tool_call>");
    vocab.think_open = tok.lookup("<think>");
    vocab.think_close = tok.lookup("</think>");
    vocab.piece_trie = &trie;
  }
  TestVocabulary(const TestVocabulary&) = delete;
  TestVocabulary& operator=(const TestVocabulary&) = delete;

  std::string decode(std::span<const uint32_t> ids) const override { return tok.decode(ids); }
  std::string_view piece_bytes(uint32_t id) const override { return tok.piece_bytes(id); }

  uint32_t id(const std::string& piece) const {
    if (piece == "</s>") return kGen3Policy.eos;
    auto found = tok.lookup(piece);
    if (!found) throw std::invalid_argument("no piece " + piece);
    return *found;
  }

  formats::SubwordTokenizer tok;
  LazyPieceTrie trie;
  Vocabulary vocab;
};

// A model session whose logits follow a script. By default, at each call the
// next id of `intended` scores highest, then every other id by a fixed
// descending preference (lowest id last), so a constraint that forbids the
// intended id lets the best allowed one through. With `policy` set, the
// policy writes the logits instead, given the ids generated so far (every id
// fed back through step).
struct ScriptedModel final : DecodeSession {
  using Policy = std::function<void(const std::vector<uint32_t>& generated, std::span<float>)>;

  ScriptedModel(uint64_t max_seq_len, uint64_t logit_width, std::vector<uint32_t> intended_ids,
                Policy logits_policy = {})
      : max_seq_len(max_seq_len),
        width(logit_width),
        intended(std::move(intended_ids)),
        policy(std::move(logits_policy)) {}

  uint64_t max_seq_len;
  uint64_t width;
  std::vector<uint32_t> intended;
  Policy policy;
  size_t calls = 0;
  std::vector<uint32_t> prompt;
  std::vector<uint32_t> generated;
  uint64_t requested = 0;  // positions the loop opened the session for
  uint64_t pos = 0;

  ScriptedModel& open(uint64_t positions) {
    requested = positions;
    pos = 0;
    return *this;
  }
  void fill(std::span<float> logits) {
    if (policy) {
      policy(generated, logits);
    } else {
      for (size_t i = 0; i < logits.size(); ++i) logits[i] = static_cast<float>(i) * 1e-3f;
      if (calls < intended.size() && intended[calls] < logits.size()) {
        logits[intended[calls]] = 10.0f;
      }
    }
    ++calls;
  }
  const char* start(std::span<const uint32_t> ids, std::span<float> logits) override {
    prompt.assign(ids.begin(), ids.end());
    generated.clear();
    pos = ids.size();
    fill(logits);
    return nullptr;
  }
  const char* step(uint32_t token, std::span<float> logits) override {
    if (pos >= requested) throw std::logic_error("stepped past the requested session");
    ++pos;
    generated.push_back(token);
    fill(logits);
    return nullptr;
  }
  uint64_t position() const override { return pos; }
};

// The generation-3 loop over a scripted session.
inline GenerateOutput generate_v3(ScriptedModel& model, const Vocabulary& vocab,
                                  std::string_view query, std::string_view tools_json,
                                  const GenerateOptions& options,
                                  const DeltaSink* on_delta = nullptr) {
  auto open = [&](uint64_t positions) -> DecodeSession& { return model.open(positions); };
  const DecodeModel m{model.max_seq_len, model.width, open};
  return decode_with_deltas(kGen3Policy, vocab, m, query, tools_json, options, on_delta);
}

}  // namespace pinnet::engine::testing
