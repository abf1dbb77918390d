#include "formats/safetensors.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>

#include "core/half.h"
#include "formats/decimal.h"
#include "formats/utf8.h"

namespace pinnet::formats {
namespace {

static_assert(std::endian::native == std::endian::little,
              "tensor bytes are copied as host floats");

using Error = core::Err<std::string>;

struct Pair {
  std::string_view key;
  std::string_view value;
};

bool is_pair_gap(char c) { return c == '\t' || c == '\n' || c == '\r' || c == ' ' || c == ','; }
bool is_value_lead_space(char c) {
  return c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' ';
}

// Index of the closing quote of a string whose body starts at `i`; a
// backslash skips the character after it. npos when unterminated.
size_t closing_quote(std::string_view s, size_t i) {
  while (i < s.size()) {
    if (s[i] == '"') return i;
    i += s[i] == '\\' ? 2 : 1;
  }
  return std::string_view::npos;
}

// The key/value pairs of the text inside one pair of braces, in order. The
// scan stops quietly at the first thing that does not fit; a value never
// fails (an unterminated one runs to the end of the text).
std::vector<Pair> scan_pairs(std::string_view s) {
  std::vector<Pair> pairs;
  const size_t n = s.size();
  size_t i = 0;
  for (;;) {
    while (i < n && is_pair_gap(s[i])) ++i;
    if (i >= n || s[i] != '"') break;
    const size_t key_end = closing_quote(s, i + 1);
    if (key_end == std::string_view::npos) break;
    const std::string_view key = s.substr(i + 1, key_end - i - 1);
    const size_t colon = s.find(':', key_end + 1);
    if (colon == std::string_view::npos) break;
    i = colon + 1;
    while (i < n && is_value_lead_space(s[i])) ++i;
    if (i >= n) break;

    size_t end;
    if (s[i] == '"') {
      const size_t q = closing_quote(s, i + 1);
      end = q == std::string_view::npos ? n : q + 1;
    } else if (s[i] == '{') {
      // Brackets of both kinds count; quotes are not considered.
      size_t depth = 0;
      end = n;
      for (size_t j = i; j < n; ++j) {
        if (s[j] == '{' || s[j] == '[') {
          ++depth;
        } else if ((s[j] == '}' || s[j] == ']') && --depth == 0) {
          end = j + 1;
          break;
        }
      }
    } else {
      end = std::min(s.find_first_of(",}", i), n);
    }
    pairs.push_back({key, s.substr(i, end - i)});
    i = end;
  }
  return pairs;
}

// The text inside `{...}` when `text` is such an object.
std::optional<std::string_view> object_body(std::string_view text) {
  if (text.size() < 2 || text.front() != '{' || text.back() != '}') return std::nullopt;
  return text.substr(1, text.size() - 2);
}

// Position right after the first `"word"` in `entry`.
std::optional<size_t> after_field(std::string_view entry, std::string_view quoted_word) {
  const size_t at = entry.find(quoted_word);
  if (at == std::string_view::npos) return std::nullopt;
  return at + quoted_word.size();
}

std::optional<std::string_view> field_string(std::string_view entry, std::string_view quoted_word) {
  const auto at = after_field(entry, quoted_word);
  if (!at) return std::nullopt;
  const size_t colon = entry.find(':', *at);
  if (colon == std::string_view::npos) return std::nullopt;
  const std::string_view rest = trim_white_space_front(entry.substr(colon + 1));
  if (rest.empty() || rest.front() != '"') return std::nullopt;
  const size_t close = rest.find('"', 1);
  if (close == std::string_view::npos) return std::nullopt;
  return rest.substr(1, close - 1);
}

// The unsigned integers between the first '[' after `"word"` and the next
// ']'; blank brackets give the empty list.
std::optional<std::vector<uint64_t>> field_list(std::string_view entry, std::string_view quoted_word) {
  const auto at = after_field(entry, quoted_word);
  if (!at) return std::nullopt;
  const size_t open = entry.find('[', *at);
  if (open == std::string_view::npos) return std::nullopt;
  const size_t close = entry.find(']', open + 1);
  if (close == std::string_view::npos) return std::nullopt;
  std::string_view inner = entry.substr(open + 1, close - open - 1);
  std::vector<uint64_t> out;
  if (trim_white_space(inner).empty()) return out;
  for (;;) {
    const size_t comma = inner.find(',');
    const auto v = parse_decimal_u64(trim_white_space(inner.substr(0, comma)));
    if (!v) return std::nullopt;
    out.push_back(*v);
    if (comma == std::string_view::npos) return out;
    inner.remove_prefix(comma + 1);
  }
}

std::optional<StDtype> dtype_of(std::string_view s) {
  for (auto d : {StDtype::kF32, StDtype::kBF16, StDtype::kF16, StDtype::kI8, StDtype::kI4}) {
    if (s == st_dtype_name(d)) return d;
  }
  return std::nullopt;
}

core::Result<StTensor, std::string> parse_entry(std::string_view name, std::string_view entry) {
  const auto dtype = field_string(entry, "\"dtype\"");
  if (!dtype) return Error{"missing dtype for " + std::string(name)};
  auto shape = field_list(entry, "\"shape\"");
  if (!shape) return Error{"missing shape for " + std::string(name)};
  const auto offsets = field_list(entry, "\"data_offsets\"");
  if (!offsets) return Error{"missing data_offsets for " + std::string(name)};
  if (offsets->size() != 2) return Error{std::string("data_offsets must have 2 elements")};
  const auto code = dtype_of(*dtype);
  if (!code) return Error{"unknown dtype " + std::string(*dtype)};
  return StTensor{*code, std::move(*shape), (*offsets)[0], (*offsets)[1]};
}

std::string shape_text(const std::vector<uint64_t>& shape) {
  std::string s = "[";
  for (size_t i = 0; i < shape.size(); ++i) {
    if (i) s += ", ";
    s += std::to_string(shape[i]);
  }
  return s + "]";
}

}  // namespace

std::string_view st_dtype_name(StDtype dtype) {
  switch (dtype) {
    case StDtype::kF32: return "F32";
    case StDtype::kBF16: return "BF16";
    case StDtype::kF16: return "F16";
    case StDtype::kI8: return "I8";
    case StDtype::kI4: return "I4";
  }
  return "?";
}

core::Result<SafetensorsFile, std::string> SafetensorsFile::parse(std::span<const uint8_t> bytes) {
  return parse(ByteImage::owning(std::vector<uint8_t>(bytes.begin(), bytes.end())));
}

core::Result<SafetensorsFile, std::string> SafetensorsFile::load(const std::string& path) {
  auto bytes = ByteImage::map_file(path);
  if (!bytes) return Error{bytes.error().message};
  return parse(std::move(bytes).value());
}

core::Result<SafetensorsFile, std::string> SafetensorsFile::parse(ByteImage image) {
  const std::span<const uint8_t> bytes = image.bytes();
  if (bytes.size() < 8) return Error{std::string("buffer too short")};
  uint64_t header_len = 0;
  for (int i = 7; i >= 0; --i) header_len = header_len << 8 | bytes[static_cast<size_t>(i)];
  // Compared without forming 8 + n, which may overflow.
  if (header_len > bytes.size() - 8) return Error{std::string("truncated header")};
  const std::string_view header(reinterpret_cast<const char*>(bytes.data()) + 8,
                                static_cast<size_t>(header_len));
  if (!is_valid_utf8(header)) return Error{std::string("invalid UTF-8 header")};
  const auto body = object_body(trim_white_space(header));
  if (!body) return Error{std::string("expected JSON object")};

  SafetensorsFile file;
  for (const Pair& pair : scan_pairs(*body)) {
    if (pair.key == "__metadata__") {
      Map<std::string> metadata;
      if (const auto inner = object_body(trim_white_space(pair.value))) {
        for (const Pair& m : scan_pairs(*inner)) {
          std::string_view v = m.value;
          if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
          metadata.insert_or_assign(std::string(m.key), std::string(v));
        }
      }
      file.metadata_ = std::move(metadata);
      continue;
    }
    auto entry = parse_entry(pair.key, pair.value);
    if (!entry) return Error{entry.error()};
    file.tensors_.insert_or_assign(std::string(pair.key), std::move(entry.value()));
  }

  file.data_offset_ = 8 + static_cast<size_t>(header_len);
  file.image_ = std::move(image);
  return file;
}

const StTensor* SafetensorsFile::tensor(std::string_view name) const {
  const auto it = tensors_.find(name);
  return it == tensors_.end() ? nullptr : &it->second;
}

std::optional<std::span<const uint8_t>> SafetensorsFile::bytes_of(const StTensor& t) const {
  if (t.end < t.begin || t.end > data_size()) return std::nullopt;
  return std::span<const uint8_t>(image_.data() + data_offset_ + t.begin,
                                  static_cast<size_t>(t.end - t.begin));
}

std::optional<std::span<const uint8_t>> SafetensorsFile::tensor_bytes(std::string_view name) const {
  const StTensor* t = tensor(name);
  return t == nullptr ? std::nullopt : bytes_of(*t);
}

std::optional<std::vector<float>> SafetensorsFile::tensor_f32(std::string_view name) const {
  const StTensor* t = tensor(name);
  if (t == nullptr) return std::nullopt;
  const auto span = bytes_of(*t);
  if (!span) return std::nullopt;
  const uint8_t* p = span->data();
  const size_t nbytes = span->size();
  std::vector<float> out;
  switch (t->dtype) {
    case StDtype::kF32:
      out.resize(nbytes / 4);
      if (!out.empty()) std::memcpy(out.data(), p, out.size() * 4);
      break;
    case StDtype::kBF16:
      // A plain loop the compiler widens several lanes at a time.
      out.resize(nbytes / 2);
      for (size_t i = 0; i < out.size(); ++i) {
        const uint32_t bits = (uint32_t{p[2 * i]} | uint32_t{p[2 * i + 1]} << 8) << 16;
        out[i] = std::bit_cast<float>(bits);
      }
      break;
    case StDtype::kF16:
      out.resize(nbytes / 2);
      core::halves_to_floats(p, out.size(), out.data());
      break;
    case StDtype::kI8:
      out.resize(nbytes);
      for (size_t i = 0; i < nbytes; ++i) out[i] = static_cast<float>(static_cast<int8_t>(p[i]));
      break;
    case StDtype::kI4: {
      const std::vector<uint64_t>& shape = t->shape;
      uint64_t vol = 1;
      bool overflow = false;
      for (uint64_t d : shape) overflow |= __builtin_mul_overflow(vol, d, &vol);
      if (overflow || vol != 2 * uint64_t{nbytes}) {
        std::fprintf(stderr,
                     "[pinnet] I4 tensor shape mismatch: bytes*2=%llu but shape=%s (vol=%s); "
                     "returning empty\n",
                     static_cast<unsigned long long>(2 * uint64_t{nbytes}),
                     shape_text(shape).c_str(),
                     overflow ? "overflow" : std::to_string(vol).c_str());
        return std::nullopt;
      }
      out.resize(2 * nbytes);
      for (size_t i = 0; i < nbytes; ++i) {
        // Sign-extend each nibble: shift it to the top of a signed byte and back.
        out[2 * i] = static_cast<float>(static_cast<int8_t>(p[i] << 4) >> 4);
        out[2 * i + 1] = static_cast<float>(static_cast<int8_t>(p[i]) >> 4);
      }
      break;
    }
  }
  return out;
}

std::optional<std::string_view> SafetensorsFile::metadata(std::string_view key) const {
  const auto it = metadata_.find(key);
  if (it == metadata_.end()) return std::nullopt;
  return std::string_view(it->second);
}

std::vector<std::string_view> SafetensorsFile::tensor_names() const {
  std::vector<std::string_view> names;
  names.reserve(tensors_.size());
  for (const auto& [name, t] : tensors_) names.emplace_back(name);
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::pair<std::string_view, std::string_view>> SafetensorsFile::metadata_entries() const {
  std::vector<std::pair<std::string_view, std::string_view>> entries;
  entries.reserve(metadata_.size());
  for (const auto& [k, v] : metadata_) entries.emplace_back(k, v);
  std::sort(entries.begin(), entries.end());
  return entries;
}

}  // namespace pinnet::formats
