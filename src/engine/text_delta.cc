#include "engine/text_delta.h"

#include "formats/utf8.h"

namespace pinnet::engine {

namespace {

// Length of the prefix of `raw` that can be decoded now: everything except a
// trailing sequence that is cut short by the end of the bytes (a lead byte
// and valid continuations so far), which a later id may complete.
size_t final_prefix(std::string_view raw) {
  const auto* u = reinterpret_cast<const unsigned char*>(raw.data());
  const size_t n = raw.size();
  size_t i = 0;
  while (i < n) {
    if (u[i] < 0x80) {
      ++i;
      continue;
    }
    formats::Utf8Step step = formats::utf8_step(u + i, n - i);
    if (!step.valid && i + step.len == n && u[i] >= 0xC2 && u[i] <= 0xF4) return i;
    i += step.len;
  }
  return n;
}

}  // namespace

std::string_view TextDeltas::flush(size_t upto) {
  delta_.clear();
  if (upto == 0) return delta_;
  // Flushing at a character boundary keeps the decoding additive; the
  // leading-space rule applies only to the very first flushed bytes.
  delta_ = tokenizer_.decode_raw(std::string_view(pending_).substr(0, upto), at_text_start_);
  at_text_start_ = false;
  pending_.erase(0, upto);
  return delta_;
}

std::string_view TextDeltas::push(uint32_t id) {
  pending_.append(tokenizer_.raw_bytes(id));
  return flush(final_prefix(pending_));
}

std::string_view TextDeltas::finish() { return flush(pending_.size()); }

}  // namespace pinnet::engine
