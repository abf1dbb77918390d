// The .tesk container of generations 2 and 3: a fixed header with the model
// geometry, 28 shared codebook floats, a directory of 44-byte tensor entries
// and the tensor bytes, all little-endian, parsed from one ByteImage (a
// mapped file, an owned buffer or a caller's bytes).
//
// Tensors carry no names; their meaning is their directory position, which
// the binders of each generation fix. This reader validates the header and
// the directory (every entry's byte span lies inside the image) without
// touching a tensor byte, and offers typed accessors that decode a tensor
// out of the image on demand; quantised codes are borrowed in place.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/cq.h"
#include "core/result.h"
#include "formats/byte_image.h"

namespace pinnet::formats {

inline constexpr uint32_t TESK_MAGIC_V2 = 0x05E12A83u;  // bytes 83 2A E1 05
inline constexpr uint32_t TESK_MAGIC_V3 = 0x05E12A84u;  // bytes 84 2A E1 05

inline constexpr uint8_t DTYPE_F16 = 1;    // binary16, read widened to f32
inline constexpr uint8_t DTYPE_F32 = 2;    // binary32
inline constexpr uint8_t DTYPE_CQ = 3;     // codebook-quantised matrix
inline constexpr uint8_t DTYPE_BYTES = 4;  // opaque bytes (the tokenizer)

inline constexpr size_t kTeskCodebookLen = 28;  // cb2 (4) | cb3 (8) | cb4 (16)
inline constexpr size_t kTeskEntryBytes = 44;
inline constexpr size_t kTeskV2HeaderBytes = 120;  // 30 words
inline constexpr size_t kTeskV3HeaderBytes = 196;  // 49 words

enum class TeskVersion : uint8_t { V2 = 2, V3 = 3 };

// One directory entry, widened. dims beyond ndim are whatever the file holds:
// shape comparisons treat them as 0, the quantised accessor reads dims[0] and
// dims[1] as stored.
struct TensorEntry {
  std::array<uint64_t, 4> dims{};  // row-major, outermost first
  uint64_t offset = 0;             // absolute byte offset of the data in the file
  uint64_t nbytes = 0;             // data length; offset + nbytes <= file size
  uint64_t group = 0;              // quantisation group (dtype 3 only)
  uint8_t dtype = 0;
  uint8_t ndim = 0;                // 0..=4
  uint8_t bits = 0;                // quantisation bits code (dtype 3 only)
};

// Generation-2 header (30 words). Every count is widened to 64 bits.
struct TeskHeaderV2 {
  uint64_t tensor_count = 0;  // word 1
  uint64_t codebook_len = 0;  // word 2, always 28 in a parsed image
  uint64_t kv_window = 0;     // word 3, 0 = unwindowed
  uint64_t reserved = 0;      // word 4, not interpreted
  uint64_t vocab = 0;
  uint64_t d_model = 0;
  uint64_t num_heads = 0;
  uint64_t num_kv_heads = 0;  // divides num_heads
  uint64_t num_layers = 0;
  uint64_t head_dim = 0;
  uint64_t max_seq_len = 0;
  uint64_t hada_n = 0;        // power of two, >= d_model
  uint64_t mhc_lanes = 0;
  uint64_t table_rows = 0;    // engram table rows
  uint64_t sub_dim = 0;       // engram row width
  uint64_t num_tables = 0;
  uint64_t conv_taps = 0;
  uint64_t tap_spacing = 0;
  std::vector<uint64_t> orders;        // the first min(order count, 4) of words 20..23
  std::vector<uint64_t> engram_sites;  // the first min(site count, 4) of words 25..28, each < num_layers
  float rope_theta = 0.0f;             // word 29
};

// Generation-3 header (49 words). Geometry is validated by the binder, not
// here, so any field may be 0.
struct TeskHeaderV3 {
  uint64_t tensor_count = 0;  // word 1
  uint64_t codebook_len = 0;  // word 2, always 28 in a parsed image
  uint64_t reserved3 = 0;     // words 3, 4: not interpreted
  uint64_t reserved4 = 0;
  uint64_t vocab_size = 0;    // word 5
  uint64_t logit_count = 0;   // 0 means vocab_size
  uint64_t d_model = 0;
  uint64_t num_heads = 0;
  uint64_t num_kv_heads = 0;
  uint64_t num_layers = 0;
  uint64_t head_dim = 0;
  uint64_t v_head_dim = 0;    // word 12, value width per head
  uint64_t max_seq_len = 0;
  uint64_t hada_n = 0;
  uint64_t mhc_lanes = 0;
  uint64_t kv_window = 0;            // word 16
  uint64_t global_layer_mask = 0;    // words 17 (low), 18 (high)
  uint64_t qkv_conv_taps = 0;        // word 19
  uint64_t table_rows = 0;           // word 20
  uint64_t sub_dim = 0;              // word 21
  uint64_t num_tables = 0;           // word 22, all orders together
  uint64_t conv_taps = 0;
  uint64_t tap_spacing = 0;
  uint64_t hash_stride = 0;          // word 25
  std::vector<uint64_t> orders;        // first min(word 26, 4) of words 27..30
  std::vector<uint64_t> engram_sites;  // first min(word 31, 16) of words 32..47
  float rope_theta = 0.0f;             // word 48
};

// A container failure. Every variant prints as its fixed text; the binders
// raise TensorCountTooSmall, ShapeMismatch, BadGeometry, BadHeadManifest and
// UnknownHeadCode through the same type.
struct TeskError {
  struct TooShort { uint64_t need; uint64_t got; };
  struct BadTag { uint32_t got; uint32_t want; };
  struct BadCodebookLen { uint64_t count; };
  struct BlobOutOfRange { uint64_t index; uint64_t offset; uint64_t nbytes; uint64_t file; };
  struct BadNdim { uint64_t index; uint8_t ndim; };
  struct DtypeMismatch { uint64_t index; uint8_t want; uint8_t got; };
  struct RaggedBlob { uint64_t index; uint64_t nbytes; };
  struct TensorCountTooSmall { uint64_t need; uint64_t got; };
  struct ShapeMismatch {
    uint64_t index;
    std::string what;
    std::array<uint64_t, 4> want;  // unused positions 0
    std::array<uint64_t, 4> got;   // unused positions 0
  };
  struct BadGeometry { std::string label; };
  struct BadHeadManifest { uint64_t extra; };
  struct UnknownHeadCode { uint8_t code; };
  struct Cq { core::CqError error; };

  using Variant = std::variant<TooShort, BadTag, BadCodebookLen, BlobOutOfRange, BadNdim,
                               DtypeMismatch, RaggedBlob, TensorCountTooSmall, ShapeMismatch,
                               BadGeometry, BadHeadManifest, UnknownHeadCode, Cq>;
  Variant v;

  template <class T>
  bool is() const { return std::holds_alternative<T>(v); }
  template <class T>
  const T& as() const { return std::get<T>(v); }

  std::string to_string() const;
};

// What load(path) can fail with: a file that could not be mapped or an
// invalid container.
struct TeskLoadError {
  std::variant<FileError, TeskError> v;
  bool is_file_error() const { return std::holds_alternative<FileError>(v); }
  std::string to_string() const;
};

// A parsed container. Immutable; holds its ByteImage (so quantised tensors
// may borrow from it, see tensor_cq); move-only.
class TeskImage {
 public:
  // Validates header, codebook and directory in the fixed order, reading
  // only their bytes; the first failing check is returned.
  static core::Result<TeskImage, TeskError> parse(TeskVersion version, ByteImage bytes);
  static core::Result<TeskImage, TeskError> parse_v2(ByteImage bytes) {
    return parse(TeskVersion::V2, std::move(bytes));
  }
  static core::Result<TeskImage, TeskError> parse_v3(ByteImage bytes) {
    return parse(TeskVersion::V3, std::move(bytes));
  }
  // Copies the caller's bytes, then parses.
  static core::Result<TeskImage, TeskError> from_bytes(TeskVersion version,
                                                       std::span<const uint8_t> bytes);
  // Maps the file, then parses.
  static core::Result<TeskImage, TeskLoadError> load(TeskVersion version, const std::string& path);

  TeskImage(TeskImage&&) noexcept = default;
  TeskImage& operator=(TeskImage&&) noexcept = default;
  TeskImage(const TeskImage&) = delete;
  TeskImage& operator=(const TeskImage&) = delete;

  TeskVersion version() const { return version_; }
  // The header of the image's own version; asking for the other one is a
  // programming error (std::logic_error).
  const TeskHeaderV2& header_v2() const;
  const TeskHeaderV3& header_v3() const;

  const std::array<float, kTeskCodebookLen>& codebook() const { return codebook_; }
  size_t tensor_count() const { return entries_.size(); }
  const std::vector<TensorEntry>& entries() const { return entries_; }
  const TensorEntry& entry(size_t index) const;  // std::out_of_range past the directory
  std::span<const uint8_t> buffer() const { return image_.bytes(); }

  // Accessors. An index at or beyond tensor_count() is a programming error
  // (std::out_of_range); binders check the count first.

  // Dtype 1 (widened exactly) or 2 (copied) → nbytes/2 or nbytes/4 floats.
  core::Result<std::vector<float>, TeskError> tensor_floats(size_t index) const;
  // Dtype 3 → CqTensor with rows = dims[0], cols = dims[1], the entry's group
  // and bits and the 28 codebook floats. Its codes are borrowed from the
  // image and keep the image's bytes alive (a view's bytes are the caller's
  // to keep).
  core::Result<core::CqTensor, TeskError> tensor_cq(size_t index) const;
  // Dtype 4 → the data, borrowed from the image's buffer.
  core::Result<std::span<const uint8_t>, TeskError> tensor_bytes(size_t index) const;
  // Equal only if ndim == expected.size() and the four positions agree with
  // both sides padded by 0. expected.size() > 4 is a programming error.
  core::Result<std::monostate, TeskError> check_shape(size_t index,
                                                      std::span<const uint64_t> expected,
                                                      std::string_view label) const;

 private:
  TeskImage() = default;

  ByteImage image_;
  TeskVersion version_ = TeskVersion::V2;
  TeskHeaderV2 v2_;
  TeskHeaderV3 v3_;
  std::array<float, kTeskCodebookLen> codebook_{};
  std::vector<TensorEntry> entries_;
};

}  // namespace pinnet::formats
