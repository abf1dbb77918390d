// Fuzzes the embedded subword tokenizer. Every input is used three ways:
//  1. the whole input as a blob;
//  2. a little-endian u16 length, that many bytes of blob, the rest text:
//     encode and decode run on whatever parses;
//  3. a tokenizer built from the input so that decode(encode(text)) must
//     give the text back (all 256 byte pieces, byte fallback, no silent
//     pieces, no normal piece spelling a byte piece), then the text.
// Checked on every parsed tokenizer: the heap merge equals the rescanning
// merge, encode emits only ids in range, decode_raw splits at character
// boundaries.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "../tests/cpp/formats/tokenizer_blob_writer.h"
#include "formats/subword_tokenizer.h"
#include "formats/utf8.h"

namespace {

using pinnet::formats::SubwordTokenizer;
namespace t = pinnet::formats::testing;

void check(bool ok) {
  if (!ok) __builtin_trap();
}

// The rescanning merge is quadratic: keep its inputs short.
constexpr std::size_t kReferenceLimit = 1024;

void exercise(const SubwordTokenizer& tok, std::string_view text) {
  const std::vector<uint32_t> ids = tok.encode(text);
  if (text.size() <= kReferenceLimit) check(ids == tok.encode_reference(text));
  for (const uint32_t id : ids) check(id < tok.piece_count());
  const std::string decoded = tok.decode(ids);

  // Arbitrary ids, in and out of range, from the text bytes.
  std::vector<uint32_t> any;
  for (std::size_t i = 0; i + 4 <= text.size(); i += 4) {
    const auto* u = reinterpret_cast<const unsigned char*>(text.data() + i);
    const uint32_t v = u[0] | u[1] << 8 | u[2] << 16 | uint32_t{u[3]} << 24;
    any.push_back(v % 4 == 0 ? v : v % (tok.piece_count() + 2));
  }
  std::string raw;
  for (const uint32_t id : any) raw += tok.raw_bytes(id);
  check(tok.decode(any) == tok.decode_raw(raw));
  check(pinnet::formats::is_valid_utf8(tok.decode(any)));
  // decode_raw(A + B) == decode_raw(A) + decode_raw(B, false) for non-empty
  // valid A.
  for (std::size_t cut = 1; cut < raw.size(); cut += 1 + raw.size() / 8) {
    const std::string_view a(raw.data(), cut);
    if (!pinnet::formats::is_valid_utf8(a)) continue;
    check(tok.decode_raw(raw) == tok.decode_raw(a) + tok.decode_raw(raw.substr(cut), false));
  }

  (void)tok.lookup(text);
  const auto table = tok.piece_bytes_table();
  check(table.size() == tok.piece_count());
  for (uint32_t id = 0; id < tok.piece_count() && id < 64; ++id) {
    check(table[id].bytes == tok.piece_bytes(id));
  }
}

std::string_view as_text(const uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// Mode 3: vocabulary entries separated by 0x01 up to the first 0x00, the
// text after it. An entry's first byte gives kind (bit 7: literal) and score
// (low nibble, so scores tie often).
void round_trip(const uint8_t* data, std::size_t size) {
  if (size < 2) return;
  t::BlobSpec spec;
  spec.add_dummy_prefix = (data[0] & 1) != 0;
  spec.byte_fallback = true;
  spec.pieces.push_back({"", 0.0f, pinnet::formats::kPieceUnknown});  // never looked up
  for (unsigned b = 0; b < 256; ++b) {
    spec.pieces.push_back({t::byte_piece_text(b), 0.0f, pinnet::formats::kPieceByte});
  }
  std::size_t pos = 1;
  while (pos < size && data[pos] != 0) {
    std::size_t end = pos;
    while (end < size && data[end] != 0 && data[end] != 1) ++end;
    if (end - pos >= 2 && end - pos <= 65) {
      const std::string text(as_text(data + pos + 1, end - pos - 1));
      const bool spells_byte_piece = text.size() == 6 && text.compare(0, 3, "<0x") == 0;
      if (pinnet::formats::is_valid_utf8(text) && !spells_byte_piece) {
        const uint8_t head = data[pos];
        spec.pieces.push_back({text, static_cast<float>(head & 0x0F) - 8.0f,
                               (head & 0x80) ? pinnet::formats::kPieceLiteral
                                             : pinnet::formats::kPieceNormal});
      }
    }
    pos = end < size && data[end] == 1 ? end + 1 : end;
  }
  if (pos < size) ++pos;  // the 0x00
  const std::string_view text = as_text(data + pos, size - pos);

  const std::vector<uint8_t> blob = t::write_tokenizer_blob(spec);
  auto parsed = SubwordTokenizer::parse(blob);
  check(parsed.ok());
  const SubwordTokenizer& tok = parsed.value();
  exercise(tok, text);
  if (pinnet::formats::is_valid_utf8(text) &&
      text.find(pinnet::formats::kWordMarker) == std::string_view::npos) {
    check(tok.decode(tok.encode(text)) == text);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  {
    auto whole = SubwordTokenizer::parse(std::span<const uint8_t>(data, size));
    if (whole.ok()) exercise(whole.value(), as_text(data, size < 64 ? size : 64));
    else (void)whole.error().message();
  }
  if (size >= 2) {
    std::size_t len = data[0] | std::size_t{data[1]} << 8;
    if (len > size - 2) len = size - 2;
    auto split = SubwordTokenizer::parse(std::span<const uint8_t>(data + 2, len));
    if (split.ok()) exercise(split.value(), as_text(data + 2 + len, size - 2 - len));
  }
  round_trip(data, size);
  return 0;
}
