#include "formats/tesk.h"

#include <bit>
#include <cstdio>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "core/checked_math.h"
#include "core/half.h"

namespace pinnet::formats {

namespace {

using core::Err;

// Callers bounds-check before every read.
uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
uint64_t le64(const uint8_t* p) {
  return static_cast<uint64_t>(le32(p)) | static_cast<uint64_t>(le32(p + 4)) << 32;
}
float lef32(const uint8_t* p) {
  uint32_t bits = le32(p);
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

using Bytes = std::span<const uint8_t>;

// Header word k of a buffer at least (k + 1) * 4 bytes long.
uint64_t word(Bytes b, size_t k) { return le32(b.data() + 4 * k); }

// The first min(count, cap) of the list words that start at `first`.
std::vector<uint64_t> clamped_list(Bytes b, size_t count_word, size_t first,
                                   size_t cap) {
  uint64_t n = word(b, count_word);
  if (n > cap) n = cap;
  std::vector<uint64_t> out;
  out.reserve(static_cast<size_t>(n));
  for (size_t i = 0; i < n; ++i) out.push_back(word(b, first + i));
  return out;
}


std::string hex32(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08x", v);
  return buf;
}

// offset + nbytes exactly, even where it exceeds 64 bits.
std::string exact_sum(uint64_t a, uint64_t b) {
  unsigned __int128 s = static_cast<unsigned __int128>(a) + b;
  if (s <= std::numeric_limits<uint64_t>::max()) return std::to_string(static_cast<uint64_t>(s));
  char digits[48];
  int n = 0;
  while (s != 0) {
    digits[n++] = static_cast<char>('0' + static_cast<int>(s % 10));
    s /= 10;
  }
  std::string out;
  while (n > 0) out.push_back(digits[--n]);
  return out;
}

std::string shape_text(const std::array<uint64_t, 4>& dims) {
  std::string out = "[";
  for (size_t d = 0; d < 4; ++d) {
    if (d) out += ", ";
    out += std::to_string(dims[d]);
  }
  out += ']';
  return out;
}

Err<TeskError> fail(TeskError::Variant v) { return Err{TeskError{std::move(v)}}; }

}  // namespace

std::string TeskError::to_string() const {
  using std::to_string;
  struct Printer {
    std::string operator()(const TooShort& e) const {
      return "tesk truncated: need at least " + to_string(e.need) + " bytes, got " + to_string(e.got);
    }
    std::string operator()(const BadTag& e) const {
      return "not a tesk blob: tag " + hex32(e.got) + ", want " + hex32(e.want);
    }
    std::string operator()(const BadCodebookLen& e) const {
      return "header codebook is " + to_string(e.count) + " floats, want 28 (cb2|cb3|cb4)";
    }
    std::string operator()(const BlobOutOfRange& e) const {
      return "tensor " + to_string(e.index) + " spans " + to_string(e.offset) + ".." +
             exact_sum(e.offset, e.nbytes) + " but the file is " + to_string(e.file) + " bytes";
    }
    std::string operator()(const BadNdim& e) const {
      return "tensor " + to_string(e.index) + " has ndim " + to_string(e.ndim) + ", want 0..=4";
    }
    std::string operator()(const DtypeMismatch& e) const {
      return "tensor " + to_string(e.index) + " has dtype " + to_string(e.got) + ", want " +
             to_string(e.want);
    }
    std::string operator()(const RaggedBlob& e) const {
      return "tensor " + to_string(e.index) + " has " + to_string(e.nbytes) +
             " bytes, not a whole element count";
    }
    std::string operator()(const TensorCountTooSmall& e) const {
      return "the canon for this geometry needs " + to_string(e.need) + " tensors, directory has " +
             to_string(e.got);
    }
    std::string operator()(const ShapeMismatch& e) const {
      return "tensor " + to_string(e.index) + " (" + e.what + "): shape " + shape_text(e.got) +
             " does not match geometry " + shape_text(e.want);
    }
    std::string operator()(const BadGeometry& e) const {
      return "header field " + e.label + " must be non-zero";
    }
    std::string operator()(const BadHeadManifest& e) const {
      return to_string(e.extra) + " trailing tensors is not 1 + 3*heads for any head count";
    }
    std::string operator()(const UnknownHeadCode& e) const {
      return "unknown probe-head code " + to_string(e.code);
    }
    std::string operator()(const Cq& e) const { return "cq: " + e.error.to_string(); }
  };
  return std::visit(Printer{}, v);
}

std::string TeskLoadError::to_string() const {
  if (const auto* f = std::get_if<FileError>(&v)) return f->message;
  return std::get<TeskError>(v).to_string();
}

namespace {

// Entries at base + 44*i; the caller has checked that all N fit in the buffer.
core::Result<std::vector<TensorEntry>, TeskError> parse_directory(Bytes b, size_t base, size_t count) {
  std::vector<TensorEntry> entries;
  entries.reserve(count);
  const uint64_t file = b.size();
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* p = b.data() + base + kTeskEntryBytes * i;
    TensorEntry e;
    e.dtype = p[0];
    e.ndim = p[1];
    for (size_t d = 0; d < 4; ++d) e.dims[d] = le32(p + 4 + 4 * d);
    e.offset = le64(p + 20);
    e.nbytes = le64(p + 28);
    e.group = le32(p + 36);
    e.bits = p[40];
    if (e.ndim > 4) return fail(TeskError::BadNdim{i, e.ndim});
    // Saturating end: offset + nbytes may wrap 64 bits.
    uint64_t end = e.offset > std::numeric_limits<uint64_t>::max() - e.nbytes
                       ? std::numeric_limits<uint64_t>::max()
                       : e.offset + e.nbytes;
    if (end > file) return fail(TeskError::BlobOutOfRange{i, e.offset, e.nbytes, file});
    entries.push_back(e);
  }
  return entries;
}

// The directory must fit after the codebook: need = base + 44*N, with N a
// 32-bit count so the product cannot wrap.
core::Result<std::monostate, TeskError> check_directory_fits(Bytes b, size_t base, uint64_t count) {
  uint64_t need = base + kTeskEntryBytes * count;
  if (b.size() < need) return fail(TeskError::TooShort{need, b.size()});
  return std::monostate{};
}

void copy_codebook(Bytes b, size_t base,
                   std::array<float, kTeskCodebookLen>& out) {
  for (size_t i = 0; i < kTeskCodebookLen; ++i) out[i] = lef32(b.data() + base + 4 * i);
}

}  // namespace

core::Result<TeskImage, TeskError> TeskImage::parse(TeskVersion version, ByteImage bytes) {
  TeskImage img;
  img.version_ = version;
  const Bytes b = bytes.bytes();
  size_t codebook_at, directory_at;
  uint64_t count;

  if (version == TeskVersion::V2) {
    if (b.size() < kTeskV2HeaderBytes) return fail(TeskError::TooShort{kTeskV2HeaderBytes, b.size()});
    uint32_t tag = static_cast<uint32_t>(word(b, 0));
    if (tag != TESK_MAGIC_V2) return fail(TeskError::BadTag{tag, TESK_MAGIC_V2});
    TeskHeaderV2& h = img.v2_;
    h.tensor_count = word(b, 1);
    h.codebook_len = word(b, 2);
    h.kv_window = word(b, 3);
    h.reserved = word(b, 4);
    h.vocab = word(b, 5);
    h.d_model = word(b, 6);
    h.num_heads = word(b, 7);
    h.num_kv_heads = word(b, 8);
    h.num_layers = word(b, 9);
    h.head_dim = word(b, 10);
    h.max_seq_len = word(b, 11);
    h.hada_n = word(b, 12);
    h.mhc_lanes = word(b, 13);
    h.table_rows = word(b, 14);
    h.sub_dim = word(b, 15);
    h.num_tables = word(b, 16);
    h.conv_taps = word(b, 17);
    h.tap_spacing = word(b, 18);
    h.orders = clamped_list(b, 19, 20, 4);
    h.engram_sites = clamped_list(b, 24, 25, 4);
    h.rope_theta = lef32(b.data() + 116);

    const std::pair<uint64_t, const char*> nonzero[] = {
        {h.vocab, "vocab"},         {h.d_model, "d_model"},       {h.num_heads, "num_heads"},
        {h.num_kv_heads, "num_kv_heads"}, {h.num_layers, "num_layers"}, {h.head_dim, "head_dim"},
        {h.max_seq_len, "max_seq_len"}, {h.mhc_lanes, "mhc_lanes"}};
    for (const auto& [value, label] : nonzero)
      if (value == 0) return fail(TeskError::BadGeometry{label});
    if (h.num_heads % h.num_kv_heads != 0)
      return fail(TeskError::BadGeometry{"num_heads % num_kv_heads"});
    if (h.hada_n < h.d_model || !core::is_power_of_two(h.hada_n))
      return fail(TeskError::BadGeometry{"hada_n"});
    if (!h.engram_sites.empty()) {
      if (h.table_rows == 0 || h.sub_dim == 0 || h.num_tables == 0)
        return fail(TeskError::BadGeometry{"engram geometry"});
      for (uint64_t site : h.engram_sites)
        if (site >= h.num_layers) return fail(TeskError::BadGeometry{"engram_sites beyond num_layers"});
    }
    if (h.codebook_len != kTeskCodebookLen) return fail(TeskError::BadCodebookLen{h.codebook_len});
    count = h.tensor_count;
    codebook_at = kTeskV2HeaderBytes;
  } else {
    if (b.size() < kTeskV3HeaderBytes) return fail(TeskError::TooShort{kTeskV3HeaderBytes, b.size()});
    uint32_t tag = static_cast<uint32_t>(word(b, 0));
    if (tag != TESK_MAGIC_V3) return fail(TeskError::BadTag{tag, TESK_MAGIC_V3});
    TeskHeaderV3& h = img.v3_;
    h.tensor_count = word(b, 1);
    h.codebook_len = word(b, 2);
    h.reserved3 = word(b, 3);
    h.reserved4 = word(b, 4);
    h.vocab_size = word(b, 5);
    h.logit_count = word(b, 6);
    h.d_model = word(b, 7);
    h.num_heads = word(b, 8);
    h.num_kv_heads = word(b, 9);
    h.num_layers = word(b, 10);
    h.head_dim = word(b, 11);
    h.v_head_dim = word(b, 12);
    h.max_seq_len = word(b, 13);
    h.hada_n = word(b, 14);
    h.mhc_lanes = word(b, 15);
    h.kv_window = word(b, 16);
    h.global_layer_mask = word(b, 17) | word(b, 18) << 32;
    h.qkv_conv_taps = word(b, 19);
    h.table_rows = word(b, 20);
    h.sub_dim = word(b, 21);
    h.num_tables = word(b, 22);
    h.conv_taps = word(b, 23);
    h.tap_spacing = word(b, 24);
    h.hash_stride = word(b, 25);
    h.orders = clamped_list(b, 26, 27, 4);
    h.engram_sites = clamped_list(b, 31, 32, 16);
    h.rope_theta = lef32(b.data() + 192);
    if (h.codebook_len != kTeskCodebookLen) return fail(TeskError::BadCodebookLen{h.codebook_len});
    count = h.tensor_count;
    codebook_at = kTeskV3HeaderBytes;
  }

  directory_at = codebook_at + 4 * kTeskCodebookLen;
  if (auto fits = check_directory_fits(b, directory_at, count); !fits) return Err{fits.error()};
  copy_codebook(b, codebook_at, img.codebook_);
  auto entries = parse_directory(b, directory_at, static_cast<size_t>(count));
  if (!entries) return Err{entries.error()};
  img.entries_ = std::move(entries).value();
  img.image_ = std::move(bytes);
  return img;
}

core::Result<TeskImage, TeskError> TeskImage::from_bytes(TeskVersion version,
                                                         std::span<const uint8_t> bytes) {
  return parse(version, ByteImage::owning(std::vector<uint8_t>(bytes.begin(), bytes.end())));
}

core::Result<TeskImage, TeskLoadError> TeskImage::load(TeskVersion version, const std::string& path) {
  auto bytes = ByteImage::map_file(path);
  if (!bytes) return Err{TeskLoadError{bytes.error()}};
  auto image = parse(version, std::move(bytes).value());
  if (!image) return Err{TeskLoadError{image.error()}};
  return std::move(image).value();
}

const TeskHeaderV2& TeskImage::header_v2() const {
  if (version_ != TeskVersion::V2) throw std::logic_error("tesk image is not generation 2");
  return v2_;
}

const TeskHeaderV3& TeskImage::header_v3() const {
  if (version_ != TeskVersion::V3) throw std::logic_error("tesk image is not generation 3");
  return v3_;
}

const TensorEntry& TeskImage::entry(size_t index) const {
  if (index >= entries_.size())
    throw std::out_of_range("tensor index " + std::to_string(index) + " is beyond the directory (" +
                            std::to_string(entries_.size()) + " entries)");
  return entries_[index];
}

core::Result<std::vector<float>, TeskError> TeskImage::tensor_floats(size_t index) const {
  const TensorEntry& e = entry(index);
  // The span lies inside the image (checked at parse), so the element count
  // is bounded by the file size.
  const uint8_t* data = image_.data() + e.offset;
  const size_t nbytes = static_cast<size_t>(e.nbytes);
  if (e.dtype == DTYPE_F16) {
    if (nbytes % 2 != 0) return fail(TeskError::RaggedBlob{index, e.nbytes});
    std::vector<float> out(nbytes / 2);
    core::halves_to_floats(data, out.size(), out.data());
    return out;
  }
  if (e.dtype == DTYPE_F32) {
    if (nbytes % 4 != 0) return fail(TeskError::RaggedBlob{index, e.nbytes});
    std::vector<float> out(nbytes / 4);
    if constexpr (std::endian::native == std::endian::little) {
      if (!out.empty()) std::memcpy(out.data(), data, nbytes);
    } else {
      for (size_t i = 0; i < out.size(); ++i) out[i] = lef32(data + 4 * i);
    }
    return out;
  }
  return fail(TeskError::DtypeMismatch{index, DTYPE_F16, e.dtype});
}

core::Result<core::CqTensor, TeskError> TeskImage::tensor_cq(size_t index) const {
  const TensorEntry& e = entry(index);
  if (e.dtype != DTYPE_CQ) return fail(TeskError::DtypeMismatch{index, DTYPE_CQ, e.dtype});
  std::span<const uint8_t> blob(image_.data() + e.offset, static_cast<size_t>(e.nbytes));
  auto cq = core::CqTensor::create(e.dims[0], e.dims[1], e.group, e.bits, blob,
                                   std::span<const float>(codebook_),
                                   core::CqBlobSource{true, image_.keeper()});
  if (!cq) return fail(TeskError::Cq{cq.error()});
  return std::move(cq).value();
}

core::Result<std::span<const uint8_t>, TeskError> TeskImage::tensor_bytes(size_t index) const {
  const TensorEntry& e = entry(index);
  if (e.dtype != DTYPE_BYTES) return fail(TeskError::DtypeMismatch{index, DTYPE_BYTES, e.dtype});
  return std::span<const uint8_t>(image_.data() + e.offset, static_cast<size_t>(e.nbytes));
}

core::Result<std::monostate, TeskError> TeskImage::check_shape(size_t index,
                                                               std::span<const uint64_t> expected,
                                                               std::string_view label) const {
  const TensorEntry& e = entry(index);
  if (expected.size() > 4)
    throw std::invalid_argument("check_shape: expected rank " + std::to_string(expected.size()) +
                                " exceeds 4");
  std::array<uint64_t, 4> want{}, got{};
  for (size_t d = 0; d < expected.size(); ++d) want[d] = expected[d];
  for (size_t d = 0; d < e.ndim; ++d) got[d] = e.dims[d];
  if (e.ndim == expected.size() && want == got) return std::monostate{};
  return fail(TeskError::ShapeMismatch{index, std::string(label), want, got});
}

}  // namespace pinnet::formats
