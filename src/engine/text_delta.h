// Incremental decoding for streaming: each kept id yields the text that has
// become final, and the deltas concatenate to exactly the tokenizer's
// decoding of all ids. A character is never split: a trailing incomplete
// UTF-8 sequence (a byte-fallback character arriving over several ids) is
// held back until it completes, or until finish().
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "formats/subword_tokenizer.h"

namespace pinnet::engine {

class TextDeltas {
 public:
  explicit TextDeltas(const formats::SubwordTokenizer& tokenizer) : tokenizer_(tokenizer) {}

  // Adds one kept id; returns the newly final text (often empty for
  // byte pieces). The view is valid until the next call.
  std::string_view push(uint32_t id);

  // Whatever is still held back (an incomplete sequence decodes to U+FFFD,
  // as the full decoding does). The view is valid until the next call.
  std::string_view finish();

 private:
  std::string_view flush(size_t upto);

  const formats::SubwordTokenizer& tokenizer_;
  std::string pending_;  // raw bytes not yet turned into text
  std::string delta_;
  bool at_text_start_ = true;  // nothing has been flushed yet
};

}  // namespace pinnet::engine
