// The strict loop's test harness: a small vocabulary of the pieces that
// tempt a model into invalid JSON, and a scripted model that prefers what the
// grammar must refuse (end ids, quotes, braces, white space, long pieces).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "engine/tool_grammar.h"
#include "scripted_model.h"

namespace pinnet::engine::testing {

inline std::vector<std::string> strict_words() {
  return {"<|im_start|>", "<|im_end|>", "<tool_call>", "</tool_call>", "<think>", "</think>",
          "{\"name\":\"", "{\"name\": \"", "\",\"arguments\":{\"", "\", \"arguments\": {", "\":\"",
          "\": \"", "\",\"", "\", \"", "\":", "\",", "\"", "{\"", "\"}}", "\"}", "}}", "}", "}}\n",
          ",\"", "\":[\"", "\"]", "[{\"", "\"],\"", "\\\"", "\\\\", "\\u00", "\\ud83d", "null",
          "true", "false", "12", "3.5", "0", "-", "e+", ".", " ", "\n", "\n\n", "  ", "\xC3\xA9",
          "\xE6\x97\xA5\xE6\x9C\xAC", "S\xC3\xA3o", " Paulo", "celsius", "location", "weather",
          "get_", "math", ".factorial", "query", "abcdefgh", "xyz", "tool", " the", "\t", "[]", "{}"};
}

inline const TestVocabulary& vocabulary() {
  static const TestVocabulary v(strict_words());
  return v;
}

// Scores every id by a hash of (seed, step, id), with bonuses for end ids
// and empty pieces, for pieces with structural or white-space bytes, and for
// long pieces; greedy choice then takes the worst allowed option.
struct Adversary {
  std::vector<std::string> pieces;
  uint32_t seed;
  void operator()(const std::vector<uint32_t>& generated, std::span<float> logits) const {
    for (uint32_t id = 0; id < logits.size(); ++id) {
      uint64_t h = (uint64_t{seed} << 40) ^ (uint64_t{generated.size()} << 20) ^ id;
      h ^= h >> 33;
      h *= 0xFF51AFD7ED558CCDull;
      h ^= h >> 33;
      float s = static_cast<float>(h >> 40) / static_cast<float>(1u << 24);
      const std::string& p = pieces[id];
      if (p.empty()) s += 2.5f;
      if (p.find_first_of("\"{}[],: \n\t\\") != std::string::npos) s += 2.0f;
      if (p.size() >= 3) s += 0.7f;
      logits[id] = s;
    }
  }
};

inline GenerateOutput run_strict(const std::shared_ptr<const ToolGrammar>& g, uint32_t seed, uint64_t budget,
                          const ScriptedModel::Policy& policy = {}) {
  const TestVocabulary& v = vocabulary();
  ScriptedModel model(1 << 16, v.tok.piece_count(), {},
                      policy ? policy : ScriptedModel::Policy(Adversary{testing::piece_texts(v.tok), seed}));
  GenerateOptions o;
  o.max_new_tokens = budget;
  o.strict_tools = g;
  o.constrain = true;  // not looked at
  return generate_v3(model, v.vocab, "What should I call?", "[]", o);
}

}  // namespace pinnet::engine::testing
