#include "engine/generation.h"

#include <cstdlib>
#include <string_view>

#include "engine/completion_text.h"

namespace pinnet::engine {

std::pair<bool, bool> speculation_default() {
  const char* env = std::getenv("PINNET_DRAFT");
  const std::string_view v = env == nullptr ? "" : env;
  if (v == "1") return {true, true};
  if (v == "forced") return {true, false};
  return {false, false};
}

std::string stop_name(const DecodePolicy& policy, const GenerateOutput& out) {
  switch (out.stop) {
    case StopReason::kEos: return "Eos";
    case StopReason::kImEnd: return "ImEnd";
    case StopReason::kMaxTokens: return "MaxTokens";
    case StopReason::kContextFull: return policy.context_full_name;
    case StopReason::kNoAllowedToken: return "NoAllowedToken";
    case StopReason::kError: break;
  }
  std::string name = "Error(\"";
  for (char c : out.error) {
    if (c == '"' || c == '\\') name.push_back('\\');
    name.push_back(c);
  }
  name += "\")";
  return name;
}

std::optional<std::string> tool_call_of(const DecodePolicy& policy, std::string_view completion) {
  return policy.trim_payloads ? v3_tool_call(completion) : v2_tool_call(completion);
}

std::optional<std::string> thinking_of(const DecodePolicy& policy, std::string_view completion) {
  return policy.trim_payloads ? v3_reasoning(completion) : v2_thinking(completion);
}

}  // namespace pinnet::engine
