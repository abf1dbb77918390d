// UTF-8 classification shared by the tokenizers and file readers: strict
// validation (no overlongs, no surrogates, nothing above U+10FFFF) and the
// lossy conversion that replaces each maximal ill-formed subsequence with one
// U+FFFD; the Unicode White_Space class and trimming by it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace pinnet::formats {

inline constexpr std::string_view kReplacementChar = "\xEF\xBF\xBD";  // U+FFFD

// One step of a left-to-right UTF-8 scan.
// valid: `len` (1..4) bytes form one Unicode scalar.
// invalid: `len` (1..3) is the maximal ill-formed subsequence at the start,
// i.e. the longest prefix of a well-formed sequence, or 1 when the first byte
// cannot start one.
struct Utf8Step {
  uint8_t len;
  bool valid;
};

// `n` > 0 bytes are available at `p`.
Utf8Step utf8_step(const unsigned char* p, std::size_t n);

bool is_valid_utf8(std::string_view bytes);

// The scalar of `len` bytes at `p` that utf8_step found valid.
char32_t utf8_scalar(const unsigned char* p, std::size_t len);

// Appends the UTF-8 bytes of scalar value `c` (below 0x110000).
void append_utf8(std::string& out, char32_t c);

// True when `b` is a continuation byte (10xxxxxx), i.e. not a character start.
constexpr bool is_utf8_continuation(unsigned char b) { return (b & 0xC0) == 0x80; }

// The Unicode White_Space property (25 code points).
bool is_white_space(char32_t c);

// Trims every Unicode White_Space character from both ends (or only the
// front). Input is UTF-8; only whole characters are removed, so valid input
// stays valid, and trimming stops at the first ill-formed sequence.
std::string_view trim_white_space(std::string_view text);
std::string_view trim_white_space_front(std::string_view text);

}  // namespace pinnet::formats
