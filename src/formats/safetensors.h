// The generation-1 weight file: a little-endian u64 header length n, n bytes
// of JSON header text, then the raw tensor bytes (the data section).
//
// The header is read by a small scanner rather than a JSON parser: it takes
// the top-level key/value pairs, reads the "__metadata__" object as a map of
// texts, and reads every other pair as a tensor entry by searching its value
// for the quoted field names "dtype", "shape" and "data_offsets". Keys are
// kept exactly as written between their quotes (escapes are not decoded). A
// later pair of the same name replaces an earlier one.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/result.h"
#include "formats/byte_hash.h"
#include "formats/byte_image.h"

namespace pinnet::formats {

// Element types; I4 packs two signed 4-bit values per byte, low nibble first.
enum class StDtype : uint8_t { kF32 = 0, kBF16 = 1, kF16 = 2, kI8 = 3, kI4 = 4 };

struct StTensor {
  StDtype dtype;
  std::vector<uint64_t> shape;
  uint64_t begin = 0, end = 0;  // data_offsets, relative to the data section
};

class SafetensorsFile {
 public:
  // The first failing check gives the whole error text: "buffer too short",
  // "truncated header", "invalid UTF-8 header", "expected JSON object",
  // "missing dtype for NAME", "missing shape for NAME", "missing data_offsets
  // for NAME", "data_offsets must have 2 elements", "unknown dtype STRING".
  // Offsets are not compared with the data section here (see tensor_bytes).
  // Only the header is read. The file holds `bytes` as its storage (a view's
  // bytes must outlive the file).
  static core::Result<SafetensorsFile, std::string> parse(ByteImage bytes);
  // Copies `bytes` first; they are not referenced afterwards.
  static core::Result<SafetensorsFile, std::string> parse(std::span<const uint8_t> bytes);
  // Maps the file first; a file that cannot be mapped gives the operating
  // system's text.
  static core::Result<SafetensorsFile, std::string> load(const std::string& path);

  const StTensor* tensor(std::string_view name) const;  // null when absent
  // The tensor's bytes; nullopt when absent or its offsets are reversed or
  // past the data section. Valid as long as this object.
  std::optional<std::span<const uint8_t>> tensor_bytes(std::string_view name) const;
  // The values as floats by dtype: F32 floor(bytes/4) values, BF16 and F16
  // floor(bytes/2) (widened exactly), I8 one per byte (no scale), I4 two per
  // byte. Nullopt when absent, when the offsets are bad, or when an I4
  // tensor's shape volume is not twice its byte count (then one warning line
  // goes to standard error).
  std::optional<std::vector<float>> tensor_f32(std::string_view name) const;
  std::optional<std::string_view> metadata(std::string_view key) const;
  size_t tensor_count() const { return tensors_.size(); }

  // Sorted by name (byte order), so listings never follow hash order.
  std::vector<std::string_view> tensor_names() const;
  std::vector<std::pair<std::string_view, std::string_view>> metadata_entries() const;
  uint64_t data_size() const { return image_.size() - data_offset_; }

 private:
  template <class V>
  using Map = std::unordered_map<std::string, V, SeededStringHash, std::equal_to<>>;

  SafetensorsFile() = default;
  // The bytes of `t`, or nullopt when its offsets are reversed or past the data.
  std::optional<std::span<const uint8_t>> bytes_of(const StTensor& t) const;

  ByteImage image_;  // the whole file; the data section starts at data_offset_
  size_t data_offset_ = 0;
  Map<StTensor> tensors_;
  Map<std::string> metadata_;
};

// The text of a dtype ("F32", "BF16", "F16", "I8", "I4").
std::string_view st_dtype_name(StDtype dtype);

}  // namespace pinnet::formats
