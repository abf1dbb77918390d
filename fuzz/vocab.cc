// Fuzzes the generation-1 vocabulary tokenizer: the bytes up to the first
// 0x00 are the vocabulary text, the rest the text to encode (both arbitrary
// bytes). Checked: every id is a piece or the unknown id, the heap merge
// equals the rescanning merge, and decoding any ids (in range or not) works.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "formats/vocab_tokenizer.h"

namespace {

using pinnet::formats::VocabTokenizer;

void check(bool ok) {
  if (!ok) __builtin_trap();
}

// The rescanning merge is quadratic: keep its inputs short.
constexpr std::size_t kReferenceLimit = 256;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const auto* chars = reinterpret_cast<const char*>(data);
  const auto* zero = static_cast<const char*>(std::memchr(chars, 0, size));
  const std::string_view vocab(chars, zero ? static_cast<std::size_t>(zero - chars) : size);
  const std::string_view text = zero ? std::string_view(zero + 1, size - vocab.size() - 1)
                                     : std::string_view();

  const VocabTokenizer tok = VocabTokenizer::build(vocab);
  const std::vector<uint32_t> ids = tok.encode(text);
  for (const uint32_t id : ids) check(id < tok.piece_count() || id == VocabTokenizer::kUnknown);
  if (text.size() <= kReferenceLimit) check(ids == tok.encode_reference(text));
  (void)tok.decode(ids);

  std::vector<uint32_t> any;
  for (std::size_t i = 0; i + 2 <= text.size(); i += 2) {
    any.push_back(static_cast<uint8_t>(text[i]) | static_cast<uint8_t>(text[i + 1]) << 8);
  }
  (void)tok.decode(any);
  (void)tok.lookup(text);
  return 0;
}
