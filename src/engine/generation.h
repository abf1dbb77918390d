// The settings and the record of one generation, shared by every loop.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pinnet::engine {

struct GenerateOptions {
  std::optional<std::string> system;  // system turn; absent unless `generate` passes one
  uint64_t max_new_tokens = 0;        // token budget
  uint64_t seed = 0;                  // only used when sampling
  float temperature = 0.0f;           // 0 or below: greedy
  bool constrain = false;             // constrain tool names and argument keys
  bool kv_int8 = false;               // generation 3: 8-bit key/value cache
};

enum class StopReason : uint8_t {
  kEos = 0,         // the model chose the end id
  kImEnd = 1,       // the model chose "<|im_end|>"
  kMaxTokens = 2,   // the budget ran out (also when it was 0)
  kContextFull = 3, // the context limit was reached
};

// Generation 3 reports a full context as "MaxSeqLen".
inline const char* v3_stop_name(StopReason r) {
  switch (r) {
    case StopReason::kEos: return "Eos";
    case StopReason::kImEnd: return "ImEnd";
    case StopReason::kMaxTokens: return "MaxTokens";
    case StopReason::kContextFull: return "MaxSeqLen";
  }
  return "MaxTokens";
}

struct V3Output {
  std::string text;                 // decoded generated ids
  std::vector<uint32_t> token_ids;  // generated ids, the stopping end id excluded
  uint64_t positions = 0;           // positions written into the key/value cache
  bool prompt_truncated = false;
  StopReason stop = StopReason::kMaxTokens;
};

}  // namespace pinnet::engine
