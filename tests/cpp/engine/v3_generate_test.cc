#include "engine/decode_loop.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/completion_text.h"
#include "scripted_model.h"

namespace pinnet::engine {
namespace {

using testing::ScriptedModel;

const std::vector<std::string> kWords = {
    "<|im_end|>", "<tool_call>", "</tool_call>", "{\"name\":\"", "get_weather", "get_time", "get_",
    "x", "\"", "\",\"arguments\":{\"", "city", "unit", "\":\"", "Paris", "\"}}", "zzz", "w"};

struct Fixture : ::testing::Test {
  testing::TestVocabulary words{kWords};
  const formats::SubwordTokenizer& tok = words.tok;
  const Vocabulary& vocab = words.vocab;
  uint32_t id(const std::string& piece) const { return words.id(piece); }
  ScriptedModel model(std::vector<std::string> pieces, uint64_t max_seq_len = 4096) const {
    std::vector<uint32_t> ids;
    for (const auto& p : pieces) ids.push_back(id(p));
    return ScriptedModel(max_seq_len, tok.piece_count(), ids);
  }
  GenerateOptions budget(uint64_t n) const {
    GenerateOptions o;
    o.max_new_tokens = n;
    return o;
  }
};

TEST_F(Fixture, StopReasonsAndPositions) {
  auto eos = model({"</s>"});
  GenerateOutput a = generate_v3(eos, vocab, "q", "[]", budget(256));
  EXPECT_EQ(a.stop, StopReason::kEos);
  EXPECT_TRUE(a.token_ids.empty());
  EXPECT_EQ(a.text, "");
  EXPECT_EQ(a.positions, eos.prompt.size());
  EXPECT_EQ(eos.prompt.front(), kGen3Policy.bos);
  EXPECT_EQ(eos.requested, eos.prompt.size() + 256);

  auto im_end = model({"x", "w", "<|im_end|>", "x"});
  GenerateOutput b = generate_v3(im_end, vocab, "q", "[]", budget(256));
  EXPECT_EQ(b.stop, StopReason::kImEnd);
  EXPECT_EQ(b.token_ids, (std::vector<uint32_t>{id("x"), id("w")}));
  EXPECT_EQ(b.text, "xw");

  auto chatty = model({"x", "x", "x", "x", "x"});
  GenerateOutput c = generate_v3(chatty, vocab, "q", "[]", budget(3));
  EXPECT_EQ(c.stop, StopReason::kMaxTokens);
  EXPECT_EQ(c.token_ids.size(), 3u);
  EXPECT_EQ(c.positions, chatty.prompt.size() + 3);

  GenerateOutput none = generate_v3(chatty, vocab, "q", "[]", budget(0));
  EXPECT_EQ(none.stop, StopReason::kMaxTokens);
  EXPECT_TRUE(none.token_ids.empty());
}

TEST_F(Fixture, ContextLimits) {
  // Measure the prompt, then set the context just above and below it.
  auto probe = model({"</s>"});
  generate_v3(probe, vocab, "hello", "[]", budget(1));
  const uint64_t len = probe.prompt.size();

  auto room3 = model({"x", "x", "x", "x", "x", "x"}, len + 3);
  GenerateOutput a = generate_v3(room3, vocab, "hello", "[]", budget(256));
  EXPECT_EQ(a.stop, StopReason::kMaxTokens);  // the budget was clipped to the room
  EXPECT_EQ(a.token_ids.size(), 3u);
  EXPECT_EQ(a.positions, len + 3);
  EXPECT_EQ(room3.requested, len + 3);

  auto cut = model({"x"}, len - 4);
  GenerateOutput b = generate_v3(cut, vocab, "hello", "[]", budget(256));
  EXPECT_EQ(b.stop, StopReason::kContextFull);
  EXPECT_TRUE(b.prompt_truncated);
  EXPECT_TRUE(b.token_ids.empty());
  EXPECT_EQ(b.positions, len - 4);
  EXPECT_EQ(cut.prompt.size(), len - 4);
}

TEST_F(Fixture, StreamingDeltasRebuildTheText) {
  auto m = model({"x", "<tool_call>", "{\"name\":\"", "get_time", "\"}}", "</tool_call>", "</s>"});
  // Multi-byte characters arriving as byte pieces.
  m.intended.insert(m.intended.begin() + 1, {*tok.byte_piece(0xC3), *tok.byte_piece(0xA9)});
  std::string joined;
  int calls = 0;
  auto sink = [&](std::string_view d) {
    joined.append(d);
    ++calls;
  };
  DeltaSink ref = sink;
  GenerateOutput out = generate_v3(m, vocab, "q", "[]", budget(64), &ref);
  EXPECT_EQ(out.stop, StopReason::kEos);
  EXPECT_EQ(joined, out.text);
  EXPECT_EQ(out.text, "x\xC3\xA9<tool_call>{\"name\":\"get_time\"}}</tool_call>");
  EXPECT_EQ(calls, 7);  // the first byte of "é" produced no delta
}

TEST_F(Fixture, ConstraintKeepsNamesAndKeysWithinTheTools) {
  const char* tools =
      R"([{"name": "get_weather", "parameters": {"properties": {"city": {}, "unit": {}}}},)"
      R"( {"name": "get_time", "parameters": {}}])";
  // The script tries to write a tool that does not exist, then a key that
  // does not exist.
  auto script = [&] {
    return model({"<tool_call>", "{\"name\":\"", "get_", "zzz", "\"", "\",\"arguments\":{\"",
                  "zzz", "\":\"", "Paris", "\"}}", "</tool_call>", "</s>"});
  };
  auto free_run = script();
  GenerateOutput loose = generate_v3(free_run, vocab, "q", tools, budget(64));
  EXPECT_NE(loose.text.find("get_zzz"), std::string::npos);

  GenerateOptions o = budget(64);
  o.constrain = true;
  auto constrained_run = script();
  GenerateOutput tight = generate_v3(constrained_run, vocab, "q", tools, o);
  auto call = v3_tool_call(tight.text);
  ASSERT_TRUE(call.has_value()) << tight.text;
  EXPECT_EQ(call->rfind("{\"name\":\"get_", 0), 0u) << *call;
  const bool weather = call->find("get_weather\"") != std::string::npos;
  const bool time = call->find("get_time\"") != std::string::npos;
  EXPECT_TRUE(weather || time) << *call;
  EXPECT_EQ(call->find("zzz"), std::string::npos) << *call;

  // Constraining with no parsable tools changes nothing.
  auto again = script();
  GenerateOutput empty_tools = generate_v3(again, vocab, "q", "[]", o);
  EXPECT_EQ(empty_tools.text, loose.text);
}

TEST_F(Fixture, SamplingIsReproduciblePerSeed) {
  GenerateOptions o = budget(40);
  o.temperature = 5.0f;  // flat enough that the draws matter
  o.seed = 9;
  auto a = model({});
  auto b = model({});
  GenerateOutput x = generate_v3(a, vocab, "q", "[]", o);
  GenerateOutput y = generate_v3(b, vocab, "q", "[]", o);
  EXPECT_EQ(x.token_ids, y.token_ids);
  o.seed = 10;
  auto c = model({});
  EXPECT_NE(generate_v3(c, vocab, "q", "[]", o).token_ids, x.token_ids);
}

}  // namespace
}  // namespace pinnet::engine
