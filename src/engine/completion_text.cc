#include "engine/completion_text.h"

#include <algorithm>

namespace pinnet::engine {

std::string compact_tools_json(std::string_view tools_json, bool drop_form_feed) {
  // Working byte-wise is the same as working per scalar value here: every
  // byte the rules look at is ASCII, and UTF-8 continuation and lead bytes
  // are never ASCII, so multi-byte characters are always copied whole.
  std::string out;
  out.reserve(tools_json.size());
  bool in_string = false;
  bool escaped = false;
  for (char c : tools_json) {
    if (!in_string) {
      if (c == '\t' || c == '\n' || c == '\r' || c == ' ' || (drop_form_feed && c == '\f')) continue;
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

size_t prompt_head_size(std::string_view prompt, std::string_view query) {
  using namespace markers;
  const size_t tail = kImEnd.size() + 1 + kImStart.size() + std::string_view("assistant\n").size();
  return prompt.size() - query.size() - tail;
}

std::string rewrite_names(std::string_view text,
                          const std::vector<std::pair<std::string, std::string>>& from_to) {
  if (from_to.empty()) return std::string(text);
  constexpr std::string_view kKey = "\"name\"";
  auto is_space = [](char c) { return c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' '; };
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const size_t at = text.find(kKey, i);
    if (at == std::string_view::npos) break;
    out.append(text.substr(i, at - i)).append(kKey);
    size_t j = at + kKey.size();
    size_t k = j;
    while (k < text.size() && is_space(text[k])) ++k;
    if (k >= text.size() || text[k] != ':') {
      i = j;  // no colon: the rest is copied from here
      continue;
    }
    out.push_back(':');
    ++k;
    while (k < text.size() && is_space(text[k])) ++k;
    if (k >= text.size() || text[k] != '"') {
      i = k;  // not a string value: copied as it stands
      continue;
    }
    size_t end = k + 1;
    while (end < text.size() && text[end] != '"') end += text[end] == '\\' ? 2 : 1;
    const bool closed = end < text.size();
    end = std::min(end, text.size());
    const std::string_view value = text.substr(k + 1, end - k - 1);
    std::string_view replaced = value;
    for (const auto& [from, to] : from_to) {
      if (value == from) {
        replaced = to;
        break;
      }
    }
    out.push_back('"');
    out.append(replaced);
    if (closed) out.push_back('"');
    i = closed ? end + 1 : end;
  }
  if (i < text.size()) out.append(text.substr(i));
  return out;
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
