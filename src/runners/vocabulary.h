// The vocabulary side of a runner over an embedded subword tokenizer: the
// ids of the chat markers the loop watches and the piece trie of constrained
// calls, built on first use.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/completion_text.h"
#include "engine/constrained.h"
#include "engine/decode_loop.h"
#include "formats/subword_tokenizer.h"

namespace pinnet::runners {

class SubwordVocabulary final : public engine::Detokenizer {
 public:
  // Keeps a reference: the tokenizer must outlive this object and stay put.
  explicit SubwordVocabulary(const formats::SubwordTokenizer& tokenizer)
      : tokenizer_(tokenizer), pieces_([&tokenizer] {
          // The bytes each id adds to the text, which is what the constraint
          // scanner sees.
          std::vector<std::string> texts;
          texts.reserve(tokenizer.piece_count());
          for (uint32_t i = 0; i < tokenizer.piece_count(); ++i)
            texts.emplace_back(tokenizer.piece_bytes(i));
          return texts;
        }) {
    vocab_.text = this;
    vocab_.tokenizer = &tokenizer;
    vocab_.im_end = tokenizer.lookup(engine::markers::kImEnd);
    vocab_.tool_call_open = tokenizer.lookup(engine::markers::kToolCallOpen);
    vocab_.tool_call_close = tokenizer.lookup(engine::markers::kToolCallClose);
    vocab_.think_open = tokenizer.lookup(engine::markers::kThinkOpen);
    vocab_.think_close = tokenizer.lookup(engine::markers::kThinkClose);
    vocab_.piece_trie = &pieces_;
  }
  SubwordVocabulary(const SubwordVocabulary&) = delete;  // vocab_ points into this object
  SubwordVocabulary& operator=(const SubwordVocabulary&) = delete;

  const engine::Vocabulary& vocab() const { return vocab_; }

  std::string decode(std::span<const uint32_t> ids) const override { return tokenizer_.decode(ids); }
  std::string_view piece_bytes(uint32_t id) const override { return tokenizer_.piece_bytes(id); }

 private:
  const formats::SubwordTokenizer& tokenizer_;
  engine::LazyPieceTrie pieces_;
  engine::Vocabulary vocab_;
};

}  // namespace pinnet::runners
