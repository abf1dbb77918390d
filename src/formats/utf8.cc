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

char32_t utf8_scalar(const unsigned char* p, std::size_t len) {
  char32_t c = len == 1 ? p[0] : p[0] & (0x7F >> len);
  for (std::size_t k = 1; k < len; ++k) c = (c << 6) | (p[k] & 0x3F);
  return c;
}

bool is_white_space(char32_t c) {
  switch (c) {
    case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D: case 0x20:
    case 0x85: case 0xA0: case 0x1680:
    case 0x2028: case 0x2029: case 0x202F: case 0x205F: case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
}

namespace {

// The scalar of the character starting at `i`; false when the bytes there
// are not one well-formed character (then nothing is trimmed past it).
bool decode_at(std::string_view s, std::size_t i, char32_t* out, std::size_t* len) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data()) + i;
  const Utf8Step step = utf8_step(p, s.size() - i);
  if (!step.valid) return false;
  *out = utf8_scalar(p, step.len);
  *len = step.len;
  return true;
}

}  // namespace

std::string_view trim_white_space_front(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    char32_t c;
    std::size_t n;
    if (!decode_at(text, begin, &c, &n) || !is_white_space(c)) break;
    begin += n;
  }
  return text.substr(begin);
}

std::string_view trim_white_space(std::string_view text) {
  text = trim_white_space_front(text);
  std::size_t end = text.size();
  while (end > 0) {
    // Step back to the lead byte of the last character (at most 4 bytes).
    std::size_t lead = end - 1;
    while (lead > 0 && end - lead < 4 && is_utf8_continuation(static_cast<unsigned char>(text[lead]))) {
      --lead;
    }
    char32_t c;
    std::size_t n;
    if (!decode_at(text, lead, &c, &n) || lead + n != end || !is_white_space(c)) break;
    end = lead;
  }
  return text.substr(0, end);
}

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

}  // namespace pinnet::formats
