#include "engine/completion_text.h"

#include <algorithm>

namespace pinnet::engine {

std::string compact_tools_json(std::string_view tools_json) {
  // Working byte-wise is the same as working per scalar value here: every
  // byte the rules look at is ASCII, and UTF-8 continuation and lead bytes
  // are never ASCII, so multi-byte characters are always copied whole.
  std::string out;
  out.reserve(tools_json.size());
  bool in_string = false;
  bool escaped = false;
  for (char c : tools_json) {
    if (!in_string) {
      if (c == '\t' || c == '\n' || c == '\r' || c == ' ') continue;
      if (c == '"') in_string = true;
      out.push_back(c);
      continue;
    }
    out.push_back(c);
    if (escaped) {
      escaped = false;
    } else if (c == '\\') {
      escaped = true;
    } else if (c == '"') {
      in_string = false;
    }
  }
  return out;
}

std::string build_prompt(std::string_view query, std::string_view tools_json,
                         std::optional<std::string_view> system) {
  using namespace markers;
  std::string tools = compact_tools_json(tools_json);
  std::string p;
  p.reserve(query.size() + tools.size() + (system ? system->size() : 0) + 96);
  if (system) {
    p.append(kImStart).append("system\n").append(*system).append(kImEnd).append("\n");
  }
  p.append(kImStart).append("user\n").append(kToolsOpen).append(tools).append(kToolsClose).append("\n");
  p.append(query).append(kImEnd).append("\n");
  p.append(kImStart).append("assistant\n");
  return p;
}

std::string scoring_text(std::string_view query, std::string_view tools_json,
                         std::string_view completion) {
  std::string s = build_prompt(query, tools_json, std::nullopt);
  s.append(completion);
  return s;
}

std::optional<std::string_view> extract_between(std::string_view text,
                                                std::string_view open,
                                                std::string_view close) {
  size_t at = text.find(open);
  if (at == std::string_view::npos) return std::nullopt;
  size_t start = at + open.size();
  size_t end = text.find(close, start);
  if (end == std::string_view::npos) end = text.size();
  return text.substr(start, end - start);
}

namespace {

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

// Length of the UTF-8 sequence led by byte b; 0 for a continuation byte or an
// invalid lead. Input reaching here comes from valid UTF-8 text.
size_t utf8_len(unsigned char b) {
  if (b < 0x80) return 1;
  if ((b & 0xE0) == 0xC0) return 2;
  if ((b & 0xF0) == 0xE0) return 3;
  if ((b & 0xF8) == 0xF0) return 4;
  return 0;
}

// Decodes the character starting at `i`; returns false when the bytes there
// are not a complete sequence (then nothing is trimmed past this point).
bool decode_at(std::string_view s, size_t i, char32_t* out, size_t* len) {
  size_t n = utf8_len(static_cast<unsigned char>(s[i]));
  if (n == 0 || i + n > s.size()) return false;
  char32_t c = n == 1 ? static_cast<unsigned char>(s[i])
                      : static_cast<unsigned char>(s[i]) & (0x7F >> n);
  for (size_t k = 1; k < n; ++k) {
    unsigned char b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) return false;
    c = (c << 6) | (b & 0x3F);
  }
  *out = c;
  *len = n;
  return true;
}

}  // namespace

std::string_view trim_white_space(std::string_view text) {
  size_t begin = 0;
  while (begin < text.size()) {
    char32_t c;
    size_t n;
    if (!decode_at(text, begin, &c, &n) || !is_white_space(c)) break;
    begin += n;
  }
  size_t end = text.size();
  while (end > begin) {
    // Step back to the lead byte of the last character (at most 4 bytes).
    size_t lead = end - 1;
    while (lead > begin && end - lead < 4 &&
           (static_cast<unsigned char>(text[lead]) & 0xC0) == 0x80) {
      --lead;
    }
    char32_t c;
    size_t n;
    if (!decode_at(text, lead, &c, &n) || lead + n != end || !is_white_space(c)) break;
    end = lead;
  }
  return text.substr(begin, end - begin);
}

namespace {

std::optional<std::string> payload(std::string_view completion, std::string_view open,
                                   std::string_view close, bool trim) {
  auto p = extract_between(completion, open, close);
  if (!p) return std::nullopt;
  return std::string(trim ? trim_white_space(*p) : *p);
}

}  // namespace

std::optional<std::string> v3_tool_call(std::string_view completion) {
  return payload(completion, markers::kToolCallOpen, markers::kToolCallClose, true);
}
std::optional<std::string> v3_reasoning(std::string_view completion) {
  return payload(completion, markers::kThinkOpen, markers::kThinkClose, true);
}
std::optional<std::string> v2_tool_call(std::string_view completion) {
  return payload(completion, markers::kToolCallOpen, markers::kToolCallClose, false);
}
std::optional<std::string> v2_thinking(std::string_view completion) {
  return payload(completion, markers::kThinkOpen, markers::kThinkClose, false);
}

std::vector<uint32_t> gen1_encoder_input(const std::vector<uint32_t>& query_ids,
                                         const std::vector<uint32_t>& tools_ids,
                                         size_t max_enc_len) {
  if ((query_ids.empty() && tools_ids.empty()) || max_enc_len == 0) return {};
  size_t q = std::min(query_ids.size(), max_enc_len >= 2 ? max_enc_len - 2 : 0);
  size_t room = max_enc_len >= q + 1 ? max_enc_len - q - 1 : 0;
  size_t t = std::min(tools_ids.size(), room);
  std::vector<uint32_t> out;
  out.reserve(q + 1 + t);
  out.insert(out.end(), query_ids.begin(), query_ids.begin() + q);
  out.push_back(kGen1Separator);
  out.insert(out.end(), tools_ids.begin(), tools_ids.begin() + t);
  return out;
}

}  // namespace pinnet::engine
