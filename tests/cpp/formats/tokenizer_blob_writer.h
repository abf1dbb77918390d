// Writes embedded-tokenizer blobs for tests and the fuzzer, including
// malformed ones (raw text bytes, a declared count that disagrees with the
// records, cut-off tails).
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace pinnet::formats::testing {

struct BlobPiece {
  std::string text;  // raw bytes, written as they are (length truncated to u16)
  float score = 0.0f;
  uint8_t kind = 0;
};

struct BlobSpec {
  std::vector<BlobPiece> pieces;
  uint32_t pad_id = 0, eos_id = 0, bos_id = 0, unk_id = 0;
  bool add_dummy_prefix = false;
  bool byte_fallback = false;
  std::optional<uint32_t> declared_count;  // default: pieces.size()
};

inline void put_u32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

inline std::vector<uint8_t> write_tokenizer_blob(const BlobSpec& spec) {
  std::vector<uint8_t> out;
  put_u32(out, spec.declared_count.value_or(static_cast<uint32_t>(spec.pieces.size())));
  put_u32(out, spec.pad_id);
  put_u32(out, spec.eos_id);
  put_u32(out, spec.bos_id);
  put_u32(out, spec.unk_id);
  out.push_back(spec.add_dummy_prefix ? 1 : 0);
  out.push_back(spec.byte_fallback ? 1 : 0);
  out.push_back(0);
  out.push_back(0);
  for (const BlobPiece& p : spec.pieces) {
    uint32_t bits;
    std::memcpy(&bits, &p.score, 4);
    put_u32(out, bits);
    out.push_back(p.kind);
    const auto len = static_cast<uint16_t>(p.text.size() > 0xFFFF ? 0xFFFF : p.text.size());
    out.push_back(static_cast<uint8_t>(len));
    out.push_back(static_cast<uint8_t>(len >> 8));
    out.insert(out.end(), p.text.begin(), p.text.begin() + len);
  }
  return out;
}

// "<0xNN>" with upper-case hex digits.
inline std::string byte_piece_text(unsigned b) {
  static const char* hex = "0123456789ABCDEF";
  return std::string("<0x") + hex[(b >> 4) & 15] + hex[b & 15] + ">";
}

}  // namespace pinnet::formats::testing
