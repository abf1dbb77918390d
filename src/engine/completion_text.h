// The chat template the models were trained on, and the parsing of what they
// write back: tool-call payloads and reasoning blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "formats/utf8.h"

namespace pinnet::engine {

namespace markers {
inline constexpr std::string_view kImStart = "<|im_start|>";
inline constexpr std::string_view kImEnd = "<|im_end|>";
inline constexpr std::string_view kToolsOpen = "<tools>";
inline constexpr std::string_view kToolsClose = "</tools>";
inline constexpr std::string_view kToolCallOpen = "<tool_call>";
inline constexpr std::string_view kToolCallClose = "</tool_call>";
inline constexpr std::string_view kThinkOpen = "<think>";
inline constexpr std::string_view kThinkClose = "</think>";
}  // namespace markers

// Drops tab, line feed, carriage return and space outside JSON strings (and
// form feed too, when asked: generation 1's tools text). Validates nothing:
// malformed input passes through under the same rules.
std::string compact_tools_json(std::string_view tools_json, bool drop_form_feed = false);

// Rewrites the string value of every "name" key: a value equal to the `from`
// side of a pair becomes its `to` side (the first such pair), and the white
// space around the key's colon is dropped. Text without any pair comes back
// unchanged. Escapes are not decoded: a backslash skips the next byte.
std::string rewrite_names(std::string_view text,
                          const std::vector<std::pair<std::string, std::string>>& from_to);

// The prompt, ending right after "<|im_start|>assistant\n". An empty system
// text still emits a (empty) system turn; std::nullopt emits none.
std::string build_prompt(std::string_view query, std::string_view tools_json,
                         std::optional<std::string_view> system);
// The bytes of a build_prompt result before its query: the system turn and
// the tool list, the same for every query.
size_t prompt_head_size(std::string_view prompt, std::string_view query);

// The text the confidence heads score: the system-less prompt with the
// completion appended as is.
std::string scoring_text(std::string_view query, std::string_view tools_json,
                         std::string_view completion);

// The bytes after the first `open` up to the next `close` (or the end).
// Absent when `open` does not occur. The slice borrows from `text`.
std::optional<std::string_view> extract_between(std::string_view text,
                                                std::string_view open,
                                                std::string_view close);

using formats::trim_white_space;  // the payload readers trim with it

// Generation 3 reads payloads trimmed; generation 2 reads them as they stand.
std::optional<std::string> v3_tool_call(std::string_view completion);
std::optional<std::string> v3_reasoning(std::string_view completion);
std::optional<std::string> v2_tool_call(std::string_view completion);
std::optional<std::string> v2_thinking(std::string_view completion);

// Generation 1 has no template: its encoder reads query ids, the separator,
// then tools ids, cut so the whole never exceeds max_enc_len. Empty when
// there is nothing to encode (both lists empty, or max_enc_len 0).
inline constexpr uint32_t kGen1Separator = 5;
std::vector<uint32_t> gen1_encoder_input(const std::vector<uint32_t>& query_ids,
                                         const std::vector<uint32_t>& tools_ids,
                                         size_t max_enc_len);

}  // namespace pinnet::engine
