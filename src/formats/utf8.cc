#include "formats/utf8.h"

namespace pinnet::formats {

Utf8Step utf8_step(const unsigned char* p, std::size_t n) {
  const unsigned char b0 = p[0];
  if (b0 < 0x80) return {1, true};
  // Expected length and the range allowed for the second byte; the range
  // excludes overlongs (E0, F0), surrogates (ED) and values past U+10FFFF (F4).
  std::size_t want;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    want = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    want = 3;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    want = 4;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return {1, false};
  }
  if (n < 2 || p[1] < lo || p[1] > hi) return {1, false};
  for (std::size_t i = 2; i < want; ++i) {
    if (i >= n || !is_utf8_continuation(p[i])) return {static_cast<uint8_t>(i), false};
  }
  return {static_cast<uint8_t>(want), true};
}

bool is_valid_utf8(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t i = 0;
  const std::size_t n = bytes.size();
  while (i < n) {
    if (p[i] < 0x80) {
      ++i;
      continue;
    }
    const Utf8Step s = utf8_step(p + i, n - i);
    if (!s.valid) return false;
    i += s.len;
  }
  return true;
}

}  // namespace pinnet::formats
